#!/usr/bin/python3
"""The report page at a year's size (docs/performance.md): a results file of
200 members x 365 daily walks (73,000 rows) and a seen file of the same year
(200 members x 4 rows a day, 292,000 rows), the time and peak resident memory
of writing its page without the seen file and with it, the pages' sizes, and
the time headless Chromium takes from the start of the navigation until the
page's script has drawn the table and the chart.

usage: report_page_bench.py WRITER FOLDER [RUNS]

Needs GNU time (/usr/bin/time, Debian package time) and the browser tests'
packages (chromium, chromium-driver, python3-selenium).
"""
import os
import random
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "browser"))
from browser import HOST, PROGRAM, Browser  # noqa: E402

HEADER = ("walk,time,player,status,ladder_wins,ladder_losses,ladder_disconnects,ladder_rating,ladder_tag,"
          "normal_wins,normal_losses,normal_disconnects,normal_rating,normal_tag,answer\r\n")
MEMBERS = 200
WALKS = 365
FIRST_WALK = 1765261800  # 2025-12-09T06:30:00Z


def utc(seconds):
    return time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(seconds))


def make_results(path):
    """Daily walks of 200 members: most play now and then, a few stop for
    good, 2 % of the answers are an unknown player or a dropped request."""
    rng = random.Random(17)
    members = [{"name": "member%03d" % i, "lw": 0, "ll": 0, "nw": 0, "nl": 0, "rating": 1000 + rng.randrange(600),
                "stops": rng.randrange(WALKS * 2)} for i in range(MEMBERS)]
    with open(path, "w", newline="") as out:
        out.write(HEADER)
        for day in range(WALKS):
            walk = utc(FIRST_WALK + day * 86400)
            for index, m in enumerate(members):
                answered = utc(FIRST_WALK + day * 86400 + 5 * MEMBERS + index)
                roll = rng.random()
                if roll < 0.01:
                    out.write("%s,%s,%s,unknown,,,,,,,,,,,Invalid user.\r\n" % (walk, answered, m["name"]))
                    continue
                if roll < 0.02:
                    out.write("%s,%s,%s,dropped,,,,,,,,,,,Your message quota has been exceeded! | "
                              "Please wait a few seconds before sending more messages.\r\n"
                              % (walk, answered, m["name"]))
                    continue
                if day < m["stops"] and rng.random() < 0.4:
                    won = rng.random() < 0.5
                    m["lw" if won else "ll"] += 1
                    m["rating"] += rng.randrange(8, 25) * (1 if won else -1)
                    m["nw" if rng.random() < 0.5 else "nl"] += rng.randrange(3)
                out.write("%s,%s,%s,record,%d,%d,0,%d,,%d,%d,0,,,%s's record: | Normal games: %d-%d-0 | "
                          "Ladder games: %d-%d-0 (rating %d)\r\n"
                          % (walk, answered, m["name"], m["lw"], m["ll"], m["rating"], m["nw"], m["nl"],
                             m["name"], m["nw"], m["nl"], m["lw"], m["ll"], m["rating"]))


def make_seen(path):
    """A year in the home channel: every member joins and leaves twice a
    day, at times of their own; the bot watched from the first walk on."""
    rng = random.Random(23)
    with open(path, "w", newline="") as out:
        out.write("time,player,event,channel\r\n")
        out.write("%s,,watching,Clan Example\r\n" % utc(FIRST_WALK))
        for day in range(WALKS):
            rows = []
            for index in range(MEMBERS):
                times = sorted(rng.randrange(86400) for _ in range(4))
                for time_of_day, event in zip(times, ("joined", "left", "joined", "left")):
                    rows.append((FIRST_WALK + day * 86400 + time_of_day, "member%03d" % index, event))
            rows.sort()
            out.writelines("%s,%s,%s,Clan Example\r\n" % (utc(t), player, event) for t, player, event in rows)


def write_once(writer, results, page, folder, seen=None):
    """Runs the writer under GNU time, whose own small process is what the
    writer's peak RSS starts from (a child forked from Python would start
    from Python's)."""
    rss = os.path.join(folder, "writer-rss.txt")
    started = time.perf_counter()
    subprocess.run(["/usr/bin/time", "-f", "%M", "-o", rss, writer, results, page, HOST, PROGRAM]
                   + ([seen] if seen else []), check=True)
    elapsed = time.perf_counter() - started
    with open(rss) as file:
        return elapsed, int(file.read().split()[-1])


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    writer, folder = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    runs = int(sys.argv[3]) if len(sys.argv) > 3 else 5
    os.makedirs(folder, exist_ok=True)
    results = os.path.join(folder, "BroodWar.csv")
    page = os.path.join(folder, "BroodWar.html")
    make_results(results)
    print("results file: %d rows, %d bytes" % (MEMBERS * WALKS, os.path.getsize(results)))

    seen = os.path.join(folder, "BroodWar-seen.csv")
    make_seen(seen)
    print("seen file: %d rows, %d bytes" % (MEMBERS * WALKS * 4, os.path.getsize(seen)))

    sizes = {}
    for label, seen_file in (("without the seen file", None), ("with the seen file", seen)):
        writes = [write_once(writer, results, page, folder, seen_file) for _ in range(runs)]
        times = [w[0] for w in writes]
        sizes[label] = os.path.getsize(page)
        print("writing the page %s, %d runs: median %.1f ms (min %.1f, max %.1f); peak RSS %d KiB; page %d bytes"
              % (label, runs, statistics.median(times) * 1000, min(times) * 1000, max(times) * 1000,
                 max(w[1] for w in writes), sizes[label]))
    print("the seen rows add %d bytes to the page" % (sizes["with the seen file"] - sizes["without the seen file"]))

    browser = Browser(os.path.join(folder, "chromium-profile"))
    try:
        drawn = []
        for _ in range(runs):
            browser.driver.get("about:blank")  # each run a fresh navigation
            drawn.append(browser.open(page, timeout=300))
        rows = browser.run("return document.querySelectorAll('#members tbody tr').length")
        points = browser.run("return Chart.getChart('history').data.datasets"
                             ".reduce((n, d) => n + d.data.length, 0)")
        browser.screenshot(os.path.join(folder, "report-page-year.png"))
    finally:
        browser.quit()
    print("opened in headless Chromium, %d runs: table (%d rows) and chart (%d points) drawn after median "
          "%.0f ms (min %.0f, max %.0f) from the start of the navigation"
          % (runs, rows, points, statistics.median(drawn), min(drawn), max(drawn)))
    print("load average: %s" % " ".join(open("/proc/loadavg").read().split()[:3]))


if __name__ == "__main__":
    main()
