#!/usr/bin/env python3
"""Model quality of MDLPolynomialRegressor against the peers a user would reach for.

Two tables.

Robust table (synthetic curves, surfaces and a real series, clean and contaminated): every
model is fitted once to the noisy data and judged by its distance from the TRUTH, the RMS of
prediction - truth on a dense grid over the training range (curves 1000 points, surfaces
50 x 50, three inputs 20^3). Noise sd 0.05. Contamination, on a seeded random choice of the
points: "uniform" replaces y by a value drawn uniformly over [min y - 2, max y + 2] of the
clean sample; "up" adds U(1, 3) (one-sided spikes); the CO2 series gets "glitches" of
±U(3, 10) residual sds (random sign). Its truth is the least-squares polynomial of the degree
of lowest BIC fitted to the clean monthly means; its noise sd the 1.4826-scaled MAD of the
clean residuals from that curve. The peers, each on inputs mapped onto [-1, 1]
(MinMaxScaler) and PolynomialFeatures of a total degree:

- least squares, BIC: the degree of lowest BIC, n ln(RSS / n) + k ln(n), among 1 to 12;
- HuberRegressor (epsilon 1.35, alpha 0), RANSACRegressor (random_state 0, defaults
  otherwise) and statsmodels' RLM with Tukey's biweight, each with its degree chosen by
  5-fold CV of the median absolute held-out error among degrees 1 to 12 (up to the degree
  whose coefficients still have two points each in a training fold).

The table gives each model's error and dorv / best peer (target <= 1.1); when dorv has an
`inlier_mask_`, the share of the points more than 5 noise sds off the truth that it flags and
the share of the others that it keeps (targets >= 95 %); how often its sampler's model was kept
and how much that changed the error (against the same fit with `refine=False`). Times are wall
seconds per fit, a peer's degree search included; the totals compare all fits of dorv with
those of the fastest robust peer in the same run. The peers' results do not change while dorv
does: `--cache FILE` keeps them (delete the file when the cases or the peers change).

Real-data table: every model is judged by 5-fold cross-validation (the same shuffled folds for
all): the mean held-out R² and the median absolute error on the held-out points (in units of
y). The peers choose their degree on the training folds only:

- least squares, BIC, as above (numpy.polynomial.Polynomial.fit in one variable;
  PolynomialFeatures of that total degree and LinearRegression in several);
- ridge, CV: MinMaxScaler onto [-1, 1], PolynomialFeatures and RidgeCV, the degree chosen by an
  inner 5-fold grid search over 1 to 12.

A last column shows, for one input, the degree of lowest MDL on the training data itself (the
main job's former rule), for comparison. The data sets ship inside scikit-learn and
statsmodels (nothing is downloaded). Needs statsmodels and pandas besides dorv:

    python bench/quality.py                         # both tables, a few minutes
    python bench/quality.py --markdown              # the same as Markdown tables
    python bench/quality.py --robust --cache peers.json          # robust table only
    python bench/quality.py --robust --cache peers.json --only sine-up15,surface
    python bench/quality.py --robust --repeats 3 --cache peers.json

From Python (from the repository root):

    import bench.quality as q
    for case in q.cases(seed=0, only=["sine"]):
        print(case.name, q.score(q.dorv_model(), case))
"""

from __future__ import annotations

import argparse
import json
import time
import warnings
import zlib
from dataclasses import dataclass
from math import comb
from pathlib import Path
from typing import Callable, Iterator

import numpy as np
import pandas as pd
from numpy.polynomial import Polynomial
from sklearn.base import BaseEstimator, RegressorMixin, clone
from sklearn.datasets import load_diabetes
from sklearn.linear_model import (HuberRegressor, LinearRegression, RANSACRegressor, RidgeCV)
from sklearn.model_selection import GridSearchCV, KFold
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import MinMaxScaler, PolynomialFeatures
from threadpoolctl import threadpool_limits

import dorv

