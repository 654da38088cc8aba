"""How the service fares beside peers that stall, trickle or crowd:

- handshake: a normal client's connect-and-handshake time, alone and beside
  10 silent TCP clients and 10 that trickle their ClientHello one byte
  every 2 s;
- pause: a listener with a 4 KiB receive buffer reads 3 s, pauses 5 s,
  then reads on; how old the first frame after the pause is, how much
  audio captured before the resume it still gets, how long until it is
  live again (the card numbers its frames, so age is exact);
- crowd: 1,000 hostile connections (idle after their handshake, trickling,
  silent TCP); the service's memory, threads and descriptors, and a user's
  health round trip (new connection, handshake, request, answer).

Every wait is capped and a capped wait is reported as such ("> N s"), so
that a service which never answers ends the section in bounded time.
"""

import concurrent.futures
import functools
import os
import resource
import selectors
import socket
import ssl
import threading
import time

from common import EC, HEALTH, STREAM, Conn, Service, f, part, spread
from simcard import capture_time

TRICKLE_S = 2.0       # one byte of ClientHello per trickling client this often
HANDSHAKE_CAP_S = 5.0  # a normal handshake that takes longer counts as timed out
GIVE_UP_AFTER = 3     # consecutive timed-out handshakes end the series
USER_CAP_S = 10.0     # a user's health round trip in the crowd
PAUSE_S = 5.0
PAUSE_RCVBUF = 4096
CROWD = {"idle_tls": 300, "trickle": 300, "silent": 400}
# For the TCP connects of a crowd to complete. Connections idle after their
# handshake are closed by the read time-out after 20 s: the whole crowd must
# be up well within that.
CONNECT_WAIT_S = 4.0
OPEN_TLS_BUDGET_S = 30.0
OPENERS = 4  # handshakes of the crowd in flight at once


@functools.cache
def client_context():
    """One client context for the whole run, without a CA store: made per
    connection, loading the system's CAs took longer than the handshake."""
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    ctx.check_hostname = False
    ctx.verify_mode = ssl.CERT_NONE
    return ctx


def client_hello():
    """The bytes of a real ClientHello, for clients that trickle it."""
    inc, out = ssl.MemoryBIO(), ssl.MemoryBIO()
    obj = client_context().wrap_bio(inc, out, server_hostname="localhost")
    try:
        obj.do_handshake()
    except ssl.SSLWantReadError:
        pass
    return out.read()


def open_tcp(port, n, wait_s):
    """Starts n connects at once; returns the sockets connected within
    wait_s (the rest are closed) and how many did not connect."""
    sel = selectors.DefaultSelector()
    pending = []
    for _ in range(n):
        s = socket.socket()
        s.setblocking(False)
        s.connect_ex(("127.0.0.1", port))
        sel.register(s, selectors.EVENT_WRITE)
        pending.append(s)
    done = []
    deadline = time.monotonic() + wait_s
    left = len(pending)
    while left and time.monotonic() < deadline:
        for key, _ in sel.select(timeout=max(0.0, deadline - time.monotonic())):
            s = key.fileobj
            sel.unregister(s)
            left -= 1
            if s.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR) == 0:
                done.append(s)
            else:
                s.close()
    for s in pending:
        if s not in done and s.fileno() >= 0:
            try:
                sel.unregister(s)
            except (KeyError, ValueError):
                pass
            s.close()
    sel.close()
    return done, n - len(done)


class Trickler:
    """Sends the next byte of a ClientHello to each of its sockets every
    TRICKLE_S seconds until stopped (or the hello is all sent)."""

    def __init__(self, socks, hello):
        self.socks = list(socks)
        self.hello = hello
        self.stop_ev = threading.Event()
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        for i in range(len(self.hello)):
            for s in list(self.socks):
                try:
                    s.send(self.hello[i:i + 1])
                except OSError:
                    self.socks.remove(s)
            if self.stop_ev.wait(TRICKLE_S):
                return

    def stop(self):
        self.stop_ev.set()
        self.thread.join(timeout=5)


