#!/usr/bin/env python3
"""Every fault of nalpoi-service, through the real library call.

Usage: fault_test.py BUILD_DIR

Installs BUILD_DIR into a temporary prefix and runs the installed nalpoi
against the installed nalpoi-service: one update and one batch for each
fault path <path>/<kind>, checked against the result code the library
gives for it (the table in tools/service/README.md), then --fault with
--fault-every and --delay. The hang costs the update's 20 s limit. Prints
one line per check and closes with "N passed, N failed".
"""

import os
import subprocess
import sys
import time

from demo_flow_test import COMMAND_TIMEOUT, Service, check, describe, json_of, run_installed

# kind: (SendUpdateRequest's result, RevBatch's result)
FAULT_RESULTS = {
    "no-length": (-2, -2),
    "zero-length": (-2, -2),
    "oversize": (-2, -2),
    "short": (1, 1),          # what arrived is read: half a reply
    "drop": (-2, -2),
    "reset": (-2, -2),
    "garbage": (-1, -1),
    "no-element": (-1, -1),
    "status0": (219, 218),
    "status2": (620, 1),      # a batch passes over a Status of 2
    "http500": (1, 1),        # the library does not look at the HTTP status
    "idle-close": (1, 1),     # the reply is whole; only the next call sees the close
}


def result_of(tree, *args):
    proc = tree.run(*args, "--json")
    report = json_of(proc)
    return (report or {}).get("result"), proc


def test_fault_paths(tree, base_url):
    for kind, (update, batch) in FAULT_RESULTS.items():
        tree.configure(f"{base_url}/{kind}")
        got, proc = result_of(tree, "update", "--id", "H-1001")
        check(f"{kind}: update gives {update}", got == update, describe(proc))
        got, proc = result_of(tree, "batch")
        check(f"{kind}: batch gives {batch}", got == batch, describe(proc))
    # A kept connection closed without notice: the next call opens another.
    tree.configure(f"{base_url}/idle-close")
    proc = tree.run("update", "--id", "H-1001", "--id", "H-1001", "--json")
    check("idle-close: a second call in the same process gives 1 too",
          [line.count('"result":1,') for line in proc.stdout.splitlines()] == [1, 1], describe(proc))
    tree.configure(f"{base_url}/hang")
    started = time.monotonic()
    got, proc = result_of(tree, "update", "--id", "H-1001")
    elapsed = time.monotonic() - started
    check("hang: update gives -9 at its 20 s limit", got == -9 and 19 < elapsed < 30,
          f"{elapsed:.1f} s; " + describe(proc))
    tree.configure(f"{base_url}/nonsense")
    got, proc = result_of(tree, "update", "--id", "H-1001")
    check("an unknown fault path is a 404 with no body: -2", got == -2, describe(proc))


def test_fault_options(tree, work):
    service = Service(tree.service, os.path.join(work, "every.db"), os.path.join(work, "every.log"),
                      ["--fault", "status0", "--fault-every", "2", "--delay", "0.3"])
    try:
        tree.configure(service.url)
        seen = []
        started = time.monotonic()
        for _ in range(4):
            got, _ = result_of(tree, "update", "--id", "H-1001")
            seen.append(got)
        elapsed = time.monotonic() - started
        check("--fault status0 --fault-every 2: every second reply is the fault",
              seen == [1, 219, 1, 219], repr(seen))
        check("--delay 0.3: each reply comes late", elapsed >= 1.2, f"{elapsed:.2f} s")
        tree.configure(service.url + "/drop")
        got, proc = result_of(tree, "update", "--id", "H-1001")
        check("a fault path beside --fault plays its own fault", got == -2, describe(proc))
    finally:
        check("the service with faults stops cleanly", service.stop() == 0)
    with open(os.path.join(work, "every.log"), encoding="utf-8") as log:
        faulted = [line for line in log if line.rstrip().endswith(" fault=status0")]
    check("the log marks the faulted replies", len(faulted) == 2, repr(faulted))
    bad = subprocess.run([tree.service, "--fault", "sometimes"], capture_output=True, text=True,
                         timeout=COMMAND_TIMEOUT)
    check("an unknown --fault is a usage error naming the kinds",
          bad.returncode == 2 and "no-length" in bad.stderr, bad.stderr)


def main(argv):
    def run(tree, url, work):
        test_fault_paths(tree, url)
        test_fault_options(tree, work)

    return run_installed(argv, __doc__, "nalpoi-faults-", run)

if __name__ == "__main__":
    sys.exit(main(sys.argv))
