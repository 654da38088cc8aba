"""Front-end capacity: wrk against the service's health, keep-alive and a
new TLS connection per request, beside nginx serving the same JSON with the
same certificate, and against handshake_ceiling.c."""

import json
import os
import re
import subprocess

from common import HEALTH, Nginx, Service, ceiling, ceiling_group, f, openssl_brief, ratio, rowr, runs

WRK_SCRIPT = """
done = function(summary, latency, requests)
  local e = summary.errors
  io.write(string.format('WRKJSON {"requests":%d,"duration_us":%d,"p50_us":%d,"p99_us":%d,' ..
    '"max_us":%d,"connect":%d,"read":%d,"write":%d,"status":%d,"timeout":%d}\\n',
    summary.requests, summary.duration, latency:percentile(50), latency:percentile(99),
    latency.max, e.connect, e.read, e.write, e.status, e.timeout))
end
"""
# (name, connections, a new connection per request, label)
TESTS = [("keepalive_c8", 8, False, "keep-alive health, 8 conns"),
         ("keepalive_c64", 64, False, "keep-alive health, 64 conns"),
         ("newconn_c4", 4, True, "new TLS connection per request, 4 conns (wrk resumes the service's tickets)")]


def wrk(script, port, token, conns, seconds, close=False):
    url = "https://127.0.0.1:%d%s?token=%s" % (port, HEALTH, token)
    cmd = ["wrk", "-t", str(min(2, conns)), "-c", str(conns), "-d", "%ds" % seconds,
           "--timeout", "5s", "-s", script]
    if close:
        cmd += ["-H", "Connection: close"]
    cmd.append(url)
    p = subprocess.run(cmd, capture_output=True, text=True, timeout=seconds + 60)
    m = re.search(r"WRKJSON (\{.*\})", p.stdout)
    if not m:
        return {"error": (p.stdout + p.stderr)[-400:]}
    r = json.loads(m.group(1))
    r["rps"] = r["requests"] / (r["duration_us"] / 1e6)
    r["errors"] = r["connect"] + r["read"] + r["write"] + r["status"] + r["timeout"]
    return r


def negotiated(port, cafile):
    """Protocol, suite and the server's ephemeral key as an OpenSSL client
    sees them."""
    got = dict(openssl_brief(port, cafile))
    return {"protocol": got.get("Protocol version"), "suite": got.get("Ciphersuite"),
            "temp_key": got.get("Peer Temp Key") or got.get("Server Temp Key")}


def run(ctx, creds):
    script = os.path.join(ctx.work, "report.lua")
    with open(script, "w") as fh:
        fh.write(WRK_SCRIPT)
    return {kind: one_certificate(ctx, script, c) for kind, c in creds.items()}


def one_certificate(ctx, script, creds):
    fig = {"handshake_ceiling": ceiling(ctx, creds[1], "secp256r1")}
    with Service(ctx, ctx.work, creds) as svc, Nginx(ctx.work, creds) as ngx:
        tok = svc.token()
        fig["suite_service"] = negotiated(svc.port, svc.cert)
        fig["suite_nginx"] = negotiated(ngx.port, svc.cert)
        # The ceiling again with the ephemeral curve the service really
        # picks for an OpenSSL client, when that is not P-256.
        curve = ceiling_group(fig["suite_service"].get("temp_key") or "")
        if curve and curve != "secp256r1":
            fig["handshake_ceiling_negotiated"] = ceiling(ctx, creds[1], curve)
        series = {}
        for _ in range(ctx.repeats):
            # Alternating the two servers spreads the machine's other
            # load over both sides of each ratio.
            for name, conns, close, _ in TESTS:
                for who, port in (("service", svc.port), ("nginx", ngx.port)):
                    series.setdefault((name, who), []).append(wrk(script, port, tok, conns, ctx.wrk_s, close))
        for (name, who), rs in series.items():
            good = [r for r in rs if "error" not in r]
            fig.setdefault(name, {})[who] = {
                "rps": runs([r["rps"] for r in good]),
                "p50_ms": runs([r["p50_us"] / 1000 for r in good]),
                "p99_ms": runs([r["p99_us"] / 1000 for r in good]),
                "errors": sum(r["errors"] for r in good),
                "failed_runs": [r["error"] for r in rs if "error" in r],
            }
        fig["service_rss_kib_after"] = svc.stat()["rss"]
        fig["service_threads_after"] = svc.stat()["threads"]
        fig["nginx_rss_kib_after"] = ngx.rss_kib()
    return fig


def rows(res):
    out = []
    for kind, cap in res.items():
        s = "front end, %s certificate" % kind
        for who in ("service", "nginx"):
            n = cap["suite_" + who]
            out.append((s, "TLS with an OpenSSL client: " + who, "%s %s, ephemeral %s" % (
                n.get("protocol"), n.get("suite"), n.get("temp_key")), ""))
        for name, _, _, label in TESTS:
            out += [(s,) + r for r in test_rows(cap, name, label)]
        out.append((s, "RSS after load: service | nginx", "%d KiB (%d threads) | %d KiB" % (
            cap["service_rss_kib_after"], cap["service_threads_after"], cap["nginx_rss_kib_after"]), ""))
    return out


def test_rows(cap, name, label):
    """(figure, value, target) rows of one wrk test."""
    sv, ng = cap[name]["service"], cap[name]["nginx"]
    c8 = name == "keepalive_c8"
    out = [
        (*rowr(label + ": req/s min/med/max", sv["rps"], 0), ">= 0.8x nginx" if c8 else ""),
        ("  latency p50 / p99 (median run)", "%s / %s ms, errors %d" % (
            f(sv["p50_ms"]["median"], 3), f(sv["p99_ms"]["median"], 3), sv["errors"]), ""),
        ("  nginx (1 worker): req/s med, p50/p99", "%s, %s / %s ms, errors %d" % (
            f(ng["rps"]["median"], 0), f(ng["p50_ms"]["median"], 3), f(ng["p99_ms"]["median"], 3), ng["errors"]), ""),
        ("  ratio service / nginx", f(ratio(sv["rps"]["median"], ng["rps"]["median"]), 2), ">= 0.8" if c8 else ""),
    ]
    if name != "newconn_c4":
        return out
    # Full handshakes against the ceiling: the "new TLS connections"
    # section (tls_bench.py), whose clients choose.
    ceil = cap["handshake_ceiling"]
    out.append(("  ratio service / handshake ceiling", "%s (ceiling %s/s: ECDHE P-256 %s us + sign %s us)" % (
        f(ratio(sv["rps"]["median"], ceil.get("per_second")), 2), f(ceil.get("per_second"), 0),
        f(ceil.get("ecdhe_us"), 0), f(ceil.get("sign_us"), 0)), ""))
    neg = cap.get("handshake_ceiling_negotiated")
    if neg and neg.get("per_second"):
        out.append(("  ratio service / ceiling with the curve it picks", "%s (%s: %s/s, ECDHE %s us + sign %s us)" % (
            f(ratio(sv["rps"]["median"], neg["per_second"]), 2), neg.get("curve"),
            f(neg["per_second"], 0), f(neg.get("ecdhe_us"), 0), f(neg.get("sign_us"), 0)), ""))
    return out
