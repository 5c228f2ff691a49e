"""Fuzzing of the decoding side: damaged meter answers fed into connect,
send_receive, poll and disconnect.

Answers are built as valid frames with the real codec and then damaged
(bit flips, truncations, wrong length fields, random bytes, frames split
over reads or glued together, frames of the wrong kind or numbering).
Each call is replayed on a reference model (fuzz_streams.LinkModel) with
an identical stream; the extension must end the same way (same return
value, or same exception type and arguments), leave the same link
fields and consume the same bytes. Independently of the model, the only
outcomes accepted are a normal return, a BrenloException of kind Frame
and the bare AssertionError of a missing opening flag; the two
companion errors that the procedures pass through unchanged (see
PassThroughOfCompanionErrors) are accepted only where the model
predicts them, and are counted.

The seed of the random run comes from TARVIK_FUZZ_SEED or is drawn at
random; it is part of every failure message. With TARVIK_MEMCHECK=1 the
iteration counts shrink about twentyfold.
"""

import gc
import os
import random
import sys
import unittest

from tarvik.memorystream import MemoryStream
from tarvik.brenlo import HDLCParameters
from tarvik.brenlo.brenloexception import BrenloException, BrenloExceptionKind
from tarvik.brenlo.hdlcprotocol import HDLCProtocol
from tarvik.brenlo.frame import Frame

from fuzz_streams import (Kind, SERVER, CLIENT, LLC_RESPONSE, NDM, NRM,
                          RunawayLoop, FuzzStream, LinkModel, to_str,
                          frame_bytes, ua_info, VALID_UA_INFO)

MEMCHECK = os.environ.get("TARVIK_MEMCHECK") == "1"
SCALE = 20 if MEMCHECK else 1
RANDOM_ITERATIONS = 100000 // SCALE
BYTE_VALUES = range(0, 256, 19 if MEMCHECK else 1)
SEED = int(os.environ.get("TARVIK_FUZZ_SEED", random.SystemRandom().randrange(2 ** 32)))

OPERATIONS = ("connect", "send_receive", "poll", "disconnect")

# (operation, exception type name, args) -> [count, example answer hex]
PASSED_THROUGH = {}


def hexs(chunks):
    return " | ".join(" ".join("%02X" % ord(c) for c in chunk) for chunk in chunks)


def new_protocol(stream):
    return HDLCProtocol(HDLCParameters(DiscToNDMTimeout=0), stream)


def outcome_of(call):
    try:
        value = call()
    except RunawayLoop:
        raise
    except Exception as error:
        return ("raise", type(error), error.args)
    return ("return", value)


def invoke_real(protocol, operation, out):
    if operation == "send_receive":
        def call():
            result = protocol.send_receive(out)
            if not isinstance(result, MemoryStream):
                return ("not a MemoryStream", result)
            return result.to_list()
        return outcome_of(call)
    return outcome_of(getattr(protocol, operation))


def invoke_model(model, stream, operation, out):
    if operation == "send_receive":
        return outcome_of(lambda: model.send_receive(stream, out))
    return outcome_of(lambda: getattr(model, operation)(stream))


def is_documented(operation, outcome):
    """True for the outcomes that the procedures define for bad answers."""
    if outcome[0] == "return":
        return True
    kind, args = outcome[1], outcome[2]
    if kind is BrenloException:
        return len(args) == 2 and args[1] == BrenloExceptionKind.Frame
    if kind is AssertionError:
        return args == ()
    return False


