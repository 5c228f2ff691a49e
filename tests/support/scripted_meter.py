"""Scripted streams and server answers shared by the link procedure suites."""

from tarvik.memorystream import MemoryStream
from tarvik.brenlo import HDLCParameters
from tarvik.brenlo.frame import Frame

Kind = Frame.FrameKind
CLIENT = Frame.FrameAddress(16, 0, 1)
SERVER = Frame.FrameAddress(1, 0, 1)
LLC_RESPONSE = [0xE6, 0xE7, 0x00]
LLC_REQUEST = [0xE6, 0xE6, 0x00]


def to_str(values):
    """The byte string of a list of byte values (str on 2.7, bytes on 3)."""
    return bytes(bytearray(values))


def encode(kind, src, dst, data=None, **fields):
    """A frame's bytes as a list; data is a list or None, fields are
    further Frame attributes by name."""
    frame = Frame()
    frame.Kind, frame.SrcAddress, frame.DstAddress = kind, src, dst
    if data is not None:
        frame.Data = MemoryStream(data)
    for name, value in fields.items():
        setattr(frame, name, value)
    return frame.get_pdu_bytes()


def answer(kind, rsn=0, ssn=0, data=None, segmented=False, final=True):
    """A server-to-client frame as a byte string; data is a list or None."""
    return to_str(encode(kind, SERVER, CLIENT, data, RSequenceNr=rsn, SSequenceNr=ssn,
                         PollFinal=final, Segmented=segmented))


def ua(info=None):
    return answer(Kind.UA, data=info)


def decode(written):
    frame = Frame()
    frame.set_from_pdu_bytes(list(written))
    return frame


def info_of(frame):
    return [] if frame.Data is None else frame.Data._buffer[:frame.Data.length]


class ScriptedStream(object):
    """Reads pop a queue of byte strings, never crossing entries; empty reads b""."""

    def __init__(self, *script):
        self.script, self.writes, self.reads = list(script), [], []

    def write(self, data):
        self.writes.append(list(bytearray(data)))

    def read(self, size):
        self.reads.append(size)
        if not self.script:
            return b""
        head = self.script.pop(0)
        part, rest = (head, b"") if size < 0 else (head[:size], head[size:])
        if rest:
            self.script.insert(0, rest)
        return part

    def sent_frames(self):
        return [decode(w) for w in self.writes]


def parameters(**kw):
    kw.setdefault("DiscToNDMTimeout", 0)
    return HDLCParameters(**kw)
