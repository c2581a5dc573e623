#!/usr/bin/env python3
"""Soak: the real hub and eight simulated boxes under injected faults, checked all along.

    scripts/soak.py --minutes N --seed S [--build DIR] [--hub PROGRAM] [--out DIR] [--json FILE]

Starts `tessamer --headless` (status port; the recording and MQTT when the built program lists
--record / --mqtt and, for MQTT, mosquitto is installed: a broker of the run's own on loopback),
eight `vellumetric-sim` processes (one box each, on 127.0.0.2..9, channel 0 the record's number),
a reference viewer, a reference MQTT subscriber (mosquitto_sub, persistent session, QoS 1), and
injects one fault after another, drawn by the seed. The first pass goes through every kind once,
in an order drawn by the seed, with the hub's SIGKILL first (so the hub's second life is long
enough for the resource check); after it, kinds are drawn at random, the hub's SIGKILL at most
once in five minutes (as a service manager's restart is rare; each hub process is checked for
growth on its own).

Where the machine allows a private network namespace (`unshare -n`, with nft), the whole run lives
in one (loopback only) and a pulled cable is an nft rule that drops one box's packets; elsewhere
that fault is left out and the report says so.

Loss and duplicates are judged by scripts/soak_check.py (its header states the rules). Detection
deadlines: a killed or refused box not connected within 3 s; a hung box or pulled cable silent
within --silent-after + 2 s; noise counted as rejected lines within 3 s; a box connected again
within 3 s of its recovery (a pulled cable: within the connect time-out, 10 s, + 3 s, since TCP
itself backs off its connection attempts while the packets are dropped); a hub restarted or
reloaded serving every box again within 8 s; an idle utility let go within 5 + 2 s; a trickled
utility request reaching its box within 3 s of its last byte; a stopped broker told ("mqtt lost")
within 3 s, and connected to again within 3 s of the attempt the last such line announced.
/status must answer within 1 s at every sample (every 250 ms) while the hub is up. The hub's
descriptors, threads and resident memory are sampled every 10 s; for each hub process that
lives more than two minutes, the least of its last three samples may exceed its first sample
after the first minute by at most 32 descriptors, 4 threads, 32 MiB.

Output: a table by fault kind and the resource curves' start and end, as text and JSON (default
<out>/soak.json); exit status 1 on any loss, duplicate, missed detection, slow /status or growth.
"""

from __future__ import annotations

import argparse
import json
import os
import random
import re
import shutil
import signal
import socket
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request
from datetime import datetime

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import soak_check  # noqa: E402

BOXES = 8
FIRST_BOX = 2  # 127.0.0.2
SILENT_AFTER = 3.0
STATUS_EVERY = 0.25
STATUS_TIMEOUT = 1.0
RESOURCE_EVERY = 10.0
DETECT = 3.0
CABLE_RECOVERY = 10.0 + 3.0
HUB_READY = 8.0
UTILITY_IDLE = 5.0 + 2.0
BOUND_FDS, BOUND_THREADS, BOUND_RSS_KIB = 32, 4, 32 * 1024
RESOURCE_WARMUP = 60.0
RESOURCE_MIN_LIFE = 120.0
HUB_KILL_EVERY = 300.0  # after the first pass, at most one hub SIGKILL in this many seconds
CHANNELS = ("Seq", "Pressure", "Rate")
NETNS_FLAG = "TESSAMER_SOAK_IN_NETNS"

KINDS = ["hub-kill", "box-kill", "box-hang", "box-refuse", "box-noise", "cable", "viewer-stall",
         "viewer-churn", "utility", "command-storm", "broker-stop", "hub-reload"]


def now() -> float:
    return time.time()


def free_port(address: str = "127.0.0.1") -> int:
    with socket.socket() as s:
        s.bind((address, 0))
        return s.getsockname()[1]


def port_free_everywhere(port: int) -> bool:
    for i in range(BOXES):
        with socket.socket() as s:
            try:
                s.bind((f"127.0.0.{FIRST_BOX + i}", port))
            except OSError:
                return False
    return True


def wait_until(predicate, bound: float, step: float = 0.05):
    """Waits for `predicate` with a bound; returns the time it held, or None."""
    end = now() + bound
    while True:
        if predicate():
            return now()
        if now() >= end:
            return None
        time.sleep(step)


class Children:
    """Every process the soak started, ended on every way out."""

    def __init__(self) -> None:
        self.processes = []
        self.lock = threading.Lock()

    def start(self, args, **kw) -> subprocess.Popen:
        process = subprocess.Popen(args, **kw)
        with self.lock:
            self.processes.append(process)
        return process

    def end_all(self) -> None:
        with self.lock:
            processes = list(self.processes)
        for p in processes:
            if p.poll() is None:
                try:
                    p.send_signal(signal.SIGCONT)
                    p.terminate()
                except ProcessLookupError:
                    pass
        for p in processes:
            try:
                p.wait(timeout=5)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()


