#!/usr/bin/python3
"""The HTTP reader of the update check (tools/httpget.exe runs it) under Wine: it returns by its own
deadline against a server that accepts and never answers, and it caps a huge body."""

import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import harness  # noqa: E402

PORT = 18951
LIMIT = 1024 * 1024  # the reader's cap on a body


def httpget(env, options, url, deadline_ms, body_file=None):
    args = [str(Path(options.tools) / "httpget.exe"), url, str(deadline_ms), "httpget"]
    if body_file:
        args.append(harness.windows_path(body_file))
    started = time.monotonic()
    proc = env.wine_popen(args, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    out, _ = proc.communicate(timeout=120)
    fields = dict(part.split("=") for part in out.split())
    return int(fields["bytes"]), int(fields["ms"]), time.monotonic() - started


def test_returns_by_its_deadline_against_a_silent_server(env, options):
    server = harness.SilentServer(PORT)
    try:
        got, ms, _ = httpget(env, options, f"http://127.0.0.1:{PORT}/KORVA/data.xml", 2000)
    finally:
        server.stop()
    print(f"returned after {ms} ms with {got} bytes")
    assert server.accepted, "the reader never connected"
    assert got == 0, got
    assert 2000 <= ms < 2600, ms


def test_caps_a_huge_body(env, options, workdir):
    body = bytes(range(256)) * (3 * LIMIT // 256)  # 3 MiB
    server = harness.BodyServer(PORT, body, behaviour="ignore-range")
    saved = Path(workdir) / "body.bin"
    try:
        got, _, _ = httpget(env, options, f"http://127.0.0.1:{PORT}/big", 20000, saved)
    finally:
        server.stop()
    assert got == LIMIT, got
    assert saved.read_bytes() == body[:LIMIT]


if __name__ == "__main__":
    harness.run(globals())
