"""Rows remote from the bulk of the inputs.

Under any bounded loss a cluster of m bad rows costs about m times the loss's ceiling, while a
term costs little; where such a cluster sits alone in a remote part of the inputs, extra terms
can reach it without touching the bulk. Only the inputs tell the two stories apart: rows whose
robust distance from the bulk (from the median in mads in one input, by a minimum covariance
determinant estimate in several) is beyond the REMOTE_QUANTILE of the chi-square distribution
neither start the robust fits nor judge the candidates; they are fitted, or flagged, by the
reweighting on all rows."""

from __future__ import annotations

import numpy as np
from scipy.stats import chi2

from dorv._model.basis import Array, Mask
from dorv._model.losses import MAD_TO_SD

REMOTE_QUANTILE = 0.999
ROWS_PER_INPUT = 5  # robust distances need this many rows per input and the centre at least
CONCENTRATION_STEPS = 20  # at most, of the bulk's estimate in several inputs
REWEIGHT_QUANTILE = 0.975  # rows within this chi-square quantile make the reweighted estimate


def remote_rows(T: Array) -> Mask | None:
    """Mask (n) of the rows of T (n, d) remote from the bulk, or None where there are none or
    too few rows to tell."""
    n, d = T.shape
    if n < ROWS_PER_INPUT * (d + 1):
        return None
    distance = _distance_1d(T[:, 0]) if d == 1 else _distance(T)
    if distance is None or not np.all(np.isfinite(distance)):
        return None
    remote = distance > chi2.ppf(REMOTE_QUANTILE, d)
    return remote if remote.any() else None


def _distance_1d(t: Array) -> Array | None:
    """Squared robust distances of one input: from its median in normal-consistent mads."""
    centre = np.median(t)
    spread = MAD_TO_SD * np.median(np.abs(t - centre))
    return None if not spread > 0.0 else ((t - centre) / spread) ** 2


def _distance(T: Array) -> Array | None:
    """Squared robust distances of several inputs: a minimum covariance determinant estimate of
    the bulk's centre and covariance by concentration steps from the coordinate-wise medians
    and mads, made consistent at the normal and reweighted once."""
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
        distance = _mahalanobis(T, support)
        if distance is None:
            return None
    distance *= chi2.ppf(0.5, d) / np.median(distance)  # consistent at the normal
    distance = _mahalanobis(T, distance < chi2.ppf(REWEIGHT_QUANTILE, d))
    if distance is None:
        return None
    return distance * (chi2.ppf(0.5, d) / np.median(distance))


def _mahalanobis(T: Array, rows: Mask) -> Array | None:
    """Squared distances of every row from the mean of `rows` in their covariance."""
    centre = T[rows].mean(axis=0)
    try:
        inverse = np.linalg.inv(np.cov(T[rows], rowvar=False))
    except np.linalg.LinAlgError:
        return None
    centred = T - centre
    return np.einsum("ij,jk,ik->i", centred, inverse, centred)
