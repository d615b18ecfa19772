#!/usr/bin/env python3
"""Chunking and hashing a large file (what a launcher does to its installed
copy, and the publishing script's fast path) against one `openssl dgst
-sha256` pass over the same file, measured in the same run.

Makes a file of random data (1 GiB by default), reads it into the page cache
and runs, interleaved, each once per round:
  - `openssl dgst -sha256 FILE` (the reference),
  - `TinderhallowTool chunk FILE INDEX` (chunkFile: every cut and every
    chunk's SHA-256, start to exit under Wine).
Target: the toolkit's wall time at most 2 times openssl's. Also the speed of
the publishing script's own chunker (tools/chunk_index.py) on 16 MiB, for
information. The last line, "RESULT key=value ...", repeats the figures for
bench/run.

Usage: bench/chunk_bench.py [BUILD_DIR] [--size-mib N] [--rounds N]
"""
import argparse
import os
import shutil
import sys
import tempfile
import time

from bench_common import ROOT, WineKeeper, wine_environment, windows_path  # noqa: E402
from hash_bench import make_file, run  # noqa: E402

sys.path.insert(0, os.path.join(ROOT, "tools"))
import chunk_index  # noqa: E402


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build_dir", nargs="?", default=os.path.join(ROOT, "build"))
    parser.add_argument("--size-mib", type=int, default=1024)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()

    build = os.path.abspath(args.build_dir)
    tool = os.path.join(build, "TinderhallowTool.exe")
    if shutil.which("openssl") is None:
        sys.exit("openssl not found")
    env = wine_environment(build, tool)

    size = args.size_mib << 20
    folder = tempfile.mkdtemp(prefix="th_chunk_bench_")
    keeper = None
    try:
        big = os.path.join(folder, "big.bin")
        index = os.path.join(folder, "big.idx")
        make_file(big, size)
        with open(big, "rb") as f:  # into the page cache
            while f.read(1 << 24):
                pass
        keeper = WineKeeper(env)
        run(["wine", tool, "chunk", windows_path(big), windows_path(index)], env)  # loads the program once

        openssl_wall = openssl_cpu = tool_wall = tool_cpu = None
        for _ in range(args.rounds):
            ssl = run(["openssl", "dgst", "-sha256", "-r", big], env)
            chunked = run(["wine", tool, "chunk", windows_path(big), windows_path(index)], env)
            openssl_wall = min(openssl_wall or ssl.wall, ssl.wall)
            openssl_cpu = min(openssl_cpu or ssl.cpu, ssl.cpu)
            tool_wall = min(tool_wall or chunked.wall, chunked.wall)
            tool_cpu = min(tool_cpu or chunked.cpu, chunked.cpu)
        with open(index, "rb") as f:
            indexed_size, chunks = chunk_index.decode_index(f.read())
        if indexed_size != size:
            sys.exit("the index is for another size")

        sample = os.path.join(folder, "sample.bin")
        make_file(sample, 16 << 20)
        start = time.perf_counter()
        chunk_index.chunk_file(sample)
        python_mb_s = 16 * 1.048576 / (time.perf_counter() - start)
    finally:
        if keeper is not None:
            keeper.stop()
        shutil.rmtree(folder, ignore_errors=True)

    ratio = tool_wall / openssl_wall
    print(f"file: {args.size_mib} MiB, {len(chunks)} chunks (average {size / len(chunks) / 1024:.1f} KiB), "
          f"best of {args.rounds} rounds")
    print(f"openssl dgst -sha256:      {openssl_wall:7.3f} s wall, {openssl_cpu:7.3f} s CPU")
    print(f"TinderhallowTool chunk:    {tool_wall:7.3f} s wall, {tool_cpu:7.3f} s CPU")
    print(f"ratio chunk / openssl: {ratio:.2f} wall, {tool_cpu / openssl_cpu:.2f} CPU  (target <= 2)")
    print(f"tools/chunk_index.py (the script's fallback): {python_mb_s:.1f} MB/s")
    print(f"RESULT size_mib={args.size_mib} rounds={args.rounds} chunks={len(chunks)} wall_ratio={ratio:.3f} "
          f"cpu_ratio={tool_cpu / openssl_cpu:.3f} openssl_s={openssl_wall:.3f} chunk_s={tool_wall:.3f} "
          f"python_mb_s={python_mb_s:.1f} average_kib={size / len(chunks) / 1024:.1f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
