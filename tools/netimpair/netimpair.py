#!/usr/bin/env python3
"""netimpair: a loopback TCP relay that makes a link look like Wi-Fi or 4G.

    netimpair.py --target PORT [--listen PORT] [--profile NAME]
                 [--up LINK] [--down LINK]

Clients connect to 127.0.0.1:LISTEN (0 picks a free port; the port is
printed as "netimpair: listening on 127.0.0.1:N origin=T", T the monotonic
seconds that date the stalls); each connection is
relayed to 127.0.0.1:TARGET. "up" is client to target, "down" target to
client; each direction is impaired on its own.

LINK is a comma list of delay=MS, jitter=MS, loss=PERCENT, rto=MS,
stall=MS, every=S, phase=S, rate=BITS_PER_S, queue=BYTES, seed=N, e.g.
"delay=20,jitter=20,loss=1,stall=300,every=10". A profile sets both;
--up/--down then change single keys.

Model, per direction. The relay reads at most one TCP segment (1448 bytes)
at a time; each piece read is released to its receiver at a time drawn for
it:

- Each connection has its own path through the network: its pieces get a
  one-way delay plus a uniform jitter drawn from that connection's own
  random sequence. Within a connection bytes stay in order (a piece is
  never released before the one read before it, so jitter stretches gaps);
  across connections pieces overtake each other freely, as parallel
  requests do on a real link.
- Loss is modelled as TCP sees it, as a retransmission delay: `loss`
  percent of the pieces are held `rto` milliseconds longer (the lost
  segment is sent again after the retransmission time-out), and, since the
  receiver hands bytes over in order, everything after it on the same
  connection waits behind it (head-of-line blocking). Other connections
  are not held.
- Stalls are the radio's: they start at phase + k * every seconds after the
  relay started, the same instants for both directions, and hold every
  connection; a piece whose release falls inside a stall waits for its
  end.
- The rate cap is a bottleneck all connections share: a piece leaves it at
  the line rate after those read before it, whatever their connection, and
  its delay counts from then. At most `queue` bytes wait in the relay, per
  connection (behind a rate cap: in the bottleneck, for all connections of
  the direction); beyond that it stops reading, and the senders' own
  sockets fill, as behind a real bottleneck.

Every draw comes from a sequence seeded by the direction's seed and the
connection's number, so a run with the same connections draws the same.
With record=True the relay keeps every piece it released (Relay.log).

Python stdlib only. Listens and connects on 127.0.0.1 only.
"""

import argparse
import asyncio
import collections
import random
import signal
import socket
import sys
import threading
import time

SEGMENT = 1448          # bytes read at a time: one Ethernet-sized TCP segment
DEFAULT_QUEUE = 65536   # bytes held per direction: about one TCP window
DEFAULT_RTO = 200       # ms: Linux's least retransmission time-out
LATE_S = 0.005          # a release this much after its time is counted late

# One radio: busy Wi-Fi's stalls fall at the same instants both ways.
_BUSY = {"delay": 20, "jitter": 20, "loss": 1, "stall": 300, "every": 10, "phase": 5}
_4G = {"delay": 40, "jitter": 15, "loss": 1}

# name: (up, down) keyword sets.
PROFILES = {
    "loopback": ({}, {}),
    "good-wifi": ({"delay": 5, "jitter": 5}, {"delay": 5, "jitter": 5}),
    "busy-wifi": (_BUSY, _BUSY),
    "4g": (_4G, _4G),
    # The bottleneck's queue holds half a second at the capped rate.
    "uplink-128k": ({"rate": 128000, "queue": 8000}, {}),
}

KEYS = ("delay", "jitter", "loss", "rto", "stall", "every", "phase", "rate", "queue", "seed")

# One released piece, as Relay.log keeps it: the connection's number, "up"
# or "down", monotonic seconds it was read, due and written, its bytes (0:
# the close) and whether it was held as lost.
Piece = collections.namedtuple("Piece", "conn direction read due written size lost")


