"""The REST application gannet through a running heron: every route and
method with real HTTP requests, the engine's writes read back with the
sqlite3 shell, every error status, the OpenAPI document, and pools under
clients with different credentials."""
import base64
import http.client
import json
import os
import re
import socket
import subprocess
import sys
import threading
import time
import unittest
import urllib.parse

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../common"))
from peers import ResidentGrowth, RunningHeron, free_port, run_with_server, wait_for, wait_port  # noqa: E402

ADMIN = ("ADMIN", "TRUVE")
IDLE_SECONDS = 1
MEMORY_BUDGET = 16 << 20  # lowered so that the bounds show with small requests


class Server(RunningHeron):
    """One heron serving gannet under "quarn" on a free HTTP port."""

    def __init__(self, env=None):
        os.environ["GANNET_IDLE_TIMEOUT"] = str(IDLE_SECONDS)
        os.environ["GANNET_MEMORY_BUDGET"] = str(MEMORY_BUDGET)
        super().__init__("gannet-", ["quarn;gannet"], env=env)

    stop = RunningHeron.finish


SERVER = None


def auth_header(user, password):
    return "Basic " + base64.b64encode(("%s:%s" % (user, password)).encode()).decode()


def call(method, path, body=None, credentials=ADMIN, raw=False, headers=None, conn=None):
    """(status, headers, parsed body or None, raw body bytes)."""
    own = conn is None
    conn = conn or http.client.HTTPConnection("127.0.0.1", SERVER.port, timeout=60)
    h = dict(headers or {})
    if credentials:
        h["Authorization"] = auth_header(*credentials)
    data = body if raw or body is None else json.dumps(body)
    conn.request(method, "/quarn" + path, body=data, headers=h)
    reply = conn.getresponse()
    payload = reply.read()
    if own:
        conn.close()
    parsed = json.loads(payload) if payload and payload[:1] in (b"{", b"[") else None
    return reply.status, reply.headers, parsed, payload


def create_db(name):
    status, _, body, _ = call("POST", "/api/v1/database/" + name)
    assert status == 200, body


def create_customers(db, table="cust"):
    status, _, body, _ = call("POST", "/api/v1/table/%s/%s" % (db, table), {"fields": [
        {"name": "custnumb", "type": "CHAR", "length": 4},
        {"name": "custname", "type": "varchar", "length": 20},
        {"name": "custrtng", "type": "INTEGER"},
        {"name": "balance", "type": "DOUBLE"},
        {"name": "active", "type": "BIT"},
        {"name": "notes", "type": "LVARCHAR", "length": 30000}]})
    assert status == 200, body


def insert(db, table, rows):
    status, _, body, _ = call("POST", "/api/v1/record/%s/%s" % (db, table), rows)
    assert status == 200, body
    return body["_ids"] if isinstance(rows, list) else body["_id"]


class ServerTest(unittest.TestCase):
    def assertError(self, reply, status, code, message=None):
        self.assertEqual(reply[0], status, reply[3])
        if code is None:
            self.assertEqual(reply[3], b"")
            return
        self.assertEqual(reply[2]["_errorCode"], code, reply[3])
        self.assertEqual(sorted(reply[2]), ["_errorCode", "_errorMessage"])
        if message is not None:
            self.assertEqual(reply[2]["_errorMessage"], message)


class RoutingTest(ServerTest):
    def test_uri_grammar_and_router_errors(self):
        create_db("route")
        cases = [
            ("GET", "/api/v1", 400, 14003, "missing resource-type"),
            ("GET", "/api/v1/", 400, 14003, "missing resource-type"),
            ("GET", "/api/v2/table/x", 404, 14001, "unsupported API version number"),
            ("GET", "/api/v1beta/table/route", 200, None, None),
            ("GET", "/api/v1/nothing", 400, 14003, "unknown resource type"),
            ("OPTIONS", "/api/v1/nothing", 400, 14003, "unknown resource type"),
            ("GET", "/api/v1/database/x", 400, 14006, "URL format not compliant, too many levels"),
            ("POST", "/api/v1/database", 400, 14002, "missing database name"),
            ("GET", "/api/v1/table", 400, 14002, "missing database name"),
            ("POST", "/api/v1/table/route", 400, 14004, "missing resource name"),
            ("POST", "/api/v1/index/route/t", 400, 14005, "missing index name"),
            ("DELETE", "/api/v1/record/route/t", 400, 14005, "missing record id"),
            ("POST", "/api/v1/record/route/t/5", 400, 14006, "URL format not compliant, too many levels"),
            ("PUT", "/api/v1/database/route", 501, 14000, "Database request not available"),
            ("PATCH", "/api/v1/database/route", 501, 14000, "Database request not available"),
        ]
        for method, path, status, code, message in cases:
            with self.subTest(method=method, path=path):
                reply = call(method, path, {} if method in ("POST", "PUT", "PATCH") else None)
                if code is None:
                    self.assertEqual(reply[0], status, reply[3])
                else:
                    self.assertError(reply, status, code, message)
        # Not this application's: static serving answers.
        for method, path in (("GET", "/API/v1/table/x"), ("GET", "/api/x1/table/x"), ("PUT", "/api/v1/openapi")):
            with self.subTest(path=path):
                reply = call(method, path, "" if method == "PUT" else None, raw=True)
                self.assertIn(reply[0], (403, 404, 405), reply[3])
                self.assertNotIn(b"_errorCode", reply[3])

    def test_query_only_by_post_and_without_index(self):
        create_db("routeq")
        create_customers("routeq")
        reply = call("GET", "/api/v1/query/routeq/cust/i1")
        self.assertEqual(reply[0], 405)
        self.assertEqual(reply[3], b"")
        reply = call("POST", "/api/v1/query/routeq?top=1", {})
        self.assertEqual((reply[0], reply[3]), (501, b""))
        reply = call("POST", "/api/v1/query/routeq/cust?top=1", {})
        self.assertEqual((reply[0], reply[3]), (501, b""))

    def test_empty_segment_ends_the_path(self):
        create_db("routee")
        create_customers("routee")
        reply = call("GET", "/api/v1/table/routee//cust")
        self.assertEqual(reply[0], 200)
        self.assertIn("cust", reply[2]["_tables"])

    def test_options_replies_are_framed_exactly(self):
        sock_reply = raw_exchange(b"OPTIONS /quarn/api/v1/table HTTP/1.1\r\nHost: x\r\n\r\n")
        self.assertIn(b"Access-Control-Allow-Headers:authorization,content-type\r\n", sock_reply)
        self.assertIn(b"Allow: OPTIONS, GET, POST, PUT, PATCH, DELETE\r\n", sock_reply)
        self.assertIn(b"Content-Length: 0\r\n", sock_reply)
        sock_reply = raw_exchange(b"OPTIONS /quarn/api/v1/openapi HTTP/1.1\r\nHost: x\r\n\r\n")
        self.assertIn(b"Allow: OPTIONS, GET\r\n", sock_reply)
        # Many at once on one connection: every reply whole, none overruns another.
        many = b"OPTIONS /quarn/api/v1/index HTTP/1.1\r\nHost: x\r\n\r\n" * 50
        replies = raw_exchange(many, count=50)
        self.assertEqual(replies.count(b"HTTP/1.1 200"), 50)

    def test_bodies_that_are_not_the_json_needed(self):
        create_db("routeb")
        create_customers("routeb")
        rid = insert("routeb", "cust", {"custnumb": "0001"})
        cases = [
            ("POST", "/api/v1/table/routeb/t1", "", 400, 14012),
            ("POST", "/api/v1/table/routeb/t1", "{not json", 400, 14012),
            ("POST", "/api/v1/table/routeb/t1", "null", 400, 14013),
            ("PUT", "/api/v1/table/routeb/cust", "[1]", 400, 14013),
            ("POST", "/api/v1/index/routeb/cust/i", "null", 400, 14013),
            ("POST", "/api/v1/index/routeb/cust/i", "", 400, 14012),
            ("POST", "/api/v1/record/routeb/cust", "null", 400, 14013),
            ("PATCH", "/api/v1/record/routeb/cust/%d" % rid, "7", 400, 14013),
            ("POST", "/api/v1/query/routeb/cust/x?top=1", "null", 404, 4212),
        ]
        for method, path, body, status, code in cases:
            with self.subTest(method=method, path=path, body=body):
                self.assertError(call(method, path, body, raw=True), status, code)

    def test_openapi_describes_the_replies_given(self):
        doc = call("GET", "/api/v1/openapi", credentials=None)[2]
        create_db("quarnrp")
        create_customers("quarnrp")
        post = doc["paths"]["/quarn/api/v1/record/{db}/{table}"]["post"]["responses"]["200"]
        schema = doc["components"]["responses"][post["$ref"].split("/")[-1]]["content"]["application/json"]["schema"]
        for body in ({"custnumb": "0001"}, [{"custnumb": "0002"}, {"custnumb": "0003"}], [{"custnumb": "0004"}]):
            reply = call("POST", "/api/v1/record/quarnrp/cust", body)
            with self.subTest(reply=reply[2]):
                self.assertEqual(reply[0], 200)
                self.assertTrue(schema_matches(doc, schema, reply[2]))
        self.assertFalse(schema_matches(doc, schema, {"_id": 1, "_ids": [1]}))
        # An index segment's "size" is the integer the handler takes, not a text.
        status, _, body, _ = call("POST", "/api/v1/table/quarnrp/docs", {"fields": [{"name": "doc", "type": "JSON"}]})
        self.assertEqual(status, 200, body)
        segment = doc["components"]["schemas"]["Index"]["properties"]["fields"]["items"]
        for size, status in ((20, 200), ("20", 400)):
            with self.subTest(size=size):
                index = {"fields": [{"name": "doc", "key": "who", "type": "string", "size": size}]}
                self.assertEqual(schema_matches(doc, segment, index["fields"][0]), status == 200)
                self.assertEqual(call("POST", "/api/v1/index/quarnrp/docs/i%s" % status, index)[0], status)
        # The server entry resolves to the address the document came from, whatever its port.
        base = "http://127.0.0.1:%d/quarn/api/v1/openapi" % SERVER.port
        self.assertEqual(urllib.parse.urljoin(base, doc["servers"][0]["url"]), "http://127.0.0.1:%d/" % SERVER.port)

    def test_openapi_document(self):
        status, headers, doc, payload = call("GET", "/api/v1/openapi/anything", credentials=None)
        self.assertEqual(status, 200)
        self.assertEqual(int(headers["Content-Length"]), len(payload))
        self.assertEqual(headers["Access-Control-Allow-Origin"], "*")
        self.assertEqual(doc["openapi"], "3.0.0")
        self.assertTrue(payload.isascii() and not payload.endswith(b"\n"))
        check_openapi(self, doc)
        # Every operation is reachable through the router with its method and path shape.
        create_db("quarnapi")
        for path, item in doc["paths"].items():
            for method in item:
                concrete = path.replace("/quarn", "").replace("{db}", "quarnapi").replace("{table}", "nosuch")
                concrete = concrete.replace("{id}", "1").replace("{index}", "i")
                if "query" in concrete:
                    concrete += "?top=1"
                reply = call(method.upper(), concrete, {} if method in ("post", "put", "patch") else None)
                with self.subTest(method=method, path=path):
                    self.assertNotIn(reply[0], (405, 501))
                    if reply[0] != 200:
                        self.assertIn("_errorCode", reply[2])


