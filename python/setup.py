"""Builds the edgemap wheel: CMake builds the shared library and the
module from the repository this folder belongs to (one build definition
for the wheel, the tests and the C library; the kernels' per-file
instruction-set flags live there), and the wheel takes both libraries from
the package the build tree assembles. No network is needed: CMake, a
compiler, pybind11 and Python's headers come from the system.

EDGEMAP_BUILT_PACKAGE, when set, names the python/edgemap folder of a build
tree that has built the package already (its edgemap_python_package
target): the wheel takes that tree's module and library and CMake is not
run again."""

import os
import pathlib
import re
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent


def project_version() -> str:
    cmake_lists = ROOT / "CMakeLists.txt"
    if not cmake_lists.is_file():
        sys.exit(f"edgemap: {ROOT} is not the edgemap repository; build the "
                 "package from a clone (pip install ./python)")
    found = re.search(r"project\(edgemap VERSION ([0-9.]+)",
                      cmake_lists.read_text())
    if found is None:
        sys.exit(f"edgemap: no project version in {cmake_lists}")
    return found.group(1)


class cmake_build_ext(build_ext):
    """Puts edgemap._native and libedgemap in the wheel, built with CMake
    (or by the build tree EDGEMAP_BUILT_PACKAGE names) instead of compiling
    sources itself."""

    def build_extension(self, ext: Extension) -> None:
        built_package = os.environ.get("EDGEMAP_BUILT_PACKAGE")
        package = (pathlib.Path(built_package) if built_package
                   else self.cmake_package())
        module = pathlib.Path(self.get_ext_fullpath(ext.name))
        module.parent.mkdir(parents=True, exist_ok=True)
        built = list(package.glob("_native.*.so"))
        if len(built) != 1:
            sys.exit(f"edgemap: expected one module in {package}, found {built}")
        shutil.copy(built[0], module)
        # The module finds the library beside it ($ORIGIN).
        for library in package.glob("libedgemap.so.*"):
            shutil.copy(library, module.parent / library.name)

    def cmake_package(self) -> pathlib.Path:
        """Builds the package with CMake; returns the folder it is in."""
        build = pathlib.Path(self.build_temp).resolve() / "cmake"
        configure = [
            "cmake", "-S", str(ROOT), "-B", str(build),
            "-DCMAKE_BUILD_TYPE=Release",
            "-DEDGEMAP_BUILD_TESTS=OFF",
            "-DEDGEMAP_BUILD_BENCH=OFF",
            "-DEDGEMAP_INSTALL=OFF",
            "-DEDGEMAP_BUILD_PYTHON=ON",
            # The interpreter running this build is the one the module is for.
            f"-DPython_EXECUTABLE={sys.executable}",
        ]
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL", "2")
        subprocess.run(configure, check=True)
        subprocess.run(["cmake", "--build", str(build), "--target",
                        "edgemap_python_package", "--parallel", jobs],
                       check=True)
        return build / "python" / "edgemap"


setup(
    version=project_version(),
    ext_modules=[Extension("edgemap._native", sources=[])],
    cmdclass={"build_ext": cmake_build_ext},
)
