"""Fits whose rows live on a Dask cluster.

The rows of the final fit are Dask arrays kept on the workers. Every pass over them is a map
over their blocks whose small results (a Gram matrix, a right-hand side, a few sums) are added
in a tree, so that only M x M matrices travel; predictions stay lazy Dask arrays. The degrees
are chosen, as for many rows in memory, on a fixed subsample: k rows drawn by global row index
with a fixed seed and gathered from all partitions, so that the fitted model does not depend on
how the rows are partitioned.

- `DaskRows`: the rows in standard units and their passes, `sums` and `predict`, each block's
  work done by the core's streamed functions (no block's design matrix is formed);
- `Inputs`, `checked`, `subsample`: the user's arrays checked in one pass that also finds the
  ranges of the inputs, and the subsample;
- `final_fit`: a minimal final stage over such rows (the polish by IRLS passes at the
  subsample's scale, the robust loss's finish, the covariance and the figures of the fit).
"""

from __future__ import annotations

import math
import time
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

import numpy as np

import dorv_core as dc
from dorv._model.basis import Array, Basis, Indices, Mask, design
from dorv._model.fitting import POLISH_STEPS
from dorv._model.losses import BIWEIGHT_C, INLIER_SCALES, inlier_scale, outlier_cut
from dorv._model.problem import Fit, Problem, Units
from dorv._model.spread import Spread

Progress = Callable[[str], None] | None
SLICE_ROWS = 1 << 18  # a block's rows are summed in slices of at most this many
SPLIT_EVERY = 8  # blocks added per node of the tree of sums
TRUNCATED_VARIANCE = 0.97334  # E[Z^2 | |Z| < INLIER_SCALES], Z standard normal (the core's)


# ----------------------------------------------------------------------------------------------
# One block


# ----------------------------------------------------------------------------------------------
# The rows on the cluster


class DaskRows:
    """Rows in standard units on a Dask cluster: inputs T (n, d) mapped onto [-1, 1], targets z
    (n) and sample weights (n) or None, chunked alike along the rows (T in one column chunk),
    and the variance function that divides the weights (None for a constant spread).

    `sums` and `predict` are what a final stage asks of its rows; `reduce` adds any flat
    per-block sums in a tree."""

    def __init__(self, T: Any, z: Any, weight: Any = None, spread: Spread | None = None):
        self.T, self.z, self.weight = T, z, weight
        self.spread = None if spread is None or spread.constant else spread

    @classmethod
    def of(cls, T: Any, z: Any, weight: Any = None) -> DaskRows:
        """The rows aligned on T's row chunks and persisted on the workers."""
        import dask

        T = T.rechunk({1: -1})
        z = z.rechunk((T.chunks[0],))
        weight = None if weight is None else weight.rechunk((T.chunks[0],))
        return cls(*_held(T, z, weight))

    def with_spread(self, spread: Spread) -> DaskRows:
        """The same rows, their weights divided by the variance function `spread`."""
        return DaskRows(self.T, self.z, self.weight, spread)

    @property
    def n(self) -> int:
        return int(self.T.shape[0])

    @property
    def n_blocks(self) -> int:
        return len(self.T.chunks[0])

    def reduce(self, block: Callable[..., Array], size: int, **kwargs: Any) -> Array:
        """The sum over the blocks of `block(T, z, w, **kwargs)`, a flat array of `size` per
        block (w the block's weights, None for all 1), added in a tree of fixed shape."""
        import dask.array as da

        args = [self.T, self.z[:, None]] + ([] if self.weight is None else
                                            [self.weight[:, None]])
        parts = da.map_blocks(_flat_of_block, *args, block=block, size=size,
                              spread=self.spread, chunks=((1,) * self.n_blocks, (size,)),
                              dtype=np.float64, meta=np.empty((0, 0)), **kwargs)
        return np.asarray(parts.sum(axis=0, split_every=SPLIT_EVERY).compute())

    def sums(self, multi_indices: Indices, beta: Array | None = None,
             scale: float = 0.0) -> tuple[Array, Array, float]:
        """gram (M, M), rhs (M) and total weight of all rows, as `dorv_core.streamed_sums`
        gives them for one block."""
        m = multi_indices.shape[0]
        flat = self.reduce(_sums_of_block, m * m + m + 1, multi_indices=multi_indices,
                           beta=beta, scale=scale)
        return flat[:m * m].reshape(m, m), flat[m * m:-1], float(flat[-1])

    def predict(self, multi_indices: Indices, beta: Array) -> Any:
        """The model at every row, a lazy Dask array (n)."""
        return self.T.map_blocks(dc.streamed_predict, multi_indices, beta, drop_axis=1,
                                 dtype=np.float64, meta=np.empty(0))


