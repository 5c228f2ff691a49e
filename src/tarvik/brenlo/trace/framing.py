"""The lines of a trace, and the frames in their bytes.

A line may hold a state (C{CB_s: NRM}), hex after a marker that tells the
way (C{CB_S:}, C{sent:}, C{<<} ...), or hex alone; L{TraceLine} reads
which. L{split} cuts byte values into frames and the noise between them,
in time proportional to the bytes, whatever they are.
"""

from __future__ import absolute_import, division, print_function

import binascii
import re

from tarvik.brenlo.frame import FLAG, LENGTH_MASK
from tarvik.brenlo.trace.description import TO_CLIENT, TO_SERVER, FrameReading, opens_frame

FRAME_MARKERS = {"CB_S:": TO_SERVER, "sent:": TO_SERVER, "<<": TO_SERVER,
                 "CB_R:": TO_CLIENT, "received:": TO_CLIENT, ">>": TO_CLIENT}
_STATE_MARKERS = ("CB_s:", "state:")
_HEX_WORD = re.compile(r"^(?:[0-9A-Fa-f]{2})+$")
# A label glued to its hex, as in "tx:7E" or "data=7E": the label ends at
# its last colon or equals sign.
_GLUED_LABEL = re.compile(r"^(.*[:=])((?:[0-9A-Fa-f]{2})+)$")


class TraceLine(object):
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
        words = _words(line)
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
            if FLAG in values or (continuing and marker not in FRAME_MARKERS):
                self.values = values
                self.direction = FRAME_MARKERS.get(marker)
                return


def _words(line):
    """The line's words, a label glued to hex (C{tx:7E}, C{data=7E}) cut
    off it."""
    words = []
    for word in line.split():
        glued = _GLUED_LABEL.match(word)
        words.extend(glued.groups() if glued else (word,))
    return words


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


def split(data, final):
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
            holds the start of an unfinished frame (at most one frame's
            length).
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


def _next_flag(data, start, stop=None):
    try:
        return data.index(FLAG, start, len(data) if stop is None else stop)
    except ValueError:
        return len(data) if stop is None else stop


def _after_flag(data, index):
    """Where the next piece starts after a closing flag at index."""
    return index if opens_frame(data, index) else index + 1


def _first_opening(data, start, stop):
    """The first flag in data[start:stop] that opens a frame, or None.

    Only the flags up to it are looked at, so a frame cut short costs
    the bytes up to the frame that cut it.
    """
    index = _next_flag(data, start, stop)
    while index < stop:
        if opens_frame(data, index):
            return index
        index = _next_flag(data, index + 1, stop)
    return None


def _frame_cut(data, start, final):
    """Return (end, next start) of the frame opened at start, or None.

    None means the frame may go on in bytes not seen yet.
    """
    size = len(data)
    if size - start < 3:
        return None if not final else (size, size)
    if opens_frame(data, start):
        end = start + (((data[start + 1] << 8) | data[start + 2])
                       & LENGTH_MASK) + 1
        closed = end < size and data[end] == FLAG
        cut_by = _first_opening(data, start + 1, min(end, size))
        if closed and (cut_by is None
                       or FrameReading(data[start:end + 1]).is_sound()):
            return end + 1, _after_flag(data, end)
        if cut_by is not None:
            return cut_by, cut_by  # cut short by the next frame
        if end >= size and not final:
            return None
    # No frame can be read by its length field: the next flag ends it.
    later = _next_flag(data, start + 1)
    if later == size:
        return size, size
    return later + 1, _after_flag(data, later)
