#!/usr/bin/env bash
# Packages a release: the linked program, unchanged, directly followed by the
# 1,474,560 bytes of a diskette image, nothing after them.
#   package-release.sh PROGRAM IMAGE OUTPUT
# A bad image is refused and leaves no release file behind: not a partial one,
# and not an older release that would look like the result of this run.
set -uo pipefail
IMAGE_SIZE=1474560
if [ $# -ne 3 ]; then
  echo "usage: package-release.sh PROGRAM IMAGE OUTPUT" >&2
  exit 2
fi
program=$1 image=$2 out=$3
# Checked before anything else: a refusal removes the output path.
for input in "$program" "$image"; do
  if [ "$out" -ef "$input" ]; then
    echo "package-release: the output '$out' is the input '$input'; name another output file" >&2
    exit 1
  fi
done

refuse() {
  echo "package-release: $*" >&2
  [ -f "$out" ] && rm -f -- "$out"
  exit 1
}

[ -f "$program" ] && [ -r "$program" ] || refuse "cannot read the program '$program'"
[ -e "$image" ] || refuse "cannot read the image '$image': no such file"
[ -f "$image" ] || refuse "cannot read the image '$image': not a regular file"
[ -r "$image" ] || refuse "cannot read the image '$image': permission denied"
size=$(stat -L -c %s -- "$image") || refuse "cannot read the image '$image'"
if [ "$size" -ne "$IMAGE_SIZE" ]; then
  refuse "the image '$image' is $size bytes; a 1.44 MB diskette image must be exactly $IMAGE_SIZE bytes"
fi
signature=$(od -An -tx1 -j510 -N2 -- "$image" | tr -d ' \n') || refuse "cannot read the image '$image'"
if [ "$signature" != "55aa" ]; then
  echo "package-release: warning: the image '$image' has no boot-sector signature 55 AA at offsets 510-511; a disk written with it will not boot" >&2
fi

mkdir -p "$(dirname "$out")" || refuse "cannot create the folder of '$out'"
tmp="$out.tmp.$$"
trap 'rm -f "$tmp"' EXIT
cat -- "$program" "$image" >"$tmp" || refuse "cannot write '$tmp'"
# The image may have changed while it was copied: check what was written.
program_size=$(stat -c %s -- "$program")
[ "$(stat -c %s -- "$tmp")" -eq $((program_size + IMAGE_SIZE)) ] ||
  refuse "the image '$image' changed while it was packaged"
mv -f -- "$tmp" "$out" || refuse "cannot write '$out'"
trap - EXIT
echo "package-release: $out ($program_size bytes of program + $IMAGE_SIZE bytes of image from $image)"