def schema_matches(doc, schema, value):
    """Whether value fits schema, for the keywords the document's reply schemas use."""
    while "$ref" in schema:
        node = doc
        for part in schema["$ref"][2:].split("/"):
            node = node[part]
        schema = node
    if "oneOf" in schema:
        return sum(schema_matches(doc, s, value) for s in schema["oneOf"]) == 1
    kinds = {"object": dict, "array": list, "string": str, "boolean": bool, "integer": int, "number": (int, float)}
    kind = schema.get("type")
    if kind and (not isinstance(value, kinds[kind]) or (kind in ("integer", "number") and isinstance(value, bool))):
        return False
    if isinstance(value, dict):
        properties = schema.get("properties", {})
        if any(name not in value for name in schema.get("required", [])):
            return False
        for name, member in value.items():
            if name in properties:
                if not schema_matches(doc, properties[name], member):
                    return False
            elif schema.get("additionalProperties") is False:
                return False
    if isinstance(value, list) and "items" in schema:
        return all(schema_matches(doc, schema["items"], item) for item in value)
    return True


def check_openapi(test, doc):
    """The OpenAPI 3.0 structure: required members, resolvable references,
    declared path parameters, responses on every operation."""
    for key in ("openapi", "info", "paths"):
        test.assertIn(key, doc)
    test.assertTrue({"title", "version"} <= set(doc["info"]))

    def resolve(ref):
        test.assertTrue(ref.startswith("#/"), ref)
        node = doc
        for part in ref[2:].split("/"):
            test.assertIn(part, node, ref)
            node = node[part]
        return node

    def walk(node):
        if isinstance(node, dict):
            if "$ref" in node:
                resolve(node["$ref"])
            for value in node.values():
                walk(value)
        elif isinstance(node, list):
            for value in node:
                walk(value)

    walk(doc)
    operations = 0
    for path, item in doc["paths"].items():
        test.assertTrue(path.startswith("/"))
        templated = set(re.findall(r"{(\w+)}", path))
        for method, operation in item.items():
            test.assertIn(method, ("get", "put", "post", "delete", "options", "head", "patch", "trace"))
            test.assertTrue(operation["responses"])
            for status in operation["responses"]:
                test.assertTrue(status == "default" or re.fullmatch(r"[1-5]\d\d", status))
            params = [p if "$ref" not in p else resolve(p["$ref"]) for p in operation.get("parameters", [])]
            in_path = {p["name"] for p in params if p["in"] == "path"}
            test.assertEqual(in_path, templated, path)
            for p in params:
                test.assertIn(p["in"], ("path", "query", "header", "cookie"))
                if p["in"] == "path":
                    test.assertTrue(p["required"])
            operations += 1
    test.assertEqual(operations, 20)
    for name, scheme in doc["components"]["securitySchemes"].items():
        test.assertEqual((scheme["type"], scheme["scheme"]), ("http", "basic"))


def raw_exchange(request, count=1):
    import socket
    with socket.create_connection(("127.0.0.1", SERVER.port), timeout=30) as s:
        s.sendall(request)
        data = b""
        deadline = time.time() + 30
        while data.count(b"HTTP/1.1 ") < count or not data.endswith(b"\r\n\r\n"):
            if time.time() > deadline:
                break
            chunk = s.recv(65536)
            if not chunk:
                break
            data += chunk
        return data


class DatabaseTest(ServerTest):
    def test_create_list_delete(self):
        self.assertEqual(call("POST", "/api/v1/database/dbone")[0], 200)
        self.assertTrue(os.path.exists(SERVER.db_file("dbone")))
        status, _, body, payload = call("GET", "/api/v1/database")
        self.assertEqual(status, 200)
        self.assertEqual(list(body), ["_databases"])
        self.assertIn("dbone", body["_databases"])
        reply = call("POST", "/api/v1/database/dbone")
        self.assertError(reply, 500, 4209, "can't create database")
        self.assertEqual(call("DELETE", "/api/v1/database/dbone")[0], 200)
        self.assertFalse(os.path.exists(SERVER.db_file("dbone")))
        self.assertNotIn("dbone", call("GET", "/api/v1/database")[2]["_databases"])
        self.assertError(call("DELETE", "/api/v1/database/dbone"), 500, 101, "can't delete database")
        self.assertError(call("POST", "/api/v1/database/bad-name"), 500, 4201, "can't create database")

    def test_delete_right_after_a_read_closes_the_pools_idle_connections(self):
        self.assertEqual(call("POST", "/api/v1/database/dbread")[0], 200)
        self.assertEqual(call("GET", "/api/v1/table/dbread")[0], 200)  # leaves a pooled connection idle
        self.assertEqual(call("DELETE", "/api/v1/database/dbread")[0], 200)
        self.assertFalse(os.path.exists(SERVER.db_file("dbread")))

    def test_refused_logons_on_the_database_resource(self):
        self.assertError(call("POST", "/api/v1/database/x", credentials=("ADMIN", "nope")), 500, 450,
                         "can't create session")
        self.assertError(call("GET", "/api/v1/database", credentials=("nobody", "x")), 500, 451,
                         "can't create connection")
        self.assertError(call("DELETE", "/api/v1/database/x", credentials=None), 500, 451,
                         "can't create connection")


