"""A scikit-learn regressor on polynomial bases, robust to gross outliers, whose degrees are
chosen by minimum description length (MDL), judged on held-out points.

The model of ``MDLPolynomialRegressor`` for d input variables is a polynomial in the mapped
inputs,

    y = sum over multi-indices m of coef_[m] * t_0**m_0 * ... * t_(d-1)**m_(d-1),

where t_j = (x_j - x_center_[j]) / x_scale_[j] maps the training range of variable j onto
[-1, 1], over the monomials of a tensor-product basis with one maximum exponent per variable
(``degrees_``), or, in several variables, over those of them whose total degree is at most the
highest of the degrees (``total_degree_``; the polynomials of a total degree, as a user of
``PolynomialFeatures`` knows them, where the tensor product would spend coefficients on high
products). Fitting works on the standardised targets z = (y - median(y)) / mad(y), so that the
default penalty weights suit data of any scale; ``coef_`` is given back in units of y.

Robust fitting
--------------
With the default ``loss="biweight"`` every fit is an MM-estimate (``dorv.fit_robust_linear``):
a high-breakdown start from random elemental subsets, then iteratively reweighted least squares
with Tukey's biweight at the start's robust scale. Up to about half the points may be gross
outliers (a glitching sensor, a mistyped value, a second population); on clean Gaussian noise
the fit keeps about 95 % of the efficiency of least squares. ``scale_`` is the noise level of
the inliers and ``inlier_mask_`` marks the points within 3 scales of the model.
``loss="squared_error"`` fits by penalised least squares, as a plain polynomial fit does.

Choosing the degrees
--------------------
Each candidate basis is fitted on all the data (its MDL, hit rate and residual RMS) and, for
the held-out judgement, once per fold of a ``cv``-fold split; a robust fold fit starts from the
fit on all the data and keeps its scale. The out-of-fold predictions give a held-out figure and
a held-out MDL (the same score with the hit rate counted on points the fit did not see). The
held-out figure is the RMS of the held-out residuals; for the robust loss each residual counts
at most ``CAP`` reference scales, the reference being the smallest inlier scale of any
candidate's held-out residuals, so that an outlier weighs the same for every candidate and no
more than a point that a poor model misses by a few noise levels. On noisy data the in-sample
hit rate rewards degrees that chase the noise; held out, such a fit misses more points, not
fewer.

The candidates are visited along a path rather than over the full grid (13**3 = 2197 tuples at
d = 3 and degree 12): starting from the constant model, every step tries raising the degree of
each variable by one and, for d >= 2, of all variables at once (a product such as x0 * x1
gains nothing from either alone), each as a tensor product and with its total degree bounded;
where none of these makes progress, it also tries raising each by two (an even dependence such
as x**2 gains nothing from an odd degree, an odd one little from an even degree). Progress is
a fall of the best held-out mean square by 2 ``MIN_GAIN`` of the reference mean square (the
noise for the robust loss, the best held-out mean square for least squares) or, for the robust
loss, a fall of the smallest in-sample inlier scale by ``SCALE_GAIN`` (with many outliers a low
degree explains too few points for the held-out figure to tell such candidates apart). The path
moves to the tried neighbour of the lowest held-out figure and ends when no neighbour is left
(every degree at its limit, or fewer than ``POINTS_PER_COEF`` training points per coefficient)
or after ``PATIENCE`` steps without progress. In one variable it is the plain scan of degrees
0, 1, 2, ... up to a few past the best.

Among the candidates as good as the best on held-out points, least squares chooses the one of
lowest held-out MDL (ties go to fewer coefficients): the model that predicts unseen points about
as well as any, and of those the shortest description. As good means a held-out mean square
above the best by at most 2 ``RMS_TOLERANCE`` of it and at most ``R2_TOLERANCE`` of the
variance of the targets. The robust loss chooses the one of fewest coefficients (ties go to the
lower held-out MDL), as good meaning that the excess of its capped held-out squares over the
best candidate's is on average within ``STANDARD_ERRORS`` standard errors of that mean over the
folds: a difference that the noise and the choice of folds alone would make. (The held-out hit
rate of a robust fit moves with a few points near the tolerance, more than the length of the
description.)

With more than ``SEARCH_ROWS`` samples the degrees are chosen on a fixed random subsample of
that many, and the chosen basis is then fitted to all the samples (for the robust loss from the
subsample's fit).

The sampler
-----------
With ``refine=True`` the tournament sampler, whose energy is the MDL score, starts from the
chosen fit (on at most ``SAMPLER_ROWS`` rows) and looks for more hits. For the robust loss it
runs only where it can pay: where at least ``SAMPLER_MISSES`` of the inliers of the fit are not
hits (where nearly every inlier is a hit already, more hits could only be outliers). Its model
replaces the fit only where it is really better: it hits more points at a lower MDL on the
whole data with a held-out figure as good (in the sense above, on the training residuals), and,
run again without one fold, it predicts that fold with at least as many hits as the fit of the
same points and a held-out figure as good. More hits alone are not enough: on noisy data the
sampler buys them with larger residuals elsewhere.
"""

from __future__ import annotations

import functools
import numbers
import warnings
from dataclasses import dataclass
from typing import TYPE_CHECKING

import numpy as np
import numpy.polynomial.polynomial as P
import numpy.typing as npt
from numpy.polynomial import Polynomial
from sklearn.base import BaseEstimator, RegressorMixin
from sklearn.model_selection import KFold
from sklearn.utils import check_random_state
from sklearn.utils._param_validation import Interval, StrOptions
from sklearn.utils.validation import _check_sample_weight, check_is_fitted, validate_data
from threadpoolctl import ThreadpoolController

import dorv_core as dc
from dorv._rules import EXTRAPOLATION_MARGIN, MAX_DEGREE, hit_tolerance

if TYPE_CHECKING:
    import pandas as pd

Array = npt.NDArray[np.float64]
Degrees = tuple[int, ...]

