"""use_logger: every frame and state change of a link, through logging."""

import logging
import os
import subprocess
import sys
import tempfile
import unittest

import tarvik.brenlo.hdlcprotocol as hdlcprotocol
from tarvik.brenlo.hdlcprotocol import HDLCProtocol
from tarvik.brenlo.trace import describe, use_logger, TO_CLIENT, TO_SERVER
from tarvik.utils import Utils
from scripted_meter import Kind, LLC_RESPONSE, ScriptedStream, answer, parameters, ua


class Collector(logging.Handler):

    def __init__(self):
        logging.Handler.__init__(self)
        self.records = []

    def emit(self, record):
        self.records.append(record)


class UseLoggerTest(unittest.TestCase):

    def setUp(self):
        saved = hdlcprotocol.time
        hdlcprotocol.time = type("Clock", (), {"sleep": staticmethod(lambda seconds: None)})
        self.addCleanup(setattr, hdlcprotocol, "time", saved)
        self.collector = Collector()

    def session(self, logger=None, **options):
        """connect, one send_receive and disconnect against a scripted meter."""
        answers = [ua([0x81, 0x80, 0x03, 0x05, 0x01, 0x40]),
                   answer(Kind.I, rsn=1, data=LLC_RESPONSE + [0xC4, 0x01]), answer(Kind.UA)]
        stream = ScriptedStream(*answers)
        record = parameters()
        self.assertIs(use_logger(record, logger, **options), record)
        link = HDLCProtocol(record, stream)
        link.connect()
        self.assertEqual(link.send_receive([0xC0, 0x01]).to_list(), [0xC4, 0x01])
        link.disconnect()
        return stream.writes, [list(bytearray(frame)) for frame in answers]

    def expected_messages(self, sent, received):
        def frame(marker, values, way):
            return "%s %s | %s" % (marker, Utils.bytes_to_hex_string(values),
                                   describe(values, way))
        return [frame("sent:", sent[0], TO_SERVER), frame("received:", received[0], TO_CLIENT),
                "state: NRM",
                frame("sent:", sent[1], TO_SERVER), frame("received:", received[1], TO_CLIENT),
                frame("sent:", sent[2], TO_SERVER), frame("received:", received[2], TO_CLIENT),
                "state: NDM"]

    def test_every_frame_and_state_change_is_logged_in_order(self):
        logger = logging.getLogger("tarvik.brenlo")
        logger.addHandler(self.collector)
        self.addCleanup(logger.removeHandler, self.collector)
        self.addCleanup(logger.setLevel, logger.level)
        logger.setLevel(logging.DEBUG)
        sent, received = self.session()
        messages = [r.getMessage() for r in self.collector.records]
        self.assertEqual(messages, self.expected_messages(sent, received))
        self.assertEqual(set((r.name, r.levelno) for r in self.collector.records),
                         set([("tarvik.brenlo", logging.DEBUG)]))
        self.assertIn("SNRM P/F=1", messages[0])
        self.assertIn("I N(S)=0 N(R)=1 P/F=1 seg=0 len=14 dst=16 src=1/0 (1 byte) | HCS ok FCS ok"
                      " | info 5 bytes: LLC response E6 E7 00 + C4 01", messages[4])

        # The log reads back as a trace without a single flag.
        handle, path = tempfile.mkstemp(suffix=".log")
        self.addCleanup(os.remove, path)
        formatter = logging.Formatter("%(asctime)s %(levelname)s %(name)s %(message)s")
        os.write(handle, "".join(formatter.format(r) + "\n" for r in self.collector.records))
        os.close(handle)
        out = subprocess.check_output([sys.executable, "-B", "-m", "tarvik.brenlo.trace", path])
        self.assertTrue(out.endswith("6 frames: client to server 3 (%d bytes), server to client 3 "
                                     "(%d bytes); 0 errors\n"
                                     % (sum(map(len, sent)), sum(map(len, received)))), out)

    def test_a_logger_and_level_of_ones_own(self):
        for level, enabled_at, logged in [(logging.INFO, logging.INFO, 8),
                                          (logging.DEBUG, logging.INFO, 0)]:
            logger = logging.Logger("meter.line", enabled_at)
            logger.addHandler(self.collector)
            del self.collector.records[:]
            self.session(logger, level=level)
            self.assertEqual(len(self.collector.records), logged)
            self.assertTrue(all(r.levelno == level and r.name == "meter.line"
                                for r in self.collector.records))


if __name__ == "__main__":
    unittest.main()
