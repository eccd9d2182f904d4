"""Clients that send and never read, against the real heron tree: a pipelining
HTTP client, a WebSocket peer whose pongs pile up, and an MQTT subscriber
that others publish to. Each may cost heron a bounded amount of memory only,
others are served meanwhile, and heron stops cleanly with them still open."""
import base64
import os
import select
import socket
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "common"))
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "starling"))
from peers import ADMIN_AUTH, SMALL_QUARANTINE, RunningHeron, read_http_reply, resident_kib, sanitizer_report  # noqa: E402
from test_conformance import connect, connected, packet, publish, read_packet, subscribe  # noqa: E402

# What one stalled client may add to heron's resident memory. The bounds
# themselves are far smaller (256 KiB of replies, 1 MiB queued for the
# subscriber here); the rest is the connection's thread, read buffers and the
# allocator's slack. Without the bounds each client grows heron by the whole
# volume it sends or is sent (more than the margin here).
MARGIN_KIB = 16 * 1024
QUEUED_BYTES = 1 << 20
SENT_AT_MOST = 48 << 20  # what a stalled client offers at most
PUBLICATIONS = 320  # of 64 KiB: 20 MiB for the stalled subscriber, past the margin


class Tree(RunningHeron):
    """heron -s with HTTP, MQTT and MQTT over WebSocket, a small queue bound
    per subscriber, and a small sanitizer quarantine so that resident sizes
    show what heron holds rather than blocks the sanitizer keeps back. stop()
    answers heron's exit status after SIGTERM, None when it did not end in
    time."""

    def __init__(self):
        super().__init__("stalled-", applications=["mqtt;starling"], mqtt=True, mqtt_websocket=True,
                         config={"linked_vix_server": None, "websocket_applications": None,
                                 "mqtt_persistence_enabled": "false", "mqtt_max_queued_bytes": QUEUED_BYTES},
                         auth=ADMIN_AUTH, asan_options=SMALL_QUARANTINE)


def stalled_socket(port):
    """A connection whose receive window stays small: the server's replies back up at once."""
    sock = socket.socket()
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    sock.connect(("127.0.0.1", port))
    return sock


def send_until_stalled(sock, block, most=SENT_AT_MOST):
    """Sends block over and over while the server takes it (up to most
    bytes); stops once the socket has not been writable for a second."""
    sock.setblocking(False)
    sent = 0
    view = memoryview(block)
    while sent < most:
        if not select.select([], [sock], [], 1.0)[1]:
            break
        try:
            sent += sock.send(view[sent % len(block):])
        except BlockingIOError:
            continue
    sock.setblocking(True)
    return sent


def masked_frame(opcode, payload):
    mask = os.urandom(4)
    body = bytes(b ^ mask[i % 4] for i, b in enumerate(payload))
    return bytes([0x80 | opcode, 0x80 | len(payload)]) + mask + body


def http_get_served(port):
    with socket.create_connection(("127.0.0.1", port), timeout=10) as sock:
        sock.sendall(b"GET /index.html HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
        return read_http_reply(sock).startswith(b"HTTP/1.1 200")


def mqtt_served(port):
    """A fresh client's PINGREQ is answered."""
    with connected(port, "other") as sock:
        sock.sendall(packet(0xC0))
        return read_packet(sock) == (0xD0, b"")


class StalledClients(unittest.TestCase):
    def setUp(self):
        self.tree = Tree()
        self.stalled = []  # kept open until heron has stopped
        self.addCleanup(self.tree.remove)

    def bounded_while_others_served(self, what, stall):
        """Runs stall() (which returns the bytes it made the server handle)
        and checks heron's growth and that a fresh HTTP and MQTT client are served."""
        pid = self.tree.proc.pid
        before = resident_kib(pid)
        volume = stall()
        grown = resident_kib(pid) - before
        print(f"{what}: {volume >> 10} KiB offered, heron grew {grown} KiB", file=sys.stderr)
        self.assertLess(grown, MARGIN_KIB, what)
        self.assertTrue(http_get_served(self.tree.http_port), what)
        self.assertTrue(mqtt_served(self.tree.mqtt_port), what)

    def stall_http(self):
        sock = stalled_socket(self.tree.http_port)
        self.stalled.append(sock)
        gets = b"GET /index.html HTTP/1.1\r\nHost: x\r\n\r\n" * 1000
        return send_until_stalled(sock, gets)

    def stall_websocket(self):
        sock = stalled_socket(self.tree.ws_port)
        self.stalled.append(sock)
        key = base64.b64encode(os.urandom(16)).decode()
        sock.sendall((f"GET /mqtt HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                      f"Sec-WebSocket-Key: {key}\r\nSec-WebSocket-Version: 13\r\n"
                      f"Sec-WebSocket-Protocol: mqtt\r\n\r\n").encode())
        self.assertTrue(read_http_reply(sock).startswith(b"HTTP/1.1 101"))
        pings = masked_frame(0x9, b"p" * 125) * 512
        return send_until_stalled(sock, pings)

    def stall_subscriber(self):
        sock = stalled_socket(self.tree.mqtt_port)
        self.stalled.append(sock)
        sock.sendall(connect("stalled"))
        self.assertEqual(read_packet(sock), (0x20, b"\x00\x00"))
        sock.sendall(subscribe(["big/#"]))
        self.assertEqual(read_packet(sock), (0x90, b"\x00\x01\x00"))
        payload = b"z" * 65536
        with connected(self.tree.mqtt_port, "publisher") as pub:
            for _ in range(PUBLICATIONS):
                pub.sendall(publish("big/data", payload))
            pub.sendall(packet(0xC0))
            self.assertEqual(read_packet(pub, timeout=30), (0xD0, b""))
        return PUBLICATIONS * len(payload)

    def test_each_stays_bounded_and_heron_stops_cleanly_with_them_open(self):
        self.bounded_while_others_served("pipelined GETs never read", self.stall_http)
        self.bounded_while_others_served("pings whose pongs are never read", self.stall_websocket)
        self.bounded_while_others_served("a subscriber that never reads", self.stall_subscriber)
        code = self.tree.stop()
        for sock in self.stalled:
            sock.close()
        log = self.tree.log()
        self.assertFalse(sanitizer_report(log), log)
        self.assertEqual(code, 0, log)


if __name__ == "__main__":
    unittest.main()
