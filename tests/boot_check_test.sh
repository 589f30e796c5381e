#!/usr/bin/env bash
# The boot check's verdict on diskettes made here:  boot_check_test.sh
set -u
tools=$(dirname "$0")/../tools work=$(mktemp -d) fail=0
trap 'rm -rf "$work"' EXIT
bash "$tools/make-default-image.sh" "$work/default.img"
mkfs.fat -C "$work/mkfs.img" 1440 >/dev/null
head -c 1474560 /dev/zero >"$work/blank.img"
# A diskette whose boot sector is CODE (octal escapes), then 55 AA.
sector() {
  { printf "$2" && head -c $((510 - $3)) /dev/zero && printf '\125\252' &&
    head -c $((1474560 - 512)) /dev/zero; } >"$work/$1.img"
}
# Clears the screen, then counts on in its top-left corner for ever.
sector spinner '\270\3\0\315\20\270\0\270\216\300\46\376\6\0\0\353\371' 17
sector zeros '' 0
sector jump '\352\0\0\0\20' 5          # to 1000:0000, where nothing was loaded
sector halt '\372\364' 2               # cli, hlt
sector reset '\260\376\346\144\353\376' 6 # the keyboard controller's reset line
for row in "default|0|booted: the boot code drew on the screen and reported no failure" \
  "spinner|0|booted: the boot code drew on the screen and reported no failure" \
  "mkfs|1|not booted: the boot sector says 'This is not a bootable disk.  Please insert a bootable floppy and'" \
  "blank|1|not booted: the BIOS found no bootable disk" \
  "zeros|1|not booted: the CPU ran code where nothing was loaded, at address *" \
  "jump|1|not booted: the CPU ran code where nothing was loaded, at address 1*" \
  "halt|1|not booted: the CPU halted with interrupts off, at 0000:7c02" \
  "reset|1|not booted: the machine reset itself after the BIOS started the boot sector" \
  "none|2|boot-check: cannot read the image '$work/none.img': no such file"; do
  IFS='|' read -r image status verdict <<<"$row"
  got=$(python3 "$tools/boot-check.py" "$work/$image.img" 2>&1)
  s=$? got=$(tail -n 2 <<<"$got")
  if [ "$s" = "$status" ] && [[ ${got#*$'\n'} == $verdict ]]; then echo "ok: $image: $got"; else
    echo "FAILED: $image (status $s, expected $status: $verdict): $got"; fail=1
  fi
done
exit $fail
