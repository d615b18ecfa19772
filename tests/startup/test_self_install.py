#!/usr/bin/env python3
"""The self-install, under Wine and Xvfb: a downloaded launcher installing
into a folder whose launcher is open closes that one only; the launcher of
the player's other installation stays open.

Usage: test_self_install.py BUILD_DIR
"""

import os
import sys
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


if __name__ == "__main__":
    lh.run_tests()
