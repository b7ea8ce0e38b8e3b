#!/usr/bin/env bash
# Builds the converter's libraries for the Windows builds: static libmp3lame,
# a minimal static libavcodec + libavutil (the Nellymoser decoder alone) and
# static libspeex, from Debian 12's source packages of lame, ffmpeg and speex,
# at the versions of the Linux libmp3lame-dev, libavcodec-dev and
# libspeex-dev (so both builds share one API), for i686-w64-mingw32 and
# x86_64-w64-mingw32.
#
#   scripts/build-windows-deps.sh [TRIPLE...]   (both triples when none is named)
#
# Each triple's prefix is $TAGMEND_WINDOWS_DEPS/<triple> (default
# ~/.cache/tagmend/windows-deps/<triple>): include/, lib/, and share/notices/
# with the licence texts and where the exact source comes from. A prefix
# whose VERSIONS file names the wanted versions is kept as it is, so a second
# run costs nothing; libspeex has a stamp of its own (VERSIONS-speex), so
# that adding or updating it rebuilds nothing else. The source packages stay
# in $TAGMEND_WINDOWS_DEPS/src.
# Needs dpkg-dev (dpkg-source), the MinGW-w64 compilers and the Debian
# archive's deb-src lists, which it fetches into a private folder: the
# system's apt configuration is not touched.
set -euo pipefail
root=${TAGMEND_WINDOWS_DEPS:-$HOME/.cache/tagmend/windows-deps}
jobs=${TAGMEND_JOBS:-$(nproc)}
# Raised whenever the build below changes, so that older prefixes are rebuilt.
recipe=1
triples=("$@")
((${#triples[@]})) || triples=(i686-w64-mingw32 x86_64-w64-mingw32)

installed() {
  dpkg-query -W -f='${db:Status-Status} ${Version}' "$1" 2>/dev/null | sed -n 's/^installed //p'
}
lame_version=$(installed libmp3lame-dev)
ffmpeg_version=$(installed libavcodec-dev)
speex_version=$(installed libspeex-dev)
if [[ -z $lame_version || -z $ffmpeg_version || -z $speex_version ]]; then
  echo "build-windows-deps: libmp3lame-dev, libavcodec-dev and libspeex-dev must be installed (scripts/install-deps.sh)" >&2
  exit 1
fi
stamp="recipe $recipe
lame $lame_version
ffmpeg $ffmpeg_version"
speex_recipe=1
speex_stamp="recipe $speex_recipe
speex $speex_version"

# Epochs are not part of the file names.
upstream() { local v=${1#*:}; echo "${v%-*}"; }

# What the LGPL asks of a program that links these libraries statically:
# their licence texts (copied by build) and where their exact source is.
# Written on every run, cached prefixes too, and only when it changes.
notices() {
  local t=$1 file=$root/$1/share/notices/THIRD-PARTY-NOTICES.txt text
  text=$(
  cat <<NOTICE
tonecast.exe contains these libraries, linked statically:

  LAME (libmp3lame) $(upstream "$lame_version")
    GNU Library General Public License, version 2 or later: LICENSE-lame.txt
    Source: Debian 12 source package lame, version $lame_version
    (lame_${lame_version#*:}.dsc and the files it names, in the Debian archive)

  FFmpeg (libavcodec, libavutil) $(upstream "$ffmpeg_version")
    GNU Lesser General Public License, version 2.1 or later: LICENSE-ffmpeg.txt
    Source: Debian 12 source package ffmpeg, version $ffmpeg_version
    (ffmpeg_${ffmpeg_version#*:}.dsc and the files it names, in the Debian archive)

  Speex (libspeex) $(upstream "$speex_version")
    BSD-style licence of the Xiph.Org Foundation: LICENSE-speex.txt
    Source: Debian 12 source package speex, version $speex_version
    (speex_${speex_version#*:}.dsc and the files it names, in the Debian archive)

All three are built for $t
from those source packages as dpkg-source unpacks them (upstream's sources
with Debian's patches), with no changes of ours, by
scripts/build-windows-deps.sh of tagmend, which gives the exact configure
options. FFmpeg is configured with only libavcodec, libavutil and the
Nellymoser decoder:

  --enable-static --disable-shared --disable-autodetect --disable-x86asm
  --disable-programs --disable-doc --disable-avdevice --disable-avformat
  --disable-swscale --disable-swresample --disable-postproc --disable-avfilter
  --disable-network --disable-everything --enable-decoder=nellymoser

libspeex is configured with:

  --enable-static --disable-shared --disable-binaries

To use a modified version of either library, build it the same way into
<folder>/$t
and link tonecast.exe again from tagmend's sources, configured with
-DTAGMEND_WINDOWS_DEPS=<folder>.
NOTICE
  )
  [[ -f $file && $(cat "$file") == "$text" ]] || printf '%s\n' "$text" >"$file"
}

wanted=()
wanted_speex=()
for t in "${triples[@]}"; do
  case $t in
    i686-w64-mingw32) ;;
    x86_64-w64-mingw32) ;;
    *) echo "build-windows-deps: unknown triple $t" >&2; exit 1 ;;
  esac
  if [[ -f $root/$t/VERSIONS && $(cat "$root/$t/VERSIONS") == "$stamp" ]]; then
    echo "== windows deps $t: lame $lame_version, ffmpeg $ffmpeg_version (cached)"
    if [[ -f $root/$t/VERSIONS-speex && $(cat "$root/$t/VERSIONS-speex") == "$speex_stamp" ]]; then
      echo "== windows deps $t: speex $speex_version (cached)"
    else
      wanted_speex+=("$t")
    fi
  else
    wanted+=("$t")
    wanted_speex+=("$t")
  fi
done
if ((${#wanted[@]} == 0 && ${#wanted_speex[@]} == 0)); then
  for t in "${triples[@]}"; do notices "$t"; done
  exit 0
fi
command -v dpkg-source >/dev/null || { echo "build-windows-deps: dpkg-source missing (package dpkg-dev)" >&2; exit 1; }

# ---- The source packages, from deb-src lists of our own ----------------------
src=$root/src
lame_dir=$src/lame-$(upstream "$lame_version")
ffmpeg_dir=$src/ffmpeg-$(upstream "$ffmpeg_version")
speex_dir=$src/speex-$(upstream "$speex_version")
lame_dsc=$src/lame_${lame_version#*:}.dsc
ffmpeg_dsc=$src/ffmpeg_${ffmpeg_version#*:}.dsc
speex_dsc=$src/speex_${speex_version#*:}.dsc
mkdir -p "$src"
if [[ ! -f $lame_dsc || ! -f $ffmpeg_dsc || ! -f $speex_dsc ]]; then
  apt_dir=$src/apt
  mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial"
  cat >"$apt_dir/deb-src.sources" <<'SOURCES'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: http://deb.debian.org/debian-security
Suites: bookworm-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SOURCES
  apt_options=(-o "Dir::Etc::SourceList=$apt_dir/deb-src.sources" -o Dir::Etc::SourceParts=/dev/null
               -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache"
               -o APT::Sandbox::User=root -qq)
  echo "== windows deps: fetching the source packages lame $lame_version, ffmpeg $ffmpeg_version, speex $speex_version"
  apt-get "${apt_options[@]}" update
  (cd "$src" && apt-get "${apt_options[@]}" source --download-only \
     "lame=$lame_version" "ffmpeg=$ffmpeg_version" "speex=$speex_version") ||
    { echo "build-windows-deps: the archive has no source for these versions; bring libmp3lame-dev," \
           "libavcodec-dev and libspeex-dev up to date (apt-get upgrade)" >&2; exit 1; }
fi
# Unpacked under another name and renamed when whole, so that an interrupted
# run leaves no half tree to be taken for a whole one.
unpack() {
  [[ -d $2 ]] && return
  rm -rf "$2.partial"
  dpkg-source --no-check -x "$1" "$2.partial" >/dev/null
  mv "$2.partial" "$2"
}
unpack "$lame_dsc" "$lame_dir"
unpack "$ffmpeg_dsc" "$ffmpeg_dir"
unpack "$speex_dsc" "$speex_dir"

# ---- One triple ----------------------------------------------------------------
build() {
  local t=$1 prefix=$root/$1 arch
  case $t in i686-*) arch=x86 ;; *) arch=x86_64 ;; esac
  local work
  work=$(mktemp -d "$root/build-$t.XXXXXX")
  rm -rf "$prefix"
  echo "== windows deps $t: lame $lame_version"
  # lame's configure misreads gcc 12's version and then builds without
  # optimisation: CFLAGS is given.
  (cd "$work" && mkdir lame && cd lame &&
   "$lame_dir/configure" --host="$t" CC="$t-gcc-posix" CFLAGS=-O2 --prefix="$prefix" \
     --disable-shared --enable-static --disable-frontend >config.out 2>&1 &&
   make -j "$jobs" >make.out 2>&1 && make install >install.out 2>&1) ||
    { echo "lame build failed: see $work/lame" >&2; return 1; }
  echo "== windows deps $t: ffmpeg $ffmpeg_version (libavcodec + libavutil, Nellymoser decoder)"
  # Without --cc the cross prefix picks the win32-threads compiler.
  (cd "$work" && mkdir ffmpeg && cd ffmpeg &&
   "$ffmpeg_dir/configure" --prefix="$prefix" --enable-cross-compile --target-os=mingw32 \
     --arch="$arch" --cross-prefix="$t-" --cc="$t-gcc-posix" --cxx="$t-g++-posix" \
     --enable-static --disable-shared --disable-autodetect --disable-x86asm \
     --disable-programs --disable-doc --disable-avdevice --disable-avformat \
     --disable-swscale --disable-swresample --disable-postproc --disable-avfilter \
     --disable-network --disable-everything --enable-decoder=nellymoser >config.out 2>&1 &&
   make -j "$jobs" >make.out 2>&1 && make install >install.out 2>&1) ||
    { echo "ffmpeg build failed: see $work/ffmpeg" >&2; return 1; }

  mkdir -p "$prefix/share/notices"
  cp "$lame_dir/COPYING" "$prefix/share/notices/LICENSE-lame.txt"
  cp "$ffmpeg_dir/COPYING.LGPLv2.1" "$prefix/share/notices/LICENSE-ffmpeg.txt"
  printf '%s\n' "$stamp" >"$prefix/VERSIONS"
  rm -rf "$work"
}

# libspeex into a prefix that holds the others already.
build_speex() {
  local t=$1 prefix=$root/$1
  local work
  work=$(mktemp -d "$root/build-speex-$t.XXXXXX")
  rm -f "$prefix/VERSIONS-speex"
  echo "== windows deps $t: speex $speex_version"
  (cd "$work" && mkdir speex && cd speex &&
   "$speex_dir/configure" --host="$t" CC="$t-gcc-posix" CFLAGS=-O2 --prefix="$prefix" \
     --disable-shared --enable-static --disable-binaries >config.out 2>&1 &&
   make -j "$jobs" -C libspeex >make.out 2>&1 && make -C libspeex install >install.out 2>&1 &&
   make -C include install >>install.out 2>&1 && make install-pkgconfigDATA >>install.out 2>&1) ||
    { echo "speex build failed: see $work/speex" >&2; return 1; }
  mkdir -p "$prefix/share/notices"
  cp "$speex_dir/COPYING" "$prefix/share/notices/LICENSE-speex.txt"
  printf '%s\n' "$speex_stamp" >"$prefix/VERSIONS-speex"
  rm -rf "$work"
}

for t in "${wanted[@]}"; do
  command -v "$t-gcc-posix" >/dev/null ||
    { echo "build-windows-deps: $t-gcc-posix missing (scripts/install-deps.sh --windows)" >&2; exit 1; }
  build "$t"
done
for t in "${wanted_speex[@]}"; do
  command -v "$t-gcc-posix" >/dev/null ||
    { echo "build-windows-deps: $t-gcc-posix missing (scripts/install-deps.sh --windows)" >&2; exit 1; }
  build_speex "$t"
done
for t in "${triples[@]}"; do notices "$t"; done
