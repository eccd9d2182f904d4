"""MQTT peers for the engine's broker host: paho clients and raw sockets.

Usage: mqtt_peer.py PORT SCENARIO. Exits 0 when the scenario holds, 1 with a
message otherwise. Every wait is bounded, so a broker that never answers
fails the scenario instead of hanging the test run.
"""
import os
import socket
import struct
import sys
import threading
import time

import paho.mqtt.client as mqtt

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "common"))
import peers  # noqa: E402
from peers import closed_by_peer, read_exact  # noqa: E402

HOST = "127.0.0.1"
PORT = int(sys.argv[1])


def fail(message):
    print("FAIL:", message)
    sys.exit(1)


def wait_for(condition, seconds=10.0, what="condition"):
    if not peers.wait_for(condition, seconds):
        fail("timed out waiting for " + what)


class Peer:
    """A paho client that records what it receives."""

    def __init__(self, client_id, keepalive=60):
        self.messages = []
        self.lock = threading.Lock()
        self.subacks = []
        self.unsubacks = []
        self.connected = threading.Event()
        self.disconnected = threading.Event()
        self.client = mqtt.Client(client_id=client_id, clean_session=True)
        self.client.on_connect = lambda c, u, f, rc: rc == 0 and self.connected.set()
        self.client.on_disconnect = lambda c, u, rc: self.disconnected.set()
        self.client.on_message = self._on_message
        self.client.on_subscribe = lambda c, u, mid, granted: self.subacks.append((mid, granted))
        self.client.on_unsubscribe = lambda c, u, mid: self.unsubacks.append(mid)
        self.client.connect(HOST, PORT, keepalive=keepalive)
        self.client.loop_start()
        if not self.connected.wait(10):
            fail("no CONNACK for " + client_id)

    def _on_message(self, client, userdata, msg):
        with self.lock:
            self.messages.append((msg.topic, msg.payload.decode(), msg.qos))

    def subscribe(self, filters):
        result, mid = self.client.subscribe(filters)
        wait_for(lambda: any(m == mid for m, _ in self.subacks), what="SUBACK")
        return [g for m, g in self.subacks if m == mid][0]

    def unsubscribe(self, filters):
        result, mid = self.client.unsubscribe(filters)
        wait_for(lambda: mid in self.unsubacks, what="UNSUBACK")

    def publish(self, topic, payload, qos):
        info = self.client.publish(topic, payload, qos)
        info.wait_for_publish(10)
        if not info.is_published():
            fail("publication on %s not acknowledged" % topic)

    def got(self):
        with self.lock:
            return list(self.messages)

    def close(self):
        self.client.disconnect()
        self.client.loop_stop()


def marker_round(sub, pub, topic="marker"):
    """Publishes a marker the subscriber also takes, so everything published
    before it has been forwarded once the marker arrives."""
    pub.publish(topic, "end", 1)
    wait_for(lambda: any(t == topic for t, _, _ in sub.got()), what="marker")


def scenario_qos_round_trip():
    sub = Peer("rt-sub")
    pub = Peer("rt-pub")
    granted = sub.subscribe([("rt/0", 0), ("rt/1", 1), ("rt/2", 2)])
    if list(granted) != [0, 1, 2]:
        fail("granted %r" % (granted,))
    for qos in (0, 1, 2):
        for topic in ("rt/0", "rt/1", "rt/2"):
            pub.publish(topic, "q%d" % qos, qos)
    wait_for(lambda: len(sub.got()) == 9, what="nine messages")
    for topic, payload, qos in sub.got():
        expected = min(int(topic[-1]), int(payload[-1]))
        if qos != expected:
            fail("%s %s arrived at QoS %d" % (topic, payload, qos))
    sub.close()
    pub.close()


