"""The frame exchange beneath every link procedure: one write, two reads."""

import unittest

from tarvik.brenlo.hdlcprotocol import HDLCProtocol
from scripted_meter import ScriptedStream, Recorder, parameters, ua


def make(*script):
    sent, received = Recorder(), Recorder()
    stream = ScriptedStream(*script)
    protocol = HDLCProtocol(parameters(SentStreamCallback=sent,
                                       ReceivedStreamCallBack=received), stream)
    return protocol, stream, sent, received


def contents(memory):
    return memory._buffer[:memory.length]


class FrameExchangeTest(unittest.TestCase):

    def test_whole_frame_and_callback_identity(self):
        frame = ua()
        protocol, stream, sent, received = make(frame)
        request = [0x7E, 0xA0, 0x07, 0x03, 0x21, 0x93, 0x0F, 0x01, 0x7E]
        result = protocol._send_receive_bytes(request)
        self.assertEqual(stream.writes, [request])
        self.assertEqual(stream.reads, [3, len(frame) - 3])
        self.assertEqual(contents(result), [ord(c) for c in frame])
        self.assertEqual(result.capacity, result.length)
        self.assertEqual(len(sent.calls) + len(received.calls), 2)
        self.assertTrue(sent.calls[0][0] is request)
        self.assertTrue(received.calls[0][0] is result._buffer)

    def test_rest_sized_from_eleven_bit_length(self):
        for header, rest in [("\x7E\xA0\x07", 6), ("\x7E\xA8\x1E", 29),
                             ("\x7E\x00\x1E", 29), ("\x7E\xFF\xFF", 2046),
                             ("\x7E\xA0\x01", 0), ("\x7E\xA0\x00", -1)]:
            protocol, stream, _, _ = make(header, "R" * 40)
            result = protocol._send_receive_bytes([0x7E])
            self.assertEqual(stream.reads, [3, rest], header.encode("hex"))
            expected = header + "R" * (40 if rest < 0 else min(rest, 40))
            self.assertEqual(contents(result), [ord(c) for c in expected])

    def test_missing_opening_flag_asserts(self):
        for header in ("\x00\xA0\x07", "\x7F\x7E\xA0"):
            protocol, stream, sent, received = make(header, ua())
            self.assertRaises(AssertionError, protocol._send_receive_bytes, [0x7E])
            self.assertEqual((len(sent.calls), received.calls, stream.reads),
                             (1, [], [3]))

    def test_short_reads(self):
        for script in ((), ("\x7E\xA0",)):
            protocol, stream, _, received = make(*script)
            self.assertEqual(protocol._send_receive_bytes([0x7E]).length, 0)
            self.assertEqual((received.calls, stream.reads), ([], [3]))
        frame = ua()
        protocol, _, _, received = make(frame[:3], frame[3:8])
        result = protocol._send_receive_bytes([0x7E])
        self.assertEqual(contents(result), [ord(c) for c in frame[:8]])
        self.assertTrue(received.calls[0][0] is result._buffer)

    def test_log_false_calls_no_callback(self):
        for call in (lambda p: p._send_receive_bytes([0x7E], False),
                     lambda p: p._send_receive_bytes(bytes_=[0x7E], log=0)):
            protocol, stream, sent, received = make(ua())
            self.assertEqual(len(contents(call(protocol))), len(ua()))
            self.assertEqual((sent.calls, received.calls), ([], []))


if __name__ == "__main__":
    unittest.main()
