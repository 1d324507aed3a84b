#!/usr/bin/env python3
"""The differential test: the Linux platform layer against WinINet.

Usage: run_differential.py --linux RUNNER [--win64 BUILD_DIR] [--win32 BUILD_DIR]
                           [--cases N] [--seed S] [--wine64 WINE] [--wine32 WINE]

Generates N hostile exchanges from the seed (case_generator.py), serves each
from one scripted service on 127.0.0.1, and runs every case through the
Linux host runner (linked against libNalPoiComm.so) and through the Windows
runner of each build directory given (NalPoiComm.dll on Wine's WinINet),
all hosts at once. The service listens on one port in clear text and on one
TLS port for each certificate that tests/support/test_certificates.py makes
at the start; the Linux runner trusts their CA through SSL_CERT_FILE, the
Windows runners add it to the ROOT store (test-root-ca.der in their tree). For each case it compares, host by host against Linux:
the result code, the caller's records and lists field by field (pointer
fields by their text), cc.xml (the CR LF that Windows' text mode writes
read as LF) and the requests as the service received them. A difference is
either a known deviation of Wine from native Windows (KNOWN_WINE_DEVIATIONS,
each with its source) or unexplained. Ends with the line
  differential: N cases, M agree, K known Wine deviations, F unexplained
and exits 1 when F is not 0.
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "windows"))
sys.path.insert(0, os.path.join(HERE, "..", "support"))

import case_generator  # noqa: E402
from scripted_service import ScriptedService, sequence_answer  # noqa: E402
from test_certificates import TestCertificates  # noqa: E402
from wine_session import WineSession, wine_environment  # noqa: E402

HOST_TIME_LIMIT_S = 1200
TLS_LISTENERS = ("good", "ip-only", "untrusted", "wrong-name", "expired", "not-yet-valid")


# --- the scripted service ----------------------------------------------------

class Service(ScriptedService):
    """The cases and the requests received. A request's path names the host
    and the case, "/TAG/ID", with "/next" for each redirect hop after the
    first; case 0 is the runner's reset of what a batch leaves behind."""

    def __init__(self, cases, certificates):
        self.cases = {case["id"]: case for case in cases}
        self.requests = {}          # (host tag, case id) -> [raw request bytes]
        self.connections = {}       # (host tag, case id) -> [the connection of each request]
        super().__init__(certificates, TLS_LISTENERS, stall=True)
        self.origins = {name: "%s://127.0.0.1:%d" % (scheme, self.listeners[listener].port)
                        for name, (scheme, listener) in case_generator.ORIGINS.items()}

    def record(self, key, raw, connection):
        with self.lock:
            self.requests.setdefault(key, []).append(raw)
            self.connections.setdefault(key, []).append(connection)
            return len(self.requests[key]) - 1

    def script(self, listener, raw, connection):
        parts = raw.split(b" ", 2)
        if len(parts) < 3:
            return []
        path = parts[1].decode("latin-1").split("/")   # ["", tag, id] and a "next" per hop
        if len(path) < 3 or not path[2].isdigit() or any(p != "next" for p in path[3:]):
            return []
        tag, number, hop = path[1], int(path[2]), len(path) - 3
        index = self.record((tag, number), raw, connection)
        case = self.cases.get(number)
        if case is not None and case["op"] == "S":      # answer by answer, request by request
            answers = case["sequence"]
            return sequence_answer(answers[index], parts[1]) if index < len(answers) else []
        if number == 0:
            script, after = case_generator.reset_script(), None
        elif case is None:
            return []
        else:
            hops = [(case["origin"], case["script"])] + case["hops"]
            if hop >= len(hops):
                return []
            script = hops[hop][1]
            after = hops[hop + 1][0] if hop + 1 < len(hops) else "http"
        location = ("%s/%s/%d%s" % (self.origins.get(after, ""), tag, number,
                                    "/next" * (hop + 1))).encode()
        return [(step[0], step[1].replace(b"Location: NEXT", b"Location: " + location))
                if step[0] == "send" else step for step in script]


# --- the hosts ---------------------------------------------------------------

def windows_path(path):
    return "Z:" + path.replace("/", "\\")


