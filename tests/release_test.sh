#!/usr/bin/env bash
# The default diskette image and the release packaging: the image's format
# and reproducibility, the release's layout byte for byte, and the refusals.
set -u
program=$1
tools=$(cd "$(dirname "$0")/../tools" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
IMAGE_SIZE=1474560
fail=0
ok() { echo "ok: $1"; }
bad() { echo "FAILED: $1"; fail=1; }
check() { local what=$1; shift; if "$@"; then ok "$what"; else bad "$what"; fi; }
u16() { od -An -tu2 -j"$2" -N2 --endian=little "$1" | tr -d ' '; }
u8() { od -An -tu1 -j"$2" -N1 "$1" | tr -d ' '; }
hex() { od -An -tx1 -j"$2" -N"$3" "$1" | tr -d ' \n'; }

# --- the default image ---------------------------------------------------
img=$work/default.img
bash "$tools/make-default-image.sh" "$img" || bad "make-default-image.sh failed"
check "default image is $IMAGE_SIZE bytes" test "$(stat -c %s "$img")" -eq $IMAGE_SIZE
check "512 bytes per sector" test "$(u16 "$img" 11)" -eq 512
check "2,880 sectors in all" test "$(u16 "$img" 19)" -eq 2880
check "media descriptor 0xF0" test "$(u8 "$img" 21)" -eq 240
check "18 sectors per track" test "$(u16 "$img" 24)" -eq 18
check "2 heads" test "$(u16 "$img" 26)" -eq 2
check "FAT12 file system type" test "$(dd if="$img" bs=1 skip=54 count=8 status=none)" = "FAT12   "
check "boot-sector signature 55 AA" test "$(hex "$img" 510 2)" = "55aa"
check "boot message says there is no BIOS update yet" \
  grep -qa "carries no BIOS update yet" <(head -c 512 "$img")
listing=$(MTOOLS_SKIP_CHECK=1 mdir -i "$img" ::)
check "mdir lists README.TXT" grep -Eq '^README +TXT' <<<"$listing"
check "the volume label names the product" grep -q 'Volume in drive : is TARVEX BIOS' <<<"$listing"
check "README.TXT says how to build a release with one's own image" \
  grep -q 'make release IMAGE=' <(MTOOLS_SKIP_CHECK=1 mtype -i "$img" ::README.TXT)
sleep 1.1 # a second later: any clock-based field would now differ
bash "$tools/make-default-image.sh" "$work/again.img"
check "the default image is the same on every build" cmp -s "$img" "$work/again.img"

# --- packaging -------------------------------------------------------------
out=$work/release/imagewrite.exe
bash "$tools/package-release.sh" "$program" "$img" "$out" >/dev/null 2>"$work/err"
L=$(stat -c %s "$program")
check "release is the program ($L bytes) plus $IMAGE_SIZE bytes" \
  test "$(stat -c %s "$out")" -eq $((L + IMAGE_SIZE))
check "its first $L bytes are the linked program, unchanged" cmp -s -n "$L" "$program" "$out"
check "its last $IMAGE_SIZE bytes are the image" cmp -s "$img" <(tail -c $IMAGE_SIZE "$out")
check "the image starts sector-aligned (L = $L is a multiple of 512)" test $((L % 512)) -eq 0
check "a bootable image packages without a warning" test ! -s "$work/err"

# An image without the boot signature is packaged, with a warning.
head -c $IMAGE_SIZE /dev/zero >"$work/blank.img"
bash "$tools/package-release.sh" "$program" "$work/blank.img" "$work/nosig.exe" >/dev/null 2>"$work/err"
check "an image without 55 AA is packaged" cmp -s "$work/blank.img" <(tail -c $IMAGE_SIZE "$work/nosig.exe")
check "with a warning that it will not boot" grep -q "will not boot" "$work/err"

# Refusals: a clear message naming the file and its size, and no release left.
refusal() { # description, image, text the message must hold
  local what=$1 image=$2 text=$3 target=$work/refused/imagewrite.exe
  mkdir -p "$work/refused"
  echo stale >"$target"
  if bash "$tools/package-release.sh" "$program" "$image" "$target" >/dev/null 2>"$work/err"; then
    bad "$what: accepted"
  else
    check "$what: refused with a message holding '$text'" grep -qF -- "$text" "$work/err"
    check "$what: no release file left behind" test -z "$(ls -A "$work/refused")"
  fi
}
head -c $((IMAGE_SIZE - 1)) "$img" >"$work/short.img"
cat "$img" <(printf x) >"$work/long.img"
: >"$work/empty.img"
refusal "an image one byte short" "$work/short.img" "'$work/short.img' is 1474559 bytes"
refusal "an image one byte long" "$work/long.img" "'$work/long.img' is 1474561 bytes"
refusal "an empty image" "$work/empty.img" "'$work/empty.img' is 0 bytes"
refusal "a missing image" "$work/none.img" "'$work/none.img': no such file"
refusal "a folder given as the image" "$work" "'$work': not a regular file"

# An output that names an input is refused before anything is touched.
cp "$img" "$work/in.img" && cp "$program" "$work/in.exe"
for input in "$work/in.img" "$work/in.exe"; do
  bash "$tools/package-release.sh" "$work/in.exe" "$work/in.img" "$input" >/dev/null 2>"$work/err"
  check "the output $input, an input, is refused" grep -qF "the output '$input' is the input" \
    "$work/err"
done
check "and both inputs are left as they were" cmp -s "$img" "$work/in.img"
check "(the program too)" cmp -s "$program" "$work/in.exe"
exit $fail
