"""The end-to-end infrastructure itself: qvctl against the registry and another
program's list view, the time servers against a plain socket client, and one
start and quit of quorvel.exe."""
import os
import socket
import struct
import subprocess
import unittest

from harness import (Ctl, QuorvelTestCase, Settings, ServerRecord, pack_server, unpack_server,
                     wait_until, REG_BINARY, REG_DWORD, REG_SZ, IDOK, IDCANCEL, IDM_QUIT,
                     SETTINGS_KEY, SETTINGS_VERSION, TITLE, WM_CLOSE, RUN_KEY, UNINSTALL_KEY)
from timeserver import TimeServer, read_time, now_ms1900, EPOCH_1900_TO_1970_S

SCRATCH = "SOFTWARE\\QvHarness"


class ServerRecordImage(unittest.TestCase):
    def test_packs_fields_little_endian_at_their_offsets(self):
        image = pack_server("ab", enabled=1, status=102, latency=0x01020304, correction=-2)
        self.assertEqual(len(image), 152)
        self.assertEqual(image[:3], b"ab\0")
        self.assertEqual(image[3:128], bytes(125))
        self.assertEqual(image[128:132], b"\x01\0\0\0")
        self.assertEqual(image[132:136], b"\x66\0\0\0")
        self.assertEqual(image[136:140], b"\x04\x03\x02\x01")
        self.assertEqual(image[140:144], bytes(4))
        self.assertEqual(image[144:152], b"\xfe" + b"\xff" * 7)

    def test_unpack_ignores_bytes_after_the_terminator(self):
        image = bytearray(pack_server("127.0.0.5", status=-1, correction=1 << 40))
        image[10:20] = b"leftover!!"
        self.assertEqual(unpack_server(bytes(image)),
                         ServerRecord("127.0.0.5", 1, -1, 0, 1 << 40))

    def test_rejects_names_that_do_not_fit(self):
        self.assertEqual(len(pack_server("x" * 127)), 152)
        with self.assertRaises(ValueError):
            pack_server("x" * 128)


class Registry(QuorvelTestCase):
    def setUp(self):
        super().setUp()
        self.addCleanup(self.ctl.reg_delete_key, SCRATCH)

    def test_base_case_seeds_a_known_settings_key(self):
        self.assertEqual(sorted(self.settings.names()), ["Schedule", "Version"])
        self.assertEqual(self.settings.dword("Version"), SETTINGS_VERSION)
        self.assertEqual(self.settings.type("Schedule"), REG_DWORD)
        self.assertEqual(self.settings.dword("Schedule"), 0)
        self.assertFalse(self.ctl.reg_key_exists(UNINSTALL_KEY))
        self.assertIsNone(self.ctl.reg_get(RUN_KEY, "Quorvel"))

    def test_values_round_trip_with_their_types(self):
        self.ctl.reg_set_dword(SCRATCH, "Neg", -2)
        self.ctl.reg_set_binary(SCRATCH, "Bin", b"\x00\x01\xfe\xff")
        self.ctl.reg_set_binary(SCRATCH, "Empty", b"")
        text = 'C:\\a b\\"q".exe s\x01\xe9'
        self.ctl.reg_set_sz(SCRATCH, "Text", text)
        self.assertEqual(self.ctl.reg_get(SCRATCH, "Neg"), (REG_DWORD, b"\xfe\xff\xff\xff"))
        self.assertEqual(self.ctl.reg_get(SCRATCH, "Bin"), (REG_BINARY, b"\x00\x01\xfe\xff"))
        self.assertEqual(self.ctl.reg_get(SCRATCH, "Empty"), (REG_BINARY, b""))
        self.assertEqual(self.ctl.reg_get(SCRATCH, "Text"),
                         (REG_SZ, text.encode("latin-1") + b"\0"))
        self.assertEqual(sorted(self.ctl.reg_values(SCRATCH)), ["Bin", "Empty", "Neg", "Text"])

    def test_missing_values_and_keys_read_as_none(self):
        self.assertIsNone(self.ctl.reg_get(SCRATCH, "Nothing"))
        self.assertIsNone(self.ctl.reg_get(SCRATCH + "\\Deeper", "Nothing"))
        self.assertIsNone(self.ctl.reg_values(SCRATCH + "\\Deeper"))

    def test_deleting_values_and_whole_keys(self):
        self.ctl.reg_set_dword(SCRATCH, "A", 1)
        self.ctl.reg_set_dword(SCRATCH + "\\Sub", "B", 2)
        self.assertTrue(self.ctl.reg_delete_value(SCRATCH, "A"))
        self.assertFalse(self.ctl.reg_delete_value(SCRATCH, "A"))
        self.assertIsNone(self.ctl.reg_get(SCRATCH, "A"))
        self.assertTrue(self.ctl.reg_delete_key(SCRATCH))
        self.assertFalse(self.ctl.reg_key_exists(SCRATCH))
        self.assertFalse(self.ctl.reg_key_exists(SCRATCH + "\\Sub"))
        self.assertFalse(self.ctl.reg_delete_key(SCRATCH))

    def test_settings_helpers_use_the_program_byte_images(self):
        self.settings.set_int64("Offset", -1500)
        self.assertEqual(self.settings.type("Offset"), REG_BINARY)
        self.assertEqual(self.settings.get("Offset"), struct.pack("<q", -1500))
        self.assertEqual(self.settings.int64("Offset"), -1500)
        self.settings.set_dword("Schedule", -1)
        self.assertEqual(self.settings.dword("Schedule", signed=True), -1)

    def test_seeding_servers_frees_the_slots_beyond_the_list(self):
        self.settings.seed_servers(["127.0.0.%d" % i for i in range(1, 6)])
        good = ServerRecord("alpha.test", 0, 102, 12, -1234)
        self.settings.seed_servers(["127.0.0.9", good])
        self.assertEqual(self.settings.servers(),
                         {0: ServerRecord("127.0.0.9", 1, 0, 0, 0), 1: good})
        self.assertEqual(self.settings.type("Server001"), REG_BINARY)
        self.assertEqual(self.settings.dword("Version"), SETTINGS_VERSION)


