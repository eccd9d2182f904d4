"""Index definitions the engine stores for both database applications,
through one running heron serving the REST application (http.client) and
the JSON-RPC application (the wren tests' WebSocket client): indexes over
keys inside JSON fields, conditional indexes, and tables moved to another
database; the sqlite3 shell confirms what the files hold. And the REST
application's OpenAPI document held against what every route answers."""
import http.client
import importlib.util
import json
import os
import sys
import unittest

import jsonschema

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "../common"))
from peers import RunningHeron, run_with_server, sanitizer_report  # noqa: E402

_spec = importlib.util.spec_from_file_location("rest", os.path.join(HERE, "test_rest.py"))
rest = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(rest)
_spec = importlib.util.spec_from_file_location("wrentest", os.path.join(HERE, "../wren/test_wren.py"))
wrentest = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(wrentest)

call = rest.call


class Server(RunningHeron):
    def __init__(self):
        super().__init__("schema-", ["quarn;gannet"], ["wren;wren"])

    stop = RunningHeron.finish


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


DOCUMENT_FILE = os.path.join(HERE, "..", "..", "gannet", "openapi.json")
WRONG = ("ADMIN", "wrong")
BAD_DB = "a..b"  # a database name the engine does not take: its log-on fails with 4201


# (method, route of the document, path after api/v1/, body, status[,
# credentials]), run in order; a text body is sent as it stands. Each status
# the document declares for an operation is reached here, but for those no
# quick request brings about.
ROUTE_CASES = [
    ("GET", "openapi", "openapi", None, 200),
    ("GET", "database", "database", None, 200),
    ("GET", "database", "database", None, 500, WRONG),
    ("POST", "database/{db}", "database/oa2", None, 200),
    ("POST", "database/{db}", "database/oa2", None, 500),
    ("POST", "database/{db}", "database/" + BAD_DB, None, 500),
    ("DELETE", "database/{db}", "database/oa2", None, 200),
    ("DELETE", "database/{db}", "database/oa2", None, 500),
    ("GET", "table/{db}", "table/oa", None, 200),
    ("GET", "table/{db}", "table/oa", None, 401, WRONG),
    ("GET", "table/{db}", "table/nodb", None, 404),
    ("GET", "table/{db}", "table/" + BAD_DB, None, 500),
    ("POST", "table/{db}/{table}", "table/oa/t2", {"fields": [{"name": "k", "type": "INTEGER"}]}, 200),
    ("POST", "table/{db}/{table}", "table/oa/t2", {"fields": [{"name": "k", "type": "INTEGER"}]}, 409),
    ("POST", "table/{db}/{table}", "table/oa/t3", "{", 400),
    ("POST", "table/{db}/{table}", "table/oa/t3", {"fields": [{"name": "k", "type": "INTEGER"}]}, 401, WRONG),
    ("POST", "table/{db}/{table}", "table/nodb/t3", {"fields": [{"name": "k", "type": "INTEGER"}]}, 404),
    ("POST", "table/{db}/{table}", "table/oa/t3", '{"remarks": "%s"}' % ("x" * (256 << 10)), 413),
    ("POST", "table/{db}/{table}", "table/oa/" + "t" * 300, {"fields": [{"name": "k", "type": "INTEGER"}]}, 500),
    ("PUT", "table/{db}/{table}", "table/oa/t2", {"fields": [{"name": "k", "type": "INTEGER"},
                                                            {"name": "v", "type": "INTEGER"}]}, 200),
    ("PUT", "table/{db}/{table}", "table/oa/t2", "[", 400),
    ("PUT", "table/{db}/{table}", "table/oa/t2", {}, 401, WRONG),
    ("PUT", "table/{db}/{table}", "table/oa/nosuch", {}, 404),
    ("PUT", "table/{db}/{table}", "table/oa/t2", '{"remarks": "%s"}' % ("x" * (256 << 10)), 413),
    ("PUT", "table/{db}/{table}", "table/oa/t2", {"fields": []}, 500),
    ("GET", "table/{db}/{table}", "table/oa/cust", None, 200),
    ("GET", "table/{db}/{table}", "table/oa/cust", None, 401, WRONG),
    ("GET", "table/{db}/{table}", "table/oa/nosuch", None, 404),
    ("GET", "table/{db}/{table}", "table/%s/cust" % BAD_DB, None, 500),
    ("DELETE", "table/{db}/{table}", "table/oa/t2", None, 200),
    ("DELETE", "table/{db}/{table}", "table/oa/t2", None, 401, WRONG),
    ("DELETE", "table/{db}/{table}", "table/nodb/t2", None, 404),
    ("DELETE", "table/{db}/{table}", "table/oa/t2", None, 500),
    ("POST", "index/{db}/{table}/{index}", "index/oa/cust/byname", {"fields": [{"name": "custname"}]}, 200),
    ("POST", "index/{db}/{table}/{index}", "index/oa/cust/byname", {"fields": [{"name": "custname"}]}, 500),
    ("POST", "index/{db}/{table}/{index}", "index/oa/cust/i", "{", 400),
    ("POST", "index/{db}/{table}/{index}", "index/oa/cust/i", {"fields": [{"name": "custname"}]}, 401, WRONG),
    ("POST", "index/{db}/{table}/{index}", "index/oa/cust/i", {"fields": [{"name": "nosuch"}]}, 404),
    ("POST", "index/{db}/{table}/{index}", "index/oa/cust/i", '{"x": "%s"}' % ("x" * (64 << 10)), 413),
    ("PUT", "index/{db}/{table}/{index}", "index/oa/cust/byname",
     {"unique": False, "fields": [{"name": "custname", "ascending": False}]}, 200),
    ("PUT", "index/{db}/{table}/{index}", "index/oa/cust/byname", "x", 400),
    ("PUT", "index/{db}/{table}/{index}", "index/oa/cust/byname", {}, 401, WRONG),
    ("PUT", "index/{db}/{table}/{index}", "index/oa/nosuch/byname", {}, 404),
    ("PUT", "index/{db}/{table}/{index}", "index/oa/cust/byname", '{"x": "%s"}' % ("x" * (64 << 10)), 413),
    ("PUT", "index/{db}/{table}/{index}", "index/oa/cust/nosuch", {}, 500),
    ("GET", "index/{db}/{table}/{index}", "index/oa/cust/byname", None, 200),
    ("GET", "index/{db}/{table}/{index}", "index/oa/cust/byname", None, 401, WRONG),
    ("GET", "index/{db}/{table}/{index}", "index/oa/cust/nosuch", None, 404),
    ("GET", "index/{db}/{table}/{index}", "index/%s/cust/byname" % BAD_DB, None, 500),
    ("DELETE", "index/{db}/{table}/{index}", "index/oa/cust/byname", None, 200),
    ("DELETE", "index/{db}/{table}/{index}", "index/oa/cust/byname", None, 401, WRONG),
    ("DELETE", "index/{db}/{table}/{index}", "index/oa/cust/byname", None, 404),
    ("DELETE", "index/{db}/{table}/{index}", "index/%s/cust/byname" % BAD_DB, None, 500),
    ("GET", "index/{db}/{table}", "index/oa/cust", None, 200),
    ("GET", "index/{db}/{table}", "index/oa/cust", None, 401, WRONG),
    ("GET", "index/{db}/{table}", "index/oa/nosuch", None, 404),
    ("GET", "index/{db}/{table}", "index/%s/cust" % BAD_DB, None, 500),
    ("POST", "record/{db}/{table}", "record/oa/cust", {"custnumb": "0003", "custname": "Cy", "custrtng": 3}, 200),
    ("POST", "record/{db}/{table}", "record/oa/cust", [{"custnumb": "0004"}, {"custnumb": "0005"}], 200),
    ("POST", "record/{db}/{table}", "record/oa/cust", {"custnumb": "0001"}, 409),
    ("POST", "record/{db}/{table}", "record/oa/cust", "nope", 400),
    ("POST", "record/{db}/{table}", "record/oa/cust", {"custnumb": "0006"}, 401, WRONG),
    ("POST", "record/{db}/{table}", "record/oa/nosuch", {"custnumb": "0006"}, 404),
    ("POST", "record/{db}/{table}", "record/oa/cust", rest.big_array(100001), 413),
    ("POST", "record/{db}/{table}", "record/%s/cust" % BAD_DB, {"custnumb": "0006"}, 500),
    ("GET", "record/{db}/{table}/{id}", "record/oa/cust/1", None, 200),
    ("GET", "record/{db}/{table}/{id}", "record/oa/cust/1", None, 401, WRONG),
    ("GET", "record/{db}/{table}/{id}", "record/oa/cust/999", None, 404),
    ("GET", "record/{db}/{table}/{id}", "record/%s/cust/1" % BAD_DB, None, 500),
]
for _method in ("PUT", "PATCH"):
    ROUTE_CASES += [
        (_method, "record/{db}/{table}/{id}", "record/oa/cust/1", {"custnumb": "0001", "custname": "Ann"}, 200),
        (_method, "record/{db}/{table}/{id}", "record/oa/cust/2", {"custnumb": "0001"}, 409),
        (_method, "record/{db}/{table}/{id}", "record/oa/cust/1", "x", 400),
        (_method, "record/{db}/{table}/{id}", "record/oa/cust/1", {}, 401, WRONG),
        (_method, "record/{db}/{table}/{id}", "record/oa/cust/999", {}, 404),
        (_method, "record/{db}/{table}/{id}", "record/oa/cust/1", rest.big_array(100001), 413),
        (_method, "record/{db}/{table}/{id}", "record/%s/cust/1" % BAD_DB, {}, 500),
    ]
