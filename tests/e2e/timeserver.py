"""RFC 868 time servers for the end-to-end tests.

A TimeServer listens on one loopback address (port 37 by default) in a thread of
the test process and answers each connection according to its mode:

  "answer"   the true time plus skew_ms, at once
  "delay"    the same, after delay_ms
  "short"    only short_bytes (< 4) of the answer, then close
  "trickle"  the 4 bytes one at a time, pause_ms apart
  "long"     the 4 bytes followed by extra bytes, in one send
  "close"    accept and close without sending anything
  "silent"   accept and never answer; the connection stays open until stop()

"Refused" needs no server: use an address where nothing listens.

The value sent is whole seconds since 1900: floor((now_ms + skew_ms) / 1000)
+ 2208988800 (mod 2**32), unless a fixed `value` is given. `modes` may list a mode
per connection (the last one repeats), e.g. ["answer", "silent"].

Every connection is logged in `server.log` as a Connection: accept and send
times in ms since 1900 by the host clock (the clock quorvel.exe reads under
Wine), the value and bytes sent. `Connection.offset_ms()` is what a client that
read the answer at the send time would compute as the server's lead.

As a program, for manual runs:
  python3 timeserver.py --addr 127.0.0.5 --skew-ms 150 [--mode answer] [--port 37]
"""
import argparse
import socket
import struct
import threading
import time

EPOCH_1900_TO_1970_S = 2208988800
MODES = ("answer", "delay", "short", "trickle", "long", "close", "silent")


def now_ms1900():
    """The host clock as ms since 1900-01-01 UTC."""
    return time.time_ns() // 1_000_000 + EPOCH_1900_TO_1970_S * 1000


