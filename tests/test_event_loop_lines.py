"""FastSerialLine and TcpLine, the lines that wait in the process's event
loop, against the simulator on a pty and over TCP: serial.Serial's
read/write/time-out contract, a frame read ahead by its length field,
and open_line's choice of line for a name."""

from __future__ import absolute_import, division, print_function

import os
import signal
import socket
import threading
import time
import unittest

import serial

from tarvik.brenlo.transport import FastSerialLine, TcpLine, open_line
from tarvik.brenlo.transport._line import Channel

from support.simulator import (EARLY_TOLERANCE, LATE_TOLERANCE, descriptors_past_1023, line_time, new_link,
                               started)

SNRM = bytearray([0x7E, 0xA0, 0x07, 0x03, 0x21, 0x93, 0x0F, 0x01, 0x7E])
BAUD = 115200


def frame_size(header):
    """Bytes of the frame whose first three bytes are C{header}."""
    return ((bytearray(header)[1] << 8 | bytearray(header)[2]) & 0x7FF) + 2


class LineContract(object):
    """The cases every line keeps; a subclass says how to open one."""

    def open(self, meter, **settings):
        raise NotImplementedError

    def meter(self, *options):
        raise NotImplementedError

    def line(self, *options, **settings):
        line = self.open(self.meter("--baud", str(BAUD), *options), **settings)
        self.addCleanup(line.close)
        return line

    def answer_to_snrm(self, line):
        """The UA as the module reads it: the header, then the rest."""
        line.write(SNRM)
        header = line.read(3)
        return header, line.read(frame_size(header) - 3)

    def test_module_exchanges_of_many_frames_and_of_one_large_one(self):
        for field, answer in ((128, 3000), (2030, 2000)):
            line = self.line("--answer", "size:%d" % answer, "--max-info-tx", str(field),
                             "--max-info-rx", str(field), timeout=5)
            link = new_link(line)
            link.connect()
            begun = time.time()
            self.assertEqual(link.send_receive(bytearray(b"\xc0\x01")).to_list(),
                             [i % 251 for i in range(answer)])
            self.assertGreaterEqual(time.time() - begun, line_time(answer, BAUD) - EARLY_TOLERANCE)
            link.disconnect()

    def test_frame_header_read_waits_for_the_whole_frame(self):
        line = self.line(timeout=5)
        line.write(SNRM)
        header = line.read(3)
        self.assertEqual(bytearray(header)[:2], bytearray([0x7E, 0xA0]))
        self.assertEqual(line.in_waiting, frame_size(header) - 3)
        rest = line.read(frame_size(header) - 3)
        self.assertEqual(bytearray(rest)[-1], 0x7E)
        line.reset_input_buffer()
        self.assertEqual(line.in_waiting, 0)

    def test_time_outs_return_what_arrived(self):
        line = self.line(timeout=0.3)
        begun = time.time()
        self.assertEqual(line.read(5), b"")
        self.assertGreaterEqual(time.time() - begun, 0.3 - EARLY_TOLERANCE)
        header, rest = self.answer_to_snrm(line)
        line.write(SNRM)
        begun = time.time()
        self.assertEqual(line.read(100), header + rest)  # fewer, at the time-out
        self.assertGreaterEqual(time.time() - begun, 0.3 - EARLY_TOLERANCE)
        line.timeout = 0
        self.assertEqual(line.read(10), b"")
        line.write(SNRM)
        time.sleep(0.2)
        self.assertEqual(line.read(100), header + rest)  # what is there, at once

    def test_cancel_and_close_end_a_read_that_would_wait_forever(self):
        line = self.line(timeout=None)
        timer = threading.Timer(0.2, line.cancel_read)
        timer.start()
        self.addCleanup(timer.cancel)
        self.assertEqual(line.read(10), b"")
        header, _ = self.answer_to_snrm(line)  # a cancel is used up once
        self.assertEqual(bytearray(header)[0], 0x7E)
        closer = threading.Timer(0.2, line.close)
        closer.start()
        self.addCleanup(closer.cancel)
        begun = time.time()
        with self.assertRaises(serial.SerialException):
            line.read(10)
        self.assertLess(time.time() - begun, 0.2 + LATE_TOLERANCE)
        with self.assertRaises(serial.SerialException):
            line.write(SNRM)

    def test_closed_lines_give_back_every_descriptor(self):
        meter = self.meter()
        before = len(os.listdir("/proc/self/fd"))
        for _ in range(20):
            line = self.open(meter, timeout=5)
            self.answer_to_snrm(line)  # it has waited in the loop
            line.close()
        # The loop thread may still be finishing its turn with the last one.
        deadline = time.time() + 1
        while len(os.listdir("/proc/self/fd")) > before and time.time() < deadline:
            time.sleep(0.01)
        self.assertEqual(len(os.listdir("/proc/self/fd")), before)


class FastSerialLineTest(LineContract, unittest.TestCase):

    def meter(self, *options):
        return started(self, *options)

    def open(self, meter, **settings):
        return open_line(meter.path, baudrate=BAUD, **settings)

    def test_opens_as_the_fast_line_and_follows_baud_rate_changes(self):
        line = self.line(timeout=5)
        self.assertIsInstance(line, FastSerialLine)
        line.baudrate = 9600
        line.baudrate = BAUD
        self.assertEqual(self.answer_to_snrm(line)[0][:1], b"\x7e")


