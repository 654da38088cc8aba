"""A call end to end: the real binary and libasound on the simulated modem
card, Python's ssl client on the other side. The downlink is checked frame
by frame (the card numbers every frame it captures), the uplink byte by
byte against what the card played."""

import os
import re
import select
import socket
import struct
import sys
import threading
import time
import unittest

from harness import HEALTH, ROOT, STREAM, TX, WAIT, Client, TempDir, fixed_answer, request, start_on_sim

sys.path.insert(0, os.path.join(ROOT, "tools", "simcard"))
from simcard import capture_time, decode_frames  # noqa: E402

CARD = "RM500QGL"
DEVICE = "plughw:CARD=%s" % CARD
PERIOD = 320  # frames per chunk and per capture read
STREAM_HEAD = (b"HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n"
               b"Cache-Control: no-store\r\nX-Accel-Buffering: no\r\n"
               b"Access-Control-Allow-Origin: *\r\n"
               b"Access-Control-Allow-Headers: content-type, x-audio-token\r\n"
               b"Access-Control-Allow-Methods: GET, POST, OPTIONS\r\n"
               b"Transfer-Encoding: chunked\r\nConnection: close\r\n\r\n")
NO_CARD = fixed_answer("503 Service Unavailable", b'{"success":false,"error":"no modem audio card"}')
SUMMARY = (r"downlink ended: (\d+) bytes in ([\d.]+)s = (\d+) Hz measured \(asked 16000\), "
           r"(\d+) chunks shed")
STATS = (r"uplink: (\d+) posts in ([\d.]+)s \(([\d.]+)/s\), (\d+)ms audio per post, "
         r"card ring (-?\d+)ms avg, (\d+) reused requests")


def wait_until(predicate, timeout=WAIT, what="condition"):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return
        time.sleep(0.02)
    raise AssertionError("timed out waiting for " + what)


def read_chunk(c):
    """The audio of the next chunk, or None for the last chunk. Every data
    chunk must be one whole capture period."""
    size = c.read_until(b"\r\n")
    if size == b"0\r\n":
        if c.read_exact(2) != b"\r\n":
            raise AssertionError("last chunk without its empty trailer")
        return None
    if size != b"280\r\n":
        raise AssertionError("chunk size line %r" % size)
    data = c.read_exact(640)
    if c.read_exact(2) != b"\r\n":
        raise AssertionError("chunk data not followed by CRLF")
    return data


