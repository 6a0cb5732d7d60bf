"""The fitting job of ``python -m dorv``: reads the data, fits ``MDLPolynomialRegressor`` and
reports or draws what it chose. All choosing happens in :mod:`dorv.estimator`.

The shipped samples were made once and written with six decimals:

data/damped_sine.csv, 200 noisy samples of y = 1.5 + 2 exp(-x/5) sin(1.1 x), header "x,y":

    rng = np.random.default_rng(20240611)
    x = np.sort(rng.uniform(0.0, 10.0, 200))
    y = 1.5 + 2.0 * np.exp(-x / 5.0) * np.sin(1.1 * x) + rng.normal(0.0, 0.05, 200)

data/glitches.csv, the curve sample with 30 of its 200 readings replaced by a glitching
sensor's values, header "x,y":

    g = np.random.default_rng(20261209)
    bad = g.choice(200, 30, replace=False)
    y[bad] = g.uniform(-0.5, 4.0, 30)

data/ripple.csv, 400 noisy samples of a surface over two inputs, header "u,v,w":

    rng = np.random.default_rng(20241209)
    u = rng.uniform(0.0, 4.0, 400)
    v = rng.uniform(-1.0, 2.0, 400)
    w = 1.0 + 0.5 * u - 0.3 * v**2 + np.sin(1.2 * u) * np.cos(0.8 * v) + rng.normal(0.0, 0.05, 400)
"""

from __future__ import annotations

import math
import warnings
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

import dorv_core as dc
from dorv import tables
from dorv._rules import HIT_FACTOR, hit_tolerance
from dorv.estimator import DegreeLimitWarning, MDLPolynomialRegressor
from dorv.tables import InputError

if TYPE_CHECKING:
    import pandas as pd

# name -> (file, input columns, target column)
SAMPLES = {
    "curve": ("data/damped_sine.csv", ["x"], "y"),
    "glitches": ("data/glitches.csv", ["x"], "y"),
    "surface": ("data/ripple.csv", ["u", "v"], "w"),
}

Array = npt.NDArray[np.float64]


@dataclass
class Data:
    X: Array  # (n, d)
    y: Array  # (n)
    source: str
    x_names: list[str]
    y_name: str
    note: str = ""  # shown after the source in the report
    notes: list[str] = field(default_factory=list)  # how the table was read, a line each
    dropped: int = 0  # rows left out for want of a value in a column used (--dropna)


def read_columns(path: str, x_cols: list[str], y_col: str | None = None,
                 delimiter: str | None = None, dropna: bool = False) -> Data:
    """Reads numeric columns of a table (`tables.read_table`), each named by its header or its
    0-based index; y_col None is the first column that is not an input. A column can play one
    part only. Inputs of dates become decimal years. Every value used must be a finite number;
    with `dropna`, rows missing one (an empty cell) are left out and counted instead."""
    frame = tables.read_table(path, delimiter)
    notes = []
    if "index_column" in frame.attrs:
        index = frame.attrs["index_column"]
        notes.append(f"first column{f' {index!r}' if index else ''}: the rows' names, not data")
    inputs = tables.find_columns(frame, "--x-col", x_cols)
    if y_col is None:
        rest = [c for c in frame.columns if c not in inputs]
        if not rest:
            raise InputError(f"{path}: no column left for the target; name one with --y-col")
        target = rest[0]
    else:
        (target,) = tables.find_columns(frame, "--y-col", [y_col])
    tables.distinct_parts({"--x-col": inputs, "--y-col": [target]})
    for c in inputs:
        years = tables.decimal_years(frame[c], path)
        if years is not None:
            frame = frame.copy()
            frame[c] = years
            notes.append(f"{tables.name_of(c)!r} read as decimal years (2020-07-02 is 2020.5)")
    dropped = 0
    if dropna:
        frame, dropped = tables.drop_incomplete(frame, [*inputs, target])
        if frame.empty:
            raise InputError(f"{path}: every row misses a value in a column used (--dropna "
                             "left none)")
    X = np.column_stack([_finite(frame[c], path) for c in inputs])
    names = [tables.name_of(c) for c in inputs]
    return Data(X, _finite(frame[target], path), path, names, tables.name_of(target),
                notes=notes, dropped=dropped)


