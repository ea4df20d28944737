#!/usr/bin/env bash
# Makes the Wine prefix $WINEPREFIX (wineboot --init) and waits until its wineserver has ended,
# so that what the prefix holds is written.
#
# Wine 8 now and then fails the first start in a new prefix: "could not load kernel32.dll,
# status c0000135" (STATUS_DLL_NOT_FOUND) right after "created the configuration directory", and
# wineboot exits non-zero. Seen once in about thirty new prefixes on these machines, never twice
# in a row. The half-made prefix is then removed and made again, a few times at most, and each
# failure is said, so that a log shows how often it happens.
set -euo pipefail
[ -n "${WINEPREFIX:-}" ] || { echo "wine_prefix: WINEPREFIX is not set" >&2; exit 1; }
# Only a prefix this script makes is removed to be made again; one that was there is updated.
made_here=0
[ -e "$WINEPREFIX" ] || made_here=1
attempts=3
for ((attempt = 1; ; attempt++)); do
  if said=$(wineboot --init 2>&1) && wineserver -w &&
     [ -f "$WINEPREFIX/drive_c/windows/system32/kernel32.dll" ]; then
    exit 0
  fi
  wineserver -k 2>/dev/null || true
  if ((attempt == attempts)); then
    echo "wine_prefix: Wine could not make $WINEPREFIX in $attempts attempts; it said:" >&2
    echo "$said" >&2
    exit 1
  fi
  echo "note: Wine could not make $WINEPREFIX (attempt $attempt); making it again. It said: $said" >&2
  ((made_here == 0)) || rm -rf "$WINEPREFIX"
done
