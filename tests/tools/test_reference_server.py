#!/usr/bin/env python3
"""Checks the reference server itself: static host, gate, game service calls,
session expiry, loopback-only binding, request log and time limit."""

import http.client
import json
import os
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "support"))
import launcher_harness as lh  # noqa: E402

SERVER = os.path.join(lh.SOURCE_DIR, "tools", "reference_server.py")
API = "/api/games/morvanth/v1/session/"


class RunningServer:
    def __init__(self, *extra):
        self.dir = tempfile.TemporaryDirectory()
        root = self.dir.name
        self.release = os.path.join(root, "release")
        os.makedirs(os.path.join(self.release, "data"))
        with open(os.path.join(self.release, "data", "a b.bin"), "wb") as f:
            f.write(b"\x00\x01game bytes")
        with open(os.path.join(root, "secret.txt"), "w") as f:
            f.write("outside the release")
        self.accounts = os.path.join(root, "accounts.json")
        with open(self.accounts, "w", encoding="utf-8") as f:
            json.dump({"Brannoc": "hunter2", "ysolde": {"password": "p\u00e4ss", "displayName": "Ysolde"}}, f)
        self.log = os.path.join(root, "requests.log")
        self.process = subprocess.Popen(
            [sys.executable, "-S", SERVER, "--release", self.release, "--accounts", self.accounts,
             "--log", self.log, "--time-limit", "60", *extra],
            stdout=subprocess.PIPE, text=True)
        words = self.process.stdout.readline().split()
        assert words[:2] == ["listening", "127.0.0.1"], words
        self.port = int(words[2])

    def connect(self):
        return http.client.HTTPConnection("127.0.0.1", self.port, timeout=30)

    def request(self, method, path, body=None, headers=None, connection=None):
        conn = connection or self.connect()
        conn.request(method, path, body=body, headers=headers or {})
        response = conn.getresponse()
        data = response.read()
        if connection is None:
            conn.close()
        return response, data

    def post(self, path, value, session=None):
        headers = {"Content-Type": "application/json"}
        if session is not None:
            headers["X-Morvanth-Session"] = session
        response, data = self.request("POST", path, json.dumps(value).encode("utf-8"), headers)
        return response.status, json.loads(data)

    def log_lines(self):
        with open(self.log, encoding="utf-8") as f:
            return [json.loads(line) for line in f]

    def close(self):
        self.process.terminate()
        self.process.wait(timeout=30)
        self.process.stdout.close()
        self.dir.cleanup()


