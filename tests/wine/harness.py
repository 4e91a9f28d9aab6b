"""Runs the real Windows programs under Wine + Xvfb and watches them from outside.

Pieces: the Wine environment (a kept 32-bit prefix, a private X server), nginx sites on loopback
ports, servers that misbehave on purpose, a client of the automation tool (uidriver.exe), and a
small runner for the test files of this directory.

Only the standard library; run with Debian's /usr/bin/python3.
"""

import argparse
import ctypes
import fcntl
import inspect
import json
import os
import pwd
import grp
import queue
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import traceback
from collections import namedtuple
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
DEFAULT_STAGE = REPO / "build" / "win32-test" / "stage"
DEFAULT_TOOLS = REPO / "build" / "win32-test" / "tools"
PREFIX = Path(os.environ.get("PAGETIDE_WINEPREFIX", REPO / "build" / "wine" / "prefix"))

MAKER_PORT = 18931
DIRECTORY_PORT = 18932
DESKTOP_SIZE = (1024, 768)

# Mono and Gecko are not packaged here; their install prompts would otherwise pop up in the middle
# of a run (the prefix boot and the first browser control).
DLL_OVERRIDES = "mscoree,mshtml="


def log(message):
    print(f"[harness {time.strftime('%H:%M:%S')}] {message}", file=sys.stderr, flush=True)


def wait_until(predicate, timeout, interval=0.02, what="condition"):
    """Polls until predicate() gives a true value and returns that value; TimeoutError after timeout."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise TimeoutError(f"timed out after {timeout} s waiting for {what}")
        time.sleep(interval)


_libc = ctypes.CDLL(None, use_errno=True)
_PR_SET_PDEATHSIG = 1


def _die_with_parent():
    # A runner killed by ctest's time-out must not leave X servers and web servers behind.
    _libc.prctl(_PR_SET_PDEATHSIG, signal.SIGTERM)


def windows_path(path):
    """The path as Wine's Z: drive (the Unix root) shows it."""
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")


# --------------------------------------------------------------------------------------------
# Wine + Xvfb


# Changing how the prefix is made invalidates prefixes made the old way.
_PREFIX_RECIPE = "win32; desktop Default 1024x768; no crash dialog; Marlett in Fonts"

# Debian's Wine does not find the fonts of fonts-wine by itself; without Marlett every caption
# button, scroll arrow and check mark is drawn as a letter ("0 1 r").
_WINE_FONTS = Path("/usr/share/wine/fonts")


