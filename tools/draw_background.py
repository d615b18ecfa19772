#!/usr/bin/env python3
"""Draws the launcher's background illustration with ImageMagick.

The picture is the whole launcher window at 1672 x 941 pixels: the painter
overdraws its live panels (title plate, navigation, status bar, content and
login panels) on top, so this draws their frames, the key art above them and
the hearth panel that HOME leaves open. Everything is laid out on the
1664 x 940 design canvas and resized at the end. Deterministic: the same
ImageMagick gives the same picture.

Usage: tools/draw_background.py [OUTPUT.png]
       (default: ui/assets/emberwarden_launcher_ledger.png)
"""

import os
import random
import shutil
import subprocess
import sys
import tempfile

W, H = 1664, 940
OUT_W, OUT_H = 1672, 941

# The launcher's palette.
PANEL = "#100C0A"
TAB_PIECE = "#1B120D"
GOLD = "#D3A14A"
BRONZE = "#7F5B2A"
PARCHMENT = "#F4DBA9"
MUTED = "#C7AA77"
RED = "#B93016"
CANVAS = "#0C0806"
NAVIGATION = "#130E0B"

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)


def find_font(*names):
    folders = ["/usr/share/fonts/opentype/urw-base35", "/usr/share/fonts/truetype/dejavu"]
    for name in names:
        for folder in folders:
            path = os.path.join(folder, name)
            if os.path.exists(path):
                return path
    sys.exit("draw_background: no serif font found (install fonts-urw-base35 or fonts-dejavu-core)")


FONT_BOLD = find_font("P052-Bold.otf", "DejaVuSerif-Bold.ttf")
FONT_REGULAR = find_font("P052-Roman.otf", "DejaVuSerif.ttf")
FONT_ITALIC = find_font("P052-Italic.otf", "DejaVuSerif-Italic.ttf")


def convert_binary():
    # A stand-in "convert" may shadow ImageMagick on PATH; prefer the real one.
    for candidate in ("/usr/bin/convert", shutil.which("convert")):
        if candidate and os.path.exists(candidate):
            return candidate
    sys.exit("draw_background: ImageMagick's convert is required")


CONVERT = convert_binary()


def im(*args):
    subprocess.run([CONVERT, *[str(a) for a in args]], check=True)


class Mvg:
    """Collects ImageMagick draw primitives for one layer.

    Each primitive carries its own style, so the list can be split into
    several -draw arguments (an argument is limited to 128 KiB, and reading
    primitives from a file is often barred by ImageMagick's policy).
    """

    def __init__(self, width=W):
        self.width = width  # text anchored at the top centre or right needs it
        self.groups = []
        self.lines = []

    def add(self, text):
        self.lines.append(text)
        return self

    def end(self):
        if self.lines:
            self.groups.append("\n".join(self.lines))
            self.lines = []
        return self

    def args(self):
        self.end()
        out, chunk, size = [], [], 0
        for group in self.groups:
            if chunk and size + len(group) > 60000:
                out += ["-draw", "\n".join(chunk)]
                chunk, size = [], 0
            chunk.append(group)
            size += len(group) + 1
        if chunk:
            out += ["-draw", "\n".join(chunk)]
        return out

    def style(self, fill="none", stroke="none", width=1, opacity=1.0):
        self.add(f"fill '{fill}'")
        self.add(f"stroke '{stroke}'")
        self.add(f"stroke-width {width}")
        # An opacity given to "none", even 0, turns it into opaque black.
        if fill != "none":
            self.add(f"fill-opacity {opacity}")
        if stroke != "none":
            self.add(f"stroke-opacity {opacity}")
        return self

    def rect(self, x0, y0, x1, y1, **style):
        self.style(**style)
        return self.add(f"rectangle {x0:.2f},{y0:.2f} {x1:.2f},{y1:.2f}").end()

    def poly(self, points, **style):
        self.style(**style)
        return self.add("polygon " + " ".join(f"{x:.2f},{y:.2f}" for x, y in points)).end()

    def line(self, x0, y0, x1, y1, **style):
        self.style(**style)
        return self.add(f"line {x0:.2f},{y0:.2f} {x1:.2f},{y1:.2f}").end()

    def circle(self, cx, cy, r, **style):
        self.style(**style)
        return self.add(f"circle {cx:.2f},{cy:.2f} {cx + r:.2f},{cy:.2f}").end()

    def ellipse(self, cx, cy, rx, ry, **style):
        self.style(**style)
        return self.add(f"ellipse {cx:.2f},{cy:.2f} {rx:.2f},{ry:.2f} 0,360").end()

    def path(self, d, **style):
        self.style(**style)
        return self.add(f"path '{d}'").end()

    def text(self, x, y, content, font, size, fill, anchor="left", kerning=0):
        """Text whose top is at y and whose left, centre or right is at x."""
        gravity, dx = {"left": ("NorthWest", x), "centre": ("North", x - self.width / 2),
                       "right": ("NorthEast", self.width - x)}[anchor]
        self.add(f"font '{font}'")
        self.add(f"font-size {size}")
        self.add(f"gravity {gravity}")
        self.add(f"kerning {kerning}")
        self.style(fill=fill)
        safe = content.replace("\\", "\\\\").replace("'", "\\'")
        self.add(f"text {dx:.1f},{y:.1f} '{safe}'")
        self.add("gravity NorthWest")
        return self.end()

    def diamond(self, cx, cy, r, **style):
        return self.poly([(cx, cy - r), (cx + r, cy), (cx, cy + r), (cx - r, cy)], **style)

    def save(self, path):
        # The path is kept for debugging; the primitives go on the command line.
        self.end()
        with open(path, "w") as f:
            f.write("\n".join(self.groups) + "\n")
        return self.args()


