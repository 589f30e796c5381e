#!/usr/bin/env python3
"""Boots a 1.44 MB diskette image in a PC emulator and says whether it booted.

    boot-check.py IMAGE [--expect TEXT] [--seconds N]

qemu-system-x86_64 (a 64-bit PC, which boots a diskette as every PC does)
boots the image from drive A: with no display. The BIOS's own log (I/O port
0x402) says when it hands over to the boot sector; from then on the check
watches what the machine does: the disk's reads, the screen, and where the
CPU runs. Booted: the boot code loaded more of the disk, the CPU ran what it
loaded (not the boot sector's own bytes, wherever they were copied), and that
code runs on (draws, or waits for input as a prompt or a menu does) with no
failure sign; or, with --expect, the screen showed TEXT and no failure sign.
A boot sector that does all its work in its own 512 bytes (a message, a wait
for a key, a drawing) has started no system. Failure signs: a refusal on the
screen, the boot code handing back to the BIOS, a hang (the CPU spinning in
one place outside the BIOS, drawing and reading nothing), a halt, a reset,
code run where nothing was loaded. The check watches until its verdict is
clear, up to N seconds (40), prints the last screen seen, and ends with a
line that says which, why and how long it watched.
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
RUN = 3  # seconds that loaded code must run on, once loading has ended
# Seconds of stillness after which the boot code is taken to do no more: as
# long as a loader may show "Loading..." before it goes on.
QUIET = 20
SAMPLE = 0.05  # seconds between looks at the CPU
# What the BIOS itself puts on the screen before it hands over.
BIOS_LINES = ("SeaBIOS", "iPXE", "Booting from", "Press ESC", "Machine UUID")
# Below this address lie the interrupt table and the BIOS's data: never code.
LOW_MEMORY = 0x500
# What boot code prints when it cannot go on (mkfs.fat's, DOS's, Windows',
# SYSLINUX's, GRUB's and the like), matched without regard to case.
REFUSALS = ("not a bootable disk", "non-system disk", "invalid system disk", "disk i/o error",
            "missing operating system", "remove disks or other media", "press any key to restart",
            "disk error", "invalid partition table", "error loading operating system",
            "operating system not found", "is missing", "boot failure", "insert a bootable",
            "boot error", "read error", "geom error", "missing or corrupt", "boot failed",
            "failed to load", "insert a system disk", "press any key to reboot")


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
    """The screen line that holds a refusal, or None."""
    return next((line.strip() for line in lines
                 if any(text in line.lower() for text in REFUSALS)), None)


def own_lines(lines, before):
    """The screen's lines that the BIOS did not draw."""
    return [line.strip() for line in lines if line.strip() and line not in before
            and not line.startswith(BIOS_LINES)]


def code(monitor, address):
    """The 16 bytes at a linear address, and the address they came from."""
    rows = re.findall(r"^([0-9a-f]+):((?: 0x[0-9a-f]{2})+)",
                      monitor.command("x /16xb %s" % address).decode(errors="replace"), re.M)
    return (int(rows[0][0], 16) if rows else None,
            bytes(int(byte, 16) for _, row in rows for byte in row.split()))


def kind(address, data, sector):
    """What runs at an address: bios (the BIOS and the adapters' ROMs),
    nothing (no code was loaded there), own (the boot sector's bytes,
    wherever they were copied) or loaded (what the boot code loaded)."""
    if 0xA0000 <= address < 0x100000 or address >= 0xFFF00000:
        return "bios"
    if address < LOW_MEMORY or not data.strip(b"\0"):
        return "nothing"
    return "own" if data[:8] in sector else "loaded"


