"""Persisted topics through a running heron: commands on the administration
topic and in command files, rows checked with sqlite3 in every value format,
pause/resume, alter, rename, delete, child tables, refused commands, and the
replay of stored topics when heron starts again."""
import base64
import json
import os
import sqlite3
import struct
import subprocess
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import harness  # noqa: E402
from harness import wait_for  # noqa: E402
from test_conformance import connect, open_socket, packet, publish, read_packet, read_until_closed  # noqa: E402


class Broker(harness.Broker):
    def topic_db(self):
        return os.path.join(self.root, "data", "BRENLOXS", "quarnSQL.db")

    def tsql(self, query):
        out = subprocess.run(["sqlite3", "-readonly", "-cmd", ".timeout 2000", self.topic_db(), query],
                             capture_output=True, text=True, timeout=30)
        if out.returncode != 0:
            raise RuntimeError(out.stderr)
        return [line.split("|") for line in out.stdout.splitlines()]

    def command(self, cmd):
        """Publishes a command on the administration topic and waits for its history row."""
        before = len(self.sql("select rowid from mqtt_topic_persistence_history"))
        subprocess.run(["mosquitto_pub", "-p", str(self.port), *harness.ADMIN_CREDENTIALS, "-t", "quarnAdministration",
                        "-m", json.dumps(cmd)],
                       check=True, timeout=10)
        rows = wait_for(lambda: self.sql("select error_code, error_message, persistence_command from "
                                         "mqtt_topic_persistence_history")[before:], 15)
        if not rows:
            raise AssertionError("no history row for %s\n%s" % (cmd, self.log()))
        return int(rows[-1][0]), rows[-1][1], rows[-1][2]

    def refused(self, cmd, text):
        """Publishes a command refused before it runs (logged, no history row)."""
        subprocess.run(["mosquitto_pub", "-p", str(self.port), *harness.ADMIN_CREDENTIALS, "-t", "quarnAdministration",
                        "-m", json.dumps(cmd)],
                       check=True, timeout=10)
        return wait_for(lambda: text in self.log(), 10)

    def publish(self, topic, payload, qos=1):
        data = payload if isinstance(payload, str) else json.dumps(payload)
        subprocess.run(["mosquitto_pub", "-p", str(self.port), "-q", str(qos), "-t", topic, "-m", data],
                       check=True, timeout=10)

    def start_again(self):
        """Starts heron again on the same tree after it was killed."""
        self.launch()


def create(topic, **config):
    return dict({"operation": "CreatePersistenceTopic", "persistenceTopic": topic}, **config)


EVERY_FORMAT = [
    {"propertyPath": "bit", "fieldName": "f_bit", "fieldType": "BIT"},
    {"propertyPath": "tiny", "fieldName": "f_tiny", "fieldType": "TINYINT"},
    {"propertyPath": "small", "fieldName": "f_small", "fieldType": "SMALLINT"},
    {"propertyPath": "int", "fieldName": "f_int", "fieldType": "INTEGER"},
    {"propertyPath": "real", "fieldName": "f_real", "fieldType": "REAL"},
    {"propertyPath": "dbl", "fieldName": "f_dbl", "fieldType": "DOUBLE"},
    {"propertyPath": "num", "fieldName": "f_num", "fieldType": "NUMBER", "fieldScale": 3},
    {"propertyPath": "money", "fieldName": "f_money", "fieldType": "MONEY"},
    {"propertyPath": "trunc", "fieldName": "f_trunc", "fieldType": "DOUBLE", "propertyFormat": "TRUNCATE"},
    {"propertyPath": "day", "fieldName": "f_date", "fieldType": "DATE", "propertyFormat": "ISO8601"},
    {"propertyPath": "usday", "fieldName": "f_usdate", "fieldType": "DATE", "propertyFormat": "MM.DD.CCYY"},
    {"propertyPath": "clock", "fieldName": "f_time", "fieldType": "TIME"},
    {"propertyPath": "at", "fieldName": "f_ts", "fieldType": "TIMESTAMP", "propertyFormat": "ISO8601"},
    {"propertyPath": "big", "fieldName": "f_big", "fieldType": "BIGINT"},
    {"propertyPath": "code", "fieldName": "f_char", "fieldType": "CHAR", "fieldWidth": 4},
    {"propertyPath": "name", "fieldName": "f_varchar", "fieldType": "VARCHAR", "fieldWidth": 10},
    {"propertyPath": "note", "fieldName": "f_lvarchar", "fieldType": "LVARCHAR"},
    {"propertyPath": "hex", "fieldName": "f_binary", "fieldType": "BINARY", "fieldWidth": 2, "propertyFormat": "HEX"},
    {"propertyPath": "b64", "fieldName": "f_varbinary", "fieldType": "VARBINARY", "propertyFormat": "BASE64"},
    {"propertyPath": "raw", "fieldName": "f_lvarbinary", "fieldType": "LVARBINARY"},
    {"propertyPath": "doc", "fieldName": "f_json", "fieldType": "JSON"},
    {"propertyPath": "deep.list[1]", "fieldName": "f_path", "fieldType": "INTEGER"},
    {"propertyPath": "three", "fieldName": "f_multi", "fieldType": "INTEGER", "fieldCount": 3},
]

