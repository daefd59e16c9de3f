"""The single instance cannot be faked by look-alike windows nor kept from
starting by a squatted name, and the system entries name a program path that
the ANSI code page cannot hold."""
import os
import shutil
import unittest

from harness import (IDC_SERVER_LIST, IDOK, REG_SZ, RUN_KEY, RUN_VALUE, TITLE, UNINSTALL_KEY,
                     QuorvelTestCase, wait_msgbox, press, wait_until)


class LookAlikes(QuorvelTestCase):

    def test_look_alike_windows_neither_stop_nor_hang_starts(self):
        # One look-alike handles its messages, one never does.
        fakes = [self.ctl.fake_window(TITLE, IDC_SERVER_LIST),
                 self.ctl.fake_window(TITLE, IDC_SERVER_LIST, hung=True)]
        first = self.start()
        hwnd = first.wait_window()
        self.assertNotIn(hwnd, fakes)
        wait_until(lambda: not first.visible())

        # A second start reaches the real instance, not a look-alike.
        second = self.start()
        self.assertEqual(second.wait_exit(), 0)
        wait_until(first.visible)

        # Uninstalling ends the real instance and does not hang on the hung one.
        remover = self.start("u")
        self.assertEqual(first.wait_exit(), 0)
        box = wait_msgbox(self.ctl)
        self.assertIsNone(self.ctl.reg_get(RUN_KEY, RUN_VALUE))
        press(self.ctl, box, IDOK)
        self.assertEqual(remover.wait_exit(), 0)


class SquattedName(QuorvelTestCase):

    def test_a_mutex_of_the_instance_name_made_first_does_not_stop_a_log_on_start(self):
        # Wine has no private namespace: the name is a session-local one.
        self.ctl.mutex("Local\\Quorvel.Instance.%d" % self.ctl.session())
        program = self.start("s")
        program.wait_window(60)
        tips = wait_until(lambda: [t for _, t in self.ctl.tray_icons() if "instance name" in t], 30)
        self.assertEqual(tips[0], "Another program holds Quorvel's instance name.")
        self.assertTrue(program.alive())


class WidePath(QuorvelTestCase):
    schedule = 4  # every hour: the Run value is written; no servers, nothing is asked

    def test_entries_name_a_folder_outside_the_code_page(self):
        folder = os.path.join(os.environ["WINEPREFIX"], "drive_c", "Загрузки")
        os.makedirs(folder)
        shutil.copy(os.environ["QV_EXE"], folder)
        program = self.start(exe="C:\\Загрузки\\quorvel.exe")
        program.wait_window()
        wait_until(lambda: self.ctl.reg_get_wide(RUN_KEY, RUN_VALUE))
        self.assertEqual(self.ctl.reg_get_wide(RUN_KEY, RUN_VALUE),
                         (REG_SZ, '"C:\\Загрузки\\quorvel.exe" s'))
        self.assertEqual(self.ctl.reg_get_wide(UNINSTALL_KEY, "UninstallString"),
                         (REG_SZ, '"C:\\Загрузки\\quorvel.exe" u'))


if __name__ == "__main__":
    unittest.main()
