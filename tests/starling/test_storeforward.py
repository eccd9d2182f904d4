"""Store-and-forward topics through a running heron: raw MQTT clients that
choose which publications they acknowledge, so that what a subscriber gets
back after a disconnect, an unsubscribe, a resend time-out or a kill -9 of
the broker is checked by message numbers."""
import json
import os
import socket
import struct
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import harness  # noqa: E402
import test_conformance as mq  # noqa: E402

PUBACK, PUBREC, PUBREL, PUBCOMP = 0x40, 0x50, 0x62, 0x70


class Client:
    """A raw MQTT 3.1.1 client: the test decides every acknowledgement."""

    def __init__(self, port, client_id, clean=False, sock=None):
        self.sock = sock if sock is not None else mq.open_socket(port)
        self.sock.sendall(mq.connect(client_id, flags=0x02 if clean else 0x00))
        first, body = mq.read_packet(self.sock)
        assert first == 0x20 and body == b"\x00\x00", (first, body)
        self.next_id = 1
        self.pending = []  # packets read while waiting for another

    def _id(self):
        self.next_id = self.next_id % 65535 + 1
        return self.next_id

    def subscribe(self, topic, qos):
        self.sock.sendall(mq.subscribe([topic], qos=qos, message_id=self._id()))
        self.expect(0x90)

    def unsubscribe(self, topic):
        self.sock.sendall(mq.unsubscribe([topic], message_id=self._id()))
        return self.expect(0xB0)

    def publish(self, topic, payload, qos=1):
        """Publishes and waits for the broker's acknowledgement: the row is committed then."""
        packet_id = self._id()
        data = payload if isinstance(payload, bytes) else payload.encode()
        self.sock.sendall(mq.publish(topic, data, qos=qos, message_id=packet_id))
        if qos == 1:
            self.expect(PUBACK)
        elif qos == 2:
            self.expect(PUBREC)
            self.send_ack(PUBREL, packet_id)
            self.expect(PUBCOMP)

    def send_ack(self, kind, packet_id):
        self.sock.sendall(bytes([kind, 2]) + struct.pack("!H", packet_id))

    def read(self, timeout=10):
        if self.pending:
            return self.pending.pop(0)
        return mq.read_packet(self.sock, timeout)

    def expect(self, kind, timeout=10):
        """The next packet of that type; PUBLISH packets met meanwhile wait in pending."""
        held = []
        try:
            while True:
                first, body = mq.read_packet(self.sock, timeout)
                if first & 0xF0 == kind & 0xF0:
                    return first, body
                held.append((first, body))
        finally:
            self.pending.extend(held)

    def raw_message(self, timeout=10):
        """(payload, packet id, qos, dup) of the next PUBLISH."""
        while True:
            first, body = self.read(timeout)
            if first & 0xF0 == 0x30:
                break
        qos, dup = (first >> 1) & 3, bool(first & 8)
        length = struct.unpack("!H", body[:2])[0]
        at = 2 + length
        packet_id = 0
        if qos:
            packet_id = struct.unpack("!H", body[at:at + 2])[0]
            at += 2
        return body[at:], packet_id, qos, dup

    def message(self, timeout=10):
        """(number, packet id, qos, dup) of the next PUBLISH."""
        payload, packet_id, qos, dup = self.raw_message(timeout)
        return int(payload.decode()), packet_id, qos, dup

    def messages(self, count, timeout=15):
        return [self.message(timeout) for _ in range(count)]

    def silent(self, seconds):
        """True when no PUBLISH arrives for that long."""
        try:
            self.message(seconds)
            return False
        except (socket.timeout, TimeoutError):
            return True

    def close(self):
        try:
            self.sock.sendall(b"\xe0\x00")
        except OSError:
            pass
        self.sock.close()


def command(broker, operation, topic, **props):
    """Runs a persistence command; (code, message) of its history row."""
    config = {"operation": operation, "persistenceTopic": topic}
    config.update(props)
    before = len(broker.sql("select rowid from mqtt_topic_persistence_history"))
    subprocess.run(["mosquitto_pub", "-p", str(broker.port), *harness.ADMIN_CREDENTIALS, "-t", "quarnAdministration",
                    "-m", json.dumps(config)],
                   check=True, timeout=10)
    rows = harness.wait_for(lambda: broker.sql("select error_code, error_message from "
                                               "mqtt_topic_persistence_history")[before:], 15)
    assert rows, broker.log()
    return int(rows[-1][0]), rows[-1][1]


