"""The link procedures against stand-in companions that offer nothing but
the names the module uses, and record how it uses them.

The stand-ins share no code with ours: frame kinds and states are plain
objects compared by ==, a frame travels as a number into a table of
descriptions, and the byte buffer is a bare list. Whatever module offers
these names must serve, so the procedures may rely on nothing more.
"""

import unittest

import tarvik.brenlo.hdlcprotocol as hdlcprotocol
from support.scripted_meter import parameters

CALLS = []
FRAMES = []   # what each encoded frame number stands for


class Kinds(object):
    SNRM, UA, DISC, I, RR, RNR = [object() for _ in range(6)]


class FakeStream(object):
    """Only the members the procedures use, each use recorded."""

    def __init__(self, values=None):
        self._buffer = list(values or [])
        self.position = 0

    def _set_length(self, value):
        CALLS.append(("length", value))
        del self._buffer[value:]

    length = property(lambda self: len(self._buffer), _set_length)
    capacity = property(lambda self: len(self._buffer), lambda self, value: None)

    def read_byte(self):
        self.position += 1
        return self._buffer[self.position - 1]

    def write_byte(self, value):
        CALLS.append(("write_byte", value))
        self._buffer.append(value)

    def write(self, buffer, offset, count):
        CALLS.append(("write", list(buffer[offset:offset + count])))
        self._buffer.extend(buffer[offset:offset + count])

    def erase(self, offset, count):
        CALLS.append(("erase", offset, count))
        del self._buffer[offset:offset + count]


class FakeFrame(object):
    """Encodes to 7E A0 03 <number> 7E, the number naming its description."""
    FrameKind = Kinds
    FrameAddress = staticmethod(lambda upper, lower, size: ("address", upper, lower, size))

    def get_pdu_bytes(self):
        info = None if getattr(self, "Data", None) is None else list(self.Data._buffer)
        FRAMES.append((self.Kind, getattr(self, "SSequenceNr", None), getattr(self, "RSequenceNr", None),
                       getattr(self, "Segmented", None), info, self.PollFinal, self.SrcAddress, self.DstAddress))
        return [0x7E, 0xA0, 0x03, len(FRAMES) - 1, 0x7E]

    def set_from_pdu_bytes(self, buffer):
        kind, ns, nr, segmented, info = FRAMES[buffer[3]][:5]
        self.Kind, self.SSequenceNr, self.RSequenceNr, self.Segmented = kind, ns, nr, segmented
        self.Data = None if info is None else FakeStream(info)


class States(object):
    NDM, NRM = object(), object()


class FakeError(Exception):
    pass


class ErrorKinds(object):
    Frame = object()


class Meter(object):
    """Answers each frame written with the next description of the script."""

    def __init__(self, *script):
        self.script, self.pending = list(script), ""

    def write(self, data):
        FRAMES.append(self.script.pop(0) + (True, "server", "client"))
        self.pending = "\x7e\xa0\x03%s\x7e" % chr(len(FRAMES) - 1)

    def read(self, size):
        part, self.pending = self.pending[:size], self.pending[size:]
        return part


class RecordingFakesTest(unittest.TestCase):

    def setUp(self):
        names = ("Frame", "MemoryStream", "HDLCProtocolState", "BrenloException", "BrenloExceptionKind")
        saved = [getattr(hdlcprotocol, name) for name in names]
        self.addCleanup(lambda: [setattr(hdlcprotocol, n, v) for n, v in zip(names, saved)])
        for name, fake in zip(names, (FakeFrame, FakeStream, States, FakeError, ErrorKinds)):
            setattr(hdlcprotocol, name, fake)
        del CALLS[:], FRAMES[:]
        self.states = []
        self.meter = Meter()
        self.link = hdlcprotocol.HDLCProtocol(parameters(StateChangeCallBack=self.states.append), self.meter)

    def sent(self):
        return [frame for frame in FRAMES if frame[6] != "server"]

    def test_connect_transfer_poll_and_disconnect(self):
        ua_info = [0x81, 0x80, 0x07, 0x05, 0x01, 0x40, 0x06, 0x02, 0x00, 0x80]
        self.meter.script = [(Kinds.UA, 0, 0, False, ua_info), (Kinds.RR, 0, 1, False, None),
                             (Kinds.RR, 0, 2, False, None),
                             (Kinds.I, 0, 3, True, [0xE6, 0xE7, 0x00, 1, 2]), (Kinds.I, 1, 3, False, [3]),
                             (Kinds.UA, 0, 0, False, None), (Kinds.UA, 0, 0, False, None)]
        self.link.connect()
        self.assertEqual((self.link._maxInfoFieldLengthReceive, self.link._maxInfoFieldLengthTransmit), (64, 128))
        del CALLS[:]
        request = [i % 251 for i in range(300)]
        result = self.link.send_receive(request)
        self.link.poll()
        self.link.disconnect()

        self.assertEqual(result._buffer, [1, 2, 3])
        self.assertEqual(self.states, [States.NRM, States.NDM])
        client, server = ("address", 16, 0, 1), ("address", 1, 0, 1)
        self.assertEqual([frame[:4] + frame[5:] for frame in self.sent()],
                         [(Kinds.SNRM, None, None, None, True, client, server),
                          (Kinds.I, 0, 0, True, True, client, server),
                          (Kinds.I, 1, 0, True, True, client, server),
                          (Kinds.I, 2, 0, False, True, client, server),
                          (Kinds.RR, 3, 1, False, True, client, server),
                          (Kinds.RR, None, None, None, True, client, server),
                          (Kinds.DISC, None, None, None, True, client, server)])
        self.assertEqual(CALLS,
                         [("write", [0xE6, 0xE6, 0x00])] + [("write_byte", b) for b in request[:125]]
                         + [("length", 0)] + [("write_byte", b) for b in request[125:253]]
                         + [("length", 0)] + [("write_byte", b) for b in request[253:]]
                         + [("write", [0xE6, 0xE7, 0x00, 1, 2]), ("write", [3]), ("erase", 0, 3)])

    def test_protocol_errors_are_the_companion_exception_of_kind_frame(self):
        self.meter.script = [(Kinds.RR, 0, 0, False, None)]
        with self.assertRaises(FakeError) as raised:
            self.link.connect()
        self.assertEqual(raised.exception.args, ("Unexpected response to SNRM frame", ErrorKinds.Frame))


if __name__ == "__main__":
    unittest.main()
