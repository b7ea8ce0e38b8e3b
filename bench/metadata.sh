#!/usr/bin/env bash
# Times the metadata refresh of a 1 GiB FLV (H.263 + MP3) beside cp,
# flvmeta --update and yamdi, on the file system of WORK (default: a folder
# under /tmp) and on tmpfs, where block insertion is not available.
# Usage: bench/metadata.sh BUILD_DIR (configured with -DTAGMEND_BENCH=ON)
# SOURCE names another FLV without metadata to use (bench/make-inputs.sh's
# mp3-1g.flv); by default one is made here.
set -euo pipefail
build=${1:?build directory}
tool=$build/bin/meta_update
work=${WORK:-/tmp/tagmend-bench-meta}
mkdir -p "$work"
src=${SOURCE:-$work/source.flv}
if [ ! -f "$src" ]; then
  ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=1280x720:rate=25,noise=alls=40:allf=t \
    -f lavfi -i sine=frequency=440:sample_rate=44100 -t 420 \
    -c:v flv -qscale:v 1 -c:a libmp3lame -b:a 128k -flvflags no_metadata "$src"
fi
ls -l "$src"
df -T "$work" | tail -1

run() {  # dir
  local d=$1
  hyperfine --warmup 1 --runs 5 \
    --prepare "cp $src $d/a.flv && sync" "$tool $d/a.flv" \
    --prepare "sync" "cp $src $d/b.flv" \
    --prepare "cp $src $d/a.flv && sync" "flvmeta --update $d/a.flv $d/c.flv" \
    --prepare "cp $src $d/a.flv && sync" "yamdi -i $d/a.flv -o $d/d.flv"
  cp "$src" "$d/a.flv"
  /usr/bin/time -v "$tool" "$d/a.flv" 2>&1 | grep -E "Maximum resident|Elapsed"
  rm -f "$d"/a.flv "$d"/b.flv "$d"/c.flv "$d"/d.flv
}

echo "== $work"; run "$work"
if [ -d /dev/shm ]; then
  shm=/dev/shm/tagmend-bench-meta; mkdir -p $shm
  echo "== $shm (tmpfs)"; run $shm; rm -rf $shm
fi
