# shellcheck shell=bash
# Sourced by release_test.sh, after its releases of HEAD: scripts/verify-release.sh against them
# and against crafted downloads of them, each a fault a forger would try:
# - the signed, time-stamped release of HEAD is the same as the full rebuild of its commit (the one
#   case that builds the commit; the others package BUILD_DIR, verify-release.sh --windows-build),
#   and its signatures verify; the unsigned one is the same, and not a signed release;
# - a changed byte of code differs, a changed byte of a signature does not verify, whatever tool a
#   made-up line of the build information names (exit 1, not 2);
# - a removal built from a changed source differs; the rest is named with its signer;
# - --windows-build with a build configured for another source date is refused, and so is a
#   rebuild in which osslsigncode aborts attaching the MSI's signature or leaves it off;
# - a commit that only FETCH_HEAD, or no ref, reaches is refused, and its release.sh never runs;
# - a line after a script's signature block, and bytes after the MSI, with the zip, the SBOM and
#   SHA256SUMS made to agree, differ, naming each file; sign-files.sh --verify refuses such a script
#   too;
# - bytes after a PE image's certificate table differ; a signature whose digest is 4,000 bytes is
#   refused, and osslsigncode is never given it;
# - an unlisted symbolic link, FIFO, hidden file and empty folder, a file whose sum is not the one
#   listed, and a file whose name carries a carriage return and escape sequences, are each named,
#   nothing is rebuilt, and no control byte reaches the output;
# - an SBOM with another licence differs; a rebuild where one tool has another Debian version, and
#   every program, script and the MSI is the same, exits 0, naming the tool.

verify_release() {  # verify_release EXPECTED_STATUS [OPTIONS...] RELEASE: its output in $work/verify.out
  local expected=$1 status=0
  shift
  limited 900 bash scripts/verify-release.sh "$@" >"$work/verify.out" 2>&1 || status=$?
  [ "$status" = "$expected" ] || fail "verify-release exited $status, expected $expected: $(cat "$work/verify.out")"
}
said() {  # said LINE...: each LINE is a whole line of verify-release's output
  local line
  for line in "$@"; do
    grep -qxF -- "$line" "$work/verify.out" || fail "no line '$line' in: $(cat "$work/verify.out")"
  done
}
packaged=(--windows-build "$build")
sum_again() {  # sum_again RELEASE FILE...: SHA256SUMS holds each FILE's sum as it is now
  local file sum
  for file in "${@:2}"; do
    sum=$(sha256sum <"$1/$file" | cut -c1-64)
    awk -v name="$file" -v sum="$sum" 'substr($0, 67) == name { $0 = sum "  " name } 1' "$1/SHA256SUMS" \
      >"$work/sums" && mv "$work/sums" "$1/SHA256SUMS"
  done
}
# agree RELEASE: the zip, the SBOM and SHA256SUMS made to hold the files beside them as they are
# now, as release.sh would have made them of those files.
agree() {
  local dir=$1 file epoch
  epoch=$(sed -n 's/^Source-Date-Epoch: //p' "$dir/$build_info")
  rm -rf "$work/agree"
  mkdir "$work/agree"
  unzip -q "$dir/$name.zip" -d "$work/agree"
  for file in "${executables[@]}" "${scripts[@]}"; do cp "$dir/$file" "$work/agree/$name/$file"; done
  find "$work/agree" -type f -exec chmod 0644 {} +
  find "$work/agree" -exec touch -h -d "@$epoch" {} +
  rm "$dir/$name.zip"
  (cd "$work/agree" && find "$name" -type f | LC_ALL=C sort | TZ=UTC zip -X -D -9 -q -@ "$dir/$name.zip")
  /usr/bin/python3 - "$dir" "$sbom" <<'PYTHON'
import hashlib, json, os, sys, uuid
directory, sbom = sys.argv[1:]
bom = json.load(open(os.path.join(directory, sbom)))
for file in bom["components"]:
    file["hashes"][0]["content"] = hashlib.sha256(open(os.path.join(directory, file["name"]), "rb").read()).hexdigest()
# The serial number as sbom.py derives it, from the commit and the files.
identity = bom["metadata"]["component"]["properties"][0]["value"] + "".join(
    f" {f['name']}={f['hashes'][0]['content']}" for f in bom["components"])
bom["serialNumber"] = f"urn:uuid:{uuid.uuid5(uuid.NAMESPACE_URL, 'urn:staged-package-removal:sbom:' + identity)}"
with open(os.path.join(directory, sbom), "w") as out:
    json.dump(bom, out, indent=2, ensure_ascii=False)
    out.write("\n")
PYTHON
  sum_again "$dir" "$name.zip" "${executables[@]}" "${scripts[@]}" "$msi" "$sbom"
}

