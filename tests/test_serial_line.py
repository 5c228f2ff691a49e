"""SerialLine: the IOStream contract on bare pseudo-terminals, the link
procedures against the paced simulator, and a line opened above descriptor
1023."""

import os
import threading
import time
import unittest

import serial

from tarvik.brenlo import HDLCProtocolState
from tarvik.brenlo.transport import SerialLine

from support.simulator import (EARLY_TOLERANCE, LATE_TOLERANCE, descriptors_past_1023, line_time, new_link,
                               opened, started)


class PtyTestCase(unittest.TestCase):
    """A SerialLine on the slave of a fresh pty; the test is the far end."""

    def open_line(self, **settings):
        master, slave = os.openpty()
        self.addCleanup(os.close, slave)
        self.far_end = master
        line = SerialLine(os.ttyname(slave), **settings)
        self.addCleanup(line.close)
        self.addCleanup(self.close_far_end)
        return line

    def close_far_end(self):
        if self.far_end is not None:
            os.close(self.far_end)
            self.far_end = None

    def send_later(self, *pieces):
        """Send (delay, bytes) pieces from the far end on a thread."""
        def run():
            for delay, data in pieces:
                time.sleep(delay)
                os.write(self.far_end, data)
        sender = threading.Thread(target=run)
        sender.start()
        self.addCleanup(sender.join)

    def timed_read(self, line, size):
        start = time.time()
        data = line.read(size)
        return data, time.time() - start


class ReadContractTest(PtyTestCase):

    def test_answer_that_stops_early_returns_what_came_after_the_time_out(self):
        line = self.open_line(timeout=0.5)
        self.send_later((0, b"abc"), (0.2, b"de"))
        data, elapsed = self.timed_read(line, 10)
        self.assertEqual(data, b"abcde")
        self.assertGreaterEqual(elapsed, 0.5 - EARLY_TOLERANCE)
        self.assertLess(elapsed, 0.5 + LATE_TOLERANCE)

    def test_zero_timeout_returns_what_is_there_and_none_waits_for_every_byte(self):
        line = self.open_line(timeout=0)
        self.assertEqual(line.read(5), b"")
        self.send_later((0, b"ab"), (0.3, b"cd"), (0.1, b"ef"))
        time.sleep(0.1)
        self.assertEqual(line.read(5), b"ab")
        line.timeout = None
        self.assertEqual(line.read(4), b"cdef")

    def test_cancel_read_ends_a_read_without_time_out(self):
        line = self.open_line(timeout=None)
        self.send_later((0, b"a"))
        canceller = threading.Timer(0.3, line.cancel_read)
        canceller.start()
        self.addCleanup(canceller.join)
        data, elapsed = self.timed_read(line, 1000)
        self.assertEqual(data, b"a")
        self.assertLess(elapsed, 0.3 + LATE_TOLERANCE)

    def test_far_end_hanging_up_raises_instead_of_waiting(self):
        line = self.open_line(timeout=5)
        self.close_far_end()
        start = time.time()
        self.assertRaises(serial.SerialException, line.read, 10)
        self.assertLess(time.time() - start, 5 / 2.0)


class SerialArgumentsTest(PtyTestCase):
    """Settings serial.Serial takes that poll(2) and the line timing do not
    take as they are: each case runs on both classes, with the same result."""

    CASES = [
        ("time-out beyond poll's 2**31 ms", dict(timeout=3e6, write_timeout=3e6), 3, None),
        ("a read of 10**8 bytes at 300 baud without time-out", dict(baudrate=300, timeout=None), 10 ** 8, 0.3),
        ("baud rate 0", dict(baudrate=0, timeout=0.3), 5, None),
    ]

    def outcome(self, port_class, settings, size, cancel_after):
        master, slave = os.openpty()
        self.addCleanup(os.close, master)
        self.addCleanup(os.close, slave)
        port = opened(self, os.ttyname(slave), port_class, **settings)
        self.assertEqual(port.write(b"xyz"), 3)
        os.write(master, b"abc")
        if cancel_after is not None:
            canceller = threading.Timer(cancel_after, port.cancel_read)
            canceller.start()
            self.addCleanup(canceller.join)
        try:
            return port.read(size), os.read(master, 3)
        except Exception as error:
            return type(error)

    def test_each_case_as_serial_serial_has_it(self):
        for name, settings, size, cancel_after in self.CASES:
            self.assertEqual(self.outcome(SerialLine, settings, size, cancel_after),
                             self.outcome(serial.Serial, settings, size, cancel_after), name)
            self.assertEqual(self.outcome(SerialLine, settings, size, cancel_after), (b"abc", b"xyz"), name)


class WriteContractTest(PtyTestCase):

    def test_full_line_gives_a_write_time_out(self):
        line = self.open_line(write_timeout=0.3)
        start = time.time()
        self.assertRaises(serial.SerialTimeoutException, line.write, b"x" * (1 << 20))
        self.assertLess(time.time() - start, 0.3 + LATE_TOLERANCE)


class LinkTest(unittest.TestCase):

    TIMEOUT = 20 * LATE_TOLERANCE   # one read waiting it out fails the test

    def test_answers_from_nothing_to_64_kib_come_without_waiting_for_the_time_out(self):
        for size, baud in ((0, 9600), (1, 9600), (2000, 9600), (65536, 115200)):
            meter = started(self, "--baud", str(baud), "--answer", "size:%d" % size,
                            "--max-info-tx", "1024")
            link = new_link(opened(self, meter.path, SerialLine, baudrate=baud, timeout=self.TIMEOUT))
            begun = time.time()
            link.connect()
            answer = link.send_receive(bytearray(b"\xc0\x01"))
            self.assertEqual(answer.to_list(), [i % 251 for i in range(size)], size)
            link.disconnect()
            self.assertEqual(link.State, HDLCProtocolState.NDM)
            self.assertLess(time.time() - begun, line_time(size, baud) + self.TIMEOUT / 2.0, size)


class ManyDescriptorsTest(unittest.TestCase):

    def test_line_above_descriptor_1023_connects_and_exchanges(self):
        meter = started(self, "--baud", "9600")
        descriptors_past_1023(self)
        line = opened(self, meter.path, SerialLine, baudrate=9600, timeout=5)
        self.assertGreater(line.fd, 1023)
        link = new_link(line)
        link.connect()
        self.assertEqual(link.send_receive(bytearray(b"above 1023")).to_list(), list(bytearray(b"above 1023")))
        link.disconnect()


if __name__ == "__main__":
    unittest.main()
