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
    """A real frame that logs every attribute set made from outside."""
    count = 0

    def __init__(self):
        Frame.__init__(self)
        FakeFrame.count += 1
        object.__setattr__(self, "tag", FakeFrame.count)
        object.__setattr__(self, "ready", True)
        LOG.append(("Frame", self.tag))

    def __setattr__(self, name, value):
        if self.__dict__.get("ready"):
            LOG.append(("set", self.tag, name, value))
        object.__setattr__(self, name, value)

    def get_pdu_bytes(self):
        LOG.append(("encode", self.tag))
        return Frame.get_pdu_bytes(self)

    def set_from_pdu_bytes(self, buffer):
        LOG.append(("decode", self.tag))
        object.__setattr__(self, "ready", False)
        try:
            Frame.set_from_pdu_bytes(self, buffer)
        finally:
            object.__setattr__(self, "ready", True)


class FakeMemoryStream(MemoryStream):
    """A real stream that logs its creation and every change made to it."""
    count = 0

    def __init__(self, values=None):
        MemoryStream.__init__(self, values)
        FakeMemoryStream.count += 1
        self.tag = FakeMemoryStream.count
        LOG.append(("MemoryStream", self.tag, values is not None))

    def write(self, buffer, offset, count):
        LOG.append(("write", self.tag, list(buffer[offset:offset + count]),
                    offset, count))
        MemoryStream.write(self, buffer, offset, count)

    def write_byte(self, value):
        LOG.append(("write_byte", self.tag, value))
        MemoryStream.write_byte(self, value)

    def erase(self, offset, count):
        LOG.append(("erase", self.tag, offset, count))
        MemoryStream.erase(self, offset, count)

    def _log_length(self, value):
        LOG.append(("length", self.tag, value))
        self._set_length(value)

    def _log_capacity(self, value):
        LOG.append(("capacity", self.tag, value))
        self._set_capacity(value)

    length = property(MemoryStream._get_length, _log_length)
    capacity = property(MemoryStream._get_capacity, _log_capacity)


def frame_sets(tag, log=None):
    """Names set on one frame, split into runs ending at each encode."""
    runs, run = [], []
    for entry in (LOG if log is None else log):
        if entry[0] == "set" and entry[1] == tag:
            run.append(entry[2])
        elif entry == ("encode", tag):
            runs.append(run)
            run = []
    return runs


def stream_log(tag):
    return [e[:1] + e[2:] for e in LOG
            if e[0] in ("write", "write_byte", "erase", "length", "capacity")
            and e[1] == tag]


