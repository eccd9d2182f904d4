"""The server monitor through a running heron: every command of finch's
table driven over HTTP while MQTT clients make the engine busy through the
broker's persisted topic; ending a logon; the slot pool full, expired and
reaped; and the messages when the engine lacks a name."""
import hashlib
import http.client
import json
import os
import re
import shutil
import subprocess
import sqlite3
import stat
import sys
import threading
import time
import unittest
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "common"))
from peers import RunningHeron, b64, free_port, post_json, wait_for  # noqa: E402


ADMIN = {"userName": b64("ADMIN"), "userPassword": b64("TRUVE")}


def add_engine_user(catalog, user, password, admin=0):
    """A user as the engine's server catalog keeps it."""
    salt = os.urandom(16)
    digest = hashlib.pbkdf2_hmac("sha256", password.encode(), salt, 10000, 32)
    with sqlite3.connect(catalog, timeout=10) as db:
        db.execute("INSERT INTO rl_users(name, salt, hash, iterations, admin) VALUES(?, ?, ?, 10000, ?)",
                   (user, salt, digest, admin))


def file_digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


class Monitor(RunningHeron):
    """heron -s with finch under /monitor (and the broker when mqtt is set)."""

    def __init__(self, mqtt=True, pool=10, timeout=300, stub=None, workbench=False):
        self.stub = stub
        # With a stub, the monitor runs from web/stub/ with that engine next to
        # it (the real one stays in web/: the plug-in itself links it).
        apps = (["mqtt;starling"] if mqtt else []) + ["monitor;stub/finch" if stub is not None else "monitor;finch"]
        if stub is None:
            apps.append("quarn;gannet")  # a REST client makes the engine busy too
        if workbench:
            apps.append("plover;plover")  # logons of the SQL client
        config = {"verbose_level": -1, "mqtt_persistence_enabled": "true" if mqtt else "false"}
        if not mqtt:
            config.update({"mqtt_enabled": "false", "mqtt_listening_port": str(free_port())})
        super().__init__("finch-", apps, config=config, mqtt=mqtt,
                         app_files={"config/finch.cfg": "CONN_POOL_SIZE %d\nINACTIVE_TIMEOUT %d\n" % (pool, timeout)},
                         wait=stub is None)

    def prepare(self):
        if self.stub is not None:
            os.makedirs(self.path("web/stub"))
            shutil.copy(self.path("web/finch.so"), self.path("web/stub/finch.so"))
            if self.stub:
                shutil.copy(self.stub, self.path("web/stub/ravlink.so"))

    def call(self, command, body=None, token=None):
        return self.command("monitor", command, body, token, ensure_ascii=False)

    def connect(self, **credentials):
        reply = self.call("zvMonConnect", {"serverInfo": credentials or ADMIN})
        assert reply.get("success"), reply
        return reply["result"]["token"]

    def rest(self, method, path, body=None):
        """A REST call with the administrator's Basic credentials: (status, parsed body)."""
        request = urllib.request.Request("http://127.0.0.1:%d/quarn/api/v1/%s" % (self.port, path),
                                         data=None if body is None else json.dumps(body).encode(), method=method,
                                         headers={"Authorization": "Basic " + b64("ADMIN:TRUVE")})
        try:
            with urllib.request.urlopen(request, timeout=30) as reply:
                return reply.status, json.loads(reply.read() or b"null")
        except urllib.error.HTTPError as e:
            return e.code, e.read()

    def publish(self, topic, payload):
        subprocess.run(["mosquitto_pub", "-p", str(self.mqtt_port), "-u", "ADMIN", "-P", "TRUVE", "-q", "1", "-t", topic,
                        "-m", payload], check=True, timeout=15)


def counters(reply):
    return {row["Name"]: row["Value"] for row in reply["Counters"]}


def events(m, token, **filters):
    body = {"limit": 1000, "filters": [{"field": k, "value": v} for k, v in filters.items()]}
    reply = m.call("zvMonGetEventLogs", body, token)
    assert reply.get("success"), reply
    return reply


class MonitorCase(unittest.TestCase):
    options = {}

    @classmethod
    def setUpClass(cls):
        cls.m = Monitor(**cls.options)

    @classmethod
    def tearDownClass(cls):
        cls.m.finish(check="report")

    def assertError(self, reply, code, message=None):
        self.assertEqual(reply.get("errorCode"), code, reply)
        self.assertFalse(reply.get("success"), reply)
        if message is not None:
            self.assertEqual(reply.get("errorMessage"), message)


