"""The broker's lifecycle seen from its tables and its own clients: sessions
ended at a clean stop and after a crash, rows of generated client ids, the
statistics publisher's client id and document size, the remote link's redial
and queue bound, the history bound and the database file's mode."""
import json
import os
import socket
import stat
import struct
import sys
import time
import unittest

import paho.mqtt.client as mqtt

sys.path.insert(0, os.path.dirname(__file__))
import harness  # noqa: E402
from harness import wait_for  # noqa: E402
from peers import read_exact  # noqa: E402
from test_delivery import Listener, connect_packet, mqtt_str, paho_client, pub  # noqa: E402


def connected(client_id, port, subscribe=(), clean=True):
    """A paho client connected (and subscribed, SUBACK seen) on the broker."""
    try:
        c = mqtt.Client(mqtt.CallbackAPIVersion.VERSION1, client_id=client_id, clean_session=clean)
    except AttributeError:
        c = mqtt.Client(client_id=client_id, clean_session=clean)
    acks = []
    c.on_subscribe = lambda *a: acks.append(1)
    c.connect("127.0.0.1", port, keepalive=60)
    c.loop_start()
    for f in subscribe:
        c.subscribe(f, 1)
    if subscribe and not wait_for(lambda: len(acks) == len(subscribe), 15):
        raise RuntimeError("no SUBACK")
    return c


def connack_code(port, packet):
    """Sends a raw CONNECT; returns the CONNACK return code, or None when closed without one."""
    with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
        s.sendall(packet)
        try:
            head = read_exact(s, 4)
        except (OSError, EOFError):
            return None
        return head[3] if head and len(head) == 4 and head[0] == 0x20 else None


def connect_with_password(client_id, password):
    body = mqtt_str("MQTT") + bytes([4, 0xC2]) + struct.pack(">H", 60) + mqtt_str(client_id) + \
        mqtt_str(client_id) + mqtt_str(password)
    return bytes([0x10, len(body)]) + body


def closed_cleanly(test, broker):
    """Stops heron and removes its tree; heron must exit 0 without a sanitizer report."""
    code, log = broker.close()
    test.assertFalse(harness.sanitizer_report(log), log)
    test.assertEqual(code, 0, log)


def history(broker, table):
    return int(broker.sql(f"select count(*) from {table}")[0][0])


class SessionEndTest(unittest.TestCase):
    """Clients connected when heron ends keep no "connected" row, subscription or topic link."""

    def check_ended(self, broker, name):
        number, status = broker.sql(f"select client_id, mqtt_status from mqtt_client where client_name='{name}'")[0]
        self.assertEqual(status, "0", broker.log())
        self.assertEqual(broker.sql(f"select action from mqtt_connection_history where client_id={number} "
                                    "order by rowid desc limit 1"), [["D"]])
        self.assertEqual(broker.sql(f"select count(*) from mqtt_subscription where client_id={number}"), [["0"]])
        self.assertEqual(broker.sql(f"select count(*) from mqtt_connection_topic where client_id={number}"), [["0"]])
        return number

    def test_clean_stop_and_crash_end_sessions(self):
        broker = harness.Broker(persistence=True, stats_interval=1, websocket=False)
        try:
            for kill in (False, True):
                name = "ghost-kill" if kill else "ghost-stop"
                pub(broker.port, "ghost/old", "x", 1)
                c = connected(name, broker.port, ["ghost/#"])
                wait_for(lambda: broker.sql("select count(*) from mqtt_connection_topic t join mqtt_client c "
                                            f"using(client_id) where c.client_name='{name}'") != [["0"]])
                wait_for(lambda: broker.sql("select mqtt_status from mqtt_client "
                                            "where client_name='starling-statistics'") == [["1"]])
                c.loop_stop()  # the connection stays open, with no DISCONNECT and no reconnect
                broker.restart(kill=kill)
                number = self.check_ended(broker, name)
                # The broker's own publisher: one row for every start, ended at the stop.
                self.assertEqual(broker.sql("select count(*) from mqtt_client where client_name like 'starling%'"),
                                 [["1"]])
                # A new topic is linked to no client of an ended session.
                pub(broker.port, f"ghost/new-{int(kill)}", "x", 1)
                wait_for(lambda: broker.sql(f"select * from mqtt_topic where topic_name='ghost/new-{int(kill)}'"))
                self.assertEqual(broker.sql(f"select count(*) from mqtt_connection_topic where client_id={number}"),
                                 [["0"]])
            code, log = broker.stop()
            self.assertEqual(broker.sql("select mqtt_status from mqtt_client where client_name='starling-statistics'"),
                             [["0"]])
            self.assertFalse(harness.sanitizer_report(log), log)
        finally:
            broker.close()

    def test_generated_ids_leave_history_but_no_rows(self):
        broker = harness.Broker(persistence=True, stats_interval=0, websocket=False)
        try:
            for _ in range(5):
                c = connected("", broker.port, ["gen/#"])
                c.loop_stop()
                c.disconnect()
            wait_for(lambda: history(broker, "mqtt_connection_history") >= 10)
            wait_for(lambda: broker.sql("select count(*) from mqtt_client") == [["0"]])
            self.assertEqual(broker.sql("select count(*) from mqtt_client"), [["0"]], broker.log())
            self.assertEqual(broker.sql("select action, count(*) from mqtt_connection_history group by action"),
                             [["C", "5"], ["D", "5"]])
            self.assertEqual(broker.sql("select count(*) from mqtt_subscription"), [["0"]])
            # Ids under the broker's own prefix are not for clients to take.
            for client_id in ("starling-client-1-1", "starling-statistics"):
                self.assertEqual(connack_code(broker.port, connect_packet(client_id)), 2)
        finally:
            closed_cleanly(self, broker)


