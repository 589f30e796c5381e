#!/usr/bin/env bash
# The program's main job, tried at once: the release writes its image onto
# drive A: of a Wine prefix, a removable floppy backed by a fresh blank file,
# and then the floppy is shown. In a terminal you answer the prompts
# yourself (type a, then y, then any key to end); without one (CI, a pipe)
# the demo answers them in a terminal of its own (tools/pane.py) and prints
# the final screen.
#   demo.sh RELEASE [FOLDER]   (FOLDER: build/demo)
set -euo pipefail
if [ $# -lt 1 ] || [ $# -gt 2 ] || [ "$1" = --help ]; then
  echo "usage: demo.sh RELEASE [FOLDER]" >&2
  exit 2
fi
[ -f "$1" ] && [ -r "$1" ] || { echo "demo: cannot read the release '$1'" >&2; exit 1; }
release=$(realpath -- "$1")
top=$(cd "$(dirname "$0")/.." && pwd)
work=$(realpath -m -- "${2:-$top/build/demo}")
prefix=$work/prefix
floppy=$work/floppy.img
# Interrupted at any moment, the demo stops before anything more is written.
trap '{ WINEPREFIX=$prefix wineserver -k || :; } 2>/dev/null; echo; echo "demo: interrupted" >&2; exit 130' \
  INT TERM HUP

echo "demo: $(bash "$top/tools/wine-arch.sh" --say)"
mkdir -p "$work"
head -c 1474560 /dev/zero >"$floppy"
if [ -f "$prefix/system.reg" ]; then
  echo "demo: reusing the Wine prefix $prefix (drive A: is the blank floppy $floppy)"
else
  echo "demo: making the Wine prefix $prefix (drive A: is the blank floppy $floppy)"
fi
bash "$top/tools/wine-prefix.sh" "$prefix" "a=$floppy"
cp -- "$release" "$prefix/drive_c/imagewrite.exe"

status=0
cd "$prefix/drive_c"
if [ -t 0 ] && [ -t 1 ]; then
  echo "demo: running the release. Wine cannot tell the floppy's size, so no drive is listed;"
  echo "demo: type a all the same (drive A: is the floppy), then y, then any key to end."
  "$prefix/wine" imagewrite.exe || status=$?
else
  echo "demo: no terminal here, so the demo types a, y and the final key itself. Wine cannot"
  echo "demo: tell the floppy's size, so no drive is listed; the letter a selects it all the same."
  echo "---------------------------------------------------------------- the screen"
  python3 "$top/tools/pane.py" "Enter drive letter" a "Overwrite drive A:" y \
    "(press a key to exit)" k -- "'$prefix/wine' imagewrite.exe" || status=$?
  echo "----------------------------------------------------------------"
fi
WINEPREFIX=$prefix wineserver -k 2>/dev/null || true

echo
echo "demo: the program ended with exit status $status"
echo "demo: what landed on the floppy ($floppy):"
if MTOOLS_SKIP_CHECK=1 mdir -i "$floppy" :: 2>/dev/null; then :; else
  echo "  (no FAT file system on it)"
fi
if [ "$(od -An -tx1 -j510 -N2 "$floppy" | tr -d ' \n')" = "55aa" ]; then
  echo "demo: the boot-sector signature 55 AA is there, which a disk needs to boot but does"
  echo "demo: not prove it boots. The default image starts no system (its boot sector only"
  echo "demo: shows a message), so a boot check says 'not booted' on every PC; with your own"
  echo "demo: image, see whether a diskette drive, a BIOS PC, a UEFI PC and one with Secure"
  echo "demo: Boot start it: make boot-check IMAGE='${floppy//\'/\'\\\'\'}'"
else
  echo "demo: no boot-sector signature 55 AA: this disk will not boot"
fi
[ "$status" = 0 ]
