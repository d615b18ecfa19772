#!/usr/bin/env python3
"""The release check at start-up and REPAIR on an unchanged installation,
against openssl, measured in the same run.

An installation of SIZE in FILES files (4 GiB in 1,000 by default), all
current, installed a day ago (every file's last-write time a day back), with
a local-folder patch source that holds its manifest, so nothing goes over the
network:
  first start   the release check without a record (.patch_index removed):
                it reads every file and writes the record
  second start  the same check again: it trusts the record for unchanged
                files                           target: second / first <= 0.05
  REPAIR        the full check: reads every file again, rewrites the record
                / one `openssl dgst -sha256` pass over the same files
                                                target: <= 0.7
  empty check   the same start on an installation of a release without
                files: what a start costs whatever the installation holds;
                the second start is shown beyond it and as a ratio to it
                                                target: second - empty <= 0.3 s
A start on 10,000 files of 100 KiB: --files 10000 --file-kib 100.
The checks are timed inside the process (bench/release_check_timing.exe), so
Wine's start of each run is left out; the whole run of each is shown apart.
Everything works from the page cache (the files were just written, and the
machine has room for them). Each case runs once per round, rounds
interleaved, the best counts. A command shell kept open in the prefix spares
every Wine run the start of the Wine session.

The data is made in a temporary folder when the benchmark starts, after
checking the free space there (df), and removed at the end.
The last line, "RESULT key=value ...", repeats the figures for bench/run.

Usage: bench/startup_check_bench.py [BUILD_DIR] [--size-mib N | --file-kib N] [--files N] [--rounds N]
"""
import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

from bench_common import ROOT, WineKeeper, wine_environment, windows_path, write_distinct_file  # noqa: E402

DAY = 24 * 3600


def timed(command, env=None):
    """Wall seconds and output of one command (output to a file, not a pipe: a
    wineserver started by the run would hold a pipe open)."""
    with tempfile.TemporaryFile() as out:
        start = time.perf_counter()
        process = subprocess.Popen(command, env=env, stdout=out, stderr=subprocess.STDOUT)
        process.wait()
        wall = time.perf_counter() - start
        out.seek(0)
        text = out.read().decode("utf-8", "replace")
    if process.returncode != 0:
        sys.exit(f"failed ({process.returncode}): {' '.join(command[:3])}...\n{text[-2000:]}")
    return wall, text


def free_space_check(folder, needed):
    usage = shutil.disk_usage(folder)
    df = subprocess.run(["df", "-h", folder], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL).stdout.decode()
    print(df.strip())
    if usage.free < needed:
        sys.exit(f"not enough free space in {folder}: {usage.free >> 20} MiB free, {needed >> 20} MiB needed")


