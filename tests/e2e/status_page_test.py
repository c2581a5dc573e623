#!/usr/bin/env python3
"""The status page in a real browser: headless Chromium loads it from a headless hub that
combines two simulated boxes, and the page's content is read after its scripts ran: both box
rows connected, the combined channels, a trend with points; then one box stops, its row turns
"lost", and the console has shown no error all along.

    status_page_test.py --tessamer PATH --sim PATH [--screenshots FOLDER [--seconds N]]

With --screenshots it takes the README's pictures instead (scripts/screenshot_page.sh): after N
seconds of data, with the second box stopped, the page at laptop and at phone width.

Exit status 0 when every check held, 1 when one failed, 77 (CTest's "skipped") where Chromium is
not installed. Everything runs on 127.0.0.0/8; the hub and the boxes use free ports.
"""

import argparse
import json
import os
import queue
import socket
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import devtools  # noqa: E402

SKIPPED = 77
LAPTOP = (1280, 900)
PHONE = (390, 844)


class Child:
    """A program run by the test: its output lines read on a thread of their own, so that every
    wait for one has a bound; its standard error kept in a file."""

    def __init__(self, args):
        self.errors = tempfile.TemporaryFile(mode="w+")
        self.process = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=self.errors, text=True, bufsize=1)
        self.lines = queue.Queue()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for line in self.process.stdout:
            self.lines.put(line.rstrip("\n"))
        self.lines.put(None)

    def line_starting(self, prefix, timeout=15.0):
        deadline = time.monotonic() + timeout
        while True:
            try:
                line = self.lines.get(timeout=max(0.0, deadline - time.monotonic()))
            except queue.Empty:
                raise TimeoutError(f"no line starting {prefix!r} from {self.process.args[0]}") from None
            if line is None:
                self.errors.seek(0)
                raise RuntimeError(f"{self.process.args[0]} ended: {self.errors.read()}")
            if line.startswith(prefix):
                return line

    def write(self, line):
        self.process.stdin.write(line + "\n")
        self.process.stdin.flush()

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(timeout=10)
        self.reader.join(timeout=10)
        self.errors.close()


def field(line, key):
    for word in line.split():
        if word.startswith(key + "="):
            return int(word[len(key) + 1:])
    raise ValueError(f"no {key}= in {line!r}")


def start_hub(args, log):
    boxes = Child([args.sim, "--boxes", "2", "--address", "127.0.0.2", "--rate", "2"])
    first = boxes.line_starting("box 0 ")
    boxes.line_starting("ready")
    data, utility = field(first, "data"), field(first, "utility")
    hub = Child([args.tessamer, "--headless", "--default-box", "127.0.0.1", "--data-port", "0",
                 "--utility-port", "0", "--log", log, "--box", f"127.0.0.2:{data}", "--box",
                 f"127.0.0.3:{data}", "--box-utility-port", str(utility), "--status-port", "0"])
    listening = hub.line_starting("listening ")
    hub.line_starting("headers-complete")
    return boxes, hub, field(listening, "status"), field(listening, "data")


BOX_STATES = "[...document.querySelectorAll('#boxes tbody tr')].map(r => r.dataset.state)"
PAGE_CONTENT = """JSON.stringify({
  rows: [...document.querySelectorAll('#boxes tbody tr')].map(r => r.innerText),
  states: %s,
  channels: [...document.querySelectorAll('#channels tbody tr')].map(r => r.dataset.name),
  ticked: [...document.querySelectorAll('#channels tbody input:checked')].length,
  points: Number(document.getElementById('trend').dataset.points),
  link: document.getElementById('link').dataset.state,
  run: document.getElementById('run').textContent,
})""" % BOX_STATES


def check(condition, what, failures):
    print(("ok    " if condition else "FAIL  ") + what)
    if not condition:
        failures.append(what)


