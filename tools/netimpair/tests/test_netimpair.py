"""The relay must hold bytes for at least the configured time and hand them
over intact and in order on each connection, while letting connections
overtake each other: a relay that forwards early, garbles, reorders a
connection's bytes or queues all connections in one line would make every
figure measured through it wrong without any other test noticing.

Times are never asserted against the clock from above: the relay's own log
(Relay(record=True)) gives when each piece was read, when it was due and
when it was written, and the checks compare those."""

import os
import socket
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from netimpair import Impairment, Relay, handshake_kind  # noqa: E402

TIMEOUT = 20  # seconds, for every socket wait


class Echo:
    """A loopback echo server on its own thread, one thread per connection;
    closed by close()."""

    def __init__(self):
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(8)
        self.sock.settimeout(TIMEOUT)
        self.port = self.sock.getsockname()[1]
        self.threads = []
        self.thread = threading.Thread(target=self.accept, daemon=True)
        self.thread.start()

    def accept(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            t = threading.Thread(target=self.serve, args=(conn,), daemon=True)
            self.threads.append(t)
            t.start()

    @staticmethod
    def serve(conn):
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
        try:
            self.sock.shutdown(socket.SHUT_RDWR)   # wakes the blocked accept()
        except OSError:
            pass
        self.sock.close()
        for t in [self.thread] + self.threads:
            t.join(TIMEOUT)


def recv_exact(sock, n):
    out = bytearray()
    while len(out) < n:
        chunk = sock.recv(n - len(out))
        if not chunk:
            break
        out += chunk
    return bytes(out)


def by_conn(log, direction):
    """{connection: [Piece, ...] in the order the relay read them}."""
    out = {}
    for p in sorted(log, key=lambda p: p.read):
        if p.direction == direction and p.size:
            out.setdefault(p.conn, []).append(p)
    return out


class RelayTest(unittest.TestCase):
    def relay(self, up, down):
        echo = Echo()
        self.addCleanup(echo.close)
        relay = Relay(echo.port, up, down, record=True).start()
        self.addCleanup(relay.stop)
        return relay

    def connect(self, relay):
        c = socket.create_connection(("127.0.0.1", relay.port), timeout=TIMEOUT)
        c.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.addCleanup(c.close)
        return c

    def test_keeps_bytes_intact_and_in_order(self):
        rows = [
            ("jitter", Impairment(delay=3, jitter=3), 0),
            # Every fifth piece held 30 ms: the pieces behind it wait.
            ("loss held back", Impairment(delay=3, jitter=3, loss=20, rto=30), 1),
        ]
        for what, imp, least_lost in rows:
            with self.subTest(what):
                relay = self.relay(imp, imp)
                c = self.connect(relay)
                data = os.urandom(200000)
                got = bytearray()
                # Written in uneven pieces so that many release times are drawn.
                for off in range(0, len(data), 997):
                    c.sendall(data[off:off + 997])
                    if off % (997 * 20) == 0:
                        got += c.recv(65536)
                got += recv_exact(c, len(data) - len(got))
                self.assertEqual(bytes(got), data)
                self.assertGreaterEqual(relay.lost, least_lost)

    def test_never_delivers_before_the_configured_time(self):
        rows = [
            ("one-way delay up only", Impairment(delay=80), Impairment(), 0.080),
            ("delay in both directions adds up", Impairment(delay=40), Impairment(delay=40), 0.080),
            ("jitter never pulls a piece below delay - jitter",
             Impairment(delay=60, jitter=20), Impairment(), 0.040),
            ("a lost piece waits for its retransmission", Impairment(delay=10, loss=100, rto=100),
             Impairment(), 0.110),
            ("16000 bytes at 128 kbit/s take a second", Impairment(rate=128000), Impairment(), 1.0),
        ]
        for what, up, down, least in rows:
            with self.subTest(what):
                c = self.connect(self.relay(up, down))
                size = 16000 if up.rate else 100
                t0 = time.monotonic()
                c.sendall(b"x" * size)
                got = recv_exact(c, size)
                self.assertEqual(len(got), size)
                self.assertGreaterEqual(time.monotonic() - t0, least)

    def test_a_stall_holds_every_connection_in_either_direction(self):
        # A stall from the relay's start, 300 ms long, in one direction.
        stall = Impairment(stall=300, every=1000, phase=0)
        for what, up, down in [("up", stall, Impairment()), ("down", Impairment(), stall)]:
            with self.subTest(what):
                relay = self.relay(up, down)
                conns = [self.connect(relay) for _ in range(2)]
                for c in conns:
                    c.sendall(b"ping")
                for c in conns:
                    self.assertEqual(recv_exact(c, 4), b"ping")
                self.assertGreaterEqual(time.monotonic(), relay.origin + 0.300)

    def test_connections_overtake_each_other_but_never_themselves(self):
        """Two connections send small pieces in turn through a jittery,
        lossy link: on each, the pieces come out in the order they went in
        and none is due before its delay (less jitter, plus the
        retransmission when held as lost); across the two, some piece read
        later is written earlier."""
        imp = Impairment(delay=40, jitter=30, loss=25, rto=100)
        relay = self.relay(imp, Impairment())
        conns = [self.connect(relay) for _ in range(2)]
        sent = [bytearray(), bytearray()]
        for i in range(40):
            k = i % 2
            piece = bytes([i]) * 50
            conns[k].sendall(piece)
            sent[k] += piece
            time.sleep(0.003)
        for k, c in enumerate(conns):
            self.assertEqual(recv_exact(c, len(sent[k])), bytes(sent[k]))
        relay.stop()
        lanes = by_conn(relay.log, "up")
        self.assertEqual(len(lanes), 2)
        for pieces in lanes.values():
            for times in ([p.due for p in pieces], [p.written for p in pieces]):
                self.assertEqual(times, sorted(times))
            for p in pieces:
                least = (imp.delay - imp.jitter + (imp.rto if p.lost else 0)) / 1000.0
                self.assertGreaterEqual(p.due - p.read, least - 1e-6)
        self.assertGreater(relay.lost, 0)
        a, b = lanes.values()
        overtaken = [(x, y) for x in a + b for y in a + b
                     if x.conn != y.conn and x.read < y.read and y.written < x.written]
        self.assertTrue(overtaken, "no piece on one connection overtook the other's")

    def test_the_rate_cap_is_shared_by_all_connections(self):
        """8000 bytes on each of two connections through 128 kbit/s: the
        last piece cannot be due before 16000 bytes' time after the first
        was read."""
        relay = self.relay(Impairment(rate=128000), Impairment())
        conns = [self.connect(relay) for _ in range(2)]
        for c in conns:
            c.sendall(b"y" * 8000)
        for c in conns:
            self.assertEqual(len(recv_exact(c, 8000)), 8000)
        relay.stop()
        pieces = [p for p in relay.log if p.direction == "up" and p.size]
        self.assertEqual({p.conn for p in pieces}, {1, 2})
        first = min(p.read for p in pieces)
        self.assertGreaterEqual(max(p.due for p in pieces) - first, 16000 * 8 / 128000.0 - 1e-6)


def server_hello(exts):
    """A server's first record: a ServerHello with these (type, data)
    extensions, as a 2.28 (TLS 1.2) or 3.6 (TLS 1.3) service sends it."""
    body = b"\x03\x03" + bytes(32) + b"\x20" + bytes(32) + b"\x13\x01\x00"
    ext = b"".join(t.to_bytes(2, "big") + len(d).to_bytes(2, "big") + d for t, d in exts)
    body += len(ext).to_bytes(2, "big") + ext
    msg = b"\x02" + len(body).to_bytes(3, "big") + body
    return b"\x16\x03\x03" + len(msg).to_bytes(2, "big") + msg


class HandshakeKindTest(unittest.TestCase):
    """The relay's count of full and resumed handshakes: TLS 1.3 sends a
    ChangeCipherSpec after every ServerHello, so only the ServerHello's
    pre_shared_key tells a resumption there."""

    def test_rows(self):
        ccs = b"\x14\x03\x03\x00\x01\x01"
        cert = b"\x16\x03\x03\x00\x10\x0b"
        tls13 = (0x002B, b"\x03\x04")
        psk = (0x0029, b"\x00\x00")
        for name, flight, kind in [
                ("TLS 1.2, Certificate follows", server_hello([]) + cert, "full"),
                ("TLS 1.2, session accepted", server_hello([]) + ccs, "resumed"),
                ("TLS 1.3 without a pre-shared key", server_hello([tls13]) + ccs, "full"),
                ("TLS 1.3 with a pre-shared key", server_hello([tls13, psk]) + ccs, "resumed"),
                ("ServerHello cut short", server_hello([tls13])[:40], None)]:
            self.assertEqual(handshake_kind(flight), kind, name)


if __name__ == "__main__":
    unittest.main()
