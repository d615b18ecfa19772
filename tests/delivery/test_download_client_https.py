#!/usr/bin/env python3
"""The download client over HTTPS (`TinderhallowTool fetch` under Wine):
TLS hosts on localhost whose certificate chains to a test CA made for this
run and trusted only in the run's private prefix. A redirect from HTTPS to
HTTP is refused before the plain host is asked; one to another HTTPS port is
followed.

Usage: test_download_client_https.py BUILD_DIR
"""

import hashlib
import http.server
import os
import ssl
import struct
import subprocess
import sys
import tempfile
import threading
import unittest
from pathlib import Path

SOURCE = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(SOURCE / "tests" / "support"))
import launcher_harness as lh  # noqa: E402

BUILD = lh.find_build_dir()
CERT_PROP_ID = 32  # the certificate itself, in a registry store's "Blob"


def openssl(*args, cwd):
    subprocess.run(["openssl", *args], cwd=cwd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def make_certificates(folder):
    """A CA and a certificate for "localhost" signed by it (Wine accepts no
    IP addresses in certificates). Returns the CA's DER bytes."""
    openssl("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-keyout", "ca.key",
            "-out", "ca.pem", "-days", "2", "-subj", "/CN=Tinderhallow test CA",
            "-addext", "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign",
            cwd=folder)
    openssl("req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-keyout", "host.key",
            "-out", "host.csr", "-subj", "/CN=localhost", cwd=folder)
    Path(folder, "host.ext").write_text("subjectAltName=DNS:localhost\nbasicConstraints=CA:FALSE\n"
                                        "extendedKeyUsage=serverAuth\n")
    openssl("x509", "-req", "-in", "host.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial",
            "-out", "host.pem", "-days", "2", "-extfile", "host.ext", cwd=folder)
    openssl("x509", "-in", "ca.pem", "-outform", "DER", "-out", "ca.der", cwd=folder)
    return Path(folder, "ca.der").read_bytes()


class Host:
    """A threading HTTP(S) server on 127.0.0.1; ROUTE(path) gives (status,
    headers, body). Records every path asked for."""

    def __init__(self, route, tls_folder=None):
        self.paths = []
        host = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                host.paths.append(self.path)
                status, headers, body = route(self.path)
                self.send_response(status)
                for name, value in headers:
                    self.send_header(name, value)
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        if tls_folder is not None:
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(os.path.join(tls_folder, "host.pem"), os.path.join(tls_folder, "host.key"))
            self.server.socket = context.wrap_socket(self.server.socket, server_side=True)
        self.port = self.server.server_address[1]
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def stop(self):
        self.server.shutdown()
        self.server.server_close()


class DownloadClientHttps(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tls = tempfile.mkdtemp(prefix="th_tls_")
        ca = make_certificates(cls.tls)
        cls.harness = lh.LauncherHarness(BUILD, name="download_client_https")
        cls.hosts = []
        try:
            # The current user's root store, as Wine keeps it in the registry.
            key = "HKCU\\Software\\Microsoft\\SystemCertificates\\Root\\Certificates\\" + \
                hashlib.sha1(ca).hexdigest().upper()
            blob = struct.pack("<III", CERT_PROP_ID, 1, len(ca)) + ca
            trusted = cls.harness.run("reg", ["add", key, "/v", "Blob", "/t", "REG_BINARY", "/d", blob.hex(), "/f"])
            if trusted.code != 0:
                raise lh.HarnessError("could not trust the test CA: %r" % (trusted,))

            cls.plain = cls.host(lambda path: (200, [], b"plain " + path.encode()))
            cls.other = cls.host(lambda path: (200, [], b"secure " + path.encode()), tls=True)

            def source(path):
                if path.startswith("/rel/to-http/"):
                    return 302, [("Location", "http://127.0.0.1:%d/%s" % (cls.plain.port, path[13:]))], b""
                if path.startswith("/rel/to-https/"):
                    return 307, [("Location", "https://localhost:%d/%s" % (cls.other.port, path[14:]))], b""
                return 200, [], b"source " + path.encode()

            cls.source = cls.host(source, tls=True)
            cls.base = "https://localhost:%d/rel" % cls.source.port
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        for host in cls.hosts:
            host.stop()
        cls.harness.close()
        subprocess.run(["rm", "-rf", cls.tls])

    @classmethod
    def host(cls, route, tls=False):
        host = Host(route, cls.tls if tls else None)
        cls.hosts.append(host)
        return host

    def fetch(self, relative):
        destination = os.path.join(self.harness.scratch, "out", relative.replace("/", "_"))
        result = self.harness.tool("fetch", self.base, relative, lh.windows_path(destination))
        return result, destination

    def test_a_redirect_from_https_to_http_is_refused_before_the_plain_host_is_asked(self):
        result, destination = self.fetch("to-http/a.txt")
        self.assertEqual(result.code, 1, result)
        self.assertEqual(result.stderr, "Patch server redirected to-http/a.txt from HTTPS to HTTP, "
                                        "which is not allowed.\n")
        self.assertEqual(self.plain.paths, [])
        self.assertFalse(os.path.exists(destination))
        self.assertIn("/rel/to-http/a.txt", self.source.paths)

    def test_a_redirect_to_another_https_port_is_followed(self):
        result, destination = self.fetch("to-https/b.txt")
        self.assertEqual(result.code, 0, result)
        self.assertEqual(Path(destination).read_bytes(), b"secure /b.txt")


if __name__ == "__main__":
    lh.run_tests()
