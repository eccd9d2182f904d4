"""The SQL workbench plover through a running heron: remoting requests and
batches POSTed as the browser console sends them, sessions and their pools,
transactions, and the writes read back with the sqlite3 shell."""
import http.client
import json
import os
import subprocess
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../common"))
from peers import (ResidentGrowth, RunningHeron, b64, free_port, resident_kib, sanitizer_report, wait_for,  # noqa: E402
                   wait_port)


class Server(RunningHeron):
    """heron serving gannet (to make databases) and plover under "plover"."""

    def __init__(self, pool=2, timeout=300, env=None):
        super().__init__("plover-", ["quarn;gannet", "plover;plover"], config={"verbose_level": -1},
                         app_files={"config/plover.cfg":
                                    "; the workbench\nconn_pool_size %d\nINACTIVE_TIMEOUT %d\n" % (pool, timeout)},
                         env=env)

    stop = RunningHeron.finish

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

    def test_every_connect_gets_a_random_token_of_its_own(self):
        tokens = {self.token() for _ in range(3)} | {self.token(createNewSession=True)}
        self.assertEqual(len(tokens), 4)
        for token in tokens:
            self.assertRegex(token, "^[0-9A-F]{128}$")
            self.server.session(token, "disconnect")

    def test_refused_logon_reports_the_clients_code(self):
        reply = self.server.connect("work", password="wrong")
        self.assertEqual(reply["type"], "exception", reply)
        self.assertTrue(reply["message"].startswith("plover - Connection  :  Error:  "), reply)
        self.assertIn("error", reply)
        missing = self.server.connect("no_such_db")
        self.assertEqual(missing["type"], "exception", missing)

    def test_failed_logons_are_logged_and_nul_bytes_refused(self):
        for _ in range(4):
            self.assertEqual(self.server.connect("work", user="GUESS", password="wrong")["type"], "exception")
        self.assertTrue(wait_for(lambda: "plover: " in self.server.tree.log() and "failed log-on" in
                                 self.server.tree.log(), 10), self.server.tree.log())
        # Cut at the NUL, each of these would log on as ADMIN/TRUVE.
        yx = {"currentServer": {"database": "work"}, "autoCommit": False, "isolationLevel": True}
        for user, password in ((b64("ADMIN\0junk"), b64("TRUVE")), (b64("ADMIN"), b64("TRUVE\0")),
                               (b64("ADMIN") + "\u0000junk", b64("TRUVE"))):
            with self.subTest(user=user, password=password):
                body = json.dumps({"action": "quarnSQL", "method": "connect", "tid": 1,
                                   "data": [{"yxInfo": dict(yx, userName=user, userPassword=password)}]})
                status, payload = self.server.http("POST", "/plover", body, {"Content-Type": "application/json"})
                # Refused as a request (a NUL byte in the text) or by connect: never a session.
                self.assertIn(status, (200, 400))
                self.assertNotIn(b'"result"', payload)
        self.assertEqual(self.server.connect("work")["type"], "rpc")

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

    def test_disconnect_ends_the_session_at_once(self):
        token = self.token(createNewSession=True)
        self.server.session(token, "execStatement", query="create table if not exists ended(a integer)")
        self.server.session(token, "execStatement", query="commit")
        self.server.session(token, "execStatement", query="insert into ended values(1)")
        self.assertNotIn("result", self.server.session(token, "disconnect"))
        self.assertNotIn("result", self.server.session("F" * 128, "disconnect"))
        # The very next call of the session finds nothing, and its open work is gone.
        for method in ("getConnectionStatus", "refreshConnection", "getConnectionStatus"):
            self.assertEqual(self.server.session(token, method).get("message"),
                             "plover - Cannot locate a connection: expired ")
        self.assertEqual(self.server.sql("work", "insert into ended values(2); select count(*) from ended"), "1")

    def test_disconnect_interrupts_a_running_statement(self):
        token = self.token(createNewSession=True, currentServer={"database": "work", "queryTimeout": 0})
        replies = []
        endless = "with recursive n(i) as (select 1 union all select i + 1 from n) select count(*) from n"
        worker = threading.Thread(target=lambda: replies.append(
            self.server.session(token, "execStatement", query=endless)))
        worker.start()
        # Once the statement holds the session's only connection, disconnect.
        busy = lambda: self.server.session(token, "refreshConnection").get("type") == "exception"
        self.assertTrue(wait_for(busy, 20))
        self.server.session(token, "disconnect")
        worker.join(60)
        self.assertEqual(len(replies), 1)
        self.assertEqual((replies[0]["type"], replies[0].get("error")), ("exception", 9115), replies[0])

    def test_a_statement_stops_when_its_client_goes(self):
        token = self.token(createNewSession=True, currentServer={"database": "work", "queryTimeout": 0})
        other = self.token(createNewSession=True)
        endless = "with recursive n(i) as (select 1 union all select i + 1 from n) select count(*) from n"
        body = json.dumps({"action": "quarnSQL", "method": "execStatement", "tid": 1,
                           "data": [{"token": token, "yxInfo": {"query": endless}}]})
        curl = subprocess.Popen(["curl", "-s", "-o", "/dev/null", "-H", "Content-Type: application/json",
                                 "--data-binary", body, "http://127.0.0.1:%d/plover" % self.server.port])
        busy = lambda: self.server.session(token, "refreshConnection").get("type") == "exception"
        try:
            self.assertTrue(wait_for(busy, 20))
            self.assertEqual(self.server.session(other, "execQuery", query="select 'yes' as one")["result"],
                             [{"one": "yes"}])
        finally:
            curl.kill()
            curl.wait()
        # The server's own limit is minutes away: the statement stops with its
        # client, and the session's one connection serves again.
        self.assertTrue(wait_for(lambda: not busy(), 20))
        self.assertIn("the client of the call execStatement has gone", self.server.tree.log())

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


