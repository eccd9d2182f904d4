"""Idle connections beyond heron's connection cap. heron runs with a descriptor
limit of 256, from which it derives its cap (logged at start); clients that
connect beyond it are closed at once and counted in the log, while a client
already connected is still served, and a new one is served once others close."""
import os
import re
import resource
import socket
import sys
import unittest

sys.path.insert(0, os.environ.get("STARLING_HARNESS", os.path.join(os.path.dirname(__file__), "../starling")))
import harness  # noqa: E402
from peers import read_http_reply  # noqa: E402

DESCRIPTOR_LIMIT = 256
GET = b"GET / HTTP/1.1\r\nHost: localhost\r\n\r\n"
MQTT_CONNECT = bytes([0x10, 17, 0, 4]) + b"MQTT" + bytes([4, 2, 0, 30, 0, 5]) + b"capid"


def get(sock):
    """A keep-alive GET on an open connection: the status line, or b"" when refused."""
    try:
        sock.sendall(GET)
        return read_http_reply(sock).split(b"\r\n", 1)[0]
    except OSError:
        return b""


def closed_at_once(port):
    """Connects and waits, sending nothing: True when the server ends the connection."""
    with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
        try:
            return s.recv(1) == b""
        except ConnectionResetError:
            return True
        except socket.timeout:
            return False


def mqtt_connack(port):
    """The first byte of the reply to a CONNECT, or None when the server closed."""
    with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
        try:
            s.sendall(MQTT_CONNECT)
            reply = s.recv(4)
        except OSError:
            return None
        return reply[0] if reply else None


class ConnectionCap(unittest.TestCase):
    def test_connections_beyond_the_cap_are_refused_at_once(self):
        resource.setrlimit(resource.RLIMIT_NOFILE, (DESCRIPTOR_LIMIT, DESCRIPTOR_LIMIT))
        broker = harness.Broker(persistence=False)
        fillers = []
        try:
            match = harness.wait_for(lambda: re.search(r"At most (\d+) connections at once", broker.log()))
            self.assertIsNotNone(match, broker.log())
            cap = int(match.group(1))
            self.assertLess(cap, DESCRIPTOR_LIMIT // 2)

            existing = socket.create_connection(("127.0.0.1", broker.http_port), timeout=5)
            fillers.append(existing)
            self.assertIn(b" 200 ", get(existing))
            while len(fillers) <= cap:
                s = socket.create_connection(("127.0.0.1", broker.http_port), timeout=5)
                if not get(s).startswith(b"HTTP/1.1 200"):
                    s.close()
                    break
                fillers.append(s)
            # The broker's own statistics client may hold one as well.
            self.assertGreaterEqual(len(fillers), cap - 2)
            self.assertLessEqual(len(fillers), cap)

            for _ in range(3):
                self.assertTrue(closed_at_once(broker.http_port))
            self.assertIsNone(mqtt_connack(broker.port))
            self.assertIn(b" 200 ", get(existing))
            self.assertTrue(harness.wait_for(lambda: "new connections closed at once" in broker.log()),
                            broker.log())
            self.assertIn("%d connections are open, the most allowed" % cap, broker.log())

            for s in fillers[-3:]:
                s.close()
            del fillers[-3:]
            self.assertEqual(harness.wait_for(lambda: mqtt_connack(broker.port)), 0x20)
            fresh = socket.create_connection(("127.0.0.1", broker.http_port), timeout=5)
            fillers.append(fresh)
            self.assertIn(b" 200 ", get(fresh))
        finally:
            for s in fillers:
                s.close()
            code, log = broker.close()
        self.assertEqual(code, 0, log)
        self.assertFalse(harness.sanitizer_report(log), log)


if __name__ == "__main__":
    unittest.main()
