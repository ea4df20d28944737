#!/usr/bin/env bash
# Signs Windows executables in place with Authenticode (SHA-256) through osslsigncode, from a
# PKCS#12 file (certificate, its chain and private key) whose password is all a file holds (a
# final newline may follow: osslsigncode -readpass drops it, and takes any further line as part of
# the password), optionally time-stamped by an RFC 3161 server. Either every executable is signed
# or none is changed: each is signed into a temporary file first, and the originals are replaced
# only when all have been. Uses only what osslsigncode 2.5 (Debian 12) offers.
#
# usage: sign-executables.sh --pkcs12 FILE --password-file FILE [--timestamp-url URL] EXE...
set -euo pipefail

die() {
  echo "sign-executables: $*" >&2
  exit 1
}

pkcs12="" password_file="" timestamp_url=""
while (($#)); do
  case $1 in
    --pkcs12 | --password-file | --timestamp-url)
      (($# >= 2)) || die "$1 needs a value"
      case $1 in
        --pkcs12) pkcs12=$2 ;;
        --password-file) password_file=$2 ;;
        --timestamp-url) timestamp_url=$2 ;;
      esac
      shift 2
      ;;
    --) shift; break ;;
    -*) die "unknown option $1" ;;
    *) break ;;
  esac
done
(($# > 0)) || die "usage: sign-executables.sh --pkcs12 FILE --password-file FILE [--timestamp-url URL] EXE..."
[ -n "$pkcs12" ] || die "no --pkcs12 FILE given"
[ -n "$password_file" ] || die "no --password-file FILE given"
[ -f "$pkcs12" ] && [ -r "$pkcs12" ] || die "cannot read the PKCS#12 file $pkcs12"
[ -f "$password_file" ] && [ -r "$password_file" ] || die "cannot read the password file $password_file"
command -v osslsigncode >/dev/null || die "osslsigncode is not installed (bash scripts/setup.sh)"

signed=()
trap 'rm -f "${signed[@]/%/.signing}"' EXIT
for executable in "$@"; do
  [ -f "$executable" ] || die "no such executable: $executable"
  options=(-pkcs12 "$pkcs12" -readpass "$password_file" -h sha256 -n "Staged Package Removal")
  [ -z "$timestamp_url" ] || options+=(-ts "$timestamp_url")
  signed+=("$executable")
  if ! said=$(osslsigncode sign "${options[@]}" -in "$executable" -out "$executable.signing" 2>&1); then
    case $said in
      *"Wrong password"*) cause="the password does not open $pkcs12" ;;
      *"timestamping failed"*) cause="no time stamp from $timestamp_url" ;;
      *"PKCS#12"*) cause="cannot use $pkcs12 as a PKCS#12 file" ;;
      *) cause="osslsigncode failed" ;;
    esac
    echo "sign-executables: signing $(basename "$executable") failed: $cause. osslsigncode said:" >&2
    sed 's/^/  | /' <<<"$said" >&2
    echo "sign-executables: no executable was changed" >&2
    exit 1
  fi
done
for executable in "${signed[@]}"; do mv -f "$executable.signing" "$executable"; done
