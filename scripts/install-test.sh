#!/usr/bin/env bash
# Installs the release build as a user would and runs what was installed:
#  1. `cmake --install` into a temporary prefix: the layout, no path of the
#     build tree left in it, the installed tagmend (through the link in bin/,
#     found on the PATH) on a PCM and an MP3 sample from another folder, and
#     a small program built against the installed libraries, and the
#     installed tagmend-report and tagmend-batch when they are built;
#  2. the manual pages render without a warning;
#  3. the Debian package: unpacked with `dpkg -x` into a throwaway root, its
#     tagmend run on a PCM, a Nellymoser and an MP3 sample, and every library
#     its files load found in the package or in a package it depends on;
#  4. the package installed into the machine with `dpkg -i` (as root, as CI
#     runs), the installed tagmend and tagmend-report run on the samples,
#     then the package removed with `dpkg -r`.
# Outputs of the installed programs must equal those of the build tree.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build/release"
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT

fail() { echo "install-test: $*" >&2; exit 1; }

cd "$root"
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" --target programs

# Reference outputs of the build tree.
mkdir "$tmp/ref"
for s in pcm nellymoser drift-mp3-h264; do
  "$build/bin/tagmend" "samples/$s.flv" "$tmp/ref/$s" >/dev/null
done

# repairs TAGMEND DIR SAMPLE...: runs TAGMEND from DIR on each sample and
# checks its outputs against the build tree's, with ffprobe and flvmeta.
repairs() {
  local tagmend="$1" dir="$2"
  shift 2
  mkdir -p "$dir"
  for s in "$@"; do
    (cd "$dir" && "$tagmend" "$root/samples/$s.flv" "$s" >/dev/null) ||
      fail "$tagmend $s.flv: exit $?"
    for out in "$tmp/ref/$s".*; do
      local name
      name="$(basename "$out")"
      cmp -s "$out" "$dir/$name" || fail "$tagmend: $name differs from the build tree's"
      ffprobe -v error "$dir/$name" || fail "$tagmend: ffprobe rejects $name"
      if [[ "$name" == *.flv ]]; then
        # Video stamps that fall back where the sound was stamped ahead are
        # the MP3 repair's doing; any other error is not.
        ! flvmeta --check "$dir/$name" | grep ': error ' | grep -v E40021 ||
          fail "$tagmend: flvmeta --check rejects $name"
      fi
    done
  done
}

echo "== cmake --install"
prefix="$tmp/prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null
[[ "$(readlink "$prefix/bin/tagmend")" == ../lib/tagmend/tagmend ]] || fail "bin/tagmend is not a link to ../lib/tagmend/tagmend"
for f in tagmend tonecast.exe libTarvel.so libQuennet.so; do
  [[ -f "$prefix/lib/tagmend/$f" ]] || fail "no lib/tagmend/$f"
done
for f in share/man/man1/tagmend.1 include/tarvel/tarvel.h include/quennet/quennet.h \
         lib/cmake/Tarvel/TarvelConfig.cmake lib/cmake/Quennet/QuennetConfig.cmake; do
  [[ -f "$prefix/$f" ]] || fail "no $f"
done
# reports REPORT: the installed report program loads its libraries and
# judges a drifted sample (exit status 1: needs repair).
have_report=false
grep -q '^build tagmend-report:' "$build/build.ninja" && have_report=true
reports() {
  local code=0
  "$1" "$root/samples/drift-mp3-h264.flv" >/dev/null || code=$?
  [[ $code == 1 ]] || fail "$1 samples/drift-mp3-h264.flv: exit $code, not 1"
}
if $have_report; then
  for f in bin/tagmend-report share/man/man1/tagmend-report.1; do
    [[ -f "$prefix/$f" ]] || fail "no $f"
  done
  reports "$prefix/bin/tagmend-report"
fi
# batches BATCH OUT: the installed batch program runs the tagmend beside it
# (the link in bin/) over the samples, converter included.
have_batch=false
grep -q '^build tagmend-batch:' "$build/build.ninja" && have_batch=true
batches() {
  local code=0
  "$1" -j 2 "$root/samples" "$2" >/dev/null || code=$?
  [[ $code == 0 ]] || fail "$1 samples: exit $code, not 0"
  for f in drift-mp3-h264.flv pcm.mp3 nellymoser.mp3 manifest.jsonl; do
    [[ -s "$2/$f" ]] || fail "$1 samples: no $f"
  done
}
if $have_batch; then
  for f in bin/tagmend-batch share/man/man1/tagmend-batch.1; do
    [[ -f "$prefix/$f" ]] || fail "no $f"
  done
  batches "$prefix/bin/tagmend-batch" "$tmp/batch"
