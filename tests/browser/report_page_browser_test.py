#!/usr/bin/python3
"""The report page in headless Chromium: pages written by the real writer
(corvane_report_page) from results files, checked through the DOM.

usage: report_page_browser_test.py WRITER OUTPUT_FOLDER CHATD BOT PORT [unittest options]

BOT is a test build of BWCorvane whose server is 127.0.0.1:PORT; CHATD the
stand-in server, started on that port.
"""
import os
import pathlib
import re
import shutil
import subprocess
import sys
import time
import unittest

from browser import Browser

WRITER = ""
OUTPUT = ""
CHATD = ""
BOT = ""
PORT = ""
EXAMPLES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "examples")
HEADER = ("walk,time,player,status,ladder_wins,ladder_losses,ladder_disconnects,ladder_rating,ladder_tag,"
          "normal_wins,normal_losses,normal_disconnects,normal_rating,normal_tag,answer\r\n")
# "</script " ends a script element as "</script>" does.
HOSTILE_NAME = b"</script ><img src=x onerror=window.pwned=1>"
HOSTILE_ANSWER = b'"<!--<script>window.pwned=2</script>\x01\x1b[31m \xe2\x80\xa8 caf\xe9 \xff'



def csv_field(value):
    if value[:1] in (b"=", b"+", b"-", b"@", b"'"):
        value = b"'" + value  # the writer's formula guard
    if any(c in value for c in b',"\r\n'):
        return b'"' + value.replace(b'"', b'""') + b'"'
    return value


def row(walk, player, status, ladder=(b"", b"", b"", b"", b""), normal=(b"", b"", b"", b"", b""), answer=b"",
        read=None):
    fields = [walk, walk if read is None else read, player, status, *ladder, *normal, answer]
    return b",".join(csv_field(f if isinstance(f, bytes) else f.encode()) for f in fields) + b"\r\n"


def record(walk, player, wins, losses, rating, normal_wins=b"3"):
    return row(walk, player, b"record", (wins, losses, b"0", rating, b""), (normal_wins, b"1", b"0", b"", b""),
               player + b"'s record: | ...")


OLD, FIRST, SECOND = b"2025-10-01T06:00:00Z", b"2026-11-09T06:00:00Z", b"2026-12-09T06:00:00Z"
WRITTEN = b"2026-12-09T06:02:00Z"  # when the pages are taken to be written
# Two walks a month apart: alice played and gained, bob1 did not play, carol
# left the server; a walk beyond the 400 days carries a player no longer seen.
TWO_WALKS = (HEADER.encode() + record(OLD, b"ancient", b"1", b"1", b"900")
             + record(FIRST, b"alice", b"5", b"3", b"1500") + record(FIRST, b"bob1", b"2", b"2", b"1400")
             + record(FIRST, b"carol", b"0", b"1", b"1000")
             + record(SECOND, b"alice", b"7", b"3", b"1543") + record(SECOND, b"bob1", b"2", b"2", b"1400")
             + row(SECOND, b"carol", b"unknown", answer=b"Invalid user.")
             + row(SECOND, b"dave", b"dropped", answer=b"Your message quota has been exceeded! | ...")
             + row(SECOND, HOSTILE_NAME, b"error", answer=HOSTILE_ANSWER)
             + record(SECOND, b"\xe9mile", b"1", b"0", b"1010")
             # An answer tied to no request: no walk, read after the walk.
             + row(b"", b"", b"unattributed", answer=b"zed's record: | ...", read=b"2026-12-09T07:00:00Z"))


class PageTestCase(unittest.TestCase):
    """One browser for the tests of a class, and ways to read the page."""
    browser = None

    @classmethod
    def setUpClass(cls):
        cls.browser = Browser(os.path.join(OUTPUT, "chromium-profile"))

    @classmethod
    def tearDownClass(cls):
        cls.browser.quit()

    def open_page(self, name, contents, written=WRITTEN, seen=None):
        """Writes the page of `contents` (and of the seen file `seen`) as if
        at the time `written`, or at the real time when it is None: the page
        counts its ages to that."""
        results, page = pathlib.Path(OUTPUT, name + ".csv"), pathlib.Path(OUTPUT, name + ".html")
        results.write_bytes(contents)
        seen_file = None
        if seen is not None:
            seen_file = pathlib.Path(OUTPUT, name + "-seen.csv")
            seen_file.write_bytes(seen)
        self.browser.write_page(WRITER, results, page, seen_file)
        if written is not None:
            page.write_bytes(re.sub(rb'"written":"[^"]*"', b'"written":"' + written + b'"', page.read_bytes(), count=1))
        self.browser.open(str(page))

    def members(self):
        return self.browser.run("return [...document.querySelectorAll('#members tbody tr')]"
                                ".map(tr => tr.getAttribute('data-player'))")

    def cells(self, player):
        return self.browser.run(
            "return [...document.querySelectorAll('#members tbody tr')]"
            ".find(tr => tr.getAttribute('data-player') === arguments[0]).innerText.split('\\t')", player)


