#!/usr/bin/env python3
"""Downloads behind the proxy of the player's Internet settings: a Squid on
loopback that alone can resolve the patch host's name, set in a private Wine
prefix the way Windows' proxy settings store it. A fetch of the toolkit
reaches the host only through it, and a host on the bypass list is fetched
directly.

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


def connection_settings(proxy, bypass, counter):
    """The binary DefaultConnectionSettings value of a manual proxy: a 0x46
    version, a change counter, flags (direct | proxy), then the proxy, the
    bypass list and the auto-config URL, each with its length first."""
    def text(value):
        data = value.encode("ascii")
        return struct.pack("<I", len(data)) + data
    return struct.pack("<III", 0x46, counter, 3) + text(proxy) + text(bypass) + text("") + bytes(32)


class PlayerProxy(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.temp = tempfile.TemporaryDirectory()
        cls.root = cls.temp.name
        served = os.path.join(cls.root, "release")
        lh.write_bytes(os.path.join(served, "Game Data", "a.pak"), BODY)
        cls.host = lh.NginxHost(cls.root, served)
        cls.proxy = lh.SquidProxy(cls.root, {PATCH_HOST: cls.host.host})
        cls.prefix = os.path.join(cls.root, "prefix")
        lh.copy_prefix(lh.template_prefix(BUILD), cls.prefix)
        cls.settings_written = 0

    @classmethod
    def tearDownClass(cls):
        cls.proxy.stop()
        cls.host.stop()
        lh.run_in_prefix(cls.prefix, "wineboot", "-k")
        cls.temp.cleanup()

    def set_proxy(self, bypass):
        type(self).settings_written += 1
        value = connection_settings(self.proxy.address, bypass, self.settings_written).hex()
        done = lh.run_in_prefix(self.prefix, "reg", "add", CONNECTIONS_KEY, "/v", "DefaultConnectionSettings", "/t",
                                "REG_BINARY", "/d", value, "/f")
        self.assertEqual(done.code, 0, done.stderr)

    def fetch(self, base, name):
        dest = os.path.join(self.root, "out", name)
        done = lh.run_in_prefix(self.prefix, TOOL, "fetch", base, "Game Data/a.pak", lh.windows_path(dest))
        self.assertEqual(done.code, 0, "fetch failed: %r" % done.stderr)
        self.assertEqual(lh.read_bytes(dest), BODY)

    def test_fetches_through_the_proxy_and_directly_from_a_bypassed_host(self):
        self.set_proxy("<local>;*.example")
        named = "http://%s:%d/" % (PATCH_HOST, self.host.port)
        self.fetch(named, "through-proxy.pak")
        self.assertIn(("GET", named + "Game%20Data/a.pak"), self.proxy.requests())

        self.set_proxy("<local>;%s" % self.host.host)
        before = len(self.proxy.requests())
        self.fetch(self.host.url + "/", "direct.pak")
        self.assertEqual(len(self.proxy.requests()), before, "a bypassed host was fetched through the proxy")


if __name__ == "__main__":
    lh.run_tests()
