#!/usr/bin/env bash
# Copies the Authenticode signature of each file PATH under FROM onto the file PATH under TO, in
# place; a file unsigned under FROM stays as it is. scripts/verify-release.sh has a rebuilt
# release take a published release's signatures this way: when the published files are this
# build plus their signatures, the results are the same bytes.
#
# osslsigncode never parses a published file's PE image or MSI: each signature is taken out by a
# reader of this project's (pkcs7_of in common.sh; a script's signature block as text), and
# osslsigncode attaches it to the rebuilt file, parsing the signature itself.
#
# Prints each PATH whose signature it copied.
#
# usage: copy-signatures.sh FROM TO PATH...
set -euo pipefail
export LC_ALL=C

die() {
  echo "copy-signatures: $*" >&2
  exit 1
}

(($# >= 3)) || die "usage: copy-signatures.sh FROM TO PATH..."
from=$1 to=$2
shift 2
here=$(cd "$(dirname "$0")" && pwd)
source "$here/common.sh"
osslsigncode=${OSSLSIGNCODE:-osslsigncode}
work=$(mktemp -d "${TMPDIR:-/tmp}/spr-signatures.XXXXXX")
trap 'rm -rf "$work"' EXIT

attach() {  # attach SIGNATURE FILE: osslsigncode puts the PKCS#7 SIGNATURE onto FILE
  rm -f "$work/attached"
  # attach-signature then verifies against the system's CA store and exits 1 when that fails,
  # after writing the file: the bytes are what the caller compares, so only they are required.
  "$osslsigncode" attach-signature -sigin "$1" -in "$2" -out "$work/attached" >"$work/said" 2>&1 || true
  [ -s "$work/attached" ] || { cat "$work/said" >&2; die "osslsigncode could not attach the signature to $2"; }
  mv -f "$work/attached" "$2"
  echo "$path"
}

# The line that starts a PowerShell script's signature block, which osslsigncode appends to the
# script's bytes as they were.
block_start='# SIG # Begin signature block'

for path in "$@"; do
  signed=$from/$path target=$to/$path
  [ -f "$signed" ] || die "no $path in $from"
  [ -f "$target" ] || die "no $path in $to"
  case $path in
    *.exe | *.dll | *.msi)
      if pkcs7_of "$signed" "$work/signature"; then attach "$work/signature" "$target"; fi
      ;;
    *.ps1)
      # Everything from the block's first line on, and the blank line (CR LF) that osslsigncode
      # writes before it.
      offset=$(grep -b -m1 -x -- "$block_start"$'\r\\?' "$signed" | cut -d: -f1 || true)
      if [ -n "$offset" ]; then
        ((offset < 2)) || [ "$(tail -c +$((offset - 1)) "$signed" | head -c 2 | od -An -tx1 | tr -d ' ')" != 0d0a ] ||
          offset=$((offset - 2))
        tail -c +$((offset + 1)) "$signed" >"$work/block"
        cat "$target" "$work/block" >"$work/attached"
        mv -f "$work/attached" "$target"
        echo "$path"
      fi
      ;;
    *) die "$path: no signature of this type of file is known here" ;;
  esac
done
