"""The scripted service of the Python test drivers (the Windows programs'
driver and the differential test): listeners on 127.0.0.1, one in clear
text ("plain"), one per TLS certificate and, when asked for, one that
accepts and says nothing ("stall"). The service's script() chooses what to
do with each request, step by step:
  ("send", bytes)   write these bytes exactly
  ("sleep", s)      wait s seconds
  ("close",)        close the connection (as every script ends by default)
  ("reset",)        close it with a TCP reset
  ("keep",)         keep the connection open for the next request
Connections are numbered in the order they are accepted, from 1, across
all listeners.
"""

import base64
import itertools
import socket
import socketserver
import struct
import threading
import time

REQUEST_READ_LIMIT_S = 10
# A stalled handshake ends here: past the library's 20 s limit, and it must
# end, since Wine's WinINet does not unblock a call whose session is closed.
STALL_S = 22
# What a plain web server answers to bytes that are no HTTP request (here a
# TLS hello), at once: waiting for a request would hold the client.
NOT_HTTP = b"HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"


class ScriptedService:
    """The listeners; a driver's subclass gives script() and may note
    connections. origins maps a listener's name to "scheme://127.0.0.1:port"."""

    def __init__(self, certificates=None, tls_names=(), stall=False):
        self.lock = threading.Lock()
        self.numbers = itertools.count(1)
        self.listeners = {"plain": Listener(self, "plain")}
        if stall:
            self.listeners["stall"] = Listener(self, "stall", stall=True)
        self.listeners.update((name, Listener(self, name, certificates.context(name)))
                              for name in tls_names)
        self.origins = {name: "%s://127.0.0.1:%d" % ("http" if listener.context is None else "https",
                                                     listener.port)
                        for name, listener in self.listeners.items()}
        for listener in self.listeners.values():
            threading.Thread(target=listener.serve_forever, daemon=True).start()

    def connected(self, listener):
        """A connection was accepted by the listener of that name."""

    def script(self, listener, raw, connection):
        """The steps that answer the request `raw` (its head and body), which
        came on the connection numbered `connection`."""
        return []

    def shutdown(self):
        for listener in self.listeners.values():
            listener.shutdown()


class Listener(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 64

    def __init__(self, service, name, context=None, stall=False):
        super().__init__(("127.0.0.1", 0), Connection)
        self.service, self.name, self.context, self.stall = service, name, context, stall
        self.port = self.server_address[1]


def read_request(connection, data=b""):
    """The request's bytes (the head and Content-Length bytes of body), and
    what came after them, given what was read before (`data`)."""
    while b"\r\n\r\n" not in data:
        piece = connection.recv(65536)
        if not piece:
            return data, b""
        data += piece
    head, _, body = data.partition(b"\r\n\r\n")
    length = 0
    for line in head.split(b"\r\n")[1:]:
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"content-length":
            length = int(value.strip() or b"0")
    while len(body) < length:
        piece = connection.recv(65536)
        if not piece:
            break
        body += piece
    return head + b"\r\n\r\n" + body[:length], body[length:]


class Connection(socketserver.BaseRequestHandler):
    def handle(self):
        listener = self.server
        service = listener.service
        with service.lock:
            number = next(service.numbers)
        service.connected(listener.name)
        if listener.stall:
            time.sleep(STALL_S)
            return
        connection = self.request
        try:
            connection.settimeout(REQUEST_READ_LIMIT_S)
            if listener.context is not None:
                connection = listener.context.wrap_socket(connection, server_side=True)
            elif connection.recv(1, socket.MSG_PEEK) == b"\x16":
                connection.sendall(NOT_HTTP)
                return
            raw, rest = read_request(connection)
            while raw and play(connection, service.script(listener.name, raw, number)):
                raw, rest = read_request(connection, rest)
        except (OSError, ValueError):                   # ssl.SSLError too
            pass
        finally:
            # A TLS connection ends like a plain one, with a FIN and no
            # close_notify: Wine 8 takes a kept connection whose close_notify
            # waits unread for a live one (dlls/wininet/netconnection.c,
            # NETCON_is_alive peeks one byte of the socket) and loses the next
            # request on it.
            if connection is not self.request:
                try:
                    connection.shutdown(socket.SHUT_WR)
                except OSError:
                    pass
                connection.close()


def play(connection, script):
    """Plays the steps; true when the connection is kept for another request."""
    for step in script:
        if step[0] == "send":
            connection.sendall(step[1])
        elif step[0] == "sleep":
            time.sleep(step[1])
        elif step[0] == "reset":
            # Closed here, so that no graceful shutdown comes first.
            connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            connection.close()
            return False
        elif step[0] == "close":
            return False
        elif step[0] == "keep":
            return True
    return False


# The end-to-end table's sequences (tests/cases/exchanges.txt): each answer's
# steps, as its header describes them; `location` is where a redirect leads.
SEQUENCE_REPLY = b"<Poi><Tel>7</Tel></Poi>"


def sequence_answer(answer, location):
    body = base64.b64encode(SEQUENCE_REPLY)

    def reply(status, headers=b""):
        return ("send", status + b"\r\nContent-Length: %d\r\n" % len(body) + headers + b"\r\n" + body)
    return {
        "keep": [reply(b"HTTP/1.1 200 OK"), ("keep",)],
        "close": [reply(b"HTTP/1.1 200 OK", b"Connection: close\r\n"), ("close",)],
        "http10": [reply(b"HTTP/1.0 200 OK"), ("close",)],
        "http10-keep": [reply(b"HTTP/1.0 200 OK", b"Connection: keep-alive\r\n"), ("keep",)],
        "idle-close": [reply(b"HTTP/1.1 200 OK"), ("close",)],
        "cut": [("send", b"HTTP/1.1 200 OK\r\nContent-Length: 40000\r\n\r\n" + b"A" * 1000),
                ("sleep", 2), ("close",)],
        "oversize": [("send", b"HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n" + b"A" * 100000),
                     ("keep",)],
        "hang": [("sleep", STALL_S), ("close",)],
        "drop": [("close",)],
        "redirect": [("send", b"HTTP/1.1 302 Found\r\nLocation: " + location +
                      b"\r\nContent-Length: 5\r\n\r\nmoved"), ("keep",)],
    }[answer]
