#!/usr/bin/env bash
# Makes a Wine prefix whose only drives are C: (the prefix's own) and the
# removable floppy drives given, each backed by a plain file (or a device):
#   wine-prefix.sh PREFIX a=/path/to/floppy.img [b=/dev/full ...]
# The host's root (Z:) is left out, so nothing typed in the prefix can reach it.
# PREFIX/wine runs a Windows program in the prefix, through the Wine loader
# of the build this host can run (tools/wine-arch.sh).
set -euo pipefail
if [ $# -lt 1 ] || [ "$1" = --help ]; then
  echo "usage: wine-prefix.sh PREFIX [LETTER=BACKING_FILE]..." >&2
  exit 2
fi
prefix=$(realpath -m "$1")
shift
mkdir -p "$prefix"
if [ "$(bash "$(dirname "$0")/wine-arch.sh")" = win32 ]; then
  run='exec wine "$@"'
else
  # Debian's wine script would take the 32-bit loader whenever wine32 is
  # installed, whether or not it can start; the 64-bit loader must be called
  # by its own name to find its companions.
  run='export WINELOADER=/usr/lib/wine/wine64; exec /usr/lib/wine/wine64 "$@"'
fi
cat >"$prefix/wine" <<LAUNCHER
#!/bin/sh
export WINEPREFIX='$prefix' WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
# A UTF-8 terminal, so that Wine can name any folder; Wine's messages in
# English unless LC_MESSAGES asks for another language.
export LC_CTYPE=C.UTF-8 LC_MESSAGES="\${LC_MESSAGES:-C}"
unset LC_ALL LANG
export HOME="\${HOME:-$prefix}"
unset DISPLAY WAYLAND_DISPLAY
$run
LAUNCHER
chmod +x "$prefix/wine"
export WINEPREFIX=$prefix

if [ ! -f "$prefix/system.reg" ]; then
  "$prefix/wine" wineboot -i >/dev/null 2>&1
  wineserver -w
fi
devices=$prefix/dosdevices
find "$devices" -mindepth 1 -maxdepth 1 ! -name c: -exec rm -f {} +
mkdir -p "$prefix/floppy-root"
for drive in "$@"; do
  letter=${drive%%=*} backing=$(realpath -m "${drive#*=}")
  ln -sfn "$prefix/floppy-root" "$devices/$letter:"
  ln -sfn "$backing" "$devices/$letter::"
  "$prefix/wine" reg add 'HKLM\Software\Wine\Drives' /v "$letter:" /t REG_SZ /d floppy /f \
    >/dev/null 2>&1
done
# Wine reads the drive types when its server starts.
wineserver -k || true
wineserver -w
