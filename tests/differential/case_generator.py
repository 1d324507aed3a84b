"""Seeded generator of hostile exchanges for the differential test.

A case is one exported call and the service's behaviour for it:
  id        a number, also the last part of the URL the host is pointed at
  op        "U" (SendUpdateRequest), "B" (RevBatch), or "S": a sequence of
            SendUpdateRequest calls in a row, the service answering request
            by request as `sequence` says (the table's answers)
  query     the request record's texts (bytes)
  present   RevBatch only: entries already in the three lists
  origin    where the host is pointed: a name of ORIGINS ("http" but for TLS cases)
  script    what the service does once it has read the request: a list of
            ("send", bytes), ("sleep", seconds), ("close",) or ("reset",)
  hops      for a redirect, each request after the first: (origin, script);
            a script's "Location: NEXT" leads to the next hop
  tags      words naming what the case exercises, for the report

The first cases are those of the end-to-end table (tests/cases/exchanges.txt)
that a service can play, then its sequences; its documents are also seeds
that later cases
deliver in hostile ways. The same seed gives the same cases, so a
disagreement can be replayed.
"""

import base64
import os
import random
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "cases"))
import exchange_cases  # noqa: E402

# The library's limits, as a service sees them.
REPLY_STORE = 30720          # Content-Length must stay below this
READ_CHUNK = 4096            # bytes asked of each read

UPDATE_FIELDS = ("Tel", "Addr", "Time", "Con")
HOTEL_FIELDS = ("ID", "Tel", "Con", "Addr", "HN")
PRI_FIELDS = ("Name", "Mark", "Agr", "Bref")
STATUS_LINES = (b"HTTP/1.1 200 OK", b"HTTP/1.1 204 No Content", b"HTTP/1.1 404 Not Found",
                b"HTTP/1.1 500 Internal Server Error", b"HTTP/1.1 999 Odd",
                b"HTTP/1.0 200 OK", b"HTTP/1.1 200 Fine Thanks", b"HTTP/1.1 301 Moved")


# Where a case can point the host: name -> (scheme, listener). The listeners
# are the scripted service's ports: "plain" speaks HTTP in clear text, "stall"
# accepts and sends nothing, the others speak TLS with the certificate of that
# name (tests/support/test_certificates.py).
ORIGINS = {
    "http": ("http", "plain"),
    "https": ("https", "good"),
    "https-ip-only": ("https", "ip-only"),
    "https-untrusted": ("https", "untrusted"),
    "https-wrong-name": ("https", "wrong-name"),
    "https-expired": ("https", "expired"),
    "https-not-yet-valid": ("https", "not-yet-valid"),
    "https-to-plain": ("https", "plain"),
    "http-to-tls": ("http", "good"),
    "https-stall": ("https", "stall"),
}
TLS_SHARE = 0.06
# TLS cases: (tag, origin, origins of the redirect hops after the first).
# A redirect to https goes to a trusted server or to one that fails a check.
TLS_CASES = (
    ("tls:good", "https", ()),
    ("tls:good", "https", ()),
    ("tls:ip-only", "https-ip-only", ()),
    ("tls:untrusted", "https-untrusted", ()),
    ("tls:wrong-name", "https-wrong-name", ()),
    ("tls:expired", "https-expired", ()),
    ("tls:not-yet-valid", "https-not-yet-valid", ()),
    ("tls:plain-behind-https", "https-to-plain", ()),
    ("tls:tls-behind-http", "http-to-tls", ()),
    ("redirect:http-https", "http", ("https",)),
    ("redirect:http-https", "http", ("https",)),
    ("redirect:http-https-untrusted", "http", ("https-untrusted",)),
    ("redirect:http-https-expired", "http", ("https-expired",)),
    ("redirect:https-http", "https", ("http",)),
    ("redirect:https-https", "https", ("https",)),
    ("redirect:http-https-http", "http", ("https", "http")),
    ("tls:stall", "https-stall", ()),
)
# Each stall holds every host for SendUpdateRequest's 20 s limit or more
# (RevBatch's 60 s would cost more, and the stall ends before it).
MAX_STALLS = 1


