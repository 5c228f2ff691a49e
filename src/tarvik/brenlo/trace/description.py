"""One line of text for one frame, whole or damaged.

The frame is decoded by the steps of L{tarvik.brenlo.frame}, so a
description never disagrees with the codec.
"""

from __future__ import absolute_import, division, print_function

import binascii
import itertools
import numbers
import re

from tarvik.utils import Utils
from tarvik.brenlo.brenloexception import BrenloException
from tarvik.brenlo.frame import (
    FLAG, LENGTH_MASK, MINIMUM_FRAME_LENGTH, SEGMENTATION_BIT, Frame, crc16,
    decode_control, find_fcs, find_hcs, read_addresses, read_check,
    read_format)

try:
    _TEXT = unicode
except NameError:  # Python 3
    _TEXT = str

Kind = Frame.FrameKind

TO_SERVER = "client to server"
TO_CLIENT = "server to client"

# Information fields longer than this are shown cut, with the count left.
_SHOWN_BYTES = 16

# Items taken from an object to describe: more than any frame has, so an
# endless iterable ends too.
_MOST_ITEMS = 1 << 16

_LLC_HEADERS = [([0xE6, 0xE6, 0x00], "LLC request"),
                ([0xE6, 0xE7, 0x00], "LLC response")]

# The link parameters of an SNRM or UA, as their sender states them.
_PARAMETER_NAMES = {0x05: "max info field transmit",
                    0x06: "max info field receive",
                    0x07: "window transmit",
                    0x08: "window receive"}
_PARAMETER_FORMAT = 0x81
_PARAMETER_GROUP = 0x80
_VALUE_SIZES = (1, 2, 4)

# Kinds that carry no information field.
_WITHOUT_INFO = (Kind.RR, Kind.RNR, Kind.DISC)

# The third status byte of an FRMR: why the frame was rejected.
_REJECTION_REASONS = [(0x01, "W: control field unknown"),
                      (0x02, "X: information field not allowed"),
                      (0x04, "Y: information field too long"),
                      (0x08, "Z: N(R) wrong")]


def describe(frame, direction=None):
    """Return a one-line description of one frame.

    @param frame: a list of byte values, a C{bytearray}, a byte string or
            hex text (a string of nothing but hex digits and white space)
            from the opening flag to the closing flag.
    @param direction: L{TO_SERVER}, L{TO_CLIENT} or None. It tells which
            address is the server's, shown as upper/lower value and size;
            without it the frame's kind and address sizes tell, and
            where they do not, both addresses are shown so.
    @return: the text; it names whatever is wrong with the frame. Nothing
            is raised, whatever C{frame} is and whatever its own methods
            raise.
    """
    values, error = byte_values(frame)
    if error is not None:
        return error
    return FrameReading(values).text(direction)


def byte_values(frame):
    """Return (list of byte values, None), or (None, why not)."""
    if isinstance(frame, _TEXT):
        try:
            frame = frame.encode("ascii")
        except UnicodeError:
            return None, "not a frame: text with other than hex digits"
    if isinstance(frame, bytes):
        digits = "".join(frame.decode("latin-1").split())
        if frame and not _is_hex(digits):
            return list(bytearray(frame)), None
        if len(digits) % 2:
            return None, "not a frame: hex text with an odd number of digits"
        return list(bytearray(binascii.unhexlify(digits))), None
    try:
        values = list(itertools.islice(iter(frame), _MOST_ITEMS + 1))
    except Exception:  # whatever the object's own iteration raises
        return None, "not a frame: %s" % short_repr(frame)
    if len(values) > _MOST_ITEMS:
        return None, "not a frame: more than %d items" % _MOST_ITEMS
    for value in values:
        if (isinstance(value, bool) or not isinstance(value, numbers.Integral)
                or not 0 <= value <= 255):
            return None, "not a frame: item %s is not a byte value" % (
                short_repr(value),)
    return [int(value) for value in values], None


_HEX_DIGITS = re.compile(r"^[0-9A-Fa-f]*$")


def _is_hex(text):
    return _HEX_DIGITS.match(text) is not None


