"""The phone's road to the service, for the page's test: an HTTP proxy on
127.0.0.1 through which each browser reaches the service by a name of its own
(not a secure context, as a phone on a PC's network is), and which can hold an
upload back to a trickle or fail a route as a lost line does. WebKitGTK's
driver offers neither from the outside, so both engines take this one road."""

import socket
import socketserver
import threading
import time

CHUNK = 16 << 10


def read_head(conn):
    """The head of a request or an answer, and what came after it."""
    data = b""
    while b"\r\n\r\n" not in data:
        more = conn.recv(CHUNK)
        if not more:
            raise ConnectionError("closed before the head ended")
        data += more
    head, rest = data.split(b"\r\n\r\n", 1)
    return head.decode("latin-1").split("\r\n"), rest


def closing(lines):
    """The same head, asking that the connection close after one exchange:
    the proxy then knows where each exchange ends without reading bodies."""
    kept = [line for line in lines[1:]
            if line.split(":", 1)[0].strip().lower() not in ("connection", "proxy-connection", "keep-alive")]
    return ("\r\n".join([lines[0]] + kept + ["Connection: close"]) + "\r\n\r\n").encode("latin-1")


class Road(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, host, upstream):
        """Requests for http://`host`:any-port/ go to `upstream` (host, port)."""
        super().__init__(("127.0.0.1", 0), Exchange)
        self.host, self.upstream = host, upstream
        self.upload_rate = None  # bytes a second; None: as fast as the line
        self.blocked = ()  # substrings of a path whose requests fail
        self.asked = []  # each request's path and query, in order
        # (path, status line, whether its body was still being sent) of each answer
        self.answers = []
        self.thread = threading.Thread(target=self.serve_forever, daemon=True)
        self.thread.start()

    @property
    def address(self):
        return "http://127.0.0.1:%d" % self.server_address[1]

    def stop(self):
        self.shutdown()
        self.server_close()


class Exchange(socketserver.BaseRequestHandler):
    def handle(self):
        road = self.server
        try:
            lines, rest = read_head(self.request)
        except ConnectionError:
            return
        method, url, version = lines[0].split(" ")
        if not url.startswith("http://%s:" % road.host):
            self.request.sendall(b"HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")
            return
        path = "/" + url.split("/", 3)[3]
        road.asked.append(path)
        if any(b in path for b in road.blocked):
            return  # closed without an answer: the browser sees a network error
        lines[0] = " ".join((method, path, version))
        with socket.create_connection(road.upstream) as up:
            up.sendall(closing(lines))
            sending = threading.Thread(target=self.pump, args=(rest, up), daemon=True)
            sending.start()
            try:
                answer, body = read_head(up)
            except ConnectionError:
                return
            road.answers.append((path, answer[0], sending.is_alive()))
            self.request.sendall(closing(answer) + body)
            try:
                while True:
                    more = up.recv(CHUNK)
                    if not more:
                        break
                    self.request.sendall(more)
            except OSError:
                pass
        # An answer may come before the body is sent (a refusal). Closing with
        # the rest of the body unread would reset the connection, and the
        # browser would lose the answer: close once the browser is done.
        try:
            self.request.shutdown(socket.SHUT_WR)
        except OSError:
            return  # the browser has gone already
        sending.join(60)

    def pump(self, first, up):
        """The request's body, at the road's pace, while the service takes
        it; then the rest is read and dropped, until the browser closes."""
        data, taking = first, True
        try:
            while True:
                if data and taking:
                    try:
                        up.sendall(data)
                    except OSError:
                        taking = False
                    rate = self.server.upload_rate
                    if rate and taking:
                        time.sleep(len(data) / rate)
                data = self.request.recv(CHUNK)
                if not data:
                    return
        except OSError:
            return
