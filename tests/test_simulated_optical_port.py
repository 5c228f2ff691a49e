"""The simulator as a meter behind an optical probe: the IEC 62056-21 mode E
opening at 300 baud before HDLC (--mode-e), and a line that hands back every
byte the client sends (--echo)."""

import time
import unittest

import serial

from tarvik.brenlo import HDLCParameters
from tarvik.brenlo.hdlcprotocol import HDLCProtocol

from simulated_line import EARLY_TOLERANCE, LATE_TOLERANCE, SimulatedMeter, line_time

SIGN_ON = b"/?!\r\n"
ACK_9600 = b"\x06252\r\n"
IDENTIFICATION = b"/TVK5\\2TARVIK\r\n"
SNRM = bytearray([0x7E, 0xA0, 0x07, 0x03, 0x21, 0x93, 0x0F, 0x01, 0x7E])
UA = 0x73


def with_even_parity(data):
    """The bytes a 7E1 character format puts on an 8-bit line."""
    return b"".join(chr(c | (bin(c).count("1") % 2) << 7) for c in bytearray(data))


def read_frame(port):
    head = bytearray(port.read(3))
    return head + bytearray(port.read(((head[1] & 0x07) << 8 | head[2]) - 1))


def open_port(test, baud, *options):
    """A port on a new simulator; both are closed when the test ends."""
    meter = SimulatedMeter(*options)
    test.addCleanup(meter.close)
    port = serial.Serial(meter.path, baud, timeout=1)
    test.addCleanup(port.close)
    return port


class ModeEOpeningTest(unittest.TestCase):

    def start(self, *options):
        return open_port(self, 300, "--mode-e", *options)

    def sign_on(self, port, request=SIGN_ON):
        port.baudrate = 300
        port.write(request)
        return port.readline()

    def acknowledge(self, port, ack=ACK_9600):
        """Sends the ACK, waits until it is on the line, and switches to 9600 baud."""
        port.write(ack)
        time.sleep(line_time(len(ack), 300) + 0.05)
        port.baudrate = 9600
        parameters = HDLCParameters()
        parameters.DiscToNDMTimeout = 0
        return HDLCProtocol(parameters, port)

    def assert_silent(self, port, sent):
        """Nothing comes back, even after what was sent has arrived at 300 baud."""
        port.timeout = line_time(len(sent), 300) + 0.5
        self.assertEqual(port.read(1), b"", repr(sent))
        port.timeout = 1

    def test_opening_at_300_baud_then_hdlc_at_the_agreed_rate(self):
        port = self.start()
        started = time.time()
        self.assertEqual(self.sign_on(port), IDENTIFICATION)
        elapsed = time.time() - started
        self.assertGreaterEqual(elapsed, line_time(len(SIGN_ON) + len(IDENTIFICATION), 300) - EARLY_TOLERANCE)

        link = self.acknowledge(port)
        link.connect()
        started = time.time()
        self.assertEqual(link.send_receive(bytearray(200)).length, 200)
        elapsed = time.time() - started
        on_the_line = line_time(2 * (200 + 14), 9600)  # 0.45 s; 14 s at 300 baud
        self.assertGreaterEqual(elapsed, on_the_line - EARLY_TOLERANCE)
        self.assertLess(elapsed, on_the_line + LATE_TOLERANCE)

        link.disconnect()  # the port goes back to the opening
        self.assertEqual(self.sign_on(port), IDENTIFICATION)

    def test_wrong_or_garbled_sign_ons_are_ignored(self):
        port = self.start("--sign-on-address", "12345678")
        ignored = b"/?!x\r\n" + b"/!\r\n" + b"\x00\xff?!\r\n" + b"/?87654321!\r\n" + bytes(SNRM)
        port.write(ignored)
        self.assert_silent(port, ignored)
        self.assertEqual(self.sign_on(port, b"/?12345678!\r\n"), IDENTIFICATION)

    def test_parity_bits_of_a_7e1_client_are_ignored(self):
        port = self.start()
        self.assertEqual(self.sign_on(port, with_even_parity(SIGN_ON)), IDENTIFICATION)
        self.acknowledge(port, with_even_parity(ACK_9600)).connect()

    def test_wrong_acknowledgement_sends_the_meter_back_to_waiting(self):
        port = self.start()
        self.sign_on(port)
        self.acknowledge(port, b"\x06242\r\n")  # 4800 baud, where 9600 was offered
        port.write(bytes(SNRM))
        self.assert_silent(port, SNRM)
        self.assertEqual(self.sign_on(port), IDENTIFICATION)
        self.acknowledge(port).connect()

    def test_identification_is_sent_as_given(self):
        port = self.start("--identification", "no identification")
        self.assertEqual(self.sign_on(port), b"no identification\r\n")


class EchoingLineTest(unittest.TestCase):

    def open(self, *options):
        return open_port(self, 9600, "--echo", *options)

    def test_every_byte_comes_back_before_the_answer(self):
        port = self.open("--baud", "9600")
        noise = b"\x00noise\xff"
        port.write(noise + bytes(SNRM))
        self.assertEqual(port.read(len(noise) + len(SNRM)), noise + bytes(SNRM))
        self.assertEqual(read_frame(port)[5], UA)

    def test_the_sign_on_is_echoed_too(self):
        port = self.open("--mode-e")
        port.baudrate = 300
        port.write(SIGN_ON)
        self.assertEqual(port.read(len(SIGN_ON)), SIGN_ON)
        self.assertEqual(port.readline(), IDENTIFICATION)


if __name__ == "__main__":
    unittest.main()
