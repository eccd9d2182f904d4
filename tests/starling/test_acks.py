"""Acknowledgements between the broker and raw MQTT 3.1.1 clients: repeated
QoS 2 publications (on one connection and across a kept session), PUBACKs
out of order, acknowledgements of unknown ids, and a CONNECT while another
program holds the metadata database locked. Stored rows are counted with
sqlite3."""
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
import test_conformance as mq  # noqa: E402
from test_storeforward import PUBACK, PUBCOMP, PUBREC, PUBREL, Client, command, create  # noqa: E402

PUBLISH_DUP = 0x08


def ack(kind, packet_id):
    return bytes([kind, 2]) + struct.pack("!H", packet_id)


def qos2_publish(topic, payload, packet_id, dup=False):
    data = mq.publish(topic, payload.encode(), qos=2, message_id=packet_id)
    return bytes([data[0] | (PUBLISH_DUP if dup else 0)]) + data[1:]


def connack(sock, client_id, clean):
    sock.sendall(mq.connect(client_id, flags=0x02 if clean else 0x00))
    return mq.read_packet(sock, 60)


class AcknowledgementTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.broker = harness.Broker(persistence=True, stats_interval=0, stats_persist_interval=0)
        # A persisted (not store-and-forward) topic: its PUBREC follows the commit.
        code, message = command(cls.broker, "CreatePersistenceTopic", "acks/stored")
        assert code == 0, message

    @classmethod
    def tearDownClass(cls):
        code, log = cls.broker.close()
        report = harness.sanitizer_report(log)
        if report:
            raise AssertionError(report)

    def stored(self, payload):
        db = os.path.join(self.broker.root, "data", "BRENLOXS", "quarnSQL.db")
        out = subprocess.run(["sqlite3", "-readonly", "-cmd", ".timeout 5000", db,
                              "select count(*) from acks_stored where cast(source_payload as text) = '%s'" % payload],
                             capture_output=True, text=True, timeout=30)
        self.assertEqual(out.returncode, 0, out.stderr)
        return int(out.stdout.strip())

    def stored_soon(self, payload, expected):
        harness.wait_for(lambda: self.stored(payload) >= expected, 15)
        time.sleep(0.5)  # a second row would follow the first within one batch
        return self.stored(payload)

    def test_repeated_qos2_publish_before_pubrel(self):
        # The repeat (DUP) after PUBREC gets PUBREC again; the subscriber
        # sees the message once, the table holds it once.
        for topic in ("acks/plain", "acks/stored"):
            with self.subTest(topic=topic):
                sub = Client(self.broker.port, "rep-sub-" + topic.replace("/", "-"), clean=True)
                sub.subscribe(topic, 2)
                pub = Client(self.broker.port, "rep-pub-" + topic.replace("/", "-"), clean=True)
                payload = "once-" + topic.replace("/", "-")
                pub.sock.sendall(qos2_publish(topic, payload, 7))
                self.assertEqual(pub.expect(PUBREC), (PUBREC, b"\x00\x07"))
                pub.sock.sendall(qos2_publish(topic, payload, 7, dup=True))
                self.assertEqual(pub.expect(PUBREC), (PUBREC, b"\x00\x07"))
                pub.send_ack(PUBREL, 7)
                self.assertEqual(pub.expect(PUBCOMP), (PUBCOMP, b"\x00\x07"))
                got, packet_id, _, _ = sub.raw_message()
                self.assertEqual(got.decode(), payload)
                sub.send_ack(PUBREC, packet_id)
                sub.expect(PUBREL)
                sub.send_ack(PUBCOMP, packet_id)
                self.assertTrue(sub.silent(1))
                if topic == "acks/stored":
                    self.assertEqual(self.stored_soon(payload, 1), 1)
                pub.close()
                sub.close()

    def test_acknowledgements_follow_publications_across_persistence_threads(self):
        # Pipelining publishers on a topic written by several threads: each
        # gets its PUBACKs (QoS 1) and PUBRECs (QoS 2) in the order it sent.
        code, message = command(self.broker, "CreatePersistenceTopic", "acks/threads", persistenceTopicThreads=4)
        self.assertEqual(code, 0, message)
        count = 2000
        publishers = []
        for n in range(8):
            sock = mq.open_socket(self.broker.port)
            self.assertEqual(connack(sock, "threads-%d" % n, clean=True), (0x20, b"\x00\x00"))
            publishers.append((sock, 1 + n % 2))
        for n, (sock, qos) in enumerate(publishers):
            sock.sendall(b"".join(mq.publish("acks/threads", b"%d-%d" % (n, i), qos=qos, message_id=i)
                                  for i in range(1, count + 1)))
        for sock, qos in publishers:
            expected = PUBACK if qos == 1 else PUBREC
            got = []
            for _ in range(count):
                first, body = mq.read_packet(sock, 60)
                self.assertEqual(first, expected)
                got.append(struct.unpack("!H", body)[0])
            self.assertEqual(got, list(range(1, count + 1)))
            sock.close()

    def test_kept_session_recognises_an_unreleased_qos2_repeat(self):
        # A clean-session-0 publisher leaves between PUBREC and PUBREL and
        # sends the publication again with DUP: stored once. A clean session
        # forgets the id: the same id is then a new publication.
        port = self.broker.port
        sock = mq.open_socket(port)
        first, body = connack(sock, "kept-pub", clean=False)
        self.assertEqual((first, body[1]), (0x20, 0))
        sock.sendall(qos2_publish("acks/stored", "kept", 11))
        self.assertEqual(mq.read_packet(sock), (PUBREC, b"\x00\x0b"))
        sock.close()
        self.assertEqual(self.stored_soon("kept", 1), 1)
        sock = mq.open_socket(port)
        first, body = connack(sock, "kept-pub", clean=False)
        self.assertEqual((first, body[1]), (0x20, 0))
        # The broker keeps no subscriptions or deliveries of a session, so
        # its CONNACK claims none.
        sock.sendall(qos2_publish("acks/stored", "kept", 11, dup=True))
        self.assertEqual(mq.read_packet(sock), (PUBREC, b"\x00\x0b"))
        sock.sendall(ack(PUBREL, 11))
        self.assertEqual(mq.read_packet(sock), (PUBCOMP, b"\x00\x0b"))
        self.assertEqual(self.stored_soon("kept", 1), 1)
        # Unreleased again, then a clean session: the id is new.
        sock.sendall(qos2_publish("acks/stored", "fresh", 12))
        self.assertEqual(mq.read_packet(sock), (PUBREC, b"\x00\x0c"))
        sock.close()
        self.assertEqual(self.stored_soon("fresh", 1), 1)
        sock = mq.open_socket(port)
        self.assertEqual(connack(sock, "kept-pub", clean=True), (0x20, b"\x00\x00"))
        sock.sendall(qos2_publish("acks/stored", "fresh", 12))
        self.assertEqual(mq.read_packet(sock), (PUBREC, b"\x00\x0c"))
        sock.sendall(ack(PUBREL, 12))
        self.assertEqual(mq.read_packet(sock), (PUBCOMP, b"\x00\x0c"))
        self.assertEqual(self.stored_soon("fresh", 2), 2)
        sock.close()

    def test_kept_sessions_past_their_bound_drop_the_oldest(self):
        # 260 kept-session publishers leave with one unreleased publication
        # each: the broker keeps the state of the newest 256. The newest one's
        # repeat is recognised; the oldest one's is a new publication.
        port = self.broker.port
        clients = ["bound-%03d" % i for i in range(260)]
        for client_id in clients:
            sock = mq.open_socket(port)
            self.assertEqual(connack(sock, client_id, clean=False)[0], 0x20)
            sock.sendall(qos2_publish("acks/stored", client_id, 7))
            self.assertEqual(mq.read_packet(sock), (PUBREC, b"\x00\x07"))
            sock.close()
        for client_id, rows in ((clients[-1], 1), (clients[0], 2)):
            self.assertEqual(self.stored_soon(client_id, 1), 1)
            sock = mq.open_socket(port)
            self.assertEqual(connack(sock, client_id, clean=False)[0], 0x20)
            sock.sendall(qos2_publish("acks/stored", client_id, 7, dup=True))
            self.assertEqual(mq.read_packet(sock), (PUBREC, b"\x00\x07"))
            sock.sendall(ack(PUBREL, 7))
            self.assertEqual(mq.read_packet(sock), (PUBCOMP, b"\x00\x07"))
            sock.close()
            self.assertEqual(self.stored_soon(client_id, rows), rows, client_id)

    def test_out_of_order_pubacks_resend_nothing_acknowledged(self):
        # Store-and-forward: 3 acknowledged before 2, then the subscriber
        # leaves with 2 unconfirmed; back again it gets 2 only. Plain topic:
        # nothing comes again either.
        port = self.broker.port
        create(self.broker, "acks/sf", resendTimeout=60)
        for topic in ("acks/sf", "acks/plain-order"):
            with self.subTest(topic=topic):
                client_id = "order-" + topic.replace("/", "-")
                sub = Client(port, client_id)
                sub.subscribe(topic, 1)
                pub = Client(port, "order-pub", clean=True)
                for n in (1, 2, 3, 4):
                    pub.publish(topic, str(n))
                pub.close()
                got = {n: packet_id for n, packet_id, _, _ in sub.messages(4)}
                self.assertEqual(sorted(got), [1, 2, 3, 4])
                for n in (1, 3, 4):
                    sub.send_ack(PUBACK, got[n])
                sub.sock.sendall(mq.subscribe(["order/unused"], message_id=99))
                sub.expect(0x90)  # the acknowledgements were read
                sub.close()
                time.sleep(0.3)
                sub = Client(port, client_id)
                sub.subscribe(topic, 1)
                if topic == "acks/sf":
                    n, packet_id, _, _ = sub.message()
                    self.assertEqual(n, 2)
                    sub.send_ack(PUBACK, packet_id)
                self.assertTrue(sub.silent(1.5))
                sub.close()

    def test_unknown_ids_and_other_clients(self):
        # PUBREL of an unknown id still gets PUBCOMP; stray PUBACK, PUBREC
        # and PUBCOMP change nothing and are logged a bounded number of times.
        port = self.broker.port
        create(self.broker, "acks/sfstray", resendTimeout=60)
        stray = Client(port, "stray")
        stray.subscribe("acks/sfstray", 2)
        stray.send_ack(PUBREL, 4242)
        self.assertEqual(stray.expect(PUBCOMP), (PUBCOMP, b"\x10\x92"))
        before = self.broker.log().count("stray")
        for packet_id in range(1, 2001):
            stray.sock.sendall(ack(PUBACK, packet_id) + ack(PUBREC, packet_id) + ack(PUBCOMP, packet_id))
        stray.send_ack(PUBREL, 4243)
        self.assertEqual(stray.expect(PUBCOMP), (PUBCOMP, b"\x10\x93"))
        self.assertTrue(mq.round_trip(port, "acks/others"))
        publisher = Client(port, "stray-pub", clean=True)
        publisher.publish("acks/sfstray", "1", qos=2)
        publisher.close()
        n, packet_id, qos, _ = stray.message()
        self.assertEqual((n, qos), (1, 2))
        stray.close()
        self.assertLess(self.broker.log().count("stray") - before, 100)


