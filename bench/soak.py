"""The crash soak: seven writers against one heron, killed with SIGKILL at a
random moment of every round and started again, then every database checked.

  soak.py DIST SECONDS ROUNDS

DIST is a built runnable tree (copied to a temporary folder). The writers,
each in its own database and table, with a fresh key for every write:
  rest     REST record inserts (gannet),
  rpc      JSON-RPC insertRecords over WebSocket (wren),
  sql      workbench insert statements with auto-commit (plover),
  browse   table-browser record inserts (avocet),
  mqtt     QoS 1 publications to a persisted topic (starling),
  forward  the same to a store-and-forward topic, whose subscriber confirms
           each message and disconnects cleanly every second: a confirmed
           message must not come again within the same run of heron,
  alter    REST table alterations, each giving a table with rows a new last field.
Each keeps a ledger: a write the server acknowledged must be stored with its
exact values, one it refused must be absent, and one whose answer was lost to
the kill may be either; the altered table must carry the field of its last
acknowledged alteration or of a later unanswered one, whole, with its rows.
After the last kill: PRAGMA integrity_check on every database file, every
ledger against its table, and heron's resident memory and descriptors late in
the last run against the first run's. Prints one line per round and a
summary; exits 1 on any loss or failed check. SOAK_REDELIVERY_FAILS=0 prints
confirmed store-and-forward messages delivered again without counting them.
"""
import base64
import http.client
import json
import os
import random
import select
import signal
import socket
import sqlite3
import struct
import subprocess
import sys
import threading
import time

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, "..", "tests", "common"))
sys.path.insert(0, os.path.join(here, "..", "tests", "wren"))
import peers  # noqa: E402
from peers import HeronTree, free_port, mqtt_packet, mqtt_text, wait_for, wait_port  # noqa: E402
from test_wren import WsClient  # noqa: E402

USER, PASSWORD = "ADMIN", "TRUVE"
SERVER = "BRENLOXS"
# What the last run may hold beyond the first: heron is the same program on
# the same data, so growth past this is a leak of memory or descriptors.
RSS_FACTOR, RSS_SLACK_KIB, FD_SLACK = 1.5, 64 * 1024, 32
IO_TIMEOUT = 30  # seconds a live server may take to answer one write


def b64(text):
    return base64.b64encode(text.encode()).decode()


def rest_request(conn, method, path, body=None):
    """(status, reply bytes) of one REST call with the administrator's credentials."""
    headers = {"Authorization": "Basic " + b64(USER + ":" + PASSWORD), "Content-Type": "application/json"}
    conn.request(method, "/quarn/api/v1/" + path, body=None if body is None else json.dumps(body), headers=headers)
    reply = conn.getresponse()
    return reply.status, reply.read()


def rest_setup(port, calls):
    """Runs (method, path, body) REST calls that must succeed."""
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=IO_TIMEOUT)
    try:
        for method, path, body in calls:
            status, reply = rest_request(conn, method, path, body)
            if status != 200:
                raise RuntimeError("REST %s %s: %d %s" % (method, path, status, reply))
    finally:
        conn.close()


class Ledger:
    """What one writer sent and what became of it: key -> (value, number, outcome)."""

    ACKED, REFUSED, UNKNOWN = "acknowledged", "refused", "unknown"

    def __init__(self):
        self.lock = threading.Lock()
        self.entries = {}
        self.last_refusal = ""

    def note(self, key, value, number, outcome, why=""):
        with self.lock:
            self.entries[key] = (value, number, outcome)
            if outcome == self.REFUSED:
                self.last_refusal = why[:200]

    def count(self, outcome):
        with self.lock:
            return sum(1 for entry in self.entries.values() if entry[2] == outcome)