def _finite(column: pd.Series, path: str) -> Array:
    """The values of a column as float64; the first that is not a finite number is refused,
    naming its line."""
    name = tables.name_of(column.name)
    for line, cell in column.items():
        if tables.is_missing(cell):  # an empty cell, a missing field or NaN
            raise InputError(f"{path} line {line}: no value in column {name!r} (--dropna drops "
                             "incomplete rows)")
        if not _finite_number(cell):
            raise InputError(f"{path} line {line}: {str(cell).strip()!r} in column {name!r} "
                             "is not a finite number")
    return column.to_numpy(np.float64)


def _finite_number(cell: Any) -> bool:
    try:
        return math.isfinite(float(cell))
    except (TypeError, ValueError):
        return False


@dataclass
class Outcome:
    data: Data
    model: MDLPolynomialRegressor
    max_degree: int


def run(data: Data, max_degree: int, gamma1: float, gamma2: float, seed: int,
        loss: str = "biweight") -> Outcome:
    """Fits the estimator to the data; a degree at max_degree becomes a note in the report
    instead of a warning."""
    model = MDLPolynomialRegressor(max_degree, loss=loss, gamma1=gamma1, gamma2=gamma2,
                                   random_state=seed)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DegreeLimitWarning)
        try:
            model.fit(data.X, data.y)
        except ValueError as e:
            raise InputError(f"{data.source}: {e}") from None
    return Outcome(data, model, max_degree)


def _g(value: float) -> str:
    return f"{value:.4g}"


def _degrees(degrees: tuple[int, ...]) -> str:
    return ",".join(map(str, degrees))


def _t(j: int, d: int) -> str:
    return "t" if d == 1 else f"t{j}"


