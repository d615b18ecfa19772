#!/usr/bin/env python3
"""The release check end to end: `TinderhallowTool check LAUNCHER_DIR` under
Wine against release folders served by tools/reference_server.py on loopback
addresses and published (and signed) by tools/publish_release.py.

Usage: test_release_check.py BUILD_DIR   (WINEPREFIX: the build's prefix)
"""

import hashlib
import shutil
import sys
import tempfile
import unittest
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

SOURCE = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(SOURCE / "tests" / "support"))
import launcher_harness as lh  # noqa: E402

BUILD, TOOL, PREFIX, _ = lh.build_paths()

MIB = 1024 * 1024
RELEASE_LIST_LIMIT = 64 * MIB
SIGNATURE_LIMIT = 16 * 1024

NOT_DOWNLOADED = "The release signature could not be downloaded. Nothing was installed."
NOT_SIGNED = "The release list is not signed by Tinderhallow. Nothing was installed."


def sha256(path):
    return hashlib.sha256(Path(path).read_bytes()).hexdigest()


class Run:
    """One `check` run: exit code, status lines and plan lines."""

    def __init__(self, completed):
        self.code = completed.code
        self.output = completed.stdout.decode("utf-8", "replace")
        lines = self.output.splitlines()
        self.statuses = [line for line in lines if line.count("|") >= 3]
        self.plan = [line for line in lines if line.count("|") < 3]

    @property
    def last(self):
        return self.statuses[-1] if self.statuses else ""


def run_check(launcher_dir, exe=TOOL):
    return Run(lh.run_in_prefix(PREFIX, exe, "check", lh.windows_path(launcher_dir)))


class Case:
    """A launcher folder, the server its source names (if any), the program
    that checks it, and the run."""

    def __init__(self, folder, server=None):
        self.folder = folder
        self.server = server
        self.exe = TOOL
        self.run = None


def requested_paths(server):
    return [entry["path"] for entry in server.requests()]


def publish(game_dir, release_dir, release_id, minimum=1):
    lh.publish_release(str(game_dir), str(release_dir), release_id, minimum_launcher=minimum)