class DecodingCase(unittest.TestCase):

    def check_call(self, protocol, model, operation, chunks, out=None, where=""):
        """Run one procedure on the extension and on the model; compare."""
        context = ("seed %d %s: %s on answer stream [%s]"
                   % (SEED, where, operation, hexs(chunks)))
        self.assertEqual(LinkModel.snapshot_of(protocol), model.snapshot(),
                         context + ": link fields out of step before the call")
        real_stream = FuzzStream(chunks)
        model_stream = FuzzStream(chunks)
        protocol._IOStream = real_stream
        try:
            real = invoke_real(protocol, operation, out)
        except RunawayLoop as error:
            self.fail("%s: the call does not end: %s" % (context, error))
        expected = invoke_model(model, model_stream, operation, out)

        if not is_documented(operation, real):
            if real != expected or real[1] not in (EOFError, AttributeError):
                self.fail("%s: undocumented outcome %r (model: %r)"
                          % (context, real, expected))
            key = (operation, real[1].__name__, real[2])
            entry = PASSED_THROUGH.setdefault(key, [0, hexs(chunks)])
            entry[0] += 1
        if real[0] == "return" and operation != "send_receive":
            self.assertIsNone(real[1], context)
        self.assertEqual(real, expected, context + ": outcome differs")
        self.assertEqual(LinkModel.snapshot_of(protocol), model.snapshot(),
                         context + ": link fields after the call")
        self.assertEqual(real_stream.consumed, model_stream.consumed,
                         context + ": bytes consumed from the stream")
        self.assertEqual(len(real_stream.writes), len(model_stream.writes),
                         context + ": number of frames written")
        return real