def tcp(port, timeout):
    """A connected TCP socket; Nagle off, as a browser does (a handshake
    flight held back by Nagle waits for the peer's delayed ACK)."""
    raw = socket.create_connection(("127.0.0.1", port), timeout=timeout)
    raw.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return raw


def tls_by(port, t0, cap):
    """A TLS connection, connected and handshaken by t0 + cap (raises
    otherwise)."""
    raw = tcp(port, cap)
    raw.settimeout(max(0.01, cap - (time.monotonic() - t0)))
    return client_context().wrap_socket(raw, server_hostname="localhost")


def handshake_s(port, cap):
    """Seconds from connect to a finished TLS handshake, or None when it
    took longer than cap."""
    t0 = time.monotonic()
    try:
        tls = tls_by(port, t0, cap)
        t = time.monotonic() - t0
        tls.close()
        return t
    except (OSError, ssl.SSLError):
        return None


def handshake_series(port, count):
    """count handshakes one after the other; stops after GIVE_UP_AFTER
    consecutive time-outs. Timed-out ones count as infinitely slow."""
    times, late = [], 0
    streak = 0
    for _ in range(count):
        t = handshake_s(port, HANDSHAKE_CAP_S)
        if t is None:
            late += 1
            streak += 1
            if streak >= GIVE_UP_AFTER:
                break
        else:
            streak = 0
            times.append(t * 1000)
    ms = times + [float("inf")] * late
    return {"tried": len(ms), "timed_out": late, **spread(ms)}


def section_handshake(ctx, creds):
    count = 20 if ctx.quick else 100
    with Service(ctx, ctx.work, creds) as svc:
        handshake_s(svc.port, HANDSHAKE_CAP_S)  # builds the key's curve tables
        alone = handshake_series(svc.port, count)
        silent, s_fail = open_tcp(svc.port, 10, CONNECT_WAIT_S)
        trick, t_fail = open_tcp(svc.port, 10, CONNECT_WAIT_S)
        tr = Trickler(trick, client_hello())
        try:
            time.sleep(0.5)
            beside = handshake_series(svc.port, count)
        finally:
            tr.stop()
            for s in silent + trick:
                s.close()
    return {"alone_ms": alone, "beside_ms": beside, "hostile_not_connected": s_fail + t_fail}


def section_pause(ctx, creds):
    with Service(ctx, ctx.work, creds) as svc:
        raw = socket.socket()
        raw.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, PAUSE_RCVBUF)
        raw.settimeout(25)
        raw.connect(("127.0.0.1", svc.port))
        raw.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        conn = Conn(client_context().wrap_socket(raw, server_hostname="localhost"))
        try:
            conn.get(STREAM, svc.token())
            head = conn.until(b"\r\n\r\n")
            if not head.startswith(b"HTTP/1.1 200"):
                return {"error": head.split(b"\r\n")[0].decode(errors="replace")}

            def chunk():
                c = conn.chunk()
                if c is None:
                    raise EOFError("stream ended")
                return c

            t_start = time.monotonic()
            while time.monotonic() - t_start < 3.0:
                chunk()
            time.sleep(PAUSE_S)
            t_resume = time.monotonic()
            after = []
            # At most 8 s or 1,000 chunks; ends 1 s after the stream is live.
            live_at = None
            while time.monotonic() - t_resume < 8.0 and len(after) < 1000:
                c = chunk()
                after.append(c)
                if c[1] is not None and live_at is None and \
                        c[0] - capture_time(c[1] + c[2] - 1) < 0.1:
                    live_at = c[0]
                if live_at is not None and c[0] - live_at > 1.0:
                    break
        except (OSError, ssl.SSLError, EOFError, ValueError) as e:
            return {"error": repr(e)}
        finally:
            conn.close()
    known = [c for c in after if c[1] is not None]
    if not known:
        return {"error": "no numbered frames after the pause"}
    t0, g0, _ = known[0]
    old = sum(n for t, g, n in known if capture_time(g + n - 1) < t_resume)
    return {"first_frame_age_s": t0 - capture_time(g0),
            "old_audio_s": old / 16000.0,
            "live_after_s": (live_at - t_resume) if live_at is not None else None,
            "chunks_after": len(after)}


