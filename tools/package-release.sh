#!/usr/bin/env bash
# Packages a release: the linked program, unchanged, directly followed by the
# 1,474,560 bytes of a diskette image, nothing after them; and beside it
# OUTPUT.sha256, its checksum in the form that `sha256sum -c` reads.
#   package-release.sh PROGRAM IMAGE OUTPUT
# A refusal writes nothing: the release of an earlier run, signed or not,
# stays as it was with its checksum, and the refusal says so.
# Interrupted (SIGINT, SIGTERM, SIGHUP), it leaves the earlier release with
# its checksum, or the new one with its own, and no temporary file.
set -uo pipefail
IMAGE_SIZE=1474560
if [ $# -ne 3 ] || [ "$1" = --help ]; then
  echo "usage: package-release.sh PROGRAM IMAGE OUTPUT" >&2
  exit 2
fi
program=$1 image=$2 out=$3
source "$(dirname -- "$0")/release-lib.sh" package-release
# Checked before anything else: the release replaces whatever OUTPUT names
# with a plain file.
for input in "$program" "$image"; do
  [ "$out" -ef "$input" ] && fail "the output '$out' is the input '$input'; name another output file"
done
if [ -e "$out" ] && [ ! -f "$out" ]; then
  fail "the output '$out' is a $(stat -L -c %F -- "$out"), not a file; name a file to write"
fi
refuse() {
  [ -f "$out" ] && fail "$*; the release of an earlier run stays: $out"
  fail "$@"
}

[ -f "$program" ] && [ -r "$program" ] || refuse "cannot read the program '$program'"
[ -n "$image" ] || refuse "the image's name is empty: name a 1.44 MB diskette image, as IMAGE=path/to/disk.img"
where=
[ "${image#/}" = "$image" ] && where=" in $PWD"
[ -e "$image" ] || refuse "cannot read the image '$image': no such file$where"
[ -f "$image" ] || refuse "cannot read the image '$image': not a regular file"
[ -r "$image" ] || refuse "cannot read the image '$image': permission denied"
size=$(stat -L -c %s -- "$image") || refuse "cannot read the image '$image'"
if [ "$size" -ne "$IMAGE_SIZE" ]; then
  refuse "the image '$image' is $size bytes; a 1.44 MB diskette image must be exactly $IMAGE_SIZE bytes"
fi
signature=$(od -An -tx1 -j510 -N2 -- "$image") || refuse "cannot read the image '$image'"
if [ "$(tr -d ' \n' <<<"$signature")" != "55aa" ]; then
  echo "package-release: warning: the image '$image' has no boot-sector signature 55 AA at offsets 510-511; a disk written with it will not boot" >&2
fi

error=$(mkdir -p -- "$(dirname -- "$out")" 2>&1) ||
  refuse "cannot write '$out': cannot create its folder: $(reason "$error")"
temp tmp "$out"
error=$(cat -- "$program" "$image" 2>&1 >"$tmp") || refuse "cannot write '$out': $(reason "$error")"
# The image may have changed while it was copied: check what was written.
program_size=$(stat -c %s -- "$program")
[ "$(stat -c %s -- "$tmp")" -eq $((program_size + IMAGE_SIZE)) ] ||
  refuse "the image '$image' changed while it was packaged"
echo "package-release: $out ($program_size bytes of program + $IMAGE_SIZE bytes of image from $image)"
publish "$tmp" "$out"
