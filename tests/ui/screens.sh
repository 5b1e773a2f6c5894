#!/usr/bin/env bash
# Screenshots of the five screens at 1280x800 and 1920x1080, each at 96, 120
# and 144 dpi, of every message box a user can meet, and a contact sheet of
# them (one row per size and dpi, then the message boxes):
#   screens.sh HARNESS OUTDIR   ->  OUTDIR/*.png, OUTDIR/boxes/*.png, OUTDIR/contact-sheet.png
# The boxes: the one after the window quits with 135, from the harness at
# each size and dpi, and those the scenarios of boxes/ reach (133 to 145 but
# 137, which no simulated laptop can give), from the scenario runner.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
harness=$1 out=$2 status=0
mkdir -p "$out"
rm -rf "$out"/*.bmp "$out"/*.png "$out/boxes" "$out/box-shots"
mkdir -p "$out/boxes"
for size in 1280x800 1920x1080; do
  for dpi in 96 120 144; do
    "$here/run-gui.sh" --size $size --dpi $dpi --report "$out/report-$size-$dpi.txt" -- \
      "$harness" shots "@$out" "$size-$dpi" "@$out/report-$size-$dpi.txt" || status=1
  done
done
for f in "$out"/*.bmp; do
  [ -e "$f" ] && { convert "$f" "${f%.bmp}.png" && rm -f "$f" || status=1; }
done
mv "$out"/*-message-*.png "$out/boxes/" 2>/dev/null
count=$(ls "$out"/*-[0-9]-*.png 2>/dev/null | wc -l)
echo "screens: $count screenshots in $out"
[ "$count" -eq 30 ] || status=1

python3 "$top/sim/scenario/run.py" --shots "$out/box-shots" "$here/boxes" || status=1
cp "$out"/box-shots/*.box.png "$out/boxes/" 2>/dev/null
echo "screens: $(ls "$out"/boxes/*.png 2>/dev/null | wc -l) message boxes in $out/boxes"

(cd "$out" && montage -label '%t' -pointsize 14 -geometry 480x+6+6 -tile 5x \
   $(ls *-[0-9]-*.png | sort -t- -k1,1 -k2,2n -k3,3n) screens.png &&
 montage -label '%t' -pointsize 12 -geometry +6+6 -tile 6x $(ls boxes/*.png | sort) boxes.png &&
 convert screens.png boxes.png -background white -gravity west -append contact-sheet.png &&
 rm -f screens.png boxes.png) && echo "screens: contact sheet $out/contact-sheet.png" || status=1
exit $status