class BodyTest(ServerCase):
    """Request bodies past what the methods need are refused before they are parsed."""
    # Freed memory goes back at once: the resident size then shows what is held.
    ENV = {"ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") + ":quarantine_size_mb=0"}

    def raw_post(self, body):
        return self.server.http("POST", "/plover", body, {"Content-Type": "application/json"})

    def test_bodies_past_the_bounds_are_refused_and_others_served(self):
        token = self.token()
        cases = [(b"[" + b"0," * (3 << 20) + b"0]", "longer than 4194304 bytes"),
                 (b"[" + b"0," * 20000 + b"0]", "more than 16384 values"),
                 (b"[" * 40 + b"]" * 40, "deeper than 32 levels")]
        with ResidentGrowth(self.server.tree.proc.pid) as refused:
            for body, message in cases:
                with self.subTest(message=message):
                    status, payload = self.raw_post(body)
                    self.assertEqual(status, 413)
                    reply = json.loads(payload)
                    # A host that asks for the bound refuses a long body itself, with its own error.
                    if "type" in reply or "longer" not in message:
                        self.assertEqual(reply["type"], "exception")
                        self.assertIn(message, reply["message"])
                    self.assertEqual(self.server.session(token, "getConnectionStatus")["type"], "rpc")
            self.assertEqual(self.raw_post(b"{not json")[0], 400)
        # The 6 MiB body costs its bytes on their way in, never a parse.
        refused.check(self, peak_mib=32, after_mib=8)
        # A long value written whole still fits, in a few times its body.
        self.server.sql("work", "create table if not exists big(id integer, body lvarbinary);"
                                "insert into big values(1, x'00');")
        data = {"user": "main", "table": "big", "colName": "body", "colType": "BLOB", "rowId": "1",
                "blob": "AB" * (1 << 20)}
        with ResidentGrowth(self.server.tree.proc.pid) as accepted:
            reply = self.server.call("setBlobData", {"token": token, "yxInfo": {"data": data}})
        self.assertEqual(reply["type"], "rpc", reply)
        accepted.check(self, peak_mib=32, after_mib=8)
        self.server.session(token, "setTransaction", action="commit")
        self.assertEqual(self.server.sql("work", "select length(body) from big"), str(1 << 20))


class ResultBoundsTest(ServerCase):
    """Statements have one deadline, at most the server's, and getBlobData reads only the rows there are."""
    ENV = {"ZVSQL_MAX_STATEMENT_SECONDS": "2",
           "ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") + ":quarantine_size_mb=0"}
    ENDLESS = "with recursive n(i) as (select 1 union all select i + 1 from n) "

    def test_statements_end_at_their_deadline_while_others_are_served(self):
        other = self.token()
        results = {}
        def run(name, timeout, method, query):
            token = self.token(currentServer={"database": "work", "queryTimeout": timeout})
            results[name] = self.server.session(token, method, query=query)
        cases = [("no time-out is the maximum", 0, "execStatement", self.ENDLESS + "select count(*) from n"),
                 ("fetches share the deadline", 1, "execQuery", self.ENDLESS + "select i from n where i % 1000 = 0"),
                 ("past the maximum", 100000, "execStatement", self.ENDLESS + "select max(i) from n")]
        threads = [threading.Thread(target=run, args=case) for case in cases]
        with ResidentGrowth(self.server.tree.proc.pid) as growth:
            for t in threads:
                t.start()
            self.assertEqual(self.server.session(other, "execQuery", query="select 'yes' as one")["result"],
                             [{"one": "yes"}])
            for t in threads:
                t.join(60)
        # Statements that run long hold their threads, not memory.
        growth.check(self, peak_mib=32, after_mib=16)
        for name, *_ in cases:
            with self.subTest(name):
                self.assertEqual(results[name]["type"], "exception", results[name])
                self.assertEqual(results[name]["error"], 9106, results[name])
        script = self.server.call("execScriptStatement", {"token": other, "yxInfo": {
            "query": self.ENDLESS + "select i from n", "currentServer": {"queryTimeout": 0}}})
        self.assertEqual(script["result"]["error"]["errNo"], 9106)

    def test_blob_rows_are_read_as_far_as_the_result_goes(self):
        token, other = self.token(), self.token()
        with ResidentGrowth(self.server.tree.proc.pid) as growth:
            reply = self.server.call("getBlobData", {"token": token, "start": 0, "yxInfo": {
                "query": "select 1", "queryMode": 1, "row": 2147483647, "columnName": "1", "columnType": "LVC"}})
            self.assertEqual(self.server.session(other, "getConnectionStatus")["type"], "rpc")
        self.assertEqual(reply["type"], "rpc")
        self.assertNotIn("result", reply)
        growth.check(self, peak_mib=16, after_mib=8)


