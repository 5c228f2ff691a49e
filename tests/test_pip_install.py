"""Installing with the running interpreter's own pip (Python 2.7 or 3),
offline, as a new user does it, and the program README.md shows under "Use"
run as written against the installed copy.

Each install copies the repository's files (what a clone holds) into a
scratch folder, installs from there with `pip install --no-index` into a
place of its own, uses the installed copy with nothing else of tarvik on
the path, and uninstalls it again.
"""

import os
import re
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import unittest

from support.simulator import started

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PYTHON = sys.executable
PYTHON_2 = sys.version_info[0] == 2
WHERE_FROM = ("import sys, tarvik, tarvik.brenlo.frame, tarvik.brenlo.hdlcprotocol as m\n"
              "sys.stdout.write(' '.join([tarvik.__file__, tarvik.brenlo.frame.__file__, m.__file__]))")
AARQ = "601da109060760857405080101be10040e01000000065f1f0400007e1f04b0"
# The installed copy replays the demonstration's link opening and closing
# byte for byte (frames as the trace functions print them), then reads the
# simulator through a Session.
INSTALLED_COPY_AT_WORK = r"""
import binascii, sys
from tarvik.brenlo import HDLCParameters
from tarvik.brenlo.hdlcprotocol import HDLCProtocol
from tarvik.brenlo.session import Session
import serial

TRACE = [("7EA0070321930F017E",
          "7EA01821037359318180 0C05018006018007010108010105137E"),
         ("7EA00703215303C77E", "7EA00721037301407E")]


class Replay(object):
    def __init__(self):
        self.pending = b""

    def write(self, data):
        sent, answer = TRACE.pop(0)
        if bytes(data) != binascii.unhexlify(sent):
            raise SystemExit("sent %s, not %s" % (binascii.hexlify(bytes(data)), sent))
        self.pending = binascii.unhexlify(answer.replace(" ", ""))

    def read(self, size):
        chunk, self.pending = self.pending[:size], self.pending[size:]
        return chunk


link = HDLCProtocol(HDLCParameters(DiscToNDMTimeout=0), Replay())
link.connect()
sizes = (link._maxInfoFieldLengthTransmit, link._maxInfoFieldLengthReceive)
link.disconnect()
session = Session(HDLCParameters(DiscToNDMTimeout=0), serial.Serial(sys.argv[1], timeout=1))
session.open()
answer = session.request(binascii.unhexlify(sys.argv[2]))
session.close()
sys.stdout.write("%s %s %s" % (sizes, TRACE, binascii.hexlify(bytes(answer)).decode()))
"""


def program_under(heading):
    """The first Python code block after the given level-2 heading of README.md."""
    text = open(os.path.join(REPO, "README.md")).read()
    section = text.split("\n## %s\n" % heading, 1)[1]
    return re.search(r"```python\n(.*?)```", section, re.S).group(1)


def copy_of_repository(folder):
    """The repository's tracked and new (not ignored) files, nothing built."""
    names = subprocess.check_output(
        ["git", "ls-files", "-z", "--cached", "--others", "--exclude-standard"], cwd=REPO,
        universal_newlines=True)
    clone = os.path.join(folder, "clone")
    for name in filter(None, names.split("\0")):
        source, target = os.path.join(REPO, name), os.path.join(clone, name)
        if os.path.isfile(source):  # not deleted in the working tree
            if not os.path.isdir(os.path.dirname(target)):
                os.makedirs(os.path.dirname(target))
            shutil.copy2(source, target)
    return clone


def has_setuptools():
    """Whether pip can build here offline: it needs the interpreter's own
    setuptools (pyenv's 3.12 and newer come without)."""
    try:
        import setuptools  # noqa: F401
    except ImportError:
        return False
    return True


