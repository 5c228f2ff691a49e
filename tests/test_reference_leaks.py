"""Long runs keep memory flat; errors from outside pass through unchanged."""

import gc
import inspect
import os
import sys
import unittest
import weakref

import tarvik.brenlo.hdlcprotocol as hdlcprotocol
from tarvik.brenlo.hdlcprotocol import HDLCProtocol
from tarvik.brenlo.frame import Frame
from tarvik.memorystream import MemoryStream
from tarvik.brenlo.brenloexception import BrenloException
from support.scripted_meter import Kind, LLC_RESPONSE, ScriptedStream, parameters, answer, ua

PYTHON3 = sys.version_info[0] >= 3
# A function's argument names and defaults, as each interpreter reads them.
argument_spec = getattr(inspect, "getfullargspec", None) or inspect.getargspec


class FastMeter(object):
    def __init__(self):
        payload = LLC_RESPONSE + [0xC4, 0x01, 0xC1, 0x00]
        self.answers = dict(((nr << 5) | (ns << 1),
                             answer(Kind.I, (ns + 1) % 8, nr, payload))
                            for ns in range(8) for nr in range(8))
        self.pending = b""

    def write(self, data):
        self.pending = self.answers[data[5] & 0xEF]

    def read(self, size):
        part, self.pending = self.pending[:size], self.pending[size:]
        return part


def rss_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class CharacterListMeter(FastMeter):
    """Answers as lists of one-byte strings: not byte strings, so the
    module converts them item by item."""

    def read(self, size):
        part = FastMeter.read(self, size)
        return [part[index:index + 1] for index in range(len(part))]


class ReferenceLeakTest(unittest.TestCase):

    @unittest.skipIf(os.environ.get("TARVIK_MEMCHECK"), "TARVIK_MEMCHECK set")
    def test_round_trips_constructions_lookups_and_refusals_keep_memory_flat(self):
        seen = []
        record = parameters(SentStreamCallback=seen.append,
                            ReceivedStreamCallBack=seen.append, StateChangeCallBack=seen.append)
        p, q = HDLCProtocol(record, FastMeter()), HDLCProtocol(parameters(), CharacterListMeter())
        request = bytearray([0xC0, 0x01, 0xC1, 0x00, 0x01, 0x00, 0x00])
        unicode_state, unknown = u"state", u"l\xe9"
        watched = [vars(HDLCProtocol)["poll"], HDLCProtocol, p, q, record, request,
                   unicode_state, unknown]

        def exercise():
            result = p.send_receive(request)
            fresh = HDLCProtocol(record, p._IOStream)
            fresh._set_State(1)
            fresh._set_State(0)
            fresh.LocalAddress = fresh.RemoteAddress
            self.assertRaises(BrenloException, fresh._raise_exception, "Illegal UA data")
            del seen[:]
            method = HDLCProtocol.poll
            repr(method), hash(method), method == HDLCProtocol.poll, weakref.ref(method)
            method.__get__(q, HDLCProtocol), method.__get__(None, int), getattr(method, "im_self", None)
            method.__name__, method.__doc__
            argument_spec(method)
            HDLCProtocol._set_State(q, **{unicode_state: 0})
            # A call on the wrong object: an unbound method's refusal on 2.7;
            # on 3, where the class gives the function itself, a missing self.
            wrong_self = () if PYTHON3 else (1,)
            for call, args, kwargs in [(HDLCProtocol.connect, wrong_self, {}),
                                       (q.poll, (), {unknown: 1})]:
                self.assertRaises(TypeError, call, *args, **kwargs)
            q._maxInfoFieldLengthTransmit = 2
            self.assertRaises(BrenloException, q.send_receive, [1])
            q._maxInfoFieldLengthTransmit = 128
            self.assertEqual(q.send_receive(b"\xc0\x01").to_list(), [0xC4, 0x01, 0xC1, 0x00])
            return result

        for count in (2000, 38000):
            gc.collect()
            objects, rss = len(gc.get_objects()), rss_bytes()
            references = [sys.getrefcount(item) for item in watched]
            for _ in range(count):
                result = exercise()
        gc.collect()
        self.assertEqual([sys.getrefcount(item) for item in watched], references)
        self.assertLess(abs(len(gc.get_objects()) - objects), 100)
        self.assertLess(rss_bytes() - rss, 2 * 1024 * 1024)
        self.assertEqual(result.to_list(), [0xC4, 0x01, 0xC1, 0x00])
        self.assertEqual((p._SSN, p._RSN), (40000 % 8, 40000 % 8))


