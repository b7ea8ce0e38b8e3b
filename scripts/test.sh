#!/usr/bin/env bash
# Builds and runs the whole test suite: the release build, then the
# ASan+UBSan build, then under TSan the tests that write through the
# writer's background thread. Run scripts/install-deps.sh first on a new
# machine.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
for preset in release asan; do
  echo "== $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs"
done
echo "== tsan"
cmake --preset tsan >/dev/null
cmake --build --preset tsan -j "$jobs" --target tarvel_test mp3_repair_test output_safety_test tagmend
ctest --preset tsan -j "$jobs"
echo "== fuzz"
fuzz/run-ci.sh 20
