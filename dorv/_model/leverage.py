"""Rows remote from the bulk of the inputs.

Under any bounded loss a cluster of m bad rows costs about m times the loss's ceiling, while a
term costs little; where such a cluster sits alone in a remote part of the inputs, extra terms
can reach it without touching the bulk. Only the inputs tell the two stories apart: rows whose
robust distance from the bulk (minimum covariance determinant) is beyond the REMOTE_QUANTILE of
the chi-square distribution neither start the robust fits nor judge the candidates; they are
fitted, or flagged, by the reweighting on all rows."""

from __future__ import annotations

import warnings

import numpy as np
from scipy.stats import chi2
from sklearn.covariance import MinCovDet

from dorv._model.basis import Array

REMOTE_QUANTILE = 0.999
ROWS_PER_INPUT = 5  # robust distances need this many rows per input and the centre at least
DISTANCE_ROWS = 500  # the bulk is found on a fixed sample of at most this many rows
DISTANCE_SEED = 0


def remote_rows(T: Array) -> Array | None:
    """Mask (n) of the rows of T (n, d) remote from the bulk, or None where there are none or
    too few rows to tell."""
    n, d = T.shape
    if n < ROWS_PER_INPUT * (d + 1):
        return None
    rng = np.random.default_rng(DISTANCE_SEED)
    sample = T if n <= DISTANCE_ROWS else T[np.sort(rng.choice(n, DISTANCE_ROWS, replace=False))]
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # a singular support: ties in the inputs
            mcd = MinCovDet(random_state=DISTANCE_SEED).fit(sample)
            distance = mcd.mahalanobis(T)
    except (ValueError, np.linalg.LinAlgError):
        return None
    if not np.all(np.isfinite(distance)):
        return None
    remote = distance > chi2.ppf(REMOTE_QUANTILE, d)
    return remote if remote.any() else None
