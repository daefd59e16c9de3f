"""The main window: hidden start, "Open", status line and clock, placement,
user offset, tray icon and menu, and the ways the window ends the program.

The list is empty and the schedule 0 unless a test says otherwise; the one
server a test asks is its own, on 127.0.0.41.
"""
import re
import struct
import time
import unittest

from harness import (IDC_MINIMIZE, IDC_OFFSET_EDIT, IDC_SYNCHRONIZE, IDM_OPEN, IDM_TEST_SERVER,
                     REG_BINARY, WM_ENDSESSION, WM_LBUTTONDBLCLK, WM_RBUTTONDOWN,
                     WM_TRAY_CALLBACK, QuorvelTestCase, wait_until)

WM_NULL, WM_CLOSE = 0x0000, 0x0010
WM_KEYDOWN = 0x0100
VK_DOWN, VK_RETURN = 0x28, 0x0D
EN_KILLFOCUS = 0x0200
EPOCH_1900_TO_1970_S = 2208988800
CLOCK_TEXT = re.compile(r"^(1[0-2]|[1-9]):[0-5]\d:[0-5]\d[ap]m on (1[0-2]|[1-9])/([1-3]\d|[1-9])/\d\d $")
PLACEMENT = struct.Struct("<11i")
FAILURE_TIP = "Unsuccessful correction!  Double-click for details..."


def local_time_text(unix_seconds):
    """The program's local-time text: "h:mm:ssam on m/d/yy " with its final blank."""
    t = time.localtime(unix_seconds)
    return "%d:%02d:%02d%s on %d/%d/%02d " % (t.tm_hour % 12 or 12, t.tm_min, t.tm_sec,
                                              "am" if t.tm_hour < 12 else "pm",
                                              t.tm_mon, t.tm_mday, t.tm_year % 100)


def millis1900(unix_seconds):
    return (unix_seconds + EPOCH_1900_TO_1970_S) * 1000


class Placement:
    def __init__(self, data):
        assert len(data) == 44, len(data)
        (self.length, self.flags, self.show, _, _, _, _,
         self.left, self.top, self.right, self.bottom) = PLACEMENT.unpack(data)
        self.width = self.right - self.left
        self.height = self.bottom - self.top


def placement_image(left, top, right, bottom, flags=0, show=1):
    return PLACEMENT.pack(44, flags, show, -1, -1, -1, -1, left, top, right, bottom)


def wait_initialised(test, program, seeded_placement=None):
    """The window's handle once its initialisation is over. Its last steps move the
    window into place, which stores "WindowPlacement" (the value appears, or
    changes from what the test seeded), and then hide it. A message sent after
    that is answered once the program is back in its message loop."""
    hwnd = program.wait_window()
    wait_until(lambda: test.settings.get("WindowPlacement") not in (None, seeded_placement),
               message="the initialisation did not place the window")
    test.ctl.send(hwnd, WM_NULL)
    test.assertFalse(program.visible(), "the initialisation did not end hidden")
    return hwnd


