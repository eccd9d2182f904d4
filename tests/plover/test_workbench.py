"""The SQL workbench plover through a running heron: remoting requests and
batches POSTed as the browser console sends them, sessions and their pools,
transactions, and the writes read back with the sqlite3 shell."""
import base64
import http.client
import json
import os
import subprocess
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../common"))
from peers import HeronTree, free_port, sanitizer_report, wait_for, wait_port  # noqa: E402


def b64(text):
    return base64.b64encode(text.encode()).decode()


class Server:
    """heron serving gannet (to make databases) and plover under "plover"."""

    def __init__(self, pool=2, timeout=300, env=None):
        self.tree = HeronTree("plover-")
        self.port = free_port()
        config = {"document_root": "./web", "listening_http_port": str(self.port), "linked_vix_server": "BRENLOXS",
                  "verbose_level": -1, "applications": ["quarn;gannet", "plover;plover"],
                  "websocket_applications": []}
        with open(self.tree.path("config/osprey.json"), "w") as f:
            json.dump(config, f)
        with open(self.tree.path("config/plover.cfg"), "w") as f:
            f.write("; the workbench\nconn_pool_size %d\nINACTIVE_TIMEOUT %d\n" % (pool, timeout))
        self.tree.start(env=env)
        if not wait_port(self.port):
            raise RuntimeError("heron did not start:\n" + self.tree.log())

    def stop(self):
        self.tree.proc.terminate()
        self.tree.wait_exit()
        log = self.tree.log()
        self.tree.remove()
        return log

    def http(self, method, path, body=None, headers=None):
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=60)
        conn.request(method, path, body=body, headers=headers or {})
        reply = conn.getresponse()
        payload = reply.read()
        conn.close()
        return reply.status, payload

    def create_db(self, name):
        auth = "Basic " + b64("ADMIN:TRUVE")
        status, payload = self.http("POST", "/quarn/api/v1/database/" + name, headers={"Authorization": auth})
        assert status == 200, payload

    def sql(self, db, statement):
        out = subprocess.run(["sqlite3", self.tree.path("data/BRENLOXS/%s.db" % db), statement],
                             capture_output=True, text=True, timeout=30)
        return out.stdout.strip()

    def post(self, body):
        status, payload = self.http("POST", "/plover", json.dumps(body), {"Content-Type": "application/json"})
        assert status == 200, (status, payload)
        return json.loads(payload) if payload else None  # the host sends an empty reply as no body

    def call(self, method, params, tid=1):
        return self.post({"action": "quarnSQL", "method": method, "data": [params], "tid": tid})

    def connect(self, db, user="ADMIN", password="TRUVE", **extra):
        yx = {"currentServer": {"database": db}, "userName": b64(user), "userPassword": b64(password),
              "autoCommit": False, "isolationLevel": True}
        yx.update(extra)
        return self.call("connect", {"yxInfo": yx})

    def session(self, token, method, **yx):
        return self.call(method, {"token": token, "yxInfo": yx})


class ServerCase(unittest.TestCase):
    POOL, TIMEOUT = 2, 300
    ENV = None

    @classmethod
    def setUpClass(cls):
        cls.server = Server(cls.POOL, cls.TIMEOUT, cls.ENV)
        cls.server.create_db("work")

    @classmethod
    def tearDownClass(cls):
        log = cls.server.stop()
        if sanitizer_report(log):
            raise AssertionError("sanitizer report:\n" + log)

    def token(self, **extra):
        reply = self.server.connect("work", **extra)
        self.assertEqual(reply["type"], "rpc", reply)
        return reply["result"]["token"]


