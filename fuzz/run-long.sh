#!/usr/bin/env bash
# A longer fuzzing session: each target in turn for SECONDS (default 600),
# on the corpus that fuzz/run-ci.sh keeps growing, with as many workers as
# there are cores.
#
#   fuzz/run-long.sh [SECONDS_PER_TARGET] [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}
shift || true
build=$(realpath -m "${FUZZ_BUILD_DIR:-build/fuzz}")
FUZZ_BUILD_DIR="$build" fuzz/run-ci.sh 1 >/dev/null || true   # build and seeds
names=("$@")
if ((${#names[@]} == 0)); then
  names=(fuzz_flv_reader fuzz_amf0 fuzz_metadata fuzz_mp3_frame fuzz_media_reader
         fuzz_mp3_repair fuzz_nellymoser_retime fuzz_converted_audio_retime)
fi
# The code under test syncs what it writes; on a RAM file system that costs
# nothing and the fuzzers run many times faster.
if [[ -z "${TMPDIR:-}" && -d /dev/shm && -w /dev/shm ]]; then export TMPDIR=/dev/shm; fi
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:symbolize=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
for name in "${names[@]}"; do
  echo "== $name (${seconds}s)"
  mkdir -p "$build/fuzz-corpus/$name" "$build/fuzz-artifacts/$name"
  "$build/bin/$name" "$build/fuzz-corpus/$name" -max_total_time="$seconds" -timeout=10 \
    -rss_limit_mb=2048 -max_len=262144 -jobs="$(nproc)" -workers="$(nproc)" \
    -artifact_prefix="$build/fuzz-artifacts/$name/" -print_final_stats=1
done
