"""Record reads by id and inserts over REST beside a small static file from
the same server, measured with wrk (keep-alive) at 16 and 64 connections,
and the same inserts and reads through the engine's client functions
directly. Prints requests/s, p50 and p99 of each, and the ratios the goals
name: reads against the static file, inserts against the engine's direct
single-row inserts (one commit each).

Environment: BENCH_SECONDS (wrk seconds per case, default 5), BENCH_SMOKE
(1: a tiny run whose figures mean nothing)."""
import base64
import http.client
import json
import os
import subprocess
import sys

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, "../../tests/common"))
import peers  # noqa: E402
from peers import HeronTree, free_port, wait_port  # noqa: E402

SMOKE = os.environ.get("BENCH_SMOKE") == "1"
SECONDS = 1 if SMOKE else int(os.environ.get("BENCH_SECONDS", "5"))
CONNECTIONS = (2, 4) if SMOKE else (16, 64)
ROWS = 200 if SMOKE else 10000          # records loaded for the reads
DIRECT_ROWS = 20 if SMOKE else 2000     # direct inserts per thread
AUTH = {"Authorization": "Basic " + base64.b64encode(b"ADMIN:TRUVE").decode(), "Content-Type": "application/json"}
STATIC_FILE = "small.html"  # 1,000 bytes, as bench/http's small file
RECORD_PATH = "/quarn/api/v1/record/rbench/bench"


def request(conn, method, path, body=None):
    conn.request(method, "/quarn/api/v1/" + path, body=None if body is None else json.dumps(body), headers=AUTH)
    reply = conn.getresponse()
    data = reply.read()
    if reply.status != 200:
        raise RuntimeError("%s %s: %d %s" % (method, path, reply.status, data))
    return json.loads(data) if data else None


class Figure:
    def __init__(self, rate, p50_us, p99_us):
        self.rate, self.p50_us, self.p99_us = rate, p50_us, p99_us


def wrk(port, path, connections, mode, rows=1):
    """One wrk run; a run with failed or non-2xx answers fails the bench."""
    threads = min(4, connections)
    out = subprocess.run(["wrk", "-t%d" % threads, "-c%d" % connections, "-d%ds" % SECONDS, "--timeout", "10s",
                          "-s", os.path.join(here, "requests.lua"), "http://127.0.0.1:%d%s" % (port, path),
                          "--", mode, str(rows)], capture_output=True, text=True, check=True).stdout
    result = [line.split()[1:] for line in out.splitlines() if line.startswith("RESULT ")]
    if not result or int(result[0][3]) != 0:
        raise RuntimeError("wrk %s %s: failed requests\n%s" % (mode, path, out))
    rate, p50, p99, _ = result[0]
    return Figure(float(rate), int(p50), int(p99))


def direct(binary, tree, threads):
    """insert and read rates through the engine with `threads` threads."""
    env = dict(os.environ, RAVLINK_DATA=tree.path("data"))
    out = subprocess.run([binary, "dbench", str(threads), str(max(DIRECT_ROWS // threads, 10))], env=env,
                         capture_output=True, text=True, check=True).stdout
    figures = dict(line.split() for line in out.split("\n") if line)
    return float(figures["insert"]), float(figures["read"])


def prepare(port, tree):
    with open(tree.path("web/" + STATIC_FILE), "w") as f:
        f.write(("0123456789abcdefghij" * 50)[:1000])
    conn = http.client.HTTPConnection("127.0.0.1", port)
    for db in ("rbench", "dbench"):
        request(conn, "POST", "database/" + db)
        request(conn, "POST", "table/%s/bench" % db,
                {"fields": [{"name": "name", "type": "VARCHAR", "length": 32}, {"name": "qty", "type": "INTEGER"}]})
    for start in range(0, ROWS, 1000):
        request(conn, "POST", "record/rbench/bench",
                [{"name": "device-%d" % i, "qty": i} for i in range(start, min(ROWS, start + 1000))])


def ms(us):
    return "%.2f" % (us / 1000.0)


def main(dist, direct_binary):
    peers.DIST = dist  # the tree to copy: the one this bench built
    tree = HeronTree("gannet-bench-")
    port = free_port()
    with open(tree.path("config/osprey.json"), "w") as f:
        json.dump({"document_root": "./web", "listening_http_port": str(port), "applications": ["quarn;gannet"],
                   "linked_vix_server": "BRENLOXS"}, f)
    tree.start()
    rows = []
    try:
        if not wait_port(port):
            raise RuntimeError(tree.log())
        prepare(port, tree)
        for connections in CONNECTIONS:
            static = wrk(port, "/" + STATIC_FILE, connections, "static")
            read = wrk(port, RECORD_PATH + "/", connections, "read", ROWS)
            insert = wrk(port, RECORD_PATH, connections, "insert")
            rows.append((connections, static, read, insert))
        direct_single = direct(direct_binary, tree, 1)
        direct_many = direct(direct_binary, tree, CONNECTIONS[0])
    finally:
        tree.proc.terminate()
        tree.wait_exit()
        tree.remove()
    # The engine's best figure of single-row inserts, each committed: one
    # writer, or as many as the smaller REST case has connections.
    direct_insert = max(direct_single[0], direct_many[0])
    print("REST over wrk, keep-alive, %d s per case; static: a %s of 1,000 bytes from the same server"
          % (SECONDS, STATIC_FILE))
    print("%-6s %-7s %10s %8s %8s %-30s" % ("conns", "case", "req/s", "p50 ms", "p99 ms", "ratio"))
    for connections, static, read, insert in rows:
        print("%-6d %-7s %10.0f %8s %8s" % (connections, "static", static.rate, ms(static.p50_us), ms(static.p99_us)))
        print("%-6d %-7s %10.0f %8s %8s %.2f of static (goal 0.5)"
              % (connections, "read", read.rate, ms(read.p50_us), ms(read.p99_us), read.rate / static.rate))
        print("%-6d %-7s %10.0f %8s %8s %.2f of direct (goal 0.8)"
              % (connections, "insert", insert.rate, ms(insert.p50_us), ms(insert.p99_us),
                 insert.rate / direct_insert))
    print("direct through the engine, single-row inserts each committed: %.0f/s with 1 thread, %.0f/s with %d"
          % (direct_single[0], direct_many[0], CONNECTIONS[0]))
    print("direct reads by id: %.0f/s with 1 thread, %.0f/s with %d"
          % (direct_single[1], direct_many[1], CONNECTIONS[0]))
    print("goal: read p99 under 10 ms at %d connections: %s ms" % (rows[-1][0], ms(rows[-1][2].p99_us)))


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
