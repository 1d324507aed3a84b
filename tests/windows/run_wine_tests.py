#!/usr/bin/env python3
"""Runs the Windows test programs under Wine against a scripted service.

Usage: run_wine_tests.py BUILD_DIR [--wine WINE] [--prefix WINEPREFIX]

BUILD_DIR is a mingw build (cmake/toolchain-mingw64.cmake) holding
NalPoiComm.dll and tests/windows/nalpoi_win_*tests.exe. Each program is
copied with the DLL into a fresh temporary install tree <tmp>/app/bin/, with
<tmp>/app/configdat/serviceIP.xml naming a service on 127.0.0.1 that this
script serves; Wine's WinINet reaches it over the Linux loopback directly.
The routes the service knows are described in exchange_test.cpp; the reply
routes answer with the document a case staged in <tmp>/app/staged-reply.txt.
Exits non-zero when a program fails.
"""

import argparse
import base64
import binascii
import http.server
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time

from wine_session import WineSession, wine_environment

# A whole program run; the slowest case waits on a 24 s hang.
PROGRAM_TIME_LIMIT_S = 300
# Longest hang a route may ask for, so a broken client cannot hold the driver.
MAX_HANG_S = 60


def request_document(body):
    """The decoded request document, or None when the body is not one."""
    try:
        text = base64.b64decode(body.replace(b"\r\n", b""), validate=True)
    except (binascii.Error, ValueError):
        return None
    if not text.startswith(b"<?xml") or not (b"<Poi>" in text or b"<Bat>" in text):
        return None
    return text


class ScriptedService(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    # The install tree of the program being run: <tmp>/app.
    app_dir = None

    def log_message(self, *args):
        pass

    def do_GET(self):
        self.refuse()

    def do_POST(self):
        length = self.headers.get("Content-Length")
        body = self.rfile.read(int(length)) if length and length.isdigit() else b""
        parts = self.path.lstrip("/").split("/")
        route, argument = parts[0], "/".join(parts[1:])

        if route == "hangup":
            self.close_connection = True
            self.connection.shutdown(socket.SHUT_RDWR)
            return
        if route == "hang":
            time.sleep(min(int(argument), MAX_HANG_S))
            self.close_connection = True
            self.connection.shutdown(socket.SHUT_RDWR)
            return
        if route in ("redirect-302", "redirect-307"):
            self.send_response(int(route[-3:]))
            self.send_header("Location", "/reply")
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        if request_document(body) is None:
            self.refuse()
            return
        if route in ("reply", "no-length"):
            with open(os.path.join(ScriptedService.app_dir, "staged-reply.txt"), "rb") as staged:
                encoded = base64.encodebytes(staged.read()).replace(b"\n", b"\r\n")
            self.send_response(200)
            if route == "reply":
                self.send_header("Content-Length", str(len(encoded)))
            else:
                self.send_header("Connection", "close")
                self.close_connection = True
            self.end_headers()
            self.wfile.write(encoded)
            return
        self.refuse()

    def refuse(self):
        self.send_response(400)
        self.send_header("Content-Length", "0")
        self.end_headers()


def run_program(program, dll, wine, prefix, service_url):
    """Runs one program from a fresh install tree; returns its exit code."""
    with tempfile.TemporaryDirectory(prefix="nalpoi-wine-") as tree:
        bin_dir = os.path.join(tree, "app", "bin")
        config_dir = os.path.join(tree, "app", "configdat")
        os.makedirs(bin_dir)
        os.makedirs(config_dir)
        ScriptedService.app_dir = os.path.join(tree, "app")
        shutil.copy(program, bin_dir)
        shutil.copy(dll, bin_dir)
        with open(os.path.join(config_dir, "serviceIP.xml"), "w") as config:
            config.write('<?xml version="1.0"?>\n<ServiceConfig><ServiceUrl>%s</ServiceUrl>'
                         "</ServiceConfig>\n" % service_url)
        environment = wine_environment(prefix)
        copy = os.path.join(bin_dir, os.path.basename(program))
        print("==> %s" % os.path.basename(program), flush=True)
        started = time.monotonic()
        try:
            result = subprocess.run([wine, copy], env=environment, cwd=bin_dir,
                                    timeout=PROGRAM_TIME_LIMIT_S)
        except subprocess.TimeoutExpired:
            print("%s ran past %d s" % (program, PROGRAM_TIME_LIMIT_S))
            return 1
        print("    %s: exit %d in %.1f s" % (os.path.basename(program), result.returncode,
                                             time.monotonic() - started), flush=True)
        return result.returncode


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build_dir")
    parser.add_argument("--wine", default="/usr/lib/wine/wine64")
    parser.add_argument("--prefix", help="WINEPREFIX (default BUILD_DIR/wineprefix)")
    options = parser.parse_args()

    build_dir = os.path.abspath(options.build_dir)
    prefix = options.prefix or os.path.join(build_dir, "wineprefix")
    dll = os.path.join(build_dir, "NalPoiComm.dll")
    programs = [os.path.join(build_dir, "tests", "windows", name)
                for name in ("nalpoi_win_unit_tests.exe", "nalpoi_win_tests.exe")]
    for path in [dll] + programs:
        if not os.path.isfile(path):
            print("missing: %s" % path)
            return 1

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), ScriptedService)
    server.daemon_threads = True
    threading.Thread(target=server.serve_forever, daemon=True).start()
    service_url = "http://127.0.0.1:%d/" % server.server_address[1]

    started = time.monotonic()
    with WineSession(options.wine, prefix):
        failures = sum(1 for program in programs
                       if run_program(program, dll, options.wine, prefix, service_url) != 0)
    server.shutdown()
    print("wine: %d programs, %d failed, %.1f s" % (len(programs), failures,
                                                     time.monotonic() - started))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
