#!/usr/bin/env bash
# packaging/runtime-components.sh and third-party-notices.sh, as a release runs them, on the
# Windows build's own linker maps: the notices name the runtime pieces that each link really
# took in, give each licence text once, and the components stop on an input that no notice
# covers.
#
# usage: third_party_notices_test.sh PACKAGING_DIR BUILD_DIR
set -euo pipefail
set -f  # the patterns below are regexes, never file names
packaging=$1
build=$2
source "$(dirname "$0")/../harness/harness.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A copy of a map with one more archive member in its "Archive member included" part.
with_member() {  # with_member MAP ARCHIVE(MEMBER) -> path of the copy
  local copy
  copy=$work/$(basename "$1" .map)-plus-$RANDOM.map
  sed "/^Archive member included/a $2\\
                              CMakeFiles/x.obj (symbol)" "$1" >"$copy"
  echo "$copy"
}
product=$build/staged-package-removal.map
gtest=$build/end_to_end_test.map
printf 'not a linker map\n' >"$work/not-a-map.map"

# notices_case NAME STATUS PRESENT ABSENT MAP...: runtime-components.sh on the maps, then
# third-party-notices.sh, end with STATUS; PRESENT are extended regexes (";;" between them) that
# some line must match, ABSENT ones that no line may.
notices_case() {
  local status=$2 present=$3 absent=$4 actual pattern repeated
  begin_case "$1"
  shift 4
  rm -f "$work/out"
  set +e
  bash "$packaging/runtime-components.sh" "$@" >"$work/components" 2>"$work/err" &&
    bash "$packaging/third-party-notices.sh" "$work/components" >"$work/out" 2>>"$work/err"
  actual=$?
  set -e
  cat "$work/err" >>"$work/out"
  [ "$actual" -eq "$status" ] || fail "exit status $actual: $(head -c 300 "$work/err")"
  while IFS= read -r pattern; do
    [ -z "$pattern" ] || grep -Eq -- "$pattern" "$work/out" || fail "no line matches: $pattern"
  done <<<"${present//;;/$'\n'}"
  while IFS= read -r pattern; do
    [ -z "$pattern" ] || ! grep -Eq -- "$pattern" "$work/out" || fail "a line matches: $pattern"
  done <<<"${absent//;;/$'\n'}"
  # Each licence text once: the line under each separator names its source.
  repeated=$(awk '/^=+$/ { getline; if (/^\//) print }' "$work/out" | sort | uniq -d)
  [ -z "$repeated" ] || fail "licence given more than once: $repeated"
}

notices_case "the product holds the C runtime and libgcc, nothing of libstdc++ or winpthreads" 0 \
  '^staged-package-removal.exe contains:$;;^  mingw-w64 C runtime: ;;^      crt2u?\.o$;;^      libmingw32\.a \([0-9]+ members\)$;;^  libgcc: ;;^      crtbegin\.o$;;^      libgcc\.a \([0-9]+ members?\)$;;^  and no part of: winpthreads, libstdc\+\+$;;^/usr/share/doc/mingw-w64-x86-64-dev/copyright$;;^License: ZPL-2\.1$;;^GCC RUNTIME LIBRARY EXCEPTION$;;^ *GNU GENERAL PUBLIC LICENSE$;;^ *Version 3, 29 June 2007$' \
  '^  libstdc\+\+: ;;^  winpthreads: ' \
  "$product"
notices_case "an executable using the C++ library and threads (gtest) holds libstdc++ and winpthreads" 0 \
  '^end_to_end_test.exe contains:$;;^  libstdc\+\+: ;;^      libstdc\+\+\.a \([0-9]+ members\)$;;^  winpthreads: ;;^      lib(win)?pthread\.a \([0-9]+ members?\)$' \
  'and no part of' \
  "$gtest"
notices_case "two executables: a section each, each licence once" 0 \
  '^staged-package-removal.exe contains:$;;^end_to_end_test.exe contains:$' '' \
  "$product" "$gtest"
notices_case "an archive with no notice (libquadmath, LGPL) stops it" 1 \
  'no notice known for libquadmath\.a' '' \
  "$(with_member "$product" "/usr/lib/gcc/x86_64-w64-mingw32/12-posix/libquadmath.a(quadmath.o)")"
notices_case "a file from no Debian package stops it" 1 \
  '/opt/vendor/lib/libvendor\.a belongs to no Debian package' '' \
  "$(with_member "$product" "/opt/vendor/lib/libvendor.a(vendor.o)")"
notices_case "a file that is not a linker map stops it" 1 'names no runtime input' '' \
  "$work/not-a-map.map"
# A map in a folder whose path holds a blank is still one map.
mkdir "$work/with blank"
cp "$product" "$work/with blank/"
notices_case "a map whose path holds a blank is read" 0 '^staged-package-removal.exe contains:$' '' \
  "$work/with blank/$(basename "$product")"

end_suite "third-party notices"
