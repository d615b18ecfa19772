#!/usr/bin/env python3
"""One launcher window per launcher folder, under Wine and Xvfb: a second
launcher started for a folder whose launcher is open (the same program, the
folder spelled in other letter case or through a drive alias, or a copy
under another file name)
exits with 0 and opens no window; a launcher of another folder still opens
its own.

Usage: test_one_launcher_per_folder.py BUILD_DIR
"""

import os
import shutil
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "support"))
import launcher_harness as lh  # noqa: E402


class OneLauncherPerFolder(unittest.TestCase):
    def test_a_second_launcher_for_an_open_folder_exits_without_a_window_and_another_folder_opens_its_own(self):
        with lh.LauncherHarness(lh.find_build_dir(), name="startup_one_launcher_per_folder") as h:
            # No patch source: the launcher stays on this machine.
            folder = h.prepare_launcher_dir(patch_source="")
            # A drive alias (subst; under Wine a link in dosdevices) to the
            # folder's parent. Wine derives a folder's volume serial from the
            # drives that exist when it is asked, so the alias stays throughout.
            alias = os.path.join(h.prefix, "dosdevices", "k:")
            os.symlink(os.path.dirname(folder), alias)
            first = h.start_launcher(folder)
            h.wait_window()

            second = h.start_launcher(folder)
            self.assertEqual(second.wait(60), 0, "exit code of a second launcher for the folder")
            self.assertEqual(h.window_count(), 1, "windows after the second launcher")

            # The same folder in other letter case, started through its Windows path.
            upper = lh.windows_path(folder).upper()
            env = h.environment(install_dir=upper)
            third = h.start(upper + "\\TINDERHALLOW.EXE", env=env, cwd=folder, name="launcher-upper")
            self.assertEqual(third.wait(60), 0, "exit code of a launcher started as " + upper)
            self.assertEqual(h.window_count(), 1, "windows after the launcher in other letter case")

            # The same folder through a drive alias (made first, see above).
            aliased = "K:\\" + os.path.basename(folder)
            fourth = h.start(aliased + "\\Tinderhallow.exe", env=h.environment(install_dir=aliased), cwd=folder,
                             name="launcher-alias")
            self.assertEqual(fourth.wait(60), 0, "exit code of a launcher started as " + aliased)
            self.assertEqual(h.window_count(), 1, "windows after the launcher through a drive alias")

            shutil.copy(h.launcher_exe, os.path.join(folder, "Tinderhallow-copy.exe"))
            copy = h.start_launcher(folder, exe_name="Tinderhallow-copy.exe")
            self.assertEqual(copy.wait(60), 0, "exit code of a copy under another name")
            self.assertEqual(h.window_count(), 1, "windows after the copy")
            self.assertEqual(first.poll(), None, "the first launcher keeps running")

            other = h.start_launcher(h.prepare_launcher_dir(patch_source=""))
            lh.wait_until(lambda: h.window_count() == 2, 30, "the other folder's window")
            self.assertEqual(other.poll(), None, "a launcher of another folder keeps running")

            h.close_window()
            lh.wait_until(lambda: h.window_count() == 1, 30, "one window closed")
            h.close_window()
            self.assertEqual((first.wait(30), other.wait(30)), (0, 0), "exit codes after closing both")


if __name__ == "__main__":
    lh.run_tests()
