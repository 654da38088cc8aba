"""Tests of the simulated modem card, run as equipment: real libasound,
real plugin, real time. Time bounds come from the card's own frame numbers
and event log and from the times the probe measures around each call, so a
late wake-up on a loaded machine widens them instead of failing them.

Needs SIMCARD_BUILD_DIR (plugin and shim) and SIMCARD_PROBE (the ALSA
driver program); ctest sets both.
"""
import errno
import os
import select
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))
import simcard  # noqa: E402

BUILD = os.environ.get("SIMCARD_BUILD_DIR", "")
PROBE = os.environ.get("SIMCARD_PROBE", "")
PROBE_ASAN = os.environ.get("SIMCARD_PROBE_ASAN", "")
WRAPPER = os.path.join(os.path.dirname(HERE), "with-sim-card")
SIMCTL = os.path.join(os.path.dirname(HERE), "simctl")
CARD = "RM500QGL"
DEV = "plughw:CARD=%s" % CARD


class Probe:
    """One simcard_probe process: one PCM, one command per answer line."""

    def __init__(self, env):
        self.p = subprocess.Popen([PROBE], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                  text=True, env=env)

    def send(self, line):
        self.p.stdin.write(line + "\n")
        self.p.stdin.flush()

    def answer(self, timeout=3.0):
        """(result, t_before_ns, t_after_ns, extra) or None on timeout."""
        r, _, _ = select.select([self.p.stdout], [], [], timeout)
        if not r:
            return None
        parts = self.p.stdout.readline().split()
        if not parts:
            raise AssertionError("probe exited")
        return int(parts[0]), int(parts[1]), int(parts[2]), parts[3] if len(parts) > 3 else ""

    def call(self, line, timeout=3.0):
        self.send(line)
        a = self.answer(timeout)
        if a is None:
            raise AssertionError("no answer to %r within %.1fs" % (line, timeout))
        return a

    def close(self):
        if self.p.poll() is None:
            self.p.stdin.close()
            try:
                self.p.wait(timeout=3)
            except subprocess.TimeoutExpired:
                self.p.kill()
                self.p.wait()


