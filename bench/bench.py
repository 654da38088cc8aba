#!/usr/bin/env python3
"""Measures what a call costs the service and how close it runs to its
limits, on the simulated modem card, and prints one table (also written as
JSON and Markdown into bench/results/).

    bench/bench.py --build-dir DIR [--bin BINARY] [--base BINARY] [--quick] [--only SECTION,...]

Sections: call, recovery, capacity, footprint, browser, cost, peers, tls, and
network and player (not run by default). Each is the module <section>_bench.py, with
run(ctx, creds) -> result and rows(result) -> table rows; what they share is
in common.py. Every figure is reported, none is asserted.
"""

import argparse
import datetime
import importlib
import json
import os
import platform
import shutil
import sys
import tempfile
import types

from common import HERE, commit, credentials

# In the table's order, which is also the order they run in.
SECTIONS = ("call", "recovery", "capacity", "cost", "peers", "tls", "footprint", "browser", "network", "player")
DEFAULT = "call,recovery,capacity,footprint,browser,cost,peers,tls"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build-dir", required=True)
    ap.add_argument("--ceiling", required=True, help="the built handshake_ceiling program")
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--only", default=DEFAULT)
    ap.add_argument("--bin", help="the call-audio binary to measure (default: the build dir's)")
    ap.add_argument("--base", help="cost: a second binary (the one before a change), measured in the same run")
    ap.add_argument("--results", default=os.path.join(HERE, "results"))
    a = ap.parse_args()
    build = os.path.abspath(a.build_dir)
    q = a.quick
    ctx = types.SimpleNamespace(
        build=build, binary=os.path.abspath(a.bin) if a.bin else os.path.join(build, "service", "call-audio"),
        base_binary=os.path.abspath(a.base) if a.base else None,
        ceiling=os.path.abspath(a.ceiling), quick=q, repeats=1 if q else 3, call_s=10 if q else 60,
        wrk_s=2 if q else 4, ceiling_s=1 if q else 2, cost_window_s=10 if q else 30, net_s=20 if q else 60,
        player_s=15 if q else 30, drift_s=20 if q else 60,
        work=tempfile.mkdtemp(prefix="callaudio-bench-"))
    res = {"when": datetime.datetime.now().strftime("%Y-%m-%d %H:%M:%S"), "commit": commit(),
           "mode": "quick" if q else "full", "repeats": ctx.repeats, "machine": machine(),
           "binary": ctx.binary if a.bin else None}
    chosen = [name for name in SECTIONS if name in a.only.split(",")]
    try:
        creds = credentials(ctx.work)
        for name in chosen:
            print("bench: " + name, file=sys.stderr)
            res[name] = module(name).run(ctx, creds)
    finally:
        res["machine"]["load_after"] = " ".join("%.2f" % x for x in os.getloadavg())
        shutil.rmtree(ctx.work, ignore_errors=True)
    rows = [r for name in chosen for r in module(name).rows(res[name])]
    write_results(res, rows, a.results)


def module(name):
    return importlib.import_module(name + "_bench")


def write_results(res, rows, results):
    """Prints the table and writes it, with every figure, to the results
    folder under the time's stamp and as latest-<mode>."""
    text, md = render(res, rows)
    sys.stdout.write(text)
    os.makedirs(results, exist_ok=True)
    stamp = datetime.datetime.now().strftime("%Y%m%d-%H%M%S") + "-" + res["mode"]
    res["rows"] = rows
    for name in (stamp, "latest-" + res["mode"]):
        with open(os.path.join(results, name + ".json"), "w") as fh:
            json.dump(res, fh, indent=1, default=str)
        with open(os.path.join(results, name + ".md"), "w") as fh:
            fh.write(md)
    for name in (n for n in SECTIONS if n in res):
        # A section may draw its results as well (network: latency over time).
        for path in getattr(module(name), "write_plots", lambda *_: [])(res[name], results, stamp):
            print("bench: plot %s" % path, file=sys.stderr)
    print("bench: written %s/%s.{json,md}" % (results, stamp), file=sys.stderr)


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


if __name__ == "__main__":
    main()
