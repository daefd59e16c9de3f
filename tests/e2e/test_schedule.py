"""The correction schedule: slider, log-on entry, start-up mode and the delayed exit."""
import time
import unittest

from harness import (REG_SZ, RUN_KEY, RUN_VALUE, STATUS_GOOD,
                     UNINSTALL_KEY, WM_LBUTTONDOWN, WM_KEYDOWN, VK_ESCAPE, QuorvelTestCase,
                     wait_until)
import harness

GOOD = "127.0.0.31"
REFUSING = "127.0.0.32"


def run_value_command(ctl):
    value = ctl.reg_get(RUN_KEY, RUN_VALUE)
    if value is None:
        return None
    kind, data = value
    assert kind == REG_SZ
    return data.rstrip(b"\0").decode()


class ScheduleSettings(QuorvelTestCase):
    """No servers here: whatever falls due has nothing to ask."""

    def test_first_start_is_hourly_and_registers_the_quoted_command(self):
        self.settings.delete("Schedule")
        program = self.start()
        program.wait_window()
        wait_until(lambda: program.schedule_text() == "Hourly")
        self.assertEqual(program.schedule_position(), 4)
        command = wait_until(lambda: run_value_command(self.ctl))
        exe = command[1:command.index('"', 1)]
        self.assertEqual(command, '"%s" s' % exe)
        self.assertTrue(exe.lower().endswith("quorvel.exe"))
        uninstall = self.ctl.reg_get(UNINSTALL_KEY, "UninstallString")[1].rstrip(b"\0").decode()
        self.assertEqual(uninstall, '"%s" u' % exe)
        # With an interval, "Minimize" only hides the window.
        program.open()
        wait_until(program.visible)
        program.minimize()
        wait_until(lambda: not program.visible())
        time.sleep(1)
        self.assertTrue(program.alive())

    def test_position_zero_removes_the_log_on_entry_only(self):
        self.ctl.reg_set_sz(RUN_KEY, RUN_VALUE, '"C:\\old\\quorvel.exe" s')
        program = self.start()
        program.wait_window()
        wait_until(lambda: program.schedule_text() == "No Scheduled Interval")
        wait_until(lambda: self.ctl.reg_get(RUN_KEY, RUN_VALUE) is None)
        self.assertTrue(self.ctl.reg_key_exists(UNINSTALL_KEY))
        program.minimize()  # no interval: hiding ends the program
        self.assertEqual(program.wait_exit(), 0)

    def test_position_out_of_range_keeps_the_log_on_entry(self):
        self.settings.set_dword("Schedule", 42)
        program = self.start()
        program.wait_window()
        wait_until(lambda: program.schedule_text() == "No Scheduled Interval")
        self.assertIsNotNone(wait_until(lambda: run_value_command(self.ctl)))
        self.assertEqual(self.settings.dword("Schedule"), 42)
        program.minimize()
        self.assertEqual(program.wait_exit(), 0)

    def test_moving_the_slider_stores_and_labels_the_schedule(self):
        program = self.start()
        program.wait_window()
        for position, label in ((9, "Monthly"), (1, "On Startup"), (0, "No Scheduled Interval")):
            program.set_schedule(position)
            wait_until(lambda: self.settings.dword("Schedule") == position)
            wait_until(lambda: program.schedule_text() == label)
            if position:
                wait_until(lambda: run_value_command(self.ctl) is not None)
            else:
                wait_until(lambda: self.ctl.reg_get(RUN_KEY, RUN_VALUE) is None)


class StartupCorrection(QuorvelTestCase):
    servers = (GOOD,)
    schedule = 1

    def test_corrects_at_log_on_and_quits(self):
        server = self.timeserver(GOOD, skew_ms=500)
        program = self.start("s")
        self.assertEqual(program.wait_exit(60), 0)
        self.assertEqual(server.count(), 3)
        self.assertEqual(self.settings.server(0).status, STATUS_GOOD)
        self.assertIsNotNone(self.settings.get("LastCorrectionValue"))

    def test_opening_the_tray_menu_keeps_it_running(self):
        self.timeserver(GOOD, skew_ms=500)
        program = self.start("s")
        hwnd = program.wait_window()
        wait_until(lambda: self.settings.get("LastCorrectionValue") is not None, 60)
        self.ctl.post(hwnd, harness.WM_TRAY_CALLBACK, 0, WM_LBUTTONDOWN)
        menu = wait_until(lambda: [w for w in self.ctl.windows(program.wine_pid)
                                   if w.cls == "#32768" and w.visible])
        self.ctl.post(menu[0].hwnd, WM_KEYDOWN, VK_ESCAPE, 0)
        time.sleep(15)  # past the delayed exit
        self.assertTrue(program.alive())

    def test_keeps_running_when_no_server_answers(self):
        self.settings.seed_servers([REFUSING])
        program = self.start("s")
        hwnd = program.wait_window()
        wait_until(lambda: self.settings.server(0).status == harness.STATUS_REFUSED, 60)
        time.sleep(15)
        self.assertTrue(program.alive())
        self.assertEqual(self.ctl.find_window(harness.TITLE, harness.IDC_SERVER_LIST), hwnd)


class CorrectOnLaunch(QuorvelTestCase):
    servers = (GOOD,)
    schedule = 4

    def test_every_start_corrects_and_a_second_start_asks_for_a_run(self):
        server = self.timeserver(GOOD, skew_ms=500)
        self.settings.set_dword("CorrectOnLaunch", 1)
        program = self.start()
        program.wait_window()
        wait_until(lambda: server.count() == 3, 60)
        wait_until(lambda: program.button_caption() == "Synchronize Time")
        self.assertFalse(program.visible())

        second = self.start()
        self.assertEqual(second.wait_exit(), 0)
        wait_until(lambda: server.count() == 6, 60)
        self.assertFalse(program.visible())  # asked for a run, not shown
        # With an interval the program stays after a launch correction.
        time.sleep(12)
        self.assertTrue(program.alive())


if __name__ == "__main__":
    unittest.main()
