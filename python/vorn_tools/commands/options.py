"""The options several verbs share, declared once, and the check of a command line before any work.

A verb module adds its own options to its subparser and takes the groups
here (inputs and runs, pulse options, units, outputs and --force, --jobs and
--scheduler, progress) by calling the function of each. `check` then turns
the parsed line into the values every verb relies on, once: the
calibration, and the refusals that must come before any output is written.
"""

from __future__ import annotations

import argparse
import re
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any

from ..blocks import Selection
from ..formats import Layout
from .._output_files import cannot_create
from .common import USAGE, UsageError, layouts, refuse_repeats, run_inputs

__all__ = ["Checked", "Pair", "Parser", "SCHEDULER", "SCHEMES", "UNIT_FLAGS", "WINDOW_FLAGS", "add_command",
           "allow_gaps_option", "baseline_option", "channel_number", "check", "events_option", "exclude_option",
           "feature_options", "feature_value", "float32_option", "force_option", "full_scale_given", "given",
           "parallel_options", "positive_int", "pulse_options", "pulse_settings", "quiet_option", "rearm_options",
           "run_option", "salvage_option", "sample_period", "scheduler_address", "seconds", "selection",
           "separation_option", "threshold_options", "tick", "tick_option", "type_option", "units_options", "whole"]


# --- values ---------------------------------------------------------------------

def whole(least: int, what: str) -> Callable[[str], int]:
    """A whole number of at least `least`; `what` says why smaller ones are refused."""
    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"{text!r} is not a whole number") from None
        if value < least:
            raise argparse.ArgumentTypeError(f"{what}, not {value}")
        return value
    return parse


positive_int = whole(1, "must be at least 1")
channel_number = whole(0, "channels are numbered from 0")


def seconds(positive: bool) -> Callable[[str], float]:
    """A duration of an option named in seconds: a bare number is seconds, a time with its unit ("500 ms") is read
    as every time is (`units.parse_time`)."""
    def parse(text: str) -> float:
        from ..units import parse_time

        try:
            value = float(text)
        except ValueError:
            try:
                value = parse_time(text, "duration")
            except ValueError as failure:
                raise argparse.ArgumentTypeError(f"{failure}; a bare number is seconds") from None
        if not (value > 0 if positive else value >= 0) or value == float("inf"):
            raise argparse.ArgumentTypeError(f"must be {'above' if positive else 'at least'} 0 and finite, "
                                             f"not {text}")
        return value
    return parse


def selection(text: str) -> Selection:
    try:
        return Selection.parse(text)
    except ValueError as failure:
        raise argparse.ArgumentTypeError(str(failure)) from None


def feature_value(field: str) -> Callable[[str], float]:
    """A number for the FeatureOptions field `field`, refused on the command line as the library refuses it."""
    def parse(text: str) -> float:
        from ..features import option_problem

        try:
            value = float(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"{text!r} is not a number") from None
        problem = option_problem(field, value)
        if problem is not None:  # after "argument --FIELD:", without the field's name again
            raise argparse.ArgumentTypeError(problem.removeprefix(f"{field} "))
        return value
    return parse


def _readable(parse: Callable[[str], float]) -> Callable[[str], str]:
    """The text as given, once `parse` reads it: the library parses it again where it is used."""
    def check(text: str) -> str:
        try:
            parse(text)
        except ValueError as failure:
            raise argparse.ArgumentTypeError(str(failure)) from None
        return text
    return check


def tick(text: str) -> str:
    """The tick as given, once it is known to read as a positive time."""
    from ..timing import parse_tick

    return _readable(parse_tick)(text)


def sample_period(text: str) -> str:
    """The sample period as given, once it is known to read as a time or a sampling rate."""
    from ..units import parse_period

    return _readable(parse_period)(text)


SCHEDULER = re.compile(r"^(?:(?P<scheme>[a-z][a-z0-9+.-]*)://)?"
                       r"(?P<host>\[[0-9a-fA-F:.]+\]|[^\s:/\[\]]+):(?P<port>\d{1,5})$")
SCHEMES = {"tcp", "tls", "ws", "wss", "ucx"}