class ReportPageTest(PageTestCase):
    """Pages of results files made here, with the writer the bot uses."""

    def test_one_row_per_player_of_the_latest_walk_with_the_change(self):
        self.open_page("two-walks", TWO_WALKS)
        self.assertEqual(["alice", "bob1", "carol", "dave", HOSTILE_NAME.decode(), "\u00e9mile"], self.members())
        alice = self.cells("alice")
        self.assertEqual(["alice", "record", "7", "3", "0", "1543"], alice[:6])
        self.assertEqual(["+43", "+2", "played since the previous walk"], alice[-3:])
        self.assertEqual(["0", "0", "no new games since the previous walk, 30 days ago"], self.cells("bob1")[-3:])
        # carol's last record is shown, marked stale, beside her new status.
        self.assertEqual(["carol", "unknown", "0", "1", "0", "1000"], self.cells("carol")[:6])
        self.assertNotIn("ancient", self.browser.source())

    def test_two_weeks_of_the_demos_members(self):
        """The demo's three members over two weeks of daily walks."""
        results = HEADER.encode()
        for day in range(14):
            walk = b"2026-11-%02dT06:00:00Z" % (26 + day) if day < 5 else b"2026-12-%02dT06:00:00Z" % (day - 4)
            results += record(walk, b"alice", b"%d" % (7 + day // 2), b"3", b"%d" % (1543 + 9 * (day // 2)),
                              b"%d" % (12 + day))
            results += record(walk, b"bob1", b"%d" % min(day, 6), b"%d" % min(day, 4),
                              b"%d" % (1400 + 12 * min(day, 6) - 10 * min(day, 4)))
            results += record(walk, b"carol", b"0", b"0", b"")
        self.open_page("demo-like", results)
        self.assertEqual(["alice", "bob1", "carol"], self.members())
        self.assertEqual(["0", "+1", "played since the previous walk"], self.cells("alice")[-3:])
        self.browser.screenshot(os.path.join(OUTPUT, "report-page-two-weeks.png"))

    def test_a_click_on_a_heading_sorts_and_a_second_reverses(self):
        self.open_page("sort", TWO_WALKS)
        heading = "#members th[data-key='lr']"
        self.browser.click(heading)
        self.assertEqual(["carol", "\u00e9mile", "bob1", "alice"], self.members()[:4])
        self.assertEqual("ascending", self.browser.attribute(heading, "aria-sort"))
        self.browser.click(heading)
        self.assertEqual(["alice", "bob1", "\u00e9mile", "carol"], self.members()[:4])
        self.assertEqual("descending", self.browser.attribute(heading, "aria-sort"))
        self.browser.type("#filter", "BO")
        visible = self.browser.run("return [...document.querySelectorAll('#members tbody tr')]"
                                   ".filter(tr => !tr.hidden).map(tr => tr.getAttribute('data-player'))")
        self.assertEqual(["bob1"], visible)

    def test_the_chart_is_drawn_for_all_players_then_the_clicked_one(self):
        self.open_page("chart", TWO_WALKS)
        self.assertGreater(self.browser.painted_pixels("history"), 500)
        self.assertEqual(["alice", "bob1", "carol", "\u00e9mile"], self.browser.run(
            "return Chart.getChart('history').data.datasets.filter(d => d.data.length).map(d => d.label)"))
        self.browser.click("#members tr[data-player='alice']")
        self.assertEqual([[1500, 1543]], self.browser.run(
            "return Chart.getChart('history').data.datasets.map(d => d.data.map(p => p.y))"))
        self.assertEqual("Ladder rating or points over time: alice",
                         self.browser.run("return document.getElementById('chart-title').textContent"))

    def test_hostile_text_shows_as_text_and_runs_nothing(self):
        self.open_page("hostile", TWO_WALKS)
        self.assertIsNone(self.browser.run("return window.pwned === undefined ? null : window.pwned"))
        self.assertEqual(0, self.browser.run("return document.querySelectorAll('img').length"))
        self.assertEqual(4, self.browser.run("return document.querySelectorAll('script').length"))
        answer = self.browser.run("return [...document.querySelectorAll('#others td.answer')]"
                                  ".map(td => td.textContent)")
        # 8-bit text that is not UTF-8 shows as Latin-1; control bytes stay
        # text (escaped in the data, never markup).
        self.assertIn('"<!--<script>window.pwned=2</script>\x01\x1b[31m \u2028 caf\u00e9 \u00ff', answer)
        self.assertEqual(["error"], self.browser.run(
            "return [...document.querySelectorAll('#members tbody tr')]"
            ".filter(tr => tr.getAttribute('data-player') === arguments[0])"
            ".map(tr => tr.cells[1].textContent)", HOSTILE_NAME.decode()))
        self.assertEqual([], self.browser.errors())
        self.assertEqual(["none (answer read 2026-12-09T07:00:00Z)", "(none)", "answer of no known request",
                          "zed's record: | ..."], self.browser.run(
            "return [...document.querySelector('#others tbody tr').cells].map(td => td.textContent)"))

    def test_the_activity_says_what_is_true_with_ages_from_the_pages_time(self):
        walks = [b"2026-11-01T06:00:00Z", b"2026-11-16T06:00:00Z", b"2026-12-09T05:00:00Z", b"2026-12-09T06:00:00Z"]
        wins = {b"steady": b"1111", b"recent": b"1222", b"lately": b"1233", b"single": b"---9"}
        results = HEADER.encode()
        for index, walk in enumerate(walks):
            for player, figures in wins.items():
                if figures[index:index + 1] != b"-":
                    results += record(walk, player, figures[index:index + 1], b"0", b"1000")
        cases = [  # the page's time, then each player's activity
            (b"2026-12-09T06:02:00Z", {"steady": "no new games for at least 38 days",
                                       "recent": "no new games for 23 days",
                                       "lately": "no new games since the previous walk, 1 hour ago",
                                       "single": "first record, 2 minutes ago"}),
            (b"2026-12-09T06:00:30Z", {"lately": "no new games since the previous walk, 1 hour ago",
                                       "single": "first record, just now"}),
            (b"2026-12-10T07:00:00Z", {"steady": "no new games for at least 39 days",
                                       "recent": "no new games for 24 days",
                                       "lately": "no new games since the previous walk, 1 day ago",
                                       "single": "first record, 1 day ago"}),
            (b"2026-12-09T08:00:00Z", {"lately": "no new games since the previous walk, 3 hours ago"}),
        ]
        for written, expected in cases:
            self.open_page("activity", results, written)
            self.assertEqual(expected, {player: self.cells(player)[-1] for player in expected}, written)
        self.open_page("activity", HEADER.encode() + record(walks[2], b"a", b"1", b"0", b"1000")
                       + record(walks[3], b"a", b"2", b"0", b"1010"))
        self.assertEqual("played since the previous walk", self.cells("a")[-1])

    def test_walks_under_a_day_apart_show_times_on_the_chart(self):
        results = HEADER.encode()
        for minute in range(0, 50, 10):
            results += record(b"2026-12-09T06:%02d:00Z" % minute, b"alice", b"%d" % minute, b"0", b"%d" % (1500 + minute))
        self.open_page("minutes", results, b"2026-12-09T07:00:00Z")
        ticks = self.browser.run("return Chart.getChart('history').scales.x.ticks.map(t => t.label)")
        labels = [" ".join(t) if isinstance(t, list) else t for t in ticks]
        self.assertEqual(len(labels), len(set(labels)), labels)
        self.assertTrue(labels[0].startswith("2026-12-09 06:"), labels)
        self.assertTrue(all(label[-5:-3].isdigit() and label[-3] == ":" for label in labels), labels)
        self.open_page("chart-days", TWO_WALKS)
        ticks = self.browser.run("return Chart.getChart('history').scales.x.ticks.map(t => t.label)")
        self.assertTrue(all(len(t) == 10 and t[4] == "-" for t in ticks), ticks)
        # One walk: the axis spans a second or two, and shows no time twice.
        self.open_page("one-walk", HEADER.encode() + record(b"2026-12-09T06:30:05Z", b"alice", b"1", b"0", b"1500"))
        ticks = self.browser.run("return Chart.getChart('history').scales.x.ticks.map(t => t.label)")
        labels = [" ".join(t) if isinstance(t, list) else t for t in ticks if t]
        self.assertEqual(len(labels), len(set(labels)), labels)

    def test_texts_from_the_file_are_never_taken_for_the_pages_own(self):
        self.open_page("inherited", HEADER.encode() + row(SECOND, b"-Zed-", b"constructor", answer=b"=1+1")
                       + row(SECOND, b"'x", b"__proto__", answer=b"'") + record(SECOND, b"@at", b"1", b"0", b"1000"))
        self.assertEqual(["-Zed-", "'x", "@at"], self.members())
        self.assertEqual(["-Zed-", "constructor"], self.cells("-Zed-")[:2])
        self.assertEqual(["constructor", "__proto__"], self.browser.run(
            "return [...document.querySelectorAll('#members tbody tr')].slice(0, 2).map(tr => tr.cells[1].title)"))
        self.assertEqual([["'x", "__proto__", "'"], ["-Zed-", "constructor", "=1+1"]], self.browser.run(
            "return [...document.querySelectorAll('#others tbody tr')].map(tr => [...tr.cells].slice(1).map(td => td.textContent))"))
        self.assertEqual(["@at"], self.browser.run(
            "return Chart.getChart('history').data.datasets.map(d => d.label)"))
        self.browser.type("#filter", "-z")
        self.assertEqual(["-Zed-"], self.browser.run("return [...document.querySelectorAll('#members tbody tr')]"
                                                     ".filter(tr => !tr.hidden).map(tr => tr.getAttribute('data-player'))"))
        self.assertEqual([], self.browser.errors())


DAY, HOUR = 86400, 3600


def utc(seconds):
    return time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(seconds)).encode()


