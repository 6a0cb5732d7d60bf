#!/usr/bin/env python3
"""Model quality of MDLPolynomialRegressor on real data against two peers a user would reach for.

Every model is judged by 5-fold cross-validation (the same shuffled folds for all): the mean
held-out R² and the median absolute error on the held-out points (in units of y). The peers
choose their degree on the training folds only:

- least squares, BIC: the polynomial of the degree of lowest BIC, n ln(RSS / n) + k ln(n), among
  degrees 1 to 12 (numpy.polynomial.Polynomial.fit in one variable; PolynomialFeatures of that
  total degree and LinearRegression in several, inputs mapped onto [-1, 1] first);
- ridge, CV: MinMaxScaler onto [-1, 1], PolynomialFeatures and RidgeCV, the degree chosen by an
  inner 5-fold grid search over 1 to 12.

A last column shows, for one input, the degree of lowest MDL on the training data itself (the
main job's former rule), for comparison.

The data sets ship inside scikit-learn and statsmodels (nothing is downloaded). Needs
statsmodels and pandas besides dorv:

    python bench/quality.py            # the table, a minute or two
    python bench/quality.py --markdown # the same as a Markdown table
"""

from __future__ import annotations

import argparse
import time
import warnings

import numpy as np
from numpy.polynomial import Polynomial
from sklearn.base import BaseEstimator, RegressorMixin, clone
from sklearn.datasets import load_diabetes
from sklearn.linear_model import LinearRegression, RidgeCV
from sklearn.model_selection import GridSearchCV, KFold
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import MinMaxScaler, PolynomialFeatures

import dorv

DEGREES = range(1, 13)


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


def ridge_cv():
    pipe = make_pipeline(MinMaxScaler((-1, 1)), PolynomialFeatures(),
                         RidgeCV(alphas=np.logspace(-8, 2, 11)))
    return GridSearchCV(pipe, {"polynomialfeatures__degree": list(DEGREES)}, cv=5)


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
    "dorv MDL": lambda: dorv.MDLPolynomialRegressor(random_state=0),
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


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--markdown", action="store_true", help="print a Markdown table")
    args = ap.parse_args()
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
            row[label] = evaluate(make(), X, y, folds)
            row[label + " s"] = time.perf_counter() - start
        rows.append(row)
        print_row(row, args.markdown, first=len(rows) == 1)


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


if __name__ == "__main__":
    main()
