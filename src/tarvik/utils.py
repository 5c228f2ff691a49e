"""Small helpers shared by the tarvik modules."""

from __future__ import absolute_import, division, print_function

import os

try:
    INTEGER_TYPES = (int, long)
except NameError:  # Python 3 has one integer type
    INTEGER_TYPES = (int,)
"""The types of plain integers: int and long on Python 2, int on 3."""


def _load_byte_loops():
    """Return the module tarvik._bytes, or None where the companions run
    their plain Python code instead: in an unbuilt source tree, and when
    the environment variable TARVIK_PURE_PYTHON is set to anything but
    "" or "0". The variable is read once, when this module is imported.
    """
    if os.environ.get("TARVIK_PURE_PYTHON", "") not in ("", "0"):
        return None
    try:
        from tarvik import _bytes
    except ImportError:
        return None
    return _bytes


BYTE_LOOPS = _load_byte_loops()
"""tarvik._bytes, the C++ loops behind memorystream.py and brenlo/frame.py,
or None: see L{_load_byte_loops}."""


class Utils(object):
    """Namespace for stateless helper functions."""

    @staticmethod
    def bytes_to_hex_string(data):
        """Render byte values as upper-case hexadecimal, one pair per byte.

        @param data: a sequence of integers 0 to 255 (a list, a bytearray...).
        @return: the pairs separated by single spaces, for instance
                "7E A0 07"; an empty sequence gives "".
        """
        return " ".join(["%02X" % value for value in data])
