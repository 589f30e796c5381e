#!/usr/bin/env bash
# The program's main job, tried at once: the release writes its image onto
# drive A: of a Wine prefix, a removable floppy backed by a fresh blank file,
# and then the floppy is shown. In a terminal you answer the prompts
# yourself (type a, then y); without one (CI, a pipe) the demo answers them
# in a tmux pane and prints the final screen.
set -euo pipefail
release=$(realpath "$1")
top=$(cd "$(dirname "$0")/.." && pwd)
work=$top/build/demo
prefix=$work/prefix
floppy=$work/floppy.img

mkdir -p "$work"
head -c 1474560 /dev/zero >"$floppy"
echo "demo: making the Wine prefix $prefix (drive A: is the blank floppy $floppy)"
bash "$top/tools/wine-prefix.sh" "$prefix" "a=$floppy"
cp "$release" "$prefix/drive_c/imagewrite.exe"

export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml= LC_ALL=C
unset DISPLAY WAYLAND_DISPLAY
status=0
if [ -t 0 ] && [ -t 1 ]; then
  echo "demo: running the release. Drive A: is the floppy: type a, then y."
  (cd "$prefix/drive_c" && wine imagewrite.exe) || status=$?
else
  echo "demo: no terminal here, so the demo types a, y and the final key itself"
  socket=$(mktemp -u /tmp/imagewrite-demo.XXXXXX) # socket paths must stay short
  tmux -S "$socket" kill-server 2>/dev/null || true
  tmux -S "$socket" -f /dev/null new-session -d -s demo -x 100 -y 30 \
    "cd '$prefix/drive_c' && wine imagewrite.exe; echo \$? > '$work/status'"
  tmux -S "$socket" set -g status off >/dev/null
  rm -f "$work/status"
  # Waits until the last line of the screen begins with the text.
  wait_for() {
    for _ in $(seq 150); do
      if tmux -S "$socket" capture-pane -p -t demo | sed '/^$/d' | tail -n 1 | grep -qF -- "$1"; then
        return 0
      fi
      sleep 0.2
    done
    echo "demo: the program did not show '$1'" >&2
    tmux -S "$socket" capture-pane -p -t demo >&2
    tmux -S "$socket" kill-server
    exit 1
  }
  wait_for "Enter drive letter"
  tmux -S "$socket" send-keys -t demo a
  wait_for "Overwrite drive A:"
  tmux -S "$socket" send-keys -t demo y
  wait_for "(press a key to exit)"
  echo "---------------------------------------------------------------- the screen"
  tmux -S "$socket" capture-pane -p -t demo | sed -e :a -e '/^\n*$/{$d;N;ba' -e '}'
  echo "----------------------------------------------------------------"
  tmux -S "$socket" send-keys -t demo k
  for _ in $(seq 100); do [ -f "$work/status" ] && break; sleep 0.2; done
  tmux -S "$socket" kill-server 2>/dev/null || true
  status=$(cat "$work/status" 2>/dev/null || echo "unknown")
fi
wineserver -k 2>/dev/null || true

echo
echo "demo: the program ended with exit status $status"
echo "demo: what landed on the floppy ($floppy):"
if MTOOLS_SKIP_CHECK=1 mdir -i "$floppy" :: 2>/dev/null; then :; else
  echo "  (no FAT file system on it)"
fi
if [ "$(od -An -tx1 -j510 -N2 "$floppy" | tr -d ' \n')" = "55aa" ]; then
  echo "demo: the boot-sector signature 55 AA is there: a PC can boot this disk"
else
  echo "demo: no boot-sector signature: this disk will not boot"
fi
[ "$status" = 0 ]
