"""Control and inspection of the simulated modem card (Python 3 stdlib only).

The card lives in a state folder (CALLAUDIO_SIM_DIR):

  cards/<id>/          card <id> is present while this folder exists
  cards/<id>/source    path of a raw S16_LE mono file that capture loops
                       (absent: capture carries the frame-numbering pattern)
  cards/<id>/clock     clock speed factor, e.g. "1.05" (absent: 1)
  control/NAME.cmd     one-shot fault commands; a stream claims each by
                       moving it to control/done/
  run/                 one-stream locks
  rec/<id>.raw         everything the card played, appended
  events.log           "<t_ns> <card> <capture|playback> <stream> <event> k=v..."

Typical use from a test:

    sim = Sim.create(tmpdir, build_dir, cards=["RM500QGL"])
    proc = subprocess.Popen([...], env=sim.env())
    sim.stall(200)                    # capture stalls 200 ms, then bursts
    sim.unplug("RM500QGL")
    waits = sim.queue_waits()         # seconds each write waited to play
"""

import errno as _errno
import os
import shutil
import sys
import threading
import time

RATE = 16000
NS = 1_000_000_000
PLUGIN = "libasound_module_pcm_callaudio_sim.so"
SHIM = "libsimcard_shim.so"
HERE = os.path.dirname(os.path.abspath(__file__))
CONFIG = os.path.join(HERE, "asound.conf")
DIRECTIONS = ("capture", "playback")


# ---- frame-numbering pattern -------------------------------------------

def pattern_sample(g):
    """The signed 16-bit sample that global frame g carries.

    Low byte: g & 0xff. High byte: byte (g & 3) of the block number g >> 8.
    At clock speed 1, frame g is captured at CLOCK_MONOTONIC g / 16000 s.
    """
    block = (g >> 8) & 0xFFFFFFFF
    v = (((block >> (8 * (g & 3))) & 0xFF) << 8) | (g & 0xFF)
    return v - 0x10000 if v >= 0x8000 else v


def decode_frames(samples):
    """Global frame number of samples[0], or None when the samples are not
    a contiguous run of the pattern (needs at least 7 samples)."""
    n = len(samples)
    u = [s & 0xFFFF for s in samples]
    for i in range(0, n - 3):
        low = u[i] & 0xFF
        if low & 3 or low > 252:
            continue
        block = 0
        for j in range(4):
            if (u[i + j] & 0xFF) != low + j:
                return None
            block |= (u[i + j] >> 8) << (8 * j)
        first = (block << 8 | low) - i
        if first < 0 or any(pattern_sample(first + k) != samples[k] for k in range(n)):
            return None
        return first
    return None


def capture_time(g):
    """Monotonic seconds at which global frame g was captured (speed 1)."""
    return g / RATE


# ---- events --------------------------------------------------------------

class Event:
    __slots__ = ("t", "card", "dir", "stream", "kind", "f")

    def __init__(self, line):
        parts = line.split()
        self.t = int(parts[0])
        self.card, self.dir, self.stream, self.kind = parts[1:5]
        self.f = {}
        for kv in parts[5:]:
            k, _, v = kv.partition("=")
            try:
                self.f[k] = int(v)
            except ValueError:
                self.f[k] = v

    def __getitem__(self, key):
        return self.f[key]

    def __repr__(self):
        return "Event(%d %s %s %s %s %r)" % (self.t, self.card, self.dir, self.stream, self.kind, self.f)


def parse_events(text, card=None, direction=None, kind=None, stream=None):
    out = []
    for line in text.splitlines():
        if not line.strip():
            continue
        e = Event(line)
        if card and e.card != card or direction and e.dir != direction:
            continue
        if kind and e.kind != kind or stream and e.stream != stream:
            continue
        out.append(e)
    return out


