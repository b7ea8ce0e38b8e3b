#!/usr/bin/env bash
# Builds and runs the whole test suite: the release build, then the
# ASan+UBSan build. Run scripts/install-deps.sh first on a new machine.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
for preset in release asan; do
  echo "== $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs"
done
echo "== fuzz"
fuzz/run-ci.sh 20
