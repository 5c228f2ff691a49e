"""What is on the line: frame descriptions, annotated traces and logging.

  - L{describe}C{(frame)} gives one line of text for one frame, whole or
    damaged, for instance::

      I N(S)=0 N(R)=1 P/F=1 seg=0 len=14 dst=16 src=1/0 (1 byte) |
      HCS ok FCS ok | info 5 bytes: LLC response E6 E7 00 + C4 01

    (on one line). The frame is decoded by the steps of
    L{tarvik.brenlo.frame}, so a description never disagrees with the
    codec.
  - L{use_logger}C{(parameters)} logs every frame and state change of a
    link through the standard C{logging} module.
  - C{python -m tarvik.brenlo.trace [FILE ...]} annotates a trace (see
    L{main}).

Reading a trace
===============
The files are read in order as one trace; without a file, standard
input is read. Every line is printed as it is, followed by what was read
from it. A line may hold:

  - C{CB_S: <hex>} (sent), C{CB_R: <hex>} (received) and C{CB_s: <state>},
    as the demonstration and the C{use_logger} log print them (the log's
    C{sent:}, C{received:} and C{state:} are read alike);
  - the simulator's C{--verbose} lines: C{<< <hex>} is a frame the meter
    received, C{>> <hex>} one the meter sent;
  - bare hex, with or without spaces, one frame, several glued together,
    or a frame split over several lines;
  - other text with hex after it, such as a log line.

A line with none of these is shown as it is and counted as not read.

The hex of a line is its first run of hex words (each of an even number
of digits) that holds a 7E byte: after a marker above (also at the end
of a word, as in C{DEBUG:tarvik.brenlo:sent:}), or anywhere in the line.
Hex on a line with a marker is taken as whole frames, as the callbacks
and the simulator print them; hex without a marker may go on in the next
line without one. Bytes outside frames are shown as noise.

Which way a frame went
----------------------
The sequence-number checks need to know which station sent a frame. In
this order:

  1. the line's marker (C{CB_S}, C{sent:} and C{<<}: client to server;
     C{CB_R}, C{received:} and C{>>}: server to client);
  2. the kind: SNRM and DISC go to the server, UA, DM and FRMR to the
     client;
  3. the addresses learnt from earlier frames of the trace whose way is
     known: a frame addressed to the client, or from the server, goes to
     the client;
  4. the address sizes: the client's address is one byte, so a frame to
     a 2- or 4-byte address goes to the server, one from such an address
     to the client;
  5. otherwise the way is unknown (C{?->?}) and the frame takes no part
     in the checks. Two 1-byte addresses alone do not tell, so a bare
     hex trace of I and RR frames needs an SNRM, UA, DISC or DM before
     them.

What is flagged
---------------
Lines starting with C{!!} mark errors:

  - a frame that cannot be read whole: cut short, a flag missing, a
    length field that disagrees with the flags, an unknown control field;
  - a check sequence (HCS, FCS) that fails;
  - an N(S) that is not the next one the receiver expects, or an N(R)
    that does not acknowledge what its sender has received; counting
    starts at an SNRM or UA (or at the first numbered frame when the
    trace starts in the middle of a link), frames that fail their checks
    are not counted, and after a mismatch counting goes on from the
    numbers in the frame, so that one jump is flagged once;
  - a frame from the client with the poll bit set that is followed by
    another frame from the client, or by the end of the trace, with no
    frame from the server between them.

Lines starting with C{!?} note a 0x7E byte inside a frame. The link
sends no byte stuffing, so such a byte is data; but where a frame fails
its checks it often marks a cut frame, or a device that stuffs bytes.

The trace ends with a summary line: frames and bytes each way, errors,
notes, noise bytes outside frames and lines not read.
"""

from __future__ import absolute_import

import argparse
import binascii
import logging
import re
import sys

from tarvik.utils import Utils
from tarvik.brenlo import HDLCProtocolState
from tarvik.brenlo.brenloexception import BrenloException
from tarvik.brenlo.frame import (
    FLAG, LENGTH_MASK, MINIMUM_FRAME_LENGTH, SEGMENTATION_BIT, Frame, crc16,
    decode_control, find_fcs, find_hcs, read_addresses, read_check,
    read_format)

_Kind = Frame.FrameKind

