#!/usr/bin/env bash
# scripts/release.sh end to end, on the committed HEAD:
# - two releases built in two clones of the repository, in two directories, at two times, under
#   different time zones, umasks and locales, are byte-for-byte the same (any differing file is
#   named), and so is a release packaged from BUILD_DIR, which the other cases package from;
# - a release holds what it should (the list below, written here, not read from the packaging),
#   and sha256sum -c passes in it;
# - a signed release (throw-away CA, throwaway_ca.sh; time-stamped by a local RFC 3161 server,
#   timestamp_server.py) verifies against that CA, and removing its signatures gives back the
#   unsigned release's executables; so does one signed with a key on a SoftHSM2 token, and
#   Debian 12's own osslsigncode (2.5) signs with that key too;
# - AUTHENTICODE-SHA256 is the digest osslsigncode computes for each executable, unsigned and
#   signed, and the same for all three releases;
# - the SBOM is valid CycloneDX (CycloneDX's own library), its files and sums are SHA256SUMS's,
#   and its runtime components are exactly those THIRD-PARTY-NOTICES.txt names;
# - a release whose arguments are wrong is refused, and one whose signing fails or whose
#   signatures do not verify (a certificate not for code signing, a chain without its
#   intermediate, a failure on the last file signed) stops with a clear message; either leaves
#   the earlier release as it was, and no temporary file; no password or PIN ever reaches an
#   argument of osslsigncode or a message;
# - the build information names the commit and every tool's Debian version, as dpkg has them,
#   and the SBOM lists the same tools;
# - a release that a stopped run left aside is put back first, and a time stamp that was asked
#   for must be in every signature;
# - scripts/verify-release.sh finds a signed release of HEAD the same as its rebuild, and each
#   crafted download of it not (verify_release_cases.sh says which).
# scripts/test.sh runs it after the Windows suites.
#
# usage: release_test.sh BUILD_DIR   (a windows-x64 build of HEAD)
set -euo pipefail
cd "$(dirname "$0")/../.."
source tests/harness/harness.sh
# shellcheck source=tests/release/throwaway_ca.sh
source tests/release/throwaway_ca.sh
build=$(realpath "$1")

