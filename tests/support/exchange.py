"""One send_receive on the wire: its frames, their sizes and the line's ceiling.

A request that fits one information field, made right after connect,
fetches an answer the meter sends in full information fields, one frame
for each RR the client sends. Each frame here is encoded with the
package's own Frame companion, so the byte counts are those of the frames
the module and the simulator exchange, and the ceiling is what a perfect
client would get: every byte of every frame in both directions, 10 bits
a byte, one direction at a time (half-duplex), no gap between frames.
"""

from __future__ import absolute_import, division, print_function

from tarvik.brenlo.frame import Frame
from tarvik.brenlo.hdlcprotocol import HDLCProtocol
from tarvik.memorystream import MemoryStream

CLIENT = Frame.FrameAddress(16, 0, 1)
"""The client address of HDLCParameters() (the public client)."""
SERVER = Frame.FrameAddress(1, 0, 1)
"""The server address of HDLCParameters() (management logical device)."""
REQUEST = bytearray(range(16))
"""The request every benchmark sends; the simulator answers --answer size:N."""
BITS_PER_BYTE = 10


def encode(kind, source, destination, send=0, receive=0, data=None, segmented=False):
    """One frame with the poll/final bit set, as bytes."""
    frame = Frame()
    frame.Kind = kind
    frame.SrcAddress = source
    frame.DstAddress = destination
    frame.SSequenceNr = send
    frame.RSequenceNr = receive
    frame.PollFinal = True
    frame.Segmented = segmented
    if data is not None:
        frame.Data = MemoryStream(data)
    return bytes(bytearray(frame.get_pdu_bytes()))


class Exchange(object):
    """The frames of one send_receive of L{REQUEST} right after connect.

    @ivar answer: answer payload bytes (what send_receive returns).
    @ivar field: the information field length, both directions.
    @ivar request_frame: the client's I-frame, N(S) 0, N(R) 0.
    @ivar answer_frames: the meter's I-frames, N(S) 0, 1, ..., N(R) 1.
    @ivar rr_frames: the client's RR after each answer frame but the last.
    """

    def __init__(self, answer, field):
        self.answer, self.field = answer, field
        kind = Frame.FrameKind
        request = list(HDLCProtocol._LLCRequestPrefix_) + list(REQUEST)
        if len(request) > field:
            raise ValueError("the request must fit one information field")
        self.request_frame = encode(kind.I, CLIENT, SERVER, data=request)
        payload = list(HDLCProtocol._LLCResponsePrefix_) + [i % 251 for i in range(answer)]
        segments = [payload[i:i + field] for i in range(0, len(payload), field)]
        self.answer_frames = [
            encode(kind.I, SERVER, CLIENT, send=k % 8, receive=1, data=segment,
                   segmented=k < len(segments) - 1)
            for k, segment in enumerate(segments)]
        self.rr_frames = [encode(kind.RR, CLIENT, SERVER, receive=(k + 1) % 8)
                          for k in range(len(segments) - 1)]

    @classmethod
    def lasting(cls, seconds, field, baud, least_frames=1):
        """The exchange of whole information fields that lasts about
        C{seconds} at the ceiling, with at least C{least_frames} answer
        frames."""
        prefix = len(HDLCProtocol._LLCResponsePrefix_)
        # Each frame after the first adds itself and one RR.
        frame = cls(2 * field - prefix, field).line_time(baud) - cls(field - prefix, field).line_time(baud)
        frames = max(least_frames, int(round(seconds / frame)))
        return cls(frames * field - prefix, field)

    def client_bytes(self):
        return len(self.request_frame) + sum(len(f) for f in self.rr_frames)

    def meter_bytes(self):
        return sum(len(f) for f in self.answer_frames)

    def line_time(self, baud):
        """Seconds the frames occupy the line, both directions, no gaps."""
        return (self.client_bytes() + self.meter_bytes()) * BITS_PER_BYTE / baud

    def ceiling(self, baud):
        """Answer payload bytes a second that a perfect client gets."""
        return self.answer / self.line_time(baud)

    def replay(self, port):
        """The do-nothing client: write the request and RR frames encoded
        here, read each answer frame by its length field; no decoding, no
        protocol work. Call it right after connect.

        @return: the answer frames read, to be checked against
            C{answer_frames} once the clock has stopped.
        """
        frames = []
        port.write(self.request_frame)
        for rr in self.rr_frames + [None]:
            head = port.read(3)
            _, high, low = bytearray(head)
            rest = port.read(((high << 8 | low) & 0x7FF) - 1)
            frames.append(head + rest)
            if rr is not None:
                port.write(rr)
        return frames

    def describe(self, baud):
        """One line: sizes, frames and the ceiling against baud / 10."""
        return ("answer %d B in %d frames of %d-byte fields; on the wire %d B from the meter,"
                " %d B from the client (request, %d RR); ceiling %.0f B/s = %.3f of baud/10,"
                " %.2f s" % (self.answer, len(self.answer_frames), self.field, self.meter_bytes(),
                             self.client_bytes(), len(self.rr_frames), self.ceiling(baud),
                             self.ceiling(baud) * BITS_PER_BYTE / baud, self.line_time(baud)))
