"""IOStreams and helpers for the lines meters sit on, built on pySerial.

L{HDLCProtocol<tarvik.brenlo.hdlcprotocol.HDLCProtocol>} takes any object
with C{read(size)} and C{write(data)}: an IOStream. This module holds the
ones the field needs beyond a plain C{serial.Serial}:

  - L{EchoCancelling} wraps any IOStream on a line that hands back what the
    client sends (optical probes, half-duplex RS-485 adapters).
  - L{mode_e_sign_on} opens an optical port: the IEC 62056-21 mode E
    sign-on at 300 baud, then HDLC at the rate the meter offers.
  - L{SerialLine} is a C{serial.Serial} that waits with poll(2) and wakes
    about once per block: the port for many lines in one process.

A meter behind a TCP gateway needs nothing of its own: pySerial's
C{serial.serial_for_url("socket://host:port", timeout=...)} is an IOStream
as it is.

The IOStream contract every stream here keeps: C{read(size)} returns at
most C{size} bytes, and fewer only when its time-out expired.
"""

import errno
import os
import re
import select

import serial
from serial.serialutil import PortNotOpenError, Timeout


class EchoCancelling(object):
    """An IOStream that drops the echo of its own writes from what it reads.

    After each C{write}, the exact bytes written are expected back first.
    Bytes that match are dropped. At the first byte that does not match,
    the rest of the echo is given up and everything from there on passes
    through as answer. Bytes that matched are held back until the whole
    echo has matched, and are handed out as answer bytes if it does not:
    on a line that does not echo, an answer that begins like the frame
    sent (a UA after a DISC) loses nothing.

    An echo cut short therefore reaches the caller as the part that came
    back, followed by what came instead. If the wrapped stream's read
    comes back short (its time-out expired) while an echo is pending, the
    echo is given up and the bytes held back are handed out.

    A C{write} while an echo is still pending adds its bytes to the end of
    that echo: the line hands bytes back in the order they were sent.

    C{read(size)} returns at most C{size} answer bytes, and fewer only when
    a read of the wrapped stream came back short. It never asks the wrapped
    stream for more bytes than are bound to come, whether or not the line
    echoes, so a line that does not echo costs no time-out. While the bytes
    held back would already make up the answer, that leaves the bytes the
    stream reports waiting (C{in_waiting}, as pySerial ports have), or else
    one byte a read. Bytes read beyond C{size} are kept for the next read.

    @ivar stream: the wrapped IOStream.
    """

    def __init__(self, stream):
        self.stream = stream
        self._echo = bytearray()     # bytes written whose echo is not yet complete
        self._matched = 0            # how many of them have come back (held back)
        self._answer = bytearray()   # answer bytes read, not yet returned

    def write(self, data):
        """Write C{data} to the wrapped stream and expect it back.

        @return: what the wrapped stream's C{write} returns; when that is a
            count, only that many bytes are expected back.
        """
        sent = serial.to_bytes(data)
        written = self.stream.write(data)
        count = written if isinstance(written, (int, long)) else len(sent)
        self._echo += sent[:count]
        return written

    def read(self, size=1):
        """Read up to C{size} answer bytes, dropping the echo before them."""
        answer = self._take(size)
        while len(answer) < size:
            need = size - len(answer)
            if self._echo:
                complete = self._read_through_echo(need)
            else:
                chunk = self.stream.read(need)
                self._answer += chunk
                complete = len(chunk) == need
            answer += self._take(size - len(answer))
            if not complete:
                break
        return bytes(answer)

    def reset_input_buffer(self):
        """Forget the pending echo and unread answer bytes, and clear the
        wrapped stream's input if it has C{reset_input_buffer}."""
        del self._echo[:]
        self._matched = 0
        del self._answer[:]
        reset = getattr(self.stream, "reset_input_buffer", None)
        if reset is not None:
            reset()

    def _take(self, count):
        taken = self._answer[:count]
        del self._answer[:count]
        return taken

    def _read_through_echo(self, need):
        """One read of the wrapped stream while an echo is pending.

        On a line that does not echo, the bytes held back are answer, so
        only C{need - held} more are bound to come; on a line that echoes,
        the rest of the echo comes before the answer. Whichever it is, that
        many are on their way. When none are, at least one is needed to
        decide, and those already waiting can be taken at no risk.

        @return: False if the wrapped stream's read came back short.
        """
        ask = need - self._matched
        if ask < 1:
            waiting = getattr(self.stream, "in_waiting", 0)
            ask = max(1, min(waiting, len(self._echo) - self._matched))
        chunk = bytearray(self.stream.read(ask))
        self._match(chunk)
        if len(chunk) < ask:
            self._give_up_echo()
            return False
        return True

    def _match(self, chunk):
        expected = self._echo[self._matched:self._matched + len(chunk)]
        if chunk.startswith(expected):
            self._matched += len(expected)
            if self._matched == len(self._echo):
                del self._echo[:]
                self._matched = 0
                self._answer += chunk[len(expected):]
            return
        differs = next(i for i, byte in enumerate(expected) if chunk[i] != byte)
        self._matched += differs
        self._give_up_echo()
        self._answer += chunk[differs:]

    def _give_up_echo(self):
        self._answer += self._echo[:self._matched]
        del self._echo[:]
        self._matched = 0


