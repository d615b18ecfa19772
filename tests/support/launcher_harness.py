"""Runs Tinderhallow's Windows programs under Wine for Python test drivers.

A LauncherHarness owns everything a window or end-to-end test needs and
cleans all of it up in close():

* a fresh Wine prefix: a copy of a template prefix that cmake/wine-prefix.sh
  makes once per build directory (with the "Georgia" font replacement, or
  without it and with only the fonts of a fresh Debian machine); the copy hard-links the large system libraries, so it takes
  well under a second;
* an X display: its own Xvfb on a free display number (or $DISPLAY when asked
  to use the user's screen and there is one);
* a scratch folder, and an artefact folder in the build directory for
  screenshots that outlive the run;
* every process it starts (programs under Wine, reference servers), ended by
  PID; Wine processes that those started are ended within its own prefix.

    import launcher_harness as lh
    with lh.LauncherHarness(lh.find_build_dir(), name="ui_window") as h:
        folder = h.prepare_launcher_dir(patch_source=release_dir)
        launcher = h.start_launcher(folder)
        info = h.wait_window()
        shot = h.screenshot("ready")
        h.close_window()
        assert launcher.wait(30) == 0

A test driver is a unittest module (TestCase classes whose tests run in the
order they are written) that ends with lh.run_tests(), run by ctest as
`python3 test_x.py BUILD_DIR`.

What the window shows is read two ways: screenshots (pixels at design
points), and the strings it drew, which Wine's GDI+ reports when a launcher
is started with trace_text=True (status title, detail, main button and the
login panel's line; see Program.status()).

Coordinates given to the window helpers are design units of the launcher's
1664 x 940 canvas; WindowDriver.exe scales them to the client area.

Python 3 standard library only, plus Xvfb, ImageMagick and Wine on PATH.
"""

import dataclasses
import json
import os
import re
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.request

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
DESIGN_WIDTH = 1664
DESIGN_HEIGHT = 940
WINDOW_CLASS = "TinderhallowLauncherWindow"

# Hard-linked from the template prefix; everything else (registry, ini files)
# is copied, because programs in the prefix may write to those.
_LINKED_SUFFIXES = (".dll", ".exe", ".drv", ".sys")

# Wine lists the Linux fonts through fontconfig: this file limits them to what
# scripts/install-deps.sh installs, so a machine with more fonts sees the same.
FRESH_MACHINE_FONTS = os.path.join(SOURCE_DIR, "tests", "support", "fresh-machine-fonts.conf")


class HarnessError(Exception):
    """A step of the harness itself failed (not the program under test)."""


@dataclasses.dataclass
class ProgramResult:
    code: int
    stdout: str
    stderr: str


@dataclasses.dataclass
class WindowInfo:
    title: str
    width: int
    height: int


@dataclasses.dataclass
class DriverResult:
    code: int
    lines: list
    stderr: str

    def value(self, key):
        """The rest of the last output line that starts with KEY, or None."""
        for line in reversed(self.lines):
            word, _, rest = line.partition(" ")
            if word == key:
                return rest
        return None


def wait_until(condition, timeout, what):
    """Polls CONDITION until it returns a true value, which is returned;
    HarnessError naming WHAT after TIMEOUT seconds."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            raise HarnessError("timed out after %s s waiting for %s" % (timeout, what))
        time.sleep(0.1)


def wait_for_file(path, timeout=30):
    """Waits until PATH exists."""
    return wait_until(lambda: os.path.exists(path), timeout, path)


def wait_for_file_gone(path, timeout=30):
    """Waits until nothing exists at PATH."""
    return wait_until(lambda: not os.path.lexists(path), timeout, "removal of " + path)


def windows_path(path):
    """The Wine path of a Linux path (through drive Z:)."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def find_build_dir(argv=None):
    """The build directory: the first argument (as ctest passes it), else
    $TINDERHALLOW_BUILD_DIR, else build/ in the source tree."""
    argv = sys.argv if argv is None else argv
    if len(argv) > 1 and not argv[1].startswith("-"):
        return os.path.abspath(argv[1])
    if os.environ.get("TINDERHALLOW_BUILD_DIR"):
        return os.path.abspath(os.environ["TINDERHALLOW_BUILD_DIR"])
    return os.path.join(SOURCE_DIR, "build")


class _WrittenOrder(unittest.TestLoader):
    """Runs a TestCase's tests in the order they are written: tests that share
    a display may leave windows (a started game) that an earlier one must not
    find on the screen."""

    def getTestCaseNames(self, case_class):
        def written_at(name):
            code = getattr(getattr(case_class, name), "__code__", None)
            return (code.co_filename, code.co_firstlineno) if code else ("", 0)
        return sorted(super().getTestCaseNames(case_class), key=written_at)


def run_tests():
    """unittest.main() for a test driver run as `python3 test_x.py BUILD_DIR
    [unittest options]`: the build directory stays for find_build_dir() and is
    not passed to unittest; exits with 1 when a test fails."""
    argv = list(sys.argv)
    if len(argv) > 1 and not argv[1].startswith("-"):
        del argv[1]
    unittest.main(module="__main__", argv=argv, testLoader=_WrittenOrder(), verbosity=2)


