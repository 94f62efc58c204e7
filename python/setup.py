"""Builds the vok package: the Python layer and the extension module vok._vok,
compiled from the project's own sources in ../src (the wide tree layout).

    /usr/bin/python3 -m pip install --no-build-isolation ./python

needs Debian's python3-dev, python3-pybind11 and python3-setuptools, and no
network.
"""

import os

from pybind11.setup_helpers import ParallelCompile, Pybind11Extension
from setuptools import setup

HERE = os.path.dirname(os.path.abspath(__file__))
SRC = os.path.normpath(os.path.join(HERE, "..", "src"))

TREE = ["pool", "table", "index", "navigate", "traverse", "edit", "insert",
        "remove", "sort", "build"]
VOK = ["selection", "output", "reader", "progress", "options"]

sources = [os.path.join(HERE, "src", "vok_module.cpp"),
           os.path.join(HERE, "src", "messages_narrow.cpp")]
sources += [os.path.join(SRC, "stree", name + ".cpp") for name in TREE]
sources += [os.path.join(SRC, "vok", name + ".cpp") for name in VOK]

ParallelCompile("VOK_BUILD_JOBS", default=2).install()

setup(
    name="vok",
    version="0.1.0",
    description="Substring features for text classification from a "
                "generalized suffix tree (scikit-learn transformer)",
    packages=["vok"],
    ext_modules=[
        Pybind11Extension(
            "vok._vok",
            sources,
            include_dirs=[os.path.join(SRC, "stree"), os.path.join(SRC, "vok")],
            define_macros=[("STREE_WIDE", None)],
            extra_compile_args=["-O3", "-Wall", "-Wextra"],
            cxx_std=20,
        ),
    ],
    install_requires=["numpy", "scipy", "scikit-learn"],
    python_requires=">=3.9",
)
