import json
import os
import shutil
import subprocess
import sys

import pytest

from eventfiles import child_env, f32_bits, wd1_event, wd2_event  # noqa: F401
from needs import need


@pytest.fixture
def write(tmp_path):
    def write(content, name="events.bin"):
        path = tmp_path / name
        path.write_bytes(content)
        return str(path)
    return write


def append(path, content):
    with open(path, "ab") as f:
        f.write(content)


def run_python(code, *args):
    """Runs `code` in a fresh interpreter that can import vorn; returns stdout."""
    proc = subprocess.run([sys.executable, "-W", "error", "-c", code, *args],
                          env=child_env(), capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


# Reads the first event, then (after cutting the file to sys.argv[3] bytes,
# if given) the rest under an address-space limit far below what the headers
# claim.
LIMITED = (
    "import os, resource, sys, vorn\n"
    "r = vorn.EventReader(sys.argv[1], sys.argv[2])\n"
    "next(r)\n"
    "sys.argv[3:] and os.truncate(sys.argv[1], int(sys.argv[3]))\n"
    "vm = [int(l.split()[1]) for l in open('/proc/self/status') if l.startswith('VmSize')][0]\n"
    "resource.setrlimit(resource.RLIMIT_AS, (vm * 1024 + 2**29, resource.RLIM_INFINITY))\n"
    "print([e['event_counter'] for e in r])\n")


@pytest.fixture(scope="module")
def script():
    """The installed `vorn` console script beside this interpreter."""
    found = shutil.which("vorn", path=os.path.dirname(sys.executable))
    if found is None:
        if os.environ.get("VORN_CLI_TESTS") == "required":
            pytest.fail("no vorn console script beside this interpreter")
        pytest.skip("the vorn console script is not installed beside this interpreter")
    return found


@pytest.fixture
def vorn_cli(script, tmp_path):
    def run(*args, check=None, **kwargs):
        proc = subprocess.run([script, *map(str, args)], capture_output=True, text=True, timeout=120,
                              cwd=tmp_path, **kwargs)
        if check is not None:
            assert proc.returncode == check, proc.stderr
        if "--json" in map(str, args) and proc.stdout:
            # Whatever the test then checks, --json is JSON that any parser takes: no NaN, no Infinity.
            json.loads(proc.stdout, parse_constant=refuse_constant)
        return proc
    return run


def refuse_constant(name):
    raise AssertionError(f"--json printed {name}, which is not JSON")


@pytest.fixture
def cluster():
    distributed = need("distributed")
    # Workers as threads of this process keep it cheap; TCP lets the command reach the scheduler.
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=False, protocol="tcp://",
                                  host="127.0.0.1", dashboard_address=None) as cluster:
        yield cluster
