"""Builds and loads bench/floor.cpp, a native module of the cheapest functions
with the same calling contract and result objects as the module's own."""

import importlib.util
import os
import subprocess
import sys
import sysconfig

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.join(HERE, "floor.cpp")
BUILD = os.path.join(HERE, ".build")


def load_floor():
    """The floor module, compiled with the interpreter's own flags when the
    source is newer than the build."""
    target = os.path.join(BUILD, "floor" + sysconfig.get_config_var("EXT_SUFFIX"))
    if not os.path.exists(target) or os.path.getmtime(target) < os.path.getmtime(SOURCE):
        os.makedirs(BUILD, exist_ok=True)
        compiler = os.environ.get("CXX", "c++")
        include = sysconfig.get_paths()["include"]
        subprocess.run(
            [compiler, "-std=c++20", "-O2", "-shared", "-fPIC", f"-I{include}", SOURCE, "-o", target],
            check=True,
        )
    spec = importlib.util.spec_from_file_location("floor", target)
    module = importlib.util.module_from_spec(spec)
    sys.modules["floor"] = module
    spec.loader.exec_module(module)
    return module
