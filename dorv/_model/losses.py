"""The losses: how a candidate is fitted, how its held-out residuals are judged, when one
held-out figure counts as good as another, which of the good candidates is preferred, the
covariance of the coefficients, and the words the report uses for all of it.

`SquaredLoss` is penalised least squares; `BiweightLoss` the MM-estimate of the core's
`fit_robust_linear` (a high-breakdown start, then Tukey's biweight at the start's scale)."""

from __future__ import annotations

from dataclasses import dataclass
from typing import TYPE_CHECKING, ClassVar

import numpy as np
from scipy.stats import norm

import dorv_core as dc
from dorv._model.basis import Array, Basis
from dorv._model.problem import Fit, rms

if TYPE_CHECKING:
    from dorv._model.candidates import Candidate, Judgement
    from dorv._model.problem import Problem

RMS_TOLERANCE = 0.02  # relative held-out RMS within which candidates count as equally good
R2_TOLERANCE = 0.002  # held-out mean square error, as a fraction of var(y), ditto
STANDARD_ERRORS = 1.0  # robust loss: held-out excess within this many standard errors
OUTLIER_SCALES = 3.0  # robust loss: rows beyond this many reference scales for both of two
# candidates judge neither
EQUIVALENT = 0.01  # robust loss: held-out excess within this share of the noise variance
HUBER_C = 2.0  # robust loss: held-out residuals beyond this many reference scales count linearly
HELD_OUT_RATIO = 1.5  # least squares: candidates within this ratio of the least held-out RMS
# The core's rules: the inlier scale counts the residuals within INLIER_SCALES scales; the
# normal-consistent scale of a mad; the tuning of the robust fit's M-step (95 % efficiency).
INLIER_SCALES = dc.INLIER_CUT
MAD_TO_SD = dc.MAD_TO_SD
BIWEIGHT_C = dc.BIWEIGHT_EFFICIENCY_TUNING
FALSE_ALARM = 0.01  # a clean Gaussian sample has an outlier with this probability
TINY = 1e-300  # floor of a mean square whose logarithm is taken
SOLVER_SEED = 0  # the robust solver's elemental subsets are fixed
START_SUBSETS = 100  # random elemental subsets of a robust fit from scratch
MORE_SUBSETS = 10  # and of one that also starts from the fit of a smaller basis,
MORE_SUBSETS_WORK = 200  # fewer above 20 coefficients: at most this many over the count


def inlier_scale(residuals: Array, start: float | None = None) -> float:
    """Standard deviation of the residuals of the inliers, consistent for Gaussian noise, as the
    core's robust fit measures it (`dorv_core.inlier_scale`); from `start` where given (a scale
    already near it, which saves the median and most steps), else from the residuals' mad."""
    if start is not None and start > 0.0:
        return dc.inlier_scale(residuals, start=start)
    return dc.inlier_scale(residuals)


def outlier_cut(n: int) -> float:
    """Scales beyond which a point of n is an outlier: the distance that some point of a clean
    Gaussian sample of n exceeds with probability FALSE_ALARM, and at least INLIER_SCALES."""
    return max(INLIER_SCALES, float(norm.isf(0.5 * FALSE_ALARM / max(n, 1))))


def as_good(figure: float, best: float, ref: float, spread: float) -> bool:
    """Whether a held-out figure counts as good as the best one: its square exceeds the best's
    by at most 2 RMS_TOLERANCE of the reference mean square `ref` and at most R2_TOLERANCE of
    the spread of z."""
    return figure**2 <= best**2 + min(2.0 * RMS_TOLERANCE * ref, R2_TOLERANCE * spread)


def sandwich(bread: Array, meat: Array) -> Array:
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
    scale_text: ClassVar[str]  # what its noise scale is, in the report's words
    robust: ClassVar[bool]  # rows remote from the bulk of the inputs matter to it
    points_per_coef: ClassVar[int]  # training rows per coefficient of a candidate, at least

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

    def preference(self, candidate: Candidate, problem: Problem) -> tuple:
        """Sort key among the good candidates: the least is chosen."""
        raise NotImplementedError

    def refine_reference(self, scale: float, figure: float) -> float:
        """The mean square that the tolerance of the sampler's judgement refers to."""
        raise NotImplementedError

    def finish(self, problem: Problem, basis: Basis, fit: Fit) -> Fit:
        """The final fit of the chosen basis to all rows, from `fit`."""
        return fit

    def noise_scale(self, standard: Array, start: float | None = None) -> float:
        """The noise sd from residuals standardised by their leverage: the root mean square for
        least squares, which was chosen where no gross outlier stands out. `start`: a scale
        near the robust loss's answer, where one is known."""
        return float(np.sqrt(np.mean(standard**2)))

    def inference(self, problem: Problem, basis: Basis, beta: Array,
                  scale: float) -> tuple[Array, Array]:
        """Covariance (M, M) of the coefficients for z, and the leverage (n) of every row."""
        raise NotImplementedError


