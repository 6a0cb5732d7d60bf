"""Adaptive efficiency: where the robust fit's residuals show no gross outliers that least
squares would not also show, least squares (which wastes nothing on clean Gaussian noise) is
taken instead.

The two chosen candidates' held-out residuals are compared point by point on the rows that
judge, after dropping those that both call outliers (beyond OUTLIER_SCALES reference scales):
least squares is taken where its mean square there is at most LEAST_SQUARES_MARGIN times the
robust fit's. Counting the gross residuals of either fit alone fails both ways: an under-fit
small sample looks contaminated to the robust fit, and a least-squares fit chases its outliers.
Least squares is never taken where the robust fit flags rows remote from the bulk of the inputs
(bad leverage points, which least squares follows)."""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from dorv._model.basis import design
from dorv._model.candidates import Candidate, judge, judged
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
        far = np.abs(off - problem.z[problem.remote]) > OUTLIER_SCALES * robust.fit.scale
        if far.any():
            return Verdict(False, f"the robust fit flags {int(far.sum())} rows remote from the "
                                  "bulk of the inputs, which least squares would follow")
    scale = judge(robust_rows, [robust]).scale
    a, b = judged(robust_rows, robust.held_out), judged(square_rows, squares.held_out)
    keep = (np.abs(a) <= OUTLIER_SCALES * scale) | (np.abs(b) <= OUTLIER_SCALES * scale)
    dropped = int(np.count_nonzero(~keep))
    if not keep.any():
        return Verdict(False, "every held-out point is an outlier of both fits")
    ratio = float(np.mean(b[keep] ** 2)) / max(float(np.mean(a[keep] ** 2)), 1e-300)
    both = f"{dropped} held-out point{'s' if dropped != 1 else ''} that both call outliers left out"
    if ratio <= LEAST_SQUARES_MARGIN:
        return Verdict(True, f"its held-out mean square is {ratio:.3g} times the robust fit's "
                             f"(at most {LEAST_SQUARES_MARGIN:g}; {both}): no gross outliers "
                             "that it would follow")
    return Verdict(False, f"least squares' held-out mean square is {ratio:.3g} times the robust "
                          f"fit's (more than {LEAST_SQUARES_MARGIN:g}; {both})")
