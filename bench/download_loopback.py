#!/usr/bin/python3
"""200 MB from nginx on loopback with no limit, under Wine: the download component (dlget.exe,
5 connections) against a plain one-connection WinINet read loop (plainget.exe), rounds alternating.
Prints the throughput of each and their ratio, the CPU time per GB (the tool's process plus the
wineserver's work for it), and the component's peak memory for 10 MB and for 200 MB.

Loopback on two cores gains nothing from parallel connections; what is measured is that the
component's bookkeeping, events and positioned writes cost no throughput. Both write to /dev/shm
when there is one: the disk's write-back pauses would otherwise decide the figures. The machine is
shared, so rounds alternate and both the median and the best round are printed.

Usage: bench/download_loopback.py [--tools build/h-win/tools] [--rounds 3] [--out bench/results]
"""

import argparse
import os
import shutil
import statistics
import tempfile
from pathlib import Path

from wine_tool import REPO, harness, run_tool

BIG = 200 * 1024 * 1024
SMALL = 10 * 1024 * 1024
PORT = 18938


def same_file(a, b):
    with open(a, "rb") as x, open(b, "rb") as y:
        while True:
            p, q = x.read(1 << 20), y.read(1 << 20)
            if p != q:
                return False
            if not p:
                return True


def plot(path, summary):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    names = list(summary)
    colours = ["tab:blue", "tab:cyan", "tab:gray"]
    figure, (speed, cpu) = plt.subplots(1, 2, figsize=(12, 4.5))
    speed.bar(names, [summary[n]["mbps"] for n in names], color=colours)
    speed.set_ylabel("MB/s (median)")
    speed.set_title(f"{BIG >> 20} MB over loopback under Wine")
    own = [summary[n]["cpu_gb"] for n in names]
    server = [summary[n]["server_gb"] for n in names]
    cpu.bar(names, own, color=colours, label="the process")
    cpu.bar(names, server, bottom=own, color="tab:olive", label="wineserver")
    cpu.set_ylabel("CPU seconds per GB")
    cpu.legend()
    figure.tight_layout()
    figure.savefig(path, dpi=90)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tools", type=Path, default=REPO / "build" / "h-win" / "tools")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--out", type=Path, default=REPO / "bench" / "results")
    options = parser.parse_args()

    workdir = Path(tempfile.mkdtemp(prefix="bench-loopback-"))
    env = harness.WineEnv(workdir)
    root = workdir / "site"
    root.mkdir()
    with open(root / "big.zip", "wb") as f:
        for _ in range(BIG >> 20):
            f.write(os.urandom(1 << 20))
    (root / "small.zip").write_bytes(os.urandom(SMALL))
    site = harness.RangeNginx(PORT, root, workdir)
    # The component with one connection too: what its bookkeeping costs, apart from what five
    # connections cost on two cores.
    tools = {"component": (Path(options.tools) / "dlget.exe", ["5", "0"]),
             "component, 1 connection": (Path(options.tools) / "dlget.exe", ["1", "0"]),
             "plain WinINet": (Path(options.tools) / "plainget.exe", [])}
    runs = {name: [] for name in tools}
    peaks = {}
    shm = Path("/dev/shm")
    out_dir = Path(tempfile.mkdtemp(prefix="bench-loopback-", dir=shm)) if shm.is_dir() else workdir
    try:
        for _ in range(options.rounds):
            for name, (exe, extra) in tools.items():
                target = out_dir / "out.zip"
                target.unlink(missing_ok=True)
                url = f"http://127.0.0.1:{PORT}/big.zip"
                run = run_tool(env, exe, [url, harness.windows_path(target)] + extra)
                assert same_file(target, root / "big.zip"), f"{name}: wrong bytes"
                runs[name].append(run)
                harness.log(f"{name}: {run.field('finished', 'ms')} ms, cpu {run.cpu:.2f} s "
                            f"+ wineserver {run.server_cpu:.2f} s, peak {run.peak_mb:.1f} MB")
        for label, name in (("10 MB", "small.zip"), ("200 MB", "big.zip")):
            target = out_dir / "peak.zip"
            target.unlink(missing_ok=True)
            run = run_tool(env, tools["component"][0],
                           [f"http://127.0.0.1:{PORT}/{name}", harness.windows_path(target), "5", "0"])
            assert same_file(target, root / name), f"peak {label}: wrong bytes"
            peaks[label] = run.peak_mb
    finally:
        site.stop()
        env.close()
        shutil.rmtree(workdir, ignore_errors=True)
        shutil.rmtree(out_dir, ignore_errors=True)

    summary = {}
    for name, results in runs.items():
        times = [r.field("finished", "ms") / 1000 for r in results]
        summary[name] = {
            "mbps": BIG / 1e6 / statistics.median(times),
            "best": BIG / 1e6 / min(times),
            "cpu_gb": statistics.median(r.cpu for r in results) / (BIG / 1e9),
            "server_gb": statistics.median(r.server_cpu for r in results) / (BIG / 1e9),
            "rounds": ", ".join(f"{r.field('finished', 'ms')}" for r in results),
        }
    component, single, plain = summary["component"], summary["component, 1 connection"], summary["plain WinINet"]
    lines = [f"loopback under Wine: {BIG} bytes from nginx, no limit, written to {'tmpfs' if out_dir != workdir else 'disk'}; "
             f"{options.rounds} rounds alternating"]
    for name, s in summary.items():
        lines.append(f"{name:23s}: median {s['mbps']:.1f} MB/s, best {s['best']:.1f} MB/s (ms per round: {s['rounds']}); "
                     f"CPU per GB {s['cpu_gb']:.2f} s in the process + {s['server_gb']:.2f} s in wineserver")
    lines.append(f"throughput component / plain: median {component['mbps'] / plain['mbps']:.3f}, "
                 f"best {component['best'] / plain['best']:.3f}")
    lines.append(f"throughput component with 1 connection / plain: median {single['mbps'] / plain['mbps']:.3f}, "
                 f"best {single['best'] / plain['best']:.3f}")
    lines.append(f"component peak memory (whole Wine process): 10 MB download {peaks['10 MB']:.1f} MB, "
                 f"200 MB download {peaks['200 MB']:.1f} MB")
    lines.append("load average at the end (1, 5, 15 min): " + ", ".join(f"{v:.2f}" for v in os.getloadavg()))
    text = "\n".join(lines) + "\n"
    print(text, end="")
    options.out.mkdir(parents=True, exist_ok=True)
    (options.out / "download_loopback.txt").write_text(text)
    try:
        plot(options.out / "download_loopback.png", summary)
    except ImportError:
        print("matplotlib is missing (bench/setup): no plot")


if __name__ == "__main__":
    main()
