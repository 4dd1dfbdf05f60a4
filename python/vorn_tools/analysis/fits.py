"""Fits of charge spectra and peaks: binned maximum-likelihood with iminuit.

Photoelectron spectrum of a SiPM (`fit_spe(..., model="sipm")`): a
pedestal and n-photoelectron peaks, Gaussian, with::

    mu_n = Q0 + n * G,        sigma_n**2 = sigma0**2 + n * sigma1**2,

weighted by the generalized Poisson distribution of mean mu and crosstalk
lam (the chance that an avalanche fires a neighbour, as a branching ratio)::

    P(n) = mu * (mu + n*lam)**(n-1) * exp(-(mu + n*lam)) / n!

so that P(0) = exp(-mu) whatever the crosstalk. A PMT (`model="pmt"`) has
Poisson weights (no crosstalk), and its single photoelectron response has,
besides the Gaussian, a fraction `w` of under-amplified charges spread as an
exponential of slope `alpha` from the pedestal, smeared by the pedestal's
noise.

The likelihood is the extended binned one (`iminuit.cost.ExtendedBinnedNLL`)
over the histogram's bins, with the model integrated over each bin through
its cumulative distribution, so wide bins do not bias the gain. Starting
values come from the spectrum itself: the peaks of the smoothed histogram
give the pedestal and the gain, the pedestal's share gives mu.

Every result reports `converged` (Minuit's valid minimum with an accurate
covariance) and `chi2_ndf` (Pearson's chi-square of bins with an expected
count of at least 5, over their number less the free parameters).
"""

from __future__ import annotations

import math
import dataclasses
from dataclasses import asdict, dataclass, field
from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

__all__ = [
    "FitError", "FitResult", "emg_cdf", "find_peaks", "fit_gauss", "fit_spe", "fit_spe_histogram",
    "generalized_poisson", "generate_sipm", "pmt_cdf", "sipm_cdf"
]


class FitError(ValueError):
    """A spectrum that cannot be fitted at all: too few entries, no peak to start from."""


def _minuit() -> Any:
    import iminuit
    import iminuit.cost

    return iminuit


def _ndtr(x: NDArray[np.float64]) -> NDArray[np.float64]:
    from scipy.special import ndtr

    found: NDArray[np.float64] = ndtr(x)
    return found


@dataclass
class FitResult:
    """What a fit reports; `values`/`errors` hold every parameter, the named fields the usual ones."""

    model: str
    converged: bool
    chi2_ndf: float
    values: dict[str, float]
    errors: dict[str, float]
    entries: int
    extra: dict[str, float] = field(default_factory=dict)
    # Values left out of the fitted histogram, so that every selected value is accounted for.
    below: int = 0
    above: int = 0
    no_value: int = 0

    def outside(self) -> str:
        """'' when no finite value fell outside the fitted range, else e.g. '7 of 20,000 above the range'."""
        parts = [f"{n:,} {what}" for n, what in ((self.below, "below"), (self.above, "above")) if n]
        total = self.entries + self.below + self.above
        if len(parts) == 1:
            count, where = parts[0].split(" ")
            return f"{count} of {total:,} {where} the range"
        return f"{parts[0]} and {parts[1]} the range, of {total:,}" if parts else ""

    def as_dict(self) -> dict[str, Any]:
        found = asdict(self)
        found.update(self.extra)
        del found["extra"]
        return found


# --- models -----------------------------------------------------------------------


def generalized_poisson(n: NDArray[np.int64], mu: float, lam: float) -> NDArray[np.float64]:
    """P(n) of the generalized Poisson distribution, computed in logs so large n do not overflow."""
    n = np.asarray(n, dtype=np.float64)
    mean = mu + n * lam
    with np.errstate(divide="ignore", invalid="ignore"):
        from scipy.special import gammaln

        log_p = np.log(mu) + (n - 1) * np.log(mean) - mean - gammaln(n + 1)
    return np.where(mean > 0, np.exp(log_p), np.where(n == 0, 1.0, 0.0))


