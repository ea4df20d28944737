# shellcheck shell=bash
# Sourced by the packaging scripts, after they define die (each says who it is).

# shipped_files: the rows of packaging/shipped-files.txt, without comments and blank lines; read
# them with `read -r path source signed beside component guid short_name`.
shipped_files() {
  local manifest
  manifest=$(dirname "${BASH_SOURCE[0]}")/shipped-files.txt
  [ -r "$manifest" ] || die "cannot read $manifest"
  LC_ALL=C grep -v -e '^#' -e '^[[:space:]]*$' "$manifest"
}

# readable FILE WHAT: dies unless FILE is a file that can be read.
readable() {
  [ -f "$1" ] && [ -r "$1" ] || die "cannot read the $2 $1"
}
