#!/usr/bin/env bash
# The default diskette image and the release packaging:  release_test.sh PROGRAM
# The default image's fields and its same bytes on every build; the release
# byte for byte and its checksum; packaging interrupted by SIGINT, SIGTERM
# and SIGHUP; names with a backquote and a quote, through make too; a wrong
# PRESET; releases signed with a key behind a password, a PKCS#12 file and a
# timestamp from an authority of the test's own; a wrong key; the drives and
# folders that wine-prefix.sh refuses; bad images and outputs refused, each
# keeping an earlier release. A new check is one more `check "what" command`.
set -u
program=$1 tools=$(dirname "$0")/../tools work=$(mktemp -d) fail=0
# Only this shell cleans up: a background child that ends through its own
# EXIT path must not remove the folder that the checks still read.
trap '[ "$BASHPID" != "$$" ] || rm -rf "$work"' EXIT
check() { if "${@:2}"; then echo "ok: $1"; else echo "FAILED: $1"; fail=1; fi; }
img=$work/default.img
bash "$tools/make-default-image.sh" "$img"
# Size; bytes per sector, sectors, media, sectors per track, heads; signature.
fields=$(echo $(stat -c %s "$img") $(od -An -tu2 -j11 -N2 "$img") $(od -An -tu2 -j19 -N3 "$img") \
  $(od -An -tu2 -j24 -N4 "$img") $(od -An -tx1 -j510 -N2 "$img"))
check "a FAT12 1.44 MB diskette image: $fields" test "$fields" = "1474560 512 2880 240 18 2 55 aa"
check "it holds README.TXT, labelled TARVEX BIOS" grep -qzE 'TARVEX BIOS.*README +TXT' \
  <(MTOOLS_SKIP_CHECK=1 mdir -i "$img" ::)
sleep 1.1 # any field taken from the clock would now differ
bash "$tools/make-default-image.sh" "$work/again.img"
check "the same bytes on every build" cmp "$img" "$work/again.img"

bash "$tools/package-release.sh" "$program" "$img" "$work/out/release.exe" 2>"$work/err"
check "the release is the program, unchanged, then the image" cmp "$work/out/release.exe" <(cat "$program" "$img")
check "a bootable image packages without a warning" test ! -s "$work/err"
check "sha256sum -c accepts its checksum" sh -c "cd '$work/out' && sha256sum -c --quiet release.exe.sha256"
# What make release says after packaging: the sum of the boot check, brief.
check "the boot check's sum, as make release gives it" test "$(python3 "$tools/boot-check.py" --brief \
  --on diskette,uefi -- "$img" | head -n 1)" = "boot-check: booted on 0 of 2: the image boots none of these PCs"
head -c 1474560 /dev/zero >"$work/blank.img"
bash "$tools/package-release.sh" "$program" "$work/blank.img" "$work/blank.exe" 2>"$work/err"
check "an image without 55 AA packages with a warning" grep -q "will not boot" "$work/err"

# Interrupted at several points after a good release: the folder holds a
# program and its own checksum, or neither, and no temporary file.
set -m # a background job keeps SIGINT, as one run from a terminal does
for delay in 0.002 0.01 0.02 0.04; do
  for signal in INT TERM HUP; do
    bash "$tools/package-release.sh" "$program" "$img" "$work/out/release.exe" >/dev/null 2>&1 &
    sleep $delay && kill -$signal $! 2>/dev/null
    wait $! 2>/dev/null
    check "interrupted by SIG$signal after $delay s: a matching pair, or neither, and no temporary file" \
      sh -c "cd '$work/out' && { [ ! -e release.exe.sha256 ] || sha256sum -c --quiet release.exe.sha256; } && [ \"\$(ls | grep -c part)\" = 0 ]"
  done
done
# Names are data: the shell never reads them as commands.
name='x`touch $HOME-ran`"q.img'
cp "$img" "$work/$name"
bash "$tools/package-release.sh" "$program" "$work/$name" "$work/named.exe" 2>"$work/err"
check "an image named with a backquote and a quote packages as it is" cmp "$work/named.exe" <(cat "$program" "$img")
check "make passes the name on as data, not as shell text" test "$(make -s -n -C "$tools/.." release IMAGE="$work/$name" 2>&1 | grep -c 'touch\|\*\*\*')" = 0
check "make refuses a wrong PRESET, naming the right ones" grep -q 'are win32 (the default) and win64' <(make -s -n -C "$tools/.." release PRESET=host 2>&1)
# A signed release: the program signed in place, and its checksum anew.
openssl req -x509 -newkey rsa:2048 -nodes -subj "/CN=imagewrite test" -days 1 -out "$work/cert.pem" \
  -keyout "$work/key.pem" >/dev/null 2>&1
# Signed as makers sign: with a key behind a password, a PKCS#12 file, and a
# timestamp from an authority of the test's own on 127.0.0.1.
printf 'pass phrase\n' >"$work/pw"
openssl pkey -in "$work/key.pem" -aes256 -passout file:"$work/pw" -out "$work/locked.pem"
openssl pkcs12 -export -in "$work/cert.pem" -inkey "$work/key.pem" -passout file:"$work/pw" -out "$work/c.pfx"
openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=tsa -days 1 -out "$work/tsa.pem" -keyout "$work/tsakey.pem" \
  -addext extendedKeyUsage=critical,timeStamping >/dev/null 2>&1
