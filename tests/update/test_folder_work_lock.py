#!/usr/bin/env python3
"""One writer per launcher folder: while `TinderhallowTool check` works on a
folder (held in the middle of its release list download), `apply` and a
second `check` on that folder wait, then fail with the folder-in-use message
and change nothing, and a launcher opened there shows that message as its
release check's error; once the first has ended the folder is free again. A lock file that cannot
be opened for writing (here: held open with read sharing only) still excludes; a lock file that cannot be opened at all (a folder of that
name) stops the writer with its own message instead of letting it work
unlocked.

Usage: test_folder_work_lock.py BUILD_DIR   (under Wine and Xvfb)
"""

import http.server
import re
import shutil
import sys
import threading
import unittest
from pathlib import Path

SOURCE = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(SOURCE / "tests" / "support"))
import launcher_harness as lh  # noqa: E402

BUSY = "Another Tinderhallow launcher or tool is working on this folder. Close it and retry."
GAME_EXE = "TinderhallowGame.exe"
UNLOCKABLE = re.compile(r"Could not lock the launcher folder: .*\\\.patch_lock cannot be opened as a file "
                        r"\(Windows error \d+\)\.\n")


def finish(program):
    code = program.wait(120)
    return code, program.stdout(), program.stderr()


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
        with lh.LauncherHarness(lh.find_build_dir(), name="update_folder_work_lock") as h:
            root = Path(h.scratch)
            (root / "game").mkdir()
            (root / "game" / "a.pak").write_bytes(b"alpha" * 100)
            release = root / "release"
            lh.publish_release(str(root / "game"), str(release), "lock-1")
            host = HeldReleaseHost(release)
            try:
                folder = Path(h.prepare_launcher_dir(patch_source=host.url))
                first = h.start(h.tool_exe, ["check", lh.windows_path(folder)])
                self.assertTrue(host.requested.wait(60), "the first check asked for the release list")

                apply = h.start(h.tool_exe, ["apply", lh.windows_path(folder), lh.windows_path(release)])
                second = h.start(h.tool_exe, ["check", lh.windows_path(folder)])
                launcher = h.start_launcher(str(folder), trace_text=True)
                self.assertEqual(finish(apply), (1, "", BUSY + "\n"))
                self.assertEqual(finish(second), (1, "", BUSY + "\n"))
                launcher.wait_status("Launcher folder in use", BUSY)
                self.assertFalse((folder / "a.pak").exists(), "nothing installed beside the running check")

                host.release()
                code, out, err = finish(first)
                self.assertEqual(code, 0, err)
                self.assertIn("UpdateAvailable|Update available|1 files ready to install|0.000", out)
                h.close_window()
                self.assertEqual(launcher.wait(30), 0)
            finally:
                host.stop()

            code, out, err = finish(h.start(h.tool_exe, ["apply", lh.windows_path(folder), lh.windows_path(release)]))
            self.assertEqual(code, 0, err)
            self.assertEqual((folder / "a.pak").read_bytes(), b"alpha" * 100)

    def test_a_lock_file_that_cannot_be_written_still_excludes_and_an_unopenable_one_stops_the_writer(self):
        with lh.LauncherHarness(lh.find_build_dir(), name="update_folder_work_lock_unopenable") as h:
            root = Path(h.scratch)
            (root / "game").mkdir()
            (root / "game" / "a.pak").write_bytes(b"alpha" * 100)
            release = root / "release"
            lh.publish_release(str(root / "game"), str(release), "lock-2")
            host = HeldReleaseHost(release)
            try:
                folder = Path(h.prepare_launcher_dir(patch_source=host.url))
                (folder / ".patch_lock").write_bytes(b"")
                shutil.copy2(h.exe(GAME_EXE), folder / GAME_EXE)
                holder = h.start(str(folder / GAME_EXE), ["--hold", ".patch_lock"], cwd=str(folder))
                lh.wait_for_file(str(folder / "game_command_line.txt"))
                first = h.start(h.tool_exe, ["check", lh.windows_path(folder)])
                self.assertTrue(host.requested.wait(60), "the first check asked for the release list")
                apply = h.start(h.tool_exe, ["apply", lh.windows_path(folder), lh.windows_path(release)])
                self.assertEqual(finish(apply), (1, "", BUSY + "\n"))
                self.assertFalse((folder / "a.pak").exists(), "nothing installed beside the running check")
                host.release()
                self.assertEqual(finish(first)[0], 0)
                holder.kill()
            finally:
                host.stop()

            folder = Path(h.prepare_launcher_dir(patch_source=lh.windows_path(release)))
            (folder / ".patch_lock").mkdir()
            for command in (["apply", lh.windows_path(folder), lh.windows_path(release)],
                            ["check", lh.windows_path(folder)]):
                code, out, err = finish(h.start(h.tool_exe, [command[0]] + command[1:]))
                self.assertEqual(code, 1, command)
                self.assertRegex(err, UNLOCKABLE)
            self.assertFalse((folder / "a.pak").exists(), "nothing installed unlocked")


if __name__ == "__main__":
    lh.run_tests()
