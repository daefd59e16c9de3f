#!/usr/bin/env python3
"""Takes a screenshot of Quorvel's main window under Wine and Xvfb.

    python3 tools/screenshot.py [--build DIR] [OUTPUT.png]

DIR is the mingw build (default build/win, holding quorvel.exe and qvctl.exe);
OUTPUT defaults to docs/main-window.png. Outside the sandbox it makes a Wine
prefix in DIR once and re-runs itself through tests/with-wine.sh (private prefix
copy, its own Xvfb display, loopback-only network). Inside, it seeds a server
list with stored results and a recent correction, so the window looks as it
does after a day of use without querying anything, opens the window, grabs the
screen with ImageMagick's `import` and crops it to the window.
"""
import os
import shutil
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WITH_WINE = os.path.join(ROOT, "tests", "with-wine.sh")
EPOCH_1900_TO_1970_S = 2208988800


def outside(build, output):
    template = os.path.join(build, "wineprefix-template")
    if not os.path.exists(os.path.join(template, "system.reg")):
        subprocess.run([WITH_WINE, "--make-template", template], check=True)
    env = dict(os.environ, QV_EXE=os.path.join(build, "quorvel.exe"),
               QV_CTL=os.path.join(build, "qvctl.exe"),
               PYTHONPATH=os.path.join(ROOT, "tests", "e2e"), PYTHONDONTWRITEBYTECODE="1")
    return subprocess.run([WITH_WINE, template, sys.executable, os.path.abspath(__file__),
                           "--inside", output], env=env).returncode


def inside(output):
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
    settings.set_int64("LastCorrectionValue", 1234)
    settings.seed_servers([
        ServerRecord("alpha.test", 1, STATUS_GOOD, 12, 1210),
        ServerRecord("bravo.test", 1, STATUS_GOOD, 18, 1258),
        ServerRecord("charlie.test", 1, STATUS_GOOD, 35, 1236),
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

    left, top, right, bottom = program.rect()
    os.makedirs(os.path.dirname(os.path.abspath(output)), exist_ok=True)
    subprocess.run(["import", "-window", "root", "-crop",
                    "%dx%d+%d+%d" % (right - left, bottom - top, left, top), "+repage", output],
                   check=True)
    print(output)

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
    output = os.path.abspath(argv[0] if argv else os.path.join(ROOT, "docs", "main-window.png"))
    return outside(build, output)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
