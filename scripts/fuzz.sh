#!/usr/bin/env bash
# Builds the libFuzzer targets and runs each for the given number of seconds (default 60), seeded
# from the shared INF corpus. Findings are written to build/fuzz/findings/ and fail the run.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}

bash scripts/setup.sh
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

corpus=../shared/corpus/inf
findings=build/fuzz/findings
mkdir -p "$findings"
passed=0
for fuzzer in profile_reader_fuzzer inf_listing_fuzzer inf_scan_fuzzer; do
  work=build/fuzz/corpus/$fuzzer
  mkdir -p "$work"
  seeds=()
  if [ "$fuzzer" != inf_scan_fuzzer ] && [ -d "$corpus" ]; then seeds=("$corpus"); fi
  echo "== $fuzzer for ${seconds}s"
  build/fuzz/$fuzzer -max_total_time="$seconds" -max_len=65536 -timeout=10 -rss_limit_mb=4096 \
    -print_final_stats=1 -artifact_prefix="$findings/$fuzzer-" "$work" "${seeds[@]}" 2>&1 |
    grep -E "^(#[0-9]+ +DONE|stat::number_of_executed_units|==[0-9]+==ERROR|SUMMARY|Test unit written)" || true
  if compgen -G "$findings/$fuzzer-*" >/dev/null; then
    echo "$fuzzer: finding(s) in $findings" >&2
    exit 1
  fi
  passed=$((passed + 1))
done
echo "fuzzers: $passed passed, 0 failed"
