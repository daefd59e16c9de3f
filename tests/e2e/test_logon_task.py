"""The log-on task beside the Run value, made only for a program under Program Files,
and the tray command that copies the program there.

Wine keeps a registered task as a file under C:\\windows\\system32\\tasks but drops
its triggers, principal and actions, so these tests look at whether it exists; the
unit tests check what it holds. Wine reports every file as owned by the account the
program runs as, with full control for it and SYSTEM and read for Everyone: such a
file passes the permission rule here, so under Wine the place alone decides, unless
a file or folder is writable by anyone on the Linux side, which Wine reports as a
grant to Everyone (the unit tests check the rule on real Windows descriptors).
"""
import os
import shutil
import subprocess
import time
import unittest

from harness import (IDC_SERVER_LIST, IDM_INSTALL, IDM_QUIT, IDOK, REG_SZ, RUN_KEY, RUN_VALUE,
                     TITLE, UNINSTALL_KEY, WM_COMMAND, QuorvelTestCase, wait_until)

TASK_FILE = os.path.join(os.environ.get("WINEPREFIX", ""), "drive_c", "windows", "system32",
                         "tasks", "Quorvel")
INSTALLED = os.path.join(os.environ.get("WINEPREFIX", ""), "drive_c", "Program Files", "Quorvel",
                         "quorvel.exe")
# A drive Wine takes for a network one: a folder of the prefix as N:.
NETWORK_SHARE = os.path.join(os.environ.get("WINEPREFIX", ""), "share")


def setUpModule():
    # Wine reads its drives' types when it starts, so before anything runs.
    os.makedirs(NETWORK_SHARE, exist_ok=True)
    link = os.path.join(os.environ["WINEPREFIX"], "dosdevices", "n:")
    if not os.path.lexists(link):
        os.symlink(NETWORK_SHARE, link)
    subprocess.run(["wine", "reg", "add", "HKLM\\Software\\Wine\\Drives", "/v", "n:", "/d", "network",
                    "/f"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    subprocess.run(["wineserver", "-w"], check=True)


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

    def test_under_the_windows_folder_only_the_run_value(self):
        # Standard users may write to several folders under the Windows folder.
        exe = install("windows", "Quorvel")
        program = self.start(exe=exe)
        program.wait_window()
        wait_until(lambda: self.run_value() == '"%s" s' % exe)
        self.assertFalse(task_exists())

    def copy_window(self, first_pid):
        """The main window of an instance that the test did not start itself."""
        for w in self.ctl.windows():
            if w.title == TITLE and w.pid != first_pid and self.ctl.item(w.hwnd, IDC_SERVER_LIST):
                return w
        return None

    def stop_copy(self, window):
        if self.ctl.is_window(window.hwnd):
            self.ctl.post(window.hwnd, WM_COMMAND, IDM_QUIT, 0)
        self.ctl.wait_pid(window.pid, 20000)

    def test_install_copies_to_program_files_and_hands_over(self):
        exe = install("Quorvel")
        first = self.start(exe=exe)
        first.wait_window()
        wait_until(lambda: self.run_value() == '"%s" s' % exe)
        self.assertFalse(task_exists())

        first.command(IDM_INSTALL)
        copy = wait_until(lambda: self.copy_window(first.wine_pid), 60)
        self.addCleanup(self.stop_copy, copy)
        self.assertTrue(os.path.isfile(os.path.join(os.environ["WINEPREFIX"], "drive_c",
                                                    "Program Files", "Quorvel", "quorvel.exe")))
        self.assertEqual(first.wait_exit(60), 0)
        target = "C:\\Program Files\\Quorvel\\quorvel.exe"
        wait_until(lambda: self.run_value() == '"%s" s' % target)
        wait_until(task_exists)
        self.assertTrue(self.ctl.is_window(copy.hwnd))

    def test_install_copies_the_program_that_runs_not_a_file_put_under_its_name(self):
        exe = install("Quorvel")
        first = self.start(exe=exe)
        first.wait_window()
        # Code of the same user renames the running file, as Windows allows
        # for a running program, and puts another program under its name.
        folder = os.path.join(os.environ["WINEPREFIX"], "drive_c", "Quorvel")
        subprocess.run(["wine", "cmd", "/c", "move", exe, "C:\\Quorvel\\renamed.exe"],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
        if not os.path.exists(os.path.join(folder, "quorvel.exe")):
            shutil.copy(os.environ["QV_CTL"], os.path.join(folder, "quorvel.exe"))

        first.command(IDM_INSTALL)
        copy = wait_until(lambda: self.copy_window(first.wine_pid), 60)
        self.addCleanup(self.stop_copy, copy)
        with open(os.environ["QV_EXE"], "rb") as program:
            expected = program.read()
        with open(os.path.join(os.environ["WINEPREFIX"], "drive_c", "Program Files", "Quorvel",
                               "quorvel.exe"), "rb") as copied:
            self.assertTrue(copied.read() == expected, "the copy is not the program that ran")
        self.assertEqual(first.wait_exit(60), 0)

    def test_from_a_network_drive_nothing_is_copied(self):
        # The server could hand the copy other bytes than it gave the loader.
        shutil.copy(os.environ["QV_EXE"], os.path.join(NETWORK_SHARE, "quorvel.exe"))
        if os.path.exists(INSTALLED):
            os.remove(INSTALLED)  # from an earlier test
        program = self.start(exe="N:\\quorvel.exe")
        program.wait_window()
        program.command(IDM_INSTALL)
        # The hidden main window counts as a message box too: wait for the one that says why.
        box = wait_until(lambda: [h for h, _, text in self.ctl.msgboxes() if "network folder" in text])[0]
        self.assertFalse(os.path.exists(INSTALLED))
        program.press(box, IDOK)
        self.assertTrue(program.alive())

    def test_a_folder_others_may_change_gets_no_run_value_and_the_hint_says_why(self):
        exe = install("Quorvel")
        # Wine reports a folder anyone may write as one Everyone may change.
        folder = os.path.join(os.environ["WINEPREFIX"], "drive_c", "Quorvel")
        os.chmod(folder, 0o777)
        self.addCleanup(os.chmod, folder, 0o755)
        self.ctl.reg_set_sz(RUN_KEY, RUN_VALUE, '"%s" s' % exe)  # left from before

        def hint():
            return [tip for _, tip in self.ctl.tray_icons() if "Other users could change" in tip]
        program = self.start(exe=exe)
        program.wait_window()
        wait_until(hint, 20)
        self.assertIsNone(self.run_value())
        self.assertFalse(task_exists())

    def test_the_install_hint_waits_for_a_start_by_the_user(self):
        exe = install("Quorvel")

        def hint():
            return [tip for _, tip in self.ctl.tray_icons() if "Program Files" in tip]
        quiet = self.start("s", exe=exe)
        quiet.wait_window()
        wait_until(lambda: self.run_value() == '"%s" s' % exe)
        time.sleep(3)  # the start below shows its balloon well within this
        self.assertEqual(hint(), [])
        quiet.quit()
        self.assertEqual(quiet.wait_exit(), 0)
        user = self.start(exe=exe)
        user.wait_window()
        wait_until(hint, 20)

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
