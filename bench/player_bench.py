#!/usr/bin/env python3
"""The browser's player (web/call-audio-playout.js in its AudioWorklet, fed
by the network worker) measured in a real browser, on the simulated card.

    bench/player_bench.py --build-dir DIR [--bin BINARY] [--seconds S] [--drift-seconds S]
                          [--runs stall,drift,tone] [--engines chromium,firefox]
                          [--profiles busy-wifi] [--quick]

Also the "player" section of bench/bench.py (scripts/bench --only player).
Each run is one call of the browser client in a fresh service on a fresh
card, driven as the network bench drives it (bench/network_browser.mjs and
the page-side driver, bench/page/driver.mjs):

- stall: on a quiet link (no relay), the page's own thread is kept busy for
  STALL_MS halfway through the call. The downlink latency (card capture to
  output, read from the card's numbered frames) before it is the level the
  player holds at its target; reported: how long after the stall the
  latency is back within BAND_MS of that level (and stays there a second),
  the most it rose above it during the stall and NEAR_S after, and in the
  AFTER_S after (with when: a rise long after the stall is the machine's),
  and what the player did meanwhile.
- drift: the card's clock runs DRIFT_PPM fast, then as much slow, for a call
  of --drift-seconds each on a quiet link. The player must follow by its
  gentle steering: reported are its cap cuts, underruns, what it cut and
  stretched, and the latency over the first and the last DRIFT_WINDOW_S.
  Capture times come from the card's own clock (its start event and speed).
  A third call with the card on time is the reference: what the player
  does there comes from the link and the machine, not from drift.
- tone: the card captures a looped sine (TONE_HZ at TONE_AMP of full scale)
  instead of its numbered frames, on the quiet link and on each --profiles
  relay profile; what reaches the page's output is tapped
  (bench/page/output-tap.mjs) and every step between neighbouring samples
  larger than JUMP_FACTOR times the tone's largest step is counted. A
  crossfade (5 ms, sin^2) from one point of the tone to any other adds at
  most 2 A pi / (2 * 80) per sample to the tone's own 2 pi f A / rate, so
  faded joins stay under the threshold and unfaded ones mostly do not.
  Each jump is placed: at a join the player reported (output it made up,
  input it skipped or replayed, its return to input), within a relay stall
  (up to a second after), after a splice in the audio the service read
  from the card (a restart of the card's capture: the splice's own step is
  computed from the tone and the frames read), or elsewhere.

Every run also lists when the player ran dry and when the card's capture
restarted: a restart says the service fell behind the card (on a shared
machine, its other load), and the underruns around it are not the player's.

Figures are reported, never asserted. 127.0.0.1 only; every process started
is stopped by its pid; every wait is bounded.
"""

import argparse
import array
import base64
import bisect
import datetime
import math
import os
import shutil
import statistics
import struct
import sys
import tempfile
import time
import types

from common import CARD, EC, HERE, Service, commit, credentials, f, render_rows, spread, write_standalone
from network_bench import LABELS, RelayProc, in_stall, run_browser, three
from simcard import RATE, capture_time

STALL_MS = 500            # the page's thread is busy this long
BAND_MS = 50              # latency this close to its level before the stall counts as back
BEFORE_S = 2.0            # the level before the stall: median latency over this long
HOLD_S = 1.0              # back means staying back this long
AFTER_S = 10.0            # excursions looked for this long after the stall
NEAR_S = 2.0              # what the stall itself did shows within this after it
DRIFT_PPM = 200
DRIFT_WINDOW_S = 10.0     # latency at the start and at the end: median over this long
WARM_S = 2.0              # the call's first seconds are its start, not its steady state
TONE_HZ = 250             # 64 samples a period: a 1 s file loops without a seam
TONE_AMP = 0.3            # of full scale, about -10 dBFS
JUMP_FACTOR = 2.0         # a step this many times the tone's largest is a jump
JOIN_S = 0.015            # a jump this close to a reported join is counted at it
STALL_AFTER_S = 1.0       # what a relay stall holds up plays out within this after it
SPLICE_AFTER_S = 1.0      # the same for a splice in what the service read from the card

