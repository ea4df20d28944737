#!/usr/bin/env bash
# Signs files in place with Authenticode (SHA-256) through osslsigncode: whatever osslsigncode
# can sign (executables, MSI packages, PowerShell scripts), with one key from either source:
#   --pkcs12 FILE --password-file FILE
#       a PKCS#12 file (certificate, its chain and private key), as an internal CA exports one;
#   --pkcs11-module MODULE --pkcs11-key URI --pkcs11-cert FILE --pin-file FILE
#       a key that never leaves its token or HSM: MODULE is the path of the token's PKCS#11
#       library, URI the RFC 7512 pkcs11: URI of the private key, FILE its certificate with the
#       chain (PEM); publicly trusted code-signing keys must live in such hardware.
# The password or PIN is all its file holds (a final newline may follow: osslsigncode -readpass
# drops it, and takes any further line as part of the secret). Optionally time-stamped by an
# RFC 3161 server. Either every file is signed or none is changed: each is signed into a
# temporary file first, and the originals are replaced only when all have been.
#
# usage: sign-files.sh KEY [--timestamp-url URL] FILE...
#        sign-files.sh --check KEY [--timestamp-url URL]
# --check only checks the options and that the key's files are there, so that a release can
# refuse a mistyped key before it touches anything, and says what would sign ("signed with a
# PKCS#12 key", ...). OSSLSIGNCODE names another osslsigncode binary (the tests run Debian 12's
# own 2.5 this way); PKCS#11 works from 2.5 on, PowerShell scripts need 2.8.
set -euo pipefail

die() {
  echo "sign-files: $*" >&2
  exit 1
}
source "$(dirname "$0")/common.sh"

check_only="" pkcs12="" password_file="" module="" key_uri="" cert="" pin_file="" timestamp_url=""
while (($#)); do
  case $1 in
    --check) check_only=1; shift; continue ;;
    --pkcs12 | --password-file | --pkcs11-module | --pkcs11-key | --pkcs11-cert | --pin-file | \
      --timestamp-url)
      (($# >= 2)) || die "$1 needs a value"
      case $1 in
        --pkcs12) pkcs12=$2 ;;
        --password-file) password_file=$2 ;;
        --pkcs11-module) module=$2 ;;
        --pkcs11-key) key_uri=$2 ;;
        --pkcs11-cert) cert=$2 ;;
        --pin-file) pin_file=$2 ;;
        --timestamp-url) timestamp_url=$2 ;;
      esac
      shift 2
      ;;
    -h | --help)
      sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'
      exit 0
      ;;
    --) shift; break ;;
    -*) die "unknown argument $1" ;;
    *) break ;;
  esac
done

pkcs11_given="$module$key_uri$cert$pin_file"
if [ -n "$pkcs12$password_file" ] && [ -n "$pkcs11_given" ]; then
  die "give one key: --pkcs12 or --pkcs11-module, not both"
elif [ -n "$pkcs12$password_file" ]; then
  [ -n "$pkcs12" ] && [ -n "$password_file" ] || die "--pkcs12 and --password-file go together"
  readable "$pkcs12" "PKCS#12 file"
  readable "$password_file" "password file"
  key=(-pkcs12 "$pkcs12" -readpass "$password_file")
  how="signed with a PKCS#12 key"
elif [ -n "$pkcs11_given" ]; then
  [ -n "$module" ] && [ -n "$key_uri" ] && [ -n "$cert" ] && [ -n "$pin_file" ] ||
    die "--pkcs11-module, --pkcs11-key, --pkcs11-cert and --pin-file go together"
  readable "$module" "PKCS#11 module"
  [[ $key_uri == pkcs11:* ]] || die "--pkcs11-key takes a pkcs11: URI (RFC 7512), not $key_uri"
  readable "$cert" "certificate file"
  readable "$pin_file" "PIN file"
  # No -pkcs11engine: osslsigncode then loads OpenSSL's engine by its name, "pkcs11"; 2.5 takes a
  # path there for a dynamic engine, and Debian's engine does not load that way.
  key=(-pkcs11module "$module" -key "$key_uri" -certs "$cert" -readpass "$pin_file")
  how="signed with a key on a PKCS#11 token"
else
  die "no key given: --pkcs12 FILE --password-file FILE, or --pkcs11-module MODULE --pkcs11-key URI --pkcs11-cert FILE --pin-file FILE"
fi
[ -z "$timestamp_url" ] || how+=", time-stamped"
if [ -n "$check_only" ]; then
  (($# == 0)) || die "unknown argument $1"
  echo "$how"
  exit 0
fi
(($# > 0)) || die "usage: sign-files.sh KEY [--timestamp-url URL] FILE..."
osslsigncode=${OSSLSIGNCODE:-osslsigncode}
command -v "$osslsigncode" >/dev/null || die "osslsigncode is not installed (bash scripts/setup.sh)"

# Why signing failed, from what osslsigncode (and OpenSSL's engine under it) said. The PIN comes
# first: a token that refuses the login also reports the key as not found.
cause_of() {
  case $1 in
    *"PIN incorrect"* | *"Login failed"*) echo "the PIN in $pin_file does not open the token" ;;
    *"Unable to load module"*) echo "cannot load $module as a PKCS#11 module" ;;
    *"object not found"* | *"private key was not found"*) echo "no private key on the token at $key_uri" ;;
    *"Wrong password"*) echo "the password does not open $pkcs12" ;;
    *"timestamping failed"*) echo "no time stamp from $timestamp_url" ;;
    *"Unrecognized file type"*) echo "$("$osslsigncode" --version 2>&1 | head -n1 | sed "s/,.*//") cannot sign this type of file" ;;
    *"PKCS#12"*) echo "cannot use $pkcs12 as a PKCS#12 file" ;;
    *) echo "osslsigncode failed" ;;
  esac
}

signed=()
trap 'rm -f "${signed[@]/%/.signing}"' EXIT
for file in "$@"; do
  [ -f "$file" ] || die "no such file: $file"
  options=("${key[@]}" -h sha256 -n "Staged Package Removal")
  [ -z "$timestamp_url" ] || options+=(-ts "$timestamp_url")
  signed+=("$file")
  if ! said=$("$osslsigncode" sign "${options[@]}" -in "$file" -out "$file.signing" 2>&1); then
    echo "sign-files: signing $(basename "$file") failed: $(cause_of "$said"). osslsigncode said:" >&2
    sed 's/^/  | /' <<<"$said" >&2
    echo "sign-files: no file was changed" >&2
    exit 1
  fi
done
for file in "${signed[@]}"; do mv -f "$file.signing" "$file"; done
