#!/usr/bin/env python3
"""Boots a 1.44 MB diskette image in a PC emulator and says whether it booted.

    boot-check.py IMAGE [--expect TEXT] [--seconds N]

qemu-system-i386 boots the image from drive A: with no display. The BIOS's
own log (I/O port 0x402) says when it hands over to the boot sector. Booted:
in the seconds after, the boot code drew on the screen or read more of the
disk than its boot sector, and it neither showed a refusal of the kind boot
sectors print ("Non-system disk or disk error", ...), nor halted the CPU, nor
ran code where nothing was loaded, nor reset the machine; with --expect, the
screen must show TEXT. Silence is no boot: a dead boot sector is silent too.
The check ends as soon as its verdict is clear, prints the last screen seen,
and ends with a line that says which and why.
Exit status: 0 booted, 1 not booted, 2 the check could not run.
"""
import argparse
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time

COLUMNS, ROWS = 80, 25
HANDOVER = "Booting from 0000:7c00"  # the BIOS's log, as it jumps to the boot sector
SETTLE = 3  # seconds after the handover in which the boot code must show it goes on
# What the BIOS itself puts on the screen before it hands over.
BIOS_LINES = ("SeaBIOS", "iPXE", "Booting from", "Press ESC", "Machine UUID")
# Below this address lie the interrupt table and the BIOS's data: never code.
LOW_MEMORY = 0x500
# What boot sectors print when they cannot go on (mkfs.fat's, DOS's, Windows'
# and the like), matched without regard to case.
REFUSALS = ("not a bootable disk", "non-system disk", "invalid system disk", "disk i/o error",
            "missing operating system", "remove disks or other media", "press any key to restart",
            "disk error", "invalid partition table", "error loading operating system",
            "operating system not found", "is missing", "boot failure", "insert a bootable",
            "boot error", "read error", "geom error")


def decode(cells):
    lines = []
    for row in range(ROWS):
        chars = cells[row * COLUMNS * 2:(row + 1) * COLUMNS * 2:2]
        text = "".join(chr(c) if 32 <= c < 127 else " " for c in chars)
        lines.append(text.rstrip())
    while lines and not lines[-1]:
        lines.pop()
    return lines


class CannotRun(Exception):
    """The check itself could not run: nothing is known of the disk."""


class Monitor:
    """qemu's monitor; it answers nothing once the machine has ended."""

    def __init__(self, path, seconds, qemu):
        end = time.time() + seconds
        self.sock = None
        while qemu.poll() is None:
            sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            try:
                sock.connect(path)
            except OSError:
                sock.close()
                if time.time() > end:
                    raise CannotRun("qemu's monitor did not answer in %g s" % seconds)
                time.sleep(0.1)
                continue
            sock.settimeout(5)
            try:
                self.sock = sock
                self.read_until(b"(qemu)")
            except OSError:
                self.sock = None  # the machine ended as the monitor answered
            return

    def read_until(self, marker):
        data = b""
        while marker not in data:
            chunk = self.sock.recv(4096)
            if not chunk:
                break
            data += chunk
        return data

    def command(self, text):
        """The monitor's answer; nothing once the machine has ended."""
        try:
            if self.sock is None:
                return b""
            self.sock.sendall(text.encode() + b"\n")
            return self.read_until(b"(qemu)")
        except OSError:
            return b""


def refusal(lines):
    """The screen line that holds a boot sector's refusal, or None."""
    return next((line.strip() for line in lines
                 if any(text in line.lower() for text in REFUSALS)), None)


def drew(lines, before):
    """Whether the screen holds something that the BIOS did not draw."""
    own = [line for line in lines if line.strip() and line not in before
           and not line.startswith(BIOS_LINES)]
    return bool(own) or not any(line.startswith("Booting from") for line in lines)


def dead(monitor):
    """Why the CPU cannot be running the boot code any more, or None."""
    registers = monitor.command("info registers").decode(errors="replace")
    flags, halted = re.search(r"EFL=([0-9a-f]+)", registers), "HLT=1" in registers
    cs, ip = re.search(r"CS =([0-9a-f]+)", registers), re.search(r"EIP=([0-9a-f]+)", registers)
    if not (flags and cs and ip):
        return None
    where = "%s:%04x" % (cs[1], int(ip[1], 16))
    if halted and not int(flags[1], 16) & 0x200:
        return "the CPU halted with interrupts off, at %s" % where
    code = re.findall(r"^([0-9a-f]+):((?: 0x[0-9a-f]{2})+)",
                      monitor.command("x /16xb $pc").decode(errors="replace"), re.M)
    # The address that the bytes came from: the CPU may have moved on since
    # its registers were read.
    if code and (int(code[0][0], 16) < LOW_MEMORY or
                 all(byte == "0x00" for _, row in code for byte in row.split())):
        return "the CPU ran code where nothing was loaded, at address %05x" % int(code[0][0], 16)
    return None


def text_of(path):
    """What qemu has written to a file so far."""
    try:
        with open(path, "rb") as f:
            return f.read().decode(errors="replace")
    except OSError:
        return ""


