"""The link procedures end to end: pySerial on a pseudo-terminal served by
the bundled meter simulator."""

import time
import unittest

import serial

from tarvik.brenlo import HDLCParameters, HDLCProtocolState
from tarvik.brenlo.brenloexception import BrenloException, BrenloExceptionKind
from tarvik.brenlo.hdlcprotocol import HDLCProtocol

from simulated_line import SimulatedMeter


def payload(stream):
    """The bytes a MemoryStream holds (its list may have spare capacity)."""
    return stream._buffer[:stream.length]


def canned_answer(size):
    return [i % 251 for i in range(size)]


class LinkTestCase(unittest.TestCase):
    simulator_options = ()
    read_timeout = 2

    def setUp(self):
        self.meter = SimulatedMeter(*self.simulator_options)
        self.addCleanup(self.meter.close)
        self.port = serial.Serial(self.meter.path, baudrate=9600, timeout=self.read_timeout)
        self.addCleanup(self.port.close)
        parameters = HDLCParameters()
        parameters.DiscToNDMTimeout = 0
        self.link = HDLCProtocol(parameters, self.port)

    def reconnect(self, settle=0.2):
        """What an application does after a failure: let the line settle, drop stale bytes, connect."""
        time.sleep(settle)
        self.port.reset_input_buffer()
        self.link.connect()
        self.assertEqual(self.link.State, HDLCProtocolState.NRM)


class EchoingMeterTest(LinkTestCase):

    def test_connect_without_ua_parameters_keeps_defaults(self):
        meter = SimulatedMeter("--no-ua-info")
        self.addCleanup(meter.close)
        port = serial.Serial(meter.path, timeout=2)
        self.addCleanup(port.close)
        link = HDLCProtocol(HDLCParameters(), port)
        link.connect()
        self.assertEqual((link._maxInfoFieldLengthTransmit, link._maxInfoFieldLengthReceive,
                          link._windowSizeTransmit, link._windowSizeReceive), (128, 128, 1, 1))
        self.assertEqual(link.State, HDLCProtocolState.NRM)

    def test_requests_of_every_segmentation_boundary_are_echoed(self):
        self.link.connect()
        for size in (1, 125, 126, 300, 5000):
            request = bytearray((i * 7) % 256 for i in range(size))
            answer = self.link.send_receive(request)
            self.assertEqual(payload(answer), list(request), size)

    def test_poll_and_disconnect_leave_the_line_clean(self):
        self.link.connect()
        self.link.poll()
        self.link.disconnect()
        self.assertEqual(self.link.State, HDLCProtocolState.NDM)
        self.link.connect()
        self.assertEqual(payload(self.link.send_receive(bytearray(b"ping"))), list(bytearray(b"ping")))


class NegotiatedParametersTest(LinkTestCase):
    simulator_options = ("--max-info-rx", "300", "--max-info-tx", "1000", "--window-tx", "7")

    def test_ua_parameters_are_taken_from_the_meter_side(self):
        self.link.connect()
        self.assertEqual(self.link._maxInfoFieldLengthTransmit, 300)
        self.assertEqual(self.link._maxInfoFieldLengthReceive, 1000)
        self.assertEqual(self.link._windowSizeReceive, 7)
        request = bytearray(range(256)) * 8
        self.assertEqual(payload(self.link.send_receive(request)), list(request))


class LargeAnswerTest(LinkTestCase):

    def test_answers_up_to_64_kib_are_gathered(self):
        for size in (0, 1, 2000, 65536):
            meter = SimulatedMeter("--answer", "size:%d" % size, "--max-info-tx", "1024")
            self.addCleanup(meter.close)
            port = serial.Serial(meter.path, timeout=2)
            self.addCleanup(port.close)
            link = HDLCProtocol(HDLCParameters(), port)
            link.connect()
            answer = link.send_receive(bytearray(b"\xc0\x01"))
            self.assertEqual(answer.length, size)
            self.assertEqual(payload(answer), canned_answer(size))


class RemoteNotReadyTest(LinkTestCase):
    simulator_options = ("--rnr", "3", "--max-info-rx", "64")

    def test_busy_meter_is_polled_until_ready(self):
        self.link.connect()
        request = bytearray(range(200))
        self.assertEqual(payload(self.link.send_receive(request)), list(request))


def fault_case(option, expected, read_timeout=0.5, extra=(), settle=0.2):
    """A test class whose meter spoils its third answer (the second I-frame answer)."""

    class FaultTest(LinkTestCase):
        simulator_options = (option, "3") + tuple(extra)

        def test_fault_gives_the_documented_error_and_the_link_recovers(self):
            self.read_timeout = read_timeout
            self.port.timeout = read_timeout
            self.link.connect()
            self.link.send_receive(bytearray(b"one"))
            with self.assertRaises(expected[0]) as raised:
                self.link.send_receive(bytearray(b"two"))
            if expected[1] is not None:
                self.assertEqual(raised.exception.args, (expected[1], BrenloExceptionKind.Frame))
            self.reconnect(settle)
            self.assertEqual(payload(self.link.send_receive(bytearray(b"three"))), list(bytearray(b"three")))

    FaultTest.__name__ = "Fault%sTest" % option.strip("-").title().replace("-", "")
    return FaultTest


DropTest = fault_case("--drop-every", (BrenloException, "no response"))
LateTest = fault_case("--late-every", (BrenloException, "no response"), extra=("--late-ms", "1500"), settle=1.5)
WrongSequenceTest = fault_case("--wrong-seq-every", (BrenloException, "IS synch lost"))
DisconnectedModeTest = fault_case("--dm-every", (BrenloException, "Unexpected frame kind"))
GarbageTest = fault_case("--garbage-every", (AssertionError, None))
CorruptTest = fault_case("--corrupt-every", (BrenloException, None))


if __name__ == "__main__":
    unittest.main()