def ridge(rng, x0, y0, x1, y1, roughness, depth):
    """A mountain line by midpoint displacement."""
    points = [(x0, y0), (x1, y1)]
    spread = roughness
    for _ in range(depth):
        refined = [points[0]]
        for a, b in zip(points, points[1:]):
            refined.append(((a[0] + b[0]) / 2, (a[1] + b[1]) / 2 + rng.uniform(-spread, spread)))
            refined.append(b)
        points = refined
        spread *= 0.56
    return points


def flame_path(cx, base, width, height, lean=0.0):
    """A tongue of flame standing on (cx, base)."""
    half = width / 2
    tip_x = cx + lean * width
    return (
        f"M {cx - half:.1f},{base:.1f} "
        f"C {cx - half * 1.05:.1f},{base - height * 0.45:.1f} {cx - half * 0.2:.1f},{base - height * 0.62:.1f} "
        f"{tip_x:.1f},{base - height:.1f} "
        f"C {cx + half * 0.25:.1f},{base - height * 0.58:.1f} {cx + half * 1.1:.1f},{base - height * 0.4:.1f} "
        f"{cx + half:.1f},{base:.1f} "
        f"Q {cx:.1f},{base + width * 0.32:.1f} {cx - half:.1f},{base:.1f} Z"
    )


def fire(mvg, cx, base, width, height, seed):
    """Layered tongues: deep red outside, white-gold in the heart."""
    rng = random.Random(seed)
    layers = [
        (1.0, 1.0, "#8E1E0C", 0.95),
        (0.78, 0.86, "#D9481A", 0.95),
        (0.56, 0.7, "#F58A2A", 0.95),
        (0.36, 0.5, "#FFC85E", 0.95),
        (0.18, 0.3, "#FFF1C4", 0.95),
    ]
    for scale_w, scale_h, colour, opacity in layers:
        for k in range(3):
            offset = (k - 1) * width * scale_w * 0.28
            tongue_h = height * scale_h * (0.72 + 0.28 * (1 - abs(k - 1))) * rng.uniform(0.9, 1.05)
            mvg.path(
                flame_path(cx + offset, base, width * scale_w * 0.62, tongue_h, lean=rng.uniform(-0.18, 0.18)),
                fill=colour,
                opacity=opacity,
            )