class RemoteLinkRepeatTest(unittest.TestCase):
    def test_link_runs_a_repeated_qos2_command_once(self):
        # The broker's link to a remote broker (here a raw socket) gets a
        # QoS 2 command, then the same one again with DUP before its PUBREL.
        server = socket.create_server(("127.0.0.1", 0))
        server.settimeout(30)
        cfg = (f"SYS_BROKER_HOST 127.0.0.1\nSYS_BROKER_PORT {server.getsockname()[1]}\nSYS_BROKER_TOPIC linked/cmd\n"
               "LOCAL_USER ADMIN\nLOCAL_PASSWORD TRUVE\n")
        links = []

        def serve():  # the broker's start waits for its link to be subscribed
            link, _ = server.accept()
            assert mq.read_packet(link, 30)[0] == 0x10
            link.sendall(b"\x20\x02\x00\x00")
            first, body = mq.read_packet(link, 30)
            assert first == 0x82
            link.sendall(b"\x90\x03" + body[:2] + b"\x02")
            links.append(link)
        remote = threading.Thread(target=serve)
        remote.start()
        broker = harness.Broker(persistence=True, websocket=False, stats_interval=0, stats_persist_interval=0,
                                starling_cfg=cfg)
        try:
            remote.join(30)
            self.assertTrue(links, broker.log())
            link = links[0]
            command = '{"operation":"CreatePersistenceTopic","persistenceTopic":"via/once"}'
            link.sendall(qos2_publish("linked/cmd", command, 5))
            self.assertEqual(mq.read_packet(link), (PUBREC, b"\x00\x05"))
            link.sendall(qos2_publish("linked/cmd", command, 5, dup=True))
            self.assertEqual(mq.read_packet(link), (PUBREC, b"\x00\x05"))
            link.sendall(ack(PUBREL, 5))
            self.assertEqual(mq.read_packet(link), (PUBCOMP, b"\x00\x05"))
            rows = "select count(*) from mqtt_topic_persistence_history where persistence_command like '%via/once%'"
            harness.wait_for(lambda: broker.sql(rows) != [["0"]], 15)
            time.sleep(0.5)  # a second run would follow at once
            self.assertEqual(broker.sql(rows), [["1"]], broker.log())
            self.assertNotIn("already created", broker.log())  # a second run is refused and logged
            link.close()
        finally:
            server.close()
            code, log = broker.close()
            report = harness.sanitizer_report(log)
            if report:
                raise AssertionError(report)


