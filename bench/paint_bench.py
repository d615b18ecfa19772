#!/usr/bin/env python3
"""Painting speed under Wine, on its own Xvfb display, quiet and under load.

Runs bench/paint_frame.cpp (paint_frame.exe) twice in one run: once as the
machine is, once with a busy-looping process per core beside it (started and
ended here). Each run reports decoding the background, the first frame (with
the resampling of the background), a frame that draws the cached layer again,
the median frame at 1664 x 940 as the window paints it (the cached layer and
the changing parts: the hover moving between tabs), the same with the
progress also moving on every frame (an update running), and the same frames
drawn whole (the reference). Target: the median frame within 4 ms. The last
line, "RESULT key=value ...", repeats the figures for bench/run; the figures
of the loaded run carry "loaded_" in front.

Usage: bench/paint_bench.py [BUILD_DIR] [--frames N]
"""

import argparse
import os
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "support"))
import launcher_harness as lh  # noqa: E402


def result_words(output):
    for line in reversed(output.splitlines()):
        if line.startswith("RESULT "):
            return line.split()[1:]
    return None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build_dir", nargs="?", default=os.path.join(ROOT, "build"))
    parser.add_argument("--frames", type=int, default=60)
    args = parser.parse_args()
    picture = lh.windows_path(os.path.join(ROOT, "ui", "assets", "emberwarden_launcher_ledger.png"))
    words = []
    with lh.LauncherHarness(args.build_dir, name="paint_bench") as h:
        for loaded in (False, True):
            hogs = []
            if loaded:
                hogs = [subprocess.Popen([sys.executable, "-c", "while True: pass"], stdin=subprocess.DEVNULL)
                        for _ in range(os.cpu_count() or 2)]
            try:
                print("== %s" % ("under load: %d busy-looping processes beside it" % len(hogs) if loaded else "quiet"))
                result = h.run(h.exe("paint_frame.exe"), [picture, args.frames], timeout=600)
            finally:
                for hog in hogs:  # only the ones started here, by their PID
                    hog.kill()
                    hog.wait()
            sys.stdout.write(result.stdout)
            sys.stderr.write(result.stderr)
            found = result_words(result.stdout) if result.code == 0 else None
            if found is None:
                print("paint_frame.exe failed (%d)" % result.code)
                return 1
            words += [("loaded_" + w) if loaded and not w.startswith("frames=") else w for w in found
                      if not (loaded and w.startswith("frames="))]
    # One line for bench/run; the figures above stay the ones to read.
    print("RESULT " + " ".join(words))
    return 0


if __name__ == "__main__":
    sys.exit(main())
