"""The broker's metadata tables (checked with sqlite3), statistics topics,
command files, and start-up failures of the local authentication file."""
import json
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
from harness import wait_for  # noqa: E402
from peers import closed_by_peer, read_exact  # noqa: E402
from test_delivery import Listener, connect_packet, paho_client, pub  # noqa: E402


class MetadataTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.broker = harness.Broker(persistence=True, stats_interval=1, stats_persist_interval=1)

    @classmethod
    def tearDownClass(cls):
        code, log = cls.broker.close()
        assert not harness.sanitizer_report(log), log
        assert code == 0, log

    def sql(self, q):
        return self.broker.sql(q)

    def client_row(self, name):
        rows = self.sql(f"select client_id, mqtt_status, keep_alive_seconds, username from mqtt_client "
                        f"where client_name='{name}'")
        return rows[0] if rows else None

    def test_connection_lifecycle_rows(self):
        pub(self.broker.port, "meta/t1", "first", 1)  # a topic before the subscription
        c = paho_client("meta-client")
        c.username_pw_set("alice", "secret")
        c.connect("127.0.0.1", self.broker.port, keepalive=30)
        c.loop_start()
        row = wait_for(lambda: self.client_row("meta-client"))
        number, status, keep, user = row
        self.assertEqual((status, keep, user), ("2", "30", "alice"))
        c.subscribe("meta/+", 1)
        wait_for(lambda: self.sql(f"select * from mqtt_subscription where client_id={number}"))
        self.assertEqual(self.sql(f"select topic_filter from mqtt_subscription where client_id={number}"), [["meta/+"]])
        t1 = self.sql("select topic_id from mqtt_topic where topic_name='meta/t1'")[0][0]
        self.assertEqual(self.sql(f"select topic_id from mqtt_connection_topic where client_id={number}"), [[t1]])
        # A new topic matching the filter is linked with action "A".
        pub(self.broker.port, "meta/t2", "second", 1)
        t2 = wait_for(lambda: self.sql("select topic_id from mqtt_topic where topic_name='meta/t2'"))[0][0]
        wait_for(lambda: len(self.sql(f"select * from mqtt_connection_topic where client_id={number}")) == 2)
        actions = self.sql(f"select topic_id, action from mqtt_connection_topic_history where client_id={number} "
                           "order by rowid")
        self.assertEqual(actions, [[t1, "S"], [t2, "A"]])
        c.unsubscribe("meta/+")
        wait_for(lambda: not self.sql(f"select * from mqtt_subscription where client_id={number}"))
        self.assertEqual(self.sql(f"select action from mqtt_subscription_history where client_id={number} "
                                  "order by rowid"), [["S"], ["U"]])
        wait_for(lambda: not self.sql(f"select * from mqtt_connection_topic where client_id={number}"))
        c.loop_stop()
        c.disconnect()
        wait_for(lambda: self.client_row("meta-client")[1] == "0")
        # Reconnecting with the same id keeps the row and its number.
        c2 = paho_client("meta-client")
        c2.connect("127.0.0.1", self.broker.port)
        c2.loop_start()
        wait_for(lambda: self.client_row("meta-client")[1] == "2")
        self.assertEqual(self.client_row("meta-client")[0], number)
        c2.loop_stop()
        c2.disconnect()
        wait_for(lambda: len(self.sql(f"select * from mqtt_connection_history where client_id={number}")) == 4)
        self.assertEqual(self.sql(f"select action from mqtt_connection_history where client_id={number} "
                                  "order by rowid"), [["C"], ["D"], ["C"], ["D"]])

    def test_subscription_rows_follow_resubscribe_and_unknown_unsubscribe(self):
        pub(self.broker.port, "rows/a", "1", 0)
        topic = wait_for(lambda: self.sql("select topic_id from mqtt_topic where topic_name='rows/a'"))[0][0]
        c = Listener("rows-client", [("rows/#", 1)], port=self.broker.port)
        number = self.client_row("rows-client")[0]
        subs = lambda: self.sql(f"select topic_filter from mqtt_subscription where client_id={number}")
        links = lambda: self.sql(f"select topic_id from mqtt_connection_topic where client_id={number}")
        acked = threading.Event()
        c.client.on_subscribe = lambda *args: acked.set()
        c.client.subscribe("rows/#", 2)  # replaces the first subscription
        self.assertTrue(acked.wait(10))
        self.assertEqual(subs(), [["rows/#"]])
        c.unsubscribe("rows/+")  # never subscribed: the link of "rows/#" stays
        self.assertEqual((subs(), links()), ([["rows/#"]], [[topic]]))
        c.unsubscribe("rows/#")
        self.assertEqual((subs(), links()), ([], []))
        c.close()
        self.assertEqual(self.sql(f"select topic_filter, action from mqtt_subscription_history "
                                  f"where client_id={number} order by rowid"),
                         [["rows/#", "S"], ["rows/#", "S"], ["rows/#", "U"]])

    def test_take_over_keeps_the_rows_of_a_filter_subscribed_again(self):
        def subscribe(sock, *filters):
            body = b"\x00\x01" + b"".join(struct.pack("!H", len(f)) + f + b"\x01" for f in filters)
            sock.sendall(bytes([0x82, len(body)]) + body)
            self.assertEqual(read_exact(sock, 4 + len(filters))[:1], b"\x90")

        pub(self.broker.port, "tw/x", "1", 0)
        topic = wait_for(lambda: self.sql("select topic_id from mqtt_topic where topic_name='tw/x'"))[0][0]
        # The newer connection subscribes while the older one may still be
        # dropping its filters: a few rounds meet both orders.
        for round in range(4):
            client = f"tw-rows-{round}"
            old = socket.create_connection(("127.0.0.1", self.broker.port))
            old.sendall(connect_packet(client))
            self.assertEqual(read_exact(old, 4), b"\x20\x02\x00\x00")
            subscribe(old, b"tw/x", b"tw/old-only")
            new = socket.create_connection(("127.0.0.1", self.broker.port))
            new.sendall(connect_packet(client))
            self.assertEqual(read_exact(new, 4), b"\x20\x02\x00\x00")
            subscribe(new, b"tw/x")
            self.assertTrue(closed_by_peer(old))
            number = self.client_row(client)[0]
            subs = lambda: self.sql(f"select topic_filter from mqtt_subscription where client_id={number}")
            # The older connection drops its filters in order: "tw/old-only" last.
            self.assertTrue(wait_for(lambda: subs() == [["tw/x"]]), (round, subs()))
            self.assertEqual(self.sql(f"select topic_id from mqtt_connection_topic where client_id={number}"),
                             [[topic]], round)
            new.close()
            old.close()

    def test_long_client_id_key(self):
        name = "".join(chr(ord("a") + i % 26) for i in range(150))
        c = paho_client(name)
        c.connect("127.0.0.1", self.broker.port)
        c.loop_start()
        rows = wait_for(lambda: self.sql(f"select client_id_last100, client_id_size from mqtt_client "
                                         f"where client_name='{name}'"))
        c.loop_stop()
        c.disconnect()
        self.assertEqual(rows[0], [name[49:149], "150"])

    def test_retained_payload_and_statistics_rows(self):
        pub(self.broker.port, "ret/t", "x" * 20, 1, ("-r",))
        pub(self.broker.port, "ret/t", "y" * 10, 1, ("-r",))
        wait_for(lambda: self.sql("select length(retain_payload) from mqtt_topic where topic_name='ret/t'") == [["10"]])
        self.assertEqual(self.sql("select length(retain_payload) from mqtt_topic where topic_name='ret/t'"), [["10"]])
        # The statistics writer stores the count.
        self.assertTrue(wait_for(lambda: self.sql("select sent_msg_count from mqtt_topic "
                                                  "where topic_name='ret/t'") == [["2"]], 10))
        pub(self.broker.port, "ret/t", "", 1, ("-r",))
        self.assertTrue(wait_for(lambda: self.sql("select retain_payload is null from mqtt_topic "
                                                  "where topic_name='ret/t'") == [["1"]], 10))

    def test_statistics_topics(self):
        c = Listener("stats-reader", [("brenloxAdmin/#", 0)], port=self.broker.port,
                     record=lambda m: (m.topic, json.loads(m.payload)))
        wanted = {"brenloxAdmin/connections", "brenloxAdmin/subscribers", "brenloxAdmin/topics"}
        wait_for(lambda: wanted <= {topic for topic, _ in c.got}, 30)
        c.close()
        seen = dict(c.got)
        log = self.broker.log()
        self.assertIn("connectionList", seen.get("brenloxAdmin/connections", {}), log)
        self.assertIn("subscriberList", seen.get("brenloxAdmin/subscribers", {}), log)
        self.assertIn("topicList", seen.get("brenloxAdmin/topics", {}), log)
        ids = [c["client_id"] for c in seen["brenloxAdmin/connections"]["connectionList"]]
        self.assertIn("stats-reader", ids)

    def test_command_file_runs_once_and_moves_aside(self):
        pending = os.path.join(self.broker.root, "web", "mqtt", "pending")
        os.makedirs(pending, exist_ok=True)
        path = os.path.join(pending, "cmd1.json")
        with open(path, "w") as f:
            json.dump({"operation": "PausePersistenceTopic", "persistenceTopic": "cmd/topic"}, f)
        done = os.path.join(self.broker.root, "web", "mqtt", "done", "cmd1.json")
        self.assertTrue(wait_for(lambda: os.path.exists(done), 15))
        self.assertFalse(os.path.exists(path))
        # The command registered its topic with the requester as creator.
        self.assertEqual(self.sql("select created_by from mqtt_topic where topic_name='cmd/topic'"),
                         [["internal - command from disk file"]])
        self.assertEqual(self.broker.log().count("cmd/topic"), 1)

    def test_broker_application_over_http(self):
        # Commands reach the broker only through the administration application's
        # pass-through; a direct request is refused with the broker's own code in
        # the body and a 404: the route is not one the broker serves.
        url = f"http://127.0.0.1:{self.broker.http_port}/mqtt/executeCommand"
        body = '{"operation":"PausePersistenceTopic","persistenceTopic":"http/t"}'
        out = subprocess.run(["curl", "-s", "-u", "ADMIN:TRUVE", "-w", "\n%{http_code}", "--data", body, url],
                             capture_output=True, text=True, timeout=30).stdout
        text, status = out.rsplit("\n", 1)
        self.assertEqual(status, "404", out)
        reply = json.loads(text)
        self.assertEqual((reply["success"], reply["errorCode"]), (False, 8006), out)
        self.assertEqual(self.sql("select * from mqtt_topic where topic_name='http/t'"), [])


class StartFailureTest(unittest.TestCase):
    def start_failure(self, auth):
        b = None
        try:
            b = harness.Broker.__new__(harness.Broker)
            with self.assertRaises(RuntimeError) as ctx:
                harness.Broker.__init__(b, auth=auth, websocket=False)
            return str(ctx.exception)
        finally:
            import shutil
            if b is not None and getattr(b, "root", None):
                shutil.rmtree(b.root, ignore_errors=True)

    def test_auth_file_without_password(self):
        text = self.start_failure(b"USERID ADMIN\r\n; PASSWD TRUVE\n")
        self.assertIn("Not able to connect to local server - Failed to load password from authentication file "
                      "[./web/localAuthFile.set]", text)

    def test_missing_auth_file(self):
        text = self.start_failure(None)
        self.assertIn("Failed to load user name from authentication file [./web/localAuthFile.set] - 11", text)


if __name__ == "__main__":
    unittest.main()