def open_tls(port, n, budget_s):
    """n TLS connections that handshake and then stay silent, OPENERS at a
    time; a handshake not begun within budget_s is not tried."""
    deadline = time.monotonic() + budget_s
    ctx = client_context()

    def one(_):
        left = deadline - time.monotonic()
        if left <= 0:
            return None
        try:
            raw = tcp(port, min(HANDSHAKE_CAP_S, left))
            return ctx.wrap_socket(raw, server_hostname="localhost")
        except (OSError, ssl.SSLError):
            return None

    with concurrent.futures.ThreadPoolExecutor(OPENERS) as pool:
        got = list(pool.map(one, range(n)))
    conns = [c for c in got if c is not None]
    return conns, n - len(conns)


def still_open(socks):
    """How many of socks the service has not closed: the connection is
    still ESTABLISHED (no FIN from the service yet)."""
    n = 0
    for s in socks:
        try:
            info = s.getsockopt(socket.IPPROTO_TCP, socket.TCP_INFO, 8)
            n += info[0] == 1  # TCP_ESTABLISHED
        except OSError:
            pass
    return n


def user_health(port, cafile, token):
    """A user's health round trip: connect, handshake, GET, answer."""
    t0 = time.monotonic()
    try:
        conn = Conn(tls_by(port, t0, USER_CAP_S))
        try:
            conn.get(HEALTH, token)
            status, _ = conn.response()
        finally:
            conn.close()
        return (time.monotonic() - t0) * 1000 if status.startswith("HTTP/1.1 200") else None
    except (OSError, ssl.SSLError, EOFError, ValueError):
        return None


def fd_count(pid):
    try:
        return len(os.listdir("/proc/%d/fd" % pid))
    except OSError:
        return None


def nofile_limit(pid):
    try:
        with open("/proc/%d/limits" % pid) as fh:
            for line in fh:
                if line.startswith("Max open files"):
                    return int(line.split()[3])
    except (OSError, ValueError, IndexError):
        pass
    return None


def section_crowd(ctx, creds):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    need = sum(CROWD.values()) + 256
    out = {"crowd": dict(CROWD)}
    with Service(ctx, ctx.work, creds) as svc:
        # Raised only now, so that the service keeps the limit it was given.
        if soft < need:
            resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, need) if hard != resource.RLIM_INFINITY
                                                        else need, hard))
        out["service_nofile"] = nofile_limit(svc.proc.pid)
        tls, trick, silent, tr = [], [], [], None
        try:
            before = svc.stat()
            out["before"] = {"rss_kib": before["rss"], "threads": before["threads"],
                             "fds": fd_count(svc.proc.pid)}
            # The first handshake after start builds the key's curve tables;
            # the reference is the second.
            user_health(svc.port, svc.cert, svc.token())
            out["user_alone_ms"] = user_health(svc.port, svc.cert, svc.token())
            t0 = time.monotonic()
            tls, tls_failed = open_tls(svc.port, CROWD["idle_tls"], OPEN_TLS_BUDGET_S)
            t_tls = time.monotonic()
            trick, trick_failed = open_tcp(svc.port, CROWD["trickle"], CONNECT_WAIT_S)
            tr = Trickler(trick, client_hello())
            silent, silent_failed = open_tcp(svc.port, CROWD["silent"], CONNECT_WAIT_S)
            out["opened_in_s"] = time.monotonic() - t0
            out["tls_opened_in_s"] = t_tls - t0
            out["failed"] = {"idle_tls": tls_failed, "trickle": trick_failed, "silent": silent_failed}
            time.sleep(1.0)
            st = svc.stat()
            out["during"] = {"rss_kib": st["rss"], "hwm_kib": st["hwm"], "threads": st["threads"],
                             "fds": fd_count(svc.proc.pid)}
            out["still_open"] = {"idle_tls": still_open(tls), "trickle": still_open(trick),
                                 "silent": still_open(silent)}
            users = []
            for _ in range(3):
                ms = user_health(svc.port, svc.cert, svc.token())
                users.append(ms)
                if ms is None:
                    break  # capped; a second try would wait as long
            out["user_ms"] = users
            out["after_hwm_kib"] = svc.stat()["hwm"]
        finally:
            if tr:
                tr.stop()
            for s in tls + trick + silent:
                try:
                    s.close()
                except OSError:
                    pass
            resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))
    return out


