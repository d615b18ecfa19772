"""Servers a test starts on loopback: the reference server, nginx as a
static host (HTTP or HTTPS), Squid as a forward proxy, and what they need
(certificates, releases)."""

import json
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request

from harness.core import (SOURCE_DIR, HarnessError, ProgramResult, end_with_parent, free_port, read_file, terminate,
                          wait_until)


class ReferenceServer:
    """tools/reference_server.py on a loopback port. It serves RELEASE_DIR as a
    static host and the game service with ACCOUNTS (a dict, or the path of a
    JSON file); the request log is read with requests()."""

    def __init__(self, scratch, release_dir=None, accounts=None, host="127.0.0.1", gated=False,
                 session_lifetime=None, time_limit=600, extra_args=()):
        self.host = host
        self.log_path = os.path.join(scratch, "server-%d.log" % time.monotonic_ns())
        command = [sys.executable, "-S", os.path.join(SOURCE_DIR, "tools", "reference_server.py"),
                   "--host", host, "--log", self.log_path, "--time-limit", str(time_limit)]
        if release_dir is not None:
            command += ["--release", release_dir]
        if isinstance(accounts, dict):
            path = os.path.join(scratch, "accounts-%d.json" % time.monotonic_ns())
            with open(path, "w", encoding="utf-8") as f:
                json.dump(accounts, f)
            accounts = path
        if accounts is not None:
            command += ["--accounts", accounts]
        if gated:
            command.append("--gated")
        if session_lifetime is not None:
            command += ["--session-lifetime", str(session_lifetime)]
        command += list(extra_args)
        self.stderr_path = self.log_path + ".err"
        with open(self.stderr_path, "wb") as err:
            self.process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=err,
                                            preexec_fn=end_with_parent)
        self.pid = self.process.pid
        words = self.process.stdout.readline().decode(errors="replace").split()
        if len(words) != 3 or words[0] != "listening":
            self.stop()
            raise HarnessError("reference server did not start: " + read_file(self.stderr_path).strip())
        self.port = int(words[2])
        url_host = "[%s]" % host if ":" in host else host
        self.url = "http://%s:%d" % (url_host, self.port)

    def url_for(self, host):
        """The server's address written with another HOST name (for
        example "localhost" for a server on 127.0.0.1)."""
        return "http://%s:%d" % (host, self.port)

    def requests(self):
        """Every request served so far, as the server logged it (dicts)."""
        text = read_file(self.log_path)
        return [json.loads(line) for line in text.splitlines() if line.strip()]

    def control(self, action):
        """POSTs one of the server's test-only control paths, for example
        "expire-sessions" or "revoke-download-tokens"."""
        request = urllib.request.Request(self.url + "/_control/" + action, data=b"", method="POST")
        with urllib.request.urlopen(request, timeout=30) as response:
            return json.loads(response.read())

    def stop(self):
        terminate(self.process)
        if self.process.stdout:
            self.process.stdout.close()


def documented_nginx_locations():
    """The `location` blocks of the sample nginx configuration in
    docs/publishing.md: every nginx host of the tests serves with them, so
    the sample publishers copy is the one the tests run."""
    with open(os.path.join(SOURCE_DIR, "docs", "publishing.md"), encoding="utf-8") as f:
        text = f.read()
    sample = re.search(r"\*\*A sample nginx configuration\*\*.*?```\n(.*?)```", text, re.S)
    locations = re.findall(r"^    location .*?^    }\n", sample.group(1), re.S | re.M) if sample else []
    if not locations:
        raise HarnessError("docs/publishing.md holds no sample nginx configuration with location blocks")
    return "".join(locations)


