#!/usr/bin/env bash
# Signs files in place with Authenticode (SHA-256) through osslsigncode: whatever osslsigncode
# can sign (executables, MSI packages, PowerShell scripts), with one key from either source:
#   --pkcs12 FILE --password-file FILE
#       a PKCS#12 file (certificate, its chain and private key), as an internal CA exports one;
#   --pkcs11-module MODULE --pkcs11-key URI --pkcs11-cert FILE --pin-file FILE
#       a key that never leaves its token or HSM: MODULE is the path of the token's PKCS#11
#       library, URI the RFC 7512 pkcs11: URI of the private key, FILE its certificate with the
#       chain (PEM); publicly trusted code-signing keys must live in such hardware.
# and optionally:
#   --timestamp-url URL               have each signature time-stamped by this RFC 3161 server
#   --trust-anchor FILE               the self-signed root that the signatures must chain to
#                                     (PEM, that one certificate alone); without it, the root at
#                                     the end of the key's own chain
#   --timestamp-trust-anchor FILE     the root that the time stamps must chain to, where the
#                                     time-stamp server's root is another one (PEM, alone)
#
# Either every file is signed or none is changed: each is signed into a temporary file, which
# must be the file plus exactly one signature in the form packaging/signatures.py reads (with a
# time stamp when one was asked for), every temporary file is verified against the trust anchor,
# and only then are the originals replaced. The anchor holds the root alone, because every
# certificate there is trusted: an intermediate put beside it would hide one missing from the
# signature. A failure says which file and why.
#
# Secrets stay off command lines: the password or PIN is read from its file by osslsigncode
# (-readpass) and OpenSSL (-passin file:), never passed as an argument, and is all its file
# holds (a final newline may follow). As ssh does with a private key, a password or PIN file that
# anyone but its owner may read or write is refused, and so is a pkcs11: URI that carries a PIN
# (pin-value, pin-source).
#
# usage: sign-files.sh KEY [OPTIONS] FILE...
#        sign-files.sh --check KEY [OPTIONS]
#        sign-files.sh --verify --trust-anchor FILE [--timestamp-trust-anchor FILE] FILE...
# --check checks the options, the key's files and the trust anchor without signing, so that a
# release can refuse a mistyped key before it touches anything, and says what would sign
# ("signed with a PKCS#12 key", ...). --verify only verifies files that are signed already: each
# signature is taken out and its structure checked (packaging/signatures.py) before osslsigncode
# reads it.
# OSSLSIGNCODE names another osslsigncode binary (the tests run Debian 12's own 2.5, and
# wrappers of it, this way); PKCS#11 works from 2.5 on, PowerShell scripts need 2.8.
set -euo pipefail
export LC_ALL=C

die() {
  echo "sign-files: $*" >&2
  exit 1
}
source "$(dirname "$0")/common.sh"

mode=sign pkcs12="" password_file="" module="" key_uri="" cert="" pin_file="" timestamp_url=""
trust_anchor="" timestamp_anchor=""
while (($#)); do
  case $1 in
    --check | --verify) mode=${1#--}; shift; continue ;;
    --pkcs12 | --password-file | --pkcs11-module | --pkcs11-key | --pkcs11-cert | --pin-file | \
      --timestamp-url | --trust-anchor | --timestamp-trust-anchor)
      (($# >= 2)) || die "$1 needs a value"
      case $1 in
        --pkcs12) pkcs12=$2 ;;
        --password-file) password_file=$2 ;;
        --pkcs11-module) module=$2 ;;
        --pkcs11-key) key_uri=$2 ;;
        --pkcs11-cert) cert=$2 ;;
        --pin-file) pin_file=$2 ;;
        --timestamp-url) timestamp_url=$2 ;;
        --trust-anchor) trust_anchor=$2 ;;
        --timestamp-trust-anchor) timestamp_anchor=$2 ;;
      esac
      shift 2
      ;;
    -h | --help)
      usage_of "$0"
      exit 0
      ;;
    --) shift; break ;;
    -*) die "unknown argument $1" ;;
    *) break ;;
  esac
done
osslsigncode=${OSSLSIGNCODE:-osslsigncode}
command -v "$osslsigncode" >/dev/null || die "osslsigncode is not installed (bash scripts/setup.sh)"
work=$(mktemp -d "${TMPDIR:-/tmp}/spr-sign.XXXXXX")
# Each file is signed into a folder of this run's own beside it, under its own name: osslsigncode
# tells a script's kind by its name, and the replacement is then a rename within one file system.
declare -A signing_of=()
trap 'rm -rf "$work" "${signing_of[@]%/*}"' EXIT

