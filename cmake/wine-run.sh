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
# Rarely, a program does not start at all: it ends at once with an error and
# prints nothing. A test program always prints (gtest names what it runs), so
# such a run is made once more, and said so on standard error. A program that
# fails twice in a row fails the test as before.
out=$(mktemp)
trap 'rm -f "$out"' EXIT
for attempt in 1 2; do
  rc=0
  "$wine" "$@" >"$out" || rc=$?
  [ "$rc" -ne 0 ] && [ ! -s "$out" ] && [ "$attempt" -eq 1 ] || break
  echo "wine-run.sh: $1 ended with $rc and printed nothing; starting it once more" >&2
done
cat "$out"
exit "$rc"
