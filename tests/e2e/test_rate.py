"""The clock's rate under Wine, whose SetSystemTimeAdjustment succeeds and changes
nothing (GetSystemTimeAdjustment always reads 156,250 and "disabled"): with a
stored "DriftPpb" and an hourly schedule the program finds that its rate does not
take and goes on stepping, even for a scheduled run's small correction.
"""
import unittest

from harness import (ACTION_STEPPED, IDC_RATE_TEXT, IDM_CLOCK_HISTORY, QuorvelTestCase, unpack_history,
                     wait_until)
from ntpserver import NtpServer


class RateThatDoesNotTake(QuorvelTestCase):
    servers = ["127.0.0.81:123", "127.0.0.82:123"]
    schedule = 4  # hourly

    def test_a_scheduled_small_correction_is_stepped(self):
        for addr in ("127.0.0.81", "127.0.0.82"):
            server = NtpServer(addr, skew_ms=200.0).start()
            self.addCleanup(server.stop)
        self.settings.set_int64("DriftPpb", 78000)
        program = self.start()
        program.wait_window()
        # Never corrected: the first due check starts a scheduled run.
        history = wait_until(lambda: unpack_history(self.settings.get("History") or b""), 60, 0.2,
                             "the scheduled run left no history entry")
        self.assertEqual(len(history), 1)
        entry = history[0]
        self.assertEqual(entry.action, ACTION_STEPPED, entry)
        self.assertEqual(entry.rate_before_ppb, 0, entry)
        self.assertLess(abs(entry.offset_us - 200000), 5000, entry)
        self.assertLess(abs(self.settings.int64("LastCorrectionValue") - 200), 5)
        # One run tells nothing of the drift: the stored one stays.
        self.assertEqual(self.settings.int64("DriftPpb"), 78000)
        # And the user can see why the run stepped.
        program.command(IDM_CLOCK_HISTORY)
        window = wait_until(lambda: self.ctl.find_window("Clock History"), 20)
        self.assertEqual(self.ctl.item_text(window, IDC_RATE_TEXT),
                         "The system keeps this clock's rate: the drift is not cancelled and corrections are steps.")


if __name__ == "__main__":
    unittest.main()
