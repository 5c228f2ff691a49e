"""The simulator paces both directions of its line: a frame the client sends
takes its line time to arrive before the meter answers, as on a half-duplex
serial line, and the answer takes its own."""

import time
import unittest

import serial

from tarvik.brenlo import HDLCParameters
from tarvik.brenlo.hdlcprotocol import HDLCProtocol

from simulated_line import EARLY_TOLERANCE, LATE_TOLERANCE, SimulatedMeter, line_time

BAUD = 9600
# LLC header (3), flags (2), format (2), addresses (2), control, HCS and FCS (4)
FRAME_OVERHEAD = 3 + 2 + 2 + 2 + 1 + 4


class ReceivedFramePacingTest(unittest.TestCase):

    def exchange(self, request_size, answer_size):
        """Seconds from sending a request of request_size bytes to the whole answer."""
        meter = SimulatedMeter("--baud", str(BAUD), "--answer", "size:%d" % answer_size,
                               "--max-info-rx", "2030", "--max-info-tx", "2030")
        self.addCleanup(meter.close)
        port = serial.Serial(meter.path, timeout=5)
        self.addCleanup(port.close)
        link = HDLCProtocol(HDLCParameters(), port)
        link.connect()
        started = time.time()
        answer = link.send_receive(bytearray(request_size))
        elapsed = time.time() - started
        self.assertEqual(answer.length, answer_size)
        return elapsed

    def test_a_long_request_is_answered_only_after_its_line_time(self):
        # About 2 s for the request on the line, 15 ms for the answer.
        expected = line_time(1900 + FRAME_OVERHEAD, BAUD) + line_time(FRAME_OVERHEAD, BAUD)
        elapsed = self.exchange(1900, 0)
        self.assertGreaterEqual(elapsed, expected - EARLY_TOLERANCE)
        self.assertLess(elapsed, expected + LATE_TOLERANCE)

    def test_request_and_answer_take_their_line_times_one_after_the_other(self):
        expected = line_time(500 + FRAME_OVERHEAD, BAUD) + line_time(1000 + FRAME_OVERHEAD, BAUD)
        elapsed = self.exchange(500, 1000)
        self.assertGreaterEqual(elapsed, expected - EARLY_TOLERANCE)
        self.assertLess(elapsed, expected + LATE_TOLERANCE)


if __name__ == "__main__":
    unittest.main()