def scenario_unsubscribe_every_filter():
    sub = Peer("un-sub")
    pub = Peer("un-pub")
    sub.subscribe([("un/a", 1), ("un/b", 1), ("un/c", 1), ("marker", 1)])
    sub.unsubscribe(["un/a", "un/b"])
    for topic in ("un/a", "un/b", "un/c"):
        pub.publish(topic, "x", 1)
    marker_round(sub, pub)
    topics = [t for t, _, _ in sub.got() if t != "marker"]
    if topics != ["un/c"]:
        fail("after unsubscribing un/a and un/b got %r" % topics)
    sub.close()
    pub.close()


def scenario_overlap_and_dollar():
    sub = Peer("ov-sub")
    pub = Peer("ov-pub")
    sub.subscribe([("ov/#", 0), ("ov/+", 2), ("#", 1), ("+/sys", 1)])
    pub.publish("ov/x", "once", 2)
    pub.publish("$SYS/sys", "hidden", 0)
    pub.publish("ov/", "empty-level", 0)
    marker_round(sub, pub)
    # paho hands a QoS 2 message over at PUBREL, so the QoS 0 one published
    # after it may come first.
    got = sorted((t, p, q) for t, p, q in sub.got() if t != "marker")
    if got != [("ov/", "empty-level", 0), ("ov/x", "once", 2)]:
        fail("got %r" % got)
    sub.close()
    pub.close()


def scenario_keepalive_pings():
    peer = Peer("ka", keepalive=1)
    pings = []
    peer.client.on_log = lambda c, u, level, text: "PINGRESP" in text and pings.append(text)
    wait_for(lambda: len(pings) >= 2, seconds=15, what="two PINGRESPs")
    if peer.disconnected.is_set():
        fail("a pinging client was dropped")
    peer.close()


def raw_connect(client_id=b"raw", flags=0x02, level=4, keepalive=60, name=b"MQTT"):
    body = struct.pack("!H", len(name)) + name + bytes([level, flags])
    body += struct.pack("!H", keepalive) + struct.pack("!H", len(client_id)) + client_id
    return bytes([0x10, len(body)]) + body


def raw_socket():
    s = socket.create_connection((HOST, PORT), timeout=10)
    return s


def scenario_refusals():
    # Protocol levels other than 3 and 4: CONNACK 1, then closed.
    for level in (5, 2):
        s = raw_socket()
        s.sendall(raw_connect(level=level))
        if read_exact(s, 4) != b"\x20\x02\x00\x01":
            fail("level %d not answered with CONNACK 1" % level)
        if not closed_by_peer(s):
            fail("level %d left open" % level)
    # Empty client id without clean session: CONNACK 2, then closed.
    s = raw_socket()
    s.sendall(raw_connect(client_id=b"", flags=0))
    if read_exact(s, 4) != b"\x20\x02\x00\x02":
        fail("empty id without clean session not answered with CONNACK 2")
    if not closed_by_peer(s):
        fail("refused client left open")
    # A PUBLISH with QoS 3 and a SUBSCRIBE asking QoS 3 close the connection
    # without any answer.
    for bad in (bytes([0x36, 7, 0, 1, ord("a"), 0, 1, ord("h"), ord("i")]),
                bytes([0x82, 6, 0, 1, 0, 1, ord("a"), 3])):
        s = raw_socket()
        s.sendall(raw_connect())
        if read_exact(s, 4) != b"\x20\x02\x00\x00":
            fail("CONNECT refused")
        s.sendall(bad)
        s.settimeout(10)
        if s.recv(100) not in (b"",):
            fail("answered a malformed packet")
    # A PUBLISH before CONNECT closes.
    s = raw_socket()
    s.sendall(bytes([0x30, 5, 0, 1, ord("a"), ord("h"), ord("i")]))
    if not closed_by_peer(s):
        fail("PUBLISH before CONNECT left open")


