"""Links through EchoCancelling end to end: the simulator's --echo line,
the same line unwrapped, and a line that does not echo."""

import time
import unittest

import serial

from tarvik.brenlo import HDLCParameters, HDLCProtocolState
from tarvik.brenlo.brenloexception import BrenloException
from tarvik.brenlo.hdlcprotocol import HDLCProtocol
from tarvik.brenlo.transport import EchoCancelling, SerialLine

from simulated_line import SimulatedMeter

BAUD = 115200
TIMEOUT = 10
PORTS = (serial.Serial, SerialLine)


def payload(stream):
    return stream._buffer[:stream.length]


class EchoTestCase(unittest.TestCase):

    def open_port(self, port_class, *options):
        meter = SimulatedMeter("--baud", str(BAUD), *options)
        self.addCleanup(meter.close)
        port = port_class(meter.path, baudrate=BAUD, timeout=TIMEOUT)
        self.addCleanup(port.close)
        return port

    def check_session(self, stream):
        """Connect, exchange 1, 300 and 5,000 bytes, disconnect, all well
        within one time-out: no read waited for bytes that never came."""
        link = HDLCProtocol(HDLCParameters(DiscToNDMTimeout=0), stream)
        start = time.time()
        link.connect()
        for size in (1, 300, 5000):
            request = bytearray((i * 7) % 256 for i in range(size))
            self.assertEqual(payload(link.send_receive(request)), list(request), size)
        link.disconnect()
        self.assertEqual(link.State, HDLCProtocolState.NDM)
        self.assertLess(time.time() - start, TIMEOUT / 2.0)


class EchoingLineTest(EchoTestCase):

    def test_link_through_echo_cancelling_on_each_port(self):
        for port_class in PORTS:
            self.check_session(EchoCancelling(self.open_port(port_class, "--echo")))

    def test_unwrapped_link_reads_its_own_snrm_back(self):
        port = self.open_port(serial.Serial, "--echo")
        link = HDLCProtocol(HDLCParameters(DiscToNDMTimeout=0), port)
        with self.assertRaises(BrenloException) as raised:
            link.connect()
        self.assertEqual(raised.exception.args[0], "Unexpected response to SNRM frame")


class LineWithoutEchoTest(EchoTestCase):

    def test_echo_cancelling_loses_nothing_and_waits_for_nothing(self):
        # The simulator echoes requests as answers: each answer frame begins
        # with the same three bytes as the request frame, as a UA does after
        # a DISC.
        for port_class in PORTS:
            self.check_session(EchoCancelling(self.open_port(port_class)))


if __name__ == "__main__":
    unittest.main()
