#!/usr/bin/env python3
"""Measures what a call costs the service and how close it runs to its
limits, on the simulated modem card, and prints one table (also written as
JSON and Markdown into bench/results/).

    bench/bench.py --build-dir DIR [--bin BINARY] [--quick] [--only SECTION,...]

Sections: call, recovery, capacity, footprint, browser, cost, peers, tls, and
network (not run by default; bench/network_bench.py). Every figure is reported,
none is asserted. Every load goes to 127.0.0.1 only; every loop is bounded
in count and time; every server started here is stopped by its own pid.
"""

import argparse
import datetime
import json
import multiprocessing as mp
import os
import platform
import re
import shutil
import signal
import socket
import ssl
import statistics
import struct
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
sys.path.insert(0, os.path.join(ROOT, "tools", "simcard"))
from harness import make_credentials, mint  # noqa: E402
from simcard import Sim, capture_time, decode_frames  # noqa: E402

# Sections kept in modules of their own (bench/<module>.py, each with
# section(ctx, creds) -> result and rows(result) -> table rows), in run order.
MODULE_SECTIONS = {"cost": "cost_bench", "peers": "peers_bench", "tls": "tls_bench"}

CARD = "RM500QGL"
HEALTH = "/api/v1/voice_call/audio/health"
STREAM = "/api/v1/voice_call/audio/stream"
TX = "/api/v1/voice_call/audio/tx"
HEALTH_BODY = '{"success":true,"card_present":true}'
BYTES_PER_MS = 32
CEILING_MS = 80
CLK_TCK = os.sysconf("SC_CLK_TCK")
PAGE = os.sysconf("SC_PAGESIZE")


# ---- small statistics -------------------------------------------------------

def pct(values, p):
    """Nearest-rank percentile; None for no values."""
    if not values:
        return None
    s = sorted(values)
    k = max(0, min(len(s) - 1, int(round(p / 100.0 * len(s) + 0.5)) - 1))
    return s[k]


def spread(values):
    """p50/p99/max of a sample."""
    return {"n": len(values), "p50": pct(values, 50), "p99": pct(values, 99),
            "max": max(values) if values else None}


def runs(values):
    """min/median/max over repeated runs."""
    values = [v for v in values if v is not None]
    if not values:
        return {"n": 0, "min": None, "median": None, "max": None}
    return {"n": len(values), "min": min(values), "median": statistics.median(values),
            "max": max(values)}


# ---- processes -----------------------------------------------------------------

def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def proc_stat(pid):
    """(user+sys CPU seconds, RSS KiB, RssAnon KiB, RssFile KiB, threads)."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    cpu = (int(fields[11]) + int(fields[12])) / CLK_TCK
    status = {}
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            k, _, v = line.partition(":")
            status[k] = v.strip()
    kib = lambda k: int(status.get(k, "0 kB").split()[0])  # noqa: E731
    pss = 0
    try:
        # Shared library pages count whole in RSS; PSS divides them among
        # the processes that map them.
        with open("/proc/%d/smaps_rollup" % pid) as f:
            for line in f:
                if line.startswith("Pss:"):
                    pss = int(line.split()[1])
    except OSError:
        pass
    return {"pss": pss, "cpu": cpu, "rss": kib("VmRSS"), "anon": kib("RssAnon"), "file": kib("RssFile"),
            "hwm": kib("VmHWM"), "threads": int(status.get("Threads", "0"))}


def stop_pid(proc, timeout=10):
    """Stops a child we started, by its pid: SIGTERM, then SIGKILL."""
    if proc is None or proc.poll() is not None:
        return
    os.kill(proc.pid, signal.SIGTERM)
    try:
        proc.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.kill(proc.pid, signal.SIGKILL)
        proc.wait(timeout=timeout)


class Service:
    """The real call-audio binary on a fresh simulated card."""

    def __init__(self, ctx, workdir, creds, prefix=(), start_timeout=10):
        """prefix: a command the binary runs under (strace, valgrind)."""
        self.ctx = ctx
        self.prefix = list(prefix)
        self.start_timeout = start_timeout
        self.dir = tempfile.mkdtemp(prefix="svc-", dir=workdir)
        self.sim = Sim.create(os.path.join(self.dir, "sim"), ctx.build, cards=[CARD])
        self.cert, self.key, self.secret = creds
        self.port = free_port()
        self.log_path = os.path.join(self.dir, "service.log")
        self.proc = None

    def __enter__(self):
        self.log = open(self.log_path, "wb")
        self.proc = subprocess.Popen(
            self.prefix + [self.ctx.binary, "--port", str(self.port), "--cert", self.cert, "--key", self.key,
             "--secret", self.secret],
            stdout=subprocess.DEVNULL, stderr=self.log, env=self.sim.env())
        deadline = time.monotonic() + self.start_timeout
        while time.monotonic() < deadline:
            if "listening on :%d" % self.port in self.log_text():
                return self
            if self.proc.poll() is not None:
                break
            time.sleep(0.02)
        stop_pid(self.proc)
        raise RuntimeError("service did not start:\n" + self.log_text())

    def __exit__(self, *exc):
        stop_pid(self.proc)
        self.log.close()

    def log_text(self):
        with open(self.log_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def token(self):
        return mint(self.secret, ttl=3600)

    def stat(self):
        return proc_stat(self.proc.pid)


class Nginx:
    """Debian's nginx, one worker, serving the health JSON over TLS with the
    same certificate; the reference for the front end."""

    def __init__(self, workdir, creds):
        self.dir = tempfile.mkdtemp(prefix="nginx-", dir=workdir)
        self.cert, self.key, _ = creds
        self.port = free_port()
        self.proc = None

    def __enter__(self):
        d = self.dir
        conf = os.path.join(d, "nginx.conf")
        temp = "".join("%s_temp_path %s/%s;\n  " % (k, d, k)
                       for k in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"))
        with open(conf, "w") as f:
            f.write("""worker_processes 1;
