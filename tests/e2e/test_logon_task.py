"""The log-on task beside the Run value, made only for a program under Program Files.

Wine keeps a registered task as a file under C:\\windows\\system32\\tasks but drops
its triggers, principal and actions, so these tests look at whether it exists; the
unit tests check what it holds.
"""
import os
import shutil
import unittest

from harness import (IDOK, REG_SZ, RUN_KEY, RUN_VALUE, UNINSTALL_KEY, QuorvelTestCase,
                     wait_until)

TASK_FILE = os.path.join(os.environ.get("WINEPREFIX", ""), "drive_c", "windows", "system32",
                         "tasks", "Quorvel")


def install(*folders):
    """Copy quorvel.exe to C:\\<folders>\\quorvel.exe in the prefix; its Windows path."""
    target = os.path.join(os.environ["WINEPREFIX"], "drive_c", *folders)
    os.makedirs(target, exist_ok=True)
    shutil.copy(os.environ["QV_EXE"], os.path.join(target, "quorvel.exe"))
    return "C:\\" + "\\".join(folders + ("quorvel.exe",))


def task_exists():
    return os.path.exists(TASK_FILE)


class LogonTask(QuorvelTestCase):
    """Schedule "Hourly" and no servers: nothing falls due that would ask anyone."""

    schedule = 4

    def setUp(self):
        super().setUp()
        if task_exists():
            os.remove(TASK_FILE)

    def run_value(self):
        value = self.ctl.reg_get(RUN_KEY, RUN_VALUE)
        if value is None:
            return None
        self.assertEqual(value[0], REG_SZ)
        return value[1].rstrip(b"\0").decode()

    def test_under_program_files_the_task_follows_the_run_value(self):
        exe = install("Program Files", "Quorvel")
        program = self.start(exe=exe)
        program.wait_window()
        wait_until(task_exists)
        self.assertEqual(self.run_value(), '"%s" s' % exe)

        program.set_schedule(0)
        wait_until(lambda: not task_exists())
        wait_until(lambda: self.run_value() is None)
        self.assertTrue(self.ctl.reg_key_exists(UNINSTALL_KEY))

        program.set_schedule(4)
        wait_until(task_exists)

        remover = self.start("u", exe=exe)
        self.assertEqual(program.wait_exit(), 0)
        box = remover.wait_msgbox()
        self.assertFalse(task_exists())
        remover.press(box, IDOK)
        self.assertEqual(remover.wait_exit(), 0)

    def test_elsewhere_only_the_run_value_and_an_old_task_goes(self):
        # The program was moved out of Program Files: its task must not stay.
        before = self.start(exe=install("Program Files", "Quorvel"))
        before.wait_window()
        wait_until(task_exists)
        before.quit()
        self.assertEqual(before.wait_exit(), 0)

        exe = install("Quorvel")
        program = self.start(exe=exe)
        program.wait_window()
        wait_until(lambda: self.run_value() == '"%s" s' % exe)
        wait_until(lambda: not task_exists())

    def test_a_second_log_on_start_leaves_the_running_window_alone(self):
        # With UAC off both the Run value and the task start the program.
        exe = install("Quorvel")
        first = self.start("s", exe=exe)
        hwnd = first.wait_window()
        wait_until(lambda: not first.visible())
        second = self.start("s", exe=exe)
        self.assertEqual(second.wait_exit(), 0)
        self.assertFalse(first.visible())
        self.assertTrue(first.alive())
        self.assertEqual(first.window(), hwnd)


if __name__ == "__main__":
    unittest.main()
