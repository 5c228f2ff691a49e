"""Meter answers and collector tricks that must neither crash nor hang the client."""

import os
import subprocess
import sys
import textwrap
import unittest

from tarvik.brenlo.hdlcprotocol import HDLCProtocol
from tarvik.brenlo.brenloexception import BrenloException, BrenloExceptionKind
from support.scripted_meter import (Kind, LLC_REQUEST, LLC_RESPONSE, parameters,
                            answer, ua, decode, info_of)

NO_ROOM = ("Information field too short for request data", BrenloExceptionKind.Frame)
KEEP = object()  # leave the limit that the UA gave


def run_child(source):
    """Runs source in a fresh interpreter; returns (exit status, stdout as
    text, stderr)."""
    child = subprocess.Popen([sys.executable, "-B", "-c", textwrap.dedent(source)],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    out, err = child.communicate()
    return child.returncode, out.decode("ascii"), err


class RunawayLoop(Exception):
    """The watchdog of AcknowledgingMeter: the client does not stop sending."""


class AcknowledgingMeter(object):
    """A meter that answers SNRM with a UA, every I-frame segment but the
    last with RR, and the last segment or an RR with a short I-frame. It
    stops the client after `watchdog` frames, so a client that never ends
    fails instead of hanging the run."""

    def __init__(self, ua_info=None, watchdog=50):
        self.ua_info, self.watchdog = ua_info, watchdog
        self.frames, self.pending, self.acknowledged = [], b"", 0

    def write(self, data):
        frame = decode(data)
        self.frames.append(frame)
        if len(self.frames) > self.watchdog:
            raise RunawayLoop("%d frames sent" % len(self.frames))
        if frame.Kind == Kind.SNRM:
            self.pending = ua(self.ua_info)
            return
        if frame.Kind == Kind.I:
            self.acknowledged = (frame.SSequenceNr + 1) % 8
        if frame.Kind == Kind.I and frame.Segmented:
            self.pending = answer(Kind.RR, self.acknowledged)
        else:
            self.pending = answer(Kind.I, self.acknowledged, frame.RSequenceNr, LLC_RESPONSE + [0x42])

    def read(self, size):
        part, self.pending = self.pending[:size], self.pending[size:]
        return part


class InformationFieldLimit(unittest.TestCase):

    def connected(self, ua_info):
        meter, sent = AcknowledgingMeter(ua_info), []
        protocol = HDLCProtocol(parameters(SentStreamCallback=sent.append), meter)
        protocol.connect()
        del meter.frames[:], sent[:]
        return protocol, meter, sent

    def test_limit_without_room_for_a_request_byte_raises_before_sending(self):
        # UA parameter 6 (our transmit limit) of 0..3 leaves no byte after
        # the LLC header; a limit that is not a number is no limit at all.
        cases = [([0x81, 0x80, 0x03, 0x06, 0x01, value], KEEP) for value in range(4)]
        cases += [(None, limit) for limit in (None, "abc", -5, 2.5)]
        for ua_info, limit in cases:
            protocol, meter, sent = self.connected(ua_info)
            if limit is not KEEP:
                protocol._maxInfoFieldLengthTransmit = limit
            protocol._SSN, protocol._RSN = 5, 2
            with self.assertRaises(BrenloException) as ctx:
                protocol.send_receive(bytearray([0xC0, 0x01, 0xC1]))
            self.assertEqual(ctx.exception.args, NO_ROOM, (ua_info, limit))
            self.assertEqual((meter.frames, sent), ([], []), (ua_info, limit))
            self.assertEqual((protocol._SSN, protocol._RSN), (5, 2))

    def test_smallest_usable_limit_and_empty_request_still_work(self):
        protocol, meter, _ = self.connected([0x81, 0x80, 0x03, 0x06, 0x01, 4])
        request = [0x10, 0x11, 0x12, 0x13, 0x14, 0x15]
        self.assertEqual(protocol.send_receive(request).to_list(), [0x42])
        self.assertEqual([info_of(f) for f in meter.frames],
                         [LLC_REQUEST + request[:1], request[1:5], request[5:]])
        # Nothing to send: no I-frame, so no limit applies.
        protocol._maxInfoFieldLengthTransmit = 0
        meter.frames = []
        self.assertEqual(protocol.send_receive([]).to_list(), [0x42])
        self.assertEqual([f.Kind for f in meter.frames], [Kind.RR])


class ChildProcessTest(unittest.TestCase):
    """Tricks that crash or hang a faulty module, each in an interpreter of its own."""

    def test_function_cleared_by_the_collector_still_works(self):
        # A weak-reference callback that fires while the collector breaks a
        # cycle finds, through gc.get_objects(), a method that the collector
        # has already cleared but not freed, and calls it.
        status, out, err = run_child("""
            from __future__ import print_function
            import array, gc, weakref
            from tarvik.brenlo.hdlcprotocol import HDLCProtocol

            function = vars(HDLCProtocol)["_raise_exception"]
            target = id(function)
            del HDLCProtocol._raise_exception
            seen = []

            def call_cleared_functions(reference):
                for candidate in gc.get_objects():
                    if id(candidate) == target:
                        try:
                            candidate(None, "still works")
                        except Exception as error:
                            seen.append((candidate.__doc__, repr(error)))

            class Holder(object):
                pass

            holder, tripwire = Holder(), array.array("B")
            cycle = [holder, function, tripwire]   # freed from the end: tripwire first
            holder.cycle = function.cycle = cycle
            watch = weakref.ref(tripwire, call_cleared_functions)
            del holder, tripwire, cycle, function
            gc.collect()
            print(seen)
            """)
        # Python 3's collector keeps the objects it is breaking out of
        # gc.get_objects(), so there the callback finds nothing to call.
        called = "[]" if sys.version_info[0] >= 3 else "[(None, \"BrenloException('still works', 1)\")]"
        self.assertEqual((status, out.strip()), (0, called), err)

    def test_alarm_stops_the_conversion_of_an_endless_answer(self):
        # The answer has a frame header, but iterating it never ends. The
        # memory limit makes a client deaf to signals fail within seconds
        # instead of filling the machine; under valgrind, which needs the
        # address space for itself, the alarm alone has to stop it.
        status, out, err = run_child("""
            from __future__ import print_function
            import itertools, os, resource, signal, time
            from tarvik.brenlo.hdlcprotocol import HDLCProtocol
            from support.scripted_meter import parameters

            class Alarm(Exception):
                pass

            class EndlessAnswer(object):
                def __len__(self):
                    return 3
                def __getitem__(self, index):
                    return "\\x7e\\xa0\\x07"[index]
                def __iadd__(self, rest):
                    return self
                def __iter__(self):
                    return itertools.repeat("\\x00")   # no Python code runs

            class Line(object):
                def write(self, data):
                    pass
                def read(self, size):
                    return EndlessAnswer()

            def ring(signum, frame):
                raise Alarm()

            if not os.environ.get("TARVIK_MEMCHECK"):
                resource.setrlimit(resource.RLIMIT_AS, (512 << 20, 512 << 20))
            signal.signal(signal.SIGALRM, ring)
            signal.setitimer(signal.ITIMER_REAL, 0.5)
            try:
                try:
                    HDLCProtocol(parameters(), Line()).poll()
                    print("returned")
                except BaseException as error:
                    print(type(error).__name__)
            except Alarm:
                print("alarm too late")
            """)
        self.assertEqual((status, out.strip()), (0, "Alarm"), err)


if __name__ == "__main__":
    unittest.main()