class SeenPageTest(PageTestCase):
    """Walks and sightings of 40 days ago and of today; the page is written
    at the real time, which the seen summary's ages count to."""

    def test_who_still_comes(self):
        now = int(time.time())
        old, walk, watch = now - 40 * DAY - 3 * HOUR, now - HOUR, now - 3 * HOUR
        # ann played today, the others' totals stay; fay is here without
        # playing; eve is new, gone left the list, unk left the server.
        results = HEADER.encode() + b"".join(
            record(utc(old), name, wins, b"1", b"1000")
            for name, wins in ((b"ann", b"9"), (b"bea", b"4"), (b"cid", b"2"), (b"dan", b"6"), (b"fay", b"3"),
                               (b"gone", b"0"), (b"unk", b"1"))) + b"".join(
            record(utc(walk), name, wins, b"1", b"1000")
            for name, wins in ((b"ann", b"11"), (b"bea", b"4"), (b"cid", b"2"), (b"dan", b"6"), (b"eve", b"1"), (b"fay", b"3"))
        ) + row(utc(walk), b"unk", b"unknown", answer=b"Invalid user.")
        sightings = ((old, b"", b"watching"), (old + 60, b"ann", b"here"), (old + 60, b"bea", b"here"),
                     (old + 120, b"cid", b"joined"), (old + HOUR, b"cid", b"left"), (old + 2 * HOUR, b"", b"not-watching"),
                     (watch, b"", b"watching"), (watch + 10, b"ann", b"joined"), (watch + 20, b"bea", b"joined"),
                     (watch + 30, b"bea", b"left"), (watch + 40, b"fay", b"joined"))
        seen = b"time,player,event,channel\r\n" + b"".join(
            b"%s,%s,%s,Clan Example\r\n" % (utc(t), player, event) for t, player, event in sightings)
        self.open_page("seen", results, written=None, seen=seen)
        column = 12  # after the normal games
        self.assertEqual({"ann": "here", "bea": "today", "cid": "40 days ago", "dan": "not seen", "eve": "not seen",
                          "fay": "here", "unk": "not seen"}, {player: self.cells(player)[column] for player in self.members()})
        attributes = self.browser.run(
            "return Object.fromEntries([...document.querySelectorAll('#members tbody tr')].map(tr => "
            "[tr.getAttribute('data-player'), [tr.getAttribute('data-seen'), tr.getAttribute('data-last-game')]]))")
        self.assertEqual([utc(old + HOUR).decode(), ""], attributes["cid"])
        self.assertEqual(["", utc(walk).decode()], [attributes["dan"][0], attributes["ann"][1]])
        self.assertEqual(["", ""], attributes["bea"][1:] + attributes["eve"][1:])
        self.assertEqual("30", self.browser.run("return document.getElementById('inactive-days').value"))

        def overview():
            return [self.browser.run("return document.getElementById(arguments[0]).textContent", name)
                    for name in ("member-count", "played-count", "seen-count", "boot-count", "unknown-count")]

        def shown():
            return [p for p in self.members() if self.browser.run(
                "return !document.querySelector('#members tbody tr[data-player=\"' + arguments[0] + '\"]').hidden", p)]

        self.assertEqual(["7", "1", "3", "3", "1"], overview())
        self.assertIn("0.1 of these 30 days", self.browser.run("return document.getElementById('watched').textContent"))
        self.browser.click("#boot-list")
        self.assertEqual(["cid", "dan", "eve"], shown())
        self.browser.run("var s = document.getElementById('inactive-days'); s.value = '60';"
                         "s.dispatchEvent(new Event('change'))")
        self.assertEqual(["7", "1", "4", "2", "1"], overview())
        self.assertEqual(["dan", "eve"], shown())
        changes = self.browser.run("return [...document.querySelectorAll('#list-changes li')].map(li => "
                                   "[li.getAttribute('data-player'), li.getAttribute('data-change'), li.textContent])")
        self.assertEqual([["eve", "joined"], ["gone", "left"]], [c[:2] for c in changes])
        self.assertTrue(changes[1][2].startswith(utc(old).decode()[:10]), changes)
        self.assertEqual("In the last 30 days: 1 joined, 0 left.",
                         self.browser.run("return document.getElementById('list-changes-counts').textContent"))
        self.assertEqual([], self.browser.errors())


