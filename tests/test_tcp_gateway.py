"""A meter behind a TCP gateway: pySerial's socket:// port as the IOStream,
against the simulator's --tcp, where every connection is a meter of its own
and a connection dropped or reset ends only its own session."""

import socket
import struct
import unittest

import serial

from tarvik.brenlo.brenloexception import BrenloException

from support.simulator import new_link, opened, started

SNRM = bytearray([0x7E, 0xA0, 0x07, 0x03, 0x21, 0x93, 0x0F, 0x01, 0x7E])


def reset(session):
    """Closes with a TCP reset instead of an orderly close."""
    session.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    session.close()


class GatewayTest(unittest.TestCase):

    def link(self, meter, timeout=5):
        return new_link(opened(self, meter.url, serial.serial_for_url, timeout=timeout))

    def test_each_connection_is_a_meter_of_its_own(self):
        meter = started(self, tcp=True)
        first, second = self.link(meter, timeout=0.5), self.link(meter, timeout=0.5)
        first.connect()
        with self.assertRaises(BrenloException) as raised:
            second.send_receive(bytearray(b"not connected here"))  # answered with DM
        self.assertEqual(raised.exception.args[0], "Unexpected frame kind")
        self.assertEqual(first.send_receive(bytearray(b"connected")).to_list(),
                         list(bytearray(b"connected")))

    def test_dropped_and_reset_connections_end_only_their_session(self):
        meter = started(self, "--baud", "9600", "--answer", "size:300", tcp=True)
        link = self.link(meter)
        link.connect()
        link._IOStream.close()  # dropped without DISC

        half = socket.create_connection(("127.0.0.1", meter.port), timeout=2)
        half.sendall(bytes(SNRM[:4]))
        reset(half)  # in the middle of a frame

        talking = socket.create_connection(("127.0.0.1", meter.port), timeout=2)
        talking.sendall(bytes(SNRM))
        talking.recv(1)
        reset(talking)  # while the meter is still sending its UA

        link = self.link(meter)
        link.connect()
        self.assertEqual(link.send_receive(bytearray(b"after")).length, 300)
        self.assertTrue(meter.running())


if __name__ == "__main__":
    unittest.main()
