#!/usr/bin/env python3
"""The patch source and the game service over HTTPS, with certificate checking
on: nginx serves a signed release as https://localhost with a certificate from
a test CA that the test adds to its Wine prefix's root store, and a second
nginx serves the same release with a self-signed certificate that nothing
trusts. The toolkit runs the launcher's own check, login and update.

1. From the trusted host the release list, its signature and the game files
   are fetched over HTTPS and the release is installed.
2. The untrusted host is refused with a sentence that says so, after one
   connection: a refused certificate is not retried.
3. A game service behind the untrusted certificate is refused the same way.
"""

import hashlib
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e_common as e  # noqa: E402
from e2e_common import lh  # noqa: E402

RELEASE = "https-1"
# Windows names the reason (INVALID_CA); Wine 8 reports every refused
# certificate as a failed secure channel, without one.
PATCH_REFUSED = (
    "Could not set up a secure connection to the patch server; its certificate may not be valid "
    "(Windows error 12157).",
    "The patch server's certificate is not trusted (Windows error 12175).",
    "The patch server's certificate is not trusted (Windows error 12045).",
)
GAME_REFUSED = tuple(text.replace("patch server", "game server") for text in PATCH_REFUSED)


def status_lines(output):
    return [line for line in output.splitlines() if line.count("|") >= 3]


class HttpsSource(unittest.TestCase):
    def setUp(self):
        self.h = h = lh.LauncherHarness(lh.find_build_dir(), name="e2e_https_source")
        self.addCleanup(h.close)
        self.files = {
            "TinderhallowGame.exe": e.read(h.exe("TinderhallowGame.exe")),
            "data/arena.map": b"arena over https " * 4000,
            "readme.txt": b"Tinderhallow over HTTPS\n",
        }
        www = os.path.join(h.scratch, "www")
        os.makedirs(www)
        e.publish(h.build_dir, h.scratch, self.files, www, RELEASE)
        self.manifest = e.read(os.path.join(www, "update_manifest.json"))

        tls = lh.make_test_certificates(os.path.join(h.scratch, "tls"))
        h.trust_root_certificate(tls["ca.pem"])
        self.trusted = h.start_nginx(www, certificate=(tls["localhost.pem"], tls["localhost.key"]))
        self.untrusted = h.start_nginx(www, certificate=(tls["untrusted.pem"], tls["untrusted.key"]))
        self.service = h.start_reference_server(accounts={e.ACCOUNT: e.PASSWORD})

    def launcher_dir(self, name, patch_source, server_url):
        return self.h.prepare_launcher_dir(os.path.join(self.h.scratch, name), patch_source=patch_source + "/",
                                           server_url=server_url, copy_launcher=False)

    # -- 1 --

    def trusted_release_installs(self):
        folder = self.launcher_dir("trusted", self.trusted.url, self.service.url)
        run = self.h.tool("update", lh.windows_path(folder), e.ACCOUNT, stdin_text=e.PASSWORD + "\n")
        lines = status_lines(run.stdout)
        self.assertEqual((run.code, lines[-1:]), (0, ["Ready|Game is ready|Release %s|1.000" % RELEASE]),
                         "exit code and last status (errors: %s)" % run.stderr.strip())
        self.assertEqual(e.installed_files(folder, self.files), [], "files differing from the release")

        served = {(r["path"], r["status"], r["scheme"]) for r in self.trusted.requests()}
        signature = "/manifests/%s.sig" % hashlib.sha256(self.manifest).hexdigest()
        wanted = {("/" + path, 200, "https") for path in ["update_manifest.json", *self.files]}
        wanted.add((signature, 200, "https"))
        self.assertEqual(sorted(wanted - served), [], "release list, signature and game files served over HTTPS")

    # -- 2 --

    def untrusted_source_is_refused_once(self):
        folder = self.launcher_dir("untrusted", self.untrusted.url, self.service.url)
        run = self.h.tool("check", lh.windows_path(folder))
        lines = status_lines(run.stdout)
        self.assertEqual(run.code, 1, "exit code")
        self.assertTrue(lines and lines[-1].rsplit("|", 1)[0] in ["Error|Test channel unavailable|" + text
                                                                  for text in PATCH_REFUSED],
                        "last status names the refused certificate: %r" % (lines[-1:],))
        # Each attempt is one connection; the check has ended, so every one
        # it made is closed, and nginx logs each as it sees it close.
        lh.wait_until(lambda: self.untrusted.connections() >= 1, 30, "the refused connection in nginx's log")
        self.assertEqual(self.untrusted.connections(), 1, "connections to the untrusted host")
        self.assertEqual(self.untrusted.requests(), [], "requests sent over the refused connection")
        self.assertFalse(os.path.exists(os.path.join(folder, ".patch_remote", "update_manifest.json")),
                         "nothing downloaded from the untrusted host")

    # -- 3 --

    def untrusted_service_is_refused(self):
        folder = self.launcher_dir("untrusted-service", self.trusted.url, self.untrusted.url)
        run = self.h.tool("update", lh.windows_path(folder), e.ACCOUNT, stdin_text=e.PASSWORD + "\n")
        self.assertEqual(run.code, 1, "exit code")
        self.assertEqual(status_lines(run.stdout)[-1:],
                         ["UpdateAvailable|Update available|3 files ready to install|0.000"],
                         "the release check before the login")
        last_error = run.stderr.strip().splitlines()[-1:]
        self.assertTrue(last_error and last_error[0] in GAME_REFUSED,
                        "login error names the refused certificate: %r" % (last_error,))
        self.assertEqual(self.untrusted.requests(), [], "requests sent over a refused connection")

    def test_releases_and_the_game_service_over_https_are_trusted_only_through_the_root_store(self):
        e.run_steps(self, [
            ("a signed release from a host with a trusted certificate installs over HTTPS",
             self.trusted_release_installs, []),
            ("a patch source with an untrusted certificate is refused at once, saying so",
             self.untrusted_source_is_refused_once, []),
            ("a game service with an untrusted certificate is refused, saying so",
             self.untrusted_service_is_refused, []),
        ])


if __name__ == "__main__":
    lh.run_tests()
