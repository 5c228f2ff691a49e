"""The exception raised by the brenlo link layer."""

from __future__ import absolute_import, division, print_function


class BrenloExceptionKind(object):
    """What part of the link layer an error comes from (plain integers)."""

    General = 0
    """An error not covered by another kind."""

    Frame = 1
    """A frame that cannot be decoded, or an answer the protocol does not
    allow at that point."""

    Timeout = 2
    """An answer that did not arrive in time."""


class BrenloException(Exception):
    """An error of the link layer, with a message text and a kind.

    C{str(e)} is the message; C{e.args} is C{(message, kind)}.
    """

    def __init__(self, message, kind=BrenloExceptionKind.General):
        """
        @param message: the text describing the error.
        @param kind: a L{BrenloExceptionKind} member.
        """
        Exception.__init__(self, message, kind)
        self.message = message
        self.kind = kind

    def __str__(self):
        return str(self.message)
