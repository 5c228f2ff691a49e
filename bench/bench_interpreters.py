"""The module's CPU per exchange on each interpreter, side by side in one run.

    bench/bench_interpreters.py build/python-py2 build/python-py3

Each argument is a build launcher (the interpreter in the build's
environment); this file runs again under each as a worker, one after the
other, and each worker times two clients of the same in-memory meter:

  - module: HDLCProtocol with the real companions; connect, then
    send_receive of a 16-byte request fetching 8 answer frames of 128-byte
    information fields (support.exchange.Exchange).
  - replay: the do-nothing client of support.exchange, which writes the
    same SNRM, request and RR frames, pre-encoded, and reads the same answer
    frames by their length field, with no protocol work at all.

The meter hands back pre-encoded frames, so both columns carry the same
meter and the same interpreter; replay is what moving those frames costs
on that interpreter, and module/replay what the protocol work adds. The
last column sets each interpreter's module cost against the first one's.
Prints measurements and ratios only; nothing is asserted about timings.
"""

from __future__ import absolute_import, division, print_function

import json
import os
import subprocess
import sys

from support.exchange import CLIENT, REQUEST, SERVER, Exchange, encode
from tarvik.brenlo.frame import Frame
from usage import per_call

FIELD = 128
FRAMES = 8
SNRM_CONTROL, DISC_CONTROL = 0x93, 0x53


class ReplayingMeter(object):
    """A meter that answers each frame it is written with the next frame of
    an Exchange: SNRM and DISC with a UA, the request with the first answer
    frame, each RR with the next."""

    def __init__(self, exchange):
        self.exchange = exchange
        self.ua = encode(Frame.FrameKind.UA, SERVER, CLIENT)
        self.next_frame = 0
        self.pending, self.position = b"", 0

    def write(self, frame):
        control = bytearray(frame[5:6])[0]
        if control in (SNRM_CONTROL, DISC_CONTROL):
            self.pending = self.ua
        else:
            if control & 1 == 0:  # an I-frame: the request
                self.next_frame = 0
            self.pending = self.exchange.answer_frames[self.next_frame]
            self.next_frame += 1
        self.position = 0

    def read(self, size):
        start, self.position = self.position, self.position + size
        return self.pending[start:self.position]


def worker():
    """Times both clients on this interpreter; prints them as JSON."""
    from tarvik.brenlo import HDLCParameters
    from tarvik.brenlo.hdlcprotocol import HDLCProtocol

    exchange = Exchange(FRAMES * FIELD - len(HDLCProtocol._LLCResponsePrefix_), FIELD)
    meter = ReplayingMeter(exchange)
    link = HDLCProtocol(HDLCParameters(DiscToNDMTimeout=0), meter)
    snrm = encode(Frame.FrameKind.SNRM, CLIENT, SERVER)

    def module():
        link.connect()
        answer = link.send_receive(REQUEST)
        assert answer.length == exchange.answer

    def replay():
        meter.write(snrm)
        meter.read(len(meter.ua))
        assert exchange.replay(meter) == exchange.answer_frames

    print(json.dumps({"version": "%d.%d.%d" % sys.version_info[:3],
                      "module": per_call(module, budget=0.3), "replay": per_call(replay, budget=0.3)}))


def main(launchers):
    print("In-memory meter, CPU time per exchange (connect, 16-byte request, %d answer frames"
          " of %d-byte fields), best of 3" % (FRAMES, FIELD))
    print("%-16s %-8s %14s %14s %14s %14s" % ("launcher", "python", "module us", "replay us",
                                              "module/replay", "module/first"))
    first = None
    for launcher in launchers:
        output = subprocess.check_output([launcher, "-B", os.path.abspath(__file__), "--worker"])
        row = json.loads(output.decode("ascii"))
        first = first or row["module"]
        print("%-16s %-8s %14.1f %14.1f %14.2f %14.2f" % (
            os.path.basename(launcher), row["version"], row["module"] * 1e6, row["replay"] * 1e6,
            row["module"] / row["replay"], row["module"] / first))
        sys.stdout.flush()


if __name__ == "__main__":
    if sys.argv[1:] == ["--worker"]:
        worker()
    else:
        main(sys.argv[1:])
