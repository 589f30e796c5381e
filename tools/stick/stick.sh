#!/usr/bin/env bash
# Gives a Wine prefix a flash disk with a partition table, as most customers
# have: the driver tools/stick/stick.c presents FILE as a removable disk,
# \\.\PhysicalDrive5, and its partition as drive S:.
#   stick.sh PREFIX DRIVER FILE [SIZE] [SWITCH=NUMBER...]
# With SIZE (as truncate reads it: 8G, 64M), FILE is made anew, sparse: an
# MBR partition table (sfdisk) with one FAT32 partition at 1 MiB (mkfs.fat).
# The switches are the driver's (Fixed, Extra, Answers, FailWrite,
# FailRead), none by default, read by the driver at each open. Its log is
# FILE.log, begun anew when the driver starts with the prefix's server:
# with SIZE, this script has it start anew.
set -euo pipefail
refuse() {
  echo "stick: $*" >&2
  exit 1
}
[ $# -ge 3 ] || refuse "usage: stick.sh PREFIX DRIVER FILE [SIZE] [SWITCH=NUMBER...]"
prefix=$(realpath -- "$1") driver=$2 file=$(realpath -m -- "$3")
shift 3
[ -f "$prefix/system.reg" ] || refuse "'$prefix' is not a Wine prefix: make one with tools/wine-prefix.sh"
[ -f "$driver" ] || refuse "no driver '$driver': build it with make win32 or make win64"
made=
if [ $# -gt 0 ] && [[ $1 != *=* ]]; then
  rm -f -- "$file"
  truncate -s "$1" -- "$file"
  echo 'start=2048, type=c, bootable' | sfdisk -q -- "$file"
  mkfs.fat -F 32 --offset 2048 -- "$file" $(($(stat -c %s -- "$file") / 1024 - 1024)) >/dev/null
  shift
  made=1
fi
[ -f "$file" ] || refuse "no disk file '$file': give its SIZE to make one"

# The driver reaches the file by its Unix name; the registry takes Windows'
# own text, UTF-16, so that any name reads as it is.
nt() { printf '\\??\\unix%s' "${1//\//\\}" | sed 's/\\/\\\\/g; s/"/\\"/g'; }
key='HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\ImagewriteStick'
{
  printf 'Windows Registry Editor Version 5.00\n\n[%s]\n"Type"=dword:00000001\n"Start"=dword:00000002\n' "$key"
  printf '"ErrorControl"=dword:00000001\n"ImagePath"="C:\\\\windows\\\\system32\\\\drivers\\\\imagewrite-stick.sys"\n'
  printf '\n[-%s\\Parameters]\n\n[%s\\Parameters]\n"Backing"="%s"\n"Log"="%s"\n' "$key" "$key" \
    "$(nt "$file")" "$(nt "$file.log")"
  for switch in "$@"; do
    [[ $switch =~ ^(Fixed|Extra|Answers|FailWrite|FailRead)=([0-9]+)$ ]] || refuse "no switch '$switch'"
    printf '"%s"=dword:%08x\n' "${BASH_REMATCH[1]}" "${BASH_REMATCH[2]}"
  done
  # Drive S: is listed as removable only where the prefix has it as a
  # floppy; its raw volume is the driver's, which names it after Wine does.
  printf '\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Drives]\n"s:"="floppy"\n'
} | iconv -f UTF-8 -t UTF-16 >"$prefix/drive_c/stick.reg"
cp -- "$driver" "$prefix/drive_c/windows/system32/drivers/imagewrite-stick.sys"
mkdir -p "$prefix/stick-root"
ln -sfn "$prefix/stick-root" "$prefix/dosdevices/s:"
"$prefix/wine" reg import 'C:\stick.reg' >/dev/null 2>&1 || refuse "Wine could not register the driver"
if [ -n "$made" ]; then
  WINEPREFIX=$prefix wineserver -k 2>/dev/null || true
  WINEPREFIX=$prefix wineserver -w
fi