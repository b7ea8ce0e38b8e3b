#!/usr/bin/env bash
# Cross-builds tagmend for Windows with Debian's MinGW-w64 toolchains: the
# 32-bit build (presets mingw32, the target the tools ship for) and the 64-bit
# build (mingw64, whose tests run here under Wine: scripts/windows-test.sh).
# Run scripts/install-deps.sh --windows first on a new machine.
#
#   scripts/windows-build.sh [mingw32] [mingw64]   (both when none is named)
#
# TAGMEND_BUILD_PREFIX (default build/) puts the build folders elsewhere:
# <prefix>mingw32, <prefix>mingw64. TAGMEND_JOBS sets the parallel jobs.
set -euo pipefail
cd "$(dirname "$0")/.."
prefix=${TAGMEND_BUILD_PREFIX:-build/}
jobs=${TAGMEND_JOBS:-$(nproc)}
targets=("$@")

# The two libraries export their C interface, undecorated, and nothing else.
tarvel_exports="CreateFileReadAble CreateFileWriteAble DeleteFileReadAble DeleteFileWritable \
FlvMetaCreateObject FlvMetaDeleteObject FlvMetaParseFromFile FlvMetaUpdateToFile Flv_CloseWithMetadata Flv_FreeTag \
Flv_ReadHeader Flv_ReadTag Flv_WriteHeader Flv_WriteTag GetFLVInfo GetFLVInfoFromFile"
quennet_exports="AVR_Close AVR_Create AVR_Delete AVR_GetAVInfo AVR_Open GetMP3FrameSize Quennet_init"
exports() {
  objdump -p "$1" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/s/^\s*\[ *[0-9]*\] //p' |
    LC_ALL=C sort | tr '\n' ' ' | sed 's/ $//'
}

((${#targets[@]})) || targets=(mingw32 mingw64)

for preset in "${targets[@]}"; do
  dir="${prefix}${preset}"
  echo "== $preset -> $dir"
  cmake --preset "$preset" -B "$dir" >/dev/null
  cmake --build "$dir" -j "$jobs"
  # The shipped files: the program and the two libraries, nothing else
  # needed beside them (static runtime).
  for f in tagmend.exe Tarvel.dll Quennet.dll; do
    [[ -f "$dir/bin/$f" ]] || { echo "missing $dir/bin/$f" >&2; exit 1; }
  done
  [[ $(exports "$dir/bin/Tarvel.dll") == "$tarvel_exports" ]] ||
    { echo "Tarvel.dll exports: $(exports "$dir/bin/Tarvel.dll")" >&2; exit 1; }
  [[ $(exports "$dir/bin/Quennet.dll") == "$quennet_exports" ]] ||
    { echo "Quennet.dll exports: $(exports "$dir/bin/Quennet.dll")" >&2; exit 1; }
  deps=$(objdump -p "$dir/bin/tagmend.exe" "$dir/bin/Tarvel.dll" "$dir/bin/Quennet.dll" |
         sed -n 's/^\s*DLL Name: //p' | sort -u | tr '\n' ' ')
  echo "   imports: $deps"
  for d in $deps; do
    case "${d,,}" in
      tarvel.dll|quennet.dll|kernel32.dll|msvcrt.dll|user32.dll|advapi32.dll|api-ms-win-*) ;;
      *) echo "unexpected run-time dependency $d" >&2; exit 1 ;;
    esac
  done
done
