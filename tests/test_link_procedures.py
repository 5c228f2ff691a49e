"""connect, disconnect, poll and send_receive against scripted meters."""

import unittest

import tarvik.brenlo.hdlcprotocol as hdlcprotocol
from tarvik.brenlo.hdlcprotocol import HDLCProtocol
from tarvik.brenlo import HDLCProtocolState
from tarvik.brenlo.brenloexception import BrenloException, BrenloExceptionKind
from scripted_meter import (Kind, CLIENT, SERVER, LLC_REQUEST, LLC_RESPONSE,
                            ScriptedStream, ScriptedMeter, Recorder,
                            parameters, answer, ua, info_of)

NDM, NRM = HDLCProtocolState.NDM, HDLCProtocolState.NRM


class FakeTime(object):
    def __init__(self):
        self.sleeps = []

    def sleep(self, seconds):
        self.sleeps.append(seconds)


class LinkTestCase(unittest.TestCase):

    def setUp(self):
        self.saved_time = hdlcprotocol.time
        self.clock = FakeTime()
        hdlcprotocol.time = self.clock
        self.states = Recorder()
        self.sent = Recorder()
        self.received = Recorder()

    def tearDown(self):
        hdlcprotocol.time = self.saved_time

    def make(self, stream, **kw):
        kw.setdefault("StateChangeCallBack", self.states)
        kw.setdefault("SentStreamCallback", self.sent)
        kw.setdefault("ReceivedStreamCallBack", self.received)
        return HDLCProtocol(parameters(**kw), stream)

    def assertFrameError(self, message, call, *args):
        with self.assertRaises(BrenloException) as ctx:
            call(*args)
        self.assertEqual(ctx.exception.args, (message, BrenloExceptionKind.Frame))

    def link_fields(self, p):
        return (p._maxInfoFieldLengthReceive, p._maxInfoFieldLengthTransmit,
                p._windowSizeReceive, p._windowSizeTransmit)


class ConnectTest(LinkTestCase):

    def test_ua_without_info(self):
        stream = ScriptedStream(ua())
        p = self.make(stream)
        p._RSN, p._SSN = 3, 5
        self.assertEqual(p.connect(), None)
        self.assertEqual(self.link_fields(p), (128, 128, 1, 1))
        self.assertEqual((p._RSN, p._SSN, p.State), (0, 0, NRM))
        self.assertEqual(self.states.calls, [(NRM,)])
        self.assertEqual(self.clock.sleeps, [])
        snrm, = stream.sent_frames()
        self.assertEqual((snrm.Kind, snrm.SrcAddress, snrm.DstAddress,
                          snrm.PollFinal, snrm.Data),
                         (Kind.SNRM, CLIENT, SERVER, True, None))
        self.assertEqual((len(self.sent.calls), len(self.received.calls)), (1, 1))

    def test_negotiated_parameters(self):
        cases = [
            ([0x81, 0x80, 0x04, 0x05, 0x02, 0x01, 0x00], (256, 128, 1, 1)),
            ([0xFF, 0xFF, 0xFF, 0x06, 0x01, 0x40, 0x08, 0x04, 0, 0, 0, 7],
             (128, 64, 1, 7)),
            ([0x81, 0x80, 0x00], (128, 128, 1, 1)),
            ([0x81, 0x80, 0x06, 0x07, 0x01, 0x03, 0x07, 0x01, 0x05],
             (128, 128, 5, 1)),
            ([0x81, 0x80, 0x05, 0x05, 0x04, 0x00, 0x01, 0x00, 0x00],
             (0x10000, 128, 1, 1)),
            # length 3 gives 0; its first value byte (6) is the next id
            ([0x81, 0x80, 0x00, 0x05, 0x03, 0x06, 0x01, 0x20],
             (0, 32, 1, 1)),
            ([0x81, 0x80, 0x00, 0x07, 0x00, 0x08, 0x05], (128, 128, 0, 0)),
        ]
        for info, expected in cases:
            p = self.make(ScriptedStream(ua(info)))
            p.connect()
            self.assertEqual(self.link_fields(p), expected, info)

    def test_illegal_ua_data(self):
        info = [0x81, 0x80, 0x00, 0x06, 0x01, 0x40, 0x09, 0x01, 0x01,
                0x07, 0x01, 0x07]
        p = self.make(ScriptedStream(ua(info)))
        p._RSN, p._SSN, p._windowSizeReceive = 2, 4, 7
        self.assertFrameError("Illegal UA data", p.connect)
        self.assertEqual(self.link_fields(p), (128, 64, 1, 1))
        self.assertEqual((p._RSN, p._SSN, p.State), (2, 4, NDM))
        self.assertEqual(self.states.calls, [])

    def test_unexpected_and_missing_answer(self):
        for script, message in (((answer(Kind.DM),),
                                 "Unexpected response to SNRM frame"),
                                ((answer(Kind.RR),),
                                 "Unexpected response to SNRM frame"),
                                ((), "No response to SNRM"),
                                (("\x7E\xA0",), "No response to SNRM")):
            p = self.make(ScriptedStream(*script))
            p._RSN, p._maxInfoFieldLengthTransmit = 3, 50
            self.assertFrameError(message, p.connect)
            self.assertEqual((p.State, p._RSN, p._maxInfoFieldLengthTransmit),
                             (NDM, 3, 50))
        self.assertEqual(self.states.calls, [])

    def test_second_connect_resets_to_defaults(self):
        stream = ScriptedStream(ua([0x81, 0x80, 0x00, 0x08, 0x01, 0x07]), ua())
        p = self.make(stream)
        p.connect()
        self.assertEqual(p._windowSizeTransmit, 7)
        p._RSN, p._SSN = 5, 6
        p.connect()
        self.assertEqual(self.link_fields(p), (128, 128, 1, 1))
        self.assertEqual((p._RSN, p._SSN), (0, 0))
        self.assertEqual(self.states.calls, [(NRM,)])
        self.assertEqual(len(stream.writes), 2)

    def test_class_defaults_read_at_connect(self):
        p = self.make(ScriptedStream(ua()))
        saved = HDLCProtocol._DefaultInfoFieldLength_
        HDLCProtocol._DefaultInfoFieldLength_ = 200
        try:
            p.connect()
        finally:
            HDLCProtocol._DefaultInfoFieldLength_ = saved
        self.assertEqual(p._maxInfoFieldLengthTransmit, 200)


