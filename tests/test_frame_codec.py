"""Encoding and decoding of HDLC frames."""

import unittest

from tarvik.memorystream import MemoryStream
from tarvik.brenlo.brenloexception import BrenloException, BrenloExceptionKind
from tarvik.brenlo.frame import Frame, crc16

Kind = Frame.FrameKind
Address = Frame.FrameAddress
CLIENT = Address(16, 0, 1)
SERVER = Address(1, 0, 1)
ALL_KINDS = [Kind.SNRM, Kind.UA, Kind.DISC, Kind.DM, Kind.FRMR, Kind.I,
             Kind.RR, Kind.RNR, Kind.UI]


def encode(kind, src=CLIENT, dst=SERVER, data=None, **fields):
    frame = Frame()
    frame.Kind, frame.SrcAddress, frame.DstAddress = kind, src, dst
    if data is not None:
        frame.Data = MemoryStream(data)
    for name, value in fields.items():
        setattr(frame, name, value)
    return frame.get_pdu_bytes()


def decode(buffer):
    frame = Frame()
    frame.set_from_pdu_bytes(buffer)
    return frame


def raw_frame(header, info=()):
    """Build a frame from raw address and control bytes, with valid checks."""
    info = list(info)
    length = 2 + len(header) + 2 + (2 + len(info) if info else 0)
    body = [0xA0 | (length >> 8), length & 0xFF] + list(header)
    if info:
        hcs = crc16(body)
        body += [hcs & 0xFF, hcs >> 8] + info
    fcs = crc16(body)
    return [0x7E] + body + [fcs & 0xFF, fcs >> 8, 0x7E]


class EncodingTest(unittest.TestCase):

    def test_known_vectors(self):
        self.assertEqual(crc16([ord(c) for c in "123456789"]), 0x906E)
        self.assertEqual(encode(Kind.SNRM, PollFinal=True),
                         [0x7E, 0xA0, 0x07, 0x03, 0x21, 0x93, 0x0F, 0x01, 0x7E])

    def test_control_and_address_fields(self):
        self.assertEqual(encode(Kind.I, RSequenceNr=5, SSequenceNr=3,
                                PollFinal=True)[5], 0xB6)
        self.assertEqual(encode(Kind.RR, RSequenceNr=7, SSequenceNr=4)[5], 0xE1)
        self.assertEqual(encode(Kind.RNR, RSequenceNr=2, PollFinal=True)[5],
                         0x55)
        self.assertEqual(encode(Kind.DISC, dst=Address(1, 0x11, 2))[3:6],
                         [0x02, 0x23, 0x21])
        self.assertEqual(encode(Kind.DISC, dst=Address(0x1234, 0xABC, 4))[3:8],
                         [0x48, 0x68, 0x2A, 0x79, 0x21])

    def test_information_field_layout(self):
        pdu = encode(Kind.I, data=[0xE6, 0xE6, 0x00, 0x60], Segmented=True)
        self.assertEqual((len(pdu), pdu[1:3]), (15, [0xA8, 13]))
        hcs = crc16(pdu[1:6])
        self.assertEqual(pdu[6:12], [hcs & 0xFF, hcs >> 8, 0xE6, 0xE6, 0, 0x60])
        self.assertEqual(encode(Kind.I, data=[]), encode(Kind.I))

    def test_only_bytes_within_length_are_sent(self):
        frame = Frame()
        frame.Kind, frame.SrcAddress, frame.DstAddress = Kind.I, CLIENT, SERVER
        frame.Data = MemoryStream([1, 2, 3, 4])
        frame.Data.length = 2
        self.assertEqual(decode(frame.get_pdu_bytes()).Data.to_list(), [1, 2])

    def test_unencodable_frames(self):
        self.assertRaises(ValueError, Frame().get_pdu_bytes)
        self.assertRaises(ValueError, encode, Kind.I, SSequenceNr=8)
        self.assertRaises(ValueError, encode, Kind.UI, data=[0] * 2040)

    def test_addresses_must_fit_their_size(self):
        self.assertEqual(Address(1, 17, 2), Address(1, 17, 2))
        self.assertNotEqual(Address(1, 0, 1), Address(1, 0, 2))
        for args in [(1, 0, 3), (128, 0, 1), (1, 1, 1), (0x4000, 0, 4)]:
            self.assertRaises(ValueError, Address, *args)


