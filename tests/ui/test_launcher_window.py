#!/usr/bin/env python3
"""The real launcher window under Wine and Xvfb.

Phases: with a local-folder patch source the window shows Ready (PLAY, a full
progress bar), UpdateAvailable (UPDATE, an empty bar) and Error (RETRY);
screenshots are kept in the build's test-artefacts folder and checked at
chosen design points. The first start keeps the scaled background for the
next, which shows the same picture. Input: login against the reference server hides the
form and remembers the name, after which the update starts by itself and ends
Ready; a cleared "Remember my name" forgets it; Enter submits; a press on HOME
released on NEWS runs nothing; PLAY asks for a ticket, starts the game and
closes the launcher; a double-click on PLAY starts one game launch only.
Start-up: leftovers of a self-update are removed, a copy in a release folder
runs in place, and a downloaded copy installs itself, writes the settings
files only when missing, hands over to the installed copy and exits without
a window; a running installed copy is closed through its window and replaced.
"""

import glob
import http.server
import json
import os
import shutil
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "support"))
import launcher_harness as lh  # noqa: E402

RED = 0xB93016
BRIGHT_RED = 0xC93A28
GOLD = (0xD3, 0xA1, 0x4A)
TRACK = (0x41, 0x2D, 0x1B)


def rgb(value):
    return ((value >> 16) & 0xFF, (value >> 8) & 0xFF, value & 0xFF)


def face(base, row, top=796.0, height=80.0):
    """The raised button's gradient at a design row (enabled, not hovered)."""
    r, g, b = rgb(base)
    t = (row + 0.5 - top) / height
    return tuple(round(max(0, min(255, v + 38)) + (max(0, min(255, v - 26)) - max(0, min(255, v + 38))) * t)
                 for v in (r, g, b))


def tab_gradient(x):
    t = (x + 0.5 - 40) / 238
    return tuple(round(a + (b - a) * t) for a, b in zip(rgb(0x962812), rgb(0x34160D)))


def make_release(folder, game_exe, release_id="window-1"):
    """FOLDER as a release of the game GAME_EXE, published with the harness."""
    game = folder + "-game"
    files = {"data/arena.map": b"arena " * 2000}
    for path, data in files.items():
        target = os.path.join(game, *path.split("/"))
        os.makedirs(os.path.dirname(target), exist_ok=True)
        with open(target, "wb") as f:
            f.write(data)
    shutil.copy2(game_exe, os.path.join(game, "TinderhallowGame.exe"))
    lh.publish_release(game, folder, release_id)


def read_text(path):
    with open(path, encoding="utf-8") as f:
        return f.read()


def install_release(release, folder):
    """The launcher folder as an installed copy of the release."""
    for root, _, names in os.walk(release):
        for name in names:
            source = os.path.join(root, name)
            target = os.path.join(folder, os.path.relpath(source, release))
            os.makedirs(os.path.dirname(target), exist_ok=True)
            shutil.copy2(source, target)


def wait_for_pixel(h, name, point, accept, timeout=10):
    """Screenshots until the pixel at the design point is accepted; returns the last one."""
    deadline = time.monotonic() + timeout
    while True:
        image, rect = h.window_screenshot(name)
        pixel = image.pixel(*lh.design_to_screen(*point, rect))
        if accept(pixel) or time.monotonic() > deadline:
            return pixel
        time.sleep(0.3)


def wait_for_pixels(h, name, points, timeout=60):
    """Screenshots until every (label, design point, colour, tolerance) matches;
    the last screenshot is kept under NAME. Returns the mismatches."""
    deadline = time.monotonic() + timeout
    while True:
        image, rect = h.window_screenshot(name)
        misses = []
        for label, (x, y), colour, tolerance in points:
            sx, sy = lh.design_to_screen(x, y, rect)
            actual = image.pixel(sx, sy)
            if not lh.colour_close(actual, colour, tolerance):
                misses.append("%s at %d,%d: %s, expected %s" % (label, x, y, actual, colour))
        if not misses or time.monotonic() > deadline:
            return misses
        time.sleep(0.5)


