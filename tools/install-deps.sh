#!/usr/bin/env bash
# Installs what a command needs on a Debian 12 machine, and only what is
# missing:  install-deps.sh GROUP...
#   build  - CMake and the mingw-w64 cross compilers
#   host   - the host compiler and GoogleTest, for the host tests
#   image  - dosfstools and mtools, for the default diskette image
#   wine   - Wine for the build this host can run (tools/wine-arch.sh): with
#            its 32-bit half, or 64-bit only; tmux, to run it in a terminal
#   stick  - sfdisk, dosfstools and mtools, for the Wine flash disk of
#            tools/stick (make demo ON=stick, the Wine tests)
#   check  - clang-tidy, clang-format, cppcheck
#   boot   - qemu and the firmware of each PC that tools/boot-check.py knows,
#            to boot a diskette image
#   bootcode - SYSLINUX, GRUB and Memtest86+, whose boot code the boot check's
#            test boots
#   sign   - osslsigncode, to sign a release
#   e2e    - osslsigncode, openssl, locales and strace, for the Wine tests: a
#            signed release, Wine's messages in Russian, a slow drive
set -euo pipefail
usage() {
  echo "usage: install-deps.sh GROUP...   installs what is missing of these groups:" >&2
  sed -n 's/^#   //p' "$0" >&2
  exit 2
}
[ $# -gt 0 ] || usage

missing=()
need() { # package...
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
  done
}

for group in "$@"; do
  case $group in
    build) need cmake make g++-mingw-w64-i686 binutils-mingw-w64-i686 g++-mingw-w64-x86-64 \
      binutils-mingw-w64-x86-64 ;;
    host) need g++ libgtest-dev ;;
    image) need dosfstools mtools ;;
    wine)
      need wine tmux python3
      if [ "$(bash "$(dirname "$0")/wine-arch.sh")" = win32 ]; then need wine32:i386; else need wine64; fi
      ;;
    stick) need fdisk dosfstools mtools ;;
    check) need clang-tidy clang-format cppcheck ;;
    # The packages of the PCs, as the boot check's one list of them names them.
    boot) need qemu-system-x86 python3 $(grep -oP 'package="\K[^"]+' "$(dirname "$0")/boot-check.py" | sort -u) ;;
    bootcode) need syslinux syslinux-common grub-pc-bin memtest86+ mtools dosfstools ;;
    sign) need osslsigncode ;;
    e2e) need osslsigncode openssl locales strace ;;
    *) usage ;;
  esac
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "install-deps: installing ${missing[*]}"
sudo=
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "install-deps: run as root, or install: ${missing[*]}" >&2; exit 1; }
  sudo=sudo
fi
if printf '%s\n' "${missing[@]}" | grep -q ':i386$' && ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
# apt-get's many lines go to a log, shown when it fails; a line every 10 s
# says that it still runs.
log=$(mktemp)
{ $sudo apt-get update -q && $sudo apt-get install -y -q "${missing[@]}"; } >"$log" 2>&1 &
apt=$! waited=0
while kill -0 $apt 2>/dev/null; do
  sleep 1
  [ $((++waited % 10)) != 0 ] || echo "install-deps: still installing ($waited s)"
done
if ! wait $apt; then
  tail -n 20 "$log" >&2
  echo "install-deps: apt-get could not install ${missing[*]}; its whole output is in $log" >&2
  exit 1
fi
rm -f "$log"
