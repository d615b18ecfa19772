#!/usr/bin/env python3
"""The toolkit's fetch command against a local static file host: one file
fetched into a folder that does not exist yet, a missing file reported
on stderr with exit code 1, and a file of another size than the SIZE given
(a manifest size) refused.

Usage: test_fetch_command.py BUILD_DIR
"""

import http.server
import os
import subprocess
import sys
import tempfile
import threading
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "support"))
import launcher_harness as lh  # noqa: E402

BUILD = lh.find_build_dir()
WINE_RUN = os.path.join(lh.SOURCE_DIR, "cmake", "wine-run.sh")
TOOL = os.path.join(BUILD, "TinderhallowTool.exe")
PREFIX = os.environ.get("WINEPREFIX", os.path.join(BUILD, "wineprefix"))
BODY = bytes(range(256)) * 1000


def read(path):
    with open(path, "rb") as f:
        return f.read()


class FetchCommand(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.temp = tempfile.TemporaryDirectory()
        cls.root = cls.temp.name
        served = os.path.join(cls.root, "release")
        os.makedirs(os.path.join(served, "Game Data"))
        with open(os.path.join(served, "Game Data", "a+b.pak"), "wb") as f:
            f.write(BODY)

        class Handler(http.server.SimpleHTTPRequestHandler):
            def __init__(self, *args, **kwargs):
                super().__init__(*args, directory=served, **kwargs)

            def log_message(self, *args):
                pass

        cls.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        threading.Thread(target=cls.server.serve_forever, daemon=True).start()
        cls.base = "http://127.0.0.1:%d/" % cls.server.server_address[1]

    @classmethod
    def tearDownClass(cls):
        cls.server.shutdown()
        cls.server.server_close()
        cls.temp.cleanup()

    def fetch(self, *args):
        """Runs the toolkit's fetch under Wine; (exit code, stderr). Output goes
        through files: a wineserver started by the run inherits pipes and would
        hold them open after exit."""
        out_path = os.path.join(self.root, "stdout.txt")
        err_path = os.path.join(self.root, "stderr.txt")
        with open(out_path, "wb") as out, open(err_path, "wb") as err:
            code = subprocess.run([WINE_RUN, PREFIX, TOOL, "fetch", *map(str, args)], stdout=out, stderr=err,
                                  stdin=subprocess.DEVNULL, timeout=120).returncode
        return code, read(err_path)

    def test_fetches_into_a_new_folder_and_a_missing_file_leaves_the_destination_unchanged(self):
        dest = os.path.join(self.root, "out", "sub", "a.pak")
        code, err = self.fetch(self.base, "Game Data/a+b.pak", lh.windows_path(dest))
        self.assertEqual(code, 0, "fetch failed: %r" % err)
        self.assertEqual(read(dest), BODY)
        self.assertFalse(os.path.exists(dest + ".download"), "its temporary file was left behind")

        self.assertEqual(self.fetch(self.base, "missing/file.txt", lh.windows_path(dest)),
                         (1, b"Patch server returned HTTP 404 for missing/file.txt.\n"))
        self.assertEqual(read(dest), BODY, "a failed fetch changed the destination")

    def test_fetches_a_file_of_the_size_given(self):
        sized = os.path.join(self.root, "out", "sized.pak")
        code, err = self.fetch(self.base, "Game Data/a+b.pak", lh.windows_path(sized), len(BODY))
        self.assertEqual(code, 0, err)
        self.assertEqual(read(sized), BODY)

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
