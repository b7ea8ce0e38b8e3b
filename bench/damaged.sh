#!/usr/bin/env bash
# tagmend-report on a damaged region against a clean file of the same size:
# 64 MiB of plausible audio tag headers (each claiming 2 MiB, one every 12
# bytes) between two runs of real MP3 tags, and 64 MiB of real MP3 tags.
# Target: the damaged file within a few times the clean one's time.
#
#   bench/damaged.sh [BUILD_DIR]   (default build/release)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build/release}" && pwd)
report=$build/bin/tagmend-report
[[ -x $report ]] || { echo "no $report: build the target tagmend-report" >&2; exit 1; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
python3 - "$tmp" <<'PY'
import sys
def tag(t, ts, data):
    return (bytes([t]) + len(data).to_bytes(3, 'big') + (ts & 0xffffff).to_bytes(3, 'big') +
            bytes([ts >> 24]) + b'\0\0\0' + data + (11 + len(data)).to_bytes(4, 'big'))
frame = b'\x2e\xff\xfb\x90\x64' + bytes(413)  # MPEG-1 layer III, 128 kb/s, 44.1 kHz
head = b'FLV\x01\x04\x00\x00\x00\x09\x00\x00\x00\x00'
size = 64 << 20
with open(sys.argv[1] + '/damaged.flv', 'wb') as f:
    f.write(head + b''.join(tag(8, i * 26, frame) for i in range(10)))
    f.write((bytes([8]) + (2 << 20).to_bytes(3, 'big') + bytes(7) + b'\x2e') * (size // 12))
    f.write(b''.join(tag(8, (10 + i) * 26, frame) for i in range(10)))
with open(sys.argv[1] + '/clean.flv', 'wb') as f:
    f.write(head + b''.join(tag(8, i * 26, frame) for i in range(size // (11 + len(frame) + 4))))
PY
cat "$tmp"/*.flv >/dev/null
echo "## tagmend-report: a damaged region against a clean file (64 MiB each)"
echo
echo "- $(nproc) cores, load before: $(cut -d' ' -f1-3 /proc/loadavg)"
echo
python3 "$root/bench/paired.py" --runs "${RUNS:-5}" clean "'$report' '$tmp/clean.flv' >/dev/null; true" \
  damaged "'$report' '$tmp/damaged.flv' >/dev/null; true"
