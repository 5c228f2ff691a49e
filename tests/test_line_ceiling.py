"""The benchmarks' line ceiling counts the very frames that cross the line.

support/exchange.py encodes the frames of one send_receive to compute the
ceiling the line-rate figures are divided by, and the do-nothing client
replays them. Against the simulator (unpaced), the module must write
exactly the request and RR frames it lists and read exactly its answer
frames, and the replay must get the same answer frames."""

import unittest

from support.exchange import REQUEST, Exchange
from support.simulator import SimulatedMeter
from tarvik.brenlo import HDLCParameters
from tarvik.brenlo.hdlcprotocol import HDLCProtocol
from tarvik.brenlo.transport import SerialLine

# (answer bytes, information field): one frame, a partial last frame,
# whole fields, and more than eight frames, so that N(S) and N(R) wrap.
CASES = [(10, 128), (300, 128), (20 * 128 - 3, 128), (3 * 2030 - 3, 2030), (5000, 2030)]


class Recording(object):
    """An IOStream that keeps what crossed it, each write and each read."""

    def __init__(self, port):
        self.port = port
        self.written, self.read_bytes = [], b""

    def write(self, data):
        self.written.append(bytes(data))
        return self.port.write(data)

    def read(self, size=1):
        data = self.port.read(size)
        self.read_bytes += data
        return data


class LineCeilingTest(unittest.TestCase):

    def connected_link(self, exchange):
        meter = SimulatedMeter("--answer", "size:%d" % exchange.answer,
                               "--max-info-tx", str(exchange.field),
                               "--max-info-rx", str(exchange.field))
        self.addCleanup(meter.close)
        port = SerialLine(meter.path, baudrate=115200, timeout=5)
        self.addCleanup(port.close)
        stream = Recording(port)
        link = HDLCProtocol(HDLCParameters(DiscToNDMTimeout=0), stream)
        link.connect()
        stream.written, stream.read_bytes = [], b""
        return link, stream

    def test_module_sends_and_receives_the_listed_frames(self):
        for answer, field in CASES:
            exchange = Exchange(answer, field)
            link, stream = self.connected_link(exchange)
            self.assertEqual(link.send_receive(REQUEST).length, answer)
            self.assertEqual(stream.written, [exchange.request_frame] + exchange.rr_frames,
                             (answer, field))
            self.assertEqual(stream.read_bytes, b"".join(exchange.answer_frames), (answer, field))
            self.assertEqual(sum(map(len, stream.written)), exchange.client_bytes())
            self.assertEqual(len(stream.read_bytes), exchange.meter_bytes())

    def test_replay_gets_the_listed_answer_frames(self):
        for answer, field in CASES:
            exchange = Exchange(answer, field)
            link, stream = self.connected_link(exchange)
            self.assertEqual(exchange.replay(stream), exchange.answer_frames, (answer, field))

    def test_ceiling_is_the_payload_over_the_line_time_of_every_byte(self):
        # 20 full 128-byte fields: 20 frames of 139 bytes, a 30-byte
        # request and 19 RRs of 9 bytes, 10 bits a byte.
        exchange = Exchange(20 * 128 - 3, 128)
        self.assertEqual((exchange.meter_bytes(), exchange.client_bytes()), (20 * 139, 30 + 19 * 9))
        self.assertAlmostEqual(exchange.line_time(9600), (20 * 139 + 30 + 19 * 9) * 10 / 9600.0)
        self.assertAlmostEqual(exchange.ceiling(9600), (20 * 128 - 3) / exchange.line_time(9600))

    def test_lasting_sizes_whole_fields_to_the_time_asked(self):
        for seconds, field, baud, least, frames in [(8.0, 128, 9600, 8, 52), (8.0, 2030, 9600, 8, 8),
                                                    (1.0, 2030, 115200, 1, 6)]:
            exchange = Exchange.lasting(seconds, field, baud, least)
            self.assertEqual(len(exchange.answer_frames), frames, (seconds, field, baud))
            self.assertEqual(exchange.answer, frames * field - 3)


if __name__ == "__main__":
    unittest.main()