class CommandsTest(MonitorCase):
    def test_public_commands_and_files(self):
        m = self.m
        info = m.call("zvMonGetInfo")
        self.assertTrue(info["success"])
        types = [c.get("connectionType") for c in info["result"]["availableConnections"]]
        self.assertIn("HTTP", types)
        self.assertIn("4233", m.call("zvMonGetErrors")["errors"])
        self.assertError(m.call("zvMonServers", {}), 9007, "zvMonServers - Invalid parameter - Missing op in the request")
        written = m.call("zvMonServers", {"op": "write", "Servers": [{"name": "local"}]})
        self.assertEqual(written["Servers"], [{"name": "local"}])
        self.assertEqual(m.call("zvMonServers", {"op": "read"})["Servers"], [{"name": "local"}])
        self.assertEqual(m.call("zvMonServers", {"op": "Read"}), {})
        before = m.call("zvMonLayouts", {"op": "read"})
        self.assertError(before, -1)
        self.assertTrue(before["errorMessage"].endswith("VixMonitor/resources/zvMonLayouts.json"))
        self.assertEqual(m.call("zvMonLayouts", {"op": "write", "Types": [1, 2]}), {"Types": [1, 2]})
        self.assertEqual(m.call("zvMonDashboard", {"op": "write", "servers": ["x"]}), {"Servers": ["x"]})
        self.assertEqual(m.call("zvMonDashboard", {"op": "read"}), {"Servers": ["x"]})

    def test_shared_files_keep_their_shape(self):
        m = self.m
        good = [{"name": "Zürich 東京 & co", "host": "BRENLOXS@localhost", "port": 8080, "default": True}]
        self.assertEqual(m.call("zvMonServers", {"op": "write", "Servers": good})["Servers"], good)
        board = [{"hostName": "BRENLOXS@localhost", "friendlyName": "here", "userName": "QURNSU4=",
                  "counters": [{"Class": "SYSTEM"}]}]
        self.assertEqual(m.call("zvMonDashboard", {"op": "write", "servers": board}), {"Servers": board})

        def served():
            with urllib.request.urlopen("http://127.0.0.1:%d/zvToolsServers.json" % m.port, timeout=30) as reply:
                return reply.read()

        stored = served()
        self.assertEqual(json.loads(stored)["Servers"], good)
        refused = [
            ("zvMonServers", "Servers", [{"name": "<img src=x onerror=alert(1)>"}]),
            ("zvMonServers", "Servers", [{"name": "tab\there"}]),
            ("zvMonServers", "Servers", [{"name": "x" * 256}]),
            ("zvMonServers", "Servers", [{"<b>": "x"}]),
            ("zvMonServers", "Servers", [{"name": "x"}] * 257),
            ("zvMonServers", "Servers", [{"name": {"nested": ["too", "deep"]}}]),
            ("zvMonServers", "Servers", {"name": "not a list"}),
            ("zvMonDashboard", "servers", [{"hostName": "h"}] * 11),
            ("zvMonDashboard", "servers", [{"friendlyName": "</script>"}]),
            ("zvMonServers", "Servers", [{"name": "x", "notAServerMember": "javascript:alert(1)"}]),
            ("zvMonServers", "Servers", [{"name": "x", "userPassword": "anything"}]),
            ("zvMonServers", "Servers", [{"name": 'x" autofocus onfocus="alert(1)'}]),
            ("zvMonDashboard", "servers", [{"hostName": "h", "userPassword": "cHc="}]),
            ("zvMonDashboard", "servers", [{"friendlyName": 'a" onclick="b'}]),
            ("zvMonLayouts", "Types", {"big": ["y" * 1000] * 300}),
            ("zvMonLayouts", "Types", {"a": [[[[[[[[["deep"]]]]]]]]]}),
        ]
        for command, member, value in refused:
            before = m.call(command, {"op": "read"})
            reply = m.call(command, {"op": "write", member: value})
            self.assertError(reply, 9007)
            self.assertTrue(reply["errorMessage"].startswith(command + " - Invalid parameter - "), reply)
            self.assertEqual(m.call(command, {"op": "read"}), before, command)
        self.assertEqual(served(), stored)

    def test_every_code_the_tools_answer_has_its_text(self):
        source = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
        codes = {"-1", "999", "4002", "9006", "9007", "9010", "9022", "9042", "9048"}  # the tools' own
        for header, enum in (("ravlink.h", "RlCode"), ("browser.h", "RlBrowserCode"), ("monitor.h", "RlMonitorCode")):
            with open(os.path.join(source, "ravlink", header)) as f:
                text = f.read()
            body = re.search(r"enum %s\b[^{]*\{(.*?)\};" % enum, text, re.S).group(1)
            codes |= {value for value in re.findall(r"=\s*(-?\d+)", body) if value != "0"}
        texts = self.m.call("zvMonGetErrors")["errors"]
        self.assertEqual(sorted(codes - set(texts), key=int), [])
        self.assertTrue(all(isinstance(t, str) and t for t in texts.values()))

    def test_files_that_are_not_json_answer_minus_one(self):
        m = self.m
        kept = {}
        for name in ("zvToolsServers.json", "zvErrors.json"):
            with open(m.path("web/" + name), "rb") as f:
                kept[name] = f.read()
        try:
            # Neither text that is not JSON nor JSON that is no object is the file a command needs.
            for content in ("not { json", "123", "1e999", "[1, 2]", '"text"'):
                for name in kept:
                    with open(m.path("web/" + name), "w") as f:
                        f.write(content)
                with self.subTest(content=content):
                    self.assertError(m.call("zvMonServers", {"op": "read"}), -1, "")
                    self.assertError(m.call("zvMonGetErrors"), -1, 'Invalid "zvErrors.json" file')
            # A number past a double's range is answered as null, never as "Infinity" (no JSON reader takes it).
            with open(m.path("web/zvErrors.json"), "w") as f:
                f.write('{"errors": {"1": "one"}, "far": [1e999, -1e999, 2.5]}')
            self.assertEqual(m.call("zvMonGetErrors")["far"], [None, None, 2.5])
        finally:
            for name, content in kept.items():
                with open(m.path("web/" + name), "wb") as f:
                    f.write(content)
        self.assertTrue(m.call("zvMonGetErrors")["success"])

    def test_connect_and_tokens(self):
        m = self.m
        self.assertError(m.call("zvMonConnect", {}), 9007)
        self.assertEqual(m.call("zvMonConnect", {"serverInfo": {"userName": b64("ADMIN")}}), {})
        refused = m.call("zvMonConnect", {"serverInfo": {"userName": b64("ADMIN"), "userPassword": b64("nope")}})
        self.assertError(refused, 450, "zvMonConnect - Connection error")
        token = m.connect()
        # A random 128-bit token: neither the user nor the password in any form.
        self.assertRegex(token, "^[0-9a-f]{32}$")
        self.assertNotIn("41444d494e", token.lower())
        self.assertNotEqual(token, m.connect())
        self.assertError(m.call("zvMonSysSnapShot"), 9022, "Missing token")
        self.assertError(m.call("zvMonSysSnapShot", token="0" * 32), 9048,
                         "zvMonSysSnapShot - Unable to find the connection.")
        self.assertError(m.call("zvMonNoSuch", token=token), 9042, "zvMonNoSuch is not a supported function.")
        status = m.call("zvMonConnectionStatus", token=token)
        self.assertGreater(status["result"]["timeleft"], 290)
        self.assertTrue(m.call("zvMonRefreshConnection", token=token)["success"])
        self.assertTrue(m.call("zvMonDisconnect", token=token)["success"])
        self.assertError(m.call("zvMonDisconnect", token=token), 9022, "zvMonDisconnect - Unspecified error")

    def test_reports_follow_the_work(self):
        m = self.m
        token = m.connect()
        logons_before = events(m, token, evclass="1", event="1")["total"]
        system_before = counters(m.call("zvMonSysSnapShot", token=token))
        self.assertEqual(m.call("zvMonSetFunctionTiming", {"mode": "START"}, token=token)["success"], True)

        # Work: the broker persists a topic's publications; two more monitor logons.
        m.publish("quarnAdministration", json.dumps({"operation": "CreatePersistenceTopic",
                                                     "persistenceTopic": "plant/busy"}))
        wait_for(lambda: os.path.exists(m.path("data/BRENLOXS/quarnSQL.db")), 15)
        time.sleep(1)
        for i in range(20):
            m.publish("plant/busy", json.dumps({"n": i}))
        # A REST client writes 15 records into a database of its own.
        self.assertEqual(m.rest("POST", "database/restbusy")[0], 200)
        self.assertEqual(m.rest("POST", "table/restbusy/cust", {"fields": [
            {"name": "custnumb", "type": "CHAR", "length": 4}]})[0], 200)
        for i in range(15):
            self.assertEqual(m.rest("POST", "record/restbusy/cust", {"custnumb": "%04d" % i})[0], 200)
        extra = [m.connect(), m.connect()]
        for t in extra:
            m.call("zvMonDisconnect", token=t)

        logons = events(m, token, evclass="1", event="1")["total"]
        self.assertGreaterEqual(logons - logons_before, 3)  # two monitor logons and the REST pool's
        self.assertEqual(events(m, token, evclass="1", event="1", userid="adm")["total"], logons)
        system = m.call("zvMonSysSnapShot", token=token)
        self.assertEqual(len(system["Counters"]), 306)
        now = counters(system)
        self.assertGreaterEqual(now["sctismaddcnt"] - system_before["sctismaddcnt"], 20 + 15)
        self.assertGreater(now["sct_trend"], system_before["sct_trend"])
        self.assertGreater(now["sct_wrops"] + now["sctwlgops"], system_before["sct_wrops"] + system_before["sctwlgops"])
        self.assertGreater(now["sctsync_dosfls"], 0)
        self.assertEqual(now["sflvr"], 2)

        connections = m.call("zvMonGetActiveConnections", {"showAll": False}, token=token)
        self.assertTrue(connections["success"])
        own = [c for c in connections["Connections"] if c["UserName"].endswith(" (Current)")]
        self.assertEqual(len(own), 1)
        self.assertEqual(own[0]["NodeName"], "Web Server - VIXMonitor")
        self.assertEqual(connections["Total"], connections["Isam"])
        files = []
        for c in connections["Connections"]:
            files += m.call("zvMonOpenFiles", {"taskId": c["Task"]}, token=token)["Files"]
        names = {f["FileName"] for f in files}
        self.assertTrue(any(n.startswith("quarnSQL.db/") for n in names), names)
        busy = next(f for f in files if f["FileName"].startswith("quarnSQL.db/"))
        users = m.call("zvMonUsersForFile", {"fileName": busy["FileName"]}, token=token)["Users"]
        self.assertTrue(users and users[0]["UserName"] == "ADMIN", users)
        self.assertTrue(m.call("zvMonLocksForFile", {"fileName": busy["FileName"]}, token=token)["success"])
        stats = m.call("zvMonStatsForFile", {"fileNo": str(busy["FileNumber"])}, token=token)
        self.assertEqual(len(stats["Counters"]), 73)
        self.assertEqual(counters(stats)["filename"], busy["FileName"])
        self.assertError(m.call("zvMonStatsForFile", {}, token=token), 9007)
        user = m.call("zvMonUserSnapShot", {"taskId": own[0]["Task"]}, token=token)
        self.assertEqual(len(user["Counters"]), 94)
        self.assertEqual(counters(user)["sct_userid"], "ADMIN")

        timing = m.call("zvMonGetFunctionTiming", token=token)["Functions"]
        self.assertEqual(timing[0]["Name"], "Totals")
        self.assertTrue(any(f.get("Name") == "zvSNAPSHOT" and f["CallCount"] > 0 for f in timing), timing)
        self.assertTrue(m.call("zvMonSetFunctionTiming", {"mode": "pause"}, token=token)["success"])
        self.assertError(m.call("zvMonSetFunctionTiming", {}, token=token), 9007)

    def test_other_reports(self):
        m = self.m
        token = m.connect()
        self.assertEqual(len(m.call("zvMonSysConfig", token=token)["Counters"]), 134)
        config = counters(m.call("zvMonSysConfig", token=token))
        self.assertEqual(config["cfgPATH_SEPARATOR"], "/")
        self.assertEqual(config["cfgPORTID"], "zvPortLINUX")
        self.assertEqual(config["cfgPROCESS_ID"], m.proc.pid)
        self.assertEqual(len(m.call("zvMonSqlSnapShot", token=token)["Counters"]), 34)
        io = counters(m.call("zvMonIoPerformanceX", token=token))
        self.assertEqual(len(io), 22)
        self.assertGreater(io["NbrWriteOperations"], 0)
        tree = m.call("zvMonGetCounters", token=token)["children"]
        self.assertEqual([n["text"] for n in tree], ["System Snapshot", "Sql Snapshot"])
        self.assertEqual(tree[1]["children"][0]["text"], "Sql Cache")
        memory = m.call("zvMonMemAlloc", {"checked": [True]}, token=token)["Counters"]
        self.assertEqual(len(memory), 25)
        self.assertTrue(memory[0]["checked"])
        self.assertFalse(memory[24]["checked"])
        self.assertGreater(sum(r["memalloc"] for r in memory), 0)
        self.assertError(m.call("zvMonMemAlloc", {}, token=token), 9007)
        for body in ({"mode": "set", "counters": ["SIZ16"]}, {"mode": "clear"}, {"mode": "log", "fileName": "mem.txt"}):
            self.assertTrue(m.call("zvMonMemStat", body, token=token)["success"], body)
        self.assertTrue(os.path.exists(m.path("data/BRENLOXS/mem.txt")))
        self.assertError(m.call("zvMonMemStat", {"mode": "log", "fileName": "../../escape.txt"}, token=token), 4235)
        self.assertFalse(os.path.exists(m.path("escape.txt")))
        self.assertError(m.call("zvMonMemStat", {"mode": "Set"}, token=token), 9007, "zvMonMemStat - Unknown mode")

        self.assertTrue(m.call("zvMonTakeSnapshot", {"logFunctions": False}, token=token)["success"])
        self.assertGreaterEqual(events(m, token, evclass="7")["total"], 1)
        self.assertError(m.call("zvMonPurgeEventLogs", {"days": 0}, token=token), 999)
        self.assertTrue(m.call("zvMonPurgeEventLogs", {"days": 30}, token=token)["success"])
        self.assertGreaterEqual(events(m, token, evclass="1024")["total"], 1)

        dashboard = m.call("zvMonGetDashboard", {"serverInfo": {}, "servers": [
            dict(ADMIN, hostName="BRENLOXS@localhost", friendlyName="here",
                 counters=[{"Class": "system"}, {"Class": "SQL"}]),
            dict(hostName="BRENLOXS@localhost", friendlyName="refused", userName=b64("ADMIN"),
                 userPassword=b64("wrong"))]}, token=token)
        self.assertTrue(dashboard["success"], dashboard)
        here, refused = dashboard["Servers"]
        self.assertEqual([c["Name"] for c in here["Classes"]], ["System", "SQL"])
        self.assertEqual(len(here["Classes"][1]["Counters"]), 34)
        self.assertEqual(refused["Active"], False)
        self.assertEqual(refused["Error"], 450)
        self.assertError(m.call("zvMonGetDashboard", {"serverInfo": {}, "servers": [{}] * 11}, token=token), 9007)
        # The requesting slot still works after the dashboard's own logons.
        self.assertTrue(m.call("zvMonSqlSnapShot", token=token)["success"])

    def test_event_log_paging_and_filters(self):
        m = self.m
        token = m.connect()
        everything = events(m, token)["total"]
        page = m.call("zvMonGetEventLogs", {"limit": 2, "start": 1}, token)
        self.assertEqual(page["total"], everything)
        self.assertEqual([e["seqnm"] for e in page["logEntries"]],
                         [e["seqnm"] for e in events(m, token)["logEntries"][1:3]])
        latest = m.call("zvMonGetEventLogs", {"limit": 1, "filters": [{"field": "latestFirst", "value": "true"}]},
                        token)
        self.assertEqual(latest["logEntries"][0]["seqnm"], events(m, token)["logEntries"][-1]["seqnm"])
        self.assertEqual(m.call("zvMonGetEventLogs", {}, token)["logEntries"], [])
        for field, value in (("error", "abc"), ("evclass", "1x"), ("startDate", "2026-01-01"), ("endTime", "25:00"),
                             ("startDate", "-2147483648/1/1"), ("endDate", "2147483647/12/31"),
                             ("endDate", "0/12/31"), ("startDate", "2026/1/-5")):
            bad = m.call("zvMonGetEventLogs", {"limit": 5, "filters": [{"field": field, "value": value}]}, token)
            self.assertError(bad, 999)
            self.assertIn("Invalid filter", bad["errorMessage"])
        today = time.strftime("%Y/%m/%d")
        self.assertEqual(events(m, token, startDate=today)["total"], everything)
        self.assertEqual(events(m, token, endDate="2000/1/1")["total"], 0)


