"""The bound on what heron's broker queues for one subscriber that never
reads while others publish."""
import os
import socket
import sys
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import harness  # noqa: E402
from peers import resident_kib  # noqa: E402
from test_conformance import connected, packet, publish, read_packet, round_trip, subscribe  # noqa: E402


class QueueBoundTest(unittest.TestCase):
    """A subscriber that never reads while others publish."""

    def test_non_reading_qos0_subscriber_keeps_memory_bounded(self):
        # A sanitizer build keeps freed blocks in a quarantine of up to 256 MB,
        # which would hide what the broker itself holds.
        saved = os.environ.get("ASAN_OPTIONS")
        os.environ["ASAN_OPTIONS"] = (saved + ":" if saved else "") + \
            "quarantine_size_mb=4:thread_local_quarantine_size_kb=64"
        try:
            broker = harness.Broker(persistence=False, websocket=False, extra={"mqtt_max_queued_bytes": 2097152})
        finally:
            if saved is None:
                del os.environ["ASAN_OPTIONS"]
            else:
                os.environ["ASAN_OPTIONS"] = saved
        try:
            stalled = connected(broker.port, "stalled")
            stalled.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            stalled.sendall(subscribe(["big/#"]))
            self.assertEqual(read_packet(stalled), (0x90, b"\x00\x01\x00"))
            before = resident_kib(broker.proc.pid)
            payload = b"z" * 65536
            with connected(broker.port, "flood") as pub:
                for _ in range(500):  # 31 MiB for the stalled subscriber
                    pub.sendall(publish("big/data", payload))
                pub.sendall(packet(0xC0))
                self.assertEqual(read_packet(pub, timeout=60), (0xD0, b""))
            grown_mb = (resident_kib(broker.proc.pid) - before) / 1024
            # The bound is 2 MiB queued per subscriber here (8 MiB by default).
            self.assertLess(grown_mb, 16, f"heron grew {grown_mb:.0f} MB")
            self.assertTrue(round_trip(broker.port, "others/served"))
            stalled.close()
            self.assertTrue(harness.wait_for(lambda: "publications dropped while its queue was full" in broker.log()))
        finally:
            code, log = broker.close()
        self.assertFalse(harness.sanitizer_report(log), log)

    def test_qos1_backlog_over_the_bound_disconnects(self):
        broker = harness.Broker(persistence=False, websocket=False,
                                extra={"mqtt_max_queued_messages": 100, "mqtt_max_queued_bytes": 1048576})
        try:
            stalled = connected(broker.port, "stalled-q1")
            stalled.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            stalled.sendall(subscribe(["q1/#"], qos=1))
            self.assertEqual(read_packet(stalled), (0x90, b"\x00\x01\x01"))
            payload = b"q" * 16384
            with connected(broker.port, "q1-flood") as pub:
                # Acknowledged one by one, so the publisher is never the one held up.
                for i in range(1, 601):
                    pub.sendall(publish("q1/data", payload, qos=1, message_id=i))
                    self.assertEqual(read_packet(pub)[0], 0x40)
                    if "stayed over the bound" in broker.log():
                        break
            self.assertTrue(harness.wait_for(lambda: "stalled-q1 disconnected: its queue of QoS 1/2 publications "
                                                     "stayed over the bound" in broker.log()))
            self.assertTrue(round_trip(broker.port, "others/served"))
            stalled.close()
        finally:
            code, log = broker.close()
        self.assertFalse(harness.sanitizer_report(log), log)


if __name__ == "__main__":
    unittest.main()