begin_case "verify-release: a signed, time-stamped release of HEAD is its full rebuild, and its signatures verify"
verify_release 0 --trust-anchor "$ca/ca.crt" "$work/c"
said "  signatures: 6 verified against $ca/ca.crt" \
  "verify-release: every file is what commit $commit builds, and every signature verifies"
[ "$(grep -c ': same$' "$work/verify.out")" = "$(($(wc -l <"$work/c/SHA256SUMS") + 1))" ] ||
  fail "not every file is the same: $(cat "$work/verify.out")"
grep -q "^verify-release: rebuilding $commit" "$work/verify.out" || fail "$(cat "$work/verify.out")"

begin_case "verify-release: an unsigned release of HEAD is its rebuild, and not a signed release"
verify_release 1 --trust-anchor "$ca/ca.crt" "${packaged[@]}" "$work/a"
[ "$(sed -n 's/^  signatures: not signed: //p' "$work/verify.out" | tr ' ' '\n' | sort)" = \
  "$(sorted "${executables[@]}" "${scripts[@]}" "$msi")" ] || fail "$(cat "$work/verify.out")"
[ "$(grep -c ': same$' "$work/verify.out")" = "$(($(wc -l <"$work/a/SHA256SUMS") + 1))" ] ||
  fail "$(cat "$work/verify.out")"

# forge FILE OFFSET: one byte changed, and what a forger would fix up after it: the PE header's
# checksum, and SHA256SUMS in FILE's release.
forge() {
  flip_byte "$1" "$2"
  /usr/bin/python3 - "$1" <<'PYTHON'
import struct, sys
data = bytearray(open(sys.argv[1], "rb").read())
field = struct.unpack_from("<I", data, 0x3C)[0] + 24 + 64
struct.pack_into("<I", data, field, 0)
total = 0
for (word,) in struct.iter_unpack("<H", bytes(data) + b"\0" * (len(data) % 2)):
    total = (total & 0xFFFF) + word + (total >> 16)
total = (total & 0xFFFF) + (total >> 16)
struct.pack_into("<I", data, field, (total & 0xFFFF) + len(data))
open(sys.argv[1], "wb").write(data)
PYTHON
  sum_again "$(dirname "$1")" "$(basename "$1")"
}
# One forged release: a byte of the removal's code changed, a byte of the check's signature, and a
# tool the build information makes up (which once turned "differs" into "could not check"), and
# one of a package's several records changed (once hidden by the package's last).
begin_case "verify-release: a changed byte of code differs, a changed byte of a signature does not verify, whatever tool the build information makes up"
cp -R "$work/c" "$work/forged"
text=$(x86_64-w64-mingw32-objdump -h "$work/c/${executables[0]}" | awk '$2 == ".text" { print $6 }')
forge "$work/forged/${executables[0]}" $((0x$text + 16))
# A byte in the middle of the signing certificate, which its issuer's signature covers (a byte
# elsewhere in the signature may be in something no verifier reads, such as a copy of the root).
openssl x509 -in "$ca/signer.crt" -outform DER -out "$work/signer.der"
certificate=$(/usr/bin/python3 -c 'import sys; print(open(sys.argv[1], "rb").read().find(open(sys.argv[2], "rb").read()))' \
  "$work/c/${executables[1]}" "$work/signer.der")
