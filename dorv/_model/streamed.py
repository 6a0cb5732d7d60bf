"""The final stage of a fit on many rows, without their design matrix.

The degrees are chosen on a fixed subsample (`fitting.choose_and_fit` on its rows); the basis
and its design matrix then stay those of the subsample, and every step that needs all rows is a
pass over them: the polish of the chosen fit (iteratively reweighted least squares at the scale
of the subsample's fit, as the robust fit's M-step, until no fitted value moves by 1e-10 of the
scale), the loss's finish (least squares of the rows the robust fit keeps), the covariance of
the coefficients and the leverage of every row. The variance function of the noise is fitted to
the subsample's residuals. Only vectors of one entry per row are kept beside the inputs.

The passes are written against a small "rows" object (`Rows`): its sums of the weighted normal
equations and its predictions, with the Gram matrix and quadratic forms of any row weights for
the covariance. `InMemoryRows` holds arrays in memory and calls the core's streamed functions;
a distributed implementation of the same methods serves the same stage.
"""

from __future__ import annotations

import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from dataclasses import dataclass, replace
from typing import Protocol

import numpy as np

import dorv_core as dc
from dorv._model.basis import Array, Basis, Indices, Mask
from dorv._model.fitting import CHOICES, POLISH_STEPS, held_out
from dorv._model.inference import Conclusion, concluded
from dorv._model.losses import BIWEIGHT_C, Loss, inlier_scale, outlier_cut, sandwich
from dorv._model.problem import Fit, Problem, Score
from dorv._model.search import Choice, search_and_choose
from dorv._model.spread import Spread, constant, fit_spread, inliers_of

Progress = Callable[[str], None] | None
CONVERGED = 1e-10  # a pass that moves no fitted value by this share of the scale ends the polish
MAX_STEPS = 50  # passes of a polish after a new weighting of the rows, at most
SLICE_ROWS = 1 << 20  # rows per slice where Python computes a function of the inputs by parts
TERM_ROWS = 1 << 15  # rows per slice of the arithmetic on vectors of one entry per row


class Rows(Protocol):
    """All rows of a problem, passed over without their design matrix. `z` (n) the targets and
    `weight` (n) the sample weights (None for all 1) as vectors of one entry per row."""

    n: int
    z: Array
    weight: Array | None

    def sums(self, multi_indices: Indices, beta: Array | None = None,
             scale: float = 0.0) -> tuple[Array, Array, float]:
        """Gram matrix (M, M), right-hand side (M) and total weight of the weighted normal
        equations: each row weighted by its sample weight and, with `beta` and a positive
        `scale`, by the biweight weight of its residual at that scale
        (`dorv_core.streamed_sums`)."""
        ...

    def predict(self, multi_indices: Indices, beta: Array) -> Array:
        """The model's values (n) at every row."""
        ...

    def gram(self, multi_indices: Indices, weight: Array) -> Array:
        """sum_i weight_i phi_i phi_i' (M, M) for row weights (n) of any sign; the rows' own
        sample weights are not applied."""
        ...

    def quadratic(self, multi_indices: Indices, A: Array) -> Array:
        """phi_i' A phi_i (n) at every row."""
        ...

    def weighted(self, weight: Array | None) -> Rows:
        """The same rows with these sample weights (n) (None for all 1)."""
        ...


@dataclass(frozen=True)
class InMemoryRows:
    """Rows held in memory: mapped inputs T (n, d), targets z (n), sample weights (n) or None."""

    T: Array
    z: Array
    weight: Array | None = None

    @property
    def n(self) -> int:
        return self.z.size

    def sums(self, multi_indices, beta=None, scale=0.0):
        return dc.streamed_sums(self.T, self.z, multi_indices, beta, scale, self.weight)

    def predict(self, multi_indices, beta):
        return dc.streamed_predict(self.T, multi_indices, beta)

    def gram(self, multi_indices, weight):
        return dc.streamed_gram(self.T, multi_indices, weight)

    def quadratic(self, multi_indices, A):
        return dc.streamed_quadratic(self.T, multi_indices, A)

    def weighted(self, weight):
        return replace(self, weight=weight)


