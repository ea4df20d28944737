#!/usr/bin/env bash
# Writes THIRD-PARTY-NOTICES.txt for a release to standard output, from the linker maps of the
# shipped executables (CMakeLists.txt links each with -Wl,-Map=<target>.map): which parts of the
# statically linked mingw-w64 and GCC runtimes each executable holds, and their licences in full.
#
# usage: third-party-notices.sh TARGET.map...
#
# A file that the linker took in counts as the project's own if its path is relative (the build
# tree's objects and archives); every other one must be a runtime piece listed below, or this
# fails, so that nothing reaches a release without its notice.
set -euo pipefail

# name ; what it is ; Debian package (extended regex) ; file name (extended regex) ; licence text
# beyond the package's copyright file. First match wins. Debian's copyright file for GCC includes
# the GCC Runtime Library Exception but points to the GPL instead of including it.
pieces=(
  "winpthreads;the POSIX threads library of mingw-w64;^mingw-w64-.*-dev$;^lib(win)?pthread\.a$;"
  "mingw-w64 C runtime;start-up code, libmingw32, libmingwex, msvcrt support, import libraries;^mingw-w64-.*-dev$;.;"
  "libstdc++;GCC's C++ library;^g\+\+-mingw-w64-;^lib(stdc\+\+|supc\+\+)\.a$;/usr/share/common-licenses/GPL-3"
  "libgcc;GCC's support library and start-up objects;^gcc-mingw-w64-;^(libgcc(_eh)?\.a|crt(begin|end)\.o)$;/usr/share/common-licenses/GPL-3"
)

die() {
  echo "third-party-notices: $*" >&2
  exit 1
}

(($# > 0)) || die "usage: third-party-notices.sh TARGET.map..."

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
while read -r package version; do version_of[$package]=$version; done < <(
  dpkg-query -W -f='${Package} ${Version}\n' -- $(printf '%s\n' "${package_of[@]}" | sort -u))

# Sets `piece` to the index in `pieces` of file name $2 from package $1.
find_piece() {
  local i name what package_re file_re extra
  for i in "${!pieces[@]}"; do
    IFS=';' read -r name what package_re file_re extra <<<"${pieces[$i]}"
    if [[ $1 =~ $package_re && $2 =~ $file_re ]]; then
      piece=$i
      return
    fi
  done
  die "no notice known for $2 (from Debian package $1): add it to $0"
}

licences=()   # licence files, each once (Debian links some packages' doc directories), in the
              # order first needed
need_licence() {
  local file known
  [ -r "$1" ] || die "cannot read the licence text $1"
  file=$(realpath -- "$1")
  for known in "${licences[@]}"; do [ "$known" != "$file" ] || return 0; done
  licences+=("$file")
}

report=""
for i in $(seq $#); do
  map=${!i}
  declare -A lines_of=() package_in=()
  # One line per archive with the number of its members that went in; an object file by name.
  while read -r count file; do
    path=${real_path_of[$file]}
    package=${package_of[$path]}
    name=$(basename "$path")
    find_piece "$package" "$name"
    package_in[$piece]=$package
    if [[ $name == *.a ]]; then
      lines_of[$piece]+="      $name ($count member$( ((count == 1)) || echo s))"$'\n'
    else
      lines_of[$piece]+="      $name"$'\n'
    fi
  done < <(cut -f1 "$work/$i.inputs" | sort | uniq -c)

  report+="$(basename "$map" .map).exe contains:"$'\n'
  absent=""
  for p in "${!pieces[@]}"; do
    IFS=';' read -r name what _ _ extra <<<"${pieces[$p]}"
    if [ -z "${lines_of[$p]:-}" ]; then
      absent+="${absent:+, }$name"
      continue
    fi
    package=${package_in[$p]}
    report+="  $name: $what"$'\n'"    from Debian package $package ${version_of[$package]}:"$'\n'
    report+=${lines_of[$p]}
    need_licence "/usr/share/doc/$package/copyright"
    [ -z "$extra" ] || need_licence "$extra"
  done
  [ -z "$absent" ] || report+="  and no part of: $absent"$'\n'
  report+=$'\n'
  unset lines_of package_in
done

cat <<'EOF'
THIRD-PARTY NOTICES

The executables in this package are statically linked with parts of the runtime libraries of the
compiler that built them: mingw-w64 and GCC, as Debian packages them. First, for each executable,
the parts that went in (as the linker's map names them); then the licence of each part in full,
from the Debian package's copyright file.

EOF
printf '%s' "$report"
for source in "${licences[@]}"; do
  echo "==============================================================================="
  echo "$source"
  echo "==============================================================================="
  cat "$source"
  echo
done
