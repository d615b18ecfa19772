#!/usr/bin/env python3
"""An update while the game keeps one of its files open, with the real
launcher under Wine and Xvfb against the reference server.

The update cannot replace the held file: the window shows "Update failed"
with the "Close the game and retry." text, the installation is exactly the
previous release again, and RETRY after the game has ended installs the
update.
"""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e_common as e  # noqa: E402
from e2e_common import lh  # noqa: E402

GAME_EXE = "TinderhallowGame.exe"


class HeldFile(unittest.TestCase):
    def setUp(self):
        self.h = h = lh.LauncherHarness(lh.find_build_dir(), name="e2e_game_holds_file")
        self.addCleanup(h.close)
        self.release = os.path.join(h.scratch, "release")
        self.folder = os.path.join(h.scratch, "Tinderhallow")
        game = e.read(h.exe(GAME_EXE))
        self.v1 = {
            "Tinderhallow.exe": e.read(h.launcher_exe),
            GAME_EXE: game,
            "data/a_music.pak": b"music " * 30000,
            "data/arena.map": b"arena " * 30000,
            "data/zz_sky.pak": b"sky " * 30000,
        }
        # Files are applied in path order: the one before the held file is
        # replaced first, so the failure has something to undo.
        self.v2 = dict(self.v1)
        self.v2["data/a_music.pak"] = b"new music " * 30000
        self.v2["data/arena.map"] = b"new arena " * 30000
        self.v2["data/zz_sky.pak"] = b"new sky " * 30000
        self.v2["data/added.pak"] = b"added " * 1000
        self.server = None
        self.launcher = None
        self.game = None
        self.before = None

    def install_first_release(self):
        h = self.h
        e.publish(h.build_dir, h.scratch, self.v1, self.release, "held-1")
        self.server = h.start_reference_server(self.release, accounts={e.ACCOUNT: e.PASSWORD})
        h.prepare_launcher_dir(self.folder, patch_source=self.server.url, server_url=self.server.url)
        self.launcher = h.start_launcher(self.folder, trace_text=True)
        h.wait_window()
        self.launcher.wait_status("Update available", "4 files ready to install")
        e.log_in(h, self.launcher)
        self.launcher.wait_status("Game is ready", "Release held-1", timeout=120)
        self.assertEqual(e.installed_files(self.folder, self.v1), [], "files differing from release held-1")

    def update_fails_while_the_game_holds_a_file(self):
        h = self.h
        record = os.path.join(self.folder, "game_command_line.txt")
        self.game = h.start(os.path.join(self.folder, GAME_EXE), ["--hold", "data\\arena.map"], cwd=self.folder,
                            name="game")
        lh.wait_for_file(record)  # written once the file is open
        self.before = e.snapshot(self.folder)
        e.publish(h.build_dir, h.scratch, self.v2, self.release, "held-2")
        h.click(491, 779)  # REPAIR checks the release again
        shown = self.launcher.wait_status("Update failed", detail_contains="Close the game and retry.", timeout=120)
        self.assertTrue(shown.detail.startswith("Could not replace ") and "arena.map" in shown.detail
                        and shown.detail.endswith("). Close the game and retry."), "detail: %r" % shown.detail)
        print("     shown: %s / %s" % (shown.title, shown.detail))
        self.assertEqual(shown.button, "RETRY", "main button")
        misses = e.wait_pixels(h, "held-update-failed", [
            ("RETRY face", (1340, 836), e.face(e.BRIGHT_RED, 836)), ("empty progress bar", (700, 854), e.TRACK)])
        self.assertFalse(misses, "; ".join(misses))
        self.assertEqual(e.snapshot(self.folder), self.before, "installation after the failed update")
        self.assertFalse(os.path.exists(os.path.join(self.folder, "data", "added.pak")), "new file removed again")

    def retry_after_the_game_ended(self):
        h = self.h
        self.game.kill()
        h.wait_not_running(GAME_EXE)
        h.click(*e.MAIN_BUTTON)
        self.launcher.wait_status("Game is ready", "Release held-2", timeout=120)
        self.assertEqual(e.installed_files(self.folder, self.v2), [], "files differing from release held-2")
        h.close_window()
        self.assertEqual(self.launcher.wait(30), 0, "exit code")

    def test_an_update_blocked_by_the_game_restores_the_installation_and_retry_completes_it(self):
        first = "the first release installs"
        failed = "an update fails while the game holds a file, and the installation is restored"
        e.run_steps(self, [
            (first, self.install_first_release, []),
            (failed, self.update_fails_while_the_game_holds_a_file, [first]),
            ("RETRY after the game ended installs the update", self.retry_after_the_game_ended, [failed]),
        ])


if __name__ == "__main__":
    lh.run_tests()