class NginxHost:
    """nginx serving ROOT as a static host on HOST (a loopback address; not
    127.0.0.1 by default, so the launcher treats it as a remote source and
    checks the release signature). LIMIT_RATE (for example "1m") slows every
    answer, so a test can stop the host in the middle of downloads. The port
    is picked once and kept across stop() and start(). requests() reads the
    access log: one dict per finished or broken request.

    CERTIFICATE = (certificate file, key file) serves HTTPS instead, as
    https://localhost:PORT on 127.0.0.1 (Wine accepts no IP-address names in
    certificates; an https:// source is never a local test server, so its
    release list must be signed too). connections() counts the connections
    the host accepted, also those that ended before any request, such as a
    refused certificate."""

    def __init__(self, scratch, root, host=None, limit_rate=None, certificate=None):
        host = host or ("127.0.0.1" if certificate else "127.0.0.2")
        self.host = host
        self.root = root
        self.dir = tempfile.mkdtemp(prefix="nginx_", dir=scratch)
        self.access_log = os.path.join(self.dir, "access.log")
        self.error_log = os.path.join(self.dir, "error.log")
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
            probe.bind((host, 0))
            self.port = probe.getsockname()[1]
        if certificate:
            self.url = "https://localhost:%d" % self.port
            tls = "ssl_certificate %s;\n        ssl_certificate_key %s;" % certificate
        else:
            self.url = "http://%s:%d" % (host, self.port)
            tls = ""
        rate = "limit_rate %s;" % limit_rate if limit_rate else ""
        user = "user root;" if os.getuid() == 0 else ""
        temp = os.path.join(self.dir, "temp")
        config = """%(user)s
daemon off;
worker_processes 1;
pid %(dir)s/nginx.pid;
error_log %(error_log)s info;
events { worker_connections 64; }
http {
    log_format requests escape=json '{"method":"$request_method","path":"$request_uri","status":$status,'
        '"bytes":$body_bytes_sent,"authorization":"$http_authorization","connection":$connection,'
        '"scheme":"$scheme"}';
    access_log %(access_log)s requests;
    client_body_temp_path %(temp)s/body;
    proxy_temp_path %(temp)s/proxy;
    fastcgi_temp_path %(temp)s/fastcgi;
    uwsgi_temp_path %(temp)s/uwsgi;
    scgi_temp_path %(temp)s/scgi;
    types { }
    default_type application/octet-stream;
    server {
        listen %(host)s:%(port)d%(ssl)s;
        root %(root)s;
        %(rate)s
        %(tls)s
%(locations)s    }
}
""" % dict(user=user, dir=self.dir, error_log=self.error_log, access_log=self.access_log, temp=temp,
           host=host, port=self.port, root=root, rate=rate, ssl=" ssl" if certificate else "", tls=tls,
           locations=documented_nginx_locations())
        os.makedirs(temp)
        self.config = os.path.join(self.dir, "nginx.conf")
        with open(self.config, "w", encoding="utf-8") as f:
            f.write(config)
        self.process = None
        self._probes = 0
        self.start()

    def start(self):
        nginx = shutil.which("nginx") or "/usr/sbin/nginx"
        with open(os.path.join(self.dir, "nginx.out"), "ab") as out:
            self.process = subprocess.Popen([nginx, "-p", self.dir, "-c", self.config], stdin=subprocess.DEVNULL,
                                            stdout=out, stderr=out, preexec_fn=end_with_parent)

        def answers():
            if self.process.poll() is not None:
                raise HarnessError("nginx ended: " + read_file(self.error_log).strip())
            with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
                s.settimeout(1)
                return s.connect_ex((self.host, self.port)) == 0
        logged = self._logged_connections()
        wait_until(answers, 30, "nginx on %s" % self.url)
        # That probe is a connection too: wait until it is logged, so that
        # connections() can leave it out.
        wait_until(lambda: self._logged_connections() > logged, 30, "nginx's log of the first connection")
        self._probes += 1

    def stop(self):
        """Fast shutdown: open connections are closed at once."""
        if self.process is not None:
            terminate(self.process)

    def requests(self):
        text = read_file(self.access_log)
        return [json.loads(line) for line in text.splitlines() if line.strip()]

    def connections(self):
        """How many connections from others the host has seen close: its
        error log names each one ("PID#TID: *N") when it ends, with or without
        a request. The harness's own readiness probes are left out."""
        return self._logged_connections() - self._probes

    def _logged_connections(self):
        return len(set(re.findall(r"\[info\] (\d+)#\d+: \*(\d+) ", read_file(self.error_log))))


class SquidProxy:
    """Squid as a forward proxy on 127.0.0.1 that resolves host names from
    HOSTS alone ({name: address}), so a name only it knows proves a request
    went through it. requests() reads its access log: one (method, URL) per
    request it served."""

    def __init__(self, scratch, hosts):
        self.dir = tempfile.mkdtemp(prefix="squid_", dir=scratch)
        self.port = free_port()
        self.address = "127.0.0.1:%d" % self.port
        self.access_log = os.path.join(self.dir, "access.log")
        self.cache_log = os.path.join(self.dir, "cache.log")
        hosts_file = os.path.join(self.dir, "hosts")
        with open(hosts_file, "w", encoding="utf-8") as f:
            f.writelines("%s %s\n" % (address, name) for name, address in hosts.items())
        # Squid refuses to run as root; started by root it becomes "proxy",
        # which must reach its folder.
        user = ""
        if os.getuid() == 0:
            user = "cache_effective_user proxy"
            os.chmod(self.dir, 0o777)
            folder = os.path.dirname(self.dir)
            while folder != os.path.dirname(folder):
                mode = os.stat(folder).st_mode
                if not mode & 0o001:
                    os.chmod(folder, mode | 0o111)
                folder = os.path.dirname(folder)
        self.config = os.path.join(self.dir, "squid.conf")
        with open(self.config, "w", encoding="utf-8") as f:
            f.write("""http_port %(address)s
http_access allow all
cache deny all
cache_mem 8 MB
hosts_file %(hosts)s
dns_nameservers 127.0.0.1
access_log stdio:%(access_log)s
cache_log %(cache_log)s
pid_filename %(dir)s/squid.pid
coredump_dir %(dir)s
pinger_enable off
shutdown_lifetime 0 seconds
%(user)s
""" % dict(address=self.address, hosts=hosts_file, access_log=self.access_log, cache_log=self.cache_log,
           dir=self.dir, user=user))
        squid = shutil.which("squid") or "/usr/sbin/squid"
        with open(os.path.join(self.dir, "squid.out"), "ab") as out:
            # The service name keeps its shared memory apart from other Squids.
            self.process = subprocess.Popen([squid, "-N", "-n", "tinderhallow%d" % self.port, "-f", self.config], stdin=subprocess.DEVNULL, stdout=out,
                                            stderr=out, preexec_fn=end_with_parent)

        def answers():
            if self.process.poll() is not None:
                raise HarnessError("squid ended: " + read_file(self.cache_log).strip())
            with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
                s.settimeout(1)
                return s.connect_ex(("127.0.0.1", self.port)) == 0
        wait_until(answers, 30, "squid on %s" % self.address)

    def requests(self):
        lines = read_file(self.access_log).splitlines()
        return [(line.split()[5], line.split()[6]) for line in lines if len(line.split()) > 6]

    def stop(self):
        terminate(self.process)


