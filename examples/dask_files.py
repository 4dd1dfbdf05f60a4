"""Summarise many event files in parallel on a Dask cluster (needs dask[distributed]).

    python examples/dask_files.py                          # 8 generated WD1 files, local cluster
    python examples/dask_files.py --type WD2 FILE...       # your files, local cluster
    python examples/dask_files.py --scheduler tcp://HOST:8786 --type WD1 FILE...

An EventReader cannot be pickled, so each task opens its own file: on a real
cluster every worker needs vorn installed and the files at the same path.
Readers hold the GIL while they read, so a local cluster uses worker
processes (the default) rather than threads to read files side by side.
"""

from __future__ import annotations

import argparse
import sys
import tempfile
from collections.abc import Sequence
from pathlib import Path

from dask.distributed import Client, LocalCluster

from sample_files import write_wd1
from summarize import ChannelStats, Summary, print_summary, summarize_file


def summarize_many(client: Client, paths: Sequence[str], reader_type: str) -> list[Summary]:
    """One Summary per file, computed on the cluster, in the order of `paths`."""
    # pure=False: a file that is still growing must be read again, not taken from a cache.
    futures = client.map(summarize_file, list(paths), reader_type=reader_type, pure=False)
    summaries: list[Summary] = client.gather(futures)
    return summaries


def combine(summaries: Sequence[Summary]) -> Summary:
    """Totals over all files: events, samples and merged per-channel statistics."""
    total = Summary(f"{len(summaries)} files", summaries[0].reader_type if summaries else "-")
    for s in summaries:
        total.events += s.events
        total.samples += s.samples
        total.counter_gaps += s.counter_gaps
        for number, stats in s.channels.items():
            total.channel(number).merge(stats)
    return total


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("files", nargs="*", help="event files (default: 8 generated WD1 files)")
    parser.add_argument("--type", dest="reader_type", choices=["WD1", "WD2"], default="WD1")
    parser.add_argument("--scheduler", help="address of a running scheduler (default: start a local cluster)")
    parser.add_argument("--workers", type=int, default=2, help="local cluster size (default 2)")
    parser.add_argument("--threads", action="store_true", help="local workers as threads of this process")
    args = parser.parse_args(argv)
    with tempfile.TemporaryDirectory() as tmp:
        files: list[str] = args.files
        if not files:
            files = [str(Path(tmp) / f"run{i:03d}.wd1") for i in range(8)]
            for seed, path in enumerate(files):
                write_wd1(path, events=50, seed=seed)
            args.reader_type = "WD1"
        if args.scheduler:
            with Client(args.scheduler) as client:
                summaries = summarize_many(client, files, args.reader_type)
        else:
            cluster = LocalCluster(
                n_workers=args.workers,
                threads_per_worker=1,
                processes=not args.threads,
                dashboard_address=None,
            )
            with cluster, Client(cluster) as client:
                summaries = summarize_many(client, files, args.reader_type)
    for s in summaries:
        print(f"{s.path}: {s.events} events, {s.samples} samples, {s.counter_gaps} counter gaps")
    print_summary(combine(summaries))
    return 0


if __name__ == "__main__":
    sys.exit(main())
