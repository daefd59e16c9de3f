"""One keeper of the clock per machine, under Wine (one session, no private
namespace): a mutex of the keeper's fallback name made first by an ordinary
program does not stop the program keeping the schedule and setting the rate,
and the rate calls it makes show in Wine's relay channel. The count of what
automatic runs moved the clock survives a restart within the boot. Servers
whose clocks run 800 ppm fast teach no compensation beyond 500 ppm.
"""
import os
import re
import struct
import subprocess
import tempfile
import unittest

from harness import IDC_SYNCHRONIZE, QuorvelTestCase, unpack_history, wait_until
from ntpserver import NtpServer

RATE_CALLS = "kernel32.GetSystemTimeAdjustment;kernel32.SetSystemTimeAdjustment"


def relay_only(names):
    subprocess.run(["wine", "reg", "add", r"HKCU\Software\Wine\Debug", "/v", "RelayInclude", "/d", names, "/f"],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def clock_moves(image):
    """(moved ms, the boot's first correction taken) of a "ClockMoves" record."""
    moved, = struct.unpack_from("<Q", image, 16)
    return moved, image[32]


class SquattedKeeperName(QuorvelTestCase):
    servers = ["127.0.0.85:123", "127.0.0.86:123"]
    schedule = 4  # hourly

    def test_a_mutex_of_the_keepers_name_made_first_does_not_stop_the_keeping(self):
        for addr in ("127.0.0.85", "127.0.0.86"):
            self.addCleanup(NtpServer(addr, skew_ms=200.0).start().stop)
        self.ctl.mutex("Global\\Quorvel.Keeper")
        self.settings.set_int64("DriftPpb", 78000)
        relay_only(RATE_CALLS)
        log = os.path.join(tempfile.mkdtemp(), "relay.txt")
        program = self.start(relay_log=log)
        program.wait_window()
        # The scheduled run is the keeper's alone: it ran.
        wait_until(lambda: unpack_history(self.settings.get("History") or b""), 60, 0.2,
                   "the scheduled run left no history entry")
        program.stop()
        with open(log, "rb") as f:
            self.assertTrue(re.search(rb"Call KERNEL32\.GetSystemTimeAdjustment\(", f.read(), re.I))
        # The stored drift's compensation, 78 ppm slower: 156,238 of 156,250.
        self.assertIn((156238, 0), rate_settings(log))


def rate_settings(log):
    """The (adjustment, disabled) pairs of every SetSystemTimeAdjustment call."""
    with open(log, "rb") as f:
        calls = f.read().decode("latin-1")
    return [(int(a, 16), int(d, 16)) for a, d in
            re.findall(r"Call KERNEL32\.SetSystemTimeAdjustment\(([0-9a-f]+),([0-9a-f]+)\)", calls, re.I)]


class ServersRunningFarTooFast(QuorvelTestCase):
    servers = ["127.0.0.89:123", "127.0.0.90:123", "127.0.0.91:123"]
    schedule = 4

    def test_no_compensation_beyond_500_ppm_is_stored_or_set(self):
        for addr in ("127.0.0.89", "127.0.0.90", "127.0.0.91"):
            self.addCleanup(NtpServer(addr, skew_ms=1500.0, drift_ppm=800.0).start().stop)
        relay_only(RATE_CALLS)
        log = os.path.join(tempfile.mkdtemp(), "relay.txt")
        program = self.start(relay_log=log)
        program.wait_window()
        history = lambda: unpack_history(self.settings.get("History") or b"")
        wait_until(lambda: len(history()) >= 1, 60, 0.2)
        while len(history()) < 6 or history()[-1].measured_at - history()[0].measured_at < 100000:
            runs = len(history())
            wait_until(lambda: program.button_caption() == "Synchronize Time", 30)
            program.send_command(IDC_SYNCHRONIZE)
            wait_until(lambda: len(history()) == runs + 1, 60, 0.2)
            self.assertLess(runs, 20)
        program.stop()
        drift = self.settings.int64("DriftPpb")
        self.assertTrue(drift is None or abs(drift) <= 500000, drift)
        sets = rate_settings(log)
        self.assertTrue(sets)
        for adjustment, disabled in sets:
            if disabled == 0:  # 500 ppm of compensation and 500 of slew: 156 units of 6.4 ppm
                self.assertLessEqual(abs(adjustment - 156250), 157, sets)


class CountOverTheBoot(QuorvelTestCase):
    servers = ["127.0.0.87:123", "127.0.0.88:123"]
    schedule = 4

    def test_a_restart_in_the_same_boot_goes_on_counting(self):
        for addr in ("127.0.0.87", "127.0.0.88"):
            self.addCleanup(NtpServer(addr, skew_ms=200.0).start().stop)
        program = self.start()
        program.wait_window()
        wait_until(lambda: len(unpack_history(self.settings.get("History") or b"")) == 1, 60, 0.2)
        program.stop()
        # The boot's first correction is bounded by the step limit alone.
        self.assertEqual(clock_moves(self.settings.get("ClockMoves")), (0, 1))
        # A restart (due at once again) counts on from there.
        self.settings.set_int64("LastCorrectionTime", 0)
        program = self.start()
        program.wait_window()
        wait_until(lambda: len(unpack_history(self.settings.get("History") or b"")) == 2, 60, 0.2)
        program.stop()
        moved, first = clock_moves(self.settings.get("ClockMoves"))
        self.assertEqual(first, 1)
        self.assertLess(abs(moved - 200), 5, moved)


if __name__ == "__main__":
    unittest.main()
