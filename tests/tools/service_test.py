#!/usr/bin/env python3
"""Tests of nalpoi-service over real HTTP and HTTPS on 127.0.0.1.

Usage: service_test.py PATH_TO_NALPOI_SERVICE

Starts the service on a free port with a temporary database, sends requests
framed exactly as the NalPoiComm client frames them, and reads the replies
the way the client does. Prints one line per test and a final
"N passed, N failed"; exits non-zero when a test failed.
"""

import base64
import http.client
import os
import re
import select
import signal
import socket
import sqlite3
import ssl
import subprocess
import sys
import tempfile
import time
import traceback
import xml.etree.ElementTree as ET

# The tests' one maker of throwaway certificates, shared with the Windows drivers.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from test_certificates import TestCertificates  # noqa: E402

DECLARATION = '<?xml version="1.0" encoding="UTF-8"?>'
MAX_REPLY_BODY = 30719          # the client refuses a Content-Length of 30720 or more
START_TIMEOUT_S = 15            # generous: the service may run under ASan
REQUEST_TIMEOUT_S = 15
STOP_TIMEOUT_S = 15
LOG_LINE = re.compile(
    r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ (update|batch|bad) id=(\S+) status=(\S+) bytes=(\d+) connection=(\d+)$")
BASE64_LINE = re.compile(r"^[A-Za-z0-9+/]*={0,2}$")
HANDSHAKE_FAILURE = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ error: TLS handshake failed: .+$")

NEWEST_SAMPLE_TIME = "2024-03-04 11:00:00"


# --- the client's side of the wire -------------------------------------------

def client_base64(data):
    """Base64 in lines of 60 characters, CR LF between them, none at the end."""
    text = base64.b64encode(data).decode("ascii")
    return "\r\n".join(text[i:i + 60] for i in range(0, len(text), 60)).encode("ascii")


def update_document(poi_id, name="", type_="1", time_=""):
    """The client's update request: fields go in unescaped."""
    return (DECLARATION + "<Poi><Type>" + type_ + "</Type><Time>" + time_ + "</Time><ID>" +
            poi_id + "</ID><Name>" + name + "</Name></Poi>").encode("utf-8")


def batch_document(since, type_="2"):
    return (DECLARATION + "<Bat><Type>" + type_ + "</Type><Time>" + since +
            "</Time></Bat>").encode("utf-8")


def update_client_result(root):
    """What SendUpdateRequest returns for a reply: the first Status of 0 or 2 decides."""
    for child in root:
        if child.tag == "Status" and child.text in ("0", "2"):
            return 219 if child.text == "0" else 620
    return 1


def batch_client_result(root):
    """What RevBatch returns: the first Status of 1 or 0 decides, others are passed over."""
    for child in root:
        if child.tag == "Status" and child.text in ("1", "0"):
            return 1 if child.text == "1" else 218
    return 1


def check_reply_framing(body, content_length):
    """The body the client's Content-Length gate and decoder expect."""
    assert content_length is not None, "no Content-Length"
    assert int(content_length) == len(body), "Content-Length %s for %d bytes" % (
        content_length, len(body))
    assert 1 <= len(body) <= MAX_REPLY_BODY, "body of %d bytes" % len(body)
    text = body.decode("ascii")
    assert not text.endswith("\r\n"), "line break after the last line"
    lines = text.split("\r\n")
    for number, line in enumerate(lines):
        assert BASE64_LINE.match(line), "line %d is not base64: %r" % (number, line[:70])
        if number < len(lines) - 1:
            assert len(line) == 60, "line %d has %d characters" % (number, len(line))
        else:
            assert 4 <= len(line) <= 60, "last line has %d characters" % len(line)
    assert "\n" not in text.replace("\r\n", ""), "bare line feed"


# --- running the service ------------------------------------------------------

class Service:
    """One run of nalpoi-service; every reply is checked for its framing."""

    def __init__(self, executable, db_path, workdir, arguments=(), tls=None):
        self.tls = tls   # an ssl.SSLContext for HTTPS, with --tls-* in `arguments`
        self.stderr_path = os.path.join(workdir, "stderr-%d.log" % time.monotonic_ns())
        self.stderr_file = open(self.stderr_path, "wb")
        self.process = subprocess.Popen(
            [executable, "--port", "0", "--db", db_path, *arguments], stdout=subprocess.PIPE,
            stderr=self.stderr_file, cwd=workdir)
        ready, _, _ = select.select([self.process.stdout], [], [], START_TIMEOUT_S)
        if not ready:
            self.process.kill()
            raise AssertionError("no 'listening on' line within %d s" % START_TIMEOUT_S)
        line = self.process.stdout.readline().decode("ascii").rstrip("\n")
        scheme = "https" if tls else "http"
        match = re.fullmatch(r"listening on %s://127\.0\.0\.1:(\d+)(/poi)" % scheme, line)
        if not match:
            self.process.kill()
            raise AssertionError("unexpected first line: %r" % line)
        self.port = int(match.group(1))
        self.path = match.group(2)
        self.requests = 0

    def post_raw(self, body, path=None, headers=None):
        """POSTs `body` as the client does: Content-Length, user agent
        "RuzOruz", no content type. Returns (HTTP status, headers, body)."""
        all_headers = {"User-Agent": "RuzOruz"}
        all_headers.update(headers or {})
        return self._send("POST", path or self.path, body, all_headers)

    def get(self, path):
        return self._send("GET", path, None, {})

    def _send(self, method, path, body, headers):
        self.requests += 1
        kind, tls = ((http.client.HTTPSConnection, {"context": self.tls}) if self.tls
                     else (http.client.HTTPConnection, {}))
        connection = kind("127.0.0.1", self.port, timeout=REQUEST_TIMEOUT_S, **tls)
        try:
            connection.request(method, path, body=body, headers=headers)
            response = connection.getresponse()
            return response.status, response.headers, response.read()
        finally:
            connection.close()

    def exchange(self, document_bytes):
        """One exchange as the client runs it; returns (root element, decoded text, body)."""
        status, headers, body = self.post_raw(client_base64(document_bytes))
        assert status == 200, "HTTP status %d" % status
        check_reply_framing(body, headers.get("Content-Length"))
        decoded = base64.b64decode(body.replace(b"\r\n", b""), validate=True)
        return ET.fromstring(decoded), decoded, body

    def stop(self, signal_number=signal.SIGTERM):
        """Signals the service; returns its exit code and its log lines."""
        self.process.send_signal(signal_number)
        try:
            code = self.process.wait(timeout=STOP_TIMEOUT_S)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            code = "still running after %d s" % STOP_TIMEOUT_S
        self.process.stdout.close()
        self.stderr_file.close()
        with open(self.stderr_path, "rb") as log:
            return code, log.read().decode("utf-8", "replace").splitlines()


def children(element, tag):
    return [child for child in element if child.tag == tag]


def only_child(element, tag):
    found = children(element, tag)
    assert len(found) == 1, "%d <%s> elements" % (len(found), tag)
    return found[0]


def text_of(element, tag):
    return only_child(element, tag).text or ""


def pri_entries(element):
    pri = only_child(element, "Pri")
    return [tuple(text_of(item, field) for field in ("Name", "Mark", "Agr", "Bref"))
            for item in pri]


def section(root, tag, attribute):
    """(announced count, [item elements]) of NumA, NumD or NumU."""
    element = only_child(root, tag)
    count = int(element.get(attribute))
    items = list(element)
    assert count == len(items), "%s %s=%d with %d items" % (tag, attribute, count, len(items))
    return count, items


def batch_ids(root):
    """IDs of the added, deleted and updated items."""
    return tuple([text_of(item, "ID") for item in section(root, tag, attribute)[1]]
                 for tag, attribute in (("NumA", "Add"), ("NumD", "Del"), ("NumU", "Upd")))


# --- tests on one running service --------------------------------------------

def test_known_ids_reply_their_fields(service):
    cases = [
        # id, Tel, Addr, Time, a piece of Con, Pri
        ("H-1003", "+44 1632 960103", "7 Chapel Row, Harrowmere", "2024-03-02 10:30:00",
         "Bed & breakfast run by Ingrid S\u00f8nderg\u00e5rd",
         [("Single room", "55.00", "50.00", "shared"),
          ("Double room", "70.00", "64.00", "en suite")]),
        ("H-1001", "+44 1632 960101", "3 Quay Street, Harrowmere", "2024-03-03 09:00:00",
         "reopened after its spring refit",
         [("Single room", "79.00", "65.00", "incl. bkf"),
          ("Double room", "99.00", "85.00", "sea view"),
          ("Suite", "189.00", "160.00", "balcony")]),
        ("M-2002", "+44 1632 960202", "Furnace Yard, Harrowmere", "2024-02-21 09:30:00",
         "Entry is free", []),
        ("R-3002", "+44 1632 960302", "Mill Lane 2, Harrowmere", "2024-02-26 18:00:00",
         "K\u00e4sesp\u00e4tzle", [("Dinner menu", "24.00", "21.00", "3 courses")]),
    ]
    for poi_id, tel, addr, stamp, content, pri in cases:
        root, decoded, _ = service.exchange(update_document(poi_id, name="any name"))
        assert root.tag == "Poi", root.tag
        assert [child.tag for child in root][0] == "Status", "Status is not first"
        assert text_of(root, "Status") == "1", poi_id
        assert update_client_result(root) == 1
        assert text_of(root, "Tel") == tel, (poi_id, text_of(root, "Tel"))
        assert text_of(root, "Addr") == addr, (poi_id, text_of(root, "Addr"))
        assert text_of(root, "Time") == stamp, (poi_id, text_of(root, "Time"))
        assert content in text_of(root, "Con"), (poi_id, text_of(root, "Con"))
        assert pri_entries(root) == pri, (poi_id, pri_entries(root))
        if "&" in content:
            assert b"Bed &amp; breakfast" in decoded, "'&' is not escaped in the reply"


def test_update_statuses_for_unknown_and_missing_ids(service):
    cases = [
        ("unknown ID", update_document("H-9999"), "0", 219),
        ("worked example of the client", update_document("123", name="abc", time_="20"), "0", 219),
        ("empty ID", update_document(""), "2", 620),
        ("no ID element", (DECLARATION + "<Poi><Type>1</Type><Time></Time></Poi>").encode(),
         "2", 620),
    ]
    for label, document, status, result in cases:
        root, _, _ = service.exchange(document)
        assert root.tag == "Poi", (label, root.tag)
        assert [(child.tag, child.text) for child in root] == [("Status", status)], (
            label, [(child.tag, child.text) for child in root])
        assert update_client_result(root) == result, label


def test_malformed_requests_get_not_understood(service):
    update_view, batch_view = "update", "batch"
    cases = [
        # label, raw request body, the client(s) and the result each must see
        ("update without an ID", client_base64(update_document("")), {update_view: 620}),
        ("update with text after the root",
         client_base64(update_document("H-1001") + b"trailing"), {update_view: 620}),
        ("update by another writer, not well-formed",
         client_base64(b"<Poi><ID>H-1001</ID><Name>Bed & Co</Name></Poi>"), {update_view: 620}),
        ("batch without Time",
         client_base64((DECLARATION + "<Bat><Type>2</Type></Bat>").encode()), {batch_view: 218}),
        ("batch left open", client_base64((DECLARATION + "<Bat><Type>2</Type>").encode()),
         {batch_view: 218}),
        ("not base64 at all", b"this is not base64 <Poi>!",
         {update_view: 620, batch_view: 218}),
        ("base64 of text that is not XML", client_base64(b"hello, service"),
         {update_view: 620, batch_view: 218}),
        ("wrong root", client_base64((DECLARATION + "<Hotel><ID>H-1001</ID></Hotel>").encode()),
         {update_view: 620, batch_view: 218}),
        ("empty body", b"", {update_view: 620, batch_view: 218}),
    ]
    for label, body, expected in cases:
        status, headers, reply = service.post_raw(body)
        assert status == 200, (label, status)
        check_reply_framing(reply, headers.get("Content-Length"))
        root = ET.fromstring(base64.b64decode(reply.replace(b"\r\n", b"")))
        assert {child.tag for child in root} == {"Status"}, (label, [c.tag for c in root])
        if update_view in expected:
            assert update_client_result(root) == expected[update_view], label
        if batch_view in expected:
            assert batch_client_result(root) == expected[batch_view], label
        if len(expected) == 1:
            assert root.tag == ("Poi" if update_view in expected else "Bat"), (label, root.tag)


def test_unescaped_fields_are_read_by_the_fixed_pieces(service):
    # The client does not escape its fields; the service reads its documents
    # by their fixed pieces, so "&" and "<" in a field are just bytes.
    root, _, _ = service.exchange(update_document("H-1001", "Bed & Co <b>"))
    assert text_of(root, "Status") == "1" and text_of(root, "Tel"), [
        (child.tag, child.text) for child in root]
    root, _, _ = service.exchange(update_document("H<1001&", "&nbsp;"))
    assert update_client_result(root) == 219, "an unknown ID, found as such"
    root, _, _ = service.exchange(batch_document("", type_="A&B"))
    assert text_of(root, "Status") == "1", "a batch with a raw & in Type is understood"


def test_batches_since_different_times(service):
    cases = [
        # since, added, deleted, updated, Time of the reply
        ("", ["H-1001", "H-1002", "H-1003", "H-1004", "H-1005"], ["H-1004"],
         ["H-1001", "H-1002"], NEWEST_SAMPLE_TIME),
        ("2024-03-01 08:00:00", ["H-1003", "H-1004", "H-1005"], ["H-1004"],
         ["H-1001", "H-1002"], NEWEST_SAMPLE_TIME),
        ("2024-03-02 14:00:00", ["H-1005"], ["H-1004"], ["H-1001", "H-1002"],
         NEWEST_SAMPLE_TIME),
        ("2024-03-03 17:45:00", ["H-1005"], [], ["H-1002"], NEWEST_SAMPLE_TIME),
        (NEWEST_SAMPLE_TIME, [], [], [], NEWEST_SAMPLE_TIME),
        ("2099-01-01 00:00:00", [], [], [], "2099-01-01 00:00:00"),
    ]
    for since, added, deleted, updated, reply_time in cases:
        root, _, _ = service.exchange(batch_document(since))
        assert root.tag == "Bat", root.tag
        assert batch_client_result(root) == 1, since
        assert text_of(root, "Status") == "1"
        assert batch_ids(root) == (added, deleted, updated), (since, batch_ids(root))
        assert text_of(root, "Time") == reply_time, (since, text_of(root, "Time"))


def test_batch_items_carry_their_revision(service):
    root, _, _ = service.exchange(batch_document("2024-03-02 14:00:00"))
    _, deleted = section(root, "NumD", "Del")
    assert [child.tag for child in deleted[0]] == ["ID", "HN"], "a delete carries ID and HN"
    assert text_of(deleted[0], "HN") == "Station Hotel"
    _, updated = section(root, "NumU", "Upd")
    mill = updated[1]
    assert text_of(mill, "Tel") == "+44 1632 960112", "the update's own telephone"
    assert text_of(mill, "HN") == "Mill House Inn"
    assert pri_entries(mill) == [("Double room", "85.00", "75.00", "garden"),
                                 ("Garden room", "95.00", "84.00", "terrace")]
    root, _, _ = service.exchange(batch_document(""))
    _, added = section(root, "NumA", "Add")
    guesthouse = [item for item in added if text_of(item, "ID") == "H-1003"][0]
    assert text_of(guesthouse, "HN") == "S\u00f8nderg\u00e5rd Guesthouse"
    assert "Cash & cards" in text_of(guesthouse, "Con")


def test_reply_is_plain_base64_even_when_compression_is_offered(service):
    status, headers, body = service.post_raw(
        client_base64(update_document("H-1001")),
        headers={"Accept-Encoding": "gzip, deflate, br"})
    assert status == 200, status
    assert headers.get("Content-Encoding") is None, headers.get("Content-Encoding")
    check_reply_framing(body, headers.get("Content-Length"))


def test_other_paths_and_methods_get_404(service):
    cases = [
        ("GET on the service path", lambda: service.get("/poi")),
        ("POST to another path", lambda: service.post_raw(
            client_base64(update_document("H-1001")), path="/other")),
        ("POST to a longer path", lambda: service.post_raw(
            client_base64(update_document("H-1001")), path="/poi/extra")),
        ("GET on the root", lambda: service.get("/")),
    ]
    for label, send in cases:
        status, _, _ = send()
        assert status == 404, (label, status)


def test_oversized_request_is_refused(service):
    status, _, _ = service.post_raw(b"QUFB" * 20000)   # 80000 bytes
    assert status == 413, status


def test_deep_nesting_is_not_understood(service):
    document = (DECLARATION + "<Poi>" + "<a>" * 5000 + "</a>" * 5000 + "</Poi>").encode()
    root, _, _ = service.exchange(document)
    assert update_client_result(root) == 620


# --- tests that start the service themselves ----------------------------------

def run_logged_requests(executable, workdir):
    """Sends a known mix of requests; returns what each log line must say."""
    service = Service(executable, os.path.join(workdir, "log.db"), workdir)
    expected = []
    try:
        _, _, body = service.exchange(update_document("H-1002"))
        expected.append(("update", "H-1002", "1", len(body)))
        _, _, body = service.exchange(update_document("nobody here"))
        expected.append(("update", r"nobody\x20here", "0", len(body)))
        _, _, body = service.exchange(batch_document(""))
        expected.append(("batch", "-", "1", len(body)))
        _, _, body = service.exchange((DECLARATION + "<Bat><Type>2</Type></Bat>").encode())
        expected.append(("batch", "-", "0", len(body)))
        _, _, body = service.post_raw(b"@@@")
        expected.append(("bad", "-", "2/0", len(body)))
        service.get("/elsewhere")
        expected.append(("bad", "-", "404", 0))
    finally:
        code, lines = service.stop()
    return code, lines, expected, service.requests


def test_one_log_line_per_request(executable, workdir):
    code, lines, expected, sent = run_logged_requests(executable, workdir)
    assert code == 0, "exit %r" % code
    parsed = [LOG_LINE.match(line) for line in lines]
    assert all(parsed), "lines outside the log format: %r" % [
        line for line, match in zip(lines, parsed) if not match]
    assert len(lines) == sent, "%d log lines for %d requests" % (len(lines), sent)
    found = [(m.group(1), m.group(2), m.group(3), int(m.group(4))) for m in parsed]
    assert found == expected, "log %r, expected %r" % (found, expected)


def test_database_persists_and_is_reused(executable, workdir):
    db_path = os.path.join(workdir, "persist.db")
    first = Service(executable, db_path, workdir)
    try:
        root, _, _ = first.exchange(update_document("H-1005"))
        assert text_of(root, "Status") == "1"
    finally:
        code, _ = first.stop(signal.SIGINT)   # stopped on every way out
    assert code == 0, "exit %r after SIGINT" % code
    assert os.path.getsize(db_path) > 0, "no database file"

    # A change made between the runs shows that the second run keeps the file.
    with sqlite3.connect(db_path) as db:
        db.execute("UPDATE poi SET tel = '+44 1632 960999' WHERE id = 'H-1005'")
    second = Service(executable, db_path, workdir)
    try:
        root, _, _ = second.exchange(update_document("H-1005"))
        assert text_of(root, "Tel") == "+44 1632 960999", text_of(root, "Tel")
        root, _, _ = second.exchange(batch_document(""))
        assert len(section(root, "NumA", "Add")[1]) == 5, "the sample was added twice"
    finally:
        code, _ = second.stop()
    assert code == 0, "exit %r after SIGTERM" % code


def test_empty_database_file_gets_the_sample(executable, workdir):
    db_path = os.path.join(workdir, "empty.db")
    open(db_path, "wb").close()
    service = Service(executable, db_path, workdir)
    try:
        root, _, _ = service.exchange(update_document("M-2001"))
        assert text_of(root, "Status") == "1"
    finally:
        service.stop()


def test_large_revision_log_comes_in_oldest_first_parts(executable, workdir):
    db_path = os.path.join(workdir, "large.db")
    Service(executable, db_path, workdir).stop()
    # The sample's own revisions come first, as a batch since the beginning lists them.
    expected = {"add": ["H-1001", "H-1002", "H-1003", "H-1004", "H-1005"],
                "del": ["H-1004"], "upd": ["H-1001", "H-1002"]}
    con = "A long description & more. " * 90   # about 2.4 kB, escaped in the reply
    with sqlite3.connect(db_path) as db:
        for number in range(60):
            # Three revisions share each time stamp: a part may not split them.
            stamp = "2024-04-%02d %02d:00:00" % (1 + number // 24, number % 24)
            for kind in ("add", "upd", "del"):
                hotel_id = "L-%03d-%s" % (number, kind)
                db.execute(
                    "INSERT INTO hotel_revision (change, time, hotel_id, hn, tel, addr, con) "
                    "VALUES (?, ?, ?, ?, ?, ?, ?)",
                    (kind, stamp, hotel_id, "Hotel %d" % number, "+44 1632 960000",
                     "Somewhere, Harrowmere", "" if kind == "del" else con))
                expected[kind].append(hotel_id)
    newest = "2024-04-03 11:00:00"

    service = Service(executable, db_path, workdir)
    received = {"add": [], "upd": [], "del": []}
    since, parts = "", 0
    try:
        while True:
            root, _, body = service.exchange(batch_document(since))
            added, deleted, updated = batch_ids(root)
            reply_time = text_of(root, "Time")
            if not (added or deleted or updated):
                assert reply_time == since, "empty part moved Time to %r" % reply_time
                break
            parts += 1
            assert reply_time > since, "Time went from %r to %r" % (since, reply_time)
            assert len(body) <= MAX_REPLY_BODY
            received["add"] += added
            received["del"] += deleted
            received["upd"] += updated
            since = reply_time
            assert parts < 100, "no end to the parts"
    finally:
        service.stop()
    assert parts >= 3, "the log fitted %d replies" % parts
    assert since == newest, since
    for kind in expected:
        assert received[kind] == expected[kind], "%s: %d received of %d" % (
            kind, len(received[kind]), len(expected[kind]))


def test_refuses_a_file_that_is_not_its_database(executable, workdir):
    db_path = os.path.join(workdir, "other.db")
    with open(db_path, "wb") as other:
        other.write(b"this is somebody else's file, not SQLite\n" * 10)
    result = subprocess.run([executable, "--port", "0", "--db", db_path], capture_output=True,
                            timeout=START_TIMEOUT_S, cwd=workdir)
    assert result.returncode == 1, result.returncode
    assert result.stdout == b"", "announced listening"
    assert b"nalpoi-service:" in result.stderr


def test_invalid_command_lines(executable, workdir):
    for arguments in (["--port", "65536"], ["--port", "http"], ["--path", "poi"],
                      ["--bogus"], ["extra"], ["--tls-cert", "a.pem"], ["--tls-key", "a.key"],
                      ["--keep-alive", "-1"], ["--keep-alive", "soon"]):
        result = subprocess.run([executable] + arguments, capture_output=True,
                                timeout=START_TIMEOUT_S, cwd=workdir)
        assert result.returncode == 2, (arguments, result.returncode)
        assert b"usage:" in result.stderr, arguments


def ends_in_reset(service, path):
    """POSTs over TLS, then reads below TLS to the end: True on a TCP reset
    (Python 3.11's ssl on OpenSSL 3 reports a reset as an EOF)."""
    body = client_base64(update_document("H-1001"))
    raw = socket.create_connection(("127.0.0.1", service.port), timeout=REQUEST_TIMEOUT_S)
    with service.tls.wrap_socket(raw, server_hostname="127.0.0.1") as tls:
        tls.sendall(b"POST %s HTTP/1.1\r\nContent-Length: %d\r\n\r\n%s" % (
            path.encode(), len(body), body))
        with socket.socket(fileno=tls.detach()) as below:
            below.settimeout(REQUEST_TIMEOUT_S)
            try:
                while below.recv(4096):
                    pass
            except ConnectionResetError:
                return True
    return False


def post_in_turn(service, paths, version="1.1", header=b"", pipelined=False):
    """POSTs an update to each of `paths` on one connection (TLS when the service has it); returns
    the socket, its reader and each reply as (status, Connection, body), None when none came."""
    sock = socket.create_connection(("127.0.0.1", service.port), timeout=REQUEST_TIMEOUT_S)
    sock = service.tls.wrap_socket(sock, server_hostname="127.0.0.1") if service.tls else sock
    body = client_base64(update_document("H-1001"))
    requests = [b"POST %s HTTP/%s\r\n%sContent-Length: %d\r\n\r\n%s" % (
        path.encode(), version.encode(), header, len(body), body) for path in paths]
    if pipelined:   # all at once: each request ends where its Content-Length says
        requests = [b"".join(requests)] + [b""] * (len(paths) - 1)
    reader, replies = sock.makefile("rb"), []
    for request in requests:
        try:
            sock.sendall(request)
            status = int(reader.readline().split()[1])
            headers = http.client.parse_headers(reader)
            replies.append((status, headers["Connection"],
                            reader.read(int(headers["Content-Length"]))))
        except (OSError, IndexError):
            replies.append(None)
    return sock, reader, replies


def test_kept_connections(executable, workdir):
    # Keep-alive 60 outlasts the stop's wait: a stop that waits for an idle kept connection fails.
    services = {seconds: Service(executable, os.path.join(workdir, "kept%s.db" % seconds),
                                 workdir, ["--keep-alive", seconds]) for seconds in ("0", "1", "60")}
    try:
        good = services["60"].exchange(update_document("H-1001"))[2]
        kept, closing = (200, None, good), (200, "close", good)
        cases = [
            # --keep-alive, replies, then closed by the service, paths, version, header, pipelined
            ("1", [kept, kept], True, ["/poi", "/poi"]),   # once idle for 1 s
            ("0", [closing], True, ["/poi"]),
            ("60", [closing], True, ["/poi"], "1.1", b"Connection: close\r\n"),
            ("60", [closing], True, ["/poi"], "1.0"),
            ("60", [(200, "keep-alive", good)] * 2, False, ["/poi"] * 2, "1.0",
             b"Connection: keep-alive\r\n"),
            ("60", [kept], True, ["/poi/idle-close"]),
            ("60", [kept, None], True, ["/poi", "/poi/drop"]),
            # The last stays open, idle, through the stop.
            ("60", [(200, None, b"** this is not base64 at all **"), (404, None, b""), kept],
             False, ["/poi/garbage", "/elsewhere", "/poi"], "1.1", b"", True),
        ]
        for seconds, expected, ends, *request in cases:
            sock, reader, replies = post_in_turn(services[seconds], *request)
            assert replies == expected, (seconds, request, replies)
            if ends:   # well within the keep-alive time, but for the 1 s one
                assert reader.read(1) == b"", (seconds, request)
    finally:
        results = [service.stop() for service in services.values()]
    assert [code for code, _ in results] == [0, 0, 0], results
    assert len(results[2][1]) == 1 + sum(len(case[3]) for case in cases if case[0] == "60")
    # Each case is a connection of its own: its requests share the number logged.
    kept_cases = [case for case in cases if case[0] == "60"]
    numbers = [1] + [number + 2 for number, case in enumerate(kept_cases) for _ in case[3]]
    logged = [int(re.search(r" connection=(\d+)", line).group(1)) for line in results[2][1]]
    assert logged == numbers, results[2][1]


def test_https_serves_as_http_does(executable, workdir):
    certificates = TestCertificates(os.path.join(workdir, "tls"))
    folder = certificates.dir
    trusting = ssl.create_default_context(cafile=certificates.ca_pem)   # that CA only
    plain = Service(executable, os.path.join(workdir, "plain.db"), workdir)
    files = ["--tls-cert", certificates.path("good.chain"), "--tls-key", certificates.path("leaf.key")]
    secure = Service(executable, os.path.join(workdir, "https.db"), workdir,
                     files + ["--keep-alive", "60"], trusting)
    silent = socket.create_connection(("127.0.0.1", secure.port))   # never sends a ClientHello
    try:
        idle = post_in_turn(secure, ["/poi", "/poi"])   # then idle through the stop
        assert idle[2] == [(200, None, plain.exchange(update_document("H-1001"))[2])] * 2, idle
        for document in (update_document("H-1001"), batch_document("")):
            assert secure.exchange(document)[2] == plain.exchange(document)[2], document
        for fault, reset in (("reset", True), ("drop", False)):
            assert ends_in_reset(secure, "/poi/" + fault) == reset, fault
        for label, context in (("plain HTTP", None), ("no trust", ssl.create_default_context())):
            secure.tls = context
            try:
                status = secure.post_raw(client_base64(update_document("H-1001")))[0]
            except (OSError, http.client.HTTPException):   # ssl.SSLError is an OSError
                status = None
            assert status != 200, (label, status)
        secure.tls = trusting
        assert text_of(secure.exchange(update_document("H-1002"))[0], "Status") == "1"
    finally:
        started = time.monotonic()
        code, lines = secure.stop()
        stop_seconds = time.monotonic() - started
        plain.stop()
        silent.close()
    assert code == 0 and stop_seconds < 8, "exit %r after %.1f s" % (code, stop_seconds)
    assert len([line for line in lines if HANDSHAKE_FAILURE.match(line)]) == 2, lines
    for key in ("trusted.key", "missing.key"):   # not the certificate's key, no key at all
        result = subprocess.run([executable, "--port", "0", "--tls-cert", "good.chain", "--tls-key",
                                 key], capture_output=True, timeout=START_TIMEOUT_S, cwd=folder)
        assert (result.returncode, result.stdout) == (1, b""), (key, result)
        assert key.encode() in result.stderr, result.stderr


SHARED_SERVICE_TESTS = [
    test_known_ids_reply_their_fields,
    test_update_statuses_for_unknown_and_missing_ids,
    test_malformed_requests_get_not_understood,
    test_unescaped_fields_are_read_by_the_fixed_pieces,
    test_batches_since_different_times,
    test_batch_items_carry_their_revision,
    test_reply_is_plain_base64_even_when_compression_is_offered,
    test_other_paths_and_methods_get_404,
    test_oversized_request_is_refused,
    test_deep_nesting_is_not_understood,
]

OWN_SERVICE_TESTS = [
    test_one_log_line_per_request,
    test_database_persists_and_is_reused,
    test_empty_database_file_gets_the_sample,
    test_large_revision_log_comes_in_oldest_first_parts,
    test_refuses_a_file_that_is_not_its_database,
    test_invalid_command_lines,
    test_kept_connections,
    test_https_serves_as_http_does,
]


def check_exit_code(code):
    assert code == 0, "exit %r" % code


def run(name, test, *arguments):
    try:
        test(*arguments)
    except Exception:   # an assertion or anything else: the test failed
        print("FAIL %s\n%s" % (name, traceback.format_exc()), flush=True)
        return False
    print("ok   %s" % name, flush=True)
    return True


def main():
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    executable = os.path.abspath(sys.argv[1])
    results = []
    with tempfile.TemporaryDirectory(prefix="nalpoi-service-test-") as workdir:
        try:
            service = Service(executable, os.path.join(workdir, "shared.db"), workdir)
        except Exception:
            print("FAIL starting the service\n%s" % traceback.format_exc())
            results.append(False)
            service = None
        if service is not None:
            for test in SHARED_SERVICE_TESTS:
                results.append(run(test.__name__, test, service))
            code, _ = service.stop()
            results.append(run("test_stops_with_exit_0_on_sigterm", check_exit_code, code))
        for test in OWN_SERVICE_TESTS:
            results.append(run(test.__name__, test, executable, workdir))
    passed = sum(1 for result in results if result)
    failed = len(results) - passed
    print("%d passed, %d failed" % (passed, failed))
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
