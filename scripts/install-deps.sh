#!/usr/bin/env bash
# Installs what the project needs on a Debian 12 machine (run as root).
#   scripts/install-deps.sh            build, tests, samples, benchmarks
#   scripts/install-deps.sh --windows  also the MinGW-w64 cross compilers and Wine
#     (the Windows converter's own libraries are built as the user, not here:
#     scripts/build-windows-deps.sh)
set -euo pipefail

packages=(
  build-essential cmake ninja-build git python3 pkg-config
  googletest libgtest-dev libbenchmark-dev
  ffmpeg flvmeta yamdi lame hyperfine time
  parallel  # GNU parallel: the batch test spreads shards of a tree with it
  libmp3lame-dev libavcodec-dev libavutil-dev libspeex-dev
  clang libclang-rt-14-dev
  man-db file dpkg-dev  # scripts/install-test.sh: man pages, cpack's Debian package
  librsvg2-bin  # rsvg-convert: the report test draws tagmend-report's SVG
  chromium  # the player test: flv.js plays a repaired file in headless Chromium
)
# npm fetches flv.js for the player test; a Node.js from elsewhere brings its own.
command -v npm >/dev/null || packages+=(npm)
if [[ "${1:-}" == "--windows" ]]; then
  packages+=(mingw-w64 g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine64)
  # dpkg-source, for the converter's libraries built from Debian's sources
  # (scripts/build-windows-deps.sh, run by scripts/windows-build.sh)
  packages+=(dpkg-dev)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo=""
  [[ $(id -u) -eq 0 ]] || sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# flv.js for the player test (tests/player), from the npm registry, cached by
# version outside the clone.
flvjs_version=1.6.2
flvjs_dir="$HOME/.cache/tagmend/npm/flv.js-$flvjs_version"
if [[ ! -f "$flvjs_dir/node_modules/flv.js/dist/flv.min.js" ]]; then
  mkdir -p "$flvjs_dir"
  npm install --prefix "$flvjs_dir" --no-audit --no-fund --no-save "flv.js@$flvjs_version"
fi

# mpegts.js, flv.js's successor, which reads the extended video header: the
# player test plays the repaired AAC file and a repaired AV1 recording with it.
mpegts_version=1.8.2
mpegts_dir="$HOME/.cache/tagmend/npm/mpegts.js-$mpegts_version"
if [[ ! -f "$mpegts_dir/node_modules/mpegts.js/dist/mpegts.js" ]]; then
  mkdir -p "$mpegts_dir"
  npm install --prefix "$mpegts_dir" --no-audit --no-fund --no-save "mpegts.js@$mpegts_version"
fi
