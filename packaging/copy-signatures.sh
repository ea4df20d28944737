#!/usr/bin/env bash
# Attaches detached Authenticode signatures to files, in place: for each PATH, the signature
# SIGNATURES/PATH.p7s (DER, PKCS#7 SignedData), if there is one, goes onto TO/PATH as the signer
# attaches it; a PATH without one stays as it is. scripts/release.sh --signatures does this for
# scripts/verify-release.sh, which takes each signature out of a published release and checks it
# first (packaging/signatures.py take and check): the rebuilt files then carry the published
# signatures, and are the published files byte for byte when those are this build plus them.
#
# Nothing here parses a signature. A PE image's and a script's is attached by signatures.py, as
# bytes in the signer's layout; an MSI package's by osslsigncode, which is handed only a signature
# that verify-release.sh has checked, and this build's own package.
#
# Prints each PATH whose signature it attached.
#
# usage: copy-signatures.sh SIGNATURES TO PATH...
set -euo pipefail
export LC_ALL=C

die() {
  echo "copy-signatures: $*" >&2
  exit 1
}

(($# >= 3)) || die "usage: copy-signatures.sh SIGNATURES TO PATH..."
from=$1 to=$2
shift 2
here=$(cd "$(dirname "$0")" && pwd)
osslsigncode=${OSSLSIGNCODE:-osslsigncode}
work=$(mktemp -d "${TMPDIR:-/tmp}/spr-signatures.XXXXXX")
trap 'rm -rf "$work"' EXIT

signatures() {  # signatures ARGUMENT...: packaging/signatures.py
  /usr/bin/python3 "$here/signatures.py" "$@"
}
attach_msi() {  # attach_msi SIGNATURE FILE OUT
  local status=0
  # attach-signature then verifies the file against the system's CA store, and exits 1 when that
  # fails, after writing it: whether the package carries the signature is asked of it below.
  "$osslsigncode" attach-signature -sigin "$1" -in "$2" -out "$3" >"$work/said" 2>&1 || status=$?
  if ((status > 1)) || [ ! -s "$3" ]; then
    cat "$work/said" >&2
    die "osslsigncode could not attach the signature to $2 (status $status)"
  fi
  signatures take "$3" "$work/attached.p7s" && cmp -s "$1" "$work/attached.p7s" ||
    die "$2 does not carry the signature osslsigncode attached"
}

for path in "$@"; do
  signature=$from/$path.p7s target=$to/$path
  [ -f "$target" ] || die "no $path in $to"
  [ -f "$signature" ] || continue
  # Under its own name: the kind of file is told by it.
  attached=$work/$(basename "$path")
  rm -f "$attached"
  case $path in
    *.msi) attach_msi "$signature" "$target" "$attached" ;;
    *) signatures attach "$target" "$signature" "$attached" || die "cannot attach the signature to $target" ;;
  esac
  mv -f "$attached" "$target"
  echo "$path"
done
