"""Hostile clients against a running heron: random bytes, half-finished and
slow heads, oversized lengths, bad WebSocket frames and malformed MQTT
packets on the HTTP, HTTPS, MQTT and MQTT-over-WebSocket ports at once
(bounded in count and time, loopback only). Afterwards the server must still
answer a plain GET, an HTTPS GET and an MQTT publish/subscribe round trip, and
stop on SIGTERM without a sanitizer report."""
import base64
import os
import random
import socket
import ssl
import struct
import subprocess
import sys
import threading
import time
import unittest

sys.path.insert(0, os.environ.get("STARLING_HARNESS", os.path.join(os.path.dirname(__file__), "../starling")))
import harness  # noqa: E402
from peers import mqtt_packet, mqtt_text, read_exact  # noqa: E402

FLOOD_SECONDS = 8.0  # each attacker stops starting new connections after this


def connect(port, tls=False, timeout=2.0):
    s = socket.create_connection(("127.0.0.1", port), timeout=timeout)
    if tls:
        ctx = ssl.create_default_context()
        ctx.check_hostname = False
        ctx.verify_mode = ssl.CERT_NONE
        s = ctx.wrap_socket(s, server_hostname="localhost")
    return s


def drain(s, limit=1 << 16):
    """Reads what the server says until it closes, goes quiet or `limit` bytes."""
    got = b""
    try:
        while len(got) < limit:
            chunk = s.recv(4096)
            if not chunk:
                break
            got += chunk
    except (OSError, ssl.SSLError):
        pass
    return got


def send_and_drain(port, payload, tls=False, timeout=1.0):
    try:
        s = connect(port, tls, timeout)
    except (OSError, ssl.SSLError):
        return b""
    with s:
        try:
            s.sendall(payload)
        except (OSError, ssl.SSLError):
            return b""
        return drain(s)


def mqtt_connect(client_id=b"abuse"):
    return mqtt_packet(0x10, mqtt_text(b"MQTT") + bytes([4, 2, 0, 30]) + mqtt_text(client_id))


def ws_frame(first, payload, mask=True, length=None):
    n = len(payload) if length is None else length
    head = bytearray([first])
    bit = 0x80 if mask else 0
    if n < 126:
        head.append(bit | n)
    elif n < 65536:
        head.append(bit | 126)
        head += struct.pack(">H", n)
    else:
        head.append(bit | 127)
        head += struct.pack(">Q", n)
    if not mask:
        return bytes(head) + payload
    key = bytes([0x12, 0x34, 0x56, 0x78])
    return bytes(head) + key + bytes(b ^ key[i % 4] for i, b in enumerate(payload))


def ws_handshake(path="/mqtt", protocol="mqtt"):
    key = base64.b64encode(os.urandom(16)).decode()
    return (f"GET {path} HTTP/1.1\r\nHost: localhost\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
            f"Sec-WebSocket-Key: {key}\r\nSec-WebSocket-Version: 13\r\n"
            f"Sec-WebSocket-Protocol: {protocol}\r\n\r\n").encode()


def mutate(rng, data):
    data = bytearray(data)
    for _ in range(rng.randint(1, 4)):
        op = rng.randrange(5)
        if op == 0 and data:
            data[rng.randrange(len(data))] ^= 1 << rng.randrange(8)
        elif op == 1:
            del data[rng.randrange(len(data) + 1):]
        elif op == 2 and data:
            data[rng.randrange(len(data))] = rng.randrange(256)
        elif op == 3:
            at = rng.randrange(len(data) + 1)
            data[at:at] = bytes([0xff] * rng.randint(1, 6))
        else:
            at = rng.randrange(len(data) + 1)
            data[at:at] = b"9" * rng.randint(1, 24)
    return bytes(data)


HTTP_HEADS = [
    b"GET / HTTP/1.1\r\nHost: x\r\n\r\n",
    b"POST /x HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello",
    b"PUT /x HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n",
    b"GET /../../../../etc/passwd HTTP/1.1\r\n\r\n",
    b"GET /%2e%2e/%2e%2e/etc/passwd HTTP/1.1\r\n\r\n",
]