def short_repr(value):
    """repr() of value, cut to 40 characters; never raises."""
    try:
        text = repr(value)
    except Exception:
        text = "<%s object>" % type(value).__name__
    return text if len(text) <= 40 else text[:37] + "..."


def to_hex(values):
    return Utils.bytes_to_hex_string(values)


def short_hex(values):
    if len(values) <= _SHOWN_BYTES:
        return to_hex(values)
    return "%s ... (%d more)" % (to_hex(values[:_SHOWN_BYTES]),
                                 len(values) - _SHOWN_BYTES)


def _check_text(value):
    """A check sequence as its two bytes on the wire, low byte first."""
    return to_hex([value & 0xFF, value >> 8])


def plural(count, word):
    return "%d %s%s" % (count, word, "" if count == 1 else "s")


def opens_frame(data, index):
    """Whether the flag at index is followed by a frame's format field."""
    try:
        format_field = read_format(data[index:index + 3])
    except BrenloException:
        return False
    return format_field & LENGTH_MASK >= MINIMUM_FRAME_LENGTH


class FrameReading(object):
    """What the codec's steps read from one frame, as far as they get.

    Every attribute that could not be read is None; C{problems} lists in
    words what is wrong, apart from failing check sequences, which
    C{hcs} and C{fcs} hold as (found, expected) pairs.
    """

    def __init__(self, values):
        self.values = values
        self.problems = []
        self.length = self.segmented = None
        self.dst = self.src = None
        self.control = self.kind = self.poll_final = None
        self.r_sequence = self.s_sequence = None
        self.hcs = self.fcs = self.info = None
        self.flags_inside = []
        self._read()
        if self.info:
            self.problems.extend(self._info_problems())

    def _read(self):
        buffer = self._with_opening_flag(self.values)
        try:
            format_field = read_format(buffer)
        except BrenloException as error:
            self.problems.append(str(error))
            return
        self.length = format_field & LENGTH_MASK
        self.segmented = bool(format_field & SEGMENTATION_BIT)
        fcs_index, end = self._find_end(buffer, format_field)
        if fcs_index is None:
            return
        self.flags_inside = [index for index in range(1, min(end, len(buffer)))
                             if buffer[index] == FLAG]
        header_limit = min(fcs_index, len(buffer))
        try:
            self.dst, self.src, control_index = read_addresses(buffer,
                                                               header_limit)
        except BrenloException as error:
            if end < len(buffer):  # a cut header has been named already
                self.problems.append(str(error))
            return
        self._read_control(buffer[control_index])
        try:
            hcs_index = find_hcs(control_index, fcs_index)
        except BrenloException as error:
            self.problems.append(str(error))
            hcs_index = None
        if hcs_index is not None and hcs_index + 1 < len(buffer):
            self.hcs = (read_check(buffer, hcs_index),
                        crc16(buffer[1:hcs_index]))
            self.info = buffer[hcs_index + 2:fcs_index]
        if fcs_index + 1 < len(buffer):
            self.fcs = (read_check(buffer, fcs_index),
                        crc16(buffer[1:fcs_index]))

    def _with_opening_flag(self, buffer):
        """Return buffer with an opening flag, naming a missing one."""
        if len(buffer) < 3 or buffer[0] == FLAG:
            return buffer
        self.problems.append("opening flag missing (0x%02X)" % buffer[0])
        if opens_frame([FLAG] + buffer, 0):  # the flag was left out
            return [FLAG] + buffer
        return [FLAG] + buffer[1:]  # the flag was damaged

    def _find_end(self, buffer, format_field):
        """Return (FCS index, closing flag index), or (None, None).

        Where the length field and the flags disagree, the flags win if
        the frame ends with one; a frame cut short keeps the layout of
        its length field (closing flag index at or beyond the end of the
        buffer).
        """
        try:
            fcs_index = find_fcs(buffer, format_field)
            end = fcs_index + 2
            if len(buffer) > end + 1:
                self.problems.append("%s after the closing flag"
                                     % plural(len(buffer) - end - 1, "byte"))
            return fcs_index, end
        except BrenloException as error:
            problem = str(error)
        between = len(buffer) - 2
        if buffer[-1] == FLAG and between >= MINIMUM_FRAME_LENGTH:
            self.problems.append("length field says %d bytes, %d between "
                                 "the flags" % (self.length, between))
            return between - 1, between + 1
        if len(buffer) == self.length + 1 >= MINIMUM_FRAME_LENGTH + 1:
            problem = "closing flag missing"  # all the rest is there
        self.problems.append(problem)
        if self.length < MINIMUM_FRAME_LENGTH:
            return None, None
        return self.length - 1, self.length + 1

    def _read_control(self, control):
        self.control = control
        try:
            (self.kind, self.poll_final, self.r_sequence,
             self.s_sequence) = decode_control(control)
        except BrenloException as error:
            self.problems.append(str(error))

    def _info_problems(self):
        """What the receiver cannot take from the information field."""
        if self.kind in _WITHOUT_INFO:
            return ["%s with an information field (%s)"
                    % (self.kind, plural(len(self.info), "byte"))]
        if self.kind in (Kind.SNRM, Kind.UA):
            return _parameter_problems(self.info, self.kind)
        return []

    def _checks(self):
        """Return (verdict text, passed) for each check sequence read."""
        checks = []
        for name, check in (("HCS", self.hcs), ("FCS", self.fcs)):
            if check is None:
                continue
            found, expected = check
            if found == expected:
                checks.append(("%s ok" % name, True))
            else:
                checks.append(("%s bad: found %s, expected %s" % (
                    name, _check_text(found), _check_text(expected)), False))
        return checks

    def check_failures(self):
        """Return the failing check sequences, each as a text."""
        return [text for text, passed in self._checks() if not passed]

    def flags_inside_text(self):
        """Where the 0x7E bytes inside the frame are, as C{byte 8} or
        C{bytes 8, 11}."""
        return "byte%s %s" % ("s" if len(self.flags_inside) > 1 else "",
                              ", ".join(map(str, self.flags_inside)))

    def is_sound(self):
        """Whether the frame was read whole and passes its checks."""
        return (not self.problems and self.fcs is not None
                and not self.check_failures())

    def suspect_flags(self):
        """Whether the 0x7E bytes inside are worth a note: only in a frame
        that is not sound, where they may mark a cut or a stuffing device;
        in a sound frame they are data."""
        return bool(self.flags_inside) and not self.is_sound()

    def text(self, direction=None):
        """Return the one-line description."""
        if self.length is None:
            return ": ".join(["; ".join(self.problems)]
                             + ([short_hex(self.values)] if self.values
                                else []))
        if direction is None:
            direction = own_direction(self)
        parts = [self._header_text(direction), self._checks_text()]
        if self.info:
            parts.append(self._info_text())
        notes = list(self.problems)
        if self.suspect_flags():
            notes.append("0x7E inside at " + self.flags_inside_text())
        if notes:
            parts.append("; ".join(notes))
        return " | ".join(part for part in parts if part)

    def _header_text(self, direction):
        words = []
        if self.kind is not None:
            words.append(_control_text(self.kind, self.r_sequence,
                                       self.s_sequence))
        elif self.control is not None:
            words.append("control 0x%02X" % self.control)
        if self.poll_final is not None:
            words.append("P/F=%d" % self.poll_final)
        words.append("seg=%d len=%d" % (self.segmented, self.length))
        if self.dst is not None:
            words.append("dst=%s src=%s" % (
                _address_text(self.dst, direction != TO_CLIENT),
                _address_text(self.src, direction != TO_SERVER)))
        return " ".join(words)

    def _checks_text(self):
        words = [text for text, _ in self._checks()]
        if self.fcs is None and self.dst is not None:
            words.append("FCS missing")
        return " ".join(words)

    def _info_text(self):
        info = self.info
        if self.kind in (Kind.SNRM, Kind.UA):
            content = _parameters_text(info)
        elif self.kind == Kind.FRMR:
            content = _rejection_text(info)
        else:
            content = _payload_text(info)
        return "info %s: %s" % (plural(len(info), "byte"), content)


