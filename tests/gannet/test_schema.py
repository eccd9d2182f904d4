"""Index definitions the engine stores for both database applications,
through one running heron serving the REST application (http.client) and
the JSON-RPC application (the wren tests' WebSocket client): indexes over
keys inside JSON fields, conditional indexes, and tables moved to another
database; the sqlite3 shell confirms what the files hold."""
import importlib.util
import json
import os
import subprocess
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "../common"))
from peers import HeronTree, free_port, sanitizer_report, wait_port  # noqa: E402

_spec = importlib.util.spec_from_file_location("rest", os.path.join(HERE, "test_rest.py"))
rest = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(rest)
_spec = importlib.util.spec_from_file_location("wrentest", os.path.join(HERE, "../wren/test_wren.py"))
wrentest = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(wrentest)

call = rest.call


class Server:
    def __init__(self):
        self.tree = HeronTree("schema-")
        self.port = free_port()
        config = {"document_root": "./web", "listening_http_port": str(self.port), "linked_vix_server": "BRENLOXS",
                  "applications": ["quarn;gannet"], "websocket_applications": ["wren;wren"]}
        with open(self.tree.path("config/osprey.json"), "w") as f:
            json.dump(config, f)
        self.tree.start()
        if not wait_port(self.port):
            raise RuntimeError("heron did not start:\n" + self.tree.log())

    def sql(self, db, statement):
        out = subprocess.run(["sqlite3", self.tree.path("data/BRENLOXS/%s.db" % db), statement],
                             capture_output=True, text=True, timeout=30)
        return out.stdout.strip()

    def stop(self):
        self.tree.proc.terminate()
        self.tree.wait_exit()
        log = self.tree.log()
        self.tree.remove()
        return log


SERVER = None


def rows(db, table, index, body, url="?top=100"):
    reply = call("POST", "/api/v1/query/%s/%s/%s%s" % (db, table, index, url), body)
    assert reply[0] == 200, reply[3]
    return [r["name"] for r in reply[2]["_records"]]


class JsonKeyIndexTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        rest.create_db("jdb")
        status, _, body, _ = call("POST", "/api/v1/table/jdb/ev", {"fields": [
            {"name": "name", "type": "CHAR", "length": 8}, {"name": "doc", "type": "JSON"}]})
        assert status == 200, body
        rest.insert("jdb", "ev", [{"name": n, "doc": d} for n, d in (
            ("five", {"level": 5, "who": "x"}), ("one", {"level": 1}), ("three", {"level": 3, "who": "y"}),
            ("none", {"who": "z"}), ("seven", {"level": 7}))])

    def test_post_read_back_and_query(self):
        status, _, body, _ = call("POST", "/api/v1/index/jdb/ev/bylevel", {
            "fields": [{"name": "doc", "key": "level", "type": "integer", "size": 3}]})
        self.assertEqual(status, 200, body)
        self.assertEqual(SERVER.sql("jdb", "SELECT json_key, json_type, json_size FROM rl_segments WHERE tbl='ev'"),
                         "level|231|8")
        # An expression index of SQLite's, built from the rows already there.
        self.assertEqual(SERVER.sql("jdb", "SELECT count(*) FROM pragma_index_xinfo('ev.bylevel') WHERE cid = -2"), "1")
        self.assertEqual(SERVER.sql("jdb", "PRAGMA integrity_check"), "ok")
        self.assertEqual(call("GET", "/api/v1/index/jdb/ev/bylevel")[2], {"unique": False, "fields": [
            {"name": "doc", "key": "level", "type": "integer", "size": 8, "ascending": True}]})
        self.assertEqual(rows("jdb", "ev", "bylevel", {"find": {"doc": {"operator": ">=", "value": 0}}}),
                         ["one", "three", "five", "seven"])
        self.assertEqual(rows("jdb", "ev", "bylevel", {"find": {"doc": {"operator": "between", "excludelowervalue": 1,
                                                                        "uppervalue": {"level": 5}}}}),
                         ["three", "five"])
        self.assertEqual(rows("jdb", "ev", "bylevel", {"advanced_find": {"find_record": {
            "operator": "=", "fields": {"doc": {"level": 7}}}}}), ["seven"])
        self.assertEqual(rows("jdb", "ev", "bylevel", {"find": {"doc": {"operator": ">", "value": 2}},
                                                       "reverse": True}, "?top=2"), ["seven", "five"])

    def test_unique_key_and_bad_definitions(self):
        status, _, body, _ = call("POST", "/api/v1/index/jdb/ev/bywho", {
            "unique": True, "fields": [{"name": "doc", "key": "who", "type": "STRING", "size": 4}]})
        self.assertEqual(status, 200, body)
        self.assertEqual(call("GET", "/api/v1/index/jdb/ev/bywho")[2]["fields"][0],
                         {"name": "doc", "key": "who", "type": "string", "size": 4, "ascending": True})
        reply = call("POST", "/api/v1/record/jdb/ev", {"name": "twin", "doc": {"who": "x"}})
        self.assertEqual((reply[0], reply[2]["_errorCode"]), (409, 2), reply[3])
        for key in ("who'); DROP TABLE ev; --", "a..b", ""):
            with self.subTest(key=key):
                reply = call("POST", "/api/v1/index/jdb/ev/bad", {
                    "fields": [{"name": "doc", "key": key, "type": "integer", "size": 4}]})
                self.assertEqual((reply[0], reply[2]["_errorMessage"]), (500, "segment addition failed"), reply[3])
        self.assertEqual(SERVER.sql("jdb", "SELECT count(*) FROM sqlite_master WHERE name = 'ev.bad'"), "0")
        self.assertEqual(SERVER.sql("jdb", "SELECT count(*) FROM ev"), "5")


class WrenSchemaTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.ws = wrentest.WsClient(SERVER.port)
        reply = cls.ws.call("login", wrentest.ADMIN)
        cls.token = reply["result"]["authToken"]
        fields = [{"name": "name", "type": "CHAR", "length": 10}, {"name": "qty", "type": "INTEGER", "length": 4}]
        cls.ok(cls, "createTable", {"authToken": cls.token, "databaseName": "wdb", "tableName": "t", "fields": fields})
        cls.ok(cls, "insertRecords", {"authToken": cls.token, "databaseName": "wdb", "tableName": "t",
                                      "insertFormat": "arrays", "fieldNames": ["name", "qty"],
                                      "sourceData": [["a", 1], ["b", 8], ["c", 6], ["d", 12], ["e", 3]]})

    @classmethod
    def tearDownClass(cls):
        cls.ws.close()

    def ok(self, method, params):
        result = self.ws.call(method, params)["result"]
        assert result["errorCode"] == 0, (method, result)
        return result

    def p(self, **params):
        return dict({"authToken": self.token, "databaseName": "wdb", "tableName": "t"}, **params)

    def test_1_conditional_index(self):
        result = self.ws.call("createIndex", self.p(indexName="bad", conditionalExpression="qty > 1; DROP TABLE t",
                                                    fields=[{"name": "qty"}]))["result"]
        self.assertEqual(result["errorCode"], 4218, result)
        self.ok("createIndex", self.p(indexName="big", conditionalExpression="qty >= 6 AND name <> 'd'",
                                      fields=[{"name": "qty"}]))
        self.assertEqual(SERVER.sql("wdb", "SELECT condition FROM rl_indexes WHERE name = 'big'"),
                         "qty >= 6 AND name <> 'd'")
        self.assertIn('WHERE (("qty" >= 6) AND ("name" IS NOT \'d\'))',
                      SERVER.sql("wdb", "SELECT sql FROM sqlite_master WHERE name = 't.big'"))
        self.assertIn("big", [row[2] for row in self.ok("listIndexes", self.p())["data"]])
        result = self.ok("getRecordsStartingAtKey", self.p(maxRecords=-1, indexFilter={
            "index": "big", "operator": ">=", "indexFields": [{"fieldName": "qty", "value": 0}]}))
        self.assertEqual([row[1] for row in result["data"]], ["c", "b"])
        # Changed by "alterIndex": the index then holds the rows of its new condition.
        self.ok("alterIndex", self.p(indexName="big", conditionalExpression="qty > 2"))
        result = self.ok("getRecordsStartingAtKey", self.p(maxRecords=-1, indexFilter={
            "index": "big", "operator": ">=", "indexFields": [{"fieldName": "qty", "value": 0}]}))
        self.assertEqual([row[1] for row in result["data"]], ["e", "c", "b", "d"])
        self.assertEqual(SERVER.sql("wdb", "SELECT condition FROM rl_indexes WHERE name = 'big'"), "qty > 2")

    def test_2_table_moves_to_another_database(self):
        self.ok("createIndex", self.p(indexName="byname", unique=True, fields=[{"name": "name"}]))
        self.ok("alterTable", self.p(newDatabaseName="wdb2"))
        self.assertEqual(SERVER.sql("wdb", "SELECT count(*) FROM sqlite_master WHERE tbl_name = 't'"), "0")
        self.assertEqual(SERVER.sql("wdb2", "SELECT name, qty FROM t ORDER BY id"), "a|1\nb|8\nc|6\nd|12\ne|3")
        self.assertEqual(SERVER.sql("wdb2", "SELECT name FROM rl_indexes WHERE tbl = 't' ORDER BY pos"),
                         "t_id_pk\nbig\nbyname")
        moved = dict(self.p(), databaseName="wdb2")
        self.assertEqual([row[1] for row in self.ok("listTables", moved)["data"]], ["t"])
        result = self.ok("getRecordsStartingAtKey", dict(moved, maxRecords=-1, indexFilter={
            "index": "byname", "operator": ">=", "indexFields": [{"fieldName": "name", "value": "d"}]}))
        self.assertEqual([row[1] for row in result["data"]], ["d", "e"])
        # The REST application sees it there too, and its ids go on.
        self.assertEqual(call("GET", "/api/v1/record/wdb2/t/2")[2]["name"], "b")
        new_id = rest.insert("wdb2", "t", {"name": "f", "qty": 4})
        self.assertEqual(new_id, 6)
        # A move onto a table of that name fails and leaves both where they were.
        self.ok("createTable", self.p(fields=[{"name": "x", "type": "INTEGER", "length": 4}]))
        result = self.ws.call("alterTable", self.p(newDatabaseName="wdb2"))["result"]
        self.assertEqual(result["errorCode"], 18, result)
        self.assertEqual(SERVER.sql("wdb", "SELECT name FROM pragma_table_info('t') ORDER BY cid"), "id\nx")
        self.assertEqual(SERVER.sql("wdb2", "SELECT count(*) FROM t"), "6")