class Host:
    """One runner in an install tree of its own."""

    def __init__(self, tag, work, program, certificates, dll=None, wine=None, prefix=None):
        self.tag, self.wine, self.prefix, self.certificates = tag, wine, prefix, certificates
        app = os.path.join(work, tag, "app")
        os.makedirs(os.path.join(app, "bin"))
        os.makedirs(os.path.join(app, "configdat"))
        self.program = shutil.copy(program, os.path.join(app, "bin"))
        if dll:
            shutil.copy(dll, os.path.join(app, "bin"))
            shutil.copy(certificates.ca_der, os.path.join(app, "test-root-ca.der"))
        self.results = os.path.join(work, tag, "results.txt")
        self.process = None

    def start(self, cases_file, plain_origin):
        base = "%s/%s/" % (plain_origin, self.tag)
        if self.wine:
            command = [self.wine, self.program, windows_path(cases_file),
                       windows_path(self.results), base]
            environment = wine_environment(self.prefix)
        else:
            command = [self.program, cases_file, self.results, base]
            environment = dict(os.environ, no_proxy="127.0.0.1,localhost",
                               SSL_CERT_FILE=self.certificates.ca_pem)
            environment.pop("SSL_CERT_DIR", None)
        self.started = time.monotonic()
        self.process = subprocess.Popen(command, env=environment, cwd=os.path.dirname(self.program),
                                        stdin=subprocess.DEVNULL)

    def wait(self):
        try:
            code = self.process.wait(timeout=HOST_TIME_LIMIT_S)
        except subprocess.TimeoutExpired:
            self.process.kill()
            code = "time-out"
        self.seconds = time.monotonic() - self.started
        return code

    def outcomes(self):
        """case id -> the lines the runner wrote for it."""
        outcomes, current, lines = {}, None, []
        if not os.path.exists(self.results):
            return outcomes
        with open(self.results, "rb") as results:
            for line in results.read().decode("latin-1").splitlines():
                if line.startswith("case "):
                    current, lines = int(line[5:]), []
                elif line == "end" and current is not None:
                    outcomes[current] = lines
                    current = None
                else:
                    lines.append(line)
        return outcomes


# --- comparison --------------------------------------------------------------

def fields(lines):
    """{key: value}: "result", "cc", and "<line head>.<field>" for records."""
    out = {}
    for line in lines:
        words = line.split(" ")
        if words[0] in ("result", "counts"):
            out[words[0]] = " ".join(words[1:])
        elif words[0] == "cc":
            text = bytes.fromhex(words[1]) if words[1] not in ("-", "absent") else words[1]
            out["cc"] = text
        else:
            head = words[0] if words[0] in ("content", "query") else words[0] + words[1]
            for word in words[1:]:
                if "=" in word:
                    name, value = word.split("=", 1)
                    out[head + "." + name] = value
    return out


def request_parts(raw):
    head, _, body = raw.partition(b"\r\n\r\n")
    lines = head.split(b"\r\n")
    method, target, version = (lines[0].split(b" ", 2) + [b"", b""])[:3]
    target = b"/" + b"/".join(target.split(b"/")[2:])          # without the host tag
    headers = sorted((name.strip().lower(), value.strip())
                     for name, _, value in (line.partition(b":") for line in lines[1:]))
    return {"line": (method, target, version), "headers": headers, "body": body}


def in_order_of_use(connections):
    """Connections numbered in the order they were first used."""
    numbers = {}
    return [numbers.setdefault(connection, len(numbers) + 1) for connection in connections]


def differences(case, linux, windows, linux_requests, windows_requests,
                linux_connections=(), windows_connections=()):
    """What differs between the two hosts, as (what, linux, windows) tuples."""
    found = []
    # Where the requests differ in number, that is the difference to explain.
    if len(linux_requests) == len(windows_requests) and \
            in_order_of_use(linux_connections) != in_order_of_use(windows_connections):
        found.append(("connections", in_order_of_use(linux_connections),
                      in_order_of_use(windows_connections)))
    a, b = fields(linux), fields(windows)
    cc_a, cc_b = a.pop("cc", None), b.pop("cc", None)
    if isinstance(cc_b, bytes):
        cc_b = cc_b.replace(b"\r\n", b"\n")                    # Windows' text mode
    if cc_a != cc_b:
        found.append(("cc", cc_a, cc_b))
    for key in sorted(set(a) | set(b)):
        if a.get(key) != b.get(key):
            found.append((key, a.get(key), b.get(key)))
    if len(linux_requests) != len(windows_requests):
        found.append(("requests", len(linux_requests), len(windows_requests)))
    for mine, theirs in zip(linux_requests, windows_requests):
        p, q = request_parts(mine), request_parts(theirs)
        for part in ("line", "body"):
            if p[part] != q[part]:
                found.append(("request " + part, p[part], q[part]))
        if p["headers"] != q["headers"]:
            found.append(("request headers", p["headers"], q["headers"]))
    return found


