#!/usr/bin/env bash
# Runs a Windows GUI program in a Wine virtual desktop on a private headless
# X display:  run-gui.sh [--size WxH] [--dpi N] [--report FILE] -- PROGRAM [ARGS...]
# The prefix ($QM_UI_PREFIX, default build/wine/ui-prefix) is made on first
# use by scripts/make-prefix with its font replacements ("Meiryo UI" drawn in
# "Noto Sans CJK JP"), gets LogPixels = dpi, and is locked for the run. Arguments @/unix/path are handed over as Windows
# paths. With --report the report is printed, and the status is 0 only when
# its last line ends in " 0 failed".
set -uo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
size=1280x800 dpi=96 report=
while [ $# -gt 0 ]; do
  case "$1" in
    --size|--dpi|--report) declare "${1#--}=$2"; shift 2 ;;
    --) shift; break ;;
    *) echo "run-gui.sh: unknown option $1" >&2; exit 2 ;;
  esac
done
[ $# -ge 1 ] || { echo "usage: run-gui.sh [--size WxH] [--dpi N] [--report FILE] -- PROGRAM [ARGS...]" >&2; exit 2; }

export WINEPREFIX="${QM_UI_PREFIX:-$top/build/wine/ui-prefix}"
. "$top/scripts/wine-env"
# scripts/wine-run takes the loader this machine runs (the 64-bit one where 32-bit code cannot run).
wine=${QM_WINE:-$top/scripts/wine-run}
mkdir -p "$(dirname "$WINEPREFIX")"
exec 9>"$WINEPREFIX.lock"
flock 9
"$top/scripts/make-prefix" "$WINEPREFIX" win64 --fonts || exit 1

# Xvfb picks a free display number and writes it to fd 3.
dfile=$(mktemp)
Xvfb -displayfd 3 -screen 0 "${size}x24" -nolisten tcp 3>"$dfile" >/dev/null 2>&1 &
xvfb=$!
trap 'wineserver -k >/dev/null 2>&1; kill $xvfb 2>/dev/null; wait $xvfb 2>/dev/null; rm -f "$dfile"' EXIT
for _ in $(seq 200); do [ -s "$dfile" ] && break; sleep 0.05; done
display=$(head -n 1 "$dfile" | tr -d '[:space:]')
[ -n "$display" ] || { echo "run-gui.sh: Xvfb did not start" >&2; exit 1; }
export DISPLAY=":$display"
$wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$dpi" /f >/dev/null 2>&1

program=$1; shift
args=()
for a in "$@"; do
  case "$a" in @*) args+=("$($wine winepath -w "${a#@}" 2>/dev/null)") ;; *) args+=("$a") ;; esac
done
[ -z "$report" ] || rm -f "$report"
timeout "${QM_UI_TIMEOUT:-600}" $wine explorer "/desktop=quillmere,$size" "$program" "${args[@]}" >/dev/null 2>&1
rc=$?
wineserver -w  # explorer may return before the program has ended
[ -n "$report" ] || exit $rc
[ -f "$report" ] || { echo "run-gui.sh: no report (wine exit $rc)"; exit 1; }
cat "$report"
tail -n 1 "$report" | tr -d '\r' | grep -q ' 0 failed$'
