"""Builds driftsim._core with the repository's CMake build and installs the package.

    pip install --no-build-isolation ./python

Offline: the build uses the setuptools and wheel already installed (Debian's python3-setuptools
and python3-wheel) and CMake with pybind11-dev; numpy comes from the system (python3-numpy).
"""

import os
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent  # the repository: the module links the programs' own libraries


def version():
    for line in (ROOT / "CMakeLists.txt").read_text().splitlines():
        if line.startswith("project(driftsim VERSION"):
            return line.split()[2]
    raise RuntimeError("no version in CMakeLists.txt")


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        build = Path(os.environ.get("DRIFTSIM_PYTHON_BUILD", ROOT / "build-python")).resolve()
        jobs = os.environ.get("JOBS", "2")
        subprocess.check_call(["cmake", "-S", str(ROOT), "-B", str(build),
                               "-DCMAKE_BUILD_TYPE=Release", "-DDRIFTSIM_PYTHON=ON",
                               f"-DPython_EXECUTABLE={sys.executable}"])
        subprocess.check_call(["cmake", "--build", str(build), "--target", "_core", "-j", jobs])
        built = next((build / "python").glob("_core*.so"))
        target = Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built, target)


setup(
    name="driftsim",
    version=version(),
    description="Temporal genetic samples of a Wright-Fisher population (driftsim's engine)",
    packages=["driftsim"],
    ext_modules=[Extension("driftsim._core", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    install_requires=[],
    python_requires=">=3.9",
    zip_safe=False,
)
