#!/usr/bin/python3
"""Saves a PNG of KORVA.exe's main window as Wine's virtual desktop draws it.

    /usr/bin/python3 tests/wine/screenshot.py OUT.png [--stage DIR] [--tools DIR]
"""

import shutil
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import harness  # noqa: E402


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
    finally:
        for close in reversed(closers):
            try:
                close()
            except Exception as e:  # the rest must still be stopped
                harness.log(f"cleaning up: {e!r}")
        shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    main()
