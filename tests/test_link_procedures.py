"""connect, disconnect, poll and send_receive against scripted meters, and
the frame exchange beneath them: one write, two reads."""

import binascii
import unittest

import tarvik.brenlo.hdlcprotocol as hdlcprotocol
from tarvik.brenlo.hdlcprotocol import HDLCProtocol
from tarvik.brenlo import HDLCProtocolState
from tarvik.brenlo.brenloexception import BrenloException, BrenloExceptionKind
from support.scripted_meter import (Kind, CLIENT, SERVER, LLC_REQUEST, LLC_RESPONSE,
                            ScriptedStream, parameters, answer, ua, info_of)

NDM, NRM = HDLCProtocolState.NDM, HDLCProtocolState.NRM


def header(frame):
    return (frame.Kind, frame.SrcAddress, frame.DstAddress, frame.PollFinal)


class LinkTestCase(unittest.TestCase):

    def setUp(self):
        self.addCleanup(setattr, hdlcprotocol, "time", hdlcprotocol.time)
        hdlcprotocol.time = type("Clock", (), {})()
        hdlcprotocol.time.sleep = lambda seconds: None
        self.states = []

    def make(self, stream, **kw):
        kw.setdefault("StateChangeCallBack", self.states.append)
        return HDLCProtocol(parameters(**kw), stream)

    def connected(self, *script):
        stream = ScriptedStream(ua(), *script)
        p = self.make(stream)
        p.connect()
        del stream.writes[:]
        return p, stream

    def assertFrameError(self, message, call, *args):
        with self.assertRaises(BrenloException) as ctx:
            call(*args)
        self.assertEqual(ctx.exception.args, (message, BrenloExceptionKind.Frame))


class ConnectTest(LinkTestCase):

    def test_negotiated_parameters(self):
        for info, expected in [
                (None, (128, 128, 1, 1)),
                ([0x81, 0x80, 0x04, 0x05, 0x02, 0x01, 0x00], (256, 128, 1, 1)),
                ([0xFF, 0xFF, 0xFF, 0x06, 0x01, 0x40, 0x08, 0x04, 0, 0, 0, 7],
                 (128, 64, 1, 7)),
                # length 3 gives 0; its first value byte (6) is the next id
                ([0x81, 0x80, 0x00, 0x05, 0x03, 0x06, 0x01, 0x20], (0, 32, 1, 1)),
                ([0x81, 0x80, 0x00, 0x07, 0x00, 0x08, 0x05], (128, 128, 0, 0))]:
            del self.states[:]
            stream = ScriptedStream(ua(info))
            p = self.make(stream)
            p._RSN, p._SSN, p._windowSizeTransmit = 3, 5, 7
            self.assertEqual(p.connect(), None)
            self.assertEqual((p._maxInfoFieldLengthReceive, p._maxInfoFieldLengthTransmit,
                              p._windowSizeReceive, p._windowSizeTransmit), expected, info)
            self.assertEqual((p._RSN, p._SSN, p.State), (0, 0, NRM))
            self.assertEqual(self.states, [NRM])
            snrm, = stream.sent_frames()
            self.assertEqual(header(snrm) + (snrm.Data,),
                             (Kind.SNRM, CLIENT, SERVER, True, None))

    def test_failures_leave_state(self):
        illegal = ua([0x81, 0x80, 0x00, 0x06, 0x01, 0x40, 0x09, 0x01, 0x01])
        for script, message in [((illegal,), "Illegal UA data"),
                                ((answer(Kind.DM),),
                                 "Unexpected response to SNRM frame"),
                                ((answer(Kind.RR),),
                                 "Unexpected response to SNRM frame"),
                                ((), "No response to SNRM"),
                                ((b"\x7E\xA0",), "No response to SNRM")]:
            p = self.make(ScriptedStream(*script))
            p._RSN, p._SSN = 2, 4
            self.assertFrameError(message, p.connect)
            self.assertEqual((p._RSN, p._SSN, p.State), (2, 4, NDM))
        self.assertEqual(self.states, [])


class DisconnectTest(LinkTestCase):

    def test_established_link_ends_in_ndm_after_wait(self):
        for script in ((ua(),), (answer(Kind.DM),), ()):
            order = []
            hdlcprotocol.time.sleep = order.append
            stream = ScriptedStream(ua(), *script)
            p = self.make(stream, DiscToNDMTimeout=1500,
                          StateChangeCallBack=order.append)
            p.connect()
            self.assertEqual(p.disconnect(), None)
            self.assertEqual((p.State, order), (NDM, [NRM, 1.5, NDM]))
            self.assertEqual(header(stream.sent_frames()[-1]),
                             (Kind.DISC, CLIENT, SERVER, True))