def _flat_of_block(T: Array, z: Array, w: Array | None = None, *, block: Callable[..., Array],
                   size: int, spread: Spread | None, **kwargs: Any) -> Array:
    """One block's flat sums (1, size), its weights divided by the spread's variance."""
    weight = None if w is None else w[:, 0]
    if spread is not None:
        inverse = spread.sd(T) ** -2
        weight = inverse if weight is None else weight * inverse
    out = np.zeros(size) if T.shape[0] == 0 else block(T, z[:, 0], weight, **kwargs)
    return np.reshape(out, (1, size))


def _sliced(block: Callable[..., Array], T: Array, z: Array, w: Array | None,
            **kwargs: Any) -> Array:
    """`block` added over slices of at most SLICE_ROWS rows, in row order, so that the
    temporaries of a block's residuals and weights stay small."""
    total = None
    for start in range(0, T.shape[0], SLICE_ROWS):
        part = slice(start, start + SLICE_ROWS)
        out = block(T[part], z[part], None if w is None else w[part], **kwargs)
        total = out if total is None else total + out
    assert total is not None
    return total


def _sums_of_block(T: Array, z: Array, w: Array | None, *, multi_indices: Indices,
                   beta: Array | None, scale: float) -> Array:
    def flat(T, z, w):
        gram, rhs, total = dc.streamed_sums(T, z, multi_indices, beta, scale, w)
        return np.concatenate([gram.ravel(), rhs, [total]])

    return _sliced(flat, T, z, w)


# ----------------------------------------------------------------------------------------------
# The user's arrays, their units and the subsample


def is_dask_array(a: Any) -> bool:
    """Whether `a` is a Dask array (without importing Dask where nothing has)."""
    import sys

    module = sys.modules.get("dask.array")
    return module is not None and isinstance(a, module.Array)


@dataclass(frozen=True)
class Inputs:
    """The user's Dask arrays, checked and persisted on the workers: X (n, d) in one column
    chunk, y (n) and weights (n) or None chunked as X's rows, the weights scaled to a mean of 1
    over the rows of positive weight; the range of each input over all rows; and the same
    arrays as given, not persisted (X, y, weight), for what is computed later."""

    X: Any
    y: Any
    weight: Any
    lo: Array  # (d)
    hi: Array  # (d)
    given: tuple[Any, Any, Any]

    @property
    def n(self) -> int:
        return int(self.X.shape[0])


