"""What the Python tests share: a throw-away copy of the built tree with heron
running in it, free ports, bounded waits, and the few socket readings every
peer needs (exact reads, one HTTP reply, the peer's close). A new folder of
tests starts from here rather than from a copy."""
import base64
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
    """An MQTT length-prefixed UTF-8 string (s a str, or bytes sent as they are)."""
    b = s if isinstance(s, bytes) else s.encode()
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
        if self.out is not None:
            self.out.close()  # of an earlier run
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


# A fresh engine server's administrator, as the local authentication file names it.
ADMIN_AUTH = b"USERID ADMIN\nPASSWD TRUVE\n"

# A small sanitizer quarantine, so that resident sizes show what heron holds
# rather than blocks the sanitizer keeps back.
SMALL_QUARANTINE = "quarantine_size_mb=1:thread_local_quarantine_size_kb=64"


def auth_key():
    # The first bytes of the broker's scrambling key (a fixed xorshift32 sequence).
    state, key = 0x5EED1E55, []
    for _ in range(4):
        state ^= (state << 13) & 0xFFFFFFFF
        state ^= state >> 17
        state ^= (state << 5) & 0xFFFFFFFF
        key.append(state >> 24)
    return key


def scramble(data: bytes) -> bytes:
    """data as the local authentication file keeps it."""
    key = auth_key()
    return bytes(b ^ key[i % 4] for i, b in enumerate(data))


def b64(text):
    """text in base64, as the applications take user names and passwords."""
    return base64.b64encode(text.encode()).decode()


def run_with_server(server, *modules):
    """Runs the tests of __main__ named on the command line (all without one)
    against server, a RunningHeron set as SERVER in each of modules, then
    stops it; the exit status fails too when heron's output holds a sanitizer
    report."""
    import sys
    import unittest
    for module in modules:
        module.SERVER = server
    try:
        program = unittest.main(argv=sys.argv, exit=False)
        ok = program.result.wasSuccessful()
    finally:
        log = server.finish()
    if sanitizer_report(log):
        print(log)
        ok = False
    sys.exit(0 if ok else 1)