class LineReader(threading.Thread):
    """Reads a child's output lines, keeps them with their time, and lets others wait for one."""

    def __init__(self, stream, log) -> None:
        super().__init__(daemon=True)
        self.stream, self.log = stream, log
        self.lines = []
        self.cond = threading.Condition()

    def run(self) -> None:
        for raw in self.stream:
            text = raw.decode(errors="replace").rstrip("\r\n")
            with self.cond:
                self.lines.append((now(), text))
                self.cond.notify_all()
            self.log.write(f"{now():.3f} {text}\n")
            self.log.flush()

    def last_between(self, prefix: str, since: float, until: float):
        """The last line starting with `prefix` that came between `since` and `until`, or None."""
        with self.cond:
            found = [(at, text) for at, text in self.lines
                     if since <= at <= until and text.startswith(prefix)]
        return found[-1] if found else None

    def wait_for(self, prefix: str, since: float, bound: float):
        end = now() + bound
        with self.cond:
            while True:
                for at, text in self.lines:
                    if at >= since and text.startswith(prefix):
                        return at, text
                left = end - now()
                if left <= 0:
                    return None
                self.cond.wait(left)


class SimBox:
    def __init__(self, soak, index: int) -> None:
        self.soak, self.index = soak, index
        self.address = f"127.0.0.{FIRST_BOX + index}"
        self.starts = 0
        self.process = None
        self.reader = None

    def start(self) -> bool:
        self.starts += 1
        args = [self.soak.sim, "--boxes", "1", "--address", self.address,
                "--data-port", str(self.soak.box_port),
                "--utility-port", str(self.soak.box_utility),
                "--channels", ",".join(CHANNELS), "--sequence-channel", "0",
                "--sequence-start", str(self.starts * soak_check.EPOCH),
                "--serial", f"VM-{30000 + self.index}"]
        log = open(os.path.join(self.soak.out, f"box{self.index}.log"), "a")
        self.process = self.soak.children.start(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                                stderr=log)
        self.reader = LineReader(self.process.stdout, log)
        self.reader.start()
        return self.reader.wait_for("ready", 0, 5.0) is not None

    def control(self, text: str) -> None:
        self.process.stdin.write((text + "\n").encode())
        self.process.stdin.flush()

    def kill(self) -> None:
        self.process.kill()
        self.process.wait()


class Viewer(threading.Thread):
    """The reference viewer: reads every line, connects again after a hub restart."""

    def __init__(self, soak) -> None:
        super().__init__(daemon=True)
        self.soak = soak
        self.connections = []  # one list of (at, line) per connection
        self.stopping = threading.Event()
        self.lock = threading.Lock()

    def run(self) -> None:
        while not self.stopping.is_set():
            try:
                s = socket.create_connection(("127.0.0.1", self.soak.data_port), timeout=1)
            except OSError:
                self.stopping.wait(0.1)  # the hub is starting again: try once more shortly
                continue
            received = []
            with self.lock:
                self.connections.append(received)
            s.settimeout(0.5)
            pending = b""
            while not self.stopping.is_set():
                try:
                    data = s.recv(65536)
                except socket.timeout:
                    continue
                except OSError:
                    break
                if not data:
                    break
                pending += data
                *whole, pending = pending.split(b"\n")
                at = now()
                with self.lock:
                    received.extend((at, w.decode("latin-1").rstrip("\r")) for w in whole)
            s.close()

    def header_count(self) -> int:
        with self.lock:
            return sum(1 for c in self.connections for _, t in c
                       if t.startswith("#") and not t.startswith("# ") and not t.startswith("##"))


class StatusPoller(threading.Thread):
    def __init__(self, soak) -> None:
        super().__init__(daemon=True)
        self.soak = soak
        self.latest = None
        self.latest_at = 0.0
        self.samples = []  # (at, latency or None, run_key)
        self.slow = []  # (at, why)
        self.health = soak_check.Health()
        self.runs = []  # (at, run_key) when a run was first seen
        self.stopping = threading.Event()
        self.cond = threading.Condition()

    def fetch(self):
        url = f"http://127.0.0.1:{self.soak.status_port}/status"
        started = now()
        try:
            with urllib.request.urlopen(url, timeout=STATUS_TIMEOUT) as response:
                body = json.loads(response.read())
            return body, now() - started, None
        except Exception as error:  # noqa: BLE001 - any failure is a failed sample
            return None, now() - started, str(error)

    def sample(self) -> None:
        hub_up = self.soak.hub_up.is_set()
        body, latency, error = self.fetch()
        at = now()
        if not hub_up or not self.soak.hub_up.is_set():
            return  # the hub is (or was meanwhile) being restarted on purpose
        if body is None or latency > STATUS_TIMEOUT:
            self.slow.append((at, error or f"{latency:.3f} s"))
            return
        run_key = f"{self.soak.hub.pid}/{body['run'].get('startedAt')}"
        if not self.runs or self.runs[-1][1] != run_key:
            self.runs.append((at, run_key))
        self.health.add(run_key, at,
                        {b["agent"]: (b.get("connections", 0), b.get("replacedRecords", 0))
                         for b in body.get("boxes", [])})
        self.samples.append((at, latency, run_key))
        with self.cond:
            self.latest, self.latest_at = body, at
            self.cond.notify_all()

    def run(self) -> None:
        while not self.stopping.is_set():
            started = now()
            self.sample()
            self.stopping.wait(max(0.0, STATUS_EVERY - (now() - started)))

    def run_key_at(self, at: float) -> str:
        key = self.runs[0][1] if self.runs else ""
        for when, run_key in self.runs:
            if when <= at + 0.5:  # a run's lines may come a moment before its first sample
                key = run_key
        return key

    def wait_for(self, predicate, since: float, bound: float):
        """The time of the first sample after `since` that satisfies `predicate`, or None."""
        end = now() + bound
        with self.cond:
            while True:
                if self.latest is not None and self.latest_at >= since and predicate(self.latest):
                    return self.latest_at
                left = end - now()
                if left <= 0:
                    return None
                self.cond.wait(left)


