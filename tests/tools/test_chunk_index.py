#!/usr/bin/env python3
"""The publishing script's chunker against the shared test vector.

Usage: test_chunk_index.py [BUILD_DIR]
"""
import os
import sys
import tempfile
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tools"))
import chunk_index  # noqa: E402

VECTOR = os.path.join(ROOT, "tests", "delivery", "fixtures", "chunk_vector.txt")


class SharedVector(unittest.TestCase):
    def test_cuts_the_shared_test_vector_like_the_launcher(self):
        with open(VECTOR) as f:
            expected = "".join(line for line in f if line.strip() and not line.startswith("#"))
        data = chunk_index.vector_input()
        self.assertEqual(chunk_index.chunk_list_text(chunk_index.chunk_bytes(data)), expected)
        # Read from a file in pieces smaller than a chunk, the cuts are the same.
        with tempfile.TemporaryDirectory(prefix="th_chunk_vector_") as folder:
            path = os.path.join(folder, "vector.bin")
            with open(path, "wb") as f:
                f.write(data)
            self.assertEqual(chunk_index.chunk_list_text(chunk_index.chunk_file(path, read_size=100_000)), expected)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
