#!/usr/bin/python3
"""The download component under Wine against real servers on loopback.

tools/dlget.exe runs one task of the real component (the engine over WinINet, the files through the
Windows System) and prints the events it raises (DataReceived as a running count); the servers'
logs say what went over the wire.
"""

import hashlib
import os
import subprocess
import sys
import time
from collections import Counter, namedtuple
from contextlib import contextmanager
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import harness  # noqa: E402

HTTP_PORT = harness.MAKER_PORT
FTP_PORT = 18934
REFUSED_PORT = 18936
HTTPS_PORT = 18935
WRONG_NAME_PORT = 18939

TRANSFER_FINISHED = 4
END_COMPLETE, END_FAILED = 0, 1  # value2 of TransferFinished
RECEIVE_BLOCK = 20480

Run = namedtuple("Run", "events data finished stopped returncode seconds")


def dlget(env, options, workdir, url, save_path, threads=5, speed_limit=0, receive_timeout=10000,
          deadline=120, stop_after_bytes=None, login=None):
    """Runs dlget.exe to its end: the events other than DataReceived, the summary of those ("data"),
    and the "finished" or "stopped" line. stop_after_bytes: send "stop" once that much has come."""
    exe = Path(options.tools) / "dlget.exe"
    if not exe.exists():
        raise FileNotFoundError(f"{exe} is missing: build the win32-test preset with BUILD_WINE_TOOLS")
    started = time.monotonic()
    credentials = [f"--ftp-user={login[0]}", f"--ftp-password={login[1]}"] if login else []
    proc = env.wine_popen([str(exe)] + credentials + [url, harness.windows_path(save_path), str(threads), str(speed_limit),
                           str(receive_timeout), str(deadline)],
                          stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                          stderr=open(Path(workdir) / "dlget.stderr", "ab"))
    events, lines = [], {}
    try:
        for raw in proc.stdout:
            fields = raw.decode("latin-1").split()
            if not fields:
                continue
            if fields[0] == "event":
                events.append(tuple(int(v) for v in fields[1:6]))
                continue
            values = {k: int(v) for k, v in (f.split("=") for f in fields[1:] if "=" in f)}
            lines[fields[0]] = values
            if fields[0] == "progress" and stop_after_bytes is not None and values["bytes"] >= stop_after_bytes:
                proc.stdin.write(b"stop\n")
                proc.stdin.flush()
                stop_after_bytes = None
        returncode = proc.wait(deadline + 60)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    return Run(events, lines.get("data"), lines.get("finished"), lines.get("stopped"), returncode,
               time.monotonic() - started)


def check_events(run, label):
    """What every task owes its owner: TransferFinished last and exactly once, data in blocks no
    larger than the receive block."""
    assert run.finished is not None and run.returncode == 0, (label, run.returncode, run.finished, run.events[-5:])
    codes = [e[0] for e in run.events]
    assert codes.count(TRANSFER_FINISHED) == 1, (label, "TransferFinished count", codes.count(TRANSFER_FINISHED))
    assert codes[-1] == TRANSFER_FINISHED, (label, "events after TransferFinished", run.events[-5:])
    assert run.data["late"] == 0, (label, "DataReceived after TransferFinished", run.data)
    assert run.data["largest"] <= RECEIVE_BLOCK, (label, "a block larger than the receive block", run.data)


def check_complete(run, save_path, data, label):
    check_events(run, label)
    assert save_path.exists(), f"{label}: nothing at the save path"
    got = save_path.read_bytes()
    assert len(got) == len(data), (label, "size", len(got), len(data))
    assert hashlib.sha256(got).digest() == hashlib.sha256(data).digest(), f"{label}: the bytes differ"
    assert run.data["bytes"] == len(data), (label, "DataReceived bytes", run.data, len(data))
    assert run.finished["bytes"] == len(data), (label, "TransferFinished value3", run.finished)
    assert run.events[-1][1] == END_COMPLETE, (label, "TransferFinished value2", run.events[-1])
    leftovers = sorted(p.name for p in save_path.parent.iterdir() if p != save_path)
    assert not leftovers, (label, "files left beside the package", leftovers)


def check_no_package(run, save_path, size, label):
    """A task that failed says so (run None: a stopped one need not), and leaves nothing at the save
    path that could pass for the package."""
    assert run is None or run.events[-1][1] == END_FAILED, (label, "TransferFinished does not say the task failed", run.events[-1])
    if save_path.exists():
        assert save_path.stat().st_size != size, f"{label}: a full-size file at the save path"


def target_dir(workdir, name):
    path = Path(workdir) / "saved" / name
    path.mkdir(parents=True)
    return path


@contextmanager
def serving(server):
    try:
        yield server
    finally:
        server.stop()


