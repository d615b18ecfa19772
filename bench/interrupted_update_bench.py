#!/usr/bin/env python3
"""An update whose host stops halfway: how much the retry sends again.

A release of FILES files totalling SIZE_MIB is published (signed) and served
by nginx; the launcher reaches it through a small relay on 127.0.0.2 that
plays the host: it counts every byte it sends to the launcher and, once about
half the release has been sent, stops (closes every connection and stops
listening). `TinderhallowTool update` then fails with "Download failed"; the
host comes back on the same port, and the same update is run again in the
same launcher folder, as a player presses RETRY. It must end ready with the
release's files.

    bytes the host sent over both runs / release size   (target <= 1.05)

Sending everything again would be about 1.5; what is left above 1.0 is the
release check's small files and whatever a broken transfer could not keep.
(nginx itself logs no request that a stop cuts off, hence the relay.)
The last line, "RESULT key=value ...", repeats the figures for bench/run.

Usage: bench/interrupted_update_bench.py [BUILD_DIR] [--size-mib N] [--files N]
"""
import argparse
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time

from bench_common import ROOT, WineKeeper, publish_release, wine_environment, windows_path  # noqa: E402
from update_bench import ACCOUNT, HOST, PASSWORD, free_port, same_files, start_game_service, write_files  # noqa: E402
import launcher_harness as lh  # noqa: E402 - on the path through bench_common


class CountingHost:
    """Listens on HOST:PORT and relays every connection to the nginx behind
    it, counting the bytes sent towards the client. stop() ends every
    connection and stops listening, by itself once `stop_after` bytes went
    out; start() listens again on the same port."""

    def __init__(self, port, upstream):
        self.port, self.upstream = port, upstream
        self.sent = 0
        self.stop_after = None
        self.stopped_at = None
        self.lock = threading.Lock()
        self.sockets = set()
        self.listener = None

    def start(self):
        listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        listener.bind((HOST, self.port))
        listener.listen(64)
        self.listener = listener
        threading.Thread(target=self._accept, args=(listener,), daemon=True).start()

    def stop(self):
        with self.lock:
            listener, self.listener = self.listener, None
            sockets, self.sockets = self.sockets, set()
            if self.stopped_at is None:
                self.stopped_at = self.sent
        for s in ([listener] if listener else []) + list(sockets):
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            s.close()

    def _accept(self, listener):
        while True:
            try:
                client, _ = listener.accept()
            except OSError:
                return
            try:
                server = socket.create_connection(self.upstream)
            except OSError:
                client.close()
                continue
            with self.lock:
                if self.listener is not listener:
                    client.close()
                    server.close()
                    return
                self.sockets.update((client, server))
            threading.Thread(target=self._pipe, args=(client, server, False), daemon=True).start()
            threading.Thread(target=self._pipe, args=(server, client, True), daemon=True).start()

    def _pipe(self, source, target, counted):
        buffer = bytearray(1 << 20)
        view = memoryview(buffer)
        try:
            while True:
                got = source.recv_into(buffer)
                if got == 0:
                    break
                offset = 0
                while offset < got:
                    put = target.send(view[offset:got])
                    offset += put
                    if counted:
                        with self.lock:
                            self.sent += put
                            due = self.stop_after is not None and self.stopped_at is None and \
                                self.sent >= self.stop_after
                        if due:
                            threading.Thread(target=self.stop, daemon=True).start()
        except OSError:
            pass
        for s in (source, target):
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass


def run_update(tool, launcher, env, log_path):
    with open(log_path, "wb") as out:
        start = time.perf_counter()
        code = subprocess.run(["wine", tool, "update", windows_path(launcher), ACCOUNT, PASSWORD], env=env,
                              stdout=out, stderr=subprocess.DEVNULL).returncode
        seconds = time.perf_counter() - start
    lines = [line for line in open(log_path, encoding="utf-8", errors="replace").read().splitlines()
             if line.count("|") >= 3]
    return code, seconds, lines


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build_dir", nargs="?", default=os.path.join(ROOT, "build"))
    parser.add_argument("--size-mib", type=int, default=400)
    parser.add_argument("--files", type=int, default=20)
    args = parser.parse_args()

    build = os.path.abspath(args.build_dir)
    tool = os.path.join(build, "TinderhallowTool.exe")
    if shutil.which("nginx") is None:
        sys.exit("nginx is not installed")
    env = wine_environment(build, tool)

    file_size = (args.size_mib << 20) // args.files
    release_bytes = file_size * args.files
    work = tempfile.mkdtemp(prefix="th_interrupted_bench_")
    os.chmod(work, 0o755)
    servers, keeper, host = [], None, None
    try:
        game = os.path.join(work, "game")
        release = os.path.join(work, "www")
        names = write_files(game, args.files, file_size)
        publish_release(game, release)
        shutil.rmtree(game)

        nginx = lh.NginxHost(work, release, host="127.0.0.1")
        servers.append(nginx)
        service, service_url = start_game_service(work)
        servers.append(service)
        host = CountingHost(free_port(HOST), ("127.0.0.1", nginx.port))
        host.start()
        patch_url = f"http://{HOST}:{host.port}"

        keeper = WineKeeper(env)
        subprocess.run(["wine", tool], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

        launcher = os.path.join(work, "launcher")
        os.makedirs(launcher)
        with open(os.path.join(launcher, "patch_source.txt"), "w") as f:
            f.write(patch_url + "\n")
        with open(os.path.join(launcher, "server_url.txt"), "w") as f:
            f.write(service_url + "\n")

        host.stop_after = release_bytes // 2
        code, first_s, lines = run_update(tool, launcher, env, os.path.join(work, "first.txt"))
        if host.stopped_at is None:
            sys.exit("the update ended before the host stopped:\n" + "\n".join(lines[-3:]))
        if code == 0 or not lines or not lines[-1].startswith("Error|Download failed|"):
            sys.exit("the first update did not fail with \"Download failed\":\n" + "\n".join(lines[-3:]))
        first_sent = host.sent
        print(f"first run: the host stopped after {host.stopped_at / 1048576:.1f} MiB "
              f"({host.stopped_at / release_bytes:.2f} of the release); {first_sent / 1048576:.1f} MiB sent in "
              f"all; the update ended after {first_s:.1f} s with: {lines[-1]}", flush=True)

        host.stop_after = None
        host.start()
        code, second_s, lines = run_update(tool, launcher, env, os.path.join(work, "second.txt"))
        if code != 0 or not lines or lines[-1] != "Ready|Game is ready|Release bench|1.000":
            sys.exit("the retried update did not end ready:\n" + "\n".join(lines[-3:]))
        if not same_files(release, launcher, names):
            sys.exit("the installed files differ from the release")
        second_sent = host.sent - first_sent
        print(f"retry: {second_sent / 1048576:.1f} MiB sent, ready after {second_s:.1f} s", flush=True)
    finally:
        if host is not None:
            host.stop()
        if keeper is not None:
            keeper.stop()
        for server in servers:
            if isinstance(server, lh.NginxHost):
                server.stop()
            else:
                server.terminate()
                server.wait()
        shutil.rmtree(work, ignore_errors=True)

    ratio = host.sent / release_bytes
    print(f"{args.size_mib} MiB in {args.files} files of {file_size} bytes")
    print(f"bytes sent by the host over both runs: {host.sent} ({host.sent / 1048576:.1f} MiB)")
    print(f"ratio sent / release size: {ratio:.3f}  (target <= 1.05)")
    # One line for bench/run; the figures above stay the ones to read.
    print(f"RESULT size_mib={args.size_mib} files={args.files} release_bytes={release_bytes} "
          f"stopped_at_fraction={host.stopped_at / release_bytes:.3f} first_mib={first_sent / 1048576:.1f} "
          f"retry_mib={second_sent / 1048576:.1f} sent_mib={host.sent / 1048576:.1f} ratio={ratio:.3f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