class ReplyBoundsTest(ServerCase):
    """Replies have a bounded size and cost memory in proportion to it."""
    ENV = {"ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") + ":quarantine_size_mb=0"}
    ENDLESS = ResultBoundsTest.ENDLESS

    def test_replies_are_bounded_and_built_in_proportion(self):
        token = self.token(currentServer={"database": "work", "queryTimeout": 120})
        other = self.token()
        pid = self.server.tree.proc.pid
        huge = self.ENDLESS + "select printf('%.*c', 1000000, 'x') as big from n limit 70"
        with ResidentGrowth(pid) as refused:
            reply = self.server.session(token, "execQuery", query=huge)
            self.assertEqual(self.server.session(other, "getConnectionStatus")["type"], "rpc")
            script = self.server.call("execScriptStatement", {"token": token, "yxInfo": {"query": huge}})["result"]
        self.assertEqual((reply["type"], reply.get("error")), ("exception", 8010), reply.get("message", "")[:200])
        self.assertIn("64 MiB", reply["message"])
        self.assertEqual((script["error"]["errNo"], "rows" in script), (8010, False), script["error"])
        # The rows gathered up to the 64 MiB bound, a few times over at most, and given back.
        refused.check(self, peak_mib=256, after_mib=16)
        # 200,000 rows of about 40 bytes: an 8 MB reply in a few times its size.
        with ResidentGrowth(pid) as answered:
            rows = self.server.session(token, "execQuery", query=self.ENDLESS + "select i, 'name ' || i as name "
                                       "from n limit 200000")["result"]
        self.assertEqual((len(rows), rows[-1]), (200000, {"i": "200000", "name": "name 200000"}))
        answered.check(self, peak_mib=64, after_mib=16)

    def test_a_batch_carries_no_more_than_one_reply_may(self):
        token = self.token(currentServer={"database": "work", "queryTimeout": 120})
        other = self.token()
        # Three results of 25 MB each: every one fits a reply, together they do not.
        large = self.ENDLESS + "select printf('%.*c', 1000000, 'x') as big from n limit 25"
        batch = [{"action": "quarnSQL", "method": "execQuery", "data": [{"token": token, "yxInfo": {"query": large}}],
                  "tid": tid} for tid in range(1, 4)]
        batch.append({"action": "quarnSQL", "method": "getConnectionStatus", "data": [{"token": token}], "tid": 4})
        replies = []
        with ResidentGrowth(self.server.tree.proc.pid) as growth:
            worker = threading.Thread(target=lambda: replies.append(self.server.post(batch)))
            worker.start()
            served = wait_for(lambda: self.server.session(other, "getConnectionStatus")["type"] == "rpc", 30)
            worker.join()
        self.assertTrue(served)
        [replies] = replies
        # The first is answered whole; the one that passes the bound is refused and ends the batch.
        self.assertEqual([(r["type"], r["tid"]) for r in replies], [("rpc", 1), ("rpc", 2), ("exception", 3)])
        self.assertEqual([len(r["result"]) for r in replies[:2]], [25, 25])
        self.assertEqual(replies[2]["error"], 8010, replies[2]["message"])
        # One reply's bound, a few times over at most, and given back.
        growth.check(self, peak_mib=256, after_mib=16)


