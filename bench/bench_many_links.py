"""Many links in one process, on ptys and on TCP: N links at 9600 baud,
one thread each, timed from one common start, beside the C++ load driver
on as many links in the same run.

One simulator process serves all N links: N ptys (--links N) or a TCP
gateway sized for N sessions (--tcp 0 --links N), paced at 9600 baud in
both directions. The client opens N lines (FastSerialLine on the ptys,
TcpLine on TCP) and gives each a thread (threading.stack_size 256 KiB)
with its own HDLCProtocol. Every thread connects, then waits; once all
are connected, one write to a pipe lets them all go at the common start,
and each makes one send_receive. A link's time runs from that common start
to the return of its send_receive (its last answer byte read and decoded),
so a link that starts late pays for it. Threads wait for the start, and
after their answer for the end of the run, in a read of a pipe rather than
in a threading.Event: an Event keeps its waiters behind one shared lock
that thousands of threads would take in turn while links are timed, and
every thread asleep in a lock slows each futex wake-up in the process.

Reported per run, each row with the load average of the machine:
  - spread: from the start until the last thread ran;
  - each link's fraction of the line's ceiling from the common start,
    worst and mean (support/exchange.py: every frame both ways, 10 bits a byte,
    half-duplex, no gaps);
  - the client's CPU per received frame (process CPU over every answer
    frame of every link: waiting, the event loop and protocol work
    alike) and its wake-ups (voluntary context switches) per frame;
  - the client's cores per 10,000 sessions: its CPU over the wall time,
    scaled from N links to 10,000;
  - the simulator's CPU, the machine's busy cores, and the rest: what
    neither the client nor the simulator took (other processes, the
    kernel's pty work).
Beside each, meter_load (simulator/load_driver.cpp, C++, one poll loop
for all links, no protocol objects) drives a fresh simulator with as many
links for a few seconds: its CPU per frame is the floor the client's is
compared with. At 1024 links more rows show what the client is measured
against: SerialLine (a Python poll(2) loop in each thread, the port
before the event loop), a do-nothing client (Exchange.replay: pre-encoded
frames, no decoding) on FastSerialLine, and the client with the meters on
cores it shares. At 4096 TCP links with 2030-byte fields the do-nothing
client runs too (what the simulator and the common start leave of the
ceiling), and the client again as README.md sets up a head-end with
thousands of lines ("head-end": from the common start the threads go 8 at
a time, each letting the next one go as it starts; the garbage
collector's youngest generation is collected every 100,000 allocations,
and on Python 2 the interpreter lock is offered every 10,000
instructions; malloc keeps one arena, in the brk heap, on transparent huge
pages). Every link is timed from the common start all the same. glibc
reads its malloc settings (GLIBC_TUNABLES) only as a process starts, so
the head-end row runs in a process of its own, started by this one. The
header gives what a page fault costs on the machine, the first write to
a page of fresh memory: the answers gathered at once are fresh memory.

The client and meter_load keep core 0 and the simulators get the others
(usage.Placement): a head-end runs a process per core, and the meters
stand for devices outside it. The row "cores shared" runs the client and
its simulator on every core, as they run without taskset.

The exchange is an answer of about 8 KB in whole information fields,
about 10 s at the ceiling, at two field sizes, as the client's cost goes
with frames more than with bytes: 128 bytes (the default when the UA
states none, the most frames per byte) and 2030 (near the largest the
11-bit frame length allows). Prints measurements and the goals; asserts
nothing about timing.
"""

from __future__ import absolute_import, division, print_function

import argparse
import contextlib
import gc
import itertools
import mmap
import os
import subprocess
import sys
import threading
import time

try:
    import Queue as queue
except ImportError:  # Python 3
    import queue

from support.exchange import REQUEST, Exchange
from support.simulator import SimulatedMeter
from tarvik.brenlo import HDLCParameters
from tarvik.brenlo.hdlcprotocol import HDLCProtocol
from tarvik.brenlo.transport import FastSerialLine, SerialLine, TcpLine
from usage import CORES, Placement, Usage, goal, raise_open_files_limit

