#!/usr/bin/env bash
# Builds both executables and runs the full-run benchmark: the Linux build against the cost of
# reading every INF once, on generated directories of 1,500 and 15,000 INFs, and the Windows
# executable under Wine on 1,500. Extra arguments go to the benchmark (e.g. --repetitions 3).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
mkdir -p build
for preset in windows-x64 host; do
  # Quiet when it works; the log's end, and which preset, when it does not.
  log=build/bench-$preset.log
  if ! { cmake --preset "$preset" && cmake --build --preset "$preset"; } >"$log" 2>&1; then
    tail -n 40 "$log" >&2
    echo "bench.sh: building the $preset preset failed (the whole log: $log)" >&2
    exit 1
  fi
done
status=0
build/host/full_run_benchmark "$@" || status=$?
rm -rf build/host/bench
if [ "$status" -ne 0 ]; then
  echo "bench.sh: the benchmark failed with exit code $status" >&2
  exit "$status"
fi