class AnswerGenerator(object):
    """Valid answer streams for each procedure, and their damage."""

    def __init__(self, rnd):
        self.rnd = rnd

    # -- valid material ---------------------------------------------------

    def value_bytes(self, count):
        return [self.rnd.randrange(256) for _ in range(count)]

    def ua_info_field(self):
        rnd = self.rnd
        choice = rnd.randrange(6)
        if choice == 0:
            return None
        if choice == 1:
            return list(VALID_UA_INFO)
        if choice == 2:
            return self.value_bytes(rnd.randrange(1, 4))
        body = []
        for _ in range(rnd.randrange(0, 6)):
            ident = rnd.choice([5, 6, 7, 8, 5, 6, 7, 8, rnd.randrange(256)])
            size = rnd.choice([1, 2, 4, 1, 2, 4, 0, 3, 5, rnd.randrange(256)])
            body.append(ident)
            body.append(size)
            if size in (1, 2, 4) or rnd.random() < 0.5:
                body.extend(self.value_bytes(min(size, 8)))
        if choice == 5 and body:
            # The last parameter promises more bytes than the field holds.
            body = body[:rnd.randrange(len(body))] + [rnd.choice([5, 6, 7, 8])]
            if rnd.random() < 0.7:
                body += [rnd.choice([1, 2, 4])] + self.value_bytes(rnd.randrange(0, 2))
        return [0x81, 0x80, len(body) & 0xFF] + body

    def any_valid_frame(self):
        rnd = self.rnd
        kind = rnd.choice([Kind.SNRM, Kind.UA, Kind.DISC, Kind.DM, Kind.FRMR,
                           Kind.I, Kind.RR, Kind.RNR, Kind.UI])
        size = rnd.choice([1, 1, 2, 4])
        limit = {1: 0x7F, 2: 0x7F, 4: 0x3FFF}[size]
        src = Frame.FrameAddress(rnd.randrange(limit + 1),
                                 0 if size == 1 else rnd.randrange(limit + 1), size)
        data = None
        if rnd.random() < 0.6:
            data = self.value_bytes(rnd.randrange(1, 40))
            if kind == Kind.I and rnd.random() < 0.5:
                data[:3] = LLC_RESPONSE
        return frame_bytes(kind, rnd.randrange(8), rnd.randrange(8), data,
                           rnd.random() < 0.3, rnd.random() < 0.8, src=src)

    def connect_answers(self):
        rnd = self.rnd
        if rnd.random() < 0.1:
            return [frame_bytes(Kind.DM)]
        if rnd.random() < 0.1:
            return [self.any_valid_frame()]
        return [frame_bytes(Kind.UA, data=self.ua_info_field(),
                            final=rnd.random() < 0.9)]

    def send_receive_answers(self, model, out):
        """Answers of a meter that plays the whole exchange correctly."""
        rnd = self.rnd
        limit = model._maxInfoFieldLengthTransmit
        ssn, rsn = model._SSN, model._RSN
        frames = []
        sent = 0
        segments = 0
        while sent < len(out):
            sent += max(0, limit - (3 if sent == 0 else 0))
            segments += 1
            ssn = (ssn + 1) % 8
            if sent < len(out):
                if rnd.random() < 0.2:
                    frames.append(frame_bytes(Kind.RNR, ssn))
                frames.append(frame_bytes(Kind.RR, ssn))
        if rnd.random() < 0.2 or not out:
            frames.append(frame_bytes(Kind.RR, ssn))
        count = rnd.choice([1, 1, 1, 2, 3])
        for index in range(count):
            data = self.value_bytes(rnd.randrange(0, 30))
            if index == 0:
                data = rnd.choice([LLC_RESPONSE] * 12 + [[0xE6, 0xE6, 0x00],
                                                         [0xE6, 0xE7], []]) + data
            elif not data and rnd.random() < 0.5:
                data = None
            frames.append(frame_bytes(Kind.I, ssn, rsn, data,
                                      segmented=index < count - 1))
            rsn = (rsn + 1) % 8
        return frames

    def line_noise_answers(self):
        return [self.any_valid_frame() for _ in range(self.rnd.randrange(0, 3))]

    # -- damage -----------------------------------------------------------

    def damage(self, frames):
        """Return the answer stream as chunks after zero or more mutations."""
        rnd = self.rnd
        frames = [list(f) for f in frames]
        for _ in range(rnd.choice([0, 1, 1, 1, 2, 3])):
            if not frames:
                frames.append(self.value_bytes(rnd.randrange(0, 12)))
            index = rnd.randrange(len(frames))
            frame = frames[index]
            op = rnd.randrange(13)
            if op == 0 and frame:
                pos = rnd.randrange(len(frame))
                frame[pos] ^= 1 << rnd.randrange(8)
            elif op == 1 and frame:
                frame[rnd.randrange(len(frame))] = rnd.randrange(256)
            elif op == 2:
                del frame[rnd.randrange(len(frame) + 1):]
            elif op == 3 and len(frame) >= 3:
                old = ((frame[1] << 8) | frame[2]) & 0x7FF
                new = rnd.choice([0, 1, 2, 3, 6, 7, 0x7FF, old - 1, old + 1,
                                  old + rnd.randrange(-5, 6), rnd.randrange(0x800)])
                new &= 0x7FF
                frame[1] = (frame[1] & 0xF8) | (new >> 8)
                frame[2] = new & 0xFF
            elif op == 4:
                pos = rnd.randrange(len(frame) + 1)
                frame[pos:pos] = self.value_bytes(rnd.randrange(1, 5))
            elif op == 5 and frame:
                pos = rnd.randrange(len(frame))
                del frame[pos:pos + rnd.randrange(1, 4)]
            elif op == 6:
                garbage = self.value_bytes(rnd.randrange(0, 40))
                if garbage and rnd.random() < 0.5:
                    garbage[0] = 0x7E
                frames[index] = garbage
            elif op == 7 and len(frames) > 1:
                # Two answers glued into one chunk.
                nxt = (index + 1) % len(frames)
                frames[index] = frame + frames[nxt]
                del frames[nxt]
            elif op == 8 and len(frame) > 1:
                # One answer arriving in two reads.
                pos = rnd.randrange(1, len(frame))
                frames[index:index + 1] = [frame[:pos], frame[pos:]]
            elif op == 9:
                frames.insert(index, [])
            elif op == 10:
                frames.insert(index, self.any_valid_frame())
            elif op == 11:
                del frames[index]
            else:
                frames.insert(index, list(frame))
        return [to_str(f) for f in frames]


