"""TinderhallowTool manifest FILE: output lines, order, UTF-8 paths and the
loader's messages with exit codes. Usage: test_manifest_command.py BUILD_DIR"""

import os
import subprocess
import sys
import tempfile

BUILD = os.path.abspath(sys.argv[1])
ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PREFIX = os.environ.get("WINEPREFIX", os.path.join(BUILD, "wineprefix"))


def tool(*args):
    result = subprocess.run(
        [os.path.join(ROOT, "cmake", "wine-run.sh"), PREFIX, os.path.join(BUILD, "TinderhallowTool.exe"), *args],
        capture_output=True, timeout=120)
    return result.returncode, result.stdout, result.stderr


def windows(path):
    return "Z:" + path  # Wine maps the Unix root to Z:


def check(condition, what):
    if not condition:
        print("FAILED:", what)
        sys.exit(1)


def main():
    a = "a" * 64
    b = "0123456789abcdef" * 4
    with tempfile.TemporaryDirectory() as folder:
        manifest = os.path.join(folder, "update_manifest.json")
        with open(manifest, "wb") as f:
            f.write(('{"schemaVersion": 1, "minimumLauncherVersion": 1, "releaseId": "2024.06-a", "files": ['
                     '{"path": "data\\\\maps\\\\a.bin", "size": 12, "sha256": "%s"},'
                     '{"path": "K\u00e4se/\u5730\u56fe.pak", "size": 0, "sha256": "%s"},'
                     '{"path": "B.pak", "size": 18446744073709551615, "sha256": "%s"},]}' % (a, b, a)).encode("utf-8"))
        code, out, err = tool("manifest", windows(manifest))
        check(code == 0, "exit code 0 on success, got %d (%r)" % (code, err))
        expected = ("release 2024.06-a\nschema 1\nminimum-launcher 1\n"
                    "%s 18446744073709551615 B.pak\n"
                    "%s 0 K\u00e4se/\u5730\u56fe.pak\n"
                    "%s 12 data/maps/a.bin\n" % (a, b, a)).encode("utf-8")
        check(out == expected, "listing %r" % out)

        with open(manifest, "wb") as f:
            f.write(('{"schemaVersion":1,"releaseId":"r","files":[{"path":"bin/a","sha256":"%s"},'
                     '{"path":"bin\\\\a","sha256":"%s"}]}' % (a, a)).encode())
        code, out, err = tool("manifest", windows(manifest))
        check(code == 1 and out == b"", "exit code 1 for duplicates, got %d" % code)
        check(err == b"Manifest contains duplicate paths.\n", "duplicate message %r" % err)

        with open(manifest, "wb") as f:
            f.write(b'{"schemaVersion":2,"releaseId":"r"}')
        code, out, err = tool("manifest", windows(manifest))
        check(code == 1, "exit code 1 for schema 2")
        check(err == ("Manifest is invalid or unsupported: %s\n" % windows(manifest)).encode(), "invalid message %r" % err)

        absent = os.path.join(folder, "absent.json")
        code, out, err = tool("manifest", windows(absent))
        check(code == 1, "exit code 1 for a missing file")
        check(err == ("Could not open manifest: %s\n" % windows(absent)).encode(), "open message %r" % err)
    print("ok")


if __name__ == "__main__":
    main()
