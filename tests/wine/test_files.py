#!/usr/bin/python3
"""The real file system under Wine against the table of cases that the unit tests run against the
in-memory fake (tests/files_cases.h, run by tools/filescheck.exe), so the two cannot drift apart."""

import re
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import harness  # noqa: E402


def filescheck(env, options, directory):
    proc = env.wine_popen([str(Path(options.tools) / "filescheck.exe"), directory],
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    out, _ = proc.communicate(timeout=300)
    return proc.returncode, out.decode("gbk", errors="replace").replace("\r\n", "\n")


def check(env, options, directory):
    code, out = filescheck(env, options, directory)
    print(out, end="", flush=True)
    summary = re.search(r"^(\d+) passed, (\d+) failed$", out, re.M)
    assert summary, f"no summary from filescheck (exit {code})"
    passed, failed = int(summary[1]), int(summary[2])
    assert passed > 0 and failed == 0 and code == 0, f"{passed} passed, {failed} failed, exit {code}"


def test_the_cases_hold_on_the_unix_drive(env, options, workdir):
    root = Path(workdir) / "files"
    root.mkdir()
    check(env, options, harness.windows_path(root))


def test_the_cases_hold_on_drive_c_under_a_folder_with_a_blank(env, options):
    root = harness.PREFIX / "drive_c" / "files check"
    root.mkdir(exist_ok=True)
    try:
        check(env, options, "C:\\files check")
    finally:
        subprocess.run(["rm", "-rf", str(root)], check=False)


if __name__ == "__main__":
    harness.run(globals())
