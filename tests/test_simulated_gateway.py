"""The simulator behind a TCP gateway (--tcp): every connection is a session
with a meter of its own, and a connection that is closed or reset ends only
its session while the simulator keeps accepting."""

import socket
import struct
import time
import unittest

import serial

from tarvik.brenlo import HDLCParameters
from tarvik.brenlo.hdlcprotocol import HDLCProtocol

from simulated_line import EARLY_TOLERANCE, SimulatedMeter, line_time

SNRM = bytearray([0x7E, 0xA0, 0x07, 0x03, 0x21, 0x93, 0x0F, 0x01, 0x7E])
DISC = bytearray([0x7E, 0xA0, 0x07, 0x03, 0x21, 0x53, 0x03, 0xC7, 0x7E])
UA, DM = 0x73, 0x1F  # control bytes of the meter's answers


def connect(meter):
    session = socket.create_connection(("127.0.0.1", meter.port), timeout=2)
    session.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return session


def reset(session):
    """Closes with a TCP reset instead of an orderly close."""
    session.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    session.close()


def receive_exactly(session, size):
    data = bytearray()
    while len(data) < size:
        chunk = session.recv(size - len(data))
        if not chunk:
            raise EOFError("connection closed after %d bytes" % len(data))
        data += chunk
    return data


def answer_control(session, command):
    """Sends a command frame and returns the control byte of the answer."""
    session.sendall(bytes(command))
    head = receive_exactly(session, 3)
    frame = head + receive_exactly(session, ((head[1] & 0x07) << 8 | head[2]) - 1)
    return frame[5]


class GatewaySessionTest(unittest.TestCase):

    def start(self, *options):
        meter = SimulatedMeter(*options, tcp=True)
        self.addCleanup(meter.close)
        return meter

    def open_protocol(self, meter):
        port = serial.serial_for_url(meter.url, timeout=2)
        self.addCleanup(port.close)
        return port, HDLCProtocol(HDLCParameters(), port)

    def test_each_connection_is_a_meter_of_its_own(self):
        meter = self.start()
        first, second = connect(meter), connect(meter)
        self.addCleanup(first.close)
        self.addCleanup(second.close)
        self.assertEqual(answer_control(first, SNRM), UA)
        self.assertEqual(answer_control(second, DISC), DM)  # not connected in this session
        self.assertEqual(answer_control(first, DISC), UA)   # still connected in that one

    def test_paced_session_through_pyserial(self):
        meter = self.start("--baud", "9600")
        port, link = self.open_protocol(meter)
        link.connect()
        started = time.time()
        self.assertEqual(link.send_receive(bytearray(300)).length, 300)
        # Two frames of 300 bytes and their overhead at 9600 baud.
        self.assertGreaterEqual(time.time() - started, line_time(2 * 314, 9600) - EARLY_TOLERANCE)
        link.disconnect()

    def test_closed_and_reset_connections_end_only_their_session(self):
        meter = self.start("--baud", "9600", "--answer", "size:300")
        port, link = self.open_protocol(meter)
        link.connect()
        port.close()  # dropped without DISC

        half = connect(meter)
        half.sendall(bytes(SNRM[:4]))
        reset(half)  # in the middle of a frame

        talking = connect(meter)
        talking.sendall(bytes(SNRM))
        talking.recv(1)
        reset(talking)  # while the meter is still sending its UA

        port, link = self.open_protocol(meter)
        link.connect()
        self.assertEqual(link.send_receive(bytearray("after")).length, 300)
        self.assertTrue(meter.running())


if __name__ == "__main__":
    unittest.main()