def box_state(body, index: int) -> str:
    for box in body.get("boxes", []):
        if box.get("agent") == index:
            return box.get("state", "")
    return ""


def box_field(body, index: int, field: str):
    for box in body.get("boxes", []):
        if box.get("agent") == index:
            return box.get(field)
    return None


AWAY = ("lost", "connecting", "failed")


class Soak:
    def __init__(self, options) -> None:
        self.options = options
        self.rng = random.Random(options.seed)
        build = os.path.abspath(options.build)
        self.hub_program = options.hub or os.path.join(build, "src/app/tessamer")
        self.sim = os.path.join(build, "tools/vellumetric-sim/vellumetric-sim")
        self.out = options.out or tempfile.mkdtemp(prefix="tessamer-soak-")
        os.makedirs(self.out, exist_ok=True)
        self.children = Children()
        self.hub = None
        self.hub_reader = None
        self.hub_up = threading.Event()
        self.hub_lives = []  # one dict per hub process: pid, started, resource samples
        self.faults = []
        self.channel_limit = 3
        self.netns = os.environ.get(NETNS_FLAG) == "1"
        self.left_out = {}
        self.broker = None

    # ---- programs -------------------------------------------------------------------------------
    def choose_ports(self) -> None:
        self.data_port, self.utility_port = free_port(), free_port()
        self.status_port = free_port()
        while True:
            self.box_port, self.box_utility = free_port("127.0.0.2"), free_port("127.0.0.2")
            if port_free_everywhere(self.box_port) and port_free_everywhere(self.box_utility):
                break
        self.mqtt_port = free_port()

    def write_config(self) -> None:
        lines = [f"box = 127.0.0.{FIRST_BOX + i}:{self.box_port}" for i in range(BOXES)]
        lines += [f"channels = {self.channel_limit}", "default-box = 127.0.0.2",
                  "listen = 127.0.0.1", f"data-port = {self.data_port}",
                  f"utility-port = {self.utility_port}", f"box-utility-port = {self.box_utility}",
                  f"status-port = {self.status_port}", f"silent-after = {SILENT_AFTER}",
                  "keep-trying = 0.5", f"log = {os.path.join(self.out, 'tessamer-log.txt')}"]
        with open(self.config, "w") as f:
            f.write("\n".join(lines) + "\n")

    def probe_sinks(self) -> None:
        text = subprocess.run([self.hub_program, "--help"], capture_output=True, text=True).stdout
        self.record = "--record" in text
        self.mqtt = "--mqtt" in text and shutil.which("mosquitto") and shutil.which("mosquitto_sub")
        if not self.record:
            self.left_out["recording sink"] = "the built tessamer has no --record option"
        if not self.mqtt:
            self.left_out["MQTT sink, broker-stop"] = (
                "the built tessamer has no --mqtt option" if "--mqtt" not in text
                else "mosquitto or mosquitto_sub is not installed")
        if not self.netns:
            self.left_out["cable"] = "no private network namespace (unshare -n with nft) here"

    def hub_args(self):
        args = [self.hub_program, "--headless", "--config", self.config,
                "--default-box", "127.0.0.2"]  # box 0: "##" commands reach a box
        if self.record:
            args += ["--record", os.path.join(self.out, "recording.sqlite")]
        if self.mqtt:
            args += ["--mqtt", f"mqtt://127.0.0.1:{self.mqtt_port}", "--mqtt-topic", "soak"]
        return args

    def start_hub(self) -> bool:
        log = open(os.path.join(self.out, "hub.out"), "a")
        started = now()
        self.hub = self.children.start(self.hub_args(), stdout=subprocess.PIPE,
                                       stderr=subprocess.STDOUT)
        self.hub_reader = LineReader(self.hub.stdout, log)
        self.hub_reader.start()
        self.hub_lives.append({"pid": self.hub.pid, "started": started, "samples": []})
        if self.hub_reader.wait_for("listening", started, 5.0) is None:
            return False
        self.hub_up.set()
        return True

    def kill_hub(self) -> None:
        self.hub_up.clear()
        self.hub.kill()
        self.hub.wait()

    def start_broker(self) -> None:
        folder = os.path.join(self.out, "broker")
        os.makedirs(folder, exist_ok=True)
        # Started as root, Mosquitto drops to its own user: without room for it here it keeps no
        # persistence, and a stop loses the subscriber's session with what was queued for it.
        os.chmod(folder, 0o777)
        config = os.path.join(folder, "mosquitto.conf")
        with open(config, "w") as f:
            f.write(f"listener {self.mqtt_port} 127.0.0.1\nallow_anonymous true\n"
                    f"persistence true\npersistence_location {folder}/\n"
                    f"log_dest file {folder}/mosquitto.log\n")
        self.broker = self.children.start(["mosquitto", "-c", config], stdout=subprocess.DEVNULL,
                                          stderr=subprocess.DEVNULL)
        wait_until(lambda: self._connects(self.mqtt_port), 5.0)

    @staticmethod
    def _connects(port: int) -> bool:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=0.5).close()
            return True
        except OSError:
            return False

    def start_subscriber(self) -> None:
        path = os.path.join(self.out, "mqtt.txt")
        self.mqtt_out = open(path, "ab")
        # Persistent session (-c -i), QoS 1: what the broker queued while we were away comes later.
        self.subscriber = self.children.start(
            ["mosquitto_sub", "-h", "127.0.0.1", "-p", str(self.mqtt_port), "-c", "-i",
             "tessamer-soak-ref", "-q", "1", "-t", "soak/data", "-F", "%p"],
            stdout=self.mqtt_out, stderr=subprocess.DEVNULL)

    # ---- resources ------------------------------------------------------------------------------
    def sample_resources(self) -> None:
        life = self.hub_lives[-1] if self.hub_lives else None
        if life is None or self.hub.poll() is not None or not self.hub_up.is_set():
            return
        pid = life["pid"]
        try:
            fds = len(os.listdir(f"/proc/{pid}/fd"))
            fields = dict(line.split(":", 1) for line in open(f"/proc/{pid}/status"))
            threads = int(fields["Threads"])
            rss = int(fields["VmRSS"].split()[0])
        except (OSError, KeyError, ValueError):
            return
        life["samples"].append((now() - life["started"], fds, threads, rss))

    # ---- faults ---------------------------------------------------------------------------------
    def fault(self, kind: str, target: str, injected: float) -> dict:
        record = {"kind": kind, "target": target, "injected": injected, "detected": None,
                  "recovered": None, "back": None, "missed": [], "window": [injected, None]}
        self.faults.append(record)
        return record

    def expect(self, record, what: str, since: float, bound: float, predicate, key: str) -> None:
        at = self.status.wait_for(predicate, since, bound)
        if at is None:
            record["missed"].append(f"{what} not shown within {bound:.1f} s")
        else:
            record[key] = at - since

    def hold(self, low: float, high: float, sleep: bool = True) -> float:
        seconds = self.rng.uniform(low, high) if not self.short_pass else low
        if sleep:
            time.sleep(seconds)  # the fault's own length: pacing by time is the point here
        return seconds

    def box_target(self) -> SimBox:
        return self.boxes[self.rng.randrange(BOXES)]

    def fault_hub_kill(self, r) -> None:
        self.status.sample()  # the hub's counts as near to its end as we can read them
        self.kill_hub()
        if not self.start_hub():
            r["missed"].append("the hub did not listen again within 5 s")
            return
        r["recovered"] = now()
        self.expect(r, "every box connected", r["recovered"], HUB_READY,
                    lambda b: all(box_state(b, i) == "connected" for i in range(BOXES)), "back")

    def fault_box_kill(self, r, box: SimBox) -> None:
        box.kill()
        self.expect(r, "box away", r["injected"], DETECT,
                    lambda b: box_state(b, box.index) in AWAY, "detected")
        self.hold(1, 3)
        if not box.start():
            r["missed"].append("the box did not start again")
        r["recovered"] = now()
        self.expect(r, "box connected", r["recovered"], DETECT,
                    lambda b: box_state(b, box.index) == "connected", "back")

    def fault_box_hang(self, r, box: SimBox) -> None:
        box.process.send_signal(signal.SIGSTOP)
        self.expect(r, "box silent", r["injected"], SILENT_AFTER + 2,
                    lambda b: box_state(b, box.index) in ("silent",) + AWAY, "detected")
        self.hold(max(0, 5 - (now() - r["injected"])), 40 - (now() - r["injected"]))
        box.process.send_signal(signal.SIGCONT)
        r["recovered"] = now()
        self.expect(r, "box connected", r["recovered"], DETECT,
                    lambda b: box_state(b, box.index) == "connected", "back")

    def fault_box_refuse(self, r, box: SimBox) -> None:
        box.control(f"refuse 0")
        box.control(f"drop 0")
        self.expect(r, "box lost", r["injected"], DETECT,
                    lambda b: box_state(b, box.index) in AWAY, "detected")
        self.hold(max(0, 5 - (now() - r["injected"])), 30 - (now() - r["injected"]))
        box.control("accept 0")
        r["recovered"] = now()
        self.expect(r, "box connected", r["recovered"], DETECT,
                    lambda b: box_state(b, box.index) == "connected", "back")

    def fault_box_noise(self, r, box: SimBox) -> None:
        before = box_field(self.status.latest, box.index, "rejectedLines") or 0
        box.control("noise 0")
        self.expect(r, "rejected lines", r["injected"], DETECT,
                    lambda b: (box_field(b, box.index, "rejectedLines") or 0) > before, "detected")
        self.hold(5, 20)
        box.control("clean 0")
        r["recovered"] = now()
        if box_state(self.status.latest, box.index) != "connected":
            r["missed"].append("a box sending noise was not connected")

    def nft(self, *args) -> None:
        subprocess.run(["nft", *args], check=True)

    def fault_cable(self, r, box: SimBox) -> None:
        rule = (f"ip saddr {box.address} drop", f"ip daddr {box.address} drop")
        self.nft("add", "table", "inet", "soak")
        self.nft("add", "chain", "inet", "soak", "out", "{ type filter hook output priority 0 ; }")
        for text in rule:
            self.nft("add", "rule", "inet", "soak", "out", *text.split())
        try:
            self.expect(r, "box silent", r["injected"], SILENT_AFTER + 2,
                        lambda b: box_state(b, box.index) in ("silent",) + AWAY, "detected")
            self.hold(max(0, 5 - (now() - r["injected"])), 40 - (now() - r["injected"]))
        finally:
            self.nft("delete", "table", "inet", "soak")
        r["recovered"] = now()
        self.expect(r, "box connected", r["recovered"], CABLE_RECOVERY,
                    lambda b: box_state(b, box.index) == "connected", "back")

    def fault_viewer_stall(self, r) -> None:
        s = socket.socket()
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        s.connect(("127.0.0.1", self.data_port))
        try:
            self.expect(r, "the stalled viewer", r["injected"], DETECT,
                        lambda b: sum(1 for v in b.get("viewers", []) if v.get("connected")) >= 2,
                        "detected")
            self.hold(5, 40)
        finally:
            s.close()
        r["recovered"] = now()

    def fault_viewer_churn(self, r) -> None:
        sockets, failures = [], 0
        for _ in range(50):
            try:
                sockets.append(socket.create_connection(("127.0.0.1", self.data_port), timeout=3))
            except OSError:
                failures += 1
        for s in sockets:
            try:
                s.settimeout(3)
                if not s.recv(1).startswith(b"#"):
                    failures += 1
            except OSError:
                failures += 1
            s.close()
        r["recovered"] = now()
        if failures:
            r["missed"].append(f"{failures} of 50 viewers got no header block")
        else:
            r["detected"] = r["recovered"] - r["injected"]

    def fault_utility(self, r) -> None:
        idle = socket.create_connection(("127.0.0.1", self.utility_port), timeout=1)
        trickle = socket.create_connection(("127.0.0.1", self.utility_port), timeout=1)
        try:
            request = b"GA 1\r\n"  # channel 1 is always box 0's
            for i in range(len(request)):
                if i:
                    time.sleep(0.5)  # the trickle's pace
                trickle.send(request[i:i + 1])
            if self.boxes[0].reader.wait_for("command box=0", r["injected"], DETECT) is None:
                r["missed"].append("the trickled request did not reach its box within 3 s")
            else:
                r["detected"] = now() - r["injected"]
            idle.settimeout(UTILITY_IDLE + 1)
            try:
                while idle.recv(4096):
                    pass  # a banner or whatever comes before the hub lets it go
                if now() - r["injected"] > UTILITY_IDLE + 3:
                    r["missed"].append("the idle utility was kept too long")
            except socket.timeout:
                r["missed"].append(f"the idle utility was not let go within {UTILITY_IDLE:.0f} s")
        finally:
            idle.close()
            trickle.close()
        r["recovered"] = now()

    def fault_command_storm(self, r) -> None:
        """500 "##" commands at once from one viewer. They go to the default box, box 0: at
        least one must come back answered within 3 s (the rest may be refused as too many)."""
        s = socket.create_connection(("127.0.0.1", self.data_port), timeout=3)
        try:
            s.sendall(b"".join(b"##GA %d\r\n" % (i % 5) for i in range(500)))
            end = now() + self.hold(3, 8, sleep=False)
            received = b""
            while now() < end:
                s.settimeout(max(0.05, end - now()))
                try:
                    chunk = s.recv(65536)
                except socket.timeout:
                    continue
                if not chunk:
                    break
                received += chunk
                if r["detected"] is None and b"\n## DCC OK_OT " in received:
                    r["detected"] = now() - r["injected"]
                received = received[received.rfind(b"\n"):]  # the last partial line is enough
            if r["detected"] is None or r["detected"] > DETECT:
                r["missed"].append("no answered box command within 3 s")
        finally:
            s.close()
        r["recovered"] = now()

    def fault_broker_stop(self, r) -> None:
        """The broker stops for 5-30 s. The hub must say so ("mqtt lost") within 3 s, and be
        connected again within 3 s of the attempt its last "mqtt lost" line announced."""
        self.broker.terminate()
        self.broker.wait()
        lost = self.hub_reader.wait_for("mqtt lost", r["injected"], DETECT)
        if lost is None:
            r["missed"].append("no mqtt lost line within 3 s")
        else:
            r["detected"] = lost[0] - r["injected"]
        self.hold(5, 30)
        restarted = now()
        self.start_broker()
        r["recovered"] = now()
        retry_at = r["recovered"]
        last = self.hub_reader.last_between("mqtt lost", r["injected"], r["recovered"])
        retry = re.search(r"retry-in=([0-9.]+)", last[1]) if last else None
        if retry:
            retry_at = max(retry_at, last[0] + float(retry.group(1)))
        connected = self.hub_reader.wait_for("mqtt connected", restarted,
                                             retry_at - now() + DETECT)
        if connected is None:
            r["missed"].append("not connected to the broker within 3 s of the announced retry")
        else:
            r["back"] = connected[0] - restarted

    def fault_hub_reload(self, r) -> None:
        self.channel_limit = 2 if self.channel_limit == 3 else 3
        self.write_config()
        headers = self.viewer.header_count()
        self.hub.send_signal(signal.SIGHUP)
        if self.hub_reader.wait_for("reload restart", r["injected"], DETECT) is None:
            r["missed"].append("no reload restart line within 3 s")
        r["recovered"] = now()
        if wait_until(lambda: self.viewer.header_count() > headers, HUB_READY) is None:
            r["missed"].append("the viewer got no new header")
        self.expect(r, "every box connected", r["injected"], HUB_READY,
                    lambda b: all(box_state(b, i) == "connected" for i in range(BOXES)), "back")

    def available(self, kind: str) -> bool:
        return not (kind == "cable" and not self.netns) and \
            not (kind == "broker-stop" and not self.mqtt)

    def inject(self, kind: str) -> None:
        box = self.box_target() if kind.startswith("box") or kind == "cable" else None
        r = self.fault(kind, box.address if box else "", now())
        handler = getattr(self, "fault_" + kind.replace("-", "_"))
        handler(r, box) if box else handler(r)
        r["window"][1] = now()
        if r["missed"]:
            print(f"  {kind} {r['target']}: MISSED {'; '.join(r['missed'])}", flush=True)

    # ---- the run --------------------------------------------------------------------------------
    def run(self) -> int:
        self.config = os.path.join(self.out, "tessamer.conf")
        self.choose_ports()
        self.probe_sinks()
        self.write_config()
        if self.mqtt:
            self.start_broker()
            self.start_subscriber()
        self.boxes = [SimBox(self, i) for i in range(BOXES)]
        for box in self.boxes:
            if not box.start():
                raise RuntimeError(f"box {box.index} did not start")
        if not self.start_hub():
            raise RuntimeError("the hub did not start listening")
        self.status = StatusPoller(self)
        self.status.start()
        self.viewer = Viewer(self)
        self.viewer.start()
        if self.status.wait_for(lambda b: all(box_state(b, i) == "connected" for i in range(BOXES)),
                                0, 10.0) is None:
            raise RuntimeError("the boxes did not all connect within 10 s")
        self.started = now()
        end = self.started + self.options.minutes * 60
        first_pass = [k for k in KINDS if self.available(k) and k != "hub-kill"]
        self.rng.shuffle(first_pass)
        queue = ["hub-kill"] + first_pass
        next_resources = now()
        print(f"soak: {self.options.minutes} min, seed {self.options.seed}, folder {self.out}",
              flush=True)
        while now() < end:
            if now() >= next_resources:
                self.sample_resources()
                next_resources = now() + RESOURCE_EVERY
            self.short_pass = bool(queue) and self.options.minutes <= 5
            kind = queue.pop(0) if queue else self.rng.choice(
                [k for k in KINDS if self.available(k)
                 and (k != "hub-kill" or now() - self.hub_lives[-1]["started"] >= HUB_KILL_EVERY)])
            print(f"{now() - self.started:7.1f} s  {kind}", flush=True)
            self.inject(kind)
            self.sample_resources()
            pause_end = now() + self.rng.uniform(2, 5)
            while now() < pause_end:  # between faults the records flow undisturbed
                time.sleep(0.1)
                if now() >= next_resources:
                    self.sample_resources()
                    next_resources = now() + RESOURCE_EVERY
        if queue:
            self.left_out["kinds not reached"] = ", ".join(queue)
        self.status.wait_for(lambda b: all(box_state(b, i) == "connected" for i in range(BOXES)),
                             now(), HUB_READY)
        settle_since = now()  # a few more records after the last fault, and samples after them
        wait_until(lambda: len(self.status.samples) and
                   self.status.samples[-1][0] > settle_since + 2.5, 5.0)
        self.sample_resources()
        self.status.sample()
        self.finished = now()
        return 0

    def stop(self) -> None:
        for thread in ("status", "viewer"):
            if hasattr(self, thread):
                getattr(self, thread).stopping.set()
        self.hub_up.clear()
        self.children.end_all()
        if hasattr(self, "viewer"):
            self.viewer.join(2)

    # ---- the verdict ----------------------------------------------------------------------------
    def fault_at(self, at: float) -> str:
        for r in reversed(self.faults):
            if r["injected"] <= at <= (r["window"][1] or at) + 10:
                return r["kind"]
        return "between faults"

    def sink_results(self) -> dict:
        where = lambda at: f"(at {at - self.started:.1f} s, {self.fault_at(at)})"  # noqa: E731
        results = {}
        with self.viewer.lock:
            connections = [list(c) for c in self.viewer.connections]
        with open(os.path.join(self.out, "viewer.txt"), "w", encoding="latin-1") as f:
            for number, received in enumerate(connections):
                f.writelines(f"{number} {at:.3f} {text}\n" for at, text in received)
        segments = soak_check.viewer_segments(connections, self.status.run_key_at)
        results["viewer"] = soak_check.check_segments(segments, self.status.health, where)
        if self.record:
            results["recording"] = soak_check.check_segments(self.recording_segments(),
                                                             self.status.health, where)
        if self.mqtt:
            results["mqtt"] = soak_check.check_segments(self.mqtt_segments(), self.status.health,
                                                        where)
        return results

    @staticmethod
    def iso_time(text: str) -> float:
        return datetime.fromisoformat(text.replace("Z", "+00:00")).timestamp()

    def recording_segments(self) -> list:
        db = sqlite3.connect(os.path.join(self.out, "recording.sqlite"))
        names = {hid: [c["name"] for c in json.loads(ch)]
                 for hid, ch in db.execute("SELECT header_id, channels FROM headers")}
        segments, key = [], None
        for run, header, received, values in db.execute(
                'SELECT run_id, header_id, received_at, "values" FROM records ORDER BY seq'):
            at = self.iso_time(received)
            if (run, header) != key:
                key = (run, header)
                segments.append(soak_check.Segment(f"recording run {run} header {header}",
                                                   self.status.run_key_at(at), [], False))
            numbers = soak_check.named_numbers(dict(zip(names.get(header, []), json.loads(values))))
            segments[-1].lines.append(soak_check.Line(at, numbers))
        db.close()
        return segments

    def mqtt_segments(self) -> list:
        self.mqtt_out.flush()
        segments, key, seen = [], None, set()
        self.mqtt_redelivered = 0
        with open(os.path.join(self.out, "mqtt.txt"), "rb") as f:
            for raw in f:
                try:
                    payload = json.loads(raw)
                except ValueError:
                    continue
                if payload["seq"] in seen:  # QoS 1 is at least once: the same record again
                    self.mqtt_redelivered += 1
                    continue
                seen.add(payload["seq"])
                at = self.iso_time(payload["received_at"])
                if (payload["run"], payload["header"]) != key:
                    key = (payload["run"], payload["header"])
                    segments.append(soak_check.Segment(f"mqtt run {key[0]} header {key[1]}",
                                                       self.status.run_key_at(at), [], False))
                segments[-1].lines.append(
                    soak_check.Line(at, soak_check.named_numbers(payload["values"])))
        return segments

    def resource_verdict(self) -> list:
        curves = []
        for life in self.hub_lives:
            samples = life["samples"]
            after = [s for s in samples if s[0] >= RESOURCE_WARMUP]
            entry = {"pid": life["pid"], "samples": len(samples),
                     "start": samples[0][1:] if samples else None,
                     "end": samples[-1][1:] if samples else None, "checked": False, "growth": None}
            if samples and samples[-1][0] >= RESOURCE_MIN_LIFE and len(after) >= 4:
                base, tail = after[0], after[-3:]
                growth = tuple(min(s[i] for s in tail) - base[i] for i in (1, 2, 3))
                entry.update(checked=True, base=base[1:], growth=growth,
                             over=growth[0] > BOUND_FDS or growth[1] > BOUND_THREADS
                             or growth[2] > BOUND_RSS_KIB)
            curves.append(entry)
        return curves

    def report(self) -> int:
        sinks = self.sink_results()
        table = {}
        for r in self.faults:
            row = table.setdefault(r["kind"], {"count": 0, "detect": [], "back": [], "missed": 0})
            row["count"] += 1
            if r["detected"] is not None:
                row["detect"].append(r["detected"] if r["detected"] < 1e6 else 0)
            if r["back"] is not None:
                row["back"].append(r["back"])
            row["missed"] += len(r["missed"])
        per_kind_findings = {}
        for sink, result in sinks.items():
            for finding in result.findings:
                kind = self.fault_at(finding.at)
                per_kind_findings.setdefault((kind, sink, finding.kind), 0)
                per_kind_findings[(kind, sink, finding.kind)] += finding.count

        def pct(values, p):
            if not values:
                return "-"
            values = sorted(values)
            return f"{values[min(len(values) - 1, int(p * len(values)))]:.2f}"

        lines = [f"soak: {self.options.minutes} min, seed {self.options.seed}, "
                 f"{len(self.faults)} faults, {self.finished - self.started:.0f} s, "
                 f"sinks: {', '.join(sinks)}", "",
                 f"{'fault':14} {'count':>5} {'detect p50':>10} {'p99':>6} {'back p50':>8} "
                 f"{'p99':>6} {'missed':>6}  lost/dup per sink"]
        for kind in KINDS + ["between faults"]:
            row = table.get(kind)
            found = lambda s, what: per_kind_findings.get((kind, s, what), 0)  # noqa: E731
            losses = " ".join(f"{s}:{found(s, 'lost')}/{found(s, 'duplicate') + found(s, 'order')}"
                              for s in sinks)
            if row is None:
                if kind == "between faults":
                    lines.append(f"{kind:14} {'':46}  {losses}")
                continue
            lines.append(f"{kind:14} {row['count']:5} {pct(row['detect'], .5):>10} "
                         f"{pct(row['detect'], .99):>6} {pct(row['back'], .5):>8} "
                         f"{pct(row['back'], .99):>6} {row['missed']:6}  {losses}")
        lines.append("")
        for sink, result in sinks.items():
            counts = ", ".join(f"{k} {v}" for k, v in sorted(result.counts.items()))
            lines.append(f"{sink}: {counts}")
        if self.mqtt:
            lines.append(f"mqtt: redelivered (QoS 1, same seq) {self.mqtt_redelivered}")
        latencies = [s[1] for s in self.status.samples]
        lines.append(f"/status: {len(latencies)} samples, p50 {pct(latencies, .5)} s, "
                     f"max {max(latencies):.3f} s, failed or slow {len(self.status.slow)}")
        curves = self.resource_verdict()
        for c in curves:
            lines.append(f"hub pid {c['pid']}: {c['samples']} samples, start (fds, threads, "
                         f"RSS KiB) {c['start']}, end {c['end']}"
                         + (f", growth after the first minute {c['growth']}"
                            f"{' OVER THE BOUND' if c['over'] else ''}" if c["checked"]
                            else ", lived too short for the growth check"))
        for what, why in self.left_out.items():
            lines.append(f"left out: {what}: {why}")
        findings = [f for result in sinks.values() for f in result.findings]
        for sink, result in sinks.items():
            for f in result.findings[:20]:
                lines.append(f"{sink} {f.kind.upper()} box {f.box}: {f.detail}")
        for r in self.faults:
            for m in r["missed"]:
                lines.append(f"MISSED {r['kind']} {r['target']} at "
                             f"{r['injected'] - self.started:.1f} s: {m}")
        for at, why in self.status.slow[:20]:
            lines.append(f"SLOW /status at {at - self.started:.1f} s: {why}")
        growth = any(c.get("over") for c in curves)
        failed = bool(findings) or any(r["missed"] for r in self.faults) or \
            bool(self.status.slow) or growth
        lines.append("soak " + ("FAILED" if failed else "passed"))
        text = "\n".join(lines)
        print(text)
        with open(os.path.join(self.out, "soak.txt"), "w") as f:
            f.write(text + "\n")
        document = {
            "minutes": self.options.minutes, "seed": self.options.seed, "passed": not failed,
            "sinks": {s: {"counts": r.counts, "findings": [vars(f) for f in r.findings]}
                      for s, r in sinks.items()},
            "faults": {k: {"count": v["count"], "detect": v["detect"], "back": v["back"],
                           "missed": v["missed"]} for k, v in table.items()},
            "fault_log": [{**r, "injected": r["injected"] - self.started,
                           "window": [w - self.started if w else None for w in r["window"]],
                           "recovered": r["recovered"] - self.started if r["recovered"] else None}
                          for r in self.faults],
            "status": {"samples": len(latencies), "slow": self.status.slow},
            "resources": curves, "left_out": self.left_out,
        }
        with open(self.options.json or os.path.join(self.out, "soak.json"), "w") as f:
            json.dump(document, f, indent=1)
        return 1 if failed else 0