class RemotingTest(ServerCase):
    def test_descriptor_lists_the_methods(self):
        status, payload = self.server.http("GET", "/plover/zvGetApi?_dc=1")
        self.assertEqual(status, 200)
        text = payload.decode()
        api = json.loads(text[text.index("{"):text.rindex("}") + 1])
        self.assertEqual(api["url"], "ploverRouter")
        self.assertEqual(api["type"], "remoting")
        names = [m["name"] for m in api["actions"]["quarnSQL"]]
        self.assertEqual(len(names), 18)
        self.assertEqual(names[:3], ["connect", "disconnect", "setTransaction"])

    def test_envelope_and_dispatcher_refusals(self):
        s = self.server
        info = s.post({"action": "quarnSQL", "method": "GETINFO", "data": [], "tid": 7})
        self.assertEqual((info["type"], info["method"], info["tid"]), ("rpc", "GETINFO", 7))
        self.assertIn("proxy_enabled", info["result"])
        cases = [
            ({"method": "connect", "data": [{}], "tid": 2}, "ploverRouter -> Missing Action"),
            ({"action": "quarnSQL", "data": [{}], "tid": 2}, "ploverRouter -> Missing Method"),
            ({"action": "quarnSQL", "method": "connect", "tid": 2}, "ploverRouter -> Missing Data"),
            ({"action": "quarnSQL", "method": "connect", "data": {}, "tid": 2}, "ploverRouter -> Invalid Data Array"),
            ({"action": "quarnSQL", "method": "connect", "data": [], "tid": 2}, "ploverRouter -> Missing yxInfo"),
            ({"action": "quarnSQL", "method": "execQuery", "data": [{}], "tid": 2}, "ploverRouter -> Missing yxInfo"),
            ({"action": "quarnSQL", "method": "execQuery", "data": [{"yxInfo": {}}], "tid": 2},
             "ploverRouter -> Missing Token"),
            ({"action": "quarnSQL", "method": "execQuery", "data": [{"yxInfo": {}, "token": "AB"}], "tid": 2},
             "plover - Cannot locate a connection: expired "),
            ({"action": "quarnSQL", "method": "connect", "data": [{"yxInfo": {}}], "tid": 2},
             "ploverRouter -> Missing currentServer"),
            ({"action": "quarnSQL", "method": "connect", "data": [{"yxInfo": {"currentServer": {}}}], "tid": 2},
             "ploverRouter -> Invalid currentServer"),
            ({"action": "quarnSQL", "method": "connect",
              "data": [{"yxInfo": {"currentServer": {"database": "work"}}}], "tid": 2},
             "ploverRouter -> Missing credentials"),
            ({"action": "quarnSQL", "method": "connect",
              "data": [{"yxInfo": {"currentServer": {"database": "work"}, "userName": b64("ADMIN"),
                                   "userPassword": b64("TRUVE")}}], "tid": 2},
             "ploverRouter -> Missing \"autoCommit\" or \"isolationLevel\" parameters"),
        ]
        for request, message in cases:
            with self.subTest(message=message):
                reply = s.post(request)
                self.assertEqual((reply["type"], reply["message"], reply["where"], reply["tid"]),
                                 ("exception", message, "ploverrouter", 2), reply)

    def test_batch_stops_at_the_dispatchers_refusal(self):
        token = self.token()
        ok = {"action": "quarnSQL", "method": "refreshConnection", "data": [{"token": token, "yxInfo": {}}], "tid": 1}
        replies = self.server.post([ok, {"action": "quarnSQL", "data": [], "tid": 2}, dict(ok, tid=3)])
        self.assertEqual([r["tid"] for r in replies], [1, 2])
        self.assertEqual(replies[1]["type"], "exception")
        self.assertIn(self.server.post([]), ([], None))

    def test_method_names_and_unknown_methods(self):
        token = self.token()
        reply = self.server.session(token, "Disconnect")
        self.assertEqual(reply["message"], "ploverRouter -> Function not found : Disconnect")
        self.assertNotIn("error", reply)
        # The session goes on: the refused call gave its connection back.
        self.assertEqual(self.server.session(token, "refreshConnection")["type"], "rpc")

    def test_file_actions(self):
        reply = self.server.post({"action": "vixServers", "op": "read"})
        self.assertNotIn("type", reply)
        self.assertIn(self.server.post({"action": "vixServers", "op": "READ"}), ({}, None))
        missing = self.server.post({"action": "vixServers"})
        self.assertIn("zvGetSetServers - Invalid parameter - Missing op in the request", json.dumps(missing))
        self.assertNotIn("type", self.server.post({"action": "getErrors"}))


