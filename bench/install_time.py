#!/usr/bin/python3
"""The install time of a 2,000-file, 60 MB package: the installation's own two steps (ExtractZip
into a staging folder, then CopyDirectoryTree over the program's folder) against bsdtar + cp -a
doing the same two steps, rounds alternating, on a warm page cache.

- natively: bench/install_native.cpp (the same ZIP component and copy, through a small System
  over POSIX calls), built here with -O2 against a Release build of the libraries;
- under Wine: tools/installcheck.exe (the real window layer and Windows files), timed inside the
  tool, so Wine's start-up is not counted.

Both copy over a target that already holds the previous version of every file.

Usage: bench/install_time.py [--tools build/win32-test/tools] [--rounds 5] [--out bench/results]
"""

import argparse
import io
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import zipfile
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "tests" / "wine"))

import harness  # noqa: E402

FILES, DIRS, TOTAL = 2000, 40, 60 * 1024 * 1024


def make_package(path):
    """Deterministic: half text-like files that deflate well, half that do not; 40 folders deep and wide."""
    rng = random.Random(12)
    words = [bytes(rng.choice(b"abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randint(2, 9))) for _ in range(500)]
    sizes = [rng.randint(1, 2 * TOTAL // FILES) for _ in range(FILES)]
    scale = TOTAL / sum(sizes)
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED, compresslevel=6) as z:
        for i, size in enumerate(sizes):
            size = max(1, int(size * scale))
            folder = "/".join(f"d{(i // 50) % DIRS}" if depth == 0 else f"s{i % 3}" for depth in range((i % 3) + 1))
            if i % 2:
                data = rng.randbytes(size)
            else:
                out = io.BytesIO()
                while out.tell() < size:
                    out.write(b" ".join(rng.choices(words, k=16)) + b"\n")
                data = out.getvalue()[:size]
            z.writestr(f"{folder}/f{i}.dat", data)


def build_native():
    build = REPO / "build" / "bench-native"
    subprocess.run(["cmake", "-S", str(REPO), "-B", str(build), "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release"],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["flock", "/tmp/build.lock", "cmake", "--build", str(build), "-j2", "--target",
                    "updater_logic", "runtime_fake", "common"], check=True, stdout=subprocess.DEVNULL)
    exe = build / "install_native"
    libs = [build / p for p in ("updater/libupdater_logic.a", "runtime/libruntime_fake.a",
                                "runtime/libruntime_download.a", "runtime/libruntime_zip.a",
                                "runtime/libruntime.a", "common/libcommon.a")]
    subprocess.run(["flock", "/tmp/build.lock", "g++", "-O2", "-std=c++20", f"-I{REPO}", f"-I{build / 'generated'}",
                    str(REPO / "bench" / "install_native.cpp"), "-o", str(exe)] + [str(l) for l in libs]
                   + ["-lminizip", "-lz", "-lpthread"], check=True)
    return exe


def fields(text):
    return {k: float(v) for k, v in (p.split("=") for p in text.split())}


def fresh(work, template):
    for name in ("staging", "target"):
        shutil.rmtree(work / name, ignore_errors=True)
    shutil.copytree(template, work / "target")
    subprocess.run(["sync"], check=True)  # the last round's writes are not this round's cost


def run_reference(work, package):
    started = time.monotonic()
    (work / "staging").mkdir()
    subprocess.run(["bsdtar", "-xf", str(package), "-C", str(work / "staging")], check=True)
    subprocess.run(["cp", "-a", f"{work / 'staging'}/.", str(work / "target")], check=True)
    return (time.monotonic() - started) * 1000


def run_native(exe, work, package):
    out = subprocess.run([str(exe), str(package), str(work / "staging"), str(work / "target")], check=True,
                         capture_output=True, text=True).stdout
    f = fields(out)
    assert f["extract"] == 1 and f["entries"] == FILES, out
    return f["extract_ms"] + f["copy_ms"]


def run_wine(env, tools, work, package):
    w = harness.windows_path
    result = work / "result.txt"
    proc = env.wine_popen([str(tools / "installcheck.exe"), w(package), w(work / "staging"), w(work / "target"),
                           w(result)], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    proc.wait(timeout=600)
    f = fields(result.read_text())
    assert f["extract"] == 1 and f["entries"] == FILES, result.read_text()
    return f["extract_ms"] + f["copy_ms"]


def same_tree(a, b):
    left = sorted(str(p.relative_to(a)) for p in a.rglob("*"))
    right = sorted(str(p.relative_to(b)) for p in b.rglob("*"))
    return left == right and all((a / p).read_bytes() == (b / p).read_bytes() for p in left if (a / p).is_file())


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tools", type=Path, default=REPO / "build" / "win32-test" / "tools")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--out", type=Path, default=REPO / "bench" / "results")
    options = parser.parse_args()
    if not shutil.which("bsdtar"):
        raise SystemExit("bsdtar is missing: apt-get install libarchive-tools")
    native = build_native()
    work = Path(tempfile.mkdtemp(prefix="pagetide-install-"))
    env = None
    try:
        package = work / "package.zip"
        make_package(package)
        template = work / "template"
        template.mkdir()
        subprocess.run(["bsdtar", "-xf", str(package), "-C", str(template)], check=True)
        env = harness.WineEnv(work)
        times = {"reference": [], "native": [], "wine": []}
        runs = {"reference": lambda: run_reference(work, package), "native": lambda: run_native(native, work, package),
                "wine": lambda: run_wine(env, options.tools, work, package)}
        for round_ in range(options.rounds + 1):  # the first round warms the cache and is not counted
            for name, run in runs.items():
                fresh(work, template)
                ms = run()
                assert same_tree(work / "target", template), f"{name}: the target differs from the package"
                if round_:
                    times[name].append(ms)
        median = {name: statistics.median(values) for name, values in times.items()}
        lines = [f"package: {FILES} files, {package.stat().st_size / 2**20:.1f} MB packed, "
                 f"{TOTAL / 2**20:.0f} MB unpacked; {options.rounds} rounds, medians in ms",
                 f"bsdtar + cp -a                     {median['reference']:8.1f}  {times['reference']}",
                 f"ExtractZip + CopyDirectoryTree     {median['native']:8.1f}  {times['native']}",
                 f"the same under Wine                {median['wine']:8.1f}  {times['wine']}",
                 f"ratio natively   {median['native'] / median['reference']:.2f} x (goal at most 1.0 x)",
                 f"ratio under Wine {median['wine'] / median['reference']:.2f} x (goal at most 1.0 x)"]
        print("\n".join(lines))
        options.out.mkdir(parents=True, exist_ok=True)
        (options.out / "install_time.txt").write_text("\n".join(lines) + "\n")
    finally:
        if env:
            env.close()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
