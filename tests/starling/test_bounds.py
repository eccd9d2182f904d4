"""What one client can make the broker hold has a bound: the topic registry
(entries and bytes of names), and the memory a persisted topic holds for
large messages; another client is served meanwhile, and the resident memory
stays within a stated margin of what the bounds allow."""
import contextlib
import json
import os
import sys
import threading
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import harness  # noqa: E402
from harness import wait_for  # noqa: E402
from peers import ResidentGrowth  # noqa: E402
from test_conformance import connect, open_socket, publish, read_packet, subscribe  # noqa: E402
from test_persist import Broker, create  # noqa: E402

MAX_TOPIC_ENTRIES = 4096
# Freed blocks must leave the resident size for growth to be read.
UNQUARANTINED = {"ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") + ":quarantine_size_mb=0"}


class BoundsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.broker = Broker(persistence=True, stats_interval=1, stats_persist_interval=0, websocket=False,
                            env=UNQUARANTINED)

    @classmethod
    def tearDownClass(cls):
        code, log = cls.broker.close()
        assert not harness.sanitizer_report(log), log
        assert code == 0, log

    def client(self, client_id):
        sock = open_socket(self.broker.port)
        sock.sendall(connect(client_id))
        self.assertEqual(read_packet(sock)[0], 0x20)
        return sock

    def flood(self, client_id, topics):
        """QoS 0 publications to each topic in one stream, then a QoS 1 marker: all were handled once it is acknowledged."""
        sock = self.client(client_id)
        sock.settimeout(300)  # the broker reads as fast as it records new names
        for start in range(0, len(topics), 500):
            sock.sendall(b"".join(publish(t, b"x") for t in topics[start:start + 500]))
        sock.sendall(publish("bounds/marker", b"m", qos=1, message_id=1))
        self.assertEqual(read_packet(sock, timeout=300), (0x40, b"\x00\x01"))
        sock.close()

    def registry_size(self):
        """Entries of the topic registry, as the statistics publisher lists them (the second document after
        subscribing: the first may have been made before)."""
        sock = self.client("bounds-stats")
        sock.sendall(subscribe(["brenloxAdmin/topics"], qos=0, message_id=1))
        # A publication may come before the SUBACK; the SUBACK is passed over as the loop reads.
        documents = 0
        while documents < 2:
            first, body = read_packet(sock, timeout=60)
            documents += first & 0xF0 == 0x30
        sock.close()
        doc = json.loads(body[2 + int.from_bytes(body[:2], "big"):])
        return doc.get("totalCount", len(doc["topicList"]))

    @contextlib.contextmanager
    def other_client_served(self, client_id):
        """Another client publishes QoS 1 messages throughout the block; at least one must be acknowledged."""
        served = []
        stop = threading.Event()

        def other():
            sock = self.client(client_id)
            n = 0
            while not stop.is_set():
                n = n % 65535 + 1
                sock.sendall(publish("bounds/other", b"o", qos=1, message_id=n))
                if read_packet(sock, timeout=60) == (0x40, n.to_bytes(2, "big")):
                    served.append(n)
            sock.close()

        worker = threading.Thread(target=other)
        worker.start()
        try:
            yield
        finally:
            stop.set()
            worker.join()
        self.assertTrue(served)

    def test_topic_registry_is_bounded(self):
        b = self.broker
        # Another client keeps being served while one floods new topic names.
        with self.other_client_served("bounds-other"):
            with ResidentGrowth(b.proc.pid) as growth:
                self.flood("bounds-names", ["bounds/t%d" % i for i in range(MAX_TOPIC_ENTRIES + 300)])
            # The registry holds 4,096 entries; with their rows' pages and the connections' buffers they stay
            # far below what every name kept would take.
            growth.check(self, peak_mib=32, after_mib=24)
            self.assertLessEqual(self.registry_size(), MAX_TOPIC_ENTRIES)
            # The first name left memory; it comes back with its count from its row.
            self.assertEqual(b.sql("select sent_msg_count from mqtt_topic where topic_name = 'bounds/t0'"), [["1"]])
            self.flood("bounds-again", ["bounds/t0"])
            # Names of 60,000 bytes, 72 MB of them: the bound on bytes (16 MiB) holds far fewer. Kept whole,
            # each took about 250 KB; bounded, what stays is that bound and the pages of their rows in the
            # database connections' caches.
            with ResidentGrowth(b.proc.pid) as growth:
                for flood in range(4):
                    self.flood("bounds-long", ["bounds/%d/%d/" % (flood, i) + "n" * 60000 for i in range(300)])
            growth.check(self, peak_mib=160, after_mib=128)
        self.assertLess(self.registry_size(), 300)
        # Pushed out again, bounds/t0 left its new count in its row.
        self.assertEqual(b.sql("select sent_msg_count from mqtt_topic where topic_name = 'bounds/t0'"), [["2"]])

    def test_large_messages_to_a_mapped_topic(self):
        b = self.broker
        mapping = [{"propertyPath": "id", "fieldName": "id", "fieldType": "INTEGER"}]
        self.assertEqual(b.command(create("bounds/big", mapOfPropertiesToFields=mapping))[0], 0, b.log())
        values = list(range(50000))
        # 20 messages of 340 KB holding 50,000 values each: prepared whole they took 17 times their size;
        # a batch is bounded by its bytes and only the mapped member is extracted.
        with self.other_client_served("bounds-big-other"), ResidentGrowth(b.proc.pid) as growth:
            sock = self.client("bounds-big")
            for n in range(1, 21):
                sock.sendall(publish("bounds/big", json.dumps({"id": n, "values": values}).encode(), qos=1,
                                     message_id=n))
            acked = [read_packet(sock, timeout=120) for _ in range(20)]
            sock.close()
        growth.check(self, peak_mib=48, after_mib=24)
        self.assertEqual(sorted(acked), [(0x40, n.to_bytes(2, "big")) for n in range(1, 21)])
        self.assertEqual(b.tsql("select count(*), min(id), max(id) from bounds_big"), [["20", "1", "20"]])


