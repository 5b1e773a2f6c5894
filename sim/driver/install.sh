#!/bin/bash
# Installs the substitute system-interface driver into a Wine prefix:
# creates the prefix if needed, copies the driver, creates and starts its
# service (auto start, so it comes back in every Wine session) and registers
# the device interface with its "DriverVersion".
#
#   sim/driver/install.sh PREFIX VERSION [win32|win64]      (default win64)
#
# Uses build/ARCH/sim/driver/qmsim.sys and build/ARCH/sim/driver/sim_install.exe
# (the installer of the prefix's own width runs without the 32-bit layer);
# QM_BUILD_ROOT overrides build/.
# Idempotent: a second run with the same driver only rewrites the version.
set -euo pipefail

if [ $# -lt 2 ]; then
    echo "usage: $0 PREFIX VERSION [win32|win64]" >&2
    exit 2
fi
prefix=$1
version=$2
arch=${3:-win64}
case $arch in win32|win64) ;; *) echo "$0: arch must be win32 or win64" >&2; exit 2 ;; esac

top=$(cd "$(dirname "$0")/../.." && pwd)
build=${QM_BUILD_ROOT:-$top/build}
sys=$build/$arch/sim/driver/qmsim.sys
installer=$build/$arch/sim/driver/sim_install.exe
for f in "$sys" "$installer"; do
    [ -f "$f" ] || { echo "$0: $f is not built" >&2; exit 1; }
done

mkdir -p "$prefix"
prefix=$(cd "$prefix" && pwd)
export WINEPREFIX=$prefix
. "$top/scripts/wine-env"

# A 64-bit prefix is driven with the 64-bit loader throughout: its service
# control program starts the 64-bit device host (the 32-bit one cannot load a
# 64-bit driver), and it runs where the machine cannot execute 32-bit code.
if [ "$arch" = win64 ]; then
    if [ -x /usr/lib/wine/wine64 ]; then wine=/usr/lib/wine/wine64; else wine=wine64; fi
else
    wine=wine
fi
sc=("$wine" sc)

if [ ! -f "$prefix/system.reg" ]; then
    WINEARCH=$arch "$wine" wineboot -i >/dev/null 2>&1 || true
    wineserver -w
    [ -f "$prefix/system.reg" ] || { echo "$0: could not create the prefix $prefix" >&2; exit 1; }
fi

dest=$prefix/drive_c/windows/system32/drivers/qmsim.sys
if ! cmp -s "$sys" "$dest"; then
    # A new driver: stop the old one (if any) before replacing the file.
    "${sc[@]}" stop qmsim >/dev/null 2>&1 || true
    mkdir -p "$(dirname "$dest")"
    cp "$sys" "$dest"
fi
"${sc[@]}" create qmsim type= kernel start= auto \
    binPath= 'C:\windows\system32\drivers\qmsim.sys' >/dev/null 2>&1 || true
if ! "${sc[@]}" query qmsim 2>/dev/null | grep -q RUNNING; then
    "${sc[@]}" start qmsim >/dev/null 2>&1 || true
    "${sc[@]}" query qmsim 2>/dev/null | grep -q RUNNING || { echo "$0: the driver did not start" >&2; exit 1; }
fi
"$wine" "$installer" install "$version"
