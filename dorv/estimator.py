"""A scikit-learn regressor on polynomial bases whose degrees are chosen by minimum description
length (MDL), judged on held-out points.

The model of ``MDLPolynomialRegressor`` for d input variables is a tensor-product polynomial
with one maximum exponent per variable,

    y = sum over multi-indices m of coef_[m] * t_0**m_0 * ... * t_(d-1)**m_(d-1),

where t_j = (x_j - x_center_[j]) / x_scale_[j] maps the training range of variable j onto
[-1, 1]. Fitting works on the standardised targets z = (y - median(y)) / mad(y), so that the
default penalty weights suit data of any scale; ``coef_`` is given back in units of y.

Choosing the degrees
--------------------
Each candidate tuple of degrees is fitted by penalised least squares on all the data (its MDL,
hit rate and residual RMS) and, for the held-out judgement, once per fold of a ``cv``-fold split
(the out-of-fold predictions give a held-out RMS and a held-out MDL: the same score with the hit
rate counted on points the fit did not see). On noisy data the in-sample hit rate rewards
degrees that chase the noise; held out, such a fit misses more points, not fewer.

The candidates are visited along a path rather than over the full grid (13**3 = 2197 tuples at
d = 3 and degree 12): starting from the constant model, every step tries raising the degree of
each variable by one and, for d >= 2, of all variables at once (a product such as x0 * x1
gains nothing from either alone); where none of these lowers the best held-out RMS by
``MIN_GAIN`` (relative), it also tries raising each by two (an even dependence such as x**2
gains nothing from an odd degree, an odd one little from an even degree). The path moves to
the tried neighbour of lowest held-out RMS and ends when no neighbour is left (every degree
at its limit, or fewer than ``POINTS_PER_COEF`` training points per coefficient) or after a
step without such progress. The search thus costs d + 1 candidates per step
while it progresses, at most 2 d + 1 at the end, fewer where neighbours were tried before. In
one variable it is the plain scan of degrees 0, 1, 2, ... up to two past the best.

Among the candidates as good as the best on held-out points, the one of lowest held-out MDL is
chosen (ties go to fewer coefficients): the model that predicts unseen points about as well as
any, and of those the shortest description. As good means a mean square error above the best
by at most 2 ``RMS_TOLERANCE`` of itself (``RMS_TOLERANCE`` in RMS) and at most
``R2_TOLERANCE`` of the variance of the targets (the second bounds the loss of R² on noisy
data, the first on smooth data).

The sampler
-----------
With ``refine=True`` the tournament sampler runs on the chosen degrees, with the MDL score as
its energy. Its model replaces the least-squares fit only where it is really better: it hits
more points at a lower MDL on the whole data with a residual RMS as good (in the sense above),
and, run again without one fold, it predicts that fold with at least as many hits as the
least-squares fit of the same points and an RMS as good. More hits alone are not enough: on
noisy data the sampler buys them with larger residuals elsewhere.
"""

from __future__ import annotations

import numbers
import warnings
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt
from sklearn.base import BaseEstimator, RegressorMixin
from sklearn.model_selection import KFold
from sklearn.utils import check_random_state
from sklearn.utils._param_validation import Interval
from sklearn.utils.validation import check_is_fitted, validate_data
from threadpoolctl import threadpool_limits

import dorv_core as dc
from dorv._rules import EXTRAPOLATION_MARGIN, MAX_DEGREE, hit_tolerance

Array = npt.NDArray[np.float64]
Degrees = tuple[int, ...]

RMS_TOLERANCE = 0.02  # relative held-out RMS within which candidates count as equally good
R2_TOLERANCE = 0.002  # held-out mean square error, as a fraction of var(y), ditto
MIN_GAIN = RMS_TOLERANCE  # relative fall of the best held-out RMS that counts as progress
POINTS_PER_COEF = 4  # training points per coefficient at least
FOLD_SEED = 0  # the held-out folds are fixed, so that only the sampler depends on random_state


