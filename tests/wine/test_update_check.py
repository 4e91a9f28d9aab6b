#!/usr/bin/python3
"""KORVA.exe's update check under Wine: the version document, the message, the hand-off to the updater.

Every case runs its own KORVA process from its own copy of the stage, whose data\\update.exe is the
recording program (tools/recorder.exe): it writes the raw command line it got to
data\\cmdline-<pid>.bin and ends at once. The cases need 127.0.0.1:18931 served in different ways (a
server that holds the document back, nginx, a silent server, nothing), so each case brings its
own server instead of the shared maker fixture.
"""

import shutil
import socket
import sys
import threading
import time
from contextlib import contextmanager
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import harness  # noqa: E402
from harness import wait_until  # noqa: E402

CAPTION = "Pagetide V1.1"
BOX_TITLE = "信息："
DOCUMENT_TARGET = "/KORVA/data.xml"
USER_AGENT = "Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.0)"

NEWER = {
    "版本号": "1.2",
    "升级说明": "第一#HHF第二",
    "下载地址": f"http://127.0.0.1:{harness.MAKER_PORT}/KORVA/页潮1.2.zip",
    "文件标题": "页潮刷新器",
    "文件名": "KORVA1.2.zip",
}


def version_document(info, encoding="gbk"):
    attributes = " ".join(f'{name}="{value}"' for name, value in info.items())
    return (f'<?xml version="1.0" encoding="{encoding}"?>\r\n'
            f"<最新版本>\r\n  <版本信息 {attributes}/>\r\n</最新版本>\r\n").encode(encoding)


# --------------------------------------------------------------------------------------------
# Copies of the stage and what the recorder left in them


def make_copy(stage, tools, directory):
    """The stage copied to directory, with the recorder as data\\update.exe."""
    directory = Path(directory)
    if directory.exists():
        shutil.rmtree(directory)
    shutil.copytree(stage, directory)
    shutil.copy(Path(tools) / "recorder.exe", directory / "data" / "update.exe")
    return directory


def recorded(directory):
    """The command lines the recorder wrote into directory, one per run."""
    return [p.read_bytes() for p in sorted(Path(directory).glob("cmdline-*.bin"))]


def drive_c_path(path):
    return "C:\\" + str(Path(path).relative_to(harness.PREFIX / "drive_c")).replace("/", "\\")


# --------------------------------------------------------------------------------------------
# Servers on the maker's port


class HeldDocumentServer:
    """Serves DOCUMENT_TARGET on the maker's port only once release() is called, so a test can look
    at the program while its update check waits; anything else (the browsers' pages) gets a 404 at
    once. Keeps the head of every request."""

    def __init__(self, body):
        self.body = body
        self.requests = []  # (time.time(), target, head bytes)
        self.served_at = None
        self._gate = threading.Event()
        self._lock = threading.Lock()
        self._sock = socket.socket()
        self._sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self._sock.bind(("127.0.0.1", harness.MAKER_PORT))
        self._sock.listen(64)
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                conn, _ = self._sock.accept()
            except OSError:
                return
            threading.Thread(target=self._serve, args=(conn,), daemon=True).start()

    def _serve(self, conn):
        try:
            conn.settimeout(60)
            head = b""
            while b"\r\n\r\n" not in head:
                chunk = conn.recv(4096)
                if not chunk:
                    return
                head += chunk
            head = head.split(b"\r\n\r\n")[0]
            parts = head.split(b"\r\n")[0].split(b" ")
            target = parts[1].decode("latin-1") if len(parts) > 1 else ""
            with self._lock:
                self.requests.append((time.time(), target, head))
            if target == DOCUMENT_TARGET:
                self._gate.wait(60)
                status, body = b"200 OK", self.body
                self.served_at = time.time()
            else:
                status, body = b"404 Not Found", b"<html><body>404</body></html>"
            conn.sendall(b"HTTP/1.0 " + status + b"\r\nContent-Type: text/xml\r\nContent-Length: "
                         + str(len(body)).encode() + b"\r\nConnection: close\r\n\r\n" + body)
        except OSError:
            pass
        finally:
            conn.close()

    def document_requests(self):
        with self._lock:
            return [r for r in self.requests if r[1] == DOCUMENT_TARGET]

    def release(self):
        self._gate.set()

    def stop(self):
        self._gate.set()
        harness.close_listener(self._sock)


