#!/usr/bin/env python3
"""Delta updates of one large archive from nginx, against the whole download
of the same file in the same run.

A SIZE_MIB archive of random data is installed (`TinderhallowTool apply` of
its release folder). Two new releases of it are published with
tools/publish_release.py (chunk indexes by the toolkit):
  - patched: 10 overwrites of 64 KiB at random places, 5 insertions and 5
    deletions of 1000 bytes;
  - replaced: new random data of the same size.
nginx on 127.0.0.2 serves one of them at a time; each round runs, from a
copy of the installed folder,
    TinderhallowTool update LAUNCHER_DIR ACCOUNT PASSWORD
for the patched release with its chunk index (delta), the same release
without `chunks/` (the whole download), and the replaced release with its
index. Bytes sent are nginx's $bytes_sent (headers included) of every
request of the update, the release list and index included.
Targets: patched bytes sent / file size <= 2 %; the delta update's wall time
no more than the whole download's; replaced bytes sent <= 1.02 x file size.
The last line, "RESULT key=value ...", repeats the figures for bench/run.

Usage: bench/delta_bench.py [BUILD_DIR] [--size-mib N] [--rounds N]
"""
import argparse
import json
import os
import random
import shutil
import subprocess
import sys
import tempfile

from bench_common import ROOT, WineKeeper, first_sequence, wine_environment, windows_path  # noqa: E402
from update_bench import ACCOUNT, HOST, PASSWORD, free_port, start_game_service, start_nginx, timed_update  # noqa: E402

ARCHIVE = "data/archive.pak"


