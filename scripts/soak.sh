#!/usr/bin/env bash
# A year of stops, in minutes: the test build of BWCorvane (every pause
# divided by 50) against chatd with records that change from one walk to the
# next, started and stopped CYCLES times in one folder, so that its results
# file and report page grow as a year of daily runs would grow them. Each
# cycle is stopped at a random point (in the pause after logon, during the
# walk, while its answers' rows are written, idle after the page was written), by
# SIGTERM in most cycles and SIGKILL in about one of five.
#
# After every cycle, once the bot has ended and chatd has read the whole
# connection (its socket is closed):
#   - a SIGTERM cycle exited with status 0 within 10 s, and wrote exactly
#     one row for every /stats request chatd received from it, none for any
#     other; a SIGKILL cycle wrote at most one row for each (the rest are
#     "lost": the requests still waiting for answers when it was killed);
#   - no row is duplicated, and no row written before has changed or gone;
#   - BroodWar.csv, and BroodWar.csv.pending when present, read as RFC 4180
#     (python3's csv module, strict) with CR LF line ends and only whole rows
#     of the header's field count;
#   - BroodWar.html is whole, and its data (the "corvane-about" and
#     "corvane-rows" scripts) parses as JSON; after every SIGTERM it carries
#     every row and names the newest walk.
# It prints one line a cycle, then, per kind of stop, the rows expected,
# written and lost, and the bot's peak resident memory (VmHWM), anonymous
# memory (RssAnon) and open descriptors (/proc/PID/fd), sampled right before
# each stop; over the cycles stopped idle, those of the last fifth must not
# exceed those of the first fifth by more than the margins below.
# Exits 1 on any violation, naming the cycle and what was wrong, and the
# seed that repeats the run.
#
# Usage: scripts/soak.sh CYCLES [SEED]
# Environment: CORVANE_SOAK_BUILD (default build/ci; configured with the ci
# preset when missing) is the build tree; the soak builds BWCorvane_fast and
# chatd there, listens on its test port (test_ports.txt, so it cannot run
# beside that tree's ctest) and works in its folder soak/.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh

usage() {
  echo "usage: scripts/soak.sh CYCLES [SEED]   (CYCLES, SEED: whole numbers, CYCLES at least 1)" >&2
  exit 2
}
if [ $# -lt 1 ] || [ $# -gt 2 ] || ! [[ $1 =~ ^[0-9]+$ ]] || [ "$1" -lt 1 ]; then usage; fi
cycles=$1
seed=${2:-$RANDOM}
[[ $seed =~ ^[0-9]+$ ]] || usage

build=${CORVANE_SOAK_BUILD:-build/ci}
if [ ! -f "$build/build.ninja" ]; then
  if [ "$build" = build/ci ]; then
    cmake --preset ci >/dev/null
  else
    echo "soak: $build is not a configured build tree" >&2
    exit 1
  fi
fi
cmake --build "$build" --target BWCorvane_fast chatd >/dev/null
port=$(sed -n 's/^CORVANE_TEST_SERVER_PORT=//p' "$build/test_ports.txt")
[ -n "$port" ] || { echo "soak: $build/test_ports.txt names no CORVANE_TEST_SERVER_PORT" >&2; exit 1; }
if holder=$(corvane_port_holder "$port"); then
  echo "soak: port $port, which the test build connects to, is held by $holder" >&2
  exit 1
fi

exec python3 - "$cycles" "$seed" "$build" "$port" <<'PYTHON'
import collections
import csv
import html.parser
import io
import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import time

cycles, seed, build, port = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3], int(sys.argv[4])
rng = random.Random(seed)
bot_program = os.path.abspath(os.path.join(build, "tests", "BWCorvane_fast"))
chatd_program = os.path.abspath(os.path.join(build, "server", "chatd"))
work = os.path.abspath(os.path.join(build, "soak"))
RESULTS, SPOOL, PAGE = "BroodWar.csv", "BroodWar.csv.pending", "BroodWar.html"
# Twelve members: a walk of 1.2 s in the test build. Names a spreadsheet
# would take for formulas or that carry brackets are among them; chatd
# knows no "=judy" (not a well-formed name), so hers are "unknown" rows.
MEMBERS = ["alice", "bob1", "carol", "-Zed-", "dave_x", "[ab]erin", "frank.9", "Gina", "h", "ivan-2",
           "=judy", "kim"]
