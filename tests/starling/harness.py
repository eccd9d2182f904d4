"""A running heron with the MQTT broker enabled, in a throw-away copy of the
built tree, for the broker's integration tests."""
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "common"))
from peers import (ADMIN_AUTH, DIST, RunningHeron, auth_key, free_port, sanitizer_report, scramble,  # noqa: E402,F401
                   wait_for, wait_port)


# A fresh engine server's administrator: persistence commands published over
# MQTT run with the credentials of their CONNECT.
ADMIN_CREDENTIALS = ("-u", "ADMIN", "-P", "TRUVE")


class Broker(RunningHeron):
    """heron -s in a temporary tree; MQTT on self.port, WebSocket on self.ws_port."""

    def __init__(self, persistence=True, stats_interval=5, stats_persist_interval=15, websocket=True,
                 auth=ADMIN_AUTH, extra=None, starling_cfg=None, port=None, env=None):
        """auth: the local authentication file's text (None: no file);
        env: variables set for heron on top of this process's."""
        config = {
            "verbose_level": -1,
            "linked_vix_server": None,
            "mqtt_persistence_enabled": "true" if persistence else "false",
            "mqtt_statistics_interval": stats_interval,
            "mqtt_statistics_persistence_interval": stats_persist_interval,
        }
        config.update(extra or {})
        super().__init__("starling-", applications=["mqtt;starling"], config=config, env=env, mqtt=True,
                         mqtt_websocket=websocket, mqtt_port=port, auth=False if auth is None else auth,
                         app_files=None if starling_cfg is None else {"config/starling.cfg": starling_cfg})

    @property
    def port(self):
        """The broker's MQTT port."""
        return self.mqtt_port

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
        if self.halt(timeout) is None:
            raise RuntimeError("broker did not stop in time:\n" + self.log())
        return self.proc.returncode, self.log()

    def restart(self, kill=False):
        """Stops heron (SIGKILL when kill, as a crash would) and starts it again on the same tree."""
        if kill and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        self.stop()
        self.launch()

    def close(self):
        try:
            code, text = self.stop()
        finally:
            self.remove()
        return code, text
