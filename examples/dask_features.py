"""Pulse features of many files as one Dask DataFrame, cut and histogrammed on a cluster.

    python examples/dask_features.py                          # a generated run's 4 WD1 files, local cluster
    python examples/dask_features.py --run                    # the same files matched as one run
    python examples/dask_features.py --type WD2 FILE...       # your files
    python examples/dask_features.py --scheduler tcp://HOST:8786 FILE...

Needs dask[dataframe,distributed], pandas and boost-histogram
(`pip install '.[examples]'`). `vorn_tools.dask.features` gives the feature
table lazily, one partition per block of each file; Dask's own API then
filters it, and each partition fills a boost-histogram of its own. Those
add exactly (integer counts), so the sum over partitions is the histogram of
the whole selection, however the work was spread.
"""

from __future__ import annotations

import argparse
import contextlib
import sys
import tempfile
from collections.abc import Sequence
from functools import reduce
from operator import add
from pathlib import Path
from typing import Any

import boost_histogram as bh
from dask.delayed import delayed
from dask.distributed import Client, LocalCluster

from pulse_run import write_run
from vorn_tools import dask as vorn_dask
from vorn_tools.features import FeatureOptions


def fill(partition: Any, column: str, bins: int, low: float, high: float) -> Any:
    """One partition's histogram of `column`, in integer counts so that partitions add exactly."""
    histogram = bh.Histogram(bh.axis.Regular(bins, low, high), storage=bh.storage.Int64())
    histogram.fill(partition[column].to_numpy())
    return histogram


def histogram(frame: Any, column: str, bins: int, low: float, high: float) -> Any:
    """The histogram of `column` over a Dask DataFrame, lazily: a histogram per partition, then their sum."""
    parts = [delayed(fill)(part, column, bins, low, high) for part in frame.to_delayed()]
    return delayed(reduce)(add, parts)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("files", nargs="*", help="event files (default: a generated run's 4 WD1 files)")
    parser.add_argument("--type", default="auto", choices=["auto", "WD1", "WD2"])
    parser.add_argument("--run", action="store_true", help="the files are one run's channels: match their events")
    parser.add_argument("--step", default="1 MB", help="a block, one partition: events, or bytes of samples")
    parser.add_argument("--above", type=float, default=30.0, help="the cut: amplitude above this")
    parser.add_argument("--scheduler", help="address of a running scheduler (default: start a local cluster)")
    parser.add_argument("--workers", type=int, default=2, help="local cluster size (default 2)")
    args = parser.parse_args(argv)
    step: int | str = int(args.step) if args.step.isdigit() else args.step
    with tempfile.TemporaryDirectory() as tmp:
        files: Sequence[str] = args.files or [str(p) for p in write_run(tmp, events=4000)]
        with contextlib.ExitStack() as stack:
            if args.scheduler:
                client = stack.enter_context(Client(args.scheduler))
            else:
                # Worker processes: a reader holds the GIL while it reads.
                cluster = stack.enter_context(LocalCluster(n_workers=args.workers, threads_per_worker=1,
                                                           dashboard_address=None))
                client = stack.enter_context(Client(cluster))
            table = vorn_dask.features(files, FeatureOptions(baseline=(0, 64)), step, run=args.run, type=args.type)
            # One read of the files; the rows that pass the cut stay in the workers' memory.
            selected = table[table["amplitude"] > args.above].persist()
            kept, means = client.compute([selected.shape[0],
                                          selected.groupby("channel")["amplitude"].mean(split_out=1)], sync=True)
            amplitudes = client.compute(histogram(selected, "amplitude", 120, 0.0, 600.0), sync=True)
    print(f"{len(files)} files, {table.npartitions} partitions (blocks), {kept:,} rows with amplitude"
          f" above {args.above:g}")
    for channel, mean in sorted(means.items()):
        print(f"channel {channel}: mean amplitude {mean:.1f}")
    print(f"amplitude histogram: {int(amplitudes.sum(flow=True)):,} entries in {len(amplitudes.axes[0])} bins")
    return 0


if __name__ == "__main__":
    sys.exit(main())