class Passes:
    """Counts the passes over all rows and reports each, with its time, to `progress` (None
    for silence): "pass 3: robust reweighting, 1.2 s"."""

    def __init__(self, progress: Progress = None):
        self.progress = progress
        self.count = 0
        self._last: tuple[bytes, Array] | None = None

    def predict(self, rows: Rows, multi_indices: Indices, beta: Array, what: str) -> Array:
        """rows.predict in a pass of its own, unless the last call asked for the same
        coefficients of the same monomials (read only)."""
        key = multi_indices.tobytes() + np.asarray(beta, dtype=float).tobytes()
        if self._last is None or self._last[0] != key:
            self._last = None  # freed before the next is made
            with self.over(what):
                zp = rows.predict(multi_indices, beta)
            zp.setflags(write=False)
            self._last = (key, zp)
        return self._last[1]

    def report(self, message: str) -> None:
        if self.progress is not None:
            self.progress(message)

    @contextmanager
    def over(self, what: str) -> Iterator[None]:
        start = time.perf_counter()
        yield
        self.count += 1
        if self.progress is not None:
            self.progress(f"pass {self.count}: {what}, {time.perf_counter() - start:.1f} s")


@dataclass(frozen=True)
class Streamed:
    """What the streamed stage found: the problem of all rows (weighted as the final fit weighs
    them, with no design matrix formed), the rows, the choice made on the subsample, the basis
    of the subsample, the final fit, the spread of the noise and the held-out splits."""

    problem: Problem
    rows: Rows
    choice: Choice
    basis: Basis
    fit: Fit
    spread: Spread
    n_splits: int


def choose_and_fit(problem: Problem, rows: Rows, subsample: Indices, cv, groups,
                   losses: list[Loss], limits, passes: Passes) -> Streamed:
    """The degrees chosen on the rows of `subsample` as `fitting.choose_and_fit` chooses them,
    the chosen fit polished on all rows by passes over `rows` (the rows of `problem`)."""
    sample, pairs, judges = held_out(problem, subsample, cv, groups)
    judging, weighed = problem, rows
    spread = constant(problem.T.shape[1])
    for _ in range(CHOICES):
        started = time.perf_counter()
        choice = search_and_choose(judging.subset(subsample).judged_by(judges), losses, pairs,
                                   limits)
        passes.report(f"degrees {choice.candidate.degrees} chosen on {sample.n} rows, "
                      f"{time.perf_counter() - started:.1f} s")
        loss = choice.loss
        basis = sample.basis(choice.candidate.degrees, choice.candidate.total)
        chosen = judging.with_loss(loss)
        fit = polish(chosen, weighed, basis, choice.candidate.fit, POLISH_STEPS, passes)
        judging, weighed, fit, spread = reweigh(problem.with_loss(loss), rows, subsample, basis,
                                                fit, passes)
        if spread.constant:
            break
    fit = finish(judging, weighed, basis, fit, passes)
    return Streamed(judging, weighed, choice, basis, fit, spread, len(pairs))


def polish(problem: Problem, rows: Rows, basis: Basis, start: Fit, max_steps: int,
           passes: Passes) -> Fit:
    """The loss's fit of all rows from `start`: for least squares the weighted normal
    equations of one pass; for the biweight the robust fit's M-step at the scale of `start`,
    one pass a step, and the inlier scale of its residuals (as `dorv_core.fit_robust_linear`
    with `init` and `scale` given)."""
    mi = basis.multi_indices
    if not problem.loss.robust or start.scale is None:
        with passes.over("least squares"):
            beta = _solve(problem, basis, *rows.sums(mi))
        return Fit(beta)
    residuals = rows.z if rows.weight is None else rows.z * np.sqrt(rows.weight)
    floor = max(1e-12 * float(np.max(np.abs(residuals))), np.finfo(float).tiny)
    del residuals
    scale = max(start.scale, floor)
    beta = start.beta
    for _ in range(max_steps):
        with passes.over("robust reweighting"):
            gram, rhs, total = rows.sums(mi, beta, scale)
        if total == 0.0:
            break
        new = _solve(problem, basis, gram, rhs, total)
        # Every monomial is at most 1 in size on the mapped inputs, so the sum of the changes
        # of the coefficients bounds the change of every fitted value.
        change = float(np.sum(np.abs(new - beta)))
        beta = new
        if change <= CONVERGED * (scale + np.finfo(float).tiny):
            break
    r = _weighed(rows, passes.predict(rows, mi, beta, "residuals") - rows.z)
    return Fit(beta, max(dc.inlier_scale(r, start=scale), floor))