def create(broker, topic, **props):
    config = {"storeAndForward": True, "maxDeliveryRatePerSecond": 1000}
    config.update(props)
    code, message = command(broker, "CreatePersistenceTopic", topic, **config)
    assert code == 0, (message, broker.log())


def publish_numbers(port, topic, numbers, qos=1):
    publisher = Client(port, "publisher-" + topic.replace("/", "-"), clean=True)
    try:
        for n in numbers:
            publisher.publish(topic, str(n), qos)
    finally:
        publisher.close()


class StoreForwardTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.broker = harness.Broker(persistence=True, stats_interval=0, stats_persist_interval=0)

    @classmethod
    def tearDownClass(cls):
        code, log = cls.broker.close()
        report = harness.sanitizer_report(log)
        if report:
            raise AssertionError(report)

    def test_reconnecting_subscriber_gets_what_it_did_not_confirm(self):
        port = self.broker.port
        create(self.broker, "sf/resume", resendTimeout=60)
        client = Client(port, "resumer")
        client.subscribe("sf/resume", 1)
        publish_numbers(port, "sf/resume", range(1, 51))
        got = client.messages(50)
        self.assertEqual([n for n, _, _, _ in got], list(range(1, 51)))
        self.assertTrue(all(qos == 1 and not dup for _, _, qos, dup in got))
        for n, packet_id, _, _ in got[:45]:
            client.send_ack(PUBACK, packet_id)
        client.close()
        time.sleep(0.3)

        client = Client(port, "resumer")
        client.subscribe("sf/resume", 1)
        again = client.messages(5)
        self.assertEqual([n for n, _, _, _ in again], [46, 47, 48, 49, 50])
        for _, packet_id, _, _ in again:
            client.send_ack(PUBACK, packet_id)
        publish_numbers(port, "sf/resume", [51])
        n, packet_id, _, _ = client.message()
        self.assertEqual(n, 51)
        client.send_ack(PUBACK, packet_id)
        self.assertTrue(client.silent(1))
        client.close()

    def test_subscribers_at_different_positions(self):
        port = self.broker.port
        create(self.broker, "sf/many", resendTimeout=60)
        clients = {name: Client(port, name) for name in ("ahead", "behind", "middle")}
        for client in clients.values():
            client.subscribe("sf/many", 1)
        publish_numbers(port, "sf/many", range(1, 11))
        confirmed = {"ahead": 10, "behind": 2, "middle": 6}
        for name, client in clients.items():
            got = client.messages(10)
            self.assertEqual([n for n, _, _, _ in got], list(range(1, 11)), name)
            for _, packet_id, _, _ in got[:confirmed[name]]:
                client.send_ack(PUBACK, packet_id)
            client.close()
        time.sleep(0.3)
        publish_numbers(port, "sf/many", [11, 12])
        for name in clients:
            client = Client(port, name)
            client.subscribe("sf/many", 1)
            expected = list(range(confirmed[name] + 1, 13))
            self.assertEqual([n for n, _, _, _ in client.messages(len(expected))], expected, name)
            client.close()

    def test_new_subscriber_gets_the_stored_limit(self):
        port = self.broker.port
        create(self.broker, "sf/limit", newSubscriberDeliveryMode="StoredMessages",
               newSubscriberMaxStoredMessages=3, resendTimeout=60)
        publish_numbers(port, "sf/limit", range(1, 11))
        client = Client(port, "limited")
        client.subscribe("sf/limit", 0)
        self.assertEqual([n for n, _, _, _ in client.messages(3)], [8, 9, 10])
        publish_numbers(port, "sf/limit", [11])
        n, packet_id, qos, _ = client.message()
        self.assertEqual((n, packet_id, qos), (11, 0, 0))
        self.assertTrue(client.silent(0.5))
        client.close()

    def test_resend_after_the_time_out(self):
        """QoS 1 comes again with DUP and the same id; a released QoS 2 message
        comes again as PUBREL, never as PUBLISH; acknowledged ones stop."""
        port = self.broker.port
        create(self.broker, "sf/resend", resendTimeout=1)
        one, two = Client(port, "resend-1"), Client(port, "resend-2")
        one.subscribe("sf/resend", 1)
        two.subscribe("sf/resend", 2)
        publish_numbers(port, "sf/resend", [1], qos=2)
        n, one_id, qos, dup = one.message()
        self.assertEqual((n, qos, dup), (1, 1, False))
        n, two_id, qos, dup = two.message()
        self.assertEqual((n, qos, dup), (1, 2, False))
        two.send_ack(PUBREC, two_id)
        first, body = two.expect(PUBREL)
        self.assertEqual((first, struct.unpack("!H", body)[0]), (PUBREL, two_id))

        n, again_id, qos, dup = one.message(timeout=5)
        self.assertEqual((n, again_id, qos, dup), (1, one_id, 1, True))
        one.send_ack(PUBACK, one_id)
        first, body = two.read(timeout=5)  # PUBCOMP withheld: the release comes again
        self.assertEqual((first, struct.unpack("!H", body)[0]), (PUBREL, two_id))
        two.send_ack(PUBCOMP, two_id)

        self.assertTrue(one.silent(3))
        self.assertTrue(two.silent(0.1))
        one.close()
        two.close()

    def test_unsubscribe_during_delivery(self):
        port = self.broker.port
        create(self.broker, "sf/leave", maxDeliveryRatePerSecond=20, resendTimeout=60)
        publisher_numbers = range(1, 41)
        client = Client(port, "leaver")
        client.subscribe("sf/leave", 1)
        publish_numbers(port, "sf/leave", publisher_numbers)
        first = client.messages(3)
        self.assertEqual([n for n, _, _, _ in first], [1, 2, 3])
        started = time.time()
        client.unsubscribe("sf/leave")
        self.assertLess(time.time() - started, 5)
        client.pending = [p for p in client.pending if p[0] & 0xF0 != 0x30]  # sent before the UNSUBACK
        self.assertTrue(client.silent(1))
        client.sock.sendall(b"\xc0\x00")
        self.assertEqual(client.expect(0xD0)[0], 0xD0)
        client.close()


    def test_schema_decodes_binary_payloads(self):
        """A payload the schema cannot decode is logged with its code and skipped; the next one goes out."""
        port = self.broker.port
        body = "TYPE 'Pt'\nSTRUCT\n  x : INT;\n  y : BOOL;\nEND_STRUCT\nEND_TYPE\n"
        create(self.broker, "sf/schema", resendTimeout=60,
               messageSchema={"messageSchemaType": "Pt", "messageSchemaSyntax": "UDT", "messageSchemaBody": body})
        client = Client(port, "decoder")
        client.subscribe("sf/schema", 0)
        publisher = Client(port, "schema-publisher", clean=True)
        publisher.publish("sf/schema", bytes([0x00]))
        publisher.publish("sf/schema", bytes([0x00, 0x05, 0x01, 0x00]))
        publisher.close()
        payload, _, _, _ = client.raw_message()
        self.assertEqual(json.loads(payload), {"x": 5, "y": True})
        self.assertTrue(harness.wait_for(lambda: "11001" in self.broker.log(), 5))
        client.close()

    def test_taken_over_and_refused_subscribers(self):
        """A second connection with the client id takes the subscription over
        before the first one is gone; a client id the engine refuses (longer
        than its names) leaves no subscriber behind, so it is refused again."""
        port = self.broker.port
        create(self.broker, "sf/taken", resendTimeout=60)
        first = Client(port, "taker")
        first.subscribe("sf/taken", 1)
        second = Client(port, "taker")
        second.subscribe("sf/taken", 1)
        first.close()
        publish_numbers(port, "sf/taken", [1])
        self.assertEqual(second.message()[0], 1)
        second.close()

        long_id = "x" * 70
        refused = Client(port, long_id)
        refused.subscribe("sf/taken", 1)
        refused.subscribe("sf/taken", 1)
        lines = lambda: [line for line in self.broker.log().splitlines()
                         if "Not able to subscribe" in line and line.endswith(" - 11006")]
        self.assertTrue(harness.wait_for(lambda: len(lines()) >= 2, 5), self.broker.log())
        refused.close()

    def test_refused_configurations_and_alterations(self):
        cases = [
            ({"maxDeliveryRatePerSecond": 0}, "maxDeliveryRatePerSecond"),
            ({"newSubscriberMaxStoredMessages": 0}, "newSubscriberMaxStoredMessages"),
            ({"newSubscriberMaxStoredMessages": "some"}, "newSubscriberMaxStoredMessages"),
            ({"newSubscriberDeliveryMode": "newmessages"}, "newSubscriberDeliveryMode"),
            ({"resendTimeout": 0}, "resendTimeout"),
            ({"messageSchema": {"messageSchemaType": "T", "messageSchemaSyntax": "UDT"}}, "messageSchemaBody"),
        ]
        for props, named in cases:
            code, message = command(self.broker, "CreatePersistenceTopic", "sf/refused", storeAndForward=True,
                                    **props)
            self.assertEqual(code, 10028, props)
            self.assertIn(named, message)
        create(self.broker, "sf/altered", resendTimeout=30, newSubscriberMaxStoredMessages="ALL")
        code, message = command(self.broker, "AlterPersistenceTopic", "sf/altered", storeAndForward=True,
                                maxDeliveryRatePerSecond=1000)
        self.assertEqual(code, 10018)
        self.assertIn("[resendTimeout] is not supported. Originally it was 30 and now it is 20", message)
        code, message = command(self.broker, "AlterPersistenceTopic", "sf/altered", storeAndForward=False)
        self.assertEqual(code, 10018)
        self.assertIn("storeAndForward", message)

    def test_delete_stops_readers_before_their_rows_go(self):
        port = self.broker.port
        create(self.broker, "sf/gone", resendTimeout=60)
        client = Client(port, "deleted-under")
        client.subscribe("sf/gone", 1)
        publish_numbers(port, "sf/gone", [1, 2])
        self.assertEqual([n for n, _, _, _ in client.messages(2)], [1, 2])
        rows = "select count(*) from %s where tableName = 'sf_gone'"
        self.assertEqual(self.broker.sql(rows % "position"), [["1"]])
        code, message = command(self.broker, "DeletePersistenceTopic", "sf/gone")
        self.assertEqual(code, 0, message)
        # Nothing writes the rows again once they are gone.
        time.sleep(0.5)
        self.assertEqual(self.broker.sql(rows % "position"), [["0"]])
        self.assertEqual(self.broker.sql(rows % "completed"), [["0"]])
        # The topic is an ordinary one now: the broker forwards it.
        publish_numbers(port, "sf/gone", [3])
        self.assertEqual(client.message()[0], 3)
        client.close()


    def topic_sql(self, query):
        db = os.path.join(self.broker.root, "data", "BRENLOXS", "quarnSQL.db")
        out = subprocess.run(["sqlite3", "-cmd", ".timeout 5000", db, query], capture_output=True, text=True,
                             timeout=30)
        self.assertEqual(out.returncode, 0, out.stderr)
        return [line.split("|") for line in out.stdout.splitlines()]

    def test_row_that_cannot_be_delivered_is_skipped_once(self):
        port = self.broker.port
        create(self.broker, "sf/gone", resendTimeout=1)
        client = Client(port, "gone-reader")
        client.subscribe("sf/gone", 1)
        publish_numbers(port, "sf/gone", [1, 2])
        first, second = client.messages(2)
        client.send_ack(PUBACK, second[1])
        # The unconfirmed row goes before its resend.
        self.topic_sql("delete from sf_gone where cast(source_payload as text) = '1'")
        skipped = lambda: [line for line in self.broker.log().splitlines()
                           if "cannot be delivered to client [gone-reader]" in line]
        self.assertTrue(harness.wait_for(lambda: skipped(), 15), self.broker.log())
        publish_numbers(port, "sf/gone", [3])
        while True:  # resends of 1 sent before the row went may come first
            n, packet_id, _, _ = client.message()
            if n == 3:
                break
        client.send_ack(PUBACK, packet_id)
        self.assertEqual(len(skipped()), 1, skipped())
        client.close()
        # The position moved past it: nothing comes back.
        client = Client(port, "gone-reader")
        client.subscribe("sf/gone", 1)
        self.assertTrue(client.silent(2))
        client.close()

    def test_subscribe_again_changes_the_qos_and_acks_fit_it(self):
        port = self.broker.port
        create(self.broker, "sf/upgrade", resendTimeout=60)
        client = Client(port, "upgrader")
        client.subscribe("sf/upgrade", 0)
        publish_numbers(port, "sf/upgrade", [1])
        self.assertEqual(client.message()[::2], (1, 0))
        client.subscribe("sf/upgrade", 2)
        self.assertTrue(harness.wait_for(lambda: "already a subscriber for topic [sf/upgrade]" in self.broker.log(),
                                         10))
        publish_numbers(port, "sf/upgrade", [2], qos=2)
        n, packet_id, qos, _ = client.message()
        self.assertEqual((n, qos), (2, 2))
        # A PUBACK does not end a QoS 2 delivery, nor a PUBCOMP before its PUBREC.
        before = self.broker.log().count("this acknowledgement does not fit it")
        client.send_ack(PUBACK, packet_id)
        client.send_ack(PUBCOMP, packet_id)
        self.assertTrue(harness.wait_for(
            lambda: self.broker.log().count("this acknowledgement does not fit it") >= before + 2, 10))
        client.send_ack(PUBREC, packet_id)
        self.assertEqual(client.expect(PUBREL)[1], struct.pack("!H", packet_id))
        client.send_ack(PUBCOMP, packet_id)
        client.close()
        client = Client(port, "upgrader")
        client.subscribe("sf/upgrade", 2)
        self.assertTrue(client.silent(1))
        client.close()

    def test_received_qos2_message_is_released_not_sent_again(self):
        # The client answered PUBREC (it has the messages) and left before
        # the PUBCOMP, once by crashing and once cleanly: its next session
        # gets the PUBREL of those ids, never the messages under new ids.
        port = self.broker.port
        create(self.broker, "sf/released", resendTimeout=60)
        client = Client(port, "releaser")
        client.subscribe("sf/released", 2)
        publish_numbers(port, "sf/released", range(1, 6), qos=2)
        got = client.messages(5)
        self.assertEqual([(n, qos) for n, _, qos, _ in got], [(n, 2) for n in range(1, 6)])
        for _, packet_id, _, _ in got:
            client.send_ack(PUBREC, packet_id)
        released = {client.expect(PUBREL)[1] for _ in got}
        self.assertEqual(released, {struct.pack("!H", packet_id) for _, packet_id, _, _ in got})
        for leave in (lambda c: c.sock.close(), Client.close):
            leave(client)
            time.sleep(0.3)
            client = Client(port, "releaser")
            client.subscribe("sf/released", 2)
            again = set()
            for _ in got:
                first, body = client.read()
                self.assertEqual(first, PUBREL, body)
                again.add(body)
            self.assertEqual(again, released)
        for body in released:
            client.send_ack(PUBCOMP, struct.unpack("!H", body)[0])
        publish_numbers(port, "sf/released", [6], qos=2)
        n, packet_id, _, _ = client.message()
        self.assertEqual(n, 6)
        client.send_ack(PUBREC, packet_id)
        client.expect(PUBREL)
        client.send_ack(PUBCOMP, packet_id)
        client.close()
        client = Client(port, "releaser")
        client.subscribe("sf/released", 2)
        self.assertTrue(client.silent(1))
        client.close()

    def test_repeated_packets_keep_the_log_small(self):
        # Wrong acknowledgements repeated 20,000 times and SUBSCRIBE again
        # 2,000 times: a few lines a second, and the delivery goes on.
        port = self.broker.port
        create(self.broker, "sf/flood", resendTimeout=60)
        client = Client(port, "flooder")
        client.subscribe("sf/flood", 1)
        publish_numbers(port, "sf/flood", [1])
        n, packet_id, _, _ = client.message()
        before = self.broker.log().count("this acknowledgement does not fit it")
        client.sock.sendall((bytes([PUBREC, 2]) + struct.pack("!H", packet_id)) * 20000)
        client.send_ack(PUBACK, packet_id)  # the right one still ends the delivery
        publish_numbers(port, "sf/flood", [2])
        n, packet_id, _, _ = client.message()
        self.assertEqual(n, 2)
        client.send_ack(PUBACK, packet_id)
        self.assertLess(self.broker.log().count("this acknowledgement does not fit it") - before, 100)
        before = self.broker.log().count("already a subscriber for topic [sf/flood]")
        client.sock.sendall(b"".join(mq.subscribe(["sf/flood"], qos=1, message_id=i + 1) for i in range(2000)))
        for _ in range(2000):
            client.expect(0x90, timeout=30)
        publish_numbers(port, "sf/flood", [3])
        self.assertEqual(client.message()[0], 3)
        self.assertLess(self.broker.log().count("already a subscriber for topic [sf/flood]") - before, 100)
        client.close()

    def test_schema_text_stored_or_made_on_forward(self):
        port = self.broker.port
        body = "TYPE 'Pt'\nSTRUCT\n  x : INT;\n  y : BOOL;\nEND_STRUCT\nEND_TYPE\n"
        schema = {"messageSchemaType": "Pt", "messageSchemaSyntax": "UDT", "messageSchemaBody": body}
        for topic, on_forward, stored in (("sf/stored", False, [['{"x":5,"y":true}']]), ("sf/forward", True, [[""]])):
            with self.subTest(topic=topic):
                create(self.broker, topic, messageSchema=schema, transformOnForward=on_forward)
                client = Client(port, topic.replace("/", "-") + "-reader")
                client.subscribe(topic, 0)
                publish_numbers_raw = Client(port, "schema-" + topic.replace("/", "-"), clean=True)
                publish_numbers_raw.publish(topic, bytes([0x00, 0x05, 0x01, 0x00]))
                publish_numbers_raw.close()
                self.assertEqual(json.loads(client.raw_message()[0]), {"x": 5, "y": True})
                table = topic.replace("/", "_")
                self.assertEqual(self.topic_sql("select coalesce(replace(target_payload, ' ', ''), ''), qos, "
                                                "hex(source_payload) from %s" % table),
                                 [stored[0] + ["1", "00050100"]])
                client.close()

    def test_message_the_extractor_refuses_is_still_stored(self):
        port = self.broker.port
        create(self.broker, "sf/mapped", mapOfPropertiesToFields=[
            {"propertyPath": "n", "fieldName": "n", "fieldType": "INTEGER"}])
        client = Client(port, "mapped-reader")
        client.subscribe("sf/mapped", 1)
        publish_numbers(port, "sf/mapped", ["not json"])
        payload, packet_id, _, _ = client.raw_message()
        self.assertEqual(payload, b"not json")
        client.send_ack(PUBACK, packet_id)
        self.assertEqual(self.topic_sql("select cast(source_payload as text), qos, n is null from sf_mapped"),
                         [["not json", "1", "1"]])
        client.close()

    def test_closing_subscribers_do_not_hold_up_a_subscribe(self):
        port = self.broker.port
        create(self.broker, "sf/crowd", resendTimeout=60)
        crowd = [Client(port, "crowd-%d" % i) for i in range(100)]
        for client in crowd:
            client.subscribe("sf/crowd", 1)
        for client in crowd:
            client.sock.close()  # all at once, without DISCONNECT
        other = Client(port, "unrelated", clean=True)
        other.sock.sendall(mq.subscribe(["plain/topic"], qos=1, message_id=7))
        # Well before a hundred subscribers' clean-ups one after the other.
        self.assertEqual(other.expect(0x90, timeout=10), (0x90, b"\x00\x07\x01"))
        other.close()


    def test_clean_reconnects_get_nothing_they_confirmed(self):
        # Sessions that confirm what they read in one go, leave with a clean
        # DISCONNECT and connect again under the same id at once, on a
        # connection opened beforehand: the new CONNECT comes while the
        # previous connection still has the confirmations to read.
        port = self.broker.port
        create(self.broker, "sf/sessions", maxDeliveryRatePerSecond=300, resendTimeout=60)
        client = Client(port, "session-reader")
        client.subscribe("sf/sessions", 1)  # its position starts here
        client.close()
        total = 800
        publish_numbers(port, "sf/sessions", range(1, total + 1))
        confirmed, again = set(), []
        client = Client(port, "session-reader")
        for _ in range(100):
            client.subscribe("sf/sessions", 1)
            read, leave = [], time.time() + 0.3
            try:
                while time.time() < leave:
                    read.append(client.message(timeout=0.2))
            except (socket.timeout, TimeoutError):
                pass
            again += [n for n, _, _, _ in read if n in confirmed]
            confirmed |= {n for n, _, _, _ in read}
            following = mq.open_socket(port)
            client.sock.sendall(b"".join(bytes([PUBACK, 2]) + struct.pack("!H", packet_id)
                                         for _, packet_id, _, _ in read) + b"\xe0\x00")
            client.sock.close()
            client = Client(port, "session-reader", sock=following)
            if len(confirmed) == total:
                break
        client.close()
        self.assertEqual(again, [])
        self.assertEqual(len(confirmed), total)


