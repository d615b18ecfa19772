"""Shared pieces of the end-to-end drivers: game folders, releases, request
logs and a small step runner (each step a subtest; a step that fails skips
the steps that build on its outcome, and every failure is reported)."""

import hashlib
import os
import shutil
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "support"))
import launcher_harness as lh  # noqa: E402

ACCOUNT = "Brannoc"
PASSWORD = "ember pass"
MAIN_BUTTON = (1472, 840)  # design point inside PLAY / UPDATE / RETRY
RED = (0xB9, 0x30, 0x16)
BRIGHT_RED = (0xC9, 0x3A, 0x28)
GOLD = (0xD3, 0xA1, 0x4A)
TRACK = (0x41, 0x2D, 0x1B)


def face(base, row, top=796.0, height=80.0):
    """The main button's raised gradient at a design row (not hovered)."""
    t = (row + 0.5 - top) / height
    return tuple(round(max(0, min(255, v + 38)) + (max(0, min(255, v - 26)) - max(0, min(255, v + 38))) * t)
                 for v in base)


def write_game(folder, files):
    """FOLDER holds exactly FILES (relative path -> bytes)."""
    shutil.rmtree(folder, ignore_errors=True)
    for path, data in files.items():
        target = os.path.join(folder, *path.split("/"))
        os.makedirs(os.path.dirname(target), exist_ok=True)
        with open(target, "wb") as f:
            f.write(data)


def publish(build_dir, scratch, files, release_dir, release_id):
    """Publishes FILES as a signed release into RELEASE_DIR (which may hold
    an earlier release: its files stay, as on a real host)."""
    game = os.path.join(scratch, "game-" + release_id)
    write_game(game, files)
    lh.publish_release(game, release_dir, release_id)


read = lh.read_bytes


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def installed_files(folder, files):
    """Paths of FILES whose bytes in FOLDER differ from the expected ones."""
    wrong = []
    for path, data in files.items():
        target = os.path.join(folder, *path.split("/"))
        if not os.path.isfile(target) or read(target) != data:
            wrong.append(path)
    return wrong


def snapshot(folder):
    """Every file below FOLDER (relative path -> SHA-256), the launcher's work
    folders and files (.patch_remote, .patch_index...) aside."""
    result = {}
    for root, dirs, names in os.walk(folder):
        dirs[:] = [d for d in dirs if not d.startswith(".patch")]
        for name in names:
            if name.startswith(".patch"):
                continue
            path = os.path.join(root, name)
            result[os.path.relpath(path, folder).replace(os.sep, "/")] = sha256(read(path))
    return result


def log_in(h, launcher, account=ACCOUNT, password=PASSWORD):
    """Types the account (unless it is remembered) and password, presses
    Enter and waits for the signed-in panel."""
    if h.edit_text("account") != account:
        h.type_account(account)
    h.keys_password(password)
    h.press_enter("password")
    h.wait_edits("hidden", 30000)


def wait_pixels(h, name, points, timeout=30):
    """Screenshots (kept as NAME) until each (label, design point, colour)
    matches; returns the mismatches of the last one."""
    h.hover(760, 120)  # off every button, so none is drawn hovered
    deadline = time.monotonic() + timeout
    while True:
        image, rect = h.window_screenshot(name)
        misses = []
        for label, (x, y), colour in points:
            actual = image.design_pixel(x, y, rect)
            if not lh.colour_close(actual, colour, 8):
                misses.append("%s at %d,%d: %s, expected %s" % (label, x, y, actual, colour))
        if not misses or time.monotonic() > deadline:
            return misses
        time.sleep(0.5)


def count_colour(h, name, design_rect, colour, tolerance=24):
    """Screen pixels inside DESIGN_RECT (x, y, w, h) of a screenshot (kept as
    NAME) within TOLERANCE of COLOUR: text drawn in that colour shows as a
    count well above zero."""
    h.hover(760, 120)
    image, rect = h.window_screenshot(name)
    x0, y0 = lh.design_to_screen(design_rect[0], design_rect[1], rect)
    x1, y1 = lh.design_to_screen(design_rect[0] + design_rect[2], design_rect[1] + design_rect[3], rect)
    return sum(1 for y in range(y0, y1) for x in range(x0, x1)
               if lh.colour_close(image.pixel(x, y), colour, tolerance))


def run_steps(test, steps):
    """Runs (name, function, needs) in order, each as a subtest of the
    TestCase TEST; a step whose NEEDS (earlier steps) have not all passed is
    skipped. Every failing step is reported and fails TEST."""
    passed = set()
    for name, function, needs in steps:
        with test.subTest(step=name):
            missing = [n for n in needs if n not in passed]
            if missing:
                test.skipTest("needs " + ", ".join(missing))
            started = time.monotonic()
            function()
            passed.add(name)
            print("ok   %s (%.1f s)" % (name, time.monotonic() - started), flush=True)