DEGREES = range(1, 13)
NOISE = 0.05
CACHE_VERSION = 1


class BICPolynomial(RegressorMixin, BaseEstimator):
    """Least-squares polynomial of the total degree of lowest BIC."""

    def fit(self, X, y):
        n, d = X.shape
        best = None
        for degree in DEGREES:
            if d == 1:
                model = Polynomial.fit(X[:, 0], y, degree)
                k, rss = degree + 1, np.sum((model(X[:, 0]) - y) ** 2)
            else:
                model = make_pipeline(MinMaxScaler((-1, 1)), PolynomialFeatures(degree),
                                      LinearRegression(fit_intercept=False)).fit(X, y)
                k, rss = model[1].n_output_features_, np.sum((model.predict(X) - y) ** 2)
            if k >= n:
                break
            bic = n * np.log(rss / n) + k * np.log(n)
            if best is None or bic < best[0]:
                best = (bic, degree, model)
        _, self.degree_, self.model_ = best
        return self

    def predict(self, X):
        return self.model_(X[:, 0]) if X.shape[1] == 1 else self.model_.predict(X)


class TukeyRLM(RegressorMixin, BaseEstimator):
    """statsmodels' RLM with Tukey's biweight, an intercept added."""

    def fit(self, X, y):
        import statsmodels.api as sm

        A = np.column_stack([np.ones(len(X)), X])
        result = sm.RLM(y, A, M=sm.robust.norms.TukeyBiweight()).fit()
        self.coef_, self.weights_ = result.params, result.weights
        return self

    def predict(self, X):
        return self.coef_[0] + X @ self.coef_[1:]


class CVDegree(RegressorMixin, BaseEstimator):
    """`regressor` on PolynomialFeatures of inputs mapped onto [-1, 1], the total degree chosen
    by 5-fold CV of the median absolute held-out error."""

    def __init__(self, regressor=None):
        self.regressor = regressor

    def fit(self, X, y):
        n, d = X.shape
        degrees = [g for g in DEGREES if 2 * comb(d + g, g) <= 0.8 * n] or [1]
        pipe = make_pipeline(MinMaxScaler((-1, 1)), PolynomialFeatures(include_bias=False),
                             clone(self.regressor))
        search = GridSearchCV(pipe, {"polynomialfeatures__degree": degrees},
                              scoring="neg_median_absolute_error", error_score=-np.inf,
                              cv=KFold(5, shuffle=True, random_state=0))
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            self.search_ = search.fit(X, y)
        self.degree_ = search.best_params_["polynomialfeatures__degree"]
        return self

    def predict(self, X):
        return self.search_.predict(X)

    @property
    def inlier_mask_(self):
        last = self.search_.best_estimator_[-1]
        if isinstance(last, RANSACRegressor):
            return last.inlier_mask_
        if isinstance(last, HuberRegressor):
            return ~last.outliers_
        return last.weights_ > 0


class InSampleMDL(RegressorMixin, BaseEstimator):
    """The former rule of the main job, for comparison (one input only): the degree from 1 to
    12 of lowest MDL on the training data itself, no sampler."""

    def fit(self, X, y):
        x = X[:, 0]
        self.center_, self.half_ = 0.5 * (x.max() + x.min()), 0.5 * (x.max() - x.min())
        self.loc_, self.scale_ = np.median(y), dorv.mad(y) or 1.0
        t, z = (x - self.center_) / self.half_, (y - self.loc_) / self.scale_
        fits = []
        for degree in DEGREES:
            Phi = dorv.design_matrix_1d(degree, t)
            R1, R2 = dorv.smoothness_penalty_matrices_1d(degree, -1.0, 1.0)
            beta = dorv.fit_regularized_linear(Phi, z, R1, R2, 0.0, 1e-6)
            fits.append((dorv.mdl_score_reg(Phi @ beta, z, degree + 1, 20, beta, R1, R2, 0.0,
                                            1e-6), degree, beta))
        _, self.degree_, self.beta_ = min(fits, key=lambda f: f[0])
        return self

    def predict(self, X):
        t = (X[:, 0] - self.center_) / self.half_
        return self.loc_ + self.scale_ * (dorv.design_matrix_1d(self.degree_, t) @ self.beta_)


