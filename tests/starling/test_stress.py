"""Many clients subscribing, unsubscribing, publishing to new topics and
disconnecting at once, with statistics at their shortest interval, under a
watchdog: the broker must keep answering and stop cleanly without a
sanitizer report."""
import os
import random
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import harness  # noqa: E402
from test_delivery import Listener, paho_client  # noqa: E402

WORKERS = 16
ROUNDS = 6


class StressTest(unittest.TestCase):
    def test_churn_without_deadlock(self):
        broker = harness.Broker(persistence=True, stats_interval=1, stats_persist_interval=1)
        errors = []
        try:
            def worker(n):
                rnd = random.Random(n)
                try:
                    for r in range(ROUNDS):
                        c = paho_client(f"stress-{n % 10}")  # shared ids force take-overs too
                        c.connect("127.0.0.1", broker.port, keepalive=10)
                        c.loop_start()
                        c.subscribe([(f"s/{rnd.randint(0, 5)}/#", 1), ("brenloxAdmin/#", 0)])
                        for i in range(10):
                            c.publish(f"s/{rnd.randint(0, 5)}/{n}-{r}-{i}", b"x" * rnd.randint(0, 64), qos=rnd.randint(0, 2))
                        c.unsubscribe(f"s/{rnd.randint(0, 5)}/#")
                        time.sleep(rnd.random() * 0.1)
                        c.loop_stop()
                        c.disconnect()
                except Exception as e:  # noqa: BLE001
                    errors.append(repr(e))

            threads = [threading.Thread(target=worker, args=(n,), daemon=True) for n in range(WORKERS)]
            for t in threads:
                t.start()
            deadline = time.time() + 120  # the watchdog
            for t in threads:
                t.join(max(0, deadline - time.time()))
            self.assertFalse(any(t.is_alive() for t in threads), "clients hung: broker deadlocked?\n" + broker.log())
            # Still serving afterwards.
            probe = Listener("probe", [("probe/t", 1)], port=broker.port)
            probe.client.publish("probe/t", "alive", qos=1)
            self.assertTrue(probe.wait_for(1), broker.log())
            probe.close()
            self.assertEqual(errors, [])
        finally:
            code, log = broker.close()
        self.assertFalse(harness.sanitizer_report(log), log)
        self.assertEqual(code, 0, log)


if __name__ == "__main__":
    unittest.main()
