"""The relay must hold bytes for at least the configured time and hand them
over intact and in order: a relay that forwards early or garbles would make
every figure measured through it wrong without any other test noticing."""

import os
import socket
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from netimpair import Impairment, Relay  # noqa: E402

TIMEOUT = 20  # seconds, for every socket wait


class Echo:
    """A loopback echo server on its own thread; closed by close()."""

    def __init__(self):
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(4)
        self.sock.settimeout(TIMEOUT)
        self.port = self.sock.getsockname()[1]
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def serve(self):
        try:
            conn, _ = self.sock.accept()
        except OSError:
            return
        conn.settimeout(TIMEOUT)
        with conn:
            while True:
                try:
                    data = conn.recv(65536)
                except OSError:
                    return
                if not data:
                    return
                conn.sendall(data)

    def close(self):
        self.sock.close()
        self.thread.join(TIMEOUT)


def recv_exact(sock, n):
    out = bytearray()
    while len(out) < n:
        chunk = sock.recv(n - len(out))
        if not chunk:
            break
        out += chunk
    return bytes(out)


class RelayTest(unittest.TestCase):
    def through(self, up, down):
        echo = Echo()
        self.addCleanup(echo.close)
        relay = Relay(echo.port, up, down).start()
        self.addCleanup(relay.stop)
        c = socket.create_connection(("127.0.0.1", relay.port), timeout=TIMEOUT)
        self.addCleanup(c.close)
        return relay, c

    def test_keeps_bytes_intact_and_in_order_under_jitter(self):
        _, c = self.through(Impairment(delay=3, jitter=3), Impairment(delay=3, jitter=3))
        data = os.urandom(200000)
        got = bytearray()
        # Written in uneven pieces so that many release times are drawn.
        for off in range(0, len(data), 997):
            c.sendall(data[off:off + 997])
            if off % (997 * 20) == 0:
                got += c.recv(65536)
        got += recv_exact(c, len(data) - len(got))
        self.assertEqual(bytes(got), data)

    def test_never_delivers_before_the_configured_time(self):
        rows = [
            ("one-way delay up only", Impairment(delay=80), Impairment(), 0.080),
            ("delay in both directions adds up", Impairment(delay=40), Impairment(delay=40), 0.080),
            ("jitter never pulls a piece below delay - jitter",
             Impairment(delay=60, jitter=20), Impairment(), 0.040),
            ("16000 bytes at 128 kbit/s take a second", Impairment(rate=128000), Impairment(), 1.0),
        ]
        for what, up, down, least in rows:
            with self.subTest(what):
                _, c = self.through(up, down)
                size = 16000 if up.rate else 100
                t0 = time.monotonic()
                c.sendall(b"x" * size)
                got = recv_exact(c, size)
                self.assertEqual(len(got), size)
                self.assertGreaterEqual(time.monotonic() - t0, least)

    def test_holds_what_is_sent_in_a_stall_until_it_ends(self):
        # A stall from the relay's start, 300 ms long.
        stall = Impairment(stall=300, every=1000, phase=0)
        relay, c = self.through(stall, Impairment())
        c.sendall(b"ping")
        self.assertEqual(recv_exact(c, 4), b"ping")
        self.assertGreaterEqual(time.monotonic(), relay.origin + 0.300)


if __name__ == "__main__":
    unittest.main()