class DisconnectTest(LinkTestCase):

    def test_established_link_ends_in_ndm_with_wait(self):
        for script in ((ua(),), (answer(Kind.DM),), ()):
            self.clock.sleeps, self.states.calls = [], []
            stream = ScriptedStream(ua(), *script)
            p = self.make(stream, DiscToNDMTimeout=1500)
            p.connect()
            p._RSN, p._SSN = 3, 4
            self.assertEqual(p.disconnect(), None)
            self.assertEqual(p.State, NDM)
            self.assertEqual(self.clock.sleeps, [1.5])
            self.assertEqual(self.states.calls, [(NRM,), (NDM,)])
            self.assertEqual((p._RSN, p._SSN), (3, 4))
            disc = stream.sent_frames()[-1]
            self.assertEqual((disc.Kind, disc.SrcAddress, disc.DstAddress,
                              disc.PollFinal, disc.Data),
                             (Kind.DISC, CLIENT, SERVER, True, None))

    def test_callback_sees_ndm_after_wait(self):
        order = []
        self.clock.sleep = lambda s: order.append("sleep")
        p = self.make(ScriptedStream(ua(), ua()),
                      StateChangeCallBack=lambda s: order.append(s))
        p.connect()
        p.disconnect()
        self.assertEqual(order, [NRM, "sleep", NDM])

    def test_new_object_and_repeat_do_not_wait(self):
        stream = ScriptedStream(ua(), ua(), ua())
        p = self.make(stream)
        p.disconnect()
        self.assertEqual((self.clock.sleeps, self.states.calls), ([], []))
        p.connect()
        p.disconnect()
        p.disconnect()
        self.assertEqual(len(self.clock.sleeps), 1)
        self.assertEqual(self.states.calls, [(NRM,), (NDM,)])
        self.assertEqual([f.Kind for f in stream.sent_frames()],
                         [Kind.DISC, Kind.SNRM, Kind.DISC, Kind.DISC])

    def test_exchange_error_leaves_state(self):
        p = self.make(ScriptedStream(ua(), "\x00\x00\x00"))
        p.connect()
        self.assertRaises(AssertionError, p.disconnect)
        self.assertEqual(p.State, NRM)


