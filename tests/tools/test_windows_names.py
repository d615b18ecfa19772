#!/usr/bin/env python3
"""One list of file names (fixtures/windows_names.json) fed to both ends of
a release: `TinderhallowTool manifest` must refuse a manifest listing any
refused name as invalid, and tools/publish_release.py must refuse a game
folder holding it; every look-alike must pass both.

Usage: test_windows_names.py BUILD_DIR   (WINEPREFIX: the build's prefix)
"""

import json
import subprocess
import sys
import tempfile
import unittest
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

SOURCE = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(SOURCE / "tests" / "support"))
import launcher_harness as lh  # noqa: E402

_, TOOL, PREFIX, _ = lh.build_paths()
NAMES = json.loads((Path(__file__).parent / "fixtures" / "windows_names.json").read_text(encoding="utf-8"))
DIGEST = "a" * 64


def load_with_toolkit(folder, name):
    manifest = folder / "update_manifest.json"
    path = json.dumps("data/" + name, ensure_ascii=False)
    manifest.write_bytes(('{"schemaVersion": 1, "releaseId": "r", "files": [{"path": %s, "sha256": "%s"}]}'
                          % (path, DIGEST)).encode("utf-8"))
    done = lh.run_in_prefix(PREFIX, TOOL, "manifest", lh.windows_path(manifest))
    return done.code, done.stderr.decode("utf-8", "replace"), lh.windows_path(manifest)


def publish_with_script(folder, name):
    game = folder / "game"
    (game / "data").mkdir(parents=True)
    (game / "data" / name).write_bytes(b"x")
    release = folder / "release"
    done = subprocess.run([sys.executable, str(SOURCE / "tools" / "publish_release.py"), str(game), str(release),
                           "--release-id", "r", "--sequence", "1"], capture_output=True, text=True, timeout=120)
    return done.returncode, done.stderr, (release / "update_manifest.json").exists()


def try_both(name):
    """(toolkit exit code, its stderr, the path it names, script exit code,
    script stderr, whether a manifest was published) for one name."""
    with tempfile.TemporaryDirectory() as temp:
        return load_with_toolkit(Path(temp), name) + publish_with_script(Path(temp), name)


class WindowsNames(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        lh.keep_wineserver_running(PREFIX)
        # Most of a run is Wine starting a program: run the names side by side.
        with ThreadPoolExecutor(max_workers=4) as pool:
            cls.results = {kind: dict(zip(NAMES[kind], pool.map(try_both, NAMES[kind])))
                           for kind in ("refused", "accepted")}

    def test_every_refused_name_is_refused_by_the_launcher_and_the_publishing_script(self):
        for name, (code, err, shown, script_code, script_err, published) in self.results["refused"].items():
            with self.subTest(name=name):
                self.assertEqual((code, err), (1, "Manifest is invalid or unsupported: %s\n" % shown))
                self.assertEqual(script_code, 1, script_err)
                self.assertTrue(script_err.startswith("publish_release: "), script_err)
                self.assertFalse(published)

    def test_names_that_only_look_like_them_pass_both(self):
        for name, (code, err, _, script_code, script_err, published) in self.results["accepted"].items():
            with self.subTest(name=name):
                self.assertEqual((code, err), (0, ""))
                self.assertEqual(script_code, 0, script_err)
                self.assertTrue(published)


if __name__ == "__main__":
    lh.run_tests()
