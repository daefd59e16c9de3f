"""NTP servers (names ending in ":123") beside Time Protocol servers: the bounds
of a mixed list, answers not to use, Kiss-o'-Death, and a real NTP server.

The skews stay under half a second, so Wine's SetSystemTime accepts the step
(and changes nothing); the checks read the records and "LastCorrectionValue".
"""
import os
import shutil
import subprocess
import tempfile
import unittest

from harness import (IDC_SYNCHRONIZE, IDM_EDIT_SERVER, VK_RETURN, WM_KEYDOWN, STATUS_GOOD, STATUS_NO_RESPONSE, STATUS_REFUSED,
                     STATUS_SLOW_RESPONSE, STATUS_UNUSED, QuorvelTestCase, end_process, wait_until)
from ntpserver import NtpServer

GOOD = (STATUS_GOOD, STATUS_UNUSED)
# Loopback round trips under Wine take a few ms; a record is whole ms.
NTP_BAND_MS = 4


class NtpTestCase(QuorvelTestCase):

    def ntpserver(self, addr, **options):
        server = NtpServer(addr, **options).start()
        self.addCleanup(server.stop)
        return server

    def correct(self, program, expected, timeout=60.0):
        program.send_command(IDC_SYNCHRONIZE)
        self.wait_statuses(expected, timeout)
        wait_until(lambda: program.button_caption() == "Synchronize Time", timeout)
        return {slot: self.settings.server(slot) for slot in expected}


class MixedList(NtpTestCase):
    # The looked-up NTP name gives only its host part to the lookup.
    servers = ["127.0.0.31:123", "alpha.test:123", "127.0.0.33", "127.0.0.34:37"]

    def test_ntp_and_time_protocol_servers_agree(self):
        skew = 250.4
        ntp = [self.ntpserver("127.0.0.31", skew_ms=skew), self.ntpserver("127.0.0.21", skew_ms=skew)]
        self.timeserver("127.0.0.33", skew_ms=int(skew))
        self.timeserver("127.0.0.34", skew_ms=int(skew))
        program = self.start_ready()
        records = self.correct(program, {slot: GOOD for slot in range(4)})
        for slot in (0, 1):
            self.assertEqual(records[slot].status, STATUS_GOOD, records[slot])
            self.assertLessEqual(abs(records[slot].correction - skew), NTP_BAND_MS, records[slot])
            requests = ntp[slot].requests()
            self.assertEqual(len(requests), 3, requests)
            gaps = [b.received_ms - a.received_ms for a, b in zip(requests, requests[1:])]
            self.assertTrue(all(gap >= 3990 for gap in gaps), gaps)
        self.assertEqual({records[2].status, records[3].status} - set(GOOD), set())
        applied = self.settings.int64("LastCorrectionValue")
        self.assertLessEqual(abs(applied - skew), 10, applied)


class UnusableAnswers(NtpTestCase):
    servers = ["127.0.0.41:123", "127.0.0.42:123", "127.0.0.43:123", "127.0.0.44:123",
               "127.0.0.45:123", "127.0.0.46:123"]

    def test_drops_rests_and_refusals(self):
        self.ntpserver("127.0.0.41", skew_ms=120.25)
        self.ntpserver("127.0.0.42", mode="silent")
        self.ntpserver("127.0.0.43", mode="unsync")
        self.ntpserver("127.0.0.44", mode="wrong_origin")
        deny = self.ntpserver("127.0.0.45", mode="kiss", kiss="DENY")
        rate = self.ntpserver("127.0.0.46", modes=["kiss", "answer"], kiss="RATE")
        program = self.start_ready()
        expected = {0: STATUS_GOOD, 1: STATUS_SLOW_RESPONSE, 2: STATUS_SLOW_RESPONSE,
                    3: STATUS_SLOW_RESPONSE, 4: STATUS_REFUSED, 5: STATUS_NO_RESPONSE}
        records = self.correct(program, expected, 90)
        self.assertLessEqual(abs(records[0].correction - 120.25), NTP_BAND_MS, records[0])
        self.assertEqual(self.settings.int64("LastCorrectionValue"), records[0].correction)
        self.assertEqual((len(deny.requests()), len(rate.requests())), (1, 1))

        # Within the minute: the denying server is never asked again, the
        # rate-limiting one not yet.
        self.correct(program, expected, 90)
        self.assertEqual((len(deny.requests()), len(rate.requests())), (1, 1))