def write_installation(install, names, size):
    """The files, with digests, their time a day back."""
    block = os.urandom(1 << 20)
    entries = []
    for index, name in enumerate(names):
        path = os.path.join(install, name)
        digest = write_distinct_file(path, size, f"file {index}:".encode(), block)
        yesterday = time.time() - DAY
        os.utime(path, (yesterday, yesterday))
        entries.append({"path": name, "size": size, "sha256": digest})
    return entries


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build_dir", nargs="?", default=os.path.join(ROOT, "build"))
    parser.add_argument("--size-mib", type=int, default=4096)
    parser.add_argument("--files", type=int, default=1000)
    parser.add_argument("--file-kib", type=int, default=0, help="size of each file (instead of --size-mib)")
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    if args.file_kib > 0:
        args.size_mib = args.files * args.file_kib / 1024

    build = os.path.abspath(args.build_dir)
    timing = os.path.join(build, "release_check_timing.exe")
    if shutil.which("openssl") is None:
        sys.exit("openssl not found")
    env = wine_environment(build, timing)

    file_size = args.file_kib << 10 if args.file_kib > 0 else (args.size_mib << 20) // args.files
    names = [f"data/pack{i // 100:02d}/file{i:04d}.pak" for i in range(args.files)]
    temp_root = tempfile.gettempdir()
    free_space_check(temp_root, file_size * args.files + (512 << 20))
    work = tempfile.mkdtemp(prefix="th_startup_check_bench_")
    keeper = None
    try:
        install = os.path.join(work, "install")
        release = os.path.join(work, "release")
        os.makedirs(release)
        print(f"writing {args.size_mib} MiB in {args.files} files...", flush=True)
        entries = write_installation(install, names, file_size)
        manifest = {"schemaVersion": 1, "releaseId": "bench-1", "files": entries}
        for folder in (release, install):
            with open(os.path.join(folder, "update_manifest.json"), "w") as f:
                json.dump(manifest, f, indent=1)
        with open(os.path.join(install, "patch_source.txt"), "w") as f:
            f.write(windows_path(release) + "\n")
        empty_install = os.path.join(work, "empty_install")
        empty_release = os.path.join(work, "empty_release")
        empty_manifest = {"schemaVersion": 1, "releaseId": "bench-1", "files": []}
        for folder in (empty_install, empty_release):
            os.makedirs(folder)
            with open(os.path.join(folder, "update_manifest.json"), "w") as f:
                json.dump(empty_manifest, f, indent=1)
        with open(os.path.join(empty_install, "patch_source.txt"), "w") as f:
            f.write(windows_path(empty_release) + "\n")
        files = [os.path.join(install, name) for name in names]
        record = os.path.join(install, ".patch_index")

        keeper = WineKeeper(env)

        def check(kind, folder=install):
            wall, text = timed(["wine", timing, kind, windows_path(folder)], env)
            line = text.strip().splitlines()[-1]
            seconds, status = line.split(" ", 1)
            if not status.endswith("|Game is ready|Release bench-1"):
                sys.exit(f"the {kind} check did not find the installation ready: {status}")
            return float(seconds), wall

        check("full")  # Wine's session and the files' pages warm

        best = {}

        def record_best(name, seconds):
            best[name] = min(best.get(name, seconds), seconds)

        for round_number in range(args.rounds):
            os.remove(record)
            first, first_wall = check("quick")
            if not os.path.isfile(record):
                sys.exit("the first start wrote no record")
            second, second_wall = check("quick")
            openssl, _ = timed(["openssl", "dgst", "-sha256", "-r"] + files)
            repair, repair_wall = check("full")
            empty, empty_wall = check("quick", empty_install)
            for name, value in (("first", first), ("second", second), ("openssl", openssl), ("repair", repair),
                                ("empty", empty), ("first_wall", first_wall), ("second_wall", second_wall),
                                ("repair_wall", repair_wall), ("empty_wall", empty_wall)):
                record_best(name, value)
            print(f"round {round_number + 1}: first {first:.3f} s, second {second:.4f} s, "
                  f"openssl {openssl:.3f} s, REPAIR {repair:.3f} s, empty {empty:.4f} s", flush=True)
    finally:
        if keeper is not None:
            keeper.stop()
        shutil.rmtree(work, ignore_errors=True)

    second_ratio = best["second"] / best["first"]
    repair_ratio = best["repair"] / best["openssl"]
    empty_ratio = best["second"] / best["empty"]
    beyond_empty = best["second"] - best["empty"]
    print(f"{args.size_mib:g} MiB in {args.files} files of {file_size} bytes, best of {args.rounds} rounds")
    print(f"first start (no record)        {best['first']:8.3f} s   (whole run under Wine {best['first_wall']:.3f} s)")
    print(f"second start (record)          {best['second']:8.4f} s   (whole run under Wine {best['second_wall']:.3f} s)")
    print(f"REPAIR (full check)            {best['repair']:8.3f} s   (whole run under Wine {best['repair_wall']:.3f} s)")
    print(f"empty check (no files)         {best['empty']:8.4f} s   (whole run under Wine {best['empty_wall']:.3f} s)")
    print(f"openssl dgst -sha256, one pass {best['openssl']:8.3f} s")
    print(f"second / first start:   {second_ratio:.3f}  (target <= 0.05)")
    print(f"REPAIR / openssl:       {repair_ratio:.3f}  (target <= 0.7)")
    print(f"second start / empty:   {empty_ratio:.2f}  ({beyond_empty * 1000:.0f} ms beyond it, target <= 300 ms)")
    print(f"RESULT size_mib={args.size_mib} files={args.files} rounds={args.rounds} "
          f"first_s={best['first']:.4f} second_s={best['second']:.4f} second_ratio={second_ratio:.4f} "
          f"repair_s={best['repair']:.4f} openssl_s={best['openssl']:.4f} repair_ratio={repair_ratio:.4f} "
          f"first_wall_s={best['first_wall']:.4f} second_wall_s={best['second_wall']:.4f} "
          f"empty_s={best['empty']:.4f} empty_ratio={empty_ratio:.4f} beyond_empty_s={beyond_empty:.4f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
