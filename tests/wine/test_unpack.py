#!/usr/bin/python3
"""The installation's unpacking and copying (tools/installcheck.exe: ExtractZip, then
CopyDirectoryTree as the updater runs them) on the real files under Wine: minizip built from
Debian's sources reading through the run time's files, GBK names, the refusals of the system's copy,
and packages that must not be copied at all."""

import io
import os
import shutil
import struct
import subprocess
import sys
import zipfile
import zlib
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import harness  # noqa: E402

GBK_DIR, GBK_FILE = "淺", "更新.txt"  # 淺 is 9C 5C in GBK: its second byte is the backslash's


def make_zip(entries):
    """entries: (name, data or None for a directory, deflate). Names are written as GBK bytes."""
    buffer = io.BytesIO()
    placeholders = {}
    with zipfile.ZipFile(buffer, "w") as z:
        for i, (name, data, deflate) in enumerate(entries):
            raw = name.encode("gbk")
            stand_in = name if raw.isascii() else f"{i:0{len(raw)}d}"[-len(raw):]
            placeholders[stand_in.encode()] = raw
            info = zipfile.ZipInfo(stand_in + ("/" if data is None else ""))
            info.compress_type = zipfile.ZIP_DEFLATED if deflate else zipfile.ZIP_STORED
            z.writestr(info, b"" if data is None else data)
    out = buffer.getvalue()
    # Same length in both headers, so every offset stays right; the CRC covers the data only.
    for stand_in, raw in placeholders.items():
        if stand_in != raw:
            out = out.replace(stand_in, raw)
    return out


def with_bad_crc(archive, name):
    """The archive with the CRC of entry `name` changed in both of its headers."""
    out = bytearray(archive)
    for signature, crc_at in ((b"PK\x03\x04", 14), (b"PK\x01\x02", 16)):
        start = 0
        while (start := out.find(signature, start)) >= 0:
            name_at = start + (30 if signature == b"PK\x03\x04" else 46)
            length = struct.unpack_from("<H", out, start + (26 if signature == b"PK\x03\x04" else 28))[0]
            if out[name_at:name_at + length] == name.encode():
                out[start + crc_at] ^= 0xFF
            start += 4
    return bytes(out)


class Scene:
    """An installed program and a package in a folder whose path holds a blank."""

    def __init__(self, workdir, name):
        self.base = Path(workdir) / f"{name} case"
        shutil.rmtree(self.base, ignore_errors=True)
        self.target = self.base / "Page tide"
        (self.target / "data").mkdir(parents=True)
        (self.target / "KORVA.exe").write_bytes(b"KORVA 1.1")
        (self.target / "notes.txt").write_bytes(b"the user's")
        (self.target / "data" / "update.exe").write_bytes(b"updater 1.1")
        locked = self.target / "data" / "locked.dat"
        locked.write_bytes(b"kept")
        os.chmod(locked, 0o444)  # Wine's read-only attribute
        self.package = self.target / "data" / "time" / "temp1.zip"
        self.package.parent.mkdir()
        self.staging = self.target / "data" / "e_dada"
        self.result = self.base / "result.txt"

    def snapshot(self, root):
        return {str(p.relative_to(root)): (p.read_bytes() if p.is_file() else None)
                for p in sorted(root.rglob("*")) if self.staging not in (p, *p.parents) and p != self.package}

    def run(self, env, options, archive):
        self.package.write_bytes(archive)
        w = harness.windows_path
        proc = env.wine_popen([str(Path(options.tools) / "installcheck.exe"), w(self.package), w(self.staging),
                               w(self.target), w(self.result)], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        proc.wait(timeout=120)
        fields = dict(part.split("=") for part in self.result.read_text().split())
        return int(fields["extract"]), int(fields["entries"])


BIG = bytes((i * 7 + i // 251) % 256 for i in range(300_000))
GOOD = [
    ("KORVA.exe", BIG, True),
    ("data", None, False),
    ("data/update.exe", b"updater 1.2", False),
    ("data/locked.dat", b"new", True),
    ("empty", None, False),
    (".git/config", b"not copied", False),
    (f"{GBK_DIR}/{GBK_FILE}", b"gbk", True),
    ("deep\\er/f.txt", b"both separators", False),
]


def test_a_package_is_unpacked_and_copied_over_the_program(env, options, workdir):
    scene = Scene(workdir, "good")
    assert scene.run(env, options, make_zip(GOOD)) == (1, len(GOOD))
    staged = scene.staging
    assert (staged / "KORVA.exe").read_bytes() == BIG
    assert (staged / GBK_DIR / GBK_FILE).read_bytes() == b"gbk"
    assert (staged / ".git" / "config").read_bytes() == b"not copied"
    t = scene.target
    assert (t / "KORVA.exe").read_bytes() == BIG
    assert (t / "data" / "update.exe").read_bytes() == b"updater 1.2"
    assert (t / "data" / "locked.dat").read_bytes() == b"kept", "a read-only target is not replaced"
    assert (t / "notes.txt").read_bytes() == b"the user's"
    assert (t / GBK_DIR / GBK_FILE).read_bytes() == b"gbk"
    assert (t / "deep" / "er" / "f.txt").read_bytes() == b"both separators"
    assert (t / "empty").is_dir() and not any((t / "empty").iterdir())
    assert (t / ".git").is_dir() and not any((t / ".git").iterdir()), "a dot-named folder is made empty"


def test_broken_packages_fail_and_touch_nothing_outside_staging(env, options, workdir):
    good = make_zip(GOOD)
    cases = [
        ("truncated", good[:len(good) // 2], -1),
        ("bad crc", with_bad_crc(good, "data/update.exe"), -2),
        ("climbs out", make_zip([("KORVA.exe", b"x", False), ("../../../escape.txt", b"x", False)]), -2),
        ("drive", make_zip([("C:/escape.txt", b"x", False)]), -2),
        ("absolute", make_zip([("/escape.txt", b"x", False)]), -2),
    ]
    for what, archive, expected in cases:
        scene = Scene(workdir, what.replace(" ", "-"))
        before = scene.snapshot(scene.target)
        code, _ = scene.run(env, options, archive)
        assert code == expected, (what, code)
        assert scene.snapshot(scene.target) == before, what
        assert not list(Path(workdir).rglob("escape.txt")), what
        assert not (harness.PREFIX / "drive_c" / "escape.txt").exists(), what


if __name__ == "__main__":
    harness.run(globals())
