#!/usr/bin/env bash
# The boot check's verdict on four diskettes, made here:  boot_check_test.sh
set -u
tools=$(dirname "$0")/../tools work=$(mktemp -d) fail=0
trap 'rm -rf "$work"' EXIT
bash "$tools/make-default-image.sh" "$work/default.img"
mkfs.fat -C "$work/mkfs.img" 1440 >/dev/null
head -c 1474560 /dev/zero >"$work/blank.img"
# Clears the screen, then counts on in its top-left corner for ever.
{ printf '\270\3\0\315\20\270\0\270\216\300\46\376\6\0\0\353\371' && head -c 493 /dev/zero &&
  printf '\125\252' && head -c $((1474560 - 512)) /dev/zero; } >"$work/spinner.img"
for row in "default|0|booted: the BIOS started the boot sector and it reported no failure" \
  "spinner|0|booted: the BIOS started the boot sector and it reported no failure" \
  "mkfs|1|not booted: the boot sector says 'This is not a bootable disk.  Please insert a bootable floppy and'" \
  "blank|1|not booted: the BIOS found no bootable disk"; do
  IFS='|' read -r image status verdict <<<"$row"
  got=$(python3 "$tools/boot-check.py" "$work/$image.img" 2>&1)
  s=$? got=$(tail -n 2 <<<"$got")
  if [ "$s" = "$status" ] && [ "${got#*$'\n'}" = "$verdict" ]; then echo "ok: $image: $got"; else
    echo "FAILED: $image (status $s, expected $status: $verdict): $got"; fail=1
  fi
done
exit $fail
