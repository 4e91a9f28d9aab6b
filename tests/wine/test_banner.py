#!/usr/bin/python3
"""KORVA.exe under Wine: mouse presses on the banner browser (the strip under the tab pages) and on
a tab page's browser.

A right press on the banner opens the program's own menu at the pointer; other presses, and every
press on a tab page's browser, go on to the browser.

Every case runs its own KORVA process: each one ends the program.
"""

import sys
from contextlib import contextmanager
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import harness  # noqa: E402
from harness import wait_until  # noqa: E402

CAPTION = "Pagetide V1.1"
MAIN_MENU = 0  # 菜单 on the menu bar: 隐藏窗口, 显示界面, 退出程序, 官方网站; the banner opens the same menu
SHOW_ITEM, EXIT_ITEM = 1, 2
BANNER_FRAME_PLACE = (0, 411, 639, 62)  # client x, y, width, height of the frame the banner is clipped to


class Korva:
    def __init__(self, driver, pid, hwnd):
        self.driver = driver
        self.pid = pid
        self.hwnd = hwnd
        self.banner_at_start = self.banner_windows()

    def banner_frame(self):
        """The RtPanel child of the main window at the banner's place (screen rect check)."""
        client = self.client_origin()
        x, y, w, h = BANNER_FRAME_PLACE
        want = [client[0] + x, client[1] + y, client[0] + x + w, client[1] + y + h]
        found = [c for c in self.driver.children(self.hwnd)
                 if c["parent"] == self.hwnd and c["class"] == "RtPanel" and c["rect"] == want]
        assert len(found) == 1, f"expected one frame at {want}; children: {self.driver.children(self.hwnd)}"
        return found[0]

    def client_origin(self):
        # The tab control sits at client (1, 0): its screen place gives the client origin.
        tabs = [c for c in self.driver.children(self.hwnd) if c["class"] == "SysTabControl32"]
        assert len(tabs) == 1, tabs
        return tabs[0]["rect"][0] - 1, tabs[0]["rect"][1]

    def banner_windows(self):
        """The banner's windows inside its frame: (class, hwnd, parent), in the system's order."""
        frame = self.banner_frame()
        inside = {frame["hwnd"]}
        out = []
        for c in self.driver.children(self.hwnd):
            if c["parent"] in inside:
                inside.add(c["hwnd"])
                out.append((c["class"], c["hwnd"], c["parent"]))
        return out

    def page_browser(self):
        """The visible tab page's deepest browser window."""
        views = [c for c in self.driver.children(self.hwnd)
                 if c["class"] == "Shell DocObject View" and c["visible"]
                 and c["hwnd"] not in {w[1] for w in self.banner_windows()}]
        assert len(views) == 1, f"expected one visible page browser view, found {views}"
        return views[0]


@contextmanager
def running_korva(driver, maker, options, workdir):
    pid, window = harness.start_program(driver, options.stage, workdir, caption=CAPTION)
    try:
        # Until the update check has been answered the window's thread handles no input.
        maker.wait_for(lambda r: r.target == "/KORVA/data.xml", timeout=30)
        wait_until(lambda: driver.call("text", window["hwnd"], check=False)["ok"], 30,
                   what="the window's thread to handle messages")
        korva = Korva(driver, pid, window["hwnd"])
        harness.log(f"banner windows at start (class, hwnd, parent): {korva.banner_at_start}")
        yield korva
    finally:
        driver.kill(pid)  # nothing to do when the case has ended it


def what_got_it(korva, x, y):
    return (f"window under the pointer: {korva.driver.window_at(x, y)}; banner windows at start: "
            f"{korva.banner_at_start}; now: {korva.banner_windows()}")


# A press that reaches a browser window's own procedure ends in DefWindowProc there (this Wine's
# browser windows handle no mouse message themselves), and DefWindowProc forgets a pending F10 on
# any button press: with F10 held across the press, releasing it no longer opens the menu bar,
# and the Esc after it reaches the window, which closes on Esc. Had the press been swallowed on the
# way, the release would open the menu bar and the Esc only close that again.
# (where, button)
REACHING_PRESSES = [
    ("banner", "left"),
    ("tab page", "right"),  # the tab pages' browsers keep their own right clicks
]


def test_presses_that_reach_the_browser(driver, maker, options, workdir):
    failures = []
    for where, button in REACHING_PRESSES:
        with running_korva(driver, maker, options, workdir) as korva:
            target = korva.banner_frame() if where == "banner" else korva.page_browser()
            x, y = harness.center(target["rect"])
            under = driver.window_at(x, y)
            if where == "banner":
                assert under["hwnd"] in {w[1] for w in korva.banner_at_start}, what_got_it(korva, x, y)
            else:
                assert under["hwnd"] == target["hwnd"], what_got_it(korva, x, y)

            driver.foreground(korva.hwnd)
            assert driver.gui(korva.hwnd)["capture"] == 0, "a window has the mouse captured"
            # The channel itself: F10 alone opens the menu bar, Esc closes it (and only it).
            driver.key("f10")
            wait_until(lambda: driver.gui(korva.hwnd)["menu_owner"] == korva.hwnd, 10, what="F10 to open the menu bar")
            driver.key("esc")
            wait_until(lambda: not driver.gui(korva.hwnd)["in_menu_mode"], 10, what="Esc to close the menu bar")

            driver.key_down("f10")
            driver.mouse(x, y, button)
            driver.key_up("f10")
            driver.key("esc")
            try:
                code = driver.wait_exit(30, korva.pid)
            except harness.DriverError:
                failures.append(f"{button} press on the {where} at {(x, y)} did not reach the browser; "
                                f"{what_got_it(korva, x, y)}; thread state {driver.gui(korva.hwnd)}")
                continue
            if code != 0:
                failures.append(f"{button} press on the {where}: Esc ended the program with code {code}")
    assert not failures, "\n".join(failures)


def test_right_click_on_the_banner_opens_the_menu_at_the_pointer(driver, maker, options, workdir):
    with running_korva(driver, maker, options, workdir) as korva:
        # The menu bar's 菜单, for its size; 显示界面 closes it without changing anything.
        main_menu = driver.open_menu_bar(korva.hwnd, MAIN_MENU)["rect"]
        driver.choose_menu_item(SHOW_ITEM, first_selected=True)
        wait_until(lambda: not driver.gui(korva.hwnd)["in_menu_mode"], 10, what="the menu bar to close")

        x, y = harness.center(korva.banner_frame()["rect"])
        ml, mt, mr, mb = main_menu
        screen = driver.call("screen")
        assert x + (mr - ml) <= screen["width"] and y + (mb - mt) <= screen["height"], \
            "a menu at this point would not fit on the screen, and the system would move it"
        driver.mouse(x, y, "right")
        try:
            menu = driver.wait_popup_menu(korva.hwnd, timeout=10)
        except TimeoutError:
            raise AssertionError(f"no menu 10 s after a right click at {(x, y)}; {what_got_it(korva, x, y)}") from None
        assert driver.cursor() == (x, y)
        l, t, r, b = menu["rect"]
        assert (l, t) == (x, y), f"menu {menu['rect']} for a right click at {(x, y)}"
        assert (r - l, b - t) == (mr - ml, mb - mt), f"banner menu {menu['rect']} is not the size of 菜单's {main_menu}"

        driver.choose_menu_item(EXIT_ITEM, first_selected=False)
        assert driver.wait_exit(30, korva.pid) == 0


if __name__ == "__main__":
    harness.run(globals())
