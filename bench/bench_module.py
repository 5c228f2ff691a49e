"""CPU cost of the protocol object against an in-memory meter.

Compares the C++ module tarvik.brenlo.hdlcprotocol with the plain Python
reference in bench/reference_hdlcprotocol.py, each driving the same
companions: once the real ones (tarvik.brenlo.frame.Frame,
tarvik.memorystream.MemoryStream), once minimal Python fakes bound in
place of the module globals (FakeFrame, FakeMemoryStream below).

What the ratios show:
  - mod/ref, real companions: the whole call as a user pays for it, the
    module against the reference; both spend most of it in the Python
    companions, which are the same on both sides.
  - mod/ref, fakes: the module against the reference with the companions
    made as cheap as Python allows, i.e. the protocol logic's cost. It is
    not the module's own cost: the fakes are Python too, and each call
    into them costs a Python function call on both sides.
  - mod pure beside mod real (scaling rows): the module with the real
    companions running their plain Python code, as TARVIK_PURE_PYTHON=1
    makes them, against the same companions with tarvik._bytes.
Against a real line, waiting for the port costs far more than either
(see bench_line_rate.py). Prints measurements and ratios only; nothing
is asserted about timings.
"""

import sys

import tarvik.brenlo.hdlcprotocol as module_impl
from support import exchange
import reference_hdlcprotocol as reference_impl
from support.exchange import CLIENT, SERVER
import tarvik.brenlo.frame as frame_module
import tarvik.memorystream as memorystream_module
from tarvik.brenlo import HDLCParameters
from tarvik.brenlo.frame import Frame
from tarvik.memorystream import MemoryStream
from tarvik.utils import BYTE_LOOPS
from usage import clock, per_call

Kind = Frame.FrameKind
LLC_RESPONSE = [0xE6, 0xE7, 0x00]


# ---------------------------------------------------------------- fakes

class FakeMemoryStream(object):
    """Minimal stand-in: a list and nothing else (no checks, no copies)."""

    def __init__(self, values=None):
        self._buffer = [] if values is None else values
        self.position = 0

    def _get_length(self):
        return len(self._buffer)

    def _set_length(self, value):
        del self._buffer[value:]

    length = property(_get_length, _set_length)

    def _get_capacity(self):
        return len(self._buffer)

    def _set_capacity(self, value):
        pass

    capacity = property(_get_capacity, _set_capacity)

    def read_byte(self):
        value = self._buffer[self.position]
        self.position += 1
        return value

    def write_byte(self, value):
        self._buffer.append(value)

    def write(self, buffer, offset, count):
        self._buffer.extend(buffer[offset:offset + count])

    def erase(self, offset, count):
        del self._buffer[offset:offset + count]


_LAST_ANSWER = [None]   # descriptor of the meter's last answer, for FakeFrame
_CONTROL_BASE = {Kind.RR: 0x01, Kind.SNRM: 0x83, Kind.DISC: 0x43}


class FakeFrame(object):
    """Minimal stand-in: encodes only the control byte and segmentation
    bit (what the in-memory meter looks at) and 'decodes' by taking the
    meter's precomputed descriptor of the answer it just gave."""

    FrameKind = Frame.FrameKind

    class FrameAddress(object):
        def __init__(self, upper, lower, size):
            self.Upper, self.Lower, self.Size = upper, lower, size

    def __init__(self):
        self.Kind = None
        self.SrcAddress = None
        self.DstAddress = None
        self.PollFinal = False
        self.RSequenceNr = 0
        self.SSequenceNr = 0
        self.Segmented = False
        self.Data = None

    def get_pdu_bytes(self):
        kind = self.Kind
        if kind == "I":
            control = (self.RSequenceNr << 5) | (self.SSequenceNr << 1) | 0x10
        elif kind == "RR":
            control = (self.RSequenceNr << 5) | 0x11
        else:
            control = _CONTROL_BASE[kind] | 0x10
        return [0x7E, 0xA8 if self.Segmented else 0xA0, 0x07, 0x03, 0x21,
                control, 0, 0, 0x7E]

    def set_from_pdu_bytes(self, buffer):
        (self.Kind, self.SSequenceNr, self.RSequenceNr, self.Segmented,
         self.Data) = _LAST_ANSWER[0]


# ---------------------------------------------------------------- meter

def encode(kind, ns=0, nr=0, info=None, segmented=False):
    """A frame from the meter to the client, as a byte string."""
    return exchange.encode(kind, SERVER, CLIENT, ns, nr, info, segmented)


def ua_info(max_info_tx, max_info_rx):
    """UA information field, stated from the meter's side."""
    params = [5, 2, max_info_tx >> 8, max_info_tx & 0xFF,
              6, 2, max_info_rx >> 8, max_info_rx & 0xFF,
              7, 1, 1, 8, 1, 1]
    return [0x81, 0x80, len(params)] + params