class ReplyBudgetTest(ServerCase):
    """Large replies in flight share the process's memory budget (lowered
    here to 64 MiB): past it a reply is refused as busy, to be sent again."""
    BUDGET_MIB = 64
    ENV = dict(ReplyBoundsTest.ENV, OSPREY_MEMORY_BUDGET=str(BUDGET_MIB << 20))
    ENDLESS = ResultBoundsTest.ENDLESS

    def test_large_replies_at_once_stay_within_the_budget(self):
        other = self.token()
        # Eight clients each asking 20 MB: alone each fits, together they
        # would hold several times the budget.
        tokens = [self.token(currentServer={"database": "work", "queryTimeout": 120}) for _ in range(8)]
        large = self.ENDLESS + "select printf('%.*c', 1000000, 'x') as big from n limit 20"
        replies = []
        with ResidentGrowth(self.server.tree.proc.pid) as growth:
            threads = [threading.Thread(target=lambda t=t: replies.append(self.server.session(t, "execQuery",
                                                                                              query=large)))
                       for t in tokens]
            for t in threads:
                t.start()
            served = wait_for(lambda: self.server.session(other, "getConnectionStatus")["type"] == "rpc", 30)
            for t in threads:
                t.join()
        self.assertTrue(served)
        answered = [r for r in replies if r["type"] == "rpc"]
        refused = [r for r in replies if r["type"] != "rpc"]
        self.assertEqual(len(answered) + len(refused), 8)
        self.assertTrue(answered and refused, [r.get("error") for r in replies])
        for reply in answered:
            self.assertEqual(len(reply["result"]), 20)
        for reply in refused:
            self.assertEqual(reply.get("error"), 8011, reply.get("message", "")[:200])
            self.assertIn("server busy: too many large replies in flight, send again", reply["message"])
        # The budget, with the copies written beside it, and given back.
        growth.check(self, peak_mib=2 * self.BUDGET_MIB, after_mib=16)
        # Sent again alone, a refused reply is answered; a small one always is.
        self.assertEqual(len(self.server.session(tokens[0], "execQuery", query=large)["result"]), 20)
        self.assertEqual(self.server.session(other, "execQuery", query="select 1 as one")["result"], [{"one": "1"}])


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
        self.assertEqual(grid["rows"], [{"id": 1, "body": "kept"}])
        self.assertEqual(set(grid["metaData"]), {"timing", "columns", "fields"})
        rows = self.run_sql(tok, "execQuery", "select id, body from notes")["result"]
        self.assertEqual(rows, [{"id": 1, "body": "kept"}])

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


    def test_statements_with_parameters_are_refused_not_left_unrun(self):
        # The console gives no parameter values: a statement holding one would
        # wait for it and never run, though answered as done.
        tok = self.token(autoCommit=True)
        self.run_sql(tok, "execStatement", "create table params(a text)")
        for text in ("insert into params values(?)", "insert into params values(:name)",
                     "update params set a = ?1 where a is null"):
            with self.subTest(text=text):
                for method in ("execStatement", "execQuery"):
                    reply = self.run_sql(tok, method, text)
                    self.assertEqual(reply["type"], "exception", (method, reply))
                    self.assertIn("parameter", reply["message"])
                script = self.server.call("execScriptStatement", {"token": tok, "yxInfo": {"query": text}})["result"]
                self.assertNotEqual(script["error"]["errNo"], 0, script)
                self.assertIn("parameter", script["error"]["errDesc"])
        self.assertEqual(self.run_sql(tok, "execStatement", "insert into params values('?')")["type"], "rpc")
        self.assertEqual(self.server.sql("work", "select a from params"), "?")

    def test_the_engines_own_tables_and_addresses_are_out_of_reach(self):
        tok = self.token()
        self.run_sql(tok, "execStatement", "create table if not exists shop(a integer)")
        before = self.server.sql("work", "select count(*) from rl_tables; select count(*) from rl_fields")
        for method, key in (("execStatement", "query"), ("execScriptStatement", None)):
            for text in ("drop table rl_tables", "delete from rl_fields", "select fts3_tokenizer('simple')",
                         "create trigger sly after insert on shop begin delete from rl_fields; end"):
                with self.subTest(method=method, text=text):
                    if key:
                        reply = self.run_sql(tok, method, text)
                        self.assertEqual(reply["type"], "exception", reply)
                        self.assertIn("9112", reply["message"])
                    else:
                        reply = self.server.call(method, {"token": tok, "yxInfo": {"query": text}})
                        self.assertEqual(reply["result"]["error"]["errNo"], 9112, reply)
        self.run_sql(tok, "execStatement", "commit")
        self.assertEqual(self.server.sql("work", "select count(*) from rl_tables; select count(*) from rl_fields"),
                         before)
        self.assertEqual(self.server.sql("work", "select name from sqlite_master where name = 'sly'"), "")


class WorkbenchRepliesTest(ServerCase):
    """What a call answers is what happened."""

    def test_empty_blob_under_auto_commit_is_committed(self):
        self.server.sql("work", "drop table if exists notes; create table notes(id integer, body lvarchar);"
                                "insert into notes values(1, 'text');")
        tok = self.token(autoCommit=True)
        data = {"user": "main", "table": "notes", "colName": "body", "colType": "LVC", "rowId": "1", "blob": ""}
        self.assertEqual(self.server.call("setBlobData", {"token": tok, "yxInfo": {"data": data}})["type"], "rpc")
        # Committed at once: the shell sees it and may write (no transaction is left open).
        self.assertEqual(self.server.sql("work", "update notes set id = 2; select id, body is null from notes"), "2|1")

    def test_text_columns_of_the_engine_read_whole_and_in_pages(self):
        # The engine declares its own text fields (JSON among them) TEXT.
        self.server.sql("work", "drop table if exists docs2; create table docs2(id integer, doc TEXT);"
                                "insert into docs2 values(1, printf('%.*c', 10000, 'a') || printf('%.*c', 10000, 'b'));")
        tok = self.token()
        rows = self.server.session(tok, "execQuery", query="select doc from docs2")["result"]
        self.assertEqual(len(rows[0]["doc"]), 20000)
        info = {"query": "select doc from docs2", "queryMode": 1, "row": 0, "columnName": "doc", "columnType": "CHAR"}
        pages = [self.server.call("getBlobData", {"token": tok, "start": n, "yxInfo": info})["result"] for n in (0, 2)]
        self.assertEqual([p["total"] for p in pages], [3, 3])
        self.assertEqual((pages[0]["data"], pages[1]["data"]), ("a" * 8192, "b" * (20000 - 16384)))

    def test_cut_messages_stay_utf8(self):
        tok = self.token()
        for pad in range(3):
            with self.subTest(pad=pad):
                query = "select * from " + "x" * pad + "\u20ac" * 700
                status, payload = self.server.http("POST", "/plover", json.dumps(
                    {"action": "quarnSQL", "method": "execStatement", "tid": 1,
                     "data": [{"token": tok, "yxInfo": {"query": query}}]}, ensure_ascii=False).encode(),
                    {"Content-Type": "application/json; charset=utf-8"})
                reply = json.loads(payload.decode("utf-8"))  # strict: a split character raises here
                self.assertEqual(reply["type"], "exception")
                self.assertLessEqual(len(reply["message"].encode()), 1023)

    def test_refused_commit_stops_the_batch(self):
        tok = self.token()
        for text in ("drop table if exists kid", "drop table if exists mum", "create table mum(id integer primary key)",
                     "create table kid(m integer references mum(id) deferrable initially deferred)", "commit",
                     "pragma foreign_keys = on", "insert into kid values(7)"):
            self.assertEqual(self.server.session(tok, "execStatement", query=text)["type"], "rpc", text)
        call = lambda method, tid, **yx: {"action": "quarnSQL", "method": method, "tid": tid,
                                          "data": [{"token": tok, "yxInfo": yx}]}
        replies = self.server.post([call("setTransaction", 1, action="commit"), call("getConnectionStatus", 2)])
        self.assertEqual([r["tid"] for r in replies], [1])
        self.assertEqual(replies[0]["type"], "exception")
        self.assertIn("FOREIGN KEY", replies[0]["message"])
        self.server.session(tok, "setTransaction", action="rollback")
        self.assertEqual(self.server.sql("work", "select count(*) from kid"), "0")


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