class Writer(threading.Thread):
    """Writes one record at a time while the server is up; a broken
    connection leaves the write in flight unknown and the session is made
    again once the server is back."""

    kind = "writer"
    database = ""
    table = ""

    def __init__(self, soak):
        super().__init__(daemon=True)
        self.soak = soak
        self.ledger = Ledger()
        self.serial = 0
        self.failure = None
        self.session_epoch = -1  # the run of heron the session was made with

    def fresh_write(self):
        self.serial += 1
        key = "%s-%d-%d" % (self.kind, self.soak.round, self.serial)
        value = "".join(random.choice("abcdefghijklmnopqrstuvwxyz0123456789 _-") for _ in range(random.randint(1, 30)))
        return key, value.strip() or "v", random.randint(-2 ** 31, 2 ** 31 - 1)

    def run(self):
        while not self.soak.finished.is_set():
            if not self.soak.up.wait(0.2):
                continue
            epoch = self.soak.epoch
            if self.session_epoch != epoch:
                self.drop_session()  # made with a run that was killed
                self.session_epoch = epoch
            key, value, number = self.fresh_write()
            try:
                self.ensure_session()
                refusal = self.write(key, value, number)
            except (OSError, http.client.HTTPException, ValueError, AssertionError, struct.error) as e:
                # The answer was lost: a kill, or a server that broke the connection.
                self.ledger.note(key, value, number, Ledger.UNKNOWN)
                self.drop_session()
                if self.soak.epoch == epoch and self.soak.up.is_set():
                    self.soak.complain("%s: write failed while the server was up: %r" % (self.kind, e))
                    time.sleep(0.2)
                continue
            except Exception as e:  # a fault of the writer itself ends the soak
                self.failure = "%s: %r" % (self.kind, e)
                self.soak.finished.set()
                return
            if refusal is None:
                self.ledger.note(key, value, number, Ledger.ACKED)
            else:
                self.ledger.note(key, value, number, Ledger.REFUSED, refusal)
                self.drop_session()  # the refusal may be of a session the server no longer knows

    def ensure_session(self):
        pass

    def drop_session(self):
        pass

    def write(self, key, value, number):
        """None when acknowledged, else the refusal's text."""
        raise NotImplementedError

    def verify(self, data):
        """The problems of the writer's table against its ledger."""
        found = self.stored(data)
        problems = []
        lost = wrong = present = doubled = 0
        for key, (value, number, outcome) in self.ledger.entries.items():
            rows = found.get(key, [])
            if len(rows) > 1:
                doubled += 1
            if outcome == Ledger.ACKED:
                if not rows:
                    lost += 1
                elif any(row != (value, number) for row in rows):
                    wrong += 1
                    if wrong == 1:
                        problems.append("%s: %s stored as %r, written as %r" % (self.kind, key, rows, (value, number)))
            elif outcome == Ledger.REFUSED and rows:
                present += 1
        strangers = len(set(found) - set(self.ledger.entries))
        for count, what in ((lost, "acknowledged writes missing"), (wrong, "acknowledged writes with other values"),
                            (present, "refused writes stored"), (doubled, "writes stored twice"),
                            (strangers, "rows nobody wrote")):
            if count:
                problems.append("%s: %d %s" % (self.kind, count, what))
        return problems

    def stored(self, data):
        """{key: [(value, number), ...]} of the writer's table."""
        path = os.path.join(data, SERVER, self.database + ".db")
        with sqlite3.connect("file:%s?mode=ro" % path, uri=True, timeout=30) as db:
            rows = db.execute("select k, v, n from %s" % self.table).fetchall()
        found = {}
        for k, v, n in rows:
            found.setdefault(k, []).append((v, n))
        return found


class RestWriter(Writer):
    kind, database, table = "rest", "soakrest", "records"

    def setup(self, soak):
        rest_setup(soak.http_port, (("POST", "database/" + self.database, None),
                                    ("POST", "table/%s/%s" % (self.database, self.table), {"fields": [
                                        {"name": "k", "type": "VARCHAR", "length": 40},
                                        {"name": "v", "type": "VARCHAR", "length": 40},
                                        {"name": "n", "type": "INTEGER"}]})))

    def ensure_session(self):
        if getattr(self, "conn", None) is None:
            self.conn = http.client.HTTPConnection("127.0.0.1", self.soak.http_port, timeout=IO_TIMEOUT)

    def drop_session(self):
        if getattr(self, "conn", None) is not None:
            self.conn.close()
        self.conn = None

    def write(self, key, value, number):
        status, reply = rest_request(self.conn, "POST", "record/%s/%s" % (self.database, self.table),
                                     {"k": key, "v": value, "n": number})
        if status == 200 and "_id" in json.loads(reply):
            return None
        return "%d %s" % (status, reply[:200])


