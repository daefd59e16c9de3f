#!/usr/bin/env python3
"""Benchmarks of quorvel.exe under Wine, side by side with `rdate -p` and `chronyd -Q`.

Started by bench/measure inside tests/with-wine.sh: a private Wine prefix copy, its own
X display and a network namespace with only loopback. All time servers are
tests/e2e/timeserver.py servers on 127.x.y.z port 37, tests/e2e/ntpserver.py
servers on port 123, or one real chronyd; the program always gets a seeded
loopback server list and "Schedule" 0. rdate is only ever run as `rdate -p`
(print, never set) and chronyd as `chronyd -Q` (query, never set), against
servers of their own that keep the same time as the program's.

Sections (each prints a table; all of them together form the report):
  span        correcting-run span for 1, 10 and 50 servers answering at once
  accuracy    error of the applied correction and of each server's record against
              the servers' known skews, for 5 agreeing servers, 1 server, 4 plus
              one 900 ms off, and a clock that is already right; behind 0 and
              50 ms network delays (NFQUEUE + bench/nfq_delay); beside `rdate -p`
              and the previous arithmetic (mean of samples) on the same answers
  ntp         the same figures for lists with NTP servers (HOST:123): 5 that agree
              at 0 and 50 ms, 3 Time Protocol + 2 NTP, 4 plus one 900 ms off, and
              a real chronyd; beside `chronyd -Q`
  endurance   idle CPU and wake-ups while hidden, memory, descriptors and handles
              over back-to-back prompt runs and runs that end at the deadline
  discipline  the clock between corrections, from the simulation of tests/sim (no
              Wine: the rate calls do nothing there): the largest and the RMS error
              over a week for schedules of 5 minutes, an hour and a day, crystals
              10, 78 and 450 ppm off, NTP and Time Protocol measurements, disciplined
              beside stepping only; the same at 78 ppm in each part of the real world
              (settings that do not take, 8.5 s runs, internet-like errors, load
              steps, a killed program, Windows Time, a second session) and in all of
              them; and one week's error, plotted

Runs take seconds (a server is asked at most once every 4 s), so the classes run
side by side in lanes: each lane its own Wine prefix copy, quorvel.exe, qvctl.exe
and loopback addresses. Across the whole benchmark every connection to every
server is kept, and the smallest gap between two connections to one address is
reported.

  bench.py --inside [--quick] [--sections span,accuracy,ntp,endurance,discipline] [--out DIR]
"""
import argparse
import calendar
import contextlib
import glob
import json
import math
import os
import random
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

from harness import (IDC_SYNCHRONIZE, RUN_KEY, RUN_VALUE, SETTINGS_KEY, STATUS_GOOD,
                     STATUS_NO_DNS,
                     STATUS_NO_RESPONSE, STATUS_REFUSED, STATUS_SLOW_RESPONSE, STATUS_UNUSED,
                     UNINSTALL_KEY, WM_COMMAND, Ctl, Quorvel, Settings)
from ntpserver import NtpServer
from timeserver import EPOCH_1900_TO_1970_S, TimeServer, now_ms1900

HERE = os.path.dirname(os.path.abspath(__file__))

# Every packet to or from port 37 (TCP) or 123 (UDP) of these addresses is held
# this long in each direction by nfq_delay (queue number = index + 1).
DELAYED_NETS = [("127.50.0.0/16", 50)]
# (chain, protocol, match) of each rule. chronyd stamps its NTP datagrams in the
# kernel: a request when loopback sends it, after OUTPUT; an answer when loopback
# receives it, before INPUT. So a request is held in INPUT and an answer in OUTPUT,
# where either stamp sees the whole delay.
DELAYED_RULES = [("OUTPUT", "tcp", ["--dport", "37"], "-d"), ("OUTPUT", "tcp", ["--sport", "37"], "-s"),
                 ("INPUT", "udp", ["--dport", "123"], "-d"), ("OUTPUT", "udp", ["--sport", "123"], "-s")]

SECTIONS = ("span", "accuracy", "ntp", "endurance", "discipline")

# A server may be asked at most once every this many ms; the bench keeps to it
# for its own starts too, and checks the servers' logs for it at the end.
SPACING_MS = 4000

# The previous arithmetic's outlier limit (on per-server corrections, ms).
OUTLIER_LIMIT_MS = 2000

# ---- small helpers ---------------------------------------------------------------

def log(text):
    print(text, file=sys.stderr, flush=True)


def summary(values):
    """min, median, max, mean, population standard deviation (None when empty)."""
    values = [v for v in values if v is not None]
    if not values:
        return None
    return {"n": len(values), "min": min(values), "median": statistics.median(values),
            "max": max(values), "mean": statistics.fmean(values),
            "sd": statistics.pstdev(values) if len(values) > 1 else 0.0}


def fmt(value, digits=0):
    if value is None:
        return "-"
    return ("%%.%df" % digits) % value


def fmt_mmm(s, digits=0):
    """min / median / max."""
    if not s:
        return "-"
    return "%s / %s / %s" % (fmt(s["min"], digits), fmt(s["median"], digits), fmt(s["max"], digits))


def table(header, rows):
    lines = ["| " + " | ".join(header) + " |", "|" + "|".join("---" for _ in header) + "|"]
    for row in rows:
        lines.append("| " + " | ".join(str(c) for c in row) + " |")
    return "\n".join(lines)


def wait_phase(fraction):
    """Sleep until the host clock's millisecond within the second is `fraction`
    of a second, so that runs meet the servers' whole-second edges at known phases."""
    now = now_ms1900()
    target = now - now % 1000 + int(fraction * 1000) % 1000
    if target < now + 20:
        target += 1000
    time.sleep((target - now) / 1000.0)


def percentile(values, p):
    """The p-th percentile by nearest rank (p95 of 20 values is the second largest)."""
    values = sorted(values)
    if not values:
        return None
    return values[max(0, math.ceil(p / 100.0 * len(values)) - 1)]


def errors_summary(errors):
    """median |e|, 95th percentile of |e|, largest |e|, mean e (bias) of a list of errors."""
    errors = [e for e in errors if e is not None]
    if not errors:
        return None
    a = [abs(e) for e in errors]
    return {"n": len(errors), "median_abs": statistics.median(a), "p95_abs": percentile(a, 95),
            "max_abs": max(a), "mean": statistics.fmean(errors), "min": min(errors),
            "max": max(errors)}


# ---- Wine prefixes: one per lane ---------------------------------------------------

# Wine programs find their prefix in the environment. Lanes run in threads of one
# process, so a lane's Wine processes are started with the environment switched to
# its prefix under this lock (Popen copies the environment at the start).
SPAWN_LOCK = threading.Lock()


@contextlib.contextmanager
def in_prefix(prefix):
    with SPAWN_LOCK:
        old = os.environ.get("WINEPREFIX")
        os.environ["WINEPREFIX"] = prefix
        try:
            yield
        finally:
            if old is None:
                del os.environ["WINEPREFIX"]
            else:
                os.environ["WINEPREFIX"] = old


def copy_prefix(number):
    """A copy of this sandbox's (still unused) prefix beside it; with-wine.sh removes
    the folder that holds both at the end."""
    source = os.environ["WINEPREFIX"]
    target = "%s-lane%d" % (source.rstrip("/"), number)
    shutil.rmtree(target, ignore_errors=True)
    subprocess.run(["cp", "-a", source, target], check=True)
    return target


def end_prefix(prefix):
    """Ends the wineserver (and so every Wine process) of a prefix this bench made."""
    env = dict(os.environ, WINEPREFIX=prefix)
    subprocess.run(["wineserver", "-k"], env=env, check=False, capture_output=True)
    subprocess.run(["wineserver", "-w"], env=env, check=False, capture_output=True, timeout=60)


# ---- the Linux side of the Wine process ------------------------------------------

class LinuxProcess:
    """/proc figures of one Linux process (all its threads)."""

    def __init__(self, pid):
        self.pid = pid

    def _tasks(self):
        return glob.glob("/proc/%d/task/*" % self.pid)

    def cpu_ns(self):
        """Time on a CPU, from the scheduler's per-thread statistics (ns)."""
        total = 0
        for task in self._tasks():
            try:
                with open(task + "/schedstat") as f:
                    total += int(f.read().split()[0])
            except OSError:
                pass
        return total

    def switches(self):
        """Voluntary and involuntary context switches of all threads: wake-ups."""
        total = 0
        for task in self._tasks():
            try:
                with open(task + "/status") as f:
                    for line in f:
                        if line.startswith(("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches")):
                            total += int(line.split()[1])
            except OSError:
                pass
        return total

    def status(self, field):
        with open("/proc/%d/status" % self.pid) as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1])
        return None

    def rss_kb(self):
        return self.status("VmRSS")

    def anon_kb(self):
        return self.status("RssAnon")

    def threads(self):
        return len(self._tasks())

    def fds(self):
        return len(os.listdir("/proc/%d/fd" % self.pid))

    def alive(self):
        return os.path.exists("/proc/%d/stat" % self.pid)


