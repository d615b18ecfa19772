#!/usr/bin/env python3
"""The command lines that docs/publishing.md and docs/player-support.md give
a publisher, run as written from a copy of the project root (its folders
linked, the build's programs copied to build/), with only their placeholders filled in.

Usage: test_documented_commands.py BUILD_DIR
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "support"))
import launcher_harness as lh  # noqa: E402

BUILD = lh.find_build_dir()
DOCS = ("docs/publishing.md", "docs/player-support.md")
# Lines the test can run here; signing with a publisher's certificate or token cannot.
RUNNABLE = re.compile(r"^(cmake/wine-run\.sh|openssl|python3 tools/publish_release\.py|cmake -S|"
                      r"scripts/sign-launcher\.sh --pfx test)\b")
PLACEHOLDERS = {
    r"\bGAME_DIR\b": "game",
    r"\bOLD_GAME_DIR\b": "game",
    r"\bRELEASE_DIR\b": "release",
    r"\bNEW_RELEASE_DIR\b": "release2",
    r"\bROLLBACK_DIR\b": "release3",
    r"COMMAND ARGS\.\.\.": "hash game/a.pak",
    r"Z:/path/to/folder": None,  # the launcher folder, set in the test
}


def documented_lines(relative):
    """Indented code lines (continuations joined) and `inline` commands."""
    with open(os.path.join(lh.SOURCE_DIR, relative), encoding="utf-8") as f:
        text = f.read()
    lines = []
    pending = ""
    for line in text.splitlines():
        if pending or line.startswith("    "):
            pending += line.strip()
            if pending.endswith("\\"):
                pending = pending[:-1].rstrip() + " "
                continue
            lines.append(pending)
            pending = ""
        else:
            # Inline, openssl is named in prose; commands to run stand in code blocks.
            lines.extend(span for span in re.findall(r"`([^`]+)`", line) if not span.startswith("openssl"))
    return [line for line in lines if RUNNABLE.match(line)]


class DocumentedCommands(unittest.TestCase):
    def test_every_runnable_command_line_of_the_docs_works_from_the_project_root(self):
        temp = tempfile.TemporaryDirectory(prefix="th_docs_")
        self.addCleanup(temp.cleanup)
        root = temp.name
        for name in os.listdir(lh.SOURCE_DIR):
            if not name.startswith(".") and name != "build" and not name.startswith("build-"):
                os.symlink(os.path.join(lh.SOURCE_DIR, name), os.path.join(root, name))
        # Copies, so that signing as documented leaves the build's programs alone.
        build = os.path.join(root, "build")
        os.makedirs(build)
        for name in ("Tinderhallow.exe", "TinderhallowTool.exe"):
            shutil.copy2(os.path.join(BUILD, name), build)
        os.symlink(os.environ.get("WINEPREFIX") or os.path.join(BUILD, "wineprefix"), os.path.join(build, "wineprefix"))
        os.makedirs(os.path.join(root, "game", "data"))
        with open(os.path.join(root, "game", "a.pak"), "wb") as f:
            f.write(b"alpha")
        launcher = os.path.join(root, "launcher")
        os.makedirs(launcher)
        with open(os.path.join(launcher, "patch_source.txt"), "w", encoding="utf-8") as f:
            f.write("Z:" + os.path.join(root, "release") + "\n")
        fill = dict(PLACEHOLDERS, **{r"Z:/path/to/folder": "Z:" + launcher})

        environment = {k: v for k, v in os.environ.items() if k != "BUILD_DIR"}
        environment["WINEDEBUG"] = "-all"
        ran = []
        for doc in DOCS:
            for line in documented_lines(doc):
                command = line
                for placeholder, value in fill.items():
                    command = re.sub(placeholder, value, command)
                if re.search(r"\[|\.\.\.|<|04\.\.\.", command):
                    continue  # a synopsis, not a command line
                with self.subTest(doc=doc, line=line):
                    done = subprocess.run(["bash", "-c", command], cwd=root, stdin=subprocess.DEVNULL,
                                          capture_output=True, text=True,
                                          timeout=600, env=environment)
                    self.assertEqual(done.returncode, 0, f"{command}\n{done.stdout}{done.stderr}")
                ran.append((line.split()[0], command, done.stdout))
        for program in ("cmake/wine-run.sh", "openssl", "python3", "scripts/sign-launcher.sh", "cmake"):
            self.assertIn(program, [name for name, _, _ in ran], "the docs still give such a command")
        # The fingerprint the docs compute from the key file is the one configuring prints.
        configured = "".join(out for name, _, out in ran if name == "cmake")
        fingerprints = [out.strip() for _, command, out in ran if command.endswith("cut -c1-16")]
        self.assertTrue(fingerprints, "the docs show how to compute the key's fingerprint")
        for fingerprint in fingerprints:
            self.assertRegex(fingerprint, "^[0-9a-f]{16}$")
            self.assertIn(f"(fingerprint {fingerprint})", configured)


if __name__ == "__main__":
    lh.run_tests()
