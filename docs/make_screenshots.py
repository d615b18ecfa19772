#!/usr/bin/env python3
"""Takes the screenshots in docs/images/ from the real launcher under Wine and
Xvfb: a signed release on a loopback host that is checked like a public one
(127.0.0.2), the reference game service, then each phase a player meets.

Usage: python3 docs/make_screenshots.py [BUILD_DIR]   (after ./scripts/build.sh)

Every picture is the window's client area at half size. The request log of
the run is kept as build/test-artefacts/docs_screenshots/requests.jsonl.
"""

import glob
import json
import os
import shutil
import subprocess
import sys
import time

DOCS = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(DOCS), "tests", "support"))
import launcher_harness as lh  # noqa: E402

IMAGES = os.path.join(DOCS, "images")
MAIN_BUTTON = (1340, 836)
FLAT_BUTTON = (0x4B, 0x2F, 0x1E)  # CHECKING / UPDATING
NOTES = {
    "entries": [
        {"title": "Harbour opens", "date": "2026-12-01", "summary": "The harbour map is playable in the arena rotation.",
         "lines": [{"tag": "New", "text": "Harbour map"}, {"tag": "Fix", "text": "Theme music loops cleanly"}]},
        {"title": "Winter test build", "date": "2026-11-20", "summary": "Faster downloads and a new launcher.",
         "lines": [{"tag": "Launcher", "text": "Downloads run eight at a time"}]},
    ]
}


def face(base, row, top=796.0, height=80.0):
    """The raised main button's colour at a design row (enabled, not hovered)."""
    r, g, b = (base >> 16) & 0xFF, (base >> 8) & 0xFF, base & 0xFF
    t = (row + 0.5 - top) / height
    return tuple(round(max(0, min(255, v + 38)) + (max(0, min(255, v - 26)) - max(0, min(255, v + 38))) * t)
                 for v in (r, g, b))


RED_FACE = face(0xB93016, MAIN_BUTTON[1])
BRIGHT_RED_FACE = face(0xC93A28, MAIN_BUTTON[1])


def keep(h, name, colour=None, timeout=60):
    """Waits for COLOUR on the main button (when given), then saves the
    window at half size as docs/images/NAME.jpg."""
    if colour is not None:
        h.wait_for_colour(name, *MAIN_BUTTON, colour, tolerance=10, timeout=timeout)
    else:
        h.window_screenshot(name)
    source = os.path.join(h.artefact_dir, name + "-window.png")
    target = os.path.join(IMAGES, name + ".jpg")
    subprocess.run(["convert", source, "-resize", "50%", "-strip", "-quality", "85", target], check=True)
    print("wrote", os.path.relpath(target, os.path.dirname(DOCS)))


def wait_for_picture(h):
    """A new prefix's first launcher draws its first frames before the
    background picture is ready; its kept copy is written right after."""
    pattern = os.path.join(h.prefix, "drive_c", "users", "*", "AppData", "Local", "Tinderhallow",
                           "launcher_background.cache")
    lh.wait_until(lambda: glob.glob(pattern), 30, "the background picture")


def make_game(build, folder):
    os.makedirs(os.path.join(folder, "data", "maps"))
    shutil.copy2(os.path.join(build, "TinderhallowDemoGame.exe"),
                 os.path.join(folder, "TinderhallowGame.exe"))
    # Large enough that the update stays on screen for a few screenshots.
    for index in range(3):
        with open(os.path.join(folder, "data", "maps", "arena-%d.pak" % index), "wb") as f:
            f.write(os.urandom(48 * 1024 * 1024))


def main():
    build = lh.find_build_dir(sys.argv)
    os.makedirs(IMAGES, exist_ok=True)
    with lh.LauncherHarness(build, name="docs_screenshots") as h:
        game = os.path.join(h.scratch, "game")
        make_game(build, game)
        notes = os.path.join(h.scratch, "patch_notes.json")
        with open(notes, "w", encoding="utf-8") as f:
            json.dump(NOTES, f)
        release = os.path.join(h.scratch, "release")
        lh.publish_release(game, release, "2026.12.1", patch_notes=notes)
        tampered = os.path.join(h.scratch, "tampered")
        shutil.copytree(release, tampered)
        manifest = os.path.join(tampered, "update_manifest.json")
        with open(manifest, "rb") as f:
            text = f.read()
        with open(manifest, "wb") as f:
            f.write(text.replace(b'"releaseId": "2026.12.1"', b'"releaseId": "2026.12.9"'))
        old_signature = os.listdir(os.path.join(tampered, "manifests"))[0]
        digest = subprocess.run(["sha256sum", manifest], capture_output=True, text=True, check=True).stdout.split()[0]
        shutil.copy(os.path.join(tampered, "manifests", old_signature),
                    os.path.join(tampered, "manifests", digest + ".sig"))

        server = h.start_reference_server(release, accounts={"Ada": "ember pass"}, host="127.0.0.2")
        folder = h.prepare_launcher_dir(patch_source=server.url, server_url=server.url)
        launcher = h.start_launcher(folder)
        h.wait_window()
        wait_for_picture(h)
        keep(h, "update-available", RED_FACE)

        h.keys_account("Ada")
        h.keys_password("wrong")
        h.press_enter("password")
        time.sleep(2)
        keep(h, "login-refused")

        h.click(159, 309)
        time.sleep(1)
        keep(h, "news")
        h.click(159, 378)
        time.sleep(1)
        keep(h, "patch-notes")
        h.click(159, 239)

        h.keys_password("ember pass")
        h.press_enter("password")
        keep(h, "updating", FLAT_BUTTON, timeout=30)
        keep(h, "ready", RED_FACE, timeout=120)
        h.close_window()
        launcher.wait(30)
        with open(os.path.join(h.artefact_dir, "requests.jsonl"), "w", encoding="utf-8") as f:
            for request in server.requests():
                f.write(json.dumps(request) + "\n")

        bad = h.start_reference_server(tampered, host="127.0.0.2")
        folder = h.prepare_launcher_dir(patch_source=bad.url, server_url=server.url)
        launcher = h.start_launcher(folder)
        h.wait_window()
        keep(h, "release-not-verified", BRIGHT_RED_FACE)
        h.close_window()
        launcher.wait(30)
    return 0


if __name__ == "__main__":
    sys.exit(main())
