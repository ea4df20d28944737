#!/usr/bin/env bash
# Writes the release's build information to standard output: the commit, and the Debian package
# and version of every tool whose files shaped the release's bytes, found with dpkg -S from the
# files actually used (after following links, so that an alternative names its real package),
# as Debian's .buildinfo files record a package's build environment. Whoever rebuilds a release
# reads here why bytes might differ; scripts/verify-release.sh compares it with its own machine,
# and sbom.py lists the same tools in the SBOM. The same machine gives the same text.
#
# usage: build-info.sh COMMIT VERSION COMPONENTS [osslsigncode]
#   COMPONENTS  runtime-components.sh's list (the mingw-w64 and GCC runtime pieces linked in)
#   osslsigncode  given when the release's files were signed (osslsigncode wrote their bytes)
set -euo pipefail
export LC_ALL=C

die() {
  echo "build-info: $*" >&2
  exit 1
}

(($# == 3 || $# == 4)) || die "usage: build-info.sh COMMIT VERSION COMPONENTS [osslsigncode]"
commit=$1 version=$2 components=$3 signer=${4:-}
[ -r "$components" ] || die "cannot read $components"

path_of() {  # path_of COMMAND: its file, links followed
  local found
  found=$(command -v "$1") || die "$1 is not installed"
  realpath -- "$found"
}
shared_library() {  # shared_library PROGRAM NAME: the file of library NAME that PROGRAM loads
  local found
  found=$(ldd "$1" | awk -v name="$2" '$1 == name { print $3 }')
  [ -n "$found" ] || die "$1 loads no $2"
  realpath -- "$found"
}

# What each stage runs: the cross compiler and what it runs (CMake's toolchain file names the
# compilers), the build system, the MSI's builder and its libraries, the Python that finishes the
# MSI, writes the hashes and the SBOM, pefile (which reads the executables for the MSI's file
# versions and the hashes, and writes an executable's checksum when a signature is attached), and
# the zip. One at a time, so that a lookup that fails stops here.
files=()
used() {  # used FILE: FILE, links followed, is one the build ran
  [ -n "$1" ] || die "a file the build runs was not found"
  files+=("$(realpath -- "$1")")
}
compiler=x86_64-w64-mingw32-g++-posix
used "$(path_of "$compiler")"
used "$("$compiler" -print-prog-name=cc1plus)"
used "$(command -v "$("$compiler" -print-prog-name=as)")"
used "$(command -v "$("$compiler" -print-prog-name=ld)")"
used "$(path_of x86_64-w64-mingw32-windres)"
used "$(path_of cmake)"
used "$(path_of ninja)"
wixl=$(path_of wixl)
used "$wixl"
used "$(shared_library "$wixl" libmsi.so.0)"
used "$(shared_library "$wixl" libgcab-1.0.so.0)"
used /usr/bin/python3
used "$(/usr/bin/python3 -c 'import gi; print(gi.__file__)')"
used "$(/usr/bin/python3 -c 'import pefile; print(pefile.__file__)')"
used "$(/usr/bin/python3 -c 'import gi; gi.require_version("Libmsi", "1.0"); from gi.repository import Libmsi
print(gi.Repository.get_default().get_typelib_path("Libmsi"))')"
used "$(path_of zip)"
[ -z "$signer" ] || used "$(path_of osslsigncode)"

echo "Format: staged-package-removal build information 1"
echo "Source: staged-package-removal"
echo "Version: $version"
echo "Commit: $commit"
echo "Source-Date-Epoch: ${SOURCE_DATE_EPOCH:?}"
echo "Build-Architecture: $(dpkg --print-architecture)"
echo "Build-Distribution: $(. /etc/os-release && echo "$PRETTY_NAME")"
echo "Tools:"
for file in "${files[@]}"; do
  package=$(dpkg-query -S -- "$file" 2>/dev/null | head -n1 | sed 's/[:,].*//') ||
    die "$file belongs to no Debian package"
  [ -n "$package" ] || die "$file belongs to no Debian package"
  printf ' %s %s %s\n' "$package" "$(dpkg-query -W -f='${Version}' -- "$package")" "$file"
done
# The runtime pieces linked into the executables, as the notices and the SBOM give them.
echo "Runtime-Linked:"
awk -F'\t' '$4 != "-" { print " " $4 " " $5 }' "$components" | sort -u
