"""Every example of the request reference in docs/ sent to one running heron
that serves all the applications, in the order the documents give them.

An example is a request block followed by its reply block:
  ```http request      METHOD /path, header lines, a blank line, a JSON body
  ```http reply        HTTP/1.1 STATUS, a blank line, the JSON answered
  ```json websocket /p one text frame sent on a WebSocket of path /p
  ```json reply        the frame answered
  ```sh command        a shell command run in the tree (1883 and 8080 are the
                       test's ports); an ```text output block after it is what
                       the command prints, polled until it does
In a reply, a string "<name>" stands for any value, which later requests use
as <name>; objects need the keys shown (more may come), arrays the elements
shown, other values are compared as they are."""
import http.client
import json
import os
import re
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "common"))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "wren"))
from peers import RunningHeron, wait_for  # noqa: E402
from test_wren import WsClient  # noqa: E402

DOCS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "docs")
BLOCK = re.compile(r"^```(\w+) ?([^\n]*)\n(.*?)^```$", re.S | re.M)
PLACEHOLDER = re.compile(r"^<(\w+)>$")


def examples(path):
    """(kind, argument, text, expected reply kind, expected text) per example of one document."""
    with open(path) as f:
        blocks = [(lang, info.strip(), text) for lang, info, text in BLOCK.findall(f.read())]
    found = []
    for i, (lang, info, text) in enumerate(blocks):
        words = info.split()
        if not words or words[0] not in ("request", "websocket", "command"):
            continue
        follower = blocks[i + 1] if i + 1 < len(blocks) else None
        expected = follower[2] if follower and follower[1].split()[:1] in (["reply"], ["output"]) else None
        found.append((words[0], " ".join(words[1:]), text, expected))
    return found


class Server(RunningHeron):
    def __init__(self):
        super().__init__("reference-", mqtt=True, ready=True,
                         applications=["quarn;gannet", "monitor;finch", "avocet;avocet", "plover;plover",
                                       "mqtt;starling"],
                         websocket_applications=["wren;wren"],
                         config={"verbose_level": -1, "mqtt_persistence_enabled": "true",
                                 "mqtt_statistics_interval": 0, "mqtt_statistics_persistence_interval": 0})


class ReferenceTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = Server()
        cls.values = {}
        cls.sockets = {}

    @classmethod
    def tearDownClass(cls):
        for ws in cls.sockets.values():
            ws.close()
        cls.server.finish(check="exit")

    def fill(self, text):
        return re.sub(r"<(\w+)>", lambda m: str(self.values[m.group(1)]) if m.group(1) in self.values
                      else m.group(0), text)

    def match(self, expected, actual, where):
        if isinstance(expected, str) and PLACEHOLDER.match(expected):
            self.assertIsNotNone(actual, where)
            self.values[PLACEHOLDER.match(expected).group(1)] = actual
        elif isinstance(expected, dict):
            self.assertIsInstance(actual, dict, where)
            for key, value in expected.items():
                self.assertIn(key, actual, "%s: %s" % (where, actual))
                self.match(value, actual[key], "%s.%s" % (where, key))
        elif isinstance(expected, list):
            self.assertIsInstance(actual, list, where)
            self.assertGreaterEqual(len(actual), len(expected), "%s: %s" % (where, actual))
            for n, value in enumerate(expected):
                self.match(value, actual[n], "%s[%d]" % (where, n))
        else:
            self.assertEqual(actual, expected, where)

    def http(self, text, expected):
        head, _, body = self.fill(text).partition("\n\n")
        lines = head.splitlines()
        method, path = lines[0].split()[:2]
        headers = dict(line.split(": ", 1) for line in lines[1:])
        conn = http.client.HTTPConnection("127.0.0.1", self.server.http_port, timeout=60)
        try:
            conn.request(method, path, body.encode() if body.strip() else None, headers)
            reply = conn.getresponse()
            status, data = reply.status, reply.read()
        finally:
            conn.close()
        status_line, _, reply_body = expected.partition("\n\n")
        self.assertEqual(status, int(status_line.split()[1]), "%s: %s" % (lines[0], data))
        if reply_body.strip():
            self.match(json.loads(reply_body), json.loads(data), lines[0])
        else:
            self.assertEqual(data, b"", lines[0])

    def websocket(self, path, text, expected):
        if path not in self.sockets:
            self.sockets[path] = WsClient(self.server.http_port, path)
        reply = self.sockets[path].raw(self.fill(text))
        self.match(json.loads(expected), reply, text.split("\n")[0])

    def command(self, text, expected):
        line = self.fill(text).replace("1883", str(self.server.mqtt_port)).replace("8080", str(self.server.http_port))

        def output():
            run = subprocess.run(["sh", "-c", line], cwd=self.server.root, capture_output=True, text=True, timeout=30)
            return run.stdout if run.returncode == 0 else "exit %d: %s" % (run.returncode, run.stderr)

        if expected is None:
            self.assertNotRegex(output(), "^exit ", line)
        else:
            # What a command starts on the server (a persisted row) comes a moment later.
            self.assertEqual(wait_for(lambda: output() == expected, 20) and expected or output(), expected, line)

    def run_document(self, name):
        found = examples(os.path.join(DOCS, name))
        self.assertTrue(found, name)
        for kind, argument, text, expected in found:
            with self.subTest(document=name, request=text.split("\n")[0]):
                if kind == "request":
                    self.http(text, expected)
                elif kind == "websocket":
                    self.websocket(argument, text, expected)
                else:
                    self.command(text, expected)


def document_test(name):
    return lambda self: self.run_document(name)


for document in sorted(os.listdir(DOCS)):
    if document.endswith(".md"):
        setattr(ReferenceTest, "test_" + document[:-3].replace("-", "_"), document_test(document))

if __name__ == "__main__":
    unittest.main()
