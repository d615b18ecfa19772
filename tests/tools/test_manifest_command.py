#!/usr/bin/env python3
"""TinderhallowTool manifest FILE: output lines, order, UTF-8 paths and the
loader's messages with exit codes.

Usage: test_manifest_command.py BUILD_DIR
"""

import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "support"))
import launcher_harness as lh  # noqa: E402

_, TOOL, PREFIX, _ = lh.build_paths()
A = "a" * 64
B = "0123456789abcdef" * 4


def tool(*args):
    return lh.run_in_prefix(PREFIX, TOOL, *args)


class ManifestCommand(unittest.TestCase):
    def setUp(self):
        temp = tempfile.TemporaryDirectory()
        self.addCleanup(temp.cleanup)
        self.folder = temp.name
        self.manifest = os.path.join(self.folder, "update_manifest.json")

    def write_manifest(self, data):
        with open(self.manifest, "wb") as f:
            f.write(data)

    def test_lists_the_release_then_every_file_in_path_order_with_utf8_paths(self):
        self.write_manifest(('{"schemaVersion": 1, "minimumLauncherVersion": 1, "releaseId": "2024.06-a", '
                             '"releaseSequence": 41, "files": ['
                             '{"path": "data\\\\maps\\\\a.bin", "size": 12, "sha256": "%s"},'
                             '{"path": "K\u00e4se/\u5730\u56fe.pak", "size": 0, "sha256": "%s"},'
                             '{"path": "B.pak", "size": 18446744073709551615, "sha256": "%s"},]}'
                             % (A, B, A)).encode("utf-8"))
        code, out, err = tool("manifest", lh.windows_path(self.manifest))
        self.assertEqual(code, 0, "exit code 0 on success (%r)" % err)
        expected = ("release 2024.06-a\nschema 1\nminimum-launcher 1\nsequence 41\n"
                    "%s 18446744073709551615 B.pak\n"
                    "%s 0 K\u00e4se/\u5730\u56fe.pak\n"
                    "%s 12 data/maps/a.bin\n" % (A, B, A)).encode("utf-8")
        self.assertEqual(out, expected)

    def test_refuses_duplicate_paths_with_exit_code_1(self):
        self.write_manifest(('{"schemaVersion":1,"releaseId":"r","files":[{"path":"bin/a","sha256":"%s"},'
                             '{"path":"bin\\\\a","sha256":"%s"}]}' % (A, A)).encode())
        self.assertEqual(tool("manifest", lh.windows_path(self.manifest)),
                         (1, b"", b"Manifest contains duplicate paths.\n"))

    def test_refuses_an_unsupported_schema_naming_the_file(self):
        self.write_manifest(b'{"schemaVersion":2,"releaseId":"r"}')
        code, _, err = tool("manifest", lh.windows_path(self.manifest))
        self.assertEqual((code, err),
                         (1, ("Manifest is invalid or unsupported: %s\n" % lh.windows_path(self.manifest)).encode()))

    def test_reports_a_missing_file_naming_it(self):
        absent = lh.windows_path(os.path.join(self.folder, "absent.json"))
        code, _, err = tool("manifest", absent)
        self.assertEqual((code, err), (1, ("Could not open manifest: %s\n" % absent).encode()))


if __name__ == "__main__":
    lh.run_tests()
