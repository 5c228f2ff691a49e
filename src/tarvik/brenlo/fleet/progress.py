"""The progress line of a fleet read: meters done, failed, per second."""

from __future__ import absolute_import, division, print_function

import sys
import time

WIDTH = 30


class Progress(object):
    """Draws C{[#####.....] 12/64 done, 1 failed, 3.2/s} on one line of
    C{stream} (standard error): again for each meter, and otherwise at most
    every C{every} seconds."""

    def __init__(self, total, stream=None, clock=time.time, every=1.0):
        self.total = total
        self.done = self.failed = 0
        self.stream = stream or sys.stderr
        self.clock = clock
        self.every = every
        self.start = clock()
        self._drawn = None

    def add(self, ok):
        """Counts one meter, read or failed."""
        self.done += 1
        if not ok:
            self.failed += 1
        self.draw(force=True)

    def draw(self, force=False):
        now = self.clock()
        if not force and self._drawn is not None and now - self._drawn < self.every:
            return
        self._drawn = now
        filled = WIDTH * self.done // self.total if self.total else WIDTH
        rate = self.done / (now - self.start) if now > self.start else 0.0
        self.stream.write("\r[%s%s] %d/%d done, %d failed, %.1f/s"
                          % ("#" * filled, "." * (WIDTH - filled), self.done, self.total,
                             self.failed, rate))
        self.stream.flush()

    def finish(self):
        self.draw(force=True)
        self.stream.write("\n")
        self.stream.flush()
