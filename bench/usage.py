"""What a benchmark run costs: wall time, this process's CPU and wake-ups,
the simulator's CPU, the whole machine's busy time and what of it neither
took; the CPU time of one call; and the goals the benchmarks print next to
what they measured."""

from __future__ import absolute_import, division, print_function

import os
import resource
import subprocess
import time

TICK = float(os.sysconf("SC_CLK_TCK"))
CORES = os.sysconf("SC_NPROCESSORS_ONLN")
clock = getattr(time, "process_time", None) or time.clock  # process CPU time


def machine_busy():
    """Busy CPU seconds of all cores since boot, from /proc/stat."""
    with open("/proc/stat") as stat:
        ticks = [int(v) for v in stat.readline().split()[1:9]]
    return (sum(ticks) - ticks[3] - ticks[4]) / TICK


def process_cpu(pid):
    """User plus system CPU seconds of process C{pid}, all its threads."""
    with open("/proc/%d/stat" % pid) as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK


class Usage(object):
    """A snapshot; the difference of two is what happened between them.

    @ivar wall: seconds (time.time()).
    @ivar cpu: CPU seconds of this process, all threads.
    @ivar sleeps: voluntary context switches of this process (wake-ups).
    @ivar busy: busy CPU seconds of the machine.
    @ivar simulator: CPU seconds of the simulator process C{pid}, or 0.
    """

    def __init__(self, pid=None):
        own = resource.getrusage(resource.RUSAGE_SELF)
        self.wall = time.time()
        self.cpu = own.ru_utime + own.ru_stime
        self.sleeps = own.ru_nvcsw
        self.busy = machine_busy()
        self.simulator = process_cpu(pid) if pid else 0.0

    def __sub__(self, before):
        spent = Usage.__new__(Usage)
        for name in ("wall", "cpu", "sleeps", "busy", "simulator"):
            setattr(spent, name, getattr(self, name) - getattr(before, name))
        return spent

    def rest(self):
        """Of a difference: the busy CPU seconds that neither this process
        nor the simulator took: other processes, and kernel threads such as
        the one that moves bytes across a pty. Near 0 on a quiet machine
        with one link; a large value means the figures were shared. The
        machine's ticks are 10 ms, so small differences read as 0."""
        return max(0.0, self.busy - self.cpu - self.simulator)


def per_call(fn, budget=0.2, repeats=3):
    """CPU seconds per call: best of `repeats` batches of ~budget each."""
    fn()
    n = 1
    while True:
        start = clock()
        for _ in range(n):
            fn()
        spent = clock() - start
        if spent >= budget / 4 or n >= 1 << 20:
            break
        n *= 4
    n = max(1, int(n * budget / max(spent, 1e-6)))
    best = None
    for _ in range(repeats):
        start = clock()
        for _ in range(n):
            fn()
        value = (clock() - start) / n
        best = value if best is None else min(best, value)
    return best


def raise_open_files_limit():
    """Raise this process's descriptor limit to the hard limit; the
    processes it starts inherit it. Returns the new limit."""
    _, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    return hard


class Placement(object):
    """Where a many-links run puts the head-end and the meters.

    The client process keeps core 0, every thread it has and starts: a
    head-end runs a process per core, as the interpreter lock keeps one
    process's Python work on one core anyway, and threads handing the lock
    to each other on one core switch without waking another core. The
    simulated meters stand for devices outside the head-end and get the
    other cores: C{meters} is the command prefix that starts a process
    there. On one core, or without taskset, nothing moves and C{meters}
    is empty.
    """

    client_core = 0

    def __init__(self):
        self.meters = []
        if CORES > 1 and self._pin(os.getpid(), str(self.client_core)):
            self.meters = ["taskset", "-c", "1" if CORES == 2 else "1-%d" % (CORES - 1)]

    def describe(self):
        if not self.meters:
            return "client and meters share the cores"
        return "client on core %d, meters on core(s) %s" % (self.client_core, self.meters[-1])

    def share(self, shared):
        """Let the client use every core (C{shared} true) or its own again."""
        if self.meters:
            self._pin(os.getpid(), "0-%d" % (CORES - 1) if shared else str(self.client_core))

    @staticmethod
    def _pin(pid, cores):
        try:
            with open(os.devnull, "w") as quiet:
                return subprocess.call(["taskset", "-a", "-p", "-c", cores, str(pid)], stdout=quiet) == 0
        except OSError:  # no taskset
            return False


def goal(text, measured, met, shortfall):
    """Print one goal next to its measured value: met, or missed by how much.

    With TARVIK_BENCH_GOALS naming a file, the line is also appended to
    it, so that scripts/bench.sh can list every goal at the end.
    """
    line = "GOAL %-66s %10s  %s" % (text, measured, "met" if met else "MISSED by " + shortfall)
    print(line)
    summary = os.environ.get("TARVIK_BENCH_GOALS")
    if summary:
        with open(summary, "a") as out:
            out.write(line + "\n")
