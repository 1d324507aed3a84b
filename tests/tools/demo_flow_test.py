#!/usr/bin/env python3
"""End-to-end flow through an installed tree: nalpoi against nalpoi-service.

Usage: demo_flow_test.py BUILD_DIR

Installs BUILD_DIR into a temporary prefix, starts the installed service on a
free loopback port with a temporary database, points the prefix's
configdat/serviceIP.xml at it with `nalpoi config --url`, and runs the
installed nalpoi as a host would. A second, deliberately slow server of the
test's own checks the wait indicator on a pseudo-terminal. Prints one line
per check and closes with "N passed, N failed".
"""

import base64
import json
import os
import pty
import re
import select
import signal
import socket
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))

from scripted_service import ScriptedService  # noqa: E402

# The service's sample data (tools/service/sample_data.cpp).
EMPTY_SLOT = {"Name": "", "Mark": "", "Agr": "", "Bref": ""}
KNOWN_ID = "M-2001"  # a museum: no revision log, its row is as seeded
KNOWN_CONTENT = {
    "Tel": "+44 1632 960201",
    "Addr": "1 Harbour Parade, Harrowmere",
    "Time": "2024-02-20 10:00:00",
    "Con": "Three floors of ship models, charts and figureheads from the age of sail. "
           "The old lighthouse lens on the top floor still turns every hour. "
           "Closed on Mondays.",
    "Pri": [
        {"Name": "Adult ticket", "Mark": "8.50", "Agr": "7.00", "Bref": "audio"},
        {"Name": "Child ticket", "Mark": "4.00", "Agr": "3.50", "Bref": "under 16"},
        {"Name": "Family ticket", "Mark": "20.00", "Agr": "17.00", "Bref": "2+3"},
    ],
}
UPDATED_HOTEL_ID = "H-1001"  # added, then updated: the update reply shows the update
UPDATED_HOTEL_TIME = "2024-03-03 09:00:00"
UPDATED_HOTEL_DOUBLE = {"Name": "Double room", "Mark": "99.00", "Agr": "85.00", "Bref": "sea view"}
UTF8_POI_ID = "R-3002"
UTF8_POI_CON_PART = "K\u00e4sesp\u00e4tzle"
DELETED_HOTEL_ID = "H-1004"
UNKNOWN_ID = "NO-SUCH-POI"

# Batch revisions since the beginning.
ALL_NEWEST = "2024-03-04 11:00:00"
ALL_IDS = {
    "added": ["H-1001", "H-1002", "H-1003", "H-1004", "H-1005"],
    "deleted": ["H-1004"],
    "updated": ["H-1001", "H-1002"],
}
# Since the time stamp of H-1001's update: strictly later revisions only.
LATER_TIME = "2024-03-03 09:00:00"
LATER_IDS = {"added": ["H-1005"], "deleted": ["H-1004"], "updated": ["H-1002"]}
UTF8_HOTEL = {"ID": "H-1003", "HN": "S\u00f8nderg\u00e5rd Guesthouse",
              "Con_part": "cr\u00e8me br\u00fbl\u00e9e"}
PLAIN_HOTEL_ID = "H-1004"  # added with no Pri entries


def counts_of(ids):
    return {"NumA": len(ids["added"]), "NumD": len(ids["deleted"]), "NumU": len(ids["updated"])}


def ids_of(report):
    return {k: [h["ID"] for h in report[k]] for k in ("added", "deleted", "updated")}


COMMAND_TIMEOUT = 90  # seconds; above the batch limit of 60 s, so a hang fails instead of stalling
START_TIMEOUT = 15  # seconds for the service to announce its port

results = {"passed": 0, "failed": 0}


def check(name, ok, detail=""):
    results["passed" if ok else "failed"] += 1
    print(("ok    " if ok else "FAIL  ") + name + ("" if ok or not detail else "\n      " + detail))
    return ok