class TableTest(ServerTest):
    def test_define_read_alter_delete(self):
        create_db("tdb")
        create_customers("tdb")
        cols = SERVER.sql("tdb", "SELECT name FROM pragma_table_info('cust')").split()
        self.assertEqual(cols[-6:], ["custnumb", "custname", "custrtng", "balance", "active", "notes"])
        self.assertEqual(SERVER.sql("tdb", "SELECT type, length, binary_flag FROM rl_fields WHERE tbl='cust' AND name='custname'"),
                         "162|22|4")
        status, _, body, _ = call("GET", "/api/v1/table/tdb/cust")
        self.assertEqual(status, 200)
        self.assertEqual(body["fields"][1], {"name": "custname", "type": "VARCHAR", "length": 20})
        self.assertEqual(body["fields"][0], {"name": "custnumb", "type": "CHAR", "length": 4})
        self.assertEqual(body["fields"][2], {"name": "custrtng", "type": "INTEGER"})
        # Money with a large precision, auto time stamps, JSON.
        status, _, body, _ = call("POST", "/api/v1/table/tdb/t2", {"remarks": {"x": 1}, "fields": [
            {"name": "m", "type": "MONEY", "precision": 20}, {"name": "n", "type": "NUMBER", "precision": 10, "scale": 2},
            {"name": "ts", "type": "TIMESTAMP", "autosystemtime": {"create": True, "update": True}},
            {"name": "j", "type": "JSON", "length": 99}]})
        self.assertEqual(status, 200, body)
        fields = call("GET", "/api/v1/table/tdb/t2")[2]["fields"]
        self.assertEqual(fields, [{"name": "m", "type": "MONEY", "precision": 20},
                                  {"name": "n", "type": "NUMBER", "precision": 10, "scale": 2},
                                  {"name": "ts", "type": "TIMESTAMP", "autosystemtime": {"create": True, "update": True}},
                                  {"name": "j", "type": "JSON"}])
        self.assertEqual(SERVER.sql("tdb", "SELECT type, binary_flag FROM rl_fields WHERE tbl='t2' AND name='m'"), "105|7")
        self.assertIn("t2", call("GET", "/api/v1/table/tdb")[2]["_tables"])
        # Records keep their values when an alteration drops and reorders fields.
        insert("tdb", "cust", [{"custnumb": "0001", "custname": "Ann", "custrtng": 3}])
        status, _, body, _ = call("PUT", "/api/v1/table/tdb/cust", {"fields": [
            {"name": "custrtng", "type": "INTEGER"}, {"name": "custname", "type": "VARCHAR", "length": 22},
            {"name": "city", "type": "CHAR", "length": 10}]})
        self.assertEqual(status, 200, body)
        self.assertEqual([f["name"] for f in call("GET", "/api/v1/table/tdb/cust")[2]["fields"]],
                         ["custrtng", "custname", "city"])
        self.assertEqual(SERVER.sql("tdb", "SELECT custrtng, custname, city IS NULL FROM cust"), "3|Ann|1")
        self.assertEqual(call("DELETE", "/api/v1/table/tdb/t2")[0], 200)
        self.assertEqual(SERVER.sql("tdb", "SELECT count(*) FROM sqlite_master WHERE name='t2'"), "0")
        self.assertNotIn("t2", call("GET", "/api/v1/table/tdb")[2]["_tables"])

    def test_table_errors(self):
        create_db("tdberr")
        create_customers("tdberr")
        cases = [
            ("POST", "cust", {"fields": [{"name": "a", "type": "CHAR", "length": 1}]}, 409, 18),
            ("GET", "nosuch", None, 404, 4023),
            ("PUT", "nosuch", {"fields": []}, 404, 4023),
            ("DELETE", "nosuch", None, 500, 4023),
            ("PATCH", "cust", {}, 501, 14000),
            ("POST", "t", {"fields": [{"name": "a", "type": "FOO"}]}, 400, 14013),
            ("POST", "t", {"fields": [{"name": "a", "type": "CHAR"}]}, 400, 14013),
            ("POST", "t", {"fields": [{"name": "a", "type": "NUMBER"}]}, 400, 14013),
            ("POST", "t", {"fields": [{"name": "a"}]}, 400, 14013),
            ("POST", "t", {"fields": [5]}, 400, 14013),
            ("POST", "t", {"fields": {}}, 400, 14013),
            ("POST", "t", {"other": 1}, 400, 14013),
            ("POST", "t", {}, 400, 14013),
            ("POST", "t", {"fields": []}, 400, 14013),
            ("POST", "t", {"remarks": {}}, 400, 14013),
            ("POST", "t", {"fields": [{"name": "a", "type": "BIT", "autosystemtime": {"when": 1}}]}, 400, 14013),
            ("POST", "t-1", {"fields": [{"name": "a", "type": "BIT"}]}, 500, 4201),
            ("PUT", "cust", {"fields": [{"name": "custnumb", "type": "CHAR", "length": 9}]}, 400, 14013),
            # Lengths outside the type's range, overflowing ones included.
            ("POST", "t", {"fields": [{"name": "a", "type": "VARCHAR", "length": 2147483647}]}, 400, 14013),
            ("POST", "t", {"fields": [{"name": "a", "type": "LVARCHAR", "length": 2147483647}]}, 400, 14013),
            ("POST", "t", {"fields": [{"name": "a", "type": "BLOB", "length": 4294967296}]}, 400, 14013),
            ("POST", "t", {"fields": [{"name": "a", "type": "CHAR", "length": -5}]}, 400, 14013),
            ("POST", "t", {"fields": [{"name": "a", "type": "BINARY", "length": 8193}]}, 400, 14013),
            ("POST", "t", {"fields": [{"name": "a", "type": "INTEGER", "length": -1}]}, 400, 14013),
            ("PUT", "cust", {"fields": [{"name": "x", "type": "VARCHAR", "length": -1}]}, 400, 14013),
            ("PUT", "cust", {"fields": [{"name": "x", "type": "LVARCHAR", "length": 3}]}, 400, 14013),  # below its prefix
        ]
        for method, table, body, status, code in cases:
            with self.subTest(method=method, table=table, body=body):
                self.assertError(call(method, "/api/v1/table/tdberr/" + table, body), status, code)
        reply = call("POST", "/api/v1/table/tdberr/t", {"fields": [{"name": "a", "type": "CHAR", "length": 0x7FFFFFFF}]})
        self.assertEqual(reply[2]["_errorMessage"],
                         "incorrect json format: 'length' 2147483647 is out of range for CHAR: 1 to 8192 in 'fields' element 1")
        self.assertEqual([f["length"] for f in call("GET", "/api/v1/table/tdberr/cust")[2]["fields"][:2]], [4, 20])
        # The edges of the ranges are taken.
        status, _, body, _ = call("POST", "/api/v1/table/tdberr/edges", {"fields": [
            {"name": "c", "type": "CHAR", "length": 8192}, {"name": "v", "type": "VARCHAR", "length": 1}]})
        self.assertEqual(status, 200, body)
        self.assertEqual([f.get("length") for f in call("GET", "/api/v1/table/tdberr/edges")[2]["fields"]], [8192, 1])
        reply = call("POST", "/api/v1/table/tdberr/t", {"fields": [{"name": "a", "type": "BIT"}], "x%sx%n": 1})
        self.assertEqual(reply[2]["_errorMessage"], "incorrect json format: 'x%sx%n' is invalid")
        self.assertEqual(SERVER.sql("tdberr", "SELECT count(*) FROM sqlite_master WHERE name='t'"), "0")


