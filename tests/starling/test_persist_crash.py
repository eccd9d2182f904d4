"""A kill -9 of heron during a storm of QoS 1 publications to a persisted
topic: after the restart every message the broker acknowledged is a row, and
the database file is sound."""
import json
import os
import signal
import subprocess
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import harness  # noqa: E402
from harness import wait_for  # noqa: E402
from test_delivery import paho_client  # noqa: E402
from test_persist import Broker, create  # noqa: E402


class CrashTest(unittest.TestCase):
    def test_acknowledged_messages_survive_kill(self):
        b = Broker(persistence=True, stats_interval=0, stats_persist_interval=0)
        try:
            cmd = create("storm/seq", persistenceTopicThreads=4, mapOfPropertiesToFields=[
                {"propertyPath": "seq", "fieldName": "seq", "fieldType": "INTEGER"}])
            self.assertEqual(b.command(cmd)[0], 0, b.log())
            acked, sent, early = set(), {}, set()
            lock = threading.Lock()
            client = paho_client("storm-publisher")
            client.max_inflight_messages_set(200)
            client.max_queued_messages_set(0)

            # At most 200 messages in flight, so packet ids never wrap inside the window.
            window = threading.Semaphore(200)

            def on_publish(_c, _u, mid):
                with lock:
                    if mid in sent:
                        acked.add(sent.pop(mid))
                    else:
                        early.add(mid)
                window.release()

            client.on_publish = on_publish
            client.connect("127.0.0.1", b.port)
            client.loop_start()
            stop = threading.Event()

            def storm():
                seq = 0
                while not stop.is_set() and seq < 200000:
                    while not window.acquire(timeout=0.1):
                        if stop.is_set():
                            return
                    info = client.publish("storm/seq", json.dumps({"seq": seq, "pad": "x" * 40}), qos=1)
                    with lock:  # an acknowledgement may come before the id is recorded
                        if info.mid in early:
                            early.discard(info.mid)
                            acked.add(seq)
                        else:
                            sent[info.mid] = seq
                    seq += 1

            thread = threading.Thread(target=storm)
            thread.start()
            self.assertTrue(wait_for(lambda: len(acked) >= 3000, 20), "too few acknowledgements: %d" % len(acked))
            b.proc.send_signal(signal.SIGKILL)
            b.proc.wait()
            stop.set()
            thread.join()
            client.loop_stop()
            with lock:
                confirmed = set(acked)
            integrity = subprocess.run(["sqlite3", b.topic_db(), "PRAGMA integrity_check"], capture_output=True,
                                       text=True, timeout=60).stdout.strip()
            self.assertEqual(integrity, "ok")
            b.start_again()
            rows = {int(r[0]) for r in b.tsql("select seq from storm_seq")}
            missing = confirmed - rows
            self.assertFalse(missing, "%d acknowledged messages are not rows (of %d acknowledged, %d rows)" %
                             (len(missing), len(confirmed), len(rows)))
            # The topic was replayed at start: it still persists.
            b.publish("storm/seq", {"seq": -1})
            self.assertTrue(wait_for(lambda: b.tsql("select seq from storm_seq where seq = -1"), 15), b.log())
        finally:
            code, log = b.close()
        self.assertFalse(harness.sanitizer_report(log), log)


if __name__ == "__main__":
    unittest.main()