# Differences that come from Wine's WinINet and not from the Linux layer,
# each with its source. A rule sees the case, one difference and all of them;
# it names the deviation when the difference is explained by it.
def wine_307_drops_the_body(case, what, linux, windows, found):
    # Wine 8.0, dlls/wininet/http.c, HTTP_HttpSendRequestW's redirect loop:
    # every redirect is re-sent with the verb turned to GET unless it is 307
    # and with no request body (the optional data is not kept); native
    # WinINet re-sends a 307 with its POST body (RFC 9110, 15.4.8).
    return "redirect:307" in case["tags"] and what.startswith("request")


def wine_reads_a_204_body(case, what, linux, windows, found):
    # Wine 8.0, dlls/wininet/http.c, set_content_length: for a 204 (or 304)
    # response the bytes already read past the headers are dropped only when
    # there is no Content-Length header; with one they are handed to
    # InternetReadFile, as many as came in the same read as the headers.
    # A 204 response has no content (RFC 9110, 15.3.5); libcurl, and so the
    # Linux layer, reads none.
    return "status:204" in case["tags"] and not what.startswith("request")


def result_of(found, host):
    """The result that differs, on the Linux (0) or the Windows (1) side."""
    return next((pair[host] for what, *pair in found if what == "result"), None)


def wine_follows_https_to_http(case, what, linux, windows, found):
    # Wine 8.0, dlls/wininet/http.c, HTTP_HandleRedirect: a redirect from an
    # https page to an http URL clears INTERNET_FLAG_SECURE and is followed
    # ("FIXME: warn about from secure redirect to non-secure page"). The
    # Linux layer refuses that hop with ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR,
    # WinINet's error for a redirect from SSL to non-SSL (-2): only Wine sends
    # the third request and takes its reply.
    if "redirect:http-https-http" not in case["tags"]:
        return False
    if what == "requests":
        return (linux, windows) == (2, 3)
    return result_of(found, 0) == "-2"


def wine_matches_no_ip_address_entry(case, what, linux, windows, found):
    # Wine 8.0, dlls/crypt32/chain.c, verify_ssl_policy: the host is compared
    # with the certificate's dNSName entries only (match_dns_to_subject_alt_name
    # skips iPAddress ones), so a certificate that names 127.0.0.1 only as an
    # IP address fails with CERT_E_CN_NO_MATCH (-2, nothing sent). OpenSSL
    # matches an IP address URL with the iPAddress entry, as RFC 2818, 3.1
    # asks.
    if "tls:ip-only" not in case["tags"]:
        return False
    if what == "requests":
        return (linux, windows) == (1, 0)
    return result_of(found, 1) == "-2"


def wine_as_the_sequence_says(case, what, linux, windows, found):
    # A call sequence of the table where WinINet under Wine gives other
    # results or connections, as the sequence's "wine" lines say; the
    # comment above each in tests/cases/exchanges.txt gives the sources (Wine
    # sends no request again once HttpEndRequest finds a reused connection
    # closed; Wine keeps an HTTP/1.0 connection that libcurl would speak
    # HTTP/1.0 on).
    wine = case.get("wine")
    if not wine:
        return False
    return ((what == "result" and windows == " ".join(wine.get("calls", []))) or
            (what == "connections" and windows == [int(n) for n in wine.get("seen", [])]) or
            (what == "requests" and windows == len(wine.get("seen", []))))


KNOWN_WINE_DEVIATIONS = [
    ("Wine re-sends a 307 redirect without its body", wine_307_drops_the_body),
    ("Wine reads the body of a 204 response that has a Content-Length", wine_reads_a_204_body),
    ("Wine follows a redirect from https to http", wine_follows_https_to_http),
    ("Wine matches no IP address entry of a certificate", wine_matches_no_ip_address_entry),
    ("WinINet under Wine gives what the table's call sequence says", wine_as_the_sequence_says),
]