class RoundTripTest(unittest.TestCase):

    def test_every_kind_and_address_size(self):
        for server in [SERVER, Address(1, 17, 2), Address(0x3FFF, 300, 4)]:
            for kind in ALL_KINDS:
                for poll in (False, True):
                    frame = decode(encode(kind, src=server, dst=CLIENT,
                                          PollFinal=poll))
                    self.assertEqual((frame.Kind, frame.SrcAddress,
                                      frame.DstAddress, frame.PollFinal,
                                      frame.Data),
                                     (kind, server, CLIENT, poll, None))

    def test_sequence_numbers(self):
        for r in range(8):
            for s in range(8):
                frame = decode(encode(Kind.I, RSequenceNr=r, SSequenceNr=s))
                self.assertEqual((frame.RSequenceNr, frame.SSequenceNr), (r, s))
            frame = decode(encode(Kind.RR, RSequenceNr=r, SSequenceNr=5))
            self.assertEqual((frame.RSequenceNr, frame.SSequenceNr), (r, 0))

    def test_information_field_and_segmentation(self):
        info = [0x81, 0x80, 0x12] + range(256)
        for kind in (Kind.I, Kind.UA, Kind.FRMR):
            for segmented in (False, True):
                frame = decode(encode(kind, data=info, Segmented=segmented))
                self.assertEqual(frame.Data.to_list(), info)
                self.assertEqual(frame.Segmented, segmented)

    def test_bytes_after_closing_flag_are_ignored(self):
        stream = MemoryStream(encode(Kind.UA))
        stream.write_byte(0x7E)
        self.assertEqual(decode(stream._buffer).Kind, Kind.UA)


class DecodingErrorTest(unittest.TestCase):

    def assertFrameError(self, buffer):
        try:
            decode(buffer)
        except BrenloException as error:
            self.assertEqual(error.kind, BrenloExceptionKind.Frame)
        else:
            self.fail("decoded %r" % (buffer,))

    def test_truncated_or_corrupted(self):
        pdu = encode(Kind.I, data=[1, 2, 3])
        for index in range(len(pdu)):
            self.assertFrameError(pdu[:index])
            for mask in (0x01, 0x80):
                corrupted = list(pdu)
                corrupted[index] ^= mask
                self.assertFrameError(corrupted)

    def test_bad_hcs_under_valid_fcs(self):
        pdu = raw_frame([0x21, 0x03, 0x73], info=[1, 2, 3])
        pdu[6] ^= 0x01
        fcs = crc16(pdu[1:-3])
        pdu[-3:-1] = [fcs & 0xFF, fcs >> 8]
        self.assertFrameError(pdu)

    def test_malformed_headers_with_valid_checks(self):
        self.assertFrameError(raw_frame([0x21, 0x03, 0x19]))   # REJ
        self.assertFrameError(raw_frame([0x21, 0x03, 0xFF]))
        self.assertFrameError(raw_frame([2, 2, 2, 2, 0x03, 0x21, 0x93]))
        self.assertFrameError(raw_frame([2, 2, 0x03, 0x21, 0x93]))
        self.assertFrameError(raw_frame([0x03, 0x21, 0x93, 0x00]))

    def test_decode_replaces_all_or_nothing(self):
        frame = decode(encode(Kind.I, RSequenceNr=3, SSequenceNr=4,
                              Segmented=True, PollFinal=True, data=[9]))
        before = dict(vars(frame))
        pdu = encode(Kind.UA)
        pdu[-2] ^= 0xFF
        self.assertRaises(BrenloException, frame.set_from_pdu_bytes, pdu)
        self.assertEqual(vars(frame), before)
        frame.set_from_pdu_bytes(encode(Kind.RNR, src=SERVER, dst=CLIENT))
        self.assertEqual((frame.Kind, frame.RSequenceNr, frame.SSequenceNr,
                          frame.Segmented, frame.PollFinal, frame.Data,
                          frame.SrcAddress, frame.DstAddress),
                         (Kind.RNR, 0, 0, False, False, None, SERVER, CLIENT))


if __name__ == "__main__":
    unittest.main()
