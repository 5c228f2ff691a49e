"""A meter behind a TCP gateway or modem, read like a serial line."""

from __future__ import absolute_import, division, print_function

import socket

from serial.serialutil import SerialException

try:
    from urllib.parse import urlsplit
except ImportError:  # Python 2
    from urlparse import urlsplit

from tarvik.brenlo.transport._line import Channel
from tarvik.brenlo.transport.fast_line import ChannelIO, byte_time

SCHEME = "socket"


def parse_url(url):
    """(host, port) of C{socket://host:port}; C{ValueError} for anything else."""
    parts = urlsplit(url)
    if parts.scheme != SCHEME or not parts.hostname or parts.path or parts.query:
        raise ValueError("expected socket://<host>:<port>, not {!r}".format(url))
    if parts.port is None:
        raise ValueError("{!r} names no port".format(url))
    return parts.hostname, parts.port


class TcpLine(ChannelIO):
    """A TCP connection to a meter's gateway with the read/write/time-out
    contract of C{serial.Serial} (see L{ChannelIO}), waiting in the
    process's event loop: no descriptor ceiling (no select(2)), one
    wake-up of the reading thread per frame.

    C{baudrate} is the rate of the meter's line behind the gateway: once a
    frame's first bytes are in, the read sleeps the line time of the bytes
    still missing at that rate. 0 wakes for every segment that arrives,
    for gateways that deliver faster than the meter's line.

    A connection the other end closed is reported by the read that finds
    nothing left, as C{SerialException("socket disconnected")}; the bytes
    that came before the close are returned first.

    @ivar url: the C{socket://host:port} it connects to.
    """

    _closed_message = "socket disconnected"

    def __init__(self, url=None, baudrate=9600, timeout=None, write_timeout=None, connect_timeout=10.0):
        """Connect at once if C{url} is given.

        @param connect_timeout: seconds to wait for the connection (None:
            the system's own limit).
        """
        self.url = url
        self.timeout = timeout
        self.write_timeout = write_timeout
        self.connect_timeout = connect_timeout
        self._baudrate = baudrate
        self._socket = None
        self._channel = None
        if url is not None:
            self.open()

    @property
    def is_open(self):
        return self._socket is not None

    @property
    def baudrate(self):
        """The baud rate of the meter's line behind the gateway."""
        return self._baudrate

    @baudrate.setter
    def baudrate(self, value):
        if int(value) < 0:
            raise ValueError("Not a valid baudrate: {!r}".format(value))
        self._baudrate = int(value)
        self._retime()

    def open(self):
        """Connect; C{SerialException} if it fails or takes longer than
        C{connect_timeout}."""
        if self.is_open:
            raise SerialException("Port is already open.")
        try:
            address = parse_url(self.url)
        except (TypeError, ValueError) as e:
            raise SerialException(str(e))
        try:
            connection = socket.create_connection(address, timeout=self.connect_timeout)
        except socket.timeout:
            raise SerialException("could not open port {}: connection timed out after {} s".format(
                self.url, self.connect_timeout))
        except (socket.error, OSError) as e:
            raise SerialException("could not open port {}: {}".format(self.url, e))
        try:
            connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            self._channel = Channel(connection.fileno(), self._byte_time(), empty_read_ends=True)
        except (socket.error, OSError):
            connection.close()
            raise
        self._socket = connection

    def close(self):
        """Leave the event loop and close the connection."""
        channel, self._channel = self._channel, None
        if channel is not None:
            channel.close()
        connection, self._socket = self._socket, None
        if connection is not None:
            connection.close()

    def fileno(self):
        return self._socket.fileno()

    @property
    def in_waiting(self):
        """Bytes read ahead and not yet returned."""
        return self._channel.buffered() if self.is_open else 0

    def reset_input_buffer(self):
        """Drop what has arrived and not been read."""
        if self.is_open:
            while self._channel.read(65536, 0):
                pass

    def reset_output_buffer(self):
        """Nothing: the socket sends what it takes."""

    def flush(self):
        """Nothing: writes return once the socket has taken the bytes."""

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.close()

    def __repr__(self):
        return "{}(url={!r}, baudrate={}, timeout={}, open={})".format(
            type(self).__name__, self.url, self._baudrate, self.timeout, self.is_open)

    def _byte_time(self):
        return byte_time(self._baudrate)
