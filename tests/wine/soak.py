#!/usr/bin/python3
"""KORVA.exe left running under Wine: all five refresh slots at 100 ms, and the window hidden and
shown with Alt+E every few seconds, while its memory and object counts are sampled.

The program is meant to run unattended for days, so what matters is that nothing grows with the
number of ticks or toggles. Memory is read from outside, from the Unix process that runs the
program (/proc); the object counts from inside Wine (uidriver's `resources`, and the program's
windows). The tick periods come from the slot site's access log: every tick is one GET of
the slot's own page.

    flock /tmp/wine.lock /usr/bin/python3 tests/wine/soak.py --minutes 11 --out soak-out

writes samples.csv, ticks.csv, soak.png and summary.txt into --out and exits 1 on growth.
test_soak_short.py runs the same code for about a minute.
"""

import csv
import json
import math
import shutil
import signal
import statistics
import sys
import tempfile
import time
from dataclasses import dataclass, field
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import harness  # noqa: E402
from harness import wait_until  # noqa: E402
from test_refresher import BOX_TITLE, CAPTION, START_BUTTON, STARTED_TEXT, Korva  # noqa: E402

SLOT_PORT = 18981
SLOTS = 5
INTERVAL_MS = 100
TOGGLE_EVERY = 3.0  # seconds between Alt+E presses
SAMPLE_EVERY = 2.0  # seconds between samples

# Growth limits. Memory: 1 MiB over ten measured minutes, in proportion for a shorter span, but
# never below what one step of the allocators can add at once (the heap grows in blocks, so a
# short span sees a step or nothing).
MEMORY_LIMIT_KIB_PER_10_MIN = 1024
MEMORY_FLOOR_KIB = 256
# Objects: a leak of one per tick or per toggle would add thousands; a few come and go with the
# browsers' own worker threads and connections.
OBJECT_TOLERANCE = {"kernel_handles": 12, "gdi_objects": 8, "user_objects": 4}

MEMORY_COLUMNS = ("rss_kib", "anon_kib", "private_kib")
OBJECT_COLUMNS = tuple(OBJECT_TOLERANCE)
# What uidriver's `resources` answers: the system's own counts (Wine answers 0 to all three) and
# the counts as Wine keeps them (-1 where not available).
RAW_COLUMNS = ("handles", "gdi", "user", "handle_list", "gdi_table", "windows")
COLUMNS = ("elapsed_s",) + MEMORY_COLUMNS + OBJECT_COLUMNS + RAW_COLUMNS + ("visible", "ticks")


def slot_target(slot):
    return f"/slot{slot}.htm"


def slot_site(workdir):
    """nginx on SLOT_PORT with one small page per slot."""
    root = Path(workdir) / "slots"
    root.mkdir()
    for slot in range(1, SLOTS + 1):
        (root / slot_target(slot).lstrip("/")).write_text(f"<html><body>{slot}</body></html>")
    return harness.Nginx(SLOT_PORT, root, workdir)


# --------------------------------------------------------------------------------------------
# The program from outside


def unix_pid(marker):
    """The Unix process whose command line holds marker (Wine shows the Windows path there)."""
    found = []
    for entry in Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            cmdline = (entry / "cmdline").read_bytes().decode("utf-8", errors="replace")
        except OSError:
            continue
        if marker.lower() in cmdline.lower().replace("\\", "/"):
            found.append(int(entry.name))
    if len(found) != 1:
        raise RuntimeError(f"expected one Unix process with {marker!r} in its command line, found {found}")
    return found[0]


