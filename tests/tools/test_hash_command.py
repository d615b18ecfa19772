#!/usr/bin/env python3
"""TinderhallowTool hash FILE: the digest on stdout, or the error on stderr.

Usage: test_hash_command.py BUILD_DIR
"""
import hashlib
import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "support"))
import launcher_harness as lh  # noqa: E402

_, TOOL, PREFIX, _ = lh.build_paths()


def run_tool(*args):
    return lh.run_in_prefix(PREFIX, TOOL, *args)


class HashCommand(unittest.TestCase):
    def setUp(self):
        temp = tempfile.TemporaryDirectory(prefix="th_hash_command_")
        self.addCleanup(temp.cleanup)
        self.folder = temp.name

    def test_prints_the_digest_of_a_file_with_a_non_ascii_name(self):
        data = bytes((i * 7 + 3) & 0xFF for i in range(200_003))
        name = os.path.join(self.folder, "r\u00fcstung \u65e5.pak")
        with open(name, "wb") as f:
            f.write(data)
        self.assertEqual(run_tool("hash", lh.windows_path(name)),
                         (0, (hashlib.sha256(data).hexdigest() + "\n").encode(), b""))

    def test_reports_a_file_it_cannot_open_on_stderr_with_exit_code_1(self):
        missing = lh.windows_path(os.path.join(self.folder, "missing \u00e9.bin"))
        self.assertEqual(run_tool("hash", missing),
                         (1, b"", ("Could not open file for hashing: " + missing + "\n").encode("utf-8")))

    def test_without_a_file_exits_with_code_2_and_prints_nothing_on_stdout(self):
        code, out, _ = run_tool("hash")
        self.assertEqual((code, out), (2, b""))


if __name__ == "__main__":
    lh.run_tests()
