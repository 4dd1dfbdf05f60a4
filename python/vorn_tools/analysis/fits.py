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
its cumulative distribution, so wide bins do not bias the gain. The bins
come from the data (the Freedman-Diaconis width, 10 to 1,000 bins) unless
given. Fewer than `UNBINNED_BELOW` (1,000) values in the range are fitted
unbinned instead (`iminuit.cost.UnbinnedNLL`, the density normalized over
the range): binning would throw away what little they say, and the cost of
a likelihood per value is small at that size. Starting values come from
the spectrum itself: the peaks of the smoothed histogram give the pedestal
and the gain, the pedestal's share gives mu.

Every result reports `converged` (Minuit's valid minimum with an accurate
covariance), `chi2_ndf` (Pearson's chi-square of bins with an expected
count of at least 5, over `ndf`: their number less the free parameters,
the normalization among them) and a verdict, `valid` and the `reasons`
against it: a minimum Minuit does not stand behind, a parameter at a
limit, a peak outside the values, an error as large as a value that must
be positive, fewer than `PER_PARAMETER` (25) entries per free parameter, a
chi-square far from its degrees of freedom, and for a photoelectron
spectrum, peaks the data do not resolve.
"""

from __future__ import annotations

import math
import dataclasses
from dataclasses import asdict, dataclass, field
from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

__all__ = [
    "PER_PARAMETER", "UNBINNED_BELOW", "FitError", "FitResult", "emg_cdf", "find_peaks", "fit_gauss", "fit_spe",
    "fit_spe_histogram", "generalized_poisson", "generate_sipm", "pmt_cdf", "sipm_cdf"
]

# Fewer values than this in the fitted range are fitted unbinned.
UNBINNED_BELOW = 1000
# A fit needs at least this many entries for each free parameter to be trusted.
PER_PARAMETER = 25
# Bins chosen from the data stay within these; a bin is trusted in the chi-square from this many expected entries.
AUTO_BINS = (10, 1000)
ENOUGH_EXPECTED = 5.0
# What one bin may take: the model at every edge for each of up to 64 peaks, a few arrays of it.
BYTES_PER_BIN = 8 * 4 * 64


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
    """What a fit reports; `values`/`errors` hold every parameter, the named fields the usual ones.

    `valid` is the verdict and `reasons` says why not, a line each; `ndf`
    the degrees of freedom of `chi2_ndf`; `method` "binned" or "unbinned";
    `bins` those of the histogram drawn and tested; `notes` why a value is
    not a finite number.
    """

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
    # The verdict: whether the values can be used, and each reason why not; `converged` is Minuit's view alone.
    # A result is not valid until a fit has judged it.
    valid: bool = False
    reasons: list[str] = field(default_factory=list)
    ndf: int = 0
    method: str = "binned"
    bins: int = 0
    # Why a value is not a finite number (JSON shows it as null).
    notes: dict[str, str] = field(default_factory=dict)

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


def _normal(z: NDArray[np.float64]) -> NDArray[np.float64]:
    return np.exp(-0.5 * z ** 2) / math.sqrt(2 * math.pi)


def gauss_pdf(x: NDArray[np.float64], mean: float, sigma: float) -> NDArray[np.float64]:
    return _normal((np.asarray(x, dtype=np.float64) - mean) / sigma) / sigma


def sipm_pdf(x: NDArray[np.float64], q0: float, gain: float, sigma0: float, sigma1: float, mu: float,
             lam: float) -> NDArray[np.float64]:
    """The density of `sipm_cdf` for one entry."""
    n = _peaks(mu, lam)
    weights = generalized_poisson(n, mu, lam)
    sigmas = np.sqrt(sigma0 ** 2 + n * sigma1 ** 2)
    z = (np.asarray(x, dtype=np.float64)[..., None] - (q0 + n * gain)) / sigmas
    return np.sum(weights * _normal(z) / sigmas, axis=-1)  # type: ignore[no-any-return]


def emg_pdf(x: NDArray[np.float64], mean: float, sigma: float, alpha: float) -> NDArray[np.float64]:
    """The density of `emg_cdf`: its Gaussian terms cancel, leaving alpha times the tail."""
    from scipy.special import log_ndtr

    x = np.asarray(x, dtype=np.float64)
    log_tail = -alpha * (x - mean) + 0.5 * (alpha * sigma) ** 2 + log_ndtr((x - mean) / sigma - alpha * sigma)
    return alpha * np.exp(np.minimum(log_tail, 700.0))  # type: ignore[no-any-return]


def pmt_pdf(x: NDArray[np.float64], q0: float, gain: float, sigma0: float, sigma1: float, mu: float, w: float,
            alpha: float) -> NDArray[np.float64]:
    """The density of `pmt_cdf` for one entry."""
    n = _peaks(mu, 0.0)
    weights = generalized_poisson(n, mu, 0.0)
    x = np.asarray(x, dtype=np.float64)
    sigmas = np.sqrt(sigma0 ** 2 + n * sigma1 ** 2)
    gauss = _normal((x[..., None] - (q0 + n * gain)) / sigmas) / sigmas
    total = weights[0] * gauss[..., 0]
    if len(n) > 1:
        single = (1 - w) * gauss[..., 1] + w * emg_pdf(x, q0, sigma0, alpha)
        total = total + weights[1] * single + np.sum(weights[2:] * gauss[..., 2:], axis=-1)
    return total  # type: ignore[no-any-return]


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


def _selected(values: ArrayLike, value_range: tuple[float, float] | None
              ) -> tuple[NDArray[np.float64], tuple[float, float], dict[str, int]]:
    """The finite values within the range, the range, and the values left out (`below`, `above`, `no_value`)."""
    given = np.asarray(values, dtype=np.float64)
    finite = given[np.isfinite(given)]
    if len(finite) < 20:
        raise FitError(f"{len(finite)} finite values are too few to fit")
    if value_range is None:
        low, high = np.percentile(finite, [0.05, 99.95])
        pad = 0.02 * (high - low or 1.0)
        value_range = (float(low - pad), float(high + pad))
    low, high = value_range
    if not high > low:
        raise ValueError(f"the range {low:g} to {high:g} is empty")
    # np.histogram keeps a value equal to the upper edge in the last bin; so does the fit.
    left_out = {"below": int(np.count_nonzero(finite < low)), "above": int(np.count_nonzero(finite > high)),
                "no_value": int(len(given) - len(finite))}
    return finite[(finite >= low) & (finite <= high)], (float(low), float(high)), left_out


def auto_bins(values: NDArray[np.float64], value_range: tuple[float, float], peaks: bool = False) -> int:
    """Bins of the Freedman-Diaconis width (twice the interquartile range over the cube root of the count).

    With `peaks` (a photoelectron spectrum) at least four times the square
    root of the count: the interquartile range of such a spectrum spans
    several peaks, and bins that wide would merge them. Bounded to
    `AUTO_BINS`: a constant column would ask for infinitely many, a handful
    of values for a single one.
    """
    if len(values) < 2:
        return AUTO_BINS[0]
    q25, q75 = np.percentile(values, [25, 75])
    width = 2 * float(q75 - q25) / len(values) ** (1 / 3)
    found = math.ceil((value_range[1] - value_range[0]) / width) if width > 0 else AUTO_BINS[0]
    if peaks:
        found = max(found, math.ceil(4 * math.sqrt(len(values))))
    return int(np.clip(found, *AUTO_BINS))


def _histogram(values: ArrayLike, bins: int | None, value_range: tuple[float, float] | None, peaks: bool = False
               ) -> tuple[NDArray[Any], NDArray[np.float64], dict[str, int], NDArray[np.float64]]:
    """The fitted histogram, the values it leaves out, and the values within its range."""
    from .. import budget

    if bins is not None:
        budget.check(f"{bins:,} bins", bins + 1, BYTES_PER_BIN)
    inside, value_range, left_out = _selected(values, value_range)
    counts, edges = np.histogram(inside, bins=auto_bins(inside, value_range, peaks) if bins is None else bins,
                                 range=value_range)
    return counts, edges, left_out, inside


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


def _at_limits(minuit: Any) -> list[str]:
    """The free parameters sitting on one of their limits, each as a reason."""
    found = []
    for p in minuit.params:
        if p.is_fixed:
            continue
        for limit in (p.lower_limit, p.upper_limit):
            if limit is not None and math.isfinite(limit) and \
                    abs(p.value - limit) <= 1e-3 * abs(p.error) + 1e-9 * max(1.0, abs(limit)):
                found.append(f"{p.name} is at its limit {limit:.4g}")
    return found


def _fix_at_zero(minuit: Any, names: tuple[str, ...]) -> None:
    """Parameters that may truly be 0 (crosstalk, a peak's added spread) and sit on that bound: fixed there, refit.

    Such a value is an answer, not a failure, but its error from a minimum
    on the boundary would not be one.
    """
    hit = [n for n in names if n in minuit.parameters and not minuit.fixed[n] and minuit.limits[n][0] == 0
           and abs(minuit.values[n]) <= 1e-3 * abs(minuit.errors[n]) + 1e-9]
    if hit:
        for name in hit:
            minuit.values[name] = 0.0
            minuit.fixed[name] = True
        minuit.migrad()
        minuit.hesse()


def _chi2(counts: NDArray[Any], expected: NDArray[np.float64], free: int) -> tuple[float, int]:
    """Pearson's chi-square over the bins expecting at least `ENOUGH_EXPECTED` entries, per degree of freedom."""
    kept = expected >= ENOUGH_EXPECTED
    ndf = int(kept.sum()) - free
    if ndf <= 0:
        return math.nan, ndf
    return float(np.sum((counts[kept] - expected[kept]) ** 2 / expected[kept]) / ndf), ndf


def _goodness(chi2_ndf: float, ndf: int) -> list[str]:
    """A chi-square both far from its degrees of freedom and unlikely by chance: too large, or too small."""
    if not math.isfinite(chi2_ndf):
        return []
    from scipy.stats import chi2

    total = chi2_ndf * ndf
    if chi2_ndf > 3 and chi2.sf(total, ndf) < 1e-3:
        return [f"chi2/ndf {chi2_ndf:.3g} over {ndf} degrees of freedom: the model does not describe the counts"]
    if chi2_ndf < 1 / 3 and chi2.cdf(total, ndf) < 1e-3:
        return [f"chi2/ndf {chi2_ndf:.3g} over {ndf} degrees of freedom: the counts scatter less than counts can"]
    return []


def _verdict(minuit: Any, values: dict[str, float], errors: dict[str, float], entries: int, free: int,
             centre: str, seen: tuple[float, float], positive: tuple[str, ...], chi2_ndf: float,
             ndf: int) -> list[str]:
    """Every reason not to use the fit: Minuit's own, then the data's."""
    reasons = []
    if entries < PER_PARAMETER * free:
        reasons.append(f"{entries:,} entries are too few for {free} free parameters"
                       f" (at least {PER_PARAMETER * free:,})")
    if not minuit.valid:
        reasons.append("Minuit found no valid minimum")
    elif not minuit.accurate:
        reasons.append("Minuit's covariance is not accurate")
    reasons += _at_limits(minuit)
    if not seen[0] <= values[centre] <= seen[1]:
        reasons.append(f"{centre} {values[centre]:.4g} lies outside the values fitted ({seen[0]:.4g} to {seen[1]:.4g})")
    for name in positive:
        if not (math.isfinite(errors[name]) and abs(errors[name]) < values[name]):
            reasons.append(f"{name} {values[name]:.4g} ± {errors[name]:.2g}: its error is not smaller than it")
    return reasons + _goodness(chi2_ndf, ndf)


def _seen(counts: NDArray[Any], edges: NDArray[np.float64],
          inside: NDArray[np.float64] | None) -> tuple[float, float]:
    """The span of the values fitted: from the values when known, else from the bins that hold any."""
    if inside is not None and len(inside):
        return float(inside.min()), float(inside.max())
    filled = np.flatnonzero(counts)
    return (float(edges[filled[0]]), float(edges[filled[-1] + 1])) if len(filled) else (math.nan, math.nan)


def _smoothed(counts: NDArray[Any], smooth: float) -> NDArray[np.float64]:
    half = max(1, int(3 * smooth))
    kernel = np.exp(-0.5 * (np.arange(-half, half + 1) / smooth) ** 2)
    return np.convolve(np.asarray(counts, dtype=np.float64), kernel / kernel.sum(), mode="same")


def _peak_to_valley(counts: NDArray[Any], edges: NDArray[np.float64], q0: float,
                    gain: float) -> tuple[float, str]:
    """The counts at the first photoelectron peak over those at the valley before it, and why they are unresolved.

    Measured on the histogram smoothed over a bin, at the fitted pedestal and
    gain: the peak is the highest point between half a gain and one and a half
    past the pedestal, the valley the lowest between the pedestal and it. An
    empty valley counts as one entry, so that the ratio is then a lower bound
    rather than infinite. Resolved takes a ratio above 1 and a dip deeper
    than three standard deviations of the smoothed counts.
    """
    smooth = 1.0
    counts_ = _smoothed(counts, smooth)
    centres = 0.5 * (edges[1:] + edges[:-1])
    if not (math.isfinite(q0) and math.isfinite(gain) and gain > 0) or q0 + gain > edges[-1]:
        return math.nan, "the photoelectron peaks are not resolved (the first peak lies beyond the range)"
    zone = np.flatnonzero((centres >= q0 + 0.5 * gain) & (centres <= q0 + 1.5 * gain))
    if len(zone) == 0:
        return math.nan, "the photoelectron peaks are not resolved (no bin at the first peak)"
    top = int(zone[np.argmax(counts_[zone])])
    between = np.flatnonzero((centres > q0) & (np.arange(len(centres)) < top))
    if len(between) == 0:
        return math.nan, "the photoelectron peaks are not resolved (no bin between the pedestal and the first peak)"
    peak, valley = float(counts_[top]), float(counts_[between].min())
    ratio = peak / max(valley, 1.0)
    # A smoothed count averages about 2*sqrt(pi)*smooth bins, its variance that much below the count.
    noise = 3 * math.sqrt((peak + valley) / (2 * math.sqrt(math.pi) * smooth))
    if ratio <= 1 or peak - valley <= noise:
        return ratio, f"the photoelectron peaks are not resolved (peak-to-valley {ratio:.2g})"
    return ratio, ""


def _unbinned_cost(inside: NDArray[np.float64], value_range: tuple[float, float], pdf: Any, cdf: Any,
                   names: list[str]) -> Any:
    """The unbinned likelihood of the values, the density normalized over the range they were taken from."""
    ends = np.array(value_range, dtype=np.float64)

    def density(x: NDArray[np.float64], *parameters: float) -> NDArray[np.float64]:
        share = float(np.diff(cdf(ends, 1.0, *parameters))[0])
        return pdf(x, *parameters) / max(share, 1e-300)  # type: ignore[no-any-return]

    return _minuit().cost.UnbinnedNLL(inside, density, name=names)


def _result(model: str, minuit: Any, cdf: Any, counts: NDArray[Any], edges: NDArray[np.float64],
            inside: NDArray[np.float64] | None, unbinned: bool, centre: str,
            positive: tuple[str, ...]) -> FitResult:
    """The values, errors, chi-square and verdict of a minimum; a fixed parameter's error is 0."""
    values = {k: float(v) for k, v in zip(minuit.parameters, minuit.values)}
    errors = {k: 0.0 if minuit.fixed[k] else float(v) for k, v in zip(minuit.parameters, minuit.errors)}
    free = int(minuit.nfit)
    entries = int(counts.sum())
    if unbinned:
        # The normalization that makes the model's counts in the range those of the values, with their Poisson error.
        share = float(np.diff(cdf(edges[[0, -1]], 1.0, *minuit.values))[0])
        share = share if share > 0 else math.nan
        values = {"norm": entries / share, **values}
        errors = {"norm": math.sqrt(entries) / share, **errors}
        free += 1
    expected = np.diff(cdf(edges, *values.values()))
    chi2_ndf, ndf = _chi2(counts, expected, free)
    notes = {} if math.isfinite(chi2_ndf) else {
        "chi2_ndf": f"{int((expected >= ENOUGH_EXPECTED).sum())} bins expect {ENOUGH_EXPECTED:g} entries or more,"
                    f" no more than the {free} free parameters"}
    reasons = _verdict(minuit, values, errors, entries, free, centre, _seen(counts, edges, inside), positive,
                       chi2_ndf, ndf)
    return FitResult(model, bool(minuit.valid and minuit.accurate), chi2_ndf, values, errors, entries,
                     valid=not reasons, reasons=reasons, ndf=ndf, method="unbinned" if unbinned else "binned",
                     bins=len(counts), notes=notes)


def fit_spe(values: ArrayLike, model: str = "sipm", bins: int | None = None,
            value_range: tuple[float, float] | None = None) -> tuple[FitResult, dict[str, Any]]:
    """Fit the photoelectron spectrum of `values` (charges); the result and what a plot needs.

    Reports `gain` (G) and `gain_error`, `pedestal` (Q0), `sigma0`, `sigma1`,
    `mu`, `crosstalk` (lam, SiPM only), `peak_to_valley` (the histogram's
    counts at the first photoelectron peak over those in the valley between
    it and the pedestal), `chi2_ndf`, `converged`, and the verdict: `valid`
    and its `reasons`. A spectrum whose peaks are not resolved has no gain
    to report, whatever the minimizer found.

    Parameters
    ----------
    values : array_like
        The charges; those that are not finite are counted as ``no_value``.
    model : {"sipm", "pmt"}
        Generalized Poisson weights with crosstalk (SiPM), or Poisson weights
        and an under-amplified part of the single photoelectron (PMT).
    bins : int, optional
        The bins of the fitted histogram; by default from the data
        (`auto_bins`: Freedman-Diaconis, at least four times the square root
        of the count, 10 to 1,000). Below `UNBINNED_BELOW` values the
        fit is unbinned and the bins serve the picture and the chi-square.
    value_range : tuple of float, optional
        Its range; by default the central 99.9 % of the values widened by 2 %.
        Values outside are counted as ``below`` and ``above``.

    Returns
    -------
    result : FitResult
        The parameters' values and errors, the named values in ``extra``
        (``result.extra["gain"]``), ``converged``, ``chi2_ndf``, ``valid``,
        ``reasons`` and the values left out.
    plot : dict
        The histogram (``counts``, ``edges``) and the fitted model
        (``cdf``, ``parameters``: expected entries below x), for a figure.

    Raises
    ------
    FitError
        For fewer than 20 finite values, or a spectrum without a peak to start from.
    ValueError
        For another model, or an empty range.
    ImportError
        When iminuit or SciPy is missing.

    Examples
    --------
    Charges generated with a gain of 40 and 20 % crosstalk come back with
    them, within their errors:

    >>> charges = generate_sipm(20_000, gain=40.0, mu=1.5, lam=0.2, sigma0=4.0, sigma1=2.0, seed=1)
    >>> result, plot = fit_spe(charges)
    >>> result.valid, round(result.extra["gain"]), round(result.extra["crosstalk"], 1)
    (True, 40, 0.2)
    >>> abs(result.extra["gain"] - 40.0) < 3 * result.extra["gain_error"]
    True

    A spectrum without photoelectron peaks gives no gain:

    >>> result, _ = fit_spe(np.random.default_rng(2).exponential(50.0, 5000))
    >>> result.valid, any("not resolved" in reason for reason in result.reasons)
    (False, True)
    """
    if model not in ("sipm", "pmt"):
        raise ValueError(f"model must be 'sipm' or 'pmt', not {model!r}")
    counts, edges, left_out, inside = _histogram(values, bins, value_range, peaks=True)
    result, plot = _fit_spe(counts, edges, model, inside)
    return _counting(result, left_out), plot


def fit_spe_histogram(counts: ArrayLike, edges: ArrayLike,
                      model: str = "sipm") -> tuple[FitResult, dict[str, Any]]:
    """`fit_spe` of a histogram already filled: `counts` in the bins between `edges` (equal widths).

    For histograms kept elsewhere (the monitor's): the values outside the
    edges are not part of the fit, and the fit is binned whatever the count.

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
        As `fit_spe` gives it, with its verdict, without values left out (none are known here).
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
    return _fit_spe(counts, edges, model, None)


def _fit_spe(counts: NDArray[Any], edges: NDArray[np.float64], model: str,
             inside: NDArray[np.float64] | None) -> tuple[FitResult, dict[str, Any]]:
    """The fit of a spectrum's histogram, or of its values themselves when they are few."""
    start = _spe_start(counts, edges)
    width = float(edges[1] - edges[0])
    span = float(edges[-1] - edges[0])
    limits: dict[str, tuple[float | None, float | None]] = {
        "norm": (0, None), "q0": (float(edges[0]), float(edges[-1])), "gain": (width, span),
        "sigma0": (width / 10, span), "sigma1": (0, span), "mu": (1e-4, 50)}
    if model == "sipm":
        start["lam"] = 0.1
        limits["lam"] = (0, 0.9)
        cdf: Any = sipm_cdf
        pdf: Any = sipm_pdf
    else:
        start.update(w=0.2, alpha=1.0 / max(start["gain"], width))
        limits.update(w=(0, 1), alpha=(1e-6 / width, 10 / width))
        cdf, pdf = pmt_cdf, pmt_pdf
    unbinned = inside is not None and len(inside) < UNBINNED_BELOW
    if unbinned:
        assert inside is not None
        del start["norm"], limits["norm"]
        cost = _unbinned_cost(inside, (float(edges[0]), float(edges[-1])), pdf, cdf, list(start))
    else:
        cost = _minuit().cost.ExtendedBinnedNLL(counts, edges, cdf)
    minuit = _minimize(cost, start, limits)
    if model == "pmt" and not (minuit.valid and minuit.accurate) and minuit.values["w"] < 0.02:
        # Without under-amplified charges their slope is free and the minimum flat along it:
        # the spectrum is fitted again without that part.
        minuit.values["w"] = 0.0
        minuit.fixed["w"] = minuit.fixed["alpha"] = True
        minuit.migrad()
        minuit.hesse()
    _fix_at_zero(minuit, ("lam", "sigma1", "w"))
    result = _result(model, minuit, cdf, counts, edges, inside, unbinned, "q0", ("gain", "sigma0", "mu"))
    v, e = result.values, result.errors
    ratio, unresolved = _peak_to_valley(counts, edges, v["q0"], v["gain"])
    if unresolved:
        result.reasons.insert(0, unresolved)
        result.valid = False
    if not math.isfinite(ratio):
        result.notes["peak_to_valley"] = unresolved[unresolved.index("(") + 1:-1]
    result.extra = {"gain": v["gain"], "gain_error": e["gain"], "pedestal": v["q0"], "sigma0": v["sigma0"],
                    "sigma1": v["sigma1"], "mu": v["mu"], "peak_to_valley": ratio}
    if model == "sipm":
        result.extra["crosstalk"] = v["lam"]
    plot = {"counts": counts, "edges": edges, "cdf": cdf, "parameters": tuple(v.values())}
    return result, plot


def fit_gauss(values: ArrayLike, bins: int | None = None,
              value_range: tuple[float, float] | None = None) -> tuple[FitResult, dict[str, Any]]:
    """Fit one Gaussian to `values` within the range (by default the central 99.9 % widened by 2 %).

    Parameters
    ----------
    values : array_like
        The values, such as the difference of two channels' times.
    bins : int, optional
        The bins of the fitted histogram; by default from the data, as for
        `fit_spe`. Below `UNBINNED_BELOW` values the fit is unbinned.
    value_range : tuple of float, optional
        Its range; values outside are counted as ``below`` and ``above``.

    Returns
    -------
    result : FitResult
        ``extra`` holds ``mean``, ``mean_error``, ``sigma`` and ``sigma_error``;
        ``valid`` and ``reasons`` the verdict.
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
    >>> round(result.extra["mean"], 1), round(result.extra["sigma"], 1), result.valid
    (0.5, 0.4, True)
    """
    counts, edges, left_out, inside = _histogram(values, bins, value_range)
    total = len(inside)
    if total == 0:
        raise FitError("no entries in the range")
    width = float(edges[1] - edges[0])
    start = {"norm": float(total), "mean": float(np.mean(inside)),
             "sigma": max(float(np.std(inside)), width / math.sqrt(12))}
    limits: dict[str, tuple[float | None, float | None]] = {"norm": (0, None), "sigma": (width / 100, None)}
    unbinned = total < UNBINNED_BELOW
    if unbinned:
        del start["norm"], limits["norm"]
        cost = _unbinned_cost(inside, (float(edges[0]), float(edges[-1])), gauss_pdf, gauss_cdf, list(start))
    else:
        cost = _minuit().cost.ExtendedBinnedNLL(counts, edges, gauss_cdf)
    minuit = _minimize(cost, start, limits)
    result = _counting(_result("gauss", minuit, gauss_cdf, counts, edges, inside, unbinned, "mean", ("sigma",)),
                       left_out)
    v, e = result.values, result.errors
    result.extra = {"mean": v["mean"], "mean_error": e["mean"], "sigma": abs(v["sigma"]),
                    "sigma_error": e["sigma"]}
    return result, {"counts": counts, "edges": edges, "cdf": gauss_cdf, "parameters": tuple(v.values())}


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
