"""describe: one line of text for one frame, whole or damaged."""

import os
import random
import unittest
from itertools import product

from tarvik.brenlo.frame import Frame, crc16
from tarvik.brenlo.trace import describe, TO_CLIENT, TO_SERVER
from support.scripted_meter import encode

Kind = Frame.FrameKind
Address = Frame.FrameAddress
CLIENT = Address(16, 0, 1)
SERVERS = [(Address(1, 0, 1), "1/0 (1 byte)"), (Address(1, 17, 2), "1/17 (2 bytes)"),
           (Address(0x3FFF, 300, 4), "16383/300 (4 bytes)")]

SNRM = "7E A0 07 03 21 93 0F 01 7E"


def from_server(kind, data=None, **fields):
    return encode(kind, SERVERS[0][0], CLIENT, data, **fields)


def with_fcs(pdu):
    """pdu with its FCS made good again after a change."""
    pdu = list(pdu)
    fcs = crc16(pdu[1:-3])
    pdu[-3:-1] = [fcs & 0xFF, fcs >> 8]
    return pdu


def check_bytes(value):
    return "%02X %02X" % (value & 0xFF, value >> 8)


class WholeFramesTest(unittest.TestCase):

    def test_every_kind_address_size_and_segmentation(self):
        kinds = [(Kind.I, "I N(S)=3 N(R)=5", (TO_SERVER, TO_CLIENT)),
                 (Kind.RR, "RR N(R)=5", (TO_SERVER, TO_CLIENT)),
                 (Kind.RNR, "RNR N(R)=5", (TO_SERVER, TO_CLIENT)),
                 (Kind.UI, "UI", (TO_SERVER, TO_CLIENT)),
                 (Kind.SNRM, "SNRM", (TO_SERVER,)), (Kind.DISC, "DISC", (TO_SERVER,)),
                 (Kind.UA, "UA", (TO_CLIENT,)), (Kind.DM, "DM", (TO_CLIENT,)),
                 (Kind.FRMR, "FRMR", (TO_CLIENT,))]
        for (kind, named, ways), (server, server_text), segmented, poll, info in product(
                kinds, SERVERS, (False, True), (False, True), (None, [0x2A, 0x7F])):
            for way in ways:
                src, dst = (CLIENT, server) if way == TO_SERVER else (server, CLIENT)
                pdu = encode(kind, src, dst, info, RSequenceNr=5, SSequenceNr=3,
                             Segmented=segmented, PollFinal=poll)
                addresses = ("dst=%s src=16" % server_text if way == TO_SERVER
                             else "dst=16 src=%s" % server_text)
                head = "%s P/F=%d seg=%d len=%d %s | " % (named, poll, segmented, len(pdu) - 2,
                                                          addresses)
                checks = "HCS ok FCS ok | info 2 bytes: " if info else "FCS ok"
                text = describe(pdu, way)
                self.assertTrue(text.startswith(head + checks), (text, head + checks))
                self.assertNotIn("\n", text)
                # Without a direction, the kind or a wider address tells the
                # server's; two 1-byte addresses of a two-way kind show both so.
                if server.Size > 1 or len(ways) == 1:
                    self.assertEqual(describe(pdu), text)
                else:
                    self.assertIn("dst=%s src=%s | " % (
                        "16/0 (1 byte)" if way == TO_CLIENT else server_text,
                        server_text if way == TO_CLIENT else "16/0 (1 byte)"), describe(pdu))

    def test_information_fields_name_the_llc_header_and_shorten_long_ones(self):
        for data, shown in [
                ([0xE6, 0xE6, 0x00, 0x60, 0x1D], "info 5 bytes: LLC request E6 E6 00 + 60 1D"),
                ([0xE6, 0xE7, 0x00], "info 3 bytes: LLC response E6 E7 00"),
                ([0xE6, 0xE7, 0x00] + list(range(20)),
                 "info 23 bytes: LLC response E6 E7 00 + 00 01 02 03 04 05 06 07 08 09 0A 0B "
                 "0C 0D 0E 0F ... (4 more)"),
                ([0xE6, 0xE7], "info 2 bytes: E6 E7"),
                (list(range(17)), "info 17 bytes: 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F "
                                  "... (1 more)")]:
            text = describe(from_server(Kind.I, data), TO_CLIENT)
            self.assertIn("HCS ok FCS ok | " + shown, text)

    def test_link_parameters_of_a_ua_or_snrm_are_named(self):
        for data, named in [
                ([0x81, 0x80, 0x03, 0x05, 0x01, 0x80], "max info field transmit=128"),
                ([0x81, 0x80, 0x04, 0x06, 0x02, 0x04, 0x00], "max info field receive=1024"),
                ([0x81, 0x80, 0x06, 0x07, 0x04, 0, 0, 0, 7], "window transmit=7"),
                ([0x81, 0x80, 0x03, 0x08, 0x01, 0x01], "window receive=1"),
                ([0x81, 0x80, 0x03, 0x09, 0x01, 0x02], "parameter 0x09=2"),
                ([0x81, 0x80, 0x05, 0x05, 0x03, 0x01, 0x02, 0x03],
                 "max info field transmit=66051"),
                ([0x81, 0x80, 0x04, 0x05, 0x02, 0x01], "max info field transmit cut short"),
                ([0x81, 0x80, 0x09, 0x07, 0x01, 0x01], "window transmit=1"),
                ([0x80, 0x80, 0x00, 0x01], "info 4 bytes: 80 80 00 01")]:
            self.assertIn(named, describe(from_server(Kind.UA, data)))
            self.assertIn(named, describe(encode(Kind.SNRM, CLIENT, SERVERS[0][0], data)))

    def test_what_the_receiver_cannot_take_from_an_information_field_is_named(self):
        for kind, data, problem in [
                (Kind.UA, [0x81, 0x80, 0x03, 0x09, 0x01, 0x02],
                 "parameter 0x09 is none of 05 to 08 (the client refuses the UA: Illegal UA data)"),
                (Kind.UA, [0x81, 0x80, 0x05, 0x05, 0x03, 0x01, 0x02, 0x03],
                 "max info field transmit in 3 bytes: not 1, 2 or 4"),
                (Kind.UA, [0x81, 0x80, 0x04, 0x05, 0x02, 0x01], "parameter list cut short"),
                (Kind.UA, [0x81, 0x80, 0x09, 0x07, 0x01, 0x01], "parameter group length 9, 3 bytes follow"),
                (Kind.UA, [0x80, 0x80, 0x00, 0x01], "parameters without the header 81 80 and a group length"),
                (Kind.SNRM, [0x81, 0x80, 0x03, 0x09, 0x01, 0x02], "parameter 0x09 is none of 05 to 08"),
                (Kind.RR, [0x01, 0x02], "RR with an information field (2 bytes)"),
                (Kind.RNR, [0x01], "RNR with an information field (1 byte)"),
                (Kind.DISC, [0x01, 0x02, 0x03], "DISC with an information field (3 bytes)")]:
            pdu = (encode(kind, CLIENT, SERVERS[0][0], data) if kind in (Kind.SNRM, Kind.DISC)
                   else from_server(kind, data))
            self.assertIn(problem, describe(pdu).rsplit(" | ", 1)[-1].split("; "), describe(pdu))
        sound = describe(from_server(Kind.UA, [0x81, 0x80, 0x06, 0x05, 0x01, 0x80, 0x06, 0x01, 0x80]))
        self.assertTrue(sound.endswith("max info field receive=128"), sound)

    def test_frmr_status_bytes_are_named(self):
        for data, named in [
                ([0x93, 0x00, 0x01], "status: rejected SNRM (0x93), V(S)=0 V(R)=0 C/R=0, "
                                     "W: control field unknown"),
                ([0x54, 0xB4, 0x0C], "status: rejected I N(S)=2 N(R)=2 (0x54), V(S)=2 V(R)=5 "
                                     "C/R=1, Y: information field too long, Z: N(R) wrong"),
                ([0xFF, 0x00, 0x02], "status: rejected 0xFF, V(S)=0 V(R)=0 C/R=0, "
                                     "X: information field not allowed"),
                ([0x93, 0x00], "status 93 00")]:
            self.assertIn("| info %d bytes: %s" % (len(data), named),
                          describe(from_server(Kind.FRMR, data)))

    def test_snrm_from_client_16_to_server_1_in_every_form(self):
        expected = "SNRM P/F=1 seg=0 len=7 dst=1/0 (1 byte) src=16 | FCS ok"
        values = [0x7E, 0xA0, 0x07, 0x03, 0x21, 0x93, 0x0F, 0x01, 0x7E]
        for form in [values, bytearray(values), bytes(bytearray(values)), SNRM, SNRM.lower(),
                     SNRM.replace(" ", ""), u"7e a0 07 03 21 93 0f 01 7e", tuple(values)]:
            self.assertEqual(describe(form), expected, form)


