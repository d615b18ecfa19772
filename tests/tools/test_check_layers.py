#!/usr/bin/env python3
"""scripts/check_layers.py finds includes as the compiler does: each include
planted into a copy of the tree fails the check and names its line.

Usage: test_check_layers.py [BUILD_DIR]   (the build directory is not used)
"""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SCRIPT = os.path.join(SOURCE_DIR, "scripts", "check_layers.py")
CODE_FOLDERS = ["base", "update", "delivery", "account", "startup", "ui", "tools", "bench"]
CODE_ENDINGS = (".h", ".cpp", ".rc", ".rc2", ".in")

# (file, include line, what the message must say)
PLANTED = [
    ("ui/background_cache.cpp", '#include "launcher_state.h"', "engine file includes ui/launcher_state.h (state)"),
    ("update/sha256.cpp", '#include "../ui/main_window.h"', "engine file includes ui/main_window.h (window)"),
    ("update/manifest.cpp", "#include <ui/launcher_state.h>", "engine file includes ui/launcher_state.h (state)"),
    ("update/manifest.cpp", '#include "update/no_such_header.h"', 'cannot resolve #include "update/no_such_header.h"'),
    ("base/handles.h", "#include <delivery/no_such_header.h>", "cannot resolve #include <delivery/no_such_header.h>"),
    ("update/file_hash.cpp", '#include "delivery/release_list.h"',
     "engine file in update/ includes delivery/release_list.h from delivery/"),
]


def check(root):
    return subprocess.run([sys.executable, SCRIPT, root], capture_output=True, text=True)


class PlantedIncludes(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.mkdtemp(prefix="th_layers_")
        shutil.copy(os.path.join(SOURCE_DIR, "CMakeLists.txt"), cls.root)
        for folder in CODE_FOLDERS:
            for directory, _, names in os.walk(os.path.join(SOURCE_DIR, folder)):
                for name in names:
                    if name.endswith(CODE_ENDINGS):
                        relative = os.path.relpath(os.path.join(directory, name), SOURCE_DIR)
                        os.makedirs(os.path.join(cls.root, os.path.dirname(relative)), exist_ok=True)
                        shutil.copy(os.path.join(SOURCE_DIR, relative), os.path.join(cls.root, relative))

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.root, ignore_errors=True)

    def test_each_planted_include_fails_the_check_at_its_line(self):
        clean = check(self.root)
        self.assertEqual(clean.returncode, 0, f"the unchanged tree fails: {clean.stderr}")
        for path, line, expected in PLANTED:
            with self.subTest(path=path, line=line):
                target = os.path.join(self.root, path)
                with open(target, encoding="utf-8") as f:
                    original = f.read()
                try:
                    with open(target, "w", encoding="utf-8") as f:
                        f.write(original + line + "\n")
                    result = check(self.root)
                finally:
                    with open(target, "w", encoding="utf-8") as f:
                        f.write(original)
                number = original.count("\n") + 1
                self.assertEqual(result.returncode, 1, result.stderr)
                self.assertIn(f"{path}:{number}: {expected}", result.stderr)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