BAUD = 9600
FIELDS = ((128, 66), (2030, 5))  # information field, answer frames: about 10 s each
LINKS = (1, 64, 256, 1024, 4096)
KINDS = ("FastSerialLine", "TcpLine")
MEASURED = 1024  # where the do-nothing client and SerialLine run too
TIMEOUT = 10
STACK = 256 * 1024
SESSIONS = 10000
DRIVER_SECONDS = 3
GOAL_WORST, GOAL_MEAN, GOAL_CPU = 0.90, 0.95, 3.0
# How README.md sets up a head-end with thousands of lines: the threads
# start a few at a time, and the interpreter is set for many threads.
HEAD_END_STARTING = 8
HEAD_END_GC_THRESHOLD = 100000
HEAD_END_CHECK_INTERVAL = 10000  # Python 2 only
HEAD_END_MALLOC = "glibc.malloc.arena_max=1:glibc.malloc.hugetlb=1"
INTERPRETER = "Python %d.%d" % sys.version_info[:2]
PLACEMENT = None  # set by main()


def module(exchange, protocol, port):
    """The module's send_receive; returns the answer's length."""
    return protocol.send_receive(REQUEST).length


def do_nothing(exchange, protocol, port):
    """The do-nothing client (Exchange.replay) on the connected link;
    returns the answer's length if it got the expected frames."""
    frames = exchange.replay(port)
    return exchange.answer if frames == exchange.answer_frames else -1


def load():
    return "%.1f" % os.getloadavg()[0]


@contextlib.contextmanager
def no_settings():
    """The interpreter as it started."""
    yield


@contextlib.contextmanager
def head_end_settings():
    """The interpreter as README.md sets it up for thousands of lines: the
    youngest generation collected every HEAD_END_GC_THRESHOLD allocations
    rather than 700, and on Python 2 a thread asked to let go of the
    interpreter lock every HEAD_END_CHECK_INTERVAL instructions rather
    than 100. Restored afterwards."""
    threshold = gc.get_threshold()
    interval = sys.getcheckinterval() if sys.version_info[0] == 2 else None
    gc.set_threshold(HEAD_END_GC_THRESHOLD, *threshold[1:])
    if interval is not None:
        sys.setcheckinterval(HEAD_END_CHECK_INTERVAL)
    try:
        yield
    finally:
        gc.set_threshold(*threshold)
        if interval is not None:
            sys.setcheckinterval(interval)


class Gate(object):
    """Where threads wait until the main thread lets a number of them
    through: a pipe, one byte a thread. A thread waiting in a read of it
    sleeps in the pipe's own queue, where one waiting in a lock (a futex)
    would lengthen the kernel's futex hash chains that every futex wake-up
    in the process walks, the interpreter lock's and the links' among them."""

    def __init__(self):
        self._read, self._write = os.pipe()

    def wait(self):
        os.read(self._read, 1)

    def open(self, threads):
        """Let C{threads} waiting threads through, now or when they come."""
        os.write(self._write, b"x" * threads)

    def close(self):
        os.close(self._read)
        os.close(self._write)


