"""JSON-RPC over WebSocket: getRecordById and insertRecords (one row, its
own commit) over 1 and 64 connections, each with a log-in of its own,
beside the same REST calls (wrk) and a small static file of the same server
in the same run, and the engine's direct single-row inserts. Prints calls/s,
p50 and p99 of each with the ratios the goals name, and the client's own CPU
and an engine-free call's rate, which show that the client is not the limit.

Environment: BENCH_SECONDS (seconds per case, default 5), BENCH_SMOKE (1: a
tiny run whose figures mean nothing)."""
import json
import os
import subprocess
import sys

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, "../rest"))
sys.path.insert(0, os.path.join(here, "../../tests/common"))
import rest_bench  # noqa: E402
import peers  # noqa: E402
from peers import HeronTree, free_port, wait_port  # noqa: E402

SMOKE = rest_bench.SMOKE
CONNECTIONS = (1, 4) if SMOKE else (1, 64)
ROWS = rest_bench.ROWS
DATABASE, TABLE = "rbench", "bench"  # made and loaded by rest_bench.prepare


class Call(rest_bench.Figure):
    def __init__(self, rate, p50_us, p99_us, cpu):
        super().__init__(rate, p50_us, p99_us)
        self.cpu = cpu


def rpc(load, port, connections, *mode):
    out = subprocess.run([load, str(port), str(connections), str(rest_bench.SECONDS), *mode], capture_output=True,
                         text=True)
    result = [line.split()[1:] for line in out.stdout.splitlines() if line.startswith("RESULT ")]
    if out.returncode != 0 or not result or int(result[0][3]) != 0:
        raise RuntimeError("wren_load %s: failed calls\n%s%s" % (" ".join(mode), out.stdout, out.stderr))
    rate, p50, p99, _, cpu = result[0]
    return Call(float(rate), int(p50), int(p99), float(cpu))


def main(dist, load, direct_binary):
    peers.DIST = dist  # the tree to copy: the one this bench built
    tree = HeronTree("wren-bench-")
    port = free_port()
    with open(tree.path("config/osprey.json"), "w") as f:
        json.dump({"document_root": "./web", "listening_http_port": str(port), "applications": ["quarn;gannet"],
                   "websocket_applications": ["wren;wren"], "linked_vix_server": "BRENLOXS"}, f)
    tree.start()
    cases = []
    try:
        if not wait_port(port):
            raise RuntimeError(tree.log())
        rest_bench.prepare(port, tree)
        record_path = "/quarn/api/v1/record/%s/%s" % (DATABASE, TABLE)
        for connections in CONNECTIONS:
            figures = {
                "static": rest_bench.wrk(port, "/" + rest_bench.STATIC_FILE, connections, "static"),
                "rpc echo": rpc(load, port, connections, "echo"),
                "rpc read": rpc(load, port, connections, "read", DATABASE, TABLE, str(ROWS)),
                "rest read": rest_bench.wrk(port, record_path + "/", connections, "read", ROWS),
                "rpc insert": rpc(load, port, connections, "insert", DATABASE, TABLE),
                "rest insert": rest_bench.wrk(port, record_path, connections, "insert"),
            }
            cases.append((connections, figures))
        direct_single = rest_bench.direct(direct_binary, tree, 1)
    finally:
        tree.proc.terminate()
        tree.wait_exit()
        tree.remove()
    direct_insert = direct_single[0]
    print("JSON-RPC over WebSocket (wren_load, a log-in per connection) beside REST (wrk), keep-alive, %d s per case"
          % rest_bench.SECONDS)
    print("%-6s %-12s %10s %8s %8s  %s" % ("conns", "case", "calls/s", "p50 ms", "p99 ms", "ratio"))
    for connections, f in cases:
        static = f["static"].rate
        for name, figure in f.items():
            note = ""
            if name.endswith("read"):
                note = "%.2f of static (goal 0.5)" % (figure.rate / static)
            elif name.endswith("insert"):
                note = "%.2f of direct (goal 0.8)" % (figure.rate / direct_insert)
            elif name == "rpc echo":
                note = "no engine work: the client and the WebSocket path alone"
            if isinstance(figure, Call):
                note += "; client CPU %.0f%%" % figure.cpu
            print("%-6d %-12s %10.0f %8s %8s  %s" % (connections, name, figure.rate, rest_bench.ms(figure.p50_us),
                                                     rest_bench.ms(figure.p99_us), note))
    print("direct through the engine, single-row inserts each committed, 1 thread: %.0f/s" % direct_insert)
    print("goal: read p99 under 10 ms at %d connections: rpc %s ms, rest %s ms"
          % (cases[-1][0], rest_bench.ms(cases[-1][1]["rpc read"].p99_us),
             rest_bench.ms(cases[-1][1]["rest read"].p99_us)))


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2], sys.argv[3])
