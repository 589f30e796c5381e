#!/usr/bin/env bash
# The linked Windows program: a 32-bit console PE that imports from
# KERNEL32.dll and msvcrt.dll alone, with msvcrt's own formatted printing.
set -u
exe=$1
fail=0
check() { # description, command...
  local what=$1; shift
  if "$@"; then echo "ok: $what"; else echo "FAILED: $what"; fail=1; fi
}
headers=$(i686-w64-mingw32-objdump -p "$exe") || { echo "FAILED: objdump cannot read $exe"; exit 1; }

# The imports, one "DLL:function" per line.
imports=$(awk '/DLL Name:/ {dll=$3; next}
               dll != "" && NF == 0 {dll=""; next}
               dll != "" && $1 ~ /^[0-9a-f]+$/ && NF >= 3 {print dll ":" $3}' <<<"$headers")
dlls=$(grep -o 'DLL Name: .*' <<<"$headers" | cut -d' ' -f3 | sort | tr '\n' ' ')

check "PE32 (32-bit) image" grep -q 'Magic.*(PE32)$' <<<"$headers"
check "console subsystem" grep -q 'Subsystem.*(Windows CUI)' <<<"$headers"
check "imports KERNEL32.dll and msvcrt.dll only (got: $dlls)" test "$dlls" = "KERNEL32.dll msvcrt.dll "
for f in printf _snprintf _vsnprintf _getch puts putchar exit; do
  check "imports msvcrt's $f" grep -qx "msvcrt.dll:$f" <<<"$imports"
done
for f in CreateFileA DeviceIoControl WriteFile GetDriveTypeA FormatMessageA MapViewOfFile; do
  check "imports KERNEL32's $f" grep -qx "KERNEL32.dll:$f" <<<"$imports"
done
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