def scheduler_address(text: str) -> str:
    """A scheduler's address as Dask takes it: [tcp://]HOST:PORT."""
    found = SCHEDULER.match(text.strip())
    if found is None or (found["scheme"] or "tcp") not in SCHEMES or not 0 < int(found["port"]) < 65536:
        raise argparse.ArgumentTypeError(f"{text!r} is not a scheduler address such as tcp://host:8786")
    return text.strip()


# The default window, told from `--baseline 0 64` given by its identity (Pair
# makes a new tuple): the default takes all of a shorter event, a window given
# must fit.
BASELINE_UNGIVEN = (0, 64)


class Pair(argparse.Action):
    """Two values that only make sense together: a window of samples (a FeatureOptions field) or a range."""

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace, values: Any,
                 option_string: str | None = None) -> None:
        pair = tuple(values)
        if self.dest in ("range", "y_range"):
            from ..spectra import in_range

            low, high = pair
            problem = None if in_range(low, high) else \
                f"needs LO < HI, both finite and within ±1e300, not {low:g} {high:g}"
        else:
            from ..features import option_problem

            problem = option_problem(self.dest, pair)
        if problem is not None:
            raise argparse.ArgumentError(self, problem.removeprefix(f"{self.dest} "))
        setattr(namespace, self.dest, pair)


class Parser(argparse.ArgumentParser):
    """Usage errors in one line, as every other message of the command, with exit status 2."""

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        super().__init__(*args, **kwargs)
        # Negative numbers, infinities and NaN are values, not options:
        # --range -inf 0 and --threshold -3 reach the checks that say what is wrong.
        self._negative_number_matcher = re.compile(r"^-(\d+\.?\d*|\.\d+)(e[-+]?\d+)?$|^-(inf|infinity|nan)$",
                                                   re.IGNORECASE)

    def error(self, message: str) -> Any:
        self.exit(USAGE, f"vorn: {message} (see '{self.prog} --help')\n")


# --- groups of options ------------------------------------------------------------

def add_command(commands: Any, name: str, summary: str, description: str, examples: str) -> argparse.ArgumentParser:
    """A verb's subparser, its examples shown below its options."""
    parser: argparse.ArgumentParser = commands.add_parser(
        name, help=summary, description=description, epilog=f"examples:\n{examples.strip(chr(10))}",
        formatter_class=argparse.RawDescriptionHelpFormatter)
    return parser


def type_option(sub: argparse.ArgumentParser) -> None:
    sub.add_argument("--type", choices=["WD1", "WD2", "auto"], default="auto",
                     help="file format (default: auto, which refuses files it cannot tell apart)")


def float32_option(sub: argparse.ArgumentParser) -> None:
    sub.add_argument("--float32", action="store_true",
                     help="WD1 only: read each event's samples as 32-bit floats (data.view(float32))")


def events_option(sub: argparse.ArgumentParser, *names: str, default: str | None = None) -> None:
    sub.add_argument(*names, "--events", type=selection, default=selection(default or ":"), metavar="N|START:STOP",
                     help="only the first N events, or events START to STOP-1 counted from 0 as in a Python"
                          " slice (either side may be left out)" + (f"; default {default}" if default else ""))


def run_option(sub: argparse.ArgumentParser, text: str = "") -> None:
    sub.add_argument("--run", action="store_true", dest="as_run",
                     help=text or "the files (or the [PREFIX]wave[_]<N> files of one folder) are the channels of one"
                                  " run, matched by event_counter")


def allow_gaps_option(sub: argparse.ArgumentParser) -> None:
    sub.add_argument("--allow-gaps", action="store_true",
                     help="with --run: exit 0 even when events not in every file were dropped or timestamps"
                          " differ between the files (it is still reported)")


def tick_option(sub: argparse.ArgumentParser, text: str) -> None:
    sub.add_argument("--tick", type=tick, metavar="LENGTH", help=f"the board's clock tick, for example 8ns: {text}")


def salvage_option(sub: argparse.ArgumentParser, text: str) -> None:
    sub.add_argument("--salvage", action="store_true", help=text)


def force_option(sub: argparse.ArgumentParser) -> None:
    sub.add_argument("--force", action="store_true", help="replace existing output")


def quiet_option(sub: argparse.ArgumentParser) -> None:
    sub.add_argument("-q", "--quiet", action="store_true", help="no progress bar")


