"""`vorn noise`: the noise spectrum of each channel, its strongest lines and its RMS in a band."""

from __future__ import annotations

import argparse
import contextlib
import csv
import math
import os
from typing import Any

import numpy as np

from ..blocks import FILE_ERRORS
from ..formats import Layout
from .common import (FAILED, Failed, UsageError, check_targets, error, install_hint, layouts, naming, picture_and_csv,
                     picture_format, plural, report_run, require, run_inputs, spare_inputs, unreadable_raw)
from .options import (Checked, add_command, allow_gaps_option, baseline_option, float32_option, force_option,
                      rearm_options, run_option, threshold_options, tick_option, type_option, units_options)

__all__ = ["add_parser", "run"]

EXAMPLES = """
  vorn noise run042.wd1 --sample-period 1ns --volts-per-count 0.122mV
  vorn noise --run run042/ --baseline 0 256 --csv noise.csv -o noise.pdf
  vorn noise dark.wd2 --whole --tick 8ns --band 10e6 100e6
"""


def add_parser(commands: Any) -> None:
    noise = add_command(commands, "noise", "the noise spectrum of each channel",
                        "The power spectral density of each channel's noise, averaged over events: of the baseline"
                        " window of each waveform, or with --whole of each whole waveform in which the pulse finder"
                        " finds no pulse. Each window is one boxcar segment of Welch's method, its mean removed, so"
                        " that the spectrum's integral is the mean variance of the windows. Drawn on log-log axes;"
                        " the strongest lines (at least 10 times the spectrum's local median) are named with their"
                        " power, and the RMS over --band. In V²/Hz against Hz with --sample-period and volts per"
                        " count; without them in ADC counts² (or sample units²) per cycle/sample against cycles per"
                        f" sample. Needs {install_hint('cli')} and {install_hint('fit')}.", EXAMPLES)
    noise.add_argument("files", nargs="+", metavar="FILE|FOLDER")
    noise.add_argument("--whole", action="store_true",
                       help="whole waveforms without pulses instead of baseline windows (a waveform with a pulse is"
                            " left out and counted)")
    noise.add_argument("--band", nargs=2, type=float, metavar=("F0", "F1"),
                       help="the RMS over frequencies [F0, F1], in the frequency axis' unit (default the whole band)")
    noise.add_argument("-o", "--output", default="noise.png", metavar="IMAGE",
                       help="default noise.png; PDF, SVG... by the extension")
    noise.add_argument("--csv", metavar="FILE", help="also the numbers: frequency and a density column per channel")
    type_option(noise)
    float32_option(noise)
    run_option(noise)
    allow_gaps_option(noise)
    tick_option(noise, "a WD2 file's sampling_period then gives the sample period")
    found = noise.add_argument_group("windows and pulses (samples counted from the event's start)")
    baseline_option(found)
    found.add_argument("--polarity", choices=["auto", "positive", "negative"], default="auto",
                       help="--whole: pulse polarity (default auto: decided per channel from its first events)")
    threshold_options(found)
    rearm_options(found)
    units_options(noise)
    force_option(noise)
    noise.set_defaults(run=run, outputs=picture_and_csv)


