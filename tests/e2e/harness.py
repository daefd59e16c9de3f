"""Support for the end-to-end tests of quorvel.exe under Wine (stdlib only).

Every test file runs through tests/with-wine.sh (its own prefix copy, display and
loopback-only network); QV_EXE and QV_CTL name quorvel.exe and qvctl.exe.

QuorvelTestCase (unittest.TestCase) -- derive e2e tests from it. setUp gives
  self.ctl (a Ctl), self.settings (a Settings); clears the settings key, the
  autostart value and the uninstall key, then seeds "Version" 0x4000, "Schedule" 0
  and the class attribute `servers` (default: no servers) before anything starts.
  self.start(args="", exe=None) -> Quorvel; self.timeserver(addr, **kw) -> a started
  TimeServer; self.wait_statuses({slot: status or (statuses)}, timeout). tearDown stops every Quorvel and TimeServer the test started.

Quorvel (a started `wine quorvel.exe ARGS`; .popen is the Linux Popen)
  wait_window(timeout, idle=True) -> hwnd, once the window exists and (idle) the
  program's start-up is over   wait_exit(timeout) -> exit code   alive()  stop()
  visible()  item_text(id)  status_text()  clock_text()  schedule_text()  button_caption()
  command(id) posts WM_COMMAND, send_command(id, timeout_ms) sends it
  open() (command 114)  minimize() (command 2)  quit() (command 116)
  tray_dblclick()  rows() -> [Row]  select_rows([i])  click_column(c)  editor()
  schedule_position()  set_schedule(pos) (moves the slider and posts WM_HSCROLL)
  move(x, y)  rect()  msgbox(caption=TITLE) -> MsgBox or None
  wait_msgbox(caption=TITLE, timeout) -> MsgBox; press(box, IDOK|IDCANCEL)

Ctl -- one long-lived qvctl.exe; one method per command of tools/qvctl.cpp:
  reg_set_dword/_binary/_sz(path, name, v)  reg_get(path, name) -> (type, bytes)|None
  reg_get_wide(path, name) -> (type, text)|None (the wide call)
  reg_delete_value/reg_delete_key/reg_key_exists -> bool  reg_values(path) -> [names]|None
  find_window(title, child_id=0) -> hwnd|0  windows(pid=None) -> [Window]
  fake_window(title, child_id, hung=False) -> hwnd of a look-alike in qvctl's process
  children(hwnd) -> [Child]  is_window/visible/enabled(hwnd) -> bool  class_name  pid
  foreground()  text(hwnd)  item(hwnd, id)  item_text(hwnd, id)  set_text  rect  placement
  move(hwnd, x, y)  show(hwnd, sw)  post(hwnd, msg, w, l)  send(hwnd, msg, w, l, timeout_ms)
  click(hwnd, id)  msgbox(caption) -> MsgBox|None  msgboxes()  tb_get/tb_set
  lv_count/lv_rows/lv_columns/lv_select/lv_edit/lv_click_column(hwnd, id, ...)
  tray_icons() -> [(hwnd, tip)]  processes(name=None)  wait_pid(pid, ms) -> code|None
  wait_idle(pid, ms) -> "idle"|"busy"|"missing"
  mutex(name) creates and holds a named mutex while qvctl runs   session() -> its session id
  A failing command raises CtlError; a send that timed out raises CtlTimeout.

Settings(ctl) -- the settings key "SOFTWARE\\Quorvel":
  get(name) -> bytes|None  dword(name, signed=False)  int64(name)  set_dword  set_int64
  set_binary  delete(name)  names()  server(slot) -> ServerRecord|None  servers() -> {slot: rec}
  set_server(slot, rec_or_bytes)  seed_servers([name | ServerRecord | bytes, ...])

pack_server(name, enabled=1, status=0, latency=0, correction=0) -> 152 bytes;
unpack_server(bytes) -> ServerRecord. pack_history_entry(measured_at, ...) -> 32 bytes and
unpack_history(bytes) -> [HistoryEntry] for "History" (ACTION_* and HISTORY_BREAK as in the program).  wait_until(predicate, timeout, interval,
message) -> the first truthy result, else raises WaitTimeout (an AssertionError).
Row fields: name latency correction (the three column texts), image, selected,
focused, slot (the item data). wait_msgbox(ctl, caption) and press(ctl, box, id)
also exist without a Quorvel. Ids of resources/resource.h are module constants
(IDC_SERVER_LIST, IDM_QUIT, ...), as are TITLE, SETTINGS_KEY, RUN_KEY, UNINSTALL_KEY.

Wine facts worth knowing: SetSystemTime succeeds, changing nothing, only when the
new time is within 0.5 s of the clock, and fails with error 1314 (privilege not
held) otherwise; so a correction of 500 ms or more behaves as if the right to set
the clock were missing. Without a window manager, hiding a window takes about 2 s.
Wine's tray shows each icon as a window whose tip qvctl reads; which of the
program's icons it shows cannot be told from outside (its pixels depend on what
was painted there before).
"""
import collections
import os
import re
import select
import signal
import struct
import subprocess
import time
import unittest

