#!/usr/bin/env python3
"""Publishes a small game folder with tools/publish_release.py and checks the
release folder with the launcher's own code (TinderhallowTool under Wine).

Usage: test_publish_release.py BUILD_DIR
"""

import base64
import hashlib
import importlib.util
import json
import os
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "support"))
import launcher_harness as lh  # noqa: E402

_, TOOL, PREFIX, _ = lh.build_paths()
SCRIPT = os.path.join(lh.SOURCE_DIR, "tools", "publish_release.py")
NOT_SIGNED = "The release list is not signed by Tinderhallow. Nothing was installed."
FILES = {
    "TinderhallowGame.exe": b"MZ game",
    "B.pak": b"upper case first",
    "a.pak": b"a",
    "a/b.bin": b"\x00\x01\x02" * 1000,
    "data/maps/\u00e9p\u00e9e \u2694.map": "donn\u00e9es".encode("utf-8"),
    "data/empty.bin": b"",
}
BYTE_ORDER = sorted(FILES, key=lambda p: p.encode("utf-8"))


def tool(*args):
    done = lh.run_in_prefix(PREFIX, TOOL, *args)
    return done.code, done.stdout.decode("utf-8", "replace"), done.stderr.decode("utf-8", "replace")


def toolkit_has_command(name):
    return os.path.isfile(os.path.join(lh.SOURCE_DIR, "tools", "toolkit", f"cmd_{name}.cpp"))


def publish(game, release, *extra):
    """Runs the script; an empty RELEASE gets --sequence 1 unless EXTRA orders it."""
    first = not os.path.isfile(os.path.join(release, "update_manifest.json"))
    if first and "--sequence" not in extra and "--after" not in extra:
        extra += ("--sequence", "1")
    return run_script(game, release, *extra)


def run_script(game, release, *extra):
    return subprocess.run([sys.executable, SCRIPT, game, release] + list(extra),
                          capture_output=True, text=True, timeout=120)


