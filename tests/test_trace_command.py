"""python -m tarvik.brenlo.trace: traces of every form, annotated and
checked. (The demonstration's output is read back in
test_demonstration_host.)"""

import os
import resource
import select
import subprocess
import sys
import tempfile
import time
import unittest

from tarvik.utils import Utils
from support.scripted_meter import CLIENT, SERVER, LLC_REQUEST, LLC_RESPONSE, Kind, encode


COMMAND = [sys.executable, "-B", "-m", "tarvik.brenlo.trace"]
PYTHON3 = "/usr/bin/python3"  # Debian's, with pySerial
MEMCHECK = os.environ.get("TARVIK_MEMCHECK") == "1"  # every child runs under valgrind


def run_trace(text=None, *files, **limits):
    """Run the command on files, or on text as standard input; with
    address_space=N, within N bytes of memory."""
    address_space = limits.pop("address_space", None)

    def limit():
        if address_space:
            resource.setrlimit(resource.RLIMIT_AS, (address_space, address_space))
    process = subprocess.Popen(COMMAND + list(files), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, preexec_fn=limit, universal_newlines=True)
    out, err = process.communicate(text)
    return process.returncode, out, err


def trace_file(test, text):
    """A file holding text, removed when the test ends."""
    trace = tempfile.NamedTemporaryFile("w", suffix=".trace")
    test.addCleanup(trace.close)
    trace.write(text)
    trace.flush()
    return trace.name


def flags(out, mark="!!"):
    return [line.strip()[3:] for line in out.splitlines() if line.startswith("  " + mark + " ")]


def hex_of(values, spaced=True):
    return Utils.bytes_to_hex_string(values).replace("" if spaced else " ", "")


def to_server(kind, **fields):
    return encode(kind, CLIENT, SERVER, PollFinal=True, **fields)


def to_client(kind, **fields):
    return encode(kind, SERVER, CLIENT, PollFinal=True, **fields)


def corrupt_fcs(pdu):
    return pdu[:-2] + [pdu[-2] ^ 0x40, pdu[-1]]


