"""A meter behind a TCP gateway: pySerial's socket:// port as the IOStream,
against the simulator's --tcp. (That a dropped connection leaves the
simulator serving the next one is in test_simulated_gateway.)"""

import time
import unittest

import serial

from tarvik.brenlo import HDLCParameters, HDLCProtocolState
from tarvik.brenlo.hdlcprotocol import HDLCProtocol

from simulated_line import EARLY_TOLERANCE, LATE_TOLERANCE, SimulatedMeter


class GatewayTest(unittest.TestCase):

    def open_port(self, timeout):
        meter = SimulatedMeter("--answer", "size:5000", tcp=True)
        self.addCleanup(meter.close)
        port = serial.serial_for_url(meter.url, timeout=timeout)
        self.addCleanup(port.close)
        return port

    def test_connect_5000_byte_answer_and_disconnect(self):
        link = HDLCProtocol(HDLCParameters(DiscToNDMTimeout=0), self.open_port(timeout=5))
        link.connect()
        answer = link.send_receive(bytearray("\xc0\x01"))
        self.assertEqual(answer._buffer[:answer.length], [i % 251 for i in range(5000)])
        link.disconnect()
        self.assertEqual(link.State, HDLCProtocolState.NDM)

    def test_quiet_connection_keeps_the_read_time_out(self):
        port = self.open_port(timeout=0.5)
        start = time.time()
        self.assertEqual(port.read(3), b"")
        self.assertGreaterEqual(time.time() - start, 0.5 - EARLY_TOLERANCE)
        self.assertLess(time.time() - start, 0.5 + LATE_TOLERANCE)


if __name__ == "__main__":
    unittest.main()