class BotPageTest(PageTestCase):
    """The page the real program writes after its walk against the stand-in
    server, with the demo's files: its screenshot, report-page.png, is the
    one docs/ shows."""

    def test_the_bot_writes_the_page_once_its_walk_is_answered(self):
        folder = os.path.join(OUTPUT, "bot-run")
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
        for name in ("configuration.txt", "bwmembers.txt"):
            shutil.copy(os.path.join(EXAMPLES, name), folder)
        page = os.path.join(folder, "BroodWar.html")
        log = os.path.join(folder, "chatd.log")
        # The test build's pauses are a fiftieth: the server must not count
        # its requests as a flood.
        with open(log, "w") as out:
            server = subprocess.Popen([CHATD, "--port", PORT, "--no-flood-protection", "--exit-after", "120"],
                                      cwd=folder, stdout=out, stderr=subprocess.STDOUT)
        try:
            self.wait_for(lambda: "listening" in read_text(log) or server.poll() is not None, "the server")
            self.assertIn("listening", read_text(log))
            with open(os.path.join(folder, "bot.out"), "wb") as out:
                bot = subprocess.Popen([BOT], cwd=folder, stdout=out, stderr=subprocess.STDOUT)
            try:
                self.wait_for(lambda: os.path.exists(page), "the page")
            finally:
                bot.kill()
                bot.wait()
        finally:
            server.kill()
            server.wait()
        self.browser.open(page)
        self.assertEqual(["alice", "bob1", "carol"], self.members())
        self.assertEqual(["alice", "record"], self.cells("alice")[:2])
        self.assertEqual("BWCorvane 1.0 Beta", self.browser.run("return document.getElementById('program').textContent"))
        self.assertEqual("127.0.0.1", self.browser.run("return document.getElementById('host').textContent"))
        self.assertGreater(self.browser.painted_pixels("history"), 100)
        self.browser.screenshot(os.path.join(OUTPUT, "report-page.png"))

    @staticmethod
    def wait_for(condition, what, seconds=90):
        deadline = time.monotonic() + seconds
        while not condition():
            if time.monotonic() > deadline:
                raise AssertionError("no sign of %s after %d s" % (what, seconds))
            time.sleep(0.1)


def read_text(path):
    with open(path) as file:
        return file.read()


def main():
    global WRITER, OUTPUT, CHATD, BOT, PORT
    if len(sys.argv) < 6:
        sys.exit(__doc__)
    WRITER, OUTPUT, CHATD, BOT, PORT = sys.argv[1:6]
    os.makedirs(OUTPUT, exist_ok=True)
    unittest.main(argv=[sys.argv[0]] + sys.argv[6:], verbosity=2)


if __name__ == "__main__":
    main()
