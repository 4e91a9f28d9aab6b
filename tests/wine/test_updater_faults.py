#!/usr/bin/python3
"""data\\update.exe under Wine against every fault of the download and of the package it can meet.

Each row runs the real updater, started with the refresher's hand-off command line, over a private
copy of the program in a folder with a blank in its name, and asks of it what a user relies on:
  - the transfer ends exactly once;
  - the updater ends with code 0 (no crash);
  - the program is started again (the program here is tools/recorder.exe, which leaves a
    cmdline-*.bin file beside itself);
  - the installed tree is wholly new or byte-identical to before, file by file; only the
    download's own folder, data\\time, may hold something more.

How "exactly once" is seen: the updater's log box cannot show the end of a failed transfer to an
outside reader, because the line is appended on the window's thread just before the installation
takes that thread to the end of the process, without a message served in between. So the same
fault is also served, at the same time and under another path, to tools/dlget.exe, the same
component with the updater's settings, which prints every event: it must print exactly one
TransferFinished ("event 4"), last, and end the way the row expects. The updater's log, read from
outside while it runs, must never show more than one end line, and the relaunch must come once.
"""

import io
import os
import re
import shutil
import socket
import struct
import sys
import threading
import time
import zipfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import harness  # noqa: E402
from harness import fixture, wait_until  # noqa: E402
from test_download import check_events, dlget  # noqa: E402

PORT = 18971
SILENT_PORT = 18972
TITLE = "页潮更新"
START_LINE = "执行下载任务1"
FINISHED_LINE = " #传送常量.下载上传结束"
UNRESOLVABLE = "http://nonexistent.invalid/KORVA.zip"
OLD_MARK, NEW_MARK = b"\0build 1.1\0", b"\0build 1.2\0"
COMPLETE, FAILED = 0, 1  # value2 of TransferFinished


class FaultServer(harness.BodyServer):
    """BodyServer with three more ways to misbehave:
      "reset-once"  like "ranges", but the first response for each path that crosses `cut` ends
                    there with a TCP reset; every later response is whole
      "no-length"   200 with the whole body, neither Content-Length nor Accept-Ranges: the close
                    ends the body
      "short"       200 announcing the whole body (no Accept-Ranges), closed after `cut` bytes
    The others are BodyServer's own."""

    OWN = ("reset-once", "no-length", "short")

    def __init__(self, port, body, behaviour="ranges", cut=None, rate=None):
        self.reset_paths = set()  # before the listener starts
        super().__init__(port, body, behaviour, cut, rate)

    def _serve(self, conn):
        if self.behaviour not in self.OWN:
            return super()._serve(conn)
        target, asked, status, first, last, sent = "", "", 0, 0, -1, 0
        begun = time.time()
        try:
            conn.settimeout(60)
            request = self.read_head(conn)
            if request is None:
                return
            text, target, asked = request
            size = len(self.body)
            headers = ["Connection: close", "Content-Type: application/zip"]
            wanted = self._range(text, size) if self.behaviour == "reset-once" else None
            if self.behaviour == "reset-once":
                headers += ['ETag: "body-1"', "Accept-Ranges: bytes"]
            if wanted:
                status, (first, last) = 206, wanted
                headers.append(f"Content-Range: bytes {first}-{last}/{size}")
            else:
                status, first, last = 200, 0, size - 1
            if self.behaviour != "no-length":
                headers.append(f"Content-Length: {last - first + 1}")
            with self._lock:
                self.answering[conn] = harness.ServedRequest(begun, None, target, asked, status, first, last, 0)
            line = "HTTP/1.1 206 Partial Content" if status == 206 else "HTTP/1.1 200 OK"
            conn.sendall(("\r\n".join([line] + headers) + "\r\n\r\n").encode())
            crosses = first <= self.cut <= last and self.behaviour in ("short", "reset-once")
            sent = self._send(conn, first, self.cut if crosses else last + 1)
            if crosses and self.behaviour == "reset-once":
                # Decided on reaching the byte: a response given up before it does not use the reset.
                with self._lock:
                    reset = target not in self.reset_paths
                    self.reset_paths.add(target)
                if reset:
                    # Linger 0: close() sends RST, not FIN.
                    conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                else:
                    sent += self._send(conn, self.cut, last + 1)
        except OSError:
            pass
        finally:
            with self._lock:
                self.answering.pop(conn, None)
                self.served.append(harness.ServedRequest(begun, time.time(), target, asked, status, first, last, sent))
            try:
                conn.close()
            except OSError:
                pass


# --------------------------------------------------------------------------------------------
# Packages and trees


def zip_of(entries, damage=None):
    """A ZIP of (name, bytes) in order; names ending in "/" are folders. Names are stored as given."""
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as z:
        for name, data in entries:
            z.writestr(zipfile.ZipInfo(name, (2026, 12, 7, 10, 0, 0)), data,
                       compress_type=zipfile.ZIP_STORED if len(data) > 64 * 1024 else zipfile.ZIP_DEFLATED)
    return out.getvalue()


