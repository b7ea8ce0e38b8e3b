#!/usr/bin/env bash
# Cross-builds tagmend for Windows with Debian's MinGW-w64 toolchains: the
# 32-bit build (presets mingw32, the target the tools ship for) and the 64-bit
# build (mingw64, whose tests run here under Wine: scripts/windows-test.sh).
# The converter's static libraries come first (scripts/build-windows-deps.sh,
# cached by version). Run scripts/install-deps.sh --windows first on a new
# machine.
#
#   scripts/windows-build.sh [mingw32] [mingw64]   (both when none is named)
#
# TAGMEND_BUILD_PREFIX (default build/) puts the build folders elsewhere:
# <prefix>mingw32, <prefix>mingw64. TAGMEND_JOBS sets the parallel jobs.
set -euo pipefail
shopt -s extglob
cd "$(dirname "$0")/.."
prefix=${TAGMEND_BUILD_PREFIX:-build/}
jobs=${TAGMEND_JOBS:-$(nproc)}
targets=("$@")

# The two libraries export their C interface, undecorated, and nothing else.
tarvel_exports="CreateFileReadAble CreateFileWriteAble CreateFileWriteAbleChecked DeleteFileReadAble \
DeleteFileWritable FlvMetaCreateObject FlvMetaDeleteObject FlvMetaParseFromFile FlvMetaUpdateToFile \
Flv_CloseWithMetadata Flv_FreeTag Flv_GetFileVersion Flv_ReadFailed Flv_ReadHeader Flv_ReadTag \
Flv_WriteHeader Flv_WriteTag Flv_WriteTagFrom GetFLVInfo GetFLVInfoFromFile"
quennet_exports="AVR_Close AVR_Create AVR_Delete AVR_GetAVInfo AVR_Open GetMP3FrameSize Quennet_init"
exports() {
  objdump -p "$1" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/s/^\s*\[ *[0-9]*\] //p' |
    LC_ALL=C sort | tr '\n' ' ' | sed 's/ $//'
}

((${#targets[@]})) || targets=(mingw32 mingw64)

for preset in "${targets[@]}"; do
  dir="${prefix}${preset}"
  case $preset in
    mingw32) scripts/build-windows-deps.sh i686-w64-mingw32 ;;
    mingw64) scripts/build-windows-deps.sh x86_64-w64-mingw32 ;;
  esac
  echo "== $preset -> $dir"
  cmake --preset "$preset" -B "$dir" >/dev/null
  cmake --build "$dir" -j "$jobs"
  # The shipped files: the program, the converter, the two libraries and
  # the notices of the converter's static libraries, nothing else needed
  # beside them (static runtime).
  for f in tagmend.exe tonecast.exe Tarvel.dll Quennet.dll \
           THIRD-PARTY-NOTICES.txt LICENSE-lame.txt LICENSE-ffmpeg.txt LICENSE-speex.txt; do
    [[ -f "$dir/bin/$f" ]] || { echo "missing $dir/bin/$f" >&2; exit 1; }
  done
  [[ $(exports "$dir/bin/Tarvel.dll") == "$tarvel_exports" ]] ||
    { echo "Tarvel.dll exports: $(exports "$dir/bin/Tarvel.dll")" >&2; exit 1; }
  [[ $(exports "$dir/bin/Quennet.dll") == "$quennet_exports" ]] ||
    { echo "Quennet.dll exports: $(exports "$dir/bin/Quennet.dll")" >&2; exit 1; }
  # Each file's imports: the system's and each other's; the converter's are
  # KERNEL32, ADVAPI32 (the platform layer's security calls), msvcrt, Tarvel
  # and bcrypt (libavutil's random seeds) alone.
  for f in tagmend.exe Tarvel.dll Quennet.dll tonecast.exe; do
    deps=$(objdump -p "$dir/bin/$f" | sed -n 's/^\s*DLL Name: //p' | sort -u | tr '\n' ' ')
    echo "   $f imports: $deps"
    allowed='tarvel.dll|quennet.dll|kernel32.dll|msvcrt.dll|user32.dll|advapi32.dll|api-ms-win-*'
    [[ $f == tonecast.exe ]] && allowed='tarvel.dll|kernel32.dll|advapi32.dll|msvcrt.dll|bcrypt.dll'
    for d in $deps; do
      [[ ${d,,} == @($allowed) ]] || { echo "unexpected run-time dependency $d of $f" >&2; exit 1; }
    done
  done
done