def _control_text(kind, r_sequence, s_sequence):
    if kind == Kind.I:
        return "I N(S)=%d N(R)=%d" % (s_sequence, r_sequence)
    if kind in (Kind.RR, Kind.RNR):
        return "%s N(R)=%d" % (kind, r_sequence)
    return kind


def _address_text(address, is_server):
    if not is_server:
        return str(address.Upper)
    return "%d/%d (%s)" % (address.Upper, address.Lower,
                           plural(address.Size, "byte"))


def own_direction(reading):
    """The way a frame goes by its kind and address sizes, or None."""
    if reading.kind in (Kind.SNRM, Kind.DISC):
        return TO_SERVER
    if reading.kind in (Kind.UA, Kind.DM, Kind.FRMR):
        return TO_CLIENT
    if reading.dst is not None:
        if reading.dst.Size > 1:
            return TO_SERVER
        if reading.src.Size > 1:
            return TO_CLIENT
    return None


def _payload_text(info):
    for header, name in _LLC_HEADERS:
        if info[:3] == header:
            rest = info[3:]
            if not rest:
                return "%s %s" % (name, to_hex(header))
            return "%s %s + %s" % (name, to_hex(header), short_hex(rest))
    return short_hex(info)


def _parameters(info):
    """Yield (identifier, value bytes or None if cut short) for each
    parameter of a parameter list, after its three-byte header."""
    index = 3
    while index < len(info):
        identifier = info[index]
        size = info[index + 1] if index + 1 < len(info) else None
        value = info[index + 2:index + 2 + (size or 0)]
        if size is None or len(value) < size:
            yield identifier, None
            return
        yield identifier, value
        index += 2 + size


