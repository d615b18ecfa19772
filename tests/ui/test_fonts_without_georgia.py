#!/usr/bin/env python3
"""Texts are drawn in a Wine prefix that has no "Georgia" at all.

Players under Wine and Proton often lack the family; GDI+ then draws no text
with it. The font cache falls back to another installed family, so the
painter's texts still appear. This runs the font and text checks of the unit
tests in a prefix made without the font replacement that the other tests use,
which sees only the fonts of a fresh Debian machine (DejaVu): there GDI+ has
no generic serif family either.
"""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "support"))
import launcher_harness as lh  # noqa: E402

CHECKS = [
    ("graphics_test.exe", "FontCache.*"),
    ("renderer_test.exe", "Renderer.DrawsItsTexts:Renderer.ShowsTheLoginFormOrTheSignedInLines"),
]


def main():
    build_dir = lh.find_build_dir()
    failures = []
    with lh.LauncherHarness(build_dir, name="ui_fonts_without_georgia", font_replacement=False) as h:
        # The prefix must really lack the family, or this proves nothing.
        missing = h.run("reg", ["query", r"HKCU\Software\Wine\Fonts\Replacements", "/v", "Georgia"])
        if missing.code == 0:
            failures.append("the prefix still maps Georgia: " + missing.stdout.strip())
        for exe, pattern in CHECKS:
            result = h.run(h.exe(exe), ["--gtest_filter=" + pattern, "--gtest_brief=1"], timeout=300)
            if result.code != 0:
                failures.append("%s %s failed:\n%s%s" % (exe, pattern, result.stdout, result.stderr))
            elif "PASSED" not in result.stdout:
                failures.append("%s %s ran no test:\n%s" % (exe, pattern, result.stdout))
    for failure in failures:
        print(failure)
    print("FAIL" if failures else "PASS")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
