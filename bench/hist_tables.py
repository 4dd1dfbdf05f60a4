"""`vorn hist` from a feature table against from the raw file it was made from, and the cost of a cut.

    python bench/hist_tables.py [--size-mb 500] [--rows 10000000] [--rounds 3] [--folder /tmp]

A WD1 file of 1,024-sample events (bench/physics.py's) is generated and its
table written with `vorn features`; then, each command in a process of its
own, interpreter start included:

- raw: `vorn hist FILE --of charge`, measuring every waveform;
- table: `vorn hist TABLE --of charge`, reading two columns of the table;
- table, cut: the same with `--where 'amplitude > 300 and not saturated'`;
- table, per event: `--of 'charge@0'` with a name@C cut, pairing rows by event.

The table side is also timed on a Parquet table of `--rows` rows (generated
columns of the feature table's types), which a raw file would need
rows x 2 KB to match; its raw time is that of the file scaled by rows.
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

sys.path.insert(0, os.path.dirname(__file__))
from physics import EVENT, generate  # noqa: E402


def timed(*args: str) -> float:
    start = time.perf_counter()
    subprocess.run([sys.executable, "-m", "vorn_tools", *args, "--force", "--quiet"], check=True,
                   stdout=subprocess.DEVNULL)
    return time.perf_counter() - start


def big_table(path: str, rows: int) -> None:
    import pyarrow as pa
    import pyarrow.parquet as pq

    rng = np.random.default_rng(1)
    schema = pa.schema([("entry", pa.int64()), ("channel", pa.int32()), ("amplitude", pa.float64()),
                        ("charge", pa.float64()), ("saturated", pa.bool_())])
    with pq.ParquetWriter(path, schema) as out:
        for start in range(0, rows, 1_000_000):
            n = min(1_000_000, rows - start)
            amplitude = rng.uniform(50, 900, n)
            out.write_table(pa.table({"entry": np.arange(start, start + n) // 2, "channel": np.arange(n) % 2,
                                      "amplitude": amplitude, "charge": amplitude * 40 + rng.normal(0, 50, n),
                                      "saturated": amplitude > 880}, schema=schema))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size-mb", type=int, default=500)
    parser.add_argument("--rows", type=int, default=10_000_000)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--folder", default=tempfile.gettempdir())
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(dir=args.folder) as folder:
        raw, table, big = (os.path.join(folder, name) for name in ("big.wd1", "big.parquet", "rows.parquet"))
        events = generate(raw, args.size_mb * 1_000_000)
        subprocess.run([sys.executable, "-m", "vorn_tools", "features", raw, "-o", table, "--quiet"], check=True,
                       stdout=subprocess.DEVNULL)
        big_table(big, args.rows)
        out = os.path.join(folder, "h.png")
        cut = ["--where", "amplitude > 300 and not saturated"]
        pair = ["--of", "charge@0", "--where", "amplitude@0 > 300 and amplitude@1 > 300"]
        runs = {
            "raw file": lambda: timed("hist", raw, "--of", "charge", "-o", out),
            "its table": lambda: timed("hist", table, "--of", "charge", "-o", out),
            "its table, cut": lambda: timed("hist", table, "--of", "charge", *cut, "-o", out),
            f"{args.rows:,}-row table": lambda: timed("hist", big, "--of", "charge", "-o", out),
            f"{args.rows:,}-row table, cut": lambda: timed("hist", big, "--of", "charge", *cut, "-o", out),
            f"{args.rows:,}-row table, per event": lambda: timed("hist", big, *pair, "-o", out),
        }
        found: dict[str, list[float]] = {name: [] for name in runs}
        for _ in range(args.rounds):
            for name, run in runs.items():
                found[name].append(run())
        median = {name: statistics.median(times) for name, times in found.items()}
        print(f"{events:,} events of {EVENT:,} bytes; wall s, median of {args.rounds}")
        for name, times in found.items():
            print(f"  {name:34} {median[name]:7.2f}  ({', '.join(f'{t:.2f}' for t in times)})")
        raw_rate = events / median["raw file"]
        big_name = f"{args.rows:,}-row table"
        print(f"raw file / its table: {median['raw file'] / median['its table']:.1f}x")
        print(f"{args.rows:,} rows from raw files (scaled) / from the table:"
              f" {args.rows / raw_rate / median[big_name]:.1f}x")
        print(f"cut over no cut: {median[big_name + ', cut'] / median[big_name] - 1:+.0%};"
              f" per event: {median[big_name + ', per event'] / median[big_name] - 1:+.0%}")


if __name__ == "__main__":
    main()