def _end_with_parent():
    """In a child before exec: the kernel kills it when the test process dies
    (a test killed by ctest's timeout leaves no Xvfb or Wine program behind)."""
    try:
        import ctypes
        ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG
    except Exception:  # noqa: BLE001 - best effort, not Linux-only code paths
        pass


def _terminate(process):
    """SIGTERM, then SIGKILL if it has not ended within 10 s."""
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait(10)


def _read_file(path):
    try:
        with open(path, "rb") as f:
            return f.read().decode("utf-8", errors="replace")
    except OSError:
        return ""


# -- Wine prefixes --------------------------------------------------------------

def template_prefix(build_dir, font_replacement=True):
    """The build directory's template prefix, made on first use (about 7 s)."""
    name = "template" if font_replacement else "template-no-georgia"
    prefix = os.path.join(build_dir, "test-prefixes", name)
    command = [os.path.join(SOURCE_DIR, "cmake", "wine-prefix.sh"), prefix]
    if not font_replacement:
        command.append("--no-font-replacement")
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    if not font_replacement:
        env["FONTCONFIG_FILE"] = FRESH_MACHINE_FONTS
    with tempfile.TemporaryFile() as err:
        if subprocess.run(command, env=env, stdout=subprocess.DEVNULL, stderr=err, timeout=600).returncode != 0:
            err.seek(0)
            raise HarnessError("cannot create the Wine prefix %s: %s" % (prefix, err.read().decode(errors="replace")))
    return prefix


def copy_prefix(template, target):
    """A private prefix at TARGET that starts as a copy of TEMPLATE."""
    os.makedirs(target)
    for root, dirs, files in os.walk(template):
        relative = os.path.relpath(root, template)
        destination = os.path.normpath(os.path.join(target, relative))
        for name in dirs:
            source = os.path.join(root, name)
            if os.path.islink(source):
                os.symlink(os.readlink(source), os.path.join(destination, name))
            else:
                os.mkdir(os.path.join(destination, name))
        dirs[:] = [d for d in dirs if not os.path.islink(os.path.join(root, d))]
        for name in files:
            source = os.path.join(root, name)
            copy = os.path.join(destination, name)
            if os.path.islink(source):
                os.symlink(os.readlink(source), copy)
            elif name.lower().endswith(_LINKED_SUFFIXES):
                try:
                    os.link(source, copy)
                except OSError:  # another file system
                    shutil.copy2(source, copy)
            elif os.path.isfile(source):
                shutil.copy2(source, copy)


# -- X display ------------------------------------------------------------------

class Xvfb:
    """A virtual X server on a display number it picks itself (-displayfd), so
    parallel tests never race for one. Ready when the constructor returns."""

    def __init__(self, width=1920, height=1080, log_dir=None, timeout=30):
        self.log_path = os.path.join(log_dir or tempfile.gettempdir(), "xvfb-%d.log" % os.getpid())
        read_end, write_end = os.pipe()
        try:
            with open(self.log_path, "wb") as log:
                self.process = subprocess.Popen(
                    ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "%dx%dx24" % (width, height),
                     "-nolisten", "tcp"],
                    stdin=subprocess.DEVNULL, stdout=log, stderr=log, pass_fds=(write_end,),
                    preexec_fn=_end_with_parent)
            os.close(write_end)
            write_end = None
            number = self._read_display_number(read_end, timeout)
        finally:
            if write_end is not None:
                os.close(write_end)
            os.close(read_end)
        self.display = ":%d" % number
        self._wait_for_socket(number, timeout)

    def _read_display_number(self, fd, timeout):
        deadline = time.monotonic() + timeout
        text = b""
        while not text.endswith(b"\n"):
            remaining = deadline - time.monotonic()
            if remaining <= 0 or not select.select([fd], [], [], remaining)[0]:
                self.stop()
                raise HarnessError("Xvfb did not report a display within %d s" % timeout)
            chunk = os.read(fd, 16)
            if not chunk:
                self.stop()
                raise HarnessError("Xvfb ended: " + _read_file(self.log_path).strip())
            text += chunk
        return int(text.strip())

    def _wait_for_socket(self, number, timeout):
        path = "/tmp/.X11-unix/X%d" % number
        deadline = time.monotonic() + timeout
        while True:
            with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
                try:
                    s.connect(path)
                    return
                except OSError:
                    pass
            if time.monotonic() > deadline or self.process.poll() is not None:
                self.stop()
                raise HarnessError("Xvfb display :%d does not accept connections" % number)
            time.sleep(0.05)

    def stop(self):
        _terminate(self.process)


# -- programs -------------------------------------------------------------------

