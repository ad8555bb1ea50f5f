#!/usr/bin/env bash
# The service under a live systemd (run by scripts/test.sh; needs root):
#  1. builds corvane_1.0_amd64.deb for 127.0.0.1, port 16512, in
#     build/test-systemd, and runs lintian on it (an error or warning not
#     overridden fails);
#  2. makes a Debian bookworm root there with debootstrap, meanwhile (kept,
#     and reused by the next run), and boots it with systemd-nspawn on a private network,
#     its changes kept in memory only (--volatile=overlay);
#  3. inside: dpkg -i, chatd as a transient unit, and with the units' times
#     shortened by drop-ins (RestartSec 2 s; one instance's daily restart
#     40 s, another's timer 8 s) checks what the journal shows: the walk,
#     two instances under two users, the daily restart as a clean stop and
#     a start with a walk again, a `systemctl stop` during a walk leaving
#     one row per request sent and status 0, the restart after a kill, a changed members list taking effect, ten
#     refused logons and then no restart until a new configuration.txt
#     starts it, a stopped instance started again by its timer, a server
#     that is down retried (each failed connect in the journal), and a
#     purge that leaves nothing running, enabled or stored, after which the
#     package installs afresh.
# A container that does not boot fails the test. Every step prints the
# seconds since the start; CORVANE_BUILD_ROOT (default build) is the folder
# the build and the root go to.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh
corvane_need_packages test-systemd "${corvane_build_packages[@]}" "${corvane_package_packages[@]}" \
  "${corvane_systemd_test_packages[@]}"

started=$SECONDS
step() { echo "test-systemd: [$((SECONDS - started)) s] $*"; }
leader=""
fail() {
  echo "test-systemd: [$((SECONDS - started)) s] FAILED: $*" >&2
  if [ -n "$leader" ]; then
    nsenter -t "$leader" -a journalctl --no-pager -o short-precise >"$out/journal.log" 2>&1 || true
    echo "test-systemd: the container's journal is in $out/journal.log" >&2
  fi
  exit 1
}
# A command that fails outside a check ends the test as a failure too, with
# the container's journal.
trap 'fail "the command at line $LINENO failed"' ERR
[ "$(id -u)" -eq 0 ] || fail "needs root, for debootstrap and systemd-nspawn"

root=${CORVANE_BUILD_ROOT:-build}
mkdir -p "$root"
root=$(cd "$root" && pwd)
out="$root/test-systemd"
port=16512  # inside the container only: its network is its own
mkdir -p "$out"

nspawn=""
bootstrap=""
cleanup() {
  if [ -n "$bootstrap" ]; then
    kill -- "-$bootstrap" 2>/dev/null || true  # its session: debootstrap and what it runs
    wait "$bootstrap" 2>/dev/null || true
  fi
  [ -n "$nspawn" ] || return 0
  # SIGTERM makes systemd-nspawn shut the container down cleanly.
  kill "$nspawn" 2>/dev/null || true
  for _ in $(seq 100); do
    kill -0 "$nspawn" 2>/dev/null || break
    sleep 0.2
  done
  kill -KILL "$nspawn" 2>/dev/null || true
  wait "$nspawn" 2>/dev/null || true
}
trap cleanup EXIT

