#!/usr/bin/python3
"""The whole update cycle under Wine, with the real programs and the real release.

KORVA.exe 1.1 (the stage under test) finds 1.2 announced on the maker's site, by a document written
with scripts/version_document.py; it shows the notes and hands over to data\\update.exe, which
downloads the release zip of the 1.2 build (the win32-test-v12 preset), installs it and starts the
new KORVA.exe; that one finds nothing newer and runs. Then the installation's faults: a read-only
file of the program's folder, and damaged packages, which must leave the installed tree as it was
and still start the program.

The programs started by other programs are no children of the automation tool, so their exit codes
are read on the Linux side: Wine starts every process detached (double fork), and this runner makes
itself the subreaper that inherits them.
"""

import argparse
import ctypes
import io
import os
import shutil
import stat
import struct
import subprocess
import sys
import time
import zipfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import harness  # noqa: E402
from harness import fixture, wait_until  # noqa: E402

DEFAULT_RELEASE = harness.REPO / "build" / "win32-test-v12" / "release" / "KORVA-1.2.zip"
TOOL = harness.REPO / "scripts" / "version_document.py"
SITE = f"http://127.0.0.1:{harness.MAKER_PORT}"
PACKAGE_NAME = "KORVA-1.2.zip"
TITLE = "页潮刷新器"
NOTES = ["修正 托盘菜单", "新增 五个页面"]
BOX_TITLE = "信息："
UPDATER_CAPTION_START = "Fetchwell | "

_PR_SET_CHILD_SUBREAPER = 36
_libc = ctypes.CDLL(None, use_errno=True)


# --------------------------------------------------------------------------------------------
# Fixtures


def split_release_option(argv):
    """(--release path, the other arguments for the runner)."""
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument("--release", type=Path, default=DEFAULT_RELEASE,
                        help="the release zip of the win32-test-v12 build (KORVA.exe 1.2, data/update.exe)")
    known, rest = parser.parse_known_args(argv)
    return known.release, rest


RELEASE = DEFAULT_RELEASE


@fixture
def release():
    """The 1.2 release: its bytes and its members."""
    path = Path(RELEASE)
    if not path.exists():
        raise FileNotFoundError(f"{path} is missing: cmake --preset win32-test-v12 && "
                                "cmake --build --preset win32-test-v12 --target release")
    data = path.read_bytes()
    with zipfile.ZipFile(io.BytesIO(data)) as z:
        members = {info.filename: z.read(info) for info in z.infolist() if not info.is_dir()}
    return {"zip": data, "members": members}


