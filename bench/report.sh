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
  python3 - "$clip" "$input.tmp" $((512 * 1024 * 1024)) <<'PY'
import struct, sys
src, dst, size = sys.argv[1], sys.argv[2], int(sys.argv[3])
d = open(src, "rb").read()
p = struct.unpack(">I", d[5:9])[0] + 4
tags = []
while p + 11 <= len(d):
    n = int.from_bytes(d[p + 1:p + 4], "big")
    if d[p] in (8, 9):
        ts = int.from_bytes(d[p + 4:p + 7], "big") | d[p + 7] << 24
        tags.append((ts, d[p:p + 11 + n + 4]))
    p += 11 + n + 4
# The next copy starts where this one's audio ends (1152-sample frames).
last_audio = max(ts for ts, tag in tags if tag[0] == 8)
period = last_audio + round(1152 * 1000 / 44100)
with open(dst, "wb") as out:
    out.write(d[:13])
    written, k = 13, 0
    while written < size:
        for ts, tag in tags:
            t = ts + k * period
            b = bytearray(tag)
            b[4:7] = (t & 0xFFFFFF).to_bytes(3, "big")
            b[7] = t >> 24 & 0xFF
            out.write(b)
            written += len(b)
        k += 1
PY
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