pid %(d)s/nginx.pid;
error_log %(d)s/error.log warn;
events { worker_connections 4096; }
http {
  access_log off;
  %(temp)s
  keepalive_requests 100000000;
  keepalive_timeout 20s;
  server {
    listen 127.0.0.1:%(port)d ssl;
    ssl_certificate %(cert)s;
    ssl_certificate_key %(key)s;
    ssl_protocols TLSv1.2;
    ssl_session_cache off;
    ssl_session_tickets off;
    location = %(health)s {
      default_type application/json;
      add_header Access-Control-Allow-Origin *;
      return 200 '%(body)s';
    }
  }
}
""" % {"d": d, "temp": temp, "port": self.port, "cert": self.cert, "key": self.key,
            "health": HEALTH, "body": HEALTH_BODY})
        self.log = open(os.path.join(d, "stderr.log"), "wb")
        self.proc = subprocess.Popen(["nginx", "-p", d, "-e", os.path.join(d, "error.log"),
                                      "-c", conf, "-g", "daemon off;"],
                                     stdout=subprocess.DEVNULL, stderr=self.log)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                return self
            except OSError:
                if self.proc.poll() is not None:
                    break
                time.sleep(0.05)
        stop_pid(self.proc)
        raise RuntimeError("nginx did not start: " + open(os.path.join(d, "error.log")).read())

    def __exit__(self, *exc):
        stop_pid(self.proc)  # the master stops its worker
        self.log.close()

    def rss_kib(self):
        """Master plus its workers."""
        total = proc_stat(self.proc.pid)["rss"]
        for pid in os.listdir("/proc"):
            if pid.isdigit():
                try:
                    with open("/proc/%s/stat" % pid) as f:
                        ppid = int(f.read().rsplit(")", 1)[1].split()[1])
                    if ppid == self.proc.pid:
                        total += proc_stat(int(pid))["rss"]
                except (OSError, ValueError, IndexError):
                    pass
        return total


# ---- a TLS client that behaves like a browser's fetch ---------------------------

class Conn:
    def __init__(self, port, cafile, timeout=25):
        ctx = ssl.create_default_context(cafile=cafile)
        ctx.check_hostname = False
        raw = socket.create_connection(("127.0.0.1", port), timeout=timeout)
        raw.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.sock = ctx.wrap_socket(raw, server_hostname="localhost")
        self.buf = b""
        self.t_last = 0.0  # monotonic time of the recv that brought the newest bytes

    def fill(self):
        data = self.sock.recv(65536)
        if not data:
            raise EOFError("closed by the service")
        self.t_last = time.monotonic()
        self.buf += data

    def until(self, marker):
        while marker not in self.buf:
            self.fill()
        i = self.buf.index(marker) + len(marker)
        out, self.buf = self.buf[:i], self.buf[i:]
        return out

    def exact(self, n):
        while len(self.buf) < n:
            self.fill()
        out, self.buf = self.buf[:n], self.buf[n:]
        return out

    def response(self):
        head = self.until(b"\r\n\r\n")
        m = re.search(rb"(?i)\r\ncontent-length: *(\d+)", head)
        body = self.exact(int(m.group(1)) if m else 0)
        return head.split(b"\r\n", 1)[0].decode(), body

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass


def poster(port, cafile, token, piece_ms, duration, pauses, out):
    """Posts a piece of piece_ms every piece_ms on one keep-alive connection.
    During each (start, length) pause nothing is sent; at its end every piece
    that fell due meanwhile goes out back to back, as a browser's queued
    fetches would. Reports (due offset, send time, round trip, status)."""
    try:
        conn = Conn(port, cafile)
        body = bytes(range(256)) * (piece_ms * BYTES_PER_MS // 256) + \
            bytes(piece_ms * BYTES_PER_MS % 256)
        head = ("POST %s?token=%s HTTP/1.1\r\nHost: localhost\r\nContent-Type: "
                "application/octet-stream\r\nContent-Length: %d\r\n\r\n"
                % (TX, token, len(body))).encode()
        start = time.monotonic()
        records = []
        count = int(duration * 1000 / piece_ms)
        for i in range(count):
            due = i * piece_ms / 1000.0
            for p_start, p_len in pauses:
                if p_start <= due < p_start + p_len:
                    due = p_start + p_len
            delay = start + due - time.monotonic()
            if delay > 0:
                time.sleep(delay)
            t0 = time.monotonic()
            conn.sock.sendall(head + body)
            status, _ = conn.response()
            t1 = time.monotonic()
            records.append((i * piece_ms / 1000.0, t0, t1 - t0, status))
            if not status.startswith("HTTP/1.1 200"):
                break
            if time.monotonic() - start > duration + 5:
                break
        conn.close()
        out.put({"ok": True, "start": start, "piece_ms": piece_ms, "bytes": len(body),
                 "records": records})
    except Exception as e:  # reported, never raised across the process boundary
        out.put({"ok": False, "error": repr(e)})


def listener(port, cafile, token, duration, out):
    """Reads the stream for `duration` seconds; for each chunk: receipt time,
    global frame number of its first sample, frame count."""
    try:
        conn = Conn(port, cafile)
        conn.sock.sendall(("GET %s?token=%s HTTP/1.1\r\nHost: localhost\r\n\r\n"
                           % (STREAM, token)).encode())
        head = conn.until(b"\r\n\r\n")
        if not head.startswith(b"HTTP/1.1 200"):
            raise RuntimeError(head.decode(errors="replace"))
        start = time.monotonic()
        chunks = []
        limit = int(duration * 50 * 3) + 100  # bounded even if chunks come faster
        while time.monotonic() - start < duration and len(chunks) < limit:
            size = int(conn.until(b"\r\n")[:-2], 16)
            if size == 0:
                break
            data = conn.exact(size)
            t = conn.t_last
            conn.exact(2)
            samples = struct.unpack("<%dh" % (size // 2), data)
            chunks.append((t, decode_frames(samples), size // 2))
        conn.close()
        out.put({"ok": True, "start": start, "chunks": chunks})
    except Exception as e:
        out.put({"ok": False, "error": repr(e)})


def run_clients(clients, timeout):
    """Starts each (function, args) in its own process and gathers the
    results in order. Separate processes keep one client's Python work from
    delaying another's timing."""
    ctx = mp.get_context("fork")
    procs = []
    for fn, args in clients:
        q = ctx.Queue()
        p = ctx.Process(target=fn, args=args + (q,), daemon=True)
        p.start()
        procs.append((p, q))
    results = []
    for p, q in procs:
        try:
            results.append(q.get(timeout=timeout))
        except Exception:
            results.append({"ok": False, "error": "no result within %ss" % timeout})
        p.join(timeout=5)
        if p.is_alive():
            p.kill()
            p.join(timeout=5)
    return results