class RpcWriter(Writer):
    kind, database, table = "rpc", "soakrpc", "records"

    def setup(self, soak):
        ws = WsClient(soak.http_port)
        token = self.login(ws)
        fields = [{"name": "k", "type": "VARCHAR", "length": 40}, {"name": "v", "type": "VARCHAR", "length": 40},
                  {"name": "n", "type": "INTEGER", "length": 4}]
        reply = ws.call("createTable", {"authToken": token, "databaseName": self.database, "tableName": self.table,
                                        "fields": fields})
        if reply["result"]["errorCode"] != 0:
            raise RuntimeError("JSON-RPC createTable: %s" % reply)
        ws.close()

    def login(self, ws):
        reply = ws.call("login", {"username": USER, "password": PASSWORD})
        if reply["result"]["errorCode"] != 0:
            raise AssertionError("JSON-RPC login: %s" % reply)
        return reply["result"]["authToken"]

    def ensure_session(self):
        if getattr(self, "ws", None) is None:
            self.ws = WsClient(self.soak.http_port)
            self.ws.sock.settimeout(IO_TIMEOUT)
            self.token = self.login(self.ws)

    def drop_session(self):
        if getattr(self, "ws", None) is not None:
            self.ws.close()
        self.ws = None

    def write(self, key, value, number):
        result = self.ws.call("insertRecords", {"authToken": self.token, "databaseName": self.database,
                                                "tableName": self.table, "insertFormat": "arrays",
                                                "fieldNames": ["k", "v", "n"], "sourceData": [[key, value, number]]})
        result = result.get("result", result)
        return None if result.get("errorCode") == 0 else json.dumps(result)[:200]


class SqlWriter(Writer):
    kind, database, table = "sql", "soaksql", "records"

    def post(self, method, params):
        conn = http.client.HTTPConnection("127.0.0.1", self.soak.http_port, timeout=IO_TIMEOUT)
        try:
            conn.request("POST", "/plover", json.dumps({"action": "quarnSQL", "method": method, "data": [params],
                                                        "tid": 1}), {"Content-Type": "application/json"})
            reply = conn.getresponse()
            data = reply.read()
        finally:
            conn.close()
        if reply.status != 200:
            return {"type": "exception", "message": "HTTP %d" % reply.status}
        return json.loads(data) if data else {"type": "exception", "message": "empty reply"}

    def connect(self):
        reply = self.post("connect", {"yxInfo": {"currentServer": {"database": self.database}, "userName": b64(USER),
                                                 "userPassword": b64(PASSWORD), "autoCommit": True,
                                                 "isolationLevel": True, "createNewSession": True}})
        if reply.get("type") != "rpc":
            raise AssertionError("workbench connect: %s" % reply)
        return reply["result"]["token"]

    def statement(self, token, text):
        return self.post("execStatement", {"token": token, "yxInfo": {"query": text}})

    def setup(self, soak):
        rest_setup(soak.http_port, (("POST", "database/" + self.database, None),))
        reply = self.statement(self.connect(), "create table %s(k varchar(40), v varchar(40), n integer)" % self.table)
        if reply.get("type") != "rpc":
            raise RuntimeError("workbench create table: %s" % reply)

    def ensure_session(self):
        if getattr(self, "token", None) is None:
            self.token = self.connect()

    def drop_session(self):
        self.token = None

    def write(self, key, value, number):
        reply = self.statement(self.token, "insert into %s values('%s', '%s', %d)" % (self.table, key, value, number))
        return None if reply.get("type") == "rpc" else json.dumps(reply)[:200]


