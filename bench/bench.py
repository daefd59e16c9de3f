#!/usr/bin/env python3
"""Benchmarks of quorvel.exe under Wine, side by side with `rdate -p`.

Started by bench/run inside tests/with-wine.sh: a private Wine prefix copy, its own
X display and a network namespace with only loopback. All time servers are
tests/e2e/timeserver.py servers on 127.x.y.z port 37; the program always gets a
seeded loopback server list and "Schedule" 0. rdate is only ever run as
`rdate -p` (print, never set).

Sections (each prints a table; all of them together form the report):
  span        correcting-run span for 1, 10 and 50 servers, instant and held answers
  accuracy    error of each record's correction and of the applied correction
              against the servers' true skews, behind 0/50/400 ms network delays
              (NFQUEUE + bench/nfq_delay) and with servers that hold their answer
  endurance   idle CPU and wake-ups while hidden, memory, descriptors and handles
              over 200 prompt runs and 5 runs that end at the 20 s deadline

  bench.py --inside [--quick] [--sections span,accuracy,endurance] [--out DIR]
"""
import argparse
import calendar
import glob
import json
import os
import random
import statistics
import subprocess
import sys
import threading
import time

from harness import (IDC_SYNCHRONIZE, RUN_KEY, RUN_VALUE, SETTINGS_KEY, STATUS_GOOD,
                     STATUS_NO_DNS,
                     STATUS_NO_RESPONSE, STATUS_REFUSED, STATUS_SLOW_RESPONSE, STATUS_UNUSED,
                     UNINSTALL_KEY, WM_COMMAND, Ctl, Quorvel, Settings)
from timeserver import EPOCH_1900_TO_1970_S, TimeServer, now_ms1900

HERE = os.path.dirname(os.path.abspath(__file__))

# Network delay classes: every packet to or from port 37 of these addresses is held
# this long in each direction by nfq_delay (queue number = index + 1).
DELAYED_NETS = [("127.50.0.0/16", 50), ("127.40.0.0/16", 400)]

# Skews of the accuracy servers: one whole second and three fractions, all within
# one second so that no reading can be excluded as an outlier (2000 ms) and the
# applied correction has a plain truth, the mean of the four.
ACCURACY_SKEWS = [1000, 1250, 1500, 1750]
AGREEING_SKEW = 1000


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


def wineserver_pid():
    """The wineserver of this sandbox's own prefix."""
    prefix = ("WINEPREFIX=" + os.environ["WINEPREFIX"]).encode()
    for d in glob.glob("/proc/[0-9]*"):
        try:
            with open(d + "/cmdline", "rb") as f:
                cmd = f.read()
            if b"wineserver" not in cmd.split(b"\0")[0]:
                continue
            with open(d + "/environ", "rb") as f:
                if prefix in f.read().split(b"\0"):
                    return int(d.rsplit("/", 1)[1])
        except OSError:
            continue
    return None


# ---- the rig: time servers, the program, runs ------------------------------------

class Run:
    """One correcting run seen from outside."""

    def __init__(self, posted_ms, post_return_ms):
        self.posted_ms = posted_ms          # just before the command was handed to qvctl
        self.post_return_ms = post_return_ms
        self.seen_ms = None                 # when "LastCorrectionValue" was seen again
        self.applied_at_ms = None           # the program's clock when it applied the mean
        self.value = None                   # "LastCorrectionValue"
        self.records = {}
        self.cpu_ms = None                  # quorvel.exe's CPU time meanwhile
        self.window_cpu_ms_per_s = None
        self.wineserver_cpu_ms = None

    def span_ms(self):
        """Command to completion: the program's own clock at the consensus when the
        clock step was accepted ("LastCorrectionTime" - "LastCorrectionValue"),
        otherwise the moment the stored value was seen (10 ms polling)."""
        end = self.applied_at_ms if self.applied_at_ms is not None else self.seen_ms
        return None if end is None else end - self.posted_ms


