#!/usr/bin/python3
"""The run time's hand-over of work onto the window's thread, on the real window layer under Wine:
whole lines from several threads, feedback raised synchronously from a worker, and a close that
frees a worker blocked in an update. The checks run inside tools/handover.exe, which reports them."""

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import harness  # noqa: E402


def test_handover_on_the_real_window(driver, options, workdir):
    result = Path(workdir) / "handover.txt"
    tool = harness.windows_path(Path(options.tools) / "handover.exe")
    pid = driver.start(f'"{tool}" "{harness.windows_path(result)}"')
    code = driver.wait_exit(60, pid)
    lines = result.read_text().splitlines() if result.exists() else []
    print("\n".join(lines))
    assert lines and lines[-1] == "5 passed, 0 failed", lines
    assert code == 0, code
    assert [line.split()[1] for line in lines[:-1]] == [
        "lines_arrive_whole", "work_runs_on_the_window_thread", "feedback_runs_on_the_window_thread",
        "feedback_returns_after_its_handler", "close_frees_a_blocked_worker"], lines


if __name__ == "__main__":
    harness.run(globals())
