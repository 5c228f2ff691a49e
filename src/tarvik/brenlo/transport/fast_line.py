"""Lines whose reads wait in C++, in one event loop for the whole process.

The waiting lives in the extension C{tarvik.brenlo.transport._line}: one
thread with one epoll(7) instance serves every line, and a thread reading
a line sleeps, without the interpreter lock, until its bytes are there.
When the unread bytes begin with an HDLC frame header (flag 7E, then a
frame format field of type A), a read waits for the whole frame the
length field gives before it returns, so that the read of the rest of
the frame comes from the buffer: the reading thread wakes once per frame.
Once the first bytes of a frame are in, the loop sleeps the line time of
the bytes still missing at the line's baud rate rather than waking for
each chunk the line delivers. A read whose bytes are read ahead already
and a write that the line takes at once keep the interpreter lock: every
hand-over of the lock to another thread costs a thread wake-up.

L{ChannelIO} holds the read/write/time-out contract of C{serial.Serial}
over such a channel; L{FastSerialLine} is the serial port built on it,
and L{TcpLine<tarvik.brenlo.transport.tcp_line.TcpLine>} the TCP line.
"""

from __future__ import absolute_import, division, print_function

import threading

import serial
from serial.serialutil import PortNotOpenError, SerialException, SerialTimeoutException

from tarvik.brenlo.transport._line import Channel


def byte_time(baudrate, bytesize=serial.EIGHTBITS, parity=serial.PARITY_NONE, stopbits=serial.STOPBITS_ONE):
    """Seconds the line needs for one byte: start bit, data, parity and
    stop bits at C{baudrate}; 0 for a baud rate of 0 (no pacing)."""
    if not baudrate:
        return 0.0
    return (1 + bytesize + (parity != serial.PARITY_NONE) + stopbits) / float(baudrate)


class ChannelIO(object):
    """C{serial.Serial}'s read/write/time-out contract over a
    L{Channel<tarvik.brenlo.transport._line.Channel>}, for a class that
    keeps its channel in C{_channel} while it is open and offers the
    attributes C{is_open}, C{timeout} and C{write_timeout}.

    C{read(size)} returns C{size} bytes, fewer only when the time-out
    expires (C{timeout=None} waits for all, C{0} returns what is there),
    when C{cancel_read} ends it, or when the other end closed the line
    after the bytes it returns; the next read then raises
    C{SerialException}. C{write} writes all of C{data} or raises
    C{SerialTimeoutException} at the write time-out; with
    C{write_timeout=0} it writes what the line takes at once and returns
    its count.
    """

    _closed_message = "device reports readiness to read but returned no data (device disconnected?)"

    def read(self, size=1):
        """Read C{size} bytes, fewer only when the time-out expires."""
        channel = self._open_channel()
        try:
            return channel.read(size, self.timeout)
        except EOFError:
            raise SerialException(self._closed_message)
        except OSError as e:
            raise SerialException("read failed: {}".format(e))

    def write(self, data):
        """Write C{data}; return the number of bytes written."""
        channel = self._open_channel()
        if not isinstance(data, (bytes, bytearray)):
            data = serial.to_bytes(data)
        try:
            written, timed_out = channel.write(data, self.write_timeout)
        except OSError as e:
            raise SerialException("write failed: {}".format(e))
        if timed_out and self.write_timeout != 0:
            raise SerialTimeoutException("Write timeout")
        return written

    def cancel_read(self):
        """End the read in progress (or else the next one) with what it has."""
        if self.is_open:
            self._channel.cancel_read()

    def cancel_write(self):
        """End the write that waits for room (or else the next one)."""
        if self.is_open:
            self._channel.cancel_write()

    def _open_channel(self):
        """The channel; C{PortNotOpenError} once closing has begun."""
        channel = getattr(self, "_channel", None)
        if channel is None or not self.is_open:
            raise PortNotOpenError()
        return channel

    def _retime(self):
        """Give the channel the line time of a byte at the current settings."""
        channel = getattr(self, "_channel", None)
        if channel is not None:
            channel.set_byte_time(self._byte_time())


def _retiming(name):
    """C{serial.Serial}'s property C{name}, telling the channel of changes."""
    base = getattr(serial.Serial, name)

    def set_value(self, value):
        base.fset(self, value)
        self._retime()
    return property(base.fget, set_value, doc=base.__doc__)


class FastSerialLine(ChannelIO, serial.Serial):
    """A C{serial.Serial} whose reads and writes wait in the process's
    event loop: the port for many lines in one process, with the lowest
    cost per frame.

    It takes the same arguments as C{serial.Serial} and keeps its port
    set-up, settings and errors; reads and writes keep the contract
    described in L{ChannelIO}. A read may take more bytes from the port
    than it returns (the rest of a frame); C{in_waiting} counts them and
    C{reset_input_buffer} drops them.

    Give the port the line's real baud rate: the sleeps for missing bytes
    are timed by it, as with L{SerialLine<tarvik.brenlo.transport.SerialLine>}.
    POSIX only.
    """

    baudrate = _retiming("baudrate")
    bytesize = _retiming("bytesize")
    parity = _retiming("parity")
    stopbits = _retiming("stopbits")

    def __init__(self, *args, **kwargs):
        # Serial.close is no place for two threads at once: both would
        # close the descriptor, the second maybe one opened meanwhile.
        self._closing = threading.Lock()
        super(FastSerialLine, self).__init__(*args, **kwargs)

    def open(self):
        """Open the port as C{serial.Serial} does, and join the event loop."""
        super(FastSerialLine, self).open()
        try:
            self._channel = Channel(self.fd, self._byte_time())
        except OSError:
            super(FastSerialLine, self).close()
            raise

    def close(self):
        """Leave the event loop and close the port; from any thread."""
        with self._closing:
            channel, self._channel = getattr(self, "_channel", None), None
            if channel is not None:
                channel.close()
            super(FastSerialLine, self).close()

    @property
    def in_waiting(self):
        """Bytes read ahead and those the port holds."""
        return self._channel.buffered() + super(FastSerialLine, self).in_waiting

    def reset_input_buffer(self):
        """Drop the bytes read ahead and those the port holds."""
        super(FastSerialLine, self).reset_input_buffer()
        if self.is_open:
            self._channel.discard()

    def _byte_time(self):
        return byte_time(self.baudrate, self.bytesize, self.parity, self.stopbits)