def dorv_model(loss=None):
    """The estimator with its defaults; `loss` is passed only if given and the estimator has it."""
    model = dorv.MDLPolynomialRegressor(random_state=0)
    if loss is not None and "loss" in model.get_params():
        model.set_params(loss=loss)
    return model


def ridge_cv():
    pipe = make_pipeline(MinMaxScaler((-1, 1)), PolynomialFeatures(),
                         RidgeCV(alphas=np.logspace(-8, 2, 11)))
    return GridSearchCV(pipe, {"polynomialfeatures__degree": list(DEGREES)}, cv=5)


# ---------------------------------------------------------------------------------------------
# Robust table: cases with a known truth

ROBUST_PEERS = {
    "Huber": lambda: CVDegree(HuberRegressor(epsilon=1.35, alpha=0.0, max_iter=1000)),
    "RANSAC": lambda: CVDegree(RANSACRegressor(random_state=0)),
    "RLM Tukey": lambda: CVDegree(TukeyRLM()),
}
PEER_MODELS = {"least squares, BIC": BICPolynomial, **ROBUST_PEERS}


@dataclass
class Case:
    """A data set with its truth: `truth(X)` the noise-free response, `grid` the points the
    error is measured on, `noise` the sd of the clean noise."""

    name: str
    X: np.ndarray
    y: np.ndarray
    truth: Callable[[np.ndarray], np.ndarray]
    grid: np.ndarray
    noise: float = NOISE

    @property
    def outliers(self):
        """Points more than 5 noise sds off the truth."""
        return np.abs(self.y - self.truth(self.X)) > 5.0 * self.noise


def damped_sine(X):
    return 1.5 + 2.0 * np.exp(-X[:, 0] / 5.0) * np.sin(1.1 * X[:, 0])


def logistic(X):
    return 1.0 / (1.0 + np.exp(-3.0 * X[:, 0]))


def runge(X):
    return 1.0 / (1.0 + 5.0 * X[:, 0] ** 2)


def surface(X):
    u, v = X[:, 0], X[:, 1]
    return 1.0 + 0.5 * u - 0.3 * v**2 + np.sin(1.2 * u) * np.cos(0.8 * v)


def three_inputs(X):
    a, b, c = X.T
    return np.sin(1.3 * a) * np.cos(0.7 * b) + 0.4 * b * c + np.exp(-0.5 * c)


# name: (truth, box of the inputs, n, contamination kind, fraction)
SYNTHETIC = {
    "sine-clean": (damped_sine, [(0, 10)], 300, None, 0.0),
    "sine-uniform10": (damped_sine, [(0, 10)], 300, "uniform", 0.10),
    "sine-uniform20": (damped_sine, [(0, 10)], 300, "uniform", 0.20),
    "sine-uniform30": (damped_sine, [(0, 10)], 300, "uniform", 0.30),
    "sine-uniform40": (damped_sine, [(0, 10)], 300, "uniform", 0.40),
    "sine-up15": (damped_sine, [(0, 10)], 300, "up", 0.15),
    "sine-up30": (damped_sine, [(0, 10)], 300, "up", 0.30),
    "logistic-uniform20": (logistic, [(-3, 3)], 300, "uniform", 0.20),
    "runge-uniform20": (runge, [(-1, 1)], 300, "uniform", 0.20),
    "surface-clean": (surface, [(0, 4), (-1, 2)], 600, None, 0.0),
    "surface-uniform20": (surface, [(0, 4), (-1, 2)], 600, "uniform", 0.20),
    "3d-uniform20": (three_inputs, [(0, 3), (-1, 1), (0, 2)], 800, "uniform", 0.20),
}
CASE_NAMES = [*SYNTHETIC, "co2-glitch15"]