def run(ctx, creds):
    ec = creds[EC]
    out = {}
    for key, fn in (("handshake", section_handshake), ("pause", section_pause), ("crowd", section_crowd)):
        try:
            out[key] = fn(ctx, ec)
        except Exception as e:  # one failed part leaves the others
            out[key] = {"error": repr(e)}
    return out


def ms(v, nd=1, cap=None):
    if v is None:
        return "> %g s (capped)" % cap if cap else "-"
    if v == float("inf"):
        return "> %g s" % HANDSHAKE_CAP_S
    return ("%%.%df ms" % nd) % v


def rows(res):
    out = []
    s = "peers that stall, trickle or crowd"
    h = part(res, "handshake", out, s, "handshake")
    if h:
        for key, label in (("alone_ms", "normal handshake alone p50/p99/max"),
                           ("beside_ms", "beside 10 silent + 10 trickling p50/p99/max")):
            d = h[key]
            out.append((s, label, "%s / %s / %s (%d tried, %d over %g s)" % (
                ms(d["p50"], 2), ms(d["p99"], 2), ms(d["max"], 2), d["tried"], d["timed_out"],
                HANDSHAKE_CAP_S), "" if key == "alone_ms" else "p99 as alone"))
    p = part(res, "pause", out, s, "listener pause")
    if p:
        out.append((s, "after a 5 s pause (4 KiB rcvbuf): first frame's age",
                    "%s s" % f(p["first_frame_age_s"], 2), "as old as the pause"))
        out.append((s, "  audio from before the resume still received (the backlog)",
                    "%s s" % f(p["old_audio_s"], 2), "<= about 0.5 s"))
        out.append((s, "  live (latency < 100 ms) again after", "%s s" % f(p["live_after_s"], 2), ""))
    c = part(res, "crowd", out, s, "crowd")
    if c:
        cr = c["crowd"]
        label = "%d hostile conns (%d idle TLS, %d trickling, %d silent)" % (
            sum(cr.values()), cr["idle_tls"], cr["trickle"], cr["silent"])
        nc = c.get("failed", {})
        out.append((s, label + ": not connected", "idle TLS %s, trickling %s, silent %s (service NOFILE %s)" % (
            nc.get("idle_tls"), nc.get("trickle"), nc.get("silent"), c.get("service_nofile")), ""))
        out.append((s, "  crowd opened in (its TLS part in)", "%s s (%s s)" % (
            f(c.get("opened_in_s"), 1), f(c.get("tls_opened_in_s"), 1)), ""))
        so = c.get("still_open", {})
        out.append((s, "  still open when measured", "idle TLS %s, trickling %s, silent %s" % (
            so.get("idle_tls"), so.get("trickle"), so.get("silent")), ""))
        d, b = c["during"], c["before"]
        out.append((s, "  service RSS (peak), threads, fds", "%d KiB (%d KiB), %d, %s (idle: %d KiB, %d, %s)" % (
            d["rss_kib"], max(c["after_hwm_kib"], d["hwm_kib"]), d["threads"], d["fds"], b["rss_kib"], b["threads"], b["fds"]),
            "< 64 MiB"))
        out.append((s, "  a user's health round trip", "%s (alone: %s)" % (
            ", ".join(ms(u, 1, USER_CAP_S) for u in c["user_ms"]), ms(c["user_alone_ms"], 1, USER_CAP_S)),
            "<= 3 s"))
    return out
