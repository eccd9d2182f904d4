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
from peers import closed_by_peer, read_exact  # noqa: E402
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


def paho_client(client_id, transport="tcp"):
    try:
        return mqtt.Client(mqtt.CallbackAPIVersion.VERSION1, client_id=client_id, transport=transport)
    except AttributeError:
        return mqtt.Client(client_id=client_id, transport=transport)


class Listener:
    """A paho client that records what it receives and has its SUBACK before
    the caller publishes, so nothing depends on how fast the broker is."""

    def __init__(self, client_id, filters, transport="tcp", port=None, record=lambda m: m.payload, keepalive=60):
        self.got = []
        self.client = paho_client(client_id, transport)
        acked = threading.Event()
        self.client.on_message = lambda cl, u, m: self.got.append(record(m))
        self.client.on_subscribe = lambda *args: acked.set()
        self.client.connect("127.0.0.1", port, keepalive=keepalive)
        self.client.loop_start()
        self.client.subscribe(filters)
        if not acked.wait(10):
            raise AssertionError(f"no SUBACK for {filters}")

    def unsubscribe(self, topics):
        done = threading.Event()
        self.client.on_unsubscribe = lambda *args: done.set()
        self.client.unsubscribe(topics)
        if not done.wait(10):
            raise AssertionError(f"no UNSUBACK for {topics}")

    def wait_for(self, count, timeout=10):
        return harness.wait_for(lambda: len(self.got) >= count, timeout)

    def close(self):
        self.client.loop_stop()
        self.client.disconnect()


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
            c = Listener(f"wild-{abs(hash(filt + topic))}", [(filt, 1)], port=self.broker.port,
                         record=lambda m: m.topic)
            pub(self.broker.port, topic, "x", 1)
            # A delivery is waited for; an absence can only be given a while.
            c.wait_for(1, 10 if delivered else 0.5)
            c.close()
            self.assertEqual(bool(c.got), delivered, f"{filt} vs {topic}")

    def test_overlapping_filters_deliver_once_at_highest_qos(self):
        c = Listener("overlap", [("ov/#", 0), ("ov/+", 2)], port=self.broker.port, record=lambda m: m.qos)
        pub(self.broker.port, "ov/a", "x", 2)
        c.wait_for(1)
        time.sleep(0.5)  # room for a second copy to show up
        c.close()
        self.assertEqual(c.got, [2])

    def test_two_qos2_publishers_lose_nothing(self):
        sub = Listener("qos2-sink", [("q2/#", 2)], port=self.broker.port)

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
        sub.wait_for(200, 20)
        time.sleep(0.3)  # room for duplicates to show up
        sub.close()
        self.assertEqual(len(set(sub.got)), 200)
        self.assertEqual(len(sub.got), 200)

    def test_unsubscribe_removes_every_filter(self):
        c = Listener("unsub-all", [("u/a", 1), ("u/b", 1), ("u/kept", 1)], port=self.broker.port,
                     record=lambda m: m.topic)
        c.unsubscribe(["u/a", "u/b"])
        pub(self.broker.port, "u/a", "x", 1)
        pub(self.broker.port, "u/b", "x", 1)
        # The publications above were routed before this one reaches the client.
        pub(self.broker.port, "u/kept", "x", 1)
        c.wait_for(1)
        time.sleep(0.2)
        c.close()
        self.assertEqual(c.got, ["u/kept"])

    def test_keep_alive_pings_keep_a_client(self):
        c = Listener("ka-sub", [("ka/t", 1)], port=self.broker.port, keepalive=1)
        time.sleep(4)  # well past 1.5 keep-alives: only the pings keep it
        pub(self.broker.port, "ka/t", "still-here", 1)
        c.wait_for(1)
        c.close()
        self.assertEqual(c.got, [b"still-here"])

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
        # A PUBLISH with QoS 3, or to a name with a zero byte or a wildcard,
        # closes the connection: none reaches a subscriber of "bad/#".
        watcher = Listener("bad-watcher", [("bad/#", 0)], port=self.broker.port)
        for first, topic in [(0x36, b"bad/q3"), (0x32, b"bad/a\x00b"), (0x32, b"bad/+"), (0x32, b"bad/#")]:
            s = socket.create_connection(("127.0.0.1", self.broker.port))
            s.sendall(connect_packet("bad-pub"))
            self.assertEqual(read_exact(s, 4), b"\x20\x02\x00\x00")
            body = struct.pack("!H", len(topic)) + topic + b"\x00\x01x"
            s.sendall(bytes([first, len(body)]) + body)
            self.assertTrue(closed_by_peer(s), topic)
            s.close()
        pub(self.broker.port, "bad/ok", "ok", 0)  # the watcher still hears a valid one
        watcher.wait_for(1)
        watcher.close()
        self.assertEqual(watcher.got, [b"ok"])
        # A client id with a zero byte is refused; the client "victim" keeps its connection.
        victim = socket.create_connection(("127.0.0.1", self.broker.port))
        victim.sendall(connect_packet("victim"))
        self.assertEqual(read_exact(victim, 4), b"\x20\x02\x00\x00")
        s = socket.create_connection(("127.0.0.1", self.broker.port))
        body = mqtt_str("MQTT") + bytes([4, 2]) + struct.pack("!H", 60) + struct.pack("!H", 11) + b"victim\x00evil"
        s.sendall(bytes([0x10, len(body)]) + body)
        self.assertTrue(closed_by_peer(s))
        s.close()
        victim.sendall(b"\xc0\x00")
        self.assertEqual(read_exact(victim, 2), b"\xd0\x00")
        victim.close()

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
        status = lambda: self.broker.sql("select mqtt_status from mqtt_client where client_name='twin'")
        harness.wait_for(lambda: status() == [["0"]])
        self.assertEqual(status(), [["0"]])

    def test_paho_over_websocket(self):
        c = Listener("ws-client", [("ws/t", 1)], transport="websockets", port=self.broker.ws_port)
        pub(self.broker.port, "ws/t", "over-ws", 1)
        c.wait_for(1)
        c.close()
        self.assertEqual(c.got, [b"over-ws"])

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