def run(args: argparse.Namespace, checked: Checked) -> int:
    require("matplotlib", "vorn noise")
    require("scipy", "vorn noise")
    from ..budget import check
    from ..feature_table import TableOutcome
    from ..noise import band_power, lines, noise_spectrum
    from ..pulses import PulseOptions

    kind = picture_format(args.output)
    if args.band is not None:
        low, high = args.band
        if not (0 <= low < high < math.inf):
            raise UsageError(f"--band needs 0 <= F0 < F1, both finite, not {low:g} {high:g}")
    if args.csv and not args.csv.endswith(".csv"):
        raise UsageError(f"--csv names a .csv file, not {args.csv}")
    low_b, high_b = args.baseline
    if not args.whole:
        # A channel's sums hold half a window; a block's densities as many as its samples.
        check(f"--baseline {low_b} {high_b}", high_b - low_b)
    if args.impedance is not None:
        raise UsageError("--impedance: a noise spectrum has no charge; give --volts-per-count or --adc-range")
    outs = [args.output] + ([args.csv] if args.csv else [])
    spare_inputs(outs, run_inputs(args.files) if args.as_run else args.files)
    check_targets(outs, args.force)
    if unreadable_raw(args.files, args.type, args.as_run):
        return FAILED
    try:
        finder = PulseOptions(baseline=(low_b, high_b), polarity=args.polarity, threshold=args.threshold,
                              threshold_rms=args.threshold_rms, hysteresis=args.hysteresis,
                              hysteresis_rms=args.hysteresis_rms)
    except ValueError as failure:
        raise UsageError(str(failure)) from None
    calibration = _calibration(args, checked.calibration)
    read = TableOutcome(", ".join(args.files))
    try:
        found = noise_spectrum(args.files, (low_b, high_b), args.whole, finder, args.as_run, args.type,
                               args.float32, read)
    except (*FILE_ERRORS, ValueError) as failure:
        error(naming(failure, args.files))
        return FAILED
    print(f"{read.path}: {plural(read.events, 'event')}, {read.ending}")
    status = report_run(read.run_report, args.files, args.allow_gaps)
    names = _names(found)
    for key, count in sorted(found.with_pulses.items()):
        print(f"{names.get(key, _name(key, len(args.files) > 1))}: {plural(count, 'waveform')} with a pulse, left out")
    for key, count in sorted(found.other_length.items()):
        error(f"{names.get(key, _name(key, len(args.files) > 1))}: {plural(count, 'window')} of another length than"
              " the first, left out")
    if not found.sums:
        error("no window of noise was read" + (" (every waveform had a pulse)" if found.with_pulses else ""))
        return FAILED
    volts, period = calibration.volts_per_count, calibration.sample_period
    rate = 1.0 if period is None else 1.0 / period
    value = _sample_unit(args) if volts is None else "V"
    freq_unit = "cycles/sample" if period is None else "Hz"
    psd_unit = f"{value}²/({freq_unit})" if period is None else f"{value}²/Hz"
    scale = (1.0 if volts is None else volts ** 2) / rate
    spectra = {key: (found.result(key)[0] * rate, found.result(key)[1] * scale) for key in sorted(found.sums)}
    band = args.band if args.band is not None else (0.0, math.inf)
    nyquist = min(float(f[-1]) for f, _ in spectra.values())
    if band[0] > nyquist:
        raise UsageError(f"--band {band[0]:g} {band[1]:g}: above every frequency of the spectrum (up to"
                         f" {nyquist:g} {freq_unit})")
    rms_unit = value if volts is None else "V"
    for key, (f, p) in spectra.items():
        rms = math.sqrt(band_power(f, p, *band))
        where = "" if args.band is None else f" over {band[0]:g} to {band[1]:g} {freq_unit}"
        print(f"{names[key]}: {plural(found.windows[key], 'window')} of {found.lengths[key]} samples;"
              f" RMS {rms:.4g} {rms_unit}{where}")
        for line in lines(f, p):
            print(f"  line at {line.frequency:.6g} {freq_unit}: {line.density:.4g} {psd_unit},"
                  f" RMS {math.sqrt(max(line.power, 0.0)):.4g} {rms_unit} (power {line.power:.4g} {rms_unit}²)")
    _draw(spectra, names, args.output, kind, freq_unit, psd_unit,
          f"noise of {', '.join(os.path.basename(os.path.normpath(f)) for f in args.files)}")
    if args.csv:
        _write_csv(spectra, names, args.csv, freq_unit, psd_unit)
    print(f"wrote {args.output}" + (f" and {args.csv}" if args.csv else ""))
    return status


