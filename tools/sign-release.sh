#!/usr/bin/env bash
# Signs a release in place with osslsigncode, checks the signature, and
# writes its checksum anew, so that the signed program and its own checksum
# stand together:
#   sign-release.sh RELEASE (--cert CERT --key KEY | --pfx PFX)
#                   [--password-file FILE] [--ca CA] [--timestamp URL]
# The key is a PEM file, or comes with its certificate in a PKCS#12 file;
# FILE holds the password of either (read from the file, never put on a
# command line). URL is an RFC 3161 timestamp authority, whose countersignature
# keeps the signature valid after the certificate expires. CA is the
# certificate file that the check trusts: by default the signing certificate
# itself (for PFX, the certificates it holds), which suits a self-signed one.
# A refusal leaves the release and its checksum as they were.
set -uo pipefail
usage() {
  echo "usage: sign-release.sh RELEASE (--cert CERT --key KEY | --pfx PFX) [--password-file FILE] [--ca CA] [--timestamp URL]" >&2
  exit 2
}
[ $# -ge 1 ] && [ "$1" != --help ] || usage
release=$1 cert= key= pfx= password= ca= url=
shift
while [ $# -ge 2 ]; do
  case $1 in
    --cert) cert=$2 ;;
    --key) key=$2 ;;
    --pfx) pfx=$2 ;;
    --password-file) password=$2 ;;
    --ca) ca=$2 ;;
    --timestamp) url=$2 ;;
    *) usage ;;
  esac
  shift 2
done
[ $# -eq 0 ] && { { [ -n "$pfx" ] && [ -z "$cert$key" ]; } ||
  { [ -z "$pfx" ] && [ -n "$cert" ] && [ -n "$key" ]; }; } || usage
source "$(dirname -- "$0")/release-lib.sh" sign-release
for file in "$release" "$cert" "$key" "$pfx" "$password" "$ca"; do
  [ -z "$file" ] || { [ -f "$file" ] && [ -r "$file" ]; } || fail "cannot read '$file'"
done
command -v osslsigncode >/dev/null || fail "osslsigncode is not installed (apt-get install osslsigncode)"

# osslsigncode's or OpenSSL's reason in one line of words: osslsigncode's
# first line of its own, with OpenSSL's last error (its reason and detail).
reasons() {
  local own ssl
  own=$(grep -vE '^[0-9A-F]+:error:|^(Failed|Succeeded)$|pass phrase:|^Connecting' <<<"$1" | grep -m 1 .)
  ssl=$(grep -E '^[0-9A-F]+:error:' <<<"$1" | tail -n 1 |
    sed -E 's/^[0-9A-F]+:error:[0-9A-F]+:[^:]*:[^:]*:([^:]*):[^:]*:[0-9]+:?/\1 /; s/ +$//')
  echo "${own:-$ssl}${own:+${ssl:+ ($ssl)}}"
}
# What a reason means for the files given, where it is plain.
hint() {
  case $1 in
    *mismatch*) echo ": the key is not the certificate's own" ;;
    *assword* | *passphrase*)
      if [ -n "$password" ]; then echo ": the password file does not open it"; else
        echo ": it is protected by a password; give PASSWORD_FILE=file"; fi ;;
    *"No certificate found"*) echo ": is the certificate a certificate, or are CERT and KEY swapped?" ;;
    *"Verify error"*) echo ": is CA the certificate that issued the signing one?" ;;
  esac
}
temp signed "$release"
rm -f -- "$signed"
if [ -n "$pfx" ]; then
  with=(-pkcs12 "$pfx")
  if [ -z "$ca" ]; then
    temp ca "$release.ca"
    passin=pass:
    [ -z "$password" ] || passin=file:$password
    error=$(openssl pkcs12 -in "$pfx" -nokeys -passin "$passin" -out "$ca" 2>&1) ||
      { why=$(reasons "$error"); fail "cannot read the PKCS#12 file '$pfx': $why$(hint "$why")"; }
  fi
else
  with=(-certs "$cert" -key "$key")
  ca=${ca:-$cert}
fi
[ -z "$password" ] || with+=(-readpass "$password")
[ -z "$url" ] || with+=(-ts "$url")
# Through a file of its own: osslsigncode does not overwrite its input.
error=$(osslsigncode sign "${with[@]}" -in "$release" -out "$signed" 2>&1 </dev/null) &&
  [ -s "$signed" ] || {
  why=$(reasons "$error")
  fail "osslsigncode could not sign '$release': $why$(hint "$why")"
}
error=$(osslsigncode verify -CAfile "$ca" -in "$signed" 2>&1) || {
  why=$(reasons "$(grep -E '^[0-9A-F]+:error:' <<<"$error")")
  fail "the signature of '$release' does not verify: $why$(hint "$why")"
}
[ -z "$url" ] || grep -q "Timestamp time" <<<"$error" ||
  fail "the signature of '$release' carries no timestamp from $url"
echo "sign-release: $release signed${url:+ and timestamped}, and its signature verified"
publish "$signed" "$release"
