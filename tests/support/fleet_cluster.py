"""Real parts for fleet tests: a redis-server on loopback, fleet workers,
simulators that count their sessions, and the `read` command."""

from __future__ import absolute_import, division, print_function

import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

PYTHON3 = "/usr/bin/python3"
FLEET = [PYTHON3, "-m", "tarvik.brenlo.fleet"]


def skip_unless_fleet_runs():
    """Skips a test case where the fleet cannot run: Celery is Python 3
    only, and the workers need the session layer built for it."""
    if sys.version_info[0] < 3:
        return unittest.skip("the fleet runs on Python 3 only (Celery 5)")
    try:
        import celery  # noqa: F401
        import tarvik.brenlo.session  # noqa: F401
    except ImportError as e:
        return unittest.skip("the fleet cannot run here: %s" % e)
    return lambda case: case


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


class Redis(object):
    """A redis-server of its own on 127.0.0.1, with nothing saved."""

    def __init__(self):
        self.folder = tempfile.mkdtemp(prefix="tarvik-redis-")
        self.port = free_port()
        self.url = "redis://127.0.0.1:%d/0" % self.port
        self.process = subprocess.Popen(
            ["redis-server", "--port", str(self.port), "--bind", "127.0.0.1", "--save", "",
             "--appendonly", "no", "--dir", self.folder],
            stdout=subprocess.DEVNULL)
        deadline = time.time() + 10
        while time.time() < deadline:
            try:
                socket.create_connection(("127.0.0.1", self.port), 0.2).close()
                return
            except OSError:
                time.sleep(0.05)
        self.close()
        raise RuntimeError("redis-server did not start")

    def client(self):
        import redis
        return redis.Redis.from_url(self.url)

    def close(self):
        self.process.terminate()
        self.process.wait()
        shutil.rmtree(self.folder, ignore_errors=True)


class CountingSimulator(object):
    """A meter_simulator with --count-sessions: `paths` of its ptys (links=N)
    or `url` of its gateway (tcp=True); `close()` returns its counts as
    {line: (sessions, overlapping)}, line being the pty path or "tcp"."""

    def __init__(self, *options, **kwargs):
        links = kwargs.get("links", 1)
        tcp = kwargs.get("tcp", False)
        self.folder = tempfile.mkdtemp(prefix="tarvik-fleet-line-")
        command = [os.environ["TARVIK_SIMULATOR"], "--count-sessions"] + list(options)
        command += ["--tcp", "0"] if tcp else ["--links", str(links), "--link", os.path.join(self.folder, "line")]
        self.process = subprocess.Popen(command, stdout=subprocess.PIPE, universal_newlines=True)
        ready = [self.process.stdout.readline().split() for _ in range(1 if tcp else links)]
        self.url = "socket://%s" % ready[0][1] if tcp else None
        self.paths = [] if tcp else [words[1] for words in ready]

    def kill(self):
        """Ends it at once, if close() did not (a test that failed)."""
        self.process.kill()
        self._reap()

    def close(self):
        self.process.send_signal(signal.SIGTERM)
        counts = {}
        for line in self.process.stdout:
            words = line.split()
            if words and words[0] == "SESSIONS":
                counts[words[1]] = (int(words[2]), int(words[4]))
        self._reap()
        return counts

    def _reap(self):
        self.process.wait()
        self.process.stdout.close()
        shutil.rmtree(self.folder, ignore_errors=True)


def counting(test, *options, **kwargs):
    """A CountingSimulator that is killed when the test ends, whether or
    not the test closed it."""
    simulator = CountingSimulator(*options, **kwargs)
    test.addCleanup(simulator.kill)
    return simulator


def write_meters(folder, records):
    """A JSON lines meters file of the records, in folder."""
    path = os.path.join(folder, "meters.jsonl")
    with open(path, "w") as f:
        for record in records:
            f.write(json.dumps(record) + "\n")
    return path


def start_worker(*options):
    """A fleet worker in a process group of its own (so that killing the
    group kills its pool too)."""
    return subprocess.Popen(FLEET + ["worker"] + list(options), stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL, start_new_session=True)


def kill_worker(worker):
    os.killpg(worker.pid, signal.SIGKILL)
    worker.wait()


def stop_worker(worker):
    if worker.poll() is None:
        os.killpg(worker.pid, signal.SIGTERM)
        worker.wait()


class Read(object):
    """The `read` command on a meters file, running: `records()` are those
    written so far, `finish()` waits for its end and gives (exit status,
    records, standard error)."""

    def __init__(self, meters, *options):
        self.output = meters + ".results"
        self.process = subprocess.Popen(FLEET + ["read", meters, "-o", self.output] + list(options),
                                        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                        universal_newlines=True)

    def records(self):
        if not os.path.exists(self.output):
            return []
        with open(self.output) as f:
            return [json.loads(line) for line in f if line.endswith("\n")]

    def finish(self, timeout=240):
        try:
            _, errors = self.process.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.communicate()
            raise
        return self.process.returncode, self.records(), errors