UNKNOWN = {"=judy"}
# Growth: the highest figures of the last fifth of the cycles stopped idle
# may exceed those of the first fifth by at most these margins.
# VmHWM counts the pages of the shared libraries (the C and C++ runtimes)
# the process has touched, and which of those the kernel maps in around
# each fault varies from one start to the next: in identical runs VmHWM
# moves between about 1.7 and 2.2 MB while the anonymous memory stays
# within 120 to 176 kB (168 to 176 kB when idle). So VmHWM gets a margin
# of 512 kB and RssAnon (the heap, the stack and the static buffers: what
# the bot's own growth would grow) one of 32 kB, eight pages. The bot keeps
# everything in fixed storage, so neither depends on the size of the
# results file; a reader that kept the file in memory (about 175 bytes a
# row, 12 rows a cycle) would add about 60 kB over 40 cycles and 700 kB
# over 365.
HWM_MARGIN_KB = 512
ANON_MARGIN_KB = 32
# Open descriptors: the log files and the socket, all of them open when the
# bot is idle: no margin.
FD_MARGIN = 0
TERM_EXIT_BOUND = 10.0   # s from SIGTERM to exit (the bot's own bound is about 1.2 s here)
EVENT_BOUND = 30.0       # s to wait for the bot to reach the chosen point

violations = []


def fail(cycle, message):
    violations.append("cycle %d: %s" % (cycle, message))
    print("soak: VIOLATION in cycle %d: %s" % (cycle, message), flush=True)


def unguarded(text):
    return text[1:] if text.startswith("'") else text


def read_rows(path, header_fields, cycle, what):
    """The rows of a results or spool file, each a tuple; checks RFC 4180
    with CR LF line ends and whole rows only."""
    if not os.path.exists(path):
        return b"", [], None
    with open(path, "rb") as f:
        data = f.read()
    if data and not data.endswith(b"\r\n"):
        fail(cycle, "%s ends in the middle of a row: %r" % (what, data[-80:]))
    if re.search(rb"(?<!\r)\n", data):
        fail(cycle, "%s has a line end without CR" % what)
    text = data.decode("utf-8", "surrogateescape")
    try:
        records = list(csv.reader(io.StringIO(text, newline=""), strict=True))
    except csv.Error as error:
        fail(cycle, "%s is not RFC 4180: %s" % (what, error))
        return data, [], None
    header = None
    if records and header_fields is None:
        header = records[0]
        records = records[1:]
    elif records and what == SPOOL and len(records[0]) > 3 and records[0][2:4] == ["player", "status"]:
        records = records[1:]  # a spool that starts with the header
    width = len(header) if header else header_fields
    for number, record in enumerate(records, 2 if header else 1):
        if len(record) != width:
            fail(cycle, "%s row %d has %d fields, not %d: %r" % (what, number, len(record), width, record))
    return data, [tuple(r) for r in records], header


class PageText(html.parser.HTMLParser):
    def __init__(self):
        super().__init__()
        self.scripts, self._id, self.ended = {}, None, False

    def handle_starttag(self, tag, attrs):
        if tag == "script":
            self._id = dict(attrs).get("id")

    def handle_data(self, data):
        if self._id:
            self.scripts[self._id] = self.scripts.get(self._id, "") + data

    def handle_endtag(self, tag):
        self._id = None
        if tag == "html":
            self.ended = True