class ListView(unittest.TestCase):
    """Reads Wine's registry editor, whose value list is a list view with item texts
    kept by the program: what lv-rows sees there it sees in any list view."""

    def setUp(self):
        self.ctl = Ctl()
        self.addCleanup(self.ctl.close)
        self.addCleanup(self.ctl.reg_delete_key, SCRATCH)
        self.ctl.reg_set_sz(SCRATCH, "Alpha", "one two")
        self.ctl.reg_set_dword(SCRATCH, "Beta", 7)
        # The editor opens at the key it showed last.
        self.ctl.reg_set_sz("HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Applets\\Regedit",
                            "LastKey", "HKEY_LOCAL_MACHINE\\" + SCRATCH)
        self.editor = subprocess.Popen(["wine", "regedit"])
        self.addCleanup(self._close_editor)
        top = wait_until(lambda: self.ctl.find_window("Registry Editor"))
        self.lists = wait_until(lambda: [c.hwnd for c in self.ctl.children(top)
                                         if c.cls == "SysListView32"])

    def _close_editor(self):
        top = self.ctl.find_window("Registry Editor")
        if top:
            self.ctl.post(top, WM_CLOSE)
        try:
            self.editor.wait(20)
        except subprocess.TimeoutExpired:
            self.editor.kill()
            self.editor.wait()

    def rows(self):
        return self.ctl.lv_rows(self.lists[0], 0)

    def test_reads_every_row_and_column(self):
        rows = wait_until(lambda: len(self.rows()) == 3 and self.rows())
        self.assertEqual([(r.name, r.latency, r.correction) for r in rows[1:]],
                         [("Alpha", "REG_SZ", "one two"), ("Beta", "REG_DWORD", "0x00000007 (7)")])
        self.assertEqual(self.ctl.lv_count(self.lists[0], 0), 3)
        self.assertEqual([c.text for c in self.ctl.lv_columns(self.lists[0], 0)],
                         ["Name", "Type", "Data"])

    def test_selects_rows_and_reports_selection_and_focus(self):
        wait_until(lambda: len(self.rows()) == 3)
        self.ctl.lv_select(self.lists[0], 0, [2, 1])
        self.assertEqual([(r.selected, r.focused) for r in self.rows()],
                         [(False, False), (True, False), (True, True)])
        self.ctl.lv_select(self.lists[0], 0, [])
        self.assertFalse(any(r.selected for r in self.rows()))