def report(outcome: Outcome) -> str:
    """The candidates tried, the sampler's outcome and the chosen model, as text."""
    data, m = outcome.data, outcome.model
    d = data.X.shape[1]
    inputs = "; ".join(f"{n!r} from {_g(lo)} to {_g(hi)}"
                       for n, lo, hi in zip(data.x_names, data.X.min(0), data.X.max(0)))
    robust = m.loss == "biweight"
    lines = [
        f"dorv: polynomial fits, degrees {_chose(m)}",
        f"data     {data.source}{data.note}",
        f"         {data.y.size} rows; y = {data.y_name!r}; inputs {inputs}",
        *(f"         {note}" for note in data.notes),
        *([f"         {data.dropped} rows without a value in a column used left out (--dropna)"]
          if data.dropped else []),
    ]
    for j, name in enumerate(data.x_names):
        lines.append(f"{'basis' if j == 0 else '':<9}{_t(j, d)} = ({name} - "
                     f"{m.x_center_[j]:.7g}) / {m.x_scale_[j]:.7g} maps {name!r} onto [-1, 1]"
                     + ("; monomials of t" if d == 1 else
                        "; products of powers of each t" if j == d - 1 else ""))
    eps = hit_tolerance(dc.mad((data.y - m.y_center_) / m.y_scale_))
    lines += [
        f"targets  z = (y - {_g(m.y_center_)}) / {_g(m.y_scale_)}; hit tolerance "
        f"{_g(eps * m.y_scale_)} in units of y ({HIT_FACTOR} * mad)",
        f"loss     {m.loss}: " + ("robust MM-fits (Tukey's biweight); points farther than "
                                  "3 scales from the model are outliers" if robust else
                                  "penalised least squares"),
        f"penalty  gamma1 = {m.gamma1:g}, gamma2 = {m.gamma2:g} on the squared first and second "
        f"derivatives over [-1, 1]{'^' + str(d) if d > 1 else ''}",
        f"held out {m.cv}-fold cross-validation: every candidate is also fitted without each fold "
        "and judged on it (cv columns)",
        "",
        "candidates in the order tried (\"<=T\": total degree at most T, else the tensor "
        "product); the chosen one has "
        + ("the fewest coefficients of those whose cv error is as good as the best within its "
           "noise (cv error: residuals capped at 3 scales)" if robust else
           "the lowest cv MDL of those whose cv error is about the best"),
    ]
    c = m.candidates_
    names = [_degrees(g) + ("" if t is None else f" <={t}")
             for g, t in zip(c["degrees"], c["total_degree"])]
    width = max(7, max(len(name) for name in names))
    lines.append(f"{'degrees':>{width}}  {'coefs':>5}  {'resid rms':>10}  {'hit rate':>8}  "
                 f"{'MDL':>10}  {'cv error':>10}  {'cv MDL':>10}")
    for i, degrees in enumerate(c["degrees"]):
        mark = "  <- chosen" if c["chosen"][i] else ""
        lines.append(
            f"{names[i]:>{width}}  {c['n_coefs'][i]:>5}  {c['rms'][i]:>10.4g}  "
            f"{c['hit_rate'][i]:>8.3f}  {c['mdl'][i]:>10.3f}  {c['cv_loss'][i]:>10.4g}  "
            f"{c['cv_mdl'][i]:>10.3f}{mark}"
        )
    chosen = c["chosen"].index(True)
    s = m.sampler_
    kept = "sampler" if s and s["kept"] else _fit_name(m)
    if s is not None:
        lines += [
            "",
            f"refinement of {'degree' if d == 1 else 'degrees'} {_degrees(m.degrees_)} by "
            "TournamentMCMC "
            f"({s['n_chains']} chains, {s['n_elite']} elites, seed {s['seed']})",
        ]
        if not s["ran"]:
            lines.append(f"  did not run: {s['reason']}")
        else:
            g = s["gibbs"]
            lines.append(
                f"  MDL {c['mdl'][chosen]:.3f} -> {s['mdl']:.3f}, hit rate "
                f"{c['hit_rate'][chosen]:.3f} -> {s['hit_rate']:.3f}, resid rms "
                f"{_g(c['rms'][chosen])} -> {_g(s['rms'])}")
            if s["held_out"]:
                h, f = s["held_out"]["sampler"], s["held_out"]["fit"]
                lines.append(f"  run again without one fold, on that fold: hits {f['hits']} -> "
                             f"{h['hits']}, cv error {_g(f['rms'])} -> {_g(h['rms'])}")
            lines += [
                f"  kept the {kept} ({s['reason']})",
                f"  Gibbs summary of the warm-up energies: H {_g(g['H'])}, Hmax {_g(g['Hmax'])}, "
                f"He {_g(g['He'])}, r_heat {_g(g['r_heat'])}, var_E {_g(g['var_E'])}, "
                f"T {_g(g['T'])}",
            ]
    outliers = _n_outliers(m)
    lines += [
        "",
        f"chosen model: {'degree' if d == 1 else 'degrees'} {_degrees(m.degrees_)} ({kept}), "
        f"MDL {m.mdl_:.3f}, resid rms {_g(m.rms_)}, hit rate {m.hit_rate_:.3f}, cv error "
        f"{_g(m.cv_rms_)}",
        f"  scale {_g(m.scale_)} (noise sd of the inliers); {outliers} outlier"
        f"{'' if outliers == 1 else 's'} of {data.y.size} points (farther than 3 scales)",
    ]
    at_limit = [n for n, g in zip(data.x_names, m.degrees_) if g == outcome.max_degree]
    if at_limit:
        lines.append(f"  note: the chosen degree of {', '.join(at_limit)} is --max-degree "
                     f"{outcome.max_degree}: a higher degree might fit better")
    lines += ["", str(m.summary(data.x_names))]
    return "\n".join(lines) + "\n"


def _fit_name(m: MDLPolynomialRegressor) -> str:
    return "robust fit" if m.loss == "biweight" else "least-squares fit"


def _n_outliers(m: MDLPolynomialRegressor) -> int:
    return int(m.inlier_mask_.size - np.count_nonzero(m.inlier_mask_))