@dataclass(frozen=True)
class SquaredLoss(Loss):
    name: ClassVar[str] = "squared_error"
    fit_name: ClassVar[str] = "least-squares fit"
    description: ClassVar[str] = "penalised least squares"
    rule: ClassVar[str] = ("the lowest AIC of those whose cv error is within "
                           f"{HELD_OUT_RATIO:g} times the least")
    title: ClassVar[str] = "chosen by held-out (cv) error, then the lowest AIC"
    tracks_scale: ClassVar[bool] = False
    scale_text: ClassVar[str] = "the root mean square of the residuals"
    robust: ClassVar[bool] = False
    points_per_coef: ClassVar[int] = 2

    def fit(self, problem, basis, rows=None, start=None, init=None, max_iter=50):
        Phi, z, w = problem.rows_of(basis, rows)
        return Fit(dc.fit_regularized_linear(Phi, z, basis.R1, basis.R2, problem.gamma1,
                                             problem.gamma2, problem.ridge, sample_weight=w))

    def figure(self, residuals, scale):
        return rms(residuals)

    def reference(self, scale, best):
        return best**2

    def good(self, problem, table, judgement, folds):
        """Those whose held-out RMS is within HELD_OUT_RATIO of the least."""
        best = min(judgement.figures)
        return [i for i, f in enumerate(judgement.figures) if f <= HELD_OUT_RATIO * best]

    def preference(self, candidate, problem):
        """The lowest AIC, n ln(RSS / n) + 2 k: held-out points alone under-fit small samples,
        and BIC's heavier price of a term under-fits curves whose detail is small beside the
        noise."""
        return (problem.n * np.log(max(candidate.rms**2, TINY)) + 2.0 * candidate.n_coefs,
                candidate.n_coefs)

    def refine_reference(self, scale, figure):
        return figure**2

    def inference(self, problem, basis, beta, scale):
        """(Phi'Phi + P)^-1 s^2 Phi'Phi (Phi'Phi + P)^-1 with s^2 the residual mean square of
        n - M degrees of freedom, and the diagonal of the hat matrix Phi (Phi'Phi + P)^-1 Phi';
        P is the penalty of the normal equations."""
        Phi = basis.Phi * np.reshape(problem.root, (-1, 1))
        n, p = Phi.shape
        r = (problem.z - basis.Phi @ beta) * problem.root
        n_w = n if problem.weight is None else float(np.sum(problem.weight))  # as the fit counts
        penalty = problem.ridge * np.eye(p)
        penalty = penalty + n_w * (problem.gamma1 * basis.R1 + problem.gamma2 * basis.R2)
        gram = Phi.T @ Phi
        inverse = np.linalg.pinv(gram + penalty, hermitian=True)
        leverage = np.einsum("ij,jk,ik->i", Phi, inverse, Phi)
        return sandwich(inverse, float(r @ r) / max(n - p, 1) * gram), leverage