class KillTest(MonitorCase):
    def test_kill_ends_the_logon_and_is_logged(self):
        m = self.m
        admin, victim = m.connect(), m.connect()
        self.assertTrue(m.call("zvMonSysSnapShot", token=victim)["success"])
        rows = m.call("zvMonGetActiveConnections", token=admin)["Connections"]
        own = next(r for r in rows if r["UserName"].endswith("(Current)"))
        target = next(r for r in rows if r["NodeName"] == "Web Server - VIXMonitor" and r is not own)
        self.assertError(m.call("zvMonKillUser", {"task": own["Task"], "uid": "ADMIN"}, token=admin), 4234)
        self.assertError(m.call("zvMonKillUser", {"task": 30000, "uid": "ADMIN"}, token=admin), 4233)
        self.assertError(m.call("zvMonKillUser", {"task": target["Task"]}, token=admin), 9007)
        self.assertTrue(m.call("zvMonKillUser", {"task": target["Task"], "uid": "ADMIN"}, token=admin)["success"])
        # The killed logon's next call fails with the engine's code; the server goes on.
        self.assertError(m.call("zvMonSysSnapShot", token=victim), 4232)
        self.assertError(m.call("zvMonGetActiveConnections", token=victim), 4232)
        self.assertTrue(m.call("zvMonDisconnect", token=victim)["success"])
        tasks = [r["Task"] for r in m.call("zvMonGetActiveConnections", token=admin)["Connections"]]
        self.assertNotIn(target["Task"], tasks)
        killed = events(m, admin, error="4232")
        self.assertGreaterEqual(killed["total"], 2)  # the kill and the logon's end
        self.assertTrue(all(e["evclass"] == 1 for e in killed["logEntries"]))
        self.assertEqual(counters(m.call("zvMonSysSnapShot", token=admin))["sctlokkil"], 1)
        # The broker's own sessions were left alone.
        subprocess.run(["mosquitto_pub", "-p", str(m.mqtt_port), "-t", "any", "-m", "x"], check=True, timeout=10)


