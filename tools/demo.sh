#!/usr/bin/env bash
# The program's main job, tried at once: the release writes its image onto
# drive A: of a Wine prefix, a removable floppy backed by a fresh blank file,
# and then the floppy is shown. In a terminal you answer the prompts
# yourself (type a, then y, then any key to end); without one (CI, a pipe)
# the demo answers them in a terminal of its own (tools/pane.py) and prints
# the final screen.
#   demo.sh [--stick DRIVER] RELEASE [FOLDER]   (FOLDER: build/demo)
# With --stick, what most customers have instead: drive S:, the partition at
# 1 MiB of an 8 GB flash disk with a partition table, presented by the
# driver DRIVER (tools/stick); the demo shows the disk's first sector and
# partition table before and after, the driver's log, and boots the disk.
set -euo pipefail
driver=
if [ "${1:-}" = --stick ] && [ $# -ge 2 ]; then
  driver=$(realpath -- "$2")
  shift 2
fi
if [ $# -lt 1 ] || [ $# -gt 2 ] || [ "$1" = --help ]; then
  echo "usage: demo.sh [--stick DRIVER] RELEASE [FOLDER]" >&2
  exit 2
fi
[ -f "$1" ] && [ -r "$1" ] || { echo "demo: cannot read the release '$1'" >&2; exit 1; }
release=$(realpath -- "$1")
top=$(cd "$(dirname "$0")/.." && pwd)
work=$(realpath -m -- "${2:-$top/build/demo}")
prefix=$work/prefix
floppy=$work/floppy.img stick=$work/stick.img
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
letter=a said="Wine cannot tell the floppy's size, so no drive is listed; the letter a selects it"
# The first sector's partition table, and its last two bytes.
sector() {
  echo "demo: the stick's partition table ($1):"
  sfdisk -d -- "$stick" 2>/dev/null | sed -n 's/^.*stick.img\([0-9]\)/  partition \1/p' | grep . ||
    echo "  none: the diskette's boot sector stands where the table was"
  echo "  its first sector's bytes 446 to 511 (four partition entries, then 55 AA):"
  od -An -tx1 -j446 -N66 -- "$stick"
}
if [ -n "$driver" ]; then
  letter=s said="drive S: is listed with its size, as on Windows; the letter s selects it"
  echo "demo: drive S: is the partition at 1 MiB of the 8 GB flash disk $stick"
  bash "$top/tools/stick/stick.sh" "$prefix" "$driver" "$stick" 8G
  sector before
fi

status=0
cd "$prefix/drive_c"
if [ -t 0 ] && [ -t 1 ]; then
  echo "demo: running the release: type $letter (the drive), then y, then any key to end;"
  echo "demo: $said."
  "$prefix/wine" imagewrite.exe || status=$?
else
  echo "demo: no terminal here, so the demo types $letter, y and the final key itself;"
  echo "demo: $said."
  echo "---------------------------------------------------------------- the screen"
  python3 "$top/tools/pane.py" "Enter drive letter" $letter "Overwrite drive" y \
    "(press a key to exit)" k -- "'$prefix/wine' imagewrite.exe" || status=$?
  echo "----------------------------------------------------------------"
fi
WINEPREFIX=$prefix wineserver -k 2>/dev/null || true
echo
echo "demo: the program ended with exit status $status"
if [ -n "$driver" ]; then
  sector after
  echo "demo: what the disk holds from its first byte:"
  MTOOLS_SKIP_CHECK=1 mdir -i "$stick" :: 2>/dev/null || echo "  (no FAT file system there)"
  echo "demo: the driver's log, each request in order (as Windows' own drivers get them,"
  echo "demo: but for lock and unlock, which Wine answers itself):"
  sed 's/^/  /' -- "$stick.log"
  head -c 1474560 -- "$stick" >"$work/written.img"
  echo "demo: the written disk booted where a flash disk boots:"
  python3 "$top/tools/boot-check.py" --brief --on bios-stick,uefi "$work/written.img" || true
  [ "$status" = 0 ]
  exit
fi
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
