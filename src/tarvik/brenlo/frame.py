"""HDLC frames as DLMS/COSEM meters use them, and their codec.

A frame on the wire (frame format type 3)::

    7E | format (2) | destination (1, 2 or 4) | source (1, 2 or 4) |
       control (1) | [HCS (2) | information field] | FCS (2) | 7E

The format field is 0xA000, plus 0x0800 for a segmented frame, plus the
11-bit count of the bytes between the flags. The header check sequence
(HCS) covers the format field up to the control field and is present
only with an information field; the frame check sequence (FCS) covers
everything between the flags before it. Both are CRC-16/X.25, sent low
byte first.

The decoder's steps (L{read_format}, L{find_fcs}, L{read_addresses},
L{decode_control}, L{find_hcs}, L{read_check}) are module functions, so
that tarvik.brenlo.trace describes frames with the same code that
decodes them.

The check sequences are computed by tarvik._bytes over the frame's list
in place when it is built and TARVIK_PURE_PYTHON is not set (see
L{tarvik.utils.BYTE_LOOPS}), and by binascii over converted copies
otherwise, with the same results and errors.
"""

from __future__ import absolute_import, division, print_function

import binascii

from tarvik.memorystream import MemoryStream
from tarvik.utils import BYTE_LOOPS, INTEGER_TYPES
from tarvik.brenlo.brenloexception import BrenloException, BrenloExceptionKind


FLAG = 0x7E

_FORMAT_TYPE_3 = 0xA000
_FORMAT_TYPE_MASK = 0xF000
SEGMENTATION_BIT = 0x0800
LENGTH_MASK = 0x07FF
_POLL_FINAL_BIT = 0x10

# Format field, two addresses of one byte, control field and FCS.
MINIMUM_FRAME_LENGTH = 7


# Every byte value with its bits in reverse order.
_REVERSED_BYTES = [int("{0:08b}".format(value)[::-1], 2)
                   for value in range(256)]
_REVERSE_BITS = bytes(bytearray(_REVERSED_BYTES))

# crc16(values, start=0, end=-1): the CRC of values[start:end], or None
# where the Python code below must do the work. Set by _use_byte_loops.
_fast_crc16 = None


def _use_byte_loops(loops):
    """Compute check sequences with loops, the module tarvik._bytes, or for
    None with the plain Python code here.

    Called once at import with L{tarvik.utils.BYTE_LOOPS}; the tests and
    benchmarks that compare the two ways call it again.
    """
    global _fast_crc16
    _fast_crc16 = None if loops is None else loops.crc16


_use_byte_loops(BYTE_LOOPS)


def crc16(data):
    """Return the CRC-16/X.25 of a sequence of byte values.

    This is the check sequence of HDLC frames: reflected polynomial
    0x8408, initial value 0xFFFF, final complement. The CRC of the ASCII
    text "123456789" is 0x906E.

    The work is done at C speed by binascii.crc_hqx, which computes the
    same polynomial unreflected (0x1021, most significant bit first). A
    reflected CRC is the mirror image of the unreflected one over the
    mirrored bytes, so the bytes go in with their bits reversed and the
    16-bit result comes out reversed again.
    """
    if _fast_crc16 is not None:
        crc = _fast_crc16(data)
        if crc is not None:
            return crc
    mirrored = bytearray(data).translate(_REVERSE_BITS)
    crc = binascii.crc_hqx(mirrored, 0xFFFF)
    crc = (_REVERSED_BYTES[crc & 0xFF] << 8) | _REVERSED_BYTES[crc >> 8]
    return crc ^ 0xFFFF


def _crc16_range(values, start, end):
    """Return crc16(values[start:end]), without the copy where it can.

    start and end lie within values, start not after end.
    """
    if _fast_crc16 is not None:
        crc = _fast_crc16(values, start, end)
        if crc is not None:
            return crc
    return crc16(values[start:end])


def _frame_error(message):
    return BrenloException(message, BrenloExceptionKind.Frame)