from timeserver import TimeServer

TITLE = "Quorvel - Atomic Clock Synchronizer - v4.0"
SETTINGS_KEY = "SOFTWARE\\Quorvel"
RUN_KEY = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run"
RUN_VALUE = "Quorvel"
UNINSTALL_KEY = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Quorvel"
SETTINGS_VERSION = 0x4000

REG_SZ, REG_BINARY, REG_DWORD = 1, 3, 4
IDOK, IDCANCEL = 1, 2
WM_SETTEXT, WM_GETTEXT, WM_CLOSE, WM_KEYDOWN = 0x000C, 0x000D, 0x0010, 0x0100
WM_COMMAND, WM_HSCROLL, WM_ENDSESSION = 0x0111, 0x0114, 0x0016
WM_LBUTTONDOWN, WM_LBUTTONDBLCLK, WM_RBUTTONDOWN, WM_RBUTTONDBLCLK = 0x0201, 0x0203, 0x0204, 0x0206
TB_THUMBPOSITION, TB_ENDTRACK = 4, 8
VK_RETURN, VK_ESCAPE, VK_DELETE, VK_APPS = 0x0D, 0x1B, 0x2E, 0x5D
SW_HIDE, SW_SHOW = 0, 5

STATUS_NONE, STATUS_WINSOCK_ERROR, STATUS_NO_RESPONSE, STATUS_SLOW_RESPONSE = 0, 1, 2, 3
STATUS_REFUSED, STATUS_NET_DOWN, STATUS_NO_DNS, STATUS_DISABLED = 4, 5, 6, 7
STATUS_INTERRUPTED, STATUS_UNUSED, STATUS_TEST, STATUS_GOOD = 8, 100, 101, 102
SERVER_SLOTS = 50
SERVER_RECORD_SIZE = 152


def _load_resource_ids():
    """The #defines of resources/resource.h, so the tests use the program's own ids."""
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "resources",
                        "resource.h")
    ids = {}
    with open(path) as f:
        for line in f:
            m = re.match(r"\s*#define\s+([A-Z_][A-Z0-9_]*)\s+(0x[0-9A-Fa-f]+|\d+)\s*$", line)
            if m:
                ids[m.group(1)] = int(m.group(2), 0)
    return ids


RESOURCE_IDS = _load_resource_ids()
globals().update(RESOURCE_IDS)


# ---- waiting -------------------------------------------------------------------

class WaitTimeout(AssertionError):
    pass


def end_process(process, grace=10):
    """End a server process this test started, by its pid: SIGTERM, then SIGKILL."""
    if process.poll() is not None:
        return
    os.kill(process.pid, signal.SIGTERM)
    try:
        process.wait(grace)
    except subprocess.TimeoutExpired:
        os.kill(process.pid, signal.SIGKILL)
        process.wait()


def wait_until(predicate, timeout=20.0, interval=0.1, message=None):
    """Call predicate until it returns something truthy and return that; raise
    WaitTimeout after `timeout` seconds. Tests wait for states, never for times."""
    deadline = time.monotonic() + timeout
    while True:
        result = predicate()
        if result:
            return result
        if time.monotonic() >= deadline:
            raise WaitTimeout(message or "timed out after %.1f s waiting for %s"
                              % (timeout, getattr(predicate, "__name__", "a condition")))
        time.sleep(interval)


# ---- server records ------------------------------------------------------------

