"""`vorn fit`: a photoelectron spectrum or a peak, fitted by binned maximum likelihood."""

from __future__ import annotations

import argparse
import sys
from typing import Any

from ..blocks import FILE_ERRORS
from .common import (FAILED, FIT_LIBRARIES, UsageError, check_targets, dump_json, error, install_hint, left_out,
                     naming, picture_format, plural, report_run, require, spare_inputs, unreadable_raw)
from .options import (Checked, add_command, channel_number, feature_options, float32_option, force_option,
                      positive_int, pulse_settings, type_option)

__all__ = ["add_parser", "run"]

EXAMPLES = """
  vorn fit spe run042.parquet --channel 0 -o spe.png        # gain, mu, crosstalk of a SiPM
  vorn fit spe run042.wd1 --charge-peak 10 40 --model pmt --json
  vorn fit gauss run.parquet --of "cfd_time@1 - cfd_time@0" --where 'amplitude@0 > 20 and amplitude@1 > 20'
"""


def add_parser(commands: Any) -> None:
    fit = add_command(commands, "fit", "fit a photoelectron spectrum or a peak",
                      "Fit the photoelectron spectrum of a charge column (spe: pedestal and n-p.e. peaks, a SiPM"
                      " with crosstalk or a PMT) or a Gaussian (gauss: a time difference, for the timing resolution)"
                      " by maximum likelihood (binned; unbinned below 1,000 values). INPUT is a feature table"
                      " (.parquet, .h5, .root) or event files, measured first as vorn features would. Exit 1 when the"
                      " fit is not"
                      " valid, with a line for each reason: Minuit's minimum, a parameter at a limit, too few"
                      " entries, a poor chi2/ndf, photoelectron peaks not resolved. Needs"
                      f" {install_hint('fit')}.", EXAMPLES)
    fit.add_argument("kind", choices=["spe", "gauss"], help="what to fit")
    fit.add_argument("files", nargs="+", metavar="INPUT")
    fit.add_argument("--of", metavar="EXPR", help="column or expression (default charge for spe); name@C is"
                                                  " channel C's column of the same event")
    fit.add_argument("--where", metavar="EXPR", help="select rows (or events, with name@C), e.g. 'amplitude > 20'")
    fit.add_argument("--channel", type=channel_number, metavar="C", help="only channel C")
    fit.add_argument("--model", choices=["sipm", "pmt"], default="sipm", help="spe: the detector (default sipm)")
    fit.add_argument("--bins", type=positive_int, help="number of bins (default from the data: Freedman-Diaconis,"
                                                       " for spe at least 4 times the square root of the count;"
                                                       " 10 to 1000)")
    fit.add_argument("--range", nargs=2, type=float, metavar=("LO", "HI"),
                     help="the range fitted (default the central 99.9%% of the values, widened by 2%%)")
    fit.add_argument("-o", "--output", metavar="IMAGE", help="draw the data, the fit and its components (.png,"
                                                              " .pdf, .svg, ...)")
    fit.add_argument("--json", action="store_true", help="print the result as JSON")
    force_option(fit)
    type_option(fit)
    float32_option(fit)
    feature_options(fit)
    fit.set_defaults(run=run)


