"""Builds the voluna package's compiled module with the project's CMake tree.

Used by `python3 -m pip install --no-build-isolation .`; everything else about
the package is in pyproject.toml.
"""

import os
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = Path(__file__).resolve().parent


class CMakeBuild(build_ext):
    def build_extension(self, ext: Extension) -> None:
        build = Path(self.build_temp).resolve() / "cmake"
        env = dict(os.environ)
        # As scripts/setup.sh does: the CUDA backend wherever nvcc is installed.
        if Path("/usr/local/cuda/bin/nvcc").exists():
            env["PATH"] = "/usr/local/cuda/bin" + os.pathsep + env.get("PATH", "")
        configure = ["cmake", "-S", str(ROOT), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release",
                     "-DVOLUNA_PYTHON=ON", "-DVOLUNA_GUI=OFF", "-DVOLUNA_BENCH=OFF",
                     "-DBUILD_TESTING=OFF", "-DPython3_EXECUTABLE=" + sys.executable]
        if shutil.which("ninja"):
            configure += ["-G", "Ninja"]
        subprocess.run(configure, check=True, env=env)
        subprocess.run(["cmake", "--build", str(build), "--target", "_voluna", "--parallel",
                        str(os.cpu_count() or 1)], check=True, env=env)
        built = sorted((build / "python" / "voluna").glob("_voluna*.so"))
        if not built:
            raise RuntimeError("the CMake build made no _voluna module in %s" % build)
        target = Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built[0], target.with_name(built[0].name))


setup(ext_modules=[Extension("voluna._voluna", sources=[])], cmdclass={"build_ext": CMakeBuild})