def make_test_certificates(folder):
    """With openssl, in FOLDER: a test CA ("ca.pem"), a server certificate for
    DNS:localhost that it signed ("localhost.pem", "localhost.key"), and a
    self-signed one for the same name that no store trusts ("untrusted.pem",
    "untrusted.key"). Returns the paths by those names."""
    os.makedirs(folder, exist_ok=True)
    paths = {name: os.path.join(folder, name)
             for name in ("ca.pem", "ca.key", "localhost.pem", "localhost.key", "untrusted.pem", "untrusted.key")}
    key = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes"]
    server_extensions = ["-addext", "subjectAltName=DNS:localhost", "-addext", "extendedKeyUsage=serverAuth"]

    def openssl(*args):
        done = subprocess.run(["openssl", *args], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, timeout=60)
        if done.returncode != 0:
            raise HarnessError("openssl %s failed: %s" % (args[0], done.stderr.decode(errors="replace").strip()))

    openssl("req", "-x509", *key, "-keyout", paths["ca.key"], "-out", paths["ca.pem"], "-days", "2",
            "-subj", "/CN=Tinderhallow Test CA", "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    request = os.path.join(folder, "localhost.csr")
    openssl("req", *key, "-keyout", paths["localhost.key"], "-out", request, "-subj", "/CN=localhost")
    extensions = os.path.join(folder, "localhost.ext")
    with open(extensions, "w", encoding="ascii") as f:
        f.write("subjectAltName=DNS:localhost\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n")
    openssl("x509", "-req", "-in", request, "-CA", paths["ca.pem"], "-CAkey", paths["ca.key"], "-CAcreateserial",
            "-days", "2", "-extfile", extensions, "-out", paths["localhost.pem"])
    openssl("req", "-x509", *key, "-keyout", paths["untrusted.key"], "-out", paths["untrusted.pem"], "-days", "2",
            "-subj", "/CN=localhost", *server_extensions)
    return paths


def request_header(request, name):
    """A header of a logged request (any letter case in NAME); None if absent."""
    for key, value in request.get("headers", []):
        if key.lower() == name.lower():
            return value
    return None


def publish_release(game_dir, release_dir, release_id, patch_notes=None, key=None, minimum_launcher=None,
                    timeout=300, sequence=None):
    """Publishes GAME_DIR as a signed release folder with
    tools/publish_release.py (KEY: one key file, or a list of them to sign
    with each); raises HarnessError when that fails. An empty
    RELEASE_DIR gets sequence 1 unless SEQUENCE says otherwise."""
    script = os.path.join(SOURCE_DIR, "tools", "publish_release.py")
    if not os.path.isfile(script):
        raise HarnessError("tools/publish_release.py is not in this source tree")
    command = [sys.executable, script, game_dir, release_dir, "--release-id", release_id]
    for one_key in ([] if key is None else [key] if isinstance(key, str) else key):
        command += ["--key", one_key]
    if patch_notes is not None:
        command += ["--patch-notes", patch_notes]
    if minimum_launcher is not None:
        command += ["--minimum-launcher", str(minimum_launcher)]
    if sequence is None and not os.path.isfile(os.path.join(release_dir, "update_manifest.json")):
        sequence = 1
    if sequence is not None:
        command += ["--sequence", str(sequence)]
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        code = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=out, stderr=err, timeout=timeout).returncode
        out.seek(0)
        err.seek(0)
        result = ProgramResult(code, out.read().decode(errors="replace"), err.read().decode(errors="replace"))
    if code != 0:
        raise HarnessError("publish_release.py failed (%d): %s" % (code, result.stderr.strip()))
    return result
