# Cross build for 32-bit Windows with Debian's MinGW-w64 toolchain
# (i686-w64-mingw32, the posix-threads variant so that std::thread and
# std::mutex exist). This machine cannot run 32-bit Windows code, so no
# emulator is set: the build compiles and checks the records' layout, and
# its tests are discovered only when run (on Windows).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(TAGMEND_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