class SessionTest(ServerCase):
    POOL, TIMEOUT = 1, 3

    def test_same_credentials_share_a_token_and_new_sessions_do_not(self):
        first, second = self.token(), self.token()
        self.assertEqual(first, second)
        self.assertRegex(first, "^[0-9A-F]{128}$")
        self.assertNotEqual(self.token(createNewSession=True), self.token(createNewSession=True))

    def test_refused_logon_reports_the_clients_code(self):
        reply = self.server.connect("work", password="wrong")
        self.assertEqual(reply["type"], "exception", reply)
        self.assertTrue(reply["message"].startswith("plover - Connection  :  Error:  "), reply)
        self.assertIn("error", reply)
        missing = self.server.connect("no_such_db")
        self.assertEqual(missing["type"], "exception", missing)

    def test_transactions(self):
        token = self.token()
        for action in ("COMMIT", "rollback", "autoon", "AUTOOFF"):
            with self.subTest(action=action):
                self.assertEqual(self.server.session(token, "setTransaction", action=action)["type"], "rpc")
        self.assertEqual(self.server.session(token, "setTransaction", action="begin")["message"],
                         "ploverRouter -> setTransaction -> Unknown Action")
        self.assertEqual(self.server.session(token, "setTransaction")["message"],
                         "ploverRouter -> setTransaction -> Missing Action")

    def test_status_does_not_refresh_and_idle_sessions_expire(self):
        token = self.token(createNewSession=True)
        first = self.server.session(token, "getConnectionStatus")["result"]
        time.sleep(1.2)
        second = self.server.session(token, "getConnectionStatus")["result"]
        self.assertEqual(first["timeout"], 3)
        self.assertLess(second["timeleft"], first["timeleft"])
        # Polled with the status, which keeps nothing alive.
        expired = lambda: self.server.session(token, "getConnectionStatus").get("message") == \
            "plover - Cannot locate a connection: expired "
        self.assertTrue(wait_for(expired, 20))

    def test_disconnect_then_reaped(self):
        token = self.token(createNewSession=True)
        self.assertNotIn("result", self.server.session(token, "disconnect"))
        self.assertNotIn("result", self.server.session("F" * 128, "disconnect"))
        gone = lambda: self.server.session(token, "getConnectionStatus").get("type") == "exception"
        self.assertTrue(wait_for(gone, 15))

    def test_one_connection_serves_one_call_at_a_time(self):
        token = self.token(createNewSession=True)
        # With a pool of 1, a second connect waits for the busy connection and
        # then reports the pool exhausted; hold it with concurrent status calls.
        results = []
        def poll():
            for _ in range(50):
                results.append(self.server.session(token, "getConnectionStatus").get("message"))
        threads = [threading.Thread(target=poll) for _ in range(3)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        self.assertTrue(all(m in (None, "plover - Cannot locate a connection: expired ") for m in results))


class BoundsTest(ServerCase):
    """Sessions a client can pile up with new tokens are bounded: past the
    bound a connect is refused, and the sessions already held go on."""
    ENV = {"PLOVER_MAX_POOLS": "3"}

    def test_connects_past_the_pool_bound_are_refused(self):
        tokens = [self.token(createNewSession=True) for _ in range(3)]
        refused = self.server.connect("work", createNewSession=True)
        self.assertEqual(refused["type"], "exception", refused)
        self.assertIn("8004", json.dumps(refused))
        self.assertEqual(self.server.session(tokens[0], "getConnectionStatus")["type"], "rpc")


class RecordTest(ServerCase):
    """Rows of one table read, inserted, updated and deleted from the grid."""

    def setUp(self):
        self.server.sql("work", "drop table if exists people; create table people(name varchar(40), "
                                "note varchar(40), code varbinary(8)); insert into people values('a', 'x', x'01'), "
                                "('b', 'y', x'02'), ('c', 'z', x'03');")
        self.tok = self.token()
        self.node = {"nodeId": {"user": "main", "name": "people"}}

    def rows(self):
        return self.server.sql("work", "select rowid, name, note, hex(code) from people order by rowid")

    def record(self, method, **members):
        params = {"token": self.tok, "yxInfo": dict(self.node)}
        params.update(members)
        return self.server.call(method, params)

    def test_page_of_records(self):
        reply = self.record("getTableRecords", limit=2, start=1)
        result = reply["result"]
        self.assertEqual(result["total"], 3)
        self.assertEqual([r["name"] for r in result["rows"]], ["b", "c"])
        self.assertIn("rowid", result["rows"][0])
        self.assertNotIn("metaData", result)
        meta = self.record("getTableRecords", yxInfo=dict(self.node, getMeta=True, columns=["note"]))["result"]
        self.assertEqual([f["name"] for f in meta["metaData"]["fields"]], ["rowid", "note"])

    def test_values_are_stored_as_sent(self):
        reply = self.record("createTableRecord", NAME="O'Brien", note="(NULL)")
        self.assertEqual(reply["type"], "rpc", reply)
        self.server.call("setTransaction", {"token": self.tok, "yxInfo": {"action": "commit"}})
        self.assertIn("4|O'Brien||", self.rows())
        reply = self.record("updateTableRecord", rowid="4", note="it's \"quoted\"", code="0a0B")
        self.assertEqual(reply["type"], "rpc", reply)
        self.server.call("setTransaction", {"token": self.tok, "yxInfo": {"action": "commit"}})
        self.assertIn("4|O'Brien|it's \"quoted\"|0A0B", self.rows())

    def test_requests_never_reach_rows_they_do_not_name(self):
        before = self.rows()
        cases = [
            ("updateTableRecord", {"note": "all"}, "Missing rowid"),
            ("updateTableRecord", {"rowid": "1' or '1'='1", "note": "all"}, "Invalid rowid"),
            ("updateTableRecord", {"rowid": "1 or 1=1", "note": "all"}, "Invalid rowid"),
            ("updateTableRecord", {"rowid": "1", "code": "01' , note = 'all"}, "Invalid hexadecimal value"),
            ("deleteTableRecord", {"rowid": "1' or '1'='1"}, "Invalid rowid"),
            ("deleteTableRecord", {"rowid": "1 or 1=1"}, "Invalid rowid"),
        ]
        for method, members, message in cases:
            with self.subTest(method=method, members=members):
                reply = self.record(method, **members)
                self.assertEqual(reply["type"], "exception", reply)
                self.assertTrue(reply["message"].endswith(message), reply)
                self.assertEqual(reply["where"], "plovertablerecords")
        self.server.call("setTransaction", {"token": self.tok, "yxInfo": {"action": "commit"}})
        self.assertEqual(self.rows(), before)
        # A column name is an identifier, never SQL text.
        reply = self.record("createTableRecord", **{"name": "d"})
        self.assertEqual(reply["type"], "rpc", reply)
        reply = self.record("deleteTableRecord", rowid="2")
        self.server.call("setTransaction", {"token": self.tok, "yxInfo": {"action": "commit"}})
        self.assertEqual(self.server.sql("work", "select group_concat(name) from people order by rowid"), "a,c,d")

    def test_auto_commit_commits_each_change(self):
        self.server.call("setTransaction", {"token": self.tok, "yxInfo": {"action": "autoOn"}})
        try:
            self.record("deleteTableRecord", rowid=1)
            self.assertEqual(self.server.sql("work", "select count(*) from people"), "2")
        finally:
            self.server.call("setTransaction", {"token": self.tok, "yxInfo": {"action": "autoOff"}})


class StatementTest(ServerCase):
    """Statements and queries as the console's user types them."""

    def run_sql(self, token, method, query, **extra):
        return self.server.session(token, method, query=query, **extra)

    def test_statements_commit_and_rollback(self):
        tok = self.token(createNewSession=True)
        for text in ("create table notes(id integer, body varchar(20))", "insert into notes values(1, 'kept')",
                     "COMMIT", "insert into notes values(2, 'dropped')", "rollback"):
            with self.subTest(text=text):
                reply = self.run_sql(tok, "execStatement", text)
                self.assertEqual(reply["type"], "rpc", reply)
        self.assertEqual(self.server.sql("work", "select id, body from notes"), "1|kept")
        grid = self.run_sql(tok, "execStatement", "select * from notes", numRows=5)["result"]
        self.assertEqual(grid["rows"], [{"id": "1", "body": "kept"}])
        self.assertEqual(set(grid["metaData"]), {"timing", "columns", "fields"})
        rows = self.run_sql(tok, "execQuery", "select id, body from notes")["result"]
        self.assertEqual(rows, [{"id": "1", "body": "kept"}])

    def test_console_settings_and_failures(self):
        tok = self.token(createNewSession=True)
        self.run_sql(tok, "execStatement", "create table auto(a integer)")
        self.run_sql(tok, "execStatement", "commit")
        self.assertEqual(self.run_sql(tok, "execStatement", "set autocommit on")["type"], "rpc")
        self.run_sql(tok, "execStatement", "insert into auto values(7)")
        self.assertEqual(self.server.sql("work", "select a from auto"), "7")
        self.run_sql(tok, "execStatement", "set transaction isolation level serializable")
        bad = self.run_sql(tok, "execStatement", "select nothing from nowhere")
        self.assertEqual(bad["type"], "exception", bad)
        self.assertRegex(bad["message"], r"^ :  Error:  \d+ -> execStatement -> .* : \d+$")
        self.assertEqual(bad["where"], "plover")
        self.assertEqual(self.run_sql(tok, "execQuery", "select nothing from nowhere")["type"], "exception")


class TreeTest(ServerCase):
    """The object tree for the owner "admin" and a user owner."""

    def tree(self, tok, **node):
        return self.server.session(tok, "getLeftTree", nodeId=node)

    def test_tree_from_server_to_columns(self):
        self.server.sql("work", "create table if not exists shelf(id integer primary key, title varchar(20));"
                                "create index if not exists shelf_title on shelf(title);")
        tok = self.token()
        root = self.tree(tok, type=0)["result"]
        self.assertIn("work", [d["text"] for d in root["children"]])
        owners = [o["text"] for o in self.tree(tok, type=1, dbName="work")["result"]]
        self.assertEqual(len(owners), len(set(owners)))
        self.assertIn("admin", owners)
        admin = self.tree(tok, type=2, user="admin", dbName="work")["result"]
        self.assertEqual(len(admin), 11)
        user = self.tree(tok, type=2, user="main", dbName="work")["result"]
        self.assertEqual([f["text"] for f in user],
                         ["Tables", "Views", "Procedures", "User Defined Functions", "Indexes", "Synonyms",
                          "Triggers", "Execution Plans"])
        self.assertIn("shelf", [t["text"] for t in user[0]["children"]])
        columns = self.tree(tok, type=30, user="main", table="shelf")["result"]
        self.assertEqual([c["text"] for c in columns], ["id", "title"])
        indexes = [i["text"] for i in self.tree(tok, type=28, user="main", table="shelf")["result"]]
        self.assertIn("shelf_title", indexes)
        for node in ({"type": 8}, {"type": 31}, {"user": "main"}):
            self.assertNotIn("result", self.tree(tok, **node))
        # An owner name is a literal: a quote in it finds nothing and harms nothing.
        self.assertEqual(self.tree(tok, type=3, user="x' or '1'='1")["result"], [])


class BlobTest(ServerCase):
    """Long cells written by rowid and read back in pages."""

    def test_blobs_written_and_read_in_pages(self):
        self.server.sql("work", "drop table if exists docs; create table docs(id integer, body lvarchar, "
                                "pic lvarbinary); insert into docs values(1, 'x', x'00');")
        tok = self.token(createNewSession=True)
        def put(col, col_type, blob, row="1"):
            data = {"user": "main", "table": "docs", "colName": col, "colType": col_type, "rowId": row, "blob": blob}
            return self.server.call("setBlobData", {"token": tok, "yxInfo": {"data": data}})
        text = "O'Brien " * 2000  # 16,000 characters: two pages of 8192
        self.assertEqual(put("body", "LVC", text)["type"], "rpc")
        self.assertEqual(put("pic", "BLOB", "00ff10AB0c")["type"], "rpc")
        self.server.session(tok, "setTransaction", action="commit")
        self.assertEqual(self.server.sql("work", "select length(body), hex(pic) from docs"), "16000|00FF10AB0C")
        def get(start, **yx):
            info = {"query": "select id, body, pic from docs", "queryMode": 1, "row": 0}
            info.update(yx)
            return self.server.call("getBlobData", {"token": tok, "start": start, "yxInfo": info})
        pages = [get(n, columnType="LVC", columnName="body")["result"] for n in (0, 1)]
        self.assertEqual([p["total"] for p in pages], [2, 2])
        self.assertEqual(pages[0]["data"] + pages[1]["data"], text)
        pic = get(0, columnType="LVB", columnName="pic", fullBlob=True)["result"]
        self.assertEqual((pic["data"], "type" in pic), ("00FF10AB0C", False))
        unknown = get(0, columnType="LVC", columnName="nobody")
        self.assertEqual(unknown["type"], "exception", unknown)
        self.assertNotIn("result", unknown)
        for col, col_type, blob, row in (("body", "LVC", "all", "1 or 1=1"), ("pic", "BLOB", "zz", "1")):
            self.assertEqual(put(col, col_type, blob, row)["type"], "exception")
        self.server.session(tok, "setTransaction", action="commit")
        self.assertEqual(self.server.sql("work", "select length(body), hex(pic) from docs"), "16000|00FF10AB0C")


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1] + sys.argv[1:], verbosity=2)
