#!/usr/bin/env bash
# tonecast.exe on a microphone muted for an hour: 2 s of 16-bit mono PCM at
# 22.05 kHz, a gap of GAP_MS (default one hour), 2 s more. Prints the wall
# time, the peak memory and the MP3's size and length. Target: seconds, not
# the minutes that encoding an hour of zeros takes, and memory that does not
# grow with the gap.
#
#   bench/tonecast-gap.sh [build-dir]     (default: build/release)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build/release}" && pwd)
tonecast=$build/bin/tonecast.exe
gap=${GAP_MS:-3600000}
[[ -x $tonecast ]] || { echo "no $tonecast: build the release first" >&2; exit 1; }
for tool in ffmpeg ffprobe python3; do
  command -v $tool >/dev/null || { echo "$tool missing (scripts/install-deps.sh)" >&2; exit 1; }
done

work=$(mktemp -d)
job=MY_TONECAST_MM_gapbench$$
trap 'rm -rf "$work" "/dev/shm/$job"' EXIT

ffmpeg -hide_banner -loglevel error -y -f lavfi -i "sine=frequency=440:sample_rate=22050" -t 4 \
  -c:a pcm_s16le -ar 22050 -ac 1 "$work/le.flv"

python3 - "$work" "$job" "$gap" <<'PY'
import os, struct, sys
work, job, gap = sys.argv[1], sys.argv[2], int(sys.argv[3])
b = bytearray(open(f"{work}/le.flv", "rb").read())
head = int.from_bytes(b[5:9], "big") + 4
tags, p = [], head
while p + 11 <= len(b):
    size = int.from_bytes(b[p + 1:p + 4], "big")
    tags.append(bytearray(b[p:p + 11 + size]))
    p += 11 + size + 4
audio = [t for t in tags if t[0] == 8]
half = len(audio) // 2
out = bytearray(b[:head])
def put(t, ms):
    t[4:7] = (ms & 0xFFFFFF).to_bytes(3, "big"); t[7] = ms >> 24
    t[11] = (t[11] & 0x0F) if len(t) > 11 else 0  # sound format 0, as the recorders write
    out.extend(t); out.extend(len(t).to_bytes(4, "big"))
def stamp(t): return int.from_bytes(t[4:7], "big") | t[7] << 24
for t in audio[:half]: put(t, stamp(t))
opening = bytearray(audio[half][:12]); opening[1:4] = (1).to_bytes(3, "big")
put(opening, stamp(audio[half]))  # an empty tag (flags byte alone) opens the gap
for t in audio[half:]: put(t, stamp(t) + gap)
open(f"{work}/gap.flv", "wb").write(out)
rec = bytearray(608)
rec[0:len(f"{work}/gap.flv")] = f"{work}/gap.flv".encode()
rec[261:261 + len(f"{work}/out.mp3")] = f"{work}/out.mp3".encode()
rec[556:560] = b"mp3\0"
struct.pack_into("<iiiii", rec, 588, 86017, 128000, 44100, 22050, 0)
struct.pack_into("<ii", rec, 536, 1, 16)
fd = os.open(f"/dev/shm/{job}", os.O_CREAT | os.O_RDWR | os.O_TRUNC, 0o600)
os.write(fd, rec)
os.close(fd)
PY

/usr/bin/time -f "tonecast: %e s wall, %U s user, %S s system, %M KiB peak" "$tonecast" "$job"
echo "MP3: $(stat -c %s "$work/out.mp3") bytes, $(ffprobe -v error -show_entries format=duration -of csv=p=0 "$work/out.mp3") s (gap $((gap / 1000)) s + 4 s of audio)"
