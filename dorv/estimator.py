"""A scikit-learn regressor on polynomial bases, robust where the data are contaminated and
as good as least squares where they are not, whose degrees are chosen on held-out points.

The model of ``MDLPolynomialRegressor`` for d input variables is a polynomial in the mapped
inputs,

    y = sum over multi-indices m of coef_[m] * t_0**m_0 * ... * t_(d-1)**m_(d-1),

where t_j = (x_j - x_center_[j]) / x_scale_[j] maps the training range of variable j onto
[-1, 1], over the monomials of a tensor-product basis with one maximum exponent per variable
(``degrees_``), or, in several variables, over those of them whose total degree is at most the
highest of the degrees (``total_degree_``). Fitting works on the standardised targets
z = (y - median(y)) / mad(y), so that the default penalty weights suit data of any scale;
``coef_`` is given back in units of y.

``fit`` is a short pipeline over the units of ``dorv._model``, each of which says its own rule:
the problem in standard units (`problem`), rows remote from the bulk of the inputs
(`leverage`), the folds (`folds`), each loss's path of candidates and its choice (`search`,
`candidates`, `losses`), least squares or the robust fit (`efficiency`), the spread of the noise
(`spread`), the final fit (`fitting`), the sampler's refinement (`refine`) and what the fit says
of its coefficients and rows (`inference`).
"""

from __future__ import annotations

import copy
import math
import numbers
import sys
import time
import warnings
from typing import Any

import numpy as np
import numpy.typing as npt
from numpy.polynomial import Polynomial
from sklearn.base import BaseEstimator, RegressorMixin
from sklearn.utils import check_random_state
from sklearn.utils._param_validation import Interval, StrOptions
from sklearn.utils.validation import _check_sample_weight, check_is_fitted, validate_data

import dorv_core as dc
from dorv._model import inference
from dorv._model.basis import Array, Degrees, Mask, design, in_original_inputs
from dorv._model.distributed import is_dask_array
from dorv._model.fitting import choose_and_fit
from dorv._model.folds import FOLD_SEED, FOLDS
from dorv._model import streamed
from dorv._model.leverage import bulk_of, remote_rows
from dorv._model.inference import conclude
from dorv._model.losses import LOSSES, Loss
from dorv._model.problem import Problem, Score, Units, rows
from dorv._model.refine import Outcome, refine
from dorv._model.spread import Spread
from dorv._rules import EXTRAPOLATION_MARGIN, MAX_DEGREE

SEARCH_ROWS = 5000  # above this many samples, the degrees are chosen on a subsample
STREAMED_ROWS = 1_000_000  # above this many, the final fit passes over the rows by blocks
LIMIT_ROWS = 10_000  # the distinct values of an input are counted on these first rows first
INTERVAL_KINDS = ("observation", "mean")


class DegreeLimitWarning(UserWarning):
    """The chosen degree of a variable is the highest allowed: a higher one might fit better."""


