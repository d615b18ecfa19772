#!/usr/bin/env python3
"""The window driver and the launcher harness, end to end under Wine and Xvfb.

The harness's wrappers of the publishing script and the reference server
first. Then FakeLauncherWindow.exe, a stand-in with the launcher's window
class at half the design size that logs what it receives: every driver
command must reach it at the scaled place, and a screenshot must show its
colours where the client rectangle says. Then the real launcher: it starts
with a local-folder patch source, its window appears with the title form,
and WM_CLOSE ends it with exit code 0.
"""

import hashlib
import json
import os
import re
import sys
import time
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "support"))
import launcher_harness as lh  # noqa: E402

TITLE_FORM = re.compile(r"^Tinderhallow Launcher  -  build "
                        r"(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [ 1-3][0-9] [0-9]{4} "
                        r"[0-2][0-9]:[0-5][0-9]:[0-5][0-9]$")


class Checks:
    def __init__(self):
        self.failures = []

    def equal(self, name, actual, expected):
        if actual != expected:
            self.failures.append("%s: expected %r, got %r" % (name, expected, actual))

    def true(self, name, condition, detail=""):
        if not condition:
            self.failures.append("%s %s" % (name, detail))


def log_lines(path):
    try:
        with open(path, encoding="utf-8") as f:
            return f.read().splitlines()
    except OSError:
        return []


def wait_for_log(path, line, timeout=10):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if line in log_lines(path):
            return True
        time.sleep(0.05)
    return False


def drive_fake_window(h, check):
    log = os.path.join(h.scratch, "fake window.log")
    fake = h.start(h.exe("FakeLauncherWindow.exe"), [lh.windows_path(log), 832, 470], name="fake")
    info = h.wait_window(30000)
    check.true("fake title form", TITLE_FORM.match(info.title), repr(info.title))
    check.equal("fake client size", (info.width, info.height), (832, 470))
    check.equal("one launcher window", h.window_count(), 1)

    # Pixels: the client rectangle places design points on the screen.
    image, rect = h.wait_for_colour("fake-window", 1472, 840, (200, 60, 30))
    check.equal("client size in client-rect", rect[2:], (832, 470))
    for label, point, colour in (("main button", (1472, 840), (200, 60, 30)),
                                 ("HOME tab", (159, 239), (40, 120, 200)),
                                 ("background", (800, 100), (20, 14, 10))):
        x, y = lh.design_to_screen(*point, rect)
        check.true("%s colour" % label, lh.colour_close(image.pixel(x, y), colour), str(image.pixel(x, y)))
        check.equal("%s colour through txt:" % label, lh.pixel_at(image.path, x, y), image.pixel(x, y))

    # One driver run for the input commands, as tests batch them.
    result = h.driver(
        ("type-account", "Brannoc"), ("text", "account"),           # WM_SETTEXT replaces the text
        ("keys-password", "p \u00e4ss\"#"), ("text", "password"),   # WM_CHAR goes through the subclass
        ("type-account", ""), ("text", "account"),
        ("keys-account", "abcdefghijklmnopqrstuvwxy"), ("text", "account"),  # the text limit applies
        ("press-tab", "account"), ("wait-focus", "password", 5000),  # Tab reaches the subclass
        ("click", 1472, 840),                                        # design points, half-size client
        ("press", 160, 240), ("release", 160, 310),
        "edits-visible",
        ("press-enter", "password"), ("wait-edits", "hidden", 10000),  # Enter hides them, like a login
    )
    check.equal("driver output", result.lines,
                ["text Brannoc", "text p \u00e4ss\"#", "text ", "text abcdefghijklmnopqrst", "focus password", "edits visible", "edits hidden"])
    lines = log_lines(log)
    check.true("subclass saw the characters", "char password 228" in lines, str(lines))
    check.equal("clicks and keys in order", [line for line in lines if not line.startswith("char ")],
                ["tab account", "down 1472 840", "up 1472 840", "down 160 240", "up 160 310", "enter password"])

    # Failures are exit code 1 with the reason on stderr.
    bad = h.driver(("click", "x", "1"), check=False)
    check.equal("bad click exit code", bad.code, 1)
    check.true("bad click message", "expected design coordinates X Y" in bad.stderr, bad.stderr)
    unknown = h.driver("no-such-command", check=False)
    check.equal("unknown command exit code", unknown.code, 1)

    # WM_CLOSE ends the window; afterwards commands report that it is missing.
    gone = h.driver("close", ("wait-gone", 20000), "title", check=False)
    check.equal("closed: output", gone.lines, ["gone"])
    check.equal("no window: exit code", gone.code, 1)
    check.equal("no window: message", gone.stderr, "title: no window of class TinderhallowLauncherWindow\n")
    check.equal("fake window exit code", fake.wait(30), 0)