class DecimalTest(unittest.TestCase):
    """MONEY and NUMBER values keep their digits through both applications."""

    def test_money_written_by_either_application_reads_back_exactly(self):
        ws = wrentest.WsClient(SERVER.port)
        self.addCleanup(ws.close)
        token = ws.call("login", wrentest.ADMIN)["result"]["authToken"]
        params = {"authToken": token, "databaseName": "ddb", "tableName": "m"}
        result = ws.call("createTable", dict(params, fields=[
            {"name": "k", "type": "INTEGER", "length": 4}, {"name": "price", "type": "MONEY", "length": 8}]))["result"]
        self.assertEqual(result["errorCode"], 0, result)
        self.assertEqual(SERVER.sql("ddb", "SELECT type FROM rl_fields WHERE tbl = 'm' AND name = 'price'"), "67")
        result = ws.call("insertRecords", dict(params, insertFormat="arrays", fieldNames=["k", "price"],
                                               sourceData=[[1, 12.34]]))["result"]
        self.assertEqual(result["errorCode"], 0, result)
        rid = rest.insert("ddb", "m", {"k": 2, "price": 7.89})
        self.assertEqual(call("GET", "/api/v1/record/ddb/m/1")[2]["price"], "12.34")
        self.assertEqual(call("GET", "/api/v1/record/ddb/m/%d" % rid)[2]["price"], "7.89")
        self.assertEqual(SERVER.sql("ddb", "SELECT price FROM m ORDER BY k"), "12.34\n7.89")

    def test_decimal_fields_take_numbers_by_their_digits(self):
        rest.create_db("ndb")
        status, _, body, _ = call("POST", "/api/v1/table/ndb/n", {"fields": [
            {"name": "m", "type": "MONEY", "precision": 10}, {"name": "n", "type": "NUMBER", "precision": 20, "scale": 2},
            {"name": "b", "type": "BIGINT"}]})
        self.assertEqual(status, 200, body)
        rid = rest.insert("ndb", "n", {"m": 7.89, "n": 0.1, "b": 9223372036854775807})
        self.assertEqual(call("GET", "/api/v1/record/ndb/n/%d" % rid)[2], {"m": "7.89", "n": "0.10", "b": 9223372036854775807})
        # Integers beyond what JSON numbers carry exactly are refused, never clamped.
        for body in ('{"b": 9223372036854775808}', '{"b": 99999999999999999999999}', '{"n": 99999999999999999999999}'):
            with self.subTest(body=body):
                reply = call("POST", "/api/v1/record/ndb/n", body, raw=True)
                self.assertEqual((reply[0], reply[2]["_errorCode"]), (400, 14013), reply[3])
        self.assertEqual(SERVER.sql("ndb", "SELECT count(*) FROM n"), "1")


def main():
    global SERVER
    SERVER = Server()
    rest.SERVER = SERVER
    try:
        program = unittest.main(argv=[sys.argv[0]] + sys.argv[1:], exit=False)
        ok = program.result.wasSuccessful()
    finally:
        log = SERVER.stop()
    if sanitizer_report(log):
        print(log)
        ok = False
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