((certificate > 0)) || fail "the signing certificate is not in ${executables[1]}"
forge "$work/forged/${executables[1]}" $((certificate + $(stat -c %s "$work/signer.der") / 2))
sed -i 's|^Tools:$|&\n made-up-tool 6.6.6 /usr/bin/made-up-tool|' "$work/forged/$build_info"
# and another file for the first of the assembler package's several lines, the others as they were
sed -i '0,/^ binutils-mingw-w64-x86-64 /s|^ binutils-mingw-w64-x86-64 .*$|&-forged|' "$work/forged/$build_info"
sum_again "$work/forged" "$build_info"
verify_release 1 --trust-anchor "$ca/ca.crt" "${packaged[@]}" "$work/forged"
said "  ${executables[0]}: differs" "  ${executables[1]}: same" "  signatures: they do not verify against $ca/ca.crt:" \
  "  $build_info: same but for the records of tools:" \
  "    tool made-up-tool: 6.6.6 /usr/bin/made-up-tool in the release, not used here"
records_of() {  # records_of BUILD_INFO: the assembler package's records, as verify-release joins them
  awk '$1 == "binutils-mingw-w64-x86-64" { printf "%s%s %s", n++ ? ", " : "", $2, $3 }' "$1"
}
said "    tool binutils-mingw-w64-x86-64: $(records_of "$work/forged/$build_info") in the release, $(records_of "$work/c/$build_info") here"
grep -q "^      Authenticode hash [0-9a-f]\{64\}, rebuilt [0-9a-f]\{64\}$" "$work/verify.out" &&
  grep -q "the signature of ${executables[1]} does not verify" "$work/verify.out" ||
  fail "$(cat "$work/verify.out")"

# A release that names HEAD but carries a removal built from another source, signed as HEAD's.
begin_case "verify-release: a signed release whose removal was built from a changed source differs; the rest is named with its signer"
git clone -q "$PWD" "$work/changed"
git -C "$work/changed" checkout -q "$commit"
sed -i 's/"Tamrix_Vessa_Driver_Name"/"Tamrix_Vessa_Driver_Nane"/' "$work/changed/src/removal/removal_rules.cc"
! git -C "$work/changed" diff --quiet || fail "the source was not changed"
(cd "$work/changed" && SOURCE_DATE_EPOCH=$(git log -1 --format=%ct "$commit") &&
  export SOURCE_DATE_EPOCH && cmake --preset windows-x64 -DSPR_BUILD_TESTS=OFF >/dev/null &&
  cmake --build --preset windows-x64 --target staged-package-removal staged-package-check >/dev/null) ||
  fail "the changed source did not build"
OSSLSIGNCODE=$recorder limited 900 bash scripts/release.sh --windows-build "$work/changed/build/windows-x64" \
  --output "$work/from-changed" "${signing[@]}" >"$work/release.log" 2>&1 || fail "$(cat "$work/release.log")"
verify_release 1 "${packaged[@]}" "$work/from-changed"
# The check carries the same rule table, so it differs too; so does the MSI, which holds them.
said "  ${executables[0]}: differs" "  ${executables[1]}: differs" "  $msi: differs" "  ${scripts[0]}: same" \
  "    signed by CN = Throw-away code signer; the signature was not checked (give --trust-anchor ROOT.pem)"
[ "$(grep -c "^      Authenticode hash" "$work/verify.out")" = 2 ] || fail "$(cat "$work/verify.out")"

# --windows-build is checked as release.sh checks it: a build configured at another commit (the
# stale build of release_test.sh) would not give this commit's bytes.
begin_case "verify-release: a windows-x64 build configured for another source date is refused"
verify_release 2 --windows-build "$work/stale-build" "$work/a"
grep -q "was configured for another source date" "$work/verify.out" || fail "$(cat "$work/verify.out")"

