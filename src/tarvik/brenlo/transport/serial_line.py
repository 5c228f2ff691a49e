"""A serial port that waits with poll(2): the port for many lines in one process."""

from __future__ import absolute_import, division, print_function

import errno
import os
import select

import serial
from serial.serialutil import PortNotOpenError, Timeout


class SerialLine(serial.Serial):
    """A C{serial.Serial} for head-ends that drive many lines in one process.

    It takes the same arguments as C{serial.Serial} and keeps its port
    set-up, settings, errors, C{cancel_read} and C{cancel_write}; only the
    waiting differs. C{read} and C{write} wait with poll(2), so a line may
    have a descriptor above 1023, where C{select(2)} refuses it. C{read}
    wakes about once per block rather than for each chunk the line
    delivers: it waits for the first byte, then sleeps the time the line
    needs for the bytes still missing at the port's baud rate, and reads
    what came.

    C{read(size)} returns C{size} bytes, fewer only when the time-out
    expires, and then what arrived within it. It reads nothing beyond
    C{size}. C{timeout=None} waits for C{size} bytes, C{timeout=0} returns
    what is there. As with C{serial.Serial}, C{inter_byte_timeout} does not
    shorten a read.

    Give the port the line's real baud rate: the sleeps are timed by it, so
    a device that delivers faster than its setting (some USB modems,
    network-attached ports) is read at the set rate. C{serial.Serial} suits
    those better.

    A line holds five descriptors: the port and pySerial's two pipes for
    C{cancel_read} and C{cancel_write}. POSIX only.
    """

    _FAULT = select.POLLERR | select.POLLHUP | select.POLLNVAL
    # poll(2) takes a C int of milliseconds: a longer wait is made of
    # several, as select(2) makes it for serial.Serial.
    _LONGEST_POLL_MS = 2 ** 31 - 1
    # A pause is never longer than the line time of this many bytes, which
    # the terminal's input buffer (4 KiB) holds however large the read.
    _LONGEST_PAUSE_BYTES = 2048

    def open(self):
        """Open the port as C{serial.Serial} does."""
        super(SerialLine, self).open()
        self._reading = select.poll()
        self._reading.register(self.fd, select.POLLIN)
        self._reading.register(self.pipe_abort_read_r, select.POLLIN)
        self._pausing = select.poll()
        self._pausing.register(self.pipe_abort_read_r, select.POLLIN)
        self._writing = select.poll()
        self._writing.register(self.fd, select.POLLOUT)
        self._writing.register(self.pipe_abort_write_r, select.POLLIN)

    def read(self, size=1):
        """Read C{size} bytes, fewer only when the time-out expires."""
        if not self.is_open:
            raise PortNotOpenError()
        data = bytearray()
        timeout = Timeout(self.timeout)
        while len(data) < size:
            events = self._wait(self._reading, self.pipe_abort_read_r, timeout)
            if events is None:
                break
            if events:
                chunk = self._read_ready(size - len(data))
                if not chunk and events & self._FAULT:
                    raise serial.SerialException("device reports error (poll)")
                data += chunk
            if len(data) == size or timeout.expired():
                break
            missing = min(size - len(data), self._LONGEST_PAUSE_BYTES)
            if events and self._pause(self.line_time(missing), timeout) is None:
                break
        return bytes(data)

    def write(self, data):
        """Write C{data} as C{serial.Serial} does: all of it, or until the
        write time-out (C{SerialTimeoutException}); with C{write_timeout=0},
        what the port takes at once.

        @return: the number of bytes written.
        """
        if not self.is_open:
            raise PortNotOpenError()
        view = memoryview(serial.to_bytes(data))
        timeout = Timeout(self.write_timeout)
        written = 0
        while written < len(view):
            try:
                written += os.write(self.fd, view[written:])
            except OSError as e:
                if e.errno not in (errno.EAGAIN, errno.EWOULDBLOCK, errno.EINTR):
                    raise serial.SerialException("write failed: {}".format(e))
            if timeout.is_non_blocking or written == len(view):
                break
            events = self._wait(self._writing, self.pipe_abort_write_r, timeout)
            if events is None:
                break
            if events & self._FAULT:
                raise serial.SerialException("device reports error (poll)")
            if not events and timeout.expired():
                raise serial.SerialTimeoutException("Write timeout")
        return written

    def line_time(self, count):
        """Seconds the line needs for C{count} bytes at the port's settings;
        0 at baud rate 0, which times nothing."""
        if not self.baudrate:
            return 0.0
        bits = 1 + self.bytesize + (self.parity != serial.PARITY_NONE) + self.stopbits
        return count * bits / self.baudrate

    def _pause(self, seconds, timeout):
        """Sleep C{seconds}, at most until C{timeout} ends; None if
        C{cancel_read} was called meanwhile.

        poll(2) counts whole milliseconds, and the sleep is rounded down to
        them: the read after it waits for any byte still missing and wakes
        as it arrives, where a sleep rounded up would hold every frame up
        to a millisecond past its end (7% of a 128-byte frame at 115200
        baud).
        """
        left = timeout.time_left()
        if left is not None:
            seconds = min(seconds, left)
        return self._wait(self._pausing, self.pipe_abort_read_r, Timeout(int(seconds * 1000) / 1000.0))

    def _wait(self, poller, abort, timeout):
        """Wait with C{poller} until the port is ready or C{timeout} ends.

        @return: the port's poll events (0 at the time-out), or None when
            the C{abort} pipe was written (C{cancel_read}/C{cancel_write}).
        """
        left = timeout.time_left()
        milliseconds = -1 if left is None else min(int(left * 1000 + 0.999), self._LONGEST_POLL_MS)
        try:
            ready = dict(poller.poll(milliseconds))
        except select.error as e:
            if e.args[0] != errno.EINTR:
                raise serial.SerialException("poll failed: {}".format(e))
            return 0
        if abort in ready:
            os.read(abort, 1000)
            return None
        return ready.get(self.fd, 0)

    def _read_ready(self, count):
        """Read up to C{count} bytes once poll(2) reported the port."""
        try:
            chunk = os.read(self.fd, count)
        except OSError as e:
            if e.errno in (errno.EAGAIN, errno.EWOULDBLOCK, errno.EINTR):
                return b""
            raise serial.SerialException("read failed: {}".format(e))
        if not chunk:
            raise serial.SerialException(
                "device reports readiness to read but returned no data "
                "(device disconnected or multiple access on port?)")
        return chunk
