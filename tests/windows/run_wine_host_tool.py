#!/usr/bin/env python3
"""The host tool's end-to-end checks, with nalpoi.exe under Wine.

Usage: run_wine_host_tool.py WIN_BUILD_DIR SERVICE [--wine WINE] [--prefix WINEPREFIX]

WIN_BUILD_DIR is a mingw build holding NalPoiComm.dll and
tools/nalpoi/nalpoi.exe; SERVICE is a Linux nalpoi-service. The tool and the
DLL are copied into a fresh install tree <tmp>/app/bin/, the service runs on
127.0.0.1 with a temporary database, and the checks of
tests/tools/demo_flow_test.py and tests/tools/doctor_test.py run against the
Windows tool as they do against the Linux one: nalpoi.exe doctor diagnoses
WinINet's exchange, the service's faults included. Left out: the wait
indicator, whose check needs a POSIX pseudo-terminal as stderr, and the
doctor's TLS checks (the Windows test programs check TLS). Closes with
"N passed, N failed".
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

from wine_session import WineSession, wine_environment

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tools"))

import demo_flow_test as flow  # noqa: E402
import doctor_test  # noqa: E402


# Wine shows the Linux root as drive Z:; the tool prints its paths that way.
WINE_PATH = re.compile(r"Z:(\\[^\s]*)")


def as_linux_paths(text):
    return WINE_PATH.sub(lambda match: match.group(1).replace("\\", "/"), text)


class WineTree:
    """An install tree with nalpoi.exe, run under Wine; the same interface as
    demo_flow_test.Tree. The tool's output shows its paths as Linux paths, so
    that the checks compare them with `config_file` unchanged."""

    def __init__(self, app_dir, wine, prefix, timeout):
        self.app_dir = app_dir
        self.nalpoi = os.path.join(app_dir, "bin", "nalpoi.exe")
        self.config_file = os.path.join(app_dir, "configdat", "serviceIP.xml")
        self.wine = wine
        self.timeout = timeout
        self.environment = wine_environment(prefix)

    def run(self, *args):
        # Text mode reads the tool's CR LF line ends as plain newlines.
        proc = subprocess.run([self.wine, self.nalpoi, *args], capture_output=True, text=True,
                              errors="replace", stdin=subprocess.DEVNULL, timeout=self.timeout,
                              env=self.environment, cwd=os.path.dirname(self.nalpoi))
        proc.stdout = as_linux_paths(proc.stdout)
        proc.stderr = as_linux_paths(proc.stderr)
        return proc

    def configure(self, url):
        proc = self.run("config", "--url", url)
        if proc.returncode != 0:
            raise RuntimeError("nalpoi config --url failed: exit %d; %r" %
                               (proc.returncode, proc.stderr))

    def config_text(self):
        # Universal newlines: the tool writes the file in text mode, CR LF.
        try:
            with open(self.config_file, encoding="utf-8") as f:
                return f.read()
        except FileNotFoundError:
            return None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build_dir")
    parser.add_argument("service")
    parser.add_argument("--wine", default="/usr/lib/wine/wine64")
    parser.add_argument("--prefix", help="WINEPREFIX (default BUILD_DIR/wineprefix)")
    options = parser.parse_args()
    build_dir = os.path.abspath(options.build_dir)
    prefix = options.prefix or os.path.join(build_dir, "wineprefix")

    with tempfile.TemporaryDirectory(prefix="nalpoi-wine-tool-") as work:
        app_dir = os.path.join(work, "app")
        os.makedirs(os.path.join(app_dir, "bin"))
        os.makedirs(os.path.join(app_dir, "configdat"))
        for built in (os.path.join(build_dir, "NalPoiComm.dll"),
                      os.path.join(build_dir, "tools", "nalpoi", "nalpoi.exe")):
            shutil.copy(built, os.path.join(app_dir, "bin"))
        tree = WineTree(app_dir, options.wine, prefix, flow.COMMAND_TIMEOUT)
        try:
            service = flow.Service(options.service, os.path.join(work, "poi.db"),
                                   os.path.join(work, "service.log"))
        except (OSError, RuntimeError) as failure:
            flow.check("nalpoi-service starts and announces its port", False, repr(failure))
            print("0 passed, 1 failed")
            return 1
        try:
            with WineSession(options.wine, prefix):
                flow.test_configuration(tree, service.url)
                flow.test_update(tree)
                flow.test_batch(tree)
                flow.test_closed_port(tree, service.url)
                flow.test_usage(tree)
                doctor_test.test_broken_setups(tree, service.url)
                doctor_test.test_working_setups(tree, service.url)
        finally:
            service.stop()
    results = flow.results
    print("%d passed, %d failed" % (results["passed"], results["failed"]))
    return 0 if results["failed"] == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
