"""Fuzzing of the decoding side: damaged meter answers fed into connect, send_receive, poll, disconnect.

Answers are valid frames built with the real codec, then damaged (bit
flips, truncations, wrong length fields, random bytes, frames split over
reads or glued together, inserted or lost frames); see allowed() for
the accepted outcomes. The seed (TARVIK_FUZZ_SEED, else random) is in
every failure message; TARVIK_MEMCHECK=1 shrinks the run ~20x.
"""

import gc
import os
import random
import unittest

from tarvik.memorystream import MemoryStream
from tarvik.brenlo import HDLCParameters, HDLCProtocolState
from tarvik.brenlo.brenloexception import BrenloException, BrenloExceptionKind
from tarvik.brenlo.hdlcprotocol import HDLCProtocol
from tarvik.brenlo.frame import Frame

Kind = Frame.FrameKind
SERVER, CLIENT = Frame.FrameAddress(1, 0, 1), Frame.FrameAddress(16, 0, 1)
LLC = [0xE6, 0xE7, 0x00]
SCALE = 20 if os.environ.get("TARVIK_MEMCHECK") == "1" else 1
BYTE_VALUES = range(0, 256, 19 if SCALE > 1 else 1)
SEED = int(os.environ.get("TARVIK_FUZZ_SEED", random.SystemRandom().randrange(2 ** 32)))
UA_INFO = [0x81, 0x80, 0x14, 5, 2, 0, 0x80, 6, 2, 0, 0x80, 7, 4, 0, 0, 0, 1, 8, 4, 0, 0, 0, 1]

class RunawayLoop(Exception): pass

class FuzzStream(object):
    """Reads never cross a chunk (a short chunk is a timed-out read)."""
    def __init__(self, chunks):
        self.chunks, self.writes = list(chunks), []

    def write(self, data):
        self.writes.append(list(bytearray(data)))
        if len(self.writes) > 10000:
            raise RunawayLoop("%d writes on a finite script" % len(self.writes))

    def read(self, size):
        if not self.chunks or size <= 0:
            return ""
        head = self.chunks.pop(0)
        if head[size:]:
            self.chunks.insert(0, head[size:])
        return head[:size]

def frame(kind, rsn=0, ssn=0, data=None, segmented=False, final=True, src=SERVER):
    f = Frame()
    f.Kind, f.SrcAddress, f.DstAddress = kind, src, CLIENT
    f.RSequenceNr, f.SSequenceNr, f.PollFinal, f.Segmented = rsn, ssn, final, segmented
    if data is not None:
        f.Data = MemoryStream(data)
    return f.get_pdu_bytes()

def new_protocol():
    return HDLCProtocol(HDLCParameters(DiscToNDMTimeout=0), FuzzStream([]))

def allowed(operation, error):
    if isinstance(error, BrenloException):
        return len(error.args) == 2 and error.args[1] == BrenloExceptionKind.Frame
    if type(error) is AssertionError:
        return error.args == ()
    # Companion errors passed through unchanged, not translated: a UA
    # parameter whose length overruns the information field makes
    # MemoryStream.read_byte raise EOFError; an accepted I-frame without
    # an information field leaves Data as None -> AttributeError.
    if type(error) is EOFError:
        return operation == "connect" and error.args == ("read past end of MemoryStream",)
    return type(error) is AttributeError and operation == "send_receive"

