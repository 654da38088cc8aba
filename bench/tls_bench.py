"""New TLS connections per second, with full handshakes and resumed from a
session ticket, against the handshake ceiling for the group the service
actually negotiates. The bench's "tls" section (--only tls).

Every connection sends one health request with "Connection: close" and
reads the answer to the server's close, as a browser's reconnect would (a
TLS 1.3 ticket arrives after the handshake). Clients are Python processes
on loopback. "One core" pins every thread of the service to CPU 0 and the
clients to the other CPUs; "two cores" leaves both unpinned, so there the
clients share the service's cores. Besides the wall-clock rate, each run
reports the service's own CPU time per connection, which the machine's
other load does not distort: its inverse is what one core of the service
could serve.
"""

import multiprocessing as mp
import os
import socket
import ssl
import time

from common import (CEILING_GROUPS, EC, HEALTH, Service, ceiling, ceiling_group, cpu_seconds, f, openssl_brief,
                    ratio, runs)

CLIENTS = 4  # connections in flight: enough to keep one service core busy


def pin_threads(pid, cpus):
    """Every thread the service has now; threads made later inherit the
    accepting thread's mask."""
    for tid in os.listdir("/proc/%d/task" % pid):
        try:
            os.sched_setaffinity(int(tid), cpus)
        except OSError:
            pass  # a thread that ended meanwhile


def client(port, cafile, token, resume, seconds, cpus, out):
    """Connects over and over for `seconds`; with `resume`, offers the
    session of the previous connection each time. Puts (connections,
    resumed, errors) on `out`."""
    if cpus:
        os.sched_setaffinity(0, cpus)
    ctx = ssl.create_default_context(cafile=cafile)
    ctx.check_hostname = False
    req = ("GET %s?token=%s HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n"
           % (HEALTH, token)).encode()
    session = None
    done = resumed = errors = 0
    end = time.monotonic() + seconds
    while time.monotonic() < end and errors < 1000:
        try:
            raw = socket.create_connection(("127.0.0.1", port), timeout=10)
            # As browsers do. Without it a resumed TLS 1.2 client's request
            # waits behind its own Finished for the server's delayed ACK
            # (the server speaks last in a full handshake, first in a
            # resumed one), some 40 ms a connection.
            raw.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            with ctx.wrap_socket(raw, server_hostname="localhost", session=session) as s:
                s.sendall(req)
                while s.recv(65536):
                    pass
                done += 1
                resumed += s.session_reused
                if resume:
                    session = s.session
        except (OSError, ssl.SSLError):
            errors += 1
    out.put((done, resumed, errors))


def load(svc, token, resume, seconds, service_cpus, client_cpus):
    if service_cpus:
        pin_threads(svc.proc.pid, service_cpus)
    else:
        pin_threads(svc.proc.pid, set(range(os.cpu_count())))
    out = mp.Queue()
    procs = [mp.Process(target=client, args=(svc.port, svc.cert, token, resume, seconds, client_cpus, out))
             for _ in range(CLIENTS)]
    cpu0 = cpu_seconds(svc.proc.pid)
    t0 = time.monotonic()
    for p in procs:
        p.start()
    results = [out.get(timeout=seconds + 60) for _ in procs]
    wall = time.monotonic() - t0
    cpu = cpu_seconds(svc.proc.pid) - cpu0
    for p in procs:
        p.join(timeout=10)
    done = sum(r[0] for r in results)
    return {"conns": done, "resumed": sum(r[1] for r in results), "errors": sum(r[2] for r in results),
            "per_s": done / wall, "cpu_us_per_conn": cpu / done * 1e6 if done else None,
            "per_cpu_s": done / cpu if cpu > 0 else None}


def negotiated(port, cafile):
    """Protocol and ephemeral group (handshake_ceiling's name where it has
    one) that an OpenSSL client gets."""
    proto = group = None
    for k, v in openssl_brief(port, cafile):
        if k == "Protocol version":
            proto = v
        elif k in ("Peer Temp Key", "Server Temp Key", "Negotiated TLS1.3 group"):
            # "X25519, 253 bits" or "ECDH, prime256v1, 256 bits"
            group = group or ceiling_group(v) or v
    return proto, group


def run(ctx, creds):
    """With the ECDSA P-256 certificate, the one browsers meet."""
    ec = creds[EC]
    fig = {}
    ncpu = os.cpu_count()
    one_core = ({0}, set(range(1, ncpu))) if ncpu > 1 else (None, None)
    with Service(ctx, ctx.work, ec) as svc:
        token = svc.token()
        proto, group = negotiated(svc.port, svc.cert)
        fig["protocol"], fig["group"] = proto, group
        curve = group if group in {c for _, c in CEILING_GROUPS} else "secp256r1"
        fig["ceiling"] = ceiling(ctx, ec[1], curve)
        for name, resume, cpus in (("full_1core", False, one_core), ("full_2core", False, (None, None)),
                                   ("resumed_1core", True, one_core), ("resumed_2core", True, (None, None))):
            fig[name] = [load(svc, token, resume, ctx.wrk_s, cpus[0], cpus[1]) for _ in range(ctx.repeats)]
    return fig


def _median(rs, key):
    return runs([r.get(key) for r in rs])["median"]


def rows(t):
    out = []
    s = "new TLS connections, ECDSA-P256 certificate (%d clients, health + close)" % CLIENTS
    ceil = t["ceiling"].get("per_second")
    out.append((s, "negotiated with an OpenSSL client", "%s, %s" % (t.get("protocol"), t.get("group")), ""))
    out.append((s, "handshake ceiling, one core", "%s/s (%s: ECDHE %s us + sign %s us)" % (
        f(ceil, 0), t["ceiling"].get("curve"), f(t["ceiling"].get("ecdhe_us"), 0),
        f(t["ceiling"].get("sign_us"), 0)), ""))
    full = _median(t["full_1core"], "per_s")
    full_cpu = _median(t["full_1core"], "per_cpu_s")
    for name, label in (("full_1core", "full handshakes, one core"), ("full_2core", "full handshakes, two cores"),
                        ("resumed_1core", "resumed, one core"), ("resumed_2core", "resumed, two cores")):
        rs = t[name]
        rate = _median(rs, "per_s")
        per_cpu = _median(rs, "per_cpu_s")
        if name == "full_1core":
            target = ">= 0.90 of the ceiling"
            note = "%s of the ceiling; per CPU-s %s of it" % (f(ratio(rate, ceil), 2), f(ratio(per_cpu, ceil), 2))
        elif name == "full_2core":
            target = ""
            note = "%s of twice the ceiling" % f(ratio(rate, 2 * ceil if ceil else None), 2)
        else:
            target = ">= 5x full" if name == "resumed_1core" else ""
            note = "%sx full; per CPU-s %sx" % (f(ratio(rate, full), 1), f(ratio(per_cpu, full_cpu), 1))
        out.append((s, label + ": conn/s med", "%s (%s); per service CPU-s %s, %s us/conn; resumed %d of %d, errors %d" % (
            f(rate, 0), note, f(per_cpu, 0), f(_median(rs, "cpu_us_per_conn"), 0),
            sum(r["resumed"] for r in rs), sum(r["conns"] for r in rs), sum(r["errors"] for r in rs)),
            target))
    return out