_FIND = {"find": {"custnumb": {"operator": ">=", "value": "0000"}}}
ROUTE_CASES += [
    ("DELETE", "record/{db}/{table}/{id}", "record/oa/cust/5", None, 200),
    ("DELETE", "record/{db}/{table}/{id}", "record/oa/cust/4", None, 401, WRONG),
    ("DELETE", "record/{db}/{table}/{id}", "record/oa/cust/5", None, 404),
    ("DELETE", "record/{db}/{table}/{id}", "record/%s/cust/4" % BAD_DB, None, 500),
    ("POST", "query/{db}/{table}/{index}", "query/oa/cust/bynumb?top=3&skip=1", _FIND, 200),
    ("POST", "query/{db}/{table}/{index}", "query/oa/cust/bynumb", _FIND, 400),
    ("POST", "query/{db}/{table}/{index}", "query/oa/cust/bynumb?top=1", _FIND, 401, WRONG),
    ("POST", "query/{db}/{table}/{index}", "query/oa/cust/nosuch?top=1", _FIND, 404),
    ("POST", "query/{db}/{table}/{index}", "query/oa/cust/bynumb?top=1", '{"find": %s}' % rest.big_array(20000), 413),
    ("POST", "query/{db}/{table}/{index}", "query/%s/cust/bynumb?top=1" % BAD_DB, _FIND, 500),
    # A range over the second segment of an index without its first.
    ("POST", "query/{db}/{table}/{index}", "query/oa/cust/pair?top=1",
     {"find": {"custrtng": {"operator": ">=", "value": 0}}}, 501),
]
# Not brought about by a quick request: a reply refused because the requests
# in flight hold the memory budget, and a document that cannot be copied.
UNREACHED_STATUSES = {"503"}
UNREACHED = {("openapi", "get", "500")}


