"""The scripted service of the Python test drivers (the Windows programs'
driver and the differential test): listeners on 127.0.0.1, one in clear
text ("plain"), one per TLS certificate and, when asked for, one that
accepts and says nothing ("stall"). Each connection carries one request; the
service's script() chooses what to do with it, step by step:
  ("send", bytes)   write these bytes exactly
  ("sleep", s)      wait s seconds
  ("close",)        close the connection (as every script ends)
  ("reset",)        close it with a TCP reset
"""

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

    def script(self, listener, raw):
        """The steps that answer the request `raw` (its head and body)."""
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


def read_request(connection):
    """The request's bytes: the head and Content-Length bytes of body."""
    data = b""
    while b"\r\n\r\n" not in data:
        piece = connection.recv(65536)
        if not piece:
            return data
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
    return head + b"\r\n\r\n" + body


class Connection(socketserver.BaseRequestHandler):
    def handle(self):
        listener = self.server
        listener.service.connected(listener.name)
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
            raw = read_request(connection)
            if raw:
                play(connection, listener.service.script(listener.name, raw))
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
    for step in script:
        if step[0] == "send":
            connection.sendall(step[1])
        elif step[0] == "sleep":
            time.sleep(step[1])
        elif step[0] == "reset":
            # Closed here, so that no graceful shutdown comes first.
            connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            connection.close()
            return
        elif step[0] == "close":
            return
