#!/usr/bin/env bash
# Which build of the program this host can run under Wine:
#   wine-arch.sh        prints win32 where the kernel runs 32-bit x86 programs,
#                       win64 where it does not
#   wine-arch.sh --say  prints instead the one line that tells which and why
# The answer comes from starting a 32-bit program, not from the packages: the
# 32-bit Wine loader installs without complaint on a kernel that cannot start it.
set -euo pipefail
if [ $# -gt 1 ] || { [ $# = 1 ] && [ "$1" != --say ]; }; then
  echo "usage: wine-arch.sh [--say]   prints win32 or win64: the build this host can run" >&2
  exit 2
fi
dir=$(cd "$(dirname "$0")/.." && pwd)/build
mkdir -p "$dir"
probe=$(mktemp "$dir/i386-probe.XXXXXX")
trap 'rm -f "$probe"' EXIT
# A static 32-bit ELF program of 93 bytes: its one header and segment, then
# the code of exit(0) (mov eax, 1; xor ebx, ebx; int 0x80).
printf '\177ELF\1\1\1\0\0\0\0\0\0\0\0\0\2\0\3\0\1\0\0\0\124\200\4\010\064\0\0\0' >"$probe"
printf '\0\0\0\0\0\0\0\0\064\0\040\0\1\0\0\0\0\0\0\0' >>"$probe"
printf '\1\0\0\0\0\0\0\0\0\200\4\010\0\200\4\010\135\0\0\0\135\0\0\0\5\0\0\0\0\020\0\0' >>"$probe"
printf '\270\1\0\0\0\061\333\315\200' >>"$probe"
chmod +x "$probe"
# An emulator registered for 32-bit programs would start the probe, but not
# Wine's 32-bit loader: that counts as no.
if "$probe" 2>/dev/null && ! grep -qs qemu-i386 /proc/sys/fs/binfmt_misc/*; then
  arch=win32
else
  arch=win64
fi
if [ "${1:-}" != --say ]; then
  echo $arch
elif [ $arch = win32 ]; then
  echo "this host runs 32-bit programs: running the 32-bit build, the product"
else
  echo "this host cannot run 32-bit programs: running the 64-bit build of the same source"
fi