class BrowseWriter(Writer):
    kind, database, table = "browse", "soakbrowse", "records"

    def call(self, command, body, token=None):
        conn = http.client.HTTPConnection("127.0.0.1", self.soak.http_port, timeout=IO_TIMEOUT)
        headers = {"Content-Type": "application/json"}
        if token is not None:
            headers["token"] = token
        try:
            conn.request("POST", "/avocet/" + command, json.dumps(body), headers)
            reply = conn.getresponse()
            data = reply.read()
        finally:
            conn.close()
        return json.loads(data) if data else {}

    def connect(self):
        reply = self.call("zvIsamExConnect", {"serverInfo": {"userName": b64(USER), "userPassword": b64(PASSWORD)}})
        if not reply.get("success"):
            raise AssertionError("table browser connect: %s" % reply)
        return reply["result"]["token"]

    def setup(self, soak):
        token = self.connect()
        for command, body in (("zvIsamExDoAction", {"mode": "CREATEDB", "name": self.database, "path": ""}),
                              ("zvIsamExCreateNewTable", {"database": self.database, "tableInfo": {
                                  "properties": {"name": self.table, "path": ""},
                                  "fields": [{"name": "k", "type": "ZV_STRING", "length": 40},
                                             {"name": "v", "type": "ZV_STRING", "length": 40},
                                             {"name": "n", "type": "ZV_INT4", "length": 4}],
                                  "indexes": []}})):
            reply = self.call(command, body, token)
            if not reply.get("success"):
                raise RuntimeError("table browser %s: %s" % (command, reply))

    def ensure_session(self):
        if getattr(self, "token", None) is None:
            self.token = self.connect()

    def drop_session(self):
        self.token = None

    def write(self, key, value, number):
        reply = self.call("zvIsamExCreateTableRecord", {"database": self.database, "name": self.table,
                                                        "fields": json.dumps({"k": key, "v": value, "n": number})},
                          self.token)
        return None if reply.get("success") else json.dumps(reply)[:200]


class MqttConnection:
    """A raw MQTT 3.1.1 client connection: CONNECT on creation, whole packets
    read and written."""

    def __init__(self, port, client_id):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=IO_TIMEOUT)
        self.sock.sendall(mqtt_packet(0x10, mqtt_text("MQTT") + bytes([4, 2]) + struct.pack("!H", 0) +
                                      mqtt_text(client_id)))
        first, body = self.read_packet()
        if first != 0x20 or body[1:2] != b"\x00":
            raise AssertionError("CONNACK refused: %r" % body)

    def read_packet(self):
        head = self.read_exact(2)
        length, shift, byte = 0, 0, head[1]
        while True:
            length |= (byte & 0x7F) << shift
            if not byte & 0x80:
                break
            shift += 7
            byte = self.read_exact(1)[0]
        return head[0], self.read_exact(length)

    def read_exact(self, n):
        data = b""
        while len(data) < n:
            chunk = self.sock.recv(n - len(data))
            if not chunk:
                raise ConnectionResetError("the broker closed the connection")
            data += chunk
        return data

    def send(self, first, body):
        self.sock.sendall(mqtt_packet(first, body))

    def close(self):
        self.sock.close()


def persistence_command(soak, command):
    """Publishes a broker command with the administrator's credentials and
    waits until it is done: its history row. A persisted topic stores what is
    published only from then on."""
    subprocess.run(["mosquitto_pub", "-p", str(soak.mqtt_port), "-u", USER, "-P", PASSWORD, "-t",
                    "quarnAdministration", "-m", json.dumps(command)], check=True, timeout=30)
    metadata = os.path.join(soak.tree.path("data"), SERVER, "brenlox.db")
    wanted = '"persistenceTopic":"%s"' % command["persistenceTopic"]

    def outcome():
        try:
            with sqlite3.connect("file:%s?mode=ro" % metadata, uri=True, timeout=5) as db:
                return db.execute("select error_code, error_message from mqtt_topic_persistence_history where "
                                  "instr(replace(persistence_command, ' ', ''), ?)", (wanted,)).fetchone()
        except sqlite3.Error:
            return None
    done = wait_for(outcome, 30)
    if not done or int(done[0]) != 0:
        raise RuntimeError("the broker's command %s failed: %s" % (command, done))


class MqttWriter(Writer):
    """QoS 1, one publication outstanding: its PUBACK is the acknowledgement."""

    kind, database, table = "mqtt", "quarnSQL", "soak_records"
    topic = "soak/records"
    TOPIC_SETTINGS = {}

    def setup(self, soak):
        persistence_command(soak, dict({
            "operation": "CreatePersistenceTopic", "persistenceTopic": self.topic, "mapOfPropertiesToFields": [
                {"propertyPath": "k", "fieldName": "k", "fieldType": "VARCHAR", "fieldWidth": 40},
                {"propertyPath": "v", "fieldName": "v", "fieldType": "VARCHAR", "fieldWidth": 40},
                {"propertyPath": "n", "fieldName": "n", "fieldType": "INTEGER"}]}, **self.TOPIC_SETTINGS))

    def ensure_session(self):
        if getattr(self, "mqtt", None) is None:
            self.mqtt = MqttConnection(self.soak.mqtt_port, "soak-" + self.kind)
            self.packet_id = 0

    def drop_session(self):
        if getattr(self, "mqtt", None) is not None:
            self.mqtt.close()
        self.mqtt = None

    def write(self, key, value, number):
        self.packet_id = self.packet_id % 65535 + 1
        payload = json.dumps({"k": key, "v": value, "n": number}).encode()
        self.mqtt.send(0x32, mqtt_text(self.topic) + struct.pack("!H", self.packet_id) + payload)
        first, body = self.mqtt.read_packet()
        if first != 0x40 or struct.unpack("!H", body[:2])[0] != self.packet_id:
            raise AssertionError("expected the PUBACK of %d, got %#x %r" % (self.packet_id, first, body))
        return None