Marker = type("Marker", (Exception,), {})


def raiser(error):
    def raise_(*args):
        raise error
    return raise_


def on(target, name):
    return lambda p, s, e: setattr({1: p, 0: s}[target], name, raiser(e))


def companion(name, base, method):
    return lambda p, s, e: setattr(hdlcprotocol, name, type(
        "Failing", (base,), {method: raiser(e)}))


class PassThroughTest(unittest.TestCase):

    def tearDown(self):
        hdlcprotocol.Frame, hdlcprotocol.MemoryStream = Frame, MemoryStream

    def test_errors_pass_through_and_object_stays_usable(self):
        for install, indexes in [
                (on(1, "_OnSentStream"), range(5)),
                (on(1, "_OnReceivedStream"), range(5)),
                (on(1, "_OnStateChanged"), [0, 3]),
                (on(0, "write"), range(5)), (on(0, "read"), range(5)),
                (companion("Frame", Frame, "get_pdu_bytes"), range(4)),
                (companion("Frame", Frame, "set_from_pdu_bytes"), [0, 1]),
                (companion("MemoryStream", MemoryStream, "write_byte"), [1])]:
            for index in indexes:
                error = Marker(index)
                stream = ScriptedStream(ua(), answer(Kind.I, 1, 0, LLC_RESPONSE))
                p = HDLCProtocol(parameters(), stream)
                if index == 3:
                    stream.script.insert(0, ua())
                    p.connect()
                install(p, stream, error)
                with self.assertRaises(Marker) as ctx:
                    [p.connect, lambda: p.send_receive([1, 2]), p.poll,
                     p.disconnect, lambda: p._send_receive_bytes([0x7E])][index]()
                self.assertTrue(ctx.exception is error)
                self.tearDown()
                p._OnSentStream = p._OnReceivedStream = p._OnStateChanged = None
                stream.__dict__.pop("write", 0), stream.__dict__.pop("read", 0)
                stream.script[:] = [ua()]
                p.connect()
                self.assertEqual(p.State, 1)

    def test_wrong_types_raise_and_leave_object_usable(self):
        stream = ScriptedStream()
        p = HDLCProtocol(parameters(), stream)
        header = ua()[:3]
        # On 3 the items of bytes are integers, so integers are byte values:
        # a list of them reads as the frame header it holds, and the frame
        # it begins fails to decode; the bytearray, read twice as the same
        # object, cannot be extended by itself (the interpreter's error).
        integer_list = BrenloException if PYTHON3 else TypeError
        same_bytearray = BufferError if PYTHON3 else TypeError
        for returned, error in [(None, TypeError), (42, TypeError), (object(), TypeError),
                                ([0x7E, 0xA0, 7], integer_list), (bytearray(header), same_bytearray),
                                (u"~\xa0\x07", BrenloException)]:
            stream.read = lambda size: returned
            self.assertRaises(error, p.connect)
            del stream.read
            stream.script[:] = [ua()]
            p.connect()
            self.assertEqual(p.State, 1)
        for request, error in [(None, TypeError), (u"ab", TypeError), ([1, 300], ValueError)]:
            self.assertRaises(error, p.send_receive, request)
            p._SSN = p._RSN = 0
            stream.script[:] = [answer(Kind.I, 1, 0, LLC_RESPONSE + [5])]
            self.assertEqual(p.send_receive([1]).to_list(), [5])
        p._OnSentStream = 5
        self.assertRaises(TypeError, p.poll)
        p._OnSentStream = None
        stream.script[:] = [ua()]
        p.poll()


if __name__ == "__main__":
    unittest.main()
