#!/usr/bin/python3
"""How long the phone's page takes to read the QR code in a phone's photo, in
each engine the page's test drives (Chromium, WebKitGTK as Safari's engine).

Five noisy 12-megapixel photos of a client id's code, made with qrencode and
ImageMagick (tilt, blur, levels and grain differ), each read by the page's own
decodeQr (server/web/qr.js, jsQR in its worker) in the page as served by
belfry-service on 127.0.0.1, from the chosen file to the text. Each photo is
read twice in a row and the second time counts: the worker is warm then, as
on a phone after its first photo. Prints each time, the median and the worst
per engine. A timing tool, not a test: nothing fails on a time.

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
const [path, done] = [arguments[0], arguments[arguments.length - 1]];
const input = document.getElementById('bench-file');
const file = input.files[0];
import('./qr.js').then(async ({ decodeQr }) => {
  const picture = await createImageBitmap(file);
  const times = [];
  let text = null;
  for (let i = 0; i < 2; i++) {
    const started = performance.now();
    text = await decodeQr(picture, picture.width, picture.height, false);
    times.push(performance.now() - started);
  }
  done({ text, times });
}, (e) => done({ text: 'failed: ' + e, times: [] }));
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
    driver = engine.start(str(photos[0][1].parent / ("profile-" + engine.name)), LINE.address)
    try:
        driver.get(page)
        driver.execute_script("const i = document.createElement('input'); i.type = 'file'; i.id = 'bench-file';"
                              "document.body.append(i);")
        found = []
        for pcid, path in photos:
            driver.find_element(test_page.By.ID, "bench-file").send_keys(str(path))
            driver.set_script_timeout(120)
            answer = driver.execute_async_script(READ, str(path))
            found.append((path.name, answer["text"] == pcid, answer["times"]))
        return found
    finally:
        engine.stop()


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
            for engine in (test_page.Chromium(), test_page.WebKit()):
                found = read_all(engine, page, photos)
                warm = [times[-1] / 1000 for _, read, times in found if read and times]
                for name, read, times in found:
                    print("%-8s %s  %s  %s" % (engine.name, name, "read" if read else "MISSED",
                                               " ".join("%.2f s" % (t / 1000) for t in times)))
                if warm:
                    print("%-8s median %.2f s, worst %.2f s (warm worker), %d of %d read\n"
                          % (engine.name, statistics.median(warm), max(warm), len(warm), len(found)))
            LINE.stop()
        finally:
            service.terminate()
            service.wait(15)


if __name__ == "__main__":
    main()
