"""Quantities read from text or taken as numbers, and the physical units of feature and pulse tables.

One parser per kind of quantity, used by every option and by the library:
`parse_time` (times and periods, which may also be given as a rate: "2 GS/s"
is a period of 0.5 ns), `parse_rate`, `parse_voltage`, `parse_resistance`
(`parse_impedance`) and `parse_size` (bytes: "256 KiB", "8 MiB" is 8 x 2**20,
"100 MB" is 100 x 10**6). Each refuses what it cannot take with `UnitError`
and one wording for its kind, which names the text, the quantity and the
units it takes, with an example.

Bare numbers follow one rule:

- In text, a quantity needs its unit, and a bare number is refused: "8"
  could as well mean 8 s as 8 ns, or 8 mV as 8 V. A size in text stands
  where a bare number counts events (`iterate`'s ``step_size=64`` is 64
  events), so "64" is refused too rather than taken for bytes. A
  resistance is the one exception: a bare one is ohms, the unit input
  impedances are given in ("50" is 50 ohm on every board), so no other
  reading is likely.
- An option whose name says its unit takes a bare number in that unit: the
  command's durations given in seconds (``--idle 30``, ``--fit-every 10``,
  ``--width 0.5``) are seconds, and also take a time with its unit
  (``--idle 500ms``), read by `parse_time`.
- A Python number given to the library (``iterate(tick=8e-9)``) is in SI
  base units: seconds, hertz, volts, ohms, bytes.

Every quantity is finite and above 0; a size is a whole number of bytes,
at least one.

In tables, the kernels measure in raw units: samples (as indices or
interpolated times), the samples' own values (ADC counts of integer
samples; "sample values" of float ones, in volts or whatever unit the board
writes) and sums of those over samples. A `Calibration` turns such columns
into physical ones when a table is written, so that the kernels never
change:

``baseline``, ``baseline_rms``, ``amplitude``, ``energy``
    ADC counts (or sample values); with volts per count, mV.
``charge``
    ADC counts x samples; with volts per count, the sample period and the
    impedance, pC (see below).
``threshold_time``, ``cfd_time``, ``rise_time``, ``fall_time``, ``fwhm``,
``time_over_threshold``, ``energy_time``, ``start_time``, ``delay``
    samples; with the sample period, ns.
``peak_index``
    samples, always (an index).
``pulse``, ``polarity``, ``saturated``, ``tail_ratio``
    no unit.

A charge is the sum of y over samples: times volts per count and the sample
period it is an integral of the voltage (V x s), and over the input
impedance the charge that flowed (C). Without the impedance it stays that
integral, in "mV x ns"; without one of the other two it keeps the raw unit
of that factor ("mV x samples", "ADC counts x ns").

`volts_per_count` is volts per unit of the samples: of an ADC count for
integer samples, or of the board's unit for float samples (1 V for samples
that already hold volts).

WD2 files carry the sample period in each event's `sampling_period`, an
integer number of the board's time units. The tick (the length of that unit,
the one its timestamps count, given as "1 ps" and the like) makes it a time:
the sample period is `sampling_period x tick`. Without a tick the file's
value is not used. A period given besides must agree with the file's
(`resolve` raises otherwise): a table whose times contradict the file they
were measured from is worse than a refusal, and the remedy (give the file's,
or leave the period out) is one option away.
"""

from __future__ import annotations

import math
import re
from collections.abc import Mapping
from dataclasses import dataclass, replace
from typing import Any

import numpy as np
from numpy.typing import NDArray

__all__ = ["Calibration", "CalibrationError", "MEASURED", "UnitError", "parse_impedance", "parse_period", "parse_rate",
           "parse_resistance", "parse_size", "parse_time", "parse_voltage"]

# The columns measured on samples, by what they are: values of the samples,
# sums of them over samples, times in samples, or indices (never scaled).
VOLTAGES = ("baseline", "baseline_rms", "amplitude", "energy")
CHARGES = ("charge",)
TIMES = ("threshold_time", "cfd_time", "rise_time", "fall_time", "fwhm", "time_over_threshold", "energy_time",
         "start_time", "delay")
INDICES = ("peak_index",)
PLAIN = ("polarity", "saturated", "tail_ratio", "pulse")  # numbers without a unit
MEASURED = (*VOLTAGES, *CHARGES, *TIMES, *INDICES, *PLAIN)