class LockedMetadataTest(unittest.TestCase):
    def test_connect_answered_while_another_program_locks_the_metadata(self):
        broker = harness.Broker(persistence=True, stats_interval=0, stats_persist_interval=0, websocket=False)
        try:
            holder = subprocess.Popen(["sqlite3", broker.db()], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                      text=True)
            holder.stdin.write("begin exclusive;\nselect 'held';\n")
            holder.stdin.flush()
            self.assertEqual(holder.stdout.readline().strip(), "held")
            try:
                sock = mq.open_socket(broker.port)
                try:
                    first, body = connack(sock, "while-locked", clean=True)
                except socket.timeout:
                    self.fail("no CONNACK while the metadata was locked")
                self.assertEqual((first, body), (0x20, b"\x00\x03"))
                self.assertIn("while-locked", broker.log())
                sock.close()
            finally:
                holder.stdin.write("rollback;\n")
                holder.stdin.close()
                holder.wait(timeout=10)

            def accepted():  # a client tries again until the broker can record it
                nonlocal sock
                sock = mq.open_socket(broker.port)
                if connack(sock, "while-locked", clean=True) == (0x20, b"\x00\x00"):
                    return True
                sock.close()
                return False
            self.assertTrue(harness.wait_for(accepted, 60), broker.log())
            sock.sendall(mq.publish("after/lock", b"x", qos=1, message_id=3))
            self.assertEqual(mq.read_packet(sock), (PUBACK, b"\x00\x03"))
            sock.close()
        finally:
            code, log = broker.close()
            report = harness.sanitizer_report(log)
            if report:
                raise AssertionError(report)