def first_frame(data):
    g = decode_frames(list(struct.unpack("<%dh" % (len(data) // 2), data)))
    if g is None:
        raise AssertionError("chunk is not a contiguous run of the card's frames")
    return g


def samples(data):
    return struct.unpack("<%dH" % (len(data) // 2), data)


def unpadded(data):
    """What the card played without the silence the service queues while a
    post is late: whole periods of zero samples."""
    out, run = [], 0
    for v in samples(data):
        if v == 0:
            run += 1
            continue
        out.extend([0] * (run % PERIOD))
        out.append(v)
        run = 0
    out.extend([0] * (run % PERIOD))
    return struct.pack("<%dH" % len(out), *out)


class CallTest(unittest.TestCase):
    """One service on one simulated card for the whole class."""

    @classmethod
    def setUpClass(cls):
        cls.tmp = TempDir()
        try:
            cls.svc, cls.sim = start_on_sim(cls.tmp.path)
        except Exception:
            cls.tmp.cleanup()
            raise
        cls.tok = cls.svc.token()

    @classmethod
    def tearDownClass(cls):
        try:
            cls.svc.stop()
        finally:
            cls.tmp.cleanup()

    def setUp(self):
        self.clients = []
        self.log_mark = len(self.svc.log_text())
        self.event_mark = len(self.sim.events())

    def tearDown(self):
        for c in self.clients:
            c.close()
        if not self.sim.present(CARD):
            self.sim.plug(CARD)

    def connect(self):
        c = self.svc.connect()
        self.clients.append(c)
        return c

    def post(self, c, body, close=False, status="HTTP/1.1 200 OK"):
        c.send(request("POST", TX, self.tok, body=body, close=close))
        got, headers, answer, head = c.response()
        self.assertEqual(got, status, answer)
        if got == "HTTP/1.1 200 OK":
            self.assertEqual(head + answer, fixed_answer(
                "200 OK", b'{"success":true}', "close" if close else "keep-alive"))
            if close:
                self.assertTrue(c.closed(), "open after a post that asked to close")
        return head + answer

    def post_indexed(self, c, seq, body, next_index=None, status="HTTP/1.1 200 OK"):
        """A post that carries a sequence index: its 200 is today's answer
        with the sequence's next index added before the Connection line."""
        c.send(request("POST", TX, self.tok + "&seq=%d" % seq, body=body))
        got, _, answer, head = c.response()
        self.assertEqual(got, status, answer)
        if got == "HTTP/1.1 200 OK":
            lines = b"X-Audio-Next: %d\r\nAccess-Control-Expose-Headers: X-Audio-Next\r\n" % next_index
            self.assertEqual(head + answer, fixed_answer("200 OK", b'{"success":true}', "keep-alive").replace(
                b"Connection: ", lines + b"Connection: "))
        return head + answer

    def new_log(self):
        return self.svc.log_text()[self.log_mark:]

    def wait_new_log(self, pattern, count=1, timeout=WAIT):
        wait_until(lambda: len(re.findall(pattern, self.new_log())) >= count, timeout,
                   "log line %r x%d; log since test start:\n%s" % (pattern, count, self.new_log()))

    def new_events(self, **kw):
        return [e for e in self.sim.events()[self.event_mark:]
                if all(getattr(e, k) == v for k, v in kw.items())]

    def quiet(self):
        """Waits until the service has left the card alone: after the last
        post it keeps the card fed with silence for a second, a period at a
        time, then lets it run dry."""
        def stopped():
            writes = self.sim.events(card=CARD, direction="playback", kind="write")
            audio = [e.t for e in writes if not e["silent"]]
            now = time.monotonic()
            return not writes or (now - writes[-1].t / 1e9 > 0.3 and now - max(audio, default=0) / 1e9 > 1.1)
        wait_until(stopped, what="the card's writes to stop")

    def open_streams(self, direction, waiting=False):
        """Streams of this direction that the card has seen opened and not
        closed; with waiting, also opens still waiting for the device."""
        opened, closed = set(), set()
        for e in self.sim.events(card=CARD, direction=direction):
            if e.kind == "open" or waiting and e.kind == "openwait":
                opened.add(e.stream)
            elif e.kind in ("close", "openfail"):
                closed.add(e.stream)
        return opened - closed


class Downlink(CallTest):

    def tearDown(self):
        super().tearDown()
        # Every stream of this test has ended before the next one starts,
        # so that its lines never land in another test's part of the log.
        # A stream logs its start before it reads and its end after it
        # has closed the device, so the device goes first.
        self.wait_capture_released()
        ended = r"downlink ended: |downlink stream ended \(no data\)"
        wait_until(lambda: len(re.findall(ended, self.svc.log_text())) ==
                   len(re.findall(r"downlink stream started", self.svc.log_text())),
                   WAIT, "every stream to end")

    def start_stream(self, rcvbuf=None):
        c = Client(self.svc.port, self.svc.cert, rcvbuf=rcvbuf) if rcvbuf else self.svc.connect()
        self.clients.append(c)
        c.send(request("GET", STREAM, self.tok))
        return c

    def threads(self):
        return len(os.listdir("/proc/%d/task" % self.svc.proc.pid))

    def expect_head(self, c):
        self.assertEqual(c.read_until(b"\r\n\r\n"), STREAM_HEAD)

    def drain_to_end(self, c, limit=200):
        """Reads the rest of a superseded stream; returns its data chunks."""
        out = []
        for _ in range(limit):
            data = read_chunk(c)
            if data is None:
                self.assertTrue(c.closed(), "bytes after the last chunk")
                return out
            out.append(data)
        self.fail("stream did not end")

    def wait_capture_released(self):
        wait_until(lambda: not self.open_streams("capture", waiting=True), WAIT,
                   "capture device closed")

    def assert_contiguous(self, frames, live=None):
        """Each chunk starts where the one before ended, except where the card overran (a loaded
        machine can stall the reader past the 80 ms capture buffer); returns the frames lost to
        overruns. With `live` (the client), what reached it by now also holds every period the
        service had read from the card, but one it may still be sending: nothing is held back."""
        if live:
            read = max(e["g"] + e["n"] for e in self.new_events(kind="read") if e.t <= time.monotonic_ns())
            while live.buf or live.sock.pending() or select.select([live.sock], [], [], 0)[0]:
                frames.append(first_frame(read_chunk(live)))
            self.assertGreaterEqual(frames[-1] + 2 * PERIOD, read, "the stream holds audio back")
        gaps = [b - a - PERIOD for a, b in zip(frames, frames[1:])]
        breaks = [g for g in gaps if g]
        overruns = self.new_events(dir="capture", kind="xrun")
        self.assertLessEqual(len(breaks), len(overruns), "audio lost or repeated without an overrun")
        return sum(g for g in breaks if g > 0)

    def test_stream_carries_the_cards_audio_in_real_time_until_a_newer_stream_takes_over(self):
        first = self.start_stream()
        self.expect_head(first)
        frames = [first_frame(read_chunk(first)) for _ in range(100)]
        self.assert_contiguous(frames, live=first)

        second = self.start_stream()
        frames += [first_frame(d) for d in self.drain_to_end(first)]
        lost = self.assert_contiguous(frames)
        self.wait_new_log(SUMMARY)
        nbytes, seconds, rate, shed = re.search(SUMMARY, self.new_log()).groups()
        self.assertEqual(int(shed), 0)
        self.assertEqual(int(nbytes), 640 * len(frames))
        self.assertGreater(float(seconds), 1.5)
        # The card's own rate, counting what an overrun took from the reader.
        self.assertTrue(15000 <= int(rate) + lost / float(seconds) <= 17000, (rate, lost))

        self.expect_head(second)
        later = [first_frame(read_chunk(second)) for _ in range(10)]
        self.assertGreater(later[0], frames[-1])
        self.assert_contiguous(later)
        self.assertEqual(len(re.findall(r"downlink stream started", self.new_log())), 2)
        self.assertEqual(len(self.open_streams("capture")), 1)

        # The client going away is seen at the next write: the stream ends
        # and the card gets its capture side back.
        second.close()
        self.wait_new_log(SUMMARY, count=2)
        self.wait_capture_released()

    def test_capture_that_cannot_open_still_ends_the_running_stream(self):
        first = self.start_stream()
        self.expect_head(first)
        for _ in range(5):
            read_chunk(first)
        # Refused outright: a device busy for a moment is asked again.
        self.sim.open_error("EACCES", direction="capture")
        second = self.start_stream()
        _, _, body, head = second.response()
        self.assertEqual(head + body, fixed_answer(
            "503 Service Unavailable", b'{"success":false,"error":"capture unavailable"}'))
        self.assertTrue(second.closed())
        self.drain_to_end(first)
        self.wait_new_log(SUMMARY)
        self.assertRegex(self.new_log(), r"capture open failed: open %s: \S" % DEVICE)
        self.wait_capture_released()

    def test_no_card_is_refused_without_a_log_line(self):
        captures = len(self.sim.events(direction="capture"))
        self.sim.unplug(CARD)
        c = self.start_stream()
        _, _, body, head = c.response()
        self.assertEqual(head + body, NO_CARD)
        self.assertTrue(c.closed())
        self.assertEqual(self.new_log(), "")
        self.assertEqual(len(self.sim.events(direction="capture")), captures)

    def test_short_capture_burst_is_delivered_whole_and_the_stream_returns_to_real_time(self):
        c = self.start_stream()
        self.expect_head(c)
        for _ in range(10):
            read_chunk(c)
        # 60 ms fits the 80 ms capture buffer: nothing is lost, and a lead
        # of a few periods is far below the shedding threshold.
        self.assertTrue(self.sim.wait_claimed(self.sim.stall(60), WAIT))
        self.assert_contiguous([first_frame(read_chunk(c)) for _ in range(40)], live=c)
        # 300 ms overruns the buffer; the stream carries on from fresh audio.
        self.assertTrue(self.sim.wait_claimed(self.sim.stall(300), WAIT))
        self.assert_contiguous([first_frame(read_chunk(c)) for _ in range(40)], live=c)
        self.assertNotIn("shedding", self.new_log())
        c.close()
        self.wait_new_log(SUMMARY)
        self.wait_capture_released()

    def test_card_running_fast_is_shed_back_to_real_time(self):
        c = self.start_stream()
        self.expect_head(c)
        frames = [first_frame(read_chunk(c)) for _ in range(10)]
        # A card clock at twice real time hands over audio faster than it
        # can be heard; the client must still get about one second per
        # second, with whole chunks left out.
        self.sim.set_clock(CARD, 2.0)
        start = time.monotonic()
        received = 0
        while time.monotonic() - start < 1.5:
            frames.append(first_frame(read_chunk(c)))
            received += PERIOD
        elapsed = time.monotonic() - start
        self.assertLess(received, (elapsed + 0.25 + 0.1) * 16000)
        self.assertGreater(received, 0.5 * elapsed * 16000)
        self.sim.set_clock(CARD, 1.0)
        for _ in range(25):
            frames.append(first_frame(read_chunk(c)))
        newer = self.start_stream()
        frames += [first_frame(d) for d in self.drain_to_end(c)]
        self.expect_head(newer)

        self.wait_new_log(SUMMARY)
        nbytes, _, _, shed = re.search(SUMMARY, self.new_log()).groups()
        self.assertGreater(int(shed), 10)
        self.assertEqual(int(nbytes), 640 * (len(frames) + int(shed)))
        # What the client missed is exactly the shed chunks, overruns or not
        # (at twice real time the card's buffer lasts only 40 ms): the card
        # logs every frame it hands to the stream.
        stream = self.new_events(dir="capture", kind="open")[0].stream
        handed = sum(e["n"] for e in self.new_events(dir="capture", kind="read", stream=stream))
        self.assertEqual(handed, PERIOD * (len(frames) + int(shed)))
        counts = re.findall(r"downlink shedding buffered backlog \((\d+) chunks\)", self.new_log())
        self.assertEqual(counts, [n for n in ("1", "10", "100") if int(n) <= int(shed)])

    def test_listener_that_stalls_is_shed_and_never_blocks_a_newer_stream(self):
        # A listener whose kernel buffers little (a phone's small window, a
        # frozen tab): what waits unsent in the socket counts as lead, so a
        # pause costs skipped audio, never stale audio or a blocked stream.
        base = self.threads()
        first = self.start_stream(rcvbuf=4096)
        self.expect_head(first)
        for _ in range(10):
            read_chunk(first)
        time.sleep(5.0)
        # What waited in the buffers comes at once (it is as old as the
        # pause); then the stream is live again.
        stale = 0
        while time.monotonic() - capture_time(first_frame(read_chunk(first))) > 0.5:
            stale += 1
            self.assertLess(stale, 400, "never caught up")
        self.assertLessEqual(stale * PERIOD / 16000, 1.0, "seconds of stale audio after a pause")
        self.wait_new_log(r"downlink shedding buffered backlog \(1 chunks\)")

        # It stops reading for good; a newer stream still gets the device
        # at once, and the stalled one ends: last chunk, device, thread.
        time.sleep(15.0)
        started = time.monotonic()
        second = self.start_stream()
        self.expect_head(second)
        self.assertLess(time.monotonic() - started, 3.0)
        self.wait_new_log(SUMMARY, timeout=5.0)
        read_chunk(second)
        wait_until(lambda: self.threads() == base + 1, 25.0, "the stalled stream's thread to end")
        self.assertEqual(len(self.open_streams("capture")), 1)

    def test_storm_of_stream_requests_leaves_exactly_one_stream(self):
        n = 8
        results = [dict(head=None, chunks=0, ended=False, last=0.0) for _ in range(n)]
        clients = [self.connect() for _ in range(n)]

        def run(i):
            c, r = clients[i], results[i]
            try:
                c.send(request("GET", STREAM, self.tok))
                head = c.read_until(b"\r\n\r\n")
                r["head"] = head
                if head != STREAM_HEAD:
                    r["ended"] = True  # an error answer
                    return
                while read_chunk(c) is not None:
                    r["chunks"] += 1
                    r["last"] = time.monotonic()
                r["ended"] = c.closed()
            except (OSError, EOFError, ValueError):
                pass  # the winner, closed under its reader

        threads = [threading.Thread(target=run, args=(i,), daemon=True) for i in range(n)]
        for t in threads:
            t.start()
        # Settled: every answered request but one has ended, and that one
        # goes on streaming. Requests whose capture open still waits for
        # the device have no answer yet.
        def answered():
            return [i for i, r in enumerate(results) if r["head"] and not r["ended"]]

        wait_until(lambda: len(answered()) == 1 and results[answered()[0]]["chunks"] >= 25,
                   WAIT, "one stream left: %r" % results)
        winner = answered()[0]
        count = results[winner]["chunks"]
        wait_until(lambda: results[winner]["chunks"] >= count + 25, WAIT, "the winner to go on")
        self.assertEqual(answered(), [winner])
        self.assertEqual(len(self.open_streams("capture")), 1)
        for r in results:
            if r["ended"] and r["head"] != STREAM_HEAD:
                self.assertTrue(r["head"].startswith(b"HTTP/1.1 503 "), r["head"])
        # Once the winner's client leaves, the waiting ones get the device,
        # find themselves superseded and end; none may linger or stream on.
        clients[winner].close()
        for i, t in enumerate(threads):
            if i != winner:
                t.join(WAIT)
                self.assertTrue(results[i]["ended"], (i, results[i]))
        self.wait_capture_released()


class Uplink(CallTest):

    def settled_record(self):
        """Everything played so far: waits until the card's queue has run
        dry, then lets an empty post read the card so that it records."""
        self.quiet()
        self.post(self.connect(), b"", close=True)
        return self.sim.record(CARD)

    def writes(self):
        """Writes of audio, not of the silence bridging a late post."""
        return len([e for e in self.sim.events(card=CARD, direction="playback", kind="write")
                    if not e["silent"]])

    def test_paced_posts_reach_the_card_byte_for_byte_in_order(self):
        before = len(self.settled_record())
        c = self.connect()
        sent = []
        for i in range(100):
            body = struct.pack("<320H", *[(i * 320 + k) & 0xFFFF for k in range(320)])
            self.post(c, body)
            sent.append(body)
            # The next post goes out 20 ms after this one was played into
            # the card, so the queue never reaches the ceiling.
            time.sleep(0.02)
        self.assertEqual(unpadded(self.settled_record()[before:]), b"".join(sent))
        self.assertNotRegex(self.new_log(), r"uplink: (skipped|dropped|played \d+ms less)")

    def test_indexed_posts_out_of_order_over_two_connections_play_in_order_once(self):
        before = len(self.settled_record())
        a, b = self.connect(), self.connect()
        frame = [struct.pack("<320H", *([0x1000 + i] * 320)) for i in range(8)]
        base = 1000
        # (connection, index of the first frame, frames, next index): the
        # post of frames 2-3 is overtaken by 4-5 on the other connection,
        # and 5-7 overlaps it. Each post comes once the card has played
        # the one before, so the ceiling leaves every new frame alone.
        for c, first, n, next_index in ((a, 0, 2, 2), (b, 4, 2, 6), (a, 2, 2, 6), (b, 5, 3, 8)):
            self.post_indexed(c, base + first, b"".join(frame[first:first + n]), base + next_index)
            time.sleep(0.06)
        tail = b"\x33\x33" * 320
        self.post(a, tail)  # without an index: today's answer, byte for byte
        played = unpadded(self.settled_record()[before:])
        self.assertEqual(played, b"".join(frame[i] for i in (0, 1, 4, 5, 6, 7)) + tail)

    def test_late_posts_are_bridged_with_silence(self):
        self.quiet()
        before = len(self.settled_record())
        c = self.connect()
        sent = []
        # Three talk spurts of 20 ms posts, each followed by a post 150 ms
        # late: more than the card holds, so only the silence the service
        # queues keeps the card playing until it comes.
        for i in range(13):
            body = struct.pack("<320H", *[(i * 320 + k + 1) & 0xFFFF or 1 for k in range(320)])
            self.post(c, body)
            sent.append(body)
            time.sleep(0.15 if i % 4 == 3 else 0.015)
        played = self.settled_record()[before:]
        self.assertEqual(unpadded(played), b"".join(sent))
        late = [played.index(sent[i]) for i in (4, 8, 12)]
        self.assertEqual([played[at - 2 * PERIOD:at] == bytes(2 * PERIOD) for at in late], [True] * 3)
        self.assertRegex(self.new_log(), r"uplink: played \d+ms of silence while a post was late \(\d+ times\)")

    def test_body_framing(self):
        c = self.connect()
        # A body split across several writes, then a whole post and a
        # pipelined post in one write; only 640 bytes each, so no skip.
        a, b, d = (struct.pack("<320H", *([v] * 320)) for v in (0xA1A1, 0xB2B2, 0xC3C3))
        head = request("POST", TX, self.tok, body=a)[:-len(a)]
        c.send(head + a[:100])
        for piece in (a[100:300], a[300:301], a[301:]):
            time.sleep(0.05)
            c.send(piece)
        self.assertEqual(c.response()[0], "HTTP/1.1 200 OK")
        c.send(request("POST", TX, self.tok, body=b) + request("POST", TX, self.tok, body=d))
        self.assertEqual(c.response()[:3:2], ("HTTP/1.1 200 OK", b'{"success":true}'))
        self.assertEqual(c.response()[:3:2], ("HTTP/1.1 200 OK", b'{"success":true}'))
        self.assertTrue(unpadded(self.settled_record()).endswith(a + b + d))

        # No Content-Length: an answer, and nothing reaches the card.
        writes = self.writes()
        self.post(c, b"")
        self.assertEqual(self.writes(), writes)

        # The largest body is read to its last byte: the next request on
        # the connection is found right after it.
        self.post(c, bytes(65536))
        self.post(c, a)

        # Too long: refused at once, before any of the body is sent.
        for length in ("65537", "-1"):
            c = self.connect()
            c.send("POST %s?token=%s HTTP/1.1\r\nContent-Length: %s\r\n\r\n" % (TX, self.tok, length))
            _, _, answer, head = c.response()
            self.assertEqual(head + answer, fixed_answer("413 Payload Too Large"))
            self.assertTrue(c.closed())

    def test_half_a_body_then_close_gets_no_answer(self):
        writes = self.writes()
        c = self.connect()
        body = b"\x11" * 1280
        c.send(request("POST", TX, self.tok, body=body)[:-640])
        time.sleep(0.1)
        # End our half of the TCP connection under the TLS session, so the
        # service's read sees the peer gone while we can still read.
        with socket.socket(fileno=os.dup(c.sock.fileno())) as raw:
            raw.shutdown(socket.SHUT_WR)
        self.assertTrue(c.closed(), "an answer to an incomplete post")
        self.assertEqual(self.writes(), writes)
        self.post(self.connect(), bytes(640))

    def test_concurrent_posts_never_interleave_at_the_card(self):
        before = len(self.settled_record())
        clients, rounds = 4, 20
        failures = []

        def run(ident):
            try:
                c = self.svc.connect()
                for seq in range(rounds):
                    value = ident << 8 | seq
                    c.send(request("POST", TX, self.tok, body=struct.pack("<H", value) * 1280))
                    status = c.response()[0]
                    if status != "HTTP/1.1 200 OK":
                        failures.append((ident, seq, status))
                c.close()
            except (OSError, EOFError) as e:
                failures.append((ident, repr(e)))

        threads = [threading.Thread(target=run, args=(i + 1,)) for i in range(clients)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(3 * WAIT)
        self.assertEqual(failures, [])
        played = samples(unpadded(self.settled_record()[before:]))
        runs = []
        for v in played:
            if runs and runs[-1][0] == v:
                runs[-1][1] += 1
            else:
                runs.append([v, 1])
        values = [v for v, _ in runs]
        # Each post's written part reaches the card in one piece, so every
        # post shows as at most one run, and a client's posts in its order.
        self.assertEqual(len(values), len(set(values)), "a post split by another at the card")
        for ident in range(1, clients + 1):
            seqs = [v & 0xFF for v in values if v >> 8 == ident]
            self.assertEqual(seqs, sorted(seqs))
            self.assertGreater(len(seqs), 0)
        self.assertTrue(all(n <= 1280 for _, n in runs))
        waits = [w["wait"] for w in self.sim.queue_waits(CARD) if w["wait"] is not None]
        self.assertLess(max(waits), 0.125)

    def test_vanishing_card_then_a_device_that_cannot_open(self):
        c = self.connect()
        self.post(c, bytes(640))
        self.sim.unplug(CARD)
        self.assertEqual(self.post(c, bytes(640), status="HTTP/1.1 503 Service Unavailable"), NO_CARD)
        self.assertTrue(c.closed())

        self.sim.plug(CARD)
        self.post(self.connect(), b"\x11" * 640)

        # A write that fails closes the sink; with the next open refused
        # too, the post after that gets a fresh sink. The faults wait until
        # the service has stopped feeding the card silence, so that the
        # post's own write meets them.
        self.quiet()
        self.sim.eio(1, direction="playback")
        self.sim.open_error("EACCES", direction="playback")
        # Indexed, the failed posts leave the sequence where it was: the
        # same frame posted again is new, and played.
        frame = b"\x22" * 640
        for expect in ("uplink write failed: writei: Input/output error",
                       "uplink sink open failed: open %s: " % DEVICE):
            answer = self.post_indexed(self.connect(), 7, frame, status="HTTP/1.1 503 Service Unavailable")
            self.assertEqual(answer, fixed_answer("503 Service Unavailable"))
            self.assertIn(expect, self.new_log())
            self.assertEqual(self.open_streams("playback"), set())
        self.post_indexed(self.connect(), 7, frame, 8)
        self.assertIn("uplink sink started", self.new_log())
        self.assertTrue(unpadded(self.settled_record()).endswith(frame))


class UplinkCeiling(CallTest):
    """Its own service, so the process-wide trim and skip counters start at 0."""

    def test_posting_faster_than_real_time_holds_the_ceiling(self):
        c = self.connect()
        # 60 ms posts, six to a write so that they arrive back to back:
        # every post finds audio queued, so each one either skips its
        # oldest part or, once the card holds more than 80 ms, trims.
        posts, frames = 66, 960
        for first in range(0, posts, 6):
            batch = b""
            for i in range(first, first + 6):
                batch += request("POST", TX, self.tok, body=struct.pack(
                    "<%dH" % frames, *[(i * frames + k) & 0xFFFF for k in range(frames)]))
            c.send(batch)
            for _ in range(6):
                self.assertEqual(c.response()[0], "HTTP/1.1 200 OK")
        self.quiet()
        self.post(c, b"")

        playback = self.sim.events(card=CARD, direction="playback")
        waits = [w["wait"] for w in self.sim.queue_waits(CARD) if w["wait"] is not None]
        self.assertLess(max(waits), 0.100 + 0.025)

        # Zero samples are silence the service queued while the card ran
        # low (the posts hold none but the very first).
        played = [v for v in samples(self.sim.record(CARD)) if v]
        self.assertTrue(played)
        self.assertTrue(all(a < b for a, b in zip(played, played[1:])), "audio out of order at the card")

        log = self.new_log()
        trims = len([e for e in playback if e.kind == "discard" and e["why"] == "drop"])
        logged = re.findall(r"uplink: dropped (-?\d+)ms of queued audio from the card \((\d+) trims\)", log)
        self.assertGreater(trims, 10)
        self.assertEqual([int(n) for _, n in logged],
                         [k for k in range(1, trims + 1) if k == 1 or k % 10 == 0])
        # Only a queue above 80 ms is trimmed; 1 ms of slack for the card
        # playing on between the measurement and the drop.
        self.assertTrue(all(80 <= int(ms) <= 120 for ms, _ in logged), logged)
        dropped = [e["n"] for e in playback if e.kind == "discard" and e["why"] == "drop"]
        self.assertTrue(all(80 * 16 <= n <= 120 * 16 for n in dropped), dropped)

        written = sum(e["n"] for e in playback if e.kind == "write" and not e["silent"])
        skipped_ms = (posts * frames - written) / 16
        logged = re.findall(r"uplink: skipped (\d+)ms of stale mic audio to hold the 80ms ceiling "
                            r"\((\d+) skips, (\d+)ms total\)", log)
        self.assertEqual([int(n) for _, n, _ in logged], [1, 25, 50][:len(logged)])
        self.assertGreaterEqual(len(logged), 2, logged)
        self.assertEqual(logged[0][0], logged[0][2])
        for ms, n, total in logged:
            # A skip keeps at least one period of a 60 ms post.
            self.assertTrue(1 <= int(ms) <= 40, ms)
            self.assertTrue(int(n) <= int(total) <= min(40 * int(n), skipped_ms), (ms, n, total))


class UplinkIdle(CallTest):
    """The slow cases: one statistics window, then the reaper."""

    def test_statistics_then_idle_sink_closed_and_reopened(self):
        c = self.connect()
        # Sequential posts on one connection: when post k reports, k - 2
        # requests before it were not the first on their connection.
        times = []
        while not re.search(STATS, self.new_log()):
            sent = time.monotonic()
            self.post(c, bytes(640))
            times.append((sent, time.monotonic()))
            self.assertLess(len(times), 400, "no statistics line")
            time.sleep(0.03)
        k = len(times)
        posts, elapsed, _, per_post, ring, reused = re.search(STATS, self.new_log()).groups()
        self.assertEqual(int(posts), k)
        # The window runs from the first post to the one that reported
        # (printed to a tenth of a second).
        self.assertGreaterEqual(float(elapsed), 5.0)
        low, high = times[-1][0] - times[0][1] - 0.1, times[-1][1] - times[0][0] + 0.1
        self.assertTrue(low <= float(elapsed) <= high, (elapsed, low, high))
        self.assertEqual(int(per_post), 20)
        # Posts of 20 ms come 30 ms apart: the card is fed a period of
        # silence whenever it is down to 10 ms, so after a write it holds
        # that post and at most 30 ms more.
        self.assertTrue(10 <= int(ring) <= 50, ring)
        self.assertEqual(int(reused), k - 2)

        # An incomplete post in the middle of the idle spell must not count
        # as use, or the sink would stay open 5 s longer.
        time.sleep(5.0)
        half, half_sent = self.connect(), time.monotonic()
        half.send(request("POST", TX, self.tok, body=bytes(1280))[:-640])
        time.sleep(0.1)
        half.close()
        # A 400 as the second request on its connection is not counted.
        bad = self.connect()
        bad.send(request("GET", HEALTH, self.tok) + b"GET\r\n\r\n")
        self.assertEqual(bad.response()[0], "HTTP/1.1 200 OK")
        self.assertEqual(bad.response()[0], "HTTP/1.1 400 Bad Request")

        self.wait_new_log(r"uplink sink idle, closed", timeout=14.0)
        closed = self.sim.events(card=CARD, direction="playback", kind="close")
        self.assertEqual(len(closed), 1)
        # 10 s idle from the last post sent, however late the close; the half post and 400 are no use.
        self.assertTrue(times[-1][0] + 10 < closed[0].t / 1e9 < half_sent + 10, (closed, half_sent))
        self.assertEqual(self.open_streams("playback"), set())

        # The next post opens a new sink; the quiet spell belongs to the
        # window it reports.
        self.post(c, bytes(640))
        self.assertEqual(len(re.findall(r"uplink sink started", self.new_log())), 2)
        self.assertEqual(len(self.open_streams("playback")), 1)
        self.wait_new_log(STATS, count=2)
        posts2, elapsed2, _, _, _, reused2 = re.findall(STATS, self.new_log())[1]
        self.assertEqual(int(posts2), 1)
        self.assertGreater(float(elapsed2), 10.0)
        self.assertEqual(int(reused2), int(reused) + 1)


if __name__ == "__main__":
    unittest.main()