# The one signature osslsigncode attaches in a rebuild, the MSI's: a run that ends abnormally
# (as 2.9 aborted on an oversized digest), or a package that does not carry the signature
# afterwards, stops the rebuild.
begin_case "verify-release: an osslsigncode that aborts attaching the MSI's signature, or leaves it off, stops the rebuild"
attach_then() {  # attach_then FILE HOW: an osslsigncode that, asked to attach, aborts after it or leaves the signature off
  printf '#!/usr/bin/env bash\n[ "$1" = attach-signature ] || exec osslsigncode "$@"\n%s\n' "$2" >"$1"
  chmod +x "$1"
}
attach_then "$work/osslsigncode-aborting" 'osslsigncode "$@"; exit 134'
attach_then "$work/osslsigncode-leaving-off" 'while (($#)); do case $1 in -in) in=$2 ;; -out) out=$2 ;; esac; shift; done; cp "$in" "$out"; exit 1'
for wrapper in aborting:"could not attach the signature to" leaving-off:"does not carry the signature osslsigncode attached"; do
  OSSLSIGNCODE=$work/osslsigncode-${wrapper%%:*} verify_release 2 "${packaged[@]}" "$work/c"
  grep -q "${wrapper#*:}" "$work/verify.out" || fail "${wrapper%%:*}: $(cat "$work/verify.out")"
done

# A commit that this repository's branches and tags do not reach, whose release.sh would leave a
# mark: fetched by its hash from a fork (FETCH_HEAD), or made and left without a ref. The verifier
# runs from a clone of HEAD, into which the fork's commit is fetched.
begin_case "verify-release: a release of a commit that only FETCH_HEAD or no ref reaches is refused, and nothing of it runs"
git clone -q "$PWD" "$work/verifier"
git -C "$work/verifier" checkout -q "$commit"
git clone -q "$PWD" "$work/fork"
git -C "$work/fork" checkout -q -b fork "$commit"
# Its first line, so that the mark is left whatever the rest would refuse.
sed -i "2i touch '$work/marker'" "$work/fork/scripts/release.sh"
git -C "$work/fork" -c user.name=fork -c user.email=fork@example.invalid commit -q -am "leave a mark"
fork_commit=$(git -C "$work/fork" rev-parse HEAD)
git -C "$work/verifier" fetch -q "$work/fork" "$fork_commit" 2>/dev/null ||
  git -C "$work/verifier" fetch -q "$work/fork" fork
[ "$(git -C "$work/verifier" rev-parse FETCH_HEAD)" = "$fork_commit" ] || fail "the fork's commit was not fetched"
dangling=$(git -C "$work/verifier" commit-tree -p "$commit" -m "no ref" "$fork_commit^{tree}")
for unreachable in "$fork_commit" "$dangling"; do
  rm -rf "$work/unreachable"
  cp -R "$work/a" "$work/unreachable"
  sed -i "s/^Commit: .*/Commit: $unreachable/" "$work/unreachable/$build_info"
  sum_again "$work/unreachable" "$build_info"
  status=0
  limited 900 bash "$work/verifier/scripts/verify-release.sh" "${packaged[@]}" "$work/unreachable" \
    >"$work/verify.out" 2>&1 || status=$?
  [ "$status" = 2 ] || fail "exited $status: $(cat "$work/verify.out")"
  grep -q "commit $unreachable is not reachable from a branch or tag of this repository" "$work/verify.out" ||
    fail "$(cat "$work/verify.out")"
  ! grep -qi "fetch" "$work/verify.out" || fail "it advises a fetch: $(cat "$work/verify.out")"
  [ ! -e "$work/marker" ] || fail "the release.sh of $unreachable ran"
done