def _peaks(mu: float, lam: float, limit: float = 1e-7, most: int = 200) -> NDArray[np.int64]:
    """The photoelectron numbers whose weights matter: up to where the tail holds less than `limit`."""
    n = np.arange(most)
    weights = generalized_poisson(n, mu, lam)
    kept = np.flatnonzero(np.cumsum(weights) < 1 - limit)
    return n[: (kept[-1] + 2 if len(kept) else 1)]


def sipm_cdf(x: NDArray[np.float64], norm: float, q0: float, gain: float, sigma0: float, sigma1: float,
             mu: float, lam: float) -> NDArray[np.float64]:
    """The expected number of entries below x."""
    n = _peaks(mu, lam)
    weights = generalized_poisson(n, mu, lam)
    means = q0 + n * gain
    sigmas = np.sqrt(sigma0 ** 2 + n * sigma1 ** 2)
    z = (np.asarray(x, dtype=np.float64)[..., None] - means) / sigmas
    expected: NDArray[np.float64] = norm * np.sum(weights * _ndtr(z), axis=-1)
    return expected


def emg_cdf(x: NDArray[np.float64], mean: float, sigma: float, alpha: float) -> NDArray[np.float64]:
    """Cumulative distribution of an exponential of slope alpha from `mean`, smeared by a Gaussian."""
    from scipy.special import log_ndtr

    u = (x - mean) / sigma
    # exp(-alpha*(x-mean) + (alpha*sigma)**2/2) * ndtr(u - alpha*sigma), in logs: its two factors
    # overflow and underflow together far in the tail.
    log_tail = -alpha * (x - mean) + 0.5 * (alpha * sigma) ** 2 + log_ndtr(u - alpha * sigma)
    return _ndtr(u) - np.exp(np.minimum(log_tail, 700.0))  # type: ignore[no-any-return]


def pmt_cdf(x: NDArray[np.float64], norm: float, q0: float, gain: float, sigma0: float, sigma1: float,
            mu: float, w: float, alpha: float) -> NDArray[np.float64]:
    """The expected number of entries below x for a PMT: Poisson peaks, the first with its exponential part."""
    n = _peaks(mu, 0.0)
    weights = generalized_poisson(n, mu, 0.0)
    x = np.asarray(x, dtype=np.float64)
    means = q0 + n * gain
    sigmas = np.sqrt(sigma0 ** 2 + n * sigma1 ** 2)
    gauss = _ndtr((x[..., None] - means) / sigmas)
    single = (1 - w) * gauss[..., 1] + w * emg_cdf(x, q0, sigma0, alpha) if len(n) > 1 else gauss[..., 0] * 0
    total = weights[0] * gauss[..., 0]
    if len(n) > 1:
        total = total + weights[1] * single + np.sum(weights[2:] * gauss[..., 2:], axis=-1)
    return norm * total  # type: ignore[no-any-return]


def gauss_cdf(x: NDArray[np.float64], norm: float, mean: float, sigma: float) -> NDArray[np.float64]:
    return norm * _ndtr((np.asarray(x, dtype=np.float64) - mean) / sigma)


# --- starting values ------------------------------------------------------------------