# The root, made once per build folder (a stamp names what it holds), in
# the background while the package builds.
system="$out/bookworm"
includes=systemd,systemd-sysv,dbus
if [ "$(cat "$system/.corvane-root" 2>/dev/null)" != "bookworm $includes" ]; then
  # Debian's mirror as this machine's apt knows it.
  mirror=$(awk '$1 == "URIs:" && $2 ~ /\/debian\/?$/ { print $2; exit }' \
    /etc/apt/sources.list.d/debian.sources 2>/dev/null || true)
  mirror=${mirror:-http://deb.debian.org/debian}
  step "debootstrap of bookworm (minbase, $includes) from $mirror into $system, in the background"
  rm -rf "$system" "$system.new"
  setsid debootstrap --variant=minbase --include=$includes bookworm "$system.new" "$mirror" \
    >"$out/debootstrap.log" 2>&1 </dev/null &
  bootstrap=$!
else
  step "reusing the bookworm root in $system"
fi

step "building the .deb for 127.0.0.1:$port in $out"
CMAKE_BUILD_PARALLEL_LEVEL=2 CORVANE_BUILD_ROOT="$out" CORVANE_PACKAGES=debian scripts/package.sh \
  -DCORVANE_SERVER_HOST=127.0.0.1 -DCORVANE_SERVER_PORT=$port >"$out/package.log" 2>&1 ||
  { cat "$out/package.log" >&2; fail "the .deb did not build"; }
deb="$out/packages/corvane_1.0_amd64.deb"

step "lintian"
tags=$(lintian --fail-on error,warning "$deb" 2>&1) ||
  { echo "$tags" >&2; fail "lintian found the tags above"; }

if [ -n "$bootstrap" ]; then
  step "waiting for debootstrap"
  status=0
  wait "$bootstrap" || status=$?
  bootstrap=""
  [ "$status" -eq 0 ] || { tail -n 20 "$out/debootstrap.log" >&2; fail "debootstrap failed"; }
  echo "bookworm $includes" >"$system.new/.corvane-root"
  mv "$system.new" "$system"
  step "the root is made"
fi

step "booting it: systemd-nspawn -b --register=no --keep-unit --private-network --volatile=overlay"
systemd-nspawn -b --register=no --keep-unit --private-network --volatile=overlay \
  --console=read-only -M corvane-test -D "$system" </dev/null >"$out/boot.log" 2>&1 &
nspawn=$!
for _ in $(seq 300); do
  kill -0 "$nspawn" 2>/dev/null || break
  leader=$(pgrep -P "$nspawn" | head -n 1 || true)
  [ -n "$leader" ] && [ -S "/proc/$leader/root/run/systemd/private" ] && break
  leader=""
  sleep 0.1
done
if [ -z "$leader" ]; then
  tail -n 30 "$out/boot.log" >&2
  fail "the container did not boot (systemd-nspawn's output is above and in $out/boot.log)"
fi
# inside COMMAND...: runs COMMAND in the container, as its root.
inside() {
  nsenter -t "$leader" -a env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 SYSTEMD_COLORS=0 \
    SYSTEMD_PAGER= "$@"
}
state=$(timeout 120 nsenter -t "$leader" -a systemctl is-system-running --wait 2>&1 || true)
case $state in
  running) ;;
  degraded) inside systemctl --failed --no-legend | sed 's/^/  failed at boot: /' ;;
  *) tail -n 30 "$out/boot.log" >&2; fail "the container's systemd is \"$state\", not running" ;;
esac
step "the container's systemd is $state (PID $leader outside)"

step "dpkg -i"
cp "$deb" "/proc/$leader/root/root/"
inside dpkg -i /root/corvane_1.0_amd64.deb >"$out/dpkg.log" 2>&1 ||
  { cat "$out/dpkg.log" >&2; fail "dpkg -i failed"; }

# journal UNIT SINCE: the instance's journal from SINCE (seconds since the
# epoch) on, its lines' text only.
journal() {
  inside journalctl --no-pager -o cat -u "$1" --since "@$2"
}
now() { date +%s; }
# await SECONDS WHAT COMMAND...: runs COMMAND until it succeeds, at most
# SECONDS long; fails the test with WHAT when it never does.
await() {
  local limit=$((SECONDS + $1)) what="$2 within $1 s"
  shift 2
  until "$@" >/dev/null 2>&1; do
    [ "$SECONDS" -lt "$limit" ] || fail "$what did not happen"
    sleep 0.5
  done
}
has() { journal "$1" "$2" | grep -qF -- "$3"; }
count() { journal "$1" "$2" | grep -cF -- "$3" || true; }
main_pid() { inside systemctl show -P MainPID "bwcorvane@$1"; }
user_id() { inside awk '$1 == "Uid:" { print $2 }' "/proc/$(main_pid "$1")/status"; }
# files INSTANCE CONFIGURATION NAME...: installs configuration.txt and a
# members list of these names in the instance's folder, as the how-to does.
files() {
  local instance=$1 configuration=$2
  shift 2
  inside sh -c "mkdir -p /root/$instance && cd /root/$instance &&
    echo '$configuration' >configuration.txt && { echo Members; printf '%s\\n' $*; } >bwmembers.txt &&
    install -m 644 -t /var/lib/bwcorvane/$instance configuration.txt bwmembers.txt"
}