def patched(data, rng):
    out = bytearray(data)
    for _ in range(10):
        at = rng.randrange(0, len(out) - 65536)
        out[at:at + 65536] = rng.randbytes(65536)
    for _ in range(5):
        at = rng.randrange(0, len(out))
        out[at:at] = rng.randbytes(1000)
    for _ in range(5):
        at = rng.randrange(0, len(out) - 1000)
        del out[at:at + 1000]
    return bytes(out)


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def publish(game, release, release_id, tool, env):
    subprocess.run([sys.executable, os.path.join(ROOT, "tools", "publish_release.py"), game, release,
                    "--release-id", release_id, "--toolkit", tool] + first_sequence(release), check=True, env=env,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run(["chmod", "-R", "a+rX", release], check=True)


def log_entries(log):
    with open(log) as f:
        return [json.loads(line) for line in f if line.strip()]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build_dir", nargs="?", default=os.path.join(ROOT, "build"))
    parser.add_argument("--size-mib", type=int, default=256)
    parser.add_argument("--rounds", type=int, default=1)
    args = parser.parse_args()

    build = os.path.abspath(args.build_dir)
    tool = os.path.join(build, "TinderhallowTool.exe")
    if shutil.which("nginx") is None:
        sys.exit("nginx is not installed")
    env = wine_environment(build, tool)
    rng = random.Random(2026)

    work = tempfile.mkdtemp(prefix="th_delta_bench_")
    os.chmod(work, 0o755)
    servers = []
    keeper = None
    try:
        old = os.urandom(args.size_mib << 20)
        new = patched(old, rng)
        releases = {}
        for name, data in (("old", old), ("patched", new), ("replaced", os.urandom(len(old)))):
            game = os.path.join(work, "game_" + name)
            write(os.path.join(game, *ARCHIVE.split("/")), data)
            releases[name] = os.path.join(work, "www_" + name)
            publish(game, releases[name], "bench", tool, env)
            shutil.rmtree(game)
        size_new = len(new)
        del old, new
        # The same release without its chunk indexes: the whole download.
        releases["whole"] = os.path.join(work, "www_whole")
        subprocess.run(["cp", "-al", releases["patched"], releases["whole"]], check=True)
        shutil.rmtree(os.path.join(releases["whole"], "chunks"))

        keeper = WineKeeper(env)
        installed = os.path.join(work, "installed")
        os.makedirs(installed)
        subprocess.run(["wine", tool, "apply", windows_path(installed), windows_path(releases["old"])], env=env,
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

        served = os.path.join(work, "www")  # a link to the release being served
        os.symlink(releases["patched"], served)
        log = os.path.join(work, "access.log")
        nginx, patch_url = start_nginx(work, served, free_port(HOST), access_log=log)
        servers.append(nginx)
        service, service_url = start_game_service(work)
        servers.append(service)

        def update(release):
            os.unlink(served)
            os.symlink(releases[release], served)
            launcher = os.path.join(work, "launcher")
            shutil.rmtree(launcher, ignore_errors=True)
            subprocess.run(["cp", "-a", installed, launcher], check=True)
            with open(os.path.join(launcher, "patch_source.txt"), "w") as f:
                f.write(patch_url + "\n")
            with open(os.path.join(launcher, "server_url.txt"), "w") as f:
                f.write(service_url + "\n")
            subprocess.run(["sync"])
            before = len(log_entries(log))
            wall, _, downloads = timed_update(["wine", tool, "update", windows_path(launcher), ACCOUNT, PASSWORD],
                                              env)
            entries = log_entries(log)[before:]
            if subprocess.run(["cmp", "-s", os.path.join(launcher, *ARCHIVE.split("/")),
                               os.path.join(releases[release], *ARCHIVE.split("/"))]).returncode != 0:
                sys.exit(f"the {release} update installed another file than the release's")
            shutil.rmtree(launcher)
            sent = sum(e["bytes"] for e in entries)
            ranges = sum(1 for e in entries if e["status"] == 206)
            return wall, downloads, sent, ranges

        results = []
        for _ in range(args.rounds):
            delta = update("patched")
            whole = update("whole")
            replaced = update("replaced")
            results.append((delta, whole, replaced))
            print(f"round: delta {delta[0]:.2f} s (check and downloads {delta[1]:.2f} s), {delta[2]} bytes sent "
                  f"in {delta[3]} ranges; whole {whole[0]:.2f} s ({whole[1]:.2f} s), {whole[2]} bytes sent; "
                  f"replaced {replaced[0]:.2f} s, {replaced[2]} bytes sent", flush=True)
    finally:
        if keeper is not None:
            keeper.stop()
        for process in servers:
            process.terminate()
            process.wait()
        shutil.rmtree(work, ignore_errors=True)

    delta = min(r[0][0] for r in results)
    whole = min(r[1][0] for r in results)
    delta_downloads = min(r[0][1] for r in results)
    whole_downloads = min(r[1][1] for r in results)
    delta_sent = max(r[0][2] for r in results)
    ranges = max(r[0][3] for r in results)
    replaced_sent = max(r[2][2] for r in results)
    sent_percent = 100.0 * delta_sent / size_new
    replaced_ratio = replaced_sent / size_new
    print(f"{args.size_mib} MiB archive; best of {args.rounds} for times, most bytes of the rounds")
    print(f"patched: {delta_sent} bytes sent ({sent_percent:.2f} % of {size_new}, {ranges} ranges)  (target <= 2 %)")
    print(f"delta update {delta:.2f} s (downloads {delta_downloads:.2f} s) / whole download update {whole:.2f} s "
          f"(downloads {whole_downloads:.2f} s): {delta / whole:.2f}  (target <= 1)")
    print(f"replaced: {replaced_sent} bytes sent, {replaced_ratio:.4f} x the size  (target <= 1.02)")
    print(f"RESULT size_mib={args.size_mib} rounds={args.rounds} sent_percent={sent_percent:.3f} ranges={ranges} "
          f"delta_s={delta:.2f} whole_s={whole:.2f} time_ratio={delta / whole:.3f} "
          f"delta_downloads_s={delta_downloads:.2f} whole_downloads_s={whole_downloads:.2f} "
          f"replaced_ratio={replaced_ratio:.4f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
