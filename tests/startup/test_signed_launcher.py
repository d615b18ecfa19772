#!/usr/bin/env python3
"""The launcher signed as a publisher signs it, then installed and updated
by itself, under Wine.

A throwaway certificate authority and two code-signing certificates (the
publisher's, and the one it renews to) are made with openssl. Copies of the
built launcher and toolkit are signed with scripts/sign-launcher.sh and
checked with "osslsigncode verify". A downloaded signed launcher installs
itself and hands over; a release carrying the launcher signed with the
renewed certificate then replaces it through the self-update. The installed
file is byte for byte the published one, and its signature still verifies.
"""

import os
import shutil
import socket
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "support"))
import launcher_harness as lh  # noqa: E402

LAUNCHER = "Tinderhallow.exe"
SIGN = os.path.join(lh.SOURCE_DIR, "scripts", "sign-launcher.sh")
EXTENSIONS = """[ca]
basicConstraints=critical,CA:TRUE
keyUsage=critical,keyCertSign,cRLSign
subjectKeyIdentifier=hash
[signer]
basicConstraints=CA:FALSE
keyUsage=critical,digitalSignature
extendedKeyUsage=codeSigning
subjectKeyIdentifier=hash
authorityKeyIdentifier=keyid
"""


def run(command, cwd=None):
    done = subprocess.run(command, cwd=cwd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, timeout=120)
    return done.returncode, done.stdout.decode(errors="replace")