class Cpu:
    """Where the CPU runs, from one look. In the BIOS (a wait for a key, an
    interrupt), `runs` and `place` are its caller's. Busy: neither halted
    nor in a BIOS service that lets interrupts in, as a wait for input does."""

    def __init__(self, monitor, sector):
        registers = monitor.command("info registers").decode(errors="replace")
        cs, ss = (re.search(r"%s =([0-9a-f]+) ([0-9a-f]+)" % s, registers) for s in ("CS", "SS"))
        ip, sp = re.search(r"[ER]IP=([0-9a-f]+)", registers), re.search(r"[ER]SP=([0-9a-f]+)",
                                                                        registers)
        flags = re.search(r"[ER]FL=([0-9a-f]+)", registers)
        self.kind = self.runs = None
        if not (cs and ss and ip and sp and flags):
            return
        self.where = "%s:%04x" % (cs[1], int(ip[1], 16))
        # Halted with interrupts on, the CPU waits for one (a key, the timer).
        self.halted, self.waits = "HLT=1" in registers, bool(int(flags[1], 16) & 0x200)
        # The address that the bytes came from: the CPU may have moved on
        # since its registers were read.
        address, data = code(monitor, "$pc")
        self.address = address if address is not None else int(cs[2], 16) + int(ip[1], 16)
        self.kind = self.runs = kind(self.address, data, sector)
        self.place, self.busy = self.address, not self.halted and (self.kind != "bios" or
                                                                   not self.waits)
        if self.kind != "bios":
            return
        # A call into the BIOS, or an interrupt, left its caller's return
        # frame on the stack: IP, CS and FLAGS, whose bits 1 (always set),
        # 3, 5 and 12 to 15 (clear in real mode) tell it from other words.
        stack = monitor.command("x /32xh %#x" % (int(ss[2], 16) + (int(sp[1], 16) & 0xFFFF)))
        words = [int(word, 16) for word in re.findall(rb"0x([0-9a-f]{4})", stack)]
        for ip_, cs_, flags_ in zip(words, words[1:], words[2:]):
            if flags_ & 0xF02A == 2 and LOW_MEMORY <= cs_ * 16 + ip_ < 0xA0000:
                self.place, self.where = cs_ * 16 + ip_, "%04x:%04x" % (cs_, ip_)
                self.runs = kind(self.place, code(monitor, self.place)[1], sector)
                return


def spinning(looks):
    """The look at the place where the boot code kept the CPU busy in most
    of these looks, or None: the timer's interrupts take it away now and then."""
    places = [cpu for cpu in looks if cpu.busy and cpu.runs in ("own", "loaded")]
    if not looks or len(places) < 0.75 * len(looks):
        return None
    first = places[0]
    return first if all(abs(cpu.place - first.place) < 16 for cpu in places) else None


def text_of(path):
    """What qemu has written to a file so far."""
    try:
        with open(path, "rb") as f:
            return f.read().decode(errors="replace")
    except OSError:
        return ""


def reads_beyond(trace):
    """How many reads of the disk went beyond its boot sector."""
    return sum(int(m[1]) >= 512 for m in re.finditer(r"offset (\d+)", text_of(trace)))


def handed_back(bios):
    """The BIOS's line that shows the boot code handed back to it, or None."""
    after = bios[bios.index(HANDOVER) + len(HANDOVER):]
    return next((line.strip() for line in after.splitlines()
                 if line.startswith(("Booting from", "No bootable device", "Boot failed"))), None)


class Watch:
    """What the boot code did since the BIOS handed over, and the verdict
    once it is clear: (booted, why) or None."""

    def __init__(self, sector, expect, handed):
        self.sector, self.expect = sector, expect
        self.start = self.last_read = self.last_draw = handed
        self.reads, self.loaded, self.looks, self.screen = 0, False, [], None

    def verdict(self, now, cpu, reads, lines, before, bios):
        if reads > self.reads:
            self.reads, self.last_read, self.looks = reads, now, []
        shown = own_lines(lines, before)
        if shown != self.screen:
            self.screen, self.last_draw = shown, now
        if cpu.kind is None:
            return None
        self.looks.append((now, cpu))
        self.loaded = self.loaded or (cpu.runs == "loaded" and self.reads > 0)
        back, refused = handed_back(bios), refusal(lines)
        if back:
            return False, "the boot code handed back to the BIOS, which says '%s'" % back
        if refused:
            return False, "the boot code says '%s'" % refused
        if cpu.halted and not cpu.waits:
            return False, "the CPU halted with interrupts off, at %s" % cpu.where
        if cpu.kind == "nothing":
            return False, "the CPU ran code where nothing was loaded, at address %05x" % cpu.address
        if self.expect is not None and self.expect in "\n".join(lines):
            return True, "the screen showed '%s'" % self.expect
        still = now - max(self.last_read, self.last_draw)
        recent = [look for when, look in self.looks if when >= now - QUIET]
        spun = spinning(recent)
        if spun and still >= QUIET:
            return False, ("the boot code hangs: the CPU spun at %s for %g s, drawing nothing "
                           "and reading nothing" % (spun.where, QUIET))
        # Loaded code that keeps drawing (its screen changed in the last
        # second) runs on, even from one place.
        since, drawing = [look for when, look in self.looks if when >= now - RUN], (
            self.last_draw >= now - 1)
        if self.loaded and now - self.last_read >= RUN and (drawing or not spinning(since)):
            return True, ("the boot code loaded more of the disk and runs what it loaded: it %s"
                          % ("keeps drawing on the screen" if drawing else "waits for input"
                             if not all(look.busy for look in since) else "runs on"))
        if not self.loaded and now - self.last_read >= QUIET:
            return False, ("the boot %s ran only its own 512 bytes: it %s" % (
                "code read more of the disk but" if self.reads else "sector",
                "shows '%s'" % shown[0] if shown else
                "draws on the screen" if self.last_draw > self.start else "drew nothing"))
        return None


