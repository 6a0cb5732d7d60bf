"""The held-out folds of the judgement: shuffled k-fold by default, leave-one-out for small
samples, or the user's own splitter or (train, test) pairs."""

from __future__ import annotations

import numbers

import numpy as np
from sklearn.model_selection import KFold, check_cv

from dorv._model.basis import Mask

Pairs = list[tuple[np.ndarray, np.ndarray]]  # (train, test) row indices

FOLD_SEED = 0  # the default folds are fixed, so that only the sampler depends on the seed
FOLDS = 5  # folds of the default judgement
LEAVE_ONE_OUT_ROWS = 50  # below this many rows the default judgement leaves out one at a time


def folds(cv, X: np.ndarray, y: np.ndarray, groups=None) -> Pairs:
    """The (train, test) index pairs of `cv` over the rows of X: None for the default (FOLDS
    shuffled folds, or leave-one-out below LEAVE_ONE_OUT_ROWS rows), an int for that many
    shuffled folds (fewer where there are fewer rows), or a scikit-learn splitter or an
    iterable of (train, test) pairs, split with `groups`."""
    n = X.shape[0]
    if cv is None or isinstance(cv, numbers.Integral):
        k = (n if n < LEAVE_ONE_OUT_ROWS else FOLDS) if cv is None else int(cv)
        splitter = KFold(min(k, n), shuffle=True, random_state=FOLD_SEED)
        return list(splitter.split(X))
    pairs = [(np.asarray(train, dtype=np.intp), np.asarray(test, dtype=np.intp))
             for train, test in check_cv(cv).split(X, y, groups)]
    for k, (train, test) in enumerate(pairs):
        for name, part in (("train", train), ("test", test)):
            if part.size == 0 or part.min() < 0 or part.max() >= n:
                raise ValueError(f"cv: split {k} has a {name} part that is empty or indexes "
                                 f"outside the {n} rows, got {part.size} indices")
    if not pairs:
        raise ValueError("cv: gave no (train, test) split")
    return pairs


def held_out_rows(pairs: Pairs, n: int) -> Mask:
    """The rows (n) that some split holds out."""
    mask = np.zeros(n, dtype=bool)
    for _, test in pairs:
        mask[test] = True
    return mask

