#!/usr/bin/env python3
"""Launcher start-up under Wine and Xvfb, against the floor any window
program pays: time to the first painted frame, and private memory after start.

A small program inside the running Wine session (start_in_session.exe) starts
the programs, as a player's shell would. Round by round it starts the floor
(window_floor.exe: a window of the design size filled once with a flat
colour), Tinderhallow.exe on an installed local release (phase Ready), and
Tinderhallow.exe again after its cached copy of the scaled background was
deleted (as on its first start), one after the other. Each time, screen
pixels are read until the program's frame shows there: the floor's colour;
for the launcher both the HOME tab's gradient and the illustration at points
a calibration round found, so that a frame counts only with its background.
The time from the start command to that reading counts. The figure is the
median of the rounds' differences (launcher − floor); the launcher's own
median and the start without the cached copy (its first frame, drawn before
the picture is ready, and the frame with the picture) are kept for
information. Memory is the launcher's private resident memory (RssAnon) two
seconds after its frame. The last line, "RESULT key=value ...", repeats the
figures for bench/run.

Usage: bench/window_start_bench.py [BUILD_DIR] [--rounds N]
"""

import argparse
import ctypes
import glob
import ctypes.util
import os
import statistics
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "support"))
import launcher_harness as lh  # noqa: E402

sys.path.insert(0, os.path.join(ROOT, "tests", "ui"))
import test_launcher_window as window_test  # noqa: E402

FLOOR_COLOUR = (0x2A, 0xB0, 0x5C)  # window_floor.cpp
CANVAS_COLOUR = (0x0C, 0x08, 0x06)  # the launcher's clear colour
POLL_SECONDS = 0.002
# Open parts of HOME where the illustration shows (design units).
ILLUSTRATION_POINTS = [(700, 600), (800, 520), (600, 660), (900, 700), (500, 560), (1000, 480)]


class ScreenPixels:
    """Reads single pixels of the X screen: through libX11 (a fraction of a
    millisecond each) where it loads, else through ImageMagick's import."""

    def __init__(self, display):
        self.display_name = display
        self.x11 = None
        self.connection = None
        name = ctypes.util.find_library("X11")
        if name:
            try:
                x11 = ctypes.CDLL(name)
                x11.XOpenDisplay.restype = ctypes.c_void_p
                x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
                x11.XDefaultRootWindow.restype = ctypes.c_ulong
                x11.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
                x11.XGetImage.restype = ctypes.c_void_p
                x11.XGetImage.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_int, ctypes.c_uint,
                                          ctypes.c_uint, ctypes.c_ulong, ctypes.c_int]
                x11.XGetPixel.restype = ctypes.c_ulong
                x11.XGetPixel.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_int]
                x11.XDestroyImage.argtypes = [ctypes.c_void_p]
                x11.XCloseDisplay.argtypes = [ctypes.c_void_p]
                connection = x11.XOpenDisplay(display.encode())
                if connection:
                    self.x11, self.connection = x11, connection
                    self.root = x11.XDefaultRootWindow(connection)
            except (OSError, AttributeError):
                self.x11 = None
        self.how = "libX11" if self.x11 else "ImageMagick import"

    def pixel(self, x, y):
        if self.x11 is None:
            return self._import_pixel(x, y)
        image = self.x11.XGetImage(self.connection, self.root, x, y, 1, 1, 0xFFFFFFFF, 2)  # ZPixmap
        if not image:
            return (0, 0, 0)
        value = self.x11.XGetPixel(image, 0, 0)
        self.x11.XDestroyImage(image)
        return ((value >> 16) & 0xFF, (value >> 8) & 0xFF, value & 0xFF)  # Xvfb's 24-bit TrueColor

    def _import_pixel(self, x, y):
        env = dict(os.environ, DISPLAY=self.display_name)
        out = subprocess.run(["import", "-window", "root", "-crop", "1x1+%d+%d" % (x, y), "-depth", "8", "txt:-"],
                             env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                             timeout=60).stdout.decode(errors="replace")
        for line in out.splitlines():
            if line.startswith("0,0:") and "(" in line:
                values = line.split("(", 1)[1].split(")", 1)[0].split(",")
                try:
                    return tuple(int(float(v)) for v in values[:3])
                except ValueError:
                    break
        return (0, 0, 0)

    def close(self):
        if self.x11 is not None:
            self.x11.XCloseDisplay(self.connection)
            self.x11 = None


