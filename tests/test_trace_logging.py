"""use_logger: every frame and state change of a link, through logging."""

import logging
import logging.handlers
import subprocess
import sys
import unittest

import tarvik.brenlo.hdlcprotocol as hdlcprotocol
from tarvik.brenlo.hdlcprotocol import HDLCProtocol
from tarvik.brenlo.trace import describe, use_logger, TO_CLIENT, TO_SERVER
from tarvik.utils import Utils
from support.scripted_meter import Kind, LLC_RESPONSE, ScriptedStream, answer, parameters, ua

ANSWERS = [ua([0x81, 0x80, 0x03, 0x05, 0x01, 0x40]),
           answer(Kind.I, rsn=1, data=LLC_RESPONSE + [0xC4, 0x01]), answer(Kind.UA)]


class UseLoggerTest(unittest.TestCase):

    def setUp(self):
        self.addCleanup(setattr, hdlcprotocol, "time", hdlcprotocol.time)
        hdlcprotocol.time = type("Clock", (), {"sleep": staticmethod(lambda seconds: None)})
        self.collector = logging.handlers.BufferingHandler(1000)

    def session(self, logger=None, **options):
        """connect, one send_receive and disconnect against a scripted meter:
        the frames sent, the log's records."""
        stream, record = ScriptedStream(*ANSWERS), parameters()
        self.assertIs(use_logger(record, logger, **options), record)
        link = HDLCProtocol(record, stream)
        link.connect()
        self.assertEqual(link.send_receive([0xC0, 0x01]).to_list(), [0xC4, 0x01])
        link.disconnect()
        return stream.writes, self.collector.buffer

    def test_every_frame_and_state_change_is_logged_in_order(self):
        logger = logging.getLogger("tarvik.brenlo")
        logger.addHandler(self.collector)
        self.addCleanup(logger.removeHandler, self.collector)
        self.addCleanup(logger.setLevel, logger.level)
        logger.setLevel(logging.DEBUG)
        sent, records = self.session()
        received = [list(bytearray(frame)) for frame in ANSWERS]
        frames = ["%s %s | %s" % (marker, Utils.bytes_to_hex_string(values), describe(values, way))
                  for exchange in zip(sent, received)
                  for marker, values, way in zip(("sent:", "received:"), exchange,
                                                 (TO_SERVER, TO_CLIENT))]
        messages = [r.getMessage() for r in records]
        self.assertEqual(messages, frames[:2] + ["state: NRM"] + frames[2:] + ["state: NDM"])
        self.assertEqual(set((r.name, r.levelno) for r in records),
                         set([("tarvik.brenlo", logging.DEBUG)]))
        self.assertIn("I N(S)=0 N(R)=1 P/F=1 seg=0 len=14 dst=16 src=1/0 (1 byte) | HCS ok FCS ok"
                      " | info 5 bytes: LLC response E6 E7 00 + C4 01", messages[4])

        # The log reads back as a trace without a single flag.
        formatter = logging.Formatter("%(asctime)s %(levelname)s %(name)s %(message)s")
        trace = subprocess.Popen([sys.executable, "-B", "-m", "tarvik.brenlo.trace"],
                                 stdin=subprocess.PIPE, stdout=subprocess.PIPE, universal_newlines=True)
        out = trace.communicate("".join(formatter.format(r) + "\n" for r in records))[0]
        self.assertTrue(out.endswith("6 frames: client to server 3 (%d bytes), server to client 3 "
                                     "(%d bytes); 0 errors\n"
                                     % (sum(map(len, sent)), sum(map(len, received)))), out)

    def test_a_logger_and_level_of_ones_own(self):
        for level, enabled_at, logged in [(logging.INFO, logging.INFO, 8),
                                          (logging.DEBUG, logging.INFO, 0)]:
            logger = logging.Logger("meter.line", enabled_at)
            logger.addHandler(self.collector)
            del self.collector.buffer[:]
            records = self.session(logger, level=level)[1]
            self.assertEqual(len(records), logged)
            self.assertTrue(all(r.levelno == level and r.name == "meter.line" for r in records))

    def test_an_application_without_handlers_hears_nothing(self):
        child = subprocess.Popen([sys.executable, "-B", "-c", (
            "import logging\n"
            "from tarvik.brenlo import HDLCParameters\n"
            "from tarvik.brenlo.trace import use_logger\n"
            "logging.getLogger('tarvik.brenlo').setLevel(logging.DEBUG)\n"
            "use_logger(HDLCParameters()).SentStreamCallback([0x7E, 0xA0, 0x07])\n")],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)
        self.assertEqual(child.communicate(), ("", ""))
        self.assertEqual(child.returncode, 0)


if __name__ == "__main__":
    unittest.main()
