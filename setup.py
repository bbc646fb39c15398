"""Builds the compiled module _korv with the project's CMake, so that
`pip install --no-build-isolation .` needs only the distribution's packages
(cmake, g++, pybind11-dev, python3-dev)."""

import os
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext


class CMakeExtension(Extension):
    def __init__(self, name):
        super().__init__(name, sources=[])


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        source = os.path.dirname(os.path.abspath(__file__))
        build = os.path.abspath(os.path.join(self.build_temp, "cmake"))
        subprocess.check_call([
            "cmake", "-S", source, "-B", build, "-DCMAKE_BUILD_TYPE=Release",
            "-DKORV_BUILD_TESTS=OFF", "-DKORV_BUILD_BENCHMARKS=OFF",
            "-DKORV_BUILD_EXAMPLES=OFF", f"-DPython_EXECUTABLE={sys.executable}"])
        subprocess.check_call(["cmake", "--build", build, "--target", "_korv", "-j",
                               str(os.cpu_count() or 1)])
        built = os.path.join(build, "python", "korv", os.path.basename(self.get_ext_filename(ext.name)))
        target = self.get_ext_fullpath(ext.name)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        self.copy_file(built, target)


setup(ext_modules=[CMakeExtension("korv._korv")], cmdclass={"build_ext": CMakeBuild})