class ReleaseCheck(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        lh.keep_wineserver_running(PREFIX)
        cls.root = Path(tempfile.mkdtemp(prefix="th_release_check_"))
        cls.servers = []
        game = cls.root / "game"
        (game / "data").mkdir(parents=True)
        (game / "a.pak").write_bytes(b"alpha" * 200)
        (game / "data" / "b.pak").write_bytes(b"bravo" * 30)
        cls.game = game

        cls.signed = cls.root / "signed"
        publish(game, cls.signed, "r1")
        cls.unsigned = cls.root / "unsigned"
        shutil.copytree(cls.signed, cls.unsigned)
        shutil.rmtree(cls.unsigned / "manifests")

        # A valid signature of another manifest, under this manifest's name.
        smaller = cls.root / "game_smaller"
        smaller.mkdir()
        shutil.copy(game / "a.pak", smaller / "a.pak")
        cls.dropped = cls.root / "dropped"
        publish(smaller, cls.dropped, "r2")
        cls.badsig = cls.root / "badsig"
        shutil.copytree(cls.signed, cls.badsig)
        (signature,) = (cls.badsig / "manifests").iterdir()
        (dropped_signature,) = (cls.dropped / "manifests").iterdir()
        shutil.copy(dropped_signature, signature)

        # Moving to a new release key: releases signed with the old (the
        # development) key, with both, and with the new one alone.
        rotation_key = str(SOURCE / "tests" / "support" / "rotation_signing_key.pem")
        dev_key = str(SOURCE / "tools" / "dev_signing_key.pem")
        cls.rotation = {}
        for name, keys in (("old", [dev_key]), ("both", [dev_key, rotation_key]), ("new", [rotation_key])):
            cls.rotation[name] = cls.root / ("signed_" + name)
            lh.publish_release(str(game), str(cls.rotation[name]), "rot-" + name, key=keys)

        cls.minimum2 = cls.root / "minimum2"
        publish(game, cls.minimum2, "r1-needs-2", minimum=2)

        # A release list and a signature just above their limits (sparse).
        cls.big_list = cls.root / "big_list"
        cls.big_list.mkdir()
        with open(cls.big_list / "update_manifest.json", "wb") as f:
            f.truncate(RELEASE_LIST_LIMIT + 1)
        cls.big_signature = cls.root / "big_signature"
        shutil.copytree(cls.signed, cls.big_signature)
        (signature,) = (cls.big_signature / "manifests").iterdir()
        signature.write_bytes(b"A" * (SIGNATURE_LIMIT + 1))

        # A release that carries a launcher different from the running one.
        with_launcher = cls.root / "game_with_launcher"
        shutil.copytree(game, with_launcher)
        cls.new_launcher_bytes = TOOL.read_bytes() + b"newer launcher build"
        (with_launcher / "Tinderhallow.exe").write_bytes(cls.new_launcher_bytes)
        cls.launcher_release = cls.root / "launcher_release"
        publish(with_launcher, cls.launcher_release, "r3")

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

    # Every case prepares its launcher folder (and server) first; then all
    # checks run at once, since most of a run is Wine starting a program.
    @classmethod
    def run_all_cases(cls):
        cls.cases = {}
        for name in sorted(dir(cls)):
            if name.startswith("prepare_"):
                case = getattr(cls, name)()
                cls.cases[name[len("prepare_"):]] = case
        # A prepare_ method may give a dict of cases; each runs.
        every = [case for value in cls.cases.values() for case in (value.values() if isinstance(value, dict) else [value])]
        with ThreadPoolExecutor(max_workers=4) as pool:
            runs = [(case, pool.submit(run_check, case.folder, case.exe)) for case in every]
            for case, future in runs:
                case.run = future.result()

    @classmethod
    def server(cls, release_dir, host):
        server = lh.ReferenceServer(str(cls.root), str(release_dir), host=host)
        cls.servers.append(server)
        return server

    @classmethod
    def launcher_dir(cls, source, installed_release=None, files=("a.pak", "data/b.pak")):
        """A launcher folder with the game files and installed manifest of
        `installed_release` (default: the signed r1) and patch_source.txt."""
        folder = Path(tempfile.mkdtemp(prefix="launcher_", dir=cls.root))
        release = installed_release or cls.signed
        for name in files:
            (folder / name).parent.mkdir(parents=True, exist_ok=True)
            shutil.copy(release / name, folder / name)
        if installed_release is not False:
            shutil.copy(release / "update_manifest.json", folder / "update_manifest.json")
        if source is not None:
            (folder / "patch_source.txt").write_text(source + "\n")
        return folder

    @classmethod
    def remote_case(cls, release_dir, host, url_host=None, **launcher):
        server = cls.server(release_dir, host)
        return Case(cls.launcher_dir((server.url_for(url_host) if url_host else server.url), **launcher), server)

    def case(self, name):
        return self.cases[name]

    def assert_status(self, run, expected):
        self.assertEqual(run.last, expected, run.output)

    def signature_requests(self, server):
        return [path for path in requested_paths(server) if path.startswith("/manifests/")]

    # -- remote sources and signatures -------------------------------------

    @classmethod
    def prepare_loopback_unsigned(cls):
        return cls.remote_case(cls.unsigned, "127.0.0.1")

    def test_unsigned_release_on_127_0_0_1_is_accepted_without_a_signature_request(self):
        case = self.case("loopback_unsigned")
        run = case.run
        self.assert_status(run, "Ready|Game is ready|Release r1|1.000")
        self.assertEqual(run.statuses[0], "Checking|Checking installed files|Comparing release manifests|0.080")
        self.assertIn("Checking|Checking test channel|Downloading release manifest|0.200", run.statuses)
        self.assertEqual(run.plan, ["bytes 0"])
        self.assertEqual(requested_paths(case.server), ["/update_manifest.json"])
        self.assertTrue((case.folder / ".patch_remote" / "update_manifest.json").exists())
        self.assertEqual(run.code, 0)

    @classmethod
    def prepare_remote_unsigned(cls):
        return cls.remote_case(cls.unsigned, "127.0.0.2")

    def test_unsigned_release_on_127_0_0_2_is_not_verified_and_its_cached_list_is_deleted(self):
        case = self.case("remote_unsigned")
        self.assert_status(case.run, "Error|Release not verified|%s|0.000" % NOT_DOWNLOADED)
        digest = sha256(self.unsigned / "update_manifest.json")
        self.assertEqual(self.signature_requests(case.server), ["/manifests/%s.sig" % digest])
        self.assertFalse((case.folder / ".patch_remote" / "update_manifest.json").exists())
        self.assertEqual(case.run.plan, [])
        self.assertEqual(case.run.code, 1)

    @classmethod
    def prepare_remote_badsig(cls):
        return cls.remote_case(cls.badsig, "127.0.0.2")

    def test_wrongly_signed_release_is_not_verified_and_its_cached_list_is_deleted(self):
        case = self.case("remote_badsig")
        self.assert_status(case.run, "Error|Release not verified|%s|0.000" % NOT_SIGNED)
        self.assertFalse((case.folder / ".patch_remote" / "update_manifest.json").exists())
        self.assertEqual(case.run.plan, [])

    @classmethod
    def prepare_remote_signed(cls):
        return cls.remote_case(cls.signed, "127.0.0.2")

    def test_correctly_signed_release_on_127_0_0_2_is_accepted(self):
        case = self.case("remote_signed")
        self.assert_status(case.run, "Ready|Game is ready|Release r1|1.000")
        self.assertEqual(len(self.signature_requests(case.server)), 1)
        self.assertTrue((case.folder / ".patch_remote" / "update_manifest.json").exists())
        self.assertTrue((case.folder / ".patch_remote" / "update_manifest.sig").exists())

    # Builds that trust the old key alone (this build), both keys, and the
    # new key alone, each against each kind of release.
    ROTATION_BUILDS = {"old": TOOL, "both": BUILD / "TinderhallowTool_dev_and_rotation.exe",
                       "new": BUILD / "TinderhallowTool_rotation_only.exe"}
    ROTATION_ACCEPTS = {("old", "old"), ("old", "both"), ("both", "old"), ("both", "both"), ("both", "new"),
                        ("new", "both"), ("new", "new")}

    @classmethod
    def prepare_key_rotation(cls):
        cases = {}
        for build, exe in cls.ROTATION_BUILDS.items():
            for release in cls.rotation:
                case = cls.remote_case(cls.rotation[release], "127.0.0.2")
                case.exe = exe
                cases[build, release] = case
        return cases

    def test_the_key_rotation_procedure_end_to_end(self):
        self.assertTrue((self.rotation["both"] / "manifests").is_dir())
        (both_signature,) = (self.rotation["both"] / "manifests").iterdir()
        self.assertRegex(both_signature.read_text(), r"^([0-9a-f]{16} [A-Za-z0-9+/]{86}==\n){2}$")
        for (build, release), case in self.case("key_rotation").items():
            with self.subTest(build=build, release=release):
                if (build, release) in self.ROTATION_ACCEPTS:
                    self.assert_status(case.run, "Ready|Game is ready|Release rot-%s|1.000" % release)
                else:
                    self.assert_status(case.run, "Error|Release not verified|%s|0.000" % NOT_SIGNED)

    @classmethod
    def prepare_one_missing_file(cls):
        return cls.remote_case(cls.signed, "127.0.0.2", files=("a.pak",))

    def test_one_missing_file_gives_one_file_ready_to_install(self):
        run = self.case("one_missing_file").run
        self.assert_status(run, "UpdateAvailable|Update available|1 files ready to install|0.000")
        size = (self.signed / "data" / "b.pak").stat().st_size
        self.assertEqual(run.plan, ["fetch %d data/b.pak" % size, "bytes %d" % size])
        self.assertEqual(run.code, 0)

    @classmethod
    def prepare_minimum_launcher_2(cls):
        return cls.remote_case(cls.minimum2, "127.0.0.1")

    def test_minimum_launcher_version_2_needs_a_launcher_update(self):
        run = self.case("minimum_launcher_2").run
        self.assert_status(run, "Error|Launcher update required|Download the newest Tinderhallow launcher|0.000")
        self.assertEqual(run.plan, [])

    @classmethod
    def prepare_nothing_listening(cls):
        return Case(cls.launcher_dir("http://127.0.0.1:%d/test" % lh.free_port()))

    def test_nothing_listening_leaves_the_test_channel_unavailable(self):
        run = self.case("nothing_listening").run
        self.assertRegex(run.last, r"^Error\|Test channel unavailable\|"
                                   r"(Patch server did not respond|Could not connect to patch server)"
                                   r" \(Windows error \d+\)\.\|0\.000$")

    @classmethod
    def prepare_cache_blocked(cls):
        case = cls.remote_case(cls.unsigned, "127.0.0.1")
        (case.folder / ".patch_remote").write_text("a file where the cache folder goes")
        return case

    def test_a_download_cache_that_cannot_be_created_leaves_the_test_channel_unavailable(self):
        case = self.case("cache_blocked")
        self.assertRegex(case.run.last,
                         r"^Error\|Test channel unavailable\|Could not prepare download cache: .+\|0\.000$")
        self.assertEqual(requested_paths(case.server), [])

    # -- which hosts count as the local test server ------------------------

    @classmethod
    def prepare_localhost(cls):
        server = cls.server(cls.unsigned, "127.0.0.1")
        return Case(cls.launcher_dir(server.url_for("localhost") + "/"), server)

    def test_localhost_with_a_port_is_not_signature_checked(self):
        case = self.case("localhost")
        self.assert_status(case.run, "Ready|Game is ready|Release r1|1.000")
        self.assertEqual(self.signature_requests(case.server), [])

    @classmethod
    def prepare_localhost_in_capitals(cls):
        return cls.remote_case(cls.unsigned, "127.0.0.1", url_host="LOCALHOST")

    def test_localhost_in_capitals_is_signature_checked(self):
        case = self.case("localhost_in_capitals")
        self.assert_status(case.run, "Error|Release not verified|%s|0.000" % NOT_DOWNLOADED)
        self.assertEqual(len(self.signature_requests(case.server)), 1)

    @classmethod
    def prepare_prefix_of_another_host(cls):
        return cls.remote_case(cls.unsigned, "127.0.0.10")

    def test_a_host_that_merely_begins_with_127_0_0_1_is_signature_checked(self):
        case = self.case("prefix_of_another_host")
        self.assert_status(case.run, "Error|Release not verified|%s|0.000" % NOT_DOWNLOADED)
        self.assertEqual(len(self.signature_requests(case.server)), 1)
        self.assertFalse((case.folder / ".patch_remote" / "update_manifest.json").exists())

    @classmethod
    def prepare_user_info(cls):
        server = cls.server(cls.unsigned, "127.0.0.2")
        return Case(cls.launcher_dir("http://localhost:1@127.0.0.2:%d/" % server.port), server)

    def test_a_loopback_name_in_the_user_info_does_not_skip_the_signature_check(self):
        case = self.case("user_info")
        self.assert_status(case.run, "Error|Release not verified|%s|0.000" % NOT_DOWNLOADED)
        self.assertEqual(len(self.signature_requests(case.server)), 1)

    # -- size limits ---------------------------------------------------------

    @classmethod
    def prepare_big_remote_list(cls):
        return cls.remote_case(cls.big_list, "127.0.0.2")

    def test_an_oversized_remote_release_list_is_refused_before_it_is_read(self):
        case = self.case("big_remote_list")
        self.assert_status(case.run, "Error|Test channel unavailable|"
                                     "Patch server sent more than 64 MiB for update_manifest.json.|0.000")
        self.assertEqual(requested_paths(case.server), ["/update_manifest.json"])
        self.assertFalse((case.folder / ".patch_remote" / "update_manifest.json").exists())
        self.assertFalse((case.folder / ".patch_remote" / "update_manifest.json.download").exists())
        self.assertEqual(case.run.plan, [])

    @classmethod
    def prepare_big_loopback_list(cls):
        return cls.remote_case(cls.big_list, "127.0.0.1")

    def test_an_oversized_release_list_from_the_local_test_server_is_refused(self):
        case = self.case("big_loopback_list")
        self.assert_status(case.run, "Error|Test channel unavailable|"
                                     "Patch server sent more than 64 MiB for update_manifest.json.|0.000")
        self.assertFalse((case.folder / ".patch_remote" / "update_manifest.json").exists())

    @classmethod
    def prepare_big_signature(cls):
        return cls.remote_case(cls.big_signature, "127.0.0.2")

    def test_an_oversized_signature_is_refused_before_it_is_read(self):
        case = self.case("big_signature")
        self.assert_status(case.run, "Error|Release not verified|" + NOT_DOWNLOADED + "|0.000")
        self.assertEqual(len(self.signature_requests(case.server)), 1)
        self.assertFalse((case.folder / ".patch_remote" / "update_manifest.json").exists())
        self.assertFalse((case.folder / ".patch_remote" / "update_manifest.sig").exists())

    @classmethod
    def prepare_source_with_query(cls):
        server = cls.server(cls.signed, "127.0.0.2")
        return Case(cls.launcher_dir(server.url + "/?channel=test"), server)

    def test_a_source_with_a_query_is_not_usable_and_nothing_is_requested(self):
        case = self.case("source_with_query")
        self.assert_status(case.run, "Error|Test channel unavailable|"
                                     "Patch source is not usable: its URL contains \"?\" or \"#\".|0.000")
        self.assertEqual(requested_paths(case.server), [])

    @classmethod
    def prepare_big_local_list(cls):
        return Case(cls.launcher_dir(lh.windows_path(cls.big_list)))

    def test_an_oversized_release_list_in_a_local_folder_is_refused_and_kept(self):
        run = self.case("big_local_list").run
        self.assertRegex(run.last, r"^Error\|Patch source unavailable\|The release list .*update_manifest\.json "
                                   r"is larger than 64 MiB\.\|0\.000$")
        self.assertTrue((self.big_list / "update_manifest.json").exists())

    # -- local folders and no source --------------------------------------

    @classmethod
    def prepare_local_without_manifest(cls):
        empty = Path(tempfile.mkdtemp(prefix="empty_release_", dir=cls.root))
        return Case(cls.launcher_dir(lh.windows_path(empty)))

    def test_a_local_folder_without_a_manifest_is_unavailable(self):
        run = self.case("local_without_manifest").run
        self.assertRegex(run.last, r"^Error\|Patch source unavailable\|Could not open manifest: "
                                   r".*update_manifest\.json\|0\.000$")

    @classmethod
    def prepare_only_drops(cls):
        return Case(cls.launcher_dir(lh.windows_path(cls.dropped)))

    def test_a_release_that_only_drops_files_has_zero_files_to_install(self):
        run = self.case("only_drops").run
        self.assert_status(run, "UpdateAvailable|Update available|0 files ready to install|0.000")
        self.assertEqual(run.plan, ["obsolete data/b.pak", "bytes 0"])

    @classmethod
    def prepare_no_source_intact(cls):
        return Case(cls.launcher_dir(""))

    def test_no_source_with_an_intact_installation_is_ready(self):
        run = self.case("no_source_intact").run
        self.assert_status(run, "Ready|Game is ready|Local release r1|1.000")
        self.assertEqual(run.plan, [])

    @classmethod
    def prepare_no_source_damaged(cls):
        case = Case(cls.launcher_dir(""))
        (case.folder / "a.pak").write_bytes(b"alphA" * 200)
        return case

    def test_no_source_with_a_damaged_file_needs_repair(self):
        self.assert_status(self.case("no_source_damaged").run, "Error|Installation needs repair|"
                                                               "Configure a patch source to restore missing files|0.000")

    @classmethod
    def prepare_no_source_no_manifest(cls):
        return Case(cls.launcher_dir("", installed_release=False, files=()))

    def test_no_source_without_an_installed_manifest_needs_repair(self):
        self.assert_status(self.case("no_source_no_manifest").run, "Error|Installation needs repair|"
                                                                   "Set patch_source.txt to a published release folder|0.000")

    # -- the launcher's own entry ------------------------------------------

    @classmethod
    def prepare_launcher_declined(cls):
        case = cls.remote_case(cls.launcher_release, "127.0.0.1")
        (case.folder / "Tinderhallow.exe").write_bytes(b"the installed launcher")
        return case

    def test_a_newer_launcher_is_declined_by_a_program_with_another_name(self):
        case = self.case("launcher_declined")
        self.assert_status(case.run, "Ready|Game is ready|Release r3|1.000")
        self.assertEqual(case.run.plan, ["bytes 0", f"launcher {len(self.new_launcher_bytes)} Tinderhallow.exe"],
                         "the pending launcher replacement is listed")
        self.assertNotIn("/Tinderhallow.exe", requested_paths(case.server))
        self.assertEqual((case.folder / "Tinderhallow.exe").read_bytes(), b"the installed launcher")
        # The installation is not release r3 while its launcher differs.
        self.assertEqual((case.folder / "update_manifest.json").read_bytes(),
                         (self.signed / "update_manifest.json").read_bytes())

    @classmethod
    def prepare_launcher_dropped(cls):
        return Case(cls.launcher_dir(lh.windows_path(cls.signed), installed_release=cls.launcher_release,
                                     files=("a.pak", "data/b.pak", "Tinderhallow.exe")))

    def test_a_release_without_the_launcher_never_lists_it_for_removal(self):
        case = self.case("launcher_dropped")
        self.assert_status(case.run, "Ready|Game is ready|Release r1|1.000")
        self.assertEqual(case.run.plan, ["bytes 0"])
        self.assertEqual((case.folder / "Tinderhallow.exe").read_bytes(), self.new_launcher_bytes)

    @classmethod
    def prepare_launcher_already_swapped(cls):
        case = cls.remote_case(cls.launcher_release, "127.0.0.1")
        (case.folder / "Tinderhallow.exe").write_bytes(cls.new_launcher_bytes)
        return case

    def test_a_release_installed_by_the_self_update_alone_is_recorded_as_installed(self):
        case = self.case("launcher_already_swapped")
        self.assert_status(case.run, "Ready|Game is ready|Release r3|1.000")
        self.assertEqual((case.folder / "update_manifest.json").read_bytes(),
                         (self.launcher_release / "update_manifest.json").read_bytes())
        self.assertFalse((case.folder / "update_manifest.json.patch_new").exists())

    @classmethod
    def prepare_launcher_swapped(cls):
        case = cls.remote_case(cls.launcher_release, "127.0.0.1")
        case.exe = case.folder / "Tinderhallow.exe"
        case.exe.write_bytes(TOOL.read_bytes())
        return case

    def test_a_newer_launcher_replaces_the_running_one_and_takes_over(self):
        case = self.case("launcher_swapped")
        run = case.run
        self.assertIn("Checking|Updating the launcher|A newer launcher is available|0.300", run.statuses, run.output)
        self.assertEqual(run.last, "Checking|Updating the launcher|Downloading|0.600", run.output)
        self.assertEqual(run.plan, [])
        self.assertEqual(run.code, 0)
        self.assertIn("/Tinderhallow.exe", requested_paths(case.server))
        self.assertTrue(case.exe.read_bytes() == self.new_launcher_bytes)
        self.assertTrue((case.folder / "Tinderhallow.exe.old").read_bytes() == TOOL.read_bytes())
        self.assertFalse((case.folder / "Tinderhallow.exe.new").exists())
        self.assertFalse((case.folder / ".patch_remote" / "Tinderhallow.exe").exists())


if __name__ == "__main__":
    lh.run_tests()
