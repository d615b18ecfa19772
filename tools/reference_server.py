#!/usr/bin/env python3
"""Reference server for tests, demos and publishers' smoke tests.

One process plays both servers the launcher talks to:

* a static release host: plain GETs of files below --release, with
  Content-Length, 404 for anything that is not a file there; with --gated,
  game files are served only to requests carrying "Authorization: Bearer
  TOKEN" for a token this server issued (401 otherwise). The release list,
  its signatures below manifests/, the patch notes and the launcher
  executable stay public: the launcher reads them before anyone has logged in;
* the game service: POST /api/games/morvanth/v1/session/login, .../ticket and
  .../download-token, with accounts from --accounts, a JSON object mapping an
  account name to its password, or to {"password": ..., "displayName": ...}.
  Account names match without regard to letter case; the answer carries the
  name as written in the file (or its display name).
  With --release-sequence N, every download-token answer names N as the
  sequence of the current release ("releaseSequence"): launchers then refuse
  to install an older release that a patch source still offers.

It listens on a loopback address only, prints "listening ADDRESS PORT" as its
first line, logs every request it served as one JSON line to --log, and stops
by itself after --time-limit seconds.

Test-only control paths (POST, empty body):
  /_control/expire-sessions          every session issued so far expires
  /_control/revoke-download-tokens   every download token issued so far is refused

Python 3 standard library only.
"""

import argparse
import ipaddress
import json
import os
import secrets
import socket
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

API_PREFIX = "/api/games/morvanth/v1/session/"
MAX_REQUEST_BODY = 64 * 1024
EXPIRED_MESSAGE = "Your session is invalid or expired. Log in again."
WRONG_LOGIN_MESSAGE = "Wrong account name or password."
BAD_REQUEST_MESSAGE = "The request was not understood."


class ServiceState:
    """Accounts, sessions and tokens; every field guarded by `lock`."""

    def __init__(self, accounts, session_lifetime, gated, fixed_token, refuse_tokens, release_sequence=None):
        self.lock = threading.Lock()
        self.release_sequence = release_sequence
        self.accounts = accounts  # lower-case name -> (shown name, password)
        self.session_lifetime = session_lifetime
        self.gated = gated
        self.fixed_token = fixed_token
        self.refuse_tokens = refuse_tokens
        self.sessions = {}  # token -> (account name, expiry time or None)
        self.download_tokens = set()
        self.tickets = []

    def login(self, name, password):
        with self.lock:
            entry = self.accounts.get(name.lower())
            if entry is None or entry[1] != password:
                return None
            token = secrets.token_hex(16)
            expiry = time.monotonic() + self.session_lifetime if self.session_lifetime is not None else None
            self.sessions[token] = (entry[0], expiry)
            return token, entry[0]

    def session_account(self, token):
        with self.lock:
            entry = self.sessions.get(token)
            if entry is None:
                return None
            if entry[1] is not None and time.monotonic() >= entry[1]:
                del self.sessions[token]
                return None
            return entry[0]

    def expire_sessions(self):
        with self.lock:
            self.sessions.clear()

    def new_ticket(self):
        with self.lock:
            ticket = secrets.token_hex(16)
            self.tickets.append(ticket)
            return ticket

    def new_download_token(self):
        with self.lock:
            token = self.fixed_token or secrets.token_hex(16)
            self.download_tokens.add(token)
            return token

    def revoke_download_tokens(self):
        with self.lock:
            self.download_tokens.clear()
            self.refuse_tokens = True

    def download_allowed(self, authorization):
        if not self.gated:
            return True
        if authorization is None or not authorization.startswith("Bearer "):
            return False
        with self.lock:
            return not self.refuse_tokens and authorization[len("Bearer "):] in self.download_tokens