def overlap(intervals):
    """The largest number of (start, end) intervals open at one moment."""
    edges = sorted([(s, 1) for s, _ in intervals] + [(e, -1) for _, e in intervals])
    best = now = 0
    for _, step in edges:
        now += step
        best = max(best, now)
    return best


def byte_ranges(requests, size):
    """(first, last) of each "bytes=a-b" / "bytes=a-" request; a request without Range is (0, size - 1)."""
    out = []
    for r in requests:
        first, _, last = (r.range or "bytes=0-")[len("bytes="):].partition("-")
        out.append((int(first), int(last) if last else size - 1))
    return out


def covered(ranges, size):
    """True when the ranges together cover [0, size) without a gap."""
    reach = 0
    for first, last in sorted(ranges):
        if first > reach:
            return False
        reach = max(reach, last + 1)
    return reach >= size


# --------------------------------------------------------------------------------------------
# Tests


def test_fifty_megabytes_over_five_ranged_connections(env, options, workdir):
    data = os.urandom(50 * 1024 * 1024)
    root = Path(workdir) / "site-http"
    root.mkdir()
    # The address comes from the maker's GBK version document, and the programs work in GBK: the
    # name goes out as its GBK bytes, and the file lands in a folder with a Chinese name.
    with open(os.fsencode(root) + b"/" + "页潮1.2.zip".encode("gbk"), "wb") as f:
        f.write(data)
    save = target_dir(workdir, "下载") / "temp1.zip"
    with serving(harness.RangeNginx(HTTP_PORT, root, workdir)) as site:
        run = dlget(env, options, workdir, f"http://127.0.0.1:{HTTP_PORT}/页潮1.2.zip", save)
        check_complete(run, save, data, "50 MB over HTTP")
        requests = [r for r in site.requests() if r.target == "/\\xD2\\xB3\\xB3\\xB11.2.zip"]
        assert requests, [r.target for r in site.requests()]
    # A request without Range (the first, which learns the length) reads from byte 0 on.
    assert all(r.status == (206 if r.range else 200) for r in requests), [(r.range, r.status) for r in requests]
    spans = byte_ranges(requests, len(data))
    assert len({first for first, _ in spans}) >= 5, ("fewer than 5 distinct pieces", spans)
    assert covered(spans, len(data)), ("the pieces leave a gap", sorted(spans))
    assert overlap([(r.start, r.end) for r in requests]) >= 5, ("never 5 connections at once",
                                                                [(r.start, r.end) for r in requests])
    print(f"50 MB: {run.finished['ms']} ms ({len(data) / run.finished['ms'] / 1000:.1f} MB/s), "
          f"{len(requests)} requests, {len(set(r.connection for r in requests))} nginx connections", flush=True)


def test_ftp_file_arrives_whole(env, options, workdir):
    data = os.urandom(6 * 1024 * 1024 + 12345)
    root = Path(workdir) / "site-ftp"
    root.mkdir()
    (root / "pack age.zip").write_bytes(data)
    url = f"ftp://127.0.0.1:{FTP_PORT}/pack%20age.zip"

    save = target_dir(workdir, "ftp") / "temp1.zip"
    with serving(harness.FtpServer(FTP_PORT, root, workdir)) as server:
        run = dlget(env, options, workdir, url, save)
        check_complete(run, save, data, "FTP")
        commands = server.commands()

        # No such file: one answer, not a round of retries.
        missing = target_dir(workdir, "ftp-missing") / "temp1.zip"
        run_missing = dlget(env, options, workdir, f"ftp://127.0.0.1:{FTP_PORT}/missing.zip", missing)
        check_events(run_missing, "FTP, no such file")
        check_no_package(run_missing, missing, len(data), "FTP, no such file")
        tries = [c for c in server.commands() if c == "RETR /missing.zip"]
        assert len(tries) == 1, ("FTP, no such file: RETR count", len(tries))
    assert "USER anonymous" in commands, commands[:10]
    assert any(c.startswith("SIZE ") for c in commands), commands
    offsets = {int(c.split()[1]) for c in commands if c.startswith("REST ")}
    retrieved = [c for c in commands if c.startswith("RETR ")]
    assert len(offsets - {0}) >= 4, ("REST offsets", sorted(offsets))
    print(f"FTP: {run.finished['ms']} ms, {len(retrieved)} RETR, REST at {sorted(offsets)}", flush=True)

    # A server with one account: the record's user and password log in, a wrong password does not.
    with serving(harness.FtpServer(FTP_PORT, root, workdir, user="pagetide", password="s3cret")) as server:
        save = target_dir(workdir, "ftp-login") / "temp1.zip"
        run = dlget(env, options, workdir, url, save, login=("pagetide", "s3cret"))
        check_complete(run, save, data, "FTP with a log-in")
        assert "USER pagetide" in server.commands(), server.commands()[:10]
        logins = server.commands().count("USER pagetide")
        save = target_dir(workdir, "ftp-refused") / "temp1.zip"
        run = dlget(env, options, workdir, url, save, login=("pagetide", "wrong"))
        check_events(run, "FTP, wrong password")
        check_no_package(run, save, len(data), "FTP, wrong password")
        # A refused log-in is an answer too: tried once.
        assert server.commands().count("USER pagetide") - logins == 1, server.commands()[-10:]


