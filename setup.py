"""Builds the edgemap wheel. The Python files come from python/edgemap;
the compiled half (the module edgemap._native and libedgemap.so.1 beside
it, found through the module's $ORIGIN run path) is built by CMake from
this repository and laid out by its install component "python". No network
is needed.

EDGEMAP_BUILT_PACKAGE, when set, names the python/edgemap folder of a build
tree that has built the package already: the wheel takes that tree's
module and library and CMake is not run again (the test suite's wheel test
does this)."""

import os
import pathlib
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = pathlib.Path(__file__).resolve().parent


class cmake_build_ext(build_ext):
    """Puts edgemap._native and libedgemap in the wheel, built and laid out
    by CMake instead of compiled by setuptools."""

    def build_extension(self, ext: Extension) -> None:
        module = pathlib.Path(self.get_ext_fullpath(ext.name))
        package = module.parent
        package.mkdir(parents=True, exist_ok=True)
        built = os.environ.get("EDGEMAP_BUILT_PACKAGE")
        if built:
            for f in pathlib.Path(built).iterdir():
                if f.name.startswith(("_native.", "libedgemap.so.")):
                    shutil.copy(f, package / f.name)
        else:
            self.cmake_install(package.parent)
        if not module.is_file():
            sys.exit(f"edgemap: the build made no {module.name}")

    def cmake_install(self, prefix: pathlib.Path) -> None:
        build = pathlib.Path(self.build_temp).resolve() / "cmake"
        subprocess.run([
            "cmake", "-S", str(ROOT), "-B", str(build),
            "-DCMAKE_BUILD_TYPE=Release",
            "-DEDGEMAP_BUILD_TESTS=OFF",
            "-DEDGEMAP_BUILD_BENCH=OFF",
            "-DEDGEMAP_BUILD_CLI=OFF",
            "-DEDGEMAP_INSTALL=OFF",
            "-DEDGEMAP_BUILD_PYTHON=ON",
            # The interpreter running this build is the one the module is for.
            f"-DPython_EXECUTABLE={sys.executable}",
        ], check=True)
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL", "2")
        subprocess.run(["cmake", "--build", str(build), "--target",
                        "edgemap_python", "--parallel", jobs], check=True)
        subprocess.run(["cmake", "--install", str(build), "--component",
                        "python", "--prefix", str(prefix)], check=True)


setup(
    ext_modules=[Extension("edgemap._native", sources=[])],
    cmdclass={"build_ext": cmake_build_ext},
    # Beside CMake's own build folders, not over them.
    options={"build": {"build_base": "build/python-wheel"}},
)
