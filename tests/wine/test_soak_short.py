#!/usr/bin/python3
"""A minute of the soak (soak.py) in the suite: KORVA.exe with all five slots at 100 ms and Alt+E
every few seconds. Every tick must reach the server near its time and no object count may climb.

Memory is judged here only against gross leaks: the program's heaps grow in steps of about 1 MiB,
so a minute cannot tell a slow leak from one step; the ten-minute soak judges it (soak.py)."""

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import harness  # noqa: E402
import soak  # noqa: E402
from harness import fixture  # noqa: E402

DURATION = 70.0
WARMUP = 20.0
# In the 50 measured seconds the slots tick 2500 times: a leak of 2 KiB a tick fails this.
GROSS_MEMORY_KIB = 4 * 1024
MIN_RATE = 0.6 * 1000 / soak.INTERVAL_MS


@fixture
def slots(env, workdir):
    site = soak.slot_site(workdir)
    yield site
    site.stop()


def test_a_minute_of_ticks_and_toggles(driver, maker, slots, options, workdir):
    result = soak.soak(driver, slots, options.stage, workdir, DURATION, WARMUP, memory_limit_kib=GROSS_MEMORY_KIB)
    print(result.report(), flush=True)
    soak.write_outputs(result, slots.requests(), Path(workdir) / "soak")  # kept with --keep
    assert not result.errors, result.errors

    # Each slot reloads on its own timer, hidden or shown.
    assert len(result.ticks) == soak.SLOTS
    slow = [t for t in result.ticks if t.rate < MIN_RATE]
    assert not slow, f"slots below {MIN_RATE:.0f} requests/s: {slow}"
    late = [t for t in result.ticks if t.median_ms > 1.5 * soak.INTERVAL_MS]
    assert not late, f"slots whose median period is off: {late}"
    assert result.toggles >= DURATION / soak.TOGGLE_EVERY - 1, f"only {result.toggles} Alt+E presses"

    grown = [g for g in result.objects + result.memory if not g.ok]
    assert not grown, f"grew: {grown}"


if __name__ == "__main__":
    harness.run(globals())
