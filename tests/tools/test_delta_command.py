#!/usr/bin/env python3
"""Chunk indexes published by tools/publish_release.py (through the toolkit's
`chunk` command, and through its own chunker without one) and
`TinderhallowTool delta INSTALL_DIR BASE_URL PATH` against them on nginx.

Usage: test_delta_command.py BUILD_DIR
"""
import hashlib
import os
import random
import re
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "support"))
import launcher_harness as lh  # noqa: E402

_, TOOL, PREFIX, _ = lh.build_paths()
SCRIPT = os.path.join(lh.SOURCE_DIR, "tools", "publish_release.py")


def publish(game, release, *extra):
    env = dict(os.environ, WINEPREFIX=PREFIX)
    with tempfile.TemporaryFile() as out:
        code = subprocess.run([sys.executable, SCRIPT, game, release, "--release-id", "r2", "--sequence", "1"] + list(extra),
                              stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT, env=env,
                              timeout=300).returncode
        out.seek(0)
        return code, out.read().decode("utf-8", "replace")


class PublishedChunks(unittest.TestCase):
    def test_the_installed_copy_gives_all_but_the_changed_chunks(self):
        with tempfile.TemporaryDirectory(prefix="th_delta_command_") as temp:
            rng = random.Random(17)
            old = rng.randbytes(3 << 20)
            new = bytearray(old)
            new[1_000_000:1_065_536] = rng.randbytes(65536)
            new[2_000_000:2_000_000] = rng.randbytes(1000)
            new = bytes(new)
            lh.write_bytes(os.path.join(temp, "install", "data", "big.pak"), old)
            game = os.path.join(temp, "game")
            lh.write_bytes(os.path.join(game, "data", "big.pak"), new)
            lh.write_bytes(os.path.join(game, "small.txt"), b"below the size that gets an index")

            release = os.path.join(temp, "release")
            code, output = publish(game, release, "--toolkit", TOOL)
            self.assertEqual(code, 0, output)
            self.assertIn("chunk indexes written: 1", output)
            index = os.path.join(release, "chunks", hashlib.sha256(new).hexdigest())
            self.assertEqual(os.listdir(os.path.join(release, "chunks")), [os.path.basename(index)])
            # The script's own chunker writes the very same index.
            code, output = publish(game, os.path.join(temp, "by_python"), "--no-toolkit")
            self.assertEqual(code, 0, output)
            with open(index, "rb") as a, open(os.path.join(temp, "by_python", "chunks", os.path.basename(index)),
                                                 "rb") as b:
                self.assertEqual(a.read(), b.read())

            host = lh.NginxHost(temp, release)
            try:
                env = dict(os.environ, WINEPREFIX=PREFIX, WINEDEBUG="-all")
                with tempfile.TemporaryFile() as out:
                    code = subprocess.run(["wine", TOOL, "delta", lh.windows_path(os.path.join(temp, "install")),
                                           host.url, "data/big.pak"], env=env, stdin=subprocess.DEVNULL,
                                          stdout=out, stderr=subprocess.STDOUT, timeout=120).returncode
                    out.seek(0)
                    text = out.read().decode("utf-8", "replace")
                requests = host.requests()
            finally:
                host.stop()
            self.assertEqual(code, 0, text)
            match = re.search(r"reused (\d+) bytes, fetched (\d+) bytes of (\d+)", text)
            self.assertIsNotNone(match, text)
            reused, fetched, size = (int(g) for g in match.groups())
            self.assertEqual(size, len(new))
            self.assertGreater(reused, len(new) * 0.85, text)
            self.assertLess(fetched, len(new) * 0.15, text)
            # Only the release list and the index were fetched: nothing is downloaded.
            self.assertEqual(sorted(r["path"] for r in requests),
                             sorted(["/update_manifest.json", "/chunks/" + os.path.basename(index)]))


if __name__ == "__main__":
    lh.run_tests()
