"""The launcher's window: a private X display, the strings a program drew
(from Wine's GDI+ trace) and WindowDriver.exe's commands."""

import dataclasses
import os
import re
import select
import socket
import subprocess
import tempfile
import time

from harness.core import HarnessError, end_with_parent, read_file, terminate, windows_path

WINDOW_CLASS = "TinderhallowLauncherWindow"


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
                    preexec_fn=end_with_parent)
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
                raise HarnessError("Xvfb ended: " + read_file(self.log_path).strip())
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
        terminate(self.process)


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


class WindowDriving:
    """The window driver's commands, for a harness with run() and scratch."""

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


def _quote(word):
    if word and not any(c in word for c in ' \t\r\n"\\') and not word.startswith("#"):
        return word
    escaped = word.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n").replace("\t", "\\t")
    return '"' + escaped + '"'
