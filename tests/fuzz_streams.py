"""Scripted byte streams, answer builders and a reference link model for
the decoding fuzz suite (test_decoding_fuzz.py).

Not a test suite. The reference model replays what the client side must
do with the meter's answers, using the real frame codec, so that the
fuzz run can compare outcome, link state and consumed bytes of the
extension with an independent account of the same answers.
"""

from tarvik.memorystream import MemoryStream
from tarvik.brenlo import HDLCProtocolState
from tarvik.brenlo.frame import Frame
from tarvik.brenlo.brenloexception import BrenloException, BrenloExceptionKind

Kind = Frame.FrameKind
SERVER = Frame.FrameAddress(1, 0, 1)
CLIENT = Frame.FrameAddress(16, 0, 1)
LLC_RESPONSE = [0xE6, 0xE7, 0x00]
NDM, NRM = HDLCProtocolState.NDM, HDLCProtocolState.NRM


class RunawayLoop(Exception):
    """Raised by a stream that was written to far more often than any
    finite answer script can justify."""


def to_str(values):
    return "".join(chr(v) for v in values)


class FuzzStream(object):
    """IOStream over a list of scripted chunks (byte strings).

    read(n) returns at most n bytes of the head chunk and never crosses
    into the next chunk, so a chunk that ends early models a read that
    timed out; an empty chunk is a read that returns '' at once. After
    the script, every read returns ''. Writes are recorded as lists of
    byte values.
    """

    def __init__(self, chunks, write_limit=10000):
        self.chunks = list(chunks)
        self.writes = []
        self.consumed = 0
        self.write_limit = write_limit

    def write(self, data):
        self.writes.append(list(bytearray(data)))
        if len(self.writes) > self.write_limit:
            raise RunawayLoop("%d writes on a finite script" % len(self.writes))

    def read(self, size):
        if not self.chunks or size <= 0:
            if self.chunks and self.chunks[0] == "" and size > 0:
                del self.chunks[0]
            return ""
        head = self.chunks[0]
        part, rest = head[:size], head[size:]
        if rest:
            self.chunks[0] = rest
        else:
            del self.chunks[0]
        self.consumed += len(part)
        return part

    def remaining(self):
        return "".join(self.chunks)


def frame_bytes(kind, rsn=0, ssn=0, data=None, segmented=False, final=True,
                src=SERVER, dst=CLIENT):
    """Encode a meter-to-client frame with the real codec (list of ints)."""
    frame = Frame()
    frame.Kind = kind
    frame.SrcAddress = src
    frame.DstAddress = dst
    frame.RSequenceNr = rsn
    frame.SSequenceNr = ssn
    frame.PollFinal = final
    frame.Segmented = segmented
    if data is not None:
        frame.Data = MemoryStream(data)
    return frame.get_pdu_bytes()


def ua_info(params, head=(0x81, 0x80)):
    """UA information field: format and group identifier, group length,
    then (identifier, value bytes) pairs."""
    body = []
    for ident, value in params:
        body.append(ident)
        body.append(len(value))
        body.extend(value)
    return list(head) + [len(body) & 0xFF] + body


VALID_UA_INFO = ua_info([(5, [0x00, 0x80]), (6, [0x00, 0x80]),
                         (7, [0, 0, 0, 1]), (8, [0, 0, 0, 1])])


