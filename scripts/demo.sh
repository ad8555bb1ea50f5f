#!/usr/bin/env bash
# Builds BWCorvane and the stand-in chat server, then runs one whole stats
# check in ./demo: the bot logs on, joins its home channel, asks for the
# statistics of every name in examples/bwmembers.txt, five seconds apart, and
# prints the answers. Two members, alice and bob1, are in the home channel as
# clients of their own, so the seen file and the page's "Seen" column show
# them. Ends by itself once the last answer has arrived (about a minute),
# then shows the result log, the seen file and the path of the report page.
#
# Installs the Debian packages it needs when any is missing. Builds in
# build/demo (preset demo), whose server, port and build type are fixed, so
# builds of other presets for other servers never change what it runs.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
source scripts/common.sh

port=6112
port_taken() {
  local holder
  holder=$(corvane_port_holder "$port") || return 1
  echo "demo: TCP port $port, which the demo's server needs, is taken by $holder; stop it and run the demo again" >&2
}
port_taken && exit 1

corvane_need_packages demo "${corvane_build_packages[@]}"
echo "demo: building BWCorvane and the stand-in chat server in build/demo"
cmake --preset demo >/dev/null
cmake --build --preset demo >/dev/null
build="$top/build/demo"

demo="$top/demo"
rm -rf "$demo"
mkdir -p "$demo"
cp examples/configuration.txt examples/bwmembers.txt "$demo/"

port_taken && exit 1
"$build/server/chatd" --port "$port" --exit-after 120 >"$demo/chatd.log" 2>&1 &
server=$!
bot=""
members=()
cleanup() {
  [ -n "$bot" ] && kill "$bot" 2>/dev/null || true
  for member in "${members[@]}"; do kill "$member" 2>/dev/null || true; done
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
  port_taken || true
  exit 1
fi

# A member's own client: logs on, joins the home channel and stays there,
# reading what the server says, until the demo ends.
home=$(awk '{print $3; exit}' examples/configuration.txt)
member_client() {
  exec 3<>"/dev/tcp/127.0.0.1/$port"
  printf '\003\004%s\r\nsecret\r\n/join %s\r\n' "$1" "$home" >&3
  exec cat <&3 >"$demo/member-$1.log"
}
for name in alice bob1; do
  member_client "$name" &
  members+=($!)
done
for name in alice bob1; do
  for _ in $(seq 50); do
    grep -q "CHANNEL \"$home\"" "$demo/member-$name.log" 2>/dev/null && break
    sleep 0.1
  done
done

echo "demo: stand-in chat server on 127.0.0.1:$port, alice and bob1 in $home; running BWCorvane in $demo"
echo
# Its error output goes to a file, to be shown should it end early.
(cd "$demo" && exec "$build/app/BWCorvane" 2>"$demo/BWCorvane.stderr") &
bot=$!

# The answers are read once a walk of the list has ended; the last name's
# record closes the check.
last=$(tail -n 1 examples/bwmembers.txt)
answered=""
for _ in $(seq 900); do
  if grep -q "^${last}'s record:" "$demo/BroodWar.log" 2>/dev/null; then
    sleep 1
    answered=yes
    break
  fi
  if ! kill -0 "$bot" 2>/dev/null; then
    status=0
    wait "$bot" || status=$?
    bot=""
    echo >&2
    echo "demo: BWCorvane ended early, with exit status $status, before the last answer" >&2
    if [ -s "$demo/BWCorvane.stderr" ]; then
      echo "demo: its error output (demo/BWCorvane.stderr):" >&2
      sed 's/^/  /' "$demo/BWCorvane.stderr" >&2
    else
      echo "demo: it wrote nothing on its error output; see demo/corvane.log" >&2
    fi
    echo "demo: what the server printed (demo/chatd.log):" >&2
    tail -n 20 "$demo/chatd.log" | sed 's/^/  /' >&2
    exit 1
  fi
  sleep 0.1
done

# The bot writes its report page once the answers have stopped for a second.
page="$demo/BroodWar.html"
if [ -n "$answered" ]; then
  for _ in $(seq 100); do
    [ -f "$page" ] && break
    sleep 0.1
  done
fi

kill "$bot" 2>/dev/null || true
wait "$bot" 2>/dev/null || true
bot=""
if [ -z "$answered" ]; then
  echo "demo: no answer for $last in demo/BroodWar.log after 90 seconds" >&2
  exit 1
fi
echo
echo "demo: what the server received (demo/chatd.log):"
grep ">>" "$demo/chatd.log" | sed 's/^/  /'
echo
echo "demo: result log (demo/BroodWar.log):"
sed 's/^/  /' "$demo/BroodWar.log"
echo
echo "demo: seen file (demo/BroodWar-seen.csv):"
sed 's/^/  /' "$demo/BroodWar-seen.csv" 2>/dev/null || echo "  (none)"
echo
if [ -f "$page" ]; then
  echo "demo: the report page, to open in a browser: $page"
else
  echo "demo: BWCorvane wrote no report page; see demo/corvane.log" >&2
  exit 1
fi
