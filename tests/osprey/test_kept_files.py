"""A file a keep-alive connection asked for before is served as it is now,
whatever changed the names that lead to it: a directory swapped with another
in one rename, a write through a hard link, and a file system mounted over a
directory of its path (skipped where mounting is not permitted)."""
import ctypes
import os
import socket
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "common"))
from peers import RunningHeron  # noqa: E402

RENAME_EXCHANGE = 2


def exchange(a, b):
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.renameat2(-100, a.encode(), -100, b.encode(), RENAME_EXCHANGE) != 0:
        raise OSError(ctypes.get_errno(), "renameat2")


class Client:
    """One keep-alive connection."""

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=20)
        self.pending = b""

    def get(self, path):
        self.sock.sendall(b"GET %s HTTP/1.1\r\nHost: x\r\n\r\n" % path.encode())
        data = self.pending
        while b"\r\n\r\n" not in data:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise EOFError(data)
            data += chunk
        head, rest = data.split(b"\r\n\r\n", 1)
        length = 0
        for line in head.split(b"\r\n")[1:]:
            name, _, value = line.partition(b":")
            if name.strip().lower() == b"content-length":
                length = int(value)
        while len(rest) < length:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise EOFError(rest)
            rest += chunk
        self.pending = rest[length:]
        return int(head.split(b" ")[1]), rest[:length]

    def close(self):
        self.sock.close()


class KeptFileTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tree = RunningHeron("kept-", config={"linked_vix_server": None})
        cls.web = cls.tree.path("web")

    @classmethod
    def tearDownClass(cls):
        cls.tree.finish()

    def write(self, name, data):
        path = os.path.join(self.web, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)

    def kept(self, path):
        """A connection that asked for path often enough to keep it."""
        client = Client(self.tree.http_port)
        self.addCleanup(client.close)
        for _ in range(3):
            client.get(path)
        return client

    def test_directory_exchanged(self):
        self.write("swap/a/f.txt", b"first")
        self.write("swap/b/f.txt", b"second")
        client = self.kept("/swap/a/f.txt")
        exchange(os.path.join(self.web, "swap/a"), os.path.join(self.web, "swap/b"))
        self.assertEqual(client.get("/swap/a/f.txt"), (200, b"second"))

    def test_written_through_hard_link(self):
        self.write("linked/f.txt", b"old")
        client = self.kept("/linked/f.txt")
        other = self.tree.path("link-to-f")
        os.link(os.path.join(self.web, "linked/f.txt"), other)
        with open(other, "r+b") as f:
            f.write(b"new")
        self.assertEqual(client.get("/linked/f.txt"), (200, b"new"))

    def test_mounted_over(self):
        self.write("mounted/d/f.txt", b"below")
        elsewhere = self.tree.path("elsewhere")
        os.makedirs(os.path.join(elsewhere, "d"))
        with open(os.path.join(elsewhere, "d/f.txt"), "wb") as f:
            f.write(b"above")
        client = self.kept("/mounted/d/f.txt")
        target = os.path.join(self.web, "mounted")
        if subprocess.run(["mount", "--bind", elsewhere, target], capture_output=True).returncode != 0:
            self.skipTest("mounting is not permitted here")
        try:
            self.assertEqual(client.get("/mounted/d/f.txt"), (200, b"above"))
            client.get("/mounted/d/f.txt")
        finally:
            # Lazily: the connection still holds the file it kept.
            subprocess.run(["umount", "-l", target], check=True)
        self.assertEqual(client.get("/mounted/d/f.txt"), (200, b"below"))


if __name__ == "__main__":
    unittest.main()
