"""How a serial port waits: client CPU and wake-ups while one long answer
streams in at 9600 baud.

The simulator paces its output on a pty (about 100 writes a second at 9600
baud, as a USB adapter delivers). For each port, one send_receive fetches a
16 KiB answer, and the run reports the client's CPU per payload byte (all
of it: waiting, reading and the protocol work), the read() calls the
module made, and per read: the waits (select or poll calls) and the
voluntary context switches (times the process went to sleep), and the
fraction of the line's ceiling reached (support/exchange.py).

Ports compared:
  - serial.Serial: select(2), wakes for each chunk that arrives;
  - serial.PosixPollSerial: pySerial's poll(2) variant, same waking;
  - kernel gathering: poll(2) with termios VMIN set to the bytes still
    missing (at most 255), a candidate for SerialLine, kept here;
  - SerialLine: poll(2) for the first byte, then a sleep for the line time
    of the bytes still missing.
Prints measurements only; takes about two and a half minutes (eight
answers of 17 to 20 s).
Run it in the build's environment: build/python-py2 -B bench/bench_serial_line.py
"""

import errno
import os
import resource
import select
import sys
import termios
import time

import serial
import serial.serialposix
from serial.serialutil import Timeout
from support.exchange import Exchange
from support.simulator import SimulatedMeter
from tarvik.brenlo import HDLCParameters
from tarvik.brenlo.hdlcprotocol import HDLCProtocol
from tarvik.brenlo.transport import SerialLine

BAUD = 9600
ANSWER = 16384


class Waits(object):
    """Counts select and poll calls; stands in for pySerial's `select`."""

    def __init__(self):
        self.count = 0

    def __getattr__(self, name):
        return getattr(select, name)

    def select(self, *args):
        self.count += 1
        return select.select(*args)

    def poll(self):
        return CountedPoll(self, select.poll())


class CountedPoll(object):

    def __init__(self, waits, poller):
        self.waits, self.poller = waits, poller

    def register(self, *args):
        self.poller.register(*args)

    def poll(self, *args):
        self.waits.count += 1
        return self.poller.poll(*args)


WAITS = Waits()
serial.serialposix.select = WAITS


class CountedSerialLine(SerialLine):

    def _wait(self, poller, abort, timeout):
        WAITS.count += 1
        return super(CountedSerialLine, self)._wait(poller, abort, timeout)


class KernelGathering(CountedSerialLine):
    """Sets termios VMIN to the bytes still missing (at most 255): poll(2)
    reports the tty readable only once that many are in."""

    def _reconfigure_port(self, force_update=False):
        super(KernelGathering, self)._reconfigure_port(force_update)
        self._attributes = termios.tcgetattr(self.fd)

    def _gather(self, count):
        cc = self._attributes[6]
        if cc[termios.VMIN] != min(count, 255):
            cc[termios.VMIN] = min(count, 255)
            termios.tcsetattr(self.fd, termios.TCSANOW, self._attributes)

    def read(self, size=1):
        data = bytearray()
        timeout = Timeout(self._timeout)
        while len(data) < size:
            self._gather(size - len(data))
            if self._wait(self._reading, self.pipe_abort_read_r, timeout) is None:
                break
            try:
                data += os.read(self.fd, size - len(data))
            except OSError as e:
                if e.errno != errno.EAGAIN:
                    raise
            if timeout.expired():
                break
        return bytes(data)


class CountedReads(object):
    """The IOStream given to the module: counts its read() calls."""

    def __init__(self, port):
        self.port, self.reads = port, 0

    def read(self, size=1):
        self.reads += 1
        return self.port.read(size)

    def write(self, data):
        return self.port.write(data)


def usage():
    """CPU seconds and voluntary context switches of this process so far."""
    own = resource.getrusage(resource.RUSAGE_SELF)
    return own.ru_utime + own.ru_stime, own.ru_nvcsw


def measure(name, port_class, segment):
    meter = SimulatedMeter("--baud", str(BAUD), "--answer", "size:%d" % ANSWER,
                           "--max-info-tx", str(segment), "--max-info-rx", str(segment))
    port = port_class(meter.path, baudrate=BAUD, timeout=5)
    stream = CountedReads(port)
    link = HDLCProtocol(HDLCParameters(DiscToNDMTimeout=0), stream)
    try:
        link.connect()
        stream.reads, WAITS.count = 0, 0
        (cpu0, switches0), wall0 = usage(), time.time()
        answer = link.send_receive(bytearray(range(16)))
        (cpu1, switches1), wall = usage(), time.time() - wall0
        spent, switches = cpu1 - cpu0, switches1 - switches0
        link.disconnect()
    finally:
        port.close()
        meter.close()
    assert answer.length == ANSWER
    print("%-24s %5d  %9.2f  %6d  %8.1f  %8.1f  %6.3f"
          % (name, segment, spent * 1e6 / ANSWER, stream.reads,
             WAITS.count / float(stream.reads), switches / float(stream.reads),
             Exchange(ANSWER, segment).line_time(BAUD) / wall))
    sys.stdout.flush()


def main():
    print("One %d-byte answer at %d baud over the simulator's pty" % (ANSWER, BAUD))
    print("%-24s %5s  %9s  %6s  %8s  %8s  %6s"
          % ("port", "field", "CPU us/B", "reads", "waits/rd", "sleeps/rd", "ceil."))
    for segment in (2030, 128):
        for name, port_class in (("serial.Serial", serial.Serial),
                                 ("serial.PosixPollSerial", serial.serialposix.PosixPollSerial),
                                 ("kernel gathering (VMIN)", KernelGathering),
                                 ("SerialLine", CountedSerialLine)):
            measure(name, port_class, segment)


if __name__ == "__main__":
    main()
