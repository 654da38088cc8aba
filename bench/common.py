"""What the bench's sections share; imports no section. Every load goes to
127.0.0.1 only; every loop is bounded in count and time; every server
started here is stopped by its own pid."""

import json
import multiprocessing as mp
import os
import re
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
from simcard import Sim, decode_frames  # noqa: E402

CARD = "RM500QGL"
HEALTH = "/api/v1/voice_call/audio/health"
STREAM = "/api/v1/voice_call/audio/stream"
TX = "/api/v1/voice_call/audio/tx"
HEALTH_BODY = '{"success":true,"card_present":true}'
BYTES_PER_MS = 32
BACK_UNDER_MS = 250  # downlink latency that counts as recovered after a stall
CLK_TCK = os.sysconf("SC_CLK_TCK")
KINDS = ("ECDSA-P256", "RSA-2048")  # the certificates the front end is measured with
EC = KINDS[0]                       # the one browsers meet, used by every call


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


def ratio(a, b):
    return None if not a or not b else a / b


# ---- the table's number formats ------------------------------------------------

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


def part(res, key, out, section, label):
    """What part `key` of a section's results gives the table: None when it
    did not run, or when it failed, after an error row in `out`."""
    d = res.get(key, {})
    if "error" in d:
        out.append((section, label, "error: " + d["error"], ""))
        return None
    return d or None


def render_rows(head, table):
    """A standalone bench's text: its header line, then the (section, figure,
    value, target) rows section by section."""
    text = [head]
    w1 = max(len(r[1]) for r in table) if table else 0
    section = None
    for s, label, value, target in table:
        if s != section:
            text += ["", "== " + s]
            section = s
        text.append("  %-*s  %s%s" % (w1, label, value, ("   target " + target) if target else ""))
    return "\n".join(text) + "\n"


def write_standalone(results, stamp, res, text):
    """Prints a standalone bench's text and writes it, with its results as
    JSON, to <results>/<stamp>.{txt,json}."""
    sys.stdout.write(text)
    os.makedirs(results, exist_ok=True)
    with open(os.path.join(results, stamp + ".json"), "w") as fh:
        json.dump(res, fh, indent=1)
    with open(os.path.join(results, stamp + ".txt"), "w") as fh:
        fh.write(text)
    print("bench: written %s/%s.{json,txt}" % (results, stamp), file=sys.stderr)


# ---- processes -----------------------------------------------------------------

def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def cpu_seconds(pid):
    """User plus system CPU time of pid, all its threads."""
    with open("/proc/%d/stat" % pid) as fh:
        fields = fh.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / CLK_TCK


def proc_stat(pid):
    """CPU seconds, and RSS, its anonymous and file parts, peak, PSS (KiB), threads."""
    cpu = cpu_seconds(pid)
    status = {}
    with open("/proc/%d/status" % pid) as fh:
        for line in fh:
            k, _, v = line.partition(":")
            status[k] = v.strip()
    kib = lambda k: int(status.get(k, "0 kB").split()[0])  # noqa: E731
    pss = 0
    try:
        # Shared library pages count whole in RSS; PSS divides them among
        # the processes that map them.
        with open("/proc/%d/smaps_rollup" % pid) as fh:
            for line in fh:
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


def credentials(work, kinds=KINDS):
    """{kind: (certificate, key, secret)}, made fresh below work."""
    creds = {}
    for kind in kinds:
        d = os.path.join(work, kind)
        os.makedirs(d)
        creds[kind] = make_credentials(d, key="ec" if kind.startswith("EC") else "rsa")
    return creds


def commit():
    try:
        rev = subprocess.run(["git", "-C", ROOT, "rev-parse", "--short", "HEAD"], capture_output=True,
                             text=True, timeout=10).stdout.strip()
        dirty = subprocess.run(["git", "-C", ROOT, "status", "--porcelain", "--untracked-files=no"],
                               capture_output=True, text=True, timeout=10).stdout.strip()
        return rev + ("-dirty" if dirty else "")
    except (OSError, subprocess.SubprocessError):
        return "unknown"


