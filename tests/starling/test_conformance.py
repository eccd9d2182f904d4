"""MQTT 3.1.1 conformance and per-client bounds of heron's broker, with raw
sockets where a packet must be exactly wrong and paho/mosquitto where a real
client shows it."""
import os
import socket
import struct
import subprocess
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import harness  # noqa: E402


def text(data):
    if isinstance(data, str):
        data = data.encode()
    return struct.pack("!H", len(data)) + data


def length_bytes(n):
    out = bytearray()
    while True:
        byte = n & 0x7F
        n >>= 7
        out.append(byte | (0x80 if n else 0))
        if not n:
            return bytes(out)


def packet(first, body=b""):
    return bytes([first]) + length_bytes(len(body)) + body


def connect(client_id="c", name="MQTT", level=4, flags=0x02, tail=b"", keep_alive=0):
    return packet(0x10, text(name) + bytes([level, flags]) + struct.pack("!H", keep_alive) + text(client_id) + tail)


def subscribe(filters, qos=0, first=0x82, message_id=1):
    return packet(first, struct.pack("!H", message_id) + b"".join(text(f) + bytes([qos]) for f in filters))


def unsubscribe(filters, first=0xA2, message_id=2):
    return packet(first, struct.pack("!H", message_id) + b"".join(text(f) for f in filters))


def publish(topic, payload=b"x", qos=0, message_id=1):
    return packet(0x30 | (qos << 1), text(topic) + (struct.pack("!H", message_id) if qos else b"") + payload)


def open_socket(port):
    sock = socket.create_connection(("127.0.0.1", port), timeout=10)
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return sock


def read_until_closed(sock, timeout=10):
    """Everything the broker sends until it closes; None when it stays open."""
    sock.settimeout(timeout)
    data = b""
    deadline = time.time() + timeout
    try:
        while time.time() < deadline:
            chunk = sock.recv(65536)
            if not chunk:
                return data
            data += chunk
    except ConnectionResetError:
        return data
    except socket.timeout:
        pass
    return None


def read_packet(sock, timeout=10):
    """(first byte, body) of the next packet from the broker."""
    sock.settimeout(timeout)

    def exact(n):
        data = b""
        while len(data) < n:
            chunk = sock.recv(n - len(data))
            if not chunk:
                raise ConnectionError("closed")
            data += chunk
        return data

    first = exact(1)[0]
    remaining, shift = 0, 0
    while True:
        byte = exact(1)[0]
        remaining |= (byte & 0x7F) << shift
        shift += 7
        if not byte & 0x80:
            break
    return first, exact(remaining)


def connected(port, client_id):
    sock = open_socket(port)
    sock.sendall(connect(client_id))
    first, body = read_packet(sock)
    assert first == 0x20 and body == b"\x00\x00", (first, body)
    return sock