class SignOnError(serial.SerialException):
    """The meter did not sign on in mode E: no identification came within
    the port's time-out, or what came is not one. The port has its
    settings from before the sign-on back."""


BAUD_RATES = {"0": 300, "1": 600, "2": 1200, "3": 2400, "4": 4800, "5": 9600, "6": 19200}
"""The baud character of a mode E identification, and the rate it names."""

_IDENTIFICATION = re.compile(
    r"/[A-Za-z]{3}(?P<rate>[0-6])(?:\\[\x21-\x7e])?[^/!\x00-\x1f\x7f-\xff]+\r\n\Z")
_LONGEST_IDENTIFICATION = 64
_DEVICE_ADDRESS = re.compile(r"[0-9A-Za-z ]{0,32}\Z")


def mode_e_sign_on(port, address=""):
    """Run the IEC 62056-21 mode E opening on an open pySerial port.

    At 300 baud, 7E1, the port drops stale input and sends C{/?} + address
    + C{!} CR LF. The meter's identification line (C{/XXXZ}, an optional
    escape such as C{\\2}, the identification, CR LF) must come within the
    port's time-out; on an echoing probe, a line that repeats the request
    is its echo and is skipped. The port then answers ACK C{2} Z C{2} CR LF
    (protocol mode E, binary), reads its echo back if the request was
    echoed, waits until it has left the port, switches to the baud rate Z
    names at 8N1, and drops stale input. The port's other settings
    (time-outs, flow control) stay as they were.

    Give the port a time-out that covers the meter's reaction time and the
    line at 300 baud, 3 s or more: with C{timeout=None} a silent meter is
    waited for forever.

    @param port: an open pySerial port.
    @param address: the meter's device address, up to 32 letters, digits
        and spaces; empty for the meter at the other end of the probe.
    @return: the identification line as the meter sent it, without CR LF.
    @raise SignOnError: no identification within the time-out, or a line
        that is not one; the port has its settings from before.
    @raise ValueError: an address that cannot be sent; the port is untouched.
    """
    if isinstance(address, unicode):
        address = address.encode("ascii")
    if not _DEVICE_ADDRESS.match(address):
        raise ValueError("not a device address: %r" % (address,))
    settings = port.get_settings()
    try:
        return _sign_on(port, "/?" + address + "!\r\n")
    except BaseException:
        _configure(port, settings)
        raise


def _sign_on(port, request):
    _configure(port, dict(baudrate=300, bytesize=serial.SEVENBITS,
                          parity=serial.PARITY_EVEN, stopbits=serial.STOPBITS_ONE))
    port.reset_input_buffer()
    port.write(request)
    line = port.read_until(b"\r\n", _LONGEST_IDENTIFICATION)
    echoing = line == request
    if echoing:
        line = port.read_until(b"\r\n", _LONGEST_IDENTIFICATION)
    if not line:
        raise SignOnError("no identification from the meter within %s s" % (port.timeout,))
    identification = _IDENTIFICATION.match(line)
    if identification is None:
        raise SignOnError("not a mode E identification: %r" % (line,))
    rate = identification.group("rate")
    acknowledgement = b"\x062" + rate + b"2\r\n"
    port.write(acknowledgement)
    if echoing:
        port.read(len(acknowledgement))
    port.flush()
    _configure(port, dict(baudrate=BAUD_RATES[rate], bytesize=serial.EIGHTBITS,
                          parity=serial.PARITY_NONE, stopbits=serial.STOPBITS_ONE))
    port.reset_input_buffer()
    return line[:-2]


def _configure(port, settings):
    """Give a pySerial port C{settings} (as from C{get_settings}) in one change.

    C{apply_settings} changes one setting at a time, and between 8N1 and
    7E1 lies 7N1 or 8E1, which a device may refuse; so the settings are
    set together and the port reconfigured once, as its setters would.
    """
    for name, value in settings.items():
        setattr(port, "_" + name, value)
    if port.is_open:
        port._reconfigure_port()


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
        timeout = Timeout(self._timeout)
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
            if events and self._pause(self.line_time(size - len(data)), timeout) is None:
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
        timeout = Timeout(self._write_timeout)
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
        """Seconds the line needs for C{count} bytes at the port's settings."""
        bits = 1 + self._bytesize + (self._parity != serial.PARITY_NONE) + self._stopbits
        return count * bits / float(self._baudrate)

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
        try:
            ready = dict(poller.poll(-1 if left is None else int(left * 1000 + 0.999)))
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