def test_server_ignoring_range_still_yields_the_file(env, options, workdir):
    data = os.urandom(3 * 1024 * 1024 + 7)
    cases = [
        ("no Accept-Ranges", "ignore-range"),
        ("Accept-Ranges, yet 200 to every range", "lie-range"),
    ]
    for number, (label, behaviour) in enumerate(cases):
        save = target_dir(workdir, f"norange-{number}") / "temp1.zip"
        with serving(harness.BodyServer(HTTP_PORT, data, behaviour)) as server:
            run = dlget(env, options, workdir, f"http://127.0.0.1:{HTTP_PORT}/p.zip", save)
            check_complete(run, save, data, label)
            served = server.requests()
        # Range requests that come back whole may be tried; the whole entity is fetched once.
        whole = [r for r in served if not r.range]
        assert len(whole) == 1, (label, "requests without Range", len(whole),
                                 [(r.range or "whole", r.status, round(r.start % 100, 3)) for r in served])


def test_speed_limit_holds_each_connection(env, options, workdir):
    data = os.urandom(5 * 512 * 1024)  # five pieces above the engine's smallest
    limit = 100 * 1024  # bytes per second per connection
    save = target_dir(workdir, "limited") / "temp1.zip"
    with serving(harness.BodyServer(HTTP_PORT, data, "ranges")):
        run = dlget(env, options, workdir, f"http://127.0.0.1:{HTTP_PORT}/p.zip", save, speed_limit=limit)
    check_complete(run, save, data, "speed limit")
    # Five connections at the limit each: a limit on the whole task would take five times as long.
    ideal = len(data) / (5 * limit)
    seconds = run.finished["ms"] / 1000
    assert 0.9 * ideal <= seconds <= 1.5 * ideal, ("limited transfer took", seconds, "ideal", ideal)
    print(f"speed limit: {seconds:.2f} s for an ideal {ideal:.2f} s", flush=True)


def test_failures_end_once_without_a_package(env, options, workdir):
    data = os.urandom(2 * 1024 * 1024)
    cut = len(data) // 2 + 1234
    cases = [
        ("drops mid-body", "drop", True),
        ("goes silent mid-body", "silent", True),
        ("another ETag on every response", "new-etag", False),
        ("404", "404", False),
        ("500", "500", False),
    ]
    for number, (label, behaviour, retried) in enumerate(cases):
        save = target_dir(workdir, f"fail-{number}") / "temp1.zip"
        with serving(harness.BodyServer(HTTP_PORT, data, behaviour, cut=cut)) as server:
            run = dlget(env, options, workdir, f"http://127.0.0.1:{HTTP_PORT}/p.zip", save, receive_timeout=2000)
            served = server.requests()
        check_events(run, label)
        check_no_package(run, save, len(data), label)
        if retried:
            # Once the bytes before the fault are written, every further attempt starts at the same
            # place: at the fault, or (silent) where the last whole block that arrived ended.
            across = [r for r in served if r.status == 206 and r.first <= cut <= r.last]
            resumed = Counter(r.first for r in across).most_common(1)
            retries = sorted(r.start for r in across if resumed and r.first == resumed[0][0])
            assert len(retries) >= 2, (label, "the piece over the fault was not retried", served)
            gaps = [b - a for a, b in zip(retries, retries[1:])]
            assert min(gaps) >= 0.1, (label, "retries without a pause between them (s)", gaps)
        print(f"{label}: TransferFinished after {run.finished['ms']} ms; requests (range, status, bytes sent): "
              + ", ".join(f"({r.range or 'whole'}, {r.status}, {r.sent})" for r in served), flush=True)

    # Nothing listening at all (a port of its own: the servers above leave TIME_WAIT on theirs).
    save = target_dir(workdir, "refused") / "temp1.zip"
    with serving(harness.RefusingPort(REFUSED_PORT)):
        run = dlget(env, options, workdir, f"http://127.0.0.1:{REFUSED_PORT}/p.zip", save)
    check_events(run, "refused")
    check_no_package(run, save, len(data), "refused")