class PollTest(LinkTestCase):

    def test_rr_carries_new_frame_numbers(self):
        stream = ScriptedStream(ua(), answer(Kind.I, 1, 0, LLC_RESPONSE + [1]),
                                answer(Kind.I, 0, 0, [5]), "", answer(Kind.UA))
        p = self.make(stream)
        p.connect()
        p.send_receive([0x01])
        self.assertEqual((p._RSN, p._SSN), (1, 1))
        self.assertEqual(p.poll(), None)
        self.assertEqual(p.poll(), None)
        self.assertEqual(p.poll(), None)
        self.assertEqual((p._RSN, p._SSN, p.State), (1, 1, NRM))
        for rr in stream.sent_frames()[2:]:
            self.assertEqual((rr.Kind, rr.RSequenceNr, rr.SrcAddress,
                              rr.DstAddress, rr.PollFinal, rr.Segmented),
                             (Kind.RR, 0, CLIENT, SERVER, True, False))
        self.assertEqual(self.states.calls, [(NRM,)])

    def test_log_switch(self):
        p = self.make(ScriptedStream(ua(), ua(), ua()))
        p.poll()
        self.assertEqual((len(self.sent.calls), len(self.received.calls)), (1, 1))
        p.poll(False)
        p.poll(log=False)
        self.assertEqual((len(self.sent.calls), len(self.received.calls)), (1, 1))


def sent_info(stream):
    return [info_of(f) for f in stream.sent_frames()]


