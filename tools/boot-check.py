#!/usr/bin/env python3
"""Boots a 1.44 MB diskette image in PC emulators and says where it booted.

    boot-check.py IMAGE [--on MACHINE,...] [--expect TEXT] [--seconds N]
    boot-check.py --list       the PCs it knows, one a line
    boot-check.py --brief ...  the sum alone, and for each PC that did not
                               boot it, why in short and what to do (for a
                               release: it tells, never fails)

qemu-system-x86_64 boots the image on each PC asked for, side by side (by
default the four that most customers have), with no display.
On a BIOS PC the BIOS's own log (I/O port 0x402) says when it hands over to
the boot sector; from then on the check watches what the machine does: the
disk's reads, the screen, and where the CPU runs. Booted: the boot code
loaded more of the disk, the CPU ran what it loaded (not the boot sector's
own bytes, wherever they were copied), and that code keeps drawing or,
once still, answers Enter typed after 3 s (it draws, reads the disk, or
leaves its wait for input, as a prompt or a menu does) with no failure
sign; loaded code that answers nothing has stopped, however busy; or, with
--expect, the screen showed TEXT and no failure sign. A boot sector that
does all its work in its own 512 bytes (a message, a wait for a key, a
drawing) has started no system. Failure signs: a refusal on the screen, the
boot code handing back to the BIOS, a hang (the CPU spinning in one place
outside the BIOS, drawing and reading nothing), a halt, a reset, code run
where nothing was loaded. On a UEFI PC the firmware's console says it all:
booted when it started the disk's EFI program (\EFI\BOOT\BOOTX64.EFI, on
a 32-bit PC BOOTIA32.EFI) and that program neither returned nor was
refused for 10 s; not booted when there is none (Not Found), Secure Boot
refused it (Access Denied, or a shim's Security Violation), or it returned. Each machine is watched until
its verdict is clear, up to N seconds (40). The check prints the last
screen of each BIOS PC, a line for each machine that says which, why and
how long it watched, and a last line that sums up.
Exit status: 0 booted on every machine asked for, 1 not, 2 the check could
not run.
"""
import argparse
import os
import re
import shlex
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time

COLUMNS, ROWS = 80, 25
HANDOVER = "Booting from 0000:7c00"  # the BIOS's log, as it jumps to the boot sector
RUN = 3  # seconds that loaded code must run on, once loading has ended
# Seconds that loaded code gone still (drawing and reading nothing) has to
# answer Enter: a loader at a prompt or a menu draws, reads the disk or
# leaves its wait; one whose later stage is damaged does none of these.
ANSWER = 3
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
    """The 16 bytes at a linear address."""
    rows = re.findall(r"^[0-9a-f]+:((?: 0x[0-9a-f]{2})+)",
                      monitor.command("x /16xb %s" % address).decode(errors="replace"), re.M)
    return bytes(int(byte, 16) for row in rows for byte in row.split())


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
        # The bytes where the registers say it runs: qemu's own $pc, read a
        # moment later, may already be in an interrupt's handler or back.
        self.address = int(cs[2], 16) + int(ip[1], 16)
        data = code(monitor, self.address)
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
                self.runs = kind(self.place, code(monitor, self.place), sector)
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


def idle(looks):
    """Whether the CPU only waited (for input, or halted) in these looks."""
    return not any(look.busy for when, look in looks)


