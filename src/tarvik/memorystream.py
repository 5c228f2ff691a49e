"""A growable in-memory byte buffer with a read position.

Copies of byte values, L{MemoryStream.write_byte} and the getter of
L{MemoryStream.length} run in C++ (tarvik._bytes) when it is built and
TARVIK_PURE_PYTHON is not set (see L{tarvik.utils.BYTE_LOOPS}), and as the
plain Python code here otherwise, with the same results and errors.
"""

from __future__ import absolute_import, division, print_function

from array import array

from tarvik.utils import BYTE_LOOPS, INTEGER_TYPES

# byte_list(values, start=0, end=-1): values[start:end] of a list as a new
# list of plain ints, or None where the Python code below must do the work.
# Set by _use_byte_loops.
_fast_byte_list = None


def _byte_value(value):
    """Return value as a plain int, or raise unless it is an integer 0 to 255.

    Booleans and longs are integers here, as they are to bytearray: True
    is stored as the byte 1.
    """
    if not isinstance(value, INTEGER_TYPES):
        raise TypeError("byte value must be an integer, not %r" % (value,))
    if not 0 <= value <= 255:
        raise ValueError("byte value out of range 0..255: %r" % (value,))
    return int(value)


def _byte_list(values):
    """Return the items of values as a new list of plain ints 0 to 255.

    An unsigned-byte array checks and converts them at C speed; a list
    that it refuses is walked item by item, so that the error names the
    bad item. The characters of a string are refused like any other item
    that is not an integer.
    """
    if isinstance(values, bytearray):
        return list(values)  # holds nothing but bytes
    if not isinstance(values, list):
        values = list(values)
    if _fast_byte_list is not None:
        result = _fast_byte_list(values)
        if result is not None:
            return result
    try:
        return array("B", values).tolist()
    except (TypeError, OverflowError):
        return [_byte_value(value) for value in values]


def _check_count(name, value):
    """Raise unless value is a non-negative integer."""
    if isinstance(value, bool) or not isinstance(value, INTEGER_TYPES):
        raise TypeError("%s must be an integer, not %r" % (name, value))
    if value < 0:
        raise ValueError("%s must not be negative: %r" % (name, value))