class TopicRowsTest(unittest.TestCase):
    def test_topic_rows_are_bounded(self):
        b = Broker(persistence=True, stats_interval=0, stats_persist_interval=0, websocket=False,
                   starling_cfg="TOPIC_MAX_ROWS 50\n")
        try:
            # Rows something refers to stay: a persisted topic, a retained payload, a live subscription's link.
            self.assertEqual(b.command(create("keep/persisted"))[0], 0, b.log())
            subscriber = open_socket(b.port)
            subscriber.sendall(connect("rows-subscriber") + subscribe(["keep/subscribed"], qos=0, message_id=1))
            self.assertEqual(read_packet(subscriber)[0], 0x20)
            self.assertEqual(read_packet(subscriber)[0], 0x90)
            sock = open_socket(b.port)
            sock.sendall(connect("rows-flood"))
            self.assertEqual(read_packet(sock)[0], 0x20)
            sock.sendall(bytes([0x31]) + publish("keep/retained", b"r")[1:] + publish("keep/subscribed", b"s"))
            sock.sendall(b"".join(publish("rows/t%d" % i, b"x") for i in range(200)))
            sock.sendall(publish("rows/marker", b"m", qos=1, message_id=1))
            self.assertEqual(read_packet(sock, timeout=120), (0x40, b"\x00\x01"))
            sock.close()
            rows = lambda: int(b.sql("select count(*) from mqtt_topic")[0][0])
            self.assertTrue(wait_for(lambda: rows() <= 50, 60), rows())
            kept = b.sql("select topic_name from mqtt_topic where topic_name like 'keep/%' order by topic_name")
            self.assertEqual(kept, [["keep/persisted"], ["keep/retained"], ["keep/subscribed"]])
            # The newest names are the ones left.
            self.assertEqual(b.sql("select count(*) from mqtt_topic where topic_name = 'rows/t199'"), [["1"]])
            subscriber.close()
        finally:
            code, log = b.close()
        self.assertFalse(harness.sanitizer_report(log), log)
        self.assertEqual(code, 0, log)


if __name__ == "__main__":
    unittest.main(verbosity=2)