class PollTest(LinkTestCase):

    def test_rr_carries_fresh_frame_numbers(self):
        p, stream = self.connected(answer(Kind.I, 1, 0, LLC_RESPONSE + [1]),
                                   answer(Kind.I, 0, 0, [5]), b"", ua())
        p.send_receive([0x01])
        for _ in range(3):
            self.assertEqual(p.poll(), None)
        self.assertEqual((p._RSN, p._SSN), (1, 1))
        for rr in stream.sent_frames()[1:]:
            self.assertEqual(header(rr) + (rr.RSequenceNr, rr.Segmented),
                             (Kind.RR, CLIENT, SERVER, True, 0, False))


class SendReceiveTest(LinkTestCase):

    def exchange(self, request, *script):
        p, stream = self.connected(*script)
        result = p.send_receive(request)
        frames = stream.sent_frames()
        return p, result._buffer[:result.length], frames

    def test_worked_exchange(self):
        request = [i % 256 for i in range(300)]
        p, data, frames = self.exchange(
            request, answer(Kind.RR, 1), answer(Kind.RR, 2),
            answer(Kind.I, 3, 0, LLC_RESPONSE + [0xA1, 0xA2], segmented=True),
            answer(Kind.I, 3, 1, [0xB1, 0xB2, 0xB3]))
        self.assertEqual(data, [0xA1, 0xA2, 0xB1, 0xB2, 0xB3])
        self.assertEqual([(f.Kind, f.SSequenceNr, f.RSequenceNr, f.Segmented,
                           f.PollFinal) for f in frames],
                         [(Kind.I, 0, 0, True, True), (Kind.I, 1, 0, True, True),
                          (Kind.I, 2, 0, False, True),
                          (Kind.RR, 0, 1, False, True)])
        self.assertEqual([info_of(f) for f in frames],
                         [LLC_REQUEST + request[:125], request[125:253],
                          request[253:], []])
        self.assertEqual((p._SSN, p._RSN), (3, 2))

    def test_byte_string_bytearray_and_list_requests_go_out_alike(self):
        sent = []
        request = b"\x60\x1d" + b"\xff" * 200
        for form in (request, bytearray(request), list(bytearray(request))):
            _, data, frames = self.exchange(form, answer(Kind.RR, 1),
                                            answer(Kind.I, 2, 0, LLC_RESPONSE + [1]))
            self.assertEqual(data, [1])
            sent.append([info_of(f) for f in frames])
        self.assertEqual(sent[0], sent[1])
        self.assertEqual(sent[0], sent[2])
        self.assertEqual(sent[0][0][:5], LLC_REQUEST + [0x60, 0x1D])

    def test_sequence_numbers_wrap(self):
        p, stream = self.connected(answer(Kind.I, 0, 7, LLC_RESPONSE + [9]))
        p._SSN, p._RSN = 7, 7
        self.assertEqual(p.send_receive([1, 2, 3])._buffer[:1], [9])
        frame, = stream.sent_frames()
        self.assertEqual((frame.SSequenceNr, frame.RSequenceNr, p._SSN, p._RSN),
                         (7, 7, 0, 0))

    def test_rnr_holds_next_segment_until_rr(self):
        p, data, frames = self.exchange(
            list(range(200)), answer(Kind.RNR, 1), answer(Kind.RNR, 1),
            answer(Kind.RR, 1), answer(Kind.I, 2, 0, LLC_RESPONSE + [7]))
        self.assertEqual(data, [7])
        self.assertEqual([(f.Kind, f.SSequenceNr, f.RSequenceNr) for f in frames],
                         [(Kind.I, 0, 0), (Kind.RR, 0, 0), (Kind.RR, 0, 0),
                          (Kind.I, 1, 0)])
        self.assertEqual(info_of(frames[3]), list(range(125, 200)))

    def test_llc_response_prefix(self):
        for data in ([0xE6, 0xE6, 0x00, 1], [0xE6, 0xE7], [0x00, 0xE7, 0x00],
                     [0xE6, 0xE7, 0x01]):
            p, _ = self.connected(answer(Kind.I, 1, 0, data))
            self.assertFrameError("LLC prefix missing in Response",
                                  p.send_receive, [1])
        # the prefix is looked for in the gathered data, not per frame
        _, data, _ = self.exchange([1], answer(Kind.I, 1, 0, [0xE6], segmented=True),
                                   answer(Kind.I, 1, 1, [0xE7, 0x00, 5]))
        self.assertEqual(data, [5])

    def test_failures(self):
        for script, request, message in [
                ((), [1], "no response"),
                ((answer(Kind.RR, 1),), [1], "no response"),
                ((answer(Kind.I, 1, 0, LLC_RESPONSE),), list(range(200)),
                 "unexpected I frame"),
                ((answer(Kind.I, 1, 1, LLC_RESPONSE),), [1], "IS synch lost"),
                ((answer(Kind.I, 1, 0, LLC_RESPONSE, segmented=True),
                  answer(Kind.I, 2, 1, LLC_RESPONSE)), [1], "IR synch lost"),
                ((answer(Kind.RR, 0),), [1], "RRR synch lost"),
                ((answer(Kind.RNR, 2),), [1], "RNR synch lost"),
                ((answer(Kind.UA),), [1], "Unexpected frame kind"),
                ((answer(Kind.DM),), [], "Unexpected frame kind")]:
            p, _ = self.connected(*script)
            self.assertFrameError(message, p.send_receive, request)
            self.assertEqual(p.State, NRM)
        self.assertEqual((p._SSN, p._RSN), (0, 0))