TO_SERVER = "client to server"
TO_CLIENT = "server to client"

_ARROWS = {TO_SERVER: "C->S", TO_CLIENT: "S->C", None: "?->?"}

# Information fields longer than this are shown cut, with the count left.
_SHOWN_BYTES = 16

_LLC_HEADERS = [([0xE6, 0xE6, 0x00], "LLC request"),
                ([0xE6, 0xE7, 0x00], "LLC response")]

# The link parameters of an SNRM or UA, as their sender states them.
_PARAMETER_NAMES = {0x05: "max info field transmit",
                    0x06: "max info field receive",
                    0x07: "window transmit",
                    0x08: "window receive"}
_PARAMETER_FORMAT = 0x81
_PARAMETER_GROUP = 0x80

# The third status byte of an FRMR: why the frame was rejected.
_REJECTION_REASONS = [(0x01, "W: control field unknown"),
                      (0x02, "X: information field not allowed"),
                      (0x04, "Y: information field too long"),
                      (0x08, "Z: N(R) wrong")]


# ------------------------------------------------------------ describe

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
            is raised, whatever C{frame} is.
    """
    values, error = _byte_values(frame)
    if error is not None:
        return error
    return _FrameReading(values).text(direction)


def _byte_values(frame):
    """Return (list of byte values, None), or (None, why not)."""
    if isinstance(frame, unicode):
        try:
            frame = frame.encode("ascii")
        except UnicodeError:
            return None, "not a frame: text with other than hex digits"
    if isinstance(frame, str):
        digits = "".join(frame.split())
        if frame and not _is_hex(digits):
            return list(bytearray(frame)), None
        if len(digits) % 2:
            return None, "not a frame: hex text with an odd number of digits"
        return list(bytearray(binascii.unhexlify(digits))), None
    try:
        values = list(frame)
    except TypeError:
        return None, "not a frame: %s" % _short_repr(frame)
    for value in values:
        if (isinstance(value, bool) or not isinstance(value, (int, long))
                or not 0 <= value <= 255):
            return None, "not a frame: item %s is not a byte value" % (
                _short_repr(value),)
    return values, None


_HEX_DIGITS = re.compile(r"^[0-9A-Fa-f]*$")


def _is_hex(text):
    return _HEX_DIGITS.match(text) is not None


def _short_repr(value):
    text = repr(value)
    return text if len(text) <= 40 else text[:37] + "..."


def _hex(values):
    return Utils.bytes_to_hex_string(values)


def _short_hex(values):
    if len(values) <= _SHOWN_BYTES:
        return _hex(values)
    return "%s ... (%d more)" % (_hex(values[:_SHOWN_BYTES]),
                                 len(values) - _SHOWN_BYTES)


def _check_text(value):
    """A check sequence as its two bytes on the wire, low byte first."""
    return _hex([value & 0xFF, value >> 8])


def _plural(count, word):
    return "%d %s%s" % (count, word, "" if count == 1 else "s")


class _FrameReading(object):
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
        if end < len(buffer):
            self.fcs = (read_check(buffer, fcs_index),
                        crc16(buffer[1:fcs_index]))

    def _with_opening_flag(self, buffer):
        """Return buffer with an opening flag, naming a missing one."""
        if len(buffer) < 3 or buffer[0] == FLAG:
            return buffer
        self.problems.append("opening flag missing (0x%02X)" % buffer[0])
        if _opens_frame([FLAG] + buffer, 0):  # the flag was left out
            return [FLAG] + buffer
        return [FLAG] + buffer[1:]  # the flag was damaged

    def _find_end(self, buffer, format_field):
        """Return (FCS index, closing flag index), or (None, None).

        Where the length field and the flags disagree, the flags win if
        the frame ends with one; a frame cut short keeps the layout of
        its length field and has no FCS (closing flag index beyond the
        buffer).
        """
        try:
            fcs_index = find_fcs(buffer, format_field)
            end = fcs_index + 2
            if len(buffer) > end + 1:
                self.problems.append("%s after the closing flag"
                                     % _plural(len(buffer) - end - 1, "byte"))
            return fcs_index, end
        except BrenloException as error:
            problem = str(error)
        between = len(buffer) - 2
        if buffer[-1] == FLAG and between >= MINIMUM_FRAME_LENGTH:
            self.problems.append("length field says %d bytes, %d between "
                                 "the flags" % (self.length, between))
            return between - 1, between + 1
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

    def text(self, direction=None):
        """Return the one-line description."""
        if self.length is None:
            return ": ".join(["; ".join(self.problems)]
                             + ([_short_hex(self.values)] if self.values
                                else []))
        if direction is None:
            direction = _own_direction(self)
        parts = [self._header_text(direction), self._checks_text()]
        if self.info:
            parts.append(self._info_text())
        notes = list(self.problems)
        if self.flags_inside:
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
        if self.kind in (_Kind.SNRM, _Kind.UA):
            content = _parameters_text(info)
        elif self.kind == _Kind.FRMR:
            content = _rejection_text(info)
        else:
            content = _payload_text(info)
        return "info %s: %s" % (_plural(len(info), "byte"), content)


def _control_text(kind, r_sequence, s_sequence):
    if kind == _Kind.I:
        return "I N(S)=%d N(R)=%d" % (s_sequence, r_sequence)
    if kind in (_Kind.RR, _Kind.RNR):
        return "%s N(R)=%d" % (kind, r_sequence)
    return kind


def _address_text(address, is_server):
    if not is_server:
        return str(address.Upper)
    return "%d/%d (%s)" % (address.Upper, address.Lower,
                           _plural(address.Size, "byte"))


def _own_direction(reading):
    """The way a frame goes by its kind and address sizes, or None."""
    if reading.kind in (_Kind.SNRM, _Kind.DISC):
        return TO_SERVER
    if reading.kind in (_Kind.UA, _Kind.DM, _Kind.FRMR):
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
                return "%s %s" % (name, _hex(header))
            return "%s %s + %s" % (name, _hex(header), _short_hex(rest))
    return _short_hex(info)


def _parameters_text(info):
    """Name the link parameters of an SNRM or UA, or show the bytes."""
    if info[:2] != [_PARAMETER_FORMAT, _PARAMETER_GROUP] or len(info) < 3:
        return _short_hex(info)
    items = []
    index = 3
    while index < len(info):
        identifier = info[index]
        size = info[index + 1] if index + 1 < len(info) else None
        value = info[index + 2:index + 2 + (size or 0)]
        if size is None or len(value) < size:
            items.append("cut short: %s" % _hex(info[index:]))
            break
        name = _PARAMETER_NAMES.get(identifier,
                                    "parameter 0x%02X" % identifier)
        if 1 <= size <= 4:
            number = 0
            for byte in value:
                number = (number << 8) | byte
            items.append("%s=%d" % (name, number))
        else:
            items.append("%s=%s" % (name, _hex(value) or "(empty)"))
        index += 2 + size
    if info[2] != len(info) - 3:
        items.append("group length field %d, %d bytes follow"
                     % (info[2], len(info) - 3))
    return "parameters " + ", ".join(items)


def _rejection_text(info):
    """Name the three status bytes of an FRMR, or show the bytes."""
    if len(info) != 3:
        return "status " + _short_hex(info)
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


# ---------------------------------------------------------- use_logger

def use_logger(parameters, logger=None, level=logging.DEBUG):
    """Log every frame and state change of a link.

    Sets the three callbacks of an HDLCParameters record, so set it up
    before the HDLCProtocol is made with it. Each frame is logged as
    C{sent: <hex> | <description>} or C{received: <hex> | <description>},
    each state change as C{state: NRM}; the command of this module reads
    such a log back.

    @param parameters: the L{tarvik.brenlo.HDLCParameters} record.
    @param logger: a C{logging.Logger}; by default the one named
            C{tarvik.brenlo}.
    @param level: the level of every record (C{logging.DEBUG}).
    @return: C{parameters}.
    """
    if logger is None:
        logger = logging.getLogger("tarvik.brenlo")

    def on_sent(stream):
        _log_frame(logger, level, "sent:", TO_SERVER, stream)

    def on_received(stream):
        _log_frame(logger, level, "received:", TO_CLIENT, stream)

    def on_state_change(state):
        logger.log(level, "state: %s", HDLCProtocolState.str(state))

    parameters.SentStreamCallback = on_sent
    parameters.ReceivedStreamCallBack = on_received
    parameters.StateChangeCallBack = on_state_change
    return parameters


def _log_frame(logger, level, marker, direction, stream):
    if not logger.isEnabledFor(level):
        return
    values, error = _byte_values(stream)
    if error is not None:
        logger.log(level, "%s %s", marker, error)
    else:
        logger.log(level, "%s %s | %s", marker, _hex(values),
                   describe(values, direction))


# ------------------------------------------------------ reading traces

_FRAME_MARKERS = {"CB_S:": TO_SERVER, "sent:": TO_SERVER, "<<": TO_SERVER,
                  "CB_R:": TO_CLIENT, "received:": TO_CLIENT, ">>": TO_CLIENT}
_STATE_MARKERS = ("CB_s:", "state:")
_HEX_WORD = re.compile(r"^(?:[0-9A-Fa-f]{2})+$")


class _TraceLine(object):
    """What one line of a trace holds: a state, or hex with its way.

    C{values} is None on a line without frame bytes; C{direction} is
    set only by a marker.
    """

    def __init__(self, line, continuing):
        """
        @param continuing: bytes of an unfinished frame wait for more, so
                hex without a 7E byte is read too.
        """
        self.state = None
        self.values = None
        self.direction = None
        words = line.split()
        for index, word in enumerate(words[:-1]):
            if _marker(word) in _STATE_MARKERS:
                self.state = words[index + 1]
                return
        runs = _hex_runs(words)
        if runs == [(0, len(words))]:
            self.values = _run_values(words, runs[0])  # a bare hex line
            return
        for run in runs:
            values = _run_values(words, run)
            marker = _marker(words[run[0] - 1]) if run[0] > 0 else None
            if FLAG in values or (continuing and marker not in _FRAME_MARKERS):
                self.values = values
                self.direction = _FRAME_MARKERS.get(marker)
                return


def _marker(word):
    """Return the marker that word is or ends with, as in the
    C{DEBUG:tarvik.brenlo:sent:} of a log line, or word itself."""
    return word.rsplit(":", 2)[-2] + ":" if word.endswith(":") else word


def _hex_runs(words):
    """Return (start, end) of each run of hex words."""
    runs = []
    start = None
    for index, word in enumerate(words + [""]):
        if _HEX_WORD.match(word):
            if start is None:
                start = index
        elif start is not None:
            runs.append((start, index))
            start = None
    return runs


def _run_values(words, run):
    return list(bytearray(binascii.unhexlify("".join(words[run[0]:run[1]]))))


def _split(data, final):
    """Cut byte values into frames and the noise between them.

    Each frame runs from its opening flag as far as its length field
    says. Where it does not end there with a closing flag and a good
    FCS, but a 0x7E byte before that end is followed by a format field,
    the frame was cut short and a new one starts at that byte; where the
    length field points to no closing flag, the next flag ends the
    frame. A closing flag opens the next frame too when a format field
    follows it at once.

    @param final: no more bytes follow; otherwise an unfinished frame at
            the end is kept for them.
    @return: (pieces, rest): pieces is a list of (is_frame, values); rest
            holds the start of an unfinished frame.
    """
    pieces = []
    start = 0
    while start < len(data):
        if data[start] != FLAG:
            end = _next_flag(data, start)
            pieces.append((False, data[start:end]))
            start = end
        elif start + 1 < len(data) and data[start + 1] == FLAG:
            start += 1  # a flag between frames
        elif start + 1 == len(data):
            return pieces, ([] if final else data[start:])
        else:
            cut = _frame_cut(data, start, final)
            if cut is None:
                return pieces, data[start:]
            end, start_after = cut
            pieces.append((True, data[start:end]))
            start = start_after
    return pieces, []


def _next_flag(data, start):
    try:
        return data.index(FLAG, start)
    except ValueError:
        return len(data)


def _opens_frame(data, index):
    """Whether the flag at index is followed by a frame's format field."""
    try:
        format_field = read_format(data[index:index + 3])
    except BrenloException:
        return False
    return format_field & LENGTH_MASK >= MINIMUM_FRAME_LENGTH


