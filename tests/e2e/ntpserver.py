"""NTP servers (version 4, server mode) for the end-to-end tests.

An NtpServer answers UDP requests on one loopback address (port 123) in a thread
of the test process, by its mode:

  "answer"        the host clock plus skew_ms (sub-ms precision), at once; with
                  drift_ppm the skew grows by that many ppm of the time since
                  the server started (a server clock that runs fast)
  "silent"        never answers
  "kiss"          a Kiss-o'-Death: stratum 0 with the code `kiss` ("DENY", "RATE", "RSTR")
  "unsync"        a good answer with leap indicator 3 (clock not synchronized)
  "wrong_origin"  a good answer whose origin stamp is not the request's
  "long_hold"     sent at once, but its transmit stamp claims 3 s after its receive
                  stamp: a hold longer than any loopback round trip

`modes` may list a mode per request (the last one repeats). Every request is
logged in `server.log` as a Request: the host time it arrived (ms since 1900,
float), the mode used and the request's transmit stamp.

As a program: python3 ntpserver.py --addr 127.0.0.31 --skew-ms 250.4
"""
import argparse
import socket
import struct
import threading
import time

EPOCH_1900_TO_1970_S = 2208988800
MODES = ("answer", "silent", "kiss", "unsync", "wrong_origin", "long_hold")
LONG_HOLD_S = 3


def stamp_now(skew_ms=0.0, now_ns=None):
    """The host clock (or now_ns) plus skew_ms as a 64-bit NTP timestamp."""
    now_ns = time.time_ns() if now_ns is None else now_ns
    ns = now_ns + EPOCH_1900_TO_1970_S * 10**9 + int(round(skew_ms * 10**6))
    return ((ns << 32) // 10**9) % (1 << 64)


class Request:
    def __init__(self, number, peer, received_ms, mode, transmit):
        self.number, self.peer, self.received_ms = number, peer, received_ms
        self.mode, self.transmit = mode, transmit

    def __repr__(self):
        return "Request(#%d %s mode=%s at=%.3f)" % (self.number, self.peer, self.mode, self.received_ms)


class NtpServer:
    def __init__(self, addr, mode="answer", skew_ms=0.0, modes=None, kiss="DENY", port=123,
                 drift_ppm=0.0):
        for m in [mode] + list(modes or []):
            if m not in MODES:
                raise ValueError("unknown mode %r" % m)
        self.addr, self.port, self.mode, self.modes = addr, port, mode, list(modes or [])
        self.skew_ms, self.kiss, self.drift_ppm = skew_ms, kiss.encode("ascii"), drift_ppm
        self.started_ns = time.time_ns()
        self.log = []
        self._lock = threading.Lock()
        self._stopping = threading.Event()
        self._sock = None
        self._thread = None

    def start(self):
        sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        sock.bind((self.addr, self.port))
        sock.settimeout(0.05)
        self._sock = sock
        self._thread = threading.Thread(target=self._loop, daemon=True, name="ntpserver %s" % self.addr)
        self._thread.start()
        return self

    def stop(self):
        self._stopping.set()
        if self._thread:
            self._thread.join(5)
        if self._sock:
            self._sock.close()

    def requests(self):
        with self._lock:
            return list(self.log)

    def skew_at(self, now_ns):
        """The skew in ms at host time now_ns: it grows at drift_ppm."""
        return self.skew_ms + self.drift_ppm * 1e-6 * (now_ns - self.started_ns) / 1e6

    def _mode_for(self, number):
        if not self.modes:
            return self.mode
        return self.modes[min(number, len(self.modes)) - 1]

    def _loop(self):
        while not self._stopping.is_set():
            try:
                data, peer = self._sock.recvfrom(1024)
            except socket.timeout:
                continue
            except OSError:
                return
            now_ns = time.time_ns()
            received = stamp_now(self.skew_at(now_ns), now_ns)
            arrived_ms = time.time_ns() / 1e6 + EPOCH_1900_TO_1970_S * 1000
            if len(data) < 48:
                continue
            with self._lock:
                number = len(self.log) + 1
                mode = self._mode_for(number)
                self.log.append(Request(number, peer, arrived_ms, mode, data[40:48]))
            if mode == "silent":
                continue
            self._sock.sendto(self._answer(mode, data[40:48], received), peer)

    def _answer(self, mode, origin, received):
        leap, stratum, reference = 0, 1, b"LOCL"
        if mode == "kiss":
            leap, stratum, reference = 3, 0, self.kiss
        elif mode == "unsync":
            leap = 3
        if mode == "wrong_origin":
            origin = bytes(b ^ 0x5A for b in origin)
        head = struct.pack("!BBbb", (leap << 6) | (4 << 3) | 4, stratum, 6, -20)
        now_ns = time.time_ns()
        transmit = stamp_now(self.skew_at(now_ns), now_ns)
        if mode == "long_hold":
            transmit = (received + (LONG_HOLD_S << 32)) % (1 << 64)
        return (head + struct.pack("!II", 0, 0) + reference + struct.pack("!Q", received)
                + origin + struct.pack("!QQ", received, transmit))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--addr", default="127.0.0.31")
    parser.add_argument("--port", type=int, default=123)
    parser.add_argument("--skew-ms", type=float, default=0.0)
    parser.add_argument("--mode", default="answer", choices=MODES)
    parser.add_argument("--kiss", default="DENY")
    parser.add_argument("--drift-ppm", type=float, default=0.0)
    args = parser.parse_args()
    server = NtpServer(args.addr, args.mode, args.skew_ms, kiss=args.kiss, port=args.port,
                       drift_ppm=args.drift_ppm).start()
    try:
        while True:
            time.sleep(1)
    except KeyboardInterrupt:
        server.stop()


if __name__ == "__main__":
    main()