PAYLOAD = {"bit": True, "tiny": 7, "small": -300, "int": 123456, "real": 1.5, "dbl": 2.25, "num": "12.345",
           "money": 9.99, "trunc": "21.5 C", "day": "2024-02-29", "usday": "12.31.2023", "clock": "13:45:10",
           "at": "2024-03-01T10:20:30.250Z", "big": 9007199254740993, "code": "AB", "name": "0123456789",
           "note": "a long text", "hex": "beef", "b64": base64.b64encode(b"\x00\x01\xff").decode(), "raw": "bytes",
           "doc": {"k": [1, 2]}, "deep": {"list": [10, 20]}, "three": [1, 2, 3, 4]}

# The publisher and the message's number, of pipelining publishers' payloads.
PUBLISHER_AND_NUMBER = [{"propertyPath": "p", "fieldName": "p", "fieldType": "INTEGER"},
                        {"propertyPath": "n", "fieldName": "n", "fieldType": "INTEGER"}]

COLUMNS = ("f_bit, f_tiny, f_small, f_int, f_real, f_dbl, f_num, f_money, f_trunc, f_date, f_usdate, f_time, f_ts, "
           "f_big, f_char, f_varchar, f_lvarchar, hex(f_binary), hex(f_varbinary), hex(f_lvarbinary), f_json, f_path, "
           "f_multi0, f_multi1, f_multi2")


class PersistTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.broker = Broker(persistence=True, stats_interval=0, stats_persist_interval=0)

    @classmethod
    def tearDownClass(cls):
        code, log = cls.broker.close()
        assert not harness.sanitizer_report(log), log
        assert code == 0, log

    def rows(self, table, columns="*", where=""):
        return self.broker.tsql(f"select {columns} from {table} {where} order by rowid")

    def test_every_value_format_is_written(self):
        b = self.broker
        self.assertEqual(b.command(create("fmt/all", mapOfPropertiesToFields=EVERY_FORMAT))[:2], (0, "Success"))
        b.publish("fmt/all", PAYLOAD)
        # A value that does not fit its field refuses the row, logged: never a NULL in its place.
        b.publish("fmt/all", {"int": "not a number", "tiny": 1})
        b.publish("fmt/all", {"name": "eleven chars", "tiny": 1})
        b.publish("fmt/all", "[1, 2")  # not JSON: every field refused, no row
        b.publish("fmt/all", {"int": 5, "name": "x"})
        rows = wait_for(lambda: self.rows("fmt_all", COLUMNS) if len(self.rows("fmt_all", "1")) >= 2 else None, 15)
        self.assertEqual(len(rows), 2, b.log())
        self.assertEqual(rows[0], ["1", "7", "-300", "123456", "1.5", "2.25", "12.345", "9.99", "21.5", "2024-02-29",
                                   "2023-12-31", "13:45:10.000", "2024-03-01 10:20:30.250", "9007199254740993", "AB",
                                   "0123456789", "a long text", "BEEF", "0001FF", "6279746573", '{"k":[1,2]}', "20",
                                   "1", "2", "3"], b.log())
        self.assertEqual((rows[1][3], rows[1][15]), ("5", "x"))
        log = b.log()
        self.assertIn("There is no valid data to be persisted. Message has been skipped.", log)
        self.assertIn("String is too long. Field width is 10 and string is 12 chars long. The value is refused.", log)
        self.assertNotIn("set to NULL", log)
        self.assertIn("a value does not fit its field, the message is not stored", log)
        self.assertEqual(self.rows("fmt_all", "count(ts)"), [["2"]])

    def test_whole_payload_pause_resume_and_restart(self):
        b = self.broker
        self.assertEqual(b.command(create("raw/one", databaseUserPassword="TRUVE"))[0], 0)
        b.publish("raw/one", "not json \x01 at all")
        self.assertTrue(wait_for(lambda: self.rows("raw_one", "source_payload"), 10))
        self.assertEqual(self.rows("raw_one", "source_payload, ts is not null"), [["not json \x01 at all", "1"]])
        code, _, text = b.command({"operation": "PausePersistenceTopic", "persistenceTopic": "raw/one"})
        self.assertEqual(code, 0)
        self.assertEqual(b.sql("select status from mqtt_topic_persistence p join mqtt_topic t using(topic_id) "
                               "where t.topic_name='raw/one'"), [["P"]])
        b.publish("raw/one", "while paused")
        self.assertEqual(b.command({"operation": "ResumePersistenceTopic", "persistenceTopic": "raw/one"})[0], 0)
        self.assertEqual(b.command({"operation": "ResumePersistenceTopic", "persistenceTopic": "raw/one"})[0], 10029)
        b.publish("raw/one", "after resume")
        self.assertTrue(wait_for(lambda: len(self.rows("raw_one", "1")) == 2, 10))
        self.assertEqual([r[0] for r in self.rows("raw_one", "source_payload")], ["not json \x01 at all", "after resume"])
        # Neither history nor log holds the database password.
        self.assertNotIn("TRUVE", json.dumps(b.sql("select persistence_command, error_message from "
                                                   "mqtt_topic_persistence_history")))
        # Stopped and started again, heron replays the stored configuration.
        b.restart()
        b.publish("raw/one", "after restart")
        self.assertTrue(wait_for(lambda: len(self.rows("raw_one", "1")) == 3, 15), b.log())
        self.assertEqual(b.sql("select status, persistence_info like '%CreatePersistenceTopic%' from "
                               "mqtt_topic_persistence p join mqtt_topic t using(topic_id) where t.topic_name='raw/one'"),
                         [["A", "1"]])

    def test_command_file_alter_rename_delete(self):
        b = self.broker
        pending = os.path.join(b.root, "web", "mqtt", "pending")
        os.makedirs(pending, exist_ok=True)
        with open(os.path.join(pending, "create.json"), "w") as f:
            json.dump(create("plant/line1", mapOfPropertiesToFields=[
                {"propertyPath": "t", "fieldName": "temp", "fieldType": "DOUBLE"}]), f)
        self.assertTrue(wait_for(lambda: b.sql("select p.created_by from mqtt_topic_persistence p join mqtt_topic t "
                                               "using(topic_id) where t.topic_name='plant/line1'"), 15))
        b.publish("plant/line1", {"t": 1.5, "h": 40})
        self.assertTrue(wait_for(lambda: self.rows("plant_line1", "temp"), 10), b.log())
        # Alter: a field added, four threads.
        code = b.command({"operation": "AlterPersistenceTopic", "persistenceTopic": "plant/line1",
                          "persistenceTopicThreads": 4, "mapOfPropertiesToFields": [
                              {"propertyPath": "t", "fieldName": "temp", "fieldType": "DOUBLE"},
                              {"propertyPath": "h", "fieldName": "humidity", "fieldType": "INTEGER"}]})[0]
        self.assertEqual(code, 0, b.log())
        b.publish("plant/line1", {"t": 2.5, "h": 41})
        self.assertTrue(wait_for(lambda: len(self.rows("plant_line1", "1")) == 2, 10))
        self.assertEqual(self.rows("plant_line1", "temp, humidity"), [["1.5", ""], ["2.5", "41"]])
        # A refused alteration (retention) leaves the topic as it was.
        self.assertEqual(b.command({"operation": "AlterPersistenceTopic", "persistenceTopic": "plant/line1",
                                    "tableRetentionUnit": "day", "tableRetentionPeriod": 2})[0], 10018)
        b.publish("plant/line1", {"t": 3.5, "h": 42})
        self.assertTrue(wait_for(lambda: len(self.rows("plant_line1", "1")) == 3, 10), b.log())
        # Rename: refused onto a persisted name, then moved to a free one.
        self.assertEqual(b.command(create("plant/other"))[0], 0)
        self.assertEqual(b.command({"operation": "RenamePersistenceTopic", "persistenceTopic": "plant/line1",
                                    "newPersistenceTopicName": "plant/other"})[0], 10002)
        b.publish("plant/line1", {"t": 4.5, "h": 43})
        self.assertTrue(wait_for(lambda: len(self.rows("plant_line1", "1")) == 4, 10), b.log())
        self.assertEqual(b.command({"operation": "RenamePersistenceTopic", "persistenceTopic": "plant/line1",
                                    "newPersistenceTopicName": "plant/line2"})[0], 0)
        b.publish("plant/line2", {"t": 5.5, "h": 44})
        self.assertTrue(wait_for(lambda: self.rows("plant_line2", "temp, humidity"), 10), b.log())
        self.assertEqual(self.rows("plant_line2", "temp, humidity"), [["5.5", "44"]])
        # Delete, with the table closed for every client, then without.
        for topic, force in (("plant/line2", True), ("plant/other", False)):
            self.assertEqual(b.command({"operation": "DeletePersistenceTopic", "persistenceTopic": topic,
                                        "forceClosingPersistenceTable": force})[0], 0, b.log())
        self.assertTrue(b.refused({"operation": "DeletePersistenceTopic", "persistenceTopic": "plant/line2"},
                                  "DeletePersistenceTopic operation for topic [plant/line2], but it was not created"))
        b.publish("plant/line2", {"t": 6.5})
        time.sleep(0.3)
        self.assertEqual(len(self.rows("plant_line2", "1")), 1)
        self.assertEqual(b.sql("select count(*) from mqtt_topic_persistence p join mqtt_topic t using(topic_id) "
                               "where t.topic_name like 'plant/%'"), [["0"]])

    def test_child_tables(self):
        b = self.broker
        cmd = create("child/parent", mapOfPropertiesToFields=[
            {"propertyPath": "id", "fieldName": "id", "fieldType": "INTEGER"},
            {"propertyPath": "tags", "childTableName": "child_tags", "childFieldType": "VARCHAR", "childFieldWidth": 20},
            {"propertyPath": "items", "childTableName": "child_items", "mapOfPropertiesToFields": [
                {"propertyPath": "sku", "fieldName": "sku", "fieldType": "VARCHAR", "fieldWidth": 20},
                {"propertyPath": "parts", "childTableName": "child_parts", "childFieldType": "INTEGER"}]}])
        self.assertEqual(b.command(cmd)[0], 0, b.log())
        b.publish("child/parent", {"id": 1, "tags": ["a", "b"], "items": [{"sku": "x", "parts": [1, 2]}, {"sku": "y"}]})
        b.publish("child/parent", {"id": 2, "tags": [], "items": []})
        self.assertTrue(wait_for(lambda: len(self.rows("child_parent", "1")) == 2, 10), b.log())
        self.assertEqual(self.rows("child_parent", "id, primarykey"), [["1", "1"], ["2", "2"]])
        self.assertEqual(self.rows("child_tags", "foreignkey, position, value"), [["1", "0", "a"], ["1", "1", "b"]])
        self.assertEqual(self.rows("child_items", "foreignkey, position, sku, primarykey"),
                         [["1", "0", "x", "1"], ["1", "1", "y", "2"]])
        self.assertEqual(self.rows("child_parts", "foreignkey, position, value"), [["1", "0", "1"], ["1", "1", "2"]])

    def test_every_acknowledged_message_is_a_row(self):
        # Publishers pipelining QoS 1 without a window into a topic with many threads.
        b = self.broker
        self.assertEqual(b.command(create("deep/q", persistenceTopicThreads=24,
                                          mapOfPropertiesToFields=PUBLISHER_AND_NUMBER))[0], 0, b.log())
        count = 500
        acked = {}

        socks = [self.raw_publisher("deep-%d" % p) for p in range(8)]

        def publisher(p):
            sock = socks[p]
            sock.sendall(b"".join(publish("deep/q", json.dumps({"p": p, "n": n}).encode(), qos=1, message_id=n)
                                  for n in range(1, count + 1)))
            got = set()
            try:
                while len(got) < count:
                    kind, body = read_packet(sock, timeout=120)
                    if kind == 0x40:
                        got.add(struct.unpack("!H", body)[0])
            except (ConnectionError, OSError):
                pass  # closed: what was not acknowledged is the publisher's to send again
            sock.close()
            acked[p] = got

        threads = [threading.Thread(target=publisher, args=(p,)) for p in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        stored = {(int(p), int(n)) for p, n in self.rows("deep_q", "p, n")}
        missing = [(p, n) for p, got in acked.items() for n in got if (p, n) not in stored]
        self.assertEqual(missing, [])
        self.assertEqual(sum(len(got) for got in acked.values()), 8 * count, b.log())

    def test_hostile_payloads_refused_and_the_next_one_read_whole(self):
        # One persistence thread reads them all in turn: each payload that is
        # not JSON is acknowledged without a row, and the one after it, at the
        # edges of the grammar, is stored as it reads.
        b = self.broker
        fields = [{"propertyPath": "n", "fieldName": "n", "fieldType": "INTEGER"},
                  {"propertyPath": "v", "fieldName": "v", "fieldType": "JSON"}]
        self.assertEqual(b.command(create("hostile/t", mapOfPropertiesToFields=fields, persistenceTopicThreads=1))[0], 0)
        cases = [  # (not JSON, the next payload with n, the column v it gives)
            (b"[" * 513 + b"]" * 513, b'{"n":%d,"v":-0}', "0"),
            (b"[" * 100000, b'{"n":%d,"v":1e-400}', "1e-400"),
            (b"1e400", b'\xef\xbb\xbf{"n":%d,"v":"\\ud83d\\ude00"}', '"\U0001F600"'),
            (b'"\\ud800"', b'{"n":%d,"v":1,"v":-9223372036854775808}', "-9223372036854775808"),
            (b'"\xed\xa0\x80"', b'{"n":%d,"v":18446744073709551616}', "18446744073709551616"),
            (b'{"v":"\xc0\x80"}', b'{"n":%d,"v":"\\u0041\\/\\""}', '"A/\\""'),
            (b"\xef\xbb\xbf", b'{"n":%d,"v":' + b"[" * 510 + b"1.50" + b"]" * 510 + b"}", "[" * 510 + "1.50" + "]" * 510),
            (b" \t\r\n", b'{"n":%d,"v":[0e0,-0.0]}', "[0e0,-0.0]"),
            (b'{"v":"a\x00b"}', b'{"n":%d,"v":{"":null}}', '{"":null}'),
            (b"[" + b"0," * 1048576 + b"0]", b'{"n":%d,"v":"\\u0000"}', '"\\u0000"'),
            (b'{"v":1,}', b'{"n":%d,"v":' + b"1" * 400 + b"}", None),
        ]
        sock = self.raw_publisher("hostile")
        for n, (bad, good, _) in enumerate(cases):
            sock.sendall(publish("hostile/t", bad, qos=1, message_id=2 * n + 1) +
                         publish("hostile/t", good % n, qos=1, message_id=2 * n + 2))
        acks = [read_packet(sock, timeout=60) for _ in range(2 * len(cases))]
        sock.close()
        self.assertEqual(acks, [(0x40, struct.pack("!H", i)) for i in range(1, 2 * len(cases) + 1)])
        rows = self.rows("hostile_t", "n, v")
        self.assertEqual(rows, [[str(n), v] for n, (_, _, v) in enumerate(cases) if v is not None], b.log())

    def test_acknowledged_only_once_the_rows_are_in_the_file(self):
        # An outside writer holds the file while publishers pipeline QoS 1:
        # nothing is acknowledged until it lets go, then every message is,
        # and every acknowledged one is a row of the file.
        b = self.broker
        self.assertEqual(b.command(create("held/q", persistenceTopicThreads=2,
                                          mapOfPropertiesToFields=PUBLISHER_AND_NUMBER))[0], 0, b.log())
        count, publishers = 300, 3
        socks = [self.raw_publisher("held-%d" % p) for p in range(publishers)]
        holder = sqlite3.connect(b.topic_db(), timeout=10, isolation_level=None)
        try:
            holder.execute("BEGIN EXCLUSIVE")
            for p, sock in enumerate(socks):
                sock.sendall(b"".join(publish("held/q", json.dumps({"p": p, "n": n}).encode(), qos=1,
                                              message_id=n) for n in range(1, count + 1)) + packet(0xC0))
            # A connection's packets are handled in order: its PINGRESP comes once
            # every publication before it is queued, and nothing may come first.
            for sock in socks:
                self.assertEqual(read_packet(sock, timeout=30), (0xD0, b""), "acknowledged while the file was held")
            self.assertEqual(self.rows("held_q", "1"), [])
        finally:
            holder.execute("ROLLBACK")
            holder.close()
        acked = {}
        for p, sock in enumerate(socks):
            got = set()
            while len(got) < count:
                kind, body = read_packet(sock, timeout=60)
                if kind == 0x40:
                    got.add(struct.unpack("!H", body)[0])
            acked[p] = got
            sock.close()
        stored = {(int(p), int(n)) for p, n in self.rows("held_q", "p, n")}
        self.assertEqual({(p, n) for p, got in acked.items() for n in got}, stored)
        self.assertEqual(len(stored), publishers * count)

    def test_mapping_edge_cases(self):
        b = self.broker
        # The table's own time stamp is keyed "ts": a property of that path is refused, not dropped.
        ts = [{"propertyPath": "ts", "fieldName": "stamp", "fieldType": "INTEGER"}]
        self.assertEqual(b.command(create("edge/ts", mapOfPropertiesToFields=ts))[0], 10001)
        # The topic's default date form reads a DATE field that has no format of its own.
        dates = [{"propertyPath": "d", "fieldName": "d", "fieldType": "DATE"}]
        self.assertEqual(b.command(create("edge/dates", defaultDateFormat="CCYYMMDD",
                                          mapOfPropertiesToFields=dates))[0], 0, b.log())
        b.publish("edge/dates", {"d": "20240229"})
        self.assertEqual(wait_for(lambda: self.rows("edge_dates", "d"), 10), [["2024-02-29"]], b.log())
        # A map of child tables only: the row that links them is written.
        tags = {"propertyPath": "tags", "childTableName": "edge_tags", "childFieldType": "VARCHAR",
                "childFieldWidth": 10}
        self.assertEqual(b.command(create("edge/children", mapOfPropertiesToFields=[tags]))[0], 0, b.log())
        b.publish("edge/children", {"tags": ["a", "b"]})
        self.assertTrue(wait_for(lambda: len(self.rows("edge_tags", "1")) == 2, 10), b.log())
        self.assertEqual(self.rows("edge_children", "primarykey"), [["1"]])
        self.assertEqual(self.rows("edge_tags", "foreignkey, value"), [["1", "a"], ["1", "b"]])
        # An alteration that names an existing child table is refused, not passed over.
        self.assertEqual(b.command({"operation": "AlterPersistenceTopic", "persistenceTopic": "edge/children",
                                    "mapOfPropertiesToFields": [dict(tags, childFieldWidth=30)]})[0], 10001)

    def test_publications_racing_pause_and_delete(self):
        # Publishers keep sending while the topic is paused, resumed and
        # deleted: every QoS 1 publication is still acknowledged (written or
        # refused), and nothing is used after the topic goes (the sanitizer
        # report is checked when heron stops).
        from test_delivery import paho_client
        b = self.broker
        self.assertEqual(b.command(create("race/t", persistenceTopicThreads=3))[0], 0)
        clients, stop = [], threading.Event()
        counts = [0, 0, 0]
        for i in range(3):
            c = paho_client("racer-%d" % i)
            c.max_inflight_messages_set(50)
            c.on_publish = lambda _c, _u, _m, i=i: counts.__setitem__(i, counts[i] + 1)
            c.connect("127.0.0.1", b.port)
            c.loop_start()
            clients.append(c)

        def storm(c):
            while not stop.is_set():
                c.publish("race/t", "payload", qos=1).wait_for_publish(5)

        threads = [threading.Thread(target=storm, args=(c,)) for c in clients]
        for t in threads:
            t.start()
        try:
            for op in ("PausePersistenceTopic", "ResumePersistenceTopic", "DeletePersistenceTopic"):
                time.sleep(0.2)
                self.assertEqual(b.command({"operation": op, "persistenceTopic": "race/t"})[0], 0, b.log())
            before = sum(counts)
            self.assertTrue(wait_for(lambda: sum(counts) > before + 100, 10), counts)
        finally:
            stop.set()
            for t in threads:
                t.join()
            for c in clients:
                c.loop_stop()
                c.disconnect()
        self.assertGreater(len(self.rows("race_t", "1")), 0)

    def raw_publisher(self, client_id):
        sock = open_socket(self.broker.port)
        sock.sendall(connect(client_id))
        self.assertEqual(read_packet(sock)[0], 0x20)
        return sock

    def test_qos2_sent_again_before_its_pubrec_is_stored_once(self):
        b = self.broker
        self.assertEqual(b.command(create("dup/q2"))[0], 0)
        sock = self.raw_publisher("dup-q2")
        first = publish("dup/q2", b"once", qos=2, message_id=9)
        again = bytes([first[0] | 0x08]) + first[1:]  # DUP: PUBREC not seen yet
        sock.sendall(first + again)
        self.assertEqual(read_packet(sock), (0x50, struct.pack("!H", 9)))
        sock.sendall(packet(0x62, struct.pack("!H", 9)))
        while (kind := read_packet(sock))[0] != 0x70:  # a repeated PUBREC may come before the PUBCOMP
            self.assertEqual(kind, (0x50, struct.pack("!H", 9)))
        # Released, the id starts a new publication.
        sock.sendall(publish("dup/q2", b"twice", qos=2, message_id=9))
        self.assertEqual(read_packet(sock), (0x50, struct.pack("!H", 9)))
        sock.close()
        self.assertEqual([r[0] for r in self.rows("dup_q2", "source_payload")], ["once", "twice"])

    def test_rows_that_cannot_be_written(self):
        b = self.broker
        name = [{"propertyPath": "name", "fieldName": "name", "fieldType": "VARCHAR", "fieldWidth": 10}]
        self.assertEqual(b.command(create("refuse/t", mapOfPropertiesToFields=name))[0], 0)
        writer = sqlite3.connect(b.topic_db(), timeout=10, isolation_level=None)
        try:
            # A row the table refuses can never be written: logged and acknowledged
            # (mosquitto_pub waits for its PUBACK).
            writer.execute("CREATE UNIQUE INDEX refuse_name ON refuse_t(name)")
            for value in ("a", "a", "b"):
                b.publish("refuse/t", {"name": value})
            self.assertEqual(self.rows("refuse_t", "name"), [["a"], ["b"]])
            self.assertTrue(wait_for(lambda: "Duplicate key" in b.log(), 10))
            # A database that cannot take the row now (locked past the busy
            # time-out): no PUBACK, and the publisher's connection is closed so
            # that it sends the message again.
            writer.execute("BEGIN IMMEDIATE")
            sock = self.raw_publisher("refuse-locked")
            sock.sendall(publish("refuse/t", b'{"name": "c"}', qos=1, message_id=5))
            data = read_until_closed(sock, timeout=45)
            self.assertIsNotNone(data, "the connection stayed open")
            self.assertNotIn(b"\x40\x02\x00\x05", data)
            self.assertIn("(not acknowledged)", b.log())
        finally:
            writer.close()
        b.publish("refuse/t", {"name": "c"})
        self.assertEqual(self.rows("refuse_t", "name"), [["a"], ["b"], ["c"]])

    def test_bad_commands_are_refused_and_leave_nothing(self):
        b = self.broker
        cases = [
            (create("bad/lib", extractorLibraryName="../bin/evil"), 10001),
            (create("bad/table", tableName="mqtt_client"), 10001),
            (create("bad/quote", tableName="x\"; drop table y"), 10001),
            (create("bad/field", mapOfPropertiesToFields=[{"propertyPath": "a", "fieldName": "a b", "fieldType": "INTEGER"}]), 10001),
            (create("bad/threads", persistenceTopicThreads=0), 10015),
            (create("bad/threads2", persistenceTopicThreads=100000), 10015),
            (create("bad/type", mapOfPropertiesToFields=[{"propertyPath": "a", "fieldName": "a", "fieldType": "FLOAT"}]), 10001),
            (create("bad/nopath", mapOfPropertiesToFields=[{"fieldName": "a", "fieldType": "INTEGER"}]), 10004),
            (create("bad/path", mapOfPropertiesToFields=[{"propertyPath": "a..b", "fieldName": "a", "fieldType": "INTEGER"}]), 10101),
            (create("bad/retention", tableRetentionUnit="week", tableRetentionPeriod=2), 10001),
            (create("bad/period", tableRetentionUnit="day", tableRetentionPeriod=181), 10015),
            (create("bad/nolib", extractorLibraryName="missing_library"), 10019),
        ]
        for cmd, expected in cases:
            with self.subTest(cmd=cmd):
                self.assertEqual(b.command(cmd)[0], expected, b.log())
        for cmd, text in [
            ({"operation": "PausePersistenceTopic", "persistenceTopic": "bad/never"}, "[bad/never], but it was not created"),
            ({"operation": "ResumePersistenceTopic", "persistenceTopic": "bad/never2"},
             "resume topic [bad/never2] because its persistence was not found"),
            ({"operation": "DropPersistenceTopic", "persistenceTopic": "bad/never"},
             "DropPersistenceTopic], but it is not supported"),
        ]:
            self.assertTrue(b.refused(cmd, text), b.log())
        self.assertEqual(b.sql("select count(*) from mqtt_topic_persistence p join mqtt_topic t using(topic_id) "
                               "where t.topic_name like 'bad/%'"), [["0"]])
        tables = [r[0] for r in b.tsql("select name from sqlite_master where type='table'")] \
            if os.path.exists(b.topic_db()) else []
        self.assertFalse([t for t in tables if t.startswith("bad_") or t.startswith("x")], tables)
        # Creating a persisted topic twice is refused and keeps the first.
        self.assertEqual(b.command(create("bad/twice"))[0], 0)
        self.assertTrue(b.refused(create("bad/twice"), "[bad/twice], but it was already created"))
        self.assertEqual(b.command({"operation": "DeletePersistenceTopic", "persistenceTopic": "bad/twice"})[0], 0)


if __name__ == "__main__":
    unittest.main()
