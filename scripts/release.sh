#!/usr/bin/env bash
# Builds a release of the committed HEAD: exports it with git archive into a fresh temporary
# directory (so that nothing uncommitted can leak in), builds the shipped executables there, signs
# them if asked, and writes to build/release/ (or --output DIR):
#   staged-package-removal-<version>-win64.zip   the executables, the administrators' guide,
#                                                LICENSE and THIRD-PARTY-NOTICES.txt
#   <executable>.exe                             each executable, the same bytes as in the zip
#   staged-package-removal-<version>-x64.msi     the Windows Installer package of those executables
#                                                (packaging/build-msi.sh)
#   deploy/*.ps1                                 the scripts for deployment tools, also in the zip
#   AUTHENTICODE-SHA256                          each executable's Authenticode hash, for hash
#                                                rules; the same signed or unsigned
#   staged-package-removal-<version>.cdx.json    the SBOM (CycloneDX): the files, and the runtime
#                                                pieces in each executable, as in the notices
#   SHA256SUMS                                   all of the above, for sha256sum -c
# The same commit gives the same bytes wherever and whenever it is built on a machine with the
# same Debian packages (CMakeLists.txt says how for the executables; the zip is made below). The
# output directory holds a release only after a run that succeeded: once the arguments have been
# checked, any earlier one is removed, and the new one is moved in whole at the end.
#
# usage: bash scripts/release.sh [--output DIR] [KEY [--timestamp-url URL]]
#   KEY signs everything the release ships that Windows checks signatures of (the executables,
#   the deployment scripts and the MSI; Authenticode, SHA-256), with a key from one of two
#   sources (packaging/sign-files.sh):
#   --pkcs12 FILE --password-file FILE
#       a PKCS#12 file with the certificate, its chain and key, as an internal CA delivers them;
#       FILE holds its password and nothing else (a final newline may follow)
#   --pkcs11-module MODULE --pkcs11-key URI --pkcs11-cert FILE --pin-file FILE
#       a key on a token or HSM: MODULE the path of its PKCS#11 library, URI the pkcs11: URI
#       (RFC 7512) of the private key, FILE the certificate with its chain (PEM), and a file
#       that holds the PIN as the password file does
#   --timestamp-url URL   have the signatures time-stamped by this RFC 3161 server
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

die() {
  echo "release: $*" >&2
  exit 1
}

output=$root/build/release
sign=() wrong=""
while (($#)) && [ -z "$wrong" ]; do
  case $1 in
    --output | --pkcs12 | --password-file | --pkcs11-module | --pkcs11-key | --pkcs11-cert | \
      --pin-file | --timestamp-url)
      if (($# < 2)); then wrong="$1 needs a value"; break; fi
      case $1 in
        --output) output=$(realpath -m -- "$2") ;;
        --pkcs11-key | --timestamp-url) sign+=("$1" "$2") ;;
        # Made absolute here: the signing runs in another directory.
        *) sign+=("$1" "$(realpath -m -- "$2")") ;;
      esac
      shift 2
      ;;
    -h | --help)
      sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'
      exit 0
      ;;
    *) wrong="unknown argument $1 (see --help)" ;;
  esac
done

