#!/usr/bin/env bash
# tagmend against the tools users have, on inputs made by ffmpeg
# (bench/make-inputs.sh, cached in BENCH_DATA, default /work/bench-data):
#
# - MP3 repair of 100 MiB and 1 GiB (H.263 + MP3), metadata included, beside
#   cp, cp with the copy flushed to disk, ffmpeg -c copy, flvmeta --update and
#   yamdi; the output on the data's own file system (ext4 here: the metadata
#   update inserts blocks) and on tmpfs (/dev/shm: it writes a copy).
# - The PCM and Nellymoser flows (10 minutes of audio, converted by
#   tonecast) beside lame encoding the same audio, and tagmend's own share
#   (probe, re-timer, metadata: bench/retime_part).
#
# hyperfine gives the medians (1 warm-up, RUNS runs, default 5); paired.py
# runs tagmend and its reference alternately for the ratios, which a busy
# machine skews less; peak memory is the process tree's, as /usr/bin/time
# reports it. Every run starts from a clean page cache state for writes
# (rm and sync before it); the inputs stay cached.
#
#   bench/run.sh [BUILD_DIR]   Release, configured with -DTAGMEND_BENCH=ON
#                              (default build/release)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build/release}" && pwd)
bin=$build/bin
for exe in tagmend tonecast.exe retime_part; do
  [[ -x $bin/$exe ]] || { echo "no $bin/$exe: build a Release with -DTAGMEND_BENCH=ON" >&2; exit 1; }
done
for tool in ffmpeg flvmeta yamdi lame hyperfine python3; do
  command -v $tool >/dev/null || { echo "$tool missing (scripts/install-deps.sh)" >&2; exit 1; }
done
[[ -x /usr/bin/time ]] || { echo "/usr/bin/time missing (package time)" >&2; exit 1; }

data=${BENCH_DATA:-/work/bench-data}
runs=${RUNS:-5}
BENCH_DATA=$data "$root/bench/make-inputs.sh" >/dev/null
results=$(mktemp -d)
ext4_out=$data/out
shm_out=/dev/shm/tagmend-bench-$$
mkdir -p "$ext4_out" "$shm_out"
trap 'rm -rf "$results" "$shm_out" "$ext4_out"' EXIT

echo "## Machine"
echo
echo "- $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(free -g | awk '/Mem:/{print $2}') GiB RAM, Linux $(uname -r)"
echo "- data and ext4 output: $(df -T "$data" | awk 'NR==2{print $2" ("$1")"}'); tmpfs output: $(df -T /dev/shm | awk 'NR==2{print $2}')"
echo "- load before the run: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "- tools: $(ffmpeg -version | head -1 | cut -d' ' -f1-3), flvmeta $(flvmeta --version 2>&1 | head -1 | grep -o '[0-9][0-9.]*' | head -1), yamdi $(yamdi -h 2>&1 | awk '/Version:/{print $2; exit}'), $(lame --version | head -1 | cut -d'(' -f1), $(hyperfine --version)"
echo

peak() {  # command...: peak resident MiB of the process tree
  /usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -1 | awk '{printf "%.1f", $1 / 1024}'
}

# Prints a markdown table from hyperfine's JSON: median, ratio to the
# reference row, peak memory.
table() {  # json reference-name peaks-file
  python3 - "$1" "$2" "$3" <<'PY'
import json, sys
res = json.load(open(sys.argv[1]))["results"]
peaks = dict(l.rstrip("\n").split("\t") for l in open(sys.argv[3]))
ref = next(r["median"] for r in res if r["command"] == sys.argv[2])
print(f"| command | median | min-max | / {sys.argv[2]} | peak memory |")
print("|---|---|---|---|---|")
for r in res:
    print(f"| {r['command']} | {r['median']:.3f} s | {r['min']:.2f}-{r['max']:.2f} s "
          f"| {r['median'] / ref:.2f} | {peaks.get(r['command'], '?')} MiB |")
PY
}

paired_line() {  # json-line
  python3 - "$1" <<'PY2'
import json, sys
r = json.loads(sys.argv[1])
print(f"paired, {r['runs']} alternating runs: {r['b']} / {r['a']} = **{r['ratio_b_over_a']:.2f}** "
      f"(range {r['ratio_min']:.2f}-{r['ratio_max']:.2f}); medians {r['median_b']:.3f} s and "
      f"{r['median_a']:.3f} s; CPU {r['cpu_b']:.3f} s and {r['cpu_a']:.3f} s")
PY2
}