def reweigh(problem: Problem, rows: Rows, subsample: Indices, basis: Basis, fit: Fit,
            passes: Passes) -> tuple[Problem, Rows, Fit, Spread]:
    """`spread.reweigh` with the variance function fitted to the residuals of the subsample's
    inliers: the fit weighted by its inverse on all rows and polished again, twice at most;
    the problem, the rows and the fit as they were where the spread shows no trend."""
    user = problem.weight
    sample = problem.subset(subsample)
    spread = constant(problem.T.shape[1])
    for _ in range(2):
        r = basis.Phi @ fit.beta - sample.z
        inliers = inliers_of(r * sample.root)
        unit = r if sample.weight is None else r * np.sqrt(sample.weight)
        new = fit_spread(sample.T[inliers], unit[inliers])
        if new.constant and spread.constant:
            break
        spread = new
        weight = 1.0 / _by_slices(problem.T, spread.sd) ** 2
        if user is not None:
            weight *= user
        problem, rows = problem.weighted(weight), rows.weighted(weight)
        sample = problem.subset(subsample)
        fit = polish(problem, rows, basis, fit, MAX_STEPS, passes)
    return problem, rows, fit, spread


def finish(problem: Problem, rows: Rows, basis: Basis, fit: Fit, passes: Passes) -> Fit:
    """The loss's finish (`Loss.finish`) by passes: for the biweight, least squares of the rows
    within `outlier_cut` scales of the robust fit (their sample weights times 0 or 1)."""
    if not problem.loss.robust:
        return fit
    mi = basis.multi_indices
    r = _weighed(rows, passes.predict(rows, mi, fit.beta, "residuals") - rows.z)
    # fit.scale is the inlier scale of these residuals (the polish's), up to its floor
    cut = outlier_cut(rows.n) * inlier_scale(r, fit.scale)
    keep = np.abs(r, out=r) <= cut
    del r
    if np.count_nonzero(keep) <= basis.n_coefs:
        return fit
    kept = keep.astype(float) if rows.weight is None else np.where(keep, rows.weight, 0.0)
    del keep
    with passes.over("least squares of the kept rows"):
        beta = _solve(problem, basis, *rows.weighted(kept).sums(mi))
    return Fit(beta, fit.scale)


def score(problem: Problem, rows: Rows, basis: Basis, beta: Array, passes: Passes) -> Score:
    """`Problem.score` of coefficients on all rows, without the held-out figure (NaN)."""
    return problem.score(basis, beta, zp=passes.predict(rows, basis.multi_indices, beta, "scores"),
                         figure=False)


def conclude(problem: Problem, rows: Rows, basis: Basis, beta: Array, n_spread: int,
             passes: Passes, start: float | None = None) -> Conclusion:
    """`inference.conclude` by passes over all rows; `start`, where given, a scale near the
    inlier scale of the residuals (the fit's), from which their scales are measured."""
    mi = basis.multi_indices
    residuals = _weighed(rows, passes.predict(rows, mi, beta, "residuals") - rows.z)
    scale = inlier_scale(residuals, start)
    if problem.loss.robust and scale > 0.0:
        cov, leverage = _biweight_inference(problem, rows, basis, residuals, scale, passes)
    else:
        cov, leverage = _squares_inference(problem, rows, basis, residuals, passes)
    return concluded(problem, basis, residuals, cov, leverage, n_spread,
                     start=scale if scale > 0.0 else None)


def _squares_inference(problem: Problem, rows: Rows, basis: Basis, residuals: Array,
                       passes: Passes) -> tuple[Array, Array]:
    """`SquaredLoss.inference` by passes."""
    mi, p = basis.multi_indices, basis.n_coefs
    with passes.over("covariance"):
        gram, _, total = rows.sums(mi)
    inverse = _inverse(gram + _penalty(problem, basis, total))
    with passes.over("leverage"):
        leverage = rows.quadratic(mi, inverse)
    if rows.weight is not None:
        leverage *= rows.weight
    mean_square = float(residuals @ residuals) / max(rows.n - p, 1)
    return sandwich(inverse, mean_square * gram), leverage