# A line after a script's signature block, which PowerShell runs (a #Requires line loads a module
# even when the script exits at its top), and bytes after the MSI: every other file made to agree.
begin_case "verify-release: a line after a script's signature block, and bytes after the MSI, differ"
cp -R "$work/c" "$work/tails"
printf '#Requires -Modules \\\\host\\share\\m.psm1\r\n' >>"$work/tails/deploy/remediate.ps1"
printf 'after the package' >>"$work/tails/$msi"
agree "$work/tails"
verify_release 1 "${packaged[@]}" "$work/tails"
said "  deploy/remediate.ps1: differs: it is not an unsigned file plus one signature as the signer writes it: a signature block that is not the one the signer writes at the end" \
  "  $msi: differs" "  ${executables[0]}: same" "  ${executables[1]}: same"
grep -q "^      first difference at byte $(stat -c %s "$work/c/$msi") " "$work/verify.out" ||
  fail "the MSI's difference is not the bytes after it: $(cat "$work/verify.out")"
# The signing script's own check, which verify-release.sh runs again before osslsigncode verifies a
# file (osslsigncode reads a script's block up to its end line and verifies the rest of it).
begin_case "sign-files.sh --verify refuses a script with a line after its signature block before osslsigncode verifies it"
! bash packaging/sign-files.sh --verify --trust-anchor "$ca/ca.crt" "$work/tails/deploy/remediate.ps1" \
  2>"$work/sign.err" || fail "it verified"
grep -qF "the signature of remediate.ps1 is refused: a signature block that is not the one the signer writes at the end" \
  "$work/sign.err" || fail "$(cat "$work/sign.err")"

# Bytes after the check's certificate table, and a signature on the removal whose file digest is
# 4,000 bytes (which made Debian 12's osslsigncode 2.9 abort while attaching it): each is refused
# by this project's readers, and osslsigncode, which records what it is given, never sees them.
begin_case "verify-release: bytes after a PE's certificate table differ, an oversized digest is refused before osslsigncode reads it"
cp -R "$work/c" "$work/oversized"
printf 'after the table' >>"$work/oversized/${executables[1]}"
/usr/bin/python3 packaging/signatures.py take "$work/c/${executables[0]}" "$work/removal.p7s" ||
  fail "no signature on the removal"
/usr/bin/python3 - "$work/removal.p7s" "$work/oversized.p7s" <<'PYTHON'
import sys
data = open(sys.argv[1], "rb").read()
def tree(start, end):  # [tag, children or contents] of each element between START and END
    nodes = []
    while start < end:
        tag, length, offset = data[start], data[start + 1], start + 2
        if length & 0x80:
            offset += length & 0x7F
            length = int.from_bytes(data[start + 2:offset], "big")
        nodes.append([tag, tree(offset, offset + length) if tag & 0x20 else data[offset:offset + length]])
        start = offset + length
    return nodes
