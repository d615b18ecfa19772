"""The toolkit's fetch command against a local static file host: one file
fetched into a folder that does not exist yet, a missing file reported
on stderr with exit code 1, and a file of another size than the SIZE given
(a manifest size) refused."""

import http.server
import os
import subprocess
import sys
import tempfile
import threading


def run_tool(wine_run, prefix, tool, args, scratch):
    """Runs the toolkit under Wine. Output goes through files: a wineserver
    started by the run inherits pipes and would hold them open after exit."""
    out_path = os.path.join(scratch, "stdout.txt")
    err_path = os.path.join(scratch, "stderr.txt")
    with open(out_path, "wb") as out, open(err_path, "wb") as err:
        code = subprocess.run([wine_run, prefix, tool] + args, stdout=out, stderr=err,
                              stdin=subprocess.DEVNULL, timeout=120).returncode
    with open(err_path, "rb") as err:
        return code, err.read()


def main():
    build = sys.argv[1]
    wine_run = os.path.join(os.environ["TINDERHALLOW_SOURCE_DIR"], "cmake", "wine-run.sh")
    tool = os.path.join(build, "TinderhallowTool.exe")
    prefix = os.environ.get("WINEPREFIX", os.path.join(build, "wineprefix"))

    with tempfile.TemporaryDirectory() as root:
        served = os.path.join(root, "release")
        os.makedirs(os.path.join(served, "Game Data"))
        body = bytes(range(256)) * 1000
        with open(os.path.join(served, "Game Data", "a+b.pak"), "wb") as f:
            f.write(body)

        class Handler(http.server.SimpleHTTPRequestHandler):
            def __init__(self, *args, **kwargs):
                super().__init__(*args, directory=served, **kwargs)

            def log_message(self, *args):
                pass

        server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        thread = threading.Thread(target=server.serve_forever, daemon=True)
        thread.start()
        base = "http://127.0.0.1:%d/" % server.server_address[1]
        failures = []
        cases = 0
        try:
            dest = os.path.join(root, "out", "sub", "a.pak")
            cases += 1
            code, err = run_tool(wine_run, prefix, tool, ["fetch", base, "Game Data/a+b.pak", "Z:" + dest], root)
            if code != 0:
                failures.append("fetch failed: %r %r" % (code, err))
            elif open(dest, "rb").read() != body or os.path.exists(dest + ".download"):
                failures.append("fetched file differs or its temporary file was left behind")

            cases += 1
            code, err = run_tool(wine_run, prefix, tool, ["fetch", base, "missing/file.txt", "Z:" + dest], root)
            if code != 1 or err != b"Patch server returned HTTP 404 for missing/file.txt.\n":
                failures.append("missing file: %r %r" % (code, err))
            elif open(dest, "rb").read() != body:
                failures.append("a failed fetch changed the destination")

            cases += 1
            sized = os.path.join(root, "out", "sized.pak")
            code, err = run_tool(wine_run, prefix, tool, ["fetch", base, "Game Data/a+b.pak", "Z:" + sized,
                                                          str(len(body))], root)
            if code != 0 or open(sized, "rb").read() != body:
                failures.append("fetch with the right size: %r %r" % (code, err))

            cases += 1
            wrong = os.path.join(root, "out", "wrong.pak")
            code, err = run_tool(wine_run, prefix, tool, ["fetch", base, "Game Data/a+b.pak", "Z:" + wrong,
                                                          str(len(body) - 1)], root)
            expected = ("Patch server sent Game Data/a+b.pak with a size that does not match the release manifest "
                        "(%d bytes).\n" % (len(body) - 1)).encode()
            if code != 1 or err != expected or os.path.exists(wrong) or os.path.exists(wrong + ".download"):
                failures.append("fetch with a wrong size: %r %r" % (code, err))

            cases += 1
            code, err = run_tool(wine_run, prefix, tool, ["fetch", "Z:\\release", "a.txt", "Z:" + dest], root)
            if code != 1 or err != b"Patch source is not an HTTP URL.\n":
                failures.append("folder source: %r %r" % (code, err))
        finally:
            server.shutdown()
            server.server_close()

    for failure in failures:
        print("FAIL:", failure)
    print("%d passed, %d failed" % (cases - len(failures), len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
