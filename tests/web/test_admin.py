#!/usr/bin/python3
"""The admin page (/admin) in Debian's headless Chromium on a computer's
screen (1280 x 800), against belfry-service on 127.0.0.1 with a fresh data
folder while beats, refusals and an upload keep it busy.

Rows, in order: the page asks for the token; a wrong one is refused and said
so, and not kept; the right one shows every chart and its tiles, with lines
once the service has taken a few samples; a reload keeps the token for the
tab; the page's policy holds (no error in the console); a picture of it.

Exit status 77 (skipped) when Chromium, its driver or Selenium is missing.
--bin DIR names the folder of belfry-service (default build/bin); with
--screenshots DIR the picture lands there as admin.png (docs/screenshots
takes it)."""

import base64
import json
import os
import pathlib
import re
import subprocess
import sys
import tempfile
import threading
import unittest
import urllib.error
import urllib.request
import uuid

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "support"))
from roadtools import REPO, until  # noqa: E402

CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"
SKIP = 77
CHARTS = 8
KEY = "belfry-admin-token"

try:
    from selenium import webdriver
    from selenium.common.exceptions import TimeoutException
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait
except ImportError:
    print("skip: python3-selenium is not installed")
    sys.exit(SKIP)

BIN = REPO / "build" / "bin"
SCREENSHOTS = None


def pcid():
    raw = uuid.uuid4().hex
    return "%s-%s-R%s-%s-%s" % (raw[:8], raw[8:12], raw[13:16], raw[16:20], raw[20:])


class Traffic(threading.Thread):
    """PCs beating, a few requests refused, a phone that pairs and sends one
    ringtone: what the charts show, until stopped."""

    def __init__(self, url):
        super().__init__(daemon=True)
        self.url = url
        self.stopped = threading.Event()

    def post(self, path, body):
        request = urllib.request.Request(self.url + path, data=json.dumps(body).encode(),
                                         headers={"Content-Type": "application/json"}, method="POST")
        try:
            with urllib.request.urlopen(request, timeout=30) as answer:
                return json.load(answer)
        except urllib.error.HTTPError as e:
            return {"status": e.code}

    def beat(self, pc):
        return self.post("p/v1/heart", {"pcid": pc, "version": "1.0.2", "platform": "window", "expire": 600, "got": []})

    def run(self):
        pcs = [pcid() for _ in range(12)]
        for pc in pcs:
            self.beat(pc)
        paired = self.post("phone/v1/pair", {"pcid": pcs[0], "device_id": "dev-a", "device_name": "Phone"})
        bell = base64.b64encode((REPO / "server" / "samples" / "bell.m4r").read_bytes()).decode()
        self.post("phone/v1/ringtone", {"pcid": pcs[0], "device_id": "dev-a", "name": "Bell", "data": bell,
                                        "device_token": paired.get("device_token", "")})
        round = 0
        while not self.stopped.wait(0.05):
            round += 1
            for pc in pcs[: 4 + round % 9]:
                self.beat(pc)
            if round % 7 == 0:
                self.post("p/v1/heart", {"pcid": "not-a-pc"})
            if round % 11 == 0:
                self.post("phone/v1/unpair", {"pcid": pcs[1], "device_id": "dev-x", "device_token": "0" * 64})