# The share of generated cases whose document is one of the table's.
SEED_SHARE = 0.1
# The request records of the table's cases, as the suites fill them.
TABLE_QUERIES = {
    "U": {"Type": b"1", "Time": b"2026-12-01 00:00:00", "ID": b"P-1", "Name": b"Hotel"},
    "B": {"Type": b"2", "Time": b"2026-01-01 00:00:00"},
}


def table_case(number, entry):
    """The table's case as this service plays it, or None when its answer is
    no service at all (refused, no serviceIP.xml)."""
    document, answer = entry["document"], entry["answer"]
    encoded = base64.b64encode(document)
    heads = {"reply": b"Content-Length: %d\r\n" % len(encoded),
             "no-length": b"Connection: close\r\n",
             "body": b"Content-Length: %d\r\n" % len(document)}
    if answer == "hangup":
        script = [("close",)]
    elif answer in heads:
        body = document if answer == "body" else encoded
        script = [("send", b"HTTP/1.1 200 OK\r\n" + heads[answer] + b"\r\n" + body), ("close",)]
    else:
        return None
    op = "B" if entry["call"] == "batch" else "U"
    return {"id": number, "op": op, "query": TABLE_QUERIES[op], "present": entry["present"],
            "origin": "http", "script": script, "hops": [], "tags": ["table:" + entry["name"]],
            "document": document}