class Starter:
    """start_in_session.exe, kept running for the whole benchmark."""

    def __init__(self, h, env):
        self.process = subprocess.Popen(["wine", h.exe("start_in_session.exe")], env=env, cwd=h.scratch,
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)

    def send(self, command):
        self.process.stdin.write((command + "\n").encode())
        self.process.stdin.flush()

    def answer(self):
        line = self.process.stdout.readline().decode(errors="replace").strip()
        if not line:
            raise lh.HarnessError("start_in_session.exe ended")
        return line

    def stop(self):
        try:
            self.process.stdin.close()
            self.process.wait(timeout=60)
        except (OSError, subprocess.TimeoutExpired):
            self.process.kill()
            self.process.wait()


def private_memory_kib(h, name):
    """RssAnon of the one process in the harness's prefix whose program is NAME."""
    for pid, _ in h.processes(name):
        try:
            with open("/proc/%d/status" % pid) as f:
                for line in f:
                    if line.startswith("RssAnon:"):
                        return int(line.split()[1])
        except OSError:
            continue
    return None


def first_pixels(starter, pixels, program, probes, timeout=60):
    """Seconds from the start command until each (point, colour) of PROBES
    first shows there (None for one that never did)."""
    deadline = time.monotonic() + 10
    while (any(lh.colour_close(pixels.pixel(*point), colour, 12) for point, colour in probes)
           and time.monotonic() < deadline):
        time.sleep(0.05)  # the previous window's pixels are still there
    start = time.monotonic()
    starter.send("start " + lh.windows_path(program))
    seen = [None] * len(probes)
    while None in seen and time.monotonic() - start < timeout:
        for i, (point, colour) in enumerate(probes):
            if seen[i] is None and lh.colour_close(pixels.pixel(*point), colour, 12):
                seen[i] = time.monotonic() - start
        time.sleep(POLL_SECONDS)
    answer = starter.answer()
    if not answer.startswith("started"):
        raise lh.HarnessError("could not start %s: %s" % (program, answer))
    return seen


def delete_background_cache(h):
    """The launcher's cached background copy in this harness's own prefix."""
    pattern = os.path.join(h.prefix, "drive_c", "users", "*", "AppData", "Local", "Tinderhallow",
                           "launcher_background.cache")
    found = glob.glob(pattern)
    for path in found:
        os.remove(path)
    return len(found)


def close_program(starter):
    starter.send("close")
    answer = starter.answer()
    if not answer.startswith("closed"):
        raise lh.HarnessError("could not close: %s" % answer)


