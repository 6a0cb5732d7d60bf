"""The fitting problem in standard units: the inputs mapped onto [-1, 1], the targets
standardised, the settings every candidate fit shares, and the scores of a fit."""

from __future__ import annotations

from dataclasses import dataclass, replace
from typing import TYPE_CHECKING

import numpy as np

import dorv_core as dc
from dorv._model.basis import Array, Basis, Degrees, Mask, basis
from dorv._rules import hit_tolerance

if TYPE_CHECKING:
    from dorv._model.losses import Loss


@dataclass(frozen=True)
class Units:
    """The maps t = (x - x_center) / x_scale of each input onto [-1, 1] (over the training
    range) and z = (y - y_center) / y_scale of the targets (median and mad), under which data of
    any scale is well conditioned."""

    x_center: Array  # (d)
    x_scale: Array  # (d)
    y_center: float
    y_scale: float

    @classmethod
    def of(cls, X: Array, y: Array) -> Units:
        # column by column: a reduction down the rows of a C-ordered array is slow
        lo = np.array([X[:, j].min() for j in range(X.shape[1])])
        hi = np.array([X[:, j].max() for j in range(X.shape[1])])
        half = 0.5 * (hi - lo)
        scale = dc.mad(y)
        if not scale > 0.0:  # more than half the targets equal
            scale = float(np.std(y)) or 1.0
        return cls(0.5 * (lo + hi), np.where(half > 0.0, half, 1.0), float(np.median(y)), scale)

    @classmethod
    def of_subsample(cls, lo: Array, hi: Array, y: Array) -> Units:
        """The inputs' map from their ranges lo, hi (d) over all rows; the targets' centre and
        scale from a subsample's targets y."""
        return cls.of(np.stack([lo, hi]), y)

    def t(self, X: Array) -> Array:
        T = X - self.x_center
        T /= self.x_scale
        return T

    def z(self, y: Array) -> Array:
        z = y - self.y_center
        z /= self.y_scale
        return z

    def coef(self, beta: Array) -> Array:
        """Coefficients for z turned into coefficients for y."""
        coef = self.y_scale * beta
        coef[0] += self.y_center  # the first monomial is the constant
        return coef


@dataclass(frozen=True)
class Fit:
    """Coefficients of one fit and, for a robust loss, the residual scale of its inliers."""

    beta: Array  # (M)
    scale: float | None = None


@dataclass(frozen=True)
class Score:
    """How coefficients fit the whole data: MDL, hit rate, residual RMS and the loss's held-out
    figure of the residuals, all for z."""

    mdl: float
    hit_rate: float
    rms: float
    figure: float


def rms(residuals: Array) -> float:
    return float(np.sqrt(np.mean(residuals**2)))


@dataclass(frozen=True)
class Problem:
    """The mapped training data and the settings that every candidate fit shares."""

    T: Array  # (n, d) inputs mapped onto [-1, 1]
    z: Array  # (n) standardised targets
    eps: float  # hit tolerance for z
    gamma1: float
    gamma2: float
    ridge: float
    H: int
    loss: Loss
    weight: Array | None = None  # (n) positive sample weights, None for all 1
    remote: Mask | None = None  # (n) rows remote from the bulk of the inputs, None for none
    judges: Mask | None = None  # (n) rows whose held-out residuals judge, None for all

    @classmethod
    def of(cls, T: Array, z: Array, loss: Loss, gamma1: float, gamma2: float, ridge: float,
           H: int, weight: Array | None = None, remote: Mask | None = None) -> Problem:
        return cls(T, z, hit_tolerance(dc.mad(z)), gamma1, gamma2, ridge, H, loss, weight,
                   remote)

    @property
    def n(self) -> int:
        return self.z.size

    @property
    def root(self) -> Array | float:
        """Square roots of the weights, which turn residuals into those of unit weight."""
        return 1.0 if self.weight is None else np.sqrt(self.weight)

    @property
    def bulk(self) -> Mask | None:
        """Rows that start a robust fit (None for all)."""
        return None if self.remote is None else ~self.remote

    def subset(self, rows) -> Problem:
        if rows is None:
            return self
        def part(a):
            return None if a is None else a[rows]
        return replace(self, T=self.T[rows], z=self.z[rows], weight=part(self.weight),
                       remote=part(self.remote), judges=part(self.judges))

    def judged_by(self, judges: Mask) -> Problem:
        return replace(self, judges=judges)

    def weighted(self, weight: Array) -> Problem:
        return replace(self, weight=weight)

    def with_loss(self, loss: Loss) -> Problem:
        return replace(self, loss=loss)

    def basis(self, degrees: Degrees, total: int | None = None) -> Basis:
        return basis(degrees, self.T, total)

    def rows_of(self, basis: Basis, rows=None) -> tuple[Array, Array, Array | None]:
        """The design, the targets and the weights of all rows or of the given ones."""
        if rows is None:
            return basis.Phi, self.z, self.weight
        return basis.Phi[rows], self.z[rows], None if self.weight is None else self.weight[rows]

    def fit(self, basis: Basis, rows=None, start: Fit | None = None,
            init: Array | None = None, max_iter: int = 50) -> Fit:
        """The loss's fit on all rows or on the given ones (see `Loss.fit`)."""
        return self.loss.fit(self, basis, rows, start, init, max_iter)

    def mdl(self, basis: Basis, zp: Array, beta: Array) -> float:
        return dc.mdl_score_reg(zp, self.z, basis.Phi.shape[1], self.H, beta, basis.R1,
                                basis.R2, self.gamma1, self.gamma2)

    def score(self, basis: Basis, beta: Array, scale: float = 0.0,
              zp: Array | None = None, figure: bool = True) -> Score:
        """MDL, hit rate, residual RMS and the held-out figure at `scale` (of z) of coefficients
        on the whole data; `zp`, where given, are their values at every row (else the basis's
        design times beta). Without `figure`, the figure is NaN (not computed)."""
        if zp is None:
            zp = basis.Phi @ beta
        r = zp - self.z
        if self.weight is not None:
            r *= self.root
        return Score(self.mdl(basis, zp, beta), dc.compute_sr(zp, self.z, self.eps), rms(r),
                     self.loss.figure(r, scale) if figure else float("nan"))


def rows(n: int, at_most: int, seed: int):
    """All rows (None) when there are at most `at_most`, else a fixed random sample of them."""
    if n <= at_most:
        return None
    return np.sort(np.random.default_rng(seed).choice(n, at_most, replace=False))