class ForwardWriter(MqttWriter):
    """Publishes to a store-and-forward topic like the mqtt writer; beside it
    a subscriber takes the stored messages, confirms each at once and leaves
    with a clean DISCONNECT every second: within one run of heron, a message
    confirmed before such a disconnect must never come again."""

    kind, table = "forward", "soak_forward"
    topic = "soak/forward"
    TOPIC_SETTINGS = {"storeAndForward": True, "maxDeliveryRatePerSecond": 1000,
                      "newSubscriberDeliveryMode": "StoredMessages", "newSubscriberMaxStoredMessages": "all",
                      "resendTimeout": 5}

    def __init__(self, soak):
        super().__init__(soak)
        self.reader = threading.Thread(target=self.read_forever, daemon=True)
        self.delivered = 0
        self.redelivered = []

    def start(self):
        super().start()
        self.reader.start()

    def join(self, timeout=None):
        super().join(timeout)
        self.reader.join(timeout)

    def read_forever(self):
        confirmed, epoch = set(), None
        while not self.soak.finished.is_set():
            if not self.soak.up.wait(0.2):
                continue
            if epoch != self.soak.epoch:
                # A kill may lose confirmations the broker had not yet stored: they may come again.
                confirmed, epoch = set(), self.soak.epoch
            pending = set()
            try:
                self.read_for_a_second(confirmed, pending)
            except (OSError, ValueError, KeyError, AssertionError, struct.error):
                time.sleep(0.1)
                continue  # not a clean disconnect: what it confirmed may come again
            if epoch == self.soak.epoch:
                confirmed |= pending

    def read_for_a_second(self, confirmed, pending):
        mqtt = MqttConnection(self.soak.mqtt_port, "soak-forward-reader")
        try:
            mqtt.send(0x82, struct.pack("!H", 1) + mqtt_text(self.topic) + b"\x01")
            leave = time.time() + 1
            while time.time() < leave and self.soak.up.is_set():
                if not select.select([mqtt.sock], [], [], 0.1)[0]:
                    continue
                first, body = mqtt.read_packet()
                if first & 0xF0 != 0x30:
                    continue
                length = struct.unpack("!H", body[:2])[0]
                packet_id = body[2 + length:4 + length]
                key = json.loads(body[4 + length:])["k"]
                self.delivered += 1
                if key in confirmed:
                    self.redelivered.append(key)
                mqtt.send(0x40, packet_id)
                pending.add(key)
            mqtt.send(0xE0, b"")
        finally:
            mqtt.close()

    def verify(self, data):
        problems = super().verify(data)
        if self.redelivered:
            text = ("forward: %d messages delivered again after they were confirmed and the subscriber "
                    "disconnected cleanly (first: %s)" % (len(self.redelivered), self.redelivered[0]))
            if os.environ.get("SOAK_REDELIVERY_FAILS", "1") == "1":
                problems.append(text)
            else:
                print("soak: not counted (SOAK_REDELIVERY_FAILS=0): " + text)
        if self.ledger.count(Ledger.ACKED) >= 100 and self.delivered == 0:
            problems.append("forward: none of the stored messages was delivered")
        return problems