class Opening(QuorvelTestCase):

    def started_hidden(self):
        program = self.start()
        wait_initialised(self, program)
        return program

    def test_controls_in_tab_order(self):
        program = self.started_hidden()
        program.open()
        wait_until(program.visible)
        controls = [(c.id, c.cls.lower(), c.visible) for c in self.ctl.children(program.window())
                    if c.cls != "SysHeader32"]
        self.assertEqual(controls, [
            (1, "button", True), (2, "button", True), (108, "msctls_trackbar32", True),
            (1001, "edit", False), (1003, "static", True), (1004, "static", True),
            (1005, "syslistview32", True), (1006, "static", True),
            (-1, "button", True), (-1, "button", False),
            (3, "button", True), (4, "button", True)])
        texts = {c.id: c.text for c in self.ctl.children(program.window())
                 if c.cls.lower() == "button"}
        self.assertEqual(texts[1], "Synchronize Time")
        self.assertEqual(texts[2], "Minimize")
        self.assertEqual(texts[3], "Restore Server List")
        self.assertEqual(texts[4], "Add Server")
        groups = [c.text for c in self.ctl.children(program.window()) if c.id == -1]
        self.assertEqual(groups, ["Connecting interval", "Time Offset"])
        self.assertEqual(self.ctl.text(program.window()), "Quorvel - Atomic Clock Synchronizer - v4.0")
        self.assertEqual(self.ctl.tb_get(program.window(), 108), 0)

    def test_open_shows_the_last_correction_and_a_live_clock(self):
        corrected_at = 1796569445  # 2026-12-06 15:04:05 UTC
        self.settings.set_int64("LastCorrectionTime", millis1900(corrected_at))
        self.settings.set_int64("LastCorrectionValue", 1234)
        program = self.started_hidden()
        expected = "Corrected +1.2s at " + local_time_text(corrected_at)
        # Already written while hidden, and the tray tip says the same.
        self.assertEqual(program.status_text(), expected)
        self.assertEqual([tip for _, tip in self.ctl.tray_icons()], [expected])

        program.open()
        wait_until(program.visible)
        self.assertEqual(program.status_text(), expected)
        # Shown, the clock follows the second: its text appears and moves on
        # well within the hidden refresh interval of 10 s.
        def clock_text():
            text = program.clock_text()
            return text if CLOCK_TEXT.match(text) else None
        first = wait_until(clock_text, timeout=5, message="no clock text while shown")
        now = time.time()
        self.assertIn(first, {local_time_text(now + d) for d in (-2, -1, 0, 1)})
        wait_until(lambda: program.clock_text() != first, timeout=5,
                   message="the clock text did not move on while shown")

    def test_never_corrected_leaves_status_line_and_tip_empty(self):
        program = self.started_hidden()
        self.assertEqual(program.status_text(), "")
        self.assertEqual([tip for _, tip in self.ctl.tray_icons()], [""])
        program.open()
        wait_until(program.visible)
        self.assertEqual(program.status_text(), "")

    def test_negative_correction(self):
        corrected_at = 1780000000
        self.settings.set_int64("LastCorrectionTime", millis1900(corrected_at))
        self.settings.set_int64("LastCorrectionValue", -150000)
        program = self.started_hidden()
        self.assertEqual(program.status_text(), "Corrected -2.50m at " + local_time_text(corrected_at))

    def test_tray_double_click_opens_and_the_menu_opens_the_window(self):
        program = self.started_hidden()
        hwnd = program.window()
        self.ctl.post(hwnd, WM_TRAY_CALLBACK, 0, WM_LBUTTONDBLCLK)
        wait_until(program.visible)
        self.ctl.show(hwnd, 0)
        wait_until(lambda: not program.visible())

        # A press on the icon tracks the tray menu; a second press while it is
        # open must not stack another one.
        self.ctl.post(hwnd, WM_TRAY_CALLBACK, 0, WM_RBUTTONDOWN)
        menu = wait_until(lambda: self.menu_windows(), timeout=10, message="no tray menu")[0]
        self.ctl.post(hwnd, WM_TRAY_CALLBACK, 0, WM_RBUTTONDOWN)
        time.sleep(0.5)
        self.assertEqual(len(self.menu_windows()), 1)
        # Down to the first item, "Open", and choose it.
        self.ctl.post(menu, WM_KEYDOWN, VK_DOWN, 0)
        self.ctl.post(menu, WM_KEYDOWN, VK_RETURN, 0)
        wait_until(program.visible, message="choosing Open did not show the window")
        wait_until(lambda: not self.menu_windows(), message="the tray menu stayed open")
        self.assertTrue(program.alive())

    def menu_windows(self):
        return [w.hwnd for w in self.ctl.windows() if w.cls == "#32768" and w.visible]


class RunStatus(QuorvelTestCase):
    # One server that answers each sample 3 s late, so a run lasts long enough to look at.
    servers = ["127.0.0.41"]

    def tray_tips(self):
        return [tip for _, tip in self.ctl.tray_icons()]

    def test_busy_failed_and_open_again(self):
        self.timeserver("127.0.0.41", mode="delay", delay_ms=3000)
        corrected_at = 1796569445
        self.settings.set_int64("LastCorrectionTime", millis1900(corrected_at))
        self.settings.set_int64("LastCorrectionValue", -1234)
        last = "Corrected -1.2s at " + local_time_text(corrected_at)
        program = self.start()
        hwnd = wait_initialised(self, program)
        wait_until(lambda: len(program.rows()) == 1)

        # A correcting run: the status line and the tip say so until it ends.
        program.send_command(IDC_SYNCHRONIZE)
        wait_until(lambda: program.status_text() == "Checking time servers...", timeout=10)
        self.assertEqual(self.tray_tips(), ["Checking time servers..."])
        # Stopped before any answer: no server to correct from, so it failed.
        # The status line keeps the last correction; the tip tells of the failure.
        program.send_command(IDC_SYNCHRONIZE)
        wait_until(lambda: self.tray_tips() == [FAILURE_TIP], timeout=10)
        self.assertEqual(program.status_text(), last)

        # A double click on the icon opens the window and clears the failure.
        self.ctl.post(hwnd, WM_TRAY_CALLBACK, 0, WM_LBUTTONDBLCLK)
        wait_until(program.visible)
        wait_until(lambda: self.tray_tips() == [last])
        self.assertEqual(program.status_text(), last)

        # A test run says so too, and ends without a failure.
        program.select_rows([0])
        program.send_command(IDM_TEST_SERVER)
        wait_until(lambda: program.status_text() == "Testing time servers...", timeout=10)
        self.assertEqual(self.tray_tips(), ["Testing time servers..."])
        program.send_command(IDC_SYNCHRONIZE)
        wait_until(lambda: program.status_text() == last, timeout=10)
        self.assertEqual(self.tray_tips(), [last])