def wineserver_pid(prefix):
    """The wineserver of one prefix."""
    wanted = ("WINEPREFIX=" + prefix).encode()
    for d in glob.glob("/proc/[0-9]*"):
        try:
            with open(d + "/cmdline", "rb") as f:
                cmd = f.read()
            if b"wineserver" not in cmd.split(b"\0")[0]:
                continue
            with open(d + "/environ", "rb") as f:
                if wanted in f.read().split(b"\0"):
                    return int(d.rsplit("/", 1)[1])
        except OSError:
            continue
    return None


# ---- every connection of the whole benchmark ------------------------------------------

class NtpContact:
    """An NTP request seen as a connection, for the spacing log and the sample counts."""

    def __init__(self, request):
        self.accepted_ms = self.sent_ms = request.received_ms
        self.value = request.mode  # not None: every request here is answered


class BenchNtpServer(NtpServer):
    def connections(self):
        return [NtpContact(r) for r in self.requests()]


class ConnectionLog:
    """Accept times of every connection to every server address, over all lanes and
    sections, for the spacing check at the end and the bench's own waits."""

    def __init__(self):
        self.lock = threading.Lock()
        self.accepts = {}     # address -> [accepted_ms]
        self.kind = {}        # address -> "program", "rdate" or "chronyd"

    def add(self, server, kind):
        with self.lock:
            self.accepts.setdefault(server.addr, []).extend(c.accepted_ms
                                                            for c in server.connections())
            self.kind[server.addr] = kind

    def last(self, addr):
        with self.lock:
            times = self.accepts.get(addr)
            return max(times) if times else None

    def gaps(self, kind):
        """(smallest gap in ms or None, violations, connections, addresses) over every
        pair of consecutive connections to one address of this kind."""
        smallest, violations, count, addresses = None, 0, 0, 0
        with self.lock:
            for addr, times in self.accepts.items():
                if self.kind[addr] != kind or not times:
                    continue
                addresses += 1
                times = sorted(times)
                count += len(times)
                for a, b in zip(times, times[1:]):
                    gap = b - a
                    smallest = gap if smallest is None else min(smallest, gap)
                    violations += gap < SPACING_MS
        return {"smallest_ms": smallest, "violations": violations, "connections": count,
                "addresses": addresses}


CONNECTIONS = ConnectionLog()


# ---- the rig: time servers, the program, runs ------------------------------------

class Run:
    """One correcting run seen from outside."""

    def __init__(self, posted_ms, post_return_ms):
        self.posted_ms = posted_ms          # just before the command was handed to qvctl
        self.post_return_ms = post_return_ms
        self.seen_ms = None                 # when "LastCorrectionValue" was seen again
        self.applied_at_ms = None           # the program's clock when it applied the result
        self.value = None                   # "LastCorrectionValue"
        self.records = {}
        self.cpu_ms = None                  # quorvel.exe's CPU time meanwhile
        self.window_cpu_ms_per_s = None
        self.wineserver_cpu_ms = None

    def span_ms(self):
        """Command to completion: the program's own clock at the result when the
        clock step was accepted ("LastCorrectionTime" - "LastCorrectionValue"),
        otherwise the moment the stored value was seen (polling)."""
        end = self.applied_at_ms if self.applied_at_ms is not None else self.seen_ms
        return None if end is None else end - self.posted_ms


class Rig:
    """One lane: a Wine prefix with its qvctl.exe, one quorvel.exe at a time, and the
    time servers it talks to."""

    def __init__(self, prefix):
        self.prefix = prefix
        # Quorvel keeps the Win32 pids it has claimed in a class attribute; pids of
        # different prefixes can be equal, so each lane has its own set.
        self.program_class = type("LaneQuorvel", (Quorvel,), {"_claimed": set()})
        with in_prefix(prefix):
            self.ctl = Ctl(reply_timeout=120)
        self.settings = Settings(self.ctl)
        self.program = None
        self.hwnd = 0
        self.proc = None
        self.wineserver = None
        self.startup_s = None
        self.servers = {}

    # -- servers --

    def serve(self, addr, kind="program", protocol="tp", **options):
        self.unserve(addr)
        server = (BenchNtpServer if protocol == "ntp" else TimeServer)(addr, **options).start()
        server.kind = kind
        self.servers[addr] = server
        return server

    def unserve(self, addr):
        server = self.servers.pop(addr, None)
        if server:
            server.stop()
            CONNECTIONS.add(server, server.kind)

    def stop_servers(self):
        for addr in list(self.servers):
            self.unserve(addr)

    def connections(self, addr, since_ms, until_ms=None):
        server = self.servers.get(addr)
        if server is None:
            return []
        return [c for c in server.connections()
                if c.accepted_ms >= since_ms and (until_ms is None or c.accepted_ms <= until_ms)]

    def answers(self, addr, since_ms, until_ms=None):
        """Connections that got an answer. A server notes the send time just after its
        send returns, which can be after the client has read the answer: wait for it."""
        deadline = time.monotonic() + 2.0
        while True:
            conns = [c for c in self.connections(addr, since_ms, until_ms) if c.value is not None]
            if all(c.sent_ms is not None for c in conns) or time.monotonic() > deadline:
                return sorted((c for c in conns if c.sent_ms is not None),
                              key=lambda c: c.accepted_ms)
            time.sleep(0.01)

    def wait_spacing(self, addresses):
        """Sleep until every one of these addresses was last connected to at least
        SPACING_MS ago (by this lane or earlier in the benchmark), so that a run the
        bench starts now keeps the servers' spacing whatever the program remembers."""
        last = None
        for addr in addresses:
            times = [c.accepted_ms for c in self.servers[addr].connections()] \
                if addr in self.servers else []
            logged = CONNECTIONS.last(addr)
            if logged is not None:
                times.append(logged)
            if times:
                last = max(times) if last is None else max(last, max(times))
        if last is not None:
            left = last + SPACING_MS + 100 - now_ms1900()
            if left > 0:
                time.sleep(left / 1000.0)

    # -- the program --

    def start_program(self, addresses):
        self.stop_program()
        self.ctl.reg_delete_key(SETTINGS_KEY)
        self.ctl.reg_delete_value(RUN_KEY, RUN_VALUE)
        self.ctl.reg_delete_key(UNINSTALL_KEY)
        self.settings.set_dword("Schedule", 0)      # never a scheduled run
        self.settings.seed_servers(addresses)       # loopback servers only
        started = time.monotonic()
        with in_prefix(self.prefix):
            self.program = self.program_class(self.ctl)
        self.hwnd = self.program.wait_window(90)  # returns once start-up is over
        self.startup_s = time.monotonic() - started
        wsp = wineserver_pid(self.prefix)
        self.wineserver = LinuxProcess(wsp) if wsp else None
        pid = self.program.popen.pid
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            if b"quorvel.exe" not in f.read().lower():
                raise RuntimeError("process %d is not quorvel.exe" % pid)
        self.proc = LinuxProcess(pid)
        return self.program

    def stop_program(self):
        if self.program is not None:
            self.program.stop()
            self.program = None
            self.proc = None

    def alive(self):
        return self.program is not None and self.program.alive()

    def win32_handles(self):
        """Kernel handles the program holds, counted by bench/handle_count.exe."""
        exe = os.environ.get("QV_HANDLE_COUNT")
        if not exe or not self.program or not self.program.wine_pid:
            return None
        env = dict(os.environ, WINEPREFIX=self.prefix)
        for _ in range(3):  # a Wine process start now and then fails under load
            out = subprocess.run(["wine", exe, str(self.program.wine_pid)], capture_output=True,
                                 text=True, timeout=60, env=env)
            try:
                return int(out.stdout.split()[1])
            except (IndexError, ValueError):
                log("handle count failed (%d): %s" % (out.returncode, out.stderr.strip()[-200:]))
        return None

    def run(self, timeout=180.0, records=False, cpu_window=None, poll=0.01):
        """One correcting run started with WM_COMMAND 1; returns when its result is
        stored. Every run here has at least one good server, so every run stores
        "LastCorrectionValue"; it is removed first to see the new one arrive.
        cpu_window=(a, b): also measure the program's CPU from a to b seconds into the run."""
        self.settings.delete("LastCorrectionValue")
        self.settings.delete("LastCorrectionTime")
        cpu = self.proc.cpu_ns()
        server_cpu = self.wineserver.cpu_ns() if self.wineserver else 0
        posted = now_ms1900()
        self.ctl.post(self.hwnd, WM_COMMAND, IDC_SYNCHRONIZE, 0)
        run = Run(posted, now_ms1900())
        begun = time.monotonic()
        deadline = begun + timeout
        marks = []
        while time.monotonic() < deadline:
            if cpu_window and len(marks) < 2 and time.monotonic() - begun >= cpu_window[len(marks)]:
                marks.append((time.monotonic(), self.proc.cpu_ns()))
                if len(marks) == 2:
                    run.window_cpu_ms_per_s = ((marks[1][1] - marks[0][1]) / 1e6
                                               / (marks[1][0] - marks[0][0]))
            value = self.settings.get("LastCorrectionValue")
            if value is not None:
                run.seen_ms = now_ms1900()
                break
            if not self.program.alive():
                raise RuntimeError("quorvel.exe ended during a run (exit code %s)"
                                   % self.program.popen.returncode)
            time.sleep(poll)
        else:
            return run
        run.cpu_ms = (self.proc.cpu_ns() - cpu) / 1e6
        if self.wineserver:
            run.wineserver_cpu_ms = (self.wineserver.cpu_ns() - server_cpu) / 1e6
        run.value = self.settings.int64("LastCorrectionValue")
        applied = self.settings.int64("LastCorrectionTime")
        if applied:
            run.applied_at_ms = applied - run.value
        if records:
            run.records = self.settings.servers()
        return run

    def close(self):
        self.stop_program()
        self.stop_servers()
        self.ctl.close()