class Run(object):
    """N links: connect all, start them from one common start, time each.

    @ivar begins: when each link's thread ran after the start (time.time()).
    @ivar ends: when each link's answer was in, None if it was not.
    @ivar errors: what went wrong, one line per link.
    """

    def __init__(self, ports, exchange, client, starting=None):
        """C{starting}: how many threads start at a time, each letting the
        next one go as it starts; None lets all go at once."""
        self.ports, self.exchange, self.client = ports, exchange, client
        self.starting = starting
        self.begins, self.ends = [None] * len(ports), [None] * len(ports)
        self.errors = []
        self.connected = queue.Queue()
        self.starts, self.stops = Gate(), Gate()
        # Links counted as they finish: next() on a count is one step under
        # the interpreter lock, so the link that makes it reach `running`
        # knows it is the last, and only the main thread waits on `finished`.
        self.finishing, self.running = itertools.count(1), 0
        self.finished = threading.Event()

    def link(self, i):
        """One link's thread: connect, wait for the start, fetch the answer."""
        protocol = HDLCProtocol(HDLCParameters(DiscToNDMTimeout=0), self.ports[i])
        try:
            protocol.connect()
        except Exception as e:
            self.connected.put("link %d, connect: %r" % (i, e))
            return
        self.connected.put(None)
        self.starts.wait()
        self.begins[i] = time.time()
        if self.starting:
            self.starts.open(1)
        try:
            received = self.client(self.exchange, protocol, self.ports[i])
            end = time.time()
            if received == self.exchange.answer:
                self.ends[i] = end
            else:
                self.errors.append("link %d: %d bytes" % (i, received))
        except Exception as e:
            self.errors.append("link %d: %r" % (i, e))
        if next(self.finishing) == self.running:
            self.finished.set()
        self.stops.wait()
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
        self.running = len(threads) - len(failed)
        before = Usage(simulator_pid)
        self.starts.open(min(self.starting or self.running, self.running))
        if self.running:
            self.finished.wait()
        spent = Usage(simulator_pid) - before
        self.stops.open(self.running)
        for thread in threads:
            thread.join()
        self.starts.close()
        self.stops.close()
        return before.wall - begin, before.wall, spent


class Result(object):
    """The figures of one run."""

    def __init__(self, links, exchange, start, spent, begins, ends):
        done = [end - start for end in ends if end is not None]
        self.spread = max([begin - start for begin in begins if begin is not None] or [0.0])
        ceiling_time = exchange.line_time(BAUD)
        fractions = [ceiling_time / took for took in done] + [0.0] * (links - len(done))
        self.ok = len(done)
        self.wall = max(done) if done else spent.wall
        self.worst, self.mean = min(fractions), sum(fractions) / links
        self.fractions = sorted(fractions)
        frames = max(1, self.ok * len(exchange.answer_frames))
        self.cpu_per_frame = spent.cpu / frames
        self.sleeps_per_frame = spent.sleeps / frames
        self.cores_per_sessions = spent.cpu / self.wall / links * SESSIONS
        self.simulator = spent.simulator / self.wall
        self.machine = spent.busy / self.wall
        self.rest = spent.rest() / self.wall


ROW = "%-15s %5s %5s %6s %6s %6s %6s %9s %8s %9s %6s %7s %5s %5s"


def header():
    print(ROW % ("client", "links", "ok", "conn.", "spread", "worst", "mean", "client", "wake-ups",
                 "cores per", "sim.", "machine", "rest", "load"))
    print(ROW % ("", "", "", "s", "s", "link", "link", "us/frame", "/frame", "%d sess." % SESSIONS,
                 "% core", "cores/%d" % CORES, "cores", "avg"))


def open_ports(kind, meter, links):
    if kind == "TcpLine":
        return [TcpLine(meter.url, baudrate=BAUD, timeout=TIMEOUT) for _ in range(links)]
    port_class = SerialLine if kind == "SerialLine" else FastSerialLine
    return [port_class(path, baudrate=BAUD, timeout=TIMEOUT) for path in meter.paths]


def measure(name, kind, links, exchange, client=module, apart=True, head_end=False):
    """One run, printed as a row; returns its Result, or None if it
    cannot run here. With C{apart} false the client and the simulator
    share every core; with C{head_end} the links start and the
    interpreter is set up as README.md gives it for thousands of lines."""
    if not apart:
        PLACEMENT.share(True)
    try:
        meter = SimulatedMeter("--baud", str(BAUD), "--answer", "size:%d" % exchange.answer,
                               "--max-info-tx", str(exchange.field), "--max-info-rx", str(exchange.field),
                               links=links, tcp=kind == "TcpLine", prefix=PLACEMENT.meters if apart else [])
    except RuntimeError as e:
        # Too few ptys (kernel.pty.max, less kernel.pty.reserve inside a
        # container) or descriptors: the simulator says which.
        print("%-15s %5d  cannot run: %s" % (name, links, e))
        return None
    ports = []
    try:
        ports = open_ports(kind, meter, links)
        run = Run(ports, exchange, client, HEAD_END_STARTING if head_end else None)
        with head_end_settings() if head_end else no_settings():
            connecting, start, spent = run.measure(meter.process.pid)
    finally:
        for port in ports:
            port.close()
        meter.close()
        if not apart:
            PLACEMENT.share(False)
    r = Result(links, exchange, start, spent, run.begins, run.ends)
    print("%-15s %5d %5d %6.1f %6.3f %6.3f %6.3f %9.1f %8.2f %9.2f %6.1f %7.2f %5.2f %5s%s"
          % (name, links, r.ok, connecting, r.spread, r.worst, r.mean, r.cpu_per_frame * 1e6,
             r.sleeps_per_frame, r.cores_per_sessions, r.simulator * 100, r.machine, r.rest, load(),
             "  errors %d: %s" % (len(run.errors), run.errors[:2]) if run.errors else ""))
    sys.stdout.flush()
    return r