def encoded(nodes):
    out = b""
    for tag, value in nodes:
        contents = encoded(value) if isinstance(value, list) else value
        size = len(contents)
        length = bytes([size]) if size < 0x80 else bytes([0x80 | (size.bit_length() + 7) // 8]) + \
            size.to_bytes((size.bit_length() + 7) // 8, "big")
        out += bytes([tag]) + length + contents
    return out
signature = tree(0, len(data))
# ContentInfo, [0], SignedData, its content, [0], SpcIndirectDataContent, its digest, the digest.
signed_data = signature[0][1][1][1][0]
indirect = signed_data[1][2][1][1][1][0]
digest = indirect[1][1][1][1]
assert digest[0] == 0x04 and len(digest[1]) == 32, digest
digest[1] = digest[1] * 125
open(sys.argv[2], "wb").write(encoded(signature))
PYTHON
/usr/bin/python3 packaging/signatures.py attach "$work/a/${executables[0]}" "$work/oversized.p7s" \
  "$work/oversized/${executables[0]}" || fail "the oversized signature was not attached"
agree "$work/oversized"
recording=$work/osslsigncode-given
printf '#!/bin/sh\nprintf "%%s\\n" "$*" >>"%s"\nexec osslsigncode "$@"\n' "$work/osslsigncode-given.log" >"$recording"
chmod +x "$recording"
OSSLSIGNCODE=$recording verify_release 1 --trust-anchor "$ca/ca.crt" "${packaged[@]}" "$work/oversized"
said "  ${executables[0]}: differs: its signature is refused before any other program reads it: the signature: a file digest of 4000 bytes, 32 for SHA-256" \
  "  ${executables[1]}: differs: it is not an unsigned file plus one signature as the signer writes it: not a PE image Windows would load: the certificate table is not at the end of the file"
[ -s "$work/osslsigncode-given.log" ] || fail "osslsigncode never ran: the recording is not what the verifier runs"
! grep -e "${executables[0]}" -e "${executables[1]}" "$work/osslsigncode-given.log" ||
  fail "osslsigncode was given a refused file or signature"

# Entries a deployment tool that packages the folder would take along (zip -r follows a link),
# and a name that would rewrite the verifier's last line on a terminal.
begin_case "verify-release: an unlisted symbolic link, FIFO, hidden file, empty folder, a name with control bytes and a file not of its sum are each named, escaped"
cp -R "$work/a" "$work/entries"
printf '\r\n' >>"$work/entries/${scripts[0]}"
ln -s /etc/passwd "$work/entries/deploy/Install.ps1"
mkfifo "$work/entries/deploy/pipe"
printf 'hidden\n' >"$work/entries/.hidden"
mkdir "$work/entries/empty"
printf 'not ours\n' >"$work/entries/"$'\r\e[2Kverify-release: every file is what commit '"$commit"' builds'
verify_release 1 "${packaged[@]}" "$work/entries"
said "  deploy/Install.ps1: a symbolic link" "  deploy/pipe: a FIFO" "  .hidden: a file that SHA256SUMS does not list" \
  "  empty: a folder that holds no file SHA256SUMS lists" \
  "  \\x0d\\x1b[2Kverify-release: every file is what commit $commit builds: a file that SHA256SUMS does not list" \
  "  ${scripts[0]}: not the file SHA256SUMS lists (its SHA-256 differs)"
! grep -q "^verify-release: rebuilding" "$work/verify.out" || fail "it went on to rebuild"
! tr -d '\n' <"$work/verify.out" | LC_ALL=C grep -q '[[:cntrl:]]' || fail "a control byte reached the output"

# The build information and the SBOM are compared field by field so that the records of the tools
# may differ; any other field may not.
begin_case "verify-release: an SBOM that differs in a field other than the tools differs"
cp -R "$work/a" "$work/licence"
sed -i 's/"id": "MIT"/"id": "0BSD"/' "$work/licence/$sbom"
sum_again "$work/licence" "$sbom"
verify_release 1 "${packaged[@]}" "$work/licence"
said "  $sbom: differs" "    differs: its field .metadata.component.licenses[0].license.id" "  $name.zip: same"

# A point release of one tool between the release and the rebuild (a dpkg-query that says so):
# the programs, scripts and MSI are the same, and only the records of the tools differ.
begin_case "verify-release: a rebuild with another Debian version of one tool, and every program the same, exits 0 naming it"
mkdir "$work/other-zip"
printf '#!/bin/sh\ncase " $* " in *" -W "*" zip ") echo 3.0-99+other; exit 0 ;; esac\nexec dpkg-query "$@"\n' \
  >"$work/other-zip/dpkg-query"
sed -i "s|exec dpkg-query|exec $(command -v dpkg-query)|" "$work/other-zip/dpkg-query"
chmod +x "$work/other-zip/dpkg-query"
zip_version=$(dpkg-query -W -f='${Version}' zip)
PATH=$work/other-zip:$PATH verify_release 0 "${packaged[@]}" "$work/a"
said "  ${executables[0]}: same" "  $msi: same" "  $name.zip: same" "  $build_info: same but for the records of tools:" \
  "    tool zip: $zip_version $(realpath "$(command -v zip)") in the release, 3.0-99+other $(realpath "$(command -v zip)") here"
grep -q "^verify-release: every program, script and the MSI is what commit $commit builds; only the records of the tools differ" \
  "$work/verify.out" || fail "$(cat "$work/verify.out")"