def embers(mvg, rng, count, x0, y0, x1, y1, bias_x=None, spread=None, rise=None, size=(0.6, 2.2)):
    """Sparks, denser toward bias_x and thinning as they rise."""
    palette = ["#FFD88A", "#FFB24A", "#FF9A3A", "#FF7A2A", "#F05A1E", "#D8401A"]
    for _ in range(count):
        if bias_x is not None:
            x = rng.gauss(bias_x, spread)
            t = rng.random() ** 1.6
            y = y1 - t * (y1 - y0)
            x += (y1 - y) * (rise or 0.0)
        else:
            x = rng.uniform(x0, x1)
            y = rng.uniform(y0, y1)
        if not (x0 <= x <= x1 and y0 <= y <= y1):
            continue
        r = rng.uniform(*size) * rng.choice([1, 1, 1, 1, 1.5])
        mvg.circle(x, y, r, fill=rng.choice(palette), opacity=rng.uniform(0.45, 1.0))


def frame(mvg, x0, y0, x1, y1, corners=True):
    """The launcher's double rule: bronze outside, a fine gold line inside."""
    mvg.rect(x0, y0, x1, y1, stroke=BRONZE, width=2)
    mvg.rect(x0 + 5, y0 + 5, x1 - 5, y1 - 5, stroke=GOLD, width=1, opacity=0.45)
    if corners:
        for cx, cy in ((x0, y0), (x1, y0), (x0, y1), (x1, y1)):
            mvg.diamond(cx, cy, 6, fill=CANVAS, stroke=GOLD, width=1.5)
            mvg.diamond(cx, cy, 2.2, fill=GOLD)


def rule_with_jewel(mvg, x0, x1, y, colour=GOLD, opacity=0.8):
    mid = (x0 + x1) / 2
    mvg.line(x0, y, mid - 14, y, stroke=colour, width=1.2, opacity=opacity)
    mvg.line(mid + 14, y, x1, y, stroke=colour, width=1.2, opacity=opacity)
    mvg.diamond(mid, y, 7, stroke=RED, width=2)
    mvg.diamond(mid, y, 2.5, fill=GOLD)


def soft_glow(width, height, colour):
    """A soft elliptical glow fading to nothing at its box's edges."""
    return ["(", "-size", "512x512", f"radial-gradient:{colour}-#00000000", "-resize", f"{width}x{height}!", ")"]


# --------------------------------------------------------------------------
# Layers


def draw_base(tmp):
    """Dark stone with a warm breath from the key art, grain and vignette."""
    base = f"{tmp}/base.png"
    im("-size", f"{W}x{H}", "gradient:#1A100B-#070504", base)
    im(base, *soft_glow(2100, 1300, "#4A1A0A"), "-geometry", "-85-420", "-compose", "screen", "-composite", base)
    # Grain: fine noise, blended softly.
    im("-size", f"{W}x{H}", "xc:gray50", "-seed", "11", "+noise", "Gaussian", "-colorspace", "Gray",
       "-blur", "0x0.6", f"{tmp}/grain.png")
    im(base, f"{tmp}/grain.png", "-compose", "soft-light", "-define", "compose:args=18", "-composite", base)
    return base


