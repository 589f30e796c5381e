#!/usr/bin/env bash
# The boot check's verdict on diskettes made here, from Debian's boot code
# and from a few bytes of our own:  boot_check_test.sh [ONLY]
# (ONLY: a regular expression of the rows' image names, such as 'efi|grub')
# On the default PCs: Memtest86+'s EFI program on mkfs.fat's diskette (booted
# on UEFI alone, refused by Secure Boot), mkfs.fat's diskette (booted
# nowhere, Not Found on UEFI), SYSLINUX beside the EFI program (booted on
# three); its 32-bit EFI program on the 32-bit UEFI PC and, Not Found, on
# the 64-bit one. The README's table names the PCs that --list gives. On
# a diskette drive: Debian's boot code (a GRUB shell, Memtest86+ written raw;
# SYSLINUX's GPT boot sector, which hangs; mformat's, which hands back), the
# default image, and boot sectors of our own that load a second sector which
# waits, draws or spins, draw for ever, halt, reset, run nothing;
# SYSLINUX damaged two ways, which shows its banner and answers no key.
# A row is IMAGE|STATUS|VERDICTS[|MACHINES], the verdicts as shell patterns.
# ONLY that matches no row fails: a filter mistyped has checked nothing.
# The whole run first runs itself against a boot check that calls every
# disk booted (BOOT_CHECK), filtered to one row and to two: both must fail.
set -u
tools=$(cd "$(dirname "$0")/../tools" && pwd) work=$(mktemp -d)
# Only this shell removes the folder: a child that ends through its own
# EXIT path must not take it away while the rows still run.
trap '[ "$BASHPID" != "$$" ] || rm -rf "$work"' EXIT
boot_check=${BOOT_CHECK:-$tools/boot-check.py}
if [ $# = 0 ]; then
  printf '#!/bin/sh\necho "diskette: booted: so it says"\n' >"$work/liar" && chmod +x "$work/liar"
  for only in default 'default|blank' nomatch; do
    BOOT_CHECK=$work/liar bash "$0" "$only" >"$work/lied" 2>&1 && echo "FAILED: rows '$only' pass a lie" && exit 1
    [[ $(tail -n 1 "$work/lied") == "FAILED: "* ]] || { echo "FAILED: rows '$only' on a lie:" && cat "$work/lied" && exit 1; }
    echo "ok: rows '$only' fail on a boot check that lies"
  done
fi
pcs=$(grep -oP '^\| `\K[a-z0-9-]+(?=` \|)' "$tools/../README.md" | paste -sd' ')
[ "$pcs" = "$("$tools/boot-check.py" --list | cut -d' ' -f1 | paste -sd' ')" ] ||
  { echo "FAILED: the README's table names the PCs $pcs, not those of boot-check.py --list"; exit 1; }
cd "$work" || exit 1
bash "$tools/make-default-image.sh" default.img
mkfs.fat -C mkfs.img 1440 >/dev/null
printf 'Loading BIOS update...' >msg.txt
mkfs.fat -C -m msg.txt message.img 1440 >/dev/null
mformat -f 1440 -C -i mformat.img ::
head -c 1474560 /dev/zero >blank.img
# A diskette whose boot sector is CODE (octal escapes), then 55 AA, then SECOND.
sector() {
  { printf "$2" && head -c $((510 - $3)) /dev/zero && printf '\125\252' && printf "${4:-}"; } >"$1.img"
  truncate -s 1474560 "$1.img"
}
{ head -c 440 /usr/lib/syslinux/mbr/gptmbr.bin && head -c 70 /dev/zero && printf '\125\252'; } >gptmbr.img
truncate -s 1474560 gptmbr.img
cp /boot/memtest86+x64.bin memtest.img && truncate -s 1474560 memtest.img
# EFI diskettes: Memtest86+'s EFI program as the removable media boot program,
# on mkfs.fat's diskette, and beside SYSLINUX.
for image in efi sysefi ia32; do
  cp mkfs.img $image.img && mmd -i $image.img ::/EFI ::/EFI/BOOT
done
for image in efi sysefi; do mcopy -i $image.img /boot/memtest86+x64.efi ::/EFI/BOOT/BOOTX64.EFI; done
mcopy -i ia32.img /boot/memtest86+ia32.efi ::/EFI/BOOT/BOOTIA32.EFI
syslinux --install sysefi.img
# SYSLINUX damaged: its write cut short after 92,160 bytes (the rest blank),
# and its later stage, ldlinux.c32, zeroed after its first 4,096 bytes.
cp mkfs.img sys.img && syslinux --install sys.img && { head -c 92160 sys.img && head -c 1382400 /dev/zero; } >cut.img
mcopy -i sysefi.img ::/ldlinux.c32 . && size=$(stat -c %s ldlinux.c32) && truncate -s 4096 ldlinux.c32 &&
  truncate -s "$size" ldlinux.c32
cp sysefi.img zeroed.img && mcopy -o -i zeroed.img ldlinux.c32 ::/ldlinux.c32
grub-mkimage -O i386-pc -o core.img -p '(fd0)' biosdisk normal &&
  cat /usr/lib/grub/i386-pc/boot.img core.img >grub.img && truncate -s 1474560 grub.img
# Clears the screen, then counts on in its top-left corner for ever.
sector spinner '\270\3\0\315\20\270\0\270\216\300\46\376\6\0\0\353\371' 17
sector zeros '' 0
sector halt '\372\364' 2                 # cli, hlt
sector reset '\260\376\346\144\353\376' 6 # the keyboard controller's reset line
# Loads its second sector to 0000:8000 and jumps there: one that spins, one
# that prints L and waits for a key, one that spins counting on the screen.
load='\61\300\216\300\270\1\2\271\2\0\266\0\273\0\200\315\23\352\0\200\0\0'
sector loadspin "$load" 22 '\220\220\220\353\376'
sector loadwait "$load" 22 '\264\16\260\114\315\20\61\300\315\26\353\376'
sector loaddraw "$load" 22 '\270\3\0\315\20\270\0\270\216\300\46\376\6\0\0\353\371'
loaded="booted: the boot code loaded more of the disk and runs what it loaded"
only="not booted: the boot sector ran only its own 512 bytes"
mkfs="not booted: the boot code says 'This is not a bootable disk.  Please insert a bootable floppy and' (*)"
none="not booted: no EFI boot program on the disk: the firmware says 'BdsDxe: failed to load Boot0001 \"UEFI QEMU QEMU USB HARDDRIVE *: Not Found' (*)"
denied="not booted: refused by Secure Boot: the firmware says 'BdsDxe: failed to load Boot0001 *: Access Denied' (*)"
# The verdict lines joined by ';', and only the verdict of a diskette drive.
check() { # IMAGE STATUS VERDICTS [MACHINES]
  got=$("$boot_check" --on "${4:-diskette}" "$1.img" 2>&1)
  s=$? got=$(grep -E '^([^ :]+: (not )?booted|boot-check):' <<<"$got" | sed "s/^${4:-diskette}: //" | paste -sd';')
  if [ "$s" = "$2" ] && [[ $got == $3 ]]; then echo "ok: $1: $got"; else
    echo "FAILED: $1 (status $s, expected $2: $3): $got"; return 1
  fi
}
# Two at a time: most verdicts take seconds, a few need the 20 s of stillness.
# Each row's status is its own job's, taken by its PID in this shell.
(while sleep 5; do echo "boot-check: still watching"; done) &
beat=$! matched=0 failed=()
declare -A rows=()
finish() {
  local pid
  wait -n -p pid "${!rows[@]}" || failed+=("${rows[$pid]}")
  unset "rows[$pid]"
}
while IFS='|' read -r image status verdict on; do
  [[ $image =~ ^(${1:-.*})$ ]] || continue
  [ ${#rows[@]} -lt 2 ] || finish
  check "$image" "$status" "$verdict" "$on" &
  rows[$!]=$image matched=1
done <<ROWS
efi|1|diskette: $mkfs;bios-stick: $mkfs;uefi: booted: the firmware started the disk's EFI program, which ran on for 10 s (*);uefi-secure-boot: $denied|diskette,bios-stick,uefi,uefi-secure-boot
ia32|1|uefi: $none;uefi-ia32: booted: the firmware started the disk's EFI program, which ran on for 10 s (*)|uefi,uefi-ia32
mkfs|1|diskette: $mkfs;bios-stick: $mkfs;uefi: $none;uefi-secure-boot: $none|diskette,bios-stick,uefi,uefi-secure-boot
sysefi|1|diskette: $loaded: it answered Enter by drawing on the screen (*);bios-stick: $loaded: it answered Enter by drawing on the screen (*);uefi: booted: *;uefi-secure-boot: $denied|diskette,bios-stick,uefi,uefi-secure-boot
default|1|not booted: the boot code says 'Remove the disk and press any key to reboot.' (*)
message|1|$only: it shows 'Loading BIOS update...' (watched for 2?.? s)
mformat|1|not booted: the boot code handed back to the BIOS, which says 'Booting from Floppy...' (*)
gptmbr|1|not booted: the boot code hangs: the CPU spun at 0000:067? for 20 s, drawing nothing and reading nothing (*)
memtest|0|$loaded: * (*)
grub|0|$loaded: * (watched for ?.? s)
loadspin|1|not booted: the boot code hangs: the CPU spun at 0000:8003 for 20 s, *
loadwait|0|$loaded: it answered Enter by leaving its wait (*)
cut|1|not booted: the loaded code stopped answering: * 'SYSLINUX 6.04 *' (watched for ?.? s)
zeroed|1|not booted: the loaded code stopped answering: * 'SYSLINUX 6.04 *' (watched for ?.? s)
loaddraw|0|$loaded: it keeps drawing on the screen (*)
spinner|1|$only: it * (*)
blank|1|not booted: the BIOS found no bootable disk (*)
zeros|1|not booted: the CPU ran code where nothing was loaded, at address * (*)
halt|1|not booted: the CPU halted with interrupts off, at 0000:7c02 (*)
reset|1|not booted: the machine reset itself after the BIOS started the boot sector (*)
none|2|boot-check: cannot read the image 'none.img': no such file (looked up in $work)
ROWS
while [ ${#rows[@]} -gt 0 ]; do finish; done
kill $beat
[ $matched = 1 ] || { echo "FAILED: no row's image matches '${1:-}'"; exit 1; }
[ ${#failed[@]} = 0 ] || { echo "FAILED: ${failed[*]}"; exit 1; }