ServerRecord = collections.namedtuple("ServerRecord", "name enabled status latency correction")
_RECORD_TAIL = struct.Struct("<iiIIq")  # enabled, status, latency, reserved, correction


def pack_server(name, enabled=1, status=0, latency=0, correction=0):
    """The 152-byte registry image of one server slot."""
    raw = name.encode("latin-1") if isinstance(name, str) else bytes(name)
    if len(raw) > 127:
        raise ValueError("server names hold at most 127 bytes")
    return raw.ljust(128, b"\0") + _RECORD_TAIL.pack(enabled, status, latency, 0, correction)


def unpack_server(data):
    if len(data) != SERVER_RECORD_SIZE:
        raise ValueError("a server record has 152 bytes, not %d" % len(data))
    name = data[:128].split(b"\0", 1)[0].decode("latin-1")
    enabled, status, latency, _, correction = _RECORD_TAIL.unpack(data[128:])
    return ServerRecord(name, enabled, status, latency, correction)


# ---- the history of runs ----------------------------------------------------------

HistoryEntry = collections.namedtuple(
    "HistoryEntry", "measured_at offset_us uncertainty_us action agreeing usable rate_before_ppb flags slew_left_us")
ACTION_STEPPED, ACTION_SLEWED, ACTION_STEP_REFUSED = 0, 1, 2
ACTION_BEYOND_LIMIT, ACTION_DECLINED, ACTION_NO_SERVER = 3, 4, 5
HISTORY_BREAK = 0x01
_HISTORY_ENTRY = struct.Struct("<qqIBBBxiB3s")


def pack_history_entry(measured_at, offset_us=0, uncertainty_us=0, action=ACTION_STEPPED, agreeing=0,
                       usable=0, rate_before_ppb=0, flags=0, slew_left_us=0):
    """The 32-byte image of one "History" entry."""
    left = (slew_left_us & 0xFFFFFF).to_bytes(3, "little")
    return _HISTORY_ENTRY.pack(measured_at, offset_us, uncertainty_us, action, agreeing, usable,
                               rate_before_ppb, flags, left)


def unpack_history(data):
    """The entries of a "History" value, oldest first."""
    entries = []
    for i in range(0, len(data) - len(data) % 32, 32):
        fields = list(_HISTORY_ENTRY.unpack(data[i:i + 32]))
        left = int.from_bytes(fields[-1], "little")
        fields[-1] = left - (1 << 24) if left & 0x800000 else left
        entries.append(HistoryEntry(*fields))
    return entries


def _record_bytes(entry):
    if isinstance(entry, (bytes, bytearray)):
        return bytes(entry)
    if isinstance(entry, ServerRecord):
        return pack_server(*entry)
    return pack_server(entry)


# ---- the qvctl wire format -----------------------------------------------------

_BARE = re.compile(r'^[^\s"]+$')


def _quote(word):
    if isinstance(word, bool):
        word = int(word)
    if isinstance(word, int):
        return str(word)
    if _BARE.match(word):
        return word
    out = ['"']
    for ch in word:
        code = ord(ch)
        if ch in '"\\':
            out.append("\\" + ch)
        elif ch == "\n":
            out.append("\\n")
        elif ch == "\r":
            out.append("\\r")
        elif ch == "\t":
            out.append("\\t")
        elif code < 0x20 or code > 0x7E:
            out.append("\\x%02x" % ord(ch.encode("latin-1")))
        else:
            out.append(ch)
    out.append('"')
    return "".join(out)


def _split(line):
    words, i, n = [], 0, len(line)
    while True:
        while i < n and line[i] in " \t":
            i += 1
        if i >= n:
            return words
        if line[i] != '"':
            j = i
            while j < n and line[j] not in " \t":
                j += 1
            words.append(line[i:j])
            i = j
            continue
        i += 1
        out = []
        while i < n and line[i] != '"':
            ch = line[i]
            i += 1
            if ch != "\\":
                out.append(ch)
                continue
            esc = line[i]
            i += 1
            if esc == "x":
                out.append(chr(int(line[i:i + 2], 16)))
                i += 2
            else:
                out.append({"n": "\n", "r": "\r", "t": "\t"}.get(esc, esc))
        i += 1
        words.append("".join(out))


def _hex(word):
    return b"" if word == "-" else bytes.fromhex(word)


class CtlError(RuntimeError):
    pass


