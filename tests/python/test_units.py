"""Reading quantities: one parser per kind, bare numbers, rates for periods, and what each refuses."""

import math

import numpy as np
import pytest

from vorn_tools.timing import parse_tick
from vorn_tools.units import (Calibration, CalibrationError, UnitError, parse_rate, parse_resistance, parse_size,
                              parse_time, parse_voltage)

RATES = "Hz, kHz, MHz, GHz, S/s, kS/s, MS/s, GS/s"
KINDS = {  # parser: (its quantity's name as the errors give it, what it asks for, its example)
    parse_time: ("time", f"a finite time above 0 with its unit (s, ms, us, ns, ps) or a rate ({RATES})",
                 "'8 ns' or '125 MHz'"),
    parse_rate: ("rate", f"a finite rate above 0 with its unit ({RATES})", "'500 MHz'"),
    parse_voltage: ("voltage", "a finite voltage above 0 with its unit (V, mV, uV)", "'0.122 mV'"),
    parse_resistance: ("resistance", "a finite resistance above 0 in ohms, or with its unit (ohm, kohm, Mohm, Ω,"
                       " kΩ, MΩ)", "'50' or '50 ohm'"),
    parse_size: ("size", "a size of a byte or more with its unit (B, kB, MB, GB, TB, KiB, MiB, GiB, TiB)",
                 "'64 MB' or '1 GiB'"),
}


@pytest.mark.parametrize("text, seconds", [("8 ns", 8e-9), ("0.5us", 5e-7), ("2 µs", 2e-6), ("3 ms", 3e-3),
                                           ("1.5 s", 1.5), ("200 ps", 2e-10), (2.0, 2.0)])
def test_parse_tick(text, seconds):
    assert parse_tick(text) == pytest.approx(seconds)


@pytest.mark.parametrize("text", ["8 fs", "ns", "-1 ns", "0", "nan", "4e-9"])
def test_parse_tick_refuses(text):
    with pytest.raises(ValueError):
        parse_tick(text)


@pytest.mark.parametrize("parse, text, value", [
    # A period may be given as its rate; a Python number is in the SI base unit.
    (parse_time, "2 GS/s", 0.5e-9), (parse_time, "500MHz", 2e-9), (parse_time, "1 kHz", 1e-3),
    (parse_time, 8e-9, 8e-9), (parse_time, np.float32(0.5), 0.5),
    (parse_rate, "500 MHz", 5e8), (parse_rate, "2 GS/s", 2e9), (parse_rate, "10 kHz", 1e4), (parse_rate, 125e6, 125e6),
    (parse_voltage, "0.122mV", 1.22e-4), (parse_voltage, "2 V", 2.0), (parse_voltage, "500 µV/count", 5e-4),
    (parse_voltage, 0.5, 0.5),
    # A bare resistance is ohms, in text too: the one unit inputs are given in.
    (parse_resistance, "50", 50.0), (parse_resistance, "50 Ohm", 50.0), (parse_resistance, "1 kΩ", 1e3),
    (parse_resistance, "1 MOhm", 1e6), (parse_resistance, 75, 75.0),
    (parse_size, "256 KiB", 2**18), (parse_size, "8 MiB", 8 * 2**20), (parse_size, "100 MB", 10**8),
    (parse_size, "1.5 kB", 1500), (parse_size, "1 GiB", 2**30), (parse_size, 4096, 4096),
])
def test_each_kind_reads_its_units(parse, text, value):
    assert parse(text) == pytest.approx(value, rel=1e-12)


BAD = ["8", "nan", "inf", "-8", "0", "", " ", "8 parsec", "nan ns", "-2 ns", "0 V", "-1 ohm", "0 MB", "inf Hz",
       float("nan"), math.inf, -1.0, 0.0, True, None]


# A bare number in text is refused but for a resistance, which is ohms.
@pytest.mark.parametrize("parse, text", [(p, t) for p in KINDS for t in BAD if (p, t) != (parse_resistance, "8")])
def test_each_kind_refuses_with_its_one_wording(parse, text):
    quantity, asked, example = KINDS[parse]
    with pytest.raises(UnitError) as error:
        parse(text, quantity)
    assert str(error.value) == f"cannot read the {quantity} {text!r}: give {asked}, as in {example}"


@pytest.mark.parametrize("parse, text", [(parse_time, "8 V"), (parse_time, "8 mhz"), (parse_rate, "8 ns"),
                                         (parse_voltage, "8 mA"), (parse_resistance, "8 mohm"), (parse_size, "8 Mb"),
                                         (parse_size, "0.5 B"), (parse_size, 8.0)])
def test_a_unit_of_another_kind_or_case_is_refused(parse, text):
    with pytest.raises(UnitError, match=rf"cannot read the {KINDS[parse][0]} "):
        parse(text)


@pytest.mark.parametrize("parts, field, message", [
    ({"sample_period": "2"}, "sample_period", "cannot read the sample period '2': give a finite time above 0"),
    ({"volts_per_count": "0.1 mA"}, "volts_per_count", "cannot read the volts per count '0.1 mA': give a finite"),
    ({"adc_range": "-2V", "adc_bits": 12}, "adc_range", "cannot read the ADC range '-2V': give a finite voltage"),
    ({"volts_per_count": "1V", "impedance": "50 kV"}, "impedance", "cannot read the impedance '50 kV': give a"),
])
def test_a_calibration_names_the_part_it_cannot_read(parts, field, message):
    with pytest.raises(CalibrationError) as error:
        Calibration.parse(**parts)
    assert error.value.field == field and str(error.value).startswith(message)


@pytest.mark.parametrize("text, seconds", [("30", 30.0), ("0.5", 0.5), ("500 ms", 0.5), ("2s", 2.0), ("0", None),
                                           ("abc", None), ("-1", None), ("inf", None), ("0 ms", None)])
def test_an_option_named_in_seconds_takes_seconds_or_a_time_with_its_unit(text, seconds):
    import argparse

    from vorn_tools.commands.options import seconds as duration

    if seconds is None:
        with pytest.raises(argparse.ArgumentTypeError):
            duration(True)(text)
    else:
        assert duration(True)(text) == pytest.approx(seconds)


@pytest.mark.parametrize("verb, args, quantity", [
    (verb, ["--tick", "8"], "tick") for verb in ("features", "pulses", "hist", "average", "monitor")] + [
    ("features", ["--sample-period", "2"], "sample period"),
    ("monitor", ["--sample-period", "2"], "sample period"),
    ("pulses", ["--volts-per-count", "0.1"], "volts per count"),
    ("hist", ["--adc-range", "2", "--adc-bits", "14"], "ADC range"),
])
def test_a_bare_number_is_refused_alike_by_every_option_of_a_quantity(vorn_cli, tmp_path, verb, args, quantity):
    from cli_support import pulses
    from needs import need

    if verb == "monitor":
        need("bokeh")
        need("boost_histogram")
    pulses(tmp_path / "e.wd1", 20, np.random.default_rng(1))
    outputs = {"features": ["-o", "t.parquet"], "pulses": ["-o", "p.parquet"], "hist": ["--of", "charge"],
               "average": ["-o", "a.csv"], "monitor": ["--port", "0"]}[verb]
    proc = vorn_cli(verb, "e.wd1", *outputs, *args, check=2)
    (line,) = proc.stderr.splitlines()
    assert f"cannot read the {quantity} '{args[1]}': give a finite " in line and "with its unit" in line, line
