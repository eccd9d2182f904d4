"""A persisted topic created over HTTP: the command goes to the administration
application's "integration/mqtt" function, which passes it to the broker's
executeCommand; the rows are checked with sqlite3."""
import json
import os
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import harness  # noqa: E402
from harness import wait_for  # noqa: E402
from peers import AdminClient  # noqa: E402


class PersistOverHttpTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.broker = harness.Broker(persistence=True, stats_interval=0, stats_persist_interval=0, websocket=False)
        cls.admin = AdminClient(cls.broker.http_port)
        assert cls.admin.login()["errorCode"] == 0, cls.broker.log()

    @classmethod
    def tearDownClass(cls):
        code, log = cls.broker.close()
        assert not harness.sanitizer_report(log), log
        assert code == 0, log

    def rows(self, query):
        out = subprocess.run(["sqlite3", "-readonly", "-cmd", ".timeout 2000",
                              os.path.join(self.broker.root, "data", "BRENLOXS", "quarnSQL.db"), query],
                             capture_output=True, text=True, timeout=30)
        if out.returncode != 0:
            return []
        return [line.split("|") for line in out.stdout.splitlines()]

    def publish(self, topic, payload):
        subprocess.run(["mosquitto_pub", "-p", str(self.broker.port), "-q", "1", "-t", topic, "-m",
                        json.dumps(payload)], check=True, timeout=10)

    def test_create_over_http_then_rows(self):
        command = {"operation": "CreatePersistenceTopic", "persistenceTopic": "http/line",
                   "mapOfPropertiesToFields": [
                       {"propertyPath": "t", "fieldName": "temp", "fieldType": "DOUBLE"},
                       {"propertyPath": "n", "fieldName": "name", "fieldType": "VARCHAR", "fieldWidth": 8}]}
        reply = self.admin.call("integration/mqtt", command)
        self.assertEqual((reply["errorCode"], reply["errorMessage"]), (0, "Success"), self.broker.log())
        self.assertEqual(self.broker.sql("select p.created_by like '%API%' from mqtt_topic_persistence p join "
                                         "mqtt_topic t using(topic_id) where t.topic_name='http/line'"), [["1"]])
        self.publish("http/line", {"t": 21.5, "n": "north"})
        self.publish("http/line", {"t": -3.25, "n": "south"})
        rows = wait_for(lambda: self.rows("select temp, name from http_line order by rowid")
                        if len(self.rows("select 1 from http_line")) >= 2 else None, 15)
        self.assertEqual(rows, [["21.5", "north"], ["-3.25", "south"]], self.broker.log())
        # The same topic again: refused with the broker's code, nothing changed.
        again = self.admin.call("integration/mqtt", command)
        self.assertNotEqual(again["errorCode"], 0)
        self.assertEqual(self.rows("select count(*) from http_line"), [["2"]])

    def test_refused_rows_are_logged(self):
        # A topic made over HTTP logs what it refuses, as one made over MQTT does.
        command = {"operation": "CreatePersistenceTopic", "persistenceTopic": "http/sensor",
                   "mapOfPropertiesToFields": [
                       {"propertyPath": "device", "fieldName": "device", "fieldType": "VARCHAR", "fieldWidth": 5},
                       {"propertyPath": "temp", "fieldName": "temp", "fieldType": "DOUBLE"},
                       {"propertyPath": "note", "fieldName": "note", "fieldType": "VARCHAR", "fieldWidth": 20}]}
        reply = self.admin.call("integration/mqtt", command)
        self.assertEqual(reply["errorCode"], 0, self.broker.log())
        self.assertIn("CreatePersistenceTopic for topic [http/sensor] by [internal - API request] - Success",
                      self.broker.log())
        self.publish("http/sensor", {"device": "toolongname", "temp": 1.5})
        self.publish("http/sensor", {"device": "ok", "temp": "hot"})
        self.publish("http/sensor", {"device": "ok", "temp": 2.5, "note": "x" * 43})
        self.publish("http/sensor", {"device": "dev1", "temp": 3.5, "note": "fits"})
        rows = wait_for(lambda: self.rows("select device, temp, note from http_sensor"), 15)
        self.assertEqual(rows, [["dev1", "3.5", "fits"]], self.broker.log())
        log = self.broker.log()
        self.assertEqual(log.count("the message is not stored"), 3, log)
        self.assertIn("Field width is 5", log)
        self.assertIn("Field width is 20", log)

    def test_refused_over_http(self):
        missing = self.admin.call("integration/mqtt", {"operation": "CreatePersistenceTopic"})
        self.assertEqual((missing["errorCode"], missing["errorMessage"]),
                         (9006, "Failed to execute MQTT command operation. Missing persistenceTopic property in the "
                                "command"))
        # Without a token the command never reaches the broker.
        self.assertEqual(self.admin.call("integration/mqtt", {"operation": "CreatePersistenceTopic",
                                                              "persistenceTopic": "x/y"}, token="")["errorCode"],
                         9006)
        self.assertEqual(self.broker.sql("select count(*) from mqtt_topic_persistence p join mqtt_topic t "
                                         "using(topic_id) where t.topic_name='x/y'"), [["0"]])


if __name__ == "__main__":
    unittest.main(verbosity=2)