def grid_over(X):
    """A dense grid over the box the inputs span: 1000 points, 50 x 50 or 20^3."""
    d = X.shape[1]
    axes = [np.linspace(lo, hi, {1: 1000, 2: 50}.get(d, 20))
            for lo, hi in zip(X.min(axis=0), X.max(axis=0))]
    return np.stack(np.meshgrid(*axes, indexing="ij"), axis=-1).reshape(-1, d)


def contaminate(y, rng, kind, fraction):
    y = y.copy()
    if kind is None:
        return y
    hit = rng.choice(len(y), int(round(fraction * len(y))), replace=False)
    if kind == "uniform":
        y[hit] = rng.uniform(y.min() - 2.0, y.max() + 2.0, hit.size)
    else:
        y[hit] += rng.uniform(1.0, 3.0, hit.size)
    return y


def synthetic_case(name, seed):
    truth, box, n, kind, fraction = SYNTHETIC[name]
    rng = np.random.default_rng([seed, zlib.crc32(name.encode())])
    low, high = np.array(box, float).T
    X = rng.uniform(low, high, (n, len(box)))
    y = contaminate(truth(X) + rng.normal(0.0, NOISE, n), rng, kind, fraction)
    return Case(name, X, y, truth, grid_over(X))


def co2_case(seed):
    """Monthly means of the CO2 record against time; the truth is the BIC polynomial of the
    clean series, 15 % of the months glitch by ±U(3, 10) residual sds."""
    d = statsmodels_data("co2").resample("MS").mean().dropna()
    X = (d.index.year + (d.index.month - 0.5) / 12.0).to_numpy(float)[:, None]
    clean = d["co2"].to_numpy()
    reference = BICPolynomial().fit(X, clean)
    noise = 1.4826 * np.median(np.abs(clean - reference.predict(X)))
    rng = np.random.default_rng([seed, zlib.crc32(b"co2-glitch15")])
    hit = rng.choice(len(clean), int(round(0.15 * len(clean))), replace=False)
    y = clean.copy()
    y[hit] += rng.choice([-1.0, 1.0], hit.size) * rng.uniform(3.0, 10.0, hit.size) * noise
    return Case("co2-glitch15", X, y, reference.predict, grid_over(X), noise)


def selected(name, only):
    return only is None or any(name == o or name.startswith(o) for o in only)


def cases(seed=0, only=None) -> Iterator[Case]:
    """The robust cases for one seed; `only`: names or name prefixes ("sine", "surface-clean")."""
    for name in CASE_NAMES:
        if selected(name, only):
            yield co2_case(seed) if name == "co2-glitch15" else synthetic_case(name, seed)


def score(model, case):
    """Fit a clone of `model` to the case: error against the truth on the grid, fit seconds,
    and for a model with `inlier_mask_` the share of outliers flagged and of the others kept.
    NumPy's BLAS runs on one thread: on these small problems more threads only wait."""
    model = clone(model)
    start = time.perf_counter()
    with warnings.catch_warnings(), threadpool_limits(1, user_api="blas"):
        warnings.simplefilter("ignore")
        model.fit(case.X, case.y)
    seconds = time.perf_counter() - start
    error = grid_error(model, case)
    row = {"error": error, "seconds": seconds, "flagged": None, "kept": None,
           "sampler": sampler_gain(model, case, error)}
    try:
        inlier = np.asarray(model.inlier_mask_, bool)
    except AttributeError:
        return row
    out = case.outliers
    row["flagged"] = float(np.mean(~inlier[out])) if out.any() else None
    row["kept"] = float(np.mean(inlier[~out]))
    return row


def grid_error(model, case):
    return float(np.sqrt(np.mean((model.predict(case.grid) - case.truth(case.grid)) ** 2)))