def find_peaks(counts: NDArray[Any], smooth: float = 1.0, prominence: float = 0.02) -> NDArray[np.int64]:
    """Bins of the local maxima of the histogram smoothed by a Gaussian of `smooth` bins, strongest first.

    A maximum counts when it stands above the lower of the valleys on either
    side by `prominence` of the highest bin.
    """
    counts = np.asarray(counts, dtype=np.float64)
    if smooth > 0:
        half = max(1, int(3 * smooth))
        kernel = np.exp(-0.5 * (np.arange(-half, half + 1) / smooth) ** 2)
        counts = np.convolve(counts, kernel / kernel.sum(), mode="same")
    inner = np.flatnonzero((counts[1:-1] > counts[:-2]) & (counts[1:-1] >= counts[2:])) + 1
    top = counts.max() if len(counts) else 0.0
    kept = []
    for i in inner:
        left = counts[:i].min() if i else counts[i]
        right = counts[i + 1:].min() if i + 1 < len(counts) else counts[i]
        # The valley towards the nearest higher peak on each side.
        higher_left = np.flatnonzero(counts[:i] > counts[i])
        higher_right = np.flatnonzero(counts[i + 1:] > counts[i])
        if len(higher_left):
            left = counts[higher_left[-1]:i].min()
        if len(higher_right):
            right = counts[i + 1:i + 1 + higher_right[0]].min()
        if counts[i] - max(left, right) >= prominence * top:
            kept.append(i)
    order = np.argsort(-counts[np.array(kept, dtype=np.int64)]) if kept else np.array([], dtype=np.int64)
    return np.array(kept, dtype=np.int64)[order]


def _spe_start(counts: NDArray[Any], edges: NDArray[np.float64]) -> dict[str, float]:
    centres = 0.5 * (edges[1:] + edges[:-1])
    width = float(edges[1] - edges[0])
    total = float(counts.sum())
    peaks = find_peaks(counts, smooth=1.5)
    if len(peaks) == 0:
        raise FitError("no peak in the spectrum to start the fit from")
    # The pedestal is the leftmost of the strong peaks.
    strong = peaks[counts[peaks] >= 0.02 * counts[peaks].max()]
    ordered = np.sort(strong)
    q0 = float(centres[ordered[0]])
    if len(ordered) >= 2:
        gain = float(np.median(np.diff(centres[ordered])))
    else:
        gain = max(float(centres[-1] - q0) / 3, 5 * width)
    # The pedestal's width from its half maximum on the left, which no other peak crowds.
    i0 = ordered[0]
    half = counts[i0] / 2
    left = np.flatnonzero(counts[:i0] < half)
    sigma0 = max(float(centres[i0] - centres[left[-1]]) / 1.1774 if len(left) else gain / 6, width / 2)
    in_pedestal = float(counts[np.abs(centres - q0) < gain / 2].sum())
    mu = -math.log(min(max(in_pedestal / total, 1e-3), 0.999))
    return {"norm": total, "q0": q0, "gain": gain, "sigma0": sigma0, "sigma1": max(sigma0 / 2, width / 2),
            "mu": mu}


# --- fits -----------------------------------------------------------------------------


def _histogram(values: ArrayLike, bins: int,
               value_range: tuple[float, float] | None) -> tuple[NDArray[Any], NDArray[np.float64], dict[str, int]]:
    """The fitted histogram, and the values it leaves out (`below`, `above`, `no_value`) for the result."""
    given = np.asarray(values, dtype=np.float64)
    finite = given[np.isfinite(given)]
    if len(finite) < 20:
        raise FitError(f"{len(finite)} finite values are too few to fit")
    if value_range is None:
        low, high = np.percentile(finite, [0.05, 99.95])
        pad = 0.02 * (high - low or 1.0)
        value_range = (float(low - pad), float(high + pad))
    counts, edges = np.histogram(finite, bins=bins, range=value_range)
    # np.histogram keeps a value equal to the upper edge in the last bin.
    left_out = {"below": int(np.count_nonzero(finite < edges[0])), "above": int(np.count_nonzero(finite > edges[-1])),
                "no_value": int(len(given) - len(finite))}
    return counts, edges, left_out


def _counting(result: FitResult, left_out: dict[str, int]) -> FitResult:
    """The result, with the values its histogram left out."""
    return dataclasses.replace(result, below=left_out["below"], above=left_out["above"], no_value=left_out["no_value"])