class Rig:
    def __init__(self):
        self.ctl = Ctl(reply_timeout=120)
        self.settings = Settings(self.ctl)
        self.program = None
        self.hwnd = 0
        self.proc = None
        self.wineserver = None
        self.startup_s = None
        self.servers = {}

    # -- servers --

    def serve(self, addr, **options):
        self.unserve(addr)
        self.servers[addr] = TimeServer(addr, **options).start()
        return self.servers[addr]

    def unserve(self, addr):
        server = self.servers.pop(addr, None)
        if server:
            server.stop()

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
                return [c for c in conns if c.sent_ms is not None]
            time.sleep(0.01)

    # -- the program --

    def start_program(self, addresses):
        self.stop_program()
        self.ctl.reg_delete_key(SETTINGS_KEY)
        self.ctl.reg_delete_value(RUN_KEY, RUN_VALUE)
        self.ctl.reg_delete_key(UNINSTALL_KEY)
        self.settings.set_dword("Schedule", 0)      # never a scheduled run
        self.settings.seed_servers(addresses)       # loopback servers only
        started = time.monotonic()
        self.program = Quorvel(self.ctl)
        self.hwnd = self.program.wait_window(90)  # returns once start-up is over
        self.startup_s = time.monotonic() - started
        wsp = wineserver_pid()
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
        for _ in range(3):  # a Wine process start now and then fails under load
            out = subprocess.run(["wine", exe, str(self.program.wine_pid)], capture_output=True,
                                 text=True, timeout=60)
            try:
                return int(out.stdout.split()[1])
            except (IndexError, ValueError):
                log("handle count failed (%d): %s" % (out.returncode, out.stderr.strip()[-200:]))
        return None

    def run(self, timeout=180.0, records=False, cpu_window=None):
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
            time.sleep(0.01)
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


def rdate_sweep(addresses):
    """rdate -p on each address, one after another: total wall time in ms, failures."""
    start = time.monotonic()
    failed = 0
    for addr in addresses:
        value, _, _ = rdate_read(addr)
        failed += value is None
    return (time.monotonic() - start) * 1000.0, failed


# ---- section: run span -------------------------------------------------------------

def bench_span(rig, runs, rdate_runs_held):
    """Run span for 1, 10 and 50 servers, answers instant and held 100 ms."""
    results = []
    variants = [("instant", {"mode": "answer"}), ("held 100 ms", {"mode": "delay", "delay_ms": 100})]
    for count in (1, 10, 50):
        addresses = ["127.0.0.%d" % (i + 1) for i in range(count)]
        for addr in addresses:
            rig.serve(addr, skew_ms=500)  # +500: the applied step stays under Wine's 0.5 s
        rig.start_program(addresses)
        first = rig.run()
        first_span = first.span_ms()
        for label, options in variants:
            for addr in addresses:
                server = rig.servers[addr]
                server.mode = options["mode"]
                server.delay_ms = options.get("delay_ms", 0)
            spans, first_accepts, last_sents, slowest, serial, exact = [], [], [], [], [], 0
            cpu, server_cpu = [], []
            for _ in range(runs):
                time.sleep(0.2)
                run = rig.run()
                if run.seen_ms is None:
                    raise RuntimeError("a %d-server run did not complete" % count)
                exact += run.applied_at_ms is not None
                spans.append(run.span_ms())
                cpu.append(run.cpu_ms)
                server_cpu.append(run.wineserver_cpu_ms)
                per_server = []
                all_conns = []
                for addr in addresses:
                    conns = rig.answers(addr, run.posted_ms, run.seen_ms)
                    all_conns += conns
                    if conns:
                        per_server.append(max(c.sent_ms for c in conns)
                                          - min(c.accepted_ms for c in conns))
                first_accepts.append(min(c.accepted_ms for c in all_conns) - run.posted_ms)
                last_sents.append(max(c.sent_ms for c in all_conns) - run.posted_ms)
                slowest.append(max(per_server))
                serial.append(sum(per_server))
            sweeps = runs if label == "instant" else rdate_runs_held
            rdate_times, rdate_failed = [], 0
            for _ in range(sweeps):
                wall, failed = rdate_sweep(addresses)
                rdate_times.append(wall)
                rdate_failed += failed
            results.append({
                "servers": count, "answers": label, "runs": runs,
                "span": summary(spans), "exact": exact,
                "first_accept": summary(first_accepts), "last_sent": summary(last_sents),
                "slowest_server": summary(slowest), "sum_of_servers": summary(serial),
                "first_run_after_start": first_span, "startup_s": rig.startup_s,
                "cpu": summary(cpu), "wineserver_cpu": summary(server_cpu),
                "rdate_sweeps": sweeps, "rdate": summary(rdate_times), "rdate_failed": rdate_failed,
            })
            log("span: %d servers, %s: median %s ms" % (count, label, fmt(results[-1]["span"]["median"])))
        rig.stop_program()
        rig.stop_servers()
    return results


