"""Store-and-forward delivery against plain publish/subscribe on one broker.

  sf_load.py PORT MESSAGES SUBSCRIBERS SERVER_FOLDER

Plain: SUBSCRIBERS raw clients subscribe QoS 1 to a plain topic; one
publisher sends MESSAGES QoS 1 publications (a window of outstanding
PUBACKs); the rate is messages delivered to all subscribers per second, from
the first publication to the last delivery.
Store-and-forward: MESSAGES rows are stored first (not timed); then
SUBSCRIBERS new subscribers in "StoredMessages" mode subscribe QoS 1 and
acknowledge each message as it comes; the rate is rows delivered (and
acknowledged) to all of them per second.
Prints one line per kind: "<kind> subscribers N delivered D seconds S rate R".
"""
import json
import os
import socket
import sqlite3
import struct
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests", "common"))
from peers import mqtt_packet, mqtt_text  # noqa: E402

PORT, MESSAGES, SUBSCRIBERS = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
# The engine server's folder, where the broker's metadata database lies.
METADATA = os.path.join(sys.argv[4], "brenlox.db")


class Conn:
    def __init__(self, client_id, clean=True):
        # A generous bound, so a broker that stops delivering ends the run.
        self.sock = socket.create_connection(("127.0.0.1", PORT), timeout=60)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.buf = bytearray()
        self.held = []  # publications that came before the SUBACK
        self.sock.sendall(mqtt_packet(0x10, mqtt_text("MQTT") + bytes([4, 2 if clean else 0]) + struct.pack("!H", 0)
                                 + mqtt_text(client_id)))
        assert self.next()[0] == 0x20

    def next(self):
        if self.held:
            return self.held.pop(0)
        while True:
            if len(self.buf) >= 2:
                remaining, shift, at = 0, 0, 1
                while at < len(self.buf):
                    byte = self.buf[at]
                    remaining |= (byte & 0x7F) << shift
                    shift += 7
                    at += 1
                    if not byte & 0x80:
                        break
                else:
                    at = None
                if at is not None and len(self.buf) >= at + remaining and not self.buf[at - 1] & 0x80:
                    first, body = self.buf[0], bytes(self.buf[at:at + remaining])
                    del self.buf[:at + remaining]
                    return first, body
            chunk = self.sock.recv(1 << 16)
            if not chunk:
                raise ConnectionError("closed")
            self.buf += chunk

    def subscribe(self, topic):
        self.sock.sendall(mqtt_packet(0x82, struct.pack("!H", 1) + mqtt_text(topic) + b"\x01"))
        held = []
        while True:
            first, body = self.next()
            if first == 0x90:
                break
            held.append((first, body))
        self.held = held


def receiver(conn, count, done):
    """Acknowledges every QoS 1 publication; notes the time of the last."""
    got, acks = 0, bytearray()
    while got < count:
        first, body = conn.next()
        if first & 0xF0 != 0x30:
            continue
        got += 1
        if (first >> 1) & 3:
            length = struct.unpack("!H", body[:2])[0]
            acks += b"\x40\x02" + body[2 + length:4 + length]
        if len(acks) >= 400 or got == count:
            conn.sock.sendall(acks)
            acks = bytearray()
    done.append(time.time())


def publish(topic, count, window=500):
    conn = Conn("bench-publisher")
    payload = json.dumps({"id": 1, "temp": 21.5, "name": "bench"}).encode()
    sent = acked = 0
    while acked < count:
        batch = bytearray()
        while sent < count and sent - acked < window:
            sent += 1
            batch += mqtt_packet(0x32, mqtt_text(topic) + struct.pack("!H", sent % 65535 + 1) + payload)
        if batch:
            conn.sock.sendall(batch)
        first, _ = conn.next()
        if first & 0xF0 == 0x40:
            acked += 1
    conn.sock.close()


def command(config):
    # Commands run with the publisher's credentials: the fresh server's administrator.
    subprocess.run(["mosquitto_pub", "-p", str(PORT), "-u", "ADMIN", "-P", "TRUVE", "-t", "quarnAdministration",
                    "-m", json.dumps(config)], check=True)


def run(kind, topic, subscribe_first):
    conns = [Conn("bench-%s-%d-%d" % (kind, SUBSCRIBERS, i)) for i in range(SUBSCRIBERS)]
    if subscribe_first:
        for c in conns:
            c.subscribe(topic)
    done = []
    threads = [threading.Thread(target=receiver, args=(c, MESSAGES, done)) for c in conns]
    start = time.time()
    if not subscribe_first:
        for c in conns:
            c.subscribe(topic)
    for t in threads:
        t.start()
    if subscribe_first:
        publish(topic, MESSAGES)
    for t in threads:
        t.join()
    seconds = max(done) - start
    delivered = MESSAGES * SUBSCRIBERS
    print("%s subscribers %d delivered %d seconds %.2f rate %.0f" % (kind, SUBSCRIBERS, delivered, seconds,
                                                                     delivered / seconds))
    for c in conns:
        c.sock.close()


topic = "bench/sf%d" % SUBSCRIBERS
command({"operation": "CreatePersistenceTopic", "persistenceTopic": topic, "storeAndForward": True,
         "maxDeliveryRatePerSecond": 1000000, "newSubscriberDeliveryMode": "StoredMessages",
         "newSubscriberMaxStoredMessages": "all", "resendTimeout": 60})
# The topic stores what is published once the command is done: its history row.
for _ in range(300):
    try:
        with sqlite3.connect("file:%s?mode=ro" % METADATA, uri=True, timeout=5) as db:
            done = db.execute("select error_code from mqtt_topic_persistence_history where instr("
                              "replace(persistence_command, ' ', ''), ?)", ('"persistenceTopic":"%s"' % topic,)
                              ).fetchone()
        if done:
            if int(done[0]) != 0:
                sys.exit("the store-and-forward topic was refused: %s" % done[0])
            break
    except sqlite3.Error:
        pass
    time.sleep(0.1)
else:
    sys.exit("the store-and-forward topic %s was not made" % topic)
publish(topic, MESSAGES)  # stored first: the delivery alone is timed
run("plain", "bench/plain%d" % SUBSCRIBERS, True)
run("store-and-forward", topic, False)
