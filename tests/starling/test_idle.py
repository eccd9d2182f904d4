"""What idle connections leave behind: heron runs without the C library's
per-thread caches of freed blocks, with as many malloc arenas as cores and
without the static TLS reserve on every thread's stack (an operator's own
settings kept), the metadata sessions a connect storm opened are closed
down to a small floor while the connections stay open, and the threads of
idle connections sleep until a deadline of theirs comes."""
import os
import socket
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import harness  # noqa: E402
from harness import wait_for  # noqa: E402
from peers import closed_by_peer, read_exact, read_http_reply  # noqa: E402
from test_delivery import connect_packet  # noqa: E402

SESSION_FLOOR = 2


def tunables_of(pid):
    """The GLIBC_TUNABLES heron started with. The C library ends each value it
    reads with a zero byte in place, so the settings after the first follow as
    entries of their own."""
    with open(f"/proc/{pid}/environ", "rb") as f:
        entries = f.read().split(b"\0")
    for i, entry in enumerate(entries):
        if entry.startswith(b"GLIBC_TUNABLES="):
            settings = [entry.split(b"=", 1)[1]]
            settings += [e for e in entries[i + 1:] if e.startswith(b"glibc.")]
            return ":".join(s.decode() for s in settings)
    return None


def open_metadata_sessions(broker):
    """Open sessions on the metadata database: each keeps its own descriptor
    of the write-ahead log (the database file's own descriptors may outlive a
    closed session while another holds a lock)."""
    count = 0
    fd_dir = f"/proc/{broker.proc.pid}/fd"
    for fd in os.listdir(fd_dir):
        try:
            if os.readlink(os.path.join(fd_dir, fd)) == broker.db() + "-wal":
                count += 1
        except OSError:
            pass  # closed meanwhile
    return count


def with_tunables(value, body):
    saved = os.environ.get("GLIBC_TUNABLES")
    if value is None:
        os.environ.pop("GLIBC_TUNABLES", None)
    else:
        os.environ["GLIBC_TUNABLES"] = value
    try:
        body()
    finally:
        if saved is None:
            os.environ.pop("GLIBC_TUNABLES", None)
        else:
            os.environ["GLIBC_TUNABLES"] = saved


def thread_switches(pid):
    """Context switches so far of each of the process's threads, by thread id."""
    switches = {}
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{tid}/status") as f:
                switches[tid] = sum(int(line.split()[1]) for line in f
                                    if line.startswith(("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches")))
        except OSError:
            pass  # the thread ended meanwhile
    return switches


def threads_woken(pid, tids, seconds):
    """Which of the threads tids ran at all within the next seconds."""
    before = thread_switches(pid)
    time.sleep(seconds)
    after = thread_switches(pid)
    return sorted(t for t in tids if t in before and t in after and after[t] != before[t])


