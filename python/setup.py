"""Builds the tractwave package with its three shared libraries inside.

The package is ctypes over the C libraries (tractwave, tractwave_voices,
tractwave_speech). Building it runs CMake on the repository this folder
belongs to and copies the three libraries into the package, so that
``pip install --no-build-isolation ./python`` gives a package that works
without environment variables or a system-wide install.

Where the libraries come from, in this order:
  - copies already in tractwave/ (placed there by hand): used as they are;
  - TRACTWAVE_LIBRARY_DIR, a folder holding the three built libraries (the
    build's own folder: the python-package target of CMake passes it);
  - the repository's build/ folder when it is configured (tools/dev.sh demo
    makes it): the three targets are brought up to date there;
  - otherwise a CMake build of their own, in python/build/cmake.
"""

import os
import shutil
import subprocess
import sys

from setuptools import Distribution, setup
from setuptools.command.build_py import build_py

HERE = os.path.dirname(os.path.abspath(__file__))
REPOSITORY = os.path.dirname(HERE)
TARGETS = ("tractwave", "tractwave_voices", "tractwave_speech")


def _file_name(stem):
    if sys.platform == "win32":
        return f"{stem}.dll"
    if sys.platform == "darwin":
        return f"lib{stem}.1.dylib"
    return f"lib{stem}.so.1"


def _library_folder(build_dir):
    # Windows builds put the DLLs in bin/ beside the programs.
    windows_bin = os.path.join(build_dir, "bin")
    return windows_bin if sys.platform == "win32" else build_dir


def _cmake_build(build_dir, configure=True):
    cmake = shutil.which("cmake")
    if cmake is None:
        raise SystemExit("tractwave: building the package needs cmake and a C++17 "
                         "compiler (Debian: apt-get install cmake g++)")
    if configure:
        subprocess.check_call([
            cmake, "-S", REPOSITORY, "-B", build_dir, "-DCMAKE_BUILD_TYPE=Release",
            "-DTRACTWAVE_BUILD_TESTS=OFF", "-DTRACTWAVE_BUILD_RENDER=OFF",
            "-DTRACTWAVE_BUILD_LV2=OFF", "-DTRACTWAVE_INSTALL=OFF"])
    jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL") or str(min(os.cpu_count() or 1, 2))
    subprocess.check_call([cmake, "--build", build_dir, "-j", jobs, "--target", *TARGETS])


def staged_libraries():
    """Paths of the three libraries to ship, building them if need be."""
    in_package = [os.path.join(HERE, "tractwave", _file_name(t)) for t in TARGETS]
    if all(os.path.exists(p) for p in in_package):
        return in_package
    given = os.environ.get("TRACTWAVE_LIBRARY_DIR")
    if given:
        folder = os.path.abspath(given)
    else:
        if not os.path.exists(os.path.join(REPOSITORY, "include", "tractwave.h")):
            raise SystemExit("tractwave: python/ must stay inside the tractwave "
                             "repository to build the libraries (or copy the three "
                             "libraries into python/tractwave/ first)")
        build_dir = os.path.join(REPOSITORY, "build")
        configured = os.path.exists(os.path.join(build_dir, "CMakeCache.txt"))
        if not configured:
            build_dir = os.path.join(HERE, "build", "cmake")
        _cmake_build(build_dir, configure=not configured)
        folder = _library_folder(build_dir)
    found = [os.path.join(folder, _file_name(t)) for t in TARGETS]
    missing = [p for p in found if not os.path.exists(p)]
    if missing:
        raise SystemExit("tractwave: the build did not produce " + ", ".join(missing))
    return found


class BuildWithLibraries(build_py):
    """build_py that also puts the three shared libraries into the package."""

    def run(self):
        super().run()
        target = os.path.join(self.build_lib, "tractwave")
        os.makedirs(target, exist_ok=True)
        for path in staged_libraries():
            # copyfile follows the .so.1 -> .so.1.0.0 link: the package holds
            # the file itself under the name the loader looks for.
            shutil.copyfile(path, os.path.join(target, os.path.basename(path)))


class BinaryDistribution(Distribution):
    """The wheel holds native libraries: tag it for this platform."""

    def has_ext_modules(self):
        return True


setup(cmdclass={"build_py": BuildWithLibraries}, distclass=BinaryDistribution)