def test_stop_while_receiving_returns_within_the_wait(env, options, workdir):
    data = os.urandom(4 * 1024 * 1024)
    save = target_dir(workdir, "stop") / "temp1.zip"
    # 100 KB/s per connection: the task is surely busy, its connections blocked in reads, when told.
    with serving(harness.BodyServer(HTTP_PORT, data, "ranges", rate=100 * 1024)):
        run = dlget(env, options, workdir, f"http://127.0.0.1:{HTTP_PORT}/p.zip", save, stop_after_bytes=400 * 1024)
    assert run.stopped is not None, run
    assert run.stopped["result"] == 1, run.stopped
    # stopWait is 1000 ms in steps of 20; the sleeps of the steps may add a little.
    assert run.stopped["ms"] <= 1100, ("StopTask took", run.stopped["ms"])
    assert run.stopped["resume"] > 0, ("no resume data", run.stopped)
    codes = [e[0] for e in run.events]
    assert codes.count(TRANSFER_FINISHED) <= 1, codes[-5:]
    check_no_package(None, save, len(data), "stopped")
    print(f"stop: StopTask returned after {run.stopped['ms']} ms with {run.stopped['resume']} resume bytes",
          flush=True)


def make_authority(directory):
    """A certificate authority for this run and two server certificates it signs: one for
    127.0.0.1, one for another name. Returns (authority in DER, {name: (certificate, key)})."""
    directory.mkdir()

    def openssl(*args):
        subprocess.run(["openssl"] + list(args), cwd=directory, check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)

    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out", "ca.pem", "-days", "1",
            "-subj", "/CN=Download test authority", "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    openssl("x509", "-in", "ca.pem", "-outform", "der", "-out", "ca.der")
    servers = {}
    for name, alt in (("loopback", "DNS:127.0.0.1,IP:127.0.0.1"), ("other", "DNS:other.example")):
        (directory / f"{name}.ext").write_text(f"subjectAltName={alt}\nextendedKeyUsage=serverAuth\n"
                                                "basicConstraints=CA:FALSE\n")
        common = "127.0.0.1" if name == "loopback" else "other.example"
        openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", f"{name}.key", "-out", f"{name}.csr",
                "-subj", f"/CN={common}")
        openssl("x509", "-req", "-in", f"{name}.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial",
                "-out", f"{name}.pem", "-days", "1", "-extfile", f"{name}.ext")
        servers[name] = (directory / f"{name}.pem", directory / f"{name}.key")
    return directory / "ca.der", servers


def rootcert(env, options, action, der):
    exe = Path(options.tools) / "rootcert.exe"
    result = subprocess.run(["wine", str(exe), action, harness.windows_path(der)], env=env.env,
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=120)
    return result.stdout.decode().strip()


def test_https_trusts_its_own_authority_only_while_the_test_runs(env, options, workdir):
    data = os.urandom(5 * 1024 * 1024 + 99)
    root = Path(workdir) / "site-https"
    root.mkdir()
    (root / "package.zip").write_bytes(data)
    authority, servers = make_authority(Path(workdir) / "tls")
    url = f"https://127.0.0.1:{HTTPS_PORT}/package.zip"
    with serving(harness.RangeNginx(HTTPS_PORT, root, workdir, tls=servers["loopback"])) as site, \
            serving(harness.RangeNginx(WRONG_NAME_PORT, root, workdir, tls=servers["other"])) as wrong:
        # Not trusted yet: the handshake is refused, nothing is written.
        save = target_dir(workdir, "https-untrusted") / "temp1.zip"
        run = dlget(env, options, workdir, url, save)
        check_events(run, "untrusted authority")
        check_no_package(run, save, len(data), "untrusted authority")
        assert not site.requests(), ("a request went through an untrusted connection", site.requests())

        assert rootcert(env, options, "add", authority) == "added"
        try:
            save = target_dir(workdir, "https") / "temp1.zip"
            run = dlget(env, options, workdir, url, save)
            check_complete(run, save, data, "HTTPS")
            took = run.finished["ms"]
            pieces = {first for first, _ in byte_ranges(site.requests(), len(data))}
            assert len(pieces) >= 5, ("HTTPS pieces", site.requests())

            # Trusted authority, but the certificate names another host.
            save = target_dir(workdir, "https-wrong-name") / "temp1.zip"
            run = dlget(env, options, workdir, f"https://127.0.0.1:{WRONG_NAME_PORT}/package.zip", save)
            check_events(run, "wrong name")
            check_no_package(run, save, len(data), "wrong name")
            assert not wrong.requests(), ("a request went to a server of another name", wrong.requests())
        finally:
            assert rootcert(env, options, "remove", authority) == "removed"
        # And no longer trusted once removed.
        save = target_dir(workdir, "https-removed") / "temp1.zip"
        run = dlget(env, options, workdir, url, save)
        check_events(run, "authority removed")
        check_no_package(run, save, len(data), "authority removed")
    print(f"HTTPS: {len(data)} bytes in {took} ms", flush=True)


if __name__ == "__main__":
    harness.run(globals())
