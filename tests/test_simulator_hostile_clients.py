"""Clients that would wear the simulator down: one that writes and never
reads, one that sends segments without end, more connections than it has
descriptors. Each is cut off or held back, and the simulator stays small
and mostly idle."""

from __future__ import absolute_import, division, print_function

import os
import socket
import tempfile
import time
import unittest

from tarvik.memorystream import MemoryStream
from tarvik.brenlo.frame import Frame

from support.simulator import opened, started

MEGABYTE = 1024 * 1024
TICKS = os.sysconf("SC_CLK_TCK")


def resident_size(pid):
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    raise AssertionError("no VmRSS for %d" % pid)


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


class Usage(object):
    """The simulator's CPU share while a block runs, and its largest size."""

    def __init__(self, meter):
        self.pid = meter.process.pid
        self.largest = 0

    def __enter__(self):
        self.begun, self.cpu = time.time(), cpu_seconds(self.pid)
        return self

    def sample(self):
        self.largest = max(self.largest, resident_size(self.pid))

    def __exit__(self, *exc):
        self.sample()
        self.share = (cpu_seconds(self.pid) - self.cpu) / (time.time() - self.begun)


def frame(kind, segmented=False, info=None, ns=0):
    out = Frame()
    out.Kind = kind
    out.DstAddress = Frame.FrameAddress(1, 0, 1)
    out.SrcAddress = Frame.FrameAddress(16, 0, 1)
    out.PollFinal = True
    out.SSequenceNr = ns
    out.Segmented = segmented
    if info is not None:
        out.Data = MemoryStream(info)
    return bytearray(out.get_pdu_bytes())


def read_frame(connection):
    header = bytearray()
    while len(header) < 3:
        header += connection.recv(3 - len(header))
    size = ((header[1] & 7) << 8 | header[2]) + 2
    while len(header) < size:
        header += connection.recv(size - len(header))
    answer = Frame()
    answer.set_from_pdu_bytes(list(header))
    return answer


class HostileClientTest(unittest.TestCase):

    def log_of(self, meter):
        """What the simulator wrote to stderr, once it has stopped."""
        meter.close()
        self.log.seek(0)
        return self.log.read()

    def started(self, *options, **kwargs):
        self.log = tempfile.TemporaryFile(mode="w+")
        self.addCleanup(self.log.close)
        return started(self, *options, stderr=self.log, **kwargs)

    def test_writer_that_never_reads_is_cut_off_and_leaves_no_backlog(self):
        meter = self.started("--echo")
        port = opened(self, meter.path, timeout=0, write_timeout=0)
        junk = b"\x55" * 4096
        with Usage(meter) as usage:
            until = time.time() + 7
            while time.time() < until:
                port.write(junk)  # as much as the line takes
                usage.sample()
                time.sleep(0.001)
        self.assertLess(usage.largest, 50 * MEGABYTE)
        self.assertLess(usage.share, 0.5)
        port.close()
        time.sleep(0.2)
        port = opened(self, meter.path, timeout=0.5)
        port.write(frame(Frame.FrameKind.SNRM))
        self.assertEqual(bytearray(port.read(1))[:1], bytearray(b"\x7e"))  # its echo first: no junk
        self.assertIn("client cut off, nobody read the line for 5 s", self.log_of(meter))

    def test_endless_segments_end_in_a_frame_reject(self):
        meter = self.started(tcp=True)
        connection = socket.create_connection(("127.0.0.1", meter.port))
        self.addCleanup(connection.close)
        connection.sendall(frame(Frame.FrameKind.SNRM))
        self.assertEqual(read_frame(connection).Kind, Frame.FrameKind.UA)
        segment = bytearray(128)
        sent = 0
        with Usage(meter) as usage:
            while True:
                connection.sendall(frame(Frame.FrameKind.I, True, segment, sent // 128 % 8))
                answer = read_frame(connection)
                if answer.Kind != Frame.FrameKind.RR:
                    break
                sent += len(segment)
                self.assertLess(sent, 2 * 65536)
        self.assertEqual((answer.Kind, sent), (Frame.FrameKind.FRMR, 65536))
        self.assertLess(usage.largest, 50 * MEGABYTE)
        self.assertIn("request longer than 65536 bytes: dropped, frame reject", self.log_of(meter))

    def test_connections_beyond_the_descriptor_limit_wait_without_a_spin(self):
        meter = self.started(tcp=True, prefix=["prlimit", "--nofile=24:24"])
        connections = []
        for _ in range(30):  # 17 taken, the others in the listener's backlog
            connections.append(socket.create_connection(("127.0.0.1", meter.port)))
            self.addCleanup(connections[-1].close)
        with Usage(meter) as usage:
            time.sleep(2)
        self.assertLess(usage.share, 0.1)
        for waiting in connections[:20]:
            waiting.close()
        late = connections[-1]
        late.settimeout(5)
        late.sendall(frame(Frame.FrameKind.SNRM))
        self.assertEqual(read_frame(late).Kind, Frame.FrameKind.UA)
        self.assertIn("out of descriptors", self.log_of(meter))


if __name__ == "__main__":
    unittest.main()