class StatisticsPublisherTest(unittest.TestCase):
    def test_id_cannot_be_taken_and_large_documents_stay_within_the_limit(self):
        broker = harness.Broker(persistence=True, stats_interval=1, websocket=False)
        clients = []
        try:
            reader = Listener("stats-reader", [("brenloxAdmin/#", 0)], port=broker.port,
                              record=lambda m: (m.topic, len(m.payload), json.loads(m.payload)))
            # A topic with no publication has no last message time.
            pub(broker.port, "quarnAdministration",
                '{"operation":"PausePersistenceTopic","persistenceTopic":"never/published"}', 1,
                harness.ADMIN_CREDENTIALS)

            def topics_doc(wanted):
                docs = [(size, doc) for topic, size, doc in reader.got if topic == "brenloxAdmin/topics"
                        and wanted({t["name"]: t for t in doc["topicList"]}, doc)]
                return docs[-1] if docs else None

            found = wait_for(lambda: topics_doc(lambda names, doc: "never/published" in names), 15)
            self.assertIsNotNone(found, broker.log())
            listed = {t["name"]: t for t in found[1]["topicList"]}
            self.assertNotIn("lastMessageTime", listed["never/published"])
            self.assertRegex(listed["quarnAdministration"]["lastMessageTime"], r"^20\d\d-")
            # The publisher's id, as published, with and without a password: refused.
            self.assertEqual(connack_code(broker.port, connect_packet("starling-statistics")), 2)
            self.assertEqual(connack_code(broker.port, connect_with_password("starling-statistics", "guess")), 2)
            # Ten subscribers with 10 KB ids on one filter, 100 topics: the topics
            # document would be about 10 MB, past the 8 MiB a packet may have.
            for i in range(10):
                clients.append(connected(f"big-{i:02d}-" + "x" * 10000, broker.port, ["big/#"]))
            p = paho_client("big-publisher")
            p.connect("127.0.0.1", broker.port)
            p.loop_start()
            for i in range(100):
                p.publish(f"big/t{i}", "x", 1).wait_for_publish(10)
            p.loop_stop()
            p.disconnect()
            found = wait_for(lambda: topics_doc(lambda names, doc: doc.get("totalCount", 0) >= 102), 30)
            self.assertIsNotNone(found, broker.log())
            size, doc = found
            self.assertLessEqual(size, 4 << 20)
            self.assertTrue(doc["truncated"])
            self.assertGreater(len(doc["topicList"]), 10)
            self.assertEqual(doc["topicList"][0]["name"], "big/t0")
            # The publisher goes on: later documents keep coming.
            count = len(reader.got)
            self.assertTrue(wait_for(lambda: len(reader.got) >= count + 3, 15), broker.log())
            reader.close()
            # A stop while a handler works through SUBSCRIBEs to the statistics
            # topics (each wakes the publisher): the handler is waited for
            # before the publisher's record goes.
            s = socket.create_connection(("127.0.0.1", broker.port), timeout=10)
            s.sendall(connect_packet("stop-racer"))
            read_exact(s, 4)
            body = struct.pack(">H", 1) + b"".join(mqtt_str(f"brenloxAdmin/r{i}") + b"\x00" for i in range(400))
            s.sendall(bytes([0x82]) + encode_length(len(body)) + body)
            wait_for(lambda: broker.sql("select count(*) from mqtt_subscription where topic_filter like "
                                        "'brenloxAdmin/r%'") != [["0"]])
        finally:
            for c in clients:
                c.loop_stop()
            closed_cleanly(self, broker)


