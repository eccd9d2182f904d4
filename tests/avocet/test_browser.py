"""The table browser avocet through a running heron, driven with POSTed
commands as the browser front end sends them: logon, the tree, definitions
read and changed, records paged, found, inserted, updated, deleted, blobs;
tables created, altered with data in them and rebuilt with their progress
polled to the end; failed and stopped alterations; a kill -9 during a
rebuild. Stored data is read back with the sqlite3 shell."""
import json
import os
import signal
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "common"))
from peers import RunningHeron, b64, post_json, sanitizer_report, wait_for  # noqa: E402


ADMIN = {"userName": b64("ADMIN"), "userPassword": b64("TRUVE")}
SERVER = "BRENLOXS"


def field(name, type_, length=0, **extra):
    return dict(name=name, type=type_, length=length, **extra)


def index(name, *segments, **extra):
    return dict(name=name, type="", segments=[{"fieldName": s, "segmentMode": "SCHSEG"} for s in segments], **extra)


class Browser(RunningHeron):
    """heron -s with avocet under /avocet."""

    SERVER = SERVER
    check_sql = True

    def __init__(self, pool=10, timeout=300, prefix="avocet-"):
        super().__init__(prefix, ["avocet;avocet"], config={"verbose_level": -1, "mqtt_enabled": "false"},
                         app_files={"config/avocet.cfg": "CONN_POOL_SIZE %d\nINACTIVE_TIMEOUT %d\n" % (pool, timeout)})

    def call(self, command, body=None, token=None):
        return self.command("avocet", command, body, token, timeout=60)

    def connect(self, **credentials):
        reply = self.call("zvIsamExConnect", {"serverInfo": credentials or ADMIN})
        assert reply.get("success"), reply
        return reply["result"]["token"]


class BrowserCase(unittest.TestCase):
    options = {}

    @classmethod
    def setUpClass(cls):
        cls.b = Browser(**cls.options)
        cls.token = cls.b.connect()

    @classmethod
    def tearDownClass(cls):
        cls.b.finish(check="report")

    def call(self, command, body=None, token=None):
        return self.b.call(command, body, self.token if token is None else token)

    def ok(self, command, body=None):
        reply = self.call(command, body)
        self.assertTrue(reply.get("success"), (command, reply))
        return reply

    def assertError(self, reply, code, message=None):
        self.assertEqual(reply.get("errorCode"), code, reply)
        self.assertFalse(reply.get("success"), reply)
        if message is not None:
            self.assertEqual(reply.get("errorMessage"), message, reply)

    def create_db(self, name):
        self.ok("zvIsamExDoAction", {"mode": "CREATEDB", "name": name, "path": ""})

    def create_table(self, db, name, fields, indexes=(), **properties):
        body = {"database": db, "tableInfo": {"properties": dict(name=name, path="", **properties),
                                              "fields": list(fields), "indexes": list(indexes)}}
        return self.call("zvIsamExCreateNewTable", body)

    def insert(self, db, table, values):
        return self.call("zvIsamExCreateTableRecord", {"database": db, "name": table, "fields": json.dumps(values)})

    def page(self, db, table, start=0, limit=100, index=-2, **extra):
        return self.ok("zvIsamExGetTableRecords",
                       dict(database=db, name=table, start=start, limit=limit, index=index, **extra))

    def fields(self, db, table):
        return self.ok("zvIsamExGetFields", {"database": db, "name": table})["fields"]

    def indexes(self, db, table):
        return self.ok("zvIsamExGetIndexes", {"database": db, "name": table})["indexes"]

    def wait_worker(self, token=None):
        """Polls the slot's progress until its worker ends: 100 or the negated code."""
        progress = {}

        def ended():
            reply = self.call("zvIsamExCheckRebuildProgress", token=token)
            self.assertTrue(reply.get("success"), reply)
            progress["value"] = reply["result"]["progress"]
            busy = self.call("zvIsamExRefreshConnection", token=token)
            return busy.get("success") and (progress["value"] == 100 or progress["value"] < 0)

        self.assertTrue(wait_for(ended, 60), progress)
        return progress["value"]