def time_value(skew_ms=0, at_ms1900=None):
    """The 32-bit RFC 868 value for now (or at_ms1900) plus skew_ms."""
    at = now_ms1900() if at_ms1900 is None else at_ms1900
    return int((at + skew_ms) // 1000) % (1 << 32)  # skew_ms may have a fraction


class Connection:
    """One accepted connection as the server saw it."""

    def __init__(self, number, peer, accepted_ms):
        self.number = number          # 1 for the server's first connection
        self.peer = peer              # (address, port) of the client
        self.accepted_ms = accepted_ms
        self.sent_ms = None           # when the (first byte of the) answer went out
        self.last_sent_ms = None      # when the last byte went out
        self.value = None             # the 32-bit value the answer encodes
        self.sent = b""               # every byte sent
        self.closed_ms = None
        self.mode = None

    def offset_ms(self):
        """value in ms minus the send time: the server's lead over the host clock,
        give or take the whole-second truncation of the value."""
        if self.value is None or self.sent_ms is None:
            return None
        return self.value * 1000 - self.sent_ms

    def __repr__(self):
        return ("Connection(#%d %s mode=%s accepted=%s sent=%s value=%s bytes=%s closed=%s)"
                % (self.number, self.peer, self.mode, self.accepted_ms, self.sent_ms,
                   self.value, self.sent.hex(), self.closed_ms))


class TimeServer:
    def __init__(self, addr, mode="answer", skew_ms=0, delay_ms=0, pause_ms=50,
                 short_bytes=2, extra=b"\x00\x00\x00\x00", value=None, modes=None, port=37):
        for m in [mode] + list(modes or []):
            if m not in MODES:
                raise ValueError("unknown mode %r" % m)
        if not 0 <= short_bytes < 4:
            raise ValueError("short_bytes must be 0..3")
        self.addr, self.port = addr, port
        self.mode, self.modes = mode, list(modes or [])
        self.skew_ms, self.delay_ms, self.pause_ms = skew_ms, delay_ms, pause_ms
        self.short_bytes, self.extra, self.value = short_bytes, extra, value
        self.log = []
        self._lock = threading.Lock()
        self._stopping = threading.Event()
        self._open = set()
        self._threads = []
        self._listener = None
        self._accept_thread = None

    # -- life cycle --

    def start(self):
        listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            listener.bind((self.addr, self.port))
            listener.listen(64)
        except OSError:
            listener.close()
            raise
        listener.settimeout(0.05)
        self._listener = listener
        self._accept_thread = threading.Thread(target=self._accept_loop, daemon=True,
                                               name="timeserver %s" % self.addr)
        self._accept_thread.start()
        return self

    def stop(self):
        """Close the listener and every open connection; wait for the threads."""
        self._stopping.set()
        if self._accept_thread:
            self._accept_thread.join(5)
        if self._listener:
            self._listener.close()
            self._listener = None
        with self._lock:
            conns = list(self._open)
        for conn in conns:
            self._close(conn)
        for t in list(self._threads):
            t.join(5)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    # -- what tests read --

    def connections(self):
        with self._lock:
            return list(self.log)

    def count(self):
        with self._lock:
            return len(self.log)

    # -- inside --

    def _accept_loop(self):
        while not self._stopping.is_set():
            try:
                sock, peer = self._listener.accept()
            except socket.timeout:
                continue
            except OSError:
                break
            with self._lock:
                record = Connection(len(self.log) + 1, peer, now_ms1900())
                record.mode = self._mode_for(record.number)
                self.log.append(record)
                self._open.add(sock)
            t = threading.Thread(target=self._serve, args=(sock, record), daemon=True)
            self._threads.append(t)
            t.start()

    def _mode_for(self, number):
        if not self.modes:
            return self.mode
        return self.modes[min(number, len(self.modes)) - 1]

    def _answer(self, record):
        value = self.value if self.value is not None else time_value(self.skew_ms)
        record.value = value
        return struct.pack(">I", value)

    def _send(self, sock, record, data):
        if not data:
            return
        stamp = now_ms1900()
        sock.sendall(data)
        if record.sent_ms is None:
            record.sent_ms = stamp
        record.last_sent_ms = now_ms1900()
        record.sent += data

    def _serve(self, sock, record):
        mode = record.mode
        try:
            if mode == "delay" and self._stopping.wait(self.delay_ms / 1000.0):
                return
            if mode in ("answer", "delay"):
                self._send(sock, record, self._answer(record))
            elif mode == "short":
                self._send(sock, record, self._answer(record)[:self.short_bytes])
            elif mode == "long":
                self._send(sock, record, self._answer(record) + self.extra)
            elif mode == "trickle":
                answer = self._answer(record)
                for i in range(4):
                    if i and self._stopping.wait(self.pause_ms / 1000.0):
                        return
                    self._send(sock, record, answer[i:i + 1])
            elif mode == "silent":
                self._stopping.wait()
                return
        except OSError:
            pass
        finally:
            self._close(sock, record)

    def _close(self, sock, record=None):
        with self._lock:
            known = sock in self._open
            self._open.discard(sock)
        if known:
            try:
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            sock.close()
        if record is not None and record.closed_ms is None:
            record.closed_ms = now_ms1900()


def read_time(addr, port=37, timeout=5.0):
    """A plain client: connect, read until the server closes, return the bytes."""
    with socket.create_connection((addr, port), timeout=timeout) as sock:
        data = b""
        while True:
            chunk = sock.recv(64)
            if not chunk:
                return data
            data += chunk


def main():
    parser = argparse.ArgumentParser(description="RFC 868 time server for manual tests")
    parser.add_argument("--addr", default="127.0.0.5")
    parser.add_argument("--port", type=int, default=37)
    parser.add_argument("--mode", choices=MODES, default="answer")
    parser.add_argument("--skew-ms", type=int, default=0)
    parser.add_argument("--delay-ms", type=int, default=0)
    parser.add_argument("--pause-ms", type=int, default=50)
    parser.add_argument("--short-bytes", type=int, default=2)
    parser.add_argument("--value", type=lambda s: int(s, 0), default=None)
    args = parser.parse_args()
    server = TimeServer(args.addr, mode=args.mode, skew_ms=args.skew_ms, delay_ms=args.delay_ms,
                        pause_ms=args.pause_ms, short_bytes=args.short_bytes, value=args.value,
                        port=args.port).start()
    print("listening on %s:%d, mode %s" % (args.addr, args.port, args.mode), flush=True)
    shown = 0
    try:
        while True:
            time.sleep(0.2)
            for record in server.connections()[shown:]:
                if record.closed_ms is None:
                    break
                print(record, flush=True)
                shown += 1
    except KeyboardInterrupt:
        pass
    finally:
        server.stop()


if __name__ == "__main__":
    main()
