#!/usr/bin/env python3
"""The self-install, under Wine and Xvfb: a downloaded launcher installing
into a folder whose launcher is open closes that one only; the launcher of
the player's other installation stays open. While a launcher or tool works
on the folder (it holds the folder's work lock), the self-install asks the
player to let it finish, installs nothing when told to cancel, and installs
once the folder is free.

Usage: test_self_install.py BUILD_DIR
"""

import os
import socket
import sys
import threading
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "support"))
import launcher_harness as lh  # noqa: E402


class SelfInstall(unittest.TestCase):
    def test_the_self_install_closes_only_the_launcher_of_the_folder_it_installs_into(self):
        with lh.LauncherHarness(lh.find_build_dir(), name="startup_self_install") as h:
            # No patch source: the launchers stay on this machine.
            target = h.prepare_launcher_dir(patch_source="")
            other = h.prepare_launcher_dir(patch_source="")
            in_target = h.start_launcher(target)
            in_other = h.start_launcher(other)
            lh.wait_until(lambda: h.window_count() == 2, 30, "both installations' windows")

            downloads = h.prepare_launcher_dir(os.path.join(h.scratch, "Downloads"))
            downloaded = h.start_launcher(downloads, install_dir=target)
            self.assertEqual(downloaded.wait(60), 0, "exit code of the downloaded copy")
            self.assertEqual(in_target.wait(30), 0, "the install folder's launcher closed")
            lh.wait_until(lambda: h.window_count() == 2, 30, "the installed copy's window beside the other")
            self.assertIsNone(in_other.poll(), "the other installation's launcher keeps running")

            h.close_window()
            lh.wait_until(lambda: h.window_count() == 1, 30, "one window closed")
            h.close_window()
            self.assertEqual(in_other.wait(30), 0, "exit code of the other installation's launcher")

    def test_the_self_install_asks_while_the_folder_is_being_worked_on_and_installs_once_it_is_free(self):
        with lh.LauncherHarness(lh.find_build_dir(), name="startup_self_install_busy") as h:
            # A patch source that takes connections and never answers keeps a
            # release check, and the folder's work lock, busy.
            silent = socket.socket()
            silent.bind(("127.0.0.1", 0))
            silent.listen(8)
            taken = []
            connected = threading.Event()

            def take():
                while True:
                    try:
                        taken.append(silent.accept()[0])
                    except OSError:
                        return
                    connected.set()

            threading.Thread(target=take, daemon=True).start()
            target = h.prepare_launcher_dir(patch_source="http://127.0.0.1:%d" % silent.getsockname()[1],
                                            copy_launcher=False)
            check = h.start(h.tool_exe, ["check", lh.windows_path(target)])
            try:
                self.assertTrue(connected.wait(60), "the check asked the patch source")
                downloads = h.prepare_launcher_dir(os.path.join(h.scratch, "Downloads"))
                downloaded = h.start_launcher(downloads, install_dir=target)
                text = h.answer_message("Tinderhallow", "cancel", timeout_ms=60000)
                self.assertEqual(text, "A Tinderhallow launcher is checking or updating the game in %s.\n\n"
                                       "Let it finish, then press Retry to install this launcher."
                                 % lh.windows_path(target))
                self.assertEqual(downloaded.wait(60), 0, "exit code after Cancel")
                self.assertFalse(os.path.exists(os.path.join(target, "Tinderhallow.exe")), "nothing installed")
            finally:
                silent.close()
                for connection in taken:
                    connection.close()
            check.wait(180)

            downloaded = h.start_launcher(downloads, install_dir=target)
            self.assertEqual(downloaded.wait(60), 0, "exit code of the downloaded copy")
            h.wait_window()
            self.assertTrue(os.path.isfile(os.path.join(target, "Tinderhallow.exe")), "installed once free")
            h.close_window()


if __name__ == "__main__":
    lh.run_tests()
