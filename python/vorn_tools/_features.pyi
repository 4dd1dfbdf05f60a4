import numpy as np

def compute(
    samples: np.ndarray,
    offsets: np.ndarray | None,
    outputs: dict[str, np.ndarray],
    baseline_begin: int,
    baseline_end: int,
    polarity: int,
    charge_around_peak: bool,
    charge_begin: int,
    charge_end: int,
    threshold: float,
    threshold_in_rms: bool,
    cfd_fraction: float,
    adc_max: float | None,
    /,
) -> None: ...

def find_pulses(
    samples: np.ndarray,
    offsets: np.ndarray | None,
    baseline_begin: int,
    baseline_end: int,
    polarity: int,
    threshold: float,
    threshold_in_rms: bool,
    hysteresis: float,
    hysteresis_in_rms: bool,
    separation: int,
    charge_before: int,
    charge_after: int,
    slope: float | None,
    slope_span: int,
    /,
) -> dict[str, bytearray]: ...