class Generator:
    def __init__(self, seed, seeds):
        self.random = random.Random(seed)
        self.stalls = 0
        self.seeds = seeds          # op -> the table's documents for that call

    # --- texts and documents -------------------------------------------------

    def text(self):
        """A field's text: empty, short, at a field's width or beyond it, with
        entities and non-ASCII bytes now and then."""
        r = self.random
        length = r.choice((0, 1, 2, 3, 19, 20, 21, 49, 50, 63, 64, 99, 100, 150, r.randint(4, 40)))
        alphabet = "abcdefghijklmnopqrstuvwxyz0123456789 -.,"
        text = "".join(r.choice(alphabet) for _ in range(length))
        if length and r.random() < 0.2:
            position = r.randint(0, len(text))
            text = text[:position] + r.choice(("&amp;", "&lt;", "&#65;", "&#x42;", "\u00e9",
                                               "\u4e2d", "&#0;", "\r\n", "\t")) + text[position:]
        return text

    def element(self, name, text=None):
        text = self.text() if text is None else text
        r = self.random
        if r.random() < 0.05:
            return "<%s/>" % name
        if r.random() < 0.05:
            return "<%s><![CDATA[%s]]></%s>" % (name, text.replace("]]>", ""), name)
        return "<%s>%s</%s>" % (name, text, name)

    def pri(self):
        r = self.random
        items = []
        for _ in range(r.choice((0, 1, 2, 3, 4))):
            name = r.choice(("P", "Item", "x"))
            fields = [self.element(field) for field in PRI_FIELDS if r.random() < 0.7]
            r.shuffle(fields)
            items.append("<%s>%s</%s>" % (name, "".join(fields), name))
        return "<Pri>%s</Pri>" % "".join(items)

    def status(self):
        return self.element("Status", self.random.choice(("1", "1", "1", "0", "2", "3", "", "01")))

    def update_document(self):
        r = self.random
        parts = [self.element(name) for name in UPDATE_FIELDS if r.random() < 0.8]
        if r.random() < 0.6:
            parts.append(self.pri())
        if r.random() < 0.9:
            parts.append(self.status())
        if r.random() < 0.1:
            parts.append(self.element("Con"))       # a second Con replaces the first
        r.shuffle(parts)
        return self.wrap("Poi", parts)

    def hotel(self, delete):
        r = self.random
        names = ("ID", "HN", "Tel") if delete else HOTEL_FIELDS
        parts = [self.element(name) for name in names if r.random() < 0.8]
        if not delete and r.random() < 0.5:
            parts.append(self.pri())
        r.shuffle(parts)
        return "<H>%s</H>" % "".join(parts)

    def batch_document(self):
        r = self.random
        parts = []
        for section, attribute, delete in (("NumA", "Add", False), ("NumD", "Del", True),
                                           ("NumU", "Upd", False)):
            if r.random() < 0.2:
                continue
            count = r.choice((0, 1, 2, 3))
            declared = r.choice((count, count, count, count + 1, "x", ""))
            items = "".join(self.hotel(delete) for _ in range(count))
            parts.append('<%s %s="%s">%s</%s>' % (section, attribute, declared, items, section))
        if r.random() < 0.85:
            parts.append(self.element("Time", r.choice(("2026-12-08 11:00:00", self.text()))))
        if r.random() < 0.9:
            parts.append(self.status())
        r.shuffle(parts)
        return self.wrap("Bat", parts)

    def wrap(self, root, parts):
        r = self.random
        body = "<%s>%s</%s>" % (root, "".join(parts), root)
        prolog = r.choice(('<?xml version="1.0"?>', '<?xml version="1.0" encoding="UTF-8"?>\n',
                           "", "\ufeff", "<!-- c -->"))
        document = prolog + body
        roll = r.random()
        if roll < 0.08:                                    # broken: cut short
            document = document[:r.randint(0, len(document))]
        elif roll < 0.12:                                  # no element at all
            document = r.choice(("", "x", "ab", "just text", "<!-- only a comment -->"))
        elif roll < 0.15:                                  # a stray end tag
            document = document.replace("</", "</x", 1)
        return document.encode("utf-8")

    # --- encodings of the document -------------------------------------------

    def encode(self, document):
        """The body: base64 of the document, sometimes with line breaks,
        garbage, misplaced pads or zero bytes."""
        r = self.random
        encoded = base64.b64encode(document)
        roll = r.random()
        tags = []
        if roll < 0.15:
            width = r.choice((60, 76, 4, 1))
            breaker = r.choice((b"\r\n", b"\n", b"\r"))
            encoded = breaker.join(encoded[i:i + width] for i in range(0, len(encoded), width))
            tags.append("line-breaks")
        elif roll < 0.25:
            for _ in range(r.randint(1, 3)):
                position = r.randint(0, len(encoded))
                encoded = encoded[:position] + r.choice((b"*", b" ", b"\t", b"-", b"_", b"~", b"\xff")) + encoded[position:]
            tags.append("garbage")
        elif roll < 0.33:
            position = r.randint(0, len(encoded))
            encoded = encoded[:position] + r.choice((b"=", b"==", b"===")) + encoded[position:]
            tags.append("pads")
        elif roll < 0.38:
            position = r.randint(0, min(len(encoded), READ_CHUNK - 1))
            encoded = encoded[:position] + b"\x00" + encoded[position:]
            tags.append("zero-byte")
        elif roll < 0.43:
            encoded = encoded[:r.randint(0, len(encoded))]
            tags.append("cut")
        return encoded, tags

    # --- transport -----------------------------------------------------------

    def response(self, body):
        """The script that delivers `body`, and its tags."""
        r = self.random
        tags = []
        status = STATUS_LINES[0]
        if r.random() < 0.12:
            status = r.choice(STATUS_LINES[1:])
            tags.append("status:" + status.split(b" ", 2)[1].decode())
        headers = []
        length = str(len(body)).encode()
        roll = r.random()
        chunked = False
        if roll < 0.06:
            tags.append("length:absent")
        elif roll < 0.09:
            headers.append(b"Content-Length: 0")
            tags.append("length:0")
        elif roll < 0.11:
            headers.append(b"Content-Length: 1")
            tags.append("length:1")
        elif roll < 0.13:
            headers.append(b"Content-Length: " + r.choice((b"4294967296", b"99999999999", b"4294967297")))
            tags.append("length:huge")
        elif roll < 0.15:
            headers.append(b"Content-Length: " + r.choice((b"abc", b"-5", b"0x10", b"")))
            tags.append("length:not-a-number")
        elif roll < 0.17:
            headers.append(b"Content-Length:   " + length + b"  ")
            tags.append("length:spaces")
        elif roll < 0.19:
            other = str(max(len(body) - 3, 0)).encode()
            headers += [b"Content-Length: " + length, b"Content-Length: " + other]
            tags.append("length:twice")
        elif roll < 0.23:
            chunked = True
            headers.append(b"Transfer-Encoding: chunked")
            if r.random() < 0.5:
                headers.append(b"Content-Length: " + length)
                tags.append("chunked+length")
            else:
                tags.append("chunked")
        else:
            headers.append(b"Content-Length: " + length)
        roll = r.random()
        payload = body
        if roll < 0.07:
            payload = body[:r.randint(0, max(len(body) - 1, 0))]
            tags.append("body:short")
        elif roll < 0.12:
            payload = body + r.choice((b"QUJD", b"garbage after", b"\r\n\r\nHTTP/1.1 200 OK\r\n\r\n"))
            tags.append("body:long")
        # Bytes past the body's end would stay in a connection that WinINet
        # keeps for the next call; this service closes every connection, so
        # it says so where that could happen: each case stands alone.
        leftover = status.split(b" ", 2)[1] in (b"204", b"304") or any(
            tag in tags for tag in ("length:0", "length:1", "length:twice", "length:not-a-number",
                                    "body:long"))
        if leftover or r.random() < 0.15:
            headers.append(b"Connection: close")
            tags.append("connection:close")
        if r.random() < 0.1:
            # One header line: a line without a colon is no header, and
            # libcurl refuses such a response where WinINet skips the line.
            extra = self.text().replace("\r", " ").replace("\n", " ")
            headers.append(b"X-Extra: " + extra.encode("utf-8"))

        if chunked:
            payload = self.chunk(payload)
        head = status + b"\r\n" + b"".join(h + b"\r\n" for h in headers) + b"\r\n"

        data = head + payload
        script = []
        if r.random() < 0.03:
            # A reset part way: what was sent has arrived long before the reset.
            cut = r.randint(0, max(len(data) - 1, 0))
            if cut:
                script += [("send", data[:cut]), ("sleep", 0.05)]
            script.append(("reset",))
            return script, tags + ["reset"]
        if r.random() < 0.15:
            tags.append("pieces")
            cuts = sorted(r.sample(range(1, max(len(data), 2)), min(r.randint(1, 3), max(len(data) - 1, 1))))
            previous = 0
            for cut in cuts + [len(data)]:
                if cut > previous:
                    if script:
                        script.append(("sleep", r.choice((0.01, 0.02, 0.03))))
                    script.append(("send", data[previous:cut]))
                previous = cut
        else:
            script.append(("send", data))
        # The service closes as soon as it has answered: a client that keeps
        # connections for reuse (WinINet does) must see the close before its
        # next request, or it would send that request on this connection.
        script.append(("close",))
        return script, tags

    def chunk(self, data):
        r = self.random
        out = b""
        position = 0
        while position < len(data):
            size = r.randint(1, max(1, len(data) - position))
            out += b"%x\r\n" % size + data[position:position + size] + b"\r\n"
            position += size
        return out + b"0\r\n\r\n"

    # --- cases ---------------------------------------------------------------

    def case(self, number):
        r = self.random
        op = r.choice(("U", "B"))
        if self.seeds[op] and r.random() < SEED_SHARE:
            document = r.choice(self.seeds[op])
        else:
            document = self.update_document() if op == "U" else self.batch_document()
        if r.random() < 0.03:                               # a large reply
            filler = self.element("Con", "z" * r.choice((5000, 12000, 22000)))
            document = document.replace(b"</Poi>", filler.encode() + b"</Poi>").replace(
                b"</Bat>", filler.encode() + b"</Bat>")
        body, tags = self.encode(document)
        if len(body) >= REPLY_STORE:
            tags.append("oversize")
        script, transport = self.response(body)
        tags += transport
        origin, hops = "http", []
        if r.random() < TLS_SHARE:
            tag, origin, after = r.choice(TLS_CASES)
            while tag == "tls:stall" and (self.stalls == MAX_STALLS or op != "U"):
                tag, origin, after = r.choice(TLS_CASES)
            self.stalls += tag == "tls:stall"
            if after:
                # Every hop but the last answers with a redirect.
                kind = self.redirect_status()
                script = self.redirect(kind)
                hops = [(hop, self.redirect(kind)) for hop in after[:-1]]
                following, tags = self.response(body)
                hops.append((after[-1], following))
                tags = ["redirect:" + kind.decode()] + tags
            tags = [tag] + tags
        elif r.random() < 0.04:
            kind = self.redirect_status()
            script = self.redirect(kind)
            following, then = self.response(body)
            hops = [("http", following)]
            tags = ["redirect:" + kind.decode()] + then
        query = {"Type": self.text()[:5].encode(), "Time": self.text().encode(),
                 "ID": self.text().encode(), "Name": self.text().encode()}
        present = [r.choice((0, 0, 1, 2)) for _ in range(3)]
        return {"id": number, "op": op, "query": query, "present": present, "origin": origin,
                "script": script, "hops": hops, "tags": tags, "document": document}

    def redirect_status(self):
        return self.random.choice((b"301", b"302", b"303", b"307"))

    @staticmethod
    def redirect(kind):
        return [("send", b"HTTP/1.1 " + kind + b" Moved\r\nLocation: NEXT\r\n"
                         b"Content-Length: 0\r\nConnection: close\r\n\r\n"), ("close",)]


