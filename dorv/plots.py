"""Pictures of a fitted ``MDLPolynomialRegressor`` over the data it was fitted to, readable at
any size: the curve over the data for one input; the fitted surface, its residuals and the
width of its band for two; predicted against observed values and the residuals for more.

Up to ``DENSE`` points the data are drawn as points, beyond as a density (hexagons, or the
inliers' mean residual per cell) under the fit. Outliers are the points that the fit flags
(``inlier_mask_``) and that also lie beyond the 95 % band of a new observation; they form a
thin layer under the fit, of at most ``MARKED`` points (a fixed sample of them beyond). A
surface is drawn over the convex hull of the data only; its colours span quantiles of the
inliers' targets, and residuals are on a symmetric scale clipped at a quantile of the inliers'
residuals. The drawing reads only the estimator's public attributes and methods.
"""

from __future__ import annotations

import textwrap
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import numpy.typing as npt
from matplotlib import colormaps
from matplotlib.colors import ListedColormap, Normalize
from matplotlib.figure import Figure
from matplotlib.path import Path as Outline
from matplotlib.ticker import MaxNLocator

from dorv.tables import InputError

Array = npt.NDArray[np.float64]
Index = npt.NDArray[np.intp]

DENSE = 3000  # above this many points the data are drawn as a density
MARKED = 2000  # outliers marked at most; a fixed sample of them beyond
MARK_SEED = 0
LEVEL = 0.95  # probability of the band of a new observation
BAND = "95 % band of a new observation"
COLOUR_QUANTILES = (0.01, 0.99)  # colour limits of a surface: these quantiles of the inliers' y
RESIDUAL_QUANTILE = 0.98  # residual colours saturate at this quantile of the inliers' |r|
WIDTH_SPAN = 1.5  # the band's colours span widths up to this factor of the narrowest at least
CURVE_POINTS = 400  # points along a drawn curve
GRID = 200  # grid lines along each input of a drawn surface
LEVELS = 20  # contour levels of a surface, about
HEXAGONS = (40, 120)  # hexagons across a density, fewest and most
PER_CELL = 25  # points per cell of the binned residuals, about
CELLS = (10, 100)  # cells along each input of the binned residuals, fewest and most
DPI = 110
MARGIN = 0.02  # space around a surface's data, in parts of their range
MIN_AREA = 0.02  # a surface is drawn where the data's hull covers this part of their box
LEGEND_CHARS = 13  # characters of a legend's labels per inch of the figure's width
EDGE = 1e-9  # nodes this near the hull (in parts of the data's range) are inside

DENSITY = "Greys"
DENSITY_SHADES = (0.2, 0.65)  # the part of DENSITY that the counts span
SURFACE = "viridis"
WIDTH = "magma_r"
RESIDUALS = "RdBu_r"
OUTLIER = "tab:red"
BAND_COLOUR = "tab:blue"


def figure(model, X, y, *, x_names: list[str] | None = None, y_name: str = "y",
           source: str | None = None) -> Figure:
    """The picture of a fitted model over the data it was fitted to, X (n, d) and y (n): the
    curve for d = 1, the surface for d = 2, predicted against observed values for more.
    `x_names` (default: the model's ``feature_names_in_``, or x0, x1, ...) and `y_name` label
    the axes; `source` (a file name) starts the title."""
    X = np.asarray(X, dtype=np.float64)
    y = np.asarray(y, dtype=np.float64)
    if X.ndim != 2 or y.shape != (X.shape[0],) or model.inlier_mask_.shape != y.shape:
        raise ValueError(f"X and y must be the model's training data, X (n, d) and y (n) with "
                         f"n = {model.inlier_mask_.size}, got X {X.shape} and y {y.shape}")
    d = X.shape[1]
    if x_names is None:
        x_names = [str(n) for n in getattr(model, "feature_names_in_", [f"x{j}" for j in range(d)])]
    names = list(x_names)
    head = f"{Path(source).name}\n" if source else ""
    if d == 1:
        return _curve(model, X[:, 0], y, names[0], y_name, head)
    region = _region(X) if d == 2 else None
    if region is not None:
        return _surface(model, X, y, region, names, y_name, head)
    return _observed(model, X, y, y_name, head)


