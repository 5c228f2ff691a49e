"""EchoCancelling on scripted lines: what the caller reads, and that no
read of the line waits for bytes that are not bound to come; then links
through it end to end: the simulator's --echo line, the same line
unwrapped, and a line that does not echo."""

from __future__ import absolute_import, division, print_function

import time
import unittest
from itertools import product

import serial

from tarvik.brenlo import HDLCProtocolState
from tarvik.brenlo.brenloexception import BrenloException
from tarvik.brenlo.transport import EchoCancelling, SerialLine

from support.simulator import new_link, opened, started

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

    def __init__(self, *script):
        self.incoming = list(script)
        self.written = bytearray()
        self.timeouts = self.resets = 0

    def write(self, data):
        self.written += data

    def read(self, size):
        got = b""
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


def written(sent, *incoming):
    """A ScriptedLine with the incoming script, and EchoCancelling on it
    after sent was written."""
    line = ScriptedLine(*incoming)
    stream = EchoCancelling(line)
    stream.write(sent)
    return line, stream


def read_in(stream, sizes):
    """What the caller gets from reads of the given sizes, joined."""
    return b"".join(stream.read(size) for size in sizes)


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
                line, stream = written(bytearray(sent), *incoming)
                self.assertEqual(read_in(stream, sizes)[:len(answer)], answer, (name, sizes))
                self.assertEqual(line.written, sent)
                expected_timeouts = 1 if sum(sizes) > len(answer) else 0
                self.assertEqual(line.timeouts, expected_timeouts, (name, sizes))

    def test_writes_before_a_read_are_expected_back_in_order(self):
        stream = written(DISC, DISC + REQUEST + ANSWER)[1]
        stream.write(bytearray(REQUEST))
        self.assertEqual(read_in(stream, frame_reads(ANSWER)), ANSWER)

    def test_only_the_bytes_the_line_took_are_expected_back(self):
        for result, took in [(5, 5), (0, 0), (None, len(REQUEST)), (True, len(REQUEST)),
                             (-1, len(REQUEST)), (len(REQUEST) + 1, len(REQUEST))]:
            line = ScriptedLine(REQUEST[:took] + ANSWER)
            line.write = lambda data: result
            stream = EchoCancelling(line)
            self.assertEqual(stream.write(REQUEST), result)
            self.assertEqual(stream.read(len(ANSWER)), ANSWER, result)

    def test_echo_pending_when_the_read_raised_is_given_up(self):
        line, stream = written(REQUEST, REQUEST[:4])

        def unplugged(size):
            raise serial.SerialException("device reports readiness to read but returned no data")
        line.read = unplugged
        self.assertRaises(serial.SerialException, stream.read, 3)
        del line.read
        stream.write(DISC)  # the recovery's first frame: its echo, then the answer
        line.incoming = [DISC + UA]
        self.assertEqual(read_in(stream, frame_reads(UA)), UA)

    def test_reset_forgets_the_pending_echo_and_resets_the_line(self):
        line, stream = written(REQUEST, REQUEST)
        stream.reset_input_buffer()
        self.assertEqual(line.resets, 1)
        self.assertEqual(stream.read(len(REQUEST)), REQUEST)


class EchoThatFailsTest(unittest.TestCase):
    """What passes when the echo is cut short or never comes: everything
    that is not the echo, and the part of an echo cut short."""

    def test_partial_echo_reaches_the_caller_before_what_came_instead(self):
        for name, incoming, expected in [
                ("tail lost", [REQUEST[:4] + ANSWER], REQUEST[:4] + ANSWER),
                ("head lost", [REQUEST[2:] + ANSWER], REQUEST[2:] + ANSWER),
                ("line quiet inside the echo", [REQUEST[:4], QUIET, ANSWER], REQUEST[:4] + ANSWER)]:
            stream = written(REQUEST, *incoming)[1]
            self.assertEqual(read_in(stream, (3, 3, 100, 100))[:len(expected)], expected, name)

    def test_echo_that_never_comes_costs_one_time_out_and_lets_the_answer_through(self):
        line, stream = written(REQUEST, QUIET, REQUEST[:3] + ANSWER)
        self.assertEqual(stream.read(3), b"")
        self.assertEqual(line.timeouts, 1)
        self.assertEqual(stream.read(3 + len(ANSWER)), REQUEST[:3] + ANSWER)
        self.assertEqual(line.timeouts, 1)


class SimulatedLineTest(unittest.TestCase):

    BAUD, TIMEOUT = 115200, 10

    def port(self, port_class, *options):
        meter = started(self, "--baud", str(self.BAUD), *options)
        return opened(self, meter.path, port_class, baudrate=self.BAUD, timeout=self.TIMEOUT)

    def check_session(self, stream):
        """Connect, exchange 1 to 5,000 bytes (segmented or not), disconnect,
        all well within one time-out: no read waited for bytes that never came."""
        link = new_link(stream)
        begun = time.time()
        link.connect()
        for size in (1, 125, 126, 300, 5000):
            request = bytearray((i * 7) % 256 for i in range(size))
            self.assertEqual(link.send_receive(request).to_list(), list(request), size)
        link.disconnect()
        self.assertEqual(link.State, HDLCProtocolState.NDM)
        self.assertLess(time.time() - begun, self.TIMEOUT / 2.0)

    def test_link_through_echo_cancelling_on_each_port_with_and_without_echo(self):
        # Without --echo the simulator's answers repeat the requests: each
        # answer frame begins with the same three bytes as the request
        # frame, as a UA does after a DISC.
        for port_class, options in product((serial.Serial, SerialLine), (("--echo",), ())):
            self.check_session(EchoCancelling(self.port(port_class, *options)))

    def test_unwrapped_link_reads_its_own_snrm_back(self):
        with self.assertRaises(BrenloException) as raised:
            new_link(self.port(serial.Serial, "--echo")).connect()
        self.assertEqual(raised.exception.args[0], "Unexpected response to SNRM frame")


if __name__ == "__main__":
    unittest.main()