def _name(key: tuple[str, int], with_file: bool) -> str:
    source, channel = key
    return f"{os.path.basename(source)} channel {channel}" if with_file and source != "run" else f"channel {channel}"


def _names(found: Any) -> dict[tuple[str, int], str]:
    sources = {source for source, _ in found.sums}
    return {key: _name(key, len(sources) > 1) for key in found.sums}


def _wd2(args: argparse.Namespace) -> bool:
    paths = run_inputs(args.files) if args.as_run else list(args.files)
    found = [layout for layout in layouts(paths[:1], args.type) if isinstance(layout, Layout)]
    return bool(found) and found[0].reader_type == "WD2"


def _sample_unit(args: argparse.Namespace) -> str:
    """The unit of the samples without volts per count: WD1 counts, WD2 (or --float32) sample values."""
    paths = run_inputs(args.files) if args.as_run else list(args.files)
    kinds = {"sample values" if args.float32 or layout.reader_type == "WD2" else "ADC counts"
             for layout in layouts(paths, args.type) if isinstance(layout, Layout)}
    return kinds.pop() if len(kinds) == 1 else "sample units"


def _calibration(args: argparse.Namespace, calibration: Any) -> Any:
    """The units options' calibration, with a WD2 file's sampling_period times --tick as the sample period."""
    if args.tick is None or args.as_run or not _wd2(args):
        return calibration
    import vorn

    from ..timing import parse_tick

    event = None
    with contextlib.suppress(*FILE_ERRORS, StopIteration):  # the reading of the spectrum reports it
        event = next(iter(vorn.EventReader(args.files[0], "WD2")))
    if event is None:
        return calibration
    try:
        return calibration.resolve({"sampling_period": np.array([event["sampling_period"]])}, parse_tick(args.tick))
    except ValueError as failure:
        raise Failed(f"{args.files[0]}: {failure}") from None


def _draw(spectra: dict[tuple[str, int], Any], names: dict[tuple[str, int], str], path: str, kind: str,
          freq_unit: str, psd_unit: str, title: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figure, axes = plt.subplots(figsize=(8, 5))
    try:
        for key, (f, p) in spectra.items():
            # The bin at 0 is empty (each window's mean is removed) and has no place on a log axis.
            shown = (f > 0) & (p > 0)
            axes.loglog(f[shown], p[shown], label=names[key], linewidth=0.8)
        axes.set_xlabel(f"frequency ({freq_unit})")
        axes.set_ylabel(f"power spectral density ({psd_unit})")
        axes.set_title(title)
        axes.grid(True, which="both", alpha=0.3)
        axes.legend()
        figure.savefig(path, format=kind)
    finally:
        plt.close(figure)


def _write_csv(spectra: dict[tuple[str, int], Any], names: dict[tuple[str, int], str], path: str, freq_unit: str,
               psd_unit: str) -> None:
    """One row per frequency of the longest spectrum; a channel of shorter windows (fewer frequencies) has its
    own frequency column."""
    from .._output_files import atomic_output

    grids = {key: f for key, (f, _) in spectra.items()}
    first = next(iter(grids.values()))
    same = all(len(f) == len(first) and np.array_equal(f, first) for f in grids.values())
    with atomic_output(path) as temporary, open(temporary, "w", newline="") as out:
        writer = csv.writer(out)
        if same:
            writer.writerow([f"frequency ({freq_unit})"] + [f"{names[k]} ({psd_unit})" for k in spectra])
            for i, frequency in enumerate(first.tolist()):
                writer.writerow([repr(frequency)] + [repr(float(p[i])) for _, p in spectra.values()])
        else:
            writer.writerow(["channel", f"frequency ({freq_unit})", f"density ({psd_unit})"])
            for key, (f, p) in spectra.items():
                for frequency, value in zip(f.tolist(), p.tolist()):
                    writer.writerow([names[key], repr(frequency), repr(value)])