def run(args: argparse.Namespace, checked: Checked) -> int:
    for module in FIT_LIBRARIES:
        require(module, "vorn fit")
    from .. import budget
    from ..analysis import expressions
    from ..analysis.fits import BYTES_PER_BIN, FitError, fit_gauss, fit_spe
    from ..feature_table import TableOutcome

    of_text = args.of or ("charge" if args.kind == "spe" else None)
    if of_text is None:
        raise UsageError("vorn fit gauss needs --of, the column or expression to fit")
    picture = None
    if args.output is not None:
        picture = picture_format(args.output)
        spare_inputs([args.output], args.files)
        check_targets([args.output], args.force)
    if args.bins is not None:
        budget.check(f"--bins {args.bins}", args.bins + 1, BYTES_PER_BIN)
    try:
        of = expressions.parse(of_text)
        where = expressions.parse(args.where) if args.where else None
    except expressions.ExpressionError as failure:
        raise UsageError(f"{failure}") from None
    if unreadable_raw(args.files, args.type, args.as_run):
        return FAILED
    read = TableOutcome(", ".join(args.files))
    units: dict[str, str] = {}
    lost = expressions.LeftOut()
    loaded = _values(args, checked, of, where, read, units, lost)
    if isinstance(loaded, int):
        return loaded
    # Raw inputs say how their reading ended, as vorn features does; a run what its matching lost.
    status = report_run(read.run_report, args.files, args.allow_gaps)
    for note in read.notes:
        error(f"{read.path}: {note}")
    account = f"{read.path}: {plural(read.events, 'event')}, {read.ending}" if read.read_ending or read.run_report \
        else None
    left_out([lost], of_text, args.where)
    value_range = tuple(args.range) if args.range is not None else None
    try:
        if args.kind == "spe":
            result, plot = fit_spe(loaded, args.model, args.bins, value_range)
        else:
            result, plot = fit_gauss(loaded, args.bins, value_range)
    except FitError as failure:
        error(f"cannot fit {of_text}: {failure}")
        return FAILED
    from ..spectra import expression_unit

    # The gain, the peaks' positions and widths are in the unit of what is fitted.
    unit = expression_unit(of, lambda name: units.get(name, ""))
    if args.output is not None:
        require("matplotlib", "vorn fit -o")
        from ..analysis.fit_plot import draw_fit

        selection = "".join(f", {part}" for part in (
            f"channel {args.channel}" if args.channel is not None else "", f"where {args.where}" if args.where else "")
            if part)
        title = f"{args.kind} fit of {of_text}{selection} ({', '.join(args.files)})"
        draw_fit(result, plot, args.output, title, of_text, unit, picture)
    rows_are = "event" if of.per_event or (where is not None and where.per_event) else "row"
    _print(args, of_text, unit, result, read if account is not None else None, account, lost, rows_are)
    if not result.valid:
        what = "no gain" if args.kind == "spe" else f"no fit of {of_text}"
        for reason in result.reasons:
            error(f"{what}: {reason}")
        return FAILED
    return status


def _values(args: argparse.Namespace, checked: Checked, of: Any, where: Any, read: Any, units: dict[str, str],
            lost: Any) -> Any:
    """The values to fit, read from the tables or measured on the events; the exit status when that failed."""
    from ..analysis import expressions
    from ..analysis.tables import load

    needed = set(of.columns) | {n for n, _ in of.channel_columns}
    if where is not None:
        needed |= set(where.columns) | {n for n, _ in where.channel_columns}
    try:
        table = load(args.files, sorted(needed), pulse_settings(args), args.as_run, args.type, args.float32,
                     args.tick, read, checked.calibration, units)
        if args.channel is not None:
            if of.per_event:
                raise UsageError("--channel selects rows; with name@C the channels are in the expression")
            rows = table["channel"] == args.channel
            table = {k: v[rows] for k, v in table.items()}
        values, _ = expressions.select(table, of, where, lost)
    except expressions.ExpressionError as failure:
        raise UsageError(str(failure)) from None
    except KeyError as failure:
        raise UsageError(f"no column {failure.args[0]!r} in the input") from None
    except (*FILE_ERRORS, ValueError) as failure:
        error(naming(failure, args.files))
        return FAILED
    return values


def _print(args: argparse.Namespace, of_text: str, unit: str, result: Any, read: Any, account: str | None,
           lost: Any, rows_are: str) -> None:
    """The result, as text or as JSON."""
    # The fit takes finite values within its range; the result counts the rest (below, above, no_value).
    no_value = result.no_value
    if args.json:
        document = {"fit": args.kind, "of": of_text, "unit": unit, "where": args.where, "channel": args.channel,
                    **result.as_dict(), "left_out": lost.events}
        if read is not None:
            document["read"] = {"events": read.events, "rows": read.rows, "ended": read.read_ending,
                                "bytes_read": read.bytes_read}
        dump_json(document)
        return
    if account is not None:
        print(account)
    outside = result.outside()
    unbinned = " unbinned" if result.method == "unbinned" else ""
    print(f"{args.kind} fit of {of_text}{f' [{unit}]' if unit else ''}: {result.entries:,}"
          f" {'entry' if result.entries == 1 else 'entries'}{unbinned}" + (f" ({outside})" if outside else "") + ", "
          + ", ".join(f"{k} {v:.6g}" for k, v in result.extra.items())
          + f", chi2/ndf {result.chi2_ndf:.3g}" + ("" if result.valid else ", NOT valid")
          + (f"; {plural(no_value, rows_are)} without a value of {of_text} (counted, not fitted)"
             if no_value else ""))
    if args.output is not None:
        print(f"wrote {args.output}")
