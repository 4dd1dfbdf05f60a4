"""A fit drawn: the histogram with Poisson errors, the fitted model and, for spectra, each peak alone."""

from __future__ import annotations

from typing import Any

import numpy as np

from .fits import FitResult, emg_cdf, generalized_poisson

__all__ = ["draw_fit"]


def draw_fit(result: FitResult, plot: dict[str, Any], path: str, title: str, xlabel: str, unit: str = "") -> None:
    """Draws to `path`; `unit` is that of the values fitted, shown on the x axis and in the bin width."""
    from matplotlib.figure import Figure

    counts, edges = plot["counts"], plot["edges"]
    centres = 0.5 * (edges[1:] + edges[:-1])
    fig = Figure(figsize=(8, 5), dpi=100)
    ax = fig.add_subplot()
    ax.errorbar(centres, counts, yerr=np.sqrt(counts), fmt=".", color="black", ms=3, lw=0.8, label="data")
    fine = np.linspace(edges[0], edges[-1], 20 * len(counts) + 1)
    width = edges[1] - edges[0]
    cdf, parameters = plot["cdf"], plot["parameters"]
    model = np.gradient(cdf(fine, *parameters), fine) * width
    state = "" if result.converged else " (did not converge)"
    ax.plot(fine, model, color="tab:red", lw=1.2, label=f"fit{state}, χ²/ndf {result.chi2_ndf:.2f}")
    if result.model in ("sipm", "pmt"):
        v = result.values
        lam = v.get("lam", 0.0)
        n = np.arange(0, 60)
        weights = generalized_poisson(n, v["mu"], lam) * v["norm"]
        for k in n[weights * width > max(counts.max(), 1) * 1e-3][:12]:
            sigma = np.sqrt(v["sigma0"] ** 2 + k * v["sigma1"] ** 2)
            mean = v["q0"] + k * v["gain"]
            peak = weights[k] * width * np.exp(-0.5 * ((fine - mean) / sigma) ** 2) / (sigma * np.sqrt(2 * np.pi))
            if result.model == "pmt" and k == 1:
                peak = peak * (1 - v["w"])
            ax.plot(fine, peak, lw=0.7, ls="--", color="tab:blue", label="peaks" if k == 0 else None)
        if result.model == "pmt":
            exp_part = weights[1] * v["w"] * np.gradient(emg_cdf(fine, v["q0"], v["sigma0"], v["alpha"]), fine) * width
            ax.plot(fine, exp_part, lw=0.7, ls=":", color="tab:green", label="under-amplified")
        text = (f"gain {result.extra['gain']:.4g} ± {result.extra['gain_error']:.2g}{f' {unit}' if unit else ''}\n"
                f"μ {result.extra['mu']:.3f}" + (f", crosstalk {result.extra['crosstalk']:.3f}"
                                                 if "crosstalk" in result.extra else ""))
    else:
        suffix = f" {unit}" if unit else ""
        text = f"mean {result.extra['mean']:.4g} ± {result.extra['mean_error']:.2g}{suffix}\n" \
               f"σ {result.extra['sigma']:.4g} ± {result.extra['sigma_error']:.2g}{suffix}"
    ax.text(0.98, 0.97, text, transform=ax.transAxes, ha="right", va="top", fontsize=9,
            bbox={"facecolor": "white", "alpha": 0.8, "edgecolor": "none"})
    ax.set_ylim(bottom=max(0.5, ax.get_ylim()[0]) if counts.max() > 100 else 0)
    if counts.max() > 100:
        ax.set_yscale("log")
    ax.set_xlabel(f"{xlabel} [{unit}]" if unit else xlabel)
    ax.set_ylabel(f"entries per {width:.3g}{f' {unit}' if unit else ''}")
    ax.set_title(title)
    ax.legend(loc="upper center", fontsize=8)
    fig.savefig(path)

