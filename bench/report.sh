#!/usr/bin/env bash
# tagmend-report against reading the same file with cat, on the webcam-like
# input: 512 MiB of 320x240 Sorenson H.263 and 128 kb/s MP3 (about 1 KB per
# tag, some 550 000 tags), a 10 s ffmpeg clip repeated with continuous
# timestamps. Made once into BENCH_DATA (default /work/bench-data).
# Target: at most 1.5x cat's time, peak memory under 20 MiB.
#
#   bench/report.sh [BUILD_DIR]   (default build/release)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build/release}" && pwd)
report=$build/bin/tagmend-report
[[ -x $report ]] || { echo "no $report: build the target tagmend-report" >&2; exit 1; }
data=${BENCH_DATA:-/work/bench-data}
runs=${RUNS:-7}
mkdir -p "$data"
input=$data/webcam-512m.flv

if [[ ! -f $input ]]; then
  clip=$(mktemp --suffix=.flv)
  ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i "testsrc2=size=320x240:rate=25" \
    -f lavfi -i "sine=frequency=440:sample_rate=44100" -t 10 -c:v flv -b:v 360k \
    -c:a libmp3lame -b:a 128k -flvflags no_metadata "$clip"
  python3 "$root/bench/loop-flv.py" "$clip" "$input.tmp" $((512 * 1024 * 1024))
  mv "$input.tmp" "$input"
  rm -f "$clip"
fi

echo "## tagmend-report against cat"
echo
echo "- $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), load before: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "- input: $(basename "$input"), $(($(stat -c %s "$input") / 1024 / 1024)) MiB, page cache warm"
echo
cat "$input" >/dev/null
python3 "$root/bench/paired.py" --runs "$runs" cat "cat '$input' >/dev/null" \
  tagmend-report "'$report' '$input' >/dev/null; true"
peak=$( (/usr/bin/time -f %M "$report" "$input" 2>&1 >/dev/null || true) | tail -1)
echo "peak memory of tagmend-report: $((peak / 1024)) MiB"
