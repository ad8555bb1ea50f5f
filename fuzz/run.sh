#!/usr/bin/env bash
# Runs one fuzz target: first every committed regression input and seed once,
# then fuzzing from the seeds for a bounded time or number of runs.
#
#   fuzz/run.sh BUILD_DIR TARGET WORK_DIR LIMIT
#
# BUILD_DIR is a tree configured with the fuzz preset, TARGET one of the
# names in fuzz/CMakeLists.txt, WORK_DIR a scratch folder for the growing
# corpus and any finding, LIMIT either seconds (e.g. 40) or runs (e.g.
# runs=10000000). Exits non-zero on any finding; the failing input is left in
# WORK_DIR/findings/: copy it into fuzz/regressions/TARGET/ once fixed.
set -euo pipefail

build=$1 target=$2 work=$3 limit=$4
here=$(cd "$(dirname "$0")" && pwd)
binary="$build/fuzz/$target"
[ -x "$binary" ] || { echo "run.sh: no $binary; build the fuzz preset first" >&2; exit 2; }

options=(-max_len=4096 -timeout=10 -rss_limit_mb=2048 -print_final_stats=1)
case $target in
  event_line_fuzzer|receive_loop_fuzzer) options+=("-dict=$here/event_line.dict") ;;
esac
# The framing target needs lines past its 2048-byte buffer, little more.
[ "$target" = receive_loop_fuzzer ] && options[0]=-max_len=2600
case $limit in
  runs=*) options+=("-runs=${limit#runs=}") ;;
  *) options+=("-max_total_time=$limit") ;;
esac

mkdir -p "$work/corpus" "$work/findings"
cp -n "$here/corpus/$target"/* "$work/corpus/" 2>/dev/null || true

# Replay: a list of files runs each once and stops at the first failure.
replay=()
for file in "$here/regressions/$target"/* "$here/corpus/$target"/*; do
  [ -f "$file" ] && replay+=("$file")
done
if [ "${#replay[@]}" -gt 0 ]; then
  "$binary" "${options[@]:0:3}" "${replay[@]}" >"$work/replay.log" 2>&1 || {
    cat "$work/replay.log" >&2
    echo "run.sh: $target fails on a committed input" >&2
    exit 1
  }
fi

"$binary" "${options[@]}" -artifact_prefix="$work/findings/" "$work/corpus" \
  >"$work/fuzz.log" 2>&1 || {
  tail -n 60 "$work/fuzz.log" >&2
  echo "run.sh: $target found a failing input: $(ls "$work/findings")" >&2
  exit 1
}
grep -E '^stat::number_of_executed_units|^Done ' "$work/fuzz.log" | sed "s/^/$target: /"