echo 01 >"$work/serial"
printf '[tsa]\ndefault_tsa=t\n[t]\nserial=%s/serial\nsigner_cert=%s/tsa.pem\nsigner_key=%s/tsakey.pem\nsigner_digest=sha256\ndefault_policy=1.2.3.4\ndigests=sha256\ness_cert_id_alg=sha256\n' \
  "$work" "$work" "$work" >"$work/tsa.cnf"
python3 - "$work" >"$work/port" 2>"$work/tsa.log" <<'PY' &
import http.server, subprocess, sys
class Authority(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        open(sys.argv[1] + "/query", "wb").write(self.rfile.read(int(self.headers["Content-Length"])))
        subprocess.run(["openssl", "ts", "-reply", "-config", sys.argv[1] + "/tsa.cnf", "-queryfile",
                        sys.argv[1] + "/query", "-out", sys.argv[1] + "/reply"], stderr=subprocess.DEVNULL)
        reply = open(sys.argv[1] + "/reply", "rb").read()
        self.send_response(200)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)
server = http.server.HTTPServer(("127.0.0.1", 0), Authority)
print(server.server_port, flush=True)
server.serve_forever()
PY
trap '[ "$BASHPID" != "$$" ] || { kill %1; rm -rf "$work"; }' EXIT
while [ ! -s "$work/port" ]; do sleep 0.1; done
for way in "--cert $work/cert.pem --key $work/locked.pem --password-file $work/pw" \
  "--pfx $work/c.pfx --password-file $work/pw" "--cert $work/cert.pem --key $work/key.pem --timestamp http://127.0.0.1:$(cat "$work/port")"; do
  cp "$work/named.exe" "$work/signed.exe"
  bash "$tools/sign-release.sh" "$work/signed.exe" $way >/dev/null
  verified="Signature verification: ok"
  [[ $way != *--timestamp* ]] || verified="Timestamp Server $verified"
  check "signed with ${way//$work\//}: it verifies, with the timestamp if asked, and the checksum is the signed program's" sh -c "osslsigncode verify -CAfile '$work/cert.pem' -TSA-CAfile '$work/tsa.pem' -in '$work/signed.exe' | grep -q '$verified' && cd '$work' && sha256sum -c --quiet signed.exe.sha256"
done
check "a wrong key is refused with osslsigncode's reason, in one line" grep -qx "sign-release: osslsigncode could not sign '$work/named.exe': .*key values mismatch.*" \
  <(bash "$tools/sign-release.sh" "$work/named.exe" --cert "$work/cert.pem" --key "$work/tsakey.pem" 2>&1)
# A wrong drive is refused with its reason before the prefix is made.
for drive in c="$img" a 1="$img" a="$work/none" a= B="$work"; do
  status=$(bash "$tools/wine-prefix.sh" "$work/prefix" "$drive" 2>"$work/err" >/dev/null; echo $?)
  check "wine-prefix refuses $drive: $(cat "$work/err")" test $status = 1 -a -s "$work/err" -a ! -e "$work/prefix"
done
check "wine-prefix refuses a folder of other files for a prefix" grep -q "holds files and is not a Wine prefix" \
  <(bash "$tools/wine-prefix.sh" "$work" a="$img" 2>&1)

# Refused with a message that names the file, leaving an earlier release and the inputs as they were.
head -c 1474559 "$img" >"$work/short.img"
cat "$img" "$img" >"$work/long.img"
cp "$program" "$work/program" && cp "$img" "$work/keep.img"
mkdir "$work/folder" && mkfifo "$work/fifo"
rows=("short.img|stale.exe|short.img' is 1474559 bytes" "long.img|stale.exe|long.img' is 2949120 bytes"
  "|stale.exe|the image's name is empty"
  "none.img|stale.exe|none.img': no such file" ".|stale.exe|/.': not a regular file"
  "keep.img|keep.img|keep.img' is the input" "keep.img|program|program' is the input"
  "keep.img|folder|folder' is a directory" "keep.img|fifo|fifo' is a fifo")
[ "$(id -u)" = 0 ] && mknod "$work/device" c 1 3 && rows+=("keep.img|device|device' is a character special file")
for refusal in "${rows[@]}"; do
  IFS='|' read -r image out text <<<"$refusal"
  echo stale >"$work/stale.exe"
  kind=$(stat -c %F "$work/$out")
  bash "$tools/package-release.sh" "$work/program" "${image:+$work/$image}" "$work/$out" 2>"$work/err"
  check "$image as $out refused: $text" grep -qF "$text" "$work/err"
  [ "$out" = stale.exe ] && text="; the release of an earlier run stays: $work/stale.exe"
  check "  it says so of the earlier release, which stays, with the inputs, as they were" \
    grep -qF "$text" "$work/err"
  check "  no output replaced" test "$(stat -c %F "$work/$out" 2>/dev/null)" = "$kind" -a \
    "$(cat "$work/program" "$work/keep.img" "$work/stale.exe" | md5sum)" = "$(cat "$program" "$img" - <<<stale | md5sum)"
done
exit $fail
