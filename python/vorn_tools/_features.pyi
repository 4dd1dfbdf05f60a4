import numpy as np

def compute(
    samples: np.ndarray,
    offsets: np.ndarray | None,
    outputs: dict[str, np.ndarray],
    baseline_begin: int,
    baseline_end: int,
    polarity: int | np.ndarray,
    charge_around_peak: bool,
    charge_begin: int,
    charge_end: int,
    threshold: float,
    threshold_in_rms: bool,
    cfd_fraction: float,
    adc_max: float | None,
    /,
) -> None: ...