# ---- figures from the simulated card ------------------------------------------------

def playback_figures(sim, t_from_ns=0, t_to_ns=None):
    """Queue waits and what the card did with the uplink audio."""
    evs = sim.events(card=CARD, direction="playback")
    in_window = lambda e: e.t >= t_from_ns and (t_to_ns is None or e.t <= t_to_ns)  # noqa: E731
    writes = [e for e in evs if e.kind == "write" and in_window(e)]
    drops = [e for e in evs if e.kind == "discard" and e.f.get("why") == "drop" and in_window(e)]
    xruns = [e for e in evs if e.kind == "xrun" and in_window(e)]
    waits = [w["wait"] * 1000 for w in sim.queue_waits(CARD)
             if w["wait"] is not None and not w["silent"] and t_from_ns <= w["t_write"] and
             (t_to_ns is None or w["t_write"] <= t_to_ns)]
    return {
        "writes": writes,
        "waits_ms": waits,
        "written_frames": sum(e["n"] for e in writes),
        "trims": len(drops),
        "trimmed_ms": sum(e["n"] for e in drops) / 16.0,
        "underruns": len(xruns),
    }


# ---- sections ----------------------------------------------------------------------

def section_call(ctx, creds):
    """One full-duplex call per uplink piece size: a poster plus a listener."""
    out = {}
    for piece in (20, 40):
        with Service(ctx, ctx.work, creds) as svc:
            tok = svc.token()
            before = svc.stat()
            t0_ns = time.monotonic_ns()
            res = run_clients([(poster, (svc.port, svc.cert, tok, piece, ctx.call_s, [])),
                               (listener, (svc.port, svc.cert, tok, ctx.call_s + 0.5))],
                              timeout=ctx.call_s + 30)
            after = svc.stat()
            elapsed = (time.monotonic_ns() - t0_ns) / 1e9
            post, listen = res
            fig = {"piece_ms": piece, "seconds": round(elapsed, 1)}
            if not post["ok"] or not listen["ok"]:
                fig["error"] = post.get("error") or listen.get("error")
                out["call_%dms" % piece] = fig
                continue
            rtts = [r[2] * 1000 for r in post["records"]]
            fig["posts"] = len(rtts)
            fig["post_failures"] = sum(1 for r in post["records"] if not r[3].startswith("HTTP/1.1 200"))
            fig["rtt_ms"] = spread(rtts)
            pb = playback_figures(svc.sim, t0_ns)
            fig["queue_wait_ms"] = spread(pb["waits_ms"])
            posted_frames = len(rtts) * post["bytes"] // 2
            minutes = len(rtts) * piece / 60000.0
            fig["skipped_ms_per_min"] = max(0, posted_frames - pb["written_frames"]) / 16.0 / minutes
            fig["trims_per_min"] = pb["trims"] / minutes
            fig["trimmed_ms_per_min"] = pb["trimmed_ms"] / minutes
            fig["underruns_per_min"] = pb["underruns"] / minutes
            fig["downlink"] = downlink_figures(listen["chunks"], warmup=1.0)
            cpu = after["cpu"] - before["cpu"]
            fig["cpu_s_per_min"] = cpu / elapsed * 60
            fig["cpu_pct_core"] = cpu / elapsed * 100
            fig["rss_kib"] = after["rss"]
            fig["rss_hwm_kib"] = after["hwm"]
            fig["threads"] = after["threads"]
            out["call_%dms" % piece] = fig
    return out


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