ENGINES = ("chromium",)
PROFILES = ("busy-wifi",)
KINDS = ("stall", "drift", "tone")


# ---- what the card captured, and when ---------------------------------------------

def write_tone(path):
    """One second of the tone as raw S16LE at 16 kHz: a whole number of
    periods, so the card loops it without a seam."""
    n = RATE
    with open(path, "wb") as fh:
        fh.write(struct.pack("<%dh" % n, *(int(round(TONE_AMP * 32767 * math.sin(2 * math.pi * TONE_HZ * i / RATE)))
                                           for i in range(n))))


def tone_threshold(rate):
    """The largest step between neighbouring samples of the tone at `rate`,
    and the jump threshold, both as fractions of full scale."""
    step = 2 * TONE_AMP * math.sin(math.pi * TONE_HZ / rate)
    return step, JUMP_FACTOR * step


def capture_clock(sim, speed):
    """Monotonic seconds at which the card captured global frame g, from its
    capture streams' start events (frame g0 at t0) and its clock's speed."""
    starts = sorted((e["g"], e["t0"] / 1e9) for e in sim.events(card=CARD, direction="capture", kind="start"))

    def at(g):
        k = bisect.bisect_right(starts, (g, math.inf)) - 1
        if k < 0:
            return capture_time(g)
        g0, t0 = starts[k]
        return t0 + (g - g0) / (RATE * speed)
    return at


def capture_splices(sim, live):
    """Where the audio the service read from the card does not run on:
    (call time of the read, last frame before, first frame after)."""
    out = []
    nxt = None
    for e in sim.events(card=CARD, direction="capture", kind="read"):
        if nxt is not None and e["g"] != nxt:
            out.append((e.t / 1e9 - live, nxt - 1, e["g"]))
        nxt = e["g"] + e["n"]
    return out


# ---- one call ------------------------------------------------------------------------

def call(ctx, creds, engine, seconds, workdir, source=None, clock=None, profile=None, extra=None):
    """One call of the browser client in `engine`: (what the page reported,
    its times moved to the card's clock and counted from the call's start,
    and what the card and the relay saw)."""
    with Service(ctx, workdir, creds, source=source, clock=clock) as svc:
        relay = RelayProc(svc.port, profile) if profile else None
        try:
            t0 = time.monotonic()
            res = run_browser(engine, relay.port if relay else svc.port, svc.token(), seconds, workdir, extra)
            t_end = time.monotonic()
            if "error" in res or "skipped" in res:
                return res
            off = res["offset"]
            live = res["live_at"] / 1000.0 - off
            cap = capture_clock(svc.sim, clock or 1.0)
            restarts = [e.t / 1e9 - live for e in svc.sim.events(card=CARD, direction="capture", kind="start")][1:]
            splices = capture_splices(svc.sim, live)
            stalls = [(s - live, e - live) for s, e in relay.stalls(t0, t_end)] if relay else []
        finally:
            note = relay.stop() if relay else ""
    down = res["down_report"] or res["down"]
    to_call = lambda t_ms: t_ms / 1000.0 - off - live  # noqa: E731
    return {"res": res, "to_call": to_call, "stalls": stalls, "restarts": restarts, "splices": splices, "relay": note,
            "down": [(to_call(t), (t / 1000.0 - off - cap(g)) * 1000) for t, g in down],
            "figures": [dict(x, t=to_call(x["t"])) for x in res["figures"]]}


def grew(figs, key, t_from, t_to=math.inf):
    """How much a cumulative player figure grew from the last report before
    t_from to the last one before t_to."""
    a = [x for x in figs if x["t"] <= t_from] or figs[:1]
    b = [x for x in figs if x["t"] <= t_to] or figs[-1:]
    return b[-1].get(key, 0) - a[-1].get(key, 0) if a and b else None


