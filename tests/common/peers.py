"""What the Python tests share: a throw-away copy of the built tree with heron
running in it, free ports, bounded waits, and the few socket readings every
peer needs (exact reads, one HTTP reply, the peer's close). A new folder of
tests starts from here rather than from a copy."""
import http.client
import json
import os
import random
import re
import shutil
import socket
import struct
import subprocess
import tempfile
import time
import urllib.request

DIST = os.environ.get("OSPREY_DIST", os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../build/test/dist"))


def wait_for(fn, timeout=10):
    """Polls fn until it returns something true or the time is up; returns its last value."""
    deadline = time.time() + timeout
    while time.time() < deadline:
        value = fn()
        if value:
            return value
        time.sleep(0.02)
    return fn()


def _ports_outside_ephemeral_range():
    # Ports the kernel hands out for bind(0) and outgoing connections come from
    # this range: a port picked from it can be taken again before heron binds it.
    try:
        with open("/proc/sys/net/ipv4/ip_local_port_range") as f:
            low = int(f.read().split()[0])
    except (OSError, ValueError, IndexError):
        low = 32768
    return (10000, low - 1) if low > 12000 else (61000, 65000)


def free_port():
    first, last = _ports_outside_ephemeral_range()
    while True:
        port = random.randint(first, last)
        with socket.socket() as s:
            try:
                s.bind(("127.0.0.1", port))
            except OSError:
                continue
            return port


def wait_port(port, timeout=30.0):
    deadline = time.time() + timeout
    while time.time() < deadline:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=0.5):
                return True
        except OSError:
            time.sleep(0.1)
    return False


def sanitizer_report(text):
    return "ERROR: AddressSanitizer" in text or "runtime error:" in text or "ERROR: LeakSanitizer" in text


def status_kib(pid, field):
    """A memory figure of process pid in KiB (VmRSS, VmHWM...)."""
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"no {field} for process {pid}")


def resident_kib(pid):
    """The resident memory of process pid in KiB (VmRSS)."""
    return status_kib(pid, "VmRSS")


class ResidentGrowth:
    """How much the resident memory of process pid grows over a with-block,
    in KiB above its size when the block starts: `peak` (the high-water mark,
    reset when the block starts) and `after` (when it ends). Run a sanitized
    heron with quarantine_size_mb=0, else freed blocks stay resident."""

    def __init__(self, pid):
        self.pid = pid
        self.peak = self.after = None

    def __enter__(self):
        with open(f"/proc/{self.pid}/clear_refs", "w") as f:
            f.write("5")  # the high-water mark starts again from the resident size
        self.start = resident_kib(self.pid)
        return self

    def __exit__(self, *exc):
        self.peak = status_kib(self.pid, "VmHWM") - self.start
        self.after = resident_kib(self.pid) - self.start
        return False

    def check(self, test, peak_mib, after_mib):
        """Fails test when the peak or what stays passes its margin. A
        connection frees its buffers on its own thread once the client has
        gone, a moment after the reply: what stays is read until it is within
        its margin or 10 s have passed."""
        test.assertLess(self.peak, peak_mib * 1024, "peak growth of %d KiB" % self.peak)
        wait_for(lambda: resident_kib(self.pid) - self.start < after_mib * 1024, 10)
        self.after = resident_kib(self.pid) - self.start
        test.assertLess(self.after, after_mib * 1024, "%d KiB stayed resident" % self.after)


def mqtt_text(s):
    """An MQTT length-prefixed UTF-8 string."""
    b = s.encode()
    return struct.pack("!H", len(b)) + b


def mqtt_packet(first, body):
    """An MQTT packet: its first byte, the remaining length, the body."""
    out, n = bytearray([first]), len(body)
    while True:
        byte, n = n & 0x7F, n >> 7
        out.append(byte | (0x80 if n else 0))
        if not n:
            return bytes(out) + body


def read_exact(sock, n, timeout=10):
    """n bytes from sock, or fewer when the peer closed first."""
    sock.settimeout(timeout)
    data = b""
    while len(data) < n:
        chunk = sock.recv(n - len(data))
        if not chunk:
            break
        data += chunk
    return data


def closed_by_peer(sock, timeout=15):
    """True when the peer ends the connection within timeout (what it sends
    before is read and dropped). A reset ends it as well as a close does."""
    sock.settimeout(timeout)
    try:
        while True:
            if sock.recv(4096) == b"":
                return True
    except ConnectionResetError:
        return True
    except socket.timeout:
        return False


def read_http_reply(sock):
    """The head of one HTTP reply, after its Content-Length body is read too;
    b"" when the server closed first."""
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = sock.recv(4096)
        if not chunk:
            return b""
        data += chunk
    head, _, body = data.partition(b"\r\n\r\n")
    match = re.search(rb"(?i)content-length:\s*(\d+)", head)
    length = int(match.group(1)) if match else 0
    while len(body) < length:
        chunk = sock.recv(65536)
        if not chunk:
            return b""
        body += chunk
    return head


def post_json(port, path, body, headers=None, timeout=30):
    """POSTs body as JSON to 127.0.0.1:port; returns (status, decoded reply or
    None when the reply is empty or not JSON)."""
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=timeout)
    try:
        conn.request("POST", path, json.dumps(body) if not isinstance(body, (bytes, str)) else body,
                     dict({"Content-Type": "application/json"}, **(headers or {})))
        reply = conn.getresponse()
        data = reply.read()
    finally:
        conn.close()
    try:
        return reply.status, json.loads(data) if data else None
    except ValueError:
        return reply.status, None


