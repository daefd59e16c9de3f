"""The schedule in the field: retries after an outage, the correction after a
resume, and the limit on the step taken without asking."""
import os
import subprocess
import time
import unittest

from harness import (CMD_CORRECT_IF_IDLE, IDC_SYNCHRONIZE, STATUS_REFUSED, TITLE, WM_COMMAND,
                     QuorvelTestCase, wait_until)
from timeserver import now_ms1900

GOOD = "127.0.0.41"
WM_NULL, WM_POWERBROADCAST = 0x0000, 0x0218
PBT_APMSUSPEND, PBT_APMRESUMESUSPEND, PBT_APMRESUMEAUTOMATIC = 4, 7, 0x12
IDYES, IDNO = 6, 7
TWO_YEARS_MS = 730 * 86400 * 1000
# Wine refuses steps of 500 ms or more, which would count as "no privilege".
SMALL_SKEW_MS = 100
RULE = ["OUTPUT", "-p", "tcp", "--dport", "37", "-j", "REJECT", "--reject-with", "tcp-reset"]


class Outage(QuorvelTestCase):
    """Port 37 refused in this test's own network namespace, then allowed again."""
    servers = (GOOD,)

    def setUp(self):
        if os.environ.get("QV_SANDBOX", "none") == "none":
            self.skipTest("needs the private network namespace")
        super().setUp()

    def refuse_port_37(self):
        subprocess.run(["iptables", "-A"] + RULE, check=True)
        self.addCleanup(self.allow_port_37)

    def allow_port_37(self):
        subprocess.run(["iptables", "-D"] + RULE, check=False, stderr=subprocess.DEVNULL)

    def wait_refused(self):
        wait_until(lambda: (self.settings.server(0) or None)
                   and self.settings.server(0).status == STATUS_REFUSED, 60)

    def test_on_startup_corrects_at_a_retry_and_quits(self):
        self.settings.set_dword("Schedule", 1)
        server = self.timeserver(GOOD, skew_ms=SMALL_SKEW_MS)
        self.refuse_port_37()
        program = self.start("s")
        program.wait_window()
        self.wait_refused()
        self.allow_port_37()
        self.assertEqual(program.wait_exit(90), 0)
        self.assertEqual(server.count(), 3)
        self.assertIsNotNone(self.settings.get("LastCorrectionValue"))

    def test_hourly_corrects_at_a_retry_and_then_waits(self):
        self.settings.set_dword("Schedule", 4)
        server = self.timeserver(GOOD, skew_ms=SMALL_SKEW_MS)
        self.refuse_port_37()
        program = self.start()  # never corrected: the first due check runs
        program.wait_window()
        self.wait_refused()
        self.allow_port_37()
        wait_until(lambda: self.settings.get("LastCorrectionValue") is not None, 90)
        self.assertEqual(server.count(), 3)
        time.sleep(40)  # beyond the next retry had the sequence gone on
        self.assertEqual(server.count(), 3)
        self.assertTrue(program.alive())

    def test_no_scheduled_interval_ends_a_waiting_retry(self):
        self.settings.set_dword("Schedule", 4)
        server = self.timeserver(GOOD, skew_ms=SMALL_SKEW_MS)
        self.refuse_port_37()
        program = self.start()
        program.wait_window()
        self.wait_refused()
        program.set_schedule(0)
        wait_until(lambda: program.schedule_text() == "No Scheduled Interval")
        self.allow_port_37()
        time.sleep(25)  # beyond the first retry, 15 s after the failed run
        self.assertEqual(server.count(), 0)