def _minimize(cost: Any, start: dict[str, float], limits: dict[str, tuple[float | None, float | None]]) -> Any:
    minuit = _minuit().Minuit(cost, **start)
    for name, limit in limits.items():
        minuit.limits[name] = limit
    minuit.migrad()
    if not minuit.valid:
        minuit.migrad()
    minuit.hesse()
    return minuit


def _chi2_ndf(counts: NDArray[Any], expected: NDArray[np.float64], free: int) -> float:
    kept = expected >= 5
    ndf = int(kept.sum()) - free
    if ndf <= 0:
        return math.nan
    return float(np.sum((counts[kept] - expected[kept]) ** 2 / expected[kept]) / ndf)


def fit_spe(values: ArrayLike, model: str = "sipm", bins: int = 200,
            value_range: tuple[float, float] | None = None) -> tuple[FitResult, dict[str, Any]]:
    """Fit the photoelectron spectrum of `values` (charges); the result and what a plot needs.

    Reports `gain` (G) and `gain_error`, `pedestal` (Q0), `sigma0`, `sigma1`,
    `mu`, `crosstalk` (lam, SiPM only), `peak_to_valley` (the fitted density
    at the first photoelectron peak over its minimum between the pedestal
    and that peak), `chi2_ndf` and `converged`.

    Parameters
    ----------
    values : array_like
        The charges; those that are not finite are counted as ``no_value``.
    model : {"sipm", "pmt"}
        Generalized Poisson weights with crosstalk (SiPM), or Poisson weights
        and an under-amplified part of the single photoelectron (PMT).
    bins : int
        The bins of the fitted histogram.
    value_range : tuple of float, optional
        Its range; by default the central 99.9 % of the values widened by 2 %.
        Values outside are counted as ``below`` and ``above``.

    Returns
    -------
    result : FitResult
        The parameters' values and errors, the named values in ``extra``
        (``result.extra["gain"]``), ``converged``, ``chi2_ndf`` and the
        values left out.
    plot : dict
        The histogram (``counts``, ``edges``) and the fitted model
        (``cdf``, ``parameters``), for a figure.

    Raises
    ------
    FitError
        For fewer than 20 finite values, or a spectrum without a peak to start from.
    ValueError
        For another model.
    ImportError
        When iminuit or SciPy is missing.

    Examples
    --------
    Charges generated with a gain of 40 and 20 % crosstalk come back with
    them, within their errors:

    >>> charges = generate_sipm(20_000, gain=40.0, mu=1.5, lam=0.2, sigma0=4.0, sigma1=2.0, seed=1)
    >>> result, plot = fit_spe(charges)
    >>> result.converged, round(result.extra["gain"]), round(result.extra["crosstalk"], 1)
    (True, 40, 0.2)
    >>> abs(result.extra["gain"] - 40.0) < 3 * result.extra["gain_error"]
    True
    """
    if model not in ("sipm", "pmt"):
        raise ValueError(f"model must be 'sipm' or 'pmt', not {model!r}")
    counts, edges, left_out = _histogram(values, bins, value_range)
    result, plot = fit_spe_histogram(counts, edges, model)
    return _counting(result, left_out), plot


