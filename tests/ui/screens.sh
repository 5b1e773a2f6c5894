#!/usr/bin/env bash
# Screenshots of the five screens at 1280x800 and 1920x1080, each at 96, 120
# and 144 dpi, and a contact sheet of them (one row per size and dpi):
#   screens.sh HARNESS OUTDIR   ->  OUTDIR/*.png, OUTDIR/contact-sheet.png
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
harness=$1 out=$2 status=0
mkdir -p "$out"
rm -f "$out"/*.bmp "$out"/*.png
for size in 1280x800 1920x1080; do
  for dpi in 96 120 144; do
    "$here/run-gui.sh" --size $size --dpi $dpi --report "$out/report-$size-$dpi.txt" -- \
      "$harness" shots "@$out" "$size-$dpi" "@$out/report-$size-$dpi.txt" || status=1
  done
done
for f in "$out"/*.bmp; do
  [ -e "$f" ] && { convert "$f" "${f%.bmp}.png" && rm -f "$f" || status=1; }
done
count=$(ls "$out"/*-[0-9]-*.png 2>/dev/null | wc -l)
echo "screens: $count screenshots in $out"
[ "$count" -eq 30 ] || status=1
(cd "$out" && montage -label '%t' -pointsize 14 -geometry 480x+6+6 -tile 5x \
  $(ls *-[0-9]-*.png | sort -t- -k1,1 -k2,2n -k3,3n) contact-sheet.png) && echo "screens: contact sheet $out/contact-sheet.png" || status=1
exit $status
