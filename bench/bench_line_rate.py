"""Line-rate benchmark: the C++ module against the bundled meter simulator.

The simulator paces its output to a given baud rate (10 bits a byte) on a
pty, which the client opens with pySerial. Reports achieved payload
throughput against the theoretical rate (baud / 10 bytes per second) and
the client's CPU time against wall time; then many links at once, each
with its own simulator process and protocol object on its own thread.
Prints measurements only; nothing is asserted about timings.
"""

import os
import select
import sys
import threading
import time
import tty

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))

import serial
from simulated_line import SimulatedMeter
from tarvik.brenlo import HDLCParameters
from tarvik.brenlo.hdlcprotocol import HDLCProtocol

SEGMENT = 2030


def cpu():
    t = os.times()
    return t[0] + t[1]


def machine_busy():
    """Seconds of busy CPU on all cores, from /proc/stat."""
    ticks = [int(v) for v in open("/proc/stat").readline().split()[1:]]
    idle = ticks[3] + ticks[4]
    return (sum(ticks[:8]) - idle) / float(os.sysconf("SC_CLK_TCK"))


class PolledPort(object):
    """IOStream over a raw tty, waiting with poll(2).

    pySerial waits with select(2), which refuses descriptors above 1023;
    with about six descriptors a link (port, pySerial's two wake-up
    pipes, the simulator's stdout), that stops a process at roughly 170
    links. This stream has one descriptor and no such limit.
    """

    def __init__(self, path, timeout):
        self.fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
        tty.setraw(self.fd)
        self.timeout_ms = int(timeout * 1000)
        self.poller = select.poll()
        self.poller.register(self.fd, select.POLLIN)

    def write(self, data):
        view = memoryview(data)
        while view:
            view = view[os.write(self.fd, view):]

    def read(self, size):
        chunks, missing = [], size
        deadline = time.time() + self.timeout_ms / 1000.0
        while missing > 0:
            left = deadline - time.time()
            if left <= 0 or not self.poller.poll(left * 1000):
                break
            chunk = os.read(self.fd, missing)
            chunks.append(chunk)
            missing -= len(chunk)
        return "".join(chunks)

    def close(self):
        os.close(self.fd)


def open_link(baud, answer, port_class=None):
    meter = SimulatedMeter("--baud", str(baud), "--answer", "size:%d" % answer,
                           "--max-info-tx", str(SEGMENT),
                           "--max-info-rx", str(SEGMENT))
    if port_class is None:
        port = serial.Serial(meter.path, baudrate=baud, timeout=5)
    else:
        port = port_class(meter.path, timeout=5)
    proto = HDLCProtocol(HDLCParameters(DiscToNDMTimeout=0), port)
    proto.connect()
    return meter, port, proto


def close_link(meter, port, proto):
    try:
        proto.disconnect()
    finally:
        port.close()
        meter.close()


def single(baud, answer):
    meter, port, proto = open_link(baud, answer)
    try:
        request = bytearray(range(16))
        wall0, cpu0 = time.time(), cpu()
        result = proto.send_receive(request)
        wall, spent = time.time() - wall0, cpu() - cpu0
    finally:
        close_link(meter, port, proto)
    got = result.length
    rate = got / wall
    line = baud / 10.0
    print("%7d baud  answer %6d B  %8.0f B/s of %6.0f B/s = %5.3f"
          "   CPU/wall %6.4f" % (baud, got, rate, line, rate / line,
                                  spent / wall))
    sys.stdout.flush()


def many(n, baud, answer):
    links = [open_link(baud, answer, PolledPort) for _ in range(n)]
    walls = [None] * n
    errors = []
    start = threading.Event()

    def run(i):
        proto = links[i][2]
        start.wait()
        t0 = time.time()
        try:
            result = proto.send_receive(bytearray(range(16)))
            assert result.length == answer
        except Exception as e:  # reported, not hidden
            errors.append(repr(e))
            return
        walls[i] = time.time() - t0

    threads = [threading.Thread(target=run, args=(i,)) for i in range(n)]
    for t in threads:
        t.start()
    wall0, cpu0, busy0 = time.time(), cpu(), machine_busy()
    start.set()
    for t in threads:
        t.join()
    wall, spent = time.time() - wall0, cpu() - cpu0
    busy = machine_busy() - busy0
    for link in links:
        close_link(*link)
    ok = [w for w in walls if w is not None]
    line = baud / 10.0
    aggregate = answer * len(ok) / wall
    fractions = [answer / w / line for w in ok]
    print("%3d links  %4d ok  aggregate %8.0f B/s (%6.2f x one line)"
          "  per-link fraction of line rate min %.3f mean %.3f"
          "  client CPU/wall %6.4f  machine busy %4.2f of %d cores%s"
          % (n, len(ok), aggregate, aggregate / line,
             min(fractions) if fractions else 0,
             sum(fractions) / len(fractions) if fractions else 0,
             spent / wall, busy / wall, os.sysconf("SC_NPROCESSORS_ONLN"),
             "  errors: %s" % errors[:2] if errors else ""))
    sys.stdout.flush()


def main():
    print("Simulator over a pty, pySerial, info fields %d bytes, one request"
          " of 16 bytes; throughput = answer payload / wall time of"
          " send_receive" % SEGMENT)
    single(115200, 65536)
    single(9600, 65536)
    print("")
    print("Many links at 9600 baud, 1 KiB answer each, one thread + one"
          " simulator process + one protocol object per link, ports read"
          " with poll(2) (PolledPort; pySerial's select(2) stops near 170"
          " links)")
    for n in (1, 16, 64, 256):
        many(n, 9600, 1024)


if __name__ == "__main__":
    main()
