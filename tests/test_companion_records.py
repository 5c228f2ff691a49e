"""The parameter record, link states, exception and hex formatting."""

import unittest

from tarvik.utils import Utils
from tarvik.brenlo import HDLCParameters, HDLCProtocolState
from tarvik.brenlo.brenloexception import BrenloException, BrenloExceptionKind


class CompanionRecordsTest(unittest.TestCase):

    def test_parameter_defaults(self):
        p = HDLCParameters()
        self.assertEqual(
            (p.ClientMACAddress, p.ServerUpperMACAddressValue,
             p.ServerLowerMACAddressValue, p.ServerAddressSize,
             p.SentStreamCallback, p.ReceivedStreamCallBack,
             p.StateChangeCallBack, p.DiscToNDMTimeout, p.InactivityTimeout),
            (16, 1, 0, 1, None, None, None, 1000, 120000))

    def test_state_names(self):
        self.assertNotEqual(HDLCProtocolState.NDM, HDLCProtocolState.NRM)
        self.assertEqual(HDLCProtocolState.str(HDLCProtocolState.NDM), "NDM")
        self.assertEqual(HDLCProtocolState.str(HDLCProtocolState.NRM), "NRM")
        self.assertEqual(HDLCProtocolState.str(42), "Unknown(42)")
        self.assertEqual(HDLCProtocolState.str([]), "Unknown([])")

    def test_exception_message_and_kind(self):
        error = BrenloException("no response", BrenloExceptionKind.Frame)
        self.assertTrue(isinstance(error, Exception))
        self.assertEqual(str(error), "no response")
        self.assertEqual(error.args, ("no response", BrenloExceptionKind.Frame))
        self.assertEqual((error.message, error.kind),
                         ("no response", BrenloExceptionKind.Frame))

    def test_bytes_to_hex_string(self):
        self.assertEqual(Utils.bytes_to_hex_string([0x7E, 0xA0, 0x07, 0x0F]),
                         "7E A0 07 0F")
        self.assertEqual(Utils.bytes_to_hex_string([]), "")


if __name__ == "__main__":
    unittest.main()
