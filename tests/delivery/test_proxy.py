#!/usr/bin/env python3
"""Downloads behind the proxy of the player's Internet settings: a Squid on
loopback that alone can resolve the patch host's name, set in a private Wine
prefix the way Windows' proxy settings store it. A fetch of the toolkit
reaches the host only through it, named as the manual proxy or by an
auto-config script, and a host on the bypass list is fetched directly. The
launcher checks for a release and signs in through it too.

Usage: test_proxy.py BUILD_DIR
"""

import os
import struct
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "support"))
import launcher_harness as lh  # noqa: E402

BUILD, TOOL, _, _ = lh.build_paths()
PATCH_HOST = "patch.tinderhallow.test"
BODY = bytes(range(256)) * 600
CONNECTIONS_KEY = "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections"


def connection_settings(counter, proxy="", bypass="", script=""):
    """The binary DefaultConnectionSettings value: a 0x46 version, a change
    counter, flags (direct, 2 manual proxy, 4 auto-config script), then the
    proxy, the bypass list and the script's URL, each with its length first."""
    def text(value):
        data = value.encode("ascii")
        return struct.pack("<I", len(data)) + data
    flags = 1 | (2 if proxy else 0) | (4 if script else 0)
    return struct.pack("<III", 0x46, counter, flags) + text(proxy) + text(bypass) + text(script) + bytes(32)


class PlayerProxy(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.temp = tempfile.TemporaryDirectory()
        cls.root = cls.temp.name
        served = os.path.join(cls.root, "release")
        lh.write_bytes(os.path.join(served, "Game Data", "a.pak"), BODY)
        cls.host = lh.NginxHost(cls.root, served)
        cls.proxy = lh.SquidProxy(cls.root, {PATCH_HOST: cls.host.host})
        script = ('function FindProxyForURL(url, host) {\n'
                  '    return host == "%s" ? "PROXY %s" : "DIRECT";\n}\n' % (PATCH_HOST, cls.proxy.address))
        lh.write_bytes(os.path.join(served, "proxy.pac"), script.encode())
        cls.prefix = os.path.join(cls.root, "prefix")
        lh.copy_prefix(lh.template_prefix(BUILD), cls.prefix)
        cls.settings_written = 0

    @classmethod
    def tearDownClass(cls):
        cls.proxy.stop()
        cls.host.stop()
        lh.run_in_prefix(cls.prefix, "wineboot", "-k")
        cls.temp.cleanup()

    def set_settings(self, **settings):
        type(self).settings_written += 1
        value = connection_settings(self.settings_written, **settings).hex()
        done = lh.run_in_prefix(self.prefix, "reg", "add", CONNECTIONS_KEY, "/v", "DefaultConnectionSettings", "/t",
                                "REG_BINARY", "/d", value, "/f")
        self.assertEqual(done.code, 0, done.stderr)

    def fetch(self, base, name):
        dest = os.path.join(self.root, "out", name)
        done = lh.run_in_prefix(self.prefix, TOOL, "fetch", base, "Game Data/a.pak", lh.windows_path(dest))
        self.assertEqual(done.code, 0, "fetch failed: %r" % done.stderr)
        self.assertEqual(lh.read_bytes(dest), BODY)

    def test_fetches_through_the_proxy_and_directly_from_a_bypassed_host(self):
        self.set_settings(proxy=self.proxy.address, bypass="<local>;*.example")
        named = "http://%s:%d/" % (PATCH_HOST, self.host.port)
        self.fetch(named, "through-proxy.pak")
        self.assertIn(("GET", named + "Game%20Data/a.pak"), self.proxy.requests())

        self.set_settings(proxy=self.proxy.address, bypass="<local>;%s" % self.host.host)
        before = len(self.proxy.requests())
        self.fetch(self.host.url + "/", "direct.pak")
        self.assertEqual(len(self.proxy.requests()), before, "a bypassed host was fetched through the proxy")

    def test_fetches_through_the_proxy_an_auto_config_script_names(self):
        self.set_settings(script=self.host.url + "/proxy.pac")
        before = len(self.proxy.requests())
        named = "http://%s:%d/" % (PATCH_HOST, self.host.port)
        self.fetch(named, "through-script.pak")
        self.assertIn(("GET", named + "Game%20Data/a.pak"), self.proxy.requests()[before:])


class LauncherBehindProxy(unittest.TestCase):
    def test_checks_the_release_and_signs_in_through_the_proxy(self):
        with lh.LauncherHarness(BUILD, name="delivery_proxy") as h:
            game = os.path.join(h.scratch, "game")
            release = os.path.join(h.scratch, "release")
            lh.write_bytes(os.path.join(game, "data", "arena.map"), BODY)
            lh.publish_release(game, release, "proxy-1")
            server = h.start_reference_server(release, accounts={"Brannoc": "ember pass"})
            proxy = lh.SquidProxy(h.scratch, {PATCH_HOST: server.host})
            try:
                self.sign_in_behind(h, server, proxy)
            finally:
                proxy.stop()

    def sign_in_behind(self, h, server, proxy):
        value = connection_settings(1, proxy=proxy.address, bypass="<local>").hex()
        # In the harness's display: the first program starts the prefix's desktop.
        done = h.run("reg", ("add", CONNECTIONS_KEY, "/v", "DefaultConnectionSettings", "/t", "REG_BINARY", "/d",
                             value, "/f"))
        self.assertEqual(done.code, 0, done.stderr)

        url = server.url_for(PATCH_HOST)
        folder = h.prepare_launcher_dir(patch_source=url, server_url=url)
        launcher = h.start_launcher(folder, trace_text=True)
        h.wait_window()
        launcher.wait_status("Update available", timeout=90)
        h.type_account("Brannoc")
        h.keys_password("ember pass")
        h.press_enter("password")
        h.wait_edits("hidden", 30000)
        seen = proxy.requests()
        self.assertIn(("GET", url + "/update_manifest.json"), seen)
        self.assertIn(("POST", url + "/api/games/morvanth/v1/session/login"), seen)


if __name__ == "__main__":
    lh.run_tests()