class RequestLog:
    def __init__(self, path):
        self.lock = threading.Lock()
        self.file = open(path, "a", encoding="utf-8") if path else None

    def write(self, record):
        if self.file is None:
            return
        line = json.dumps(record, ensure_ascii=False) + "\n"
        with self.lock:
            self.file.write(line)
            self.file.flush()


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "TinderhallowReference/1"
    timeout = 60  # an idle keep-alive connection is closed after this

    def setup(self):
        super().setup()
        with self.server.counter_lock:
            self.server.connection_count += 1
            self.connection_id = self.server.connection_count

    def log_message(self, format, *args):  # the JSON log replaces stderr noise
        pass

    # -- answering ---------------------------------------------------------

    # Logged before the body goes out, so a client that has read the whole
    # answer always finds its line in the log.
    def _log(self, status, length, answer=None):
        record = {
            "time": time.time(),
            "connection": self.connection_id,
            "peer_port": self.client_address[1],
            "method": self.command,
            "path": self.path,
            "headers": [[name, value] for name, value in self.headers.items()],
            "status": status,
            "length": length,
        }
        # Service answers are logged whole so a test can match a ticket or
        # token that a client used against the one issued.
        if answer is not None:
            record["answer"] = answer
        self.server.request_log.write(record)

    def _send(self, status, body, content_type, answer=None):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self._log(status, len(body), answer)
        if self.command != "HEAD":
            self.wfile.write(body)

    def _send_json(self, status, value):
        self._send(status, json.dumps(value).encode("utf-8"), "application/json", value)

    def _send_text(self, status, text):
        self._send(status, text.encode("utf-8"), "text/plain; charset=utf-8")

    # -- static release host -----------------------------------------------

    def _release_file(self):
        root = self.server.release_dir
        if root is None:
            return None
        target = urllib.parse.unquote(urllib.parse.urlsplit(self.path).path)
        parts = [p for p in target.split("/") if p]
        if not parts or any(p in (".", "..") or "\\" in p or "\0" in p for p in parts):
            return None
        candidate = os.path.realpath(os.path.join(root, *parts))
        if os.path.commonpath([candidate, root]) != root or not os.path.isfile(candidate):
            return None
        return candidate

    def _public_path(self):
        parts = urllib.parse.unquote(urllib.parse.urlsplit(self.path).path).split("/")[1:]
        if parts in (["update_manifest.json"], ["patch_notes.json"], ["Tinderhallow.exe"]):
            return True
        return len(parts) == 2 and parts[0] == "manifests" and parts[1].endswith(".sig")

    def do_GET(self):
        if not self._public_path() and not self.server.state.download_allowed(self.headers.get("Authorization")):
            self._send_text(401, "A valid download token is required.\n")
            return
        path = self._release_file()
        if path is None:
            self._send_text(404, "Not found.\n")
            return
        try:
            f = open(path, "rb")
        except OSError:
            self._send_text(404, "Not found.\n")
            return
        with f:
            size = os.fstat(f.fileno()).st_size
            self.send_response(200)
            self.send_header("Content-Type", "application/octet-stream")
            self.send_header("Content-Length", str(size))
            self.end_headers()
            self._log(200, size)
            if self.command != "HEAD" and size > 0:
                self.wfile.flush()
                if self.connection.sendfile(f, 0, size) != size:
                    self.close_connection = True

    def do_HEAD(self):
        self.do_GET()

    # -- game service --------------------------------------------------------

    def do_POST(self):
        length_text = self.headers.get("Content-Length")
        if self.headers.get("Transfer-Encoding") is not None or length_text is None:
            self.close_connection = True
            self._send_json(411, {"ok": False, "message": BAD_REQUEST_MESSAGE})
            return
        try:
            length = int(length_text)
        except ValueError:
            length = -1
        if length < 0 or length > MAX_REQUEST_BODY:
            self.close_connection = True
            self._send_json(413, {"ok": False, "message": BAD_REQUEST_MESSAGE})
            return
        body = self.rfile.read(length) if length else b""
        path = urllib.parse.urlsplit(self.path).path
        state = self.server.state

        if path == "/_control/expire-sessions":
            state.expire_sessions()
            self._send_json(200, {"ok": True})
        elif path == "/_control/revoke-download-tokens":
            state.revoke_download_tokens()
            self._send_json(200, {"ok": True})
        elif path == API_PREFIX + "login":
            self._login(body)
        elif path in (API_PREFIX + "ticket", API_PREFIX + "download-token"):
            account = state.session_account(self.headers.get("X-Morvanth-Session", ""))
            if account is None:
                self._send_json(401, {"ok": False, "message": EXPIRED_MESSAGE})
            elif path.endswith("/ticket"):
                self._send_json(200, {"ok": True, "ticket": state.new_ticket()})
            else:
                answer = {"ok": True, "gate": state.gated}
                if state.gated:
                    answer["token"] = state.new_download_token()
                if state.release_sequence is not None:
                    answer["releaseSequence"] = state.release_sequence
                self._send_json(200, answer)
        else:
            self._send_json(404, {"ok": False, "message": "Not found."})

    def _login(self, body):
        try:
            request = json.loads(body.decode("utf-8"))
        except (UnicodeDecodeError, ValueError):
            request = None
        if not isinstance(request, dict) or not isinstance(request.get("username"), str) \
                or not isinstance(request.get("password"), str):
            self._send_json(400, {"ok": False, "message": BAD_REQUEST_MESSAGE})
            return
        result = self.server.state.login(request["username"], request["password"])
        if result is None:
            self._send_json(401, {"ok": False, "message": WRONG_LOGIN_MESSAGE})
            return
        token, name = result
        self._send_json(200, {"ok": True, "sessionToken": token, "account": {"username": name}})