class RightsTest(MonitorCase):
    """What changes the server for everyone (ending logons, purging the log,
    timing) needs an administrator of that server; the memory log never
    writes the engine's files."""
    options = {"mqtt": False}

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        m = cls.m
        m.call("zvMonDisconnect", token=m.connect())  # the configured server exists from here on
        catalog = m.path("data/BRENLOXS/rl_server.db")
        add_engine_user(catalog, "CLERK", "clerk")
        # A second server: a directory with a catalog of its own.
        os.makedirs(m.path("data/OTHER"))
        shutil.copy(catalog, m.path("data/OTHER/rl_server.db"))

    def test_only_administrators_kill_purge_and_time(self):
        m = self.m
        admin = m.connect()
        clerk = m.connect(userName=b64("CLERK"), userPassword=b64("clerk"))
        rows = m.call("zvMonGetActiveConnections", token=clerk)["Connections"]
        target = next(r for r in rows if r["UserName"] == "ADMIN")
        self.assertError(m.call("zvMonKillUser", {"task": target["Task"], "uid": "ADMIN"}, token=clerk), 4238)
        # Each command's outcome is in the host's log: refusals with their code, changes when done.
        self.assertTrue(wait_for(lambda: "finch: zvMonKillUser from 127.0.0.1 answered 4238" in m.log(), 10))
        self.assertTrue(m.call("zvMonSysSnapShot", token=admin)["success"])  # the administrator is still logged on
        logged = events(m, admin)["total"]
        self.assertError(m.call("zvMonPurgeEventLogs", {"days": 1}, token=clerk), 4238)
        self.assertGreaterEqual(events(m, admin)["total"], logged)
        for mode in ("start", "stop", "clear"):
            self.assertError(m.call("zvMonSetFunctionTiming", {"mode": mode}, token=clerk), 4238)
        self.assertError(m.call("zvMonMemStat", {"mode": "log", "fileName": "clerk.txt"}, token=clerk), 4238)
        self.assertFalse(os.path.exists(m.path("data/BRENLOXS/clerk.txt")))
        # The refusals are an administrator's to read, with their texts in the tools' errors file.
        texts = m.call("zvMonGetErrors")["errors"]
        self.assertIn("4238", texts)
        self.assertIn("4239", texts)
        self.assertTrue(m.call("zvMonKillUser", {"task": next(
            r for r in m.call("zvMonGetActiveConnections", token=admin)["Connections"]
            if r["UserName"] == "CLERK")["Task"], "uid": "CLERK"}, token=admin)["success"])
        self.assertError(m.call("zvMonSysSnapShot", token=clerk), 4232)
        self.assertIn("finch: zvMonKillUser from 127.0.0.1 done", m.log())
        m.call("zvMonDisconnect", token=clerk)
        m.call("zvMonDisconnect", token=admin)

    def test_timing_belongs_to_one_server(self):
        m = self.m
        here = m.connect()
        other = m.connect(serverName="OTHER@localhost", **ADMIN)

        def calls(token):
            timing = m.call("zvMonGetFunctionTiming", token=token)["Functions"]
            return next(f["CallCount"] for f in timing if f["Name"] == "Totals")

        self.assertTrue(m.call("zvMonSetFunctionTiming", {"mode": "clear"}, token=here)["success"])
        self.assertTrue(m.call("zvMonSetFunctionTiming", {"mode": "start"}, token=here)["success"])
        for _ in range(3):
            m.call("zvMonSysSnapShot", token=here)
            m.call("zvMonSysSnapShot", token=other)
        counted = calls(here)
        self.assertGreater(counted, 0)
        self.assertEqual(calls(other), 0)  # the other server's calls are not this server's figures
        self.assertTrue(m.call("zvMonSetFunctionTiming", {"mode": "clear"}, token=other)["success"])
        self.assertTrue(m.call("zvMonSetFunctionTiming", {"mode": "stop"}, token=other)["success"])
        self.assertGreater(calls(here), counted)  # neither cleared nor stopped by the other server
        self.assertTrue(m.call("zvMonSetFunctionTiming", {"mode": "stop"}, token=here)["success"])
        stopped = calls(here)
        m.call("zvMonSysSnapShot", token=here)
        self.assertEqual(calls(here), stopped)
        m.call("zvMonDisconnect", token=here)
        m.call("zvMonDisconnect", token=other)

    def test_memory_log_never_writes_engine_files(self):
        m = self.m
        token = m.connect()
        server = m.path("data/BRENLOXS")
        with open(os.path.join(server, "notes.txt"), "w") as f:
            f.write("kept as it is\n")
        before = {name: file_digest(os.path.join(server, name)) for name in os.listdir(server)}
        for name in ("rl_server.db", "RL_SERVER.DB", "quarnSQL.db", "shop.db-wal", "rl_server.db-journal",
                     "x.db-shm", "notes.txt", "./rl_server.db", "sub/../rl_server.db"):
            reply = m.call("zvMonMemStat", {"mode": "log", "fileName": name}, token=token)
            self.assertError(reply, 4239)
        self.assertEqual({name: file_digest(os.path.join(server, name)) for name in os.listdir(server)}, before)
        with sqlite3.connect(os.path.join(server, "rl_server.db")) as db:
            self.assertEqual(db.execute("pragma integrity_check").fetchone()[0], "ok")
        for _ in range(2):
            self.assertTrue(m.call("zvMonMemStat", {"mode": "log", "fileName": "memory.log"}, token=token)["success"])
        log = os.path.join(server, "memory.log")
        self.assertEqual(stat.S_IMODE(os.stat(log).st_mode), 0o600)
        with open(log) as f:
            self.assertEqual(f.read().count("memory statistics at "), 2)
        m.call("zvMonDisconnect", token=token)


