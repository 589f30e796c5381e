#!/usr/bin/env python3
"""End-to-end tests of the real release .exe under Wine, in a tmux pane.

    e2e.py setup   WORKDIR PROGRAM   make the Wine prefix and the files to run
    e2e.py run     WORKDIR SCENARIO  run one scenario
    e2e.py boot    WORKDIR           write the floppy, then boot it in qemu
    e2e.py cleanup WORKDIR           stop the prefix's wineserver

The prefix has C: and two removable floppy drives: A:, backed by a file
the tests fill and read back, and B:, backed by /dev/full, whose every
write fails.
Under Wine the geometry query of such a drive fails, so no drive is ever
listed; typing its letter and confirming still writes it.

Screens are compared whole, line by line. Wine's own error texts differ from
Windows', so the one line that carries a system text is matched by a pattern.
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

IMAGE_SIZE = 1474560
FLOPPY_SLACK = 8192  # bytes after the image's end that must stay untouched
FILL = 0xF6
HERE = os.path.dirname(os.path.abspath(__file__))
TOOLS = os.path.join(HERE, "..", "..", "tools")


def env_for(work):
    env = dict(os.environ)
    env.update(
        WINEPREFIX=os.path.join(work, "prefix"),
        WINEDEBUG="-all",
        WINEDLLOVERRIDES="mscoree,mshtml=",
        LC_ALL="C",
        HOME=env.get("HOME") or work,
    )
    env.pop("DISPLAY", None)
    env.pop("WAYLAND_DISPLAY", None)
    return env


def wineserver(work, *args):
    subprocess.run(["wineserver", *args], env=env_for(work), stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)


def setup(work, program):
    if os.path.exists(work):
        if os.path.isdir(os.path.join(work, "prefix")):
            wineserver(work, "-k")
        shutil.rmtree(work)
    os.makedirs(work)
    prefix = os.path.join(work, "prefix")
    subprocess.run(["bash", os.path.join(TOOLS, "wine-prefix.sh"), prefix,
                    "a=" + os.path.join(work, "floppy-a.img"), "b=/dev/full"], check=True)

    # The programs: the release with the default image, the linked program
    # alone, and the release with bytes after its image.
    image = os.path.join(work, "default.img")
    subprocess.run(["bash", os.path.join(TOOLS, "make-default-image.sh"), image], check=True)
    drive_c = os.path.join(prefix, "drive_c")
    release = os.path.join(drive_c, "release.exe")
    subprocess.run(["bash", os.path.join(TOOLS, "package-release.sh"), program, image, release],
                   check=True, stdout=subprocess.DEVNULL)
    shutil.copyfile(program, os.path.join(drive_c, "noimage.exe"))
    with open(release, "rb") as f:
        released = f.read()
    with open(os.path.join(drive_c, "extra.exe"), "wb") as f:
        f.write(released + bytes(range(100)))
    # The release in a folder whose full path passes 260 characters.
    deep = os.path.join(drive_c, *LONG_FOLDERS)
    os.makedirs(deep)
    shutil.copyfile(release, os.path.join(deep, "release.exe"))
    print("prefix ready:", prefix)


LONG_FOLDERS = ["d%d" % i + "x" * 60 for i in range(5)]
LONG_PATH = "C:\\" + "\\".join(LONG_FOLDERS) + "\\release.exe"  # 329 characters

BANNER = ["", "", "   Varnel Tarvex Flash Disk Creation Utility 1.00", "",
          "Searching for removable drives..."]
PROMPT = "Enter drive letter to be overwritten with files :"
KEY_PROMPT = "(press a key to exit)"


def confirm(letter):
    return "Overwrite drive %s: (Y/N)?:" % letter


SUCCESS = ["", "  Congratulations! You have successfully created a bootable BIOS Update "
           "Disk in drive A:", "", KEY_PROMPT]
NO_DRIVE = ["", "No valid drive letter entered, exiting...", "", KEY_PROMPT]


def framed(line):
    # An empty line, a line of 30 blanks (Wine's console never shows trailing
    # blanks), the message, an empty line and the key prompt.
    return ["", "", line, "", KEY_PROMPT]


# name: (program, keys, expected screen lines, exit status, what the floppy must hold)
# A screen line given as re.Pattern is matched whole; every other line is compared as text.
SCENARIOS = {
    "confirm_lower": ("release.exe", ["a", "y"], BANNER + [PROMPT, confirm("A")] + SUCCESS,
                      0, "image"),
    "confirm_upper": ("release.exe", ["A", "Y"], BANNER + [PROMPT, confirm("A")] + SUCCESS,
                      0, "image"),
    "refused": ("release.exe", ["a", "n"], BANNER + [PROMPT, confirm("A")] + NO_DRIVE, 1,
                "untouched"),
    "enter_refuses": ("release.exe", ["a", "Enter"], BANNER + [PROMPT, confirm("A")] + NO_DRIVE,
                      1, "untouched"),
    "non_letter": ("release.exe", ["5"], BANNER + [PROMPT] + NO_DRIVE, 1, "untouched"),
    "no_drive": ("release.exe", ["q", "y"],
                 # The open message ends in a line break of its own.
                 BANNER + [PROMPT, confirm("Q"), "", "",
                           re.compile(r"\*\*\* error opening drive Q: \S.*"), " ***", "",
                           KEY_PROMPT],
                 1, "untouched"),
    "no_image": ("noimage.exe", ["a", "y"],
                 BANNER + [PROMPT, confirm("A")] + framed("*** appended image missing ***"), 1,
                 "untouched"),
    "bytes_after_image": ("extra.exe", ["a", "y"], BANNER + [PROMPT, confirm("A")] + SUCCESS,
                          0, "shifted"),
    "write_fails": ("release.exe", ["b", "y"],
                    BANNER + [PROMPT, confirm("B")] +
                    framed(re.compile(r'\*\*\* WriteFile error "\S.*" \*\*\*')), 1, "untouched"),
    "path_too_long": (LONG_PATH, ["a", "y"],
                      BANNER + [PROMPT, confirm("A")] +
                      framed("*** program path longer than 259 characters: move the program "
                             "to a shorter path ***"), 1, "untouched"),
    # Standard output in a file: the keys still come from the console, and
    # the program ends without waiting for a key nobody is prompted for.
    "stdout_to_file": ("release.exe", ["a", "y"],
                       b"\r\n\r\n   Varnel Tarvex Flash Disk Creation Utility 1.00   \r\n\r\n"
                       b"Searching for removable drives...\r\n"
                       b"Enter drive letter to be overwritten with files : \r\n"
                       b"Overwrite drive A: (Y/N)?: \r\n\r\n"
                       b"  Congratulations! You have successfully created a bootable BIOS "
                       b"Update Disk in drive A:\r\n", 0, "image"),
    # No console at all: no key can come, and that is a refusal.
    "no_console": ("release.exe", [],
                   b"\r\n\r\n   Varnel Tarvex Flash Disk Creation Utility 1.00   \r\n\r\n"
                   b"Searching for removable drives...\r\n"
                   b"Enter drive letter to be overwritten with files : \r\n\r\n"
                   b"No valid drive letter entered, exiting...\r\n", 1, "untouched"),
}


def wait_for_file(path, text, seconds=30):
    """Waits until the file holds the text."""
    end = time.time() + seconds
    while time.time() < end:
        try:
            with open(path, "rb") as f:
                if text in f.read():
                    return
        except OSError:
            pass
        time.sleep(0.2)
    raise AssertionError("waited %ds for %r in %s" % (seconds, text, path))


class Pane:
    """One tmux server and session of the test's own, with the program in it."""

    def __init__(self, work, name, command):
        # Unix socket paths are short (108 bytes): keep them out of the build tree.
        self.socket = os.path.join(tempfile.gettempdir(), "imagewrite-e2e-%d-%s" % (os.getpid(),
                                                                                      name))
        self.name = name
        subprocess.run(["tmux", "-S", self.socket, "kill-server"], stderr=subprocess.DEVNULL)
        env = env_for(work)
        env.pop("TMUX", None)
        subprocess.run(["tmux", "-S", self.socket, "-f", "/dev/null", "new-session", "-d", "-s",
                        name, "-x", "120", "-y", "40", command], env=env, check=True)
        self.tmux("set", "-g", "status", "off")

    def tmux(self, *args):
        return subprocess.run(["tmux", "-S", self.socket, *args], check=True,
                              stdout=subprocess.PIPE, text=True).stdout

    def screen(self):
        lines = self.tmux("capture-pane", "-p", "-t", self.name).split("\n")
        lines = [line.rstrip() for line in lines]
        while lines and lines[-1] == "":
            lines.pop()
        return lines

    def wait_for(self, text, seconds=30):
        end = time.time() + seconds
        while time.time() < end:
            lines = self.screen()
            if lines and lines[-1].startswith(text):
                return lines
            time.sleep(0.2)
        raise AssertionError("waited %ds for %r; the screen:\n%s" % (seconds, text,
                                                                    "\n".join(self.screen())))

    def keys(self, key):
        self.tmux("send-keys", "-t", self.name, key)

    def close(self):
        subprocess.run(["tmux", "-S", self.socket, "kill-server"], stderr=subprocess.DEVNULL)


