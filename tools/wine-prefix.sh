#!/usr/bin/env bash
# Makes a Wine prefix whose only drives are C: (the prefix's own) and the
# removable floppy drives given, each backed by a plain file (or a device):
#   wine-prefix.sh PREFIX a=/path/to/floppy.img [b=/dev/full ...]
# The host's root (Z:) is left out, so nothing typed in the prefix can reach it.
set -euo pipefail
prefix=$1
shift
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml= LC_ALL=C
export HOME=${HOME:-$prefix}
unset DISPLAY WAYLAND_DISPLAY

if [ ! -f "$prefix/system.reg" ]; then
  mkdir -p "$prefix"
  wineboot -i >/dev/null 2>&1
  wineserver -w
fi
devices=$prefix/dosdevices
find "$devices" -mindepth 1 -maxdepth 1 ! -name c: -exec rm -f {} +
mkdir -p "$prefix/floppy-root"
for drive in "$@"; do
  letter=${drive%%=*} backing=${drive#*=}
  ln -sfn "$prefix/floppy-root" "$devices/$letter:"
  ln -sfn "$backing" "$devices/$letter::"
  wine reg add 'HKLM\Software\Wine\Drives' /v "$letter:" /t REG_SZ /d floppy /f >/dev/null 2>&1
done
# Wine reads the drive types when its server starts.
wineserver -k || true
wineserver -w