class TraceCommandTest(unittest.TestCase):

    def mixed_trace(self):
        """Every form of line; one N(S) jump and one frame failing its FCS.

        The client sends a request in two segments, the meter answers in
        three; its second segment skips N(S)=1, and the third arrives
        corrupted, is polled for again and repeated.
        """
        jumped = to_client(Kind.I, SSequenceNr=2, RSequenceNr=2, Segmented=True, data=range(30))
        last = to_client(Kind.I, SSequenceNr=3, RSequenceNr=2, data=[0x7E, 1, 2])
        lines = [
            "CB_S: " + hex_of(to_server(Kind.SNRM)),
            ">> 00 FF 55 " + hex_of(to_client(Kind.UA)),
            "CB_s: NRM",
            "2024-05-01 10:00:00,000 DEBUG tarvik.brenlo sent: " + hex_of(to_server(
                Kind.I, Segmented=True, data=LLC_REQUEST + [0xC0, 0x01])) + " | request, part 1",
            hex_of(to_client(Kind.RR, RSequenceNr=1)).lower(),
            hex_of(to_server(Kind.I, SSequenceNr=1, data=[0x00, 0x01]), spaced=False)
            + hex_of(to_client(Kind.I, RSequenceNr=2, Segmented=True, data=LLC_RESPONSE + [0xC4]),
                     spaced=False),
            "<< " + hex_of(to_server(Kind.RR, RSequenceNr=1)),
            hex_of(jumped[:20]),
            "   answer delayed by 100 ms",
            hex_of(jumped[20:]),
            "CB_S: " + hex_of(to_server(Kind.RR, RSequenceNr=3)),
            "CB_R: " + hex_of(corrupt_fcs(last)),
            "CB_S: " + hex_of(to_server(Kind.RR, RSequenceNr=3)),
            "rx " + hex_of(last),
            "CB_S: " + hex_of(to_server(Kind.DISC)),
            "CB_R: " + hex_of(to_client(Kind.UA)),
            "CB_s: NDM",
        ]
        return "\n".join(lines) + "\n"

    def test_exactly_the_jump_and_the_corrupted_frame_are_flagged(self):
        trace = self.mixed_trace()
        status, out, err = run_trace(trace)
        self.assertEqual((status, err), (0, ""))
        sound = to_client(Kind.I, SSequenceNr=3, RSequenceNr=2, data=[0x7E, 1, 2])
        self.assertEqual(flags(out), [
            "N(S)=2 from the server, expected 1",
            "FCS bad: found %s, expected %s" % (hex_of(corrupt_fcs(sound)[-3:-1]),
                                                hex_of(sound[-3:-1]))], out)
        # Not errors: the bytes 0x7E of data and FCS in the corrupted frame; in its sound
        # repetition they are data, worth no note.
        self.assertEqual(flags(out, "!?"), ["0x7E inside the frame at bytes 8, 11"], out)
        # Every line of the trace is shown as it is, in order.
        lines = out.splitlines()
        trace_lines = trace.splitlines()
        self.assertEqual([line for line in lines if line in trace_lines], trace_lines)
        self.assertIn("  noise 3 bytes: 00 FF 55", lines)
        self.assertEqual(lines[-1], "14 frames: client to server 7 (74 bytes), server to client 7 "
                                    "(111 bytes); 2 errors, 1 note, 3 noise bytes, "
                                    "1 line not read")

    # On Python 3 both runs would be the same interpreter's: a case that cannot fail.
    @unittest.skipUnless(sys.version_info[0] == 2 and os.path.exists(PYTHON3), "Python 2 beside %s" % PYTHON3)
    def test_python_3_gives_the_same_report(self):
        trace = self.mixed_trace() + "tx:" + hex_of(to_server(Kind.DISC))[:-3] + "\n"
        python3 = subprocess.Popen([PYTHON3, "-B", "-m", "tarvik.brenlo.trace"], stdin=subprocess.PIPE,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)
        self.assertEqual(python3.communicate(trace), run_trace(trace)[1:])

    def test_what_the_trace_command_cannot_split_or_finish_is_flagged(self):
        snrm, ua = to_server(Kind.SNRM), to_client(Kind.UA, data=[0x81, 0x80, 0x00])
        for lines, expected in [
                # A frame cut short: the next frame's flag ends it.
                ([hex_of(snrm + ua[:8] + ua)], ["frame truncated: 8 of 14 bytes present"]),
                # A request with no answer before the next one, and at the end.
                (["CB_S: " + hex_of(snrm)] * 2,
                 ["no answer to the client's SNRM before this frame",
                  "no answer to the client's SNRM at the end of the trace"]),
                # A frame whose end never came.
                ([hex_of(snrm[:6])], ["frame truncated: 6 of 9 bytes present",
                                      "no answer to the client's SNRM at the end of the trace"]),
                # Glued with shared and doubled flags, split over lines: all sound.
                ([hex_of(snrm + ua[1:] + [0x7E] + snrm[:4]), hex_of(snrm[4:] + ua)], [])]:
            status, out, _ = run_trace("\n".join(lines) + "\n")
            self.assertEqual((status, flags(out)), (0, expected), out)

    def test_sequence_numbers_are_followed_each_way(self):
        def sent(kind, **fields):
            return "CB_S: " + hex_of(to_server(kind, **fields))

        def received(kind, **fields):
            return "CB_R: " + hex_of(to_client(kind, **fields))

        link = [sent(Kind.SNRM), received(Kind.UA)]
        exchange = [sent(Kind.I, SSequenceNr=0, RSequenceNr=0), received(Kind.I, RSequenceNr=1),
                    sent(Kind.I, SSequenceNr=1, RSequenceNr=1),
                    received(Kind.I, SSequenceNr=1, RSequenceNr=2)]
        for lines, expected in [
                # From the middle of a link: the first numbers are taken as they come.
                ([sent(Kind.I, SSequenceNr=5, RSequenceNr=3),
                  received(Kind.I, SSequenceNr=3, RSequenceNr=6),
                  sent(Kind.RR, RSequenceNr=4), received(Kind.RR, RSequenceNr=6)], []),
                (link + exchange, []),
                # An N(R) jump is flagged once; counting goes on from it.
                (link + [sent(Kind.I), received(Kind.RR, RSequenceNr=2),
                         sent(Kind.I, SSequenceNr=2), received(Kind.I, RSequenceNr=3)],
                 ["N(R)=2 from the server, expected 1"]),
                # An exchange sent again frame for frame is a retransmission; another
                # frame with an old N(S) is flagged, and counting goes on from it.
                (link + exchange[:2] + exchange[:2], []),
                (link + exchange[:2] + [sent(Kind.I, SSequenceNr=0, RSequenceNr=1, data=[1])]
                 + exchange[1:],
                 ["N(S)=0 from the client, expected 1"]),
                # An SNRM starts the counting again.
                (link + exchange[:2] + link + exchange, [])]:
            status, out, _ = run_trace("".join(line + "\n" for line in lines))
            self.assertEqual((status, flags(out)), (0, expected), out)

    def test_a_file_that_cannot_be_read_is_named_and_the_rest_read(self):
        name = trace_file(self, "CB_S: " + hex_of(to_server(Kind.DISC)) + "\n")
        status, out, err = run_trace(None, "/nonexistent/trace.log", name)
        self.assertEqual(status, 1)
        self.assertIn("cannot read /nonexistent/trace.log", err)
        self.assertIn("C->S DISC", out)


