#!/usr/bin/env python3
"""A player's whole run with the real launcher under Wine and Xvfb, against
the reference server (game service and a gated patch host on 127.0.0.1).

1. The launcher runs from a download folder: it installs itself, hands over,
   and the installed copy offers the update; the player logs in, the update
   runs by itself and ends in "Game is ready"; PLAY starts the game with
   "--ticket <ticket>" and the launcher exits.
2. A second release changes two files, adds one and drops one: only those
   are fetched, and each changed or dropped file has its rollback copy.
3. The session expires before PLAY: the player is signed out with "Your
   login timed out. Please log in again." and the game is not started.
4. A release carrying a new Tinderhallow.exe: the running launcher swaps
   itself through ".new"/".old" and starts the new one; the next start
   removes ".old".
5. The diagnostic logs of all those runs tell the requests made, and not one
   of their bytes holds the password or a token or ticket the server issued.
"""

import glob
import os
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e_common as e  # noqa: E402
from e2e_common import lh  # noqa: E402

GAME_EXE = "TinderhallowGame.exe"
LAUNCHER = "Tinderhallow.exe"
TIMED_OUT = "Your login timed out. Please log in again."


class TypicalRun(unittest.TestCase):
    def setUp(self):
        self.h = h = lh.LauncherHarness(lh.find_build_dir(), name="e2e_typical_run")
        self.addCleanup(h.close)
        self.build_dir = h.build_dir
        self.release = os.path.join(h.scratch, "release")
        self.download = os.path.join(h.scratch, "Downloads")
        self.install = os.path.join(h.scratch, "Games", "Tinderhallow")
        self.launcher_bytes = e.read(h.launcher_exe)
        game = e.read(h.exe(GAME_EXE))  # the stub game: records its arguments
        self.v1 = {
            LAUNCHER: self.launcher_bytes,
            GAME_EXE: game,
            "data/arena.map": b"arena " * 40000,
            "data/ember.pak": bytes(range(256)) * 8192,
            "data/old_notes.txt": b"notes of the first season\n",
            "readme.txt": b"Tinderhallow, first season\n",
        }
        self.v2 = dict(self.v1)
        self.v2["data/arena.map"] = b"arena, rebuilt " * 20000
        self.v2["readme.txt"] = b"Tinderhallow, second season\n"
        self.v2["data/frost.pak"] = b"frost " * 30000
        del self.v2["data/old_notes.txt"]
        self.new_launcher = self.launcher_bytes + b"\0" * 512 + b"e2e rebuilt launcher"
        self.v3 = dict(self.v2)
        self.v3[LAUNCHER] = self.new_launcher
        self.server = None
        self.launcher = None

    def publish(self, files, release_id):
        e.publish(self.build_dir, self.h.scratch, files, self.release, release_id)

    def requests_since(self, count):
        return self.server.requests()[count:]

    def file_gets(self, requests):
        return sorted(r["path"].lstrip("/") for r in requests
                      if r["method"] == "GET" and r["path"] not in ("/update_manifest.json", "/patch_notes.json")
                      and not r["path"].startswith("/manifests/"))

    # -- 1 --

    def first_run(self):
        h = self.h
        self.publish(self.v1, "e2e-1")
        self.server = h.start_reference_server(self.release, accounts={e.ACCOUNT: e.PASSWORD}, gated=True)
        # A publisher's test build ships with its two addresses; the
        # self-install keeps settings it finds.
        os.makedirs(self.install)
        h.prepare_launcher_dir(self.install, patch_source=self.server.url, server_url=self.server.url,
                               copy_launcher=False)
        h.prepare_launcher_dir(self.download)
        # The installed copy that the downloaded one starts writes to the
        # same output, so its drawn texts are read through this Program.
        self.launcher = h.start_launcher(self.download, install_dir=self.install, trace_text=True)
        self.assertEqual(self.launcher.wait(60), 0, "exit code of the downloaded copy")
        self.assertTrue(e.read(os.path.join(self.install, LAUNCHER)) == self.launcher_bytes, "installed launcher bytes")
        h.wait_window()
        self.assertEqual(len(h.running(LAUNCHER)), 1, "launchers running after the hand-over")
        self.assertEqual(h.window_count(), 1, "windows after the hand-over")
        self.launcher.wait_status("Update available", "5 files ready to install")
        misses = e.wait_pixels(h, "1-update-available", [
            ("UPDATE face", (1340, 836), e.face(e.RED, 836)), ("empty progress bar", (700, 854), e.TRACK)])
        self.assertFalse(misses, "; ".join(misses))

    def update_after_login(self):
        h = self.h
        before = len(self.server.requests())
        self.assertEqual(self.launcher.status().login_line, "Log in to start the download.", "login panel line")
        e.log_in(h, self.launcher)
        shown = self.launcher.wait_status("Game is ready", "Release e2e-1", timeout=120)
        self.assertEqual(shown.button, "PLAY", "main button")
        misses = e.wait_pixels(h, "1-ready", [
            ("PLAY face", (1340, 836), e.face(e.RED, 836)), ("full progress bar", (1200, 854), e.GOLD)])
        self.assertFalse(misses, "; ".join(misses))

        self.assertEqual(e.installed_files(self.install, self.v1), [], "files differing from release e2e-1")
        self.assertEqual(e.read(os.path.join(self.install, "update_manifest.json")),
                         e.read(os.path.join(self.release, "update_manifest.json")), "installed manifest")
        self.assertEqual(e.read(os.path.join(self.install, "launcher_account.txt")).decode().strip(), e.ACCOUNT,
                         "remembered name")
        requests = self.requests_since(before)
        tokens = [r["answer"]["token"] for r in requests if r["path"].endswith("/session/download-token")]
        self.assertEqual(len(tokens), 1, "download tokens requested")
        gets = [r for r in requests if r["method"] == "GET" and r["path"].lstrip("/") in self.v1]
        self.assertEqual(sorted(r["path"].lstrip("/") for r in gets),
                         sorted(p for p in self.v1 if p != LAUNCHER), "game files fetched (the launcher matched)")
        self.assertTrue(all(lh.request_header(r, "Authorization") == "Bearer " + tokens[0] and r["status"] == 200
                            for r in gets),
                        "every game file fetched with the issued token: %s" % [(r["path"], r["status"]) for r in gets])

    def play(self):
        h = self.h
        before = len(self.server.requests())
        h.click(*e.MAIN_BUTTON)
        h.wait_not_running(LAUNCHER)
        record = os.path.join(self.install, "game_command_line.txt")
        lh.wait_for_file(record)
        tickets = [r for r in self.requests_since(before) if r["path"].endswith("/session/ticket")]
        self.assertEqual(len(tickets), 1, "ticket requests")
        logins = [r for r in self.server.requests() if r["path"].endswith("/session/login")]
        self.assertEqual(lh.request_header(tickets[0], "X-Morvanth-Session"), logins[-1]["answer"]["sessionToken"],
                         "session header of the ticket request")
        ticket = tickets[0]["answer"]["ticket"]
        self.assertEqual(e.read(record).decode(), "argc=2\n--ticket\n%s\n" % ticket, "game command line")
        h.wait_gone()

    # -- 2 --

    def second_release(self):
        h = self.h
        self.publish(self.v2, "e2e-2")
        before = len(self.server.requests())
        self.launcher = h.start_launcher(self.install, trace_text=True)
        h.wait_window()
        self.launcher.wait_status("Update available", "3 files ready to install")
        self.assertEqual(h.edit_text("account"), e.ACCOUNT, "remembered name in the form")
        e.log_in(h, self.launcher)
        self.launcher.wait_status("Game is ready", "Release e2e-2", timeout=120)

        self.assertEqual(e.installed_files(self.install, self.v2), [], "files differing from release e2e-2")
        self.assertFalse(os.path.exists(os.path.join(self.install, "data", "old_notes.txt")), "dropped file removed")
        rollback = os.path.join(self.install, ".patch_rollback")
        for path in ("data/arena.map", "readme.txt", "data/old_notes.txt"):
            copy = os.path.join(rollback, *path.split("/"))
            self.assertTrue(os.path.isfile(copy) and e.read(copy) == self.v1[path], "rollback copy of " + path)
        self.assertFalse(os.path.exists(os.path.join(rollback, "data", "frost.pak")), "no rollback copy of a new file")
        self.assertEqual(self.file_gets(self.requests_since(before)),
                         ["data/arena.map", "data/frost.pak", "readme.txt"], "files fetched for e2e-2")

    # -- 3 --

    def expired_session_at_play(self):
        h = self.h
        record = os.path.join(self.install, "game_command_line.txt")
        os.remove(record)
        self.server.control("expire-sessions")
        before = len(self.server.requests())
        h.click(*e.MAIN_BUTTON)
        self.launcher.wait_login_line(TIMED_OUT, timeout=60)
        h.wait_edits("visible", 10000)
        red_text = e.count_colour(h, "3-login-timed-out", (52, 560, 212, 34), e.BRIGHT_RED)
        self.assertTrue(red_text > 40, "the timed-out line in red: %d pixels" % red_text)
        shown = self.launcher.status()
        self.assertEqual((shown.title, shown.detail, shown.button), ("Game is ready", "Release e2e-2", "PLAY"),
                         "status after the refused ticket")
        refused = [r for r in self.requests_since(before) if r["path"].endswith("/session/ticket")]
        self.assertEqual([r["status"] for r in refused], [401], "ticket answers")
        time.sleep(1)
        self.assertFalse(os.path.exists(record), "the game was not started")
        self.assertEqual(self.launcher.poll(), None, "the launcher stays open")
        h.close_window()
        self.assertEqual(self.launcher.wait(30), 0, "exit code after closing")

    # -- 4 --

    def launcher_replaces_itself(self):
        h = self.h
        self.publish(self.v3, "e2e-3")
        before = len(self.server.requests())
        old = h.start_launcher(self.install, trace_text=True)
        self.assertEqual(old.wait(90), 0, "exit code of the replaced launcher")
        target = os.path.join(self.install, LAUNCHER)
        self.assertTrue(e.read(target) == self.new_launcher, "new launcher in place")
        aside = target + ".old"
        self.assertTrue(not os.path.exists(aside) or e.read(aside) == self.launcher_bytes,
                        "the old launcher moved aside")
        self.assertFalse(os.path.exists(target + ".new"), "no .new left")
        self.assertFalse(os.path.exists(os.path.join(self.install, ".patch_remote", LAUNCHER)), "download removed")
        fetched = [r for r in self.requests_since(before) if r["path"] == "/" + LAUNCHER]
        self.assertEqual([r["status"] for r in fetched], [200], "launcher downloads")
        # The new launcher (its output is the old one's) runs its own check.
        h.wait_window()
        old.wait_status("Game is ready", "Release e2e-3")
        self.assertEqual(len(h.running(LAUNCHER)), 1, "launchers running after the swap")
        h.close_window()
        h.wait_gone()

        again = h.start_launcher(self.install, trace_text=True)
        h.wait_window()
        again.wait_status("Game is ready", "Release e2e-3")
        self.assertTrue(not os.path.exists(aside) and not os.path.exists(target + ".new"), "leftovers removed at start")
        self.assertTrue(e.read(target) == self.new_launcher, "new launcher kept")
        self.assertEqual(e.read(os.path.join(self.install, "update_manifest.json")),
                         e.read(os.path.join(self.release, "update_manifest.json")), "release e2e-3 recorded")
        h.close_window()
        self.assertEqual(again.wait(30), 0, "exit code")

    # -- 5 --

    def logs_keep_no_secret(self):
        folders = glob.glob(os.path.join(self.h.prefix, "drive_c", "users", "*", "AppData", "Local", "Tinderhallow",
                                         "logs"))
        self.assertEqual(len(folders), 1, "log folders in the prefix")
        logs = b"".join(e.read(path) for path in sorted(glob.glob(os.path.join(folders[0], "launcher.log*"))))
        for told in (b"POST http://127.0.0.1:", b"/session/login: HTTP 200", b"/data/ember.pak try 1: HTTP 200",
                     b"/session/ticket: HTTP 401"):
            self.assertIn(told, logs, "the log tells the requests")
        secrets = {e.PASSWORD}
        for request in self.server.requests():
            answer = request.get("answer")
            if isinstance(answer, dict):
                secrets.update(str(answer[key]) for key in ("token", "sessionToken", "ticket") if answer.get(key))
        self.assertGreaterEqual(len(secrets), 4, "password, session tokens, download tokens and tickets issued")
        leaked = sorted(secret for secret in secrets if secret.encode() in logs)
        self.assertEqual(leaked, [], "secrets found in the log")

    def test_a_player_installs_logs_in_updates_plays_and_gets_a_new_launcher(self):
        e.run_steps(self, [
            ("first run installs itself and offers the update", self.first_run, []),
            ("login starts the update, which ends ready", self.update_after_login,
             ["first run installs itself and offers the update"]),
            ("PLAY starts the game with its ticket", self.play, ["login starts the update, which ends ready"]),
            ("a second release fetches only its changes and keeps rollback copies", self.second_release,
             ["PLAY starts the game with its ticket"]),
            ("an expired session at PLAY signs the player out", self.expired_session_at_play,
             ["a second release fetches only its changes and keeps rollback copies"]),
            ("a release with a new launcher replaces the running one", self.launcher_replaces_itself,
             ["a second release fetches only its changes and keeps rollback copies"]),
            ("the logs keep no secret", self.logs_keep_no_secret,
             ["an expired session at PLAY signs the player out",
              "a release with a new launcher replaces the running one"]),
        ])


if __name__ == "__main__":
    lh.run_tests()
