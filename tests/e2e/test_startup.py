"""Start-up: the settings version, single instance, uninstall, exit codes."""
import unittest

from harness import (IDC_SERVER_LIST, IDCANCEL, IDOK, REG_DWORD, RUN_KEY, RUN_VALUE,
                     SETTINGS_KEY, TITLE, UNINSTALL_KEY, QuorvelTestCase, wait_until)

OTHER_VERSION_TEXT = ("Registry settings of other versions of Quorvel will be erased "
                      "if you run this version.")
UNINSTALL_TEXT = "Uninstall complete.  Now delete Quorvel files."


class Startup(QuorvelTestCase):

    def test_first_start_writes_the_version(self):
        # No "Version": the server table starts from the default list, which no
        # run may query here: the schedule stays at 0 and nothing asks for a run.
        self.settings.delete("Version")
        program = self.start()
        program.wait_window()
        wait_until(lambda: self.settings.get("Version") is not None)
        self.assertEqual(self.ctl.reg_get(SETTINGS_KEY, "Version"),
                         (REG_DWORD, (0x4000).to_bytes(4, "little")))
        self.assertFalse(program.visible())  # initialisation ends hidden
        program.quit()
        self.assertEqual(program.wait_exit(), 0)

    def test_other_version_cancel_changes_nothing(self):
        self.settings.set_dword("Version", 0x3000)
        self.settings.set_int64("Offset", 1234)
        before = {name: self.settings.get(name) for name in self.settings.names()}
        program = self.start()
        box = program.wait_msgbox()
        self.assertEqual(box.text, OTHER_VERSION_TEXT)
        program.press(box, IDCANCEL)
        self.assertEqual(program.wait_exit(), 0)
        self.assertEqual({name: self.settings.get(name) for name in self.settings.names()}, before)
        self.assertFalse(self.ctl.find_window(TITLE, IDC_SERVER_LIST))

    def test_second_start_shows_the_running_window(self):
        first = self.start()
        hwnd = first.wait_window()
        wait_until(lambda: not first.visible())
        second = self.start()
        self.assertEqual(second.wait_exit(), 0)
        wait_until(first.visible)
        self.assertTrue(first.alive())
        self.assertEqual(self.ctl.find_window(TITLE, IDC_SERVER_LIST), hwnd)
        # Arguments that are not the lower-case letters count as none.
        first.ctl.show(hwnd, 0)
        wait_until(lambda: not first.visible())
        third = self.start("-u")
        self.assertEqual(third.wait_exit(), 0)
        wait_until(first.visible)

    def test_uninstall_ends_the_running_instance_and_removes_every_entry(self):
        # With a schedule the log-on entry exists; no servers, so nothing is queried.
        self.settings.set_dword("Schedule", 4)
        running = self.start()
        running.wait_window()
        wait_until(lambda: self.ctl.reg_get(RUN_KEY, RUN_VALUE) is not None)
        self.assertTrue(self.ctl.reg_key_exists(UNINSTALL_KEY))

        remover = self.start("u")
        self.assertEqual(running.wait_exit(), 0)
        self.assert_uninstalled(remover)

    def test_uninstall_without_a_running_instance(self):
        self.ctl.reg_set_sz(RUN_KEY, RUN_VALUE, '"C:\\old\\quorvel.exe" s')
        self.assert_uninstalled(self.start("uninstall"))

    def assert_uninstalled(self, remover):
        """Every entry is gone while the completion box shows; OK ends with 0."""
        box = remover.wait_msgbox()
        self.assertEqual(box.text, UNINSTALL_TEXT)
        self.assertFalse(self.ctl.reg_key_exists(SETTINGS_KEY))
        self.assertFalse(self.ctl.reg_key_exists(UNINSTALL_KEY))
        self.assertIsNone(self.ctl.reg_get(RUN_KEY, RUN_VALUE))
        remover.press(box, IDOK)
        self.assertEqual(remover.wait_exit(), 0)


if __name__ == "__main__":
    unittest.main()
