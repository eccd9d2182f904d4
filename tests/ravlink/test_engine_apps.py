"""The database engine through the applications that reach it, on a running
heron: what a logon may and may not make, and what the engine keeps of the
values, databases and tables the applications hand it. The files are checked
afterwards with ls and the sqlite3 shell."""
import http.client
import json
import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "common"))
from peers import RunningHeron, b64, sanitizer_report  # noqa: E402

SERVER = "BRENLOXS"
ADMIN = ("ADMIN", "TRUVE")


class Apps(RunningHeron):
    """heron -s with the REST application, the table browser, the monitor and the workbench."""

    check_sql = True
    timeout = 60

    def __init__(self, prefix="engine-apps-", applications=("quarn;gannet", "avocet;avocet", "monitor;finch",
                                                            "plover;plover"), websocket_applications=()):
        super().__init__(prefix, applications=applications, websocket_applications=websocket_applications,
                         config={"verbose_level": -1, "mqtt_enabled": "false"})

    def rest(self, method, path, body=None, credentials=ADMIN):
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=60)
        headers = {"Authorization": "Basic " + b64("%s:%s" % credentials)}
        data = None
        if body is not None:
            data = body if isinstance(body, (bytes, str)) else json.dumps(body)
            headers["Content-Type"] = "application/json"
        conn.request(method, "/quarn/api/v1/" + path, body=data, headers=headers)
        reply = conn.getresponse()
        text = reply.read().decode()
        conn.close()
        return reply.status, (json.loads(text) if text else None)

    def data_root(self):
        """Every file and folder under the data root with its size."""
        root = self.path("data")
        found = []
        for folder, dirs, files in os.walk(root):
            for name in dirs + files:
                full = os.path.join(folder, name)
                found.append((os.path.relpath(full, root), os.path.getsize(full) if name in files else -1))
        return sorted(found)


