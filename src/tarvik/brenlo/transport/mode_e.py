"""The IEC 62056-21 mode E opening of an optical port."""

from __future__ import absolute_import, division, print_function

import re
import time

import serial

try:
    _TEXT = unicode
except NameError:  # Python 3
    _TEXT = str


class SignOnError(serial.SerialException):
    """The meter did not sign on in mode E: no identification came within
    the port's time-out, what came is not one, or it offers no HDLC. The
    port has its settings from before the sign-on back (see
    L{mode_e_sign_on} for when it could not get them back)."""


BAUD_RATES = {"0": 300, "1": 600, "2": 1200, "3": 2400, "4": 4800, "5": 9600, "6": 19200}
"""The baud character of a mode E identification, and the rate it names."""

REACTION_TIME = 0.2
"""Seconds to wait after the identification before the acknowledgement."""

SHORT_REACTION_TIME = 0.02
"""The same, for a meter whose identification has a lower-case third
letter: it accepts the shorter reaction time."""

WAKE_UP_TIME = 2.2
"""Seconds of NUL characters that wake a battery-powered meter."""

WAKE_UP_PAUSE = 1.6
"""Seconds of silence after the wake-up, before the sign-on."""

_SIGN_ON_FORMAT = dict(baudrate=300, bytesize=serial.SEVENBITS,
                       parity=serial.PARITY_EVEN, stopbits=serial.STOPBITS_ONE)
_HDLC_FORMAT = dict(bytesize=serial.EIGHTBITS, parity=serial.PARITY_NONE,
                    stopbits=serial.STOPBITS_ONE)
_FORMAT_NAMES = ("bytesize", "parity", "stopbits")
_BITS_PER_CHARACTER = 10  # start bit, 7 data bits, parity bit, stop bit

_IDENTIFICATION = re.compile(
    br"/[A-Za-z]{2}(?P<third>[A-Za-z])(?P<rate>[0-6])(?:\\(?P<mode>[\x21-\x7e]))?"
    br"[^/!\x00-\x1f\x7f-\xff]+\r\n\Z")
_HDLC_MODE = b"2"
_LONGEST_IDENTIFICATION = 64
_DEVICE_ADDRESS = re.compile(br"[0-9A-Za-z ]{0,32}\Z")

# pySerial's URL handlers that carry bytes but no line settings: setting a
# rate on them changes nothing on the wire.
_SETTINGLESS_MODULES = ("serial.urlhandler.protocol_socket",
                        "serial.urlhandler.protocol_loop")


def mode_e_sign_on(port, address="", reaction_time=None, require_hdlc=True, wake_up=False):
    """Run the IEC 62056-21 mode E opening on an open pySerial port.

    At 300 baud, 7E1, the port drops stale input and sends C{/?} + address
    + C{!} CR LF. The meter's identification line (C{/XXXZ}, an optional
    escape such as C{\\2}, the identification, CR LF) must come within the
    port's time-out; on an echoing probe, a line that repeats the request
    is its echo and is skipped. After the reaction time the port answers
    ACK C{2} Z C{2} CR LF (protocol mode E, binary), reads its echo back if
    the request was echoed, waits until the acknowledgement has had its
    time on the line, switches to the baud rate Z names at 8N1, and drops
    stale input. The port's other settings (time-outs, flow control) stay
    as they were.

    Only pySerial's public port interface is used (C{get_settings},
    C{apply_settings}, C{read_until}, C{write}, C{flush},
    C{reset_input_buffer}). Settings change one at a time, the rate first
    when it goes down and last when it goes up, so that the formats in
    between run at the lower rate; where the device refuses one of them
    all the same, the changes are made in the other order.

    Give the port a time-out that covers the meter's reaction time (up to
    1.5 s) and the line at 300 baud, 3 s or more: with C{timeout=None} a
    silent meter is waited for forever.

    When the sign-on fails, the port gets its settings back. If that fails
    too (the adapter was unplugged), the first error is raised all the
    same, with the restore's error as its C{restore_error} attribute; the
    port then reports the settings it was left with.

    @param port: an open pySerial port whose settings reach the line (a
        C{serial.Serial}, C{rfc2217://}; not C{socket://}).
    @param address: the meter's device address, up to 32 letters, digits
        and spaces; empty for the meter at the other end of the probe.
    @param reaction_time: seconds between the identification and the
        acknowledgement; by default 0.2, or 0.02 when the identification's
        third letter is lower case.
    @param require_hdlc: refuse an identification without the escape
        C{\\2} (a meter that offers no HDLC); False acknowledges it all the
        same.
    @param wake_up: first send NUL characters at 300 baud for 2.2 s, then
        pause 1.6 s: the wake-up a battery-powered meter needs.
    @return: the identification line as the meter sent it, without CR LF.
    @raise SignOnError: no identification within the time-out, a line that
        is not one, or one without HDLC; the port has its settings from
        before.
    @raise ValueError: an address that cannot be sent, or a port that
        cannot change its settings; the port is untouched.
    """
    if isinstance(address, _TEXT):
        try:
            address = address.encode("ascii")
        except UnicodeError:
            raise ValueError("not a device address: %r" % (address,))
    if not _DEVICE_ADDRESS.match(address):
        raise ValueError("not a device address: %r" % (address,))
    if type(port).__module__ in _SETTINGLESS_MODULES:
        raise ValueError("%s cannot change its baud rate or character format: "
                         "mode E needs a serial port" % (getattr(port, "portstr", None) or port,))
    settings = port.get_settings()
    try:
        return _SignOn(port, reaction_time, require_hdlc).run(b"/?" + address + b"!\r\n", wake_up)
    except BaseException as error:
        error.restore_error = _restore(port, settings)
        raise


