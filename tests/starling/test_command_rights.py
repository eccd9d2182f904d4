"""Persistence commands published over MQTT run with a database user's rights:
a command without valid credentials is refused and logged, an alteration
never rereads or cuts stored values and checks what creation checks, the
persistence threads of all topics have a bound, and the broker's own client
ids tell nothing of its memory. Tables are checked with sqlite3."""
import json
import os
import re
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import harness  # noqa: E402
from harness import wait_for  # noqa: E402
from test_conformance import connect, open_socket, publish, read_packet, text  # noqa: E402
from test_persist import Broker, create  # noqa: E402

REFUSED = "] refused: "


def alter(topic, **config):
    return dict({"operation": "AlterPersistenceTopic", "persistenceTopic": topic}, **config)


def field(path, kind, **extra):
    return dict({"propertyPath": path, "fieldName": path, "fieldType": kind}, **extra)


class CommandRightsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.broker = Broker(persistence=True, stats_interval=0, stats_persist_interval=0, websocket=False)

    @classmethod
    def tearDownClass(cls):
        code, log = cls.broker.close()
        assert not harness.sanitizer_report(log), log
        assert code == 0, log

    def persisted(self, topic):
        return self.broker.sql("select count(*) from mqtt_topic_persistence p join mqtt_topic t using(topic_id) "
                               "where t.topic_name='%s'" % topic)[0][0] != "0"

    def tables(self):
        path = self.broker.topic_db()
        return {row[0] for row in self.broker.tsql("select name from sqlite_master where type='table'")} \
            if os.path.exists(path) else set()

    def test_commands_without_valid_credentials_are_refused(self):
        b = self.broker
        cases = [  # CONNECT options, the command's own keys, the code logged
            ((), {}, 451),
            (("-u", "ADMIN", "-P", "wrong"), {}, 450),
            (("-u", "nobody", "-P", "TRUVE"), {}, 451),
            # The command's own credentials come first, also when its CONNECT's are right.
            (harness.ADMIN_CREDENTIALS, {"databaseUserName": "ADMIN", "databaseUserPassword": "bad"}, 450),
        ]
        for i, (options, keys, code) in enumerate(cases):
            with self.subTest(options=options, keys=keys):
                topic = "rights/t%d" % i
                before = b.log().count(REFUSED)
                cmd = create(topic, tableName="rights_t%d" % i, **keys)
                subprocess.run(["mosquitto_pub", "-p", str(b.port), *options, "-t", "quarnAdministration", "-m",
                                json.dumps(cmd)], check=True, timeout=20)
                self.assertTrue(wait_for(lambda: b.log().count(REFUSED) > before, 20), b.log())
                line = [ln for ln in b.log().splitlines() if REFUSED in ln][-1]
                self.assertIn(str(code), line)
                self.assertFalse(self.persisted(topic))
                self.assertNotIn("rights_t%d" % i, self.tables())
        # The same command with the administrator's CONNECT runs.
        self.assertEqual(b.command(create("rights/ok"))[0], 0, b.log())
        self.assertTrue(self.persisted("rights/ok"))

    def test_guesses_of_one_source_are_slowed_one_after_another(self):
        b = self.broker
        before = b.log().count(REFUSED)
        # Raw clients, so the guesses arrive together as a script's would.
        for i in range(8):
            with open_socket(b.port) as sock:
                sock.sendall(connect("g%d" % i, flags=0xC2, tail=text("GUESSED") + text("guess%d" % i)))
                read_packet(sock)
                sock.sendall(publish("quarnAdministration", json.dumps(create("guess/t%d" % i)).encode()))

        def refused():
            return b.log().count(REFUSED) - before

        # The first failures are free; each later guess waits its turn behind
        # the one before, so they cannot all be answered together.
        self.assertTrue(wait_for(lambda: refused() >= 5, 30), b.log())
        self.assertLess(refused(), 7)
        self.assertTrue(wait_for(lambda: refused() == 8, 60), b.log())
        # A right logon from the same address clears its count for the tests after.
        self.assertEqual(b.command(create("guess/ok"))[0], 0, b.log())

    def test_alteration_keeps_stored_values(self):
        b = self.broker
        base = [field("v", "DOUBLE"), field("s", "VARCHAR", fieldWidth=20), field("n", "SMALLINT")]
        self.assertEqual(b.command(create("alter/keep", mapOfPropertiesToFields=base))[0], 0, b.log())
        b.publish("alter/keep", {"v": 100.5, "s": "twelve chars", "n": 300})
        self.assertTrue(wait_for(lambda: b.tsql("select count(*) from alter_keep") == [["1"]], 15), b.log())

        def changed(name, **kind):
            return [dict(f, **kind) if f["propertyPath"] == name else f for f in base]

        refused = [changed("v", fieldType="BIT"), changed("v", fieldType="SMALLINT"),
                   changed("s", fieldType="CHAR", fieldWidth=1), changed("s", fieldWidth=5),
                   changed("n", fieldType="TINYINT")]
        for mapping in refused:
            with self.subTest(mapping=mapping):
                self.assertEqual(b.command(alter("alter/keep", mapOfPropertiesToFields=mapping))[0], 10018)
        # Refused as at creation: two properties on one column, a count past creation's cap.
        twice = base + [dict(field("w", "DOUBLE"), fieldName="v")]
        self.assertEqual(b.command(alter("alter/keep", mapOfPropertiesToFields=twice))[0], 10001)
        self.assertTrue(b.refused(alter("alter/keep", mapOfPropertiesToFields=[field("v", "DOUBLE",
                                                                                      fieldCount=2000000)]),
                                  "fieldCount 2000000 is above 1024"))
        # Another command is answered at once afterwards, and the values read as they were stored.
        self.assertEqual(b.command(create("alter/other"))[0], 0)
        self.assertEqual(b.tsql("select v, s, n from alter_keep"), [["100.5", "twelve chars", "300"]])
        # Changes that keep every value are made.
        wider = changed("s", fieldWidth=40)
        wider = [dict(f, fieldType="INTEGER") if f["propertyPath"] == "n" else f for f in wider]
        self.assertEqual(b.command(alter("alter/keep", mapOfPropertiesToFields=wider))[0], 0, b.log())
        b.publish("alter/keep", {"v": 1.25, "s": "a" * 30, "n": 70000})
        self.assertTrue(wait_for(lambda: b.tsql("select count(*) from alter_keep") == [["2"]], 15), b.log())
        self.assertEqual(b.tsql("select v, s, n from alter_keep order by rowid"),
                         [["100.5", "twelve chars", "300"], ["1.25", "a" * 30, "70000"]])

    def test_persistence_threads_are_bounded(self):
        b = self.broker
        # Topics of 64 threads each until the bound of all topics' threads refuses one.
        made = []
        for i in range(5):
            code, message, _ = b.command(create("threads/t%d" % i, persistenceTopicThreads=64))
            if code != 0:
                break
            made.append("threads/t%d" % i)
        self.assertEqual(code, 10015, message)
        self.assertGreaterEqual(len(made), 3)
        self.assertFalse(self.persisted("threads/t%d" % len(made)))
        self.assertEqual(b.command(alter(made[0], persistenceTopicThreads=64))[0], 0)
        self.assertEqual(b.command({"operation": "DeletePersistenceTopic", "persistenceTopic": made.pop()})[0], 0)
        self.assertEqual(b.command(create("threads/more", persistenceTopicThreads=64))[0], 0, b.log())
        for topic in made + ["threads/more"]:
            self.assertEqual(b.command({"operation": "DeletePersistenceTopic", "persistenceTopic": topic})[0], 0)

    def test_own_client_ids_show_no_address(self):
        b = self.broker
        self.assertEqual(b.command(create("ext/self", subscribeToExternalBroker=True, brokerHostname="127.0.0.1",
                                          brokerPort=b.port))[0], 0, b.log())
        ids = wait_for(lambda: [r[0] for r in b.sql("select client_name from mqtt_client")
                                if r[0].startswith("starling_")], 20)
        self.assertTrue(ids, b.log())
        for client_id in ids:
            self.assertRegex(client_id, r"^starling_[0-9a-f]{8}_\d+$")
        self.assertEqual(b.command({"operation": "DeletePersistenceTopic", "persistenceTopic": "ext/self"})[0], 0)


if __name__ == "__main__":
    unittest.main(verbosity=2)