def sampler_gain(model, case, error):
    """For an estimator whose sampler's model was kept: the relative change of the error that
    the sampler brought (the same fit without it as reference); None otherwise."""
    outcome = getattr(model, "sampler_", None)
    if not (isinstance(outcome, dict) and outcome.get("kept")
            and "refine" in model.get_params()):
        return None
    with warnings.catch_warnings(), threadpool_limits(1, user_api="blas"):
        warnings.simplefilter("ignore")
        plain = clone(model).set_params(refine=False).fit(case.X, case.y)
    return error / grid_error(plain, case) - 1.0


def load_cache(path):
    if path is None or not Path(path).exists():
        return {}
    data = json.loads(Path(path).read_text())
    return data["results"] if data.get("version") == CACHE_VERSION else {}


def save_cache(path, results):
    if path is not None:
        Path(path).write_text(json.dumps({"version": CACHE_VERSION, "results": results},
                                          indent=1))


def robust_results(seeds, only=None, cache=None, loss=None, progress=True):
    """One row per case, seed and model: error, seconds, flagged, kept. The peers' rows come
    from the cache file when it has them."""
    stored = load_cache(cache)
    rows = []
    for seed in seeds:
        for case in cases(seed, only):
            key = f"{case.name}|{seed}"
            cached = key in stored
            if not cached:
                stored[key] = {label: score(make(), case) for label, make in PEER_MODELS.items()}
                save_cache(cache, stored)
            results = {"dorv": score(dorv_model(loss), case), **stored[key]}
            for label, result in results.items():
                rows.append({"case": case.name, "seed": seed, "model": label,
                             "cached": cached and label != "dorv", **result})
            if progress:
                print(f"  {key}: " + ", ".join(f"{m} {r['error']:.4g}"
                                               for m, r in results.items())
                      + (" (peers from the cache)" if cached else ""), flush=True)
    return pd.DataFrame(rows).astype({"flagged": float, "kept": float, "sampler": float})


def robust_table(results):
    """Mean over the seeds per case: errors, dorv / best peer, dorv's outlier shares, times."""
    errors = results.pivot_table(index=["case", "seed"], columns="model", values="error")
    peers = list(PEER_MODELS)
    per_seed_ratio = errors["dorv"] / errors[peers].min(axis=1)
    mean = results.groupby(["case", "model"], sort=False)[["error", "seconds", "flagged",
                                                           "kept"]].mean().unstack("model")
    dorv_rows = results[results["model"] == "dorv"].groupby("case")["sampler"]
    order = [c for c in CASE_NAMES if c in mean.index]
    models = ["dorv", *peers]
    table = mean["error"].loc[order, models].copy()
    table["best peer"] = table[peers].idxmin(axis=1)
    table["dorv / best"] = table["dorv"] / table[peers].min(axis=1)
    table["worst seed"] = per_seed_ratio.groupby(level="case").max().loc[order]
    table["flagged"] = mean["flagged"].loc[order, "dorv"]
    table["kept"] = mean["kept"].loc[order, "dorv"]
    table["sampler kept"] = dorv_rows.count().loc[order]
    table["sampler gain"] = dorv_rows.mean().loc[order]
    times = mean["seconds"].loc[order, models]
    return table, times


def fmt(value, pattern):
    return "" if value is None or pd.isna(value) else format(value, pattern)


