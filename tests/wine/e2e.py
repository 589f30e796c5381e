#!/usr/bin/env python3
"""The real release under Wine, in a terminal of its own (tools/pane.py).

    e2e.py setup WORK PROGRAM    the Wine prefix and the programs to run
    e2e.py run WORK SCENARIO     one scenario
    e2e.py boot WORK             write the floppy, then boot it in qemu
    e2e.py list                  the scenarios' names

Drives: A:, a floppy backed by a file the tests fill and read back, and B:,
backed by /dev/full, whose every write fails. Under Wine their geometry query
fails, so no drive is listed; typing a letter and confirming still writes it.
Screens are compared whole; Wine's error texts differ from Windows', so a line
that carries one is matched by a pattern.
"""
import os
import re
import shutil
import subprocess
import sys

IMAGE_SIZE = 1474560
SLACK = 8192  # bytes after the image that must stay untouched
TOOLS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools")
LONG = "\\".join("d%d" % i + "x" * 60 for i in range(5))  # a path of 329 characters

HEAD = ["", "", "   Varnel Tarvex Flash Disk Creation Utility 1.00", "",
        "Searching for removable drives...", "Enter drive letter to be overwritten with files :"]
KEY = "(press a key to exit)"
ASKED = HEAD + ["Overwrite drive A: (Y/N)?:"]
DONE = ["", "  Congratulations! You have successfully created a bootable BIOS Update Disk in "
        "drive A:", "", KEY]
NONE = ["", "No valid drive letter entered, exiting...", "", KEY]


def framed(line):  # the line of 30 blanks shows as an empty one
    return ["", "", line, "", KEY]


# name: (program, keys, screen or output bytes, exit status, what the floppy then holds)
SCENARIOS = {
    "confirm": ("release.exe", "a y", ASKED + DONE, 0, "image"),
    "confirm_upper": ("release.exe", "A Y", ASKED + DONE, 0, "image"),
    "refused": ("release.exe", "a n", ASKED + NONE, 1, "untouched"),
    "enter_refuses": ("release.exe", "a Enter", ASKED + NONE, 1, "untouched"),
    "non_letter": ("release.exe", "5", HEAD + NONE, 1, "untouched"),
    "open_fails": ("release.exe", "q y",  # the system's text ends in a line break of its own
                   HEAD + ["Overwrite drive Q: (Y/N)?:", "", "",
                           re.compile(r"\*\*\* error opening drive Q: \S.*"), " ***", "", KEY],
                   1, "untouched"),
    "no_image": ("noimage.exe", "a y", ASKED + framed("*** appended image missing ***"), 1,
                 "untouched"),
    "bytes_after_image": ("extra.exe", "a y", ASKED + DONE, 0, "shifted"),
    "write_fails": ("release.exe", "b y", HEAD + ["Overwrite drive B: (Y/N)?:"] +
                    framed(re.compile(r'\*\*\* WriteFile error "\S.*" \*\*\*')), 1, "untouched"),
    "path_too_long": ("C:\\" + LONG + "\\release.exe", "a y", ASKED + framed(
        "*** program path longer than 259 characters: move the program to a shorter path ***"),
        1, "untouched"),
    # Output to a file: the keys still come from the console, and no key is
    # asked for at the end, where nobody would see the prompt.
    "stdout_to_file": ("release.exe", "a y", b"\r\n\r\n   Varnel Tarvex Flash Disk Creation "
                       b"Utility 1.00   \r\n\r\nSearching for removable drives...\r\nEnter drive"
                       b" letter to be overwritten with files : \r\nOverwrite drive A: (Y/N)?: "
                       b"\r\n\r\n  Congratulations! You have successfully created a bootable "
                       b"BIOS Update Disk in drive A:\r\n", 0, "image"),
    # No console at all: no key comes, and that is a refusal.
    "no_console": ("release.exe", "", b"\r\n\r\n   Varnel Tarvex Flash Disk Creation Utility "
                   b"1.00   \r\n\r\nSearching for removable drives...\r\nEnter drive letter to be"
                   b" overwritten with files : \r\n\r\nNo valid drive letter entered, exiting..."
                   b"\r\n", 1, "untouched"),
}