class AlterWriter(RestWriter):
    """Each write is an alteration of a table holding rows: the same three
    fields and one last field named after the write, the previous one's
    dropped. Its ledger's keys are those field names."""

    kind, database, table = "alter", "soakalter", "altered"
    # CHAR: an alteration through REST keeps no VARCHAR field today (refused as not matching itself).
    BASE = [{"name": "k", "type": "CHAR", "length": 40}, {"name": "v", "type": "CHAR", "length": 40},
            {"name": "n", "type": "INTEGER"}]
    ROWS = 50

    def setup(self, soak):
        self.rows = {}
        calls = [("POST", "database/" + self.database, None),
                 ("POST", "table/%s/%s" % (self.database, self.table), {"fields": self.BASE})]
        for i in range(self.ROWS):
            key, value, number = "%s-row-%d" % (self.kind, i), "row %d" % i, i * 7919 - 100000
            self.rows[key] = (value, number)
            calls.append(("POST", "record/%s/%s" % (self.database, self.table), {"k": key, "v": value, "n": number}))
        rest_setup(soak.http_port, calls)

    def fresh_write(self):
        self.serial += 1
        return "c%d_%d" % (self.soak.round, self.serial), "", self.serial

    def write(self, key, value, number):
        body = {"fields": self.BASE + [{"name": key, "type": "INTEGER"}]}
        status, reply = rest_request(self.conn, "PUT", "table/%s/%s" % (self.database, self.table), body)
        return None if status == 200 else "%d %s" % (status, reply[:200])

    def verify(self, data):
        path = os.path.join(data, SERVER, self.database + ".db")
        with sqlite3.connect("file:%s?mode=ro" % path, uri=True, timeout=30) as db:
            columns = [row[1] for row in db.execute("pragma table_info(%s)" % self.table)]
            rows = {k: (v, n) for k, v, n in db.execute("select k, v, n from %s" % self.table)}
        problems = []
        extra = [c for c in columns if c not in ("rl_recid", "k", "v", "n")]
        entries = sorted(self.ledger.entries.items(), key=lambda item: item[1][1])  # by serial
        acked = [key for key, (_, _, outcome) in entries if outcome == Ledger.ACKED]
        allowed = set(acked[-1:])
        last_acked_serial = self.ledger.entries[acked[-1]][1] if acked else 0
        allowed |= {key for key, (_, serial, outcome) in entries
                    if outcome == Ledger.UNKNOWN and serial > last_acked_serial}
        if not acked:
            allowed.add(None)  # the table as it was made
        if len(extra) > 1 or (extra[0] if extra else None) not in allowed:
            problems.append("alter: the table's fields are %s; the last acknowledged alteration gave %s" %
                            (columns, acked[-1:] or "none"))
        if rows != self.rows:
            problems.append("alter: %d of %d rows kept their values through the alterations" %
                            (sum(1 for k, row in self.rows.items() if rows.get(k) == row), len(self.rows)))
        return problems


WRITERS = (RestWriter, RpcWriter, SqlWriter, BrowseWriter, MqttWriter, ForwardWriter, AlterWriter)