class Server(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = False


def load_accounts(path):
    if path is None:
        return {}
    with open(path, encoding="utf-8") as f:
        raw = json.load(f)
    if not isinstance(raw, dict):
        raise ValueError("the accounts file must hold a JSON object")
    accounts = {}
    for name, entry in raw.items():
        if isinstance(entry, str):
            password, shown = entry, name
        elif isinstance(entry, dict) and isinstance(entry.get("password"), str):
            password = entry["password"]
            shown = entry.get("displayName") if isinstance(entry.get("displayName"), str) else name
        else:
            raise ValueError("account %r needs a password" % name)
        accounts[name.lower()] = (shown, password)
    return accounts


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--host", default="127.0.0.1", help="loopback address to listen on")
    parser.add_argument("--port", type=int, default=0, help="port; 0 picks a free one")
    parser.add_argument("--release", help="release folder served as a static host")
    parser.add_argument("--accounts", help="JSON file: account name -> password")
    parser.add_argument("--gated", action="store_true", help="require an issued bearer token for downloads")
    parser.add_argument("--download-token", help="the token to issue (default: a random one per request)")
    parser.add_argument("--refuse-download-tokens", action="store_true",
                        help="gated host that refuses every token it issues")
    parser.add_argument("--release-sequence", type=int, metavar="N",
                        help="sequence of the current release, named in every download-token answer")
    parser.add_argument("--session-lifetime", type=float, help="seconds until a session expires")
    parser.add_argument("--time-limit", type=float, default=300.0, help="seconds until the server stops")
    parser.add_argument("--log", help="append one JSON line per request served to this file")
    args = parser.parse_args(argv)

    try:
        address = ipaddress.ip_address(args.host)
    except ValueError:
        address = None
    if address is None or not address.is_loopback:
        print("refusing to listen on %s: only loopback addresses are allowed" % args.host, file=sys.stderr)
        return 2
    if not 0 <= args.port <= 65535 or args.time_limit <= 0:
        print("invalid --port or --time-limit", file=sys.stderr)
        return 2
    if args.release_sequence is not None and not 1 <= args.release_sequence <= 2147483647:
        print("--release-sequence must be between 1 and 2147483647", file=sys.stderr)
        return 2
    try:
        accounts = load_accounts(args.accounts)
    except (OSError, ValueError) as exc:
        print("cannot read accounts: %s" % exc, file=sys.stderr)
        return 2
    release_dir = os.path.realpath(args.release) if args.release else None
    if release_dir is not None and not os.path.isdir(release_dir):
        print("release folder not found: %s" % args.release, file=sys.stderr)
        return 2

    Server.address_family = socket.AF_INET6 if address.version == 6 else socket.AF_INET
    try:
        server = Server((str(address), args.port), Handler)
    except OSError as exc:
        print("cannot listen on %s port %d: %s" % (address, args.port, exc), file=sys.stderr)
        return 2
    server.release_dir = release_dir
    server.state = ServiceState(accounts, args.session_lifetime, args.gated or args.refuse_download_tokens,
                                args.download_token, args.refuse_download_tokens, args.release_sequence)
    server.request_log = RequestLog(args.log)
    server.counter_lock = threading.Lock()
    server.connection_count = 0

    print("listening %s %d" % (address, server.server_address[1]), flush=True)
    timer = threading.Timer(args.time_limit, server.shutdown)
    timer.daemon = True
    timer.start()
    try:
        server.serve_forever(poll_interval=0.2)
    except KeyboardInterrupt:
        pass
    finally:
        timer.cancel()
        server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