class HostileTraceTest(unittest.TestCase):
    """Input and output that once made the command mislead, stall or fail."""

    def test_hex_glued_to_its_label_is_read(self):
        snrm = to_server(Kind.SNRM)
        status, out, _ = run_trace("tx:" + hex_of(snrm) + "\nframe=" + hex_of(to_client(Kind.UA)) + "\n")
        self.assertIn("  C->S SNRM P/F=1", out)
        self.assertTrue(out.splitlines()[-1].startswith("2 frames:"), out)

    @unittest.skipIf(MEMCHECK, "valgrind itself needs more address space")
    def test_a_long_line_without_spaces_in_bounded_memory(self):
        frames = hex_of(to_server(Kind.SNRM) + to_client(Kind.UA), spaced=False)
        line = (frames + "55" * 5000) * 1000  # 10 MB
        status, out, err = run_trace(None, trace_file(self, line + "\n"), address_space=200 * 1024 * 1024)
        self.assertEqual((status, err), (0, ""))
        self.assertEqual(out.splitlines()[-1], "2000 frames: client to server 1000 (9000 bytes), server to "
                                               "client 1000 (9000 bytes); 0 errors, 5000000 noise bytes")

    def test_frames_cut_by_the_next_cost_no_more_than_sound_ones(self):
        """Per byte, a trace of openings that each cut the one before costs
        about what a trace of sound frames costs, measured side by side."""
        size = 30000 if MEMCHECK else 300000
        sound = hex_of(to_server(Kind.RR, RSequenceNr=1) + to_client(Kind.RR, RSequenceNr=1))
        cut = "7E A7 FF "
        times = []
        for unit in (sound + "\n", cut * 2000 + "\n"):
            name = trace_file(self, unit * (size // len(unit)))
            begun = time.time()
            status, out, err = run_trace(None, name)
            times.append(time.time() - begun)
            self.assertEqual((status, err), (0, ""))
        self.assertLess(times[1] / times[0], 10, times)

    def test_each_line_is_reported_as_it_comes_and_a_closed_output_is_no_error(self):
        process = subprocess.Popen(COMMAND, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, universal_newlines=True)
        self.addCleanup(process.wait)
        line = "CB_S: " + hex_of(to_server(Kind.SNRM))
        process.stdin.write(line + "\n")
        process.stdin.flush()
        ready, _, _ = select.select([process.stdout], [], [], 60)
        self.assertTrue(ready, "nothing printed while the input stays open")
        self.assertEqual(process.stdout.readline().rstrip("\n"), line)
        self.assertTrue(process.stdout.readline().startswith("  C->S SNRM"))
        process.stdout.close()  # as | head does
        try:
            for _ in range(1000):
                process.stdin.write(line + "\n")
            process.stdin.close()
        except IOError:
            pass  # the command may be gone already
        self.assertEqual((process.wait(), process.stderr.read()), (0, ""))
        process.stderr.close()


if __name__ == "__main__":
    unittest.main()