class SessionTest(BrowserCase):
    """Public commands, logon, token checks, the pool and its reaper."""
    options = {"pool": 2, "timeout": 3}

    def test_public_commands(self):
        info = self.b.call("zvIsamExGetInfo")
        self.assertTrue(info["success"], info)
        self.assertEqual(set(info["result"]), {"proxy_enabled", "unicode", "availableConnections"})
        self.assertTrue(self.b.call("zvIsamExGetErrors").get("success"))
        self.assertTrue(self.b.call("zvIsamExServers", {"op": "read"}).get("success"))
        self.assertError(self.b.call("zvIsamExServers", {}), 9007,
                         "zvIsamExServers - Invalid parameter - Missing op in the request")

    def test_logon_and_token_checks(self):
        self.assertError(self.b.call("zvIsamExConnect", {}), 9007,
                         "zvIsamExConnect - Invalid parameter - Missing serverInfo in the request")
        self.assertEqual(self.b.call("zvIsamExConnect", {"serverInfo": {"userName": b64("ADMIN")}}), {})
        wrong = self.b.call("zvIsamExConnect", {"serverInfo": {"userName": b64("ADMIN"), "userPassword": b64("x")}})
        self.assertFalse(wrong.get("success"), wrong)
        self.assertEqual(wrong["errorMessage"], "zvIsamExConnect - Connection error")
        reply = self.b.call("zvIsamExConnect", {"serverInfo": dict(ADMIN, serverName=SERVER)})
        self.assertTrue(reply["success"], reply)
        self.assertEqual(reply["result"]["timeout"], 3)
        self.assertEqual(reply["result"]["pathseparator"], "/")
        self.assertNotIn("ADMIN", reply["result"]["token"])  # the token carries no credentials
        token = reply["result"]["token"]
        cases = [
            ("zvIsamExRefreshConnection", None, 9022, "Missing token"),
            ("zvIsamExRefreshConnection", "", 9022, "Missing token"),
            ("zvIsamExRefreshConnection", "00ff", 9042, "zvIsamExRefreshConnection - Unable to find the connection."),
            ("zvIsamExNoSuch", token, 9042, "zvIsamExNoSuch is not a supported function."),
            ("zvIsamExDisconnect", "00ff", 9022, "zvIsamExDisconnect - Unspecified error"),
        ]
        for command, sent, code, message in cases:
            with self.subTest(command=command, token=sent):
                self.assertError(self.b.call(command, {}, sent), code, message)
        self.assertTrue(self.b.call("zvisamexrefreshconnection", {}, token)["success"])
        status = self.b.call("zvIsamExConnectionStatus", {}, token)
        self.assertTrue(status["success"], status)
        self.assertLessEqual(status["result"]["timeleft"], 3)
        self.assertTrue(self.b.call("zvIsamExDisconnect", {}, token)["success"])
        self.assertError(self.b.call("zvIsamExRefreshConnection", {}, token), 9042)

    def test_pool_full_expiry_and_reuse(self):
        # The class's own logon holds one slot of two.
        second = self.b.connect()
        self.assertError(self.b.call("zvIsamExConnect", {"serverInfo": ADMIN}), 9022,
                         "zvIsamExConnect - Connection pool is full")
        # Status polls do not keep a logon alive: the reaper ends both.
        self.assertTrue(wait_for(lambda: self.b.call("zvIsamExConnectionStatus", {}, second).get("errorCode") == 9048,
                                 20))
        self.assertError(self.b.call("zvIsamExGetTreeNodes", {}, second), 9048,
                         "zvIsamExGetTreeNodes - Connection expired.")
        fresh = self.b.connect()
        self.assertTrue(self.b.call("zvIsamExRefreshConnection", {}, fresh)["success"])
        self.b.call("zvIsamExDisconnect", {}, fresh)


