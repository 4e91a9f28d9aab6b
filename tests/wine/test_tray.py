#!/usr/bin/python3
"""KORVA.exe under Wine: the Alt+E hotkey, the notification-area icon and its menu, and the menu
items that open the sites in the shell.

Every case runs its own KORVA process: the hotkey and the tray icon belong to one window at a time,
and several cases end the program on purpose.
"""

import json
import shutil
import sys
from contextlib import contextmanager
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import harness  # noqa: E402
from harness import fixture, wait_until  # noqa: E402

CAPTION = "Pagetide V1.1"
CLICK_HINT = "点击'左键'显示界面,点击'右键'显示菜单"
CONTACT_HINT = f"快捷键:Alt+E 显示界面\r\n联系QQ:800102014 127.0.0.1:{harness.MAKER_PORT}"
MAKER_HOME = f"http://127.0.0.1:{harness.MAKER_PORT}/?KORVA"
DIRECTORY_HOME = f"http://127.0.0.1:{harness.DIRECTORY_PORT}/?KORVA"

# The menu bar: 菜单 (隐藏窗口, 显示界面, 退出程序, 官方网站), 链接 (站长导航), By:800102014 (127.0.0.1:18931).
MAIN_MENU, LINK_MENU, BY_MENU = 0, 1, 2
HIDE_ITEM, SHOW_ITEM, EXIT_ITEM, HOME_ITEM = 0, 1, 2, 3

# The tray menu's offset from the pointer: its right edge and its top lie this far left and above.
TRAY_MENU_OFFSET = 5


class Korva:
    def __init__(self, driver, pid, hwnd):
        self.driver = driver
        self.pid = pid
        self.hwnd = hwnd

    def visible(self):
        return self.driver.is_visible(self.hwnd)

    def wait_visible(self, visible, timeout=10.0, why=""):
        try:
            wait_until(lambda: self.visible() == visible, timeout,
                       what=f"the window to be {'shown' if visible else 'hidden'}")
        except TimeoutError:
            raise AssertionError(f"the window is still {'hidden' if visible else 'visible'} {timeout} s "
                                 f"after {why}") from None

    def hide_with_menu_item(self):
        """Hides the window with 菜单 > 隐藏窗口 (which also sets the tray icon); returns the menu's rect."""
        menu = self.driver.open_menu_bar(self.hwnd, MAIN_MENU)
        self.driver.choose_menu_item(HIDE_ITEM, first_selected=True)
        self.wait_visible(False, why="隐藏窗口")
        return menu["rect"]


@contextmanager
def running_korva(driver, maker, options, workdir):
    pid, window = harness.start_program(driver, options.stage, workdir, caption=CAPTION)
    korva = Korva(driver, pid, window["hwnd"])
    try:
        # The hotkey is registered right after the update check's request has been answered, and
        # before the window's thread handles its first message: a message sent after that request
        # comes back only once the hotkey is there.
        maker.wait_for(lambda r: r.target == "/KORVA/data.xml", timeout=30)
        wait_until(lambda: driver.call("text", korva.hwnd, check=False)["ok"], 30,
                   what="the window's thread to handle messages")
        yield korva
    finally:
        driver.kill(pid)  # nothing to do when the case has ended it


def the_icon(driver, text=None, timeout=10.0):
    """The one tray icon, once there is exactly one (with that tooltip, if given)."""
    def one():
        icons = driver.tray_icons()
        return icons[0] if len(icons) == 1 and (text is None or icons[0]["text"] == text) else None
    try:
        return wait_until(one, timeout, what="the tray icon")
    except TimeoutError:
        raise AssertionError(f"expected one tray icon with tooltip {text!r}; shown: {driver.tray_icons()}") from None


def test_alt_e_toggles_the_window_and_sets_the_tray_icon(driver, maker, options, workdir):
    with running_korva(driver, maker, options, workdir) as korva:
        assert driver.tray_icons() == [], "a tray icon before the first Alt+E"
        driver.foreground(korva.hwnd)
        driver.key("alt+e")
        korva.wait_visible(False, why="Alt+E")
        icon = the_icon(driver, CLICK_HINT)

        # A left click on the icon changes its tooltip; the next Alt+E must set the hint again on
        # the same icon, not add a second one.
        driver.click_at_center(icon["rect"])
        korva.wait_visible(True, why="a left click on the tray icon")
        the_icon(driver, CONTACT_HINT)
        driver.key("alt+e")
        korva.wait_visible(False, why="the second Alt+E")
        assert the_icon(driver, CLICK_HINT)["rect"] == icon["rect"]

        # The hotkey is system-wide: it also works while no window of the program has the keyboard.
        driver.key("alt+e")
        korva.wait_visible(True, why="the third Alt+E")
        the_icon(driver, CLICK_HINT)


