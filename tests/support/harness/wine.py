"""Programs under Wine: private prefixes copied from a template, programs
started and watched, and runs in the build's own prefix."""

import os
import shutil
import signal
import subprocess
import tempfile
import time
import typing

from harness.core import SOURCE_DIR, HarnessError, ProgramResult, end_with_parent, read_file, wait_until, windows_path
from harness.window import DrawnText

# Hard-linked from the template prefix; everything else (registry, ini files)
# is copied, because programs in the prefix may write to those.
_LINKED_SUFFIXES = (".dll", ".exe", ".drv", ".sys")

# Wine lists the Linux fonts through fontconfig: this file limits them to what
# scripts/install-deps.sh installs, so a machine with more fonts sees the same.
FRESH_MACHINE_FONTS = os.path.join(SOURCE_DIR, "tests", "support", "fresh-machine-fonts.conf")


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
                                                stdout=out, stderr=err, preexec_fn=end_with_parent)
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
        return read_file(self.stdout_path)

    def stderr(self):
        return read_file(self.stderr_path)


def keep_wineserver_running(prefix):
    """Makes PREFIX ready and starts its wineserver to linger ten seconds after
    the last program ends, so a series of short Wine runs does not start and
    stop one each time (seconds per run)."""
    env = dict(os.environ, WINEPREFIX=str(prefix), WINEDEBUG="-all")
    subprocess.run([os.path.join(SOURCE_DIR, "cmake", "wine-prefix.sh"), str(prefix)], check=True, env=env)
    subprocess.run(["wineserver", "-p10"], env=env, stderr=subprocess.DEVNULL)


class Ran(typing.NamedTuple):
    code: int
    stdout: bytes
    stderr: bytes


def run_in_prefix(prefix, exe, *args, stdin=None, timeout=120):
    """Runs EXE ARGS (STDIN: bytes for its standard input) under Wine in
    PREFIX, made on first use, in a UTF-8 locale; a Ran. Output goes through
    files: a wineserver started by the run would hold a pipe open until it
    exits, seconds later."""
    command = [os.path.join(SOURCE_DIR, "cmake", "wine-run.sh"), str(prefix), str(exe), *map(str, args)]
    env = dict(os.environ, LANG="C.UTF-8", LC_ALL="C.UTF-8")
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        code = subprocess.run(command, input=stdin, stdin=None if stdin is not None else subprocess.DEVNULL,
                              stdout=out, stderr=err, env=env, timeout=timeout).returncode
        out.seek(0)
        err.seek(0)
        return Ran(code, out.read(), err.read())


class WinePrograms:
    """Running the build's programs in a harness's prefix and display."""

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