class StoreForwardCrashTest(unittest.TestCase):
    """A kill -9 in the middle of a delivery loses nothing the subscriber did not confirm."""

    def test_kill_during_delivery(self):
        broker = harness.Broker(persistence=True, stats_interval=0, stats_persist_interval=0)
        try:
            port = broker.port
            create(broker, "sf/crash", maxDeliveryRatePerSecond=50, resendTimeout=60)
            client = Client(port, "survivor")
            client.subscribe("sf/crash", 1)
            publish_numbers(port, "sf/crash", range(1, 61))
            got = client.messages(30)
            self.assertEqual([n for n, _, _, _ in got], list(range(1, 31)))
            for _, packet_id, _, _ in got[:20]:
                client.send_ack(PUBACK, packet_id)
            time.sleep(0.5)
            broker.proc.kill()
            broker.proc.wait()
            client.sock.close()
            broker.restart()

            client = Client(broker.port, "survivor")
            client.subscribe("sf/crash", 1)
            first, _, _, _ = client.message(timeout=20)
            self.assertLessEqual(first, 21)
            rest = [n for n, _, _, _ in client.messages(60 - first)]
            self.assertEqual([first] + rest, list(range(first, 61)))
            client.close()
        finally:
            broker.close()

    def test_kill_during_fast_delivery(self):
        # No rate limit: the reader runs ahead and saves its position for
        # groups of rows; the kill comes while rows confirmed, rows in flight
        # and rows not yet saved as handed out all exist.
        broker = harness.Broker(persistence=True, stats_interval=0, stats_persist_interval=0)
        try:
            port = broker.port
            create(broker, "sf/fast", maxDeliveryRatePerSecond=1000000, resendTimeout=60)
            client = Client(port, "fast-reader")
            client.subscribe("sf/fast", 1)  # its position starts here
            client.close()
            total = 2500
            publisher = Client(port, "fast-publisher", clean=True)
            publisher.sock.sendall(b"".join(mq.publish("sf/fast", str(n).encode(), qos=1, message_id=n)
                                            for n in range(1, total + 1)))
            for _ in range(total):
                publisher.expect(PUBACK, timeout=30)
            publisher.close()

            client = Client(port, "fast-reader")
            client.subscribe("sf/fast", 1)
            confirmed = 800  # within the subscriber's window of 1000 rows in flight
            got = client.messages(confirmed)
            for _, packet_id, _, _ in got:
                client.send_ack(PUBACK, packet_id)
            got += client.messages(900)
            self.assertEqual([n for n, _, _, _ in got], list(range(1, confirmed + 901)))
            broker.proc.kill()
            broker.proc.wait()
            client.sock.close()
            broker.restart()

            client = Client(broker.port, "fast-reader")
            client.subscribe("sf/fast", 1)
            again = []
            while not again or again[-1] < total:
                n, packet_id, _, _ = client.message(timeout=20)
                client.send_ack(PUBACK, packet_id)
                again.append(n)
            self.assertLessEqual(again[0], confirmed + 1)
            self.assertEqual(again, list(range(again[0], total + 1)))
            client.close()
        finally:
            broker.close()


if __name__ == "__main__":
    unittest.main()