def run(work, scenario):
    program, keys, expected, status, floppy = SCENARIOS[scenario]
    drive_c = os.path.join(work, "prefix", "drive_c")
    backing = os.path.join(work, "floppy-a.img")
    before = bytes([FILL]) * (IMAGE_SIZE + FLOPPY_SLACK)
    with open(backing, "wb") as f:
        f.write(before)
    status_file = os.path.join(work, scenario + ".status")
    if os.path.exists(status_file):
        os.remove(status_file)

    failures = []
    got_status = None
    if scenario == "no_console":
        done = subprocess.run(["wine", program], cwd=drive_c, env=env_for(work),
                              stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, timeout=60)
        screen, got_status = done.stdout, done.returncode
    elif scenario == "stdout_to_file":
        output = os.path.join(work, scenario + ".out")
        pane = Pane(work, scenario, "cd '%s' && wine %s > '%s'; echo $? > '%s'"
                    % (drive_c, program, output, status_file))
        try:
            wait_for_file(output, PROMPT.encode())
            pane.keys(keys[0])
            wait_for_file(output, confirm("A").encode())
            pane.keys(keys[1])
            wait_for_file(status_file, b"\n")
        finally:
            pane.close()
        with open(output, "rb") as f:
            screen = f.read()
    else:
        pane = Pane(work, scenario, "cd '%s' && wine '%s'; echo $? > '%s'"
                    % (drive_c, program, status_file))
        try:
            pane.wait_for(PROMPT)
            pane.keys(keys[0])
            if len(keys) > 1:
                pane.wait_for(confirm(keys[0].upper()))
                pane.keys(keys[1])
            # The final screen is the one the user reads while the program
            # waits for its last key; Wine's console redraws as it ends.
            pane.wait_for(KEY_PROMPT)
            time.sleep(0.3)
            screen = pane.screen()
            pane.keys("k")
            wait_for_file(status_file, b"\n")
        finally:
            pane.close()

    if isinstance(expected, bytes):
        if screen != expected:
            failures.append("the output differs:\n  got      %r\n  expected %r"
                            % (screen, expected))
        screen = screen.decode("ascii", "replace").split("\r\n")
    elif len(screen) != len(expected):
        failures.append("the screen has %d lines, expected %d" % (len(screen), len(expected)))
    for number, (got, want) in enumerate(zip(screen, expected) if isinstance(expected, list)
                                         else [], 1):
        ok = want.fullmatch(got) if isinstance(want, re.Pattern) else got == want
        if not ok:
            failures.append("line %d: got %r, expected %r" % (number, got,
                                                             getattr(want, "pattern", want)))
    if got_status is None:
        try:
            with open(status_file) as f:
                got_status = int(f.read().strip())
        except (OSError, ValueError):
            pass
    if got_status != status:
        failures.append("exit status %r, expected %d" % (got_status, status))

    with open(backing, "rb") as f:
        after = f.read()
    if floppy == "untouched":
        wanted = before
    else:
        with open(os.path.join(drive_c, "release.exe" if program == LONG_PATH else program),
                  "rb") as f:
            payload = f.read()[-IMAGE_SIZE:]
        if floppy == "shifted":
            # The last 1,474,560 bytes of the file: the image without its first
            # 100 bytes, then the 100 bytes appended after it.
            assert payload[-100:] == bytes(range(100))
        wanted = payload + before[IMAGE_SIZE:]
    if after != wanted:
        first = next((i for i, (x, y) in enumerate(zip(after, wanted)) if x != y),
                     min(len(after), len(wanted)))
        failures.append("the floppy's bytes differ from what is expected (%s) from offset %d"
                        " (file size %d)" % (floppy, first, len(after)))

    print("\n".join("| " + line for line in screen))
    if failures:
        print("FAILED %s:\n  %s" % (scenario, "\n  ".join(failures)))
        return 1
    print("ok:", scenario)
    return 0


def boot(work):
    """The whole chain: the real release writes the floppy under Wine, and a
    PC emulator boots what landed on it."""
    if run(work, "confirm_lower"):
        return 1
    disk = os.path.join(work, "written.img")
    with open(os.path.join(work, "floppy-a.img"), "rb") as f:
        written = f.read(IMAGE_SIZE)
    with open(disk, "wb") as f:
        f.write(written)
    return subprocess.run([sys.executable, os.path.join(TOOLS, "boot-check.py"), disk,
                           "--expect", "This diskette carries no BIOS update yet.",
                           "--seconds", "25"]).returncode


def main(argv):
    if len(argv) >= 3:
        argv = argv[:2] + [os.path.abspath(argv[2])] + argv[3:]
    if len(argv) >= 3 and argv[1] == "setup":
        setup(argv[2], argv[3])
        return 0
    if len(argv) == 4 and argv[1] == "run":
        return run(argv[2], argv[3])
    if len(argv) == 3 and argv[1] == "boot":
        return boot(argv[2])
    if len(argv) == 3 and argv[1] == "cleanup":
        wineserver(argv[2], "-k")
        return 0
    if len(argv) == 2 and argv[1] == "list":
        print(";".join(SCENARIOS))
        return 0
    print(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