class RandomAnswerStreamFuzz(DecodingCase):
    """A long seeded run of all four procedures on one protocol object."""

    def run_batch(self, rnd, iterations, protocol, model):
        gen = AnswerGenerator(rnd)
        for iteration in range(iterations):
            operation = rnd.choice(["connect", "connect", "send_receive",
                                    "send_receive", "send_receive", "poll",
                                    "disconnect"])
            out = None
            if operation == "connect":
                frames = gen.connect_answers()
            elif operation == "send_receive":
                if (model._maxInfoFieldLengthTransmit not in range(8, 2000)
                        or rnd.random() < 0.3):
                    model._maxInfoFieldLengthTransmit = rnd.choice([8, 16, 32, 128])
                    model._SSN = rnd.randrange(8)
                    model._RSN = rnd.randrange(8)
                    model.copy_into(protocol)
                out = bytearray(gen.value_bytes(rnd.choice([0, 1, 5, 20, 60, 140])))
                frames = gen.send_receive_answers(model, out)
            else:
                frames = rnd.choice([[frame_bytes(Kind.UA)], [frame_bytes(Kind.DM)],
                                     [], gen.line_noise_answers()])
            chunks = gen.damage(frames)
            self.check_call(protocol, model, operation, chunks, out,
                            where="iteration %d" % iteration)

    def test_long_seeded_run_matches_model(self):
        protocol = new_protocol(FuzzStream([]))
        self.run_batch(random.Random(SEED), RANDOM_ITERATIONS, protocol,
                       LinkModel())


class ExhaustiveByteSubstitution(DecodingCase):
    """Every byte value at every offset of one valid answer."""

    def substitute_everywhere(self, operation, answer, prepare, out=None):
        protocol = new_protocol(FuzzStream([]))
        model = LinkModel()
        outcomes = set()
        for offset in range(len(answer)):
            for value in BYTE_VALUES:
                damaged = list(answer)
                damaged[offset] = value
                prepare(model)
                model.copy_into(protocol)
                real = self.check_call(protocol, model, operation,
                                       [to_str(damaged)], out,
                                       where="offset %d value %02X" % (offset, value))
                outcomes.add(real[0] if real[0] == "return" else real[1])
        return outcomes

    def test_every_byte_of_ua_answer(self):
        answer = frame_bytes(Kind.UA, data=VALID_UA_INFO)

        # connect sets every link field itself; the model carries the rest.
        outcomes = self.substitute_everywhere("connect", answer, lambda model: None)
        self.assertIn("return", outcomes)
        self.assertIn(AssertionError, outcomes)
        self.assertIn(BrenloException, outcomes)

    def test_every_byte_of_i_frame_answer(self):
        answer = frame_bytes(Kind.I, rsn=1, ssn=0,
                             data=LLC_RESPONSE + [0xC4, 0x01, 0xC1, 0x00])

        def prepare(model):
            model._SSN = 0
            model._RSN = 0
            model._maxInfoFieldLengthTransmit = 128

        outcomes = self.substitute_everywhere(
            "send_receive", answer, prepare, bytearray([0xC0, 0x01, 0xC1]))
        self.assertIn("return", outcomes)
        self.assertIn(AssertionError, outcomes)
        self.assertIn(BrenloException, outcomes)


