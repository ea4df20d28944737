#!/usr/bin/env bash
# Builds both executables and runs the full-run benchmark: the Linux build against the cost of
# reading every INF once, on generated directories of 1,500 and 15,000 INFs, and the Windows
# executable under Wine on 1,500. Extra arguments go to the benchmark (e.g. --repetitions 3).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
for preset in windows-x64 host; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" >/dev/null
done
build/host/full_run_benchmark "$@"
rm -rf build/host/bench
