"""The package's compiled module, phasegrid._dump (read_dump, open_dump,
diagram): the tool's own reader and binning, built from the C++ sources of
the tree this folder belongs to. Everything else is in pyproject.toml.

It needs g++ (C++20), Python's headers and pybind11 (Debian: python3-dev
and pybind11-dev) and {fmt} (libfmt-dev). Where one of them, or the tree's
C++ sources, is missing, pip installs the rest of the package all the same,
and the dump functions say what is missing when called.
"""

import os
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

HERE = Path(__file__).resolve().parent
TREE = HERE.parent
# The layers the module runs: the program's basics, the dump format, the
# store, the reader and the analysis, then the module itself.
LAYERS = ("base", "format", "state", "dump", "analysis")


def sources():
    found = [p for layer in LAYERS for p in sorted((TREE / layer).glob("*.cpp"))]
    found += sorted((HERE / "native").glob("*.cpp"))
    return [os.path.relpath(p, HERE) for p in found]


def pybind11_include():
    try:
        import pybind11

        return [pybind11.get_include()]
    except ImportError:
        return []  # Debian's pybind11-dev: /usr/include/pybind11


class BuildExt(build_ext):
    """Compiles the sources on every core."""

    def finalize_options(self):
        super().finalize_options()
        if self.parallel is None:
            self.parallel = os.cpu_count() or 1


native = []
if (TREE / "dump" / "rdump.cpp").is_file():
    native.append(Extension(
        "phasegrid._dump",
        sources=sources(),
        include_dirs=[str(TREE), str(HERE / "native")] + pybind11_include(),
        language="c++",
        extra_compile_args=["-std=c++20", "-O2", "-fopenmp", "-fvisibility=hidden"],
        extra_link_args=["-fopenmp"],
        libraries=["fmt"],
        optional=True,  # a failed build leaves the pure-Python package
    ))
else:
    print(f"phasegrid: no C++ sources beside {HERE}: the package is installed without phasegrid._dump",
          file=sys.stderr)

setup(ext_modules=native, cmdclass={"build_ext": BuildExt})
