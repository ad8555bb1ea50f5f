#!/usr/bin/env bash
# The Windows part of the test run, after the Linux suite:
#  1. a fresh wine prefix and one persistent wine server for the whole run;
#  2. the MinGW-w64 cross build (preset mingw: warnings as errors) and its
#     unit tests under wine, through ctest;
#  3. a Linux build pointed at it, on the cross build's test port
#     (cmake/test_ports.cmake), that runs the end-to-end tests of the
#     Windows programs under wine and compares their bytes with the POSIX
#     programs' (label windows);
#  4. the folder packages (scripts/package.sh, in build/test-windows): their
#     exact file lists and the line ends of their text files (CR LF in the
#     .zip); then the Windows package, unpacked into empty folders:
#     BWCorvane.exe and SCCorvane.exe run from it under wine against chatd,
#     each for one whole stats check with its real pauses, and
#     run-forever.cmd starts BWCorvane.exe again a minute after it ends.
# Needs g++-mingw-w64-x86-64-posix, wine and wine64 (see .ci/run).
# CORVANE_BUILD_ROOT (default build) is the folder every build goes to.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
source scripts/common.sh

for tool in x86_64-w64-mingw32-g++-posix wine wineboot wineserver; do
  if ! command -v "$tool" >/dev/null; then
    echo "test-windows: $tool is missing: apt-get install g++-mingw-w64-x86-64-posix wine wine64" >&2
    exit 1
  fi
done

root=${CORVANE_BUILD_ROOT:-build}
mkdir -p "$root"
root=$(cd "$root" && pwd)
started=$SECONDS
step() { echo "test-windows: [$((SECONDS - started)) s] $*"; }

export WINEDEBUG=-all
export WINEPREFIX="$root/wine"
wineserver -k 2>/dev/null || true  # one left by an interrupted earlier run
rm -rf "$WINEPREFIX"

chatd=""
bot=""
cleanup() {
  [ -n "$bot" ] && kill $bot 2>/dev/null || true
  [ -n "$chatd" ] && kill "$chatd" 2>/dev/null || true
  wait 2>/dev/null || true
  wineserver -k 2>/dev/null || true
}
trap cleanup EXIT

# The first wine call makes the prefix (10-15 s); doing it here keeps that
# out of test discovery. The persistent server spares every later call
# starting one, and keeps no pipes of a finished program open.
step "making the wine prefix $WINEPREFIX"
mkdir -p "$WINEPREFIX"
wineserver -p
wineboot -u >/dev/null 2>&1 </dev/null
wine cmd /c exit >/dev/null 2>&1 </dev/null

step "cross build (mingw) and its unit tests under wine"
cmake --preset mingw -B "$root/mingw" >/dev/null
# Every server of this run, and the Linux build that checks the cross build,
# use the cross build's test port.
port=$(corvane_test_port "$root/mingw" CORVANE_TEST_SERVER_PORT)
cmake --build "$root/mingw"
ctest --test-dir "$root/mingw" --output-on-failure --timeout 300 -j 2

step "end-to-end tests of the Windows programs under wine"
cmake -S . -B "$root/windows-check" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCORVANE_WERROR=ON -DCORVANE_BUILD_BENCHMARKS=OFF -DCORVANE_TEST_SERVER_PORT=$port \
  -DCORVANE_WINDOWS_BUILD_DIR="$root/mingw" -DCORVANE_WINEPREFIX="$WINEPREFIX" >/dev/null
cmake --build "$root/windows-check" --target corvane_windows_program_tests \
  corvane_windows_comparison_tests corvane_windows_locked_results_tests \
  corvane_windows_stop_tests chatd
ctest --test-dir "$root/windows-check" -L windows --output-on-failure --timeout 300 -j 2

# The packages under test are built for 127.0.0.1's name on this run's port,
# in a folder of their own; everything else about them is what a release
# gets.
step "folder packages"
packages="$root/test-windows/packages"
CORVANE_BUILD_ROOT="$root/test-windows" CORVANE_PACKAGES="linux windows" scripts/package.sh \
  -DCORVANE_SERVER_HOST=localhost -DCORVANE_SERVER_PORT=$port
zip="$packages/Corvane-1.0-windows-x86_64.zip"
tgz="$packages/Corvane-1.0-linux-x86_64.tar.gz"

# Both hold the programs (with .exe on Windows), the samples, the how-to and
# the licence; the Linux one also chatd, the Windows one run-forever.cmd.
contents() { cmake -E tar tf "$1" | sed 's|^[^/]*/||; s|\.exe$||' | grep -v '^$' | LC_ALL=C sort; }
common=(BWCorvane HOWTO.txt LICENSE SCCorvane bwmembers.txt configuration.txt scmembers.txt)
for entry in "$zip run-forever.cmd" "$tgz chatd"; do
  package=${entry% *}
  expected=$(printf '%s\n' "${common[@]}" "${entry##* }" | LC_ALL=C sort)
  if [ "$(contents "$package")" != "$expected" ]; then
    echo "test-windows: unexpected contents of $package:" >&2
    cmake -E tar tf "$package" >&2
    exit 1
  fi
done

