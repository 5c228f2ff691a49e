"""Installing with Python 2.7's own pip, offline, as a new user does it.

Each case copies the repository's files (what a clone holds) into a
scratch folder, installs from there with `pip install --no-index` into a
place of its own, uses the installed copy with nothing else of tarvik on
the path, and uninstalls it again.
"""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

from simulated_line import SimulatedMeter

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PYTHON = sys.executable

# Run in a fresh interpreter: reports where each part of the package comes
# from, then talks to the meter whose port is given, if one is.
SESSION = r"""
import sys
import tarvik, tarvik.brenlo.frame, tarvik.brenlo.hdlcprotocol as hdlcprotocol
for module in (tarvik, tarvik.brenlo.frame, hdlcprotocol):
    print module.__file__
if len(sys.argv) > 1:
    import serial
    from tarvik.brenlo import HDLCParameters
    port = serial.Serial(sys.argv[1], timeout=2)
    link = hdlcprotocol.HDLCProtocol(HDLCParameters(DiscToNDMTimeout=0), port)
    link.connect()
    print "answer", list(link.send_receive(bytearray(b"\x01\x02\x03")).to_list())
    link.disconnect()
"""


def copy_of_repository(folder):
    """The repository's tracked and new (not ignored) files, nothing built."""
    names = subprocess.check_output(
        ["git", "ls-files", "-z", "--cached", "--others", "--exclude-standard"], cwd=REPO)
    clone = os.path.join(folder, "clone")
    for name in filter(None, names.split("\0")):
        source = os.path.join(REPO, name)
        if not os.path.isfile(source):
            continue  # deleted in the working tree
        target = os.path.join(clone, name)
        if not os.path.isdir(os.path.dirname(target)):
            os.makedirs(os.path.dirname(target))
        shutil.copy2(source, target)
    return clone


def files_named_tarvik(folder):
    return [os.path.join(top, name) for top, dirs, files in os.walk(folder)
            for name in dirs + files if "tarvik" in name]


@unittest.skipIf(os.environ.get("TARVIK_MEMCHECK"), "packaging, not memory")
class PipInstallTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.mkdtemp(prefix="tarvik-install-")
        cls.clone = copy_of_repository(cls.scratch)
        # pySerial alone, as a user's own installation of it would be.
        cls.pyserial = os.path.join(cls.scratch, "pyserial")
        os.mkdir(cls.pyserial)
        import serial
        os.symlink(os.path.dirname(serial.__file__), os.path.join(cls.pyserial, "serial"))

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.scratch, ignore_errors=True)

    def place(self, name):
        folder = os.path.join(self.scratch, name)
        self.addCleanup(shutil.rmtree, folder, True)
        return folder

    def pip(self, arguments, env=None, python=PYTHON):
        command = [python, "-m", "pip", "--disable-pip-version-check", "--no-cache-dir"] + arguments
        process = subprocess.Popen(command, env=env, cwd=self.scratch,
                                   stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        output = process.communicate()[0]
        self.assertEqual(process.returncode, 0, "%s\n%s" % (" ".join(command), output))
        return output

    def run_session(self, env, cwd, *arguments):
        process = subprocess.Popen([PYTHON, "-c", SESSION] + list(arguments), env=env, cwd=cwd,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        out, err = process.communicate()
        self.assertEqual(process.returncode, 0, err)
        return out.splitlines()

    def environment(self, **settings):
        env = dict(os.environ)
        env.pop("PYTHONPATH", None)
        env.update(settings)
        return env

    def assert_imported_from(self, site, paths):
        for path in paths:
            self.assertTrue(path.startswith(site + os.sep), "%s imported, not from %s" % (path, site))

    def assert_removed(self, folder, env, python=PYTHON):
        self.pip(["uninstall", "-y", "tarvik"], env=env, python=python)
        self.assertEqual(files_named_tarvik(folder), [])

    def test_prefix_install_is_used_from_any_folder_and_uninstalls_cleanly(self):
        prefix = self.place("prefix")
        self.pip(["install", "--no-index", "--prefix", prefix, self.clone])
        site = os.path.join(prefix, "lib", "python2.7", "site-packages")
        env = self.environment(PYTHONPATH=os.pathsep.join([site, self.pyserial]))
        installed = os.path.join(site, "tarvik", "brenlo")
        self.assertIn("hdlcprotocol.so", os.listdir(installed))
        # Neither the sources' folder nor their stand-in for an unbuilt module.
        self.assertNotIn("hdlcprotocol", os.listdir(installed))
        self.assertNotIn("hdlcprotocol.py", os.listdir(installed))

        meter = SimulatedMeter()
        self.addCleanup(meter.close)
        for cwd in (self.scratch, self.clone):  # the clone's root holds src/tarvik
            lines = self.run_session(env, cwd, meter.path)
            self.assert_imported_from(site, lines[:3])
            self.assertEqual(lines[3], "answer [1, 2, 3]")

        self.assert_removed(prefix, env)

    def test_virtualenv_install_imports_and_uninstalls(self):
        venv = self.place("venv")
        # No seed packages: the base interpreter's pip serves the environment.
        subprocess.check_call(["/usr/bin/python3", "-m", "virtualenv", "--quiet", "--no-seed",
                               "--system-site-packages", "-p", PYTHON, venv])
        python = os.path.join(venv, "bin", "python")
        env = self.environment()
        self.pip(["install", "--no-index", self.clone], env=env, python=python)
        out = subprocess.check_output([python, "-c", "import tarvik.brenlo.hdlcprotocol as m; print m.__file__"],
                                      env=env, cwd=self.scratch)
        self.assertTrue(out.startswith(venv + os.sep), out)
        self.assert_removed(venv, env, python=python)

    def test_an_unbuilt_source_tree_says_how_to_build_or_install(self):
        env = self.environment(PYTHONPATH=os.path.join(self.clone, "src"))
        process = subprocess.Popen([PYTHON, "-c", "import tarvik.brenlo.hdlcprotocol"], env=env,
                                   cwd=self.scratch, stderr=subprocess.PIPE)
        err = process.communicate()[1]
        self.assertNotEqual(process.returncode, 0)
        last = err.splitlines()[-1]
        self.assertTrue(last.startswith("ImportError: tarvik.brenlo.hdlcprotocol is not built"), last)
        self.assertIn("pip install .", last)


if __name__ == "__main__":
    unittest.main()