def checked(X: Any, y: Any, sample_weight: Any = None) -> Inputs:
    """X (n, d), y (n) and sample_weight (n) or None, Dask or NumPy arrays (at least X or y a
    Dask array), checked in one pass over the data that also finds the inputs' ranges; a
    ValueError names the argument at fault."""
    import dask
    import dask.array as da

    X = _as_dask(X, "X", 2, None)
    if math.isnan(X.shape[0]):
        X = X.compute_chunk_sizes()
    X = X.rechunk({1: -1})
    rows = X.chunks[0]
    y = _as_dask(y, "y", 1, X.shape[0]).rechunk((rows,))
    w = None if sample_weight is None else \
        _as_dask(sample_weight, "sample_weight", 1, X.shape[0]).rechunk((rows,))
    if X.shape[0] == 0 or X.shape[1] == 0:
        raise ValueError(f"X: expected at least 1 row and 1 column, got shape {X.shape}")
    X, y = X.astype(np.float64), y.astype(np.float64)
    w = None if w is None else w.astype(np.float64)
    given_X, given_y, given_w = X, y, w  # type: tuple[Any, Any, Any]
    X, y, w = _held(X, y, w)
    asked = [X.min(axis=0), X.max(axis=0), da.isfinite(X).all(), da.isfinite(y).all()]
    if w is not None:
        asked += [da.isfinite(w).all(), w.min(), w.sum(), (w > 0).sum()]
    found = dask.compute(*asked)
    lo, hi = np.asarray(found[0], dtype=np.float64), np.asarray(found[1], dtype=np.float64)
    if not found[2]:
        raise ValueError(f"X: expected finite numbers, got NaN or infinity in an array of shape "
                         f"{X.shape}")
    if not found[3]:
        raise ValueError(f"y: expected finite numbers, got NaN or infinity in {X.shape[0]} rows")
    if w is not None:
        finite, least, total, positive = found[4:]
        if not finite or least < 0.0:
            raise ValueError("sample_weight: expected finite weights of 0 or more, got "
                             f"{'NaN or infinity' if not finite else f'a weight {least:g}'}")
        if positive == 0:
            raise ValueError("sample_weight: every weight is 0, got no rows to fit")
        mean = float(total) / int(positive)
        w, given_w = w / mean, given_w / mean
    if np.all(lo == hi):
        raise ValueError(f"MDLPolynomialRegressor needs at least 2 distinct points in X, got "
                         f"{X.shape[0]} samples at one point")
    return Inputs(X, y, w, lo, hi, (given_X, given_y, given_w))


def _held(*arrays: Any) -> tuple[Any, ...]:
    """The arrays persisted, once they are in the workers' memory (None stays None)."""
    import dask

    held = dask.persist(*arrays)
    try:
        from distributed import Client, wait
    except ImportError:
        return held
    try:
        Client.current(allow_global=True)
    except ValueError:  # no cluster: persist has computed them here
        return held
    wait([a for a in held if a is not None])
    return held


def _as_dask(a: Any, name: str, ndim: int, n: float | None) -> Any:
    import dask.array as da

    if not is_dask_array(a):
        a = np.asarray(a)
        a = da.from_array(a, chunks=-1)
    if a.ndim != ndim:
        raise ValueError(f"{name}: expected a {ndim}-D array, got shape {a.shape}")
    if a.dtype.kind not in "biuf":
        raise ValueError(f"{name}: expected numbers, got dtype {a.dtype}")
    if n is not None and a.shape[0] != n:
        raise ValueError(f"{name}: expected {n} rows as X has, got {a.shape[0]}")
    return a


def subsample(inputs: Inputs, rows: Indices | None) -> tuple[Array, Array, Array | None]:
    """X, y and weights of the given rows (sorted global row indices; None for all), gathered
    from every partition; rows of weight 0 left out."""
    import dask

    X, y, w = inputs.X, inputs.y, inputs.weight
    if rows is not None:
        X, y, w = X[rows], y[rows], None if w is None else w[rows]
    Xs, ys, ws = dask.compute(X, y, w)
    if ws is not None:
        keep = ws > 0.0
        Xs, ys, ws = Xs[keep], ys[keep], ws[keep]
    return np.asarray(Xs, np.float64), np.asarray(ys, np.float64), ws


def rows_of(inputs: Inputs, units: Units) -> DaskRows:
    """The rows in standard units, mapped block by block from the persisted inputs at every
    pass (a few operations per value, which spares the workers' memory a second copy)."""
    return DaskRows((inputs.X - units.x_center) / units.x_scale,
                    (inputs.y - units.y_center) / units.y_scale, inputs.weight)


def inlier_mask(inputs: Inputs, units: Units, multi_indices: Indices, beta: Array,
                spread: Spread, bound: float) -> Any:
    """Lazy mask (n) of the rows whose residual, in the noise sd of a row of weight 1, is within
    `bound` (z units), computed from the user's arrays when asked for."""
    import dask.array as da

    X, y, weight = inputs.given
    args = [X, y[:, None]] + ([] if weight is None else [weight[:, None]])
    return da.map_blocks(_inliers_of_block, *args, units=units, multi_indices=multi_indices,
                         beta=beta, spread=spread, bound=bound, drop_axis=1, dtype=bool,
                         meta=np.empty(0, dtype=bool))