class Service:
    """The real call-audio binary on a fresh simulated card."""

    def __init__(self, ctx, workdir, creds, prefix=(), start_timeout=10, source=None, clock=None):
        """prefix: a command the binary runs under (strace, valgrind);
        source, clock: what the card captures (a looped raw file instead of
        its numbered frames) and its clock's speed (1.0: real time)."""
        self.ctx = ctx
        self.prefix = list(prefix)
        self.start_timeout = start_timeout
        self.dir = tempfile.mkdtemp(prefix="svc-", dir=workdir)
        self.sim = Sim.create(os.path.join(self.dir, "sim"), ctx.build, cards=[CARD], source=source, clock=clock)
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
        with open(self.log_path, "rb") as fh:
            return fh.read().decode("utf-8", "replace")

    def token(self):
        return mint(self.secret, ttl=3600)

    def stat(self):
        return proc_stat(self.proc.pid)


NGINX_CONF = """worker_processes 1;
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
"""


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
        with open(conf, "w") as fh:
            fh.write(NGINX_CONF % {"d": d, "temp": temp, "port": self.port, "cert": self.cert,
                                   "key": self.key, "health": HEALTH, "body": HEALTH_BODY})
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
                    with open("/proc/%s/stat" % pid) as fh:
                        ppid = int(fh.read().rsplit(")", 1)[1].split()[1])
                    if ppid == self.proc.pid:
                        total += proc_stat(int(pid))["rss"]
                except (OSError, ValueError, IndexError):
                    pass
        return total


# ---- what an OpenSSL client negotiates, and the handshake ceiling ----------------

# OpenSSL's names of a group, and handshake_ceiling's.
CEILING_GROUPS = [("X25519", "x25519"), ("prime256v1", "secp256r1"), ("P-256", "secp256r1"),
                  ("secp384r1", "secp384r1"), ("P-384", "secp384r1"), ("secp521r1", "secp521r1"),
                  ("P-521", "secp521r1")]


def ceiling_group(text):
    """handshake_ceiling's name of the group OpenSSL names in text, or None."""
    return next((c for n, c in CEILING_GROUPS if n in text), None)


def openssl_brief(port, cafile):
    """The (key, value) lines `openssl s_client -brief` prints for a
    connection: the same client library that wrk uses."""
    p = subprocess.run(["openssl", "s_client", "-connect", "127.0.0.1:%d" % port, "-brief",
                        "-CAfile", cafile], stdin=subprocess.DEVNULL, capture_output=True,
                       text=True, timeout=15)
    out = []
    for line in (p.stdout + p.stderr).splitlines():
        k, _, v = line.partition(":")
        out.append((k.strip(), v.strip()))
    return out


def ceiling(ctx, keyfile, curve):
    """handshake_ceiling's figures: ECDHE on curve plus a signature with
    keyfile, on one core."""
    p = subprocess.run([ctx.ceiling, keyfile, str(ctx.ceiling_s), curve], capture_output=True,
                       text=True, timeout=60)
    try:
        return json.loads(p.stdout)
    except ValueError:
        return {"error": p.stderr[-300:]}


# ---- the one suite a client offers -------------------------------------------------

# A client offers every suite unless SUITE_ENV names one, as
# "<version> <OpenSSL name>": "TLSv1.2 ECDHE-ECDSA-CHACHA20-POLY1305" or
# "TLSv1.3 TLS_CHACHA20_POLY1305_SHA256". Python sets the TLS 1.2 list
# itself, but has no call for the TLS 1.3 one: that comes from an OpenSSL
# configuration file named by OPENSSL_CONF, which OpenSSL reads once when
# the ssl module starts, so such clients run in freshly spawned processes
# (client_env and run_clients(env=...)).
SUITE_ENV = "CALLAUDIO_BENCH_SUITE"
OPENSSL_SUITE_CONF = """openssl_conf = conf
[conf]
ssl_conf = ssl
[ssl]
system_default = defaults
[defaults]
Ciphersuites = %s
"""


def restrict_suite(ctx):
    """Narrows an ssl client context to the suite SUITE_ENV names, if any."""
    spec = os.environ.get(SUITE_ENV)
    if not spec:
        return
    version, name = spec.split()
    if version == "TLSv1.2":
        ctx.maximum_version = ssl.TLSVersion.TLSv1_2
        ctx.set_ciphers(name)
    else:
        ctx.minimum_version = ssl.TLSVersion.TLSv1_3


def client_env(workdir, version, name):
    """The environment that makes spawned clients offer one suite only."""
    env = {SUITE_ENV: "%s %s" % (version, name)}
    if version == "TLSv1.3":
        path = os.path.join(workdir, "openssl-%s.cnf" % name)
        with open(path, "w") as fh:
            fh.write(OPENSSL_SUITE_CONF % name)
        env["OPENSSL_CONF"] = path
    return env


