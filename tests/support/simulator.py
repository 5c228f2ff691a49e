"""Starts the bundled meter simulator for a test."""

from __future__ import absolute_import, division, print_function

import os
import resource
import shutil
import signal
import subprocess
import tempfile

import serial

from tarvik.brenlo import HDLCParameters

# Timing checks against the simulator's pacing: it is never early by more
# than the clock's resolution, and a loaded machine (or valgrind under the
# client) only ever makes an exchange later.
EARLY_TOLERANCE = 0.005
LATE_TOLERANCE = 10.0 if os.environ.get("TARVIK_MEMCHECK") else 1.0


def line_time(size, baud):
    """Seconds that size bytes take on the line, 10 bits a byte."""
    return size * 10.0 / baud


class SimulatedMeter(object):
    """A meter_simulator process, started with the given options.

    On pseudo-terminals (the default) its line is linked as <folder>/COM1,
    or, with links=N, its N lines as <folder>/COM1.0 .. COM1.<N-1>: `path` is
    the first, `paths` all of them, in order. With tcp=True it listens on
    127.0.0.1 instead (sized for links=N sessions at once): `port` is the
    port and `url` the pySerial URL (serial.serial_for_url) of a new
    session. The keyword stderr says where its --verbose log goes
    (default: ours), prefix a command that runs it (such as prlimit with
    its options).
    """

    def __init__(self, *options, **kwargs):
        links = kwargs.pop("links", 1)
        tcp = kwargs.pop("tcp", False)
        stderr = kwargs.pop("stderr", None)
        prefix = kwargs.pop("prefix", [])
        if kwargs:
            raise TypeError("unexpected arguments: %s" % ", ".join(sorted(kwargs)))
        self.folder = tempfile.mkdtemp(prefix="tarvik-line-")
        command = list(prefix) + [os.environ["TARVIK_SIMULATOR"]]
        link = os.path.join(self.folder, "COM1")
        if tcp:
            command += ["--tcp", "0"] + (["--links", str(links)] if links != 1 else [])
        else:
            command += ["--link", link]
            if links != 1:
                command += ["--links", str(links)]
        self.process = subprocess.Popen(command + list(options), stdout=subprocess.PIPE, stderr=stderr,
                                        universal_newlines=True)
        # The simulator prints one line per pty ("PTY /dev/pts/N") or
        # "TCP 127.0.0.1:PORT" once everything is in place.
        ready = [self.process.stdout.readline() for _ in range(1 if tcp else links)]
        if not all(ready):
            self.close()
            raise RuntimeError("meter_simulator did not start: %s" % " ".join(command + list(options)))
        self.port = self.url = None
        self.paths = []
        if tcp:
            try:
                self.port = int(ready[0].rsplit(":", 1)[1])
            except Exception:  # a simulator left running would hold our output open
                self.close()
                raise
            self.url = "socket://127.0.0.1:%d" % self.port
        else:
            self.paths = [link] if links == 1 else ["%s.%d" % (link, i) for i in range(links)]
        self.path = self.paths[0] if self.paths else None

    def running(self):
        return self.process.poll() is None

    def close(self):
        """Stops the simulator and removes its folder."""
        if self.running():
            self.process.send_signal(signal.SIGTERM)
        self.process.wait()
        self.process.stdout.close()
        shutil.rmtree(self.folder, ignore_errors=True)


def started(test, *options, **kwargs):
    """A SimulatedMeter that is closed when the test ends."""
    meter = SimulatedMeter(*options, **kwargs)
    test.addCleanup(meter.close)
    return meter


def opened(test, where, port_class=serial.Serial, **settings):
    """A port (a serial.Serial by default) on a path, or on a URL with
    port_class=serial.serial_for_url, closed when the test ends."""
    port = port_class(where, **settings)
    test.addCleanup(port.close)
    return port


def new_link(stream):
    """A protocol on the stream that does not wait after a disconnect."""
    from tarvik.brenlo.hdlcprotocol import HDLCProtocol
    return HDLCProtocol(HDLCParameters(DiscToNDMTimeout=0), stream)


def descriptors_past_1023(test):
    """Holds open descriptors until the next one opened is above 1023 (past
    select's limit), all closed when the test ends; skips the test where
    the hard limit on open files does not allow it."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if hard < 1200:
        test.skipTest("the hard limit on open files is %d" % hard)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    test.addCleanup(resource.setrlimit, resource.RLIMIT_NOFILE, (soft, hard))
    for _ in range(1100):
        test.addCleanup(os.close, os.open(os.devnull, os.O_RDONLY))