def test_left_click_on_the_tray_icon_shows_the_window(driver, maker, options, workdir):
    with running_korva(driver, maker, options, workdir) as korva:
        korva.hide_with_menu_item()
        icon = the_icon(driver, CLICK_HINT)
        driver.click_at_center(icon["rect"])
        korva.wait_visible(True, why="a left click on the tray icon")
        the_icon(driver, CONTACT_HINT)


def test_right_click_on_the_tray_icon_opens_the_menu_and_exit_ends_the_program(driver, maker, options, workdir):
    with running_korva(driver, maker, options, workdir) as korva:
        main_menu = korva.hide_with_menu_item()
        icon = the_icon(driver, CLICK_HINT)
        x, y = harness.center(icon["rect"])
        driver.mouse(x, y, "right")
        menu = driver.wait_popup_menu(korva.hwnd)
        assert driver.cursor() == (x, y)

        l, t, r, b = menu["rect"]
        w, h = r - l, b - t
        ml, mt, mr, mb = main_menu
        assert (w, h) == (mr - ml, mb - mt), f"tray menu {menu['rect']} is not the size of 菜单's {main_menu}"
        assert r == x - TRAY_MENU_OFFSET, f"menu {menu['rect']} for a right click at {(x, y)}"
        # The icon sits at the bottom of the screen: asked for at the pointer's height minus the
        # offset, the menu would hang below the screen, and the system moves it up until it ends
        # at the bottom edge. Asked for anywhere else, its top would be there.
        screen_h = driver.call("screen")["height"]
        wanted_top = y - TRAY_MENU_OFFSET
        expected_top = wanted_top if wanted_top + h <= screen_h else screen_h - h
        assert t == expected_top, f"menu {menu['rect']} for a right click at {(x, y)}, screen height {screen_h}"

        assert not korva.visible(), "a right click on the tray icon showed the window"
        the_icon(driver, CONTACT_HINT)

        driver.choose_menu_item(EXIT_ITEM, first_selected=False)
        assert driver.wait_exit(30, korva.pid) == 0
        # Wine's tray also drops the icons of windows destroyed without removing them, so this holds
        # with or without the program's own removal.
        try:
            wait_until(lambda: driver.tray_icons() == [], 10, what="the tray icon to go")
        except TimeoutError:
            raise AssertionError(f"the tray icon outlived the program: {driver.tray_icons()}") from None


# Opening addresses: Wine's ShellExecute, given "http://...", first tries the address as a program and
# as a file with an "extension" (".1:18931/?KORVA"), then runs HKCR\http\shell\open\command, unless
# HKCR\http\shell\open\ddeexec is there (then it talks DDE). HKCU\Software\Classes is not consulted
# (HKCR is HKLM\Software\Classes only here), so the recorder goes into the prefix-wide key, and the
# values found before are put back afterwards.
HTTP_OPEN = r"HKLM\Software\Classes\http\shell\open\command"
HTTP_DDE = r"HKLM\Software\Classes\http\shell\open\ddeexec"
HTM_TYPE = r"HKLM\Software\Classes\.htm"
TEST_PAGE_CLASS = r"HKLM\Software\Classes\PagetideTest.htm"
_SHELL_BACKUP = harness.PREFIX.parent / (harness.PREFIX.name + ".shell-open.json")


class ShellOpen:
    def __init__(self, driver, workdir):
        self.driver = driver
        self.workdir = Path(workdir)
        self.cases = 0

    def recorder(self, recorder_exe):
        """A fresh directory with its own copy of the recorder; returns (directory, command for %1)."""
        self.cases += 1
        folder = self.workdir / f"opened-{self.cases}"
        folder.mkdir()
        shutil.copy(recorder_exe, folder / "recorder.exe")
        return folder, f'"{harness.windows_path(folder / "recorder.exe")}" "%1"'

    def use_http_handler(self, command):
        self.driver.reg_set(HTTP_OPEN, "", command)

    def use_htm_handler(self, command):
        self.driver.reg_set(HTM_TYPE, "", "PagetideTest.htm")
        self.driver.reg_set(TEST_PAGE_CLASS + r"\shell\open\command", "", command)


