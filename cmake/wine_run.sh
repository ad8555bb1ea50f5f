#!/bin/sh
# wine_run.sh WINE PROGRAM [ARGUMENTS...]: how ctest runs a Windows test
# program of the cross build (its CMAKE_CROSSCOMPILING_EMULATOR), with
# WINEDEBUG=-all to keep wine's own notes out of the program's output.
#
# On a busy machine wine now and then ends a start with a failure before the
# program has printed anything (a test program always prints first). Such a
# start is made once more, and said on standard error; a program that
# printed something and failed is never run again.
wine=$1
shift
output=$(mktemp) || exit 1
WINEDEBUG=-all "$wine" "$@" >"$output" 2>&1
status=$?
if [ "$status" -ne 0 ] && [ ! -s "$output" ]; then
  echo "wine_run: wine ended with status $status before $1 printed anything; starting it once more" >&2
  WINEDEBUG=-all "$wine" "$@" >"$output" 2>&1
  status=$?
fi
cat "$output"
rm -f "$output"
exit "$status"
