"""Where vorn's per-event time goes, on WD1 events of 16 samples.

    python bench/profile.py                    # callgrind, vorn and the floor
    python bench/profile.py --events 50000 --top 30
    python bench/profile.py --tool perf        # cpu-clock samples instead

callgrind counts instructions only while the iterator is being drained
(collections.deque(it, maxlen=0), collection toggled on its consume loop), so
interpreter start-up, imports and the first event with its one-time NumPy
lookup are left out, and so is the bytecode loop, which costs every
competitor the same. The object floor (bench/floor) is profiled the same way:
the difference in instructions per event is what vorn spends beyond the
objects it must create. Instruction counts do not depend on the machine's
load, which makes them the figure to compare before and after a change.

perf samples cpu-clock over a whole process that iterates the full-size file a
few times (start-up included, kernel time visible); it needs perf installed
and permission to sample.

Needs an importable vorn (installed, or PYTHONPATH=build/dev) and valgrind or
perf. The input comes from bench/generate.py, in bench/data/.
"""

from __future__ import annotations

import argparse
import collections
import os
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

BENCH = Path(__file__).resolve().parent
sys.path.insert(0, str(BENCH / "floor"))

import generate  # noqa: E402

TOGGLE = "consume_iterator"


def child(target: str, path: str, floor_dir: str, events: int,
          passes: int) -> None:
    import numpy  # noqa: F401  (imported before timing, as in run.py)

    if target == "vorn":
        import vorn
        for _ in range(passes):
            reader = vorn.EventReader(path, "WD1")
            next(reader)
            collections.deque(reader, maxlen=0)
    else:
        import floor_build
        floor = floor_build.load(floor_dir)
        for _ in range(passes):
            it = floor.events(events, 16, "WD1")
            next(it)
            collections.deque(it, maxlen=0)


def child_command(target, path, floor_dir, events, passes):
    return [sys.executable, str(Path(__file__).resolve()), "--child", target,
            str(path), floor_dir, str(events), str(passes)]


def child_env() -> dict:
    import vorn
    env = dict(os.environ)
    # Fixed string hashes, so that dict probe sequences (and their
    # instruction counts) are the same for vorn, the floor and every rerun.
    env["PYTHONHASHSEED"] = "0"
    for var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
        env.setdefault(var, "1")
    vorn_dir = str(Path(vorn.__file__).resolve().parent)
    env["PYTHONPATH"] = os.pathsep.join(
        [vorn_dir, str(BENCH / "floor")]
        + ([env["PYTHONPATH"]] if env.get("PYTHONPATH") else []))
    return env


def callgrind(target, path, floor_dir, events, top, out_dir) -> None:
    out = Path(out_dir) / f"callgrind.{target}.out"
    subprocess.run(
        ["valgrind", "--tool=callgrind", f"--toggle-collect={TOGGLE}",
         f"--callgrind-out-file={out}", "--quiet",
         *child_command(target, path, floor_dir, events, 1)],
        check=True, env=child_env())
    annotated = subprocess.run(
        ["callgrind_annotate", "--inclusive=no", "--threshold=100",
         str(out)], check=True, capture_output=True, text=True).stdout
    total = None
    rows = []
    for line in annotated.splitlines():
        m = re.match(r"\s*([\d,]+)\s+\(\s*[\d.]+%\)\s+PROGRAM TOTALS", line)
        if m:
            total = int(m.group(1).replace(",", ""))
            continue
        m = re.match(r"\s*([\d,]+)\s+\(\s*([\d.]+)%\)\s+(.*)$", line)
        if m and total is not None:
            rows.append((int(m.group(1).replace(",", "")), float(m.group(2)),
                         m.group(3)))
    counted = events - 1  # the first event is outside the collection
    print(f"## {target}: callgrind, {counted:,} events of 16 samples\n")
    print(f"{total:,} instructions, {total / counted:,.0f} per event "
          f"(profile: {out})\n")
    print("| instructions / event | share | function (self cost) |")
    print("|---:|---:|---|")
    for ir, share, name in rows[:top]:
        print(f"| {ir / counted:,.1f} | {share:.1f}% | `{shorten(name)}` |")
    print()
    per_event: dict[str, float] = collections.defaultdict(float)
    for ir, _, name in rows:
        per_event[shorten(name)] += ir / counted
    return total / counted, per_event


