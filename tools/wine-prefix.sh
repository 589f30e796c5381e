#!/usr/bin/env bash
# Makes a Wine prefix whose only drives are C: (the prefix's own) and the
# removable floppy drives given, each backed by a plain file (or a device):
#   wine-prefix.sh PREFIX a=/path/to/floppy.img [b=/dev/full ...]
# The host's root (Z:) is left out, so nothing typed in the prefix can reach it.
# PREFIX/wine runs a Windows program in the prefix, through the Wine loader
# of the build this host can run (tools/wine-arch.sh). Every drive is checked
# before anything is made: a refusal says why and touches nothing. A prefix
# that cannot be made, or whose making is interrupted, is removed again.
set -euo pipefail
if [ $# -lt 1 ] || [ "$1" = --help ]; then
  echo "usage: wine-prefix.sh PREFIX [LETTER=BACKING_FILE]...   (LETTER: a, b, d to z)" >&2
  exit 2
fi
refuse() {
  echo "wine-prefix: $*" >&2
  exit 1
}
prefix=$(realpath -m -- "$1")
shift
letters=() backings=()
for drive in "$@"; do
  letter=${drive%%=*}
  [ "$letter" != "$drive" ] || refuse "the drive '$drive' names no backing file: give it as LETTER=FILE"
  letter=${letter,,}
  case $letter in
    c) refuse "drive C: is the prefix's own: give the floppy another letter" ;;
    [a-z]) ;;
    *) refuse "'$letter' is not a drive letter: give one of a, b, d to z" ;;
  esac
  [ -n "${drive#*=}" ] || refuse "drive $letter: names no backing file: give it as $letter=FILE"
  backing=$(realpath -m -- "${drive#*=}")
  [ -e "$backing" ] || refuse "drive $letter: has no backing file: '${drive#*=}' does not exist"
  [ ! -d "$backing" ] || refuse "drive $letter: '${drive#*=}' is a folder: back it with an image file or a device"
  letters+=("$letter") backings+=("$backing")
done

if [ "$(bash "$(dirname "$0")/wine-arch.sh")" = win32 ]; then
  run='exec wine "$@"'
else
  # Debian's wine script would take the 32-bit loader whenever wine32 is
  # installed, whether or not it can start; the 64-bit loader must be called
  # by its own name to find its companions.
  run='export WINELOADER=/usr/lib/wine/wine64; exec /usr/lib/wine/wine64 "$@"'
fi
command -v wine >/dev/null && command -v wineserver >/dev/null ||
  refuse "Wine is missing: 'bash tools/install-deps.sh wine' installs it (as root, or with sudo)"
made=
if [ ! -f "$prefix/system.reg" ]; then
  [ ! -e "$prefix" ] || [ -z "$(ls -A -- "$prefix")" ] ||
    refuse "'$prefix' holds files and is not a Wine prefix: name a new folder, or a prefix"
  made=1
fi
mkdir -p -- "$prefix"
cat >"$prefix/wine" <<LAUNCHER
#!/bin/sh
export WINEPREFIX=$(printf %q "$prefix") WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
# A UTF-8 terminal, so that Wine can name any folder; Wine's messages in
# English unless LC_MESSAGES asks for another language.
export LC_CTYPE=C.UTF-8 LC_MESSAGES="\${LC_MESSAGES:-C}"
unset LC_ALL LANG
export HOME="\${HOME:-\$WINEPREFIX}"
unset DISPLAY WAYLAND_DISPLAY
$run
LAUNCHER
chmod +x "$prefix/wine"
export WINEPREFIX=$prefix

# Undone when wineboot fails or a signal comes: no half-made prefix stays.
# The signal then ends the script as it would have, for its caller to see.
unmake() {
  wineserver -k 2>/dev/null || :
  rm -rf -- "$prefix"
  echo "wine-prefix: $1" >&2
}
if [ -n "$made" ]; then
  echo "wine-prefix: making the Wine prefix $prefix (about 20 s)"
  for signal in INT TERM HUP; do
    trap "unmake 'interrupted; no prefix made'; trap - $signal; kill -$signal \$\$" $signal
  done
  "$prefix/wine" wineboot -i >/dev/null 2>&1 &
  boot=$! waited=0
  # A short wait at a time, so that a signal is taken at once; a line now
  # and then, so that a long start does not look like a hang.
  while kill -0 $boot 2>/dev/null; do
    sleep 1 &
    wait $! || :
    [ $((++waited % 5)) != 0 ] || echo "wine-prefix: still making it ($waited s)"
  done
  { wait $boot && wineserver -w; } || { unmake "wineboot could not make the prefix $prefix"; exit 1; }
  trap - INT TERM HUP
fi
devices=$prefix/dosdevices
find "$devices" -mindepth 1 -maxdepth 1 ! -name c: -exec rm -f {} +
mkdir -p "$prefix/floppy-root"
for i in "${!letters[@]}"; do
  letter=${letters[i]}
  ln -sfn "$prefix/floppy-root" "$devices/$letter:"
  ln -sfn "${backings[i]}" "$devices/$letter::"
  "$prefix/wine" reg add 'HKLM\Software\Wine\Drives' /v "$letter:" /t REG_SZ /d floppy /f \
    >/dev/null 2>&1 || refuse "Wine could not make drive $letter: a floppy"
done
# Wine reads the drive types when its server starts.
wineserver -k || true
wineserver -w
