"""Blocks of events over files: `iterate`, its steps in events or bytes, read errors, and measuring as it reads."""

import numpy as np
import pytest

import eventfiles
import vorn
from library_files import wd1_file, wd2_file
from vorn_tools import iterate


def test_iterate_entries_and_layouts(tmp_path):
    one = wd1_file(tmp_path / "a.wd1", range(1000), samples=lambda c: 4 if c < 700 else 5)
    two = wd2_file(tmp_path / "b.wd2", 250, channels=3, samples=6)
    blocks = list(iterate([one, two], step_size=128))
    assert [(b.path, b.file_entry_start, b.file_entry_stop) for b in blocks][6:] == [
        (one, 768, 896), (one, 896, 1000), (two, 0, 128), (two, 128, 250)]
    assert [b.entry_start for b in blocks] == [0, 128, 256, 384, 512, 640, 768, 896, 1000, 1128]
    assert all(a.entry_stop == b.entry_start for a, b in zip(blocks, blocks[1:]))
    # Each layout against what EventReader yields, event by event, once all
    # blocks exist: a block's arrays must not be reused by the next.
    for path, kind, own in ((one, "WD1", blocks[:8]), (two, "WD2", blocks[8:])):
        events = list(vorn.EventReader(path, kind))
        for block in own:
            rows = events[block.file_entry_start:block.file_entry_stop]
            data = block["data"]
            if "offsets" in block:
                got = [data[a:b] for a, b in zip(block["offsets"][:-1], block["offsets"][1:])]
            else:
                got = data.reshape(len(data), -1)
            for row, event in zip(got, rows):
                np.testing.assert_array_equal(row, event["data"])
            np.testing.assert_array_equal(block["event_counter"], [e["event_counter"] for e in rows])
    assert blocks[4]["data"].shape == (128, 4) and "offsets" in blocks[5]
    assert blocks[8]["data"].shape == (128, 3, 6)


def test_iterate_read_error_after_the_blocks_before_it(tmp_path):
    good = b"".join(eventfiles.wd1_event(event_counter=i, samples=[i] * 4) for i in range(10))
    path = tmp_path / "bad.wd1"
    path.write_bytes(good + eventfiles.wd1_event(event_size=10))
    blocks = []
    with pytest.raises(Exception, match=f"{path}: invalid WD1 event_size 10 at offset {len(good)}"):
        for block in iterate(str(path), step_size=4, type="WD1"):
            blocks.append(block.file_entry_stop)
    assert blocks == [4, 8, 10]


@pytest.mark.parametrize("bad", [0, 39, 40, 41, 375])
def test_a_read_error_ends_iterate_alike_when_blocks_are_measured_as_read(tmp_path, monkeypatch, bad):
    from vorn_tools import blocks as block_module
    from vorn_tools import sizes
    from vorn_tools.features import FeatureOptions

    # Blocks of 375 events, read in parts of 40 to be measured as they come: the bad event before, at
    # and after the start of a part, and at the start of a block.
    monkeypatch.setattr(sizes, "FILL_PART_BYTES", 320)
    good = b"".join(eventfiles.wd1_event(event_counter=i, samples=[i % 7] * 4) for i in range(bad))
    path = tmp_path / "bad.wd1"
    path.write_bytes(good + eventfiles.wd1_event(event_size=10) + eventfiles.wd1_event(samples=[0] * 4))

    def read(**features):
        sizes = []
        with pytest.raises(Exception) as error:
            for block in iterate(str(path), step_size="3 kB", type="WD1", **features):
                sizes.append(block.events)
        return sizes, type(error.value), str(error.value)

    plain = read()
    assert plain[1] is block_module.BadFile and f"invalid WD1 event_size 10 at offset {len(good)}" in plain[2]
    assert read(features=FeatureOptions(baseline=(0, 2))) == plain


@pytest.mark.parametrize("float32", [False, True])
@pytest.mark.parametrize("step, first_rows", [(700, 700), ("1 MB", 10**6 // 1000), ("1 MiB", 2**20 // 1000)])
def test_iterate_steps_are_the_events_the_reader_reads(tmp_path, step, first_rows, float32):
    # 1.3 MB, several times what the reader fills at a time: 2-D steps cut
    # across its blocks, then flat ones once lengths vary (all even, for
    # --float32). Every step is kept until the end: none may share arrays.
    path = wd1_file(tmp_path / "a.wd1", range(1300), samples=lambda c: 500 if c < 1100 else 500 + 2 * (c % 7 - 3))
    blocks = list(iterate(path, step_size=step, type="WD1", float32=float32))
    assert blocks[0].events == first_rows
    assert [b.file_entry_start for b in blocks[1:]] == [b.file_entry_stop for b in blocks[:-1]]
    assert any("offsets" in b for b in blocks)
    events = list(vorn.EventReader(path, "WD1"))
    assert blocks[-1].file_entry_stop == len(events)
    for block in blocks:
        data = block["data"]
        if "offsets" in block:
            rows = [data[a:b] for a, b in zip(block["offsets"][:-1], block["offsets"][1:])]
        else:
            rows = list(data)
        wanted = events[block.file_entry_start:block.file_entry_stop]
        assert len(rows) == len(wanted)
        for row, event in zip(rows, wanted):
            expected = event["data"].view(np.float32) if float32 else event["data"]
            eventfiles.assert_same_bytes(row.tobytes(), expected.tobytes())
        assert block["event_counter"].tolist() == [e["event_counter"] for e in wanted]


@pytest.mark.parametrize("kind,step", [("WD1", 70), ("WD1", "150 kB"), ("WD2", 70), ("WD2", "600 kB")])
def test_iterate_with_features_carries_the_feature_table_of_each_block(tmp_path, kind, step, monkeypatch):
    from vorn_tools import pipeline, sizes
    from vorn_tools.feature_table import feature_tables
    from vorn_tools.features import FEATURES, FeatureOptions

    # Blocks measured in parts of a few rows, in halves once the files are read and, with steps in
    # bytes, part by part as they are read, auto polarity decided from a first block of over 1,000 events.
    monkeypatch.setattr(pipeline, "HALF", 16)
    monkeypatch.setattr(sizes, "FILL_PART_BYTES", 20_000)
    taken = []
    take = pipeline.Live.take
    monkeypatch.setattr(pipeline.Live, "take", lambda self, block: taken.append(take(self, block)) or taken[-1])

    if kind == "WD1":
        paths = [wd1_file(tmp_path / f"w{n}.dat", range(3000), samples=40, channel=n) for n in range(2)]
    else:
        paths = [wd2_file(tmp_path / f"w{n}.wd2", 3000, 2 + n, 32) for n in range(2)]
    options = FeatureOptions(baseline=(0, 8), cfd_fraction=0.3)
    blocks_read = list(iterate(paths, step_size=step, features=options))
    for path in paths:
        rows = list(feature_tables([path], options, step_size=step))
        for name in FEATURES:
            expected = np.concatenate([r[name] for r in rows])
            found = np.concatenate([b[name].reshape(-1) for b in blocks_read if b.path == path])
            np.testing.assert_array_equal(found, expected, err_msg=f"{path} {name}")
    assert all(b[name].shape[0] == b.events for b in blocks_read for name in FEATURES)
    assert any(t is not None for t in taken) == isinstance(step, str)