class Resume(QuorvelTestCase):
    servers = (GOOD,)

    def start_corrected(self, position):
        """Corrected just now, so nothing falls due by itself."""
        self.settings.set_dword("Schedule", position)
        self.settings.set_int64("LastCorrectionTime", now_ms1900())
        self.settings.set_int64("LastCorrectionValue", 0)
        program = self.start()
        return program, program.wait_window()

    def test_one_correction_for_both_notices_of_a_resume(self):
        server = self.timeserver(GOOD, skew_ms=SMALL_SKEW_MS)
        program, hwnd = self.start_corrected(4)
        self.ctl.send(hwnd, WM_POWERBROADCAST, PBT_APMSUSPEND, 0)
        self.ctl.send(hwnd, WM_POWERBROADCAST, PBT_APMRESUMEAUTOMATIC, 0)
        wait_until(lambda: server.count() == 3, 60)
        wait_until(lambda: program.button_caption() == "Synchronize Time", 30)
        # The notice Windows sends after the first when a user is present.
        self.ctl.send(hwnd, WM_POWERBROADCAST, PBT_APMRESUMESUSPEND, 0)
        time.sleep(15)
        self.assertEqual(server.count(), 3)

    def test_no_correction_without_an_interval(self):
        server = self.timeserver(GOOD, skew_ms=SMALL_SKEW_MS)
        _, hwnd = self.start_corrected(0)
        self.ctl.send(hwnd, WM_POWERBROADCAST, PBT_APMRESUMEAUTOMATIC, 0)
        self.ctl.send(hwnd, WM_POWERBROADCAST, PBT_APMRESUMESUSPEND, 0)
        time.sleep(15)
        self.assertEqual(server.count(), 0)


class TwoYearStep(QuorvelTestCase):
    """Servers that agree on a time two years ago."""
    servers = (GOOD,)

    def assert_nothing_written(self):
        self.assertIsNone(self.settings.get("LastCorrectionTime"))
        self.assertIsNone(self.settings.get("LastCorrectionValue"))

    def test_a_scheduled_run_refuses_it_and_says_why(self):
        self.settings.set_dword("Schedule", 4)
        server = self.timeserver(GOOD, skew_ms=-TWO_YEARS_MS)
        program = self.start()
        program.wait_window()
        tip = wait_until(lambda: [t for _, t in self.ctl.tray_icons() if "15 hours" in t], 60)
        self.assertIn("more than 15 hours", tip[0])
        self.assertEqual(server.count(), 3)
        self.assert_nothing_written()
        time.sleep(20)  # a failed run would have been retried by now
        self.assertEqual(server.count(), 3)

    def ask_about_a_large_step(self):
        """A server two years off and "Synchronize Time" pressed with the window
        shown: the server, the program, its window, and a probe that lists the
        question boxes as (box, text)."""
        server = self.timeserver(GOOD, skew_ms=-TWO_YEARS_MS)
        program = self.start()
        hwnd = program.wait_window()
        program.open()
        wait_until(program.visible)
        program.command(IDC_SYNCHRONIZE)

        def question():
            return [(box, text) for box, caption, text in self.ctl.msgboxes()
                    if box != hwnd and caption == TITLE]
        return server, program, hwnd, question

    def test_the_user_is_asked_and_only_yes_applies_it(self):
        server, program, _, question = self.ask_about_a_large_step()
        box, text = wait_until(question, 60)[0]
        self.assertIn("-730.00d", text)
        program.press(box, IDNO)
        wait_until(lambda: not question())
        self.assertEqual(server.count(), 3)
        self.assert_nothing_written()

        program.command(IDC_SYNCHRONIZE)
        box, _ = wait_until(question, 60)[0]
        program.press(box, IDYES)
        # Wine refuses so large a step, but the program applied it: the value is stored.
        value = wait_until(lambda: self.settings.get("LastCorrectionValue") and
                           self.settings.int64("LastCorrectionValue"), 20)
        self.assertLess(abs(value + TWO_YEARS_MS), 2000)

    def test_a_yes_after_another_run_measured_applies_nothing(self):
        server, program, hwnd, question = self.ask_about_a_large_step()
        box, _ = wait_until(question, 60)[0]
        # While the box is open another run measures the same servers (and,
        # being no user's, refuses the step itself).
        self.ctl.send(hwnd, WM_COMMAND, CMD_CORRECT_IF_IDLE, 0)
        wait_until(lambda: server.count() == 6, 60)
        wait_until(lambda: program.button_caption() == "Synchronize Time", 30)
        program.press(box, IDYES)
        wait_until(lambda: not question())
        self.ctl.send(hwnd, WM_NULL, 0, 0)  # handled only after the answer was
        self.assert_nothing_written()


if __name__ == "__main__":
    unittest.main()