class Generator(object):
    def __init__(self, rnd):
        self.rnd = rnd
    def noise(self, count):
        return [self.rnd.randrange(256) for _ in range(count)]

    def any_frame(self):
        rnd, size = self.rnd, self.rnd.choice([1, 1, 2, 4])
        top = 0x3FFF if size == 4 else 0x7F
        src = Frame.FrameAddress(rnd.randrange(top + 1),
                                 0 if size == 1 else rnd.randrange(top + 1), size)
        data = self.noise(rnd.randrange(1, 40)) if rnd.random() < 0.6 else None
        return frame(rnd.choice([Kind.SNRM, Kind.UA, Kind.DISC, Kind.DM, Kind.FRMR,
                                 Kind.I, Kind.RR, Kind.RNR, Kind.UI]),
                     rnd.randrange(8), rnd.randrange(8), data,
                     rnd.random() < 0.3, rnd.random() < 0.8, src)

    def ua_info(self):
        rnd, choice = self.rnd, self.rnd.randrange(5)
        if choice < 2:
            return [None, UA_INFO][choice]
        body = []
        for _ in range(rnd.randrange(6)):
            size = rnd.choice([1, 2, 4, 1, 2, 4, 0, 3, 5, rnd.randrange(256)])
            body += [rnd.choice([5, 6, 7, 8, 5, 6, 7, 8, rnd.randrange(256)]), size]
            if size in (1, 2, 4) or rnd.random() < 0.5:
                body += self.noise(min(size, 8))
        if choice == 4 and body:   # last parameter overruns the field
            body = body[:rnd.randrange(len(body))] + [rnd.choice([5, 6, 7, 8, 1])]
        return [0x81, 0x80, len(body) & 0xFF] + body

    def send_receive_answers(self, protocol, out):
        """Answers of a meter playing the whole exchange correctly."""
        rnd, frames = self.rnd, []
        limit, ssn, rsn, sent = protocol._maxInfoFieldLengthTransmit, protocol._SSN, protocol._RSN, 0
        while sent < len(out):
            sent += max(0, limit - (3 if sent == 0 else 0))
            ssn = (ssn + 1) % 8
            if sent < len(out):
                frames += [frame(Kind.RNR, ssn)] * (rnd.random() < 0.2) + [frame(Kind.RR, ssn)]
        count = rnd.choice([1, 1, 1, 2, 3])
        for index in range(count):
            data = self.noise(rnd.randrange(30))
            if index == 0:
                data = rnd.choice([LLC] * 12 + [[0xE6, 0xE6, 0], [0xE6, 0xE7], []]) + data
            frames.append(frame(Kind.I, ssn, rsn, (data or None) if index else data,
                                segmented=index < count - 1))
            rsn = (rsn + 1) % 8
        return frames

    def damage(self, frames):
        rnd, frames = self.rnd, [list(f) for f in frames]
        for _ in range(rnd.choice([0, 1, 1, 1, 2, 3])):
            if not frames:
                frames.append(self.noise(rnd.randrange(12)))
            i = rnd.randrange(len(frames))
            f, op = frames[i], rnd.randrange(12)
            if op < 2 and f:   # flip one bit, or replace one byte
                pos = rnd.randrange(len(f))
                f[pos] = f[pos] ^ (1 << rnd.randrange(8)) if op == 0 else rnd.randrange(256)
            elif op == 2:
                del f[rnd.randrange(len(f) + 1):]
            elif op == 3 and len(f) >= 3:
                old = ((f[1] << 8) | f[2]) & 0x7FF
                new = rnd.choice([0, 1, 2, 3, 6, 7, 0x7FF, old - 1, old + 1,
                                  rnd.randrange(0x800)]) & 0x7FF
                f[1], f[2] = (f[1] & 0xF8) | (new >> 8), new & 0xFF
            elif op == 4:
                pos = rnd.randrange(len(f) + 1)
                f[pos:pos] = self.noise(rnd.randrange(1, 5))
            elif op == 5 and f:
                pos = rnd.randrange(len(f))
                del f[pos:pos + rnd.randrange(1, 4)]
            elif op == 6:
                frames[i] = [0x7E] + self.noise(rnd.randrange(40))
            elif op == 7 and i + 1 < len(frames):   # two answers in one read
                frames[i:i + 2] = [f + frames[i + 1]]
            elif op == 8 and len(f) > 1:        # one answer over two reads
                pos = rnd.randrange(1, len(f))
                frames[i:i + 1] = [f[:pos], f[pos:]]
            elif op == 9:
                frames.insert(i, [] if rnd.random() < 0.5 else self.any_frame())
            elif op == 10:
                del frames[i]
            else:
                frames.insert(i, list(f))
        return ["".join(map(chr, f)) for f in frames]

