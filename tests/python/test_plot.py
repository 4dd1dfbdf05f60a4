"""`vorn plot`, run as a user runs it."""

import struct
from pathlib import Path

import numpy as np
import pytest

from needs import need
from cli_support import wd1_file, wd2_file


def png_size(path):
    header = Path(path).read_bytes()[:24]
    assert header[:8] == b"\x89PNG\r\n\x1a\n"
    return struct.unpack(">II", header[16:24])


@pytest.mark.parametrize("kind, channels, size", [("WD1", 1, (800, 450)), ("WD2", 2, (800, 450)),
                                                 ("WD2", 4, (800, 750)), ("WD2", 4, None)])
def test_plot_writes_a_png_of_one_panel_per_channel(vorn_cli, tmp_path, kind, channels, size):
    need("matplotlib")
    rng = np.random.default_rng(9)
    if kind == "WD1":
        path = wd1_file(tmp_path / "p.wd1", [100] * 6, rng)
    else:
        path = wd2_file(tmp_path / "p.wd2", 6, 100, channels, True, rng)
    offset = 3 * (24 + 200 if kind == "WD1" else 28 + 400 * channels)
    account = f"3 events, stopped after the selected events, at offset {offset}"
    if size is None:  # only raster images have a size in pixels
        proc = vorn_cli("plot", path, "-n", 3, "-o", "p.pdf", check=0)
        assert (proc.stdout, (tmp_path / "p.pdf").read_bytes()[:5]) == (f"wrote p.pdf: {account}\n", b"%PDF-")
        return
    proc = vorn_cli("plot", path, "-n", 3, "-o", "p.png", check=0)
    assert png_size(tmp_path / "p.png") == size
    assert proc.stdout == f"wrote p.png ({size[0]}x{size[1]} pixels): {account}\n"
