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
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

from dorv import tables
from dorv._rules import HIT_FACTOR
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
    inputs, target = tables.model_columns(frame, path, x_cols, y_col)
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


def report(outcome: Outcome, verbose: bool = False) -> str:
    """The report of the fit (:mod:`dorv.report`)."""
    from dorv.report import report as told

    return told(outcome, verbose)


def _fit_name(m: MDLPolynomialRegressor) -> str:
    return m.loss_.fit_name


def _n_outliers(m: MDLPolynomialRegressor) -> int:
    return int(m.inlier_mask_.size - np.count_nonzero(m.inlier_mask_))


def plot(outcome: Outcome, path: str) -> str:
    """Draws the data and the chosen model into an image file (:mod:`dorv.plots`); returns the
    name of the file written."""
    from dorv import plots

    data = outcome.data
    return plots.save(plots.figure(outcome.model, data.X, data.y, x_names=data.x_names,
                                   y_name=data.y_name, source=data.source), path)


def _chose(m: MDLPolynomialRegressor) -> str:
    """What chose the model, in a few words."""
    return m.loss_.title
