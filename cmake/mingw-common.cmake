# Shared part of the MinGW-w64 toolchain files; TAGMEND_MINGW_TRIPLE names
# the target.
set(CMAKE_C_COMPILER ${TAGMEND_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TAGMEND_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${TAGMEND_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${TAGMEND_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test executables are listed when CTest runs them, not right after they are
# linked: a cross build may have no way to run them at build time.
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
