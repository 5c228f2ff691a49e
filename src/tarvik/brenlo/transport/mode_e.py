"""The IEC 62056-21 mode E opening of an optical port."""

from __future__ import absolute_import

import re

import serial


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