class WebSocketTlsTest(unittest.TestCase):
    """The MQTT-over-WebSocket port with TLS, as a device behind a TLS-only
    network would use it."""

    def test_paho_over_websocket_tls(self):
        import ssl
        broker = harness.Broker(persistence=False, extra={
            "mqtt_websocket_ssl_enabled": "true",
            "ssl_certificate": "./config/localhost.crt",
            "ssl_key": "./config/localhost.key",
        })
        try:
            c = paho_client("wss-client", transport="websockets")
            c.tls_set(ca_certs=os.path.join(broker.root, "config", "localhost.crt"), cert_reqs=ssl.CERT_REQUIRED)
            c.tls_insecure_set(True)  # the certificate names localhost; we dial 127.0.0.1
            got = []
            acked = threading.Event()
            c.on_message = lambda cl, u, m: got.append(m.payload)
            c.on_subscribe = lambda *args: acked.set()
            c.connect("127.0.0.1", broker.ws_port)
            c.loop_start()
            c.subscribe("wss/t", 1)
            self.assertTrue(acked.wait(10), broker.log())
            pub(broker.port, "wss/t", "over-wss", 1)
            harness.wait_for(lambda: got)
            c.loop_stop()
            c.disconnect()
            self.assertEqual(got, [b"over-wss"])
            # A plain WebSocket client on the TLS port gets no MQTT session.
            plain = paho_client("ws-plain", transport="websockets")
            with self.assertRaises(Exception):
                plain.connect("127.0.0.1", broker.ws_port)
        finally:
            code, log = broker.close()
        self.assertFalse(harness.sanitizer_report(log), log)
        self.assertEqual(code, 0, log)


if __name__ == "__main__":
    unittest.main()