PLAYER_KEYS = ("capCuts", "underruns", "droppedMs", "stretchedMs", "concealedMs")


def player_did(figs, t_from, t_to=math.inf):
    return {k: grew(figs, k, t_from, t_to) for k in PLAYER_KEYS}


def underrun_times(figs):
    """Call times of the player reports in which its underrun count grew."""
    return [round(b["t"], 2) for a, b in zip(figs, figs[1:]) if b.get("underruns", 0) > a.get("underruns", 0)]


def median_in(series, t_from, t_to):
    v = [x for t, x in series if t_from <= t < t_to]
    return statistics.median(v) if v else None


# ---- the three measurements ---------------------------------------------------------------

def stall_run(ctx, creds, engine, seconds, workdir):
    at = seconds / 2.0
    got = call(ctx, creds, engine, seconds, workdir, extra={"blocks": [[at, STALL_MS]]})
    if "res" not in got:
        return got
    down, figs = got["down"], got["figures"]
    b0, b1 = (got["to_call"](t) for t in got["res"]["blocks"][0])
    level = median_in(down, b0 - BEFORE_S, b0)
    if level is None:
        return {"error": "no downlink latency before the stall (context not at 16 kHz?)"}
    after = [(t, v) for t, v in down if b0 <= t <= b1 + AFTER_S]
    out = [t for t, v in after if abs(v - level) > BAND_MS]
    back = None
    for t, v in after:
        if all(abs(w - level) <= BAND_MS for u, w in after if t <= u <= t + HOLD_S):
            back = t
            break
    before = [x for x in figs if x["t"] < b0]
    near = [v for t, v in after if t <= b1 + NEAR_S]
    worst = max(after, key=lambda p: p[1]) if after else (None, None)
    return {"block_s": [round(b0, 3), round(b1, 3)], "block_ms": (b1 - b0) * 1000, "level_ms": level,
            "target_ms": before[-1]["targetMs"] if before else None,
            "latency_before_ms": spread([v for t, v in down if b0 - BEFORE_S <= t < b0]),
            "excursion_near_ms": max(near) - level if near else None,
            "excursion_ms": None if worst[1] is None else worst[1] - level,
            "excursion_at_s": worst[0], "outside_s": [round(t, 2) for t in out],
            "back_ms": None if back is None else max(0.0, back - b1) * 1000,
            "player": player_did(figs, b0 - 0.3, b1 + AFTER_S), "restarts": got["restarts"],
            "underrun_times": underrun_times(figs),
            "series": [(round(t, 3), round(v, 1)) for t, v in down if b0 - BEFORE_S <= t <= b1 + AFTER_S]}


def drift_run(ctx, creds, engine, seconds, speed, workdir):
    got = call(ctx, creds, engine, seconds, workdir, clock=speed)
    if "res" not in got:
        return got
    down, figs = got["down"], got["figures"]
    end = max((t for t, _ in down), default=seconds)
    return {"speed": speed, "seconds": round(end, 1),
            "start_ms": median_in(down, WARM_S, WARM_S + DRIFT_WINDOW_S),
            "end_ms": median_in(down, end - DRIFT_WINDOW_S, end + 1),
            "latency_ms": spread([v for t, v in down if t >= WARM_S]),
            "player": player_did(figs, WARM_S), "player_from_start": player_did(figs, -math.inf),
            "underrun_times": underrun_times(figs), "restarts": got["restarts"],
            "target_ms": figs[-1].get("targetMs") if figs else None,
            "series": [(round(t, 2), round(v, 1)) for t, v in down[::10]]}