def print_difference(vorn: tuple, floor: tuple, top: int) -> None:
    """What vorn spends per event beyond the floor, function by function."""
    (vorn_total, vorn_fn), (floor_total, floor_fn) = vorn, floor
    names = set(vorn_fn) | set(floor_fn)
    diff = sorted(((vorn_fn.get(n, 0.0) - floor_fn.get(n, 0.0), n)
                   for n in names), reverse=True)
    print("## vorn minus the floor\n")
    print(f"{vorn_total:,.0f} − {floor_total:,.0f} = "
          f"{vorn_total - floor_total:,.0f} instructions per event; vorn runs "
          f"{vorn_total / floor_total:.3f}× the floor's instructions.\n")
    print("| extra instructions / event | vorn | floor | function (self cost) |")
    print("|---:|---:|---:|---|")
    for d, name in [x for x in diff if abs(x[0]) >= 1][:top]:
        print(f"| {d:+,.1f} | {vorn_fn.get(name, 0):,.1f} | "
              f"{floor_fn.get(name, 0):,.1f} | `{name}` |")
    print()


def shorten(name: str) -> str:
    # "file:function [object]" from callgrind_annotate; the object and the
    # long source paths only widen the table.
    name = re.sub(r"\s+\[[^\]]*\]$", "", name)
    if ":" in name:
        source, function = name.split(":", 1)
        where = Path(source).name if source != "???" else ""
        name = f"{function} ({where})" if where else function
    return name.replace("|", "\\|")


def perf(target, path, floor_dir, events, top, out_dir) -> None:
    out = Path(out_dir) / f"perf.{target}.data"
    subprocess.run(
        ["perf", "record", "-q", "-e", "cpu-clock", "-o", str(out), "--",
         *child_command(target, path, floor_dir, events, 3)],
        check=True, env=child_env())
    report = subprocess.run(
        ["perf", "report", "-i", str(out), "--stdio", "--no-children",
         "--sort", "dso,symbol", "--percent-limit", "0.5"],
        check=True, capture_output=True, text=True).stdout
    print(f"## {target}: perf cpu-clock, 3 passes over {events:,} events\n")
    # perf appends empty placeholder columns ("-") that only widen the lines.
    lines = [re.sub(r"(\s+-)+\s*$", "", line) for line in report.splitlines()
             if line.strip() and not line.startswith("#")]
    print("```")
    print("\n".join(lines[:top]))
    print("```\n")


def main(argv: list[str]) -> int:
    if argv[:1] == ["--child"]:
        target, path, floor_dir, events, passes = argv[1:6]
        child(target, path, floor_dir, int(events), int(passes))
        return 0
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tool", choices=("callgrind", "perf"),
                        default="callgrind")
    parser.add_argument("--events", type=int,
                        help="events in the input (default: 200,000 for "
                        "callgrind, 1,000,000 for perf)")
    parser.add_argument("--top", type=int, default=25)
    parser.add_argument("--target", choices=("vorn", "floor", "both"),
                        default="both")
    parser.add_argument("--data", type=Path, default=generate.DEFAULT_DIR)
    parser.add_argument("--out", type=Path,
                        help="directory for the profiles (default: "
                        "profiles/ under --data)")
    args = parser.parse_args(argv)
    tool = shutil.which("valgrind" if args.tool == "callgrind" else "perf")
    if tool is None:
        raise SystemExit(f"{args.tool} is not installed")
    events = args.events or (200_000 if args.tool == "callgrind" else 1_000_000)
    base = next(w for w in generate.WORKLOADS if w.name == "wd1_16")
    workload = base.scaled(events / base.events)
    path = generate.ensure([workload], args.data)[0]
    targets = ("vorn", "floor") if args.target == "both" else (args.target,)
    run = callgrind if args.tool == "callgrind" else perf
    with tempfile.TemporaryDirectory(prefix="vorn-profile-") as tmp:
        out_dir = args.out or args.data / "profiles"
        out_dir.mkdir(parents=True, exist_ok=True)
        floor_dir = tempfile.mkdtemp(dir=tmp)
        profiles = {}
        for target in targets:
            profiles[target] = run(target, path, floor_dir, workload.events,
                                   args.top, out_dir)
        if args.tool == "callgrind" and len(profiles) == 2:
            print_difference(profiles["vorn"], profiles["floor"], args.top)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
