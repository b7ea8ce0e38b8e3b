#!/usr/bin/env bash
# tonecast.exe against lame alone, on the same audio: two minutes of 16-bit
# stereo PCM at 44.1 kHz (a tone over pink noise), as a WAV file for lame and
# as an FLV of PCM audio tags (sound format 0) for tonecast; both encode CBR
# 128 kb/s at 44.1 kHz. Target: tonecast within 1.1x of lame.
#
#   bench/tonecast.sh [build-dir]     (default: build/release)
#
# tonecast takes its job from named shared memory; on Linux the object is
# /dev/shm/<name>, written here with the job record's layout.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build/release}" && pwd)
tonecast=$build/bin/tonecast.exe
[[ -x $tonecast ]] || { echo "no $tonecast: build the release first" >&2; exit 1; }
for tool in ffmpeg lame hyperfine python3; do
  command -v $tool >/dev/null || { echo "$tool missing (scripts/install-deps.sh)" >&2; exit 1; }
done

work=$(mktemp -d)
job=MY_TONECAST_MM_bench$$
trap 'rm -rf "$work" "/dev/shm/$job"' EXIT

ffmpeg -hide_banner -loglevel error -y \
  -f lavfi -i "anoisesrc=color=pink:amplitude=0.2:sample_rate=44100:seed=1" \
  -f lavfi -i "sine=frequency=440:sample_rate=44100" \
  -filter_complex "[0][1]amix=inputs=2,pan=stereo|c0=c0|c1=c0" -t 120 \
  -c:a pcm_s16le "$work/audio.wav"
ffmpeg -hide_banner -loglevel error -y -i "$work/audio.wav" -c:a pcm_s16le "$work/le.flv"

python3 - "$work" "$job" <<'PY'
import os, struct, sys
work, job = sys.argv[1], sys.argv[2]
# The FLV from ffmpeg says sound format 3 (PCM little-endian); the recorders
# that tagmend repairs write 0, which tonecast reads the same way.
b = bytearray(open(f"{work}/le.flv", "rb").read())
p = int.from_bytes(b[5:9], "big") + 4
while p + 11 <= len(b):
    size = int.from_bytes(b[p + 1:p + 4], "big")
    if b[p] == 8 and size > 0:
        b[p + 11] &= 0x0F
    p += 11 + size + 4
open(f"{work}/audio.flv", "wb").write(b)
# The 608-byte job record, as tagmend fills it.
rec = bytearray(608)
def put(off, s): rec[off:off + len(s)] = s
put(0, f"{work}/audio.flv".encode())
put(261, f"{work}/tonecast.mp3".encode())
put(556, b"mp3\0")
struct.pack_into("<iiiii", rec, 588, 86017, 128000, 44100, 44100, 0)
struct.pack_into("<ii", rec, 536, 2, 16)
fd = os.open(f"/dev/shm/{job}", os.O_CREAT | os.O_RDWR | os.O_TRUNC, 0o600)
os.write(fd, rec)
os.close(fd)
PY

cd "$work"
hyperfine -N --warmup 1 --runs 10 --export-json "$work/times.json" \
  "lame --silent -b 128 audio.wav lame.mp3" \
  "$tonecast $job"

python3 - "$work/times.json" <<'PY'
import json, statistics, sys
r = json.load(open(sys.argv[1]))["results"]
lame, tone = r[0]["times"], r[1]["times"]
pairs = [t / l for l, t in zip(lame, tone)]
print(f"lame      mean {statistics.mean(lame):.3f} s  median {statistics.median(lame):.3f} s")
print(f"tonecast  mean {statistics.mean(tone):.3f} s  median {statistics.median(tone):.3f} s")
print(f"CPU (user+system): lame {r[0]['user'] + r[0]['system']:.3f} s, "
      f"tonecast {r[1]['user'] + r[1]['system']:.3f} s, "
      f"ratio {(r[1]['user'] + r[1]['system']) / (r[0]['user'] + r[0]['system']):.3f}")
print(f"ratio tonecast/lame: {statistics.mean(tone) / statistics.mean(lame):.3f} (means), "
      f"{statistics.median(pairs):.3f} (median of run-by-run pairs); target <= 1.10")
PY
ls -l lame.mp3 tonecast.mp3 | awk '{print $5, $9}'