class Frame(object):
    """One HDLC frame: its fields, and its encoding to and from bytes.

    A new frame has C{Kind}, C{SrcAddress} and C{DstAddress} None,
    C{PollFinal} and C{Segmented} False, both sequence numbers 0 and no
    information field (C{Data} None); once a kind and both addresses are
    set it can be encoded. One object may be filled and encoded, or
    decoded, any number of times.

    Sequence numbers only reach the wire where the kind carries them:
    N(S) and N(R) for I frames, N(R) for RR and RNR frames. Decoding
    sets the numbers a frame does not carry to 0.
    """

    class FrameKind(object):
        """The frame kinds; each member is its own name as a string."""

        SNRM = "SNRM"
        UA = "UA"
        DISC = "DISC"
        DM = "DM"
        FRMR = "FRMR"
        I = "I"
        RR = "RR"
        RNR = "RNR"
        UI = "UI"

    class FrameAddress(object):
        """An HDLC address: an upper and a lower value, and a size.

        The size is the number of bytes on the wire. A 1-byte address
        carries the upper value only (0 to 127, lower value 0); a 2-byte
        address carries both as 7-bit values; a 4-byte address carries
        both as 14-bit values. Addresses are immutable and compare by
        value.
        """

        _VALUE_LIMITS = {1: (0x7F, 0), 2: (0x7F, 0x7F), 4: (0x3FFF, 0x3FFF)}

        def __init__(self, upper, lower, size):
            """
            @raise ValueError: the size is not 1, 2 or 4, or a value does
                    not fit into it.
            """
            if size not in self._VALUE_LIMITS:
                raise ValueError("address size must be 1, 2 or 4, not %r"
                                 % (size,))
            upper_limit, lower_limit = self._VALUE_LIMITS[size]
            if not 0 <= upper <= upper_limit:
                raise ValueError("upper address %r does not fit %d byte(s)"
                                 % (upper, size))
            if not 0 <= lower <= lower_limit:
                raise ValueError("lower address %r does not fit %d byte(s)"
                                 % (lower, size))
            self._upper = upper
            self._lower = lower
            self._size = size

        def _get_upper(self):
            return self._upper

        def _get_lower(self):
            return self._lower

        def _get_size(self):
            return self._size

        Upper = property(_get_upper, doc="The upper value.")
        Lower = property(_get_lower, doc="The lower value.")
        Size = property(_get_size, doc="The size in bytes on the wire.")

        def to_bytes(self):
            """Return the address field as a list of byte values.

            Each byte holds 7 value bits above the extension bit, which is
            set on the last byte only.
            """
            if self._size == 1:
                fields = [self._upper]
            elif self._size == 2:
                fields = [self._upper, self._lower]
            else:
                fields = [self._upper >> 7, self._upper & 0x7F,
                          self._lower >> 7, self._lower & 0x7F]
            result = [field << 1 for field in fields]
            result[-1] |= 1
            return result

        @classmethod
        def from_bytes(cls, fields):
            """Build an address from its 1, 2 or 4 bytes on the wire."""
            values = [field >> 1 for field in fields]
            if len(values) == 1:
                return cls(values[0], 0, 1)
            if len(values) == 2:
                return cls(values[0], values[1], 2)
            return cls((values[0] << 7) | values[1],
                       (values[2] << 7) | values[3], 4)

        def _key(self):
            return (self._upper, self._lower, self._size)

        def __eq__(self, other):
            if not isinstance(other, Frame.FrameAddress):
                return NotImplemented
            return self._key() == other._key()

        def __ne__(self, other):
            result = self.__eq__(other)
            if result is NotImplemented:
                return result
            return not result

        def __hash__(self):
            return hash(self._key())

        def __repr__(self):
            return "FrameAddress(%r, %r, %r)" % self._key()

    def __init__(self):
        self.Kind = None
        self.SrcAddress = None
        self.DstAddress = None
        self.PollFinal = False
        self.RSequenceNr = 0
        self.SSequenceNr = 0
        self.Segmented = False
        self.Data = None

    def get_pdu_bytes(self):
        """Encode the frame, opening flag to closing flag.

        A C{Data} stream of length 0 counts as no information field.

        @return: a new list of byte values.
        @raise ValueError: the kind or an address is missing, a sequence
                number that the kind carries is not 0 to 7, or the frame
                is too long for the 11-bit length field.
        """
        control = self._encode_control()
        if not isinstance(self.DstAddress, Frame.FrameAddress):
            raise ValueError("destination address missing")
        if not isinstance(self.SrcAddress, Frame.FrameAddress):
            raise ValueError("source address missing")
        addresses = self.DstAddress.to_bytes() + self.SrcAddress.to_bytes()
        info = []
        if self.Data is not None:
            info = self.Data._buffer[:self.Data.length]
        length = 2 + len(addresses) + 1 + 2
        if info:
            length += 2 + len(info)
        if length > LENGTH_MASK:
            raise ValueError("frame of %d bytes exceeds the length field"
                             % length)
        format_field = _FORMAT_TYPE_3 | length
        if self.Segmented:
            format_field |= SEGMENTATION_BIT
        header = [format_field >> 8, format_field & 0xFF]
        header.extend(addresses)
        header.append(control)
        result = [FLAG] + header
        if info:
            hcs = crc16(header)
            result.extend([hcs & 0xFF, hcs >> 8])
            result.extend(info)
        fcs = _crc16_range(result, 1, len(result))
        result.extend([fcs & 0xFF, fcs >> 8, FLAG])
        return result

    def _encode_control(self):
        """Return the control field for the frame's kind and numbers."""
        kind = self.Kind
        if kind == Frame.FrameKind.I:
            receive = _check_sequence_nr("RSequenceNr", self.RSequenceNr)
            send = _check_sequence_nr("SSequenceNr", self.SSequenceNr)
            control = (receive << 5) | (send << 1)
        elif kind in _SUPERVISORY_CODES:
            receive = _check_sequence_nr("RSequenceNr", self.RSequenceNr)
            control = (receive << 5) | _SUPERVISORY_CODES[kind]
        elif kind in _UNNUMBERED_CODES:
            control = _UNNUMBERED_CODES[kind]
        else:
            raise ValueError("cannot encode frame kind %r" % (kind,))
        if self.PollFinal:
            control |= _POLL_FINAL_BIT
        return control

    def set_from_pdu_bytes(self, buffer):
        """Decode one frame and replace all of this frame's attributes.

        @param buffer: a list of byte values starting with the frame's
                opening flag. Items after the closing flag, such as a
                stream's spare capacity, are ignored.
        @raise BrenloException: of kind C{BrenloExceptionKind.Frame}, when
                the frame is cut short, a flag, the format type, an
                address, the control field or a check sequence is wrong.
                The frame's attributes are then left as they were.
        """
        format_field = read_format(buffer)
        fcs_index = find_fcs(buffer, format_field)
        # Everything between the opening flag and the FCS: the buffer itself
        # where the C++ loops read it in place, else a copy converted once
        # for both check sequences and the information field. Index i of
        # the buffer is index i - skip of body.
        if _fast_crc16 is None:
            body, skip = bytearray(buffer[1:fcs_index]), 1
        else:
            body, skip = buffer, 0
        fcs = _crc16_range(body, 1 - skip, fcs_index - skip)
        if fcs != read_check(buffer, fcs_index):
            raise _frame_error("FCS mismatch")

        dst_address, src_address, control_index = read_addresses(
            buffer, fcs_index)
        kind, poll_final, r_sequence, s_sequence = decode_control(
            buffer[control_index])

        data = None
        hcs_index = find_hcs(control_index, fcs_index)
        if hcs_index is not None:
            hcs = _crc16_range(body, 1 - skip, hcs_index - skip)
            if hcs != read_check(buffer, hcs_index):
                raise _frame_error("HCS mismatch")
            data = MemoryStream(body[hcs_index + 2 - skip:fcs_index - skip])

        self.Kind = kind
        self.DstAddress = dst_address
        self.SrcAddress = src_address
        self.PollFinal = poll_final
        self.RSequenceNr = r_sequence
        self.SSequenceNr = s_sequence
        self.Segmented = bool(format_field & SEGMENTATION_BIT)
        self.Data = data

    def __repr__(self):
        if self.Data is None:
            info = 0
        else:
            info = self.Data.length
        return ("<Frame %s N(S)=%r N(R)=%r P/F=%r Segmented=%r "
                "info=%d bytes %r -> %r>"
                % (self.Kind, self.SSequenceNr, self.RSequenceNr,
                   self.PollFinal, self.Segmented, info, self.SrcAddress,
                   self.DstAddress))