def _inliers_of_block(X: Array, y: Array, w: Array | None = None, *, units: Units,
                      multi_indices: Indices, beta: Array, spread: Spread,
                      bound: float) -> Mask:
    """Rows of weight 0 are judged at weight 1."""
    T = units.t(X)
    r = (dc.streamed_predict(T, multi_indices, beta) - units.z(y[:, 0])) / spread.sd(T)
    if w is not None:
        r = r * np.sqrt(np.where(w[:, 0] > 0.0, w[:, 0], 1.0))
    return np.abs(r) <= bound


# ----------------------------------------------------------------------------------------------
# The final stage over all rows. A minimal one, which the shared streamed final stage replaces:
# it asks of its rows only `sums`, `predict` and `reduce`.

MAX_PASSES = POLISH_STEPS  # reweighting passes of the robust polish, at most, as in memory
# A move of the fitted values, in scales, that ends the polish: the finish then keeps the rows
# within several scales, and a row that close to the edge is rare enough to weigh nothing.
POLISH_TOLERANCE = 1e-3
SCALE_PASSES = 8  # passes of the fixed point of the inlier scale, at most
SCALE_TOLERANCE = 1e-6  # relative change of the inlier scale that ends them (a step function
# of the scale: the rows within the cut change at its steps)


@dataclass(frozen=True)
class Concluded:
    """The final fit on all rows and what it says, for z: the coefficients, their covariance,
    the noise scale of a row of weight 1, the cut in scales beyond which a row is an outlier,
    the inliers' count, R^2 and BIC as `inference.conclude` gives them, and the MDL, hit rate and
    RMS as `Problem.score` gives them."""

    beta: Array
    cov: Array
    scale: float
    cut: float
    inliers: int
    r2: float
    bic: float
    mdl: float
    hit_rate: float
    rms: float
    passes: int


class _Passes:
    """Counts the passes and tells them to `progress`, one line each."""

    def __init__(self, progress: Progress):
        self.progress, self.count = progress, 0

    def __call__(self, what: str, call: Callable[..., Any], *args: Any, **kwargs: Any) -> Any:
        start = time.perf_counter()
        out = call(*args, **kwargs)
        self.count += 1
        if self.progress is not None:
            self.progress(f"pass {self.count}: {what}, {time.perf_counter() - start:.1f} s")
        return out


def final_fit(rows: DaskRows, problem: Problem, basis: Basis, fit: Fit, n_spread: int,
              progress: Progress = None) -> Concluded:
    """The chosen basis fitted to all `rows` from `fit` (the subsample's, whose rows and
    settings are `problem`'s), and what it says (`n_spread` the coefficients of the variance
    function beyond the constant)."""
    passes = _Passes(progress)
    mi = basis.multi_indices
    if problem.loss.robust and fit.scale:
        beta = fit.beta
        for _ in range(MAX_PASSES):
            new = _solved(problem, basis, *passes("robust reweighting", rows.sums, mi, beta,
                                                 fit.scale))
            # |t| <= 1: no fitted value moves by more than the sum of the coefficients' moves
            moved = float(np.sum(np.abs(new - beta)))
            beta = new
            if moved <= POLISH_TOLERANCE * fit.scale:
                break
        beta = _kept_least_squares(rows, problem, basis, beta, passes)
    else:
        beta = _solved(problem, basis, *passes("least squares", rows.sums, mi))
    return _concluded(rows, problem, basis, beta, n_spread, passes)


def _secant(s: float, image: float, last: tuple[float, float] | None) -> float:
    """The next scale of the fixed point s = f(s) from s and f(s): the secant step of
    f(s) - s through the pass before where there was one and it points within the two images,
    else f(s) itself (the plain step, which converges slowly: f's slope is about 1/4)."""
    if last is None:
        return image
    before, before_image = last
    slope = ((image - s) - (before_image - before)) / (s - before) if s != before else 0.0
    step = s - (image - s) / slope if slope < 0.0 else image
    return step if min(image, before_image) / 2.0 < step < 2.0 * max(image, before_image) \
        else image


