# What packaging and signing share, sourced by both: temporary files beside
# the release that no signal leaves behind, and one step that puts a release
# and its checksum in place together.
#   source release-lib.sh NAME   (NAME starts every message)
me=$1
temps=()
cleanup() { rm -f -- "${temps[@]}"; }
trap cleanup EXIT
# Ended by a signal: the temporary files go, then the signal ends the script
# as it would have, so that make reports the interruption.
for signal in INT TERM HUP; do
  trap "cleanup; trap - $signal EXIT; kill -$signal \$\$" $signal
done

fail() {
  echo "$me: $*" >&2
  exit 1
}
# What a script does when it cannot go on; packaging adds that an earlier release stays.
refuse() { fail "$@"; }

# The system's reason in a failed command's message: what follows its last ": ".
reason() { sed -n '$s/.*: //p' <<<"$1"; }

# A new temporary file beside OUT, named in the variable NAME. Its name is
# known before it exists, so that a signal cannot come between the two.
temp() { # NAME OUT
  local error
  printf -v "$1" %s "$2.$$.part"
  temps+=("$2.$$.part")
  error=$(: 2>&1 >"$2.$$.part") || refuse "cannot write '$2': $(reason "$error")"
}

# Puts FILE in place as OUT, with OUT.sha256 beside it in the form that
# `sha256sum -c` reads there. No signal comes between the two: the release
# folder holds a program with its own checksum, never one with another's.
publish() { # FILE OUT
  local sum digest error
  temp sum "$2.sha256"
  digest=$(sha256sum <"$1") && echo "${digest%% *}  $(basename -- "$2")" >"$sum" ||
    refuse "cannot write '$2.sha256'"
  chmod 644 -- "$1" "$sum"
  trap '' INT TERM HUP
  error=$({ rm -f -- "$2.sha256" && mv -f -- "$1" "$2" && mv -f -- "$sum" "$2.sha256"; } 2>&1) ||
    refuse "cannot write '$2': $(reason "$error")"
  echo "$me: sha256 ${digest%% *} ($2.sha256)"
}
