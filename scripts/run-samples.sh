#!/usr/bin/env bash
# Runs the release build of tagmend on every sample into out/ and prints
# each exit code. Builds nothing: build the release preset first.
set -uo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
tagmend="${TAGMEND:-$root/build/release/bin/tagmend}"
if [[ ! -x "$tagmend" ]]; then
  echo "no $tagmend: run 'cmake --preset release && cmake --build --preset release' first" >&2
  exit 1
fi
# What a run did, from its exit code and the input's audio codec (ffprobe).
repaired() {
  local code="$1" audio="$2"
  case "$code:$audio" in
    0:mp3) echo "MP3 re-stamped, video moved with it" ;;
    0:pcm_*) echo "PCM converted to MP3, video re-timed to it" ;;
    0:nellymoser) echo "Nellymoser converted to MP3, video re-timed to it" ;;
    0:*) echo "nothing to repair" ;;
    7:*) echo "no audio: nothing to repair" ;;
    *) echo "failed" ;;
  esac
}

mkdir -p "$root/out"
for sample in "$root"/samples/*.flv; do
  name="$(basename "$sample" .flv)"
  rm -f "$root/out/$name".flv "$root/out/$name".mp3
  "$tagmend" "$sample" "$root/out/$name" >/dev/null
  code=$?
  audio="$(ffprobe -v error -select_streams a:0 -show_entries stream=codec_name -of csv=p=0 "$sample" 2>/dev/null)"
  # MP3 without video is left alone: say so rather than "re-stamped".
  video="$(ffprobe -v error -select_streams v:0 -show_entries stream=codec_type -of csv=p=0 "$sample" 2>/dev/null)"
  [[ "$audio" == mp3 && -z "$video" ]] && audio="mp3 alone"
  made="$(cd "$root/out" && ls "$name".* 2>/dev/null | tr '\n' ' ')"
  printf '%-20s exit %d  %-50s %s\n' "$name" "$code" "$(repaired "$code" "$audio")" "${made:-(no output)}"
done
