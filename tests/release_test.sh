#!/usr/bin/env bash
# scripts/release.sh end to end, on the committed HEAD:
# - two releases, in two temporary directories, at two times, under different time zones and
#   umasks, are byte-for-byte the same (any differing file is named);
# - a release holds what it should, and sha256sum -c passes in it;
# - a signed release (throw-away CA, tests/throwaway_ca.sh; time-stamped by a local RFC 3161
#   server, tests/timestamp_server.py) verifies against that CA, and removing its signatures gives
#   back the unsigned release's executables;
# - a release whose arguments are wrong is refused before it touches the earlier release; one
#   whose signing fails stops with a clear message and leaves no package behind, nor any
#   temporary file.
# scripts/test.sh runs it after the Windows suites.
set -euo pipefail
cd "$(dirname "$0")/.."
source tests/throwaway_ca.sh

work=$(mktemp -d)
server_pid=""
cleanup() {
  [ -z "$server_pid" ] || kill "$server_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
mkdir "$work/ca" "$work/tmp"
# Every temporary file of the releases goes here, to see that none is left behind.
export TMPDIR=$work/tmp
make_throwaway_ca "$work/ca"
ca=$work/ca

mapfile -t targets < <(git show HEAD:packaging/shipped-executables.txt | sed -e '/^#/d' -e '/^[[:space:]]*$/d')
executables=("${targets[@]/%/.exe}")
version=$(git show HEAD:CMakeLists.txt | sed -n 's/^project([^ ]* VERSION \([0-9.]*\).*/\1/p')
name=staged-package-removal-$version-win64
msi=staged-package-removal-$version-x64.msi
mapfile -t scripts < <(git ls-tree --name-only HEAD packaging/deploy/ | sed 's|^packaging/||')
files_in() {  # files_in DIR: every file under DIR, by its path from there
  (cd "$1" && find . -type f -printf '%P\n' | LC_ALL=C sort)
}

failures=0
fail() {
  echo "FAIL [$case_name]: $*" >&2
  failures=$((failures + 1))
}

release() {  # release OUTPUT [OPTIONS...]: scripts/release.sh, its output in $work/release.log
  local output=$1
  shift
  bash scripts/release.sh --output "$output" "$@" >"$work/release.log" 2>&1
}

case_name="two releases of one commit are the same bytes"
SECONDS=0
TZ=UTC release "$work/a" || fail "first release: $(cat "$work/release.log")"
first_took=$SECONDS
# A time zone ahead of UTC by 14 hours, given as a POSIX rule so that it needs no tzdata.
(umask 077 && TZ=XST-14 release "$work/b") || fail "second release: $(cat "$work/release.log")"
echo "one release build took ${first_took}s"
[ "$(ls "$work/a")" = "$(ls "$work/b")" ] || fail "different files: $(ls "$work/a") / $(ls "$work/b")"
for file in $(files_in "$work/a"); do
  [ -f "$work/b/$file" ] || continue
  cmp -- "$work/a/$file" "$work/b/$file" && continue
  fail "$file differs between the two builds"
  if [[ $file == *.zip ]]; then
    # Which member, or else the zip's own records (times, modes, order, extra fields).
    mkdir "$work/a-zip" "$work/b-zip"
    unzip -q "$work/a/$file" -d "$work/a-zip" && unzip -q "$work/b/$file" -d "$work/b-zip"
    diff -r "$work/a-zip" "$work/b-zip" >&2 || [ $? -eq 1 ]
    diff <(unzip -Z -v "$work/a/$file") <(unzip -Z -v "$work/b/$file") >&2 || [ $? -eq 1 ]
  fi
done

case_name="a release holds the zip, each shipped executable and their sums"
expected_files=$(printf '%s\n' SHA256SUMS "$name.zip" "${executables[@]}" "$msi" "${scripts[@]}" |
  LC_ALL=C sort)
[ "$(files_in "$work/a")" = "$expected_files" ] || fail "files: $(files_in "$work/a")"
(cd "$work/a" && sha256sum -c SHA256SUMS) || fail "sha256sum -c failed"
summed=$(awk '{ print $2 }' "$work/a/SHA256SUMS" | LC_ALL=C sort)
[ "$summed" = "$(grep -vx SHA256SUMS <<<"$expected_files")" ] || fail "SHA256SUMS covers: $summed"

case_name="the zip holds the executables, the guide, the licence and the notices"
in_zip=$(printf "$name/%s\n" "${executables[@]}" ADMINISTRATOR-GUIDE.md LICENSE THIRD-PARTY-NOTICES.txt \
  "${scripts[@]}" | sort)
[ "$(unzip -Z1 "$work/a/$name.zip" | sort)" = "$in_zip" ] ||
  fail "zip holds: $(unzip -Z1 "$work/a/$name.zip")"
notices=$(unzip -p "$work/a/$name.zip" "$name/THIRD-PARTY-NOTICES.txt")
for executable in "${executables[@]}"; do
  unzip -p "$work/a/$name.zip" "$name/$executable" | cmp - "$work/a/$executable" ||
    fail "$executable in the zip is not the one beside it"
  grep -q "^$executable contains:" <<<"$notices" || fail "the notices do not cover $executable"
done
[ "$(unzip -p "$work/a/$name.zip" "$name/LICENSE" | head -n1)" = "MIT License" ] ||
  fail "LICENSE is not MIT's"

# The MSI and the deployment scripts (tests/msi_test.sh installs such a package under Wine).
msi_holds_release() {  # msi_holds_release RELEASE_DIR: the MSI's files are the release's
  local extracted file
  extracted=$work/msi-$(basename "$1")
  mkdir "$extracted"
  msiextract -C "$extracted" "$1/$msi" >/dev/null || { fail "msiextract failed"; return; }
  extracted="$extracted/Staged Package Removal"
  [ "$(ls "$extracted")" = "$(printf '%s\n' "${executables[@]}" LICENSE THIRD-PARTY-NOTICES.txt | sort)" ] ||
    fail "the MSI holds: $(ls "$extracted")"
  for file in "${executables[@]}"; do
    cmp -s "$extracted/$file" "$1/$file" || fail "$file in the MSI is not the one beside it"
  done
  for file in LICENSE THIRD-PARTY-NOTICES.txt; do
    unzip -p "$1/$name.zip" "$name/$file" | cmp -s - "$extracted/$file" || fail "$file in the MSI is not the zip's"
  done
}
case_name="the MSI holds the release's executables, licence and notices"
msi_holds_release "$work/a"
case_name="the deployment scripts beside the zip are the zip's"
for script in "${scripts[@]}"; do
  unzip -p "$work/a/$name.zip" "$name/$script" | cmp -s - "$work/a/$script" || fail "$script differs"
done

# A time-stamp server of our own: the signed release below asks it, as it would ask a CA's,
# directly even where a proxy is set for the rest of the world.
export no_proxy=127.0.0.1 NO_PROXY=127.0.0.1
python3 tests/timestamp_server.py "$ca" "$work/tsa-port" &
server_pid=$!
for _ in $(seq 100); do [ -s "$work/tsa-port" ] && break; sleep 0.1; done
[ -s "$work/tsa-port" ] || { echo "the time-stamp server did not start" >&2; exit 1; }
timestamp_url=http://127.0.0.1:$(cat "$work/tsa-port")/

case_name="a signed, time-stamped release verifies against its CA and unsigns to the unsigned one"
signing=(--pkcs12 "$ca/signer.p12" --password-file "$ca/password.txt")
release "$work/c" "${signing[@]}" --timestamp-url "$timestamp_url" ||
  fail "signed release: $(cat "$work/release.log")"
(cd "$work/c" && sha256sum -c SHA256SUMS) || fail "sha256sum -c failed"
for executable in "${executables[@]}"; do
  osslsigncode verify -CAfile "$ca/ca.crt" -TSA-CAfile "$ca/ca.crt" -in "$work/c/$executable" \
    >"$work/verify.out" 2>&1 || fail "$executable does not verify: $(cat "$work/verify.out")"
  grep -q "Timestamp Server Signature verification: ok" "$work/verify.out" ||
    fail "$executable has no verified time stamp: $(cat "$work/verify.out")"
  unzip -p "$work/c/$name.zip" "$name/$executable" | cmp - "$work/c/$executable" ||
    fail "$executable in the zip is not the signed one"
  # A fresh output each time: osslsigncode 2.5 will not write over a file.
  unsigned=$work/unsigned-$executable
  osslsigncode remove-signature -in "$work/c/$executable" -out "$unsigned" >/dev/null ||
    fail "osslsigncode remove-signature failed on $executable"
  cmp "$unsigned" "$work/a/$executable" ||
    fail "$executable without its signature is not the unsigned release's"
done

case_name="a signed release signs its MSI and scripts, and its MSI holds the signed executables"
for file in "$msi" "${scripts[@]}"; do
  osslsigncode verify -CAfile "$ca/ca.crt" -TSA-CAfile "$ca/ca.crt" -in "$work/c/$file" \
    >"$work/verify.out" 2>&1 || fail "$file does not verify: $(cat "$work/verify.out")"
  ! osslsigncode verify -CAfile "$ca/ca.crt" -in "$work/a/$file" >/dev/null 2>&1 ||
    fail "the unsigned release's $file verifies"
done
for script in "${scripts[@]}"; do
  unzip -p "$work/c/$name.zip" "$name/$script" | cmp -s - "$work/c/$script" ||
    fail "$script in the zip is not the signed one"
done
msi_holds_release "$work/c"

# A release that cannot start: a mistyped argument or a key file that is not there is refused
# before anything is touched, so the earlier release in the output directory stays as it was.
printf 'not the password\n' >"$work/wrong-password.txt"
refused=(
  "a mistyped argument|unknown argument --pkcs21|--pkcs21 $ca/signer.p12"
  "a missing PKCS#12 file|cannot read the PKCS#12 file $work/nothing.p12|--pkcs12 $work/nothing.p12 --password-file $ca/password.txt"
  "a missing password file|cannot read the password file $work/nothing.txt|--pkcs12 $ca/signer.p12 --password-file $work/nothing.txt"
  "--pkcs12 without --password-file|--pkcs12 and --password-file go together|--pkcs12 $ca/signer.p12"
)
for entry in "${refused[@]}"; do
  IFS='|' read -r what message options <<<"$entry"
  case_name="a release with $what is refused and keeps the earlier one"
  rm -rf "$work/out"
  cp -R "$work/a" "$work/out"
  read -ra options <<<"$options"
  if release "$work/out" "${options[@]}"; then
    fail "it succeeded"
  fi
  grep -qF -- "$message" "$work/release.log" || fail "no '$message' in: $(cat "$work/release.log")"
  diff -r "$work/a" "$work/out" >&2 || fail "the earlier release was changed"
  [ -z "$(ls -A "$TMPDIR")" ] || fail "left temporary files: $(ls -A "$TMPDIR")"
done

# Signing that fails after the build: the earlier release is gone (it must not be taken for this
# one), and nothing is left in its place.
! (exec 3<>/dev/tcp/127.0.0.1/9) 2>/dev/null || { echo "something listens on port 9" >&2; exit 1; }
failing=(
  "a wrong password|signing ${executables[0]} failed: the password does not open|--pkcs12 $ca/signer.p12 --password-file $work/wrong-password.txt"
  "an unreachable time-stamp server|signing ${executables[0]} failed: no time stamp from http://127.0.0.1:9/|--pkcs12 $ca/signer.p12 --password-file $ca/password.txt --timestamp-url http://127.0.0.1:9/"
)
for entry in "${failing[@]}"; do
  IFS='|' read -r what message options <<<"$entry"
  case_name="a release with $what stops"
  rm -rf "$work/out"
  cp -R "$work/a" "$work/out"
  read -ra options <<<"$options"
  if release "$work/out" "${options[@]}"; then
    fail "it succeeded"
  fi
  grep -qF -- "$message" "$work/release.log" || fail "no '$message' in: $(cat "$work/release.log")"
  [ ! -e "$work/out" ] || fail "left $(ls "$work/out") in the output directory"
  [ ! -e "$work/out.partial" ] || fail "left out.partial"
  [ -z "$(ls -A "$TMPDIR")" ] || fail "left temporary files: $(ls -A "$TMPDIR")"
done

echo "release: $failures failure(s)"
((failures == 0))
