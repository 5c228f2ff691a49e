"""Line rate of one link: the module, a client that does nothing, the ceiling.

For each case (9600 and 115200 baud, information fields of 128 and 2030
bytes both ways) one simulator serves three links paced in both
directions, and four rows are printed side by side:

  - module: HDLCProtocol over FastSerialLine (the port waiting in the
    event loop) connects, then one send_receive of a 16-byte request
    fetches an answer of many frames; it is timed from the call to its
    return.
  - module, SerialLine: the same over SerialLine, the port that waits
    with poll(2) in the calling thread.
  - do-nothing: over FastSerialLine, after the module connected
    that link, a client writes the same request and RR frames, encoded
    before the clock starts, and reads each answer frame by its length
    field: no decoding, no protocol work. Checked after the clock stops:
    it got the very frames the meter is expected to send.
  - ceiling: the answer payload over the line time of every frame in
    both directions (request, every answer frame, every RR), 10 bits a
    byte, half-duplex, no gaps; see support/exchange.py.

Each row shows payload bytes/s, its fraction of the ceiling, the
client's CPU per payload byte, and the cores the machine was busy with
neither client nor simulator (others sharing the machine show there). What the module loses against the
do-nothing client is the protocol work; what the do-nothing client loses
against the ceiling is the port's waiting and the simulator's lateness.
Answers are sized to last about 6 s at the ceiling, at least 4 frames
(at 9600 baud with 2030-byte fields, 4 frames take 9 s). About 110 s.
Prints measurements and the line-rate goal; asserts nothing about timing.
"""

import os
import sys

from support.exchange import CLIENT, REQUEST, SERVER, Exchange
from support.simulator import SimulatedMeter
from tarvik.brenlo import HDLCParameters
from tarvik.brenlo.hdlcprotocol import HDLCProtocol
from tarvik.brenlo.transport import FastSerialLine, SerialLine
from usage import Placement, Usage, goal

SECONDS = 6.0
LEAST_FRAMES = 4
GOAL = 0.98


def connected(path, baud, port_class=FastSerialLine):
    """A port on C{path} and a module connected over it."""
    port = port_class(path, baudrate=baud, timeout=5)
    link = HDLCProtocol(HDLCParameters(DiscToNDMTimeout=0), port)
    link.connect()
    if link.LocalAddress != CLIENT or link.RemoteAddress != SERVER:
        raise RuntimeError("the module's addresses are not those of support/exchange.py")
    return port, link


def module_row(path, baud, exchange, simulator, port_class=FastSerialLine):
    """Usage of one send_receive by the module."""
    port, link = connected(path, baud, port_class)
    try:
        before = Usage(simulator)
        answer = link.send_receive(REQUEST)
        spent = Usage(simulator) - before
        link.disconnect()
    finally:
        port.close()
    if answer.length != exchange.answer:
        raise RuntimeError("the module got %d bytes, not %d" % (answer.length, exchange.answer))
    return spent


def do_nothing_row(path, baud, exchange, simulator):
    """Usage of the do-nothing client fetching the same answer."""
    port, link = connected(path, baud)
    try:
        before = Usage(simulator)
        frames = exchange.replay(port)
        spent = Usage(simulator) - before
        link.disconnect()
    finally:
        port.close()
    if frames != exchange.answer_frames:
        raise RuntimeError("the do-nothing client did not get the expected frames")
    return spent


def row(name, payload, wall, ceiling, spent=None):
    rate = payload / wall
    print("  %-20s %11.1f %10.4f %9s %7s %5.1f"
          % (name, rate, rate / ceiling, "%.3f" % (spent.cpu * 1e6 / payload) if spent else "-",
             "%.2f" % (spent.rest() / wall) if spent else "-", os.getloadavg()[0]))
    return rate / ceiling


def measure(baud, field, placement):
    exchange = Exchange.lasting(SECONDS, field, baud, LEAST_FRAMES)
    print("")
    print("%d baud, %d-byte fields: %s" % (baud, field, exchange.describe(baud)))
    print("  %-20s %11s %10s %9s %7s %5s" % ("row", "payload B/s", "of ceiling", "CPU us/B", "rest", "load"))
    meter = SimulatedMeter("--baud", str(baud), "--answer", "size:%d" % exchange.answer,
                           "--max-info-tx", str(field), "--max-info-rx", str(field), links=3,
                           prefix=placement.meters)
    try:
        module = module_row(meter.paths[0], baud, exchange, meter.process.pid)
        before = module_row(meter.paths[2], baud, exchange, meter.process.pid, SerialLine)
        nothing = do_nothing_row(meter.paths[1], baud, exchange, meter.process.pid)
    finally:
        meter.close()
    ceiling = exchange.ceiling(baud)
    fraction = row("module", exchange.answer, module.wall, ceiling, module)
    row("module, SerialLine", exchange.answer, before.wall, ceiling, before)
    baseline = row("do-nothing", exchange.answer, nothing.wall, ceiling, nothing)
    row("ceiling", exchange.answer, exchange.line_time(baud), ceiling)
    print("  protocol work: %.3f us/B of CPU and %.4f of the ceiling beyond the do-nothing client"
          % ((module.cpu - nothing.cpu) * 1e6 / exchange.answer, baseline - fraction))
    goal("line rate, %d baud, %d-byte fields: module >= %.2f of ceiling" % (baud, field, GOAL),
         "%.4f" % fraction, fraction >= GOAL, "%.4f" % (GOAL - fraction))
    sys.stdout.flush()


def main():
    placement = Placement()
    print("Line rate of one link over FastSerialLine against the simulator, paced both ways;"
          " payload = answer bytes send_receive returns; CPU = this process, user + system;"
          " load = the machine's load average;"
          " answers of about %d s at the ceiling, at least %d frames;\nrest = cores busy with"
          " neither client nor simulator (other processes, the kernel's pty work); %s"
          % (SECONDS, LEAST_FRAMES, placement.describe()))
    for baud in (9600, 115200):
        for field in (128, 2030):
            measure(baud, field, placement)


if __name__ == "__main__":
    main()