def print_robust(results, markdown):
    table, times = robust_table(results)
    models = ["dorv", *PEER_MODELS]
    repeats = results["seed"].nunique()
    errors = pd.DataFrame({m: table[m].map(lambda v: fmt(v, ".4f")) for m in models})
    errors["best peer"] = table["best peer"]
    errors["dorv / best"] = table["dorv / best"].map(lambda v: fmt(v, ".2f"))
    if repeats > 1:
        errors["worst seed"] = table["worst seed"].map(lambda v: fmt(v, ".2f"))
    errors["flagged"] = table["flagged"].map(lambda v: fmt(v, ".1%"))
    errors["kept"] = table["kept"].map(lambda v: fmt(v, ".1%"))
    errors["sampler"] = [f"{k} of {repeats}, {g:+.1%}" if k else ""
                         for k, g in zip(table["sampler kept"], table["sampler gain"])]
    seconds = times.map(lambda v: f"{v:.3f}")
    total = times.sum()
    robust = total[list(ROBUST_PEERS)]
    summary = (f"all fits: dorv {total['dorv']:.2f} s, fastest robust peer ({robust.idxmin()}) "
               f"{robust.min():.2f} s -> {robust.min() / total['dorv']:.1f}x (target >= 10x); "
               f"dorv / best peer <= 1.1 on {int((table['dorv / best'] <= 1.1).sum())} of "
               f"{len(table)} cases" + (f", mean of {repeats} seeds" if repeats > 1 else "")
               + ("; the peers' times come from the cache" if results["cached"].any() else ""))
    seconds.loc["total"] = total.map(lambda v: f"{v:.2f}")
    print_frame("Error against the truth (RMS on the grid)", errors, markdown)
    print_frame("Seconds per fit", seconds, markdown)
    print(("\n" if markdown else "") + summary)


def print_frame(title, frame, markdown):
    frame = frame.rename_axis("case").reset_index()
    print()
    if not markdown:
        print(title)
        print(frame.to_string(index=False))
        return
    print(f"{title}:\n")
    print("| " + " | ".join(frame.columns) + " |")
    print("|" + "".join("---|" if c in ("case", "best peer") else "---:|" for c in frame.columns))
    for row in frame.itertuples(index=False):
        print("| " + " | ".join(str(v) for v in row) + " |")


# ---------------------------------------------------------------------------------------------
# Real-data table: cross-validated R²


def statsmodels_data(name):
    import statsmodels.api as sm

    return getattr(sm.datasets, name).load_pandas().data


def co2():
    """Weekly CO2 record, 1958-2001: time (decimal years) and, for two inputs, the phase of the
    year; gaps dropped."""
    d = statsmodels_data("co2").dropna()
    t = d.index.year + (d.index.day_of_year - 1) / 365.25
    return np.column_stack([t, t % 1.0]), d["co2"].to_numpy()