def queue_waits(events):
    """For each playback write: when its first frame started playing and how
    long it waited in the card's queue. Writes whose first frame was never
    played (dropped, trimmed) get t_play = wait = None.

    Returns dicts: stream, card, w (total frame position), n, t_write,
    t_play (ns), wait (seconds), silent (nothing but zero samples). Assumes clock speed 1 within a play chunk.
    """
    by_stream = {}
    for e in events:
        if e.dir == "playback" and e.kind in ("write", "play"):
            by_stream.setdefault((e.card, e.stream), []).append(e)
    out = []
    for (card, stream), evs in by_stream.items():
        plays = sorted((e["p"], e["n"], e.t) for e in evs if e.kind == "play")
        for e in evs:
            if e.kind != "write":
                continue
            w = e["w"]
            t_play = None
            for p, n, t in plays:
                if p <= w < p + n:
                    t_play = t + (w - p) * NS // RATE
                    break
            out.append({"stream": stream, "card": card, "w": w, "n": e["n"], "t_write": e.t,
                        "t_play": t_play, "silent": bool(e.f.get("silent")),
                        "wait": None if t_play is None else (t_play - e.t) / NS})
    out.sort(key=lambda d: d["t_write"])
    return out


# ---- the state folder ----------------------------------------------------

def _write_atomic(path, text):
    tmp = "%s.%d.tmp" % (path, os.getpid())
    with open(tmp, "w") as f:
        f.write(text)
    os.rename(tmp, path)


def _errno_value(e):
    if isinstance(e, int) or str(e).isdigit():
        return int(e)
    v = getattr(_errno, str(e).upper(), None)
    if v is None:
        raise ValueError("unknown errno %r" % (e,))
    return v


