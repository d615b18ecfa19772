#!/usr/bin/env python3
"""Inspection and update speed against plain tools, measured in the same run.

inspect: an installation of SIZE in FILES files, all current.
    TinderhallowTool inspect INSTALL MANIFEST
    / openssl dgst -sha256 over the same files            (target <= 1.25)
apply: an update of SIZE in FILES new files.
    TinderhallowTool apply INSTALL SOURCE
    / (cp -r of the files twice + openssl dgst -sha256 once)   (target <= 1.5)
apply-replace (for information): the same update replacing installed files
    of other sizes, so each one is also copied to the rollback folder.

Everything is read once beforehand so that all runs work from the page
cache and starts with no dirty pages; each case runs once per round,
rounds interleaved, the best counts.
A command shell kept open in the prefix spares every Wine run the start of
the Wine session.
The last line, "RESULT key=value ...", repeats the ratios for bench/run.

Usage: bench/transaction_bench.py [BUILD_DIR] [--size-mib N] [--files N] [--rounds N]
"""
import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

from bench_common import ROOT, WineKeeper, wine_environment, windows_path, write_distinct_file  # noqa: E402


def timed(command, env=None, cwd=None):
    """Wall and CPU seconds of one command; output to a file, not a pipe (a
    wineserver started by the run would hold a pipe open). Dirty pages of
    earlier runs are written out first, so no run pays for another's."""
    subprocess.run(["sync"])
    with tempfile.TemporaryFile() as out:
        start = time.perf_counter()
        process = subprocess.Popen(command, env=env, cwd=cwd, stdout=out, stderr=out)
        _, status, usage = os.wait4(process.pid, 0)
        wall = time.perf_counter() - start
        if os.waitstatus_to_exitcode(status) != 0:
            out.seek(0)
            sys.exit(f"failed: {' '.join(command[:4])}...\n{out.read().decode(errors='replace')[-2000:]}")
    return wall, usage.ru_utime + usage.ru_stime


def write_files(folder, names, size, salt):
    block = os.urandom(1 << 20)
    entries = []
    for index, name in enumerate(names):
        digest = write_distinct_file(os.path.join(folder, name), size, f"{salt}:{index}:".encode(), block)
        entries.append({"path": name, "size": size, "sha256": digest})
    return entries


def write_manifest(path, release_id, entries):
    with open(path, "w") as f:
        json.dump({"schemaVersion": 1, "releaseId": release_id, "files": entries}, f, indent=1)


def warm(folder):
    for base, _, files in os.walk(folder):
        for name in files:
            with open(os.path.join(base, name), "rb") as f:
                while f.read(1 << 24):
                    pass


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build_dir", nargs="?", default=os.path.join(ROOT, "build"))
    parser.add_argument("--size-mib", type=int, default=1024)
    parser.add_argument("--files", type=int, default=256)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()

    build = os.path.abspath(args.build_dir)
    tool = os.path.join(build, "TinderhallowTool.exe")
    env = wine_environment(build, tool)

    file_size = (args.size_mib << 20) // args.files
    names = [f"data/pack{i // 64:02d}/file{i:04d}.pak" for i in range(args.files)]
    work = tempfile.mkdtemp(prefix="th_transaction_bench_")
    keeper = None
    try:
        source = os.path.join(work, "source")
        install = os.path.join(work, "install")
        entries = write_files(source, names, file_size, "new")
        write_manifest(os.path.join(source, "update_manifest.json"), "new", entries)
        manifest = os.path.join(source, "update_manifest.json")
        files = [os.path.join(source, name) for name in names]
        old_entries = write_files(os.path.join(work, "old"), names[:1], 1, "old")
        warm(source)

        def fresh_install(replacing):
            shutil.rmtree(install, ignore_errors=True)
            if replacing:
                shutil.copytree(os.path.join(work, "old_full"), install)
            else:
                os.makedirs(install)
            write_manifest(os.path.join(install, "update_manifest.json"), "old", old_entries)

        # Installed files of the old release: other sizes, so inspection
        # does not read them and the update replaces every one.
        write_files(os.path.join(work, "old_full"), names, file_size // 2, "old")

        keeper = WineKeeper(env)
        timed(["wine", tool, "inspect", windows_path(source), windows_path(manifest)], env)

        best = {}

        def record(name, result):
            wall, cpu = result
            old = best.get(name)
            best[name] = (wall, cpu) if old is None else (min(old[0], wall), min(old[1], cpu))

        for _ in range(args.rounds):
            # Inspection of the source folder as an installation: all current.
            record("inspect", timed(["wine", tool, "inspect", windows_path(source), windows_path(manifest)], env))
            record("openssl", timed(["openssl", "dgst", "-sha256", "-r"] + files))

            copies = os.path.join(work, "copies")
            shutil.rmtree(copies, ignore_errors=True)
            os.makedirs(copies)
            record("cp 1", timed(["cp", "-r", os.path.join(source, "data"), os.path.join(copies, "one")]))
            record("cp 2", timed(["cp", "-r", os.path.join(copies, "one"), os.path.join(copies, "two")]))
            shutil.rmtree(copies, ignore_errors=True)

            for name, replacing in (("apply", False), ("apply-replace", True)):
                fresh_install(replacing)
                record(name, timed(["wine", tool, "apply", windows_path(install), windows_path(source)], env))
                with open(os.path.join(install, "update_manifest.json")) as f:
                    if json.load(f)["releaseId"] != "new":
                        sys.exit("apply did not install the release")
            shutil.rmtree(install, ignore_errors=True)
    finally:
        if keeper is not None:
            keeper.stop()
        shutil.rmtree(work, ignore_errors=True)

    mib = args.size_mib
    print(f"{mib} MiB in {args.files} files of {file_size} bytes, best of {args.rounds} rounds")
    print(f"{'':16} {'wall s':>8} {'cpu s':>8}")
    for name, (wall, cpu) in best.items():
        print(f"{name:16} {wall:8.3f} {cpu:8.3f}")
    reference_apply = tuple(best["cp 1"][i] + best["cp 2"][i] + best["openssl"][i] for i in (0, 1))
    print(f"inspect / openssl:                  wall {best['inspect'][0] / best['openssl'][0]:.2f}  "
          f"cpu {best['inspect'][1] / best['openssl'][1]:.2f}  (target <= 1.25)")
    print(f"apply / (2 cp + openssl):           wall {best['apply'][0] / reference_apply[0]:.2f}  "
          f"cpu {best['apply'][1] / reference_apply[1]:.2f}  (target <= 1.5)")
    print(f"apply-replace / (2 cp + openssl):   wall {best['apply-replace'][0] / reference_apply[0]:.2f}  "
          f"cpu {best['apply-replace'][1] / reference_apply[1]:.2f}  (three copies: for information)")
    # One line for bench/run; the figures above stay the ones to read.
    print(f"RESULT size_mib={mib} files={args.files} rounds={args.rounds} "
          f"inspect_s={best['inspect'][0]:.3f} openssl_s={best['openssl'][0]:.3f} "
          f"inspect_wall_ratio={best['inspect'][0] / best['openssl'][0]:.3f} "
          f"inspect_cpu_ratio={best['inspect'][1] / best['openssl'][1]:.3f} "
          f"apply_s={best['apply'][0]:.3f} reference_apply_s={reference_apply[0]:.3f} "
          f"apply_wall_ratio={best['apply'][0] / reference_apply[0]:.3f} "
          f"apply_cpu_ratio={best['apply'][1] / reference_apply[1]:.3f} "
          f"apply_replace_wall_ratio={best['apply-replace'][0] / reference_apply[0]:.3f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