class DegreeLimitWarning(UserWarning):
    """The chosen degree of a variable is the highest allowed: a higher one might fit better."""


class ExtrapolationWarning(UserWarning):
    """Points to predict lie outside the training range of an input, where a polynomial can
    take any value."""


@dataclass
class _Basis:
    """Design matrix and penalties of one tuple of degrees on the mapped training inputs."""

    degrees: Degrees
    multi_indices: npt.NDArray[np.int64]  # (M, d)
    Phi: Array  # (n, M)
    R1: Array  # (M, M)
    R2: Array  # (M, M)


def _design(multi_indices: npt.NDArray[np.int64], T: Array) -> Array:
    if T.shape[1] == 1:
        return dc.design_matrix_1d(int(multi_indices[-1, 0]), T[:, 0])
    return dc.design_matrix_nd(multi_indices.tolist(), list(T.T))


def _basis(degrees: Degrees, T: Array) -> _Basis:
    if len(degrees) == 1:
        R1, R2 = dc.smoothness_penalty_matrices_1d(degrees[0], -1.0, 1.0)
        mi = np.arange(degrees[0] + 1, dtype=np.int64)[:, None]
    else:
        R1, R2, indices = dc.build_penalty_matrices_nd(list(degrees), [(-1.0, 1.0)] * len(degrees))
        mi = np.array(indices, dtype=np.int64)
    return _Basis(degrees, mi, _design(mi, T), R1, R2)


def _rms(residuals: Array) -> float:
    return float(np.sqrt(np.mean(residuals**2)))