LOSSES = ("biweight", "squared_error")
RMS_TOLERANCE = 0.02  # relative held-out RMS within which candidates count as equally good
STANDARD_ERRORS = 0.5  # robust loss: held-out excess within this many standard errors
R2_TOLERANCE = 0.002  # held-out mean square error, as a fraction of var(y), ditto
MIN_GAIN = RMS_TOLERANCE  # relative fall of the best held-out RMS that counts as progress
POINTS_PER_COEF = 4  # training points per coefficient at least
MAX_COEFS = 120  # and no basis of more coefficients
FOLD_SEED = 0  # the held-out folds are fixed, so that only the sampler depends on random_state
SOLVER_SEED = 0  # so are the robust solver's elemental subsets
START_SUBSETS = 100  # random elemental subsets of a robust fit from scratch
MORE_SUBSETS = 10  # and of one that also starts from the fit of a smaller basis,
MORE_SUBSETS_WORK = 200  # fewer above 20 coefficients: at most this many over the count
CAP = 3.0  # a held-out residual counts at most CAP reference scales
INLIER_SCALES = 3.0  # points farther than this many scales from the fit are outliers
PATIENCE = (2, 1)  # steps without progress that end the path, in one variable and in several
SCALE_GAIN = 0.05  # relative fall of the smallest inlier scale that counts as progress too
SEARCH_ROWS = 5000  # above this many samples, the degrees are chosen on a subsample
FOLD_STEPS = 5  # reweighting steps of a fold's fit from the fit on all rows, at most
POLISH_STEPS = 10  # and the subsample's fit polished on all of them by this many steps at most
SAMPLER_ROWS = 2000  # and the sampler runs on one of at most this many rows
SAMPLER_MISSES = 0.05  # robust loss: the sampler runs where this share of inliers are misses
BIWEIGHT_C = 4.685  # tuning constant of the robust fit's M-step (95 % efficiency)
INTERVAL_KINDS = ("observation", "mean")


class DegreeLimitWarning(UserWarning):
    """The chosen degree of a variable is the highest allowed: a higher one might fit better."""


class ExtrapolationWarning(UserWarning):
    """Points to predict lie outside the training range of an input, where a polynomial can
    take any value."""


@dataclass
class _Basis:
    """Design matrix and penalties of one tuple of degrees on the mapped training inputs."""

    degrees: Degrees
    total: int | None  # highest total degree, None for the tensor product
    multi_indices: npt.NDArray[np.int64]  # (M, d)
    Phi: Array  # (n, M)
    R1: Array  # (M, M)
    R2: Array  # (M, M)


@dataclass
class _Fit:
    """Coefficients of one fit and, for the robust loss, the residual scale of its inliers."""

    beta: Array  # (M)
    scale: float | None = None


def _design(multi_indices: npt.NDArray[np.int64], T: Array) -> Array:
    if T.shape[1] == 1:
        return dc.design_matrix_1d(int(multi_indices[-1, 0]), T[:, 0])
    return dc.design_matrix_nd(multi_indices.tolist(), list(T.T))


def _basis(degrees: Degrees, T: Array, total: int | None = None) -> _Basis:
    """The basis of the monomials with exponents up to `degrees` and, where `total` is given,
    of total degree up to `total`; the penalties are those of the tensor-product basis restricted
    to these monomials."""
    if len(degrees) == 1:
        R1, R2 = dc.smoothness_penalty_matrices_1d(degrees[0], -1.0, 1.0)
        mi = np.arange(degrees[0] + 1, dtype=np.int64)[:, None]
    else:
        R1, R2, indices = dc.build_penalty_matrices_nd(list(degrees), [(-1.0, 1.0)] * len(degrees))
        mi = np.array(indices, dtype=np.int64)
        if total is not None:
            keep = mi.sum(axis=1) <= total
            mi, R1, R2 = mi[keep], R1[np.ix_(keep, keep)], R2[np.ix_(keep, keep)]
    return _Basis(degrees, total, mi, _design(mi, T), R1, R2)


def _bases(degrees: Degrees) -> list[tuple[Degrees, int | None]]:
    """The bases tried for one tuple of degrees: the tensor product and, in several variables,
    the polynomials of total degree up to the highest of the degrees, where that is smaller."""
    if len(degrees) == 1 or sum(degrees) <= max(degrees):
        return [(degrees, None)]
    return [(degrees, None), (degrees, max(degrees))]


def _count(degrees: Degrees, total: int | None) -> int:
    """Number of monomials of a basis."""
    grid = np.indices(np.add(degrees, 1)).reshape(len(degrees), -1)
    return int(grid.shape[1] if total is None else np.count_nonzero(grid.sum(axis=0) <= total))


def _embed(fit: dict, basis: _Basis) -> Array:
    """Coefficients of an earlier candidate as coefficients of a larger basis (zeros for the
    monomials it lacked)."""
    old = {tuple(m): b for m, b in zip(fit["multi_indices"].tolist(), fit["fit"].beta)}
    return np.array([old.get(tuple(m), 0.0) for m in basis.multi_indices.tolist()])


