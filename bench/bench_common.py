"""Pieces every benchmark under Wine needs: the build's Wine session and a
program kept open so no measured run pays for starting it."""

import os
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "support"))
from launcher_harness import windows_path  # noqa: E402,F401 - for the benchmarks that import it from here


def wine_environment(build, *needed):
    """The environment for programs under Wine in BUILD's prefix (made on
    first use); exits naming the first of NEEDED (paths) that is missing."""
    for path in needed:
        if not os.path.exists(path):
            sys.exit(f"missing {path}: build first (./scripts/build.sh)")
    prefix = os.path.join(build, "wineprefix")
    subprocess.run([os.path.join(ROOT, "cmake", "wine-prefix.sh"), prefix], check=True)
    return dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all")


class WineKeeper:
    """An idle Wine program (by default a command shell waiting on its input)
    that keeps the prefix's Wine session up while the benchmark runs."""

    def __init__(self, env, command=("wine", "cmd")):
        self.process = subprocess.Popen(list(command), env=env, stdin=subprocess.PIPE,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def stop(self):
        self.process.stdin.close()
        try:
            self.process.wait(timeout=60)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