def _biweight_inference(problem: Problem, rows: Rows, basis: Basis, residuals: Array,
                        scale: float, passes: Passes) -> tuple[Array, Array]:
    """`BiweightLoss.inference` by passes: the sandwich of the M-estimator, its leverage
    correction from the quadratic forms of the rows."""
    mi = basis.multi_indices
    slope, weight, total = _biweight_terms(residuals, scale, rows.weight)
    with passes.over("covariance"):
        bread = rows.gram(mi, slope)
    inverse = _inverse(bread + _penalty(problem, basis, total))
    with passes.over("leverage"):
        leverage = rows.quadratic(mi, inverse)
    leverage *= slope
    del slope
    meat = _meat(weight, residuals, scale, leverage, rows.weight)
    with passes.over("covariance"):
        filling = rows.gram(mi, meat)
    return sandwich(inverse, scale * scale * filling), leverage


def _slices(n: int) -> Iterator[slice]:
    """Slices of TERM_ROWS rows covering n, over which the temporaries stay in cache."""
    for start in range(0, n, TERM_ROWS):
        yield slice(start, min(n, start + TERM_ROWS))


def _biweight_terms(residuals: Array, scale: float,
                    sample_weight: Array | None) -> tuple[Array, Array, float]:
    """The slopes psi'(r / s) (n) times the sample weights, the biweight weights
    psi(r / s) / (r / s) (n) of residuals r (n) at scale s, and the total weight of the rows as
    the robust fit's M-step counts it (sum of the biweight weights times the sample weights)."""
    n = residuals.size
    slope, weight = np.empty(n), np.empty(n)
    total = 0.0
    for sl in _slices(n):
        u2 = np.divide(residuals[sl], BIWEIGHT_C * scale)
        np.square(u2, out=u2)
        s, w = slope[sl], weight[sl]
        np.subtract(1.0, u2, out=w)
        np.multiply(u2, -5.0, out=s)
        s += 1.0
        s *= w
        np.square(w, out=w)
        outside = u2 >= 1.0
        s[outside] = 0.0
        w[outside] = 0.0
        if sample_weight is not None:
            s *= sample_weight[sl]
            total += float(np.dot(w, sample_weight[sl]))
        else:
            total += float(np.sum(w))
    return slope, weight, total


def _meat(weight: Array, residuals: Array, scale: float, leverage: Array,
          sample_weight: Array | None) -> Array:
    """psi(r / s)^2 / (1 - h) (n), weighted as the rows are, formed in the storage of the
    biweight weights (n): r (n) the residuals, h (n) the leverage."""
    for sl in _slices(weight.size):
        w = weight[sl]
        w *= residuals[sl]
        w /= scale
        np.square(w, out=w)
        room = np.subtract(1.0, leverage[sl])
        np.maximum(room, 0.1, out=room)
        w /= room
        if sample_weight is not None:
            w *= sample_weight[sl]
    return weight


def _inverse(A: Array) -> Array:
    """The pseudo-inverse of a symmetric matrix, as the losses' covariances take it."""
    return np.asarray(np.linalg.pinv(A, hermitian=True), dtype=np.float64)


def _penalty(problem: Problem, basis: Basis, total: float) -> Array:
    penalty = problem.ridge * np.eye(basis.n_coefs)
    return penalty + total * (problem.gamma1 * basis.R1 + problem.gamma2 * basis.R2)


def _solve(problem: Problem, basis: Basis, gram: Array, rhs: Array, total: float) -> Array:
    """The penalised normal equations of the sums, solved as the core's fits solve theirs."""
    return dc.solve_sums(gram, rhs, total, basis.R1, basis.R2, problem.gamma1, problem.gamma2,
                         problem.ridge)


def _weighed(rows: Rows, r: Array) -> Array:
    """Residuals r (n) turned into those of unit weight (in place)."""
    if rows.weight is not None:
        r *= np.sqrt(rows.weight)
    return r


def _by_slices(T: Array, f: Callable[[Array], Array]) -> Array:
    """f of the rows of T (n, d), a vector (n), computed by slices of SLICE_ROWS rows so that
    its temporaries stay small."""
    out = np.empty(T.shape[0])
    for start in range(0, T.shape[0], SLICE_ROWS):
        out[start:start + SLICE_ROWS] = f(T[start:start + SLICE_ROWS])
    return out


def flagged(T: Array, flag: Callable[[Array], Mask]) -> Mask:
    """A mask (n) of the rows of T (n, d) by slices (see `_by_slices`)."""
    out = np.empty(T.shape[0], dtype=bool)
    for start in range(0, T.shape[0], SLICE_ROWS):
        out[start:start + SLICE_ROWS] = flag(T[start:start + SLICE_ROWS])
    return out