class IndexTest(ServerTest):
    def test_add_read_change_drop(self):
        create_db("idb")
        create_customers("idb")
        status, _, body, _ = call("POST", "/api/v1/index/idb/cust/byname", {
            "fields": [{"name": "custname"}, {"name": "custrtng", "ascending": False}]})
        self.assertEqual(status, 200, body)
        self.assertIn('"custname", "custrtng" DESC',
                      SERVER.sql("idb", "SELECT sql FROM sqlite_master WHERE type='index' AND name='cust.byname'"))
        self.assertEqual(call("GET", "/api/v1/index/idb/cust/byname")[2], {
            "unique": False, "fields": [{"name": "custname", "ascending": True}, {"name": "custrtng", "ascending": False}]})
        self.assertEqual(call("GET", "/api/v1/index/idb/cust")[2], {"_indexes": ["byname"]})
        status, _, body, _ = call("PUT", "/api/v1/index/idb/cust/byname", {"unique": True, "fields": [{"name": "custnumb"}]})
        self.assertEqual(status, 200, body)
        self.assertEqual(call("GET", "/api/v1/index/idb/cust/byname")[2], {
            "unique": True, "fields": [{"name": "custnumb", "ascending": True}, {"name": "custrtng", "ascending": False}]})
        self.assertIn("UNIQUE", SERVER.sql("idb", "SELECT sql FROM sqlite_master WHERE name='cust.byname'"))
        self.assertEqual(call("DELETE", "/api/v1/index/idb/cust/byname")[0], 200)
        self.assertEqual(SERVER.sql("idb", "SELECT count(*) FROM sqlite_master WHERE name='cust.byname'"), "0")
        self.assertEqual(call("GET", "/api/v1/index/idb/cust")[2], {"_indexes": []})

    def test_partition_index(self):
        create_db("ipdb")
        call("POST", "/api/v1/table/ipdb/ev", {"fields": [{"name": "ts", "type": "TIMESTAMP"}, {"name": "v", "type": "INTEGER"}]})
        status, _, body, _ = call("POST", "/api/v1/index/ipdb/ev/byts", {
            "partition": {"rule": "YEAR(ts)", "maximumactive": 5}, "fields": [{"name": "ts"}]})
        self.assertEqual(status, 200, body)
        table = call("GET", "/api/v1/table/ipdb/ev")[2]
        self.assertEqual(table["remarks"], {"partitioned": {"partition_index": "byts", "rule": "YEAR(ts)", "maximumactive": 5}})
        self.assertEqual(call("GET", "/api/v1/index/ipdb/ev/byts")[2]["partition"], {"rule": "YEAR(ts)", "maximumactive": 5})
        self.assertEqual(SERVER.sql("ipdb", "SELECT part_rule, part_max_active FROM rl_tables WHERE name='ev'"), "YEAR(ts)|5")

    def test_index_errors(self):
        create_db("idberr")
        create_customers("idberr")
        cases = [
            ("POST", "cust/i", {"fields": [{"name": "nosuch"}]}, 404, 4205),
            ("POST", "cust/i", {"unique": True}, 400, 14013),
            ("POST", "cust/i", {"fields": [{"name": "custname", "key": "a"}]}, 400, 14013),
            ("POST", "cust/i", {"fields": [{"name": 5}]}, 400, 14013),
            ("POST", "cust/i", {"fields": [{"name": "custname"}], "partition": {"rule": "1", "numberofbits": 33}}, 400, 14013),
            ("POST", "cust/i", {"fields": [{"name": "custname"}], "partition": {"rule": "1", "numberofbits": -1}}, 400, 14013),
            ("POST", "cust/i", {"fields": [{"name": "custname"}], "partition": {"maximumactive": 1}}, 400, 14013),
            ("POST", "nosuch/i", {"fields": [{"name": "custname"}]}, 404, 4023),
            ("GET", "cust/nosuch", None, 404, 4212),
            ("DELETE", "cust/nosuch", None, 404, 4212),
            ("PUT", "cust/nosuch", {"fields": []}, 500, 4212),
            ("PUT", "cust/nosuch", {}, 500, 4212),
            ("PATCH", "cust/i", {}, 501, 14000),
        ]
        for method, path, body, status, code in cases:
            with self.subTest(method=method, path=path, body=body):
                self.assertError(call(method, "/api/v1/index/idberr/" + path, body), status, code)
        self.assertEqual(SERVER.sql("idberr", "SELECT count(*) FROM sqlite_master WHERE type='index' AND name LIKE 'cust.%'"),
                         "0")


    def test_altered_table_read_from_other_pooled_connections(self):
        create_db("talt")
        self.assertEqual(call("POST", "/api/v1/table/talt/t", {"fields": [
            {"name": "a", "type": "INTEGER"}, {"name": "b", "type": "VARCHAR", "length": 9}]})[0], 200)
        insert("talt", "t", {"a": 1, "b": "one"})
        clients = [http.client.HTTPConnection("127.0.0.1", SERVER.port, timeout=60) for _ in range(6)]
        self.addCleanup(lambda: [c.close() for c in clients])

        def at_once(method, path, body=None):
            """The same request from every client at once: several pooled connections."""
            replies = [None] * len(clients)

            def one(i):
                replies[i] = call(method, path, body, conn=clients[i])[:3:2]
            threads = [threading.Thread(target=one, args=(i,)) for i in range(len(clients))]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
            return replies

        self.assertEqual(at_once("GET", "/api/v1/record/talt/t/1"), [(200, {"a": 1, "b": "one"})] * len(clients))
        # A field dropped, one added: every connection reads the new definition.
        altered = call("PUT", "/api/v1/table/talt/t", {"fields": [
            {"name": "a", "type": "INTEGER"}, {"name": "c", "type": "DOUBLE"}]})
        self.assertEqual(altered[0], 200, altered[3])
        self.assertEqual(at_once("GET", "/api/v1/record/talt/t/1"), [(200, {"a": 1, "c": None})] * len(clients))
        self.assertEqual([r[0] for r in at_once("POST", "/api/v1/record/talt/t", {"a": 2, "c": 2.5})],
                         [200] * len(clients))
        self.assertEqual(call("POST", "/api/v1/index/talt/t/ia", {"fields": [{"name": "a"}]})[0], 200)
        # Deleted and defined again with other fields.
        self.assertEqual(call("DELETE", "/api/v1/table/talt/t")[0], 200)
        self.assertEqual(call("POST", "/api/v1/table/talt/t", {"fields": [{"name": "z", "type": "VARCHAR",
                                                                           "length": 5}]})[0], 200)
        insert("talt", "t", {"z": "new"})
        self.assertEqual(at_once("GET", "/api/v1/record/talt/t/1"), [(200, {"z": "new"})] * len(clients))
        # A column renamed by an outside tool under the catalog: an error, never
        # the field's name read as its value.
        SERVER.sql("talt", 'ALTER TABLE t RENAME COLUMN z TO y')
        for status, body in at_once("GET", "/api/v1/record/talt/t/1"):
            self.assertNotEqual(status, 200, body)


