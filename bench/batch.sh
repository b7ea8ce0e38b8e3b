#!/usr/bin/env bash
# tagmend-batch against the best a shell gives without it: tagmend run per
# file by `xargs -P 2` (no shell in between, output folders made
# beforehand), both writing the same outputs on the same tree, 2 at once.
# The tree: FILES webcam-like recordings (320x240 Sorenson H.263, 128 kb/s
# MP3, about 1.1 KB a tag) of SIZE_MIB each in 8 folders, made once into
# BENCH_DATA (default /work/bench-data). Paired runs (bench/paired.py),
# outputs removed before every run, page cache warm.
# Target: the batch's wall time within 1.1x of xargs' (hash, two scans and
# the manifest included).
#
#   bench/batch.sh [BUILD_DIR]   (default build/release; FILES=120 SIZE_MIB=4 RUNS=7)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build/release}" && pwd)
batch=$build/bin/tagmend-batch
tagmend=$build/bin/tagmend
[[ -x $batch && -x $tagmend ]] || { echo "build the targets tagmend and tagmend-batch" >&2; exit 1; }
data=${BENCH_DATA:-/work/bench-data}
files=${FILES:-120}
size_mib=${SIZE_MIB:-4}
runs=${RUNS:-7}
tree=$data/batch-tree-$files-$size_mib
work=$(mktemp -d "${TMPDIR:-/tmp}/batch-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

if [[ ! -d $tree ]]; then
  mkdir -p "$data"
  clip=$(mktemp --suffix=.flv)
  ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i "testsrc2=size=320x240:rate=25" \
    -f lavfi -i "sine=frequency=440:sample_rate=44100" -t 10 -c:v flv -b:v 360k \
    -c:a libmp3lame -b:a 128k -flvflags no_metadata "$clip"
  python3 "$root/bench/loop-flv.py" "$clip" "$clip.long" $((size_mib * 1024 * 1024))
  mkdir -p "$tree.tmp"
  for ((i = 0; i < files; i++)); do
    mkdir -p "$tree.tmp/day$((i % 8))"
    cp "$clip.long" "$tree.tmp/day$((i % 8))/rec$i.flv"
  done
  rm -f "$clip" "$clip.long"
  mv "$tree.tmp" "$tree"
fi

# The xargs side: "input prefix" pairs, NUL-separated, the folders made in
# the preparation (as the batch makes its own).
(cd "$tree" && find . -name '*.flv' -printf '%P\0') |
  while IFS= read -r -d '' rel; do printf '%s\0%s\0' "$tree/$rel" "$work/xargs/${rel%.flv}"; done >"$work/pairs"
prepare="rm -rf '$work/xargs' '$work/batch' && (cd '$tree' && find . -type d -printf '$work/xargs/%P\n') | xargs mkdir -p"

echo "## tagmend-batch against tagmend per file under xargs -P 2"
echo
echo "- $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), load before: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "- tree: $files files of $size_mib MiB in 8 folders, $(du -sm "$tree" | cut -f1) MiB, page cache warm"
echo
cat "$tree"/*/*.flv >/dev/null
python3 "$root/bench/paired.py" --runs "$runs" --prepare "$prepare" \
  xargs "xargs -0 -n 2 -P 2 '$tagmend' <'$work/pairs' >/dev/null" \
  tagmend-batch "'$batch' -j 2 '$tree' '$work/batch' >/dev/null"