def parallel_options(sub: argparse.ArgumentParser, jobs: str = "in N worker processes",
                     scheduler: str = "on this Dask cluster") -> None:
    both = sub.add_mutually_exclusive_group()
    both.add_argument("--jobs", type=positive_int, metavar="N", help=jobs)
    both.add_argument("--scheduler", type=scheduler_address, metavar="ADDRESS", help=scheduler)


def feature_options(sub: argparse.ArgumentParser) -> None:
    """A run, its gaps, the tick, the pulse features and their units: what measuring event files takes."""
    run_option(sub)
    allow_gaps_option(sub)
    tick_option(sub, "adds time in seconds")
    pulse_options(sub)
    units_options(sub)


def baseline_option(group: Any) -> None:
    group.add_argument("--baseline", nargs=2, type=int, action=Pair, default=BASELINE_UNGIVEN,
                       metavar=("B0", "B1"),
                       help="baseline window [B0, B1) (default 0 64, or all of a shorter event; a window given"
                            " must fit the events)")


def threshold_options(group: Any) -> None:
    level = group.add_mutually_exclusive_group()
    level.add_argument("--threshold", type=feature_value("threshold"),
                       help="absolute threshold above the baseline (at least 0)")
    level.add_argument("--threshold-rms", type=feature_value("threshold_rms"), default=5.0, metavar="K",
                       help="threshold at K baseline RMS (default 5)")


def pulse_options(sub: argparse.ArgumentParser) -> None:
    group = sub.add_argument_group("pulse features (windows count samples from the event's start)")
    baseline_option(group)
    group.add_argument("--polarity", choices=["auto", "each", "positive", "negative"], default="auto",
                       help="pulse polarity (default auto: decided per channel from its first events, by the"
                            " larger excursion from the baseline; each: per waveform, for mixed polarity)")
    window = group.add_mutually_exclusive_group()
    window.add_argument("--charge", nargs=2, type=int, action=Pair, metavar=("W0", "W1"),
                        help="charge window [W0, W1) (default the whole event)")
    window.add_argument("--charge-peak", nargs=2, type=int, action=Pair, metavar=("A", "B"),
                        help="charge window [peak - A, peak + B)")
    threshold_options(group)
    group.add_argument("--cfd-fraction", type=feature_value("cfd_fraction"), default=0.5, metavar="F",
                       help="constant-fraction level, in (0, 1] (default 0.5)")
    group.add_argument("--adc-max", type=feature_value("adc_max"), metavar="M",
                       help="the ADC's full scale: samples at or above M (above 0), or at 0, are clipped and flag"
                            " the event saturated (default 2**BITS - 1 of --adc-bits, else a channel's largest value"
                            " when it is a flat top in many events, else the sample type's limits)")
    group.add_argument("--rise", nargs=2, type=float, default=(0.1, 0.9), metavar=("LO", "HI"),
                       help="fractions of the amplitude for rise_time and fall_time (default 0.1 0.9)")
    group.add_argument("--psd-split", type=int, metavar="S",
                       help="tail_ratio: the charge from S samples after the charge window's start, over all")
    group.add_argument("--trap", nargs=2, type=int, metavar=("RISE", "FLAT"),
                       help="energy: a trapezoidal filter of RISE and FLAT samples, read at its maximum")
    group.add_argument("--tau", type=float, metavar="TAU", help="the decay the energy filter corrects (samples)")
    group.add_argument("--pickoff", type=int, metavar="Q",
                       help="read the energy filter Q samples after the threshold crossing")


def rearm_options(group: Any) -> None:
    """--hysteresis and --hysteresis-rms; without either the finder re-arms at the baseline."""
    rearm = group.add_mutually_exclusive_group()
    rearm.add_argument("--hysteresis", type=feature_value("hysteresis"), metavar="H",
                       help="re-arm only below the threshold minus H (absolute)")
    rearm.add_argument("--hysteresis-rms", type=feature_value("hysteresis_rms"), metavar="K",
                       help="re-arm only below the threshold minus K baseline RMS (default the threshold itself:"
                            " re-arm at the baseline)")


def separation_option(group: Any, default: int | None) -> None:
    group.add_argument("--separation", type=whole(0, "must not be negative"), default=default, metavar="N",
                       help="a crossing fewer than N samples after a pulse's start belongs to it (default 0)")