class RecordTest(ServerTest):
    def test_post_get_put_patch_delete(self):
        create_db("rdb")
        create_customers("rdb")
        one = insert("rdb", "cust", {"custnumb": "0001", "custname": "Ann", "custrtng": 3, "balance": 1.5,
                                     "active": True})
        ids = insert("rdb", "cust", [{"custnumb": "0002", "custname": "Bob"}, {"custnumb": "0003", "custname": "Cy"}])
        self.assertEqual(len(ids), 2)
        self.assertEqual(SERVER.sql("rdb", "SELECT custnumb, custname, custrtng, balance, active FROM cust WHERE rowid=%d" % one),
                         "0001|Ann|3|1.5|1")
        status, _, body, _ = call("GET", "/api/v1/record/rdb/cust/%d" % one)
        self.assertEqual(status, 200)
        self.assertEqual(body, {"custnumb": "0001", "custname": "Ann", "custrtng": 3, "balance": 1.5, "active": True,
                                "notes": None})
        self.assertEqual(call("PATCH", "/api/v1/record/rdb/cust/%d" % one, {"custrtng": 4})[0], 200)
        self.assertEqual(SERVER.sql("rdb", "SELECT custname, custrtng FROM cust WHERE rowid=%d" % one), "Ann|4")
        self.assertEqual(call("PUT", "/api/v1/record/rdb/cust/%d" % one, {"custname": "Anne"})[0], 200)
        self.assertEqual(SERVER.sql("rdb", "SELECT custnumb IS NULL, custname, custrtng IS NULL FROM cust WHERE rowid=%d" % one),
                         "1|Anne|1")
        self.assertEqual(call("DELETE", "/api/v1/record/rdb/cust/%d" % one)[0], 200)
        self.assertEqual(SERVER.sql("rdb", "SELECT count(*) FROM cust"), "2")
        self.assertError(call("GET", "/api/v1/record/rdb/cust/%d" % one), 404, 101, "record cannot be found")
        self.assertEqual(call("POST", "/api/v1/record/rdb/cust", [])[2], {"_ids": []})
        self.assertError(call("GET", "/api/v1/record/rdb/cust/99999999999"), 404, 101)

    def test_long_text_round_trip(self):
        create_db("rlong")
        create_customers("rlong")
        text = "x" * 25000 + "end"
        rid = insert("rlong", "cust", {"notes": text, "custname": "y" * 20})
        body = call("GET", "/api/v1/record/rlong/cust/%d" % rid)[2]
        self.assertEqual(body["notes"], text)
        self.assertEqual(body["custname"], "y" * 20)

    def test_values_over_a_mebibyte_round_trip(self):
        create_db("rhuge")
        status, _, body, _ = call("POST", "/api/v1/table/rhuge/h", {"fields": [
            {"name": "k", "type": "INTEGER"}, {"name": "doc", "type": "JSON"},
            {"name": "text", "type": "LVARCHAR", "length": 3000000}]})
        self.assertEqual(status, 200, body)
        call("POST", "/api/v1/index/rhuge/h/byk", {"fields": [{"name": "k"}]})
        doc = {"items": ["%0128d" % i for i in range(10000)]}  # about 1.3 MiB of JSON text
        text = "t" * (3 << 19) + "end"
        rid = insert("rhuge", "h", {"k": 1, "doc": doc, "text": text})
        self.assertGreater(int(SERVER.sql("rhuge", "SELECT length(doc) FROM h")), 1 << 20)
        body = call("GET", "/api/v1/record/rhuge/h/%d" % rid)[2]
        self.assertEqual((body["doc"], body["text"]), (doc, text))
        page = call("POST", "/api/v1/query/rhuge/h/byk?top=5", {"find": {"k": {"operator": "=", "value": 1}}})[2]
        self.assertEqual([(r["doc"], r["text"]) for r in page["_records"]], [(doc, text)])

    def test_foreign_text_in_a_json_field_reads_as_text(self):
        create_db("rjson")
        status, _, body, _ = call("POST", "/api/v1/table/rjson/j", {"fields": [
            {"name": "k", "type": "INTEGER"}, {"name": "doc", "type": "JSON"}]})
        self.assertEqual(status, 200, body)
        call("POST", "/api/v1/index/rjson/j/byk", {"fields": [{"name": "k"}]})
        ids = insert("rjson", "j", [{"k": 1, "doc": {"a": 1}}, {"k": 2, "doc": {"b": 2}}])
        deep = "[" * 40 + "]" * 40
        SERVER.sql("rjson", "UPDATE j SET doc = 'not json {' WHERE k = 1; UPDATE j SET doc = '%s' WHERE k = 2" % deep)
        self.assertEqual(call("GET", "/api/v1/record/rjson/j/%d" % ids[0])[2]["doc"], "not json {")
        page = call("POST", "/api/v1/query/rjson/j/byk?top=5", {"find": {"k": {"operator": ">=", "value": 0}}})
        self.assertEqual(page[0], 200, page[3])
        self.assertEqual([r["doc"] for r in page[2]["_records"]], ["not json {", deep])

    def test_failed_array_item_stores_nothing(self):
        create_db("rarr")
        create_customers("rarr")
        reply = call("POST", "/api/v1/record/rarr/cust", [{"custnumb": "0001"}, 5])
        self.assertEqual(reply[0], 400)
        self.assertEqual(reply[2]["_errorMessage"], "incorrect json format: array item content is not a json object")
        self.assertEqual(len(reply[2]["_ids"]), 1)
        self.assertEqual(SERVER.sql("rarr", "SELECT count(*) FROM cust"), "0")

    def test_integers_out_of_their_field_range_are_refused(self):
        create_db("rrng")
        status, _, body, _ = call("POST", "/api/v1/table/rrng/nums", {"fields": [
            {"name": "tiny", "type": "TINYINT"}, {"name": "small", "type": "SMALLINT"},
            {"name": "whole", "type": "INTEGER"}, {"name": "big", "type": "BIGINT"}]})
        self.assertEqual(status, 200, body)
        # Each field holds its width's signed range: what the SQL client reads back.
        edges = {"tiny": (-128, 127), "small": (-32768, 32767), "whole": (-2147483648, 2147483647),
                 "big": (-9223372036854775808, 9223372036854775807)}
        for field, (low, high) in edges.items():
            rid = insert("rrng", "nums", [{field: low}, {field: high}])
            self.assertEqual(SERVER.sql("rrng", "SELECT %s FROM nums WHERE rowid IN (%d,%d) ORDER BY rowid"
                                        % (field, rid[0], rid[1])).split(), [str(low), str(high)])
        bad = [(field, value) for field, (low, high) in edges.items() for value in (low - 1, high + 1)]
        bad += [("big", 18446744073709551616), ("big", -99999999999999999999), ("whole", 1e300), ("big", 1e19)]
        for field, value in bad:
            with self.subTest(field=field, value=value):
                reply = call("POST", "/api/v1/record/rrng/nums", {field: value})
                self.assertError(reply, 400, 14013)
                self.assertIn(field, reply[2]["_errorMessage"])
        self.assertEqual(SERVER.sql("rrng", "SELECT count(*) FROM nums"), str(2 * len(edges)))

    def test_infinite_doubles_read_as_null(self):
        create_db("rinf")
        create_customers("rinf")
        rid = insert("rinf", "cust", {"custnumb": "0001", "balance": 1.5})
        SERVER.sql("rinf", "UPDATE cust SET balance = -1e999 WHERE rowid = %d" % rid)
        reply = call("GET", "/api/v1/record/rinf/cust/%d" % rid)
        self.assertEqual(reply[0], 200, reply[3])
        self.assertNotIn(b"Infinity", reply[3])
        self.assertIsNone(reply[2]["balance"], reply[3])

    def test_record_errors(self):
        create_db("rerr")
        create_customers("rerr")
        call("POST", "/api/v1/index/rerr/cust/pk", {"unique": True, "fields": [{"name": "custnumb"}]})
        rid = insert("rerr", "cust", {"custnumb": "0001"})
        cases = [
            ("POST", "", {"custnumb": "0001"}, 409, 2),
            ("POST", "", {"nosuch": 1}, 400, 14013),
            ("POST", "", {"custname": [1]}, 400, 14013),
            ("POST", "", {"custname": {"a": 1}}, 400, 14013),
            ("POST", "", {"custrtng": "abc"}, 400, 14013),
            ("POST", "", {"custname": "z" * 30}, 400, 14013),
            ("PUT", "/999", {"custname": "a"}, 404, 101),
            ("PATCH", "/%d" % rid, {"_id": 1}, 400, 14013),
            ("DELETE", "/999", None, 404, 101),
            ("GET", "/1", None, 404, 101) if False else ("GET", "/0", None, 404, 101),
        ]
        for method, path, body, status, code in cases:
            with self.subTest(method=method, path=path, body=body):
                self.assertError(call(method, "/api/v1/record/rerr/cust" + path, body), status, code)
        self.assertEqual(SERVER.sql("rerr", "SELECT count(*) FROM cust"), "1")
        self.assertError(call("GET", "/api/v1/record/rerr/nosuch/1"), 404, 4023, "cannot access table")


