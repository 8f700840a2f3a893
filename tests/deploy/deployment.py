"""The service deployed as deploy/ describes it, on this machine's loopback: a
throw-away PostgreSQL cluster, belfry-service instances on it with
--trust-proxy and --public-url, and nginx in front with deploy/nginx-belfry.conf
and a certificate from a CA made here. Shared by tests/deploy/test_deploy.py
and bench/proxy_deliveries.py.

Everything started is stopped by stop(), processes the caller adds to
`processes` too, and a SIGTERM (a timeout) gets there as well."""

import base64
import hashlib
import json
import os
import pathlib
import re
import signal
import socket
import ssl
import struct
import subprocess
import sys
import tempfile

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "support"))
from roadtools import REPO, run, until  # noqa: E402,F401  (the tests take them from here)

UNIT = REPO / "deploy" / "belfry-service@.service"
BIN = pathlib.Path(os.environ.get("BELFRY_BIN") or REPO / "build" / "bin")
SITE = REPO / "deploy" / "nginx-belfry.conf"
VERSION = re.search(r'Version\[\] = "(.*)"', (REPO / "settings" / "defaults.h").read_text()).group(1)




def syscalls(group):
    """The system calls of a systemd group such as @system-service, its groups expanded."""
    names = set()
    for line in subprocess.run(["systemd-analyze", "syscall-filter", group], check=True, stdout=subprocess.PIPE,
                               text=True).stdout.splitlines()[1:]:
        word = line.strip()
        if word.startswith("@"):
            names |= syscalls(word)
        elif word and not word.startswith("#"):
            names.add(word)
    return names


def unit_filter():
    """The unit's SystemCallFilter= lines as one seccomp filter (python3-seccomp), to load in
    an instance before it runs: the service and the converter's children (ffmpeg) live under
    it as they would under systemd. None without python3-seccomp."""
    try:
        import seccomp
    except ImportError:
        return None
    allowed, denied = set(), set()
    for line in UNIT.read_text().splitlines():
        if line.startswith("SystemCallFilter="):
            words = line.split("=", 1)[1].split()
            target = denied if words[0].startswith("~") else allowed
            for w in [words[0].lstrip("~")] + words[1:]:
                target |= syscalls(w) if w.startswith("@") else {w}
    f = seccomp.SyscallFilter(seccomp.ERRNO(1))  # SystemCallErrorNumber=EPERM
    for name in sorted(allowed - denied):
        try:
            f.add_rule(seccomp.ALLOW, name)
        except (RuntimeError, ValueError, OSError):
            pass  # not a call of this architecture
    return f


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def make_pcid():
    """A client id as the program makes them."""
    raw = os.urandom(16).hex()
    return "%s-%s-R%s-%s-%s" % (raw[:8], raw[8:12], raw[13:16], raw[16:20], raw[20:])


