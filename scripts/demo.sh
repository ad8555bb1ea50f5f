#!/usr/bin/env bash
# Builds BWCorvane and the stand-in chat server, then runs one whole stats
# check in ./demo: the bot logs on, joins its home channel, asks for the
# statistics of every name in examples/bwmembers.txt, five seconds apart, and
# prints the answers. Ends by itself once the last answer has arrived (about
# a minute), then shows the result log.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

cmake --preset release >/dev/null
cmake --build --preset release --target BWCorvane chatd >/dev/null

demo="$top/demo"
rm -rf "$demo"
mkdir -p "$demo"
cp examples/configuration.txt examples/bwmembers.txt "$demo/"

port=6112
build/release/server/chatd --port "$port" --exit-after 120 >"$demo/chatd.log" 2>&1 &
server=$!
bot=""
cleanup() {
  [ -n "$bot" ] && kill "$bot" 2>/dev/null || true
  kill "$server" 2>/dev/null || true
  wait 2>/dev/null || true
}
trap cleanup EXIT

for _ in $(seq 50); do
  grep -q "listening" "$demo/chatd.log" 2>/dev/null && break
  sleep 0.1
done
if ! grep -q "listening" "$demo/chatd.log"; then
  echo "demo: the stand-in chat server did not start:" >&2
  cat "$demo/chatd.log" >&2
  exit 1
fi

echo "demo: stand-in chat server on 127.0.0.1:$port; running BWCorvane in $demo"
echo
(cd "$demo" && exec "$top/build/release/app/BWCorvane") &
bot=$!

# The answers are read once a walk of the list has ended; the last name's
# record closes the check.
last=$(tail -n 1 examples/bwmembers.txt)
for _ in $(seq 900); do
  if grep -q "^${last}'s record:" "$demo/BroodWar.log" 2>/dev/null; then
    sleep 1
    break
  fi
  if ! kill -0 "$bot" 2>/dev/null; then
    echo "demo: BWCorvane ended early" >&2
    exit 1
  fi
  sleep 0.1
done

kill "$bot" 2>/dev/null || true
wait "$bot" 2>/dev/null || true
bot=""
echo
echo "demo: what the server received (demo/chatd.log):"
grep ">>" "$demo/chatd.log" | sed 's/^/  /'
echo
echo "demo: result log (demo/BroodWar.log):"
sed 's/^/  /' "$demo/BroodWar.log"