class Sim:
    """One simulated card setup: a state folder plus the built plugin."""

    _seq_lock = threading.Lock()
    _seq = 0

    def __init__(self, root, build_dir=None):
        self.root = os.path.abspath(root)
        self.build_dir = os.path.abspath(build_dir) if build_dir else None

    @classmethod
    def create(cls, root, build_dir=None, cards=("RM500QGL",), source=None, clock=None):
        """Lays out a fresh state folder with the given cards present."""
        for sub in ("cards", "control/done", "run", "rec"):
            os.makedirs(os.path.join(root, sub), exist_ok=True)
        sim = cls(root, build_dir)
        for card in cards:
            sim.plug(card, source=source, clock=clock)
        return sim

    # environment -----------------------------------------------------------

    def env(self, base=None):
        """Environment for a process that should see this card: the shim
        preloaded, ALSA reading only our configuration and plugin."""
        if not self.build_dir:
            raise ValueError("no build dir: pass build_dir to Sim")
        env = dict(os.environ if base is None else base)
        shim = os.path.join(self.build_dir, SHIM)
        for path in (shim, os.path.join(self.build_dir, PLUGIN)):
            if not os.path.exists(path):
                raise FileNotFoundError("%s not built (build the simcard targets)" % path)
        preload = [p for p in env.get("LD_PRELOAD", "").split(":") if p and p != shim]
        # Sanitizer runtimes must come first; ours goes after anything given.
        env["LD_PRELOAD"] = ":".join(preload + [shim])
        asan = env.get("ASAN_OPTIONS", "")
        if "verify_asan_link_order" not in asan:
            env["ASAN_OPTIONS"] = (asan + ":" if asan else "") + "verify_asan_link_order=0"
        env["ALSA_CONFIG_PATH"] = CONFIG
        env["ALSA_PLUGIN_DIR"] = self.build_dir
        env["CALLAUDIO_SIM_DIR"] = self.root
        return env

    # cards -----------------------------------------------------------------

    def card_dir(self, card):
        if not card or "/" in card or card.startswith("."):
            raise ValueError("bad card id %r" % (card,))
        return os.path.join(self.root, "cards", card)

    def plug(self, card, source=None, clock=None):
        """Makes card present, optionally looping a raw S16_LE source file."""
        d = self.card_dir(card)
        tmp = os.path.join(self.root, ".plug-%s-%d" % (card, os.getpid()))
        shutil.rmtree(tmp, ignore_errors=True)
        os.makedirs(tmp)
        if source:
            with open(os.path.join(tmp, "source"), "w") as f:
                f.write(os.path.abspath(source) + "\n")
        if clock is not None:
            with open(os.path.join(tmp, "clock"), "w") as f:
                f.write("%r\n" % float(clock))
        os.rename(tmp, d)  # the card appears all at once

    def unplug(self, card):
        """The card vanishes: opens fail and open streams error."""
        d = self.card_dir(card)
        gone = os.path.join(self.root, ".gone-%s-%d-%d" % (card, os.getpid(), time.monotonic_ns()))
        try:
            os.rename(d, gone)
        except FileNotFoundError:
            return
        shutil.rmtree(gone, ignore_errors=True)

    def present(self, card):
        return os.path.isdir(self.card_dir(card))

    def cards(self):
        return sorted(os.listdir(os.path.join(self.root, "cards")))

    def set_clock(self, card, speed):
        """Card clock runs at speed x real time (1.0 = real time)."""
        _write_atomic(os.path.join(self.card_dir(card), "clock"), "%r\n" % float(speed))

    # fault commands -----------------------------------------------------------

    def command(self, text):
        """Queues one raw command line; returns its file name."""
        with Sim._seq_lock:
            Sim._seq += 1
            seq = Sim._seq
        name = "%020d-%d-%d.cmd" % (time.monotonic_ns(), os.getpid(), seq)
        _write_atomic(os.path.join(self.root, "control", name), text.strip() + "\n")
        return name

    @staticmethod
    def _target(card, direction):
        s = ""
        if card:
            s += " card=%s" % card
        if direction:
            if direction not in DIRECTIONS + ("any",):
                raise ValueError("direction must be capture, playback or any")
            s += " dir=%s" % direction
        return s

    def stall(self, ms, card=None, direction="capture"):
        """The running stream's hardware stops for ms, then everything that
        piled up meanwhile is delivered at once (past the buffer: overrun)."""
        return self.command("stall %d%s" % (ms, self._target(card, direction)))

    def eio(self, count, card=None, direction="capture"):
        """The stream's next count reads or writes fail with -EIO."""
        return self.command("eio %d%s" % (count, self._target(card, direction)))

    def suspend(self, again=3, card=None, direction="capture"):
        """The stream is suspended (-ESTRPIPE); snd_pcm_resume then answers
        -EAGAIN `again` times before it succeeds."""
        return self.command("suspend %d%s" % (again, self._target(card, direction)))

    def open_error(self, err, count=1, card=None, direction="any"):
        """The next count opens fail with -err (a number or a name like "EBUSY")."""
        value = _errno_value(err)
        return [self.command("openerr %d%s" % (value, self._target(card, direction)))
                for _ in range(count)]

    def pending(self):
        """Commands not yet claimed by any stream."""
        return sorted(n for n in os.listdir(os.path.join(self.root, "control")) if n.endswith(".cmd"))

    def wait_claimed(self, name, timeout=2.0):
        """True once the command file `name` has been taken by a stream."""
        deadline = time.monotonic() + timeout
        path = os.path.join(self.root, "control", name)
        while time.monotonic() < deadline:
            if not os.path.exists(path):
                return True
            time.sleep(0.005)
        return not os.path.exists(path)

    # what happened ------------------------------------------------------------

    def events(self, card=None, direction=None, kind=None, stream=None):
        try:
            with open(os.path.join(self.root, "events.log")) as f:
                text = f.read()
        except FileNotFoundError:
            return []
        # The card may be halfway through appending a line: only whole
        # lines count.
        return parse_events(text[:text.rfind("\n") + 1], card, direction, kind, stream)

    def record(self, card):
        """Bytes the card has played so far (S16_LE mono)."""
        try:
            with open(os.path.join(self.root, "rec", card + ".raw"), "rb") as f:
                return f.read()
        except FileNotFoundError:
            return b""

    def queue_waits(self, card=None):
        return queue_waits(self.events(card=card, direction="playback"))

    # demo scripts -------------------------------------------------------------

    def run_script(self, path, stop=None, start=None):
        """Runs a timed script: lines "SECONDS simctl-command [args]", times
        from `start` (monotonic, default now); '#' starts a comment."""
        start = time.monotonic() if start is None else start
        with open(path) as f:
            lines = [ln.split("#", 1)[0].strip() for ln in f]
        steps = []
        for ln in lines:
            if ln:
                at, _, rest = ln.partition(" ")
                steps.append((float(at), rest.split()))
        for at, argv in sorted(steps, key=lambda s: s[0]):
            delay = start + at - time.monotonic()
            if delay > 0 and stop is not None:
                if stop.wait(delay):
                    return
            elif delay > 0:
                time.sleep(delay)
            run_command(self, argv)