def _parameter_problems(info, kind):
    """What is wrong with the parameter list of an SNRM or UA."""
    if len(info) < 3 or info[:2] != [_PARAMETER_FORMAT, _PARAMETER_GROUP]:
        return ["parameters without the header 81 80 and a group length"]
    problems = []
    if info[2] != len(info) - 3:
        problems.append("parameter group length %d, %d bytes follow"
                        % (info[2], len(info) - 3))
    for identifier, value in _parameters(info):
        if value is None:
            problems.append("parameter list cut short")
        elif identifier not in _PARAMETER_NAMES:
            problems.append("parameter 0x%02X is none of 05 to 08%s" % (
                identifier, " (the client refuses the UA: Illegal UA data)"
                if kind == Kind.UA else ""))
        elif len(value) not in _VALUE_SIZES:
            problems.append("%s in %s: not 1, 2 or 4" % (
                _PARAMETER_NAMES[identifier], plural(len(value), "byte")))
    return problems


def _parameters_text(info):
    """Name the link parameters of an SNRM or UA, or show the bytes."""
    if info[:2] != [_PARAMETER_FORMAT, _PARAMETER_GROUP] or len(info) < 3:
        return short_hex(info)
    items = []
    for identifier, value in _parameters(info):
        name = _PARAMETER_NAMES.get(identifier,
                                    "parameter 0x%02X" % identifier)
        if value is None:
            items.append("%s cut short" % name)
        elif 1 <= len(value) <= 4:
            number = 0
            for byte in value:
                number = (number << 8) | byte
            items.append("%s=%d" % (name, number))
        else:
            items.append("%s=%s" % (name, to_hex(value) or "(empty)"))
    return "parameters " + ", ".join(items)


def _rejection_text(info):
    """Name the three status bytes of an FRMR, or show the bytes."""
    if len(info) != 3:
        return "status " + short_hex(info)
    rejected, counters, reasons = info
    try:
        kind, _, r_sequence, s_sequence = decode_control(rejected)
        control = "%s (0x%02X)" % (_control_text(kind, r_sequence, s_sequence),
                                   rejected)
    except BrenloException:
        control = "0x%02X" % rejected
    words = ["status: rejected %s, V(S)=%d V(R)=%d C/R=%d"
             % (control, (counters >> 1) & 7, counters >> 5,
                (counters >> 4) & 1)]
    words.extend(reason for bit, reason in _REJECTION_REASONS
                 if reasons & bit)
    return ", ".join(words)