HTTP_NASTY = [
    b"POST / HTTP/1.1\r\nContent-Length: 99999999999999999999999\r\n\r\n",
    b"POST / HTTP/1.1\r\nContent-Length: 18446744073709551615\r\n\r\nabc",
    b"POST / HTTP/1.1\r\nContent-Length: -1\r\n\r\n",
    b"POST / HTTP/1.1\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\nhello!",
    b"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nffffffffffffffff\r\nabc",
    b"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nfffffff\r\n" + b"a" * 4096,
    b"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n" + b"1\r\na\r\n" * 2000 + b"0\r\n\r\n",
    b"POST / HTTP/1.1\r\nTransfer-Encoding: gzip, chunked\r\n\r\n",
    b"GET /" + b"a" * 100000 + b" HTTP/1.1\r\n\r\n",
    b"GET / HTTP/1.1\r\n" + b"X-A: b\r\n" * 2000 + b"\r\n",
    b"GET / HTTP/1.1\r\nX: " + b"v" * 200000 + b"\r\n\r\n",
    b"GET / HTTP/1.1\r\n folded\r\n\r\n",
    b"GET / HTTP/1.1\r\nHost: a\x00b\r\n\r\n",
    b"\r\n" * 5000,
    b"GET / HTTP/1.1\r\nRange: bytes=99999999999999999999-\r\n\r\n",
    b"GET / HTTP/1.1\r\nRange: bytes=-99999999999999999999\r\n\r\n",
    b"GET /index.html HTTP/1.1\r\nRange: bytes=5-2,0-0,-0,1-\r\n\r\n",
    b"GET / HTTP/1.1\r\nIf-Modified-Since: Sun, 99 Zzz 99999 99:99:99 GMT\r\n\r\n",
    b"GET / HTTP/1.1\r\nAuthorization: Digest username=\"" + b"u" * 5000 + b"\", nonce=\"1\"\r\n\r\n",
    b"GET / HTTP/1.1\r\nAuthorization: Basic " + b"=" * 3000 + b"\r\n\r\n",
    b"GET /?" + b"%" * 3000 + b" HTTP/1.1\r\n\r\n",
]

MQTT_VALID = [
    mqtt_connect(),
    mqtt_packet(0x32, mqtt_text(b"a/b") + b"\x00\x01" + b"payload"),
    mqtt_packet(0x82, b"\x00\x07" + mqtt_text(b"a/#") + b"\x01"),
    mqtt_packet(0xa2, b"\x00\x08" + mqtt_text(b"a/#")),
    mqtt_packet(0xc0, b""),
    mqtt_packet(0x62, b"\x00\x01"),
]

MQTT_NASTY = [
    b"\x10\xff\xff\xff\xff\x01",
    b"\x10\xff\xff\xff\x7f" + b"A" * 1000,
    b"\x30\x80\x80\x80\x80\x80",
    mqtt_packet(0x10, mqtt_text(b"MQTT") + bytes([4, 0xfe, 0, 0]) + mqtt_text(b"x")),
    mqtt_packet(0x10, mqtt_text(b"MQTT") + bytes([4, 0xc6, 0, 1]) + mqtt_text(b"x") + b"\xff\xff"),
    mqtt_packet(0x10, mqtt_text(b"MQIsdp") + bytes([3, 2, 0, 0]) + mqtt_text(b"")),
    mqtt_packet(0x10, mqtt_text(b"MQTT") + bytes([9, 2, 0, 0]) + mqtt_text(b"x")),
    mqtt_connect() + mqtt_connect(),
    mqtt_connect() + mqtt_packet(0x36, mqtt_text(b"q") + b"\x00\x01"),
    mqtt_connect() + mqtt_packet(0x82, b"\x00\x01" + mqtt_text(b"a") + b"\x03"),
    mqtt_connect() + mqtt_packet(0x82, b"\x00\x01"),
    mqtt_connect() + mqtt_packet(0x82, b"\x00\x01" + mqtt_text(b"a/#/b") + b"\x00"),
    mqtt_connect() + mqtt_packet(0x82, b"\x00\x01" + mqtt_text(b"") + b"\x00"),
    mqtt_connect() + mqtt_packet(0x30, mqtt_text(b"a/+/#") + b"x"),
    mqtt_connect() + mqtt_packet(0x30, mqtt_text(b"") + b"x"),
    mqtt_connect() + mqtt_packet(0x30, mqtt_text(b"a\x00b") + b"x"),
    mqtt_connect() + mqtt_packet(0x30, b"\xff\xff"),
    mqtt_connect() + mqtt_packet(0xf0, b"junk"),
    mqtt_connect() + mqtt_packet(0x00, b""),
    mqtt_connect() + mqtt_packet(0x82, b"\x00\x01" + (mqtt_text(b"#") + b"\x00") * 3000),
    mqtt_connect() + mqtt_packet(0x30, mqtt_text(b"big") + b"x" * 300000),
    mqtt_connect() + mqtt_packet(0x40, b"") + mqtt_packet(0x62, b"\x00") + mqtt_packet(0xb0, b"\x00\x00"),
    mqtt_packet(0x32, mqtt_text(b"before/connect") + b"\x00\x01x"),
    mqtt_packet(0xe0, b""),
]