class AppsCase(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.apps = Apps()

    @classmethod
    def tearDownClass(cls):
        cls.apps.finish(check="report")


class LogonTest(AppsCase):
    def test_the_configured_server_exists_on_a_fresh_data_root(self):
        self.assertTrue(os.path.isfile(self.apps.path("data/%s/rl_server.db" % SERVER)))
        status, reply = self.apps.rest("GET", "database")
        self.assertEqual(status, 200, reply)

    def test_logons_make_no_server_and_change_nothing(self):
        before = self.apps.data_root()
        cases = [  # server, user, password, the code the logon answers
            ("INTRUDER1", "ADMIN", "TRUVE", 12),
            ("INTRUDER2@127.0.0.1", "ADMIN", "TRUVE", 12),
            ("INTRUDER3", "EVIL", "guess", 12),
            (SERVER, "ADMIN", "nope", 450),
            (SERVER, "EVIL", "guess", 451),
        ]
        for server, user, password, code in cases:
            info = {"serverName": server, "userName": b64(user), "userPassword": b64(password)}
            for path in ("avocet/zvIsamExConnect", "monitor/zvMonConnect"):
                reply = self.apps.post(path, {"serverInfo": info})
                self.assertFalse(reply.get("success"), (path, server, reply))
                self.assertEqual(reply.get("errorCode"), code, (path, server, reply))
        self.assertEqual(self.apps.data_root(), before)
        self.assertFalse(any(name.startswith("INTRUDER") for name in os.listdir(self.apps.path("data"))))


class DatabaseTest(AppsCase):
    def browser(self):
        reply = self.apps.post("avocet/zvIsamExConnect",
                               {"serverInfo": {"userName": b64("ADMIN"), "userPassword": b64("TRUVE")}})
        self.assertTrue(reply.get("success"), reply)
        return reply["result"]["token"]

    def test_a_deleted_database_takes_no_acknowledged_write(self):
        # REST closes its own idle connections to the database before the
        # delete; a session that still held it would get -8 (the engine's
        # tests cover that). Either way nothing acknowledged lands in a
        # removed file.
        apps = self.apps
        self.assertEqual(apps.rest("POST", "database/inuse")[0], 200)
        status, reply = apps.rest("POST", "table/inuse/t", {"fields": [{"name": "v", "type": "INTEGER"}]})
        self.assertEqual(status, 200, reply)
        self.assertEqual(apps.rest("POST", "record/inuse/t", {"v": 1})[0], 200)  # leaves an idle pooled connection
        status, reply = apps.rest("DELETE", "database/inuse")
        self.assertEqual(status, 200, reply)
        self.assertFalse(os.path.exists(apps.path("data/%s/inuse.db" % SERVER)))
        status, reply = apps.rest("POST", "record/inuse/t", {"v": 2})
        self.assertNotEqual(status, 200, reply)
        self.assertFalse(os.path.exists(apps.path("data/%s/inuse.db" % SERVER)))

    def test_creating_a_dropped_database_again_brings_back_nothing(self):
        token = self.browser()
        action = lambda mode: self.apps.post("avocet/zvIsamExDoAction", {"mode": mode, "name": "again", "path": ""},
                                             token)
        self.assertTrue(action("CREATEDB").get("success"))
        self.apps.sql("again", "create table stale(x)")
        self.assertTrue(action("DROPDB").get("success"))
        reply = action("CREATEDB")
        self.assertEqual(reply.get("errorCode"), 4209, reply)
        self.assertEqual(self.apps.sql("again", "select name from sqlite_master where name = 'stale'"), "stale")
        self.assertTrue(action("ADDDB").get("success"))
        self.assertTrue(action("DELETEDB").get("success"))
        self.assertTrue(action("CREATEDB").get("success"))
        self.assertEqual(self.apps.sql("again", "select count(*) from sqlite_master where name = 'stale'"), "0")


class OpenTest(AppsCase):
    def workbench(self, method, params):
        return self.apps.post("plover", {"action": "quarnSQL", "method": method, "data": [params], "tid": 1})

    def test_an_uncommitted_write_holds_up_no_new_logon_or_open(self):
        apps = self.apps
        self.assertEqual(apps.rest("POST", "database/busy")[0], 200)
        status, reply = apps.rest("POST", "table/busy/t", {"fields": [{"name": "v", "type": "INTEGER"}]})
        self.assertEqual(status, 200, reply)
        reply = self.workbench("connect", {"yxInfo": {"currentServer": {"database": "busy"}, "userName": b64("ADMIN"),
                                                      "userPassword": b64("TRUVE"), "autoCommit": False,
                                                      "isolationLevel": True}})
        self.assertEqual(reply["type"], "rpc", reply)
        token = reply["result"]["token"]
        reply = self.workbench("execStatement", {"token": token, "yxInfo": {"query": "insert into t(v) values(7)"}})
        self.assertEqual(reply["type"], "rpc", reply)  # not committed: the session holds the file's write lock
        # A new logon and a first open of the database only read it.
        reply = self.workbench("connect", {"yxInfo": {"currentServer": {"database": "busy"},
                                                      "userName": b64("ADMIN"), "userPassword": b64("TRUVE"),
                                                      "autoCommit": True, "isolationLevel": True,
                                                      "createNewSession": True}})
        self.assertEqual(reply["type"], "rpc", reply)
        status, reply = apps.rest("GET", "record/busy/t/1")
        self.assertEqual(status, 404, reply)
        self.assertEqual(apps.sql("busy", "select count(*) from t"), "0")
        reply = self.workbench("execStatement", {"token": token, "yxInfo": {"query": "commit"}})
        self.assertEqual(reply["type"], "rpc", reply)
        self.assertEqual(apps.sql("busy", "select v from t"), "7")


class LongPathTest(unittest.TestCase):
    """Paths the engine returns longer than the applications' old buffers."""

    def test_listings_never_fail_with_code_zero(self):
        apps = Apps(prefix="engine-apps-" + "p" * 200 + "-")
        try:
            self.assertGreater(len(apps.path("data/%s/longpath.db" % SERVER)), 240)
            self.assertEqual(apps.rest("POST", "database/longpath")[0], 200)
            status, reply = apps.rest("POST", "table/longpath/t", {"fields": [{"name": "v", "type": "INTEGER"}]})
            self.assertEqual(status, 200, reply)
            for path, member in (("database", "_databases"), ("table/longpath", "_tables")):
                status, reply = apps.rest("GET", path)
                if status == 200:
                    self.assertIn(member, reply)
                else:
                    self.assertNotEqual(reply.get("_errorCode"), 0, (path, reply))
        finally:
            log = apps.finish()
        self.assertFalse(sanitizer_report(log), log)


if __name__ == "__main__":
    unittest.main()