def report_span(results):
    rows = []
    for r in results:
        rows.append([r["servers"], r["answers"], fmt(r["span"]["median"]), fmt_mmm(r["span"]),
                     fmt(r["slowest_server"]["median"]), fmt(r["sum_of_servers"]["median"]),
                     fmt(r["first_accept"]["median"]), fmt(r["last_sent"]["median"]),
                     fmt(r["cpu"]["median"]), fmt(r["wineserver_cpu"]["median"]),
                     "%s (%d×)" % (fmt(r["rdate"]["median"]), r["rdate_sweeps"])])
    text = table(["servers", "answers", "run span, median ms", "min / median / max",
                  "slowest server's 3 samples", "sum over servers", "first connection at",
                  "last answer sent at", "CPU ms quorvel.exe", "CPU ms wineserver",
                  "rdate -p, one after another (median of)"], rows)
    firsts = ", ".join("%d servers %s ms (start-up took %.1f s)"
                       % (r["servers"], fmt(r["first_run_after_start"]), r["startup_s"])
                       for r in results if r["answers"] == "instant")
    notes = [
        "Each row: %d correcting runs (WM_COMMAND 1), each server asked three times."
        % results[0]["runs"],
        "Run span: from just before the command is posted to the moment the program applied "
        "the mean (its own clock: \"LastCorrectionTime\" - \"LastCorrectionValue\"); "
        "%d of %d runs were timed that way, the rest by polling the stored value every 10 ms."
        % (sum(r["exact"] for r in results), sum(r["runs"] for r in results)),
        "Slowest server / sum over servers: from the servers' logs, each server's first accept "
        "to its third answer; a run that queried servers one after another would take the sum.",
        "First connection / last answer sent: server log times, counted from the post. "
        "CPU: run time of all threads of quorvel.exe's Linux process and of the prefix's "
        "wineserver between the post and the completion (medians).",
        "rdate -p reads each server once (one connection), quorvel three times.",
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
            for match in (["-d", net, "--dport", "37"], ["-s", net, "--sport", "37"]):
                rule = ["OUTPUT", "-p", "tcp"] + match + ["-j", "NFQUEUE", "--queue-num",
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


def accuracy_classes(with_delays):
    """(label, addresses, skew per address, server options per address)."""
    def four(prefix):
        return ["%s.%d" % (prefix, i + 1) for i in range(4)]
    plain = [{} for _ in range(4)]
    classes = [("network 0 ms", four("127.0.1"), ACCURACY_SKEWS, plain),
               # Real servers keep the same time, so their answers truncate alike.
               ("network 0 ms, four servers that agree", four("127.0.4"), [AGREEING_SKEW] * 4, plain)]
    if with_delays:
        classes.append(("network 50 ms each way", four("127.50.0"), ACCURACY_SKEWS, plain))
        classes.append(("network 400 ms each way", four("127.40.0"), ACCURACY_SKEWS, plain))
    classes.append(("server holds its answer 100 / 300 ms", four("127.0.2"), ACCURACY_SKEWS,
                    [{"mode": "delay", "delay_ms": d} for d in (100, 100, 300, 300)]))
    return classes


def bench_accuracy(rig, runs, with_delays):
    results = []
    for label, addresses, class_skews, options in accuracy_classes(with_delays):
        skews = {}
        for addr, skew, opts in zip(addresses, class_skews, options):
            rig.serve(addr, skew_ms=skew, **opts)
            skews[addr] = skew
        hold = {addr: opts.get("delay_ms", 0) for addr, opts in zip(addresses, options)}
        rig.start_program(addresses)
        rig.run()  # the first run after start is not counted
        rec_err = {}      # hold ms -> [record error]
        rec_own = {}      # hold ms -> [record error - truncation of its own answers]
        answer_q = []     # truncation of every answer sent: value - true time
        applied_err = []
        rdate_err, rdate_own = [], []
        excluded = 0
        for k in range(runs):
            wait_phase((k + random.random()) / runs)
            run = rig.run(records=True)
            if run.seen_ms is None:
                raise RuntimeError("an accuracy run did not complete (%s)" % label)
            good = []
            for slot, addr in enumerate(addresses):
                record = run.records.get(slot)
                conns = rig.answers(addr, run.posted_ms, run.seen_ms)
                q = [c.value * 1000 - c.sent_ms - skews[addr] for c in conns]
                answer_q += q
                if record is None or record.status not in (STATUS_GOOD, STATUS_UNUSED):
                    continue
                if record.status == STATUS_UNUSED:
                    excluded += 1
                else:
                    good.append(addr)
                err = record.correction - skews[addr]
                rec_err.setdefault(hold[addr], []).append(err)
                if q:
                    rec_own.setdefault(hold[addr], []).append(err - statistics.fmean(q))
            if good:
                truth = sum(skews[a] for a in good) / len(good)
                applied_err.append(run.value - truth)
            # rdate on the same servers, all at once, while the program is idle.
            readings = [None] * len(addresses)

            def read(i, addr):
                started = now_ms1900()
                readings[i] = (addr, started, rdate_read(addr))
            threads = [threading.Thread(target=read, args=(i, a)) for i, a in enumerate(addresses)]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
            for addr, started, (value, arrived, _) in readings:
                if value is None:
                    continue
                err = value - arrived - skews[addr]
                rdate_err.append(err)
                conns = rig.answers(addr, started)
                if conns:
                    rdate_own.append(err - (conns[0].value * 1000 - conns[0].sent_ms - skews[addr]))
        holds = sorted(rec_err)
        results.append({
            "class": label, "runs": runs, "excluded": excluded,
            "records": {str(h): summary(rec_err[h]) for h in holds},
            "records_own": {str(h): summary(rec_own.get(h, [])) for h in holds},
            "applied": summary(applied_err), "answers": summary(answer_q),
            "rdate": summary(rdate_err), "rdate_own": summary(rdate_own),
        })
        log("accuracy: %s: applied median %s ms" % (label, fmt(results[-1]["applied"]["median"])))
        rig.stop_program()
        rig.stop_servers()
    return results


def mean_se(s):
    """mean ± its standard error."""
    if not s:
        return "-"
    return "%s ± %s" % (fmt(s["mean"]), fmt(s["sd"] / max(1, s["n"] - 1) ** 0.5))


def report_accuracy(results):
    rows = []
    for r in results:
        for hold, s in r["records"].items():
            what = r["class"]
            if len(r["records"]) > 1:
                what = "server holds its answer %s ms" % hold
            own = r["records_own"][hold]
            rows.append([what, "each record (%d)" % s["n"], fmt_mmm(s), fmt(s["mean"]), fmt(s["sd"]),
                         mean_se(own)])
        a = r["applied"]
        rows.append([r["class"], "applied (%d)" % a["n"], fmt_mmm(a), fmt(a["mean"]), fmt(a["sd"]),
                     "-"])
        q = r["answers"]
        rows.append([r["class"], "answers as sent (%d)" % q["n"], fmt_mmm(q), fmt(q["mean"]),
                     fmt(q["sd"]), "-"])
        d = r["rdate"]
        if d:
            rows.append([r["class"], "rdate -p (%d)" % d["n"], fmt_mmm(d), fmt(d["mean"]), fmt(d["sd"]),
                         mean_se(r["rdate_own"])])
    text = table(["servers", "figure (count)", "error ms: min / median / max", "bias (mean)",
                  "spread (sd)", "bias beyond truncation"], rows)
    notes = [
        "%d runs per class; four servers per class with skews %s ms (their mean is the truth of "
        "the applied correction), except the servers that agree: %+d ms each. Runs start at "
        "evenly spread phases of the second."
        % (results[0]["runs"], ", ".join("%+d" % s for s in ACCURACY_SKEWS), AGREEING_SKEW),
        "Error = measured correction - true skew. \"Answers as sent\": from the servers' logs, "
        "each answer's whole seconds minus the server's true time when it was sent: the "
        "truncation every RFC 868 reading carries, in (-1000, 0].",
        "Bias beyond truncation: each record's error minus the mean truncation of its own "
        "answers in the logs (for rdate, of its one answer), averaged: what latency "
        "compensation leaves.",
        "rdate -p: the whole seconds it printed minus the host clock when its line arrived, "
        "minus the skew (what `rdate -s` would have set).",
        "Outlier exclusions seen: %d." % sum(r["excluded"] for r in results),
    ]
    return text + "\n\n" + "\n".join("- " + n for n in notes)


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
    wsp = wineserver_pid()
    return {"at": label, "runs": runs_done, "rss_kb": rig.proc.rss_kb(), "anon_kb": rig.proc.anon_kb(),
            "fds": rig.proc.fds(), "threads": rig.proc.threads(),
            "handles": rig.win32_handles() if with_handles else None,
            "wineserver_fds": LinuxProcess(wsp).fds() if wsp else None}


def idle(rig, seconds):
    """CPU time over `seconds` of doing nothing, and wake-ups: the 100 ms windows in
    which any thread of the process was switched in (one wake-up of the message
    loop costs several switches, one per wineserver request it makes)."""
    wsp = wineserver_pid()
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
        run = rig.run(timeout=60, records=(n == prompt_runs))
        if run.seen_ms is None:
            incomplete += 1
        else:
            spans.append(run.span_ms())
        if not rig.alive():
            raise RuntimeError("quorvel.exe ended after %d runs" % n)
        if n == 1 or n % 50 == 0:
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
        run = rig.run(timeout=180, records=True, cpu_window=(5, 15))
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
        return ", ".join("%s %d" % (STATUS_NAMES.get(k, str(k)), v) for k, v in sorted(counts.items()))
    notes = [
        "%d runs against 50 servers (23 good, 3 of them by host name; 8 answering after 50 ms; "
        "6 sending 1 to 3 bytes; 6 sending 8 bytes; 3 refused; 1 name that does not resolve; "
        "10 more good ones) took %.0f s, run span %s ms (min / median / max); "
        "statuses after the last: %s."
        % (r["prompt_runs"], r["prompt_wall_s"], fmt_mmm(r["prompt_span"]), statuses(r["statuses"])),
        "Then %d runs with those 10 servers silent (5) or accepting and closing at once (5): "
        "span %s ms; quorvel.exe used %s ms CPU per second while such a run waited for its "
        "deadline (from 5 to 15 s into the run: the 200 ms busy tick alone); statuses over those runs: %s."
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


# ---- main -------------------------------------------------------------------------

def load_average():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


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
    timings, errors = {}, {}
    rig = Rig()
    delays = None
    plan = [
        ("span", lambda: bench_span(rig, runs=3 if quick else 10, rdate_runs_held=1 if quick else 3)),
        ("accuracy", lambda: bench_accuracy(rig, runs=4 if quick else 20,
                                            with_delays=delays is not None)),
        ("endurance", lambda: bench_endurance(rig, prompt_runs=20 if quick else 200,
                                              deadline_runs=1 if quick else 5,
                                              idle_s=10 if quick else 60,
                                              idle_after_s=10 if quick else 30)),
    ]
    try:
        for name, measure in plan:
            if name not in sections:
                continue
            if name == "accuracy" and out["sandbox"] != "none":
                delays = DelayQueues().start()
            t = time.monotonic()
            try:
                out[name] = measure()
            except Exception as e:  # report what was measured, and the failure
                errors[name] = "%s: %s" % (type(e).__name__, e)
                log("%s FAILED: %s" % (name, errors[name]))
                rig.stop_program()
                rig.stop_servers()
            timings[name] = time.monotonic() - t
            if delays:
                delays.stop()
                delays = None
    finally:
        if delays:
            delays.stop()
        rig.close()
    out["errors"] = errors
    out["timings_s"] = timings
    out["total_s"] = time.monotonic() - begun
    out["load_after"] = load_average()

    parts = ["Quorvel benchmarks, %s; %s CPUs, load average %s before and %s after; %s; rdate %s; "
             "network namespace: %s; %.0f s.%s"
             % (out["started"], out["cpus"], out["load_before"], out["load_after"], out["wine"],
                out["rdate"], out["sandbox"], out["total_s"], " QUICK (small counts)." if quick else "")]
    if "span" in out:
        parts.append("### Run span\n\n" + report_span(out["span"]))
    if "accuracy" in out:
        parts.append("### Accuracy\n\n" + report_accuracy(out["accuracy"]))
    if "endurance" in out:
        parts.append("### Idle cost and endurance\n\n" + report_endurance(out["endurance"]))
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
    parser.add_argument("--inside", action="store_true", required=True)
    parser.add_argument("--quick", action="store_true", help="small counts, for trying it out")
    parser.add_argument("--sections", default="span,accuracy,endurance")
    parser.add_argument("--out", default=None)
    return inside(parser.parse_args())


if __name__ == "__main__":
    sys.exit(main())