class Offset(QuorvelTestCase):

    def test_stored_offset_is_shown_and_an_edit_is_stored(self):
        self.settings.set_int64("Offset", 2000)
        program = self.start()
        hwnd = wait_initialised(self, program)
        self.assertEqual(program.item_text(IDC_OFFSET_EDIT), "+2.0s")
        # The box is hidden, but its handler works all the same.
        box = self.ctl.item(hwnd, IDC_OFFSET_EDIT)
        self.assertFalse(self.ctl.visible(box))
        self.ctl.set_text(box, "-1.5")
        self.ctl.send(hwnd, 0x0111, (EN_KILLFOCUS << 16) | IDC_OFFSET_EDIT, box)
        self.assertEqual(self.settings.get("Offset"), struct.pack("<q", -1500))
        self.assertEqual(self.ctl.reg_get("SOFTWARE\\Quorvel", "Offset")[0], REG_BINARY)
        self.assertEqual(program.item_text(IDC_OFFSET_EDIT), "-1.5s")


class PlacementTests(QuorvelTestCase):

    def placement_after_start(self):
        seeded = self.settings.get("WindowPlacement")
        program = self.start()
        hwnd = wait_initialised(self, program, seeded)
        placement = Placement(self.ctl.placement(hwnd))
        program.quit()
        self.assertEqual(program.wait_exit(), 0)
        return placement

    def test_first_start_centres_and_an_off_screen_placement_is_replaced(self):
        centred = self.placement_after_start()
        # The dialog starts at the origin and is moved by half the free space.
        self.assertGreater(centred.left, 100)
        self.assertGreater(centred.top, 50)
        self.assertLessEqual(abs(centred.left * 2 + centred.width - 1280), 1)
        # And that is what was stored, by the move itself.
        self.assertEqual(Placement(self.settings.get("WindowPlacement")).left, centred.left)

        for stored in (placement_image(5000, 100, 5400, 500),   # beyond the right edge
                       placement_image(-900, 100, 19, 500),     # ends left of the screen
                       placement_image(100, 100, 500, 19),      # ends above the screen
                       placement_image(100, 100, 500, 500)[:40]):  # too short
            self.settings.set_binary("WindowPlacement", stored)
            again = self.placement_after_start()
            self.assertEqual((again.left, again.top, again.right, again.bottom),
                             (centred.left, centred.top, centred.right, centred.bottom))

    def test_valid_placement_keeps_its_position_with_the_dialog_size(self):
        centred = self.placement_after_start()
        self.settings.set_binary("WindowPlacement", placement_image(100, 150, 130, 170))
        kept = self.placement_after_start()
        self.assertEqual((kept.left, kept.top), (100, 150))
        self.assertEqual((kept.width, kept.height), (centred.width, centred.height))

    def test_every_move_stores_the_placement(self):
        program = self.start()
        hwnd = wait_initialised(self, program)
        program.open()
        wait_until(program.visible)
        self.ctl.move(hwnd, 210, 130)
        stored = wait_until(lambda: self.moved_to(210, 130), message="the move was not stored")
        self.assertEqual(self.ctl.reg_get("SOFTWARE\\Quorvel", "WindowPlacement")[0], REG_BINARY)
        self.assertEqual(stored.length, 44)
        # Hidden, a move is stored too.
        self.ctl.show(hwnd, 0)
        wait_until(lambda: not program.visible())
        self.ctl.move(hwnd, 300, 200)
        wait_until(lambda: self.moved_to(300, 200), message="the hidden move was not stored")

    def moved_to(self, left, top):
        data = self.settings.get("WindowPlacement")
        if data is None or len(data) != 44:
            return None
        placement = Placement(data)
        return placement if (placement.left, placement.top) == (left, top) else None


class Ending(QuorvelTestCase):

    def test_minimize_without_a_schedule_ends_the_program(self):
        program = self.start()
        wait_initialised(self, program)
        program.open()
        wait_until(program.visible)
        program.minimize()
        self.assertEqual(program.wait_exit(), 0)
        self.assertEqual(self.ctl.tray_icons(), [])

    def test_close_box_without_a_schedule_ends_the_program(self):
        program = self.start()
        hwnd = wait_initialised(self, program)
        self.ctl.post(hwnd, WM_CLOSE, 0, 0)
        self.assertEqual(program.wait_exit(), 0)

    def test_quit_ends_the_program(self):
        program = self.start()
        wait_initialised(self, program)
        program.quit()
        self.assertEqual(program.wait_exit(), 0)

    def test_end_of_session_ends_the_program_even_when_cancelled(self):
        program = self.start()
        hwnd = wait_initialised(self, program)
        self.ctl.post(hwnd, WM_ENDSESSION, 0, 0)
        self.assertEqual(program.wait_exit(), 0)


class EndingWithSchedule(QuorvelTestCase):
    schedule = 4  # hourly; still no server to ask

    def test_minimize_with_an_interval_only_hides(self):
        program = self.start()
        wait_initialised(self, program)
        program.send_command(IDM_OPEN)
        wait_until(program.visible)
        program.send_command(IDC_MINIMIZE)
        self.assertFalse(program.visible())
        self.assertTrue(program.alive())
        self.assertEqual(len(self.ctl.tray_icons()), 1)
        program.quit()
        self.assertEqual(program.wait_exit(), 0)


if __name__ == "__main__":
    unittest.main()
