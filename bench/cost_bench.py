"""What one full-duplex call costs, in units a busy machine does not change:
system calls per second of call, by kind, and instructions per second of
call. Together with a router's cost per system call and its instructions
per second they give the call's share of the router's CPU without a router.

The call is the one of the call section: a 20 ms poster and a
listener on the simulated card. Both figures come from a window of fixed
length in the middle of the call, after the handshakes and the first
writes, so they are per second of a running call:

- system calls: `strace -f -yy` attached to every thread for the window;
  each call is sorted by what it touched, and the simulated card's own
  calls (its event log, recording, timer and inotify descriptors) are
  counted apart, since a real card answers with ioctls instead;
- instructions: the service runs under `valgrind --tool=callgrind`; the
  counters are zeroed at the start of the window and dumped at its end;
  the cost of every call into the simulated card's plugin and shim
  (inclusive) is taken off.
"""

import os
import re
import shutil
import signal
import subprocess
import time
import types

from common import EC, Service, client_env, f, listener, part, poster, run_clients

# The window opens this long after both directions have started (their
# log lines), so that the handshakes (tens of millions of instructions
# each, and seconds long under callgrind) and the first trims lie before it.
SETTLE_S = 2.0
START_WAIT_S = 60.0  # for both directions to start, under callgrind too
TAIL_S = 1.5    # the clients run on past the window so that it ends inside the call
# Each client's call length runs from its own handshake; the second
# handshake may end this much later than the first (under callgrind).
SLACK_S = 5.0
STARTED = ("downlink stream started", "uplink sink started")
# The simulated card's own objects: what they cost stands in for a card driver.
SIM_OBJECTS = ("libasound_module_pcm_callaudio_sim.so", "libsimcard_shim.so")
TLS_OBJECTS = ("libmbedtls.so", "libmbedx509.so", "libmbedcrypto.so")
DOWNLINK_FN = "downlink_stream"  # marks the thread that carries the stream


# ---- system calls ------------------------------------------------------------------

LINE = re.compile(r"^(\d+) +([a-z_0-9]+)\((.*)")
# The first descriptor argument as strace -yy prints it: 4<TCP:[...]>.
FIRST_FD = re.compile(r"^\[?\{?(?:fd=)?-?\d+<([^>]*)>")


def classify(name, args, sim_dir):
    """Sorts one system call: (group, label). Groups: network, card, log,
    other, sim (the simulated card's own)."""
    m = FIRST_FD.match(args)
    target = m.group(1) if m else ""
    if name in ("timerfd_settime", "timerfd_gettime", "inotify_add_watch", "inotify_rm_watch"):
        return "sim", name
    if "anon_inode:[timerfd]" in target or "anon_inode:inotify" in target:
        # poll on the plugin's descriptors is ALSA waiting for the card: a
        # real card is waited for the same way, on its own descriptor.
        return ("card", "wait " + name) if name in ("poll", "ppoll") else ("sim", name)
    if sim_dir and sim_dir in target:
        return "sim", name
    if name in ("newfstatat", "access", "faccessat", "faccessat2", "stat", "statx") and \
            sim_dir and sim_dir in args and "/cards/" in args:
        # The card presence check (access on /proc/asound/<id>), answered
        # from the simulated card's folder.
        return "card", "presence " + name
    if sim_dir and sim_dir in args:
        return "sim", name
    if target.startswith(("TCP", "UDP", "UNIX", "socket")):
        return "network", name
    if name in ("pselect6", "select", "poll", "ppoll", "epoll_wait", "accept", "accept4",
                "setsockopt", "getsockopt", "sendto", "recvfrom", "sendmsg", "recvmsg"):
        return "network", name
    if args.startswith("2<"):
        return "log", name  # standard error: the log lines
    return "other", name


def count_syscalls(trace_path, sim_dir):
    """{thread id: {(group, label): count}} from an `strace -f -yy` output
    file; a call split by another thread's line is counted once, where it
    began."""
    counts = {}
    with open(trace_path, errors="replace") as fh:
        for line in fh:
            m = LINE.match(line)
            if not m:
                continue  # "<... resumed>", signals, exits
            key = classify(m.group(2), m.group(3), sim_dir)
            per = counts.setdefault(int(m.group(1)), {})
            per[key] = per.get(key, 0) + 1
    return counts