class CallOrderTest(unittest.TestCase):

    def setUp(self):
        self.saved = hdlcprotocol.Frame, hdlcprotocol.MemoryStream
        hdlcprotocol.Frame = FakeFrame
        hdlcprotocol.MemoryStream = FakeMemoryStream
        del LOG[:]

    def tearDown(self):
        hdlcprotocol.Frame, hdlcprotocol.MemoryStream = self.saved

    def connected(self, *script):
        p = HDLCProtocol(parameters(), ScriptedStream(ua(), *script))
        p.connect()
        del LOG[:]
        return p

    def test_unnumbered_and_poll_frames(self):
        p = HDLCProtocol(parameters(), ScriptedStream(ua(), ua(), ua()))
        for call in (p.connect, p.disconnect, p.poll):
            del LOG[:]
            call()
            tag = LOG[0][1]
            self.assertEqual(LOG[0], ("Frame", tag))
            self.assertEqual(frame_sets(tag), [["Kind", "SrcAddress",
                                                "DstAddress", "PollFinal"]])
        sets = [e for e in LOG if e[0] == "set"]
        self.assertEqual([e[3] for e in sets],
                         [Kind.RR, CLIENT, SERVER, True])
        self.assertFalse(("decode", tag) in LOG)

    def test_connect_decodes_into_same_frame(self):
        HDLCProtocol(parameters(), ScriptedStream(ua())).connect()
        tag = LOG[0][1]
        self.assertEqual([e for e in LOG if e[0] in ("encode", "decode", "Frame")],
                         [("Frame", tag), ("encode", tag), ("decode", tag)])

    def test_exchange_trims_capacity(self):
        p = HDLCProtocol(parameters(), ScriptedStream(ua()))
        result = p._send_receive_bytes([0x7E])
        created = [e for e in LOG if e[0] == "MemoryStream"]
        self.assertEqual([e[2] for e in created], [False, True])
        self.assertEqual(result.tag, created[1][1])
        self.assertEqual(stream_log(result.tag), [("capacity", result.length)])
        del LOG[:]
        empty = p._send_receive_bytes([0x7E])
        self.assertEqual([e for e in LOG if e[0] == "MemoryStream"],
                         [("MemoryStream", empty.tag, False)])
        self.assertEqual(stream_log(empty.tag), [("capacity", 0)])

    def test_segmented_transfer(self):
        request = bytearray(i % 251 for i in range(300))
        p = self.connected(
            answer(Kind.RR, 1), answer(Kind.RR, 2),
            answer(Kind.I, 3, 0, LLC_RESPONSE + [1, 2], segmented=True),
            answer(Kind.I, 3, 1, [3]))
        result = p.send_receive(request)
        frames = [e[1] for e in LOG if e[0] == "Frame"]
        self.assertEqual(len(frames), 2)
        out_tag, in_tag = frames[0], frames[1]
        i_sets = ["Kind", "SrcAddress", "DstAddress", "RSequenceNr",
                  "SSequenceNr", "PollFinal"]
        rr_sets = ["Kind", "Segmented", "SrcAddress", "DstAddress",
                   "RSequenceNr", "SSequenceNr", "PollFinal", "Data"]
        self.assertEqual(frame_sets(out_tag),
                         [i_sets + ["Data", "Segmented"],
                          i_sets + ["Segmented"], i_sets + ["Segmented"],
                          rr_sets])
        self.assertEqual(frame_sets(in_tag), [])
        rr = [e for e in LOG if e[0] == "set" and e[1] == out_tag][-8:]
        self.assertEqual([e[3] for e in rr],
                         [Kind.RR, False, CLIENT, SERVER, 1, 3, True, None])
        segments = [e[3] for e in LOG if e[0] == "set" and e[2] == "Segmented"]
        self.assertEqual(segments, [True, True, False, False])

        data_tag = [e for e in LOG if e[0] == "set" and e[2] == "Data"][0][3].tag
        self.assertEqual(stream_log(data_tag),
                         [("write", [0xE6, 0xE6, 0x00], 0, 3)]
                         + [("write_byte", b) for b in request[:125]]
                         + [("length", 0)]
                         + [("write_byte", b) for b in request[125:253]]
                         + [("length", 0)]
                         + [("write_byte", b) for b in request[253:]])
        self.assertEqual(stream_log(result.tag),
                         [("write", LLC_RESPONSE + [1, 2], 0, 5),
                          ("write", [3], 0, 1), ("erase", 0, 3)])
        self.assertEqual(LOG[-1], ("erase", result.tag, 0, 3))

    def test_segment_after_rr_gets_new_stream(self):
        p = self.connected(answer(Kind.RNR, 1), answer(Kind.RR, 1),
                           answer(Kind.I, 2, 0, LLC_RESPONSE))
        p.send_receive(range(130))
        out_tag = LOG[0][1]
        runs = frame_sets(out_tag)
        self.assertEqual([r[-1] for r in runs],
                         ["Segmented", "Data", "Segmented"])
        self.assertEqual(runs[2][6:], ["Data", "Segmented"])
        data_sets = [e[3] for e in LOG if e[0] == "set" and e[2] == "Data"]
        first, none, second = data_sets
        self.assertTrue(none is None)
        self.assertFalse(second is first)
        self.assertEqual([e for e in stream_log(second.tag)
                          if e[0] == "write_byte"],
                         [("write_byte", b) for b in range(125, 130)])
        self.assertFalse(any(e[0] == "write" for e in stream_log(second.tag)))


if __name__ == "__main__":
    unittest.main()
