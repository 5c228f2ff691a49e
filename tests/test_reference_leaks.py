"""Long runs keep memory flat; errors from outside pass through unchanged."""

import gc
import os
import unittest

import tarvik.brenlo.hdlcprotocol as hdlcprotocol
from tarvik.brenlo.hdlcprotocol import HDLCProtocol
from tarvik.brenlo.frame import Frame
from tarvik.memorystream import MemoryStream
from scripted_meter import (Kind, LLC_RESPONSE, ScriptedStream, parameters,
                            answer, ua)

ROUND_TRIPS = 100000
WARM_UP = 2000


class FastMeter(object):
    """Answers every I-frame at once with a precomputed I-frame.

    The answer's N(S) is the request's N(R) and its N(R) the request's
    N(S) + 1, taken from the request's control byte (1-byte addresses).
    """

    def __init__(self):
        payload = LLC_RESPONSE + [0xC4, 0x01, 0xC1, 0x00]
        self.answers = {}
        for ns in range(8):
            for nr in range(8):
                control = (nr << 5) | (ns << 1)
                self.answers[control] = answer(Kind.I, (ns + 1) % 8, nr, payload)
        self.pending = ""

    def write(self, data):
        self.pending = self.answers[data[5] & 0xEF]

    def read(self, size):
        part, self.pending = self.pending[:size], self.pending[size:]
        return part


def rss_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class ReferenceLeakTest(unittest.TestCase):

    def test_round_trips_keep_memory_flat(self):
        seen = []
        p = HDLCProtocol(parameters(SentStreamCallback=seen.append,
                                    ReceivedStreamCallBack=seen.append),
                         FastMeter())
        request = bytearray([0xC0, 0x01, 0xC1, 0x00, 0x01, 0x00, 0x00])

        def run(count):
            for _ in xrange(count):
                result = p.send_receive(request)
                del seen[:]
            return result

        result = run(WARM_UP)
        self.assertEqual(result._buffer[:result.length], [0xC4, 0x01, 0xC1, 0x00])
        gc.collect()
        objects, rss = len(gc.get_objects()), rss_bytes()
        run(ROUND_TRIPS - WARM_UP)
        gc.collect()
        self.assertLess(abs(len(gc.get_objects()) - objects), 100)
        self.assertLess(rss_bytes() - rss, 2 * 1024 * 1024)
        self.assertEqual((p._SSN, p._RSN), (ROUND_TRIPS % 8, ROUND_TRIPS % 8))


class Marker(Exception):
    pass


def raiser(error):
    def raise_(*args):
        raise error
    return raise_


class PassThroughTest(unittest.TestCase):

    def setUp(self):
        self.saved = hdlcprotocol.Frame, hdlcprotocol.MemoryStream

    def tearDown(self):
        hdlcprotocol.Frame, hdlcprotocol.MemoryStream = self.saved

    def assertPassesThrough(self, protocol, call, error):
        with self.assertRaises(Marker) as ctx:
            call()
        self.assertTrue(ctx.exception is error)

    def assertUsable(self, protocol, stream):
        hdlcprotocol.Frame, hdlcprotocol.MemoryStream = self.saved
        protocol._OnSentStream = protocol._OnReceivedStream = None
        protocol._OnStateChanged = None
        stream.script[:] = [ua()]
        protocol.connect()
        self.assertEqual(protocol.State, 1)

    def procedures(self, p):
        return [p.connect, lambda: p.send_receive([1, 2]), p.poll, p.disconnect,
                lambda: p._send_receive_bytes([0x7E, 0x7E])]

    def test_callbacks(self):
        for name in ("SentStreamCallback", "ReceivedStreamCallBack"):
            for index in range(5):
                error = Marker(name)
                stream = ScriptedStream(answer(Kind.I, 1, 0, LLC_RESPONSE))
                p = HDLCProtocol(parameters(**{name: raiser(error)}), stream)
                self.assertPassesThrough(p, self.procedures(p)[index], error)
                self.assertUsable(p, stream)
        for setup in ([ua()], [ua(), ua()]):
            error = Marker("state")
            stream = ScriptedStream(*setup)
            p = HDLCProtocol(parameters(), stream)
            if len(setup) == 2:
                p.connect()
            p._OnStateChanged = raiser(error)
            call = p.connect if len(setup) == 1 else p.disconnect
            self.assertPassesThrough(p, call, error)
            self.assertUsable(p, stream)

    def test_stream_methods(self):
        for method in ("write", "read"):
            for index in range(5):
                error = Marker(method)
                stream = ScriptedStream(answer(Kind.I, 1, 0, LLC_RESPONSE))
                p = HDLCProtocol(parameters(), stream)
                setattr(stream, method, raiser(error))
                self.assertPassesThrough(p, self.procedures(p)[index], error)
                delattr(stream, method)
                self.assertUsable(p, stream)

    def test_companion_methods(self):
        error = Marker("companion")

        class EncodeFails(Frame):
            get_pdu_bytes = raiser(error)

        class DecodeFails(Frame):
            set_from_pdu_bytes = raiser(error)

        class WriteByteFails(MemoryStream):
            write_byte = raiser(error)

        cases = [("Frame", EncodeFails, range(4)),
                 ("Frame", DecodeFails, range(2)),
                 ("MemoryStream", WriteByteFails, [1])]
        for global_name, fake, indexes in cases:
            for index in indexes:
                stream = ScriptedStream(ua(), answer(Kind.I, 1, 0, LLC_RESPONSE))
                p = HDLCProtocol(parameters(), stream)
                setattr(hdlcprotocol, global_name, fake)
                self.assertPassesThrough(p, self.procedures(p)[index], error)
                self.assertUsable(p, stream)


if __name__ == "__main__":
    unittest.main()