step "chatd (a transient unit) and shorter times: RestartSec 2 s for all, the daily restart 40 s for home, the timer 8 s for idle"
inside sh -c "printf 'statbot secret1\nother secret2\n' >/root/accounts
  mkdir -p /etc/systemd/system/bwcorvane@.service.d /etc/systemd/system/bwcorvane-daily@home.timer.d \
    /etc/systemd/system/bwcorvane@idle.timer.d
  printf '[Service]\nRestartSec=2\n' >/etc/systemd/system/bwcorvane@.service.d/test.conf
  printf '[Timer]\nOnActiveSec=\nOnActiveSec=40\nAccuracySec=1\n' \
    >/etc/systemd/system/bwcorvane-daily@home.timer.d/day.conf
  printf '[Timer]\nOnUnitInactiveSec=\nOnUnitInactiveSec=8\nAccuracySec=1\n' \
    >/etc/systemd/system/bwcorvane@idle.timer.d/test.conf
  systemctl daemon-reload"
inside systemd-run --quiet --unit=chatd -p Type=exec /usr/bin/chatd --port $port --accounts /root/accounts
await 10 "chatd listening" has chatd.service 0 "listening on 127.0.0.1:$port"

step "systemctl enable --now bwcorvane@home, then its files (the how-to's commands); other with a wrong password; idle with no files"
t0=$(now)
# Without its files the start fails (status 1), as the how-to says; the
# files' .path starts it then.
{ inside systemctl enable --now bwcorvane@home 2>&1 || true; } | sed 's/^/  /'
inside systemctl start bwcorvane@other bwcorvane@idle
files home "statbot secret1 StatHome" Alice
files other "other wrong StatHome" Carol

step "the walk: waiting for the answer for Alice"
await 90 "the answer for Alice in bwcorvane@home's journal" has bwcorvane@home "$t0" "INFO: Alice's record:"
has chatd.service "$t0" ">> /stats Alice SEXP" || fail "chatd never received /stats Alice SEXP"
step "  journal: $(journal bwcorvane@home "$t0" |
  grep -E "Error Reading|status=|LOGGED ON|Joined Channel StatHome|Alice's record" | tr '\n' '|')"

step "two instances, two users"
home_uid=$(user_id home) other_uid=$(user_id other)
home_user=$(inside systemctl show -P User bwcorvane@home)
other_user=$(inside systemctl show -P User bwcorvane@other)
[ "$home_user" = bwcorvane-home ] && [ "$other_user" = bwcorvane-other ] ||
  fail "the instances run as \"$home_user\" and \"$other_user\""
[ -n "$home_uid" ] && [ -n "$other_uid" ] && [ "$home_uid" != "$other_uid" ] && [ "$home_uid" != 0 ] ||
  fail "the instances run under user IDs \"$home_uid\" and \"$other_uid\""
step "  home runs as $home_user ($home_uid), other as $other_user ($other_uid)"

step "the daily restart (40 s here): a clean stop and a start, a walk again, no failure"
tw=$(now)
await 60 "the daily restart's stop" has bwcorvane@home "$tw" "*** STOPPED BY SIGTERM ***"
t1=$(now)
await 60 "the answer for Alice after the restart" has bwcorvane@home "$t1" "INFO: Alice's record:"
for text in "runtime time limit" "Failed with result" "status=" "Scheduled restart job"; do
  ! has bwcorvane@home "$tw" "$text" || fail "the daily restart shows \"$text\" in the journal"
done
for text in "Stopped bwcorvane@home.service" "Started bwcorvane@home.service"; do
  has bwcorvane@home "$tw" "$text" || fail "the daily restart shows no \"$text\" in the journal"
done
step "  journal: $(journal bwcorvane@home "$((t1 - 2))" |
  grep -E "STOPPED|Stopping|Stopped|Started|LOGGED ON|Alice's record" | tr '\n' '|')"
inside rm -r /etc/systemd/system/bwcorvane-daily@home.timer.d
inside systemctl daemon-reload
inside systemctl restart bwcorvane-daily@home.timer

step "systemctl stop during a walk: one row per request sent, status 0"
names="Walk01 Walk02 Walk03 Walk04 Walk05 Walk06 Walk07 Walk08 Walk09 Walk10 Walk11 Walk12"
csv=/var/lib/bwcorvane/home/BroodWar.csv
# The run before stops first, so that its rows are all written before the
# walk's are counted; then it starts with the new list (the .path stopped
# with it).
inside systemctl stop bwcorvane@home
before=$(inside sh -c "wc -l <$csv")
t7=$(now)
files home "statbot secret1 StatHome" $names
inside systemctl start bwcorvane@home
walk_pid=$(main_pid home)
walk_journal() { inside journalctl --no-pager -o cat "_PID=$walk_pid"; }
# requested: the names of the stats requests chatd's journal shows since t7.
requested() {
  inside journalctl --no-pager -o cat -u chatd.service --since "@$t7" | sed -n 's/.*>> \/stats \([^ ]*\) SEXP$/\1/p'
}
await 90 "three requests of the walk" sh -c "[ \$(nsenter -t $leader -a journalctl --no-pager -o cat \
  -u chatd.service --since @$t7 | grep -c '>> /stats ') -ge 3 ]"