class OpenApiTest(unittest.TestCase):
    """The document served is the source's openapi.json; every route of it is
    driven to each status it declares, every status received is declared for
    its operation, and every reply's body fits the declared response."""

    @classmethod
    def setUpClass(cls):
        status, headers, cls.doc, cls.payload = call("GET", "/api/v1/openapi", credentials=None)
        assert status == 200, cls.payload
        rest.create_db("oa")
        status, _, body, _ = call("POST", "/api/v1/table/oa/cust", {"fields": [
            {"name": "custnumb", "type": "CHAR", "length": 4}, {"name": "custname", "type": "VARCHAR", "length": 20},
            {"name": "custrtng", "type": "INTEGER"}]})
        assert status == 200, body
        for name, index in (("bynumb", {"unique": True, "fields": [{"name": "custnumb"}]}),
                            ("pair", {"fields": [{"name": "custname"}, {"name": "custrtng"}]})):
            status, _, body, _ = call("POST", "/api/v1/index/oa/cust/" + name, index)
            assert status == 200, body
        rest.insert("oa", "cust", [{"custnumb": "0001", "custname": "Ann", "custrtng": 1},
                                   {"custnumb": "0002", "custname": "Bo", "custrtng": 2}])

    def test_the_served_document_is_the_source_file(self):
        with open(DOCUMENT_FILE, "rb") as f:
            text = f.read()
        self.assertEqual(self.payload + b"\n", text)
        self.assertEqual(self.doc, json.loads(text))

    def response_of(self, route, method, status):
        operation = self.doc["paths"]["/quarn/api/v1/" + route][method.lower()]
        response = operation["responses"].get(str(status))
        if response is None:
            return None
        while "$ref" in response:
            response = self.resolve(response["$ref"])
        return response

    def resolve(self, ref):
        node = self.doc
        for part in ref[2:].split("/"):
            node = node[part]
        return node

    def check_body(self, response, payload):
        content = response.get("content")
        if content is None:
            self.assertEqual(payload, b"", "the document declares no body")
            return
        schema = content["application/json"]["schema"]
        # The document's references resolve inside the schema checked.
        jsonschema.Draft4Validator({"allOf": [schema], "components": self.doc["components"]}).validate(
            json.loads(payload))

    def test_every_route_answers_what_the_document_declares(self):
        reached = set()
        for case in ROUTE_CASES:
            method, route, path, body, status = case[:5]
            credentials = case[5] if len(case) > 5 else rest.ADMIN
            with self.subTest(method=method, path=path, status=status):
                reply = call(method, "/api/v1/" + path, body, raw=isinstance(body, str),
                             credentials=None if route == "openapi" else credentials)
                if credentials is WRONG:
                    # A right log-on clears the address's failures, so that none is slowed.
                    self.assertEqual(call("GET", "/api/v1/database")[0], 200)
                self.assertEqual(reply[0], status, reply[3][:300])
                response = self.response_of(route, method, status)
                self.assertIsNotNone(response, "%s %s answers %d, which the document does not declare"
                                     % (method, route, status))
                self.check_body(response, reply[3])
                reached.add((route, method.lower(), str(status)))
        declared = {(path[len("/quarn/api/v1/"):], method, status)
                    for path, item in self.doc["paths"].items() for method, operation in item.items()
                    for status in operation["responses"]}
        unreached = {entry for entry in declared - reached
                     if entry not in UNREACHED and entry[2] not in UNREACHED_STATUSES}
        self.assertEqual(unreached, set(), "declared but never answered")


