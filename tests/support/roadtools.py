"""What the Python tests of the whole road share: running a command, waiting
for something to happen, and reading the program's client id off the screen."""

import pathlib
import re
import subprocess
import time

REPO = pathlib.Path(__file__).resolve().parent.parent.parent
# The client id as the program makes it, and so as its QR code holds it.
CLIENT_ID = re.compile(r"^[0-9a-f]{8}-[0-9a-f]{4}-R[0-9a-f]{3}-[0-9a-f]{4}-[0-9a-f]{12}$")


def run(*command, **kwargs):
    return subprocess.run(command, check=True, stdout=subprocess.PIPE, stderr=subprocess.PIPE, **kwargs).stdout


def until(seconds, check, what):
    """Polls `check` until it returns something true; fails saying `what`."""
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        found = check()
        if found:
            return found
        time.sleep(0.1)
    raise AssertionError(what)


def client_id_on_screen(picture):
    """The client id in the QR code the program shows, once the screen shows
    it; `picture` keeps the screen as it was then."""
    def shown():
        subprocess.run(["import", "-window", "root", str(picture)], stderr=subprocess.DEVNULL)
        read = subprocess.run(["zbarimg", "-q", "--raw", str(picture)], stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL).stdout.decode()
        ids = [line for line in read.split() if CLIENT_ID.match(line)]
        return ids[0] if ids else None
    return until(60, shown, "no client id QR code appeared on the screen")