@unittest.skipIf(os.environ.get("TARVIK_MEMCHECK"), "packaging, not memory")
@unittest.skipUnless(has_setuptools(), "no setuptools for %s, and no index to fetch it from" % PYTHON)
class PipInstallTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.mkdtemp(prefix="tarvik-install-")
        cls.clone = copy_of_repository(cls.scratch)
        # Nothing of tarvik on the path but what a case installs.
        cls.env = dict((name, value) for name, value in os.environ.items() if name != "PYTHONPATH")
        # pySerial alone, as a user's own installation of it would be.
        cls.pyserial = os.path.join(cls.scratch, "pyserial")
        os.mkdir(cls.pyserial)
        import serial
        os.symlink(os.path.dirname(serial.__file__), os.path.join(cls.pyserial, "serial"))
        # Debian's Python 3 is externally managed: its pip installs outside
        # a virtual environment only when told that it may.
        if not PYTHON_2:
            cls.env["PIP_BREAK_SYSTEM_PACKAGES"] = "1"

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.scratch, ignore_errors=True)

    def run_python(self, arguments, env, cwd=None, python=None, status=0):
        process = subprocess.Popen([python or PYTHON] + arguments, env=env, cwd=cwd or self.scratch,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)
        out, err = process.communicate()
        self.assertEqual(process.returncode == 0, status == 0, "%s\n%s%s" % (arguments, out, err))
        return out, err

    def pip(self, arguments, env, python=None):
        return self.run_python(["-m", "pip", "--disable-pip-version-check", "--no-cache-dir"] + arguments,
                               env, python=python)[0]

    def install_and_remove(self, folder, pip_options, env, python=None):
        """Installs; the caller checks the installed copy; then it is removed."""
        self.pip(["install", "--no-index", "--no-build-isolation"] + pip_options + [self.clone], env, python)
        self.addCleanup(shutil.rmtree, folder, True)
        self.addCleanup(self.assert_removed, folder, env, python)

    def assert_removed(self, folder, env, python):
        self.pip(["uninstall", "-y", "tarvik"], env, python)
        self.assertEqual([name for top, dirs, files in os.walk(folder)
                          for name in dirs + files if "tarvik" in name], [])

    def assert_imported_from(self, site, env, cwd=None, python=None):
        for path in self.run_python(["-c", WHERE_FROM], env, cwd, python)[0].split():
            self.assertTrue(path.startswith(site + os.sep), "%s, not from %s" % (path, site))

    def assert_readme_program_runs(self, env, cwd, python=None):
        program = os.path.join(self.scratch, "read_meter.py")
        with open(program, "w") as out:
            out.write(program_under("Use"))
        meter = started(self)  # answers each request with the request itself
        self.assertEqual(self.run_python([program, meter.path], env, cwd, python),
                         ("answer of 31 bytes: %s\n" % AARQ, ""))

    def test_prefix_install_runs_the_readme_program_from_any_folder(self):
        prefix = os.path.join(self.scratch, "prefix")
        site = sysconfig.get_path("purelib", vars={"base": prefix, "platbase": prefix})
        env = dict(self.env, PYTHONPATH=os.pathsep.join([site, self.pyserial]))
        self.install_and_remove(prefix, ["--prefix", prefix], env)
        installed = os.listdir(os.path.join(site, "tarvik", "brenlo"))
        self.assertEqual([name for name in installed if name.startswith("hdlcprotocol")],
                         ["hdlcprotocol" + (sysconfig.get_config_var("EXT_SUFFIX") or ".so")])
        # Neither the sources' folder nor their stand-in for an unbuilt module.
        self.assertNotIn("hdlcprotocol", installed)
        self.assertNotIn("hdlcprotocol.py", installed)
        shown = self.pip(["show", "tarvik"], env)
        for field in ("Name: tarvik", "Version: 1.", "Summary: HDLC link layer", "License: "):
            self.assertIn(field, shown)

        for cwd in (self.scratch, self.clone):  # the clone's root holds src/tarvik
            self.assert_imported_from(site, env, cwd)
            self.assert_readme_program_runs(env, cwd)

    def test_target_and_user_installs_import_and_uninstall(self):
        target, user = os.path.join(self.scratch, "target"), os.path.join(self.scratch, "user")
        for folder, site, options, env in (
                (target, target, ["--target", target], dict(self.env, PYTHONPATH=target)),
                (user, os.path.join(user, "lib"), ["--user"], dict(self.env, PYTHONUSERBASE=user))):
            self.install_and_remove(folder, options, env)
            self.assert_imported_from(site, env)

    def test_virtual_environment_install_runs_the_readme_program(self):
        venv = os.path.join(self.scratch, "venv")
        if PYTHON_2:
            # No seed packages: the base interpreter's pip serves the environment.
            subprocess.check_call(["/usr/bin/python3", "-m", "virtualenv", "--quiet", "--no-seed",
                                   "--system-site-packages", "-p", PYTHON, venv])
        else:
            # pySerial is the system's (Debian's python3-serial).
            subprocess.check_call([PYTHON, "-m", "venv", "--system-site-packages", venv])
        python, env = os.path.join(venv, "bin", "python"), self.env
        self.install_and_remove(venv, [], env, python)
        self.assert_imported_from(venv, env, python=python)
        if not PYTHON_2:
            self.assert_readme_program_runs(env, self.scratch, python)
            program = os.path.join(self.scratch, "installed_copy.py")
            with open(program, "w") as out:
                out.write(INSTALLED_COPY_AT_WORK)
            meter = started(self)
            self.assertEqual(self.run_python([program, meter.path, AARQ], env, python=python),
                             ("(128, 128) [] %s" % AARQ, ""))

    def test_an_unbuilt_source_tree_says_how_to_build_or_install(self):
        env = dict(self.env, PYTHONPATH=os.path.join(self.clone, "src"))
        err = self.run_python(["-c", "import tarvik.brenlo.hdlcprotocol"], env, status=1)[1]
        last = err.splitlines()[-1]
        self.assertTrue(last.startswith("ImportError: tarvik.brenlo.hdlcprotocol is not built"), last)
        self.assertIn("pip install .", last)


if __name__ == "__main__":
    unittest.main()
