#!/usr/bin/env python3
"""Draws the launcher's emblem, the warden's shield with its flame, as a
256 x 256 PNG with a transparent surround: the source of the program icon
(the build turns it into a multi-size .ico). The same shield, palette and
fire as the crest above the account panel of the background illustration
(tools/draw_background.py), drawn large and bold enough to read at 16 px.
Deterministic: the same ImageMagick gives the same picture.

Usage: tools/draw_emblem.py [OUTPUT.png]
       (default: ui/assets/tinderhallow_emblem.png)
"""

import os
import sys
import tempfile

import draw_background as art

SIZE = 256
SCALE = 4  # drawn large, then reduced: smooth edges without a blur


def shield(cx, top, half, height):
    """The crest's shield outline: flat top, straight sides, a pointed foot."""
    shoulder = top + height * 0.6
    return [(cx - half, top), (cx + half, top), (cx + half, shoulder), (cx, top + height), (cx - half, shoulder)]


def draw(out):
    size = SIZE * SCALE
    s = float(SCALE)
    with tempfile.TemporaryDirectory() as tmp:
        mvg = art.Mvg(width=size)
        # Dark field with a heavy gold rim, a bronze inner line: the crest's
        # colours, with strokes thick enough to survive the 16 px size.
        mvg.poly(shield(128 * s, 8 * s, 110 * s, 240 * s), fill=art.CANVAS, stroke=art.GOLD, width=12 * s)
        mvg.poly(shield(128 * s, 26 * s, 88 * s, 200 * s), fill="#2A120B", stroke=art.BRONZE, width=4 * s)
        # The flame fills most of the field so that it stays the shape one sees.
        art.fire(mvg, 128 * s, 188 * s, 124 * s, 160 * s, seed=12)
        drawn = os.path.join(tmp, "emblem.png")
        art.im("-size", f"{size}x{size}", "xc:none", *mvg.save(os.path.join(tmp, "emblem.mvg")), drawn)
        art.im(drawn, "-filter", "Lanczos", "-resize", f"{SIZE}x{SIZE}", "-strip",
               "-define", "png:compression-level=9", "-define", "png:exclude-chunks=date,time", "PNG32:" + out)
    print(out)


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(art.ROOT, "ui", "assets", "tinderhallow_emblem.png")
    draw(out)


if __name__ == "__main__":
    main()