def _after_flag(data, index):
    """Where the next piece starts after a closing flag at index."""
    return index if _opens_frame(data, index) else index + 1


def _frame_cut(data, start, final):
    """Return (end, next start) of the frame opened at start, or None.

    None means the frame may go on in bytes not seen yet.
    """
    size = len(data)
    if size - start < 3:
        return None if not final else (size, size)
    if _opens_frame(data, start):
        end = start + (((data[start + 1] << 8) | data[start + 2])
                       & LENGTH_MASK) + 1
        closed = end < size and data[end] == FLAG
        starts = [index for index in _flags(data, start + 1, min(end, size))
                  if _opens_frame(data, index)]
        if closed and (not starts
                       or _FrameReading(data[start:end + 1]).is_sound()):
            return end + 1, _after_flag(data, end)
        if starts:
            return starts[0], starts[0]  # cut short by the next frame
        if end >= size and not final:
            return None
    # No frame can be read by its length field: the next flag ends it.
    later = _next_flag(data, start + 1)
    if later == size:
        return size, size
    return later + 1, _after_flag(data, later)


def _flags(data, start, stop):
    """Return the indices of the flags in data[start:stop]."""
    found = []
    index = _next_flag(data, start)
    while index < stop:
        found.append(index)
        index = _next_flag(data, index + 1)
    return found