def _solved(problem: Problem, basis: Basis, gram: Array, rhs: Array, total: float) -> Array:
    """The penalised normal equations of the sums, the penalties counted by the total weight
    as the core's fits count them."""
    return np.asarray(np.linalg.solve(gram + _penalty(problem, basis, total), rhs),
                      dtype=np.float64)


def _penalty(problem: Problem, basis: Basis, total: float) -> Array:
    return (problem.ridge * np.eye(basis.n_coefs)
            + total * (problem.gamma1 * basis.R1 + problem.gamma2 * basis.R2))


def _sample_scale(problem: Problem, basis: Basis, beta: Array) -> float:
    """The inlier scale of the subsample's residuals: the start of the fixed point on all rows,
    and the scale of the finish's cut."""
    return inlier_scale((design(basis.multi_indices, problem.T) @ beta - problem.z)
                        * problem.root)


def _kept_least_squares(rows: DaskRows, problem: Problem, basis: Basis, beta: Array,
                        passes: _Passes) -> Array:
    """The robust loss's finish: least squares of the rows within `outlier_cut` scales (the
    subsample's inlier scale: the cut lies far in the tails, where a scale a little off moves
    next to no row)."""
    bound = outlier_cut(rows.n) * _sample_scale(problem, basis, beta)
    m = basis.n_coefs
    flat = passes("least squares of the rows kept", rows.reduce, _kept_of_block, m * m + m + 1,
                  multi_indices=basis.multi_indices, beta=beta, bound=bound)
    if flat[-1] <= m:  # too few kept rows: the robust fit stands
        return beta
    return _solved(problem, basis, flat[:m * m].reshape(m, m), flat[m * m:-1], float(flat[-1]))


def _kept_of_block(T: Array, z: Array, w: Array | None, *, multi_indices: Indices,
                   beta: Array, bound: float) -> Array:
    def flat(T, z, w):
        r = (dc.streamed_predict(T, multi_indices, beta) - z) * (1.0 if w is None else np.sqrt(w))
        kept = (np.abs(r) <= bound).astype(np.float64)
        gram, rhs, total = dc.streamed_sums(T, z, multi_indices, None, 0.0,
                                      kept if w is None else kept * w)
        return np.concatenate([gram.ravel(), rhs, [total]])

    return _sliced(flat, T, z, w)


# The sums of one block for the conclusion, in this order: rows, squared residuals, hits, rows
# within INLIER_SCALES scales and their squares, inliers, their squares and log weights, and
# the total weight that the penalties count; then, with grams, A and B of the covariance.
_COUNT, _SQUARES, _HITS, _NEAR, _NEAR_SQUARES, _INLIERS, _INLIER_SQUARES, _LOG_WEIGHT, \
    _PENALTY_WEIGHT = range(9)
_FIGURES = 9