class SignedLauncher(unittest.TestCase):
    def must(self, command, cwd=None):
        code, output = run(command, cwd)
        self.assertEqual(code, 0, "%s failed (%d): %s" % (" ".join(command), code, output.strip()))
        return output

    def make_certificates(self, folder):
        """A root and two code-signing certificates below it, as PFX files with
        one password file; returns (root.pem, [pfx, pfx], password file)."""
        with open(os.path.join(folder, "extensions.cnf"), "w", encoding="utf-8") as f:
            f.write(EXTENSIONS)
        with open(os.path.join(folder, "password"), "w", encoding="utf-8") as f:
            f.write("throwaway test password\n")
        self.must(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "root.key", "-out",
                   "root.pem", "-days", "2", "-subj", "/CN=Tinderhallow throwaway test root", "-addext",
                   "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign"], folder)
        pfx_files = []
        for name in ("publisher", "renewed"):
            self.must(["openssl", "req", "-newkey", "rsa:2048", "-nodes", "-keyout", name + ".key", "-out",
                       name + ".csr", "-subj", "/O=Tinderhallow test publisher/CN=Tinderhallow test publisher " + name],
                      folder)
            self.must(["openssl", "x509", "-req", "-in", name + ".csr", "-CA", "root.pem", "-CAkey", "root.key",
                       "-CAcreateserial", "-out", name + ".pem", "-days", "2", "-extfile", "extensions.cnf",
                       "-extensions", "signer"], folder)
            self.must(["openssl", "pkcs12", "-export", "-inkey", name + ".key", "-in", name + ".pem", "-certfile",
                       "root.pem", "-out", name + ".pfx", "-passout", "file:password"], folder)
            pfx_files.append(os.path.join(folder, name + ".pfx"))
        return os.path.join(folder, "root.pem"), pfx_files, os.path.join(folder, "password")

    def sign(self, files, pfx, password, root):
        return self.must([SIGN, "--pfx", pfx, "--password-file", password, "--ca-file", root, *files])

    def verify(self, path, root):
        code, output = run(["osslsigncode", "verify", "-CAfile", root, "-in", path])
        self.assertTrue(code == 0 and "Signature verification: ok" in output and "SHA256" in output,
                        "osslsigncode verify of %s (%d): %s" % (path, code, output.strip()[-600:]))

    def test_signing_without_a_timestamp_warns_and_a_failed_one_names_the_scripts_own_option(self):
        tool = os.path.join(lh.find_build_dir(), "TinderhallowTool.exe")
        with tempfile.TemporaryDirectory(prefix="th_signing_") as scratch:
            root, (publisher, _), password = self.make_certificates(scratch)
            exe = shutil.copy2(tool, os.path.join(scratch, "signed.exe"))
            output = self.sign([exe], publisher, password, root)
            self.assertIn("sign-launcher: warning: no --timestamp given", output)
            unsigned = shutil.copy2(tool, os.path.join(scratch, "unsigned.exe"))
            with socket.socket() as closed:
                closed.bind(("127.0.0.1", 0))
                url = "http://127.0.0.1:%d/" % closed.getsockname()[1]
            code, output = run([SIGN, "--pfx", publisher, "--password-file", password, "--timestamp", url, unsigned])
            self.assertEqual(code, 1, output)
            self.assertIn("give another --timestamp URL", output)
            self.assertNotIn('"-t" option', output, "no advice about an option the script does not have")
            self.assertNotIn("warning: no --timestamp", output)
            self.assertEqual(lh.read_bytes(unsigned), lh.read_bytes(tool), "the file stays unsigned")

    def test_a_signed_launcher_installs_itself_and_replaces_itself_with_one_signed_anew(self):
        for tool in ("osslsigncode", "openssl"):
            self.assertTrue(shutil.which(tool), tool + " is missing: run scripts/install-deps.sh")
        with lh.LauncherHarness(lh.find_build_dir(), name="startup_signed_launcher") as h:
            keys = os.path.join(h.scratch, "keys")
            os.makedirs(keys)
            root, (publisher, renewed), password = self.make_certificates(keys)

            # Both programs signed, in place, with SHA-256.
            signed = os.path.join(h.scratch, "signed")
            os.makedirs(signed)
            files = [shutil.copy2(h.launcher_exe, signed), shutil.copy2(h.tool_exe, signed)]
            output = self.sign(files, publisher, password, root)
            for path in files:
                self.assertIn("signed %s sha256 " % path, output, "sign-launcher reports %s" % path)
                self.verify(path, root)
            first = lh.read_bytes(files[0])
            # The same program signed with the renewed certificate: a new launcher file.
            second_path = os.path.join(h.scratch, "renewed", LAUNCHER)
            os.makedirs(os.path.dirname(second_path))
            shutil.copy2(h.launcher_exe, second_path)
            self.sign([second_path], renewed, password, root)
            second = lh.read_bytes(second_path)
            self.assertNotEqual(first, second, "the renewed signature makes another file")

            # A release folder that carries the signed launcher.
            release = os.path.join(h.scratch, "release")
            game = os.path.join(h.scratch, "game")
            os.makedirs(os.path.join(game, "data"))
            with open(os.path.join(game, "data", "readme.txt"), "wb") as f:
                f.write(b"Tinderhallow, signed season\n")
            shutil.copy2(files[0], os.path.join(game, LAUNCHER))
            lh.publish_release(game, release, "signed-1")

            # The signed download installs itself and hands over.
            downloads = os.path.join(h.scratch, "Downloads")
            install = os.path.join(h.scratch, "Games", "Tinderhallow")
            os.makedirs(install)
            h.prepare_launcher_dir(install, patch_source=release, copy_launcher=False)
            os.makedirs(downloads)
            shutil.copy2(files[0], os.path.join(downloads, LAUNCHER))
            downloaded = h.start_launcher(downloads, install_dir=install)
            self.assertEqual(downloaded.wait(60), 0, "the signed download hands over")
            installed = os.path.join(install, LAUNCHER)
            self.assertTrue(lh.read_bytes(installed) == first, "the installed launcher is the signed download")
            h.wait_window()
            h.close_window()
            h.wait_not_running(LAUNCHER)

            # A release with the launcher signed anew: the installed one replaces itself.
            shutil.copy2(second_path, os.path.join(game, LAUNCHER))
            lh.publish_release(game, release, "signed-2")
            old = h.start_launcher(install)
            self.assertEqual(old.wait(90), 0, "the replaced launcher exits")
            self.assertTrue(lh.read_bytes(installed) == second, "the installed launcher is the newly signed one")
            h.wait_window()
            self.assertEqual(len(h.running(LAUNCHER)), 1, "one launcher runs after the swap")
            h.close_window()
            h.wait_not_running(LAUNCHER)
            self.verify(installed, root)


if __name__ == "__main__":
    lh.run_tests()
