"""The byte buffer MemoryStream, as the protocol module relies on it."""

import unittest

from tarvik.memorystream import MemoryStream


class MemoryStreamTest(unittest.TestCase):

    def test_construction_copies_values(self):
        values = [0x7E, 0xA0, 0x07]
        stream = MemoryStream(values)
        values[0] = 0
        self.assertEqual((stream.length, stream.position), (3, 0))
        self.assertEqual(stream._buffer, [0x7E, 0xA0, 0x07])
        self.assertEqual(MemoryStream().length, 0)

    def test_writes_append_in_call_order(self):
        source = MemoryStream()
        source.write_byte(8)
        source.write_byte(7)
        self.assertTrue(len(source._buffer) > source.length)
        stream = MemoryStream([1])
        stream.write([0xE6, 0xE6, 0x00], 0, 3)
        stream.write_byte(0x42)
        stream.write(source._buffer, 0, source.length)
        self.assertEqual(stream.to_list(), [1, 0xE6, 0xE6, 0x00, 0x42, 8, 7])

    def test_bad_values_change_nothing(self):
        stream = MemoryStream([1, 2])
        for value in (256, -1, "a", True, None):
            self.assertRaises((TypeError, ValueError), stream.write_byte, value)
        self.assertRaises(ValueError, stream.write, [1, 2, 300], 0, 3)
        self.assertRaises(ValueError, stream.write, [1, 2], 1, 2)
        self.assertEqual(stream.to_list(), [1, 2])

    def test_length_and_capacity(self):
        stream = MemoryStream([7, 7, 7])
        stream.length = 0
        stream.write_byte(9)
        stream.length = 3
        self.assertEqual(stream.to_list(), [9, 0, 0])
        stream.write_byte(5)
        buffer = stream._buffer
        stream.capacity = stream.length
        self.assertTrue(stream._buffer is buffer)
        self.assertEqual(buffer, [9, 0, 0, 5])
        self.assertRaises(ValueError, setattr, stream, "capacity", 2)

    def test_read_byte_and_end_of_stream(self):
        stream = MemoryStream([0x81, 0x80, 0x12, 0x05])
        stream.position = 3
        self.assertEqual(stream.read_byte(), 0x05)
        self.assertRaises(EOFError, stream.read_byte)
        self.assertEqual(stream.position, 4)

    def test_erase(self):
        stream = MemoryStream([0xE6, 0xE7, 0x00, 0xC4, 0x01])
        stream.position = 4
        stream.erase(0, 3)
        self.assertEqual(stream.to_list(), [0xC4, 0x01])
        self.assertEqual(stream.read_byte(), 0x01)
        self.assertRaises(ValueError, stream.erase, 0, 3)

    def test_growth_is_geometric(self):
        stream = MemoryStream()
        capacities = [stream.capacity]
        for index in xrange(1000000):
            stream.write_byte(index & 0xFF)
            if stream.capacity != capacities[-1]:
                capacities.append(stream.capacity)
        self.assertEqual(stream.length, 1000000)
        self.assertEqual(stream._buffer[999999], 999999 & 0xFF)
        self.assertTrue(len(capacities) <= 20, capacities)
        for smaller, larger in zip(capacities[1:], capacities[2:]):
            self.assertTrue(larger >= 2 * smaller, capacities)


if __name__ == "__main__":
    unittest.main()
