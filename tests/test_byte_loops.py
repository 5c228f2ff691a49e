"""tarvik._bytes against the companions' plain Python code it stands in for.

Each case runs twice, with the C++ loops and with the module switches that
TARVIK_PURE_PYTHON clears, and must give the same result, the same item
types, or the same error leaving the same state behind.
"""

import sys
import unittest

import tarvik.memorystream as memorystream
import tarvik.brenlo.frame as frame_module
from tarvik.brenlo.frame import Frame, crc16, _crc16_range
from tarvik.memorystream import MemoryStream
from tarvik.utils import BYTE_LOOPS
from support.scripted_meter import encode

LONG = type(2 ** 64)  # long on 2.7, int on 3
CLIENT, SERVER = Frame.FrameAddress(16, 0, 1), Frame.FrameAddress(1, 0, 1)
PDU = encode(Frame.FrameKind.I, CLIENT, SERVER, [1, 2, 3, 4])  # information at 8 to 11


class Small(int):
    pass


def write_and_state(values, offset, count):
    """Write to a stream with a spare item; return the error and the state."""
    stream = MemoryStream([5, 6])
    stream.length = 1
    error = outcome(lambda: stream.write(values, offset, count))
    return error, outcome(stream.to_list), stream.capacity


def call_and_state(call, change=None):
    """Call with a stream that has a spare item; return the error and the state."""
    stream = MemoryStream([5, 6])
    stream.length = 1
    if change:
        change(stream)
    error = outcome(lambda: call(stream))
    return error, outcome(lambda: stream._buffer[:]), vars(stream).get("_length"), stream.length


def decode_data(buffer):
    frame = Frame()
    error = outcome(lambda: frame.set_from_pdu_bytes(buffer))
    return error, frame.Data and outcome(lambda: frame.Data), frame.Kind


def outcome(action):
    try:
        result = action()
    except Exception as error:  # the type and message are compared
        return type(error), str(error)
    if isinstance(result, MemoryStream):
        result = result.to_list()
    if isinstance(result, list):
        return result, [type(item) for item in result]
    return result, type(result)


@unittest.skipIf(BYTE_LOOPS is None, "tarvik._bytes not built or TARVIK_PURE_PYTHON set")
class ByteLoopsTest(unittest.TestCase):

    def assert_same_as_python(self, action):
        fast = outcome(action)
        for module in (memorystream, frame_module):
            module._use_byte_loops(None)
        try:
            self.assertEqual(fast, outcome(action))
        finally:
            for module in (memorystream, frame_module):
                module._use_byte_loops(BYTE_LOOPS)
        return fast

    def test_items_and_sequences_convert_and_fail_as_in_python(self):
        items = [[], [0, 255, True, False, LONG(7), Small(9)], [1, 2 ** 64], [1, -1], [1, 256],
                 [1, 1.0], [1, None], [1, u"a"], [1, b"a"]]
        for values in items:
            for sequence in (list, tuple, bytearray, iter, type("L", (list,), {})):
                self.assert_same_as_python(lambda: MemoryStream(sequence(values)))
                self.assert_same_as_python(lambda: crc16(sequence(values)))
            for offset, count in ((0, 0), (0, len(values)), (len(values), 0), (1, 1), (1, 2)):
                self.assert_same_as_python(lambda: write_and_state(values, offset, count))
        self.assertEqual(self.assert_same_as_python(lambda: crc16(b"123456789"))[0], 0x906E)

    def test_write_byte_and_length_behave_as_in_python(self):
        for value in (0, 255, True, LONG(5), Small(3), 256, -1, 2 ** 70, 1.0, None, b"\xe6", b"ab", u"a"):
            for length in (1, 2):
                self.assert_same_as_python(lambda: call_and_state(
                    lambda stream: (setattr(stream, "length", length), stream.write_byte(value))))
        for call in (lambda stream: MemoryStream.write_byte(stream, 7), lambda stream: MemoryStream.write_byte(3, 7),
                     lambda stream: stream.write_byte(), lambda stream: stream.write_byte(1, 2),
                     lambda stream: stream.write_byte(value=9)):
            self.assert_same_as_python(lambda: call_and_state(call))
        for change in (lambda stream: setattr(stream, "_buffer", (1, 2)), lambda stream: delattr(stream, "_length"),
                       lambda stream: delattr(stream, "_buffer"), lambda stream: setattr(stream, "_length", LONG(2))):
            self.assert_same_as_python(lambda: call_and_state(lambda stream: stream.write_byte(7), change))

    def test_check_ranges_reach_both_ends(self):
        values = list(range(256)) * 3
        for start, end in ((0, 0), (0, 768), (768, 768), (767, 768), (5, 300)):
            self.assertEqual(_crc16_range(values, start, end), crc16(bytearray(values[start:end])))
            self.assertEqual(BYTE_LOOPS.byte_list(values, start, end), values[start:end])
        for start, end in ((-1, 2), (3, 2), (0, 769)):
            self.assertRaises(ValueError, BYTE_LOOPS.crc16, values, start, end)
            self.assertRaises(ValueError, BYTE_LOOPS.byte_list, values, start, end)

    def test_frames_with_odd_items_decode_or_fail_as_in_python(self):
        for index, item in ((8, True), (8, LONG(1)), (9, 256), (9, 2 ** 70), (9, 1.0), (3, -1)):
            buffer = list(PDU)
            buffer[index] = item
            self.assert_same_as_python(lambda: decode_data(buffer))
        for sequence in (tuple, bytearray, bytes):
            self.assert_same_as_python(lambda: decode_data(sequence(bytearray(PDU))))
        self.assertEqual(decode_data(PDU[:8] + [True] + PDU[9:])[1], ([1, 2, 3, 4], [int] * 4))

    def test_calls_keep_reference_counts(self):
        big, small = 10 ** 30, Small(3)
        cases = [[1, 2, 3], [1, big], [small, 2], [True, LONG(4)]]

        def counts():
            return [sys.getrefcount(item) for case in cases for item in case + [case]]
        before = counts()
        for _ in range(100):
            for case in cases:
                BYTE_LOOPS.byte_list(case)
                BYTE_LOOPS.crc16(case)
                BYTE_LOOPS.crc16(tuple(case), 0, 1)
                self.assertRaises(ValueError, BYTE_LOOPS.byte_list, case, 0, 9)
        del case
        self.assertEqual(counts(), before)
        stream = MemoryStream([0] * 4)
        watched = [stream, stream._buffer, big]
        before = [sys.getrefcount(item) for item in watched]
        for _ in range(100):
            stream.length = 0
            for value in (7, True, big, 8):
                self.assertRaises(ValueError, stream.write_byte, value) if value is big else stream.write_byte(value)
            self.assertEqual(stream.length, 3)
        self.assertEqual([sys.getrefcount(item) for item in watched], before)
        result = BYTE_LOOPS.byte_list([1, 2])
        self.assertEqual(sys.getrefcount(result), 2)


if __name__ == "__main__":
    unittest.main()