def _more_subsets(p: int) -> int:
    """Random elemental subsets beside a start from a smaller basis: fewer for larger bases,
    where a subset of p rows is rarely free of outliers and costs p**3."""
    return max(1, min(MORE_SUBSETS, MORE_SUBSETS_WORK // max(p, 1)))


def _rms(residuals: Array) -> float:
    return float(np.sqrt(np.mean(residuals**2)))


def _inlier_scale(residuals: Array) -> float:
    """Standard deviation of the residuals of the inliers, consistent for Gaussian noise: from
    1.4826 median |r|, a few steps of s <- RMS of the residuals within INLIER_SCALES s, corrected
    for the cut of the normal tails."""
    r = np.abs(residuals)
    s = 1.4826 * float(np.median(r))
    for _ in range(10):
        inside = r[r < INLIER_SCALES * s]
        if inside.size == 0:
            break
        s = float(np.sqrt(np.mean(inside**2) / 0.97334))
    return s


def _capped_squares(residuals: Array, scale: float) -> Array:
    """Squares of the residuals, each at most that of CAP scales: one gross outlier then weighs
    no more than any other point that the model misses."""
    cap = CAP * scale
    return np.minimum(residuals**2, cap * cap)


def _t(j: int, d: int) -> str:
    return "t" if d == 1 else f"t{j}"


def _monomial(m) -> str:
    """Name of the monomial of exponents m in the mapped inputs, e.g. "1", "t^2", "t0*t1^3"."""
    d = len(m)
    parts = [_t(j, d) + (f"^{k}" if k > 1 else "") for j, k in enumerate(m) if k > 0]
    return "*".join(parts) or "1"


@dataclass
class Summary:
    """``MDLPolynomialRegressor.summary()``: the coefficients in a ``pandas.DataFrame``, the
    figures of the fit in a dict and the maps of the inputs; ``str()`` gives the text form."""

    coefficients: pd.DataFrame
    info: dict
    maps: list[str]

    def __str__(self) -> str:
        def shown(v):
            if isinstance(v, float):
                return f"{v:.4g}"
            if isinstance(v, tuple):
                return ",".join(map(str, v))
            return "-" if v is None else str(v)

        items = [f"{k:<16}{shown(v):>14}" for k, v in self.info.items()]
        half = (len(items) + 1) // 2
        left, right = items[:half], items[half:] + [""]
        lines = [f"{a}    {b}".rstrip() for a, b in zip(left, right)]
        table = self.coefficients.to_string(float_format=lambda v: f"{v:.6g}")
        rule = "=" * max(len(line) for line in lines + table.splitlines())
        return "\n".join(["MDLPolynomialRegressor results", rule, *lines,
                          "inputs mapped: " + "; ".join(self.maps), rule, table, rule])

    def __repr__(self) -> str:
        return str(self)


def _coef_cov(problem: _Problem, basis: _Basis, beta: Array, scale: float) -> Array:
    """Covariance (M, M) of coefficients for z. For the robust loss: the sandwich A^-1 B A^-1
    of the biweight M-estimator at `scale`, A = Phi' diag(psi'(r/s)) Phi + P and B = s^2 Phi'
    diag(psi(r/s)^2 / (1 - h)) Phi, each point's term corrected for its leverage h as in the
    HC2 form of least squares (the ends of a polynomial's range have high leverage). For least
    squares: (Phi'Phi + P)^-1 s^2 Phi'Phi (Phi'Phi + P)^-1 with s^2 the residual mean square
    of n - M degrees of freedom. P is the penalty of the normal equations."""
    Phi = basis.Phi * np.reshape(problem.root, (-1, 1))
    n, p = Phi.shape
    r = (problem.z - basis.Phi @ beta) * problem.root
    penalty = problem.ridge * np.eye(p)
    if problem.robust and scale > 0.0:
        u = r / (BIWEIGHT_C * scale)
        inside = np.abs(u) < 1.0
        weight = np.where(inside, (1.0 - u * u) ** 2, 0.0)
        psi = weight * r / scale
        slope = np.where(inside, (1.0 - u * u) * (1.0 - 5.0 * u * u), 0.0)
        n_w = float(np.sum(weight * problem.root**2))  # as the robust fit's M-step counts
        penalty = penalty + n_w * (problem.gamma1 * basis.R1 + problem.gamma2 * basis.R2)
        inverse = np.linalg.pinv(Phi.T @ (slope[:, None] * Phi) + penalty, hermitian=True)
        leverage = np.einsum("ij,jk,ik->i", Phi, inverse, Phi) * slope
        spread = psi * psi / np.clip(1.0 - leverage, 0.1, None)
        B = scale * scale * (Phi.T @ (spread[:, None] * Phi))
    else:
        penalty = penalty + n * (problem.gamma1 * basis.R1 + problem.gamma2 * basis.R2)
        gram = Phi.T @ Phi
        inverse = np.linalg.pinv(gram + penalty, hermitian=True)
        B = float(r @ r) / max(n - p, 1) * gram
    cov = inverse @ B @ inverse
    return 0.5 * (cov + cov.T)


class MDLPolynomialRegressor(RegressorMixin, BaseEstimator):
    """Polynomial regression in one or several variables, robust to gross outliers, degrees
    chosen by minimum description length on held-out points, optionally refined by the tournament
    MCMC sampler.

    Parameters
    ----------
    max_degree : int or sequence of int, default=12
        Highest degree tried, for all variables or one per variable (0 to 30).
    loss : {"biweight", "squared_error"}, default="biweight"
        "biweight": every fit is a robust MM-estimate (``dorv.fit_robust_linear``: a
        high-breakdown start, then Tukey's biweight at the robust scale), so that up to about
        half of the points may be gross outliers, and candidates are judged on held-out points by
        residuals capped at a few robust scales. "squared_error": penalised least squares,
        judged by the held-out RMS.
    gamma1, gamma2 : float, default=0.0 and 1e-7
        Weights of the squared first- and second-derivative penalties over [-1, 1]^d, in the
        units of the standardised targets.
    ridge : float, default=1e-10
        Ridge added to the normal equations of the fits.
    H : int, default=20
        The H of the MDL complexity term k**2 ln(2H) / n.
    cv : int, default=5
        Number of folds of the held-out judgement (2 or more; fewer when there are fewer
        samples).
    refine : bool, default=True
        Run the tournament sampler from the chosen fit and keep its model where it is better.
    n_chains, n_warmup, n_deep, n_elite, step_size :
        Settings of the sampler (``dorv.TournamentMCMC``).
    random_state : int, RandomState instance or None, default=None
        Seed of the sampler: an int in [0, 2**64) is used as its seed; None or a RandomState
        draws one.

    Attributes
    ----------
    coef_ : ndarray of shape (n_coefs,)
        Coefficients in units of y of the monomials of ``multi_indices_`` in the mapped inputs t.
    multi_indices_ : ndarray of shape (n_coefs, n_features_in_)
        Exponent of each variable in each monomial.
    degrees_ : tuple of int
        Chosen maximum exponent of each variable.
    total_degree_ : int or None
        Highest total degree of the monomials, or None for the tensor-product basis.
    scale_ : float
        Standard deviation of the residuals of the inliers (in units of y), the model's estimate
        of the noise.
    inlier_mask_ : ndarray of bool of shape (n_samples,)
        True for the training points within 3 ``scale_`` of the fitted model.
    coef_cov_ : ndarray of shape (n_coefs, n_coefs)
        Covariance of ``coef_`` (units of y squared): for the biweight loss the sandwich form
        of the M-estimator, with a leverage correction; for least squares that of penalised
        least squares. ``predict(return_std=True)``, ``predict_interval`` and ``summary`` use
        it.
    mdl_, hit_rate_, rms_ : float
        MDL (on the standardised targets), hit rate and residual RMS (in units of y, all points)
        of the chosen model on the training data.
    cv_rms_ : float
        Held-out figure of the chosen degrees (in units of y): the RMS of the held-out residuals,
        each capped at 3 reference scales for the biweight loss.
    candidates_ : dict of lists
        Every candidate tried, in the order tried: ``degrees``, ``n_coefs``, ``mdl``,
        ``hit_rate``, ``rms``, ``scale``, ``cv_mdl``, ``cv_rms`` (plain held-out RMS),
        ``cv_loss`` (the held-out figure that chose), ``chosen`` and the ``coef`` of the fit
        (as ``coef_``). ``pandas.DataFrame`` reads it.
    sampler_ : dict or None
        The sampler's outcome (None when ``refine=False``): its ``seed``, ``coef``, ``energy``,
        ``mdl``, ``hit_rate``, ``rms``, ``held_out`` (hits and held-out figure of the sampler and
        of the fit on one fold left out of both, when it came to that), ``kept``, ``reason``,
        ``gibbs`` (the summary of its warm-up energies), ``n_chains``, ``n_elite``.
    x_center_, x_scale_ : ndarray of shape (n_features_in_,)
        The map t = (x - x_center_) / x_scale_ of each input onto [-1, 1].
    y_center_, y_scale_ : float
        The standardisation z = (y - y_center_) / y_scale_ of the targets.
    n_features_in_ : int
    feature_names_in_ : ndarray of str, only when X had string column names

    Examples
    --------
    >>> import numpy as np, dorv
    >>> x = np.linspace(-1.0, 1.0, 200)[:, None]
    >>> y = 1.0 + 2.0 * x[:, 0] - x[:, 0] ** 3
    >>> est = dorv.MDLPolynomialRegressor(random_state=0).fit(x, y)
    >>> est.degrees_
    (3,)
    """

    # scikit-learn's checks that cannot pass, and why (for its expected_failed_checks).
    _xfail_checks = {
        "check_sample_weight_equivalence_on_dense_data":
            "an integer weight is not a repeated row here: the held-out folds and the robust "
            "fit's elemental subsets are drawn from the rows, and the standardisation of y and "
            "the hit tolerance count rows unweighted",
    }

    # Fitted attributes, set by fit.
    coef_: Array
    coef_cov_: Array
    multi_indices_: npt.NDArray[np.int64]
    degrees_: Degrees
    scale_: float
    inlier_mask_: npt.NDArray[np.bool_]
    mdl_: float
    hit_rate_: float
    rms_: float
    cv_rms_: float
    candidates_: dict[str, list]
    sampler_: dict | None
    x_center_: Array
    x_scale_: Array
    y_center_: float
    y_scale_: float
    n_features_in_: int
    feature_names_in_: npt.NDArray[np.object_]

    _parameter_constraints: dict = {
        "max_degree": ["array-like", Interval(numbers.Integral, 0, MAX_DEGREE, closed="both")],
        "loss": [StrOptions(set(LOSSES))],
        "gamma1": [Interval(numbers.Real, 0.0, None, closed="left")],
        "gamma2": [Interval(numbers.Real, 0.0, None, closed="left")],
        "ridge": [Interval(numbers.Real, 0.0, None, closed="left")],
        "H": [Interval(numbers.Integral, 1, None, closed="left")],
        "cv": [Interval(numbers.Integral, 2, None, closed="left")],
        "refine": ["boolean"],
        "n_chains": [Interval(numbers.Integral, 1, None, closed="left")],
        "n_warmup": [Interval(numbers.Integral, 0, None, closed="left")],
        "n_deep": [Interval(numbers.Integral, 0, None, closed="left")],
        "n_elite": [Interval(numbers.Integral, 1, None, closed="left")],
        "step_size": [Interval(numbers.Real, 0.0, None, closed="neither")],
        "random_state": [Interval(numbers.Integral, 0, 2**64 - 1, closed="both"), "random_state"],
    }

    def __init__(self, max_degree=12, *, loss="biweight", gamma1=0.0, gamma2=1e-7, ridge=1e-10,
                 H=20, cv=5, refine=True, n_chains=25, n_warmup=200, n_deep=2000, n_elite=5,
                 step_size=0.05, random_state=None):
        self.max_degree = max_degree
        self.loss = loss
        self.gamma1 = gamma1
        self.gamma2 = gamma2
        self.ridge = ridge
        self.H = H
        self.cv = cv
        self.refine = refine
        self.n_chains = n_chains
        self.n_warmup = n_warmup
        self.n_deep = n_deep
        self.n_elite = n_elite
        self.step_size = step_size
        self.random_state = random_state

    # -- fitting --------------------------------------------------------------------------------

    def fit(self, X, y, sample_weight=None):
        """Chooses the degrees, fits the coefficients and refines them; returns self.

        `sample_weight` (n_samples,), non-negative: precision weights, the noise sd of a point
        being ``scale_ / sqrt(w)`` for weights scaled to a mean of 1. They weigh every fit
        (the robust one in its start search and its M-step) and the held-out figures; rows of
        weight 0 are left out, as if dropped; the hit rate of the MDL counts points
        unweighted, and the sampler, which takes no weights, does not run with unequal ones.
        """
        self._validate_params()
        X, y = validate_data(self, X, y, y_numeric=True)
        X_all, y_all = X, y
        weight = keep = None
        if sample_weight is not None:
            w = _check_sample_weight(sample_weight, X, ensure_non_negative=True)
            keep = w > 0.0
            X, y, w = X[keep], y[keep], w[keep]
            if X.shape[0] == 0:
                raise ValueError("sample_weight: every weight is 0, got no rows to fit")
            weight = None if np.all(w == w[0]) else w / np.mean(w)
        max_degrees = self._max_degrees(X.shape[1])
        seed = self._seed()
        n = X.shape[0]
        if not np.any(X != X[0]):
            raise ValueError(
                "MDLPolynomialRegressor needs at least 2 distinct points in X, got "
                f"{n} sample{'s' if n > 1 else ''} at one point"
            )
        self._map(X, y)
        problem = self._problem(self._mapped(X), (y - self.y_center_) / self.y_scale_, weight)
        # Many samples: the degrees are chosen, and the sampler runs, on subsamples.
        search = problem.subset(_rows(n, SEARCH_ROWS))
        folds = list(KFold(min(self.cv, search.n), shuffle=True, random_state=FOLD_SEED)
                     .split(search.z))
        # Degrees that each variable's distinct values can carry; coefficients that the
        # smallest training fold determines well (four points per coefficient at least).
        limits = tuple(min(d, np.unique(X[:, j]).size - 1) for j, d in enumerate(max_degrees))
        smallest = min(len(train) for train, _ in folds)
        max_coefs = max(1, min(MAX_COEFS, smallest // POINTS_PER_COEF))

        table = _search(search, folds, limits, max_coefs)
        chosen = _choose(search, table, _judge_held_out(search, table), folds)
        best = table[chosen]
        basis = problem.basis(best["degrees"], best["total"])
        fit = best["fit"] if search is problem else problem.fit(basis, start=best["fit"],
                                                                 max_iter=POLISH_STEPS)
        self.sampler_ = None
        if self.refine:
            fit, self.sampler_ = self._refine(problem, basis, fit, seed)

        residuals = (basis.Phi @ fit.beta - problem.z) * problem.root
        score = problem.judge(basis, fit.beta)
        scale = _inlier_scale(residuals)
        self.degrees_ = basis.degrees
        self.total_degree_ = basis.total
        self.multi_indices_ = basis.multi_indices
        self.coef_ = self._coef(fit.beta)
        self.scale_ = scale * self.y_scale_
        self.inlier_mask_ = np.abs(residuals) <= INLIER_SCALES * scale
        if keep is not None and not keep.all():  # rows of weight 0 judged at weight 1
            off = np.abs(_design(basis.multi_indices, self._mapped(X_all)) @ fit.beta
                         - (y_all - self.y_center_) / self.y_scale_)
            off[keep] = np.abs(residuals)
            self.inlier_mask_ = off <= INLIER_SCALES * scale
        self.coef_cov_ = _coef_cov(problem, basis, fit.beta, scale) * self.y_scale_**2
        self.mdl_ = score["mdl"]
        self.hit_rate_ = score["hit_rate"]
        self.rms_ = score["rms"] * self.y_scale_
        self.cv_rms_ = best["cv_loss"] * self.y_scale_
        self.candidates_ = {
            "degrees": [c["degrees"] for c in table],
            "total_degree": [c["total"] for c in table],
            "n_coefs": [c["n_coefs"] for c in table],
            "mdl": [c["mdl"] for c in table],
            "hit_rate": [c["hit_rate"] for c in table],
            "rms": [c["rms"] * self.y_scale_ for c in table],
            "scale": [c["scale"] * self.y_scale_ for c in table],
            "cv_mdl": [c["cv_mdl"] for c in table],
            "cv_rms": [_rms(c["held_out"]) * self.y_scale_ for c in table],
            "cv_loss": [c["cv_loss"] * self.y_scale_ for c in table],
            "chosen": [i == chosen for i in range(len(table))],
            "coef": [self._coef(c["fit"].beta) for c in table],
        }
        at_limit = [j for j, (d, top) in enumerate(zip(self.degrees_, max_degrees)) if d == top > 0]
        if at_limit:
            names = ", ".join(str(self._name(j)) for j in at_limit)
            warnings.warn(
                f"the chosen degree of {names} is max_degree={max_degrees[at_limit[0]]}: a higher "
                "degree might fit better", DegreeLimitWarning, stacklevel=2)
        return self

    def _max_degrees(self, d: int) -> Degrees:
        if isinstance(self.max_degree, numbers.Integral):
            return (int(self.max_degree),) * d
        degrees = tuple(np.asarray(self.max_degree).ravel().tolist())
        if len(degrees) != d or not all(
                isinstance(v, numbers.Integral) and 0 <= int(v) <= MAX_DEGREE for v in degrees):
            raise ValueError(
                f"max_degree must be an int in [0, {MAX_DEGREE}] or {d} of them, one per feature; "
                f"got {self.max_degree!r}"
            )
        return tuple(int(v) for v in degrees)

    def _seed(self) -> int:
        rs = self.random_state
        if isinstance(rs, numbers.Integral):
            return int(rs)
        return int(check_random_state(rs).randint(np.iinfo(np.int32).max))

    def _map(self, X: Array, y: Array) -> None:
        lo, hi = X.min(axis=0), X.max(axis=0)
        self.x_center_ = 0.5 * (lo + hi)
        half = 0.5 * (hi - lo)
        self.x_scale_ = np.where(half > 0.0, half, 1.0)
        self.y_center_ = float(np.median(y))
        scale = dc.mad(y)
        if not scale > 0.0:  # more than half the targets equal
            scale = float(np.std(y)) or 1.0
        self.y_scale_ = scale

    def _mapped(self, X: Array) -> Array:
        return (X - self.x_center_) / self.x_scale_

    def _problem(self, T: Array, z: Array, weight: Array | None = None) -> _Problem:
        return _Problem(T, z, hit_tolerance(dc.mad(z)), self.gamma1, self.gamma2, self.ridge,
                        self.H, self.loss == "biweight", weight)

    def _refine(self, problem: _Problem, basis: _Basis, fit: _Fit, seed: int):
        """The sampler's model and outcome, or the fit where the sampler's model is not really
        better (see the module docstring)."""
        residuals = basis.Phi @ fit.beta - problem.z
        scale = _inlier_scale(residuals)
        outcome = dict.fromkeys(("coef", "energy", "mdl", "hit_rate", "rms", "gibbs", "held_out"))
        outcome.update(seed=seed, n_chains=self.n_chains, n_elite=self.n_elite, ran=False)
        if problem.weight is not None:
            outcome.update(kept=False, reason="the sampler takes no sample weights")
            return fit, outcome
        inliers = np.abs(residuals[np.abs(residuals) <= INLIER_SCALES * scale])
        if problem.robust and np.mean(inliers >= problem.eps) < SAMPLER_MISSES:
            outcome.update(kept=False, reason="nearly every inlier is a hit already: more hits "
                           "could only be outliers")
            return fit, outcome
        sampler = dc.TournamentMCMC(self.n_chains, self.n_warmup, self.n_deep, self.n_elite,
                                    self.step_size, self.H, seed)
        sample = problem.subset(_rows(problem.n, SAMPLER_ROWS, seed=FOLD_SEED + 1))
        part = sample.basis(basis.degrees, basis.total) if sample is not problem else basis
        beta, run = sample.sample(sampler, part, fit.beta)
        before, score = problem.judge(basis, fit.beta, scale), problem.judge(basis, beta, scale)
        outcome.update(
            coef=self._coef(beta), energy=run.energy, mdl=score["mdl"],
            hit_rate=score["hit_rate"], rms=score["rms"] * self.y_scale_, ran=True,
            gibbs={k: getattr(run.gibbs, k) for k in ("H", "Hmax", "He", "r_heat", "var_E", "T")})
        if not (score["mdl"] < before["mdl"] and score["hit_rate"] > before["hit_rate"]):
            outcome.update(kept=False, reason="the sampler found no more hits at a lower MDL")
            return fit, outcome
        ref = scale * scale if problem.robust else before["loss"] ** 2
        if not _as_good(problem, score["loss"], before["loss"], ref):
            outcome.update(kept=False, reason="more hits at a lower MDL, but larger residuals")
            return fit, outcome
        train, test = next(KFold(min(self.cv, sample.n), shuffle=True, random_state=FOLD_SEED)
                           .split(sample.z))
        own = sample.fit(part, train, start=fit)
        sampled, _ = sample.sample(sampler, part, own.beta, train)
        hits, loss = {}, {}
        for name, b in (("sampler", sampled), ("fit", own.beta)):
            r = part.Phi[test] @ b - sample.z[test]
            hits[name] = int(np.count_nonzero(np.abs(r) < problem.eps))
            loss[name] = sample.loss(r, scale)
        outcome["held_out"] = {name: {"hits": hits[name], "rms": loss[name] * self.y_scale_}
                               for name in hits}
        ref = scale * scale if problem.robust else loss["fit"] ** 2
        if hits["sampler"] >= hits["fit"] and _as_good(problem, loss["sampler"], loss["fit"], ref):
            outcome.update(kept=True, reason="more hits at a lower MDL, as good on held-out points")
            return _Fit(beta), outcome
        outcome.update(kept=False, reason="more hits at a lower MDL, but worse on held-out points")
        return fit, outcome

    def _coef(self, beta: Array) -> Array:
        """Coefficients for z turned into coefficients for y."""
        coef = self.y_scale_ * beta
        coef[0] += self.y_center_  # the first monomial is the constant
        return coef

    def _name(self, j: int):
        names = getattr(self, "feature_names_in_", None)
        return names[j] if names is not None else f"x{j}"

    # -- prediction -----------------------------------------------------------------------------

    def predict(self, X, return_std: bool = False):
        """Values of the fitted polynomial at X, inside or outside the training range; with
        `return_std`, also the standard deviation of a new observation at X:
        sqrt(x' coef_cov_ x + scale_**2), the uncertainty of the fitted curve and the noise.

        Points beyond the training range of an input of nonzero degree by more than 1 % of its
        width get their values too, with one ``ExtrapolationWarning`` per call: there the
        polynomial follows no data and soon takes any value.
        """
        design = self._design_at(X)
        mean = design @ self.coef_
        if not return_std:
            return mean
        return mean, np.sqrt(self._curve_variance(design) + self.scale_**2)

    def predict_interval(self, X, level: float = 0.95,
                         kind: str = "observation") -> tuple[Array, Array]:
        """Lower and upper bounds at X of a Student-t interval of probability `level` (with
        as many degrees of freedom as inliers beyond the coefficients): for a new observation
        (kind="observation", the curve's uncertainty and the noise ``scale_``), or for the
        fitted curve itself (kind="mean")."""
        if not (isinstance(level, numbers.Real) and 0.0 < level < 1.0):
            raise ValueError(f"level must be a probability strictly between 0 and 1, got "
                             f"{level!r}")
        if kind not in INTERVAL_KINDS:
            raise ValueError(f"kind must be one of {INTERVAL_KINDS}, got {kind!r}")
        from scipy.stats import t as student

        design = self._design_at(X)
        mean = design @ self.coef_
        variance = self._curve_variance(design)
        if kind == "observation":
            variance = variance + self.scale_**2
        half = student.ppf(0.5 + 0.5 * level, self._dof()) * np.sqrt(variance)
        return mean - half, mean + half

    def _design_at(self, X) -> Array:
        check_is_fitted(self)
        X = validate_data(self, X, reset=False)
        T = self._mapped(X)
        self._warn_outside(T)
        return _design(self.multi_indices_, T)

    def _curve_variance(self, design: Array) -> Array:
        return np.maximum(np.einsum("ij,jk,ik->i", design, self.coef_cov_, design), 0.0)

    def _dof(self) -> int:
        """Degrees of freedom of the noise: inliers beyond the coefficients (at least 1)."""
        return max(1, int(np.count_nonzero(self.inlier_mask_)) - self.coef_.size)

    # -- the model in the user's variables ---------------------------------------------------

    def to_polynomial(self) -> Polynomial:
        """The fitted curve of one input as a ``numpy.polynomial.Polynomial`` in x: its domain
        is the training range and its window [-1, 1], the map t = (x - x_center_) / x_scale_,
        so that ``p(x)`` equals ``predict`` to rounding. ``p.convert()`` gives the
        coefficients of the powers of x itself (as ``polynomial_coef``), at a loss of precision
        where the training range lies far from 0."""
        check_is_fitted(self)
        if self.n_features_in_ != 1:
            raise ValueError(f"to_polynomial needs a model of 1 input, got {self.n_features_in_}; "
                             "polynomial_coef gives the monomials of several")
        c, s = float(self.x_center_[0]), float(self.x_scale_[0])
        coef = np.zeros(int(self.multi_indices_[:, 0].max()) + 1)
        coef[self.multi_indices_[:, 0]] = self.coef_
        return Polynomial(coef, domain=[c - s, c + s], window=[-1.0, 1.0])

    def polynomial_coef(self) -> tuple[npt.NDArray[np.int64], Array]:
        """The model as a polynomial in the original inputs: ``(multi_indices, coef)``, the
        coefficient of each monomial x_0**m_0 * ... * x_(d-1)**m_(d-1) (the same monomials as
        ``multi_indices_``), each (x_j - x_center_[j])**k / x_scale_[j]**k expanded binomially."""
        check_is_fitted(self)
        mi = self.multi_indices_
        top = mi.max(axis=0)
        # powers[j][k]: coefficients in x_j of t_j**k, padded to the highest exponent of x_j
        powers = [[np.pad(P.polypow([-c / s, 1.0 / s], k), (0, int(top[j]) - k))
                   for k in range(int(top[j]) + 1)]
                  for j, (c, s) in enumerate(zip(self.x_center_, self.x_scale_))]
        dense = np.zeros(tuple(top + 1))
        for m, a in zip(mi, self.coef_):
            term = np.asarray(a)
            for j, k in enumerate(m):
                term = np.multiply.outer(term, powers[j][k])
            dense += term
        return mi.copy(), dense[tuple(mi.T)]

    def summary(self, input_names: list[str] | None = None) -> Summary:
        """The chosen model in a table: the coefficients of ``coef_`` with their standard
        errors, Student-t statistics and 95 % intervals, and the figures of the fit (degrees,
        loss, scale, outliers, MDL, held-out figures); ``str()`` of it is the text form.
        `input_names` name the inputs in the maps (default: ``feature_names_in_`` or x0,
        x1, ...)."""
        check_is_fitted(self)
        import pandas as pd
        from scipy.stats import t as student

        dof = self._dof()
        se = np.sqrt(np.maximum(np.diag(self.coef_cov_), 0.0))
        with np.errstate(divide="ignore", invalid="ignore"):
            tval = np.where(se > 0.0, self.coef_ / se, np.nan)
        q = student.ppf(0.975, dof)
        names = [_monomial(m) for m in self.multi_indices_]
        table = pd.DataFrame({"coef": self.coef_, "std err": se, "t": tval,
                              "P>|t|": 2.0 * student.sf(np.abs(tval), dof),
                              "[0.025": self.coef_ - q * se, "0.975]": self.coef_ + q * se},
                             index=pd.Index(names, name="term"))
        chosen = self.candidates_["chosen"].index(True)
        sampler = self.sampler_
        info = {
            "loss": self.loss,
            "degrees": self.degrees_,
            "basis": "tensor" if self.candidates_["total_degree"][chosen] is None else
                     f"total degree {self.candidates_['total_degree'][chosen]}",
            "observations": int(self.inlier_mask_.size),
            "coefficients": int(self.coef_.size),
            "scale": self.scale_,
            "outliers": int(self.inlier_mask_.size - np.count_nonzero(self.inlier_mask_)),
            "MDL": self.mdl_,
            "hit rate": self.hit_rate_,
            "resid rms": self.rms_,
            "held-out figure": self.cv_rms_,
            "held-out MDL": self.candidates_["cv_mdl"][chosen],
            "candidates": len(self.candidates_["degrees"]),
            "sampler": "off" if sampler is None else "kept" if sampler["kept"] else
                       "ran, not kept" if sampler["ran"] else "did not run",
        }
        inputs = [str(self._name(j)) for j in range(self.n_features_in_)] \
            if input_names is None else list(input_names)
        maps = [f"{_t(j, len(inputs))} = ({name} - {c:.7g}) / {s:.7g}"
                for j, (name, c, s) in enumerate(zip(inputs, self.x_center_, self.x_scale_))]
        return Summary(table, info, maps)

    def _warn_outside(self, T: Array) -> None:
        outside = np.abs(T) > 1.0 + EXTRAPOLATION_MARGIN
        columns = np.flatnonzero(outside.any(axis=0) & (np.array(self.degrees_) > 0))
        if columns.size == 0:
            return
        ranges = "; ".join(f"{self._name(int(j))} from {self.x_center_[j] - self.x_scale_[j]:.4g} to "
                           f"{self.x_center_[j] + self.x_scale_[j]:.4g}" for j in columns)
        count = int(outside[:, columns].any(axis=1).sum())
        warnings.warn(f"{count} of {T.shape[0]} points lie outside the training range ({ranges}): "
                      "the polynomial is extrapolated there", ExtrapolationWarning, stacklevel=4)


def _rows(n: int, at_most: int, seed: int = FOLD_SEED):
    """All rows (None) when there are at most `at_most`, else a fixed random sample of them."""
    if n <= at_most:
        return None
    return np.sort(np.random.default_rng(seed).choice(n, at_most, replace=False))


@dataclass
class _Problem:
    """The mapped training data and the settings that every candidate fit shares."""

    T: Array  # (n, d) inputs mapped onto [-1, 1]
    z: Array  # (n) standardised targets
    eps: float  # hit tolerance for z: 0.4 * mad(z), or 0.4 when that is 0
    gamma1: float
    gamma2: float
    ridge: float
    H: int
    robust: bool  # the biweight loss
    weight: Array | None = None  # (n) positive sample weights of mean 1, None for all 1

    @property
    def n(self) -> int:
        return self.z.size

    @property
    def root(self) -> Array | float:
        """Square roots of the weights, which turn residuals into those of unit weight."""
        return 1.0 if self.weight is None else np.sqrt(self.weight)

    @property
    def variance(self) -> float:
        """Spread of z that the tolerances of the held-out judgement refer to: its variance, or
        for the robust loss the square of its normal-consistent mad, which outliers hardly move."""
        if self.robust:
            spread = 1.4826 * dc.mad(self.z)
            if spread > 0.0:
                return spread * spread
        return float(np.var(self.z))

    def subset(self, rows) -> _Problem:
        if rows is None:
            return self
        return _Problem(self.T[rows], self.z[rows], self.eps, self.gamma1, self.gamma2,
                        self.ridge, self.H, self.robust,
                        None if self.weight is None else self.weight[rows])

    def basis(self, degrees: Degrees, total: int | None = None) -> _Basis:
        return _basis(degrees, self.T, total)

    def fit(self, basis: _Basis, rows=None, start: _Fit | None = None,
            init: Array | None = None, max_iter: int = 50) -> _Fit:
        """The fit on all rows or on the given ones. A robust fit from `start` (a fit of the
        same basis, on more rows) only polishes it at its scale; `init`, coefficients from
        elsewhere, is one more start of its search."""
        Phi, z = (basis.Phi, self.z) if rows is None else (basis.Phi[rows], self.z[rows])
        w = self.weight if rows is None or self.weight is None else self.weight[rows]
        if not self.robust:
            if w is not None:  # least squares of the rows scaled by sqrt(w)
                Phi, z = Phi * np.sqrt(w)[:, None], z * np.sqrt(w)
            return _Fit(dc.fit_regularized_linear(Phi, z, basis.R1, basis.R2, self.gamma1,
                                                  self.gamma2, self.ridge))
        args = (Phi, z, basis.R1, basis.R2, self.gamma1, self.gamma2, self.ridge)
        if start is not None:
            run = dc.fit_robust_linear(*args, init=start.beta, scale=start.scale,
                                       seed=SOLVER_SEED, sample_weight=w, max_iter=max_iter)
        else:
            subsets = START_SUBSETS if init is None else _more_subsets(Phi.shape[1])
            run = dc.fit_robust_linear(*args, init=init, seed=SOLVER_SEED, sample_weight=w,
                                       n_starts=subsets)
        return _Fit(np.asarray(run.coef), float(run.scale))

    def loss(self, residuals: Array, scale: float) -> float:
        """The held-out figure: the RMS, with each residual capped at CAP scales for the robust
        loss."""
        if not self.robust:
            return _rms(residuals)
        return float(np.sqrt(np.mean(_capped_squares(residuals, scale))))

    def mdl(self, basis: _Basis, zp: Array, beta: Array) -> float:
        return dc.mdl_score_reg(zp, self.z, basis.Phi.shape[1], self.H, beta, basis.R1,
                                basis.R2, self.gamma1, self.gamma2)

    def judge(self, basis: _Basis, beta: Array, scale: float = 0.0) -> dict:
        """MDL, hit rate, residual RMS and the held-out figure at `scale` (of z) of coefficients
        on the whole data."""
        zp = basis.Phi @ beta
        r = (zp - self.z) * self.root
        return {"mdl": self.mdl(basis, zp, beta), "hit_rate": dc.compute_sr(zp, self.z, self.eps),
                "rms": _rms(r), "loss": self.loss(r, scale)}

    def candidate(self, degrees: Degrees, total: int | None, folds,
                  start: dict | None = None) -> dict:
        """The fit of one tuple of degrees and its held-out residuals; the fit of an earlier
        candidate, where given, is one more start of the robust fit."""
        basis = self.basis(degrees, total)
        fit = self.fit(basis, init=None if start is None else _embed(start, basis))
        held_out = np.empty_like(self.z)
        for train, test in folds:
            held_out[test] = basis.Phi[test] @ self.fit(basis, train, start=fit,
                                                        max_iter=FOLD_STEPS).beta
        zp = basis.Phi @ fit.beta
        r, held_r = (zp - self.z) * self.root, (held_out - self.z) * self.root
        return {"degrees": degrees, "total": total, "n_coefs": basis.Phi.shape[1], "fit": fit,
                "multi_indices": basis.multi_indices,
                "mdl": self.mdl(basis, zp, fit.beta),
                "hit_rate": dc.compute_sr(zp, self.z, self.eps), "rms": _rms(r),
                "cv_mdl": self.mdl(basis, held_out, fit.beta), "held_out": held_r,
                "scale": _inlier_scale(r),
                "held_out_scale": _inlier_scale(held_r) if self.robust else 0.0}

    def sample(self, sampler: dc.TournamentMCMC, basis: _Basis, start: Array, rows=None):
        """The sampler's coefficients for all rows or the given ones, started from `start`, and
        its run.

        The sampler walks in coefficients b of an orthonormal basis of the same polynomials,
        X = Phi S with X^T X = n I, so that its isotropic random-walk steps suit every direction
        alike; beta = S b, and the penalties become S^T R S, which leaves every energy unchanged.
        """
        Phi, z = (basis.Phi, self.z) if rows is None else (basis.Phi[rows], self.z[rows])
        # Phi = Q R has the singular values and right singular vectors of R, a small matrix.
        # One thread: these factorisations are too small to gain from more, and threads that
        # wait for each other cost seconds on a busy machine.
        with _blas().limit(limits=1, user_api="blas"):
            _, sv, Vt = np.linalg.svd(np.linalg.qr(Phi, mode="r"))
        keep = sv > sv[0] * 1e-12
        root_n = np.sqrt(Phi.shape[0])
        S = root_n * (Vt[keep].T / sv[keep])
        init = (sv[keep] / root_n) * (Vt[keep] @ start)
        run = sampler.fit(Phi @ S, z, S.T @ basis.R1 @ S, S.T @ basis.R2 @ S, self.gamma1,
                          self.gamma2, init=init)
        return S @ run.beta_mcmc, run


@functools.cache
def _blas() -> ThreadpoolController:
    """The thread pools of the loaded libraries, looked up once: a look-up reads the process's
    memory map, which costs more than the small factorisations it serves."""
    return ThreadpoolController()


def _neighbours(degrees: Degrees, limits: Degrees, jump: int) -> list[Degrees]:
    """Degrees raised by one for each variable and, for d >= 2, for all at once (jump 1), or
    raised by two for each variable (jump 2), within the limits."""
    steps = [tuple(d + jump * (i == j) for j, d in enumerate(degrees)) for i in range(len(degrees))]
    if jump == 1 and len(degrees) > 1:
        steps.append(tuple(d + 1 for d in degrees))
    return [s for s in steps if all(d <= top for d, top in zip(s, limits))]


def _judge_held_out(problem: _Problem, table: list[dict]) -> float:
    """Sets every candidate's held-out figure and returns the mean square that the tolerances
    refer to. For the robust loss, one reference scale serves all candidates (the smallest
    inlier scale of their held-out residuals), and the tolerances refer to its square, the
    noise; for least squares they refer to the best held-out mean square."""
    scale = min(c["held_out_scale"] for c in table)
    for c in table:
        c["cv_loss"] = problem.loss(c["held_out"], scale)
    return scale * scale if problem.robust else min(c["cv_loss"] for c in table) ** 2


def _search(problem: _Problem, folds, limits: Degrees, max_coefs: int) -> list[dict]:
    """The path of candidates described in the module docstring, in the order tried."""
    current = (0,) * len(limits)
    table = [problem.candidate(current, None, folds)]
    tried = {current}
    ref = _judge_held_out(problem, table)
    best = table[0]
    scale = best["scale"]
    strikes = 0
    while True:
        judged = []
        for jump in (1, 2):
            steps = [s for s in _neighbours(current, limits, jump) if s not in tried]
            tried.update(steps)
            judged += [problem.candidate(degrees, total, folds, best)
                       for s in steps for degrees, total in _bases(s)
                       if _count(degrees, total) <= max_coefs]
            ref = _judge_held_out(problem, table + judged)
            if _progress(judged, best["cv_loss"], ref):
                break  # no need to jump by two
        table += judged
        if not judged:
            return table
        tighter = problem.robust and min(c["scale"] for c in judged) < (1.0 - SCALE_GAIN) * scale
        scale = min(scale, *(c["scale"] for c in judged))
        strikes = 0 if tighter or _progress(judged, best["cv_loss"], ref) else strikes + 1
        if strikes == PATIENCE[len(limits) > 1]:
            return table
        step = min(judged, key=lambda c: c["cv_loss"])
        current = step["degrees"]
        if step["cv_loss"] < best["cv_loss"]:
            best = step


def _progress(judged: list[dict], best: float, ref: float) -> bool:
    """Whether a candidate lowers the best held-out mean square by 2 MIN_GAIN of the reference
    mean square."""
    return any(c["cv_loss"] ** 2 < best**2 - 2.0 * MIN_GAIN * ref for c in judged)


def _as_good(problem: _Problem, rms: float, best: float, ref: float) -> bool:
    """Whether a held-out figure counts as good as the best one: its square exceeds the best's
    by at most 2 RMS_TOLERANCE of the reference mean square and at most R2_TOLERANCE of the
    spread of z."""
    return rms**2 <= best**2 + min(2.0 * RMS_TOLERANCE * ref, R2_TOLERANCE * problem.variance)


def _choose(problem: _Problem, table: list[dict], ref: float, folds) -> int:
    """Index of the chosen candidate among those as good as the best on held-out points: for
    least squares the one of lowest held-out MDL (ties go to fewer coefficients), for the robust
    loss the one of fewest coefficients (ties go to the lower held-out MDL)."""
    if problem.robust:
        scale = np.sqrt(ref)
        least = _capped_squares(min(table, key=lambda c: c["cv_loss"])["held_out"], scale)
        good = [i for i, c in enumerate(table)
                if _within_noise(_capped_squares(c["held_out"], scale) - least, folds)]
    else:
        best = min(c["cv_loss"] for c in table)
        good = [i for i, c in enumerate(table) if _as_good(problem, c["cv_loss"], best, ref)]
    if problem.robust:
        return min(good, key=lambda i: (table[i]["n_coefs"], table[i]["cv_mdl"]))
    return min(good, key=lambda i: (table[i]["cv_mdl"], table[i]["n_coefs"]))


def _within_noise(excess: Array, folds) -> bool:
    """Whether per-point excesses of held-out squares over the best candidate's are, on
    average, within STANDARD_ERRORS standard errors of their mean over the folds: a difference
    that the noise and the choice of folds alone would make."""
    means = np.array([np.mean(excess[test]) for _, test in folds])
    error = np.std(means, ddof=1) / np.sqrt(means.size) if means.size > 1 else 0.0
    return float(np.mean(excess)) <= STANDARD_ERRORS * error
