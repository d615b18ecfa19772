#!/usr/bin/env python3
"""The real launcher under Wine and Xvfb with its patch source on nginx, a
real static host, on 127.0.0.2: an address the launcher treats as remote, so
every release list must carry a valid signature. The game service is the
reference server on 127.0.0.1.

1. A correctly signed release is checked, fetched and installed.
2. A tampered release list (a file's digest swapped, the old signature
   replayed under the new digest's name) is refused with "Release not
   verified" and nothing is installed; so is one whose signature is missing.
3. The host stops in the middle of the downloads: "Download failed", the
   installation unchanged and every partial download kept only with its
   resume record; RETRY after the host is back installs the release and
   leaves no partial download.
4. A file on the host that no longer matches its signed digest fails the
   download with "Downloaded file does not match the release: <path>." and
   changes nothing; RETRY after the host is repaired installs the release.
"""

import hashlib
import json
import os
import shutil
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e_common as e  # noqa: E402
from e2e_common import lh  # noqa: E402

MANIFEST = "update_manifest.json"
NOT_SIGNED = "The release list is not signed by Tinderhallow. Nothing was installed."
NO_SIGNATURE = "The release signature could not be downloaded. Nothing was installed."
BIG = 6 << 20


def signature_path(manifest_bytes):
    return "manifests/%s.sig" % hashlib.sha256(manifest_bytes).hexdigest()