@fixture
def reaper(env):
    """Makes this runner inherit the programs Wine starts, so their Linux exit status can be read."""
    if _libc.prctl(_PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0:
        raise OSError(ctypes.get_errno(), "prctl(PR_SET_CHILD_SUBREAPER)")
    return Reaper()


class Reaper:
    """Programs started by Wine processes, seen as this runner's Linux children (named by /proc's comm,
    which Wine sets to the executable's file name)."""

    def __init__(self):
        self.seen = set()

    @staticmethod
    def _children(name):
        found = []
        for entry in Path("/proc").iterdir():
            if not entry.name.isdigit():
                continue
            try:
                fields = (entry / "stat").read_text().rsplit(")", 1)[1].split()
                comm = (entry / "comm").read_text().strip()
            except OSError:
                continue
            if int(fields[1]) == os.getpid() and comm == name:
                found.append(int(entry.name))
        return found

    def new_child(self, name, timeout=60.0):
        """The Linux pid of a child named `name` not handed out before."""
        def fresh():
            pids = [p for p in self._children(name) if p not in self.seen]
            return pids[0] if pids else None
        pid = wait_until(fresh, timeout, what=f"a new process {name}")
        self.seen.add(pid)
        return pid

    def forget_existing(self, name):
        self.seen.update(self._children(name))

    @staticmethod
    def exit_code(pid, timeout=30.0):
        """The exit code (the low 8 bits of the Windows one) once the process has ended."""
        def ended():
            done, status = os.waitpid(pid, os.WNOHANG)
            return os.waitstatus_to_exitcode(status) if done else None
        deadline = time.monotonic() + timeout
        while True:
            code = ended()
            if code is not None:
                return code
            if time.monotonic() > deadline:
                raise TimeoutError(f"process {pid} still running after {timeout} s")
            time.sleep(0.02)


# --------------------------------------------------------------------------------------------
# The maker's site and the installed program


def version_document(version, address):
    result = subprocess.run(["/usr/bin/python3", str(TOOL), "--version", version, "--address", address,
                             "--title", TITLE, "--file", PACKAGE_NAME] + sum((["--note", n] for n in NOTES), []),
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
    assert result.returncode == 0, result.stderr.decode()
    return result.stdout


def publish(maker, package, version="1.2"):
    """The package and the document announcing it, where the programs ask for them."""
    folder = maker.root / "KORVA"
    folder.mkdir(exist_ok=True)
    (folder / PACKAGE_NAME).write_bytes(package)
    (folder / "data.xml").write_bytes(version_document(version, f"{SITE}/KORVA/{PACKAGE_NAME}"))


def install(options, workdir, name):
    """A private copy of the 1.1 stage, the program's folder of one case."""
    target = Path(workdir) / name / "Pagetide"
    shutil.copytree(options.stage, target)
    return target


def tree(root):
    """Every file under root with its bytes, and every folder (None)."""
    return {str(p.relative_to(root)): (p.read_bytes() if p.is_file() else None) for p in sorted(root.rglob("*"))}


def start_updater(driver, target, url):
    updater = harness.windows_path(target / "data" / "update.exe")
    return driver.start(f'"{updater}" qzmkhost_launcher {url} {TITLE} run KORVA.exe {PACKAGE_NAME} '
                        + " ".join(NOTES))


def program_window(driver, caption, timeout=60.0):
    def shown():
        found = [w for w in driver.windows() if w["title"] == caption and w["visible"]]
        return found[0] if found else None
    try:
        return wait_until(shown, timeout, interval=0.1, what=f"a window {caption!r}")
    except TimeoutError:
        raise TimeoutError(f"no window {caption!r} within {timeout} s; top-level windows: "
                           f"{[(w['title'], w['class'], w['visible']) for w in driver.windows()]}") from None


def runs_without_a_box(driver, window):
    """The relaunched program took no update: its window answers and takes input, and no box comes."""
    wait_until(lambda: driver.call("text", window["hwnd"], check=False).get("ok"), 60,
               what="the relaunched program's window to answer")
    try:
        late = driver.wait_message_box(window["pid"], timeout=2)
    except TimeoutError:
        late = None
    assert late is None, f"the relaunched program showed a message box: {late}"
    state = [w for w in driver.windows() if w["hwnd"] == window["hwnd"]]
    assert state and state[0]["visible"] and state[0]["enabled"], state


def close_with_esc(driver, window, reaper, linux_pid):
    driver.foreground(window["hwnd"])
    driver.key("esc")
    return reaper.exit_code(linux_pid)


def document_requests(maker):
    return [r for r in maker.requests() if r.target == "/KORVA/data.xml"]


# --------------------------------------------------------------------------------------------
# Tests


def test_1_1_finds_1_2_and_ends_up_running_it(release, driver, options, workdir, maker, reaper):
    members = release["members"]
    assert set(members) == {"KORVA.exe", "data/update.exe"}, set(members)
    target = install(options, workdir, "cycle")
    old = tree(target)
    assert members["KORVA.exe"] != old["KORVA.exe"], "the release holds the same KORVA.exe as the stage"
    publish(maker, release["zip"])
    reaper.forget_existing("KORVA.exe")
    asked_before = len(document_requests(maker))

    pid = driver.start(f'"{harness.windows_path(target / "KORVA.exe")}"', cwd=target)
    box = driver.wait_message_box(pid, title=BOX_TITLE, timeout=60)
    assert box["text"] == "发现有新的版本(1.2)可以更新，本次更新了如下内容：\r\n" + "\r\n".join(NOTES), box["text"]
    driver.press_ok(box["hwnd"])
    assert driver.wait_exit(30, pid) == 0
    reaper.forget_existing("KORVA.exe")  # the 1.1 process, ended

    updater_pid = reaper.new_child("update.exe", timeout=30)
    seen_updater = wait_until(lambda: [w for w in driver.windows() if w["title"].startswith(UPDATER_CAPTION_START)
                                       and w["visible"]], 30, what="the updater's window")
    harness.log(f"updater window: {seen_updater[0]['title']!r}")

    window = program_window(driver, "Pagetide V1.2")
    program_pid = reaper.new_child("KORVA.exe", timeout=30)
    assert reaper.exit_code(updater_pid) == 0
    runs_without_a_box(driver, window)
    # Both versions asked the maker's site, and the package was fetched from where the document says.
    asked = document_requests(maker)[asked_before:]
    assert [r.status for r in asked] == [200, 200], asked
    fetched = [r for r in maker.requests() if r.target == f"/KORVA/{PACKAGE_NAME}"]
    assert fetched and all(r.status in (200, 206) for r in fetched), fetched

    # File by file, with the new program running: the release's two programs, the updater that ran
    # moved aside beside its successor (the next installation removes it), the download's own empty
    # folder, and nothing else.
    after = tree(target)
    assert after == {
        "KORVA.exe": members["KORVA.exe"],
        "data": None,
        "data/update.exe": members["data/update.exe"],
        "data/update.exe.old": old["data/update.exe"],
        "data/time": None,
    }, {name: (len(data) if data is not None else None) for name, data in after.items()}

    assert close_with_esc(driver, window, reaper, program_pid) == 0
    wait_until(lambda: not driver.is_visible(window["hwnd"]), 10, what="the window to go")


def with_extra(package, entries):
    """The package with more entries after its own."""
    out = io.BytesIO(package)
    with zipfile.ZipFile(out, "a", zipfile.ZIP_DEFLATED) as z:
        for name, data in entries.items():
            z.writestr(name, data)
    return out.getvalue()


def test_a_read_only_file_of_the_program_stays_as_it_was(release, driver, options, workdir, maker, reaper):
    target = install(options, workdir, "read-only")
    (target / "readme.txt").write_bytes("用户的说明".encode("gbk"))
    os.chmod(target / "readme.txt", 0o444)  # Wine's read-only attribute
    publish(maker, with_extra(release["zip"], {"readme.txt": "新说明".encode("gbk")}))
    reaper.forget_existing("KORVA.exe")

    pid = start_updater(driver, target, f"{SITE}/KORVA/{PACKAGE_NAME}")
    assert driver.wait_exit(60, pid) == 0
    window = program_window(driver, "Pagetide V1.2")
    program_pid = reaper.new_child("KORVA.exe", timeout=30)
    runs_without_a_box(driver, window)

    assert (target / "readme.txt").read_bytes() == "用户的说明".encode("gbk")
    assert not (target / "readme.txt").stat().st_mode & stat.S_IWUSR, "still read-only"
    # The copy went on past the refused file: the folder "data" comes after the root's files.
    assert (target / "KORVA.exe").read_bytes() == release["members"]["KORVA.exe"]
    assert (target / "data" / "update.exe").read_bytes() == release["members"]["data/update.exe"]
    assert close_with_esc(driver, window, reaper, program_pid) == 0


def truncated(package):
    return package[:len(package) * 2 // 3]


def second_entry_damaged(package):
    """A byte of the deflated data of data/update.exe flipped: KORVA.exe unpacks, then the CRC fails."""
    out = bytearray(package)
    with zipfile.ZipFile(io.BytesIO(package)) as z:
        info = z.getinfo("data/update.exe")
    name_length, extra_length = struct.unpack_from("<HH", out, info.header_offset + 26)
    data_at = info.header_offset + 30 + name_length + extra_length
    out[data_at + info.compress_size // 2] ^= 0x55
    return bytes(out)


def test_a_damaged_package_changes_nothing_and_the_program_still_starts(release, driver, options, workdir, maker,
                                                                         reaper):
    cases = [("truncated", truncated), ("second entry damaged", second_entry_damaged)]
    for number, (label, damage) in enumerate(cases):
        target = install(options, workdir, f"damaged-{number}")
        before = tree(target)
        # The site withdrew the release: the program started again must find nothing newer.
        publish(maker, damage(release["zip"]), version="1.1")
        reaper.forget_existing("KORVA.exe")

        pid = start_updater(driver, target, f"{SITE}/KORVA/{PACKAGE_NAME}")
        assert driver.wait_exit(60, pid) == 0, label
        # The installation is over once the updater has ended; the program it started runs on.
        after = tree(target)
        assert after.pop("data/time", "missing") is None, (label, "the download's folder")
        assert after == before, (label, "files added or removed:", sorted(set(after) ^ set(before)),
                                 "files changed (bytes before, after):",
                                 [(n, len(before[n]), len(after[n])) for n in before
                                  if n in after and after[n] != before[n]])
        window = program_window(driver, "Pagetide V1.1")
        program_pid = reaper.new_child("KORVA.exe", timeout=30)
        runs_without_a_box(driver, window)
        assert tree(target) == dict(before, **{"data/time": None}), label
        assert close_with_esc(driver, window, reaper, program_pid) == 0, label


if __name__ == "__main__":
    RELEASE, runner_argv = split_release_option(sys.argv[1:])
    harness.run(globals(), runner_argv)
