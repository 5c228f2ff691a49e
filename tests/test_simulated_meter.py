"""The simulator as a meter on its line, end to end: the link procedures
against its parameters and faults, frames paced in both directions,
--links N and --tcp (each link or connection a meter of its own), bad
input skipped, a client that hangs up or resets mid-frame, and the optical
probe's mode E opening (7E1 parity bits, --echo, back to the opening after
DISC)."""

import os
import random
import socket
import struct
import time
import unittest

import serial

from tarvik.brenlo import HDLCProtocolState
from tarvik.brenlo.brenloexception import BrenloException, BrenloExceptionKind
from tarvik.brenlo.transport import EchoCancelling

from support.simulator import (EARLY_TOLERANCE, LATE_TOLERANCE, line_time, new_link, opened,
                            started)

SNRM = bytearray([0x7E, 0xA0, 0x07, 0x03, 0x21, 0x93, 0x0F, 0x01, 0x7E])
UA, UA_LENGTH = 0x73, 26  # with the meter's default parameters
# LLC header (3), flags (2), format (2), addresses (2), control, HCS and FCS (4)
FRAME_OVERHEAD = 3 + 2 + 2 + 2 + 1 + 4


def flag_rich_noise(size, seed=1):
    """Random bytes full of false frame starts: flags, frame types, lengths."""
    rng = random.Random(seed)
    noise = bytearray()
    while len(noise) < size:
        noise += bytearray([0x7E, 0xA0 | rng.randrange(8), rng.randrange(256)])
        noise += bytearray(rng.randrange(256) for _ in range(rng.randrange(20)))
    return noise


def bad_fcs(frame):
    return frame[:-2] + bytearray([frame[-2] ^ 0xFF, 0x7E])


def with_even_parity(data):
    """The bytes a 7E1 character format puts on an 8-bit line."""
    return bytes(bytearray(c | (bin(c).count("1") % 2) << 7 for c in bytearray(data)))


class LinkProcedureTest(unittest.TestCase):
    """The client's link procedures with the parameters the meter offers,
    while it is busy, and with each fault it can inject."""

    def link(self, *options, **settings):
        meter = started(self, *options)
        port = opened(self, meter.path, baudrate=9600, timeout=settings.get("timeout", 2))
        return port, new_link(port)

    def test_ua_parameters_are_taken_from_the_meter_side(self):
        _, link = self.link("--max-info-rx", "300", "--max-info-tx", "1000", "--window-tx", "7")
        link.connect()
        self.assertEqual((link._maxInfoFieldLengthTransmit, link._maxInfoFieldLengthReceive,
                          link._windowSizeReceive), (300, 1000, 7))
        request = bytearray(range(256)) * 8
        self.assertEqual(link.send_receive(request).to_list(), list(request))

    def test_busy_meter_is_polled_until_ready(self):
        _, link = self.link("--rnr", "3", "--max-info-rx", "64")
        link.connect()
        request = bytearray(range(200))
        self.assertEqual(link.send_receive(request).to_list(), list(request))

    # The meter spoils its third answer (the second I-frame answer): the
    # error, then what an application does: let the line settle, drop
    # stale bytes, connect again.
    FAULTS = [
        ("--drop-every", (), BrenloException, "no response", 0.2),
        ("--late-every", ("--late-ms", "1500"), BrenloException, "no response", 1.5),
        ("--wrong-seq-every", (), BrenloException, "IS synch lost", 0.2),
        ("--dm-every", (), BrenloException, "Unexpected frame kind", 0.2),
        ("--garbage-every", (), AssertionError, None, 0.2),
        ("--corrupt-every", (), BrenloException, None, 0.2),
    ]

    def test_each_fault_gives_the_documented_error_and_the_link_recovers(self):
        for option, extra, error, message, settle in self.FAULTS:
            port, link = self.link(option, "3", *extra, timeout=0.5)
            link.connect()
            link.send_receive(bytearray(b"one"))
            with self.assertRaises(error) as raised:
                link.send_receive(bytearray(b"two"))
            if message is not None:
                self.assertEqual(raised.exception.args, (message, BrenloExceptionKind.Frame), option)
            time.sleep(settle)
            port.reset_input_buffer()
            link.connect()
            self.assertEqual(link.State, HDLCProtocolState.NRM, option)
            self.assertEqual(link.send_receive(bytearray(b"three")).to_list(),
                             list(bytearray(b"three")), option)

    def test_dm_and_inactivity_leave_the_link_down_until_the_next_snrm(self):
        # The fourth answer: after the UA and two answers.
        for options, pause in [(("--dm-every", "4"), 0), (("--inactivity-s", "1"), 1.1)]:
            _, link = self.link(*options)
            link.connect()
            for request in (b"one", b"two"):
                link.send_receive(bytearray(request))
            time.sleep(pause)
            for _ in range(2):
                with self.assertRaises(BrenloException) as raised:
                    link.send_receive(bytearray(b"down"))
                self.assertEqual(str(raised.exception), "Unexpected frame kind", options)
            link.connect()
            self.assertEqual(link.send_receive(bytearray(b"up")).to_list(), list(bytearray(b"up")))