def scenario_split_connect():
    s = raw_socket()
    packet = raw_connect(client_id=b"split-client")
    for i in range(len(packet)):
        s.sendall(packet[i:i + 1])
        time.sleep(0.01)
    if read_exact(s, 4) != b"\x20\x02\x00\x00":
        fail("split CONNECT not accepted")
    # SUBSCRIBE and a PUBLISH to itself in one write, then PINGREQ split.
    sub = bytes([0x82, 8, 0, 7, 0, 3]) + b"s/t" + bytes([0])
    pub = bytes([0x30, 7, 0, 3]) + b"s/t" + b"hi"
    s.sendall(sub + pub)
    expected = bytes([0x90, 3, 0, 7, 0]) + pub
    if read_exact(s, len(expected)) != expected:
        fail("SUBACK and own PUBLISH not received")
    s.sendall(b"\xc0")
    time.sleep(0.05)
    s.sendall(b"\x00")
    if read_exact(s, 2) != b"\xd0\x00":
        fail("no PINGRESP")
    s.sendall(b"\xe0\x00")
    if not closed_by_peer(s):
        fail("DISCONNECT left the connection open")


def scenario_silent_client_closed():
    s = raw_socket()
    s.sendall(raw_connect(client_id=b"silent", keepalive=1))
    if read_exact(s, 4) != b"\x20\x02\x00\x00":
        fail("CONNECT refused")
    if not closed_by_peer(s, 15):
        fail("a client silent past 1.5 x keep-alive was not closed")
    # Keep-alive 0 means none: still open after a few seconds.
    s = raw_socket()
    s.sendall(raw_connect(client_id=b"no-ka", keepalive=0))
    read_exact(s, 4)
    if closed_by_peer(s, 3):
        fail("keep-alive 0 connection closed")


