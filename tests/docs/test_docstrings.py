"""The examples in the library's docstrings run, and print what they show.

Run by the docs lane, with everything the pages need installed; the main
suite does not collect this folder.
"""

import doctest
import importlib
import os

import pytest

# The modules whose docstrings show examples; each must keep at least one.
MODULES = ["vorn_tools.reading", "vorn_tools.runs", "vorn_tools.histograms", "vorn_tools.analysis.fits",
           "vorn_tools.dask", "vorn_tools.formats", "vorn_tools.pulses"]


@pytest.mark.parametrize("name", MODULES)
def test_docstring_examples_run(name, tmp_path):
    module = importlib.import_module(name)
    tests = [t for t in doctest.DocTestFinder().find(module, name) if t.examples]
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
    # Examples that write files write them into a folder of their own.
    here = os.getcwd()
    os.chdir(tmp_path)
    try:
        for test in tests:
            runner.run(test)
    finally:
        os.chdir(here)
    assert runner.tries > 0, f"{name} shows no example any more"
    assert runner.failures == 0, f"{runner.failures} of {runner.tries} examples of {name} failed (see above)"
