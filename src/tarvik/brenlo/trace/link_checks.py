"""Following one link through a trace: which way each frame went, and
what its sequence numbers and polls say went wrong."""

from __future__ import absolute_import, division, print_function

from tarvik.brenlo.trace.description import TO_CLIENT, TO_SERVER, Kind, own_direction


class LinkWatch(object):
    """Follows one link through a trace and finds what to flag.

    C{next_s_sequence} holds, for each way, the N(S) the receiver
    expects next (None while unknown); the N(R) that a station sends is
    the N(S) it expects from the other way. C{last_i} holds, for each way,
    the last I-frame counted, so that its repetition (a retransmission
    after a lost answer) is told from a sequence error.
    """

    def __init__(self):
        self.client = self.server = None
        self.next_s_sequence = {TO_SERVER: None, TO_CLIENT: None}
        self.last_i = {TO_SERVER: None, TO_CLIENT: None}
        self.unanswered = None

    def direction(self, reading, marked):
        """Return the way a frame went (see the package's docstring)."""
        if marked is not None:
            return marked
        own = own_direction(reading)
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
        self.last_i = {TO_SERVER: None, TO_CLIENT: None}

    def _sequence_flags(self, reading, direction):
        kind = reading.kind
        if kind in (Kind.SNRM, Kind.UA):
            self._restart(0)
            return []
        if kind in (Kind.DISC, Kind.DM):
            self._restart(None)
            return []
        if kind == Kind.I and self._repeats(reading, direction):
            return []  # a retransmission: its numbers are those of the first
        sender = "client" if direction == TO_SERVER else "server"
        back = TO_CLIENT if direction == TO_SERVER else TO_SERVER
        flags = []
        if kind == Kind.I:
            flags += self._expect(direction, reading.s_sequence, "N(S)",
                                  sender)
            self.next_s_sequence[direction] = (reading.s_sequence + 1) % 8
            self.last_i[direction] = reading
        if kind in (Kind.I, Kind.RR, Kind.RNR):
            flags += self._expect(back, reading.r_sequence, "N(R)", sender)
            self.next_s_sequence[back] = reading.r_sequence
        return flags

    def _repeats(self, reading, direction):
        """Whether an I-frame sends the last one of its way again: the
        same bytes."""
        last = self.last_i[direction]
        return last is not None and last.values == reading.values

    def _expect(self, way, number, name, sender):
        expected = self.next_s_sequence[way]
        if expected is None or expected == number:
            return []
        return ["%s=%d from the %s, expected %d" % (name, number, sender,
                                                    expected)]
