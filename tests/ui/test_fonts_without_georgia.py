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
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "support"))
import launcher_harness as lh  # noqa: E402


class FontsWithoutGeorgia(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.h = lh.LauncherHarness(lh.find_build_dir(), name="ui_fonts_without_georgia", font_replacement=False)

    @classmethod
    def tearDownClass(cls):
        cls.h.close()

    def run_unit_tests(self, exe, pattern):
        result = self.h.run(self.h.exe(exe), ["--gtest_filter=" + pattern, "--gtest_brief=1"], timeout=300)
        self.assertEqual(result.code, 0, "%s %s failed:\n%s%s" % (exe, pattern, result.stdout, result.stderr))
        self.assertIn("PASSED", result.stdout, "%s %s ran no test" % (exe, pattern))

    def test_the_prefix_really_lacks_the_family(self):
        # Otherwise the other tests here prove nothing.
        missing = self.h.run("reg", ["query", r"HKCU\Software\Wine\Fonts\Replacements", "/v", "Georgia"])
        self.assertNotEqual(missing.code, 0, "the prefix still maps Georgia: " + missing.stdout.strip())

    def test_the_font_cache_makes_usable_serif_fonts(self):
        self.run_unit_tests("graphics_test.exe", "FontCache.*")

    def test_the_renderer_draws_its_texts_and_the_login_form(self):
        self.run_unit_tests("renderer_test.exe", "Renderer.DrawsItsTexts:Renderer.ShowsTheLoginFormOrTheSignedInLines")


if __name__ == "__main__":
    lh.run_tests()