class PacingTest(unittest.TestCase):

    def test_request_and_answer_take_their_line_times_one_after_the_other(self):
        meter = started(self, "--baud", "9600", "--answer", "size:1000",
                        "--max-info-rx", "2030", "--max-info-tx", "2030")
        link = new_link(opened(self, meter.path, timeout=5))
        link.connect()
        begun = time.time()
        self.assertEqual(link.send_receive(bytearray(500)).length, 1000)
        elapsed = time.time() - begun
        expected = line_time(500 + FRAME_OVERHEAD, 9600) + line_time(1000 + FRAME_OVERHEAD, 9600)
        self.assertGreaterEqual(elapsed, expected - EARLY_TOLERANCE)
        self.assertLess(elapsed, expected + LATE_TOLERANCE)


class SeveralLinksTest(unittest.TestCase):

    def test_each_link_is_a_meter_of_its_own_with_its_own_faults(self):
        # Every third answer of a link is dropped; counted over the
        # process, the third connect would already fail.
        meter = started(self, "--drop-every", "3", links=3)
        self.assertEqual(len(set(os.path.realpath(p) for p in meter.paths)), 3)
        links = [new_link(opened(self, path, timeout=0.5)) for path in meter.paths]
        for link in links:
            link.connect()
        self.assertEqual(links[0].send_receive(bytearray(b"second")).to_list(), list(bytearray(b"second")))
        self.assertRaises(BrenloException, links[0].send_receive, bytearray(b"third, dropped"))
        links[1].disconnect()
        self.assertEqual(links[2].send_receive(bytearray(b"link 2")).to_list(), list(bytearray(b"link 2")))

    def test_each_tcp_connection_is_a_meter_of_its_own(self):
        # Through pySerial's socket:// port, as behind a TCP gateway.
        meter = started(self, tcp=True)
        first, second = [new_link(opened(self, meter.url, serial.serial_for_url, timeout=0.5)) for _ in range(2)]
        first.connect()
        with self.assertRaises(BrenloException) as raised:
            second.send_receive(bytearray(b"not connected here"))  # answered with DM
        self.assertEqual(raised.exception.args[0], "Unexpected frame kind")
        self.assertEqual(first.send_receive(bytearray(b"connected")).to_list(),
                         list(bytearray(b"connected")))

    def test_tcp_connections_dropped_or_reset_end_only_their_session(self):
        meter = started(self, "--baud", "9600", "--answer", "size:300", tcp=True)
        link = new_link(opened(self, meter.url, serial.serial_for_url, timeout=5))
        link.connect()
        link._IOStream.close()  # dropped without DISC
        for sent in (SNRM[:4], SNRM):  # reset mid-frame, then while the UA is sent
            connection = socket.create_connection(("127.0.0.1", meter.port), timeout=2)
            connection.sendall(bytes(sent))
            if sent == SNRM:
                connection.recv(1)
            connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            connection.close()
        link = new_link(opened(self, meter.url, serial.serial_for_url, timeout=5))
        link.connect()
        self.assertEqual(link.send_receive(bytearray(b"after")).length, 300)
        self.assertTrue(meter.running())


