#!/usr/bin/env python3
"""nalpoi doctor names the step that breaks an exchange.

Usage: doctor_test.py BUILD_DIR

Installs BUILD_DIR into a temporary prefix and, for each setup (real files
in the prefix's configdat/, the installed nalpoi-service with its fault
paths, a closed port, replies of the scripted service), runs the installed
`nalpoi doctor --json` and `nalpoi update` side by side and checks the
failed step, that the doctor's result is the library's, and the exit
status. Prints one line per check and closes with "N passed, N failed".
"""

import base64
import os
import subprocess
import sys

from demo_flow_test import Service, check, describe, free_port, json_of, run_installed, wire_base64
# The tests' one maker of throwaway certificates, shared with the Windows drivers.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from scripted_service import ScriptedService  # noqa: E402
from test_certificates import TestCertificates  # noqa: E402

# A reply whose length is no multiple of 3, so that its base64 is padded.
DOCUMENT = b'<?xml version="1.0"?>\n<Poi><Status>1</Status><Tel>020 7946 000</Tel></Poi>'
GOOD = base64.b64encode(DOCUMENT)
assert GOOD.endswith(b"=")


class Replies(ScriptedService):
    """Answers POST /NAME with what body() or reply() put under NAME (a
    body with its Content-Length, or a whole reply) and closes the connection."""

    def __init__(self):
        super().__init__()
        self.replies = {}

    def body(self, name, body):
        return self.reply(name, b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n" % len(body) + body)

    def reply(self, name, raw):
        self.replies[name] = raw
        return "%s/%s" % (self.origins["plain"], name)

    def script(self, listener, raw, connection):
        name = raw.split(b" ", 2)[1].decode().lstrip("/")
        return [("send", self.replies.get(name, b"HTTP/1.1 404 Not Found\r\n\r\n")), ("close",)]


def doctor(tree, *extra):
    proc = tree.run("doctor", "--json", *extra)
    return json_of(proc) or {}, proc


def write_config(tree, text):
    os.makedirs(os.path.dirname(tree.config_file), exist_ok=True)
    with open(tree.config_file, "w", encoding="utf-8") as f:
        f.write(text)


def test_broken_setups(tree, url):
    replies = Replies()
    try:
        run_setups(tree, url, replies)
    finally:
        replies.shutdown()


def run_setups(tree, url, replies):
    long_url = url + "/" + "p" * (100 - len(url))

    def serving(name, body):
        return lambda: tree.configure(replies.body(name, body))
    # WinINet reads such a head and its length query gives 0; the Linux layer refuses the head.
    bad_length_step = "length" if hasattr(tree, "wine") else "send"
    setups = [
        # label, how to break it, failed step, result
        ("no serviceIP.xml", lambda: os.remove(tree.config_file), "config", -2),
        ("serviceIP.xml not well-formed", lambda: write_config(tree, "<r><u>" + url + "</u>"),
         "config", -2),
        ("a URL of 100 bytes", lambda: write_config(tree, f"<r><u>{long_url}</u></r>"), "config", -2),
        ("a URL that cannot be split", lambda: write_config(tree, "<r><u>http://:80/</u></r>"),
         "url", -2),
        ("a closed port", lambda: tree.configure(f"http://127.0.0.1:{free_port()}/poi"),
         "connect", -2),
        ("a service that drops the request", lambda: tree.configure(url + "/drop"), "send", -2),
        ("a chunked reply", lambda: tree.configure(url + "/no-length"), "length", -2),
        ("Content-Length 0", lambda: tree.configure(url + "/zero-length"), "length", -2),
        ("Content-Length 30720", lambda: tree.configure(url + "/oversize"), "length", -2),
        # Decoded to bytes without an element, as the library's parse finds them.
        ("a body that is not base64", lambda: tree.configure(url + "/garbage"), "document", -1,
         "passed over"),
        ("a reply without an element", lambda: tree.configure(url + "/no-element"), "document", -1),
        # Replies, each judged by the library: the step it fails at, or none
        # when it gives 1; and a note ("" for none) where the doctor says more.
        ("a good reply", serving("good", GOOD), None, 1, ""),
        ("a blank inside the base64", serving("blank", GOOD[:8] + b" " + GOOD[8:]), None, 1,
         "the first at byte 8 (0x20)"),
        ("CR LF every 60 characters, as the library writes", serving("crlf", wire_base64(DOCUMENT)),
         None, 1, ""),
        ("LF every 4 characters", serving("lf", b"\n".join(GOOD[i:i + 4] for i in range(0, len(GOOD), 4))),
         None, 1, ""),
        ("no padding", serving("unpadded", GOOD.rstrip(b"=")), None, 1, ""),
        ("base64 after the padding", serving("after", GOOD + base64.b64encode(b"<More/>")), None, 1,
         "were not decoded"),
        ("not base64: no character of it", serving("none", b"*** ?? ***"), "decode", -2, "passed over"),
        ("a zero byte before the document", serving("zero", base64.b64encode(b"\0" + DOCUMENT)),
         "decode", -2, "zero byte at byte 0"),
        ("not a document: base64 of plain text", serving("text", base64.b64encode(b"plain text")),
         "document", -1, ""),
        ("a Content-Length that is no number",
         lambda: tree.configure(replies.reply("nan", b"HTTP/1.1 200 OK\r\nContent-Length: many\r\n\r\n" + GOOD)),
         bad_length_step, -2),
    ]
    for label, breakage, step, result, *note in setups:
        tree.configure(url)
        breakage()
        report, proc = doctor(tree)
        library = json_of(tree.run("update", "--id", "H-1001", "--json")) or {}
        steps, notes = report.get("steps", []), report.get("notes", [])
        verdict = ([s.get("name") for s in steps][-1:] == [step] if step
                   else len(steps) == 8 and all(s.get("ok") for s in steps))
        noted = not note or (any(note[0] in n for n in notes) if note[0] else notes == [])
        check(f"{label}: {'fails at ' + step if step else 'every step ok'}, result {result} "
              f"as the library's, exit {1 if step else 0}",
              report.get("failed_step") == step and verdict and noted
              and report.get("result") == library.get("result") == result
              and proc.returncode == (1 if step else 0), describe(proc))


def test_working_setups(tree, url):
    tree.configure(url + "/short")
    report, proc = doctor(tree)
    body = [s for s in report.get("steps", []) if s.get("name") == "body"]
    check("half a body: a warning at body, no failed step, result 1, exit 0",
          report.get("failed_step") is None and body and body[0]["detail"].startswith("warning")
          and report.get("result") == 1 and proc.returncode == 0, describe(proc))

    tree.configure(url + "/status0")
    report, proc = doctor(tree)
    check("Status 0: works, and says the host gets 219",
          report.get("failed_step") is None and report.get("result") == 219
          and any("219" in note for note in report.get("notes", [])) and proc.returncode == 0,
          describe(proc))

    tree.configure(url)
    report, proc = doctor(tree, "--show-reply")
    check("a working exchange: all eight steps ok, result 1, the reply shown, exit 0",
          [s.get("name") for s in report.get("steps", [])] ==
          ["config", "url", "connect", "send", "length", "body", "decode", "document"]
          and all(s.get("ok") for s in report["steps"]) and report.get("result") == 1
          and "<Poi>" in (report.get("reply") or "") and proc.returncode == 0, describe(proc))

    tree.configure(f"http://127.0.0.1:{free_port()}/poi")
    proc = tree.run("doctor")
    check("text: the failing step, its hint and the library's result",
          proc.returncode == 1 and "connect   FAIL" in proc.stdout and "hint:" in proc.stdout
          and "gives -2" in proc.stdout and "fails at: connect" in proc.stdout, describe(proc))


def test_tls(tree, url, work):
    """Each TLS failure named in the tls step; a verified peer passes it."""
    certificates = TestCertificates(os.path.join(work, "tls"))
    trusted, other = certificates.ca_pem, certificates.path("other.pem")

    def serving(leaf, db):
        return Service(tree.service, os.path.join(work, db + ".db"), os.path.join(work, db + ".log"),
                       ["--tls-cert", certificates.path(leaf + ".chain"),
                        "--tls-key", certificates.path("leaf.key")])

    services = [serving("good", "tls"), serving("untrusted", "tls2")]
    good, foreign = (service.url for service in services)
    setups = [
        # label, URL, CA trusted through SSL_CERT_FILE, failed step or None, detail, hint has
        ("a verified peer", good, trusted, None, "peer verified", ""),
        ("a certificate of another CA", foreign, trusted, "tls", "untrusted issuer", "SSL_CERT_FILE"),
        ("a private CA not trusted", good, None, "tls", "untrusted issuer", "SSL_CERT_FILE"),
        ("a name the certificate lacks", good.replace("127.0.0.1", "localhost"), trusted, "tls",
         "name mismatch", "subjectAltName"),
        ("a plain service behind https", "https" + url[4:], trusted, "tls", "not TLS", "http://"),
        ("a TLS service behind http", "http" + good[5:], trusted, "send", "no reply", "https://"),
    ]
    try:
        for label, target, ca, step, detail, hint in setups:
            tree.configure(target)
            environment = dict(os.environ, SSL_CERT_FILE=ca or other)
            environment.pop("no_proxy", None)
            proc = subprocess.run([tree.nalpoi, "doctor", "--json"], capture_output=True, text=True,
                                  env=environment, timeout=60)
            report = json_of(proc) or {}
            named = [s for s in report.get("steps", []) if s.get("name") == (step or "tls")]
            check(f"{label}: {step or 'works'}, {detail!r}",
                  report.get("failed_step") == step and named
                  and named[0].get("detail", "").startswith(detail)
                  and hint in named[0].get("hint", "")
                  and report.get("result") == (1 if step is None else -2), describe(proc))
    finally:
        for service in services:
            service.stop()


def main(argv):
    def run(tree, url, work):
        test_broken_setups(tree, url)
        test_working_setups(tree, url)
        test_tls(tree, url, work)

    return run_installed(argv, __doc__, "nalpoi-doctor-", run)

if __name__ == "__main__":
    sys.exit(main(sys.argv))