class LogonTest(MonitorCase):
    """Failed log-ons are counted per user and client address and logged;
    credentials holding a NUL byte are refused; a body larger than a command
    takes is refused before it is parsed, while other clients are served."""
    options = {"mqtt": False}

    def test_failed_logons_are_logged_and_nul_bytes_refused(self):
        m = self.m
        for _ in range(3):
            refused = m.call("zvMonConnect", {"serverInfo": {"userName": b64("ADMIN"), "userPassword": b64("guess")}})
            self.assertError(refused, 450)
        self.assertTrue(wait_for(lambda: "finch: " in m.log() and "failed log-on(s) from 127.0.0.1" in m.log(), 10),
                        m.log())
        for credentials in ({"userName": b64("ADMIN\0junk"), "userPassword": b64("TRUVE")},
                            {"userName": b64("ADMIN"), "userPassword": b64("TRUVE\0junk")},
                            dict(ADMIN, serverName="BRENLOXS\u0000x@localhost")):
            self.assertError(m.call("zvMonConnect", {"serverInfo": credentials}), 9007)
        dashboard = m.call("zvMonGetDashboard", {"serverInfo": {}, "servers": [
            dict(hostName="BRENLOXS@localhost", userName=b64("ADMIN\0x"), userPassword=b64("TRUVE"))]},
            token=m.connect())
        self.assertEqual(dashboard["Servers"][0]["Error"], 9007)
        self.assertTrue(m.connect())  # the real administrator still logs on

    def test_bodies_past_a_command_bound_are_refused_unparsed(self):
        m = self.m
        big = "[" + ",".join(["0"] * 500000) + "]"  # 1 MB of elements
        results = []

        def flood():
            results.append(post_json(m.port, "/monitor/zvMonGetInfo", big))

        threads = [threading.Thread(target=flood) for _ in range(8)]
        for t in threads:
            t.start()
        self.assertTrue(m.call("zvMonGetInfo")["success"])  # served meanwhile
        for t in threads:
            t.join(60)
        self.assertEqual([status for status, _ in results], [413] * 8)
        self.assertEqual(results[0][1]["errorCode"], 9006)  # the plug-in's answer: the router never saw them
        status, reply = post_json(m.port, "/monitor/zvMonLayouts", {"op": "write", "Types": ["x" * 1000] * 1100})
        self.assertEqual(status, 413)
        status, reply = post_json(m.port, "/monitor/zvMonLayouts", {"op": "write", "Types": ["x" * 1000] * 300})
        self.assertEqual((status, reply["errorCode"]), (200, 9007))  # within the body bound, past the file's