def floor_client_rect(pixels, screen_width, screen_height):
    """The floor window's client area: where its colour covers the screen."""
    def filled(x, y):
        return lh.colour_close(pixels.pixel(x, y), FLOOR_COLOUR, 4)
    found = [(x, y) for y in range(0, screen_height, 40) for x in range(0, screen_width, 40) if filled(x, y)]
    if not found:
        return None
    x, y = found[0]
    left, top = x, y
    while left > 0 and filled(left - 1, y):
        left -= 1
    while top > 0 and filled(x, top - 1):
        top -= 1
    right, bottom = x, y
    while right + 1 < screen_width and filled(right + 1, y):
        right += 1
    while bottom + 1 < screen_height and filled(x, bottom + 1):
        bottom += 1
    return (left, top, right - left + 1, bottom - top + 1)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build_dir", nargs="?", default=os.path.join(ROOT, "build"))
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    launcher_times, floor_times, differences, memories = [], [], [], []
    uncached_first, uncached_complete = [], []
    with lh.LauncherHarness(args.build_dir, name="window_start_bench") as h:
        release = os.path.join(h.scratch, "release")
        window_test.make_release(release, h.demo_game_exe)
        folder = h.prepare_launcher_dir(patch_source=release)
        window_test.install_release(release, folder)
        launcher = os.path.join(folder, "Tinderhallow.exe")
        floor = h.exe("window_floor.exe")
        h.run("cmd", ["/c", "exit"])  # Wine server and prefix warm
        pixels = ScreenPixels(h.display)
        starter = Starter(h, h.environment(install_dir=folder))
        try:
            # Calibration: where each window's client area lands on the screen.
            expected = window_test.tab_gradient(100)
            starter.send("start " + lh.windows_path(launcher))
            starter.answer()
            h.wait_window()
            launcher_rect = h.client_rect()
            launcher_probe = lh.design_to_screen(100, 212, launcher_rect)
            if window_test.wait_for_pixels(h, "calibration", [("HOME", (100, 212), expected, 12)]) != []:
                print("the calibration round never showed the HOME tab")
                return 1
            time.sleep(2)  # the frame with the picture
            candidates = []
            for design in ILLUSTRATION_POINTS:
                point = lh.design_to_screen(design[0], design[1], launcher_rect)
                colour = pixels.pixel(*point)
                candidates.append((max(abs(a - b) for a, b in zip(colour, CANVAS_COLOUR)), point, colour))
            distance, picture_probe, picture_colour = max(candidates)
            if distance < 40:
                print("no point of the illustration stands out from the canvas: %s" % candidates)
                return 1
            close_program(starter)
            starter.send("start " + lh.windows_path(floor))
            starter.answer()
            rect = None
            deadline = time.monotonic() + 30
            while rect is None and time.monotonic() < deadline:
                time.sleep(0.5)
                rect = floor_client_rect(pixels, 1920, 1080)
            close_program(starter)
            if rect is None:
                print("the floor's window was not found on the screen")
                return 1
            floor_probe = lh.design_to_screen(100, 212, rect)
            print("pixels read through %s; launcher client %s, floor client %s; illustration probe %s %s" %
                  (pixels.how, launcher_rect, rect, picture_probe, picture_colour))

            launcher_probes = [(launcher_probe, expected), (picture_probe, picture_colour)]
            for _ in range(args.rounds):
                floor_time = first_pixels(starter, pixels, floor, [(floor_probe, FLOOR_COLOUR)])[0]
                close_program(starter)
                launcher_seen = first_pixels(starter, pixels, launcher, launcher_probes)
                time.sleep(2)
                memories.append(private_memory_kib(h, "Tinderhallow.exe"))
                close_program(starter)
                if not delete_background_cache(h):
                    print("the launcher kept no cached background copy")
                    return 1
                uncached_seen = first_pixels(starter, pixels, launcher, launcher_probes)
                time.sleep(1)  # its copy is written to the cache again
                close_program(starter)
                if floor_time is None or None in launcher_seen or None in uncached_seen:
                    print("a round without a painted frame (floor %s, launcher %s, without the cached copy %s)" %
                          (floor_time, launcher_seen, uncached_seen))
                    continue
                launcher_time = max(launcher_seen)
                floor_times.append(floor_time)
                launcher_times.append(launcher_time)
                differences.append(launcher_time - floor_time)
                uncached_first.append(uncached_seen[0] - floor_time)
                uncached_complete.append(max(uncached_seen) - floor_time)
        finally:
            starter.stop()
            pixels.close()
    if not differences:
        print("no painted frame seen")
        return 1
    ms = lambda values: ", ".join("%.0f" % (v * 1000) for v in values)  # noqa: E731
    difference = statistics.median(differences) * 1000
    first = statistics.median(launcher_times) * 1000
    floor_ms = statistics.median(floor_times) * 1000
    print("floor (window_floor.exe) first pixel: median %.0f ms (%s)" % (floor_ms, ms(floor_times)))
    print("launcher first painted frame: median %.0f ms (%s)" % (first, ms(launcher_times)))
    print("launcher - floor, round by round: median %.0f ms (%s)" % (difference, ms(differences)))
    print("ratio to the 150 ms target %.2f" % (difference / 150))
    uncached_first_ms = statistics.median(uncached_first) * 1000
    uncached_complete_ms = statistics.median(uncached_complete) * 1000
    print("without the cached background copy - floor: first frame (canvas and panels) median %.0f ms (%s); "
          "frame with the picture median %.0f ms (%s)" %
          (uncached_first_ms, ms(uncached_first), uncached_complete_ms, ms(uncached_complete)))
    result = ("RESULT rounds=%d first_frame_minus_floor_ms=%.0f first_frame_minus_floor_ratio=%.3f "
              "first_frame_ms=%.0f floor_ms=%.0f uncached_first_minus_floor_ms=%.0f "
              "uncached_picture_minus_floor_ms=%.0f" %
              (len(differences), difference, difference / 150, first, floor_ms, uncached_first_ms,
               uncached_complete_ms))
    known = [m for m in memories if m is not None]
    if known:
        mib = statistics.median(known) / 1024
        print("private resident memory after start: median %.1f MiB" % mib)
        print("ratio to the 60 MB target %.2f" % (mib * 1048576 / 60e6))
        result += " private_mb=%.1f private_ratio=%.3f" % (mib * 1048576 / 1e6, mib * 1048576 / 60e6)
    # One line for bench/run; the figures above stay the ones to read.
    print(result)
    return 0


if __name__ == "__main__":
    sys.exit(main())