class Impairment:
    """One direction's figures: milliseconds, percent for the loss, seconds
    for the stall schedule, bits per second for the rate (0 = no cap)."""

    def __init__(self, delay=0.0, jitter=0.0, loss=0.0, rto=DEFAULT_RTO, stall=0.0, every=0.0, phase=0.0,
                 rate=0, queue=DEFAULT_QUEUE, seed=None):
        self.delay = float(delay)
        self.jitter = float(jitter)
        self.loss = float(loss)
        self.rto = float(rto)
        self.stall = float(stall)
        self.every = float(every)
        self.phase = float(phase)
        self.rate = float(rate)
        self.queue = int(queue)
        self.seed = seed

    @classmethod
    def parse(cls, text, base=None):
        kw = dict(base or {})
        for item in filter(None, (s.strip() for s in text.split(","))):
            k, _, v = item.partition("=")
            if k not in KEYS:
                raise ValueError("unknown key %r in %r" % (k, text))
            kw[k] = float(v) if k not in ("queue", "seed") else int(v)
        return cls(**kw)

    def describe(self):
        parts = ["%g ms +/-%g ms" % (self.delay, self.jitter)]
        if self.loss:
            parts.append("%g%% loss held %g ms" % (self.loss, self.rto))
        if self.stall and self.every:
            parts.append("%g ms stall every %g s" % (self.stall, self.every))
        if self.rate:
            parts.append("%g kbit/s" % (self.rate / 1000))
        return ", ".join(parts)