class TimeServers(unittest.TestCase):
    def serve(self, addr, **options):
        server = TimeServer(addr, **options).start()
        self.addCleanup(server.stop)
        return server

    def test_answers_with_the_skewed_time_in_whole_seconds(self):
        server = self.serve("127.0.0.31", skew_ms=-86_400_000)
        data = read_time("127.0.0.31")
        [conn] = server.connections()
        self.assertEqual(data, struct.pack(">I", conn.value))
        # The value was taken between the accept and the send.
        self.assertGreater(conn.value * 1000, conn.accepted_ms - 86_400_000 - 1000)
        self.assertLessEqual(conn.value * 1000, conn.sent_ms - 86_400_000)
        self.assertEqual(conn.peer[0], "127.0.0.1")

    def test_delayed_and_trickled_answers_arrive_whole(self):
        delayed = self.serve("127.0.0.32", mode="delay", delay_ms=300)
        trickle = self.serve("127.0.0.33", mode="trickle", pause_ms=20)
        self.assertEqual(len(read_time("127.0.0.32")), 4)
        self.assertEqual(read_time("127.0.0.33"), struct.pack(">I", trickle.connections()[0].value))
        self.assertEqual(delayed.count(), 1)

    def test_misbehaving_servers(self):
        self.serve("127.0.0.34", mode="short", short_bytes=3)
        self.serve("127.0.0.35", mode="long", extra=b"\x01\x02")
        self.serve("127.0.0.36", mode="close")
        self.serve("127.0.0.37", value=0xFFFFFFFF)
        self.assertEqual(len(read_time("127.0.0.34")), 3)
        self.assertEqual(read_time("127.0.0.35")[4:], b"\x01\x02")
        self.assertEqual(read_time("127.0.0.36"), b"")
        self.assertEqual(read_time("127.0.0.37"), b"\xff\xff\xff\xff")
        with self.assertRaises(ConnectionRefusedError):
            read_time("127.0.0.38")

    def test_silent_server_holds_the_connection_until_stopped(self):
        server = self.serve("127.0.0.39", mode="silent")
        with socket.create_connection(("127.0.0.39", 37), timeout=0.5) as sock:
            with self.assertRaises(socket.timeout):
                sock.recv(4)
            server.stop()
            sock.settimeout(10)
            self.assertEqual(sock.recv(4), b"")
        self.assertIsNotNone(server.connections()[0].closed_ms)
        # The address is free again at once.
        self.serve("127.0.0.39")
        self.assertEqual(len(read_time("127.0.0.39")), 4)

    def test_modes_per_connection_repeat_the_last(self):
        server = self.serve("127.0.0.40", modes=["answer", "close"])
        self.assertEqual([len(read_time("127.0.0.40")) for _ in range(3)], [4, 0, 0])
        self.assertEqual([c.mode for c in server.connections()], ["answer", "close", "close"])
        self.assertIsNone(server.connections()[1].value)

    def test_clock_and_epoch(self):
        value = struct.unpack(">I", read_time_from(self.serve("127.0.0.41")))[0]
        self.assertLess(abs(value - (now_ms1900() // 1000)), 3600)
        self.assertEqual(EPOCH_1900_TO_1970_S, 2208988800)


def read_time_from(server):
    return read_time(server.addr, server.port)


class Program(QuorvelTestCase):
    servers = ["127.0.0.21"]

    def test_starts_hidden_with_its_title_and_quits_on_command_116(self):
        program = self.start()
        hwnd = program.wait_window()
        self.assertEqual(self.ctl.text(hwnd), TITLE)
        self.assertEqual(self.ctl.class_name(hwnd), "#32770")
        # wait_window returns after the initialisation: labelled, listed and hidden.
        self.assertEqual(program.schedule_text(), "No Scheduled Interval")
        self.assertEqual([r.name for r in program.rows()], ["127.0.0.21"])
        self.assertFalse(program.visible())
        # Wine shows the tray icon as a window of its own; its tip is readable.
        [(_, tip)] = wait_until(self.ctl.tray_icons)
        self.assertEqual(tip, program.status_text())
        program.send_command(IDM_QUIT)
        self.assertEqual(program.wait_exit(), 0)
        self.assertFalse(self.ctl.is_window(hwnd))
        wait_until(lambda: self.ctl.tray_icons() == [])

    def test_message_box_of_another_settings_version(self):
        self.settings.set_dword("Version", 0x3000)
        program = self.start()
        box = program.wait_msgbox(TITLE)
        self.assertEqual(box.text, "Registry settings of other versions of Quorvel "
                                   "will be erased if you run this version.")
        program.press(box, IDCANCEL)
        self.assertEqual(program.wait_exit(), 0)
        self.assertEqual(self.settings.dword("Version"), 0x3000)
        self.assertEqual(self.settings.server(0).name, "127.0.0.21")

    def test_stop_ends_only_the_program_it_started(self):
        first = self.start()
        hwnd = first.wait_window()
        second = self.start()
        self.assertEqual(second.wait_exit(), 0)
        with self.assertRaises(AssertionError):
            second.wait_window(timeout=1)
        self.assertTrue(first.alive())
        self.assertEqual(second.stop(), 0)
        self.assertTrue(self.ctl.is_window(hwnd))
        self.assertEqual(first.stop(), 0)


if __name__ == "__main__":
    unittest.main()
