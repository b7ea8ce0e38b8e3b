#!/usr/bin/env bash
# Makes the enhanced-FLV inputs in samples/enhanced/ (HEVC, AV1 and VP9
# through the extended tag header) and records, beside each, the video
# packets that ffprobe flags as key frames (NAME.keyframes: dts_time,pos).
# Debian 12's ffmpeg (5.1) cannot write these files; ffmpeg 7.1 can. With a
# directory argument, ffmpeg and ffprobe run in that root (a throwaway
# Debian 13 made by `debootstrap --variant=minbase trixie DIR` with
# `apt-get install --no-install-recommends ffmpeg` inside); without one, the
# ones on PATH, which must be 7.1 or later.
#
#   hevc_aac.flv    HEVC (x265, no B-frames) + AAC
#   hevcb_mp3.flv   HEVC (x265, 3 B-frames: composition times) + MP3
#   av1aom_mp3.flv  AV1 (libaom) + MP3
#   av1svt_mp3.flv  AV1 (SVT-AV1) + MP3
#   vp9_aac.flv     VP9 (libvpx) + AAC
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
out="$root/samples/enhanced"
mkdir -p "$out"
chroot_dir="${1:-}"

run() {
  if [[ -n "$chroot_dir" ]]; then
    chroot "$chroot_dir" "$@"
  else
    "$@"
  fi
}

# Inside the root, files go through /tmp/enhanced-samples.
work=/tmp/enhanced-samples
host_work="${chroot_dir}${work}"
mkdir -p "$host_work"
trap 'rm -rf "$host_work"' EXIT

video=(-f lavfi -i "testsrc=size=320x240:rate=25:duration=4")
audio=(-f lavfi -i "sine=frequency=440:sample_rate=44100:duration=4")
ff() { run ffmpeg -hide_banner -loglevel error -y "${video[@]}" "${audio[@]}" -g 25 -pix_fmt yuv420p "$@"; }

ff -c:v libx265 -preset ultrafast -x265-params bframes=0:log-level=error -c:a aac -b:a 96k "$work/hevc_aac.flv"
ff -c:v libx265 -preset fast -x265-params bframes=3:log-level=error -c:a libmp3lame -b:a 96k "$work/hevcb_mp3.flv"
ff -c:v libaom-av1 -usage realtime -cpu-used 8 -row-mt 1 -b:v 300k -c:a libmp3lame -b:a 96k "$work/av1aom_mp3.flv"
ff -c:v libsvtav1 -preset 12 -svtav1-params lp=2 -c:a libmp3lame -b:a 96k "$work/av1svt_mp3.flv"
ff -c:v libvpx-vp9 -deadline realtime -cpu-used 8 -row-mt 1 -b:v 400k -c:a aac -b:a 96k "$work/vp9_aac.flv"

for f in "$host_work"/*.flv; do
  name="$(basename "$f" .flv)"
  cp "$f" "$out/$name.flv"
  run ffprobe -v error -select_streams v -show_packets -show_entries packet=dts_time,pos,flags \
      -of csv=p=0 "$work/$name.flv" | awk -F, '$3 ~ /^K/ { print $1 "," $2 }' > "$out/$name.keyframes"
done
run ffmpeg -version | head -1 > "$out/FFMPEG_VERSION"
