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

  - L{open_line} opens the right line for a name: a
    L{FastSerialLine} for a device path (waiting in one event loop for the
    whole process, one wake-up per frame), a L{TcpLine} for
    C{socket://host:port}, pySerial's C{serial_for_url} for other URLs.

The IOStream contract every stream here keeps: C{read(size)} returns at
most C{size} bytes, and fewer only when its time-out expired.
"""

from __future__ import absolute_import

from tarvik.brenlo.transport.echo import EchoCancelling
from tarvik.brenlo.transport.mode_e import BAUD_RATES, SignOnError, mode_e_sign_on
from tarvik.brenlo.transport.serial_line import SerialLine
from tarvik.brenlo.transport.lines import FastSerialLine, TcpLine, open_line

__all__ = ["EchoCancelling", "BAUD_RATES", "SignOnError", "mode_e_sign_on", "SerialLine",
           "FastSerialLine", "TcpLine", "open_line"]
