#!/usr/bin/env bash
# Builds the release binaries and repairs every bundled sample into out/.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)"
mkdir -p out
for input in samples/*.flv; do
  name=$(basename "$input" .flv)
  set +e
  build/release/bin/tagmend "$input" "out/$name" >/dev/null
  code=$?
  set -e
  printf '%-28s exit %d  %s\n' "$name.flv" "$code" "$(cd out && ls "$name".* 2>/dev/null | tr '\n' ' ')"
done
