"""Small helpers shared by the tarvik modules."""

from __future__ import absolute_import, division, print_function

try:
    INTEGER_TYPES = (int, long)
except NameError:  # Python 3 has one integer type
    INTEGER_TYPES = (int,)
"""The types of plain integers: int and long on Python 2, int on 3."""


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