def memory_kib(pid):
    """RSS, anonymous memory (with swap) and private memory (pages no other process maps), in KiB.

    Anonymous memory is the program's heaps and stacks, where a leak shows; RSS also holds the
    mapped DLLs' pages, which come and go with the page cache."""
    status = {}
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        name, _, value = line.partition(":")
        if value.strip().endswith("kB"):
            status[name] = int(value.split()[0])
    rollup = {}
    for line in Path(f"/proc/{pid}/smaps_rollup").read_text().splitlines()[1:]:
        name, _, value = line.partition(":")
        if value.strip().endswith("kB"):
            rollup[name] = int(value.split()[0])
    return {
        "rss_kib": status["VmRSS"],
        "anon_kib": status["RssAnon"] + status.get("VmSwap", 0),
        "private_kib": rollup["Private_Clean"] + rollup["Private_Dirty"] + rollup.get("SwapPss", 0),
    }


def window_count(driver, pid):
    """Top-level windows of pid and all their descendants: the USER objects a test can see."""
    tops = [w for w in driver.windows() if w["pid"] == pid]
    return len(tops) + sum(len(driver.children(w["hwnd"])) for w in tops)


def object_counts(raw):
    """The counts judged for growth: the system's own where it answers, else what Wine keeps: its
    handle list, the process's GDI table, and for USER objects the program's windows (Wine keeps
    USER handles in its server, out of reach; windows are the USER objects another process can
    count, menus and icons are not among them)."""
    return {
        "kernel_handles": raw["handles"] or raw["handle_list"],
        "gdi_objects": raw["gdi"] or raw["gdi_table"],
        "user_objects": raw["user"] or raw["windows"],
    }


def start_slots(driver, korva, site_port, slots):
    """Types each slot's own address and 100 into its boxes and presses its start button."""
    tab = korva.tab_control()
    for index in range(slots):
        driver.click_at_center(driver.tab_rect(tab, index))
        wait_until(lambda: korva.visible_pages() == [index], 10, what=f"page {index + 1} to be shown")
        page = korva.pages()[index]
        address_box, interval_box = korva.edits(page)
        driver.settext(address_box, f"http://127.0.0.1:{site_port}{slot_target(index + 1)}")
        driver.settext(interval_box, str(INTERVAL_MS))
        driver.click(korva.button(page, START_BUTTON))
        box = driver.wait_message_box(korva.pid, text=STARTED_TEXT, title=BOX_TITLE)
        driver.press_ok(box["hwnd"])
        driver.wait_gone(box["hwnd"])


# --------------------------------------------------------------------------------------------
# Figures


def fitted_rise(xs, ys):
    """How much the least-squares line through the points rises from the first x to the last."""
    if len(xs) < 3 or len(set(ys)) == 1:
        return 0.0
    slope, _ = statistics.linear_regression(xs, ys)
    return slope * (xs[-1] - xs[0])


def percentile(values, p):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, max(0, math.ceil(p / 100 * len(ordered)) - 1))]


@dataclass
class Growth:
    column: str
    first: float  # the mean of the first window of the measured span
    last: float  # the mean of the last window
    fitted: float  # rise of the fitted line over the span
    limit: float
    ok: bool = field(init=False)

    def __post_init__(self):
        self.ok = self.fitted <= self.limit and self.last - self.first <= self.limit


def growth(samples, column, since, limit):
    measured = [s for s in samples if s["elapsed_s"] >= since]
    xs = [s["elapsed_s"] for s in measured]
    ys = [s[column] for s in measured]
    window = min(60.0, (xs[-1] - xs[0]) / 4)
    first = [y for x, y in zip(xs, ys) if x <= xs[0] + window]
    last = [y for x, y in zip(xs, ys) if x >= xs[-1] - window]
    return Growth(column, statistics.fmean(first), statistics.fmean(last), fitted_rise(xs, ys), limit)


@dataclass
class Ticks:
    slot: int
    count: int
    rate: float  # requests per second over the measured span
    mean_ms: float
    median_ms: float
    p95_ms: float
    max_ms: float


