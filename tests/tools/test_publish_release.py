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
import shutil
import subprocess
import sys
import tempfile

SOURCE_DIR = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
SCRIPT = os.path.join(SOURCE_DIR, "tools", "publish_release.py")
NOT_SIGNED = "The release list is not signed by Tinderhallow. Nothing was installed."

failures = []


def check(condition, what):
    print(("ok   " if condition else "FAIL ") + what)
    if not condition:
        failures.append(what)


def windows_path(path):
    # Wine maps the Unix root to drive Z:.
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class Tool:
    def __init__(self, build_dir):
        self.build_dir = os.path.abspath(build_dir)
        self.exe = os.path.join(self.build_dir, "TinderhallowTool.exe")
        self.runner = os.path.join(SOURCE_DIR, "cmake", "wine-run.sh")
        self.prefix = os.path.join(self.build_dir, "wineprefix")

    def run(self, *args):
        result = subprocess.run([self.runner, self.prefix, self.exe] + list(args),
                                capture_output=True, timeout=120)
        return result.returncode, result.stdout.decode("utf-8", "replace"), result.stderr.decode("utf-8", "replace")

    @staticmethod
    def has_command(name):
        return os.path.isfile(os.path.join(SOURCE_DIR, "tools", "toolkit", f"cmd_{name}.cpp"))


def publish(game, release, *extra):
    return subprocess.run([sys.executable, SCRIPT, game, release] + list(extra),
                          capture_output=True, text=True, timeout=120)


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def make_game(root):
    files = {
        "TinderhallowGame.exe": b"MZ game",
        "B.pak": b"upper case first",
        "a.pak": b"a",
        "a/b.bin": b"\x00\x01\x02" * 1000,
        "data/maps/\u00e9p\u00e9e \u2694.map": "donn\u00e9es".encode("utf-8"),
        "data/empty.bin": b"",
    }
    for relative, data in files.items():
        write(os.path.join(root, *relative.split("/")), data)
    return files


def test_release_folder(temp, tool):
    game = os.path.join(temp, "game")
    release = os.path.join(temp, "release")
    files = make_game(game)
    notes = os.path.join(temp, "notes.json")
    write(notes, b'{"entries": []}\n')

    result = publish(game, release, "--release-id", "2024.07-test", "--patch-notes", notes,
                     "--minimum-launcher", "1")
    check(result.returncode == 0, f"publishing succeeds ({result.stderr.strip()})")
    if result.returncode != 0:
        return

    manifest = read(os.path.join(release, "update_manifest.json"))
    digest = hashlib.sha256(manifest).hexdigest()
    sig_path = os.path.join(release, "manifests", digest + ".sig")
    check(os.path.isfile(sig_path), "the signature is named after the manifest's SHA-256")
    raw = base64.b64decode(read(sig_path))
    check(len(raw) == 64, "the signature is Base64 of 64 raw bytes")
    check(read(os.path.join(release, "patch_notes.json")) == read(notes), "patch notes are copied")

    for relative, data in files.items():
        copied = os.path.join(release, *relative.split("/"))
        check(os.path.isfile(copied) and read(copied) == data, f"{relative} is copied unchanged")
    leftovers = [n for _, _, names in os.walk(release) for n in names if n.startswith(".publish_")]
    check(not leftovers, "no temporary file is left behind")

    text = manifest.decode("utf-8")
    check("\\u" not in text, "non-ASCII paths are written as UTF-8, not \\u escapes")
    check('"schemaVersion": 1' in text and '"releaseId": "2024.07-test"' in text
          and '"minimumLauncherVersion": 1' in text, "manifest header members")
    expected_order = sorted(files, key=lambda p: p.encode("utf-8"))
    listed = [p for p in expected_order if f'"path": "{p}"' in text]
    check(listed == expected_order, "every file is listed")
    positions = [text.index(f'"path": "{p}"') for p in expected_order]
    check(positions == sorted(positions), "files are in byte order of their generic paths")
    for relative, data in files.items():
        entry = (f'{{"path": "{relative}", "size": {len(data)}, '
                 f'"sha256": "{hashlib.sha256(data).hexdigest()}"}}')
        check(entry in text, f"{relative} has its size and lower-case digest")

    # The launcher's own verification, with the key built into this build.
    code, out, err = tool.run("verify", windows_path(os.path.join(release, "update_manifest.json")),
                              windows_path(sig_path))
    check(code == 0 and out == "verified\n", f"toolkit verify accepts the release ({code}, {out!r}, {err!r})")

    tampered = os.path.join(temp, "tampered.json")
    write(tampered, manifest.replace(b"2024.07-test", b"2024.07-tesT"))
    code, out, err = tool.run("verify", windows_path(tampered), windows_path(sig_path))
    check(code == 1 and out == "" and err == NOT_SIGNED + "\n",
          f"toolkit verify refuses a changed manifest ({code}, {err!r})")

    code, out, err = tool.run("verify", windows_path(tampered), windows_path(os.path.join(temp, "none.sig")))
    check(code == 1 and err.startswith("Could not open signature file: "), "a missing signature file is reported")

    if tool.has_command("manifest"):
        code, out, err = tool.run("manifest", windows_path(os.path.join(release, "update_manifest.json")))
        expected = "release 2024.07-test\nschema 1\nminimum-launcher 1\n" + "".join(
            f"{hashlib.sha256(files[p]).hexdigest()} {len(files[p])} {p}\n" for p in expected_order)
        check(code == 0 and out == expected, f"toolkit manifest loads the release ({code}, {err!r})")
    else:
        print("note: this toolkit has no manifest command yet")


