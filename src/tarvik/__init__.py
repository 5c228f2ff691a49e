"""Tarvik: client-side support for talking to DLMS/COSEM meters.

The package holds small helpers shared by its sub-packages:
L{utils} (byte formatting) and L{memorystream} (a growable byte buffer).
"""

from __future__ import absolute_import, division, print_function

__version__ = "1.0.0"