# Text files: every line ends with CR LF in the .zip, with LF alone in the
# .tar.gz.
unpacked="$root/test-windows/unpacked"
rm -rf "$unpacked"
mkdir -p "$unpacked/zip" "$unpacked/tgz"
(cd "$unpacked/zip" && cmake -E tar xf "$zip")
(cd "$unpacked/tgz" && cmake -E tar xf "$tgz")
for text in HOWTO.txt LICENSE bwmembers.txt configuration.txt scmembers.txt run-forever.cmd; do
  file="$unpacked/zip/Corvane-1.0-windows-x86_64/$text"
  if [ "$(tr -cd '\n' <"$file" | wc -c)" -eq 0 ] || grep -q $'[^\r]$\|^$' "$file" ||
    [ "$(tail -c 2 "$file" | od -An -c | tr -d ' ')" != '\r\n' ]; then
    echo "test-windows: not every line of $text in the .zip ends with CR LF" >&2
    exit 1
  fi
  file="$unpacked/tgz/Corvane-1.0-linux-x86_64/$text"
  if [ -e "$file" ] && grep -q $'\r' "$file"; then
    echo "test-windows: $text in the .tar.gz holds a CR" >&2
    exit 1
  fi
done

step "the Windows package, unpacked into empty folders, under wine against chatd"
# BWCorvane.exe and SCCorvane.exe at once, each from a copy of its own (they
# share corvane.log's name), with the sample files and real pauses; the
# server refuses a second logon of an account, so SCCorvane's copy logs on
# as another one.
check="$root/package-check"
rm -rf "$check"
mkdir -p "$check"
"$root/windows-check/server/chatd" --port $port --exit-after 180 >"$check/chatd.log" 2>&1 &
chatd=$!
for _ in $(seq 50); do
  grep -q "listening" "$check/chatd.log" 2>/dev/null && break
  sleep 0.1
done
bots=()
for program in BWCorvane SCCorvane; do
  mkdir "$check/$program"
  (cd "$check/$program" && cmake -E tar xf "$zip")
  folder="$check/$program/Corvane-1.0-windows-x86_64"
  [ "$program" = BWCorvane ] || printf 'statbot2 secret1 StatHome\r\n' >"$folder/configuration.txt"
  (cd "$folder" && exec wine "$program.exe" >"$check/$program.stdout" \
    2>"$check/$program.stderr" </dev/null) &
  bots+=($!)
done
# Meanwhile run-forever.cmd, in a copy without configuration.txt, where
# BWCorvane.exe ends at once with status 1: it must start it again a minute
# later.
mkdir "$check/run-forever"
(cd "$check/run-forever" && cmake -E tar xf "$zip")
rm "$check/run-forever/Corvane-1.0-windows-x86_64/configuration.txt"
(cd "$check/run-forever/Corvane-1.0-windows-x86_64" &&
  exec wine cmd /c run-forever.cmd BWCorvane >"$check/run-forever.out" 2>&1 </dev/null) &
bots+=($!)
bot="${bots[*]}"
ends() {  # how often run-forever.cmd has seen BWCorvane.exe end
  local count
  count=$(grep -c "^run-forever: BWCorvane ended with status 1 " "$check/run-forever.out" 2>/dev/null) || true
  echo "${count:-0}"
}
first_end=""
second_end=""

# A whole check: every member of the sample list asked for with the
# program's product code, and every answer printed and in the result log.
checked() {  # checked PROGRAM LIST PRODUCT LOG: prints what is missing
  local folder="$check/$1/Corvane-1.0-windows-x86_64" name
  if [ "$(tail -n +2 "$folder/$2" 2>/dev/null | grep -c .)" -eq 0 ]; then
    echo "no names in $2 of the unpacked package"
    return
  fi
  while read -r name; do
    grep -q ">> /stats $name $3\$" "$check/chatd.log" || echo "chatd never received /stats $name $3"
    grep -q "^INFO: $name's record:" "$check/$1.stdout" || echo "$1 did not print the answer for $name"
    grep -q "^$name's record:" "$folder/$4" 2>/dev/null || echo "the answer for $name is not in $1's $4"
  done < <(tail -n +2 "$folder/$2" | tr -d '\r')
}
missing() {
  checked BWCorvane bwmembers.txt SEXP BroodWar.log
  checked SCCorvane scmembers.txt STAR Starcraft.log
}
for _ in $(seq 1500); do
  ended=$(ends)
  [ -z "$first_end" ] && [ "$ended" -ge 1 ] && first_end=$SECONDS
  [ -z "$second_end" ] && [ "$ended" -ge 2 ] && second_end=$SECONDS
  [ -z "$(missing)" ] && [ -n "$second_end" ] && break
  sleep 0.1
done
kill $bot 2>/dev/null || true
wait $bot 2>/dev/null || true
bot=""
kill "$chatd" 2>/dev/null || true
wait "$chatd" 2>/dev/null || true
chatd=""

problems=$(missing)
if [ -n "$problems" ]; then
  for program in BWCorvane SCCorvane; do
    echo "--- $program stdout"; cat "$check/$program.stdout"
    echo "--- $program stderr"; cat "$check/$program.stderr"
  done
  echo "--- chatd"; cat "$check/chatd.log"
  echo "$problems" | sed 's/^/test-windows: /' >&2
  echo "test-windows: the Windows package did not perform a whole stats check" >&2
  exit 1
fi
step "both programs of the Windows package performed a whole stats check"
if [ -z "$second_end" ] || [ $((second_end - first_end)) -lt 55 ]; then
  echo "--- run-forever.cmd"; cat "$check/run-forever.out"
  echo "test-windows: run-forever.cmd did not start BWCorvane.exe again a minute after it ended" >&2
  exit 1
fi
step "run-forever.cmd started BWCorvane.exe again $((second_end - first_end)) s after it ended"
step "done"