def scenario_churn():
    """Many clients subscribing, publishing and leaving at once."""
    errors = []

    def worker(n):
        try:
            p = Peer("churn-%d" % n)
            p.subscribe([("churn/%d/#" % n, 1), ("churn/all", 0)])
            for i in range(20):
                p.publish("churn/%d/x" % n, str(i), 1)
                p.publish("churn/all", str(i), 0)
            wait_for(lambda: sum(1 for t, _, _ in p.got() if t.startswith("churn/%d/" % n)) == 20,
                     what="own messages of %d" % n)
            p.unsubscribe(["churn/%d/#" % n])
            p.close()
        except SystemExit:
            errors.append(n)

    threads = [threading.Thread(target=worker, args=(n,)) for n in range(16)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    if errors:
        fail("workers failed: %r" % errors)


def scenario_abrupt_disconnects():
    """Subscribers vanish without DISCONNECT while publications fan out to
    them; afterwards a new subscriber is still served."""
    stop = threading.Event()
    errors = []

    def publisher(n):
        try:
            p = Peer("ab-pub-%d" % n)
            i = 0
            while not stop.is_set():
                p.client.publish("ab/%d/%d" % (n, i % 50), "x" * (i % 300), i % 2)
                i += 1
                if i % 100 == 0:
                    time.sleep(0.005)
            p.close()
        except SystemExit:
            errors.append("publisher %d" % n)

    def vanisher(n):
        for round_ in range(15):
            s = raw_socket()
            s.sendall(raw_connect(client_id=("ab-%d-%d" % (n, round_)).encode()))
            if read_exact(s, 4) != b"\x20\x02\x00\x00":
                errors.append("vanisher %d refused" % n)
                return
            s.sendall(bytes([0x82, 9, 0, 1, 0, 4]) + b"ab/#" + bytes([1]))
            s.settimeout(2)
            try:
                s.recv(4096)
            except socket.timeout:
                pass
            s.close()

    pubs = [threading.Thread(target=publisher, args=(n,)) for n in range(4)]
    subs = [threading.Thread(target=vanisher, args=(n,)) for n in range(8)]
    for t in pubs + subs:
        t.start()
    for t in subs:
        t.join(60)
    stop.set()
    for t in pubs:
        t.join(60)
    if errors:
        fail("%r" % errors)
    sub = Peer("ab-after")
    pub = Peer("ab-after-pub")
    sub.subscribe([("marker", 1)])
    marker_round(sub, pub)
    sub.close()
    pub.close()


def scenario_lockstep_publishers():
    """Two publishers publish at the same moment, round after round, and each
    round waits until the subscriber got both messages. Every delivery is
    written by another connection's thread, so each needs a wake-up of the
    subscriber's thread, and wake-ups of both publishers race with each other
    and with the subscriber's thread draining them. A lost wake-up leaves a
    message until that thread's poll time-out (a second), and the rounds then
    cannot end within the bound."""
    sub = raw_socket()
    sub.sendall(raw_connect(client_id=b"ls-sub"))
    if read_exact(sub, 4) != b"\x20\x02\x00\x00":
        fail("subscriber CONNECT refused")
    sub.sendall(bytes([0x82, 7, 0, 1, 0, 2]) + b"ls" + bytes([0]))
    if read_exact(sub, 5) != bytes([0x90, 3, 0, 1, 0]):
        fail("no SUBACK")
    pubs = []
    for name in (b"ls-a", b"ls-b"):
        p = raw_socket()
        p.sendall(raw_connect(client_id=name))
        if read_exact(p, 4) != b"\x20\x02\x00\x00":
            fail("publisher CONNECT refused")
        pubs.append(p)
    rounds = 300
    go = [threading.Barrier(3) for _ in range(2)]

    def publisher(n):
        for i in range(rounds):
            go[0].wait()
            pubs[n].sendall(bytes([0x30, 6, 0, 2]) + b"ls" + struct.pack("!BB", n, i % 256))
            go[1].wait()

    threads = [threading.Thread(target=publisher, args=(n,), daemon=True) for n in (0, 1)]
    for t in threads:
        t.start()
    deadline = time.monotonic() + 60
    for i in range(rounds):
        go[0].wait(timeout=70)
        go[1].wait(timeout=70)
        got = sorted(read_exact(sub, 8)[-2:] for _ in range(2))
        if got != [bytes([0, i % 256]), bytes([1, i % 256])]:
            fail("round %d: deliveries missing (%r)" % (i, got))
        if time.monotonic() > deadline:
            fail("only %d of %d rounds within 60 s: deliveries wait for the poll time-out"
                 % (i + 1, rounds))
    for s in pubs + [sub]:
        s.sendall(b"\xe0\x00")
        s.close()


def scenario_pipelined_fan_out():
    """A publisher's packets sent in one write reach every subscriber whole
    and in order: the copies of a pipelined run are queued for each
    subscriber's own thread rather than written one by one."""
    count = 800  # below the bound on what one subscriber may have queued
    subs = []
    for n in range(4):
        s = raw_socket()
        s.sendall(raw_connect(client_id=b"po-sub-%d" % n))
        if read_exact(s, 4) != b"\x20\x02\x00\x00":
            fail("subscriber CONNECT refused")
        s.sendall(bytes([0x82, 7, 0, 1, 0, 2]) + b"po" + bytes([0]))
        if read_exact(s, 5) != bytes([0x90, 3, 0, 1, 0]):
            fail("no SUBACK")
        subs.append(s)
    got = [None] * len(subs)

    def reader(n):
        got[n] = read_exact(subs[n], 8 * count, timeout=30)

    threads = [threading.Thread(target=reader, args=(n,), daemon=True) for n in range(len(subs))]
    for t in threads:
        t.start()
    pub = raw_socket()
    pub.sendall(raw_connect(client_id=b"po-pub"))
    if read_exact(pub, 4) != b"\x20\x02\x00\x00":
        fail("publisher CONNECT refused")
    pub.sendall(b"".join(bytes([0x30, 6, 0, 2]) + b"po" + struct.pack("!H", i) for i in range(count)))
    for t in threads:
        t.join(40)
    expected = b"".join(bytes([0x30, 6, 0, 2]) + b"po" + struct.pack("!H", i) for i in range(count))
    for n, data in enumerate(got):
        if data != expected:
            fail("subscriber %d got %d of %d bytes, or out of order" % (n, len(data or b""), len(expected)))
    for s in subs + [pub]:
        s.sendall(b"\xe0\x00")
        s.close()


SCENARIOS = {name[len("scenario_"):]: fn for name, fn in globals().items()
             if name.startswith("scenario_")}

if __name__ == "__main__":
    SCENARIOS[sys.argv[2]]()
    print("OK")
