#!/usr/bin/env bash
# Measures Corvane's performance (docs/performance.md): builds everything in
# release mode, runs the micro-benchmarks, runs the real BWCorvane and the
# reference client 3 times each against a flood of 1,000,000 info lines
# (standard output to /dev/null) and prints the median lines per second of
# each, their ratio and each one's peak resident memory; then measures the
# bot's footprint (resident memory during a walk and over 100 reconnect
# cycles, wakeups and CPU while idle) and the size of each stripped program;
# last, the report page of a year of daily walks: writing it, and drawing it
# in headless Chromium (bench/report_page_bench.py).
#
#   scripts/bench.sh [BUILD_DIR]     (default: build/release)
#
# Needs 127.0.0.1 port 6112 (the shipped program's) and the build tree's
# CORVANE_BENCH_FAST_PORT (cmake/test_ports.cmake) free, and takes about five
# minutes.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh
build=${1:-build/release}
lines=1000000
runs=3

echo "== Machine"
echo "date:   $(date -u '+%Y-%m-%d %H:%M UTC')"
echo "cpu:    $(nproc) x $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')"
echo "memory: $(awk '/MemTotal/ {printf "%.1f GiB", $2 / 1048576}' /proc/meminfo)"
echo "system: $(uname -sr), $(. /etc/os-release && echo "$PRETTY_NAME"), $(g++ --version | head -1)"
echo "load:   $(cut -d' ' -f1-3 /proc/loadavg)"

echo "== Build (release) in $build"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build"
if [ ! -x "$build/bench/flood_runner" ]; then
  echo "bench.sh: bench/ was not built: install libbenchmark-dev" >&2
  exit 1
fi

echo "== Micro-benchmarks"
"$build/bench/corvane_benchmarks" --benchmark_min_time=0.5

echo "== Throughput"
"$build/bench/flood_runner" throughput --lines "$lines" --runs "$runs" \
  --bot "$build/app/BWCorvane" --reference "$build/bench/reference_client"

echo "== Footprint"
fast_port=$(corvane_test_port "$build" CORVANE_BENCH_FAST_PORT)
"$build/bench/flood_runner" footprint --bot "$build/app/BWCorvane" \
  --fast-bot "$build/bench/BWCorvane_bench_fast" --fast-port "$fast_port" --cycles 100

echo "== Size of each stripped program"
stripped=$(mktemp -d)
trap 'rm -rf "$stripped"' EXIT
for program in app/BWCorvane app/SCCorvane bench/reference_client; do
  strip -o "$stripped/out" "$build/$program"
  printf '  %-32s %8d bytes (unstripped %d)\n' "$program" "$(stat -c %s "$stripped/out")" \
    "$(stat -c %s "$build/$program")"
done
echo "== Report page (200 members x 365 daily walks)"
/usr/bin/python3 bench/report_page_bench.py "$build/app/corvane_report_page" "$build/report-page-bench"
