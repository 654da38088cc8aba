"""The call: one full-duplex call per uplink piece size (20 ms pieces every
20 ms, then 40 ms every 40 ms), a poster and a stream listener at once."""

import time

from common import EC, Service, f, listener, playback_figures, poster, row3, run_clients, spread
from simcard import capture_time


def run(ctx, creds):
    return {"call_%dms" % piece: one_call(ctx, creds[EC], piece) for piece in (20, 40)}


def one_call(ctx, creds, piece):
    with Service(ctx, ctx.work, creds) as svc:
        tok = svc.token()
        before = svc.stat()
        t0_ns = time.monotonic_ns()
        post, listen = run_clients([(poster, (svc.port, svc.cert, tok, piece, ctx.call_s, [])),
                                    (listener, (svc.port, svc.cert, tok, ctx.call_s + 0.5))],
                                   timeout=ctx.call_s + 30)
        after = svc.stat()
        elapsed = (time.monotonic_ns() - t0_ns) / 1e9
        fig = {"piece_ms": piece, "seconds": round(elapsed, 1)}
        if not post["ok"] or not listen["ok"]:
            fig["error"] = post.get("error") or listen.get("error")
            return fig
        fig.update(uplink_figures(post, playback_figures(svc.sim, t0_ns)))
    fig["downlink"] = downlink_figures(listen["chunks"], warmup=1.0)
    cpu = after["cpu"] - before["cpu"]
    fig["cpu_s_per_min"] = cpu / elapsed * 60
    fig["cpu_pct_core"] = cpu / elapsed * 100
    fig["rss_kib"] = after["rss"]
    fig["rss_hwm_kib"] = after["hwm"]
    fig["threads"] = after["threads"]
    return fig


def uplink_figures(post, pb):
    """The poster's round trips and what the card did with its audio (pb:
    playback_figures over the call), per minute of posted audio."""
    rtts = [r[2] * 1000 for r in post["records"]]
    posted_frames = len(rtts) * post["bytes"] // 2
    minutes = len(rtts) * post["piece_ms"] / 60000.0
    return {"posts": len(rtts),
            "post_failures": sum(1 for r in post["records"] if not r[3].startswith("HTTP/1.1 200")),
            "rtt_ms": spread(rtts),
            "queue_wait_ms": spread(pb["waits_ms"]),
            "skipped_ms_per_min": max(0, posted_frames - pb["written_frames"]) / 16.0 / minutes,
            "trims_per_min": pb["trims"] / minutes,
            "trimmed_ms_per_min": pb["trimmed_ms"] / minutes,
            "underruns_per_min": pb["underruns"] / minutes}


def downlink_figures(chunks, warmup):
    if not chunks:
        return {"chunks": 0}
    t_first = chunks[0][0]
    steady = [c for c in chunks if c[0] - t_first >= warmup]
    lat = [(t - capture_time(g + n - 1)) * 1000 for t, g, n in steady if g is not None]
    arrivals = [b[0] - a[0] for a, b in zip(steady, steady[1:])]
    jitter = [abs(d * 1000 - 20.0) for d in arrivals]
    frames = sum(n for _, _, n in steady[1:])
    span = steady[-1][0] - steady[0][0] if len(steady) > 1 else 0
    gaps = sum(1 for a, b in zip(steady, steady[1:])
               if a[1] is not None and b[1] is not None and b[1] != a[1] + a[2])
    return {"chunks": len(steady), "undecoded": sum(1 for c in steady if c[1] is None),
            "latency_ms": spread(lat), "jitter_ms": spread(jitter),
            "interarrival_ms": spread([d * 1000 for d in arrivals]),
            "rate_hz": frames / span if span else None, "frame_gaps": gaps}


def rows(res):
    out = []
    for key in ("call_20ms", "call_40ms"):
        c = res.get(key)
        if c:
            out += call_rows(c)
    return out


def call_rows(c):
    s = "call, %d ms posts + listener (%ss)" % (c["piece_ms"], c["seconds"])
    if "error" in c:
        return [(s, "error", c["error"], "")]
    d = c["downlink"]
    got = [
        (*row3("post round trip p50/p99/max", c["rtt_ms"], 2, " ms"), "p50 < 0.3 ms, p99 < 2 ms"),
        ("posts (failed)", "%d (%d)" % (c["posts"], c["post_failures"]), ""),
        (*row3("card-queue wait p50/p99/max", c["queue_wait_ms"], 1, " ms"), "p50 <= 60, max <= 100 ms"),
        ("skipped / trimmed per min", "%s ms / %s ms (%s trims)" % (
            f(c["skipped_ms_per_min"], 0), f(c["trimmed_ms_per_min"], 0), f(c["trims_per_min"], 1)), ""),
        ("card underruns per min", f(c["underruns_per_min"], 1), ""),
        (*row3("capture-to-client latency p50/p99/max", d.get("latency_ms", {}), 1, " ms"), "p99 < 60 ms"),
        (*row3("inter-arrival p50/p99/max", d.get("interarrival_ms", {}), 1, " ms"), ""),
        (*row3("jitter |gap-20ms| p50/p99/max", d.get("jitter_ms", {}), 1, " ms"), ""),
        ("measured rate (frame gaps)", "%s Hz (%s)" % (f(d.get("rate_hz"), 0), d.get("frame_gaps")), "16000 Hz"),
        ("service CPU per minute of call", "%s s (%s%% of one core)" % (
            f(c["cpu_s_per_min"], 2), f(c["cpu_pct_core"], 2)), "<= 0.6 s (1%)"),
        ("service RSS (peak), threads", "%d KiB (%d KiB), %d" % (c["rss_kib"], c["rss_hwm_kib"], c["threads"]), ""),
    ]
    return [(s,) + r for r in got]
