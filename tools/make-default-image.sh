#!/usr/bin/env bash
# Makes the default diskette image of a release: an empty, bootable-looking
# FAT12 1.44 MB diskette with a README.TXT, whose boot sector tells a PC that
# boots it that the disk carries no BIOS update yet. The same bytes on every
# build: fixed volume id and times.
#   make-default-image.sh OUTPUT
set -euo pipefail
if [ $# -ne 1 ] || [ "$1" = --help ]; then
  echo "usage: make-default-image.sh OUTPUT" >&2
  exit 2
fi
out=$1
here=$(cd "$(dirname "$0")" && pwd)
tmp="$out.tmp.$$"

work=$(mktemp -d)
trap 'rm -rf "$tmp" "$work"' EXIT
# mkfs.fat's boot code prints the message as it stands: CR LF line ends.
sed 's/$/\r/' "$here/image/bootmsg.txt" >"$work/bootmsg"
# mcopy -m keeps the file's time; a fixed one keeps the image the same.
cp "$here/image/README.TXT" "$work/README.TXT"
touch -d @1262304000 "$work/README.TXT"

rm -f "$tmp"
# 2,880 sectors of 512 bytes, 2 heads of 18 sectors (80 cylinders), media 0xF0.
mkfs.fat -C -F 12 -f 2 -S 512 -s 1 -r 224 -g 2/18 -M 0xF0 -D 0x00 \
  -n "TARVEX BIOS" --invariant -m "$work/bootmsg" "$tmp" 1440 >/dev/null
export TZ=UTC MTOOLS_SKIP_CHECK=1 MTOOLS_NO_VFAT=1 SOURCE_DATE_EPOCH=1262304000
mcopy -m -i "$tmp" "$work/README.TXT" ::README.TXT
mv -f "$tmp" "$out"