def tick_stats(requests, slot, start, end):
    """The intervals between one slot's consecutive requests logged in [start, end] (Unix times)."""
    times = sorted(r.time for r in requests if r.target == slot_target(slot) and start <= r.time <= end)
    gaps = [(b - a) * 1000 for a, b in zip(times, times[1:])] or [math.inf]
    return Ticks(slot, len(times), len(times) / (end - start), statistics.fmean(gaps), statistics.median(gaps),
                 percentile(gaps, 95), max(gaps))


@dataclass
class Result:
    title: str
    samples: list
    began_wall: float  # Unix time of elapsed 0, to place the log's requests
    warmup: float
    measured: float
    memory: list
    objects: list
    ticks: list
    toggles: int
    errors: list

    @property
    def ok(self):
        return not self.errors and all(g.ok for g in self.memory + self.objects)

    def report(self):
        first = self.samples[0]
        at_warmup = next(s for s in self.samples if s["elapsed_s"] >= self.warmup)
        end = self.samples[-1]
        lines = [self.title, f"{len(self.samples)} samples over {end['elapsed_s']:.0f} s, measured after "
                 f"{self.warmup:.0f} s for {self.measured:.0f} s; {self.toggles} Alt+E presses"]
        lines.append("memory (KiB)   start    warm     end   first-w  last-w   fitted rise   limit")
        for g in self.memory:
            lines.append(f"  {g.column:12} {first[g.column]:7} {at_warmup[g.column]:7} {end[g.column]:7} "
                         f"{g.first:8.0f} {g.last:8.0f} {g.fitted:+11.1f} {g.limit:7.0f}  {'ok' if g.ok else 'GROWS'}")
        lines.append("objects        start    warm     end   first-w  last-w   fitted rise   limit")
        for g in self.objects:
            lines.append(f"  {g.column:12} {first[g.column]:7} {at_warmup[g.column]:7} {end[g.column]:7} "
                         f"{g.first:8.1f} {g.last:8.1f} {g.fitted:+11.2f} {g.limit:7.0f}  {'ok' if g.ok else 'GROWS'}")
        sources = {"kernel_handles": "GetProcessHandleCount" if end["handles"] else "the system's handle list",
                   "gdi_objects": "GetGuiResources" if end["gdi"] else "the process's GDI handle table",
                   "user_objects": "GetGuiResources" if end["user"] else "the process's windows"}
        lines += [f"  ({c} counted from {src})" for c, src in sources.items()]
        lines.append(f"ticks at {INTERVAL_MS} ms   count   rate/s   mean ms  median ms  p95 ms  max ms")
        for t in self.ticks:
            lines.append(f"  slot {t.slot}        {t.count:6} {t.rate:8.2f} {t.mean_ms:9.1f} {t.median_ms:10.1f} "
                         f"{t.p95_ms:7.1f} {t.max_ms:7.1f}")
        lines += [f"ERROR {e}" for e in self.errors]
        return "\n".join(lines)


# --------------------------------------------------------------------------------------------
# The run


def soak(driver, site, stage, workdir, duration, warmup, memory_limit_kib=None, slots=SLOTS,
         toggle_every=TOGGLE_EVERY):
    """Starts KORVA, runs the slots and the toggling for duration seconds after the slots are
    started, sampling all along; the first warmup seconds are left out of the growth checks.
    memory_limit_kib: the allowed growth of the measured span (default: the 10-minute rule scaled).
    slots, toggle_every (0: never): less than the whole load, to tell which part a growth comes from."""
    pid, window = harness.start_program(driver, stage, workdir, caption=CAPTION)
    korva = Korva(driver, pid, window)
    try:
        process = unix_pid(str(Path(workdir).resolve() / "stage" / "KORVA.exe"))
        start_slots(driver, korva, site.port, slots)
        for slot in range(1, slots + 1):
            site.wait_for(lambda r, s=slot: r.target == slot_target(s), timeout=10)
        driver.foreground(korva.hwnd)
        return _run(driver, site, korva, process, duration, warmup, memory_limit_kib, slots, toggle_every)
    finally:
        driver.kill(pid)


