#!/bin/sh
# The Linux host's stand-in for an installed program (the Windows host's is
# tests/probes/deploy_stand_in.h, which says what the files beside a copy mean): a copy of this
# file under an installed name does what the files beside it say.
: >"$0.started"
[ ! -f "$0.stdout" ] || cat "$0.stdout"
[ ! -f "$0.stderr" ] || cat "$0.stderr" >&2
if [ -f "$0.wait" ]; then
  # Without its standard streams, as a GUI program has none: only a script that waits for the
  # process itself, not for the streams, finds it ended.
  exec >/dev/null 2>&1 </dev/null
  wait=$(cat "$0.wait")
  if [ "$wait" = forever ]; then
    while :; do sleep 60; done
  fi
  sleep "$(printf '%d.%03d' $((wait / 1000)) $((wait % 1000)))"
fi
code=0
[ ! -f "$0.exit-code" ] || code=$(cat "$0.exit-code")
: >"$0.ended"
# A Linux process keeps the low byte: -1 is 255.
exit $((code & 255))
