#!/usr/bin/env python3
"""The update end to end: `TinderhallowTool update LAUNCHER_DIR ACCOUNT`, the
password on standard input, under Wine against tools/reference_server.py on
loopback (gated unless a case says otherwise), with releases published and
signed by tools/publish_release.py. Every case asserts on the files on disk
and on the server's request log.

Usage: test_update_worker.py BUILD_DIR   (WINEPREFIX: the build's prefix)
"""

import hashlib
import json
import os
import re
import shutil
import sys
import tempfile
import unittest
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

SOURCE = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(SOURCE / "tests" / "support"))
import launcher_harness as lh  # noqa: E402

_, TOOL, PREFIX, _ = lh.build_paths()

MIB = 1024 * 1024
ACCOUNT, PASSWORD = "Brannoc", "hunter2"
DOWNLOAD_TOKEN = "d0wnl0ad-t0ken"
# Files of the release folder that are not game files.
RELEASE_FILES = ("update_manifest.json", "patch_notes.json")
REFUSED = "The download server did not accept your login (HTTP 401). Log in again and retry."


class Run:
    """One `update` run: exit code, status lines and error output."""

    def __init__(self, completed):
        self.code = completed.code
        self.output = completed.stdout.decode("utf-8", "replace")
        self.errors = completed.stderr.decode("utf-8", "replace")
        self.statuses = [line for line in self.output.splitlines() if line.count("|") >= 3]

    @property
    def last(self):
        return self.statuses[-1] if self.statuses else ""

    def titled(self, phase_and_title):
        return [line for line in self.statuses if line.startswith(phase_and_title + "|")]

    def progress(self, line):
        return float(line.rsplit("|", 1)[1])


def run_update(launcher_dir, password_line=PASSWORD + "\n", password_argument=None):
    """PASSWORD_LINE goes to standard input; PASSWORD_ARGUMENT, when given,
    is the third argument of the older form."""
    extra = [] if password_argument is None else [password_argument]
    return Run(lh.run_in_prefix(PREFIX, TOOL, "update", lh.windows_path(launcher_dir), ACCOUNT, *extra,
                                stdin=password_line.encode(), timeout=180))


class ReferenceServer(lh.ReferenceServer):
    """The game service for the accounts file in ROOT and, given a release
    folder, its static host."""

    def __init__(self, root, release_dir, host, extra):
        super().__init__(str(root), None if release_dir is None else str(release_dir),
                         str(Path(root) / "accounts.json"), host=host, time_limit=300, extra_args=extra)

    def gets(self):
        return [entry for entry in self.requests() if entry["method"] == "GET"]

    def game_file_gets(self):
        return [entry for entry in self.gets()
                if entry["path"].lstrip("/") not in RELEASE_FILES
                and not entry["path"].startswith(("/manifests/", "/chunks/"))]


def publish(game_dir, release_dir, release_id):
    lh.publish_release(str(game_dir), str(release_dir), release_id)