# ---- a TLS client that behaves like a browser's fetch ---------------------------

class Conn:
    def __init__(self, sock):
        """sock: a connected TLS socket."""
        self.sock = sock
        self.buf = b""
        self.t_last = 0.0  # monotonic time of the recv that brought the newest bytes

    @classmethod
    def open(cls, port, cafile, timeout=25):
        ctx = ssl.create_default_context(cafile=cafile)
        ctx.check_hostname = False
        restrict_suite(ctx)
        raw = socket.create_connection(("127.0.0.1", port), timeout=timeout)
        raw.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        return cls(ctx.wrap_socket(raw, server_hostname="localhost"))

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

    def get(self, path, token):
        self.sock.sendall(("GET %s?token=%s HTTP/1.1\r\nHost: localhost\r\n\r\n" % (path, token)).encode())

    def response(self):
        """(status line, body) of the next response."""
        got = self.try_response()
        while got is None:
            self.fill()
            got = self.try_response()
        return got

    def try_response(self):
        """(status line, body) of a response that is whole in the buffer,
        taken off it; None while none is."""
        end = self.buf.find(b"\r\n\r\n") + 4
        if end < 4:
            return None
        m = re.search(rb"(?i)\r\ncontent-length: *(\d+)", self.buf[:end])
        size = end + (int(m.group(1)) if m else 0)
        if len(self.buf) < size:
            return None
        out = self.buf[:self.buf.index(b"\r\n")].decode(), self.buf[end:size]
        self.buf = self.buf[size:]
        return out

    def chunk(self):
        """The stream's next chunk: (receipt time, global frame number of its
        first sample or None, sample count); None at the stream's end."""
        size = int(self.until(b"\r\n")[:-2], 16)
        if size == 0:
            return None
        data = self.exact(size)
        t = self.t_last
        self.exact(2)
        samples = struct.unpack("<%dh" % (size // 2), data)
        return t, decode_frames(samples), size // 2

    def suite(self):
        """The negotiated version and suite, as OpenSSL names them."""
        return "%s %s" % (self.sock.version(), self.sock.cipher()[0])

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
        conn = Conn.open(port, cafile)
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
        suite = conn.suite()
        conn.close()
        out.put({"ok": True, "start": start, "piece_ms": piece_ms, "bytes": len(body),
                 "records": records, "suite": suite})
    except Exception as e:  # reported, never raised across the process boundary
        out.put({"ok": False, "error": repr(e)})


def listener(port, cafile, token, duration, out):
    """Reads the stream for `duration` seconds; for each chunk: receipt time,
    global frame number of its first sample, frame count."""
    try:
        conn = Conn.open(port, cafile)
        conn.get(STREAM, token)
        head = conn.until(b"\r\n\r\n")
        if not head.startswith(b"HTTP/1.1 200"):
            raise RuntimeError(head.decode(errors="replace"))
        start = time.monotonic()
        chunks = []
        limit = int(duration * 50 * 3) + 100  # bounded even if chunks come faster
        while time.monotonic() - start < duration and len(chunks) < limit:
            c = conn.chunk()
            if c is None:
                break
            chunks.append(c)
        suite = conn.suite()
        conn.close()
        out.put({"ok": True, "start": start, "chunks": chunks, "suite": suite})
    except Exception as e:
        out.put({"ok": False, "error": repr(e)})


def run_clients(clients, timeout, during=None, env=None):
    """Starts each (function, args) in its own process and gathers the
    results in order; `during`, if given, runs here once all have started.
    Separate processes keep one client's Python work from delaying
    another's timing. With `env` (client_env), the clients are spawned
    afresh with those variables added, so that OpenSSL reads them."""
    ctx = mp.get_context("spawn" if env else "fork")
    procs = []
    saved = {k: os.environ.get(k) for k in env or {}}
    try:
        os.environ.update(env or {})
        for fn, args in clients:
            q = ctx.Queue()
            p = ctx.Process(target=fn, args=args + (q,), daemon=True)
            p.start()
            procs.append((p, q))
    finally:
        for k, v in saved.items():
            if v is None:
                os.environ.pop(k, None)
            else:
                os.environ[k] = v
    if during:
        during()
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
