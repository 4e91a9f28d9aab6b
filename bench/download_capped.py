#!/usr/bin/python3
"""A 6 MB package from a server that caps every connection at 300 KB/s with no initial burst:
the download component (dlget.exe under Wine, 5 connections) against aria2c -x5 -s5 -k1M, on the
same server in the same run, rounds alternating.

The ideal is size / (5 x rate): five connections busy from the first byte to the last. Each
transfer is timed twice: by the client (start of the task to its end, connecting included) and by
the server (first request in to last byte out, the same clock for both downloaders).

Usage: bench/download_capped.py [--tools build/h-win/tools] [--rounds 3] [--out bench/results]
"""

import argparse
import hashlib
import os
import shutil
import statistics
import subprocess
import tempfile
import time
from pathlib import Path

from wine_tool import REPO, harness, run_tool

SIZE = 6 * 1024 * 1024
RATE = 300 * 1024  # bytes per second per connection
CONNECTIONS = 5
PORT = 18937


def served_span(requests):
    return max(r.end for r in requests) - min(r.start for r in requests)


def component_round(env, tools, url, target, data):
    target.unlink(missing_ok=True)
    run = run_tool(env, Path(tools) / "dlget.exe", [url, harness.windows_path(target), CONNECTIONS, 0])
    assert hashlib.sha256(target.read_bytes()).digest() == hashlib.sha256(data).digest(), "dlget: wrong bytes"
    return run.field("finished", "ms") / 1000


def aria2_round(url, target, data):
    target.unlink(missing_ok=True)
    started = time.monotonic()
    subprocess.run(["aria2c", "-x5", "-s5", "-k1M", "-q", "--allow-overwrite=true", "--auto-file-renaming=false",
                    "--file-allocation=none", "-d", str(target.parent), "-o", target.name, url],
                   check=True, timeout=300)
    seconds = time.monotonic() - started
    assert hashlib.sha256(target.read_bytes()).digest() == hashlib.sha256(data).digest(), "aria2c: wrong bytes"
    return seconds


def plot(path, results, timelines):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    ideal = SIZE / (CONNECTIONS * RATE)
    figure, (bars, gantt) = plt.subplots(1, 2, figsize=(12, 4.5), gridspec_kw={"width_ratios": [1, 2]})
    names = list(results)
    medians = [statistics.median(s for s, _ in results[n]) for n in names]
    bars.bar(names, medians, color=["tab:blue", "tab:orange"])
    bars.axhline(ideal, color="black", linestyle="--", label=f"ideal {ideal:.2f} s")
    bars.set_ylabel("seconds, server clock (median)")
    bars.set_title(f"{SIZE >> 20} MB at {RATE >> 10} KB/s per connection")
    bars.legend()
    row = 0
    ticks = []
    for name, requests in timelines.items():
        origin = min(r.start for r in requests)
        colour = "tab:blue" if name == names[0] else "tab:orange"
        for r in sorted(requests, key=lambda r: r.start):
            gantt.barh(row, r.end - r.start, left=r.start - origin, color=colour, height=0.8)
            row += 1
        ticks.append((row - len(requests) / 2 - 0.5, name))
        row += 1
    gantt.axvline(ideal, color="black", linestyle="--")
    gantt.set_yticks([t for t, _ in ticks], [n for _, n in ticks])
    gantt.set_xlabel("seconds since the first request (one bar per request)")
    gantt.set_title("requests of the last round")
    figure.tight_layout()
    figure.savefig(path, dpi=90)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tools", type=Path, default=REPO / "build" / "h-win" / "tools")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--out", type=Path, default=REPO / "bench" / "results")
    options = parser.parse_args()
    if not shutil.which("aria2c"):
        raise SystemExit("aria2c is missing: run bench/setup")

    workdir = Path(tempfile.mkdtemp(prefix="bench-capped-"))
    env = harness.WineEnv(workdir)
    data = os.urandom(SIZE)
    server = harness.BodyServer(PORT, data, "ranges", rate=RATE)
    url = f"http://127.0.0.1:{PORT}/package.zip"
    results = {"component": [], "aria2c": []}  # (server span, client seconds)
    timelines = {}
    try:
        for _ in range(options.rounds):
            for name in results:
                before = len(server.requests())
                target = workdir / f"{name}.zip"
                client = component_round(env, options.tools, url, target, data) if name == "component" \
                    else aria2_round(url, target, data)
                # The server's threads log a response once its connection is closed.
                harness.wait_until(lambda: all(r.end for r in server.requests()), 30, what="the responses to end")
                requests = server.requests()[before:]
                results[name].append((served_span(requests), client))
                timelines[name] = requests
                harness.log(f"{name}: server {results[name][-1][0]:.3f} s, client {client:.3f} s, "
                            f"{len(requests)} requests")
    finally:
        server.stop()
        env.close()
        shutil.rmtree(workdir, ignore_errors=True)

    ideal = SIZE / (CONNECTIONS * RATE)
    median = {n: statistics.median(s for s, _ in runs) for n, runs in results.items()}
    client = {n: statistics.median(c for _, c in runs) for n, runs in results.items()}
    lines = [
        f"capped server: {SIZE} bytes, {RATE} B/s per connection, no initial burst; "
        f"{CONNECTIONS} connections; {options.rounds} rounds; medians",
        f"ideal size/(5 x rate): {ideal:.3f} s",
    ]
    for name in results:
        spans = ", ".join(f"{s:.3f}" for s, _ in results[name])
        lines.append(f"{name:9s}: server {median[name]:.3f} s ({median[name] / ideal:.3f} x ideal; rounds {spans}), "
                     f"client {client[name]:.3f} s, requests in the last round {len(timelines[name])}")
    lines.append(f"component / aria2c (server clock): {median['component'] / median['aria2c']:.3f}")
    lines.append(f"component / aria2c (client clock): {client['component'] / client['aria2c']:.3f}")
    lines.append("load average at the end (1, 5, 15 min): " + ", ".join(f"{v:.2f}" for v in os.getloadavg()))
    text = "\n".join(lines) + "\n"
    print(text, end="")
    options.out.mkdir(parents=True, exist_ok=True)
    (options.out / "download_capped.txt").write_text(text)
    try:
        plot(options.out / "download_capped.png", results, timelines)
    except ImportError:
        print("matplotlib is missing (bench/setup): no plot")


if __name__ == "__main__":
    main()