def plot(outcome: Outcome, path: str) -> str:
    """Draws the data and the chosen model into an image file: curves over the data for one
    input, the fitted surface and the residuals for two, predicted against observed values
    and the residuals for more. The format follows the file's extension; a name without one
    that matplotlib knows gets ".png". Returns the name of the file written."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    draw = {1: _plot_curve, 2: _plot_surface}.get(outcome.data.X.shape[1], _plot_observed)
    fig = draw(plt, outcome)
    if Path(path).suffix.lower()[1:] not in fig.canvas.get_supported_filetypes():
        path += ".png"
    try:
        fig.savefig(path, dpi=110)
    except OSError as e:
        raise InputError(f"cannot write {path}: {e.strerror or e}") from None
    finally:
        plt.close(fig)
    return path


def _title(outcome: Outcome, what: str) -> str:
    return f"{Path(outcome.data.source).name}: {what}"


def _chosen_label(m: MDLPolynomialRegressor) -> str:
    chosen = m.candidates_["chosen"].index(True)
    what = "degree" if len(m.degrees_) == 1 else "degrees"
    label = (f"chosen: {what} {_degrees(m.degrees_)}: cv error {_g(m.cv_rms_)}, cv MDL "
             f"{m.candidates_['cv_mdl'][chosen]:.3g}")
    if m.sampler_ and m.sampler_["kept"]:
        label += f"; refined by the sampler, MDL {m.mdl_:.3g}"
    return label


def _chose(m: MDLPolynomialRegressor) -> str:
    """What chose the model, for the plots' titles."""
    if m.loss == "biweight":
        return "chosen by held-out (cv) error: the fewest coefficients within its noise"
    return "chosen by held-out (cv) error, then the lowest cv MDL"


BAND = "95 % interval of a new observation"


def _outliers(ax, x, y, m: MDLPolynomialRegressor) -> None:
    """Marks the points that the fit counts as outliers, with their number in the legend."""
    out = ~m.inlier_mask_
    if out.any():
        ax.scatter(x[out], y[out], marker="x", s=28, color="tab:red", linewidths=1.2, zorder=3,
                   label=f"outliers: {int(out.sum())} beyond 3 scales ({_g(m.scale_)})")


def _plot_curve(plt, outcome: Outcome, n_best: int = 3):
    """The data with its outliers marked, the fits of the n_best candidates of lowest cv MDL,
    the sampler's model, the chosen one and its 95 % band of new observations."""
    data, m = outcome.data, outcome.model
    x = data.X[:, 0]
    grid = np.linspace(x.min(), x.max(), 400)
    t = (grid - m.x_center_[0]) / m.x_scale_[0]

    def curve(coef):
        return dc.design_matrix_1d(coef.size - 1, t) @ coef

    fig, ax = plt.subplots(figsize=(8, 5), layout="constrained")
    lower, upper = m.predict_interval(grid[:, None])
    ax.fill_between(grid, lower, upper, color="tab:blue", alpha=0.15, lw=0, label=BAND)
    inliers = m.inlier_mask_
    ax.plot(x[inliers], data.y[inliers], "o", ms=3, color="0.55",
            label=f"data ({x.size} rows)")
    _outliers(ax, x, data.y, m)
    c = m.candidates_
    fit = _fit_name(m).removesuffix(" fit")
    for i in sorted(range(len(c["cv_mdl"])), key=lambda i: c["cv_mdl"][i])[:n_best]:
        if not c["chosen"][i] or (m.sampler_ and m.sampler_["kept"]):
            ax.plot(grid, curve(c["coef"][i]), lw=1.2, alpha=0.8,
                    label=f"degree {c['degrees'][i][0]} {fit}: cv error {_g(c['cv_loss'][i])}, "
                          f"cv MDL {c['cv_mdl'][i]:.3g}")
    s = m.sampler_
    if s is not None and s["ran"] and not s["kept"]:
        ax.plot(grid, curve(s["coef"]), "--", lw=1.2, color="tab:red",
                label=f"degree {m.degrees_[0]} sampler, MDL {s['mdl']:.3g}: not kept\n"
                      f"({s['reason']})")
    ax.plot(grid, curve(m.coef_), lw=2.5, color="black", label=_chosen_label(m))
    ax.set_xlabel(data.x_names[0])
    ax.set_ylabel(data.y_name)
    ax.set_title(_title(outcome, "degree " + _chose(outcome.model)), fontsize="medium")
    ax.legend(fontsize="small")
    return fig


