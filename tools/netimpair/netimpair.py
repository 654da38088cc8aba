#!/usr/bin/env python3
"""netimpair: a loopback TCP relay that makes a link look like Wi-Fi or 4G.

    netimpair.py --target PORT [--listen PORT] [--profile NAME]
                 [--up LINK] [--down LINK]

Clients connect to 127.0.0.1:LISTEN (0 picks a free port; the port is
printed as "netimpair: listening on 127.0.0.1:N origin=T", T the monotonic
seconds that date the stalls); each connection is
relayed to 127.0.0.1:TARGET. "up" is client to target, "down" target to
client; each direction is impaired on its own.

LINK is a comma list of delay=MS, jitter=MS, stall=MS, every=S, phase=S,
rate=BITS_PER_S, queue=BYTES, seed=N, e.g. "delay=20,jitter=20,stall=300,
every=10". A profile sets both; --up/--down then change single keys.

Model, per direction: all connections share one link, as they share one
radio. Each piece read from a sender leaves the link at the line rate (if
capped) after those before it; it is released to its receiver one-way
delay plus a uniform jitter later, never before any piece the link took
earlier (the link is a FIFO queue: jitter stretches gaps, it never reorders
bytes, within a connection or across them); a piece whose release falls
inside a stall waits for the stall's end. Stalls start at phase + k * every seconds after the relay
started, the same instants for both directions (one radio link). At most
`queue` bytes wait in the relay; beyond that it stops reading, and the
sender's own socket fills, as behind a real bottleneck.

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
LATE_S = 0.005          # a release this much after its time is counted late

# name: (up, down) keyword sets.
PROFILES = {
    "loopback": ({}, {}),
    "good-wifi": ({"delay": 5, "jitter": 5}, {"delay": 5, "jitter": 5}),
    "busy-wifi": ({"delay": 20, "jitter": 20, "stall": 300, "every": 10, "phase": 5},
                  {"delay": 20, "jitter": 20, "stall": 300, "every": 10, "phase": 5}),
    "4g": ({"delay": 40, "jitter": 15}, {"delay": 40, "jitter": 15}),
    # The bottleneck's queue holds half a second at the capped rate.
    "uplink-128k": ({"rate": 128000, "queue": 8000}, {}),
}


class Impairment:
    """One direction's figures: milliseconds, seconds for the stall
    schedule, bits per second for the rate (0 = no cap)."""

    def __init__(self, delay=0.0, jitter=0.0, stall=0.0, every=0.0, phase=0.0, rate=0,
                 queue=DEFAULT_QUEUE, seed=None):
        self.delay = float(delay)
        self.jitter = float(jitter)
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
            if k not in ("delay", "jitter", "stall", "every", "phase", "rate", "queue", "seed"):
                raise ValueError("unknown key %r in %r" % (k, text))
            kw[k] = float(v) if k not in ("queue", "seed") else int(v)
        return cls(**kw)

    def describe(self):
        parts = ["%g ms +/-%g ms" % (self.delay, self.jitter)]
        if self.stall and self.every:
            parts.append("%g ms stall every %g s" % (self.stall, self.every))
        if self.rate:
            parts.append("%g kbit/s" % (self.rate / 1000))
        return ", ".join(parts)


class Schedule:
    """Release times for one direction of the link (seconds on the monotonic
    clock). Used from the relay's event loop only."""

    def __init__(self, imp, origin, rng):
        self.imp = imp
        self.origin = origin      # the relay's start: stalls are counted from it
        self.rng = rng
        self.link_free = 0.0      # when the capped link has sent what it was given
        self.last = 0.0           # release time of the previous piece

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

    def release(self, arrival, nbytes):
        imp = self.imp
        sent = arrival
        if imp.rate > 0:
            sent = max(arrival, self.link_free) + nbytes * 8.0 / imp.rate
            self.link_free = sent
        extra = imp.delay + (self.rng.uniform(-imp.jitter, imp.jitter) if imp.jitter else 0.0)
        t = sent + max(0.0, extra) / 1000.0
        end = self.stall_end(t)
        if end is not None:
            t = end
        t = max(t, self.last)
        self.last = t
        return t


class Relay:
    """The relay, run on its own thread and event loop, so that a test or a
    bench in the same process keeps its own timing. start() returns once it
    listens; stop() closes everything and joins the thread."""

    def __init__(self, target_port, up=None, down=None, listen_port=0):
        self.target_port = target_port
        self.up = up or Impairment()
        self.down = down or Impairment()
        self.listen_port = listen_port
        self.port = None
        self.origin = None
        self.connections = 0
        self._loop = None
        self._server = None
        self._thread = None
        self._ready = threading.Event()
        self._error = None
        self._writers = set()
        self._up_sched = None
        self.released = 0         # pieces released
        self.late = 0             # of them more than LATE_S after their time
        self.late_max = 0.0
        self._down_sched = None

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
            self._up_sched = Schedule(self.up, self.origin, random.Random(self.up.seed or 1))
            self._down_sched = Schedule(self.down, self.origin, random.Random(self.down.seed or 2))
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

    def _note_late(self, late):
        """Counts releases that came later than scheduled: on a loaded
        machine the relay itself can add jitter, and whoever reads the
        figures should know how much."""
        self.released += 1
        if late > LATE_S:
            self.late += 1
        if late > self.late_max:
            self.late_max = late

    # -- one connection --

    async def _accept(self, c_reader, c_writer):
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
        await asyncio.gather(self._pump(c_reader, s_writer, self._up_sched),
                             self._pump(s_reader, c_writer, self._down_sched),
                             return_exceptions=True)
        for w in (c_writer, s_writer):
            w.close()
            self._writers.discard(w)

    async def _pump(self, reader, writer, sched):
        """Reads pieces, stamps each with its release time and writes it
        then. Closing (EOF) travels like data: after the last piece."""
        queue = collections.deque()
        held = [0]
        more = asyncio.Event()
        room = asyncio.Event()
        room.set()

        async def read_side():
            try:
                while True:
                    await room.wait()
                    data = await reader.read(SEGMENT)
                    now = time.monotonic()
                    if not data:
                        queue.append((sched.release(now, 0), b""))
                        more.set()
                        return
                    queue.append((sched.release(now, len(data)), data))
                    held[0] += len(data)
                    if held[0] >= sched.imp.queue:
                        room.clear()
                    more.set()
            except (OSError, asyncio.IncompleteReadError):
                queue.append((time.monotonic(), b""))
                more.set()

        async def write_side():
            while True:
                while not queue:
                    more.clear()
                    await more.wait()
                t, data = queue[0]
                wait = t - time.monotonic()
                if wait > 0:
                    await asyncio.sleep(wait)
                queue.popleft()
                self._note_late(time.monotonic() - t)
                if not data:
                    try:
                        if writer.can_write_eof():
                            writer.write_eof()
                    except OSError:
                        pass
                    return
                held[0] -= len(data)
                if held[0] < sched.imp.queue:
                    room.set()
                try:
                    writer.write(data)
                    await writer.drain()
                except OSError:
                    return

        reader_task = asyncio.ensure_future(read_side())
        try:
            await write_side()
        finally:
            reader_task.cancel()


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
    print("netimpair: released %d pieces, %d more than %.0f ms late, the latest by %.1f ms"
          % (relay.released, relay.late, LATE_S * 1000, relay.late_max * 1000), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
