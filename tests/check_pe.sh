#!/usr/bin/env bash
# The linked Windows program:  check_pe.sh EXE win32|win64 VERSION DOTTED ARCHITECTURE
# (VERSION as the banner shows it, MAJOR.MINOR; DOTTED as the manifest, MAJOR.MINOR.0.0;
# ARCHITECTURE as the manifest names it, x86 or amd64). Its headers, imports,
# manifest, version resource and banner, and its size, read from the linked
# program; the last line says how much room is left in each section.
set -u
exe=$1 version=$3 major=${3%.*} minor=$((10#${3#*.})) most=12288 aim=11776 fail=0
check() { if "${@:2}"; then echo "ok: $1"; else echo "FAILED: $1"; fail=1; fi; }
headers=$(x86_64-w64-mingw32-objdump -p -h "$exe") || exit 1
# DllCharacteristics: dynamic base 0x40, NX 0x100, and in 64 bits high entropy 0x20.
if [ "$2" = win64 ]; then magic='(PE32+)' bits=0x160; else magic='(PE32)' bits=0x140; fi
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
check "a manifest of version $4 for $5" grep -qa "version=\"$4\" processorArchitecture=\"$5\"" "$exe"
check "the banner says $version" grep -qa "Creation Utility $version   " "$exe"
utf16() { printf '%s' "$1" | sed 's/./&\\x00/g'; } # the version resource's strings, as a pattern
for field in 'ProductName Varnel Tarvex Flash Disk Creation Utility' "ProductVersion $version" "FileVersion $version"; do
  check "version resource: $field" grep -qaP "$(utf16 "${field%% *}")\\x00+$(utf16 "${field#* }")\\x00" "$exe"
done
# The fixed file information after its signature FEEF04BD: its own version,
# then FILEVERSION and PRODUCTVERSION, each MAJOR.MINOR then 0.0 in 16-bit words.
at=$(LC_ALL=C grep -obUaP '\xBD\x04\xEF\xFE' "$exe" | head -n 1 | cut -d: -f1)
numbers=$(echo $(od -An -tu2 -j$((${at:-0} + 8)) -N16 "$exe"))
check "FILEVERSION and PRODUCTVERSION $major, $minor, 0, 0" test "$numbers" = "$minor $major 0 0 $minor $major 0 0"
size=$(stat -c %s "$exe")
check "size a multiple of 512, so an appended image starts sector-aligned" test $((size % 512)) -eq 0
# The bound: the distributed build's 11,776 bytes and one sector of room, so
# that one more text or call does not break the build; 11,776 stays the aim.
# A change that crosses it trims (a text, a call), merges, or raises the
# bound in a commit of its own that says why. Each section takes whole
# sectors; a failure names those that take more than in the build's last
# layout, written here after the 1,024 bytes of headers.
declare -A layout=([win32]='.text 12 .rdata 4 .idata 2 .rsrc 3 .reloc 1'
  [win64]='.text 11 .rdata 4 .idata 3 .rsrc 3 .reloc 1')
used= spilled=
while read -r _ name hex _; do
  sectors=$(((0x$hex + 511) / 512)) before=$(grep -oP "(?<=\\$name )[0-9]+" <<<"${layout[$2]}")
  used+="$name $((0x$hex)) used, $((sectors * 512 - 0x$hex)) free; "
  [ "$sectors" -le "${before:-0}" ] || spilled+=" $name (now $sectors sectors, ${before:-0} before)"
done < <(grep -E '^ +[0-9]+ \.' <<<"$headers" | grep -v ' \.bss ')
check "at most $most bytes (the aim $aim): $size; ${used%; }" test "$size" -le $most
[ "$size" -le $most ] || echo "  grown:${spilled:- no section}"
exit $fail