def draw_hero(tmp):
    """The key art: a hall in the hollow of the mountains, its beacon lit."""
    hw, hh = 1326, 384
    rng = random.Random(1672)
    sky = f"{tmp}/hero_sky.png"
    im("-size", f"{hw}x{hh}", "gradient:#0A0507-#3C130A", sky)
    im(sky, "(", "-size", f"{hw}x{int(hh * 0.72)}", "gradient:#00000000-#7A2A10", ")", "-gravity", "south",
       "-compose", "screen", "-composite", sky)
    # Bloom around the beacon and the horizon behind the hall.
    im(sky, *soft_glow(1500, 800, "#C2501A"), "-geometry", f"+{663 - 750}+{250 - 400}", "-compose", "screen", "-composite",
       *soft_glow(560, 560, "#FF9A40"), "-geometry", f"+{663 - 280}+{92 - 280}", "-compose", "screen", "-composite", sky)

    # Stars in the cold upper corners.
    stars = Mvg()
    for _ in range(160):
        x = rng.uniform(0, hw)
        y = rng.uniform(0, hh * 0.45)
        if abs(x - 663) < 260:
            continue
        stars.circle(x, y, rng.uniform(0.35, 1.0), fill="#F4DBA9", opacity=rng.uniform(0.15, 0.55))
    im(sky, *stars.save(f"{tmp}/stars.mvg"), sky)

    # Three ranges of mountains, each darker and nearer.
    far = ridge(rng, -10, 214, hw + 10, 232, 70, 8)
    mid = ridge(rng, -10, 250, hw + 10, 268, 62, 8)
    # The nearest ridge dips into the hollow where the hall stands.
    near_l = ridge(rng, -10, 300, 470, 322, 34, 6)
    near_r = ridge(rng, 860, 322, hw + 10, 296, 34, 6)
    mountains = Mvg()
    mountains.poly(far + [(hw + 10, hh), (-10, hh)], fill="#4A1C10", opacity=0.92)
    mountains.poly(mid + [(hw + 10, hh), (-10, hh)], fill="#26100A")
    im(sky, *mountains.save(f"{tmp}/mountains.mvg"), sky)
    # Haze between the ranges.
    im(sky, "(", "-size", f"{hw}x140", "gradient:#00000000-#5A2210", "-geometry", "+0+190", ")",
       "-compose", "screen", "-composite", sky)

    cx, ground = 663, 318
    hall = Mvg()
    dark = "#0B0605"
    # The rock the hall stands on, and the near ridges.
    hall.poly(near_l + [(470, 322), (520, 306), (806, 306), (860, 322)] + near_r + [(hw + 10, hh), (-10, hh)], fill=dark)
    # Outer walls with crenels.
    for x0, x1 in ((486, 566), (760, 842)):
        hall.rect(x0, 270, x1, ground, fill=dark)
        for x in range(x0, x1, 12):
            hall.rect(x, 262, x + 7, 271, fill=dark)
    # Flanking towers with spired roofs.
    for tx in (563, 763):
        hall.rect(tx - 22, 196, tx + 22, ground, fill=dark)
        hall.poly([(tx - 30, 198), (tx, 132), (tx + 30, 198)], fill=dark)
        hall.line(tx, 132, tx, 116, stroke=dark, width=2)
    # The great hall and its gable.
    hall.rect(604, 226, 722, ground, fill=dark)
    hall.poly([(594, 230), (cx, 176), (732, 230)], fill=dark)
    # The keep behind it, crowned by the beacon's brazier.
    hall.rect(638, 120, 688, 232, fill=dark)
    for x in range(636, 690, 10):
        hall.rect(x, 112, x + 6, 121, fill=dark)
    hall.poly([(626, 112), (700, 112), (690, 104), (636, 104)], fill=dark)
    im(sky, *hall.save(f"{tmp}/hall.mvg"), sky)

    # Light: the gate, the windows, the beacon. Drawn bright, then bloomed.
    light = Mvg()
    light.path(f"M 647,{ground} L 647,286 Q 647,268 {cx},266 Q 679,268 679,286 L 679,{ground} Z", fill="#FFB24A")
    light.path(f"M 653,{ground} L 653,290 Q 653,276 {cx},274 Q 673,276 673,290 L 673,{ground} Z", fill="#FFE2A0")
    for wx, wy in ((563, 214), (763, 214), (563, 246), (763, 246), (656, 150), (670, 150), (620, 254), (706, 254)):
        light.path(f"M {wx - 3},{wy + 12} L {wx - 3},{wy + 3} Q {wx},{wy - 2} {wx + 3},{wy + 3} L {wx + 3},{wy + 12} Z",
                   fill="#FFB048")
    fire(light, cx, 106, 64, 92, seed=3)
    # Light spilling from the gate down the path.
    light.poly([(649, ground), (677, ground), (760, hh), (566, hh)], fill="#FF8A30", opacity=0.18)
    light_png = f"{tmp}/light.png"
    im("-size", f"{hw}x{hh}", "xc:none", *light.save(f"{tmp}/light.mvg"), light_png)
    im(light_png, "-blur", "0x14", "-channel", "A", "-evaluate", "multiply", "1.6", "+channel", f"{tmp}/light_glow.png")
    im(sky, f"{tmp}/light_glow.png", "-compose", "screen", "-composite", light_png, "-compose", "over", "-composite", sky)

    # Embers rising from the beacon and drifting east on the wind.
    sparks = Mvg()
    embers(sparks, rng, 460, 0, 0, hw, 120, bias_x=cx, spread=60, rise=0.9, size=(0.4, 1.5))
    embers(sparks, rng, 220, 0, 0, hw, 300, bias_x=cx + 140, spread=240, rise=0.35, size=(0.35, 1.1))
    embers(sparks, rng, 70, 0, 0, hw, hh, size=(0.35, 1.0))
    sparks_png = f"{tmp}/sparks.png"
    im("-size", f"{hw}x{hh}", "xc:none", *sparks.save(f"{tmp}/sparks.mvg"), sparks_png)
    im(sparks_png, "-blur", "0x3", f"{tmp}/sparks_glow.png")
    im(sky, f"{tmp}/sparks_glow.png", "-compose", "screen", "-composite", sparks_png, "-compose", "screen", "-composite",
       sky)

    # Fade the foot of the scene into the panels below.
    im(sky, "(", "-size", f"{hw}x90", "gradient:#00000000-#0B0605", "-geometry", f"+0+{hh - 90}", ")",
       "-compose", "over", "-composite", sky)

    # Title and legend on the left, in the dark sky away from the beacon.
    words = Mvg()
    words.text(40, 36, "THE EMBERWARDEN LEDGER", FONT_BOLD, 34, "#000000", kerning=3)
    words.text(40, 96, "Keep the hearth. Guard the arena. Write your name in flame.", FONT_ITALIC, 19, "#000000")
    shadow = f"{tmp}/words_shadow.png"
    im("-size", f"{hw}x{hh}", "xc:none", *words.save(f"{tmp}/words_shadow.mvg"), "-blur", "0x4", shadow)
    words = Mvg()
    words.text(38, 33, "THE EMBERWARDEN LEDGER", FONT_BOLD, 34, GOLD, kerning=3)
    words.line(40, 82, 258, 82, stroke=RED, width=2)
    words.diamond(270, 82, 5, stroke=RED, width=2)
    words.line(282, 82, 500, 82, stroke=RED, width=2)
    words.text(38, 93, "Keep the hearth. Guard the arena. Write your name in flame.", FONT_ITALIC, 19, PARCHMENT)
    words.text(38, 128, "SEASON  I   \u00b7   THE HOLLOW FLAME", FONT_BOLD, 14, MUTED, kerning=2)
    im(sky, shadow, "-compose", "multiply", "-composite", "-compose", "over", *words.save(f"{tmp}/words.mvg"), sky)

    edge = Mvg()
    frame(edge, 1, 1, hw - 2, hh - 2)
    im(sky, *edge.save(f"{tmp}/hero_frame.mvg"), sky)
    return sky