def new_entries(tools, blob_size, program=True):
    """A new version: the program (the recorder with another mark), a changed readme, a new blob, an
    empty folder. A small package may leave the program out; the old one is started then."""
    entries = [("KORVA.exe", (Path(tools) / "recorder.exe").read_bytes() + NEW_MARK)] if program else []
    return entries + [("data/readme.txt", "新版本说明\r\n".encode("gbk")),
                      ("data/blob.bin", os.urandom(blob_size)),
                      ("data/empty/", b"")]


def bad_crc(entries):
    """The package with one byte of data/blob.bin (stored, after KORVA.exe) flipped."""
    package = bytearray(zip_of(entries))
    with zipfile.ZipFile(io.BytesIO(bytes(package))) as z:
        info = z.getinfo("data/blob.bin")
    name_length, extra_length = struct.unpack_from("<HH", package, info.header_offset + 26)
    package[info.header_offset + 30 + name_length + extra_length + info.compress_size // 2] ^= 0x55
    return bytes(package)


def many_entries(count):
    return [(f"data/many/d{i // 100:02}/f{i:05}.txt", f"entry {i}\r\n".encode()) for i in range(count)]


def tree(root):
    """relative path -> bytes (files) or None (folders), without the download's folder and the
    recorder's files."""
    out = {}
    for path in sorted(Path(root).rglob("*")):
        rel = path.relative_to(root).as_posix()
        if rel == "data/time" or rel.startswith("data/time/") or (path.parent == Path(root)
                                                                   and path.name.startswith("cmdline-")):
            continue
        out[rel] = None if path.is_dir() else path.read_bytes()
    return out


def installed(before, entries, kept=()):
    """What the tree should be after the package's entries went over it; `kept` stay as before."""
    after = dict(before)
    for name, data in entries:
        parts = name.rstrip("/").split("/")
        for depth in range(1, len(parts)):
            after["/".join(parts[:depth])] = None
        if name not in kept:
            after[name.rstrip("/")] = None if name.endswith("/") else data
    return after


def differences(after, expected):
    added = sorted(set(after) - set(expected))
    missing = sorted(set(expected) - set(after))
    changed = sorted(n for n in set(after) & set(expected) if after[n] != expected[n])
    return {"added": added[:10], "missing": missing[:10], "changed": changed[:10]}


# --------------------------------------------------------------------------------------------
# One row


def folder_name(row):
    return re.sub(r"[^\w ,-]", "_", row)


def program_copy(options, workdir, name):
    """The stage in a folder with a blank, the program replaced by the recorder (marked as the old
    build), an old readme and a file the packages do not touch."""
    target = Path(workdir) / "rows" / folder_name(name) / "Page Tide"
    shutil.copytree(options.stage, target)
    (target / "KORVA.exe").write_bytes((Path(options.tools) / "recorder.exe").read_bytes() + OLD_MARK)
    (target / "data" / "readme.txt").write_bytes("旧版本说明\r\n".encode("gbk"))
    (target / "data" / "keep.txt").write_bytes(b"not in any package")
    return target


class Updater:
    """update.exe started with the hand-off command line; its log read from outside until it ends."""

    def __init__(self, driver, target, url):
        self.driver = driver
        exe = harness.windows_path(target / "data" / "update.exe")
        self.started = time.monotonic()
        self.pid = driver.start(f'"{exe}" qzmkhost_launcher {url} {TITLE} run KORVA.exe KORVA.zip 修正',
                                cwd=target / "data")
        self.window = driver.wait_window("*", "*", timeout=60, pid=self.pid)
        self.log = ""
        self.most_finished = 0
        edits = [c for c in driver.children(self.window["hwnd"]) if c["class"].lower() == "edit"]
        self.edit = edits[0]["hwnd"] if edits else None

    def read_log(self):
        try:
            text = self.driver.text(self.edit)
        except harness.DriverError:
            return  # the window is busy installing, or gone with the process
        self.log = text or self.log
        if text.count(FINISHED_LINE) and not self.most_finished:
            self.finished_seen = time.monotonic()
        self.most_finished = max(self.most_finished, text.count(FINISHED_LINE))

    def wait_exit(self, timeout):
        """The exit code, reading the log every 50 ms meanwhile; the time taken is self.seconds."""
        deadline = time.monotonic() + timeout
        while True:
            try:
                code = self.driver.wait_exit(0.05, self.pid)
                break
            except harness.DriverError:
                if time.monotonic() > deadline:
                    self.driver.kill(self.pid)
                    raise TimeoutError(f"update.exe still running after {timeout} s; log tail {self.log[-300:]!r}")
            self.read_log()
        self.ended = time.monotonic()
        self.seconds = self.ended - self.started
        return code


def run_row(driver, env, options, workdir, row, make_server, url_path, expect, end, timeout=150, prepare=None):
    """One row: the server made by make_server(), the updater and dlget on it at the same time.
    expect: (the package's entries, names that must keep their old bytes) or "same".
    prepare(target) changes the copy of the program before its tree is taken."""
    target = program_copy(options, workdir, row)
    if prepare:
        prepare(target)
    before = tree(target)
    server = make_server()
    base = f"http://127.0.0.1:{server.port}" if server else None
    url = f"{base}/{url_path}" if server else url_path
    dl_url = f"{base}/dlget/{url_path}" if server else url_path
    save = Path(workdir) / "dlget" / folder_name(row) / "temp1.zip"
    save.parent.mkdir(parents=True)
    dl = {}
    worker = threading.Thread(
        target=lambda: dl.update(run=dlget(env, options, workdir, dl_url, save, deadline=timeout)))
    try:
        worker.start()
        updater = Updater(driver, target, url)
        code = updater.wait_exit(timeout)
        worker.join(timeout + 60)
    finally:
        if server:
            server.stop()
    run = dl["run"]

    assert code == 0, (row, "exit code", hex(code))
    check_events(run, row)
    assert run.events[-1][1] == end, (row, "TransferFinished says", run.events[-1], "expected", end)
    # A fast failure may end the process before a read of the log gets through at all.
    assert not updater.log or updater.log.startswith(START_LINE), (row, updater.log[:100])
    assert updater.most_finished <= 1, (row, "end lines in the log", updater.most_finished)
    recorded = wait_until(lambda: list(target.glob("cmdline-*.bin")), 15, what=f"{row}: the program started again")
    time.sleep(0.2)
    assert len(list(target.glob("cmdline-*.bin"))) == 1, (row, "started more than once")
    assert recorded[0].read_bytes().decode("gbk") == f'"{harness.windows_path(target / "data")}\\..\\KORVA.exe"'

    # The tree may differ there, yet nothing is left: the package is deleted after the installation,
    # and a failed task removes its partial file.
    leftovers = sorted(p.name for p in (target / "data" / "time").iterdir())
    assert not leftovers, (row, "left in data\\time", leftovers)
    after = tree(target)
    if expect == "same":
        assert after == before, (row, "the tree changed", differences(after, before))
    else:
        entries, kept = expect
        wanted = installed(before, entries, kept)
        assert after == wanted, (row, "not wholly installed", differences(after, wanted))
    seen = "its end line" if updater.most_finished else "no end line" if updater.log else "nothing"
    outcome = "same" if expect == "same" else "new"
    print(f"ROW {row}: updater {updater.seconds:.1f} s, exit 0, relaunched, tree {outcome};"
          f" dlget: TransferFinished once, end {run.events[-1][1]}, after {run.finished['ms']} ms;"
          f" the log read from outside showed {seen}", flush=True)
    return updater, run, server, target


# --------------------------------------------------------------------------------------------
# Download faults


@fixture
def big_entries(options):
    """Enough for five pieces (four times a quarter MB and more) and a new program."""
    return new_entries(options.tools, 1600 * 1024)


@fixture
def small_entries(options):
    return new_entries(options.tools, 20 * 1024, program=False)


def test_a_reset_in_each_of_the_five_ranges_is_retried_and_installs(driver, env, options, workdir, big_entries):
    package = zip_of(big_entries)
    for piece in range(5):
        # Amid the piece the engine gives the i-th connection: [size * i / 5, size * (i + 1) / 5).
        cut = len(package) * (2 * piece + 1) // 10
        _, _, server, _ = run_row(driver, env, options, workdir, f"reset in range {piece + 1}",
                               lambda: FaultServer(PORT, package, "reset-once", cut=cut, rate=400_000),
                               "KORVA.zip", (big_entries, ()), COMPLETE)
        served = [r for r in server.requests() if r.target == "/KORVA.zip"]
        reset = [r for r in served if r.first <= cut <= r.last and r.sent == cut - r.first]
        assert len(reset) == 1 and (piece == 0 or reset[0].status == 206), (piece, "the reset response", served)
        print(f"  reset at byte {cut} of {len(package)}; requests (range, status, bytes sent): "
              + ", ".join(f"({r.range or 'whole'}, {r.status}, {r.sent})" for r in served), flush=True)


def test_servers_that_ignore_range_or_give_no_length_still_install(driver, env, options, workdir, big_entries):
    package = zip_of(big_entries)
    rows = (("Range ignored", "ignore-range"), ("Range advertised, then ignored", "lie-range"),
            ("no length", "no-length"))
    for row, behaviour in rows:
        run_row(driver, env, options, workdir, row, lambda: FaultServer(PORT, package, behaviour, rate=1_000_000),
                "KORVA.zip", (big_entries, ()), COMPLETE)


def test_failed_downloads_leave_the_program_as_it_was(driver, env, options, workdir, small_entries):
    package = zip_of(small_entries)
    rows = [
        ("404", lambda: FaultServer(PORT, package, "404")),
        ("500", lambda: FaultServer(PORT, package, "500")),
        ("body shorter than announced", lambda: FaultServer(PORT, package, "short", cut=len(package) * 2 // 3)),
        ("unresolvable host", lambda: None),
        ("silent server", lambda: harness.SilentServer(SILENT_PORT)),
    ]
    for row, make in rows:
        path = UNRESOLVABLE if row == "unresolvable host" else "KORVA.zip"
        run_row(driver, env, options, workdir, row, make, path, "same", FAILED)


def test_a_very_slow_server_completes(driver, env, options, workdir, small_entries):
    package = zip_of(small_entries)
    _, run, _, _ = run_row(driver, env, options, workdir, "very slow server (3 KB/s)",
                           lambda: FaultServer(PORT, package, "ranges", rate=3000),
                           "KORVA.zip", (small_entries, ()), COMPLETE)
    assert run.finished["ms"] >= len(package) / 3000 * 1000 * 0.8, (run.finished, len(package))


# --------------------------------------------------------------------------------------------
# Package faults: served correctly, the package itself is bad


TRAVERSALS = ["../pagetide-fault-up.txt", "a/../../pagetide-fault-climb.txt", "/pagetide-fault-abs.txt",
              "C:/pagetide-fault-drive.txt", "C:pagetide-fault-relative.txt", "\\pagetide-fault-root.txt"]


def outside_places(target):
    """Where an entry that escaped would land: the folders above the target, the Unix root (Wine's
    Z:), the C: drive's root and the system folder (current folder of drive C:)."""
    drive_c = harness.PREFIX / "drive_c"
    return [target.parent, target.parent.parent, Path("/"), drive_c, drive_c / "windows",
            drive_c / "windows" / "system32"]


def escaped(target):
    return [p for place in outside_places(target) for p in place.glob("pagetide-fault-*")]


def test_bad_packages_change_nothing_and_the_program_still_starts(driver, env, options, workdir, small_entries):
    good = zip_of(small_entries)
    rows = [("truncated", good[:len(good) * 2 // 3]),
            ("bad CRC", bad_crc(small_entries)),
            ("not a ZIP", b"<html><body>The page you asked for is not here.</body></html>\r\n" * 40),
            ("empty file", b"")]
    # Each traversal among good entries: a package that installs what comes before it would show.
    for name in TRAVERSALS:
        rows.append((f"traversal {name}", zip_of(small_entries[:2] + [(name, b"escaped")] + small_entries[2:])))
    for row, package in rows:
        if row.startswith("traversal"):
            with zipfile.ZipFile(io.BytesIO(package)) as z:
                assert row[len("traversal "):] in z.namelist(), z.namelist()  # stored as given
        target = run_row(driver, env, options, workdir, row, lambda: FaultServer(PORT, package, "ranges"),
                         "KORVA.zip", "same", COMPLETE)[3]
        assert not escaped(target), (row, escaped(target))


def test_ten_thousand_entries_install_wholly(driver, env, options, workdir, small_entries):
    entries = small_entries + many_entries(10_000)
    package = zip_of(entries)
    updater, run, _, _ = run_row(driver, env, options, workdir, "10,000 entries",
                              lambda: FaultServer(PORT, package, "ranges"), "KORVA.zip", (entries, ()), COMPLETE,
                              timeout=300)
    # The copy lets the window answer once per folder, so the end line is read while it installs.
    installing = f"{updater.ended - updater.finished_seen:.1f} s" if updater.most_finished else "not seen"
    print(f"  10,000 entries ({len(package)} bytes): update.exe ran {updater.seconds:.1f} s in all; from the"
          f" log's end line to the exit (the installation, at least): {installing}", flush=True)


def test_a_read_only_file_keeps_its_bytes_and_the_rest_installs(driver, env, options, workdir, small_entries):
    entries = small_entries + [("data/locked.txt", b"new bytes")]
    package = zip_of(entries)

    def lock(target):
        locked = target / "data" / "locked.txt"
        locked.write_bytes(b"old bytes")
        os.chmod(locked, 0o444)  # Wine's read-only attribute

    target = run_row(driver, env, options, workdir, "read-only target", lambda: FaultServer(PORT, package, "ranges"),
                     "KORVA.zip", (entries, ("data/locked.txt",)), COMPLETE, prepare=lock)[3]
    assert not (target / "data" / "locked.txt").stat().st_mode & 0o222, "no longer read-only"


if __name__ == "__main__":
    harness.run(globals())
