"""Compile floor.c against the running interpreter and NumPy, and load it.

    python bench/floor/floor_build.py [DIR]    # compile into DIR and print the path
"""

from __future__ import annotations

import importlib.util
import os
import shlex
import subprocess
import sys
import sysconfig
import tempfile
from pathlib import Path

import numpy as np

SOURCE = Path(__file__).resolve().parent / "floor.c"


def compile_floor(directory: str | os.PathLike) -> Path:
    target = Path(directory) / ("floor" + sysconfig.get_config_var("EXT_SUFFIX"))
    compiler = shlex.split(os.environ.get("CC") or "cc")
    include = {sysconfig.get_paths()["include"],
               sysconfig.get_paths()["platinclude"], np.get_include()}
    command = [*compiler, "-O3", "-shared", "-fPIC", "-Wall", "-Wextra",
               "-Wno-missing-field-initializers", "-Wno-cast-function-type",
               *[f"-I{d}" for d in sorted(include)],
               str(SOURCE), "-o", str(target)]
    result = subprocess.run(command, capture_output=True, text=True)
    if result.returncode != 0:
        raise RuntimeError("building the object floor failed:\n"
                           + shlex.join(command) + "\n" + result.stderr)
    return target


def load(directory: str | os.PathLike):
    """Compiles the floor into `directory` and imports it."""
    path = compile_floor(directory)
    found = importlib.util.spec_from_file_location("floor", path)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


if __name__ == "__main__":
    out = sys.argv[1] if len(sys.argv) > 1 else tempfile.mkdtemp(prefix="vorn-floor-")
    print(compile_floor(out))