# ---- simctl ----------------------------------------------------------------

USAGE = """usage: simctl [--state DIR] COMMAND ...
  plug ID [--source FILE] [--clock SPEED]   make card ID present
  unplug ID                                 card ID vanishes
  cards                                     list present cards
  clock ID SPEED                            card clock speed (1.0 = real time)
  stall MS [--card ID] [--stream capture|playback]
  eio N [--card ID] [--stream capture|playback]
  suspend [AGAIN] [--card ID] [--stream capture|playback]
  openerr ERRNO [--count N] [--card ID] [--stream capture|playback|any]
  pending                                   commands not yet claimed
  events [--card ID] [--stream DIR] [--kind KIND]
  record ID OUTFILE                         copy what card ID played
  waits [--card ID]                         queue wait of each playback write
  script FILE                               run a timed script
The state folder defaults to $CALLAUDIO_SIM_DIR."""


def _opts(argv, names):
    pos, opts = [], {}
    i = 0
    while i < len(argv):
        a = argv[i]
        if a.startswith("--") and a[2:] in names:
            if i + 1 >= len(argv):
                raise ValueError("%s needs a value" % a)
            opts[a[2:]] = argv[i + 1]
            i += 2
        else:
            pos.append(a)
            i += 1
    return pos, opts


def run_command(sim, argv, out=sys.stdout):
    if not argv:
        raise ValueError("no command")
    cmd, rest = argv[0], argv[1:]
    pos, o = _opts(rest, {"source", "clock", "card", "stream", "count", "kind"})
    card, stream = o.get("card"), o.get("stream")
    if cmd == "plug":
        sim.plug(pos[0], source=o.get("source"), clock=o.get("clock"))
    elif cmd == "unplug":
        sim.unplug(pos[0])
    elif cmd == "cards":
        for c in sim.cards():
            print(c, file=out)
    elif cmd == "clock":
        sim.set_clock(pos[0], float(pos[1]))
    elif cmd == "stall":
        sim.stall(int(pos[0]), card, stream or "capture")
    elif cmd == "eio":
        sim.eio(int(pos[0]), card, stream or "capture")
    elif cmd == "suspend":
        sim.suspend(int(pos[0]) if pos else 3, card, stream or "capture")
    elif cmd == "openerr":
        sim.open_error(pos[0], int(o.get("count", 1)), card, stream or "any")
    elif cmd == "pending":
        for n in sim.pending():
            print(n, file=out)
    elif cmd == "events":
        for e in sim.events(card=card, direction=stream, kind=o.get("kind")):
            print(" ".join([str(e.t), e.card, e.dir, e.stream, e.kind] +
                           ["%s=%s" % kv for kv in e.f.items()]), file=out)
    elif cmd == "record":
        with open(pos[1], "wb") as f:
            f.write(sim.record(pos[0]))
    elif cmd == "waits":
        for w in sim.queue_waits(card):
            wait = "dropped" if w["wait"] is None else "%.3fms" % (w["wait"] * 1000)
            print("%s %s w=%d n=%d t_write=%d wait=%s" % (w["card"], w["stream"], w["w"], w["n"],
                                                          w["t_write"], wait), file=out)
    elif cmd == "script":
        sim.run_script(pos[0])
    else:
        raise ValueError("unknown command %r" % cmd)


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    state = os.environ.get("CALLAUDIO_SIM_DIR")
    if argv[:1] == ["--state"] and len(argv) > 1:
        state, argv = argv[1], argv[2:]
    if not argv or argv[0] in ("-h", "--help") or not state:
        print(USAGE, file=sys.stderr)
        return 2
    try:
        run_command(Sim(state), argv)
    except (ValueError, IndexError, OSError) as e:
        print("simctl: %s" % e, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
