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
import os
import shutil
import subprocess
import sys
import tempfile
import time
from http import HTTPStatus

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))

from scripted_service import ScriptedService, sequence_answer  # noqa: E402
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


# The TLS listeners, by the name of their certificate; "plain" serves in clear text.
TLS_SERVERS = ("good", "ip-only", "untrusted", "wrong-name", "expired")


def response(status, body=b"", headers=()):
    head = [b"HTTP/1.1 %d %s" % (status, HTTPStatus(status).phrase.encode()),
            b"Content-Length: %d" % len(body), b"Connection: close"] + list(headers)
    return [("send", b"\r\n".join(head) + b"\r\n\r\n" + body)]


class RouteService(ScriptedService):
    """The routes of exchange_test.cpp on every listener. Each connection
    and each request (with its connection's number) is logged, before any
    answer, in <app>/received.txt."""

    def __init__(self, certificates):
        super().__init__(certificates, TLS_SERVERS)
        self.app_dir = None         # the install tree of the program being run: <tmp>/app
        self.answered = {}          # a sequence's route -> the requests it has answered

    def note(self, listener, event):
        with self.lock, open(os.path.join(self.app_dir, "received.txt"), "a") as log:
            log.write("%s %s\n" % (listener, event))

    def connected(self, listener):
        self.note(listener, "connection")

    def script(self, listener, raw, connection):
        head, _, body = raw.partition(b"\r\n\r\n")
        method, path = (head.split(b"\r\n")[0].decode("latin-1").split(" ") + ["", ""])[:2]
        self.note(listener, "%s %s %d" % (method, path, connection))
        route, _, argument = path.lstrip("/").partition("/")
        if route == "hangup":
            return []
        if route == "seq":                              # NAME/ANSWER.ANSWER...: one answer per request
            with self.lock:
                index = self.answered.get(path, 0)
                self.answered[path] = index + 1
            answers = argument.partition("/")[2].split(".")
            return sequence_answer(answers[index], path.encode()) if index < len(answers) else []
        if route == "hang":
            return [("sleep", min(int(argument), MAX_HANG_S))]
        if route in ("redirect-302", "redirect-307"):
            location = "/reply"
            if argument:                                # SCHEME/PORT/PATH
                location = "%s://127.0.0.1:%s/%s" % tuple(argument.split("/", 2))
            return response(int(route[-3:]), headers=[b"Location: " + location.encode()])
        if route != "reply-any" and (method != "POST" or request_document(body) is None):
            return response(400)
        if route not in ("reply", "no-length", "reply-any", "body"):
            return response(400)
        with open(os.path.join(self.app_dir, "staged-reply.txt"), "rb") as staged:
            document = staged.read()
        encoded = document if route == "body" else base64.encodebytes(document).replace(b"\n", b"\r\n")
        if route == "no-length":
            return [("send", b"HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + encoded)]
        return response(200, encoded)


def run_program(program, dll, wine, prefix, service, ca_der):
    """Runs one program from a fresh install tree; returns its exit code."""
    with tempfile.TemporaryDirectory(prefix="nalpoi-wine-") as tree:
        app_dir = os.path.join(tree, "app")
        bin_dir = os.path.join(app_dir, "bin")
        config_dir = os.path.join(app_dir, "configdat")
        os.makedirs(bin_dir)
        os.makedirs(config_dir)
        service.app_dir = app_dir
        shutil.copy(program, bin_dir)
        shutil.copy(dll, bin_dir)
        shutil.copy(ca_der, os.path.join(app_dir, "test-root-ca.der"))
        shutil.copy(CASE_TABLE, os.path.join(app_dir, "exchanges.txt"))
        with open(os.path.join(app_dir, "tls-services.txt"), "w") as ports:
            ports.write("".join("%s %d\n" % (name, listener.port)
                                for name, listener in service.listeners.items()))
        with open(os.path.join(config_dir, "serviceIP.xml"), "w") as config:
            config.write('<?xml version="1.0"?>\n<ServiceConfig><ServiceUrl>http://127.0.0.1:%d/'
                         "</ServiceUrl></ServiceConfig>\n" % service.listeners["plain"].port)
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
        service = RouteService(certificates)
        with WineSession(options.wine, prefix):
            failures = sum(1 for program in programs
                           if run_program(program, dll, options.wine, prefix, service,
                                          certificates.ca_der) != 0)
        service.shutdown()
    print("wine: %d programs, %d failed, %.1f s" % (len(programs), failures,
                                                     time.monotonic() - started))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
