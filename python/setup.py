"""Builds the vok package: the Python layer and the extension module vok._vok,
which CMake builds from the project's own sources in ../src (the same build
that makes the programs, with VOK_PYTHON=ON), so that the sources are listed
in one place.

    /usr/bin/python3 -m venv --system-site-packages ~/.venvs/vok
    ~/.venvs/vok/bin/pip install --no-build-isolation ./python

needs cmake, make, a C++ compiler and Debian's python3-dev, python3-venv,
python3-setuptools, python3-wheel and pybind11-dev, with python3-numpy,
python3-scipy and python3-sklearn to run, and no network
(sh tools/ensure-deps.sh python).  VOK_BUILD_JOBS sets the number of compile
jobs (default 2).
"""

import glob
import os
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)


class CMakeExtension(Extension):
    """An extension whose sources CMake knows."""

    def __init__(self, name):
        super().__init__(name, sources=[])


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        build = os.path.join(os.path.abspath(self.build_temp), "cmake")
        subprocess.check_call([
            "cmake", "-S", ROOT, "-B", build, "-DCMAKE_BUILD_TYPE=Release",
            "-DVOK_TESTS=OFF", "-DVOK_PYTHON=ON",
            f"-DPYTHON_EXECUTABLE={sys.executable}"])
        subprocess.check_call([
            "cmake", "--build", build, "--target", "_vok",
            "-j", os.environ.get("VOK_BUILD_JOBS", "2")])
        built = glob.glob(os.path.join(build, "python", "vok", "_vok*"))
        if not built:
            raise RuntimeError("CMake built no vok._vok module")
        target = self.get_ext_fullpath(ext.name)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copyfile(built[0], target)


setup(
    name="vok",
    version="0.1.0",
    description="Substring features for text classification from a "
                "generalized suffix tree (scikit-learn transformer)",
    packages=["vok"],
    ext_modules=[CMakeExtension("vok._vok")],
    cmdclass={"build_ext": CMakeBuild},
    install_requires=["numpy", "scipy", "scikit-learn"],
    python_requires=">=3.9",
)