@dataclass(frozen=True)
class BiweightLoss(Loss):
    name: ClassVar[str] = "biweight"
    fit_name: ClassVar[str] = "robust fit"
    description: ClassVar[str] = ("MM-fits with Tukey's biweight, started from the bulk of the "
                                  "inputs and reweighted on all rows")
    rule: ClassVar[str] = ("the fewest coefficients of those whose cv error is as good as the "
                           "best's within its noise")
    title: ClassVar[str] = ("chosen by held-out (cv) error: the fewest coefficients within its "
                            "noise")
    tracks_scale: ClassVar[bool] = True
    scale_text: ClassVar[str] = "the sd of the inliers' residuals"
    robust: ClassVar[bool] = True
    points_per_coef: ClassVar[int] = 5

    def fit(self, problem, basis, rows=None, start=None, init=None, max_iter=50):
        Phi, z, w = problem.rows_of(basis, rows)
        args = (Phi, z, basis.R1, basis.R2, problem.gamma1, problem.gamma2, problem.ridge)
        if start is not None:
            run = dc.fit_robust_linear(*args, init=start.beta, scale=start.scale,
                                       seed=SOLVER_SEED, sample_weight=w, max_iter=max_iter)
            return Fit(np.asarray(run.coef), float(run.scale))
        subsets = START_SUBSETS if init is None else _more_subsets(Phi.shape[1])
        bulk = problem.bulk if rows is None or problem.bulk is None else problem.bulk[rows]
        if bulk is None:
            run = dc.fit_robust_linear(*args, init=init, seed=SOLVER_SEED, sample_weight=w,
                                       n_starts=subsets)
            return Fit(np.asarray(run.coef), float(run.scale))
        # Started from the bulk of the inputs alone, then reweighted on all rows.
        first = dc.fit_robust_linear(Phi[bulk], z[bulk], *args[2:], init=init, seed=SOLVER_SEED,
                                     sample_weight=None if w is None else w[bulk],
                                     n_starts=subsets)
        run = dc.fit_robust_linear(*args, init=first.coef, scale=first.scale, seed=SOLVER_SEED,
                                   sample_weight=w)
        return Fit(np.asarray(run.coef), float(run.scale))

    def finish(self, problem, basis, fit):
        """Least squares of the rows that the robust fit keeps (within `outlier_cut` scales),
        which then weigh as much as least squares would weigh them: what the biweight's
        downweighting of the inliers' larger residuals costs in efficiency is recovered, and
        with the same outliers the fit is the least-squares fit without them."""
        r = (basis.Phi @ fit.beta - problem.z) * problem.root
        keep = np.abs(r) <= outlier_cut(problem.n) * inlier_scale(r)
        if keep.sum() <= basis.n_coefs:
            return fit
        kept = Basis(basis.degrees, basis.total, basis.multi_indices, basis.Phi[keep], basis.R1,
                     basis.R2)
        return Fit(SquaredLoss().fit(problem.subset(keep), kept).beta, fit.scale)

    def noise_scale(self, standard, start=None):
        """The inliers' sd (see `inlier_scale`)."""
        return inlier_scale(standard, start)

    def figure(self, residuals, scale):
        """The root of the mean Huber square (see `huber_squares`)."""
        return float(np.sqrt(np.mean(huber_squares(residuals, scale))))

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
        """The excess of a candidate's held-out Huber squares over the best candidate's is on
        average within STANDARD_ERRORS standard errors of that mean over the folds, or within
        EQUIVALENT of the square of the reference scale. Rows that both call outliers
        (beyond OUTLIER_SCALES reference scales) count for neither: a gross outlier then weighs
        nothing, while a point that one of them predicts wildly costs it more the wilder."""
        scale = judgement.scale
        best = table[int(np.argmin(judgement.figures))].held_out
        least, far = huber_squares(best, scale), np.abs(best) > OUTLIER_SCALES * scale
        judges = np.ones(problem.n, dtype=bool) if problem.judges is None else problem.judges
        slack = EQUIVALENT * judgement.ref
        good = []
        for i, c in enumerate(table):
            both = far & (np.abs(c.held_out) > OUTLIER_SCALES * scale)
            excess = np.where(both, 0.0, huber_squares(c.held_out, scale) - least)
            if _within_noise(excess, judges, folds, slack):
                good.append(i)
        return good

    def preference(self, candidate, problem):
        return (candidate.n_coefs, candidate.cv_mdl)

    def refine_reference(self, scale, figure):
        return scale * scale

    def inference(self, problem, basis, beta, scale):
        """The sandwich A^-1 B A^-1 of the biweight M-estimator at `scale`,
        A = Phi' diag(psi'(r/s)) Phi + P and B = s^2 Phi' diag(psi(r/s)^2 / (1 - h)) Phi, each
        point's term corrected for its leverage h as in the HC2 form of least squares (the ends
        of a polynomial's range have high leverage); P is the penalty of the normal equations.
        h is the leverage of the weighted fit, Phi A^-1 Phi' diag(psi'). Without a scale, those
        of least squares."""
        if not scale > 0.0:
            return SquaredLoss().inference(problem, basis, beta, scale)
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
        return sandwich(inverse, scale * scale * (Phi.T @ (spread[:, None] * Phi))), leverage


LOSSES = {loss.name: loss for loss in (BiweightLoss(), SquaredLoss())}


def huber_squares(residuals: Array, scale: float) -> Array:
    """Twice Huber's loss of the residuals at HUBER_C scales: their squares up to HUBER_C
    scales, growing linearly beyond. A gross outlier weighs less than its square, but a wild
    prediction of a point still costs more than any near miss, and more the wilder it is."""
    a = np.abs(residuals)
    cut = HUBER_C * scale
    return np.where(a <= cut, a * a, cut * (2.0 * a - cut))


def _more_subsets(p: int) -> int:
    """Random elemental subsets beside a start from a smaller basis: fewer for larger bases,
    where a subset of p rows is rarely free of outliers and costs p**3."""
    return max(1, min(MORE_SUBSETS, MORE_SUBSETS_WORK // max(p, 1)))


def _within_noise(excess: Array, judges: Array, folds, slack: float) -> bool:
    """Whether per-point excesses (n) of held-out squares over the best candidate's are, on
    average over the judging rows, within `slack` or within STANDARD_ERRORS standard errors of
    their mean over the folds: a difference that the noise and the choice of folds alone would
    make."""
    means = np.array([np.mean(excess[test[judges[test]]]) for _, test in folds
                      if judges[test].any()])
    error = np.std(means, ddof=1) / np.sqrt(means.size) if means.size > 1 else 0.0
    return float(np.mean(excess[judges])) <= max(slack, STANDARD_ERRORS * error)
