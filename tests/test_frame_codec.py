"""Encoding and decoding of HDLC frames."""

import unittest
from itertools import product

from tarvik.memorystream import MemoryStream
from tarvik.brenlo.brenloexception import BrenloException, BrenloExceptionKind
from tarvik.brenlo.frame import Frame, crc16
from support import scripted_meter

Kind = Frame.FrameKind
Address = Frame.FrameAddress
CLIENT = Address(16, 0, 1)
SERVER = Address(1, 0, 1)


def encode(kind, src=CLIENT, dst=SERVER, data=None, **fields):
    return scripted_meter.encode(kind, src, dst, data, **fields)


def decode(buffer):
    frame = Frame()
    frame.set_from_pdu_bytes(buffer)
    return frame


def raw_frame(header, info=()):  # with valid checks
    info = list(info)
    length = 2 + len(header) + 2 + (2 + len(info) if info else 0)
    body = [0xA0 | (length >> 8), length & 0xFF] + list(header)
    if info:
        hcs = crc16(body)
        body += [hcs & 0xFF, hcs >> 8] + info
    fcs = crc16(body)
    return [0x7E] + body + [fcs & 0xFF, fcs >> 8, 0x7E]


class FrameTest(unittest.TestCase):

    def test_known_vectors_and_field_layout(self):
        self.assertEqual(crc16([ord(c) for c in "123456789"]), 0x906E)
        self.assertEqual(encode(Kind.SNRM, PollFinal=True),
                         [0x7E, 0xA0, 0x07, 0x03, 0x21, 0x93, 0x0F, 0x01, 0x7E])
        for pdu, part, expected in [
                (encode(Kind.I, RSequenceNr=5, SSequenceNr=3, PollFinal=True), slice(5, 6), [0xB6]),
                (encode(Kind.RR, RSequenceNr=7, SSequenceNr=4), slice(5, 6), [0xE1]),
                (encode(Kind.DISC, dst=Address(1, 0x11, 2)), slice(3, 6),
                 [0x02, 0x23, 0x21]),
                (encode(Kind.DISC, dst=Address(0x1234, 0xABC, 4)), slice(3, 8),
                 [0x48, 0x68, 0x2A, 0x79, 0x21]),
                (encode(Kind.I, data=[0xE6, 0xE6, 0, 0x60], Segmented=True),
                 slice(1, 6), [0xA8, 13, 0x03, 0x21, 0x00]),
                (encode(Kind.I, data=[]), slice(None), encode(Kind.I))]:
            self.assertEqual(pdu[part], expected)
        for bad in [Frame().get_pdu_bytes, lambda: encode(Kind.I, SSequenceNr=8),
                    lambda: encode(Kind.UI, data=[0] * 2040), lambda: Address(1, 0, 3),
                    lambda: Address(128, 0, 1), lambda: Address(1, 1, 1),
                    lambda: Address(0x4000, 0, 4)]:
            self.assertRaises(ValueError, bad)

    def test_round_trips(self):
        # Every kind and address size: test_frame_description.
        for r, s in product(range(8), range(8)):
            frame = decode(encode(Kind.I, RSequenceNr=r, SSequenceNr=s))
            self.assertEqual((frame.RSequenceNr, frame.SSequenceNr), (r, s))
        info = [0x81, 0x80, 0x12] + list(range(256))
        for kind, segmented in product((Kind.I, Kind.UA, Kind.FRMR), (False, True)):
            frame = decode(encode(kind, data=info, Segmented=segmented))
            self.assertEqual((frame.Data.to_list(), frame.Segmented), (info, segmented))
        stream = MemoryStream([1, 2, 3, 4])  # only bytes within length go out
        stream.length = 2
        self.assertEqual(decode(encode(Kind.I, Data=stream)).Data.to_list(), [1, 2])
        self.assertEqual(decode(encode(Kind.UA) + [0x7E]).Kind, Kind.UA)

    def test_damaged_frames_are_rejected_and_change_nothing(self):
        pdu = encode(Kind.I, data=[1, 2, 3])
        bad = [pdu[:index] for index in range(len(pdu))]
        for index, mask in product(range(len(pdu)), (0x01, 0x80)):
            bad.append(list(pdu))
            bad[-1][index] ^= mask
        hcs = raw_frame([0x21, 0x03, 0x73], info=[1, 2, 3])
        hcs[6] ^= 0x01
        fcs = crc16(hcs[1:-3])
        hcs[-3:-1] = [fcs & 0xFF, fcs >> 8]
        bad += [hcs, raw_frame([0x21, 0x03, 0x19]), raw_frame([0x21, 0x03, 0xFF]),
                raw_frame([2, 2, 2, 2, 0x03, 0x21, 0x93]),
                raw_frame([2, 2, 0x03, 0x21, 0x93]), raw_frame([0x03, 0x21, 0x93, 0])]
        frame = decode(encode(Kind.I, RSequenceNr=3, SSequenceNr=4, Segmented=True,
                              PollFinal=True, data=[9]))
        before = dict(vars(frame))
        for buffer in bad:
            try:
                frame.set_from_pdu_bytes(buffer)
            except BrenloException as error:
                self.assertEqual(error.kind, BrenloExceptionKind.Frame)
            else:
                self.fail("decoded %r" % (buffer,))
            self.assertEqual(vars(frame), before)
        frame.set_from_pdu_bytes(encode(Kind.RNR, src=SERVER, dst=CLIENT))
        self.assertEqual((frame.Kind, frame.RSequenceNr, frame.SSequenceNr, frame.Segmented,
                          frame.PollFinal, frame.Data), (Kind.RNR, 0, 0, False, False, None))


if __name__ == "__main__":
    unittest.main()