class RunningHeron(HeronTree):
    """heron -s in a tree of its own serving the applications named (prefix;library
    entries of osprey.json) on a free HTTP port (http_port, also port), started
    at once. config: more members of osprey.json (None removes one), or the
    whole file as a text written as it is (no HTTP port then); app_files:
    {"config/<name>": text} written before the start. mqtt: the broker on
    mqtt_port (a free one unless given), mqtt_websocket: MQTT over WebSocket
    on ws_port too. auth: the local authentication file web/localAuthFile.set
    (None keeps the built tree's, False removes it, bytes are written
    scrambled). asan_options: added to ASAN_OPTIONS. run: heron starts at once
    (else at launch()); wait: until every port listens, and with ready until
    heron logs that it is ready; a start that fails stops heron and raises
    RuntimeError. stop() ends heron and keeps the tree; finish() also
    removes it and answers heron's output."""

    SERVER = "BRENLOXS"
    check_sql = False  # sql() asserts that the sqlite3 shell succeeded
    timeout = 30  # seconds post() waits for a reply

    def __init__(self, prefix, applications=(), websocket_applications=(), config=None, app_files=None, env=None,
                 wait=True, mqtt=False, mqtt_websocket=False, mqtt_port=None, auth=None, asan_options=None,
                 ready=False, args=("-s",), output_mode="ab", run=True):
        super().__init__(prefix=prefix)
        self.args, self.output_mode, self.ready = args, output_mode, ready
        self.http_port = None if isinstance(config, str) else free_port()
        self.mqtt_port = (mqtt_port or free_port()) if mqtt else None
        self.ws_port = free_port() if mqtt and mqtt_websocket else None
        self.env = dict(env or {})
        if asan_options:
            saved = os.environ.get("ASAN_OPTIONS")
            self.env["ASAN_OPTIONS"] = f"{saved}:{asan_options}" if saved else asan_options
        if isinstance(config, str):
            text = config
        else:
            settings = {"document_root": "./web", "listening_http_port": str(self.http_port),
                        "linked_vix_server": self.SERVER,
                        "applications": list(applications), "websocket_applications": list(websocket_applications)}
            if mqtt:
                settings.update({"mqtt_enabled": "true", "mqtt_listening_port": str(self.mqtt_port)})
            if self.ws_port:
                settings["mqtt_websocket_port"] = str(self.ws_port)
            settings.update(config or {})
            text = json.dumps({key: value for key, value in settings.items() if value is not None})
        with open(self.path("config/osprey.json"), "w") as f:
            f.write(text)
        auth_path = self.path("web/localAuthFile.set")
        if auth is False and os.path.exists(auth_path):
            os.remove(auth_path)
        elif auth:
            with open(auth_path, "wb") as f:
                f.write(scramble(auth))
        for name, text in (app_files or {}).items():
            with open(self.path(name), "w") as f:
                f.write(text)
        self.prepare()
        if run:
            self.launch(wait)

    @property
    def port(self):
        """The port tests talk to: HTTP here."""
        return self.http_port

    @port.setter
    def port(self, value):
        self.http_port = value

    def prepare(self):
        """What a test's tree needs beyond the configuration, before heron starts."""

    @property
    def tree(self):
        """The tree heron runs in (itself), for tests written against a separate tree."""
        return self

    def launch(self, wait=True):
        self.start(self.args, output_mode=self.output_mode, env=self.env)
        if wait:
            self.wait_started()

    def wait_started(self, timeout=30):
        """Waits until every port listens (and heron is ready when asked);
        stops heron and raises RuntimeError when it is not by then or gave up."""
        deadline = time.time() + timeout
        for port in (self.http_port, self.mqtt_port, self.ws_port):
            while port and not wait_port(port, 0.2):
                if time.time() > deadline or self.proc.poll() is not None or \
                        "Not able to start MQTT broker" in self.log():
                    self.halt()
                    raise RuntimeError("heron did not start:\n" + self.log())
        if self.ready and not wait_for(lambda: "Web server is ready" in self.log() or self.proc.poll() is not None,
                                       max(deadline - time.time(), 1)) or self.proc.poll() is not None:
            self.halt()
            raise RuntimeError("heron is not ready:\n" + self.log())

    def wait_log(self, text, timeout=30):
        return wait_for(lambda: text in self.log(), timeout)

    def halt(self, timeout=30):
        """Ends heron with SIGTERM (killed when it still runs after timeout);
        its exit status, None when it had to be killed."""
        code = None
        if self.proc:
            if self.proc.poll() is None:
                self.proc.terminate()
            code = self.wait_exit(timeout)
            if code is None:
                self.proc.kill()
                self.proc.wait()
        if self.out is not None:
            self.out.close()
        return code

    stop = halt

    def finish(self, check=None):
        """Ends heron, removes the tree and answers heron's output. check:
        "report" raises AssertionError when the output holds a sanitizer
        report, "exit" also when heron did not end with status 0."""
        code = self.halt()
        log = self.log()
        self.remove()
        if check and (sanitizer_report(log) or check == "exit" and code != 0):
            raise AssertionError("heron ended with %s:\n%s" % (code, log))
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

    def post(self, path, body=None, token=None, timeout=None, ensure_ascii=True):
        """body as JSON POSTed to /<path> with the "token" header when given:
        the decoded reply, {} when it is empty."""
        headers = {"Content-Type": "application/json"}
        if token is not None:
            headers["token"] = token
        request = urllib.request.Request("http://127.0.0.1:%d/%s" % (self.http_port, path),
                                         data=json.dumps(body or {}, ensure_ascii=ensure_ascii).encode(),
                                         method="POST", headers=headers)
        with urllib.request.urlopen(request, timeout=timeout or self.timeout) as reply:
            text = reply.read().decode()
        return json.loads(text, parse_constant=not_json) if text else {}

    def command(self, url_prefix, command, body=None, token=None, timeout=None, ensure_ascii=True):
        """One JSON command POSTed to /<url_prefix>/<command>: see post()."""
        return self.post("%s/%s" % (url_prefix, command), body, token, timeout, ensure_ascii)
