"""`vorn plot`, run as a user runs it."""

import struct
import subprocess
import sys
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


def rendered(monkeypatch, folder, argv):
    """The figures a command draws, run in this process, each rendered as written."""
    from matplotlib.figure import Figure

    from vorn_tools.commands.cli import main

    drawn = []
    save = Figure.savefig

    def keep(figure, *args, **kwargs):
        drawn.append(figure)
        return save(figure, *args, **kwargs)

    monkeypatch.chdir(folder)
    monkeypatch.setattr(Figure, "savefig", keep)
    assert main([str(a) for a in argv]) == 0
    return drawn


def data_points(ax):
    """The display coordinates of what an axes draws (lines, steps, bands), inside its frame."""
    from matplotlib.collections import PolyCollection
    from matplotlib.lines import Line2D
    from matplotlib.patches import StepPatch

    found = []
    for artist in ax.get_children():
        if isinstance(artist, Line2D) and artist.get_visible():
            found.append(ax.transData.transform(artist.get_xydata()))
        elif isinstance(artist, (StepPatch, PolyCollection)):
            paths = artist.get_paths() if isinstance(artist, PolyCollection) else [artist.get_path()]
            found += [ax.transData.transform(path.vertices) for path in paths]
    points = np.concatenate(found) if found else np.zeros((0, 2))
    frame = ax.get_window_extent()
    inside = (points[:, 0] >= frame.x0) & (points[:, 0] <= frame.x1) & (points[:, 1] >= frame.y0) & \
        (points[:, 1] <= frame.y1)
    return points[np.isfinite(points).all(axis=1) & inside]


@pytest.mark.parametrize("command", ["plot", "hist", "hist panels", "hist time", "hist map", "hist pulses",
                                     "average"])
def test_legends_and_texts_cover_no_data_and_no_other_text(monkeypatch, tmp_path, command):
    """Every picture, as the commands draw it: no legend box holds a point of the data, and no two of the
    legends and texts (titles, axis labels) overlap; a legend is not cut off by the figure's edge either."""
    need("matplotlib")
    need("boost_histogram")
    from matplotlib.backends.backend_agg import FigureCanvasAgg

    from cli_support import pulses

    rng = np.random.default_rng(41)
    # A flat rate and a pulse's tail reach the top right of their axes, where a legend goes by default.
    for name, scale in (("a.dat", 1.0), ("b.dat", 0.3)):
        pulses(tmp_path / name, 300, rng, scale=scale)
    where = "amplitude > 20"
    argv = {
        "plot": ["plot", "a.dat", "-n", "6", "-o", "p.png"],
        "hist": ["hist", "a.dat", "b.dat", "--of", "amplitude", "--range", "0", "1000", "--where", where,
                 "--channel", "0", "-o", "h.png"],
        "hist panels": ["hist", "a.dat", "b.dat", "--of", "charge", "-o", "h.svg"],
        "hist time": ["hist", "a.dat", "b.dat", "--of", "time", "--tick", "8ns", "-o", "h.png"],
        "hist map": ["hist", "a.dat", "--of", "charge, amplitude", "-o", "h.png"],
        "hist pulses": ["hist", "t.parquet", "--of", "amplitude", "-o", "h.png"],
        "average": ["average", "a.dat", "b.dat", "--where", where, "-o", "a.pdf"],
    }[command]
    if command == "hist pulses":
        need("pyarrow")
        subprocess.run([sys.executable, "-m", "vorn_tools", "pulses", "a.dat", "-o", "t.parquet"], cwd=tmp_path,
                       check=True, capture_output=True)
    before = {p.name for p in tmp_path.iterdir()}
    (figure,) = rendered(monkeypatch, tmp_path, argv)
    assert {p.name for p in tmp_path.iterdir()} - before == {argv[-1]}  # the name given, nothing added to it
    canvas = FigureCanvasAgg(figure)  # drawn again, as the file was, to place every box
    canvas.draw()
    renderer = canvas.get_renderer()
    legends = [ax.get_legend() for ax in figure.axes if ax.get_legend() is not None] + list(figure.legends)
    assert legends or command == "hist map"
    texts = [text for text in [figure._suptitle, *(t for ax in figure.axes
                                                   for t in (ax.title, ax.xaxis.label, ax.yaxis.label))]
             if text is not None and text.get_visible() and text.get_text().strip()]
    boxes = [legend.get_window_extent(renderer) for legend in legends] + \
        [text.get_window_extent(renderer) for text in texts]
    page = figure.bbox
    for n, box in enumerate(boxes):
        assert page.x0 - 1 <= box.x0 and box.x1 <= page.x1 + 1 and page.y0 - 1 <= box.y0 and box.y1 <= page.y1 + 1
        for other in boxes[n + 1:]:
            assert not box.overlaps(other), (box, other)
    for ax in figure.axes:
        points = data_points(ax)
        for legend in legends:
            box = legend.get_window_extent(renderer)
            covered = (points[:, 0] > box.x0) & (points[:, 0] < box.x1) & (points[:, 1] > box.y0) & \
                (points[:, 1] < box.y1)
            assert not covered.any(), f"{command}: the legend covers {covered.sum()} points of the data"
    title = figure.get_suptitle() or figure.axes[0].get_title()
    if "--where" in argv:
        assert where in title
    if "--channel" in argv:
        assert "channel 0" in title
    if command == "hist pulses":
        assert figure.axes[0].get_ylabel() == "pulses per bin"
