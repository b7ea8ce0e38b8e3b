#!/usr/bin/env bash
# The MP3 repair, metadata included, against cp, yamdi, flvmeta --update and
# ffmpeg -c copy on the inputs old Flash recordings are made of
# (bench/make-inputs.sh): webcam-like (small tags, half a million of them in
# 512 MiB) and HD (60 KB video tags). Each
# pair runs alternately (paired.py), the output on tmpfs (/dev/shm: no
# writeback noise) and on the data's own file system; then peak memory, and
# the growth from 512 MiB to 1 GiB of the webcam-like input.
#
#   bench/mp3-repair.sh [BUILD_DIR]   (default build/release)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build/release}" && pwd)
tagmend=$build/bin/tagmend
[[ -x $tagmend ]] || { echo "no $tagmend: build a Release" >&2; exit 1; }
data=${BENCH_DATA:-/work/bench-data}
runs=${RUNS:-7}
BENCH_DATA=$data "$root/bench/make-inputs.sh" >/dev/null
disk_out=$data/out-mp3
shm_out=/dev/shm/tagmend-bench-$$
mkdir -p "$disk_out" "$shm_out"
trap 'rm -rf "$shm_out" "$disk_out"' EXIT

echo "- $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), Linux $(uname -r)"
echo "- output on tmpfs and on $(df -T "$data" | awk 'NR==2{print $2}'); load before: $(cut -d' ' -f1-3 /proc/loadavg)"
echo

pair() {  # out-dir name-a cmd-a name-b cmd-b
  python3 "$root/bench/paired.py" --runs "$runs" --prepare "rm -f $1/*; sync" "$2" "$3" "$4" "$5" |
    python3 -c 'import json,sys; r=json.load(sys.stdin); print("%.2f (%.2f-%.2f; %.2f s / %.2f s; CPU %.2f s / %.2f s)" % (r["ratio_b_over_a"], r["ratio_min"], r["ratio_max"], r["median_b"], r["median_a"], r["cpu_b"], r["cpu_a"]))'
}

echo "| input | output | tagmend / cp | tagmend / yamdi | tagmend / flvmeta | tagmend / ffmpeg | tagmend peak |"
echo "|---|---|---|---|---|---|---|"
for input in webcam-512m hd-512m; do
  in=$data/$input.flv
  cat "$in" >/dev/null
  for out in "$shm_out" "$disk_out"; do
    label=tmpfs; [[ $out == "$disk_out" ]] && label=disk
    t="$tagmend $in $out/t >/dev/null"
    vs_cp=$(pair "$out" cp "cp $in $out/c.flv" tagmend "$t")
    vs_yamdi=$(pair "$out" yamdi "yamdi -i $in -o $out/y.flv" tagmend "$t")
    vs_flvmeta=$(pair "$out" flvmeta "flvmeta --update $in $out/f.flv" tagmend "$t")
    vs_ffmpeg=$(pair "$out" ffmpeg "ffmpeg -nostdin -loglevel error -y -i $in -c copy $out/g.flv" tagmend "$t")
    rm -f "$out"/*
    peak=$(/usr/bin/time -f %M "$tagmend" "$in" "$out/t" 2>&1 >/dev/null | tail -1)
    echo "| $input | $label | $vs_cp | $vs_yamdi | $vs_flvmeta | $vs_ffmpeg | $((peak / 1024)) MiB |"
  done
done
echo
# Growth: the 1 GiB input against the 512 MiB one, alternately.
big=$data/webcam-1g.flv small=$data/webcam-512m.flv
cat "$big" >/dev/null
growth=$(pair "$shm_out" 512m "$tagmend $small $shm_out/t >/dev/null" 1g "$tagmend $big $shm_out/t >/dev/null")
echo "Growth, webcam-like, tmpfs: 1 GiB / 512 MiB = $growth"
