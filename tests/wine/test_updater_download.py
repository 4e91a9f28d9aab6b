#!/usr/bin/python3
"""data\\update.exe under Wine with a real download from a rate-limited server on loopback: the task
row (title, size, a bar running up to 100, a speed), the log, the end of the transfer, the
installation over the program's directory and the relaunch; and a close in the middle of it.

The package holds the recorder (tools/recorder.exe) as its "KORVA.exe", so the relaunch is seen as
the file the recorder writes beside itself. The installation goes into a folder with a blank in its
name."""

import io
import os
import re
import shutil
import sys
import time
import zipfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import harness  # noqa: E402
from harness import fixture, wait_until  # noqa: E402

PORT = 18952
TITLE = "页潮更新"
CAPTION_START = "Fetchwell | "
RECEIVED = " #传送常量.收到数据"
KNOWN_LINES = {" #传送常量.下载上传开始", " #传送常量.下载上传结束", RECEIVED, " #传送常量.下载数据范围",
               " #传送常量.下载线程继续下载", " #传送常量.线程正常结束", " #传送常量.线程异常结束"}


@fixture
def package(options):
    """A package as the maker ships one: the program at the root, more of its files under data."""
    blob = os.urandom(1600 * 1024)  # does not compress: enough for five pieces of a quarter MB and more
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as z:
        z.write(Path(options.tools) / "recorder.exe", "KORVA.exe")
        z.writestr("data/readme.txt", "新版本\r\n".encode("gbk"))
        z.writestr("data/blob.bin", blob, compress_type=zipfile.ZIP_STORED)
        z.writestr("data/empty/", b"")
    return out.getvalue()


def install_dir(options, workdir, name):
    """A private copy of the stage in a folder with a blank in its name."""
    target = Path(workdir) / name / "Page Tide"
    shutil.copytree(options.stage, target)
    return target


def start(driver, target, url):
    updater = harness.windows_path(target / "data" / "update.exe")
    pid = driver.start(f'"{updater}" qzmkhost_launcher {url} {TITLE} run KORVA.exe KORVA.zip 修正')
    window = driver.wait_window("*", "*", timeout=60, pid=pid)
    assert window["title"].startswith(CAPTION_START), window
    return pid, window


def row_of(driver, window):
    """What the task list shows, read from outside: the visible labels' texts, the bar, the log."""
    controls = driver.children(window["hwnd"])
    labels = [c["text"] for c in controls if c["class"].lower() == "static" and c["visible"] and c["text"]]
    bars = [c for c in controls if c["class"].lower() == "msctls_progress32" and c["visible"]]
    logs = [c for c in controls if c["class"].lower() == "edit"]
    return labels, bars, logs[0]["text"] if logs else ""


def test_download_shows_its_progress_then_installs_and_relaunches(driver, options, workdir, package):
    target = install_dir(options, workdir, "full")
    old_program = (target / "KORVA.exe").read_bytes()
    server = harness.BodyServer(PORT, package, behaviour="ranges", rate=100_000)  # 5 x 100 KB/s
    try:
        pid, window = start(driver, target, f"http://127.0.0.1:{PORT}/KORVA.zip")
        seen = {"title": False, "size": set(), "positions": [], "speeds": set(), "finished": False}
        last_log = ""
        deadline = time.monotonic() + 120
        while time.monotonic() < deadline:
            try:
                labels, bars, log = row_of(driver, window)
            except harness.DriverError:
                break  # the window went with the process
            if not labels and not log and seen["positions"]:
                break
            last_log = log or last_log
            seen["title"] |= TITLE in labels
            seen["size"].update(t for t in labels if re.fullmatch(r"\d+(\.\d+)?K", t))
            seen["speeds"].update(t for t in labels if re.fullmatch(r"\d+\.\d\dKB/s", t))
            seen["finished"] |= "下载结束" in labels
            seen["positions"] += [b["pos"] for b in bars if "pos" in b]
            if not driver.windows() or not [w for w in driver.windows() if w["pid"] == pid]:
                break
            time.sleep(0.05)
        assert driver.wait_exit(60, pid) == 0
    finally:
        server.stop()

    assert seen["title"], seen
    assert seen["size"] == {f"{round(len(package) / 1000, 2):g}K"}, (seen["size"], len(package))
    positions = seen["positions"]
    assert positions and positions == sorted(positions) and positions[-1] >= 90, positions
    assert len(set(positions)) >= 3, positions  # it ran, not jumped
    assert seen["speeds"] - {"0.00KB/s"}, seen["speeds"]
    # The log: the set-up line continued by the first event, then one known line per event.
    assert last_log.startswith("执行下载任务1 #传送常量.下载上传开始\r\n"), last_log[:200]
    lines = last_log[len("执行下载任务1"):].split("\r\n")
    assert lines[-1] == "" and set(lines[:-1]) <= KNOWN_LINES, set(lines[:-1]) - KNOWN_LINES
    assert lines.count(RECEIVED) >= 3, lines.count(RECEIVED)
    # Five connections: the first asks for the whole file, the four others each for a range of it.
    served = server.requests()
    assert len(served) >= 5 and len({r.range for r in served if r.status == 206}) >= 4, served

    # Installed over the program, and the new program started.
    recorded = wait_until(lambda: list(target.glob("cmdline-*.bin")), 30, what="the relaunched program's file")
    assert len(recorded) == 1, recorded
    assert recorded[0].read_bytes().decode("gbk") == f'"{harness.windows_path(target / "data")}\\..\\KORVA.exe"'
    assert (target / "KORVA.exe").read_bytes() != old_program
    assert (target / "KORVA.exe").read_bytes() == (Path(options.tools) / "recorder.exe").read_bytes()
    with zipfile.ZipFile(io.BytesIO(package)) as z:
        assert (target / "data" / "blob.bin").read_bytes() == z.read("data/blob.bin")
        assert (target / "data" / "readme.txt").read_bytes() == z.read("data/readme.txt")
    assert (target / "data" / "empty").is_dir()
    assert (target / "data" / "update.exe").exists()  # the package had none: the old one stays
    assert (target / "data" / "time").is_dir() and not (target / "data" / "time" / "temp1.zip").exists()
    assert not (target / "data" / "e_dada").exists()


def test_closing_mid_download_ends_at_once_and_installs_nothing(driver, options, workdir, package):
    target = install_dir(options, workdir, "close")
    before = {p: p.read_bytes() for p in target.rglob("*") if p.is_file()}
    server = harness.BodyServer(PORT, package, behaviour="ranges", rate=20_000)
    try:
        pid, window = start(driver, target, f"http://127.0.0.1:{PORT}/KORVA.zip")
        wait_until(lambda: any(b.get("pos", 0) > 0 for b in row_of(driver, window)[1]), 60,
                   what="the bar under way")
        closed = time.monotonic()
        driver.close(window["hwnd"])
        assert driver.wait_exit(30, pid) == 0
        took = time.monotonic() - closed
    finally:
        server.stop()
    assert took < 1.5, took
    time.sleep(0.5)
    assert not list(target.glob("cmdline-*")), "the program was started again"
    after = {p: p.read_bytes() for p in target.rglob("*") if p.is_file()}
    left = {p for p in after if p not in before}
    assert all("time" in p.parts for p in left), left  # only the download's own leftovers
    assert not (target / "data" / "time" / "temp1.zip").exists()  # nothing that could pass for the package
    assert all(after[p] == content for p, content in before.items()), "the installed tree changed"


if __name__ == "__main__":
    harness.run(globals())
