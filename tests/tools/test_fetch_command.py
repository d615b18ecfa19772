#!/usr/bin/env python3
"""The toolkit's fetch command against a local nginx: one file
fetched into a folder that does not exist yet, a missing file reported
on stderr with exit code 1, and a file of another size than the SIZE given
(a manifest size) refused.

Usage: test_fetch_command.py BUILD_DIR
"""

import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "support"))
import launcher_harness as lh  # noqa: E402

_, TOOL, PREFIX, _ = lh.build_paths()
BODY = bytes(range(256)) * 1000


class FetchCommand(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.temp = tempfile.TemporaryDirectory()
        cls.root = cls.temp.name
        served = os.path.join(cls.root, "release")
        lh.write_bytes(os.path.join(served, "Game Data", "a+b.pak"), BODY)
        cls.server = lh.NginxHost(cls.root, served)
        cls.base = cls.server.url + "/"

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        cls.temp.cleanup()

    def fetch(self, *args):
        """Runs the toolkit's fetch under Wine; (exit code, stderr)."""
        done = lh.run_in_prefix(PREFIX, TOOL, "fetch", *args)
        return done.code, done.stderr

    def test_fetches_into_a_new_folder_and_a_missing_file_leaves_the_destination_unchanged(self):
        dest = os.path.join(self.root, "out", "sub", "a.pak")
        code, err = self.fetch(self.base, "Game Data/a+b.pak", lh.windows_path(dest))
        self.assertEqual(code, 0, "fetch failed: %r" % err)
        self.assertEqual(lh.read_bytes(dest), BODY)
        self.assertFalse(os.path.exists(dest + ".download"), "its temporary file was left behind")

        self.assertEqual(self.fetch(self.base, "missing/file.txt", lh.windows_path(dest)),
                         (1, b"Patch server returned HTTP 404 for missing/file.txt.\n"))
        self.assertEqual(lh.read_bytes(dest), BODY, "a failed fetch changed the destination")

    def test_fetches_a_file_of_the_size_given(self):
        sized = os.path.join(self.root, "out", "sized.pak")
        code, err = self.fetch(self.base, "Game Data/a+b.pak", lh.windows_path(sized), len(BODY))
        self.assertEqual(code, 0, err)
        self.assertEqual(lh.read_bytes(sized), BODY)

    def test_refuses_a_file_of_another_size_than_given_and_leaves_nothing(self):
        wrong = os.path.join(self.root, "out", "wrong.pak")
        self.assertEqual(self.fetch(self.base, "Game Data/a+b.pak", lh.windows_path(wrong), len(BODY) - 1),
                         (1, ("Patch server sent Game Data/a+b.pak with a size that does not match the release "
                              "manifest (%d bytes).\n" % (len(BODY) - 1)).encode()))
        self.assertFalse(os.path.exists(wrong))
        self.assertFalse(os.path.exists(wrong + ".download"))

    def test_refuses_a_source_that_is_not_an_http_url(self):
        dest = os.path.join(self.root, "out", "folder-source.pak")
        self.assertEqual(self.fetch("Z:\\release", "a.txt", lh.windows_path(dest)),
                         (1, b"Patch source is not an HTTP URL.\n"))


if __name__ == "__main__":
    lh.run_tests()