def describe(proc):
    return f"exit {proc.returncode}; stdout {proc.stdout!r}; stderr {proc.stderr!r}"


def json_of(proc):
    try:
        return json.loads(proc.stdout)
    except ValueError:
        return None


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def config_document(escaped_url):
    return ('<?xml version="1.0" encoding="UTF-8"?>\n<ServiceConfig>\n'
            f"    <ServiceUrl>{escaped_url}</ServiceUrl>\n</ServiceConfig>\n")


def wire_base64(xml):
    """Base64 as the protocol carries it: lines of 60 characters, CR LF between."""
    text = base64.b64encode(xml).decode("ascii")
    return "\r\n".join(text[i:i + 60] for i in range(0, len(text), 60)).encode("ascii")


class Tree:
    """The installed prefix and how to run its nalpoi."""

    def __init__(self, prefix):
        self.prefix = prefix
        self.nalpoi = os.path.join(prefix, "bin", "nalpoi")
        self.service = os.path.join(prefix, "bin", "nalpoi-service")
        self.config_file = os.path.join(prefix, "configdat", "serviceIP.xml")

    def run(self, *args):
        return subprocess.run([self.nalpoi, *args], capture_output=True, text=True,
                              errors="replace", stdin=subprocess.DEVNULL, timeout=COMMAND_TIMEOUT)

    def configure(self, url):
        proc = self.run("config", "--url", url)
        if proc.returncode != 0:
            raise RuntimeError("nalpoi config --url failed: " + describe(proc))

    def config_text(self):
        try:
            with open(self.config_file, encoding="utf-8") as f:
                return f.read()
        except FileNotFoundError:
            return None


class Service:
    """The installed nalpoi-service on a free port, stopped by stop()."""

    def __init__(self, executable, db, log, extra=()):
        self.log = open(log, "w")
        self.proc = subprocess.Popen(
            [executable, "--host", "127.0.0.1", "--port", "0", "--path", "/poi", "--db", db,
             *extra],
            stdout=subprocess.PIPE, stderr=self.log, stdin=subprocess.DEVNULL)
        ready, _, _ = select.select([self.proc.stdout], [], [], START_TIMEOUT)
        line = self.proc.stdout.readline().decode("utf-8", "replace") if ready else ""
        match = re.fullmatch(r"listening on (https?://127\.0\.0\.1:\d+/poi)\n", line)
        if not match:
            self.stop()
            raise RuntimeError(f"nalpoi-service did not announce its port: {line!r}")
        self.url = match.group(1)

    def stop(self):
        """Stops the service with SIGTERM; returns its exit status."""
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc.stdout.close()
        self.log.close()
        return self.proc.returncode