_NUMBER = r"([-+]?(?:\d+\.?\d*|\.\d+)(?:[eE][-+]?\d+)?)"
_QUANTITY = re.compile(rf"\s*{_NUMBER}\s*(.*?)\s*")
_TIME = {"s": 1.0, "ms": 1e-3, "us": 1e-6, "µs": 1e-6, "μs": 1e-6, "ns": 1e-9, "ps": 1e-12}
_RATE = {f"{prefix}{unit}": scale for prefix, scale in (("", 1.0), ("k", 1e3), ("M", 1e6), ("G", 1e9))
         for unit in ("Hz", "S/s", "Sa/s", "sps")}
_VOLTS = {"V": 1.0, "mV": 1e-3, "uV": 1e-6, "µV": 1e-6, "μV": 1e-6}
_OHMS = {"": 1.0, "ohm": 1.0, "Ω": 1.0, "kohm": 1e3, "kΩ": 1e3, "Mohm": 1e6, "MΩ": 1e6}
_BYTES = {"B": 1, "kB": 10**3, "KB": 10**3, "MB": 10**6, "GB": 10**9, "TB": 10**12,
          "KiB": 2**10, "kiB": 2**10, "MiB": 2**20, "GiB": 2**30, "TiB": 2**40}

# What each kind asks for when it refuses, the one wording of that kind: (what to give, an example).
_RATES = "Hz, kHz, MHz, GHz, S/s, kS/s, MS/s, GS/s"
_ASKED = {
    "time": (f"a finite time above 0 with its unit (s, ms, us, ns, ps) or a rate ({_RATES})", "'8 ns' or '125 MHz'"),
    "rate": (f"a finite rate above 0 with its unit ({_RATES})", "'500 MHz'"),
    "voltage": ("a finite voltage above 0 with its unit (V, mV, uV)", "'0.122 mV'"),
    "resistance": ("a finite resistance above 0 in ohms, or with its unit (ohm, kohm, Mohm, Ω, kΩ, MΩ)",
                   "'50' or '50 ohm'"),
    "size": ("a size of a byte or more with its unit (B, kB, MB, GB, TB, KiB, MiB, GiB, TiB)", "'64 MB' or '1 GiB'"),
}


class UnitError(ValueError):
    """A text or number that is not a quantity of the kind asked for: `quantity` names it, `kind` its kind."""

    def __init__(self, text: object, quantity: str, kind: str) -> None:
        asked, example = _ASKED[kind]
        super().__init__(f"cannot read the {quantity} {text!r}: give {asked}, as in {example}")
        self.text = text
        self.quantity = quantity
        self.kind = kind


class CalibrationError(ValueError):
    """A quantity that cannot be read or used; `field` is the Calibration's (or adc_range, adc_bits)."""

    def __init__(self, field: str, message: str) -> None:
        super().__init__(message)
        self.field = field


def _read(text: str | float, quantity: str, kind: str) -> tuple[float, str | None]:
    """The number of `text` and its unit as written; a Python number has no unit (None): it is in the base unit."""
    if isinstance(text, bool) or not isinstance(text, (str, int, float, np.integer, np.floating)):
        raise UnitError(text, quantity, kind)
    if not isinstance(text, str):
        return float(text), None
    found = _QUANTITY.fullmatch(text)
    if found is None:
        raise UnitError(text, quantity, kind)
    return float(found.group(1)), found.group(2)


def _checked(value: float, text: str | float, quantity: str, kind: str) -> float:
    if not (math.isfinite(value) and value > 0):
        raise UnitError(text, quantity, kind)
    return value


def parse_time(text: str | float, quantity: str = "time") -> float:
    """Seconds from a time ("8 ns", "0.5 us", "200ps") or, as its period, a rate ("2 GS/s", "500 MHz").

    Parameters
    ----------
    text : str or float
        A time or a rate, with its unit; a Python number is seconds.
    quantity : str
        What the time is ("tick", "sample period"), named by the error.

    Returns
    -------
    float
        Seconds, finite and above 0.

    Raises
    ------
    UnitError
        For a bare number in text, a unit of neither time nor rate, or a time that is not finite and above 0.
    """
    value, unit = _read(text, quantity, "time")
    if unit in _RATE:
        return 1.0 / _checked(value * _RATE[unit], text, quantity, "time")
    if unit is not None and unit not in _TIME:
        raise UnitError(text, quantity, "time")
    return _checked(value * _TIME.get(unit or "s", 1.0), text, quantity, "time")