class CtlTimeout(CtlError):
    pass


Window = collections.namedtuple("Window", "hwnd pid cls visible title")
Child = collections.namedtuple("Child", "hwnd id cls visible text")
MsgBox = collections.namedtuple("MsgBox", "hwnd text")
Row = collections.namedtuple("Row", "name latency correction image selected focused slot")
Column = collections.namedtuple("Column", "width text")


def _groups(words, size):
    if len(words) % size:
        raise CtlError("malformed answer: %r" % (words,))
    return [words[i:i + size] for i in range(0, len(words), size)]


class Ctl:
    """A running qvctl.exe in the test's prefix; one command per call."""

    def __init__(self, exe=None, reply_timeout=60.0):
        exe = exe or os.environ["QV_CTL"]
        self.reply_timeout = reply_timeout
        self.proc = subprocess.Popen(["wine", exe], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     bufsize=0)
        self._buffer = b""
        self.call("echo", "ready")

    def close(self):
        if self.proc.poll() is None:
            try:
                self.proc.stdin.write(b"quit\n")
                self.proc.stdin.close()
                self.proc.wait(10)
            except (OSError, subprocess.TimeoutExpired):
                self.proc.kill()
                self.proc.wait()
        self.proc.stdout.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def _readline(self):
        deadline = time.monotonic() + self.reply_timeout
        while b"\n" not in self._buffer:
            left = deadline - time.monotonic()
            if left <= 0:
                raise CtlError("qvctl gave no answer within %.0f s" % self.reply_timeout)
            ready, _, _ = select.select([self.proc.stdout], [], [], left)
            if ready:
                chunk = os.read(self.proc.stdout.fileno(), 65536)
                if not chunk:
                    raise CtlError("qvctl ended (exit code %s)" % self.proc.poll())
                self._buffer += chunk
        line, self._buffer = self._buffer.split(b"\n", 1)
        return line.rstrip(b"\r").decode("latin-1")

    def call(self, *words):
        """Send one command; return the answer's fields after "ok" as strings."""
        line = " ".join(_quote(w) for w in words) + "\n"
        self.proc.stdin.write(line.encode("latin-1"))
        answer = _split(self._readline())
        if answer and answer[0] == "ok":
            return answer[1:]
        message = answer[1] if len(answer) > 1 else "no answer"
        if message == "timeout":
            raise CtlTimeout("%s: timeout" % words[0])
        raise CtlError("%s: %s" % (" ".join(str(w) for w in words), message))

    # -- registry --

    def reg_set_dword(self, path, name, value):
        self.call("reg-set-dword", path, name, value & 0xFFFFFFFF)

    def reg_set_binary(self, path, name, data):
        self.call("reg-set-binary", path, name, bytes(data).hex() or "-")

    def reg_set_sz(self, path, name, text):
        self.call("reg-set-sz", path, name, text)

    def reg_get(self, path, name):
        """(type, bytes), or None when the value (or its key) is missing."""
        answer = self.call("reg-get", path, name)
        if answer == ["missing"]:
            return None
        return int(answer[0]), _hex(answer[1])

    def reg_get_wide(self, path, name):
        """(type, text) of a value read with the wide call, or None when missing."""
        answer = self.call("reg-get-wide", path, name)
        if answer == ["missing"]:
            return None
        return int(answer[0]), answer[1].encode("latin-1").decode("utf-8")

    def reg_delete_value(self, path, name):
        return self.call("reg-delete-value", path, name) == ["1"]

    def reg_delete_key(self, path):
        return self.call("reg-delete-key", path) == ["1"]

    def reg_key_exists(self, path):
        return self.call("reg-key-exists", path) == ["1"]

    def reg_values(self, path):
        """The value names of a key, or None when the key is missing."""
        if not self.reg_key_exists(path):
            return None
        return self.call("reg-values", path)

    # -- windows --

    def fake_window(self, title, child_id, hung=False):
        """A hidden top-level window of qvctl's own with this title and a control
        child_id; a hung one never returns from a WM_COMMAND."""
        return int(self.call("fake-window", title, child_id, "hung" if hung else "pump")[0], 0)

    def find_window(self, title, child_id=0):
        return int(self.call("find-window", title, child_id)[0], 0)

    def windows(self, pid=None):
        words = self.call("windows") if pid is None else self.call("windows", pid)
        return [Window(int(h, 0), int(p), c, v == "1", t) for h, p, c, v, t in _groups(words, 5)]

    def children(self, hwnd):
        return [Child(int(h, 0), int(i), c, v == "1", t)
                for h, i, c, v, t in _groups(self.call("children", hwnd), 5)]

    def is_window(self, hwnd):
        return self.call("is-window", hwnd) == ["1"]

    def visible(self, hwnd):
        return self.call("visible", hwnd) == ["1"]

    def enabled(self, hwnd):
        return self.call("enabled", hwnd) == ["1"]

    def class_name(self, hwnd):
        return self.call("class", hwnd)[0]

    def pid(self, hwnd):
        return int(self.call("pid", hwnd)[0])

    def foreground(self):
        return int(self.call("foreground")[0], 0)

    def text(self, hwnd):
        return self.call("text", hwnd)[0]

    def item(self, hwnd, control_id):
        return int(self.call("item", hwnd, control_id)[0], 0)

    def item_text(self, hwnd, control_id):
        return self.call("item-text", hwnd, control_id)[0]

    def set_text(self, hwnd, text):
        self.call("set-text", hwnd, text)

    def rect(self, hwnd):
        return tuple(int(v) for v in self.call("rect", hwnd))

    def placement(self, hwnd):
        return _hex(self.call("placement", hwnd)[0])

    def move(self, hwnd, x, y):
        self.call("move", hwnd, x, y)

    def show(self, hwnd, sw):
        self.call("show", hwnd, sw)

    def post(self, hwnd, msg, wparam=0, lparam=0):
        self.call("post", hwnd, msg, wparam, lparam)

    def send(self, hwnd, msg, wparam=0, lparam=0, timeout_ms=5000):
        """SendMessage with a timeout; the result, or CtlTimeout."""
        return int(self.call("send", hwnd, msg, wparam, lparam, timeout_ms)[0])

    def click(self, hwnd, control_id):
        self.call("click", hwnd, control_id)

    def msgbox(self, caption):
        hwnd, text = self.call("msgbox", caption)
        hwnd = int(hwnd, 0)
        return MsgBox(hwnd, text) if hwnd else None

    def msgboxes(self):
        return [(int(h, 0), c, t) for h, c, t in _groups(self.call("msgboxes"), 3)]

    def tb_get(self, hwnd, control_id):
        return int(self.call("tb-get", hwnd, control_id)[0])

    def tb_set(self, hwnd, control_id, pos):
        self.call("tb-set", hwnd, control_id, pos)

    # -- list view --

    def lv_count(self, hwnd, control_id):
        return int(self.call("lv-count", hwnd, control_id)[0])

    def lv_rows(self, hwnd, control_id):
        return [Row(t0, t1, t2, int(img), sel == "1", foc == "1", int(param))
                for img, sel, foc, param, t0, t1, t2 in _groups(self.call("lv-rows", hwnd, control_id), 7)]

    def lv_columns(self, hwnd, control_id):
        return [Column(int(w), t) for w, t in _groups(self.call("lv-columns", hwnd, control_id), 2)]

    def lv_select(self, hwnd, control_id, rows=()):
        self.call("lv-select", hwnd, control_id, *rows)

    def lv_edit(self, hwnd, control_id):
        return int(self.call("lv-edit", hwnd, control_id)[0], 0)

    def lv_click_column(self, hwnd, control_id, column):
        self.call("lv-click-column", hwnd, control_id, column)

    # -- tray and processes --

    def tray_icons(self):
        return [(int(h, 0), tip) for h, tip in _groups(self.call("tray-icons"), 2)]

    def processes(self, name=None):
        words = self.call("processes") if name is None else self.call("processes", name)
        return [(int(p), n) for p, n in _groups(words, 2)]

    def wait_idle(self, pid, timeout_ms):
        """WaitForInputIdle on a Win32 process: "idle", "busy" or "missing"."""
        return self.call("wait-idle", pid, timeout_ms)[0]

    # -- named objects --

    def mutex(self, name):
        """Create and hold the mutex `name` for as long as this qvctl runs."""
        self.call("mutex", name)

    def session(self):
        return int(self.call("session")[0])

    def wait_pid(self, pid, timeout_ms):
        """The exit code once the Win32 process pid has ended, else None."""
        answer = self.call("wait-pid", pid, timeout_ms)
        return int(answer[1]) if answer[0] == "exited" else None