def _run(driver, site, korva, process, duration, warmup, memory_limit_kib, slots, toggle_every):
    samples, errors = [], []
    toggles = 0
    began = time.monotonic()
    began_wall = time.time()
    next_sample = next_toggle = began
    if not toggle_every:
        next_toggle = math.inf
    while True:
        now = time.monotonic()
        if now - began > duration:
            break
        if now >= next_toggle:
            visible = driver.is_visible(korva.hwnd)
            driver.key("alt+e")
            toggles += 1
            try:
                wait_until(lambda: driver.is_visible(korva.hwnd) != visible, 5, what="Alt+E to take effect")
            except TimeoutError:
                errors.append(f"Alt+E press {toggles} at {now - began:.0f} s left the window "
                              f"{'shown' if visible else 'hidden'}")
            next_toggle += toggle_every
        if now >= next_sample:
            if driver.call("wait_exit", 0, korva.pid, check=False)["ok"]:
                errors.append(f"the program ended at {now - began:.0f} s")
                break
            sample = {"elapsed_s": round(now - began, 3)}
            sample.update(memory_kib(process))
            sample.update({k: v for k, v in driver.call("resources", korva.pid).items() if k != "ok"})
            sample["windows"] = window_count(driver, korva.pid)
            sample.update(object_counts(sample))
            sample["visible"] = int(driver.is_visible(korva.hwnd))
            sample["ticks"] = len(site.requests())
            samples.append(sample)
            next_sample += SAMPLE_EVERY
        time.sleep(max(0.0, min(next_sample, next_toggle) - time.monotonic()))
    ended_wall = time.time()

    measured = samples[-1]["elapsed_s"] - warmup
    memory_limit = memory_limit_kib or max(MEMORY_FLOOR_KIB, MEMORY_LIMIT_KIB_PER_10_MIN * measured / 600)
    # Only anonymous memory is judged: private and RSS also count file pages, which the first use
    # of a DLL's code brings in (private jumped by 4 MiB once in a trial while anon stayed).
    memory = [growth(samples, "anon_kib", warmup, memory_limit)]
    memory += [growth(samples, c, warmup, math.inf) for c in ("private_kib", "rss_kib")]
    objects = [growth(samples, c, warmup, OBJECT_TOLERANCE[c]) for c in OBJECT_COLUMNS]
    # A count that is never above zero is one this system does not keep: its check could not fail.
    errors += [f"no {c} count: every sample says {samples[0][c]}" for c in OBJECT_COLUMNS
               if all(s[c] <= 0 for s in samples)]
    requests = site.requests()
    ticks = [tick_stats(requests, s, began_wall + warmup, ended_wall) for s in range(1, slots + 1)]
    title = (f"KORVA.exe under Wine: {slots} slot(s) at {INTERVAL_MS} ms, "
             + (f"Alt+E every {toggle_every:g} s" if toggle_every else "no Alt+E"))
    return Result(title, samples, began_wall, warmup, measured, memory, objects, ticks, toggles, errors)


def write_outputs(result, requests, out):
    out = Path(out)
    out.mkdir(parents=True, exist_ok=True)
    with open(out / "samples.csv", "w", newline="") as f:
        writer = csv.DictWriter(f, fieldnames=COLUMNS, extrasaction="ignore")
        writer.writeheader()
        writer.writerows(result.samples)
    with open(out / "ticks.csv", "w", newline="") as f:
        writer = csv.writer(f)
        writer.writerow(["time", "target", "status"])
        writer.writerows((f"{r.time:.3f}", r.target, r.status) for r in requests)
    (out / "summary.txt").write_text(result.report() + "\n")
    (out / "summary.json").write_text(json.dumps({
        "ok": result.ok, "warmup_s": result.warmup, "measured_s": result.measured, "toggles": result.toggles,
        "growth": [vars(g) for g in result.memory + result.objects], "ticks": [vars(t) for t in result.ticks],
        "errors": result.errors}, indent=1, default=str))
    plot(result, requests, out / "soak.png")


