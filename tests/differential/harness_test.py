#!/usr/bin/env python3
"""The differential harness's own checks: a difference between the hosts
that it exists to see must not pass as agreement, and a known deviation
explains only what it is about. Runs without Wine, as part of the Linux
suite; closes with "N passed, N failed".
"""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import run_differential as harness  # noqa: E402


def request(body=b"UkVR", verb=b"POST", tag=b"linux", headers=(b"Host: h", b"User-Agent: RuzOruz")):
    head = b"\r\n".join([verb + b" /" + tag + b"/poi HTTP/1.1", *headers,
                         b"Content-Length: %d" % len(body)])
    return head + b"\r\n\r\n" + body


LINUX = ["result 1", "content Tel=020 Con=text", "cc " + b"<r>\n</r>\n".hex()]
SAME = [request()]

# label, Windows lines, Windows requests, what must be found ([] for agreement)
CASES = [
    ("the same exchange", LINUX, [request(tag=b"win64")], []),
    ("cc.xml in Windows' text mode", LINUX[:2] + ["cc " + b"<r>\r\n</r>\r\n".hex()],
     [request(tag=b"win64")], []),
    ("another result", ["result -2"] + LINUX[1:], SAME, ["result"]),
    ("another field", ["result 1", "content Tel=021 Con=text", LINUX[2]], SAME, ["content.Tel"]),
    ("another cc.xml", LINUX[:2] + ["cc " + b"<s/>\n".hex()], SAME, ["cc"]),
    ("another request body", LINUX, [request(body=b"UkVT")], ["request body"]),
    ("another verb", LINUX, [request(verb=b"GET")], ["request line"]),
    ("another header", LINUX, [request(headers=(b"Host: h",))], ["request headers"]),
    ("one request more", LINUX, SAME * 2, ["requests"]),
]

results = {"passed": 0, "failed": 0}


def check(label, ok, detail=""):
    results["passed" if ok else "failed"] += 1
    print(("ok    " if ok else "FAIL  ") + label + ("" if ok else "\n      " + detail))


def main():
    case = {"tags": []}
    for label, windows, windows_requests, expected in CASES:
        found = harness.differences(case, LINUX, windows, SAME, windows_requests)
        check(label, [what for what, _, _ in found] == expected, repr(found))

    # Connections are compared by the order of their first use, not by number.
    for label, linux, windows, expected in [("the same connections, other numbers", [4, 4, 9], [7, 7, 2], []),
                                            ("a connection kept by one host only", [1, 1], [1, 2],
                                             ["connections"])]:
        found = harness.differences(case, LINUX, LINUX, SAME, SAME, linux, windows)
        check(label, [what for what, _, _ in found] == expected, repr(found))

    # A known deviation explains the differences it is about, and no others.
    redirect = {"tags": ["redirect:307"]}
    body = harness.differences(redirect, LINUX, LINUX, SAME, [request(body=b"")])
    check("a 307 re-sent without its body is Wine's", harness.explain(redirect, body) is not None,
          repr(body))
    result = harness.differences(redirect, LINUX, ["result -2"] + LINUX[1:], SAME, SAME)
    check("a 307 case with another result is not explained by it",
          harness.explain(redirect, result) is None, repr(result))

    # The TLS deviations: Wine's side as its source says, and nothing else.
    refused = ["result -2", "content Tel=abab Con=null", "cc absent"]
    ip_only = {"tags": ["tls:ip-only"]}
    found = harness.differences(ip_only, LINUX, refused, SAME, [])
    check("an IP-address-only certificate refused by Wine is Wine's",
          harness.explain(ip_only, found) is not None, repr(found))
    found = harness.differences(ip_only, refused, refused, SAME, [])
    check("an IP-address-only certificate refused by Wine, when Linux fails too, is Wine's",
          harness.explain(ip_only, found) is not None, repr(found))
    found = harness.differences(ip_only, LINUX, ["result 1", "content Tel=021 Con=text", LINUX[2]],
                                SAME, SAME)
    check("an IP-address-only certificate taken with other content is not explained",
          harness.explain(ip_only, found) is None, repr(found))
    three_hops = {"tags": ["redirect:http-https-http"]}
    found = harness.differences(three_hops, refused, LINUX, SAME * 2, SAME * 3)
    check("https to http followed by Wine alone is Wine's", harness.explain(three_hops, found) is not None,
          repr(found))
    found = harness.differences(three_hops, LINUX, ["result 1", "content Tel=021 Con=text", LINUX[2]],
                                SAME * 3, SAME * 3)
    check("an http to https to http case that both followed, with other content, is not explained",
          harness.explain(three_hops, found) is None, repr(found))

    # A sequence whose dropped request Wine does not send again: as the table says, and only so.
    dropped = {"tags": [], "wine": {"calls": ["1", "-2"], "seen": ["1", "1"]}}
    for label, calls, explained in [("a request Wine does not send again is Wine's", "1 -2", True),
                                    ("a sequence with other results is not explained", "-2 -2", False)]:
        found = harness.differences(dropped, ["result 1 1"], ["result " + calls], SAME * 3, SAME * 2,
                                    [1, 1, 2], [5, 5])
        check(label, (harness.explain(dropped, found) is not None) == explained, repr(found))

    print("%d passed, %d failed" % (results["passed"], results["failed"]))
    return 0 if results["failed"] == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
