"""The JSON-RPC websocket application wren through a running heron: the
request envelope and its error shapes, log-in tokens, the catalog methods
with the sqlite3 shell confirming the writes, and one token shared by
connections at once."""
import base64
from decimal import Decimal
import json
import os
import socket
import struct
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../common"))
from peers import ResidentGrowth, RunningHeron, free_port, read_exact, sanitizer_report, wait_for, wait_port  # noqa: E402

ADMIN = {"username": "ADMIN", "password": "TRUVE"}


class WsClient:
    """A minimal WebSocket client (RFC 6455): masked text frames out, one
    unfragmented text frame back per request."""

    def __init__(self, port, path="/wren"):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=30)
        key = base64.b64encode(os.urandom(16)).decode()
        self.sock.sendall(("GET %s HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                           "Sec-WebSocket-Key: %s\r\nSec-WebSocket-Version: 13\r\n\r\n" % (path, key)).encode())
        head = b""
        while b"\r\n\r\n" not in head:
            chunk = self.sock.recv(1)
            if not chunk:
                raise AssertionError("closed during the handshake")
            head += chunk
        assert head.startswith(b"HTTP/1.1 101"), head

    def send_text(self, data):
        self.send_frame(0x1, data.encode() if isinstance(data, str) else data)

    def send_frame(self, opcode, payload):
        mask = os.urandom(4)
        n = len(payload)
        header = bytes([0x80 | opcode]) + (bytes([0x80 | n]) if n < 126 else
                                           bytes([0x80 | 126]) + struct.pack("!H", n) if n < 65536 else
                                           bytes([0x80 | 127]) + struct.pack("!Q", n))
        key = int.from_bytes((mask * (n // 4 + 1))[:n], "big")
        masked = (int.from_bytes(payload, "big") ^ key).to_bytes(n, "big") if n else b""
        self.sock.sendall(header + mask + masked)

    def recv_text(self):
        """The next text frame; the server's pings are answered on the way."""
        while True:
            first, second = read_exact(self.sock, 2, timeout=60)
            n = second & 0x7F
            if n == 126:
                n = struct.unpack("!H", read_exact(self.sock, 2))[0]
            elif n == 127:
                n = struct.unpack("!Q", read_exact(self.sock, 8))[0]
            payload = read_exact(self.sock, n, timeout=60)
            if first == 0x89:
                self.send_frame(0xA, payload)
            elif first != 0x8A:
                assert first == 0x81, hex(first)
                return payload.decode()

    def raw(self, text):
        self.send_text(text)
        return json.loads(self.recv_text())

    def call(self, method, params, request_id=1):
        return self.raw(json.dumps({"jsonrpc": "2.0", "id": request_id, "method": method, "params": params}))

    def close(self):
        self.sock.close()


class Server(RunningHeron):
    def __init__(self, env=None):
        super().__init__("wren-", websocket_applications=["wren;wren"], env=env)

    stop = RunningHeron.finish

    def client(self):
        return WsClient(self.port)

    def login(self, ws):
        reply = ws.call("login", ADMIN)
        assert reply["result"]["errorCode"] == 0, reply
        return reply["result"]["authToken"]


class ServerCase(unittest.TestCase):
    ENV = None

    @classmethod
    def setUpClass(cls):
        cls.server = Server(cls.ENV)
        cls.ws = cls.server.client()

    @classmethod
    def tearDownClass(cls):
        cls.ws.close()
        log = cls.server.stop()
        assert not sanitizer_report(log), log

    def ok(self, method, params, ws=None):
        reply = (ws or self.ws).call(method, params)
        self.assertEqual(reply["result"]["errorCode"], 0, reply)
        return reply["result"]


class EnvelopeTest(ServerCase):
    def test_error_shapes(self):
        token = self.server.login(self.ws)
        cases = [  # request text, errorCode, errorMessage (None: the parser's text), id
            ("", -1, None, "-1"),
            ("{not json", -1, None, "-1"),
            ("[1, 2]", -1, "request id is missing. Please add one!", -1),
            ('{"jsonrpc": "2.0", "method": "ping", "params": {}}', -1, "request id is missing. Please add one!", -1),
            ('{"jsonrpc": 2.0, "id": 3, "method": "ping", "params": {}}', -2,
             "Invalid jsonrpc version detected. Expected 2.0 as a string value", 3),
            ('{"jsonrpc": "2.0", "id": 4, "method": 7, "params": {}}', -3, "Method missing or isn't a string.", 4),
            ('{"jsonrpc": "2.0", "id": 5, "method": "ping"}', -4, "Params missing or isn't an object.", 5),
            ('{"jsonrpc": "2.0", "id": 6, "method": "ping", "params": []}', -4, "Params missing or isn't an object.", 6),
            ('{"jsonrpc": "2.0", "id": 7, "method": "listTables", "params": {"databaseName": ""}}', -1,
             "databaseName missing or isn't a string.", 7),
            ('{"jsonrpc": "2.0", "id": 8, "method": "createTable", "params": {"databaseName": "d"}}', -1,
             "tableName missing or isn't a string.", 8),
            ('{"jsonrpc": "2.0", "id": "x", "method": "nosuch", "params": {"databaseName": "d", "tableName": "t"}}',
             -1, "method unknown.", "x"),
            ('{"jsonrpc": "2.0", "id": 9, "method": "listDatabases", "params": {}}', -1, "authToken missing.", 9),
            ('{"jsonrpc": "2.0", "id": 10, "method": "listDatabases", "params": {"authToken": "nope"}}', -1,
             "authToken invalid.", 10),
            ('{"jsonrpc": "2.0", "id": 11, "method": "listDatabases", "params": {"authToken": 5}}', -1,
             "type must be string, but is number", "11"),
            # a numeric id beyond 32 bits keeps its digits in the failure reply
            ('{"jsonrpc": "2.0", "id": 4294967301, "method": "listDatabases", "params": {"authToken": 5}}', -1,
             "type must be string, but is number", "4294967301"),
            ('{"jsonrpc": "2.0", "id": 2.7, "method": "listDatabases", "params": {"authToken": 5}}', -1,
             "type must be string, but is number", "2"),
            # paging counts are 32-bit: a larger one is an error, not wrapped
            ('{"jsonrpc": "2.0", "id": 12, "method": "listDatabases", "params": {"authToken": "%s", '
             '"maxRecords": 4294967296}}' % token, -1, "maxRecords is outside the 32-bit range", "12"),
        ]
        for text, code, message, request_id in cases:
            with self.subTest(text=text):
                reply = self.ws.raw(text)
                self.assertEqual(reply["result"]["errorCode"], code, reply)
                if message is None:
                    self.assertIn("parse error", reply["result"]["errorMessage"])
                else:
                    self.assertIn(message, reply["result"]["errorMessage"])
                self.assertEqual(reply["id"], request_id)
                self.assertEqual(reply["jsonrpc"], "2.0")
                self.assertEqual(reply["result"]["apiVersion"], "1.0.0")

    def test_nesting_bounded_wherever_a_document_enters(self):
        token = self.server.login(self.ws)
        self.ok("createTable", {"authToken": token, "databaseName": "ndb", "tableName": "t",
                                "fields": [{"name": "doc", "type": "JSON", "length": 0}]})
        deep = "[" * 4000 + "]" * 4000
        frames = [  # each 8 KB, each once enough to overflow a connection thread's stack
            '{"jsonrpc": "2.0", "id": 1, "method": "getRecordsUsingSQL", "params": {"authToken": "%s", '
            '"databaseName": "ndb", "sql": "SELECT ?", "sqlParams": [%s]}}' % (token, deep),
            '{"jsonrpc": "2.0", "id": 2, "method": "insertRecords", "params": {"authToken": "%s", '
            '"databaseName": "ndb", "tableName": "t", "insertFormat": "arrays", "fieldNames": ["doc"], '
            '"sourceData": [[{"v": %s}]]}}' % (token, deep),
            '{"jsonrpc": "2.0", "id": %s, "method": "ping", "params": {}}' % deep,
            '{"jsonrpc": "2.0", "id": 3, "method": "ping", "params": {"x": %s}}' % ('{"a":' * 4000 + "1" + "}" * 4000),
        ]
        for frame in frames:
            with self.subTest(frame=frame[:60]):
                reply = self.ws.raw(frame)
                self.assertEqual(reply["result"]["errorCode"], -1, reply)
                self.assertIn("deeper than", reply["result"]["errorMessage"])
        # Nesting any request needs still passes: a parameter 25 levels deep is
        # handed to SQL as its JSON text.
        nested = json.loads("[" * 25 + "7" + "]" * 25)
        result = self.ok("getRecordsUsingSQL", {"authToken": token, "databaseName": "ndb", "sql": "SELECT ? AS p",
                                                "sqlParams": [nested]})
        self.assertEqual(json.loads(result["data"][0][0]), nested)
        # The bound is the system's 32 levels, the request object counted.
        for levels, code in [(30, 0), (31, -1)]:
            with self.subTest(levels=levels):
                reply = self.ws.raw('{"jsonrpc": "2.0", "id": 4, "method": "ping", "params": {"x": %s}}'
                                    % ("[" * levels + "]" * levels))
                self.assertEqual(reply["result"]["errorCode"], code, reply)

    def test_ping_reply_is_compact_and_ordered(self):
        self.ws.send_text('{"jsonrpc": "2.0", "id": 42, "method": "ping", "params": {}}')
        self.assertEqual(self.ws.recv_text(),
                         '{"id":42,"jsonrpc":"2.0","result":{"apiVersion":"1.0.0","data":"pong",'
                         '"errorCode":0,"errorMessage":"","method":"ping"}}')


class LoginTest(ServerCase):
    def test_credentials_checked(self):
        for params, code, message in [({}, -1, "Username or Password missing or isn't a string."),
                                      ({"username": 5, "password": "x"}, -1, "type must be string"),
                                      ({"username": "ADMIN", "password": "wrong"}, 450, None)]:
            with self.subTest(params=params):
                result = self.ws.call("login", params)["result"]
                self.assertEqual(result["errorCode"], code, result)
                self.assertNotIn("authToken", result)
                if message:
                    self.assertIn(message, result["errorMessage"])

    def test_credentials_with_nul_refused_whole(self):
        # The engine checks C texts: cut at the NUL, "TRUVE\0junk" would pass as TRUVE.
        for params in [{"username": "ADMIN", "password": "TRUVE\u0000junk"},
                       {"username": "ADMIN\u0000other", "password": "TRUVE"}]:
            with self.subTest(params=params):
                result = self.ws.call("login", params)["result"]
                self.assertEqual(result["errorCode"], -1, result)
                self.assertIn("NUL", result["errorMessage"])
                self.assertNotIn("authToken", result)

    def test_wrong_passwords_logged_then_right_one_accepted(self):
        ws = self.server.client()
        try:
            for _ in range(5):
                self.assertEqual(ws.call("login", {"username": "ADMIN", "password": "guess"})["result"]["errorCode"],
                                 450)
            self.server.login(ws)  # slowed after a few failures, never locked out
        finally:
            ws.close()
        self.assertRegex(self.server.tree.log(), r"wren: \d+ failed log-on\(s\) from 127\.0\.0\.1 \(last user \[ADMIN\]\)")

    def test_token_form_and_use_on_another_connection(self):
        first = self.server.client()
        token = self.server.login(first)
        self.assertRegex(token, r"^[0-9A-Za-z]{64}$")
        first.close()
        self.ok("listDatabases", {"authToken": token})
        self.assertNotEqual(token, self.server.login(self.ws))

    def test_first_token_differs_between_starts(self):
        # Two fresh servers each hand out their first token.
        tokens = []
        for _ in range(2):
            server = Server()
            try:
                ws = server.client()
                tokens.append(server.login(ws))
                ws.close()
            finally:
                server.stop()
        self.assertNotEqual(tokens[0], tokens[1])


class CatalogTest(ServerCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.token = cls.server.login(cls.ws)

    def p(self, **params):
        return dict(params, authToken=self.token)

    def test_databases_created_listed_paged_deleted(self):
        names = ["cat%02d" % i for i in range(5)]
        for name in names:
            result = self.ok("createDatabase", self.p(databaseName=name, path=""))
            self.assertIn([name], [row[:1] for row in result["data"]])
        self.assertEqual(self.server.sql("cat00", "PRAGMA integrity_check;"), "ok")
        listing = self.ok("listDatabases", self.p(partialDatabaseName="cat"))
        self.assertEqual(listing["fieldNames"], ["database", "path", "uid"])
        self.assertEqual(listing["dataFormat"], "arrays")
        self.assertEqual([row[0] for row in listing["data"]], names)
        self.assertEqual(listing["data"][0][2], "todo_uid")
        for params, expected in [({"maxRecords": 0}, names[:1]), ({"maxRecords": 1}, names[:2]),
                                 ({"maxRecords": -1}, names), ({"maxRecords": True}, names[:2])]:
            with self.subTest(params=params):
                rows = self.ok("listDatabases", self.p(partialDatabaseName="cat", **params))["data"]
                self.assertEqual([row[0] for row in rows], expected)
        again = self.ws.call("createDatabase", self.p(databaseName="cat00", path=""))["result"]
        self.assertNotEqual(again["errorCode"], 0)
        self.assertNotIn("data", again)
        self.ok("deleteDatabase", self.p(databaseName="cat04"))
        self.assertFalse(os.path.exists(self.server.tree.path("data/BRENLOXS/cat04.db")))
        rows = self.ok("listDatabases", self.p(partialDatabaseName="cat", maxRecords=-1))["data"]
        self.assertEqual([row[0] for row in rows], names[:4])

    def test_record_calls_leave_their_database_deletable(self):
        """A log-in keeps the database of its record calls connected between
        calls; that never stands in the way of deleting it through the
        application, and the server lets the file go once the log-in stops
        using it."""
        heron = self.server.tree.proc.pid

        def held_open(db):
            path = os.path.realpath(self.server.tree.path("data/BRENLOXS/%s.db" % db))
            fds = "/proc/%d/fd" % heron
            links = []
            for fd in os.listdir(fds):
                try:
                    links.append(os.readlink(os.path.join(fds, fd)))
                except OSError:
                    pass  # closed meanwhile
            return path in links

        other = self.server.client()
        try:
            other_token = self.server.login(other)
            for db in ("kept02", "kept01"):  # kept01 is the one kept
                self.ok("createTable", self.p(databaseName=db, tableName="items",
                                              fields=[{"name": "name", "type": "CHAR", "length": 20}]))
                self.ok("insertRecords", self.p(databaseName=db, tableName="items", insertFormat="arrays",
                                                fieldNames=["name"], sourceData=[["ann"]]))
                self.ok("getRecordById", self.p(databaseName=db, tableName="items", id=1))
            self.assertTrue(held_open("kept01"))
            self.ok("deleteDatabase", {"authToken": other_token, "databaseName": "KEPT01"}, ws=other)
            self.assertFalse(os.path.exists(self.server.tree.path("data/BRENLOXS/kept01.db")))
            self.ok("getRecordById", self.p(databaseName="kept02", tableName="items", id=1))
            self.assertTrue(wait_for(lambda: not held_open("kept02"), timeout=60))
        finally:
            other.close()

    def test_create_database_refuses_paths_outside_the_data_directory(self):
        for path in ["/tmp", "../outside", "a/../../b", "..\\b"]:
            with self.subTest(path=path):
                result = self.ws.call("createDatabase", self.p(databaseName="escape", path=path))["result"]
                self.assertEqual(result["errorCode"], -1, result)
                self.assertIn("relative path", result["errorMessage"])
        rows = self.ok("listDatabases", self.p(partialDatabaseName="escape"))["data"]
        self.assertEqual(rows, [])
        result = self.ws.call("createDatabase", self.p(databaseName="escape"))["result"]
        self.assertIn("type must be string, but is null", result["errorMessage"])

    def test_alter_database_is_refused(self):
        result = self.ws.call("alterDatabase", self.p(databaseName="x"))["result"]
        self.assertEqual((result["errorCode"], result["errorMessage"]), (-1, "this method is not implemented yet."))

    def test_list_tables_makes_missing_database_and_filters(self):
        result = self.ok("listTables", self.p(databaseName="fresh"))
        self.assertEqual(result["data"], [])
        self.assertEqual(result["fieldTypes"], ["STRING", "STRING", "STRING", "STRING", "BIT", "BIT"])
        self.assertTrue(os.path.exists(self.server.tree.path("data/BRENLOXS/fresh.db")))
        for table in ("alpha", "beta", "gamma"):
            self.ok("createTable", self.p(databaseName="fresh", tableName=table))
        for params, expected in [({}, ["alpha", "beta", "gamma"]),
                                 ({"partialTableName": "b"}, ["beta"]),
                                 ({"tableNames": ["gamma", "alpha"]}, ["alpha", "gamma"]),
                                 ({"tableNames": [], "partialTableName": "g"}, ["gamma"]),
                                 ({"tableNames": "alpha", "partialTableName": "a"}, ["alpha"]),
                                 ({"skipRecords": 1, "partialTableName": "a"}, [])]:
            with self.subTest(params=params):
                rows = self.ok("listTables", self.p(databaseName="fresh", **params))["data"]
                self.assertEqual([row[1] for row in rows], expected)
                for row in rows:
                    self.assertEqual(row[3:], ["todo_uid", 1, 0])
        self.ok("deleteTables", self.p(databaseName="fresh", tableName="x", tableNames=["beta"]))
        self.assertEqual(self.server.sql("fresh", "SELECT count(*) FROM sqlite_master WHERE name='beta'"), "0")
        result = self.ws.call("deleteTables", self.p(databaseName="fresh", tableNames=["nosuch"]))["result"]
        self.assertEqual(result["errorCode"], 4023, result)


class TableTest(ServerCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.token = cls.server.login(cls.ws)

    def p(self, **params):
        return dict({"authToken": self.token, "databaseName": "tdb"}, **params)

    def columns(self, table):
        return self.server.sql("tdb", "SELECT name FROM pragma_table_info('%s')" % table).split()

    def test_create_checks_types(self):
        self.ok("createTable", self.p(tableName="plain"))
        self.assertEqual(self.columns("plain"), ["id"])
        for fields, message in [([{"name": "x", "type": "NOPE", "length": 1}], "Unknown field type in createTable call: NOPE"),
                                ([{"name": "x", "type": "unsused", "length": 1}], "Unknown field type in createTable call: unsused"),
                                ([{"name": "x", "type": "CHAR"}], "type must be number, but is null")]:
            with self.subTest(fields=fields):
                result = self.ws.call("createTable", self.p(tableName="bad", fields=fields))["result"]
                self.assertEqual(result["errorCode"], -1, result)
                self.assertIn(message, result["errorMessage"])
        self.assertEqual(self.server.sql("tdb", "SELECT count(*) FROM sqlite_master WHERE name='bad'"), "0")

    def test_move_with_new_name_and_field_changes(self):
        # One call moves the table, renames it and changes a field: the field
        # change lands on the table where it now is.
        self.ok("createTable", self.p(tableName="mover", fields=[{"name": "v", "type": "CHAR", "length": 4}]))
        self.ok("insertRecords", self.p(tableName="mover", insertFormat="arrays", fieldNames=["v"],
                                        sourceData=[["a"], ["b"]]))
        self.ok("alterTable", self.p(tableName="mover", newDatabaseName="tdbmoved", newTableName="moved",
                                     fields=[{"name": "v", "length": 30, "newName": "word"}]))
        self.assertEqual(self.server.sql("tdb", "SELECT count(*) FROM sqlite_master WHERE tbl_name='mover'"), "0")
        self.assertEqual(self.server.sql("tdbmoved", "SELECT word FROM moved ORDER BY id").split(), ["a", "b"])
        self.assertEqual(self.server.sql("tdbmoved", "SELECT length FROM rl_fields WHERE tbl='moved' AND name='word'"),
                         "30")
        self.assertIn("path:", self.server.tree.log())

    def test_refused_field_and_file_settings(self):
        # A field the engine refuses is answered with the engine's code and
        # message, and its name, type and length go to the trace.
        result = self.ws.call("createTable", self.p(tableName="refused", fields=[
            {"name": "ok", "type": "CHAR", "length": 4}, {"name": "nl", "type": "NLVC", "length": 4}]))["result"]
        self.assertEqual((result["errorCode"], result["errorMessage"]), (4202, "Field [nl] has a bad type or length"))
        self.assertIn("nl t: 0 l: 4ZVException caught\nField [nl] has a bad type or length\n", self.server.tree.log())
        for setting, value in [("folder", "../up"), ("folder", "/tmp"), ("tableFileExtension", "../x"),
                               ("indexFileExtension", "/abs")]:
            with self.subTest(setting=setting, value=value):
                result = self.ws.call("createTable", self.p(tableName="refused", **{setting: value}))["result"]
                self.assertEqual(result["errorCode"], -1, result)
                self.assertIn(setting + " must be a relative path", result["errorMessage"])
        self.assertEqual(self.server.sql("tdb", "SELECT count(*) FROM sqlite_master WHERE name='refused'"), "0")
        self.ok("createTable", self.p(tableName="placed", folder="sub", tableFileExtension=".dat", growthExtent=64,
                                      indexFileExtension=".idx"))
        self.assertEqual(self.columns("placed"), ["id"])

    def test_alter_rename_and_rebuild(self):
        self.ok("createTable", self.p(tableName="alt", fields=[{"name": "a", "type": "CHAR", "length": 5},
                                                               {"name": "b", "type": "INTEGER", "length": 4}]))
        self.ok("alterTable", self.p(tableName="alt", fields=[{"name": "a", "length": 30, "newName": "title"}]))
        self.assertEqual(self.columns("alt"), ["id", "title", "b"])
        self.assertEqual(self.server.sql("tdb", "SELECT length FROM rl_fields WHERE tbl='alt' AND name='title'"), "30")
        result = self.ws.call("alterTable", self.p(tableName="alt", fields=[{"name": "b", "type": "VARCHAR"}]))["result"]
        self.assertEqual(result["errorMessage"], "String field types need a length parameter.")
        self.ok("alterTable", self.p(tableName="alt", newTableName="renamed"))
        self.assertEqual(self.columns("renamed"), ["id", "title", "b"])
        # a move into a database that has a table of that name fails and leaves the table in place
        self.ok("createTable", dict(self.p(tableName="renamed"), databaseName="tdb2"))
        result = self.ws.call("alterTable", self.p(tableName="renamed", newDatabaseName="tdb2"))["result"]
        self.assertNotEqual(result["errorCode"], 0, result)
        self.assertEqual(self.columns("renamed"), ["id", "title", "b"])
        tables = [row[1] for row in self.ok("listTables", self.p())["data"]]
        self.assertIn("renamed", tables)
        result = self.ws.call("rebuildTables", self.p(tableName="x", tableNames=["renamed"]))["result"]
        self.assertEqual(result["errorCode"], 0, result)
        # altering in a database the server does not know makes no database
        result = self.ws.call("alterTable", self.p(databaseName="nosuchdb", tableName="renamed",
                                                   newTableName="x"))["result"]
        self.assertEqual(result["errorCode"], 101, result)
        self.assertFalse(os.path.exists(self.server.tree.path("data/BRENLOXS/nosuchdb.db")))


class RecordTest(ServerCase):
    """Records of a table made by createTable, read back with the sqlite3 shell."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.token = cls.server.login(cls.ws)
        fields = [{"name": "name", "type": "CHAR", "length": 20}, {"name": "qty", "type": "INTEGER", "length": 4},
                  {"name": "tiny", "type": "TINYINT", "length": 1}, {"name": "price", "type": "FLOAT", "length": 8},
                  {"name": "big", "type": "BIGINT", "length": 8}, {"name": "flag", "type": "BIT", "length": 1},
                  {"name": "day", "type": "DATE", "length": 4}]
        reply = cls.ws.call("createTable", {"authToken": cls.token, "databaseName": "rdb", "tableName": "items",
                                            "fields": fields})
        assert reply["result"]["errorCode"] == 0, reply

    def p(self, **params):
        return dict(params, authToken=self.token, databaseName="rdb", tableName="items")

    def rows(self):
        return self.server.sql("rdb", "SELECT id, name, qty, tiny, big, flag FROM items ORDER BY id").splitlines()

    def call(self, method, **params):
        return self.ws.call(method, self.p(**params))["result"]

    def test_1_insert_update_read_delete(self):
        self.ok("truncateRecords", self.p())
        self.ok("insertRecords", self.p(insertFormat="arrays", fieldNames=["name", "qty", "tiny", "big", "flag", "day"],
                                        sourceData=[["ann", 2.9, True, 2 ** 60, False, "2024-02-29"], ["bob", 5]]))
        rows = self.rows()
        self.assertEqual([r.split("|")[1:] for r in rows], [["ann", "2", "1", str(2 ** 60), "0"], ["bob", "5", "", "", ""]])
        ids = [int(r.split("|")[0]) for r in rows]
        got = self.ok("getRecordById", self.p(id=ids[0]))
        self.assertEqual(got["fieldNames"][:3], ["id", "name", "qty"])
        self.assertEqual(got["data"][0], str(ids[0]))
        self.assertEqual(got["data"][5], str(2 ** 60))  # every digit, as text
        self.assertEqual(len(got["data"]), len(got["fieldNames"]))
        self.ok("updateRecords", self.p(dataFormat="arrays", fieldNames=["id", "qty"], sourceData=[[ids[1], 7]]))
        self.assertTrue(self.rows()[1].startswith("%d|bob|7|" % ids[1]))
        self.assertEqual(self.call("updateRecords", dataFormat="objects")["errorCode"], 0)
        self.assertIn("Unsupported dataFormat", self.call("updateRecords", dataFormat="rows")["errorMessage"])
        self.assertEqual(self.call("insertRecords", fieldNames=[])["errorMessage"], "insertFormat currently must be arrays")
        self.ok("deleteRecords", self.p(id=[ids[0]]))
        self.assertEqual(len(self.rows()), 1)

    def test_2_missing_ids_write_and_delete_nothing(self):
        self.ok("truncateRecords", self.p())
        self.ok("insertRecords", self.p(insertFormat="arrays", fieldNames=["name", "qty"],
                                        sourceData=[["a", 1], ["b", 2]]))
        before = self.rows()
        ids = [int(r.split("|")[0]) for r in before]
        missing = max(ids) + 100
        cases = [("deleteRecords", {"id": missing}), ("deleteRecords", {"id": [ids[0], missing]}),
                 ("updateRecords", {"dataFormat": "arrays", "fieldNames": ["id", "qty"],
                                    "sourceData": [[ids[0], 50], [missing, 60]]}),
                 ("getRecordById", {"id": missing})]
        for method, params in cases:
            with self.subTest(method=method, params=params):
                result = self.call(method, **params)
                self.assertEqual(result["errorCode"], 101, result)
                self.assertNotIn("data", result)
                self.assertEqual(self.rows(), before)
        # the aborted update left no transaction open: a later write is durable
        self.ok("updateRecords", self.p(dataFormat="arrays", fieldNames=["id", "qty"], sourceData=[[ids[0], 9]]))
        self.assertTrue(self.rows()[0].startswith("%d|a|9|" % ids[0]))

    def test_3_values_checked(self):
        self.ok("truncateRecords", self.p())
        cases = [("tiny", 300, "out of range"), ("tiny", -129, "out of range"), ("qty", 2 ** 31, "out of range"),
                 ("price", True, "type must be number, but is boolean"), ("day", "not a date", "not a date"),
                 ("flag", 1, "type must be boolean"), ("name", None, "type must be string, but is null")]
        for field, value, message in cases:
            with self.subTest(field=field, value=value):
                result = self.call("insertRecords", insertFormat="arrays", fieldNames=[field], sourceData=[[value]])
                self.assertEqual(result["errorCode"], -1, result)
                self.assertIn(message, result["errorMessage"])
        self.assertEqual(self.rows(), [])
        result = self.call("insertRecords", insertFormat="arrays", fieldNames=["name"], sourceData=[["a", 1]])
        self.assertEqual(result["errorCode"], -1, result)
        self.assertEqual(self.rows(), [])


    def test_4_round_trips_at_the_limits(self):
        # Written here, read back here, through SQL and through sqlite3: the
        # same values, signs and digits everywhere.
        fields = [{"name": "tiny", "type": "TINYINT", "length": 1}, {"name": "small", "type": "SMALLINT", "length": 2},
                  {"name": "whole", "type": "INTEGER", "length": 4}, {"name": "big", "type": "BIGINT", "length": 8},
                  {"name": "m", "type": "MONEY", "length": 8}, {"name": "n", "type": "NUMERIC", "length": 8}]
        base = {"authToken": self.token, "databaseName": "rdb", "tableName": "limits"}
        self.ok("createTable", dict(base, fields=fields))
        names = [f["name"] for f in fields]
        written = [[-128, -32768, -2 ** 31, -2 ** 63, "-922337203.6854", "-0.5"],
                   [127, 32767, 2 ** 31 - 1, 2 ** 63 - 1, 12.34, 99999999999.9999],
                   [-1, -1, -1, -1, "0.01", "-12345678901234.5"]]
        self.ok("insertRecords", dict(base, insertFormat="arrays", fieldNames=names, sourceData=written))
        expected = [[-128, -32768, -2 ** 31, str(-2 ** 63), "-922337203.6854", -0.5],
                    [127, 32767, 2 ** 31 - 1, str(2 ** 63 - 1), "12.3400", 99999999999.9999],
                    [-1, -1, -1, "-1", "0.0100", -12345678901234.5]]
        ids = [int(i) for i in self.server.sql("rdb", "SELECT id FROM limits ORDER BY id").split()]
        for record_id, row in zip(ids, expected):
            self.assertEqual(self.ok("getRecordById", dict(base, id=record_id))["data"][1:], row)
        stored = [line.split("|") for line in
                  self.server.sql("rdb", "SELECT tiny, small, whole, big, m, n FROM limits ORDER BY id").splitlines()]
        result = self.ok("getRecordsUsingSQL", {"authToken": self.token, "databaseName": "rdb",
                                                "sql": "SELECT tiny, small, whole, big, m, n FROM limits ORDER BY id"})
        for row, shell, sql in zip(written, stored, result["data"]):
            self.assertEqual([Decimal(str(v)) for v in row], [Decimal(v) for v in shell])
            self.assertEqual([Decimal(str(v)) for v in row], [Decimal(str(v)) for v in sql])
        self.assertEqual(self.server.sql("rdb", "SELECT count(*) FROM limits WHERE tiny < 0 AND small < 0"), "2")
        for text in ["12,5", "", "1e", "--1", "0x10"]:
            with self.subTest(text=text):
                result = self.ws.call("insertRecords", dict(base, insertFormat="arrays", fieldNames=["m"],
                                                            sourceData=[[text]]))["result"]
                self.assertEqual(result["errorCode"], -1, result)
                self.assertIn("not a decimal number", result["errorMessage"])
        self.assertEqual(self.server.sql("rdb", "SELECT count(*) FROM limits"), "3")

    def test_6_texts_holding_nul_refused_whole(self):
        # The engine takes C texts: cut at the NUL, "nul\0x" would have made the database "nul".
        before = self.rows()
        cases = [("createDatabase", {"databaseName": "nul\u0000x", "path": ""}, "databaseName"),
                 ("insertRecords", dict(self.p(), insertFormat="arrays", fieldNames=["name"],
                                        sourceData=[["a\u0000b"]]), "field 1"),
                 ("insertRecords", dict(self.p(), insertFormat="arrays", fieldNames=["day"],
                                        sourceData=[["2024-01-01\u0000junk"]]), "field 7"),
                 ("getRecordsUsingSQL", {"databaseName": "rdb", "sql": "SELECT 1\u0000junk"}, "sql"),
                 ("getRecordsUsingSQL", {"databaseName": "rdb", "sql": "SELECT ?", "sqlParams": ["a\u0000b"]},
                  "sqlParams")]
        for method, params, what in cases:
            with self.subTest(method=method, what=what):
                result = self.ws.call(method, dict(params, authToken=self.token))["result"]
                self.assertEqual(result["errorCode"], -1, result)
                self.assertEqual(result["errorMessage"], what + " holds a NUL character.")
        self.assertFalse(os.path.exists(self.server.tree.path("data/BRENLOXS/nul.db")))
        self.assertEqual(self.rows(), before)

    def test_5_value_sql_cannot_read_is_an_error(self):
        self.server.sql("rdb", "CREATE TABLE odd (t TINYINT); INSERT INTO odd VALUES (300);")
        result = self.ws.call("getRecordsUsingSQL", {"authToken": self.token, "databaseName": "rdb",
                                                     "sql": "SELECT t FROM odd"})["result"]
        self.assertEqual(result["errorCode"], -1, result)
        self.assertIn("Column 1 cannot be read", result["errorMessage"])
        self.assertNotIn("data", result)


class KeptTableTest(ServerCase):
    """Reads by id keep their table open between calls; every change to its
    definition, made through another log-in or by another process on the
    file, is seen by the very next read."""

    def setUp(self):
        self.token = self.server.login(self.ws)

    def p(self, **params):
        return dict(params, authToken=self.token, databaseName="kdb", tableName="items")

    def read(self, record_id=1):
        return self.ws.call("getRecordById", self.p(id=record_id))["result"]

    def make_items(self, fields, row):
        self.ok("createTable", self.p(fields=[{"name": n, "type": "CHAR", "length": 20} for n in fields]))
        self.ok("insertRecords", self.p(insertFormat="arrays", fieldNames=fields, sourceData=[row]))

    def test_changes_made_elsewhere_are_seen_by_the_next_read(self):
        self.make_items(["name"], ["pen"])
        self.assertEqual(self.read()["fieldNames"], ["id", "name"])
        # Another process adds a field to the table and its catalog.
        self.server.sql("kdb", "alter table items add column note TEXT; update items set note = 'kept';"
                        " insert into rl_fields(tbl, pos, name, type, length, scale, binary_flag, auto_timestamp)"
                        " values('items', 2, 'note', 146, 32, 0, 4, 0);"
                        " update rl_schema set value = value + 1 where key = 'catalog_generation'")
        got = self.read()
        self.assertEqual((got["fieldNames"], got["data"]), (["id", "name", "note"], ["1", "pen", "kept"]))
        # Another log-in deletes it, then makes it again with other fields.
        other = self.server.client()
        try:
            other_token = self.server.login(other)
            self.ok("deleteTables", dict(self.p(tableNames=["items"]), authToken=other_token), ws=other)
            gone = self.read()
            self.assertNotEqual(gone["errorCode"], 0, gone)
            self.assertEqual(self.read()["errorCode"], gone["errorCode"])
            self.make_items(["colour", "size"], ["red", "L"])
            got = self.read()
            self.assertEqual((got["fieldNames"], got["data"]), (["id", "colour", "size"], ["1", "red", "L"]))
            self.ok("deleteTables", dict(self.p(tableNames=["items"]), authToken=other_token), ws=other)
            self.ok("createTable", dict(self.p(fields=[{"name": "n", "type": "INTEGER", "length": 4}]),
                                        authToken=other_token), ws=other)
            self.ok("insertRecords", dict(self.p(insertFormat="arrays", fieldNames=["n"], sourceData=[[7]]),
                                          authToken=other_token), ws=other)
            got = self.read()
            self.assertEqual((got["fieldNames"], got["data"]), (["id", "n"], ["1", 7]))
        finally:
            other.close()
        # And by the log-in that keeps it.
        self.ok("deleteTables", self.p(tableNames=["items"]))
        self.make_items(["word"], ["ink"])
        got = self.read()
        self.assertEqual((got["fieldNames"], got["data"]), (["id", "word"], ["1", "ink"]))


class QueryTest(ServerCase):
    """Key queries over the primary index of a table of ten records, and cursors paged to the end."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.token = cls.server.login(cls.ws)
        fields = [{"name": "name", "type": "CHAR", "length": 20}, {"name": "qty", "type": "INTEGER", "length": 4}]
        base = {"authToken": cls.token, "databaseName": "qdb", "tableName": "q"}
        assert cls.ws.call("createTable", dict(base, fields=fields))["result"]["errorCode"] == 0
        rows = [["n%d" % i, i * 10] for i in range(10)]
        assert cls.ws.call("insertRecords", dict(base, insertFormat="arrays", fieldNames=["name", "qty"],
                                                 sourceData=rows))["result"]["errorCode"] == 0
        cls.ids = [int(v) for v in cls.server.sql("qdb", "SELECT id FROM q ORDER BY id").split()]

    def p(self, **params):
        return dict(params, authToken=self.token, databaseName="qdb", tableName="q")

    def starting_at(self, op, key, **more):
        return self.ws.call("getRecordsStartingAtKey", self.p(
            indexFilter={"index": "q_id_pk", "operator": op, "indexFields": [{"fieldName": "id", "value": key}]},
            **more))["result"]

    def test_starting_at_key(self):
        result = self.starting_at(">=", self.ids[3], maxRecords=1)
        self.assertEqual(result["errorCode"], 0, result)
        self.assertEqual(result["fieldNames"], ["id", "name", "qty"])
        self.assertEqual(result["fieldTypes"], ["BIGINT", "CHAR", "INTEGER"])
        self.assertEqual([row[1:] for row in result["data"]], [["n3", 30], ["n4", 40]])  # max N gives N + 1 rows
        self.assertEqual(self.starting_at("=", self.ids[-1] + 50)["data"], [])
        self.assertEqual(self.starting_at("~", 1)["errorMessage"], "operator invalid")
        rows = self.starting_at(">", self.ids[7], maxRecords=-1)["data"]
        self.assertEqual([row[1] for row in rows], ["n8", "n9"])

    def test_key_range(self):
        def key_range(op):
            return self.ws.call("getRecordsInKeyRange", self.p(indexFilter={
                "index": "q_id_pk", "indexFieldFilters": [{"fieldName": "id", "operator": op, "value": self.ids[8]}]},
                maxRecords=-1))["result"]
        for op in ("unused", "!="):
            self.assertEqual(key_range(op)["errorMessage"], "range operator invalid")
        result = key_range(">=")
        self.assertEqual(result["errorCode"], 0, result)
        self.assertEqual(result["fieldTypes"], ["NUMBER", "NUMBER", "NUMBER"])
        self.assertEqual([row[1] for row in result["data"]], ["n8", "n9"])

    def test_rows_past_the_reply_bound(self):
        # 18 records of 1 MiB: more than one reply may carry.
        base = {"authToken": self.token, "databaseName": "qdb", "tableName": "wide"}
        self.ok("createTable", dict(base, fields=[{"name": "doc", "type": "JSON", "length": 0}]))
        for first in range(0, 18, 6):
            self.ok("insertRecords", dict(base, insertFormat="arrays", fieldNames=["doc"], sourceData=[
                [{"n": n, "pad": "x" * (1 << 20)}] for n in range(first, first + 6)]))
        query = dict(base, maxRecords=-1, indexFilter={"index": "wide_id_pk", "operator": ">=",
                                                       "indexFields": [{"fieldName": "id", "value": 0}]})
        result = self.ws.call("getRecordsStartingAtKey", query)["result"]
        self.assertEqual(result["errorCode"], -1)
        self.assertIn("larger than 16777216 bytes", result["errorMessage"])
        self.assertNotIn("data", result)
        # A cursor's page ends at the bound; the next page goes on from there.
        cursor = self.ok("getRecordsStartingAtKey", dict(query, returnCursor=True))["cursorId"]
        pages = []
        while True:
            data = self.ok("getRecordsFromCursor", {"authToken": self.token, "cursorId": cursor,
                                                    "fetchNext": 100})["data"]
            if not data:
                break
            pages.append([json.loads(row[1])["n"] for row in data])
        self.ok("closeCursor", {"authToken": self.token, "cursorId": cursor})
        self.assertGreater(len(pages), 1)
        self.assertEqual(sum(pages, []), list(range(18)))

    def test_cursor_paged_to_the_end_then_closed(self):
        result = self.starting_at(">=", self.ids[0], returnCursor=True)
        cursor = result["cursorId"]
        self.assertRegex(cursor, r"^[0-9A-Za-z]{64}$")
        self.assertEqual(result["recordCount"], -1)
        other = self.server.client()  # a cursor belongs to no connection
        names = []
        try:
            while True:
                data = other.call("getRecordsFromCursor", {"authToken": self.token, "cursorId": cursor,
                                                           "fetchNext": 2})["result"]["data"]
                if not data:
                    break
                self.assertLessEqual(len(data), 3)
                names += [row[1] for row in data]
        finally:
            other.close()
        self.assertEqual(names, ["n%d" % i for i in range(10)])
        log = self.server.tree.log()
        self.assertIn("b: %s\nzvdbIsActiveSession: 1\nzvdbIsActiveTable: 1\n" % cursor, log)
        self.assertEqual(self.ws.call("closeCursor", {"authToken": self.token, "cursorId": cursor})["result"]["errorCode"], 0)
        for method in ("getRecordsFromCursor", "closeCursor"):
            for cursor_id in (cursor, cursor[:63]):
                with self.subTest(method=method, cursor=cursor_id):
                    result = self.ws.call(method, {"authToken": self.token, "cursorId": cursor_id})["result"]
                    self.assertEqual(result["errorMessage"], "cursorId invalid")


class IndexTest(ServerCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.token = cls.server.login(cls.ws)
        fields = [{"name": "code", "type": "CHAR", "length": 10}, {"name": "label", "type": "CHAR", "length": 11},
                  {"name": "qty", "type": "INTEGER", "length": 4}]
        assert cls.ws.call("createTable", {"authToken": cls.token, "databaseName": "idb", "tableName": "t",
                                           "fields": fields})["result"]["errorCode"] == 0

    def p(self, **params):
        return dict(params, authToken=self.token, databaseName="idb", tableName="t")

    def index_sql(self, name):
        return self.server.sql("idb", "SELECT sql FROM sqlite_master WHERE type='index' AND name='t.%s'" % name)

    def test_create_list_alter_delete(self):
        listing = self.ok("listIndexes", self.p())
        self.assertEqual(listing["fieldNames"], ["database", "table", "index", "index_number"])
        self.assertEqual([row[2] for row in listing["data"]], ["t_id_pk"])
        self.ok("createIndex", self.p(indexName="bycode", unique=True, fields=[{"name": "code"}]))
        self.ok("createIndex", self.p(indexName="both", fields=[{"name": "code"}, {"name": "label"}]))
        self.assertIn("UNIQUE", self.index_sql("bycode"))
        self.assertNotIn("UNIQUE", self.index_sql("both"))
        self.assertEqual([row[2] for row in self.ok("listIndexes", self.p())["data"]], ["t_id_pk", "bycode", "both"])
        result = self.ws.call("createIndex", self.p(indexName="x", repeatingCharacterCompression="yes",
                                                    fields=[{"name": "qty"}]))["result"]
        self.assertIn("type must be boolean, but is string", result["errorMessage"])
        result = self.ws.call("createIndex", self.p(indexName="y", filename="../y", fields=[{"name": "qty"}]))["result"]
        self.assertEqual(result["errorCode"], -1)
        self.ok("alterIndex", self.p(indexName="bycode", unique=0))
        self.assertNotIn("UNIQUE", self.index_sql("bycode"))
        reply = self.ws.call("alterIndex", self.p(indexName="nosuch"), request_id=7)
        self.assertNotEqual(reply["result"]["errorCode"], 0)
        self.assertEqual((reply["id"], reply["result"]["method"]), ("7", "alterIndex"))
        # a condition the engine refuses keeps the message clients have always had
        result = self.ws.call("createIndex", self.p(indexName="cond", conditionalExpression="qty >>",
                                                    fields=[{"name": "qty"}]))["result"]
        self.assertEqual((result["errorCode"], result["errorMessage"]),
                         (4218, "Can't set the index distinct key count flag"))
        # The engine cannot rename an index: refused, the index as it was, and
        # the other changes of the call not made either.
        result = self.ws.call("alterIndex", self.p(indexName="bycode", newIndexName="renamed", unique=1))["result"]
        self.assertEqual(result["errorCode"], 4202, result)
        self.assertIn("cannot be renamed", result["errorMessage"])
        self.assertEqual([row[2] for row in self.ok("listIndexes", self.p())["data"]], ["t_id_pk", "bycode", "both"])
        self.assertNotIn("UNIQUE", self.index_sql("bycode"))
        self.assertEqual(self.index_sql("renamed"), "")
        self.ok("alterIndex", self.p(indexName="bycode", newIndexName="bycode"))
        self.ok("deleteIndex", self.p(indexName="both"))
        self.assertEqual(self.index_sql("both"), "")
        self.ok("rebuildIndex", self.p(tableNames=["t"]))

    def test_partial_key_query_with_cursor(self):
        self.ok("createIndex", self.p(indexName="bylabel", fields=[{"name": "label"}]))
        self.ok("createIndex", self.p(indexName="pair", fields=[{"name": "label"}, {"name": "qty"}]))
        self.ok("insertRecords", self.p(insertFormat="arrays", fieldNames=["label", "qty"],
                                        sourceData=[["apple", 1], ["apricot", 2], ["banana", 3], ["apex", 4]]))
        result = self.ok("getRecordsByPartialKey", self.p(indexFilter={"indexName": "bylabel", "partialKey": "ap"}))
        self.assertEqual([row[2] for row in result["data"]], ["apex", "apple", "apricot"])
        result = self.ws.call("getRecordsByPartialKey", self.p(indexFilter={"indexName": "pair", "partialKey": "a"}))
        self.assertEqual(result["result"]["errorMessage"], "Used index may only have one field at the moment.")
        cursor = self.ok("getRecordsByPartialKey", self.p(returnCursor=True,
                                                          indexFilter={"indexName": "bylabel", "partialKey": "ap"}))
        pages = []
        while True:
            data = self.ok("getRecordsFromCursor", {"authToken": self.token, "cursorId": cursor["cursorId"],
                                                    "fetchNext": 1})["data"]
            if not data:
                break
            pages.append([row[2] for row in data])
        self.assertEqual(pages, [["apex", "apple"], ["apricot"]])
        self.ok("closeCursor", {"authToken": self.token, "cursorId": cursor["cursorId"]})


ENDLESS = "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c) "
COUNTING = "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c LIMIT %d) "


class SqlTest(ServerCase):
    # Peak memory is read below: freed blocks must not stay resident in the
    # sanitizer's quarantine.
    ENV = {"ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") + ":quarantine_size_mb=0"}

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.token = cls.server.login(cls.ws)
        base = {"authToken": cls.token, "databaseName": "sdb", "tableName": "s"}
        fields = [{"name": "name", "type": "CHAR", "length": 20}, {"name": "qty", "type": "INTEGER", "length": 4},
                  {"name": "price", "type": "NUMERIC", "length": 8}]
        assert cls.ws.call("createTable", dict(base, fields=fields))["result"]["errorCode"] == 0
        assert cls.ws.call("insertRecords", dict(base, insertFormat="arrays", fieldNames=["name", "qty", "price"],
                                                 sourceData=[["a", 1, -0.5], ["b", 6, 40000.25], ["c", 9, 1]]))[
            "result"]["errorCode"] == 0

    def sql(self, statement, params=None, database="sdb"):
        body = {"authToken": self.token, "databaseName": database, "sql": statement}
        if params is not None:
            body["sqlParams"] = params
        return self.ws.call("getRecordsUsingSQL", body)["result"]

    def test_rows_with_parameters(self):
        result = self.sql("SELECT name, qty, price FROM s WHERE qty > ? AND name <> ? ORDER BY qty", [5, "c"])
        self.assertEqual(result["errorCode"], 0, result)
        self.assertEqual(result["fieldNames"], ["name", "qty", "price"])
        self.assertEqual(result["dataFormat"], "arrays")
        self.assertEqual([row[:2] for row in result["data"]], [["b", 6]])
        self.assertTrue(result["data"][0][2].startswith("40000.25"), result)  # the whole value, not 16 bits
        negative = self.sql("SELECT price FROM s WHERE name = ?", ["a"])["data"][0][0]
        self.assertTrue(negative.startswith("-0.5"), negative)  # the sign between -1 and 0 stays
        self.assertEqual(self.sql("SELECT name FROM s WHERE qty > 100")["data"], [])

    def test_numeric_and_money_keep_sign_and_size(self):
        # "<integer part>.<fraction>": the integer part whole and signed, the
        # fraction with the column's scale or at least two digits.
        self.server.sql("sdb", "CREATE TABLE money (m MONEY, n2 NUMERIC(10,2), n NUMERIC, n4 DECIMAL(12,4));"
                               "INSERT INTO money VALUES (12.5, 12.5, 12.5, 12.5), (-0.5, -0.5, -0.5, -0.5),"
                               "(123456789012.5, 40000, 40000, 3), (12.3456, 7, 7.125, NULL);")
        result = self.sql("SELECT m, n2, n, n4 FROM money ORDER BY rowid")
        self.assertEqual(result["fieldTypes"], ["MONEY", "NUMERIC", "NUMERIC", "NUMERIC"])
        self.assertEqual(result["data"], [["12.50", "12.50", "12.50", "12.5000"], ["-0.50", "-0.50", "-0.50", "-0.5000"],
                                          ["123456789012.50", "40000.00", "40000.00", "3.0000"],
                                          ["12.3456", "7.00", "7.125", None]])

    def test_writing_statements_are_committed(self):
        # What the method answers as done stays done after its connection ends.
        for statement, params in [("CREATE TABLE w (k INTEGER PRIMARY KEY, v TEXT)", None),
                                  ("INSERT INTO w VALUES (?, ?), (2, 'two')", [1, "one"]),
                                  ("UPDATE w SET v = ? WHERE k = 2", ["TWO"]),
                                  ("DELETE FROM w WHERE k = ?", [1]),
                                  ("INSERT INTO w VALUES (3, 'three') RETURNING k", None)]:
            with self.subTest(statement=statement):
                self.assertEqual(self.sql(statement, params)["errorCode"], 0)
        self.assertEqual(self.server.sql("sdb", "SELECT k, v FROM w ORDER BY k").split(), ["2|TWO", "3|three"])
        # A statement that fails leaves nothing behind.
        result = self.sql("INSERT INTO w VALUES (4, 'four'), (2, 'again')")
        self.assertEqual(result["errorCode"], -1, result)
        self.assertEqual(self.server.sql("sdb", "SELECT count(*) FROM w"), "2")

    def test_parameters_must_match_the_statement(self):
        # A statement given fewer values than it has parameters never ran
        # (nothing written), and one given more would drop some: both are
        # refused with a message, and nothing is written.
        self.assertEqual(self.sql("CREATE TABLE pm (a TEXT, b TEXT)")["errorCode"], 0)
        for statement, params in [("INSERT INTO pm VALUES (?, ?)", [1]), ("INSERT INTO pm VALUES (?, ?)", None),
                                  ("UPDATE pm SET a = ? WHERE b = ?", ["x"]),
                                  ("INSERT INTO pm VALUES (?, ?)", [2, 3, 4]), ("SELECT ?", [])]:
            with self.subTest(statement=statement, params=params):
                result = self.sql(statement, params)
                self.assertEqual(result["errorCode"], -1, result)
                self.assertIn("sqlParams", result["errorMessage"])
        self.assertEqual(self.server.sql("sdb", "SELECT count(*) FROM pm"), "0")
        for statement, params in [("INSERT INTO pm VALUES (?1, ?1)", [5]), ("INSERT INTO pm VALUES (:x, @y)", [6, 7])]:
            self.assertEqual(self.sql(statement, params)["errorCode"], 0, statement)
        self.assertEqual(self.server.sql("sdb", "SELECT a, b FROM pm ORDER BY a").split(), ["5|5", "6|7"])

    def test_result_past_its_bound_refused_in_bounded_memory(self):
        pid = self.server.tree.proc.pid
        baseline = reset_peak(pid)
        # About 45 MB of rows, which used to be held whole, twice over and more.
        result = while_pinging(self.server, lambda: self.sql(COUNTING % 200000 +
                                                             "SELECT x, printf('%.200c', 'w') FROM c"))
        self.assertEqual(result["errorCode"], -1, result)
        self.assertIn("larger than 16777216 bytes", result["errorMessage"])
        self.assertNotIn("data", result)
        self.assertLess(peak_growth_mib(pid, baseline), 64)
        # Below the bound the rows come whole, each where it belongs.
        result = self.sql(COUNTING % 60000 + "SELECT x, 'r' || x FROM c")
        self.assertEqual(result["errorCode"], 0, result["errorMessage"])
        self.assertEqual(result["fieldNames"], ["x", "'r' || x"])
        self.assertEqual(result["data"], [[x, "r%d" % x] for x in range(1, 60001)])

    def test_statement_stopped_when_its_client_leaves(self):
        # Rows that never end, and a statement that never reaches its first row.
        for stopped, statement in enumerate([ENDLESS + "SELECT x FROM c WHERE x % 50000 = 0",
                                             ENDLESS + "SELECT count(*) FROM c"], 1):
            with self.subTest(statement=statement):
                ws = self.server.client()
                ws.send_text(json.dumps({"jsonrpc": "2.0", "id": 1, "method": "getRecordsUsingSQL", "params": {
                    "authToken": self.token, "databaseName": "sdb", "sql": statement}}))
                ws.close()
                # Well inside the server's 30 seconds for a statement.
                self.assertTrue(wait_for(lambda: self.server.tree.log().count("its statement is stopped") == stopped,
                                         timeout=20))

    def test_engine_catalog_out_of_reach(self):
        # SQL runs as the logged-on user, never as the engine: its own tables
        # stay as they are, and no function hands out a memory address.
        catalog = self.server.sql("sdb", "SELECT count(*) FROM rl_tables; SELECT count(*) FROM rl_fields;")
        for statement in ["DROP TABLE rl_tables", "DELETE FROM rl_fields", "UPDATE rl_fields SET length = 1",
                          "SELECT fts3_tokenizer('simple')"]:
            with self.subTest(statement=statement):
                result = self.sql(statement)
                self.assertEqual(result["errorCode"], -1, result)
                self.assertNotIn("data", result)
        self.assertEqual(self.server.sql("sdb", "SELECT count(*) FROM rl_tables; SELECT count(*) FROM rl_fields;"),
                         catalog)
        self.assertEqual([row[1] for row in self.ok("listTables", {"authToken": self.token, "databaseName": "sdb",
                                                                   "partialTableName": "s"})["data"]], ["s"])

    def test_failures(self):
        self.assertEqual(self.sql("SELEKT nothing")["errorMessage"], "zvsqlPrepare error")
        result = self.sql("SELECT 1", database="nosuchdb")
        self.assertEqual(result["errorCode"], -1, result)
        self.assertNotIn("data", result)
        result = self.ws.call("getRecordsUsingSQL", {"authToken": self.token, "databaseName": "sdb"})["result"]
        self.assertIn("type must be string, but is null", result["errorMessage"])


class SqlBudgetTest(ServerCase):
    """Large replies in flight share the process's memory budget (lowered
    here to 32 MiB): past it a reply is refused as busy, to be sent again."""
    BUDGET_MIB = 32
    ENV = dict(SqlTest.ENV, OSPREY_MEMORY_BUDGET=str(BUDGET_MIB << 20))

    def test_large_replies_at_once_stay_within_the_budget(self):
        clients = [self.server.client() for _ in range(6)]
        tokens = [self.server.login(ws) for ws in clients]
        created = clients[0].call("createTable", {"authToken": tokens[0], "databaseName": "sdb", "tableName": "b",
                                                  "fields": [{"name": "x", "type": "INTEGER", "length": 4}]})
        self.assertEqual(created["result"]["errorCode"], 0, created)
        # About 11 MB of rows each: alone each fits a reply, together they
        # would hold several times the budget.
        statement = COUNTING % 50000 + "SELECT x, printf('%.200c', 'w') FROM c"

        def ask(ws, token):
            return ws.call("getRecordsUsingSQL", {"authToken": token, "databaseName": "sdb",
                                                  "sql": statement})["result"]

        pid = self.server.tree.proc.pid
        baseline = reset_peak(pid)
        results = []

        def burst():
            threads = [threading.Thread(target=lambda ws=ws, t=t: results.append(ask(ws, t)))
                       for ws, t in zip(clients, tokens)]
            for thread in threads:
                thread.start()
            for thread in threads:
                thread.join()

        while_pinging(self.server, burst)
        answered = [r for r in results if r["errorCode"] == 0]
        refused = [r for r in results if r["errorCode"] != 0]
        self.assertEqual(len(results), 6)
        self.assertTrue(answered and refused, [r["errorMessage"] for r in results])
        for result in answered:
            self.assertEqual(len(result["data"]), 50000)
        for result in refused:
            self.assertEqual((result["errorCode"], result["errorMessage"]),
                             (-1, "server busy: too many large replies in flight, send again"))
            self.assertNotIn("data", result)
        # The budget, with the copies written beside it.
        self.assertLess(peak_growth_mib(pid, baseline), 3 * self.BUDGET_MIB)
        # Sent again alone, a refused request is answered; a small one always is.
        self.assertEqual(len(ask(clients[0], tokens[0])["data"]), 50000)
        small = clients[1].call("getRecordsUsingSQL", {"authToken": tokens[1], "databaseName": "sdb",
                                                       "sql": "SELECT 1"})["result"]
        self.assertEqual(small["data"], [[1]], small)
        for ws in clients:
            ws.close()


class SqlDeadlineTest(ServerCase):
    ENV = {"WREN_SQL_TIMEOUT_SECONDS": "2",
           "ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") + ":quarantine_size_mb=0"}

    def test_statement_ends_at_the_server_limit(self):
        token = self.server.login(self.ws)
        self.ok("createDatabase", {"authToken": token, "databaseName": "ddb", "path": ""})
        for statement in [ENDLESS + "SELECT count(*) FROM c",  # no first row ever
                          ENDLESS + "SELECT x FROM c WHERE x % 50000 = 0"]:  # rows that never end
            with self.subTest(statement=statement):
                with ResidentGrowth(self.server.tree.proc.pid) as growth:
                    result = while_pinging(self.server, lambda: self.ws.call("getRecordsUsingSQL", {
                        "authToken": token, "databaseName": "ddb", "sql": statement})["result"])
                self.assertEqual(result["errorCode"], -1, result)
                self.assertEqual(result["errorMessage"], "The statement ran past the server's limit of 2 seconds.")
                self.assertNotIn("data", result)
                # Its time is bounded, and so is what it holds meanwhile.
                growth.check(self, peak_mib=24, after_mib=16)


class SharedTokenTest(ServerCase):
    # Long enough that the shared token, used without pause by four
    # connections, never ages past it even on a loaded machine.
    ENV = {"WREN_TOKEN_IDLE_SECONDS": "6"}

    def test_connections_share_a_token_while_others_log_in(self):
        token = self.server.login(self.ws)
        self.ok("createDatabase", {"authToken": token, "databaseName": "shared", "path": ""})
        self.ok("createTable", {"authToken": token, "databaseName": "shared", "tableName": "t",
                                "fields": [{"name": "v", "type": "CHAR", "length": 8}]})
        failures = []
        stop = threading.Event()
        inserted = []

        def use(method, params, rounds):
            ws = self.server.client()
            try:
                done = 0
                while done < rounds or not stop.is_set():
                    done += 1
                    reply = ws.call(method, params)
                    if reply["result"]["errorCode"] not in (0, 450):
                        failures.append(reply)
                    if method == "insertRecords":
                        inserted.append(1)
            finally:
                ws.close()

        cursor = self.ok("getRecordsStartingAtKey", {"authToken": token, "databaseName": "shared", "tableName": "t",
                                                     "returnCursor": True, "indexFilter": {
                                                         "index": "t_id_pk", "operator": ">=",
                                                         "indexFields": [{"fieldName": "id", "value": 0}]}})["cursorId"]
        threads = [threading.Thread(target=use, args=("listTables", {"authToken": token, "databaseName": "shared"}, 40)),
                   threading.Thread(target=use, args=("insertRecords", {
                       "authToken": token, "databaseName": "shared", "tableName": "t", "insertFormat": "arrays",
                       "fieldNames": ["v"], "sourceData": [["x"]]}, 40)),
                   threading.Thread(target=use, args=("getRecordsFromCursor", {"authToken": token, "cursorId": cursor,
                                                                               "fetchNext": 1}, 40)),
                   threading.Thread(target=use, args=("listDatabases", {"authToken": token}, 40)),
                   threading.Thread(target=use, args=("login", ADMIN, 20)),
                   threading.Thread(target=use, args=("login", {"username": "ADMIN", "password": "bad"}, 20))]
        idle = self.server.client()
        idle_token = self.server.login(idle)
        idle_cursor = self.ok("getRecordsStartingAtKey", {
            "authToken": idle_token, "databaseName": "shared", "tableName": "t", "returnCursor": True,
            "indexFilter": {"index": "t_id_pk", "operator": ">=", "indexFields": [{"fieldName": "id", "value": 0}]}},
            ws=idle)["cursorId"]
        threads.append(threading.Thread(target=use, args=("login", ADMIN, 20)))
        for thread in threads:
            thread.start()
        time.sleep(8)  # the idle log-in outlives its limit while the others keep theirs in use
        self.server.login(idle)  # purges it, with its cursor
        stop.set()
        for thread in threads:
            thread.join(120)
        self.assertEqual(failures, [])
        self.assertEqual(idle.call("listDatabases", {"authToken": idle_token})["result"]["errorMessage"],
                         "authToken invalid.")
        token = self.server.login(idle)
        self.assertEqual(idle.call("getRecordsFromCursor", {"authToken": token, "cursorId": idle_cursor})["result"][
            "errorMessage"], "cursorId invalid")
        idle.close()
        self.assertEqual(self.server.sql("shared", "SELECT count(*) FROM t"), str(len(inserted)))
        self.ok("closeCursor", {"authToken": token, "cursorId": cursor})


class BoundsTest(ServerCase):
    """Log-ins and cursors a client can pile up are bounded: past the bound a
    call is refused with a message, and what others hold goes on working."""
    ENV = {"WREN_MAX_LOGINS": "3", "ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") + ":quarantine_size_mb=0"}

    def test_log_ins_and_cursors_past_their_bounds_are_refused(self):
        with ResidentGrowth(self.server.tree.proc.pid) as growth:
            tokens = [self.server.login(self.ws) for _ in range(3)]
            refused = self.ws.call("login", ADMIN)["result"]
            self.assertEqual(refused["errorCode"], -1, refused)
            self.assertIn("Too many log-ins", refused["errorMessage"])
            token = tokens[0]
            self.ok("createDatabase", {"authToken": token, "databaseName": "bounds", "path": ""})
            self.ok("createTable", {"authToken": token, "databaseName": "bounds", "tableName": "t",
                                    "fields": [{"name": "v", "type": "CHAR", "length": 8}]})
            query = {"authToken": token, "databaseName": "bounds", "tableName": "t", "returnCursor": True,
                     "indexFilter": {"index": "t_id_pk", "operator": ">=",
                                     "indexFields": [{"fieldName": "id", "value": 0}]}}
            cursors = [self.ok("getRecordsStartingAtKey", query)["cursorId"] for _ in range(256)]
            refused = self.ws.call("getRecordsStartingAtKey", query)["result"]
            self.assertEqual(refused["errorCode"], -1, refused)
            self.assertIn("Too many open cursors", refused["errorMessage"])
            # Another log-in's cursors are its own; a closed cursor makes room.
            query["authToken"] = tokens[1]
            self.ok("getRecordsStartingAtKey", query)
            self.ok("closeCursor", {"authToken": token, "cursorId": cursors[0]})
            query["authToken"] = token
            self.ok("getRecordsStartingAtKey", query)
        # 256 cursors stay open: what they hold is bounded with them.
        growth.check(self, peak_mib=32, after_mib=24)


class LoginShareTest(ServerCase):
    """No connection and no user can take the whole table of log-ins: at
    their bound a new log-in replaces their own oldest one not in use."""

    def valid(self, token, ws=None):
        return (ws or self.ws).call("listDatabases", {"authToken": token})["result"]["errorCode"] == 0

    def test_1_one_connection_keeps_its_16_newest(self):
        tokens = [self.server.login(self.ws) for _ in range(20)]
        self.assertEqual([self.valid(t) for t in tokens], [False] * 4 + [True] * 16)

    def test_2_one_user_keeps_its_64_newest_but_never_one_in_use(self):
        # The user's oldest log-in runs a statement on its own connection all along.
        busy = self.server.client()
        busy_token = self.server.login(busy)
        self.ok("createDatabase", {"authToken": busy_token, "databaseName": "share", "path": ""}, ws=busy)
        busy.send_text(json.dumps({"jsonrpc": "2.0", "id": 1, "method": "getRecordsUsingSQL", "params": {
            "authToken": busy_token, "databaseName": "share", "sql": ENDLESS + "SELECT x FROM c WHERE x % 50000 = 0"}}))
        self.assertTrue(wait_for(lambda: "detected getRecordsUsingSQL method" in self.server.tree.log()))
        clients = [self.server.client() for _ in range(5)]
        try:
            tokens = [self.server.login(ws) for ws in clients for _ in range(14)]
            # 70 more of one user: with the busy one 64 are kept, the oldest
            # idle ones went; the busy one stayed.
            self.assertEqual([self.valid(t) for t in tokens], [False] * 7 + [True] * 63)
            busy.close()  # its statement ends with its connection
            self.assertTrue(self.valid(busy_token))
        finally:
            for ws in clients:
                ws.close()


    def test_3_a_log_in_keeping_a_cursor_is_not_replaced(self):
        ws = self.server.client()
        try:
            keeper = self.server.login(ws)
            base = {"authToken": keeper, "databaseName": "share", "tableName": "kept"}
            self.ok("createTable", dict(base, fields=[{"name": "v", "type": "CHAR", "length": 4}]), ws=ws)
            cursor = self.ok("getRecordsStartingAtKey", dict(base, returnCursor=True, indexFilter={
                "index": "kept_id_pk", "operator": ">=", "indexFields": [{"fieldName": "id", "value": 0}]}),
                ws=ws)["cursorId"]
            tokens = [self.server.login(ws) for _ in range(16)]
            self.assertEqual([self.valid(t) for t in [keeper] + tokens], [True, False] + [True] * 15)
            self.ok("closeCursor", {"authToken": keeper, "cursorId": cursor})
        finally:
            ws.close()


def memory_kib(pid, field):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise AssertionError("no %s for %d" % (field, pid))


def while_pinging(server, work):
    """Runs work() while another client keeps pinging; work's result, after
    checking that every ping was answered."""
    pings, done = [], threading.Event()

    def ping():
        ws = server.client()
        try:
            while not done.is_set():
                pings.append(ws.call("ping", {})["result"]["data"])
        finally:
            ws.close()

    pinger = threading.Thread(target=ping)
    pinger.start()
    try:
        return work()
    finally:
        done.set()
        pinger.join(60)
        assert pings and all(p == "pong" for p in pings), pings[:3]


def reset_peak(pid):
    """The process's resident memory now, in KiB; its peak starts again from here."""
    with open("/proc/%d/clear_refs" % pid, "w") as f:
        f.write("5")
    return memory_kib(pid, "VmRSS")


def peak_growth_mib(pid, baseline):
    return (memory_kib(pid, "VmHWM") - baseline) // 1024


class MemoryTest(ServerCase):
    """Large frames cost the server a bounded amount of memory: before a
    log-in only small requests are parsed, after it a document has bounds of
    its own, and the memory comes back when the request ends. Peak memory is
    read from /proc after resetting it; the sanitizer's quarantine, which
    would keep every freed block resident, is off for this server."""
    ENV = {"ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") + ":quarantine_size_mb=0"}
    FRAME = ('{"jsonrpc": "2.0", "id": 1, "method": "login", "params": {"username": "ADMIN", "password": "TRUVE", '
             '"pad": [%s]}}' % ",".join(["0"] * 1750000))  # 3.5 MB, 1.75 million values

    def flood(self, logged_in):
        """Three clients send FRAME at once while another keeps pinging; the
        replies of the three, the growth of the peak in MiB and the memory
        before."""
        pid = self.server.tree.proc.pid
        baseline = reset_peak(pid)
        replies = []

        def big():
            ws = self.server.client()
            try:
                if logged_in:
                    self.server.login(ws)
                replies.append(ws.raw(self.FRAME)["result"])
            finally:
                ws.close()

        def send_all():
            senders = [threading.Thread(target=big) for _ in range(3)]
            for thread in senders:
                thread.start()
            for thread in senders:
                thread.join(120)

        while_pinging(self.server, send_all)
        return replies, peak_growth_mib(pid, baseline), baseline

    def test_1_large_frame_before_log_in_refused_unparsed(self):
        replies, growth, _ = self.flood(logged_in=False)
        self.assertEqual(len(replies), 3)
        for result in replies:
            self.assertEqual(result["errorCode"], -1, result)
            self.assertIn("needs a log-in first", result["errorMessage"])
        self.assertLess(growth, 48)  # the frames themselves, never their parse (over 150 MiB unbounded)

    def test_2_large_document_after_log_in_bounded_and_given_back(self):
        replies, growth, baseline = self.flood(logged_in=True)
        self.assertEqual(len(replies), 3)
        for result in replies:
            self.assertEqual(result["errorCode"], -1, result)
            self.assertIn("more than 1000000 values", result["errorMessage"])
        self.assertLess(growth, 200)
        rss = wait_for(lambda: memory_kib(self.server.tree.proc.pid, "VmRSS") < baseline + 32 * 1024, timeout=30)
        self.assertTrue(rss, "memory not given back")

    def test_3_large_request_with_a_token_from_another_connection(self):
        ws = self.server.client()
        token = self.server.login(ws)
        self.ok("createTable", {"authToken": token, "databaseName": "mem", "tableName": "t",
                                "fields": [{"name": "v", "type": "CHAR", "length": 40}]}, ws=ws)
        ws.close()
        fresh = self.server.client()  # never logged in itself
        try:
            rows = [["row %d" % i] for i in range(20000)]  # about 250 KB
            self.ok("insertRecords", {"authToken": token, "databaseName": "mem", "tableName": "t",
                                      "insertFormat": "arrays", "fieldNames": ["v"], "sourceData": rows}, ws=fresh)
        finally:
            fresh.close()
        self.assertEqual(self.server.sql("mem", "SELECT count(*) FROM t"), "20000")


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1] + sys.argv[1:], verbosity=2)
