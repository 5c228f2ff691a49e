"""Builds and installs the distribution `tarvik` with the pip of Python 2.7
or of Python 3.9 or newer.

    pip install .              # offline: the package alone
    pip install .[serial]      # on a connected machine: with pySerial

The companions are plain Python under src/, one source for both
interpreters. The compiled module tarvik.brenlo.hdlcprotocol is built by
the project's CMake build, the same one the tests and the simulator use,
for the interpreter that runs this script, so there is one list of its
sources and one set of compiler and linker flags. Building needs CMake, a
C++17 compiler and the interpreter's headers; nothing is fetched.
"""

import multiprocessing
import os
import re
import shutil
import subprocess
import sys
import sysconfig

from setuptools import Extension, find_packages, setup
from setuptools.command.build_ext import build_ext
from setuptools.command.build_py import build_py

try:
    from shutil import which
except ImportError:  # Python 2.7
    from distutils.spawn import find_executable as which

ROOT = os.path.dirname(os.path.abspath(__file__))

# The source tree's stand-in that explains an unbuilt import; the
# installed package has the real module in its place.
UNBUILT_STAND_IN = ("tarvik.brenlo", "hdlcprotocol")


def read_version():
    """The version as src/tarvik/__init__.py states it."""
    with open(os.path.join(ROOT, "src", "tarvik", "__init__.py")) as init:
        return re.search(r'^__version__ = "([^"]+)"', init.read(), re.M).group(1)


class PackageWithoutStandIn(build_py):
    """Collects the companions, leaving out the unbuilt module's stand-in."""

    def find_package_modules(self, package, package_dir):
        modules = build_py.find_package_modules(self, package, package_dir)
        return [module for module in modules if module[:2] != UNBUILT_STAND_IN]


class CMakeExtension(Extension):
    """An extension module built by the CMake target of the same name."""

    def __init__(self, name, target):
        Extension.__init__(self, name, sources=[])
        self.target = target


class BuildWithCMake(build_ext):
    """Configures the project for the interpreter running this script
    (Python 2 or 3 alone) and builds that interpreter's extension target:
    no simulator, no tests."""

    def build_extension(self, extension):
        cmake = find_cmake()
        build_dir = os.path.abspath(os.path.join(self.build_temp, "cmake"))
        major = sys.version_info[0]
        target = "%s_py%d" % (extension.target, major)
        self.announce("building %s with CMake in %s" % (target, build_dir), level=2)
        run([cmake, "-S", ROOT, "-B", build_dir,
             "-DTARVIK_PYTHON%d=ON" % major,
             "-DTARVIK_PYTHON%d=OFF" % (5 - major),
             "-DPython%d_EXECUTABLE=%s" % (major, sys.executable),
             "-DCMAKE_BUILD_TYPE=Release",
             "-DTARVIK_BUILD_TESTS=OFF"])
        run([cmake, "--build", build_dir, "--target", target,
             "--parallel", str(multiprocessing.cpu_count())])
        # The staged tree names the module as this interpreter imports it.
        suffix = sysconfig.get_config_var("EXT_SUFFIX") or ".so"
        built = os.path.join(build_dir, "python%d" % major, *extension.name.split(".")) + suffix
        destination = self.get_ext_fullpath(extension.name)
        self.mkpath(os.path.dirname(destination))
        shutil.copyfile(built, destination)


def find_cmake():
    cmake = which("cmake")
    if cmake:
        return cmake
    sys.exit("tarvik: building the module needs CMake (3.25 or newer) and a C++17 "
             "compiler; on Debian: apt-get install cmake g++")


def run(command):
    status = subprocess.call(command)
    if status != 0:
        sys.exit("tarvik: %s failed with status %d" % (" ".join(command), status))


setup(
    name="tarvik",
    version=read_version(),
    description="HDLC link layer client for DLMS/COSEM meters (IEC 62056-46), "
                "as a C++ extension module for Python 2.7 and 3",
    long_description=__doc__,
    author="The tarvik developers",
    license="Proprietary",
    platforms=["Linux"],
    python_requires=">=2.7, !=3.0.*, !=3.1.*, !=3.2.*, !=3.3.*, !=3.4.*, !=3.5.*, !=3.6.*, !=3.7.*, !=3.8.*",
    package_dir={"": "src"},
    packages=find_packages("src"),
    ext_modules=[CMakeExtension("tarvik.brenlo.hdlcprotocol", target="hdlcprotocol"),
                 CMakeExtension("tarvik.brenlo.transport._line", target="line"),
                 CMakeExtension("tarvik._bytes", target="bytes")],
    extras_require={"serial": ["pyserial>=3.0"]},
    cmdclass={"build_py": PackageWithoutStandIn, "build_ext": BuildWithCMake},
    zip_safe=False,
    classifiers=[
        "Programming Language :: Python :: 2.7",
        "Programming Language :: Python :: 3",
        "Programming Language :: C++",
        "Operating System :: POSIX :: Linux",
        "Topic :: System :: Hardware",
    ],
)
