#!/usr/bin/env python3
"""TinderhallowTool apply INSTALL_DIR SOURCE_DIR [--allow-older]: refuses a
release older than the folder's floor, also when the installed list is gone.

Usage: test_apply_command.py BUILD_DIR
"""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "support"))
import launcher_harness as lh  # noqa: E402

BUILD = lh.find_build_dir()
PREFIX = os.environ.get("WINEPREFIX") or os.path.join(BUILD, "wineprefix")


def run_tool(*args):
    # Output goes to files, not pipes: a wineserver started by this run would
    # hold a pipe open until it exits, seconds later.
    env = dict(os.environ, WINEPREFIX=PREFIX, WINEDEBUG="-all", LANG="C.UTF-8", LC_ALL="C.UTF-8")
    tool = os.path.join(BUILD, "TinderhallowTool.exe")
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        code = subprocess.run(["wine", tool, *args], env=env, stdout=out, stderr=err, timeout=120).returncode
        err.seek(0)
        return code, err.read().decode("utf-8", errors="replace")


def read(path):
    with open(path, "rb") as f:
        return f.read()


class ApplyCommand(unittest.TestCase):
    def test_refuses_an_older_release_unless_allowed_even_without_the_installed_list(self):
        temp = tempfile.TemporaryDirectory(prefix="th_apply_command_")
        self.addCleanup(temp.cleanup)
        game, older, newer, install = (os.path.join(temp.name, name) for name in ("game", "r1", "r2", "install"))
        os.makedirs(game)
        with open(os.path.join(game, "a.pak"), "wb") as f:
            f.write(b"first")
        lh.publish_release(game, older, "r1")
        shutil.copytree(older, newer)
        with open(os.path.join(game, "a.pak"), "wb") as f:
            f.write(b"second")
        lh.publish_release(game, newer, "r2")  # the next sequence in that folder

        def apply(source, *extra):
            return run_tool("apply", lh.windows_path(install), lh.windows_path(source), *extra)

        self.assertEqual(apply(newer)[0], 0)
        refused = ("The patch source offers release r1, older than the installed release r2. Nothing was installed.\n"
                   "Give --allow-older to install it all the same.\n")
        self.assertEqual(apply(older), (1, refused))
        os.remove(os.path.join(install, "update_manifest.json"))
        self.assertEqual(apply(older), (1, refused), "the floor outlives the installed list")
        self.assertEqual(read(os.path.join(install, "a.pak")), b"second")

        self.assertEqual(apply(older, "--allow-older")[0], 0)
        self.assertEqual(read(os.path.join(install, "a.pak")), b"first")
        self.assertEqual(apply(older), (0, ""), "support's downgrade lowered the floor")


if __name__ == "__main__":
    lh.run_tests()