WS_NASTY = [
    ws_frame(0x82, b"\x10", mask=False),
    ws_frame(0x82, b"", length=1 << 62),
    b"\x82\xff\x80\x00\x00\x00\x00\x00\x00\x00" + b"\x00" * 8,
    ws_frame(0x89, b"p" * 126),
    ws_frame(0x09, b"ping"),
    ws_frame(0x83, b"reserved"),
    ws_frame(0xc2, b"rsv"),
    ws_frame(0x80, b"continuation first"),
    ws_frame(0x02, b"a") + ws_frame(0x02, b"b"),
    ws_frame(0x02, b"x" * 1000) * 50,
    ws_frame(0x88, b"\x00"),
    ws_frame(0x88, b"\x03\xe8" + b"\xff\xfe"),
    ws_frame(0x81, b"\xff\xfe\xfd"),
    ws_frame(0x82, mqtt_connect()) + ws_frame(0x82, b"\x10\xff\xff\xff\xff\x01"),
    ws_frame(0x82, mqtt_connect()[:5]) + ws_frame(0x82, mqtt_connect()[5:]),
    ws_frame(0x82, mqtt_connect() + mqtt_packet(0x82, b"\x00\x01" + mqtt_text(b"a") + b"\x03")),
    ws_frame(0x02, mqtt_connect()[:3]) + ws_frame(0x89, b"") + ws_frame(0x80, mqtt_connect()[3:]),
]


class Flood:
    """Runs attackers on threads until the deadline; collects their errors."""

    def __init__(self, seed):
        self.deadline = time.time() + FLOOD_SECONDS
        self.errors = []
        self.counts = {}
        self.lock = threading.Lock()
        self.seed = seed

    def run(self, attackers):
        threads = []
        for index, (name, fn) in enumerate(attackers):
            t = threading.Thread(target=self._loop, args=(name, fn, random.Random(self.seed + index)), daemon=True)
            t.start()
            threads.append(t)
        for t in threads:
            t.join(FLOOD_SECONDS + 60)
        return [t for t in threads if t.is_alive()]

    def _loop(self, name, fn, rng):
        n = 0
        while time.time() < self.deadline and n < 400:
            try:
                fn(rng)
            except (OSError, ssl.SSLError):
                pass
            except Exception as e:  # an attacker's own fault must show
                with self.lock:
                    self.errors.append(f"{name}: {e!r}")
                return
            n += 1
        with self.lock:
            self.counts[name] = n