def elnino():
    """Monthly sea surface temperature 1950-2010 by year and month."""
    d = statsmodels_data("elnino").set_index("YEAR").stack()
    X = np.column_stack([d.index.get_level_values(0), np.tile(np.arange(1.0, 13.0), len(d) // 12)])
    return X, d.to_numpy()


def xy(name, x, y):
    d = statsmodels_data(name)
    return d[[x]].to_numpy(float), d[y].to_numpy(float)


def diabetes(columns):
    data = load_diabetes(as_frame=True)
    return data.data[columns].to_numpy(), data.target.to_numpy(float)


DATASETS = {
    "CO2 (time)": lambda: (co2()[0][:, :1], co2()[1]),
    "sunspots (year)": lambda: xy("sunspots", "YEAR", "SUNACTIVITY"),
    "Nile flow (year)": lambda: xy("nile", "year", "volume"),
    "Engel (income)": lambda: xy("engel", "income", "foodexp"),
    "diabetes (bmi)": lambda: diabetes(["bmi"]),
    "CO2 (time, phase)": co2,
    "El Nino (year, month)": elnino,
    "diabetes (bmi, s5)": lambda: diabetes(["bmi", "s5"]),
    "diabetes (bmi, bp, s5)": lambda: diabetes(["bmi", "bp", "s5"]),
}

MODELS = {
    "dorv MDL": dorv_model,
    "least squares, BIC": BICPolynomial,
    "ridge, CV": ridge_cv,
    "in-sample MDL": InSampleMDL,
}
PEERS = ["least squares, BIC", "ridge, CV"]


def evaluate(model, X, y, folds):
    r2, mae, at_limit = [], [], 0
    for train, test in folds:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always", dorv.DegreeLimitWarning)
            fitted = clone(model).fit(X[train], y[train])
        at_limit += any(issubclass(w.category, dorv.DegreeLimitWarning) for w in caught)
        p = fitted.predict(X[test])
        r2.append(1.0 - np.sum((y[test] - p) ** 2) / np.sum((y[test] - y[test].mean()) ** 2))
        mae.append(np.median(np.abs(y[test] - p)))
    return float(np.mean(r2)), float(np.mean(mae)), at_limit


def real_data_table(markdown, loss=None):
    print()
    rows = []
    for name, load in DATASETS.items():
        X, y = load()
        folds = list(KFold(5, shuffle=True, random_state=1).split(X))
        row = {"data": name, "n": len(y), "d": X.shape[1]}
        for label, make in MODELS.items():
            if label == "in-sample MDL" and X.shape[1] > 1:
                row[label] = None
                continue
            start = time.perf_counter()
            row[label] = evaluate(make(loss) if label == "dorv MDL" else make(), X, y, folds)
            row[label + " s"] = time.perf_counter() - start
        rows.append(row)
        print_row(row, markdown, first=len(rows) == 1)


def r2(value):
    return f"{value:.3f}" if value > -10 else f"{value:.2g}"


def print_row(row, markdown, first):
    labels = list(MODELS)
    peers = [row[label][0] for label in PEERS]
    ours = row[labels[0]]

    def cell(m):
        return "" if row[m] is None else f"{r2(row[m][0])} ({row[m][1]:.3g})"

    gap = ours[0] - max(peers)
    if markdown:
        if first:
            print("| data | n | d | " + " | ".join(f"{m} R² (MAE)" for m in labels)
                  + " | dorv − best peer | dorv at max degree |")
            print("|---|---:|---:|" + "---:|" * (len(labels) + 1) + "---:|")
        cells = [cell(m) for m in labels]
        limit = f"{ours[2]} of 5 folds" if ours[2] else ""
        print(f"| {row['data']} | {row['n']} | {row['d']} | " + " | ".join(cells)
              + f" | {gap:+.3f} | {limit} |")
        return
    if first:
        print(f"{'data':<24}{'n':>6}{'d':>3}" + "".join(f"{m:>26}" for m in labels)
              + f"{'dorv - best':>13}")
        print(f"{'':<33}" + f"{'R2 (median abs err)':>26}" * len(labels) + f"{'peer R2':>13}")
    cells = "".join(f"{cell(m):>26}" for m in labels)
    note = f"  at max degree in {ours[2]} of 5 folds" if ours[2] else ""
    print(f"{row['data']:<24}{row['n']:>6}{row['d']:>3}{cells}{gap:>+13.3f}{note}", flush=True)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--markdown", action="store_true", help="print Markdown tables")
    ap.add_argument("--robust", action="store_true", help="only the robust table")
    ap.add_argument("--only", help="robust cases, comma-separated names or prefixes "
                    f"(implies --robust): {', '.join(CASE_NAMES)}")
    ap.add_argument("--repeats", type=int, default=1, help="seeds 0 .. R-1 (default 1)")
    ap.add_argument("--cache", help="JSON file keeping the peers' results of the robust table")
    ap.add_argument("--loss", help="the estimator's loss, if it has that parameter")
    args = ap.parse_args()
    if args.repeats < 1:
        ap.error(f"--repeats: at least 1, got {args.repeats}")
    only = args.only.split(",") if args.only else None
    if only and not any(selected(name, only) for name in CASE_NAMES):
        ap.error(f"--only: no case matches {args.only!r}")
    results = robust_results(range(args.repeats), only, args.cache, args.loss)
    print_robust(results, args.markdown)
    if not (args.robust or only):
        real_data_table(args.markdown, args.loss)


if __name__ == "__main__":
    main()