inside systemctl stop bwcorvane@home
# The bot prints each name once its request has left ("Reading name:"),
# and its stop last: once the journal has its stop, it has every name.
# chatd's journal must show the same requests once chatd has read them all.
walk_stopped() { walk_journal | grep -qF "*** STOPPED BY SIGTERM ***"; }
await 10 "the stop of the walk in the journal" walk_stopped
asked=$(walk_journal | grep -c "^Reading name: " || true)
await 10 "chatd's journal showing the $asked requests the bot sent" \
  sh -c "[ \$(nsenter -t $leader -a journalctl --no-pager -o cat -u chatd.service --since @$t7 |
    grep -c '>> /stats ') = $asked ]"
[ "$asked" -ge 3 ] && [ "$asked" -lt 12 ] || fail "chatd received $asked requests of the walk, not 3 to 11"
# The walk's rows: one per request, in the order sent.
rows=$(inside sh -c "tail -n +$((before + 1)) $csv" | cut -d, -f3)
[ "$rows" = "$(requested)" ] ||
  fail "requests sent: $(requested | tr '\n' ' '); rows written: $(echo "$rows" | tr '\n' ' ')"
result=$(inside systemctl show -p Result -p ExecMainStatus bwcorvane@home | sort | tr '\n' ' ')
[ "$result" = "ExecMainStatus=0 Result=success " ] || fail "after systemctl stop: $result"
step "  $asked requests, $(echo "$rows" | wc -l) rows ($(echo $rows)); $result; journal: $(walk_journal |
  grep -E "STOPPING|STOPPED" | tr '\n' '|')"
files home "statbot secret1 StatHome" Alice
t8=$(now)
inside systemctl start bwcorvane@home
await 60 "the answer for Alice after the start" has bwcorvane@home "$t8" "INFO: Alice's record:"

step "the restart after a kill"
t2=$(now)
old=$(main_pid home)
inside systemctl kill -s KILL bwcorvane@home
await 30 "a new bwcorvane@home logged on" has bwcorvane@home "$t2" "*** LOGGED ON AS: statbot ***"
[ "$(main_pid home)" != "$old" ] || fail "bwcorvane@home kept its process"
step "  journal: $(journal bwcorvane@home "$t2" | grep -E "status=9|Scheduled restart|LOGGED ON" | tr '\n' '|')"

step "a changed members list takes effect (bwcorvane@home.path)"
t3=$(now)
files home "statbot secret1 StatHome" Dave
await 60 "the answer for Dave" has bwcorvane@home "$t3" "INFO: Dave's record:"
has chatd.service "$t3" ">> /stats Dave SEXP" || fail "chatd never received /stats Dave SEXP"
step "  journal: $(inside journalctl --no-pager -o cat --since "@$t3" -u bwcorvane-restart@home -u bwcorvane@home |
  grep -E "Restarts|Stopped|LOGGED ON|Dave's record" | tr '\n' '|')"

step "ten refused logons, then no restart"
await 150 "bwcorvane@other's end with status 1" \
  sh -c "[ \"\$(nsenter -t $leader -a systemctl show -P ExecMainStatus bwcorvane@other)\" = 1 ] &&
    [ \"\$(nsenter -t $leader -a systemctl show -P ActiveState bwcorvane@other)\" = failed ]"
refusals=$(count bwcorvane@other "$t0" "*** LOGON REFUSED FOR: other ***")
[ "$refusals" = 10 ] || fail "bwcorvane@other was refused $refusals times, not 10"
logons=$(journal chatd.service "$t0" | grep -c ">> wrong\$" || true)
[ "$logons" = 10 ] || fail "chatd received $logons logons with the wrong password, not 10"
sleep 6  # three times the shortened RestartSec
[ "$(inside systemctl show -P ActiveState bwcorvane@other)" = failed ] ||
  fail "bwcorvane@other started again by itself"
! has bwcorvane@other "$t0" "Scheduled restart job" || fail "systemd scheduled a restart of bwcorvane@other"
step "  journal: $(journal bwcorvane@other "$t0" | grep -E "REFUSED|refused|status=" | tail -n 3 | tr '\n' '|')"
step "  bwcorvane@other.timer: $(inside systemctl list-timers --all --no-legend bwcorvane@other.timer |
  awk '{ print "next start", $1, $2, $3, $4, "(" $5, $6 ")" }')"

