#!/usr/bin/env bash
# Writes THIRD-PARTY-NOTICES.txt for a release to standard output, from what
# runtime-components.sh found in the linker maps: which parts of the statically linked mingw-w64
# and GCC runtimes each executable holds, and their licences in full, each text once.
#
# usage: third-party-notices.sh COMPONENTS   (runtime-components.sh's output)
set -euo pipefail

die() {
  echo "third-party-notices: $*" >&2
  exit 1
}

(($# == 1)) || die "usage: third-party-notices.sh COMPONENTS"
[ -s "$1" ] || die "$1 lists no component"

licences=()   # in the order first needed
need_licence() {
  local known
  for known in "${licences[@]}"; do [ "$known" != "$1" ] || return 0; done
  [ -r "$1" ] || die "cannot read the licence text $1"
  licences+=("$1")
}

report="" current="" absent=""
end_executable() {
  [ -z "$current" ] && return
  [ -z "$absent" ] || report+="  and no part of: $absent"$'\n'
  report+=$'\n'
}
while IFS=$'\t' read -r executable name what package version _ files licence_files; do
  if [ "$executable" != "$current" ]; then
    end_executable
    current=$executable absent=""
    report+="$executable contains:"$'\n'
  fi
  if [ "$package" = - ]; then
    absent+="${absent:+, }$name"
    continue
  fi
  report+="  $name: $what"$'\n'"    from Debian package $package $version:"$'\n'
  IFS=';' read -ra file_list <<<"$files"
  report+=$(printf '      %s\n' "${file_list[@]}")$'\n'
  IFS=';' read -ra licence_list <<<"$licence_files"
  for licence in "${licence_list[@]}"; do need_licence "$licence"; done
done <"$1"
end_executable

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