class DefinitionTest(BrowserCase):
    """Databases and tables made and removed, the tree, and definitions read."""

    def test_databases_tables_and_tree(self):
        self.create_db("shop")
        self.assertTrue(os.path.exists(self.b.db_file("shop")))
        tree = self.call("zvIsamExGetTreeNodes", {"yxInfo": {"nodeId": {"type": 0}}})
        shop = [n for n in tree["children"] if n["text"] == "shop"]
        self.assertEqual(len(shop), 1, tree)
        self.assertEqual(shop[0]["icon"], "resources/images/database.png")
        self.assertEqual(shop[0]["nodeId"]["type"], 1)
        self.assertFalse(shop[0]["leaf"])

        self.assertTrue(self.create_table("shop", "items", [field("name", "ZV_STRING", 20)]).get("success"))
        tables = self.call("zvIsamExGetTreeNodes", {"yxInfo": {"nodeId": {"type": 1, "dbName": "shop"}}})["children"]
        self.assertEqual([(t["text"], t["nodeId"]["type"], t["icon"], t["leaf"]) for t in tables],
                         [("items", 2, "resources/images/table.png", True)])
        with_sys = self.call("zvIsamExGetTreeNodes", {"yxInfo": {"nodeId": {"type": 1, "dbName": "shop"}},
                                                       "showSysTables": True})["children"]
        self.assertTrue(all(t["nodeId"]["type"] == 3 for t in with_sys if t["text"] != "items"), with_sys)
        self.assertEqual(self.call("zvIsamExGetTreeNodes", {"yxInfo": {}}), {})

        # The engine keeps a table's rows in its database: it refuses to drop one without them.
        dropped = self.call("zvIsamExDoAction", {"mode": "DROPTABLE", "name": "items", "dbName": "shop"})
        self.assertEqual(dropped["errorMessage"], "zvdbDropTable error", dropped)
        self.assertEqual(self.b.sql("shop", "SELECT name FROM sqlite_master WHERE name='items'"), "items")
        self.ok("zvIsamExDoAction", {"mode": "DELETETABLE", "name": "items", "dbName": "shop"})
        self.assertEqual(self.b.sql("shop", "SELECT count(*) FROM sqlite_master WHERE name='items'"), "0")
        self.ok("zvIsamExDoAction", {"mode": "DELETEDB", "name": "shop", "path": ""})
        self.assertFalse(os.path.exists(self.b.db_file("shop")))

    def test_add_table_from_tree_paths_and_relative_names(self):
        self.create_db("source")
        self.assertTrue(self.create_table("source", "stock", [field("sku", "ZV_STRING", 8)]).get("success"))
        self.assertTrue(self.insert("source", "stock", {"sku": "a1"})["success"])
        tree = self.call("zvIsamExGetTreeNodes", {"yxInfo": {"nodeId": {"type": 1, "dbName": "source"}}})
        table_path = tree["children"][0]["nodeId"]["Path"]
        for target, path in (("fromtree", table_path), ("relative", "source.db"),
                             ("absolute", self.b.db_file("source"))):
            with self.subTest(path=path):
                self.create_db(target)
                self.ok("zvIsamExDoAction", {"mode": "ADDTABLE", "name": "stock", "dbName": target, "path": path,
                                             "options": {}})
                self.assertEqual(self.b.sql(target, "SELECT sku FROM stock"), "a1")
        missing = self.call("zvIsamExDoAction", {"mode": "ADDTABLE", "name": "stock", "dbName": "relative",
                                                 "path": "nosuch.db", "options": {}})
        self.assertError(missing, 4213, "zvdbAddTableXtd error")
        # Each command's outcome is in the host's log.
        self.assertTrue(wait_for(lambda: "avocet: zvIsamExDoAction from 127.0.0.1 answered 4213 - zvdbAddTableXtd "
                                 "error" in self.b.log(), 10))
        self.assertIn("avocet: zvIsamExDoAction from 127.0.0.1 done", self.b.log())

    def test_guarded_logons_and_bounded_bodies(self):
        for credentials in ({"userName": b64("ADMIN\0junk"), "userPassword": b64("TRUVE")},
                            {"userName": b64("ADMIN"), "userPassword": b64("TRUVE\0junk")},
                            dict(ADMIN, serverName=SERVER + "\u0000x")):
            self.assertError(self.b.call("zvIsamExConnect", {"serverInfo": credentials}), 9007)
        for _ in range(2):
            self.b.call("zvIsamExConnect", {"serverInfo": {"userName": b64("NOBODY"), "userPassword": b64("x")}})
        self.assertTrue(wait_for(lambda: "failed log-on(s) from 127.0.0.1 (last user [NOBODY])" in self.b.log(),
                                 10), self.b.log())
        status, reply = post_json(self.b.port, "/avocet/zvIsamExGetTreeNodes", "[" + ",".join(["0"] * 100000) + "]",
                                  {"token": self.token})
        self.assertEqual((status, reply["errorCode"]), (413, 9006))
        self.assertTrue(self.call("zvIsamExRefreshConnection", {})["success"])

    def test_action_errors_and_paths_outside_the_data(self):
        cases = [
            ({"name": "x", "path": ""}, 9007, "zvIsamExDoAction - Invalid parameter - Missing op in the request"),
            ({"mode": "CREATEDB", "name": "x"}, 9007, None),
            ({"mode": "ADDTABLE", "name": "x", "path": ""}, 9007,
             "zvIsamExDoAction - Invalid parameter - Missing option in the request"),
            ({"mode": "CHECKCONDITION", "name": "x", "dbName": "d"}, 9007, None),
            ({"mode": "RENAME", "name": "x", "path": ""}, 999, "Invalid option"),
        ]
        for body, code, message in cases:
            with self.subTest(body=body):
                self.assertError(self.call("zvIsamExDoAction", body), code, message)
        outside = os.path.join(self.b.root, "outside")
        for path in ("../..", outside, "../../outside"):
            with self.subTest(path=path):
                reply = self.call("zvIsamExDoAction", {"mode": "CREATEDB", "name": "escape", "path": path})
                self.assertFalse(reply.get("success"), reply)
        self.create_db("inside")
        for path in ("../..", outside):
            with self.subTest(table_path=path):
                reply = self.call("zvIsamExCreateNewTable", {"database": "inside", "tableInfo": {
                    "properties": {"name": "t", "path": path}, "fields": [field("a", "ZV_INT4", 4)]}})
                self.assertEqual(reply.get("errorMessage"), "Creation error", reply)
        self.assertEqual(self.b.sql("inside", "SELECT count(*) FROM sqlite_master WHERE name='t'"), "0")
        self.assertFalse(os.path.exists(outside))
        self.assertEqual([f for f in os.listdir(self.b.root) if f.endswith(".db")], [])

    def test_definitions_read(self):
        self.create_db("defs")
        fields = [field("id", "ZV_INT4", 4, identity=True, seed=1, increment=1),
                  field("name", "ZV_STRING", 30, nulls=True),
                  field("price", "ZV_NUMBER", 8, precision=10, scale=2),
                  field("doc", "ZV_JSON", 0), field("old", "ZV_PSTRING", 10)]
        indexes = [index("byName", "name", dupAllowed=True),
                   dict(name="byPrice", type="LEADING", segments=[{"fieldName": "price", "descending": True}])]
        reply = self.create_table("defs", "goods", fields, indexes, trnlog=True, padChar=32)
        self.assertTrue(reply.get("success"), reply)
        listed = self.fields("defs", "goods")
        self.assertEqual([f["name"] for f in listed], ["id", "name", "price", "doc", "old"])
        self.assertEqual([f["oldPosition"] for f in listed], [0, 1, 2, 3, 4])
        self.assertEqual([f["type"] for f in listed], ["ZV_INT4", "ZV_STRING", "ZV_NUMBER", "ZV_JSON", "Unknown Type"])
        self.assertEqual((listed[0]["identity"], listed[0]["seed"], listed[0]["increment"]), (True, 1, 1))
        self.assertEqual((listed[1]["identity"], listed[1]["seed"]), (False, ""))
        self.assertEqual((listed[2]["precision"], listed[2]["scale"], listed[2]["binFlag"]), (10, 2, ""))
        self.assertIsNone(listed[1]["binFlag"])
        self.assertNotIn("precision", listed[1])
        # "nulls" true when created reads back false (the flag's two senses).
        self.assertEqual((listed[1]["nulls"], listed[0]["nulls"]), (False, True))

        props = self.ok("zvIsamExGetProperties", {"database": "defs", "name": "goods"})["properties"]
        rows = {p["property"]: p["value"] for p in props}
        self.assertEqual(rows["Number of Records"], 0)
        self.assertEqual((rows["TRNLOG"], rows["PREIMG"], rows["Pad Char"]), ("Yes", "No", 32))
        self.assertEqual(len(props), 20)
        packed = self.ok("zvIsamExGetProperties", {"database": "defs", "name": "goods", "packed": True})["properties"]
        self.assertTrue(packed["trnlog"])
        self.assertFalse(packed["compress"])
        self.assertNotIn("Number of Records", packed)

        listed = self.indexes("defs", "goods")
        self.assertEqual([(i["indexNo"], i["name"], i["dupAllowed"]) for i in listed],
                         [(0, "byName", True), (1, "byPrice", False)])
        self.assertEqual(listed[1]["type"], "LEADING")
        segments = self.ok("zvIsamExGetIndexSegments", {"database": "defs", "name": "goods", "index": 1})["segments"]
        self.assertEqual(segments, [{"fieldName": "price", "descending": "true", "segmentMode": "SCHSEG"}])
        self.assertEqual(self.ok("zvIsamExGetIndexSegments",
                                 {"database": "defs", "name": "goods", "index": 9})["segments"], [])
        all_segments = self.ok("zvIsamExGetIndexesSegments", {"database": "defs", "name": "goods"})["segments"]
        self.assertEqual([(s["indexNo"], s["segmentIndex"], s["fieldName"]) for s in all_segments],
                         [(0, 0, "name"), (1, 0, "price")])

        check = {"mode": "CHECKCONDITION", "name": "goods", "dbName": "defs"}
        self.ok("zvIsamExDoAction", dict(check, condition="price > 10"))
        self.assertEqual(self.call("zvIsamExDoAction", dict(check, condition="nosuch >< 1"))["errorMessage"],
                         "Check Error")
        missing = self.call("zvIsamExGetFields", {"database": "defs", "name": "nosuch"})
        self.assertEqual((missing["success"], missing["errorMessage"]), (False, "Open failed"))

    def test_failed_creation_leaves_nothing(self):
        self.create_db("bad")
        cases = [
            ("dupfield", [field("a", "ZV_INT4", 4), field("b", "ZV_INT4", 4), field("a", "ZV_INT4", 4)], [],
             "Addfield error on field: a"),
            ("badseg", [field("a", "ZV_INT4", 4)], [index("i", "nosuch")], "Error"),
            ("badidentity", [field("a", "ZV_INT4", 4), field("b", "ZV_STRING", 9, identity=True, seed=1,
                                                             increment=1)], [], "Addfield error on field: b"),
        ]
        for name, fields, indexes, message in cases:
            with self.subTest(name=name):
                reply = self.create_table("bad", name, fields, indexes)
                self.assertFalse(reply.get("success"), reply)
                self.assertIn(message, reply["errorMessage"])
                self.assertEqual(self.b.sql("bad", "SELECT count(*) FROM sqlite_master WHERE name='%s'" % name), "0")
        self.assertError(self.call("zvIsamExCreateNewTable", {"tableInfo": {}}), 999, "Missing database")
        self.assertError(self.call("zvIsamExCreateNewTable", {"database": "bad"}), 999, "Missing tableInfo")
        self.assertError(self.call("zvIsamExCreateNewTable", {"database": "bad", "tableInfo": {}}), 999,
                         "Missing properties")
        self.assertEqual(self.create_table("bad", "ok", [field("a", "ZV_INT4", 4)]).get("success"), True)
        self.assertFalse(self.create_table("bad", "ok", [field("a", "ZV_INT4", 4)]).get("success"))


