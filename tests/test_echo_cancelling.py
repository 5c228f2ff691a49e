"""EchoCancelling on scripted lines: what the caller reads, and that no
read of the line waits for bytes that are not bound to come."""

import unittest

from tarvik.brenlo.transport import EchoCancelling

QUIET = "quiet"
"""In a script: the line goes quiet; the read that gets here times out."""

# A DISC from client 0x21 to server 0x03 and the UA that answers it begin
# with the same three bytes.
DISC = bytes(bytearray([0x7E, 0xA0, 0x07, 0x03, 0x21, 0x53, 0x56, 0xA2, 0x7E]))
UA = bytes(bytearray([0x7E, 0xA0, 0x07, 0x21, 0x03, 0x73, 0x6A, 0x5B, 0x7E]))
REQUEST = bytes(bytearray([0x7E, 0xA0, 0x0A, 0x03, 0x21, 0x10, 0x51, 0x7C, 0xC0, 0x01, 0x22, 0x7E]))
ANSWER = bytes(bytearray([0x7E, 0xA0, 0x0B, 0x21, 0x03, 0x30, 0x29, 0x9E, 0xC4, 0x01, 0x00, 0x12, 0x7E]))


class ScriptedLine(object):
    """An IOStream whose incoming bytes follow a script of byte strings and
    QUIET marks. A read that reaches a QUIET mark, or the end, comes back
    short, as a port does when its time-out expires, and is counted."""

    def __init__(self, *script, **options):
        self.incoming = list(script)
        self.accepts = options.get("accepts")
        self.written = bytearray()
        self.reads = 0
        self.timeouts = 0
        self.resets = 0

    def write(self, data):
        self.written += data
        return self.accepts

    def read(self, size):
        self.reads += 1
        got = ""
        while len(got) < size and self.incoming and self.incoming[0] is not QUIET:
            head = self.incoming.pop(0)
            taken = head[:size - len(got)]
            got += taken
            if len(taken) < len(head):
                self.incoming.insert(0, head[len(taken):])
        if len(got) < size:
            self.timeouts += 1
            if self.incoming:
                self.incoming.pop(0)
        return got

    def reset_input_buffer(self):
        self.resets += 1


class CountingLine(ScriptedLine):
    """A ScriptedLine that reports, as pySerial ports do, how many bytes
    are waiting: those before the next QUIET mark."""

    @property
    def in_waiting(self):
        waiting = 0
        for piece in self.incoming:
            if piece is QUIET:
                break
            waiting += len(piece)
        return waiting


def read_in(stream, sizes):
    """What the caller gets from reads of the given sizes, joined."""
    return "".join(stream.read(size) for size in sizes)


def frame_reads(frame):
    """The reads the HDLC module makes for one frame: the header, the rest."""
    return (3, len(frame) - 3)


class AnswerAfterEchoTest(unittest.TestCase):
    """The caller reads the answer alone, however the echo and the answer
    arrive and however the caller cuts its reads, and no read of the line
    waits out a time-out."""

    LINES = [
        ("echo and answer glued in one burst", REQUEST, [REQUEST + ANSWER], ANSWER),
        ("echo and answer in bursts of their own", REQUEST, [REQUEST, ANSWER], ANSWER),
        ("echo split across bursts", REQUEST,
         [REQUEST[:2], REQUEST[2:5], REQUEST[5:] + ANSWER[:1], ANSWER[1:]], ANSWER),
        ("line that does not echo", REQUEST, [ANSWER], ANSWER),
        ("line that does not echo, answer begins like the frame", DISC, [UA], UA),
    ]

    def test_every_line_and_every_way_of_reading(self):
        for name, sent, incoming, answer in self.LINES:
            for sizes in (frame_reads(answer), (1,) * len(answer), (len(answer),), (2, 5, 100)):
                line = ScriptedLine(*incoming)
                stream = EchoCancelling(line)
                stream.write(bytearray(sent))
                self.assertEqual(read_in(stream, sizes)[:len(answer)], answer, (name, sizes))
                self.assertEqual(line.written, sent)
                expected_timeouts = 1 if sum(sizes) > len(answer) else 0
                self.assertEqual(line.timeouts, expected_timeouts, (name, sizes))

    def test_echo_tail_already_waiting_is_taken_in_one_read(self):
        line = CountingLine(REQUEST + ANSWER)
        stream = EchoCancelling(line)
        stream.write(REQUEST)
        self.assertEqual(read_in(stream, frame_reads(ANSWER)), ANSWER)
        self.assertLessEqual(line.reads, 4)
        self.assertEqual(line.timeouts, 0)

    def test_answer_shorter_than_asked_returns_after_one_time_out(self):
        line = ScriptedLine(REQUEST + ANSWER[:5])
        stream = EchoCancelling(line)
        stream.write(REQUEST)
        self.assertEqual(stream.read(len(ANSWER)), ANSWER[:5])
        self.assertEqual(line.timeouts, 1)

    def test_bytes_read_past_a_short_read_wait_for_the_next_one(self):
        line = ScriptedLine(UA, QUIET)
        stream = EchoCancelling(line)
        stream.write(DISC)
        self.assertEqual(stream.read(2), UA[:2])
        self.assertEqual(stream.read(len(UA) - 2), UA[2:])
        self.assertEqual(line.timeouts, 0)
        self.assertEqual(stream.read(1), "")
        self.assertEqual(line.timeouts, 1)


