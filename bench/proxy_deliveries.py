#!/usr/bin/python3
"""What a PC that resets in the middle of a ringtone leaves waiting behind nginx,
with the shipped site (deploy/nginx-belfry.conf) and with its buffering choices
undone: proxy_buffering on or off, the send buffer to clients capped (sndbuf=16k)
or left to the kernel. One instance on a throw-away PostgreSQL behind nginx
(tests/deploy/deployment.py), a ringtone of about 1.2 MB.

For each variant: a PC reads the first TLS record of the file (16 KB), stalls half a second (nginx's
send queue to it is read with ss) and resets; did the instance log a delivery?
Then, while the ringtone still waits: how many bytes short of the end can a reset
come and still leave it waiting (the window in which a reset loses it); and the
time to fetch the whole file on loopback.

    python3 bench/proxy_deliveries.py [--bin BUILD/bin]"""

import os
import pathlib
import re
import statistics
import subprocess
import sys
import tempfile
import time

REPO = pathlib.Path(__file__).resolve().parent.parent
if "--bin" in sys.argv:
    os.environ["BELFRY_BIN"] = str(pathlib.Path(sys.argv[sys.argv.index("--bin") + 1]).resolve())
sys.path.insert(0, str(REPO / "tests" / "deploy"))
from deployment import Deployment, make_pcid, run  # noqa: E402

VARIANTS = [
    ("shipped: buffering off, sndbuf=16k", lambda t: t),
    ("buffering off, kernel's sndbuf", lambda t: t.replace(" sndbuf=16k", "")),
    ("buffering on, sndbuf=16k", lambda t: t.replace("proxy_buffering off;", "proxy_buffering on;")),
    ("buffering on, kernel's sndbuf",
     lambda t: t.replace("proxy_buffering off;", "proxy_buffering on;").replace(" sndbuf=16k", "")),
]


def send_queue(port):
    """nginx's bytes not yet acknowledged by the PC, and its socket's send buffer size."""
    out = subprocess.run(["ss", "-tnmH", "state", "established", "( sport = :%d )" % port],
                         stdout=subprocess.PIPE, text=True).stdout
    found = re.search(r"^\s*(\d+)\s+(\d+)\s.*?\n?.*?tb(\d+)", out, re.S)
    return (int(found.group(2)), int(found.group(3))) if found else (None, None)


class Ringtones:
    def __init__(self, d, big):
        self.d, self.big = d, big
        self.pc = make_pcid()
        d.beat(self.pc)
        self.state = d.work / ("phone-%s.json" % self.pc[:8])
        d.phone(self.state, "pair", "--service", d.url, "--pcid", self.pc, "--name", "Bench")

    def new(self):
        self.d.phone(self.state, "send", "--pcid", self.pc, str(self.big))
        return self.waiting()

    def waiting(self):
        ids = self.d.beat(self.pc)
        return ids[0] if ids else None


def measure(name, site, big):
    d = Deployment(instances=1, site=site)
    try:
        r = Ringtones(d, big)
        ringtone = r.new()
        path = d.download_path(ringtone)
        queued = {}
        read, length = d.fetch(path, read=1000, stalled=lambda: (time.sleep(0.5), queued.update(
            zip(("sendq", "sndbuf"), send_queue(d.port)))))
        lost = d.outcome(path) == "delivered"
        line = {"variant": name, "length": length, "lost_after_1000": lost, **queued}

        # The window: short of the end by `short` bytes, a reset still keeps it?
        kept, gone = length, None
        if lost:
            ringtone = r.new()
        for short in (262144, 131072, 65536, 32768, 16384, 4096, 1024):
            path = d.download_path(ringtone)
            d.fetch(path, read=length - short, stalled=lambda: time.sleep(0.5))
            if d.outcome(path) == "delivered":
                gone = short
                ringtone = r.new()
                break
            kept = short
        line["kept_when_short_by"], line["lost_when_short_by"] = kept, gone

        times = []
        for _ in range(3):
            path = d.download_path(ringtone)
            start = time.monotonic()
            body, _ = d.fetch(path)
            times.append(time.monotonic() - start)
            assert len(body) == length
            d.outcome(path)
            ringtone = r.new()
        line["fetch_ms"] = round(statistics.median(times) * 1000, 1)
        return line
    finally:
        d.cleanup()


def main():
    with tempfile.TemporaryDirectory() as tmp:
        big = pathlib.Path(tmp) / "surf.m4r"
        run("ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "anoisesrc=d=29:c=pink:r=48000", "-ac", "2",
            "-c:a", "aac", "-b:a", "320k", "-f", "ipod", str(big))
        print("%d cores, load average %s" % (os.cpu_count(), open("/proc/loadavg").read().split()[:3]))
        for name, site in VARIANTS:
            print(measure(name, site, big), flush=True)


if __name__ == "__main__":
    main()