# ---- settings --------------------------------------------------------------------

class Settings:
    """The settings key, value by value, in the program's byte images."""

    def __init__(self, ctl, key=SETTINGS_KEY):
        self.ctl, self.key = ctl, key

    def get(self, name):
        value = self.ctl.reg_get(self.key, name)
        return None if value is None else value[1]

    def type(self, name):
        value = self.ctl.reg_get(self.key, name)
        return None if value is None else value[0]

    def dword(self, name, signed=False):
        data = self.get(name)
        if data is None:
            return None
        if len(data) != 4:
            raise AssertionError("%s holds %d bytes, not 4" % (name, len(data)))
        return struct.unpack("<i" if signed else "<I", data)[0]

    def int64(self, name):
        data = self.get(name)
        if data is None:
            return None
        if len(data) != 8:
            raise AssertionError("%s holds %d bytes, not 8" % (name, len(data)))
        return struct.unpack("<q", data)[0]

    def set_dword(self, name, value):
        self.ctl.reg_set_dword(self.key, name, value)

    def set_int64(self, name, value):
        self.ctl.reg_set_binary(self.key, name, struct.pack("<q", value))

    def set_binary(self, name, data):
        self.ctl.reg_set_binary(self.key, name, data)

    def delete(self, name):
        return self.ctl.reg_delete_value(self.key, name)

    def names(self):
        """The value names in the key, or None when the key does not exist."""
        return self.ctl.reg_values(self.key)

    def exists(self):
        return self.ctl.reg_key_exists(self.key)

    def erase(self):
        return self.ctl.reg_delete_key(self.key)

    # -- servers --

    def server(self, slot):
        data = self.get("Server%03d" % slot)
        return None if data is None else unpack_server(data)

    def servers(self):
        """{slot: ServerRecord} of every stored "Server%03d" value."""
        found = {}
        for name in self.names() or []:
            m = re.fullmatch(r"Server(\d{3})", name)
            if m:
                found[int(m.group(1))] = unpack_server(self.get(name))
        return found

    def set_server(self, slot, entry):
        self.set_binary("Server%03d" % slot, _record_bytes(entry))

    def seed_servers(self, entries):
        """Store entries (names, ServerRecords or 152-byte images) in slots 0.., free
        every other slot, and write "Version" so the stored list is the one loaded."""
        entries = list(entries)
        if len(entries) > SERVER_SLOTS:
            raise ValueError("at most 50 servers")
        self.set_dword("Version", SETTINGS_VERSION)
        for slot, entry in enumerate(entries):
            self.set_server(slot, entry)
        for name in self.names() or []:
            m = re.fullmatch(r"Server(\d{3})", name)
            if m and int(m.group(1)) >= len(entries):
                self.delete(name)