class PublishedRelease(unittest.TestCase):
    """One game folder published with patch notes, checked by the script's
    output and by the toolkit."""

    @classmethod
    def setUpClass(cls):
        cls.temp = tempfile.TemporaryDirectory(prefix="th_publish_")
        temp = cls.temp.name
        game = os.path.join(temp, "game")
        for relative, data in FILES.items():
            lh.write_bytes(os.path.join(game, *relative.split("/")), data)
        cls.notes = os.path.join(temp, "notes.json")
        lh.write_bytes(cls.notes, b'{"entries": []}\n')
        cls.release = os.path.join(temp, "release")
        cls.result = publish(game, cls.release, "--release-id", "2024.07-test", "--patch-notes", cls.notes,
                             "--minimum-launcher", "1")
        cls.manifest_path = os.path.join(cls.release, "update_manifest.json")
        cls.manifest = lh.read_bytes(cls.manifest_path) if cls.result.returncode == 0 else None
        cls.signature = (os.path.join(cls.release, "manifests", hashlib.sha256(cls.manifest).hexdigest() + ".sig")
                         if cls.manifest is not None else None)

    @classmethod
    def tearDownClass(cls):
        cls.temp.cleanup()

    def setUp(self):
        self.assertEqual(self.result.returncode, 0, "publishing fails: " + self.result.stderr.strip())

    def test_writes_the_signature_patch_notes_and_every_file_unchanged(self):
        self.assertTrue(os.path.isfile(self.signature), "the signature is named after the manifest's SHA-256")
        self.assertEqual(len(base64.b64decode(lh.read_bytes(self.signature))), 64, "the signature is Base64 of 64 raw bytes")
        self.assertEqual(lh.read_bytes(os.path.join(self.release, "patch_notes.json")), lh.read_bytes(self.notes),
                         "patch notes are copied")
        for relative, data in FILES.items():
            with self.subTest(file=relative):
                copied = os.path.join(self.release, *relative.split("/"))
                self.assertTrue(os.path.isfile(copied) and lh.read_bytes(copied) == data, f"{relative} is copied unchanged")
        leftovers = [n for _, _, names in os.walk(self.release) for n in names if n.startswith(".publish_")]
        self.assertEqual(leftovers, [], "no temporary file is left behind")

    def test_lists_every_file_in_byte_order_with_its_size_and_lower_case_digest(self):
        text = self.manifest.decode("utf-8")
        self.assertNotIn("\\u", text, "non-ASCII paths are written as UTF-8, not \\u escapes")
        self.assertTrue('"schemaVersion": 1' in text and '"releaseId": "2024.07-test"' in text
                        and '"minimumLauncherVersion": 1' in text, "manifest header members")
        listed = [p for p in BYTE_ORDER if f'"path": "{p}"' in text]
        self.assertEqual(listed, BYTE_ORDER, "every file is listed")
        positions = [text.index(f'"path": "{p}"') for p in BYTE_ORDER]
        self.assertEqual(positions, sorted(positions), "files are in byte order of their generic paths")
        for relative, data in FILES.items():
            entry = (f'{{"path": "{relative}", "size": {len(data)}, '
                     f'"sha256": "{hashlib.sha256(data).hexdigest()}"}}')
            self.assertIn(entry, text, f"{relative} has its size and lower-case digest")

    def test_the_toolkit_verifies_the_release_and_refuses_a_changed_manifest(self):
        # The launcher's own verification, with the key built into this build.
        code, out, err = tool("verify", lh.windows_path(self.manifest_path), lh.windows_path(self.signature))
        self.assertEqual((code, out), (0, "verified\n"), f"toolkit verify accepts the release ({err!r})")

        tampered = os.path.join(self.temp.name, "tampered.json")
        lh.write_bytes(tampered, self.manifest.replace(b"2024.07-test", b"2024.07-tesT"))
        self.assertEqual(tool("verify", lh.windows_path(tampered), lh.windows_path(self.signature)),
                         (1, "", NOT_SIGNED + "\n"), "toolkit verify refuses a changed manifest")

        code, out, err = tool("verify", lh.windows_path(tampered),
                              lh.windows_path(os.path.join(self.temp.name, "none.sig")))
        self.assertEqual(code, 1, "a missing signature file is reported")
        self.assertTrue(err.startswith("Could not open signature file: "), err)

    def test_the_toolkit_loads_the_published_manifest(self):
        if not toolkit_has_command("manifest"):
            self.skipTest("this toolkit has no manifest command yet")
        code, out, err = tool("manifest", lh.windows_path(self.manifest_path))
        expected = "release 2024.07-test\nschema 1\nminimum-launcher 1\nsequence 1\n" + "".join(
            f"{hashlib.sha256(FILES[p]).hexdigest()} {len(FILES[p])} {p}\n" for p in BYTE_ORDER)
        self.assertEqual((code, out), (0, expected), f"toolkit manifest loads the release ({err!r})")


