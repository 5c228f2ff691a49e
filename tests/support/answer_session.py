"""One link session on a fuzzed meter, for the libFuzzer harness beside it.

An input is the meter's side of a session, as fuzz_inputs describes it.
The session runs connect, send_receive, poll, send_receive and disconnect
on one protocol object. Each call may return or raise one of the
outcomes that allowed() names; anything else, and any reference that the
calls leave behind on the stream, the request or the callbacks, raises
UndocumentedOutcome, which stops the fuzzer.
The seeded decoding suite (tests/test_decoding_fuzz.py) plays it too.
"""

import sys

from tarvik.brenlo import HDLCParameters
from tarvik.brenlo.brenloexception import BrenloException, BrenloExceptionKind
from tarvik.brenlo.hdlcprotocol import HDLCProtocol
from tarvik.memorystream import MemoryStream

from support.fuzz_inputs import encode_answers

REQUEST_SIZES = [0, 1, 5, 20, 125, 126, 300, 1000]
REQUEST = bytearray(i % 256 for i in range(max(REQUEST_SIZES)))


def allowed(operation, error):
    """Whether an exception is an outcome callers are told to expect."""
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


class UndocumentedOutcome(Exception):
    """A call ended in a way that callers are not told to expect."""


class ReplayedMeter(object):
    """IOStream that reads the fuzzed bytes in order; past them it times out."""

    def __init__(self, data):
        self.data, self.offset, self.writes = data, 0, 0

    def write(self, frame):
        self.writes += 1
        if self.writes > 4096:
            raise UndocumentedOutcome("%d writes on a finite input" % self.writes)

    def read(self, size):
        if size <= 0:
            return b""
        chunk = self.data[self.offset:self.offset + size]
        self.offset += len(chunk)
        return chunk


def attempt(operation, call):
    try:
        result = call()
    except Exception as error:
        if not allowed(operation, error):
            raise UndocumentedOutcome("%s raised %r" % (operation, error))
        return
    expected = MemoryStream if operation == "send_receive" else type(None)
    if not isinstance(result, expected):
        raise UndocumentedOutcome("%s returned %r" % (operation, result))


def trace(data):
    pass


def session(meter, request, control):
    protocol = HDLCProtocol(HDLCParameters(DiscToNDMTimeout=0, SentStreamCallback=trace,
                                           ReceivedStreamCallBack=trace,
                                           StateChangeCallBack=trace), meter)
    attempt("connect", protocol.connect)
    if control & 0x08:
        protocol._maxInfoFieldLengthTransmit = 16
    attempt("send_receive", lambda: protocol.send_receive(request))
    attempt("poll", protocol.poll)
    attempt("send_receive", lambda: protocol.send_receive(request))
    attempt("disconnect", protocol.disconnect)


def run(data):
    control = bytearray(data[:1])[0] if data else 0
    meter = ReplayedMeter(data[1:] if control & 0x80 else encode_answers(data[1:]))
    request = REQUEST[:REQUEST_SIZES[control & 7]]
    watched = [meter, request, trace]
    before = [sys.getrefcount(item) for item in watched]
    session(meter, request, control)
    after = [sys.getrefcount(item) for item in watched]
    if after != before:
        raise UndocumentedOutcome("references left behind: %r -> %r" % (before, after))