class _LinkWatch(object):
    """Follows one link through a trace and finds what to flag.

    C{next_s_sequence} holds, for each way, the N(S) the receiver
    expects next (None while unknown); the N(R) that a station sends is
    the N(S) it expects from the other way.
    """

    def __init__(self):
        self.client = self.server = None
        self.next_s_sequence = {TO_SERVER: None, TO_CLIENT: None}
        self.unanswered = None

    def direction(self, reading, marked):
        """Return the way a frame went (see the module's docstring)."""
        if marked is not None:
            return marked
        own = _own_direction(reading)
        if own is not None or reading.dst is None:
            return own
        if reading.dst == self.client or reading.src == self.server:
            return TO_CLIENT
        if reading.dst == self.server or reading.src == self.client:
            return TO_SERVER
        return None

    def frame(self, reading, direction):
        """Take in one frame; return (flags on earlier frames, flags)."""
        earlier = []
        if direction == TO_SERVER and self.unanswered is not None:
            earlier.append(self._no_answer("before this frame"))
        if direction == TO_CLIENT:
            self.unanswered = None
        elif direction == TO_SERVER and reading.poll_final:
            self.unanswered = reading
        flags = []
        if direction is not None and reading.is_sound():
            self._learn_addresses(reading, direction)
            flags = self._sequence_flags(reading, direction)
        return earlier, flags

    def finish(self):
        """Return the flags that only the end of the trace shows."""
        if self.unanswered is None:
            return []
        return [self._no_answer("at the end of the trace")]

    def _no_answer(self, where):
        kind = self.unanswered.kind or "frame"
        self.unanswered = None
        return "no answer to the client's %s %s" % (kind, where)

    def _learn_addresses(self, reading, direction):
        if direction == TO_SERVER:
            self.server, self.client = reading.dst, reading.src
        else:
            self.client, self.server = reading.dst, reading.src

    def _restart(self, number):
        self.next_s_sequence = {TO_SERVER: number, TO_CLIENT: number}

    def _sequence_flags(self, reading, direction):
        kind = reading.kind
        if kind in (_Kind.SNRM, _Kind.UA):
            self._restart(0)
            return []
        if kind in (_Kind.DISC, _Kind.DM):
            self._restart(None)
            return []
        sender = "client" if direction == TO_SERVER else "server"
        back = TO_CLIENT if direction == TO_SERVER else TO_SERVER
        flags = []
        if kind == _Kind.I:
            flags += self._expect(direction, reading.s_sequence, "N(S)",
                                  sender)
            self.next_s_sequence[direction] = (reading.s_sequence + 1) % 8
        if kind in (_Kind.I, _Kind.RR, _Kind.RNR):
            flags += self._expect(back, reading.r_sequence, "N(R)", sender)
            self.next_s_sequence[back] = reading.r_sequence
        return flags

    def _expect(self, way, number, name, sender):
        expected = self.next_s_sequence[way]
        if expected is None or expected == number:
            return []
        return ["%s=%d from the %s, expected %d" % (name, number, sender,
                                                    expected)]


