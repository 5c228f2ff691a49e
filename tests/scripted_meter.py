"""Scripted byte streams and server answers for the link procedure suites.

Not a test suite: imported by the test_*.py files that drive an
HDLCProtocol object against a meter that is only a script.
"""

from tarvik.memorystream import MemoryStream
from tarvik.brenlo import HDLCParameters
from tarvik.brenlo.frame import Frame

Kind = Frame.FrameKind
CLIENT = Frame.FrameAddress(16, 0, 1)
SERVER = Frame.FrameAddress(1, 0, 1)
LLC_RESPONSE = [0xE6, 0xE7, 0x00]
LLC_REQUEST = [0xE6, 0xE6, 0x00]


def to_str(values):
    """A list of byte values as the byte string that a serial port reads."""
    return "".join(chr(v) for v in values)


def answer(kind, rsn=0, ssn=0, data=None, segmented=False, final=True):
    """Encode a server-to-client frame; returns a byte string.

    @param data: list of byte values of the information field, or None.
    """
    frame = Frame()
    frame.Kind = kind
    frame.SrcAddress = SERVER
    frame.DstAddress = CLIENT
    frame.RSequenceNr = rsn
    frame.SSequenceNr = ssn
    frame.PollFinal = final
    frame.Segmented = segmented
    if data is not None:
        frame.Data = MemoryStream(data)
    return to_str(frame.get_pdu_bytes())


def ua(info=None):
    return answer(Kind.UA, data=info)


def decode(written):
    """Decode one written frame (list of byte values) into a Frame."""
    frame = Frame()
    frame.set_from_pdu_bytes(list(written))
    return frame


def info_of(frame):
    """The information field of a decoded frame as a list ([] if none)."""
    if frame.Data is None:
        return []
    return frame.Data._buffer[:frame.Data.length]


class ScriptedStream(object):
    """An IOStream whose reads come from a queue of scripted byte strings.

    Each write is recorded as a list of byte values. Each read(n) takes up
    to n bytes from the head of the queue; an entry that is used up is
    dropped, so one read never crosses into the next entry. An empty queue
    reads as '' (a time-out). read requests are recorded in C{reads}.
    Entries may be added with C{feed} at any time.
    """

    def __init__(self, *script):
        self.script = list(script)
        self.writes = []
        self.reads = []

    def feed(self, *chunks):
        self.script.extend(chunks)

    def write(self, data):
        self.writes.append(list(bytearray(data)))

    def read(self, size):
        self.reads.append(size)
        if not self.script:
            return ""
        head = self.script[0]
        if size < 0:
            part, rest = head, ""
        else:
            part, rest = head[:size], head[size:]
        if rest:
            self.script[0] = rest
        else:
            del self.script[0]
        return part

    def sent_frames(self):
        return [decode(w) for w in self.writes]


class ScriptedMeter(ScriptedStream):
    """A stream whose answer to each written frame comes from a callable.

    C{respond(request_frame, meter)} gets the decoded request and returns a
    byte string (queued as the answer), a list of them, or None (silence).
    """

    def __init__(self, respond):
        ScriptedStream.__init__(self)
        self.respond = respond

    def write(self, data):
        ScriptedStream.write(self, data)
        result = self.respond(decode(self.writes[-1]), self)
        if result is None:
            return
        if isinstance(result, str):
            result = [result]
        self.feed(*result)


class Recorder(object):
    """A callable that records its positional arguments."""

    def __init__(self):
        self.calls = []

    def __call__(self, *args):
        self.calls.append(args)


def parameters(**kw):
    """HDLCParameters for client 16 / server 1 with no wait by default."""
    kw.setdefault("DiscToNDMTimeout", 0)
    return HDLCParameters(**kw)