# One string drawn by GDI+, as Wine's "trace+gdiplus" channel reports it:
#   GdipDrawString (GRAPHICS, L"text", LENGTH, FONT, (x,y,w,h), FORMAT, BRUSH)
# The rectangle is in design units: the launcher scales by a world transform.
_DRAWN_STRING = re.compile(r'trace:gdiplus:GdipDrawString \([0-9A-Fa-f]+, L"((?:[^"\\]|\\.)*)"(?:\.\.\.)?, '
                           r'-?\d+, [0-9A-Fa-f]+, \((-?[\d.]+),(-?[\d.]+),')
_DEBUGSTR_ESCAPES = {"n": "\n", "r": "\r", "t": "\t", '"': '"', "\\": "\\"}

# Where the painter puts each status string (left, top in design units).
STATUS_TITLE_AT = (326, 807)
STATUS_DETAIL_AT = (666, 805)
MAIN_BUTTON_AT = (1328, 796)
LOGIN_LINE_AT = (52, 560)


def _unescape_debugstr(text):
    """The text of a Wine debugstr_w body: \\n, \\" ... and \\XXXX (UTF-16 hex)."""
    out = []
    units = []
    i = 0
    while i < len(text):
        c = text[i]
        if c == "\\" and i + 1 < len(text):
            following = text[i + 1]
            hex_digits = text[i + 1:i + 5]
            if following in _DEBUGSTR_ESCAPES:
                out.append(_DEBUGSTR_ESCAPES[following])
                i += 2
                continue
            if len(hex_digits) == 4 and all(h in "0123456789abcdefABCDEF" for h in hex_digits):
                units.append(int(hex_digits, 16))
                i += 5
                # Surrogate pairs arrive as two escapes; decode them together.
                if i < len(text) and text[i] == "\\" and 0xD800 <= units[-1] < 0xDC00:
                    continue
                out.append(b"".join(u.to_bytes(2, "little") for u in units).decode("utf-16-le", errors="replace"))
                units = []
                continue
        out.append(c)
        i += 1
    return "".join(out)


@dataclasses.dataclass
class DrawnStatus:
    """The status strings of the last frame drawn (None: not drawn yet). The
    login panel's line keeps the value it had when the panel was last drawn."""
    title: str = None
    detail: str = None
    button: str = None
    login_line: str = None


class DrawnText:
    """Incremental reader of the strings a program drew, from its stderr."""

    def __init__(self, path):
        self.path = path
        self.offset = 0
        self.pending = b""
        self.status = DrawnStatus()
        self.frame_title = None
        self.frame_detail = None
        self.history = []  # (title, detail) in the order they were first drawn

    def update(self):
        try:
            with open(self.path, "rb") as f:
                f.seek(self.offset)
                chunk = f.read()
        except OSError:
            return self.status
        self.offset += len(chunk)
        data = self.pending + chunk
        lines = data.split(b"\n")
        self.pending = lines.pop()
        for raw in lines:
            if b"GdipDrawString (" not in raw:
                continue
            match = _DRAWN_STRING.search(raw.decode("utf-8", errors="replace"))
            if not match:
                continue
            text = _unescape_debugstr(match.group(1))
            at = (round(float(match.group(2))), round(float(match.group(3))))
            # The main button is drawn after the status lines of its frame, so
            # the three are taken together when it arrives.
            if at == STATUS_TITLE_AT:
                self.frame_title = text
            elif at == STATUS_DETAIL_AT:
                self.frame_detail = text
            elif at == MAIN_BUTTON_AT:
                self.status.title, self.status.detail, self.status.button = self.frame_title, self.frame_detail, text
                if not self.history or self.history[-1] != (self.frame_title, self.frame_detail):
                    self.history.append((self.frame_title, self.frame_detail))
            elif at == LOGIN_LINE_AT:
                self.status.login_line = text
        return dataclasses.replace(self.status)

