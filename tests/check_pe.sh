#!/usr/bin/env bash
# The linked Windows program:  check_pe.sh EXE win32|win64
set -u
exe=$1 fail=0
check() { if "${@:2}"; then echo "ok: $1"; else echo "FAILED: $1"; fail=1; fi; }
headers=$(x86_64-w64-mingw32-objdump -p -h "$exe") || exit 1
# DllCharacteristics: dynamic base 0x40, NX 0x100, and in 64 bits high entropy 0x20.
if [ "$2" = win64 ]; then magic='(PE32+)' bits=0x160 most=11776; else magic='(PE32)' bits=0x140 most=11776; fi
has() { grep -q "$@" <<<"$headers"; }
check "$magic image" has -xP "Magic\t+[0-9a-f]+\t\Q$magic"
check "console subsystem" has 'Subsystem.*(Windows CUI)'
check "imports KERNEL32.dll and msvcrt.dll only" \
  test "$(grep -o 'DLL Name: .*' <<<"$headers" | sort | tr '\n' ' ')" = "DLL Name: KERNEL32.dll DLL Name: msvcrt.dll "
# msvcrt's own printf, not mingw's copy linked in (which C++ headers switch on).
check "imports msvcrt's printf and _snprintf" test "$(grep -cP '\t +\d+ +_?s?n?printf$' <<<"$headers")" -eq 2
check "DllCharacteristics has $bits" test $((0x$(awk '/^DllCharacteristics/ {print $2}' <<<"$headers") & bits)) -eq $((bits))
check "no time stamp: the same source links to the same bytes" has -P 'Time/Date\t+Thu Jan  1 00:00:00 1970'
check "a relocation section" has -E '^ +[0-9]+ \.reloc '
check "a manifest that asks for administrator rights" grep -qa 'level="requireAdministrator"' "$exe"
utf16() { printf '%s' "$1" | sed 's/./&\\x00/g'; } # the version resource's strings, as a pattern
for field in 'ProductName Varnel Tarvex Flash Disk Creation Utility' 'ProductVersion 1.00'; do
  check "version resource: $field" grep -qaP "$(utf16 "${field%% *}")\\x00+$(utf16 "${field#* }")\\x00" "$exe"
done
check "size a multiple of 512, so an appended image starts sector-aligned" test $(($(stat -c %s "$exe") % 512)) -eq 0
check "at most $most bytes: our own start-up, not the cross compiler's" test "$(stat -c %s "$exe")" -le $most
exit $fail
