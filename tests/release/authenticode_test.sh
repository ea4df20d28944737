#!/usr/bin/env bash
# The built product signed as a release signs it (packaging/sign-files.sh) with a throw-away
# CA and code-signing certificate (tests/release/throwaway_ca.sh), then checked three ways:
# - osslsigncode verify accepts it against that CA only, and rejects a copy with one byte changed;
# - removing the signature gives back exactly the unsigned bytes, so the reproducibility check of
#   the unsigned build vouches for a signed release too;
# - under Wine, WinVerifyTrust (authenticode-probe.exe) tells unsigned from signed from tampered,
#   and the signed product (with the signed check) still removes what it should (the end-to-end
#   suite's staged machines).
#
# usage: authenticode_test.sh SIGN_SCRIPT BUILD_DIR EXECUTABLE...
#   (run by ctest, in the test preset's prefix, with every shipped executable; the first is the
#   one tampered with)
set -euo pipefail
sign=$1
build=$2
shift 2
executables=("$@")
source "$(dirname "$0")/../harness/harness.sh"
source "$(dirname "$0")/throwaway_ca.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# What WinVerifyTrust answers (winerror.h).
TRUST_E_NOSIGNATURE=0x800B0100
TRUST_E_BAD_DIGEST=0x80096010

product=${executables[0]}
make_throwaway_ca "$work"
mkdir "$work/unsigned" "$work/signed"
cp "$build/$product" "$work/unsigned/"
cp "${executables[@]/#/$build/}" "$work/signed/"
bash "$sign" --pkcs12 "$work/signer.p12" --password-file "$work/password.txt" \
  "${executables[@]/#/$work/signed/}"
unsigned=$work/unsigned/$product
signed=$work/signed/$product

verifies() {  # verifies FILE CA: osslsigncode's verdict, its report in $work/verify.out
  osslsigncode verify -CAfile "$2" -in "$1" >"$work/verify.out" 2>&1
}

win_trust() {  # win_trust FILE: WinVerifyTrust's answer for FILE
  wine "$build/authenticode-probe.exe" "$(winepath -w "$1")" | tr -d '\r'
}

section_offset() {  # section_offset FILE SECTION: where the section's bytes start in the file
  echo $((0x$(x86_64-w64-mingw32-objdump -h "$1" | awk -v name="$2" '$2 == name { print $6 }')))
}

begin_case "the signed product verifies against its CA, with SHA-256"
verifies "$signed" "$work/ca.crt" || fail "osslsigncode verify: $(cat "$work/verify.out")"
grep -Eq "digest algorithm *: SHA256" "$work/verify.out" || fail "not SHA-256: $(cat "$work/verify.out")"

begin_case "a CA that did not issue the certificate does not vouch for it"
! verifies "$signed" "$work/other-ca.crt" || fail "accepted against other-ca.crt"

begin_case "removing the signature gives back the unsigned bytes"
osslsigncode remove-signature -in "$signed" -out "$work/removed.exe" >/dev/null
cmp "$unsigned" "$work/removed.exe" || fail "the bytes differ"

begin_case "the unsigned product is not signed"
! verifies "$unsigned" "$work/ca.crt" || fail "osslsigncode accepted it"
answer=$(win_trust "$unsigned")
[ "$answer" = "$TRUST_E_NOSIGNATURE" ] || fail "WinVerifyTrust: $answer, expected TRUST_E_NOSIGNATURE"

# One byte changed after signing, anywhere the signature covers: the code, the resources (the
# version an inventory reads), the PE header's time stamp.
pe_header=$(od -An -t u4 -j 60 -N 4 "$unsigned" | tr -d ' ')
rejects_tampered() {  # rejects_tampered WHAT OFFSET
  local what=$1 offset=$2 copy answer
  begin_case "a signed copy with $what changed is rejected"
  copy=$work/tampered-$offset.exe
  cp "$signed" "$copy"
  flip_byte "$copy" "$offset"
  ! cmp -s "$signed" "$copy" || fail "the copy was not changed"
  ! verifies "$copy" "$work/ca.crt" || fail "osslsigncode accepted it"
  answer=$(win_trust "$copy")
  [ "$answer" = "$TRUST_E_BAD_DIGEST" ] || fail "WinVerifyTrust: $answer, expected TRUST_E_BAD_DIGEST"
}
rejects_tampered "a byte of code" $(($(section_offset "$signed" .text) + 16))
rejects_tampered "a byte of the resources" $(($(section_offset "$signed" .rsrc) + 64))
rejects_tampered "a byte of the PE time stamp" $((pe_header + 8))

# A release signs all its executables or none: here the second one cannot be signed (it is no PE
# image), and the first, already signed into its temporary file, must be left as it was.
begin_case "when one executable cannot be signed, none is changed"
mkdir "$work/two"
cp "$unsigned" "$work/two/first.exe"
printf 'not a program\n' >"$work/two/second.exe"
if bash "$sign" --pkcs12 "$work/signer.p12" --password-file "$work/password.txt" \
    "$work/two/first.exe" "$work/two/second.exe" 2>"$work/two.err"; then
  fail "signing succeeded"
fi
grep -q "signing second.exe failed" "$work/two.err" || fail "no clear message: $(cat "$work/two.err")"
cmp "$unsigned" "$work/two/first.exe" || fail "first.exe was changed"
[ "$(ls "$work/two")" = "$(printf 'first.exe\nsecond.exe')" ] || fail "left: $(ls "$work/two")"

# Wine 8's WinVerifyTrust checks that a signature is there, that the image's digest matches the
# signed one, and that the signer's signature is sound; it builds the certificate chain, but its
# Authenticode policy step (dlls/wintrust/softpub.c, SoftpubAuthenticode) first asks for the
# signer certificate's signature hash in a 20-byte buffer, which fails for a certificate signed
# with SHA-256, and then ends without an error: the chain is never held to a trusted root, and the
# answer is S_OK. Windows would answer CERT_E_UNTRUSTEDROOT for this throw-away CA. So only what
# Wine checks is asserted here.
begin_case "the signed product passes Wine's signature and digest checks"
answer=$(win_trust "$signed")
echo "WinVerifyTrust on the signed product under Wine: $answer"
[ "$answer" != "$TRUST_E_NOSIGNATURE" ] && [ "$answer" != "$TRUST_E_BAD_DIGEST" ] ||
  fail "WinVerifyTrust: $answer"

begin_case "the signed product removes what the unsigned one removes"
mkdir "$work/end-to-end"
cp "$build/end_to_end_test.exe" "${executables[@]/#/$work/signed/}" "$work/end-to-end/"
# The suite runs the executables beside itself: here, the signed ones.
for exe in "${executables[@]}"; do
  verifies "$work/end-to-end/$exe" "$work/ca.crt" || fail "the $exe beside the suite is not signed"
done
if ! wine "$work/end-to-end/end_to_end_test.exe" \
    --gtest_filter=EndToEndTest.StagedMachinesAreCheckedCleanedAndCheckedAgain >"$work/e2e.out" 2>&1 ||
    ! grep -q "\[  PASSED  \] 1 test" "$work/e2e.out"; then
  fail "end-to-end suite: $(tr -d '\r' <"$work/e2e.out")"
fi

end_suite authenticode
