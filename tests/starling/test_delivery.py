"""Delivery through heron's broker with real clients: mosquitto_pub/sub,
paho over TCP and over the WebSocket bridge, raw packets for refusals."""
import asyncio
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
import paho.mqtt.client as mqtt  # noqa: E402


def sub_proc(port, topic, count, qos, extra=()):
    return subprocess.Popen(["mosquitto_sub", "-p", str(port), "-t", topic, "-q", str(qos), "-C", str(count),
                             "-W", "20", "-v", *extra], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def pub(port, topic, message, qos, extra=()):
    subprocess.run(["mosquitto_pub", "-p", str(port), "-t", topic, "-m", message, "-q", str(qos), *extra],
                   check=True, timeout=20)


def wait_subscribed(broker, topic_filter):
    # The subscription row is written before SUBACK goes out. Rows of other
    # filters do not count: the previous subscriber's row may still be there
    # while the broker handles its disconnect.
    deadline = time.time() + 10
    while time.time() < deadline:
        rows = broker.sql(f"select count(*) from mqtt_subscription where topic_filter = '{topic_filter}'")
        if int(rows[0][0]) >= 1:
            return
        time.sleep(0.05)
    raise AssertionError("subscription to %s not recorded" % topic_filter)


def mqtt_str(text):
    b = text.encode()
    return struct.pack("!H", len(b)) + b


def connect_packet(client_id, level=4, flags=0x02, keep_alive=60):
    body = mqtt_str("MQTT") + bytes([level, flags]) + struct.pack("!H", keep_alive) + mqtt_str(client_id)
    return bytes([0x10, len(body)]) + body


def read_exact(sock, n, timeout=10):
    sock.settimeout(timeout)
    data = b""
    while len(data) < n:
        chunk = sock.recv(n - len(data))
        if not chunk:
            break
        data += chunk
    return data


def closed_by_peer(sock, timeout=15):
    sock.settimeout(timeout)
    try:
        while True:
            if sock.recv(1024) == b"":
                return True
    except (ConnectionResetError, socket.timeout):
        return False


def paho_client(client_id, transport="tcp"):
    try:
        return mqtt.Client(mqtt.CallbackAPIVersion.VERSION1, client_id=client_id, transport=transport)
    except AttributeError:
        return mqtt.Client(client_id=client_id, transport=transport)


class DeliveryTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.broker = harness.Broker(persistence=False)

    @classmethod
    def tearDownClass(cls):
        code, log = cls.broker.close()
        assert not harness.sanitizer_report(log), log
        assert code == 0, log

    def test_qos_both_ways(self):
        # Publication QoS x subscription QoS: delivered at the lower one.
        for pq in (0, 1, 2):
            for sq in (0, 1, 2):
                topic = f"qos/{pq}/{sq}"
                sub = sub_proc(self.broker.port, topic, 1, sq, ("-i", f"sub{pq}{sq}", "-F", "%q %t %p"))
                wait_subscribed(self.broker, topic)
                pub(self.broker.port, topic, f"m{pq}{sq}", pq)
                out, err = sub.communicate(timeout=25)
                self.assertEqual(out.strip(), f"{min(pq, sq)} {topic} m{pq}{sq}", err)
                time.sleep(0.2)

    def test_wildcards(self):
        cases = [("w/+/c", "w/b/c", True), ("w/+/c", "w//c", True), ("w/#", "w", True), ("w/#", "w/x/y", True),
                 ("w/+", "w/x/y", False), ("+/x", "$w/x", False), ("#", "$SYS/x", False)]
        for filt, topic, delivered in cases:
            c = paho_client(f"wild-{abs(hash(filt + topic))}")
            got = []
            c.on_message = lambda cl, u, m: got.append(m.topic)
            c.connect("127.0.0.1", self.broker.port)
            c.loop_start()
            c.subscribe(filt, 1)
            time.sleep(0.3)
            pub(self.broker.port, topic, "x", 1)
            time.sleep(0.5)
            c.loop_stop()
            c.disconnect()
            self.assertEqual(bool(got), delivered, f"{filt} vs {topic}")

    def test_overlapping_filters_deliver_once_at_highest_qos(self):
        c = paho_client("overlap")
        got = []
        c.on_message = lambda cl, u, m: got.append(m.qos)
        c.connect("127.0.0.1", self.broker.port)
        c.loop_start()
        c.subscribe([("ov/#", 0), ("ov/+", 2)])
        time.sleep(0.3)
        pub(self.broker.port, "ov/a", "x", 2)
        time.sleep(0.5)
        c.loop_stop()
        c.disconnect()
        self.assertEqual(got, [2])

    def test_two_qos2_publishers_lose_nothing(self):
        received = []
        done = threading.Event()
        sub = paho_client("qos2-sink")
        sub.on_message = lambda cl, u, m: (received.append(m.payload), len(received) >= 200 and done.set())
        sub.connect("127.0.0.1", self.broker.port)
        sub.loop_start()
        sub.subscribe("q2/#", 2)
        time.sleep(0.3)

        def publish(name):
            p = paho_client(name)
            p.max_inflight_messages_set(20)
            p.connect("127.0.0.1", self.broker.port)
            p.loop_start()
            infos = [p.publish("q2/" + name, f"{name}-{i}", qos=2) for i in range(100)]
            for info in infos:
                info.wait_for_publish(20)
            p.loop_stop()
            p.disconnect()

        threads = [threading.Thread(target=publish, args=(n,)) for n in ("p1", "p2")]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        done.wait(20)
        sub.loop_stop()
        sub.disconnect()
        self.assertEqual(len(set(received)), 200)
        self.assertEqual(len(received), 200)

    def test_unsubscribe_removes_every_filter(self):
        c = paho_client("unsub-all")
        got = []
        c.on_message = lambda cl, u, m: got.append(m.topic)
        c.connect("127.0.0.1", self.broker.port)
        c.loop_start()
        c.subscribe([("u/a", 1), ("u/b", 1)])
        time.sleep(0.3)
        r, mid = c.unsubscribe(["u/a", "u/b"])
        time.sleep(0.3)
        pub(self.broker.port, "u/a", "x", 1)
        pub(self.broker.port, "u/b", "x", 1)
        time.sleep(0.5)
        c.loop_stop()
        c.disconnect()
        self.assertEqual(got, [])

    def test_keep_alive_pings_keep_a_client(self):
        got = []
        c = paho_client("ka-sub")
        c.on_message = lambda cl, u, m: got.append(m.payload)
        c.connect("127.0.0.1", self.broker.port, keepalive=1)
        c.loop_start()
        c.subscribe("ka/t", 1)
        time.sleep(4)  # well past 1.5 keep-alives: only the pings keep it
        pub(self.broker.port, "ka/t", "still-here", 1)
        time.sleep(0.5)
        c.loop_stop()
        c.disconnect()
        self.assertEqual(got, [b"still-here"])

    def test_silent_client_is_closed_and_keep_alive_zero_is_not(self):
        s = socket.create_connection(("127.0.0.1", self.broker.port))
        s.sendall(connect_packet("silent", keep_alive=1))
        self.assertEqual(read_exact(s, 4), b"\x20\x02\x00\x00")
        self.assertTrue(closed_by_peer(s, 15))
        s.close()
        z = socket.create_connection(("127.0.0.1", self.broker.port))
        z.sendall(connect_packet("no-keepalive", keep_alive=0))
        self.assertEqual(read_exact(z, 4), b"\x20\x02\x00\x00")
        self.assertFalse(closed_by_peer(z, 4))
        z.close()

    def test_refusals(self):
        cases = [(connect_packet("lvl", level=5), b"\x20\x02\x00\x01"),
                 (connect_packet("", flags=0x00), b"\x20\x02\x00\x02")]
        for packet, answer in cases:
            s = socket.create_connection(("127.0.0.1", self.broker.port))
            s.sendall(packet)
            self.assertEqual(read_exact(s, 4), answer)
            self.assertTrue(closed_by_peer(s))
            s.close()
        # PUBLISH with QoS 3 closes the connection.
        s = socket.create_connection(("127.0.0.1", self.broker.port))
        s.sendall(connect_packet("q3"))
        self.assertEqual(read_exact(s, 4), b"\x20\x02\x00\x00")
        body = mqtt_str("t") + b"\x00\x01x"
        s.sendall(bytes([0x36, len(body)]) + body)
        self.assertTrue(closed_by_peer(s))
        s.close()

    def test_same_client_id_takes_over(self):
        old = socket.create_connection(("127.0.0.1", self.broker.port))
        old.sendall(connect_packet("twin"))
        self.assertEqual(read_exact(old, 4), b"\x20\x02\x00\x00")
        new = socket.create_connection(("127.0.0.1", self.broker.port))
        new.sendall(connect_packet("twin"))
        self.assertEqual(read_exact(new, 4), b"\x20\x02\x00\x00")
        self.assertTrue(closed_by_peer(old))
        new.sendall(b"\xc0\x00")  # PINGREQ on the newer one still answers
        self.assertEqual(read_exact(new, 2), b"\xd0\x00")
        old.close()
        new.close()
        time.sleep(0.3)
        rows = self.broker.sql("select mqtt_status from mqtt_client where client_name='twin'")
        self.assertEqual(rows, [["0"]])

    def test_paho_over_websocket(self):
        got = []
        done = threading.Event()
        c = paho_client("ws-client", transport="websockets")
        c.on_message = lambda cl, u, m: (got.append(m.payload), done.set())
        c.connect("127.0.0.1", self.broker.ws_port)
        c.loop_start()
        c.subscribe("ws/t", 1)
        time.sleep(0.5)
        pub(self.broker.port, "ws/t", "over-ws", 1)
        done.wait(10)
        c.loop_stop()
        c.disconnect()
        self.assertEqual(got, [b"over-ws"])

    def test_connect_split_across_websocket_frames(self):
        import websockets

        async def run():
            uri = f"ws://127.0.0.1:{self.broker.ws_port}/mqtt"
            async with websockets.connect(uri, subprotocols=["mqtt"]) as ws:
                packet = connect_packet("split")
                await ws.send(packet[:10])
                await asyncio.sleep(0.3)
                await ws.send(packet[10:])
                reply = await asyncio.wait_for(ws.recv(), 10)
                return bytes(reply)

        self.assertEqual(asyncio.run(run()), b"\x20\x02\x00\x00")


if __name__ == "__main__":
    unittest.main()
