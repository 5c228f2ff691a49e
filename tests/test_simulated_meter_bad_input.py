"""Bad input on the simulator's line gets a meter's behaviour: noise and
broken frames are skipped, a frame left unfinished is given up once the line
goes quiet, and the next good frame is answered."""

import random
import time
import unittest

import serial

from tarvik.brenlo import HDLCParameters
from tarvik.brenlo.hdlcprotocol import HDLCProtocol

from simulated_line import SimulatedMeter, line_time

BAUD = 115200
IDLE = 0.5  # the meter gives up an unfinished frame after this long
SNRM = bytearray([0x7E, 0xA0, 0x07, 0x03, 0x21, 0x93, 0x0F, 0x01, 0x7E])
UA, UA_LENGTH = 0x73, 26  # with the meter's default parameters


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


class BadInputTest(unittest.TestCase):

    def setUp(self):
        self.meter = SimulatedMeter("--baud", str(BAUD))
        self.addCleanup(self.meter.close)
        self.port = serial.Serial(self.meter.path, timeout=2)
        self.addCleanup(self.port.close)

    def assert_answers_snrm(self, what):
        self.port.reset_input_buffer()
        self.port.write(bytes(SNRM))
        answer = bytearray(self.port.read(UA_LENGTH))
        self.assertTrue(len(answer) == UA_LENGTH and answer[5] == UA, "%s: %r" % (what, bytes(answer)))

    def test_next_frame_is_answered_after_noise_and_broken_frames(self):
        # Each case: what is written, piece by piece, the meter reading each
        # piece before the next comes.
        cases = [
            ("line noise", [bytearray(random.Random(2).randrange(0x7E) for _ in range(3000))]),
            ("false frame starts", [flag_rich_noise(5000)]),
            ("half a frame", [SNRM[:5]]),
            ("a frame with a bad FCS", [bad_fcs(SNRM)]),
            # found only once later bytes show the false start in front of it to be noise
            ("a broken frame behind a false start",
             [bytearray([0x7E, 0xA0, 0x30]) + bad_fcs(SNRM) + bytearray(1), bytearray(0x30)]),
        ]
        for what, pieces in cases:
            for piece in pieces:
                self.port.write(bytes(piece))
                time.sleep(line_time(len(piece), BAUD) + 0.1)
            time.sleep(IDLE + 0.1)
            self.assert_answers_snrm(what)

    def test_half_a_frame_glued_to_a_good_one_is_given_up_when_the_line_goes_quiet(self):
        self.port.write(bytes(SNRM[:4]))
        self.assert_answers_snrm("half an SNRM before an SNRM")

    def test_client_closing_and_reopening_the_port_mid_frame(self):
        link = HDLCProtocol(HDLCParameters(), self.port)
        link.connect()
        self.port.write(b"\x7e\xa0\x20\x03\x21\x10")  # the start of an I-frame, then gone
        self.port.close()
        self.port = serial.Serial(self.meter.path, timeout=2)
        self.addCleanup(self.port.close)
        link = HDLCProtocol(HDLCParameters(), self.port)
        link.connect()
        self.assertEqual(link.send_receive(bytearray(b"again")).length, len(b"again"))
        self.assertTrue(self.meter.running())


if __name__ == "__main__":
    unittest.main()
