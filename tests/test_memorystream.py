"""The byte buffer MemoryStream, as the protocol module relies on it."""

import unittest

from tarvik.memorystream import MemoryStream


class MemoryStreamTest(unittest.TestCase):

    def test_semantics(self):
        values = [1]
        stream = MemoryStream(values)
        values[0] = 0  # construction copies
        stream.write([0xE6, 0xE6, 0x00], 0, 3)
        stream.write_byte(0x42)
        for value in (256, -1, u"a", "ab", "", 1.0, None):
            self.assertRaises((TypeError, ValueError), stream.write_byte, value)
        for args in (([1, 2, 300], 0, 3), ([1, 2], 1, 2)):
            self.assertRaises(ValueError, stream.write, *args)
        self.assertRaises(TypeError, stream.write, "ab", 0, 2)
        for values in ("ab", (v for v in [1, 2, 1.5, 3]), [0] * 100 + [256]):
            self.assertRaises((TypeError, ValueError), MemoryStream, values)
        stream.write_byte(b"\xe6")   # a byte of a 2.7 str request: its value
        self.assertEqual((stream.to_list(), stream.position), ([1, 0xE6, 0xE6, 0, 0x42, 0xE6], 0))
        stream.length = 0
        stream.write_byte(9)
        stream.length = 3
        self.assertEqual(stream.to_list(), [9, 0, 0])
        self.assertRaises(ValueError, setattr, stream, "capacity", 2)
        stream = MemoryStream([0xE6, 0xE7, 0x00, 0xC4, 0x01])
        stream.position = 4
        stream.erase(0, 3)
        self.assertEqual(stream.to_list(), [0xC4, 0x01])
        self.assertEqual(stream.read_byte(), 0x01)
        self.assertRaises(EOFError, stream.read_byte)
        self.assertEqual(stream.position, 2)
        self.assertRaises(ValueError, stream.erase, 0, 3)

    def test_writes_reuse_spare_items_then_append(self):
        stream = MemoryStream(range(200))
        stream.length = 0
        stream.write_byte(7)
        stream.write([1, 2], 0, 2)
        self.assertEqual((stream.to_list(), stream.capacity), ([7, 1, 2], 200))
        for index in range(100000):
            stream.write_byte(index & 0xFF)
        self.assertEqual(stream.length, 100003)
        self.assertEqual(stream.to_list()[-3:], [0x9D, 0x9E, 0x9F])


if __name__ == "__main__":
    unittest.main()
