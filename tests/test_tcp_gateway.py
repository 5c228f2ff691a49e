"""A meter behind a TCP gateway: pySerial's socket:// port as the IOStream,
against the simulator's --tcp."""

import os
import subprocess
import time
import unittest

import serial

from tarvik.brenlo import HDLCParameters, HDLCProtocolState
from tarvik.brenlo.hdlcprotocol import HDLCProtocol

TIMEOUT = 5
MARGIN = 1.0


class GatewayMeter(object):
    """A simulator listening on 127.0.0.1; `url` is its socket:// address."""

    def __init__(self, *options):
        self.process = subprocess.Popen(
            [os.environ["TARVIK_SIMULATOR"], "--tcp", "0"] + list(options), stdout=subprocess.PIPE)
        self.url = "socket://" + self.process.stdout.readline().split()[1]

    def close(self):
        self.process.terminate()
        self.process.wait()


class GatewayTest(unittest.TestCase):

    def setUp(self):
        self.meter = GatewayMeter("--answer", "size:5000")
        self.addCleanup(self.meter.close)

    def open_link(self, timeout=TIMEOUT):
        port = serial.serial_for_url(self.meter.url, timeout=timeout)
        self.addCleanup(port.close)
        return port, HDLCProtocol(HDLCParameters(DiscToNDMTimeout=0), port)

    def check_session(self):
        port, link = self.open_link()
        link.connect()
        answer = link.send_receive(bytearray("\xc0\x01"))
        self.assertEqual(answer._buffer[:answer.length], [i % 251 for i in range(5000)])
        link.disconnect()
        self.assertEqual(link.State, HDLCProtocolState.NDM)
        port.close()

    def test_connect_5000_byte_answer_and_disconnect(self):
        self.check_session()

    def test_new_connection_is_served_after_dropped_ones(self):
        port, link = self.open_link()
        port.close()
        port, link = self.open_link()
        link.connect()
        port.write(bytearray(b"\x7e\xa0"))  # a frame cut off by the drop
        port.close()
        self.check_session()

    def test_quiet_connection_keeps_the_read_time_out(self):
        port, link = self.open_link(timeout=0.5)
        start = time.time()
        self.assertEqual(port.read(3), b"")
        self.assertGreaterEqual(time.time() - start, 0.5 - 0.01)
        self.assertLess(time.time() - start, 0.5 + MARGIN)


if __name__ == "__main__":
    unittest.main()
