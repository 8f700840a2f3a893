#!/usr/bin/python3
"""The service as deploy/ ships it, on this machine's loopback: two instances on
one throw-away PostgreSQL database behind nginx with TLS (deployment.py), and
the whole road through nginx. The program, in a sandbox home on this virtual
display, beats over HTTPS and fetches its ringtones; the phone's page in
headless Chromium pairs with it and sends a tune; belfry-phone pairs and sends.

Rows, in order: the road over HTTPS; both instances took part; a PC that resets
after part of a large ringtone keeps it waiting, and one that confirms what it
stored keeps it through resets anywhere in it; a pg_dump restored into a
fresh database serves the same ringtones; pairings through both instances
spend one budget of their address; both instances take one admin token from
one file and a rotation (SIGHUP) reaches both; one instance killed mid-road
loses nothing.

Run it through scripts/deploy-test.sh. Exit status 77 (skipped) without a
display or where nginx, Chromium, its driver or Selenium is missing."""

import http.client
import json
import os
import pathlib
import signal
import shutil
import subprocess
import sys
import unittest

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from deployment import BIN, REPO, VERSION, Deployment, make_pcid, run, until  # noqa: E402
from roadtools import client_id_on_screen  # noqa: E402

CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"
SKIP = 77
# Pairings per address and hour on each instance: more than the road takes.
PAIR_LIMIT = 6

try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys
    from selenium.webdriver.support.ui import WebDriverWait
except ImportError:
    print("skip: python3-selenium is not installed")
    sys.exit(SKIP)


def browser(profile, spki):
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    # The test's CA is nobody's: Chromium is told the site's key instead.
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--disable-dev-shm-usage", "--user-data-dir=" + profile, "--lang=zh-CN",
                 "--ignore-certificate-errors-spki-list=" + spki):
        options.add_argument(flag)
    options.add_experimental_option("mobileEmulation", {"deviceMetrics": {"width": 360, "height": 780,
                                                                          "pixelRatio": 2.0}})
    return webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)


class Program:
    """The program in a sandbox home, its settings pointing at nginx. It trusts
    the test's CA alone: Qt reads the system's certificates from fixed folders
    and no variable of OpenSSL's, so /etc/ssl/certs is the test's own in a mount
    namespace of the program's."""

    def __init__(self, work, url, ca):
        home = work / "home"
        run("bash", str(REPO / "scripts" / "sandbox-home.sh"), str(home), "ready")
        (home / ".runtime").mkdir(mode=0o700)
        run("bash", "-c", 'url=$1; source scripts/road.sh; write_settings "$2"', "road", url,
            str(home / ".config/Corvale/Belfry.ini"), cwd=REPO)
        self.folder = home / ".wine/drive_c/users/belfry/Music/iTunes/iTunes Media/Automatically Add to iTunes"
        self.log = work / "belfry.log"
        env = dict(os.environ, HOME=str(home), XDG_CONFIG_HOME=str(home / ".config"),
                   XDG_DATA_HOME=str(home / ".local/share"), XDG_CACHE_HOME=str(home / ".cache"),
                   XDG_RUNTIME_DIR=str(home / ".runtime"), QT_XCB_GL_INTEGRATION="none")
        certs = work / "certs"
        certs.mkdir()
        shutil.copy(ca, certs / "belfry-test-ca.pem")
        run("openssl", "rehash", str(certs))
        unshare = ["unshare", "--mount", "--propagation", "private"] + ([] if os.getuid() == 0 else ["--map-root-user"])
        with open(self.log, "wb") as out:
            self.process = subprocess.Popen(
                unshare + ["sh", "-c", 'mount --bind "$1" /etc/ssl/certs && exec "$2"', "sh", str(certs),
                           str(BIN / "belfry")], stdout=out, stderr=subprocess.STDOUT, env=env, cwd=work)
        self.work = work

    def client_id(self):
        """The client id, read from the QR code the program shows on the screen."""
        return client_id_on_screen(self.work / "screen.png")

    def arrived(self, names, seconds=90):
        def there():
            return all((self.folder / (n + ".m4r")).exists() for n in names)
        until(seconds, there, "not every ringtone of %s reached the program's folder (%s)" % (names, self.log))

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(15)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


