"""Tables and waveform files written: HDF5, Parquet and ROOT, read back.

Writers need their optional libraries (`pip install '.[cli,root,parquet]'`);
without them these tests skip, unless VORN_CLI_TESTS=required.
"""

import os

import numpy as np
import pytest

import eventfiles
import vorn
from library_files import wd1_file
from needs import need


READERS = {".h5": "h5py", ".parquet": "pyarrow", ".root": "uproot"}


def read_back(path, extension):
    if extension == ".h5":
        import h5py

        with h5py.File(path) as f:
            return {k: f[k][()] for k in f}
    if extension == ".parquet":
        import pyarrow.parquet as pq

        table = pq.read_table(path)
        out = {}
        for name in table.column_names:
            column = table.column(name).combine_chunks()
            if name == "wave":
                out[name] = column.flatten().flatten().to_numpy().reshape(-1, 2, 3)
            elif name == "hits":
                out[name] = column.values.to_numpy()
                out["hits_offsets"] = column.offsets.to_numpy()
            else:
                out[name] = column.to_numpy()
        return out
    import uproot

    tree = uproot.open(path)["events"]
    out = tree.arrays(["counter", "wave"], library="np")
    hits = tree["hits"].array()
    out["hits"] = np.asarray(hits.layout.content.data)
    out["hits_offsets"] = np.asarray(hits.layout.offsets.data)
    return out


@pytest.mark.parametrize("extension", sorted(READERS))
def test_table_round_trip(tmp_path, extension):
    need(READERS[extension])
    from vorn_tools.outputs import Jagged, open_table

    rng = np.random.default_rng(3)
    blocks = []
    for n in (5, 40_000, 0, 7):  # one large enough to be flushed on its own
        lengths = rng.integers(0, 4, n)
        blocks.append({"counter": rng.integers(0, 2**63, n, dtype=np.uint64),
                       "wave": rng.integers(0, 2**16, (n, 2, 3)).astype(np.uint16),
                       "hits": Jagged(rng.random(int(lengths.sum())).astype(np.float32),
                                      np.concatenate(([0], np.cumsum(lengths))))})
    path = tmp_path / f"table{extension}"
    with open_table(str(path)) as writer:
        for block in blocks:
            writer.write(block)
    assert os.listdir(tmp_path) == [path.name]
    got = read_back(str(path), extension)
    for key in ("counter", "wave", "hits"):
        want = np.concatenate([b[key].content if key == "hits" else b[key] for b in blocks])
        np.testing.assert_array_equal(got[key], want)
        assert got[key].dtype == want.dtype
    lengths = np.concatenate([np.diff(b["hits"].offsets) for b in blocks])
    np.testing.assert_array_equal(np.diff(got["hits_offsets"]), lengths)


def test_failed_table_leaves_nothing(tmp_path):
    need("h5py")
    from vorn_tools.outputs import open_table

    with pytest.raises(ValueError, match="differ"):
        with open_table(str(tmp_path / "t.h5")) as writer:
            writer.write({"a": np.arange(3)})
            writer.write({"b": np.arange(3)})
    assert os.listdir(tmp_path) == []
    with pytest.raises(ValueError, match=r"\.h5, .*\.root"):
        open_table(str(tmp_path / "t.csv"))


@pytest.mark.parametrize("varying", [False, True])
def test_waveforms_to_root_bit_for_bit(tmp_path, varying):
    uproot = need("uproot")
    from vorn_tools.formats import Layout
    from vorn_tools.outputs.root_tree import write_waveforms_root

    class Source:
        def __init__(self, path, layout, name):
            self.path, self.layout, self.name = path, layout, name

    one = wd1_file(tmp_path / "a.wd1", range(3000), samples=(lambda c: 3 + c % 2) if varying else 6)
    two = tmp_path / "b.wd2"
    odd_floats = np.array([np.nan, -0.0, 1.5, np.inf], np.float32).tobytes()
    two.write_bytes(b"".join(eventfiles.wd2_event(i, 2**64 - 1 - i, 2, 8, odd_floats, 2) for i in range(30)))
    output = tmp_path / "out.root"
    outcomes = write_waveforms_root([Source(one, Layout("WD1"), "a"), Source(str(two), Layout("WD2", 2, True), "b")],
                                    str(output))
    assert [o.error for o in outcomes] == [None, None]
    with uproot.open(str(output)) as f:
        for name, path, kind in (("a", one, "WD1"), ("b", str(two), "WD2")):
            tree = f[name]
            events = list(vorn.EventReader(path, kind))
            for key in events[0]:
                if key == "data":
                    continue
                got = tree[key].array(library="np")
                want = np.array([e[key] for e in events], dtype=got.dtype)
                np.testing.assert_array_equal(got, want)
            data = tree["data"].array(library="np")
            for row, event in zip(data, events):
                eventfiles.assert_same_bytes(np.asarray(row).reshape(-1).tobytes(), event["data"].tobytes())
            assert len(data) == len(events)
