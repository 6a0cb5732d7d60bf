"""The losses: how a candidate is fitted, how its held-out residuals are judged, when one
held-out figure counts as good as another, which of the good candidates is preferred, the
covariance of the coefficients, and the words the report uses for all of it.

`SquaredLoss` is penalised least squares; `BiweightLoss` the MM-estimate of the core's
`fit_robust_linear` (a high-breakdown start, then Tukey's biweight at the start's scale)."""

from __future__ import annotations

from dataclasses import dataclass
from typing import TYPE_CHECKING, ClassVar

import numpy as np

import dorv_core as dc
from dorv._model.basis import Array, Basis
from dorv._model.problem import Fit, rms

if TYPE_CHECKING:
    from dorv._model.candidates import Candidate, Judgement
    from dorv._model.problem import Problem

RMS_TOLERANCE = 0.02  # relative held-out RMS within which candidates count as equally good
R2_TOLERANCE = 0.002  # held-out mean square error, as a fraction of var(y), ditto
STANDARD_ERRORS = 0.5  # robust loss: held-out excess within this many standard errors
CAP = 3.0  # robust loss: a held-out residual counts at most CAP reference scales
INLIER_SCALES = 3.0  # points farther than this many scales from the fit are outliers
TRUNCATED_VARIANCE = 0.97334  # E[Z^2 | |Z| < 3] for Z standard normal
MAD_TO_SD = 1.4826  # normal-consistent scale of a median absolute deviation
BIWEIGHT_C = 4.685  # tuning constant of the robust fit's M-step (95 % efficiency)
SOLVER_SEED = 0  # the robust solver's elemental subsets are fixed
START_SUBSETS = 100  # random elemental subsets of a robust fit from scratch
MORE_SUBSETS = 10  # and of one that also starts from the fit of a smaller basis,
MORE_SUBSETS_WORK = 200  # fewer above 20 coefficients: at most this many over the count
SAMPLER_MISSES = 0.05  # robust loss: the sampler runs where this share of inliers are misses


def inlier_scale(residuals: Array) -> float:
    """Standard deviation of the residuals of the inliers, consistent for Gaussian noise: from
    1.4826 median |r|, a few steps of s <- RMS of the residuals within INLIER_SCALES s, corrected
    for the cut of the normal tails."""
    r = np.abs(residuals)
    s = MAD_TO_SD * float(np.median(r))
    for _ in range(10):
        inside = r[r < INLIER_SCALES * s]
        if inside.size == 0:
            break
        s = float(np.sqrt(np.mean(inside**2) / TRUNCATED_VARIANCE))
    return s


def as_good(figure: float, best: float, ref: float, spread: float) -> bool:
    """Whether a held-out figure counts as good as the best one: its square exceeds the best's
    by at most 2 RMS_TOLERANCE of the reference mean square `ref` and at most R2_TOLERANCE of
    the spread of z."""
    return figure**2 <= best**2 + min(2.0 * RMS_TOLERANCE * ref, R2_TOLERANCE * spread)


def _sandwich(bread: Array, meat: Array) -> Array:
    cov = bread @ meat @ bread
    return 0.5 * (cov + cov.T)


class Loss:
    """What a loss decides; see the module docstring."""

    name: ClassVar[str]
    fit_name: ClassVar[str]  # "robust fit", "least-squares fit"
    description: ClassVar[str]  # the loss in the report's words
    rule: ClassVar[str]  # how the chosen candidate is picked, in the report's words
    title: ClassVar[str]  # what chose the model, in a few words for a plot's title
    tracks_scale: ClassVar[bool]  # a falling inlier scale counts as progress of the search

    def fit(self, problem: Problem, basis: Basis, rows=None, start: Fit | None = None,
            init: Array | None = None, max_iter: int = 50) -> Fit:
        """The fit on all rows or on the given ones. A robust fit from `start` (a fit of the
        same basis, on more rows) only polishes it at its scale; `init`, coefficients from
        elsewhere, is one more start of its search."""
        raise NotImplementedError

    def figure(self, residuals: Array, scale: float) -> float:
        """The held-out figure of residuals at the reference scale `scale`."""
        raise NotImplementedError

    def judging_scale(self, held_out: Array) -> float:
        """A candidate's offer for the reference scale (the smallest offer serves all)."""
        return 0.0

    def reference(self, scale: float, best: float) -> float:
        """The mean square that the tolerances of the held-out judgement refer to."""
        raise NotImplementedError

    def spread(self, z: Array) -> float:
        """Spread of z that the tolerances of the held-out judgement refer to."""
        return float(np.var(z))

    def good(self, problem: Problem, table: list[Candidate], judgement: Judgement,
             folds) -> list[int]:
        """Indices of the candidates as good as the best on held-out points."""
        raise NotImplementedError

    def preference(self, candidate: Candidate) -> tuple:
        """Sort key among the good candidates: the least is chosen."""
        raise NotImplementedError

    def refine_reference(self, scale: float, figure: float) -> float:
        """The mean square that the tolerance of the sampler's judgement refers to."""
        raise NotImplementedError

    def sampler_cannot_pay(self, problem: Problem, residuals: Array, scale: float) -> str | None:
        """Why the sampler cannot find a better model here, or None where it may."""
        return None

    def coef_cov(self, problem: Problem, basis: Basis, beta: Array, scale: float) -> Array:
        """Covariance (M, M) of the coefficients for z."""
        raise NotImplementedError


