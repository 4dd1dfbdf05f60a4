"""The examples in the library's docstrings run, and print what they show.

Every public module of the package is searched, the command's and the
monitor's too, so an example added anywhere runs here. Run by the docs lane,
with every extra installed; the main suite does not collect this folder.
"""

import doctest
import importlib
import os
import pkgutil

import pytest

import vorn_tools

# Modules that show how they are used; each must keep at least one example.
SHOWN = {"vorn_tools.reading", "vorn_tools.runs", "vorn_tools.histograms", "vorn_tools.analysis.fits",
         "vorn_tools.dask", "vorn_tools.formats", "vorn_tools.pulses", "vorn_tools.noise"}


def public_modules():
    """Every module of the package but those named with an underscore (and __main__, which runs the command)."""
    names = ["vorn_tools"]
    for info in pkgutil.walk_packages(vorn_tools.__path__, "vorn_tools."):
        if not any(part.startswith("_") for part in info.name.split(".")[1:]):
            names.append(info.name)
    return names


def examples(name):
    module = importlib.import_module(name)
    return [t for t in doctest.DocTestFinder().find(module, name) if t.examples]


EXAMPLES = {name: tests for name in public_modules() if (tests := examples(name))}


def test_modules_that_show_examples_keep_them():
    assert not SHOWN - EXAMPLES.keys(), f"no example any more in {sorted(SHOWN - EXAMPLES.keys())}"


@pytest.mark.parametrize("name", sorted(EXAMPLES))
def test_docstring_examples_run(name, tmp_path):
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
    # Examples that write files write them into a folder of their own.
    here = os.getcwd()
    os.chdir(tmp_path)
    try:
        for test in EXAMPLES[name]:
            runner.run(test)
    finally:
        os.chdir(here)
    assert runner.failures == 0, f"{runner.failures} of {runner.tries} examples of {name} failed (see above)"