# ---- the program -----------------------------------------------------------------

class Quorvel:
    """One `wine quorvel.exe ARGS` started by a test."""

    _claimed = set()  # Win32 pids already bound to a Quorvel handle

    def __init__(self, ctl, args="", exe=None, relay_log=None):
        self.ctl = ctl
        exe = exe or os.environ["QV_EXE"]
        command = ["wine", exe] + (args.split() if isinstance(args, str) else list(args))
        self._older = {pid for pid, _ in ctl.processes("quorvel.exe")}
        env, err = None, None
        if relay_log is not None:
            # Wine's relay channel: the calls into its DLLs that RelayInclude names.
            env = dict(os.environ, WINEDEBUG="+relay")
            err = open(relay_log, "wb")
        self.popen = subprocess.Popen(command, stdin=subprocess.DEVNULL, env=env, stderr=err)
        if err is not None:
            err.close()
        self.hwnd = 0
        self.wine_pid = None

    # -- process --

    def alive(self):
        return self.popen.poll() is None

    def wait_exit(self, timeout=30.0):
        """The program's exit code; raises WaitTimeout if it is still running."""
        try:
            return self.popen.wait(timeout)
        except subprocess.TimeoutExpired:
            raise WaitTimeout("quorvel.exe still running after %.0f s" % timeout) from None

    def _own_window(self):
        """This process's main window, or 0. A main window is a top-level window with
        the title and the server list (message boxes share the title); this process's
        is the one of a Win32 process that did not exist before the start."""
        if self.hwnd and self.ctl.is_window(self.hwnd):
            return self.hwnd
        programs = None
        for w in self.ctl.windows():
            if w.title != TITLE or not self.ctl.item(w.hwnd, IDC_SERVER_LIST):
                continue
            if self.wine_pid is None:
                # Look-alike windows of other programs are never this one's.
                if programs is None:
                    programs = {pid for pid, _ in self.ctl.processes("quorvel.exe")}
                if w.pid not in programs:
                    continue
            if self.wine_pid is None and w.pid not in self._older and w.pid not in self._claimed:
                self.wine_pid = w.pid
                self._claimed.add(w.pid)
            if w.pid == self.wine_pid:
                self.hwnd = w.hwnd
                return w.hwnd
        return 0

    def wait_window(self, timeout=30.0, idle=True):
        """The main window's handle once it exists and, with idle, once the program
        waits for input: the window has its title from the first step of its
        initialisation on, and commands posted before the end of it would meet a
        half-made window. Fails early when the process ends first (a second
        instance ends without a window of its own)."""
        deadline = time.monotonic() + timeout

        def found():
            hwnd = self._own_window()
            if not hwnd and not self.alive():
                raise AssertionError("quorvel.exe ended with code %s before its window appeared"
                                     % self.popen.returncode)
            return hwnd
        hwnd = wait_until(found, timeout, message="no main window after %.0f s" % timeout)
        if idle:
            left_ms = max(0, int((deadline - time.monotonic()) * 1000))
            if self.ctl.wait_idle(self.wine_pid, left_ms) == "busy":
                raise WaitTimeout("quorvel.exe still busy starting after %.0f s" % timeout)
        return hwnd

    def stop(self, timeout=20.0):
        """End this process only: command 116 to its own window, then SIGKILL by pid."""
        if self.alive():
            hwnd = self._own_window()
            if hwnd:
                try:
                    editor = self.ctl.lv_edit(hwnd, IDC_SERVER_LIST)
                    if editor:  # commands are ignored while a name is being edited
                        self.ctl.post(editor, WM_KEYDOWN, VK_ESCAPE, 0)
                    self.ctl.post(hwnd, WM_COMMAND, IDM_QUIT, 0)
                except CtlError:
                    pass
                try:
                    self.popen.wait(timeout)
                except subprocess.TimeoutExpired:
                    pass
            if self.alive():
                os.kill(self.popen.pid, signal.SIGKILL)
        code = self.popen.wait()
        self._claimed.discard(self.wine_pid)
        return code

    # -- the main window --

    def window(self):
        return self._own_window() or self.wait_window()

    def visible(self):
        return self.ctl.visible(self.window())

    def item_text(self, control_id):
        return self.ctl.item_text(self.window(), control_id)

    def status_text(self):
        return self.item_text(IDC_STATUS_TEXT)

    def clock_text(self):
        return self.item_text(IDC_CLOCK_TEXT)

    def schedule_text(self):
        return self.item_text(IDC_SCHEDULE_TEXT)

    def button_caption(self):
        return self.item_text(IDC_SYNCHRONIZE)

    def command(self, command_id):
        """Post WM_COMMAND id (returns at once)."""
        self.ctl.post(self.window(), WM_COMMAND, command_id, 0)

    def send_command(self, command_id, timeout_ms=10000):
        """Send WM_COMMAND id and wait until the program has handled it."""
        return self.ctl.send(self.window(), WM_COMMAND, command_id, 0, timeout_ms)

    def open(self):
        self.command(IDM_OPEN)

    def minimize(self):
        self.command(IDC_MINIMIZE)

    def quit(self):
        self.command(IDM_QUIT)

    def tray_dblclick(self):
        self.ctl.post(self.window(), WM_TRAY_CALLBACK, 0, WM_LBUTTONDBLCLK)

    def rows(self):
        return self.ctl.lv_rows(self.window(), IDC_SERVER_LIST)

    def columns(self):
        return self.ctl.lv_columns(self.window(), IDC_SERVER_LIST)

    def select_rows(self, rows):
        self.ctl.lv_select(self.window(), IDC_SERVER_LIST, rows)

    def click_column(self, column):
        self.ctl.lv_click_column(self.window(), IDC_SERVER_LIST, column)

    def editor(self):
        """The open label editor of the server list, or 0."""
        return self.ctl.lv_edit(self.window(), IDC_SERVER_LIST)

    def schedule_position(self):
        return self.ctl.tb_get(self.window(), IDC_SCHEDULE_SLIDER)

    def set_schedule(self, pos):
        """Move the slider as the user would: set it, then tell the window."""
        hwnd = self.window()
        self.ctl.tb_set(hwnd, IDC_SCHEDULE_SLIDER, pos)
        slider = self.ctl.item(hwnd, IDC_SCHEDULE_SLIDER)
        self.ctl.post(hwnd, WM_HSCROLL, (pos << 16) | TB_THUMBPOSITION, slider)
        self.ctl.post(hwnd, WM_HSCROLL, TB_ENDTRACK, slider)

    def move(self, x, y):
        self.ctl.move(self.window(), x, y)

    def rect(self):
        return self.ctl.rect(self.window())

    def msgbox(self, caption=TITLE):
        return self.ctl.msgbox(caption)

    def wait_msgbox(self, caption=TITLE, timeout=20.0):
        return wait_until(lambda: self.ctl.msgbox(caption), timeout,
                          message="no message box %r after %.0f s" % (caption, timeout))

    def press(self, box, button=IDOK):
        hwnd = box.hwnd if isinstance(box, MsgBox) else box
        self.ctl.click(hwnd, button)


