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

# The harness lives in the package harness/, one module per concern; this
# module keeps every name drivers use.
from harness.core import *  # noqa: F401,F403
from harness.images import *  # noqa: F401,F403
from harness.launcher import *  # noqa: F401,F403
from harness.servers import *  # noqa: F401,F403
from harness.window import *  # noqa: F401,F403
from harness.wine import *  # noqa: F401,F403
