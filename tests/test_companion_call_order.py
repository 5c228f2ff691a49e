"""The order in which the link procedures drive Frame and MemoryStream."""

import unittest

import tarvik.brenlo.hdlcprotocol as hdlcprotocol
from tarvik.brenlo.hdlcprotocol import HDLCProtocol
from tarvik.brenlo.frame import Frame
from tarvik.memorystream import MemoryStream
from scripted_meter import (Kind, CLIENT, SERVER, LLC_RESPONSE, ScriptedStream,
                            parameters, answer, ua)

LOG = []


class FakeFrame(Frame):
    def __init__(self):
        Frame.__init__(self)
        object.__setattr__(self, "tag", len(LOG))
        LOG.append(("Frame", self.tag))

    def __setattr__(self, name, value):
        if "tag" in self.__dict__ and not self.__dict__.get("decoding"):
            LOG.append(("set", self.tag, name, value))
        object.__setattr__(self, name, value)

    def get_pdu_bytes(self):
        LOG.append(("encode", self.tag))
        return Frame.get_pdu_bytes(self)

    def set_from_pdu_bytes(self, buffer):
        LOG.append(("decode", self.tag))
        object.__setattr__(self, "decoding", True)
        Frame.set_from_pdu_bytes(self, buffer)
        object.__setattr__(self, "decoding", False)


class FakeMemoryStream(MemoryStream):
    def __init__(self, values=None):
        MemoryStream.__init__(self, values)
        self.tag = len(LOG)
        LOG.append(("MemoryStream", self.tag))

    def write(self, buffer, offset, count):
        LOG.append(("write", self.tag, list(buffer[offset:offset + count])))
        MemoryStream.write(self, buffer, offset, count)
    length = property(MemoryStream._get_length, lambda self, value: (
        LOG.append(("length", self.tag, value)), self._set_length(value)))


def logged(name):
    def method(self, *args):
        LOG.append((name, self.tag) + args)
        return getattr(MemoryStream, name)(self, *args)
    return method


FakeMemoryStream.write_byte = logged("write_byte")
FakeMemoryStream.erase = logged("erase")


def frame_sets(tag):
    runs, run = [], []
    for entry in LOG:
        if entry[:2] == ("set", tag):
            run.append(entry[2])
        elif entry == ("encode", tag):
            runs, run = runs + [run], []
    return runs


def changes(tag):
    return [e[:1] + e[2:] for e in LOG if e[0] in ("write", "write_byte",
                                                  "erase", "length") and e[1] == tag]


class CallOrderTest(unittest.TestCase):

    def setUp(self):
        self.saved = hdlcprotocol.Frame, hdlcprotocol.MemoryStream
        hdlcprotocol.Frame, hdlcprotocol.MemoryStream = FakeFrame, FakeMemoryStream
        del LOG[:]

    def tearDown(self):
        hdlcprotocol.Frame, hdlcprotocol.MemoryStream = self.saved

    def test_unnumbered_and_poll_frames(self):
        p = HDLCProtocol(parameters(), ScriptedStream(ua(), ua(), ua()))
        for call, kind in ((p.connect, Kind.SNRM), (p.disconnect, Kind.DISC),
                           (p.poll, Kind.RR)):
            del LOG[:]
            call()
            tag = LOG[0][1]
            self.assertEqual([e[2:] for e in LOG if e[:2] == ("set", tag)],
                             [("Kind", kind), ("SrcAddress", CLIENT),
                              ("DstAddress", SERVER), ("PollFinal", True)])
            self.assertEqual(len(frame_sets(tag)), 1)
            self.assertEqual(("decode", tag) in LOG, kind == Kind.SNRM)

    def test_segmented_transfer(self):
        request = bytearray(i % 251 for i in range(300))
        p = HDLCProtocol(parameters(), ScriptedStream(
            ua(), answer(Kind.RR, 1), answer(Kind.RR, 2),
            answer(Kind.I, 3, 0, LLC_RESPONSE + [1, 2], segmented=True),
            answer(Kind.I, 3, 1, [3])))
        p.connect()
        del LOG[:]
        result = p.send_receive(request)
        out_tag, in_tag = [e[1] for e in LOG if e[0] == "Frame"]
        i_sets = ["Kind", "SrcAddress", "DstAddress", "RSequenceNr",
                  "SSequenceNr", "PollFinal"]
        self.assertEqual(frame_sets(out_tag),
                         [i_sets + ["Data", "Segmented"], i_sets + ["Segmented"],
                          i_sets + ["Segmented"],
                          ["Kind", "Segmented", "SrcAddress", "DstAddress",
                           "RSequenceNr", "SSequenceNr", "PollFinal", "Data"]])
        self.assertEqual([e[3] for e in LOG if e[0] == "set"][-8:],
                         [Kind.RR, False, CLIENT, SERVER, 1, 3, True, None])
        data = [e[3] for e in LOG if e[0] == "set" and e[2] == "Data"][0]
        self.assertEqual(changes(data.tag),
                         [("write", [0xE6, 0xE6, 0x00])]
                         + [("write_byte", b) for b in request[:125]]
                         + [("length", 0)]
                         + [("write_byte", b) for b in request[125:253]]
                         + [("length", 0)]
                         + [("write_byte", b) for b in request[253:]])
        self.assertEqual(changes(result.tag), [("write", LLC_RESPONSE + [1, 2]),
                                               ("write", [3]), ("erase", 0, 3)])


if __name__ == "__main__":
    unittest.main()
