#!/usr/bin/env bash
# Builds the libFuzzer targets and runs each for the given number of seconds (default 60), seeded
# from the INF corpus that the fuzz preset names (SPR_CORPUS_DIR). A fuzzer that exits non-zero,
# or leaves a finding in build/fuzz/findings/, fails the run; findings of earlier runs are cleared
# first. Each fuzzer's full output is kept in build/fuzz/logs/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}

bash scripts/setup.sh
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

corpus=$(sed -n 's/^SPR_CORPUS_DIR:PATH=//p' build/fuzz/CMakeCache.txt)
findings=build/fuzz/findings
logs=build/fuzz/logs
rm -rf "$findings" "$logs"
mkdir -p "$findings" "$logs"
passed=0
failed=0
for fuzzer in profile_reader_fuzzer inf_listing_fuzzer inf_scan_fuzzer; do
  work=build/fuzz/corpus/$fuzzer
  mkdir -p "$work"
  seeds=()
  if [ "$fuzzer" != inf_scan_fuzzer ]; then
    if [ ! -d "$corpus" ]; then
      echo "$fuzzer: no INF corpus at '$corpus' (SPR_CORPUS_DIR)" >&2
      exit 1
    fi
    seeds=("$corpus")
  fi
  echo "== $fuzzer for ${seconds}s"
  status=0
  build/fuzz/$fuzzer -max_total_time="$seconds" -max_len=65536 -timeout=10 -rss_limit_mb=4096 \
    -print_final_stats=1 -artifact_prefix="$findings/$fuzzer-" "$work" "${seeds[@]}" \
    >"$logs/$fuzzer.log" 2>&1 || status=$?
  grep -E "^(#[0-9]+[[:space:]]+DONE|stat::number_of_executed_units|==[0-9]+==ERROR|SUMMARY|Test unit written)" \
    "$logs/$fuzzer.log" || true  # only what is shown; the verdict comes from the status and findings
  if [ "$status" -ne 0 ] || compgen -G "$findings/$fuzzer-*" >/dev/null; then
    echo "$fuzzer: FAILED (exit status $status; findings and log in build/fuzz/)" >&2
    failed=$((failed + 1))
  else
    passed=$((passed + 1))
  fi
done
echo "fuzzers: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
