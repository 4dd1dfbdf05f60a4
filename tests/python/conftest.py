import os
import struct
import subprocess
import sys

import pytest

import vorn


def wd1_event(event_size=None, board_id=0, pattern=0, board_channel=0,
              event_counter=0, timestamp=0, samples=()):
    payload = struct.pack(f"<{len(samples)}H", *samples)
    if event_size is None:
        event_size = 24 + len(payload)
    return struct.pack("<6i", event_size, board_id, pattern, board_channel,
                       event_counter, timestamp) + payload


def wd2_event(counter, timestamp, samples_per_channel, period, data,
              channels=None):
    """`data` is bytes taken as is, or numbers packed as little-endian float32."""
    if not isinstance(data, bytes):
        data = struct.pack(f"<{len(data)}f", *data)
    word = b"" if channels is None else struct.pack("<i", channels)
    return (struct.pack("<IQIQ", counter, timestamp, samples_per_channel, period)
            + word + data)


def f32_bits(values):
    return list(struct.unpack(f"<{len(values)}I",
                              struct.pack(f"<{len(values)}f", *values)))


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
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        filter(None, [os.path.dirname(vorn.__file__), env.get("PYTHONPATH")]))
    proc = subprocess.run([sys.executable, "-W", "error", "-c", code, *args],
                          env=env, capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


# Reads the first event, then the rest under an address-space limit far below
# what the headers claim.
LIMITED = (
    "import resource, sys, vorn\n"
    "r = vorn.EventReader(sys.argv[1], sys.argv[2])\n"
    "next(r)\n"
    "vm = [int(l.split()[1]) for l in open('/proc/self/status') if l.startswith('VmSize')][0]\n"
    "resource.setrlimit(resource.RLIMIT_AS, (vm * 1024 + 2**29, resource.RLIM_INFINITY))\n"
    "print([e['event_counter'] for e in r])\n")
