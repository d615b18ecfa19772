#!/usr/bin/env python3
"""The real launcher window under Wine and Xvfb.

Phases: with a local-folder patch source the window shows Ready (PLAY, a full
progress bar), UpdateAvailable (UPDATE, an empty bar) and Error (RETRY);
screenshots are kept in the build's test-artefacts folder and checked at
chosen design points. Input: login against the reference server hides the
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
import hashlib
import http.server
import json
import os
import shutil
import sys
import threading
import time

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


class Checks:
    def __init__(self):
        self.failures = []

    def true(self, name, condition, detail=""):
        if not condition:
            self.failures.append("%s %s" % (name, detail))
        return condition

    def equal(self, name, actual, expected):
        return self.true(name, actual == expected, "expected %r, got %r" % (expected, actual))


def make_release(folder, game_exe, release_id="window-1"):
    with open(game_exe, "rb") as f:
        game = f.read()
    files = {"data/arena.map": b"arena " * 2000, "TinderhallowGame.exe": game}
    entries = []
    for path, data in sorted(files.items()):
        target = os.path.join(folder, *path.split("/"))
        os.makedirs(os.path.dirname(target), exist_ok=True)
        with open(target, "wb") as f:
            f.write(data)
        entries.append({"path": path, "size": len(data), "sha256": hashlib.sha256(data).hexdigest()})
    with open(os.path.join(folder, "update_manifest.json"), "w", encoding="utf-8") as f:
        json.dump({"schemaVersion": 1, "minimumLauncherVersion": 1, "releaseId": release_id, "files": entries}, f)


def install_release(release, folder):
    """The launcher folder as an installed copy of the release."""
    for root, _, names in os.walk(release):
        for name in names:
            source = os.path.join(root, name)
            target = os.path.join(folder, os.path.relpath(source, release))
            os.makedirs(os.path.dirname(target), exist_ok=True)
            shutil.copy2(source, target)


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


def check_phases(h, check, release):
    # Ready: the installed files match the release.
    ready_dir = h.prepare_launcher_dir(patch_source=release)
    install_release(release, ready_dir)
    for leftover in ("Tinderhallow.exe.old", "Tinderhallow.exe.new"):
        with open(os.path.join(ready_dir, leftover), "wb") as f:
            f.write(b"left over")
    elsewhere = os.path.join(h.scratch, "not used")
    launcher = h.start_launcher(ready_dir, install_dir=elsewhere)  # a release folder runs in place
    info = h.wait_window()
    check.true("client size", (info.width, info.height) == (1664, 940), str(info))
    misses = wait_for_pixels(h, "ready", [
        ("PLAY face", (1340, 836), face(RED, 836), 8),
        ("full progress bar", (1200, 854), GOLD, 6),
        ("HOME tab gradient", (100, 212), tab_gradient(100), 8),
    ])
    check.true("Ready screenshot", not misses, "; ".join(misses))
    # The folder holds no picture file: the key art comes from the built-in resource
    # (drawn at once from the copy kept by an earlier start, else right after the first frame).
    deadline = time.monotonic() + 10
    while True:
        image, rect = h.window_screenshot("ready")
        sky = image.pixel(*lh.design_to_screen(1100, 200, rect))
        if (sky[0] > 80 and sky[0] > sky[2] + 40) or time.monotonic() > deadline:
            break
        time.sleep(0.3)
    check.true("built-in background drawn", sky[0] > 80 and sky[0] > sky[2] + 40, str(sky))
    kept = glob.glob(os.path.join(h.prefix, "drive_c", "users", "*", "AppData", "Local", "Tinderhallow",
                                  "launcher_background.cache"))
    check.true("scaled background kept for the next start", len(kept) == 1, str(kept))
    check.true("no fallback picture in the folder", not os.path.exists(os.path.join(ready_dir, "ui")))
    check.true("leftovers removed", not any(os.path.exists(os.path.join(ready_dir, n))
                                            for n in ("Tinderhallow.exe.old", "Tinderhallow.exe.new")))
    check.true("ran in place", not os.path.exists(elsewhere))
    h.close_window()
    check.equal("Ready: exit code", launcher.wait(30), 0)

    # UpdateAvailable: nothing installed yet.
    update_dir = h.prepare_launcher_dir(patch_source=release)
    launcher = h.start_launcher(update_dir)
    h.wait_window()
    misses = wait_for_pixels(h, "update-available", [
        ("UPDATE face", (1340, 836), face(RED, 836), 8),
        ("empty progress bar", (700, 854), TRACK, 6),
    ])
    check.true("UpdateAvailable screenshot", not misses, "; ".join(misses))
    image, rect = h.window_screenshot("update-available")
    kept_sky = image.pixel(*lh.design_to_screen(1100, 200, rect))
    check.true("kept background looks the same", lh.colour_close(kept_sky, sky, 2), "%s, before %s" % (kept_sky, sky))
    h.close_window()
    check.equal("UpdateAvailable: exit code", launcher.wait(30), 0)

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
    check.true("Error screenshot", not misses, "; ".join(misses))
    h.close_window()
    check.equal("Error: exit code", launcher.wait(30), 0)


def check_login_update_and_play(h, check, release):
    server = h.start_reference_server(accounts={"Brannoc": "ember pass"})
    folder = h.prepare_launcher_dir(patch_source=release, server_url=server.url)
    launcher = h.start_launcher(folder)
    h.wait_window()
    account_file = os.path.join(folder, "launcher_account.txt")
    misses = wait_for_pixels(h, "login-update-available", [("UPDATE face", (1340, 836), face(RED, 836), 8)])
    check.true("UpdateAvailable before login", not misses, "; ".join(misses))

    # Empty fields: nothing is sent.
    h.click(158, 760)
    time.sleep(0.5)
    check.equal("empty form sends nothing", [r for r in server.requests() if "login" in r.get("path", "")], [])

    # A press on HOME released on NEWS runs nothing: HOME stays open.
    h.press(159, 239)
    h.release(159, 309)
    misses = wait_for_pixels(h, "press-home-release-news", [("HOME still open", (100, 212), tab_gradient(100), 8)],
                             timeout=5)
    check.true("press and release on different tabs", not misses, "; ".join(misses))

    # Enter in the password field submits; the form hides, the name is remembered.
    h.keys_account("Brannoc")
    h.keys_password("ember pass")
    h.press_enter("password")
    h.wait_edits("hidden", 30000)
    check.equal("remembered name", open(account_file, encoding="utf-8").read().strip(), "Brannoc")

    # Logged in during UpdateAvailable: the update starts by itself and ends Ready.
    misses = wait_for_pixels(h, "updated", [("PLAY face", (1340, 836), face(RED, 836), 8),
                                            ("full progress bar", (1200, 854), GOLD, 6)], timeout=120)
    check.true("update after login", not misses, "; ".join(misses))
    check.true("game installed", os.path.isfile(os.path.join(folder, "TinderhallowGame.exe")))

    # Switch account, clear "Remember my name", log in again: the name is forgotten.
    h.click(154, 820)
    h.wait_edits("visible", 10000)
    h.click(100, 722)
    h.type_password("ember pass")
    h.click(158, 760)
    h.wait_edits("hidden", 30000)
    check.true("forgotten name", not os.path.exists(account_file))

    # PLAY: a ticket is asked for, the game starts and the launcher closes.
    h.click(1472, 840)
    check.equal("launcher closes after PLAY", launcher.wait(60), 0)
    check.true("ticket requested", any(r.get("path", "").endswith("/session/ticket") for r in server.requests()),
               str([r.get("path") for r in server.requests()]))


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


def check_play_double_click(h, check, release):
    service = HeldTicketService()
    try:
        folder = h.prepare_launcher_dir(patch_source=release, server_url=service.url)
        install_release(release, folder)
        launcher = h.start_launcher(folder, trace_text=True)
        h.wait_window()
        check.equal("Ready before the double-click", launcher.wait_status("Game is ready").button, "PLAY")
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
        check.equal("launcher closes after a double-click on PLAY", launcher.wait(60), 0)
        check.equal("ticket requests for a double-click on PLAY", service.tickets - 1, 1)
    finally:
        service.stop()


def check_self_install(h, check, release):
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
    check.equal("hand-over exit code", first.wait(60), 0)
    check.true("installed copy", os.path.isfile(os.path.join(install, "Tinderhallow.exe")))
    check.equal("patch source kept", open(patch_source, encoding="utf-8").read(), lh.windows_path(release) + "\n")
    server_url = os.path.join(install, "server_url.txt")
    check.true("server address written", os.path.isfile(server_url)
               and open(server_url, encoding="utf-8").read().strip().startswith("https://"))
    check.true("no settings in the download folder", not os.path.exists(os.path.join(download, "server_url.txt")))
    # The installed copy was started and opened the window.
    h.wait_window()
    check.equal("one window", h.window_count(), 1)

    # Running the download again closes the installed copy and replaces it.
    second = h.start_launcher(download, install_dir=install)
    check.equal("replacing hand-over exit code", second.wait(90), 0)
    h.wait_window()
    check.equal("one window after the replacement", h.window_count(), 1)
    h.close_window()
    h.wait_gone()


def main():
    build_dir = lh.find_build_dir()
    if not os.path.isfile(os.path.join(build_dir, "Tinderhallow.exe")):
        print("Tinderhallow.exe was not built in " + build_dir)
        print("FAIL")
        return 1
    check = Checks()
    with lh.LauncherHarness(build_dir, name="ui_launcher_window") as h:
        release = os.path.join(h.scratch, "release")
        make_release(release, h.demo_game_exe)
        check_phases(h, check, release)
        check_login_update_and_play(h, check, release)
        check_play_double_click(h, check, release)
        check_self_install(h, check, release)
    for failure in check.failures:
        print(failure)
    print("FAIL" if check.failures else "PASS")
    return 1 if check.failures else 0


if __name__ == "__main__":
    sys.exit(main())