class WineEnv:
    """A private X server and the shared 32-bit prefix, with the environment every Wine process gets."""

    def __init__(self, workdir, locale="zh_CN.UTF-8"):
        """locale: the Unix locale Wine takes the system's code page and language from."""
        self.workdir = Path(workdir)
        self.locale = locale
        self.xvfb = None
        self._lock = None
        try:
            self._start_xvfb()
            self.env = self._wine_environment()
            self._lock_prefix()
            # A wineserver left over from a killed run still talks to that run's dead display.
            self._run(["wineserver", "-k"], check=False)
            self._run(["wineserver", "-w"], check=False)
            self._boot_prefix_once()
        except BaseException:
            self.close()
            raise

    def _start_xvfb(self):
        read_fd, write_fd = os.pipe()
        w, h = DESKTOP_SIZE
        self.xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_fd), "-screen", "0", f"{w}x{h}x24", "-nolisten", "tcp"],
            pass_fds=(write_fd,), stdout=subprocess.DEVNULL, stderr=open(self.workdir / "xvfb.log", "wb"),
            preexec_fn=_die_with_parent)
        os.close(write_fd)
        number = b""
        with os.fdopen(read_fd, "rb") as r:
            # Xvfb writes the display number it chose once it accepts connections.
            while not number.endswith(b"\n"):
                chunk = r.read(1)
                if not chunk:
                    raise RuntimeError("Xvfb exited before choosing a display: "
                                       + (self.workdir / "xvfb.log").read_text(errors="replace"))
                number += chunk
        self.display = ":" + number.decode().strip()
        wait_until(lambda: subprocess.run(["xdpyinfo", "-display", self.display], stdout=subprocess.DEVNULL,
                                          stderr=subprocess.DEVNULL).returncode == 0,
                   timeout=30, interval=0.05, what=f"X display {self.display}")

    def _wine_environment(self):
        env = dict(os.environ)
        for name in ("WINELOADER", "WINESERVER", "WINEDLLPATH"):
            env.pop(name, None)
        env.update({
            "WINEARCH": "win32",
            "WINEPREFIX": str(PREFIX),
            "WINEDEBUG": "-all",
            "WINEDLLOVERRIDES": DLL_OVERRIDES,
            "LC_ALL": self.locale,
            "LANG": self.locale,
            "DISPLAY": self.display,
        })
        return env

    def _lock_prefix(self):
        # One prefix, one wineserver: two runs at once would share it and kill each other's programs.
        PREFIX.parent.mkdir(parents=True, exist_ok=True)
        self._lock = open(PREFIX.parent / (PREFIX.name + ".lock"), "w")
        try:
            fcntl.flock(self._lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            log(f"waiting for another run to release {PREFIX}")
            fcntl.flock(self._lock, fcntl.LOCK_EX)

    def _run(self, args, check=True, timeout=300):
        result = subprocess.run(args, env=self.env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                timeout=timeout)
        if check and result.returncode != 0:
            raise RuntimeError(f"{' '.join(args)} exited with {result.returncode}: "
                               + result.stdout.decode(errors="replace")[-2000:])
        return result

    def _boot_prefix_once(self):
        marker = PREFIX / ".pagetide-booted"
        recipe = f"{_PREFIX_RECIPE}\n{self._run(['wine', '--version']).stdout.decode().strip()}\n"
        if marker.exists() and marker.read_text() == recipe:
            return
        if PREFIX.exists():
            shutil.rmtree(PREFIX)  # half-booted by an interrupted run
        started = time.monotonic()
        log(f"booting the Wine prefix {PREFIX}")
        self._run(["wineboot", "-i"])
        self._run(["wineserver", "-w"])
        booted = time.monotonic()
        w, h = DESKTOP_SIZE
        settings = [
            # A virtual desktop draws frames, captions and a task bar with the tray, like Windows.
            (r"HKCU\Software\Wine\Explorer", "Desktop", "REG_SZ", "Default"),
            (r"HKCU\Software\Wine\Explorer\Desktops", "Default", "REG_SZ", f"{w}x{h}"),
            # A crashing program ends instead of waiting behind a crash dialog.
            (r"HKCU\Software\Wine\WineDbg", "ShowCrashDialog", "REG_DWORD", "0"),
        ]
        for key, name, kind, value in settings:
            self._run(["wine", "reg", "add", key, "/v", name, "/t", kind, "/d", value, "/f"])
        marlett = _WINE_FONTS / "marlett.ttf"
        if not marlett.exists():
            raise FileNotFoundError(f"{marlett} is missing: run scripts/setup (package fonts-wine)")
        shutil.copy(marlett, PREFIX / "drive_c" / "windows" / "Fonts")
        self._run(["wineserver", "-w"])
        marker.write_text(recipe)
        log(f"prefix booted in {booted - started:.1f} s, configured in {time.monotonic() - booted:.1f} s")

    def wine_popen(self, args, **kwargs):
        return subprocess.Popen(["wine"] + list(args), env=self.env, preexec_fn=_die_with_parent, **kwargs)

    # Windows screen coordinates are the virtual desktop's, which fills the X screen from (0, 0).
    def screenshot(self, path, rect=None):
        """Saves the X screen as PNG, cropped to a screen rect [l, t, r, b] if given."""
        subprocess.run(self._import_args(rect) + [str(path)], check=True, timeout=60)

    def screenshot_when_still(self, path, rect=None, timeout=30.0):
        """Like screenshot, once two captures 250 ms apart are the same (painting has settled)."""
        def capture():
            return subprocess.run(self._import_args(rect) + ["-depth", "8", "rgb:-"], check=True, timeout=60,
                                  stdout=subprocess.PIPE).stdout
        frames = [capture()]

        def settled():
            frames.append(capture())
            return frames[-1] == frames[-2]
        wait_until(settled, timeout, interval=0.25, what="the screen to stop changing")
        self.screenshot(path, rect)

    def _import_args(self, rect):
        args = ["import", "-display", self.display, "-window", "root"]
        if rect:
            l, t, r, b = rect
            args += ["-crop", f"{r - l}x{b - t}+{l}+{t}", "+repage"]
        return args

    def close(self):
        if self._lock is not None:
            if hasattr(self, "env"):
                self._run(["wineserver", "-k"], check=False, timeout=60)
                self._run(["wineserver", "-w"], check=False, timeout=60)
            self._lock.close()
            self._lock = None
        if self.xvfb is not None:
            self.xvfb.terminate()
            try:
                self.xvfb.wait(10)
            except subprocess.TimeoutExpired:
                self.xvfb.kill()
                self.xvfb.wait()
            self.xvfb = None


# --------------------------------------------------------------------------------------------
# The automation tool


class DriverError(Exception):
    pass


class Driver:
    """Client of uidriver.exe: one command line out, one JSON line back."""

    def __init__(self, env, tools_dir, workdir):
        exe = Path(tools_dir) / "uidriver.exe"
        if not exe.exists():
            raise FileNotFoundError(f"{exe} is missing: build the win32-test preset")
        self._stderr_path = Path(workdir) / "uidriver.stderr"
        self.proc = env.wine_popen([str(exe)], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                   stderr=open(self._stderr_path, "wb"))
        self._lines = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()
        self.call("ping", timeout=120)  # the first Wine process of a run may start wineserver and explorer

    def _read(self):
        for raw in self.proc.stdout:
            self._lines.put(raw)
        self._lines.put(None)

    def call(self, *fields, timeout=30.0, check=True):
        """Sends one command; returns the parsed answer. A refusal raises DriverError unless check is false."""
        line = "\t".join(str(f) for f in fields)
        if "\n" in line:
            raise ValueError("a command cannot hold a line break")
        try:
            self.proc.stdin.write(line.encode("utf-8") + b"\n")
            self.proc.stdin.flush()
        except BrokenPipeError:
            raise DriverError(f"uidriver is gone: {self._stderr_tail()}") from None
        deadline = time.monotonic() + timeout
        while True:
            try:
                raw = self._lines.get(timeout=max(0.0, deadline - time.monotonic()))
            except queue.Empty:
                raise DriverError(f"no answer to {fields[0]!r} within {timeout} s") from None
            if raw is None:
                raise DriverError(f"uidriver ended: {self._stderr_tail()}")
            text = raw.decode("utf-8").strip()
            if text.startswith("{"):
                break
            log(f"uidriver said: {text}")
        answer = json.loads(text)
        if check and not answer.get("ok"):
            raise DriverError(f"{fields[0]} failed: {answer.get('error')}")
        return answer

    def _stderr_tail(self):
        try:
            return self._stderr_path.read_text(errors="replace")[-2000:]
        except OSError:
            return ""

    # Processes.
    def start(self, commandline, cwd=None):
        fields = ["start", commandline] + ([windows_path(cwd)] if cwd else [])
        return self.call(*fields)["pid"]

    def wait_exit(self, timeout, pid=None):
        """The full 32-bit exit code; DriverError on time-out."""
        fields = ["wait_exit", int(timeout * 1000)] + ([pid] if pid else [])
        return self.call(*fields, timeout=timeout + 30)["exit_code"]

    def kill(self, pid=None):
        return self.call(*(["kill"] + ([pid] if pid else [])))

    # Windows.
    def windows(self):
        return self.call("windows")["windows"]

    def children(self, hwnd):
        return self.call("children", hwnd)["children"]

    def wait_window(self, title="*", cls="*", timeout=30.0, pid=None):
        fields = ["wait_window", title, cls, int(timeout * 1000)] + ([pid] if pid else [])
        return self.call(*fields, timeout=timeout + 30)["window"]

    def text(self, hwnd):
        return self.call("text", hwnd)["text"]

    def settext(self, hwnd, text):
        return self.call("settext", hwnd, text)

    def click(self, hwnd):
        return self.call("click", hwnd)

    def close(self, hwnd):
        return self.call("close", hwnd)

    def foreground(self, hwnd):
        return self.call("foreground", hwnd)

    def focus(self):
        return self.call("focus")

    # Input.
    def mouse(self, x, y, kind="left"):
        return self.call("mouse", int(x), int(y), kind)

    def click_at_center(self, rect, kind="left"):
        l, t, r, b = rect
        return self.mouse((l + r) // 2, (t + b) // 2, kind)

    def key(self, combo):
        return self.call("key", combo)

    def type(self, text):
        return self.call("type", text)

    def cursor(self):
        return tuple(self.call("cursor")["cursor"])

    def key_down(self, combo):
        """Presses the keys of combo and keeps them down until key_up(combo)."""
        return self.call("keydown", combo)

    def key_up(self, combo):
        return self.call("keyup", combo)

    def window_at(self, x, y):
        """The window under a screen point: hwnd, parent, pid, class."""
        return self.call("at", int(x), int(y))

    def gui(self, hwnd):
        """GetGUIThreadInfo of the thread owning hwnd: flags, in_menu_mode, active, focus, capture, menu_owner."""
        return self.call("gui", hwnd)

    def tooltips(self, hwnd):
        """The tools of a tooltip window of any process: window, id, flags, text, rect (screen)."""
        return self.call("tooltips", hwnd)["tools"]

    # The registry of the prefix, written through the running Wine (no `wine reg` process per call).
    # Keys as HKLM\..., HKCU\... or HKCR\...; name "" is the key's default value; strings only.
    def reg_get(self, key, name=""):
        """The string value, or None when the value (or the key) does not exist."""
        answer = self.call("reg_get", key, name)
        return answer["value"] if answer["exists"] else None

    def reg_key_exists(self, key):
        return self.call("reg_get", key, "")["key_exists"]

    def reg_set(self, key, name, value):
        return self.call("reg_set", key, name, value)

    def reg_delete(self, key):
        """Deletes the key with everything under it; True if it existed."""
        return self.call("reg_delete", key)["existed"]

    # Tab controls.
    def tab_rect(self, hwnd, index):
        return self.call("tab_rect", hwnd, index)["rect"]

    def tab_sel(self, hwnd):
        return self.call("tab_sel", hwnd)["sel"]

    def tabs(self, hwnd):
        return self.call("tabs", hwnd)

    # Message boxes: #32770 windows whose text is the static with id 0xFFFF and whose OK is id 1.
    def message_boxes(self, pid=None):
        return [w for w in self.windows()
                if w["class"] == "#32770" and w["visible"] and (pid is None or w["pid"] == pid)]

    def message_box_text(self, hwnd):
        for c in self.children(hwnd):
            if c["id"] == 0xFFFF and c["class"].lower() == "static":
                return c["text"]
        return None

    def wait_message_box(self, pid=None, text=None, title=None, timeout=30.0):
        """The first visible message box (of pid, with that text and title) as a window dict plus 'text'."""
        def find():
            for w in self.message_boxes(pid):
                if title is not None and w["title"] != title:
                    continue
                body = self.message_box_text(w["hwnd"])
                if text is None or body == text:
                    return dict(w, text=body)
            return None
        try:
            return wait_until(find, timeout, interval=0.02, what="a message box")
        except TimeoutError:
            seen = [(w["title"], self.message_box_text(w["hwnd"])) for w in self.message_boxes(pid)]
            raise TimeoutError(f"no message box with title {title!r} and text {text!r} within {timeout} s; "
                               f"open: {seen}") from None

    def press_ok(self, box_hwnd):
        ok = [c for c in self.children(box_hwnd) if c["id"] == 1 and c["class"].lower() == "button"]
        if not ok:
            raise DriverError(f"message box {box_hwnd} has no OK button")
        self.click(ok[0]["hwnd"])

    def wait_gone(self, hwnd, timeout=30.0):
        wait_until(lambda: not any(w["hwnd"] == hwnd and w["visible"] for w in self.windows()), timeout,
                   what=f"window {hwnd} to go away")

    def is_visible(self, hwnd):
        """Whether the top-level window hwnd exists and is visible."""
        return any(w["hwnd"] == hwnd and w["visible"] for w in self.windows())

    # The notification area. With the virtual desktop, Wine's explorer shows it at the right end of a
    # task bar (Shell_TrayWnd) along the bottom of the screen, hidden while no icon is there. It
    # paints the icons itself (no window per icon), but gives every icon a tooltip tool over its
    # place: the tools tell both the tooltip text and where to click. The tool of a removed icon
    # stays behind with an empty rect.
    def tray_icons(self):
        """The icons shown in the task bar, right to left: dicts with text and rect (screen)."""
        windows = self.windows()
        bars = [w["hwnd"] for w in windows if w["class"] == "Shell_TrayWnd" and w["visible"]]
        icons = []
        for w in windows:
            if w["class"] == "tooltips_class32" and w["owner"] in bars:
                for tool in self.tooltips(w["hwnd"]):
                    l, t, r, b = tool["rect"]
                    if r > l and b > t:
                        icons.append({"text": tool["text"], "rect": tool["rect"]})
        return sorted(icons, key=lambda icon: -icon["rect"][0])

    # Menus: their items cannot be read from another process under Wine (GetMenuItemCount answers
    # -1), but an open popup menu is a visible #32768 window owned by the menu's window.
    def popup_menus(self, owner=None):
        return [w for w in self.windows()
                if w["class"] == "#32768" and w["visible"] and (owner is None or w["owner"] == owner)]

    def wait_popup_menu(self, owner, timeout=10.0):
        """The one popup menu of owner, once it is open."""
        def one():
            found = self.popup_menus(owner)
            return found[0] if len(found) == 1 else None
        return wait_until(one, timeout, what=f"a popup menu of window {owner}")

    def open_menu_bar(self, hwnd, index, timeout=10.0):
        """Opens the index-th menu of hwnd's menu bar with F10, Right and Down; returns the popup.
        Opened so, its first item is selected."""
        self.foreground(hwnd)
        self.key("f10")
        wait_until(lambda: self.gui(hwnd)["menu_owner"] == hwnd, timeout, what="the menu bar to take the keys")
        for _ in range(index):
            self.key("right")
        self.key("down")
        return self.wait_popup_menu(hwnd, timeout)

    def choose_menu_item(self, index, first_selected):
        """Chooses item `index` of the open popup menu with arrows and Return. Keys, not clicks:
        while Wine tracks a menu, a cursor moved with SendInput keeps snapping back to where it was.
        A menu opened from the menu bar by key starts with its first item selected; one opened by
        a click starts with none, and the first Down selects the first item."""
        for _ in range(index if first_selected else index + 1):
            self.key("down")
        self.key("return")

    def quit(self):
        if self.proc.poll() is None:
            try:
                self.proc.stdin.write(b"quit\n")
                self.proc.stdin.close()
                self.proc.wait(30)
            except (BrokenPipeError, subprocess.TimeoutExpired):
                self.proc.kill()
                self.proc.wait()


def start_program(driver, stage, workdir, exe="KORVA.exe", caption=None, timeout=60.0):
    """Copies the stage into workdir (the programs write next to themselves) and starts exe there.
    Returns (pid, main window) once a visible top-level window of it (with that caption) is up."""
    copy = Path(workdir) / "stage"
    if not copy.exists():
        if not (Path(stage) / exe).exists():
            raise FileNotFoundError(f"{Path(stage) / exe} is missing: build the win32-test preset")
        shutil.copytree(stage, copy)
    program = copy / exe
    # Quoted: unquoted, a path with a blank starts whichever first word names an existing file.
    pid = driver.start(f'"{windows_path(program)}"', cwd=program.parent)
    return pid, driver.wait_window(caption or "*", "*", timeout=timeout, pid=pid)


# --------------------------------------------------------------------------------------------
# Servers

Request = namedtuple("Request", "time method target proto status agent")

_LOG_FORMAT = "$msec\\t$status\\t$request\\t$http_user_agent"


def server_answers(proc, port, name, log_path):
    """Whether a server process of ours accepts connections on 127.0.0.1:port yet; raises with the
    end of its log if it has exited instead."""
    if proc.poll() is not None:
        raise RuntimeError(f"{name} exited with {proc.returncode}: "
                           + Path(log_path).read_text(errors="replace")[-2000:])
    try:
        socket.create_connection(("127.0.0.1", port), timeout=1).close()
        return True
    except OSError:
        return False


class Nginx:
    """An unprivileged nginx on 127.0.0.1:port serving root, with an access log the tests read."""

    LOG_FORMAT = _LOG_FORMAT  # a subclass that logs more fields parses them in its own requests()

    def _listen_directives(self):
        return f"listen 127.0.0.1:{self.port};"

    def __init__(self, port, root, workdir):
        self.port = port
        self.root = Path(root)
        self.dir = Path(tempfile.mkdtemp(prefix=f"nginx-{port}-", dir=workdir))
        self.access_log = self.dir / "access.log"
        self.error_log = self.dir / "error.log"
        self.access_log.touch()
        conf = self.dir / "nginx.conf"
        # As root the workers would switch to nobody, who cannot read a private temp dir.
        user = ""
        if os.geteuid() == 0:
            user = f"user {pwd.getpwuid(os.geteuid()).pw_name} {grp.getgrgid(os.getegid()).gr_name};"
        temp_paths = "\n".join(f"  {kind}_temp_path {self.dir / kind};"
                               for kind in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"))
        conf.write_text(f"""
{user}
daemon off;
worker_processes 1;
pid {self.dir / 'nginx.pid'};
error_log {self.error_log} info;
events {{ worker_connections 256; }}
http {{
  include /etc/nginx/mime.types;
  default_type application/octet-stream;
{temp_paths}
  log_format tests '{self.LOG_FORMAT}';
  access_log {self.access_log} tests;
  server {{
    {self._listen_directives()}
    root {self.root};
    location / {{ }}
  }}
}}
""")
        self.proc = subprocess.Popen(["nginx", "-p", str(self.dir), "-e", str(self.error_log), "-c", str(conf)],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.STDOUT,
                                     preexec_fn=_die_with_parent)
        try:
            wait_until(self._answers, timeout=30, interval=0.02, what=f"nginx on port {port}")
        except BaseException:
            self.stop()
            raise

    def _answers(self):
        return server_answers(self.proc, self.port, f"nginx on port {self.port}", self.error_log)

    def requests(self):
        """Every request logged so far, oldest first."""
        out = []
        data = self.access_log.read_bytes().decode("utf-8", errors="replace")
        for line in data.split("\n")[:-1]:  # the last piece is an unfinished line or empty
            msec, status, request, agent = line.split("\t")
            parts = request.split(" ")
            method, target, proto = (parts + ["", "", ""])[:3] if len(parts) >= 2 else ("", request, "")
            out.append(Request(float(msec), method, target, proto, int(status), agent))
        return out

    def wait_for(self, predicate, timeout=30.0, count=1):
        """The matching requests once there are at least count of them; TimeoutError otherwise."""
        def enough():
            found = [r for r in self.requests() if predicate(r)]
            return found if len(found) >= count else None
        try:
            return wait_until(enough, timeout, interval=0.02, what=f"{count} matching request(s)")
        except TimeoutError:
            seen = [r.target for r in self.requests()]
            raise TimeoutError(f"port {self.port}: fewer than {count} matching requests within {timeout} s; "
                               f"seen: {seen}") from None

    def first_within(self, predicate, seconds):
        """The first matching request to show up during the next `seconds`, or None."""
        try:
            return self.wait_for(predicate, timeout=seconds)[0]
        except TimeoutError:
            return None

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


def center(rect):
    l, t, r, b = rect
    return (l + r) // 2, (t + b) // 2


def close_listener(sock):
    """A thread blocked in accept() keeps the socket listening after close() alone, and the next
    server on the port fails with EADDRINUSE; shutdown() wakes the accept first."""
    try:
        sock.shutdown(socket.SHUT_RDWR)
    except OSError:
        pass
    sock.close()


class SilentServer:
    """Accepts connections on 127.0.0.1:port, reads what comes and never answers."""

    def __init__(self, port):
        self.port = port
        self.accepted = []  # times of the connections
        self._conns = []
        self._sock = socket.socket()
        self._sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self._sock.bind(("127.0.0.1", port))
        self._sock.listen(64)
        self._stopped = threading.Event()
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while not self._stopped.is_set():
            try:
                conn, _ = self._sock.accept()
            except OSError:
                return
            self.accepted.append(time.time())
            self._conns.append(conn)
            threading.Thread(target=self._drain, args=(conn,), daemon=True).start()

    @staticmethod
    def _drain(conn):
        try:
            while conn.recv(65536):
                pass
        except OSError:
            pass

    def stop(self):
        self._stopped.set()
        close_listener(self._sock)
        for c in self._conns:
            try:
                c.close()
            except OSError:
                pass


class RefusingPort:
    """Keeps a port bound without listening: connections to it are refused, and nobody else takes it."""

    def __init__(self, port):
        self.port = port
        self._sock = socket.socket()
        self._sock.bind(("127.0.0.1", port))

    def stop(self):
        self._sock.close()


# Servers for the download component: ranges logged by nginx, FTP, and an HTTP server that
# misbehaves on purpose.

RangeRequest = namedtuple("RangeRequest", "start end status target range sent connection")


class RangeNginx(Nginx):
    """nginx whose log also holds, per request, the Range asked for, the body bytes sent, nginx's
    connection number and when the request began. With tls=(certificate, key) it speaks TLS only."""

    LOG_FORMAT = "$msec\\t$request_time\\t$status\\t$request\\t$http_range\\t$body_bytes_sent\\t$connection"

    def __init__(self, port, root, workdir, tls=None):
        self.tls = tls
        super().__init__(port, root, workdir)

    def _listen_directives(self):
        if not self.tls:
            return super()._listen_directives()
        certificate, key = self.tls
        return (f"listen 127.0.0.1:{self.port} ssl; ssl_certificate {certificate}; "
                f"ssl_certificate_key {key};")

    def requests(self):
        out = []
        data = self.access_log.read_bytes().decode("utf-8", errors="replace")
        for line in data.split("\n")[:-1]:
            msec, took, status, request, ranges, sent, connection = line.split("\t")
            parts = request.split(" ")
            target = parts[1] if len(parts) > 1 else request
            end = float(msec)
            out.append(RangeRequest(end - float(took), end, int(status), target, "" if ranges == "-" else ranges,
                                    int(sent), int(connection)))
        return out


class FtpServer:
    """pyftpdlib on 127.0.0.1:port serving root read-only, to anyone or to one user. It runs under
    Debian's Python, the one that sees Debian's pyftpdlib; its debug log holds every command."""

    def __init__(self, port, root, workdir, user=None, password=None):
        self.port = port
        self.log_path = Path(tempfile.mkdtemp(prefix=f"ftp-{port}-", dir=workdir)) / "ftp.log"
        args = ["/usr/bin/python3", "-m", "pyftpdlib", "-i", "127.0.0.1", "-p", str(port), "-d", str(root), "-D"]
        if user:
            args += ["-u", user, "-P", password]
        self.proc = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=open(self.log_path, "wb"),
                                     preexec_fn=_die_with_parent)
        try:
            wait_until(self._answers, timeout=30, what=f"the FTP server on port {port}")
        except BaseException:
            self.stop()
            raise

    def _answers(self):
        return server_answers(self.proc, self.port, "pyftpdlib", self.log_path)

    def commands(self):
        """Every command received so far, as sent ("REST 1048576", "RETR /f.zip")."""
        lines = self.log_path.read_text(errors="replace").split("\n")
        return [line.split("] <- ", 1)[1].strip() for line in lines if "] <- " in line]

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


ServedRequest = namedtuple("ServedRequest", "start end target range status first last sent")


class BodyServer:
    """Serves one body on 127.0.0.1:port to any GET, one response per connection, and misbehaves
    as `behaviour` says:
      "ranges"       honours Range (206, Content-Range, ETag) and says so with Accept-Ranges
      "ignore-range" answers every request 200 with the whole body and no Accept-Ranges
      "lie-range"    says Accept-Ranges but still answers 200 with the whole body
      "drop"         like "ranges", but closes the connection instead of sending the byte at `cut`
      "silent"       like "ranges", but stops before the byte at `cut` and holds the connection open
      "new-etag"     like "ranges", but every response names another ETag (the file keeps changing)
      "404", "500"   that status with a small page
    rate: bytes per second per connection, from a token bucket that starts empty (no burst at the
    start of a response, unlike nginx's limit_rate). Every request is kept, with the bytes sent."""

    def __init__(self, port, body, behaviour="ranges", cut=None, rate=None):
        self.port, self.body, self.behaviour, self.rate = port, body, behaviour, rate
        self.cut = len(body) // 2 if cut is None else cut
        self.served = []  # ServedRequest, in the order the responses ended
        self.answering = {}  # connection -> ServedRequest (end None) while its response is under way
        self._lock = threading.Lock()
        self._stopped = threading.Event()
        self._conns = []
        self._sock = socket.socket()
        self._sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self._sock.bind(("127.0.0.1", port))
        self._sock.listen(64)
        threading.Thread(target=self._accept, daemon=True).start()

    def requests(self):
        """Every request answered so far, and those still being answered (end None, sent 0)."""
        with self._lock:
            return list(self.served) + sorted(self.answering.values(), key=lambda r: r.start)

    def _accept(self):
        while not self._stopped.is_set():
            try:
                conn, _ = self._sock.accept()
            except OSError:
                return
            with self._lock:
                self._conns.append(conn)
            threading.Thread(target=self._serve, args=(conn,), daemon=True).start()

    @staticmethod
    def read_head(conn):
        """A request's head as text, its target and its Range value; None when the client left first."""
        head = b""
        while b"\r\n\r\n" not in head:
            chunk = conn.recv(4096)
            if not chunk:
                return None
            head += chunk
        text = head.split(b"\r\n\r\n")[0].decode("latin-1")
        parts = text.split("\r\n")[0].split(" ")
        target = parts[1] if len(parts) > 1 else ""
        asked = next((line.split(":", 1)[1].strip() for line in text.split("\r\n")[1:]
                      if line.lower().startswith("range:")), "")
        return text, target, asked

    @staticmethod
    def _range(head, size):
        """(first, last) asked for by a satisfiable single "bytes=a-b" or "bytes=a-", else None."""
        for line in head.split("\r\n")[1:]:
            name, _, value = line.partition(":")
            if name.strip().lower() == "range":
                wanted = value.strip()
                if not wanted.startswith("bytes=") or "," in wanted:
                    return None
                first, _, last = wanted[6:].partition("-")
                if not first.isdigit() or (last and not last.isdigit()):
                    return None
                first, last = int(first), min(int(last) if last else size - 1, size - 1)
                return (first, last) if first <= last else None
        return None

    def _serve(self, conn):
        target, asked, status, first, last, sent = "", "", 0, 0, -1, 0
        begun = time.time()
        try:
            conn.settimeout(60)
            request = self.read_head(conn)
            if request is None:
                return
            text, target, asked = request
            size = len(self.body)
            with self._lock:
                version = len(self.served) + len(self.answering) + 1 if self.behaviour == "new-etag" else 1
            headers = ["Connection: close", f'ETag: "body-{version}"', "Last-Modified: Mon, 07 Dec 2026 10:00:00 GMT"]
            if self.behaviour in ("404", "500"):
                status = int(self.behaviour)
                page = f"<html><body>{status}</body></html>".encode()
                reason = "Not Found" if status == 404 else "Internal Server Error"
                conn.sendall(f"HTTP/1.1 {status} {reason}\r\nContent-Type: text/html\r\n"
                             f"Content-Length: {len(page)}\r\nConnection: close\r\n\r\n".encode() + page)
                sent = len(page)
                return
            honours = ("ranges", "drop", "silent", "new-etag")
            wanted = self._range(text, size) if self.behaviour in honours else None
            if self.behaviour in honours + ("lie-range",):
                headers.append("Accept-Ranges: bytes")
            if wanted:
                status, (first, last) = 206, wanted
                headers.append(f"Content-Range: bytes {first}-{last}/{size}")
                line = "HTTP/1.1 206 Partial Content"
            else:
                status, first, last = 200, 0, size - 1
                line = "HTTP/1.1 200 OK"
            headers.append(f"Content-Length: {last - first + 1}")
            with self._lock:
                self.answering[conn] = ServedRequest(begun, None, target, asked, status, first, last, 0)
            conn.sendall(("\r\n".join([line, "Content-Type: application/zip"] + headers) + "\r\n\r\n").encode())
            end = last + 1
            if self.behaviour in ("drop", "silent") and first <= self.cut <= last:
                end = self.cut
            sent = self._send(conn, first, end)
            if end <= last and self.behaviour == "silent":
                self._stopped.wait(600)
        except OSError:
            pass
        finally:
            with self._lock:
                self.answering.pop(conn, None)
                self.served.append(ServedRequest(begun, time.time(), target, asked, status, first, last, sent))
            try:
                conn.close()
            except OSError:
                pass

    def _send(self, conn, first, end):
        """Sends body[first:end]; with a rate, each block waits until the bucket holds it."""
        block = 4096 if self.rate else 65536
        started = time.monotonic()
        sent = 0
        while first + sent < end and not self._stopped.is_set():
            piece = self.body[first + sent:min(end, first + sent + block)]
            if self.rate:
                due = started + (sent + len(piece)) / self.rate
                pause = due - time.monotonic()
                if pause > 0:
                    time.sleep(pause)
            conn.sendall(piece)
            sent += len(piece)
        return sent

    def stop(self):
        self._stopped.set()
        close_listener(self._sock)
        with self._lock:
            conns = list(self._conns)
        for c in conns:
            try:
                c.close()
            except OSError:
                pass


# --------------------------------------------------------------------------------------------
# Runner

_FIXTURES = {}


def fixture(fn):
    """Registers a fixture: a function (or generator, for teardown after its yield) named as the
    parameter that asks for it. Its own parameters are fixtures too. One instance per run."""
    _FIXTURES[fn.__name__] = fn
    return fn


class _Session:
    def __init__(self, options):
        self.options = options
        self.values = {"options": options}
        self.failed_setups = {}
        self.teardowns = []  # (name, generator), in creation order

    def get(self, name, chain=()):
        if name in self.values:
            return self.values[name]
        if name in self.failed_setups:
            raise RuntimeError(f"fixture {name!r} failed earlier") from self.failed_setups[name]
        if name not in _FIXTURES:
            raise LookupError(f"no fixture named {name!r}")
        if name in chain:
            raise RuntimeError(f"fixture cycle: {' -> '.join(chain + (name,))}")
        fn = _FIXTURES[name]
        try:
            args = [self.get(p, chain + (name,)) for p in inspect.signature(fn).parameters]
            started = time.monotonic()
            if inspect.isgeneratorfunction(fn):
                gen = fn(*args)
                value = next(gen)
                self.teardowns.append((name, gen))
            else:
                value = fn(*args)
            log(f"fixture {name} ready in {time.monotonic() - started:.2f} s")
        except Exception as e:
            self.failed_setups[name] = e
            raise
        self.values[name] = value
        return value

    def close(self):
        ok = True
        for name, gen in reversed(self.teardowns):
            try:
                next(gen)
            except StopIteration:
                pass
            except Exception:
                ok = False
                print(f"ERROR tearing down {name}", flush=True)
                traceback.print_exc(file=sys.stdout)
        self.teardowns.clear()
        return ok


@fixture
def workdir(options):
    path = Path(tempfile.mkdtemp(prefix="pagetide-wine-"))
    yield path
    if options.keep:
        log(f"kept {path}")
    else:
        shutil.rmtree(path, ignore_errors=True)


@fixture
def env(workdir):
    started = time.monotonic()
    e = WineEnv(workdir)
    log(f"X display {e.display}, Wine prefix ready in {time.monotonic() - started:.1f} s")
    yield e
    e.close()


@fixture
def driver(env, options, workdir):
    d = Driver(env, options.tools, workdir)
    yield d
    d.quit()


def _site(port, workdir):
    root = Path(workdir) / f"site-{port}"
    root.mkdir()
    server = Nginx(port, root, workdir)
    yield server
    server.stop()


# The sites come after env: its lock on the prefix also keeps a second run off the fixed ports.
@fixture
def maker(env, workdir):
    """The maker's site, 127.0.0.1:18931; put files into maker.root."""
    yield from _site(MAKER_PORT, workdir)


@fixture
def directory(env, workdir):
    """The web-directory site, 127.0.0.1:18932."""
    yield from _site(DIRECTORY_PORT, workdir)


def parse_options(argv=None, extra=None):
    parser = argparse.ArgumentParser()
    parser.add_argument("--stage", type=Path, default=Path(os.environ.get("PAGETIDE_STAGE", DEFAULT_STAGE)),
                        help="the win32-test stage (KORVA.exe, data/)")
    parser.add_argument("--tools", type=Path, default=Path(os.environ.get("PAGETIDE_TOOLS", DEFAULT_TOOLS)),
                        help="where uidriver.exe is")
    parser.add_argument("-k", dest="select", action="append", default=[],
                        help="run only tests whose name contains this (repeatable)")
    parser.add_argument("--keep", action="store_true", help="keep the temp dir (logs, copies) for a look")
    if extra:
        extra(parser)
    return parser.parse_args(argv)


def run(namespace, argv=None):
    """Runs the test_* functions of a test file's namespace in their order; exits 1 on any failure."""
    options = parse_options(argv)
    # ctest's time-out and Ctrl+C both end in the teardowns, so no Wine or server outlives the run.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    tests = [(name, fn) for name, fn in namespace.items() if name.startswith("test_") and callable(fn)]
    if options.select:
        tests = [(n, f) for n, f in tests if any(s in n for s in options.select)]
    session = _Session(options)
    passed = failed = 0
    started_all = time.monotonic()
    try:
        for name, fn in tests:
            started = time.monotonic()
            try:
                args = [session.get(p) for p in inspect.signature(fn).parameters]
                started = time.monotonic()  # fixtures log their own set-up time
                fn(*args)
            except Exception:
                failed += 1
                print(f"FAIL {name} ({time.monotonic() - started:.1f} s)", flush=True)
                traceback.print_exc(file=sys.stdout)
            else:
                passed += 1
                print(f"PASS {name} ({time.monotonic() - started:.1f} s)", flush=True)
    finally:
        if not session.close():
            failed += 1
    log(f"{len(tests)} test(s) in {time.monotonic() - started_all:.1f} s")
    print(f"{passed} passed, {failed} failed", flush=True)
    sys.exit(1 if failed else 0)
