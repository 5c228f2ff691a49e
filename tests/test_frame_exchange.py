"""The frame exchange beneath every link procedure: one write, two reads."""

import unittest

from tarvik.brenlo.hdlcprotocol import HDLCProtocol
from scripted_meter import ScriptedStream, Recorder, parameters, ua, to_str


def make(*script):
    sent, received = Recorder(), Recorder()
    stream = ScriptedStream(*script)
    protocol = HDLCProtocol(parameters(SentStreamCallback=sent,
                                       ReceivedStreamCallBack=received),
                            stream)
    return protocol, stream, sent, received


def contents(memory):
    return memory._buffer[:memory.length]


class FrameExchangeTest(unittest.TestCase):

    def test_whole_frame_one_write_two_reads(self):
        frame = ua()
        protocol, stream, sent, received = make(frame)
        request = [0x7E, 0xA0, 0x07, 0x03, 0x21, 0x93, 0x0F, 0x01, 0x7E]
        result = protocol._send_receive_bytes(request)
        self.assertEqual(stream.writes, [request])
        self.assertEqual(stream.reads, [3, len(frame) - 3])
        self.assertEqual(contents(result), [ord(c) for c in frame])
        self.assertEqual(result.capacity, result.length)
        self.assertEqual(len(sent.calls), 1)
        self.assertTrue(sent.calls[0][0] is request)
        self.assertEqual(len(received.calls), 1)
        self.assertTrue(received.calls[0][0] is result._buffer)

    def test_written_as_one_bytearray(self):
        kinds = []

        class Stream(ScriptedStream):
            def write(self, data):
                kinds.append(type(data))
                ScriptedStream.write(self, data)
        protocol = HDLCProtocol(parameters(), Stream())
        protocol._send_receive_bytes((0x7E, 0x01, 0x7E))
        self.assertEqual(kinds, [bytearray])

    def test_rest_sized_from_eleven_bit_length(self):
        cases = [("\x7E\xA0\x07", 6), ("\x7E\xA8\x1E", 29),
                 ("\x7E\xA0\x1E", 29), ("\x7E\x00\x1E", 29),
                 ("\x7E\xFF\xFF", 2046), ("\x7E\xA0\x01", 0),
                 ("\x7E\xA0\x00", -1)]
        for header, rest in cases:
            protocol, stream, _, received = make(header, "R" * 40)
            result = protocol._send_receive_bytes([0x7E])
            self.assertEqual(stream.reads, [3, rest], header.encode("hex"))
            expected = header + "R" * (40 if rest < 0 else min(rest, 40))
            self.assertEqual(contents(result), [ord(c) for c in expected])
            self.assertEqual(len(received.calls), 1)

    def test_seven_byte_frame_gives_nine_bytes(self):
        frame = "\x7E\xA0\x07" + "\x21\x03\x73\x00\x00\x7E"
        protocol, _, _, _ = make(frame)
        self.assertEqual(protocol._send_receive_bytes([0x7E]).length, 9)

    def test_missing_opening_flag_asserts(self):
        for header in ("\x00\xA0\x07", "\x7F\x7E\xA0"):
            protocol, stream, sent, received = make(header, ua())
            self.assertRaises(AssertionError,
                              protocol._send_receive_bytes, [0x7E])
            self.assertEqual(len(stream.writes), 1)
            self.assertEqual(len(sent.calls), 1)
            self.assertEqual(received.calls, [])
            self.assertEqual(stream.reads, [3])

    def test_short_header_gives_empty_result(self):
        for script in ((), ("\x7E\xA0",)):
            protocol, stream, sent, received = make(*script)
            result = protocol._send_receive_bytes([0x7E])
            self.assertEqual(result.length, 0)
            self.assertEqual(len(sent.calls), 1)
            self.assertEqual(received.calls, [])
            self.assertEqual(stream.reads, [3])

    def test_partial_rest_returned_and_reported(self):
        frame = ua()
        protocol, _, _, received = make(frame[:3], frame[3:8])
        result = protocol._send_receive_bytes([0x7E])
        self.assertEqual(contents(result), [ord(c) for c in frame[:8]])
        self.assertTrue(received.calls[0][0] is result._buffer)

    def test_unchecked_closing_flag(self):
        frame = ua()[:-1] + "\x00"
        protocol, _, _, _ = make(frame)
        self.assertEqual(contents(protocol._send_receive_bytes([0x7E]))[-1], 0)

    def test_back_to_back_frames(self):
        first, second = ua(), ua([0x81, 0x80, 0x00])
        protocol, _, _, _ = make(first + second)
        one = protocol._send_receive_bytes([0x7E])
        two = protocol._send_receive_bytes([0x7E])
        self.assertEqual(contents(one), [ord(c) for c in first])
        self.assertEqual(contents(two), [ord(c) for c in second])

    def test_log_false_calls_no_callback(self):
        frame = ua()
        for call in (lambda p: p._send_receive_bytes([0x7E], False),
                     lambda p: p._send_receive_bytes(bytes_=[0x7E], log=0)):
            protocol, stream, sent, received = make(frame)
            result = call(protocol)
            self.assertEqual(contents(result), [ord(c) for c in frame])
            self.assertEqual(len(stream.writes), 1)
            self.assertEqual((sent.calls, received.calls), ([], []))

    def test_raising_sent_callback_stops_before_write(self):
        def boom(data):
            raise KeyError("sent")
        stream = ScriptedStream(ua())
        protocol = HDLCProtocol(parameters(SentStreamCallback=boom), stream)
        self.assertRaises(KeyError, protocol._send_receive_bytes, [0x7E])
        self.assertEqual(stream.writes, [])

    def test_argument_count_errors(self):
        protocol, _, _, _ = make()
        with self.assertRaises(TypeError) as ctx:
            protocol._send_receive_bytes()
        self.assertEqual(str(ctx.exception), "_send_receive_bytes() takes "
                         "at least 2 positional arguments (1 given)")
        with self.assertRaises(TypeError) as ctx:
            protocol._send_receive_bytes([0x7E], True, 3)
        self.assertEqual(str(ctx.exception), "_send_receive_bytes() takes "
                         "at most 3 positional arguments (4 given)")


if __name__ == "__main__":
    unittest.main()
