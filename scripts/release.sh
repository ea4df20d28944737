#!/usr/bin/env bash
# Builds a release of the committed HEAD: exports it with git archive into a fresh temporary
# directory (so that nothing uncommitted can leak in), builds the shipped executables there, lays
# out what packaging/shipped-files.txt lists, signs it if asked, and writes to build/release/ (or
# --output DIR):
#   staged-package-removal-<version>-win64.zip   every shipped file, under one folder
#   the files the list puts beside the zip       the executables and deploy/*.ps1, the zip's bytes
#   staged-package-removal-<version>-x64.msi     the Windows Installer package (build-msi.sh)
#   AUTHENTICODE-SHA256                          each executable's Authenticode hash, for hash
#                                                rules; the same signed or unsigned
#   staged-package-removal-<version>.buildinfo   the commit, and the Debian package and version
#                                                of every tool that shaped these bytes
#   staged-package-removal-<version>.cdx.json    the SBOM (CycloneDX): the files, the runtime
#                                                pieces in each executable, as in the notices,
#                                                and the tools
#   SHA256SUMS                                   all of the above, for sha256sum -c
# The same commit gives the same bytes wherever and whenever it is built on a machine with the
# same Debian packages (CMakeLists.txt says how for the executables; the zip is made below).
#
# Nothing is removed before it must be: the arguments, the key and the tools are checked first,
# the release is built beside the output directory, and an earlier release there is replaced only
# by a complete new one. A run that fails for any reason leaves the earlier release as it was.
#
# usage: bash scripts/release.sh [--output DIR] [--windows-build DIR] [KEY... | --signatures DIR]
#   KEY             the signing options, handed unchanged to packaging/sign-files.sh (its --help
#                   says what they are): everything the release ships that Windows checks
#                   signatures of is signed (Authenticode, SHA-256), and each signature is
#                   verified before the release is written
#   --windows-build DIR
#                   package the executables of DIR, a windows-x64 build of this same commit,
#                   instead of building them (the tests build once and package many times)
#   --signatures DIR
#                   instead of signing, attach to each file PATH the signature DIR/PATH.p7s, if
#                   there is one (packaging/copy-signatures.sh): scripts/verify-release.sh
#                   rebuilds a published release this way, with the signatures it took out of
#                   it and checked, to compare it byte for byte
set -euo pipefail
# Sorted lists and messages the same whatever the caller's locale.
export LC_ALL=C
caller=$PWD
cd "$(dirname "$0")/.."
root=$PWD

die() {
  echo "release: $*" >&2
  exit 1
}
# usage_of and listed_in, this checkout's; what the release packages comes from the commit's.
source packaging/common.sh

output=$root/build/release windows_build="" signatures="" sign=()
while (($#)); do
  case $1 in
    --output | --windows-build | --signatures)
      (($# >= 2)) || die "$1 needs a value; nothing was released"
      value=$(cd "$caller" && realpath -m -- "$2")
      case $1 in
        --output) output=$value ;;
        --windows-build) windows_build=$value ;;
        --signatures) signatures=$value ;;
      esac
      shift 2
      ;;
    -h | --help)
      usage_of "$0"
      exit 0
      ;;
    *)
      sign+=("$1")
      shift
      ;;
  esac
done

# The tools, before anything else: a machine without them can make no release.
missing=()
for tool in git cmake ninja x86_64-w64-mingw32-g++ wixl msiinfo zip sha256sum /usr/bin/python3; do
  command -v "$tool" >/dev/null || missing+=("$tool")