class StaticHost(unittest.TestCase):
    def setUp(self):
        self.h = h = lh.LauncherHarness(lh.find_build_dir(), name="e2e_static_host")
        self.addCleanup(h.close)
        self.www = os.path.join(h.scratch, "www")
        self.folder = os.path.join(h.scratch, "Tinderhallow")
        self.v1 = {
            "Tinderhallow.exe": e.read(h.launcher_exe),
            "TinderhallowGame.exe": e.read(h.exe("TinderhallowGame.exe")),
            "data/arena.map": b"arena " * 20000,
            "readme.txt": b"Tinderhallow on a static host\n",
        }
        # Large enough that the slowed host is still sending when it stops.
        self.v2 = dict(self.v1)
        for name in ("data/deep_a.pak", "data/deep_b.pak", "data/deep_c.pak"):
            self.v2[name] = os.urandom(BIG)
        self.service = None
        self.nginx = None
        self.launcher = None
        self.signed_manifest = None

    def served(self, path):
        return os.path.join(self.www, *path.split("/"))

    def game_gets(self, requests, files):
        return sorted(r["path"].lstrip("/") for r in requests if r["path"].lstrip("/") in files)

    # -- 1 --

    def signed_release_installs(self):
        h = self.h
        os.makedirs(self.www)
        e.publish(h.build_dir, h.scratch, self.v1, self.www, "static-1")
        self.signed_manifest = e.read(self.served(MANIFEST))
        # About 4 MB/s per connection: small files pass at once, the large
        # ones of the later release take a few seconds.
        self.nginx = h.start_nginx(self.www, host="127.0.0.2", limit_rate="4m")
        self.service = h.start_reference_server(accounts={e.ACCOUNT: e.PASSWORD})
        h.prepare_launcher_dir(self.folder, patch_source=self.nginx.url + "/", server_url=self.service.url)
        self.launcher = h.start_launcher(self.folder, trace_text=True)
        h.wait_window()
        self.launcher.wait_status("Update available", "3 files ready to install")
        # The patch notes are fetched beside the check, in any order.
        paths = [r["path"] for r in self.nginx.requests() if r["path"] != "/patch_notes.json"]
        self.assertEqual(paths[:2], ["/" + MANIFEST, "/" + signature_path(self.signed_manifest)],
                         "release list, then its signature")
        e.log_in(h, self.launcher)
        self.launcher.wait_status("Game is ready", "Release static-1", timeout=120)
        self.assertEqual(e.installed_files(self.folder, self.v1), [], "files differing from release static-1")
        self.assertEqual(e.read(os.path.join(self.folder, MANIFEST)), self.signed_manifest, "installed manifest")

    # -- 2 --

    def tampered_release_is_refused(self):
        h = self.h
        before_files = e.snapshot(self.folder)
        before_requests = len(self.nginx.requests())
        # An attacker's build of the game, listed under the real signature.
        evil = b"not the publisher's game"
        manifest = json.loads(self.signed_manifest)
        for entry in manifest["files"]:
            if entry["path"] == "TinderhallowGame.exe":
                entry.update(size=len(evil), sha256=hashlib.sha256(evil).hexdigest())
        manifest["releaseId"] = "static-evil"
        tampered = json.dumps(manifest, indent=2).encode()
        with open(self.served("TinderhallowGame.exe"), "wb") as f:
            f.write(evil)
        with open(self.served(MANIFEST), "wb") as f:
            f.write(tampered)
        shutil.copyfile(self.served(signature_path(self.signed_manifest)), self.served(signature_path(tampered)))

        h.click(491, 779)  # REPAIR
        shown = self.launcher.wait_status("Release not verified", NOT_SIGNED)
        self.assertEqual(shown.button, "RETRY", "main button")
        misses = e.wait_pixels(h, "static-not-verified", [("RETRY face", (1340, 836), e.face(e.BRIGHT_RED, 836))])
        self.assertFalse(misses, "; ".join(misses))
        cache = os.path.join(self.folder, ".patch_remote", MANIFEST)

        def refused_list_not_kept():
            # The cached copy stays the release accepted before; none of the
            # check's own downloads is left beside it.
            leftovers = [n for n in os.listdir(os.path.dirname(cache)) if n.startswith(MANIFEST + ".")]
            return e.read(cache) == self.signed_manifest and not leftovers
        self.assertTrue(refused_list_not_kept(), "the refused release list is not kept")

        # The same release list without any signature.
        os.remove(self.served(signature_path(tampered)))
        h.click(*e.MAIN_BUTTON)  # RETRY
        self.launcher.wait_status("Release not verified", NO_SIGNATURE)
        time.sleep(0.5)
        self.assertEqual(self.launcher.status().title, "Release not verified", "status stays")
        self.assertTrue(refused_list_not_kept(), "the unsigned release list is not kept")

        self.assertEqual(e.snapshot(self.folder), before_files, "installation after the refusals")
        requests = self.nginx.requests()[before_requests:]
        self.assertEqual(self.game_gets(requests, self.v1), [], "game files fetched from a refused release")

    # -- 3 --

    def host_stops_during_downloads(self):
        h = self.h
        e.publish(h.build_dir, h.scratch, self.v2, self.www, "static-2")
        before_files = e.snapshot(self.folder)
        cache = os.path.join(self.folder, ".patch_remote")
        h.click(*e.MAIN_BUTTON)  # RETRY: the check finds the new release and the update starts by itself

        def downloading():
            try:
                return any(name.endswith(".download") and os.path.getsize(os.path.join(root, name)) > 0
                           for root, _, names in os.walk(cache) for name in names)
            except OSError:
                return False
        lh.wait_until(downloading, 60, "a download in progress")
        self.nginx.stop()
        shown = self.launcher.wait_status("Download failed", timeout=120)
        self.assertTrue(shown.detail, "a download error is shown")
        print("     shown: %s / %s" % (shown.title, shown.detail))
        self.assertEqual(shown.button, "RETRY", "main button")
        misses = e.wait_pixels(h, "static-download-failed", [
            ("RETRY face", (1340, 836), e.face(e.BRIGHT_RED, 836)), ("empty progress bar", (700, 854), e.TRACK)])
        self.assertFalse(misses, "; ".join(misses))
        self.assertEqual(e.snapshot(self.folder), before_files, "installation after the failed download")
        # A broken transfer stays for RETRY to resume, only beside the record
        # of where its bytes came from.
        unrecorded = [os.path.join(root, name) for root, _, names in os.walk(cache) for name in names
                      if name.endswith(".download") and not os.path.exists(os.path.join(root, name + ".resume"))]
        self.assertEqual(unrecorded, [], "partial downloads without a resume record")

        self.nginx.start()
        h.click(*e.MAIN_BUTTON)  # RETRY
        self.launcher.wait_status("Game is ready", "Release static-2", timeout=180)
        self.assertEqual(e.installed_files(self.folder, self.v2), [], "files differing from release static-2")
        leftovers = [name for _, _, names in os.walk(cache) for name in names if ".download" in name]
        self.assertEqual(leftovers, [], "partial downloads left after the update")

    # -- 4 --

    def corrupted_file_is_not_installed(self):
        h = self.h
        v3 = dict(self.v2)
        v3["data/arena.map"] = b"arena, third season " * 6000
        e.publish(h.build_dir, h.scratch, v3, self.www, "static-3")
        # The host's copy goes bad after signing: same size, other bytes.
        good = e.read(self.served("data/arena.map"))
        with open(self.served("data/arena.map"), "wb") as f:
            f.write(good[:-7] + b"garbage")
        before_files = e.snapshot(self.folder)
        h.click(491, 779)  # REPAIR: the check finds the release and the update starts by itself
        shown = self.launcher.wait_status("Download failed",
                                          "Downloaded file does not match the release: data/arena.map.", timeout=120)
        self.assertEqual(shown.button, "RETRY", "main button")
        self.assertEqual(e.snapshot(self.folder), before_files, "installation after the failed verification")

        with open(self.served("data/arena.map"), "wb") as f:
            f.write(good)
        h.click(*e.MAIN_BUTTON)  # RETRY
        self.launcher.wait_status("Game is ready", "Release static-3", timeout=120)
        self.assertEqual(e.installed_files(self.folder, v3), [], "files differing from release static-3")
        h.close_window()
        self.assertEqual(self.launcher.wait(30), 0, "exit code")

    def test_a_signed_release_from_a_static_host_installs_and_nothing_unverified_or_broken_is_installed(self):
        signed = "a signed release from nginx on 127.0.0.2 installs"
        stopped = "the host stopping during downloads fails cleanly, and RETRY completes"
        e.run_steps(self, [
            (signed, self.signed_release_installs, []),
            ("a tampered or unsigned release list is refused and nothing installed", self.tampered_release_is_refused,
             [signed]),
            (stopped, self.host_stops_during_downloads, [signed]),
            ("a file that differs from its signed digest is never installed", self.corrupted_file_is_not_installed,
             [stopped]),
        ])


if __name__ == "__main__":
    lh.run_tests()
