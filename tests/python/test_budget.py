"""Sizes a user gives are refused in one line before anything is allocated, even under a memory limit.

Each command runs in a process whose address space is limited (as `ulimit -v`
limits it), with a size far beyond what it can hold or a picture can show:
it must end with exit status 2 and one line naming the option, not with an
allocator's error, a traceback or a killed process.
"""

import os
import resource
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from needs import need
from cli_support import pulses, wd1_event, write

LIMIT = 3 << 29  # 1.5 GiB of address space


def limited():
    resource.setrlimit(resource.RLIMIT_AS, (LIMIT, LIMIT))


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    folder = tmp_path_factory.mktemp("budget")
    rng = np.random.default_rng(40)
    pulses(folder / "p.dat", 60, rng)
    # 0.041 s of triggers at 7 kHz, in ticks of 8 ns.
    write(folder / "t.dat", *(wd1_event(np.full(64, 1000), counter=i, timestamp=round(i / 7000 / 8e-9))
                              for i in range(288)))
    write(folder / "many.dat", *(wd1_event([1000, 1001], counter=i) for i in range(1010)))
    return folder


HUGE = [
    (["hist", "p.dat", "--of", "amplitude", "--bins", "1000000000"], "--bins 1000000000"),
    (["hist", "p.dat", "--of", "amplitude", "--bins", "10000000"], "--bins 10000000"),
    (["hist", "p.dat", "--of", "amplitude, charge", "--bins", "100000"], "--bins 100000"),
    (["hist", "t.dat", "--of", "time", "--tick", "8ns", "--bins", "1000000000000"], "--bins 1000000000000"),
    # A span from the data, 0.041 s, over a width of a picosecond.
    (["hist", "t.dat", "--of", "time", "--tick", "8ns", "--width", "1e-12"], "--width 1e-12"),
    # A span of hours from a tick a billion times too long, over a width of a nanosecond.
    (["hist", "t.dat", "--of", "time", "--tick", "8s", "--width", "1ns"], "--width 1e-09"),
    (["hist", "t.dat", "--of", "time", "--tick", "8ns", "--range", "0", "1e9", "--width", "1e-9"], "--width 1e-09"),
    (["plot", "p.dat", "-n", "1000000000000"], "-n 1000000000000"),
    # An open selection, refused once it has more events than a picture shows.
    (["plot", "many.dat", "--events", "5:"], "-n 5:"),
]


@pytest.mark.parametrize("args, option", HUGE, ids=[" ".join(args[2:]) for args, _ in HUGE])
def test_a_size_beyond_the_budget_is_refused_in_one_line(files, args, option):
    need("matplotlib")
    need("boost_histogram")
    # One thread for NumPy's libraries: each would reserve address space of its own.
    done = subprocess.run([sys.executable, "-m", "vorn_tools", *args, "-o", "out.png"], cwd=files,
                          capture_output=True, text=True, timeout=120, preexec_fn=limited,
                          env={**os.environ, "OPENBLAS_NUM_THREADS": "1", "OMP_NUM_THREADS": "1"})
    assert done.returncode == 2, done.stderr
    assert len(done.stderr.splitlines()) == 1 and done.stderr.startswith(f"vorn: {option} "), done.stderr
    assert not (Path(files) / "out.png").exists()
