"""`vorn monitor`: a live view of a run in the browser."""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Sequence
from typing import Any

import numpy as np

from .common import FAILED, FIT_LIBRARIES, OK, Failed, UsageError, error, install_hint, plural, require
from ..monitor import DEFAULT_HOST, DEFAULT_PORT
from .options import (Checked, add_command, exclude_option, given, pulse_options, pulse_settings, rearm_options,
                      run_option, sample_period, seconds, separation_option, type_option, whole)

__all__ = ["add_parser", "run"]

EXAMPLES = """
  vorn monitor run042/                     # a run folder: wave0.dat, wave1.dat, ... as they appear
  vorn monitor live.wd2 --polarity negative --charge-peak 10 40
  vorn monitor run042/ --tick 8ns --range 0 300  # the trigger rate; amplitudes 0 to 300 on every channel
  vorn monitor hpge/ --trap 40 10 --tau 2500 --hist energy rise_time
  vorn monitor sipm/ --pulses --threshold 30 --sample-period 1ns --exclude 90 160   # dark-count rate
  vorn monitor run042/ --host 0.0.0.0      # reachable from other machines (prints a warning)
  vorn monitor sipm/ --tick 8ns --fit spe --fit-every 30   # the gain over the run, fitted live
  vorn monitor run042/ --coincidence 0,2 --coincidence-range -20 20   # cfd_time@2 - cfd_time@0
"""

# Feature columns that are NaN unless an option asks for them.
HIST_NEEDS = {"energy": ("trap", "--trap RISE FLAT"), "energy_time": ("trap", "--trap RISE FLAT"),
              "tail_ratio": ("psd_split", "--psd-split S")}


def add_parser(commands: Any) -> None:
    mon = add_command(commands, "monitor", "a live view of a run in the browser",
                      "Serve a page showing the files as they grow: per channel its last waveforms and histograms"
                      " of feature columns (amplitude and charge, or those --hist names), each on the channel's own"
                      " scale, with the values below and above the range; with --pulses its dark-count rate; with"
                      " --fit spe its gain, fitted every few seconds; a run's coincidence time difference; the"
                      " trigger rate (with --tick) or the reading rate; counters of triggers,"
                      " waveforms, counter gaps, bytes read, a cut event pending and read errors. PATHS are files,"
                      " or run folders whose wave<N> files are picked up as they appear; a new run written over a"
                      " file replaces the old one on the page. Read-only; serves 127.0.0.1 unless --host says"
                      f" otherwise. Stops on Ctrl-C or SIGTERM with a summary line. Needs {install_hint('monitor')}.",
                      EXAMPLES)
    mon.add_argument("paths", nargs="+", metavar="PATH")
    type_option(mon)
    mon.add_argument("--host", help="address to serve on (default 127.0.0.1, this machine only)")
    mon.add_argument("--port", type=whole(0, "ports are numbered from 0 (any free one) to 65535"),
                     default=DEFAULT_PORT, help=f"port (default {DEFAULT_PORT}; 0 for a free one)")
    run_option(mon, "the files given are the channels of one run: each trigger counts once (a folder's wave<N>"
                    " files always are)")
    mon.add_argument("--tick", metavar="LENGTH",
                     help="the board's clock tick, for example 8ns: the rate plotted is then the trigger rate from"
                          " the timestamps, else the rate at which triggers are read")
    mon.add_argument("--range", nargs=2, type=float, metavar=("LO", "HI"),
                     help="the amplitude histograms' range (default: each channel's, from its first 1,000 values,"
                          " chosen again on Reset)")
    mon.add_argument("--charge-range", nargs=2, type=float, metavar=("LO", "HI"),
                     help="the charge histograms' range (default as for --range)")
    mon.add_argument("--hist", nargs="+", default=["amplitude", "charge"], metavar="COLUMN",
                     help="the feature columns histogrammed per channel (default amplitude charge), any of those of"
                          " vorn features: rise_time, fwhm, tail_ratio, energy, ...")
    live = mon.add_argument_group("analyses while the run goes on")
    live.add_argument("--fit", choices=["spe"],
                      help="fit each channel's charge histogram (photoelectron spectrum) every --fit-every seconds"
                           " and plot the gain over the run's time (needs the fit extra)")
    live.add_argument("--fit-model", choices=["sipm", "pmt"], help="the spectrum's model (default sipm)")
    live.add_argument("--fit-every", type=seconds(True), metavar="SECONDS", help="seconds between fits (default 10)")
    live.add_argument("--coincidence", type=_coincidence, default=(0, 1), metavar="A,B",
                      help="the run channels whose CFD time difference, cfd_time@B - cfd_time@A, is histogrammed,"
                           " events matched by counter (default 0,1; a folder's channel N is wave<N>)")
    live.add_argument("--coincidence-range", nargs=2, type=float, metavar=("LO", "HI"),
                      help="the coincidence histogram's range in samples (default: from its first 1,000 values)")
    pulse_options(mon)
    dark = mon.add_argument_group("every pulse (the baseline window, polarity and threshold are the features')")
    dark.add_argument("--pulses", action="store_true",
                      help="find every pulse and show per channel the dark-count rate (with --sample-period) or"
                           " the pulses per waveform")
    rearm_options(dark)
    separation_option(dark, None)
    dark.add_argument("--sample-period", type=sample_period, metavar="LENGTH",
                      help="the time between samples, as 0.2ns or 5GS/s: the dark-count rate in Hz")
    exclude_option(dark, ", and those samples, out")
    mon.set_defaults(run=run)


