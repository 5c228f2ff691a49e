"""One simulator process serving several pseudo-terminals (--links N): each
link is a meter of its own, with its own link state and fault counters."""

import os
import unittest

import serial

from tarvik.brenlo import HDLCParameters
from tarvik.brenlo.brenloexception import BrenloException
from tarvik.brenlo.hdlcprotocol import HDLCProtocol

from simulated_line import SimulatedMeter

LINKS = 4


class SeveralLinksTest(unittest.TestCase):

    def open_links(self, *options):
        meter = SimulatedMeter(*options, links=LINKS)
        self.addCleanup(meter.close)
        links = []
        for path in meter.paths:
            port = serial.Serial(path, timeout=0.5)
            self.addCleanup(port.close)
            parameters = HDLCParameters()
            parameters.DiscToNDMTimeout = 0
            links.append(HDLCProtocol(parameters, port))
        return meter, links

    def test_each_link_is_a_pty_of_its_own_and_answers(self):
        meter, links = self.open_links("--baud", "9600")
        self.assertEqual(len(set(os.path.realpath(p) for p in meter.paths)), LINKS)
        for link in links:
            link.connect()
        for i, link in enumerate(links):
            request = bytearray("link %d" % i)
            answer = link.send_receive(request)
            self.assertEqual(answer._buffer[:answer.length], list(request))

    def test_faults_count_per_link(self):
        # Every third answer of a link is dropped. Counted over the process,
        # the third connect would already fail.
        meter, links = self.open_links("--drop-every", "3")
        for link in links:
            link.connect()
        links[0].send_receive(bytearray("second answer"))
        with self.assertRaises(BrenloException):
            links[0].send_receive(bytearray("third answer, dropped"))
        for link in links[1:]:
            self.assertEqual(link.send_receive(bytearray("second")).length, len("second"))

    def test_closing_one_link_leaves_the_others_connected(self):
        meter, links = self.open_links()
        for link in links:
            link.connect()
        links[1].disconnect()
        for link in links[:1] + links[2:]:
            self.assertEqual(link.send_receive(bytearray("still connected")).length, len("still connected"))


if __name__ == "__main__":
    unittest.main()