class QueryTest(ServerTest):
    @classmethod
    def setUpClass(cls):
        create_db("qdb")
        call("POST", "/api/v1/table/qdb/q", {"fields": [
            {"name": "a", "type": "INTEGER"}, {"name": "b", "type": "CHAR", "length": 8}, {"name": "c", "type": "DOUBLE"}]})
        call("POST", "/api/v1/index/qdb/q/ab", {"fields": [{"name": "a"}, {"name": "b"}]})
        rows = [{"a": i % 5, "b": "k%02d" % i, "c": i / 2} for i in range(20)]
        cls.ids = insert("qdb", "q", rows)

    def query(self, body, url="?top=100", index="ab"):
        return call("POST", "/api/v1/query/qdb/q/%s%s" % (index, url), body)

    def rows(self, body, url="?top=100"):
        reply = self.query(body, url)
        self.assertEqual(reply[0], 200, reply[3])
        return reply[2]["_records"]

    def test_find_record_set_and_paging(self):
        rows = self.rows({"advanced_find": {"find_record": {"operator": ">=", "fields": {"a": 3, "b": "k00"}}}})
        self.assertEqual([(r["a"], r["b"]) for r in rows[:2]], [(3, "k03"), (3, "k08")])
        self.assertEqual(len(rows), 8)
        self.assertEqual(list(rows[0])[0], "_id")
        rows = self.rows({"advanced_find": {"find_record": {"operator": ">=", "fields": {"a": 3}}}}, "?top=2&skip=3")
        self.assertEqual([r["b"] for r in rows], ["k18", "k04"])
        rows = self.rows({"advanced_find": {"find_set": {"length": 8, "fields": {"a": 2}}}, "select": ["b"]})
        self.assertEqual(rows, [{"_id": self.ids[i], "b": "k%02d" % i} for i in (2, 7, 12, 17)])
        rows = self.rows({"advanced_find": {"find_set": {"length": 8, "fields": {"a": 2}}}, "reverse": True}, "?top=2")
        self.assertEqual([r["b"] for r in rows], ["k17", "k12"])
        self.assertEqual(self.rows({"advanced_find": {"find_set": {"length": 8, "fields": {"a": 9}}}}), [])
        # At most "top" records; 0 gives none; a later "top" overrides; an empty part ends the query.
        for url, count in (("?top=0", 0), ("?top=7", 7), ("?top=1&top=3", 3), ("?top=5&&skip=3", 5), ("?top=-2", 0),
                           ("?top=500", 20), ("?top=10&skip=15", 5)):
            with self.subTest(url=url):
                rows = self.rows({"find": {"a": {"operator": ">=", "value": 0}}}, url)
                self.assertEqual(len(rows), count)

    def test_ranges_and_filters(self):
        between = {"find": {"a": {"operator": "between", "lowervalue": 1, "excludeuppervalue": 3}}}
        self.assertEqual(sorted({r["a"] for r in self.rows(between)}), [1, 2])
        self.assertEqual(len(self.rows(between)), 8)
        rows = self.rows({"find": {"a": {"operator": "=", "value": 4}, "b": {"operator": ">", "value": "k10"}}})
        self.assertEqual([r["b"] for r in rows], ["k14", "k19"])
        rows = self.rows({"find": {"a": {"operator": "<", "value": 1}}, "filter": "c >= 5 AND NOT (b = 'k15')",
                          "select": ["a", "c"]})
        self.assertEqual(rows, [{"_id": self.ids[10], "a": 0, "c": 5.0}])
        rows = self.rows({"find": {"a": {"operator": ">=", "value": 0}}, "filter": "b = 'k01'' OR 1=1 --'"})
        self.assertEqual(rows, [])
        rows = self.rows({"find": {"a": {"operator": "between", "excludelowervalue": 0, "uppervalue": 1}},
                          "reverse": True}, "?top=2")
        self.assertEqual([r["b"] for r in rows], ["k16", "k11"])

    def test_query_errors(self):
        find = {"find": {"a": {"operator": "=", "value": 1}}}
        cases = [
            (find, "", 400, 14014), (find, "?skip=1", 400, 14014), (find, "?top", 400, 14014),
            (find, "?top=5&x=1", 400, 14014), (find, "?top=-1", 400, 14014), (find, "?top=1=2", 400, 14014),
            ({"find": {"b": {"operator": "=", "value": "k"}}}, "?top=1", 501, 14000),
            ({"find": {"c": {"operator": "=", "value": 1}}}, "?top=1", 400, 14013),
            ({"find": {}}, "?top=1", 400, 14013),
            ({"find": {"a": {"operator": "~", "value": 1}}}, "?top=1", 400, 14013),
            ({"find": {"a": {"operator": "between", "value": 1}}}, "?top=1", 400, 14013),
            ({"find": {"a": {"operator": "between", "lowervalue": 1}}}, "?top=1", 400, 14013),
            ({"find": {"a": {"operator": "=", "value": None}}}, "?top=1", 400, 14013),
            ({"advanced_find": {"find_set": {"length": 0, "fields": {"a": 1}}}}, "?top=1", 400, 14013),
            ({"advanced_find": {"find_set": {"length": 30000, "fields": {"a": 1}}}}, "?top=1", 400, 14013),
            ({"advanced_find": {}}, "?top=1", 400, 14013),
            ({"advanced_find": {"find_record": {"operator": "!", "fields": {}}}}, "?top=1", 400, 14013),
            ({}, "?top=1", 400, 14013),
            ({"find": {"a": {"operator": "=", "value": 1}}, "filter": "a = = 1"}, "?top=1", 500, 4218),
            ({"find": {"a": {"operator": "=", "value": 1}}, "filter": "nosuch = 1"}, "?top=1", 500, 4218),
            ({"find": {"a": {"operator": "=", "value": 1}}, "filter": 5}, "?top=1", 400, 14013),
            ({"find": {"a": {"operator": "=", "value": 1}}, "select": ["zz"]}, "?top=1", 400, 14013),
            ({"find": {"a": {"operator": "=", "value": 1}}, "reverse": 1}, "?top=1", 400, 14013),
        ]
        for body, url, status, code in cases:
            with self.subTest(body=body, url=url):
                self.assertError(self.query(body, url), status, code)
        self.assertError(self.query(find, "?top=1", index="nosuch"), 404, 4212, "cannot access index")
        reply = self.query(find, "?top=1")
        self.assertEqual(reply[2]["_errorMessage"] if reply[0] != 200 else None, None)


class AccessTest(ServerTest):
    def test_credentials_and_databases(self):
        create_db("adb")
        create_customers("adb")
        cases = [
            (("ADMIN", "wrong"), "adb", 401, 14007, "wrong credentials"),
            (("nobody", "TRUVE"), "adb", 401, 14007, "wrong credentials"),
            (None, "adb", 401, 14007, "wrong credentials"),
            (ADMIN, "missingdb", 404, 14009, "database not found"),
            (ADMIN, "bad.name", 500, 4201, "cannot access db"),
        ]
        for credentials, db, status, code, message in cases:
            with self.subTest(credentials=credentials, db=db):
                self.assertError(call("GET", "/api/v1/table/" + db, credentials=credentials), status, code, message)
        # The "token" header is no credential; user names ignore case.
        reply = call("GET", "/api/v1/table/adb", credentials=None, headers={"token": "ADMIN:TRUVE"})
        self.assertEqual(reply[0], 401)
        self.assertEqual(call("GET", "/api/v1/table/adb", credentials=("admin", "TRUVE"))[0], 200)
        self.assertEqual(call("GET", "/api/v1/table/ADB", credentials=ADMIN)[0], 200)


