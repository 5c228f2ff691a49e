"""Starts the bundled meter simulator on a pseudo-terminal for a test."""

import os
import shutil
import signal
import subprocess
import tempfile
import time


class SimulatedMeter(object):
    """A meter_simulator process whose pty is linked as <folder>/COM1."""

    def __init__(self, *options, **keywords):
        """
        @param options: the simulator's command-line options.
        @keyword stderr: where its --verbose log goes (default: ours).
        """
        self.folder = tempfile.mkdtemp(prefix="tarvik-line-")
        self.path = os.path.join(self.folder, "COM1")
        self.process = subprocess.Popen(
            [os.environ["TARVIK_SIMULATOR"], "--link", self.path] + list(options),
            stdout=subprocess.PIPE, stderr=keywords.get("stderr"))
        self.process.stdout.readline()  # "PTY /dev/pts/N": the link is in place
        deadline = time.time() + 5
        while not os.path.exists(self.path) and time.time() < deadline:
            time.sleep(0.01)

    def close(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        self.process.wait()
        shutil.rmtree(self.folder, ignore_errors=True)


def run_host(meter):
    """Run the demonstration host against a meter: (status, stdout, stderr)."""
    host = subprocess.Popen([os.environ["TARVIK_DEMO_HOST"]], cwd=meter.folder,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    out, err = host.communicate()
    return host.returncode, out, err
