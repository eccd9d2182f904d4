"""Record inserts and reads by id over REST (keep-alive, 16 connections)
beside the same operations through the engine's client functions directly;
prints both rates and the REST/direct ratio."""
import base64
import http.client
import json
import os
import subprocess
import sys
import threading
import time

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, "../../tests/common"))
from peers import HeronTree, free_port, wait_port  # noqa: E402

CONNECTIONS = 16
ROWS = int(os.environ.get("REST_BENCH_ROWS", "400"))
AUTH = {"Authorization": "Basic " + base64.b64encode(b"ADMIN:TRUVE").decode(), "Content-Type": "application/json"}


def request(conn, method, path, body=None):
    conn.request(method, "/quarn/api/v1/" + path, body=None if body is None else json.dumps(body), headers=AUTH)
    reply = conn.getresponse()
    data = reply.read()
    if reply.status != 200:
        raise RuntimeError("%s %s: %d %s" % (method, path, reply.status, data))
    return json.loads(data) if data else None


def over_rest(port):
    ids = [[] for _ in range(CONNECTIONS)]

    def inserts(k):
        conn = http.client.HTTPConnection("127.0.0.1", port)
        for i in range(ROWS):
            ids[k].append(request(conn, "POST", "record/rbench/bench", {"name": "device-%d" % i, "qty": i})["_id"])
        conn.close()

    def reads(k):
        conn = http.client.HTTPConnection("127.0.0.1", port)
        for rid in ids[k]:
            request(conn, "GET", "record/rbench/bench/%d" % rid)
        conn.close()

    def options(k):  # no database work: what the client and HTTP alone reach
        conn = http.client.HTTPConnection("127.0.0.1", port)
        for _ in range(ROWS):
            conn.request("OPTIONS", "/quarn/api/v1/record")
            conn.getresponse().read()
        conn.close()

    rates = []
    for work in (inserts, reads, options):
        threads = [threading.Thread(target=work, args=(k,)) for k in range(CONNECTIONS)]
        start = time.time()
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        rates.append(CONNECTIONS * ROWS / (time.time() - start))
    return rates


def main(dist, direct):
    os.environ["OSPREY_DIST"] = dist
    tree = HeronTree("gannet-bench-")
    port = free_port()
    with open(tree.path("config/osprey.json"), "w") as f:
        json.dump({"document_root": "./web", "listening_http_port": str(port), "applications": ["quarn;gannet"],
                   "linked_vix_server": "BRENLOXS"}, f)
    tree.start()
    try:
        if not wait_port(port):
            raise RuntimeError(tree.log())
        conn = http.client.HTTPConnection("127.0.0.1", port)
        for db in ("rbench", "dbench"):
            request(conn, "POST", "database/" + db)
            request(conn, "POST", "table/%s/bench" % db,
                    {"fields": [{"name": "name", "type": "VARCHAR", "length": 32}, {"name": "qty", "type": "INTEGER"}]})
        rest_insert, rest_read, ceiling = over_rest(port)
        env = dict(os.environ, RAVLINK_DATA=tree.path("data"))
        out = subprocess.run([direct, "dbench", str(CONNECTIONS), str(ROWS)], env=env, capture_output=True, text=True,
                             check=True).stdout
        figures = dict(line.split() for line in out.split("\n") if line)
        direct_insert, direct_read = float(figures["insert"]), float(figures["read"])
    finally:
        tree.proc.terminate()
        tree.wait_exit()
        tree.remove()
    print("%d connections, %d records each (REST client: Python http.client, keep-alive)" % (CONNECTIONS, ROWS))
    print("%-8s %12s %12s %8s" % ("", "REST/s", "direct/s", "ratio"))
    print("%-8s %12.0f %12.0f %8.2f" % ("insert", rest_insert, direct_insert, rest_insert / direct_insert))
    print("%-8s %12.0f %12.0f %8.2f" % ("read", rest_read, direct_read, rest_read / direct_read))
    print("client and HTTP ceiling (OPTIONS, no database work): %.0f requests/s" % ceiling)


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
