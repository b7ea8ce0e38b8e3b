#!/usr/bin/env bash
# Makes the benchmark inputs once, into a cache folder outside the tree
# (BENCH_DATA, default /work/bench-data, about 1.4 GB):
#   mp3-100m.flv  100 MiB of H.263 (noise, so the encoder reaches a high rate)
#                 and 128 kb/s MP3, about 29 s at 29 Mb/s
#   mp3-1g.flv    the same picture and sound, 1 GiB (about 5 minutes)
#   pcm.flv       10 minutes of 16-bit stereo 44.1 kHz PCM (sound format 0,
#                 as the recorders that tagmend repairs write it) with H.263
#   pcm.wav       the same audio, for lame
#   nelly.flv     10 minutes of Nellymoser (22.05 kHz mono) with H.263
#   nelly.wav     that audio decoded, for lame
#   webcam-512m.flv, webcam-1g.flv
#                 webcam-like: 320x240 Sorenson and 128 kb/s MP3, about 1.1 KB
#                 a tag (half a million tags in 512 MiB); a 10 s clip repeated
#                 with continuous timestamps
#   hd-512m.flv   1280x720 Sorenson at about 12 Mb/s and MP3, ~60 KB video tags
# A file that exists is kept; delete it to make it again.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
data=${BENCH_DATA:-/work/bench-data}
mkdir -p "$data"
cd "$data"

ff() { ffmpeg -nostdin -hide_banner -loglevel error -y "$@"; }
noise="nullsrc=size=320x240:rate=25,geq=lum=random(1)*255:cb=128:cr=128"
tone="sine=frequency=440:sample_rate=44100"
mib=$((1024 * 1024))

mp3_flv() {  # name bytes
  [[ -f $1 ]] && return
  # -fs stops the muxer at the size; 600 s is far more than either needs.
  ff -f lavfi -i "$noise" -f lavfi -i "$tone" -t 600 -fs "$2" \
    -c:v flv -q:v 2 -c:a libmp3lame -b:a 128k -flvflags no_metadata "$1.tmp.flv"
  mv "$1.tmp.flv" "$1"
}
mp3_flv mp3-100m.flv $((100 * mib))
mp3_flv mp3-1g.flv $((1024 * mib))

# Ten minutes of a tone over pink noise, the kind of sound lame works hard on.
if [[ ! -f pcm.wav ]]; then
  ff -f lavfi -i "anoisesrc=color=pink:amplitude=0.2:sample_rate=44100:seed=1" -f lavfi -i "$tone" \
    -filter_complex "[0][1]amix=inputs=2,pan=stereo|c0=c0|c1=c0" -t 600 -c:a pcm_s16le pcm.wav.tmp.wav
  mv pcm.wav.tmp.wav pcm.wav
fi
video="testsrc2=size=320x240:rate=25"

if [[ ! -f pcm.flv ]]; then
  ff -f lavfi -i "$video" -i pcm.wav -t 600 -c:v flv -q:v 5 -c:a pcm_s16le \
    -flvflags no_metadata pcm-le.flv
  # ffmpeg writes sound format 3 (PCM little-endian); make it 0.
  python3 - pcm-le.flv pcm.flv <<'PY'
import sys
src, dst = sys.argv[1], sys.argv[2]
b = bytearray(open(src, "rb").read())
p = int.from_bytes(b[5:9], "big") + 4
while p + 11 <= len(b):
    size = int.from_bytes(b[p + 1:p + 4], "big")
    if b[p] == 8 and size > 0:
        b[p + 11] &= 0x0F
    p += 11 + size + 4
open(dst + ".tmp", "wb").write(b)
PY
  mv pcm.flv.tmp pcm.flv
  rm -f pcm-le.flv
fi

if [[ ! -f nelly.flv ]]; then
  ff -f lavfi -i "$video" -i pcm.wav -t 600 -c:v flv -q:v 5 -c:a nellymoser -ar 22050 -ac 1 \
    -flvflags no_metadata nelly.flv.tmp.flv
  mv nelly.flv.tmp.flv nelly.flv
fi
[[ -f nelly.wav ]] || { ff -i nelly.flv -vn -c:a pcm_s16le nelly.wav.tmp.wav && mv nelly.wav.tmp.wav nelly.wav; }
# A 10 s clip, repeated with its timestamps running on up to the size.
looped_flv() {  # name bytes picture-size video-options
  [[ -f $1 ]] && return
  local clip=$1.clip.flv
  ff -f lavfi -i "testsrc2=size=$3:rate=25" -f lavfi -i "$tone" -t 10 $4 \
    -c:a libmp3lame -b:a 128k -flvflags no_metadata "$clip"
  python3 "$here/loop-flv.py" "$clip" "$1.tmp.flv" "$2"
  rm -f "$clip"
  mv "$1.tmp.flv" "$1"
}
looped_flv webcam-512m.flv $((512 * mib)) 320x240 "-c:v flv -b:v 360k"
looped_flv webcam-1g.flv $((1024 * mib)) 320x240 "-c:v flv -b:v 360k"
looped_flv hd-512m.flv $((512 * mib)) 1280x720 "-c:v flv -b:v 12M -maxrate 12M -bufsize 2M"
ls -l "$data"