class Watch:
    """What the boot code did since the BIOS handed over, and the verdict
    once it is clear: (booted, why) or None. It types Enter on the
    monitor once loaded code has gone still."""

    def __init__(self, sector, expect, handed, monitor):
        self.sector, self.expect, self.monitor = sector, expect, monitor
        self.start = self.last_read = self.last_draw = handed
        self.reads, self.loaded, self.looks, self.screen = 0, False, [], None
        self.typed = None  # when Enter was typed, and how the CPU waited before

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
        # second) runs on, even from one place; loaded code gone still must
        # answer Enter.
        loaded = "the boot code loaded more of the disk and runs what it loaded: it "
        drawing = self.last_draw >= now - 1
        if self.loaded and now - self.last_read >= RUN and drawing and not self.typed:
            return True, loaded + "keeps drawing on the screen"
        if self.loaded and still >= RUN and not self.typed:
            self.monitor.command("sendkey ret")
            self.typed = now, idle(look for look in self.looks if look[0] >= now - RUN)
        elif self.typed and now - self.typed[0] >= 0.5:
            after = [look for look in self.looks if look[0] >= self.typed[0] + 0.5]
            answer = ("drawing on the screen" if self.last_draw > self.typed[0] else
                      "reading the disk" if self.last_read > self.typed[0] else
                      "leaving its wait" if self.typed[1] and not idle(after) else None)
            if answer:
                return True, loaded + "answered Enter by " + answer
            if now - self.typed[0] >= ANSWER and not spun:
                return False, ("the loaded code stopped answering: it drew, read and changed "
                               "nothing in %g s after Enter; the screen ends '%s'" % (
                                   ANSWER, shown[-1] if shown else ""))
        if not self.loaded and now - self.last_read >= QUIET:
            return False, ("the boot %s ran only its own 512 bytes: it %s" % (
                "code read more of the disk but" if self.reads else "sector",
                "shows '%s'" % shown[0] if shown else
                "draws on the screen" if self.last_draw > self.start else "drew nothing"))
        return None


class Pc:
    """A PC the check can boot: what it stands for (as `--list` says it), and
    for a UEFI PC its board, its firmware's code and variable store in
    /usr/share/OVMF/ and whether that firmware needs its flash guarded
    (SMM, as Secure Boot's builds do); the Debian package that carries the
    firmware; whether it is among the PCs checked when none are named; what
    a release engineer can do when the image does not boot there."""

    def __init__(self, stands, advice, board=None, firmware=None, guarded=False,
                 package="qemu-system-x86", default=True):
        self.stands, self.advice, self.board, self.firmware = stands, advice, board, firmware
        self.guarded, self.package, self.default = guarded, package, default


# The one list of the PCs, in the order of the output. The default four are
# the PCs that most customers have.
PCS = {
    "diskette": Pc("a PC that boots it from its diskette drive A:",
                   "use boot code that loads a system (a DOS, SYSLINUX)"),
    "bios-stick": Pc("a BIOS PC (or UEFI in legacy mode) booting a flash disk that holds it",
                     "use boot code that reads the drive the BIOS names in DL, as SYSLINUX "
                     "and GRUB do, not drive A:"),
    "uefi": Pc("a UEFI PC booting the same flash disk: \\EFI\\BOOT\\BOOTX64.EFI",
               "put an EFI program at \\EFI\\BOOT\\BOOTX64.EFI, or tell customers to boot "
               "in legacy mode (CSM)", "q35", ("OVMF_CODE.fd", "OVMF_VARS.fd"), package="ovmf"),
    "uefi-secure-boot": Pc("the same with Secure Boot on, Microsoft's keys enrolled",
                           "use an EFI program signed in a chain the PC trusts (a signed shim), "
                           "or tell customers to switch Secure Boot off for the update",
                           "q35,smm=on", ("OVMF_CODE.secboot.fd", "OVMF_VARS.ms.fd"),
                           guarded=True, package="ovmf"),
    "uefi-ia32": Pc("a 32-bit UEFI PC (tablets, netbooks): \\EFI\\BOOT\\BOOTIA32.EFI",
                    "put a 32-bit EFI program at \\EFI\\BOOT\\BOOTIA32.EFI", "q35,smm=on",
                    ("OVMF32_CODE_4M.secboot.fd", "OVMF32_VARS_4M.fd"), guarded=True,
                    package="ovmf-ia32", default=False),
}
OVMF = "/usr/share/OVMF/"
STICK = 8 << 30  # bytes: a flash disk of 8 GB, sparse
EFI_RUN = 10  # seconds an EFI program must run without returning: longer than a give-up