class Program:
    """A process the harness started; its output goes to files (a pipe would
    stay open as long as a wineserver that the program started)."""

    def __init__(self, name, command, env, cwd, log_dir, stdin_text=None):
        self.name = name
        base = os.path.join(log_dir, "%s-%d" % (name, time.monotonic_ns()))
        self.stdout_path = base + ".out"
        self.stderr_path = base + ".err"
        stdin = subprocess.DEVNULL
        if stdin_text is not None:
            with open(base + ".in", "wb") as f:
                f.write(stdin_text.encode("utf-8"))
            stdin = open(base + ".in", "rb")
        try:
            with open(self.stdout_path, "wb") as out, open(self.stderr_path, "wb") as err:
                self.process = subprocess.Popen(command, env=env, cwd=cwd, stdin=stdin,
                                                stdout=out, stderr=err, preexec_fn=_end_with_parent)
        finally:
            if stdin is not subprocess.DEVNULL:
                stdin.close()
        self.pid = self.process.pid
        self._drawn = DrawnText(self.stderr_path)

    def poll(self):
        return self.process.poll()

    def status(self):
        """The status strings of the last frame it drew; only filled for a
        program started with trace_text=True."""
        return self._drawn.update()

    def status_history(self):
        """Every (title, detail) pair it drew, in order, without repeats."""
        self._drawn.update()
        return list(self._drawn.history)

    def wait_status(self, title, detail=None, detail_contains=None, timeout=60):
        """Waits until the last frame shows TITLE (and DETAIL, or a detail
        containing DETAIL_CONTAINS); returns that DrawnStatus. HarnessError
        names what was shown last."""
        def shown():
            status = self.status()
            if status.title != title:
                return None
            if detail is not None and status.detail != detail:
                return None
            if detail_contains is not None and (status.detail is None or detail_contains not in status.detail):
                return None
            return status
        try:
            return wait_until(shown, timeout, "status %r %r" % (title, detail or detail_contains))
        except HarnessError as error:
            raise HarnessError("%s; last drawn %s" % (error, self.status())) from None

    def wait_login_line(self, text, timeout=60):
        """Waits until the login panel's line reads TEXT."""
        try:
            return wait_until(lambda: self.status().login_line == text, timeout, "login line %r" % text)
        except HarnessError as error:
            raise HarnessError("%s; last drawn %s" % (error, self.status())) from None

    def wait(self, timeout):
        """The exit code; raises HarnessError (and leaves it running) when it
        has not ended within TIMEOUT seconds."""
        try:
            return self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            raise HarnessError("%s (pid %d) still runs after %s s" % (self.name, self.pid, timeout)) from None

    def kill(self):
        """Ends this process (by its PID only) if it still runs."""
        if self.process.poll() is None:
            try:
                os.kill(self.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                pass

    def stdout(self):
        return _read_file(self.stdout_path)

    def stderr(self):
        return _read_file(self.stderr_path)


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
                                            preexec_fn=_end_with_parent)
        self.pid = self.process.pid
        words = self.process.stdout.readline().decode(errors="replace").split()
        if len(words) != 3 or words[0] != "listening":
            self.stop()
            raise HarnessError("reference server did not start: " + _read_file(self.stderr_path).strip())
        self.port = int(words[2])
        url_host = "[%s]" % host if ":" in host else host
        self.url = "http://%s:%d" % (url_host, self.port)

    def url_for(self, host):
        """The server's address written with another HOST name (for
        example "localhost" for a server on 127.0.0.1)."""
        return "http://%s:%d" % (host, self.port)

    def requests(self):
        """Every request served so far, as the server logged it (dicts)."""
        text = _read_file(self.log_path)
        return [json.loads(line) for line in text.splitlines() if line.strip()]

    def control(self, action):
        """POSTs one of the server's test-only control paths, for example
        "expire-sessions" or "revoke-download-tokens"."""
        request = urllib.request.Request(self.url + "/_control/" + action, data=b"", method="POST")
        with urllib.request.urlopen(request, timeout=30) as response:
            return json.loads(response.read())

    def stop(self):
        _terminate(self.process)
        if self.process.stdout:
            self.process.stdout.close()


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
    }
}
""" % dict(user=user, dir=self.dir, error_log=self.error_log, access_log=self.access_log, temp=temp,
           host=host, port=self.port, root=root, rate=rate, ssl=" ssl" if certificate else "", tls=tls)
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
                                            stdout=out, stderr=out, preexec_fn=_end_with_parent)

        def answers():
            if self.process.poll() is not None:
                raise HarnessError("nginx ended: " + _read_file(self.error_log).strip())
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
            _terminate(self.process)

    def requests(self):
        text = _read_file(self.access_log)
        return [json.loads(line) for line in text.splitlines() if line.strip()]

    def connections(self):
        """How many connections from others the host has seen close: its
        error log names each one ("PID#TID: *N") when it ends, with or without
        a request. The harness's own readiness probes are left out."""
        return self._logged_connections() - self._probes

    def _logged_connections(self):
        return len(set(re.findall(r"\[info\] (\d+)#\d+: \*(\d+) ", _read_file(self.error_log))))


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


def keep_wineserver_running(prefix):
    """Makes PREFIX ready and starts its wineserver to linger ten seconds after
    the last program ends, so a series of short Wine runs does not start and
    stop one each time (seconds per run)."""
    env = dict(os.environ, WINEPREFIX=str(prefix), WINEDEBUG="-all")
    subprocess.run([os.path.join(SOURCE_DIR, "cmake", "wine-prefix.sh"), str(prefix)], check=True, env=env)
    subprocess.run(["wineserver", "-p10"], env=env, stderr=subprocess.DEVNULL)


def publish_release(game_dir, release_dir, release_id, patch_notes=None, key=None, minimum_launcher=None,
                    timeout=300):
    """Publishes GAME_DIR as a signed release folder with
    tools/publish_release.py; raises HarnessError when that fails."""
    script = os.path.join(SOURCE_DIR, "tools", "publish_release.py")
    if not os.path.isfile(script):
        raise HarnessError("tools/publish_release.py is not in this source tree")
    command = [sys.executable, script, game_dir, release_dir, "--release-id", release_id]
    if key is not None:
        command += ["--key", key]
    if patch_notes is not None:
        command += ["--patch-notes", patch_notes]
    if minimum_launcher is not None:
        command += ["--minimum-launcher", str(minimum_launcher)]
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        code = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=out, stderr=err, timeout=timeout).returncode
        out.seek(0)
        err.seek(0)
        result = ProgramResult(code, out.read().decode(errors="replace"), err.read().decode(errors="replace"))
    if code != 0:
        raise HarnessError("publish_release.py failed (%d): %s" % (code, result.stderr.strip()))
    return result


