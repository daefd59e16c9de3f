"""The "Clock History" window: opened from the tray beside the main window, it
shows the drift learnt from the stored history, the last run and the runs in a
list; Esc closes it; a run that ends while it is open shows in it without
taking the foreground from another program.

The history is seeded as the program stores it: "History", 32-byte entries
(see discipline/history.h), oldest first.
"""
import time
import unittest

from harness import (ACTION_STEPPED, HISTORY_BREAK, IDC_DRIFT_CERTAINTY, IDC_DRIFT_TEXT, IDC_ERROR_NOW_TEXT, IDC_HISTORY_LIST,
                     IDC_LAST_RUN_TEXT, IDC_SYNCHRONIZE, IDM_CLOCK_HISTORY, SW_SHOW, VK_ESCAPE,
                     WM_COMMAND, WM_KEYDOWN, QuorvelTestCase, pack_history_entry, wait_until)

HISTORY_TITLE = "Clock History"
EPOCH_1900_TO_1970_S = 2208988800
HOUR_MS = 3600 * 1000


def local_time_text(unix_seconds):
    """The program's local-time text, "h:mm:ssam on m/d/yy", without its final blank."""
    t = time.localtime(unix_seconds)
    return "%d:%02d:%02d%s on %d/%d/%02d" % (t.tm_hour % 12 or 12, t.tm_min, t.tm_sec,
                                             "am" if t.tm_hour < 12 else "pm",
                                             t.tm_mon, t.tm_mday, t.tm_year % 100)


def losing_78_ppm(first_unix_s, runs):
    """Hourly runs of a clock losing 78 ppm, each stepping the whole milliseconds
    of its offset: [(unix seconds, offset us)], and the packed history."""
    runs_seen, entries, left = [], [], 0
    for i in range(runs):
        at = first_unix_s + i * 3600
        offset = 350000 if i == 0 else left + 280800
        left = offset - offset // 1000 * 1000
        runs_seen.append((at, offset))
        entries.append(pack_history_entry((at + EPOCH_1900_TO_1970_S) * 1000, offset, 500, ACTION_STEPPED,
                                          2 if i == 3 else 3, 3, flags=HISTORY_BREAK if i == 0 else 0))
    return runs_seen, b"".join(entries)


class ClockHistoryWindow(QuorvelTestCase):
    servers = ["127.0.0.51"]

    def setUp(self):
        super().setUp()
        newest = int(time.time()) - 600
        self.runs, image = losing_78_ppm(newest - 5 * 3600, 6)
        self.settings.set_binary("History", image)
        self.settings.set_int64("DriftPpb", -78000)
        self.settings.set_int64("DriftUncertaintyPpb", 100)

    def open_history(self, program):
        self.ctl.post(program.window(), WM_COMMAND, IDM_CLOCK_HISTORY, 0)
        window = wait_until(lambda: self.ctl.find_window(HISTORY_TITLE, IDC_HISTORY_LIST),
                            message="no Clock History window")
        wait_until(lambda: self.ctl.visible(window))
        return window

    def text(self, window, control_id):
        return self.ctl.item_text(window, control_id)

    def test_opens_beside_the_main_window_shows_the_drift_and_runs_and_closes_with_escape(self):
        program = self.start_ready()
        program.move(40, 100)
        window = self.open_history(program)

        self.assertEqual(self.text(window, IDC_DRIFT_TEXT), "This computer's clock loses 6.7 s a day (78 ppm)")
        self.assertTrue(self.text(window, IDC_DRIFT_CERTAINTY).startswith("Learnt from 6 runs, to within \xb1 "))
        at, offset = self.runs[-1]
        self.assertEqual(self.text(window, IDC_LAST_RUN_TEXT),
                         "Last run: %s, %+.1f ms, stepped" % (local_time_text(at), offset / 1000))
        self.assertRegex(self.text(window, IDC_ERROR_NOW_TEXT), r"^Estimated error now: within \xb1 \d+ ms$")

        rows = self.ctl.lv_rows(window, IDC_HISTORY_LIST)
        self.assertEqual([(r.name, r.latency, r.correction) for r in rows],
                         [(local_time_text(at), "%+.1f ms" % (offset / 1000), "stepped")
                          for at, offset in reversed(self.runs)])
        self.assertEqual([c.text for c in self.ctl.lv_columns(window, IDC_HISTORY_LIST)],
                         ["When", "Offset", "Done", "Uncertainty", "Servers"])

        # Right of the main window, where there is room.
        left, top, right, _ = self.ctl.rect(window)
        main_left, main_top, main_right, _ = program.rect()
        self.assertGreaterEqual(left, main_right)
        self.assertEqual(top, main_top)
        width = right - left

        # A second "Clock History" brings the open one forward instead of another.
        self.ctl.post(program.window(), WM_COMMAND, IDM_CLOCK_HISTORY, 0)
        self.ctl.send(program.window(), 0)
        self.assertEqual([w.hwnd for w in self.ctl.windows() if w.title == HISTORY_TITLE], [window])

        # Esc in its list reaches the dialog manager, which closes the window.
        self.ctl.post(self.ctl.item(window, IDC_HISTORY_LIST), WM_KEYDOWN, VK_ESCAPE, 0)
        wait_until(lambda: not self.ctl.is_window(window), message="Esc did not close the window")
        self.assertTrue(program.alive())

        # Left of it when the screen ends on its right.
        program.move(width + 60, 100)
        window = self.open_history(program)
        left, _, right, _ = self.ctl.rect(window)
        main_left, _, main_right, _ = program.rect()
        self.assertLessEqual(right, main_left)
        self.assertGreaterEqual(left, 0)

    def test_a_run_ending_shows_in_it_without_taking_the_foreground(self):
        self.timeserver("127.0.0.51", skew_ms=200)
        program = self.start_ready()
        window = self.open_history(program)
        other = self.ctl.fake_window("Another Program", 1)
        self.ctl.show(other, SW_SHOW)
        try:
            wait_until(lambda: self.ctl.foreground() == other, timeout=10)
            foreground_known = True
        except AssertionError:
            foreground_known = False  # this Wine did not hand the foreground over

        last_run = self.text(window, IDC_LAST_RUN_TEXT)
        program.command(IDC_SYNCHRONIZE)
        wait_until(lambda: len(self.ctl.lv_rows(window, IDC_HISTORY_LIST)) == 7, timeout=60,
                   message="the run did not show in the list")
        newest = self.ctl.lv_rows(window, IDC_HISTORY_LIST)[0]
        self.assertEqual(newest.correction, "stepped")
        self.assertNotEqual(self.text(window, IDC_LAST_RUN_TEXT), last_run)
        self.assertTrue(self.ctl.visible(window))
        if foreground_known:
            self.assertEqual(self.ctl.foreground(), other)
        else:
            self.skipTest("the foreground could not be given to another window under this Wine")


if __name__ == "__main__":
    unittest.main()