# ---- rdate -p ---------------------------------------------------------------------

def rdate_read(addr, timeout=30.0):
    """One `rdate -p ADDR`: (value in ms since 1900 or None, the moment its line
    arrived in ms since 1900, the process's wall time in ms)."""
    env = dict(os.environ, TZ="UTC", LC_ALL="C")
    start = time.monotonic()
    proc = subprocess.Popen(["rdate", "-p", addr], stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, env=env, text=True)
    line = proc.stdout.readline()
    arrived = now_ms1900()
    proc.stdout.close()
    proc.wait(timeout)
    wall = (time.monotonic() - start) * 1000.0
    value = None
    if proc.returncode == 0 and line.strip():
        # e.g. "Mon Dec  7 06:35:54 UTC 2026": the server's whole seconds.
        parsed = time.strptime(line.strip(), "%a %b %d %H:%M:%S %Z %Y")
        value = (calendar.timegm(parsed) + EPOCH_1900_TO_1970_S) * 1000
    return value, arrived, wall


def rdate_all(addresses):
    """rdate -p on every address at once: [(value, arrived)] in address order."""
    readings = [None] * len(addresses)

    def read(i, addr):
        value, arrived, _ = rdate_read(addr)
        readings[i] = (value, arrived)
    threads = [threading.Thread(target=read, args=(i, a)) for i, a in enumerate(addresses)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return readings


def rdate_sweep(addresses):
    """rdate -p on each address, one after another: total wall time in ms, failures."""
    start = time.monotonic()
    failed = 0
    for addr in addresses:
        value, _, _ = rdate_read(addr)
        failed += value is None
    return (time.monotonic() - start) * 1000.0, failed

CHRONYD = shutil.which("chronyd") or "/usr/sbin/chronyd"
CHRONY_VERSION = subprocess.run(["dpkg-query", "-W", "-f=${Version}", "chrony"],
                                capture_output=True, text=True).stdout.strip() or "?"


def chronyd_read(addr, timeout_s=10):
    """One `chronyd -Q` (query only, the clock is never set) with one sample of ADDR:
    the offset it found in ms (the server's clock minus the host's), or None."""
    folder = tempfile.mkdtemp(prefix="qv-chronyq-")
    try:
        proc = subprocess.run([CHRONYD, "-Q", "-d", "-u", "root", "-t", str(timeout_s),
                               "-f", os.devnull, "server %s iburst maxsamples 1" % addr,
                               "pidfile %s/chronyd.pid" % folder, "cmdport 0"],
                              capture_output=True, text=True, timeout=timeout_s + 20)
    finally:
        shutil.rmtree(folder, True)
    m = re.search(r"System clock wrong by (-?[0-9.]+) seconds", proc.stderr + proc.stdout)
    return float(m.group(1)) * 1000.0 if m else None


def reference_all(twins, protocols, skews):
    """Reads every twin at once, each with the client of its protocol (rdate -p for
    the Time Protocol, chronyd -Q for NTP): [error in ms or None] in twin order."""
    errors = [None] * len(twins)

    def read(i):
        if protocols[i] == "ntp":
            offset = chronyd_read(twins[i])
            errors[i] = None if offset is None else offset - skews[i]
        else:
            value, arrived, _ = rdate_read(twins[i])
            errors[i] = None if value is None else value - arrived - skews[i]
    threads = [threading.Thread(target=read, args=(i,)) for i in range(len(twins))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return errors


def server_names(addresses, protocols):
    """The program's list: an NTP server is named HOST:123."""
    return [a + ":123" if p == "ntp" else a for a, p in zip(addresses, protocols)]

# ---- section: run span -------------------------------------------------------------

SPAN_SKEW_MS = 250  # under Wine's 0.5 s, so the program's step is accepted and timed exactly


def bench_span(rig, runs):
    """Run span for 1, 10 and 50 servers answering at once. Each run starts once the
    last run's connections are SPACING_MS old, so it shows a run's own length."""
    results = []
    for count in (1, 10, 50):
        addresses = ["127.5.%d.%d" % (count, i + 1) for i in range(count)]
        twins = ["127.6.%d.%d" % (count, i + 1) for i in range(count)]
        for addr in addresses:
            rig.serve(addr, skew_ms=SPAN_SKEW_MS)
        for addr in twins:
            rig.serve(addr, kind="rdate", skew_ms=SPAN_SKEW_MS)
        rig.wait_spacing(addresses)
        rig.start_program(addresses)
        first = rig.run()
        first_span = first.span_ms()
        spans, first_accepts, last_sents, per_server, gaps, exact = [], [], [], [], [], 0
        cpu, server_cpu, rdate_times, rdate_failed = [], [], [], 0
        for _ in range(runs):
            # rdate reads its own servers one after another while the program's
            # servers wait out their spacing.
            wall, failed = rdate_sweep(twins)
            rdate_times.append(wall)
            rdate_failed += failed
            rig.wait_spacing(addresses)
            run = rig.run()
            if run.seen_ms is None:
                raise RuntimeError("a %d-server run did not complete" % count)
            exact += run.applied_at_ms is not None
            spans.append(run.span_ms())
            cpu.append(run.cpu_ms)
            server_cpu.append(run.wineserver_cpu_ms)
            all_conns = []
            for addr in addresses:
                conns = rig.answers(addr, run.posted_ms, run.seen_ms)
                all_conns += conns
                per_server.append(len(conns))
                gaps += [b.accepted_ms - a.accepted_ms for a, b in zip(conns, conns[1:])]
            first_accepts.append(min(c.accepted_ms for c in all_conns) - run.posted_ms)
            last_sents.append(max(c.sent_ms for c in all_conns) - run.posted_ms)
        results.append({
            "servers": count, "runs": runs,
            "span": summary(spans), "exact": exact,
            "first_accept": summary(first_accepts), "last_sent": summary(last_sents),
            "samples_per_server": summary(per_server), "sample_gap": summary(gaps),
            "first_run_after_start": first_span, "startup_s": rig.startup_s,
            "cpu": summary(cpu), "wineserver_cpu": summary(server_cpu),
            "rdate_sweeps": len(rdate_times), "rdate": summary(rdate_times),
            "rdate_failed": rdate_failed,
        })
        log("span: %d servers: median %s ms" % (count, fmt(results[-1]["span"]["median"])))
        rig.stop_program()
        rig.stop_servers()
    return results


def report_span(results):
    rows = []
    for r in results:
        rows.append([r["servers"], fmt(r["span"]["median"]), fmt_mmm(r["span"]),
                     fmt(r["first_accept"]["median"]), fmt(r["last_sent"]["median"]),
                     fmt_mmm(r["samples_per_server"]), fmt_mmm(r["sample_gap"]),
                     fmt(r["cpu"]["median"]), fmt(r["wineserver_cpu"]["median"]),
                     "%s (%d×)" % (fmt(r["rdate"]["median"]), r["rdate_sweeps"])])
    text = table(["servers", "run span, median ms", "min / median / max",
                  "first connection at", "last answer sent at", "samples per server",
                  "gap between a server's samples, ms", "CPU ms quorvel.exe", "CPU ms wineserver",
                  "rdate -p, one after another, ms (median of)"], rows)
    firsts = ", ".join("%d servers %s ms (start-up took %.1f s)"
                       % (r["servers"], fmt(r["first_run_after_start"]), r["startup_s"])
                       for r in results)
    notes = [
        "Each row: %d correcting runs (WM_COMMAND 1) against servers that answer at once, "
        "each started when the servers' last connections were at least %d ms old."
        % (results[0]["runs"], SPACING_MS),
        "Run span: from just before the command is posted to the moment the program applied "
        "its result (its own clock: \"LastCorrectionTime\" - \"LastCorrectionValue\"); "
        "%d of %d runs were timed that way, the rest by polling the stored value every 10 ms."
        % (sum(r["exact"] for r in results), sum(r["runs"] for r in results)),
        "First connection / last answer sent: server log times, counted from the post. "
        "Gap: between the accepts of one server's consecutive samples in a run (min / median "
        "/ max). CPU: run time of all threads of quorvel.exe's Linux process and of the "
        "prefix's wineserver between the post and the completion (medians).",
        "rdate -p reads each of its own servers (same skew) once, one after another.",
        "Goal for 50 servers: at most 10 s, the %d ms spacing twice plus at most 2 s."
        % SPACING_MS,
        "The first run after each start (not in the table): %s." % firsts,
    ]
    return text + "\n\n" + "\n".join("- " + n for n in notes)

# ---- section: accuracy -------------------------------------------------------------

class DelayQueues:
    """nfq_delay processes and the iptables rules that feed them (namespace only)."""

    def __init__(self):
        self.procs = []
        self.rules = []

    def start(self):
        helper = os.environ.get("QV_NFQ_DELAY")
        if os.environ.get("QV_SANDBOX", "none") == "none" or not helper:
            raise RuntimeError("network delays need the private namespace and nfq_delay")
        for number, (net, delay) in enumerate(DELAYED_NETS, 1):
            proc = subprocess.Popen([helper, str(number), str(delay)], stdout=subprocess.PIPE,
                                    text=True)
            if proc.stdout.readline().strip() != "ready":
                raise RuntimeError("nfq_delay did not start")
            self.procs.append(proc)
            for chain, proto, port, side in DELAYED_RULES:
                rule = [chain, "-p", proto, side, net] + port + ["-j", "NFQUEUE", "--queue-num",
                                                                str(number), "--queue-bypass"]
                subprocess.run(["iptables", "-A"] + rule, check=True)
                self.rules.append(rule)
        return self

    def stop(self):
        for rule in self.rules:
            subprocess.run(["iptables", "-D"] + rule, check=False)
        self.rules = []
        for proc in self.procs:
            proc.terminate()
            proc.wait(10)
        self.procs = []


def random_skew(rng, fine=False):
    """Whole seconds either way plus a fraction, so that the whole-second edges fall
    at a different phase of the local second in every run; fine: the fraction has
    microseconds too (like +1234.567 ms), for classes with NTP servers."""
    skew = rng.randint(-3, 3) * 1000 + rng.randrange(1000)
    return skew + rng.randrange(1000) / 1000.0 if fine else skew


def skews_agree(n, fine=False):
    def draw(rng, k):
        s = random_skew(rng, fine)
        return [s] * n, s
    return draw


def skews_four_and_one(rng, k, fine=False):
    """Four servers that agree and a fifth 900 ms off, alternately ahead and behind:
    within the 2 s outlier limit, so no rule drops it. Truth: the four's skew."""
    s = random_skew(rng, fine)
    return [s] * 4 + [s + (900 if k % 2 == 0 else -900)], s


def skews_right(rng, k):
    return [0] * 5, 0


# key, what, network delay each way, program's addresses, the reference clients'
# addresses, skews, each address's protocol ("tp" or "ntp"). The class "chronyd"
# has a real NTP server (chronyd serving the host clock) and no twins.
def accuracy_classes(with_delays):
    def five(prefix):
        return ["%s.%d" % (prefix, i + 1) for i in range(5)]
    tp, ntp = ["tp"] * 5, ["ntp"] * 5
    classes = [
        ("agree-0", "5 servers that agree, network 0 ms", 0, five("127.1.0"), five("127.1.1"),
         skews_agree(5), tp),
        ("agree-50", "5 servers that agree, network 50 ms each way", 50, five("127.50.0"),
         five("127.50.1"), skews_agree(5), tp),
        ("one-0", "1 server, network 0 ms", 0, ["127.2.0.1"], ["127.2.1.1"], skews_agree(1), tp),
        ("one-50", "1 server, network 50 ms each way", 50, ["127.50.2.1"], ["127.50.3.1"],
         skews_agree(1), tp),
        ("four-one", "4 servers that agree + 1 at ±900 ms, network 0 ms", 0, five("127.3.0"),
         five("127.3.1"), skews_four_and_one, tp),
        ("right", "a clock that is already right (5 servers, skew 0), network 0 ms", 0,
         five("127.4.0"), five("127.4.1"), skews_right, tp),
        ("ntp-agree-0", "5 NTP servers that agree, network 0 ms", 0, five("127.5.0"),
         five("127.5.1"), skews_agree(5, fine=True), ntp),
        ("ntp-agree-50", "5 NTP servers that agree, network 50 ms each way", 50,
         five("127.50.4"), five("127.50.5"), skews_agree(5, fine=True), ntp),
        ("mixed-0", "3 Time Protocol + 2 NTP servers that agree, network 0 ms", 0,
         five("127.6.0"), five("127.6.1"), skews_agree(5, fine=True), ["tp"] * 3 + ["ntp"] * 2),
        ("ntp-four-one", "4 NTP servers that agree + 1 NTP at ±900 ms, network 0 ms", 0,
         five("127.7.0"), five("127.7.1"),
         lambda rng, k: skews_four_and_one(rng, k, fine=True), ntp),
        ("chronyd", "chronyd serving the host clock (NTP), network 0 ms", 0, ["127.8.0.1"], [],
         lambda rng, k: ([0], 0), ["ntp"]),
    ]
    return [c for c in classes if with_delays or c[2] == 0]


def previous_arithmetic(conns_by_addr):
    """What the previous program computed from the same answers: per connection the
    answer's seconds minus the moment it was sent (on a symmetric path its half-latency
    compensation cancels the answer's transit), a server's correction the mean of its
    first two samples, the applied value the mean of the servers' corrections, the
    farthest dropped while it is 2000 ms or more from the mean.
    Returns (applied or None, {addr: correction}, dropped)."""
    per = {}
    for addr, conns in conns_by_addr.items():
        samples = [c.value * 1000 - c.sent_ms for c in conns[:2]]
        if samples:
            per[addr] = statistics.fmean(samples)
    kept, dropped = dict(per), 0
    while kept:
        mean = statistics.fmean(kept.values())
        farthest = max(kept, key=lambda a: abs(kept[a] - mean))
        if abs(kept[farthest] - mean) < OUTLIER_LIMIT_MS:
            return mean, per, dropped
        del kept[farthest]
        dropped += 1
    return None, per, dropped


@contextlib.contextmanager
def chronyd_server(addr):
    """A real NTP server for the program: chronyd serving the host clock on ADDR
    port 123 (local stratum 1); -x: it never touches the clock."""
    folder = tempfile.mkdtemp(prefix="qv-chronyd-")
    conf = os.path.join(folder, "chrony.conf")
    with open(conf, "w") as f:
        f.write("local stratum 1\nallow 127.0.0.0/8\nbindaddress %s\nport 123\ncmdport 0\n"
                "driftfile %s/drift\npidfile %s/chronyd.pid\n" % (addr, folder, folder))
    proc = subprocess.Popen([CHRONYD, "-x", "-d", "-u", "root", "-f", conf],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        time.sleep(1.0)  # its socket is bound well within this
        if proc.poll() is not None:
            raise RuntimeError("chronyd ended at once (exit code %s)" % proc.returncode)
        yield proc
    finally:
        if proc.poll() is None:
            proc.terminate()
            try:
                proc.wait(10)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
        shutil.rmtree(folder, True)


def bench_accuracy_class(rig, servers_class, runs, seed):
    if servers_class[0] == "chronyd":
        with chronyd_server(servers_class[3][0]):
            return measure_accuracy_class(rig, servers_class, runs, seed)
    return measure_accuracy_class(rig, servers_class, runs, seed)


def measure_accuracy_class(rig, servers_class, runs, seed):
    key, what, delay, addresses, twins, draw, protocols = servers_class
    rng = random.Random(seed)
    pause = random.Random(seed + 1000)
    ours = [] if key == "chronyd" else addresses  # chronyd's own requests are not logged
    for addr, protocol in zip(ours, protocols):
        rig.serve(addr, protocol=protocol)
    for addr, protocol in zip(twins, protocols):
        rig.serve(addr, kind="chronyd" if protocol == "ntp" else "rdate", protocol=protocol)
    rig.wait_spacing(ours + twins)
    rig.start_program(server_names(addresses, protocols))
    per_run = []
    for k in range(runs):
        skews, truth = draw(rng, k)
        for addr, skew in zip(ours, skews):
            rig.servers[addr].skew_ms = skew
        for addr, skew in zip(twins, skews):
            rig.servers[addr].skew_ms = skew
        rig.wait_spacing(ours)
        if key == "chronyd":
            time.sleep(SPACING_MS / 1000.0)  # the program's last contacts are not logged
        wait_phase((k + rng.random()) / runs)
        run = rig.run(records=True, poll=0.1)
        if run.seen_ms is None:
            per_run.append({"k": k, "skew": truth, "incomplete": True})
            log("accuracy: %s: run %d did not complete" % (key, k))
            continue
        conns = {addr: rig.answers(addr, run.posted_ms, run.seen_ms) for addr in ours}
        # The previous arithmetic knew only the Time Protocol.
        old_applied, old_per, old_dropped = (previous_arithmetic(conns) if set(protocols) == {"tp"}
                                             else (None, {}, 0))
        entry = {"k": k, "skew": truth, "phase_ms": run.posted_ms % 1000,
                 "span_ms": run.span_ms(), "value": run.value, "new": run.value - truth,
                 "old": None if old_applied is None else old_applied - truth,
                 "old_dropped": old_dropped, "servers": []}
        for slot, (addr, skew) in enumerate(zip(addresses, skews)):
            record = run.records.get(slot)
            seen = conns.get(addr, [])
            entry["servers"].append({
                "addr": addr, "skew": skew, "samples": len(seen) if addr in conns else None,
                "gaps": [b.accepted_ms - a.accepted_ms for a, b in zip(seen, seen[1:])],
                "status": None if record is None else record.status,
                "new": (record.correction - skew if record is not None
                        and record.status in (STATUS_GOOD, STATUS_UNUSED) else None),
                "old": old_per[addr] - skew if addr in old_per else None})
        # rdate -p and chronyd -Q read their own servers (same skews) once each, all at
        # once, while the program's servers wait out their spacing. The run ends just
        # after an answer the program aimed at a whole-second edge of the servers'
        # clock; a random pause first keeps the readings from sharing that phase.
        time.sleep(pause.random())
        entry["rdate"] = reference_all(twins, protocols, skews) if twins else [None] * len(skews)
        per_run.append(entry)
    rig.stop_program()
    rig.stop_servers()
    done = [r for r in per_run if not r.get("incomplete")]
    result = {"key": key, "what": what, "delay": delay, "runs": runs,
              "incomplete": runs - len(done), "per_run": per_run}
    log("accuracy: %s: applied error median |e| %s ms"
        % (key, fmt((errors_summary([r["new"] for r in done]) or {}).get("median_abs"))))
    return result


def accuracy_figures(r):
    """{figure: {"rdate"|"old"|"new": errors_summary}} of one class.
    applied: the applied value (rdate: its reading of the first server);
    record: each server's "Correction" (rdate: each reading)."""
    done = [x for x in r["per_run"] if not x.get("incomplete")]
    figures = {"applied": {
        "rdate": errors_summary([x["rdate"][0] for x in done]),
        "old": errors_summary([x["old"] for x in done]),
        "new": errors_summary([x["new"] for x in done])}}
    if r["key"] in ("four-one", "ntp-four-one"):
        groups = {"record, the four": range(4), "record, the one 900 ms off": range(4, 5)}
    elif r["key"] == "mixed-0":
        groups = {"record, Time Protocol": range(3), "record, NTP": range(3, 5)}
    elif len(done) and len(done[0]["servers"]) > 1:
        groups = {"record": range(len(done[0]["servers"]))}
    else:
        groups = {}
    for name, slots in groups.items():
        figures[name] = {
            "rdate": errors_summary([x["rdate"][i] for x in done for i in slots]),
            "old": errors_summary([x["servers"][i]["old"] for x in done for i in slots]),
            "new": errors_summary([x["servers"][i]["new"] for x in done for i in slots])}
    return figures


# What the new arithmetic aims at, per class and figure: median |e| and p95 |e|.
GOALS = {("agree-0", "applied"): "≤ 10 / ≤ 40", ("agree-50", "applied"): "≤ 10 / ≤ 40",
         ("one-0", "applied"): "p95 ≤ 200", ("one-50", "applied"): "p95 ≤ 200",
         ("four-one", "applied"): "all ≤ 40", ("right", "applied"): "all ≤ 40",
         ("ntp-agree-0", "applied"): "p95 ≤ 2", ("ntp-agree-50", "applied"): "p95 ≤ 3",
         ("mixed-0", "applied"): "all ≤ 10", ("ntp-four-one", "applied"): "all ≤ 3"}


def cell(s):
    """median |e| / p95 |e| (mean e)."""
    if not s:
        return "-"
    digits = 1 if s["p95_abs"] < 10 else 0
    return "%s / %s (%s)" % (fmt(s["median_abs"], digits), fmt(s["p95_abs"], digits),
                             fmt(s["mean"], digits))


def report_accuracy(results):
    rows = []
    for r in results:
        for figure, by in accuracy_figures(r).items():
            n = by["new"]["n"] if by["new"] else 0
            small = 1 if by["new"] and by["new"]["p95_abs"] < 10 else 0
            rows.append([r["what"], "%s (%d)" % (figure, n), cell(by["rdate"]), cell(by["old"]),
                         cell(by["new"]),
                         "%s / %s" % (fmt(by["new"]["min"], small), fmt(by["new"]["max"], small))
                         if by["new"] else "-", GOALS.get((r["key"], figure), "")])
    text = table(["servers", "figure (count)", "rdate -p / chronyd -Q", "previous arithmetic", "new",
                  "new: smallest / largest error", "goal"], rows)
    notes = [
        "Error ms = measured correction - true skew; each cell: median |error| / 95th "
        "percentile of |error| (nearest rank) (mean error, the bias).",
        "Skews change from run to run: whole seconds in -3..+3 plus a random fraction, so "
        "the servers' whole-second edges fall at a new phase of the local second every time; "
        "runs are posted at phases spread evenly over the second, once the servers' last "
        "connections are %d ms old." % SPACING_MS,
        "applied: \"LastCorrectionValue\"; record: each server's \"Correction\". For the four "
        "plus one, the truth of the applied value is the four's skew.",
        "rdate -p: one reading of its own servers (same skews, same network) after each run, "
        "at a random phase: the whole seconds it printed minus the host clock when its line arrived (what "
        "`rdate -s` would have set); its applied figure is its reading of the first server.",
    ]
    ntp_notes = [
        "NTP servers are named HOST:123 in the program's list; their skews have microseconds "
        "(e.g. +1234.567 ms), and \"LastCorrectionValue\" is whole ms, so half a ms of every "
        "applied error is rounding. chronyd -Q (chrony %s; query only, never sets the clock, "
        "one sample of each twin, all twins at once) stands beside the program as rdate -p "
        "does for the Time Protocol; in the mixed list, rdate reads the Time Protocol twins "
        "and chronyd the NTP ones. The previous arithmetic knew only the Time Protocol."
        % CHRONY_VERSION,
        "chronyd: a real chronyd (`local stratum 1`, started with -x) serving the host clock "
        "on a loopback address; the truth is 0.",
    ]
    previous = ("previous arithmetic: from the servers' logs of the same run: per connection the "
                "answer's seconds minus its send time, a server's correction the mean of its first "
                "two samples, the applied value their mean with the farthest dropped while it is "
                "%d ms or more from the mean." % OUTLIER_LIMIT_MS)
    if any(is_ntp_class(r["key"]) for r in results):
        notes += ntp_notes
    else:
        notes.insert(3, previous)
    right = [x for r in results if r["key"] == "right" for x in r["per_run"]
             if not x.get("incomplete")]
    if right:
        notes.append("The clock that is already right, %d runs in a row: applied corrections "
                     "%s ms (previous arithmetic: %s)."
                     % (len(right), ", ".join("%+d" % x["value"] for x in right),
                        ", ".join("%+.0f" % x["old"] for x in right if x["old"] is not None)))
    shifts = [x["old"] - statistics.fmean(v["old"] for v in x["servers"][:4])
              for r in results if r["key"] == "four-one" for x in r["per_run"]
              if not x.get("incomplete") and x["old"] is not None
              and all(v["old"] is not None for v in x["servers"][:4])]
    if shifts:
        notes.append("The server 900 ms off moved the previous arithmetic's mean by %s ms "
                     "(median of |shift| over %d runs)."
                     % (fmt(statistics.median(abs(v) for v in shifts)), len(shifts)))
    excluded = sum(1 for r in results for x in r["per_run"] if not x.get("incomplete")
                   for s in x["servers"] if s["status"] == STATUS_UNUSED)
    bad = sum(1 for r in results for x in r["per_run"] if not x.get("incomplete")
              for s in x["servers"] if s["status"] not in (STATUS_GOOD, STATUS_UNUSED))
    samples = [s["samples"] for r in results for x in r["per_run"] if not x.get("incomplete")
               for s in x["servers"] if s["samples"] is not None]
    gaps = [g for r in results for x in r["per_run"] if not x.get("incomplete")
            for s in x["servers"] for g in s["gaps"]]
    spans = [x["span_ms"] for r in results for x in r["per_run"] if not x.get("incomplete")]
    notes.append("Servers dropped as outliers by the program: %d; records not good: %d; runs "
                 "that did not complete: %d. Samples per server and run: %s; gap between a "
                 "server's samples %s ms; run span %s ms (min / median / max)."
                 % (excluded, bad, sum(r["incomplete"] for r in results), fmt_mmm(summary(samples)),
                    fmt_mmm(summary(gaps)), fmt_mmm(summary(spans))))
    return text + "\n\n" + "\n".join("- " + n for n in notes)


def plot_accuracy(results, path):
    """CDFs of |applied error| for 5 agreeing servers, one panel per network delay:
    rdate -p, the previous arithmetic and the new one, and of the new records.
    Returns False without matplotlib."""
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        import matplotlib.ticker
    except ImportError:
        log("no matplotlib: no plot")
        return False
    panels = [r for r in results if r["key"] in ("agree-0", "agree-50")]
    if not panels:
        return False
    fig, axes = plt.subplots(1, len(panels), figsize=(5.2 * len(panels), 3.9), squeeze=False,
                             sharey=True)
    styles = [("new", "new", "#1f77b4", "-"), ("old", "previous arithmetic", "#ff7f0e", "--"),
              ("rdate", "rdate -p", "#7f7f7f", ":")]
    for ax, r in zip(axes[0], panels):
        done = [x for x in r["per_run"] if not x.get("incomplete")]
        curves = [([x["rdate"][0] if key == "rdate" else x[key] for x in done],
                   label, colour, style, 2) for key, label, colour, style in styles]
        curves.insert(1, ([s["new"] for x in done for s in x["servers"]],
                          "new, one server's record", "#1f77b4", "-.", 1))
        for errors, label, colour, style, width in curves:
            values = sorted(max(1.0, abs(e)) for e in errors if e is not None)
            if not values:
                continue
            ys = [(i + 1) / len(values) for i in range(len(values))]
            ax.step([values[0]] + values, [0.0] + ys, where="post", color=colour,
                    linestyle=style, linewidth=width, label=label)
        ax.axvline(10, color="#bbbbbb", linewidth=0.8)
        ax.axvline(40, color="#bbbbbb", linewidth=0.8)
        ax.set_xscale("log")
        ax.set_xlim(1, 2000)  # errors under 1 ms are drawn at 1
        ax.xaxis.set_major_formatter(matplotlib.ticker.FormatStrFormatter("%d"))
        ax.set_ylim(0, 1.02)
        ax.set_xlabel("|error|, ms (log scale; lines at 10 and 40)")
        ax.set_title("5 agreeing servers, %d ms each way (%d runs)" % (r["delay"], len(done)),
                     fontsize=10)
        ax.grid(True, which="major", alpha=0.3)
    axes[0][0].set_ylabel("share with at most this error")
    handles, labels = axes[0][0].get_legend_handles_labels()
    fig.legend(handles, labels, loc="lower center", ncol=4, fontsize=9, frameon=False)
    fig.tight_layout(rect=(0, 0.07, 1, 1))
    fig.savefig(path, dpi=100)
    plt.close(fig)
    return True

# ---- section: the clock between corrections -----------------------------------------

def bench_discipline():
    """The simulation's table (bench/discipline_bench.cpp) and one week's trace at
    78 ppm, hourly, NTP, with a resume and an outage, kept every 5 minutes."""
    program = os.environ["QV_DISCIPLINE_BENCH"]
    figures = json.loads(subprocess.run([program], capture_output=True, text=True, check=True).stdout)
    trace = {"disciplined": [], "stepping": []}
    lines = subprocess.run([program, "--trace"], capture_output=True, text=True, check=True).stdout
    for line in lines.splitlines()[1:]:
        seconds, error, mode = line.split(",")
        if int(float(seconds)) % 300 == 0:
            trace[mode].append((float(seconds), float(error)))
    return {"table": figures["week"], "estimates": figures["estimates"], "worlds": figures.get("worlds", []),
            "trace": trace}


def report_discipline(r):
    def cell(interval, drift, protocol, mode):
        for x in r["table"]:
            if (x["interval_s"], x["drift_ppm"], x["protocol"], x["mode"]) == (interval, drift, protocol, mode):
                return "%s / %s" % (fmt(x["max_ms"], 1), fmt(x["rms_ms"], 1))
        return "-"
    names = {300: "5 minutes", 3600: "hourly", 86400: "daily"}
    rows = []
    for interval in (300, 3600, 86400):
        for drift in (10, 78, 450):
            rows.append([names[interval], "%d ppm" % drift]
                        + [cell(interval, drift, p, m) for p in ("NTP", "Time Protocol")
                           for m in ("disciplined", "stepping")])
    estimates = [[e["case"], "%+.1f" % (e["crystal_ppb"] / 1000), "%+.1f" % (e["estimate_ppb"] / 1000),
                  "%.1f" % (abs(e["estimate_ppb"] - e["crystal_ppb"]) / 1000), "yes" if e["known"] else "no"]
                 for e in r.get("estimates", [])]
    def world_cell(world, interval, protocol, mode):
        for x in r.get("worlds", []):
            if (x["world"], x["interval_s"], x["protocol"], x["mode"]) == (world, interval, protocol, mode):
                return "%s / %s" % (fmt(x["max_ms"], 1), fmt(x["rms_ms"], 1))
        return "-"
    world_names = {}
    for x in r.get("worlds", []):
        world_names[x["world"]] = x["name"]
    world_rows = [[world_names[w], names[interval]]
                  + [world_cell(w, interval, p, m) for p in ("NTP", "Time Protocol")
                     for m in ("disciplined", "stepping")]
                  for w in sorted(world_names) for interval in (300, 3600)]
    worlds = ("\n\nThe same week at 78 ppm in each part of the real world alone and in all of them "
              "together (largest / RMS error in ms, days 2 to 7): settings whose read-back fails, 1 in "
              "1000 (the system keeps what it had, and the rate counts as not kept until the next run); "
              "runs of 8.5 s that hold the slew; internet-like errors (1.5 ms of noise and an asymmetry "
              "walking within ±3 ms, inside the interval each run's round trip proves); the crystal 4 ppm "
              "faster for 3 h twice a day; the program killed in the middle of a slew at day 2.5 and "
              "started an hour later (the rate stays as last set meanwhile, slew included); Windows Time "
              "setting the nominal rate for ten minutes at day 2.7 and leaving it; another session's "
              "instance stepping the clock at days 2.3, 4.6 and 6.1:\n\n"
              + table(["world", "schedule", "NTP, disciplined", "NTP, stepping only",
                       "Time Protocol, disciplined", "Time Protocol, stepping only"], world_rows)
              if world_rows else "")
    return ("Largest / RMS error in ms over days 2 to 7 of a simulated week (a resume's "
            "first seconds aside), the crystal swinging 3 ppm with the day and wandering:\n\n"
            + table(["schedule", "crystal", "NTP, disciplined", "NTP, stepping only",
                     "Time Protocol, disciplined", "Time Protocol, stepping only"], rows)
            + worlds
            + "\n\nThe drift estimate at the end of runs that step, against the crystal's rate then "
              "(ppm; the sign of \"DriftPpb\": positive gains):\n\n"
            + table(["runs", "crystal", "estimate", "off by", "written"], estimates))


def plot_discipline(r, path):
    """One week's error at 78 ppm, hourly NTP runs: stepping only against the
    disciplined clock, which a second panel shows at its own scale."""
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        log("no matplotlib: no plot")
        return False
    fig, axes = plt.subplots(2, 1, figsize=(9, 5.6), sharex=True)
    for mode, colour in (("stepping", "#ff7f0e"), ("disciplined", "#1f77b4")):
        xs = [s / 86400 for s, _ in r["trace"][mode]]
        ys = [e for _, e in r["trace"][mode]]
        axes[0].plot(xs, ys, color=colour, linewidth=0.8, label="stepping only" if mode == "stepping" else mode)
        if mode == "disciplined":
            axes[1].plot(xs, ys, color=colour, linewidth=0.8)
    axes[0].set_ylim(-400, 100)
    axes[0].set_ylabel("error, ms")
    axes[0].legend(loc="lower right", fontsize=9)
    axes[0].set_title("A week at 78 ppm with hourly NTP runs (a resume 2 s off at day 3.5, "
                      "5 minutes without servers at day 4.5)", fontsize=10)
    axes[1].set_ylim(-15, 15)
    axes[1].set_ylabel("disciplined, ms")
    axes[1].set_xlabel("days")
    for ax in axes:
        ax.grid(True, alpha=0.3)
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)
    return True

# ---- section: idle cost and endurance ------------------------------------------------

def endurance_servers():
    """The 50 slots: (name in the list, address the server listens on or None when
    nothing listens, server options). Slots 40..44 answer now and turn silent
    later, 45..49 turn accept-and-close later."""
    named = {13: ("alpha.test", "127.0.0.21"), 14: ("bravo.test", "127.0.0.22"),
             15: ("charlie.test", "127.0.0.23")}  # tests/e2e/hosts
    plan = []
    for i in range(50):
        addr = "127.0.3.%d" % (i + 1)
        if i in named:
            plan.append((named[i][0], named[i][1], {"mode": "answer", "skew_ms": 500}))
        elif i < 16 or i >= 40:
            plan.append((addr, addr, {"mode": "answer", "skew_ms": 500}))
        elif i < 24:
            plan.append((addr, addr, {"mode": "delay", "delay_ms": 50, "skew_ms": 500}))
        elif i < 30:
            plan.append((addr, addr, {"mode": "short", "short_bytes": 1 + i % 3}))
        elif i < 36:
            plan.append((addr, addr, {"mode": "long", "skew_ms": 500}))
        elif i < 39:
            plan.append((addr, None, None))
        else:
            plan.append(("nosuch.test", None, None))  # a name that does not resolve
    return plan


def sample(rig, label, runs_done, with_handles=True):
    wsp = wineserver_pid(rig.prefix)
    return {"at": label, "runs": runs_done, "rss_kb": rig.proc.rss_kb(), "anon_kb": rig.proc.anon_kb(),
            "fds": rig.proc.fds(), "threads": rig.proc.threads(),
            "handles": rig.win32_handles() if with_handles else None,
            "wineserver_fds": LinuxProcess(wsp).fds() if wsp else None}


def idle(rig, seconds):
    """CPU time over `seconds` of doing nothing, and wake-ups: the 100 ms windows in
    which any thread of the process was switched in (one wake-up of the message
    loop costs several switches, one per wineserver request it makes)."""
    wsp = wineserver_pid(rig.prefix)
    server = LinuxProcess(wsp) if wsp else None
    cpu0, sw0 = rig.proc.cpu_ns(), rig.proc.switches()
    srv0 = server.cpu_ns() if server else 0
    wakeups, last = 0, sw0
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        time.sleep(0.1)
        now = rig.proc.switches()
        wakeups += now > last
        last = now
    return {"seconds": seconds, "cpu_ms": (rig.proc.cpu_ns() - cpu0) / 1e6,
            "switches": rig.proc.switches() - sw0, "wakeups": wakeups,
            "wineserver_cpu_ms": (server.cpu_ns() - srv0) / 1e6 if server else None}


def bench_endurance(rig, prompt_runs, deadline_runs, idle_s, idle_after_s):
    plan = endurance_servers()
    for _, addr, options in plan:
        if addr is not None:
            rig.serve(addr, **options)
    rig.start_program([name for name, _, _ in plan])
    time.sleep(5)  # let start-up settle
    samples = [sample(rig, "after start", 0)]
    idle_first = idle(rig, idle_s)
    log("idle: %.1f ms CPU in %d s" % (idle_first["cpu_ms"], idle_s))

    spans, incomplete, status_counts = [], 0, {}
    started = time.monotonic()
    for n in range(1, prompt_runs + 1):
        run = rig.run(timeout=90, records=(n == prompt_runs), poll=0.05)
        if run.seen_ms is None:
            incomplete += 1
        else:
            spans.append(run.span_ms())
        if not rig.alive():
            raise RuntimeError("quorvel.exe ended after %d runs" % n)
        if n == 1 or n % 10 == 0 or n == prompt_runs:
            samples.append(sample(rig, "after %d runs" % n, n))
            log("endurance: %d runs, RSS %s kB" % (n, samples[-1]["rss_kb"]))
        if n == prompt_runs:
            for record in run.records.values():
                status_counts[record.status] = status_counts.get(record.status, 0) + 1
    prompt_wall = time.monotonic() - started

    # Now the slow kinds too: silent servers and servers that accept and close.
    for _, addr, _ in plan[40:45]:
        rig.servers[addr].mode = "silent"
    for _, addr, _ in plan[45:50]:
        rig.servers[addr].mode = "close"
    deadline_spans, deadline_statuses, deadline_cpu = [], {}, []
    for n in range(1, deadline_runs + 1):
        run = rig.run(timeout=180, records=True, cpu_window=(5, 15), poll=0.05)
        if run.seen_ms is None:
            incomplete += 1
        else:
            deadline_spans.append(run.span_ms())
            deadline_cpu.append(run.window_cpu_ms_per_s)
        for record in run.records.values():
            deadline_statuses[record.status] = deadline_statuses.get(record.status, 0) + 1
        if not rig.alive():
            raise RuntimeError("quorvel.exe ended in a deadline run")
    samples.append(sample(rig, "after %d + %d runs" % (prompt_runs, deadline_runs),
                          prompt_runs + deadline_runs))
    # The silent servers' connections were closed by the client at the deadline;
    # let them go before looking at the idle program again.
    for _, addr, _ in plan[40:50]:
        rig.servers[addr].mode = "answer"
    idle_after = idle(rig, idle_after_s)
    samples.append(sample(rig, "idle again", prompt_runs + deadline_runs))
    alive = rig.alive()
    rig.stop_program()
    rig.stop_servers()
    return {"prompt_runs": prompt_runs, "deadline_runs": deadline_runs, "incomplete": incomplete,
            "alive": alive, "prompt_span": summary(spans), "prompt_wall_s": prompt_wall,
            "deadline_span": summary(deadline_spans), "statuses": status_counts,
            "deadline_cpu_ms_per_s": summary(deadline_cpu),
            "deadline_statuses": deadline_statuses, "samples": samples,
            "idle": idle_first, "idle_after": idle_after}


STATUS_NAMES = {STATUS_GOOD: "good", STATUS_NO_RESPONSE: "no response", STATUS_REFUSED: "refused",
                STATUS_NO_DNS: "no DNS",
                STATUS_SLOW_RESPONSE: "slow response", STATUS_UNUSED: "unused"}


def report_endurance(r):
    def per_minute(x, seconds):
        return x * 60.0 / seconds
    i0, i1 = r["idle"], r["idle_after"]
    idle_rows = [[label, "%d s" % i["seconds"], fmt(i["cpu_ms"], 1),
                  fmt(per_minute(i["cpu_ms"], i["seconds"]), 1),
                  fmt(per_minute(i["wakeups"], i["seconds"]), 1),
                  fmt(per_minute(i["switches"], i["seconds"])), fmt(i["wineserver_cpu_ms"], 1)]
                 for label, i in (("hidden, after start", i0), ("hidden, after all runs", i1))]
    text = table(["idle", "measured over", "CPU ms (quorvel.exe)", "CPU ms per minute",
                  "wake-ups per minute", "context switches per minute", "wineserver CPU ms"],
                 idle_rows)
    rows = [[s["at"], s["rss_kb"], s["anon_kb"], s["fds"], s["handles"] if s["handles"] is not None else "-",
             s["threads"], s["wineserver_fds"]] for s in r["samples"]]
    text += "\n\n" + table(["moment", "RSS kB", "anonymous kB", "descriptors", "Win32 handles",
                            "threads", "wineserver descriptors"], rows)

    def statuses(counts):
        counts = {int(k): v for k, v in counts.items()}  # JSON keeps the keys as text
        return ", ".join("%s %d" % (STATUS_NAMES.get(k, str(k)), v) for k, v in sorted(counts.items()))
    notes = [
        "%d runs against 50 servers (23 good, 3 of them by host name; 8 answering after 50 ms; "
        "6 sending 1 to 3 bytes; 6 sending 8 bytes; 3 refused; 1 name that does not resolve; "
        "10 more good ones), each posted as soon as the one before had ended, took %.0f s, "
        "run span %s ms (min / median / max): a run's first connection to a server waits "
        "until the run before's last one is %d ms old; statuses after the last: %s."
        % (r["prompt_runs"], r["prompt_wall_s"], fmt_mmm(r["prompt_span"]), SPACING_MS,
           statuses(r["statuses"])),
        "Then %d runs with those 10 servers silent (5) or accepting and closing at once (5): "
        "span %s ms; quorvel.exe used %s ms CPU per second while such a run waited for its "
        "deadline (from 5 to 15 s into the run); statuses over those runs: %s."
        % (r["deadline_runs"], fmt_mmm(r["deadline_span"]),
           fmt(r["deadline_cpu_ms_per_s"]["median"], 2) if r["deadline_cpu_ms_per_s"] else "-",
           statuses(r["deadline_statuses"])),
        "Runs that did not complete: %d; quorvel.exe still running at the end: %s."
        % (r["incomplete"], "yes" if r["alive"] else "NO"),
        "CPU: the scheduler's run time of every thread of the Linux process that runs "
        "quorvel.exe (/proc/PID/task/*/schedstat). Wake-ups: 100 ms windows in which it was "
        "switched in at all; one wake-up of the hidden window's 10 s clock tick makes several "
        "context switches, one per wineserver request. The wineserver also serves this "
        "prefix's other Wine processes (explorer, qvctl).",
        "Descriptors: /proc/PID/fd of that process; Win32 handles: the process's entries in "
        "the system handle table (bench/handle_count.exe).",
    ]
    return text + "\n\n" + "\n".join("- " + n for n in notes)


# ---- gaps between connections to one address ------------------------------------------

def report_spacing(spacing):
    def line(g, who):
        return ("%s: %d connections to %d addresses, smallest gap between two connections to "
                "one address %s ms, gaps under %d ms: %d"
                % (who, g["connections"], g["addresses"], fmt(g["smallest_ms"]), SPACING_MS,
                   g["violations"]))
    notes = [line(spacing["program"], "quorvel.exe's servers (an NTP request counts as a "
                  "connection)"), line(spacing["rdate"], "rdate's servers")]
    if "chronyd" in spacing:
        notes.append(line(spacing["chronyd"], "chronyd -Q's servers"))
    notes += [
             "From the servers' logs (accept times, host clock) over every section of this "
             "benchmark; the bench itself starts a program or a class only once the addresses' "
             "last connections are %d ms old, so any gap under that is the program's." % SPACING_MS]
    return "\n".join("- " + n for n in notes)


# ---- main -------------------------------------------------------------------------

def load_average():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def is_ntp_class(key):
    return key.startswith(("ntp-", "mixed-")) or key == "chronyd"


def lane_plan(sections, quick, with_delays):
    """Lists of (result name, measure(rig)) that run one after another in one lane;
    the lanes run side by side. Balanced to about the same length each."""
    runs = 3 if quick else 20
    classes = {c[0]: c for c in accuracy_classes(with_delays)}

    def acc(key, n, seed):
        return ("accuracy:" + key, lambda rig: bench_accuracy_class(rig, classes[key], n, seed))
    lanes = [[], [], [], []]
    if "accuracy" in sections:
        lanes[0] += [acc(k, runs, i) for i, k in enumerate(("agree-0", "four-one"))
                     if k in classes]
        lanes[1] += [acc(k, runs if k != "right" else (3 if quick else 10), 10 + i)
                     for i, k in enumerate(("agree-50", "right")) if k in classes]
        lanes[2] += [acc(k, runs, 20 + i) for i, k in enumerate(("one-0", "one-50"))
                     if k in classes]
    if "ntp" in sections:
        lanes[0] += [acc("ntp-agree-0", runs, 30)]
        if "ntp-agree-50" in classes:
            lanes[1] += [acc("ntp-agree-50", runs, 31)]
        lanes[2] += [acc("mixed-0", runs, 32)]
        lanes[3] += [acc("ntp-four-one", runs, 33), acc("chronyd", 3 if quick else 10, 34)]
    last = []
    if "span" in sections:
        last.append(("span", lambda rig: bench_span(rig, runs=1 if quick else 5)))
    if "endurance" in sections:
        last.append(("endurance", lambda rig: bench_endurance(
            rig, prompt_runs=3 if quick else 20, deadline_runs=1 if quick else 2,
            idle_s=10 if quick else 60, idle_after_s=10 if quick else 30)))
    if last:
        lanes.append(last)
    return [lane for lane in lanes if lane]


def run_lanes(lanes):
    """Runs the lanes side by side, each with its own prefix and rig; returns
    ({name: result}, {name: error}, {name: seconds})."""
    results, errors, timings = {}, {}, {}
    prefixes = [os.environ["WINEPREFIX"]] + [copy_prefix(i) for i in range(1, len(lanes))]

    def lane(number, plan):
        try:
            rig = Rig(prefixes[number])
        except Exception as e:
            for name, _ in plan:
                errors[name] = "no rig: %s: %s" % (type(e).__name__, e)
            return
        try:
            for name, measure in plan:
                t = time.monotonic()
                try:
                    results[name] = measure(rig)
                except Exception as e:  # report what was measured, and the failure
                    errors[name] = "%s: %s" % (type(e).__name__, e)
                    log("%s FAILED: %s" % (name, errors[name]))
                    rig.stop_program()
                    rig.stop_servers()
                timings[name] = time.monotonic() - t
        finally:
            rig.close()
    threads = [threading.Thread(target=lane, args=(i, plan), name="lane %d" % i)
               for i, plan in enumerate(lanes)]
    try:
        for t in threads:
            t.start()
            time.sleep(1.0)  # stagger the Wine start-ups a little
        for t in threads:
            t.join()
    finally:
        for prefix in prefixes[1:]:
            end_prefix(prefix)
    return results, errors, timings


def inside(args):
    sections = args.sections.split(",")
    quick = args.quick
    out = {"started": time.strftime("%Y-%m-%d %H:%M:%S UTC", time.gmtime()),
           "load_before": load_average(), "cpus": os.cpu_count(), "quick": quick,
           "sandbox": os.environ.get("QV_SANDBOX", "none")}
    wine = subprocess.run(["wine", "--version"], capture_output=True, text=True)
    out["wine"] = wine.stdout.strip()
    rdate = subprocess.run(["dpkg-query", "-W", "-f=${Version}", "rdate"], capture_output=True,
                           text=True)
    out["rdate"] = rdate.stdout.strip()
    begun = time.monotonic()
    delays = None
    with_delays = out["sandbox"] != "none" and ("accuracy" in sections or "ntp" in sections)
    try:
        if with_delays:
            delays = DelayQueues().start()
        lanes = lane_plan(sections, quick, with_delays)
        out["lanes"] = [[name for name, _ in lane] for lane in lanes]
        results, errors, timings = run_lanes(lanes)
    finally:
        if delays:
            delays.stop()
    if "discipline" in sections:
        try:
            out["discipline"] = bench_discipline()
        except (OSError, KeyError, subprocess.CalledProcessError, ValueError) as e:
            errors["discipline"] = "%s: %s" % (type(e).__name__, e)
    if "span" in results:
        out["span"] = results["span"]
    if "endurance" in results:
        out["endurance"] = results["endurance"]
    accuracy = [results[k] for k in results if k.startswith("accuracy:")]
    order = [c[0] for c in accuracy_classes(True)]
    accuracy.sort(key=lambda r: order.index(r["key"]))
    for section, rs in (("accuracy", [r for r in accuracy if not is_ntp_class(r["key"])]),
                        ("ntp", [r for r in accuracy if is_ntp_class(r["key"])])):
        if rs:
            out[section] = rs
    out["chrony"] = CHRONY_VERSION
    out["spacing"] = {kind: CONNECTIONS.gaps(kind) for kind in ("program", "rdate", "chronyd")}
    out["errors"] = errors
    out["timings_s"] = timings
    out["total_s"] = time.monotonic() - begun
    out["load_after"] = load_average()
    return render(out, args, sections)


def render(out, args, sections):
    """Prints the report, keeps it (report.md, results.json, accuracy.png) in args.out
    and, after a full run without failures, copies the plot to docs/."""
    quick, errors = out["quick"], out["errors"]
    if args.out:
        os.makedirs(args.out, exist_ok=True)
    parts = ["Quorvel benchmarks, %s; %s CPUs, load average %s before and %s after; %s; rdate %s; "
             "chrony %s; network namespace: %s; %.0f s in %d lanes side by side.%s"
             % (out["started"], out["cpus"], out["load_before"], out["load_after"], out["wine"],
                out["rdate"], out.get("chrony", "-"), out["sandbox"], out["total_s"], len(out["lanes"]),
                " QUICK (small counts)." if quick else "")]
    if "span" in out:
        parts.append("### Run span\n\n" + report_span(out["span"]))
    if "accuracy" in out:
        parts.append("### Accuracy\n\n" + report_accuracy(out["accuracy"]))
        if args.out and plot_accuracy(out["accuracy"], os.path.join(args.out, "accuracy.png")):
            parts.append("Plot: accuracy.png beside this report.")
            full = not quick and all(s in sections for s in SECTIONS)
            if full and not errors:
                shutil.copyfile(os.path.join(args.out, "accuracy.png"),
                                os.path.join(HERE, "..", "docs", "accuracy.png"))
    if "ntp" in out:
        parts.append("### Accuracy with NTP servers\n\n" + report_accuracy(out["ntp"]))
    if "endurance" in out:
        parts.append("### Idle cost and endurance\n\n" + report_endurance(out["endurance"]))
    if "discipline" in out:
        parts.append("### The clock between corrections (simulated)\n\n" + report_discipline(out["discipline"]))
        if args.out and plot_discipline(out["discipline"], os.path.join(args.out, "discipline.png")):
            parts.append("Plot: discipline.png beside this report.")
            # The simulation does not depend on the machine: any full-size run serves.
            if not quick and "discipline" not in errors:
                shutil.copyfile(os.path.join(args.out, "discipline.png"),
                                os.path.join(HERE, "..", "docs", "discipline.png"))
    parts.append("### Spacing of connections to one server\n\n"
                 + report_spacing(out["spacing"]))
    for name, error in errors.items():
        parts.append("**%s failed:** %s" % (name, error))
    report = "\n\n".join(parts) + "\n"
    print(report)
    if args.out:
        os.makedirs(args.out, exist_ok=True)
        with open(os.path.join(args.out, "report.md"), "w") as f:
            f.write(report)
        with open(os.path.join(args.out, "results.json"), "w") as f:
            json.dump(out, f, indent=1, default=str)
    return 1 if errors else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--inside", action="store_true")
    parser.add_argument("--again", metavar="RESULTS_JSON",
                        help="only write the report and plot again from an earlier run's figures")
    parser.add_argument("--quick", action="store_true", help="small counts, for trying it out")
    parser.add_argument("--sections", default=",".join(SECTIONS))
    parser.add_argument("--out", default=None)
    args = parser.parse_args()
    if args.again:
        with open(args.again) as f:
            out = json.load(f)
        sections = [s for s in SECTIONS if s in out]
        if out["errors"] or len(sections) < len(SECTIONS):
            sections = []  # not a full run: the plot stays out of docs/
        return render(out, args, sections)
    if not args.inside:
        parser.error("runs only inside tests/with-wine.sh (bench/measure); or --again")
    return inside(args)


if __name__ == "__main__":
    sys.exit(main())