def tone_run(ctx, creds, engine, seconds, profile, workdir):
    tone = os.path.join(workdir, "tone.raw")
    write_tone(tone)
    got = call(ctx, creds, engine, seconds, workdir, source=tone, profile=profile, extra={"keep": True})
    if "res" not in got:
        return got
    res = got["res"]
    rate = (res.get("clock") or {}).get("rate") or RATE
    step, limit = tone_threshold(rate)
    with open(tone, "rb") as fh:
        wave = array.array("h", fh.read())
    # The step each splice put into what the service read: the tone's
    # sample after it minus the one before.
    splices = [(round(t, 3), round(abs(wave[b % len(wave)] - wave[a % len(wave)]) / 32768.0, 4))
               for t, a, b in got["splices"]]
    joins = sorted(res.get("joins") or [])
    join_at = [j[0] for j in joins]
    jumps = []
    biggest = 0.0
    sq, n = 0.0, 0
    first = last = None
    prev, prev_end = None, None
    for t_ms, at, b64 in res["output"]:
        s = array.array("h")
        s.frombytes(base64.b64decode(b64))
        t = got["to_call"](t_ms)
        if t < 0:
            prev = None
            continue
        first = t if first is None else first
        last = t + len(s) / rate
        # Neighbours across batches only where the render clock went on.
        if prev is not None and abs(at - prev_end) < 0.5 / rate:
            s = array.array("h", [prev]) + s
            at -= 1.0 / rate
            t -= 1.0 / rate
        for i in range(1, len(s)):
            d = abs(s[i] - s[i - 1]) / 32768.0
            if d > biggest:
                biggest = d
            if d > limit:
                jumps.append(dict(place(t + i / rate, at + i / rate, d, joins, join_at, got),
                                  around=s[max(0, i - 6):i + 6].tolist()))
        for v in s:
            sq += v * v
        n += len(s)
        prev, prev_end = s[-1], at + len(s) / rate
    minutes = max(1e-9, ((last or 0) - (first or 0)) / 60.0)
    where = {}
    for j in jumps:
        where[j["where"]] = where.get(j["where"], 0) + 1
    return {"profile": profile or "quiet", "rate": rate, "tone_step": step, "threshold": limit,
            "biggest_step": biggest, "level_dbfs": 10 * math.log10(sq / max(1, n) / 32768.0 ** 2 + 1e-20),
            "minutes": minutes, "jumps": len(jumps), "per_min": len(jumps) / minutes, "where": where,
            "joins": len(joins), "player": player_did(got["figures"], -math.inf), "relay": got["relay"],
            "stalls": got["stalls"], "restarts": got["restarts"], "jump_list": jumps[:200],
            "underrun_times": underrun_times(got["figures"]), "splices": splices}


def place(t, at, size, joins, join_at, got):
    """A jump at call time t (context time at): where it falls."""
    k = bisect.bisect_left(join_at, at - JOIN_S)
    near = [j for j in joins[k:k + 8] if abs(j[0] - at) <= JOIN_S]
    if near:
        where = "at a player join (%s)" % near[0][1]
    elif in_stall(t, got["stalls"], STALL_AFTER_S):
        where = "within a relay stall"
    elif any(r <= t <= r + SPLICE_AFTER_S for r, _, _ in got["splices"]):
        where = "after a splice in the captured audio"
    else:
        where = "elsewhere"
    return {"t": round(t, 4), "size": round(size, 4), "where": where}