class Refusals(unittest.TestCase):
    def setUp(self):
        temp = tempfile.TemporaryDirectory(prefix="th_publish_")
        self.addCleanup(temp.cleanup)
        self.temp = temp.name
        self.game = os.path.join(self.temp, "game2")
        lh.write_bytes(os.path.join(self.game, "a.pak"), b"a")

    def test_refuses_a_game_file_named_update_manifest_json_and_publishes_nothing(self):
        game = os.path.join(self.temp, "refusals_game")
        lh.write_bytes(os.path.join(game, "update_manifest.json"), b"{}")
        result = publish(game, os.path.join(self.temp, "refusals_release"), "--release-id", "1")
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertIn("update_manifest.json", result.stderr)
        self.assertFalse(os.path.exists(os.path.join(self.temp, "refusals_release", "update_manifest.json")),
                         "nothing is published after a refusal")

    def test_refuses_a_release_folder_inside_the_game_folder(self):
        result = publish(self.game, os.path.join(self.game, "release"), "--release-id", "1")
        self.assertEqual(result.returncode, 1, result.stderr)

    def test_refuses_release_ids_the_launcher_cannot_use_as_a_folder_name(self):
        release = os.path.join(self.temp, "r2")
        result = publish(self.game, release, "--release-id", "../x")
        self.assertEqual(result.returncode, 1, "a release id that is not a plain name is refused")
        for release_id in ("CON", "com1.beta", "Aux ", "x" * 256):
            with self.subTest(release_id=release_id[:20]):
                result = publish(self.game, release, "--release-id", release_id)
                self.assertEqual(result.returncode, 1, result.stderr)
                self.assertFalse(os.path.exists(os.path.join(release, "update_manifest.json")))
        result = publish(self.game, release, "--release-id", "console-" + "x" * 247)
        self.assertEqual(result.returncode, 0,
                         "a 255-character id that only starts like a device name is published: " + result.stderr)

    def test_refuses_a_file_with_a_device_name(self):
        game = os.path.join(self.temp, "game3")
        lh.write_bytes(os.path.join(game, "sounds", "aux.wav"), b"a")
        result = publish(game, os.path.join(self.temp, "r4"), "--release-id", "1")
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertIn("aux.wav", result.stderr)

    def test_refuses_a_path_element_in_the_8_3_short_name_form(self):
        for number, path in enumerate((("GAMEDA~1.PAK",), ("DATA~12", "a.pak"), ("a~1",), ("TIND~XOK.EXE",))):
            with self.subTest(path=path):
                game = os.path.join(self.temp, "short%d" % number)
                lh.write_bytes(os.path.join(game, *path), b"a")
                result = publish(game, os.path.join(self.temp, "short_release%d" % number), "--release-id", "1")
                self.assertEqual(result.returncode, 1, result.stderr)
                self.assertIn("8.3 short-name form", result.stderr)
        game = os.path.join(self.temp, "not_short")
        for name in ("backup~2024.txt", "a~b.pak", "GAMEDA~1.PAKS", "ABCD~XY6"):
            lh.write_bytes(os.path.join(game, name), b"a")
        result = publish(game, os.path.join(self.temp, "not_short_release"), "--release-id", "1")
        self.assertEqual(result.returncode, 0, result.stderr)

    def test_refuses_two_paths_that_differ_only_in_letter_case(self):
        twins = os.path.join(self.temp, "twins")
        lh.write_bytes(os.path.join(twins, "Data", "a.pak"), b"a")
        lh.write_bytes(os.path.join(twins, "data", "A.pak"), b"b")
        result = publish(twins, os.path.join(self.temp, "r6"), "--release-id", "1")
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertIn("one file on Windows", result.stderr)

    def test_refuses_the_launcher_under_another_spelling(self):
        game = os.path.join(self.temp, "game4")
        lh.write_bytes(os.path.join(game, "TINDERHALLOW.EXE"), b"launcher")
        result = publish(game, os.path.join(self.temp, "r5"), "--release-id", "1")
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertIn("Tinderhallow.exe", result.stderr)

    def test_refuses_a_key_on_another_curve_and_writes_no_manifest(self):
        p384 = os.path.join(self.temp, "p384.pem")
        subprocess.run(["openssl", "ecparam", "-name", "secp384r1", "-genkey", "-noout", "-out", p384],
                       check=True, capture_output=True)
        result = publish(self.game, os.path.join(self.temp, "r3"), "--release-id", "1", "--key", p384)
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertIn("P-256", result.stderr)
        self.assertFalse(os.path.exists(os.path.join(self.temp, "r3", "update_manifest.json")),
                         "no manifest without a signature")


class PublishedModes(unittest.TestCase):
    def test_every_file_and_folder_is_readable_by_a_web_server_running_as_another_user(self):
        temp = tempfile.TemporaryDirectory(prefix="th_publish_")
        self.addCleanup(temp.cleanup)
        game = os.path.join(temp.name, "game")
        lh.write_bytes(os.path.join(game, "data", "maps", "big.pak"), os.urandom(1 << 20))
        lh.write_bytes(os.path.join(game, "a.pak"), b"a")
        for root, _, names in os.walk(game):
            for name in names:
                os.chmod(os.path.join(root, name), 0o600)
        notes = os.path.join(temp.name, "notes.json")
        lh.write_bytes(notes, b'{"entries": []}\n')
        release = os.path.join(temp.name, "release")
        result = subprocess.run([sys.executable, SCRIPT, game, release, "--release-id", "m", "--sequence", "1",
                                 "--patch-notes", notes, "--no-toolkit"], capture_output=True, text=True,
                                timeout=300, preexec_fn=lambda: os.umask(0o022))
        self.assertEqual(result.returncode, 0, result.stderr)
        modes = {}
        for root, folders, names in os.walk(release):
            for name in folders + names:
                path = os.path.join(root, name)
                modes[os.path.relpath(path, release)] = os.stat(path).st_mode & 0o777
        self.assertIn(os.path.join("chunks", hashlib.sha256(lh.read_bytes(os.path.join(game, "data", "maps", "big.pak")))
                                   .hexdigest()), modes, "a chunk index is among the files checked")
        wrong = {path: oct(mode) for path, mode in modes.items()
                 if mode != (0o755 if os.path.isdir(os.path.join(release, path)) else 0o644)}
        self.assertEqual(wrong, {}, "files are 0644 and folders 0755 under umask 022")
        self.assertEqual(os.stat(release).st_mode & 0o777, 0o755, "the release folder itself")