class Hostile(object):
    """An object whose own iteration and repr raise."""

    class Item(object):
        def __repr__(self):
            raise RuntimeError("repr")

    def __iter__(self):
        raise KeyError("iter")

    def __repr__(self):
        raise ValueError("repr")


class DamagedFramesTest(unittest.TestCase):

    def test_damage_is_named_with_what_could_be_read(self):
        pdu = from_server(Kind.I, [0xE6, 0xE7, 0x00, 0x01], RSequenceNr=1, PollFinal=True)
        hcs = (pdu[6] | pdu[7] << 8)
        fcs = (pdu[-3] | pdu[-2] << 8)
        bad_hcs = with_fcs(pdu[:6] + [pdu[6] ^ 0xFF] + pdu[7:])
        bad_fcs = pdu[:-3] + [pdu[-3] ^ 0x01] + pdu[-2:]
        longer, shorter = list(pdu), list(pdu)
        longer[2] += 1
        shorter[2] -= 1
        head = "I N(S)=0 N(R)=1 P/F=1 seg=0 len=%d dst=16 src=1/0 (1 byte)"
        for damaged, expected in [
                (pdu[:10], head % 13 + " | HCS ok FCS missing | info 2 bytes: E6 E7 | "
                                       "frame truncated: 10 of 15 bytes present"),
                (pdu[:-1], head % 13 + " | HCS ok FCS ok | info 4 bytes: LLC response "
                                       "E6 E7 00 + 01 | closing flag missing"),
                (pdu[:6], head % 13 + " | FCS missing | frame truncated: 6 of 15 bytes present"),
                (pdu[:5], "seg=0 len=13 | frame truncated: 5 of 15 bytes present"),
                (bad_hcs, head % 13 + " | HCS bad: found %s, expected %s FCS ok"
                 % (check_bytes(hcs ^ 0xFF), check_bytes(hcs))),
                (bad_fcs, head % 13 + " | HCS ok FCS bad: found %s, expected %s"
                 % (check_bytes(fcs ^ 0x01), check_bytes(fcs))),
                (longer, head % 14 + " | HCS bad"),
                (longer, "length field says 14 bytes, 13 between the flags"),
                (shorter, head % 12 + " | HCS bad"),
                (shorter, "length field says 12 bytes, 13 between the flags"),
                (pdu[:-1] + [0x00], "closing flag missing"),
                ([0x00] + pdu[1:], head % 13 + " | HCS ok FCS ok | info 4 bytes: LLC response "
                                   "E6 E7 00 + 01 | opening flag missing (0x00)"),
                (pdu[1:], "HCS ok FCS ok | info 4 bytes: LLC response E6 E7 00 + 01 | "
                          "opening flag missing (0xA0)"),
                (pdu + [0x00, 0x7E], "HCS ok FCS ok | info 4 bytes: LLC response E6 E7 00 + 01 | "
                                     "2 bytes after the closing flag"),
                (with_fcs(pdu[:5] + [0xFF] + pdu[6:]), "control 0xFF seg=0 len=13"),
                (with_fcs(pdu[:5] + [0xFF] + pdu[6:]), "unknown control field 0xFF"),
                (with_fcs(pdu[:3] + [0x20] + pdu[4:]), "address field without end bit"),
                ([0x7E, 0xA0], "frame too short: 2 byte(s): 7E A0"),
                ([], "frame too short: 0 byte(s)"),
                ([0x7E, 0x12, 0x34, 0x7E], "not a type 3 frame: format field 0x1234: 7E 12 34 7E"),
                ([0x7E, 0xA0, 0x03, 0x7E], "frame length 3 too small"),
                (pdu[:7] + [0x7E] + pdu[8:], "0x7E inside at byte 7")]:
            self.assertIn(expected, describe(damaged, TO_CLIENT), damaged)

    def test_nothing_raises(self):
        rng = random.Random(12)
        pdus = [from_server(Kind.I, list(range(40))),
                from_server(Kind.UA, [0x81, 0x80, 0x03, 0x05, 0x01, 0x80]),
                from_server(Kind.FRMR, [0x93, 0, 1]), encode(Kind.RR, CLIENT, Address(2, 3, 4))]
        inputs = [None, 3.5, object(), [300], [-1], [True], ["7E"], u"7E A0 \xe9", "7E A", "   ",
                  "zz", {1: 2}]
        for _ in range(150 if os.environ.get("TARVIK_MEMCHECK") == "1" else 3000):
            pdu = list(rng.choice(pdus))
            for _ in range(rng.randrange(1, 4)):
                index = rng.randrange(len(pdu))
                pdu[index] = rng.choice([0x7E, 0x00, 0xFF, rng.randrange(256)])
            inputs.append(pdu[:rng.randrange(len(pdu) + 1)] if rng.random() < 0.3 else pdu)
        for value in inputs:
            text = describe(value)
            self.assertTrue(isinstance(text, str) and text and "\n" not in text, (value, text))
        self.assertEqual(describe(None), "not a frame: None")
        self.assertEqual(describe(Hostile()), "not a frame: <Hostile object>")
        self.assertEqual(describe(iter(int, 1)), "not a frame: more than 65536 items")
        self.assertEqual(describe([Hostile.Item()]), "not a frame: item <Item object> is not a byte value")
        self.assertEqual(describe([1, 300]), "not a frame: item 300 is not a byte value")
        self.assertEqual(describe("7E A"), "not a frame: hex text with an odd number of digits")


if __name__ == "__main__":
    unittest.main()