def load_driver(kind, links, exchange):
    """meter_load on as many links of a fresh simulator; returns its CPU
    per frame in seconds, or None."""
    driver = os.path.join(os.path.dirname(os.environ["TARVIK_SIMULATOR"]), "meter_load")
    command = PLACEMENT.meters + [driver, os.environ["TARVIK_SIMULATOR"], str(links), str(DRIVER_SECONDS)]
    command += ["--tcp"] if kind == "TcpLine" else []
    command += ["--driver-cpu", str(PLACEMENT.client_core)] if PLACEMENT.meters else []
    command += ["--baud", str(BAUD), "--answer", "size:65536", "--max-info-tx", str(exchange.field),
                "--max-info-rx", str(exchange.field)]
    output = subprocess.check_output(command).decode()
    per_frame = float(output.split(" us a frame")[0].rsplit(",", 1)[1])
    driver_cpu = float(output.split("driver CPU")[1].split("%")[0]) / 100
    print("%-15s %5d %5s %6s %6s %6s %6s %9.1f %8s %9.2f %6s %7s %5s %5s"
          % ("meter_load", links, "", "", "", "", "", per_frame, "", driver_cpu / links * SESSIONS,
             "", "", "", load()))
    sys.stdout.flush()
    return per_frame / 1e6


def exchange_of(field, frames):
    """Each link's exchange: an answer that fills C{frames} information
    fields of C{field} bytes, the LLC header's 3 bytes included."""
    return Exchange(frames * field - 3, field)


def field_size(field, frames, kinds=KINDS, link_counts=LINKS):
    """The table for one information field size, and its goals."""
    exchange = exchange_of(field, frames)
    print("")
    print("%d-byte fields; each link: %s" % (field, exchange.describe(BAUD)))
    results, floors = {}, {}
    for kind in kinds:
        print("")
        header()
        for links in link_counts:
            results[(kind, links)] = measure(kind, kind, links, exchange)
            if results[(kind, links)]:
                floors[(kind, links)] = load_driver(kind, links, exchange)
                ratio = results[(kind, links)].cpu_per_frame / floors[(kind, links)]
                print("%-15s %5d  client CPU per frame %.2f x the load driver's" % ("", links, ratio))
    if MEASURED in link_counts:
        print("")
        header()
        measure("SerialLine", "SerialLine", MEASURED, exchange)
        if field == FIELDS[0][0]:
            measure("do-nothing", "FastSerialLine", MEASURED, exchange, do_nothing)
            if PLACEMENT.meters:
                measure("cores shared", "FastSerialLine", MEASURED, exchange, apart=False)
    if field == FIELDS[1][0] and results.get(("TcpLine", 4096)):
        print("")
        header()
        measure("do-nothing", "TcpLine", 4096, exchange, do_nothing)
        head_end_process(field)
    goals(field, results, floors)


def head_end_process(field):
    """The head-end row and its goals, from a process started with
    GLIBC_TUNABLES as README.md starts a head-end's (added to any the
    environment sets already)."""
    tunables = [t for t in (os.environ.get("GLIBC_TUNABLES"), HEAD_END_MALLOC) if t]
    environment = dict(os.environ, GLIBC_TUNABLES=":".join(tunables))
    sys.stdout.flush()
    subprocess.check_call([sys.executable, "-B", os.path.abspath(__file__), "--head-end", "--fields", str(field)],
                          env=environment)