class HeldTooLong(NtpTestCase):
    servers = ["127.0.0.71:123", "127.0.0.72:123", "127.0.0.73:123"]

    def test_a_hold_longer_than_the_round_trip_is_not_used(self):
        skew = 180.5
        self.ntpserver("127.0.0.71", skew_ms=skew)
        self.ntpserver("127.0.0.72", skew_ms=skew)
        self.ntpserver("127.0.0.73", mode="long_hold", skew_ms=skew)
        program = self.start_ready()
        records = self.correct(program, {0: GOOD, 1: GOOD, 2: STATUS_SLOW_RESPONSE}, 90)
        self.assertEqual((records[0].status, records[1].status), (STATUS_GOOD, STATUS_GOOD))
        applied = self.settings.int64("LastCorrectionValue")
        self.assertLessEqual(abs(applied - skew), NTP_BAND_MS, applied)


class NameEditor(NtpTestCase):
    servers = ["127.0.0.61"]

    def rename(self, program, text):
        program.select_rows([0])
        program.send_command(IDM_EDIT_SERVER)
        editor = wait_until(program.editor, message="no label editor")
        self.ctl.set_text(editor, text)
        self.ctl.post(editor, WM_KEYDOWN, VK_RETURN, 0)
        wait_until(lambda: not program.editor())

    def test_a_port_other_than_37_or_123_keeps_the_old_name(self):
        program = self.start_ready()
        self.rename(program, "127.0.0.61:80")
        self.assertEqual(self.settings.server(0).name, "127.0.0.61")
        self.assertEqual(program.rows()[0].name, "127.0.0.61")
        self.rename(program, "127.0.0.61:123")
        wait_until(lambda: self.settings.server(0).name == "127.0.0.61:123",
                   message="the NTP name was not stored")


@unittest.skipUnless(shutil.which("chronyd") or os.path.exists("/usr/sbin/chronyd"), "no chronyd")
class RealNtpServer(NtpTestCase):
    servers = ["127.0.0.51:123"]

    def start_chronyd(self, addr):
        folder = tempfile.mkdtemp(prefix="qv-chrony-")
        self.addCleanup(shutil.rmtree, folder, True)
        conf = os.path.join(folder, "chrony.conf")
        with open(conf, "w") as f:
            f.write("local stratum 1\nallow 127.0.0.0/8\nbindaddress %s\nport 123\ncmdport 0\n"
                    "driftfile %s/drift\npidfile %s/chronyd.pid\n" % (addr, folder, folder))
        chronyd = shutil.which("chronyd") or "/usr/sbin/chronyd"
        # -x: never touches the clock; -d: stays in the foreground, logging to stderr.
        process = subprocess.Popen([chronyd, "-x", "-d", "-u", "root", "-f", conf],
                                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)

        def stop():
            end_process(process)
            process.stderr.close()
        self.addCleanup(stop)
        return process

    def test_chronyd_answers_and_is_used(self):
        self.start_chronyd("127.0.0.51")
        program = self.start_ready()
        records = self.correct(program, {0: STATUS_GOOD}, 90)
        self.assertLessEqual(abs(records[0].correction), NTP_BAND_MS, records[0])
        self.assertLessEqual(abs(self.settings.int64("LastCorrectionValue")), NTP_BAND_MS)


if __name__ == "__main__":
    unittest.main()