def save(fig: Figure, path: str, dpi: int = DPI) -> str:
    """Writes the figure; the format follows the file's extension, and a name without one that
    matplotlib knows gets ".png". Returns the name of the file written."""
    if Path(path).suffix.lower()[1:] not in fig.canvas.get_supported_filetypes():
        path += ".png"
    try:
        fig.savefig(path, dpi=dpi)
    except OSError as e:
        raise InputError(f"cannot write {path}: {e.strerror or e}") from None
    return path


# -- the model at given inputs -------------------------------------------------------------------

def _predict(m, X: Array) -> Array:
    return m.predict(_named(m, X))


def _interval(m, X: Array) -> tuple[Array, Array]:
    """The band of a new observation at X."""
    return m.predict_interval(_named(m, X), level=LEVEL)


def _named(m, X: Array):
    """X as the model was fitted: a DataFrame with its columns' names where it had them."""
    names = getattr(m, "feature_names_in_", None)
    if names is None:
        return X
    import pandas as pd

    return pd.DataFrame(X, columns=names)


def _curve_of(m, coef: Array, x: Array) -> Array:
    """The curve of one input whose coefficients of the powers of t are `coef` (a candidate's
    or the sampler's), at x: the estimator predicts with its chosen model only."""
    return np.polynomial.polynomial.polyval((x - m.x_center_[0]) / m.x_scale_[0], coef)


# -- the three pictures --------------------------------------------------------------------------

def _curve(m, x: Array, y: Array, x_name: str, y_name: str, head: str,
           n_best: int = 3) -> Figure:
    """The data with its outliers marked, the fits of the n_best candidates of lowest cv MDL,
    the sampler's model where it was not kept, the chosen one and its 95 % band."""
    fig = Figure(figsize=(8, 5.6), layout="constrained")
    ax = fig.subplots()
    grid = np.linspace(x.min(), x.max(), CURVE_POINTS)
    marked = _beyond_band(m, x[:, None], y)
    _data(fig, ax, x, y, marked)
    _outliers(ax, x, y, marked, dense=x.size > DENSE)
    lower, upper = _interval(m, grid[:, None])
    ax.fill_between(grid, lower, upper, color=BAND_COLOUR, alpha=0.25, lw=0, zorder=1.5,
                    label=BAND)
    if x.size > DENSE:  # the band's edges, visible over the density
        for edge in (lower, upper):
            ax.plot(grid, edge, color=BAND_COLOUR, lw=0.8, zorder=1.6)
    c = m.candidates_
    s = m.sampler_
    refined = bool(s and s["kept"])
    own = [i for i, loss in enumerate(c["loss"]) if loss == m.loss_.name]
    for i in sorted(own, key=lambda i: c["cv_mdl"][i])[:n_best]:
        if not c["chosen"][i] or refined:
            ax.plot(grid, _curve_of(m, c["coef"][i], grid), lw=1.2, alpha=0.85, zorder=2.5,
                    label=f"degree {c['degrees'][i][0]} {m.loss_.fit_name}: cv error "
                          f"{_g(c['cv_loss'][i])}, cv MDL {c['cv_mdl'][i]:.3g}")
    if s is not None and s["ran"] and not s["kept"]:
        ax.plot(grid, _curve_of(m, s["coef"], grid), "--", lw=1.2, color=OUTLIER, zorder=2.5,
                label=f"degree {m.degrees_[0]} sampler, MDL {s['mdl']:.3g}: not kept "
                      f"({s['reason']})")
    ax.plot(grid, _predict(m, grid[:, None]), lw=2.2, color="black", zorder=3,
            label=_chosen_label(m))
    ax.set_xlabel(x_name)
    ax.set_ylabel(y_name)
    ax.set_title(f"{head}degree {m.loss_.title}", fontsize="medium")
    _legend(fig, ax, ncols=2)
    return fig