class IdleTest(unittest.TestCase):
    def check_tunables(self, given, expected):
        def body():
            broker = harness.Broker(persistence=False, websocket=False)
            try:
                self.assertEqual(tunables_of(broker.proc.pid), expected)
            finally:
                code, log = broker.close()
                self.assertFalse(harness.sanitizer_report(log), log)
                self.assertEqual(code, 0, log)
        with_tunables(given, body)

    def test_memory_settings_unless_the_operator_set_them(self):
        arenas = f"glibc.malloc.arena_max={len(os.sched_getaffinity(0))}"
        stack = "glibc.rtld.nns=1:glibc.rtld.optional_static_tls=0"
        operator_all = ("glibc.rtld.nns=2:glibc.malloc.tcache_count=1:glibc.malloc.arena_max=2:"
                        "glibc.rtld.optional_static_tls=64")
        for given, expected in [
            (None, f"glibc.malloc.tcache_count=0:{arenas}:{stack}"),
            ("glibc.malloc.arena_max=4", f"glibc.malloc.arena_max=4:glibc.malloc.tcache_count=0:{stack}"),
            ("glibc.malloc.tcache_count=3", f"glibc.malloc.tcache_count=3:{arenas}:{stack}"),
            (operator_all, operator_all),
        ]:
            with self.subTest(given=given):
                self.check_tunables(given, expected)

    def test_metadata_sessions_of_a_connect_storm_close_down_to_the_floor(self):
        broker = harness.Broker(persistence=False, websocket=False)
        clients = []
        try:
            # CONNECTs sent all at once, answers read afterwards: the broker
            # writes each one's row with whatever session is free.
            for i in range(40):
                s = socket.create_connection(("127.0.0.1", broker.port), timeout=10)
                s.sendall(connect_packet(f"idle-{i}"))
                clients.append(s)
            for s in clients:
                self.assertEqual(read_exact(s, 4), b"\x20\x02\x00\x00")
            self.assertTrue(wait_for(lambda: open_metadata_sessions(broker) <= SESSION_FLOOR, timeout=15),
                            f"{open_metadata_sessions(broker)} metadata sessions left open")
            # The connections themselves are untouched, and a new one is served.
            late = socket.create_connection(("127.0.0.1", broker.port), timeout=10)
            late.sendall(connect_packet("idle-late"))
            self.assertEqual(read_exact(late, 4), b"\x20\x02\x00\x00")
            clients.append(late)
            for s in clients:
                s.sendall(b"\xc0\x00")  # PINGREQ
                self.assertEqual(read_exact(s, 2), b"\xd0\x00")
        finally:
            for s in clients:
                s.close()
            code, log = broker.close()
            self.assertFalse(harness.sanitizer_report(log), log)
            self.assertEqual(code, 0, log)

    def test_idle_connection_threads_sleep_until_their_deadlines(self):
        broker = harness.Broker(persistence=False, websocket=False, extra={"mqtt_connect_timeout": 2})
        clients = []
        try:
            pid = broker.proc.pid
            before = set(thread_switches(pid))
            for i in range(12):
                s = socket.create_connection(("127.0.0.1", broker.port), timeout=10)
                s.sendall(connect_packet(f"quiet-{i}", keep_alive=60))
                self.assertEqual(read_exact(s, 4), b"\x20\x02\x00\x00")
                clients.append(s)
            # A web keep-alive connection between two requests sleeps too.
            web = socket.create_connection(("127.0.0.1", broker.http_port), timeout=10)
            web.sendall(b"GET / HTTP/1.1\r\nHost: x\r\n\r\n")
            self.assertTrue(read_http_reply(web).startswith(b"HTTP/1.1 "))
            clients.append(web)
            idle = sorted(set(thread_switches(pid)) - before)
            self.assertGreaterEqual(len(idle), len(clients))
            # Once the broker's clean-up after the connects is over, an idle
            # connection's thread has nothing to wake for for a whole minute.
            self.assertTrue(wait_for(lambda: not threads_woken(pid, idle, 2.5), timeout=30),
                            f"threads of idle connections woke: {threads_woken(pid, idle, 2.5)}")
            # Their deadlines still end them: a client silent past its
            # keep-alive, and a connection that never sends CONNECT.
            silent = socket.create_connection(("127.0.0.1", broker.port), timeout=10)
            silent.sendall(connect_packet("silent", keep_alive=1))
            self.assertEqual(read_exact(silent, 4), b"\x20\x02\x00\x00")
            mute = socket.create_connection(("127.0.0.1", broker.port), timeout=10)
            self.assertTrue(closed_by_peer(silent, 15))
            self.assertTrue(closed_by_peer(mute, 15))
            silent.close()
            mute.close()
            # The sleeping ones are served at once when they speak.
            for s in clients[:-1]:
                s.sendall(b"\xc0\x00")  # PINGREQ
                self.assertEqual(read_exact(s, 2), b"\xd0\x00")
            web.sendall(b"GET / HTTP/1.1\r\nHost: x\r\n\r\n")
            self.assertTrue(read_http_reply(web).startswith(b"HTTP/1.1 "))
        finally:
            for s in clients:
                s.close()
            code, log = broker.close()
            self.assertFalse(harness.sanitizer_report(log), log)
            self.assertEqual(code, 0, log)


if __name__ == "__main__":
    unittest.main()