def parse_rate(text: str | float, quantity: str = "rate") -> float:
    """Hertz from a rate ("500 MHz", "2 GS/s", "10 kHz"); a Python number is hertz. UnitError as `parse_time`."""
    value, unit = _read(text, quantity, "rate")
    if unit is not None and unit not in _RATE:
        raise UnitError(text, quantity, "rate")
    return _checked(value * _RATE.get(unit or "Hz", 1.0), text, quantity, "rate")


def parse_voltage(text: str | float, quantity: str = "voltage") -> float:
    """Volts from "0.122mV", "2V", "500 uV" (a trailing "/count" is allowed); a Python number is volts.
    UnitError as `parse_time`."""
    value, unit = _read(text, quantity, "voltage")
    unit = None if unit is None else re.sub(r"\s*/\s*(counts?|ADC)$", "", unit)
    if unit is not None and unit not in _VOLTS:
        raise UnitError(text, quantity, "voltage")
    return _checked(value * _VOLTS.get(unit or "V", 1.0), text, quantity, "voltage")


def parse_resistance(text: str | float, quantity: str = "resistance") -> float:
    """Ohms from "50", "50ohm", "50 Ω", "1 kohm", "1 MΩ": a bare number is ohms, in text too. UnitError as
    `parse_time`."""
    value, unit = _read(text, quantity, "resistance")
    # The prefix keeps its case (m is milli, M mega); the ohm may be written in any.
    scale = 1.0 if unit is None else _OHMS.get(re.sub(r"(?i)ohms?$", "ohm", unit))
    if scale is None:
        raise UnitError(text, quantity, "resistance")
    return _checked(value * scale, text, quantity, "resistance")


def parse_size(text: str | int, quantity: str = "size") -> int:
    """Bytes from "64 MB", "256 KiB", "1 GiB" (kB to TB count powers of 1000, KiB to TiB powers of 1024),
    rounded down to whole bytes; a Python int is bytes. UnitError as `parse_time`, and for less than a byte."""
    if isinstance(text, (float, np.floating)):
        raise UnitError(text, quantity, "size")
    value, unit = _read(text, quantity, "size")
    if unit is not None and unit not in _BYTES:
        raise UnitError(text, quantity, "size")
    size = value * _BYTES.get(unit or "B", 1)
    if not (math.isfinite(size) and size >= 1):
        raise UnitError(text, quantity, "size")
    return int(size)


def parse_impedance(text: str) -> float:
    """Ohms of an input impedance, as `parse_resistance`; CalibrationError of the field "impedance"."""
    return _field("impedance", parse_resistance, text, "impedance")


def parse_period(text: str) -> float:
    """Seconds per sample, as `parse_time`; CalibrationError of the field "sample_period"."""
    return _field("sample_period", parse_time, text, "sample period")


def _field(field: str, parse: Any, text: str, quantity: str) -> float:
    try:
        value: float = parse(text, quantity)
    except UnitError as error:
        raise CalibrationError(field, str(error)) from None
    return value


def _number(value: float, unit: str) -> str:
    return f"{value:.6g} {unit}"


