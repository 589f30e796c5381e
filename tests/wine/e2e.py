#!/usr/bin/env python3
"""The real release under Wine, in a terminal of its own:
    e2e.py PROGRAM WORK VERSION [ONLY]

Drive A: is a floppy backed by a file, B: one backed by a full device (it
fails every write), D: one backed by a zero device (it cannot be flushed),
E: a fixed drive backed by a file (never written), S: the partition at 1 MiB
of a flash disk of 64 MiB (tools/stick: the driver beside PROGRAM, whose log
shows the order of the disk's requests; switched to a fixed disk, and to one
with a second partition, it is refused). A: is also made as slow
as a diskette drive (strace delays its reads and writes), and Ctrl-C typed
a moment after the confirmation must not cut the write or the check. Each
scenario checks the whole screen (Wine's own error texts read as TEXT, or as
CYRILLIC when they are Cyrillic letters alone), the exit status and every
byte of the floppy and the stick; the floppy that the release wrote is then
booted in qemu.
The release is also run signed, from a folder named in Cyrillic, and with
Wine's messages in Russian. VERSION is the one the banner shows. ONLY runs
the scenarios alone whose command or keys hold it.
"""
import os
import re
import shlex
import signal
import stat
import subprocess
import sys
import time

SIZE, FILL = 1474560, b"\xf6" * (1474560 + 8192)
TOOLS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools")
HEAD = ("\n\n   Varnel Tarvex Flash Disk Creation Utility VERSION\n\nSearching for removable "
        "drives...\n S: 66 MB\nEnter drive letter to be overwritten with files :\nOverwrite drive %s: "
        "(Y/N)?:\n")
WRITING = ("\nWriting drive %s:, up to a minute on a diskette.\nDo not remove the disk or close this "
           "window.\n")
CHECKED = "Checking drive A: 10% 20% 30% 40% 50% 60% 70% 80% 90% 100%\n"
DONE = (WRITING % "A" + CHECKED + "\n  Congratulations! You have successfully created a bootable BIOS "
        "Update Disk in drive A:\n  Start the PC from it: choose the disk in the PC's boot menu or "
        "its setup.\n")
STICK = (DONE.replace("A:", "S:") + "  The flash disk holds the update disk alone: format it "
         "afterwards (Disk\n  Management, or diskpart and clean) to use its whole size again.\n")
# The stick's requests from the lock on: the disk beneath it written from its first byte.
LOG = ("volume extents 0 0\ndisk number 0 0\ndisk geometry 0 0\ndisk layout 1 624\nvolume dismount 0 0"
       "\ndisk write 0 1474560\ndisk flush 0 0\n" + "".join(
           "disk read %d 147456\n" % (at * 147456) for at in range(10)) + "disk new-layout 0 0\n")
KEY = "\n(press a key to exit)"
FAR = "Ж" * 120  # a folder named in Cyrillic, long enough to fill the old message buffer
SCENARIOS = [  # command (with the stick's switches first), keys, screen, status, where the image lands
    ("../wine release.exe", "a n",
     HEAD % "A" + "\nNo valid drive letter entered, exiting...\n" + KEY, 1, False),
    ("../wine release.exe", "b y",
     HEAD % "B" + WRITING % "B" + '\n\n*** WriteFile error "TEXT" ***\n' + KEY, 1, False),
    ("LC_MESSAGES=ru_RU.UTF-8 ../wine release.exe", "b y",
     HEAD % "B" + WRITING % "B" + '\n\n*** WriteFile error "CYRILLIC" ***\n' + KEY, 1, False),
    ("../wine release.exe", "d y", HEAD % "D" + WRITING % "D" + "\n\n*** error flushing drive D: "
     "TEXT; the disk does not hold the image and is not bootable: try another disk ***\n" + KEY, 1,
     False),
    ("../wine release.exe", "e y", HEAD % "E" + "\n\n*** drive E: is not a removable drive; nothing "
     "was written ***\n" + KEY, 1, False),
    ("../wine release.exe", "s y", HEAD % "S" + STICK + KEY, 0, "S"),
    ("Fixed=1 ../wine release.exe", "s y", HEAD.replace(" S: 66 MB\n", "") % "S" + "\n\n*** drive "
     "S: is not a removable drive; nothing was written ***\n" + KEY, 1, False),
    ("Extra=1 ../wine release.exe", "s y", HEAD % "S" + "\n\n*** drive S: is on disk 5, which holds "
     "other partitions besides this drive; nothing was written ***\n" + KEY, 1, False),
    # Ctrl-C a second after the confirmation, in the 3 s that the write takes.
    ("strace -f -o ../strace -e trace=write,pwrite64,pread64 -P FLOPPY -e inject=write,pwrite64:"
     "delay_enter=3000000 -e inject=pread64:delay_enter=300000 ../wine release.exe", "a y+C-c",
     HEAD % "A" + DONE + KEY, 0, "A"),
    # A download cut short: CUT and WHOLE stand for its size and a whole release's.
    ("../wine cut.exe", "a y", HEAD % "A" + "\n\n*** program file damaged: CUT bytes, expected at "
     "least WHOLE; download it again ***\n" + KEY, 1, False),
    # Moved away while it waits for the letter, so that it cannot open its own file.
    ("../wine %s/far.exe" % FAR, "!mv|%s/far.exe|%s/gone.exe a y" % (FAR, FAR), HEAD % "A" +
     '\n\n*** CreateFile ("C:\\%s\\far.exe") error "TEXT" ***\n' % FAR + KEY, 1, False),
    # Output to a file: no key is asked for at the end, where nobody would see it.
    ("../wine release.exe > out", "a y",
     "\r\n\r\n   Varnel Tarvex Flash Disk Creation Utility VERSION   "
     "\r\n\r\nSearching for removable drives...\r\n S: 66 MB\r\nEnter drive letter to be "
     "overwritten with files : \r\nOverwrite drive A: (Y/N)?: \r\n" + DONE.replace("\n", "\r\n"), 0,
     "A"),
    ("../wine signed.exe", "a y", HEAD % "A" + DONE + KEY, 0, "A"),  # its image, not its signature
    ("../wine Тест/release.exe", "a y", HEAD % "A" + DONE + KEY, 0, "A"),  # a folder in Cyrillic
    ("../wine release.exe", "a y", HEAD % "A" + DONE + KEY, 0, "A"),  # last: its floppy is booted
]


