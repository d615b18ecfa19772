#!/usr/bin/env python3
"""TinderhallowTool hash FILE: the digest on stdout, or the error on stderr."""
import hashlib
import os
import subprocess
import sys
import tempfile


def windows_path(unix_path):
    return "Z:" + unix_path.replace("/", "\\")


def run_tool(build_dir, *args):
    # Output goes to files, not pipes: a wineserver started by this run would
    # hold a pipe open until it exits, seconds later.
    env = dict(os.environ, WINEDEBUG="-all", LANG="C.UTF-8", LC_ALL="C.UTF-8")
    tool = os.path.join(build_dir, "TinderhallowTool.exe")
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        code = subprocess.run(["wine", tool, *args], env=env, stdout=out, stderr=err, timeout=120).returncode
        out.seek(0)
        err.seek(0)
        return code, out.read(), err.read()


def main():
    build_dir = sys.argv[1]
    failures = []

    def check(name, actual, expected):
        if actual != expected:
            failures.append(f"{name}: expected {expected!r}, got {actual!r}")

    with tempfile.TemporaryDirectory(prefix="th_hash_command_") as folder:
        data = bytes((i * 7 + 3) & 0xFF for i in range(200_003))
        name = os.path.join(folder, "r\u00fcstung \u65e5.pak")
        with open(name, "wb") as f:
            f.write(data)
        code, out, err = run_tool(build_dir, "hash", windows_path(name))
        check("digest exit code", code, 0)
        check("digest output", out, (hashlib.sha256(data).hexdigest() + "\n").encode())
        check("digest stderr", err, b"")

        missing = windows_path(os.path.join(folder, "missing \u00e9.bin"))
        code, out, err = run_tool(build_dir, "hash", missing)
        check("missing exit code", code, 1)
        check("missing stdout", out, b"")
        check("missing stderr", err, ("Could not open file for hashing: " + missing + "\n").encode("utf-8"))

        code, out, err = run_tool(build_dir, "hash")
        check("usage exit code", code, 2)
        check("usage stdout", out, b"")

    for failure in failures:
        print(failure)
    print("FAIL" if failures else "PASS")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
