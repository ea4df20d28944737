#!/usr/bin/env bash
# Lays out what a release ships (packaging/shipped-files.txt) from a windows-x64 build, as the zip
# holds it: each file under OUT_DIR at its path. Writes to COMPONENTS the runtime pieces that the
# executables hold (runtime-components.sh), the one list that the notices here and the release's
# SBOM are both written from, so that the two cannot disagree.
#
# usage: stage-files.sh BUILD_DIR OUT_DIR COMPONENTS
set -euo pipefail

die() {
  echo "stage-files: $*" >&2
  exit 1
}

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
source "$here/common.sh"
(($# == 3)) || die "usage: stage-files.sh BUILD_DIR OUT_DIR COMPONENTS"
build=$1 out=$2 components=$3

rows=$(shipped_files)
maps=()
while read -r path source _; do
  [[ $source != target:* ]] || maps+=("$build/${source#target:}.map")
done <<<"$rows"
((${#maps[@]})) || die "packaging/shipped-files.txt names no executable"
bash "$here/runtime-components.sh" "${maps[@]}" >"$components" ||
  die "no runtime components from the linker maps"

while read -r path source _; do
  mkdir -p "$out/$(dirname "$path")"
  case $source in
    target:*)
      readable "$build/${source#target:}.exe" executable
      cp "$build/${source#target:}.exe" "$out/$path"
      ;;
    notices) bash "$here/third-party-notices.sh" "$components" >"$out/$path" || die "no notices" ;;
    *)
      readable "$root/$source" file
      cp "$root/$source" "$out/$path"
      ;;
  esac
done <<<"$rows"
