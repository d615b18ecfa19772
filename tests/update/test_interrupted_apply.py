"""Kills `TinderhallowTool apply` at many points of an update and checks that
the installation is always made of whole files of one release or the other,
that the installed manifest moves to the new release only at the very end,
and that running the update again completes it.

Usage: test_interrupted_apply.py BUILD_DIR
"""

import hashlib
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "support"))
import launcher_harness as lh  # noqa: E402

_, TOOL, PREFIX, WINE_RUN = lh.build_paths()

MIB = 1024 * 1024
REPLACED = [f"data/r{i:02d}.pak" for i in range(24)]   # in both releases, content changes
ADDED = [f"new/a{i:02d}.pak" for i in range(8)]        # only in the new release
OBSOLETE = [f"old/o{i:02d}.pak" for i in range(12)]    # only in the old release
UNCHANGED = [f"same/u{i}.txt" for i in range(4)]       # identical in both


def content(tag, path, size):
    seed = hashlib.sha256(f"{tag}:{path}".encode()).digest()
    return (seed * (size // len(seed) + 1))[:size]


def write_release(folder, release_id, files):
    """FOLDER as a release of FILES (path -> bytes), published with the
    harness; returns its manifest."""
    game = folder + "-game"
    for path, data in files.items():
        target = os.path.join(game, path)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        with open(target, "wb") as out:
            out.write(data)
    lh.publish_release(game, folder, release_id)
    return read(os.path.join(folder, "update_manifest.json"))


def read(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except FileNotFoundError:
        return None


def wait_until_gone(pid, marker, timeout=20.0):
    """The Windows side of a killed process may outlive its Unix parent for a
    moment; wait until no process of this run remains (by PID and by the
    run's own folder in its command line, never by program name)."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        alive = os.path.exists(f"/proc/{pid}")
        if not alive:
            for entry in os.listdir("/proc"):
                if not entry.isdigit():
                    continue
                try:
                    with open(f"/proc/{entry}/cmdline", "rb") as f:
                        if marker.encode() in f.read():
                            alive = True
                            break
                except OSError:
                    pass
        if not alive:
            return
        time.sleep(0.02)
    raise AssertionError(f"process of {marker} still running after kill")


def folder_state(install):
    """The install folder in short, for a failure message: each entry at the
    top with its size or file count, the work folders' files, and any
    temporary left anywhere."""
    lines = []
    for name in sorted(os.listdir(install)):
        path = os.path.join(install, name)
        if not os.path.isdir(path):
            lines.append(f"{name} ({os.path.getsize(path)} bytes)")
            continue
        files = sorted(os.path.relpath(os.path.join(d, n), path) for d, _, ns in os.walk(path) for n in ns)
        shown = ", ".join(files) if name.startswith(".patch_") and len(files) <= 40 else f"{len(files)} files"
        lines.append(f"{name}/: {shown}")
    temporaries = sorted(os.path.relpath(os.path.join(d, n), install) for d, _, ns in os.walk(install) for n in ns
                         if n.endswith(".patch_new"))
    if temporaries:
        lines.append("temporaries: " + ", ".join(temporaries))
    return "\n  ".join(lines)


def apply_again(install, source):
    """Runs apply to completion; (exit code, seconds, stdout, stderr). Wine's
    own errors are shown (they explain a program that never started), and
    output goes to files: a wineserver this run had to start would hold pipes
    open."""
    env = dict(os.environ, WINEPREFIX=PREFIX, WINEDEBUG="-all,err+all")
    started = time.monotonic()
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        code = subprocess.run(["wine", TOOL, "apply", lh.windows_path(install), lh.windows_path(source)], env=env,
                              stdin=subprocess.DEVNULL, stdout=out, stderr=err, timeout=300).returncode
        elapsed = time.monotonic() - started
        out.seek(0)
        err.seek(0)
        return code, elapsed, out.read().decode(errors="replace"), err.read().decode(errors="replace")


class Run:
    def __init__(self, install, source):
        self.process = subprocess.Popen(
            [WINE_RUN, PREFIX, TOOL, "apply", lh.windows_path(install), lh.windows_path(source)],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.lines = []

    def read_until(self, predicate):
        """Reads progress lines until one satisfies the predicate; False when
        the program ended first."""
        for raw in self.process.stdout:
            line = raw.decode().rstrip("\n")
            self.lines.append(line)
            if predicate(line):
                return True
        return False

    def poll_until(self, condition, timeout=30.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if condition():
                return True
            if self.process.poll() is not None:
                return False
            time.sleep(0.0005)
        return False

    def kill(self, marker):
        if self.process.poll() is None:
            os.kill(self.process.pid, signal.SIGKILL)
        self.process.wait()
        self.process.stdout.close()
        self.process.stderr.close()
        wait_until_gone(self.process.pid, marker)


class InterruptedApply(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="th_interrupted_")
        # The prefix's server shuts down with its last program, and starting it
        # again costs seconds per run: a command shell waiting on its input keeps
        # it up until this test closes that input.
        cls.keeper = subprocess.Popen([WINE_RUN, PREFIX, "cmd"], stdin=subprocess.PIPE,
                                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    @classmethod
    def tearDownClass(cls):
        cls.keeper.stdin.close()
        try:
            cls.keeper.wait(timeout=30)
        except subprocess.TimeoutExpired:
            cls.keeper.kill()
            cls.keeper.wait()
        shutil.rmtree(cls.work, ignore_errors=True)

    def test_a_killed_update_leaves_whole_files_of_one_release_and_running_it_again_completes_it(self):
        work = self.work
        old_files, new_files = {}, {}
        for path in REPLACED:
            old_files[path] = content("old", path, MIB // 2 + 17)
            new_files[path] = content("new", path, MIB // 2 + 4099)
        for path in ADDED:
            new_files[path] = content("new", path, MIB)
        for path in OBSOLETE:
            old_files[path] = content("old", path, MIB)
        for path in UNCHANGED:
            old_files[path] = new_files[path] = content("same", path, 1000)

        template = os.path.join(work, "template")
        source = os.path.join(work, "source")
        install = os.path.join(work, "install")
        old_manifest = write_release(template, "old", old_files)
        new_manifest = write_release(source, "new", new_files)
        all_paths = sorted(set(old_files) | set(new_files))

        def reset():
            shutil.rmtree(install, ignore_errors=True)
            shutil.copytree(template, install)

        def live(path):
            return read(os.path.join(install, path))

        def exists(relative):
            return os.path.exists(os.path.join(install, relative))

        # Kill points: inside staging (a staged copy has appeared), inside
        # applying (a rollback copy or a replaced file has appeared), inside the
        # removal of obsolete files (one has gone or is being backed up) and
        # around the final manifest swap.
        staged = lambda p: lambda: exists(os.path.join(".patch_staging", "new", p))
        backed_up = lambda p: lambda: exists(os.path.join(".patch_rollback", p))
        replaced = lambda p: lambda: live(p) == new_files[p] if p in REPLACED else exists(p)
        removed = lambda p: lambda: not exists(p)
        line = lambda detail: ("line", detail)
        points = (
            [("staging", line("Staging " + REPLACED[0]))]
            + [("staging", staged(p)) for p in (REPLACED[3], REPLACED[9], REPLACED[15], REPLACED[21], ADDED[1],
                                               ADDED[6])]
            + [("staging", line("Staging " + ADDED[4]))]
            + [("applying", backed_up(p)) for p in (REPLACED[0], REPLACED[7], REPLACED[14], REPLACED[22])]
            + [("applying", replaced(p)) for p in (ADDED[2], REPLACED[5], REPLACED[18])]
            + [("applying", line("Applying " + REPLACED[11]))]
            + [("removal", backed_up(p)) for p in (OBSOLETE[0], OBSOLETE[4], OBSOLETE[9])]
            + [("removal", removed(p)) for p in (OBSOLETE[2], OBSOLETE[7], OBSOLETE[11])]
            + [("final", removed(OBSOLETE[11])), ("final", line("Update complete"))]
        )

        landed = {"staging": 0, "applying": 0, "removal": 0, "final": 0}
        started = time.monotonic()
        for number, (aim, trigger) in enumerate(points):
            reset()
            run_started = time.monotonic()
            run = Run(install, source)
            if isinstance(trigger, tuple):
                detail = trigger[1]
                hit = run.read_until(lambda text: text.split(" ", 1)[-1] == detail)
            else:
                hit = run.poll_until(trigger)
            run.kill(lh.windows_path(install))
            killed_after = time.monotonic() - run_started
            with self.subTest(run=number, aim=aim, check="killed at its point"):
                self.assertTrue(hit, f"ended before its kill point; output {run.lines[-3:]}")

            # Every listed file is whole: its old bytes, its new bytes, or absent
            # where that release does not have it.
            changed = removed_count = 0
            for path in all_paths:
                data = live(path)
                allowed = [old_files.get(path), new_files.get(path)]
                with self.subTest(run=number, aim=aim, path=path):
                    size = "absent" if data is None else f"{len(data)} bytes"
                    self.assertIn(data, allowed, f"{path} is neither old nor new ({size})")
                if path in new_files and data == new_files[path] and data != old_files.get(path):
                    changed += 1
                if path in OBSOLETE and data is None:
                    removed_count += 1
            manifest = live("update_manifest.json")
            finished = manifest == new_manifest
            with self.subTest(run=number, aim=aim, check="installed manifest"):
                self.assertTrue(finished or manifest == old_manifest, "installed manifest is partial")
                self.assertFalse(finished and (changed != len(REPLACED) + len(ADDED)
                                               or removed_count != len(OBSOLETE)),
                                 "manifest names the new release before the release is in place")

            backups_of_obsolete = sum(exists(os.path.join(".patch_rollback", p)) for p in OBSOLETE)
            if finished:
                phase = "final"
            elif removed_count or backups_of_obsolete:
                phase = "removal"
            elif changed or exists(".patch_rollback"):
                phase = "applying"
            else:
                phase = "staging"
            landed[phase] += 1

            # Running the update again completes the release. A failure says
            # all there is to know: no output at all within a fraction of a
            # second means the program never ran (Wine's start), not the update.
            state_before = folder_state(install)
            code, elapsed, out, err = apply_again(install, source)
            with self.subTest(run=number, aim=aim, check="second apply"):
                self.assertEqual(code, 0, f"second apply exited {code} after {elapsed:.2f} s\n"
                                 f"standard error: {err.strip()!r}\n"
                                 f"standard output, last lines: {out.splitlines()[-4:]!r}\n"
                                 f"killed run's last lines: {run.lines[-3:]!r}\n"
                                 f"keeper Wine program: {'running' if self.keeper.poll() is None else 'ended'}\n"
                                 f"folder before:\n  {state_before}\nfolder after:\n  {folder_state(install)}")
                self.assertEqual([p for p in all_paths if live(p) != new_files.get(p)], [],
                                 "files not at the new release after the second apply")
                self.assertEqual(live("update_manifest.json"), new_manifest,
                                 "installed manifest not replaced by the second apply")
                self.assertFalse(exists(os.path.join(".patch_staging", "new")),
                                 "staging folder left after the second apply")
            print(f"run {number:2d}: aimed at {aim:8s} landed in {phase:8s} "
                  f"({changed} new files, {removed_count} removed; killed after {killed_after:.2f} s, "
                  f"completed in {elapsed:.2f} s)", flush=True)

        print(f"{len(points)} interrupted runs in {time.monotonic() - started:.1f} s; landed: {landed}", flush=True)
        self.assertTrue(landed["staging"] >= 5 and landed["applying"] >= 5 and landed["removal"] >= 3,
                        f"kill points not spread over the phases: {landed}")


if __name__ == "__main__":
    lh.run_tests()
