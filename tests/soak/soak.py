#!/usr/bin/env python3
"""Soak and fault run: a full-duplex call through the real service on the
simulated modem card while, on a schedule, the card vanishes and returns,
capture fails with -EIO bursts and suspends, clients drop mid-body and
mid-stream, new streams supersede old ones, and hostile peers come and go:
silent TCP clients, a trickled ClientHello, a trickled head, and a listener
that stops reading.

    soak.py [SECONDS]        (default 180)

Checks, and exits non-zero when one fails:
  - the service never dies and answers health throughout;
  - the audio of every post answered "200 OK" reached the card in order,
    and any that is missing is accounted for by audio the card discarded
    (trims, closes) — nothing else may lose it;
  - threads, open descriptors and RSS return to their baseline afterwards.
"""

import os
import socket
import ssl
import struct
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
sys.path.insert(0, os.path.join(ROOT, "tools", "simcard"))

from harness import BUILD, HEALTH, STREAM, TX, Client, Service, TempDir, client_hello, request  # noqa: E402
from simcard import Sim  # noqa: E402

CARD = "RM500QGL"
PIECE_FRAMES = 320          # 20 ms posts, as a browser sends them
SEQ_WRAP = 30000            # post numbers are sample values 1..30000


def proc_figures(pid):
    status = open("/proc/%d/status" % pid).read()
    fields = dict(line.split(":", 1) for line in status.splitlines() if ":" in line)
    return {
        "threads": int(fields["Threads"]),
        "fds": len(os.listdir("/proc/%d/fd" % pid)),
        "rss_kib": int(fields["VmRSS"].split()[0]),
    }