mp3_bench() {  # input out-dir label
  local in=$data/$1 out=$2 label=$3 json=$results/$1-$label.json peaks=$results/peaks
  local -a names=(tagmend cp "cp + fdatasync" "ffmpeg -c copy" "flvmeta --update" yamdi)
  local -a cmds=(
    "$bin/tagmend $in $out/t"
    "cp $in $out/c.flv"
    "cp $in $out/c.flv && sync -d $out/c.flv"
    "ffmpeg -nostdin -v error -y -i $in -map 0 -c copy $out/f.flv"
    "flvmeta --update $in $out/m.flv"
    "yamdi -i $in -o $out/y.flv")
  local -a args=()
  : >"$peaks"
  for i in "${!names[@]}"; do
    args+=(-n "${names[$i]}" "${cmds[$i]}")
    rm -f "$out"/*; sync
    printf '%s\t%s\n' "${names[$i]}" "$(peak sh -c "${cmds[$i]}")" >>"$peaks"
  done
  hyperfine -S bash --style none --warmup 1 --runs "$runs" --prepare "rm -f $out/*; sync" \
    --export-json "$json" "${args[@]}" >/dev/null
  echo "### $1 ($(($(stat -c %s "$in") / 1048576)) MiB), output on $label"
  echo
  table "$json" cp "$peaks"
  local p
  p=$(python3 "$root/bench/paired.py" --runs $((runs + 2)) --prepare "rm -f $out/*; sync" \
      cp "${cmds[1]}" tagmend "${cmds[0]}")
  echo "$p" >"$results/paired-$1-$label.json"
  echo
  echo "$(paired_line "$p")"
  echo
  if [[ $label == ext4 ]]; then
    # Beside a copy that is written out to the disk as well: tagmend, like
    # cp, leaves its output in the page cache.
    p=$(python3 "$root/bench/paired.py" --runs $((runs + 2)) --prepare "rm -f $out/*; sync" \
        "cp + fdatasync" "${cmds[2]}" tagmend "${cmds[0]}")
    echo "$(paired_line "$p")"
    echo
  fi
}

echo "## MP3 repair"
echo
for label in ext4 tmpfs; do
  out=$ext4_out; [[ $label == tmpfs ]] && out=$shm_out
  mp3_bench mp3-100m.flv "$out" "$label"
  mp3_bench mp3-1g.flv "$out" "$label"
  python3 - "$results/paired-mp3-100m.flv-$label.json" "$results/paired-mp3-1g.flv-$label.json" \
    "$(stat -c %s "$data/mp3-100m.flv")" "$(stat -c %s "$data/mp3-1g.flv")" "$label" <<'PY'
import json, sys
s, b = (json.load(open(p)) for p in sys.argv[1:3])
size = int(sys.argv[4]) / int(sys.argv[3])
print(f"Growth on {sys.argv[5]}: tagmend 1 GiB / 100 MiB = **{b['median_b'] / s['median_b']:.2f}** "
      f"for {size:.2f}x the bytes (cp: {b['median_a'] / s['median_a']:.2f})\n")
PY
done

flow_bench() {  # name lame-args
  local name=$1 lame_args=$2 out=$ext4_out json=$results/$1-flow.json peaks=$results/peaks
  local tag="$bin/tagmend $data/$name.flv $out/t"
  local lame="lame --silent -b 128 $lame_args $data/$name.wav $out/l.mp3"
  : >"$peaks"
  rm -f "$out"/*
  printf '%s\t%s\n' lame "$(peak sh -c "$lame")" tagmend "$(peak sh -c "$tag")" >>"$peaks"
  hyperfine -S bash --style none --warmup 1 --runs "$runs" --prepare "rm -f $out/*" \
    --export-json "$json" -n lame "$lame" -n tagmend "$tag" >/dev/null
  echo "### $name.flv: tagmend's $name flow (tonecast) beside lame on the same audio"
  echo
  table "$json" lame "$peaks"
  local p
  p=$(python3 "$root/bench/paired.py" --runs 3 --prepare "rm -f $out/*" lame "$lame" tagmend "$tag")
  echo
  echo "$(paired_line "$p")"
  echo
  # The re-timer and metadata on the MP3 the flow wrote, on both file systems.
  local keep=$results/$name.mp3
  "$bin/tagmend" "$data/$name.flv" "$out/k" >/dev/null
  cp "$out/k.mp3" "$keep"
  echo "tagmend's own work without the converter (bench/retime_part): peak" \
    "$(peak "$bin/retime_part" "$name" "$data/$name.flv" "$keep" "$out/r.flv") MiB"
  echo
  local share_json=$results/$name-share.json
  hyperfine -S bash --style none --warmup 1 --runs 10 --export-json "$share_json" \
    --prepare "rm -f $ext4_out/r.flv $shm_out/r.flv; sync" \
    -n "own share, ext4" "$bin/retime_part $name $data/$name.flv $keep $ext4_out/r.flv" \
    -n "own share, tmpfs" "$bin/retime_part $name $data/$name.flv $keep $shm_out/r.flv" >/dev/null
  python3 - "$share_json" "$json" <<'PY'
import json, sys
share = json.load(open(sys.argv[1]))["results"]
flow = next(r for r in json.load(open(sys.argv[2]))["results"] if r["command"] == "tagmend")
for r in share:
    print(f"- {r['command']} (probe, re-timer, metadata): median {r['median']:.3f} s, "
          f"**{100 * r['median'] / flow['median']:.1f} %** of the flow's median")
PY
  echo
}

echo "## PCM and Nellymoser flows"
echo
flow_bench pcm ""
flow_bench nelly "--resample 44.1"
echo "- load after the run: $(cut -d' ' -f1-3 /proc/loadavg)"
