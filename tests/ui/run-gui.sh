#!/usr/bin/env bash
# Runs a Windows GUI program inside a Wine virtual desktop on a private,
# headless X display, and cleans up after it.
#
#   run-gui.sh [--size WxH] [--dpi N] [--report FILE] -- PROGRAM [ARGS...]
#
# - Xvfb starts on a display number of its choosing and is stopped afterwards.
# - The Wine prefix is build/wine/ui-prefix (or $QM_UI_PREFIX), created on
#   first use; "Meiryo UI" is mapped to "Noto Sans CJK JP" there, and the
#   prefix's LogPixels is set to the requested dpi before the run. Runs that
#   share the prefix are serialised with a lock file.
# - PROGRAM runs under `wine explorer /desktop=quillmere,WxH`. Arguments that
#   are Unix paths of existing files or folders may be written as @/path; they
#   are handed over as Windows paths.
# - With --report, the report file is printed afterwards, and the exit status
#   is 0 only when its last line says "0 failed".
set -uo pipefail

top=$(cd "$(dirname "$0")/../.." && pwd)
size=1280x800
dpi=96
report=
while [ $# -gt 0 ]; do
  case "$1" in
    --size) size=$2; shift 2 ;;
    --dpi) dpi=$2; shift 2 ;;
    --report) report=$2; shift 2 ;;
    --) shift; break ;;
    *) echo "run-gui.sh: unknown option $1" >&2; exit 2 ;;
  esac
done
[ $# -ge 1 ] || { echo "usage: run-gui.sh [--size WxH] [--dpi N] [--report FILE] -- PROGRAM [ARGS...]" >&2; exit 2; }

export WINEPREFIX="${QM_UI_PREFIX:-$top/build/wine/ui-prefix}"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
# 32-bit Linux programs cannot run on some hosts (no IA32 emulation): use
# the 64-bit loader there, which runs 64-bit Windows programs.
if [ -n "${QM_WINE:-}" ]; then
  wine=$QM_WINE
elif /usr/lib/wine/wine --version >/dev/null 2>&1; then
  wine=wine
else
  wine=/usr/lib/wine/wine64
fi
wineserver=wineserver

mkdir -p "$(dirname "$WINEPREFIX")"
exec 9>"$WINEPREFIX.lock"
flock 9

if [ ! -f "$WINEPREFIX/.ui-ready" ]; then
  mkdir -p "$WINEPREFIX"
  $wine wineboot -i >/dev/null 2>&1
  $wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v 'Meiryo UI' /t REG_SZ \
    /d 'Noto Sans CJK JP' /f >/dev/null 2>&1
  $wineserver -w
  touch "$WINEPREFIX/.ui-ready"
fi

# Xvfb picks a free display number itself and reports it.
w=${size%x*}; h=${size#*x}
dfile=$(mktemp)
Xvfb -displayfd 3 -screen 0 "${w}x${h}x24" -nolisten tcp 3>"$dfile" >/dev/null 2>&1 &
xvfb=$!
cleanup() {
  $wineserver -k >/dev/null 2>&1
  kill "$xvfb" 2>/dev/null
  wait "$xvfb" 2>/dev/null
  rm -f "$dfile"
}
trap cleanup EXIT
for _ in $(seq 1 200); do
  [ -s "$dfile" ] && break
  sleep 0.05
done
display=$(head -n 1 "$dfile" | tr -d '[:space:]')
[ -n "$display" ] || { echo "run-gui.sh: Xvfb did not start" >&2; exit 1; }
export DISPLAY=":$display"

$wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$dpi" /f >/dev/null 2>&1

program=$1; shift
args=()
for a in "$@"; do
  case "$a" in
    @*) args+=("$($wine winepath -w "${a#@}" 2>/dev/null)") ;;
    *) args+=("$a") ;;
  esac
done
[ -z "$report" ] || rm -f "$report"
timeout "${QM_UI_TIMEOUT:-600}" $wine explorer "/desktop=quillmere,${w}x${h}" "$program" "${args[@]}" \
  >/dev/null 2>&1
rc=$?
# explorer may return before the program has ended.
$wineserver -w
if [ -n "$report" ]; then
  [ -f "$report" ] || { echo "run-gui.sh: no report (wine exit $rc)"; exit 1; }
  cat "$report"
  tail -n 1 "$report" | tr -d '\r' | grep -q ' 0 failed$'
  exit $?
fi
exit $rc