def _concluded(rows: DaskRows, problem: Problem, basis: Basis, beta: Array, n_spread: int,
               passes: _Passes) -> Concluded:
    """The noise scale by its fixed point on all rows (the root mean square for least
    squares), then in one more pass the figures and the covariance at that scale. A row's
    leverage is at most about M / n here, and its residual is not divided by sqrt(1 - h)."""
    n, m = rows.n, basis.n_coefs
    cut = outlier_cut(n)
    robust = problem.loss.robust
    settings = dict(multi_indices=basis.multi_indices, beta=beta, eps=problem.eps, cut=cut,
                    robust=robust, grams=False)
    scale = _sample_scale(problem, basis, beta)
    last: tuple[float, float] | None = None  # the scale of the pass before and its image
    for _ in range(SCALE_PASSES if robust else 1):
        f = passes("noise scale", rows.reduce, _conclusion_of_block, _FIGURES, scale=scale,
                   **settings)
        if not robust:  # the root mean square
            scale = math.sqrt(f[_SQUARES] / n)
            break
        image = math.sqrt(f[_NEAR_SQUARES] / f[_NEAR] / TRUNCATED_VARIANCE) if f[_NEAR] else \
            scale
        if abs(image - scale) <= SCALE_TOLERANCE * scale:
            scale = image
            break
        new = _secant(scale, image, last)
        last, scale = (scale, image), new
    settings["grams"] = True
    f = passes("covariance and figures", rows.reduce, _conclusion_of_block,
               _FIGURES + 2 * m * m, scale=scale, **settings)
    gram_a = f[_FIGURES:_FIGURES + m * m].reshape(m, m)
    gram_b = f[_FIGURES + m * m:].reshape(m, m)
    inverse = np.linalg.pinv(gram_a + _penalty(problem, basis, f[_PENALTY_WEIGHT]),
                             hermitian=True)
    if robust and scale > 0.0:  # the M-estimator's sandwich
        cov = inverse @ (scale * scale * gram_b) @ inverse
    else:  # that of penalised least squares
        cov = inverse @ (f[_SQUARES] / max(n - m, 1) * gram_a) @ inverse
    # the inliers once more at the scale found, as `conclude` tells them
    inliers = int(f[_INLIERS])
    variance = max(scale * scale, 1e-300)
    deviance = (inliers * math.log(2.0 * math.pi * variance) - f[_LOG_WEIGHT]
                + f[_INLIER_SQUARES] / variance)
    bic = deviance + (m + n_spread + 1) * math.log(max(inliers, 1))
    r2 = 1.0 - variance / problem.loss.spread(problem.z)
    hit_rate = max(f[_HITS] / n, 0.5 / n)
    return Concluded(beta, 0.5 * (cov + cov.T), scale, cut, inliers, r2, bic,
                     _mdl(problem, basis, beta, hit_rate, n), hit_rate,
                     math.sqrt(f[_SQUARES] / n), passes.count)


def _conclusion_of_block(T: Array, z: Array, w: Array | None, *, multi_indices: Indices,
                         beta: Array, scale: float, eps: float, cut: float, robust: bool,
                         grams: bool) -> Array:
    def flat(T, z, w):
        zp = dc.streamed_predict(T, multi_indices, beta)
        r = (zp - z) * (1.0 if w is None else np.sqrt(w))
        near = np.abs(r) < INLIER_SCALES * scale
        inliers = np.abs(r) <= cut * scale
        ones = np.ones(z.size) if w is None else w
        out = [float(z.size), float(r @ r), float(np.count_nonzero(np.abs(zp - z) < eps)),
               float(np.count_nonzero(near)), float(np.sum(r[near] ** 2)),
               float(np.count_nonzero(inliers)), float(np.sum(r[inliers] ** 2)),
               0.0 if w is None else float(np.sum(np.log(w[inliers]))), 0.0]
        if not grams:
            return np.array(out)
        if robust and scale > 0.0:
            u = r / (BIWEIGHT_C * scale)
            inside = np.abs(u) < 1.0
            weight = np.where(inside, (1.0 - u * u) ** 2, 0.0)
            slope = np.where(inside, (1.0 - u * u) * (1.0 - 5.0 * u * u), 0.0)
            psi = weight * r / scale
            a = dc.streamed_gram(T, multi_indices, ones * slope)
            b = dc.streamed_gram(T, multi_indices, ones * psi * psi)
            out[_PENALTY_WEIGHT] = float(np.sum(weight * ones))
        else:
            a, _, total = dc.streamed_sums(T, z, multi_indices, None, 0.0, ones)
            b = np.zeros_like(a)
            out[_PENALTY_WEIGHT] = total
        return np.concatenate([out, a.ravel(), b.ravel()])

    return _sliced(flat, T, z, w)


def _mdl(problem: Problem, basis: Basis, beta: Array, hit_rate: float, n: int) -> float:
    """The MDL of the core's scores from the hit rate of all rows: -n ln(hit rate) +
    k^2 ln(2H) / n and the penalties."""
    k = basis.n_coefs
    return (-n * math.log(hit_rate) + k * k * math.log(2.0 * problem.H) / n
            + problem.gamma1 * float(beta @ basis.R1 @ beta)
            + problem.gamma2 * float(beta @ basis.R2 @ beta))
