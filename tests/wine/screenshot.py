#!/usr/bin/python3
"""Saves PNGs of both windows as Wine's virtual desktop draws them: KORVA.exe's main window as OUT.png,
and data/update.exe in the middle of a download as OUT-updater.png (the package, the stage zipped, is
served slowly from loopback).

    /usr/bin/python3 tests/wine/screenshot.py OUT.png [--stage DIR] [--tools DIR]
"""

import io
import shutil
import sys
import tempfile
import zipfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import harness  # noqa: E402


UPDATER_PORT = 18954


def shoot_updater(env, driver, options, workdir, closers):
    package = io.BytesIO()
    with zipfile.ZipFile(package, "w", zipfile.ZIP_DEFLATED) as z:
        for path in sorted(Path(options.stage).rglob("*")):
            if path.is_file():
                z.write(path, path.relative_to(options.stage).as_posix())
    server = harness.BodyServer(UPDATER_PORT, package.getvalue(), behaviour="ranges", rate=30_000)
    closers.append(server.stop)
    updater = harness.windows_path(Path(workdir) / "stage" / "data" / "update.exe")
    pid = driver.start(f'"{updater}" qzmkhost_launcher http://127.0.0.1:{UPDATER_PORT}/KORVA.zip 页潮 run '
                       "KORVA.exe KORVA.zip 更新")
    closers.append(lambda: driver.kill(pid))
    window = driver.wait_window("*", "*", timeout=60, pid=pid)

    def under_way():
        bars = [c for c in driver.children(window["hwnd"])
                if c["class"].lower() == "msctls_progress32" and c["visible"] and c.get("pos", 0) >= 30]
        return bars

    harness.wait_until(under_way, 60, what="the download under way")
    out = options.out.with_name(options.out.stem + "-updater.png")
    window = next(w for w in driver.windows() if w["hwnd"] == window["hwnd"])
    env.screenshot(out, window["rect"])
    print(f"{out}: window {window['rect']}")


def main():
    options = harness.parse_options(extra=lambda p: p.add_argument("out", type=Path, help="the PNG to write"))
    workdir = Path(tempfile.mkdtemp(prefix="pagetide-shot-"))
    closers = []
    try:
        env = harness.WineEnv(workdir)
        closers.append(env.close)
        sites = []
        for port in (harness.MAKER_PORT, harness.DIRECTORY_PORT):
            root = workdir / f"site-{port}"
            root.mkdir()
            sites.append(harness.Nginx(port, root, workdir))
            closers.append(sites[-1].stop)
        driver = harness.Driver(env, options.tools, workdir)
        closers.append(driver.quit)
        pid, window = harness.start_program(driver, options.stage, workdir, caption="Pagetide V1.1")
        closers.append(lambda: driver.kill(pid))
        # Both browsers have navigated once the site saw their pages: by then every control exists.
        for target in ("/KORVA/a.htm", "/KORVA/1.htm"):
            sites[0].wait_for(lambda r, t=target: r.target == t, timeout=30)
        window = next(w for w in driver.windows() if w["hwnd"] == window["hwnd"])
        options.out.parent.mkdir(parents=True, exist_ok=True)
        env.screenshot_when_still(options.out, window["rect"])
        print(f"{options.out}: window {window['rect']}")
        driver.kill(pid)
        shoot_updater(env, driver, options, workdir, closers)
    finally:
        for close in reversed(closers):
            try:
                close()
            except Exception as e:  # the rest must still be stopped
                harness.log(f"cleaning up: {e!r}")
        shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    main()