def anvil(mvg, cx, base, colour):
    """An anvil in silhouette: face, horn, waist and foot."""
    mvg.poly([
        (cx - 92, base - 120), (cx + 62, base - 120), (cx + 70, base - 112), (cx + 70, base - 96),
        (cx + 40, base - 92), (cx + 26, base - 70), (cx + 26, base - 48), (cx + 56, base - 30),
        (cx + 60, base), (cx - 64, base), (cx - 60, base - 30), (cx - 30, base - 48), (cx - 30, base - 70),
        (cx - 48, base - 92), (cx - 60, base - 96), (cx - 128, base - 108), (cx - 150, base - 118),
    ], fill=colour)


def draw_hearth_panel(tmp):
    """The panel HOME leaves open: the forge, and what the launcher does."""
    pw, ph = 816, 304
    rng = random.Random(941)
    panel = f"{tmp}/hearth.png"
    im("-size", f"{pw}x{ph}", "gradient:#15100C-#0C0806", panel)
    im(panel, *soft_glow(620, 520, "#6A2410"), "-geometry", "-140-100", "-compose", "screen", "-composite", panel)

    art = Mvg()
    # Stone floor and the anvil, lit from the fire behind.
    art.poly([(0, 262), (pw * 0.42, 252), (pw * 0.42, ph), (0, ph)], fill="#0A0604")
    anvil(art, 170, 262, "#050302")
    art.line(98, 144, 222, 144, stroke="#FF9A48", width=2, opacity=0.8)  # glowing face edge
    # The hammer resting against the anvil.
    art.poly([(236, 262), (248, 262), (282, 160), (270, 156)], fill="#050302")
    art.poly([(254, 150), (302, 168), (296, 184), (248, 166)], fill="#050302")
    im(panel, *art.save(f"{tmp}/hearth_art.mvg"), panel)

    glow = Mvg()
    fire(glow, 150, 140, 120, 150, seed=5)
    fire(glow, 196, 144, 70, 96, seed=6)
    glow_png = f"{tmp}/hearth_fire.png"
    im("-size", f"{pw}x{ph}", "xc:none", *glow.save(f"{tmp}/hearth_fire.mvg"), glow_png)
    im(glow_png, "-blur", "0x16", "-channel", "A", "-evaluate", "multiply", "1.8", "+channel", f"{tmp}/hearth_bloom.png")
    sparks = Mvg()
    embers(sparks, rng, 240, 0, 0, 420, 150, bias_x=170, spread=46, rise=0.55, size=(0.5, 1.8))
    sparks_png = f"{tmp}/hearth_sparks.png"
    im("-size", f"{pw}x{ph}", "xc:none", *sparks.save(f"{tmp}/hearth_sparks.mvg"), sparks_png)
    im(sparks_png, "-blur", "0x2.5", f"{tmp}/hearth_sparks_glow.png")
    # The fire sits behind the anvil: bloom and flames first, then the silhouette again on top.
    im(panel, f"{tmp}/hearth_bloom.png", "-compose", "screen", "-composite", glow_png, "-compose", "over", "-composite",
       *art.args(), f"{tmp}/hearth_sparks_glow.png", "-compose", "screen", "-composite",
       sparks_png, "-compose", "screen", "-composite", panel)
    # Fade the art into the text side.
    im(panel, "(", "-size", f"{ph}x160", "gradient:#00000000-#0E0A08", "-rotate", "-90", "-geometry", "+300+0", ")",
       "-compose", "over", "-composite", "(", "-size", f"{pw - 460}x{ph}", "xc:#0E0A08", "-geometry", "+460+0", ")",
       "-compose", "over", "-composite", panel)

    words = Mvg(pw)
    words.rect(400, 40, 404, 72, fill=RED)
    words.text(418, 36, "THE FORGE IS LIT", FONT_BOLD, 30, GOLD, kerning=2)
    words.line(400, 88, pw - 30, 88, stroke=BRONZE, width=1)
    lines = [
        ("One account", "for the game, the forum and the website."),
        ("Every file verified", "against the signed release before it is installed."),
        ("Straight to the campfire:", "PLAY asks for a ticket and opens the game."),
    ]
    y = 104
    for head, rest in lines:
        words.diamond(409, y + 15, 4, fill=RED)
        words.text(424, y, head, FONT_BOLD, 17, PARCHMENT)
        words.text(424, y + 22, rest, FONT_REGULAR, 15, MUTED)
        y += 56
    words.text(pw - 30, ph - 40, "\u2014 from the Emberwarden's ledger", FONT_ITALIC, 14, BRONZE, anchor="right")
    frame(words, 1, 1, pw - 2, ph - 2, corners=False)
    im(panel, *words.save(f"{tmp}/hearth_words.mvg"), panel)
    return panel


