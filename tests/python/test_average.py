"""`vorn average`, run as a user runs it: the average of a table's cut against that of its raw files."""

import struct
import subprocess
import sys

import numpy as np
import pytest

from needs import need
from vorn_tools.analysis import expressions


def _channel_files(folder, events=400, samples=64, seed=3, counter_start=0):
    """Two WD1 channel files of one run: Gaussian pulses of random height and time in each channel."""
    rng = np.random.default_rng(seed)
    t = np.arange(samples)
    header = struct.Struct("<6i")
    folder.mkdir(exist_ok=True)
    for channel in (0, 1):
        starts = rng.uniform(20, 34, events)
        heights = rng.choice([0.0, 30.0, 90.0], events)
        waves = 800 - heights[:, None] * np.exp(-0.5 * ((t[None, :] - starts[:, None]) / 2.5) ** 2)
        data = np.rint(waves + rng.normal(0, 2, (events, samples))).astype("<u2")
        with open(folder / f"wave{channel}.dat", "wb") as out:
            for i in range(events):
                out.write(header.pack(24 + 2 * samples, 1, 0, channel, counter_start + i, 40 * i))
                out.write(data[i].tobytes())
    return [folder / "wave0.dat", folder / "wave1.dat"]


@pytest.mark.parametrize("layout, suffix, where, align", [
    ("run", ".parquet", "amplitude@0 > 50 and amplitude@1 > 10", "cfd"),
    ("files", ".h5", "amplitude > 50 or file == 1 and amplitude < 10", "peak"),
])
def test_average_of_a_table_cut_is_that_of_its_raw_files(tmp_path, layout, suffix, where, align):
    need("matplotlib")
    need("pyarrow" if suffix == ".parquet" else "h5py")
    from vorn_tools.analysis.average import average, average_table
    from vorn_tools.features import FeatureOptions

    files = _channel_files(tmp_path / "run")
    raw = [str(tmp_path / "run")] if layout == "run" else [str(f) for f in files]
    table = tmp_path / f"t{suffix}"
    vorn = [sys.executable, "-m", "vorn_tools"]
    run = ["--run"] if layout == "run" else []
    subprocess.run([*vorn, "features", *run, *raw, "-o", str(table), "-q"], check=True, capture_output=True)
    cut = expressions.parse(where)
    # Blocks of a few events, so that selected events fall in many blocks of each source.
    for step in (37, 1000):
        direct = average(raw, FeatureOptions(), cut, align, run=layout == "run", step_size=step)
        fetched = average_table(str(table), cut, align, step_size=step)
        assert sorted(fetched.sum) == [0, 1] and fetched.waveforms == direct.waveforms
        for channel in (0, 1):
            for mine, theirs in zip(fetched.result(channel), direct.result(channel)):
                np.testing.assert_array_equal(mine, theirs)
    # The command says the same, and fails in one line when a source is not the file the table was made from.
    done = subprocess.run([*vorn, "average", str(table), "--where", where, "--align", align, "-o",
                           str(tmp_path / "a.png"), "--data", str(tmp_path / "a.npy")], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    np.testing.assert_array_equal(np.load(tmp_path / "a.npy")[:, :2],
                                  np.stack([np.stack(direct.result(c)[:2]) for c in (0, 1)]))
    for broken in ("gone", "longer", "replaced"):
        (tmp_path / "run" / "wave1.dat").rename(tmp_path / "kept.dat")
        if broken == "longer":
            kept = (tmp_path / "kept.dat").read_bytes()  # an event more: its last one again
            (tmp_path / "run" / "wave1.dat").write_bytes(kept + kept[-152:])
        elif broken == "replaced":  # as long, but another acquisition
            _channel_files(tmp_path / "other", seed=4, counter_start=7)[1].rename(tmp_path / "run" / "wave1.dat")
        done = subprocess.run([*vorn, "average", str(table), "--where", where, "-o", str(tmp_path / "b.png")],
                              capture_output=True, text=True)
        assert done.returncode == 1 and len(done.stderr.splitlines()) == 1, (broken, done.stderr)
        assert "wave1.dat" in done.stderr and not (tmp_path / "b.png").exists()
        (tmp_path / "run" / "wave1.dat").unlink(missing_ok=True)
        (tmp_path / "kept.dat").rename(tmp_path / "run" / "wave1.dat")