def plot(result, requests, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    xs = [s["elapsed_s"] for s in result.samples]
    fig, axes = plt.subplots(4, 1, figsize=(10, 12), sharex=True)
    for column in MEMORY_COLUMNS:
        axes[0].plot(xs, [s[column] / 1024 for s in result.samples], label=column.replace("_kib", ""))
    axes[0].set_ylabel("MiB")
    axes[0].set_title(result.title)
    axes[1].plot(xs, [s["kernel_handles"] for s in result.samples], label="kernel handles")
    axes[1].set_ylabel("handles")
    for column in ("gdi_objects", "user_objects"):
        axes[2].plot(xs, [s[column] for s in result.samples], label=column)
    axes[2].set_ylabel("objects")
    # Requests per slot per second, in 5 s bins, on the samples' clock.
    for slot in range(1, SLOTS + 1):
        bins = {}
        for r in requests:
            if r.target == slot_target(slot) and r.time >= result.began_wall:
                b = int((r.time - result.began_wall) // 5)
                bins[b] = bins.get(b, 0) + 1
        full = sorted(bins)[:-1]  # the last bin is cut short by the end of the run
        if not full:
            continue
        axes[3].plot([b * 5 + 2.5 for b in full], [bins[b] / 5 for b in full], label=f"slot {slot}")
    axes[3].set_ylabel("requests/s")
    axes[3].set_xlabel("seconds since all five slots were running (dotted: end of warm-up)")
    for ax in axes:
        ax.axvline(result.warmup, color="grey", linestyle=":")
        if ax.get_legend_handles_labels()[0]:  # a run without slots has no request lines
            ax.legend(loc="lower right", fontsize="small")
        ax.grid(alpha=0.3)
    fig.tight_layout()
    fig.savefig(path, dpi=90)
    plt.close(fig)


# --------------------------------------------------------------------------------------------
# The long command


def main():
    options = harness.parse_options(extra=lambda p: (
        p.add_argument("--minutes", type=float, default=11.0,
                       help="whole run; the first minute is warm-up and left out of the growth checks"),
        p.add_argument("--out", type=Path, default=Path("soak-out"), help="where the CSVs, plot and summary go"),
        p.add_argument("--slots", type=int, default=SLOTS, choices=range(0, SLOTS + 1),
                       help="how many slots run (fewer: to tell which part of the load a growth comes from)"),
        p.add_argument("--toggle-every", type=float, default=TOGGLE_EVERY, help="seconds between Alt+E presses; 0: none")))
    # A kill of the run still ends in the clean-up below, so no Wine or server outlives it.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    duration = options.minutes * 60
    warmup = min(60.0, duration / 4)
    workdir = Path(tempfile.mkdtemp(prefix="pagetide-soak-"))
    env = maker = site = driver = None
    try:
        env = harness.WineEnv(workdir)
        # The update check asks the maker's site for its version document; an empty site has none
        # to offer, so the program stays as it is.
        (workdir / "maker").mkdir()
        maker = harness.Nginx(harness.MAKER_PORT, workdir / "maker", workdir)
        site = slot_site(workdir)
        driver = harness.Driver(env, options.tools, workdir)
        harness.log(f"soaking for {duration:.0f} s, warm-up {warmup:.0f} s")
        result = soak(driver, site, options.stage, workdir, duration, warmup, slots=options.slots,
                      toggle_every=options.toggle_every)
        write_outputs(result, site.requests(), options.out)
        print(result.report(), flush=True)
        harness.log(f"wrote {options.out.resolve()}")
        sys.exit(0 if result.ok else 1)
    finally:
        for server in (driver, site, maker):
            if server is not None:
                (server.quit if server is driver else server.stop)()
        if env is not None:
            env.close()
        if options.keep:
            harness.log(f"kept {workdir}")
        else:
            shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    main()