class _TraceReader(object):
    """Prints a trace line by line with what each line holds."""

    def __init__(self, output):
        self.output = output
        self.link = _LinkWatch()
        self.loose = []  # an unfinished frame from lines without a marker
        self.frames = {TO_SERVER: [0, 0], TO_CLIENT: [0, 0], None: [0, 0]}
        self.errors = self.notes = self.noise = self.unread = 0

    def feed(self, line):
        """Print one line of the trace and what it holds."""
        self._write(line)
        parsed = _TraceLine(line, bool(self.loose))
        if parsed.state is not None:
            pass  # the SNRM, UA, DISC or DM before it restarts the counting
        elif parsed.values is None:
            self.unread += bool(line.strip())
        elif parsed.direction is not None:
            pieces, _ = _split(parsed.values, True)
            self._report(pieces, parsed.direction, parsed.values)
        else:
            pieces, self.loose = _split(self.loose + parsed.values, False)
            self._report(pieces, None, parsed.values)

    def finish(self):
        """Print what the end of the trace shows, and the summary."""
        pieces, _ = _split(self.loose, True)
        self.loose = []
        self._report(pieces, None, None)
        self._flag("!!", self.link.finish())
        self._write(self.summary())

    def summary(self):
        """Return the one-line summary of what has been read."""
        words = []
        for direction in (TO_SERVER, TO_CLIENT, None):
            count, size = self.frames[direction]
            if count or direction is not None:
                words.append("%s %s (%s)" % (
                    direction or "way unknown", count,
                    _plural(size, "byte")))
        total = sum(count for count, _ in self.frames.values())
        counts = [_plural(self.errors, "error")]
        for count, word, after in ((self.notes, "note", ""),
                                   (self.noise, "noise byte", ""),
                                   (self.unread, "line", " not read")):
            if count:
                counts.append(_plural(count, word) + after)
        return "%s: %s; %s" % (_plural(total, "frame"), ", ".join(words),
                               ", ".join(counts))

    def _report(self, pieces, marked, line_values):
        for is_frame, values in pieces:
            if not is_frame:
                self.noise += len(values)
                self._write("  noise %s: %s" % (_plural(len(values), "byte"),
                                                _short_hex(values)))
                continue
            reading = _FrameReading(values)
            direction = self.link.direction(reading, marked)
            earlier, flags = self.link.frame(reading, direction)
            self._flag("!!", earlier)
            self.frames[direction][0] += 1
            self.frames[direction][1] += len(values)
            arrow = _ARROWS[direction]
            if values == line_values:
                self._write("  %s %s" % (arrow, reading.text(direction)))
            else:
                self._write("  %s %s" % (arrow, _hex(values)))
                self._write("       %s" % reading.text(direction))
            self._flag("!!", reading.problems + reading.check_failures()
                       + flags)
            if reading.flags_inside:
                self._flag("!?", ["0x7E inside the frame at "
                                  + reading.flags_inside_text()])

    def _flag(self, mark, texts):
        for text in texts:
            if mark == "!!":
                self.errors += 1
            else:
                self.notes += 1
            self._write("  %s %s" % (mark, text))

    def _write(self, text):
        self.output.write(text + "\n")


def main(argv=None):
    """Annotate a trace: C{python -m tarvik.brenlo.trace [FILE ...]}.

    Prints every line of the trace followed by the frames read from it,
    each with its description and flags, and a summary line at the end
    (see the module's docstring).

    @return: the exit status: 0, or 1 when a file could not be read.
    """
    parser = argparse.ArgumentParser(
        prog="python -m tarvik.brenlo.trace",
        description="Describe every HDLC frame of a trace and flag what "
                    "went wrong: sequence numbers, check sequences, "
                    "requests without an answer, cut frames.")
    parser.add_argument("files", nargs="*", metavar="FILE",
                        help="trace files, read as one trace in order "
                             "(default: standard input)")
    arguments = parser.parse_args(argv)
    reader = _TraceReader(sys.stdout)
    status = 0
    for name in arguments.files or ["-"]:
        try:
            source = sys.stdin if name == "-" else open(name, "rb")
        except IOError as error:
            sys.stderr.write("trace: cannot read %s: %s\n"
                             % (name, error.strerror))
            status = 1
            continue
        for line in source:
            reader.feed(line.rstrip("\r\n"))
        if source is not sys.stdin:
            source.close()
    reader.finish()
    return status


if __name__ == "__main__":
    sys.exit(main())