def explain(case, found):
    """The names of the known deviations that explain every difference, or None."""
    names = set()
    for what, linux, windows in found:
        for name, rule in KNOWN_WINE_DEVIATIONS:
            if rule(case, what, linux, windows, found):
                names.add(name)
                break
        else:
            return None
    return names


def short(value, limit=160):
    text = repr(value)
    return text if len(text) <= limit else text[:limit] + "..."


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--linux", required=True, help="the Linux nalpoi_case_runner")
    parser.add_argument("--win64", help="an x86_64 mingw build directory")
    parser.add_argument("--win32", help="an i686 mingw build directory")
    parser.add_argument("--wine64", default="/usr/lib/wine/wine64")
    parser.add_argument("--wine32", default="/usr/lib/wine/wine")
    parser.add_argument("--cases", type=int, default=2000)
    parser.add_argument("--seed", type=int, default=int(time.time()))
    options = parser.parse_args()
    print("differential: seed %d, %d cases" % (options.seed, options.cases), flush=True)

    cases = case_generator.generate(options.seed, options.cases)
    with tempfile.TemporaryDirectory(prefix="nalpoi-differential-") as work:
        certificates = TestCertificates(os.path.join(work, "certificates"))
        service = Service(cases, certificates)
        cases_file = os.path.join(work, "cases.txt")
        with open(cases_file, "w") as out:
            out.write("".join(case_generator.runner_line(case, service.origins) + "\n"
                              for case in cases))
        hosts = [Host("lin", work, options.linux, certificates)]
        sessions = []
        for tag, build, wine in (("w64", options.win64, options.wine64),
                                 ("w32", options.win32, options.wine32)):
            if build:
                build = os.path.abspath(build)
                prefix = os.path.join(build, "wineprefix")
                sessions.append(WineSession(wine, prefix))
                hosts.append(Host(tag, work, os.path.join(build, "tests", "differential",
                                                          "nalpoi_case_runner.exe"),
                                  certificates, os.path.join(build, "NalPoiComm.dll"), wine,
                                  prefix))
        for session in sessions:
            session.__enter__()
        try:
            for host in hosts:
                host.start(cases_file, service.origins["http"])
            codes = [host.wait() for host in hosts]
        finally:
            for session in sessions:
                session.__exit__(None, None, None)
        service.shutdown()
        for host, code in zip(hosts, codes):
            print("  %s: exit %s in %.1f s" % (host.tag, code, host.seconds), flush=True)

        outcomes = {host.tag: host.outcomes() for host in hosts}
        agree = known = unexplained = 0
        deviations, reports = {}, []
        for case in cases:
            number = case["id"]
            linux = outcomes["lin"].get(number)
            verdict = "agree"
            for host in hosts[1:]:
                windows = outcomes[host.tag].get(number)
                if linux is None or windows is None:
                    verdict = "unexplained"
                    reports.append("case %d: no outcome from %s" % (
                        number, "lin" if linux is None else host.tag))
                    continue
                found = differences(case, linux, windows,
                                    service.requests.get(("lin", number), []),
                                    service.requests.get((host.tag, number), []),
                                    service.connections.get(("lin", number), []),
                                    service.connections.get((host.tag, number), []))
                if not found:
                    continue
                names = explain(case, found)
                if names is None:
                    verdict = "unexplained"
                    reports.append("case %d (%s, %s) on %s:\n%s" % (
                        number, case["op"], " ".join(case["tags"]) or "plain", host.tag,
                        "\n".join("    %s: linux %s, %s %s" % (what, short(a), host.tag, short(b))
                                  for what, a, b in found)))
                else:
                    if verdict == "agree":
                        verdict = "known"
                    for name in names:
                        deviations[name] = deviations.get(name, 0) + 1
            if verdict == "agree":
                agree += 1
            elif verdict == "known":
                known += 1
            else:
                unexplained += 1

    for report in reports[:40]:
        print(report)
    if len(reports) > 40:
        print("... and %d more" % (len(reports) - 40))
    for name, count in sorted(deviations.items()):
        print("  known Wine deviation, %d times: %s" % (count, name))
    print("differential: %d cases, %d agree, %d known Wine deviations, %d unexplained"
          % (len(cases), agree, known, unexplained))
    return 1 if unexplained or any(code != 0 for code in codes) else 0


if __name__ == "__main__":
    sys.exit(main())