# A run that cannot start (a mistyped argument, a key file that is not there) leaves an earlier
# release as it was: nothing has been attempted that it could be taken for. The signing script
# of the commit being released says what a complete key is.
[ -z "$wrong" ] || die "$wrong; nothing was released"
if ((${#sign[@]})) && ! said=$(bash <(git show HEAD:packaging/sign-files.sh) --check "${sign[@]}" 2>&1); then
  die "${said#sign-files: }; nothing was released"
fi
# From here on, whatever happens, no earlier release is left to be taken for this one. Only a
# directory that holds a release (or nothing) is removed: --output may be mistyped.
if [ -e "$output" ]; then
  [ -d "$output" ] && { [ -f "$output/SHA256SUMS" ] || [ -z "$(ls -A "$output")" ]; } ||
    die "will not replace $output: it is not an earlier release (no SHA256SUMS)"
  rm -rf "$output"
fi

bash scripts/setup.sh

commit=$(git rev-parse --verify HEAD)
echo "release: building commit $commit ($(git log -1 --format=%s HEAD))"
if [ -n "$(git status --porcelain)" ]; then
  echo "release: note: the working tree has changes that are not committed; they are not in this release"
fi
# The date every file of the release carries: the commit's, unless the caller fixes one.
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct HEAD)}

work=$(mktemp -d "${TMPDIR:-/tmp}/spr-release.XXXXXX")
partial=$output.partial
trap 'rm -rf "$work" "$partial"' EXIT
mkdir "$work/src" "$work/package" "$work/out"
git archive --format=tar HEAD | tar -x -C "$work/src"
src=$work/src

mapfile -t targets < <(sed -e '/^#/d' -e '/^[[:space:]]*$/d' "$src/packaging/shipped-executables.txt")
((${#targets[@]})) || die "packaging/shipped-executables.txt names no executable"
if ! (cd "$src" &&
      cmake --preset windows-x64 -DSPR_BUILD_TESTS=OFF &&
      cmake --build --preset windows-x64 --target "${targets[@]}") >"$work/build.log" 2>&1; then
  cat "$work/build.log" >&2
  die "the build failed; nothing was released"
fi
build=$src/build/windows-x64
version=$(cat "$build/project-version.txt")
name=staged-package-removal-$version-win64

package=$work/package/$name
mkdir "$package"
executables=()
for target in "${targets[@]}"; do
  cp "$build/$target.exe" "$package/"
  executables+=("$target.exe")
done
cp "$src/LICENSE" "$package/"
# The administrators' guide is the repository's docs/deployment.md.
cp "$src/docs/deployment.md" "$package/ADMINISTRATOR-GUIDE.md"
maps=()
for target in "${targets[@]}"; do maps+=("$build/$target.map"); done
# The notices and the SBOM are both written from this one list, so they cannot disagree.
bash "$src/packaging/runtime-components.sh" "${maps[@]}" >"$work/components.tsv" &&
  bash "$src/packaging/third-party-notices.sh" "$work/components.tsv" \
    >"$package/THIRD-PARTY-NOTICES.txt" || die "no third-party notices; nothing was released"

# The scripts for deployment tools, signed with the executables.
mkdir "$package/deploy"
cp "$src/packaging/deploy/"*.ps1 "$package/deploy/"
scripts=()
for script in "$package/deploy/"*.ps1; do scripts+=("deploy/$(basename "$script")"); done

if ((${#sign[@]})); then
  bash "$src/packaging/sign-files.sh" "${sign[@]}" "${executables[@]/#/$package/}" \
    "${scripts[@]/#/$package/}" || die "signing failed; nothing was released"
fi

# The Windows Installer package, of the executables just packaged (signed ones when signing), and
# then signed itself.
msi=staged-package-removal-$version-x64.msi
bash "$src/packaging/build-msi.sh" "$version" "$package" "$work/out/$msi" ||
  die "the MSI could not be built; nothing was released"
if ((${#sign[@]})); then
  bash "$src/packaging/sign-files.sh" "${sign[@]}" "$work/out/$msi" ||
    die "signing the MSI failed; nothing was released"
fi

# The zip's bytes depend only on its files: fixed modes and times (the source date, written in UTC
# since zip stores local time), names in a fixed order, no directory entries, and no extra fields
# (-X: owner ids, further time stamps).
find "$work/package" -type d -exec chmod 0755 {} +
find "$work/package" -type f -exec chmod 0644 {} +
find "$work/package" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
(cd "$work/package" && find "$name" -type f | LC_ALL=C sort |
  TZ=UTC zip -X -D -9 -q -@ "$work/out/$name.zip")

cp "${executables[@]/#/$package/}" "$work/out/"
cp -R "$package/deploy" "$work/out/"
# App Control and AppLocker hash rules match this hash, not the file's SHA-256.
python3 "$src/packaging/authenticode-sha256.py" "${executables[@]/#/$work/out/}" \
  >"$work/out/AUTHENTICODE-SHA256" || die "no Authenticode hashes; nothing was released"
sbom=staged-package-removal-$version.cdx.json
shipped=("$name.zip" "${executables[@]}" "$msi" "${scripts[@]}")
(cd "$work/out" && python3 "$src/packaging/sbom.py" --version "$version" --commit "$commit" \
  --components "$work/components.tsv" "${shipped[@]}" >"$sbom") || die "no SBOM; nothing was released"
(cd "$work/out" && sha256sum -- "${shipped[@]}" AUTHENTICODE-SHA256 "$sbom" >SHA256SUMS &&
  sha256sum --quiet -c SHA256SUMS)

mkdir -p "$(dirname "$output")"
rm -rf "$partial"
cp -R "$work/out" "$partial"
mv "$partial" "$output"

case " ${sign[*]-} " in
  *" --pkcs12 "*) how="signed with a PKCS#12 key" ;;
  *" --pkcs11-module "*) how="signed with a key on a PKCS#11 token" ;;
  *) how=unsigned ;;
esac
[[ " ${sign[*]-} " != *" --timestamp-url "* ]] || how+=", time-stamped"
echo "release: $name from commit $commit, $how, in $output:"
sed 's/^/  /' "$output/SHA256SUMS"
