#!/usr/bin/python3
"""Closing data\\update.exe at random moments of its life under Wine: during the start-up pause,
just after the download is set up, in the middle of the transfer and near its end.

Each time the updater must end with code 0 within 1.5 s of the close and install nothing: the
program is not started again and the installed tree stays byte-identical (only the download's own
folder, data\\time, may hold leftovers). One case is no fault: a close that arrives after the
transfer has ended finds the installation under way, which refuses the close and finishes; such
runs are recognised by the relaunch and counted apart, and must then have installed wholly.

The moments come from a seeded random generator; the seed is printed, and PAGETIDE_CLOSE_SEED
repeats a run."""

import os
import random
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import harness  # noqa: E402
from harness import fixture  # noqa: E402
from test_updater_faults import (START_LINE, Updater, installed, new_entries, program_copy, tree,  # noqa: E402
                                 zip_of, differences)

PORT = 18973
RUNS = 20
RATE = 100_000  # per connection: five pieces of the package take about 3 s
KINDS = ("start-up pause", "just set up", "mid-transfer", "near the end")
CLOSE_LIMIT = 1.5


@fixture
def entries(options):
    return new_entries(options.tools, 1400 * 1024)


def bar_position(driver, window):
    """The visible bar's position, None while the row shows none."""
    for c in driver.children(window["hwnd"]):
        if c["class"].lower() == "msctls_progress32" and c["visible"] and "pos" in c:
            return c["pos"]
    return None


def wait_for_moment(driver, updater, kind, u):
    """Waits until the moment of `kind` given by u in [0, 1); a description of where it landed."""
    window = updater.window
    if kind == "start-up pause":
        time.sleep(0.9 * u)
        phase = "log still empty" if not updater.driver.text(updater.edit) else "set up already"
        return f"{time.monotonic() - updater.started:.2f} s after the start, {phase}"
    if kind == "just set up":
        harness.wait_until(lambda: updater.driver.text(updater.edit).startswith(START_LINE), 30,
                           what="the set-up line")
        time.sleep(0.3 * u)
        return f"{time.monotonic() - updater.started:.2f} s after the start, {0.3 * u:.2f} s after set-up"
    # Mid-transfer anywhere from 10 to 80 % of the bar; near the end from 90 % on, and up to 400 ms
    # later still (the last 5 % take about 200 ms), which reaches past the end of the transfer now
    # and then.
    goal = 10 + 70 * u if kind == "mid-transfer" else 90 + 9 * u
    seen = harness.wait_until(lambda: (p := bar_position(driver, window)) is not None and p >= goal and p,
                              60, interval=0.01, what=f"the bar at {goal:.0f} %")
    if kind == "near the end":
        time.sleep(0.4 * u)
        return f"bar {seen} % (goal {goal:.0f} %), then {0.4 * u * 1000:.0f} ms"
    return f"bar {seen} % (goal {goal:.0f} %)"


def test_closing_at_random_moments_ends_at_once_and_installs_nothing(driver, options, workdir, entries):
    seed = int(os.environ.get("PAGETIDE_CLOSE_SEED", time.time_ns() % 2**32))
    print(f"seed {seed} (PAGETIDE_CLOSE_SEED={seed} repeats these moments)", flush=True)
    rng = random.Random(seed)
    plan = [KINDS[i % len(KINDS)] for i in range(RUNS)]
    rng.shuffle(plan)
    package = zip_of(entries)
    server = harness.BodyServer(PORT, package, behaviour="ranges", rate=RATE)
    results, failures = [], []
    try:
        for number, kind in enumerate(plan, 1):
            u = rng.random()
            target = program_copy(options, workdir, f"close {number}")
            before = tree(target)
            updater = Updater(driver, target, f"http://127.0.0.1:{PORT}/KORVA.zip")
            where = wait_for_moment(driver, updater, kind, u)
            closed = time.monotonic()
            try:
                driver.close(updater.window["hwnd"])
                posted = True
            except harness.DriverError:
                posted = False  # the window had gone already: the installation ended the process
            code = driver.wait_exit(30, updater.pid)
            took = time.monotonic() - closed
            time.sleep(0.5)  # a relaunch writes its file at once
            relaunched = list(target.glob("cmdline-*.bin"))
            after = tree(target)
            if relaunched:
                outcome = ("installed (the close came while it installed)" if posted
                           else "installed (it had ended before the close)")
                expected = installed(before, entries, ())
                if code != 0 or after != expected or len(relaunched) != 1:
                    failures.append((number, kind, "a late close left a broken installation", hex(code),
                                     differences(after, expected)))
            else:
                outcome = "stopped"
                # What the stop leaves in data\time is the partial file under its own name, never a
                # file that a later installation could take for the package.
                package_left = (target / "data" / "time" / "temp1.zip").exists()
                if code != 0 or took > CLOSE_LIMIT or after != before or package_left:
                    failures.append((number, kind, where, hex(code), f"{took:.2f} s", differences(after, before),
                                     "temp1.zip left" if package_left else ""))
            results.append((kind, outcome, took))
            print(f"CLOSE {number:2} {kind:15} {where}: exit {code} {took:.2f} s after the close, {outcome}",
                  flush=True)
    finally:
        server.stop()

    stopped = [t for _, outcome, t in results if outcome == "stopped"]
    late = [outcome for _, outcome, _ in results if outcome != "stopped"]
    print(f"{len(stopped)} stopped (slowest exit {max(stopped, default=0):.2f} s after the close), "
          f"{len(late)} installed because the transfer had ended first: "
          f"{late.count('installed (the close came while it installed)')} closed while installing, "
          f"{late.count('installed (it had ended before the close)')} ended before the close", flush=True)
    assert not failures, failures
    # Most moments fall inside the transfer; were almost all of them late, the test would prove nothing.
    assert len(stopped) >= RUNS * 3 // 4, results


if __name__ == "__main__":
    harness.run(globals())