def fit_spe_histogram(counts: ArrayLike, edges: ArrayLike,
                      model: str = "sipm") -> tuple[FitResult, dict[str, Any]]:
    """`fit_spe` of a histogram already filled: `counts` in the bins between `edges` (equal widths).

    For histograms kept elsewhere (the monitor's): the values outside the
    edges are not part of the fit.

    Parameters
    ----------
    counts : array_like
        The counts of the bins.
    edges : array_like
        ``len(counts) + 1`` equally spaced edges.
    model : {"sipm", "pmt"}
        As for `fit_spe`.

    Returns
    -------
    result : FitResult
        As `fit_spe` gives it, without values left out (none are known here).
    plot : dict
        What a figure of the fit needs.

    Raises
    ------
    FitError
        For fewer than 20 entries, or no peak to start from.
    ValueError
        For another model.
    """
    if model not in ("sipm", "pmt"):
        raise ValueError(f"model must be 'sipm' or 'pmt', not {model!r}")
    counts = np.asarray(counts)
    edges = np.asarray(edges, dtype=np.float64)
    if counts.sum() < 20:
        raise FitError(f"{int(counts.sum())} entries are too few to fit")
    start = _spe_start(counts, edges)
    width = float(edges[1] - edges[0])
    span = float(edges[-1] - edges[0])
    limits: dict[str, tuple[float | None, float | None]] = {
        "norm": (0, None), "q0": (float(edges[0]), float(edges[-1])), "gain": (width, span),
        "sigma0": (width / 10, span), "sigma1": (0, span), "mu": (1e-4, 50)}
    cost_module = _minuit().cost
    if model == "sipm":
        start["lam"] = 0.1
        limits["lam"] = (0, 0.9)
        cdf: Any = sipm_cdf
    else:
        start.update(w=0.2, alpha=1.0 / max(start["gain"], width))
        limits.update(w=(0, 1), alpha=(1e-6 / width, 10 / width))
        cdf = pmt_cdf
    cost = cost_module.ExtendedBinnedNLL(counts, edges, cdf)
    minuit = _minimize(cost, start, limits)
    if model == "pmt" and not (minuit.valid and minuit.accurate) and minuit.values["w"] < 0.02:
        # Without under-amplified charges their slope is free and the minimum flat along it:
        # the spectrum is fitted again without that part.
        minuit.values["w"] = 0.0
        minuit.fixed["w"] = minuit.fixed["alpha"] = True
        minuit.migrad()
        minuit.hesse()
    values_ = {k: float(v) for k, v in zip(minuit.parameters, minuit.values)}
    errors = {k: float(v) for k, v in zip(minuit.parameters, minuit.errors)}
    expected = np.diff(cdf(edges, *minuit.values))
    result = FitResult(model, bool(minuit.valid and minuit.accurate), _chi2_ndf(counts, expected, minuit.nfit),
                       values_, errors, int(counts.sum()))
    result.extra = {"gain": values_["gain"], "gain_error": errors["gain"], "pedestal": values_["q0"],
                    "sigma0": values_["sigma0"], "sigma1": values_["sigma1"], "mu": values_["mu"],
                    "peak_to_valley": _peak_to_valley(cdf, minuit.values, values_["q0"], values_["gain"], width)}
    if model == "sipm":
        result.extra["crosstalk"] = values_["lam"]
    plot = {"counts": counts, "edges": edges, "cdf": cdf, "parameters": tuple(minuit.values)}
    return result, plot


def _peak_to_valley(cdf: Any, parameters: Any, q0: float, gain: float, width: float) -> float:
    fine = np.linspace(q0, q0 + 1.5 * gain, 600)
    density = np.gradient(cdf(fine, *parameters), fine)
    near_peak = (fine >= q0 + 0.5 * gain)
    valley_zone = (fine > q0) & (fine < q0 + gain)
    peak = float(density[near_peak].max())
    valley = float(density[valley_zone][np.argmin(density[valley_zone])]) if valley_zone.any() else math.nan
    return peak / valley if valley > 0 else math.inf


