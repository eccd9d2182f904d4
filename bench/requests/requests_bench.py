"""The peak memory of each application's largest accepted request and of the
request that makes its largest reply. Each case runs against a heron started
afresh on the same tree (the data a case reads is written before), warmed by
a small request of the same kind; the peak is then reset through
/proc/<pid>/clear_refs and read back as VmHWM once the reply has come.
Prints, per case: application, request bytes, reply bytes, the growth of
heron's peak resident size and its ratio to the reply."""
import base64
import http.client
import json
import os
import sys

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, "../../tests/common"))
sys.path.insert(0, os.path.join(here, "../../tests/wren"))
import peers  # noqa: E402
from peers import HeronTree, free_port, wait_port  # noqa: E402
from test_wren import WsClient  # noqa: E402

MIB = 1 << 20
SMOKE = os.environ.get("BENCH_SMOKE") == "1"
# A smoke run sends every request at a 1/256 of its size: it only shows that
# each case still runs.
SCALE = 256 if SMOKE else 1
BASIC = "Basic " + base64.b64encode(b"ADMIN:TRUVE").decode()


def b64(text):
    return base64.b64encode(text.encode()).decode()


def scaled(size):
    return max(size // SCALE, 64)


def memory_kib(pid, field):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError("no %s for process %d" % (field, pid))


class Heron:
    """heron serving every application from one tree."""

    def __init__(self):
        self.tree = HeronTree("requests-bench-")
        self.port = free_port()
        config = {"document_root": "./web", "listening_http_port": str(self.port), "linked_vix_server": "BRENLOXS",
                  "verbose_level": -1, "mqtt_enabled": "true", "mqtt_listening_port": str(free_port()),
                  "mqtt_persistence_enabled": "false", "mqtt_statistics_interval": 0,
                  "mqtt_statistics_persistence_interval": 0,
                  "applications": ["mqtt;starling", "quarn;gannet", "plover;plover", "monitor;finch", "avocet;avocet"],
                  "websocket_applications": ["wren;wren"]}
        with open(self.tree.path("config/osprey.json"), "w") as f:
            json.dump(config, f)
        with open(self.tree.path("config/starling.cfg"), "w") as f:
            f.write("HISTORY_MAX_ROWS 100\n")  # the broker's file the administration cases rewrite

    def start(self):
        self.tree.start()
        if not wait_port(self.port):
            raise RuntimeError("heron did not start:\n" + self.tree.log())

    def stop(self):
        self.tree.proc.terminate()
        if self.tree.wait_exit() is None:
            self.tree.proc.kill()
            self.tree.wait_exit()

    def post(self, path, body, headers=None):
        """(reply bytes, parsed reply); body is bytes or a JSON value."""
        data = body if isinstance(body, bytes) else json.dumps(body).encode()
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=600)
        try:
            conn.request("POST", path, data, dict({"Content-Type": "application/json"}, **(headers or {})))
            reply = conn.getresponse()
            payload = reply.read()
        finally:
            conn.close()
        if reply.status != 200:
            raise RuntimeError("%s answered %d: %s" % (path, reply.status, payload[:300]))
        return len(payload), json.loads(payload) if payload else None

    def rest(self, path, body=b""):
        return self.post("/quarn/api/v1/" + path, body, {"Authorization": BASIC})

    def database(self, name):
        if not os.path.exists(self.tree.path("data/BRENLOXS/%s.db" % name)):
            self.rest("database/" + name)


def sized_body(body, target):
    """body (a dict with the text "@" somewhere) as JSON bytes of about target
    bytes, the "@" text filled with x."""
    text = json.dumps(body)
    return text.replace('"@"', '"%s"' % ("x" * max(target - len(text), 1))).encode()


# ---- the applications' cases: setup(heron) once, then warm(heron) and run(heron) per start ----

class RestRecord:
    name, what = "gannet", "record insert, 8 MiB body"

    def setup(self, h):
        h.database("breq")
        h.rest("table/breq/big", {"fields": [{"name": "k", "type": "INTEGER"},
                                             {"name": "t", "type": "LVARCHAR", "length": 9 << 20}]})
        h.rest("index/breq/big/byk", {"fields": [{"name": "k"}]})

    def warm(self, h):
        h.rest("record/breq/big", {"k": -1, "t": "warm"})

    def run(self, h):
        body = sized_body({"k": 0, "t": "@"}, scaled(8 * MIB) - 1024)
        return len(body), h.rest("record/breq/big", body)[0]


