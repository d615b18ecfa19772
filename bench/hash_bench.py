#!/usr/bin/env python3
"""Hashing speed of the launcher against OpenSSL, measured in the same run.

Makes a file (1 GiB by default) and digests it with
  - `openssl dgst -sha256` (the reference),
  - `TinderhallowTool hash` (hashFile, start to exit under Wine),
  - hashFile, CNG streaming and the portable engine timed inside one process
    (bench/hash_engines.cpp), so Wine's start-up is not counted.
Each tool runs once per round, rounds interleaved; the best round counts.
CPU time is the steadier figure on a busy machine.
Prints wall-clock and CPU (user+sys) throughput with ratios to OpenSSL, and
the peak memory of `TinderhallowTool hash` on a small and on the big file.
Target: the wall time of `TinderhallowTool hash` at most 1.1 times openssl's.
The last line, "RESULT key=value ...", repeats the figures for bench/run.

Usage: bench/hash_bench.py [BUILD_DIR] [--size-mib N] [--rounds N]
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

from bench_common import ROOT, WineKeeper, wine_environment, windows_path  # noqa: E402


class Run:
    def __init__(self, wall, cpu, max_rss_kib, stdout):
        self.wall, self.cpu, self.max_rss_kib, self.stdout = wall, cpu, max_rss_kib, stdout


def run(command, env):
    # Output to a file, not a pipe: a wineserver started by the run would
    # keep a pipe open long after the program ended.
    with tempfile.TemporaryFile() as out:
        start = time.perf_counter()
        process = subprocess.Popen(command, env=env, stdout=out, stderr=subprocess.DEVNULL)
        _, status, usage = os.wait4(process.pid, 0)
        wall = time.perf_counter() - start
        process.returncode = os.waitstatus_to_exitcode(status)
        out.seek(0)
        text = out.read().decode("utf-8", "replace")
    if process.returncode != 0:
        sys.exit(f"failed ({process.returncode}): {' '.join(command)}")
    return Run(wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss, text)


def make_file(path, size):
    block = os.urandom(1 << 20)
    with open(path, "wb") as f:
        remaining = size
        while remaining > 0:
            f.write(block[: min(remaining, len(block))])
            remaining -= len(block)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build_dir", nargs="?", default=os.path.join(ROOT, "build"))
    parser.add_argument("--size-mib", type=int, default=1024)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()

    build = os.path.abspath(args.build_dir)
    tool = os.path.join(build, "TinderhallowTool.exe")
    engines = os.path.join(build, "hash_engines.exe")
    if shutil.which("openssl") is None:
        sys.exit("openssl not found")
    env = wine_environment(build, tool, engines)

    size = args.size_mib << 20
    folder = tempfile.mkdtemp(prefix="th_hash_bench_")
    keeper = None
    try:
        big = os.path.join(folder, "big.bin")
        small = os.path.join(folder, "small.bin")
        empty = os.path.join(folder, "empty.bin")
        make_file(big, size)
        make_file(small, 64 << 20)
        open(empty, "wb").close()
        with open(big, "rb") as f:  # into the page cache
            while f.read(1 << 24):
                pass

        cases = {
            "openssl dgst -sha256": ["openssl", "dgst", "-sha256", "-r", big],
            "TinderhallowTool hash": ["wine", tool, "hash", windows_path(big)],
            "hashFile (in-process)": ["wine", engines, "hashfile", windows_path(big)],
            "CNG streaming (in-process)": ["wine", engines, "cng", windows_path(big)],
            "portable engine (in-process)": ["wine", engines, "portable", windows_path(big)],
        }
        startup = ["wine", tool, "hash", windows_path(empty)]
        # One idle program keeps this prefix's Wine session up, so no
        # measured run pays for starting the wineserver and its services.
        keeper = WineKeeper(env, ["wine", engines, "wait"])
        run(startup, env)

        best = {}
        inner = {}
        startup_best = None
        for _ in range(args.rounds):
            startup_run = run(startup, env)
            startup_best = startup_run.wall if startup_best is None else min(startup_best, startup_run.wall)
            for name, command in cases.items():
                result = run(command, env)
                digest = result.stdout.split()[0]
                previous = best.get(name)
                if previous is None:
                    best[name] = [result.wall, result.cpu, digest]
                else:
                    previous[0] = min(previous[0], result.wall)
                    previous[1] = min(previous[1], result.cpu)
                if "in-process" in name:
                    seconds = float(result.stdout.split()[1])
                    inner[name] = min(inner.get(name, seconds), seconds)

        reference = best["openssl dgst -sha256"][2]
        for name, (_, _, digest) in best.items():
            if digest != reference:
                sys.exit(f"digest mismatch: {name} gave {digest}, openssl {reference}")

        memory_small = run(["wine", tool, "hash", windows_path(small)], env).max_rss_kib
        memory_big = run(["wine", tool, "hash", windows_path(big)], env).max_rss_kib
    finally:
        if keeper is not None:
            keeper.stop()
        shutil.rmtree(folder, ignore_errors=True)

    mb = size / 1e6
    ssl_wall, ssl_cpu, _ = best["openssl dgst -sha256"]
    print(f"file: {args.size_mib} MiB, best of {args.rounds} rounds, digest {reference}")
    print(f"{'':32} {'wall s':>8} {'MB/s':>7} {'ratio':>6}   {'cpu s':>7} {'MB/s':>7} {'ratio':>6}")
    for name, (wall, cpu, _) in best.items():
        print(f"{name:32} {wall:8.3f} {mb / wall:7.0f} {ssl_wall / wall:6.2f}   "
              f"{cpu:7.3f} {mb / cpu:7.0f} {ssl_cpu / cpu:6.2f}")
    print("timed inside the process (no Wine start-up):")
    for name, seconds in inner.items():
        print(f"  {name:30} {seconds:8.3f} {mb / seconds:7.0f} {ssl_wall / seconds:6.2f}")
    print(f"Wine start-up (hash of an empty file): {startup_best:.3f} s")
    print(f"peak memory of TinderhallowTool hash: {memory_small / 1024:.1f} MiB on 64 MiB, "
          f"{memory_big / 1024:.1f} MiB on {args.size_mib} MiB")
    tool_wall, tool_cpu, _ = best["TinderhallowTool hash"]
    print(f"TinderhallowTool hash wall time / openssl wall time: {tool_wall / ssl_wall:.2f} (target <= 1.1)")
    # One line for bench/run; the figures above stay the ones to read.
    print(f"RESULT size_mib={args.size_mib} rounds={args.rounds} openssl_wall_s={ssl_wall:.3f} "
          f"tool_wall_s={tool_wall:.3f} wall_ratio={tool_wall / ssl_wall:.3f} cpu_ratio={tool_cpu / ssl_cpu:.3f} "
          f"hashfile_inner_ratio={inner['hashFile (in-process)'] / ssl_wall:.3f} "
          f"startup_s={startup_best:.3f} peak_rss_small_mib={memory_small / 1024:.1f} "
          f"peak_rss_big_mib={memory_big / 1024:.1f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
