"""Adaptive efficiency: where the robust fit's residuals show no gross outliers that least
squares would not also show, least squares (which wastes nothing on clean Gaussian noise) is
taken instead.

The two chosen candidates' held-out residuals are compared point by point on the rows that
judge. Where some row is a gross outlier of both (beyond `outlier_cut` of the robust fit's
scales, a distance clean Gaussian noise reaches with probability 1 %), the data are
contaminated and the robust fit is kept. Otherwise the rows that both call outliers (beyond OUTLIER_SCALES scales)
are dropped, and least squares is taken where its mean square on the rest is at most
LEAST_SQUARES_MARGIN times the robust fit's. Counting the gross residuals of either fit alone fails both ways: an under-fit
small sample looks contaminated to the robust fit, and a least-squares fit chases its outliers.
Least squares is never taken where the robust fit flags rows remote from the bulk of the inputs
(bad leverage points, which least squares follows)."""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from dorv._model.basis import design
from dorv._model.candidates import Candidate, judge, judged
from dorv._model.losses import outlier_cut
from dorv._model.problem import Problem

LEAST_SQUARES_MARGIN = 1.2
OUTLIER_SCALES = 3.0


@dataclass(frozen=True)
class Verdict:
    least_squares: bool
    reason: str


def least_squares_or_robust(problem: Problem, robust_rows: Problem, robust: Candidate,
                            square_rows: Problem, squares: Candidate) -> Verdict:
    """Whether least squares (`squares`, fitted to the rows of `square_rows`) fits the held-out
    rows of `problem` as well as the robust fit (`robust`, fitted to those of `robust_rows`),
    and why. The two judge the same rows, in the same order."""
    if problem.remote is not None:
        off = design(robust.multi_indices, problem.T[problem.remote]) @ robust.fit.beta
        scale = robust.scale if robust.fit.scale is None else robust.fit.scale
        far = np.abs(off - problem.z[problem.remote]) > OUTLIER_SCALES * scale
        if far.any():
            return Verdict(False, f"the robust fit flags {int(far.sum())} rows remote from the "
                                  "bulk of the inputs, which least squares would follow")
    gross = _gross(problem, robust, squares)
    if gross:
        return Verdict(False, f"{gross} point{'s are' if gross > 1 else ' is'} a gross outlier "
                              "of both fits")
    scale = judge(robust_rows, [robust]).scale
    a, b = judged(robust_rows, robust.held_out), judged(square_rows, squares.held_out)
    keep = (np.abs(a) <= OUTLIER_SCALES * scale) | (np.abs(b) <= OUTLIER_SCALES * scale)
    dropped = int(np.count_nonzero(~keep))
    ratio = float(np.mean(b[keep] ** 2)) / max(float(np.mean(a[keep] ** 2)), 1e-300)
    both = f"{dropped} held-out point{'s' if dropped != 1 else ''} that both call outliers left out"
    if ratio <= LEAST_SQUARES_MARGIN:
        return Verdict(True, f"its held-out mean square is {ratio:.3g} times the robust fit's "
                             f"(at most {LEAST_SQUARES_MARGIN:g}; {both}): no gross outliers "
                             "that it would follow")
    return Verdict(False, f"least squares' held-out mean square is {ratio:.3g} times the robust "
                          f"fit's (more than {LEAST_SQUARES_MARGIN:g}; {both})")


def _gross(problem: Problem, robust: Candidate, squares: Candidate) -> int:
    """Rows farther from both fits than `outlier_cut` times the robust fit's inlier scale:
    in-sample, where least squares follows its data closely, so that an under-fit robust fit's
    misfit alone makes no outlier."""
    far = np.ones(problem.n, dtype=bool)
    for c in (robust, squares):
        r = (design(c.multi_indices, problem.T) @ c.fit.beta - problem.z) * problem.root
        far &= np.abs(r) > outlier_cut(problem.n) * robust.scale
    return int(np.count_nonzero(far))