class RestQuery:
    name, what = "gannet", "query page near the 64 MiB reply bound"
    ROW = 4000

    def setup(self, h):
        h.database("breq")
        h.rest("table/breq/page", {"fields": [{"name": "k", "type": "INTEGER"},
                                              {"name": "t", "type": "VARCHAR", "length": self.ROW}]})
        h.rest("index/breq/page/byk", {"fields": [{"name": "k"}]})
        rows = scaled(60 * MIB) // self.ROW + 1
        per_body = 1000
        for first in range(0, rows, per_body):
            h.rest("record/breq/page", [{"k": k, "t": "r" * self.ROW} for k in range(first, min(rows, first + per_body))])
        self.rows = rows

    def query(self, h, top):
        return h.rest("query/breq/page/byk?top=%d" % top, {"find": {"k": {"operator": ">=", "value": 0}}})

    def warm(self, h):
        self.query(h, 2)

    def run(self, h):
        return len(json.dumps({"find": {"k": {"operator": ">=", "value": 0}}})), self.query(h, self.rows)[0]


class Workbench:
    name = "plover"

    def connect(self, h):
        yx = {"currentServer": {"database": "breq", "queryTimeout": 300}, "userName": b64("ADMIN"),
              "userPassword": b64("TRUVE"), "autoCommit": True, "isolationLevel": True}
        reply = self.call(h, "connect", {"yxInfo": yx})[1]
        return reply["result"]["token"]

    def call(self, h, method, params):
        body = {"action": "quarnSQL", "method": method, "data": [params], "tid": 1}
        return h.post("/plover", body)

    def session(self, h, method, **yx):
        return self.call(h, method, {"token": self.token, "yxInfo": yx})

    def warm(self, h):
        self.token = self.connect(h)
        self.session(h, "execQuery", query="select 1 as one")


class WorkbenchBlob(Workbench):
    what = "setBlobData, 4 MiB body"

    def setup(self, h):
        h.database("breq")
        self.token = self.connect(h)
        self.session(h, "execStatement", query="create table wbig(id integer, body lvarbinary)")
        self.session(h, "execStatement", query="insert into wbig values(1, x'00')")

    def run(self, h):
        data = {"user": "main", "table": "wbig", "colName": "body", "colType": "BLOB", "rowId": "1", "blob": "@"}
        body = {"action": "quarnSQL", "method": "setBlobData", "data": [{"token": self.token, "yxInfo": {"data": data}}],
                "tid": 1}
        text = sized_body(body, scaled(4 * MIB) - 1024)
        text = text.replace(b"x", b"A")  # hexadecimal digits
        if text.count(b"A") % 2:
            text = text.replace(b'"A', b'"', 1)
        return len(text), h.post("/plover", text)[0]


class WorkbenchSelect(Workbench):
    what = "select near the 64 MiB reply bound"

    def setup(self, h):
        h.database("breq")

    def run(self, h):
        width = scaled(MIB)
        query = ("with recursive n(i) as (select 1 union all select i + 1 from n) "
                 "select printf('%%.*c', %d, 'x') as big from n limit 62" % width)
        request = json.dumps({"action": "quarnSQL", "method": "execQuery",
                              "data": [{"token": self.token, "yxInfo": {"query": query}}], "tid": 1})
        return len(request), self.session(h, "execQuery", query=query)[0]