def wait_msgbox(ctl, caption=TITLE, timeout=20.0):
    """A message box with this caption, once one exists: MsgBox(hwnd, text)."""
    return wait_until(lambda: ctl.msgbox(caption), timeout,
                      message="no message box %r after %.0f s" % (caption, timeout))


def press(ctl, box, button=IDOK):
    ctl.click(box.hwnd if isinstance(box, MsgBox) else box, button)


# ---- the base test case ---------------------------------------------------------

class QuorvelTestCase(unittest.TestCase):
    """Seeds a known registry before each test and cleans up after it.

    Override `servers` (names, ServerRecords or images) or `schedule` in a subclass,
    or change self.settings in setUp after calling super().setUp(), before start()."""

    servers = ()
    schedule = 0

    def setUp(self):
        super().setUp()
        self._started = []
        self.ctl = Ctl()
        self.addCleanup(self.ctl.close)
        self.settings = Settings(self.ctl)
        leftover = self.ctl.find_window(TITLE, IDC_SERVER_LIST)
        if leftover:
            raise AssertionError("a quorvel.exe window from an earlier test is still there")
        self.ctl.reg_delete_key(SETTINGS_KEY)
        self.ctl.reg_delete_value(RUN_KEY, RUN_VALUE)
        self.ctl.reg_delete_key(UNINSTALL_KEY)
        self.settings.set_dword("Schedule", self.schedule)
        self.settings.seed_servers(self.servers)

    def tearDown(self):
        for program in reversed(self._started):
            program.stop()
        super().tearDown()

    def start(self, args="", exe=None, relay_log=None):
        """Start quorvel.exe (or the copy at exe, a Windows or Linux path); stopped
        again at the end of the test. relay_log: a file for Wine's relay channel."""
        program = Quorvel(self.ctl, args, exe, relay_log)
        self._started.append(program)
        return program

    def start_ready(self):
        """Start the program and wait until its list shows every seeded server: a
        command that arrives while the window is still being initialised would
        find an empty server table."""
        program = self.start()
        program.wait_window()
        wait_until(lambda: len(program.rows()) == len(self.servers), 30, 0.1)
        return program

    def wait_statuses(self, expected, timeout=30.0):
        """Wait until every slot of {slot: status or (statuses)} has a wanted status."""
        def reached():
            for slot, wanted in expected.items():
                record = self.settings.server(slot)
                wanted = wanted if isinstance(wanted, tuple) else (wanted,)
                if record is None or record.status not in wanted:
                    return False
            return True
        wait_until(reached, timeout, 0.2, "statuses %r not reached" % (expected,))

    def timeserver(self, addr, **options):
        """A started TimeServer (see timeserver.py), stopped at the end of the test."""
        server = TimeServer(addr, **options).start()
        self.addCleanup(server.stop)
        return server