class BadInputTest(unittest.TestCase):
    """Noise and broken frames are skipped, a frame left unfinished is
    given up once the line goes quiet, and the next good frame is answered."""

    BAUD = 115200
    IDLE = 0.5  # the meter gives up an unfinished frame after this long

    def setUp(self):
        self.meter = started(self, "--baud", str(self.BAUD))
        self.port = opened(self, self.meter.path, timeout=2)

    def assert_answers_snrm(self, what):
        self.port.reset_input_buffer()
        self.port.write(bytes(SNRM))
        answer = bytearray(self.port.read(UA_LENGTH))
        self.assertTrue(len(answer) == UA_LENGTH and answer[5] == UA, "%s: %r" % (what, bytes(answer)))

    def test_next_frame_is_answered_after_noise_and_broken_frames(self):
        # Each case: what is written, piece by piece, the meter reading each
        # piece before the next comes; then whether the line goes quiet.
        for what, pieces, idle in [
                ("false frame starts", [flag_rich_noise(5000)], True),
                ("half a frame", [SNRM[:5]], True),
                ("half a frame glued to a good one", [SNRM[:4]], False),
                # found only once later bytes show the false start in front of it to be noise
                ("a broken frame behind a false start",
                 [bytearray([0x7E, 0xA0, 0x30]) + bad_fcs(SNRM) + bytearray(1), bytearray(0x30)], True)]:
            for piece in pieces:
                self.port.write(bytes(piece))
                if idle:
                    time.sleep(line_time(len(piece), self.BAUD) + 0.1)
            if idle:
                time.sleep(self.IDLE + 0.1)
            self.assert_answers_snrm(what)

    def test_client_closing_and_reopening_the_port_mid_frame(self):
        new_link(self.port).connect()
        self.port.write(b"\x7e\xa0\x20\x03\x21\x10")  # the start of an I-frame, then gone
        self.port.close()
        link = new_link(opened(self, self.meter.path, timeout=2))
        link.connect()
        self.assertEqual(link.send_receive(bytearray(b"again")).length, len(b"again"))
        self.assertTrue(self.meter.running())


class ModeEOpeningTest(unittest.TestCase):
    """The simulator's side of the opening on a raw port; the client's
    mode_e_sign_on against it is in test_mode_e_sign_on."""

    SIGN_ON, ACK = b"/?!\r\n", b"\x06252\r\n"
    IDENTIFICATION = b"/TVK5\\2TARVIK\r\n"

    def sign_on(self, port):
        """The 7E1 sign-on, its echo and, after the meter's reaction time,
        the identification, in their line time."""
        port.baudrate = 300
        begun = time.time()
        port.write(with_even_parity(self.SIGN_ON))
        self.assertEqual(port.read(len(self.SIGN_ON)), with_even_parity(self.SIGN_ON))
        self.assertEqual(port.readline(), self.IDENTIFICATION)
        self.assertGreaterEqual(time.time() - begun, 0.2 + line_time(
            len(self.SIGN_ON) + len(self.IDENTIFICATION), 300) - EARLY_TOLERANCE)

    def test_7e1_opening_echoed_then_hdlc_at_9600_until_disc(self):
        port = opened(self, started(self, "--mode-e", "--echo").path, baudrate=300, timeout=3)
        self.sign_on(port)
        time.sleep(0.2)  # the client's reaction time
        port.write(with_even_parity(self.ACK))
        self.assertEqual(port.read(len(self.ACK)), with_even_parity(self.ACK))
        port.baudrate = 9600
        link = new_link(EchoCancelling(port))
        link.connect()
        self.assertEqual(link.send_receive(bytearray(range(200))).to_list(), list(range(200)))
        link.disconnect()
        self.sign_on(port)

    def test_acknowledgement_within_the_reaction_time_is_missed(self):
        port = opened(self, started(self, "--mode-e", "--reaction-ms", "0").path, baudrate=300, timeout=1)
        port.write(with_even_parity(self.SIGN_ON))
        self.assertEqual(port.readline(), self.IDENTIFICATION)
        port.write(with_even_parity(self.ACK))
        time.sleep(line_time(len(self.ACK), 300))
        port.baudrate = 9600
        with self.assertRaises(BrenloException) as raised:
            new_link(port).connect()
        self.assertEqual(str(raised.exception), "No response to SNRM")


if __name__ == "__main__":
    unittest.main()