def test_refusals(temp):
    game = os.path.join(temp, "refusals_game")
    write(os.path.join(game, "update_manifest.json"), b"{}")
    result = publish(game, os.path.join(temp, "refusals_release"), "--release-id", "1")
    check(result.returncode == 1 and "update_manifest.json" in result.stderr,
          "a game file named update_manifest.json is refused")
    check(not os.path.exists(os.path.join(temp, "refusals_release", "update_manifest.json")),
          "nothing is published after a refusal")

    game2 = os.path.join(temp, "game2")
    write(os.path.join(game2, "a.pak"), b"a")
    result = publish(game2, os.path.join(game2, "release"), "--release-id", "1")
    check(result.returncode == 1, "a release folder inside the game folder is refused")
    result = publish(game2, os.path.join(temp, "r2"), "--release-id", "../x")
    check(result.returncode == 1, "a release id that is not a plain name is refused")
    # Ids the launcher could not use as its staging folder name.
    for release_id in ("CON", "com1.beta", "Aux ", "x" * 256):
        result = publish(game2, os.path.join(temp, "r2"), "--release-id", release_id)
        check(result.returncode == 1 and not os.path.exists(os.path.join(temp, "r2", "update_manifest.json")),
              f"release id {release_id[:20]!r} is refused")
    result = publish(game2, os.path.join(temp, "r2"), "--release-id", "console-" + "x" * 247)
    check(result.returncode == 0, "a 255-character id that only starts like a device name is published")
    game3 = os.path.join(temp, "game3")
    write(os.path.join(game3, "sounds", "aux.wav"), b"a")
    result = publish(game3, os.path.join(temp, "r4"), "--release-id", "1")
    check(result.returncode == 1 and "aux.wav" in result.stderr, "a file with a device name is refused")
    twins = os.path.join(temp, "twins")
    write(os.path.join(twins, "Data", "a.pak"), b"a")
    write(os.path.join(twins, "data", "A.pak"), b"b")
    result = publish(twins, os.path.join(temp, "r6"), "--release-id", "1")
    check(result.returncode == 1 and "one file on Windows" in result.stderr,
          "two paths that differ only in letter case are refused")
    game4 = os.path.join(temp, "game4")
    write(os.path.join(game4, "TINDERHALLOW.EXE"), b"launcher")
    result = publish(game4, os.path.join(temp, "r5"), "--release-id", "1")
    check(result.returncode == 1 and "Tinderhallow.exe" in result.stderr,
          "the launcher under another spelling is refused")

    p384 = os.path.join(temp, "p384.pem")
    subprocess.run(["openssl", "ecparam", "-name", "secp384r1", "-genkey", "-noout", "-out", p384],
                   check=True, capture_output=True)
    result = publish(game2, os.path.join(temp, "r3"), "--release-id", "1", "--key", p384)
    check(result.returncode == 1 and "P-256" in result.stderr, "a key on another curve is refused")
    check(not os.path.exists(os.path.join(temp, "r3", "update_manifest.json")), "no manifest without a signature")


def test_release_sequence(temp):
    """Each release in a folder gets the next sequence; an explicit one may
    repeat the folder's but never go below it."""
    game = os.path.join(temp, "sequence_game")
    write(os.path.join(game, "a.pak"), b"a")
    release = os.path.join(temp, "sequence_release")
    manifest = os.path.join(release, "update_manifest.json")

    def sequence_after(*extra):
        code = publish(game, release, "--release-id", "s", *extra).returncode
        return code, json.loads(read(manifest))["releaseSequence"]

    check(sequence_after() == (0, 1), "the first release in a folder has sequence 1")
    check(sequence_after() == (0, 2), "the next one has sequence 2")
    check(sequence_after("--sequence", "1") == (1, 2), "a lower sequence is refused and nothing published")
    check(sequence_after("--sequence", "0") == (1, 2), "sequence 0 is refused")
    check(sequence_after("--sequence", "2") == (0, 2), "the same sequence may be published again")
    check(sequence_after("--sequence", "40") == (0, 40), "a higher sequence is taken as given")


def test_raw_signature_padding():
    spec = importlib.util.spec_from_file_location("publish_release", SCRIPT)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    r = b"\x00\x80" + bytes(range(1, 32))  # 33 bytes with the sign byte
    s = bytes(range(5, 35))                 # 30 bytes: two leading zero bytes dropped
    der = b"\x30" + bytes([2 + len(r) + 2 + len(s)]) + b"\x02" + bytes([len(r)]) + r + b"\x02" + bytes([len(s)]) + s
    raw = module.raw_signature(der)
    check(raw == r[1:] + b"\x00\x00" + s, "DER r and s become 32-byte big-endian values")


def main():
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    tool = Tool(sys.argv[1])
    temp = tempfile.mkdtemp(prefix="th_publish_")
    try:
        test_raw_signature_padding()
        test_refusals(temp)
        test_release_sequence(temp)
        test_release_folder(temp, tool)
    finally:
        shutil.rmtree(temp, ignore_errors=True)
    if failures:
        print(f"{len(failures)} checks failed")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
