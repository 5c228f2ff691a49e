"""The demonstration host, run against the simulator as a newcomer runs it."""

import unittest

from simulated_line import SimulatedMeter, run_host

EXPECTED_LINES = [
    "CB_S: 7E A0 07 03 21 93 0F 01 7E",
    "CB_R: 7E A0 18 21 03 73 59 31 81 80 0C 05 01 80 06 01 80 07 01 01 08 01 01 05 13 7E",
    "CB_s: NRM",
    "CB_S: 7E A0 07 03 21 53 03 C7 7E",
    "CB_R: 7E A0 07 21 03 73 01 40 7E",
    "CB_s: NDM",
]


class DemonstrationHostTest(unittest.TestCase):

    def test_connect_and_disconnect_are_traced_line_by_line(self):
        meter = SimulatedMeter()
        self.addCleanup(meter.close)
        status, out, err = run_host(meter)
        self.assertEqual((status, err), (0, ""))
        self.assertEqual(out.splitlines(), EXPECTED_LINES)

    def test_a_silent_meter_ends_with_no_response_to_snrm(self):
        meter = SimulatedMeter("--drop-every", "1")
        self.addCleanup(meter.close)
        status, out, err = run_host(meter)
        self.assertEqual(status, 1)
        self.assertEqual(out.splitlines(), EXPECTED_LINES[:1])
        self.assertTrue(err.rstrip().endswith("No response to SNRM"), err)


class OrdinaryImportTest(unittest.TestCase):

    def test_an_import_runs_no_demonstration(self):
        import tarvik.brenlo.hdlcprotocol as module
        for name in ("OnSendStream", "OnReceivedStream", "OnStateChange", "_hdlcParamaters", "port", "_hdlc",
                     "serial", "types"):
            self.assertFalse(hasattr(module, name), name)


if __name__ == "__main__":
    unittest.main()
