"""python3 -m tarvik.brenlo.fleet worker|read: read a fleet of meters.

  worker [--broker URL] [--lines GLOB ...]   run a worker on this machine
  read METERS [--broker URL] [-o FILE]       read every meter of a file

Without --broker, C{read} starts its own worker on a work folder (the
embedded default, no server needed); with C{--broker redis://...} or
C{amqp://...}, workers started on any machines share the work.
"""

from __future__ import absolute_import, division, print_function

import argparse
import atexit
import os
import shutil
import socket
import subprocess
import sys
import tempfile

from tarvik.brenlo.fleet import app as fleet
from tarvik.brenlo.fleet import collect
from tarvik.brenlo.fleet.meters import MetersFileError, read_meters
from tarvik.brenlo.fleet.progress import Progress

# Pool processes of a worker: the sessions it runs at once.
DEFAULT_SESSIONS = 8


def main(argv=None):
    parser = _parser()
    options = parser.parse_args(argv)
    if options.command is None:
        parser.error("a command is needed: worker or read")
    try:
        return options.run(options)
    except (ValueError, MetersFileError, RuntimeError) as e:
        parser.exit(2, "%s: error: %s\n" % (parser.prog, e))


def _parser():
    parser = argparse.ArgumentParser(prog="python3 -m tarvik.brenlo.fleet",
                                     description="Reads a fleet of meters on Celery workers.")
    commands = parser.add_subparsers(dest="command")

    worker = commands.add_parser("worker", help="run a worker on this machine")
    _common(worker)
    worker.add_argument("--lines", nargs="+", default=[], metavar="GLOB",
                        help="the serial lines attached to this machine that this worker reads "
                             "(device paths or patterns, e.g. '/dev/ttyUSB*'); without it, only gateways")
    worker.add_argument("--sessions", type=int, default=DEFAULT_SESSIONS,
                        help="sessions at once: pool processes (%(default)s)")
    worker.add_argument("--name", help="the worker's name (default: worker-<pid>@<machine>)")
    worker.add_argument("--loglevel", default="WARNING", help="Celery's log level (%(default)s)")
    worker.set_defaults(run=run_worker)

    read = commands.add_parser("read", help="read every meter of a meters file")
    read.add_argument("meters", help="the meters file: CSV with a header, or JSON lines")
    _common(read)
    read.add_argument("-o", "--output", help="the results, one JSON line per meter (default: stdout)")
    read.add_argument("--workers", type=int,
                      help="workers to start on this machine for this read "
                           "(default: 1 without --broker, else 0)")
    read.add_argument("--sessions", type=int, default=DEFAULT_SESSIONS,
                      help="sessions at once in each of those workers (%(default)s)")
    read.add_argument("--quiet", action="store_true", help="no progress line")
    read.set_defaults(run=run_read)
    return parser


def _common(parser):
    parser.add_argument("--broker", help="redis://host:port/db or amqp://...; "
                                         "without it, the embedded default in the work folder")
    parser.add_argument("--store", help="results and line locks: redis://... (default: a redis broker)")
    parser.add_argument("--work", help="the embedded default's folder (read: a new temporary one)")
    parser.add_argument("--machine", default=socket.gethostname(),
                        help="this machine's name, which serial lines are routed by (%(default)s)")
    parser.add_argument("--visibility-timeout", type=float, default=fleet.VISIBILITY_TIMEOUT,
                        help="seconds before a task of a worker that died is handed out again; "
                             "longer than any session (%(default)s)")
    parser.add_argument("--line-lease", type=float, default=fleet.LINE_LEASE,
                        help="seconds before the lines of a worker that died are free again (%(default)s)")


def _configure(options):
    fleet.configure(options.broker, options.store, options.work, options.visibility_timeout,
                    options.line_lease)


def run_worker(options):
    """Runs a worker until it is stopped."""
    _configure(options)
    queues = [fleet.GATEWAY_QUEUE]
    if options.lines:
        queues.append(fleet.line_queue(options.machine))
    fleet.app.conf.update(tarvik_lines=options.lines)
    if options.broker is None:  # the file transport has no broadcasts
        fleet.app.conf.update(worker_enable_remote_control=False)
    name = options.name or "worker-%d@%s" % (os.getpid(), options.machine)
    fleet.app.worker_main(["worker", "--queues", ",".join(queues), "--concurrency", str(options.sessions),
                           "--hostname", name, "--loglevel", options.loglevel,
                           "--without-gossip", "--without-mingle", "--without-heartbeat"])
    return 0


def run_read(options):
    """Reads every meter; 0 when all were read, 1 when some failed."""
    meters = read_meters(options.meters)
    if options.broker is None and options.work is None:
        options.work = tempfile.mkdtemp(prefix="tarvik-fleet-")
        atexit.register(shutil.rmtree, options.work, True)
    _configure(options)
    count = options.workers if options.workers is not None else (0 if options.broker else 1)
    workers = [_start_worker(options) for _ in range(count)]
    output = open(options.output, "w") if options.output else sys.stdout
    try:
        progress = Progress(len(meters), stream=open(os.devnull, "w") if options.quiet else sys.stderr)
        sent = collect.send(meters, options.machine)
        read = collect.gather(sent, output, progress, lambda: _check(workers))
        progress.finish()
    finally:
        if output is not sys.stdout:
            output.close()
    summary = "%d of %d meters read" % (read, len(meters))
    if options.output:
        summary += ": %s" % options.output
    print(summary, file=sys.stderr)
    return 0 if read == len(meters) else 1


def _start_worker(options):
    """A worker for this read only, on this machine, stopped when it ends."""
    command = [sys.executable, "-m", "tarvik.brenlo.fleet", "worker", "--lines", "*",
               "--sessions", str(options.sessions), "--machine", options.machine,
               "--visibility-timeout", str(options.visibility_timeout)]
    for flag in ("broker", "store", "work"):
        if getattr(options, flag):
            command += ["--" + flag, getattr(options, flag)]
    # Its banner would go into the results on standard output.
    worker = subprocess.Popen(command, stdout=open(os.devnull, "w"))
    atexit.register(_stop, worker)
    return worker


def _check(workers):
    """A read that started its own workers cannot end without them."""
    if workers and all(w.poll() is not None for w in workers):
        raise RuntimeError("the workers of this read have stopped (exit status %s)"
                           % ", ".join(str(w.returncode) for w in workers))


def _stop(worker):
    if worker.poll() is None:
        worker.terminate()
        worker.wait()


if __name__ == "__main__":
    sys.exit(main())