# What the service answers on case 0: the host runner makes this exchange
# before every RevBatch case, so that the counts and time a batch reply
# leaves in the library (they outlive a call) are the same for every host.
RESET_BATCH = b'<Bat><NumA Add="5"/><NumD Del="6"/><NumU Upd="7"/><Time>2000-01-01 00:00:00</Time><Status>1</Status></Bat>'


def reset_script():
    body = base64.b64encode(RESET_BATCH)
    return [("send", b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n" % len(body) + body), ("close",)]


def sequence_case(number, entry):
    """One of the table's sequences: as many calls as it has results."""
    return {"id": number, "op": "S", "query": TABLE_QUERIES["U"], "present": [0, 0, 0],
            "origin": "http", "sequence": entry["serve"], "calls": len(entry["calls"]),
            "wine": entry.get("wine"),
            "script": [], "hops": [], "tags": ["sequence:" + entry["name"]], "document": b""}


def generate(seed, count):
    table, sequences = exchange_cases.read()
    cases = []
    for entry in table:
        case = table_case(len(cases) + 1, entry)
        if case is not None and len(cases) < count:
            cases.append(case)
    for entry in sequences:
        if len(cases) < count:
            cases.append(sequence_case(len(cases) + 1, entry))
    seeds = {"U": [], "B": []}
    for entry in table:
        if entry["answer"] in ("reply", "no-length"):
            seeds["B" if entry["call"] == "batch" else "U"].append(entry["document"])
    generator = Generator(seed, seeds)
    return cases + [generator.case(number) for number in range(len(cases) + 1, count + 1)]


def runner_line(case, origins):
    """The host runner's line for a case; `origins` maps an origin's name to
    its "scheme://host:port"."""
    def hexed(text):
        return text.hex() if text else "-"
    q = case["query"]
    if case["op"] == "S":
        return "%d S %d %s" % (case["id"], case["calls"], origins[case["origin"]])
    if case["op"] == "U":
        line = "%d U %s %s %s %s" % (case["id"], hexed(q["Type"]), hexed(q["Time"]),
                                     hexed(q["ID"]), hexed(q["Name"]))
    else:
        line = "%d B %s %s %d %d %d" % ((case["id"], hexed(q["Type"]), hexed(q["Time"]))
                                        + tuple(case["present"]))
    return line + " " + origins[case["origin"]]
