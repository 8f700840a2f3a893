#!/usr/bin/python3
"""The phone's page in Debian's headless Chromium at phone size (360 px),
against a stand-in for the service on 127.0.0.1: a photo of a QR code pairs,
a WAV goes up with a progress bar, an MP3 follows, both are listed, the PC
fetches one and the other is taken back.

Exit status 77 (skipped) when Chromium, its driver, Selenium, ffmpeg or
qrencode is missing. With --screenshots DIR the pictures of the page land in
DIR (scripts/screenshots.sh passes docs/screenshots)."""

import base64
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import unittest
import uuid

HERE = pathlib.Path(__file__).resolve().parent
WEB = HERE.parent.parent / "server" / "web"
CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"
SKIP = 77

try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys
    from selenium.webdriver.support.ui import WebDriverWait
except ImportError:
    print("skip: python3-selenium is not installed")
    sys.exit(SKIP)

sys.path.insert(0, str(HERE))
from standin import StandIn  # noqa: E402

SCREENSHOTS = None


def run(*command):
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def browser(profile):
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--disable-dev-shm-usage", "--user-data-dir=" + profile, "--lang=zh-CN"):
        options.add_argument(flag)
    options.add_experimental_option("mobileEmulation", {
        "deviceMetrics": {"width": 360, "height": 780, "pixelRatio": 2.0},
        "userAgent": "Mozilla/5.0 (Linux; Android 13; Pixel 6a) AppleWebKit/537.36 (KHTML, like Gecko) "
                     "Chrome/120.0 Mobile Safari/537.36"})
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    return webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)


class PageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        cls.dir = pathlib.Path(cls.tmp.name)
        cls.standin = StandIn(WEB)
        cls.standin.start()
        cls.driver = browser(str(cls.dir / "profile"))
        cls.wait = WebDriverWait(cls.driver, 15)

    @classmethod
    def tearDownClass(cls):
        cls.driver.quit()
        cls.standin.stop()
        cls.tmp.cleanup()

    def find(self, css):
        return self.driver.find_element(By.CSS_SELECTOR, css)

    def items(self, css):
        return self.driver.find_elements(By.CSS_SELECTOR, css)

    def text_in(self, css, text):
        # Read in one step: the lists are rebuilt whenever the service answers.
        read = "const e = document.querySelector(arguments[0]); return e ? e.innerText : ''"
        self.wait.until(lambda d: text in d.execute_script(read, css), "%r never showed %r" % (css, text))

    def shot(self, name):
        """The whole page, as long as it is, at the phone's pixel ratio."""
        size = self.driver.execute_cdp_cmd("Page.getLayoutMetrics", {})["cssContentSize"]
        picture = self.driver.execute_cdp_cmd("Page.captureScreenshot", {
            "format": "png", "captureBeyondViewport": True,
            "clip": {"x": 0, "y": 0, "width": size["width"], "height": size["height"], "scale": 1}})
        target = pathlib.Path(SCREENSHOTS or self.dir) / ("page-%s.png" % name)
        target.write_bytes(base64.b64decode(picture["data"]))

    def photo_of_qr(self, pcid):
        """A QR code as a phone photographs it: tilted, on a grey desk, grainy JPEG."""
        code, photo = self.dir / "qr.png", self.dir / "photo.jpg"
        run("qrencode", "-l", "Q", "-s", "8", "-m", "4", "-o", str(code), pcid)
        run("/usr/bin/convert", str(code), "-rotate", "6", "-background", "#cfc8bd", "-gravity", "center",
            "-extent", "1200x1600", "-attenuate", "0.4", "+noise", "Gaussian", "-quality", "85", str(photo))
        return photo

    def tune(self, name, seconds, *codec):
        path = self.dir / name
        run("ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "sine=f=660:d=%d:sample_rate=48000" % seconds,
            "-ac", "2", *codec, str(path))
        return path

    def choose_and_send(self, path):
        self.find("#tune-file").send_keys(str(path))
        self.wait.until(lambda d: self.find("#start-range").get_attribute("max") != "0", "the duration never loaded")
        self.find("#tune-name").send_keys(Keys.ENTER)  # the form sends with the keyboard

    def test_road(self):
        d = self.driver
        d.get(self.standin.url)
        self.assertEqual(d.execute_script("return document.documentElement.scrollWidth"), 360)
        self.shot("pair")

        # A mistyped id is caught before anything is sent.
        self.find("#manual summary").click()
        self.find("#pcid").send_keys("1234-5678", Keys.ENTER)
        self.text_in("#pair-status", "电脑编号不正确")
        self.assertEqual(self.standin.pairings, {})

        pcid = str(uuid.uuid4())
        pcid = pcid[:14] + "R" + pcid[15:]
        self.find("#qr-file").send_keys(str(self.photo_of_qr(pcid)))
        self.text_in("#notice", "已与电脑 %s配对" % pcid[:8])
        self.text_in("#pc-list", "电脑 " + pcid[:8])
        ((paired_pcid, device_id), token), = self.standin.pairings.items()
        self.assertEqual(paired_pcid, pcid)

        # A WAV from its 5th second, set with the keyboard; the upload shows its progress.
        wav = self.tune("海边的风.wav", 60, "-c:a", "pcm_s16le")
        self.find("#tune-file").send_keys(str(wav))
        self.wait.until(lambda d: self.find("#start-range").get_attribute("max") == "59", "the duration never loaded")
        self.assertEqual(self.find("#tune-name").get_attribute("value"), "海边的风")
        self.find("#start-range").send_keys(*[Keys.ARROW_RIGHT] * 5)
        self.assertEqual(self.find("#start-seconds").get_attribute("value"), "5")
        self.text_in("#start-span", "0:05 – 0:35")
        self.standin.flowing.clear()
        self.find("#send-button").click()
        self.wait.until(lambda d: 0 < float(self.find("#progress").get_attribute("value") or 0) < 100,
                        "no progress was shown")
        self.assertIn("已上传", self.find("#progress-label").text)
        self.shot("upload")
        self.standin.flowing.set()
        self.text_in("#send-status", "《海边的风》已发送")
        self.assertTrue(self.find("#progress-box").get_attribute("hidden"))

        self.choose_and_send(self.tune("bell.mp3", 12, "-c:a", "libmp3lame"))
        self.text_in("#send-status", "《bell》已发送")
        self.wait.until(lambda d: len(self.items("#sent-list li")) == 2, "both tunes are not listed")

        first, second = self.standin.tunes
        self.assertEqual((first["name"], first["start"], first["body"]), ("海边的风", 5, wav.read_bytes()))
        self.assertEqual((second["name"], second["start"], second["device_id"]), ("bell", 0, device_id))

        # The PC fetches the WAV: it can no longer be taken back; the MP3 can.
        self.standin.fetch(first["id"])
        self.find("#refresh").click()
        self.text_in("#sent-list li:last-child", "电脑已接收")
        self.assertEqual(self.items("#sent-list li:last-child button"), [])
        self.text_in("#sent-list li:first-child", "等待电脑接收")
        self.shot("sent")
        self.find("#sent-list li:first-child button").click()
        self.text_in("#sent-status", "已撤回《bell》")
        self.wait.until(lambda d: len(self.items("#sent-list li")) == 1, "the withdrawn tune is still listed")
        self.assertEqual([t["name"] for t in self.standin.tunes], ["海边的风"])

        # Everything a screen reader or the keyboard reaches has a name, and nothing failed.
        self.find("#manual summary").click()
        for control in self.items("input, select, button"):
            if control.is_displayed() or control.get_attribute("type") == "file":
                self.assertTrue(control.accessible_name, control.get_attribute("outerHTML"))
        self.assertEqual(d.execute_script("return document.documentElement.scrollWidth"), 360)
        errors = [e["message"] for e in d.get_log("browser") if e["level"] == "SEVERE"]
        self.assertEqual(errors, [])


if __name__ == "__main__":
    if "--screenshots" in sys.argv:
        at = sys.argv.index("--screenshots")
        SCREENSHOTS = os.path.abspath(sys.argv[at + 1])
        del sys.argv[at:at + 2]
    missing = [p for p in (CHROMIUM, CHROMEDRIVER) if not os.access(p, os.X_OK)]
    missing += [t for t in ("ffmpeg", "qrencode") if not shutil.which(t)]
    if missing:
        print("skip: missing " + ", ".join(missing))
        sys.exit(SKIP)
    unittest.main()