class DecodingFuzz(unittest.TestCase):
    def call(self, protocol, operation, chunks, out=None, where=""):
        context = "seed %d %s: %s on [%s]" % (SEED, where, operation, " | ".join(
            " ".join("%02X" % ord(c) for c in chunk) for chunk in chunks))
        protocol._IOStream = FuzzStream(chunks)
        try:
            result = (protocol.send_receive(out) if operation == "send_receive"
                      else getattr(protocol, operation)())
        except RunawayLoop as error:
            self.fail("%s: the call does not end: %s" % (context, error))
        except Exception as error:
            if not allowed(operation, error):
                self.fail("%s: undocumented outcome %r" % (context, error))
            return type(error)
        self.assertTrue(isinstance(result, MemoryStream) if operation == "send_receive"
                        else result is None, "%s: returned %r" % (context, result))
        return "return"

    def run_batch(self, rnd, iterations, protocol):
        gen = Generator(rnd)
        for iteration in range(iterations):
            operation = rnd.choice(["connect", "connect", "send_receive", "send_receive",
                                    "send_receive", "poll", "disconnect"])
            out = None
            if operation == "connect":
                frames = rnd.choice([[frame(Kind.DM)], [gen.any_frame()]] + [[frame(
                    Kind.UA, data=gen.ua_info(), final=rnd.random() < 0.9)]] * 8)
            elif operation == "send_receive":
                if (protocol._maxInfoFieldLengthTransmit not in range(8, 2000)
                        or rnd.random() < 0.3):
                    protocol._maxInfoFieldLengthTransmit = rnd.choice([8, 16, 32, 128])
                    protocol._SSN, protocol._RSN = rnd.randrange(8), rnd.randrange(8)
                out = bytearray(gen.noise(rnd.choice([0, 1, 5, 20, 60, 140])))
                frames = gen.send_receive_answers(protocol, out)
            else:
                frames = rnd.choice([[frame(Kind.UA)], [frame(Kind.DM)], [],
                                     [gen.any_frame() for _ in range(rnd.randrange(3))]])
            self.call(protocol, operation, gen.damage(frames), out,
                      "iteration %d" % iteration)

    def test_long_seeded_run(self):
        self.run_batch(random.Random(SEED), 100000 // SCALE, new_protocol())

    def substitute_everywhere(self, operation, answer, prepare, out=None):
        protocol, outcomes = new_protocol(), set()
        for offset in range(len(answer)):
            for value in BYTE_VALUES:
                damaged = answer[:offset] + [value] + answer[offset + 1:]
                prepare(protocol)
                outcomes.add(self.call(protocol, operation, ["".join(map(chr, damaged))],
                                       out, "offset %d value %02X" % (offset, value)))
        self.assertTrue({"return", AssertionError, BrenloException} <= outcomes, outcomes)

    def test_every_byte_of_ua_and_i_frame_answer(self):
        self.substitute_everywhere("connect", frame(Kind.UA, data=UA_INFO), lambda p: None)
        def prepare(protocol):
            protocol._SSN = protocol._RSN = 0
            protocol._maxInfoFieldLengthTransmit = 128
        self.substitute_everywhere("send_receive",
                                   frame(Kind.I, 1, 0, LLC + [0xC4, 1, 0xC1, 0]),
                                   prepare, bytearray([0xC0, 1, 0xC1]))

    def test_no_object_growth_and_clean_exchange_afterwards(self):
        protocol, iterations = new_protocol(), max(60, 1200 // SCALE)
        self.run_batch(random.Random(SEED ^ 0x5A5A), iterations, protocol)
        gc.collect()
        before = len(gc.get_objects())
        for _ in range(2):
            self.run_batch(random.Random(SEED ^ 0x5A5A), iterations, protocol)
        gc.collect()
        growth = len(gc.get_objects()) - before
        self.assertLess(growth, iterations // 10, "seed %d: %d objects more after %d "
                        "damaged exchanges" % (SEED, growth, 2 * iterations))

        info = [0x81, 0x80, 0x0C, 5, 2, 1, 0, 6, 1, 0x40, 8, 4, 0, 0, 0, 7]
        stream = FuzzStream(["".join(map(chr, f)) for f in (
            frame(Kind.UA, data=info), frame(Kind.I, 1, 0, LLC + [9, 8]), frame(Kind.UA))])
        protocol._IOStream = stream
        protocol.connect()
        self.assertEqual((protocol._State, protocol._SSN, protocol._RSN,
                          protocol._maxInfoFieldLengthReceive,
                          protocol._maxInfoFieldLengthTransmit, protocol._windowSizeTransmit),
                         (HDLCProtocolState.NRM, 0, 0, 256, 64, 7), "seed %d" % SEED)
        self.assertEqual(protocol.send_receive(bytearray([1, 2])).to_list(), [9, 8])
        protocol.disconnect()
        self.assertEqual(protocol._State, HDLCProtocolState.NDM)
        self.assertEqual(stream.chunks, [])

if __name__ == "__main__":
    unittest.main()
