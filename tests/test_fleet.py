"""A fleet read end to end: real redis-server, real Celery workers, the
simulator's lines and gateway, on loopback."""

from __future__ import absolute_import, division, print_function

import shutil
import tempfile
import time
import unittest

from support import fleet_cluster
from support.fleet_cluster import Read, Redis


# Each meter's request is unique; the simulator answers with it (echo).
def request_of(meter_id):
    return "C001C100" + meter_id.encode("ascii").hex().upper()


@fleet_cluster.skip_unless_fleet_runs()
class FleetOnRedisTest(unittest.TestCase):
    """Two workers share the work through redis; one is killed while its
    sessions run."""

    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="tarvik-fleet-test-")
        self.addCleanup(shutil.rmtree, self.folder, True)
        self.redis = Redis()
        self.addCleanup(self.redis.close)

    def worker(self, name):
        worker = fleet_cluster.start_worker(
            "--broker", self.redis.url, "--lines", self.folder + "/*", "/dev/pts/*", "--sessions", "4",
            "--visibility-timeout", "4", "--line-lease", "4", "--name", name + "@test", "--machine", "test")
        self.addCleanup(fleet_cluster.stop_worker, worker)
        return worker

    def test_every_meter_once_one_session_per_line_with_a_worker_killed(self):
        # 6 pty lines with 3 meters each, queued in turns so that workers
        # contend for them; a gateway that takes 2 sessions at once.
        lines = fleet_cluster.counting(self, "--baud", "9600", links=6)
        gateway = fleet_cluster.counting(self, "--baud", "9600", "--gateway-limit", "2", tcp=True)
        meters = []
        for i in range(18):
            meters.append({"id": "pty%02d" % i, "line": lines.paths[i % 6], "machine": "test"})
        for i in range(14):
            meters.append({"id": "tcp%02d" % i, "line": gateway.url, "line_sessions": 2})
        for meter in meters:
            meter.update(requests=[request_of(meter["id"]), "C00101"], timeout=1, disc_wait_ms=0)
        # A line no worker of its machine reads.
        meters.append({"id": "elsewhere", "line": "/dev/ttyS99", "machine": "test", "requests": ["C001"]})
        path = fleet_cluster.write_meters(self.folder, meters)

        doomed = self.worker("doomed")
        self.worker("survivor")
        read = Read(path, "--broker", self.redis.url, "--machine", "test", "--visibility-timeout", "4")
        deadline = time.time() + 60
        while len(read.records()) < 4 and time.time() < deadline:
            time.sleep(0.05)
        fleet_cluster.kill_worker(doomed)
        status, records, errors = read.finish()
        counts = lines.close()
        counts.update(gateway.close())

        self.assertEqual(status, 1, errors)
        self.assertIn("32 of 33 meters read", errors)
        self.assertEqual(sorted(r["id"] for r in records), sorted(m["id"] for m in meters))
        for record in records:
            if record["id"] == "elsewhere":
                self.assertEqual((record["ok"], record["error"]), (False, "LineNotServed"))
            else:
                self.assertEqual(record["answers"], [request_of(record["id"]), "C00101"], record)
        self.assertEqual(set(r["worker"] for r in records[-4:]), {"survivor@test"})
        # Every line carried its sessions one at a time (the gateway two).
        self.assertEqual(len(counts), 7)
        self.assertEqual(dict((line, c[1]) for line, c in counts.items()), dict.fromkeys(counts, 0))
        # A session for every meter but "elsewhere", more where the killed
        # worker's ran again.
        self.assertGreaterEqual(sum(c[0] for c in counts.values()), len(meters) - 1)

    def test_a_task_taken_by_a_worker_killed_before_recording_it_is_sent_again(self):
        # A worker takes a task from its redis queue in one step and records
        # it as unacknowledged in the next; killed between the two, it takes
        # the task with it. Here the test takes one, before any worker runs.
        gateway = fleet_cluster.counting(self, "--baud", "9600", tcp=True)
        meters = [{"id": "tcp%d" % i, "line": gateway.url, "requests": [request_of("tcp%d" % i)],
                   "timeout": 1, "disc_wait_ms": 0} for i in range(3)]
        read = Read(fleet_cluster.write_meters(self.folder, meters), "--broker", self.redis.url,
                    "--visibility-timeout", "4")
        broker = self.redis.client()
        self.addCleanup(broker.close)
        deadline = time.time() + 30
        while broker.llen("gateways") < len(meters) and time.time() < deadline:
            time.sleep(0.05)
        self.assertIsNotNone(broker.rpop("gateways"))  # the first one sent: tcp0
        self.worker("survivor")
        status, records, errors = read.finish(timeout=60)
        gateway.close()

        self.assertEqual(status, 0, errors)
        self.assertIn("the broker lost the task of meter tcp0; sent again", errors)
        self.assertEqual(sorted((r["id"], r["answers"]) for r in records),
                         [(m["id"], m["requests"]) for m in meters])


@fleet_cluster.skip_unless_fleet_runs()
class EmbeddedFleetTest(unittest.TestCase):
    """Without --broker: no server, `read` starts its own worker."""

    def test_reads_without_a_server_and_records_every_failure(self):
        folder = tempfile.mkdtemp(prefix="tarvik-fleet-test-")
        self.addCleanup(shutil.rmtree, folder, True)
        lines = fleet_cluster.counting(self, links=2)
        # A meter at another address: the line never answers for it.
        silent = fleet_cluster.counting(self, "--server-upper", "5")
        meters = [{"id": "m%d" % i, "line": lines.paths[i % 2], "requests": [request_of("m%d" % i)]}
                  for i in range(6)]
        meters += [{"id": "silent", "line": silent.paths[0], "requests": ["C001"], "retries": 1,
                    "timeout": 0.3},
                   {"id": "unplugged", "line": folder + "/no-such-line", "requests": ["C001"]}]
        path = fleet_cluster.write_meters(folder, meters)

        status, records, errors = Read(path, "--work", folder + "/work").finish()
        counts = lines.close()
        silent.close()

        self.assertEqual(status, 1, errors)
        self.assertIn("6 of 8 meters read", errors)
        by_id = dict((r["id"], r) for r in records)
        self.assertEqual(len(records), len(by_id))
        self.assertEqual(sorted(by_id), sorted(m["id"] for m in meters))
        for meter in meters[:6]:
            self.assertEqual(by_id[meter["id"]]["answers"], meter["requests"])
        self.assertEqual(sorted(counts.values()), [(3, 0), (3, 0)])
        failures = dict((i, (by_id[i]["ok"], by_id[i]["answers"], by_id[i]["connect_s"]))
                        for i in ("silent", "unplugged"))
        self.assertEqual(failures, dict.fromkeys(failures, (False, [], None)))
        self.assertEqual(by_id["silent"]["error"], "LinkTimeout")
        self.assertIn("no-such-line", by_id["unplugged"]["message"])


if __name__ == "__main__":
    unittest.main()
