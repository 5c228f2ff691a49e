"""The simulator's count of overlapping sessions, which the fleet tests
expect to be 0: it sees a second client cut into a session on a pty, and a
gateway carrying more sessions than its limit."""

import socket
import time
import unittest

import serial

from support.fleet_cluster import CountingSimulator

SNRM = bytearray.fromhex("7E A0 07 03 21 93 0F 01 7E")
DISC = bytearray.fromhex("7E A0 07 03 21 53 03 C7 7E")
RR = bytearray.fromhex("7E A0 07 03 21 11 15 A6 7E")
# Time for the unpaced simulator to take a frame in.
SETTLE = 0.2


class SessionCountTest(unittest.TestCase):

    def test_second_client_on_a_pty_counts_once_per_intruding_frame(self):
        meter = CountingSimulator()
        try:
            first = serial.Serial(meter.paths[0], timeout=0)
            second = serial.Serial(meter.paths[0], timeout=0)
            # Two sessions in turn, each opened after a DISC: no overlap.
            for frame in (DISC, SNRM, RR, DISC, DISC, SNRM, DISC):
                first.write(frame)
                time.sleep(SETTLE)
            # Then the second client cuts in twice: its DISC ends the first
            # client's link under it (its RR arrives at a link that is down),
            # and its own SNRM comes while the first client's link is up.
            for port, frame in ((first, SNRM), (second, DISC), (first, RR), (first, SNRM), (second, SNRM)):
                port.write(frame)
                time.sleep(SETTLE)
            first.close()
            second.close()
        finally:
            counts = meter.close()
        self.assertEqual(list(counts.values()), [(4, 2)])

    def test_gateway_counts_connections_beyond_its_limit(self):
        gateway = CountingSimulator("--gateway-limit", "2", tcp=True)
        host, port = gateway.url[len("socket://"):].split(":")
        try:
            for together in (2, 3, 1):
                connections = [socket.create_connection((host, int(port))) for _ in range(together)]
                time.sleep(SETTLE)
                for connection in connections:
                    connection.close()
                time.sleep(SETTLE)
        finally:
            counts = gateway.close()
        self.assertEqual(counts, {"tcp": (6, 1)})


if __name__ == "__main__":
    unittest.main()