class SlowService(ScriptedService):
    """Answers every request after `delay` seconds with the base64 reply given."""

    def __init__(self, reply_xml, delay):
        body = wire_base64(reply_xml)
        self.answer = [("sleep", delay),
                       ("send", b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n" % len(body) + body)]
        super().__init__()
        self.url = self.origins["plain"] + "/poi"

    def script(self, listener, raw, connection):
        return self.answer

    def stop(self):
        self.shutdown()


def run_installed(argv, usage, prefix_name, run):
    """Installs argv[1] into a temporary prefix, starts its service and calls
    run(tree, service_url, work); prints the summary line, returns the exit
    status of a test script."""
    if len(argv) != 2:
        print(usage.strip(), file=sys.stderr)
        return 2
    with tempfile.TemporaryDirectory(prefix=prefix_name) as work:
        prefix = os.path.join(work, "prefix")
        install = subprocess.run(["cmake", "--install", argv[1], "--prefix", prefix],
                                 capture_output=True, text=True, timeout=COMMAND_TIMEOUT)
        if check("cmake --install into a temporary prefix", install.returncode == 0,
                 install.stdout + install.stderr):
            tree = Tree(prefix)
            service = Service(tree.service, os.path.join(work, "poi.db"),
                              os.path.join(work, "service.log"))
            try:
                run(tree, service.url, work)
            finally:
                check("nalpoi-service stops cleanly on SIGTERM", service.stop() == 0)
    print(f"{results['passed']} passed, {results['failed']} failed")
    return 0 if results["failed"] == 0 else 1


def run_with_terminal_stderr(args):
    """Runs a command with stderr on a pseudo-terminal; returns (exit, stdout, terminal bytes)."""
    master, slave = pty.openpty()
    proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=slave, stdin=subprocess.DEVNULL)
    os.close(slave)
    seen = b""
    deadline = time.monotonic() + COMMAND_TIMEOUT
    while time.monotonic() < deadline:
        ready, _, _ = select.select([master], [], [], 0.5)
        if not ready:
            if proc.poll() is not None:
                break
            continue
        try:
            chunk = os.read(master, 4096)
        except OSError:  # EIO: every writer of the terminal is gone
            break
        if not chunk:
            break
        seen += chunk
    os.close(master)
    stdout = proc.communicate(timeout=COMMAND_TIMEOUT)[0]
    return proc.returncode, stdout.decode("utf-8", "replace"), seen


def test_configuration(tree, service_url):
    proc = tree.run("config")
    check("config before any URL: not configured, exit 1",
          proc.returncode == 1 and "not configured" in proc.stderr, describe(proc))

    proc = tree.run("config", "--url", service_url)
    check("config --url writes serviceIP.xml in the prefix's configdat/",
          proc.returncode == 0 and tree.config_text() == config_document(service_url),
          describe(proc) + f"; file {tree.config_text()!r}")

    proc = tree.run("config")
    check("config shows the URL and the file it came from",
          proc.returncode == 0 and service_url in proc.stdout and tree.config_file in proc.stdout,
          describe(proc))

    written = tree.config_text()
    refused = [
        ("a URL of 100 bytes", "http://127.0.0.1/" + "p" * 83),
        ("a URL without a scheme", "127.0.0.1:8080/poi"),
        ("an ftp:// URL", "ftp://127.0.0.1/poi"),
    ]
    for what, url in refused:
        proc = tree.run("config", "--url", url)
        check(f"config --url refuses {what} (exit 2, file unchanged)",
              proc.returncode == 2 and proc.stderr != "" and tree.config_text() == written,
              describe(proc))

    longest = "http://127.0.0.1/" + "p" * 82
    proc = tree.run("config", "--url", longest)
    check("config --url takes a URL of exactly 99 bytes",
          proc.returncode == 0 and tree.config_text() == config_document(longest), describe(proc))

    marked = "http://127.0.0.1:1/poi?a=1&b=<2>"
    tree.configure(marked)
    shown = tree.run("config")
    check("config --url escapes & < > and config reads them back",
          tree.config_text() == config_document("http://127.0.0.1:1/poi?a=1&amp;b=&lt;2&gt;")
          and shown.returncode == 0 and marked in shown.stdout,
          describe(shown) + f"; file {tree.config_text()!r}")

    with open(tree.config_file, "w", encoding="utf-8") as f:
        f.write("<Other><First>http://127.0.0.1:2/x</First><ServiceUrl>nope</ServiceUrl></Other>")
    proc = tree.run("config")
    check("config reads the first child of the root, whatever the names",
          proc.returncode == 0 and "http://127.0.0.1:2/x" in proc.stdout, describe(proc))

    tree.configure(service_url)


def test_update(tree):
    proc = tree.run("update", "--type", "H", "--id", KNOWN_ID, "--name", "x", "--json")
    report = json_of(proc)
    check("update --json of a known ID: result 1, exit 0",
          proc.returncode == 0 and report is not None and report.get("result") == 1
          and proc.stderr == "", describe(proc))
    if report is not None:
        check("update --json: keys in their documented order",
              list(report) == ["operation", "result", "meaning", "content"]
              and report["operation"] == "update" and isinstance(report["meaning"], str),
              f"{report!r}")
        check("update --json: the content is the sample POI's",
              report.get("content") == KNOWN_CONTENT, f"{report.get('content')!r}")

    proc = tree.run("update", "--id", KNOWN_ID)
    check("update in text: result line and every field",
          proc.returncode == 0 and proc.stdout.startswith("update: result 1: ")
          and all(KNOWN_CONTENT[k] in proc.stdout for k in ("Tel", "Addr", "Time", "Con"))
          and proc.stdout.count("Pri[") == 3, describe(proc))

    proc = tree.run("update", "--id", UPDATED_HOTEL_ID, "--json")
    report = json_of(proc)
    content = report.get("content") if report else None
    check("update of an updated hotel: its latest revision",
          proc.returncode == 0 and content is not None and content["Time"] == UPDATED_HOTEL_TIME
          and content["Pri"][1] == UPDATED_HOTEL_DOUBLE, describe(proc))

    proc = tree.run("update", "--id", UTF8_POI_ID, "--json")
    report = json_of(proc)
    content = report.get("content") if report else None
    check("update: UTF-8 text arrives intact",
          proc.returncode == 0 and content is not None and UTF8_POI_CON_PART in content["Con"],
          describe(proc))

    proc = tree.run("update", "--id", DELETED_HOTEL_ID, "--json")
    report = json_of(proc)
    check("update of a deleted hotel: result 219",
          proc.returncode == 1 and report is not None and report.get("result") == 219,
          describe(proc))

    proc = tree.run("update", "--id", UNKNOWN_ID, "--json")
    report = json_of(proc)
    check("update of an unknown ID: result 219, content null, exit 1, one stderr line",
          proc.returncode == 1 and report is not None and report.get("result") == 219
          and report.get("content") is None and "219" in proc.stderr
          and proc.stderr.count("\n") == 1, describe(proc))

    # Several IDs: one query each in one process, the second on the
    # connection the first left (the service's log numbers connections).
    proc = tree.run("update", "--id", KNOWN_ID, "--id", UNKNOWN_ID, "--json")
    reports = [json.loads(line) for line in proc.stdout.splitlines()] if proc.stdout else []
    check("update of two IDs: one JSON line each, exit 1 for the second's 219",
          proc.returncode == 1 and [r.get("result") for r in reports] == [1, 219], describe(proc))

    # The client does not escape its fields; the service reads them by the
    # request's fixed pieces, so this ID is found to be unknown.
    proc = tree.run("update", "--id", "a<b&c", "--json")
    report = json_of(proc)
    check("update with '<' and '&' in the ID: read as sent, unknown, result 219, exit 1",
          proc.returncode == 1 and report is not None and report.get("result") == 219,
          describe(proc))


def test_batch(tree):
    proc = tree.run("batch", "--type", "H", "--time", "", "--json")
    report = json_of(proc)
    ok = check("batch --json since the beginning: result 1, exit 0",
               proc.returncode == 0 and report is not None and report.get("result") == 1,
               describe(proc))
    if ok:
        check("batch --json: keys in their documented order",
              list(report) == ["operation", "result", "meaning", "time", "counts",
                               "added", "deleted", "updated"] and report["operation"] == "batch",
              f"{list(report)!r}")
        check("batch since the beginning: counts, items in log order, newest time stamp",
              report["counts"] == counts_of(ALL_IDS) and ids_of(report) == ALL_IDS
              and report["time"] == ALL_NEWEST, f"{report!r}")
        check("batch items carry the documented fields, Pri with three slots",
              all(list(h) == ["ID", "Tel", "Addr", "HN", "Con", "Pri"] and len(h["Pri"]) == 3
                  for h in report["added"] + report["updated"])
              and all(list(h) == ["ID", "HN"] for h in report["deleted"]), f"{report!r}")
        utf8 = [h for h in report["added"] if h["ID"] == UTF8_HOTEL["ID"]]
        check("batch: UTF-8 hotel name and content arrive intact",
              len(utf8) == 1 and utf8[0]["HN"] == UTF8_HOTEL["HN"]
              and UTF8_HOTEL["Con_part"] in utf8[0]["Con"], f"{utf8!r}")
        plain = [h for h in report["added"] if h["ID"] == PLAIN_HOTEL_ID]
        check("batch: a hotel without Pri entries has three empty slots",
              len(plain) == 1 and plain[0]["Pri"] == [EMPTY_SLOT] * 3, f"{plain!r}")
        updated = [h for h in report["updated"] if h["ID"] == UPDATED_HOTEL_ID]
        check("batch: an updated hotel carries its new Pri",
              len(updated) == 1 and updated[0]["Pri"][1] == UPDATED_HOTEL_DOUBLE, f"{updated!r}")

    proc = tree.run("batch", "--time", LATER_TIME, "--json")
    report = json_of(proc)
    check("batch --json since a later time stamp: only the strictly newer revisions",
          proc.returncode == 0 and report is not None and report.get("result") == 1
          and report["counts"] == counts_of(LATER_IDS) and ids_of(report) == LATER_IDS
          and report["time"] == ALL_NEWEST, describe(proc))

    proc = tree.run("batch", "--time", ALL_NEWEST, "--json")
    report = json_of(proc)
    check("batch since the newest time stamp: nothing new, the same time back",
          proc.returncode == 0 and report is not None
          and report.get("counts") == {"NumA": 0, "NumD": 0, "NumU": 0}
          and report.get("time") == ALL_NEWEST, describe(proc))

    proc = tree.run("batch", "--time", LATER_TIME)
    check("batch in text: result line, time, counts and items",
          proc.returncode == 0 and proc.stdout.startswith("batch: result 1: ")
          and f"time: {ALL_NEWEST}" in proc.stdout
          and "NumA={NumA} NumD={NumD} NumU={NumU}".format(**counts_of(LATER_IDS)) in proc.stdout
          and all(i in proc.stdout for ids in LATER_IDS.values() for i in ids), describe(proc))


def test_closed_port(tree, service_url):
    tree.configure(f"http://127.0.0.1:{free_port()}/poi")
    for command in (["update", "--id", KNOWN_ID, "--json"], ["batch", "--json"]):
        proc = tree.run(*command)
        report = json_of(proc)
        check(f"{command[0]} against a closed port: result -2, exit 1",
              proc.returncode == 1 and report is not None and report.get("result") == -2
              and "-2" in proc.stderr, describe(proc))
    tree.configure(service_url)


def test_usage(tree):
    cases = [
        ("an --id of 50 characters", ["update", "--id", "i" * 50]),
        ("a second --id of 50 characters", ["update", "--id", "x", "--id", "i" * 50]),
        ("a --type of 5 characters", ["update", "--id", "x", "--type", "TTTTT"]),
        ("a --time of 20 characters", ["batch", "--time", "2024-01-01 00:00:000"]),
        ("a --name of 100 characters", ["update", "--id", "x", "--name", "n" * 100]),
        ("update without --id", ["update"]),
        ("an option of another command", ["batch", "--id", "x"]),
        ("an unknown option", ["update", "--id", "x", "--colour"]),
        ("a stray argument", ["batch", "extra"]),
        ("an unknown command", ["delete"]),
        ("no command", []),
    ]
    for what, args in cases:
        proc = tree.run(*args)
        check(f"usage error, exit 2: {what}",
              proc.returncode == 2 and proc.stdout == "" and proc.stderr.strip() != "",
              describe(proc))

    proc = tree.run("update", "--id", "i" * 49, "--json")
    report = json_of(proc)
    check("an --id of exactly 49 characters is sent (result 219)",
          proc.returncode == 1 and report is not None and report.get("result") == 219,
          describe(proc))

    for args in (["--help"], ["update", "--help"], ["batch", "--help"], ["config", "--help"]):
        proc = tree.run(*args)
        check(f"nalpoi {' '.join(args)}: usage on stdout, exit 0",
              proc.returncode == 0 and proc.stdout.startswith("usage: nalpoi"), describe(proc))


def test_wait_indicator(tree, service_url):
    # No declaration: TinyXML then reads byte by byte, and the lone 0xE9 stays.
    reply = b"<Poi><Status>1</Status><Tel>1\x1b[2J</Tel><Con>caf\xe9</Con></Poi>"
    slow = SlowService(reply, delay=0.8)
    try:
        tree.configure(slow.url)
        status, stdout, terminal = run_with_terminal_stderr([tree.nalpoi, "update", "--id", "x"])
        text = terminal.decode("utf-8", "replace")
        redraws = text.count("\rwaiting for the service: ")
        check("wait indicator on a terminal: redrawn with \\r, elapsed time of 20 s",
              status == 0 and redraws >= 3 and re.search(r"\d+\.\d s of 20 s", text) is not None,
              f"exit {status}; terminal {text!r}")
        check("wait indicator erased when the call returns",
              re.search(r"\r +\r$", text) is not None, f"terminal {text!r}")
        check("text report shows control bytes escaped",
              "\x1b" not in stdout and "1\\x1b[2J" in stdout, f"stdout {stdout!r}")

        proc = tree.run("update", "--id", "x", "--json")
        report = json_of(proc)
        check("no indicator when stderr is not a terminal",
              proc.returncode == 0 and proc.stderr == "", describe(proc))
        check("JSON replaces an invalid UTF-8 byte with U+FFFD",
              report is not None and report["content"]["Con"] == "caf\ufffd", describe(proc))
    finally:
        slow.stop()
        tree.configure(service_url)


def main(argv):
    if len(argv) != 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    build_dir = argv[1]
    with tempfile.TemporaryDirectory(prefix="nalpoi-demo-flow-") as work:
        prefix = os.path.join(work, "prefix")
        install = subprocess.run(["cmake", "--install", build_dir, "--prefix", prefix],
                                 capture_output=True, text=True, timeout=COMMAND_TIMEOUT)
        if not check("cmake --install into a temporary prefix", install.returncode == 0,
                     install.stdout + install.stderr):
            print("0 passed, 1 failed")
            return 1
        tree = Tree(prefix)
        service_log = os.path.join(work, "service.log")
        try:
            service = Service(tree.service, os.path.join(work, "poi.db"), service_log)
        except (OSError, RuntimeError) as failure:
            check("nalpoi-service starts and announces its port", False, repr(failure))
            print(f"{results['passed']} passed, {results['failed']} failed")
            return 1
        groups = [
            lambda: test_configuration(tree, service.url),
            lambda: test_update(tree),
            lambda: test_batch(tree),
            lambda: test_closed_port(tree, service.url),
            lambda: test_usage(tree),
            lambda: test_wait_indicator(tree, service.url),
        ]
        try:
            for group in groups:
                try:
                    group()
                except (OSError, RuntimeError, subprocess.SubprocessError) as failure:
                    check("a group of checks ran to its end", False, repr(failure))
        finally:
            status = service.stop()
            check("nalpoi-service stops cleanly on SIGTERM", status == 0, f"exit {status}")
            with open(service_log, encoding="utf-8", errors="replace") as f:
                log = f.read()
            check("the service logged the known ID's update",
                  re.search(rf" update id={re.escape(KNOWN_ID)} status=1 bytes=\d+", log)
                  is not None,
                  f"log {log!r}")
            check("two IDs in one process: one connection for both",
                  re.search(rf" update id={re.escape(KNOWN_ID)} status=1 bytes=\d+ connection=(\d+)\n"
                            rf".* update id={re.escape(UNKNOWN_ID)} status=0 bytes=\d+ connection=\1\n",
                            log) is not None, f"log {log!r}")
    print(f"{results['passed']} passed, {results['failed']} failed")
    return 0 if results["failed"] == 0 else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
