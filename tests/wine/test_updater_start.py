#!/usr/bin/python3
"""data\\update.exe under Wine, started directly with a command line: the pause, the refusal of a
bad invocation, and the first task row of a good one.

Each case is its own process: what is under test happens once, at start.
"""

import shutil
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import harness  # noqa: E402
from harness import fixture, wait_until  # noqa: E402

BOX_TITLE = "信息："
REFUSAL = "程序调用参数错误！"
CAPTION_START = "Fetchwell | "
HEADERS = ["任务名称", "任务大小", "下载进度", "下载速度", "相关操作"]
GOOD_ARGS = "qzmkhost_launcher http://127.0.0.1:18931/none.zip 标题 run KORVA.exe p.zip 说明"
# 1000 rounds of message pump + Sleep(1): however fast the machine, not less than this.
PAUSE = 1.0

# The row's copies inside the task list's client area: (left, top, width, height).
NAME = (2, 21, 124, 19)
SIZE = (124, 21, 59, 19)
STATUS = (184, 21, 124, 19)
SPEED = (309, 21, 64, 19)
PROGRESS = (184, 21, 124, 19)
SEPARATOR = (1, 42, 513, 1)  # two pixels under the name label


@fixture
def updater(options, workdir):
    """The updater of a private copy of the stage, as Windows names it."""
    copy = Path(workdir) / "stage"
    if not copy.exists():
        shutil.copytree(options.stage, copy)
    return harness.windows_path(copy / "data" / "update.exe")


def start(driver, updater, args):
    started = time.monotonic()
    pid = driver.start(f'"{updater}" {args}')
    return pid, started


def main_window(driver, pid):
    window = driver.wait_window("*", "*", timeout=60, pid=pid)
    # The window is up during the pause, well before any message box.
    assert window["class"] != "#32770" and window["title"].startswith(CAPTION_START), window
    return window


def log_box(controls, window):
    edits = [c for c in controls if c["class"].lower() == "edit" and c["parent"] == window["hwnd"]]
    assert len(edits) == 1, f"expected one Edit in the window, found {edits}"
    return edits[0]


def test_bad_invocations_are_refused_after_the_pause(driver, updater):
    cases = [
        ("five arguments", "qzmkhost_launcher http://127.0.0.1:18931/none.zip 标题 run KORVA.exe"),
        ("a wrong token", "qzmkhost_launch http://127.0.0.1:18931/none.zip 标题 run KORVA.exe p.zip 说明"),
        ("the token in capitals", GOOD_ARGS.replace("qzmkhost_launcher", "QZMKHOST_LAUNCHER")),
    ]
    for label, args in cases:
        pid, started = start(driver, updater, args)
        try:
            window = main_window(driver, pid)
            log = log_box(driver.children(window["hwnd"]), window)
            # Whichever comes first: the refusal, or (accepted) the first line of the log.
            outcome = wait_until(lambda: driver.message_boxes(pid) or driver.text(log["hwnd"]), 60,
                                 what=f"{label}: a message box or a line in the log box")
            after = time.monotonic() - started
            assert isinstance(outcome, list), f"{label}: not refused; the log says {outcome!r}"
            assert after >= PAUSE, f"{label}: refused {after:.3f} s after the start"
            box = driver.wait_message_box(pid, title=BOX_TITLE, timeout=30)
            assert box["text"] == REFUSAL, (label, box)
            # Refused means nothing else was set up.
            assert driver.text(log["hwnd"]) == "", label
            driver.press_ok(box["hwnd"])
            assert driver.wait_exit(30, pid) == 0, label
        finally:
            driver.kill(pid)


def client_place(control, origin):
    l, t, r, b = control["rect"]
    return (l - origin[0], t - origin[1], r - l, b - t)


def test_good_invocation_shows_one_task_row(driver, updater):
    def end_with_esc(pid, window):
        driver.foreground(window["hwnd"])
        driver.key("esc")

    def end_with_close(pid, window):
        driver.close(window["hwnd"])

    for label, end in [("Esc", end_with_esc), ("WM_CLOSE", end_with_close)]:
        pid, started = start(driver, updater, GOOD_ARGS)
        try:
            window = main_window(driver, pid)
            log = log_box(driver.children(window["hwnd"]), window)
            text = wait_until(lambda: driver.text(log["hwnd"]), 60, what="a line in the log box")
            after = time.monotonic() - started
            assert text.startswith("执行下载任务1"), (label, text)
            assert after >= PAUSE, f"{label}: the task was set up {after:.3f} s after the start"
            assert not driver.message_boxes(pid), (label, driver.message_boxes(pid))

            controls = driver.children(window["hwnd"])
            headers = [c for c in controls if c["class"].lower() == "static" and c["text"] in HEADERS]
            assert sorted(c["text"] for c in headers if c["visible"]) == sorted(HEADERS), (label, headers)
            containers = {c["parent"] for c in headers}
            assert len(containers) == 1, (label, headers)
            container = next(c for c in controls if c["hwnd"] in containers)
            outer = next(c for c in controls if c["hwnd"] == container["parent"])
            assert outer["parent"] == window["hwnd"], (label, outer)
            # The outer box has a one-pixel sunken edge and the container a one-pixel border: their
            # client areas start one pixel inside their window rects.
            outer_origin = (outer["rect"][0] + 1, outer["rect"][1] + 1)
            assert client_place(container, outer_origin)[:2] == (1, 1), (label, container, outer)
            origin = (container["rect"][0] + 1, container["rect"][1] + 1)

            inside = [dict(c, place=client_place(c, origin)) for c in controls if c["parent"] == container["hwnd"]]

            def at(place, cls=None, visible=None):
                return [c for c in inside if c["place"] == place and (cls is None or c["class"].lower() == cls)
                        and (visible is None or c["visible"] == visible)]

            described = f"{label}: inside the task list: " + "; ".join(
                f"{c['class']} {c['place']} visible={c['visible']} text={c['text']!r}" for c in inside)
            for name, place in [("name", NAME), ("size", SIZE), ("status", STATUS), ("speed", SPEED)]:
                shown = at(place, "static", True)
                assert len(shown) == 1 and shown[0]["text"] == "", f"{name} label: {described}"
                # The copy's template stays where it is, hidden.
                assert len(at(place, "static", False)) == 1, f"{name} template: {described}"
            assert at(PROGRESS, "msctls_progress32", False), f"progress bar copy: {described}"
            assert not [c for c in inside if c["class"].lower() == "msctls_progress32" and c["visible"]], described
            separator = at(SEPARATOR, visible=True)
            assert len(separator) == 1, f"separator: {described}"

            end(pid, window)
            assert driver.wait_exit(30, pid) == 0, label
        finally:
            driver.kill(pid)


if __name__ == "__main__":
    harness.run(globals())