def samples_of(data, order=">"):
    """16-bit samples of `data` (the probe's big-endian hex, or raw bytes in `order`)."""
    raw = bytes.fromhex(data) if isinstance(data, str) else data
    return list(struct.unpack("%s%dh" % (order, len(raw) // 2), raw))  # an odd length raises


def first_frame(answer):
    g = simcard.decode_frames(samples_of(answer[3]))
    if g is None:
        raise AssertionError("read data is not a contiguous numbered run")
    return g


@unittest.skipUnless(BUILD and PROBE, "SIMCARD_BUILD_DIR and SIMCARD_PROBE not set")
class SimTestCase(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="simcard-test-")
        self.sim = simcard.Sim.create(os.path.join(self.tmp, "state"), BUILD, cards=[CARD])
        self.probes = []

    def tearDown(self):
        for p in self.probes:
            p.close()
        shutil.rmtree(self.tmp, ignore_errors=True)

    def probe(self, env=None):
        p = Probe(env or self.sim.env())
        self.probes.append(p)
        return p

    def open_capture(self, p=None, buffer=1280):
        p = p or self.probe()
        r = p.call("open capture %s %d" % (DEV, buffer))
        self.assertEqual(r[0], 0, r)
        self.assertEqual(r[3], "buffer=%d" % buffer)
        return p

    def open_playback(self, p=None):
        p = p or self.probe()
        r = p.call("open playback %s 1920" % DEV)
        self.assertEqual(r[0], 0, r)
        return p


class CaptureTest(SimTestCase):
    def test_blocking_reads_are_paced_numbered_and_fresh(self):
        p = self.open_capture(buffer=8000)  # 500 ms: a reader woken late loses nothing
        p.send("reads 100 320")
        reads = [p.answer() for _ in range(100)]
        self.assertTrue(all(r and r[0] == 320 for r in reads), reads[:3])
        done = [r[2] for r in reads]
        gaps = [(b - a) / 1e6 for a, b in zip(done, done[1:])]
        self.assertAlmostEqual(statistics.median(gaps), 20.0, delta=1.0)
        firsts = [first_frame(r) for r in reads]
        self.assertEqual([b - a for a, b in zip(firsts, firsts[1:])], [320] * 99)
        # The last frame of each read was captured before the read returned
        # and not long before: the card hands over audio as it arrives. (A
        # loaded machine wakes a reader late now and then; a card that held
        # audio back would make every read late, so the median is judged.)
        ages = []
        for r, g in zip(reads, firsts):
            captured = simcard.capture_time(g + 320) * 1e9
            self.assertGreaterEqual(r[2], captured - 1e5)
            ages.append(r[2] - captured)
        self.assertLess(statistics.median(ages), 10e6)
        # The log's account of the reads agrees with the data.
        logged = self.sim.events(kind="read")
        self.assertEqual(logged[0]["g"], firsts[0])

    def test_arecord_runs_in_real_time_also_with_mmap_and_conversion(self):
        cases = [(["-f", "S16_LE", "-r", "16000", "-c", "1"], 32000),
                 (["-M", "-f", "S16_LE", "-r", "16000", "-c", "1"], 32000),
                 (["-f", "S32_LE", "-r", "48000", "-c", "2"], 384000)]
        for fmt, size in cases:
            with self.subTest(fmt=fmt):
                out = os.path.join(self.tmp, "out.raw")
                t0 = time.monotonic()
                r = subprocess.run([WRAPPER, "--build-dir", BUILD, "--card", "modem", "--",
                                    "arecord", "-q", "-D", "plughw:CARD=modem", "-t", "raw",
                                    "-d", "1"] + fmt + [out], timeout=10)
                elapsed = time.monotonic() - t0
                self.assertEqual(r.returncode, 0)
                self.assertGreater(elapsed, 0.95)
                self.assertLess(elapsed, 2.5)
                with open(out, "rb") as f:
                    data = f.read()
                self.assertEqual(len(data), size)
                if size == 32000:
                    self.assertIsNotNone(simcard.decode_frames(samples_of(data, "<")))

    def test_looped_source_file(self):
        src = os.path.join(self.tmp, "src.raw")
        values = [(i * 37) % 2000 - 1000 for i in range(1000)]
        with open(src, "wb") as f:
            f.write(b"".join(v.to_bytes(2, "little", signed=True) for v in values))
        self.sim.unplug(CARD)
        self.sim.plug(CARD, source=src)
        p = self.open_capture()
        data = []
        for _ in range(5):
            r = p.call("read 320")
            self.assertEqual(r[0], 320)
            data += samples_of(r[3])
        g0 = self.sim.events(kind="read")[0]["g"]
        self.assertEqual(data, [values[(g0 + i) % 1000] for i in range(1600)])


class PlaybackTest(SimTestCase):
    def test_delay_falls_in_real_time_then_underrun_and_recovery(self):
        p = self.open_playback()
        self.assertEqual(p.call("write 1920 0")[0], 1920)
        first, _, last = p.call("delay"), p.call("sleep 24"), p.call("delay")
        self.assertEqual((first[0], last[0]), (0, 0))
        # 16 frames a millisecond between two readings, each taken some time within its call.
        fell = int(first[3]) - int(last[3])
        self.assertTrue((last[1] - first[2]) * 16e-6 - 1 <= fell <= (last[2] - first[1]) * 16e-6 + 1, fell)
        time.sleep(0.15)  # the 120 ms queue has run dry
        self.assertEqual(p.call("delay")[0], -errno.EPIPE)
        self.assertEqual(p.call("write 320 1920")[0], -errno.EPIPE)
        self.assertEqual(p.call("prepare")[0], 0)
        r = p.call("delay")
        self.assertEqual((r[0], r[3]), (0, "0"))
        self.assertEqual(p.call("write 320 1920")[0], 320)
        r = p.call("delay")
        self.assertGreater(int(r[3]), 300)
        xruns = self.sim.events(kind="xrun")
        self.assertEqual(len(xruns), 1)
        start = self.sim.events(kind="start")[0]
        self.assertAlmostEqual((xruns[0].t - start.t) / 1e6, 120.0, delta=0.1)

    def test_blocking_writes_paced_and_recorded_in_full(self):
        p = self.open_playback()
        writes = [p.call("write 320 %d" % (1000 + 320 * i)) for i in range(50)]
        self.assertEqual([w[0] for w in writes], [320] * 50)
        # 50 periods into a 6-period buffer: the last fits once 44 have played since the first write,
        # and what has played (all but the delay) matches the time measured since, at 16 a ms.
        self.assertGreaterEqual(writes[-1][2] - writes[0][1], 44 * 20e6)
        r, w = p.call("delay"), writes[0]
        played = 16000 - int(r[3])
        self.assertTrue((r[1] - w[2]) * 16e-6 - 1 <= played <= (r[2] - w[1]) * 16e-6 + 1, played)
        self.assertEqual(p.call("drain", timeout=5)[0], 0)
        s = samples_of(self.sim.record(CARD), "<")
        self.assertEqual(len(s), 16000)
        self.assertEqual(simcard.decode_frames(s), 1000)

    def test_drop_discards_queue_and_prepare_empties_it(self):
        p = self.open_playback()
        w, _, d = p.call("write 1920 0"), p.call("sleep 30"), p.call("drop")
        self.assertEqual((w[0], d[0]), (1920, 0))
        # Playing from the write to the drop, 16 frames a millisecond.
        played = len(self.sim.record(CARD)) // 2
        self.assertTrue((d[1] - w[2]) * 16e-6 - 1 <= played <= (d[2] - w[1]) * 16e-6 + 1, played)
        discard = self.sim.events(kind="discard")
        self.assertEqual(len(discard), 1)
        self.assertEqual(discard[0]["p"] + discard[0]["n"], 1920)
        self.assertEqual(discard[0]["p"], played)
        self.assertEqual(p.call("prepare")[0], 0)
        self.assertEqual(p.call("delay")[3], "0")

    def test_record_queue_waits_agree_with_delay_readings(self):
        p = self.open_playback()
        p.call("write 1600 0")  # 100 ms: a writer woken late never lets the card run dry
        expected = []
        pause = [6, 24, 14, 22, 10, 26, 18, 20, 12, 28] * 2
        for i, ms in enumerate(pause):
            p.call("sleep %d" % ms)
            r = p.call("delay")
            self.assertEqual(r[0], 0)
            w = p.call("write 320 %d" % (1600 + 320 * i))
            self.assertEqual(w[0], 320)
            expected.append((int(r[3]), r[1], r[2]))
        p.call("drain", timeout=5)
        waits = self.sim.queue_waits(CARD)[1:]  # the first write only primed
        self.assertEqual(len(waits), len(expected))
        for (frames, t0, t1), w in zip(expected, waits):
            # The queue shrank between the reading (some time within its call) and the write.
            want = [(frames - (w["t_write"] - t) * 16e-6) / 16000 for t in (t0, t1)]
            self.assertTrue(want[0] - 1 / 16000 <= w["wait"] <= want[1] + 1 / 16000, (w, want))


class FaultTest(SimTestCase):
    def test_stall_piles_up_then_bursts(self):
        p = self.open_capture(buffer=2560)  # 100 ms beyond the stall: a late reader loses nothing
        for _ in range(3):
            self.assertEqual(p.call("read 320")[0], 320)
        name = self.sim.stall(60)
        reads = [p.call("read 320") for _ in range(10)]
        self.assertTrue(self.sim.wait_claimed(name, 0))
        self.assertTrue(all(r[0] == 320 for r in reads))
        firsts = [first_frame(r) for r in reads]
        self.assertEqual([b - a for a, b in zip(firsts, firsts[1:])], [320] * 9)
        # Nothing captured in the stall comes out before its end. Reads asked after it first find
        # what piled up (captured before they were asked), 2 periods at least, then wait for audio.
        stall = self.sim.events(kind="stall")[0]
        ends = [simcard.capture_time(g + 320) * 1e9 for g in firsts]
        self.assertTrue(all(end <= stall.t + 1e5 for r, end in zip(reads, ends) if r[2] < stall["until"]))
        waited = [end > r[1] for r, end in zip(reads, ends) if r[1] >= stall["until"]]
        self.assertGreaterEqual(waited.index(True) if True in waited else -1, 2, waited)

    def test_long_stall_overruns(self):
        p = self.open_capture()
        p.call("read 320")
        self.sim.stall(150)
        results = [p.call("read 320")[0] for _ in range(3)]
        self.assertIn(-errno.EPIPE, results)
        self.assertEqual(p.call("prepare")[0], 0)
        self.assertEqual(p.call("read 320")[0], 320)

    def test_eio_for_n_calls_both_directions(self):
        p = self.open_capture()
        p.call("read 320")
        self.sim.eio(3)
        results = []
        for _ in range(4):
            r = p.call("read 320")[0]
            results.append(r)
            if r < 0:
                p.call("prepare")
        self.assertEqual(results, [-errno.EIO] * 3 + [320])
        q = self.open_playback()
        self.sim.eio(1, direction="playback")
        time.sleep(0.02)
        self.assertEqual(q.call("write 320 0")[0], -errno.EIO)
        self.assertEqual(q.call("write 320 0")[0], 320)

    def test_suspend_then_resume_answers_eagain(self):
        # (direction, opener, first call and what it returns, the call that meets the suspend)
        for direction, opened, first, op in (
                ("capture", self.open_capture, ("read 320", 320), "read 320"),
                ("playback", self.open_playback, ("write 1600 0", 1600), "write 320 0")):
            with self.subTest(direction=direction):
                p = opened()
                self.assertEqual(p.call(first[0])[0], first[1])
                self.sim.suspend(2, direction=direction)
                # A blocked or idle stream learns of it within a period.
                results = [p.call(op)[0] for _ in range(3)]
                self.assertIn(-errno.ESTRPIPE, results)
                self.assertEqual(p.call("delay")[0], -errno.ESTRPIPE)
                self.assertEqual([p.call("resume")[0] for _ in range(3)],
                                 [-errno.EAGAIN, -errno.EAGAIN, 0])
                self.assertEqual(p.call("prepare")[0], 0)
                self.assertEqual(p.call(op)[0], 320)
                p.call("close")

    def test_card_vanishes_and_returns(self):
        cap = self.open_capture()
        play = self.open_playback(self.probe())
        cap.call("read 320")
        play.call("write 640 0")
        self.assertEqual(cap.call("access /proc/asound/%s" % CARD)[0], 0)
        self.sim.unplug(CARD)
        self.assertEqual(cap.call("read 320")[0], -errno.ENODEV)
        self.assertEqual(play.call("write 320 0")[0], -errno.ENODEV)
        self.assertEqual(play.call("delay")[0], -errno.ENODEV)
        self.assertEqual(cap.call("access /proc/asound/%s" % CARD)[0], -1)
        cap.call("close")
        self.assertEqual(cap.call("open capture %s 1280" % DEV)[0], -errno.ENODEV)
        self.sim.plug(CARD)
        self.assertEqual(cap.call("access /proc/asound/%s" % CARD)[0], 0)
        self.assertEqual(cap.call("open capture %s 1280" % DEV)[0], 0)
        self.assertEqual(cap.call("read 320")[0], 320)
        # The old stream stays dead, as a real one does.
        self.assertEqual(play.call("write 320 0")[0], -errno.ENODEV)

    def test_open_error_given_errno(self):
        self.sim.open_error("EACCES", count=2, direction="playback")
        p = self.probe()
        cap = p.call("open capture %s 1280" % DEV)
        self.assertEqual(cap[0], 0)  # aimed at playback only
        p.call("close")
        q = self.probe()
        self.assertEqual([q.call("open playback %s 1920" % DEV)[0] for _ in range(3)],
                         [-errno.EACCES, -errno.EACCES, 0])

    def test_clock_fast_slow_and_changed_while_running(self):
        for speed, running in ((1.25, False), (0.8, False), (2.0, True)):
            with self.subTest(speed=speed):
                self.sim.set_clock(CARD, 1.0 if running else speed)
                p = self.probe()  # a 500 ms buffer at real time: reads woken late lose nothing
                self.assertEqual(p.call("open capture %s 8000" % DEV)[0], 0)
                p.call("read 320")
                if running:
                    self.sim.set_clock(CARD, speed)
                    p.call("read 320")  # the change is seen within this period
                # The card's position (frames read and still held) moves speed x 16 frames a ms,
                # to a period (it shows whole periods) and the time measured around two readings.
                d0, reads, d1 = p.call("delay"), [p.call("read 3200") for _ in range(4)], p.call("delay")
                self.assertEqual([r[0] for r in reads], [3200] * 4)
                moved = 4 * 3200 + int(d1[3]) - int(d0[3])
                lo, hi = ((d1[1] - d0[2]) * speed * 16e-6 - 320, (d1[2] - d0[1]) * speed * 16e-6 + 320)
                self.assertTrue(lo <= moved <= hi, (lo, moved, hi))
                p.call("close")


class OneStreamTest(SimTestCase):
    def test_second_open_waits_for_first_to_close(self):
        a = self.open_capture()
        b = self.probe()
        b.send("open capture %s 1280" % DEV)
        self.assertIsNone(b.answer(timeout=0.3))  # still waiting
        self.assertEqual(b.p.poll(), None)
        c = self.probe()
        self.assertEqual(c.call("open capture %s 1280 nonblock" % DEV)[0], -errno.EBUSY)
        # The other direction is free.
        self.assertEqual(c.call("open playback %s 1920" % DEV)[0], 0)
        t0 = time.monotonic()
        a.call("close")
        r = b.answer(timeout=2)
        self.assertIsNotNone(r)
        self.assertEqual(r[0], 0)
        self.assertLess(time.monotonic() - t0, 0.5)


class EnvironmentTest(SimTestCase):
    def run_wrapped(self, args, command, env=None, timeout=10, script=None):
        return subprocess.run([WRAPPER, "--build-dir", BUILD] + args + ["--"] + command, input=script,
                              capture_output=True, text=True, timeout=timeout, env=env)

    def test_wrapper_environment_and_cards(self):
        env = dict(os.environ, ASAN_OPTIONS="detect_leaks=1")
        r = self.run_wrapped(["--card", "modem"], [sys.executable, "-c", (
            "import os\n"
            "print(os.access('/proc/asound/modem', os.F_OK))\n"
            "print(os.access('/proc/asound/RM500QGL', os.F_OK))\n"
            "print(os.environ['ASAN_OPTIONS'])\n"
            "print(os.path.isdir(os.environ['CALLAUDIO_SIM_DIR'] + '/cards/modem'))\n"
            "print(os.environ['LD_PRELOAD'].endswith('libsimcard_shim.so'))\n")], env=env)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout.split(), ["True", "False", "detect_leaks=1:verify_asan_link_order=0",
                                            "True", "True"])
        r = self.run_wrapped([], ["sh", "-c", "exit 7"])
        self.assertEqual(r.returncode, 7)
        r = self.run_wrapped(["--build-dir", self.tmp], ["true"])
        self.assertEqual(r.returncode, 2)

    @unittest.skipUnless(PROBE_ASAN, "SIMCARD_PROBE_ASAN not set")
    def test_sanitizer_build_runs_under_wrapper(self):
        script = "open capture %s 1280\nread 320\nclose\n" % DEV
        env = dict(os.environ)
        env.pop("ASAN_OPTIONS", None)
        r = self.run_wrapped([], [PROBE_ASAN], env=env, script=script)
        self.assertEqual(r.returncode, 0, r.stderr)
        lines = r.stdout.splitlines()
        self.assertEqual([ln.split()[0] for ln in lines], ["0", "320", "0"])
        # Without the wrapper's handling the runtime refuses to start.
        bare = dict(self.sim.env(env), ASAN_OPTIONS="")
        r = subprocess.run([PROBE_ASAN], input=script, capture_output=True, text=True,
                           timeout=10, env=bare)
        self.assertNotEqual(r.returncode, 0)

    def test_host_asoundrc_is_ignored(self):
        home = os.path.join(self.tmp, "home")
        os.makedirs(home)
        with open(os.path.join(home, ".asoundrc"), "w") as f:
            f.write("pcm.!plughw { type null }\npcm.!hw { type null }\n")
        p = self.open_capture(self.probe(dict(self.sim.env(), HOME=home)))
        r = p.call("read 320")
        self.assertEqual(r[0], 320)
        self.assertEqual(first_frame(r), self.sim.events(kind="read")[0]["g"])

    def test_simctl_and_script_control_a_running_command(self):
        script = os.path.join(self.tmp, "demo")
        with open(script, "w") as f:
            f.write("# demo\n1.0 unplug modem\n1.5 plug modem\n")
        # The command watches the card until it is back (or 10 s), and prints each change.
        probe = ("import os, time\n"
                 "runs, t0 = '', time.monotonic()\n"
                 "while runs != '101' and time.monotonic() - t0 < 10:\n"
                 "    now = '1' if os.access('/proc/asound/modem', os.F_OK) else '0'\n"
                 "    runs += '' if runs.endswith(now) else now\n"
                 "    time.sleep(0.01)\n"
                 "print(runs)\n")
        r = self.run_wrapped(["--card", "modem", "--script", script], [sys.executable, "-c", probe])
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout.strip(), "101")
        # simctl against an existing state folder.
        env = dict(os.environ, CALLAUDIO_SIM_DIR=self.sim.root)
        subprocess.run([SIMCTL, "unplug", CARD], env=env, check=True, timeout=10)
        self.assertFalse(self.sim.present(CARD))
        subprocess.run([SIMCTL, "eio", "2", "--stream", "playback"], env=env, check=True, timeout=10)
        pending = self.sim.pending()
        self.assertEqual(len(pending), 1)
        with open(os.path.join(self.sim.root, "control", pending[0])) as f:
            self.assertEqual(f.read(), "eio 2 dir=playback\n")
        bad = subprocess.run([SIMCTL, "openerr", "ENOTANERRNO"], env=env, timeout=10,
                             capture_output=True)
        self.assertEqual(bad.returncode, 1)


class PatternTest(unittest.TestCase):
    def test_decode_recovers_any_position(self):
        for g in (0, 253, 255, 65535, 2 ** 33 + 7):
            run = [simcard.pattern_sample(g + i) for i in range(8)]
            self.assertEqual(simcard.decode_frames(run), g)
        run = [simcard.pattern_sample(1000 + i) for i in range(8)]
        run[5] ^= 1
        self.assertIsNone(simcard.decode_frames(run))


if __name__ == "__main__":
    unittest.main()
