# shellcheck shell=bash
# Sourced by the shell suites (tests/release/, tests/deploy/): cases, failures, a time limit.
#
#   begin_case NAME           the case that the failures after it belong to
#   fail MESSAGE...           reports a failure of the current case, and the suite goes on
#   end_suite SUITE           says "SUITE: N failure(s)"; its status is non-zero after any
#   limited SECONDS COMMAND...
#                             runs COMMAND, ended after SECONDS (status 124, and said), so that
#                             a program that hangs fails its case instead of the whole run
#   flip_byte FILE OFFSET     inverts the byte at OFFSET of FILE, in place
#
# A table of cases is a run of calls to one function, a row a call, each field one word: a path
# with blanks in it stays one field, which splitting a row on blanks would break.

spr_case="" spr_failures=0

begin_case() {
  spr_case=$1
}

fail() {
  echo "FAIL [$spr_case]: $*" >&2
  spr_failures=$((spr_failures + 1))
}

end_suite() {
  echo "$1: $spr_failures failure(s)"
  ((spr_failures == 0))
}

limited() {
  local seconds=$1 status=0
  shift
  timeout --kill-after=10 "$seconds" "$@" || status=$?
  ((status != 124)) || echo "limited: $1 did not end within ${seconds}s" >&2
  return "$status"
}

flip_byte() {
  local byte
  byte=$(od -An -t u1 -j "$2" -N 1 "$1" | tr -d ' ')
  printf "$(printf '\\%03o' $((byte ^ 0xFF)))" | dd of="$1" bs=1 seek="$2" count=1 conv=notrunc status=none
}