def _plot_surface(plt, outcome: Outcome):
    """The fitted surface as filled contours under the data points, and the residuals at the
    data points."""
    data, m = outcome.data, outcome.model
    X, y = data.X, data.y
    g0, g1 = np.meshgrid(np.linspace(X[:, 0].min(), X[:, 0].max(), 200),
                         np.linspace(X[:, 1].min(), X[:, 1].max(), 200))
    surface = m.predict(np.column_stack([g0.ravel(), g1.ravel()])).reshape(g0.shape)
    residuals = y - m.predict(X)
    from matplotlib.ticker import MaxNLocator

    fig, (ax, rx) = plt.subplots(1, 2, figsize=(12, 5), layout="constrained")
    levels = MaxNLocator(20).tick_values(min(surface.min(), y.min()), max(surface.max(), y.max()))
    filled = ax.contourf(g0, g1, surface, levels=levels, cmap="viridis")
    ax.contour(g0, g1, surface, levels=levels, colors="white", linewidths=0.4, alpha=0.5)
    ax.scatter(X[:, 0], X[:, 1], c=y, cmap="viridis", vmin=levels[0], vmax=levels[-1], s=14,
               edgecolors="black", linewidths=0.5)
    _outliers(ax, X[:, 0], X[:, 1], m)
    fig.colorbar(filled, ax=ax, label=data.y_name)
    ax.set_title(f"{_chosen_label(m)}\n(points: the data, coloured by {data.y_name!r})",
                 fontsize="medium")
    top = float(np.max(np.abs(residuals))) or 1.0
    dots = rx.scatter(X[:, 0], X[:, 1], c=residuals, cmap="RdBu_r", vmin=-top, vmax=top, s=18,
                      edgecolors="0.3", linewidths=0.3)
    _outliers(rx, X[:, 0], X[:, 1], m)
    fig.colorbar(dots, ax=rx, label=f"residual {data.y_name} - fit")
    rx.set_title(f"residuals: rms {_g(m.rms_)}, hit rate {m.hit_rate_:.3f}", fontsize="medium")
    for a in (ax, rx):
        a.set_xlabel(data.x_names[0])
        a.set_ylabel(data.x_names[1])
        if not m.inlier_mask_.all():
            a.legend(fontsize="small", loc="upper right")
    fig.suptitle(_title(outcome, f"fitted polynomial surface, degrees {_chose(outcome.model)}"))
    return fig


def _plot_observed(plt, outcome: Outcome):
    """Predicted against observed values, and the residuals against the predictions."""
    data, m = outcome.data, outcome.model
    predicted = m.predict(data.X)
    residuals = data.y - predicted
    fig, (ax, rx) = plt.subplots(1, 2, figsize=(11, 5), layout="constrained")
    ax.plot(data.y, predicted, "o", ms=3, alpha=0.6)
    _outliers(ax, data.y, predicted, m)
    span = [min(data.y.min(), predicted.min()), max(data.y.max(), predicted.max())]
    ax.plot(span, span, color="black", lw=1, label="predicted = observed")
    ax.set_xlabel(f"observed {data.y_name}")
    ax.set_ylabel(f"predicted {data.y_name}")
    ax.set_title(_chosen_label(m), fontsize="medium")
    ax.legend(fontsize="small")
    rx.plot(predicted, residuals, "o", ms=3, alpha=0.6)
    _outliers(rx, predicted, residuals, m)
    rx.axhline(0.0, color="black", lw=1)
    rx.set_xlabel(f"predicted {data.y_name}")
    rx.set_ylabel("residual (observed - predicted)")
    rx.set_title(f"residuals: rms {_g(m.rms_)}, hit rate {m.hit_rate_:.3f}", fontsize="medium")
    if not m.inlier_mask_.all():
        rx.legend(fontsize="small")
    fig.suptitle(_title(outcome, f"polynomial in {data.X.shape[1]} inputs, degrees "
                                 f"{_chose(outcome.model)}"))
    return fig