class Browser:
    name = "avocet"

    def call(self, h, command, body):
        size, reply = h.post("/avocet/" + command, body, {"token": self.token})
        if not reply.get("success"):
            raise RuntimeError("%s: %s" % (command, reply))
        return size, reply

    def connect(self, h):
        self.token = h.post("/avocet/zvIsamExConnect", {"serverInfo": {"userName": b64("ADMIN"),
                                                                       "userPassword": b64("TRUVE")}})[1]["result"]["token"]

    def setup(self, h):
        self.connect(h)
        if os.path.exists(h.tree.path("data/BRENLOXS/bgrid.db")):
            return
        self.call(h, "zvIsamExDoAction", {"mode": "CREATEDB", "name": "bgrid", "path": ""})
        fields = [dict(name="ID", type="ZV_INT4", length=4), dict(name="note", type="ZV_STRING", length=4000),
                  dict(name="bin", type="ZV_4STRING", length=0, nulls=True)]
        self.call(h, "zvIsamExCreateNewTable", {"database": "bgrid", "tableInfo": {
            "properties": {"name": "rows", "path": ""}, "fields": fields, "indexes": []}})
        rows = 10000 if not SMOKE else 40
        for i in range(rows if SMOKE else 1):
            self.call(h, "zvIsamExCreateTableRecord", {"database": "bgrid", "name": "rows",
                                                        "fields": json.dumps({"ID": i, "note": "n" * 4000})})
        if not SMOKE:  # the rest at once, as the browser's own table keeps them
            import sqlite3
            with sqlite3.connect(h.tree.path("data/BRENLOXS/bgrid.db"), timeout=30) as db:
                db.executemany("INSERT INTO rows(ID, note) VALUES(?, ?)", [(i, "n" * 4000) for i in range(1, rows)])

    def recbyt(self, h):
        page = self.call(h, "zvIsamExGetTableRecords", dict(database="bgrid", name="rows", start=0, limit=1,
                                                            index=-2))[1]
        return page["rows"][0]["recbyt"]

    def warm(self, h):
        self.connect(h)
        self.position = self.recbyt(h)


class BrowserBlob(Browser):
    what = "zvIsamExSetTableBlob, 8 MiB body"

    def run(self, h):
        body = {"database": "bgrid", "name": "rows", "column": "bin", "recbyt": self.position, "limit": 1,
                "start": 0, "data": "@"}
        text = sized_body(body, scaled(8 * MIB) - 1024).replace(b"x", b"A")
        if text.count(b"A") % 2:
            text = text.replace(b'"A', b'"', 1)
        return len(text), self.call(h, "zvIsamExSetTableBlob", text)[0]


class BrowserPage(Browser):
    what = "page of 10,000 records"

    def run(self, h):
        body = dict(database="bgrid", name="rows", start=0, limit=10000, index=-2)
        return len(json.dumps(body)), self.call(h, "zvIsamExGetTableRecords", body)[0]


class Monitor:
    name = "finch"

    def connect(self, h):
        self.token = h.post("/monitor/zvMonConnect", {"serverInfo": {"userName": b64("ADMIN"),
                                                                     "userPassword": b64("TRUVE")}})[1]["result"]["token"]

    def call(self, h, command, body):
        size, reply = h.post("/monitor/" + command, body, {"token": self.token})
        if reply.get("errorCode", 0) != 0 or reply.get("success") is False:
            raise RuntimeError("%s: %s" % (command, str(reply)[:300]))
        return size, reply

    def setup(self, h):
        pass

    def warm(self, h):
        self.connect(h)
        self.call(h, "zvMonLayouts", {"op": "write", "Types": ["warm"]})


