#!/usr/bin/env python3
"""A whole update against plain tools, measured in the same run.

A release of FILES files totalling SIZE_MIB is published (signed) and served
by nginx on 127.0.0.2 (so the signature is checked as for a remote host); the
game service is tools/reference_server.py. Then, from an empty launcher folder:

    TinderhallowTool update LAUNCHER_DIR ACCOUNT PASSWORD      (wall time, peak RSS)
    / (bench/winhttp_reference.cpp fetching the same files
       + cp -r of the bytes twice + openssl dgst -sha256 once)  (target <= 1.5)

The reference download is the plainest fast WinHTTP program (8 threads, no
hashing) under the same Wine, so the ratio shows what the update adds to the
platform's own download speed (hashing on arrival and the install); the same
with curl in its place is printed for information.

The update's peak memory is the largest resident set of the Wine process
that runs the tool (from wait4; target under 100 MB whatever the release
size). A command shell kept open in the prefix spares the timed runs the
start of the Wine session.
The last line, "RESULT key=value ...", repeats the figures for bench/run.

Usage: bench/update_bench.py [BUILD_DIR] [--size-mib N] [--files N] [--rounds N]
"""
import argparse
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

from bench_common import ROOT, WineKeeper, publish_release, wine_environment, windows_path, write_distinct_file  # noqa: E402
HOST = "127.0.0.2"
ACCOUNT, PASSWORD = "Brannoc", "hunter2"


def timed(command, env=None, out_path=None, check=True):
    """Wall seconds and peak RSS (KiB) of one command; output to a file, not
    a pipe (a wineserver started by the run would hold a pipe open)."""
    with open(out_path or os.devnull, "wb") as out:
        start = time.perf_counter()
        process = subprocess.Popen(command, env=env, stdout=out, stderr=out)
        _, status, usage = os.wait4(process.pid, 0)
        wall = time.perf_counter() - start
    if check and os.waitstatus_to_exitcode(status) != 0:
        detail = open(out_path, errors="replace").read()[-2000:] if out_path else ""
        sys.exit(f"failed: {' '.join(command[:4])}...\n{detail}")
    return wall, usage.ru_maxrss