class RefusedPort:
    """Bound, never listening: connections are refused. SO_REUSEADDR, since the servers of earlier
    cases leave TIME_WAIT connections on the port, and a bind without it would fail."""

    def __init__(self):
        self._sock = socket.socket()
        self._sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self._sock.bind(("127.0.0.1", harness.MAKER_PORT))

    def stop(self):
        self._sock.close()


@contextmanager
def serving(server):
    try:
        yield server
    finally:
        server.stop()


@contextmanager
def nginx_site(workdir, name, files):
    """nginx on the maker's port with root holding files ({relative path: bytes})."""
    root = Path(workdir) / f"site-{name}"
    root.mkdir()
    for relative, data in files.items():
        (root / relative).parent.mkdir(parents=True, exist_ok=True)
        (root / relative).write_bytes(data)
    with serving(harness.Nginx(harness.MAKER_PORT, root, workdir)) as server:
        yield server


# --------------------------------------------------------------------------------------------
# The program


@contextmanager
def korva(driver, copy, program_path=None):
    """Starts KORVA.exe of the copy (program_path: how Windows names it); yields (pid, start time).
    A case that fails half-way leaves no process behind."""
    program_path = program_path or harness.windows_path(Path(copy) / "KORVA.exe")
    started = time.monotonic()
    pid = driver.start(f'"{program_path}"', cwd=copy)
    try:
        yield pid, started
    finally:
        driver.kill(pid)


def main_windows(driver, pid):
    return [w for w in driver.windows() if w["pid"] == pid and w["title"] == CAPTION]


def answers(driver, hwnd):
    """True when the window's thread answers a sent message (the driver gives up after 2 s)."""
    return driver.call("text", hwnd, check=False, timeout=30).get("ok", False)


def wait_usable(driver, pid, timeout=60.0):
    """The main window once it is visible and its thread handles messages again."""
    window = driver.wait_window(CAPTION, "*", timeout=timeout, pid=pid)
    wait_until(lambda: answers(driver, window["hwnd"]), timeout, what="the main window to answer messages")
    return window


def end_with_esc(driver, pid, hwnd):
    driver.foreground(hwnd)
    driver.key("esc")
    return driver.wait_exit(30, pid)


# --------------------------------------------------------------------------------------------
# Tests


def expected_hand_off(program_dir):
    info = NEWER
    return (f'"{program_dir}\\data\\update.exe" qzmkhost_launcher {info["下载地址"]} {info["文件标题"]} '
            f'run KORVA.exe {info["文件名"]} {info["升级说明"]}').encode("gbk")


def test_newer_version_shows_the_notes_then_hands_over_to_the_updater(driver, options, workdir):
    expected_text = "发现有新的版本(1.2)可以更新，本次更新了如下内容：\r\n第一\r\n第二"
    public = harness.PREFIX / "drive_c" / "users" / "Public"
    cases = [
        ("a plain folder", Path(workdir) / "newer" / "stage", None),
        # Unquoted, "C:\users\Public\Page tide\data\update.exe" would start the decoy
        # C:\users\Public\Page.exe, which records into C:\users\Public instead.
        ("a folder with a blank", public / "Page tide", public),
    ]
    for label, directory, decoy_dir in cases:
        copy = make_copy(options.stage, options.tools, directory)
        program_dir = drive_c_path(copy) if decoy_dir else harness.windows_path(copy)
        decoy = None
        if decoy_dir:
            decoy = decoy_dir / "Page.exe"
            shutil.copy(Path(options.tools) / "recorder.exe", decoy)
        try:
            with serving(HeldDocumentServer(version_document(NEWER))) as server, \
                    korva(driver, copy, program_dir + "\\KORVA.exe") as (pid, _):
                wait_until(server.document_requests, 60, what=f"{label}: the version document's request")
                head = server.document_requests()[0][2].decode("latin-1").split("\r\n")
                assert head[0] == f"GET {DOCUMENT_TARGET} HTTP/1.0", (label, head)
                assert f"User-Agent: {USER_AGENT}" in head, (label, head)
                assert "Accept: */*" in head, (label, head)

                # While the document is held back the check is still running: no box yet, and a
                # main window already on screen must not take input (its thread answers nothing).
                assert not driver.message_boxes(pid), (label, driver.message_boxes(pid))
                shown_early = [w for w in main_windows(driver, pid) if w["visible"]]
                for w in shown_early:
                    assert not answers(driver, w["hwnd"]), f"{label}: the main window is usable during the check"
                assert not recorded(copy / "data")
                held = time.time() - server.document_requests()[0][0]
                server.release()

                box = driver.wait_message_box(pid, title=BOX_TITLE, timeout=60)
                assert box["text"] == expected_text, (label, box["text"])
                assert box["owner"] == 0, (label, box)
                # The box holds back the rest of the start-up: a main window on screen is disabled.
                for w in main_windows(driver, pid):
                    assert not (w["visible"] and w["enabled"]), f"{label}: usable main window beside the box {w}"
                assert not recorded(copy / "data"), f"{label}: the updater started before OK"
                harness.log(f"{label}: main window visible during the check: {bool(shown_early)}; "
                            f"document held {held:.2f} s")

                driver.press_ok(box["hwnd"])
                assert driver.wait_exit(30, pid) == 0, label

                wait_until(lambda: recorded(copy / "data") or (decoy and recorded(decoy_dir)), 30,
                           what=f"{label}: a recorder's file")
                if decoy:
                    assert not recorded(decoy_dir), (f"{label}: the unquoted path started {decoy}",
                                                     recorded(decoy_dir))
                runs = recorded(copy / "data")
                assert runs == [expected_hand_off(program_dir)], (label, runs)
        finally:
            if decoy:
                decoy.unlink(missing_ok=True)
                for stray in decoy_dir.glob("cmdline-*"):
                    stray.unlink()
            if decoy_dir:
                shutil.rmtree(directory, ignore_errors=True)