class HeronUnderAbuse(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        https_port = harness.free_port()
        cls.broker = harness.Broker(persistence=False, extra={
            "listening_https_port": str(https_port),
            "ssl_certificate": "./config/localhost.crt",
            "ssl_key": "./config/localhost.key",
        })
        cls.https_port = https_port
        if not harness.wait_port(https_port, 10):
            code, log = cls.broker.close()
            raise RuntimeError("HTTPS did not start:\n" + log)

    @classmethod
    def tearDownClass(cls):
        cls.broker.close()

    def test_flood_then_serve_and_stop(self):
        b = self.broker
        ports = {"http": (b.http_port, False), "https": (self.https_port, True),
                 "mqtt": (b.port, False), "ws": (b.ws_port, False)}

        def random_bytes(port, tls):
            return lambda rng: send_and_drain(port, rng.randbytes(rng.randint(1, 4096)), tls)

        def http_mutated(port, tls):
            return lambda rng: send_and_drain(port, mutate(rng, rng.choice(HTTP_HEADS + HTTP_NASTY)), tls)

        def http_nasty(port, tls):
            return lambda rng: send_and_drain(port, rng.choice(HTTP_NASTY), tls)

        def half_head(port, tls):
            def attack(rng):
                head = rng.choice(HTTP_HEADS + [ws_handshake()])
                send_and_drain(port, head[:rng.randrange(1, len(head))], tls, timeout=0.3)
            return attack

        def mqtt_mutated(rng):
            data = b"".join(mutate(rng, rng.choice(MQTT_VALID)) for _ in range(rng.randint(1, 4)))
            send_and_drain(b.port, mqtt_connect() + data if rng.random() < 0.7 else data, timeout=0.5)

        def mqtt_nasty(rng):
            send_and_drain(b.port, rng.choice(MQTT_NASTY), timeout=0.5)

        def ws_nasty(rng):
            frames = rng.choice(WS_NASTY) if rng.random() < 0.6 else mutate(rng, rng.choice(WS_NASTY))
            for port in (b.ws_port, b.http_port):
                send_and_drain(port, ws_handshake() + frames, timeout=0.5)

        def handshake_mutated(rng):
            port = rng.choice([b.ws_port, b.http_port])
            send_and_drain(port, mutate(rng, ws_handshake(rng.choice(["/mqtt", "/", "/x"]),
                                                          rng.choice(["mqtt", "", "x" * 300]))), timeout=0.5)

        def split_writes(rng):
            # A valid-looking stream written in tiny pieces with pauses.
            port, tls = ports[rng.choice(list(ports))]
            data = rng.choice(HTTP_NASTY + MQTT_NASTY + [ws_handshake() + f for f in WS_NASTY])[:3000]
            s = connect(port, tls, 0.5)
            with s:
                i = 0
                while i < len(data):
                    n = rng.randint(1, 64)
                    s.sendall(data[i:i + n])
                    i += n
                    if rng.random() < 0.05:
                        time.sleep(0.01)
                drain(s)

        attackers = []
        for name, (port, tls) in ports.items():
            attackers.append((f"random-{name}", random_bytes(port, tls)))
            attackers.append((f"half-{name}", half_head(port, tls)))
        attackers.append(("random-tls-records", random_bytes(self.https_port, False)))
        for name in ("http", "https"):
            port, tls = ports[name]
            attackers.append((f"mutated-{name}", http_mutated(port, tls)))
            attackers.append((f"nasty-{name}", http_nasty(port, tls)))
        attackers += [("mqtt-mutated", mqtt_mutated), ("mqtt-nasty", mqtt_nasty), ("ws-nasty", ws_nasty),
                      ("ws-handshake", handshake_mutated), ("split", split_writes)]

        # Slowloris: connections that never finish their head stay open
        # through the whole flood and the checks that follow.
        slow = []
        for i in range(40):
            port, tls = list(ports.values())[i % 4]
            try:
                s = connect(port, tls, 2)
                s.sendall(b"GET / HTTP/1.1\r\nX: " if port != b.port else b"\x10\xff")
                slow.append(s)
            except (OSError, ssl.SSLError):
                pass
        self.assertGreater(len(slow), 30)

        flood = Flood(seed=20240)
        stuck = flood.run(attackers)
        self.assertEqual(stuck, [], "attackers did not finish (a server hang?)")
        self.assertEqual(flood.errors, [])
        self.assertIsNone(b.proc.poll(), "heron died during the flood:\n" + b.log()[-5000:])
        for s in slow:
            try:
                s.sendall(b"a")
            except (OSError, ssl.SSLError):
                pass

        # A normal client still gets served, over every port.
        with connect(b.http_port, timeout=10) as s:
            s.sendall(b"GET / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
            reply = drain(s)
        self.assertTrue(reply.startswith(b"HTTP/1.1 200"), reply[:200])
        out = subprocess.run(["curl", "-sk", "-o", "/dev/null", "-w", "%{http_code}", "--max-time", "10",
                              f"https://127.0.0.1:{self.https_port}/"], capture_output=True, text=True)
        self.assertEqual(out.stdout, "200")
        sub = subprocess.Popen(["mosquitto_sub", "-p", str(b.port), "-t", "abuse/after", "-C", "1", "-W", "20",
                                "-q", "1"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        try:
            message, deadline = None, time.time() + 20
            while message is None and time.time() < deadline:
                subprocess.run(["mosquitto_pub", "-p", str(b.port), "-t", "abuse/after", "-m", "still here",
                                "-q", "1"], check=True, timeout=20)
                try:
                    message, _ = sub.communicate(timeout=0.5)
                except subprocess.TimeoutExpired:
                    pass
        finally:
            if sub.poll() is None:
                sub.kill()
                sub.communicate()
        self.assertEqual((message or "").strip(), "still here")
        with connect(b.ws_port, timeout=10) as s:
            s.sendall(ws_handshake())
            self.assertIn(b" 101 ", drain_head(s))
            s.sendall(ws_frame(0x82, mqtt_connect(b"after-ws")))
            self.assertEqual(read_ws_payload(s)[:2], b"\x20\x02")

        # A client still connected when the server stops: its records must
        # be freed by the stop (they leaked once).
        held = connect(b.port, timeout=10)
        held.sendall(mqtt_connect(b"held-at-stop"))
        self.assertEqual(read_exact(held, 4)[:2], b"\x20\x02")
        for s in slow:
            s.close()
        code, log = b.stop()
        held.close()
        self.assertEqual(code, 0, log[-30000:])
        self.assertFalse(harness.sanitizer_report(log), log[-20000:])


def drain_head(s):
    got = b""
    while b"\r\n\r\n" not in got:
        chunk = s.recv(1)
        if not chunk:
            break
        got += chunk
    return got


def read_ws_payload(s):
    head = read_exact(s, 2)
    n = head[1] & 0x7f
    if n == 126:
        n = struct.unpack(">H", read_exact(s, 2))[0]
    elif n == 127:
        n = struct.unpack(">Q", read_exact(s, 8))[0]
    return read_exact(s, n)


if __name__ == "__main__":
    unittest.main()