def raw_auth(decoded):
    return "Basic " + base64.b64encode(decoded).decode()


class LogonTest(ServerTest):
    def test_credentials_holding_a_nul_byte_are_refused(self):
        create_db("nulauth")
        create_customers("nulauth")
        header = {"Authorization": raw_auth(b"ADMIN:TRUVE\0junk")}
        reply = call("GET", "/api/v1/table/nulauth", credentials=None, headers=header)
        self.assertError(reply, 401, 14007, "wrong credentials")
        reply = call("POST", "/api/v1/record/nulauth/cust", {"custnumb": "0001"}, credentials=None, headers=header)
        self.assertError(reply, 401, 14007)
        reply = call("DELETE", "/api/v1/database/nulauth", credentials=None, headers=header)
        self.assertEqual(reply[0], 500, reply[3])
        self.assertEqual(SERVER.sql("nulauth", "SELECT count(*) FROM cust"), "0")
        self.assertTrue(os.path.exists(SERVER.db_file("nulauth")))

    def test_texts_holding_a_nul_byte_are_refused_whole(self):
        create_db("nulval")
        create_customers("nulval")
        bodies = [
            '{"custname": "abc\\u0000def"}',             # a value
            '{"custname\\u0000junk": "abc"}',             # a name json-c would cut
            '[{"custnumb": "0001"}, {"notes": "x\\u0000"}]',  # anywhere in the array
        ]
        for body in bodies:
            with self.subTest(body=body):
                self.assertError(call("POST", "/api/v1/record/nulval/cust", body, raw=True), 400, 14013,
                                 "incorrect json format: a text holds a NUL byte")
        self.assertEqual(SERVER.sql("nulval", "SELECT count(*) FROM cust"), "0")
        # An escaped backslash before "u0000" is six plain characters, kept whole.
        rid = insert("nulval", "cust", {"custname": "a\\u0000b"})
        self.assertEqual(call("GET", "/api/v1/record/nulval/cust/%d" % rid)[2]["custname"], "a\\u0000b")
        self.assertEqual(SERVER.sql("nulval", "SELECT length(custname) FROM cust"), "8")
        # A NUL byte in a table definition's field name is refused too.
        reply = call("POST", "/api/v1/table/nulval/t", '{"fields": [{"name": "a\\u0000b", "type": "BIT"}]}', raw=True)
        self.assertError(reply, 400, 14013)
        self.assertEqual(SERVER.sql("nulval", "SELECT count(*) FROM sqlite_master WHERE name='t'"), "0")

    def test_failed_logons_are_logged_and_others_served(self):
        create_db("guess")
        create_customers("guess")
        rid = insert("guess", "cust", {"custnumb": "0001"})
        self.assertError(call("GET", "/api/v1/database", credentials=("ADMIN", "first")), 500, 450)

        def guessed_and_logged():
            # One line a second at most per address, with the count and the last user.
            self.assertError(call("GET", "/api/v1/table/guess", credentials=("Admin", "guess")), 401, 14007)
            return re.search(r"gannet: \d+ failed log-on\(s\) from 127\.0\.0\.1 \(last user \[admin\]\)",
                             SERVER.tree.log())

        self.assertTrue(wait_for(guessed_and_logged, timeout=30), SERVER.tree.log()[-2000:])
        # The administrator's pooled connection has proved its password: served at once.
        self.assertEqual(call("GET", "/api/v1/record/guess/cust/%d" % rid)[0], 200)


def big_array(count):
    return "[" + ",".join(["0"] * count) + "]"