class Soak:
    def __init__(self, seconds):
        self.seconds = seconds
        self.tmp = TempDir()
        self.sim = Sim.create(os.path.join(self.tmp.path, "sim"), BUILD, cards=[CARD])
        self.svc = Service(self.tmp.path, env=self.sim.env())
        self.stop = threading.Event()
        self.lock = threading.Lock()
        self.good_posts = []        # post numbers answered 200, in order
        self.failures = []
        self.health_misses = 0
        self.health_ok = 0
        self.streams_started = 0
        self.stream_bytes = 0
        self.hostile = []           # threads of the hostile peers

    # --- clients ---

    def poster(self):
        seq = 0
        c = None
        start = time.monotonic()
        n = 0
        while not self.stop.is_set():
            n += 1
            due = start + n * 0.02
            d = due - time.monotonic()
            if d > 0:
                time.sleep(d)
            seq = seq % SEQ_WRAP + 1
            body = struct.pack("<h", seq) * PIECE_FRAMES
            try:
                if c is None:
                    c = self.svc.connect()
                c.send(request("POST", TX, self.token, body=body))
                status = c.response()[0]
            except (OSError, EOFError, ssl.SSLError):
                c = None
                continue
            if status == "HTTP/1.1 200 OK":
                with self.lock:
                    self.good_posts.append(seq)
            else:
                c.close()
                c = None  # 503s close the connection

    def listener(self):
        while not self.stop.is_set():
            try:
                c = self.svc.connect()
                c.send(request("GET", STREAM, self.token))
                head = c.read_until(b"\r\n\r\n")
                if b" 200 " not in head.split(b"\r\n", 1)[0]:
                    c.close()
                    time.sleep(0.2)
                    continue
                with self.lock:
                    self.streams_started += 1
                while not self.stop.is_set():
                    size = int(c.read_until(b"\r\n")[:-2], 16)
                    c.read_exact(size + 2)
                    if size == 0:
                        break  # ended cleanly: superseded or capture failed
                    with self.lock:
                        self.stream_bytes += size
                c.close()
            except (OSError, EOFError, ssl.SSLError, ValueError):
                pass
            # Come back like a client would, not at once: a listener that
            # returns instantly would supersede every newer stream in turn.
            self.stop.wait(0.5)

    def health(self):
        while not self.stop.is_set():
            try:
                ok = self.svc.ask_once(request("GET", HEALTH, self.token, close=True))[0] == "HTTP/1.1 200 OK"
            except (OSError, EOFError, ssl.SSLError):
                ok = False
            with self.lock:
                if ok:
                    self.health_ok += 1
                else:
                    self.health_misses += 1
            self.stop.wait(0.5)

    # --- faults ---

    def drop_mid_body(self):
        c = self.svc.connect()
        c.send(b"POST %s?token=%s HTTP/1.1\r\nContent-Length: 6400\r\n\r\n" % (TX.encode(), self.token.encode())
               + b"\x01\x00" * 100)
        c.close()

    def drop_mid_stream(self):
        # A newer stream: it supersedes the listener's, then goes away.
        c = self.svc.connect()
        c.send(request("GET", STREAM, self.token))
        c.read_until(b"\r\n\r\n")
        c.read_exact(2000)
        c.close()

    def in_background(self, fn):
        t = threading.Thread(target=fn, daemon=True)
        self.hostile.append(t)
        t.start()

    def hold(self, socks, seconds=25.0):
        """Keeps `socks` open for `seconds` (or until the end), then closes them."""
        self.stop.wait(seconds)
        for s in socks:
            try:
                s.close()
            except OSError:
                pass

    def silent_clients(self):
        socks = [socket.create_connection(("127.0.0.1", self.svc.port), timeout=5) for _ in range(20)]
        self.in_background(lambda: self.hold(socks))

    def trickle(self, conn, send, data):
        """One byte a second on `conn` until the service hangs up (or the end)."""
        def run():
            try:
                for b in data:
                    if self.stop.wait(1.0):
                        break
                    send(bytes([b]))
            except (OSError, ssl.SSLError):
                pass
            conn.close()
        self.in_background(run)

    def trickled_hello(self):
        sock = socket.create_connection(("127.0.0.1", self.svc.port), timeout=5)
        self.trickle(sock, sock.sendall, client_hello())

    def trickled_head(self):
        c = self.svc.connect()
        self.trickle(c, c.send, request("GET", HEALTH, self.token))

    def stalled_listener(self):
        # A frozen tab: takes over the stream, then never reads again.
        c = Client(self.svc.port, self.svc.cert, rcvbuf=4096)
        c.send(request("GET", STREAM, self.token))
        self.in_background(lambda: self.hold([c]))

    def schedule(self):
        """One fault every 2 s, round robin, until the end."""
        faults = [
            ("unplug for 1 s", lambda: (self.sim.unplug(CARD), self.stop.wait(1.0), self.sim.plug(CARD))),
            ("capture -EIO x5", lambda: self.sim.eio(5, card=CARD)),
            ("capture suspend", lambda: self.sim.suspend(3, card=CARD)),
            ("client drops mid-body", self.drop_mid_body),
            ("client drops mid-stream", self.drop_mid_stream),
            ("capture stall 300 ms", lambda: self.sim.stall(300, card=CARD)),
            ("playback -EIO x1", lambda: self.sim.eio(1, card=CARD, direction="playback")),
            ("20 silent TCP clients", self.silent_clients),
            ("trickled ClientHello", self.trickled_hello),
            ("trickled head", self.trickled_head),
            ("listener stops reading", self.stalled_listener),
        ]
        i = 0
        while not self.stop.wait(2.0):
            name, fn = faults[i % len(faults)]
            try:
                fn()
            except (OSError, EOFError, ssl.SSLError) as e:
                print("soak: fault %r: %s" % (name, e))
            i += 1
        return i

    # --- the run ---

    def run(self):
        self.svc.start()
        pid = self.svc.proc.pid
        self.token = self.svc.token(ttl=self.seconds + 600)
        time.sleep(0.5)
        base = proc_figures(pid)
        print("soak: baseline %s" % base)

        threads = [threading.Thread(target=f, daemon=True)
                   for f in (self.poster, self.listener, self.health)]
        for t in threads:
            t.start()
        faults = [0]
        sched = threading.Thread(target=lambda: faults.__setitem__(0, self.schedule()), daemon=True)
        sched.start()
        deadline = time.monotonic() + self.seconds
        peak = dict(base)
        while time.monotonic() < deadline and self.svc.proc.poll() is None:
            time.sleep(1.0)
            f = proc_figures(pid)
            for k in peak:
                peak[k] = max(peak[k], f[k])
        self.stop.set()
        for t in threads + [sched] + self.hostile:
            t.join(timeout=30)

        alive = self.svc.proc.poll() is None
        if not alive:
            self.failures.append("service died with status %s" % self.svc.proc.returncode)
            return self.report(base, peak, None, faults[0])

        # Idle: streams and keep-alive connections end, the reaper closes the
        # sink (about 12 s), threads go back to main + reaper.
        settle_deadline = time.monotonic() + 40
        after = proc_figures(pid)
        while time.monotonic() < settle_deadline:
            after = proc_figures(pid)
            if after["threads"] <= base["threads"] and after["fds"] <= base["fds"]:
                break
            time.sleep(1.0)
        self.check_audio()
        # Freed memory is kept by the allocator for reuse; a leak shows as
        # growth well beyond one burst of connection stacks and buffers.
        for key, what, slack in (("threads", "threads", 0), ("fds", "open descriptors", 0),
                                 ("rss_kib", "RSS KiB", 4096)):
            if after[key] > base[key] + slack:
                self.failures.append("%s %d after the load, %d before" % (what, after[key], base[key]))
        if self.health_misses:
            self.failures.append("%d health checks failed (%d answered)" % (self.health_misses, self.health_ok))
        if not self.good_posts or not self.streams_started:
            self.failures.append("no call happened: %d good posts, %d streams"
                                 % (len(self.good_posts), self.streams_started))
        return self.report(base, peak, after, faults[0])

    def check_audio(self):
        rec = self.sim.record(CARD)
        samples = struct.unpack("<%dh" % (len(rec) // 2), rec[:len(rec) // 2 * 2])
        runs = []  # (post number, frames) in the order played
        for s in samples:
            if runs and runs[-1][0] == s:
                runs[-1][1] += 1
            else:
                runs.append([s, 1])
        played = [seq for seq, _ in runs if seq > 0]
        # In order: each post number follows the one before (modulo the wrap).
        for a, b in zip(played, played[1:]):
            if (b - a) % SEQ_WRAP == 0 or (b - a) % SEQ_WRAP > SEQ_WRAP // 2:
                self.failures.append("post %d played after post %d: out of order" % (b, a))
                break
        # Nothing lost but what the card was told to discard.
        played_set = set(played)
        missing = [s for s in self.good_posts if s not in played_set]
        discarded = sum(int(e["n"]) for e in self.sim.events(card=CARD, direction="playback", kind="discard"))
        if len(missing) * PIECE_FRAMES > discarded + PIECE_FRAMES:
            self.failures.append("%d answered posts never reached the card; the card discarded only %d frames"
                                 % (len(missing), discarded))
        self.audio = (len(self.good_posts), len(missing), discarded)

    def report(self, base, peak, after, faults):
        good, missing, discarded = getattr(self, "audio", (len(self.good_posts), None, None))
        print("soak: %d s, %d faults injected, %d streams, %d stream bytes" %
              (self.seconds, faults, self.streams_started, self.stream_bytes))
        print("soak: %d good posts, %s missing at the card, %s frames discarded by trims/closes"
              % (good, missing, discarded))
        print("soak: health answered %d, failed %d" % (self.health_ok, self.health_misses))
        print("soak: peak %s, after %s" % (peak, after))
        self.svc.stop()
        self.tmp.cleanup()
        for f in self.failures:
            print("soak: FAIL: " + f)
        print("soak: %s" % ("passed" if not self.failures else "FAILED"))
        return 0 if not self.failures else 1


if __name__ == "__main__":
    sys.exit(Soak(int(sys.argv[1]) if len(sys.argv) > 1 else 180).run())
