"""Running one console tool of tests/wine/tools under Wine and measuring it from outside.

The tool's own process is the `wine` command's (the loader execs in place), so wait4() gives its
CPU time and peak memory. wineserver works for it too (every wait, every handle look-up), so its
CPU time over the run is counted as well.
"""

import os
import subprocess
import sys
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "tests" / "wine"))

import harness  # noqa: E402,F401  (re-exported for the benchmarks)


def _wineserver_pid(prefix):
    for entry in Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            if not (entry / "comm").read_text().strip().startswith("wineserver"):
                continue
            environ = (entry / "environ").read_bytes().split(b"\0")
        except OSError:
            continue
        if f"WINEPREFIX={prefix}".encode() in environ:
            return int(entry.name)
    return None


def _cpu_seconds(pid):
    if pid is None:
        return 0.0
    try:
        fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    except OSError:
        return 0.0
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")  # utime + stime


class ToolRun:
    """The tool's output lines, its exit code, CPU seconds (own and wineserver's), peak RSS in MB."""

    def __init__(self, lines, returncode, cpu, server_cpu, peak_mb, seconds):
        self.lines, self.returncode = lines, returncode
        self.cpu, self.server_cpu, self.peak_mb, self.seconds = cpu, server_cpu, peak_mb, seconds

    def field(self, kind, name):
        """An integer `name=` field of the first output line starting with `kind`."""
        for line in self.lines:
            parts = line.split()
            if parts and parts[0] == kind:
                for p in parts[1:]:
                    key, _, value = p.partition("=")
                    if key == name:
                        return int(value)
        raise KeyError(f"no {kind} {name}= in {self.lines[-3:]}")


def run_tool(env, exe, args, timeout=600):
    server = _wineserver_pid(env.env["WINEPREFIX"])
    server_before = _cpu_seconds(server)
    started = time.monotonic()
    proc = env.wine_popen([str(exe)] + [str(a) for a in args], stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    lines = []
    deadline = started + timeout
    for raw in proc.stdout:
        lines.append(raw.decode("latin-1").strip())
        if time.monotonic() > deadline:
            proc.kill()
            break
    _, status, usage = os.wait4(proc.pid, 0)
    proc.returncode = os.waitstatus_to_exitcode(status)
    seconds = time.monotonic() - started
    server = server or _wineserver_pid(env.env["WINEPREFIX"])
    return ToolRun(lines, proc.returncode, usage.ru_utime + usage.ru_stime,
                   max(0.0, _cpu_seconds(server) - server_before), usage.ru_maxrss / 1024, seconds)