class LinkModel(object):
    """The protocol object's link fields as the reference model keeps them."""

    FIELDS = ("_SSN", "_RSN", "_maxInfoFieldLengthTransmit",
              "_maxInfoFieldLengthReceive", "_windowSizeTransmit",
              "_windowSizeReceive", "_State")

    def __init__(self):
        self._SSN = 0
        self._RSN = 0
        self._maxInfoFieldLengthTransmit = 128
        self._maxInfoFieldLengthReceive = 128
        self._windowSizeTransmit = 1
        self._windowSizeReceive = 1
        self._State = NDM

    def snapshot(self):
        return tuple(getattr(self, name) for name in self.FIELDS)

    @classmethod
    def snapshot_of(cls, protocol):
        return tuple(getattr(protocol, name) for name in cls.FIELDS)

    def copy_into(self, protocol):
        for name in self.FIELDS[:-1]:
            setattr(protocol, name, getattr(self, name))

    # -- frame exchange -------------------------------------------------

    @staticmethod
    def exchange(stream):
        header = stream.read(3)
        if len(header) != 3:
            return []
        if ord(header[0]) != 0x7E:
            raise AssertionError()
        length = ((ord(header[1]) << 8) + ord(header[2])) & 0x7FF
        answer = header + stream.read(length + 2 - 3)
        return [ord(c) for c in answer]

    @staticmethod
    def _fail(message):
        raise BrenloException(message, BrenloExceptionKind.Frame)

    @staticmethod
    def _decode(answer):
        frame = Frame()
        frame.set_from_pdu_bytes(answer)
        return frame

    # -- procedures -----------------------------------------------------

    def connect(self, stream):
        stream.write(bytearray(1))
        answer = self.exchange(stream)
        if not answer:
            self._fail("No response to SNRM")
        frame = self._decode(answer)
        if frame.Kind != Kind.UA:
            self._fail("Unexpected response to SNRM frame")
        self._maxInfoFieldLengthTransmit = 128
        self._maxInfoFieldLengthReceive = 128
        self._windowSizeTransmit = 1
        self._windowSizeReceive = 1
        data = frame.Data
        if data is not None:
            data.position = 3
            targets = {5: "_maxInfoFieldLengthReceive",
                       6: "_maxInfoFieldLengthTransmit",
                       7: "_windowSizeReceive", 8: "_windowSizeTransmit"}
            while data.position < data.length:
                ident = data.read_byte()
                if ident not in targets:
                    self._fail("Illegal UA data")
                setattr(self, targets[ident], self._read_integer(data))
        self._RSN = 0
        self._SSN = 0
        self._State = NRM

    @staticmethod
    def _read_integer(data):
        size = data.read_byte()
        if size not in (1, 2, 4):
            return 0
        value = 0
        for _ in range(size):
            value = (value << 8) + data.read_byte()
        return value

    def disconnect(self, stream):
        stream.write(bytearray(1))
        self.exchange(stream)
        self._State = NDM

    def poll(self, stream):
        stream.write(bytearray(1))
        self.exchange(stream)

    def send_receive(self, stream, out):
        gathered = []
        sent = 0
        remote_ready = True
        done = False
        while not done:
            if remote_ready and sent < len(out):
                # The LLC header goes in front while nothing has been placed.
                room = self._maxInfoFieldLengthTransmit - (3 if sent == 0 else 0)
                while sent < len(out) and room > 0:
                    sent += 1
                    room -= 1
                self._SSN = (self._SSN + 1) % 8
            stream.write(bytearray(1))
            answer = self.exchange(stream)
            if not answer:
                self._fail("no response")
            frame = self._decode(answer)
            if frame.Kind == Kind.I:
                if sent < len(out):
                    self._fail("unexpected I frame")
                if frame.SSequenceNr != self._RSN:
                    self._fail("IS synch lost")
                if frame.RSequenceNr != self._SSN:
                    self._fail("IR synch lost")
                self._RSN = (self._RSN + 1) % 8
                data = frame.Data
                gathered.extend(data._buffer[:data.length])
                done = not frame.Segmented
            elif frame.Kind == Kind.RR:
                if frame.RSequenceNr != self._SSN:
                    self._fail("RRR synch lost")
                remote_ready = True
            elif frame.Kind == Kind.RNR:
                if frame.RSequenceNr != self._SSN:
                    self._fail("RNR synch lost")
                remote_ready = False
            else:
                self._fail("Unexpected frame kind")
        if len(gathered) < 3 or gathered[:3] != LLC_RESPONSE:
            self._fail("LLC prefix missing in Response")
        return gathered[3:]
