"""Many links in one process: N links at 9600 baud, one thread each, timed
from one common start.

One simulator process serves all N links (--links N), paced in both
directions. The client opens N ports (SerialLine, or plain serial.Serial
where select(2) can take its descriptors) and gives each a thread
(threading.stack_size 256 KiB) with its own HDLCProtocol. Every thread
connects, then waits; once all are connected, one Event releases them
together and each makes one send_receive. A link's time runs from that
common start to the return of its send_receive (its last answer byte read
and decoded), so a link that starts late pays for it.

Reported per run:
  - spread: from the start until the last thread ran, the start-up skew;
  - aggregate: N answers over the wall time to the last one, as a
    multiple of one line's ceiling (support/exchange.py: every frame both ways,
    10 bits a byte, half-duplex, no gaps);
  - each link's fraction of that ceiling from the common start, worst
    and mean;
  - the client's CPU per link-second, process CPU / (N x wall), all
    threads, waiting and protocol work alike, and its wake-ups
    (voluntary context switches, GIL hand-overs included) per link-second;
  - the simulator's CPU, and the machine's busy CPU over the wall time
    (/proc/stat), in cores, and the rest of it: what neither the client
    nor the simulator took (other processes, the kernel's pty work).
At 1024 links a do-nothing client (Exchange.replay: pre-encoded frames,
no decoding) runs too, to show how much of what is lost is protocol work.

The exchange is an answer of about 16 KB in whole information fields, at
two field sizes, because the client's cost goes with frames more than
with bytes:
  - 128 bytes, the default when the UA states none: 131 frames, 20 s at
    the ceiling, the most wake-ups per byte;
  - 2030 bytes, near the largest the 11-bit frame length allows: 8 frames,
    17 s at the ceiling.
Either run is long against the start-up of 1024 threads (tenths of a
second), and the whole benchmark takes about 5 minutes. Prints
measurements and the goals; asserts nothing about timing.
"""

import os
import Queue
import sys
import threading
import time

import serial
from support.exchange import REQUEST, Exchange
from support.simulator import SimulatedMeter
from tarvik.brenlo import HDLCParameters
from tarvik.brenlo.hdlcprotocol import HDLCProtocol
from tarvik.brenlo.transport import SerialLine
from usage import CORES, Usage, goal, raise_open_files_limit

BAUD = 9600
FIELDS = ((128, 131), (2030, 8))  # information field, answer frames
LINKS = (1, 64, 256, 1024)
TIMEOUT = 10
STACK = 256 * 1024
SELECT_LIMIT = 1024  # FD_SETSIZE: select(2) takes no descriptor at or above it
GOAL_WORST, GOAL_MEAN, GOAL_CPU_SHARE = 0.90, 0.95, 0.2


def module(exchange, protocol, port):
    """The module's send_receive; returns the answer's length."""
    return protocol.send_receive(REQUEST).length


def do_nothing(exchange, protocol, port):
    """The do-nothing client (Exchange.replay) on the connected link;
    returns the answer's length if it got the expected frames."""
    frames = exchange.replay(port)
    return exchange.answer if frames == exchange.answer_frames else -1


class Run(object):
    """N links on one port class: connect all, start all at once, time each.

    @ivar begins: when each link's thread ran after the start (time.time()).
    @ivar ends: when each link's answer was in, None if it was not.
    @ivar errors: what went wrong, one line per link.
    """

    def __init__(self, port_class, paths, exchange, client):
        self.exchange, self.client = exchange, client
        self.ports = [port_class(path, baudrate=BAUD, timeout=TIMEOUT) for path in paths]
        self.begins, self.ends = [None] * len(paths), [None] * len(paths)
        self.errors = []
        self.connected, self.finished = Queue.Queue(), Queue.Queue()
        self.start, self.stop = threading.Event(), threading.Event()

    def close(self):
        for port in self.ports:
            port.close()

    def highest_descriptor(self):
        return max(max(port.fd, port.pipe_abort_read_r, port.pipe_abort_write_r)
                   for port in self.ports)

    def link(self, i):
        """One link's thread: connect, wait for the start, fetch the answer."""
        protocol = HDLCProtocol(HDLCParameters(DiscToNDMTimeout=0), self.ports[i])
        try:
            protocol.connect()
        except Exception as e:
            self.connected.put("link %d, connect: %r" % (i, e))
            return
        self.connected.put(None)
        self.start.wait()
        self.begins[i] = time.time()
        try:
            received = self.client(self.exchange, protocol, self.ports[i])
            end = time.time()
            if received == self.exchange.answer:
                self.ends[i] = end
            else:
                self.errors.append("link %d: %d bytes" % (i, received))
        except Exception as e:
            self.errors.append("link %d: %r" % (i, e))
        self.finished.put(i)
        self.stop.wait()
        try:
            protocol.disconnect()
        except Exception:
            pass  # the figures are taken; a late DISC changes nothing

    def measure(self, simulator_pid):
        """Connect every link, release them together, wait for every answer.

        @return: (seconds to connect, the common start, the usage from the
            start until every link finished).
        """
        threads = [threading.Thread(target=self.link, args=(i,)) for i in range(len(self.ports))]
        begin = time.time()
        for thread in threads:
            thread.start()
        failed = [f for f in (self.connected.get() for _ in threads) if f]
        self.errors.extend(failed)
        before = Usage(simulator_pid)
        self.start.set()
        for _ in range(len(threads) - len(failed)):
            self.finished.get()
        spent = Usage(simulator_pid) - before
        self.stop.set()
        for thread in threads:
            thread.join()
        return before.wall - begin, before.wall, spent


