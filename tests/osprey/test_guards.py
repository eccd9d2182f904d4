"""What a running server refuses to strangers: WebSocket handshakes sent by
pages of other sites, on the broker's WebSocket port and on a websocket
application's endpoint.

Each class runs as its own CTest entry (argument: the class name)."""
import json
import os
import socket
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "common"))
from peers import ADMIN_AUTH, SMALL_QUARANTINE, RunningHeron, free_port, wait_for  # noqa: E402

KEY = "dGhlIHNhbXBsZSBub25jZQ=="


class Tree(RunningHeron):
    """heron -s with HTTP, the broker with MQTT over WebSocket, and the
    JSON-RPC websocket application; a small sanitizer quarantine, so that
    resident sizes show what heron holds."""

    def __init__(self, prefix="guards-", extra=None):
        config = {"linked_vix_server": None, "mqtt_persistence_enabled": "false", "mqtt_statistics_interval": 0,
                  "mqtt_statistics_persistence_interval": 0}
        mqtt = (extra or {}).get("mqtt_enabled") != "false"
        if not mqtt:  # the ports stay configured, unused
            config.update({"mqtt_listening_port": str(free_port()), "mqtt_websocket_port": str(free_port())})
        config.update(extra or {})
        super().__init__(prefix, applications=["mqtt;starling"], websocket_applications=["wren;wren"], config=config,
                         mqtt=mqtt, mqtt_websocket=mqtt, auth=ADMIN_AUTH, asan_options=SMALL_QUARANTINE, ready=True)

    def finish(self):
        super().finish(check="exit")


def handshake_status(port, path, host, origin):
    """The status of a WebSocket handshake sent with these Host and Origin
    headers (None: no such header)."""
    lines = ["GET %s HTTP/1.1" % path, "Upgrade: websocket", "Connection: Upgrade",
             "Sec-WebSocket-Key: " + KEY, "Sec-WebSocket-Version: 13", "Sec-WebSocket-Protocol: mqtt"]
    if host is not None:
        lines.append("Host: " + host)
    if origin is not None:
        lines.append("Origin: " + origin)
    with socket.create_connection(("127.0.0.1", port), timeout=10) as sock:
        sock.sendall(("\r\n".join(lines) + "\r\n\r\n").encode())
        head = b""
        while b"\r\n" not in head:
            chunk = sock.recv(1024)
            if not chunk:
                return None
            head += chunk
    return int(head.split(b" ")[1])


class OriginTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tree = Tree()

    @classmethod
    def tearDownClass(cls):
        cls.tree.finish()

    def test_pages_of_other_hosts_are_refused(self):
        cases = [
            ("no Origin", "127.0.0.1:%d", None, 101),
            ("same host, other port", "localhost:%d", "http://localhost:8080", 101),
            ("same host in other case", "LocalHost:%d", "https://localhost", 101),
            ("IPv6 literal", "[::1]:%d", "http://[::1]:8080", 101),
            ("another host", "127.0.0.1:%d", "http://evil.example", 403),
            ("another host, same port", "127.0.0.1:%d", "http://evil.example:%d", 403),
            ("a host that begins alike", "localhost:%d", "http://localhost.evil.example", 403),
            ("an opaque origin", "127.0.0.1:%d", "null", 403),
            ("no Host to compare", None, "http://127.0.0.1", 403),
        ]
        endpoints = [("broker", self.tree.ws_port, "/mqtt"), ("application", self.tree.http_port, "/wren")]
        for where, port, path in endpoints:
            for what, host, origin, status in cases:
                with self.subTest(where=where, case=what):
                    host = host % port if host else None
                    origin = origin % port if origin and "%d" in origin else origin
                    if host is None:
                        # HTTP/1.1 needs a Host: the refusal is 400 whatever the Origin says.
                        self.assertIn(handshake_status(port, path, host, origin), (400, 403))
                    else:
                        self.assertEqual(handshake_status(port, path, host, origin), status)


class DigestTest(unittest.TestCase):
    """Wrong answers to the static files' Digest challenge are logged with
    their address and count; the right one still gets the file."""

    def test_wrong_passwords_are_logged(self):
        import hashlib
        import re
        import subprocess
        tree = Tree(prefix="guards-digest-", extra={"global_auth_file": "./config/passwords",
                                                     "mqtt_enabled": "false", "websocket_applications": []})
        try:
            ha1 = hashlib.md5(b"keeper:brenlox.local:right").hexdigest()
            with open(tree.path("config/passwords"), "w") as f:
                f.write("keeper:brenlox.local:%s\n" % ha1)
            url = "http://127.0.0.1:%d/index.html" % tree.http_port

            def fetch(password):
                out = subprocess.run(["curl", "-s", "-o", "/dev/null", "-w", "%{http_code}", "--digest",
                                      "-u", "keeper:" + password, url], capture_output=True, text=True, timeout=60)
                return out.stdout

            for n in range(3):
                self.assertEqual(fetch("wrong%d" % n), "401")
            self.assertTrue(wait_for(lambda: re.search(r"osprey digest: \d+ failed log-on\(s\) from 127\.0\.0\.1 "
                                                       r"\(last user \[keeper\]\)", tree.log()), 10), tree.log())
            self.assertEqual(fetch("right"), "200")
        finally:
            tree.finish()


class BodyTest(unittest.TestCase):
    """Bodies parsed before any credential is checked: the administration
    application takes no more than its function needs, and no document's
    parse may take the server's memory."""

    @classmethod
    def setUpClass(cls):
        cls.tree = Tree(prefix="guards-body-", extra={"applications": ["mqtt;starling", "monitor;finch"]})

    @classmethod
    def tearDownClass(cls):
        cls.tree.finish()

    def post(self, path, body, headers=None):
        import http.client
        conn = http.client.HTTPConnection("127.0.0.1", self.tree.http_port, timeout=120)
        try:
            conn.request("POST", path, body, dict({"Content-Type": "application/json"}, **(headers or {})))
            reply = conn.getresponse()
            return reply.status, reply.read()
        finally:
            conn.close()

    def test_large_bodies_are_refused_before_they_are_parsed(self):
        import threading
        from peers import resident_kib
        pid = self.tree.proc.pid
        before = resident_kib(pid)
        zeros = b"[" + b"0," * (2 << 20) + b"0]"  # 4 MiB, 2 Mi values
        status, body = self.post("/admin/adminLogin", zeros)
        self.assertEqual(status, 200)
        reply = json.loads(body)
        self.assertEqual((reply["errorCode"], reply["errorMessage"]),
                         (9007, "Invalid parameter - The request body is longer than 65536 bytes."))
        # An application that takes any body: too many values, refused unparsed.
        statuses, peak = [], [before]

        def send():
            statuses.append(self.post("/monitor/zvMonGetInfo", zeros)[0])

        senders = [threading.Thread(target=send) for _ in range(6)]
        for thread in senders:
            thread.start()
        # Another client is served meanwhile.
        status, _ = self.post("/admin/adminLogin", '{"username": "ADMIN", "password": "TRUVE"}')
        self.assertEqual(status, 200)
        while any(thread.is_alive() for thread in senders):
            peak.append(resident_kib(pid))
            for thread in senders:
                thread.join(0.05)
        self.assertEqual(statuses, [413] * 6)
        # The bodies themselves are held while they arrive (6 x 4 MiB, and copies); their
        # parses would have taken about 40 times as much.
        self.assertLess(max(peak) - before, 128 * 1024, "RSS %d KiB before, %d KiB at most" % (before, max(peak)))


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]] + sys.argv[1:], verbosity=2)
