#!/usr/bin/env python3
"""Boots a 1.44 MB diskette image in a PC emulator and says whether it booted.

    boot-check.py IMAGE [--expect TEXT] [--seconds N]

qemu-system-i386 boots the image from drive A: with no display. The BIOS's
own log (I/O port 0x402) says when it hands over to the boot sector, whatever
the boot code then draws. Booted: the BIOS handed over and, for the next few
seconds, the screen shows no refusal of the kind boot sectors print
("Non-system disk or disk error", ...); with --expect, the screen must also
show TEXT. The check ends as soon as its verdict is clear, or after N seconds,
prints the last screen seen, and ends with a line that says which and why.
Exit status: 0 booted, 1 not booted.
"""
import argparse
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

COLUMNS, ROWS = 80, 25
HANDOVER = "Booting from 0000:7c00"  # the BIOS's log, as it jumps to the boot sector
SETTLE = 3  # seconds after the handover in which a refusal would show
# What boot sectors print when they cannot go on (mkfs.fat's, DOS's, Windows'
# and the like), matched without regard to case.
REFUSALS = ("not a bootable disk", "non-system disk", "invalid system disk", "disk i/o error",
            "missing operating system", "remove disks or other media", "press any key to restart",
            "disk error", "invalid partition table", "error loading operating system",
            "operating system not found", "is missing", "boot failure", "insert a bootable")


def decode(cells):
    lines = []
    for row in range(ROWS):
        chars = cells[row * COLUMNS * 2:(row + 1) * COLUMNS * 2:2]
        text = "".join(chr(c) if 32 <= c < 127 else " " for c in chars)
        lines.append(text.rstrip())
    while lines and not lines[-1]:
        lines.pop()
    return lines


class Monitor:
    def __init__(self, path, seconds):
        end = time.time() + seconds
        while True:
            try:
                self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
                self.sock.connect(path)
                break
            except OSError:
                self.sock.close()
                if time.time() > end:
                    raise
                time.sleep(0.1)
        self.sock.settimeout(5)
        self.read_until(b"(qemu)")

    def read_until(self, marker):
        data = b""
        while marker not in data:
            chunk = self.sock.recv(4096)
            if not chunk:
                break
            data += chunk
        return data

    def command(self, text):
        self.sock.sendall(text.encode() + b"\n")
        return self.read_until(b"(qemu)")


def refusal(lines):
    """The screen line that holds a boot sector's refusal, or None."""
    return next((line.strip() for line in lines
                 if any(text in line.lower() for text in REFUSALS)), None)


def boot(image, expect, seconds):
    """The verdict (booted or not, and why), the last screen seen, the time taken."""
    work = tempfile.mkdtemp(prefix="boot-check-")
    monitor_path = os.path.join(work, "monitor")
    dump, log = os.path.join(work, "screen.bin"), os.path.join(work, "bios.log")
    qemu = subprocess.Popen(
        # No network card: nothing boots from the network when the disk fails.
        ["qemu-system-i386", "-fda", image, "-boot", "a", "-display", "none", "-no-reboot",
         "-nic", "none", "-snapshot", "-m", "16", "-monitor",
         "unix:%s,server,nowait" % monitor_path, "-chardev", "file,id=log,path=" + log,
         "-device", "isa-debugcon,iobase=0x402,chardev=log"],
        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    lines, verdict, handed = [], None, None
    started = time.time()
    try:
        monitor = Monitor(monitor_path, 10)
        while verdict is None and time.time() - started < seconds and qemu.poll() is None:
            time.sleep(0.25)
            monitor.command('pmemsave 0xb8000 %d "%s"' % (COLUMNS * ROWS * 2, dump))
            with open(dump, "rb") as f:
                lines = decode(f.read())
            with open(log, "rb") as f:
                bios = f.read().decode(errors="replace")
            if handed is None and HANDOVER in bios:
                handed = time.time()
            if handed is None:
                if "Boot failed" in bios or "No bootable device" in bios:
                    verdict = False, "the BIOS found no bootable disk"
            elif (refused := refusal(lines)) is not None:
                verdict = False, "the boot sector says '%s'" % refused
            elif expect is not None and expect in "\n".join(lines):
                verdict = True, "the boot sector showed '%s'" % expect
            elif expect is None and time.time() - handed >= SETTLE:
                verdict = True, "the BIOS started the boot sector and it reported no failure"
        try:
            monitor.command("quit")
        except OSError:
            pass
    finally:
        try:
            qemu.wait(timeout=5)
        except subprocess.TimeoutExpired:
            qemu.kill()
            qemu.wait()
        shutil.rmtree(work, ignore_errors=True)
    if verdict is None:
        verdict = False, ("'%s' did not appear in %g s" % (expect, seconds) if handed else
                          "the BIOS did not start the boot sector in %g s" % seconds)
    errors = qemu.stderr.read().decode(errors="replace").strip()
    if errors and not verdict[0]:
        print(errors, file=sys.stderr)
    return verdict, lines, time.time() - started


def main():
    if "--help" in sys.argv or "-h" in sys.argv:
        print(__doc__, file=sys.stderr)
        return 2
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0], add_help=False)
    parser.add_argument("image")
    parser.add_argument("--expect", help="text the screen must show")
    parser.add_argument("--seconds", type=float, default=25)
    args = parser.parse_args()
    if not os.path.isfile(args.image) or not os.access(args.image, os.R_OK):
        where = "" if os.path.isabs(args.image) else " (looked up in %s)" % os.getcwd()
        print("boot-check: cannot read the image '%s'%s" % (args.image, where), file=sys.stderr)
        return 1
    size = os.path.getsize(args.image)
    if size != 1474560:
        print("boot-check: the image '%s' is %d bytes; a 1.44 MB diskette image is exactly "
              "1474560 bytes" % (args.image, size), file=sys.stderr)
        return 1
    (booted, why), lines, took = boot(args.image, args.expect, args.seconds)
    print("+" + "-" * COLUMNS + "+")
    for line in lines:
        print("|" + line.ljust(COLUMNS) + "|")
    print("+" + "-" * COLUMNS + "+")
    print("boot-check: the verdict after %.1f s" % took)
    print("%s: %s" % ("booted" if booted else "not booted", why))
    return 0 if booted else 1


if __name__ == "__main__":
    sys.exit(main())