def run(args: argparse.Namespace, checked: Checked) -> int:
    require("bokeh", "vorn monitor")
    require("boost_histogram", "vorn monitor")
    from ..monitor.server import Monitor, is_loopback, log_to
    from ..monitor.state import MonitorState, summary_line

    shown, options, ranges = _histograms(args)
    finder, counting = _pulses(args)
    fits = _fits(args, shown)
    coincidence_range = _range("--coincidence-range", args.coincidence_range)
    tick = _tick(args.tick)
    _check_paths(args.paths)
    if args.port > 65535:
        raise UsageError(f"--port {args.port}: ports are numbered from 0 (any free one) to 65535")
    host = DEFAULT_HOST if args.host is None else args.host
    monitor = Monitor(list(args.paths), args.type, options, host=host, port=args.port, run=args.as_run,
                      state=MonitorState(ranges=ranges, tick=tick, features=shown, pulses=counting,
                                         coincidence=args.coincidence, coincidence_range=coincidence_range,
                                         fits=fits), pulses=finder)
    log_to(sys.stderr)
    try:
        monitor.start()
    except (OSError, AssertionError) as failure:
        reason = getattr(failure, "strerror", None) or failure
        raise Failed(f"cannot serve on {host}:{args.port}: {reason}") from None
    if not is_loopback(host):
        error(f"warning: serving on {host}: anyone who can reach this address sees the data")
    print(f"vorn monitor: serving {monitor.url} (Ctrl-C to stop)", flush=True)
    try:
        monitor.serve_forever()
    except KeyboardInterrupt:
        pass
    final = monitor.stop()
    print(summary_line(final))
    if len(final.errors) < final.error_count:
        error(f"{plural(final.error_count - len(final.errors), 'earlier error')} not kept; the last:")
    for message in final.errors:  # the page's list, the reading stopped included
        error(message)
    return FAILED if final.error_count else OK


def _histograms(args: argparse.Namespace) -> tuple[list[str], Any, dict[str, tuple[float, float]]]:
    """The columns histogrammed, the feature options that measure them, and the ranges given."""
    from ..features import FEATURES

    shown = list(dict.fromkeys(args.hist))
    for name in shown:
        if name not in FEATURES:
            raise UsageError(f"--hist {name}: no such feature column; choose from {', '.join(FEATURES)}")
    options = pulse_settings(args)
    for name in shown:
        field, flag = HIST_NEEDS.get(name, (None, ""))
        if field is not None and getattr(options, field) is None:
            raise UsageError(f"--hist {name} needs {flag}: without it the column has no values")
    ranges = {}
    for name, option, chosen in (("amplitude", "--range", args.range), ("charge", "--charge-range", args.charge_range)):
        found = _range(option, chosen)
        if found is not None and name not in shown:
            raise UsageError(f"{option} is the range of the {name} histograms, which --hist leaves out")
        if found is not None:
            ranges[name] = found
    return shown, options, ranges