def crest(mvg, cx, cy):
    """A shield with a flame: the warden's mark above the account panel."""
    shield = [(cx - 46, cy - 52), (cx + 46, cy - 52), (cx + 46, cy + 4), (cx, cy + 58), (cx - 46, cy + 4)]
    mvg.poly(shield, fill="#1A100B", stroke=GOLD, width=2)
    inner = [(cx - 38, cy - 45), (cx + 38, cy - 45), (cx + 38, cy + 1), (cx, cy + 48), (cx - 38, cy + 1)]
    mvg.poly(inner, fill="#2A120B", stroke=BRONZE, width=1)


def draw_front(tmp):
    """Frames and ornaments around the painter's panels, on the full canvas."""
    front = Mvg()
    # Title plate and navigation column frames.
    frame(front, 27, 29, 291, 183)
    frame(front, 23, 193, 295, 497)
    front.rect(30, 200, 288, 490, fill=NAVIGATION)
    front.rect(34, 36, 284, 176, fill=NAVIGATION)
    rule_with_jewel(front, 44, 274, 188, opacity=0.5)
    # Account panel: framed, with the warden's crest above the signed-in lines.
    frame(front, 33, 521, 283, 831)
    front.rect(40, 528, 276, 824, fill=PANEL, stroke=BRONZE, width=1)
    crest(front, 158, 618)
    front.text(158, 690, "WARDEN OF THE HEARTH", FONT_BOLD, 11.5, GOLD, anchor="centre", kerning=1.5)
    front.line(70, 712, 246, 712, stroke=BRONZE, width=1)
    rule_with_jewel(front, 44, 274, 512, opacity=0.5)
    # The right content panel's frame (HOME's latest-patch card sits inside).
    front.rect(1133, 432, 1628, 736, fill=PANEL, stroke=BRONZE, width=1)
    frame(front, 1126, 425, 1635, 743, corners=True)
    # The band between the panels and the status bar.
    rule_with_jewel(front, 590, 1300, 762, opacity=0.7)
    # Status bar bed and its frame.
    front.rect(302, 781, 1628, 895, fill=PANEL, stroke=BRONZE, width=1)
    front.rect(302, 758, 562, 801, fill=TAB_PIECE, stroke=BRONZE, width=1)
    front.rect(294, 749, 1636, 903, stroke=BRONZE, width=2)
    front.rect(298, 753, 1632, 899, stroke=GOLD, width=1, opacity=0.35)
    for x in (294, 1636):
        for y in (749, 903):
            front.diamond(x, y, 6, fill=CANVAS, stroke=GOLD, width=1.5)
    # Foot line.
    front.line(302, 918, 1628, 918, stroke=BRONZE, width=1, opacity=0.6)
    front.text(965, 922, "TINDERHALLOW   \u00b7   KEEP THE HEARTH", FONT_BOLD, 11, BRONZE, anchor="centre", kerning=3)
    # The small flame beside the launcher's version.
    fire(front, 66, 900, 30, 40, seed=9)
    return front


