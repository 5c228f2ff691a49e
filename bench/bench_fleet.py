"""Meters read per minute by 1, 2 and 4 fleet workers, beside the ceiling.

One redis-server and one simulator with 16 pty lines at 9600 baud serve
every row; each row starts its workers (4 sessions each, so 4, 8 and 16
lines busy at once), reads 96 meters (6 a line, 2 requests each, answered
with their own bytes) through the same code as `read`, and stops them.

  - measured: meters over the time from the first task sent to the last
    record in, workers already running.
  - one session: the same sessions run back to back by read_meter in
    this process, without Celery, on one line: the rate the workers'
    sessions would reach if the fleet added nothing.
  - ceiling: the sessions that can run at once (the workers' sessions,
    at most one a line) over the line time of one meter's exchange: every
    frame both ways (DISC/DM, SNRM/UA, each request and its answer,
    DISC/UA), 10 bits a byte, half-duplex, no gaps.
  - CPU: the workers' CPU per meter, pool processes included, less what
    the same workers spend started and stopped without a meter.
  - memory: the resident size of one worker's main and pool processes,
    after its sessions ran (each session a pool process of its own).

Run with Debian's python3 in the build's environment (build/python-py3).
Prints measurements; asserts nothing about timing. About 60 s.
"""

from __future__ import absolute_import, division, print_function

import os
import signal
import time

from support import fleet_cluster
from tarvik.brenlo.fleet import app as fleet
from tarvik.brenlo.fleet import collect
from tarvik.brenlo.fleet.meters import Meter
from tarvik.brenlo.fleet.reading import read_meter

BAUD = 9600
LINES = 16
METERS_PER_LINE = 6
SESSIONS = 4
WORKERS = (1, 2, 4)
REQUESTS = ["C001C100030100010800FF0200", "C001C10003000001000000FF0200"]
# The simulator's UA states four parameters of one byte each.
UA_BYTES = 26
SHORT_FRAME = 9  # DISC, DM, SNRM, UA without information field
I_FRAME_OVERHEAD = 13  # flags, format, addresses, control, HCS, FCS, LLC


def exchange_line_time():
    """Seconds of line time one meter's session takes at BAUD."""
    size = 5 * SHORT_FRAME + UA_BYTES
    size += sum(2 * (len(r) // 2 + I_FRAME_OVERHEAD) for r in REQUESTS)
    return size * 10.0 / BAUD


class Quiet(object):
    """A progress line that draws nothing."""

    def draw(self):
        pass

    def add(self, ok):
        pass


def start_workers(count, redis_url):
    workers = [fleet_cluster.start_worker("--broker", redis_url, "--lines", "/dev/pts/*",
                                          "--sessions", str(SESSIONS), "--name", "bench-%d@bench" % i,
                                          "--machine", "bench")
               for i in range(count)]
    deadline = time.time() + 60
    while len(fleet.app.control.ping(timeout=0.5)) < count:
        if time.time() > deadline:
            raise RuntimeError("the workers did not start")
    return workers


def resident_mb(pid):
    """Megabytes resident of a process and its children."""
    with open("/proc/%d/task/%d/children" % (pid, pid)) as f:
        pids = [pid] + [int(child) for child in f.read().split()]
    total = 0
    for each in pids:
        with open("/proc/%d/status" % each) as f:
            total += sum(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))
    return total / 1024.0


def stop_workers(workers):
    """Stops the workers; their CPU seconds, pool processes included."""
    cpu = 0.0
    for worker in workers:
        os.killpg(worker.pid, signal.SIGTERM)
        _, status, usage = os.wait4(worker.pid, 0)
        worker.returncode = status
        cpu += usage.ru_utime + usage.ru_stime
    return cpu


def read_all(meters):
    """Seconds from the first task sent to the last record in."""
    with open(os.devnull, "w") as nowhere:
        start = time.time()
        read = collect.gather(collect.send(meters, "bench"), nowhere, Quiet())
        elapsed = time.time() - start
    if read != len(meters):
        raise RuntimeError("%d of %d meters read" % (read, len(meters)))
    return elapsed


def session_seconds(meters):
    """Mean seconds of one session, run back to back without Celery."""
    start = time.time()
    for meter in meters:
        if not read_meter(meter)["ok"]:
            raise RuntimeError("%s was not read" % meter.id)
    return (time.time() - start) / len(meters)


def main():
    redis = fleet_cluster.Redis()
    lines = fleet_cluster.CountingSimulator("--baud", str(BAUD), links=LINES)
    try:
        fleet.configure(redis.url)
        meters = [Meter.from_dict({"id": "m%03d" % i, "line": lines.paths[i % LINES], "machine": "bench",
                                   "requests": REQUESTS, "disc_wait_ms": 0})
                  for i in range(LINES * METERS_PER_LINE)]
        idle = stop_workers(start_workers(1, redis.url))
        line_time = exchange_line_time()
        alone = session_seconds(meters[:METERS_PER_LINE * LINES:LINES])
        print("%d meters on %d lines at %d baud, %d sessions a worker; one meter's exchange: "
              "%.3f s of line time, %.3f s a session run alone; an idle worker's start and stop: %.2f s CPU"
              % (len(meters), LINES, BAUD, SESSIONS, line_time, alone, idle))
        print("%-8s %11s %12s %12s %7s %13s %12s"
              % ("workers", "meters/min", "one session", "ceiling/min", "ratio", "CPU ms/meter", "MB a worker"))
        for count in WORKERS:
            workers = start_workers(count, redis.url)
            elapsed = read_all(meters)
            memory = resident_mb(workers[0].pid)
            cpu = stop_workers(workers) - count * idle
            at_once = min(LINES, count * SESSIONS)
            rate, ceiling = len(meters) * 60 / elapsed, at_once * 60 / line_time
            print("%-8d %11.0f %12.0f %12.0f %7.2f %13.1f %12.0f"
                  % (count, rate, at_once * 60 / alone, ceiling, rate / ceiling, 1000 * cpu / len(meters),
                     memory))
    finally:
        counts = lines.close()
        redis.close()
    print("sessions overlapping on a line: %d" % sum(c[1] for c in counts.values()))


if __name__ == "__main__":
    main()
