#!/usr/bin/env bash
# Lists, from the linker maps of the shipped executables (CMakeLists.txt links each with
# -Wl,-Map=<target>.map), which parts of the statically linked mingw-w64 and GCC runtimes each
# executable holds: the one source of both THIRD-PARTY-NOTICES.txt (third-party-notices.sh) and
# the release's SBOM (sbom.py), so that the two cannot disagree.
#
# usage: runtime-components.sh TARGET.map...
#
# Writes one tab-separated line for each executable and each runtime piece below, in the maps'
# order and the table's, "-" standing for an empty field:
#   executable  piece  what-it-is  debian-package  version  spdx-licence  linked-files  licence-files
# where linked-files are "libx.a (N members)" or "crtx.o", and licence-files the texts that the
# notices give in full, each list joined with ";". A piece that the executable does not hold has
# "-" from debian-package on.
#
# A file that the linker took in counts as the project's own if its path is relative (the build
# tree's objects and archives); every other one must be a runtime piece listed below, or this
# fails, so that nothing reaches a release without its notice.
set -euo pipefail

# name ; what it is ; Debian package (extended regex) ; file name (extended regex) ; SPDX licence
# expression ; licence text beyond the package's copyright file. First match wins.
# The expressions are those of the Debian copyright file's stanzas for the sources these pieces
# are built from (mingw-w64-crt/, mingw-w64-libraries/winpthreads/, GCC's runtime libraries);
# public-domain files have no SPDX identifier. Debian's copyright file for GCC includes the GCC
# Runtime Library Exception but points to the GPL instead of including it.
pieces=(
  "winpthreads;the POSIX threads library of mingw-w64;^mingw-w64-.*-dev$;^lib(win)?pthread\.a$;MIT AND BSD-3-Clause AND LicenseRef-public-domain;"
  "mingw-w64 C runtime;start-up code, libmingw32, libmingwex, msvcrt support, import libraries;^mingw-w64-.*-dev$;.;ZPL-2.1 AND BSD-2-Clause AND BSD-3-Clause AND ISC AND LicenseRef-public-domain;"
  "libstdc++;GCC's C++ library;^g\+\+-mingw-w64-;^lib(stdc\+\+|supc\+\+)\.a$;GPL-3.0-or-later WITH GCC-exception-3.1;/usr/share/common-licenses/GPL-3"
  "libgcc;GCC's support library and start-up objects;^gcc-mingw-w64-;^(libgcc(_eh)?\.a|crt(begin|end)\.o)$;GPL-3.0-or-later WITH GCC-exception-3.1;/usr/share/common-licenses/GPL-3"
)

die() {
  echo "runtime-components: $*" >&2
  exit 1
}
source "$(dirname "$0")/common.sh"
# The order of every list below is the C locale's, whatever the caller's.
export LC_ALL=C

(($# > 0)) || die "usage: runtime-components.sh TARGET.map..."

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The third-party inputs of one link, "path<TAB>member" a line ("-" for a whole object file):
# archive members from the map's "Archive member included" part, and the object files of its
# LOAD lines (an archive on a LOAD line was only searched, not necessarily used).
linked_inputs() {
  awk '
    /^Archive member included/ { in_members = 1; next }
    /^(Discarded input sections|Memory Configuration|Allocating common symbols)/ { in_members = 0 }
    in_members && /^\// && match($1, /\([^()]*\)$/) {
      print substr($1, 1, RSTART - 1) "\t" substr($1, RSTART + 1, RLENGTH - 2)
    }
    /^LOAD \// && $2 ~ /\.o$/ { print $2 "\t-" }
  ' "$1" | sort -u
}

for i in $(seq $#); do
  map=${!i}
  [ -r "$map" ] || die "cannot read $map"
  linked_inputs "$map" >"$work/$i.inputs"
  [ -s "$work/$i.inputs" ] || die "$map names no runtime input: is it a linker map?"
done

# Each input file's own path, Debian package and version, asked of dpkg once for all of them.
mapfile -t files < <(cut -f1 "$work"/*.inputs | sort -u)
mapfile -t real_paths < <(realpath -m -- "${files[@]}")
declare -A real_path_of package_of version_of
for i in "${!files[@]}"; do real_path_of[${files[$i]}]=${real_paths[$i]}; done
while IFS= read -r line; do
  package_of[${line#*: }]=${line%%[:,]*}
done < <(dpkg-query -S -- "${real_paths[@]}" 2>/dev/null || true)
for path in "${real_paths[@]}"; do
  [ -n "${package_of[$path]:-}" ] || die "$path belongs to no Debian package: add its notice to $0"
done
mapfile -t packages < <(printf '%s\n' "${package_of[@]}" | sort -u)
while read -r package version; do version_of[$package]=$version; done < <(
  dpkg-query -W -f='${Package} ${Version}\n' -- "${packages[@]}")

# Sets `piece` to the index in `pieces` of file name $2 from package $1.
find_piece() {
  local i name what package_re file_re spdx extra
  for i in "${!pieces[@]}"; do
    IFS=';' read -r name what package_re file_re spdx extra <<<"${pieces[$i]}"
    if [[ $1 =~ $package_re && $2 =~ $file_re ]]; then
      piece=$i
      return
    fi
  done
  die "no notice known for $2 (from Debian package $1): add it to $0"
}

for i in $(seq $#); do
  map=${!i}
  declare -A files_of=() package_in=()
  # One entry per archive with the number of its members that went in; an object file by name.
  while read -r count file; do
    path=${real_path_of[$file]}
    package=${package_of[$path]}
    name=$(basename "$path")
    find_piece "$package" "$name"
    package_in[$piece]=$package
    if [[ $name == *.a ]]; then
      files_of[$piece]+="${files_of[$piece]:+;}$name ($count member$( ((count == 1)) || echo s))"
    else
      files_of[$piece]+="${files_of[$piece]:+;}$name"
    fi
  done < <(cut -f1 "$work/$i.inputs" | sort | uniq -c)

  executable=$(basename "$map" .map).exe
  for p in "${!pieces[@]}"; do
    IFS=';' read -r name what _ _ spdx extra <<<"${pieces[$p]}"
    if [ -z "${files_of[$p]:-}" ]; then
      printf '%s\t%s\t%s\t-\t-\t-\t-\t-\n' "$executable" "$name" "$what"
      continue
    fi
    package=${package_in[$p]}
    # Debian links some packages' doc directories, so one licence file can have several paths.
    readable "/usr/share/doc/$package/copyright" "licence text"
    licences=$(realpath -- "/usr/share/doc/$package/copyright")
    if [ -n "$extra" ]; then
      readable "$extra" "licence text"
      licences+=";$(realpath -- "$extra")"
    fi
    printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$executable" "$name" "$what" "$package" \
      "${version_of[$package]}" "$spdx" "${files_of[$p]}" "$licences"
  done
  unset files_of package_in
done
