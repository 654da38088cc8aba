#!/usr/bin/env python3
"""The call through impaired networks: one table per network profile.

    bench/network_bench.py --build-dir DIR [--bin BINARY] [--seconds S]
                           [--profiles a,b] [--clients scripted,chromium,...]
                           [--web DIR] [--label TEXT]

Also the "network" section of bench/bench.py (scripts/bench --only
network). For each profile of tools/netimpair the service runs on a fresh
simulated card behind the relay, and a client makes a full-duplex call
through it:

- scripted: Python processes like the call section's: a poster that sends each
  20 ms microphone frame as its own post when it is ready, pipelined on one
  keep-alive connection (up to 8 unanswered, so the posts' cadence does not
  depend on the round trip), and a stream listener whose arrivals feed the
  page's own player core (web/call-audio-playout.js, run in node by
  bench/player_node.mjs on a simulated 16 kHz output clock);
- scripted-serial: the same with one post at a time, as a browser's fetch
  does on one connection: frames that wait meanwhile go in the next post;
- chromium, firefox, webkit: the real browser client in that engine,
  launched as the browser test launches it (headless, or under Xvfb for
  WebKitGTK, with a fake microphone), driven by bench/network_browser.mjs
  and the page-side driver in bench/page/.

Both ends carry frame numbers: the card captures its numbering pattern, and
each client stamps the pattern into its microphone frames (frame n holds
sample numbers 320 n ... 320 n + 319), so that latency is read from the
audio itself:

- downlink: the time a sample leaves the output minus its capture time on
  the card. The browsers' output is tapped at the audio context's
  destination and dated by the output clock (getOutputTimestamp, or the
  render clock plus outputLatency); a client that reports which input
  samples it played is dated from its reports, as is the scripted
  client's player core;
- uplink: the time a sample plays on the card (the card's event log)
  minus the time the client had it (the scripted clock, or the moment the
  browser's microphone worklet handed its frame over);
- microphone audio played: the pattern's samples found in what the card
  played, against every frame the client captured (posted or not).

Figures are reported, never asserted. 127.0.0.1 only; every process started
is stopped by its pid; every wait is bounded.
"""

import argparse
import array
import bisect
import datetime
import json
import os
import select
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
import types

from common import (BACK_UNDER_MS, CARD, EC, HERE, ROOT, TX, Conn, Service, commit, cpu_seconds, credentials, f,
                    listener, render_rows, run_clients, spread, stop_pid, write_standalone)

sys.path.insert(0, os.path.join(ROOT, "tools", "netimpair"))
from netimpair import PROFILES, Impairment  # noqa: E402
from simcard import capture_time, decode_frames, pattern_sample  # noqa: E402

RATE = 16000
FRAME = 320                 # samples per microphone frame, 20 ms
UPLINK_KEEP = 4             # frames the browser client keeps while a post is out
PLAYER_NODE = os.path.join(HERE, "player_node.mjs")  # the page's player core on the scripted arrivals
PIPELINE = 8                # posts the scripted client keeps unanswered (160 ms)
LATE_POST_S = 0.010         # a scripted post this late shows the machine held the client up
# What a stall holds up arrives just after it: a card underrun or a pad this
# long after a stall's end is counted with the stall.
STALL_AFTER_S = 0.1
RECOVER_S = 2.0             # the player's time to give back a stall's delay

LABELS = {
    "good-wifi": "good Wi-Fi",
    "busy-wifi": "busy Wi-Fi",
    "4g": "4G",
    "uplink-128k": "128 kbit/s uplink",
}
DEFAULT_PROFILES = tuple(LABELS)
BROWSERS = ("chromium", "firefox", "webkit")
DEFAULT_CLIENTS = ("scripted", "chromium", "firefox", "webkit")


# ---- the relay, as its own process ---------------------------------------------