def read_more(trace):
    """Whether anything read the disk beyond its boot sector."""
    return any(int(m[1]) >= 512 for m in re.finditer(r"offset (\d+)", text_of(trace)))


def boot(image, expect, seconds):
    """The verdict (booted or not, and why), the last screen seen, the time taken."""
    work = tempfile.mkdtemp(prefix="boot-check-")
    monitor_path = os.path.join(work, "monitor")
    dump, log = os.path.join(work, "screen.bin"), os.path.join(work, "bios.log")
    trace = os.path.join(work, "reads.log")
    try:
        qemu = subprocess.Popen(
            # No network card: nothing boots from the network when the disk fails.
            ["qemu-system-i386", "-fda", image, "-boot", "a", "-display", "none", "-no-reboot",
             "-nic", "none", "-snapshot", "-m", "16", "-monitor",
             "unix:%s,server,nowait" % monitor_path, "-chardev", "file,id=log,path=" + log,
             "-device", "isa-debugcon,iobase=0x402,chardev=log",
             "-trace", "enable=blk_co_preadv", "-D", trace],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    except OSError as error:
        shutil.rmtree(work, ignore_errors=True)
        raise CannotRun("cannot start qemu-system-i386 (%s); make boot-check installs it"
                        % error.strerror)
    lines, before, verdict, handed = [], [], None, None
    started = time.time()
    try:
        monitor = Monitor(monitor_path, 10, qemu)
        while verdict is None and time.time() - started < seconds:
            time.sleep(0.25)
            if monitor.command('pmemsave 0xb8000 %d "%s"' % (COLUMNS * ROWS * 2, dump)):
                with open(dump, "rb") as f:
                    lines = decode(f.read())
            bios = text_of(log)
            if handed is None and HANDOVER in bios:
                handed = time.time()
            if qemu.poll() is not None:
                if handed is None:
                    errors = qemu.stderr.read().decode(errors="replace").strip().splitlines()
                    raise CannotRun("qemu ended before the BIOS started the boot sector: %s"
                                    % (errors[-1] if errors else "no reason given"))
                verdict = False, "the machine reset itself after the BIOS started the boot sector"
            elif handed is None:
                before = lines
                if "Boot failed" in bios or "No bootable device" in bios:
                    verdict = False, "the BIOS found no bootable disk"
            elif (refused := refusal(lines)) is not None:
                verdict = False, "the boot sector says '%s'" % refused
            elif (why := dead(monitor)) is not None:
                verdict = False, why
            elif expect is not None and expect in "\n".join(lines):
                verdict = True, "the boot sector showed '%s'" % expect
            elif expect is None and time.time() - handed >= SETTLE:
                signs = [sign for sign, seen in (("read more of the disk", read_more(trace)),
                                                 ("drew on the screen", drew(lines, before)))
                         if seen]
                verdict = (True, "the boot code %s and reported no failure" % ", ".join(signs)
                           ) if signs else (False, "the boot code drew nothing and read nothing "
                                            "more of the disk in %g s" % SETTLE)
        monitor.command("quit")
    finally:
        try:
            qemu.wait(timeout=5)
        except subprocess.TimeoutExpired:
            qemu.kill()
            qemu.wait()
        shutil.rmtree(work, ignore_errors=True)
    if verdict is None:
        verdict = False, ("the screen did not show '%s' in %g s" % (expect, seconds) if handed else
                          "the BIOS did not start the boot sector in %g s" % seconds)
    return verdict, lines, time.time() - started


def checked(image):
    """The image, if it is a readable diskette image; why not, raised."""
    where = "" if os.path.isabs(image) else " (looked up in %s)" % os.getcwd()
    if not os.path.exists(image):
        raise CannotRun("cannot read the image '%s': no such file%s" % (image, where))
    if not os.path.isfile(image):
        raise CannotRun("cannot read the image '%s': it is a %s, not a file%s" % (
            image, "folder" if os.path.isdir(image) else "special file", where))
    if not os.access(image, os.R_OK):
        raise CannotRun("cannot read the image '%s': permission denied" % image)
    size = os.path.getsize(image)
    if size != 1474560:
        raise CannotRun("the image '%s' is %d bytes; a 1.44 MB diskette image is exactly "
                        "1474560 bytes" % (image, size))
    return image


def main():
    if "--help" in sys.argv or "-h" in sys.argv:
        print(__doc__, file=sys.stderr)
        return 2
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0], add_help=False)
    parser.add_argument("image")
    parser.add_argument("--expect", help="text the screen must show")
    parser.add_argument("--seconds", type=float, default=25)
    args = parser.parse_args()
    try:
        (booted, why), lines, took = boot(checked(args.image), args.expect, args.seconds)
    except CannotRun as error:
        print("boot-check: %s" % error, file=sys.stderr)
        return 2
    print("+" + "-" * COLUMNS + "+")
    for line in lines:
        print("|" + line.ljust(COLUMNS) + "|")
    print("+" + "-" * COLUMNS + "+")
    print("boot-check: the verdict after %.1f s" % took)
    print("%s: %s" % ("booted" if booted else "not booted", why))
    return 0 if booted else 1


if __name__ == "__main__":
    sys.exit(main())
