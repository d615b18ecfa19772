"""Screenshots of the display and pixels of pictures, through ImageMagick;
points are design units of the launcher's 1664 x 940 canvas."""

import os
import subprocess

from harness.core import HarnessError, wait_until

DESIGN_WIDTH = 1664
DESIGN_HEIGHT = 940


class Image:
    """An RGB picture read whole through ImageMagick (as 8-bit PPM). With
    CROP = (x, y, w, h) and CROP_PATH, that part is also saved as a file by
    the same convert run."""

    def __init__(self, path, crop=None, crop_path=None):
        self.path = path
        command = ["convert", path]
        if crop is not None and crop_path is not None:
            command += ["(", "+clone", "-crop", "%dx%d+%d+%d" % (crop[2], crop[3], crop[0], crop[1]), "+repage",
                        "-write", crop_path, "+delete", ")"]
        command += ["-alpha", "off", "-depth", "8", "ppm:-"]
        data = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              timeout=60)
        if data.returncode != 0:
            raise HarnessError("cannot read %s: %s" % (path, data.stderr.decode(errors="replace").strip()))
        self.width, self.height, self.pixels = _parse_ppm(data.stdout)

    def pixel(self, x, y):
        """(r, g, b) at (x, y)."""
        if not (0 <= x < self.width and 0 <= y < self.height):
            raise HarnessError("(%d, %d) lies outside %s (%dx%d)" % (x, y, self.path, self.width, self.height))
        offset = (y * self.width + x) * 3
        return tuple(self.pixels[offset:offset + 3])

    def design_pixel(self, x, y, client_rect):
        """(r, g, b) at design point (x, y) of the window with CLIENT_RECT."""
        return self.pixel(*design_to_screen(x, y, client_rect))


def _parse_ppm(data):
    fields = []
    position = 0
    while len(fields) < 4:
        while data[position:position + 1].isspace():
            position += 1
        if data[position:position + 1] == b"#":
            position = data.index(b"\n", position) + 1
            continue
        end = position
        while not data[end:end + 1].isspace():
            end += 1
        fields.append(data[position:end])
        position = end
    if fields[0] != b"P6" or fields[3] != b"255":
        raise HarnessError("unexpected picture format from convert")
    width, height = int(fields[1]), int(fields[2])
    pixels = data[position + 1:position + 1 + width * height * 3]
    if len(pixels) != width * height * 3:
        raise HarnessError("truncated picture from convert")
    return width, height, pixels


def pixel_at(path, x, y):
    """(r, g, b) of one pixel, through "convert FILE -crop 1x1+X+Y txt:-"."""
    result = subprocess.run(["convert", path, "-crop", "1x1+%d+%d" % (x, y), "+repage", "-alpha", "off",
                             "-depth", "8", "txt:-"], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, timeout=60)
    text = result.stdout.decode(errors="replace")
    for line in text.splitlines():
        if line.startswith("#"):
            continue
        hash_at = line.find("#")
        if hash_at >= 0 and len(line) >= hash_at + 7:
            digits = line[hash_at + 1:hash_at + 7]
            return tuple(int(digits[i:i + 2], 16) for i in (0, 2, 4))
    raise HarnessError("no pixel (%d, %d) in %s: %s" % (x, y, path, (text + result.stderr.decode()).strip()))


def colour_close(actual, expected, tolerance=8):
    """True when every channel differs by at most TOLERANCE."""
    return all(abs(a - e) <= tolerance for a, e in zip(actual, expected))


def design_to_screen(x, y, client_rect):
    """Screen pixel of design point (x, y) for a client area (x, y, w, h)."""
    left, top, width, height = client_rect
    return (left + int(round(x * width / DESIGN_WIDTH)), top + int(round(y * height / DESIGN_HEIGHT)))


class Screenshots:
    """Screenshots of a harness's display into its artefact folder."""

    def screenshot(self, name):
        """The whole screen as BUILD_DIR/test-artefacts/NAME/<name>.png."""
        path = os.path.join(self.artefact_dir, name + ".png")
        env = dict(os.environ, DISPLAY=self.display)
        done = subprocess.run(["import", "-window", "root", path], env=env, stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=60)
        if done.returncode != 0 or not os.path.isfile(path):
            xwd = subprocess.run(["xwd", "-root", "-silent"], env=env, stdin=subprocess.DEVNULL,
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
            converted = subprocess.run(["convert", "xwd:-", path], input=xwd.stdout, stdout=subprocess.DEVNULL,
                                       stderr=subprocess.PIPE, timeout=60)
            if xwd.returncode != 0 or converted.returncode != 0:
                raise HarnessError("no screenshot of %s: %s %s" % (self.display, done.stderr.decode(errors="replace"),
                                                                  xwd.stderr.decode(errors="replace")))
        return path

    def window_screenshot(self, name):
        """A screenshot and the launcher's client rectangle at that moment; the
        client area alone is also saved as <name>-window.png. Returns
        (Image, (x, y, width, height))."""
        rect = self.client_rect()
        path = self.screenshot(name)
        return Image(path, rect, os.path.join(self.artefact_dir, name + "-window.png")), rect

    def wait_for_colour(self, name, x, y, colour, tolerance=8, timeout=30):
        """Takes screenshots (the last one kept as NAME) until design point
        (x, y) of the window shows COLOUR; returns (Image, rect). A window
        repaints on its own timer, so a status change shows after a while."""
        last = []

        def matches():
            image, rect = self.window_screenshot(name)
            last[:] = [image.design_pixel(x, y, rect)]
            return (image, rect) if colour_close(last[0], colour, tolerance) else None

        try:
            return wait_until(matches, timeout, "colour %s at design point (%s, %s)" % (colour, x, y))
        except HarnessError as error:
            raise HarnessError("%s; last seen %s" % (error, last[0] if last else None)) from None
