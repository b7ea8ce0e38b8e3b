#!/usr/bin/env bash
# Builds the fuzzers with clang (ASan + UBSan + libFuzzer) and runs each for a
# short fixed time on a seed corpus made with ffmpeg. Fails when a fuzzer
# finds a crash, a sanitizer report, a leak, a hang or a broken invariant;
# the input that did it is kept in the build folder (see the log).
#
#   fuzz/run-ci.sh [SECONDS_PER_TARGET]      (default 25)
#
# FUZZ_BUILD_DIR chooses the build folder (default build/fuzz).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-25}
build=${FUZZ_BUILD_DIR:-build/fuzz}
build=$(realpath -m "$build")

CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTAGMEND_FUZZ=ON -DTAGMEND_TESTS=OFF -DTAGMEND_TONECAST=OFF \
  -DTAGMEND_SANITIZE=address,undefined >/dev/null
cmake --build "$build" --target fuzzers -j "$(nproc)"

seeds="$build/fuzz-seeds"
[[ -d "$seeds/flv" ]] || fuzz/make-seeds.py "$seeds"

# target:seed folder
targets=(
  fuzz_flv_reader:flv
  fuzz_amf0:amf0
  fuzz_metadata:flv
  fuzz_mp3_frame:mp3
  fuzz_media_reader:mp3
  fuzz_mp3_repair:flv
  fuzz_aac_repair:flv
  fuzz_nellymoser_retime:flv
  fuzz_converted_audio_retime:flv
)

# The code under test syncs what it writes; on a RAM file system that costs
# nothing and the fuzzers run many times faster.
if [[ -z "${TMPDIR:-}" && -d /dev/shm && -w /dev/shm ]]; then export TMPDIR=/dev/shm; fi
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:symbolize=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
failed=0
summary=()
for entry in "${targets[@]}"; do
  name=${entry%%:*}
  seed=${entry##*:}
  corpus="$build/fuzz-corpus/$name"
  artifacts="$build/fuzz-artifacts/$name/"
  mkdir -p "$corpus" "$artifacts"
  log="$build/fuzz-logs/$name.log"
  mkdir -p "$(dirname "$log")"
  echo "== $name (${seconds}s)"
  status=ok
  if ! "$build/bin/$name" "$corpus" "$seeds/$seed" -max_total_time="$seconds" \
       -timeout=10 -rss_limit_mb=2048 -max_len=65536 -print_final_stats=1 \
       -artifact_prefix="$artifacts" >"$log" 2>&1; then
    status=FAILED
    failed=1
    tail -n 60 "$log"
  fi
  runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo '?')
  summary+=("$(printf '%-30s %-7s %10s execs' "$name" "$status" "$runs")")
done
echo "== fuzz summary (${seconds}s each)"
printf '%s\n' "${summary[@]}"
exit $failed