@dataclass(frozen=True)
class SquaredLoss(Loss):
    name: ClassVar[str] = "squared_error"
    fit_name: ClassVar[str] = "least-squares fit"
    description: ClassVar[str] = "penalised least squares"
    rule: ClassVar[str] = "the lowest cv MDL of those whose cv error is about the best"
    title: ClassVar[str] = "chosen by held-out (cv) error, then the lowest cv MDL"
    tracks_scale: ClassVar[bool] = False

    def fit(self, problem, basis, rows=None, start=None, init=None, max_iter=50):
        Phi, z = (basis.Phi, problem.z) if rows is None else (basis.Phi[rows], problem.z[rows])
        w = problem.weight if rows is None or problem.weight is None else problem.weight[rows]
        if w is not None:  # least squares of the rows scaled by sqrt(w)
            Phi, z = Phi * np.sqrt(w)[:, None], z * np.sqrt(w)
        return Fit(dc.fit_regularized_linear(Phi, z, basis.R1, basis.R2, problem.gamma1,
                                             problem.gamma2, problem.ridge))

    def figure(self, residuals, scale):
        return rms(residuals)

    def reference(self, scale, best):
        return best**2

    def good(self, problem, table, judgement, folds):
        best = min(judgement.figures)
        spread = self.spread(problem.z)
        return [i for i, f in enumerate(judgement.figures)
                if as_good(f, best, judgement.ref, spread)]

    def preference(self, candidate):
        return (candidate.cv_mdl, candidate.n_coefs)

    def refine_reference(self, scale, figure):
        return figure**2

    def coef_cov(self, problem, basis, beta, scale):
        """(Phi'Phi + P)^-1 s^2 Phi'Phi (Phi'Phi + P)^-1 with s^2 the residual mean square of
        n - M degrees of freedom; P is the penalty of the normal equations."""
        Phi = basis.Phi * np.reshape(problem.root, (-1, 1))
        n, p = Phi.shape
        r = (problem.z - basis.Phi @ beta) * problem.root
        penalty = problem.ridge * np.eye(p)
        penalty = penalty + n * (problem.gamma1 * basis.R1 + problem.gamma2 * basis.R2)
        gram = Phi.T @ Phi
        inverse = np.linalg.pinv(gram + penalty, hermitian=True)
        return _sandwich(inverse, float(r @ r) / max(n - p, 1) * gram)


