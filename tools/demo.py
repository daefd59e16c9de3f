#!/usr/bin/env python3
"""Shows Quorvel doing its job under Wine against local time servers.

Started by `./dev run` after the build. Outside the sandbox it makes a Wine prefix
(once) and re-runs itself through tests/with-wine.sh, which gives it a private
network namespace with only loopback, a private prefix copy and a display. Inside,
it starts RFC 868 servers on 127.0.0.x with known skews, gives Quorvel that server
list, presses "Synchronize Time", and prints what happened.
"""
import os
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, "build", "win")
TEMPLATE = os.path.join(BUILD, "wineprefix-template")
WITH_WINE = os.path.join(ROOT, "tests", "with-wine.sh")
SCREENSHOT = os.path.join(ROOT, "build", "quorvel-demo.png")

# (address, behaviour, skew in ms, answer delay in ms)
SERVERS = [
    ("127.0.0.11", "answer", 1234, 0),
    ("127.0.0.12", "answer", 1234, 0),
    ("127.0.0.13", "delay", 1234, 300),
    ("127.0.0.14", "answer", 7500, 0),      # far off: excluded as an outlier
    ("127.0.0.15", "refused", 0, 0),        # nothing listens there
]


def outside():
    if not os.path.exists(os.path.join(TEMPLATE, "system.reg")):
        print("== making a Wine prefix (once, about 15 s)")
        subprocess.run([WITH_WINE, "--make-template", TEMPLATE], check=True)
    env = dict(os.environ, QV_EXE=os.path.join(BUILD, "quorvel.exe"),
               QV_CTL=os.path.join(BUILD, "qvctl.exe"),
               PYTHONPATH=os.path.join(ROOT, "tests", "e2e"), PYTHONDONTWRITEBYTECODE="1")
    display = os.environ.get("DISPLAY", "")
    if display.startswith(":") and os.path.exists("/tmp/.X11-unix/X" + display[1:].split(".")[0]):
        env["QV_USE_DISPLAY"] = "1"  # show the window on the user's own screen
    return subprocess.run([WITH_WINE, TEMPLATE, sys.executable, os.path.abspath(__file__),
                           "--inside"], env=env).returncode


def inside():
    from harness import (IDC_SYNCHRONIZE, Ctl, Quorvel, Settings, RUN_KEY, RUN_VALUE,
                         SETTINGS_KEY, UNINSTALL_KEY, wait_until)
    from timeserver import TimeServer

    servers = []
    for addr, mode, skew, delay in SERVERS:
        if mode != "refused":
            servers.append(TimeServer(addr, mode=mode, skew_ms=skew, delay_ms=delay).start())
    ctl = Ctl()
    settings = Settings(ctl)
    ctl.reg_delete_key(SETTINGS_KEY)
    ctl.reg_delete_value(RUN_KEY, RUN_VALUE)
    ctl.reg_delete_key(UNINSTALL_KEY)
    settings.set_dword("Schedule", 0)
    settings.seed_servers([addr for addr, _, _, _ in SERVERS])

    print("== time servers on loopback (RFC 868, TCP port 37)")
    for addr, mode, skew, delay in SERVERS:
        what = {"answer": "answers at once", "delay": "answers after %d ms" % delay,
                "refused": "refuses connections"}[mode]
        print("   %-11s %s%s" % (addr, what, ", clock %+d ms ahead" % skew if mode != "refused" else ""))

    program = Quorvel(ctl)
    program.wait_window()
    program.open()
    wait_until(program.visible, 20)
    print("== pressing \"Synchronize Time\"")
    program.command(IDC_SYNCHRONIZE)
    wait_until(lambda: program.button_caption() != "Synchronize Time", 10)
    print("   button reads %r during the run" % program.button_caption())
    wait_until(lambda: program.button_caption() == "Synchronize Time", 150, 0.2)
    time.sleep(0.5)  # the last row refresh

    print("== the server list")
    print("   %-16s %-14s %s" % ("Time Server", "Latency (ms)", "Correction"))
    for row in program.rows():
        print("   %-16s %-14s %s" % (row.name, row.latency, row.correction))
    value = settings.int64("LastCorrectionValue")
    when = settings.int64("LastCorrectionTime")
    print("== correction applied: %s ms (stored \"LastCorrectionValue\")" % value)
    if when:
        print("   the clock was set; status line: %r" % program.status_text())
    else:
        print("   Wine refused to move the clock by that much (it allows steps under 0.5 s),")
        print("   so \"LastCorrectionTime\" is 0 and the status line stays empty.")
    print("   The servers that agree are 1234 ms ahead: each answer carries whole seconds,")
    print("   yet the samples' bounds, spread over the second, put the clock %+d ms from them."
          % (value - 1234))

    left, top, right, bottom = program.rect()
    shot = subprocess.run(["import", "-window", "root", "-crop",
                           "%dx%d+%d+%d" % (right - left, bottom - top, left, top),
                           "+repage", SCREENSHOT], capture_output=True)
    if shot.returncode == 0:
        print("== screenshot: %s" % os.path.relpath(SCREENSHOT))

    program.quit()
    code = program.wait_exit(30)
    print("== quorvel.exe ended with exit code %d" % code)
    for server in servers:
        server.stop()
    ctl.close()
    return code


if __name__ == "__main__":
    sys.exit(inside() if "--inside" in sys.argv else outside())