class EchoThatFailsTest(unittest.TestCase):
    """What passes when the echo is cut short or never comes: everything
    that is not the echo, and the part of an echo cut short."""

    def test_partial_echo_reaches_the_caller_before_what_came_instead(self):
        for name, incoming, expected in [
                ("tail lost", [REQUEST[:4] + ANSWER], REQUEST[:4] + ANSWER),
                ("head lost", [REQUEST[2:] + ANSWER], REQUEST[2:] + ANSWER),
                ("line quiet inside the echo", [REQUEST[:4], QUIET, ANSWER], REQUEST[:4] + ANSWER)]:
            line = ScriptedLine(*incoming)
            stream = EchoCancelling(line)
            stream.write(REQUEST)
            self.assertEqual(read_in(stream, (3, 3, 100, 100))[:len(expected)], expected, name)

    def test_echo_that_never_comes_costs_one_time_out_and_lets_the_answer_through(self):
        line = ScriptedLine(QUIET, REQUEST[:3] + ANSWER)
        stream = EchoCancelling(line)
        stream.write(REQUEST)
        self.assertEqual(stream.read(3), "")
        self.assertEqual(line.timeouts, 1)
        self.assertEqual(stream.read(3 + len(ANSWER)), REQUEST[:3] + ANSWER)
        self.assertEqual(line.timeouts, 1)

    def test_silent_line_gives_an_empty_read(self):
        line = ScriptedLine()
        stream = EchoCancelling(line)
        stream.write(REQUEST)
        self.assertEqual(stream.read(3), "")
        self.assertEqual(line.timeouts, 1)


class WriteTest(unittest.TestCase):

    def test_writes_before_a_read_are_expected_back_in_order(self):
        line = ScriptedLine(DISC + REQUEST + ANSWER)
        stream = EchoCancelling(line)
        stream.write(DISC)
        stream.write(bytearray(REQUEST))
        self.assertEqual(read_in(stream, frame_reads(ANSWER)), ANSWER)

    def test_only_the_bytes_the_line_took_are_expected_back(self):
        line = ScriptedLine(REQUEST[:5] + ANSWER, accepts=5)
        stream = EchoCancelling(line)
        self.assertEqual(stream.write(REQUEST), 5)
        self.assertEqual(stream.read(len(ANSWER)), ANSWER)

    def test_text_is_refused_before_anything_is_written(self):
        line = ScriptedLine()
        stream = EchoCancelling(line)
        self.assertRaises(TypeError, stream.write, u"/?!\r\n")
        self.assertEqual(line.written, bytearray())

    def test_reset_forgets_the_pending_echo_and_resets_the_line(self):
        line = ScriptedLine(REQUEST)
        stream = EchoCancelling(line)
        stream.write(REQUEST)
        stream.reset_input_buffer()
        self.assertEqual(line.resets, 1)
        self.assertEqual(stream.read(len(REQUEST)), REQUEST)


if __name__ == "__main__":
    unittest.main()
