#!/usr/bin/env bash
# Checks a published release against this repository's source: rebuilds the commit that the
# release's build information names, in a temporary clone, with that commit's own
# scripts/release.sh, giving the rebuilt files the published files' signatures
# (--signatures-from), and compares every file, saying "same" or "differs" for each:
#   - the executables: first their Authenticode hashes (packaging/authenticode-sha256.py: the
#     image without its signature), then the whole file, which is then the rebuilt image with
#     the published signature on it;
#   - the deployment scripts: the whole file, which is then the rebuilt script with the published
#     signature block after it;
#   - the MSI: the whole file, which holds the (signed) executables, the tables, the summary
#     information and the signature; where it differs, each table (msiinfo export), the summary
#     information and each file it carries are compared, to say where;
#   - the zip, AUTHENTICODE-SHA256, the build information, the SBOM and SHA256SUMS: the whole
#     file (the zip holds the signed files, the SBOM their hashes).
# Where a file differs, diffoscope (the reproducible-builds project's comparer) says where.
#
# A file in DIR that SHA256SUMS does not list differs too: a deployment tool packaging the folder
# would take it along.
#
# Signatures: with --trust-anchor ROOT.pem, the release must be signed (every executable, script
# and the MSI), and each signature is verified against that root (packaging/sign-files.sh
# --verify; a time stamp that is there must verify too, against --timestamp-trust-anchor where the
# time-stamp server has another root) on the rebuilt file carrying it, which is the published file
# when the two are the same; without it, the signer is named and no signature is checked.
# osslsigncode never parses a published file's PE image or MSI: the signatures are taken out by
# this project's own readers (packaging/copy-signatures.sh) and attached to the rebuilt files. It
# does parse the signatures, and verifies files whose bytes are the published ones once they are
# found the same: this narrows what a crafted download can reach while Debian ships osslsigncode
# older than 2.13 (whose fixed flaws could be exploited by a crafted file), it does not remove it.
#
# Exit status: 0 when every file is the same (and, with --trust-anchor, every signature
# verifies); 1 when something differs or a signature does not verify; 2 when the release could
# not be checked (no build information, a commit this repository lacks, a rebuild that failed),
# or when something differs and a tool's Debian version here is not the one the build
# information names, so that the difference may be the tool's (each such tool is named).
#
# usage: bash scripts/verify-release.sh [--trust-anchor ROOT.pem [--timestamp-trust-anchor ROOT.pem]] DIR
set -euo pipefail
export LC_ALL=C
caller=$PWD
cd "$(dirname "$0")/.."
root=$PWD

cannot() {
  echo "verify-release: cannot check: $*" >&2
  exit 2
}
die() { cannot "$@"; }
# pkcs7_of: each signature, read as the release's own scripts read it.
source packaging/common.sh

anchor="" timestamp_anchor=() release=""
while (($#)); do
  case $1 in
    --trust-anchor | --timestamp-trust-anchor)
      (($# >= 2)) || cannot "$1 needs a value"
      if [ "$1" = --trust-anchor ]; then
        anchor=$(cd "$caller" && realpath -m -- "$2")
      else
        timestamp_anchor=(--timestamp-trust-anchor "$(cd "$caller" && realpath -m -- "$2")")
      fi
      shift 2
      ;;
    -h | --help)
      sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'
      exit 0
      ;;
    -*) cannot "unknown argument $1" ;;
    *)
      [ -z "$release" ] || cannot "one release at a time"
      release=$(cd "$caller" && realpath -m -- "$1")
      shift
      ;;
  esac