# Control field values without the poll/final bit. Supervisory frames add
# N(R) in the top three bits.
_SUPERVISORY_CODES = {
    Frame.FrameKind.RR: 0x01,
    Frame.FrameKind.RNR: 0x05,
}

_UNNUMBERED_CODES = {
    Frame.FrameKind.SNRM: 0x83,
    Frame.FrameKind.DISC: 0x43,
    Frame.FrameKind.UA: 0x63,
    Frame.FrameKind.DM: 0x0F,
    Frame.FrameKind.FRMR: 0x87,
    Frame.FrameKind.UI: 0x03,
}

_KINDS_BY_SUPERVISORY_CODE = dict(
    (code, kind) for kind, code in _SUPERVISORY_CODES.items())
_KINDS_BY_UNNUMBERED_CODE = dict(
    (code, kind) for kind, code in _UNNUMBERED_CODES.items())


def _check_sequence_nr(name, value):
    if (isinstance(value, bool) or not isinstance(value, INTEGER_TYPES)
            or not 0 <= value <= 7):
        raise ValueError("%s must be 0 to 7, not %r" % (name, value))
    return value


# The decoder's steps. Frame.set_from_pdu_bytes runs them in order and
# stops at the first error; tarvik.brenlo.trace runs them one by one to
# describe a damaged frame as far as it can be read. Each step raises a
# BrenloException of kind Frame whose message names what is wrong.