def _surface(m, X: Array, y: Array, region: Region, names: list[str], y_name: str,
             head: str) -> Figure:
    """The fitted surface over the data's convex hull with the data's places and the marked
    outliers; the residuals at the data (the inliers' mean residual per cell when dense); the
    width of the 95 % band of a new observation over the hull."""
    fig = Figure(figsize=(15, 4.9), layout="constrained")
    ax, rx, bx = fig.subplots(1, 3, sharex=True, sharey=True)
    dense = y.size > DENSE
    g0, g1, inside = region.g0, region.g1, region.inside
    at = np.column_stack([g0[inside], g1[inside]])
    surface = _on_grid(inside, _predict(m, at))
    lower, upper = _interval(m, at)
    width = _on_grid(inside, upper - lower)

    lo, hi = _limits(y[m.inlier_mask_] if m.inlier_mask_.any() else y, COLOUR_QUANTILES)
    levels = MaxNLocator(LEVELS).tick_values(lo, hi)
    filled = ax.contourf(g0, g1, surface, levels=levels, cmap=SURFACE, extend="both", zorder=1)
    _contour_lines(ax, g0, g1, surface, levels)
    fig.colorbar(filled, ax=ax, label=f"fitted {y_name}", pad=0.01)
    marked = _beyond_band(m, X, y)
    _places(ax, X, dense, marked)
    _outliers(ax, X[:, 0], X[:, 1], marked, dense)
    ax.set_title(_chosen_label(m, short=True), fontsize="medium")

    residuals = y - _predict(m, X)
    _residual_map(fig, rx, X, residuals, m.inlier_mask_, y_name, dense)
    rx.set_title(f"residuals: rms {_g(m.rms_)}, hit rate {m.hit_rate_:.3f}", fontsize="medium")

    narrowest, widest = _limits(width.compressed(), (0.0, 0.99))
    widest = max(widest, WIDTH_SPAN * narrowest)
    shaded = bx.contourf(g0, g1, width, levels=MaxNLocator(LEVELS).tick_values(narrowest, widest),
                         cmap=WIDTH, extend="max", zorder=1)
    fig.colorbar(shaded, ax=bx, label=f"band width ({y_name})", pad=0.01)
    _places(bx, X, dense)
    bx.set_title(f"width of the {BAND}", fontsize="medium")

    for a in (ax, rx, bx):
        a.fill(*region.hull.T, fill=False, edgecolor="0.4", lw=0.7, zorder=1.2)
        a.set_xlabel(names[0])
        a.set_ylabel(names[1])
    lo, hi = X.min(axis=0), X.max(axis=0)
    ax.set_xlim(lo[0] - MARGIN * (hi[0] - lo[0]), hi[0] + MARGIN * (hi[0] - lo[0]))
    ax.set_ylim(lo[1] - MARGIN * (hi[1] - lo[1]), hi[1] + MARGIN * (hi[1] - lo[1]))
    fig.suptitle(f"{head}fitted surface, degrees {m.loss_.title}", fontsize="medium")
    _legend(fig, ax, ncols=3)
    return fig


def _observed(m, X: Array, y: Array, y_name: str, head: str) -> Figure:
    """Predicted against observed values, and the residuals against the predictions."""
    fig = Figure(figsize=(12, 5.4), layout="constrained")
    ax, rx = fig.subplots(1, 2)
    predicted = _predict(m, X)
    residuals = y - predicted
    marked = _beyond_band(m, X, y)
    dense = y.size > DENSE
    _data(fig, ax, y, predicted, marked, colorbar=False)
    _outliers(ax, y, predicted, marked, dense)
    span = _limits(np.concatenate([y, predicted]), (0.0, 1.0))
    ax.plot(span, span, color="black", lw=1.2, zorder=3, label="predicted = observed")
    ax.set_xlabel(f"observed {y_name}")
    ax.set_ylabel(f"predicted {y_name}")
    ax.set_title(_chosen_label(m, short=True), fontsize="medium")
    _data(fig, rx, predicted, residuals, marked, label=False)
    _outliers(rx, predicted, residuals, marked, dense, label=False)
    rx.axhline(0.0, color="black", lw=1.2, zorder=3)
    rx.set_xlabel(f"predicted {y_name}")
    rx.set_ylabel("residual (observed - predicted)")
    rx.set_title(f"residuals: rms {_g(m.rms_)}, hit rate {m.hit_rate_:.3f}", fontsize="medium")
    fig.suptitle(f"{head}polynomial in {X.shape[1]} inputs, degrees {m.loss_.title}",
                 fontsize="medium")
    _legend(fig, ax, ncols=3)
    return fig


# -- layers --------------------------------------------------------------------------------------