def machine(name, image, work):
    """qemu's options for a machine that boots a copy of the image (the
    image itself is never written), and only the devices given here."""
    copy, pc = os.path.join(work, "disk.img"), PCS[name]
    shutil.copyfile(image, copy)
    if name == "diskette":
        return ["-nodefaults", "-vga", "std", "-fda", copy, "-boot", "a", "-m", "128"]
    os.truncate(copy, STICK)  # the image at the first byte of a flash disk
    options = ["-nodefaults", "-vga", "std", "-drive", "if=none,id=stick,format=raw,file=" + copy,
               "-device", "qemu-xhci", "-device", "usb-storage,drive=stick,removable=on"]
    if not pc.firmware:
        return options + ["-m", "128"]
    code, variables = pc.firmware
    for firmware in code, variables:
        if not os.path.exists(OVMF + firmware):
            raise CannotRun("no UEFI firmware %s%s; make boot-check installs it" % (OVMF, firmware))
    shutil.copyfile(OVMF + variables, os.path.join(work, "vars.fd"))  # its store, written at boot
    options += ["-machine", pc.board, "-m", "256", "-serial", "file:" + os.path.join(work, "serial"),
                "-drive", "if=pflash,format=raw,unit=0,readonly=on,file=" + OVMF + code,
                "-drive", "if=pflash,format=raw,unit=1,file=" + os.path.join(work, "vars.fd")]
    if pc.guarded:  # without the last, it hangs before its first line
        options += ["-global", "driver=cfi.pflash01,property=secure,value=on",
                    "-global", "ICH9-LPC.disable_s3=1"]
    return options


class Firmware:
    """What a UEFI PC's firmware said of the disk's first boot, from its
    console, and the verdict once it is clear: (booted, why) or None."""

    def __init__(self):
        self.started = None

    def verdict(self, now, console):
        text = re.sub(r"\x1b\[[0-9;=?]*[A-Za-z]", "", console)  # its escapes between words
        stick = re.search(r'BdsDxe: [a-z ]*(Boot[0-9A-F]{4}) "UEFI [^"]*USB', text)
        if not stick:
            return None
        after = text[stick.start():]
        failed = re.search(r"BdsDxe: failed to load %s[^\r\n]*: ([^\r\n:]+)\r?\n" % stick[1], after)
        if failed and "Access Denied" in failed[1]:
            return False, "refused by Secure Boot: the firmware says '%s'" % failed[0].strip()
        if failed:
            return False, ("no EFI boot program on the disk: the firmware says '%s'" if "Not Found"
                           in failed[1] else "the firmware could not load it: '%s'") % (
                               failed[0].strip())
        start = re.search(r"BdsDxe: starting %s" % stick[1], after)
        if not start:
            return None
        self.started = self.started or now
        ran = after[start.end():]
        if "Security Violation" in ran:
            return False, "refused by Secure Boot: '%s'" % re.search(
                r"[^\r\n]*Security Violation", ran)[0].strip()
        back = re.search(r"BdsDxe: (failed to start %s|loading Boot)[^\r\n]*" % stick[1], ran)
        if back:
            return False, "the EFI program returned: the firmware says '%s'" % back[0].strip()
        if now - self.started >= EFI_RUN:
            return True, ("the firmware started the disk's EFI program, which ran on for %g s"
                          % EFI_RUN)
        return None


