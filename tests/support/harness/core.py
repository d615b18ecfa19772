"""What every part of the test harness uses: the source and build trees,
waiting, Wine paths, the harness's own failure and the drivers' main."""

import dataclasses
import os
import signal
import socket
import subprocess
import sys
import time
import unittest
from pathlib import Path

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))


class HarnessError(Exception):
    """A step of the harness itself failed (not the program under test)."""


@dataclasses.dataclass
class ProgramResult:
    code: int
    stdout: str
    stderr: str


def wait_until(condition, timeout, what):
    """Polls CONDITION until it returns a true value, which is returned;
    HarnessError naming WHAT after TIMEOUT seconds."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            raise HarnessError("timed out after %s s waiting for %s" % (timeout, what))
        time.sleep(0.1)


def wait_for_file(path, timeout=30):
    """Waits until PATH exists."""
    return wait_until(lambda: os.path.exists(path), timeout, path)


def wait_for_file_gone(path, timeout=30):
    """Waits until nothing exists at PATH."""
    return wait_until(lambda: not os.path.lexists(path), timeout, "removal of " + path)


def windows_path(path):
    """The Wine path of a Linux path (through drive Z:)."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def find_build_dir(argv=None):
    """The build directory: the first argument (as ctest passes it), else
    $TINDERHALLOW_BUILD_DIR, else build/ in the source tree."""
    argv = sys.argv if argv is None else argv
    if len(argv) > 1 and not argv[1].startswith("-"):
        return os.path.abspath(argv[1])
    if os.environ.get("TINDERHALLOW_BUILD_DIR"):
        return os.path.abspath(os.environ["TINDERHALLOW_BUILD_DIR"])
    return os.path.join(SOURCE_DIR, "build")


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def write_bytes(path, data):
    """Writes DATA to PATH, making its folders."""
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def free_port(host="127.0.0.1"):
    """A TCP port that nothing listens on at HOST at the time of the call."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind((host, 0))
        return probe.getsockname()[1]


def build_paths(argv=None):
    """(BUILD, TOOL, PREFIX, WINE_RUN) of a driver that runs the build's
    programs in the build's own Wine prefix: the build directory, the
    toolkit, $WINEPREFIX or BUILD/wineprefix, and cmake/wine-run.sh."""
    build = Path(find_build_dir(argv))
    prefix = os.environ.get("WINEPREFIX") or str(build / "wineprefix")
    return build, build / "TinderhallowTool.exe", prefix, Path(SOURCE_DIR) / "cmake" / "wine-run.sh"


class _WrittenOrder(unittest.TestLoader):
    """Runs a TestCase's tests in the order they are written: tests that share
    a display may leave windows (a started game) that an earlier one must not
    find on the screen."""

    def getTestCaseNames(self, case_class):
        def written_at(name):
            code = getattr(getattr(case_class, name), "__code__", None)
            return (code.co_filename, code.co_firstlineno) if code else ("", 0)
        return sorted(super().getTestCaseNames(case_class), key=written_at)


def run_tests():
    """unittest.main() for a test driver run as `python3 test_x.py BUILD_DIR
    [unittest options]`: the build directory stays for find_build_dir() and is
    not passed to unittest; exits with 1 when a test fails."""
    argv = list(sys.argv)
    if len(argv) > 1 and not argv[1].startswith("-"):
        del argv[1]
    unittest.main(module="__main__", argv=argv, testLoader=_WrittenOrder(), verbosity=2)


def end_with_parent():
    """In a child before exec: the kernel kills it when the test process dies
    (a test killed by ctest's timeout leaves no Xvfb or Wine program behind)."""
    try:
        import ctypes
        ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG
    except Exception:  # noqa: BLE001 - best effort, not Linux-only code paths
        pass


def terminate(process):
    """SIGTERM, then SIGKILL if it has not ended within 10 s."""
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait(10)


def read_file(path):
    try:
        with open(path, "rb") as f:
            return f.read().decode("utf-8", errors="replace")
    except OSError:
        return ""
