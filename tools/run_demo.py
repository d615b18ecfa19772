#!/usr/bin/env python3
"""The launcher's main job on this machine: publishes a signed demo release,
serves it with the reference server on loopback, prepares a launcher folder
and runs Tinderhallow.exe under Wine.

With a display (DISPLAY set) the window opens there for you to use. Without
one it runs under Xvfb and plays the player itself: it logs in, lets the
update run, presses PLAY, and saves a screenshot of each phase.

usage: run_demo.py BUILD_DIR
"""

import json
import os
import shutil
import sys
import time

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(SOURCE_DIR, "tests", "support"))

import launcher_harness as harness  # noqa: E402

ACCOUNT = "ember"
PASSWORD = "cinders-and-ash"

PATCH_NOTES = {
    "entries": [
        {"title": "Emberwarden 1.2", "date": "2026-12-07",
         "summary": "The Ash Gate opens: a new arena, faster matchmaking and the winter capes.",
         "lines": [{"tag": "New", "text": "The Ash Gate arena"},
                   {"tag": "New", "text": "Winter capes on the website profile"},
                   {"tag": "Fix", "text": "Campfire lobby no longer drops the second fighter"},
                   {"tag": "Balance", "text": "Shield bash stagger shortened"}]},
        {"title": "Emberwarden 1.1", "date": "2026-11-20",
         "summary": "Launcher downloads are now verified and resumed safely.",
         "lines": [{"tag": "Launcher", "text": "Signed releases and rollback copies"}]},
    ]
}

# Design coordinates of the window's controls.
LOGIN_BUTTON = (52 + 106, 740 + 20)
MAIN_BUTTON = (1328 + 144, 800 + 40)


def make_game(build_dir, game_dir):
    os.makedirs(os.path.join(game_dir, "data", "arenas"), exist_ok=True)
    shutil.copy2(os.path.join(build_dir, "TinderhallowDemoGame.exe"), os.path.join(game_dir, "TinderhallowGame.exe"))
    for name, size in (("data/arenas/ash_gate.pak", 3 << 20), ("data/arenas/campfire.pak", 1 << 20),
                       ("data/music/embers.ogg", 2 << 20)):
        path = os.path.join(game_dir, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(os.urandom(size))


def installed(launcher_dir, release_dir):
    with open(os.path.join(release_dir, "update_manifest.json"), "rb") as f:
        published = f.read()
    try:
        with open(os.path.join(launcher_dir, "update_manifest.json"), "rb") as f:
            return f.read() == published
    except OSError:
        return False


def main():
    build_dir = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(SOURCE_DIR, "build"))
    demo_dir = os.path.join(build_dir, "demo")
    shutil.rmtree(demo_dir, ignore_errors=True)
    game_dir = os.path.join(demo_dir, "game")
    release_dir = os.path.join(demo_dir, "release")
    launcher_dir = os.path.join(demo_dir, "launcher")
    shots = os.path.join(demo_dir, "screenshots")
    make_game(build_dir, game_dir)
    notes = os.path.join(demo_dir, "patch_notes.json")
    with open(notes, "w", encoding="utf-8") as f:
        json.dump(PATCH_NOTES, f, indent=2)
    harness.publish_release(game_dir, release_dir, "emberwarden-1.2", patch_notes=notes)

    interactive = bool(os.environ.get("DISPLAY"))
    with harness.LauncherHarness(build_dir, name="demo", use_display=interactive, artefact_dir=shots) as h:
        server = h.start_reference_server(release_dir, {ACCOUNT: PASSWORD}, time_limit=3600)
        h.prepare_launcher_dir(launcher_dir, patch_source=server.url, server_url=server.url)
        print("Release:        %s (signed, served at %s)" % (release_dir, server.url))
        print("Launcher:       %s" % os.path.join(launcher_dir, "Tinderhallow.exe"))
        print("Demo account:   %s" % ACCOUNT)
        print("Demo password:  %s" % PASSWORD, flush=True)
        launcher = h.start_launcher(launcher_dir)
        h.wait_window(60000)
        if interactive:
            print("The launcher is open on %s. Log in, let it update, then press PLAY." % h.display, flush=True)
            while launcher.poll() is None:
                time.sleep(0.5)
            print("The launcher has closed.")
            return 0

        print("No display: running under Xvfb and saving screenshots into %s" % shots, flush=True)
        time.sleep(3)
        h.window_screenshot("1-update-available")
        h.type_account(ACCOUNT)
        h.type_password(PASSWORD)
        h.click(*LOGIN_BUTTON)
        h.wait_edits("hidden", 30000)
        h.window_screenshot("2-signed-in-updating")
        harness.wait_until(lambda: installed(launcher_dir, release_dir), 180, "the update to finish")
        time.sleep(1)
        h.window_screenshot("3-game-ready")
        h.click(*MAIN_BUTTON)
        launcher.wait(60)
        time.sleep(2)
        h.screenshot("4-game-started")
        print("The launcher installed release emberwarden-1.2, started the game with a ticket and closed.")
        print("Screenshots: %s" % shots)
        return 0


if __name__ == "__main__":
    sys.exit(main())