class MonitorWrite(Monitor):
    what = "zvMonLayouts write, 1 MiB body (escaped text)"

    def run(self, h):
        # Each character written as \u0078: the body at its bound, the file within its own.
        entry = "\\u0078" * 1000
        count = max(scaled(MIB) // (len(entry) + 4) - 2, 1)
        text = ('{"op": "write", "Types": [%s]}' % ", ".join(['"%s"' % entry] * count)).encode()
        return len(text), self.call(h, "zvMonLayouts", text)[0]


class MonitorRead(Monitor):
    what = "zvMonLayouts read of a 256 KiB file"

    def warm(self, h):
        self.connect(h)
        count = max(scaled(256 * 1024) // 1004 - 6, 1)
        self.call(h, "zvMonLayouts", {"op": "write", "Types": ["x" * 1000] * count})
        self.call(h, "zvMonLayouts", {"op": "read"})

    def run(self, h):
        body = {"op": "read"}
        return len(json.dumps(body)), self.call(h, "zvMonLayouts", body)[0]


class JsonRpc:
    name = "wren"

    def setup(self, h):
        ws = WsClient(h.port)
        try:
            token = ws.call("login", {"username": "ADMIN", "password": "TRUVE"})["result"]["authToken"]
            ws.call("createTable", {"authToken": token, "databaseName": "wreq", "tableName": "docs",
                                    "fields": [{"name": "doc", "type": "JSON", "length": 0}]})
        finally:
            ws.close()

    def warm(self, h):
        self.ws = WsClient(h.port)
        self.token = self.ws.call("login", {"username": "ADMIN", "password": "TRUVE"})["result"]["authToken"]

    def send(self, text):
        self.ws.send_text(text)
        reply = self.ws.recv_text()
        self.ws.close()
        result = json.loads(reply)["result"]
        if result.get("errorCode") != 0:
            raise RuntimeError(str(result)[:300])
        return len(reply.encode())


class JsonRpcInsert(JsonRpc):
    what = "insertRecords, a frame near 8 MiB"

    def run(self, h):
        # A connection buffers at most 8 MiB of what it receives: a frame
        # must fit in it whole.
        pad = scaled(MIB) - scaled(8192)
        rows = [[{"n": n, "pad": "x" * pad}] for n in range(8)]
        text = json.dumps({"jsonrpc": "2.0", "id": 1, "method": "insertRecords", "params": {
            "authToken": self.token, "databaseName": "wreq", "tableName": "docs", "insertFormat": "arrays",
            "fieldNames": ["doc"], "sourceData": rows}})
        return len(text), self.send(text)


class JsonRpcSql(JsonRpc):
    what = "SQL rows near the 16 MiB reply bound"

    def run(self, h):
        sql = ("WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c LIMIT 15) "
               "SELECT printf('%%.*c', %d, 'x') FROM c" % scaled(MIB))
        text = json.dumps({"jsonrpc": "2.0", "id": 1, "method": "getRecordsUsingSQL", "params": {
            "authToken": self.token, "databaseName": "wreq", "sql": sql}})
        return len(text), self.send(text)


class Admin:
    name = "admin"

    def login(self, h):
        self.token = h.post("/admin/adminLogin", {"username": "ADMIN", "password": "TRUVE"})[1]["token"]

    def call(self, h, function, body):
        size, reply = h.post("/admin/" + function, body, {"token": self.token})
        if reply.get("errorCode", 0) != 0:
            raise RuntimeError("%s: %s" % (function, str(reply)[:300]))
        return size, reply

    def setup(self, h):
        pass

    def warm(self, h):
        self.login(h)
        self.call(h, "adminGetServiceList", {})


class AdminSave(Admin):
    what = "adminSaveServiceConfig, 8 MiB body"

    def run(self, h):
        # A 4 MiB file of quotes: each one escaped, the body twice the file.
        line = "; " + '"' * 1000 + "\n"
        contents = line * (scaled(4 * MIB - 4096) // len(line))
        body = json.dumps({"serviceConfigList": [{"serviceName": "osprey.mqtt",
                                                  "serviceConfigContents": contents}]}).encode()
        return len(body), self.call(h, "adminSaveServiceConfig", body)[0]


class AdminGet(Admin):
    what = "adminGetServiceConfig of that file"

    def run(self, h):
        body = {"serviceList": [{"serviceName": "osprey.mqtt"}]}
        return len(json.dumps(body)), self.call(h, "adminGetServiceConfig", body)[0]


CASES = [RestRecord(), RestQuery(), WorkbenchBlob(), WorkbenchSelect(), BrowserBlob(), BrowserPage(),
         MonitorWrite(), MonitorRead(), JsonRpcInsert(), JsonRpcSql(), AdminSave(), AdminGet()]


def measure(heron, case):
    heron.start()
    try:
        case.warm(heron)
        pid = heron.tree.proc.pid
        with open("/proc/%d/clear_refs" % pid, "w") as f:
            f.write("5")  # the peak starts again from the resident size now
        baseline = memory_kib(pid, "VmRSS")
        request, reply = case.run(heron)
        growth = (memory_kib(pid, "VmHWM") - baseline) * 1024
    finally:
        heron.stop()
    return request, reply, growth


def main(dist):
    # The tree measured is the one given: the test tree's sanitizer would
    # otherwise hold freed memory in its quarantine and show many times the
    # real figures.
    os.environ["OSPREY_DIST"] = dist
    peers.DIST = dist
    heron = Heron()
    try:
        heron.start()
        try:
            for case in CASES:
                case.setup(heron)
        finally:
            heron.stop()
        print("%-7s %-46s %11s %11s %11s %10s %12s" % ("app", "case", "request", "reply", "peak+", "peak/reply",
                                                        "peak/request"))
        for case in CASES:
            request, reply, growth = measure(heron, case)
            print("%-7s %-46s %11d %11d %11d %10.2f %12.2f" % (case.name, case.what, request, reply, growth,
                                                               growth / reply, growth / request), flush=True)
    except BaseException:
        print(heron.tree.log()[-3000:], file=sys.stderr)
        raise
    finally:
        heron.tree.remove()


if __name__ == "__main__":
    main(sys.argv[1])
