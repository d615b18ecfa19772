"""The harness itself: a prefix, a display, a scratch folder and every
process and server a test starts, all cleaned up in close()."""

import os
import shutil
import subprocess
import tempfile
import time

from harness.core import find_build_dir, windows_path
from harness.images import Screenshots
from harness.servers import NginxHost, ReferenceServer
from harness.wine import WinePrograms, copy_prefix, template_prefix
from harness.window import WindowDriving, Xvfb


class LauncherHarness(WinePrograms, WindowDriving, Screenshots):
    """See launcher_harness's module text. NAME names the artefact folder
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