class ExtrapolationWarning(UserWarning):
    """Points to predict lie outside the training range of an input, where a polynomial can
    take any value."""


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
    verbose : bool, default=False
        Report the passes of a fit on many rows (above ``STREAMED_ROWS``, or of Dask arrays) to
        stderr as they go, one short line each.

    Notes
    -----
    Above ``STREAMED_ROWS`` rows (10**6) ``fit`` never forms the design matrix of all rows: the
    degrees are chosen on a fixed subsample of ``SEARCH_ROWS`` rows, as they are from 5000
    rows on; the chosen fit is then polished, finished and judged by passes over the rows,
    whose monomials the core generates block by block. The variance function of the noise is
    fitted to the subsample's residuals, rows remote from the bulk of the inputs are told by
    the bulk of the subsample, and the sampler does not run (``sampler_`` is None). Memory
    beyond the inputs is then a few vectors of one entry per row.

    ``fit`` also takes Dask arrays (X, y and sample_weight; the rows stay where they are): the
    degrees are chosen on a fixed subsample of SEARCH_ROWS rows drawn by global row index, so
    that the model does not depend on the partitioning, and the final fit runs over all rows on
    the cluster, each pass a map over the blocks whose M x M sums are added in a tree
    (``dorv._model.distributed``). The sampler does not run (``sampler_`` is None), the
    targets' centre and scale and the spread of z that ``r2_`` refers to come from the
    subsample, and a row's leverage (about M / n at that size) does not enter its standardised
    residual. ``inlier_mask_`` is then a lazy Dask array, computed from the arrays given when
    asked for, and ``remote_mask_`` is None: rows remote from the bulk of the inputs are told on
    the subsample only. ``predict`` of a Dask array is a lazy Dask array (its values warn of no
    extrapolation).

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
    loss_ : Loss
        The loss that fitted and chose the model: its ``name``, ``description`` and ``rule``
        (how the candidates were chosen), in words.
    scale_ : float
        Standard deviation of the residuals of the inliers (in units of y), the model's estimate
        of the noise.
    inlier_mask_ : ndarray of bool of shape (n_samples,)
        True for the training points within ``outlier_cut_`` times ``scale_`` of the fitted
        model (a lazy Dask array after a fit of Dask arrays).
    hit_tolerance_ : float
        A point whose residual is below this (in units of y) is a hit of the MDL's hit rate.
    coef_cov_ : ndarray of shape (n_coefs, n_coefs)
        Covariance of ``coef_`` (units of y squared): for the biweight loss the sandwich form
        of the M-estimator, with a leverage correction; for least squares that of penalised
        least squares. ``predict(return_std=True)``, ``predict_interval`` and ``summary`` use
        it.
    mdl_, hit_rate_, rms_ : float
        MDL (on the standardised targets), hit rate and residual RMS (in units of y, all points)
        of the chosen model on the training data.
    cv_rms_, cv_loss_ : float
        Held-out figures of the chosen degrees (in units of y): the plain RMS of the held-out
        residuals, and the figure that chose (for the biweight loss the RMS of the held-out
        residuals each capped at 3 reference scales).
    candidates_ : dict of lists
        Every candidate tried, in the order tried: ``degrees``, ``total_degree``, ``n_coefs``,
        ``mdl``, ``hit_rate``, ``rms``, ``scale``, ``cv_mdl``, ``cv_rms`` and ``cv_loss`` (as
        ``cv_rms_`` and ``cv_loss_``), ``chosen`` and the ``coef`` of the fit (as ``coef_``).
        ``pandas.DataFrame`` reads it.
    sampler_ : dict or None
        The sampler's outcome (None when ``refine=False``): its ``seed``, ``coef``, ``energy``,
        ``mdl``, ``hit_rate``, ``rms``, ``held_out`` (hits and held-out figure of the sampler and
        of the fit on one fold left out of both, when it came to that), ``ran``, ``kept``,
        ``reason``, ``gibbs`` (the summary of its warm-up energies), ``n_chains``, ``n_elite``.
        None too for a fit of more than ``STREAMED_ROWS`` rows, where it does not run.
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
    spread_multi_indices_: npt.NDArray[np.int64]
    spread_coef_: Array
    coef_cov_: Array
    multi_indices_: npt.NDArray[np.int64]
    degrees_: Degrees
    total_degree_: int | None
    loss_: Loss
    scale_: float
    inlier_mask_: Any  # a NumPy mask, or a lazy Dask array after a fit of Dask arrays
    hit_tolerance_: float
    mdl_: float
    hit_rate_: float
    rms_: float
    cv_rms_: float
    cv_loss_: float
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
        "loss": [StrOptions({"auto", *LOSSES})],
        "gamma1": [Interval(numbers.Real, 0.0, None, closed="left")],
        "gamma2": [Interval(numbers.Real, 0.0, None, closed="left")],
        "ridge": [Interval(numbers.Real, 0.0, None, closed="left")],
        "H": [Interval(numbers.Integral, 1, None, closed="left")],
        "cv": [None, Interval(numbers.Integral, 2, None, closed="left"), "cv_object"],
        "refine": ["boolean"],
        "n_chains": [Interval(numbers.Integral, 1, None, closed="left")],
        "n_warmup": [Interval(numbers.Integral, 0, None, closed="left")],
        "n_deep": [Interval(numbers.Integral, 0, None, closed="left")],
        "n_elite": [Interval(numbers.Integral, 1, None, closed="left")],
        "step_size": [Interval(numbers.Real, 0.0, None, closed="neither")],
        "random_state": [Interval(numbers.Integral, 0, 2**64 - 1, closed="both"), "random_state"],
        "verbose": ["verbose"],
    }

    def __init__(self, max_degree=12, *, loss="auto", gamma1=0.0, gamma2=1e-7, ridge=1e-10,
                 H=20, cv=None, refine=True, n_chains=25, n_warmup=200, n_deep=2000, n_elite=5,
                 step_size=0.05, random_state=None, verbose=False):
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
        self.verbose = verbose

    # -- fitting --------------------------------------------------------------------------------

    def fit(self, X, y, sample_weight=None, groups=None):
        """Chooses the degrees, fits the coefficients and refines them; returns self.

        `sample_weight` (n_samples,), non-negative: precision weights, the noise sd of a point
        being ``scale_ / sqrt(w)`` for weights scaled to a mean of 1. They weigh every fit
        (the robust one in its start search and its M-step) and the held-out figures; rows of
        weight 0 are left out, as if dropped; the hit rate of the MDL counts points
        unweighted, and the sampler, which takes no weights, does not run with unequal ones.
        """
        self._validate_params()
        if any(is_dask_array(a) for a in (X, y, sample_weight)):
            return self._fit_distributed(X, y, sample_weight, groups)
        X_all, y_all = validate_data(self, X, y, y_numeric=True)
        X, y, weight, keep = _weighed(X_all, y_all, sample_weight)
        max_degrees = self._max_degrees(X.shape[1])
        seed = self._seed()
        units = Units.of(X, y)
        T = units.t(X)
        losses = self._losses()
        # Many samples: the degrees are chosen on a subsample.
        subsample = rows(X.shape[0], SEARCH_ROWS, seed=FOLD_SEED)
        by_passes = X.shape[0] > STREAMED_ROWS
        remote = None
        if losses[0].robust:
            remote = _remote_by_sample(T, subsample) if by_passes else remote_rows(T)
        problem = Problem.of(T, units.z(y), losses[0], self.gamma1, self.gamma2, self.ridge,
                             self.H, weight, remote)
        groups = _part(_groups(groups, keep), subsample)
        limits = _limits(X, max_degrees)
        outcome = None
        if by_passes:
            passes = streamed.Passes(self._progress())
            started = time.perf_counter()
            sums = streamed.InMemoryRows(problem.T, problem.z, problem.weight)
            done = streamed.choose_and_fit(problem, sums, subsample, self.cv, groups, losses,
                                           limits, passes)
            problem, choice, basis, fit, spread = (done.problem, done.choice, done.basis,
                                                   done.fit, done.spread)
            end = streamed.conclude(problem, done.rows, basis, fit.beta, spread.coef.size - 1,
                                    passes, start=fit.scale)
            score = streamed.score(problem, done.rows, basis, fit.beta, passes)
            passes.report(f"{passes.count} passes over {problem.n} rows, "
                          f"{time.perf_counter() - started:.1f} s in all")
        else:
            done = choose_and_fit(problem, subsample, self.cv, groups, losses, limits)
            problem, choice, basis, fit, spread = (done.problem, done.choice, done.basis,
                                                   done.fit, done.spread)
            if self.refine:
                cv = self.cv if isinstance(self.cv, numbers.Integral) else FOLDS
                fit, outcome = refine(problem, basis, fit, self._sampler(seed),
                                      self._outcome(seed), cv, units)
            end = conclude(problem, basis, fit.beta, spread.coef.size - 1)
            score = problem.score(basis, fit.beta, figure=False)

        self._store_fit(units, problem, choice, done.n_splits, basis, spread, fit.beta,
                        end.cov, end.scale, end.cut, end.r2, end.bic,
                        int(np.count_nonzero(end.inliers)), score)
        self.remote_mask_ = _on_all_rows(problem.remote, keep, X_all.shape[0])
        self.inlier_mask_ = end.inliers
        if keep is not None and not keep.all():  # rows of weight 0 judged at weight 1
            T_all = units.t(X_all)
            off = np.abs(dc.streamed_predict(T_all, basis.multi_indices, fit.beta) - units.z(y_all))
            self.inlier_mask_ = off / spread.sd(T_all) <= end.cut * end.scale
            self.inlier_mask_[keep] = end.inliers
            self._n_inliers = int(np.count_nonzero(self.inlier_mask_))
        self.sampler_ = None if outcome is None else vars(outcome).copy()
        self._warn_at_limit(max_degrees)
        return self

    def _fit_distributed(self, X, y, sample_weight, groups):
        """`fit` of Dask arrays: the degrees chosen on the subsample, the final fit on the
        cluster (see the class docstring)."""
        from dorv._model import distributed

        if groups is not None:
            raise ValueError("groups: not taken with Dask arrays, whose subsample is split into "
                             "shuffled folds; got groups")
        progress = self._progress()
        start = time.perf_counter()
        inputs = distributed.checked(X, y, sample_weight)
        if progress is not None:
            progress(f"{inputs.n} rows checked and the inputs' ranges found, "
                     f"{time.perf_counter() - start:.1f} s")
        self.n_features_in_ = inputs.X.shape[1]
        if hasattr(self, "feature_names_in_"):
            del self.feature_names_in_
        max_degrees = self._max_degrees(self.n_features_in_)
        X_s, y_s, w_s = distributed.subsample(inputs, rows(inputs.n, SEARCH_ROWS, FOLD_SEED))
        units = Units.of_subsample(inputs.lo, inputs.hi, y_s)
        T_s = units.t(X_s)
        losses = self._losses()
        problem = Problem.of(T_s, units.z(y_s), losses[0], self.gamma1, self.gamma2, self.ridge,
                             self.H, w_s, remote_rows(T_s) if losses[0].robust else None)
        done = choose_and_fit(problem, None, self.cv, None, losses, _limits(X_s, max_degrees))
        basis, spread = done.basis, done.spread
        if progress is not None:
            progress(f"degrees {','.join(map(str, basis.degrees))} chosen on {problem.n} of "
                     f"{inputs.n} rows, {time.perf_counter() - start:.1f} s")
        rows_on_cluster = distributed.rows_of(inputs, units).with_spread(spread)
        end = distributed.final_fit(rows_on_cluster, done.problem, basis, done.fit,
                                    spread.coef.size - 1, progress)
        del rows_on_cluster  # the rows persisted on the workers are released

        self._store_fit(units, done.problem, done.choice, done.n_splits, basis, spread, end.beta,
                        end.cov, end.scale, end.cut, end.r2, end.bic, end.inliers,
                        Score(end.mdl, end.hit_rate, end.rms, math.nan))
        self.remote_mask_ = None
        self.inlier_mask_ = distributed.inlier_mask(inputs, units, basis.multi_indices,
                                                    end.beta, spread, end.cut * end.scale)
        self.sampler_ = None
        if progress is not None:
            progress(f"fitted {inputs.n} rows in {end.passes} passes, "
                     f"{time.perf_counter() - start:.1f} s")
        self._warn_at_limit(max_degrees)
        return self

    def _store_fit(self, units: Units, problem: Problem, choice, n_splits: int, basis, spread,
                   beta: Array, cov: Array, scale: float, cut: float, r2: float, bic: float,
                   n_inliers: int, score: Score) -> None:
        """The fitted attributes that every path gives alike, from figures in standard units."""
        self._store_units(units)
        self.loss_, self.loss_reason_ = problem.loss, choice.reason
        self.n_splits_ = n_splits
        self.degrees_, self.total_degree_ = basis.degrees, basis.total
        self.multi_indices_ = basis.multi_indices
        self.spread_multi_indices_, self.spread_coef_ = spread.multi_indices, spread.coef
        self.coef_ = units.coef(beta)
        self.coef_cov_ = cov * units.y_scale**2
        self.scale_ = scale * units.y_scale
        self.outlier_cut_, self.r2_ = cut, r2
        self.bic_ = bic + n_inliers * np.log(units.y_scale**2)
        self._n_inliers = n_inliers
        self.hit_tolerance_ = problem.eps * units.y_scale
        self.mdl_, self.hit_rate_, self.rms_ = score.mdl, score.hit_rate, score.rms * units.y_scale
        self.candidates_ = choice.record(units)
        chosen = self.candidates_["chosen"].index(True)
        self.cv_rms_ = self.candidates_["cv_rms"][chosen]
        self.cv_loss_ = self.candidates_["cv_loss"][chosen]

    def _progress(self):
        """Where the passes of a fit on many rows are reported: one line on stderr each with
        `verbose`, else nowhere (None)."""
        if not self.verbose:
            return None
        return lambda message: print(f"dorv: {message}", file=sys.stderr, flush=True)

    def _losses(self) -> list[Loss]:
        """The losses tried, the robust one first."""
        if self.loss == "auto":
            return [LOSSES["biweight"], LOSSES["squared_error"]]
        return [LOSSES[self.loss]]

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

    def _sampler(self, seed: int) -> dc.TournamentMCMC:
        return dc.TournamentMCMC(self.n_chains, self.n_warmup, self.n_deep, self.n_elite,
                                 self.step_size, self.H, seed)

    def _outcome(self, seed: int) -> Outcome:
        return Outcome(seed=seed, n_chains=self.n_chains, n_elite=self.n_elite)

    def _seed(self) -> int:
        rs = self.random_state
        if isinstance(rs, numbers.Integral):
            return int(rs)
        return int(check_random_state(rs).randint(np.iinfo(np.int32).max))

    def _store_units(self, units: Units) -> None:
        self.x_center_, self.x_scale_ = units.x_center, units.x_scale
        self.y_center_, self.y_scale_ = units.y_center, units.y_scale

    def _units(self) -> Units:
        return Units(self.x_center_, self.x_scale_, self.y_center_, self.y_scale_)

    def _warn_at_limit(self, max_degrees: Degrees) -> None:
        at_limit = [j for j, (d, top) in enumerate(zip(self.degrees_, max_degrees)) if d == top > 0]
        if at_limit:
            names = ", ".join(str(self._name(j)) for j in at_limit)
            warnings.warn(
                f"the chosen degree of {names} is max_degree={max_degrees[at_limit[0]]}: a higher "
                "degree might fit better", DegreeLimitWarning, stacklevel=3)

    def _name(self, j: int):
        names = getattr(self, "feature_names_in_", None)
        return names[j] if names is not None else f"x{j}"

    # -- prediction -----------------------------------------------------------------------------

    def predict(self, X, return_std: bool = False):
        """Values of the fitted polynomial at X, inside or outside the training range; with
        `return_std`, also the standard deviation of a new observation at X:
        sqrt(x' coef_cov_ x + scale_**2), the uncertainty of the fitted curve and the noise.

        Points beyond the training range of an input of nonzero degree by more than 5 % of its
        width get their values too, with an ``ExtrapolationWarning``: there the polynomial
        follows no data and soon takes any value.
        """
        if is_dask_array(X):
            return self._predict_lazy(X, return_std)
        T = self._mapped_at(X)
        mean, curve = self._mean_and_curve_variance(T, return_std)
        if not return_std:
            return mean
        return mean, np.sqrt(curve + self._noise_variance(T))

    def _predict_lazy(self, X, return_std: bool):
        """`predict` of a Dask array X (n, d): lazy Dask arrays (n), block by block."""
        check_is_fitted(self)
        if X.ndim != 2 or X.shape[1] != self.n_features_in_:
            raise ValueError(f"X: expected {self.n_features_in_} columns as in fit, got shape "
                             f"{X.shape}")
        X = X.rechunk({1: -1})
        model = copy.copy(self)  # what travels with every block: not the lazy mask's graph
        model.inlier_mask_ = None
        out = [X.map_blocks(_predicted, model=model, part=part, drop_axis=1, dtype=np.float64,
                            meta=np.empty(0)) for part in range(2 if return_std else 1)]
        return tuple(out) if return_std else out[0]

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

        T = self._mapped_at(X)
        mean, variance = self._mean_and_curve_variance(T, True)
        if kind == "observation":
            variance = variance + self._noise_variance(T)
        half = student.ppf(0.5 + 0.5 * level, self._dof()) * np.sqrt(variance)
        return mean - half, mean + half

    def _mapped_at(self, X) -> Array:
        check_is_fitted(self)
        X = validate_data(self, X, reset=False)
        T = self._units().t(X)
        self._warn_outside(T)
        return T

    def _mean_and_curve_variance(self, T: Array, variance: bool) -> tuple[Array, Array]:
        """The fitted values at mapped inputs T (n, d) and, with `variance`, the variance of the
        fitted curve there (else an empty array); for many points by blocks of rows, without
        their design matrix."""
        mi = self.multi_indices_
        if T.shape[0] > STREAMED_ROWS:
            mean = dc.streamed_predict(T, mi, self.coef_)
            if not variance:
                return mean, np.empty(0)
            return mean, np.maximum(dc.streamed_quadratic(T, mi, self.coef_cov_), 0.0)
        Phi = design(mi, T)
        mean = Phi @ self.coef_
        return mean, self._curve_variance(Phi) if variance else np.empty(0)

    def _noise_variance(self, T: Array) -> Array:
        """Variance of a new observation's noise at mapped inputs T (n, d)."""
        sd = Spread(self.spread_multi_indices_, self.spread_coef_).sd(T)
        return (self.scale_ * sd) ** 2

    def noise_scale(self, X) -> Array:
        """The sd of the noise of a new observation at X: ``scale_`` times the spread of the
        noise there (constant where the data showed no trend in it)."""
        return np.sqrt(self._noise_variance(self._mapped_at(X)))

    def _curve_variance(self, design: Array) -> Array:
        return np.maximum(np.einsum("ij,jk,ik->i", design, self.coef_cov_, design), 0.0)

    def _dof(self) -> int:
        """Degrees of freedom of the noise: inliers beyond the coefficients (at least 1)."""
        return max(1, self._inlier_count() - self.coef_.size)

    def _inlier_count(self) -> int:
        count = getattr(self, "_n_inliers", None)
        return int(np.count_nonzero(self.inlier_mask_)) if count is None else count

    def _warn_outside(self, T: Array) -> None:
        """One ExtrapolationWarning whose text names only the inputs concerned, so that the
        usual filter shows it once per reason however often cross-validation repeats it."""
        outside = np.abs(T) > 1.0 + EXTRAPOLATION_MARGIN
        columns = np.flatnonzero(outside.any(axis=0) & (np.array(self.degrees_) > 0))
        if columns.size == 0:
            return
        names = ", ".join(str(self._name(int(j))) for j in columns)
        warnings.warn(f"points lie outside the training range of {names} by more than 5 % of its "
                      "width: the polynomial is extrapolated there", ExtrapolationWarning,
                      stacklevel=4)

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
        return mi.copy(), in_original_inputs(mi, self.coef_, self.x_center_, self.x_scale_)

    def summary(self, input_names: list[str] | None = None) -> inference.Summary:
        """The chosen model in a table: the coefficients of ``coef_`` with their standard
        errors, Student-t statistics and 95 % intervals, and the figures of the fit (degrees,
        loss, scale, outliers, MDL, held-out figures); ``str()`` of it is the text form.
        `input_names` name the inputs in the maps (default: ``feature_names_in_`` or x0,
        x1, ...)."""
        check_is_fitted(self)
        inputs = [str(self._name(j)) for j in range(self.n_features_in_)] \
            if input_names is None else list(input_names)
        return inference.summary(self, inputs)