def enter_private_network() -> None:
    """Runs this script again in a network namespace of its own, where the machine allows it."""
    if os.environ.get(NETNS_FLAG) is not None or not shutil.which("unshare") or \
            not shutil.which("nft"):
        return
    probe = subprocess.run(["unshare", "-n", "sh", "-c", "ip link set lo up && nft list tables"],
                           capture_output=True)
    if probe.returncode != 0:
        os.environ[NETNS_FLAG] = "0"
        return
    os.environ[NETNS_FLAG] = "1"
    script = ("ip link set lo up && exec " + " ".join(
        map(lambda a: "'" + a.replace("'", "'\\''") + "'", [sys.executable] + sys.argv)))
    os.execvp("unshare", ["unshare", "-n", "sh", "-c", script])


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--minutes", type=float, default=3)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--build", default=os.path.join(os.path.dirname(__file__), "..", "build"))
    parser.add_argument("--hub", help="the hub program (default: <build>/src/app/tessamer)")
    parser.add_argument("--out", help="the run's folder (default: a new temporary folder)")
    parser.add_argument("--json", help="the JSON report (default: <out>/soak.json)")
    parser.add_argument("--no-netns", action="store_true", help="never use a network namespace")
    options = parser.parse_args()
    if options.no_netns:
        os.environ.setdefault(NETNS_FLAG, "0")
    enter_private_network()
    soak = Soak(options)

    def on_signal(number, _frame):
        raise KeyboardInterrupt(f"signal {number}")

    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGHUP, on_signal)
    try:
        soak.run()
        soak.stop()
        return soak.report()
    except KeyboardInterrupt:
        print("soak: interrupted", file=sys.stderr)
        return 130
    except Exception as error:  # noqa: BLE001 - told, and every child still ends
        print(f"soak: {error}", file=sys.stderr)
        return 1
    finally:
        soak.stop()


if __name__ == "__main__":
    sys.exit(main())