def check_servers(h, check):
    """publish_release and the reference server, as the harness wraps them."""
    game = os.path.join(h.scratch, "game")
    os.makedirs(os.path.join(game, "data"))
    with open(os.path.join(game, "data", "arena.map"), "wb") as f:
        f.write(b"arena " * 100)
    release = os.path.join(h.scratch, "published")
    lh.publish_release(game, release, "harness-1")
    with open(os.path.join(release, "update_manifest.json"), "rb") as f:
        manifest = f.read()
    signature = os.path.join(release, "manifests", hashlib.sha256(manifest).hexdigest() + ".sig")
    check.true("publish wrote the signature", os.path.isfile(signature), signature)

    server = h.start_reference_server(release, {"Brannoc": "hunter2"})
    with urllib.request.urlopen(server.url + "/update_manifest.json", timeout=30) as response:
        check.equal("served manifest", response.read(), manifest)
    login = urllib.request.Request(server.url + "/api/games/morvanth/v1/session/login", method="POST",
                                   data=json.dumps({"username": "brannoc", "password": "hunter2"}).encode(),
                                   headers={"Content-Type": "application/json"})
    with urllib.request.urlopen(login, timeout=30) as response:
        check.equal("login answer", json.loads(response.read())["account"], {"username": "Brannoc"})
    check.equal("control path", server.control("expire-sessions"), {"ok": True})
    check.equal("request log", [(r["method"], r["path"]) for r in server.requests()],
                [("GET", "/update_manifest.json"), ("POST", "/api/games/morvanth/v1/session/login"),
                 ("POST", "/_control/expire-sessions")])
    server.stop()


def make_local_release(folder):
    files = {"data/arena.map": b"arena " * 1000, "TinderhallowGame.exe": b"MZ stand-in"}
    entries = []
    for path, data in sorted(files.items()):
        target = os.path.join(folder, *path.split("/"))
        os.makedirs(os.path.dirname(target), exist_ok=True)
        with open(target, "wb") as f:
            f.write(data)
        entries.append({"path": path, "size": len(data), "sha256": hashlib.sha256(data).hexdigest()})
    with open(os.path.join(folder, "update_manifest.json"), "w", encoding="utf-8") as f:
        json.dump({"schemaVersion": 1, "minimumLauncherVersion": 1, "releaseId": "smoke-1", "files": entries}, f)


def drive_real_launcher(h, check):
    release = os.path.join(h.scratch, "release")
    make_local_release(release)
    folder = h.prepare_launcher_dir(patch_source=release, server_url="http://127.0.0.1:9")
    launcher = h.start_launcher(folder)
    info = h.wait_window(30000)
    check.true("launcher title form", TITLE_FORM.match(info.title), repr(info.title))
    check.true("launcher client size", info.width > 0 and info.height > 0, str(info))
    image, rect = h.window_screenshot("launcher-started")
    check.true("screenshot covers the window", rect[0] + rect[2] <= image.width and rect[1] + rect[3] <= image.height,
               "%s in %dx%d" % (rect, image.width, image.height))
    h.close_window()
    check.equal("launcher exit code", launcher.wait(30), 0)


def main():
    build_dir = lh.find_build_dir()
    check = Checks()
    launcher_built = os.path.isfile(os.path.join(build_dir, "Tinderhallow.exe"))
    window_sources = os.path.isfile(os.path.join(lh.SOURCE_DIR, "startup", "win_main.cpp"))
    with lh.LauncherHarness(build_dir, name="ui_window_driver") as h:
        check_servers(h, check)
        drive_fake_window(h, check)
        if launcher_built:
            drive_real_launcher(h, check)
        elif window_sources:
            check.failures.append("startup/win_main.cpp exists but Tinderhallow.exe was not built in " + build_dir)
        else:
            print("Tinderhallow.exe is not part of this tree yet (no startup/win_main.cpp): "
                  "only the driver was checked, against the stand-in window")
    for failure in check.failures:
        print(failure)
    print("FAIL" if check.failures else "PASS")
    return 1 if check.failures else 0


if __name__ == "__main__":
    sys.exit(main())