def check_page(cycle, kind, rows, wrote):
    if not os.path.exists(PAGE):
        if kind == "SIGTERM" and rows:
            fail(cycle, "no report page after a clean stop with %d rows" % len(rows))
        return
    with open(PAGE, "rb") as f:
        text = f.read().decode("utf-8", "replace")
    page = PageText()
    page.feed(text)
    page.close()
    if not page.ended:
        fail(cycle, "the report page is not whole (no </html>)")
        return
    try:
        about = json.loads(page.scripts.get("corvane-about", ""))
        data = json.loads(page.scripts.get("corvane-rows", ""))
    except ValueError as error:
        fail(cycle, "the report page's data is not JSON: %s" % error)
        return
    page_rows = [entry for entry in data if isinstance(entry, list)]
    if len(page_rows) > len(rows):
        fail(cycle, "the report page carries %d rows, the files %d" % (len(page_rows), len(rows)))
    if kind == "SIGTERM":
        if len(page_rows) != len(rows):
            fail(cycle, "after a clean stop the page carries %d rows, the files %d" % (len(page_rows), len(rows)))
        walks = [r[0] for r in rows if r[0]]
        if walks and about.get("newestWalk") != max(walks):
            fail(cycle, "the page's newest walk is %r, the files' %r" % (about.get("newestWalk"), max(walks)))


class ServerLog:
    """chatd's log, read as it grows: the lines each connection sent."""

    def __init__(self, path):
        self.file = open(path, "r", encoding="utf-8", errors="replace")
        self.pending = ""
        self.lines = []  # (connection, text) since the last Take()

    def poll(self):
        self.pending += self.file.read()
        while "\n" in self.pending:
            line, self.pending = self.pending.split("\n", 1)
            match = re.match(r"\[conn (\d+)\] >> (.*)$", line)
            if match:
                self.lines.append((int(match.group(1)), match.group(2)))

    def requests(self):
        return [t.split(" ")[1] for _, t in self.lines if t.startswith("/stats ") and len(t.split(" ")) == 3]


def server_sockets_open():
    """Server-side connections of chatd's port still open for reading
    (ESTABLISHED or CLOSE_WAIT): while there is one, chatd may not have
    read everything the bot sent."""
    count = 0
    with open("/proc/net/tcp") as f:
        next(f)
        for line in f:
            fields = line.split()
            local_port = int(fields[1].split(":")[1], 16)
            if local_port == port and fields[3] in ("01", "08"):
                count += 1
    return count


def wait_until(condition, bound, bot=None):
    deadline = time.monotonic() + bound
    while time.monotonic() < deadline:
        if condition():
            return True
        if bot is not None and bot.poll() is not None:
            return condition()
        time.sleep(0.005)
    return condition()


def sample(pid):
    """VmHWM and RssAnon (KiB) and the count of open descriptors of `pid`;
    -1s once it has ended."""
    status = {}
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                key, _, value = line.partition(":")
                status[key] = value.split()
        fds = len(os.listdir("/proc/%d/fd" % pid))
        return int(status["VmHWM"][0]), int(status["RssAnon"][0]), fds
    except (OSError, KeyError, IndexError, ValueError):
        return -1, -1, -1


shutil.rmtree(work, ignore_errors=True)
os.makedirs(work)
os.chdir(work)
with open("configuration.txt", "w") as f:
    f.write("soakbot secret1 SoakHome\n")
with open("bwmembers.txt", "w") as f:
    f.write("Soak members\n" + "".join(name + "\n" for name in MEMBERS))

