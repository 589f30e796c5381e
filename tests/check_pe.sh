#!/usr/bin/env bash
# The linked Windows program: a console PE of the expected width that imports
# from KERNEL32.dll and msvcrt.dll alone, with msvcrt's own formatted printing,
# randomisable and non-executable data, its manifest and version resource.
#   check_pe.sh EXE win32|win64
set -u
exe=$1 arch=$2
fail=0
check() { # description, command...
  local what=$1; shift
  if "$@"; then echo "ok: $what"; else echo "FAILED: $what"; fail=1; fi
}
headers=$(x86_64-w64-mingw32-objdump -p -h "$exe") || { echo "FAILED: objdump cannot read $exe"; exit 1; }

# The imports, one "DLL:function" per line.
imports=$(awk '/DLL Name:/ {dll=$3; next}
               dll != "" && NF == 0 {dll=""; next}
               dll != "" && $1 ~ /^[0-9a-f]+$/ && NF >= 3 {print dll ":" $3}' <<<"$headers")
dlls=$(grep -o 'DLL Name: .*' <<<"$headers" | cut -d' ' -f3 | sort | tr '\n' ' ')
# IMAGE_DLLCHARACTERISTICS_: DYNAMIC_BASE 0x40, NX_COMPAT 0x100, and for
# 64-bit HIGH_ENTROPY_VA 0x20.
if [ "$arch" = win64 ]; then magic='(PE32+)' bits=$((0x160)); else magic='(PE32)' bits=$((0x140)); fi
characteristics=$((0x$(awk '$1 == "DllCharacteristics" {print $2}' <<<"$headers")))

check "$magic image" test "$(awk '$1 == "Magic" {print $3}' <<<"$headers")" = "$magic"
check "console subsystem" grep -q 'Subsystem.*(Windows CUI)' <<<"$headers"
check "imports KERNEL32.dll and msvcrt.dll only (got: $dlls)" test "$dlls" = "KERNEL32.dll msvcrt.dll "
for f in msvcrt.dll:{printf,_snprintf,_vsnprintf,_getch,puts,putchar,exit} \
  KERNEL32.dll:{CreateFileA,DeviceIoControl,WriteFile,GetDriveTypeA,FormatMessageA,MapViewOfFile}; do
  check "imports $f" grep -qx "$f" <<<"$imports"
done
check "DllCharacteristics $(printf 0x%x $characteristics) has the bits $(printf 0x%x $bits)" \
  test $((characteristics & bits)) -eq $bits
check "a relocation section, so the image can move" grep -qE '^ *[0-9]+ \.reloc ' <<<"$headers"
# The manifest asks for administrator rights (raw volume access needs them);
# the version resource names the product and its version (UTF-16 strings).
utf16() { printf '%s' "$1" | sed 's/./&\\x00/g'; } # as a grep -P pattern
check "manifest asks for administrator rights" grep -qa 'level="requireAdministrator"' "$exe"
check "version resource names the product" \
  grep -qaP "$(utf16 'ProductName')\\x00+$(utf16 'Varnel Tarvex Flash Disk Creation Utility')" "$exe"
check "version resource gives version 1.00" \
  grep -qaP "$(utf16 'ProductVersion')\\x00+$(utf16 '1.00')\\x00" "$exe"
size=$(stat -c %s "$exe")
check "linked size $size is a multiple of 512, so an appended image starts sector-aligned" \
  test $((size % 512)) -eq 0
exit $fail
