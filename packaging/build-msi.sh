#!/usr/bin/env bash
# Builds the Windows Installer package (packaging/staged-package-removal.wxs) with wixl from a
# folder laid out by stage-files.sh: each file that packaging/shipped-files.txt gives an MSI
# component becomes one component of the group "Shipped", written here from that list; then
# finish-msi.py adds through libmsi what wixl 0.101 cannot author (file versions, the upgrade of
# the same version, the summary's package code and times).
#
# Reproducible: the same inputs and SOURCE_DATE_EPOCH give the same bytes. Every distinct package
# has its own product code and package code, so that Windows Installer never meets two packages
# of one product code that differ (it refuses the second with 1638, ERROR_PRODUCT_VERSION), and a
# package of the same version replaces the installed one as a major upgrade does:
# - both are name-based UUIDs (version 5, SHA-1) in the UpgradeCode's namespace, of "ProductCode"
#   and "PackageCode" with the version and everything that makes the package: the SHA-256 of each
#   file packaged, of the .wxs, of the component group written from the list and of the two
#   scripts that build it, the Debian versions of wixl, libmsi and libgcab, and the source date.
#   The same MSI built twice is one product; a signed release and its unsigned pilot, or a
#   rebuild from another commit, are two.
# - wixl writes a random package code and the build time into the summary information, and the
#   cabinet keeps each file's time: the files are packaged with the time SOURCE_DATE_EPOCH (UTC),
#   and finish-msi.py writes the summary's package code and times.
#
# usage: SOURCE_DATE_EPOCH=SECONDS build-msi.sh VERSION STAGED_DIR OUTPUT.msi
set -euo pipefail

die() {
  echo "build-msi: $*" >&2
  exit 1
}

(($# == 3)) || die "usage: SOURCE_DATE_EPOCH=SECONDS build-msi.sh VERSION STAGED_DIR OUTPUT.msi"
version=$1 staged=$2 output=$3
[[ ${SOURCE_DATE_EPOCH:-} =~ ^[0-9]+$ ]] || die "SOURCE_DATE_EPOCH must be set (seconds since 1970)"
# ProductVersion: major.minor.build, at most 255.255.65535 (Windows Installer's ProductVersion).
[[ $version =~ ^([0-9]+)\.([0-9]+)\.([0-9]+)$ ]] && ((BASH_REMATCH[1] <= 255 &&
  BASH_REMATCH[2] <= 255 && BASH_REMATCH[3] <= 65535)) ||
  die "version $version is not major.minor.build within 255.255.65535"
command -v wixl >/dev/null || die "wixl is not installed (bash scripts/setup.sh)"
# Debian's python3 has the libmsi bindings; another python3 first on PATH may not.
python=/usr/bin/python3
"$python" -c 'import gi; gi.require_version("Libmsi", "1.0")' 2>/dev/null ||
  die "no libmsi bindings for $python (bash scripts/setup.sh)"

here=$(cd "$(dirname "$0")" && pwd)
source "$here/common.sh"
source_file=$here/staged-package-removal.wxs
work=$(mktemp -d "${TMPDIR:-/tmp}/spr-msi.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir "$work/payload"

# One component a file, Id and GUID from the list; the file goes to the payload under its name.
rows=$(shipped_files)
files=()
{
  echo '<?xml version="1.0" encoding="utf-8"?>'
  echo '<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi"><Fragment>'
  echo '  <ComponentGroup Id="Shipped" Directory="InstallFolder">'
  while read -r path _ _ _ component guid short_name; do
    [ "$component" != - ] || continue
    name=$(basename "$path")
    [ -f "$staged/$path" ] || die "no $path in $staged"
    cp "$staged/$path" "$work/payload/$name"
    files+=("$name")
    [ "$short_name" = "$name" ] || name="$short_name|$name"
    echo "    <Component Id=\"$component\" Guid=\"$guid\" Win64=\"yes\">"
    echo "      <File Id=\"$component\" Name=\"$name\" KeyPath=\"yes\" Source=\"payload/$(basename "$path")\"/>"
    echo "    </Component>"
  done <<<"$rows"
  echo '  </ComponentGroup>'
  echo '</Fragment></Wix>'
} >"$work/shipped.wxs"
((${#files[@]})) || die "packaging/shipped-files.txt gives the MSI no file"
chmod 0644 "$work/payload/"*
touch -d "@$SOURCE_DATE_EPOCH" "$work/payload/"*

upgrade_code=$(sed -n 's/.*UpgradeCode="\([0-9A-Fa-f-]*\)".*/\1/p' "$source_file")
[ -n "$upgrade_code" ] || die "no UpgradeCode in $source_file"
# Everything that makes the package: each input by its SHA-256, the tools that write it by their
# Debian versions, and the date its files and summary carry.
inputs=$( (cd "$work/payload" && sha256sum -- "${files[@]}") &&
  (cd "$work" && sha256sum shipped.wxs) &&
  (cd "$here" && sha256sum staged-package-removal.wxs build-msi.sh finish-msi.py pe_image.py) &&
  dpkg-query -W -f='${Package} ${Version}\n' wixl libmsi0 libgcab-1.0-0 gir1.2-libmsi-1.0 &&
  echo "SOURCE_DATE_EPOCH $SOURCE_DATE_EPOCH")
code() {  # code NAME: the name-based UUID of NAME in the UpgradeCode's namespace, braced
  "$python" -c 'import sys, uuid; print("{%s}" % str(uuid.uuid5(uuid.UUID(sys.argv[1]), sys.argv[2])).upper())' \
    "$upgrade_code" "$1"
}
product_code=$(code "ProductCode $version"$'\n'"$inputs")
package_code=$(code "PackageCode $version"$'\n'"$inputs")

# wixl finds sources only by relative paths.
(cd "$work" && TZ=UTC wixl --arch x64 -D "Version=$version" -D "ProductCode=$product_code" \
  -o package.msi "$source_file" shipped.wxs) 2>"$work/wixl.log" || {
  cat "$work/wixl.log" >&2
  die "wixl failed"
}
# wixl warns about nothing this source uses; any warning is a change worth reading.
[ ! -s "$work/wixl.log" ] || { cat "$work/wixl.log" >&2; die "wixl warned"; }

"$python" "$here/finish-msi.py" "$work/package.msi" "$work/payload" "$package_code" "$SOURCE_DATE_EPOCH" ||
  die "finish-msi.py failed"

mv "$work/package.msi" "$output"