def head_end_row(field, frames):
    """In the process head_end_process starts: the head-end row at 4096
    TCP links, and its goals."""
    result = measure("head-end", "TcpLine", 4096, exchange_of(field, frames), head_end=True)
    if result:
        goals(field, {("head-end", 4096): result}, {})


def page_fault_cost(pages=25600):
    """Seconds a page fault takes here: the first write to each page of a
    fresh anonymous mapping less a second write to each, best of three."""
    size = mmap.PAGESIZE
    best = None
    for _ in range(3):
        memory = mmap.mmap(-1, pages * size)
        passes = []
        for _ in range(2):
            start = time.time()
            for offset in range(0, pages * size, size):
                memory[offset:offset + 1] = b"x"
            passes.append(time.time() - start)
        memory.close()
        spent = (passes[0] - passes[1]) / pages
        best = spent if best is None else min(best, spent)
    return best


def goals(field, results, floors):
    """The issue's targets for this field size, each beside its figure."""
    for kind, links in (("FastSerialLine", MEASURED), ("TcpLine", MEASURED), ("TcpLine", 4096), ("head-end", 4096)):
        result = results.get((kind, links))
        if result is None:
            continue
        what = "%s, %s, %d links, %d-byte fields: " % (INTERPRETER, kind, links, field)
        if links == 4096:
            goal(what + "every link served", "%d/%d" % (result.ok, links), result.ok == links,
                 "%d links" % (links - result.ok))
            if field == 2030:
                goal(what + "worst >= %.2f" % GOAL_WORST, "%.3f" % result.worst, result.worst >= GOAL_WORST,
                     "%.3f" % (GOAL_WORST - result.worst))
            continue
        if field != 128:
            continue
        goal(what + "worst >= %.2f" % GOAL_WORST, "%.3f" % result.worst, result.worst >= GOAL_WORST,
             "%.3f" % (GOAL_WORST - result.worst))
        goal(what + "mean >= %.2f" % GOAL_MEAN, "%.3f" % result.mean, result.mean >= GOAL_MEAN,
             "%.3f" % (GOAL_MEAN - result.mean))
        ratio = result.cpu_per_frame / floors[(kind, links)]
        goal(what + "CPU/frame <= %.0f x meter_load's" % GOAL_CPU, "%.2f x" % ratio, ratio <= GOAL_CPU,
             "a factor %.2f" % (ratio / GOAL_CPU))


def arguments():
    parser = argparse.ArgumentParser(description="Many links in one process, beside the C++ load driver.")
    parser.add_argument("--links", type=int, nargs="+", default=LINKS, help="link counts (default: %(default)s)")
    parser.add_argument("--fields", type=int, nargs="+", default=[field for field, _ in FIELDS],
                        choices=[field for field, _ in FIELDS], help="information field sizes")
    parser.add_argument("--lines", nargs="+", default=KINDS, choices=KINDS, help="kinds of line")
    parser.add_argument("--head-end", action="store_true",
                        help="only the head-end row (as started by the full run, with GLIBC_TUNABLES set)")
    return parser.parse_args()


def main():
    global PLACEMENT
    options = arguments()
    PLACEMENT = Placement()
    limit = raise_open_files_limit()
    threading.stack_size(STACK)
    if not options.head_end:
        print("Many links at %d baud: one simulator (ptys, or a TCP gateway), one thread per link,"
              " timed from one common start; open-files limit %d;\nconn. = seconds to connect all links"
              " (untimed); spread = seconds from the start until the last thread ran;\nrest = machine"
              " less client and simulator: other processes and kernel threads (the ptys' among them);"
              "\nmeter_load: the C++ load driver on as many links, %d s; %s; a page fault costs %.2f us"
              % (BAUD, limit, DRIVER_SECONDS, PLACEMENT.describe(), page_fault_cost() * 1e6))
    for field, frames in FIELDS:
        if field not in options.fields:
            continue
        if options.head_end:
            head_end_row(field, frames)
        else:
            field_size(field, frames, options.lines, options.links)


if __name__ == "__main__":
    main()
