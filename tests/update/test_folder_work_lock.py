#!/usr/bin/env python3
"""One writer per launcher folder: while `TinderhallowTool check` works on a
folder (held in the middle of its release list download), `apply` and a
second `check` on that folder wait, then fail with the folder-in-use message
and change nothing; once the first has ended the folder is free again.

Usage: test_folder_work_lock.py BUILD_DIR   (WINEPREFIX: the build's prefix)
"""

import http.server
import os
import subprocess
import sys
import tempfile
import threading
import unittest
from pathlib import Path

SOURCE = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(SOURCE / "tests" / "support"))
import launcher_harness as lh  # noqa: E402

BUILD = Path(sys.argv[1] if len(sys.argv) > 1 else SOURCE / "build").resolve()
PREFIX = os.environ.get("WINEPREFIX") or str(BUILD / "wineprefix")
BUSY = "Another Tinderhallow launcher or tool is working on this folder. Close it and retry."


def tool(*args):
    return subprocess.Popen([str(SOURCE / "cmake" / "wine-run.sh"), PREFIX, str(BUILD / "TinderhallowTool.exe"),
                             *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            env=dict(os.environ, WINEDEBUG="-all"))


def finish(process):
    out, err = process.communicate(timeout=120)
    return process.returncode, out.decode("utf-8", "replace"), err.decode("utf-8", "replace")


class HeldReleaseHost:
    """Serves a release folder on 127.0.0.1; the release list is answered only
    once release() is called, so a check stays in the middle of its work."""

    def __init__(self, root):
        self.requested = threading.Event()
        self.released = threading.Event()
        host = self

        class Handler(http.server.SimpleHTTPRequestHandler):
            def __init__(self, *args, **kwargs):
                super().__init__(*args, directory=str(root), **kwargs)

            def do_GET(self):
                if self.path == "/update_manifest.json":
                    host.requested.set()
                    host.released.wait(120)
                super().do_GET()

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = "http://127.0.0.1:%d" % self.server.server_address[1]
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def release(self):
        self.released.set()

    def stop(self):
        self.released.set()
        self.server.shutdown()
        self.server.server_close()


class FolderWorkLock(unittest.TestCase):
    def test_a_second_writer_on_a_busy_folder_fails_cleanly_and_the_folder_is_free_afterwards(self):
        lh.keep_wineserver_running(PREFIX)
        with tempfile.TemporaryDirectory() as temp:
            root = Path(temp)
            (root / "game").mkdir()
            (root / "game" / "a.pak").write_bytes(b"alpha" * 100)
            release = root / "release"
            lh.publish_release(str(root / "game"), str(release), "lock-1")
            folder = root / "launcher"
            folder.mkdir()
            host = HeldReleaseHost(release)
            try:
                (folder / "patch_source.txt").write_text(host.url + "\n")
                first = tool("check", lh.windows_path(folder))
                self.assertTrue(host.requested.wait(60), "the first check asked for the release list")

                apply = tool("apply", lh.windows_path(folder), lh.windows_path(release))
                second = tool("check", lh.windows_path(folder))
                self.assertEqual(finish(apply), (1, "", BUSY + "\n"))
                self.assertEqual(finish(second), (1, "", BUSY + "\n"))
                self.assertFalse((folder / "a.pak").exists(), "nothing installed beside the running check")

                host.release()
                code, out, err = finish(first)
                self.assertEqual(code, 0, err)
                self.assertIn("UpdateAvailable|Update available|1 files ready to install|0.000", out)
            finally:
                host.stop()

            code, out, err = finish(tool("apply", lh.windows_path(folder), lh.windows_path(release)))
            self.assertEqual(code, 0, err)
            self.assertEqual((folder / "a.pak").read_bytes(), b"alpha" * 100)


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]], verbosity=2)
