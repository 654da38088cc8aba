"""Footprint: the memory and threads of an idle service, then with 1, 100
and 500 idle keep-alive connections, and the size of the stripped binary."""

import os
import shutil
import subprocess
import time

from common import EC, HEALTH, Conn, Nginx, Service, f, rowr, runs

HELD = (1, 100, 500)  # idle keep-alive connections, in steps


def run(ctx, creds):
    ec = creds[EC]
    out = {}
    stripped = os.path.join(ctx.work, "call-audio.stripped")
    shutil.copy(ctx.binary, stripped)
    subprocess.run(["strip", "--strip-all", stripped], check=True)
    out["binary_bytes"] = os.path.getsize(ctx.binary)
    out["stripped_bytes"] = os.path.getsize(stripped)
    samples = {}
    for _ in range(ctx.repeats):
        for n, st in one_service(ctx, ec):
            samples.setdefault(n, []).append(st)
    names = (("rss_kib", "rss"), ("pss_kib", "pss"), ("anon_kib", "anon"), ("file_kib", "file"),
             ("threads", "threads"), ("held", "held"))
    for n, sts in samples.items():
        out["conns_%d" % n] = {name: runs([s.get(k, 0) for s in sts]) for name, k in names}
    pairs = list(zip(samples.get(HELD[0], []), samples.get(HELD[-1], [])))
    out["per_connection_kib"] = runs([(b["rss"] - a["rss"]) / max(1, b.get("held", 500) - 1) for a, b in pairs])
    out["per_connection_anon_kib"] = runs([(b["anon"] - a["anon"]) / max(1, b.get("held", 500) - 1)
                                           for a, b in pairs])
    with Nginx(ctx.work, ec) as ngx:
        time.sleep(0.5)
        out["nginx_idle_rss_kib"] = ngx.rss_kib()
    return out


def one_service(ctx, creds):
    """[(connections held, /proc figures)]: idle, then at each step of HELD."""
    with Service(ctx, ctx.work, creds) as svc:
        tok = svc.token()
        time.sleep(1.0)
        got = [(0, svc.stat())]
        conns = []
        try:
            for n in HELD:
                held = hold_connections(svc.port, svc.cert, tok, n, conns)
                time.sleep(0.5)
                st = svc.stat()
                st["held"] = held
                got.append((n, st))
        finally:
            for c in conns:
                c.close()
    return got


def hold_connections(port, cafile, token, total, conns):
    """Opens connections until `total` are held, each with one answered
    health request and kept alive. Returns how many it holds."""
    deadline = time.monotonic() + 15
    while len(conns) < total and time.monotonic() < deadline:
        c = Conn.open(port, cafile, timeout=10)
        c.get(HEALTH, token)
        c.response()
        conns.append(c)
    return len(conns)


def rows(fp):
    s = "footprint"
    i = fp["conns_0"]
    out = [(s, "idle RSS (anon + file), PSS", "%s KiB (%s + %s), PSS %s KiB" % (
        f(i["rss_kib"]["median"], 0), f(i["anon_kib"]["median"], 0), f(i["file_kib"]["median"], 0),
        f(i["pss_kib"]["median"], 0)), "<= 2048 KiB")]
    for n in HELD:
        c = fp.get("conns_%d" % n)
        if c:
            out.append((s, "%d idle keep-alive conns: RSS (anon), threads" % n, "%s KiB (%s), %s threads, %s held" % (
                f(c["rss_kib"]["median"], 0), f(c["anon_kib"]["median"], 0), f(c["threads"]["median"], 0),
                f(c["held"]["median"], 0)), ""))
    return out + [
        (s, *rowr("per extra idle connection (RSS)", fp["per_connection_kib"], 1, " KiB"), "<= 64 KiB"),
        (s, *rowr("per extra idle connection (anon)", fp["per_connection_anon_kib"], 1, " KiB"), ""),
        (s, "binary size stripped (unstripped)", "%d B (%d B)" % (fp["stripped_bytes"], fp["binary_bytes"]),
         "<= 153600 B"),
        (s, "nginx idle RSS (master + worker)", "%d KiB" % fp["nginx_idle_rss_kib"], "")]