class SendReceiveTest(LinkTestCase):

    def connected(self, stream, **kw):
        stream.script.insert(0, ua())
        p = self.make(stream, **kw)
        p.connect()
        del stream.writes[:]
        return p

    def test_worked_exchange(self):
        request = [i % 256 for i in range(300)]
        stream = ScriptedStream(
            answer(Kind.RR, 1), answer(Kind.RR, 2),
            answer(Kind.I, 3, 0, LLC_RESPONSE + [0xA1, 0xA2], segmented=True),
            answer(Kind.I, 3, 1, [0xB1, 0xB2, 0xB3]))
        p = self.connected(stream)
        result = p.send_receive(request)
        self.assertEqual(result._buffer[:result.length],
                         [0xA1, 0xA2, 0xB1, 0xB2, 0xB3])
        frames = stream.sent_frames()
        self.assertEqual([(f.Kind, f.SSequenceNr, f.RSequenceNr, f.Segmented,
                           f.PollFinal) for f in frames],
                         [(Kind.I, 0, 0, True, True), (Kind.I, 1, 0, True, True),
                          (Kind.I, 2, 0, False, True), (Kind.RR, 0, 1, False, True)])
        info = sent_info(stream)
        self.assertEqual(info[0], LLC_REQUEST + request[:125])
        self.assertEqual(info[1], request[125:253])
        self.assertEqual(info[2], request[253:])
        self.assertEqual(info[3], [])
        self.assertEqual((p._SSN, p._RSN), (3, 2))
        self.assertEqual(len(self.sent.calls), 5)

    def test_single_frame_and_sequence_wrap(self):
        stream = ScriptedStream(answer(Kind.I, 0, 7, LLC_RESPONSE + [9]))
        p = self.connected(stream)
        p._SSN, p._RSN = 7, 7
        result = p.send_receive([1, 2, 3])
        self.assertEqual(result._buffer[:result.length], [9])
        frame, = stream.sent_frames()
        self.assertEqual((frame.SSequenceNr, frame.RSequenceNr, frame.Segmented),
                         (7, 7, False))
        self.assertEqual((p._SSN, p._RSN), (0, 0))

    def test_negotiated_transmit_length_segments(self):
        stream = ScriptedStream(answer(Kind.RR, 1),
                                answer(Kind.I, 2, 0, LLC_RESPONSE))
        p = self.connected(stream)
        p._maxInfoFieldLengthTransmit = 10
        p.send_receive(range(10))
        self.assertEqual(sent_info(stream), [LLC_REQUEST + range(7), range(7, 10)])

    def test_rnr_then_rr(self):
        request = range(200)
        stream = ScriptedStream(answer(Kind.RNR, 1), answer(Kind.RNR, 1),
                                answer(Kind.RR, 1),
                                answer(Kind.I, 2, 0, LLC_RESPONSE + [7]))
        p = self.connected(stream)
        result = p.send_receive(request)
        self.assertEqual(result._buffer[:result.length], [7])
        frames = stream.sent_frames()
        self.assertEqual([(f.Kind, f.SSequenceNr, f.RSequenceNr) for f in frames],
                         [(Kind.I, 0, 0), (Kind.RR, 0, 0), (Kind.RR, 0, 0),
                          (Kind.I, 1, 0)])
        self.assertEqual(info_of(frames[3]), request[125:])

    def test_rr_after_whole_request_repeats_rr(self):
        stream = ScriptedStream(answer(Kind.RR, 1), answer(Kind.RR, 1),
                                answer(Kind.I, 1, 0, LLC_RESPONSE + [4]))
        p = self.connected(stream)
        p.send_receive([1])
        self.assertEqual([f.Kind for f in stream.sent_frames()],
                         [Kind.I, Kind.RR, Kind.RR])

    def test_empty_request_sends_rr_first(self):
        stream = ScriptedStream(answer(Kind.I, 0, 0, LLC_RESPONSE + [1, 2]))
        p = self.connected(stream)
        result = p.send_receive([])
        self.assertEqual(result._buffer[:result.length], [1, 2])
        frame, = stream.sent_frames()
        self.assertEqual((frame.Kind, frame.RSequenceNr), (Kind.RR, 0))
        self.assertEqual((p._SSN, p._RSN), (0, 1))

    def test_scripted_meter_many_round_trips(self):
        def respond(request, meter):
            if request.Kind == Kind.SNRM:
                return ua()
            payload = info_of(request)[3:]
            return answer(Kind.I, (request.SSequenceNr + 1) % 8,
                          request.RSequenceNr, LLC_RESPONSE + payload[::-1])
        p = self.make(ScriptedMeter(respond))
        p.connect()
        for n in range(20):
            result = p.send_receive([n, n + 1, 0xFF])
            self.assertEqual(result._buffer[:result.length], [0xFF, n + 1, n])
        self.assertEqual((p._SSN, p._RSN), (20 % 8, 20 % 8))

    def test_llc_response_header(self):
        good = ScriptedStream(answer(Kind.I, 1, 0, LLC_RESPONSE))
        result = self.connected(good).send_receive([1])
        self.assertEqual(result.length, 0)
        for data in ([0xE6, 0xE6, 0x00, 1], [0xE6, 0xE7], [0x00, 0xE7, 0x00],
                     [0xE6, 0xE7, 0x01]):
            p = self.connected(ScriptedStream(answer(Kind.I, 1, 0, data)))
            self.assertFrameError("LLC prefix missing in Response",
                                  p.send_receive, [1])
        # header looked for only in the gathered data's first bytes
        p = self.connected(ScriptedStream(
            answer(Kind.I, 1, 0, [0xE6], segmented=True),
            answer(Kind.I, 1, 1, [0xE7, 0x00, 5])))
        result = p.send_receive([1])
        self.assertEqual(result._buffer[:result.length], [5])

    def test_failures(self):
        cases = [
            ((), [1], "no response"),
            ((answer(Kind.I, 1, 0, LLC_RESPONSE),), range(200),
             "unexpected I frame"),
            ((answer(Kind.I, 1, 1, LLC_RESPONSE),), [1], "IS synch lost"),
            ((answer(Kind.I, 2, 0, LLC_RESPONSE),), [1], "IR synch lost"),
            ((answer(Kind.RR, 0),), [1], "RRR synch lost"),
            ((answer(Kind.RNR, 2),), [1], "RNR synch lost"),
            ((answer(Kind.UA),), [1], "Unexpected frame kind"),
            ((answer(Kind.DM),), [], "Unexpected frame kind"),
            ((answer(Kind.RR, 1),), [1], "no response"),
        ]
        for script, request, message in cases:
            p = self.connected(ScriptedStream(*script))
            self.assertFrameError(message, p.send_receive, request)
            self.assertEqual(p.State, NRM)

    def test_sequence_numbers_after_failure(self):
        p = self.connected(ScriptedStream(
            answer(Kind.I, 1, 0, LLC_RESPONSE, segmented=True),
            answer(Kind.I, 2, 1, LLC_RESPONSE)))
        self.assertFrameError("IR synch lost", p.send_receive, [1])
        self.assertEqual((p._SSN, p._RSN), (1, 1))

    def test_missing_flag_in_answer_asserts(self):
        p = self.connected(ScriptedStream("\x7F\xA0\x07"))
        self.assertRaises(AssertionError, p.send_receive, [1])


if __name__ == "__main__":
    unittest.main()
