#!/usr/bin/env python3
"""Runs a console program in a terminal of its own and answers its prompts.

    pane.py [PROMPT KEY]... -- COMMAND

COMMAND (a shell command) runs in a tmux pane of 100 x 30. For each pair,
the key (a tmux key name: a letter, Enter, ...) is typed once the screen's
last line begins with PROMPT and the cursor has stood still at its end for a
moment: a key typed before the program reads it is echoed by the terminal.
A KEY that begins with ! is a shell command run at that prompt instead, so
that a test can change the world while the program waits. KEY+KEY types
the keys a second apart (y+C-c: a confirmation, then Ctrl-C during what
follows).
Prints the screen as it was before the last key, then exits with COMMAND's
exit status. Each wait is bounded and says what it waited for when it gives up.
"""
import os
import subprocess
import sys
import tempfile
import time

WAIT = 30  # seconds, for each prompt and for the end
STILL = 0.3  # seconds the screen and the cursor must hold still


class Pane:
    def __init__(self, work, command, status):
        # Unix socket paths are short (108 bytes): the socket goes in /tmp.
        self.base = ["tmux", "-u", "-S", os.path.join(work, "tmux"), "-f", "/dev/null"]
        env = dict(os.environ)
        env.pop("TMUX", None)
        subprocess.run(self.base + ["new-session", "-d", "-s", "pane", "-x", "100", "-y", "30",
                                    # The command in a shell of its own, so
                                    # that its status is kept even if it exits.
                                    "bash", "-c", 'bash -o pipefail -c "$0"; echo $? > "$1"',
                                    command, status],
                       env=env, check=True)
        self.tmux("set", "-g", "status", "off")

    def tmux(self, *args):
        return subprocess.run(self.base + list(args), stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, text=True, check=False).stdout

    def screen(self):
        lines = [line.rstrip() for line in self.tmux("capture-pane", "-p").split("\n")]
        while lines and not lines[-1]:
            lines.pop()
        return lines

    def alive(self):
        return subprocess.run(self.base + ["has-session"], stderr=subprocess.DEVNULL).returncode == 0

    def prompted(self, prompt):
        """The screen once PROMPT ends it with the cursor still behind it, or None."""
        lines = self.screen()
        cursor = self.tmux("display", "-p", "#{cursor_x} #{cursor_y}").split()
        if len(cursor) != 2 or not lines or not lines[-1].startswith(prompt):
            return None
        x, y = int(cursor[0]), int(cursor[1])
        if y == len(lines) - 1 and x >= len(lines[-1]):
            return lines, (x, y)
        return None

    def wait_for(self, prompt):
        end = time.time() + WAIT
        seen, since, last = None, time.time(), []
        while time.time() < end and self.alive():
            last = self.screen() or last
            now = self.prompted(prompt)
            if now is None or now != seen:
                seen, since = now, time.time()
            elif time.time() - since >= STILL:
                return now[0]
            time.sleep(0.05)
        sys.exit("pane: %s while waiting for %r with the cursor still at its end; the screen:\n%s"
                 % ("gave up after %d s" % WAIT if self.alive() else "the program ended", prompt,
                    "\n".join(last)))


def ended(status):
    """Whether the command has written its whole exit status."""
    try:
        with open(status) as f:
            return f.read().endswith("\n")
    except FileNotFoundError:
        return False


def main(argv):
    if "--" not in argv or argv.index("--") % 2 != 1 or argv.index("--") == len(argv) - 1:
        print(__doc__, file=sys.stderr)
        sys.exit(2)
    split = argv.index("--")
    pairs = list(zip(argv[1:split:2], argv[2:split:2]))
    with tempfile.TemporaryDirectory(prefix="pane-") as work:
        status = os.path.join(work, "status")
        pane = Pane(work, " ".join(argv[split + 1:]), status)
        try:
            screen = pane.screen()
            for prompt, key in pairs:
                screen = pane.wait_for(prompt)
                if key.startswith("!"):
                    subprocess.run(key[1:], shell=True, check=True)
                else:
                    for part in key.split("+"):  # a second apart
                        pane.tmux("send-keys", part)
                        time.sleep(part != key.split("+")[-1])
            end = time.time() + WAIT
            while not ended(status):
                if time.time() > end:
                    sys.exit("pane: waited %d s for the program to end; the screen:\n%s"
                             % (WAIT, "\n".join(pane.screen())))
                time.sleep(0.05)
        finally:
            pane.tmux("kill-server")
        print("\n".join(screen))
        with open(status) as f:
            return int(f.read())


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv))
    except KeyboardInterrupt:  # the pane is gone; whoever started this says so
        sys.exit(130)
