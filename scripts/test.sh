#!/usr/bin/env bash
# Builds every target and runs every test: the Windows executable's suites under Wine, the Linux
# build's (which compare the stand-in with Wine, so they come second), the same again under
# AddressSanitizer and UndefinedBehaviorSanitizer, the Windows Installer package under Wine's
# msiexec, the deployment scripts under PowerShell (Pester), the release of HEAD (built in two
# clones and compared byte for byte, signed and verified, failing to sign, checked against its
# source by verify-release.sh), and a short run of each fuzzer. The MSI, deployment-script and
# release suites package the windows-x64 build made here rather than building their own.
set -euo pipefail
cd "$(dirname "$0")/.."

# Each part says how long it took, so that a slow one shows in CI's log.
took() { echo "== $1 took $SECONDS s"; SECONDS=0; }
SECONDS=0
bash scripts/setup.sh
took setup

# A test that finds no corpus, no Windows build or no Wine fails here instead of skipping.
export SPR_NO_SKIPS=1

for preset in windows-x64 host host-asan; do
  echo "== $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset"
  if [ "$preset" = host ]; then
    # What the comparisons with Wine measured, which ctest keeps to its log when they pass.
    log=build/$preset/Testing/Temporary/LastTest.log
    for summary in "profile reads" "machine differential"; do
      if ! grep -E "^$summary:" "$log"; then
        echo "test.sh: no '$summary:' line in $log: its comparison with Wine did not run to the end" >&2
        exit 1
      fi
    done
  fi
  took "$preset"
done

echo "== msi"
bash tests/release/msi_test.sh build/windows-x64
took msi

echo "== deployment scripts"
bash tests/deploy/run.sh build/windows-x64
took "deployment scripts"

echo "== release"
bash tests/release/release_test.sh build/windows-x64
took release

echo "== fuzz"
bash scripts/fuzz.sh "${SPR_FUZZ_SECONDS:-60}"
took fuzz