def _restore_shell(driver, saved):
    if saved["http"] is None:
        driver.reg_delete(HTTP_OPEN)
    else:
        driver.reg_set(HTTP_OPEN, "", saved["http"])
    if saved["htm"] is None:
        driver.reg_delete(HTM_TYPE)  # there was no .htm key (see shell_open)
    else:
        driver.reg_set(HTM_TYPE, "", saved["htm"])
    driver.reg_delete(TEST_PAGE_CLASS)


@fixture
def shell_open(driver, workdir):
    # The prefix outlives the run; a run killed before its teardown leaves the saved values here.
    if _SHELL_BACKUP.exists():
        _restore_shell(driver, json.loads(_SHELL_BACKUP.read_text()))
        _SHELL_BACKUP.unlink()
    assert not driver.reg_key_exists(HTTP_DDE), f"{HTTP_DDE} exists: ShellExecute would use DDE, not the command"
    saved = {"http": driver.reg_get(HTTP_OPEN), "htm": driver.reg_get(HTM_TYPE)}
    # Restoring deletes a .htm key that had no type; one that exists without a type is not ours to delete.
    assert saved["htm"] is not None or not driver.reg_key_exists(HTM_TYPE), f"{HTM_TYPE} exists without a type"
    _SHELL_BACKUP.write_text(json.dumps(saved))
    yield ShellOpen(driver, workdir)
    _restore_shell(driver, saved)
    _SHELL_BACKUP.unlink()


def split_command_line(line):
    """Arguments of a Windows command line, for lines without escaped quotes."""
    args, current, quoted, started = [], "", False, False
    for ch in line:
        if ch == '"':
            quoted, started = not quoted, True
        elif ch in " \t" and not quoted:
            if started:
                args.append(current)
            current, started = "", False
        else:
            current, started = current + ch, True
    if started:
        args.append(current)
    return args


def recorded_arguments(folder, timeout=30.0):
    try:
        files = wait_until(lambda: sorted(folder.glob("cmdline-*.bin")), timeout, what="the recorder to run")
    except TimeoutError:
        raise AssertionError(f"nothing was started through {folder.name} within {timeout} s") from None
    return split_command_line(files[0].read_bytes().decode("gbk"))[1:]


# (what is chosen, menu, item, the handler that works, the address it must be given)
OPEN_CASES = [
    ("菜单 > 官方网站", MAIN_MENU, HOME_ITEM, "http", MAKER_HOME),
    ("By:800102014 > 127.0.0.1:18931", BY_MENU, 0, "http", MAKER_HOME),
    ("链接 > 站长导航", LINK_MENU, 0, "http", DIRECTORY_HOME),
    # The hyperlink box falls back to the program registered for .htm files when ShellExecute fails.
    ("By:800102014 > 127.0.0.1:18931, ShellExecute failing", BY_MENU, 0, "htm", MAKER_HOME),
    ("链接 > 站长导航, ShellExecute failing", LINK_MENU, 0, "htm", DIRECTORY_HOME),
]


def test_menu_items_open_the_sites(driver, maker, options, workdir, shell_open):
    recorder_exe = Path(options.tools) / "recorder.exe"
    assert recorder_exe.exists(), f"{recorder_exe} is missing: build the win32-test preset"
    with running_korva(driver, maker, options, workdir) as korva:
        failures = []
        for what, menu, item, handler, address in OPEN_CASES:
            folder, command = shell_open.recorder(recorder_exe)
            if handler == "http":
                shell_open.use_http_handler(command)
            else:
                # A program that does not exist makes ShellExecute fail for http addresses.
                shell_open.use_http_handler(f'"{harness.windows_path(folder / "missing.exe")}" "%1"')
                shell_open.use_htm_handler(command)
            driver.open_menu_bar(korva.hwnd, menu)
            driver.choose_menu_item(item, first_selected=True)
            try:
                arguments = recorded_arguments(folder)
            except AssertionError as e:
                failures.append(f"{what}: {e}")
                continue
            if arguments != [address]:
                failures.append(f"{what}: opened with {arguments}, expected [{address!r}]")
        assert not failures, "\n".join(failures)


if __name__ == "__main__":
    harness.run(globals())