def section_recovery(ctx, creds):
    out = {}
    # Capture stall: 2 s without data, then the backlog at once.
    period = 9.0
    first = 3.0
    with Service(ctx, ctx.work, creds) as svc:
        tok = svc.token()
        duration = first + period * ctx.repeats
        q_results = []

        def stalls():
            # Issued from this process while the listener runs in its own.
            for k in range(ctx.repeats):
                time.sleep(max(0, t_start + first + k * period - time.monotonic()))
                svc.sim.stall(2000, card=CARD)

        ctx_mp = mp.get_context("fork")
        q = ctx_mp.Queue()
        t_start = time.monotonic()
        p = ctx_mp.Process(target=listener, args=(svc.port, svc.cert, tok, duration, q), daemon=True)
        p.start()
        stalls()
        try:
            q_results.append(q.get(timeout=duration + 30))
        except Exception:
            q_results.append({"ok": False, "error": "listener gave no result"})
        p.join(timeout=5)
        if p.is_alive():
            p.kill()
        res = q_results[0]
        stall_evs = svc.sim.events(card=CARD, direction="capture", kind="stall")
        fig = {"stalls": len(stall_evs)}
        if not res["ok"]:
            fig["error"] = res["error"]
        else:
            chunks = [(t, g, n) for t, g, n in res["chunks"] if g is not None]
            back, settle, worst, gap = [], [], [], []
            unseen = 0
            for e in stall_evs:
                end = e.t / 1e9 + 2.0
                after = [(t, (t - capture_time(g + n - 1)) * 1000) for t, g, n in chunks
                         if e.t / 1e9 <= t <= end + 6.0]
                before = [t for t, _, _ in chunks if t < e.t / 1e9]
                gap_ms = ((min(t for t, _ in after) - max(before)) * 1000) if after and before else None
                if gap_ms is None or gap_ms < 1000:
                    # The client saw no silence: the stall did not take
                    # effect where it was logged; counted, not analysed.
                    unseen += 1
                    continue
                over = [t for t, lat in after if lat >= 250]
                last_over = max(over) if over else None
                ok_after = [t for t, lat in after if lat < 250 and (last_over is None or t > last_over)]
                back.append(((min(ok_after) if ok_after else end + 6) - end) * 1000)
                tail = [lat for t, lat in after if end + 2 <= t <= end + 6]
                settle.append(statistics.median(tail) if tail else None)
                worst.append(max(lat for _, lat in after))
                gap.append(gap_ms)
            fig["back_under_250ms_after_stall_end_ms"] = runs(back)
            fig["settle_latency_ms"] = runs(settle)
            fig["worst_latency_ms"] = runs(worst)
            fig["longest_silence_ms"] = runs(gap)
            fig["stalls_not_seen"] = unseen
        out["capture_stall"] = fig

    # Uplink pause: a 20 ms poster stops for 2 s, then sends its backlog.
    with Service(ctx, ctx.work, creds) as svc:
        tok = svc.token()
        pauses = [(first + k * period, 2.0) for k in range(ctx.repeats)]
        duration = first + period * ctx.repeats
        res = run_clients([(poster, (svc.port, svc.cert, tok, 20, duration, pauses))],
                          timeout=duration + 30)[0]
        fig = {}
        if not res["ok"]:
            fig["error"] = res["error"]
        else:
            pb = playback_figures(svc.sim)
            peaks, back, drain, trims, trimmed, skipped = [], [], [], [], [], []
            for p_start, p_len in pauses:
                resume = res["start"] + p_start + p_len
                window = [e for e in pb["writes"] if resume - 0.01 <= e.t / 1e9 <= resume + 3]
                if not window:
                    continue
                levels = [(e.t / 1e9, (e["queued"] + e["n"]) / 16.0) for e in window]
                peaks.append(max(lv for _, lv in levels))
                over = [t for t, lv in levels if lv > CEILING_MS]
                back.append(((max(over) - resume) * 1000) if over else 0.0)
                backlog = [r for r in res["records"] if p_start <= r[0] < p_start + p_len]
                if backlog:
                    drain.append((backlog[-1][1] + backlog[-1][2] - resume) * 1000)
                    got = playback_figures(svc.sim, int((resume - 0.01) * 1e9), int((resume + 3) * 1e9))
                    trims.append(got["trims"])
                    trimmed.append(got["trimmed_ms"])
                    posted = sum(1 for r in res["records"]
                                 if resume - 0.001 <= r[1] <= resume + 3) * 640 // 2
                    skipped.append(max(0, posted - got["written_frames"]) / 16.0)
            fig["card_queue_peak_ms"] = runs(peaks)
            fig["back_under_ceiling_ms"] = runs(back)
            fig["backlog_sent_in_ms"] = runs(drain)
            fig["trims_per_resume"] = runs(trims)
            fig["trimmed_ms_per_resume"] = runs(trimmed)
            fig["skipped_ms_per_resume"] = runs(skipped)
        out["uplink_pause"] = fig
    return out


WRK_SCRIPT = """
done = function(summary, latency, requests)
  local e = summary.errors
  io.write(string.format('WRKJSON {"requests":%d,"duration_us":%d,"p50_us":%d,"p99_us":%d,' ..
    '"max_us":%d,"connect":%d,"read":%d,"write":%d,"status":%d,"timeout":%d}\\n',
    summary.requests, summary.duration, latency:percentile(50), latency:percentile(99),
    latency.max, e.connect, e.read, e.write, e.status, e.timeout))
end
"""