# -- images ---------------------------------------------------------------------

class Image:
    """An RGB picture read whole through ImageMagick (as 8-bit PPM). With
    CROP = (x, y, w, h) and CROP_PATH, that part is also saved as a file by
    the same convert run."""

    def __init__(self, path, crop=None, crop_path=None):
        self.path = path
        command = ["convert", path]
        if crop is not None and crop_path is not None:
            command += ["(", "+clone", "-crop", "%dx%d+%d+%d" % (crop[2], crop[3], crop[0], crop[1]), "+repage",
                        "-write", crop_path, "+delete", ")"]
        command += ["-alpha", "off", "-depth", "8", "ppm:-"]
        data = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              timeout=60)
        if data.returncode != 0:
            raise HarnessError("cannot read %s: %s" % (path, data.stderr.decode(errors="replace").strip()))
        self.width, self.height, self.pixels = _parse_ppm(data.stdout)

    def pixel(self, x, y):
        """(r, g, b) at (x, y)."""
        if not (0 <= x < self.width and 0 <= y < self.height):
            raise HarnessError("(%d, %d) lies outside %s (%dx%d)" % (x, y, self.path, self.width, self.height))
        offset = (y * self.width + x) * 3
        return tuple(self.pixels[offset:offset + 3])

    def design_pixel(self, x, y, client_rect):
        """(r, g, b) at design point (x, y) of the window with CLIENT_RECT."""
        return self.pixel(*design_to_screen(x, y, client_rect))


def _parse_ppm(data):
    fields = []
    position = 0
    while len(fields) < 4:
        while data[position:position + 1].isspace():
            position += 1
        if data[position:position + 1] == b"#":
            position = data.index(b"\n", position) + 1
            continue
        end = position
        while not data[end:end + 1].isspace():
            end += 1
        fields.append(data[position:end])
        position = end
    if fields[0] != b"P6" or fields[3] != b"255":
        raise HarnessError("unexpected picture format from convert")
    width, height = int(fields[1]), int(fields[2])
    pixels = data[position + 1:position + 1 + width * height * 3]
    if len(pixels) != width * height * 3:
        raise HarnessError("truncated picture from convert")
    return width, height, pixels


def pixel_at(path, x, y):
    """(r, g, b) of one pixel, through "convert FILE -crop 1x1+X+Y txt:-"."""
    result = subprocess.run(["convert", path, "-crop", "1x1+%d+%d" % (x, y), "+repage", "-alpha", "off",
                             "-depth", "8", "txt:-"], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, timeout=60)
    text = result.stdout.decode(errors="replace")
    for line in text.splitlines():
        if line.startswith("#"):
            continue
        hash_at = line.find("#")
        if hash_at >= 0 and len(line) >= hash_at + 7:
            digits = line[hash_at + 1:hash_at + 7]
            return tuple(int(digits[i:i + 2], 16) for i in (0, 2, 4))
    raise HarnessError("no pixel (%d, %d) in %s: %s" % (x, y, path, (text + result.stderr.decode()).strip()))


def colour_close(actual, expected, tolerance=8):
    """True when every channel differs by at most TOLERANCE."""
    return all(abs(a - e) <= tolerance for a, e in zip(actual, expected))


def design_to_screen(x, y, client_rect):
    """Screen pixel of design point (x, y) for a client area (x, y, w, h)."""
    left, top, width, height = client_rect
    return (left + int(round(x * width / DESIGN_WIDTH)), top + int(round(y * height / DESIGN_HEIGHT)))


# -- the harness ----------------------------------------------------------------