class SqlLogonTest(MonitorCase):
    """Logons are listed by kind and by the address of the client whose
    request made them: a workbench session's logon is an SQL one."""
    options = {"mqtt": False, "workbench": True}

    def workbench_connect(self, source):
        yx = {"currentServer": {"database": "sqlwork"}, "userName": b64("ADMIN"), "userPassword": b64("TRUVE"),
              "autoCommit": False, "isolationLevel": True}
        body = json.dumps({"action": "quarnSQL", "method": "connect", "data": [{"yxInfo": yx}], "tid": 1})
        conn = http.client.HTTPConnection("127.0.0.1", self.m.port, timeout=30, source_address=(source, 0))
        conn.request("POST", "/plover", body, {"Content-Type": "application/json"})
        reply = json.loads(conn.getresponse().read())
        conn.close()
        self.assertEqual(reply.get("type"), "rpc", reply)
        return reply["result"]["token"]

    def test_sql_logons_are_listed_as_sql_from_their_client(self):
        m = self.m
        self.assertEqual(m.rest("POST", "database/sqlwork")[0], 200)
        self.workbench_connect("127.0.0.3")
        token = m.connect()
        listing = {kind: m.call("zvMonGetActiveConnections", {"showAll": True, "type": kind}, token=token)
                   for kind in ("all", "sql", "isam")}
        for reply in listing.values():
            self.assertTrue(reply["success"], reply)
        sql = listing["sql"]["Connections"]
        self.assertEqual(len(sql), 1, listing["all"])
        self.assertEqual((sql[0]["UserName"], sql[0]["IPAddress"]), ("ADMIN", "127.0.0.3"))
        self.assertTrue(sql[0]["CommInfo"].startswith("SQL"), sql[0])
        self.assertEqual(listing["all"]["SQL"], 1)
        self.assertEqual(listing["all"]["Total"], listing["all"]["SQL"] + listing["all"]["Isam"])
        isam = listing["isam"]["Connections"]
        self.assertNotIn(sql[0]["Task"], [c["Task"] for c in isam])
        own = [c for c in isam if c["UserName"].endswith(" (Current)")]
        self.assertEqual([c["IPAddress"] for c in own], ["127.0.0.1"])


