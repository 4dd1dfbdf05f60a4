"""A fit drawn: the histogram with Poisson errors, the fitted model and, for spectra, each peak alone.

Every curve is in expected entries per bin of the histogram drawn: at x, the
model's entries in a bin of that width centred on x, so that at each bin's
centre it is the count the fit expects there. The legend and the values
stand to the right of the axes, where they cover no data; the title names
what was fitted and, for a fit that is not valid, why.
"""

from __future__ import annotations

import textwrap
from typing import Any

import numpy as np

from .fits import FitResult, emg_cdf, generalized_poisson

__all__ = ["draw_fit", "fit_figure"]


def _window(cdf: Any, x: Any, width: float) -> Any:
    """The expected entries in a bin of `width` centred on each x, from a cumulative count `cdf(x)`."""
    return cdf(x + width / 2) - cdf(x - width / 2)


def fit_figure(result: FitResult, plot: dict[str, Any], title: str, xlabel: str, unit: str = "") -> Any:
    """The figure of a fit (a matplotlib Figure with a canvas): data, model, components, legend and values."""
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure
    from scipy.special import ndtr

    counts, edges = plot["counts"], plot["edges"]
    centres = 0.5 * (edges[1:] + edges[:-1])
    width = float(edges[1] - edges[0])
    fig = Figure(figsize=(10, 5.5), dpi=100)
    FigureCanvasAgg(fig)
    # The right part of the figure holds the legend and the values, outside the data.
    fig.subplots_adjust(left=0.08, right=0.72, bottom=0.11)
    ax = fig.add_subplot()
    ax.errorbar(centres, counts, yerr=np.sqrt(counts), fmt=".", color="black", ms=3, lw=0.8, label="data")
    # An even number of steps per bin puts every bin's centre on the curve's points.
    steps = 2 * max(1, min(10, 10_000 // len(counts)))
    fine = edges[0] + width * np.arange(steps * len(counts) + 1) / steps
    cdf, parameters = plot["cdf"], plot["parameters"]
    model = _window(lambda x: cdf(x, *parameters), fine, width)
    state = "" if result.valid else ", not valid"
    method = ", unbinned" if result.method == "unbinned" else ""
    ax.plot(fine, model, color="tab:red", lw=1.2, label=f"fit{method}{state}, χ²/ndf {result.chi2_ndf:.2f}")
    suffix = f" {unit}" if unit else ""
    if result.model in ("sipm", "pmt"):
        v = result.values
        lam = v.get("lam", 0.0)
        n = np.arange(0, 60)
        weights = generalized_poisson(n, v["mu"], lam) * v["norm"]
        for k in n[weights * width > max(counts.max(), 1) * 1e-3][:12]:
            sigma = np.sqrt(v["sigma0"] ** 2 + k * v["sigma1"] ** 2)
            mean = v["q0"] + k * v["gain"]
            share = (1 - v["w"]) if result.model == "pmt" and k == 1 else 1.0
            peak = _window(lambda x: weights[k] * share * ndtr((x - mean) / sigma), fine, width)
            ax.plot(fine, peak, lw=0.7, ls="--", color="tab:blue", label="peaks" if k == 0 else None)
        if result.model == "pmt":
            exp_part = _window(lambda x: weights[1] * v["w"] * emg_cdf(x, v["q0"], v["sigma0"], v["alpha"]),
                               fine, width)
            ax.plot(fine, exp_part, lw=0.7, ls=":", color="tab:green", label="under-amplified")
        text = (f"gain {result.extra['gain']:.4g} ± {result.extra['gain_error']:.2g}{suffix}\n"
                f"μ {result.extra['mu']:.3f}" + (f"\ncrosstalk {result.extra['crosstalk']:.3f}"
                                                 if "crosstalk" in result.extra else "")
                + f"\npeak-to-valley {result.extra['peak_to_valley']:.3g}")
    else:
        text = f"mean {result.extra['mean']:.4g} ± {result.extra['mean_error']:.2g}{suffix}\n" \
               f"σ {result.extra['sigma']:.4g} ± {result.extra['sigma_error']:.2g}{suffix}"
    text += f"\n{result.entries:,} entries"
    top = max(float(counts.max() + np.sqrt(counts.max())), float(np.nanmax(model)), 1.0)
    if counts.max() > 100:
        ax.set_yscale("log")
        ax.set_ylim(0.5, top * 2)
    else:
        ax.set_ylim(0, top * 1.05)
    ax.set_xlabel(f"{xlabel} [{unit}]" if unit else xlabel)
    ax.set_ylabel(f"entries per {width:.3g}{suffix}")
    heading = "\n".join(textwrap.wrap(title, 100))
    if not result.valid:
        heading += "\n" + "\n".join(textwrap.wrap("NOT VALID: " + "; ".join(result.reasons), 110))
    ax.set_title(heading, fontsize=9, color="black" if result.valid else "darkred")
    fig.subplots_adjust(top=0.95 - 0.03 * (heading.count("\n") + 1))
    legend = ax.legend(loc="upper left", bbox_to_anchor=(1.02, 1.0), fontsize=8, borderaxespad=0)
    # The values go below the legend, where its drawn size says it ends.
    fig.canvas.draw()
    bottom = ax.transAxes.inverted().transform(legend.get_window_extent().get_points())[0, 1]
    ax.text(1.02, bottom - 0.04, text, transform=ax.transAxes, ha="left", va="top", fontsize=9,
            bbox={"facecolor": "white", "alpha": 0.8, "edgecolor": "0.8"})
    return fig


def draw_fit(result: FitResult, plot: dict[str, Any], path: str, title: str, xlabel: str, unit: str = "",
             format: str | None = None) -> None:
    """Draws to exactly `path` (in `format`, else from its extension); `unit` is that of the values fitted."""
    fit_figure(result, plot, title, xlabel, unit).savefig(path, format=format)