def strace_window(pid, window_s, out_path):
    """Traces every thread of pid for window_s seconds; returns the
    window's start and end (monotonic) or raises."""
    p = subprocess.Popen(["strace", "-f", "-yy", "-qq", "-o", out_path, "-p", str(pid)],
                         stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    t0 = time.monotonic()
    try:
        # strace has attached once the trace file shows the first call.
        while time.monotonic() - t0 < 5 and not (os.path.exists(out_path) and os.path.getsize(out_path)):
            time.sleep(0.02)
        t_start = time.monotonic()
        time.sleep(window_s)
        t_end = time.monotonic()
    finally:
        os.kill(p.pid, signal.SIGINT)
        try:
            _, err = p.communicate(timeout=20)
        except subprocess.TimeoutExpired:
            os.kill(p.pid, signal.SIGKILL)
            _, err = p.communicate(timeout=10)
    if p.returncode not in (0, -signal.SIGINT, 130):
        raise RuntimeError("strace: " + err.decode(errors="replace")[-300:])
    return t_start, t_end


# ---- instructions ------------------------------------------------------------------

NAMED = re.compile(r"^\((\d+)\)(?: (.*))?$")


class Profile:
    """One thread's callgrind dump: the total, the self cost of each object,
    and per function (object, name) its self cost and what each of its
    calls cost, inclusive."""

    def __init__(self):
        self.total = None
        self.self_by_obj = {}
        self.fn_self = {}
        self.fn_calls = {}  # caller -> {callee: inclusive cost of those calls}

    def inclusive(self):
        """{function: (inclusive cost, the simulated card's share of it)}.
        A function's share is what its calls into the card's objects cost,
        and of each other call the share its callee has overall: exact for
        a callee with one caller, the usual case here."""
        memo = {}

        def visit(fn, stack):
            if fn in memo:
                return memo[fn]
            if fn in stack:
                return None  # a cycle: its calls count once, further up
            stack.add(fn)
            incl = self.fn_self.get(fn, 0)
            sim = incl if is_sim(fn[0]) else 0
            for callee, cost in self.fn_calls.get(fn, {}).items():
                incl += cost
                if is_sim(callee[0]):
                    sim += cost
                else:
                    sub = visit(callee, stack)
                    if sub and sub[0]:
                        sim += cost * min(1.0, sub[1] / sub[0])
            stack.discard(fn)
            memo[fn] = (incl, sim)
            return memo[fn]

        for fn in set(self.fn_self) | set(self.fn_calls):
            visit(fn, set())
        return memo

    def sim_inclusive(self):
        """What every call from outside the card's objects into them cost."""
        return sum(cost for caller, calls in self.fn_calls.items() if not is_sim(caller[0])
                   for callee, cost in calls.items() if is_sim(callee[0]))

    def has_function(self, text):
        return any(text in name for _, name in self.fn_self)


def is_sim(obj):
    return os.path.basename(obj) in SIM_OBJECTS


def parse_callgrind(path):
    """A Profile of one callgrind output file."""
    # Name compression: "ob=(id) name" the first time, "ob=(id)" afterwards.
    names = {"ob": {}, "fn": {}}

    def name(kind, text):
        m = NAMED.match(text.strip())
        if not m:
            return text.strip()
        if m.group(2) is not None:
            names[kind][m.group(1)] = m.group(2)
        return names[kind].get(m.group(1), "")

    prof = Profile()
    ob, fn = "", ("", "")
    cob = cfn = None
    in_call = False
    with open(path, errors="replace") as fh:
        for line in fh:
            if line.startswith("ob="):
                ob = name("ob", line[3:])
            elif line.startswith("fn="):
                fn = (ob, name("fn", line[3:]))
            elif line.startswith("cob="):
                cob = name("ob", line[4:])
            elif line.startswith("cfn="):
                cfn = name("fn", line[4:])
            elif line.startswith("calls="):
                in_call = True
            elif line.startswith("totals:") or line.startswith("summary:"):
                prof.total = int(line.split()[1])
            elif line[:1].isdigit() or line[:1] in "+-*":
                parts = line.split()
                cost = int(parts[1]) if len(parts) > 1 else 0
                if in_call:
                    # A call's object is given only when it differs from the caller's.
                    callee = (cob if cob is not None else ob, cfn)
                    calls = prof.fn_calls.setdefault(fn, {})
                    calls[callee] = calls.get(callee, 0) + cost
                    in_call = False
                    cob = cfn = None
                else:
                    prof.self_by_obj[ob] = prof.self_by_obj.get(ob, 0) + cost
                    prof.fn_self[fn] = prof.fn_self.get(fn, 0) + cost
    if prof.total is None:
        prof.total = sum(prof.self_by_obj.values())
    return prof


def short_name(fn):
    """A function's name without its namespace, parameters and symbol
    version; an unnamed one as object+offset."""
    obj, text = fn
    text = text.replace("(anonymous namespace)::", "")
    if text.startswith("0x"):
        return "%s+%s" % (os.path.basename(obj).split(".so")[0], text)
    return text.split("(")[0].split("@@")[0].split(" [clone")[0]


# The threads' own frames, which every one of their instructions passes
# through; they head no list.
ENTRY_FUNCTIONS = {"connection_thread", "downlink_stream", "reaper_thread", "main"}
WRAPPED = 0.9   # a callee taking this share of a listed function is shown with it
TOP_N = 8


def thread_kind(prof):
    """downlink (the thread that carries the stream), keeper, posts (the
    other connection threads) or main (the accept loop)."""
    if prof.has_function(DOWNLINK_FN):
        return "downlink"
    if prof.has_function("reaper_thread"):
        return "keeper"
    if prof.has_function("connection_thread"):
        return "posts"
    return "main"


def top_functions(profiles, per, own):
    """Where some threads' instructions go, in instructions per `per` (a
    post, a chunk or a second), the simulated card's share taken off:
    (inclusive, self). `inclusive` lists the service's own functions
    (object `own`) and the library functions they call directly, by
    inclusive cost; one that is almost all of a single callee's (a wrapper
    layer: tls_read -> mbedtls_ssl_read -> ... -> mbedtls_gcm_auth_decrypt)
    is shown once, as "outer>inner", with the deepest named function of
    the chain that only it calls. `self` lists the functions that execute
    the most instructions themselves, wherever they are."""
    incl, raw, calls, own_self = {}, {}, {}, {}
    for prof in profiles:
        # The service's share of what a function does: what it does when
        # called by the card's own code (the simulation formatting its log
        # lines, say) is the card's cost. A thread's root is all the
        # service's; any other function has the share of its callers,
        # weighed by what their calls cost.
        callers = {}
        for fn, cs in prof.fn_calls.items():
            for callee, cost in cs.items():
                callers.setdefault(callee, []).append((fn, cost))
        shares = {}

        def share(fn, stack=()):
            if is_sim(fn[0]):
                return 0.0
            if fn in shares:
                return shares[fn]
            ins = [(g, c) for g, c in callers.get(fn, []) if g not in stack and g != fn]
            total = sum(c for _, c in ins)
            v = sum(c * share(g, stack + (fn,)) for g, c in ins) / total if total else 1.0
            shares[fn] = v
            return v

        for fn, (i, sim) in prof.inclusive().items():
            if is_sim(fn[0]) or not i:
                continue
            incl[fn] = incl.get(fn, 0) + share(fn) * (i - sim)
            raw[fn] = raw.get(fn, 0) + share(fn) * i
        for fn, cs in prof.fn_calls.items():
            mine = calls.setdefault(fn, {})
            for callee, cost in cs.items():
                mine[callee] = mine.get(callee, 0) + cost
        for fn, c in prof.fn_self.items():
            if not is_sim(fn[0]):
                own_self[fn] = own_self.get(fn, 0) + share(fn) * c
    is_own = lambda fn: os.path.basename(fn[0]) == own  # noqa: E731
    boundary = {fn for fn in incl if is_own(fn)}
    boundary |= {callee for fn in list(boundary) for callee in calls.get(fn, {}) if not is_sim(callee[0])}
    absorbed, inclusive = set(), []
    for fn, cost in sorted(((fn, incl[fn]) for fn in boundary), key=lambda kv: -kv[1]):
        if len(inclusive) >= TOP_N or cost <= 0:
            break
        if fn in absorbed or short_name(fn) in ENTRY_FUNCTIONS:
            continue
        inner, at, seen = None, fn, {fn}
        while True:
            nxt = max(calls.get(at, {}).items(), key=lambda kv: kv[1], default=None)
            # Followed only into a callee reached (almost) through this
            # call alone, so a shared one keeps a line of its own.
            if not nxt or nxt[0] in seen or is_sim(nxt[0][0]) or \
                    incl.get(nxt[0], 0) < WRAPPED * incl.get(at, 0) or nxt[1] < WRAPPED * raw.get(nxt[0], 0):
                break
            at = nxt[0]
            seen.add(at)
            absorbed.add(at)
            if not at[1].startswith("0x"):
                inner = at
        label = short_name(fn) + (">" + short_name(inner) if inner else "")
        inclusive.append((label, cost / per))
    hot = sorted(own_self.items(), key=lambda kv: -kv[1])[:TOP_N]
    return inclusive, [(short_name(fn), c / per) for fn, c in hot]


def vg_control(args, pid):
    r = subprocess.run(["callgrind_control"] + args + [str(pid)], capture_output=True, text=True,
                       timeout=60)
    if r.returncode != 0:
        raise RuntimeError("callgrind_control %s: %s" % (" ".join(args), (r.stdout + r.stderr)[-300:]))


# ---- the call ------------------------------------------------------------------------

def call_with_window(svc, measure, window_s, env=None):
    """Runs a 20 ms poster and a listener (spawned with `env` when given:
    common.client_env); measure(window_s) runs once both directions are
    settled and returns (window start, window end) in monotonic time.
    Returns (the window's length, posts/s and chunks/s inside the window,
    and the suite each client negotiated) or raises."""
    tok = svc.token()
    call_s = SETTLE_S + window_s + TAIL_S + SLACK_S
    box = {}

    def window():
        deadline = time.monotonic() + START_WAIT_S
        while time.monotonic() < deadline and not all(m in svc.log_text() for m in STARTED):
            time.sleep(0.05)
        if not all(m in svc.log_text() for m in STARTED):
            box["error"] = "the call did not start within %g s" % START_WAIT_S
            return
        time.sleep(SETTLE_S)
        try:
            box["window"] = measure(window_s)
        except Exception as e:  # reported in the table
            box["error"] = repr(e)

    post, listen = run_clients(
        [(poster, (svc.port, svc.cert, tok, 20, call_s, [])),
         (listener, (svc.port, svc.cert, tok, call_s + 0.5))], timeout=call_s + START_WAIT_S + 60,
        during=window, env=env)
    if "error" in box:
        raise RuntimeError(box["error"])
    if not post["ok"] or not listen["ok"]:
        raise RuntimeError(post.get("error") or listen.get("error"))
    t0, t1 = box["window"]
    if not post["records"] or not listen["chunks"] or \
            post["records"][-1][1] < t1 or listen["chunks"][-1][0] < t1:
        raise RuntimeError("the call ended inside the window")
    posts = sum(1 for r in post["records"] if t0 <= r[1] + r[2] <= t1)
    chunks = [c for c in listen["chunks"] if t0 <= c[0] <= t1]
    frames = sum(c[2] for c in chunks)
    span = t1 - t0
    return span, {"posts": posts, "chunks": len(chunks), "posts_per_s": posts / span,
                  "chunks_per_s": len(chunks) / span, "downlink_audio_per_s": frames / 16000.0 / span,
                  "uplink_audio_per_s": posts * 0.02 / span,
                  "suite": post["suite"] if post["suite"] == listen["suite"] else
                  "%s (posts), %s (stream)" % (post["suite"], listen["suite"])}


def measure_syscalls(ctx, creds):
    with Service(ctx, ctx.work, creds) as svc:
        out_path = os.path.join(svc.dir, "strace.txt")
        span, call = call_with_window(svc, lambda w: strace_window(svc.proc.pid, w, out_path), ctx.cost_window_s)
        by_thread = count_syscalls(out_path, os.path.join(svc.dir, "sim"))
    counts, down, rest = {}, 0, 0
    for per in by_thread.values():
        mine = sum(v for (g, _), v in per.items() if g != "sim")
        # The thread that waits for the capture device carries the
        # downlink; the others the posts, the accept loop and the reaper.
        if any(g == "card" and label.startswith("wait") for g, label in per):
            down += mine
        else:
            rest += mine
        for k, v in per.items():
            counts[k] = counts.get(k, 0) + v
    per_s = {"%s %s" % k: v / span for k, v in sorted(counts.items())}
    groups = {}
    for (g, _), v in counts.items():
        groups[g] = groups.get(g, 0) + v / span
    service = sum(v for g, v in groups.items() if g != "sim")
    return {"window_s": round(span, 2), "call": call, "per_s": per_s, "groups_per_s": groups,
            "service_per_s": service, "sim_per_s": groups.get("sim", 0.0),
            "downlink_thread_per_s": down / span, "other_threads_per_s": rest / span,
            "per_chunk": down / call["chunks"] if call["chunks"] else None,
            "per_post": rest / call["posts"] if call["posts"] else None,
            "scaled_per_s": on_time(down, rest, span, call)}


def on_time(down, rest, span, call):
    """A count per second of call, scaled to the 50 chunks and 50 posts a
    second of a call on time: a busy machine makes the service late and it
    then sends fewer, longer chunks, so the scaled figure does not move with
    the load. down: counted on the thread that carries the downlink, rest:
    on the others (the posts, the accept loop, the reaper)."""
    if not call["chunks_per_s"] or not call["posts_per_s"]:
        return None
    return (down / span * 50 / call["chunks_per_s"]) + (rest / span * 50 / call["posts_per_s"])


def measure_instructions(ctx, creds, env=None):
    prefix = ["valgrind", "--tool=callgrind", "--vgdb=yes", "--separate-threads=yes",
              "--callgrind-out-file=" + os.path.join(ctx.work, "callgrind.out.%p")]
    # Under callgrind the service runs some 50 times slower: its start
    # (certificate and key parsing) takes seconds.
    with Service(ctx, ctx.work, creds, prefix=prefix, start_timeout=120) as svc:
        pid = svc.proc.pid

        def measure(window_s):
            vg_control(["-z"], pid)
            t0 = time.monotonic()
            time.sleep(window_s)
            t1 = time.monotonic()
            vg_control(["-d"], pid)
            return t0, t1

        span, call = call_with_window(svc, measure, ctx.cost_window_s, env)
        dumps = callgrind_dumps(ctx.work, pid)
    total = sim = tls = own = 0
    kinds = {}
    for path in dumps:
        prof = parse_callgrind(path)
        s = prof.sim_inclusive()
        total += prof.total
        sim += s
        tls += sum(v for o, v in prof.self_by_obj.items() if os.path.basename(o).startswith(TLS_OBJECTS))
        own += sum(v for o, v in prof.self_by_obj.items() if os.path.basename(o) == os.path.basename(ctx.binary))
        k = kinds.setdefault(thread_kind(prof), {"ir": 0, "profiles": []})
        k["ir"] += prof.total - s
        k["profiles"].append(prof)
        os.remove(path)
    service = total - sim
    down = kinds.get("downlink", {}).get("ir", 0)
    per = {"downlink": call["chunks"], "posts": call["posts"], "keeper": span, "main": span}
    return {"window_s": round(span, 2), "call": call, "ir_per_s": total / span,
            "sim_ir_per_s": sim / span, "service_ir_per_s": service / span,
            "tls_libs_ir_per_s": tls / span, "own_code_ir_per_s": own / span,
            "downlink_thread_ir_per_s": down / span,
            "threads_ir_per_s": {k: v["ir"] / span for k, v in kinds.items()},
            "per_chunk": down / call["chunks"] if call["chunks"] else None,
            "per_post": kinds.get("posts", {}).get("ir", 0) / call["posts"] if call["posts"] else None,
            "top": {k: top_functions(v["profiles"], per[k], os.path.basename(ctx.binary))
                    for k, v in kinds.items() if per.get(k)},
            "scaled_ir_per_s": on_time(down, service - down, span, call) if down else None}


def callgrind_dumps(work, pid):
    """The files of the dump of pid's counters, one per thread:
    callgrind.out.<pid>.1-<thread>."""
    stem = "callgrind.out.%d.1-" % pid
    dumps = []
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline and not dumps:
        time.sleep(0.2)
        dumps = [os.path.join(work, n) for n in os.listdir(work) if n.startswith(stem)]
    if not dumps:
        raise RuntimeError("no callgrind dump")
    time.sleep(0.5)  # every thread's file is written in the same dump
    return [os.path.join(work, n) for n in os.listdir(work) if n.startswith(stem)]


# The suites a client is made to offer alone, each measured apart: what a
# browser on a CPU with AES instructions and one without would negotiate,
# over TLS 1.2 and, where the service speaks it, TLS 1.3.
SUITES = (("AES-128-GCM", "TLSv1.2", "ECDHE-ECDSA-AES128-GCM-SHA256"),
          ("ChaCha20-Poly1305", "TLSv1.2", "ECDHE-ECDSA-CHACHA20-POLY1305"),
          ("AES-128-GCM", "TLSv1.3", "TLS_AES_128_GCM_SHA256"),
          ("ChaCha20-Poly1305", "TLSv1.3", "TLS_CHACHA20_POLY1305_SHA256"))
TARGET_IR = 3.5e6      # instructions per second of call, the suite the service prefers
TARGET_SYSCALLS = 250  # per second of call


def measure_binary(ctx, creds):
    """Both measurements of one binary: system calls, and instructions with
    a client that offers every suite (the service's choice) and then with
    one that offers each suite of SUITES alone. The suite the service chose
    is not measured twice; TLS 1.3 suites only where the service negotiated
    TLS 1.3 with the first client."""
    out = {"binary": ctx.binary}
    for key, tool in (("syscalls", "strace"), ("instructions", "valgrind")):
        if not shutil.which(tool):
            out[key] = {"error": "%s not installed" % tool}
    if "error" not in out.get("syscalls", {}):
        try:
            out["syscalls"] = measure_syscalls(ctx, creds)
        except Exception as e:  # one failed measurement leaves the other
            out["syscalls"] = {"error": repr(e)}
    if "error" in out.get("instructions", {}):
        return out
    try:
        out["instructions"] = measure_instructions(ctx, creds)
    except Exception as e:
        out["instructions"] = {"error": repr(e)}
        return out
    chosen = out["instructions"]["call"]["suite"]
    out["suites"] = {}
    for label, version, name in SUITES:
        key = "%s, %s" % (label, version.replace("v", " "))
        if chosen == "%s %s" % (version, name):
            out["suites"][key] = out["instructions"]
            continue
        if version == "TLSv1.3" and not chosen.startswith(version):
            continue
        try:
            out["suites"][key] = measure_instructions(ctx, creds, client_env(ctx.work, version, name))
        except Exception as e:
            out["suites"][key] = {"error": repr(e)}
    return out


def run(ctx, creds):
    """This binary, and the base binary as well when the bench was given one
    (--base), each on its own service, one after the other."""
    ec = creds[EC]
    out = {"this": measure_binary(ctx, ec)}
    if getattr(ctx, "base_binary", None):
        out["base"] = measure_binary(types.SimpleNamespace(**dict(vars(ctx), binary=ctx.base_binary)), ec)
    return out


def both(res, get, fmt):
    """One figure of this binary, preceded by the base's when measured."""
    def one(r):
        try:
            v = get(r)
        except (KeyError, TypeError):
            return "-"
        return fmt(v) if v is not None else "-"
    if "base" in res:
        return "%s -> %s" % (one(res["base"]), one(res["this"]))
    return one(res["this"])


def mega(v):
    return f(v / 1e6, 2) + " M"


def kilo(v):
    return f(v / 1e3, 1) + " k"


def rows(res):
    """(section, figure, value, target) rows for the table; with a base
    binary, each figure reads "base -> this"."""
    out = []
    s = "cost of a call (20 ms posts + listener), per second of call, machine-independent"
    if "base" in res:
        out.append((s, "binaries (base -> this)", "%s -> %s" % (res["base"]["binary"], res["this"]["binary"]), ""))
    sc = part(res["this"], "syscalls", out, s, "system calls")
    if sc:
        g = sc["groups_per_s"]
        out.append((s, "system calls/s (strace, %s s window)" % f(sc["window_s"], 1),
                    both(res, lambda r: r["syscalls"]["service_per_s"], lambda v: f(v, 0)) +
                    ": network %s, card %s, log %s, other %s" % (
                        f(g.get("network", 0.0), 0), f(g.get("card", 0.0), 0), f(g.get("log", 0.0), 0),
                        f(g.get("other", 0.0), 0)), "<= %d" % TARGET_SYSCALLS))
        kinds = sorted(((v, k) for k, v in sc["per_s"].items() if not k.startswith("sim ")), reverse=True)
        shown = ["%s %s" % (k.split(" ", 1)[1] if k.startswith(("network ", "other ")) else k, f(v, 0))
                 for v, k in kinds if v >= 0.5]
        rest = sum(v for v, _ in kinds if v < 0.5)
        out.append((s, "  scaled to 50 posts/s and 50 chunks/s", both(
            res, lambda r: r["syscalls"]["scaled_per_s"], lambda v: f(v, 0)), ""))
        out.append((s, "  per post (other threads), per chunk (downlink thread)", both(
            res, lambda r: (r["syscalls"]["per_post"], r["syscalls"]["per_chunk"]),
            lambda v: "%s, %s" % (f(v[0], 2), f(v[1], 2))), ""))
        out.append((s, "  by kind, per s", ", ".join(shown + ["rest %s" % f(rest, 1)]), ""))
        out.append((s, "  the simulated card's own (not counted)", "%s/s" % f(sc["sim_per_s"], 0), ""))
        c = sc["call"]
        out.append((s, "  call in the window: posts/s, chunks/s", "%s, %s" % (
            f(c["posts_per_s"], 1), f(c["chunks_per_s"], 1)), "50, 50"))
    ins = part(res["this"], "instructions", out, s, "instructions")
    if ins:
        out.append((s, "instructions/s (callgrind Ir, %s s window), client offering every suite" %
                    f(ins["window_s"], 1), both(res, lambda r: r["instructions"]["service_ir_per_s"], mega),
                    "<= %s M" % f(TARGET_IR / 1e6, 1)))
        out.append((s, "  negotiated", both(res, lambda r: r["instructions"]["call"]["suite"], str), ""))
        out.append((s, "  TLS libraries, own code, libc, libasound and the rest", both(
            res, lambda r: (r["instructions"]["tls_libs_ir_per_s"], r["instructions"]["own_code_ir_per_s"],
                            r["instructions"]["service_ir_per_s"] - r["instructions"]["tls_libs_ir_per_s"]
                            - r["instructions"]["own_code_ir_per_s"]),
            lambda v: ", ".join(mega(x) for x in v)), ""))
        out.append((s, "  per post (post threads), per chunk (downlink thread)", both(
            res, lambda r: (r["instructions"]["per_post"], r["instructions"]["per_chunk"]),
            lambda v: "%s, %s" % (kilo(v[0]), kilo(v[1]))), ""))
        out.append((s, "  by thread: downlink, posts, keeper, accept loop", both(
            res, lambda r: r["instructions"]["threads_ir_per_s"],
            lambda v: ", ".join(mega(v.get(k, 0)) for k in ("downlink", "posts", "keeper", "main"))), ""))
        out.append((s, "  scaled to 50 posts/s and 50 chunks/s", both(
            res, lambda r: r["instructions"]["scaled_ir_per_s"], mega), ""))
        for kind, unit in (("posts", "per post"), ("downlink", "per chunk"), ("keeper", "per s")):
            for key in ("base", "this") if "base" in res else ("this",):
                top = res[key].get("instructions", {}).get("top", {}).get(kind)
                for i, how in enumerate(("inclusive", "self")):
                    if top and top[i]:
                        out.append((s, "  top %s, %s thread%s, %s%s" % (
                            how, kind, "s" if kind == "posts" else "", unit,
                            " (%s)" % key if "base" in res else ""),
                            ", ".join("%s %s" % (n, kilo(v)) for n, v in top[i]), ""))
        out.append((s, "  the simulated card's plugin and shim (not counted)",
                    "%s M/s" % f(ins["sim_ir_per_s"] / 1e6, 2), ""))
        c = ins["call"]
        out.append((s, "  call in the window under callgrind: posts/s, chunks/s", "%s, %s" % (
            f(c["posts_per_s"], 1), f(c["chunks_per_s"], 1)), "50, 50"))
        for key in res["this"].get("suites", {}):
            out.append((s, "instructions/s, client offering %s alone" % key, both(
                res, lambda r: (r["suites"][key]["service_ir_per_s"], r["suites"][key]["per_post"],
                                r["suites"][key]["per_chunk"]),
                lambda v: "%s (%s a post, %s a chunk)" % (mega(v[0]), kilo(v[1]), kilo(v[2]))), ""))
    return out