done
((${#sign[@]} == 0)) && [ -z "$signatures" ] || command -v osslsigncode >/dev/null ||
  missing+=(osslsigncode)
((${#missing[@]} == 0)) || die "missing ${missing[*]} (bash scripts/setup.sh); nothing was released"
# A run stopped between moving an earlier release aside and moving the new one in left it beside
# the output directory: it goes back first.
earlier=$output.earlier
if [ -e "$earlier" ] && [ ! -e "$output" ]; then
  mv "$earlier" "$output"
  echo "release: note: put back the earlier release that a stopped run left in $earlier"
fi
# Only a directory that holds a release and nothing else (SHA256SUMS and the files it lists), or
# nothing, is ever replaced: --output may be mistyped, or name a folder of other downloads.
is_release() {  # is_release DIR
  local listed
  [ -f "$1/SHA256SUMS" ] && listed=$(listed_in "$1/SHA256SUMS") &&
    [ "$(cd "$1" && find . -type f -printf '%P\n' | sort)" = "$( (echo SHA256SUMS; echo "$listed") | sort)" ]
}
if [ -e "$output" ]; then
  [ -d "$output" ] && { [ -z "$(ls -A "$output")" ] || is_release "$output"; } ||
    die "will not replace $output: it is not an earlier release (SHA256SUMS and the files it lists, nothing else); nothing was released"
fi
# A build of this commit's sources: it is packaged as this commit's, so it may hold no change that
# is not committed.
[ -z "$windows_build" ] || [ -z "$(git status --porcelain --untracked-files=no)" ] ||
  die "--windows-build packages a build of the working tree, which has changes that are not committed; nothing was released"
[ -z "$windows_build" ] || [ -f "$windows_build/project-version.txt" ] ||
  die "$windows_build is not a windows-x64 build (no project-version.txt); nothing was released"
[ -z "$signatures" ] || ((${#sign[@]} == 0)) ||
  die "sign with a key or attach given signatures, not both; nothing was released"
[ -z "$signatures" ] || [ -d "$signatures" ] ||
  die "no folder of signatures $signatures; nothing was released"

work=$(mktemp -d "${TMPDIR:-/tmp}/spr-release.XXXXXX")
new=$output.partial
# Whatever stops the run, the earlier release is where it was.
cleanup() {
  rm -rf "$work" "$new"
  if [ -e "$earlier" ] && [ ! -e "$output" ]; then mv "$earlier" "$output"; fi
}
trap cleanup EXIT
mkdir "$work/src" "$work/package" "$work/out"
git archive --format=tar HEAD | tar -x -C "$work/src"
src=$work/src
commit=$(git rev-parse --verify HEAD)
# shipped_files, from the commit being released.
source "$src/packaging/common.sh"
rows=$(shipped_files)

# The signing script of the commit being released says what a complete key is. Run from the
# caller's directory, so that the key's paths mean what the caller meant.
sign_files() {
  (cd "$caller" && bash "$src/packaging/sign-files.sh" "$@")
}
if ((${#sign[@]})); then
  how=$(sign_files --check "${sign[@]}" 2>&1) || die "${how#sign-files: }; nothing was released"
elif [ -n "$signatures" ]; then
  how="with the signatures in $signatures"
else
  how=unsigned
fi

echo "release: building commit $commit ($(git log -1 --format=%s HEAD))"
[ -z "$(git status --porcelain)" ] ||
  echo "release: note: the working tree has changes that are not committed; they are not in this release"
# The date every file of the release carries: the commit's, unless the caller fixes one.
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct HEAD)}

# From the list: what to build, what to sign, what goes beside the zip.
targets=() signed=() beside=()
while read -r path source is_signed is_beside _; do
  [[ $source != target:* ]] || targets+=("${source#target:}")
  [ "$is_signed" != yes ] || signed+=("$path")
  [ "$is_beside" != yes ] || beside+=("$path")
done <<<"$rows"
((${#targets[@]})) || die "packaging/shipped-files.txt names no executable; nothing was released"
if [ -n "$windows_build" ]; then
  build=$windows_build
  # Its PE time stamps are the date it was configured with (CMakeLists.txt): a build configured at
  # another commit would not give this commit's bytes.
  [ "$(cat "$build/source-date-epoch.txt" 2>/dev/null)" = "$SOURCE_DATE_EPOCH" ] ||
    die "$build was configured for another source date than $SOURCE_DATE_EPOCH (configure it again); nothing was released"
  echo "release: the executables are those of $build"
else
  build=$src/build/windows-x64
  if ! (cd "$src" &&
        cmake --preset windows-x64 -DSPR_BUILD_TESTS=OFF &&
        cmake --build --preset windows-x64 --target "${targets[@]}") >"$work/build.log" 2>&1; then
    cat "$work/build.log" >&2
    die "the build failed; nothing was released"
  fi
fi
version=$(cat "$build/project-version.txt")
name=staged-package-removal-$version-win64

package=$work/package/$name
bash "$src/packaging/stage-files.sh" "$build" "$package" "$work/components.tsv" ||
  die "the shipped files could not be laid out; nothing was released"
# Whether osslsigncode wrote any byte of the release, for the build information.
signer=""
copy_signatures() {  # copy_signatures TO PATH...: --signatures' signatures attached
  local to=$1 copied
  shift
  copied=$(bash "$src/packaging/copy-signatures.sh" "$signatures" "$to" "$@") ||
    die "the signatures in $signatures could not be attached; nothing was released"
  [ -z "$copied" ] || signer=osslsigncode
}
if ((${#sign[@]})); then
  sign_files "${sign[@]}" "${signed[@]/#/$package/}" || die "signing failed; nothing was released"
  signer=osslsigncode
elif [ -n "$signatures" ]; then
  copy_signatures "$package" "${signed[@]}"
fi

# The Windows Installer package, of the files just laid out (the signed executables when
# signing), and then signed itself.
msi=staged-package-removal-$version-x64.msi
bash "$src/packaging/build-msi.sh" "$version" "$package" "$work/out/$msi" ||
  die "the MSI could not be built; nothing was released"
if ((${#sign[@]})); then
  sign_files "${sign[@]}" "$work/out/$msi" || die "signing the MSI failed; nothing was released"
elif [ -n "$signatures" ]; then
  copy_signatures "$work/out" "$msi"
fi

# The zip's bytes depend only on its files: fixed modes and times (the source date, written in UTC
# since zip stores local time), names in a fixed order, no directory entries, and no extra fields
# (-X: owner ids, further time stamps).
find "$work/package" -type d -exec chmod 0755 {} +
find "$work/package" -type f -exec chmod 0644 {} +
find "$work/package" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
(cd "$work/package" && find "$name" -type f | sort |
  TZ=UTC zip -X -D -9 -q -@ "$work/out/$name.zip")

executables=()
for path in "${beside[@]}"; do
  mkdir -p "$work/out/$(dirname "$path")"
  cp "$package/$path" "$work/out/$path"
  [[ $path != *.exe ]] || executables+=("$path")
done
# App Control and AppLocker hash rules match this hash, not the file's SHA-256.
/usr/bin/python3 "$src/packaging/authenticode-sha256.py" "${executables[@]/#/$work/out/}" \
  >"$work/out/AUTHENTICODE-SHA256" || die "no Authenticode hashes; nothing was released"
build_info=staged-package-removal-$version.buildinfo
bash "$src/packaging/build-info.sh" "$commit" "$version" "$work/components.tsv" $signer \
  >"$work/out/$build_info" || die "no build information; nothing was released"
sbom=staged-package-removal-$version.cdx.json
shipped=("$name.zip" "${beside[@]}" "$msi")
(cd "$work/out" && /usr/bin/python3 "$src/packaging/sbom.py" --version "$version" --commit "$commit" \
  --components "$work/components.tsv" --build-info "$build_info" "${shipped[@]}" >"$sbom") ||
  die "no SBOM; nothing was released"
(cd "$work/out" && sha256sum -- "${shipped[@]}" AUTHENTICODE-SHA256 "$build_info" "$sbom" >SHA256SUMS &&
  sha256sum --quiet -c SHA256SUMS) || die "SHA256SUMS does not hold; nothing was released"

# Complete: the new release goes beside the output directory, then takes its place.
mkdir -p "$(dirname "$output")"
rm -rf "$new" "$earlier"
cp -R "$work/out" "$new"
[ ! -e "$output" ] || mv "$output" "$earlier"
mv "$new" "$output" || die "could not move the new release into $output; the earlier one stays"
rm -rf "$earlier"

echo "release: $name from commit $commit, $how, in $output:"
sed 's/^/  /' "$output/SHA256SUMS"