def draw_crest_fire(tmp, base):
    mvg = Mvg()
    fire(mvg, 158, 640, 44, 66, seed=12)
    png = f"{tmp}/crest_fire.png"
    im("-size", f"{W}x{H}", "xc:none", *mvg.save(f"{tmp}/crest_fire.mvg"), png)
    im(png, "-blur", "0x8", f"{tmp}/crest_glow.png")
    im(base, f"{tmp}/crest_glow.png", "-compose", "screen", "-composite", png, "-compose", "over", "-composite", base)


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "ui", "assets", "emberwarden_launcher_ledger.png")
    keep = os.environ.get("DRAW_BACKGROUND_KEEP")  # a folder to keep the layers in, for tuning
    with tempfile.TemporaryDirectory() as scratch:
        tmp = keep or scratch
        os.makedirs(tmp, exist_ok=True)
        base = draw_base(tmp)
        hero = draw_hero(tmp)
        hearth = draw_hearth_panel(tmp)
        im(base, hero, "-geometry", "+302+36", "-compose", "over", "-composite", hearth, "-geometry", "+302+432",
           "-composite", base)
        # A warm halo over the main button's corner of the status bar.
        im(base, *soft_glow(760, 300, "#6A2A10"), "-geometry", "+1092+620", "-compose", "screen", "-composite", base)
        front = draw_front(tmp)
        im(base, *front.save(f"{tmp}/front.mvg"), base)
        draw_crest_fire(tmp, base)
        # Sparse embers across the margins, then the vignette.
        rng = random.Random(2024)
        drift = Mvg()
        embers(drift, rng, 120, 0, 0, W, H, size=(0.4, 1.3))
        drift_png = f"{tmp}/drift.png"
        im("-size", f"{W}x{H}", "xc:none", *drift.save(f"{tmp}/drift.mvg"), drift_png)
        im(drift_png, "-blur", "0x2", f"{tmp}/drift_glow.png")
        im(base, f"{tmp}/drift_glow.png", "-compose", "screen", "-composite", drift_png, "-compose", "screen",
           "-composite", base)
        im(base, "(", "-size", f"{int(W * 1.5)}x{int(H * 1.6)}", "radial-gradient:#FFFFFF-#3A3A3A",
           "-gravity", "center", "-crop", f"{W}x{H}+0+0", "+repage", "-level", "0%,100%,1.3", ")",
           "-compose", "multiply", "-composite", base)
        im(base, "-filter", "Lanczos", "-resize", f"{OUT_W}x{OUT_H}!", "-alpha", "off", "-strip",
           "-define", "png:compression-level=9", "-define", "png:exclude-chunks=date,time", "PNG24:" + out)
    print(out)


if __name__ == "__main__":
    main()
