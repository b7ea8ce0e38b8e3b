#!/usr/bin/env bash
# Builds the release binaries and repairs every bundled sample into out/.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)"
scripts/run-samples.sh