fi
! grep -rl "$build" "$prefix" || fail "the installed files above name the build tree"
PATH="$prefix/bin:$PATH" repairs tagmend "$tmp/work" pcm drift-mp3-h264

echo "== a program built on the installed libraries"
cmake -S tests/install -B "$tmp/consumer" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_C_FLAGS="-Wall -Wextra -Werror" >/dev/null
cmake --build "$tmp/consumer" >/dev/null
# MPEG-1 layer III, 128 kb/s, 44100 Hz: 144 * 128000 / 44100 = 417 bytes.
[[ "$("$tmp/consumer/flvprobe" samples/pcm.flv FFFB9064)" == "audio 0 video 2 frame 417" ]] ||
  fail "flvprobe: $("$tmp/consumer/flvprobe" samples/pcm.flv FFFB9064)"

echo "== manual pages"
for page in man/*.1; do
  warnings="$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)"
  [[ -z "$warnings" ]] || fail "$page: $warnings"
done

echo "== Debian package"
(cd "$build" && cpack -G DEB -B "$tmp/deb" >/dev/null)
deb="$(ls "$tmp/deb"/tagmend_*.deb)"
debroot="$tmp/debroot"
dpkg -x "$deb" "$debroot"
[[ -f "$debroot/usr/share/doc/tagmend/copyright" ]] || fail "no copyright file in the package"
[[ -f "$debroot/usr/share/man/man1/tagmend.1.gz" ]] || fail "no tagmend.1.gz in the package"
repairs "$debroot/usr/bin/tagmend" "$tmp/debwork" pcm nellymoser drift-mp3-h264
if $have_report; then reports "$debroot/usr/bin/tagmend-report"; fi
if $have_batch; then batches "$debroot/usr/bin/tagmend-batch" "$tmp/debbatch"; fi

# Every shared library an ELF file of the package needs is in the package's
# private folder or belongs to a package named in Depends.
depends="$(dpkg-deb -f "$deb" Depends)"
echo "Depends: $depends"
depends_names=" $(sed 's/([^)]*)//g; s/[|,]/ /g' <<<"$depends" | tr -s ' ') "
while IFS= read -r elf; do
  for lib in $(readelf -d "$elf" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
    [[ -e "$debroot/usr/lib/tagmend/$lib" ]] && continue
    # awk reads to the end: an early exit would end ldconfig with SIGPIPE.
    path="$(ldconfig -p | awk -v l="$lib" '$1 == l && !found {print $NF; found = 1}')"
    [[ -n "$path" ]] || fail "$elf needs $lib, found nowhere"
    owner="$(dpkg -S "$path" 2>/dev/null || dpkg -S "$(readlink -f "$path")")"
    owner="${owner%%:*}"
    [[ "$depends_names" == *" $owner "* ]] ||
      fail "$(basename "$elf") needs $lib from $owner, which Depends does not name"
  done
done < <(find "$debroot" -type f -exec sh -c 'file -b "$1" | grep -q "^ELF"' _ {} \; -print)
# tonecast.exe loads the Nellymoser decoder at run time, by its major version.
for lib in libavcodec libavutil; do
  [[ "$depends" == *"$lib$(pkg-config --modversion "$lib" | cut -d. -f1)"* ]] ||
    fail "Depends does not name $lib"
done
echo "== dpkg -i"
if [[ $(id -u) == 0 ]]; then
  # dpkg -r leaves only a record ("deinstall ok config-files"), which is no install.
  if [[ "$(dpkg-query -W -f='${Status}' tagmend 2>/dev/null || true)" == *" installed" ]]; then
    fail "a tagmend package is installed already; remove it first (dpkg -r tagmend)"
  fi
  dpkg -i "$deb" >/dev/null
  trap 'dpkg -r tagmend >/dev/null 2>&1 || true; rm -rf "$tmp"' EXIT
  [[ "$(command -v tagmend)" == /usr/bin/tagmend ]] || fail "dpkg -i: no /usr/bin/tagmend on the PATH"
  repairs /usr/bin/tagmend "$tmp/dpkgwork" pcm nellymoser drift-mp3-h264
  if $have_report; then reports /usr/bin/tagmend-report; fi
  dpkg -r tagmend >/dev/null
  [[ ! -e /usr/bin/tagmend && ! -e /usr/lib/tagmend ]] || fail "dpkg -r left files of the package"
else
  echo "install-test: not root, the package is not installed into the machine"
fi
echo "install-test: passed"