def timed_update(command, env):
    """Like timed(), for the update: also the seconds at which the first
    install report and the final status arrived (the download/install split).
    Reads a pipe: the kept-open shell already started the wineserver."""
    start = time.perf_counter()
    process = subprocess.Popen(command, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    lines, install_start = [], None
    for raw in process.stdout:
        line = raw.decode("utf-8", "replace").rstrip("\n")
        if install_start is None and line.startswith("Updating|Installing update|"):
            install_start = time.perf_counter() - start
        lines.append(line)
    _, status, usage = os.wait4(process.pid, 0)
    wall = time.perf_counter() - start
    process.stdout.close()
    if os.waitstatus_to_exitcode(status) != 0 or not lines or lines[-1] != "Ready|Game is ready|Release bench|1.000":
        sys.exit("the update did not end ready:\n" + "\n".join(lines[-5:]))
    return wall, usage.ru_maxrss, install_start or wall


def write_files(folder, count, size):
    block = os.urandom(1 << 20)
    names = []
    for index in range(count):
        name = f"data/pack{index // 50:02d}/file{index:04d}.pak"
        write_distinct_file(os.path.join(folder, name), size, f"{index}:".encode(), block)
        names.append(name)
    return names


def free_port(host):
    with socket.socket() as s:
        s.bind((host, 0))
        return s.getsockname()[1]


def start_nginx(work, www, port, access_log=None):
    """nginx serving WWW on HOST:PORT; with ACCESS_LOG, one JSON line per
    request there (path, status, bytes sent with headers, connection, time)."""
    conf_dir = os.path.join(work, "nginx")
    os.makedirs(conf_dir)
    user_line = "user root;" if os.getuid() == 0 else ""
    conf = os.path.join(conf_dir, "nginx.conf")
    logging = "access_log off;"
    if access_log:
        logging = ("log_format sent escape=json '{\"path\":\"$request_uri\",\"status\":$status,"
                   "\"bytes\":$bytes_sent,\"connection\":$connection,\"time\":$request_time}';\n"
                   f"    access_log {access_log} sent;")
    with open(conf, "w") as f:
        f.write(f"""{user_line}
daemon off;
worker_processes 2;
pid {conf_dir}/nginx.pid;
error_log {conf_dir}/error.log warn;
events {{ worker_connections 256; }}
http {{
    {logging}
    sendfile on;
    tcp_nopush on;
    keepalive_requests 100000;
    client_body_temp_path {conf_dir}/body;
    proxy_temp_path {conf_dir}/proxy;
    fastcgi_temp_path {conf_dir}/fastcgi;
    uwsgi_temp_path {conf_dir}/uwsgi;
    scgi_temp_path {conf_dir}/scgi;
    types {{ application/json json; }}
    default_type application/octet-stream;
    server {{
        listen {HOST}:{port};
        root {www};
    }}
}}
""")
    process = subprocess.Popen([shutil.which("nginx"), "-p", conf_dir, "-c", conf],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    url = f"http://{HOST}:{port}"
    for _ in range(100):
        if subprocess.run(["curl", "-s", "-o", "/dev/null", url + "/"]).returncode == 0:
            return process, url
        time.sleep(0.1)
    process.kill()
    sys.exit("nginx did not start")


def start_game_service(work):
    accounts = os.path.join(work, "accounts.json")
    with open(accounts, "w") as f:
        f.write('{"%s": "%s"}' % (ACCOUNT, PASSWORD))
    process = subprocess.Popen([sys.executable, os.path.join(ROOT, "tools", "reference_server.py"), "--host", HOST,
                                "--accounts", accounts, "--time-limit", "7200"],
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    words = process.stdout.readline().split()
    if len(words) != 3 or words[0] != "listening":
        process.kill()
        sys.exit("reference server did not start")
    return process, f"http://{words[1]}:{words[2]}"


def same_files(folder_a, folder_b, names):
    for name in names:
        with open(os.path.join(folder_a, name), "rb") as a, open(os.path.join(folder_b, name), "rb") as b:
            while True:
                x, y = a.read(1 << 22), b.read(1 << 22)
                if x != y:
                    return False
                if not x:
                    break
    return True


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build_dir", nargs="?", default=os.path.join(ROOT, "build"))
    parser.add_argument("--size-mib", type=int, default=2048)
    parser.add_argument("--files", type=int, default=400)
    parser.add_argument("--rounds", type=int, default=1)
    args = parser.parse_args()

    build = os.path.abspath(args.build_dir)
    tool = os.path.join(build, "TinderhallowTool.exe")
    reference_program = os.path.join(build, "winhttp_reference.exe")
    if shutil.which("nginx") is None:
        sys.exit("nginx is not installed")
    env = wine_environment(build, tool, reference_program)

    file_size = (args.size_mib << 20) // args.files
    work = tempfile.mkdtemp(prefix="th_update_bench_")
    os.chmod(work, 0o755)
    servers = []
    keeper = None
    try:
        game = os.path.join(work, "game")
        release = os.path.join(work, "www")
        names = write_files(game, args.files, file_size)
        publish_release(game, release)
        shutil.rmtree(game)

        nginx, patch_url = start_nginx(work, release, free_port(HOST))
        servers.append(nginx)
        service, service_url = start_game_service(work)
        servers.append(service)

        curl_config = os.path.join(work, "curl.cfg")
        out = os.path.join(work, "out")
        with open(curl_config, "w") as f:
            for name in names:
                f.write(f'url = "{patch_url}/{name}"\noutput = "{out}/{name}"\n')
        files = [os.path.join(out, name) for name in names]
        reference_list = os.path.join(work, "reference.txt")
        with open(reference_list, "w") as f:
            f.write("".join(name + "\n" for name in names))

        keeper = WineKeeper(env)
        timed(["wine", tool], env, check=False)  # loads the program once; it prints its usage

        results = []
        launcher = os.path.join(work, "launcher")
        for _ in range(args.rounds):
            shutil.rmtree(out, ignore_errors=True)
            subprocess.run(["sync"])
            curl, _ = timed(["curl", "-s", "--fail", "--create-dirs", "--parallel", "--parallel-max", "8",
                             "-K", curl_config])
            shutil.rmtree(out)
            os.makedirs(out)
            subprocess.run(["sync"])
            download, _ = timed(["wine", reference_program, patch_url, windows_path(reference_list),
                                 windows_path(out), "8"], env)
            copies = os.path.join(work, "copies")
            shutil.rmtree(copies, ignore_errors=True)
            os.makedirs(copies)
            cp1, _ = timed(["cp", "-r", os.path.join(out, "data"), os.path.join(copies, "one")])
            cp2, _ = timed(["cp", "-r", os.path.join(copies, "one"), os.path.join(copies, "two")])
            openssl, _ = timed(["openssl", "dgst", "-sha256", "-r"] + files)
            shutil.rmtree(copies)
            shutil.rmtree(out)

            shutil.rmtree(launcher, ignore_errors=True)
            os.makedirs(launcher)
            with open(os.path.join(launcher, "patch_source.txt"), "w") as f:
                f.write(patch_url + "\n")
            with open(os.path.join(launcher, "server_url.txt"), "w") as f:
                f.write(service_url + "\n")
            subprocess.run(["sync"])
            update, rss, install_start = timed_update(
                ["wine", tool, "update", windows_path(launcher), ACCOUNT, PASSWORD], env)
            if not same_files(release, launcher, names):
                sys.exit("the installed files differ from the release")
            results.append((update, rss, download, curl, cp1, cp2, openssl, install_start))
            print(f"round: update {update:.2f} s (check and downloads {install_start:.2f} s, install and "
                  f"clean-up {update - install_start:.2f} s; peak RSS {rss / 1024:.1f} MiB); WinHTTP reference "
                  f"{download:.2f} s, curl {curl:.2f} s, cp {cp1:.2f} s + {cp2:.2f} s, openssl {openssl:.2f} s",
                  flush=True)
            shutil.rmtree(launcher)
    finally:
        if keeper is not None:
            keeper.stop()
        for process in servers:
            process.terminate()
            process.wait()
        shutil.rmtree(work, ignore_errors=True)

    # Each figure the best of its rounds.
    update, rss, _, _, _, _, _, install_start = min(results)
    download, curl = min(r[2] for r in results), min(r[3] for r in results)
    copies_and_openssl = min(r[4] + r[5] + r[6] for r in results)
    reference = download + copies_and_openssl
    with_curl = curl + copies_and_openssl
    print(f"{args.size_mib} MiB in {args.files} files of {file_size} bytes, best of {args.rounds}")
    print(f"update (wall, with Wine start):       {update:8.2f} s")
    print(f"  of which check and downloads:       {install_start:8.2f} s")
    print(f"WinHTTP reference download:           {download:8.2f} s")
    print(f"curl --parallel-max 8:                {curl:8.2f} s")
    print(f"cp -r twice + openssl dgst -sha256:   {copies_and_openssl:8.2f} s")
    print(f"ratio update / (reference + 2 cp + openssl): {update / reference:.2f}  (target <= 1.5)")
    print(f"ratio update / (curl + 2 cp + openssl):      {update / with_curl:.2f}  (for information)")
    print(f"peak RSS of the update: {max(r[1] for r in results) / 1024:.1f} MiB  (target < 100 MB)")
    # One line for bench/run; the figures above stay the ones to read.
    print(f"RESULT size_mib={args.size_mib} files={args.files} rounds={args.rounds} update_s={update:.2f} "
          f"downloads_s={install_start:.2f} reference_download_s={download:.2f} curl_s={curl:.2f} "
          f"copies_and_openssl_s={copies_and_openssl:.2f} reference_s={reference:.2f} ratio={update / reference:.3f} "
          f"curl_ratio={update / with_curl:.3f} "
          f"peak_rss_mb={max(r[1] for r in results) * 1024 / 1e6:.1f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
