"""Reads exchanges.txt, the end-to-end cases and call sequences (its header
says the format), for the Python drivers: the differential generator plays
the cases it can serve and every sequence, and takes the cases' documents
as seeds."""

import os
import re

TABLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "exchanges.txt")


def unescape(text):
    """The bytes a TEXT stands for: \\n, \\\\ and \\xHH escaped, the rest UTF-8."""
    def one(match):
        escaped = match.group(1)
        if escaped == b"n":
            return b"\n"
        return bytes([int(escaped[1:], 16)]) if len(escaped) == 3 else escaped
    return re.sub(rb"\\(x[0-9A-Fa-f]{2}|.)", one, text.encode(), flags=re.S)


def read(path=TABLE):
    """The cases in order, each a dict: name, call ("update" or "batch"),
    present (three counts), answer, document (bytes); and the sequences, each
    a dict: name, serve (the answers), calls (the results). The expectations
    are the C++ suites' to check."""
    cases, sequences = [], []
    entry = None
    with open(path, encoding="utf-8") as table:
        for number, line in enumerate(table, 1):
            line = line.rstrip("\n")
            if not line or line.startswith("#"):
                continue
            key, _, rest = line.partition(" ")
            if key == "case":
                entry = {"name": rest, "call": "update", "present": [0, 0, 0],
                         "answer": None, "document": b""}
                cases.append(entry)
            elif key == "sequence":
                entry = {"name": rest, "serve": [], "calls": []}
                sequences.append(entry)
            elif entry is None:
                raise ValueError("%s:%d: %s" % (path, number, line))
            elif key in ("serve", "calls", "seen"):
                entry[key] = rest.split()
            elif key == "wine":                         # "wine calls ..." or "wine seen ..."
                which, _, values = rest.partition(" ")
                entry.setdefault("wine", {})[which] = values.split()
            elif key == "call":
                entry["call"] = rest
            elif key == "present":
                entry["present"] = [int(count) for count in rest.split()]
            elif key == "answer":
                answer, _, document = rest.partition(" ")
                entry["answer"], entry["document"] = answer, unescape(document)
    return cases, sequences
