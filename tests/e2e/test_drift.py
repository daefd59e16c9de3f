"""What the program learns between corrections: NTP test servers whose clocks
run 200 ppm fast and 1.5 s ahead. Wine refuses every step of half a second or
more, so the offsets the runs find trace the drift alone: the history gets one
entry per run, "DriftPpb" comes within 25 ppm of the truth (negative: against
the servers this clock loses), and both survive a restart.
"""
import sys
import unittest

from harness import (ACTION_STEP_REFUSED, HISTORY_BREAK, IDC_SYNCHRONIZE, STATUS_GOOD,
                     QuorvelTestCase, unpack_history, wait_until)
from ntpserver import NtpServer

DRIFT_PPM = 200.0
SKEW_MS = 1500.0


class DriftFromRuns(QuorvelTestCase):
    servers = ["127.0.0.71:123", "127.0.0.72:123", "127.0.0.73:123"]

    def history(self):
        return unpack_history(self.settings.get("History") or b"")

    def correct(self, program, runs_before):
        program.send_command(IDC_SYNCHRONIZE)
        wait_until(lambda: len(self.history()) == runs_before + 1, 60, 0.2,
                   "run %d left no history entry" % (runs_before + 1))
        wait_until(lambda: program.button_caption() == "Synchronize Time", 30)

    def test_the_drift_is_learnt_from_the_runs_and_kept(self):
        for addr in ("127.0.0.71", "127.0.0.72", "127.0.0.73"):
            server = NtpServer(addr, skew_ms=SKEW_MS, drift_ppm=DRIFT_PPM).start()
            self.addCleanup(server.stop)
        program = self.start_ready()
        runs = 0
        while True:
            self.correct(program, runs)
            runs += 1
            history = self.history()
            if runs >= 6 and history[-1].measured_at - history[0].measured_at >= 120000:
                break
            self.assertLess(runs, 20, "two minutes of runs took too many")

        self.assertEqual(len(history), runs)
        for entry in history:
            self.assertEqual(entry.action, ACTION_STEP_REFUSED, entry)
            self.assertEqual((entry.agreeing, entry.usable), (3, 3), entry)
            self.assertLess(abs(entry.offset_us - SKEW_MS * 1000), 60000, entry)
        self.assertTrue(history[0].flags & HISTORY_BREAK, "the program's start is a break")
        # The servers run ahead of this clock: the offsets grow.
        self.assertGreater(history[-1].offset_us, history[0].offset_us)
        drift = self.settings.int64("DriftPpb")
        self.assertIsNotNone(drift, "no DriftPpb after %d runs" % runs)
        self.assertLess(abs(drift + DRIFT_PPM * 1000), 25000, drift)
        self.assertGreater(self.settings.int64("DriftUncertaintyPpb"), 0)
        sys.stderr.write("DriftPpb %d (truth %d, uncertainty %d) after %d runs over %.0f s\n"
                         % (drift, -DRIFT_PPM * 1000, self.settings.int64("DriftUncertaintyPpb"), runs,
                            (history[-1].measured_at - history[0].measured_at) / 1000))
        self.assertEqual({r.status for r in self.settings.servers().values()}, {STATUS_GOOD})

        # A restart keeps both, and its first run starts a new span.
        kept = self.settings.get("History")
        program.stop()
        program = self.start_ready()
        self.assertEqual(self.settings.get("History"), kept)
        self.assertEqual(self.settings.int64("DriftPpb"), drift)
        self.correct(program, runs)
        history = self.history()
        self.assertTrue(history[-1].flags & HISTORY_BREAK)
        self.assertLess(abs(self.settings.int64("DriftPpb") + DRIFT_PPM * 1000), 25000)


if __name__ == "__main__":
    unittest.main()