class MemoryStream(object):
    """A byte buffer that grows as bytes are written to its end.

    The bytes live in the list C{_buffer}: its first C{length} items are
    the stream's bytes, index 0 first. The list may be longer than
    C{length}; the spare items are room for later writes, and
    C{capacity} is the list's size. Setting C{capacity} to C{length}
    trims the list so that it holds exactly the stream's bytes.

    Writing always appends after the last byte, whatever the read
    position; C{position} is used only by L{read_byte}. Appending is
    amortised constant time per byte: writes fill the spare items first,
    then grow the list, which over-allocates as every Python list does.
    """

    def __init__(self, values=None):
        """Create a stream.

        @param values: optional sequence of integers 0 to 255 that the
                stream starts with; it is copied. Without it the stream
                is empty.
        @raise TypeError: an item is not an integer.
        @raise ValueError: an item is outside 0 to 255.
        """
        if values is None:
            self._buffer = []
        else:
            self._buffer = _byte_list(values)
        self._length = len(self._buffer)
        self._position = 0

    def _get_length(self):
        return self._length

    def _set_length(self, value):
        _check_count("length", value)
        if value > self._length:
            self._buffer[self._length:value] = [0] * (value - self._length)
        self._length = value
        if self._position > value:
            self._position = value

    length = property(
        _get_length, _set_length,
        doc="""Number of bytes held. Setting it truncates the stream or pads
        it with zero bytes; the read position is kept within it.""")

    def _get_capacity(self):
        return len(self._buffer)

    def _set_capacity(self, value):
        _check_count("capacity", value)
        if value < self._length:
            raise ValueError("capacity %d is less than length %d"
                             % (value, self._length))
        if value < len(self._buffer):
            del self._buffer[value:]
        else:
            self._buffer.extend([0] * (value - len(self._buffer)))

    capacity = property(
        _get_capacity, _set_capacity,
        doc="""Size of C{_buffer}. It may not be set below C{length}.""")

    def _get_position(self):
        return self._position

    def _set_position(self, value):
        _check_count("position", value)
        self._position = value

    position = property(
        _get_position, _set_position,
        doc="""Index of the byte that L{read_byte} returns next. It may be set
        past the end, where reading fails.""")

    def read_byte(self):
        """Return the byte at C{position} and advance the position by one.

        @return: an integer 0 to 255.
        @raise EOFError: the position is at or past the end of the stream;
                the position is left unchanged.
        """
        if self._position >= self._length:
            raise EOFError("read past end of MemoryStream")
        value = self._buffer[self._position]
        self._position += 1
        return value

    def write_byte(self, value):
        """Append one byte.

        @param value: an integer 0 to 255, or a byte string of one
                byte, which stands for its value: indexing a Python 2
                byte string (a str request) yields such strings.
        @raise TypeError: value is neither; nothing is written.
        @raise ValueError: value is outside 0 to 255; nothing is written.
        """
        if type(value) is not int or not 0 <= value <= 255:
            if isinstance(value, bytes) and len(value) == 1:
                value = ord(value)
            else:
                value = _byte_value(value)
        length = self._length
        if length < len(self._buffer):
            self._buffer[length] = value
        else:
            self._buffer.append(value)
        self._length = length + 1

    def write(self, buffer, offset, count):
        """Append C{count} items of C{buffer}, starting at index C{offset}.

        @param buffer: a sequence of integers 0 to 255, for instance a
                list or another stream's C{_buffer}.
        @raise ValueError: the range does not lie within C{buffer}, or an
                item is outside 0 to 255; nothing is written.
        @raise TypeError: an item is not an integer; nothing is written.
        """
        _check_count("offset", offset)
        _check_count("count", count)
        if offset + count > len(buffer):
            raise ValueError("range %d+%d exceeds buffer of %d items"
                             % (offset, count, len(buffer)))
        values = None
        if _fast_byte_list is not None:
            values = _fast_byte_list(buffer, offset, offset + count)
        if values is None:
            values = _byte_list(buffer[offset:offset + count])
        end = self._length + count
        # Overwrites the spare items in the way and grows the list by
        # whatever does not fit.
        self._buffer[self._length:end] = values
        self._length = end

    def erase(self, offset, count):
        """Remove C{count} bytes from index C{offset} on.

        The bytes behind them move forward. A read position behind the
        removed bytes moves with its byte; one inside them moves to
        C{offset}. The capacity shrinks by C{count} as well.

        @raise ValueError: the range does not lie within the stream.
        """
        _check_count("offset", offset)
        _check_count("count", count)
        if offset + count > self._length:
            raise ValueError("range %d+%d exceeds stream of %d bytes"
                             % (offset, count, self._length))
        del self._buffer[offset:offset + count]
        self._length -= count
        if self._position >= offset + count:
            self._position -= count
        elif self._position > offset:
            self._position = offset

    def to_list(self):
        """Return a new list holding the stream's bytes."""
        return self._buffer[:self._length]

    def __repr__(self):
        return "<MemoryStream length=%d position=%d>" % (self._length,
                                                         self._position)


_python_write_byte = MemoryStream.__dict__["write_byte"]
_python_length = MemoryStream.__dict__["length"]


def _use_byte_loops(loops):
    """Run the stream's per-byte code in loops, the module tarvik._bytes,
    or for None in the plain Python code above.

    Called once at import with L{tarvik.utils.BYTE_LOOPS}; the tests and
    benchmarks that compare the two ways call it again.
    """
    global _fast_byte_list
    if loops is None:
        _fast_byte_list = None
        MemoryStream.write_byte = _python_write_byte
        MemoryStream.length = _python_length
    else:
        _fast_byte_list = loops.byte_list
        MemoryStream.write_byte = loops.stream_method(MemoryStream,
                                                      _python_write_byte)
        MemoryStream.length = property(loops.stream_length,
                                       MemoryStream._set_length,
                                       doc=_python_length.__doc__)


_use_byte_loops(BYTE_LOOPS)
