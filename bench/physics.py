"""End to end: features and ROOT output over a large WD1 file, against reading and HDF5 alone.

    python bench/physics.py [--size-mb 1000] [--rounds 3] [--folder /tmp]

The file holds events of 1,024 uint16 samples (a noisy baseline and one
pulse each), generated once and not kept. Measured, as wall and CPU time:

- read: `vorn_tools.iterate` over the file's blocks (of the size the
  feature table reads), touching nothing;
- features: `feature_tables` over the same file, the whole table computed
  (reading in one thread, the kernel in another) but not written;
- vorn features to Parquet: the command `vorn features FILE -o OUT.parquet`
  in a process of its own, interpreter start and writing included; and the
  same to HDF5 (`OUT.h5`, gzip with shuffle), which should take about as long;
- HDF5: `vorn convert` to HDF5 without compression, and with the default;
- ROOT: `vorn convert -o OUT.root`.

It prints the rates, the ratios the library promises (features against
reading, ROOT against HDF5 of the same compression) and the peak resident
memory of a features run on a file of a tenth the size and of the full one.
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

SAMPLES = 1024
EVENT = 24 + 2 * SAMPLES


def generate(path: str, size: int) -> int:
    events = size // EVENT
    rng = np.random.default_rng(0)
    dtype = np.dtype([(k, "<i4") for k in ("event_size", "board_id", "pattern", "board_channel", "event_counter",
                                           "timestamp")] + [("data", "<u2", SAMPLES)])
    t = np.arange(SAMPLES)
    shape = np.exp(-np.maximum(t - 300, 0) / 40.0) * (t >= 300)
    with open(path, "wb") as out:
        for start in range(0, events, 20_000):
            n = min(20_000, events - start)
            block = np.zeros(n, dtype)
            block["event_size"] = EVENT
            block["event_counter"] = np.arange(start, start + n)
            block["timestamp"] = (np.arange(start, start + n) * 12_500) % 2**31
            heights = rng.uniform(50, 900, n)
            noise = rng.normal(0, 3, (n, SAMPLES))
            block["data"] = np.clip(1000 + noise - heights[:, None] * shape, 0, 4095).astype(np.uint16)
            block.tofile(out)
    return events


def timed(run) -> tuple[float, float]:
    wall, cpu = time.perf_counter(), time.process_time()
    run()
    return time.perf_counter() - wall, time.process_time() - cpu


def command(*args: str) -> None:
    subprocess.run([sys.executable, "-m", "vorn_tools", *args], check=True, stdout=subprocess.DEVNULL)


def peak_memory(path: str, out: str) -> int:
    """Peak resident set of a `vorn features` run in a process of its own, in MB."""
    # VmHWM, not ru_maxrss: the latter keeps the high-water mark of the
    # process it was forked from, this bench with its generated blocks.
    script = ("import sys; from vorn_tools.commands.cli import main; main(sys.argv[1:]);"
              " print(next(l for l in open('/proc/self/status') if l.startswith('VmHWM')).split()[1])")
    done = subprocess.run([sys.executable, "-c", script, "features", path, "-o", out, "--force", "--quiet"],
                          check=True, capture_output=True, text=True)
    return int(done.stdout.split()[-1]) // 1024


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--size-mb", type=int, default=1000)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--folder", default=tempfile.gettempdir())
    args = parser.parse_args()

    from vorn_tools import iterate
    from vorn_tools.feature_table import feature_tables
    from vorn_tools.features import FeatureOptions
    from vorn_tools.sizes import TABLE_STEP

    with tempfile.TemporaryDirectory(dir=args.folder) as folder:
        path = os.path.join(folder, "big.wd1")
        small = os.path.join(folder, "small.wd1")
        events = generate(path, args.size_mb * 10**6)
        generate(small, args.size_mb * 10**5)
        size = os.path.getsize(path)
        options = FeatureOptions(charge=(290, 600))
        out = lambda name: os.path.join(folder, name)  # noqa: E731

        def read() -> None:
            # In the blocks the feature table reads, so that both read alike.
            for _ in iterate(path, step_size=TABLE_STEP, type="WD1"):
                pass

        def features() -> None:
            for _ in feature_tables([path], options, type="WD1"):
                pass

        cases = {
            "read (iterate)": read,
            "features, not written": features,
            "vorn features to Parquet": lambda: command("features", path, "-o", out("f.parquet"), "--charge", "290",
                                                   "600", "--force", "--quiet"),
            "vorn features to HDF5": lambda: command("features", path, "-o", out("f.h5"), "--charge", "290", "600",
                                                "--force", "--quiet"),
            "HDF5, no compression": lambda: command("convert", path, "-o", out("c.h5"), "--compression", "none",
                                                    "--force", "--quiet"),
            "HDF5, gzip (default)": lambda: command("convert", path, "-o", out("g.h5"), "--force", "--quiet"),
            "ROOT, no compression": lambda: command("convert", path, "-o", out("c.root"), "--compression", "none",
                                                    "--force", "--quiet"),
            "ROOT, gzip (default)": lambda: command("convert", path, "-o", out("g.root"), "--force", "--quiet"),
        }
        results: dict[str, list[tuple[float, float]]] = {name: [] for name in cases}
        for _ in range(args.rounds):
            for name, run in cases.items():
                results[name].append(timed(run))
        print(f"{events:,} events of {SAMPLES} samples, {size / 1e6:,.0f} MB; median of {args.rounds} rounds")
        print(f"{'case':<24} {'wall s':>8} {'MB/s':>8} {'events/s':>12}")
        wall = {}
        for name, times in results.items():
            wall[name] = statistics.median(w for w, _ in times)
            print(f"{name:<24} {wall[name]:>8.2f} {size / 1e6 / wall[name]:>8.0f} {events / wall[name]:>12,.0f}")
        print(f"features / read:            {wall['read (iterate)'] / wall['features, not written']:.2f}x")
        print(f"features to Parquet / read: {wall['read (iterate)'] / wall['vorn features to Parquet']:.2f}x")
        print(f"features to HDF5 / Parquet: {wall['vorn features to Parquet'] / wall['vorn features to HDF5']:.2f}x")
        print(f"ROOT / HDF5 uncompressed:   {wall['HDF5, no compression'] / wall['ROOT, no compression']:.2f}x")
        print(f"ROOT / HDF5 gzip:           {wall['HDF5, gzip (default)'] / wall['ROOT, gzip (default)']:.2f}x")
        print(f"peak RSS of vorn features: {peak_memory(small, out('s.parquet'))} MB on {size / 1e7:,.0f} MB,"
              f" {peak_memory(path, out('b.parquet'))} MB on {size / 1e6:,.0f} MB")


if __name__ == "__main__":
    main()
