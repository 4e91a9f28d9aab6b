#!/usr/bin/python3
"""Both windows read right whatever the system's locale: each window is drawn under the Chinese
locale (code page 936) and under a Western one (C.UTF-8: code page 1252, Tahoma as the default UI
font, which has no Chinese glyphs), and the two pictures must be the same. Before the controls and
menus got a font chosen by character set, the menu bar, the labels, the hint line and the second
button came out as boxes under the Western locale.

Compared: the refresher's whole window (its caption is ASCII), and the updater's client area (its
caption is drawn by the system in the locale's font, which no program can choose)."""

import shutil
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import harness  # noqa: E402
from harness import wait_until  # noqa: E402

LOCALES = ["zh_CN.UTF-8", "C.UTF-8"]
SILENT_PORT = 18953  # the updater's package address: accepts and never answers, so the row stays


def pixels(path):
    """(width, height, RGB bytes) of a PNG, through imagemagick."""
    size = subprocess.run(["identify", "-format", "%w %h", str(path)], capture_output=True, text=True, check=True)
    w, h = map(int, size.stdout.split())
    raw = subprocess.run(["convert", str(path), "-depth", "8", "rgb:-"], capture_output=True, check=True).stdout
    return w, h, raw


def differing(a, b):
    """The share of pixels that differ between two same-sized pictures."""
    (wa, ha, pa), (wb, hb, pb) = pixels(a), pixels(b)
    assert (wa, ha) == (wb, hb), ((wa, ha), (wb, hb))
    return sum(pa[i:i + 3] != pb[i:i + 3] for i in range(0, len(pa), 3)) / (wa * ha)


def shoot(env, driver, stage, workdir, exe, args, region):
    copy = Path(workdir) / "stage"
    if not copy.exists():
        shutil.copytree(stage, copy)
    program = copy / exe
    pid = driver.start(f'"{harness.windows_path(program)}" {args}'.strip(), cwd=program.parent)
    try:
        window = driver.wait_window("*", "*", timeout=60, pid=pid)
        wait_until(lambda: not driver.message_boxes(pid) and driver.windows(), 10, what="no message box")
        time.sleep(1.5)  # the update check, or the updater's pause and task row
        driver.foreground(window["hwnd"])
        window = next(w for w in driver.windows() if w["hwnd"] == window["hwnd"])
        shot = Path(workdir) / f"{Path(exe).stem}.png"
        env.screenshot_when_still(shot, window[region])
        return shot, window
    finally:
        driver.kill(pid)


def test_both_windows_read_the_same_under_a_western_locale(options, workdir):
    silent = harness.SilentServer(SILENT_PORT)
    shots = {}
    try:
        for locale in LOCALES:
            place = Path(workdir) / locale
            place.mkdir()
            env = harness.WineEnv(place, locale=locale)
            driver = None
            try:
                driver = harness.Driver(env, options.tools, place)
                shots[locale] = [
                    shoot(env, driver, options.stage, place, "KORVA.exe", "", "rect"),
                    shoot(env, driver, options.stage, place, "data/update.exe",
                          f"qzmkhost_launcher http://127.0.0.1:{SILENT_PORT}/KORVA.zip 页潮 run KORVA.exe K.zip 说明",
                          "client"),
                ]
            finally:
                if driver:
                    driver.quit()
                env.close()
    finally:
        silent.stop()
    for (chinese, _), (western, window) in zip(shots[LOCALES[0]], shots[LOCALES[1]]):
        share = differing(chinese, western)
        print(f"{chinese.name}: {share:.4%} of the pixels differ between the locales")
        assert share < 0.002, (chinese, western, share)


if __name__ == "__main__":
    harness.run(globals())
