#!/usr/bin/python3
"""The cost of appending to the updater's log box as it grows, under Wine: logbench.exe appends
100,000 received-data lines through the run time, handling the window's messages (and so the
painting) after each, and reports the time of every 1000. The goal: the last 1000 appends take at
most 2 x the first 1000. Writes bench/results/log_growth.txt and log_growth.png.

Usage: bench/log_growth.py [--tools build/win32-test/tools] [--lines 100000] [--out bench/results]
"""

import argparse
import statistics
import tempfile
from pathlib import Path

from wine_tool import REPO, harness, run_tool


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tools", type=Path, default=REPO / "build" / "win32-test" / "tools")
    parser.add_argument("--lines", type=int, default=100000)
    parser.add_argument("--out", type=Path, default=REPO / "bench" / "results")
    options = parser.parse_args()
    options.out.mkdir(parents=True, exist_ok=True)
    work = Path(tempfile.mkdtemp(prefix="log-growth-"))
    env = harness.WineEnv(work)
    try:
        result = work / "times.txt"
        run = run_tool(env, options.tools / "logbench.exe", [options.lines, harness.windows_path(result)], timeout=1800)
        assert run.returncode == 0, run.returncode
        rows = [tuple(float(x) for x in line.split()) for line in result.read_text().splitlines()]
    finally:
        env.close()
    # A paint of the pending lines lands in one block of 1000 or another: the ends are compared as the
    # mean of ten blocks each.
    first = statistics.mean(r[1] for r in rows[:10])
    last = statistics.mean(r[1] for r in rows[-10:])
    text = (f"appends: {options.lines} lines, {run.seconds:.1f} s in all\n"
            f"first 1000 (mean of the first ten blocks): {first * 1000:.2f} ms\n"
            f"last 1000 (mean of the last ten blocks): {last * 1000:.2f} ms\n"
            f"ratio last/first: {last / first:.2f} (goal <= 2.0)\n"
            f"single blocks: first {rows[0][1] * 1000:.2f} ms, last {rows[-1][1] * 1000:.2f} ms\n")
    print(text, end="")
    (options.out / "log_growth.txt").write_text(text)
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    fig, ax = plt.subplots(figsize=(7, 3.5))
    ax.plot([r[0] for r in rows], [r[1] * 1000 for r in rows], linewidth=0.8)
    ax.set_xlabel("lines in the log")
    ax.set_ylabel("ms per 1000 appends")
    ax.set_title("Appending to the log box under Wine")
    ax.set_ylim(bottom=0)
    fig.tight_layout()
    fig.savefig(options.out / "log_growth.png", dpi=100)


if __name__ == "__main__":
    main()