class TcpLineTest(LineContract, unittest.TestCase):

    def meter(self, *options):
        return started(self, *options, tcp=True)

    def open(self, meter, **settings):
        return open_line(meter.url, baudrate=BAUD, **settings)

    def test_peer_close_hands_out_what_came_then_raises(self):
        meter = self.meter()
        line = self.open(meter, timeout=2)
        self.addCleanup(line.close)
        self.assertIsInstance(line, TcpLine)
        header, rest = self.answer_to_snrm(line)
        line.write(SNRM)
        time.sleep(0.3)  # the UA is in the socket's buffer
        meter.close()
        self.assertEqual(line.read(100), header + rest)
        with self.assertRaises(serial.SerialException) as raised:
            line.read(1)
        self.assertEqual(str(raised.exception), "socket disconnected")

    def test_connect_refused_timed_out_and_malformed(self):
        unused = socket.socket()
        unused.bind(("127.0.0.1", 0))
        port = unused.getsockname()[1]
        unused.close()
        with self.assertRaises(serial.SerialException):
            TcpLine("socket://127.0.0.1:%d" % port)
        # A listener that accepts nothing and whose backlog is full drops
        # the next connection's SYN.
        full = socket.socket()
        self.addCleanup(full.close)
        full.bind(("127.0.0.1", 0))
        full.listen(0)
        waiting = socket.create_connection(full.getsockname(), timeout=1)
        self.addCleanup(waiting.close)
        begun = time.time()
        with self.assertRaises(serial.SerialException) as raised:
            TcpLine("socket://127.0.0.1:%d" % full.getsockname()[1], connect_timeout=0.3)
        self.assertIn("timed out", str(raised.exception))
        self.assertLess(time.time() - begun, 0.3 + LATE_TOLERANCE)
        for url in ("socket://127.0.0.1", "tcp://127.0.0.1:1", "socket://:80"):
            with self.assertRaises(serial.SerialException):
                TcpLine(url)

    def test_late_rest_of_a_frame_is_handed_over_when_it_comes(self):
        # A gateway that passes a frame on in blocks, the last one later
        # than the line rate allows: the read, in a thread of its own as a
        # head-end's are, ends when that block is in, not a second line
        # time of the bytes that were still missing later.
        listener = socket.socket()
        self.addCleanup(listener.close)
        listener.bind(("127.0.0.1", 0))
        listener.listen(1)
        line = TcpLine("socket://127.0.0.1:%d" % listener.getsockname()[1], baudrate=110, timeout=10)
        self.addCleanup(line.close)
        peer = listener.accept()[0]
        self.addCleanup(peer.close)
        frame = bytearray([0x7E, 0xA0, 0x1C]) + bytearray(range(26)) + bytearray([0x7E])
        read = []

        def reader():
            header = line.read(3)
            read.append(header + line.read(27))
            read.append(time.time())
        thread = threading.Thread(target=reader)
        thread.start()
        self.addCleanup(thread.join)
        begun = time.time()
        for at, block in ((0, frame[:3]), (0.05, frame[3:10]), (27 * 10.0 / 110 + 0.1, frame[10:])):
            time.sleep(max(0, begun + at - time.time()))
            peer.sendall(block)
        last_block = time.time()
        thread.join()
        self.assertEqual(bytearray(read[0]), frame)
        # A second sleep would have lasted the 20 bytes' line time, 1.8 s.
        self.assertLess(read[1] - last_block, min(LATE_TOLERANCE, 1.5))

    def test_descriptors_above_select_limit(self):
        descriptors_past_1023(self)
        line = self.line(timeout=5)
        self.assertGreater(line.fileno(), 1023)
        self.assertEqual(bytearray(self.answer_to_snrm(line)[1])[-1], 0x7E)


class OtherNamesTest(unittest.TestCase):

    def test_other_urls_go_to_pyserial(self):
        line = open_line("loop://", timeout=0.1)
        self.addCleanup(line.close)
        self.assertNotIsInstance(line, (FastSerialLine, TcpLine))
        line.write(b"abc")
        self.assertEqual(line.read(5), b"abc")

    def test_channel_refuses_bad_arguments(self):
        with self.assertRaises(OSError):
            Channel(-1)
        read, write = os.pipe()
        self.addCleanup(os.close, read)
        self.addCleanup(os.close, write)
        channel = Channel(read, 0.001)
        self.addCleanup(channel.close)
        for call in (lambda: channel.read(-1), lambda: channel.read(1, -2.0), lambda: channel.write(b"x", float("nan")),
                     lambda: Channel(read, -1.0)):
            self.assertRaises(ValueError, call)
        self.assertRaises(TypeError, channel.write, 12)
        os.write(write, b"\x7e\xa0\x05ab")
        self.assertEqual(channel.read(3, 0.2), b"\x7e\xa0\x05")  # the frame is 7 bytes: it waited
        self.assertEqual(channel.read(9, 0), b"ab")
        channel.close()
        self.assertRaises(OSError, channel.read, 1)

    def test_signals_stop_a_main_thread_read(self):
        read, write = os.pipe()
        self.addCleanup(os.close, read)
        self.addCleanup(os.close, write)
        channel = Channel(read)
        self.addCleanup(channel.close)

        def interrupt(signum, frame):
            raise KeyboardInterrupt()
        previous = signal.signal(signal.SIGALRM, interrupt)
        self.addCleanup(signal.signal, signal.SIGALRM, previous)
        signal.setitimer(signal.ITIMER_REAL, 0.3)
        begun = time.time()
        with self.assertRaises(KeyboardInterrupt):
            channel.read(1, None)
        self.assertLess(time.time() - begun, 0.3 + LATE_TOLERANCE)


if __name__ == "__main__":
    unittest.main()