def _native(data):
    """Bytes as the interpreter's native string."""
    return data if str is bytes else data.decode("latin-1")


def _restore(port, settings):
    """Give the port its settings back; return the error that prevented
    it, or None."""
    try:
        _apply(port, settings)
    except Exception as error:  # the sign-on's own error is the one raised
        return error
    return None


class _SignOn(object):
    """One run of the opening on one port."""

    def __init__(self, port, reaction_time, require_hdlc):
        self.port = port
        self.reaction_time = reaction_time
        self.require_hdlc = require_hdlc

    def run(self, request, wake_up):
        port = self.port
        _apply(port, _SIGN_ON_FORMAT)
        if wake_up:
            self._wake_up()
        port.reset_input_buffer()
        port.write(request)
        line = port.read_until(b"\r\n", _LONGEST_IDENTIFICATION)
        echoing = line == request
        if echoing:
            line = port.read_until(b"\r\n", _LONGEST_IDENTIFICATION)
        rate = self._check(line)
        time.sleep(self._reaction_time(line))
        acknowledgement = b"\x062" + rate + b"2\r\n"
        self._send_whole(acknowledgement, echoing)
        _apply(port, dict(_HDLC_FORMAT, baudrate=BAUD_RATES[rate.decode("ascii")]))
        port.reset_input_buffer()
        return _native(line[:-2])

    def _wake_up(self):
        port = self.port
        count = int(WAKE_UP_TIME * port.baudrate / _BITS_PER_CHARACTER)
        self._send_whole(b"\x00" * count, False)
        time.sleep(WAKE_UP_PAUSE)

    def _check(self, line):
        """Return the baud character of an identification line."""
        if not line:
            raise SignOnError("no identification from the meter within %s s" % (self.port.timeout,))
        identification = _IDENTIFICATION.match(line)
        if identification is None:
            raise SignOnError("not a mode E identification: %r" % (line,))
        if self.require_hdlc and identification.group("mode") != _HDLC_MODE:
            raise SignOnError("the meter offers no HDLC (no \\2 in its identification): %r" % (line,))
        return identification.group("rate")

    def _reaction_time(self, line):
        if self.reaction_time is not None:
            return self.reaction_time
        third = _IDENTIFICATION.match(line).group("third")
        return SHORT_REACTION_TIME if third.islower() else REACTION_TIME

    def _send_whole(self, data, echoing):
        """Write data and return once its last character has left the line.

        C{flush} alone does not tell: some USB adapters return from it while
        their own buffer still holds the characters.
        """
        port = self.port
        started = time.time()
        port.write(data)
        if echoing:
            port.read(len(data))
        port.flush()
        left = started + len(data) * _BITS_PER_CHARACTER / port.baudrate - time.time()
        if left > 0:
            time.sleep(left)


def _apply(port, settings):
    """Give a pySerial port C{settings} (as from C{get_settings}).

    C{apply_settings} changes one setting at a time, and a device may
    refuse a format on the way: 7N1 or 8E1 between 8N1 and 7E1, or any
    format change without a rate change, as some ptys do. The rate
    changes first when it goes down and last when it goes up, so that the
    formats in between run at the lower of the two rates. Where the device
    refuses a step all the same, the steps taken are undone and the
    changes made in the other order; where it refuses that too, the port
    is closed, given every setting and opened again, which sets them all
    in one change (and resets the port's input and its modem lines, as
    any opening does).
    """
    current = port.get_settings()
    changes = dict((name, value) for name, value in settings.items()
                   if current.get(name) != value)
    rate = dict((name, value) for name, value in changes.items() if name == "baudrate")
    rest = dict((name, value) for name, value in changes.items() if name != "baudrate")
    order = [rate, rest] if changes.get("baudrate", 0) < current["baudrate"] else [rest, rate]
    try:
        _apply_in_order(port, current, order)
    except Exception:  # a refused format: termios.error, SerialException...
        try:
            _apply_in_order(port, current, order[::-1])
        except Exception:
            if not getattr(port, "is_open", False):
                raise
            port.close()
            port.apply_settings(changes)
            port.open()


def _apply_in_order(port, current, steps):
    """Apply each setting of steps in turn; on a refusal, put back those
    already changed and raise the refusal."""
    changed = []
    try:
        for step in steps:
            for name in _ordered(step):
                changed.append(name)
                port.apply_settings({name: step[name]})
    except BaseException:
        for name in reversed(changed):
            port.apply_settings({name: current[name]})
        raise


def _ordered(settings):
    """The format before the rest, each in a fixed order."""
    return sorted(settings, key=lambda name: (name not in _FORMAT_NAMES, name))
