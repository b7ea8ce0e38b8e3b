#!/usr/bin/env bash
# Makes the small demonstration inputs in samples/ from ffmpeg's built-in
# test sources. The same ffmpeg gives the same bytes on every run.
#
#   drift-mp3.flv       H.263 + MP3 22 kHz mono, audio stamped by a clock 3 % fast
#   drift-mp3-h264.flv  H.264 + MP3 44 kHz stereo, the same damage
#   mp3-no-video.flv    MP3 only: needs no repair
#   pcm.flv             H.263 + 8-bit PCM (sound format 0)
#   nellymoser.flv      H.263 + Nellymoser 22 kHz (sound format 6)
#   no-audio.flv        H.263 only
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
out="$root/samples"
mkdir -p "$out"
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT

exact=(-fflags +bitexact -flags:v +bitexact -flags:a +bitexact -map_metadata -1)
video=(-f lavfi -i "testsrc=size=160x120:rate=15")
tone() { echo -f lavfi -i "sine=frequency=440:sample_rate=$1"; }

ff() { ffmpeg -hide_banner -loglevel error -y "$@"; }

# shellcheck disable=SC2046
ff "${video[@]}" $(tone 22050) -t 4 -c:v flv -q:v 10 -c:a libmp3lame -b:a 32k -ac 1 \
   "${exact[@]}" -f flv "$tmp/mp3.flv"
python3 "$root/scripts/flvdrift.py" "$tmp/mp3.flv" "$out/drift-mp3.flv"

# shellcheck disable=SC2046
ff "${video[@]}" $(tone 44100) -t 3 -c:v libx264 -preset ultrafast -g 15 -threads 1 \
   -c:a libmp3lame -b:a 64k -ac 2 "${exact[@]}" -f flv "$tmp/mp3-h264.flv"
python3 "$root/scripts/flvdrift.py" "$tmp/mp3-h264.flv" "$out/drift-mp3-h264.flv"

# shellcheck disable=SC2046
ff $(tone 22050) -t 3 -c:a libmp3lame -b:a 32k -ac 1 "${exact[@]}" -f flv "$out/mp3-no-video.flv"

# shellcheck disable=SC2046
ff "${video[@]}" $(tone 11025) -t 3 -c:v flv -q:v 10 -c:a pcm_u8 -ac 1 \
   "${exact[@]}" -f flv "$out/pcm.flv"

# shellcheck disable=SC2046
ff "${video[@]}" $(tone 22050) -t 3 -c:v flv -q:v 10 -c:a nellymoser -ac 1 \
   "${exact[@]}" -f flv "$out/nellymoser.flv"

ff "${video[@]}" -t 3 -c:v flv -q:v 10 -an "${exact[@]}" -f flv "$out/no-audio.flv"

du -ch "$out"/*.flv | tail -1