def wrk(ctx, port, token, conns, seconds, close=False):
    url = "https://127.0.0.1:%d%s?token=%s" % (port, HEALTH, token)
    cmd = ["wrk", "-t", str(min(2, conns)), "-c", str(conns), "-d", "%ds" % seconds,
           "--timeout", "5s", "-s", ctx.wrk_script]
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
    sees them (the same client library that wrk uses)."""
    p = subprocess.run(["openssl", "s_client", "-connect", "127.0.0.1:%d" % port, "-brief",
                        "-CAfile", cafile], stdin=subprocess.DEVNULL, capture_output=True,
                       text=True, timeout=15)
    got = {}
    for line in (p.stdout + p.stderr).splitlines():
        k, _, v = line.partition(":")
        got[k.strip()] = v.strip()
    return {"protocol": got.get("Protocol version"), "suite": got.get("Ciphersuite"),
            "temp_key": got.get("Peer Temp Key") or got.get("Server Temp Key")}


CURVES = {"secp384r1": ("P-384", "secp384r1"), "secp521r1": ("P-521", "secp521r1"),
          "x25519": ("X25519", "x25519")}


def ceiling(ctx, keyfile, curve):
    p = subprocess.run([ctx.ceiling, keyfile, str(ctx.ceiling_s), curve], capture_output=True,
                       text=True, timeout=60)
    try:
        return json.loads(p.stdout)
    except ValueError:
        return {"error": p.stderr[-300:]}


def section_capacity(ctx, creds_by_kind):
    out = {}
    for kind, creds in creds_by_kind.items():
        fig = {"handshake_ceiling": ceiling(ctx, creds[1], "secp256r1")}
        with Service(ctx, ctx.work, creds) as svc, Nginx(ctx.work, creds) as ngx:
            tok = svc.token()
            fig["suite_service"] = negotiated(svc.port, svc.cert)
            fig["suite_nginx"] = negotiated(ngx.port, svc.cert)
            # The ceiling again with the ephemeral curve the service really
            # picks for an OpenSSL client, when that is not P-256.
            temp = fig["suite_service"].get("temp_key") or ""
            for name, labels in CURVES.items():
                if any(x in temp for x in labels):
                    fig["handshake_ceiling_negotiated"] = ceiling(ctx, creds[1], name)
            series = {}
            tests = [("keepalive_c8", 8, False), ("keepalive_c64", 64, False), ("newconn_c4", 4, True)]
            for _ in range(ctx.repeats):
                # Alternating the two servers spreads the machine's other
                # load over both sides of each ratio.
                for name, conns, close in tests:
                    for who, port in (("service", svc.port), ("nginx", ngx.port)):
                        series.setdefault((name, who), []).append(
                            wrk(ctx, port, tok, conns, ctx.wrk_s, close))
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
        out[kind] = fig
    return out


def hold_connections(port, cafile, token, total, conns):
    """Opens connections until `total` are held, each with one answered
    health request and kept alive. Returns how many it holds."""
    req = ("GET %s?token=%s HTTP/1.1\r\nHost: localhost\r\n\r\n" % (HEALTH, token)).encode()
    deadline = time.monotonic() + 15
    while len(conns) < total and time.monotonic() < deadline:
        c = Conn(port, cafile, timeout=10)
        c.sock.sendall(req)
        c.response()
        conns.append(c)
    return len(conns)


def section_footprint(ctx, creds):
    out = {}
    stripped = os.path.join(ctx.work, "call-audio.stripped")
    shutil.copy(ctx.binary, stripped)
    subprocess.run(["strip", "--strip-all", stripped], check=True)
    out["binary_bytes"] = os.path.getsize(ctx.binary)
    out["stripped_bytes"] = os.path.getsize(stripped)
    samples = {}
    for _ in range(ctx.repeats):
        with Service(ctx, ctx.work, creds) as svc:
            tok = svc.token()
            time.sleep(1.0)
            st = svc.stat()
            samples.setdefault(0, []).append(st)
            conns = []
            try:
                for n in (1, 100, 500):
                    held = hold_connections(svc.port, svc.cert, tok, n, conns)
                    time.sleep(0.5)
                    st = svc.stat()
                    st["held"] = held
                    samples.setdefault(n, []).append(st)
            finally:
                for c in conns:
                    c.close()
    for n, sts in samples.items():
        out["conns_%d" % n] = {"rss_kib": runs([s["rss"] for s in sts]),
                               "pss_kib": runs([s["pss"] for s in sts]),
                               "anon_kib": runs([s["anon"] for s in sts]),
                               "file_kib": runs([s["file"] for s in sts]),
                               "threads": runs([s["threads"] for s in sts]),
                               "held": runs([s.get("held", 0) for s in sts])}
    per = [(b["rss"] - a["rss"]) / max(1, b.get("held", 500) - 1)
           for a, b in zip(samples.get(1, []), samples.get(500, []))]
    per_anon = [(b["anon"] - a["anon"]) / max(1, b.get("held", 500) - 1)
                for a, b in zip(samples.get(1, []), samples.get(500, []))]
    out["per_connection_kib"] = runs(per)
    out["per_connection_anon_kib"] = runs(per_anon)
    with Nginx(ctx.work, creds) as ngx:
        time.sleep(0.5)
        out["nginx_idle_rss_kib"] = ngx.rss_kib()
    return out


# ---- the table -----------------------------------------------------------------------

def part(res, key, out, section, label):
    """What part `key` of a module's results gives the table: None when it
    did not run, or when it failed, after an error row in `out`."""
    d = res.get(key, {})
    if "error" in d:
        out.append((section, label, "error: " + d["error"], ""))
        return None
    return d or None


def f(v, nd=2):
    if v is None:
        return "-"
    if isinstance(v, float):
        return ("%%.%df" % nd) % v
    return str(v)


def row3(label, d, nd=2, unit=""):
    return (label, "%s / %s / %s%s" % (f(d.get("p50"), nd), f(d.get("p99"), nd), f(d.get("max"), nd), unit))


def rowr(label, d, nd=2, unit=""):
    return (label, "%s / %s / %s%s" % (f(d.get("min"), nd), f(d.get("median"), nd), f(d.get("max"), nd), unit))


def ratio(a, b):
    return None if not a or not b else a / b


def section_browser(ctx):
    """The browser client's timing figures per engine, from bench/browser_bench.mjs
    (the browser test's set-up), as finished rows."""
    env = dict(os.environ, CALLAUDIO_BUILD_DIR=ctx.build, CALLAUDIO_BIN=ctx.binary)
    cmd = ["node", os.path.join(HERE, "browser_bench.mjs"), "--json", "--seconds", "10" if ctx.quick else "30"]
    try:
        r = subprocess.run(cmd, env=env, capture_output=True, text=True, timeout=900)
        return json.loads(r.stdout.strip().splitlines()[-1])
    except (OSError, subprocess.SubprocessError, ValueError, IndexError) as e:
        return {"rows": [["browser", "error", str(e)[:200], ""]]}


def build_rows(res):
    """(section, figure, value, target) rows."""
    rows = []

    def add(section, label_value, target=""):
        rows.append((section, label_value[0], label_value[1], target))

    for key in ("call_20ms", "call_40ms"):
        c = res.get("call", {}).get(key)
        if not c:
            continue
        s = "call, %d ms posts + listener (%ss)" % (c["piece_ms"], c["seconds"])
        if "error" in c:
            add(s, ("error", c["error"]))
            continue
        add(s, row3("post round trip p50/p99/max", c["rtt_ms"], 2, " ms"), "p50 < 0.3 ms, p99 < 2 ms")
        add(s, ("posts (failed)", "%d (%d)" % (c["posts"], c["post_failures"])))
        add(s, row3("card-queue wait p50/p99/max", c["queue_wait_ms"], 1, " ms"), "p50 <= 60, max <= 100 ms")
        add(s, ("skipped / trimmed per min", "%s ms / %s ms (%s trims)" % (
            f(c["skipped_ms_per_min"], 0), f(c["trimmed_ms_per_min"], 0), f(c["trims_per_min"], 1))))
        add(s, ("card underruns per min", f(c["underruns_per_min"], 1)))
        d = c["downlink"]
        add(s, row3("capture-to-client latency p50/p99/max", d.get("latency_ms", {}), 1, " ms"), "p99 < 60 ms")
        add(s, row3("inter-arrival p50/p99/max", d.get("interarrival_ms", {}), 1, " ms"))
        add(s, row3("jitter |gap-20ms| p50/p99/max", d.get("jitter_ms", {}), 1, " ms"))
        add(s, ("measured rate (frame gaps)", "%s Hz (%s)" % (f(d.get("rate_hz"), 0), d.get("frame_gaps"))), "16000 Hz")
        add(s, ("service CPU per minute of call", "%s s (%s%% of one core)" % (
            f(c["cpu_s_per_min"], 2), f(c["cpu_pct_core"], 2))), "<= 0.6 s (1%)")
        add(s, ("service RSS (peak), threads", "%d KiB (%d KiB), %d" % (c["rss_kib"], c["rss_hwm_kib"], c["threads"])))

    r = res.get("recovery", {})
    if r:
        cs = r.get("capture_stall", {})
        s = "recovery: capture stall 2 s (x%s, %s without a silence at the client)" % (
            cs.get("stalls"), cs.get("stalls_not_seen"))
        if "error" in cs:
            add(s, ("error", cs["error"]))
        else:
            add(s, rowr("back under 250 ms after stall end min/med/max", cs["back_under_250ms_after_stall_end_ms"], 0, " ms"), "<= 1000 ms")
            add(s, rowr("settles at (median latency 2-6 s after)", cs["settle_latency_ms"], 1, " ms"), "< 60 ms")
            add(s, rowr("worst latency after stall", cs["worst_latency_ms"], 1, " ms"))
            add(s, rowr("longest silence at the client", cs["longest_silence_ms"], 0, " ms"))
        up = r.get("uplink_pause", {})
        s = "recovery: uplink pause 2 s, then backlog"
        if "error" in up:
            add(s, ("error", up["error"]))
        else:
            add(s, rowr("card queue peak min/med/max", up["card_queue_peak_ms"], 1, " ms"), "<= 100 ms")
            add(s, rowr("back under the 80 ms ceiling", up["back_under_ceiling_ms"], 0, " ms"))
            add(s, rowr("backlog (100 posts) sent in", up["backlog_sent_in_ms"], 0, " ms"))
            add(s, rowr("card-queue trims per resume", up["trims_per_resume"], 0))
            add(s, rowr("trimmed per resume", up["trimmed_ms_per_resume"], 0, " ms"))
            add(s, rowr("skipped ms per resume", up["skipped_ms_per_resume"], 0, " ms"))

    for kind, cap in res.get("capacity", {}).items():
        s = "front end, %s certificate" % kind
        ceil = cap["handshake_ceiling"].get("per_second")
        for who in ("service", "nginx"):
            n = cap["suite_" + who]
            add(s, ("TLS with an OpenSSL client: " + who, "%s %s, ephemeral %s" % (
                n.get("protocol"), n.get("suite"), n.get("temp_key"))))
        for name, label in (("keepalive_c8", "keep-alive health, 8 conns"),
                            ("keepalive_c64", "keep-alive health, 64 conns"),
                            ("newconn_c4", "new TLS connection per request, 4 conns (wrk resumes the service's tickets)")):
            sv, ng = cap[name]["service"], cap[name]["nginx"]
            add(s, rowr(label + ": req/s min/med/max", sv["rps"], 0),
                "" if name != "keepalive_c8" else ">= 0.8x nginx")
            add(s, ("  latency p50 / p99 (median run)", "%s / %s ms, errors %d" % (
                f(sv["p50_ms"]["median"], 3), f(sv["p99_ms"]["median"], 3), sv["errors"])))
            add(s, ("  nginx (1 worker): req/s med, p50/p99", "%s, %s / %s ms, errors %d" % (
                f(ng["rps"]["median"], 0), f(ng["p50_ms"]["median"], 3), f(ng["p99_ms"]["median"], 3), ng["errors"])))
            tgt = ">= 0.8" if name == "keepalive_c8" else ""
            add(s, ("  ratio service / nginx", f(ratio(sv["rps"]["median"], ng["rps"]["median"]), 2)), tgt)
            if name == "newconn_c4":
                # Full handshakes against the ceiling: the "new TLS
                # connections" section (tls_bench.py), whose clients choose.
                add(s, ("  ratio service / handshake ceiling", "%s (ceiling %s/s: ECDHE P-256 %s us + sign %s us)" % (
                    f(ratio(sv["rps"]["median"], ceil), 2), f(ceil, 0),
                    f(cap["handshake_ceiling"].get("ecdhe_us"), 0), f(cap["handshake_ceiling"].get("sign_us"), 0))))
                neg = cap.get("handshake_ceiling_negotiated")
                if neg and neg.get("per_second"):
                    add(s, ("  ratio service / ceiling with the curve it picks", "%s (%s: %s/s, ECDHE %s us + sign %s us)" % (
                        f(ratio(sv["rps"]["median"], neg["per_second"]), 2), neg.get("curve"),
                        f(neg["per_second"], 0), f(neg.get("ecdhe_us"), 0), f(neg.get("sign_us"), 0))))
        add(s, ("RSS after load: service | nginx", "%d KiB (%d threads) | %d KiB" % (
            cap["service_rss_kib_after"], cap["service_threads_after"], cap["nginx_rss_kib_after"])))

    for name, module in MODULE_SECTIONS.items():
        if name in res:
            rows.extend(__import__(module).rows(res[name]))

    fp = res.get("footprint")
    if fp:
        s = "footprint"
        i = fp["conns_0"]
        add(s, ("idle RSS (anon + file), PSS", "%s KiB (%s + %s), PSS %s KiB" % (
            f(i["rss_kib"]["median"], 0), f(i["anon_kib"]["median"], 0), f(i["file_kib"]["median"], 0),
            f(i["pss_kib"]["median"], 0))), "<= 2048 KiB")
        for n in (1, 100, 500):
            c = fp.get("conns_%d" % n)
            if c:
                add(s, ("%d idle keep-alive conns: RSS (anon), threads" % n, "%s KiB (%s), %s threads, %s held" % (
                    f(c["rss_kib"]["median"], 0), f(c["anon_kib"]["median"], 0), f(c["threads"]["median"], 0),
                    f(c["held"]["median"], 0))))
        add(s, rowr("per extra idle connection (RSS)", fp["per_connection_kib"], 1, " KiB"), "<= 64 KiB")
        add(s, rowr("per extra idle connection (anon)", fp["per_connection_anon_kib"], 1, " KiB"))
        add(s, ("binary size stripped (unstripped)", "%d B (%d B)" % (fp["stripped_bytes"], fp["binary_bytes"])), "<= 153600 B")
        add(s, ("nginx idle RSS (master + worker)", "%d KiB" % fp["nginx_idle_rss_kib"]))
    rows += [tuple(r) for r in res.get("browser", {}).get("rows", [])]
    if res.get("network"):
        import network_bench
        rows += network_bench.rows(res["network"])
    return rows


def render(res, rows):
    m = res["machine"]
    head = ["call-audio bench  %s  commit %s  mode %s%s" % (res["when"], res["commit"], res["mode"],
                                                          "  binary " + res["binary"] if res.get("binary") else ""),
            "machine: %s CPUs, %s, kernel %s; load before %s, after %s" % (
                m["nproc"], m["cpu"], m["kernel"], m["load_before"], m.get("load_after")),
            "p50 / p99 / max over samples of one run, or min / median / max over %d runs; targets are goals, not checks"
            % res["repeats"]]
    w1 = max(len(r[1]) for r in rows)
    w2 = max(len(r[2]) for r in rows)
    text, md = list(head), ["# call-audio bench", ""] + ["- " + h for h in head] + [""]
    md += ["| section | figure | value | target |", "|---|---|---|---|"]
    section = None
    for s, label, value, target in rows:
        if s != section:
            text.append("")
            text.append("== " + s)
            section = s
        text.append("  %-*s  %-*s  %s" % (w1, label, w2, value, ("target " + target) if target else ""))
        md.append("| %s | %s | %s | %s |" % (s, label, value.replace("|", "\\|"), target))
    return "\n".join(text) + "\n", "\n".join(md) + "\n"


def machine():
    cpu = "?"
    with open("/proc/cpuinfo") as fh:
        for line in fh:
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    return {"nproc": os.cpu_count(), "cpu": cpu, "kernel": platform.release(),
            "load_before": " ".join("%.2f" % x for x in os.getloadavg())}


def commit():
    try:
        rev = subprocess.run(["git", "-C", ROOT, "rev-parse", "--short", "HEAD"], capture_output=True,
                             text=True, timeout=10).stdout.strip()
        dirty = subprocess.run(["git", "-C", ROOT, "status", "--porcelain", "--untracked-files=no"],
                               capture_output=True, text=True, timeout=10).stdout.strip()
        return rev + ("-dirty" if dirty else "")
    except (OSError, subprocess.SubprocessError):
        return "unknown"


class Ctx:
    pass


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build-dir", required=True)
    ap.add_argument("--ceiling", required=True, help="the built handshake_ceiling program")
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--only", default="call,recovery,capacity,footprint,browser," + ",".join(MODULE_SECTIONS))
    ap.add_argument("--bin", help="the call-audio binary to measure (default: the build dir's)")
    ap.add_argument("--results", default=os.path.join(HERE, "results"))
    a = ap.parse_args()

    ctx = Ctx()
    ctx.build = os.path.abspath(a.build_dir)
    ctx.binary = os.path.abspath(a.bin) if a.bin else os.path.join(ctx.build, "service", "call-audio")
    ctx.ceiling = os.path.abspath(a.ceiling)
    ctx.quick = a.quick
    ctx.call_s = 10 if a.quick else 60
    ctx.repeats = 1 if a.quick else 3
    ctx.wrk_s = 2 if a.quick else 4
    ctx.ceiling_s = 1 if a.quick else 2
    ctx.cost_window_s = 10 if a.quick else 30
    ctx.work = tempfile.mkdtemp(prefix="callaudio-bench-")
    ctx.wrk_script = os.path.join(ctx.work, "report.lua")
    with open(ctx.wrk_script, "w") as fh:
        fh.write(WRK_SCRIPT)
    sections = a.only.split(",")

    res = {"when": datetime.datetime.now().strftime("%Y-%m-%d %H:%M:%S"), "commit": commit(),
           "mode": "quick" if a.quick else "full", "repeats": ctx.repeats, "machine": machine(),
           "binary": ctx.binary if a.bin else None}
    try:
        creds = {}
        for kind in ("ECDSA-P256", "RSA-2048"):
            d = os.path.join(ctx.work, kind)
            os.makedirs(d)
            creds[kind] = make_credentials(d, key="ec" if kind.startswith("EC") else "rsa")
        ec = creds["ECDSA-P256"]
        for name, label, run in (
                ("call", "call (%d s per piece size)" % ctx.call_s, lambda: section_call(ctx, ec)),
                ("recovery", "recovery", lambda: section_recovery(ctx, ec)),
                ("capacity", "front-end capacity", lambda: section_capacity(ctx, creds)),
                ("footprint", "footprint", lambda: section_footprint(ctx, ec)),
                ("browser", "browser client", lambda: section_browser(ctx))):
            if name in sections:
                print("bench: " + label, file=sys.stderr)
                res[name] = run()
        for name, module in MODULE_SECTIONS.items():
            if name in sections:
                print("bench: " + name, file=sys.stderr)
                res[name] = __import__(module).section(ctx, creds)
        if "network" in sections:
            import network_bench  # the call through impaired networks; runs long
            res["network"] = network_bench.section_network(ctx, ec)
    finally:
        res["machine"]["load_after"] = " ".join("%.2f" % x for x in os.getloadavg())
        shutil.rmtree(ctx.work, ignore_errors=True)

    rows = build_rows(res)
    text, md = render(res, rows)
    sys.stdout.write(text)
    os.makedirs(a.results, exist_ok=True)
    stamp = datetime.datetime.now().strftime("%Y%m%d-%H%M%S") + "-" + res["mode"]
    res["rows"] = rows
    for name in (stamp, "latest-" + res["mode"]):
        with open(os.path.join(a.results, name + ".json"), "w") as fh:
            json.dump(res, fh, indent=1, default=str)
        with open(os.path.join(a.results, name + ".md"), "w") as fh:
            fh.write(md)
    if res.get("network"):
        import network_bench
        for path in network_bench.write_plots(res["network"], a.results, stamp):
            print("bench: plot %s" % path, file=sys.stderr)
    print("bench: written %s/%s.{json,md}" % (a.results, stamp), file=sys.stderr)


if __name__ == "__main__":
    main()
