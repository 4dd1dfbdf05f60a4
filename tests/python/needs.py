"""Optional libraries and programs that some tests need.

They skip without them, unless the lane sets the flag variable to
"required" (the main lane for the command's libraries, the browser lane for
the monitor's): there a skip would hide a broken install, so they fail.
"""

import importlib
import os
import shutil

import pytest


def need(module, program=False, flag="VORN_CLI_TESTS"):
    """The module, or with `program` the path of that executable."""
    try:
        if program:
            found = shutil.which(module)
            if found is None:
                raise ImportError(module)
            return found
        return importlib.import_module(module)
    except ImportError:
        if os.environ.get(flag) == "required":
            pytest.fail(f"{module} is not installed but {flag}=required")
        pytest.skip(f"needs {module}")