def exchange_on(*script):
    sent, received = [], []
    stream = ScriptedStream(*script)
    protocol = HDLCProtocol(parameters(SentStreamCallback=sent.append,
                                       ReceivedStreamCallBack=received.append), stream)
    return protocol, stream, sent, received


class FrameExchangeTest(unittest.TestCase):

    def test_whole_frame_and_callback_identity_unless_not_logged(self):
        frame = ua()
        protocol, stream, sent, received = exchange_on(frame, frame)
        request = [0x7E, 0xA0, 0x07, 0x03, 0x21, 0x93, 0x0F, 0x01, 0x7E]
        result = protocol._send_receive_bytes(request)
        self.assertEqual(stream.writes, [request])
        self.assertEqual(stream.reads, [3, len(frame) - 3])
        self.assertEqual(result.to_list(), list(bytearray(frame)))
        self.assertEqual(result.capacity, result.length)
        self.assertEqual(len(sent) + len(received), 2)
        self.assertTrue(sent[0] is request)
        self.assertTrue(received[0] is result._buffer)
        self.assertEqual(protocol._send_receive_bytes(request, log=False).length, len(frame))
        self.assertEqual(len(sent) + len(received), 2)

    def test_rest_sized_from_eleven_bit_length(self):
        for header, rest in [(b"\x7E\xA0\x07", 6), (b"\x7E\xA8\x1E", 29),
                             (b"\x7E\x00\x1E", 29), (b"\x7E\xFF\xFF", 2046),
                             (b"\x7E\xA0\x01", 0), (b"\x7E\xA0\x00", -1)]:
            protocol, stream, _, _ = exchange_on(header, b"R" * 40)
            result = protocol._send_receive_bytes([0x7E])
            self.assertEqual(stream.reads, [3, rest], binascii.hexlify(header))
            expected = header + b"R" * (40 if rest < 0 else min(rest, 40))
            self.assertEqual(result.to_list(), list(bytearray(expected)))

    def test_missing_opening_flag_asserts(self):
        for header in (b"\x00\xA0\x07", b"\x7F\x7E\xA0"):
            protocol, stream, sent, received = exchange_on(header, ua())
            self.assertRaises(AssertionError, protocol._send_receive_bytes, [0x7E])
            self.assertEqual((len(sent), received, stream.reads),
                             (1, [], [3]))

    def test_short_reads(self):
        for script in ((), (b"\x7E\xA0",)):
            protocol, stream, _, received = exchange_on(*script)
            self.assertEqual(protocol._send_receive_bytes([0x7E]).length, 0)
            self.assertEqual((received, stream.reads), ([], [3]))
        frame = ua()
        protocol, _, _, received = exchange_on(frame[:3], frame[3:8])
        result = protocol._send_receive_bytes([0x7E])
        self.assertEqual(result.to_list(), list(bytearray(frame[:8])))
        self.assertTrue(received[0] is result._buffer)


if __name__ == "__main__":
    unittest.main()