def fit_gauss(values: ArrayLike, bins: int = 100,
              value_range: tuple[float, float] | None = None) -> tuple[FitResult, dict[str, Any]]:
    """Fit one Gaussian to `values` within the range (by default the central 99.9 % widened by 2 %).

    Parameters
    ----------
    values : array_like
        The values, such as the difference of two channels' times.
    bins : int
        The bins of the fitted histogram.
    value_range : tuple of float, optional
        Its range; values outside are counted as ``below`` and ``above``.

    Returns
    -------
    result : FitResult
        ``extra`` holds ``mean``, ``mean_error``, ``sigma`` and ``sigma_error``.
    plot : dict
        What a figure of the fit needs.

    Raises
    ------
    FitError
        For fewer than 20 finite values, or none in the range.

    Examples
    --------
    >>> import numpy as np
    >>> times = np.random.default_rng(3).normal(0.5, 0.4, 10_000)
    >>> result, _ = fit_gauss(times)
    >>> round(result.extra["mean"], 1), round(result.extra["sigma"], 1), result.converged
    (0.5, 0.4, True)
    """
    counts, edges, left_out = _histogram(values, bins, value_range)
    centres = 0.5 * (edges[1:] + edges[:-1])
    total = float(counts.sum())
    if total == 0:
        raise FitError("no entries in the range")
    mean = float(np.sum(counts * centres) / total)
    sigma = float(np.sqrt(max(np.sum(counts * (centres - mean) ** 2) / total, (edges[1] - edges[0]) ** 2 / 12)))
    cost = _minuit().cost.ExtendedBinnedNLL(counts, edges, gauss_cdf)
    minuit = _minimize(cost, {"norm": total, "mean": mean, "sigma": sigma},
                       {"norm": (0, None), "sigma": (float(edges[1] - edges[0]) / 100, None)})
    values_ = {k: float(v) for k, v in zip(minuit.parameters, minuit.values)}
    errors = {k: float(v) for k, v in zip(minuit.parameters, minuit.errors)}
    expected = np.diff(gauss_cdf(edges, *minuit.values))
    result = FitResult("gauss", bool(minuit.valid and minuit.accurate), _chi2_ndf(counts, expected, minuit.nfit),
                       values_, errors, int(total))
    result = _counting(result, left_out)
    result.extra = {"mean": values_["mean"], "mean_error": errors["mean"], "sigma": abs(values_["sigma"]),
                    "sigma_error": errors["sigma"]}
    return result, {"counts": counts, "edges": edges, "cdf": gauss_cdf, "parameters": tuple(minuit.values)}


# --- generated spectra -------------------------------------------------------------------


def generate_sipm(entries: int, gain: float, mu: float, lam: float, q0: float = 0.0, sigma0: float = 1.0,
                  sigma1: float = 0.5, seed: int | None = None) -> NDArray[np.float64]:
    """Charges of a SiPM with known truth: Poisson primaries, each avalanche a Borel-branching crosstalk chain.

    The number of fired cells then follows the generalized Poisson
    distribution of (mu, lam) that `fit_spe` assumes, so a fit of these
    charges should give back the parameters they were made with: a check of
    an analysis (binning, ranges, the model chosen) against a spectrum whose
    answer is known, before it is trusted with measured charges.

    Parameters
    ----------
    entries : int
        The number of charges (events).
    gain : float
        G, the charge of one fired cell.
    mu : float
        The mean number of primary avalanches per event (Poisson).
    lam : float
        The crosstalk: the mean number of further cells each fired cell fires, 0 <= lam < 1.
    q0 : float
        The pedestal, the charge of an event without a fired cell.
    sigma0, sigma1 : float
        The spread of the pedestal, and that each fired cell adds: a charge of
        n cells has the spread sqrt(sigma0**2 + n * sigma1**2).
    seed : int or None
        The seed of NumPy's random generator, for the same charges every time.

    Returns
    -------
    numpy.ndarray
        (entries,) float64 charges, in the units of `gain` and `q0`.
    """
    rng = np.random.default_rng(seed)
    primaries = rng.poisson(mu, entries)
    fired = primaries.copy()
    pending = primaries.copy()
    # Each fired cell triggers Poisson(lam) more; the chain ends with probability one for lam < 1.
    while pending.any():
        pending = rng.poisson(lam * pending)
        fired += pending
    sigmas = np.sqrt(sigma0 ** 2 + fired * sigma1 ** 2)
    charges: NDArray[np.float64] = q0 + fired * gain + rng.normal(0.0, 1.0, entries) * sigmas
    return charges