def exclude_option(group: Any, text: str) -> None:
    group.add_argument("--exclude", nargs=2, type=whole(0, "samples are numbered from 0"), metavar=("X0", "X1"),
                       help=f"leave pulses starting in samples [X0, X1) (the trigger){text}")


# The units options, by the Calibration part each gives.
UNIT_FLAGS = {"sample_period": "--sample-period", "volts_per_count": "--volts-per-count", "adc_range": "--adc-range",
              "adc_bits": "--adc-bits", "impedance": "--impedance"}


def units_options(sub: argparse.ArgumentParser) -> None:
    group = sub.add_argument_group("units (without them columns are in samples and ADC counts or the samples'"
                                   " own unit)")
    group.add_argument("--sample-period", metavar="LENGTH",
                       help="the time between samples, as 2ns or 2GS/s: times in ns (WD2 files carry it, in"
                            " units of the tick: with --tick it is taken from them)")
    volts = group.add_mutually_exclusive_group()
    volts.add_argument("--volts-per-count", metavar="VOLTAGE",
                       help="volts per ADC count (of float samples: per sample unit, 1V for volts), as"
                            " 0.122mV: amplitudes and baselines in mV")
    volts.add_argument("--adc-range", metavar="VOLTAGE",
                       help="the ADC's full-scale range, as 2V, with --adc-bits: volts per count RANGE/2**BITS")
    group.add_argument("--adc-bits", type=positive_int, metavar="BITS", help="the ADC's bits, with --adc-range")
    group.add_argument("--impedance", metavar="OHMS",
                       help="the input impedance, as 50 or 50ohm: charges in pC (with the sample period and"
                            " volts per count; without it charges are in mV x ns)")


# --- the check ----------------------------------------------------------------------

@dataclass(frozen=True)
class Checked:
    """What the command line gives once it is checked: the same for every step of a verb.

    `calibration` is the Calibration of the units options (None for a verb
    without them; empty without them, where a WD2 file's period may still
    apply).
    """

    calibration: Any = None


def check(args: argparse.Namespace) -> Checked:
    """Refuse, before any output is written, what the command line and the inputs' formats already condemn.

    The same input given twice (its events would count twice), --float32 on
    a WD2 file, and outputs that cannot be created, named as the user gave
    them: found here rather than after a long reading, or half-way through
    writing the outputs. A verb that writes files says which through its
    parser's `outputs` default: a function of the parsed line giving each
    output with whether it is a folder of outputs.
    """
    given = list(getattr(args, "files", None) or getattr(args, "paths", None) or [args.file])
    refuse_repeats(given)
    calibration = _calibration(args) if hasattr(args, "volts_per_count") else None
    if getattr(args, "float32", False):
        if args.type == "WD2":
            raise UsageError("--float32 is for WD1 files: WD2 samples are 32-bit floats already")
        paths = run_inputs(given) if getattr(args, "as_run", False) else given
        for path, layout in zip(paths, layouts(paths, args.type)):
            if isinstance(layout, Layout) and layout.reader_type == "WD2":
                raise UsageError(f"{path}: --float32 is for WD1 files, and this is a WD2 file, whose samples are"
                                 " 32-bit floats already")
    if hasattr(args, "baseline"):
        _refuse_unfit_windows(args, given)
    for target, folder in args.outputs(args) if hasattr(args, "outputs") else ():
        reason = cannot_create(target, folder)
        if reason is not None:
            raise UsageError(f"cannot create {target}: {reason}")
    return Checked(calibration)


# The windows of the options, by the field of the options that holds each.
WINDOW_FLAGS = {"baseline": "--baseline", "charge": "--charge", "charge_peak": "--charge-peak",
                "psd_split": "--psd-split", "trap": "--trap", "pickoff": "--pickoff", "exclude": "--exclude"}


