"""Correcting and test runs against local RFC 868 servers: statuses, latencies,
corrections, the consensus, stopping a run, the run deadline and failures.

Every expected correction comes from the servers' own logs. A server sends whole
seconds: an answer of S sent at host time t proves that the server's offset lies
in [1000*S - t, 1000*S + 1000 - t). The three answers of a server intersect to an
interval that holds its offset; the program's own bounds lie around it, wider by
at most the exchange on either side. Its correction is their middle, or, after a
run in which the servers agree, the point of them nearest the applied correction.
"""
import time
import unittest

from harness import (CMD_CORRECT_IF_IDLE, ServerRecord, IDC_SYNCHRONIZE, IDM_TEST_SERVER, STATUS_GOOD,
                     STATUS_INTERRUPTED, STATUS_NO_DNS, STATUS_NO_RESPONSE, STATUS_REFUSED,
                     STATUS_SLOW_RESPONSE, STATUS_TEST, STATUS_UNUSED, QuorvelTestCase,
                     wait_until)
from timeserver import now_ms1900

FAILURE_TIP = "Unsuccessful correction!  Double-click for details..."
IDLE_CAPTION = "Synchronize Time"
RUN_STATUSES = (STATUS_GOOD, STATUS_UNUSED)  # what a good server of a correcting run ends with
ERA = 1 << 32

# Wine's clock readings may be a few ms coarser than the servers' stamps, and the
# program widens each bound by the time a notification may wait in its queue.
CLOCK_GRAIN_MS = 30