def make_game(folder, files, seed):
    """files: relative path -> size; the bytes follow from path and seed."""
    for name, size in files.items():
        path = Path(folder) / name
        path.parent.mkdir(parents=True, exist_ok=True)
        block = (name + "/" + seed).encode() * 64
        with open(path, "wb") as f:
            f.write((block * (size // len(block) + 1))[:size])


def game_files(folder):
    """Relative path -> SHA-256 of every file below folder; work folders,
    settings files, published signatures and chunk indexes left out."""
    found = {}
    for path in Path(folder).rglob("*"):
        relative = path.relative_to(folder).as_posix()
        if path.is_file() and not relative.startswith((".patch", "manifests/", "chunks/")) and not relative.endswith(".txt"):
            found[relative] = hashlib.sha256(path.read_bytes()).hexdigest()
    return found


class Case:
    def __init__(self, folder, server):
        self.folder = folder
        self.server = server
        self.password_line = PASSWORD + "\n"
        self.password_argument = None
        self.run = None


class UpdateWorker(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        lh.keep_wineserver_running(PREFIX)
        cls.root = Path(tempfile.mkdtemp(prefix="th_update_worker_"))
        cls.servers = []
        (cls.root / "accounts.json").write_text(json.dumps({ACCOUNT: PASSWORD}))

        # Files large enough that every download thread is still busy with
        # its first file when the last one starts.
        cls.three = cls.release("three", "r3", {"a.pak": 6 * MIB, "data/b.pak": 6 * MIB, "data/c.pak": 6 * MIB})
        cls.twenty = cls.release("twenty", "r20", {"chunk/%02d.pak" % i: 2 * MIB for i in range(20)})
        cls.small = cls.release("small", "r1", {"a.pak": 4096, "data/b.pak": 3000, "data/c.pak": 1500})
        # The same a.pak as the small release: only data/* goes away.
        cls.dropping = cls.release("dropping", "r2", {"a.pak": 4096}, seed="r1")
        cls.missing = cls.release("missing", "r404", {"a.pak": 4096, "data/b.pak": 3000, "data/c.pak": 1500})
        (cls.missing / "data" / "b.pak").unlink()
        # Listed at 3000 bytes, served at 40 MiB.
        cls.swollen = cls.release("swollen", "r-swollen", {"a.pak": 4096, "data/b.pak": 3000, "data/c.pak": 1500})
        with open(cls.swollen / "data" / "b.pak", "r+b") as f:
            f.truncate(40 * MIB)

        try:
            cls.run_all_cases()
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        for server in cls.servers:
            server.stop()
        shutil.rmtree(cls.root, ignore_errors=True)

    @classmethod
    def release(cls, name, release_id, files, seed=None):
        game = cls.root / ("game_" + name)
        make_game(game, files, seed or release_id)
        release_dir = cls.root / ("release_" + name)
        publish(game, release_dir, release_id)
        return release_dir

    # Every case prepares its launcher folder and server first; then all
    # runs go at once, since most of a run is Wine starting a program.
    @classmethod
    def run_all_cases(cls):
        cls.cases = {}
        for name in sorted(dir(cls)):
            if name.startswith("prepare_"):
                cls.cases[name[len("prepare_"):]] = getattr(cls, name)()
        with ThreadPoolExecutor(max_workers=4) as pool:
            runs = {name: pool.submit(run_update, case.folder, case.password_line, case.password_argument)
                    for name, case in cls.cases.items()}
            for name, future in runs.items():
                cls.cases[name].run = future.result()

    @classmethod
    def case_for(cls, release_dir, source="http", installed=None, extra=("--gated", "--download-token", DOWNLOAD_TOKEN),
                 host="127.0.0.2"):
        """A launcher folder whose game service is a fresh reference server
        (serving release_dir when the source is "http"), with the files and
        manifest of `installed` (a release folder) already in place."""
        server = ReferenceServer(cls.root, release_dir if source == "http" else None, host, extra)
        cls.servers.append(server)
        folder = Path(tempfile.mkdtemp(prefix="launcher_", dir=cls.root))
        if installed is not None:
            shutil.copytree(installed, folder, dirs_exist_ok=True, ignore=shutil.ignore_patterns("manifests", "chunks"))
        (folder / "server_url.txt").write_text(server.url + "\n")
        (folder / "patch_source.txt").write_text((server.url if source == "http" else lh.windows_path(release_dir)) + "\n")
        return Case(folder, server)

    def case(self, name):
        return self.cases[name]

    def assert_ready(self, case, release_dir, release_id):
        self.assertEqual(case.run.last, "Ready|Game is ready|Release %s|1.000" % release_id, case.run.output)
        self.assertEqual(case.run.code, 0, case.run.errors)
        expected = game_files(release_dir)
        expected.pop("patch_notes.json", None)
        self.assertEqual(game_files(case.folder), expected)

    def assert_cache(self, case, names):
        self.assertEqual(sorted(os.listdir(case.folder / ".patch_remote")), sorted(names))

    def connections(self, case):
        return {entry["connection"] for entry in case.server.game_file_gets()}

    def assert_downloads_carried_the_token(self, case):
        gets = case.server.game_file_gets()
        self.assertTrue(gets)
        for entry in gets:
            self.assertEqual(lh.request_header(entry, "Authorization"), "Bearer " + DOWNLOAD_TOKEN, entry["path"])

    # -- download threads ----------------------------------------------------

    @classmethod
    def prepare_three_files(cls):
        return cls.case_for(cls.three)

    def test_three_files_are_fetched_by_three_threads_with_the_download_token(self):
        case = self.case("three_files")
        self.assert_ready(case, self.three, "r3")
        gets = case.server.game_file_gets()
        self.assertEqual(sorted(entry["path"] for entry in gets), ["/a.pak", "/data/b.pak", "/data/c.pak"])
        self.assertEqual([entry["status"] for entry in gets], [200] * 3)
        self.assertEqual(len(self.connections(case)), 3)
        self.assert_downloads_carried_the_token(case)
        # The release check ran before the login: no token yet.
        (manifest_get,) = [e for e in case.server.gets() if e["path"] == "/update_manifest.json"]
        self.assertIsNone(lh.request_header(manifest_get, "Authorization"))

    def test_downloads_report_finished_files_and_bytes_as_they_arrive_up_to_045(self):
        run = self.case("three_files").run
        downloads = run.titled("Updating|Downloading update")
        self.assertTrue(downloads, run.output)
        counts = []
        for line in downloads:
            match = re.match(r"^Updating\|Downloading update\|([0-3]) of 3 files, ([0-9]+) of 18 MB"
                             r"(, [0-9.]+ [KM]B/s(, about [0-9]+ (s|min) left)?)?\|", line)
            self.assertTrue(match, line)
            counts.append((int(match.group(1)), int(match.group(2))))
        self.assertEqual(counts, sorted(counts))
        self.assertEqual(downloads[-1], "Updating|Downloading update|3 of 3 files, 18 of 18 MB|0.450")
        progress = [run.progress(line) for line in downloads]
        self.assertEqual(progress, sorted(progress))
        installs = run.titled("Updating|Installing update")
        self.assertGreaterEqual(run.progress(installs[0]), 0.45)
        self.assertEqual(installs[-1], "Updating|Installing update|Update complete|1.000")

    def test_after_success_only_the_release_list_and_its_signature_stay_in_the_cache(self):
        self.assert_cache(self.case("three_files"), ["update_manifest.json", "update_manifest.sig"])

    @classmethod
    def prepare_twenty_files(cls):
        case = cls.case_for(cls.twenty)
        cache = case.folder / ".patch_remote"
        (cache / "stale").mkdir(parents=True)
        (cache / "stale" / "old.pak").write_bytes(b"from an earlier update")
        (cache / "left.pak.download").write_bytes(b"partial")
        (cache / "patch_notes.json").write_text('{"entries": []}')
        return case

    def test_twenty_files_are_fetched_by_eight_threads(self):
        case = self.case("twenty_files")
        self.assert_ready(case, self.twenty, "r20")
        gets = case.server.game_file_gets()
        self.assertEqual(len(gets), 20)
        self.assertEqual(len({entry["path"] for entry in gets}), 20)
        self.assertEqual(len(self.connections(case)), 8)
        self.assert_downloads_carried_the_token(case)

    def test_after_success_the_cache_keeps_the_patch_notes_and_loses_everything_else(self):
        self.assert_cache(self.case("twenty_files"), ["patch_notes.json", "update_manifest.json",
                                                      "update_manifest.sig"])

    # -- failures ------------------------------------------------------------

    @classmethod
    def prepare_missing_file(cls):
        return cls.case_for(cls.missing, installed=cls.small)

    def test_a_missing_file_fails_the_download_with_its_404_and_leaves_the_installation_alone(self):
        case = self.case("missing_file")
        self.assertEqual(case.run.last, "Error|Download failed|Patch server returned HTTP 404 for data/b.pak.|0.000",
                         case.run.output)
        self.assertEqual(case.run.code, 1)
        missing = [entry for entry in case.server.game_file_gets() if entry["path"] == "/data/b.pak"]
        self.assertEqual([entry["status"] for entry in missing], [404])  # not retried
        self.assertEqual(case.run.titled("Updating|Installing update"), [])
        self.assertEqual(game_files(case.folder), game_files(self.small))
        self.assertFalse((case.folder / ".patch_remote" / "data" / "b.pak").exists())
        self.assertFalse((case.folder / ".patch_remote" / "data" / "b.pak.download").exists())

    @classmethod
    def prepare_swollen_file(cls):
        return cls.case_for(cls.swollen, installed=cls.small)

    def test_a_file_served_at_another_size_than_listed_fails_before_anything_is_staged(self):
        case = self.case("swollen_file")
        self.assertEqual(case.run.last, "Error|Download failed|Patch server sent data/b.pak with a size that does not "
                                        "match the release manifest (3000 bytes).|0.000", case.run.output)
        self.assertEqual(case.run.code, 1)
        swollen = [entry for entry in case.server.game_file_gets() if entry["path"] == "/data/b.pak"]
        self.assertEqual(len(swollen), 3)  # retried: a host can be caught mid-publication
        self.assertEqual(case.run.titled("Updating|Installing update"), [])
        self.assertFalse((case.folder / ".patch_staging").exists())
        self.assertFalse((case.folder / ".patch_remote" / "data" / "b.pak").exists())
        self.assertFalse((case.folder / ".patch_remote" / "data" / "b.pak.download").exists())
        self.assertEqual(game_files(case.folder), game_files(self.small))

    @classmethod
    def prepare_refused_token(cls):
        return cls.case_for(cls.small, extra=("--refuse-download-tokens",))

    def test_a_refused_download_token_shows_the_401_text_under_download_failed(self):
        case = self.case("refused_token")
        self.assertEqual(case.run.last, "Error|Download failed|%s|0.000" % REFUSED, case.run.output)
        self.assertEqual(case.run.code, 1)
        gets = case.server.game_file_gets()
        self.assertTrue(gets)
        self.assertEqual({entry["status"] for entry in gets}, {401})
        for entry in gets:
            self.assertRegex(lh.request_header(entry, "Authorization") or "", r"^Bearer [0-9a-f]{32}$")
        self.assertEqual(game_files(case.folder), {})

    @classmethod
    def prepare_frozen_source(cls):
        extra = ("--gated", "--download-token", DOWNLOAD_TOKEN, "--release-sequence", "2")
        return cls.case_for(cls.small, extra=extra)

    def test_a_release_older_than_the_game_service_names_current_is_not_installed(self):
        case = self.case("frozen_source")
        self.assertEqual(case.run.last, "Error|Patch source out of date|The patch source offers release r1, but a "
                         "newer release is current. Nothing was installed.|0.000", case.run.output)
        self.assertEqual(case.run.code, 1)
        self.assertEqual(case.server.game_file_gets(), [])
        self.assertEqual(game_files(case.folder), {})

    @classmethod
    def prepare_wrong_password(cls):
        case = cls.case_for(cls.small)
        case.password_line = "hunter3\n"
        return case

    def test_a_refused_login_is_printed_and_nothing_is_downloaded(self):
        case = self.case("wrong_password")
        self.assertEqual(case.run.code, 1)
        self.assertEqual(case.run.errors, "Wrong account name or password.\n")
        self.assertEqual(case.run.last, "UpdateAvailable|Update available|3 files ready to install|0.000")
        self.assertEqual(case.server.game_file_gets(), [])
        self.assertEqual(game_files(case.folder), {})

    # -- the password ----------------------------------------------------------

    @classmethod
    def prepare_password_line_with_crlf(cls):
        case = cls.case_for(cls.small)
        case.password_line = PASSWORD + "\r\n"
        return case

    @classmethod
    def prepare_password_on_command_line(cls):
        case = cls.case_for(cls.small)
        case.password_line = ""
        case.password_argument = PASSWORD
        return case

    @classmethod
    def prepare_no_password(cls):
        case = cls.case_for(cls.small)
        case.password_line = ""
        return case

    def test_the_password_comes_from_standard_input_and_on_the_command_line_only_with_a_warning(self):
        case = self.case("password_line_with_crlf")
        self.assert_ready(case, self.small, "r1")
        self.assertEqual(case.run.errors, "")

        # Every process on the machine can read a command line.
        case = self.case("password_on_command_line")
        self.assert_ready(case, self.small, "r1")
        self.assertEqual(case.run.errors, "Warning: a password on the command line can be read by every process "
                                          "on this machine; give it on standard input instead.\n")

        case = self.case("no_password")
        self.assertEqual(case.run.code, 2)
        self.assertEqual(case.run.errors, "No password on standard input.\n")
        self.assertEqual(case.server.requests(), [])
        self.assertEqual(game_files(case.folder), {})

    @classmethod
    def prepare_cache_left_by_another_release(cls):
        # An earlier update that failed left its downloads behind, from a
        # release where "data" was a file and "a.pak" a folder.
        case = cls.case_for(cls.small)
        cache = case.folder / ".patch_remote"
        cache.mkdir(parents=True)
        (cache / "data").write_bytes(b"a file of an earlier release")
        (cache / "a.pak").mkdir()
        (cache / "a.pak" / "part.bin").write_bytes(b"a folder of an earlier release")
        return case

    def test_downloads_left_by_an_earlier_release_do_not_block_the_paths_of_this_one(self):
        case = self.case("cache_left_by_another_release")
        self.assert_ready(case, self.small, "r1")
        self.assert_cache(case, ["update_manifest.json", "update_manifest.sig"])

    @classmethod
    def prepare_cache_left_by_an_earlier_attempt(cls):
        # An earlier attempt of this update left a.pak whole and data/b.pak
        # with one byte changed (a disk fault, a tampered file).
        case = cls.case_for(cls.small)
        cache = case.folder / ".patch_remote"
        (cache / "data").mkdir(parents=True)
        shutil.copy(cls.small / "a.pak", cache / "a.pak")
        damaged = bytearray((cls.small / "data" / "b.pak").read_bytes())
        damaged[1000] ^= 0x01
        (cache / "data" / "b.pak").write_bytes(bytes(damaged))
        return case

    def test_a_verified_copy_left_in_the_cache_is_used_and_a_damaged_one_downloaded_again(self):
        case = self.case("cache_left_by_an_earlier_attempt")
        self.assert_ready(case, self.small, "r1")
        self.assertEqual(sorted(entry["path"] for entry in case.server.game_file_gets()),
                         ["/data/b.pak", "/data/c.pak"])

    # -- plans without downloads ----------------------------------------------

    @classmethod
    def prepare_folder_source(cls):
        return cls.case_for(cls.small, source="folder")

    def test_a_folder_source_downloads_nothing_and_installs_from_0_to_1(self):
        case = self.case("folder_source")
        self.assert_ready(case, self.small, "r1")
        self.assertEqual(case.server.gets(), [])
        self.assertEqual(case.run.titled("Updating|Downloading update"), [])
        installs = case.run.titled("Updating|Installing update")
        progress = [case.run.progress(line) for line in installs]
        self.assertLess(progress[0], 0.45, case.run.output)
        self.assertEqual(progress, sorted(progress))
        self.assertEqual(installs[-1], "Updating|Installing update|Update complete|1.000")
        self.assertEqual(sorted(os.listdir(self.small)), ["a.pak", "data", "manifests", "update_manifest.json"])

    @classmethod
    def prepare_only_drops(cls):
        return cls.case_for(cls.dropping, installed=cls.small)

    def test_a_release_that_only_drops_files_fetches_nothing_and_removes_them(self):
        case = self.case("only_drops")
        self.assert_ready(case, self.dropping, "r2")
        self.assertEqual(case.server.game_file_gets(), [])
        self.assertEqual(case.run.titled("Updating|Downloading update"), [])
        self.assertFalse((case.folder / "data" / "b.pak").exists())
        self.assertFalse((case.folder / "data" / "c.pak").exists())
        self.assertEqual((case.folder / "a.pak").read_bytes(), (self.small / "a.pak").read_bytes())
        self.assert_cache(case, ["update_manifest.json", "update_manifest.sig"])

    @classmethod
    def prepare_already_current(cls):
        return cls.case_for(cls.small, installed=cls.small)

    def test_an_installation_that_is_current_logs_in_and_updates_nothing(self):
        case = self.case("already_current")
        self.assertEqual(case.run.statuses[-1], "Ready|Game is ready|Release r1|1.000", case.run.output)
        self.assertEqual(case.run.code, 0)
        self.assertEqual(case.run.titled("Updating|Installing update"), [])
        self.assertEqual(case.server.game_file_gets(), [])
        logins = [e for e in case.server.requests() if e["path"].endswith("/session/login")]
        self.assertEqual(len(logins), 1)

    # -- links and hard links in the work folders ----------------------------

    # Under Wine a folder link is a Unix symbolic link: shown as a reparse
    # point, but Wine cannot remove the link itself, so the update stops at a
    # link it would have to pass through (on Windows the link is removed).
    LINK_IN_THE_WAY = " is a link to another folder, which the launcher does not enter. Remove the link and retry."

    @classmethod
    def linked_case(cls, name, release, installed, link, outside_files):
        case = cls.case_for(release, installed=installed)
        case.outside = cls.root / ("outside_" + name)
        for relative, data in outside_files.items():
            (case.outside / relative).parent.mkdir(parents=True, exist_ok=True)
            (case.outside / relative).write_bytes(data)
        case.outside_before = game_files(case.outside)
        case.link = case.folder / link
        case.link.parent.mkdir(parents=True, exist_ok=True)
        os.symlink(case.outside, case.link, target_is_directory=True)
        return case

    @classmethod
    def prepare_link_in_cache_stash(cls):
        return cls.linked_case("stash", cls.small, None, ".patch_remote/stash", {"thesis.pak": b"years of work"})

    @classmethod
    def prepare_link_in_cache_data(cls):
        return cls.linked_case("data", cls.small, None, ".patch_remote/data",
                               {"thesis.pak": b"years of work", "b.pak": b"not the game's"})

    @classmethod
    def prepare_link_as_staging(cls):
        return cls.linked_case("staging", cls.small, None, ".patch_staging",
                               {"thesis.pak": b"years of work", "r1/notes.pak": b"notes"})

    @classmethod
    def prepare_link_as_rollback(cls):
        return cls.linked_case("rollback", cls.dropping, cls.small, ".patch_rollback",
                               {"thesis.pak": b"years of work", "data/b.pak": b"not the game's"})

    def test_no_removal_or_write_follows_a_link_out_of_a_work_folder(self):
        expected = {
            "link_in_cache_data": "Error|Download failed|Could not create download folder: ",
            "link_as_staging": "Error|Update failed|Could not create patch staging folder: ",
            "link_as_rollback": "Error|Update failed|Could not create rollback folder: ",
        }
        for name in ["link_in_cache_stash"] + list(expected):
            case = self.case(name)
            self.assertEqual(game_files(case.outside), case.outside_before, name)
        for name, start in expected.items():
            case = self.case(name)
            self.assertEqual(case.run.last, start + lh.windows_path(case.link) + self.LINK_IN_THE_WAY + "|0.000",
                             case.run.output)
        self.assertEqual(game_files(self.case("link_as_rollback").folder), game_files(self.small))
        self.assert_ready(self.case("link_in_cache_stash"), self.small, "r1")

    @classmethod
    def prepare_hard_linked_kept_download(cls):
        # An installed a.pak one byte off the release's makes the update
        # rebuild it from its chunks into the kept download's place.
        case = cls.case_for(cls.three)
        installed = bytearray((cls.three / "a.pak").read_bytes())
        installed[5000] ^= 0x01
        (case.folder / "a.pak").write_bytes(bytes(installed))
        case.outside = cls.root / "outside_hard_link.pak"
        case.outside.write_bytes(b"a player's file " * 4096)
        (case.folder / ".patch_remote").mkdir()
        os.link(case.outside, case.folder / ".patch_remote" / "a.pak.download")
        return case

    def test_a_kept_download_with_another_name_is_discarded_not_written_through(self):
        case = self.case("hard_linked_kept_download")
        self.assert_ready(case, self.three, "r3")
        self.assertEqual(case.outside.read_bytes(), b"a player's file " * 4096)


if __name__ == "__main__":
    lh.run_tests()
