"""A candidate basis fitted to all the data and once without each fold, and the judgement of a
table of candidates on their held-out residuals."""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

import dorv_core as dc
from dorv._model.basis import Array, Degrees, Indices, embed
from dorv._model.losses import inlier_scale
from dorv._model.problem import Fit, Problem, rms

FOLD_STEPS = 5  # reweighting steps of a fold's fit from the fit on all rows, at most


@dataclass(frozen=True)
class Candidate:
    """One basis fitted to all rows (figures of z) and its held-out residuals."""

    degrees: Degrees
    total: int | None  # highest total degree, None for the tensor product
    multi_indices: Indices  # (M, d)
    fit: Fit
    mdl: float
    hit_rate: float
    rms: float
    scale: float  # inlier scale of the residuals
    cv_mdl: float  # the MDL with the hit rate counted on held-out points
    held_out: Array  # (n) held-out residuals, of unit weight
    held_out_scale: float  # the candidate's offer for the reference scale of the judgement

    @property
    def n_coefs(self) -> int:
        return self.multi_indices.shape[0]


@dataclass(frozen=True)
class Judgement:
    """The held-out figure of every candidate of a table at one reference scale."""

    figures: list[float]
    scale: float  # reference scale: the smallest offer of the candidates
    ref: float  # the mean square that the tolerances refer to


def evaluate(problem: Problem, degrees: Degrees, total: int | None, folds,
             start: Candidate | None = None) -> Candidate:
    """The fit of one tuple of degrees and its held-out residuals; the fit of an earlier
    candidate, where given, is one more start of the robust fit."""
    basis = problem.basis(degrees, total)
    init = None if start is None else embed(start.multi_indices, start.fit.beta, basis)
    fit = problem.fit(basis, init=init)
    held_out = np.full_like(problem.z, np.nan)  # rows that no split holds out stay NaN
    for train, test in folds:
        held_out[test] = basis.Phi[test] @ problem.fit(basis, train, start=fit,
                                                       max_iter=FOLD_STEPS).beta
    zp = basis.Phi @ fit.beta
    r, held_r = (zp - problem.z) * problem.root, (held_out - problem.z) * problem.root
    tested = ~np.isnan(held_out)
    cv_mdl = dc.mdl_score_reg(held_out[tested], problem.z[tested], basis.n_coefs, problem.H,
                              fit.beta, basis.R1, basis.R2, problem.gamma1, problem.gamma2)
    return Candidate(degrees, total, basis.multi_indices, fit,
                     mdl=problem.mdl(basis, zp, fit.beta),
                     hit_rate=dc.compute_sr(zp, problem.z, problem.eps), rms=rms(r),
                     scale=inlier_scale(r), cv_mdl=cv_mdl, held_out=held_r,
                     held_out_scale=problem.loss.judging_scale(judged(problem, held_r)))


def judge(problem: Problem, table: list[Candidate]) -> Judgement:
    """Every candidate's held-out figure at one reference scale, the smallest offer of any
    candidate (for the robust loss the smallest inlier scale of their held-out residuals, so
    that an outlier weighs the same for every candidate)."""
    scale = min(c.held_out_scale for c in table)
    figures = [problem.loss.figure(judged(problem, c.held_out), scale) for c in table]
    return Judgement(figures, scale, problem.loss.reference(scale, min(figures)))


def judged(problem: Problem, held_out: Array) -> Array:
    """The held-out residuals of the rows that judge."""
    return held_out if problem.judges is None else held_out[problem.judges]
