"""A stand-in for the service's phone side, in memory: it serves the page's
files and answers the phone routes the page uses, as the service answers them.
The browser test drives the page against it and looks into its state."""

import http.server
import json
import pathlib
import re
import secrets
import threading
import time
import urllib.parse

CLIENT_ID = re.compile(r"^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-fR][0-9a-f]{3}-[0-9a-f]{4}-[0-9a-f]{12}$")
WORD = re.compile(r"^[A-Za-z0-9.\-_:+]{1,64}$")
MAX_TUNE = 40 * 1024 * 1024
FILES = {
    "/": ("index.html", "text/html; charset=utf-8"),
    "/index.html": ("index.html", "text/html; charset=utf-8"),
    "/style.css": ("style.css", "text/css; charset=utf-8"),
    "/app.js": ("app.js", "text/javascript; charset=utf-8"),
    "/icon.svg": ("icon.svg", "image/svg+xml"),
    "/vendor/jsQR.js": ("vendor/jsQR.js", "text/javascript; charset=utf-8"),
}
# What the service sends with the page: nothing runs or loads from elsewhere.
PAGE_HEADERS = {
    "Content-Security-Policy": "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' blob: data:; "
    "media-src 'self' blob:; connect-src 'self'; form-action 'self'; base-uri 'none'; frame-ancestors 'none'",
    "X-Content-Type-Options": "nosniff",
    "Referrer-Policy": "no-referrer",
    "Cache-Control": "no-cache",
}


class StandIn:
    def __init__(self, web_root):
        self.web_root = pathlib.Path(web_root)
        self.lock = threading.Lock()
        self.pairings = {}  # (pcid, device_id) -> token
        self.tunes = []  # dicts, oldest first
        self.next_id = 1000
        # Cleared, an upload stalls after its first MiB until it is set again.
        self.flowing = threading.Event()
        self.flowing.set()
        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), self._handler())
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)

    @property
    def url(self):
        return "http://127.0.0.1:%d/" % self.server.server_address[1]

    def start(self):
        self.thread.start()

    def stop(self):
        self.flowing.set()
        self.server.shutdown()
        self.server.server_close()

    def fetch(self, tune_id):
        """What the PC's download does to a ringtone."""
        with self.lock:
            for t in self.tunes:
                if t["id"] == tune_id:
                    t["fetched"] = True

    def _paired(self, pcid, device_id, token):
        return bool(token) and secrets.compare_digest(self.pairings.get((pcid, device_id), ""), token)

    def _handler(standin):
        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def answer(self, status, body, headers=None, kind="application/json"):
                data = body if isinstance(body, bytes) else json.dumps(body).encode()
                self.send_response(status)
                self.send_header("Content-Type", kind)
                self.send_header("Content-Length", str(len(data)))
                for k, v in (headers or {}).items():
                    self.send_header(k, v)
                self.end_headers()
                self.wfile.write(data)

            def refuse(self, status, why):
                self.answer(status, {"status": 1, "error": why})

            def body(self, limit, stall=False):
                length = int(self.headers.get("Content-Length") or 0)
                if length > limit:
                    return None
                data = bytearray()
                while len(data) < length:
                    if stall and len(data) >= 1 << 20:
                        standin.flowing.wait(30)
                    chunk = self.rfile.read(min(64 * 1024, length - len(data)))
                    if not chunk:
                        break
                    data += chunk
                return bytes(data)

            def do_GET(self):
                path = urllib.parse.urlsplit(self.path).path
                if path not in FILES:
                    return self.refuse(404, "no such address")
                name, kind = FILES[path]
                self.answer(200, (standin.web_root / name).read_bytes(), PAGE_HEADERS, kind)

            def do_POST(self):
                url = urllib.parse.urlsplit(self.path)
                if url.path == "/phone/v1/tune":
                    return self.tune(urllib.parse.parse_qs(url.query))
                routes = {"/phone/v1/pair": self.pair, "/phone/v1/unpair": self.unpair,
                          "/phone/v1/sent": self.sent, "/phone/v1/withdraw": self.withdraw}
                if url.path not in routes:
                    return self.refuse(404, "no such address")
                try:
                    request = json.loads(self.body(64 * 1024) or b"")
                except ValueError:
                    return self.refuse(400, "the body must be a JSON object")
                if not isinstance(request, dict):
                    return self.refuse(400, "the body must be a JSON object")
                routes[url.path](request)

            def credentials(self, r):
                pcid, device, token = r.get("pcid"), r.get("device_id"), r.get("device_token")
                if not isinstance(pcid, str) or not CLIENT_ID.match(pcid) or not isinstance(device, str) \
                        or not WORD.match(device):
                    self.refuse(400, "the client id or device id is malformed")
                    return None
                if not standin._paired(pcid, device, token):
                    self.refuse(403, "this device is not paired with that PC, or its token is wrong")
                    return None
                return pcid, device

            def pair(self, r):
                pcid, device, name = r.get("pcid"), r.get("device_id"), r.get("device_name")
                if not isinstance(pcid, str) or not CLIENT_ID.match(pcid) or not isinstance(device, str) \
                        or not WORD.match(device) or not isinstance(name, str) or not 0 < len(name) <= 64:
                    return self.refuse(400, "the client id, device id or device name is malformed")
                token = secrets.token_hex(32)
                with standin.lock:
                    standin.pairings[(pcid, device)] = token
                self.answer(200, {"status": 0, "device_token": token})

            def unpair(self, r):
                who = self.credentials(r)
                if who:
                    with standin.lock:
                        del standin.pairings[who]
                    self.answer(200, {"status": 0})

            def sent(self, r):
                who = self.credentials(r)
                if not who:
                    return
                with standin.lock:
                    mine = [t for t in reversed(standin.tunes) if (t["pcid"], t["device_id"]) == who]
                    rows = [{"id": t["id"], "name": t["name"], "size": len(t["body"]), "sent": t["sent"],
                             "state": "fetched" if t["fetched"] else "waiting"} for t in mine[:100]]
                self.answer(200, {"status": 0, "ringtones": rows})

            def withdraw(self, r):
                who = self.credentials(r)
                if not who:
                    return
                with standin.lock:
                    for t in standin.tunes:
                        if t["id"] == r.get("id") and (t["pcid"], t["device_id"]) == who and not t["fetched"]:
                            standin.tunes.remove(t)
                            return self.answer(200, {"status": 0})
                self.refuse(404, "no such ringtone is waiting")

            def tune(self, query):
                one = {k: v[0] for k, v in query.items()}
                auth = self.headers.get("Authorization", "")
                token = auth[7:] if auth.startswith("Bearer ") else ""
                who = (one.get("pcid", ""), one.get("device_id", ""))
                # The token is checked before the body is read; the body is
                # still drained so that the browser sees the answer.
                if not standin._paired(*who, token):
                    self.body(MAX_TUNE)
                    return self.refuse(403, "this device is not paired with that PC, or its token is wrong")
                start = one.get("start", "0")
                if not start.isdigit() or not 0 < len(one.get("name", "")) <= 80:
                    self.body(MAX_TUNE)
                    return self.refuse(400, "the name or start is malformed")
                data = self.body(MAX_TUNE, stall=True)
                if data is None:
                    self.close_connection = True
                    return self.refuse(413, "the file is larger than 40 MiB")
                with standin.lock:
                    standin.next_id += 1
                    standin.tunes.append({"id": standin.next_id, "pcid": who[0], "device_id": who[1],
                                          "name": one["name"], "start": int(start), "body": data,
                                          "sent": int(time.time()), "fetched": False})
                    self.answer(201, {"status": 0, "id": standin.next_id})

        return Handler