class PassThroughOfCompanionErrors(DecodingCase):
    """Answers that make a companion raise; the procedures add no check,
    so the companion's error leaves them unchanged."""

    def setUp(self):
        self.protocol = new_protocol(FuzzStream([]))

    def connect_on(self, info):
        self.protocol._IOStream = FuzzStream([to_str(frame_bytes(Kind.UA, data=info))])
        return self.protocol.connect

    def test_ua_parameter_value_overrunning_field_raises_eoferror(self):
        for info in ([0x81, 0x80, 0x04, 0x06, 0x02, 0x01],   # 2 promised, 1 there
                     [0x81, 0x80, 0x04, 0x07, 0x04, 0, 0],  # 4 promised, 2 there
                     [0x81, 0x80, 0x01, 0x05],              # no length byte
                     [0x81, 0x80, 0x02, 0x08, 0x01]):       # no value byte
            with self.assertRaises(EOFError) as caught:
                self.connect_on(info)()
            self.assertEqual(caught.exception.args, ("read past end of MemoryStream",))
            self.assertEqual(self.protocol._State, NDM, info)

    def test_parameters_before_the_overrun_are_kept(self):
        with self.assertRaises(EOFError):
            self.connect_on([0x81, 0x80, 0x06, 0x06, 0x01, 0x40, 0x08, 0x02, 0x01])()
        self.assertEqual(self.protocol._maxInfoFieldLengthTransmit, 0x40)
        self.assertEqual(self.protocol._windowSizeTransmit, 1)
        self.assertEqual(self.protocol._State, NDM)

    def test_i_frame_answer_without_information_field(self):
        self.protocol._IOStream = FuzzStream([to_str(frame_bytes(Kind.I, rsn=1))])
        self.protocol._SSN = self.protocol._RSN = 0
        with self.assertRaises(AttributeError):
            self.protocol.send_receive(bytearray([1]))


class ObjectAfterTheRun(DecodingCase):
    """Damaged answers neither leak objects nor spoil the protocol object."""

    def test_no_object_growth_and_clean_connect_afterwards(self):
        fuzz = RandomAnswerStreamFuzz("run_batch")
        protocol = new_protocol(FuzzStream([]))
        model = LinkModel()
        iterations = max(60, 1200 // SCALE)
        fuzz.run_batch(random.Random(SEED ^ 0x5A5A), iterations, protocol, model)
        gc.collect()
        before = len(gc.get_objects())
        for _ in range(2):
            fuzz.run_batch(random.Random(SEED ^ 0x5A5A), iterations, protocol, model)
        gc.collect()
        growth = len(gc.get_objects()) - before
        self.assertLess(growth, iterations // 10,
                        "seed %d: %d objects more after %d damaged exchanges"
                        % (SEED, growth, 2 * iterations))

        info = ua_info([(5, [0x01, 0x00]), (6, [0x40]), (8, [0, 0, 0, 7])])
        stream = FuzzStream([to_str(frame_bytes(Kind.UA, data=info)),
                             to_str(frame_bytes(Kind.I, 1, 0, LLC_RESPONSE + [9, 8])),
                             to_str(frame_bytes(Kind.UA))])
        protocol._IOStream = stream
        self.assertIsNone(protocol.connect())
        self.assertEqual((protocol._State, protocol._SSN, protocol._RSN,
                          protocol._maxInfoFieldLengthReceive,
                          protocol._maxInfoFieldLengthTransmit,
                          protocol._windowSizeReceive, protocol._windowSizeTransmit),
                         (NRM, 0, 0, 256, 64, 1, 7))
        self.assertEqual(protocol.send_receive(bytearray([1, 2])).to_list(), [9, 8])
        self.assertIsNone(protocol.disconnect())
        self.assertEqual(protocol._State, NDM)
        self.assertEqual(stream.remaining(), "")
        sent = []
        for written in stream.writes:
            frame = Frame()
            frame.set_from_pdu_bytes(written)
            sent.append(frame.Kind)
        self.assertEqual(sent, [Kind.SNRM, Kind.I, Kind.DISC])


def tearDownModule():
    sys.stderr.write("\ndecoding fuzz seed %d (TARVIK_FUZZ_SEED=%d to repeat)\n"
                     % (SEED, SEED))
    for key in sorted(PASSED_THROUGH):
        count, example = PASSED_THROUGH[key]
        sys.stderr.write("  passed through: %s %s%r x%d, e.g. [%s]\n"
                         % (key[0], key[1], key[2], count, example))


if __name__ == "__main__":
    unittest.main()