work=$(mktemp -d)
server_pid=""
stop_server_and_clean() {
  [ -z "$server_pid" ] || kill "$server_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap stop_server_and_clean EXIT
mkdir "$work/ca" "$work/tmp"
# Every temporary file of the releases goes here, to see that none is left behind.
export TMPDIR=$work/tmp
make_throwaway_ca "$work/ca"
ca=$work/ca

commit=$(git rev-parse --verify HEAD)
version=$(cat "$build/project-version.txt")
name=staged-package-removal-$version-win64
msi=staged-package-removal-$version-x64.msi
sbom=staged-package-removal-$version.cdx.json
build_info=staged-package-removal-$version.buildinfo
# What a release ships, written out here: a test that took its expectations from
# packaging/shipped-files.txt could not catch a wrong list.
executables=(staged-package-removal.exe staged-package-check.exe)
scripts=(deploy/detect-app.ps1 deploy/detect-remediation.ps1 deploy/remediate.ps1)
in_zip=("${executables[@]}" "${scripts[@]}" ADMINISTRATOR-GUIDE.md LICENSE THIRD-PARTY-NOTICES.txt)
in_msi=("${executables[@]}" LICENSE THIRD-PARTY-NOTICES.txt)

files_in() {  # files_in DIR: every file under DIR, by its path from there
  (cd "$1" && find . -type f -printf '%P\n' | LC_ALL=C sort)
}
sorted() {  # sorted WORD...: one a line, in the C locale's order
  printf '%s\n' "$@" | LC_ALL=C sort
}
# Every osslsigncode that a release runs records its arguments, to see that no secret is among
# them; every release's messages are kept, for the same look.
recorder=$work/osslsigncode-recorder
printf '#!/bin/sh\nprintf "%%s\\n" "$*" >>"%s/osslsigncode-arguments"\nexec osslsigncode "$@"\n' "$work" >"$recorder"
chmod +x "$recorder"
release() {  # release OUTPUT [OPTIONS...]: scripts/release.sh of BUILD_DIR; its output in $work/release.log
  local output=$1 status=0
  shift
  OSSLSIGNCODE=${OSSLSIGNCODE:-$recorder} limited 900 bash scripts/release.sh --windows-build "$build" \
    --output "$output" "$@" >"$work/release.log" 2>&1 || status=$?
  cat "$work/release.log" >>"$work/all-messages"
  return "$status"
}
clone_release() {  # clone_release DIR [ENV...]: a clone of HEAD in DIR builds a release into DIR/release
  local dir=$1
  shift
  git clone -q --no-hardlinks "$PWD" "$dir/src" && git -C "$dir/src" checkout -q "$commit" &&
    limited 900 env "$@" bash -c 'cd "$1" && exec bash scripts/release.sh --output "$2"' _ \
      "$dir/src" "$dir/release" >"$dir/release.log" 2>&1
}
same_release() {  # same_release DIR DIR: fails for each file that is not the same in both
  local file
  [ "$(files_in "$1")" = "$(files_in "$2")" ] || fail "different files: $(files_in "$1") / $(files_in "$2")"
  for file in $(files_in "$1"); do
    [ -f "$2/$file" ] || continue
    cmp -s -- "$1/$file" "$2/$file" && continue
    fail "$file differs between $1 and $2"
    if [[ $file == *.zip ]]; then
      # Which member, or else the zip's own records (times, modes, order, extra fields).
      rm -rf "$work/zip-1" "$work/zip-2"
      unzip -q "$1/$file" -d "$work/zip-1" && unzip -q "$2/$file" -d "$work/zip-2"
      diff -r "$work/zip-1" "$work/zip-2" >&2 || [ $? -eq 1 ]
      diff <(unzip -Z -v "$1/$file") <(unzip -Z -v "$2/$file") >&2 || [ $? -eq 1 ]
    fi
  done
}

# A locale that sorts otherwise than C (these machines have only C and C.UTF-8), built from
# Debian's locale sources into a folder of its own.
mkdir "$work/locales"
localedef -i en_US -f UTF-8 "$work/locales/en_US.UTF-8" 2>/dev/null || [ -d "$work/locales/en_US.UTF-8" ] ||
  { echo "localedef could not build en_US.UTF-8" >&2; exit 1; }
other_locale=(LOCPATH="$work/locales" LC_ALL=en_US.UTF-8)
[ "$(printf 'B\na\n' | env "${other_locale[@]}" sort | head -n1)" = a ] &&
  [ "$(printf 'B\na\n' | LC_ALL=C sort | head -n1)" = B ] ||
  { echo "en_US.UTF-8 from $work/locales does not sort otherwise than C" >&2; exit 1; }

begin_case "two releases of one commit, from two clones, are the same bytes, and so is BUILD_DIR's"
SECONDS=0
mkdir "$work/one" "$work/two"
clone_release "$work/one" TZ=UTC || fail "first release: $(cat "$work/one/release.log")"
echo "one release build took ${SECONDS}s"
# A time zone ahead of UTC by 14 hours, given as a POSIX rule so that it needs no tzdata.
(umask 077 && clone_release "$work/two" TZ=XST-14 "${other_locale[@]}") ||
  fail "second release: $(cat "$work/two/release.log")"
same_release "$work/one/release" "$work/two/release"
release "$work/a" || fail "release of $build: $(cat "$work/release.log")"
same_release "$work/one/release" "$work/a"

begin_case "a release holds the zip, each shipped executable, the MSI, the scripts, hashes and sums"
expected_files=$(sorted SHA256SUMS AUTHENTICODE-SHA256 "$build_info" "$sbom" "$name.zip" "${executables[@]}" "$msi" \
  "${scripts[@]}")
[ "$(files_in "$work/a")" = "$expected_files" ] || fail "files: $(files_in "$work/a")"
(cd "$work/a" && sha256sum -c SHA256SUMS) || fail "sha256sum -c failed"
summed=$(awk '{ print $2 }' "$work/a/SHA256SUMS" | LC_ALL=C sort)
[ "$summed" = "$(grep -vx SHA256SUMS <<<"$expected_files")" ] || fail "SHA256SUMS covers: $summed"

begin_case "the zip holds the executables, the scripts, the guide, the licence and the notices"
[ "$(unzip -Z1 "$work/a/$name.zip" | LC_ALL=C sort)" = "$(sorted "${in_zip[@]/#/$name/}")" ] ||
  fail "zip holds: $(unzip -Z1 "$work/a/$name.zip")"
notices=$(unzip -p "$work/a/$name.zip" "$name/THIRD-PARTY-NOTICES.txt")
for executable in "${executables[@]}"; do
  unzip -p "$work/a/$name.zip" "$name/$executable" | cmp - "$work/a/$executable" ||
    fail "$executable in the zip is not the one beside it"
  grep -q "^$executable contains:" <<<"$notices" || fail "the notices do not cover $executable"
done
[ "$(unzip -p "$work/a/$name.zip" "$name/LICENSE" | head -n1)" = "MIT License" ] ||
  fail "LICENSE is not MIT's"
unzip -p "$work/a/$name.zip" "$name/ADMINISTRATOR-GUIDE.md" | cmp -s - docs/deployment.md ||
  fail "ADMINISTRATOR-GUIDE.md is not docs/deployment.md"

# The MSI and the deployment scripts (msi_test.sh installs such a package under Wine).
msi_holds_release() {  # msi_holds_release RELEASE_DIR: the MSI's files are the release's
  local extracted file
  extracted=$work/msi-$(basename "$1")
  mkdir "$extracted"
  msiextract -C "$extracted" "$1/$msi" >/dev/null || { fail "msiextract failed"; return; }
  extracted="$extracted/Staged Package Removal"
  [ "$(files_in "$extracted")" = "$(sorted "${in_msi[@]}")" ] || fail "the MSI holds: $(ls "$extracted")"
  for file in "${executables[@]}"; do
    cmp -s "$extracted/$file" "$1/$file" || fail "$file in the MSI is not the one beside it"
  done
  for file in LICENSE THIRD-PARTY-NOTICES.txt; do
    unzip -p "$1/$name.zip" "$name/$file" | cmp -s - "$extracted/$file" || fail "$file in the MSI is not the zip's"
  done
}
begin_case "the MSI holds the release's executables, licence and notices"
msi_holds_release "$work/a"
begin_case "the deployment scripts beside the zip are the zip's"
for script in "${scripts[@]}"; do
  unzip -p "$work/a/$name.zip" "$name/$script" | cmp -s - "$work/a/$script" || fail "$script differs"
done

# A time-stamp server of our own: the signed release below asks it, as it would ask a CA's,
# directly even where a proxy is set for the rest of the world.
export no_proxy=127.0.0.1 NO_PROXY=127.0.0.1
/usr/bin/python3 tests/release/timestamp_server.py "$ca" "$work/tsa-port" &
server_pid=$!
# Ready when it has written its port; gone if it failed. A generous bound, for a busy machine.
for _ in $(seq 1200); do
  [ -s "$work/tsa-port" ] || ! kill -0 "$server_pid" 2>/dev/null && break
  sleep 0.1
done
[ -s "$work/tsa-port" ] || { echo "the time-stamp server did not start" >&2; exit 1; }
timestamp_url=http://127.0.0.1:$(cat "$work/tsa-port")/

# verify_signed_release DIR [TSA]: each executable in release DIR verifies against the CA (and
# its time stamp too, if TSA), is the one in the zip, and without its signature is the unsigned
# release's.
verify_signed_release() {
  local dir=$1 executable unsigned
  (cd "$dir" && sha256sum -c SHA256SUMS) || fail "sha256sum -c failed"
  for executable in "${executables[@]}"; do
    osslsigncode verify -CAfile "$ca/ca.crt" -TSA-CAfile "$ca/ca.crt" -in "$dir/$executable" \
      >"$work/verify.out" 2>&1 || fail "$executable does not verify: $(cat "$work/verify.out")"
    [ -z "${2:-}" ] || grep -q "Timestamp Server Signature verification: ok" "$work/verify.out" ||
      fail "$executable has no verified time stamp: $(cat "$work/verify.out")"
    unzip -p "$dir/$name.zip" "$name/$executable" | cmp - "$dir/$executable" ||
      fail "$executable in the zip is not the signed one"
    # A fresh output each time: osslsigncode 2.5 will not write over a file.
    unsigned=$work/unsigned-$(basename "$dir")-$executable
    osslsigncode remove-signature -in "$dir/$executable" -out "$unsigned" >/dev/null ||
      fail "osslsigncode remove-signature failed on $executable"
    cmp "$unsigned" "$work/a/$executable" ||
      fail "$executable without its signature is not the unsigned release's"
  done
}

begin_case "a signed, time-stamped release verifies against its CA and unsigns to the unsigned one"
signing=(--pkcs12 "$ca/signer.p12" --password-file "$ca/password.txt")
release "$work/c" "${signing[@]}" --timestamp-url "$timestamp_url" ||
  fail "signed release: $(cat "$work/release.log")"
verify_signed_release "$work/c" with-timestamp

# A key made on a SoftHSM2 token, as a hardware key would be: it never exists as a file.
make_throwaway_token "$ca"
token=(--pkcs11-module "$token_module" --pkcs11-key "$token_key" --pkcs11-cert "$token_cert")
begin_case "a release signed with a key on a PKCS#11 token verifies and unsigns to the unsigned one"
release "$work/d" "${token[@]}" --pin-file "$token_pin" || fail "token release: $(cat "$work/release.log")"
verify_signed_release "$work/d"
grep -q "signed with a key on a PKCS#11 token" "$work/release.log" ||
  fail "the release does not say how it was signed: $(cat "$work/release.log")"

# Debian 12's own osslsigncode (2.5), unpacked beside the installed one: PKCS#11 signing has to
# work with what a Debian 12 machine has without backports too.
begin_case "osslsigncode 2.5 signs through the token, and names a wrong PIN"
mkdir "$work/osslsigncode-2.5"
# bookworm's own, not its backports', whatever its Debian revision.
(cd "$work/osslsigncode-2.5" && apt-get download -q osslsigncode/bookworm >/dev/null 2>&1 &&
  dpkg -x osslsigncode_*.deb .) || fail "cannot fetch bookworm's osslsigncode"
"$work/osslsigncode-2.5/usr/bin/osslsigncode" --version 2>&1 | grep -q "^osslsigncode 2\.5," ||
  fail "not osslsigncode 2.5: $("$work/osslsigncode-2.5/usr/bin/osslsigncode" --version 2>&1 | head -n1)"
# Counts its runs, to see that the signing script ran this one and not the installed one.
old_osslsigncode=$work/osslsigncode-2.5/run
printf '#!/bin/sh\necho >>"%s/runs"\nexec "%s/usr/bin/osslsigncode" "$@"\n' \
  "$work/osslsigncode-2.5" "$work/osslsigncode-2.5" >"$old_osslsigncode"
chmod +x "$old_osslsigncode"
mkdir "$work/signed-2.5"
cp "${executables[@]/#/$work/a/}" "$work/signed-2.5/"
(umask 077 && printf '%s\n' 00000000 >"$work/wrong-pin.txt")
if OSSLSIGNCODE=$old_osslsigncode bash packaging/sign-files.sh "${token[@]}" \
     --pin-file "$work/wrong-pin.txt" "$work/signed-2.5/${executables[0]}" 2>"$work/sign.err"; then
  fail "a wrong PIN signed"
fi
grep -qF "the PIN in $work/wrong-pin.txt does not open the token" "$work/sign.err" ||
  fail "no word of the PIN: $(cat "$work/sign.err")"
OSSLSIGNCODE=$old_osslsigncode bash packaging/sign-files.sh "${token[@]}" --pin-file "$token_pin" \
  "${executables[@]/#/$work/signed-2.5/}" 2>"$work/sign.err" || fail "$(cat "$work/sign.err")"
for executable in "${executables[@]}"; do
  osslsigncode verify -CAfile "$ca/ca.crt" -in "$work/signed-2.5/$executable" >"$work/verify.out" 2>&1 ||
    fail "$executable signed by 2.5 does not verify: $(cat "$work/verify.out")"
done
# Once for the wrong PIN; then, for each executable, once to sign it and once to verify it.
runs=$(wc -l <"$work/osslsigncode-2.5/runs" 2>/dev/null || echo 0)
[ "$runs" -eq $((1 + 2 * ${#executables[@]})) ] || fail "osslsigncode 2.5 ran $runs times"

# The signing script takes any file osslsigncode can sign: a PowerShell script needs 2.8 or later,
# which scripts/setup.sh installs, and 2.5 is named when it cannot.
begin_case "a PowerShell script is signed through the token; osslsigncode 2.5 says it cannot"
printf 'Write-Output "signed"\r\n' >"$work/script.ps1"
cp "$work/script.ps1" "$work/script-2.5.ps1"
bash packaging/sign-files.sh "${token[@]}" --pin-file "$token_pin" "$work/script.ps1" 2>"$work/sign.err" ||
  fail "$(cat "$work/sign.err")"
osslsigncode verify -CAfile "$ca/ca.crt" -in "$work/script.ps1" >"$work/verify.out" 2>&1 ||
  fail "the script does not verify: $(cat "$work/verify.out")"
! OSSLSIGNCODE=$old_osslsigncode bash packaging/sign-files.sh "${token[@]}" --pin-file "$token_pin" \
  "$work/script-2.5.ps1" 2>"$work/sign.err" || fail "osslsigncode 2.5 signed a script"
grep -qF "osslsigncode 2.5 cannot sign this type of file" "$work/sign.err" ||
  fail "2.5 not named: $(cat "$work/sign.err")"

# The Authenticode hash that osslsigncode puts in a signature, uppercase hex: of an unsigned file
# as it would sign it (extract-data, osslsigncode 2.8 and later), of a signed one as it checks it.
osslsigncode_digest() {  # osslsigncode_digest FILE
  if osslsigncode verify -in "$1" >"$work/verify.out" 2>&1 ||
     grep -q "^Calculated message digest" "$work/verify.out"; then
    sed -n 's/^Calculated message digest *: *\([0-9A-F]*\).*/\1/p' "$work/verify.out"
  else
    rm -f "$work/data.der"
    osslsigncode extract-data -h sha256 -in "$1" -out "$work/data.der" >/dev/null &&
      openssl asn1parse -inform DER -in "$work/data.der" |
      sed -n 's/.*prim: OCTET STRING *\[HEX DUMP\]:\([0-9A-F]\{64\}\)$/\1/p' | tail -n1
  fi
}

# Hash rules are written from AUTHENTICODE-SHA256 without the files in hand: it has to be the
# hash Windows computes, and the same whichever way the release was signed.
for dir in a c d; do
  begin_case "AUTHENTICODE-SHA256 of release $dir is osslsigncode's digest of each executable"
  [ "$(awk '{ print $2 }' "$work/$dir/AUTHENTICODE-SHA256")" = "$(printf '%s\n' "${executables[@]}")" ] ||
    fail "it names: $(awk '{ print $2 }' "$work/$dir/AUTHENTICODE-SHA256")"
  for executable in "${executables[@]}"; do
    listed=$(awk -v name="$executable" '$2 == name { print toupper($1) }' "$work/$dir/AUTHENTICODE-SHA256")
    computed=$(osslsigncode_digest "$work/$dir/$executable")
    [ ${#computed} -eq 64 ] && [ "$listed" = "$computed" ] ||
      fail "$executable: listed $listed, osslsigncode ${computed:-said $(cat "$work/verify.out")}"
  done
  cmp "$work/a/AUTHENTICODE-SHA256" "$work/$dir/AUTHENTICODE-SHA256" ||
    fail "not the unsigned release's"
done

# The SBOM, against CycloneDX's schema (its own library, installed by scripts/setup.sh), and
# against the rest of the release: the project, the files' sums, and the notices' components.
sbom_facts() {  # sbom_facts SBOM: one line per fact, its fields tab-separated
  /usr/bin/python3 - "$1" <<'PYTHON'
import json, sys
bom = json.load(open(sys.argv[1]))
project = bom["metadata"]["component"]
print("project", project["name"], project["version"], project["licenses"][0]["license"]["id"], sep="\t")
for file in bom["components"]:
    print("file", file["hashes"][0]["content"], file["name"], sep="\t")
    for piece in file.get("components", []):
        package = {p["name"]: p["value"] for p in piece["properties"]}["staged-package-removal:debian-package"]
        print("piece", file["name"], piece["name"], package, piece["version"],
              piece["licenses"][0]["expression"], sep="\t")
PYTHON
}
notices_facts() {  # notices_facts NOTICES: the pieces each executable holds, as sbom_facts says
  awk -v OFS='\t' '/^[^ ].* contains:$/ { exe = $1 }
       /^  [^ ].*: / && exe { piece = substr($0, 3, index($0, ": ") - 3) }
       /^    from Debian package / { sub(/:$/, "", $5); print "piece", exe, piece, $4, $5 }' "$1"
}
for dir in a c d; do
  begin_case "the SBOM of release $dir is valid CycloneDX and agrees with the release"
  NODE_PATH=$PWD/build/tools/cyclonedx/node_modules node tests/release/validate_sbom.js \
    "$work/$dir/$sbom" >"$work/validate.out" 2>&1 || fail "$(cat "$work/validate.out")"
  sbom_facts "$work/$dir/$sbom" >"$work/sbom.facts" || fail "unreadable SBOM"
  expected=$( (printf 'project\tstaged-package-removal\t%s\tMIT\n' "$version"
               sed -n "s/^\([0-9a-f]\{64\}\)  \(.*\)/file\t\1\t\2/p" "$work/$dir/SHA256SUMS" |
                 grep -v -e $'\tAUTHENTICODE-SHA256$' -e $'\t'"$build_info$" -e $'\t'"$sbom$") | sort)
  diff <(grep -v '^piece' "$work/sbom.facts" | sort) <(echo "$expected") >&2 ||
    fail "the project or the files differ from SHA256SUMS"
  unzip -p "$work/$dir/$name.zip" "$name/THIRD-PARTY-NOTICES.txt" >"$work/notices.txt"
  diff <(grep '^piece' "$work/sbom.facts" | cut -f1-5 | sort) \
       <(notices_facts "$work/notices.txt" | sort) >&2 || fail "its components are not the notices'"
  [ "$(grep -c '^piece' "$work/sbom.facts")" -ge 4 ] || fail "it lists too few components"
done
# Each bill names the files it describes: releases of one commit with other files (unsigned,
# signed two ways) have other serial numbers.
begin_case "the SBOMs of the unsigned and the two signed releases have three serial numbers"
serials=$(for dir in a c d; do /usr/bin/python3 -c 'import json, sys; print(json.load(open(sys.argv[1]))["serialNumber"])' \
  "$work/$dir/$sbom"; done)
[ "$(sort -u <<<"$serials" | grep -c '^urn:uuid:')" = 3 ] || fail "serial numbers: $serials"

for file in "$msi" "${scripts[@]}"; do
  begin_case "the unsigned release's $file is not signed"
  ! osslsigncode verify -CAfile "$ca/ca.crt" -in "$work/a/$file" >/dev/null 2>&1 || fail "it verifies"
done
# c with the PKCS#12 file and a time stamp, d through the token.
for dir in c d; do
  begin_case "signed release $dir signs its MSI and scripts, and its MSI holds the signed executables"
  for file in "$msi" "${scripts[@]}"; do
    osslsigncode verify -CAfile "$ca/ca.crt" -TSA-CAfile "$ca/ca.crt" -in "$work/$dir/$file" \
      >"$work/verify.out" 2>&1 || fail "$file does not verify: $(cat "$work/verify.out")"
  done
  for script in "${scripts[@]}"; do
    unzip -p "$work/$dir/$name.zip" "$name/$script" | cmp -s - "$work/$dir/$script" ||
      fail "$script in the zip is not the signed one"
  done
  msi_holds_release "$work/$dir"
done

# A release that cannot start (a mistyped argument, a key file that is not there), or whose
# signing fails after the build, stops with a message that says why, and leaves the earlier
# release in the output directory as it was, and no temporary file.
(umask 077 && printf 'not the password\n' >"$work/wrong-password.txt")
keeps_earlier() {  # keeps_earlier WHAT MESSAGE OPTION...
  local what=$1 message=$2
  shift 2
  begin_case "a release with $what fails and keeps the earlier one"
  rm -rf "$work/out"
  cp -R "$work/a" "$work/out"
  ! release "$work/out" "$@" || fail "it succeeded"
  grep -qF -- "$message" "$work/release.log" || fail "no '$message' in: $(cat "$work/release.log")"
  diff -r "$work/a" "$work/out" >&2 || fail "the earlier release was changed"
  [ ! -e "$work/out.partial" ] || fail "left out.partial"
  [ -z "$(ls -A "$TMPDIR")" ] || fail "left temporary files: $(ls -A "$TMPDIR")"
}
# Refused before anything is built.
keeps_earlier "a mistyped argument" "unknown argument --pkcs21" --pkcs21 "$ca/signer.p12"
keeps_earlier "a missing PKCS#12 file" "cannot read the PKCS#12 file $work/nothing.p12" \
  --pkcs12 "$work/nothing.p12" --password-file "$ca/password.txt"
keeps_earlier "a missing password file" "cannot read the password file $work/nothing.txt" \
  --pkcs12 "$ca/signer.p12" --password-file "$work/nothing.txt"
keeps_earlier "--pkcs12 without --password-file" "--pkcs12 and --password-file go together" \
  --pkcs12 "$ca/signer.p12"
keeps_earlier "a missing PKCS#11 module" "cannot read the PKCS#11 module $work/nothing.so" \
  --pkcs11-module "$work/nothing.so" --pkcs11-key "$token_key" --pkcs11-cert "$token_cert" --pin-file "$token_pin"
keeps_earlier "a key that is not a pkcs11: URI" "--pkcs11-key takes a pkcs11: URI" \
  --pkcs11-module "$token_module" --pkcs11-key "$ca/signer.p12" --pkcs11-cert "$token_cert" --pin-file "$token_pin"
keeps_earlier "--pkcs11-module without a PIN file" \
  "--pkcs11-module, --pkcs11-key, --pkcs11-cert and --pin-file go together" \
  --pkcs11-module "$token_module" --pkcs11-key "$token_key" --pkcs11-cert "$token_cert"
keeps_earlier "two keys" "give one key" \
  --pkcs12 "$ca/signer.p12" --password-file "$ca/password.txt" --pkcs11-module "$token_module"
# A build whose PE time stamps are another date than the commit's (configured at another commit).
mkdir "$work/stale-build"
cp "$build/project-version.txt" "$work/stale-build/"
echo 1 >"$work/stale-build/source-date-epoch.txt"
keeps_earlier "a build configured at another commit" "was configured for another source date" \
  --windows-build "$work/stale-build"
# Secrets: a PIN in the key's URI, a password file that others may read.
keeps_earlier "a PIN in the key's URI (pin-value, first)" "URI carries a PIN" \
  --pkcs11-module "$token_module" --pkcs11-key "pkcs11:pin-value=$(cat "$token_pin");${token_key#pkcs11:}" \
  --pkcs11-cert "$token_cert" --pin-file "$token_pin"
keeps_earlier "a PIN source in the key's URI (pin-source)" "URI carries a PIN" \
  --pkcs11-module "$token_module" --pkcs11-key "$token_key?pin-source=file:$token_pin" \
  --pkcs11-cert "$token_cert" --pin-file "$token_pin"
cp "$ca/password.txt" "$work/open-password.txt"
chmod 644 "$work/open-password.txt"
keeps_earlier "a password file that others may read" "may be read or written by others (mode 644)" \
  --pkcs12 "$ca/signer.p12" --password-file "$work/open-password.txt"
# A folder that holds more than a release is not one to replace: --output may be mistyped.
begin_case "an output folder that holds more than a release is refused and kept"
mkdir "$work/downloads"
cp "$work/a/SHA256SUMS" "$work/downloads/"
printf 'not ours\n' >"$work/downloads/other.txt"
! release "$work/downloads" || fail "it succeeded"
grep -qF "will not replace $work/downloads: it is not an earlier release" "$work/release.log" ||
  fail "$(cat "$work/release.log")"
[ "$(ls "$work/downloads")" = "$(printf 'SHA256SUMS\nother.txt')" ] || fail "left: $(ls "$work/downloads")"
# The trust anchor: the root alone.
cat "$ca/intermediate.crt" "$ca/ca.crt" >"$work/two-certificates.pem"
keeps_earlier "a trust anchor that holds an intermediate too" "must hold one self-signed root certificate" \
  "${signing[@]}" --trust-anchor "$work/two-certificates.pem"
# The root first, where a check of the first certificate alone would find a self-signed one.
cat "$ca/ca.crt" "$ca/intermediate.crt" >"$work/root-first.pem"
keeps_earlier "a trust anchor that holds the root and then an intermediate" "must hold one self-signed root certificate" \
  "${signing[@]}" --trust-anchor "$work/root-first.pem"
# Signatures that Windows would reject, found before anything is written.
keeps_earlier "a certificate whose extended key usage is serverAuth only" \
  "the signature of ${executables[0]} does not verify: the signing certificate is not for code signing" \
  --pkcs12 "$ca/server.p12" --password-file "$ca/password.txt"
keeps_earlier "a signature whose chain lacks the intermediate" \
  "the signature of ${executables[0]} does not verify: its certificate chain does not reach the trust anchor" \
  --pkcs12 "$ca/no-intermediate.p12" --password-file "$ca/password.txt"
keeps_earlier "a certificate that has expired, and no time stamp" \
  "the signature of ${executables[0]} does not verify: a certificate of the chain is outside its validity period" \
  --pkcs12 "$ca/expired.p12" --password-file "$ca/password.txt"
keeps_earlier "a signature checked against another root" \
  "the signature of ${executables[0]} does not verify" \
  "${signing[@]}" --trust-anchor "$ca/other-ca.crt"
keeps_earlier "a time stamp checked against a root that did not issue it" \
  "the time stamp of ${executables[0]} does not verify" \
  "${signing[@]}" --timestamp-url "$timestamp_url" --timestamp-trust-anchor "$ca/other-ca.crt"
# A failure on the last file the release signs, its MSI: the files signed before it were signed
# into files of their own, which go with the rest.
failing_on_msi=$work/osslsigncode-failing-on-msi
printf '#!/bin/sh\n[ "$1" = sign ] && case "$*" in *.msi*) echo "injected failure" >&2; exit 1 ;; esac\nexec "%s" "$@"\n' \
  "$recorder" >"$failing_on_msi"
chmod +x "$failing_on_msi"
OSSLSIGNCODE=$failing_on_msi keeps_earlier "signing that fails on its last file, the MSI" \
  "signing the MSI failed" "${signing[@]}"

# Failing while signing, after the build.
! (exec 3<>/dev/tcp/127.0.0.1/9) 2>/dev/null || { echo "something listens on port 9" >&2; exit 1; }
keeps_earlier "a wrong password" "the password in $work/wrong-password.txt does not open the PKCS#12 file" \
  --pkcs12 "$ca/signer.p12" --password-file "$work/wrong-password.txt"
keeps_earlier "an unreachable time-stamp server" \
  "signing ${executables[0]} failed: no time stamp from http://127.0.0.1:9/" \
  --pkcs12 "$ca/signer.p12" --password-file "$ca/password.txt" --timestamp-url http://127.0.0.1:9/
keeps_earlier "a wrong PIN" \
  "signing ${executables[0]} failed: the PIN in $work/wrong-pin.txt does not open the token" \
  "${token[@]}" --pin-file "$work/wrong-pin.txt"
keeps_earlier "a URI that names no key" \
  "signing ${executables[0]} failed: no private key on the token at ${token_key/code-signer/nobody}" \
  --pkcs11-module "$token_module" --pkcs11-key "${token_key/code-signer/nobody}" \
  --pkcs11-cert "$token_cert" --pin-file "$token_pin"
keeps_earlier "a file that is no PKCS#11 module" \
  "signing ${executables[0]} failed: cannot load $ca/ca.crt as a PKCS#11 module" \
  --pkcs11-module "$ca/ca.crt" --pkcs11-key "$token_key" --pkcs11-cert "$token_cert" --pin-file "$token_pin"

# A time stamp asked for that the signature lacks (a signer that drops -ts): refused as the
# signature is read back, before anything is written.
dropping_timestamp=$work/osslsigncode-without-timestamp
printf '#!/usr/bin/env bash\nargs=()\nwhile (($#)); do [ "$1" = -ts ] && { shift 2; continue; }; args+=("$1"); shift; done\nexec "%s" "${args[@]}"\n' \
  "$recorder" >"$dropping_timestamp"
chmod +x "$dropping_timestamp"
OSSLSIGNCODE=$dropping_timestamp keeps_earlier "a signature without the time stamp asked for" \
  "signing ${executables[0]} did not give the file plus one signature as verify-release.sh reads it: the signature: no time stamp, which was asked for" \
  "${signing[@]}" --timestamp-url "$timestamp_url"

# A run stopped between moving the earlier release aside and moving the new one in: the next run
# puts it back before anything else, even one that then fails.
begin_case "a release that a stopped run left aside is put back first"
rm -rf "$work/out" "$work/out.earlier"
cp -R "$work/a" "$work/out.earlier"
! release "$work/out" --pkcs21 || fail "it succeeded"
grep -qF "put back the earlier release that a stopped run left in $work/out.earlier" "$work/release.log" ||
  fail "$(cat "$work/release.log")"
diff -r "$work/a" "$work/out" >&2 || fail "the earlier release is not back"
[ ! -e "$work/out.earlier" ] || fail "it is still aside"

# sign-files.sh itself: a failure on the last of several files, in signing it or in verifying
# its signature, leaves every one of them as it was, and nothing beside them.
mkdir "$work/three"
cp "$work/a/${executables[0]}" "$work/three/first.exe"
cp "$work/a/${executables[1]}" "$work/three/second.exe"
cp "$work/a/$msi" "$work/three/last.msi"
cp -R "$work/three" "$work/three-before"
verify_fails_on_msi=$work/osslsigncode-verify-fails-on-msi
printf '#!/bin/sh\n[ "$1" = verify ] && case "$*" in *.msi*) echo "injected failure" >&2; exit 1 ;; esac\nexec osslsigncode "$@"\n' \
  >"$verify_fails_on_msi"
chmod +x "$verify_fails_on_msi"
last_file_fails() {  # last_file_fails WHAT OSSLSIGNCODE MESSAGE
  begin_case "$1 on the last of several files changes none of them"
  ! OSSLSIGNCODE=$2 bash packaging/sign-files.sh "${signing[@]}" \
    "$work/three/first.exe" "$work/three/second.exe" "$work/three/last.msi" 2>"$work/sign.err" ||
    fail "signing succeeded"
  grep -qF "$3" "$work/sign.err" || fail "no '$3' in: $(cat "$work/sign.err")"
  diff -r "$work/three-before" "$work/three" >&2 || fail "the files, or what is beside them, changed"
}
last_file_fails "signing that fails" "$failing_on_msi" "signing last.msi failed"
last_file_fails "a signature that does not verify" "$verify_fails_on_msi" "the signature of last.msi does not verify"

begin_case "no password or PIN reaches osslsigncode's arguments or any message"
[ -s "$work/osslsigncode-arguments" ] || fail "no osslsigncode run was recorded"
for secret in "$(head -n1 "$ca/password.txt")" "$(head -n1 "$token_pin")"; do
  ! grep -qF -- "$secret" "$work/osslsigncode-arguments" || fail "a secret is in osslsigncode's arguments"
  ! grep -qF -- "$secret" "$work/all-messages" || fail "a secret is in a message"
done

# The tools that shaped the bytes, as dpkg has them on this machine, named in the build
# information and in the SBOM.
begin_case "the build information names the commit and each tool's Debian version, and the SBOM the same tools"
info=$work/c/$build_info
grep -qx "Commit: $commit" "$info" || fail "no commit: $(cat "$info")"
for tool in x86_64-w64-mingw32-g++-posix x86_64-w64-mingw32-ld wixl cmake ninja zip osslsigncode; do
  file=$(realpath "$(command -v "$tool")")
  package=$(dpkg-query -S "$file" | head -n1 | cut -d: -f1)
  grep -qx " $package $(dpkg-query -W -f='${Version}' "$package") $file" "$info" ||
    fail "$tool ($file, $package) is not named with its version"
done
for package in libmsi0 libgcab-1.0-0 gir1.2-libmsi-1.0 python3-gi python3-pefile mingw-w64-x86-64-dev; do
  grep -q "^ $package $(dpkg-query -W -f='${Version}' "$package")\b" "$info" || fail "no $package"
done
grep -q " osslsigncode " "$work/a/$build_info" &&
  fail "the unsigned release names osslsigncode, which wrote none of its bytes"
tools=$(/usr/bin/python3 -c 'import json, sys
for tool in json.load(open(sys.argv[1]))["metadata"]["tools"]["components"]:
    print(tool["name"], tool["version"])' "$work/c/$sbom" | sort)
[ "$tools" = "$(sed -n '/^Tools:$/,/^[^ ]/{/^ /p}' "$info" | awk '{ print $1, $2 }' | sort -u)" ] ||
  fail "the SBOM's tools: $tools"

# verify-release.sh: the releases above, and crafted downloads of them, against what HEAD builds.
# shellcheck source=tests/release/verify_release_cases.sh
source tests/release/verify_release_cases.sh

end_suite release