def round_trip(port, topic):
    """A mosquitto publication reaches a mosquitto subscriber: the broker still serves others."""
    sub = subprocess.Popen(["mosquitto_sub", "-p", str(port), "-t", topic, "-C", "1", "-W", "20"],
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        harness.wait_for(lambda: subprocess.run(
            ["mosquitto_pub", "-p", str(port), "-t", topic, "-m", "alive"], timeout=20).returncode == 0
            and sub.poll() is not None, timeout=20)
        out, _ = sub.communicate(timeout=20)
        return out.strip() == "alive"
    finally:
        if sub.poll() is None:
            sub.kill()
            sub.wait()


class ConformanceTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.broker = harness.Broker(persistence=False, websocket=False, extra={"mqtt_connect_timeout": 1})

    @classmethod
    def tearDownClass(cls):
        code, log = cls.broker.close()
        assert not harness.sanitizer_report(log), log

    def test_packets_a_server_must_close_on(self):
        # (name, bytes before CONNECT or None for a connected client, bytes after)
        bad_utf8 = b"\xc3\x28"
        surrogate = b"\xed\xa0\x80"
        overlong = b"\xc0\xaf"
        cases = [
            ("protocol name MQTX", connect(name="MQTX"), None),
            ("MQIsdp at level 4", connect(name="MQIsdp"), None),
            ("MQTT at level 3", connect(name="MQTT", level=3), None),
            ("reserved CONNECT flag", connect(flags=0x03), None),
            ("password without user name", connect(flags=0x42, tail=text("pw")), None),
            ("will QoS 3", connect(flags=0x1E, tail=text("w") + text("m")), None),
            ("will QoS without will", connect(flags=0x0A), None),
            ("ill-formed client id", connect(client_id=bad_utf8), None),
            ("surrogate in client id", connect(client_id=surrogate), None),
            ("overlong client id", connect(client_id=overlong), None),
            ("U+0000 in user name", connect(flags=0x82, tail=text(b"u\x00v")), None),
            ("PINGREQ before CONNECT", packet(0xC0), None),
            ("PUBLISH before CONNECT", publish("early/topic"), None),
            ("SUBSCRIBE before CONNECT", subscribe(["a"]), None),
            ("packet type 0", packet(0x00), None),
            ("packet type 15", packet(0xF0), None),
            ("SUBSCRIBE flags 0000", None, subscribe(["a"], first=0x80)),
            ("SUBSCRIBE flags 0011", None, subscribe(["a"], first=0x83)),
            ("UNSUBSCRIBE flags 0000", None, unsubscribe(["a"], first=0xA0)),
            ("PUBREL flags 0000", None, packet(0x60, b"\x00\x01")),
            ("PINGREQ flags 0001", None, packet(0xC1)),
            ("filter a/#/b", None, subscribe(["a/#/b"])),
            ("filter a#", None, subscribe(["a#"])),
            ("filter +a", None, subscribe(["+a"])),
            ("filter a/b+", None, subscribe(["a/b+"])),
            ("empty filter", None, subscribe([""])),
            ("ill-formed filter", None, subscribe([b"a/" + bad_utf8])),
            ("empty unsubscribe filter", None, unsubscribe([""])),
            ("empty PUBLISH topic at QoS 1", None, publish("", qos=1)),
            ("surrogate in topic", None, publish(b"t/" + surrogate, qos=1)),
            ("packet type 15 after CONNECT", None, packet(0xF0)),
            ("second CONNECT", None, connect("second")),
            # Packet ids are never 0, and packets without a body carry none.
            ("QoS 1 PUBLISH with packet id 0", None, publish("id/zero", qos=1, message_id=0)),
            ("QoS 2 PUBLISH with packet id 0", None, publish("id/zero", qos=2, message_id=0)),
            ("SUBSCRIBE with packet id 0", None, subscribe(["a"], message_id=0)),
            ("UNSUBSCRIBE with packet id 0", None, unsubscribe(["a"], message_id=0)),
            ("PUBACK with packet id 0", None, packet(0x40, b"\x00\x00")),
            ("PUBREC with packet id 0", None, packet(0x50, b"\x00\x00")),
            ("PUBREL with packet id 0", None, packet(0x62, b"\x00\x00")),
            ("PUBCOMP with packet id 0", None, packet(0x70, b"\x00\x00")),
            ("PINGREQ with a payload", None, packet(0xC0, b"\x00")),
            ("DISCONNECT with a payload", None, packet(0xE0, b"\x01\x02")),
            ("PUBACK longer than its packet id", None, packet(0x40, b"\x00\x01\x00")),
        ]
        for name, before, after in cases:
            with self.subTest(name):
                if before is not None:
                    sock = open_socket(self.broker.port)
                    sock.sendall(before)
                else:
                    sock = connected(self.broker.port, "conf")
                    sock.sendall(after)
                with sock:
                    self.assertEqual(read_until_closed(sock), b"", "answered or left open")
        # Nothing sent before CONNECT reached the tables.
        self.assertEqual(self.broker.sql("select count(*) from mqtt_topic where topic_name in ('early/topic', "
                                         "'id/zero')"), [["0"]])
        # The accepted forms still work: 3.1 with its own name, a level the
        # broker does not speak refused with CONNACK 1, valid wildcards granted.
        with open_socket(self.broker.port) as sock:
            sock.sendall(connect(name="MQIsdp", level=3))
            self.assertEqual(read_packet(sock), (0x20, b"\x00\x00"))
        with open_socket(self.broker.port) as sock:
            sock.sendall(connect(level=5))
            self.assertEqual(read_packet(sock), (0x20, b"\x00\x01"))
        with connected(self.broker.port, "wild") as sock:
            sock.sendall(subscribe(["#", "+", "a/+/b", "a/#", "/+/", "+/+", "caf\u00e9/\U0001F600"]))
            self.assertEqual(read_packet(sock), (0x90, b"\x00\x01" + bytes(7)))

    def test_names_longer_than_the_tables(self):
        # 65,500 bytes fit the tables' text columns; one more is refused at once.
        with open_socket(self.broker.port) as sock:
            sock.sendall(connect("i" * 65501))
            self.assertEqual(read_until_closed(sock), b"\x20\x02\x00\x02")
        with connected(self.broker.port, "long-topic") as sock:
            sock.sendall(publish("t" * 65501, qos=1))
            self.assertEqual(read_until_closed(sock), b"")
        with connected(self.broker.port, "long-filter") as sock:
            sock.sendall(subscribe(["f" * 65501]))
            self.assertEqual(read_until_closed(sock), b"")
        with connected(self.broker.port, "i" * 65500) as sock:
            sock.sendall(publish("t" * 65500, qos=1))
            self.assertEqual(read_packet(sock), (0x40, b"\x00\x01"))
        rows = self.broker.sql("select count(*) from mqtt_topic where length(topic_name) = 65500")
        self.assertEqual(rows, [["1"]])

    def test_silent_connection_closed_after_its_time_out(self):
        with open_socket(self.broker.port) as silent, open_socket(self.broker.port) as partial:
            partial.sendall(connect("partial")[:5])  # never completes its CONNECT
            self.assertEqual(read_until_closed(silent, timeout=15), b"")
            self.assertEqual(read_until_closed(partial, timeout=15), b"")
        # A client that connected in time keeps its connection (no keep-alive).
        with connected(self.broker.port, "in-time") as sock:
            self.assertIsNone(read_until_closed(sock, timeout=2.5))
            sock.sendall(packet(0xC0))
            self.assertEqual(read_packet(sock), (0xD0, b""))

    def test_keep_alive_ends_silence_of_one_and_a_half_periods_not_less(self):
        # Keep-alives of 1 s and 2 s: a PINGREQ a little before 1.5 periods,
        # again and again across the broker's idle sweeps, keeps the client;
        # silence after it ends the connection.
        replies = {}

        def client(keep_alive):
            with open_socket(self.broker.port) as sock:
                sock.sendall(connect(f"keep-alive-{keep_alive}", keep_alive=keep_alive))
                got = [read_packet(sock)]
                for _ in range(4):
                    time.sleep(1.5 * keep_alive - 0.4)
                    sock.sendall(packet(0xC0))
                    got.append(read_packet(sock))
                got.append(read_until_closed(sock, timeout=15))
                replies[keep_alive] = got

        threads = [threading.Thread(target=client, args=(keep_alive,)) for keep_alive in (1, 2)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        for keep_alive in (1, 2):
            self.assertEqual(replies.get(keep_alive), [(0x20, b"\x00\x00")] + [(0xD0, b"")] * 4 + [b""])

    def test_oversized_subscribe_refused_before_any_row(self):
        with connected(self.broker.port, "many-filters") as sock:
            sock.sendall(subscribe([f"many/{i}" for i in range(20000)]))
            self.assertEqual(read_until_closed(sock, timeout=5), b"", "no SUBACK, closed at once")
        self.assertEqual(self.broker.sql("select count(*) from mqtt_subscription where topic_filter like 'many/%'"),
                         [["0"]])
        # 512 filters in one request are granted and recorded.
        with connected(self.broker.port, "cap-filters") as sock:
            sock.sendall(subscribe([f"cap/{i}" for i in range(512)]))
            first, body = read_packet(sock, timeout=60)
            self.assertEqual((first, body), (0x90, b"\x00\x01" + bytes(512)))
            self.assertEqual(self.broker.sql("select count(*) from mqtt_subscription where topic_filter like 'cap/%'"),
                             [["512"]])
            sock.sendall(unsubscribe([f"cap/{i}" for i in range(512)]))
            self.assertEqual(read_packet(sock, timeout=60), (0xB0, b"\x00\x02"))
            self.assertEqual(self.broker.sql("select count(*) from mqtt_subscription where topic_filter like 'cap/%'"),
                             [["0"]])

    def test_overlapping_connects_with_one_id_leave_one_live(self):
        for round_number in range(40):
            client_id = f"twin-{round_number}"
            socks = [open_socket(self.broker.port) for _ in range(2)]
            barrier = threading.Barrier(2)

            def send(sock):
                barrier.wait()
                sock.sendall(connect(client_id))

            threads = [threading.Thread(target=send, args=(s,)) for s in socks]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
            try:
                # The older one may be closed before its CONNACK went out.
                closed = set()
                for i, sock in enumerate(socks):
                    try:
                        self.assertEqual(read_packet(sock)[0], 0x20)
                    except (ConnectionError, OSError):
                        closed.add(i)

                # One of the two is closed; the other stays open.
                def one_closed():
                    for i, sock in enumerate(socks):
                        if i in closed:
                            continue
                        sock.settimeout(0.05)
                        try:
                            if sock.recv(1, socket.MSG_PEEK) == b"":
                                closed.add(i)
                        except socket.timeout:
                            pass
                        except OSError:
                            closed.add(i)
                    return len(closed) == 1
                self.assertTrue(harness.wait_for(one_closed, timeout=10), f"round {round_number}: both stay live")
            finally:
                for sock in socks:
                    sock.close()

    def test_no_delivery_after_unsuback(self):
        stop = threading.Event()

        def flood():
            with connected(self.broker.port, "flooder") as pub:
                while not stop.is_set():
                    pub.sendall(publish("flood/x", b"p") * 50)
                    time.sleep(0.001)

        with connected(self.broker.port, "leaver") as sub:
            sub.sendall(subscribe(["flood/#"]))
            self.assertEqual(read_packet(sub), (0x90, b"\x00\x01\x00"))
            flooder = threading.Thread(target=flood)
            flooder.start()
            try:
                first, _ = read_packet(sub)
                self.assertEqual(first, 0x30)
                sub.sendall(unsubscribe(["flood/#"]))
                while True:
                    first, body = read_packet(sub)
                    if first == 0xB0:
                        break
                # After the UNSUBACK nothing more arrives for the dropped filter.
                sub.sendall(packet(0xC0))
                self.assertEqual(read_packet(sub), (0xD0, b""))
            finally:
                stop.set()
                flooder.join()


if __name__ == "__main__":
    unittest.main()
