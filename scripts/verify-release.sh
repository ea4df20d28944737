#!/usr/bin/env bash
# Checks a published release, the folder RELEASE, against this repository's source. RELEASE is
# taken for hostile: nothing in it runs, and only this checkout's own code reads it, in order:
#   1. the folder: each entry must be a regular file that SHA256SUMS lists (listed_in,
#      packaging/common.sh), with the sum listed, or a folder that holds one; otherwise each entry
#      at fault is named and nothing else is read;
#   2. the build information (packaging/build_info.py): the commit, which must be reachable from a
#      branch or tag of this repository (refs/heads/*, refs/tags/*; not FETCH_HEAD, a remote's
#      branch or a commit no ref reaches), and the source date;
#   3. each signature (packaging/signatures.py): a signed file must be the unsigned file plus
#      exactly one signature in the form the signer writes, and the signature have the structure
#      the signer writes (packaging/signed_data.py, then OpenSSL); otherwise the file differs, and
#      its signature goes no further;
#   4. a temporary clone at the commit builds the release with the commit's own scripts/release.sh,
#      attaching the signatures that passed 3 (--signatures; for the MSI by osslsigncode, onto the
#      package the clone built of the rebuilt executables carrying theirs): that code reads no
#      other byte of RELEASE. With --windows-build DIR, it packages the executables of DIR, a
#      windows-x64 build of that commit, instead of building them (release.sh --windows-build,
#      checked as it checks it);
#   5. every file compared with the rebuild's, byte for byte: the executables, the scripts, the
#      MSI, the zip, AUTHENTICODE-SHA256; the build information and the SBOM field by field
#      (packaging/records.py), in which the records of the tools' versions may differ, and
#      SHA256SUMS but for those two files' sums. Where a file differs, packaging/differences.py
#      says where;
#   6. with --trust-anchor ROOT.pem, every executable, script and the MSI must be signed, and each
#      signature verify against that root (this checkout's packaging/sign-files.sh --verify: the
#      checks of 3 again, then osslsigncode) on the rebuilt file, which is by then the published
#      one byte for byte; a time stamp that is there must verify too, against
#      --timestamp-trust-anchor where the time-stamp server has another root. Without it, each
#      signer is named and no signature is verified.
# Everything printed that came from RELEASE is escaped (shown, packaging/common.sh).
#
# Exit status: 0 when every file is the same (and, with --trust-anchor, every signature verifies),
# or when every program, script and the MSI is the same and only the records of tool versions in
# the build information and the SBOM differ, which is said, each tool named; 1 when any file
# differs, is not listed or is refused, or a signature does not verify, whatever the build
# information says of its tools; 2 when the release could not be checked (no SHA256SUMS or build
# information, a commit that no branch or tag reaches, a rebuild that failed).
#
# usage: bash scripts/verify-release.sh [--trust-anchor ROOT.pem [--timestamp-trust-anchor ROOT.pem]]
#                                       [--windows-build DIR] RELEASE
set -euo pipefail
export LC_ALL=C
# A replaced object would let this repository's refs reach a commit they do not hold.
export GIT_NO_REPLACE_OBJECTS=1
caller=$PWD
cd "$(dirname "$0")/.."
root=$PWD

cannot() {
  echo "verify-release: cannot check: $*" >&2
  exit 2
}
die() { cannot "$@"; }
# usage_of, listed_in, shown.
source packaging/common.sh
python() {  # python SCRIPT ARGUMENT...: one of this checkout's packaging/*.py
  /usr/bin/python3 "packaging/$1" "${@:2}"
}

anchor="" timestamp_anchor=() windows_build=() release=""
while (($#)); do
  case $1 in
    --trust-anchor | --timestamp-trust-anchor | --windows-build)
      (($# >= 2)) || cannot "$1 needs a value"
      value=$(cd "$caller" && realpath -m -- "$2")
      case $1 in
        --trust-anchor) anchor=$value ;;
        --timestamp-trust-anchor) timestamp_anchor=(--timestamp-trust-anchor "$value") ;;
        --windows-build) windows_build=(--windows-build "$value") ;;
      esac
      shift 2
      ;;
    -h | --help)
      usage_of "$0"
      exit 0
      ;;
    -*) cannot "unknown argument $(shown "$1")" ;;
    *)
      [ -z "$release" ] || cannot "one release at a time"
      release=$(cd "$caller" && realpath -m -- "$1")
      shift
      ;;
  esac