class AdminClient:
    """The administration application of a running tree: POST /admin/<function>
    with the login token in the "token" header."""

    def __init__(self, port):
        self.port = port
        self.token = None

    def call(self, function, body=None, token=None):
        """The reply object of one function (the status is always 200)."""
        token = self.token if token is None else token
        headers = {"token": token} if token else {}
        status, reply = post_json(self.port, "/admin/" + function, body if body is not None else {}, headers)
        if status != 200:
            raise AssertionError("/admin/%s answered %d" % (function, status))
        return reply

    def login(self, user="ADMIN", password="TRUVE"):
        reply = self.call("adminLogin", {"username": user, "password": password})
        if reply.get("errorCode") == 0:
            self.token = reply["token"]
        return reply


class HeronTree:
    """A copy of the built tree in a temporary folder (an empty data/ of its
    own); start() runs heron in it, its output going to heron.out."""

    def __init__(self, prefix="heron-"):
        self.root = tempfile.mkdtemp(prefix=prefix)
        shutil.copytree(DIST, self.root, dirs_exist_ok=True,
                        ignore=shutil.ignore_patterns("CMakeFiles", "*.cmake", "data"))
        os.makedirs(self.path("data"), exist_ok=True)
        self.out = None
        self.proc = None

    def path(self, name):
        return os.path.join(self.root, name)

    def start(self, args=("-s",), output_mode="ab", env=None):
        """env: variables set for heron on top of this process's."""
        self.out = open(self.path("heron.out"), output_mode)
        env = dict(os.environ, RAVLINK_DATA=self.path("data"), **(env or {}))
        self.proc = subprocess.Popen([self.path("heron"), *args], cwd=self.root, env=env,
                                     stdout=self.out, stderr=subprocess.STDOUT)

    def log(self):
        if self.out is not None and not self.out.closed:
            self.out.flush()
        with open(self.path("heron.out"), "rb") as f:
            return f.read().decode(errors="replace")

    def wait_exit(self, timeout=30):
        """heron's exit status, None when it still runs after timeout."""
        try:
            return self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            return None

    def remove(self):
        shutil.rmtree(self.root, ignore_errors=True)


def not_json(constant):
    """For json.loads: a reply holding Infinity or NaN is not JSON."""
    raise ValueError("a reply holds %s, which is not JSON" % constant)


class RunningHeron(HeronTree):
    """heron -s in a tree of its own serving the applications named (prefix;library
    entries of osprey.json) on a free HTTP port, started at once. config: more
    members of osprey.json; app_files: {"config/<name>": text} written before the
    start. stop() ends heron and keeps the tree; finish() also removes it and
    answers heron's output."""

    SERVER = "BRENLOXS"
    check_sql = False  # sql() asserts that the sqlite3 shell succeeded

    def __init__(self, prefix, applications=(), websocket_applications=(), config=None, app_files=None, env=None,
                 wait=True):
        super().__init__(prefix=prefix)
        self.port = free_port()
        self.env = env
        settings = {"document_root": "./web", "listening_http_port": str(self.port),
                    "linked_vix_server": self.SERVER,
                    "applications": list(applications), "websocket_applications": list(websocket_applications)}
        settings.update(config or {})
        with open(self.path("config/osprey.json"), "w") as f:
            json.dump(settings, f)
        for name, text in (app_files or {}).items():
            with open(self.path(name), "w") as f:
                f.write(text)
        self.prepare()
        self.launch(wait)

    def prepare(self):
        """What a test's tree needs beyond the configuration, before heron starts."""

    @property
    def tree(self):
        """The tree heron runs in (itself), for tests written against a separate tree."""
        return self

    def launch(self, wait=True):
        self.start(env=self.env)
        if wait and not wait_port(self.port, 30):
            raise RuntimeError("heron did not start:\n" + self.log())

    def halt(self):
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            self.wait_exit()

    stop = halt

    def finish(self):
        self.halt()
        log = self.log()
        self.remove()
        return log

    def db_file(self, db):
        return self.path("data/%s/%s.db" % (self.SERVER, db))

    def sql(self, db, statement):
        """What the sqlite3 shell prints for statement on database db, stripped."""
        out = subprocess.run(["sqlite3", "-cmd", ".timeout 5000", self.db_file(db), statement],
                             capture_output=True, text=True, timeout=30)
        if self.check_sql:
            assert out.returncode == 0, out.stderr
        return out.stdout.strip()

    def command(self, url_prefix, command, body=None, token=None, timeout=30, ensure_ascii=True):
        """One JSON command POSTed to /<url_prefix>/<command> with the "token"
        header when given: the decoded reply, {} when it is empty."""
        headers = {"Content-Type": "application/json"}
        if token is not None:
            headers["token"] = token
        request = urllib.request.Request("http://127.0.0.1:%d/%s/%s" % (self.port, url_prefix, command),
                                         data=json.dumps(body or {}, ensure_ascii=ensure_ascii).encode(),
                                         method="POST", headers=headers)
        with urllib.request.urlopen(request, timeout=timeout) as reply:
            text = reply.read().decode()
        return json.loads(text, parse_constant=not_json) if text else {}
