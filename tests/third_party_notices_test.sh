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
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A copy of a map with one more archive member in its "Archive member included" part.
with_member() {  # with_member MAP ARCHIVE(MEMBER) -> path of the copy
  local copy=$work/$(basename "$1" .map)-plus-$RANDOM.map
  sed "/^Archive member included/a $2\\
                              CMakeFiles/x.obj (symbol)" "$1" >"$copy"
  echo "$copy"
}
product=$build/staged-package-removal.map
gtest=$build/end_to_end_test.map
printf 'not a linker map\n' >"$work/not-a-map.map"

# name | maps | exit status | lines that must be there (extended regexes, ";;" between) |
# lines that must not
cases=(
  "the product holds the C runtime and libgcc, nothing of libstdc++ or winpthreads
   |$product|0
   |^staged-package-removal.exe contains:$;;^  mingw-w64 C runtime: ;;^      crt2u?\.o$;;^      libmingw32\.a \([0-9]+ members\)$;;^  libgcc: ;;^      crtbegin\.o$;;^      libgcc\.a \([0-9]+ members?\)$;;^  and no part of: winpthreads, libstdc\+\+$;;^/usr/share/doc/mingw-w64-x86-64-dev/copyright$;;^License: ZPL-2\.1$;;^GCC RUNTIME LIBRARY EXCEPTION$;;^ *GNU GENERAL PUBLIC LICENSE$;;^ *Version 3, 29 June 2007$
   |^  libstdc\+\+: ;;^  winpthreads: "
  "an executable using the C++ library and threads (gtest) holds libstdc++ and winpthreads
   |$gtest|0
   |^end_to_end_test.exe contains:$;;^  libstdc\+\+: ;;^      libstdc\+\+\.a \([0-9]+ members\)$;;^  winpthreads: ;;^      lib(win)?pthread\.a \([0-9]+ members?\)$
   |and no part of"
  "two executables: a section each, each licence once
   |$product $gtest|0
   |^staged-package-removal.exe contains:$;;^end_to_end_test.exe contains:$
   |"
  "an archive with no notice (libquadmath, LGPL) stops it
   |$(with_member "$product" "/usr/lib/gcc/x86_64-w64-mingw32/12-posix/libquadmath.a(quadmath.o)")|1
   |no notice known for libquadmath\.a
   |"
  "a file from no Debian package stops it
   |$(with_member "$product" "/opt/vendor/lib/libvendor.a(vendor.o)")|1
   |/opt/vendor/lib/libvendor\.a belongs to no Debian package
   |"
  "a file that is not a linker map stops it
   |$work/not-a-map.map|1
   |names no runtime input
   |"
)

failures=0
fail() {
  echo "FAIL [$name]: $*" >&2
  failed=1
}

trim() {
  local text=$1
  text=${text#"${text%%[![:space:]]*}"}
  printf '%s' "${text%"${text##*[![:space:]]}"}"
}

patterns() {  # patterns FIELD -> one trimmed regex a line
  local pattern
  while IFS= read -r pattern; do
    pattern=$(trim "$pattern")
    [ -z "$pattern" ] || echo "$pattern"
  done <<<"${1//;;/$'\n'}"
}

for entry in "${cases[@]}"; do
  IFS='|' read -r -d '' name maps status present absent <<<"$entry" || true
  name=$(trim "$name")
  failed=0
  read -ra map_list <<<"$maps"
  rm -f "$work/out"
  set +e
  bash "$packaging/runtime-components.sh" "${map_list[@]}" >"$work/components" 2>"$work/err" &&
    bash "$packaging/third-party-notices.sh" "$work/components" >"$work/out" 2>>"$work/err"
  actual=$?
  set -e
  cat "$work/err" >>"$work/out"
  [ "$actual" -eq "$(trim "$status")" ] || fail "exit status $actual: $(head -c 300 "$work/err")"
  while IFS= read -r pattern; do
    grep -Eq -- "$pattern" "$work/out" || fail "no line matches: $pattern"
  done < <(patterns "$present")
  while IFS= read -r pattern; do
    ! grep -Eq -- "$pattern" "$work/out" || fail "a line matches: $pattern"
  done < <(patterns "$absent")
  # Each licence text once: the line under each separator names its source.
  repeated=$(awk '/^=+$/ { getline; if (/^\//) print }' "$work/out" | sort | uniq -d)
  [ -z "$repeated" ] || fail "licence given more than once: $repeated"
  if ((failed)); then failures=$((failures + 1)); else echo "ok: $name"; fi
done

echo "third-party notices: $((${#cases[@]} - failures)) of ${#cases[@]} cases passed"
((failures == 0))