def boot(name, image, expect, seconds, work):
    """The verdict (booted or not, and why), the last screen seen, the seconds watched."""
    with open(image, "rb") as f:
        sector = f.read(512)
    os.mkdir(work)
    monitor_path = os.path.join(work, "monitor")
    dump, log = os.path.join(work, "screen.bin"), os.path.join(work, "bios.log")
    trace = os.path.join(work, "reads.log")
    try:
        qemu = subprocess.Popen(
            # No network card: nothing boots from the network when the disk fails.
            ["qemu-system-x86_64", *machine(name, image, work), "-display", "none",
             "-no-reboot", "-nic", "none", "-monitor", "unix:%s,server,nowait" % monitor_path,
             "-chardev", "file,id=log,path=" + log, "-device", "isa-debugcon,iobase=0x402,chardev=log",
             "-trace", "enable=blk_co_preadv", "-D", trace],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    except OSError as error:
        raise CannotRun("cannot start qemu-system-x86_64 (%s); make boot-check installs it"
                        % error.strerror)
    lines, before, verdict, watch, looked = [], [], None, None, 0
    started = time.time()
    firmware = Firmware() if PCS[name].firmware else None
    try:
        monitor = Monitor(monitor_path, 10, qemu)
        while verdict is None and time.time() - (watch.start if watch else started) < seconds:
            time.sleep(SAMPLE)
            now = time.time()
            if firmware:
                verdict = firmware.verdict(now, text_of(os.path.join(work, "serial")))
                if verdict is None and qemu.poll() is not None:
                    verdict = False, "the machine reset itself"
                continue
            if now - looked >= 0.25 and monitor.command(
                    'pmemsave 0xb8000 %d "%s"' % (COLUMNS * ROWS * 2, dump)):
                looked = now
                with open(dump, "rb") as f:
                    lines = decode(f.read())
            bios = text_of(log)
            if watch is None and HANDOVER in bios:
                watch = Watch(sector, expect, now, monitor)
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
                # Looked at while it stands still: a running CPU's registers
                # may be read half-way through an interrupt.
                monitor.command("stop")
                cpu = Cpu(monitor, sector)
                monitor.command("cont")
                verdict = watch.verdict(now, cpu, reads_beyond(trace), lines, before, bios)
        monitor.command("quit")
    finally:
        try:
            qemu.wait(timeout=5)
        except subprocess.TimeoutExpired:
            qemu.kill()
            qemu.wait()
    if verdict is None:
        verdict = False, ("the firmware did not start the disk's EFI program" if firmware else
                          "the BIOS did not start the boot sector" if watch is None else
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


def machines(names):
    """The machines asked for, each once, in their own order."""
    asked = names.split(",")
    for name in asked:
        if name not in PCS:
            raise CannotRun("no machine '%s': choose among %s" % (name, ",".join(PCS)))
    return [name for name in PCS if name in asked]


def main():
    if "--help" in sys.argv or "-h" in sys.argv:
        print(__doc__, file=sys.stderr)
        return 2
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0], add_help=False)
    parser.add_argument("image")
    if sys.argv[1:] == ["--list"]:
        for name, pc in PCS.items():
            print("%-17s %s%s" % (name, pc.stands, "" if pc.default else " (only when named)"))
        return 0
    parser.add_argument("--on", default=",".join(name for name, pc in PCS.items() if pc.default))
    parser.add_argument("--expect", help="text the screen must show")
    parser.add_argument("--seconds", type=float, default=40)
    parser.add_argument("--brief", action="store_true")
    args = parser.parse_args()
    work, results = tempfile.mkdtemp(prefix="boot-check-"), {}

    def run(name):
        try:
            results[name] = boot(name, image, args.expect, args.seconds, os.path.join(work, name))
        except (CannotRun, OSError) as error:
            results[name] = error

    try:
        image, names = checked(args.image), machines(args.on)
        threads = [threading.Thread(target=run, args=(name,), daemon=True) for name in names]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        for name in names:
            if isinstance(results[name], Exception):
                raise CannotRun("%s: %s" % (name, results[name]))
    except CannotRun as error:
        print("boot-check: %s" % error, file=sys.stderr)
        if args.brief:
            print("boot-check: to see which PCs boot it: make boot-check IMAGE=%s" % shlex.quote(
                os.path.abspath(args.image)), file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print("\nboot-check: interrupted; no verdict", file=sys.stderr)
        return 130
    finally:
        shutil.rmtree(work, ignore_errors=True)
    on = [name for name in names if results[name][0][0]]
    if args.brief:
        print("boot-check: booted on %d of %d: %s" % (len(on), len(names), ", ".join(on) or
                                                      "the image boots none of these PCs"))
        for name in names:
            if name not in on:
                print("  %s: %s\n    what to do: %s" % (
                    name, results[name][0][1].split(": ")[0], PCS[name].advice))
        return 0 if len(on) == len(names) else 1
    for name in names:
        lines = results[name][1]
        if not PCS[name].firmware:
            print("%s, its last screen:\n+%s+" % (name, "-" * COLUMNS))
            for line in lines:
                print("|" + line.ljust(COLUMNS) + "|")
            print("+" + "-" * COLUMNS + "+")
    for name in names:
        (booted, why), _, took = results[name]
        print("%s: %s: %s (watched for %.1f s)" % (name, "booted" if booted else "not booted", why,
                                                   took))
    print("booted on %d of %d%s" % (len(on), len(names), ": " + ", ".join(on) if on else ""))
    return 0 if len(on) == len(names) else 1


if __name__ == "__main__":
    sys.exit(main())