class MDLPolynomialRegressor(RegressorMixin, BaseEstimator):
    """Polynomial regression in one or several variables, degrees chosen by minimum description
    length on held-out points, optionally refined by the tournament MCMC sampler.

    Parameters
    ----------
    max_degree : int or sequence of int, default=12
        Highest degree tried, for all variables or one per variable (0 to 30).
    gamma1, gamma2 : float, default=0.0 and 1e-6
        Weights of the squared first- and second-derivative penalties over [-1, 1]^d, in the
        units of the standardised targets.
    ridge : float, default=1e-10
        Ridge added to the normal equations of the least-squares fits.
    H : int, default=20
        The H of the MDL complexity term k**2 ln(2H) / n.
    cv : int, default=5
        Number of folds of the held-out judgement (2 or more; fewer when there are fewer
        samples).
    refine : bool, default=True
        Run the tournament sampler on the chosen degrees and keep its model where it is better.
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
    mdl_, hit_rate_, rms_ : float
        MDL (on the standardised targets), hit rate and residual RMS (in units of y) of the
        chosen model on the training data.
    cv_rms_ : float
        Held-out RMS of the chosen degrees (in units of y).
    candidates_ : dict of lists
        Every candidate tried, in the order tried: ``degrees``, ``n_coefs``, ``mdl``,
        ``hit_rate``, ``rms``, ``cv_mdl``, ``cv_rms``, ``chosen`` and the least-squares
        ``coef`` (as ``coef_``). ``pandas.DataFrame`` reads it.
    sampler_ : dict or None
        The sampler's outcome (None when ``refine=False``): its ``seed``, ``coef``, ``energy``,
        ``mdl``, ``hit_rate``, ``rms``, ``held_out`` (hits and RMS of the sampler and of least
        squares on one fold left out of both, when it came to that), ``kept``, ``reason``,
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

    _parameter_constraints: dict = {
        "max_degree": ["array-like", Interval(numbers.Integral, 0, MAX_DEGREE, closed="both")],
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

    def __init__(self, max_degree=12, *, gamma1=0.0, gamma2=1e-6, ridge=1e-10, H=20, cv=5,
                 refine=True, n_chains=25, n_warmup=200, n_deep=2000, n_elite=5,
                 step_size=0.05, random_state=None):
        self.max_degree = max_degree
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

    def fit(self, X, y):
        """Chooses the degrees, fits the coefficients and refines them; returns self."""
        self._validate_params()
        X, y = validate_data(self, X, y, y_numeric=True)
        max_degrees = self._max_degrees(X.shape[1])
        seed = self._seed()
        n = X.shape[0]
        if np.unique(X, axis=0).shape[0] < 2:
            raise ValueError(
                "MDLPolynomialRegressor needs at least 2 distinct points in X, got "
                f"{n} sample{'s' if n > 1 else ''} at one point"
            )
        self._map(X, y)
        problem = self._problem(self._mapped(X), (y - self.y_center_) / self.y_scale_)
        folds = list(KFold(min(self.cv, n), shuffle=True, random_state=FOLD_SEED).split(X))
        # Degrees that each variable's distinct values can carry; coefficients that the
        # smallest training fold determines well (four points per coefficient at least).
        limits = tuple(min(d, np.unique(X[:, j]).size - 1) for j, d in enumerate(max_degrees))
        max_coefs = max(1, min(len(train) for train, _ in folds) // POINTS_PER_COEF)

        table = _search(problem, folds, limits, max_coefs)
        chosen = _choose(table, problem.variance)
        fit = table[chosen]
        basis = problem.basis(fit["degrees"])
        beta = fit["beta"]
        self.sampler_ = None
        if self.refine:
            beta, self.sampler_ = self._refine(problem, basis, fit, folds[0], seed)

        score = problem.judge(basis, beta)
        self.degrees_ = basis.degrees
        self.multi_indices_ = basis.multi_indices
        self.coef_ = self._coef(beta)
        self.mdl_ = score["mdl"]
        self.hit_rate_ = score["hit_rate"]
        self.rms_ = score["rms"] * self.y_scale_
        self.cv_rms_ = fit["cv_rms"] * self.y_scale_
        self.candidates_ = {
            "degrees": [c["degrees"] for c in table],
            "n_coefs": [c["n_coefs"] for c in table],
            "mdl": [c["mdl"] for c in table],
            "hit_rate": [c["hit_rate"] for c in table],
            "rms": [c["rms"] * self.y_scale_ for c in table],
            "cv_mdl": [c["cv_mdl"] for c in table],
            "cv_rms": [c["cv_rms"] * self.y_scale_ for c in table],
            "chosen": [i == chosen for i in range(len(table))],
            "coef": [self._coef(c["beta"]) for c in table],
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
                isinstance(v, numbers.Integral) and 0 <= v <= MAX_DEGREE for v in degrees):
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

    def _problem(self, T: Array, z: Array) -> _Problem:
        return _Problem(T, z, hit_tolerance(dc.mad(z)), self.gamma1, self.gamma2, self.ridge,
                        self.H)

    def _refine(self, problem: _Problem, basis: _Basis, fit: dict, fold, seed: int):
        """The sampler's model and outcome, or the least-squares fit where the sampler's model
        is not really better (see the module docstring)."""
        sampler = dc.TournamentMCMC(self.n_chains, self.n_warmup, self.n_deep, self.n_elite,
                                    self.step_size, self.H, seed)
        beta, run = problem.sample(sampler, basis, None)
        score = problem.judge(basis, beta)
        outcome = {
            "seed": seed, "coef": self._coef(beta), "energy": run.energy, "mdl": score["mdl"],
            "hit_rate": score["hit_rate"], "rms": score["rms"] * self.y_scale_,
            "n_chains": run.n_chains, "n_elite": run.n_elite,
            "gibbs": {k: getattr(run.gibbs, k)
                      for k in ("H", "Hmax", "He", "r_heat", "var_E", "T")},
            "held_out": None,
        }
        if not (score["mdl"] < fit["mdl"] and score["hit_rate"] > fit["hit_rate"]):
            outcome.update(kept=False, reason="the sampler found no more hits at a lower MDL")
            return fit["beta"], outcome
        if not _as_good(score["rms"], fit["rms"], problem.variance):
            outcome.update(kept=False, reason="more hits at a lower MDL, but a larger residual RMS")
            return fit["beta"], outcome
        train, test = fold
        sampled, _ = problem.sample(sampler, basis, train)
        hits, rms = {}, {}
        for name, b in (("sampler", sampled), ("least squares", problem.solve(basis, train))):
            r = basis.Phi[test] @ b - problem.z[test]
            hits[name], rms[name] = int(np.count_nonzero(np.abs(r) < problem.eps)), _rms(r)
        outcome["held_out"] = {name: {"hits": hits[name], "rms": rms[name] * self.y_scale_}
                               for name in hits}
        if (hits["sampler"] >= hits["least squares"]
                and _as_good(rms["sampler"], rms["least squares"], problem.variance)):
            outcome.update(kept=True, reason="more hits at a lower MDL, as good on held-out points")
            return beta, outcome
        outcome.update(kept=False, reason="more hits at a lower MDL, but worse on held-out points")
        return fit["beta"], outcome

    def _coef(self, beta: Array) -> Array:
        """Coefficients for z turned into coefficients for y."""
        coef = self.y_scale_ * beta
        coef[0] += self.y_center_  # the first monomial is the constant
        return coef

    def _name(self, j: int):
        names = getattr(self, "feature_names_in_", None)
        return names[j] if names is not None else f"x{j}"

    # -- prediction -----------------------------------------------------------------------------

    def predict(self, X):
        """Values of the fitted polynomial at X, inside or outside the training range.

        Points beyond the training range of an input of nonzero degree by more than 1 % of its
        width get their values too, with one ``ExtrapolationWarning`` per call: there the
        polynomial follows no data and soon takes any value.
        """
        check_is_fitted(self)
        X = validate_data(self, X, reset=False)
        T = self._mapped(X)
        self._warn_outside(T)
        return _design(self.multi_indices_, T) @ self.coef_

    def _warn_outside(self, T: Array) -> None:
        outside = np.abs(T) > 1.0 + EXTRAPOLATION_MARGIN
        columns = np.flatnonzero(outside.any(axis=0) & (np.array(self.degrees_) > 0))
        if columns.size == 0:
            return
        ranges = "; ".join(f"{self._name(j)} from {self.x_center_[j] - self.x_scale_[j]:.4g} to "
                           f"{self.x_center_[j] + self.x_scale_[j]:.4g}" for j in columns)
        count = int(outside[:, columns].any(axis=1).sum())
        warnings.warn(f"{count} of {T.shape[0]} points lie outside the training range ({ranges}): "
                      "the polynomial is extrapolated there", ExtrapolationWarning, stacklevel=3)


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

    @property
    def variance(self) -> float:
        return float(np.var(self.z))

    def basis(self, degrees: Degrees) -> _Basis:
        return _basis(degrees, self.T)

    def solve(self, basis: _Basis, rows=None) -> Array:
        """Penalised least-squares coefficients on all rows or on the given ones."""
        Phi, z = (basis.Phi, self.z) if rows is None else (basis.Phi[rows], self.z[rows])
        return dc.fit_regularized_linear(Phi, z, basis.R1, basis.R2, self.gamma1, self.gamma2,
                                         self.ridge)

    def mdl(self, basis: _Basis, zp: Array, beta: Array) -> float:
        return dc.mdl_score_reg(zp, self.z, basis.Phi.shape[1], self.H, beta, basis.R1,
                                basis.R2, self.gamma1, self.gamma2)

    def judge(self, basis: _Basis, beta: Array) -> dict:
        """MDL, hit rate and residual RMS (of z) of coefficients on the whole data."""
        zp = basis.Phi @ beta
        return {"mdl": self.mdl(basis, zp, beta), "hit_rate": dc.compute_sr(zp, self.z, self.eps),
                "rms": _rms(zp - self.z)}

    def candidate(self, degrees: Degrees, folds) -> dict:
        """The least-squares fit of one tuple of degrees and its held-out judgement."""
        basis = self.basis(degrees)
        beta = self.solve(basis)
        held_out = np.empty_like(self.z)
        for train, test in folds:
            held_out[test] = basis.Phi[test] @ self.solve(basis, train)
        return {"degrees": degrees, "n_coefs": basis.Phi.shape[1], "beta": beta,
                **self.judge(basis, beta), "cv_mdl": self.mdl(basis, held_out, beta),
                "cv_rms": _rms(held_out - self.z)}

    def sample(self, sampler: dc.TournamentMCMC, basis: _Basis, rows=None):
        """The sampler's coefficients for all rows or the given ones, and its run.

        The sampler walks in coefficients b of an orthonormal basis of the same polynomials,
        X = Phi S with X^T X = n I, so that its isotropic random-walk steps suit every direction
        alike; beta = S b, and the penalties become S^T R S, which leaves every energy unchanged.
        """
        Phi, z = (basis.Phi, self.z) if rows is None else (basis.Phi[rows], self.z[rows])
        # Phi = Q R has the singular values and right singular vectors of R, a small matrix.
        # One thread: these factorisations are too small to gain from more, and threads that
        # wait for each other cost seconds on a busy machine.
        with threadpool_limits(1, user_api="blas"):
            _, sv, Vt = np.linalg.svd(np.linalg.qr(Phi, mode="r"))
        keep = sv > sv[0] * 1e-12
        S = np.sqrt(Phi.shape[0]) * (Vt[keep].T / sv[keep])
        run = sampler.fit(Phi @ S, z, S.T @ basis.R1 @ S, S.T @ basis.R2 @ S, self.gamma1,
                          self.gamma2)
        return S @ run.beta_mcmc, run


def _neighbours(degrees: Degrees, limits: Degrees, jump: int) -> list[Degrees]:
    """Degrees raised by one for each variable and, for d >= 2, for all at once (jump 1), or
    raised by two for each variable (jump 2), within the limits."""
    steps = [tuple(d + jump * (i == j) for j, d in enumerate(degrees)) for i in range(len(degrees))]
    if jump == 1 and len(degrees) > 1:
        steps.append(tuple(d + 1 for d in degrees))
    return [s for s in steps if all(d <= top for d, top in zip(s, limits))]


def _search(problem: _Problem, folds, limits: Degrees, max_coefs: int) -> list[dict]:
    """The path of candidates described in the module docstring, in the order tried."""
    current = (0,) * len(limits)
    table = [problem.candidate(current, folds)]
    tried = {current}
    best = table[0]["cv_rms"]
    while True:
        judged = []
        for jump in (1, 2):
            steps = [s for s in _neighbours(current, limits, jump)
                     if s not in tried and np.prod(np.add(s, 1)) <= max_coefs]
            tried.update(steps)
            judged += [problem.candidate(s, folds) for s in steps]
            if _progress(judged, best):
                break  # no need to jump by two
        table += judged
        if not _progress(judged, best):
            return table
        step = min(judged, key=lambda c: c["cv_rms"])
        current, best = step["degrees"], step["cv_rms"]


def _progress(judged: list[dict], best: float) -> bool:
    """Whether a candidate lowers the best held-out RMS by MIN_GAIN (relative)."""
    return any(c["cv_rms"] < (1.0 - MIN_GAIN) * best for c in judged)


def _as_good(rms: float, best: float, variance: float) -> bool:
    """Whether a residual RMS counts as good as the best one: its mean square exceeds the best
    by at most 2 RMS_TOLERANCE of itself and at most R2_TOLERANCE of the variance of z."""
    return rms**2 <= best**2 + min(2.0 * RMS_TOLERANCE * best**2, R2_TOLERANCE * variance)


def _choose(table: list[dict], variance: float) -> int:
    """Index of the candidate of lowest held-out MDL among those as good as the best on
    held-out points; ties go to fewer coefficients."""
    best = min(c["cv_rms"] for c in table)
    good = [i for i, c in enumerate(table) if _as_good(c["cv_rms"], best, variance)]
    return min(good, key=lambda i: (table[i]["cv_mdl"], table[i]["n_coefs"]))