@dataclass(frozen=True)
class BiweightLoss(Loss):
    name: ClassVar[str] = "biweight"
    fit_name: ClassVar[str] = "robust fit"
    description: ClassVar[str] = ("robust MM-fits (Tukey's biweight); points farther than 3 "
                                  "scales from the model are outliers")
    rule: ClassVar[str] = ("the fewest coefficients of those whose cv error is as good as the "
                           "best within its noise (cv error: residuals capped at 3 scales)")
    title: ClassVar[str] = ("chosen by held-out (cv) error: the fewest coefficients within its "
                            "noise")
    tracks_scale: ClassVar[bool] = True

    def fit(self, problem, basis, rows=None, start=None, init=None, max_iter=50):
        Phi, z = (basis.Phi, problem.z) if rows is None else (basis.Phi[rows], problem.z[rows])
        w = problem.weight if rows is None or problem.weight is None else problem.weight[rows]
        args = (Phi, z, basis.R1, basis.R2, problem.gamma1, problem.gamma2, problem.ridge)
        if start is not None:
            run = dc.fit_robust_linear(*args, init=start.beta, scale=start.scale,
                                       seed=SOLVER_SEED, sample_weight=w, max_iter=max_iter)
        else:
            subsets = START_SUBSETS if init is None else _more_subsets(Phi.shape[1])
            run = dc.fit_robust_linear(*args, init=init, seed=SOLVER_SEED, sample_weight=w,
                                       n_starts=subsets)
        return Fit(np.asarray(run.coef), float(run.scale))

    def figure(self, residuals, scale):
        """The RMS with each residual capped at CAP scales."""
        return float(np.sqrt(np.mean(capped_squares(residuals, scale))))

    def judging_scale(self, held_out):
        return inlier_scale(held_out)

    def reference(self, scale, best):
        return scale * scale

    def spread(self, z):
        """The square of the normal-consistent mad of z, which outliers hardly move."""
        spread = MAD_TO_SD * dc.mad(z)
        if spread > 0.0:
            return spread * spread
        return float(np.var(z))

    def good(self, problem, table, judgement, folds):
        """The excess of a candidate's capped held-out squares over the best candidate's is on
        average within STANDARD_ERRORS standard errors of that mean over the folds."""
        scale = np.sqrt(judgement.ref)
        best = int(np.argmin(judgement.figures))
        least = capped_squares(table[best].held_out, scale)
        return [i for i, c in enumerate(table)
                if _within_noise(capped_squares(c.held_out, scale) - least, folds)]

    def preference(self, candidate):
        return (candidate.n_coefs, candidate.cv_mdl)

    def refine_reference(self, scale, figure):
        return scale * scale

    def sampler_cannot_pay(self, problem, residuals, scale):
        inliers = np.abs(residuals[np.abs(residuals) <= INLIER_SCALES * scale])
        if np.mean(inliers >= problem.eps) < SAMPLER_MISSES:
            return "nearly every inlier is a hit already: more hits could only be outliers"
        return None

    def coef_cov(self, problem, basis, beta, scale):
        """The sandwich A^-1 B A^-1 of the biweight M-estimator at `scale`,
        A = Phi' diag(psi'(r/s)) Phi + P and B = s^2 Phi' diag(psi(r/s)^2 / (1 - h)) Phi, each
        point's term corrected for its leverage h as in the HC2 form of least squares (the ends
        of a polynomial's range have high leverage); P is the penalty of the normal equations.
        Without a scale, that of least squares."""
        if not scale > 0.0:
            return SquaredLoss().coef_cov(problem, basis, beta, scale)
        Phi = basis.Phi * np.reshape(problem.root, (-1, 1))
        p = Phi.shape[1]
        r = (problem.z - basis.Phi @ beta) * problem.root
        u = r / (BIWEIGHT_C * scale)
        inside = np.abs(u) < 1.0
        weight = np.where(inside, (1.0 - u * u) ** 2, 0.0)
        psi = weight * r / scale
        slope = np.where(inside, (1.0 - u * u) * (1.0 - 5.0 * u * u), 0.0)
        n_w = float(np.sum(weight * problem.root**2))  # as the robust fit's M-step counts
        penalty = problem.ridge * np.eye(p)
        penalty = penalty + n_w * (problem.gamma1 * basis.R1 + problem.gamma2 * basis.R2)
        inverse = np.linalg.pinv(Phi.T @ (slope[:, None] * Phi) + penalty, hermitian=True)
        leverage = np.einsum("ij,jk,ik->i", Phi, inverse, Phi) * slope
        spread = psi * psi / np.clip(1.0 - leverage, 0.1, None)
        return _sandwich(inverse, scale * scale * (Phi.T @ (spread[:, None] * Phi)))


LOSSES = {loss.name: loss for loss in (BiweightLoss(), SquaredLoss())}


def capped_squares(residuals: Array, scale: float) -> Array:
    """Squares of the residuals, each at most that of CAP scales: one gross outlier then weighs
    no more than any other point that the model misses."""
    cap = CAP * scale
    return np.minimum(residuals**2, cap * cap)


def _more_subsets(p: int) -> int:
    """Random elemental subsets beside a start from a smaller basis: fewer for larger bases,
    where a subset of p rows is rarely free of outliers and costs p**3."""
    return max(1, min(MORE_SUBSETS, MORE_SUBSETS_WORK // max(p, 1)))


def _within_noise(excess: Array, folds) -> bool:
    """Whether per-point excesses of held-out squares over the best candidate's are, on
    average, within STANDARD_ERRORS standard errors of their mean over the folds: a difference
    that the noise and the choice of folds alone would make."""
    means = np.array([np.mean(excess[test]) for _, test in folds])
    error = np.std(means, ddof=1) / np.sqrt(means.size) if means.size > 1 else 0.0
    return float(np.mean(excess)) <= STANDARD_ERRORS * error