done
[ -n "$release" ] || cannot "usage: verify-release.sh [--trust-anchor ROOT.pem [--timestamp-trust-anchor ROOT.pem]] [--windows-build DIR] RELEASE"
[ -n "$anchor" ] || ((${#timestamp_anchor[@]} == 0)) || cannot "--timestamp-trust-anchor goes with --trust-anchor"
[ -z "$anchor" ] || [ -f "$anchor" ] || cannot "no trust anchor at $(shown "$anchor")"
[ -f "$release/SHA256SUMS" ] && [ ! -L "$release/SHA256SUMS" ] || cannot "$(shown "$release") holds no SHA256SUMS"

work=$(mktemp -d "${TMPDIR:-/tmp}/spr-verify.XXXXXX")
trap 'rm -rf "$work"' EXIT

# 1. Every entry of the folder, before anything reads a file in it.
echo "verify-release: $(shown "$release")"
if ! listed_in "$release/SHA256SUMS" >"$work/listed" || grep -qx SHA256SUMS "$work/listed"; then
  echo "verify-release: SHA256SUMS holds a line that release.sh does not write; nothing else was read" >&2
  exit 1
fi
mapfile -t listed <"$work/listed"
declare -A wanted=() found=() listed_sum=()
for name in "${listed[@]}" SHA256SUMS; do
  wanted[$name]=f
  while [[ $name == */* ]]; do
    name=${name%/*}
    wanted[$name]=d
  done
done
faults=()
while IFS= read -r -d '' entry; do
  type=${entry%% *} path=${entry#* }
  found[$path]=$type
  case $type in
    "${wanted[$path]:-}") continue ;;
    l) what="a symbolic link" ;;
    p) what="a FIFO" ;;
    s) what="a socket" ;;
    b | c) what="a device" ;;
    d) what="a folder that holds no file SHA256SUMS lists" ;;
    f) what="a file that SHA256SUMS does not list" ;;
    *) what="an entry of type $type" ;;
  esac
  faults+=("  $(shown "$path"): $what")
done < <(find "$release" -mindepth 1 -printf '%y %P\0')
while read -r sum name; do listed_sum[$name]=$sum; done <"$release/SHA256SUMS"
for name in "${listed[@]}"; do
  if [ "${found[$name]:-}" != f ]; then
    faults+=("  $name: listed in SHA256SUMS, but not a file in the folder")
  elif [ "$(sha256sum <"$release/$name" | cut -c1-64)" != "${listed_sum[$name]}" ]; then
    faults+=("  $name: not the file SHA256SUMS lists (its SHA-256 differs)")
  fi
done
if ((${#faults[@]})); then
  printf '%s\n' "${faults[@]}"
  echo "verify-release: the folder is not the files SHA256SUMS lists and nothing else; nothing else was read" >&2
  exit 1
fi

# 2. The build information: which commit, built when; a commit this repository's own history holds.
build_infos=()
for name in "${listed[@]}"; do [[ $name != *.buildinfo ]] || build_infos+=("$name"); done
((${#build_infos[@]} == 1)) || cannot "SHA256SUMS lists no build information (staged-package-removal-<version>.buildinfo)"
python build_info.py commit "$release/${build_infos[0]}" >"$work/commit" 2>"$work/said" ||
  cannot "${build_infos[0]}: $(sed 's/^build_info: //' "$work/said")"
read -r commit epoch _ <"$work/commit"
git cat-file -e "$commit^{commit}" 2>/dev/null &&
  [ -n "$(git for-each-ref --contains "$commit" --format='%(refname)' refs/heads refs/tags)" ] ||
  cannot "commit $commit is not reachable from a branch or tag of this repository ($root): only a commit that this repository's own history holds is rebuilt"
echo "verify-release: commit $commit"

signatures() {  # signatures ARGUMENT...: packaging/signatures.py, its message in $work/said
  python signatures.py "$@" 2>"$work/said"
}
reason() {  # reason: what the last of this checkout's readers said, escaped
  shown "$(sed 's/^[a-z_-]*: //' "$work/said")"
}

# 3. Each signature, out of its file and checked, before any other program reads it.
declare -A verdict=() signed=()
mkdir "$work/signatures"
for name in "${listed[@]}"; do
  case $name in *.exe | *.dll | *.msi | *.ps1) ;; *) continue ;; esac
  signature=$work/signatures/$name.p7s status=0
  mkdir -p "$(dirname "$signature")"
  signatures take "$release/$name" "$signature" || status=$?
  if ((status == 1)); then
    continue
  elif ((status > 1)); then
    verdict[$name]="differs: it is not an unsigned file plus one signature as the signer writes it: $(reason)"
  elif ! signatures check "$release/$name" "$signature" >/dev/null; then
    verdict[$name]="differs: its signature is refused before any other program reads it: $(reason)"
  else
    signed[$name]=$signature
    continue
  fi
  rm -f "$signature"
done

# 4. The commit's own release, with those signatures.
git clone -q --no-checkout "$root" "$work/src" && git -C "$work/src" checkout -q "$commit" ||
  cannot "could not clone this repository at $commit"
grep -q -- '--signatures DIR' "$work/src/scripts/release.sh" ||
  cannot "commit $commit's scripts/release.sh takes no --signatures: it predates this verifier, which rebuilds a release only that way"
echo "verify-release: rebuilding $commit (log: kept only if it fails)"
if ! (cd "$work/src" && SOURCE_DATE_EPOCH=$epoch bash scripts/release.sh --output "$work/rebuilt" \
        "${windows_build[@]}" --signatures "$work/signatures") >"$work/rebuild.log" 2>&1; then
  /usr/bin/python3 packaging/shown.py --lines <"$work/rebuild.log" >&2
  cannot "the commit could not be rebuilt"
fi
rebuilt=$work/rebuilt

# 5. Every file against the rebuild's.
signer_of() {  # signer_of SIGNATURE.der: the subject of the certificate that issued no other
  openssl pkcs7 -inform DER -in "$1" -print_certs -noout 2>/dev/null | awk '
    /^subject=/ { subjects[++n] = substr($0, 9) } /^issuer=/ { issuers[substr($0, 8)] = 1 }
    END { for (i = 1; i <= n; i++) if (!(subjects[i] in issuers)) { print subjects[i]; exit } }'
}
differing=() records_only=() same_signed=() unsigned=() tool_records=0
for name in "${listed[@]}" SHA256SUMS; do
  published=$release/$name copy=$rebuilt/$name
  if [ -n "${verdict[$name]:-}" ]; then
    echo "  $name: ${verdict[$name]}"
    differing+=("$name")
    continue
  fi
  if [ ! -f "$copy" ]; then
    echo "  $name: differs (the rebuild has no such file)"
    differing+=("$name")
    continue
  fi
  if ! cmp -s "$published" "$copy"; then
    case $name in
      *.buildinfo) records=buildinfo ;;
      *.cdx.json) records=sbom ;;
      SHA256SUMS)
        # The sums of the records found the same but for their tools, as published.
        for record in "${records_only[@]}"; do
          awk -v name="$record" -v sum="${listed_sum[$record]}" \
            'substr($0, 67) == name { $0 = sum "  " name } 1' "$copy" >"$work/sums" && mv "$work/sums" "$copy"
        done
        records=""
        if cmp -s "$published" "$copy"; then
          echo "  $name: same but for the sums of the records above"
          continue
        fi
        ;;
      *) records="" ;;
    esac
    if [ -n "$records" ]; then
      status=0
      python records.py "$records" "$published" "$copy" >"$work/records" || status=$?
      if ((status == 0)); then
        echo "  $name: same but for the records of tools:"
        sed 's/^/    /' "$work/records"
        records_only+=("$name")
        tool_records=1
        continue
      fi
      echo "  $name: differs"
      sed 's/^/    /' "$work/records"
    else
      echo "  $name: differs"
      python differences.py "$published" "$copy" || echo "      (where it differs could not be read)"
    fi
    differing+=("$name")
    continue
  fi
  echo "  $name: same"
  case $name in
    *.exe | *.dll | *.ps1 | *.msi) ;;
    *) continue ;;
  esac
  if [ -n "${signed[$name]:-}" ]; then
    same_signed+=("$name")
    [ -n "$anchor" ] ||
      echo "    signed by $(shown "$(signer_of "${signed[$name]}")"); the signature was not checked (give --trust-anchor ROOT.pem)"
  else
    unsigned+=("$name")
  fi
done
for name in $(cd "$rebuilt" && find . -type f -printf '%P\n' | sort); do
  [ -n "${wanted[$name]:-}" ] || { echo "  $name: missing (the rebuild has it)"; differing+=("$name"); }
done

# 6. The signatures, against the trust anchor asked for.
unverified=0
if [ -n "$anchor" ]; then
  # Asked to check the signatures: a file without one is not a signed release's.
  if ((${#unsigned[@]})); then
    echo "  signatures: not signed: ${unsigned[*]}"
    unverified=1
  fi
  if ((${#same_signed[@]})) && ! bash packaging/sign-files.sh --verify --trust-anchor "$anchor" \
       "${timestamp_anchor[@]}" "${same_signed[@]/#/$rebuilt/}" 2>"$work/verify.err"; then
    echo "  signatures: they do not verify against $(shown "$anchor"):"
    /usr/bin/python3 packaging/shown.py --lines <"$work/verify.err" | sed 's/^/    /'
    unverified=1
  elif ((${#same_signed[@]})); then
    echo "  signatures: ${#same_signed[@]} verified against $(shown "$anchor")"
  fi
fi

if ((${#differing[@]})); then
  echo "verify-release: ${#differing[@]} file(s) differ from what commit $commit builds: ${differing[*]}" >&2
  ((tool_records == 0)) ||
    echo "verify-release: the records of tools differ too (above); they do not change that" >&2
  exit 1
elif ((unverified)); then
  echo "verify-release: every file is what commit $commit builds, but not every one is signed and verifies" >&2
  exit 1
elif ((tool_records)); then
  echo "verify-release: every program, script and the MSI is what commit $commit builds${anchor:+, and every signature verifies}; only the records of the tools differ: the release was built with the versions named above"
  exit 0
fi
echo "verify-release: every file is what commit $commit builds${anchor:+, and every signature verifies}"
