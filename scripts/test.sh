#!/usr/bin/env bash
# Runs every test: the ci workflow (build with warnings as errors, then
# ctest), followed by the suites that need builds of their own. Installs the
# Debian packages they need when any is missing (scripts/common.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh
corvane_need_packages test "${corvane_test_packages[@]}"

started=$SECONDS
timings=()
part() {  # part NAME COMMAND...: runs the command and notes how long it took
  local name=$1 start=$SECONDS
  shift
  "$@"
  timings+=("$(printf '%5d s  %s' $((SECONDS - start)) "$name")")
}

part "formatting and static analysis" scripts/check-style.sh
part "build and ctest (workflow ci)" cmake --workflow --preset ci
part "a year of stops, in minutes: 50 cycles (docs/reliability.md)" scripts/soak.sh 50
part "Debian package: contents, units, dpkg -i and a check" scripts/test-package.sh
part "the service under a live systemd (a booted Debian container)" scripts/test-systemd.sh
part "Windows build, wine tests, folder packages" scripts/test-windows.sh
part "sanitizers, fuzzing, valgrind" scripts/test-reliability.sh  # docs/reliability.md

echo
echo "test: every part passed, in $((SECONDS - started)) s:"
printf '  %s\n' "${timings[@]}"