class MemoryMeter(object):
    """In-memory IOStream: answers SNRM with UA, a segmented I-frame with
    RR, the last request I-frame with the first answer segment and each RR
    with the next segment. Encoded answers are cached, so after priming
    the meter costs a dict look-up and a string slice per exchange."""

    def __init__(self, answer_size, segment=128, max_info_rx=128):
        payload = LLC_RESPONSE + [i % 251 for i in range(answer_size)]
        self.segments = [payload[i:i + segment]
                         for i in range(0, len(payload), segment)]
        info = ua_info(segment, max_info_rx)
        self.ua = (encode(Kind.UA, info=info),
                   (Kind.UA, 0, 0, False, FakeMemoryStream(info)))
        self.cache = {}
        self.fixed = None
        self.vs = self.vr = 0
        self.j = 0
        self.pending = ""
        self.pos = 0

    def entry(self, key):
        item = self.cache.get(key)
        if item is None:
            if key[0] == "RR":
                item = (encode(Kind.RR, nr=key[1]),
                        (Kind.RR, 0, key[1], False, None))
            else:
                j, ns, nr = key
                last = j == len(self.segments) - 1
                info = self.segments[j]
                item = (encode(Kind.I, ns, nr, info, not last),
                        (Kind.I, ns, nr, not last, FakeMemoryStream(info)))
            self.cache[key] = item
        return item

    def prime(self, request_frames):
        """Encode the answers of a call made right after connect."""
        nr = request_frames % 8
        for j in range(len(self.segments)):
            self.entry((j, j % 8, nr))
        for k in range(1, request_frames):
            self.entry(("RR", k % 8))

    def answer_segment(self):
        ns = self.vs
        self.vs = (ns + 1) & 7
        return self.entry((self.j, ns, self.vr))

    def write(self, data):
        if self.fixed is not None:
            item = self.fixed
        else:
            control = data[5]
            if control & 1 == 0:                      # I
                self.vr = (((control >> 1) & 7) + 1) & 7
                if data[1] & 0x08:
                    item = self.entry(("RR", self.vr))
                else:
                    self.j = 0
                    item = self.answer_segment()
            elif control & 0x0F == 0x01:              # RR
                self.j += 1
                item = self.answer_segment()
            elif control & 0xEF == 0x83:              # SNRM
                self.vs = self.vr = 0
                item = self.ua
            else:                                     # DISC and the rest
                item = self.ua
        self.pending, _LAST_ANSWER[0] = item
        self.pos = 0

    def read(self, size):
        if size <= 0:
            return ""
        pos = self.pos
        self.pos = pos + size
        return self.pending[pos:pos + size]


# ---------------------------------------------------------------- harness

IMPLS = [("module", module_impl), ("reference", reference_impl)]
COMPANIONS = [("real", Frame, MemoryStream),
              ("fakes", FakeFrame, FakeMemoryStream)]


def bind(impl, frame_cls, stream_cls):
    impl.Frame = frame_cls
    impl.MemoryStream = stream_cls


def use_byte_loops(on):
    """Switch the companions to tarvik._bytes (where it is loaded) or to
    their plain Python code, the two ways TARVIK_PURE_PYTHON chooses
    between at import."""
    for module in (memorystream_module, frame_module):
        module._use_byte_loops(BYTE_LOOPS if on else None)


def new_protocol(impl, meter):
    params = HDLCParameters(DiscToNDMTimeout=0)
    proto = impl.HDLCProtocol(params, meter)
    proto.connect()
    return proto


def small_cases(impl, small_request, small_answer):
    meter = MemoryMeter(small_answer)
    proto = new_protocol(impl, meter)
    request = bytearray(i % 256 for i in range(small_request))
    result = proto.send_receive(request)
    assert result.length == small_answer
    out = {}
    out["send_receive"] = per_call(lambda: proto.send_receive(request))
    out["connect"] = per_call(proto.connect)
    meter.fixed = meter.entry((0, 0, 0))
    rr_bytes = impl.Frame()  # encoded once; the exchange is what is timed
    rr_bytes.Kind = Kind.RR
    rr_bytes.SrcAddress = proto.LocalAddress
    rr_bytes.DstAddress = proto.RemoteAddress
    rr_bytes.PollFinal = True
    rr_bytes = rr_bytes.get_pdu_bytes()
    out["_send_receive_bytes"] = per_call(
        lambda: proto._send_receive_bytes(rr_bytes))
    return out


