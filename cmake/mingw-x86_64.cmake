# Cross build for 64-bit Windows with Debian's MinGW-w64 toolchain
# (x86_64-w64-mingw32, posix-threads variant). Its executables run here under
# Wine: CTest and gtest_discover_tests start them through the emulator below,
# in a Wine prefix of the build tree's own.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(TAGMEND_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)

find_program(TAGMEND_WINE NAMES wine64 wine PATHS /usr/lib/wine)
if(TAGMEND_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR
      ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh ${CMAKE_BINARY_DIR}/wineprefix)
endif()
