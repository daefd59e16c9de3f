#!/usr/bin/env python3
"""Takes screenshots of Quorvel's main window and its "Clock History" window
under Wine and Xvfb.

    python3 tools/screenshot.py [--build DIR] [FOLDER]

DIR is the mingw build (default build/win, holding quorvel.exe and qvctl.exe);
FOLDER (default docs) gets main-window.png and clock-history.png. Outside the
sandbox it makes a Wine prefix in DIR once and re-runs itself through
tests/with-wine.sh (private prefix copy, its own Xvfb display, loopback-only
network). Inside, it seeds a server list with stored results and a day of
hourly correcting runs of a clock that loses 78 ppm, so the windows look as
they do after a day of use without querying anything, opens them, grabs the
screen with ImageMagick's `import` and crops it to each window.
"""
import os
import random
import shutil
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WITH_WINE = os.path.join(ROOT, "tests", "with-wine.sh")
EPOCH_1900_TO_1970_S = 2208988800
HISTORY_TITLE = "Clock History"
IDM_CLOCK_HISTORY = 119
WM_COMMAND = 0x0111


def day_of_runs(now_ms):
    """Hourly runs over the last day of a clock losing 78 ppm (280.8 ms an hour),
    each stepped back to the servers' time; the computer slept for six hours
    and came back from its hardware clock 180 ms ahead, and the first run
    after it found the network not yet up. The newest run was five minutes ago."""
    from harness import ACTION_NO_SERVER, ACTION_STEPPED, HISTORY_BREAK, pack_history_entry
    rng = random.Random(78)
    hour_ms = 3600 * 1000
    entries, left_us, last_ms = [], 0.0, None
    at = now_ms - 5 * 60 * 1000 - 23 * hour_ms
    while at < now_ms:
        flags = 0
        if now_ms - 16 * hour_ms <= at < now_ms - 10 * hour_ms:
            at += hour_ms  # asleep
            continue
        if last_ms is not None and at - last_ms > 2 * hour_ms:
            left_us = -180000.0  # the hardware clock after the resume
            flags = HISTORY_BREAK
            entries.append(pack_history_entry(at - 15 * 60 * 1000, action=ACTION_NO_SERVER, flags=flags))
            flags = 0
            last_ms = at - 15 * 60 * 1000
        elapsed_s = (at - last_ms) / 1000.0 if last_ms is not None else 0.0
        ppm = 78.0 + 1.5 * rng.uniform(-1, 1)  # the crystal warms and cools
        offset_us = left_us + ppm * elapsed_s + rng.uniform(-600, 600)
        if last_ms is None:
            offset_us = 352000.0 + rng.uniform(-600, 600)
            flags = HISTORY_BREAK
        usable = 3
        agreeing = 3 if rng.random() > 0.15 else 2
        entries.append(pack_history_entry(at, int(offset_us), rng.randint(3000, 9000), ACTION_STEPPED, agreeing,
                                          usable, flags=flags))
        applied_us = (int(offset_us) // 1000) * 1000
        left_us = offset_us - applied_us
        last_ms = at
        at += hour_ms
    return b"".join(entries)


def grab(rect, output):
    left, top, right, bottom = rect
    os.makedirs(os.path.dirname(os.path.abspath(output)), exist_ok=True)
    subprocess.run(["import", "-window", "root", "-crop",
                    "%dx%d+%d+%d" % (right - left, bottom - top, left, top), "+repage", output],
                   check=True)
    print(output)


def outside(build, folder):
    template = os.path.join(build, "wineprefix-template")
    if not os.path.exists(os.path.join(template, "system.reg")):
        subprocess.run([WITH_WINE, "--make-template", template], check=True)
    env = dict(os.environ, QV_EXE=os.path.join(build, "quorvel.exe"),
               QV_CTL=os.path.join(build, "qvctl.exe"),
               PYTHONPATH=os.path.join(ROOT, "tests", "e2e"), PYTHONDONTWRITEBYTECODE="1")
    return subprocess.run([WITH_WINE, template, sys.executable, os.path.abspath(__file__),
                           "--inside", folder], env=env).returncode


def inside(folder):
    from harness import (IDC_CLOCK_TEXT, RUN_KEY, RUN_VALUE, SETTINGS_KEY, STATUS_DISABLED,
                         STATUS_GOOD, STATUS_NO_RESPONSE, STATUS_UNUSED, UNINSTALL_KEY, Ctl,
                         Quorvel, ServerRecord, Settings, wait_until)

    # Wine draws the close box with its Marlett font, which this Wine does not
    # always find in its data folder; the prefix's font folder it always reads.
    marlett = "/usr/share/wine/fonts/marlett.ttf"
    fonts = os.path.join(os.environ["WINEPREFIX"], "drive_c", "windows", "Fonts")
    if os.path.exists(marlett) and os.path.isdir(fonts):
        shutil.copy(marlett, fonts)

    ctl = Ctl()
    settings = Settings(ctl)
    ctl.reg_delete_key(SETTINGS_KEY)
    ctl.reg_delete_value(RUN_KEY, RUN_VALUE)
    ctl.reg_delete_key(UNINSTALL_KEY)
    # Xvfb has no window manager: Wine then draws the caption and frame itself.
    ctl.reg_set_sz("HKCU\\Software\\Wine\\X11 Driver", "Decorated", "N")
    # Hourly, corrected five minutes ago: nothing falls due while the picture is taken.
    now_1900_ms = (int(time.time()) + EPOCH_1900_TO_1970_S) * 1000
    settings.set_dword("Schedule", 4)
    settings.set_int64("LastCorrectionTime", now_1900_ms - 5 * 60 * 1000)
    settings.set_int64("LastCorrectionValue", 281)
    settings.set_binary("History", day_of_runs(now_1900_ms))
    settings.seed_servers([
        ServerRecord("alpha.test", 1, STATUS_GOOD, 12, 276),
        ServerRecord("bravo.test", 1, STATUS_GOOD, 18, 283),
        ServerRecord("charlie.test", 1, STATUS_GOOD, 35, 281),
        ServerRecord("127.0.0.24", 1, STATUS_UNUSED, 41, 7480),
        ServerRecord("127.0.0.25", 1, STATUS_NO_RESPONSE, 0, 0),
        ServerRecord("delta.test", 0, STATUS_DISABLED, 0, 0),
    ])

    program = Quorvel(ctl)
    hwnd = program.wait_window()
    wait_until(lambda: settings.get("WindowPlacement") is not None)
    ctl.send(hwnd, 0)  # back in its message loop: the initialisation is over
    program.open()
    wait_until(program.visible)
    wait_until(lambda: program.item_text(IDC_CLOCK_TEXT) != "Static")
    time.sleep(1.0)  # let every control paint

    # The main window moves left so that the history fits beside it.
    program.move(60, 200)
    time.sleep(0.5)
    grab(program.rect(), os.path.join(folder, "main-window.png"))

    ctl.post(hwnd, WM_COMMAND, IDM_CLOCK_HISTORY, 0)
    history = wait_until(lambda: ctl.find_window(HISTORY_TITLE))
    wait_until(lambda: ctl.visible(history))
    time.sleep(1.0)
    grab(ctl.rect(history), os.path.join(folder, "clock-history.png"))

    program.quit()
    code = program.wait_exit(30)
    ctl.close()
    return code


def main(argv):
    if argv[:1] == ["--inside"]:
        return inside(argv[1])
    build = os.path.join(ROOT, "build", "win")
    if argv[:1] == ["--build"]:
        build, argv = os.path.abspath(argv[1]), argv[2:]
    folder = os.path.abspath(argv[0] if argv else os.path.join(ROOT, "docs"))
    return outside(build, folder)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