class AdminPage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        work = pathlib.Path(cls.tmp.name)
        log = work / "service.log"
        with open(log, "wb") as out:
            cls.service = subprocess.Popen([str(BIN / "belfry-service"), "serve", "--listen", "127.0.0.1:0",
                                            "--data", str(work / "data"), "--convert-temp", str(work)],
                                           stdout=out, stderr=subprocess.STDOUT)
        found = until(10, lambda: re.search(r"listening on (http://127\.0\.0\.1:\d+)", log.read_text()),
                      "the service did not start")
        cls.url = found.group(1) + "/"
        cls.token = (work / "data" / "admin-token").read_text().strip()
        cls.traffic = Traffic(cls.url)
        cls.traffic.start()
        options = webdriver.ChromeOptions()
        options.binary_location = CHROMIUM
        for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--no-first-run", "--lang=en-GB",
                     "--disable-background-networking", "--disable-component-update", "--disable-sync",
                     "--disable-dev-shm-usage", "--user-data-dir=" + str(work / "profile"),
                     "--window-size=1280,800", "--hide-scrollbars"):
            options.add_argument(flag)
        options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
        cls.driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
        cls.driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                                   {"width": 1280, "height": 800, "deviceScaleFactor": 1, "mobile": False})
        # The service samples every 10 s: lines need two samples and the live one.
        cls.wait = WebDriverWait(cls.driver, 40)

    @classmethod
    def tearDownClass(cls):
        cls.traffic.stopped.set()
        cls.traffic.join()
        cls.driver.quit()
        cls.service.terminate()
        status = cls.service.wait(15)
        cls.tmp.cleanup()
        assert status == 0, "the service did not stop in order"

    def js(self, script, *args):
        return self.driver.execute_script(script, *args)

    def shown(self, css):
        return self.js("const e = document.querySelector(arguments[0]); return !!e && !e.closest('[hidden]')", css)

    def until(self, check, what):
        try:
            return self.wait.until(lambda d: check())
        except TimeoutException:
            self.fail(what)

    def log_in(self, token):
        field = self.driver.find_element(By.ID, "token")
        field.clear()
        field.send_keys(token)
        self.driver.find_element(By.CSS_SELECTOR, "#login button[type=submit]").click()

    def test_page(self):
        self.driver.get(self.url + "admin")
        self.until(lambda: self.shown("#login"), "the page did not ask for the token")
        self.assertEqual(self.js("return document.activeElement.id"), "token")
        self.assertFalse(self.shown("#board"))

        self.log_in("not-the-token")
        self.until(lambda: self.shown("#login-error"), "a wrong token was not said to be wrong")
        self.assertIn("refused this token", self.js("return document.getElementById('login-error').innerText"))
        self.assertEqual(self.js("return document.getElementById('login-error').getAttribute('role')"), "alert")
        self.assertIsNone(self.js("return sessionStorage.getItem(arguments[0])", KEY))
        self.assertFalse(self.shown("#board"))

        self.log_in(self.token)
        self.until(lambda: self.js("return document.querySelectorAll('.chart canvas').length") == CHARTS,
                   "the charts did not appear")
        self.assertFalse(self.shown("#login"))
        self.assertEqual(self.js("return sessionStorage.getItem(arguments[0])", KEY), self.token)
        # A line from the beats once the service has two samples and the live one.
        self.until(lambda: self.js("return document.getElementById('now-beats').innerText") not in ("", "–"),
                   "the beats never showed")
        self.assertGreater(float(self.js("return document.getElementById('now-beats').innerText")), 0)
        self.assertEqual(self.js("return document.getElementById('now-disk').innerText"), "room")
        self.assertEqual(self.js("return [...document.querySelectorAll('.chart h2')].length"), CHARTS)

        # Kept for the tab: a reload asks for nothing.
        self.driver.refresh()
        self.until(lambda: self.js("return document.querySelectorAll('.chart canvas').length") == CHARTS,
                   "a reload asked for the token again")
        self.assertFalse(self.shown("#login"))
        # The refusals' chart names the codes that were refused.
        self.until(lambda: "bad-request" in self.js("return document.getElementById('chart-refusals').innerText"),
                   "the refusals were not charted by code")
        # The page's policy allows it all: nothing was blocked.
        severe = [e["message"] for e in self.driver.get_log("browser")
                  if e["level"] == "SEVERE" and "admin/v1/history" not in e["message"]]
        self.assertEqual(severe, [])
        if SCREENSHOTS:
            # A few more samples, so that the picture shows lines rather than points.
            self.wait_samples(6)
            (SCREENSHOTS / "admin.png").write_bytes(self.driver.get_screenshot_as_png())

    def wait_samples(self, count):
        request = urllib.request.Request(self.url + "admin/v1/history",
                                         headers={"Authorization": "Bearer " + self.token})

        def enough():
            with urllib.request.urlopen(request, timeout=10) as answer:
                return len(json.load(answer)["samples"]) >= count + 1
        until(60, enough, "the service took no more samples")
        self.driver.refresh()
        self.until(lambda: self.js("return document.querySelectorAll('.chart canvas').length") == CHARTS,
                   "the charts did not come back")


if __name__ == "__main__":
    for flag in ("--screenshots", "--bin"):
        if flag in sys.argv:
            at = sys.argv.index(flag)
            value = pathlib.Path(sys.argv[at + 1]).resolve()
            if flag == "--bin":
                BIN = value
            else:
                SCREENSHOTS = value
            del sys.argv[at:at + 2]
    missing = [p for p in (CHROMIUM, CHROMEDRIVER) if not os.access(p, os.X_OK)]
    if missing:
        print("skip: missing " + ", ".join(missing))
        sys.exit(SKIP)
    if not os.access(BIN / "belfry-service", os.X_OK):
        sys.exit("not built: " + str(BIN / "belfry-service"))
    unittest.main()
