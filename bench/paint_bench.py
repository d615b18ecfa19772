#!/usr/bin/env python3
"""Painting speed under Wine, on its own Xvfb display.

Runs bench/paint_frame.cpp (paint_frame.exe): decoding the background, the
first frame (with the resampling of the background), the median frame at
1664 x 940 with the opaque scaled copy the painter keeps, and the same frames
with a premultiplied copy (the reference), with their ratio. Target: the
median frame within 16 ms. The program's last line, "RESULT key=value ...",
repeats the figures for bench/run.

Usage: bench/paint_bench.py [BUILD_DIR] [--frames N]
"""

import argparse
import os
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "support"))
import launcher_harness as lh  # noqa: E402


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build_dir", nargs="?", default=os.path.join(ROOT, "build"))
    parser.add_argument("--frames", type=int, default=60)
    args = parser.parse_args()
    picture = lh.windows_path(os.path.join(ROOT, "ui", "assets", "emberwarden_launcher_ledger.png"))
    with lh.LauncherHarness(args.build_dir, name="paint_bench") as h:
        result = h.run(h.exe("paint_frame.exe"), [picture, args.frames], timeout=600)
    sys.stdout.write(result.stdout)
    sys.stderr.write(result.stderr)
    return result.code


if __name__ == "__main__":
    sys.exit(main())
