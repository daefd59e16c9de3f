"""A full server list in one run, and many runs in one process.

The first test can only pass when the program asks all 50 servers side by side:
each server holds its first answer until every server has a connection open, so
a program that asked them one after another would wait for an answer that never
comes. The second one repeats runs against servers that fail in every prompt way
and looks for descriptors the Wine process keeps from one run to the next.
Neither looks at a clock: how fast runs are is measured by bench/measure.
"""
import os
import threading

from harness import (IDC_SYNCHRONIZE, STATUS_GOOD, STATUS_NO_RESPONSE, STATUS_REFUSED,
                     QuorvelTestCase, wait_until)
from timeserver import TimeServer

SLOTS = 50


class HeldFirstAnswer(TimeServer):
    """A server whose first connection is answered only once `gate` opens; later
    connections are answered at once. A connection still held when the gate's
    patience runs out is closed without an answer."""

    def __init__(self, addr, gate, arrived, **options):
        super().__init__(addr, **options)
        self.gate, self.arrived = gate, arrived

    def _serve(self, sock, record):
        if record.number == 1:
            self.arrived()
            if not self.gate.wait(60):
                self._close(sock, record)
                return
        super()._serve(sock, record)


class RunTestCase(QuorvelTestCase):

    def correct_once(self, program, timeout=90):
        """One correcting run to its end; every run here has a good server, so its
        end is the stored "LastCorrectionValue" (removed first)."""
        self.settings.delete("LastCorrectionValue")
        program.command(IDC_SYNCHRONIZE)
        wait_until(lambda: self.settings.get("LastCorrectionValue") is not None, timeout, 0.05,
                   "the run did not end")
        wait_until(lambda: program.button_caption() == "Synchronize Time", 20, 0.05)


class FullListSideBySide(RunTestCase):
    servers = ["127.0.5.%d" % (i + 1) for i in range(SLOTS)]

    def test_all_fifty_servers_are_asked_at_once(self):
        gate = threading.Event()
        lock = threading.Lock()
        waiting = [0]

        def arrived():
            with lock:
                waiting[0] += 1
                if waiting[0] == SLOTS:
                    gate.set()
        servers = [HeldFirstAnswer(addr, gate, arrived, skew_ms=300) for addr in self.servers]
        for server in servers:
            server.start()
            self.addCleanup(server.stop)
        self.addCleanup(gate.set)  # never leave a held connection behind

        program = self.start_ready()
        self.correct_once(program)

        self.assertTrue(gate.is_set(), "only %d of 50 servers had a connection open at once"
                        % waiting[0])
        records = self.settings.servers()
        self.assertEqual(sorted(records), list(range(SLOTS)))
        for slot, record in records.items():
            self.assertEqual(record.status, STATUS_GOOD, "slot %d" % slot)
        self.assertEqual([server.count() for server in servers], [3] * SLOTS)


class RepeatedRuns(RunTestCase):
    # Good, late, short, long, trickling (its first read has one byte) and refused
    # servers: every way a query ends without waiting for the run's deadline.
    plan = [("answer", {}), ("delay", {"delay_ms": 30}), ("short", {"short_bytes": 2}),
            ("long", {}), ("trickle", {"pause_ms": 500}), ("refused", None)] * 3
    servers = ["127.0.6.%d" % (i + 1) for i in range(len(plan))]

    def descriptors(self, program):
        return len(os.listdir("/proc/%d/fd" % program.popen.pid))

    def test_runs_leave_no_descriptors_behind(self):
        for addr, (mode, options) in zip(self.servers, self.plan):
            if options is not None:
                self.timeserver(addr, mode=mode, skew_ms=200, **options)
        program = self.start_ready()
        self.correct_once(program)
        after_first = self.descriptors(program)

        for _ in range(6):
            self.correct_once(program)
        # Each run opens 3 sockets to each good server and one to each failing
        # one, 36 in all: a leak of any kind would add at least one per run.
        self.assertLessEqual(self.descriptors(program), after_first + 3)

        statuses = {slot: r.status for slot, r in self.settings.servers().items()}
        expected = {"answer": STATUS_GOOD, "delay": STATUS_GOOD, "long": STATUS_GOOD,
                    "short": STATUS_NO_RESPONSE, "trickle": STATUS_NO_RESPONSE,
                    "refused": STATUS_REFUSED}
        for slot, (mode, _) in enumerate(self.plan):
            self.assertEqual(statuses[slot], expected[mode], "slot %d (%s)" % (slot, mode))
        self.assertTrue(program.alive())