def direct(port, method, path, body=b""):
    """The body of a 200 answer from an instance itself, not through nginx."""
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    try:
        connection.request(method, path, body=body or None, headers={"Content-Type": "application/json"})
        answer = connection.getresponse()
        data = answer.read()
        assert answer.status == 200, "%s %s: %d %r" % (method, path, answer.status, data[:200])
        return data
    finally:
        connection.close()


def tune(path, seconds, *codec):
    run("ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "sine=f=660:d=%d:sample_rate=48000" % seconds,
        "-ac", "2", *codec, str(path))
    return path


class DeploymentTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.d = Deployment(instances=2, options=("--pair-limit", str(PAIR_LIMIT)))
        cls.work = cls.d.work
        cls.program = None
        cls.driver = None
        try:
            cls.program = Program(cls.work, cls.d.url, cls.d.ca)
            cls.d.processes.append(cls.program.process)
            cls.driver = browser(str(cls.work / "profile"), cls.d.spki)
            cls.wait = WebDriverWait(cls.driver, 30)
            cls.pcid = cls.program.client_id()
            # A phone pairs only with a PC that has been online.
            until(30, lambda: any(cls.d.served(i, "/p/v1/heart") for i in cls.d.instances),
                  "the program never beat through nginx (%s)" % cls.program.log)
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        if cls.driver:
            cls.driver.quit()
        if cls.program:
            cls.program.stop()
        cls.d.cleanup()

    def find(self, css):
        return self.driver.find_element(By.CSS_SELECTOR, css)

    def text_in(self, css, text):
        def shown(d):
            return text in d.execute_script(
                "const e = document.querySelector(arguments[0]); return e ? e.innerText : ''", css)
        self.wait.until(shown, "%r never showed %r" % (css, text))

    def page_sends(self, path, name):
        self.find("#tune-file").send_keys(str(path))
        self.wait.until(lambda d: self.find("#start-range").get_attribute("max") != "0", "the duration never loaded")
        self.find("#tune-name").send_keys(Keys.ENTER)
        self.text_in("#send-status", "《%s》已发送" % name)

    def test_1_road_over_https(self):
        d = self.driver
        d.get(self.d.url + "/")
        self.assertEqual(d.execute_script("return location.protocol"), "https:")
        self.find("#manual summary").click()
        self.find("#pcid").send_keys(self.pcid, Keys.ENTER)
        self.text_in("#notice", "已与电脑 %s配对" % self.pcid[:8])
        self.page_sends(tune(self.work / "晨钟.mp3", 8, "-c:a", "libmp3lame"), "晨钟")

        phone = self.work / "phone.json"
        self.d.phone(phone, "pair", "--service", self.d.url, "--pcid", self.pcid, "--name", "Deploy phone")
        self.d.phone(phone, "send", "--pcid", self.pcid, str(REPO / "server/samples/chime.m4r"))
        self.program.arrived(["晨钟", "chime"])

    def test_2_both_instances_used(self):
        # Beats, pairings and uploads: nginx's own check of its start was a GET.
        for i in self.d.instances:
            self.assertGreater(self.d.served(i, "/p/v1/heart") + self.d.served(i, "/phone/"), 0,
                               "%s took no part in the road" % i["name"])

    def test_3_reset_behind_the_proxy(self):
        # 29 s of noise in AAC at some 240 kbit/s: over 800 KB, copied as it is.
        big = self.work / "surf.m4r"
        run("ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "anoisesrc=d=29:c=pink:r=48000", "-ac", "2",
            "-c:a", "aac", "-b:a", "320k", "-f", "ipod", str(big))
        pc = make_pcid()
        self.d.beat(pc)
        phone = self.work / "phone-big.json"
        self.d.phone(phone, "pair", "--service", self.d.url, "--pcid", pc, "--name", "Big phone")
        self.d.phone(phone, "send", "--pcid", pc, str(big))
        waiting = self.d.beat(pc)
        self.assertEqual(len(waiting), 1)
        path = self.d.download_path(waiting[0])

        read, length = self.d.fetch(path, read=1000)
        self.assertGreater(length, 800000)
        self.assertNotEqual(self.d.outcome(path), "delivered", "a PC that read %d of %d bytes and reset"
                            % (len(read), length))
        self.assertEqual(self.d.beat(pc), waiting, "the ringtone no longer waits after a reset")

        # Read whole and closed in order, it counts, through the proxy too.
        path = self.d.download_path(waiting[0])
        body, length = self.d.fetch(path)
        self.assertEqual(len(body), length)
        until(10, lambda: self.d.beat(pc) == [], "a ringtone read whole still waits")

    def test_3b_resets_of_a_pc_that_confirms(self):
        # 29 s of noise at 160 kbit/s: some 600 KB.
        big = self.work / "rain.m4r"
        run("ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "anoisesrc=d=29:c=pink:r=48000", "-ac", "2",
            "-c:a", "aac", "-b:a", "160k", "-f", "ipod", str(big))
        pc = make_pcid()
        self.d.beat(pc, got=[])
        phone = self.work / "phone-rain.json"
        self.d.phone(phone, "pair", "--service", self.d.url, "--pcid", pc, "--name", "Rain phone")
        self.d.phone(phone, "send", "--pcid", pc, str(big))
        waiting = self.d.beat(pc, got=[])
        self.assertEqual(len(waiting), 1)
        _, length = self.d.fetch(self.d.download_path(waiting[0]), read=1000)
        self.assertGreater(length, 500000)
        # Where a reset lost it when the proxy's close counted: all through,
        # at 85 %, and in the last 64 KB, where only the PC's word tells.
        for at in [1000] + [length * n // 10 for n in range(1, 9) if n != 5] + [length * 85 // 100,
                                                                           length - 60000, length - 100]:
            read, _ = self.d.fetch(self.d.download_path(waiting[0]), read=at)
            self.assertEqual(self.d.beat(pc, got=[]), waiting, "lost to a reset after %d of %d bytes" % (at, length))
        body, _ = self.d.fetch(self.d.download_path(waiting[0]))
        self.assertEqual(len(body), length)
        self.assertEqual(self.d.beat(pc, got=[]), waiting, "a file read whole still waits for the PC's word")
        self.assertEqual(self.d.beat(pc, got=waiting), [])
        self.assertEqual(self.d.beat(pc, got=waiting), [], "a confirmation repeated")

    def test_3c_backup_restored(self):
        # A PC that confirms what it stores: reading the file delivers nothing.
        pc = make_pcid()
        self.d.beat(pc, got=[])
        phone = self.work / "phone-backup.json"
        self.d.phone(phone, "pair", "--service", self.d.url, "--pcid", pc, "--name", "Backup phone")
        self.d.phone(phone, "send", "--pcid", pc, str(REPO / "server/samples/knock.m4r"))
        waiting = self.d.beat(pc, got=[])
        original, length = self.d.fetch(self.d.download_path(waiting[0]), read=10 ** 8)
        self.assertEqual(len(original), length)
        dump = self.work / "belfry.dump"
        run("pg_dump", "-Fc", "-f", str(dump), "--dbname", self.d.pg)
        run("psql", "--dbname", self.d.pg, "-qc", "CREATE DATABASE restored")
        restored = self.d.pg.replace("dbname=belfry", "dbname=restored")
        run("pg_restore", "--no-owner", "--dbname", restored, str(dump))
        instance = self.d.start_instance("restored", pg=restored)
        beat = {"pcid": pc, "version": VERSION, "platform": "window", "expire": 600, "got": []}
        answer = direct(instance["port"], "POST", "/p/v1/heart", json.dumps(beat).encode())
        self.assertEqual(json.loads(answer)["sync"], waiting)
        info = json.loads(direct(instance["port"], "GET", "/apiv1/ringtone?ringtoneid=%s" % waiting[0]))
        path = info["data"]["download_url"][len(self.d.url):]
        self.assertEqual(direct(instance["port"], "GET", path), original)

    def test_4_limit_shared_by_the_instances(self):
        # The road paired some already; each instance alone would allow PAIR_LIMIT more.
        pc = make_pcid()
        self.d.beat(pc)
        before = [self.d.served(i, "/phone/v1/pair") for i in self.d.instances]
        statuses = [self.d.request("POST", "/phone/v1/pair", {"pcid": pc, "device_id": "limit-%d" % n,
                                                              "device_name": "Phone"})[0]
                    for n in range(2 * PAIR_LIMIT)]
        self.assertLessEqual(statuses.count(200), PAIR_LIMIT, statuses)
        self.assertEqual(statuses[-4:], [429] * 4, statuses)
        for i, served in zip(self.d.instances, before):
            self.assertGreater(self.d.served(i, "/phone/v1/pair"), served, "%s paired none" % i["name"])

    def test_4b_one_admin_token(self):
        old = self.d.admin_token.read_text().strip()
        new = os.urandom(32).hex()
        # nginx takes turns: four requests reach both instances.
        self.assertEqual([self.d.request("GET", "/admin/v1/stats", token=old)[0] for _ in range(4)], [200] * 4)
        self.d.admin_token.write_text(new + "\n")
        for i in self.d.instances:
            i["process"].send_signal(signal.SIGHUP)
            until(10, lambda: "admin token read again" in i["log"].read_text(), "%s kept its token" % i["name"])
        self.assertEqual([self.d.request("GET", "/admin/v1/stats", token=new)[0] for _ in range(4)], [200] * 4)
        self.assertEqual([self.d.request("GET", "/admin/v1/stats", token=old)[0] for _ in range(4)], [401] * 4)

    def test_5_one_instance_killed(self):
        gone = self.d.instances[0]
        phone = self.work / "phone.json"
        self.d.phone(phone, "send", "--pcid", self.pcid, str(REPO / "server/samples/bell.m4r"))
        gone["process"].kill()
        gone["process"].wait()
        before = self.d.served(self.d.instances[1], "/p/v1/heart")
        self.d.phone(phone, "send", "--pcid", self.pcid, str(REPO / "server/samples/knock.m4r"))
        self.page_sends(tune(self.work / "暮鼓.mp3", 6, "-c:a", "libmp3lame"), "暮鼓")
        self.program.arrived(["bell", "knock", "暮鼓"])
        self.assertGreater(self.d.served(self.d.instances[1], "/p/v1/heart"), before)
        self.assertEqual(sorted(p.name for p in self.program.folder.iterdir()),
                         sorted(n + ".m4r" for n in ("晨钟", "chime", "bell", "knock", "暮鼓")))


if __name__ == "__main__":
    missing = [p for p in (CHROMIUM, CHROMEDRIVER) if not os.access(p, os.X_OK)]
    missing += [t for t in ("nginx", "openssl", "ffmpeg", "zbarimg", "import", "pg_dump", "pg_restore", "psql")
                if not shutil.which(t)]
    if not os.environ.get("DISPLAY"):
        missing.append("a display (run it through scripts/deploy-test.sh)")
    if missing:
        print("skip: missing " + ", ".join(missing))
        sys.exit(SKIP)
    unbuilt = [str(BIN / p) for p in ("belfry", "belfry-service", "belfry-phone") if not os.access(BIN / p, os.X_OK)]
    if unbuilt:
        sys.exit("not built: " + ", ".join(unbuilt))
    unittest.main(verbosity=2)