class ReleaseSequence(unittest.TestCase):
    def test_each_release_in_a_folder_gets_the_next_sequence_and_an_explicit_one_never_goes_below(self):
        temp = tempfile.TemporaryDirectory(prefix="th_publish_")
        self.addCleanup(temp.cleanup)
        game = os.path.join(temp.name, "sequence_game")
        lh.write_bytes(os.path.join(game, "a.pak"), b"a")
        release = os.path.join(temp.name, "sequence_release")
        manifest = os.path.join(release, "update_manifest.json")

        def sequence_after(*extra):
            code = publish(game, release, "--release-id", "s", *extra).returncode
            return code, json.loads(lh.read_bytes(manifest))["releaseSequence"]

        self.assertEqual(sequence_after("--sequence", "1"), (0, 1), "the first release in a folder has sequence 1")
        self.assertEqual(sequence_after(), (0, 2), "the next one has sequence 2")
        self.assertEqual(sequence_after("--sequence", "1"), (1, 2), "a lower sequence is refused and nothing published")
        self.assertEqual(sequence_after("--sequence", "0"), (1, 2), "sequence 0 is refused")
        self.assertEqual(sequence_after("--sequence", "2"), (0, 2), "the same sequence may be published again")
        self.assertEqual(sequence_after("--sequence", "40"), (0, 40), "a higher sequence is taken as given")


    def test_an_empty_folder_needs_a_sequence_or_the_live_release_to_follow(self):
        temp = tempfile.TemporaryDirectory(prefix="th_publish_")
        self.addCleanup(temp.cleanup)
        game = os.path.join(temp.name, "game")
        lh.write_bytes(os.path.join(game, "a.pak"), b"a")
        live = os.path.join(temp.name, "live")
        self.assertEqual(run_script(game, live, "--release-id", "l", "--sequence", "7").returncode, 0)

        fresh = os.path.join(temp.name, "fresh")
        result = run_script(game, fresh, "--release-id", "n")
        self.assertEqual(result.returncode, 1, "an empty folder without --sequence or --after is refused")
        self.assertRegex(result.stderr, r"^publish_release: .*fresh holds no release, .*--after.*--sequence N")
        self.assertFalse(os.path.exists(os.path.join(fresh, "update_manifest.json")), "nothing is published")

        def sequence_in(folder):
            return json.loads(lh.read_bytes(os.path.join(folder, "update_manifest.json")))["releaseSequence"]

        result = run_script(game, fresh, "--release-id", "n", "--after", live)
        self.assertEqual((result.returncode, sequence_in(fresh)), (0, 8), "--after a folder: its sequence + 1 " +
                         result.stderr)
        host = lh.NginxHost(temp.name, live)
        try:
            by_url = os.path.join(temp.name, "by_url")
            result = run_script(game, by_url, "--release-id", "n", "--after", host.url + "/")
            self.assertEqual((result.returncode, sequence_in(by_url)), (0, 8), "--after a URL " + result.stderr)
        finally:
            host.stop()
        result = run_script(game, os.path.join(temp.name, "none"), "--release-id", "n", "--after", fresh + "x")
        self.assertEqual(result.returncode, 1, "--after a folder without a release is refused")


class RawSignature(unittest.TestCase):
    def test_der_r_and_s_become_32_byte_big_endian_values(self):
        spec = importlib.util.spec_from_file_location("publish_release", SCRIPT)
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        r = b"\x00\x80" + bytes(range(1, 32))  # 33 bytes with the sign byte
        s = bytes(range(5, 35))                 # 30 bytes: two leading zero bytes dropped
        der = (b"\x30" + bytes([2 + len(r) + 2 + len(s)]) + b"\x02" + bytes([len(r)]) + r
               + b"\x02" + bytes([len(s)]) + s)
        self.assertEqual(module.raw_signature(der), r[1:] + b"\x00\x00" + s)


if __name__ == "__main__":
    lh.run_tests()