chatd_log = open("chatd.log", "w")
chatd = subprocess.Popen([chatd_program, "--port", str(port), "--changing-records", "--no-flood-protection"],
                         stdout=chatd_log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
server = ServerLog("chatd.log")
if not wait_until(lambda: "listening" in open("chatd.log").read() or chatd.poll() is not None, 10) or \
        chatd.poll() is not None:
    print("soak: chatd did not start:\n" + open("chatd.log").read(), file=sys.stderr)
    sys.exit(1)
server.poll()
server.lines.clear()

print("soak: %d cycles, seed %d (scripts/soak.sh %d %d repeats them), in %s" % (cycles, seed, cycles, seed, work),
      flush=True)
started = time.monotonic()
previous_data = {RESULTS: b"", SPOOL: b""}
previous_rows = collections.Counter()
record_answers = set()
figures = []  # per cycle: (kind, phase, expected, written, lost, hwm, fds)
totals = {k: [0, 0, 0, 0] for k in ("SIGTERM", "SIGKILL")}  # cycles, expected, written, lost
header = None

for cycle in range(1, cycles + 1):
    kind = "SIGKILL" if rng.random() < 0.2 else "SIGTERM"
    phase = rng.choices(["logon", "walk", "answers", "idle"], [10, 40, 25, 25])[0]
    page_before = os.stat(PAGE).st_mtime_ns if os.path.exists(PAGE) else None
    results_before = os.path.getsize(RESULTS) if os.path.exists(RESULTS) else 0
    console = open("console.txt", "w")
    bot = subprocess.Popen([bot_program], stdin=subprocess.DEVNULL, stdout=console, stderr=subprocess.STDOUT)

    def seen(n):
        server.poll()
        return len(server.requests()) >= n

    if phase == "logon":
        reached = wait_until(lambda: (server.poll(), len(server.lines) > 0)[1], EVENT_BOUND, bot)
        delay = rng.uniform(0, 0.1)
    elif phase == "walk":
        requests = rng.randint(1, len(MEMBERS) - 1)
        reached = wait_until(lambda: seen(requests), EVENT_BOUND, bot)
        delay = rng.uniform(0, 0.08)
    elif phase == "answers":
        # Once the first row of the walk's answers is in the file: the bot is
        # reading the answers and writing their rows, one every millisecond
        # or so.
        reached = wait_until(lambda: seen(len(MEMBERS)), EVENT_BOUND, bot) and wait_until(
            lambda: os.path.exists(RESULTS) and os.path.getsize(RESULTS) > results_before, EVENT_BOUND, bot)
        delay = rng.uniform(0, 0.004)
    else:
        reached = wait_until(lambda: seen(len(MEMBERS)), EVENT_BOUND, bot) and wait_until(
            lambda: os.path.exists(PAGE) and os.stat(PAGE).st_mtime_ns != page_before, EVENT_BOUND, bot)
        delay = rng.uniform(0, 0.8)
    if not reached:
        fail(cycle, "the bot did not reach the %s point within %.0f s (it %s)" %
             (phase, EVENT_BOUND, "ended" if bot.poll() is not None else "was still running"))
    time.sleep(delay)
    hwm, anon, fds = sample(bot.pid)
    if bot.poll() is not None:
        fail(cycle, "the bot ended by itself, status %s, before the stop" % bot.returncode)
    else:
        bot.send_signal(signal.SIGKILL if kind == "SIGKILL" else signal.SIGTERM)
    stop = time.monotonic()
    try:
        status = bot.wait(TERM_EXIT_BOUND if kind == "SIGTERM" else 60)
    except subprocess.TimeoutExpired:
        fail(cycle, "the bot did not end within %.0f s of SIGTERM" % TERM_EXIT_BOUND)
        bot.kill()
        status = bot.wait()
    took = time.monotonic() - stop
    console.close()
    if kind == "SIGTERM" and status != 0:
        fail(cycle, "exit status %s after SIGTERM; its console:\n%s" % (status, open("console.txt").read()[-2000:]))
    if kind == "SIGKILL" and status != -signal.SIGKILL:
        fail(cycle, "exit status %s, not the kill" % status)
    if not wait_until(lambda: server_sockets_open() == 0, 20):
        fail(cycle, "chatd still holds the bot's connection 20 s after the bot ended")
    server.poll()
    connections = sorted({c for c, _ in server.lines})
    asked = collections.Counter(server.requests())
    server.lines.clear()

    all_rows = []
    for name in (RESULTS, SPOOL):
        # The spool holds rows only, of the results file's width.
        width = None if name == RESULTS else len(header or ()) or None
        data, rows, file_header = read_rows(name, width, cycle, name)
        if name == RESULTS and file_header is not None:
            if header is not None and file_header != header:
                fail(cycle, "the header changed: %r" % file_header)
            header = file_header
        if not data.startswith(previous_data[name]) and name == RESULTS:
            fail(cycle, "%s was changed, not appended to" % name)
        previous_data[name] = data
        all_rows += rows
    counted = collections.Counter(all_rows)
    gone = previous_rows - counted
    if gone:
        fail(cycle, "rows written before are gone: %r" % list(gone)[:3])
    new = counted - previous_rows
    previous_rows = counted
    written = collections.Counter()
    for row in new.elements():
        player, status_field, answer = unguarded(row[2]), row[3], unguarded(row[-1])
        written[player] += 1
        if status_field == "record":
            if (player, answer) in record_answers:
                fail(cycle, "a record row is written twice: %r" % (row,))
            record_answers.add((player, answer))
        elif status_field not in ("unanswered", "unknown") or (status_field == "unknown") != (player in UNKNOWN):
            fail(cycle, "a row of status %r: %r" % (status_field, row))
    for row in new:
        if counted[row] > 1:
            fail(cycle, "a row is there %d times: %r" % (counted[row], row))
    expected, wrote = sum(asked.values()), sum(written.values())
    if kind == "SIGTERM" and written != asked:
        fail(cycle, "chatd received %s; the rows written are of %s" % (dict(asked), dict(written)))
    if kind == "SIGKILL" and written - asked:
        fail(cycle, "rows of requests chatd never received: %s" % dict(written - asked))
    lost = expected - sum((written & asked).values())
    if len(connections) > 1:
        fail(cycle, "the bot connected %d times" % len(connections))
    check_page(cycle, kind, all_rows, wrote)

    figures.append((kind, phase, expected, wrote, lost, hwm, fds, anon))
    t = totals[kind]
    t[0] += 1
    t[1] += expected
    t[2] += wrote
    t[3] += lost
    print("cycle %4d  %-7s %-7s  requests %2d  rows %2d  lost %2d  VmHWM %5d kB  RssAnon %4d kB  fds %2d"
          "  stop to exit %.2f s" % (cycle, kind, phase, expected, wrote, lost, hwm, anon, fds, took), flush=True)

chatd.send_signal(signal.SIGTERM)
chatd.wait(30)

print()
print("soak: %d cycles in %.0f s, seed %d; results file %d rows, %d bytes" %
      (cycles, time.monotonic() - started, seed, sum(previous_rows.values()), len(previous_data[RESULTS])))
print("  %-8s %7s %14s %13s %10s" % ("stop", "cycles", "rows expected", "rows written", "rows lost"))
for kind, (n, expected, wrote, lost) in totals.items():
    print("  %-8s %7d %14d %13d %10d" % (kind, n, expected, wrote, lost))
# Growth is judged on the cycles stopped idle, after the page was written:
# by then the bot has done all of a run's work (the walk, its answers, the
# rows and the page, which reads the whole results file), so their VmHWM is
# the run's peak. The first and the last fifth of those cycles are compared.
idle = [f for f in figures if f[1] == "idle" and f[5] >= 0]
fifth = max(1, len(idle) // 5)
first, last = idle[:fifth], idle[-fifth:]
every = [f for f in figures if f[5] >= 0]
if every:
    print("  every cycle, right before its stop: VmHWM %d to %d kB, RssAnon %d to %d kB, open descriptors %d to %d" %
          (min(f[5] for f in every), max(f[5] for f in every), min(f[7] for f in every),
           max(f[7] for f in every), min(f[6] for f in every), max(f[6] for f in every)))
if len(idle) >= 2:
    print("  stopped idle (%d cycles), highest of the first %d and of the last %d:" % (len(idle), fifth, fifth))
    for name, index, margin, unit in (("VmHWM", 5, HWM_MARGIN_KB, " kB"), ("RssAnon", 7, ANON_MARGIN_KB, " kB"),
                                      ("open descriptors", 6, FD_MARGIN, "")):
        before, after = max(f[index] for f in first), max(f[index] for f in last)
        print("    %-16s %5d%s and %5d%s (margin %d%s)" % (name, before, unit, after, unit, margin, unit))
        if after > before + margin:
            violations.append("%s grew: %d%s in the first idle cycles, %d%s in the last (margin %d%s)" %
                              (name, before, unit, after, unit, margin, unit))
else:
    print("  fewer than two cycles stopped idle: growth not judged")
if violations:
    print("\nsoak: FAILED, %d violations (seed %d):" % (len(violations), seed), file=sys.stderr)
    for v in violations[:50]:
        print("  " + v, file=sys.stderr)
    sys.exit(1)
print("soak: every cycle kept its rows")
PYTHON