class Deployment:
    """`instances` services behind nginx, each with `options` added; `site`
    rewrites the shipped site's text (a variant to measure)."""

    def __init__(self, instances=2, site=lambda text: text, options=()):
        # A timeout's SIGTERM: a test framework would take an exception for a
        # failed row and go on, so everything is stopped here and now.
        signal.signal(signal.SIGTERM, lambda *_: (self.cleanup(), os._exit(143)))
        self.tmp = tempfile.TemporaryDirectory(prefix="belfry-deploy.")
        self.work = pathlib.Path(self.tmp.name)
        self.work.chmod(0o755)  # the cluster's owner (postgres, under root) must reach its folder
        self.processes = []
        self.pg_dir = None
        self.instances = []
        self.logged = {}
        self.options = list(options)
        try:
            self._start(instances, site)
        except BaseException:
            self.stop()
            raise

    def _start(self, instances, site):
        pg_dir = self.work / "pg"
        pg_dir.mkdir()
        self.pg_dir = pg_dir
        self.pg = run("bash", str(REPO / "scripts" / "pg-cluster.sh"), "start", str(pg_dir)).decode().strip()
        self.make_certificates()
        # One admin token for every instance, as the unit gives it.
        self.admin_token = self.work / "admin-token"
        self.admin_token.write_text(os.urandom(32).hex() + "\n")
        self.admin_token.chmod(0o600)
        self.options += ["--admin-token-file", str(self.admin_token)]
        self.port = free_port()
        self.url = "https://127.0.0.1:%d" % self.port
        for i in range(instances):
            self.start_instance("instance-%d" % (i + 1))
        self.start_nginx(site)

    def make_certificates(self):
        """A CA of the test's own, and the site's certificate for 127.0.0.1 signed by it."""
        w = self.work
        self.ca = w / "ca.pem"
        ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
        run("openssl", "req", "-x509", *ec, "-days", "2", "-subj", "/CN=Belfry deployment test CA",
            "-addext", "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign",
            "-keyout", str(w / "ca.key"), "-out", str(self.ca))
        run("openssl", "req", *ec, "-subj", "/CN=127.0.0.1", "-keyout", str(w / "site.key"), "-out", str(w / "site.csr"))
        (w / "site.ext").write_text("basicConstraints=critical,CA:FALSE\nsubjectAltName=IP:127.0.0.1\n"
                                    "extendedKeyUsage=serverAuth\nkeyUsage=critical,digitalSignature\n")
        run("openssl", "x509", "-req", "-in", str(w / "site.csr"), "-CA", str(self.ca), "-CAkey", str(w / "ca.key"),
            "-CAcreateserial", "-days", "2", "-extfile", str(w / "site.ext"), "-out", str(w / "site.pem"))
        # Chromium trusts the site by its public key's SHA-256.
        der = run("openssl", "x509", "-in", str(w / "site.pem"), "-pubkey", "-noout")
        der = run("openssl", "pkey", "-pubin", "-outform", "der", input=der)
        self.spki = base64.b64encode(hashlib.sha256(der).digest()).decode()

    def start_instance(self, name, pg=None):
        """An instance behind nginx, or with `pg` one on that database that nginx does not know."""
        log = self.work / (name + ".log")
        syscall_filter = unit_filter()
        # Every request logged: the rows count them.
        with open(log, "wb") as out:
            p = subprocess.Popen([str(BIN / "belfry-service"), "serve", "--listen", "127.0.0.1:0",
                                  "--data", str(self.work / name), "--pg", pg or self.pg, "--trust-proxy", "127.0.0.1",
                                  "--public-url", self.url, "--access-log", "all"] + self.options,
                                 stdout=out, stderr=subprocess.STDOUT,
                                 preexec_fn=syscall_filter.load if syscall_filter else None)
        self.processes.append(p)
        found = until(20, lambda: re.search(r"listening on http://127\.0\.0\.1:(\d+)", log.read_text()),
                      "%s did not start: %s" % (name, log))
        instance = {"name": name, "process": p, "log": log, "port": int(found.group(1))}
        if pg is None:
            self.instances.append(instance)
        return instance

    def start_nginx(self, site):
        """The shipped site on the test's port, certificate and instances; nothing else changed."""
        w = self.work / "nginx"
        w.mkdir()
        text = SITE.read_text()
        servers = "".join("    server 127.0.0.1:%d;\n" % i["port"] for i in self.instances)
        text, n = re.subn(r"(    server 127\.0\.0\.1:\d+;\n)+", servers, text)
        assert n == 1, "the site's upstream block changed: the test no longer finds its servers"
        text = re.sub(r"\n\s*listen \[::\]:443[^\n]*", "", text)
        # The port-80 server (renewals, the redirect) is not the test's.
        text, n = re.subn(r"\nserver \{\n    listen 80;.*?\n\}\n", "\n", text, flags=re.S)
        assert n == 1, "the site's port-80 server changed: the test no longer finds it"
        text = text.replace("listen 443", "listen 127.0.0.1:%d" % self.port)
        text = re.sub(r"ssl_certificate [^;]+;", "ssl_certificate %s;" % (self.work / "site.pem"), text)
        text = re.sub(r"ssl_certificate_key [^;]+;", "ssl_certificate_key %s;" % (self.work / "site.key"), text)
        (w / "site.conf").write_text(site(text))
        temps = "".join("%s_temp_path %s;\n" % (t, w / t) for t in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"))
        (w / "nginx.conf").write_text(
            "daemon off;\nworker_processes 1;\npid %s;\nerror_log %s info;\nevents { worker_connections 1024; }\n"
            "http {\naccess_log %s;\n%sinclude %s;\n}\n"
            % (w / "nginx.pid", w / "error.log", w / "access.log", temps, w / "site.conf"))
        self.nginx_log = w / "error.log"
        p = subprocess.Popen(["nginx", "-p", str(w), "-c", str(w / "nginx.conf"), "-e", str(w / "error.log")],
                             stdout=subprocess.DEVNULL, stderr=subprocess.STDOUT)
        self.processes.append(p)
        self.nginx = p

        def answers():
            if p.poll() is not None:
                raise AssertionError("nginx did not start: %s" % (w / "error.log").read_text())
            try:
                return self.request("GET", "/p/conf?pcid=%s&version=%s" % (make_pcid(), VERSION))[0] == 200
            except OSError:
                return False
        until(20, answers, "nginx does not answer on %s" % self.url)

    def tls(self):
        context = ssl.create_default_context(cafile=str(self.ca))
        return context.wrap_socket(socket.create_connection(("127.0.0.1", self.port), timeout=30),
                                   server_hostname="127.0.0.1")

    def request(self, method, path, body=None, token=None):
        """One request on a connection of its own: (status, headers, body)."""
        with self.tls() as s:
            data = json.dumps(body).encode() if body is not None else b""
            auth = "Authorization: Bearer %s\r\n" % token if token else ""
            s.sendall(("%s %s HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nConnection: close\r\n%s"
                       "Content-Type: application/json\r\nContent-Length: %d\r\n\r\n"
                       % (method, path, self.port, auth, len(data))).encode() + data)
            answer = b""
            while True:
                chunk = s.recv(65536)
                if not chunk:
                    break
                answer += chunk
        head, _, rest = answer.partition(b"\r\n\r\n")
        return int(head.split()[1]), head.decode(), rest

    def beat(self, pcid, got=None):
        """The ids a beat of `pcid` lists as waiting; with `got`, as a PC that
        confirms what it stored."""
        beat = {"pcid": pcid, "version": VERSION, "platform": "window", "expire": 600}
        if got is not None:
            beat["got"] = got
        status, _, body = self.request("POST", "/p/v1/heart", beat)
        assert status == 200, "a beat was answered %d: %r" % (status, body)
        return json.loads(body)["sync"]

    def download_path(self, ringtone):
        status, _, body = self.request("GET", "/apiv1/ringtone?ringtoneid=%s" % ringtone)
        assert status == 200, "the ringtone's information was answered %d: %r" % (status, body)
        url = json.loads(body)["data"]["download_url"]
        assert url.startswith(self.url + "/f/"), url
        return url[len(self.url):]

    def fetch(self, path, read=None, stalled=None):
        """Fetches a file; with `read`, takes that many bytes of its body, calls
        `stalled` and resets the connection, as a PC that dies does. Returns
        the bytes read and the whole file's length."""
        self.logged[path] = len(self.log_lines(path))
        s = self.tls()
        try:
            s.sendall(("GET %s HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n" % (path, self.port)).encode())
            data = b""
            while b"\r\n\r\n" not in data:
                chunk = s.recv(65536)
                assert chunk, "the file's answer ended in its headers"
                data += chunk
            head, _, body = data.partition(b"\r\n\r\n")
            assert head.split()[1] == b"200", head
            length = int(re.search(rb"(?i)content-length: *(\d+)", head).group(1))
            while len(body) < (length if read is None else min(read, length)):
                chunk = s.recv(min(65536, (read or length) - len(body)))
                if not chunk:
                    break
                body += chunk
            if read is not None:
                if stalled:
                    stalled()
                s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            return body, length
        finally:
            s.close()

    def log_lines(self, path):
        return [line for i in self.instances for line in i["log"].read_text(errors="replace").splitlines()
                if " method=GET path=%s " % path in line]

    def outcome(self, path, seconds=20):
        """How the instance that served the last fetch of `path` ended it: its log line's note."""
        def logged():
            lines = self.log_lines(path)
            return lines[-1] if len(lines) > self.logged[path] else None
        line = until(seconds, logged, "no instance logged the end of %s" % path)
        return "delivered" if line.endswith(" note=delivered") else line.split(" note=", 1)[-1]

    def served(self, instance, path):
        """How many requests for paths starting with `path` the instance logged."""
        return len(re.findall(r" method=(?:GET|POST) path=%s" % re.escape(path),
                              instance["log"].read_text(errors="replace")))

    def phone(self, state, *args):
        """belfry-phone, trusting the test's CA."""
        env = dict(os.environ, SSL_CERT_FILE=str(self.ca), BELFRY_PHONE_STATE=str(state))
        return run(str(BIN / "belfry-phone"), *args, env=env).decode()

    def stop(self):
        """Stops everything started, the last first; the instances' statuses."""
        statuses = {}
        for p in reversed(self.processes):
            if p.poll() is None:
                p.terminate()
        for p in reversed(self.processes):
            try:
                statuses[p.pid] = p.wait(15)
            except subprocess.TimeoutExpired:
                p.kill()
                statuses[p.pid] = p.wait()
        self.processes = []
        if self.pg_dir:
            subprocess.run(["bash", str(REPO / "scripts" / "pg-cluster.sh"), "stop", str(self.pg_dir)],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            self.pg_dir = None
        return statuses

    def cleanup(self):
        self.stop()
        self.tmp.cleanup()