class Result(object):
    """The figures of one run."""

    def __init__(self, links, exchange, start, spent, begins, ends):
        done = [end - start for end in ends if end is not None]
        self.spread = max(begin - start for begin in begins if begin is not None)
        ceiling_time = exchange.line_time(BAUD)
        fractions = [ceiling_time / took for took in done] + [0.0] * (links - len(done))
        self.ok = len(done)
        self.wall = max(done) if done else spent.wall
        self.aggregate = self.ok * ceiling_time / self.wall
        self.worst, self.mean = min(fractions), sum(fractions) / links
        self.cpu = spent.cpu / (links * self.wall)
        self.sleeps = spent.sleeps / (links * self.wall)
        self.simulator = spent.simulator / self.wall
        self.machine = spent.busy / self.wall
        self.rest = spent.rest() / self.wall


def measure(name, port_class, links, exchange, client=module):
    """One run, printed as a row; returns its Result, or None if it
    cannot run."""
    meter = SimulatedMeter("--baud", str(BAUD), "--answer", "size:%d" % exchange.answer,
                           "--max-info-tx", str(exchange.field), "--max-info-rx", str(exchange.field),
                           links=links)
    run = None
    try:
        run = Run(port_class, meter.paths, exchange, client)
        if port_class is serial.Serial and run.highest_descriptor() >= SELECT_LIMIT:
            print("%-13s %5d  cannot run: its descriptors reach %d, and serial.Serial waits"
                  " with select(2), which takes none above %d"
                  % (name, links, run.highest_descriptor(), SELECT_LIMIT - 1))
            return None
        connecting, start, spent = run.measure(meter.process.pid)
    finally:
        if run is not None:
            run.close()
        meter.close()
    result = Result(links, exchange, start, spent, run.begins, run.ends)
    print("%-13s %5d %5d %6.1f %6.3f %9.1f %7.3f %7.3f %9.3f %9.1f %7.1f %8.2f %6.2f%s"
          % (name, links, result.ok, connecting, result.spread, result.aggregate, result.worst,
             result.mean, result.cpu * 1e3, result.sleeps, result.simulator * 100, result.machine,
             result.rest, "  errors %d: %s" % (len(run.errors), run.errors[:2]) if run.errors else ""))
    sys.stdout.flush()
    return result


def field_size(field, frames):
    """The table for one information field size, and its goals."""
    exchange = Exchange(frames * field - 3, field)
    print("")
    print("%d-byte fields; each link: %s" % (field, exchange.describe(BAUD)))
    print("%-13s %5s %5s %6s %6s %9s %7s %7s %9s %9s %7s %8s %6s"
          % ("client", "links", "ok", "conn.", "spread", "aggregate", "worst", "mean", "client",
             "wake-ups", "sim.", "machine", "rest"))
    print("%-13s %5s %5s %6s %6s %9s %7s %7s %9s %9s %7s %8s %6s"
          % ("", "", "", "s", "s", "x 1 line", "link", "link", "ms/link-s", "/link-s", "% core",
             "cores/%d" % CORES, "cores"))
    results = {}
    for links in LINKS:
        for name, port_class in (("SerialLine", SerialLine), ("serial.Serial", serial.Serial)):
            results[(name, links)] = measure(name, port_class, links, exchange)
    most = LINKS[-1]
    measure("do-nothing", SerialLine, most, exchange, do_nothing)
    result = results[("SerialLine", most)]
    what = "%d links, %d-byte fields: " % (most, field)
    goal(what + "worst link >= %.2f of line rate" % GOAL_WORST, "%.3f" % result.worst,
         result.worst >= GOAL_WORST, "%.3f" % (GOAL_WORST - result.worst))
    goal(what + "mean link >= %.2f of line rate" % GOAL_MEAN, "%.3f" % result.mean,
         result.mean >= GOAL_MEAN, "%.3f" % (GOAL_MEAN - result.mean))
    for links in LINKS:
        ours, theirs = results[("SerialLine", links)], results[("serial.Serial", links)]
        if ours and theirs:
            share = ours.cpu / theirs.cpu
            goal("%d links, %d-byte fields: SerialLine CPU <= %.1f x serial.Serial's"
                 % (links, field, GOAL_CPU_SHARE),
                 "%.3f x" % share, share <= GOAL_CPU_SHARE, "a factor %.2f" % (share / GOAL_CPU_SHARE))


def main():
    limit = raise_open_files_limit()
    threading.stack_size(STACK)
    print("Many links at %d baud: one simulator (--links N), one thread per link, timed from one"
          " common start; open-files limit %d;\nconn. = seconds to connect all links (untimed);"
          " spread = seconds from the start until the last thread ran;\nrest = machine less"
          " client and simulator: other processes and kernel threads (the ptys' among them)"
          % (BAUD, limit))
    print("Answers of about 16 KB, 17 to 20 s at the ceiling, long against the spread; two field"
          " sizes, as the client's cost goes with frames: 128 bytes (the default, the most frames"
          " per byte) and 2030 (near the largest)")
    for field, frames in FIELDS:
        field_size(field, frames)


if __name__ == "__main__":
    main()