class Link:
    """What one direction's connections share: the radio's stalls, the
    bottleneck's rate and its queue. Used from the relay's event loop only."""

    def __init__(self, imp, origin, seed):
        self.imp = imp
        self.origin = origin      # the relay's start: stalls are counted from it
        self.seed = seed
        self.link_free = 0.0      # when the capped link has sent what it was given
        self.lanes = 0            # connections seen
        # Behind a capped link the queue is the bottleneck's, shared; without
        # a cap each connection has its own, so that a receiver that stops
        # reading holds up only its own connection, as TCP's window does.
        self.shared = Bucket(imp.queue) if imp.rate > 0 else None

    def lane(self):
        """The next connection's own path through this direction."""
        self.lanes += 1
        return Lane(self, random.Random("%s/%d" % (self.seed, self.lanes)))

    def stall_end(self, t):
        """End of the stall that covers t, or None."""
        imp = self.imp
        if not (imp.stall > 0 and imp.every > 0):
            return None
        x = t - self.origin - imp.phase
        if x < 0:
            return None
        k = int(x // imp.every)
        start = self.origin + imp.phase + k * imp.every
        end = start + imp.stall / 1000.0
        return end if start <= t < end else None

    def leaves(self, arrival, nbytes):
        """When a piece read at `arrival` has passed the rate cap."""
        if self.imp.rate <= 0:
            return arrival
        self.link_free = max(arrival, self.link_free) + nbytes * 8.0 / self.imp.rate
        return self.link_free



class Bucket:
    """Bytes read and not yet written, against a limit; `room` is set while
    under it."""

    def __init__(self, limit):
        self.limit = limit
        self.held = 0
        self.room = asyncio.Event()
        self.room.set()

    def hold(self, nbytes):
        self.held += nbytes
        if self.held >= self.limit:
            self.room.clear()

    def free(self, nbytes):
        self.held -= nbytes
        if self.held < self.limit:
            self.room.set()


class Lane:
    """One connection's path in one direction: its own draws, its order."""

    def __init__(self, link, rng):
        self.link = link
        self.rng = rng
        self.bucket = link.shared or Bucket(link.imp.queue)
        self.last = 0.0           # release time of the previous piece

    def release(self, arrival, nbytes):
        """(release time, held as lost) of a piece read at `arrival`."""
        imp = self.link.imp
        extra = imp.delay + (self.rng.uniform(-imp.jitter, imp.jitter) if imp.jitter else 0.0)
        t = self.link.leaves(arrival, nbytes) + max(0.0, extra) / 1000.0
        lost = nbytes > 0 and imp.loss > 0 and self.rng.random() * 100.0 < imp.loss
        if lost:
            t += imp.rto / 1000.0
        end = self.link.stall_end(t)
        if end is not None:
            t = end
        t = max(t, self.last)
        self.last = t
        return t, lost


def hello_extensions(hello):
    """{type: data} of a ServerHello handshake message's extensions, or None
    when it is cut short."""
    at = 4 + 2 + 32                        # handshake header, version, random
    if len(hello) < at + 1:
        return None
    at += 1 + hello[at] + 2 + 1            # session id, cipher suite, compression
    if len(hello) < at + 2:
        return {}
    end = min(len(hello), at + 2 + int.from_bytes(hello[at:at + 2], "big"))
    at += 2
    exts = {}
    while at + 4 <= end:
        kind, size = int.from_bytes(hello[at:at + 2], "big"), int.from_bytes(hello[at + 2:at + 4], "big")
        exts[kind] = hello[at + 4:at + 4 + size]
        at += 4 + size
    return exts


def handshake_kind(server_bytes):
    """What a server's first flight says of the handshake: "full" or
    "resumed", None while too few bytes have come. TLS 1.3 (the ServerHello
    selects version 0x0304) resumes when the ServerHello accepts a
    pre-shared key; TLS 1.2 is full when its second record is the
    Certificate, resumed when it is the ChangeCipherSpec that follows a
    ServerHello accepting the client's session."""
    if len(server_bytes) < 5 or server_bytes[0] != 0x16:
        return None
    second = 5 + int.from_bytes(server_bytes[3:5], "big")
    if len(server_bytes) < second or server_bytes[5] != 0x02:
        return None if len(server_bytes) < second else "other"
    exts = hello_extensions(server_bytes[5:second])
    if exts is None:
        return "other"
    if exts.get(0x002B) == b"\x03\x04":    # supported_versions: TLS 1.3
        return "resumed" if 0x0029 in exts else "full"   # pre_shared_key
    if len(server_bytes) < second + 6:
        return None
    kind = server_bytes[second]
    if kind == 0x16 and server_bytes[second + 5] == 0x0b:
        return "full"
    if kind == 0x14:
        return "resumed"
    return "other"


class Relay:
    """The relay, run on its own thread and event loop, so that a test or a
    bench in the same process keeps its own timing. start() returns once it
    listens; stop() closes everything and joins the thread."""

    def __init__(self, target_port, up=None, down=None, listen_port=0, record=False):
        self.target_port = target_port
        self.up = up or Impairment()
        self.down = down or Impairment()
        self.listen_port = listen_port
        self.port = None
        self.origin = None
        self.connections = 0
        self.log = [] if record else None   # Piece per release, in release order
        self._loop = None
        self._server = None
        self._thread = None
        self._ready = threading.Event()
        self._error = None
        self._writers = set()
        self._links = {}
        self.released = 0         # pieces released
        self.late = 0             # of them more than LATE_S after their time
        self.late_max = 0.0
        self.lost = 0             # pieces held as lost
        self.handshakes = collections.Counter()   # handshake_kind() of each connection

    @classmethod
    def profile(cls, name, target_port, **kw):
        up, down = PROFILES[name]
        return cls(target_port, Impairment(**up), Impairment(**down), **kw)

    # -- life cycle --

    def start(self, timeout=10.0):
        self._thread = threading.Thread(target=self._run, name="netimpair", daemon=True)
        self._thread.start()
        if not self._ready.wait(timeout):
            raise RuntimeError("netimpair: relay did not start within %.0f s" % timeout)
        if self._error:
            raise RuntimeError("netimpair: %s" % self._error)
        return self

    def stop(self, timeout=10.0):
        if self._loop and self._thread and self._thread.is_alive():
            self._loop.call_soon_threadsafe(self._shutdown)
            self._thread.join(timeout)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def stalls(self, until):
        """(start, end) monotonic seconds of every stall before `until`."""
        imp = self.up if self.up.stall else self.down
        out = []
        if self.origin is None or not (imp.stall > 0 and imp.every > 0):
            return out
        t = self.origin + imp.phase
        while t < until:
            out.append((t, t + imp.stall / 1000.0))
            t += imp.every
        return out

    def _run(self):
        loop = asyncio.new_event_loop()
        self._loop = loop
        try:
            self._server = loop.run_until_complete(
                asyncio.start_server(self._accept, "127.0.0.1", self.listen_port))
            self.port = self._server.sockets[0].getsockname()[1]
            self.origin = time.monotonic()
            self._links = {"up": Link(self.up, self.origin, self.up.seed or 1),
                           "down": Link(self.down, self.origin, self.down.seed or 2)}
        except OSError as e:
            self._error = str(e)
            self._ready.set()
            loop.close()
            return
        self._ready.set()
        try:
            loop.run_forever()
        finally:
            loop.close()

    def _shutdown(self):
        if self._server:
            self._server.close()
        for w in list(self._writers):
            w.close()
        for task in asyncio.all_tasks(self._loop):
            task.cancel()
        self._loop.call_later(0.05, self._loop.stop)

    def _note(self, piece):
        """Counts releases that came later than scheduled: on a loaded
        machine the relay itself can add jitter, and whoever reads the
        figures should know how much."""
        self.released += 1
        late = piece.written - piece.due
        if late > LATE_S:
            self.late += 1
        if late > self.late_max:
            self.late_max = late
        if piece.lost:
            self.lost += 1
        if self.log is not None:
            self.log.append(piece)

    # -- one connection --

    async def _accept(self, c_reader, c_writer):
        try:
            await self._relay(c_reader, c_writer)
        except asyncio.CancelledError:
            # Shutting down: ending quietly keeps asyncio from reporting the
            # cancelled handler as an error.
            pass

    async def _relay(self, c_reader, c_writer):
        self._writers.add(c_writer)
        try:
            s_reader, s_writer = await asyncio.open_connection("127.0.0.1", self.target_port)
        except OSError:
            c_writer.close()
            self._writers.discard(c_writer)
            return
        self._writers.add(s_writer)
        for w in (c_writer, s_writer):
            sock = w.get_extra_info("socket")
            if sock is not None:
                sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.connections += 1
        conn = self.connections
        await asyncio.gather(self._pump(c_reader, s_writer, conn, "up"),
                             self._pump(s_reader, c_writer, conn, "down"),
                             return_exceptions=True)
        for w in (c_writer, s_writer):
            w.close()
            self._writers.discard(w)

    async def _pump(self, reader, writer, conn, direction):
        """Reads pieces, stamps each with its release time on this
        connection's lane and writes it then. Closing (EOF) travels like
        data: after the last piece."""
        lane = self._links[direction].lane()
        bucket = lane.bucket
        queue = collections.deque()     # (Piece, bytes), oldest first
        more = asyncio.Event()

        first_flight = bytearray() if direction == "down" else None

        def stamp(data):
            nonlocal first_flight
            if first_flight is not None:
                first_flight += data[:4096]
                kind = handshake_kind(first_flight) if data else "other"
                if kind or len(first_flight) >= 4096:
                    self.handshakes[kind or "other"] += 1
                    first_flight = None
            now = time.monotonic()
            due, lost = lane.release(now, len(data))
            queue.append((Piece(conn, direction, now, due, None, len(data), lost), data))
            bucket.hold(len(data))
            more.set()

        async def read_side():
            try:
                while True:
                    await bucket.room.wait()
                    data = await reader.read(SEGMENT)
                    stamp(data)
                    if not data:
                        return
            except (OSError, asyncio.IncompleteReadError):
                stamp(b"")

        reader_task = asyncio.ensure_future(read_side())
        try:
            while True:
                while not queue:
                    more.clear()
                    await more.wait()
                piece, data = queue[0]
                wait = piece.due - time.monotonic()
                if wait > 0:
                    await asyncio.sleep(wait)
                queue.popleft()
                bucket.free(len(data))
                self._note(piece._replace(written=time.monotonic()))
                if not data:
                    try:
                        if writer.can_write_eof():
                            writer.write_eof()
                    except OSError:
                        pass
                    return
                try:
                    writer.write(data)
                    await writer.drain()
                except OSError:
                    return
        finally:
            reader_task.cancel()
            bucket.free(sum(len(d) for _, d in queue))


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--target", type=int, required=True)
    ap.add_argument("--listen", type=int, default=0)
    ap.add_argument("--profile", default="loopback", choices=sorted(PROFILES))
    ap.add_argument("--up", default="")
    ap.add_argument("--down", default="")
    a = ap.parse_args(argv)
    up, down = PROFILES[a.profile]
    relay = Relay(a.target, Impairment.parse(a.up, up), Impairment.parse(a.down, down),
                  listen_port=a.listen)
    relay.start()
    # The origin (monotonic seconds) dates the stalls for whoever reads this.
    print("netimpair: listening on 127.0.0.1:%d origin=%.6f (up %s; down %s)"
          % (relay.port, relay.origin, relay.up.describe(), relay.down.describe()), flush=True)
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    while not stop.wait(3600):
        pass
    relay.stop()
    print("netimpair: released %d pieces (%d held as lost), %d more than %.0f ms late, the latest by %.1f ms; "
          "%d connections, handshakes %d full, %d resumed"
          % (relay.released, relay.lost, relay.late, LATE_S * 1000, relay.late_max * 1000, relay.connections,
             relay.handshakes["full"], relay.handshakes["resumed"]), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