class HeldTicketService:
    """A game service that logs anyone in, refuses the first ticket request as
    an expired session, and holds every later ticket answer until release() is
    called, so a launch stays in flight while the test clicks."""

    def __init__(self):
        self.released = threading.Event()
        self.tickets = 0
        lock = threading.Lock()
        service = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                self.rfile.read(int(self.headers.get("Content-Length") or 0))
                if self.path.endswith("/session/login"):
                    answer = {"ok": True, "sessionToken": "held-session", "account": {"username": "Brannoc"}}
                elif self.path.endswith("/session/ticket"):
                    with lock:
                        service.tickets += 1
                        first = service.tickets == 1
                    if first:
                        self.answer(401, {"message": "Session invalid or expired."})
                        return
                    service.released.wait(60)
                    answer = {"ok": True, "ticket": "held-ticket"}
                else:
                    answer = {"ok": True}
                self.answer(200, answer)

            def answer(self, status, answer):
                body = json.dumps(answer).encode()
                self.send_response(status)
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.server.daemon_threads = True
        self.url = "http://127.0.0.1:%d" % self.server.server_address[1]
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def release(self):
        self.released.set()

    def stop(self):
        self.released.set()
        self.server.shutdown()
        self.server.server_close()



class LauncherWindow(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.h = lh.LauncherHarness(lh.find_build_dir(), name="ui_launcher_window")
        try:
            cls.h.launcher_exe  # HarnessError when it was not built
            cls.release = os.path.join(cls.h.scratch, "release")
            make_release(cls.release, cls.h.demo_game_exe)
        except BaseException:
            cls.h.close()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.h.close()

    def test_shows_ready_update_available_and_error_with_their_buttons_and_progress(self):
        h, release = self.h, self.release
        # Ready: the installed files match the release.
        ready_dir = h.prepare_launcher_dir(patch_source=release)
        install_release(release, ready_dir)
        for leftover in ("Tinderhallow.exe.old", "Tinderhallow.exe.new"):
            with open(os.path.join(ready_dir, leftover), "wb") as f:
                f.write(b"left over")
        elsewhere = os.path.join(h.scratch, "not used")
        launcher = h.start_launcher(ready_dir, install_dir=elsewhere)  # a release folder runs in place
        info = h.wait_window()
        self.assertEqual((info.width, info.height), (1664, 940), "client size")
        misses = wait_for_pixels(h, "ready", [
            ("PLAY face", (1340, 836), face(RED, 836), 8),
            ("full progress bar", (1200, 854), GOLD, 6),
            ("HOME tab gradient", (100, 212), tab_gradient(100), 8),
        ])
        self.assertFalse(misses, "Ready screenshot: " + "; ".join(misses))
        # The folder holds no picture file: the key art comes from the built-in resource
        # (drawn at once from the copy kept by an earlier start, else right after the first frame).
        sky = wait_for_pixel(h, "ready", (1100, 200), lambda sky: sky[0] > 80 and sky[0] > sky[2] + 40)
        self.assertTrue(sky[0] > 80 and sky[0] > sky[2] + 40, "built-in background drawn %s" % (sky,))
        # Written right after the window has the picture.
        kept_pattern = os.path.join(h.prefix, "drive_c", "users", "*", "AppData", "Local", "Tinderhallow",
                                    "launcher_background.cache")
        deadline = time.monotonic() + 10
        while not glob.glob(kept_pattern) and time.monotonic() < deadline:
            time.sleep(0.3)
        kept = glob.glob(kept_pattern)
        self.assertEqual(len(kept), 1, "scaled background kept for the next start %s" % kept)
        self.assertFalse(os.path.exists(os.path.join(ready_dir, "ui")), "no fallback picture in the folder")
        self.assertFalse(any(os.path.exists(os.path.join(ready_dir, n))
                             for n in ("Tinderhallow.exe.old", "Tinderhallow.exe.new")), "leftovers removed")
        self.assertFalse(os.path.exists(elsewhere), "ran in place")
        h.close_window()
        self.assertEqual(launcher.wait(30), 0, "Ready: exit code")

        # UpdateAvailable: nothing installed yet.
        update_dir = h.prepare_launcher_dir(patch_source=release)
        launcher = h.start_launcher(update_dir)
        h.wait_window()
        misses = wait_for_pixels(h, "update-available", [
            ("UPDATE face", (1340, 836), face(RED, 836), 8),
            ("empty progress bar", (700, 854), TRACK, 6),
        ])
        self.assertFalse(misses, "UpdateAvailable screenshot: " + "; ".join(misses))
        kept_sky = wait_for_pixel(h, "update-available", (1100, 200), lambda pixel: lh.colour_close(pixel, sky, 2))
        self.assertTrue(lh.colour_close(kept_sky, sky, 2), "kept background looks the same: %s, before %s"
                        % (kept_sky, sky))
        h.close_window()
        self.assertEqual(launcher.wait(30), 0, "UpdateAvailable: exit code")

        # Error: the patch source folder does not exist.
        error_dir = h.prepare_launcher_dir(patch_source=os.path.join(h.scratch, "no release here"))
        install_release(release, error_dir)
        os.remove(os.path.join(error_dir, "update_manifest.json"))
        launcher = h.start_launcher(error_dir)
        h.wait_window()
        misses = wait_for_pixels(h, "error", [
            ("RETRY face", (1340, 836), face(BRIGHT_RED, 836), 8),
            ("RETRY face, lower", (1600, 860), face(BRIGHT_RED, 860), 8),
        ])
        self.assertFalse(misses, "Error screenshot: " + "; ".join(misses))
        h.close_window()
        self.assertEqual(launcher.wait(30), 0, "Error: exit code")

    def test_login_updates_by_itself_remembers_or_forgets_the_name_and_play_starts_the_game(self):
        h, release = self.h, self.release
        server = h.start_reference_server(accounts={"Brannoc": "ember pass"})
        folder = h.prepare_launcher_dir(patch_source=release, server_url=server.url)
        launcher = h.start_launcher(folder)
        h.wait_window()
        account_file = os.path.join(folder, "launcher_account.txt")
        misses = wait_for_pixels(h, "login-update-available", [("UPDATE face", (1340, 836), face(RED, 836), 8)])
        self.assertFalse(misses, "UpdateAvailable before login: " + "; ".join(misses))

        # Empty fields: nothing is sent.
        h.click(158, 760)
        time.sleep(0.5)
        self.assertEqual([r for r in server.requests() if "login" in r.get("path", "")], [],
                         "empty form sends nothing")

        # A press on HOME released on NEWS runs nothing: HOME stays open.
        h.press(159, 239)
        h.release(159, 309)
        misses = wait_for_pixels(h, "press-home-release-news", [("HOME still open", (100, 212), tab_gradient(100), 8)],
                                 timeout=5)
        self.assertFalse(misses, "press and release on different tabs: " + "; ".join(misses))

        # Enter in the password field submits; the form hides, the name is remembered.
        h.keys_account("Brannoc")
        h.keys_password("ember pass")
        h.press_enter("password")
        h.wait_edits("hidden", 30000)
        self.assertEqual(read_text(account_file).strip(), "Brannoc", "remembered name")

        # Logged in during UpdateAvailable: the update starts by itself and ends Ready.
        misses = wait_for_pixels(h, "updated", [("PLAY face", (1340, 836), face(RED, 836), 8),
                                                ("full progress bar", (1200, 854), GOLD, 6)], timeout=120)
        self.assertFalse(misses, "update after login: " + "; ".join(misses))
        self.assertTrue(os.path.isfile(os.path.join(folder, "TinderhallowGame.exe")), "game installed")

        # Switch account, clear "Remember my name", log in again: the name is forgotten.
        h.click(154, 820)
        h.wait_edits("visible", 10000)
        h.click(100, 722)
        h.type_password("ember pass")
        h.click(158, 760)
        h.wait_edits("hidden", 30000)
        self.assertFalse(os.path.exists(account_file), "forgotten name")

        # PLAY: a ticket is asked for, the game starts and the launcher closes.
        h.click(1472, 840)
        self.assertEqual(launcher.wait(60), 0, "launcher closes after PLAY")
        self.assertTrue(any(r.get("path", "").endswith("/session/ticket") for r in server.requests()),
                        "ticket requested %s" % [r.get("path") for r in server.requests()])

    def test_a_double_click_on_play_starts_one_game_launch_only(self):
        h, release = self.h, self.release
        service = HeldTicketService()
        try:
            folder = h.prepare_launcher_dir(patch_source=release, server_url=service.url)
            install_release(release, folder)
            launcher = h.start_launcher(folder, trace_text=True)
            h.wait_window()
            self.assertEqual(launcher.wait_status("Game is ready").button, "PLAY", "Ready before the double-click")
            h.keys_account("Brannoc")
            h.keys_password("ember pass")
            h.press_enter("password")
            h.wait_edits("hidden", 30000)
            # A launch that ends without the game (an expired session) leaves PLAY usable.
            h.click(1472, 840)
            launcher.wait_login_line("Your login timed out. Please log in again.")
            h.wait_edits("visible", 10000)
            h.keys_password("ember pass")
            h.press_enter("password")
            h.wait_edits("hidden", 30000)
            # Both clicks are handled while the first launch still waits for its ticket.
            h.driver(("click", 1472, 840), ("click", 1472, 840))
            lh.wait_until(lambda: service.tickets >= 2, 30, "a ticket request after the expired one")
            deadline = time.monotonic() + 3
            while service.tickets < 3 and time.monotonic() < deadline:
                time.sleep(0.1)
            service.release()
            self.assertEqual(launcher.wait(60), 0, "launcher closes after a double-click on PLAY")
            self.assertEqual(service.tickets - 1, 1, "ticket requests for a double-click on PLAY")
        finally:
            service.stop()

    def test_repair_reads_a_file_that_changed_behind_the_record_back(self):
        # The start trusts the record (.patch_index) for files unchanged since
        # they were read; a file changed in place with its size and time kept
        # looks unchanged, and only REPAIR reads it again.
        h, release = self.h, self.release
        folder = h.prepare_launcher_dir(patch_source=release)
        install_release(release, folder)
        an_hour_ago = time.time() - 3600
        for root, _, names in os.walk(folder):
            for name in names:
                os.utime(os.path.join(root, name), (an_hour_ago, an_hour_ago))
        launcher = h.start_launcher(folder, trace_text=True)
        h.wait_window()
        launcher.wait_status("Game is ready", "Release window-1")
        self.assertTrue(os.path.isfile(os.path.join(folder, ".patch_index")), "record written")

        arena = os.path.join(folder, "data", "arena.map")
        before = os.stat(arena)
        with open(arena, "r+b") as f:
            f.write(b"ARENA ")
        os.utime(arena, ns=(before.st_atime_ns, before.st_mtime_ns))
        h.click(491, 779)  # REPAIR
        shown = launcher.wait_status("Update available", "1 files ready to install")
        self.assertEqual(shown.button, "UPDATE", "main button after REPAIR")
        h.close_window()
        self.assertEqual(launcher.wait(30), 0, "exit code")

    def test_a_downloaded_copy_installs_itself_hands_over_and_replaces_a_running_installed_copy(self):
        h, release = self.h, self.release
        download = os.path.join(h.scratch, "download")
        install = os.path.join(h.scratch, "install")
        os.makedirs(install)
        # A patch source already there is kept (and keeps the installed copy off
        # the network); the missing game service address is written.
        patch_source = os.path.join(install, "patch_source.txt")
        with open(patch_source, "w", encoding="utf-8") as f:
            f.write(lh.windows_path(release) + "\n")
        h.prepare_launcher_dir(download)
        first = h.start_launcher(download, install_dir=install)
        self.assertEqual(first.wait(60), 0, "hand-over exit code")
        self.assertTrue(os.path.isfile(os.path.join(install, "Tinderhallow.exe")), "installed copy")
        self.assertEqual(read_text(patch_source), lh.windows_path(release) + "\n",
                         "patch source kept")
        server_url = os.path.join(install, "server_url.txt")
        self.assertTrue(os.path.isfile(server_url)
                        and read_text(server_url).strip().startswith("https://"),
                        "server address written")
        self.assertFalse(os.path.exists(os.path.join(download, "server_url.txt")),
                         "no settings in the download folder")
        # The installed copy was started and opened the window.
        h.wait_window()
        self.assertEqual(h.window_count(), 1, "one window")

        # Running the download again closes the installed copy and replaces it.
        second = h.start_launcher(download, install_dir=install)
        self.assertEqual(second.wait(90), 0, "replacing hand-over exit code")
        h.wait_window()
        self.assertEqual(h.window_count(), 1, "one window after the replacement")
        h.close_window()
        h.wait_gone()


if __name__ == "__main__":
    lh.run_tests()