class UnlinkedServer(RunningHeron):
    """Serves the REST application under "rest" with no linked database server."""

    def __init__(self):
        super().__init__("schema-rest-", ["rest;gannet"])

    def prepare(self):
        path = self.path("config/osprey.json")
        with open(path) as f:
            settings = json.load(f)
        del settings["linked_vix_server"]
        with open(path, "w") as f:
            json.dump(settings, f)


class OtherPrefixTest(unittest.TestCase):
    """Served under a prefix other than the source's, the document names the
    paths that answer, and a configuration that links no database server says
    so at start."""

    @classmethod
    def setUpClass(cls):
        cls.server = UnlinkedServer()

    @classmethod
    def tearDownClass(cls):
        log = cls.server.finish()
        if sanitizer_report(log):
            raise AssertionError(log)

    def request(self, method, path, body=None):
        conn = http.client.HTTPConnection("127.0.0.1", self.server.port, timeout=60)
        try:
            conn.request(method, path, body=body, headers={"Authorization": rest.auth_header(*rest.ADMIN)})
            reply = conn.getresponse()
            payload = reply.read()
        finally:
            conn.close()
        return reply.status, json.loads(payload) if payload[:1] == b"{" else None, payload

    def test_every_path_of_the_document_answers(self):
        status, doc, payload = self.request("GET", "/rest/api/v1/openapi")
        self.assertEqual(status, 200, payload)
        with open(DOCUMENT_FILE) as f:
            source = json.load(f)
        self.assertEqual(doc["servers"], source["servers"])
        self.assertEqual(sorted(doc["paths"]), sorted("/rest" + key[len("/quarn"):] for key in source["paths"]))
        names = {"{db}": "pk", "{table}": "t", "{index}": "i", "{id}": "1"}
        for key, item in doc["paths"].items():
            path = key
            for placeholder, name in names.items():
                path = path.replace(placeholder, name)
            for method in item:
                with self.subTest(method=method, path=path):
                    body = "{}" if method in ("post", "put", "patch") else None
                    status, reply, payload = self.request(method.upper(), path, body)
                    # The application answered: its replies carry its own error members.
                    self.assertTrue(status != 404 or (reply and "_errorCode" in reply), (status, payload[:300]))
        # The old prefix is no route of this server.
        self.assertEqual(self.request("GET", "/quarn/api/v1/openapi")[0], 404)

    def test_a_missing_linked_server_is_named_at_start(self):
        self.assertIn("[linked_vix_server] is missing", self.server.log())
        status, reply, payload = self.request("GET", "/rest/api/v1/database")
        self.assertEqual((status, reply and reply["_errorCode"]), (500, 4201), payload)


def main():
    run_with_server(Server(), sys.modules[__name__], rest)


if __name__ == "__main__":
    main()
