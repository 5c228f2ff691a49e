"""The demonstration host against the simulator, as a newcomer runs it, and
its output read back by python -m tarvik.brenlo.trace; the trace functions'
lines, the same on every interpreter."""

import os
import shutil
import subprocess
import sys
import tempfile
import textwrap
import unittest

from support.simulator import started

# The demonstration's lines (CB_...) as the trace command shows them, each
# frame described beneath it.
DEMO_TRACE = [
    "CB_S: 7E A0 07 03 21 93 0F 01 7E",
    "  C->S SNRM P/F=1 seg=0 len=7 dst=1/0 (1 byte) src=16 | FCS ok",
    "CB_R: 7E A0 18 21 03 73 59 31 81 80 0C 05 01 80 06 01 80 07 01 01 08 01 01 05 13 7E",
    "  S->C UA P/F=1 seg=0 len=24 dst=16 src=1/0 (1 byte) | HCS ok FCS ok | info 15 bytes: "
    "parameters max info field transmit=128, max info field receive=128, window transmit=1, "
    "window receive=1",
    "CB_s: NRM",
    "CB_S: 7E A0 07 03 21 53 03 C7 7E",
    "  C->S DISC P/F=1 seg=0 len=7 dst=1/0 (1 byte) src=16 | FCS ok",
    "CB_R: 7E A0 07 21 03 73 01 40 7E",
    "  S->C UA P/F=1 seg=0 len=7 dst=16 src=1/0 (1 byte) | FCS ok",
    "CB_s: NDM",
    "4 frames: client to server 2 (18 bytes), server to client 2 (35 bytes); 0 errors",
]


# A serial module for the host that opens no port: its port records how it
# was opened and, at the first write, hands the trace functions items of
# every kind; reads time out, so connect fails after that.
TRACING_SERIAL = textwrap.dedent("""
    import sys

    class Values(list):
        pass

    class Serial(object):
        def __init__(self, *args, **kwargs):
            self.opened = (args, sorted(kwargs.items()))

        def write(self, data):
            trace = sys.modules["__main__"].OnSendStream
            for item in (b"raw\\n", bytearray(b"ab"), (1, 2), Values([0x7E, 1]), "tab\\t", u"x"):
                trace(item)
            sys.stdout.softspace = 1   # as a print statement ending in a comma leaves it
            trace([])
            sys.stdout.write("%r\\n" % (self.opened,))

        def read(self, size):
            return b""
    """)

TRACED_ITEMS = [
    "CB_S: 7E A0 07 03 21 93 0F 01 7E",
    "CB_S: raw", "",                    # a byte string is printed as its bytes
    "CB_S: ab", "CB_S: (1, 2)", "CB_S: 7E 01", "CB_S: tab\t", "CB_S: x",
    " CB_S: ",                          # the soft space left before
    "(('COM1',), [('baudrate', 9600), ('bytesize', 8), ('parity', 'N'), ('stopbits', 1), "
    "('timeout', 5)])",
]


def run(command, cwd=None, text=None, env=None):
    """(status, stdout, stderr) of a command, given text on its standard input."""
    process = subprocess.Popen(command, cwd=cwd, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, universal_newlines=True, env=env)
    out, err = process.communicate(text)
    return process.returncode, out, err


class DemonstrationHostTest(unittest.TestCase):

    def run_host(self, *options):
        return run([os.environ["TARVIK_DEMO_HOST"]], cwd=started(self, *options).folder)

    def test_connect_and_disconnect_are_traced_and_read_back_without_a_flag(self):
        status, out, err = self.run_host()
        self.assertEqual((status, err), (0, ""))
        self.assertEqual(out.splitlines(), [line for line in DEMO_TRACE if line.startswith("CB_")])
        status, annotated, err = run([sys.executable, "-B", "-m", "tarvik.brenlo.trace"], text=out)
        self.assertEqual((status, err), (0, ""))
        self.assertEqual(annotated.splitlines(), DEMO_TRACE)

    def test_a_silent_meter_ends_with_no_response_to_snrm(self):
        status, out, err = self.run_host("--drop-every", "1")
        self.assertEqual(status, 1)
        self.assertEqual(out.splitlines(), DEMO_TRACE[:1])
        self.assertTrue(err.rstrip().endswith("No response to SNRM"), err)

    def test_trace_functions_print_as_the_print_statement_does(self):
        folder = tempfile.mkdtemp(prefix="tarvik-serial-")
        self.addCleanup(shutil.rmtree, folder, True)
        with open(os.path.join(folder, "serial.py"), "w") as module:
            module.write(TRACING_SERIAL)
        env = dict(os.environ, PYTHONPATH=os.pathsep.join([folder, os.environ["PYTHONPATH"]]))
        status, out, err = run([os.environ["TARVIK_DEMO_HOST"]], cwd=folder, env=env)
        self.assertEqual(status, 1)
        self.assertEqual(out.splitlines(), TRACED_ITEMS)
        self.assertTrue(err.rstrip().endswith("No response to SNRM"), err)


if __name__ == "__main__":
    unittest.main()