class SharedServer(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = RunningServer()

    @classmethod
    def tearDownClass(cls):
        cls.server.close()


class StaticHost(SharedServer):
    def test_serves_files_with_content_length(self):
        response, data = self.server.request("GET", "/data/a%20b.bin")
        self.assertEqual(response.status, 200)
        self.assertEqual(data, b"\x00\x01game bytes")
        self.assertEqual(response.getheader("Content-Length"), str(len(data)))

    def test_answers_404_for_missing_files_folders_and_paths_outside_the_release(self):
        for path in ("/missing.bin", "/data", "/", "/../secret.txt", "/data/../../secret.txt", "/%2e%2e/secret.txt"):
            response, _ = self.server.request("GET", path)
            self.assertEqual(response.status, 404, path)

    def test_keeps_connections_alive_and_logs_each_request(self):
        before = len(self.server.log_lines())
        conn = self.server.connect()
        self.server.request("GET", "/data/a%20b.bin", connection=conn)
        self.server.request("GET", "/missing.bin", connection=conn)
        conn.close()
        self.server.request("GET", "/data/a%20b.bin")
        lines = self.server.log_lines()[before:]
        self.assertEqual([line["status"] for line in lines], [200, 404, 200])
        self.assertEqual(lines[0]["connection"], lines[1]["connection"])
        self.assertNotEqual(lines[1]["connection"], lines[2]["connection"])
        self.assertEqual(lines[0]["method"], "GET")
        self.assertEqual(lines[0]["path"], "/data/a%20b.bin")
        self.assertIn("Host", [name for name, _ in lines[0]["headers"]])


class GameService(SharedServer):
    def login(self, name="Brannoc", password="hunter2"):
        return self.server.post(API + "login", {"password": password, "username": name})

    def test_login_answers_a_session_and_the_name_as_written_in_the_accounts_file(self):
        status, answer = self.login("BRANNOC")
        self.assertEqual(status, 200)
        self.assertIs(answer["ok"], True)
        self.assertIsInstance(answer["sessionToken"], str)
        self.assertEqual(answer["account"], {"username": "Brannoc"})
        status, answer = self.login("ysolde", "p\u00e4ss")
        self.assertEqual((status, answer["account"]["username"]), (200, "Ysolde"))

    def test_login_refuses_a_wrong_password_with_a_message(self):
        status, answer = self.login(password="wrong")
        self.assertEqual(status, 401)
        self.assertEqual(answer["message"], "Wrong account name or password.")
        status, answer = self.login(name="nobody")
        self.assertEqual(status, 401)

    def test_ticket_and_ungated_download_token_need_a_known_session(self):
        _, answer = self.login()
        session = answer["sessionToken"]
        status, ticket = self.server.post(API + "ticket", {}, session)
        self.assertEqual(status, 200)
        self.assertTrue(ticket["ok"])
        self.assertIsInstance(ticket["ticket"], str)
        status, token = self.server.post(API + "download-token", {}, session)
        self.assertEqual((status, token), (200, {"ok": True, "gate": False}))
        for path in ("ticket", "download-token"):
            status, refusal = self.server.post(API + path, {}, "unknown")
            self.assertEqual(status, 401)
            self.assertIn("invalid or expired", refusal["message"])



class SessionExpiry(unittest.TestCase):
    def test_sessions_expire_by_lifetime_and_by_the_control_path(self):
        server = RunningServer("--session-lifetime", "0")
        try:
            _, answer = server.post(API + "login", {"password": "hunter2", "username": "Brannoc"})
            status, refusal = server.post(API + "ticket", {}, answer["sessionToken"])
            self.assertEqual(status, 401)
            self.assertIn("invalid or expired", refusal["message"])
        finally:
            server.close()
        server = RunningServer()
        try:
            _, answer = server.post(API + "login", {"password": "hunter2", "username": "Brannoc"})
            status, _ = server.post("/_control/expire-sessions", {})
            self.assertEqual(status, 200)
            status, refusal = server.post(API + "download-token", {}, answer["sessionToken"])
            self.assertEqual(status, 401)
            self.assertIn("invalid or expired", refusal["message"])
        finally:
            server.close()


class GatedHost(unittest.TestCase):
    def setUp(self):
        self.server = RunningServer("--gated")

    def tearDown(self):
        self.server.close()

    def test_downloads_need_the_bearer_token_it_issued(self):
        response, _ = self.server.request("GET", "/data/a%20b.bin")
        self.assertEqual(response.status, 401)
        response, _ = self.server.request("GET", "/data/a%20b.bin", headers={"Authorization": "Bearer made-up"})
        self.assertEqual(response.status, 401)

        _, answer = self.server.post(API + "login", {"password": "hunter2", "username": "Brannoc"})
        status, token = self.server.post(API + "download-token", {}, answer["sessionToken"])
        self.assertEqual(status, 200)
        self.assertIs(token["gate"], True)
        bearer = {"Authorization": "Bearer " + token["token"]}
        response, data = self.server.request("GET", "/data/a%20b.bin", headers=bearer)
        self.assertEqual((response.status, data), (200, b"\x00\x01game bytes"))

        self.server.post("/_control/revoke-download-tokens", {})
        response, _ = self.server.request("GET", "/data/a%20b.bin", headers=bearer)
        self.assertEqual(response.status, 401)

    def test_the_release_list_signatures_patch_notes_and_launcher_need_no_token(self):
        with open(os.path.join(self.server.release, "update_manifest.json"), "wb") as f:
            f.write(b"{}")
        with open(os.path.join(self.server.release, "Tinderhallow.exe"), "wb") as f:
            f.write(b"MZ")
        os.makedirs(os.path.join(self.server.release, "manifests"))
        with open(os.path.join(self.server.release, "manifests", "ab.sig"), "wb") as f:
            f.write(b"c2ln")
        with open(os.path.join(self.server.release, "manifests", "other.txt"), "wb") as f:
            f.write(b"not a signature")
        for path, body in (("/update_manifest.json", b"{}"), ("/manifests/ab.sig", b"c2ln"),
                           ("/Tinderhallow.exe", b"MZ")):
            response, data = self.server.request("GET", path)
            self.assertEqual((response.status, data), (200, body))
        response, _ = self.server.request("GET", "/patch_notes.json")
        self.assertEqual(response.status, 404)
        response, _ = self.server.request("GET", "/manifests/other.txt")
        self.assertEqual(response.status, 401)


class StartAndStop(unittest.TestCase):
    def test_refuses_addresses_that_are_not_loopback(self):
        for host in ("0.0.0.0", "localhost.example"):
            result = subprocess.run([sys.executable, "-S", SERVER, "--host", host, "--time-limit", "5"],
                                    capture_output=True, text=True, timeout=60)
            self.assertEqual(result.returncode, 2, host)
            self.assertEqual(result.stdout, "", host)

    def test_stops_by_itself_after_the_time_limit(self):
        process = subprocess.Popen([sys.executable, "-S", SERVER, "--time-limit", "0.5"],
                                   stdout=subprocess.PIPE, text=True)
        try:
            self.assertTrue(process.stdout.readline().startswith("listening 127.0.0.1 "))
            self.assertEqual(process.wait(timeout=60), 0)
        finally:
            if process.poll() is None:
                process.kill()
                process.wait()
            process.stdout.close()


if __name__ == "__main__":
    lh.run_tests()
