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

# The service test mostly waits (a booted container, the bot's real pauses):
# it runs beside the soak, the package and the Windows parts, which have
# other ports and build trees; its output is shown once they are done.
service_log=build/test-systemd.log
service() {
  scripts/test-systemd.sh >"$service_log" 2>&1 &
  service_pid=$!
  service_start=$SECONDS
  # A part that fails ends this script: the service test then ends too,
  # after its own cleanup (the container), and shows how far it came.
  trap '{ kill "$service_pid" 2>/dev/null && wait "$service_pid"; } || true; cat "$service_log"' EXIT
}
service_done() {
  local status=0
  wait "$service_pid" || status=$?
  trap - EXIT
  cat "$service_log"
  timings+=("$(printf '%5d s  %s' $((SECONDS - service_start)) "the service under a live systemd (a booted Debian container), beside the three above")")
  return "$status"
}

part "formatting and static analysis" scripts/check-style.sh
part "build and ctest (workflow ci)" cmake --workflow --preset ci
mkdir -p build
service
part "a year of stops, in minutes: 30 cycles (docs/reliability.md)" scripts/soak.sh 30
part "Debian package: contents, units, dpkg -i and a check" scripts/test-package.sh
part "Windows build, wine tests, folder packages" scripts/test-windows.sh
service_done
part "sanitizers, fuzzing, valgrind" scripts/test-reliability.sh  # docs/reliability.md

echo
echo "test: every part passed, in $((SECONDS - started)) s:"
printf '  %s\n' "${timings[@]}"