def run(ctx, creds, engines=ENGINES, profiles=PROFILES, kinds=KINDS):
    """The runs of the chosen kinds, for each engine: the stall, the drift
    both ways and on time, the tone on a quiet link and on each relay
    profile."""
    out = {}
    for engine in engines:
        plan = [("stall", lambda w: stall_run(ctx, creds[EC], engine, ctx.player_s, w)),
                ("drift +%d ppm" % DRIFT_PPM,
                 lambda w: drift_run(ctx, creds[EC], engine, ctx.drift_s, 1 + DRIFT_PPM * 1e-6, w)),
                ("drift -%d ppm" % DRIFT_PPM,
                 lambda w: drift_run(ctx, creds[EC], engine, ctx.drift_s, 1 - DRIFT_PPM * 1e-6, w)),
                ("drift 0 ppm, the reference", lambda w: drift_run(ctx, creds[EC], engine, ctx.drift_s, 1.0, w))
                if getattr(ctx, "drift_reference", True) else None,
                ("tone, quiet link", lambda w: tone_run(ctx, creds[EC], engine, ctx.player_s, None, w))]
        plan += [("tone, " + LABELS.get(p, p), lambda w, p=p: tone_run(ctx, creds[EC], engine, ctx.player_s, p, w))
                 for p in profiles]
        for name, fn in [run for run in plan if run and run[0].split()[0].rstrip(",") in kinds]:
            print("bench: player %s, %s" % (name, engine), file=sys.stderr)
            work = tempfile.mkdtemp(prefix="player-", dir=ctx.work)
            try:
                out.setdefault(name, {})[engine] = fn(work)
            except Exception as e:  # one broken run must not lose the others
                out.setdefault(name, {})[engine] = {"error": repr(e)}
    return out


# ---- the table ------------------------------------------------------------------------------

def did(p):
    return "cap cuts %s, underruns %s, cut %s ms, stretched %s ms, concealed %s ms" % (
        f(p["capCuts"], 0), f(p["underruns"], 0), f(p["droppedMs"], 0), f(p["stretchedMs"], 0),
        f(p["concealedMs"], 0))


# Underruns that come with restarts of the card's capture (the service fell
# behind: the machine's other load) are not the player's doing.
WHEN_ROW = ("player underruns, s into the call (first 12); card capture restarts, s",
            lambda r: "%s; %s" % (" ".join("%.1f" % t for t in r["underrun_times"][:12]) or "-",
                                  " ".join("%.1f" % t for t in r["restarts"][:12]) or "-"), "")
STALL_ROWS = [
    ("page thread busy, ms (at s)", lambda r: "%.0f (%.1f)" % (r["block_ms"], r["block_s"][0]), ""),
    ("latency before, card capture to output p50/p99/max ms; player target ms",
     lambda r: "%s; %s" % (three(r["latency_before_ms"]), f(r["target_ms"], 0)), ""),
    ("back within %d ms of the level before (for %.0f s), ms after the stall" % (BAND_MS, HOLD_S),
     lambda r: "not within %.0f s" % AFTER_S if r["back_ms"] is None else "%.0f" % r["back_ms"], ""),
    ("latency above the level before: most during the stall and %.0f s after; in the %.0f s after (at s), ms"
     % (NEAR_S, AFTER_S),
     lambda r: "%s; %s (%s)" % (f(r["excursion_near_ms"], 1), f(r["excursion_ms"], 1), f(r["excursion_at_s"], 1)),
     ""),
    ("points outside the band in the %.0f s after, s" % AFTER_S,
     lambda r: " ".join("%.1f" % t for t in r["outside_s"][:12]) or "-", ""),
    ("player from the stall to %.0f s after" % AFTER_S, lambda r: did(r["player"]), ""),
    WHEN_ROW,
]
DRIFT_ROWS = [
    ("latency over the first and the last %.0f s, median ms" % DRIFT_WINDOW_S,
     lambda r: "%s -> %s (call %s s)" % (f(r["start_ms"], 1), f(r["end_ms"], 1), f(r["seconds"], 0)), ""),
    ("latency p50/p99/max ms (from %.0f s)" % WARM_S, lambda r: three(r["latency_ms"]), ""),
    ("player from %.0f s on" % WARM_S, lambda r: did(r["player"]), "no cap cut, no underrun in 10 min"),
    ("player from the call's start", lambda r: did(r["player_from_start"]), ""),
    WHEN_ROW,
]
TONE_ROWS = [
    ("jumps per min (count in min); threshold, tone's largest step, largest step seen (full scale)",
     lambda r: "%s (%d in %s); %s, %s, %s" % (f(r["per_min"], 1), r["jumps"], f(r["minutes"], 2),
                                            f(r["threshold"], 4), f(r["tone_step"], 4), f(r["biggest_step"], 4)),
     "0"),
    ("where the jumps were", lambda r: ", ".join("%s %d" % kv for kv in sorted(r["where"].items())) or "-", ""),
    ("first jumps, s into the call", lambda r: " ".join("%.2f" % j["t"] for j in r["jump_list"][:12]) or "-", ""),
    ("output level dBFS; player joins reported; relay stalls",
     lambda r: "%s; %d; %d" % (f(r["level_dbfs"], 1), r["joins"], len(r["stalls"])), ""),
    ("splices in what the service read from the card, s (step, full scale)",
     lambda r: " ".join("%.2f (%.3f)" % x for x in r["splices"][:8]) or "-", ""),
    ("player over the call", lambda r: did(r["player"]), ""),
    WHEN_ROW,
]


