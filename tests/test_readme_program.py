"""The program that README.md shows under "Use" runs as written."""

import os
import re
import subprocess
import sys
import tempfile
import shutil
import unittest

from simulated_line import SimulatedMeter

README = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "README.md")


def program_under(heading):
    """The first Python code block after the given level-2 heading."""
    text = open(README).read()
    section = text.split("\n## %s\n" % heading, 1)[1]
    return re.search(r"```python\n(.*?)```", section, re.S).group(1)


class ReadmeProgramTest(unittest.TestCase):

    def test_the_usage_program_reads_the_simulated_meter(self):
        folder = tempfile.mkdtemp(prefix="tarvik-readme-")
        self.addCleanup(shutil.rmtree, folder, True)
        script = os.path.join(folder, "read_meter.py")
        with open(script, "w") as out:
            out.write(program_under("Use"))
        meter = SimulatedMeter()  # answers each request with the request itself
        self.addCleanup(meter.close)

        process = subprocess.Popen([sys.executable, script, meter.path], cwd=folder,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        out, err = process.communicate()
        self.assertEqual((process.returncode, err), (0, ""))
        aarq = "601da109060760857405080101be10040e01000000065f1f0400007e1f04b0"
        self.assertEqual(out, "answer of 31 bytes: %s\n" % aarq)


if __name__ == "__main__":
    unittest.main()