def setup(work, program):
    print(subprocess.run(["bash", os.path.join(TOOLS, "wine-arch.sh"), "--say"], check=True,
                         stdout=subprocess.PIPE, text=True).stdout, end="")
    shutil.rmtree(work, ignore_errors=True)
    prefix = os.path.join(work, "prefix")
    subprocess.run(["bash", os.path.join(TOOLS, "wine-prefix.sh"), prefix,
                    "a=" + os.path.join(work, "floppy.img"), "b=/dev/full"], check=True)
    image, drive_c = os.path.join(work, "default.img"), os.path.join(prefix, "drive_c")
    subprocess.run(["bash", os.path.join(TOOLS, "make-default-image.sh"), image], check=True)
    release = os.path.join(drive_c, "release.exe")
    subprocess.run(["bash", os.path.join(TOOLS, "package-release.sh"), program, image, release],
                   check=True, stdout=subprocess.DEVNULL)
    shutil.copyfile(program, os.path.join(drive_c, "noimage.exe"))
    with open(release, "rb") as f, open(os.path.join(drive_c, "extra.exe"), "wb") as g:
        g.write(f.read() + bytes(range(100)))
    os.makedirs(os.path.join(drive_c, *LONG.split("\\")))
    shutil.copyfile(release, os.path.join(drive_c, *LONG.split("\\"), "release.exe"))


def run(work, scenario):
    program, keys, expected, status, floppy = SCENARIOS[scenario]
    drive_c, backing = os.path.join(work, "prefix", "drive_c"), os.path.join(work, "floppy.img")
    wine = os.path.join(work, "prefix", "wine")
    before = b"\xf6" * (IMAGE_SIZE + SLACK)
    with open(backing, "wb") as f:
        f.write(before)
    output = os.path.join(work, "stdout")
    if not keys:
        done = subprocess.run([wine, program], cwd=drive_c, stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=60)
    else:
        keys = keys.split()
        prompts = [HEAD[-1]] + ["Overwrite drive"] * (len(keys) - 1)
        command = "cd '%s' && '%s' '%s'" % (drive_c, wine, program)
        if isinstance(expected, bytes):
            command += " | tee '%s'" % output
        else:
            keys, prompts = keys + ["k"], prompts + [KEY]
        pairs = [word for pair in zip(prompts, keys) for word in pair]
        done = subprocess.run([sys.executable, os.path.join(TOOLS, "pane.py"), *pairs, "--",
                               command], stdout=subprocess.PIPE, timeout=120)
        if isinstance(expected, bytes):
            with open(output, "rb") as f:
                done.stdout = f.read()
    got = done.stdout if isinstance(expected, bytes) else done.stdout.decode().split("\n")[:-1]
    print("\n".join("| " + line for line in (got.decode().split("\r\n")
                                           if isinstance(got, bytes) else got)))
    failures = []
    if isinstance(expected, bytes) and got != expected:
        failures.append("the output differs: expected %r" % expected)
    elif isinstance(expected, list) and (len(got) != len(expected) or not all(
            w.fullmatch(g) if isinstance(w, re.Pattern) else g == w
            for g, w in zip(got, expected))):
        failures.append("the screen differs: expected\n" + "\n".join(
            getattr(w, "pattern", w) for w in expected))
    if done.returncode != status:
        failures.append("exit status %d, expected %d" % (done.returncode, status))
    wanted = before
    if floppy != "untouched":
        with open(os.path.join(drive_c, program.replace("\\", "/")), "rb") as f:
            wanted = f.read()[-IMAGE_SIZE:] + before[IMAGE_SIZE:]
    with open(backing, "rb") as f:
        after = f.read()
    if after != wanted or (floppy == "shifted" and after[IMAGE_SIZE - 100:IMAGE_SIZE] !=
                           bytes(range(100))):
        failures.append("the floppy does not hold what it should (%s)" % floppy)
    print("\n".join(["FAILED " + scenario] + failures) if failures else "ok: " + scenario)
    return 1 if failures else 0


def boot(work):
    """The whole chain: the real release writes the floppy, and a PC boots it."""
    if run(work, "confirm"):
        return 1
    disk = os.path.join(work, "written.img")
    with open(os.path.join(work, "floppy.img"), "rb") as f, open(disk, "wb") as g:
        g.write(f.read(IMAGE_SIZE))
    return subprocess.run([sys.executable, os.path.join(TOOLS, "boot-check.py"), disk,
                           "--expect", "This diskette carries no BIOS update yet.",
                           "--seconds", "25"]).returncode


def main(argv):
    command, args = (argv + [""])[1], [os.path.abspath(a) for a in argv[2:3]] + argv[3:]
    if command == "list":
        print(";".join(SCENARIOS))
    elif command == "setup" and len(args) == 2:
        setup(*args)
    elif command == "run" and len(args) == 2:
        return run(*args)
    elif command == "boot" and len(args) == 1:
        return boot(*args)
    elif command == "cleanup" and len(args) == 1:
        subprocess.run(["wineserver", "-k"], env=dict(os.environ, WINEPREFIX=os.path.join(
            args[0], "prefix")), stderr=subprocess.DEVNULL)
    else:
        print(__doc__)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
