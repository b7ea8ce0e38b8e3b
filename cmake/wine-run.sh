#!/bin/sh
# Runs a Windows program under Wine for CTest and gtest_discover_tests:
#   wine-run.sh PREFIX PROGRAM [ARGUMENTS...]
# in the Wine prefix PREFIX (created on first use). A call that finds no Wine
# server running starts one, and the system services, with their output apart
# from the program's: a service started by the program would hold its output
# pipes, and CTest would wait for them. The server and services end 30
# seconds after the last program, so that the tests, one after the other,
# share them: a program started just as the server was going away would fail
# to start.
set -e
export WINEPREFIX="$1" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# Wine keeps its files on a Linux file system, where a file's gaps take no
# space: the tests may write far past the end (platform/file_test.cpp).
export TAGMEND_SPARSE_TMP=1
shift
wine=/usr/lib/wine/wine64
[ -x "$wine" ] || wine=wine
server=/usr/lib/wine/wineserver64
[ -x "$server" ] || server=wineserver
if "$server" -p30 </dev/null >/dev/null 2>&1; then
  "$wine" wineboot -u </dev/null >/dev/null 2>&1 || true
fi
exec "$wine" "$@"