class ConnectStormTest(unittest.TestCase):
    def test_connect_storm_while_the_metadata_is_locked_starts_few_threads(self):
        # Many CONNECTs at once while another program holds the metadata
        # database: each is answered CONNACK 3, and the broker does not start
        # a second thread (beyond each connection's own) per waiting CONNECT.
        broker = harness.Broker(persistence=True, stats_interval=0, stats_persist_interval=0, websocket=False)

        def threads():
            with open("/proc/%d/status" % broker.proc.pid) as status:
                return int(next(line for line in status if line.startswith("Threads:")).split()[1])
        try:
            idle = threads()
            holder = subprocess.Popen(["sqlite3", broker.db()], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                      text=True)
            holder.stdin.write(".timeout 30000\nbegin exclusive;\nselect 'held';\n")
            holder.stdin.flush()
            self.assertEqual(holder.stdout.readline().strip(), "held")
            answers = []

            def connect(n):
                sock = mq.open_socket(broker.port)
                try:
                    answers.append(connack(sock, "storm-%d" % n, clean=True))
                finally:
                    sock.close()
            clients = [threading.Thread(target=connect, args=(n,)) for n in range(300)]
            most = 0
            try:
                for client in clients:
                    client.start()
                while any(client.is_alive() for client in clients):
                    most = max(most, threads())
                for client in clients:
                    client.join()
            finally:
                holder.stdin.write("rollback;\n")
                holder.stdin.close()
                holder.wait(timeout=30)
            self.assertEqual(answers, [(0x20, b"\x00\x03")] * 300)
            self.assertLess(most - idle, 300 + 64, "threads of heron while 300 CONNECTs waited")
            self.assertTrue(harness.wait_for(lambda: mq.round_trip(broker.port, "after/storm"), 60), broker.log())
        finally:
            code, log = broker.close()
            report = harness.sanitizer_report(log)
            if report:
                raise AssertionError(report)


if __name__ == "__main__":
    unittest.main()
