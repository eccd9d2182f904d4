"""A running heron with the MQTT broker enabled, in a throw-away copy of the
built tree, for the broker's integration tests."""
import json
import os
import random
import shutil
import signal
import socket
import subprocess
import tempfile
import time

DIST = os.environ.get("OSPREY_DIST", os.path.join(os.path.dirname(__file__), "../../build/test/dist"))


def auth_key():
    # The first bytes of the broker's scrambling key (a fixed xorshift32 sequence).
    state, key = 0x5EED1E55, []
    for _ in range(4):
        state ^= (state << 13) & 0xFFFFFFFF
        state ^= state >> 17
        state ^= (state << 5) & 0xFFFFFFFF
        key.append(state >> 24)
    return key


def scramble(data: bytes) -> bytes:
    key = auth_key()
    return bytes(b ^ key[i % 4] for i, b in enumerate(data))


def wait_for(fn, timeout=10):
    """Polls fn until it returns something true or the time is up; returns its last value."""
    deadline = time.time() + timeout
    while time.time() < deadline:
        value = fn()
        if value:
            return value
        time.sleep(0.02)
    return fn()


def _ports_outside_ephemeral_range():
    # Ports the kernel hands out for bind(0) and outgoing connections come from
    # this range: a port picked from it can be taken again before heron binds it.
    try:
        with open("/proc/sys/net/ipv4/ip_local_port_range") as f:
            low = int(f.read().split()[0])
    except (OSError, ValueError, IndexError):
        low = 32768
    return (10000, low - 1) if low > 12000 else (61000, 65000)


def free_port():
    first, last = _ports_outside_ephemeral_range()
    while True:
        port = random.randint(first, last)
        with socket.socket() as s:
            try:
                s.bind(("127.0.0.1", port))
            except OSError:
                continue
            return port


def wait_port(port, timeout=30.0):
    deadline = time.time() + timeout
    while time.time() < deadline:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=0.5):
                return True
        except OSError:
            time.sleep(0.1)
    return False


class Broker:
    """heron -s in a temporary tree; MQTT on self.port, WebSocket on self.ws_port."""

    def __init__(self, persistence=True, stats_interval=5, stats_persist_interval=15, websocket=True,
                 auth=b"USERID ADMIN\nPASSWD TRUVE\n", extra=None, starling_cfg=None, port=None):
        self.root = tempfile.mkdtemp(prefix="starling-")
        shutil.copytree(DIST, self.root, dirs_exist_ok=True, ignore=shutil.ignore_patterns("CMakeFiles", "*.cmake", "data"))
        os.makedirs(os.path.join(self.root, "data"), exist_ok=True)
        self.port = port or free_port()
        self.ws_port = free_port() if websocket else None
        self.http_port = free_port()
        config = {
            "document_root": "./web",
            "listening_http_port": str(self.http_port),
            "verbose_level": -1,
            "mqtt_enabled": "true",
            "mqtt_listening_port": str(self.port),
            "mqtt_persistence_enabled": "true" if persistence else "false",
            "mqtt_statistics_interval": stats_interval,
            "mqtt_statistics_persistence_interval": stats_persist_interval,
            "applications": ["mqtt;starling"],
            "websocket_applications": [],
        }
        if websocket:
            config["mqtt_websocket_port"] = str(self.ws_port)
        config.update(extra or {})
        with open(os.path.join(self.root, "config", "osprey.json"), "w") as f:
            json.dump(config, f)
        # The built tree carries a default file; each test says what it wants.
        auth_path = os.path.join(self.root, "web", "localAuthFile.set")
        if auth is None:
            if os.path.exists(auth_path):
                os.remove(auth_path)
        else:
            with open(auth_path, "wb") as f:
                f.write(scramble(auth))
        if starling_cfg is not None:
            with open(os.path.join(self.root, "config", "starling.cfg"), "w") as f:
                f.write(starling_cfg)
        self._launch()

    def _launch(self):
        self.out = open(os.path.join(self.root, "heron.out"), "ab")
        env = dict(os.environ, RAVLINK_DATA=os.path.join(self.root, "data"))
        self.proc = subprocess.Popen([os.path.join(self.root, "heron"), "-s"], cwd=self.root, env=env,
                                     stdout=self.out, stderr=subprocess.STDOUT)
        deadline = time.time() + 30
        while not wait_port(self.port, 0.2) and time.time() < deadline:
            if "Not able to start MQTT broker" in self.log() or self.proc.poll() is not None:
                deadline = 0
        if not wait_port(self.port, 0.2):
            self.stop()
            raise RuntimeError("broker did not start:\n" + self.log())

    def db(self):
        return os.path.join(self.root, "data", "BRENLOXS", "brenlox.db")

    def sql(self, query):
        for _ in range(20):  # the broker may hold a write lock for a moment
            out = subprocess.run(["sqlite3", "-readonly", "-cmd", ".timeout 2000", self.db(), query],
                                 capture_output=True, text=True, timeout=30)
            if out.returncode == 0:
                break
            time.sleep(0.1)
        if out.returncode != 0:
            raise RuntimeError(out.stderr)
        return [line.split("|") for line in out.stdout.splitlines()]

    def log(self):
        if not self.out.closed:
            self.out.flush()
        with open(os.path.join(self.root, "heron.out"), "rb") as f:
            return f.read().decode(errors="replace")

    def stop(self, timeout=30):
        """Stops heron; returns (exit code, log)."""
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
                raise RuntimeError("broker did not stop in time:\n" + self.log())
        self.out.close()
        return self.proc.returncode, self.log()

    def restart(self, kill=False):
        """Stops heron (SIGKILL when kill, as a crash would) and starts it again on the same tree."""
        if kill and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        self.stop()
        self._launch()

    def close(self):
        try:
            code, text = self.stop()
        finally:
            shutil.rmtree(self.root, ignore_errors=True)
        return code, text


def sanitizer_report(text):
    return "ERROR: AddressSanitizer" in text or "runtime error:" in text or "ERROR: LeakSanitizer" in text
