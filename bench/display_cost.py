#!/usr/bin/python3
"""What the updater's display costs a fast download, under Wine: a 200 MB download on loopback with
no limit, through the updater's own window, set-up and transfer events (displaybench.exe "full"),
against the same download on the same window with an event handler that does nothing ("empty"),
and that handler plus one empty hand-over to the window's thread per event ("hop": what the one hop
per event costs by itself), rounds alternating. Each is timed from the server's first request to the moment TransferFinished
has been handled (one clock: Wine's system time is the host's). Prints both, their ratio (the goal:
full at most 1.25 x empty), the DataReceived events and the display's cost per event in µs, and plots
each round's time.

Usage: bench/display_cost.py [--tools build/win32-test/tools] [--rounds 3] [--out bench/results]
"""

import argparse
import os
import shutil
import statistics
import tempfile
from pathlib import Path

from wine_tool import REPO, harness, run_tool

SIZE = 200 * 1024 * 1024
PORT = 18955


def one_round(env, tools, work, body, mode):
    place = work / mode
    shutil.rmtree(place, ignore_errors=True)
    place.mkdir()
    shutil.copy(tools / "displaybench.exe", place / "displaybench.exe")
    server = harness.BodyServer(PORT, body, behaviour="ranges")
    try:
        run = run_tool(env, place / "displaybench.exe",
                       ["qzmkhost_launcher", f"http://127.0.0.1:{PORT}/KORVA.zip", "bench", "run", "KORVA.exe",
                        "K.zip", mode], timeout=600)
        served = server.requests()
    finally:
        server.stop()
    line = next(l for l in run.lines if l.startswith("finished_ms="))
    fields = dict(part.split("=") for part in line.split())
    first = min(r.start for r in served)
    got = (place / "time" / "temp1.zip").stat().st_size
    assert got == SIZE, (mode, got)
    return int(fields["finished_ms"]) / 1000 - first, int(fields["received"]), run


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tools", type=Path, default=REPO / "build" / "win32-test" / "tools")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--out", type=Path, default=REPO / "bench" / "results")
    options = parser.parse_args()
    options.out.mkdir(parents=True, exist_ok=True)
    work = Path(tempfile.mkdtemp(prefix="display-cost-", dir="/dev/shm"))
    body = os.urandom(SIZE)
    env = harness.WineEnv(work)
    times = {"full": [], "empty": [], "hop": []}
    events = 0
    try:
        for _ in range(options.rounds):
            for mode in ("empty", "hop", "full"):
                seconds, received, _ = one_round(env, options.tools, work, body, mode)
                times[mode].append(seconds)
                events = max(events, received)
                print(f"{mode}: {seconds:.3f} s", flush=True)
    finally:
        env.close()
        shutil.rmtree(work, ignore_errors=True)
    full, empty, hop = (statistics.median(times[m]) for m in ("full", "empty", "hop"))
    text = (f"200 MB on loopback, no limit, {options.rounds} rounds each (median)\n"
            f"empty event handler: {empty:.3f} s  ({', '.join(f'{t:.3f}' for t in times['empty'])})\n"
            f"empty handler + one empty hand-over per event: {hop:.3f} s  ({', '.join(f'{t:.3f}' for t in times['hop'])})\n"
            f"full display:        {full:.3f} s  ({', '.join(f'{t:.3f}' for t in times['full'])})\n"
            f"ratio full/empty: {full / empty:.2f} (goal <= 1.25)\n"
            f"DataReceived events: {events}; display cost per event: {(full - empty) / max(events, 1) * 1e6:.1f} µs,"
            f" of which the hand-over alone {(hop - empty) / max(events, 1) * 1e6:.1f} µs\n")
    print(text, end="")
    (options.out / "display_cost.txt").write_text(text)
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    fig, ax = plt.subplots(figsize=(6, 3))
    for i, mode in enumerate(("empty", "hop", "full")):
        ax.scatter([i] * len(times[mode]), times[mode], label=mode)
        ax.bar(i, statistics.median(times[mode]), alpha=0.3)
    ax.set_xticks([0, 1, 2], ["empty handler", "empty + hand-over", "full display"])
    ax.set_ylabel("seconds to TransferFinished handled")
    ax.set_title("200 MB on loopback under Wine")
    ax.set_ylim(bottom=0)
    fig.tight_layout()
    fig.savefig(options.out / "display_cost.png", dpi=100)


if __name__ == "__main__":
    main()
