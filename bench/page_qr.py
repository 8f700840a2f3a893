#!/usr/bin/python3
"""How long the phone's page takes to read the QR code in a phone's photo, in
each engine the page's test drives (Chromium, WebKitGTK as Safari's engine).

Five noisy 12-megapixel photos of a client id's code, made with qrencode and
ImageMagick (tilt, blur, levels and grain differ), each read by the page's own
readPhoto (server/web/qr.js, jsQR in its worker) in the page as served by
belfry-service on 127.0.0.1, from the chosen file to the text, decoding
included. Each photo is read twice in a row and the second time counts: the
worker is warm then, as on a phone after its first photo. Prints each read
with its stages (decoding, the pixels drawn and read, the worker; in the
worker the grey, then each try's averaging and jsQR) and which try read the
code, then the median and the worst per engine and their ratio. A timing
tool, not a test: nothing fails on a time.

    tests/run-gui.sh /usr/bin/python3 bench/page_qr.py --bin build/bin"""

import pathlib
import re
import statistics
import subprocess
import sys
import tempfile
import time
import uuid

REPO = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO / "tests" / "web"))
sys.argv, given = sys.argv[:1], sys.argv[1:]  # the test module reads its own flags when run, not when imported
import proxy  # noqa: E402
import test_page  # noqa: E402

# (tilt in degrees, blur, grain, code's share of the width): as a phone sees a PC's screen.
PHOTOS = [(4, 2, 2.5, 650), (3, 2.5, 3.0, 500), (9, 1.5, 2.0, 800), (6, 3, 2.5, 600), (2, 2, 3.5, 700)]

READ = """
const done = arguments[arguments.length - 1];
const file = document.getElementById('bench-file').files[0];
import('./qr.js').then(async ({ readPhoto }) => {
  const rounds = [];
  for (let i = 0; i < 2; i++) {
    const trace = [];
    const started = performance.now();
    const text = await readPhoto(file, trace);
    rounds.push({ text, took: performance.now() - started, trace });
  }
  done(rounds);
}, (e) => done([{ text: 'failed: ' + e, took: 0, trace: [] }]));
"""

# The same plain arithmetic in each engine: a yardstick for the engine's
# JavaScript itself (a JIT that does not run shows as a multiple of the other
# engine's time). The worker's own stages show the same of jsQR there.
YARDSTICK = """
const started = performance.now();
let s = 0;
const a = new Uint8ClampedArray(1 << 20);
for (let r = 0; r < 40; r++) for (let i = 0; i < a.length; i++) { a[i] = (i * r) & 255; s += a[i] >> 1; }
return performance.now() - started;
"""


def photo(pcid, path, tilt, blur, grain, side):
    code = path.with_suffix(".png")
    subprocess.run(["qrencode", "-s", "10", "-m", "4", "-o", str(code), pcid], check=True)
    return subprocess.Popen(
        ["convert", str(code), "-filter", "point", "-resize", "%dx%d" % (side, side), "-background", "#cfc9bd",
         "-gravity", "center", "-extent", "2000x1500", "-rotate", str(tilt), "-gravity", "center",
         "-crop", "2000x1500+0+0", "+repage", "-blur", "0x%s" % blur, "-resize", "4000x3000!",
         "-attenuate", str(grain), "+noise", "Gaussian", "-quality", "85", str(path)])


def read_all(engine, page, photos):
    """Each photo read twice in a row, and the engine's yardstick."""
    driver = engine.start(str(photos[0][1].parent / ("profile-" + engine.name)), LINE.address)
    try:
        driver.get(page)
        driver.execute_script("const i = document.createElement('input'); i.type = 'file'; i.id = 'bench-file';"
                              "document.body.append(i);")
        driver.set_script_timeout(120)
        found = []
        for pcid, path in photos:
            driver.find_element(test_page.By.ID, "bench-file").send_keys(str(path))
            rounds = driver.execute_async_script(READ)
            found.append((path.name, pcid, rounds))
        return found, driver.execute_script(YARDSTICK)
    finally:
        engine.stop()


def ms(value):
    return "-" if value is None else "%.0f" % value


def report(engine, found, yardstick):
    """Each read with its stages, then the median and the worst of the warm reads."""
    print("%s: yardstick %s ms" % (engine, ms(yardstick)))
    warm, first = [], 0
    for name, pcid, rounds in found:
        for n, r in enumerate(rounds):
            stages = {k: v for t in r["trace"] for k, v in t.items()}
            tries = [t for t in stages.get("tries", []) if "longest" in t]
            hit = next((i + 1 for i, t in enumerate(tries) if t["found"]), None)
            print("  %s %s %s %.2f s, %s: decode %s, pixels %s, worker %s (grey %s) ms" % (
                name, "cold" if n == 0 else "warm", "read" if r["text"] == pcid else "MISSED", r["took"] / 1000,
                "at try %d of %d" % (hit, len(tries)) if hit else "no try read it", ms(stages.get("decode")),
                ms(stages.get("pixels")), ms(stages.get("worker")),
                ms(next((t["grey"] for t in stages.get("tries", []) if "grey" in t), None))))
            for t in tries:
                print("      %4d px%s: shrink %s, jsQR %s ms%s" % (
                    t["longest"], " binarised" if t["binarise"] else "", ms(t["shrink"]), ms(t["jsqr"]),
                    " read" if t["found"] else ""))
        last = rounds[-1]
        if last["text"] == pcid:
            warm.append(last["took"] / 1000)
            tries = [t for s in last["trace"] for t in s.get("tries", []) if "longest" in t]
            first += bool(tries and tries[0]["found"])
    if warm:
        print("%s: median %.2f s, worst %.2f s (warm worker); %d of %d read, %d at the first try\n"
              % (engine, statistics.median(warm), max(warm), len(warm), len(found), first))
    return statistics.median(warm) if warm else None


def main():
    global LINE
    binary = pathlib.Path(given[given.index("--bin") + 1] if "--bin" in given else REPO / "build" / "bin")
    with tempfile.TemporaryDirectory() as tmp:
        work = pathlib.Path(tmp)
        photos, making = [], []
        for n, shape in enumerate(PHOTOS):
            pcid = str(uuid.uuid4())
            pcid = pcid[:14] + "R" + pcid[15:]
            path = work / ("photo-%d.jpg" % n)
            photos.append((pcid, path))
            making.append(photo(pcid, path, *shape))
        for m in making:
            m.wait()
        log = work / "service.log"
        with open(log, "wb") as out:
            service = subprocess.Popen([str(binary / "belfry-service"), "serve", "--listen", "127.0.0.1:0",
                                        "--data", str(work / "service")], stdout=out, stderr=subprocess.STDOUT)
        try:
            while not re.search(r"listening on http://127\.0\.0\.1:(\d+)", log.read_text()):
                time.sleep(0.1)
            port = int(re.search(r"listening on http://127\.0\.0\.1:(\d+)", log.read_text()).group(1))
            LINE = proxy.Road(test_page.HOST, ("127.0.0.1", port))
            page = "http://%s:%d/" % (test_page.HOST, port)
            medians = {}
            for engine in (test_page.Chromium(), test_page.WebKit()):
                found, yardstick = read_all(engine, page, photos)
                medians[engine.name] = report(engine.name, found, yardstick)
            if all(medians.values()):
                print("WebKit's median is %.2f times Chromium's" % (medians["webkit"] / medians["chromium"]))
            LINE.stop()
        finally:
            service.terminate()
            service.wait(15)


if __name__ == "__main__":
    main()