def era_seconds(value, at_ms):
    """The answer's seconds in the 2^32-second era nearest the host time at_ms."""
    now_s = at_ms // 1000
    ahead = (value - now_s) % ERA
    return now_s + (ahead - ERA if ahead >= ERA // 2 else ahead)


def log_bounds(connections):
    """The intersection of what the server's answers prove about its offset."""
    low, high = None, None
    for c in connections:
        server_ms = era_seconds(c.value, c.sent_ms) * 1000
        lo, hi = server_ms - c.sent_ms, server_ms + 1000 - c.sent_ms
        low = lo if low is None else max(low, lo)
        high = hi if high is None else min(high, hi)
    return low, high


class RunTestCase(QuorvelTestCase):

    def records(self, slots):
        return {slot: self.settings.server(slot) for slot in slots}

    def assert_in_band(self, record, connections, offset=0, label=""):
        """The record's correction lies where its server's log puts it: within the
        interval its answers prove, widened by an exchange on either side."""
        self.assertEqual(len(connections), 3, label)
        low, high = log_bounds(connections)
        slack = (3 * record.latency) // 2 + CLOCK_GRAIN_MS
        if low >= high:
            # Answers that contradict each other (a clock that stands still, say)
            # give the mean of the samples, each read at the middle of its second.
            leads = [era_seconds(c.value, c.sent_ms) * 1000 - c.sent_ms for c in connections]
            expected = sum(leads) / 3 + 500 + offset
            self.assertLessEqual(abs(record.correction - expected), slack,
                                 "%s: correction %d, expected %d" % (label, record.correction, expected))
            return
        self.assertTrue(low + offset - slack <= record.correction < high + offset + slack,
                        "%s: correction %d outside [%d, %d) widened by %d"
                        % (label, record.correction, low + offset, high + offset, slack))

    def assert_applied_between(self, records, offset=0):
        """The applied correction lies where the kept servers' logs put them."""
        kept = [r for r in records if r.status == STATUS_GOOD]
        self.assertTrue(kept)
        applied = self.settings.int64("LastCorrectionValue")
        lows = [r.correction - 500 - r.latency - CLOCK_GRAIN_MS for r in kept]
        highs = [r.correction + 500 + r.latency + CLOCK_GRAIN_MS for r in kept]
        self.assertTrue(min(lows) + offset <= applied <= max(highs) + offset,
                        "applied %d, kept %r" % (applied, [r.correction for r in kept]))
        return applied

    def assert_clock_result(self, program, value):
        """Wine sets the clock only for steps under half a second; a refused step is
        recorded with the time 0 and leaves the status line without a correction."""
        set_time = self.settings.int64("LastCorrectionTime")
        if abs(value) < 500:
            self.assertNotEqual(set_time, 0)
            self.assertTrue(program.status_text().startswith("Corrected "), program.status_text())
        else:
            self.assertEqual(set_time, 0)

    def tray_tips(self):
        return [tip for _, tip in self.ctl.tray_icons()]


class CorrectingRun(RunTestCase):
    # Slot 2 goes through the host lookup; slot 5 answers 400 ms late in the
    # first run, keeps silent in the second, and answers late again afterwards.
    servers = ["127.0.0.11", "127.0.0.12", "alpha.test", "127.0.0.13", "127.0.0.14",
               "127.0.0.15"]

    def test_consensus_stop_and_test_run(self):
        skews = {0: 150, 1: 180, 2: 90, 3: 5200, 4: 120}
        addresses = {0: "127.0.0.11", 1: "127.0.0.12", 2: "127.0.0.21", 3: "127.0.0.13",
                     4: "127.0.0.14"}
        servers = {slot: self.timeserver(addresses[slot], skew_ms=skews[slot]) for slot in skews}
        servers[5] = self.timeserver("127.0.0.15", delay_ms=400,
                                     modes=["delay"] * 3 + ["silent", "delay"])
        program = self.start_ready()
        self.assertEqual(program.button_caption(), IDLE_CAPTION)

        # Run 1: every server answers; the +5200 server is the outlier.
        program.send_command(IDC_SYNCHRONIZE)
        self.assertEqual(program.button_caption(), "Stop Correcting...")
        self.wait_statuses({slot: RUN_STATUSES for slot in range(6)})
        wait_until(lambda: program.button_caption() == IDLE_CAPTION)
        records = self.records(range(6))
        self.assertEqual(records[3].status, STATUS_UNUSED)
        for slot in (0, 1, 2, 4, 5):
            self.assertEqual(records[slot].status, STATUS_GOOD, slot)
        for slot, server in servers.items():
            self.assert_in_band(records[slot], server.connections(), label="slot %d" % slot)
        applied = self.assert_applied_between(records.values())
        self.assert_clock_result(program, applied)

        # The late server: its latency covers the delay; its bounds, checked
        # above, still hold it although it read its clock only before sending.
        self.assertTrue(300 <= records[5].latency <= 400 + 1000, records[5])

        # Run 2: slot 5 keeps silent; stopping the run interrupts it and the
        # clock is corrected from the servers that had answered.
        program.send_command(IDC_SYNCHRONIZE)

        def only_the_silent_server_open():
            rows = {row.slot: row for row in program.rows()}
            return (set(rows) == set(range(6)) and rows[5].latency.startswith("Reading") and
                    all(rows[slot].latency.isdigit() for slot in range(5)))
        wait_until(only_the_silent_server_open, 30, 0.2)
        self.assertEqual(program.button_caption(), "Stop Correcting...")
        program.send_command(IDC_SYNCHRONIZE)
        self.assertEqual(program.button_caption(), IDLE_CAPTION)
        records = self.records(range(6))
        self.assertEqual(records[5].status, STATUS_INTERRUPTED)
        self.assertEqual([records[slot].status for slot in range(5)],
                         [STATUS_GOOD, STATUS_GOOD, STATUS_GOOD, STATUS_UNUSED, STATUS_GOOD])
        applied = self.assert_applied_between(records.values())
        self.assert_clock_result(program, applied)

        # Run 3: a test run over two selected rows leaves the clock alone.
        before = {name: self.settings.get(name)
                  for name in ("LastCorrectionTime", "LastCorrectionValue")}
        status_line = program.status_text()
        positions = [i for i, row in enumerate(program.rows()) if row.slot in (0, 5)]
        program.select_rows(positions)
        program.send_command(IDM_TEST_SERVER)
        self.assertEqual(program.button_caption(), "Stop Testing...")
        self.wait_statuses({0: STATUS_TEST, 5: STATUS_TEST})
        wait_until(lambda: program.button_caption() == IDLE_CAPTION)
        after = self.records(range(6))
        self.assertEqual([after[slot].status for slot in (1, 2, 3, 4)],
                         [STATUS_GOOD, STATUS_GOOD, STATUS_UNUSED, STATUS_GOOD])
        self.assertEqual({name: self.settings.get(name) for name in before}, before)
        self.assertEqual(program.status_text(), status_line)
        self.assert_in_band(after[0], servers[0].connections()[-3:], label="test run, slot 0")


class SubSecondCorrection(RunTestCase):
    # Four servers that agree, 1.234 s ahead of the host clock.
    servers = ["127.0.0.51", "127.0.0.52", "127.0.0.53", "127.0.0.54"]
    SKEW = 1234

    def test_whole_second_answers_give_sub_second_corrections_politely(self):
        servers = [self.timeserver(addr, skew_ms=self.SKEW) for addr in self.servers]
        program = self.start_ready()
        for run in range(2):
            self.settings.delete("LastCorrectionValue")
            program.send_command(IDC_SYNCHRONIZE)
            wait_until(lambda: self.settings.get("LastCorrectionValue") is not None, 60, 0.1)
            # Over half a second: Wine refuses the step, but the value is kept.
            applied = self.settings.int64("LastCorrectionValue")
            self.assertLessEqual(abs(applied - self.SKEW), 100, "run %d: applied %d" % (run, applied))
            self.assertEqual(self.settings.int64("LastCorrectionTime"), 0)
            wait_until(lambda: program.button_caption() == IDLE_CAPTION)
            for row in program.rows():
                shown = float(row.correction.rstrip("s")) * 1000
                self.assertLessEqual(abs(shown - self.SKEW), 600, row)
        # A test run right after asks the same servers again.
        program.select_rows([0])
        program.send_command(IDM_TEST_SERVER)
        wait_until(lambda: program.button_caption() == IDLE_CAPTION, 60, 0.2)
        # No server was asked twice within four seconds, in a run or across runs.
        for server in servers:
            accepted = [c.accepted_ms for c in server.connections()]
            self.assertGreaterEqual(len(accepted), 6)
            gaps = [b - a for a, b in zip(accepted, accepted[1:])]
            self.assertGreaterEqual(min(gaps), 4000, server.addr)


class AgreementInTheList(RunTestCase):
    # Four servers that agree, 1.234 s ahead, and one 900 ms further ahead,
    # which stays within the 2 s rule but shares no interval with the four.
    # Every step is half a second or more, which Wine refuses: the clock
    # stays where it is, and the list is what is checked.
    servers = ["127.0.0.61", "127.0.0.62", "127.0.0.63", "127.0.0.64", "127.0.0.65"]
    SKEW = 1234

    def test_agreeing_servers_show_the_applied_correction(self):
        for addr in self.servers[:4]:
            self.timeserver(addr, skew_ms=self.SKEW)
        apart = self.timeserver(self.servers[4], skew_ms=self.SKEW + 900)
        program = self.start_ready()
        program.send_command(IDC_SYNCHRONIZE)
        self.wait_statuses({slot: STATUS_GOOD for slot in range(5)}, 60)
        wait_until(lambda: self.settings.get("LastCorrectionValue") is not None)
        applied = self.settings.int64("LastCorrectionValue")
        self.assertLessEqual(abs(applied - self.SKEW), 100, applied)
        records = self.records(range(5))
        for slot in range(4):
            self.assertEqual(records[slot].correction, applied, records[slot])

        def shown():
            return {row.slot: row.correction for row in program.rows()}
        wait_until(lambda: len(set(shown()[slot] for slot in range(4))) == 1,
                   message="the agreeing rows differ: %r" % shown())
        texts = shown()
        common = float(texts[0].rstrip("s")) * 1000
        self.assertLessEqual(abs(common - applied), 50, texts)
        # The server apart shows the edge of its own bounds nearest the others.
        self.assertGreater(records[4].correction, applied)
        self.assert_in_band(records[4], apart.connections(), label="the server apart")
        self.assertGreater(float(texts[4].rstrip("s")) * 1000, common, texts)


class OffsetAndRefusedClock(RunTestCase):
    # Every 5 minutes, never corrected: the first clock tick starts a run.
    schedule = 2
    servers = ["127.0.0.41", "127.0.0.42"]

    def test_offset_raises_every_correction_and_a_refused_clock_keeps_the_schedule(self):
        self.settings.set_int64("Offset", 2000)
        servers = [self.timeserver("127.0.0.41", skew_ms=100),
                   self.timeserver("127.0.0.42", skew_ms=300)]
        program = self.start_ready()
        self.wait_statuses({0: STATUS_GOOD, 1: STATUS_GOOD}, timeout=40)
        wait_until(lambda: self.settings.get("LastCorrectionValue") is not None)
        records = self.records((0, 1))
        for slot, server in enumerate(servers):
            self.assert_in_band(records[slot], server.connections(), offset=2000,
                                label="slot %d" % slot)
        self.assert_applied_between(records.values(), offset=0)
        # Over half a second: Wine refuses to set the clock.
        self.assertEqual(self.settings.int64("LastCorrectionTime"), 0)

        # The run's start stays the schedule's base, so the next clock tick's due
        # check does not start another run at once.
        shown = program.clock_text()
        wait_until(lambda: program.clock_text() != shown, 30, 0.2)
        time.sleep(1.0)  # a run started by that tick would have connected by now
        self.assertEqual([s.count() for s in servers], [3, 3])
        self.assertEqual(program.button_caption(), IDLE_CAPTION)


class FailingServers(RunTestCase):
    # Slot 7 holds a result from an earlier session, which a failure leaves in place.
    servers = ["127.0.0.31", "127.0.0.32", "127.0.0.33", "127.0.0.34", "nowhere.test",
               "127.0.0.35", "127.0.0.36", ServerRecord("127.0.0.37", 1, 0, 77, 555),
               "127.0.0.38"]

    def test_failures_deadline_and_the_failed_correction(self):
        # A correction from an earlier session, shown until a run corrects again.
        self.settings.set_int64("LastCorrectionTime", now_ms1900() - 3600000)
        self.settings.set_int64("LastCorrectionValue", 1234)
        program = self.start_ready()
        status_line = program.status_text()
        self.assertTrue(status_line.startswith("Corrected +1.2s at "), status_line)

        # Run 0: nothing listens yet, so no server answers: the correction fails.
        program.send_command(CMD_CORRECT_IF_IDLE)
        wait_until(lambda: FAILURE_TIP in self.tray_tips(), 30, 0.2)
        self.wait_statuses({0: STATUS_REFUSED, 4: STATUS_NO_DNS, 6: STATUS_REFUSED,
                            8: STATUS_REFUSED})
        self.assertEqual(program.button_caption(), IDLE_CAPTION)
        self.assertEqual(program.status_text(), status_line)
        self.assertEqual(self.settings.int64("LastCorrectionValue"), 1234)

        # Run 1: a server of each kind of failure, one that fails on its third
        # sample, one that sends more than 4 bytes at once, which still gives a
        # result, and one that answers 0, read in the era nearest the local
        # clock: 2036-02-07, a good answer that lies far from the other.
        short = self.timeserver("127.0.0.31", mode="short", short_bytes=2)
        drip = self.timeserver("127.0.0.32", mode="trickle", pause_ms=300)
        long_server = self.timeserver("127.0.0.33", mode="long", extra=b"\x01\x02\x03\x04")
        silent = self.timeserver("127.0.0.35", mode="silent")
        closing = self.timeserver("127.0.0.36", mode="close")
        third_fails = self.timeserver("127.0.0.37", modes=["answer", "answer", "short"])
        epoch = self.timeserver("127.0.0.38", value=0)
        listening = [short, drip, long_server, silent, closing, third_fails, epoch]
        program.send_command(IDC_SYNCHRONIZE)
        self.assertNotIn(FAILURE_TIP, self.tray_tips())
        self.wait_statuses({5: STATUS_SLOW_RESPONSE}, timeout=60)
        ended_ms = now_ms1900()
        records = self.records(range(9))
        self.assertEqual([records[slot].status for slot in range(9)],
                         [STATUS_NO_RESPONSE, STATUS_NO_RESPONSE, STATUS_GOOD, STATUS_REFUSED,
                          STATUS_NO_DNS, STATUS_SLOW_RESPONSE, STATUS_SLOW_RESPONSE,
                          STATUS_NO_RESPONSE, STATUS_UNUSED])
        self.assertEqual((records[7].latency, records[7].correction), (77, 555))
        self.assertEqual(silent.count(), 1)
        self.assertEqual(closing.count(), 1)
        # No connection completes after the last one the servers accepted, so the
        # deadline lies 20 s after it.
        accepted = [c.accepted_ms for s in listening for c in s.connections()]
        self.assertGreaterEqual(ended_ms - max(accepted), 20000 - 1000)
        self.assert_in_band(records[2], long_server.connections(), label="long answer")
        # The epoch answer was good but lies far from the other and is left out;
        # a clock that stands still contradicts itself, so its samples are averaged.
        self.assert_in_band(records[8], epoch.connections(), label="epoch answer")
        wait_until(lambda: program.button_caption() == IDLE_CAPTION)
        self.assertEqual(self.settings.int64("LastCorrectionValue"), records[2].correction)
        self.assertNotIn(FAILURE_TIP, self.tray_tips())


if __name__ == "__main__":
    unittest.main()