class LauncherHarness:
    """See the module text. NAME names the artefact folder
    (BUILD_DIR/test-artefacts/NAME, or ARTEFACT_DIR); FONT_REPLACEMENT=False
    gives a prefix without the "Georgia" font replacement whose programs see
    only the fonts of a fresh Debian machine; USE_DISPLAY=True
    uses $DISPLAY when it is set instead of a private Xvfb."""

    def __init__(self, build_dir=None, name="harness", font_replacement=True, use_display=False,
                 artefact_dir=None):
        self.build_dir = os.path.abspath(build_dir or find_build_dir())
        self.name = name
        self.font_replacement = font_replacement
        self._programs = []
        self._servers = []
        self._xvfb = None
        self._own_prefix = None
        self.scratch = tempfile.mkdtemp(prefix="th_%s_" % name)
        self.artefact_dir = artefact_dir or os.path.join(self.build_dir, "test-artefacts", name)
        os.makedirs(self.artefact_dir, exist_ok=True)
        self._log_dir = os.path.join(self.scratch, "logs")
        os.makedirs(self._log_dir)
        try:
            template = template_prefix(self.build_dir, font_replacement)
            runs = os.path.join(self.build_dir, "test-prefixes", "runs")
            os.makedirs(runs, exist_ok=True)
            _remove_stale_runs(runs)
            holder = tempfile.mkdtemp(prefix="%s-" % name, dir=runs)
            self._own_prefix = holder
            self.prefix = os.path.join(holder, "prefix")
            copy_prefix(template, self.prefix)
            if use_display and os.environ.get("DISPLAY"):
                self.display = os.environ["DISPLAY"]
            else:
                self._xvfb = Xvfb(log_dir=self._log_dir)
                self.display = self._xvfb.display
        except BaseException:
            self.close()
            raise

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    # -- programs in the build directory --

    def exe(self, name):
        """Path of BUILD_DIR/NAME; HarnessError when it was not built."""
        path = os.path.join(self.build_dir, name)
        if not os.path.isfile(path):
            raise HarnessError("%s was not built in %s" % (name, self.build_dir))
        return path

    @property
    def launcher_exe(self):
        return self.exe("Tinderhallow.exe")

    @property
    def tool_exe(self):
        return self.exe("TinderhallowTool.exe")

    @property
    def driver_exe(self):
        return self.exe("WindowDriver.exe")

    @property
    def demo_game_exe(self):
        return self.exe("TinderhallowDemoGame.exe")

    # -- running under Wine --

    def environment(self, install_dir=None, no_shortcut=True, extra=None):
        """Environment for a program under Wine in this harness's prefix and
        display. INSTALL_DIR (a Linux or Windows path) becomes
        TINDERHALLOW_INSTALL_DIR; NO_SHORTCUT sets TINDERHALLOW_NO_SHORTCUT.
        Neither is inherited from the caller's environment."""
        env = {k: v for k, v in os.environ.items()
               if k not in ("TINDERHALLOW_INSTALL_DIR", "TINDERHALLOW_NO_SHORTCUT", "WAYLAND_DISPLAY")}
        env.update(WINEPREFIX=self.prefix, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=",
                   DISPLAY=self.display, LANG="C.UTF-8", LC_ALL="C.UTF-8")
        if not self.font_replacement:
            env["FONTCONFIG_FILE"] = FRESH_MACHINE_FONTS
        if install_dir is not None:
            install_dir = str(install_dir)
            env["TINDERHALLOW_INSTALL_DIR"] = windows_path(install_dir) if install_dir.startswith("/") else install_dir
        if no_shortcut:
            env["TINDERHALLOW_NO_SHORTCUT"] = "1"
        env.update(extra or {})
        return env

    def start(self, exe, args=(), env=None, cwd=None, name=None, stdin_text=None):
        """Starts EXE under Wine (STDIN_TEXT, when given, is its standard
        input); returns a Program."""
        program = Program(name or os.path.splitext(os.path.basename(exe))[0], ["wine", exe, *map(str, args)],
                          env or self.environment(), cwd, self._log_dir, stdin_text)
        self._programs.append(program)
        return program

    def run(self, exe, args=(), env=None, cwd=None, timeout=120, stdin_text=None):
        """Runs EXE under Wine to its end; returns a ProgramResult. A program
        still running after TIMEOUT seconds is killed and HarnessError raised."""
        program = self.start(exe, args, env, cwd, stdin_text=stdin_text)
        try:
            code = program.wait(timeout)
        except HarnessError:
            program.kill()
            raise
        return ProgramResult(code, program.stdout(), program.stderr())

    def tool(self, *args, timeout=120, stdin_text=None):
        """TinderhallowTool.exe ARGS."""
        return self.run(self.tool_exe, args, timeout=timeout, stdin_text=stdin_text)

    def trust_root_certificate(self, certificate):
        """Adds the CA certificate file CERTIFICATE (PEM or DER) to this
        prefix's current-user root store, so that WinHTTP accepts servers
        whose certificates it signed."""
        result = self.run(self.exe("AddRootCertificate.exe"), [windows_path(certificate)], timeout=60)
        if result.code != 0:
            raise HarnessError("AddRootCertificate failed (%d): %s" % (result.code, result.stderr.strip()))

    def wait_wineserver(self, timeout=60):
        """Waits until this prefix's wineserver has ended (every Wine process
        in the prefix is gone); False on timeout."""
        env = self.environment()
        try:
            subprocess.run(["wineserver", "-w"], env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=timeout)
            return True
        except subprocess.TimeoutExpired:
            return False

    def running(self, name):
        """Command lines of the processes in this prefix whose program file
        is called NAME (any letter case); a program that another started
        (a hand-over, a self-update, the game) is found here too."""
        return [command for _, command in self.processes(name)]

    def processes(self, name):
        """(pid, command line) of each process in this prefix whose program
        file is called NAME (any letter case)."""
        found = []
        marker = ("WINEPREFIX=" + self.prefix).encode()
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                with open("/proc/%s/environ" % entry, "rb") as f:
                    if marker not in f.read().split(b"\0"):
                        continue
                with open("/proc/%s/cmdline" % entry, "rb") as f:
                    words = f.read().split(b"\0")
            except OSError:
                continue
            program = words[0].decode(errors="replace").strip() if words else ""
            if program.replace("\\", "/").rsplit("/", 1)[-1].lower() == name.lower():
                found.append((int(entry), " ".join(w.decode(errors="replace") for w in words).strip()))
        return found

    def wait_not_running(self, name, timeout=60):
        """Waits until no process in this prefix runs NAME."""
        wait_until(lambda: not self.running(name), timeout, "the end of every " + name)

    # -- the window driver --

    def driver(self, *commands, timeout=60, check=True):
        """Runs WindowDriver.exe with COMMANDS, each a tuple of words (or a
        string for a command without arguments), in one Wine start. Raises
        HarnessError when a command fails and CHECK is set."""
        script = os.path.join(self.scratch, "driver-%d.txt" % time.monotonic_ns())
        with open(script, "w", encoding="utf-8", newline="\n") as f:
            for command in commands:
                words = [command] if isinstance(command, str) else list(command)
                f.write(" ".join(_quote(str(word)) for word in words) + "\n")
        result = self.run(self.driver_exe, ["--script", windows_path(script)], timeout=timeout)
        outcome = DriverResult(result.code, result.stdout.splitlines(), result.stderr)
        if check and result.code != 0:
            raise HarnessError("WindowDriver failed (%d): %s [output: %s]" % (result.code, result.stderr.strip(),
                                                                           " | ".join(outcome.lines)))
        return outcome

    def wait_window(self, timeout_ms=30000):
        """Waits for the launcher window; its title and client size."""
        result = self.driver(("wait-window", timeout_ms), timeout=timeout_ms / 1000 + 60)
        width, height = result.value("client").split()
        return WindowInfo(result.value("title"), int(width), int(height))

    def wait_gone(self, timeout_ms=30000):
        self.driver(("wait-gone", timeout_ms), timeout=timeout_ms / 1000 + 60)

    def window_count(self):
        return int(self.driver("windows").value("windows"))

    def title(self):
        return self.driver("title").value("title")

    def client_rect(self):
        """(x, y, width, height) of the window's client area on the screen."""
        return tuple(int(v) for v in self.driver("client-rect").value("client-rect").split())

    def type_account(self, text):
        self.driver(("type-account", text))

    def type_password(self, text):
        self.driver(("type-password", text))

    def keys_account(self, text):
        """Types TEXT as WM_CHAR messages, so the edit's subclass sees them."""
        self.driver(("keys-account", text))

    def keys_password(self, text):
        self.driver(("keys-password", text))

    def edit_text(self, which):
        return self.driver(("text", which)).value("text")

    def press_enter(self, which):
        self.driver(("press-enter", which))

    def press_tab(self, which):
        self.driver(("press-tab", which))

    def focus(self):
        """"account", "password", "window", "none" or "other"."""
        return self.driver("focus").value("focus")

    def wait_focus(self, which, timeout_ms=5000):
        self.driver(("wait-focus", which, timeout_ms))

    def click(self, x, y):
        self.driver(("click", x, y))

    def press(self, x, y):
        self.driver(("press", x, y))

    def release(self, x, y):
        self.driver(("release", x, y))

    def hover(self, x, y):
        self.driver(("hover", x, y))

    def edits_visible(self):
        """"visible", "hidden" or "mixed"."""
        return self.driver("edits-visible").value("edits")

    def wait_edits(self, state, timeout_ms=10000):
        self.driver(("wait-edits", state, timeout_ms), timeout=timeout_ms / 1000 + 60)

    def close_window(self):
        """Posts WM_CLOSE to the launcher window."""
        self.driver("close")

    def answer_message(self, title, button, timeout_ms=30000):
        """Waits for a message box titled TITLE, presses BUTTON ("yes", "no",
        "ok", "retry" or "cancel") and returns the box's text."""
        result = self.driver(("answer-message", title, button, timeout_ms), timeout=timeout_ms / 1000 + 60)
        return result.value("message").replace("\\n", "\n")

    # -- launcher folders --

    def prepare_launcher_dir(self, folder=None, patch_source=None, server_url=None, remembered_account=None,
                             copy_launcher=True):
        """A launcher folder (a new one in the scratch folder unless FOLDER is
        given) holding Tinderhallow.exe and the given settings files; a Linux
        folder path as PATCH_SOURCE is written as its Windows path."""
        folder = folder or tempfile.mkdtemp(prefix="launcher_", dir=self.scratch)
        os.makedirs(folder, exist_ok=True)
        if copy_launcher:
            shutil.copy2(self.launcher_exe, os.path.join(folder, "Tinderhallow.exe"))
        if patch_source is not None:
            source = windows_path(patch_source) if patch_source.startswith("/") else patch_source
            _write_setting(os.path.join(folder, "patch_source.txt"), source)
        if server_url is not None:
            _write_setting(os.path.join(folder, "server_url.txt"), server_url)
        if remembered_account is not None:
            _write_setting(os.path.join(folder, "launcher_account.txt"), remembered_account)
        return folder

    def start_launcher(self, folder, install_dir="same", no_shortcut=True, extra_env=None, exe_name="Tinderhallow.exe",
                       trace_text=False):
        """Starts FOLDER/Tinderhallow.exe. By default TINDERHALLOW_INSTALL_DIR
        is FOLDER itself, so the launcher runs in place; pass another folder to
        test the self-install, or None to leave the variable unset.
        TRACE_TEXT makes Wine report every string drawn (Program.status())."""
        install = folder if install_dir == "same" else install_dir
        extra = dict(extra_env or {})
        if trace_text:
            extra["WINEDEBUG"] = "-all,trace+gdiplus"
        env = self.environment(install_dir=install, no_shortcut=no_shortcut, extra=extra)
        return self.start(os.path.join(folder, exe_name), env=env, cwd=folder, name="launcher")

    # -- servers --

    def start_reference_server(self, release_dir=None, accounts=None, **options):
        """A ReferenceServer owned by this harness (stopped by close())."""
        server = ReferenceServer(self.scratch, release_dir, accounts, **options)
        self._servers.append(server)
        return server

    def start_nginx(self, root, **options):
        """An NginxHost owned by this harness (stopped by close())."""
        host = NginxHost(self.scratch, root, **options)
        self._servers.append(host)
        return host

    # -- screenshots --

    def screenshot(self, name):
        """The whole screen as BUILD_DIR/test-artefacts/NAME/<name>.png."""
        path = os.path.join(self.artefact_dir, name + ".png")
        env = dict(os.environ, DISPLAY=self.display)
        done = subprocess.run(["import", "-window", "root", path], env=env, stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=60)
        if done.returncode != 0 or not os.path.isfile(path):
            xwd = subprocess.run(["xwd", "-root", "-silent"], env=env, stdin=subprocess.DEVNULL,
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
            converted = subprocess.run(["convert", "xwd:-", path], input=xwd.stdout, stdout=subprocess.DEVNULL,
                                       stderr=subprocess.PIPE, timeout=60)
            if xwd.returncode != 0 or converted.returncode != 0:
                raise HarnessError("no screenshot of %s: %s %s" % (self.display, done.stderr.decode(errors="replace"),
                                                                  xwd.stderr.decode(errors="replace")))
        return path

    def window_screenshot(self, name):
        """A screenshot and the launcher's client rectangle at that moment; the
        client area alone is also saved as <name>-window.png. Returns
        (Image, (x, y, width, height))."""
        rect = self.client_rect()
        path = self.screenshot(name)
        return Image(path, rect, os.path.join(self.artefact_dir, name + "-window.png")), rect

    def wait_for_colour(self, name, x, y, colour, tolerance=8, timeout=30):
        """Takes screenshots (the last one kept as NAME) until design point
        (x, y) of the window shows COLOUR; returns (Image, rect). A window
        repaints on its own timer, so a status change shows after a while."""
        last = []

        def matches():
            image, rect = self.window_screenshot(name)
            last[:] = [image.design_pixel(x, y, rect)]
            return (image, rect) if colour_close(last[0], colour, tolerance) else None

        try:
            return wait_until(matches, timeout, "colour %s at design point (%s, %s)" % (colour, x, y))
        except HarnessError as error:
            raise HarnessError("%s; last seen %s" % (error, last[0] if last else None)) from None

    # -- clean-up --

    def close(self):
        """Stops the servers and kills the programs it started (by PID), ends
        its own prefix's wineserver with whatever the programs started in that
        prefix (never another prefix), stops Xvfb and removes the prefix and
        the scratch folder. Screenshots stay in the artefact folder."""
        for server in self._servers:
            server.stop()
        self._servers = []
        for program in self._programs:
            program.kill()
        self._programs = []
        if self._own_prefix is not None and os.path.isdir(getattr(self, "prefix", "")):
            # The prefix is this harness's alone, so ending its server ends
            # only what these tests started (and Wine's own helpers), at once
            # instead of after the server's idle time.
            subprocess.run(["wineserver", "-k"], env=self.environment(), stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
            self.wait_wineserver(30)
        if self._xvfb is not None:
            self._xvfb.stop()
            self._xvfb = None
        if self._own_prefix is not None:
            shutil.rmtree(self._own_prefix, ignore_errors=True)
            self._own_prefix = None
        shutil.rmtree(self.scratch, ignore_errors=True)


def _remove_stale_runs(runs):
    """Prefix copies of harnesses that were killed before close(); only ones
    old enough that nothing can still use them."""
    limit = time.time() - 12 * 3600
    for entry in os.listdir(runs):
        path = os.path.join(runs, entry)
        try:
            if os.path.isdir(path) and not os.path.islink(path) and os.path.getmtime(path) < limit:
                shutil.rmtree(path, ignore_errors=True)
        except OSError:
            pass


def _write_setting(path, text):
    with open(path, "w", encoding="utf-8", newline="\r\n") as f:
        f.write(text + "\n")


def _quote(word):
    if word and not any(c in word for c in ' \t\r\n"\\') and not word.startswith("#"):
        return word
    escaped = word.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n").replace("\t", "\\t")
    return '"' + escaped + '"'
