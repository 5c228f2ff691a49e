"""The link procedures end to end: pySerial on a pseudo-terminal served by
the bundled meter simulator, with the parameters it offers, while it is
busy, and with each fault it can inject."""

import time
import unittest

from tarvik.brenlo import HDLCProtocolState
from tarvik.brenlo.brenloexception import BrenloException, BrenloExceptionKind

from simulated_line import new_link, opened, started


class LinkTest(unittest.TestCase):

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


if __name__ == "__main__":
    unittest.main()
