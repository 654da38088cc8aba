"""Recovery: the capture stalls 2 s under a listener, and a 20 ms poster
pauses 2 s and then posts its 100 missed pieces back to back."""

import statistics
import time

from common import BACK_UNDER_MS, CARD, EC, Service, listener, playback_figures, poster, rowr, run_clients, runs
from simcard import capture_time

FIRST_S = 3.0      # the first stall or pause this far into the call
PERIOD_S = 9.0     # and one every this many seconds
STALL_S = 2.0      # a capture stall, and an uplink pause, last this long
CEILING_MS = 80    # the card queue the service trims back to


def run(ctx, creds):
    return {"capture_stall": capture_stall(ctx, creds[EC]), "uplink_pause": uplink_pause(ctx, creds[EC])}


def capture_stall(ctx, creds):
    """2 s without capture data, then the backlog at once."""
    duration = FIRST_S + PERIOD_S * ctx.repeats
    with Service(ctx, ctx.work, creds) as svc:
        tok = svc.token()
        t_start = time.monotonic()

        def stalls():
            # Issued from this process while the listener runs in its own.
            for k in range(ctx.repeats):
                time.sleep(max(0, t_start + FIRST_S + k * PERIOD_S - time.monotonic()))
                svc.sim.stall(int(STALL_S * 1000), card=CARD)

        res = run_clients([(listener, (svc.port, svc.cert, tok, duration))], timeout=duration + 30,
                          during=stalls)[0]
        stall_evs = svc.sim.events(card=CARD, direction="capture", kind="stall")
    fig = {"stalls": len(stall_evs)}
    if not res["ok"]:
        fig["error"] = res["error"]
        return fig
    chunks = [(t, g, n) for t, g, n in res["chunks"] if g is not None]
    seen = [one_stall(e.t / 1e9, chunks) for e in stall_evs]
    seen = [x for x in seen if x is not None]
    for i, key in enumerate(("back_under_250ms_after_stall_end_ms", "settle_latency_ms",
                             "worst_latency_ms", "longest_silence_ms")):
        fig[key] = runs([x[i] for x in seen])
    fig["stalls_not_seen"] = len(stall_evs) - len(seen)
    return fig


def one_stall(start, chunks):
    """(ms from the stall's end until the latency stays under BACK_UNDER_MS,
    median latency 2-6 s after the end, worst latency, silence at the
    client in ms) for a stall logged at `start`; None when the client saw
    no silence: the stall did not take effect where it was logged."""
    end = start + STALL_S
    after = [(t, (t - capture_time(g + n - 1)) * 1000) for t, g, n in chunks if start <= t <= end + 6.0]
    before = [t for t, _, _ in chunks if t < start]
    gap_ms = ((min(t for t, _ in after) - max(before)) * 1000) if after and before else None
    if gap_ms is None or gap_ms < 1000:
        return None
    over = [t for t, lat in after if lat >= BACK_UNDER_MS]
    last_over = max(over) if over else None
    ok_after = [t for t, lat in after if lat < BACK_UNDER_MS and (last_over is None or t > last_over)]
    tail = [lat for t, lat in after if end + 2 <= t <= end + 6]
    return (((min(ok_after) if ok_after else end + 6) - end) * 1000,
            statistics.median(tail) if tail else None,
            max(lat for _, lat in after),
            gap_ms)


def uplink_pause(ctx, creds):
    """A 20 ms poster stops for 2 s, then sends its backlog."""
    pauses = [(FIRST_S + k * PERIOD_S, STALL_S) for k in range(ctx.repeats)]
    duration = FIRST_S + PERIOD_S * ctx.repeats
    with Service(ctx, ctx.work, creds) as svc:
        tok = svc.token()
        res = run_clients([(poster, (svc.port, svc.cert, tok, 20, duration, pauses))],
                          timeout=duration + 30)[0]
        if not res["ok"]:
            return {"error": res["error"]}
        writes = playback_figures(svc.sim)["writes"]
        got = {k: [] for k in ("card_queue_peak_ms", "back_under_ceiling_ms", "backlog_sent_in_ms",
                               "trims_per_resume", "trimmed_ms_per_resume", "skipped_ms_per_resume")}
        for p_start, p_len in pauses:
            for k, v in one_resume(svc.sim, writes, res, p_start, p_len).items():
                got[k].append(v)
    return {k: runs(v) for k, v in got.items()}


def one_resume(sim, writes, post, p_start, p_len):
    """The card's queue in the 3 s after the pause at p_start ended, and
    what became of the backlog posted then."""
    resume = post["start"] + p_start + p_len
    window = [e for e in writes if resume - 0.01 <= e.t / 1e9 <= resume + 3]
    if not window:
        return {}
    levels = [(e.t / 1e9, (e["queued"] + e["n"]) / 16.0) for e in window]
    over = [t for t, lv in levels if lv > CEILING_MS]
    out = {"card_queue_peak_ms": max(lv for _, lv in levels),
           "back_under_ceiling_ms": ((max(over) - resume) * 1000) if over else 0.0}
    backlog = [r for r in post["records"] if p_start <= r[0] < p_start + p_len]
    if backlog:
        got = playback_figures(sim, int((resume - 0.01) * 1e9), int((resume + 3) * 1e9))
        posted = sum(1 for r in post["records"] if resume - 0.001 <= r[1] <= resume + 3) * post["bytes"] // 2
        out.update({"backlog_sent_in_ms": (backlog[-1][1] + backlog[-1][2] - resume) * 1000,
                    "trims_per_resume": got["trims"], "trimmed_ms_per_resume": got["trimmed_ms"],
                    "skipped_ms_per_resume": max(0, posted - got["written_frames"]) / 16.0})
    return out


def rows(r):
    cs = r.get("capture_stall", {})
    s = "recovery: capture stall 2 s (x%s, %s without a silence at the client)" % (
        cs.get("stalls"), cs.get("stalls_not_seen"))
    if "error" in cs:
        out = [(s, "error", cs["error"], "")]
    else:
        out = [(s,) + row for row in (
            (*rowr("back under 250 ms after stall end min/med/max", cs["back_under_250ms_after_stall_end_ms"],
                   0, " ms"), "<= 1000 ms"),
            (*rowr("settles at (median latency 2-6 s after)", cs["settle_latency_ms"], 1, " ms"), "< 60 ms"),
            (*rowr("worst latency after stall", cs["worst_latency_ms"], 1, " ms"), ""),
            (*rowr("longest silence at the client", cs["longest_silence_ms"], 0, " ms"), ""))]
    up = r.get("uplink_pause", {})
    s = "recovery: uplink pause 2 s, then backlog"
    if "error" in up:
        return out + [(s, "error", up["error"], "")]
    return out + [(s,) + row for row in (
        (*rowr("card queue peak min/med/max", up["card_queue_peak_ms"], 1, " ms"), "<= 100 ms"),
        (*rowr("back under the 80 ms ceiling", up["back_under_ceiling_ms"], 0, " ms"), ""),
        (*rowr("backlog (100 posts) sent in", up["backlog_sent_in_ms"], 0, " ms"), ""),
        (*rowr("card-queue trims per resume", up["trims_per_resume"], 0), ""),
        (*rowr("trimmed per resume", up["trimmed_ms_per_resume"], 0, " ms"), ""),
        (*rowr("skipped ms per resume", up["skipped_ms_per_resume"], 0, " ms"), ""))]