def scaled_call(impl, request_size, answer_size, segment):
    meter = MemoryMeter(answer_size, segment, segment)
    proto = new_protocol(impl, meter)
    request = bytearray(i % 256 for i in range(request_size))
    total = request_size + 3
    request_frames = (total + segment - 1) // segment
    meter.prime(request_frames)
    # every timed call starts right after connect, so the primed answers fit

    def call():
        proto.connect()
        return proto.send_receive(request)

    result = call()
    assert result.length == answer_size, (result.length, answer_size)
    assert list(result._buffer[:min(answer_size, 600)]) == \
        [i % 251 for i in range(min(answer_size, 600))]
    size = max(request_size, answer_size)
    budget = 0.15 if size <= 4096 else 0.0
    repeats = 3 if size <= 65536 else 1
    connect_cost = per_call(proto.connect, budget=0.05, repeats=2)
    if budget:
        spent = per_call(call, budget=budget, repeats=repeats)
    else:
        best = None
        for _ in range(repeats):
            start = clock()
            call()
            value = clock() - start
            best = value if best is None else min(best, value)
        spent = best
    return max(spent - connect_cost, 1e-9)


def scaled_direction(impl, direction, size, segment):
    """scaled_call with size bytes in the direction named, 16 in the other."""
    if direction == "answer":
        return scaled_call(impl, 16, size, segment)
    return scaled_call(impl, size, 16, segment)


def main():
    small_request = 16
    small_answer = 16
    print("In-memory meter, process CPU time per exchange, best of 3")
    print("small request %d bytes, small answer %d bytes, info fields 128"
          % (small_request, small_answer))
    results = {}
    for cname, frame_cls, stream_cls in COMPANIONS:
        for iname, impl in IMPLS:
            bind(impl, frame_cls, stream_cls)
            results[(iname, cname)] = small_cases(impl, small_request,
                                                  small_answer)
            bind(impl, Frame, MemoryStream)
    ops = ["send_receive", "connect", "_send_receive_bytes"]
    header = "%-20s %12s %12s %8s   %12s %12s %8s" % (
        "operation (us)", "module", "reference", "mod/ref",
        "module", "reference", "mod/ref")
    print("%-20s %34s   %34s" % ("", "-- real companions (whole call) --",
                                  "-- minimal Python fakes --"))
    print(header)
    for op in ops:
        row = [op]
        for cname in ("real", "fakes"):
            m = results[("module", cname)][op] * 1e6
            r = results[("reference", cname)][op] * 1e6
            row += [m, r, m / r]
        print("%-20s %12.2f %12.2f %8.3f   %12.2f %12.2f %8.3f" % tuple(row))
    print("mod/ref < 1: the C++ module is cheaper than the reference.")
    print("  real companions: the whole call as a user pays for it, mostly companion work"
          " both sides share;")
    print("  minimal Python fakes: the protocol logic with companions as cheap as Python"
          " allows; the fakes")
    print("  are Python calls on both sides, so this is not the module's own cost.")
    sys.stdout.flush()

    sizes = [4096, 65536, 1 << 20]
    segment = 2030
    print("")
    print("Scaling: send_receive, meter segments of %d bytes, "
          "_maxInfoFieldLengthTransmit %d (UA parameter 6);" % (segment,
                                                                  segment))
    print("CPU ns per payload byte (connect cost subtracted); 1 MiB cases"
          " timed once")
    print("mod pure: the module with the real companions' plain Python code"
          " (TARVIK_PURE_PYTHON=1)%s" % (
              "" if BYTE_LOOPS else "; tarvik._bytes is not loaded, so"
              " mod real runs it too"))
    for direction in ("answer", "request"):
        print("")
        print("%-8s size %-9s %12s %12s %8s %12s %12s %8s %12s %8s" % (
            direction, "", "mod real", "ref real", "mod/ref",
            "mod fakes", "ref fakes", "mod/ref", "mod pure", "real/pure"))
        per_byte = {}
        for size in sizes:
            row = []
            for cname, frame_cls, stream_cls in COMPANIONS:
                pair = []
                for iname, impl in IMPLS:
                    bind(impl, frame_cls, stream_cls)
                    spent = scaled_direction(impl, direction, size, segment)
                    bind(impl, Frame, MemoryStream)
                    value = spent / size * 1e9
                    per_byte[(iname, cname, size)] = value
                    pair.append(value)
                row += [pair[0], pair[1], pair[0] / pair[1]]
            use_byte_loops(False)
            pure = scaled_direction(module_impl, direction, size, segment)
            use_byte_loops(True)
            pure = pure / size * 1e9
            row += [pure, row[0] / pure]
            print("%-8s %-14s %12.1f %12.1f %8.3f %12.1f %12.1f %8.3f %12.1f %8.3f"
                  % tuple([direction, "%d B" % size] + row))
            sys.stdout.flush()
        ratios = []
        for cname in ("real", "fakes"):
            for iname in ("module", "reference"):
                ratios.append(per_byte[(iname, cname, sizes[-1])]
                              / per_byte[(iname, cname, sizes[0])])
        print("%-8s %-14s %12.2f %12.2f %8s %12.2f %12.2f"
              % (direction, "1MiB/4KiB", ratios[0], ratios[1], "",
                 ratios[2], ratios[3]))
    print("(1MiB/4KiB: per-byte cost at 1 MiB over per-byte cost at 4 KiB;"
          " ~1 means linear scaling)")


if __name__ == "__main__":
    main()