def _data(fig: Figure, ax, x: Array, y: Array, marked: Index, *, colorbar: bool = True,
          label: bool = True) -> None:
    """The points (those not marked as outliers), or above DENSE the density of all of them
    with its colour bar."""
    what = f"data ({x.size:,} rows)" if label else None
    if x.size > DENSE:
        shades = _density_map()
        cells = ax.hexbin(x, y, gridsize=_hexagons(x.size), bins="log", mincnt=1, cmap=shades,
                          linewidths=0, zorder=1)
        if what:  # the hexagons' own legend entry would take the default colour
            ax.fill_between([], [], color=shades(0.7), lw=0, label=what + ", density")
        if colorbar:
            fig.colorbar(cells, ax=ax, label="points per hexagon", pad=0.01)
        return
    plain = np.ones(x.size, dtype=bool)
    plain[marked] = False
    ax.scatter(x[plain], y[plain], s=9, color="0.45", lw=0, zorder=1, label=what)


def _outliers(ax, x: Array, y: Array, marked: Index, dense: bool, label: bool = True) -> None:
    """The marked outliers: crosses, or above DENSE a light layer of dots; at most MARKED of
    them, a fixed sample beyond, and always under the fit."""
    if marked.size == 0:
        return
    shown = marked
    if marked.size > MARKED:
        shown = np.sort(np.random.default_rng(MARK_SEED).choice(marked, MARKED, replace=False))
    what = (f"outliers: {marked.size:,} flagged beyond the band"
            + (f" ({MARKED:,} drawn)" if shown is not marked else "")) if label else None
    if dense:
        ax.scatter(x[shown], y[shown], s=3, marker="o", color=OUTLIER, alpha=0.35, lw=0,
                   zorder=2)
        if what:  # a legend mark larger than the layer's dots
            ax.plot([], [], "o", ms=3, color=OUTLIER, alpha=0.6, label=what)
    else:
        ax.scatter(x[shown], y[shown], s=28, marker="x", color=OUTLIER, linewidths=1.3,
                   zorder=2, label=what)


def _places(ax, X: Array, dense: bool, marked: Index | None = None) -> None:
    """Where the data lie (but the marked outliers), in marks of their own (no colour map);
    not drawn above DENSE, where the drawn region is the data's hull."""
    if not dense:
        plain = np.ones(X.shape[0], dtype=bool)
        if marked is not None:
            plain[marked] = False
        ax.scatter(X[plain, 0], X[plain, 1], s=10, facecolor="white", edgecolor="black",
                   lw=0.5, zorder=1.8, label="data")


def _residual_map(fig: Figure, ax, X: Array, residuals: Array, inliers, y_name: str,
                  dense: bool) -> None:
    """Residuals on a symmetric diverging scale that saturates at a quantile of the inliers'
    |r|: at the points, or above DENSE the inliers' mean per cell (on the same scale, so that
    only a misfit comparable with the noise shows)."""
    top = _residual_limit(residuals[inliers] if inliers.any() else residuals)
    norm = Normalize(-top, top)
    label = f"residual ({y_name} - fit)"
    if not dense:
        dots = ax.scatter(X[:, 0], X[:, 1], c=residuals, cmap=RESIDUALS, norm=norm, s=16,
                          edgecolors="0.35", linewidths=0.3, zorder=1)
        fig.colorbar(dots, ax=ax, label=label, extend="both", pad=0.01)
        return
    bins = int(np.clip(np.sqrt(X.shape[0] / PER_CELL), *CELLS))
    x0, x1 = X[inliers, 0], X[inliers, 1]
    edges = [np.linspace(X[:, 0].min(), X[:, 0].max(), bins + 1),
             np.linspace(X[:, 1].min(), X[:, 1].max(), bins + 1)]
    count, *_ = np.histogram2d(x0, x1, bins=edges)
    total, *_ = np.histogram2d(x0, x1, bins=edges, weights=residuals[inliers])
    mean = np.ma.masked_invalid(np.divide(total, count, out=np.full_like(total, np.nan),
                                          where=count > 0))
    cells = ax.pcolormesh(edges[0], edges[1], mean.T, cmap=RESIDUALS, norm=norm, zorder=1)
    fig.colorbar(cells, ax=ax, label=f"inliers' mean {label} per cell", extend="both", pad=0.01)


def _contour_lines(ax, g0, g1, surface, levels) -> None:
    """Thin lines at the levels that the surface crosses."""
    inner = levels[(levels > surface.min()) & (levels < surface.max())]
    if inner.size:
        ax.contour(g0, g1, surface, levels=inner, colors="white", linewidths=0.4, alpha=0.5,
                   zorder=1.1)


