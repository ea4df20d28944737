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

# usage_of SCRIPT: the comment at the top of SCRIPT, after its #! line, up to set -euo pipefail,
# without its "# ": every script's --help.
usage_of() {
  sed -n '2,/^set -euo/p' "$1" | sed '$d; s/^# \{0,1\}//'
}

# listed_in SUMS: the names that SHA256SUMS file SUMS lists, one a line, in its order; fails for a
# line that is not "<64 hex digits><two spaces><name>" as release.sh writes it, with a name that
# is a relative path of printable ASCII without blanks, backslashes, "." or ".." components, and
# for a name listed twice.
listed_in() {
  local names
  [ -s "$1" ] && ! LC_ALL=C grep -qvxE '[0-9a-f]{64}  [!-~]+' "$1" || return 1
  names=$(LC_ALL=C sed 's/^.\{66\}//' "$1")
  ! LC_ALL=C grep -qE '\\|^/|/$|//|(^|/)\.\.?(/|$)' <<<"$names" || return 1
  [ -z "$(LC_ALL=C sort <<<"$names" | uniq -d)" ] || return 1
  printf '%s\n' "$names"
}

# shown TEXT: TEXT on a line of its own, each byte but printable ASCII, and each backslash, as
# \xHH (packaging/shown.py), so that nothing from a download can rewrite what a terminal shows.
shown() {
  local LC_ALL=C
  case $1 in
    *[!\ -~]* | *\\*) printf '%s' "$1" | /usr/bin/python3 "$(dirname "${BASH_SOURCE[0]}")/shown.py" ;;
    *) printf '%s\n' "$1" ;;
  esac
}
