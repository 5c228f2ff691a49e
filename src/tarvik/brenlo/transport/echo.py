"""An IOStream that drops the echo of what the client sends."""

from __future__ import absolute_import, division, print_function

import numbers

import serial


class EchoCancelling(object):
    """An IOStream that drops the echo of its own writes from what it reads.

    After each C{write}, the exact bytes written are expected back first.
    Bytes that match are dropped. At the first byte that does not match,
    the rest of the echo is given up and everything from there on passes
    through as answer. Bytes that matched are held back until the whole
    echo has matched, and are handed out as answer bytes if it does not:
    on a line that does not echo, an answer that begins like the frame
    sent (a UA after a DISC) loses nothing.

    An echo cut short therefore reaches the caller as the part that came
    back, followed by what came instead. If the wrapped stream's read
    comes back short (its time-out expired) while an echo is pending, the
    echo is given up and the bytes held back are handed out.

    A C{write} while an echo is still pending adds its bytes to the end of
    that echo: the line hands bytes back in the order they were sent.

    C{read(size)} returns at most C{size} answer bytes, and fewer only when
    a read of the wrapped stream came back short. It never asks the wrapped
    stream for more bytes than are bound to come, whether or not the line
    echoes, so a line that does not echo costs no time-out. While the bytes
    held back would already make up the answer, that leaves the bytes the
    stream reports waiting (C{in_waiting}, as pySerial ports have), or else
    one byte a read. Bytes read beyond C{size} are kept for the next read.

    @ivar stream: the wrapped IOStream.
    """

    def __init__(self, stream):
        self.stream = stream
        self._echo = bytearray()     # bytes written whose echo is not yet complete
        self._matched = 0            # how many of them have come back (held back)
        self._answer = bytearray()   # answer bytes read, not yet returned

    def write(self, data):
        """Write C{data} to the wrapped stream and expect it back.

        @return: what the wrapped stream's C{write} returns; when that is a
            count of the bytes given (0 to all of them; not a bool), only
            that many bytes are expected back, otherwise all of them.
        """
        sent = serial.to_bytes(data)
        written = self.stream.write(data)
        self._echo += sent[:_count(written, len(sent))]
        return written

    def read(self, size=1):
        """Read up to C{size} answer bytes, dropping the echo before them.

        When the wrapped stream's read raises, the echo still expected is
        given up: whatever the line brings after the error is answer.
        """
        try:
            return self._read(size)
        except BaseException:
            del self._echo[:]
            self._matched = 0
            raise

    def _read(self, size):
        answer = self._take(size)
        while len(answer) < size:
            need = size - len(answer)
            if self._echo:
                complete = self._read_through_echo(need)
            else:
                chunk = self.stream.read(need)
                self._answer += chunk
                complete = len(chunk) == need
            answer += self._take(size - len(answer))
            if not complete:
                break
        return bytes(answer)

    def reset_input_buffer(self):
        """Forget the pending echo and unread answer bytes, and clear the
        wrapped stream's input if it has C{reset_input_buffer}."""
        del self._echo[:]
        self._matched = 0
        del self._answer[:]
        reset = getattr(self.stream, "reset_input_buffer", None)
        if reset is not None:
            reset()

    def _take(self, count):
        taken = self._answer[:count]
        del self._answer[:count]
        return taken

    def _read_through_echo(self, need):
        """One read of the wrapped stream while an echo is pending.

        On a line that does not echo, the bytes held back are answer, so
        only C{need - held} more are bound to come; on a line that echoes,
        the rest of the echo comes before the answer. Whichever it is, that
        many are on their way. When none are, at least one is needed to
        decide, and those already waiting can be taken at no risk.

        @return: False if the wrapped stream's read came back short.
        """
        ask = need - self._matched
        if ask < 1:
            waiting = getattr(self.stream, "in_waiting", 0)
            ask = max(1, min(waiting, len(self._echo) - self._matched))
        chunk = bytearray(self.stream.read(ask))
        self._match(chunk)
        if len(chunk) < ask:
            self._give_up_echo()
            return False
        return True

    def _match(self, chunk):
        expected = self._echo[self._matched:self._matched + len(chunk)]
        if chunk.startswith(expected):
            self._matched += len(expected)
            if self._matched == len(self._echo):
                del self._echo[:]
                self._matched = 0
                self._answer += chunk[len(expected):]
            return
        differs = next(i for i, byte in enumerate(expected) if chunk[i] != byte)
        self._matched += differs
        self._give_up_echo()
        self._answer += chunk[differs:]

    def _give_up_echo(self):
        self._answer += self._echo[:self._matched]
        del self._echo[:]
        self._matched = 0


def _count(written, size):
    """The bytes a write's result says were taken: a count from 0 to
    size, or else all of them (None, and anything else a stream returns)."""
    if (isinstance(written, numbers.Integral) and not isinstance(written, bool)
            and 0 <= written <= size):
        return int(written)
    return size