class RemoteLinkRedialTest(unittest.TestCase):
    def test_link_down_at_start_comes_up_redials_after_loss_and_bounds_its_queue(self):
        remote_port = harness.free_port()
        cfg = (f"SYS_BROKER_HOST 127.0.0.1\nSYS_BROKER_PORT {remote_port}\nSYS_BROKER_FORWARD yes\n")
        local = harness.Broker(persistence=True, websocket=False, stats_interval=0, starling_cfg=cfg)
        remote = None
        try:
            failed = f"Not able to connect MQTT client - 127.0.0.1:{remote_port}"
            self.assertTrue(wait_for(lambda: failed in local.log(), 10), local.log())
            # While the remote is down the queue fills to its bound and drops the rest.
            p = paho_client("flood")
            p.connect("127.0.0.1", local.port)
            p.loop_start()
            payload = b"z" * 4096
            # A dial attempt discards what is queued, so the flood goes on in
            # rounds until one of them overflows the queue between attempts.
            deadline = time.time() + 60
            while "forward queue full" not in local.log() and time.time() < deadline:
                for i in range(5000):
                    p.publish("flood/t", payload, 0)
                p.publish("flood/t", payload, 1).wait_for_publish(30)
                wait_for(lambda: "forward queue full" in local.log(), 2)
            p.loop_stop()
            p.disconnect()
            self.assertIn("forward queue full", local.log())
            for attempt in range(2):
                remote = harness.Broker(persistence=False, websocket=False, port=remote_port)
                self.assertTrue(wait_for(lambda: local.log().count(f"MQTT link to [127.0.0.1:{remote_port}] is up again")
                                         > attempt, 40), local.log())
                watcher = Listener("watcher", [("fwd/#", 1)], port=remote.port, record=lambda m: m.payload)
                deadline = time.time() + 10
                while not watcher.got and time.time() < deadline:
                    pub(local.port, "fwd/a", f"round-{attempt}", 1)
                    watcher.wait_for(1, 1)
                watcher.close()
                self.assertIn(f"round-{attempt}".encode(), watcher.got, local.log())
                code, log = remote.close()
                remote = None
                self.assertTrue(wait_for(lambda: local.log().count(f"MQTT link to [127.0.0.1:{remote_port}] was lost")
                                         > attempt, 10), local.log())
        finally:
            if remote is not None:
                remote.close()
            closed_cleanly(self, local)


class HistoryBoundTest(unittest.TestCase):
    def test_history_tables_stay_within_their_bound(self):
        broker = harness.Broker(persistence=False, stats_interval=0, websocket=False,
                                starling_cfg="HISTORY_MAX_ROWS 200\n")
        try:
            pub(broker.port, "hist/t", "x", 1)
            with socket.create_connection(("127.0.0.1", broker.port), timeout=10) as s:
                s.sendall(connect_packet("hist-client"))
                read_exact(s, 4)
                for i in range(300):
                    f = mqtt_str("hist/" + "f" * 1000 + f"/{i}")
                    sub = struct.pack(">H", 2 * i + 1) + f + b"\x00"
                    s.sendall(bytes([0x82]) + encode_length(len(sub)) + sub)
                    read_exact(s, 5)
                    uns = struct.pack(">H", 2 * i + 2) + f
                    s.sendall(bytes([0xA2]) + encode_length(len(uns)) + uns)
                    read_exact(s, 4)
            tables = ("mqtt_subscription_history", "mqtt_connection_history", "mqtt_connection_topic_history")
            self.assertTrue(wait_for(lambda: all(history(broker, t) <= 200 for t in tables), 20),
                            [history(broker, t) for t in tables])
            # The newest rows are the ones kept.
            last = broker.sql("select topic_filter, action from mqtt_subscription_history order by rowid desc limit 1")
            self.assertEqual(last, [["hist/" + "f" * 1000 + "/299", "U"]])
            # The tables hold user names and password sums: the file is the owner's only.
            mode = stat.S_IMODE(os.stat(broker.db()).st_mode)
            self.assertEqual(mode & 0o077, 0, oct(mode))
        finally:
            closed_cleanly(self, broker)


def encode_length(n):
    out = bytearray()
    while True:
        byte, n = n % 128, n // 128
        out.append(byte | (0x80 if n else 0))
        if not n:
            return bytes(out)


if __name__ == "__main__":
    unittest.main()