class LongPathTest(unittest.TestCase):
    """A data root of some 200 bytes: database and table paths well past the
    128 bytes a fixed buffer once held are listed whole."""

    def test_tree_lists_long_paths(self):
        b = Browser(prefix="avocet-" + "d" * 190)  # its data root is some 210 bytes long
        root = b.path("data")
        try:
            token = b.connect()
            name = "inventory_of_the_northern_warehouse"
            self.assertTrue(b.call("zvIsamExDoAction", {"mode": "CREATEDB", "name": name, "path": ""}, token)["success"])
            created = b.call("zvIsamExCreateNewTable", {"database": name, "tableInfo": {
                "properties": {"name": "pallets_by_aisle", "path": ""}, "fields": [field("a", "ZV_INT4", 4)]}}, token)
            self.assertTrue(created.get("success"), created)
            databases = b.call("zvIsamExGetTreeNodes", {"yxInfo": {"nodeId": {"type": 0}}}, token)["children"]
            paths = {n["text"]: n["nodeId"]["dbPath"] for n in databases}
            self.assertEqual(paths[name], os.path.join(root, SERVER, name + ".db"))
            self.assertGreater(len(paths[name]), 200)
            tables = b.call("zvIsamExGetTreeNodes", {"yxInfo": {"nodeId": {"type": 1, "dbName": name}}}, token)
            self.assertEqual([(t["text"], t["nodeId"]["Path"]) for t in tables["children"]],
                             [("pallets_by_aisle", paths[name] + "/pallets_by_aisle.dat")])
        finally:
            log = b.finish()
        self.assertFalse(sanitizer_report(log), log)


