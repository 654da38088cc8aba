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

from common import EC, Service, f, listener, part, poster, run_clients

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


def parse_callgrind(path):
    """Totals of a callgrind output file: (total Ir, {object: self Ir},
    Ir of every call from outside SIM_OBJECTS into them, inclusive)."""
    # Name compression: "ob=(id) name" the first time, "ob=(id)" afterwards.
    obj_names = {}

    def name(text):
        m = NAMED.match(text.strip())
        if m and m.group(2) is not None:
            obj_names[m.group(1)] = m.group(2)
        return obj_names.get(m.group(1), "") if m else text.strip()

    ob = ""
    cob = None
    in_call = False
    total = None
    self_by_obj = {}
    sim_inclusive = 0
    is_sim = lambda o: os.path.basename(o) in SIM_OBJECTS  # noqa: E731
    with open(path, errors="replace") as fh:
        for line in fh:
            if line.startswith("ob="):
                ob = name(line[3:])
            elif line.startswith("cob="):
                cob = name(line[4:])
            elif line.startswith("calls="):
                in_call = True
            elif line.startswith("totals:") or line.startswith("summary:"):
                total = int(line.split()[1])
            elif line[:1].isdigit() or line[:1] in "+-*":
                parts = line.split()
                cost = int(parts[1]) if len(parts) > 1 else 0
                if in_call:
                    callee = cob if cob is not None else ob
                    if is_sim(callee) and not is_sim(ob):
                        sim_inclusive += cost
                    in_call = False
                    cob = None
                else:
                    self_by_obj[ob] = self_by_obj.get(ob, 0) + cost
    if total is None:
        total = sum(self_by_obj.values())
    return total, self_by_obj, sim_inclusive


def vg_control(args, pid):
    r = subprocess.run(["callgrind_control"] + args + [str(pid)], capture_output=True, text=True,
                       timeout=60)
    if r.returncode != 0:
        raise RuntimeError("callgrind_control %s: %s" % (" ".join(args), (r.stdout + r.stderr)[-300:]))


# ---- the call ------------------------------------------------------------------------

def call_with_window(svc, measure, window_s):
    """Runs a 20 ms poster and a listener; measure(window_s) runs once both
    directions are settled and returns (window start, window end) in
    monotonic time. Returns (the window's length, posts/s and chunks/s
    inside the window) or raises."""
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
        during=window)
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
    return span, {"posts_per_s": posts / span, "chunks_per_s": len(chunks) / span,
                  "downlink_audio_per_s": frames / 16000.0 / span,
                  "uplink_audio_per_s": posts * 0.02 / span}


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


def measure_instructions(ctx, creds):
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

        span, call = call_with_window(svc, measure, ctx.cost_window_s)
        dumps = callgrind_dumps(ctx.work, pid)
    total = sim = tls = own = down = 0
    for path in dumps:
        t, by_obj, s = parse_callgrind(path)
        total += t
        sim += s
        tls += sum(v for o, v in by_obj.items() if os.path.basename(o).startswith(TLS_OBJECTS))
        own += sum(v for o, v in by_obj.items() if os.path.basename(o) == os.path.basename(ctx.binary))
        with open(path, errors="replace") as fh:
            if any(DOWNLINK_FN in line for line in fh if line.startswith(("fn=", "cfn="))):
                down += t - s
    service = total - sim
    return {"window_s": round(span, 2), "call": call, "ir_per_s": total / span,
            "sim_ir_per_s": sim / span, "service_ir_per_s": service / span,
            "tls_libs_ir_per_s": tls / span, "own_code_ir_per_s": own / span,
            "downlink_thread_ir_per_s": down / span,
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


def run(ctx, creds):
    ec = creds[EC]
    out = {"binary": ctx.binary}
    for key, fn, tool in (("syscalls", measure_syscalls, "strace"),
                          ("instructions", measure_instructions, "valgrind")):
        if not shutil.which(tool):
            out[key] = {"error": "%s not installed" % tool}
            continue
        try:
            out[key] = fn(ctx, ec)
        except Exception as e:  # one failed measurement leaves the other
            out[key] = {"error": repr(e)}
    return out


def rows(res):
    """(section, figure, value, target) rows for the table."""
    out = []
    s = "cost of a call (20 ms posts + listener), per second of call, machine-independent"
    sc = part(res, "syscalls", out, s, "system calls")
    if sc:
        g = sc["groups_per_s"]
        out.append((s, "system calls/s (strace, %s s window)" % f(sc["window_s"], 1),
                    "%s: network %s, card %s, log %s, other %s" % (
                        f(sc["service_per_s"], 0), f(g.get("network", 0.0), 0),
                        f(g.get("card", 0.0), 0), f(g.get("log", 0.0), 0),
                        f(g.get("other", 0.0), 0)), "<= half of today's"))
        kinds = sorted(((v, k) for k, v in sc["per_s"].items() if not k.startswith("sim ")), reverse=True)
        shown = ["%s %s" % (k.split(" ", 1)[1] if k.startswith(("network ", "other ")) else k, f(v, 0))
                 for v, k in kinds if v >= 0.5]
        rest = sum(v for v, _ in kinds if v < 0.5)
        out.append((s, "  scaled to 50 posts/s and 50 chunks/s", "%s (downlink thread %s, other threads %s)" % (
            f(sc.get("scaled_per_s"), 0), f(sc.get("downlink_thread_per_s"), 0),
            f(sc.get("other_threads_per_s"), 0)), ""))
        out.append((s, "  by kind, per s", ", ".join(shown + ["rest %s" % f(rest, 1)]), ""))
        out.append((s, "  the simulated card's own (not counted)", "%s/s" % f(sc["sim_per_s"], 0), ""))
        c = sc["call"]
        out.append((s, "  call in the window: posts/s, chunks/s", "%s, %s" % (
            f(c["posts_per_s"], 1), f(c["chunks_per_s"], 1)), "50, 50"))
    ins = part(res, "instructions", out, s, "instructions")
    if ins:
        out.append((s, "instructions/s (callgrind Ir, %s s window)" % f(ins["window_s"], 1),
                    "%s M: TLS libraries %s M, own code %s M, libc, libasound and the rest %s M" % (
                        f(ins["service_ir_per_s"] / 1e6, 2), f(ins["tls_libs_ir_per_s"] / 1e6, 2),
                        f(ins["own_code_ir_per_s"] / 1e6, 2),
                        f((ins["service_ir_per_s"] - ins["tls_libs_ir_per_s"] - ins["own_code_ir_per_s"])
                                / 1e6, 2)), ""))
        out.append((s, "  scaled to 50 posts/s and 50 chunks/s", "%s M (downlink thread %s M)" % (
            f((ins.get("scaled_ir_per_s") or 0) / 1e6 or None, 2),
            f(ins.get("downlink_thread_ir_per_s", 0) / 1e6, 2)), ""))
        out.append((s, "  the simulated card's plugin and shim (not counted)",
                    "%s M/s" % f(ins["sim_ir_per_s"] / 1e6, 2), ""))
        c = ins["call"]
        out.append((s, "  call in the window under callgrind: posts/s, chunks/s", "%s, %s" % (
            f(c["posts_per_s"], 1), f(c["chunks_per_s"], 1)), "50, 50"))
    return out