class GridTest(ServerCase):
    """The grid's column model and cells for every kind of column."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.server.sql("work", "create table kinds(c char(4), v varchar(3000), n numeric(10,3), s smallint, i integer, "
                               "b bigint, m money, d double, dt date, t time, ts timestamp, f bit, lv lvarchar, "
                               "cl clob, lb lvarbinary, vb varbinary(2000));"
                               "insert into kinds values('ab', 'one', 12.5, -3, 42, 9000000000, 7.25, 1.5, "
                               "'2024-03-05', '13:45:07.250', '2024-03-05 13:45:07.250', 1, 'long', 'c', x'00ff', "
                               "x'0a0b');"
                               "insert into kinds(c, v, lv, lb, vb) values('x', printf('%.2000c', 'v'), "
                               "printf('%.1500c', 'w'), zeroblob(1500), zeroblob(1500));"
                               "insert into kinds(v) values(printf('%.1000c', 'a') || char(10) || printf('%.1000c', 'b'));")
        cls.tok = cls.server.connect("work")["result"]["token"]

    def grid(self, query, **extra):
        reply = self.server.session(self.tok, "execStatement", query=query, **extra)
        self.assertEqual(reply["type"], "rpc", reply)
        return reply["result"]

    def test_column_model_by_type(self):
        result = self.grid("select rowid, * from kinds", identityColName="I")
        columns = {c["dataIndex"]: c for c in result["metaData"]["columns"]}
        fields = {f["name"]: f for f in result["metaData"]["fields"]}
        self.assertEqual(list(columns), ["rowid", "c", "v", "n", "s", "i", "b", "m", "d", "dt", "t", "ts", "f", "lv",
                                         "cl", "lb", "vb"])
        self.assertEqual(list(columns["rowid"]), ["align", "dataIndex", "text", "minWidth", "editor", "tdCls", "xtype",
                                                  "format", "hideable", "yxType", "width"])
        self.assertEqual(columns["c"]["text"], 'c<br><font size = "1" color = "blue">(char)')
        cases = [  # column, members expected in its column object, its field's type, its editor
            ("rowid", {"align": "right", "yxType": "CHAR", "format": "0"}, None, None),
            ("c", {"align": "left", "yxType": "CHAR", "yxTooltip": True}, None, {"xtype": "textfield"}),
            ("n", {"align": "right", "format": "0.000"}, "number",
             {"xtype": "numberfield", "allowDecimals": True, "decimalPrecision": 3, "hideTrigger": False}),
            ("s", {"format": "0,000", "xtype": "numbercolumn"}, "number",
             {"xtype": "numberfield", "allowDecimals": False, "hideTrigger": False}),
            ("i", {"tdCls": "custom-column"}, "number", None),  # the identity column is read-only
            ("m", {"format": "0,000.00"}, "number",
             {"xtype": "numberfield", "allowDecimals": True, "decimalPrecision": 2, "hideTrigger": False}),
            ("d", {"format": "0,000.000000"}, "number",
             {"xtype": "numberfield", "allowDecimals": True, "decimalPrecision": 6, "hideTrigger": False}),
            ("dt", {"xtype": "datecolumn", "width": 10 * 7 + 15}, "date", {"xtype": "datefield"}),
            ("t", {"xtype": "timecolumn", "width": 14 * 7 + 15}, "date", {"xtype": "textfield"}),
            ("ts", {"xtype": "datetimecolumn", "width": 25 * 7 + 15}, "date", {"xtype": "textfield"}),
            ("f", {"xtype": "booleancolumn"}, "bool", {"xtype": "checkbox"}),
            ("lv", {"yxType": "LVC", "sortable": False, "tdCls": "custom-column"}, None, None),
            ("cl", {"yxType": "CLOB"}, None, None),
            ("lb", {"yxType": "LVB"}, None, None),
            ("vb", {"yxType": "VARBINARY", "yxTooltip": True}, None, {"xtype": "textfield"}),
        ]
        for name, members, field_type, editor in cases:
            with self.subTest(column=name):
                column = columns[name]
                self.assertEqual({k: column.get(k) for k in members}, members)
                self.assertEqual(column["editor"], editor)
                self.assertEqual(fields[name].get("type"), field_type)
                self.assertIs(fields[name]["allowNull"], True)
                self.assertEqual(column["minWidth"], 50)
        self.assertNotIn("yxTooltip", columns["rowid"])
        self.assertEqual(fields["ts"]["dateFormat"], "m/d/Y H:i:s.u")
        self.assertEqual(fields["f"]["uncheckedValue"], "false")
        # Widths: 7 pixels a character of the widest cell or header, 20 more when right-aligned.
        self.assertEqual(columns["rowid"]["width"], 6 * 7 + 20)  # the header "(char)"
        self.assertEqual(columns["v"]["width"], 1000 * 7 + 15)  # the longest line of the two-line value
        self.assertEqual(columns["b"]["width"], (10 + 4) * 7 + 20)

    def test_cells_by_type_and_long_values(self):
        rows = self.grid("select * from kinds order by rowid")["rows"]
        first = rows[0]
        self.assertEqual({k: first[k] for k in ("c", "v", "n", "s", "i", "b", "f", "lv", "cl", "lb", "vb")},
                         {"c": "ab", "v": "one", "n": "12.500", "s": -3, "i": 42, "b": 9000000000, "f": True,
                          "lv": "long", "cl": "c", "lb": "00FF", "vb": "0A0B"})
        self.assertEqual((first["d"], first["dt"], first["t"], first["ts"]),
                         (1.5, "03/05/2024", "13:45:07.250", "03/05/2024 13:45:07.250"))
        self.assertTrue(first["m"].startswith("7.25"), first)
        second = rows[1]
        self.assertEqual([second[k] for k in ("v", "lv", "lb", "vb")], ["< Large Data >"] * 4)
        # Nulls: long and binary cells read "(null)", fixed ones JSON null, a numeric one is left out.
        self.assertEqual((second["cl"], second["i"], second["f"]), ("(null)", None, None))
        self.assertNotIn("n", second)
        # Two lines of 1,000 characters are no long value: sent whole.
        self.assertEqual(len(rows[2]["v"]), 2001)
        # The query console: times as date-times, 64-bit integers as texts, bits as numbers, long values whole.
        query = self.server.session(self.tok, "execQuery", query="select t, b, f, i, lb, v from kinds order by rowid")
        self.assertEqual(query["result"][0], {"t": "01/01/2016 13:45:07.250", "b": "9000000000", "f": 1, "i": 42,
                                              "lb": "", "v": "one"})
        self.assertEqual((len(query["result"][1]["v"]), query["result"][1]["i"]), (2000, None))

    def test_row_limits_and_empty_rows(self):
        counts = {limit: len(self.grid("select * from kinds", numRows=limit)["rows"]) for limit in (-1, 0, -2, 2, 9)}
        self.assertEqual(counts, {-1: 3, 0: 0, -2: 0, 2: 2, 9: 3})
        new = self.grid("select c, i from kinds", createNew=True)
        self.assertEqual(new["rows"], [{"c": None, "i": None}])
        self.assertEqual(new["metaData"]["timing"], {"exec": 0, "fetch": 0})
        change = self.grid("update kinds set s = s where 0")
        self.assertEqual((change["metaData"]["columns"], change["metaData"]["fields"], change["rows"]), ([], [], []))

    def test_a_fetch_that_fails_is_no_shorter_result(self):
        # The third row's value overflows: the rows before it are not a result.
        query = "select case when rowid < 3 then rowid else abs(-9223372036854775807 - 1) end from kinds"
        reply = self.server.session(self.tok, "execStatement", query=query)
        self.assertEqual(reply["type"], "exception", reply)
        self.assertNotIn("result", reply)
        script = self.server.session(self.tok, "execScriptStatement", query=query)["result"]
        self.assertNotEqual(script["error"]["errNo"], 0, script)


class ScriptTest(ServerCase):
    """The script console: statements, console commands and their replies."""

    def setUp(self):
        self.server.sql("work", "drop table if exists lines; create table lines(id integer, note varchar(20), "
                                "tiny tinyint, flag bit, body lvarchar, pic lvarbinary);"
                                "insert into lines values(1, 'one', 7, 1, printf('%.3000c', 'x'), zeroblob(3000)),"
                                "(2, null, -100, 0, 'b', x'01'), (3, 'three', 0, 1, 'c', x'02');")
        self.tok = self.token(createNewSession=True)

    def script(self, query=None, **yx):
        if query is not None:
            yx["query"] = query
        reply = self.server.call("execScriptStatement", {"token": self.tok, "yxInfo": yx})
        self.assertEqual(reply["type"], "rpc", reply)
        return reply["result"]

    def committed(self):
        return self.server.sql("work", "select group_concat(id) from (select id from lines order by id)")

    def test_result_set_columns_rows_and_widths(self):
        result = self.script("select id, note, tiny, flag, body, pic from lines order by id")
        self.assertEqual(list(result), ["affectedRows", "statement", "columns", "rows", "error"])
        self.assertEqual(result["columns"]["type"], ["int", "varchar", "tinyint", "bit", "lvarchar", "lvarbinary"])
        self.assertEqual(result["columns"]["name"], ["id", "note", "tiny", "flag", "body", "pic"])
        # tinyint counts one character, a bit five, a null cell six.
        self.assertEqual(result["columns"]["len"][:4], [2, 6, 4, 5])
        first, second = result["rows"][0], result["rows"][1]
        self.assertEqual((first["id"], first["note"], first["tiny"], first["flag"]), (1, "one", 7, True))
        self.assertEqual(second["note"], None)
        self.assertTrue(first["body"].endswith(" Truncated Data !!! "))
        self.assertEqual(len(first["body"]), 1023 + len(" Truncated Data !!! "))
        self.assertTrue(first["pic"].endswith(" < Truncated Data !!! >"))
        self.assertEqual(first["pic"][:2048], "00" * 1024)
        whole = self.script("select body, pic from lines where id = 1", noTruncate=True)["rows"][0]
        self.assertEqual((len(whole["body"]), len(whole["pic"])), (3000, 6000))
        self.assertEqual(result["error"], {"errNo": 0, "errDesc": ""})

    def test_row_limits(self):
        counts = [len(self.script("select * from lines", **limit).get("rows", []))
                  for limit in ({}, {"maxRows": "All"}, {"maxRows": "all"}, {"maxRows": "2"}, {"maxRows": 0})]
        self.assertEqual(counts, [3, 3, 0, 2, 0])
        long_name = "n" * 70
        named = self.script("select 1 as %s" % long_name)["columns"]
        self.assertEqual((named["name"], named["len"]), (["n" * 64], [64]))

    def test_changes_commands_and_errors(self):
        insert = self.script("insert into lines(id) values(4), (5)", time=True)
        self.assertEqual(insert["affectedRows"], 2)
        self.assertNotIn("columns", insert)
        self.assertEqual(set(insert["timing"]), {"exec", "fetch"})
        self.assertEqual(self.committed(), "1,2,3")
        for text in ("COMMIT WORK", "rollback", "commit;", "echo hello", "spool off"):
            with self.subTest(text=text):
                self.assertEqual(self.script(text)["error"]["errNo"], 0)
        self.assertEqual(self.committed(), "1,2,3,4,5")
        settings = self.script("SET SCHEMA Main", time=True)
        self.assertEqual((settings["statement"], settings["error"]["errNo"], settings["timing"]),
                         ("set schema main", 0, {"exec": 0, "fetch": 0}))
        self.assertEqual(self.script("set transaction isolation level serializable")["error"]["errNo"], 0)
        # An unknown level goes to the client, which refuses it.
        for text in ("set transaction isolation level read", "set transaction read write now"):
            self.assertNotEqual(self.script(text)["error"]["errNo"], 0, text)
        self.assertEqual(self.script("set transaction read only")["error"]["errNo"], 0)
        bad = self.script("select nothing from lines")
        self.assertNotEqual(bad["error"]["errNo"], 0)
        self.assertTrue(bad["error"]["errDesc"])
        self.assertIn("errPos", bad["error"])
        self.assertNotIn("columns", bad)
        nothing = self.script()
        self.assertEqual((nothing["error"], "statement" in nothing), ({"errNo": 0, "errDesc": ""}, False))

    def test_script_suspends_the_sessions_auto_commit(self):
        self.server.session(self.tok, "setTransaction", action="autoOn")
        self.script("set autocommit off")
        self.script("insert into lines(id) values(6)")
        self.assertEqual(self.committed(), "1,2,3")  # the script's work waits for its end
        self.assertEqual(self.server.session(self.tok, "terminateScript")["type"], "rpc")
        self.script("echo done")  # the session commits after each call again
        self.assertEqual(self.committed(), "1,2,3,6")


class DumpTest(ServerCase):
    """A table's rows in its script: insert statements that give the rows back."""

    def test_rows_dumped_with_commit_lines_and_run_again(self):
        self.server.sql("work", "drop table if exists \"it's\"; create table \"it's\"(id integer, name varchar(20), "
                                "price real, flag bit, pic lvarbinary);"
                                "insert into \"it's\" values(1, 'O''Brien''s', 1.5, 1, x'00ff10'), "
                                "(2, null, null, 0, null), (3, 'c', 2, null, x''), (4, 'd', -0.25, 1, x'41'), "
                                "(5, ';', 1, 0, x'0000');")
        tok = self.token()
        def script(**yx):
            info = {"objectType": "table", "objectOwner": "main", "objectName": "it's", "dumpRows": True}
            info.update(yx)
            reply = self.server.call("getSqlScript", {"token": tok, "yxInfo": info})
            if reply.get("message", "").startswith("ploverRouter -> Function not found"):
                self.skipTest("no table scripts in this build")
            self.assertEqual(reply["type"], "rpc", reply)
            return reply["result"]["text"]
        text = script(commitFrequency=2)
        lines = [line for line in text.split("\n") if line.startswith("insert into") or line == "commit;"]
        self.assertEqual(lines[:2], ["insert into \"main\".\"it's\" values('1','O''Brien''s','1.5',1,x'00FF10');",
                                     "insert into \"main\".\"it's\" values('2',NULL,NULL,0,NULL);"])
        # A commit line after every second row, none after the fifth.
        self.assertEqual([line == "commit;" for line in lines], [False, False, True, False, False, True, False])
        self.assertEqual(script().count("commit;"), 0)
        # Run on an empty database, the script gives the same rows back.
        copy = self.server.tree.path("data/BRENLOXS/copy.db")
        out = subprocess.run(["sqlite3", copy], input=text.replace("\ncommit;", ""), capture_output=True, text=True,
                             timeout=30)
        self.assertEqual(out.stderr, "")
        check = "select id, quote(name), price, flag, hex(pic) from \"it's\" order by id"
        original = self.server.sql("work", check)
        self.assertEqual(subprocess.run(["sqlite3", copy, check], capture_output=True, text=True).stdout.strip(),
                         original)
        self.assertIn("1|'O''Brien''s'|1.5|1|00FF10", original)


    def test_doubles_dumped_read_back_equal(self):
        self.server.sql("work", "drop table if exists ratios; create table ratios(id integer, v double precision, "
                                "r real); insert into ratios values(1, 1e-9, 0.1), (2, 0.1, 1e-9), (3, 1.0/3, 1.0/3),"
                                " (4, -2.5e300, 3.4e38), (5, 123456789.123456789, -0.0000123);")
        tok = self.token()
        reply = self.server.call("getSqlScript", {"token": tok, "yxInfo": {
            "objectType": "table", "objectOwner": "main", "objectName": "ratios", "dumpRows": True}})
        text = reply["result"]["text"]
        copy = self.server.tree.path("data/BRENLOXS/copy.db")
        subprocess.run(["sqlite3", copy, "drop table if exists ratios"], check=True)
        out = subprocess.run(["sqlite3", copy], input=text, capture_output=True, text=True, timeout=30)
        self.assertEqual(out.stderr, "")
        check = "select id, quote(v), quote(r) from ratios order by id"
        self.assertEqual(subprocess.run(["sqlite3", copy, check], capture_output=True, text=True).stdout.strip(),
                         self.server.sql("work", check))


    def test_infinite_doubles_dumped_with_every_row_after_them(self):
        self.server.sql("work", "drop table if exists edges; create table edges(id integer, v double precision, "
                                "r real); insert into edges values(1, 1e999, -1e999), (2, -1e999, 2.5), "
                                "(3, 0.5, 1e999), (4, null, null);")
        tok = self.token()
        reply = self.server.call("getSqlScript", {"token": tok, "yxInfo": {
            "objectType": "table", "objectOwner": "main", "objectName": "edges", "dumpRows": True}})
        self.assertEqual(reply["type"], "rpc", reply)
        text = reply["result"]["text"]
        self.assertEqual(text.count("insert into"), 4, text)
        self.assertNotIn("left out", text)
        copy = self.server.tree.path("data/BRENLOXS/copy.db")
        subprocess.run(["sqlite3", copy, "drop table if exists edges"], check=True)
        out = subprocess.run(["sqlite3", copy], input=text, capture_output=True, text=True, timeout=30)
        self.assertEqual(out.stderr, "")
        check = "select id, quote(v), quote(r), typeof(v), typeof(r) from edges order by id"
        original = self.server.sql("work", check)
        self.assertIn("1|Inf|-Inf|real|real", original)
        self.assertEqual(subprocess.run(["sqlite3", copy, check], capture_output=True, text=True).stdout.strip(),
                         original)

    def test_large_money_read_and_dumped_whole(self):
        self.server.sql("work", "drop table if exists cash; create table cash(id integer, m money, n numeric(20,2));"
                                "insert into cash values(1, 123456789.5, cast('123456789012345678.91' as blob)),"
                                " (2, cast('-98765432109876543.21' as blob), 1.5);")
        tok = self.token()
        rows = self.server.session(tok, "execQuery", query="select id, m, n from cash order by id")["result"]
        self.assertEqual([(r["m"], r["n"]) for r in rows],
                         [("123456789.5", "123456789012345678.91"), ("-98765432109876543.21", "1.50")])
        reply = self.server.call("getSqlScript", {"token": tok, "yxInfo": {
            "objectType": "table", "objectOwner": "main", "objectName": "cash", "dumpRows": True}})
        text = reply["result"]["text"]
        self.assertNotIn(",)", text)
        self.assertNotIn("(,", text)
        self.assertIn("'123456789012345678.91'", text)


class StopTest(unittest.TestCase):
    """Stopping the server while a long statement runs: the call ends before
    the pools are freed, and the server exits without a sanitizer report."""

    def test_stop_waits_for_the_call_in_flight(self):
        server = Server()
        try:
            server.create_db("work")
            tok = server.connect("work")["result"]["token"]
            slow = ("with recursive n(i) as (select 1 union all select i + 1 from n where i < 3000000) "
                    "select count(*) from n")
            replies = []
            def run():
                try:
                    replies.append(server.session(tok, "execScriptStatement", query=slow))
                except OSError as e:
                    replies.append(e)
            call = threading.Thread(target=run)
            call.start()
            time.sleep(0.5)
            log = server.stop()
            call.join(60)
        except Exception:
            server.tree.proc.kill()
            raise
        self.assertFalse(sanitizer_report(log), log)
        # The statement ran to its end and was answered before the server went.
        self.assertEqual(replies[0]["result"]["rows"], [{"count(*)": "3000000"}], replies)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1] + sys.argv[1:], verbosity=2)
