"""Pieces every benchmark under Wine needs: the build's Wine session and a
program kept open so no measured run pays for starting it."""

import hashlib
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


def write_distinct_file(path, size, header, block):
    """Writes SIZE bytes to PATH: BLOCK repeated, its start replaced by HEADER
    so that no two files are alike; returns the file's SHA-256 (hex)."""
    os.makedirs(os.path.dirname(path), exist_ok=True)
    digest = hashlib.sha256()
    with open(path, "wb") as f:
        remaining = size
        chunk = header + block[len(header):]
        while remaining > 0:
            piece = chunk[: min(remaining, len(chunk))]
            f.write(piece)
            digest.update(piece)
            remaining -= len(piece)
            chunk = block
    return digest.hexdigest()


def first_sequence(release):
    """--sequence 1 for an empty release folder, which needs one."""
    return [] if os.path.isfile(os.path.join(release, "update_manifest.json")) else ["--sequence", "1"]


def publish_release(game, release, release_id="bench"):
    """Publishes GAME into RELEASE with the publishing script, readable by nginx."""
    subprocess.run([sys.executable, os.path.join(ROOT, "tools", "publish_release.py"), game, release,
                    "--release-id", release_id] + first_sequence(release), check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run(["chmod", "-R", "a+rX", release], check=True)