def _refuse_unfit_windows(args: argparse.Namespace, given: list[str]) -> None:
    """Refuse a window that does not fit the first event of an event file: its events would all be measured with
    the window clipped. Events of other lengths further on that it does not fit are counted as they are read."""
    from ..analysis.tables import is_table
    from ..features import Window, windows

    options: Any = pulse_settings(args) if hasattr(args, "charge_peak") else argparse.Namespace(baseline=args.baseline)
    exclude = tuple(args.exclude) if getattr(args, "exclude", None) else None
    needs = windows(options, exclude)
    if args.baseline is not BASELINE_UNGIVEN and not any(w.option == "baseline" for w in needs):
        low, high = args.baseline
        needs.insert(0, Window("baseline", high, f"the baseline window [{low}, {high})"))
    if not needs:
        return
    paths = given
    if getattr(args, "as_run", False):
        from ..runs import RunError, run_files

        try:
            paths = run_files(given if len(given) > 1 else given[0])
        except (RunError, OSError, ValueError):
            return  # said, in the run's words, where it is opened
    raw = [path for path in paths if not is_table(path)]
    for path, layout in zip(raw, layouts(raw, args.type)):
        samples = _first_samples(path, layout, getattr(args, "float32", False)) if isinstance(layout, Layout) \
            else None
        unfit = [w for w in needs if samples is not None and w.samples > samples]
        if unfit:
            raise UsageError(f"{', '.join(WINDOW_FLAGS[w.option] for w in unfit)}: "
                             + "; ".join(f"{w.name} needs events of {w.samples} samples" for w in unfit)
                             + f", and the first of {path} has {samples}")


def _first_samples(path: str, layout: Layout, float32: bool) -> int | None:
    """The samples of a file's first event (per channel, in a WD2 file), or None when it has no whole header."""
    from ..formats import WD1_HEADER, WD2_HEADER

    try:
        with open(path, "rb") as file:
            head = file.read(layout.header_size)
    except OSError:
        return None  # said where the file is read
    if len(head) < layout.header_size:
        return None
    if layout.reader_type == "WD1":
        size: int = WD1_HEADER.unpack_from(head)[0]
        return max(size - WD1_HEADER.size, 0) // (4 if float32 else 2)
    samples: int = WD2_HEADER.unpack_from(head)[2]
    return samples


def _calibration(args: argparse.Namespace) -> Any:
    """The Calibration the units options give (empty without them: a WD2 file's period may still apply)."""
    from ..analysis.tables import is_table
    from ..units import Calibration, CalibrationError

    given = [flag for field, flag in UNIT_FLAGS.items() if getattr(args, field, None) is not None]
    if given and any(is_table(path) for path in args.files):
        raise UsageError(f"{given[0]}: a table keeps the units it was written in; the units options are for event"
                         " files")
    try:
        found = Calibration.parse(args.sample_period, args.volts_per_count, args.adc_range, args.adc_bits,
                                  args.impedance)
    except CalibrationError as failure:
        raise UsageError(f"{UNIT_FLAGS[failure.field]}: {failure}") from None
    if found.impedance is not None and found.sample_period is None and args.tick is None:
        raise UsageError("--impedance: a charge in pC needs the sample period: give --sample-period (WD2 files"
                         " carry it, in units of the tick: give --tick)")
    return found


def pulse_settings(args: argparse.Namespace) -> Any:
    """The FeatureOptions of the pulse options on the command line."""
    from ..features import FeatureOptions

    try:
        return FeatureOptions(baseline=tuple(args.baseline), polarity=args.polarity,
                              charge=tuple(args.charge) if args.charge else None,
                              charge_peak=tuple(args.charge_peak) if args.charge_peak else None,
                              threshold=args.threshold, threshold_rms=args.threshold_rms,
                              cfd_fraction=args.cfd_fraction, adc_max=full_scale_given(args),
                              rise=tuple(args.rise), psd_split=args.psd_split,
                              trap=tuple(args.trap) if args.trap else None, tau=args.tau,
                              pickoff=args.pickoff)
    except ValueError as failure:
        raise UsageError(str(failure)) from None


def full_scale_given(args: argparse.Namespace) -> float | None:
    """The ADC's full scale: --adc-max, or the largest count of --adc-bits; None when neither is given."""
    if getattr(args, "adc_max", None) is not None:
        return float(args.adc_max)
    bits = getattr(args, "adc_bits", None)
    return None if bits is None or not 1 <= bits <= 32 else float(2 ** bits - 1)


def given(values: Sequence[tuple[str, Any]]) -> list[str]:
    """The flags among (flag, value) pairs that were given."""
    return [flag for flag, value in values if value is not None]