def read_format(buffer):
    """Return the format field of the frame that buffer holds.

    @param buffer: a list of byte values starting with the opening flag.
    @raise BrenloException: the buffer is shorter than a flag and a
            format field, the opening flag is missing, or the frame is
            not of format type 3.
    """
    if len(buffer) < 3:
        raise _frame_error("frame too short: %d byte(s)" % len(buffer))
    if buffer[0] != FLAG:
        raise _frame_error("opening flag missing")
    format_field = (buffer[1] << 8) | buffer[2]
    if format_field & _FORMAT_TYPE_MASK != _FORMAT_TYPE_3:
        raise _frame_error("not a type 3 frame: format field 0x%04X"
                           % format_field)
    return format_field


def find_fcs(buffer, format_field):
    """Return the index of the FCS, from the length in the format field.

    @raise BrenloException: the length is too small for a frame, the
            buffer ends before the frame does, or the byte after the
            frame is not the closing flag.
    """
    length = format_field & LENGTH_MASK
    if length < MINIMUM_FRAME_LENGTH:
        raise _frame_error("frame length %d too small" % length)
    if len(buffer) < length + 2:
        raise _frame_error("frame truncated: %d of %d bytes present"
                           % (len(buffer), length + 2))
    if buffer[length + 1] != FLAG:
        raise _frame_error("closing flag missing")
    return length - 1


def read_check(buffer, index):
    """Return the check sequence stored low byte first at index."""
    return buffer[index] | (buffer[index + 1] << 8)


def read_addresses(buffer, fcs_index):
    """Return (destination, source, index of the control field).

    The destination address starts after the format field; both
    addresses must leave room for the control field before fcs_index.
    """
    dst_end = _find_address_end(buffer, 3, fcs_index - 2)
    src_end = _find_address_end(buffer, dst_end, fcs_index - 1)
    return (Frame.FrameAddress.from_bytes(buffer[3:dst_end]),
            Frame.FrameAddress.from_bytes(buffer[dst_end:src_end]),
            src_end)


def find_hcs(control_index, fcs_index):
    """Return the index of the HCS, or None in a frame without one.

    The HCS follows the control field and comes only with an
    information field, which runs from after the HCS to the FCS.

    @raise BrenloException: there are bytes between the control field
            and the FCS, but too few for an HCS and information.
    """
    hcs_index = control_index + 1
    if hcs_index == fcs_index:
        return None
    if fcs_index - hcs_index < 3:
        raise _frame_error("check sequence without information field")
    return hcs_index


def _find_address_end(buffer, start, limit):
    """Return the index after the address field that begins at start.

    The field ends with the first byte whose extension bit is set; it
    must be 1, 2 or 4 bytes long and may not reach beyond index limit,
    which leaves room for what follows it in the header.
    """
    if start < limit and buffer[start] & 1:
        return start + 1  # the common 1-byte address, without a loop
    end = start + 2
    last = min(start + 4, limit)
    while end <= last:
        if buffer[end - 1] & 1:
            if end - start == 3:
                raise _frame_error("address field of 3 bytes")
            return end
        end += 1
    raise _frame_error("address field without end bit")


def decode_control(control):
    """Return (kind, poll_final, N(R), N(S)) of a control field.

    @raise BrenloException: the control field is of no known kind.
    """
    poll_final = bool(control & _POLL_FINAL_BIT)
    if control & 0x01 == 0:
        return Frame.FrameKind.I, poll_final, control >> 5, (control >> 1) & 7
    if control & 0x03 == 0x01:
        kind = _KINDS_BY_SUPERVISORY_CODE.get(control & 0x0F)
        if kind is not None:
            return kind, poll_final, control >> 5, 0
    else:
        kind = _KINDS_BY_UNNUMBERED_CODE.get(control & (0xFF ^ _POLL_FINAL_BIT))
        if kind is not None:
            return kind, poll_final, 0, 0
    raise _frame_error("unknown control field 0x%02X" % control)