def _legend(fig: Figure, ax, ncols: int) -> None:
    """The first panel's legend, below the panels, its labels wrapped to the columns' width."""
    handles, labels = ax.get_legend_handles_labels()
    width = int(fig.get_figwidth() * LEGEND_CHARS / ncols)
    if handles:
        fig.legend(handles, [textwrap.fill(label, width) for label in labels],
                   loc="outside lower center", ncols=ncols, fontsize="small", frameon=False)


# -- what is drawn where -------------------------------------------------------------------------

def _beyond_band(m, X: Array, y: Array) -> Index:
    """Rows that the fit flags as outliers and that lie outside the band of a new observation
    at their inputs."""
    flagged = np.flatnonzero(~m.inlier_mask_)
    if flagged.size == 0:
        return flagged
    lower, upper = _interval(m, X[flagged])
    return flagged[(y[flagged] < lower) | (y[flagged] > upper)]


@dataclass
class Region:
    """Where a surface is drawn: a GRID x GRID mesh g0, g1 over the data's bounding box, the
    mask of its nodes inside the data's convex hull, and the hull's corners in order."""

    g0: Array
    g1: Array
    inside: npt.NDArray[np.bool_]
    hull: Array


def _region(X: Array) -> Region | None:
    """The region of points of two inputs, or None where they enclose too little area for a
    surface (all on one line, or nearly: less than MIN_AREA of their bounding box)."""
    from scipy.spatial import ConvexHull, QhullError

    span = np.ptp(X, axis=0)
    if not np.all(span > 0.0):
        return None
    try:
        hull = ConvexHull(X / span)
    except QhullError:
        return None
    if hull.volume < MIN_AREA:  # in two dimensions, the area
        return None
    g0, g1 = np.meshgrid(np.linspace(X[:, 0].min(), X[:, 0].max(), GRID),
                         np.linspace(X[:, 1].min(), X[:, 1].max(), GRID))
    # Nodes on the hull's edge count as inside: the test is run with the outline grown by a
    # hair either way, as its sign depends on the direction of the outline.
    outline = Outline(hull.points[hull.vertices])
    nodes = np.column_stack([g0.ravel(), g1.ravel()]) / span
    inside = (outline.contains_points(nodes, radius=EDGE) |
              outline.contains_points(nodes, radius=-EDGE)).reshape(g0.shape)
    return Region(g0, g1, inside, X[hull.vertices])


def _on_grid(inside: npt.NDArray[np.bool_], values: Array) -> np.ma.MaskedArray:
    full = np.zeros(inside.shape)
    full[inside] = values
    return np.ma.masked_array(full, mask=~inside)


def _limits(values: Array, quantiles: tuple[float, float]) -> tuple[float, float]:
    """Those quantiles of the values, apart by a little at least."""
    lo, hi = (float(v) for v in np.quantile(values, quantiles))
    if not hi > lo:
        pad = 0.5 * abs(lo) if lo else 0.5
        lo, hi = lo - pad, hi + pad
    return lo, hi


def _residual_limit(residuals: Array) -> float:
    top = float(np.quantile(np.abs(residuals), RESIDUAL_QUANTILE)) if residuals.size else 0.0
    return top if top > 0.0 else 1.0


def _hexagons(n: int) -> int:
    return int(np.clip(np.sqrt(n), *HEXAGONS))


def _density_map() -> ListedColormap:
    """Greys from light to mid-grey, so that the fit reads over the densest cells."""
    return ListedColormap(colormaps[DENSITY](np.linspace(*DENSITY_SHADES, 256)), name="density")


# -- labels --------------------------------------------------------------------------------------

def _g(value: float) -> str:
    return f"{value:.4g}"


def _chosen_label(m, short: bool = False) -> str:
    c = m.candidates_
    what = "degree" if len(m.degrees_) == 1 else "degrees"
    label = f"chosen: {what} {','.join(map(str, m.degrees_))}: cv error {_g(m.cv_loss_)}"
    if not short:
        label += f", cv MDL {c['cv_mdl'][c['chosen'].index(True)]:.3g}"
    if m.sampler_ and m.sampler_["kept"]:
        label += f"; refined by the sampler, MDL {m.mdl_:.3g}"
    return label
