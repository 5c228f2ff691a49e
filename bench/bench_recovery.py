"""How long a session takes to recover from each fault at 9600 baud.

For each fault kind a fresh simulator (--baud 9600) spoils its tenth
answer: that of the ninth request after the UA. The run times that
request, recovery and repetition included, beside the eight requests of
the same session before it, which met a clean line: their median is the
baseline. (The fault comes back only at the twentieth answer, well after
the recovery's few answers.) The port's read time-out is 1 s.
What a recovery costs on top of the clean request is the wait that
detects the fault (the read time-out for a silent meter, nothing for a
damaged answer), the line's settle time, a new SNRM/UA, and the request
once more. Each row is the median of RUNS sessions.

First, what a session costs on a clean line: the client's CPU per request
on an unpaced line, a bare HDLCProtocol beside a Session on the same port.
Prints measurements only; takes about a minute.
Run it in the build's environment: build/python-py2 -B bench/bench_recovery.py
"""

from __future__ import absolute_import, division, print_function

import os
import time

import serial
from support.simulator import SimulatedMeter
from tarvik.brenlo import HDLCParameters
from tarvik.brenlo.hdlcprotocol import HDLCProtocol
from tarvik.brenlo.session import Session

BAUD = 9600
TIMEOUT = 1.0
REQUEST = bytearray(range(100))
RUNS = 3
INACTIVITY_S = 1

CLEAN = 8
EVERY = str(CLEAN + 2)
# Fault kind and simulator options. The inactivity time-out is met by
# waiting before the last request instead.
FAULTS = [
    ("no answer", ["--drop-every", EVERY]),
    ("late answer (1.5 s)", ["--late-every", EVERY, "--late-ms", "1500"]),
    ("FCS error", ["--corrupt-every", EVERY]),
    ("garbage before the flag", ["--garbage-every", EVERY]),
    ("wrong N(S)", ["--wrong-seq-every", EVERY]),
    ("DM (link dropped)", ["--dm-every", EVERY]),
    ("inactivity time-out", ["--inactivity-s", str(INACTIVITY_S)]),
]


def timed_request(session):
    begun = time.time()
    if session.request(REQUEST) != REQUEST:
        raise RuntimeError("wrong answer")
    return time.time() - begun


def one_run(options):
    """(median clean request, request that meets the fault), in seconds."""
    meter = SimulatedMeter("--baud", str(BAUD), *options)
    try:
        port = serial.Serial(meter.path, baudrate=BAUD, timeout=TIMEOUT)
        session = Session(HDLCParameters(DiscToNDMTimeout=0), port)
        session.open()
        clean = median([timed_request(session) for _ in range(CLEAN)])
        if "--inactivity-s" in options:
            time.sleep(INACTIVITY_S + 0.1)
        faulty = timed_request(session)
        session.close()
        port.close()
        return clean, faulty
    finally:
        meter.close()


def cpu_per_request(send, count=2000):
    """The client's CPU seconds (user and system) per call of send."""
    before = os.times()
    for _ in range(count):
        send(REQUEST)
    after = os.times()
    return (after[0] + after[1] - before[0] - before[1]) / count


def session_overhead():
    meter = SimulatedMeter()
    try:
        port = serial.Serial(meter.path, timeout=TIMEOUT)
        link = HDLCProtocol(HDLCParameters(DiscToNDMTimeout=0), port)
        link.connect()
        bare = cpu_per_request(link.send_receive)
        session = Session(HDLCParameters(DiscToNDMTimeout=0), port)
        session.open()
        wrapped = cpu_per_request(session.request)
        session.close()
        port.close()
    finally:
        meter.close()
    print("clean line, unpaced: client CPU per request %.0f us with HDLCProtocol, "
          "%.0f us with Session (%.2f times)" % (bare * 1e6, wrapped * 1e6, wrapped / bare))


def median(values):
    return sorted(values)[len(values) // 2]


def main():
    session_overhead()
    settle = Session(HDLCParameters(), serial.serial_for_url("loop://", baudrate=BAUD)).settle_time()
    print("%d baud, read time-out %.1f s, settle time %.0f ms, %d-byte requests, median of %d"
          % (BAUD, TIMEOUT, settle * 1000, len(REQUEST), RUNS))
    print("%-26s %12s %14s %12s %8s" % ("fault", "clean (ms)", "recovery (ms)", "extra (ms)",
                                         "ratio"))
    for name, options in FAULTS:
        runs = [one_run(options) for _ in range(RUNS)]
        clean = median([run[0] for run in runs])
        faulty = median([run[1] for run in runs])
        print("%-26s %12.0f %14.0f %12.0f %8.1f"
              % (name, clean * 1000, faulty * 1000, (faulty - clean) * 1000, faulty / clean))


if __name__ == "__main__":
    main()
