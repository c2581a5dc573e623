"""Headless Chromium driven over its DevTools protocol, with Python's standard library alone.

Chromium is started so that it contacts nothing but loopback: no background networking, no
component or safe-browsing updates, no sync, and a host resolver that knows no name at all (the
page is opened by its 127.0.0.1 address). The DevTools port is chosen by Chromium
(--remote-debugging-port=0) and read from DevToolsActivePort in its own profile folder.

    with Browser() as browser:
        browser.navigate("http://127.0.0.1:8080/")
        browser.wait_for("document.title", lambda title: title != "")
        errors = browser.console_errors()

Every wait is bounded; a browser that does not answer in time raises TimeoutError.
"""

import base64
import json
import os
import shutil
import socket
import struct
import subprocess
import tempfile
import time
import urllib.request

CHROMIUM_FLAGS = [
    "--headless=new", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
    "--no-default-browser-check", "--disable-background-networking", "--disable-component-update",
    "--disable-sync", "--disable-default-apps", "--disable-extensions", "--disable-domain-reliability",
    "--disable-client-side-phishing-detection", "--disable-breakpad", "--metrics-recording-only",
    "--safebrowsing-disable-auto-update", "--password-store=basic", "--use-mock-keychain",
    "--disable-features=Translate,OptimizationHints,MediaRouter,AutofillServerCommunication",
    "--host-resolver-rules=MAP * ~NOTFOUND , EXCLUDE 127.0.0.1",
    "--remote-debugging-address=127.0.0.1", "--remote-debugging-port=0",
]


def find_chromium():
    """The Chromium program, or None where it is not installed."""
    for name in ("chromium", "chromium-browser"):
        path = shutil.which(name)
        if path:
            return path
    return None


class WebSocket:
    """A WebSocket client for one DevTools connection: text messages, pings answered."""

    def __init__(self, url, timeout):
        assert url.startswith("ws://127.0.0.1:"), url
        address, _, path = url[len("ws://"):].partition("/")
        host, _, port = address.partition(":")
        self.sock = socket.create_connection((host, int(port)), timeout=timeout)
        self.pending = b""
        key = base64.b64encode(os.urandom(16)).decode()
        self.sock.sendall((f"GET /{path} HTTP/1.1\r\nHost: {address}\r\nUpgrade: websocket\r\n"
                           f"Connection: Upgrade\r\nSec-WebSocket-Key: {key}\r\n"
                           "Sec-WebSocket-Version: 13\r\n\r\n").encode())
        head = self._read_until(b"\r\n\r\n")
        if b" 101 " not in head.split(b"\r\n", 1)[0]:
            raise ConnectionError("DevTools refused the WebSocket: " + head.decode(errors="replace"))

    def _read_until(self, marker):
        while marker not in self.pending:
            self._fill()
        head, _, self.pending = self.pending.partition(marker)
        return head

    def _read(self, count):
        while len(self.pending) < count:
            self._fill()
        data, self.pending = self.pending[:count], self.pending[count:]
        return data

    def _fill(self):
        chunk = self.sock.recv(65536)
        if not chunk:
            raise ConnectionError("DevTools closed the connection")
        self.pending += chunk

    def _send_frame(self, opcode, payload):
        mask = os.urandom(4)
        size = len(payload)
        if size < 126:
            header = struct.pack("!BB", 0x80 | opcode, 0x80 | size)
        elif size < 65536:
            header = struct.pack("!BBH", 0x80 | opcode, 0x80 | 126, size)
        else:
            header = struct.pack("!BBQ", 0x80 | opcode, 0x80 | 127, size)
        masked = bytes(b ^ mask[i % 4] for i, b in enumerate(payload))
        self.sock.sendall(header + mask + masked)

    def send(self, text):
        self._send_frame(0x1, text.encode())

    def receive(self, timeout):
        """The next text message; raises socket.timeout when none came within `timeout`."""
        self.sock.settimeout(timeout)
        message = b""
        while True:
            first, second = self._read(2)
            size = second & 0x7F
            if size == 126:
                size = struct.unpack("!H", self._read(2))[0]
            elif size == 127:
                size = struct.unpack("!Q", self._read(8))[0]
            mask = self._read(4) if second & 0x80 else None
            payload = self._read(size)
            if mask:
                payload = bytes(b ^ mask[i % 4] for i, b in enumerate(payload))
            opcode = first & 0x0F
            if opcode == 0x9:
                self._send_frame(0xA, payload)
                continue
            if opcode == 0x8:
                raise ConnectionError("DevTools closed the WebSocket")
            if opcode in (0x0, 0x1, 0x2):
                message += payload
                if first & 0x80:
                    return message.decode()

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass


class Browser:
    """One headless Chromium with one page, its console and network messages collected."""

    def __init__(self, chromium=None, start_timeout=30.0):
        self.chromium = chromium or find_chromium()
        self.start_timeout = start_timeout
        self.profile = None
        self.process = None
        self.socket = None
        self.next_id = 0
        self.events = []

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.stop()

    def start(self):
        self.profile = tempfile.mkdtemp(prefix="tessamer-chromium-")
        self.process = subprocess.Popen(
            [self.chromium, *CHROMIUM_FLAGS, f"--user-data-dir={self.profile}", "about:blank"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        port = self._devtools_port()
        deadline = time.monotonic() + self.start_timeout
        url = None
        while url is None:
            with urllib.request.urlopen(f"http://127.0.0.1:{port}/json/list", timeout=5) as answer:
                pages = [t for t in json.load(answer) if t.get("type") == "page"]
            if pages:
                url = pages[0]["webSocketDebuggerUrl"]
            elif time.monotonic() > deadline:
                raise TimeoutError("Chromium opened no page")
            else:
                time.sleep(0.05)
        self.socket = WebSocket(url, timeout=self.start_timeout)
        for domain in ("Runtime", "Log", "Page"):
            self.call(domain + ".enable")

    def _devtools_port(self):
        path = os.path.join(self.profile, "DevToolsActivePort")
        deadline = time.monotonic() + self.start_timeout
        while True:
            if os.path.exists(path):
                with open(path) as file:
                    first = file.readline().strip()
                if first.isdigit():
                    return int(first)
            if self.process.poll() is not None:
                raise RuntimeError(f"Chromium ended at once (status {self.process.returncode})")
            if time.monotonic() > deadline:
                raise TimeoutError("Chromium did not open its DevTools port")
            time.sleep(0.05)

    def call(self, method, params=None, timeout=30.0):
        """Sends one command and returns its result; events that come meanwhile are kept."""
        self.next_id += 1
        ident = self.next_id
        self.socket.send(json.dumps({"id": ident, "method": method, "params": params or {}}))
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError(f"no answer to {method}")
            message = json.loads(self.socket.receive(left))
            if message.get("id") == ident:
                if "error" in message:
                    raise RuntimeError(f"{method}: {message['error']}")
                return message.get("result", {})
            if "method" in message:
                self.events.append(message)

    def evaluate(self, expression, await_promise=False):
        """The value of a JavaScript expression in the page (JSON-able values only); with
        `await_promise`, the value its promise settles with."""
        result = self.call("Runtime.evaluate", {"expression": expression, "returnByValue": True,
                                                "awaitPromise": await_promise})
        if "exceptionDetails" in result:
            raise RuntimeError(f"{expression}: {result['exceptionDetails']}")
        return result["result"].get("value")

    def navigate(self, url):
        assert url.startswith("http://127.0.0.1:"), url
        self.call("Page.navigate", {"url": url})

    def wait_for(self, expression, done, timeout=15.0, period=0.2):
        """Evaluates `expression` until `done(value)` holds; returns the value, or raises
        TimeoutError with the last value."""
        deadline = time.monotonic() + timeout
        while True:
            value = self.evaluate(expression)
            if done(value):
                return value
            if time.monotonic() > deadline:
                raise TimeoutError(f"{expression} stayed {value!r}")
            time.sleep(period)

    def console_errors(self):
        """Every error the page's console showed: console.error calls, uncaught exceptions,
        and the browser's own messages at error level (failed loads, policy violations)."""
        self.evaluate("0")  # collects the events that came before now
        errors = []
        for event in self.events:
            method, params = event["method"], event.get("params", {})
            if method == "Runtime.consoleAPICalled" and params.get("type") in ("error", "assert"):
                errors.append("console: " + " ".join(str(a.get("value", a.get("description", "")))
                                                      for a in params.get("args", [])))
            elif method == "Runtime.exceptionThrown":
                details = params.get("exceptionDetails", {})
                errors.append("exception: " + details.get("exception", {}).get("description",
                                                                               details.get("text", "")))
            elif method == "Log.entryAdded" and params.get("entry", {}).get("level") == "error":
                entry = params["entry"]
                errors.append(f"{entry.get('source')}: {entry.get('text')} {entry.get('url', '')}")
        return errors

    def screenshot(self, path, width, height, mobile=False):
        """A picture of the whole page as it is laid out `width` CSS pixels wide."""
        self.call("Emulation.setDeviceMetricsOverride",
                  {"width": width, "height": height, "deviceScaleFactor": 1, "mobile": mobile})
        # The page lays itself out again and its chart redraws at the new size within two frames.
        self.evaluate("new Promise(done => requestAnimationFrame(() => requestAnimationFrame(done)))",
                      await_promise=True)
        metrics = self.call("Page.getLayoutMetrics")
        size = metrics.get("cssContentSize", metrics.get("contentSize"))
        shot = self.call("Page.captureScreenshot", {
            "format": "png", "captureBeyondViewport": True,
            "clip": {"x": 0, "y": 0, "width": width, "height": max(height, int(size["height"])), "scale": 1}})
        with open(path, "wb") as file:
            file.write(base64.b64decode(shot["data"]))

    def stop(self):
        if self.socket:
            try:
                self.call("Browser.close", timeout=5)
            except (OSError, ConnectionError, TimeoutError, RuntimeError):
                pass
            self.socket.close()
            self.socket = None
        if self.process:
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(timeout=10)
            self.process = None
        if self.profile:
            shutil.rmtree(self.profile, ignore_errors=True)
            self.profile = None
