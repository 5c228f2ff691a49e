"""The trace command: C{python -m tarvik.brenlo.trace [FILE ...]}.

Prints every line of the trace followed by the frames read from it, each
with its description and flags, and a summary line at the end (see the
package's docstring). Each line's report is written as soon as the line
is read, so the command follows a live log (C{tail -f}).
"""

from __future__ import absolute_import, division, print_function

import argparse
import errno
import os
import sys

from tarvik.brenlo.trace.description import (
    TO_CLIENT, TO_SERVER, FrameReading, plural, short_hex, to_hex)
from tarvik.brenlo.trace.framing import TraceLine, split
from tarvik.brenlo.trace.link_checks import LinkWatch

_ARROWS = {TO_SERVER: "C->S", TO_CLIENT: "S->C", None: "?->?"}

# A line longer than this is read in pieces, each cut at white space where
# it has some, and each shown as a line of its own.
_LONGEST_PIECE = 1 << 16


class TraceReader(object):
    """Prints a trace line by line with what each line holds."""

    def __init__(self, output):
        """
        @param output: a text stream with C{write} and C{flush}.
        """
        self.output = output
        self.link = LinkWatch()
        self.loose = []  # an unfinished frame from lines without a marker
        self.frames = {TO_SERVER: [0, 0], TO_CLIENT: [0, 0], None: [0, 0]}
        self.errors = self.notes = self.noise = self.unread = 0

    def feed(self, line):
        """Print one line of the trace and what it holds."""
        self._write(line)
        parsed = TraceLine(line, bool(self.loose))
        if parsed.state is not None:
            pass  # the SNRM, UA, DISC or DM before it restarts the counting
        elif parsed.values is None:
            self.unread += bool(line.strip())
        elif parsed.direction is not None:
            pieces, _ = split(parsed.values, True)
            self._report(pieces, parsed.direction, parsed.values)
        else:
            pieces, self.loose = split(self.loose + parsed.values, False)
            self._report(pieces, None, parsed.values)
        self.output.flush()

    def finish(self):
        """Print what the end of the trace shows, and the summary."""
        pieces, _ = split(self.loose, True)
        self.loose = []
        self._report(pieces, None, None)
        self._flag("!!", self.link.finish())
        self._write(self.summary())
        self.output.flush()

    def summary(self):
        """Return the one-line summary of what has been read."""
        words = []
        for direction in (TO_SERVER, TO_CLIENT, None):
            count, size = self.frames[direction]
            if count or direction is not None:
                words.append("%s %s (%s)" % (
                    direction or "way unknown", count,
                    plural(size, "byte")))
        total = sum(count for count, _ in self.frames.values())
        counts = [plural(self.errors, "error")]
        for count, word, after in ((self.notes, "note", ""),
                                   (self.noise, "noise byte", ""),
                                   (self.unread, "line", " not read")):
            if count:
                counts.append(plural(count, word) + after)
        return "%s: %s; %s" % (plural(total, "frame"), ", ".join(words),
                               ", ".join(counts))

    def _report(self, pieces, marked, line_values):
        for is_frame, values in pieces:
            if not is_frame:
                self.noise += len(values)
                self._write("  noise %s: %s" % (plural(len(values), "byte"),
                                                short_hex(values)))
                continue
            reading = FrameReading(values)
            direction = self.link.direction(reading, marked)
            earlier, flags = self.link.frame(reading, direction)
            self._flag("!!", earlier)
            self.frames[direction][0] += 1
            self.frames[direction][1] += len(values)
            arrow = _ARROWS[direction]
            if values == line_values:
                self._write("  %s %s" % (arrow, reading.text(direction)))
            else:
                self._write("  %s %s" % (arrow, to_hex(values)))
                self._write("       %s" % reading.text(direction))
            self._flag("!!", reading.problems + reading.check_failures()
                       + flags)
            if reading.suspect_flags():
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


class _BytesOutput(object):
    """Text written to a binary stream byte for byte (Latin-1), so that
    every line of a trace comes out as it went in."""

    def __init__(self, stream):
        self.stream = stream

    def write(self, text):
        self.stream.write(text.encode("latin-1"))

    def flush(self):
        self.stream.flush()


def lines_of(source):
    """Yield the lines of a binary stream without their line ends, as the
    interpreter's native strings, as soon as each has come.

    A line longer than 64 KiB comes in pieces, cut after its last white
    space or, in a word that long, at an even count of characters, so
    that hex is not cut inside a byte.
    """
    held = b""
    while True:
        chunk = source.readline(_LONGEST_PIECE)
        if not chunk:
            if held:
                yield _native(held)
            return
        chunk, held = held + chunk, b""
        if chunk.endswith(b"\n"):
            yield _native(chunk.rstrip(b"\r\n"))
            continue
        cut = max(chunk.rfind(b" "), chunk.rfind(b"\t")) + 1
        if cut == 0:
            cut = len(chunk) - len(chunk) % 2
        held = chunk[cut:]
        yield _native(chunk[:cut])


def _native(data):
    return data if str is bytes else data.decode("latin-1")


def main(argv=None):
    """Annotate a trace: C{python -m tarvik.brenlo.trace [FILE ...]}.

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
    output = sys.stdout if str is bytes else _BytesOutput(sys.stdout.buffer)
    reader = TraceReader(output)
    try:
        return _annotate(reader, arguments.files or ["-"])
    except EnvironmentError as error:
        if error.errno != errno.EPIPE:
            raise
        # The reader of the output has gone (| head): nothing more to say,
        # not even when the interpreter flushes standard output at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 0


def _annotate(reader, names):
    status = 0
    stdin = getattr(sys.stdin, "buffer", sys.stdin)
    for name in names:
        try:
            source = stdin if name == "-" else open(name, "rb")
        except IOError as error:
            sys.stderr.write("trace: cannot read %s: %s\n"
                             % (name, error.strerror))
            status = 1
            continue
        for line in lines_of(source):
            reader.feed(line)
        if source is not stdin:
            source.close()
    reader.finish()
    return status


if __name__ == "__main__":
    sys.exit(main())
