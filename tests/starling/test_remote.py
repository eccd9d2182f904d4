"""A remote link from one heron broker to a second one on loopback:
forwarded publications arrive, and commands from the remote topic reach the
persistence command entry."""
import os
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import harness  # noqa: E402
from test_delivery import Listener, pub  # noqa: E402


class RemoteLinkTest(unittest.TestCase):
    def test_forward_and_commands(self):
        remote = harness.Broker(persistence=False, websocket=False)
        local = None
        try:
            cfg = (f"SYS_BROKER_HOST 127.0.0.1\nSYS_BROKER_PORT {remote.port}\nSYS_BROKER_TOPIC linked/cmd\n"
                   "SYS_BROKER_USER u\nSYS_BROKER_PASSWORD p\nLOCAL_USER ADMIN\nLOCAL_PASSWORD TRUVE\n"
                   "SYS_BROKER_FORWARD yes\n")
            local = harness.Broker(persistence=True, websocket=False, starling_cfg=cfg)
            c = Listener("remote-watcher", [("fwd/#", 1)], port=remote.port, record=lambda m: (m.topic, m.payload))
            # The link may not be up yet: publish until one arrives.
            deadline = time.time() + 20
            while not c.got and time.time() < deadline:
                pub(local.port, "fwd/a", "to-remote", 1)
                c.wait_for(1, 1)
            c.close()
            self.assertIn(("fwd/a", b"to-remote"), c.got, local.log())
            # A command published on the remote topic registers its topic locally.
            deadline = time.time() + 20
            rows = []
            while not rows and time.time() < deadline:
                pub(remote.port, "linked/cmd", '{"operation":"PausePersistenceTopic","persistenceTopic":"via/link"}', 1)
                time.sleep(0.5)
                rows = local.sql("select topic_name from mqtt_topic where topic_name='via/link'")
            self.assertEqual(rows, [["via/link"]], local.log())
        finally:
            logs = []
            for b in (local, remote):
                if b is not None:
                    code, log = b.close()
                    logs.append((code, log))
        for code, log in logs:
            self.assertFalse(harness.sanitizer_report(log), log)
            self.assertEqual(code, 0, log)


if __name__ == "__main__":
    unittest.main()