def _range(option: str, chosen: Sequence[float] | None) -> tuple[float, float] | None:
    if chosen is None:
        return None
    low, high = chosen
    if not (np.isfinite(low) and np.isfinite(high) and low < high):
        raise UsageError(f"{option} {low:g} {high:g}: give a finite range whose low end is below its high end")
    return low, high


def _tick(text: str | None) -> float | None:
    from ..timing import parse_tick

    try:
        return None if text is None else parse_tick(text)
    except ValueError as failure:
        raise UsageError(f"--tick: {failure}") from None


def _check_paths(paths: Sequence[str]) -> None:
    seen: dict[str, str] = {}
    for path in paths:
        if not os.path.exists(path) and not os.path.isdir(os.path.dirname(os.path.abspath(path))):
            raise UsageError(f"{path}: neither the file nor its folder exists")
        real = os.path.realpath(path)
        if real in seen:
            raise UsageError(f"{path}: given twice (also as {seen[real]})")
        seen[real] = path


def _pulses(args: argparse.Namespace) -> tuple[Any, Any]:
    """The pulse finder's options and how its pulses are counted, or (None, None) without --pulses."""
    from ..monitor.views import PulseSettings
    from ..pulses import PulseOptions
    from ..units import parse_period

    about = given([("--sample-period", args.sample_period), ("--exclude", args.exclude),
                   ("--hysteresis", args.hysteresis), ("--hysteresis-rms", args.hysteresis_rms),
                   ("--separation", args.separation)])
    if not args.pulses:
        if about:
            raise UsageError(f"{about[0]} is about the pulses found: give --pulses too")
        return None, None
    if args.polarity == "each":
        raise UsageError("--pulses looks for pulses of one polarity per channel: give --polarity auto, positive"
                         " or negative, not each")
    if args.exclude is not None and args.exclude[1] <= args.exclude[0]:
        raise UsageError(f"--exclude {args.exclude[0]} {args.exclude[1]}: the window [X0, X1) is empty")
    try:
        period = None if args.sample_period is None else parse_period(args.sample_period)
        options = PulseOptions(baseline=tuple(args.baseline), threshold=args.threshold,
                               threshold_rms=args.threshold_rms, hysteresis=args.hysteresis,
                               hysteresis_rms=args.hysteresis_rms,
                               separation=args.separation or 0)
    except ValueError as failure:
        raise UsageError(str(failure)) from None
    return options, PulseSettings(period, tuple(args.exclude) if args.exclude else None)


def _fits(args: argparse.Namespace, shown: list[str]) -> Any:
    """The live fit's settings, or None without --fit."""
    from ..monitor.tallies import FitSettings

    if args.fit is None:
        about = given([("--fit-model", args.fit_model), ("--fit-every", args.fit_every)])
        if about:
            raise UsageError(f"{about[0]} is about the live fit: give --fit spe too")
        return None
    if "charge" not in shown:
        raise UsageError("--fit spe fits the charge histograms, which --hist leaves out")
    for module in FIT_LIBRARIES:
        require(module, "vorn monitor --fit")
    given_settings = {"model": args.fit_model, "every": args.fit_every}
    return FitSettings(**{name: value for name, value in given_settings.items() if value is not None})


def _coincidence(text: str) -> tuple[int, int]:
    parts = text.split(",")
    try:
        a, b = (int(part) for part in parts)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r}: give two channel numbers, A,B") from None
    if a < 0 or b < 0 or a == b:
        raise argparse.ArgumentTypeError(f"{text!r}: two different channels, numbered from 0")
    return a, b
