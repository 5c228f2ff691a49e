"""The parameter record, link states, exception and hex formatting."""

import unittest

from tarvik.utils import Utils
from tarvik.brenlo import HDLCParameters, HDLCProtocolState
from tarvik.brenlo.brenloexception import BrenloException, BrenloExceptionKind


class CompanionRecordsTest(unittest.TestCase):

    def test_records(self):
        p = HDLCParameters()
        self.assertEqual((p.ClientMACAddress, p.ServerUpperMACAddressValue, p.ServerLowerMACAddressValue,
                          p.ServerAddressSize, p.DiscToNDMTimeout, p.InactivityTimeout),
                         (16, 1, 0, 1, 1000, 120000))
        self.assertEqual([HDLCProtocolState.str(s) for s in (HDLCProtocolState.NDM, HDLCProtocolState.NRM, 42)],
                         ["NDM", "NRM", "Unknown(42)"])
        error = BrenloException("no response", BrenloExceptionKind.Frame)
        self.assertEqual((str(error), error.message, error.kind), ("no response",) * 2 + (BrenloExceptionKind.Frame,))
        self.assertEqual(Utils.bytes_to_hex_string([0x7E, 0xA0, 0x07, 0x0F]), "7E A0 07 0F")


if __name__ == "__main__":
    unittest.main()
