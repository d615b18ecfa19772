#!/usr/bin/env python3
"""The real launcher under Wine and Xvfb while its servers come and go (the
reference server on one fixed loopback port serves both the release and the
game service).

1. Nothing listens when the launcher starts: "Test channel unavailable"
   with the connection error, and RETRY.
2. Logging in meanwhile fails with "Could not reach the game server. Check
   your internet connection." and the form stays usable.
3. Once the server is up, RETRY finds the release, the login works and the
   update ends in "Game is ready".
4. The service is gone again when PLAY asks for a ticket: the game still
   starts, without arguments, and the launcher exits.
"""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e_common as e  # noqa: E402
from e2e_common import lh  # noqa: E402

UNREACHABLE = "Could not reach the game server. Check your internet connection."


class Outages(unittest.TestCase):
    def setUp(self):
        self.h = h = lh.LauncherHarness(lh.find_build_dir(), name="e2e_service_outages")
        self.addCleanup(h.close)
        self.release = os.path.join(h.scratch, "release")
        self.folder = os.path.join(h.scratch, "Tinderhallow")
        self.port = lh.free_port()
        self.url = "http://127.0.0.1:%d" % self.port
        self.files = {
            "Tinderhallow.exe": e.read(h.launcher_exe),
            "TinderhallowGame.exe": e.read(h.exe("TinderhallowGame.exe")),
            "data/arena.map": b"arena " * 20000,
        }
        self.server = None
        self.launcher = None

    def start_server(self):
        self.server = self.h.start_reference_server(self.release, accounts={e.ACCOUNT: e.PASSWORD},
                                                    extra_args=("--port", str(self.port)))

    def nothing_listens_at_start(self):
        h = self.h
        e.publish(h.build_dir, h.scratch, self.files, self.release, "outage-1")
        h.prepare_launcher_dir(self.folder, patch_source=self.url, server_url=self.url)
        self.launcher = h.start_launcher(self.folder, trace_text=True)
        h.wait_window()
        shown = self.launcher.wait_status("Test channel unavailable", detail_contains="Patch server did not respond",
                                          timeout=90)
        self.assertTrue(shown.detail.startswith("Patch server did not respond (Windows error ")
                        and shown.detail.endswith(")."), "detail: %r" % shown.detail)
        self.assertEqual(shown.button, "RETRY", "main button")
        misses = e.wait_pixels(h, "outage-no-server", [("RETRY face", (1340, 836), e.face(e.BRIGHT_RED, 836))])
        self.assertFalse(misses, "; ".join(misses))
        self.assertFalse(os.path.exists(os.path.join(self.folder, "data")), "nothing installed")

    def login_without_service(self):
        h = self.h
        h.type_account(e.ACCOUNT)
        h.keys_password(e.PASSWORD)
        h.press_enter("password")
        self.launcher.wait_login_line(UNREACHABLE, timeout=60)
        self.assertEqual(h.edits_visible(), "visible", "login fields")
        self.assertEqual(h.edit_text("password"), "", "password field after the failure")
        self.assertEqual(h.focus(), "password", "focus after the failure")

    def server_comes_back(self):
        h = self.h
        self.start_server()
        h.click(*e.MAIN_BUTTON)  # RETRY
        self.launcher.wait_status("Update available", "2 files ready to install")
        e.log_in(h, self.launcher)
        self.launcher.wait_status("Game is ready", "Release outage-1", timeout=120)
        self.assertEqual(e.installed_files(self.folder, self.files), [], "files differing from the release")

    def play_without_service(self):
        h = self.h
        self.server.stop()
        h.click(*e.MAIN_BUTTON)  # PLAY
        h.wait_not_running("Tinderhallow.exe", timeout=90)
        record = os.path.join(self.folder, "game_command_line.txt")
        lh.wait_for_file(record)
        self.assertEqual(e.read(record).decode(), "argc=0\n", "game command line")
        self.assertEqual(self.launcher.wait(30), 0, "launcher exit code")

    def test_the_launcher_rides_out_its_servers_coming_and_going(self):
        down = "nothing listening at start leaves the test channel unavailable"
        back = "RETRY after the server is back finds the release, and login and update work"
        e.run_steps(self, [
            (down, self.nothing_listens_at_start, []),
            ("login without the service fails and keeps the form usable", self.login_without_service, [down]),
            (back, self.server_comes_back, [down]),
            ("PLAY without the service starts the game without a ticket", self.play_without_service, [back]),
        ])


if __name__ == "__main__":
    lh.run_tests()
