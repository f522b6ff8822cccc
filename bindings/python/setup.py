"""Builds the quorvex shared library the package loads (libquorvex_ext) with CMake and puts it
inside the package, with the quorvex command (quorvex/bin/quorvex, run by the `quorvex` entry
point) when CMake finds CLI11.

The C++ sources are those of the repository this folder belongs to (two levels
up), or of QUORVEX_SOURCE_DIR. CMake, a C++20 compiler and Eigen must be installed;
nothing is downloaded.
"""
import os
import shutil
import subprocess
import sys

from setuptools import Distribution, setup
from setuptools.command.build_py import build_py

HERE = os.path.dirname(os.path.abspath(__file__))
# The CMake target the package loads, by the name its loader looks for.
LIBRARIES = {"quorvex_ext": "libquorvex_ext.so.0"}
# The command, linked statically against the library: a file of its own.
COMMAND_TARGET, COMMAND_NAME = "quorvex_cli", "quorvex"


def source_dir():
    root = os.environ.get("QUORVEX_SOURCE_DIR") or os.path.join(HERE, "..", "..")
    root = os.path.abspath(root)
    if not os.path.exists(os.path.join(root, "include", "quorvex.h")):
        raise RuntimeError(
            f"{root} is not the quorvex source tree; build from a checkout of the repository "
            "or set QUORVEX_SOURCE_DIR")
    return root


class BuildWithLibraries(build_py):
    """Runs CMake for the library alone, then copies it into the built package."""

    def run(self):
        super().run()
        root = source_dir()
        # Kept between builds so that a reinstall compiles only what changed.
        build = os.path.join(HERE, "build", "cmake")
        configure = ["cmake", "-S", root, "-B", build, "-DCMAKE_BUILD_TYPE=Release",
                     "-DQUORVEX_BUILD_TESTS=OFF", "-DQUORVEX_BUILD_BENCH=OFF",
                     "-DQUORVEX_FUZZ=OFF", "-DQUORVEX_BUILD_EXAMPLES=OFF",
                     "-DQUORVEX_INSTALL=OFF"]
        # The command needs CLI11; without it the package still works, without the command.
        command = subprocess.call(configure + ["-DQUORVEX_BUILD_TOOLS=ON"]) == 0
        if not command:
            print("quorvex: CMake found no CLI11 (Debian: libcli11-dev): the package is built "
                  "without the quorvex command", file=sys.stderr)
            subprocess.check_call(configure + ["-DQUORVEX_BUILD_TOOLS=OFF"])
        jobs = os.environ.get("QUORVEX_BUILD_JOBS", "2")
        targets = list(LIBRARIES) + ([COMMAND_TARGET] if command else [])
        subprocess.check_call(["cmake", "--build", build, "-j", jobs, "--target", *targets])
        package = os.path.join(self.build_lib, "quorvex")
        for target in LIBRARIES:
            name = LIBRARIES[target]
            built = self._find(build, name)
            shutil.copyfile(os.path.realpath(built), os.path.join(package, name))
        if command:
            os.makedirs(os.path.join(package, "bin"), exist_ok=True)
            copy = os.path.join(package, "bin", COMMAND_NAME)
            shutil.copyfile(os.path.join(build, "tools", COMMAND_NAME), copy)
            os.chmod(copy, 0o755)

    @staticmethod
    def _find(build, name):
        for folder, _, files in os.walk(build):
            if name in files:
                return os.path.join(folder, name)
        raise RuntimeError(f"CMake built no {name} under {build}")


class BinaryDistribution(Distribution):
    """The wheel holds native libraries: tag it for this platform."""

    def has_ext_modules(self):
        return True


def header_version():
    """The version's one source: the QVX_VERSION_ macros of include/quorvex_ext.h."""
    parts = {}
    with open(os.path.join(source_dir(), "include", "quorvex_ext.h"), encoding="utf-8") as f:
        for line in f:
            words = line.split()
            if len(words) == 3 and words[0] == "#define" and words[1] in (
                    "QVX_VERSION_MAJOR", "QVX_VERSION_MINOR", "QVX_VERSION_PATCH"):
                parts[words[1]] = int(words[2])
    return "{}.{}.{}".format(parts["QVX_VERSION_MAJOR"], parts["QVX_VERSION_MINOR"],
                             parts["QVX_VERSION_PATCH"])


setup(version=header_version(), cmdclass={"build_py": BuildWithLibraries},
      distclass=BinaryDistribution)
