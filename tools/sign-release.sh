#!/usr/bin/env bash
# Signs a release in place with osslsigncode, checks the signature, and
# writes its checksum anew, so that the signed program and its own checksum
# stand together:  sign-release.sh RELEASE CERT KEY [CA]
# CA is the certificate file that the check trusts: by default CERT itself,
# which suits a self-signed certificate; name your CA's bundle otherwise.
# A refusal leaves the release and its checksum as they were.
set -uo pipefail
if [ $# -lt 3 ] || [ $# -gt 4 ] || [ "$1" = --help ]; then
  echo "usage: sign-release.sh RELEASE CERT KEY [CA]" >&2
  exit 2
fi
release=$1 cert=$2 key=$3 ca=${4:-$2}
source "$(dirname -- "$0")/release-lib.sh" sign-release
for file in "$release" "$cert" "$key" "$ca"; do
  [ -f "$file" ] && [ -r "$file" ] || fail "cannot read '$file'"
done
command -v osslsigncode >/dev/null || fail "osslsigncode is not installed (apt-get install osslsigncode)"
# Through a file of its own: osslsigncode does not overwrite its input.
temp signed "$release"
rm -f -- "$signed"
error=$(osslsigncode sign -certs "$cert" -key "$key" -in "$release" -out "$signed" 2>&1) ||
  fail "osslsigncode could not sign '$release': $(tail -n 1 <<<"$error")"
error=$(osslsigncode verify -CAfile "$ca" -in "$signed" 2>&1) ||
  fail "the signature of '$release' does not verify: $(grep -m 1 -iE 'fail|error' <<<"$error")"
echo "sign-release: $release signed, and its signature verified"
publish "$signed" "$release"