def boot(image, expect, seconds):
    """The verdict (booted or not, and why), the last screen seen, the seconds watched."""
    with open(image, "rb") as f:
        sector = f.read(512)
    work = tempfile.mkdtemp(prefix="boot-check-")
    monitor_path = os.path.join(work, "monitor")
    dump, log = os.path.join(work, "screen.bin"), os.path.join(work, "bios.log")
    trace = os.path.join(work, "reads.log")
    try:
        qemu = subprocess.Popen(
            # No network card: nothing boots from the network when the disk fails.
            ["qemu-system-x86_64", "-fda", image, "-boot", "a", "-display", "none", "-no-reboot",
             "-nic", "none", "-snapshot", "-m", "128", "-monitor",
             "unix:%s,server,nowait" % monitor_path, "-chardev", "file,id=log,path=" + log,
             "-device", "isa-debugcon,iobase=0x402,chardev=log",
             "-trace", "enable=blk_co_preadv", "-D", trace],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    except OSError as error:
        shutil.rmtree(work, ignore_errors=True)
        raise CannotRun("cannot start qemu-system-x86_64 (%s); make boot-check installs it"
                        % error.strerror)
    lines, before, verdict, watch, looked = [], [], None, None, 0
    started = time.time()
    try:
        monitor = Monitor(monitor_path, 10, qemu)
        while verdict is None and time.time() - (watch.start if watch else started) < seconds:
            time.sleep(SAMPLE)
            now = time.time()
            if now - looked >= 0.25 and monitor.command(
                    'pmemsave 0xb8000 %d "%s"' % (COLUMNS * ROWS * 2, dump)):
                looked = now
                with open(dump, "rb") as f:
                    lines = decode(f.read())
            bios = text_of(log)
            if watch is None and HANDOVER in bios:
                watch = Watch(sector, expect, now)
            if qemu.poll() is not None:
                if watch is None:
                    errors = qemu.stderr.read().decode(errors="replace").strip().splitlines()
                    raise CannotRun("qemu ended before the BIOS started the boot sector: %s"
                                    % (errors[-1] if errors else "no reason given"))
                verdict = False, "the machine reset itself after the BIOS started the boot sector"
            elif watch is None:
                before = lines
                if "Boot failed" in bios or "No bootable device" in bios:
                    verdict = False, "the BIOS found no bootable disk"
            else:
                verdict = watch.verdict(now, Cpu(monitor, sector), reads_beyond(trace), lines,
                                        before, bios)
        monitor.command("quit")
    finally:
        try:
            qemu.wait(timeout=5)
        except subprocess.TimeoutExpired:
            qemu.kill()
            qemu.wait()
        shutil.rmtree(work, ignore_errors=True)
    if verdict is None:
        verdict = False, ("the BIOS did not start the boot sector" if watch is None else
                          "the screen did not show '%s'" % expect if expect is not None else
                          "the boot code was still loading" if watch.loaded else
                          "the boot code gave no sign of going on")
    return verdict, lines, time.time() - (watch.start if watch else started)


def checked(image):
    """The image, if it is a readable diskette image; why not, raised."""
    if not image:
        raise CannotRun("the image's name is empty: name a 1.44 MB diskette image, as "
                        "IMAGE=path/to/disk.img")
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
    parser.add_argument("--seconds", type=float, default=40)
    args = parser.parse_args()
    try:
        (booted, why), lines, took = boot(checked(args.image), args.expect, args.seconds)
    except CannotRun as error:
        print("boot-check: %s" % error, file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print("\nboot-check: interrupted; no verdict", file=sys.stderr)
        return 130
    print("+" + "-" * COLUMNS + "+")
    for line in lines:
        print("|" + line.ljust(COLUMNS) + "|")
    print("+" + "-" * COLUMNS + "+")
    print("%s: %s (watched for %.1f s)" % ("booted" if booted else "not booted", why, took))
    return 0 if booted else 1


if __name__ == "__main__":
    sys.exit(main())