def _predicted(X: Array, model: MDLPolynomialRegressor, part: int) -> Array:
    """One block's predictions (part 0) or their standard deviations (part 1)."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ExtrapolationWarning)
        return model.predict(X, return_std=True)[part] if part else model.predict(X)


def _weighed(X: Array, y: Array, sample_weight) -> tuple[Array, Array, Array | None, Array | None]:
    """The rows of positive weight, their weights scaled to a mean of 1 (None where all are
    equal) and the mask of those rows (None without weights)."""
    weight = keep = None
    if sample_weight is not None:
        w = _check_sample_weight(sample_weight, X, ensure_non_negative=True)
        keep = w > 0.0
        X, y, w = X[keep], y[keep], w[keep]
        if X.shape[0] == 0:
            raise ValueError("sample_weight: every weight is 0, got no rows to fit")
        weight = None if np.all(w == w[0]) else w / np.mean(w)
    n = X.shape[0]
    if not np.any(X != X[0]):
        raise ValueError(
            "MDLPolynomialRegressor needs at least 2 distinct points in X, got "
            f"{n} sample{'s' if n > 1 else ''} at one point"
        )
    return X, y, weight, keep


def _groups(groups, keep: Array | None):
    """The groups of the rows of positive weight."""
    if groups is None or keep is None:
        return groups
    return np.asarray(groups)[keep]


def _part(a, rows):
    return a if a is None or rows is None else np.asarray(a)[rows]


def _on_all_rows(mask: Array | None, keep: Array | None, n: int) -> Array:
    """A mask (n) of all rows from one of the rows of positive weight (None: all False); False
    on the rows of weight 0."""
    out = np.zeros(n, dtype=bool)
    if mask is not None:
        out[slice(None) if keep is None else keep] = mask
    return out


def _limits(X: Array, max_degrees: Degrees) -> Degrees:
    """Degrees that each variable's distinct values can carry. They are counted on the first
    LIMIT_ROWS rows, then on about as many spread over all rows (an image's first rows hold few
    of its row numbers), and on all only where those have too few: sorting 10**7 values costs
    a second."""
    limits = []
    for j, d in enumerate(max_degrees):
        distinct = np.unique(X[:LIMIT_ROWS, j]).size
        if distinct <= d and X.shape[0] > LIMIT_ROWS:  # rows spread over all, then all
            distinct = np.unique(X[::X.shape[0] // LIMIT_ROWS, j]).size
        if distinct <= d:
            distinct = np.unique(X[:, j]).size
        limits.append(min(d, distinct - 1))
    return tuple(limits)


def _remote_by_sample(T: Array, subsample) -> Mask | None:
    """The rows of T (n, d) remote from the bulk of the subsample's inputs, flagged by slices
    (None where there are none or the subsample cannot tell)."""
    bulk = bulk_of(T[subsample])
    if bulk is None:
        return None
    remote = streamed.flagged(T, bulk.remote)
    return remote if remote.any() else None
