"""Authenticated-time servers (names ending in ":4460") beside Time Protocol
servers under Wine, whose TLS has no TLS 1.3: the key exchange is tried, ends
as "No TLS 1.3", and the server is never used unauthenticated; the run still
ends and settles on the other servers.

The NTS server is a real chronyd serving NTS on loopback with a certificate
made here by openssl, as the native interop test does; a second ":4460" name
points at a bare TCP listener, which shows that the key exchange's connection
is made at all.
"""
import os
import shutil
import subprocess
import tempfile
import unittest

from harness import (IDC_SYNCHRONIZE, IDM_EDIT_SERVER, VK_RETURN, WM_KEYDOWN, STATUS_GOOD, STATUS_UNUSED,
                     QuorvelTestCase, end_process, unpack_history, wait_until)
from timeserver import TimeServer

STATUS_NO_TLS13 = 9
GOOD = (STATUS_GOOD, STATUS_UNUSED)
CHRONYD = shutil.which("chronyd") or "/usr/sbin/chronyd"


def authenticated_count(flags):
    return (flags >> 1) & 0x3F


def start_nts_chronyd(test, addr):
    """A chronyd serving NTP on addr:123 and its key exchange on addr:4460."""
    folder = tempfile.mkdtemp(prefix="qv-nts-")
    test.addCleanup(shutil.rmtree, folder, True)
    path = lambda name: os.path.join(folder, name)
    ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
    with open(path("server.ext"), "w") as f:
        f.write("subjectAltName=IP:%s\nextendedKeyUsage=serverAuth\nbasicConstraints=CA:FALSE\n" % addr)
    quiet = dict(stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    subprocess.run(["openssl", "req", "-x509"] + ec + ["-keyout", path("ca.key"), "-out", path("ca.crt"),
                    "-days", "2", "-subj", "/CN=quorvel-test-ca"], **quiet)
    subprocess.run(["openssl", "req"] + ec + ["-keyout", path("server.key"), "-out", path("server.csr"),
                    "-subj", "/CN=%s" % addr], **quiet)
    subprocess.run(["openssl", "x509", "-req", "-in", path("server.csr"), "-CA", path("ca.crt"),
                    "-CAkey", path("ca.key"), "-CAcreateserial", "-days", "2", "-extfile", path("server.ext"),
                    "-out", path("server.crt")], **quiet)
    os.mkdir(path("nts"), 0o700)
    with open(path("chrony.conf"), "w") as f:
        f.write("local stratum 1\nallow 127.0.0.0/8\nbindaddress %s\nport 123\nntsport 4460\ncmdport 0\n"
                "ntsprocesses 0\nntsserverkey %s\nntsservercert %s\nntsdumpdir %s\n"
                "driftfile %s\npidfile %s\n" % (addr, path("server.key"), path("server.crt"), path("nts"),
                                                path("drift"), path("chronyd.pid")))
    log = open(path("chronyd.log"), "w")
    # -x: never touches the clock; -d: in the foreground, so the pid is chronyd's own.
    process = subprocess.Popen([CHRONYD, "-x", "-d", "-u", "root", "-f", path("chrony.conf")],
                               stdout=subprocess.DEVNULL, stderr=log)

    def stop():
        end_process(process)
        log.close()
    test.addCleanup(stop)

    def listening():
        import socket
        with socket.socket() as s:
            s.settimeout(0.5)
            return s.connect_ex((addr, 4460)) == 0
    wait_until(listening, 20, 0.2, "chronyd did not open its key exchange")
    return process


@unittest.skipUnless(os.path.exists(CHRONYD) and shutil.which("openssl"), "no chronyd or openssl")
class NtsWithoutTls13(QuorvelTestCase):
    servers = ["127.0.0.81:4460", "127.0.0.82:4460", "127.0.0.83", "127.0.0.84"]

    def test_no_tls13_fails_closed_and_the_run_settles_on_the_others(self):
        skew = 300
        start_nts_chronyd(self, "127.0.0.81")
        listener = TimeServer("127.0.0.82", mode="silent", port=4460).start()
        self.addCleanup(listener.stop)
        self.timeserver("127.0.0.83", skew_ms=skew)
        self.timeserver("127.0.0.84", skew_ms=skew)
        program = self.start_ready()

        program.send_command(IDC_SYNCHRONIZE)
        self.wait_statuses({0: STATUS_NO_TLS13, 1: STATUS_NO_TLS13, 2: GOOD, 3: GOOD}, 60)
        wait_until(lambda: program.button_caption() == "Synchronize Time", 60)
        # The key exchange's connection was made before TLS gave up.
        self.assertGreaterEqual(listener.count(), 1)

        rows = {row.slot: row for row in program.rows()}
        for slot in (0, 1):
            self.assertEqual(rows[slot].latency, "No TLS 1.3", rows[slot])
            self.assertEqual(rows[slot].correction, "", rows[slot])
            self.assertEqual(self.settings.server(slot).correction, 0)
        for slot in (2, 3):
            self.assertNotIn("authenticated", rows[slot].correction, rows[slot])

        # Settled on the Time Protocol servers alone, none of them authenticated.
        applied = self.settings.int64("LastCorrectionValue")
        self.assertLessEqual(abs(applied - skew), 1000, applied)
        newest = unpack_history(self.settings.get("History"))[-1]
        self.assertEqual(newest.usable, 2, newest)
        self.assertEqual(authenticated_count(newest.flags), 0, newest)


class NtsNameEditor(QuorvelTestCase):
    servers = ["127.0.0.91"]

    def test_the_list_editor_takes_the_nts_suffix(self):
        program = self.start_ready()
        program.select_rows([0])
        program.send_command(IDM_EDIT_SERVER)
        editor = wait_until(program.editor, message="no label editor")
        self.ctl.set_text(editor, "time.example:4460")
        self.ctl.post(editor, WM_KEYDOWN, VK_RETURN, 0)
        wait_until(lambda: self.settings.server(0).name == "time.example:4460",
                   message="the NTS name was not stored")


if __name__ == "__main__":
    unittest.main()
