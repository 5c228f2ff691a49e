"""Builds and installs the distribution `tarvik` with Python 2.7's own pip.

    pip install .              # offline: the package alone
    pip install .[serial]      # on a connected machine: with pySerial

The companions are plain Python under src/. The compiled module
tarvik/brenlo/hdlcprotocol.so is built by the project's CMake build, the
same one the tests and the simulator use, so there is one list of its
sources and one set of compiler and linker flags. Building needs CMake,
a C++17 compiler and the Python 2.7 headers; nothing is fetched.
"""

import multiprocessing
import os
import re
import shutil
import subprocess
import sys
from distutils.spawn import find_executable

from setuptools import Extension, find_packages, setup
from setuptools.command.build_ext import build_ext
from setuptools.command.build_py import build_py

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
    """Configures the project for the interpreter running this script and
    builds the extension's target alone: no simulator, no tests."""

    def build_extension(self, extension):
        cmake = find_cmake()
        build_dir = os.path.abspath(os.path.join(self.build_temp, "cmake"))
        self.announce("building %s with CMake in %s" % (extension.target, build_dir), level=2)
        run([cmake, "-S", ROOT, "-B", build_dir,
             "-DPYTHON27=%s" % sys.executable,
             "-DCMAKE_BUILD_TYPE=Release",
             "-DTARVIK_BUILD_TESTS=OFF"])
        run([cmake, "--build", build_dir, "--target", extension.target,
             "--parallel", str(multiprocessing.cpu_count())])
        built = os.path.join(build_dir, "python", *extension.name.split(".")) + ".so"
        destination = self.get_ext_fullpath(extension.name)
        self.mkpath(os.path.dirname(destination))
        shutil.copyfile(built, destination)


def find_cmake():
    cmake = find_executable("cmake")
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
                "as a C++ extension module for Python 2.7",
    long_description=__doc__,
    author="The tarvik developers",
    license="Proprietary",
    platforms=["Linux"],
    python_requires=">=2.7, <3",
    package_dir={"": "src"},
    packages=find_packages("src"),
    ext_modules=[CMakeExtension("tarvik.brenlo.hdlcprotocol", target="hdlcprotocol")],
    extras_require={"serial": ["pyserial>=3.0"]},
    cmdclass={"build_py": PackageWithoutStandIn, "build_ext": BuildWithCMake},
    zip_safe=False,
    classifiers=[
        "Programming Language :: Python :: 2.7",
        "Programming Language :: C++",
        "Operating System :: POSIX :: Linux",
        "Topic :: System :: Hardware",
    ],
)
