#!/usr/bin/env bash
# The reliability suites (docs/reliability.md), each in a build of its own:
#   1. asan:     the whole test suite under AddressSanitizer and
#                UndefinedBehaviorSanitizer;
#   2. fuzz:     every committed regression input and seed replayed, then
#                each libFuzzer target for a bounded time, two at a time;
#   3. memcheck: the end-to-end tests with the programs under valgrind
#                memcheck; every report must say 0 errors (leaks included).
# Any finding fails the run.
#
# Environment: CORVANE_RELIABILITY_BUILD_ROOT (default build/) holds the
# three build trees; CORVANE_FUZZ_SECONDS (default 20) bounds each target.
set -euo pipefail
cd "$(dirname "$0")/.."

root=${CORVANE_RELIABILITY_BUILD_ROOT:-build}
fuzz_seconds=${CORVANE_FUZZ_SECONDS:-20}
jobs=2

step() { printf '\n=== reliability: %s ===\n' "$*"; }

step "ASan+UBSan build and the whole test suite"
cmake --preset asan -B "$root/asan" >/dev/null
cmake --build "$root/asan" -j "$jobs"
ctest --test-dir "$root/asan" -j "$jobs" --timeout 300 --output-on-failure

step "fuzz targets: regression inputs, seeds, ${fuzz_seconds} s of fuzzing each"
cmake --preset fuzz -B "$root/fuzz" >/dev/null
cmake --build "$root/fuzz" -j "$jobs" --target corvane_fuzzers
targets=(event_line_fuzzer receive_loop_fuzzer members_list_fuzzer configuration_fuzzer results_fuzzer)
work="$root/fuzz/work"
rm -rf "$work"
failed=0
for ((i = 0; i < ${#targets[@]}; i += 2)); do
  pids=()
  for target in "${targets[@]:i:2}"; do
    fuzz/run.sh "$root/fuzz" "$target" "$work/$target" "$fuzz_seconds" &
    pids+=($!)
  done
  for pid in "${pids[@]}"; do wait "$pid" || failed=1; done
done
[ "$failed" -eq 0 ] || { echo "reliability: a fuzz target failed (see above)" >&2; exit 1; }

step "end-to-end tests with the programs under valgrind memcheck"
cmake --preset memcheck -B "$root/memcheck" >/dev/null
cmake --build "$root/memcheck" -j "$jobs" --target corvane_program_tests \
  corvane_hostile_tests corvane_bad_files_tests
reports="$root/memcheck/memcheck"
rm -f "$reports"/*.log
ctest --test-dir "$root/memcheck" -L end-to-end -LE slow --timeout 300 --output-on-failure
count=$(find "$reports" -name '*.log' | wc -l)
bad=$(grep -L 'ERROR SUMMARY: 0 errors' "$reports"/*.log || true)
if [ "$count" -eq 0 ] || [ -n "$bad" ]; then
  for report in $bad; do cat "$report" >&2; done
  echo "reliability: memcheck found errors or leaks in: ${bad:-no report at all}" >&2
  exit 1
fi
echo "reliability: memcheck: $count program runs, 0 errors, 0 leaks"
