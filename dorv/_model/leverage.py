"""Rows remote from the bulk of the inputs.

Under any bounded loss a cluster of m bad rows costs about m times the loss's ceiling, while a
term costs little; where such a cluster sits alone in a remote part of the inputs, extra terms
can reach it without touching the bulk. Only the inputs tell the two stories apart: rows whose
robust distance from the bulk (from the median in mads in one input, by a minimum covariance
determinant estimate in several) is beyond the REMOTE_QUANTILE of the chi-square distribution
neither start the robust fits nor judge the candidates; they are fitted, or flagged, by the
reweighting on all rows."""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
from scipy.stats import chi2

from dorv._model.basis import Array, Mask
from dorv._model.losses import MAD_TO_SD

REMOTE_QUANTILE = 0.999
ROWS_PER_INPUT = 5  # robust distances need this many rows per input and the centre at least
CONCENTRATION_STEPS = 20  # at most, of the bulk's estimate in several inputs
REWEIGHT_QUANTILE = 0.975  # rows within this chi-square quantile make the reweighted estimate


@dataclass(frozen=True)
class Bulk:
    """The bulk of the inputs: a centre and a scatter, from which a row's squared robust
    distance is measured (from the median in mads in one input, by the inverse of the
    reweighted covariance in several)."""

    centre: Array  # (d)
    inverse: Array | None  # (d, d) inverse covariance in several inputs, None in one
    factor: float = 1.0  # the distances' scale in several inputs, consistent at the normal
    spread: float = 1.0  # the normal-consistent mad in one input

    def distance(self, T: Array) -> Array:
        """Squared robust distances (n) of the rows of T (n, d)."""
        if self.inverse is None:
            return ((T[:, 0] - self.centre[0]) / self.spread) ** 2
        centred = T - self.centre
        return np.einsum("ij,jk,ik->i", centred, self.inverse, centred) * self.factor

    def remote(self, T: Array) -> Mask:
        """Rows (n) of T (n, d) remote from the bulk."""
        return self.distance(T) > chi2.ppf(REMOTE_QUANTILE, T.shape[1])


def bulk_of(T: Array) -> Bulk | None:
    """The bulk of the rows of T (n, d), or None where there are too few rows or they have
    no spread to tell."""
    n, d = T.shape
    if n < ROWS_PER_INPUT * (d + 1):
        return None
    bulk = _bulk_1d(T[:, 0]) if d == 1 else _bulk(T)
    if bulk is None or not np.all(np.isfinite(bulk.distance(T))):
        return None
    return bulk


def remote_rows(T: Array) -> Mask | None:
    """Mask (n) of the rows of T (n, d) remote from the bulk, or None where there are none or
    too few rows to tell."""
    bulk = bulk_of(T)
    if bulk is None:
        return None
    remote = bulk.remote(T)
    return remote if remote.any() else None


def _bulk_1d(t: Array) -> Bulk | None:
    """The bulk of one input: its median and normal-consistent mad."""
    centre = np.median(t)
    spread = MAD_TO_SD * np.median(np.abs(t - centre))
    if not spread > 0.0:
        return None
    return Bulk(np.array([centre]), None, spread=spread)


def _bulk(T: Array) -> Bulk | None:
    """The bulk of several inputs: a minimum covariance determinant estimate of its centre and
    covariance by concentration steps from the coordinate-wise medians and mads, made
    consistent at the normal and reweighted once."""
    n, d = T.shape
    centre = np.median(T, axis=0)
    spread = MAD_TO_SD * np.median(np.abs(T - centre), axis=0)
    if not np.all(spread > 0.0):
        return None
    distance = np.sum(((T - centre) / spread) ** 2, axis=1)
    half = (n + d + 1) // 2
    support = np.zeros(n, dtype=bool)
    for _ in range(CONCENTRATION_STEPS):
        new = np.zeros(n, dtype=bool)
        new[np.argpartition(distance, half - 1)[:half]] = True
        if np.array_equal(new, support):
            break
        support = new
        shape = _scatter(T, support)
        if shape is None:
            return None
        distance = _mahalanobis(T, *shape)
    distance *= chi2.ppf(0.5, d) / np.median(distance)  # consistent at the normal
    shape = _scatter(T, distance < chi2.ppf(REWEIGHT_QUANTILE, d))
    if shape is None:
        return None
    distance = _mahalanobis(T, *shape)
    return Bulk(*shape, factor=chi2.ppf(0.5, d) / np.median(distance))


def _scatter(T: Array, rows: Mask) -> tuple[Array, Array] | None:
    """The mean of `rows` and the inverse of their covariance."""
    centre = T[rows].mean(axis=0)
    try:
        inverse = np.linalg.inv(np.cov(T[rows], rowvar=False))
    except np.linalg.LinAlgError:
        return None
    return np.asarray(centre, dtype=np.float64), np.asarray(inverse, dtype=np.float64)


def _mahalanobis(T: Array, centre: Array, inverse: Array) -> Array:
    """Squared distances of every row from `centre` in the covariance whose inverse is given."""
    centred = T - centre
    return np.einsum("ij,jk,ik->i", centred, inverse, centred)