def rows(out):
    table = []
    for name, by_engine in (out or {}).items():
        kind_rows = STALL_ROWS if name == "stall" else DRIFT_ROWS if name.startswith("drift") else TONE_ROWS
        section = "player: " + {"stall": "page thread stalled %d ms, quiet link" % STALL_MS}.get(name, name)
        for label, fn, target in kind_rows:
            value = " | ".join("%s %s" % (e, "skipped: " + r["skipped"] if "skipped" in r else
                                          "error: " + str(r["error"])[:160] if "error" in r else fn(r))
                               for e, r in by_engine.items())
            table.append((section, label, value, target))
    return table


# ---- standalone ------------------------------------------------------------------------------

def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build-dir", required=True)
    ap.add_argument("--bin", help="the call-audio binary to measure (default: the build dir's)")
    ap.add_argument("--quick", action="store_true", help="shorter calls (the defaults become 15 s and 20 s)")
    ap.add_argument("--seconds", type=int, help="stall and tone calls (default 30)")
    ap.add_argument("--drift-seconds", type=int, help="each drift call (default 60; the target is 600)")
    ap.add_argument("--runs", default=",".join(KINDS), help="which of stall, drift, tone")
    ap.add_argument("--no-reference", action="store_true",
                    help="no drift call on time (saves a call when the load is known to be low)")
    ap.add_argument("--engines", default=",".join(ENGINES))
    ap.add_argument("--profiles", default=",".join(PROFILES), help="relay profiles for the tone ('' for none)")
    ap.add_argument("--results", default=os.path.join(HERE, "results"))
    a = ap.parse_args()
    build = os.path.abspath(a.build_dir)
    ctx = types.SimpleNamespace(
        build=build, binary=os.path.abspath(a.bin) if a.bin else os.path.join(build, "service", "call-audio"),
        player_s=a.seconds or (15 if a.quick else 30), drift_s=a.drift_seconds or (20 if a.quick else 60),
        drift_reference=not a.no_reference, work=tempfile.mkdtemp(prefix="callaudio-playerbench-"))
    load_before = " ".join("%.2f" % x for x in os.getloadavg())
    try:
        creds = credentials(ctx.work, kinds=(EC,))
        out = run(ctx, creds, a.engines.split(","), [p for p in a.profiles.split(",") if p], a.runs.split(","))
    finally:
        shutil.rmtree(ctx.work, ignore_errors=True)
    res = {"when": datetime.datetime.now().strftime("%Y-%m-%d %H:%M:%S"), "commit": commit(),
           "build": build, "binary": ctx.binary, "seconds": ctx.player_s, "drift_seconds": ctx.drift_s,
           "load_before": load_before, "load_after": " ".join("%.2f" % x for x in os.getloadavg()), "player": out}
    text = render_rows("call-audio player bench  %s  commit %s  (stall and tone %d s, drift %d s; load %s -> %s)"
                       % (res["when"], res["commit"], ctx.player_s, ctx.drift_s, load_before, res["load_after"]),
                       rows(out))
    write_standalone(a.results, datetime.datetime.now().strftime("%Y%m%d-%H%M%S") + "-player", res, text)


if __name__ == "__main__":
    main()