class BoundsTest(ServerTest):
    def test_bodies_are_held_to_what_their_resource_needs(self):
        create_db("bnd")
        create_customers("bnd")
        cases = [
            ("POST", "/api/v1/table/bnd/t", '{"fields": [], "remarks": "%s"}' % ("x" * (256 << 10)), 413, 14015),
            ("PUT", "/api/v1/index/bnd/cust/i", '{"fields": [], "x": "%s"}' % ("x" * (64 << 10)), 413, 14015),
            ("POST", "/api/v1/query/bnd/cust/i?top=1", '{"find": %s}' % big_array(20000), 413, 14015),
            ("POST", "/api/v1/record/bnd/cust", big_array(100001), 413, 14015),
            ("POST", "/api/v1/record/bnd/cust", "[" * 33 + "]" * 33, 400, 14012),
            # Within the value count, but its parse would need more than the whole budget.
            ("POST", "/api/v1/record/bnd/cust", big_array(99000), 413, 14015),
        ]
        with ResidentGrowth(SERVER.tree.proc.pid) as growth:
            for method, path, body, status, code in cases:
                with self.subTest(method=method, path=path, size=len(body)):
                    self.assertError(call(method, path, body, raw=True), status, code)
                    self.assertEqual(call("GET", "/api/v1/table/bnd/cust")[0], 200)
        # Refused bodies cost their bytes on the way in, never their parse.
        growth.check(self, peak_mib=16, after_mib=8)
        self.assertEqual(SERVER.sql("bnd", "SELECT count(*) FROM cust"), "0")
        # What the resources need still passes: a record of a long text, a nesting of 32.
        rid = insert("bnd", "cust", {"notes": "n" * 30000})
        self.assertEqual(len(call("GET", "/api/v1/record/bnd/cust/%d" % rid)[2]["notes"]), 30000)
        reply = call("POST", "/api/v1/record/bnd/cust", "[" * 32 + "]" * 32, raw=True)
        self.assertEqual((reply[0], reply[2]["_errorCode"]), (400, 14013))  # parsed: an array item is no record

    def test_large_pages_are_bounded_and_others_served(self):
        create_db("page")
        status, _, body, _ = call("POST", "/api/v1/table/page/p", {"fields": [
            {"name": "k", "type": "INTEGER"}, {"name": "t", "type": "VARCHAR", "length": 200}]})
        self.assertEqual(status, 200, body)
        call("POST", "/api/v1/index/page/p/byk", {"fields": [{"name": "k"}]})
        text = "t" * 200
        for start in range(0, 30000, 10000):
            insert("page", "p", [{"k": k, "t": text} for k in range(start, start + 10000)])
        find = {"find": {"k": {"operator": ">=", "value": 0}}}
        # A page within the reply bound comes whole.
        reply = call("POST", "/api/v1/query/page/p/byk?top=12000", find)
        self.assertEqual(reply[0], 200, reply[3][:200])
        self.assertEqual(len(reply[2]["_records"]), 12000)
        self.assertEqual(reply[2]["_records"][11999]["k"], 11999)
        # Pages asked for together on one connection come whole and in order,
        # a large one sent from its own block, the next queued behind it.
        body = json.dumps(find)
        ask = ("POST /quarn/api/v1/query/page/p/byk?top=%d HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: %s\r\n"
               "Content-Length: %d\r\n\r\n%s")
        tops = (12000, 3, 12000)
        with socket.create_connection(("127.0.0.1", SERVER.port), timeout=60) as sock:
            sock.sendall("".join(ask % (top, auth_header(*ADMIN), len(body), body) for top in tops).encode())
            data = b""
            for top in tops:
                while b"\r\n\r\n" not in data:
                    data += sock.recv(1 << 16)
                head, _, data = data.partition(b"\r\n\r\n")
                self.assertTrue(head.startswith(b"HTTP/1.1 200"), head)
                length = int(re.search(rb"(?i)content-length:\s*(\d+)", head).group(1))
                while len(data) < length:
                    data += sock.recv(1 << 16)
                page, data = json.loads(data[:length]), data[length:]
                self.assertEqual([r["k"] for r in page["_records"]], list(range(top)))
        # One past it is refused with a clear error while another client is served.
        errors = []

        def other_client():
            conn = http.client.HTTPConnection("127.0.0.1", SERVER.port, timeout=60)
            for _ in range(20):
                got = call("GET", "/api/v1/record/page/p/1", conn=conn)
                if got[0] != 200:
                    errors.append(got[:1] + got[3:])
            conn.close()

        other = threading.Thread(target=other_client)
        with ResidentGrowth(SERVER.tree.proc.pid) as growth:
            other.start()
            for _ in range(3):
                reply = call("POST", "/api/v1/query/page/p/byk?top=300000", find)
                self.assertError(reply, 500, 14016)
                self.assertIn("reply too large", reply[2]["_errorMessage"])
            other.join()
        self.assertEqual(errors, [])
        # Each refused page was built up to the reply bound (a quarter of the lowered budget), no further.
        growth.check(self, peak_mib=32, after_mib=8)

    def test_a_walk_stops_when_its_client_goes(self):
        create_db("walk")
        call("POST", "/api/v1/table/walk/w", {"fields": [{"name": "k", "type": "INTEGER"}]})
        call("POST", "/api/v1/index/walk/w/byk", {"fields": [{"name": "k"}]})
        for start in range(0, 20000, 10000):
            insert("walk", "w", [{"k": k} for k in range(start, start + 10000)])
        # A page far past the records: every record is walked over, unless
        # the client that asked is gone.
        body = json.dumps({"find": {"k": {"operator": ">=", "value": 0}}}).encode()
        head = ("POST /quarn/api/v1/query/walk/w/byk?top=1&skip=1000000 HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                "Authorization: %s\r\nContent-Length: %d\r\n\r\n" % (auth_header(*ADMIN), len(body)))
        with ResidentGrowth(SERVER.tree.proc.pid) as growth:
            with socket.create_connection(("127.0.0.1", SERVER.port), timeout=10) as gone:
                gone.sendall(head.encode() + body)
            self.assertEqual(call("GET", "/api/v1/record/walk/w/1")[0], 200)
            self.assertTrue(wait_for(lambda: "the client of a query has gone" in SERVER.tree.log(), 20))
        growth.check(self, peak_mib=16, after_mib=8)


def db_fds(name):
    """How many descriptors heron holds open on the database file."""
    target = os.path.realpath(SERVER.db_file(name))
    count = 0
    fd_dir = "/proc/%d/fd" % SERVER.tree.proc.pid
    for fd in os.listdir(fd_dir):
        try:
            if os.readlink(os.path.join(fd_dir, fd)) == target:
                count += 1
        except OSError:
            pass
    return count


class OutsideWriterTest(ServerTest):
    BUSY_SECONDS = 30  # the engine's busy time-out

    def test_writers_queued_behind_an_outside_lock_give_up_within_one_time_out(self):
        # The sqlite3 shell holds the file's write lock longer than a time-out:
        # one session waits for it while the others wait for their turn behind
        # that one. Each refuses its write once a time-out has passed since it
        # asked (not a second time-out after it got the turn), stores nothing,
        # and leaves the turns free for the writes after the shell commits.
        create_db("outw")
        create_customers("outw")
        holder = subprocess.Popen(["sqlite3", SERVER.db_file("outw")], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                  text=True)
        holder.stdin.write("BEGIN EXCLUSIVE;\nINSERT INTO cust(custnumb) VALUES ('out');\n.print held\n")
        holder.stdin.flush()
        self.assertEqual(holder.stdout.readline().strip(), "held")
        replies = {}

        def write(n):
            reply = call("POST", "/api/v1/record/outw/cust", {"custnumb": "%04d" % n})
            replies[n] = (reply[0], reply[2] and reply[2].get("_errorCode"))

        writers = [threading.Thread(target=write, args=(n,)) for n in range(4)]
        for w in writers:
            w.start()
        time.sleep(self.BUSY_SECONDS * 4 / 3)
        holder.stdin.write("COMMIT;\n")
        holder.stdin.close()
        holder.wait()
        for w in writers:
            w.join()
        self.assertEqual(sorted(replies.values()), [(500, 4211)] * 4)
        self.assertEqual(SERVER.sql("outw", "SELECT group_concat(custnumb) FROM cust"), "out")
        insert("outw", "cust", [{"custnumb": "%04d" % n} for n in range(4)])
        self.assertEqual(SERVER.sql("outw", "SELECT count(*) FROM cust"), "5")


class PoolTest(ServerTest):
    def test_concurrent_clients_and_idle_clean_up(self):
        create_db("pool1")
        create_db("pool2")
        for db in ("pool1", "pool2"):
            create_customers(db)
        floor = {db: db_fds(db) for db in ("pool1", "pool2")}
        errors = []

        # Wrong passwords come once every client with the right one has been
        # served: failed log-ons slow the next log-ons of that user, and the
        # right ones should meet pools that already proved their password.
        served = threading.Barrier(12)

        def client(db, credentials, expected, n):
            conn = http.client.HTTPConnection("127.0.0.1", SERVER.port, timeout=60)
            if expected != 200:
                served.wait(timeout=60)
            for i in range(n):
                if expected == 200:
                    reply = call("POST", "/api/v1/record/%s/cust" % db, {"custnumb": "%04d" % i}, credentials, conn=conn)
                else:
                    reply = call("GET", "/api/v1/table/%s/cust" % db, None, credentials, conn=conn)
                if reply[0] != expected:
                    errors.append((db, credentials, reply[0], reply[3]))
                if expected == 200 and i == 0:
                    served.wait(timeout=60)
            conn.close()

        threads = []
        for k in range(12):
            kind = k % 4
            if kind == 0:
                threads.append(threading.Thread(target=client, args=("pool1", ADMIN, 200, 15)))
            elif kind == 1:
                threads.append(threading.Thread(target=client, args=("pool2", ("admin", "TRUVE"), 200, 15)))
            elif kind == 2:
                threads.append(threading.Thread(target=client, args=("pool1", ("ADMIN", "guess%d" % k), 401, 5)))
            else:
                threads.append(threading.Thread(target=client, args=("pool2", ("u%d" % k, "x"), 401, 5)))
        # The most pooled connections seen while the clients run: sampled, as
        # the reaper may close them (1 s idle here) before the last client ends.
        peak = {"pool1": 0}
        running = threading.Event()
        running.set()

        def sample():
            while running.is_set():
                peak["pool1"] = max(peak["pool1"], db_fds("pool1"))
                time.sleep(0.02)

        sampler = threading.Thread(target=sample)
        sampler.start()
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        running.clear()
        sampler.join()
        self.assertEqual(errors, [])
        self.assertEqual(SERVER.sql("pool1", "SELECT count(*) FROM cust"), "45")
        self.assertEqual(SERVER.sql("pool2", "SELECT count(*) FROM cust"), "45")
        self.assertGreater(peak["pool1"], floor["pool1"])
        # Idle connections close after the idle time-out, at the reaper's next pass.
        for db in ("pool1", "pool2"):
            self.assertTrue(wait_for(lambda: db_fds(db) <= floor[db], timeout=20), (db, db_fds(db), floor[db]))
        # The pools that are left serve again.
        self.assertEqual(call("GET", "/api/v1/record/pool1/cust/1")[0], 200)


# The classes that read heron's resident memory: freed blocks must not stay
# resident in the sanitizer's quarantine.
MEMORY_READERS = {"BoundsTest"}


def main():
    quarantine = {"ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") + ":quarantine_size_mb=0"}
    run_with_server(Server(quarantine if MEMORY_READERS & set(sys.argv[1:]) else None), sys.modules[__name__])


if __name__ == "__main__":
    main()
