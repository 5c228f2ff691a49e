"""open_line: the right line for a name, device path or URL."""

from __future__ import absolute_import, division, print_function

import serial

from tarvik.brenlo.transport.serial_line import SerialLine

try:
    from tarvik.brenlo.transport.fast_line import FastSerialLine
    from tarvik.brenlo.transport.tcp_line import TcpLine
except ImportError:  # the extension is not built: pySerial's own ports
    FastSerialLine, TcpLine = SerialLine, None


def open_line(name, **settings):
    """Open the line C{name} with C{serial.Serial}'s keyword settings
    (C{baudrate}, C{timeout}, C{write_timeout}, ...):

      - C{socket://host:port}: a L{TcpLine<tarvik.brenlo.transport.tcp_line.TcpLine>}
        (also C{connect_timeout}; C{baudrate} is the meter's line rate
        behind the gateway);
      - any other URL (C{rfc2217://}, C{loop://}, ...): pySerial's
        C{serial_for_url};
      - a device path: a L{FastSerialLine<tarvik.brenlo.transport.fast_line.FastSerialLine>}.

    Every line returned has C{serial.Serial}'s read/write/time-out contract.
    """
    if name.startswith("socket://") and TcpLine is not None:
        return TcpLine(name, **settings)
    if "://" in name:
        return serial.serial_for_url(name, **settings)
    return FastSerialLine(name, **settings)
