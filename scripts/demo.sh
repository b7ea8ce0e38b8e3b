#!/usr/bin/env bash
# Builds the programs the demo runs (nothing else) and repairs every bundled
# sample into out/.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset release >/dev/null
# "programs": tagmend, tonecast.exe, tagmend-report and their libraries.
cmake --build --preset release -j "$(nproc)" --target programs
scripts/run-samples.sh
# How far each sample had drifted, and how far the MP3 repairs' outputs have.
build/release/bin/tagmend-report samples/*.flv out/drift-*.flv || true
