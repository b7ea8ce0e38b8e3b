#!/usr/bin/env bash
# Runs the release build of tagmend on every sample into out/ and prints
# each exit code. Builds nothing: build the release preset first.
set -uo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
tagmend="${TAGMEND:-$root/build/release/bin/tagmend}"
if [[ ! -x "$tagmend" ]]; then
  echo "no $tagmend: run 'cmake --preset release && cmake --build --preset release' first" >&2
  exit 1
fi
mkdir -p "$root/out"
for sample in "$root"/samples/*.flv; do
  name="$(basename "$sample" .flv)"
  "$tagmend" "$sample" "$root/out/$name" >/dev/null
  code=$?
  made="$(cd "$root/out" && ls "$name".* 2>/dev/null | tr '\n' ' ')"
  printf '%-20s exit %d  %s\n' "$name" "$code" "${made:-(no output)}"
done