class RelayProc:
    """tools/netimpair/netimpair.py in front of a port; stopped by its pid."""

    def __init__(self, target_port, profile):
        self.proc = subprocess.Popen(
            [sys.executable, os.path.join(ROOT, "tools", "netimpair", "netimpair.py"),
             "--target", str(target_port), "--profile", profile],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        ready, _, _ = select.select([self.proc.stdout], [], [], 10)
        line = self.proc.stdout.readline() if ready else ""
        if "listening on 127.0.0.1:" not in line:
            stop_pid(self.proc)
            raise RuntimeError("netimpair did not start: %r" % line)
        addr = line.split("listening on 127.0.0.1:", 1)[1].split()[0]
        self.port = int(addr)
        self.origin = float(line.split("origin=", 1)[1].split()[0])
        up, down = PROFILES[profile]
        self.up, self.down = Impairment(**up), Impairment(**down)

    def stalls(self, t_from, t_to):
        """(start, end) of the stalls in [t_from, t_to], monotonic seconds."""
        imp = self.down if self.down.stall else self.up
        out = []
        if imp.stall and imp.every:
            t = self.origin + imp.phase
            while t < t_to:
                if t + imp.stall / 1000.0 > t_from:
                    out.append((t, t + imp.stall / 1000.0))
                t += imp.every
        return out

    def stop(self):
        """Stops the relay; returns its closing line (how late it ran)."""
        stop_pid(self.proc)
        tail = self.proc.stdout.read()
        self.proc.stdout.close()
        return tail.strip()


# ---- the scripted client ---------------------------------------------------------

def stamped_frame(n):
    """Microphone frame n as the card will see it: pattern samples 320 n ..."""
    return struct.pack("<%dh" % FRAME, *(pattern_sample(n * FRAME + i) for i in range(FRAME)))


def poster(port, cafile, token, duration, inflight, out):
    """Posts like a microphone client: a 20 ms frame is ready every 20 ms and
    goes out at once while fewer than `inflight` posts are unanswered
    (pipelined on one keep-alive connection, so they stay in order);
    otherwise frames wait and go together in the next post, only the newest
    UPLINK_KEEP of them. inflight 1 is the browser client's one post at a
    time. Sample g of the call was in hand at start + (g + 1) / 16000 s."""
    try:
        conn = Conn.open(port, cafile)
        start = time.monotonic()
        total = int(duration * 1000 / 20)
        next_frame = 0           # the next frame to become ready
        queue = []
        dropped = 0
        out_posts = []           # (send time, frames) of unanswered posts, oldest first
        records = []             # (send time, round trip, frames, status)
        failed = False
        late = 0                 # posts sent LATE_POST_S after their newest frame was ready
        deadline = start + duration + 10
        while (next_frame < total or queue or out_posts) and not failed and time.monotonic() < deadline:
            now = time.monotonic()
            while next_frame < total and start + (next_frame + 1) * 0.020 <= now:
                queue.append(next_frame)
                next_frame += 1
            if len(queue) > UPLINK_KEEP:
                dropped += len(queue) - UPLINK_KEEP
                queue = queue[-UPLINK_KEEP:]
            if queue and len(out_posts) < inflight:
                if time.monotonic() - (start + (queue[-1] + 1) * 0.020) > LATE_POST_S:
                    late += 1
                body = b"".join(stamped_frame(n) for n in queue)
                conn.sock.sendall(("POST %s?token=%s HTTP/1.1\r\nHost: localhost\r\nContent-Length: %d\r\n\r\n"
                                   % (TX, token, len(body))).encode() + body)
                out_posts.append((time.monotonic(), len(queue)))
                queue = []
            due = start + (next_frame + 1) * 0.020 if next_frame < total else deadline
            wait = max(0.0, min(due, deadline) - time.monotonic())
            if not out_posts:
                time.sleep(wait)
                continue
            if not conn.sock.pending():
                ready, _, _ = select.select([conn.sock], [], [], wait)
                if not ready:
                    continue
            conn.fill()
            while out_posts:
                got = conn.try_response()
                if got is None:
                    break
                status = got[0]
                t0, frames = out_posts.pop(0)
                records.append((t0, time.monotonic() - t0, frames, status))
                if not status.startswith("HTTP/1.1 200"):
                    failed = True
        conn.close()
        out.put({"ok": True, "start": start, "records": records, "mic_dropped": dropped, "late": late})
    except Exception as e:  # reported, never raised across the process boundary
        out.put({"ok": False, "error": repr(e)})


def player_playback(chunks):
    """The page's own player core (web/call-audio-playout.js, run in
    simulated real time by bench/player_node.mjs) fed with the listener's
    chunks [(t, g, n)]. Returns the downlink latency series [(t, ms)], one
    point per 128-sample output quantum, from the first input sample it
    played (dated from the player's runs, since cuts and stretches change
    the samples), and its underruns, ms cut and ms inserted."""
    if not chunks:
        return [], 0, 0, 0
    text = "".join("%.6f %d %d\n" % (t, -1 if g is None else g, n) for t, g, n in chunks)
    proc = subprocess.run(["node", PLAYER_NODE], input=text, capture_output=True, text=True,
                          timeout=120 + len(chunks) / 100)
    if proc.returncode != 0:
        raise RuntimeError("player_node.mjs: " + proc.stderr[-300:])
    starts = []         # input sample index of each chunk's first sample
    at = 0
    for _, _, n in chunks:
        starts.append(at)
        at += n
    series = []
    figs = {}
    for line in proc.stdout.splitlines():
        if line.startswith("# "):
            figs = json.loads(line[2:])
            continue
        parts = line.split()
        t, runs = float(parts[0]), [int(float(x)) for x in parts[1:]]
        o = 0
        for index, count in zip(runs[0::2], runs[1::2]):
            if index >= 0:
                k = bisect.bisect_right(starts, index) - 1
                g = chunks[k][1]
                if g is not None:
                    played = t + o / RATE
                    series.append((played, (played - capture_time(g + index - starts[k])) * 1000))
                break
            o += count
    return series, figs["underruns"], figs["droppedMs"], figs["concealedMs"] + figs["stretchedMs"]


# ---- the browser clients -----------------------------------------------------------

def clock_offset():
    """Wall clock minus monotonic clock, in seconds: converts the browser's
    epoch times (performance.timeOrigin + now()) to the card's clock."""
    a = time.monotonic()
    w = time.time()
    b = time.monotonic()
    return w - (a + b) / 2


def run_browser(engine, port, token, duration, workdir, extra=None):
    """bench/network_browser.mjs's report of one call in `engine`, with the
    offset that moves its epoch times to the card's clock. `extra`: more of
    the driver's options (keep, blocks)."""
    out_path = os.path.join(workdir, engine + ".json")
    log_path = os.path.join(workdir, engine + ".log")
    cmd = ["node", os.path.join(HERE, "network_browser.mjs"),
           json.dumps(dict({"engine": engine, "service": "https://127.0.0.1:%d" % port, "token": token,
                            "seconds": duration, "out": out_path, "dir": workdir}, **(extra or {})))]
    if os.sched_getscheduler(0) != os.SCHED_OTHER:
        # A bench run at real-time priority (to keep the machine's other
        # load out of the service's and the relay's timing) leaves the
        # browser, a whole process family, at normal priority.
        cmd = ["chrt", "--other", "0"] + cmd
    off_before = clock_offset()
    with open(log_path, "wb") as log:
        proc = subprocess.Popen(cmd, stdout=log, stderr=subprocess.STDOUT, start_new_session=True)
        try:
            proc.wait(timeout=duration + 150)
        except subprocess.TimeoutExpired:
            pass
        finally:
            if proc.poll() is None:
                # The driver's own process group: the browser and its helpers.
                os.killpg(proc.pid, signal.SIGKILL)
                proc.wait(timeout=10)
    off = (off_before + clock_offset()) / 2
    try:
        with open(out_path) as fh:
            res = json.load(fh)
    except (OSError, ValueError):
        with open(log_path, "rb") as fh:
            return {"error": fh.read().decode(errors="replace")[-600:] or "no report"}
    res["offset"] = off
    return res


def output_clock(res):
    """How the engine's playback was dated: the output tap or the player's
    report, and what the engine's AudioContext offers."""
    c = res.get("clock") or {}
    how = "player report" if res.get("down_report") else "output tap"
    if not c.get("rate"):
        return how + "; no output clock read (context not at 16 kHz?)"
    parts = [how, "%s Hz" % c["rate"],
             "getOutputTimestamp %s (readings: %d whole, %d contextTime only, %d none)" % (
                 "yes" if c.get("getOutputTimestamp") else "no", c.get("byTimestamp", 0),
                 c.get("byContextTime", 0), c.get("byRenderClock", 0)),
             "outputLatency %s" % ("-" if c.get("outputLatencyMs") is None else "%.1f ms" % c["outputLatencyMs"]),
             "baseLatency %s" % ("-" if c.get("baseLatencyMs") is None else "%.1f ms" % c["baseLatencyMs"])]
    return ", ".join(parts)


def mic_period(ends, window=250):
    """Seconds between microphone frames, as the posts show them: a slope
    through the earliest post time (less its frames' nominal 20 ms each) of
    every `window` frames. A browser's fake microphone need not deliver
    exactly 50 frames a second (one delivered 49.81 under load), and taking
    its frames 20 ms apart would then date them ever earlier."""
    low = {}
    for t, n in ends:
        k = n // window
        if k not in low or t - n * 0.020 < low[k][1] - low[k][0] * 0.020:
            low[k] = (n, t)
    pts = sorted(low.values())
    if len(pts) < 3:
        return 0.020
    mn = sum(n for n, _ in pts) / len(pts)
    mt = sum(t for _, t in pts) / len(pts)
    var = sum((n - mn) ** 2 for n, _ in pts)
    return sum((n - mn) * (t - mt) for n, t in pts) / var if var else 0.020


def capture_times(res, off):
    """When the client had each microphone frame n, on the card's clock, and
    how that is known: the page stamped the frames the microphone worklet
    handed over, or, for a client that hands the page none, the frames were
    stamped in the posts by their seq, and frame n is taken to be in hand
    one microphone period (mic_period) after frame n - 1, at the earliest
    time that every post allows."""
    if res.get("mic_hook"):
        return [t / 1000.0 - off for t in res["ready"]], "frames handed over"
    ends = [(p[0] / 1000.0 - off, p[4] + p[3] // (FRAME * 2)) for p in res["posts"] if p[4] is not None]
    if not ends:
        return None, "the client hands the page no microphone frames and posts no seq"
    period = mic_period(ends)
    t0 = min(t - n * period for t, n in ends)
    return ([t0 + (n + 1) * period for n in range(max(n for _, n in ends))],
            "posts' seq, frames %.3f ms apart" % (period * 1000))


def browser_call(engine, port, tok, seconds, workdir):
    """What the browser client reported of a call through the relay at
    port, its times moved to the card's clock."""
    res = run_browser(engine, port, tok, seconds, workdir)
    if "error" in res or "skipped" in res:
        return res
    off = res["offset"]
    ready, mic_clock = capture_times(res, off)
    if ready is None:
        return {"error": mic_clock}
    figs = [x for x in res["figures"] if x["t"] >= res["live_at"]]
    first, last = (figs[0], figs[-1]) if figs else ({}, {})

    def in_hand(g):
        n = g // FRAME
        if n >= len(ready):
            return None
        return ready[n] - (FRAME - 1 - g % FRAME) / RATE

    def grew(key):
        return last[key] - first[key] if key in first and key in last else None

    down = res["down_report"] or res["down"]
    return {"start": res["live_at"] / 1000.0 - off,
            "down": [(t / 1000.0 - off, (t / 1000.0 - off - capture_time(g)) * 1000) for t, g in down],
            "page_underruns": grew("underruns"), "page_dropped": grew("droppedMs"),
            "rtts": [p[1] for p in res["posts"]],
            "failures": sum(1 for p in res["posts"] if p[2] != 200),
            "frames_per_post": [p[3] // (FRAME * 2) for p in res["posts"]],
            "mic_dropped": last.get("micDroppedFrames"), "late_posts": None, "in_hand": in_hand,
            "captured": list(enumerate(ready)),
            "output_clock": output_clock(res) + "; uplink: " + mic_clock,
            "inserted_ms": res["inserted"] / 16.0 if res.get("reports") else None,
            "page_errors": res.get("page_errors", []), "clock": res.get("clock"),
            "user_agent": res.get("user_agent")}


# ---- figures from the card -----------------------------------------------------------

def uplink_series(sim, in_hand):
    """[(t, ms)]: for each stretch the card played, its first sample's play
    time minus the time the client had that sample. `in_hand(g)` gives the
    latter in monotonic seconds, or None."""
    rec = sim.record(CARD)
    series = []
    seen = set()
    for e in sim.events(card=CARD, direction="playback", kind="play"):
        off = e["rec"]
        if off in seen or off + 16 > len(rec):
            continue
        seen.add(off)
        g = decode_frames(struct.unpack("<8h", rec[off:off + 16]))
        if g is None:
            continue
        t0 = in_hand(g)
        if t0 is not None:
            series.append((e.t / 1e9, (e.t / 1e9 - t0) * 1000))
    series.sort()
    return series


def card_figures(sim, t_from):
    evs = sim.events(card=CARD, direction="playback")
    t_ns = int(t_from * 1e9)
    xruns = [e.t / 1e9 for e in evs if e.kind == "xrun" and e.t >= t_ns]
    trims = [e for e in evs if e.kind == "discard" and e.f.get("why") == "drop" and e.t >= t_ns]
    # Silence after the last audio is the end of the call, not a late post.
    last_audio = max((e.t for e in evs if e.kind == "write" and not e.f.get("silent")), default=0)
    # Each 20 ms of silence counts once, however the writes cut it.
    pads = [(e.t / 1e9, e["n"] / FRAME) for e in evs
            if e.kind == "write" and e.f.get("silent") and t_ns <= e.t < last_audio]
    waits = [w["wait"] * 1000 for w in sim.queue_waits(CARD)
             if w["wait"] is not None and not w["silent"] and w["t_write"] >= t_ns]
    return {"xruns": xruns, "trims": len(trims), "pads": pads, "waits_ms": waits}


def played_quads(rec):
    """Which microphone samples the card played: g >> 2 for every four
    samples of the pattern (sample numbers g ... g + 3) found in its record,
    wherever they fell in its writes."""
    s = array.array("h")
    s.frombytes(rec[:len(rec) & ~1])
    quads = set()
    i, last = 0, len(s) - 8
    while i <= last:
        v = s[i]
        # Cheap tests first: a run of the pattern starts where the low byte
        # is a multiple of 4 and the next sample's low byte follows it.
        if v & 3 or (v & 0xFF) > 248 or (s[i + 1] & 0xFF) != (v & 0xFF) + 1:
            i += 1
            continue
        g = decode_frames(s[i:i + 8])
        if g is None:
            i += 1
            continue
        quads.update((g >> 2, (g >> 2) + 1))
        i += 4
    return quads


def in_stall(t, stalls, after=0.0):
    return any(s <= t <= e + after for s, e in stalls)


def mic_played(quads, captured, t_from, t_to, stalls):
    """Percent of the microphone audio captured in [t_from, t_to] that the
    card played: of all of it, and of what was captured outside the relay's
    stalls. captured: (frame number, time the client had the frame)."""
    counts = {False: [0, 0], True: [0, 0]}      # in a stall?: [played, captured] quads
    per_frame = FRAME // 4
    for n, t in captured:
        if t_from <= t <= t_to:
            c = counts[in_stall(t, stalls)]
            c[0] += sum(1 for q in range(n * per_frame, (n + 1) * per_frame) if q in quads)
            c[1] += per_frame
    pct = lambda played, total: 100.0 * played / total if total else None  # noqa: E731
    both = [counts[False][k] + counts[True][k] for k in (0, 1)]
    return {"all": pct(*both), "outside_stalls": pct(*counts[False]), "frames": both[1] // per_frame}


def recovery(series, stalls, t_end):
    """Per stall: ms from its end until the downlink latency is under
    BACK_UNDER_MS and stays there for a second (None: not within 5 s)."""
    out = []
    for _, end in stalls:
        if not series or end < series[0][0] or end + 1.0 > t_end:
            continue
        after = [(t, v) for t, v in series if end <= t <= end + 6.0]
        got = None
        for k, (t, v) in enumerate(after):
            if v >= BACK_UNDER_MS:
                continue
            if all(w < BACK_UNDER_MS for u, w in after[k:] if u <= t + 1.0):
                got = (t - end) * 1000
                break
        out.append(got)
    return out


# ---- one run -------------------------------------------------------------------------

def run_one(ctx, creds, profile, client, seconds, workdir):
    with Service(ctx, workdir, creds) as svc:
        relay = RelayProc(svc.port, profile)
        try:
            tok = svc.token()
            t0 = time.monotonic()
            cpu0 = cpu_seconds(svc.proc.pid)
            if client.startswith("scripted"):
                call = scripted_call(svc.cert, relay.port, tok, client, seconds)
            else:
                call = browser_call(client, relay.port, tok, seconds, workdir)
            if "error" in call or "skipped" in call:
                return call
            t_end = time.monotonic()
            cpu = cpu_seconds(svc.proc.pid) - cpu0
            up = uplink_series(svc.sim, call["in_hand"])
            card = card_figures(svc.sim, call["start"])
            card["quads"] = played_quads(svc.sim.record(CARD))
            stalls = relay.stalls(t0, t_end)
        finally:
            relay_note = relay.stop()
    figures = run_figures(call, up, card, stalls, t_end, relay_note)
    # Handshakes included: an engine that opens a connection per post pays
    # for them here.
    figures["service_cpu_pct"] = 100.0 * cpu / max(t_end - t0, 1e-9)
    return figures


def scripted_call(cafile, port, tok, client, seconds):
    """What the scripted clients saw of a call through the relay at port."""
    inflight = 1 if client == "scripted-serial" else PIPELINE
    post, listen = run_clients([(poster, (port, cafile, tok, seconds, inflight)),
                                (listener, (port, cafile, tok, seconds + 0.5))], timeout=seconds + 60)
    if not post["ok"] or not listen["ok"]:
        return {"error": post.get("error") or listen.get("error")}
    start = post["start"]
    down, page_underruns, page_dropped, inserted = player_playback(listen["chunks"])
    return {"start": start, "down": down, "page_underruns": page_underruns, "page_dropped": page_dropped,
            "rtts": [r[1] * 1000 for r in post["records"]],
            "failures": sum(1 for r in post["records"] if not r[3].startswith("HTTP/1.1 200")),
            "frames_per_post": [r[2] for r in post["records"]],
            "mic_dropped": post["mic_dropped"], "late_posts": post["late"],
            "in_hand": lambda g: start + (g + 1) / RATE,
            "captured": [(n, start + (n + 1) * 0.020) for n in range(int(seconds * 50))],
            "output_clock": "the player core in node, its runs; uplink: the poster's clock",
            "inserted_ms": inserted}


def run_figures(call, up, card, stalls, t_end, relay_note):
    """One run's figures from the client's view of the call, the uplink
    latency series, the card's figures and the relay's stalls. Counting
    starts a second into the call; microphone audio counts until a second
    before the client's last frame, which had time to reach the card."""
    start, down = call["start"], call["down"]
    warm = start + 1.0
    minutes = max(1e-9, (t_end - start) / 60.0)
    last_frame = max((t for _, t in call["captured"]), default=warm)
    pads_in = sum(n for t, n in card["pads"] if in_stall(t, stalls, STALL_AFTER_S))
    pads_all = sum(n for _, n in card["pads"])
    per_min = lambda n: None if n is None else n / minutes  # noqa: E731
    return {
        "seconds": round(t_end - start, 1),
        "downlink_latency_ms": spread([v for t, v in down if t >= warm]),
        "downlink_outside_stalls_ms": spread([v for t, v in down
                                              if t >= warm and not in_stall(t, stalls, RECOVER_S)]),
        "uplink_latency_ms": spread([v for t, v in up if t >= warm]),
        "page_underruns_per_min": per_min(call["page_underruns"]),
        "page_dropped_ms": call["page_dropped"],
        "inserted_ms_per_min": per_min(call["inserted_ms"]),
        "output_clock": call["output_clock"],
        "card_underruns": len(card["xruns"]),
        "card_underruns_per_min": len(card["xruns"]) / minutes,
        "card_underruns_in_stalls": sum(1 for x in card["xruns"] if in_stall(x, stalls, STALL_AFTER_S)),
        "card_trims": card["trims"],
        "card_pads_per_min": pads_all / minutes,
        "card_pads_outside_stalls_per_min": (pads_all - pads_in) / minutes,
        "card_pads_in_stalls_per_min": pads_in / minutes,
        "mic_played": mic_played(card["quads"], call["captured"], warm, last_frame - 1.0, stalls),
        "queue_wait_ms": spread(card["waits_ms"]),
        "post_rtt_ms": spread(call["rtts"]),
        "posts": len(call["rtts"]),
        "post_failures": call["failures"],
        "frames_per_post": spread(call["frames_per_post"]),
        "mic_dropped_frames": call["mic_dropped"],
        "back_under_250ms_ms": recovery(down, stalls, t_end),
        "stalls": [(s - start, e - start) for s, e in stalls],
        "relay": relay_note,
        "client_late_posts": call["late_posts"],
        "page_errors": call.get("page_errors", []),
        "clock": call.get("clock"),
        "user_agent": call.get("user_agent"),
        "series": {"down": [(round(t - start, 3), round(v, 1)) for t, v in down[::4]],
                   "up": [(round(t - start, 3), round(v, 1)) for t, v in up],
                   "card_xruns": [round(x - start, 3) for x in card["xruns"]]},
    }


def run(ctx, creds, profiles=DEFAULT_PROFILES, clients=DEFAULT_CLIENTS):
    unknown = set(clients) - {"scripted", "scripted-serial"} - set(BROWSERS)
    if unknown:
        raise ValueError("no such client: %s" % ", ".join(sorted(unknown)))
    out = {}
    for profile in profiles:
        for client in clients:
            print("bench: network %s, %s client (%d s)" % (profile, client, ctx.net_s), file=sys.stderr)
            work = tempfile.mkdtemp(prefix="net-", dir=ctx.work)
            try:
                out.setdefault(profile, {})[client] = run_one(ctx, creds[EC], profile, client, ctx.net_s, work)
            except Exception as e:  # one broken run must not lose the others
                out.setdefault(profile, {})[client] = {"error": repr(e)}
    return out


# ---- the tables and the plot -------------------------------------------------------------

def three(d, nd=1):
    if not d or d.get("n", 0) == 0:
        return "-"
    return "%s / %s / %s" % (f(d["p50"], nd), f(d["p99"], nd), f(d["max"], nd))


def n_or_dash(v, nd=0):
    return "-" if v is None else f(float(v), nd)


# Goals per profile (issues 21 and 22), printed beside the figures.
TARGETS = {
    "good-wifi": {"up": "p50 <= 70", "down": "p50 <= 70", "mic": ">= 98"},
    "busy-wifi": {"up": "p50 <= 110", "down": "p50 <= 110", "mic": ">= 98 outside stalls"},
    "4g": {"up": "p50 <= 110", "down": "p50 <= 100", "mic": ">= 98"},
}

# (figure, its value from one client's run, key of its goal in TARGETS or a goal)
ROWS = [
    ("downlink latency, card capture to output, p50/p99/max ms", lambda r: three(r["downlink_latency_ms"]), "down"),
    ("downlink latency away from stalls (2 s after), p50/p99/max ms",
     lambda r: three(r["downlink_outside_stalls_ms"]), "p99 <= 1.5 p50"),
    ("dated by: downlink; uplink", lambda r: r["output_clock"], ""),
    ("uplink latency, client mic to card, p50/p99/max ms", lambda r: three(r["uplink_latency_ms"]), "up"),
    ("microphone audio captured that the card played, % (of what was captured outside stalls)",
     lambda r: "%s (%s)" % (f(r["mic_played"]["all"], 1), f(r["mic_played"]["outside_stalls"], 1)), "mic"),
    ("20 ms silences the card inserted per min: outside stalls; in stalls",
     lambda r: "%s; %s" % (f(r["card_pads_outside_stalls_per_min"], 1), f(r["card_pads_in_stalls_per_min"], 1)),
     "outside <= 10"),
    ("card underruns per min (in stalls)",
     lambda r: "%s (%d of %d)" % (f(r["card_underruns_per_min"], 1), r["card_underruns_in_stalls"],
                                   r["card_underruns"]), "<= 1"),
    ("card-queue wait p50/p99/max ms; trims", lambda r: "%s; %d" % (three(r["queue_wait_ms"]), r["card_trims"]),
     "p50 <= 60, max <= 100"),
    ("page underruns per min (dropped by the cap, ms); player inserted ms per min",
     lambda r: "%s (%s); %s" % (n_or_dash(r["page_underruns_per_min"], 1), n_or_dash(r["page_dropped_ms"]),
                                n_or_dash(r["inserted_ms_per_min"])), ""),
    ("downlink back under 250 ms after a stall, ms",
     lambda r: ",".join("never" if x is None else "%.0f" % x for x in r["back_under_250ms_ms"]) or "-", "<= 1000"),
    ("post round trip p50/p99/max ms", lambda r: three(r["post_rtt_ms"]), ""),
    ("service CPU during the call, % of one core", lambda r: n_or_dash(r.get("service_cpu_pct"), 1), ""),
    ("held up by the machine: client posts >10 ms late; relay",
     lambda r: "%s; %s" % (n_or_dash(r.get("client_late_posts")), (r.get("relay") or "").replace("netimpair: ", "")),
     ""),
    ("posts (failed), frames per post p50/max, mic frames dropped",
     lambda r: "%d (%d), %s/%s, %s" % (r["posts"], r["post_failures"], f(r["frames_per_post"]["p50"], 0),
                                      f(r["frames_per_post"]["max"], 0), n_or_dash(r["mic_dropped_frames"])), ""),
]


def rows(net):
    """(section, figure, value, target) rows: one section per profile, the
    clients side by side in the value."""
    out = []
    for profile, by_client in (net or {}).items():
        up, down = PROFILES[profile]
        s = "network: %s (up %s; down %s)" % (LABELS.get(profile, profile), Impairment(**up).describe(),
                                              Impairment(**down).describe())

        def val(fn):
            return " | ".join("%s %s" % (c, "skipped: " + r["skipped"] if "skipped" in r else
                                         "error: " + str(r["error"])[:160] if "error" in r else fn(r))
                              for c, r in by_client.items())
        goals = TARGETS.get(profile, {})
        for label, fn, target in ROWS:
            if label.startswith("downlink back") and not down.get("stall"):
                continue
            out.append((s, label, val(fn), goals.get(target, "" if target in ("up", "down", "mic") else target)))
    return out


def svg_plot(run, title):
    """Latency over time: downlink and uplink series, stalls shaded, card
    underruns ticked. Plain SVG text."""
    w, h, left, right, top, bottom = 960, 360, 60, 20, 30, 40
    ser = run["series"]
    t_max = max([t for t, _ in ser["down"] + ser["up"]] + [1.0])
    v_max = max(300.0, min(1000.0, max([v for _, v in ser["down"] + ser["up"]] + [0.0]) * 1.1))

    def x(t):
        return left + (w - left - right) * t / t_max

    def y(v):
        return top + (h - top - bottom) * (1 - min(v, v_max) / v_max)

    parts = ['<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="%d" font-family="sans-serif" '
             'font-size="12">' % (w, h),
             '<rect width="100%" height="100%" fill="white"/>',
             '<text x="%d" y="18">%s</text>' % (left, title)]
    for s, e in run["stalls"]:
        parts.append('<rect x="%.1f" y="%d" width="%.1f" height="%d" fill="#fdd"/>'
                     % (x(s), top, max(1.0, x(e) - x(s)), h - top - bottom))
    for v in range(0, int(v_max) + 1, 50 if v_max <= 400 else 100):
        parts.append('<line x1="%d" x2="%d" y1="%.1f" y2="%.1f" stroke="#eee"/>' % (left, w - right, y(v), y(v)))
        parts.append('<text x="%d" y="%.1f" text-anchor="end">%d</text>' % (left - 4, y(v) + 4, v))
    step = 5 if t_max <= 60 else 10
    for t in range(0, int(t_max) + 1, step):
        parts.append('<text x="%.1f" y="%d" text-anchor="middle">%d s</text>' % (x(t), h - bottom + 16, t))
    parts.append('<line x1="%d" x2="%d" y1="%.1f" y2="%.1f" stroke="#888" stroke-dasharray="4 3"/>'
                 % (left, w - right, y(BACK_UNDER_MS), y(BACK_UNDER_MS)))
    for name, color in (("down", "#1f77b4"), ("up", "#d62728")):
        pts = " ".join("%.1f,%.1f" % (x(t), y(v)) for t, v in ser[name])
        if pts:
            parts.append('<polyline fill="none" stroke="%s" stroke-width="1" points="%s"/>' % (color, pts))
    for t in ser["card_xruns"]:
        parts.append('<line x1="%.1f" x2="%.1f" y1="%d" y2="%d" stroke="black" stroke-width="2"/>'
                     % (x(t), x(t), h - bottom, h - bottom - 10))
    parts.append('<text x="%d" y="%d" fill="#1f77b4">downlink (card to player)</text>' % (w - 420, 18))
    parts.append('<text x="%d" y="%d" fill="#d62728">uplink (client to card)</text>' % (w - 250, 18))
    parts.append('<text x="%d" y="%d">ms; shaded: stalls; ticks: card underruns; dashed: 250 ms</text>'
                 % (left, h - 6))
    parts.append("</svg>")
    return "\n".join(parts) + "\n"


def write_plots(net, results_dir, stamp):
    paths = []
    for client, run in (net or {}).get("busy-wifi", {}).items():
        if "error" in run:
            continue
        path = os.path.join(results_dir, "%s-busy-wifi-%s.svg" % (stamp, client))
        with open(path, "w") as fh:
            fh.write(svg_plot(run, "busy Wi-Fi, %s client: latency over time" % client))
        paths.append(path)
    return paths


# ---- standalone ----------------------------------------------------------------------------

def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build-dir", required=True)
    ap.add_argument("--seconds", type=int, default=60)
    ap.add_argument("--profiles", default=",".join(DEFAULT_PROFILES))
    ap.add_argument("--clients", default=",".join(DEFAULT_CLIENTS))
    ap.add_argument("--label", default="")
    ap.add_argument("--bin", help="the call-audio binary to measure (default: the build dir's)")
    ap.add_argument("--web", help="serve this copy of web/ to the browsers (to compare an older client)")
    ap.add_argument("--results", default=os.path.join(HERE, "results"))
    ap.add_argument("--keep", action="store_true",
                    help="keep the work directory (service logs, browser logs) and print where it is")
    a = ap.parse_args()
    build = os.path.abspath(a.build_dir)
    binary = os.path.abspath(a.bin) if a.bin else os.path.join(build, "service", "call-audio")
    ctx = types.SimpleNamespace(build=build, binary=binary, net_s=a.seconds,
                                work=tempfile.mkdtemp(prefix="callaudio-netbench-"))
    if a.web:
        os.environ["CALLAUDIO_BENCH_WEB"] = os.path.abspath(a.web)
    try:
        creds = credentials(ctx.work, kinds=(EC,))
        load_before = " ".join("%.2f" % x for x in os.getloadavg())
        net = run(ctx, creds, a.profiles.split(","), a.clients.split(","))
    finally:
        if a.keep:
            print("bench: kept %s" % ctx.work, file=sys.stderr)
        else:
            shutil.rmtree(ctx.work, ignore_errors=True)
    res = {"when": datetime.datetime.now().strftime("%Y-%m-%d %H:%M:%S"), "commit": commit(),
           "label": a.label, "build": ctx.build, "binary": binary, "web": a.web,
           "seconds": a.seconds, "load_before": load_before,
           "load_after": " ".join("%.2f" % x for x in os.getloadavg()), "network": net}
    text = render_rows("call-audio network bench  %s  commit %s  %s  (%d s per run; load %s -> %s)"
                       % (res["when"], res["commit"], res["label"], res["seconds"], res["load_before"],
                          res["load_after"]), rows(net))
    stamp = datetime.datetime.now().strftime("%Y%m%d-%H%M%S") + "-network" + (
        "-" + a.label.replace(" ", "_") if a.label else "")
    write_standalone(a.results, stamp, res, text)
    for p in write_plots(net, a.results, stamp):
        print("bench: plot %s" % p, file=sys.stderr)


if __name__ == "__main__":
    main()
