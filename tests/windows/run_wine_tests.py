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
The same routes are served over TLS, one server for each certificate that
test_certificates.py makes when the run starts; the trusted CA goes into the
install tree for the program to add to its ROOT store.
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

from test_certificates import TestCertificates
from wine_session import WineSession, wine_environment

CASE_TABLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "cases", "exchanges.txt")
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


# The TLS servers, by the name of their certificate; "plain" serves in clear text.
TLS_SERVERS = ("good", "ip-only", "untrusted", "wrong-name", "expired")


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, name, context=None):
        super().__init__(("127.0.0.1", 0), ScriptedService)
        self.name, self.context = name, context

    def handle_error(self, request, client_address):
        pass    # refused handshakes and dropped connections are what the cases do


class ScriptedService(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    # The install tree of the program being run: <tmp>/app.
    app_dir = None
    log_lock = threading.Lock()

    def log_message(self, *args):
        pass

    def note(self, event):
        """One line of <tmp>/app/received.txt, written before any answer."""
        with ScriptedService.log_lock, open(os.path.join(ScriptedService.app_dir, "received.txt"),
                                            "a") as log:
            log.write("%s %s\n" % (self.server.name, event))

    def setup(self):
        self.note("connection")
        if self.server.context is not None:
            self.request = self.server.context.wrap_socket(self.request, server_side=True)
        super().setup()

    def finish(self):
        super().finish()
        if self.server.context is not None:
            self.request.close()    # the server closes only the socket it accepted

    def handle(self):
        # A TLS hello to the plain server gets what a plain web server answers
        # to bytes that are no HTTP, at once: waiting for a request line would
        # hold the client until its time limit.
        if self.server.context is None and self.connection.recv(1, socket.MSG_PEEK) == b"\x16":
            self.wfile.write(b"HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n"
                             b"Connection: close\r\n\r\n")
            return
        super().handle()

    def do_GET(self):
        self.do_POST()

    def do_POST(self):
        self.note("%s %s" % (self.command, self.path))
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
            location = "/reply"
            if argument:                                # SCHEME/PORT/PATH
                location = "%s://127.0.0.1:%s/%s" % tuple(argument.split("/", 2))
            self.send_header("Location", location)
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        if route != "reply-any" and (self.command != "POST" or request_document(body) is None):
            self.refuse()
            return
        if route in ("reply", "no-length", "reply-any", "body"):
            with open(os.path.join(ScriptedService.app_dir, "staged-reply.txt"), "rb") as staged:
                encoded = staged.read()
            if route != "body":
                encoded = base64.encodebytes(encoded).replace(b"\n", b"\r\n")
            self.send_response(200)
            if route != "no-length":
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


def run_program(program, dll, wine, prefix, servers, ca_der):
    """Runs one program from a fresh install tree; returns its exit code."""
    with tempfile.TemporaryDirectory(prefix="nalpoi-wine-") as tree:
        app_dir = os.path.join(tree, "app")
        bin_dir = os.path.join(app_dir, "bin")
        config_dir = os.path.join(app_dir, "configdat")
        os.makedirs(bin_dir)
        os.makedirs(config_dir)
        ScriptedService.app_dir = app_dir
        shutil.copy(program, bin_dir)
        shutil.copy(dll, bin_dir)
        shutil.copy(ca_der, os.path.join(app_dir, "test-root-ca.der"))
        shutil.copy(CASE_TABLE, os.path.join(app_dir, "exchanges.txt"))
        with open(os.path.join(app_dir, "tls-services.txt"), "w") as ports:
            ports.write("".join("%s %d\n" % (name, server.server_address[1])
                                for name, server in servers.items()))
        with open(os.path.join(config_dir, "serviceIP.xml"), "w") as config:
            config.write('<?xml version="1.0"?>\n<ServiceConfig><ServiceUrl>http://127.0.0.1:%d/'
                         "</ServiceUrl></ServiceConfig>\n" % servers["plain"].server_address[1])
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

    started = time.monotonic()
    with tempfile.TemporaryDirectory(prefix="nalpoi-certificates-") as certificate_dir:
        certificates = TestCertificates(certificate_dir)
        servers = {"plain": Server("plain")}
        servers.update((name, Server(name, certificates.context(name))) for name in TLS_SERVERS)
        for server in servers.values():
            threading.Thread(target=server.serve_forever, daemon=True).start()
        with WineSession(options.wine, prefix):
            failures = sum(1 for program in programs
                           if run_program(program, dll, options.wine, prefix, servers,
                                          certificates.ca_der) != 0)
        for server in servers.values():
            server.shutdown()
    print("wine: %d programs, %d failed, %.1f s" % (len(programs), failures,
                                                     time.monotonic() - started))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
