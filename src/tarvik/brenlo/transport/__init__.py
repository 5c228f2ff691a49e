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

from __future__ import absolute_import

from tarvik.brenlo.transport.echo import EchoCancelling
from tarvik.brenlo.transport.mode_e import BAUD_RATES, SignOnError, mode_e_sign_on
from tarvik.brenlo.transport.serial_line import SerialLine

__all__ = ["EchoCancelling", "BAUD_RATES", "SignOnError", "mode_e_sign_on", "SerialLine"]
