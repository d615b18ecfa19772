#!/usr/bin/env python3
"""Install, then uninstall, as a player on Windows meets it, under Wine.

1. "--uninstall --quiet" from a copy that sits in the user's profile folder
   (beside a settings file, as if it were an installation) removes nothing;
   nor from one in Documents named through a drive alias, its short name or
   a folder link.
2. A downloaded launcher installs itself: the uninstall entry below
   HKCU\\...\\Uninstall\\Tinderhallow names the program, its folder, its
   version and the two uninstall commands, and both shortcuts (desktop and
   Start menu) start the installed launcher.
3. "--uninstall" asks first; "No" keeps everything.
4. "--uninstall --quiet", run by the installed launcher from inside its own
   folder while a launcher window from there is open, closes that window and
   removes the folder with the game (read-only files, the remembered account
   name, the work folders), both shortcuts, the entry and the window's kept
   background copy with its folder, and leaves the downloaded copy alone.
"""

import getpass
import os
import re
import shutil
import stat
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "support"))
import launcher_harness as lh  # noqa: E402

KEY = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Tinderhallow"
LAUNCHER = "Tinderhallow.exe"


def version_text():
    with open(os.path.join(lh.SOURCE_DIR, "base", "version.h"), encoding="utf-8") as f:
        text = f.read()
    parts = [re.search(r"#define TINDERHALLOW_VERSION_%s (\d+)" % name, text).group(1)
             for name in ("MAJOR", "MINOR", "PATCH")]
    return ".".join(parts)


def tree(folder):
    """Every file and folder below FOLDER, as relative paths."""
    found = set()
    for root, dirs, files in os.walk(folder):
        for name in dirs + files:
            found.add(os.path.relpath(os.path.join(root, name), folder))
    return found


def registry_entry(h, env):
    """The entry's values (name -> text as reg prints it), or None."""
    result = h.run("reg", ["query", KEY], env=env)
    if result.code != 0:
        return None
    values = {}
    for line in result.stdout.splitlines():
        match = re.match(r"^\s+(\S+)\s+(REG_\w+)\s+(.*?)\s*$", line)
        if match:
            values[match.group(1)] = match.group(3)
    return values