@dataclass(frozen=True)
class Calibration:
    """What turns raw columns into physical ones; each part is optional (None: that unit stays raw).

    `sample_period` in seconds per sample, `volts_per_count` in volts per unit
    of the samples, `impedance` in ohms. `period_source` says where the period
    came from: "given", or "file" (a WD2 file's `sampling_period` times the
    tick, filled in by `resolve`).
    """

    sample_period: float | None = None
    volts_per_count: float | None = None
    impedance: float | None = None
    period_source: str = ""

    def __post_init__(self) -> None:
        for field, value in (("sample_period", self.sample_period), ("volts_per_count", self.volts_per_count),
                             ("impedance", self.impedance)):
            if value is not None and not (math.isfinite(value) and value > 0):
                raise CalibrationError(field, f"{field} must be above 0 and finite, not {value!r}")
        if self.impedance is not None and self.volts_per_count is None:
            raise CalibrationError("impedance", "a charge in pC needs the volts per ADC count besides the impedance")
        if self.sample_period is not None and not self.period_source:
            object.__setattr__(self, "period_source", "given")

    @classmethod
    def parse(cls, sample_period: str | None = None, volts_per_count: str | None = None,
              adc_range: str | None = None, adc_bits: int | None = None,
              impedance: str | None = None) -> Calibration:
        """A calibration from text as the command takes it; the volts per count either given, or the
        full-scale range over 2**bits. CalibrationError names the part that is wrong."""
        if (adc_range is None) != (adc_bits is None):
            field, other = ("adc_range", "the bit count") if adc_bits is None else ("adc_bits", "the range")
            raise CalibrationError(field, f"the volts per count are the range over 2**bits: give {other} too")
        if adc_range is not None and volts_per_count is not None:
            raise CalibrationError("adc_range", "give the volts per count or the range and bits, not both")
        volts = None if volts_per_count is None else _field("volts_per_count", parse_voltage, volts_per_count,
                                                              "volts per count")
        if adc_range is not None and adc_bits is not None:
            if not 1 <= adc_bits <= 32:
                raise CalibrationError("adc_bits", f"an ADC has 1 to 32 bits, not {adc_bits}")
            volts = _field("adc_range", parse_voltage, adc_range, "ADC range") / 2 ** adc_bits
        return cls(None if sample_period is None else parse_period(sample_period), volts,
                   None if impedance is None else parse_impedance(impedance))

    @property
    def raw(self) -> bool:
        return self.sample_period is None and self.volts_per_count is None

    def resolve(self, block: Mapping[str, NDArray[Any]], tick: float | None) -> Calibration:
        """This calibration for the events of `block`, with the sample period a WD2 file carries.

        With a tick (seconds) and a positive `sampling_period`, the period is
        `sampling_period * tick`: taken when none is given, checked against
        the one given otherwise (ValueError when they differ by more than a
        part in a million, or when `sampling_period` changes within the
        block). A charge in pC needs a period in the end: ValueError without
        one.
        """
        carried = block.get("sampling_period")
        found = self
        if carried is not None and tick is not None and np.size(carried):
            values = np.unique(np.asarray(carried))
            if len(values) > 1:
                raise ValueError(f"sampling_period changes between events ({values[0]}, {values[1]}): give the"
                                 " sample period")
            if int(values[0]) > 0:
                period = int(values[0]) * tick
                if self.sample_period is None:
                    found = replace(self, sample_period=period, period_source="file")
                elif not math.isclose(self.sample_period, period, rel_tol=1e-6):
                    raise ValueError(f"the sample period given, {_number(self.sample_period * 1e9, 'ns')}, is not"
                                     f" the file's: its sampling_period {int(values[0])} times the tick"
                                     f" {_number(tick * 1e9, 'ns')} is {_number(period * 1e9, 'ns')}")
        if found.impedance is not None and found.sample_period is None:
            raise ValueError("a charge in pC needs the sample period, which these events do not carry: give it")
        return found

    def factors(self) -> dict[str, float]:
        """The factor of each measured column that changes, from its raw unit to its calibrated one."""
        volts, period = self.volts_per_count, self.sample_period
        found: dict[str, float] = {}
        if volts is not None:
            found.update(dict.fromkeys(VOLTAGES, volts * 1e3))
        if period is not None:
            found.update(dict.fromkeys(TIMES, period * 1e9))
        if volts is not None and period is not None and self.impedance is not None:
            found["charge"] = volts * period / self.impedance * 1e12
        elif volts is not None or period is not None:
            found["charge"] = (1.0 if volts is None else volts * 1e3) * (1.0 if period is None else period * 1e9)
        return found

    def units(self, samples: str = "ADC counts") -> dict[str, str]:
        """The unit of each measured column, for samples in `samples` ("ADC counts", "sample values")."""
        value = samples if self.volts_per_count is None else "mV"
        time = "samples" if self.sample_period is None else "ns"
        charge = "pC" if self.impedance is not None and self.sample_period is not None else f"{value} x {time}"
        return {**dict.fromkeys(VOLTAGES, value), **dict.fromkeys(CHARGES, charge), **dict.fromkeys(TIMES, time),
                **dict.fromkeys(INDICES, "samples"), **dict.fromkeys(PLAIN, "")}

    def apply(self, rows: Mapping[str, NDArray[Any]]) -> dict[str, NDArray[Any]]:
        """The rows with every measured column in its calibrated unit (new arrays; the others as they are)."""
        factors = self.factors()
        return {name: values * factors[name] if name in factors else values for name, values in rows.items()}

    def same_units(self, other: Calibration) -> bool:
        """Whether tables calibrated by the two have the same unit in every column."""
        return self.units() == other.units()

    def as_metadata(self) -> dict[str, Any]:
        """What a table records of it: each part in SI units (None: not known), and where the period came from."""
        return {"sample_period_s": self.sample_period, "sample_period_from": self.period_source or None,
                "volts_per_count": self.volts_per_count, "impedance_ohm": self.impedance}