class Soak:
    def __init__(self, seconds, rounds):
        self.seconds, self.rounds = seconds, rounds
        self.tree = HeronTree("soak-")
        self.http_port, self.mqtt_port = free_port(), free_port()
        with open(self.tree.path("config/osprey.json"), "w") as f:
            json.dump({"document_root": "./web", "listening_http_port": str(self.http_port), "verbose_level": -1,
                       "linked_vix_server": SERVER, "mqtt_enabled": "true",
                       "mqtt_listening_port": str(self.mqtt_port), "mqtt_persistence_enabled": "true",
                       "applications": ["quarn;gannet", "plover;plover", "avocet;avocet", "mqtt;starling"],
                       "websocket_applications": ["wren;wren"]}, f)
        self.up = threading.Event()
        self.finished = threading.Event()
        self.epoch = 0
        self.round = 0
        self.complaints = []
        self.complaints_lock = threading.Lock()
        self.samples = []  # (resident KiB, descriptors) of each run, just before its kill
        self.writers = [kind(self) for kind in WRITERS]

    def complain(self, text):
        with self.complaints_lock:
            self.complaints.append(text)

    def start_heron(self):
        self.tree.start()
        for port in (self.http_port, self.mqtt_port):
            if not wait_port(port, 60):
                raise RuntimeError("heron did not start:\n" + self.tree.log()[-4000:])

    def kill_heron(self):
        pid = self.tree.proc.pid
        with open("/proc/%d/status" % pid) as f:
            rss = next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))
        descriptors = len(os.listdir("/proc/%d/fd" % pid))
        self.up.clear()
        self.epoch += 1
        self.tree.proc.send_signal(signal.SIGKILL)
        self.tree.proc.wait()
        self.tree.out.close()
        return rss, descriptors

    def run(self):
        round_seconds = self.seconds / self.rounds
        self.began = time.time()
        self.start_heron()
        for writer in self.writers:
            writer.setup(self)
        for writer in self.writers:
            writer.start()
        for number in range(1, self.rounds + 1):
            self.round = number
            if number > 1:
                self.start_heron()
            started = time.time()
            before = {w.kind: len(w.ledger.entries) for w in self.writers}
            self.up.set()
            # A random moment from the round's middle on, so that rounds last
            # round_seconds on average: every writer is busy by then.
            deadline = started + round_seconds * random.uniform(0.5, 1.5)
            while time.time() < deadline and not self.finished.is_set():
                time.sleep(0.05)
            if self.tree.proc.poll() is not None:
                raise RuntimeError("heron ended by itself in round %d:\n%s" % (number, self.tree.log()[-4000:]))
            rss, descriptors = self.kill_heron()
            self.samples.append((rss, descriptors))
            writes = " ".join("%s %d" % (w.kind, len(w.ledger.entries) - before[w.kind]) for w in self.writers)
            print("round %d/%d: killed after %.1fs; writes %s; heron %d KiB resident, %d descriptors" %
                  (number, self.rounds, time.time() - started, writes, rss, descriptors), flush=True)
            if self.finished.is_set():
                break
        self.finished.set()
        for writer in self.writers:
            writer.join(IO_TIMEOUT + 5)
        return self.check()

    def check(self):
        problems = [w.failure for w in self.writers if w.failure]
        problems += self.complaints[:10]
        if len(self.complaints) > 10:
            problems.append("... %d more writes failed while the server was up" % (len(self.complaints) - 10))
        data = self.tree.path("data")
        for folder, _, files in os.walk(data):
            for name in files:
                if name.endswith(".db"):
                    path = os.path.join(folder, name)
                    out = subprocess.run(["sqlite3", path, "PRAGMA integrity_check"], capture_output=True, text=True,
                                         timeout=300)
                    if out.stdout.strip() != "ok":
                        problems.append("integrity_check of %s: %s %s" % (path, out.stdout.strip()[:300], out.stderr))
        totals = []
        for w in self.writers:
            problems += w.verify(data)
            if w.ledger.count(Ledger.REFUSED):
                print("%s: last refusal: %s" % (w.kind, w.ledger.last_refusal))
            totals.append("%s %d/%d/%d" % (w.kind, w.ledger.count(Ledger.ACKED), w.ledger.count(Ledger.REFUSED),
                                           w.ledger.count(Ledger.UNKNOWN)))
        (first_rss, first_fds), (last_rss, last_fds) = self.samples[0], self.samples[-1]
        if last_rss > first_rss * RSS_FACTOR + RSS_SLACK_KIB:
            problems.append("resident memory grew from %d KiB in the first run to %d KiB in the last (margin: %.1fx + %d "
                            "KiB)" % (first_rss, last_rss, RSS_FACTOR, RSS_SLACK_KIB))
        if last_fds > first_fds + FD_SLACK:
            problems.append("descriptors grew from %d in the first run to %d in the last (margin: +%d)" %
                            (first_fds, last_fds, FD_SLACK))
        print("soak: %d rounds in %.0fs; acknowledged/refused/unknown: %s; %s" %
              (len(self.samples), time.time() - self.began, ", ".join(totals),
               "every acknowledged write is stored with its values, every database is sound" if not problems
               else "%d problems" % len(problems)))
        for problem in problems:
            print("soak: " + problem)
        return not problems


def main():
    if len(sys.argv) != 4:
        sys.exit("usage: soak.py DIST SECONDS ROUNDS")
    peers.DIST = sys.argv[1]
    soak = Soak(float(sys.argv[2]), int(sys.argv[3]))
    try:
        ok = soak.run()
    finally:
        soak.finished.set()
        if soak.tree.proc is not None and soak.tree.proc.poll() is None:
            soak.tree.proc.kill()
            soak.tree.proc.wait()
    if ok:
        soak.tree.remove()
    else:
        print("soak: the tree is kept in %s" % soak.tree.root)
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
