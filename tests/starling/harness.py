"""A running heron with the MQTT broker enabled, in a throw-away copy of the
built tree, for the broker's integration tests."""
import json
import os
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "common"))
from peers import DIST, HeronTree, free_port, sanitizer_report, wait_for, wait_port  # noqa: E402,F401


# A fresh engine server's administrator: persistence commands published over
# MQTT run with the credentials of their CONNECT.
ADMIN_CREDENTIALS = ("-u", "ADMIN", "-P", "TRUVE")


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


class Broker(HeronTree):
    """heron -s in a temporary tree; MQTT on self.port, WebSocket on self.ws_port."""

    def __init__(self, persistence=True, stats_interval=5, stats_persist_interval=15, websocket=True,
                 auth=b"USERID ADMIN\nPASSWD TRUVE\n", extra=None, starling_cfg=None, port=None, env=None):
        """env: variables set for heron on top of this process's."""
        super().__init__(prefix="starling-")
        self.env = env
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
        self.start(env=self.env)
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
            self.remove()
        return code, text