step "a good configuration.txt starts it (bwcorvane@other.path)"
t4=$(now)
files other "other secret2 StatHome" Carol
await 60 "the answer for Carol" has bwcorvane@other "$t4" "INFO: Carol's record:"
step "  journal: $(journal bwcorvane@other "$t4" | grep -E "Starting|LOGGED ON|Carol's record" | tr '\n' '|')"

step "a stopped instance started again by its timer (bwcorvane@idle.timer, 8 s)"
problems=$(count bwcorvane@idle "$t0" "Error Reading Configuration File")
[ "$problems" -ge 2 ] || fail "bwcorvane@idle started $problems times, not again by its timer"
! has bwcorvane@idle "$t0" "Scheduled restart job" || fail "systemd restarted bwcorvane@idle after status 1"
step "  journal: $problems starts, each \"Error Reading Configuration File\" and status 1, none a restart"
inside systemctl stop bwcorvane@idle

step "a server that is down: ten failed connects, status 0, started again"
inside systemctl stop chatd
t5=$(now)
await 90 "a restart after the failed connects" has bwcorvane@home "$t5" "Scheduled restart job"
# bwcorvane@other was connected too: its restart belongs to this step, not
# to the purge's below.
await 90 "bwcorvane@other's restart after the failed connects" has bwcorvane@other "$t5" "Scheduled restart job"
has bwcorvane@home "$t5" "Deactivated successfully" || fail "the run did not end with status 0"
step "  journal: $(journal bwcorvane@home "$t5" |
  grep -E "shut down|Cannot connect|the run ends|Deactivated|Scheduled restart" | uniq -c |
  sed 's/^ *1 //; t; s/^ *\([0-9]*\) /\1 times: /' | tr '\n' '|')"

step "dpkg --purge with home and other running"
inside rm -r /etc/systemd/system/bwcorvane@.service.d /etc/systemd/system/bwcorvane@idle.timer.d
inside systemctl daemon-reload
inside systemctl enable --quiet bwcorvane@other
# The journal is read by whole seconds: t6 is the first second after both
# restarts above, so that they cannot count as the purge's.
sleep 1
t6=$(now)
inside dpkg --purge corvane >"$out/dpkg.log" 2>&1 || { cat "$out/dpkg.log" >&2; fail "dpkg --purge failed"; }
sleep 3
leftovers() {
  inside sh -c 'grep -lx "BWCorvane\|SCCorvane" /proc/[0-9]*/comm 2>/dev/null | sed "s/^/running: /"
    systemctl list-units --all --plain --no-legend "bwcorvane*" "sccorvane*" | sed "s/^/unit: /"
    find /etc/systemd /var/lib -name "*corvane*" | sed "s/^/stored: /"'
}
found=$(leftovers)
[ -z "$found" ] || { echo "$found" >&2; fail "the purge left the above"; }
! inside journalctl --no-pager -o cat --since "@$t6" | grep -q "Scheduled restart" ||
  fail "systemd still restarts an instance"
step "  nothing running, no unit loaded, nothing in /etc/systemd or /var/lib"

step "dpkg -i again starts clean"
inside dpkg -i /root/corvane_1.0_amd64.deb >"$out/dpkg.log" 2>&1 ||
  { cat "$out/dpkg.log" >&2; fail "dpkg -i failed"; }
inside systemctl start bwcorvane@home
await 20 "bwcorvane@home's end" sh -c "[ \"\$(nsenter -t $leader -a systemctl show -P ActiveState bwcorvane@home)\" = failed ]"
has bwcorvane@home "$t6" "Error Reading Configuration File" || fail "bwcorvane@home found old files"
inside dpkg --purge corvane >"$out/dpkg.log" 2>&1 || { cat "$out/dpkg.log" >&2; fail "dpkg --purge failed"; }
step "  a new bwcorvane@home found no configuration.txt"

# The failed connects and the end of the run reach the journal through
# standard error.
step "the journal tells why the server could not be reached"
has bwcorvane@home "$t5" "Cannot connect to 127.0.0.1, port $port: error code 111" ||
  fail "no \"Cannot connect to 127.0.0.1, port $port\" in the journal"
has bwcorvane@home "$t5" "10 connect attempts in a row to 127.0.0.1, port $port failed; the run ends" ||
  fail "no \"10 connect attempts in a row ... the run ends\" in the journal"
step "done"
