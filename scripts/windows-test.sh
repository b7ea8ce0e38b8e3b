#!/usr/bin/env bash
# Builds both Windows targets (scripts/windows-build.sh) and tests them:
#   - 32-bit (mingw32): compiled only, which checks the records' byte layout;
#     this machine cannot run 32-bit Windows code.
#   - 64-bit (mingw64): its unit tests run under Wine through CTest; then
#     tagmend.exe and tonecast.exe run under Wine on FLVs made by ffmpeg,
#     their outputs checked on Linux: the Windows-only cases of tests/wine
#     (the converter's outputs compared with the Linux build's), and the Linux
#     end-to-end suites of tagmend itself, pointed at tagmend.exe. Both are
#     built in a Linux build beside the Windows ones.
# Wine uses a prefix of its own inside the 64-bit build folder.
#
# TAGMEND_BUILD_PREFIX (default build/) places the build folders:
# <prefix>mingw32, <prefix>mingw64 and <prefix>wine-host.
set -euo pipefail
cd "$(dirname "$0")/.."
prefix=${TAGMEND_BUILD_PREFIX:-build/}
jobs=${TAGMEND_JOBS:-$(nproc)}
export TAGMEND_BUILD_PREFIX=$prefix TAGMEND_JOBS=$jobs
# Each step says how long it took.
step_start=$SECONDS
took() { echo "   ($1: $((SECONDS - step_start)) s)"; step_start=$SECONDS; }

scripts/windows-build.sh mingw32 mingw64
took "both Windows builds, with the converter's libraries"

win32="${prefix}mingw32"
win64="$(realpath "${prefix}mingw64")"
echo "== mingw32: built, not run"
for f in tagmend.exe tonecast.exe; do
  objdump -f "$win32/bin/$f" | grep -q 'pei-i386' || { echo "$f is not 32-bit" >&2; exit 1; }
done
ls "$win32/bin"

# The first start creates the Wine prefix and takes a while; every run goes
# through cmake/wine-run.sh, as CTest's runs do.
echo "== Wine: starting ($win64/wineprefix)"
cmake/wine-run.sh "$win64/wineprefix" cmd /c exit </dev/null >/dev/null 2>&1
took "Wine start"

echo "== mingw64: unit tests under Wine"
ctest --test-dir "$win64" -j "$jobs" --output-on-failure --timeout 300 --no-tests=error
took "unit tests under Wine"

host="${prefix}wine-host"
echo "== mingw64: tagmend.exe end to end under Wine ($host)"
cmake -S . -B "$host" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTAGMEND_WINDOWS_BIN="$win64/bin" >/dev/null
suites=(driver_test mp3_repair_test damaged_inputs_test)
cmake --build "$host" -j "$jobs" --target tagmend tonecast wine_e2e_test "${suites[@]}" tonecast_e2e_test
took "Linux build beside"
ctest --test-dir "$host" -j "$jobs" --output-on-failure --timeout 300 -R '^WineTagmend\.' --no-tests=error
took "tests/wine"

# The Linux suites run "$TAGMEND_BIN/tagmend"; here that is tagmend.exe under
# Wine, its console lines (CR LF on Windows) read as Linux lines. Beside it
# lies the Windows build's tonecast.exe, as in a Linux build's bin folder; a
# copy of the wrapper with no tonecast.exe beside it (as the suites make one
# to have the flows fail quickly) runs a tagmend.exe that has none either.
winbin="$(realpath "$host")/windows-bin"
lone="$(realpath "$host")/windows-lone"
mkdir -p "$winbin" "$lone"
ln -sf "$win64/bin/tonecast.exe" "$winbin/tonecast.exe"
for f in tagmend.exe Tarvel.dll Quennet.dll; do cp "$win64/bin/$f" "$lone/$f"; done
# tagmend prints its banner before anything else, so a run that ends with 1 and
# printed nothing never reached it: Wine failed to start the program (its
# server was going away between two runs). That run is made once more.
cat >"$winbin/tagmend" <<WRAPPER
#!/usr/bin/env bash
out=\$(mktemp)
trap 'rm -f "\$out"' EXIT
app="$win64/bin"
[[ -e "\$(dirname "\$0")/tonecast.exe" ]] || app="$lone"
for attempt in 1 2; do
  "$PWD/cmake/wine-run.sh" "$win64/wineprefix" "\$app/tagmend.exe" "\$@" >"\$out"
  rc=\$?
  [[ \$rc == 1 && ! -s \$out ]] || break
done
sed 's/\r\$//' "\$out"
exit "\$rc"
WRAPPER
chmod +x "$winbin/tagmend"
for suite in "${suites[@]}"; do
  filter='*'
  # The re-timers that this suite also calls in-process are the Linux build's.
  [[ $suite == damaged_inputs_test ]] && filter='*TagmendEndsCleanly*'
  echo "== $suite against tagmend.exe"
  TAGMEND_BIN="$winbin" "$host/bin/$suite" --gtest_brief=1 --gtest_filter="$filter"
  took "$suite"
done
# The PCM, Nellymoser and Speex flows through the converter, its MP3s decoded and
# compared with the inputs' own audio (tonecast_e2e_test's chain through
# tagmend; its other cases start tonecast.exe on a job of Linux's own).
echo "== tonecast_e2e_test (the chain through tagmend) against tagmend.exe and tonecast.exe"
TAGMEND_BIN="$winbin" "$host/bin/tonecast_e2e_test" --gtest_brief=1 --gtest_filter='Inputs/TagmendChain.*'
took "the chain"