class PoolTest(MonitorCase):
    options = {"mqtt": False, "pool": 2, "timeout": 2}

    def test_pool_full_expired_and_reaped(self):
        m = self.m
        first, second = m.connect(), m.connect()
        self.assertError(m.call("zvMonConnect", {"serverInfo": ADMIN}), 9022, "zvMonConnect - Connection pool is full")
        # The status call does not extend a slot; the reaper expires both
        # within its next rounds (a slot it reaped answers without a result).
        reaped = lambda token: "result" not in m.call("zvMonConnectionStatus", token=token)
        self.assertTrue(wait_for(lambda: reaped(first) and reaped(second), 20))
        self.assertError(m.call("zvMonSysSnapShot", token=first), 9048, "zvMonSysSnapShot - Connection expired.")
        third = m.connect()  # takes an expired slot
        self.assertError(m.call("zvMonSysSnapShot", token=first), 9048,
                         "zvMonSysSnapShot - Unable to find the connection.")
        logoffs = events(m, third, evclass="1", event="2")["total"]
        self.assertGreaterEqual(logoffs, 2)  # the reaper logged both off
        self.assertTrue(m.call("zvMonDisconnect", token=second)["success"])
        self.assertTrue(m.connect())


class BindingTest(unittest.TestCase):
    def run_tree(self, stub):
        m = Monitor(mqtt=False, stub=stub)
        try:
            # The monitor is left out; the server goes on serving the rest.
            wait_for(lambda: "Web server is ready" in m.log(), 30)
            return m.proc.poll(), m.log()
        finally:
            m.finish()

    def test_missing_name_and_missing_library(self):
        status, log = self.run_tree(os.environ["FINCH_STUB"])
        self.assertIsNone(status, log)
        self.assertIn("Not able to load client symbols for Monitor tool. Unable to resolve quarn function "
                      "zvGetFileLocks", log)
        self.assertIn("it is left out and the others are served", log)
        status, log = self.run_tree("")
        self.assertIsNone(status, log)
        self.assertIn("Not able to load client symbols for Monitor tool. Can't find local client library handle", log)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1] + sys.argv[1:], verbosity=2)