def test_no_update_starts_normally(driver, options, workdir):
    html_error = ("<html><head><title>500 Internal Server Error</title></head>"
                  "<body><h1>服务器错误</h1></body></html>").encode("gbk")
    cases = [
        ("no document (404)", {}),
        ("an HTML error page", {"KORVA/data.xml": html_error}),
        ("a UTF-8 document", {"KORVA/data.xml": version_document(NEWER, encoding="utf-8")}),
        ("version 1.10000001", {"KORVA/data.xml": version_document(dict(NEWER, 版本号="1.10000001"))}),
    ]
    for number, (label, files) in enumerate(cases):
        copy = make_copy(options.stage, options.tools, Path(workdir) / f"normal-{number}")
        with nginx_site(workdir, f"normal-{number}", files) as site, korva(driver, copy) as (pid, _):
            expected_status = 200 if files else 404
            site.wait_for(lambda r: r.target == DOCUMENT_TARGET and r.status == expected_status, timeout=60)
            window = wait_usable(driver, pid)
            # A box would disable the main window before its modal loop answers anything.
            assert not driver.message_boxes(pid), (label, driver.message_boxes(pid))
            state = main_windows(driver, pid)
            assert [(w["visible"], w["enabled"]) for w in state] == [(True, True)], (label, state)
            try:
                late = driver.wait_message_box(pid, timeout=2)
            except TimeoutError:
                late = None
            assert late is None, f"{label}: a message box appeared: {late}"
            assert not recorded(copy / "data"), f"{label}: the updater was started"
            assert end_with_esc(driver, pid, window["hwnd"]) == 0, label
            assert not recorded(copy / "data"), f"{label}: the updater was started on the way out"


def test_startup_time_against_unhelpful_servers(driver, options, workdir):
    """Prints how long the main window takes to appear and to take input; asserts no times."""
    empty_root = Path(workdir) / "site-empty"
    empty_root.mkdir()
    conditions = [
        ("refused", RefusedPort, None),
        ("accepts, never answers", lambda: harness.SilentServer(harness.MAKER_PORT), lambda s: s.accepted),
        ("nginx 404", lambda: harness.Nginx(harness.MAKER_PORT, empty_root, workdir),
         lambda s: [r for r in s.requests() if r.target == DOCUMENT_TARGET and r.status == 404]),
    ]
    figures = []
    for number, (label, make_server, reached) in enumerate(conditions):
        copy = make_copy(options.stage, options.tools, Path(workdir) / f"timing-{number}")
        with serving(make_server()) as server, korva(driver, copy) as (pid, started):
            window = driver.wait_window(CAPTION, "*", timeout=60, pid=pid)
            visible = time.monotonic() - started
            wait_until(lambda: answers(driver, window["hwnd"]), 60, what="the main window to answer messages")
            usable = time.monotonic() - started
            if reached:
                assert reached(server), f"{label}: the program never reached the server"
            assert not driver.message_boxes(pid)
            assert end_with_esc(driver, pid, window["hwnd"]) == 0, label
        figures.append((label, visible, usable))
    for label, visible, usable in figures:
        print(f"start-up, {label}: main window visible after {visible:.3f} s, usable after {usable:.3f} s",
              flush=True)


if __name__ == "__main__":
    harness.run(globals())