secret_file() {  # secret_file FILE WHAT: readable, by its owner alone, who runs this; one line
  readable "$1" "$2"
  local mode
  mode=$(stat -L -c %a -- "$1")
  (((8#$mode & 8#077) == 0)) ||
    die "the $2 $1 may be read or written by others (mode $mode): chmod 600 it"
  [ "$(stat -L -c %u -- "$1")" = "$(id -u)" ] || die "the $2 $1 belongs to another user"
  # osslsigncode takes the whole file, OpenSSL the first line: they must be the same secret.
  (($(wc -l <"$1") <= 1)) || die "the $2 $1 holds more than one line"
}

# certificates FILE: one file per PEM certificate in FILE, in $work/cert-N.pem; prints their paths.
certificates() {
  local count
  count=$(awk -v dir="$work" '/-----BEGIN CERTIFICATE-----/ { n++; out = dir "/cert-" n ".pem" }
    out { print > out } /-----END CERTIFICATE-----/ { close(out); out = "" } END { print n + 0 }' "$1")
  seq -f "$work/cert-%g.pem" 1 "$count"
}
self_signed() {  # self_signed CERT: its issuer is itself, and its signature is its own
  [ "$(openssl x509 -in "$1" -noout -subject -nameopt RFC2253 | sed 's/^subject=//')" = \
    "$(openssl x509 -in "$1" -noout -issuer -nameopt RFC2253 | sed 's/^issuer=//')" ] &&
    openssl verify -CAfile "$1" "$1" >/dev/null 2>&1
}
anchor_file() {  # anchor_file FILE WHAT: FILE holds exactly one certificate, a self-signed one
  readable "$1" "$2"
  local found
  mapfile -t found < <(certificates "$1")
  ((${#found[@]} == 1)) && self_signed "${found[0]}" ||
    die "the $2 $1 must hold one self-signed root certificate and nothing else"
}

if [ "$mode" = verify ]; then
  [ -n "$trust_anchor" ] || die "--verify needs --trust-anchor"
  [ -z "$pkcs12$password_file$module$key_uri$cert$pin_file$timestamp_url" ] ||
    die "--verify takes no key"
else
  pkcs11_given="$module$key_uri$cert$pin_file"
  if [ -n "$pkcs12$password_file" ] && [ -n "$pkcs11_given" ]; then
    die "give one key: --pkcs12 or --pkcs11-module, not both"
  elif [ -n "$pkcs12$password_file" ]; then
    [ -n "$pkcs12" ] && [ -n "$password_file" ] || die "--pkcs12 and --password-file go together"
    readable "$pkcs12" "PKCS#12 file"
    secret_file "$password_file" "password file"
    # The chain, which also shows that the password opens the file. Files exported with the older
    # algorithms need OpenSSL 3's legacy provider.
    openssl pkcs12 -in "$pkcs12" -passin "file:$password_file" -nokeys -out "$work/chain.pem" 2>/dev/null ||
      openssl pkcs12 -legacy -in "$pkcs12" -passin "file:$password_file" -nokeys -out "$work/chain.pem" 2>/dev/null ||
      die "the password in $password_file does not open the PKCS#12 file $pkcs12 (or it is no PKCS#12 file)"
    key=(-pkcs12 "$pkcs12" -readpass "$password_file")
    how="signed with a PKCS#12 key"
  elif [ -n "$pkcs11_given" ]; then
    [ -n "$module" ] && [ -n "$key_uri" ] && [ -n "$cert" ] && [ -n "$pin_file" ] ||
      die "--pkcs11-module, --pkcs11-key, --pkcs11-cert and --pin-file go together"
    readable "$module" "PKCS#11 module"
    [[ $key_uri == pkcs11:* ]] || die "--pkcs11-key takes a pkcs11: URI (RFC 7512), not $key_uri"
    # Any attribute, in the path or the query, percent-encoded or not (RFC 7512); the URI is not
    # repeated in the message, since it holds the PIN.
    decoded=$(printf '%b' "$(sed 's/%\([0-9A-Fa-f][0-9A-Fa-f]\)/\\x\1/g' <<<"${key_uri,,}")")
    [[ ! $decoded =~ (^pkcs11:|[\;?\&])(pin-value|pin-source)= ]] ||
      die "the --pkcs11-key URI carries a PIN (pin-value or pin-source): put the PIN in the --pin-file file instead"
    readable "$cert" "certificate file"
    secret_file "$pin_file" "PIN file"
    cp "$cert" "$work/chain.pem"
    # No -pkcs11engine: osslsigncode then loads OpenSSL's engine by its name, "pkcs11"; 2.5 takes a
    # path there for a dynamic engine, and Debian's engine does not load that way.
    key=(-pkcs11module "$module" -key "$key_uri" -certs "$cert" -readpass "$pin_file")
    how="signed with a key on a PKCS#11 token"
  else
    die "no key given: --pkcs12 FILE --password-file FILE, or --pkcs11-module MODULE --pkcs11-key URI --pkcs11-cert FILE --pin-file FILE"
  fi
  if [ -z "$trust_anchor" ]; then
    # The chain's own root: the last self-signed certificate in it.
    trust_anchor=$work/root.pem
    while read -r found; do
      ! self_signed "$found" || cp "$found" "$trust_anchor"
    done < <(certificates "$work/chain.pem")
    [ -f "$trust_anchor" ] ||
      die "the key's chain holds no self-signed root to verify the signatures against: give --trust-anchor"
  fi
  [ -z "$timestamp_url" ] || how+=", time-stamped"
fi
anchor_file "$trust_anchor" "trust anchor"
# Which root the signatures are held to: without --trust-anchor, the key's own chain's, which
# proves the chain whole, not that it is the organisation's.
how+=", verified against $(openssl x509 -in "$trust_anchor" -noout -subject -nameopt RFC2253 |
  sed 's/^subject=//') (SHA-256 $(openssl x509 -in "$trust_anchor" -noout -fingerprint -sha256 |
  sed 's/.*=//'))"
[ -z "$timestamp_anchor" ] || anchor_file "$timestamp_anchor" "time-stamp trust anchor"
if [ "$mode" = check ]; then
  (($# == 0)) || die "unknown argument $1"
  echo "$how"
  exit 0
fi
(($# > 0)) || die "usage: sign-files.sh KEY [OPTIONS] FILE..."

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
# Why a signature did not verify, from what osslsigncode verify said.
unverified_because() {
  case $1 in
    *"unable to get local issuer certificate"* | *"unable to get issuer certificate"*)
      echo "its certificate chain does not reach the trust anchor (an intermediate certificate missing from the key's chain?)" ;;
    *"purpose XKU_CODE_SIGN"* | *"unsupported certificate purpose"*)
      echo "the signing certificate is not for code signing (its extended key usage lacks codeSigning)" ;;
    *"certificate has expired"* | *"certificate is not yet valid"*)
      echo "a certificate of the chain is outside its validity period, and no time stamp vouches for the signing time" ;;
    *"self-signed certificate"* | *"self signed certificate"*)
      echo "it chains to another root than the trust anchor" ;;
    *) echo "osslsigncode verify failed" ;;
  esac
}
signatures() {  # signatures ARGUMENT...: packaging/signatures.py, its message in $work/said
  /usr/bin/python3 "$(dirname "$0")/signatures.py" "$@" 2>"$work/said"
}
said_by_signatures() {
  sed 's/^signatures: //' "$work/said"
}
# signed_as_written FILE NAME: FILE has one signature, in the form and with the structure the
# signer writes, before osslsigncode reads it; prints "time-stamped" if it carries a time stamp.
signed_as_written() {
  local status=0
  signatures take "$1" "$work/signature.p7s" || status=$?
  ((status != 1)) || { echo "sign-files: $2 is not signed" >&2; return 1; }
  ((status == 0)) && signatures check "$1" "$work/signature.p7s" ||
    { echo "sign-files: the signature of $2 is refused: $(said_by_signatures)" >&2; return 1; }
}
# verify_file FILE NAME STAMPED: FILE's signature verifies against the anchor, and its time stamp
# too when STAMPED is "time-stamped".
verify_file() {
  local said options=(-CAfile "$trust_anchor" -TSA-CAfile "${timestamp_anchor:-$trust_anchor}")
  if ! said=$("$osslsigncode" verify "${options[@]}" -in "$1" 2>&1); then
    echo "sign-files: the signature of $2 does not verify: $(unverified_because "$said"). osslsigncode said:" >&2
    sed 's/^/  | /' <<<"$said" | head -n 40 >&2
    return 1
  fi
  # osslsigncode goes on at the current time when a time stamp does not verify: one that is there
  # must.
  if [ "$3" = time-stamped ] && ! grep -q "Timestamp Server Signature verification: ok" <<<"$said"; then
    echo "sign-files: the time stamp of $2 does not verify. osslsigncode said:" >&2
    sed 's/^/  | /' <<<"$said" | head -n 40 >&2
    return 1
  fi
}

if [ "$mode" = verify ]; then
  for file in "$@"; do
    [ -f "$file" ] || die "no such file: $file"
    stamped=$(signed_as_written "$file" "$(basename "$file")") &&
      verify_file "$file" "$(basename "$file")" "$stamped" || exit 1
  done
  exit 0
fi

declare -A stamped_of=()
for file in "$@"; do
  [ -f "$file" ] || die "no such file: $file"
  [ -z "${signing_of[$file]:-}" ] || die "$file is named twice"
  options=("${key[@]}" -h sha256 -n "Staged Package Removal")
  [ -z "$timestamp_url" ] || options+=(-ts "$timestamp_url")
  signing_of[$file]=$(mktemp -d "$(dirname "$file")/.signing.XXXXXX")/$(basename "$file")
  if ! said=$("$osslsigncode" sign "${options[@]}" -in "$file" -out "${signing_of[$file]}" 2>&1); then
    echo "sign-files: signing $(basename "$file") failed: $(cause_of "$said"). osslsigncode said:" >&2
    sed 's/^/  | /' <<<"$said" >&2
    die "no file was changed"
  fi
  # What verify-release.sh will read: the file as it was, plus one signature as the signer writes
  # it, time-stamped when that was asked for.
  stamped_of[$file]=$(signatures signed "$file" "${signing_of[$file]}" ${timestamp_url:+--timestamp}) ||
    die "signing $(basename "$file") did not give the file plus one signature as verify-release.sh reads it: $(said_by_signatures); no file was changed"
done
for file in "$@"; do
  verify_file "${signing_of[$file]}" "$(basename "$file")" "${stamped_of[$file]}" || die "no file was changed"
done
for file in "$@"; do mv -f "${signing_of[$file]}" "$file"; done