def run(*command, **options):
    subprocess.run(command, check=True, **options)


def main(program, work, version, only=""):
    c, floppy, fixed = work + "/prefix/drive_c", work + "/floppy.img", work + "/fixed.img"
    os.makedirs(work, exist_ok=True)
    for backing in floppy, fixed:  # a drive's backing file must be there
        open(backing, "wb").write(FILL)
    for name, minor in ("full", 7), ("zero", 5):  # the test's own nodes of the kernel's devices
        if os.path.exists(work + "/" + name):
            os.remove(work + "/" + name)
        os.mknod(work + "/" + name, 0o600 | stat.S_IFCHR, os.makedev(1, minor))
    run("bash", TOOLS + "/wine-prefix.sh", work + "/prefix", "a=" + floppy, "b=" + work + "/full",
        "d=" + work + "/zero", "e=" + fixed)
    run(work + "/prefix/wine", "reg", "add", "HKLM\\Software\\Wine\\Drives", "/v", "e:", "/d", "hd",
        "/f", stdout=subprocess.DEVNULL)
    subprocess.run(["wineserver", "-k"], env=dict(os.environ, WINEPREFIX=work + "/prefix"))  # types anew
    stick, driver = work + "/stick.img", os.path.join(os.path.dirname(program), "stick.sys")
    run("bash", TOOLS + "/stick/stick.sh", work + "/prefix", driver, stick, "64M")
    pristine = open(stick, "rb").read()
    print("ok: a Wine prefix whose drive A: is a floppy, B: a full device, D: a zero one, E: fixed, "
          "S: a flash disk's partition")
    run("bash", TOOLS + "/make-default-image.sh", work + "/image")
    run("bash", TOOLS + "/package-release.sh", program, work + "/image", c + "/release.exe")
    # Ctrl-C while the demo makes its prefix: it stops, writing nothing more.
    failed = False
    if not only:
        run("rm", "-rf", work + "/demo")
        demo = subprocess.Popen(["bash", TOOLS + "/demo.sh", c + "/release.exe", work + "/demo"],
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                                start_new_session=True)
        time.sleep(3)
        os.killpg(demo.pid, signal.SIGINT)
        said = demo.communicate()[0]
        failed = (demo.returncode, said[-18:], open(work + "/demo/floppy.img", "rb").read(),
                  os.path.exists(work + "/demo/prefix")) != (130, "demo: interrupted\n", bytes(SIZE), False)
        print("FAILED:" if failed else "ok:", "Ctrl-C while the demo makes its prefix\n" + said)
    release = os.path.getsize(c + "/release.exe")
    open(c + "/cut.exe", "wb").write(open(c + "/release.exe", "rb").read()[:-4096])
    # Signed as a vendor would (make sign), with a throwaway certificate made here.
    pem = [work + "/cert.pem", work + "/key.pem"]
    run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=imagewrite test",
        "-days", "1", "-out", pem[0], "-keyout", pem[1], stderr=subprocess.DEVNULL)
    run("cp", c + "/release.exe", c + "/signed.exe")
    run("bash", TOOLS + "/sign-release.sh", c + "/signed.exe", "--cert", pem[0], "--key", pem[1])
    # Russian, for Wine's messages: a locale made here, no root needed.
    for folder in (work + "/locale", c + "/Тест", c + "/" + FAR):
        os.makedirs(folder, exist_ok=True)
    run("localedef", "-i", "ru_RU", "-f", "UTF-8", work + "/locale/ru_RU.UTF-8")
    os.environ["LOCPATH"] = work + "/locale"
    run("cp", c + "/release.exe", c + "/Тест/")
    for command, keys, screen, status, written in SCENARIOS:
        if only not in command + " " + keys:
            continue
        open(floppy, "wb").write(FILL)
        open(stick, "wb").write(pristine)
        switches = re.match(r"((?:\w+=\d+ )*)(.*)", command)
        command = switches[2]
        if switches[1]:
            run("bash", TOOLS + "/stick/stick.sh", work + "/prefix", driver, stick, *switches[1].split())
        run("cp", c + "/release.exe", c + "/%s/far.exe" % FAR)
        prompts = ["Enter drive"] * (keys.count("!") + 1) + ["Overwrite", KEY[1:]]
        keys = [key.replace("|", " ") for key in keys.split()]
        pairs = sum(zip(prompts, keys + ["k"] * (">" not in command)), ())
        # With the output in a file, the pane shows it through tail.
        line = ": > out; tail -s 0.1 -f out & %s; s=$?; kill $!; (exit $s)" % command
        command = command.replace("FLOPPY", shlex.quote(floppy))
        done = subprocess.run([sys.executable, TOOLS + "/pane.py", *pairs, "--", "cd %s && %s" % (
            shlex.quote(c), line if ">" in command else command)], stdout=subprocess.PIPE, text=True,
            timeout=120, cwd=c)
        if switches[1]:
            run("bash", TOOLS + "/stick/stick.sh", work + "/prefix", driver, stick)
        got = open(c + "/out", newline="").read() if ">" in command else done.stdout[:-1]
        got = re.sub(r"^(.{100})\n", r"\1", got, flags=re.M)  # lines the pane's width wrapped
        got = re.sub(r'(error "|flushing drive D: )([^";\n]+)', lambda m: m[1] + (
            "CYRILLIC" if re.fullmatch("[а-яА-ЯёЁ ]+", m[2]) else "TEXT"), got)
        image = open(c + "/release.exe", "rb").read()[-SIZE:]
        screen = screen.replace("CUT", f"{release - 4096:,}").replace("WHOLE", f"{release:,}")
        screen = screen.replace("VERSION", version)
        kept = (open(floppy, "rb").read(), open(fixed, "rb").read(), open(stick, "rb").read()) == (
            (image if written == "A" else FILL[:SIZE]) + FILL[SIZE:], FILL,
            (image if written == "S" else pristine[:SIZE]) + pristine[SIZE:])
        log = open(stick + ".log").read()
        kept = kept and (written != "S" or log[log.find("volume extents"):] == LOG)
        ok = (got, done.returncode, kept) == (screen, status, True)
        print("ok:" if ok else "FAILED:", switches[1] + command, keys, "exit status", done.returncode, "\n" + got +
              ("" if ok else "expected: exit status %d, the image on %s alone, every other byte "
               "untouched (%s), %sand the screen\n%s" % (status, written or "no drive", "so it is" if
                                                          kept else "not so", "the stick's log:\n" +
                                                          LOG if written == "S" else "", screen)))
        failed += not ok
    # The whole chain: a PC runs the boot code that the release wrote onto
    # A:, the default image's, which says so and starts no system.
    if only:
        return failed
    open(work + "/written.img", "wb").write(open(floppy, "rb").read(SIZE))
    verdict = subprocess.run([sys.executable, TOOLS + "/boot-check.py", "--on", "diskette",
                              work + "/written.img"],
                             stdout=subprocess.PIPE, text=True)
    booted = (verdict.returncode == 1 and "not booted: the boot code says 'Remove the disk and "
              "press any key to reboot.'" in verdict.stdout)
    print("ok:" if booted else "FAILED:", "the floppy it wrote, booted\n" + verdict.stdout)
    return failed + (not booted)


if __name__ == "__main__":
    sys.exit(main(os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2]), *sys.argv[3:]))