class Uninstall(unittest.TestCase):
    def test_an_installed_launcher_uninstalls_after_asking_and_a_copy_in_the_profile_folder_never_does(self):
        with lh.LauncherHarness(lh.find_build_dir(), name="startup_uninstall") as h:
            # The profile's folders are links to the real home folder in a new
            # prefix: real folders here, so nothing outside the prefix is touched.
            profile = os.path.join(h.prefix, "drive_c", "users", getpass.getuser())
            for name in os.listdir(profile):
                path = os.path.join(profile, name)
                if os.path.islink(path):
                    os.unlink(path)
                    os.mkdir(path)
            desktop_link = os.path.join(profile, "Desktop", "Tinderhallow.lnk")
            start_menu_link = os.path.join(profile, "AppData", "Roaming", "Microsoft", "Windows", "Start Menu",
                                           "Programs", "Tinderhallow.lnk")
            # Wine would copy every new shortcut into the Linux desktop's menus.
            quiet_shell = {"WINEDLLOVERRIDES": "mscoree,mshtml=;winemenubuilder.exe=d"}
            env = h.environment(no_shortcut=False, extra=quiet_shell)

            # 1. A launcher in the profile folder: never an installation.
            shutil.copy2(h.launcher_exe, os.path.join(profile, LAUNCHER))
            lh.write_bytes(os.path.join(profile, "patch_source.txt"), b"releases\r\n")
            before = tree(profile)
            result = h.run(os.path.join(profile, LAUNCHER), ["--uninstall", "--quiet"], env=env)
            self.assertEqual(result.code, 1, "exit code of an uninstall in the profile folder")
            self.assertEqual(sorted(before - tree(profile)), [], "profile entries removed")
            os.remove(os.path.join(profile, LAUNCHER))
            os.remove(os.path.join(profile, "patch_source.txt"))

            # 1b. Nor is the Documents folder, however it is named: through a
            #     drive alias (subst; under Wine a link in dosdevices), its
            #     8.3 short name, or a folder link to the profile.
            documents = os.path.join(profile, "Documents")
            shutil.copy2(h.launcher_exe, os.path.join(documents, LAUNCHER))
            lh.write_bytes(os.path.join(documents, "server_url.txt"), b"http://127.0.0.1:9\r\n")
            lh.write_bytes(os.path.join(documents, "thesis", "chapter1.docx"), b"years of work")
            alias = os.path.join(h.prefix, "dosdevices", "k:")
            os.symlink(profile, alias)
            link = os.path.join(h.scratch, "profile-link")
            os.symlink(profile, link)
            listing = h.run("cmd", ["/c", "dir", "/x", lh.windows_path(profile)], env=env).stdout
            short = re.search(r"<DIR>\s+(\S+~\S+)\s+Documents\s*$", listing, re.M)
            self.assertTrue(short, "Wine gives Documents an 8.3 name: %r" % listing)
            before = tree(documents)
            namings = ["K:\\Documents", lh.windows_path(profile) + "\\" + short.group(1),
                       lh.windows_path(link) + "\\Documents"]
            for named in namings:
                result = h.run(named + "\\" + LAUNCHER, ["--uninstall", "--quiet"], env=env)
                self.assertEqual(result.code, 1, "exit code of an uninstall in " + named)
                self.assertEqual(sorted(before - tree(documents)), [], "Documents entries removed through " + named)
            os.remove(alias)
            os.remove(link)
            for name in (LAUNCHER, "server_url.txt"):
                os.remove(os.path.join(documents, name))

            # 2. The self-install registers the entry and makes both shortcuts.
            downloads = os.path.join(h.scratch, "Downloads")
            install = os.path.join(h.scratch, "Games", "Tinderhallow")
            os.makedirs(install)
            h.prepare_launcher_dir(install, patch_source=os.path.join(h.scratch, "no-release"), copy_launcher=False)
            h.prepare_launcher_dir(downloads)
            downloaded = h.start_launcher(downloads, install_dir=install, no_shortcut=False, extra_env=quiet_shell)
            self.assertEqual(downloaded.wait(60), 0, "exit code of the downloaded copy")
            h.wait_window()
            h.close_window()
            h.wait_not_running(LAUNCHER)

            installed = lh.windows_path(os.path.join(install, LAUNCHER))
            entry = registry_entry(h, env)
            self.assertIsNotNone(entry, "uninstall entry after the self-install")
            expected = {
                "DisplayName": "Tinderhallow",
                "DisplayVersion": version_text(),
                "DisplayIcon": installed + ",0",
                "InstallLocation": lh.windows_path(install),
                "UninstallString": '"%s" --uninstall' % installed,
                "QuietUninstallString": '"%s" --uninstall --quiet' % installed,
                "NoModify": "0x1",
                "NoRepair": "0x1",
            }
            for name, value in expected.items():
                self.assertEqual(entry.get(name), value, "entry value " + name)
            self.assertTrue(entry.get("Publisher"), "entry names the publisher: %r" % entry)
            size_kb = int(entry.get("EstimatedSize", "0"), 16)
            self.assertGreaterEqual(size_kb, os.path.getsize(h.launcher_exe) // 1024, "estimated size in KiB")
            for link in (desktop_link, start_menu_link):
                self.assertTrue(os.path.isfile(link), "shortcut " + link)
                with open(link, "rb") as f:
                    data = f.read()
                self.assertTrue(installed.encode("utf-16-le") in data or installed.encode() in data,
                                "shortcut %s starts the installed launcher" % link)

            # The game and what the launcher keeps beside it.
            game_files = ["TinderhallowGame.exe", "data/arena.pak", "data/maps/deep/harbour.map",
                          "update_manifest.json", "launcher_account.txt", ".patch_rollback/data/arena.pak",
                          ".patch_remote/update_manifest.json"]
            for path in game_files:
                lh.write_bytes(os.path.join(install, *path.split("/")), b"x")
            read_only = os.path.join(install, "data", "maps", "deep", "harbour.map")
            os.chmod(read_only, stat.S_IRUSR | stat.S_IRGRP | stat.S_IROTH)

            # 3. Asked first; "No" keeps everything.
            asking = h.start(os.path.join(install, LAUNCHER), ["--uninstall"], env=env, cwd=install)
            question = h.answer_message("Tinderhallow", "no")
            self.assertTrue(question.startswith("Remove Tinderhallow from this computer?\n\nThis deletes the folder ")
                            and lh.windows_path(install) in question, "confirmation text: %r" % question)
            self.assertEqual(asking.wait(30), 1, "exit code after No")
            for path in game_files + [LAUNCHER]:
                self.assertTrue(os.path.isfile(os.path.join(install, *path.split("/"))), "kept after No: " + path)
            self.assertTrue(registry_entry(h, env) is not None and os.path.isfile(desktop_link)
                            and os.path.isfile(start_menu_link), "entry and shortcuts kept after No")

            # 4. Quiet, from inside the folder it removes, while the launcher is
            #    open from there too.
            open_launcher = h.start_launcher(install)
            h.wait_window()
            result = h.run(os.path.join(install, LAUNCHER), ["--uninstall", "--quiet"], env=env, cwd=install)
            self.assertEqual(result.code, 0, "exit code of the quiet uninstall")
            self.assertEqual(open_launcher.wait(30), 0, "exit code of the launcher that was open")
            self.assertFalse(os.path.exists(install), "install folder removed: %s" % (os.listdir(install)
                                                                              if os.path.isdir(install) else ""))
            self.assertFalse(os.path.exists(desktop_link), "desktop shortcut removed")
            self.assertFalse(os.path.exists(start_menu_link), "Start menu shortcut removed")
            self.assertIsNone(registry_entry(h, env), "uninstall entry removed")
            kept_background = os.path.join(profile, "AppData", "Local", "Tinderhallow")
            self.assertFalse(os.path.exists(kept_background), "kept background copy and its folder removed: %s"
                             % (os.listdir(kept_background) if os.path.isdir(kept_background) else ""))
            self.assertTrue(os.path.isfile(os.path.join(downloads, LAUNCHER)), "the downloaded copy is not touched")


if __name__ == "__main__":
    lh.run_tests()