done
[ -n "$release" ] || cannot "usage: verify-release.sh [--trust-anchor ROOT.pem [--timestamp-trust-anchor ROOT.pem]] DIR"
[ -n "$anchor" ] || ((${#timestamp_anchor[@]} == 0)) || cannot "--timestamp-trust-anchor goes with --trust-anchor"
[ -f "$release/SHA256SUMS" ] || cannot "$release holds no SHA256SUMS"
[ -z "$anchor" ] || [ -f "$anchor" ] || cannot "no trust anchor at $anchor"
build_infos=("$release"/*.buildinfo)
[ -f "${build_infos[0]}" ] && ((${#build_infos[@]} == 1)) ||
  cannot "$release holds no build information (staged-package-removal-<version>.buildinfo)"
build_info=${build_infos[0]}
field() {  # field NAME: the build information's one-line field
  sed -n "s/^$1: //p" "$build_info"
}
commit=$(field Commit)
epoch=$(field Source-Date-Epoch)
[[ $commit =~ ^[0-9a-f]{40}$ ]] && [[ $epoch =~ ^[0-9]+$ ]] ||
  cannot "$build_info names no commit or source date"
git cat-file -e "$commit^{commit}" 2>/dev/null ||
  cannot "commit $commit is not in this repository (fetch it first)"

echo "verify-release: $release, commit $commit"
# The files must be those that SHA256SUMS lists before anything else reads them.
if ! (cd "$release" && sha256sum --quiet -c SHA256SUMS); then
  echo "verify-release: the files are not those SHA256SUMS lists" >&2
  exit 1
fi

# The machine: each tool at the version the release was built with?
tools_differ=0
while read -r package version file; do
  here=$(dpkg-query -W -f='${Version}' -- "$package" 2>/dev/null || echo "not installed")
  if [ "$here" != "$version" ]; then
    echo "verify-release: note: $package is $here here, $version in the build information ($file)"
    tools_differ=1
  fi
done < <(sed -n '/^Tools:$/,/^[^ ]/{/^ /p}' "$build_info")

work=$(mktemp -d "${TMPDIR:-/tmp}/spr-verify.XXXXXX")
trap 'rm -rf "$work"' EXIT
git clone -q --no-checkout "$root" "$work/src" && git -C "$work/src" checkout -q "$commit" ||
  cannot "could not clone this repository at $commit"
echo "verify-release: rebuilding $commit (log: kept only if it fails)"
if ! (cd "$work/src" && SOURCE_DATE_EPOCH=$epoch bash scripts/release.sh --output "$work/rebuilt" \
        --signatures-from "$release") >"$work/rebuild.log" 2>&1; then
  cat "$work/rebuild.log" >&2
  cannot "the commit could not be rebuilt"
fi
rebuilt=$work/rebuilt

where() {  # where PUBLISHED REBUILT: what diffoscope finds, indented, shortened
  timeout 300 diffoscope --no-progress --text - "$1" "$2" 2>&1 | head -n 40 | sed 's/^/      /' || true
}
msi_where() {  # msi_where PUBLISHED REBUILT: which tables, summary fields and files differ
  local table
  for table in $( (msiinfo tables "$1"; msiinfo tables "$2") | sort -u); do
    cmp -s <(msiinfo export "$1" "$table" 2>&1) <(msiinfo export "$2" "$table" 2>&1) ||
      echo "      table $table differs"
  done
  cmp -s <(msiinfo suminfo "$1") <(msiinfo suminfo "$2") || echo "      the summary information differs"
  rm -rf "$work/msi-published" "$work/msi-rebuilt"
  mkdir "$work/msi-published" "$work/msi-rebuilt"
  msiextract -C "$work/msi-published" "$1" >/dev/null && msiextract -C "$work/msi-rebuilt" "$2" >/dev/null &&
    diff -rq "$work/msi-published" "$work/msi-rebuilt" | sed 's/^/      /' || true
}
signer_of() {  # signer_of SIGNATURE.der: the subject of the certificate that issued no other
  openssl pkcs7 -inform DER -in "$1" -print_certs -noout 2>/dev/null | awk '
    /^subject=/ { subjects[++n] = substr($0, 9) } /^issuer=/ { issuers[substr($0, 8)] = 1 }
    END { for (i = 1; i <= n; i++) if (!(subjects[i] in issuers)) { print subjects[i]; exit } }'
}

differing=() signed=() unsigned=()
mapfile -t files < <(sed -n 's/^[0-9a-f]\{64\}  //p' "$release/SHA256SUMS")
files+=(SHA256SUMS)
while IFS= read -r extra; do
  echo "  $extra: differs (SHA256SUMS does not list it)"
  differing+=("$extra")
done < <(comm -13 <(printf '%s\n' "${files[@]}" | sort) <(cd "$release" && find . -type f -printf '%P\n' | sort))
for file in "${files[@]}"; do
  published=$release/$file copy=$rebuilt/$file
  if [ ! -f "$copy" ]; then
    echo "  $file: differs (the rebuild has no such file)"
    differing+=("$file")
    continue
  fi
  if [[ $file == *.exe ]]; then
    published_hash=$(/usr/bin/python3 packaging/authenticode-sha256.py "$published" | cut -d' ' -f1)
    rebuilt_hash=$(/usr/bin/python3 packaging/authenticode-sha256.py "$copy" | cut -d' ' -f1)
    if [ "$published_hash" != "$rebuilt_hash" ]; then
      echo "  $file: differs (Authenticode hash $published_hash, rebuilt $rebuilt_hash)"
      where "$published" "$copy"
      differing+=("$file")
      continue
    fi
  fi
  if ! cmp -s "$published" "$copy"; then
    echo "  $file: differs"
    case $file in
      *.msi) msi_where "$published" "$copy" ;;
      *) where "$published" "$copy" ;;
    esac
    differing+=("$file")
    continue
  fi
  echo "  $file: same"
  case $file in
    *.exe | *.ps1 | *.msi) ;;
    *) continue ;;
  esac
  # A file Windows checks the signature of, the same as the rebuild carrying its signature.
  if pkcs7_of "$copy" "$work/signature"; then
    signed+=("$file")
    [ -n "$anchor" ] ||
      echo "    signed by $(signer_of "$work/signature"); the signature was not checked (give --trust-anchor ROOT.pem)"
  else
    unsigned+=("$file")
  fi
done

unverified=0
if [ -n "$anchor" ]; then
  # Asked to check the signatures: a file without one is not a signed release's.
  if ((${#unsigned[@]})); then
    echo "  signatures: not signed: ${unsigned[*]}"
    unverified=1
  fi
  # The verifier's own signing script, on the rebuilt files: the published ones, byte for byte.
  if ((${#signed[@]})) && ! bash packaging/sign-files.sh --verify --trust-anchor "$anchor" \
       "${timestamp_anchor[@]}" "${signed[@]/#/$rebuilt/}" 2>"$work/verify.err"; then
    echo "  signatures: they do not verify against $anchor:"
    sed 's/^/    /' "$work/verify.err"
    unverified=1
  elif ((${#signed[@]})); then
    echo "  signatures: ${#signed[@]} verified against $anchor"
  fi
fi

if ((${#differing[@]})); then
  echo "verify-release: ${#differing[@]} file(s) differ from what commit $commit builds: ${differing[*]}" >&2
  if ((tools_differ)); then
    echo "verify-release: and tools here differ from the build information's (above): the difference may be theirs" >&2
    exit 2
  fi
  exit 1
elif ((unverified)); then
  echo "verify-release: every file is what commit $commit builds, but not every one is signed and verifies" >&2
  exit 1
fi
echo "verify-release: every file is what commit $commit builds${anchor:+, and every signature verifies}"
