#!/usr/bin/env python3
"""Boots a 1.44 MB diskette image in a PC emulator and prints its text screen.

    boot-check.py IMAGE [--expect TEXT] [--seconds N]

qemu-system-i386 boots the image from drive A: with no display. Every half
second the monitor saves the VGA text buffer (physical 0xB8000, 80x25 cells
of character and attribute) to a file, until the screen holds TEXT (with
--expect) or stops changing after the BIOS has handed over to the boot
sector, or N seconds have passed. Then qemu is ended and the screen printed.
Exit status: 0 when the expected text was seen (or, without --expect, when the
BIOS found the disk bootable), 1 otherwise.
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
BIOS_FAILURES = ("not a bootable disk", "No bootable device", "Boot failed")


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


def boot(image, expect, seconds):
    work = tempfile.mkdtemp(prefix="boot-check-")
    monitor_path = os.path.join(work, "monitor")
    dump = os.path.join(work, "screen.bin")
    qemu = subprocess.Popen(
        # No network card: nothing boots from the network when the disk fails.
        ["qemu-system-i386", "-fda", image, "-boot", "a", "-display", "none", "-no-reboot",
         "-nic", "none", "-snapshot", "-m", "16", "-monitor",
         "unix:%s,server,nowait" % monitor_path],
        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    lines = []
    seen = False
    started = time.time()
    try:
        monitor = Monitor(monitor_path, 10)
        previous, steady = None, 0
        while time.time() - started < seconds and qemu.poll() is None:
            time.sleep(0.5)
            monitor.command('pmemsave 0xb8000 %d "%s"' % (COLUMNS * ROWS * 2, dump))
            with open(dump, "rb") as f:
                lines = decode(f.read())
            text = "\n".join(lines)
            if expect is not None and expect in text:
                seen = True
                break
            if any(failure in text for failure in BIOS_FAILURES):
                break
            # Without an expected text: done once the screen has held still
            # for two seconds after the BIOS started from the diskette.
            steady = steady + 1 if text == previous else 0
            previous = text
            if expect is None and "Booting from Floppy" in text and steady >= 4:
                seen = True
                break
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
    return seen, lines, time.time() - started, qemu.stderr.read().decode(errors="replace")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("image")
    parser.add_argument("--expect", help="text the screen must show")
    parser.add_argument("--seconds", type=float, default=25)
    args = parser.parse_args()
    if not os.path.isfile(args.image) or not os.access(args.image, os.R_OK):
        print("boot-check: cannot read the image '%s'" % args.image, file=sys.stderr)
        return 1
    size = os.path.getsize(args.image)
    if size != 1474560:
        print("boot-check: the image '%s' is %d bytes; a 1.44 MB diskette image is exactly "
              "1474560 bytes" % (args.image, size), file=sys.stderr)
        return 1
    seen, lines, took, errors = boot(args.image, args.expect, args.seconds)
    print("+" + "-" * COLUMNS + "+")
    for line in lines:
        print("|" + line.ljust(COLUMNS) + "|")
    print("+" + "-" * COLUMNS + "+")
    print("boot-check: %s after %.1f s" % ("booted" if seen else "NOT booted as expected", took))
    if not seen and errors.strip():
        print(errors.strip(), file=sys.stderr)
    return 0 if seen else 1


if __name__ == "__main__":
    sys.exit(main())
