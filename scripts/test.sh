#!/usr/bin/env bash
# Builds both targets and runs every test suite: the Linux build's, then the Windows
# executable's under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

for preset in host windows-x64; do
  echo "== $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done