class GridTest(BrowserCase):
    """Records paged forwards and backwards, found by position, inserted,
    updated, set to null, deleted; blob pages read and written."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        t = cls("run")
        t.create_db("grid")
        reply = t.create_table("grid", "people",
                               [field("ID", "ZV_INT4", 4), field("name", "ZV_STRING", 30, nulls=True),
                                field("note", "ZV_STRING", 2000, nulls=True), field("bin", "ZV_4STRING", 0, nulls=True),
                                field("score", "ZV_DFLOAT", 8, nulls=True)],
                               [index("byName", "name", dupAllowed=True)])
        assert reply.get("success"), reply
        for i in range(25):
            reply = t.insert("grid", "people", {"ID": i, "name": "p%02d" % (24 - i), "note": "line1\nlonger line 2",
                                                "score": i / 2})
            assert reply.get("success"), reply

    def rows(self, start, limit=10, index=-2):
        return self.page("grid", "people", start=start, limit=limit, index=index)["rows"]

    def recbyt(self, person_id):
        return [r for r in self.rows(0, 100) if r["$id"] == str(person_id)][0]["recbyt"]

    def test_pages_forwards_backwards_and_by_index(self):
        page = self.page("grid", "people", start=0, limit=10)
        self.assertEqual(page["total"], self.count())
        names = [f["name"] for f in page["metaData"]["fields"]]
        self.assertEqual(names[:3], ["rowid", "recbyt", "$id"])
        columns = page["metaData"]["columns"]
        self.assertEqual(len(columns), len(names))
        self.assertTrue(columns[2]["text"].startswith("id<br>"))
        # Forwards by record id, then backwards: the same records on the same pages.
        forwards = [[r["$id"] for r in self.rows(start)] for start in (0, 10, 20)]
        backwards = [[r["$id"] for r in self.rows(start)] for start in (20, 10, 0)]
        self.assertEqual(forwards, list(reversed(backwards)))
        ids = sum(forwards, [])
        self.assertEqual(len(ids), len(set(ids)))
        self.assertEqual([r["id"] for r in self.rows(20)], list(range(len(forwards[2]))))
        by_name = [r["name"] for r in self.rows(0, 100, index=0)]
        self.assertEqual(by_name, sorted(by_name))
        row = self.rows(0, 1)[0]
        self.assertEqual(row["note"], "line1\nlonger line 2")
        self.assertIsInstance(row["score"], float)
        note_column = [c for c in columns if c["dataIndex"] == "note"][0]
        self.assertEqual(note_column["width"], len("longer line 2") * 7 + 10)
        one = self.page("grid", "people", start=3, limit=10, createNew=True)
        self.assertEqual((one["total"], len(one["rows"])), (1, 1))
        self.assertError(self.call("zvIsamExGetTableRecords", {"database": "grid", "name": "people"}), 999,
                         "Missing parameters")

    def count(self):
        return int(self.b.sql("grid", "SELECT count(*) FROM people"))

    def test_insert_update_null_and_delete(self):
        self.assertTrue(self.insert("grid", "people", {"ID": 100, "name": None, "recbyt": 5, "rowid": 7})["success"])
        self.assertEqual(self.b.sql("grid", "SELECT ifnull(name,'NULL') FROM people WHERE ID=100"), "NULL")
        position = self.recbyt(100)
        update = {"database": "grid", "name": "people"}
        self.ok("zvIsamExUpdateTableRecord", dict(update, fields=json.dumps({"recbyt": position, "name": "null",
                                                                             "note": "kept"})))
        self.assertEqual(self.b.sql("grid", "SELECT name, note FROM people WHERE ID=100"), "null|kept")
        # Only a JSON null clears a field; the others keep their values.
        self.ok("zvIsamExUpdateTableRecord", dict(update, fields=json.dumps({"recbyt": position, "note": None})))
        self.assertEqual(self.b.sql("grid", "SELECT name, ifnull(note,'NULL') FROM people WHERE ID=100"), "null|NULL")
        refused = [
            ({"recbyt": position, "name": "x", "nosuch": 1}, 999, "zvdb Error - Field 'nosuch' not found"),
            ("{not json", 9007, None),
            ("[1, 2]", 9007, None),
        ]
        for fields, code, message in refused:
            with self.subTest(fields=fields):
                text = fields if isinstance(fields, str) else json.dumps(fields)
                self.assertError(self.call("zvIsamExUpdateTableRecord", dict(update, fields=text)), code, message)
        self.assertEqual(self.b.sql("grid", "SELECT name FROM people WHERE ID=100"), "null")
        # The grid's positions come back as its texts: they name the record; anything else is refused.
        self.ok("zvIsamExUpdateTableRecord", dict(update, fields=json.dumps({"recbyt": str(position), "name": "s"})))
        self.assertEqual(self.b.sql("grid", "SELECT name FROM people WHERE ID=100"), "s")
        for bad in ("1x", "", "-1", 1.5, [1]):
            with self.subTest(recbyt=bad):
                reply = self.call("zvIsamExUpdateTableRecord", dict(update, fields=json.dumps({"recbyt": bad,
                                                                                               "name": "t"})))
                self.assertError(reply, 9007)
        self.assertEqual(self.b.sql("grid", "SELECT name FROM people WHERE ID=100"), "s")
        self.ok("zvIsamExUpdateTableRecord", dict(update, fields=json.dumps({"recbyt": position, "name": "null"})))
        self.assertError(self.insert("grid", "people", {"ID": 101, "nosuch": 1}), 999,
                         "zvdb Error - Field 'nosuch' type not found")

        self.ok("zvIsamExSetNull", {"database": "grid", "tableName": "people", "colName": "name", "recbyt": position})
        self.assertEqual(self.b.sql("grid", "SELECT ifnull(name,'NULL') FROM people WHERE ID=100"), "NULL")
        self.assertError(self.call("zvIsamExSetNull", {"database": "grid"}), 0, "Set Null Error")

        before = self.count()
        self.ok("zvIsamExRemoveTableRecord", dict(update, fields=json.dumps({"recbyt": position})))
        self.assertEqual(self.count(), before - 1)
        gone = self.call("zvIsamExRemoveTableRecord", dict(update, fields=json.dumps({"recbyt": position})))
        self.assertEqual(gone["errorMessage"], "zvdb Error", gone)
        self.assertEqual(self.count(), before - 1)

    def test_blobs(self):
        position = self.recbyt(3)
        blob = {"database": "grid", "name": "people", "column": "bin", "recbyt": position, "limit": 1, "start": 0}
        self.ok("zvIsamExSetTableBlob", dict(blob, data="41FF"))
        self.assertEqual(self.b.sql("grid", "SELECT hex(bin) FROM people WHERE ID=3"), "41FF")
        for bad in ("41F", "4G00", "41 F"):
            with self.subTest(data=bad):
                self.assertError(self.call("zvIsamExSetTableBlob", dict(blob, data=bad)), 9007)
        self.assertEqual(self.b.sql("grid", "SELECT hex(bin) FROM people WHERE ID=3"), "41FF")

        data = bytes(range(256)) * 16 + b"\x7f"  # 4097 bytes
        self.ok("zvIsamExSetTableBlob", dict(blob, data=data.hex().upper()))
        self.assertEqual(self.b.sql("grid", "SELECT length(bin) FROM people WHERE ID=3"), "4097")
        read = dict(blob, index=-2, fullBlob=False)
        first = self.ok("zvIsamExGetTableBlob", read)["result"]
        self.assertEqual((first["total"], first["pageSize"], first["start"]), (2, 4096, 0))
        self.assertEqual(first["data"], data[:4096].hex().upper())
        self.assertEqual(self.ok("zvIsamExGetTableBlob", dict(read, start=1))["result"]["data"], "7F")
        self.assertEqual(self.ok("zvIsamExGetTableBlob", dict(read, fullBlob=True))["result"]["data"],
                         data.hex().upper())
        self.assertError(self.call("zvIsamExGetTableBlob", dict(read, start=-1)), 9007)
        self.assertEqual(self.call("zvIsamExGetTableBlob", dict(read, recbyt=10 ** 12))["errorMessage"], "Seek Error")
        # A text field takes the data as text.
        self.ok("zvIsamExSetTableBlob", dict(blob, column="note", data="plain 41"))
        self.assertEqual(self.b.sql("grid", "SELECT note FROM people WHERE ID=3"), "plain 41")


class AlterTest(BrowserCase):
    """Tables altered with data in them and rebuilt on the slot's worker,
    progress polled to the end; failed and stopped alterations."""

    def setUp(self):
        self.db = "alter"
        if not os.path.exists(self.b.db_file(self.db)):
            self.create_db(self.db)

    def make_people(self, name, rows=40):
        reply = self.create_table(self.db, name, [field("id", "ZV_INT4", 4), field("name", "ZV_STRING", 30),
                                                  field("age", "ZV_STRING", 10)],
                                  [index("byName", "name", dupAllowed=True)], padChar=32)
        self.assertTrue(reply.get("success"), reply)
        self.b.sql(self.db, "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i+1 FROM n WHERE i<%d) "
                            "INSERT INTO %s(id,name,age) SELECT i, 'n'||(i %% 7), 20+i FROM n" % (rows - 1, name))

    def alter(self, name, fields=None, indexes=None, token=None, **properties):
        info = {"properties": dict({"name": name, "padChar": 32}, **properties)}
        if fields is not None:
            info["fields"] = fields
        if indexes is not None:
            info["indexes"] = indexes
        return self.call("zvIsamExUpdateTable", {"database": self.db, "tableInfo": info}, token=token)

    def schema(self, name):
        return (self.b.sql(self.db, "SELECT group_concat(name||':'||type, ',') FROM pragma_table_info('%s')" % name),
                [(i["name"], i["dupAllowed"]) for i in self.indexes(self.db, name)],
                self.b.sql(self.db, "SELECT group_concat(id||name||age, ',') FROM %s" % name))

    def test_alteration_with_data_and_rebuild(self):
        self.make_people("staff")
        reply = self.alter("staff",
                           fields={"newFields": [field("city", "ZV_STRING", 20, nulls=True)],
                                   "updatedFields": [dict(field("years", "ZV_INT4", 4), oldName="age")],
                                   "movedFields": [{"name": "city", "index": 1}]},
                           indexes={"newIndexes": [dict(name="byYears", type="", dupAllowed=True,
                                                        newSegments=[{"fieldName": "years"}])],
                                    "updatedIndexes": [dict(name="byName2", oldName="byName", dupAllowed=True,
                                                            newSegments=[{"fieldName": "name"},
                                                                         {"fieldName": "id"}])]})
        self.assertTrue(reply.get("success"), reply)
        busy = self.call("zvIsamExGetFields", {"database": self.db, "name": "staff"})
        if not busy.get("success"):
            self.assertEqual(busy["errorMessage"], "zvIsamExGetFields - Connection busy.")
        self.assertEqual(self.wait_worker(), 100)
        self.assertEqual([f["name"] for f in self.fields(self.db, "staff")], ["id", "city", "name", "years"])
        self.assertEqual(self.b.sql(self.db, "SELECT typeof(years), sum(years) FROM staff"),
                         "integer|%d" % sum(20 + i for i in range(40)))
        self.assertEqual(self.b.sql(self.db, "SELECT count(*) FROM staff WHERE city IS NULL"), "40")
        segments = self.ok("zvIsamExGetIndexesSegments", {"database": self.db, "name": "staff"})["segments"]
        by_index = {i["name"]: i["indexNo"] for i in self.indexes(self.db, "staff")}
        self.assertEqual(set(by_index), {"byName2", "byYears"})
        self.assertEqual([s["fieldName"] for s in segments if s["indexNo"] == by_index["byName2"]], ["name", "id"])
        self.assertEqual([s["fieldName"] for s in segments if s["indexNo"] == by_index["byYears"]], ["years"])

        self.ok("zvIsamExRebuildTable", {"database": self.db, "name": "staff"})
        self.assertEqual(self.wait_worker(), 100)
        self.assertEqual(self.b.sql(self.db, "SELECT count(*) FROM staff"), "40")
        self.assertEqual(self.b.sql(self.db, "PRAGMA integrity_check"), "ok")
        self.assertError(self.call("zvIsamExRebuildTable", {"database": self.db}), 999, "Missing name")

    def test_create_mode_change_keeps_definition_changes(self):
        self.make_people("modes")
        reply = self.alter("modes", fields={"newFields": [field("extra", "ZV_INT4", 4, nulls=True)]},
                           compress=True)
        self.assertTrue(reply.get("success"), reply)
        self.assertEqual(self.wait_worker(), 100)
        packed = self.ok("zvIsamExGetProperties", {"database": self.db, "name": "modes", "packed": True})["properties"]
        self.assertTrue(packed["compress"])
        self.assertIn("extra", [f["name"] for f in self.fields(self.db, "modes")])

    def test_stopped_and_failed_alterations_change_nothing(self):
        self.make_people("kept")
        before = self.schema("kept")
        stopped = [
            ({"newFields": [field("extra", "ZV_INT4", 4)],
              "updatedFields": [dict(field("x", "ZV_INT4", 4), oldName="nosuch")]}, None,
             "Field nosuch not found."),
            ({"newFields": [field("extra", "ZV_INT4", 4)]},
             {"updatedIndexes": [dict(name="a", oldName="noindex", newSegments=[])]}, "Index noindex not found."),
            (None, {"removedIndexes": [{"name": "noindex"}]}, None),
        ]
        for fields, indexes, message in stopped:
            with self.subTest(message=message):
                reply = self.alter("kept", fields=fields, indexes=indexes, padChar=42)
                self.assertEqual(reply.get("errorCode"), -1, reply)
                if message:
                    self.assertEqual(reply["errorMessage"], message)
                self.assertEqual(self.schema("kept"), before)
                packed = self.ok("zvIsamExGetProperties", {"database": self.db, "name": "kept",
                                                           "packed": True})["properties"]
                self.assertEqual(packed["padChar"], 32)
        # Failing in the worker: a unique index over duplicate names.
        reply = self.alter("kept", fields={"newFields": [field("extra", "ZV_INT4", 4, nulls=True)]},
                           indexes={"newIndexes": [dict(name="unique", dupAllowed=False,
                                                        newSegments=[{"fieldName": "name"}])]})
        self.assertTrue(reply.get("success"), reply)
        self.assertLess(self.wait_worker(), 0)
        self.assertEqual(self.schema("kept"), before)
        self.assertEqual(self.b.sql(self.db, "PRAGMA integrity_check"), "ok")

    def test_busy_slot_and_disconnect_during_work(self):
        # Rebuilding 60,000 records takes seconds: long enough to see the slot busy.
        self.make_people("big", rows=60000)
        other = self.b.connect()
        reply = self.call("zvIsamExRebuildTable", {"database": self.db, "name": "big"}, token=other)
        self.assertTrue(reply.get("success"), reply)
        busy = self.call("zvIsamExGetFields", {"database": self.db, "name": "big"}, token=other)
        self.assertEqual((busy["success"], busy["errorCode"], busy["errorMessage"]),
                         (False, 0, "zvIsamExGetFields - Connection busy."))
        self.assertEqual(self.call("zvIsamExCheckRebuildProgress", token=other)["result"]["progress"], 0)
        # A disconnect while busy answers at once; the reaper ends the logon after the worker.
        self.assertTrue(self.b.call("zvIsamExDisconnect", {}, other)["success"])
        self.assertTrue(wait_for(lambda: self.b.call("zvIsamExRefreshConnection", {}, other).get("errorCode") == 9048,
                                 60))
        self.assertEqual(self.b.call("zvIsamExCheckRebuildProgress", {}, other).get("errorCode"), 9048)
        self.assertEqual(self.b.sql(self.db, "SELECT count(*) FROM big"), "60000")


class KillTest(unittest.TestCase):
    """heron killed with SIGKILL while a rebuild runs, and stopped while an
    alteration runs: the table is whole afterwards."""
    rows = 60000

    def big_table(self, b):
        case = BrowserCase("run")
        case.b = b
        case.token = b.connect()
        case.create_db("crash")
        reply = case.create_table("crash", "log", [field("id", "ZV_INT4", 4), field("text", "ZV_STRING", 40)],
                                  [index("byText", "text", dupAllowed=True), index("byId", "id")])
        self.assertTrue(reply.get("success"), reply)
        b.sql("crash", "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i+1 FROM n WHERE i<%d) "
                       "INSERT INTO log(id,text) SELECT i, 'row '||(i*7919 %% %d) FROM n" % (self.rows - 1, self.rows))
        return case

    def test_stop_during_alteration(self):
        b = Browser()
        try:
            case = self.big_table(b)
            before = b.sql("crash", "SELECT group_concat(name||type) FROM pragma_table_info('log')")
            reply = case.call("zvIsamExUpdateTable", {"database": "crash", "tableInfo": {
                "properties": {"name": "log"}, "fields": {"newFields": [field("more", "ZV_INT4", 4, nulls=True)]}}})
            self.assertTrue(reply.get("success"), reply)
            time.sleep(0.05)
            # The plug-in's term asks the running alteration to stop and waits for its worker.
            b.proc.terminate()
            self.assertEqual(b.wait_exit(60), 0, b.log())
            after = b.sql("crash", "SELECT group_concat(name||type) FROM pragma_table_info('log')")
            self.assertIn(after, (before, before + ",moreINTEGER"))
            self.assertEqual(b.sql("crash", "PRAGMA integrity_check"), "ok")
            self.assertEqual(b.sql("crash", "SELECT count(*) FROM log"), str(self.rows))
        finally:
            log = b.finish()
        self.assertFalse(sanitizer_report(log), log)

    def test_kill_during_rebuild(self):
        b = Browser()
        rows = self.rows
        try:
            case = self.big_table(b)
            before = b.sql("crash", "SELECT group_concat(name) FROM sqlite_master ORDER BY name")
            reply = case.call("zvIsamExRebuildTable", {"database": "crash", "name": "log"})
            self.assertTrue(reply.get("success"), reply)
            time.sleep(0.05)
            os.kill(b.proc.pid, signal.SIGKILL)
            b.wait_exit()
            self.assertEqual(b.sql("crash", "PRAGMA integrity_check"), "ok")
            self.assertEqual(b.sql("crash", "SELECT count(*), sum(id) FROM log"),
                             "%d|%d" % (rows, rows * (rows - 1) // 2))
            self.assertEqual(b.sql("crash", "SELECT group_concat(name) FROM sqlite_master ORDER BY name"), before)
            b.launch()
            case.token = b.connect()
            self.assertEqual(case.page("crash", "log", limit=1)["total"], rows)
            self.assertEqual(len(case.indexes("crash", "log")), 2)
        finally:
            log = b.finish()
        self.assertFalse(sanitizer_report(log), log)


if __name__ == "__main__":
    unittest.main()