def test_page(browser, url, boxes):
    failures = []
    browser.navigate(url)
    browser.wait_for(BOX_STATES, lambda s: s == ["connected", "connected"])
    content = json.loads(browser.wait_for(PAGE_CONTENT, lambda c: json.loads(c)["points"] > 0))
    check(len(content["rows"]) == 2, "two box rows", failures)
    check(all("connected" in row for row in content["rows"]), "both rows say connected", failures)
    check(any("127.0.0.2:" in row for row in content["rows"]) and
          any("127.0.0.3:" in row for row in content["rows"]), "the rows name both boxes", failures)
    check({"Pressure_0", "Rate_0", "Pressure_1", "Rate_1"} <= set(content["channels"]),
          "the combined channels with their box tags: %s" % content["channels"], failures)
    check(content["ticked"] == 2, "the first channel of each box ticked", failures)
    check(content["points"] > 0, "the trend has %d points" % content["points"], failures)
    check(content["link"] == "live", "the event stream is live", failures)
    check(content["run"].startswith("Run since "), "the run: " + content["run"], failures)

    boxes.write("refuse 1")  # first: the hub's reconnection finds nothing listening
    boxes.write("drop 1")
    states = browser.wait_for(BOX_STATES, lambda s: len(s) == 2 and s[1] == "lost", timeout=20)
    check(states == ["connected", "lost"], "the stopped box turns lost: %s" % states, failures)
    row = browser.evaluate("document.querySelectorAll('#boxes tbody tr')[1].innerText")
    check("lost" in row, "its row says so in words", failures)
    errors = browser.console_errors()
    check(not errors, "the console shows no error: %s" % errors, failures)
    return failures


def read_as_viewer(port):
    """A viewer of the hub's data port for the pictures: it reads and forgets every line."""
    viewer = socket.create_connection(("127.0.0.1", port), timeout=5)

    def read():
        try:
            while viewer.recv(65536):
                pass
        except OSError:
            pass

    threading.Thread(target=read, daemon=True).start()
    return viewer


def take_pictures(browser, url, boxes, folder, seconds):
    browser.navigate(url)
    browser.wait_for(BOX_STATES, lambda s: s == ["connected", "connected"])
    time.sleep(seconds)  # the trend gathers this much data for the picture
    boxes.write("refuse 1")  # first: the hub's reconnection finds nothing listening
    boxes.write("drop 1")
    browser.wait_for(BOX_STATES, lambda s: len(s) == 2 and s[1] == "lost", timeout=20)
    time.sleep(2)  # a few more records after the loss, so the trend shows it
    browser.screenshot(os.path.join(folder, "status-page.png"), *LAPTOP)
    browser.screenshot(os.path.join(folder, "status-page-phone.png"), *PHONE, mobile=True)
    print("wrote", os.path.join(folder, "status-page.png"), "and status-page-phone.png")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--tessamer", required=True)
    parser.add_argument("--sim", required=True)
    parser.add_argument("--screenshots", help="take the README's pictures into this folder")
    parser.add_argument("--seconds", type=float, default=40, help="data gathered before the pictures")
    args = parser.parse_args()
    chromium = devtools.find_chromium()
    if not chromium:
        print("SKIPPED: chromium is not installed (Debian package chromium)")
        return SKIPPED
    log = tempfile.NamedTemporaryFile(prefix="tessamer-page-log-", delete=False).name
    boxes = hub = None
    try:
        boxes, hub, status, data = start_hub(args, log)
        url = f"http://127.0.0.1:{status}/"
        with devtools.Browser(chromium) as browser:
            if args.screenshots:
                viewer = read_as_viewer(data)
                take_pictures(browser, url, boxes, args.screenshots, args.seconds)
                viewer.close()
                return 0
            failures = test_page(browser, url, boxes)
        return 1 if failures else 0
    finally:
        for child in (hub, boxes):
            if child:
                child.stop()
        os.remove(log)


if __name__ == "__main__":
    sys.exit(main())
