"""The tournament sampler's refinement of the chosen fit, and when its model is kept.

The sampler, whose energy is the MDL score, starts from the chosen fit (on at most
SAMPLER_ROWS rows) and looks for more hits. It runs only where it can pay: where at least
SAMPLER_MISSES of the inliers of the fit are not hits (where nearly every inlier is a hit
already, more hits could only be outliers). Its model replaces
the fit only where it is really better: it hits more points at a lower MDL on the whole data
with a held-out figure as good (in the loss's sense, on the training residuals), and, run again
without one fold, it predicts that fold with at least as many hits as the fit of the same
points and a held-out figure as good. More hits alone are not enough: on noisy data the sampler
buys them with larger residuals elsewhere."""

from __future__ import annotations

import functools
from dataclasses import dataclass

import numpy as np
from sklearn.model_selection import KFold
from threadpoolctl import ThreadpoolController

import dorv_core as dc
from dorv._model.basis import Array, Basis
from dorv._model.losses import INLIER_SCALES, as_good, inlier_scale
from dorv._model.folds import FOLD_SEED
from dorv._model.problem import Fit, Problem, Units, rows

SAMPLER_ROWS = 2000  # the sampler runs on a sample of at most this many rows
SAMPLER_MISSES = 0.05  # and only where this share of the inliers of the fit are not hits

GIBBS_FIELDS = ("H", "Hmax", "He", "r_heat", "var_E", "T")


@dataclass
class Outcome:
    """What the sampler did, in units of y: its coefficients and figures where it ran, and
    whether its model was kept and why."""

    seed: int
    n_chains: int
    n_elite: int
    ran: bool = False
    kept: bool = False
    reason: str = ""
    coef: Array | None = None
    energy: float | None = None
    mdl: float | None = None
    hit_rate: float | None = None
    rms: float | None = None
    gibbs: dict | None = None  # the summary of its warm-up energies
    held_out: dict | None = None  # hits and held-out figure of it and of the fit on one fold


def refine(problem: Problem, basis: Basis, fit: Fit, sampler: dc.TournamentMCMC,
           outcome: Outcome, cv: int, units: Units) -> tuple[Fit, Outcome]:
    """The sampler's model where it is really better, else `fit`; and the outcome."""
    residuals = basis.Phi @ fit.beta - problem.z
    scale = inlier_scale(residuals)
    if problem.weight is not None:
        return fit, _not_kept(outcome, "the fit is weighted (sample weights, or noise whose spread varies), and the sampler takes no weights")
    inliers = np.abs(residuals[np.abs(residuals) <= INLIER_SCALES * scale])
    if np.mean(inliers >= problem.eps) < SAMPLER_MISSES:
        return fit, _not_kept(outcome, "nearly every inlier is a hit already: more hits could "
                                       "only be outliers")
    sample = problem.subset(rows(problem.n, SAMPLER_ROWS, seed=FOLD_SEED + 1))
    part = sample.basis(basis.degrees, basis.total) if sample is not problem else basis
    beta, run = _sample(sample, sampler, part, fit.beta)
    before, score = problem.score(basis, fit.beta, scale), problem.score(basis, beta, scale)
    outcome.ran = True
    outcome.coef, outcome.energy = units.coef(beta), run.energy
    outcome.mdl, outcome.hit_rate, outcome.rms = score.mdl, score.hit_rate, score.rms * units.y_scale
    outcome.gibbs = {k: getattr(run.gibbs, k) for k in GIBBS_FIELDS}
    if not (score.mdl < before.mdl and score.hit_rate > before.hit_rate):
        return fit, _not_kept(outcome, "the sampler found no more hits at a lower MDL")
    spread = problem.loss.spread(problem.z)
    ref = problem.loss.refine_reference(scale, before.figure)
    if not as_good(score.figure, before.figure, ref, spread):
        return fit, _not_kept(outcome, "more hits at a lower MDL, but larger residuals")
    train, test = next(KFold(min(cv, sample.n), shuffle=True, random_state=FOLD_SEED)
                       .split(sample.z))
    own = sample.fit(part, train, start=fit)
    sampled, _ = _sample(sample, sampler, part, own.beta, train)
    hits, figure = {}, {}
    for name, b in (("sampler", sampled), ("fit", own.beta)):
        r = part.Phi[test] @ b - sample.z[test]
        hits[name] = int(np.count_nonzero(np.abs(r) < problem.eps))
        figure[name] = sample.loss.figure(r, scale)
    outcome.held_out = {name: {"hits": hits[name], "rms": figure[name] * units.y_scale}
                        for name in hits}
    ref = problem.loss.refine_reference(scale, figure["fit"])
    if hits["sampler"] >= hits["fit"] and as_good(figure["sampler"], figure["fit"], ref, spread):
        outcome.kept = True
        outcome.reason = "more hits at a lower MDL, as good on held-out points"
        return Fit(beta), outcome
    return fit, _not_kept(outcome, "more hits at a lower MDL, but worse on held-out points")


def _not_kept(outcome: Outcome, reason: str) -> Outcome:
    outcome.kept, outcome.reason = False, reason
    return outcome


def _sample(problem: Problem, sampler: dc.TournamentMCMC, basis: Basis, start: Array,
            rows=None) -> tuple[Array, dc.MCMCResult]:
    """The sampler's coefficients for all rows or the given ones, started from `start`, and
    its run.

    The sampler walks in coefficients b of an orthonormal basis of the same polynomials,
    X = Phi S with X^T X = n I, so that its isotropic random-walk steps suit every direction
    alike; beta = S b, and the penalties become S^T R S, which leaves every energy unchanged.
    """
    Phi, z = (basis.Phi, problem.z) if rows is None else (basis.Phi[rows], problem.z[rows])
    # Phi = Q R has the singular values and right singular vectors of R, a small matrix.
    # One thread: these factorisations are too small to gain from more, and threads that
    # wait for each other cost seconds on a busy machine.
    with _blas().limit(limits=1, user_api="blas"):
        _, sv, Vt = np.linalg.svd(np.linalg.qr(Phi, mode="r"))
    keep = sv > sv[0] * 1e-12
    root_n = np.sqrt(Phi.shape[0])
    S = root_n * (Vt[keep].T / sv[keep])
    init = (sv[keep] / root_n) * (Vt[keep] @ start)
    run = sampler.fit(Phi @ S, z, S.T @ basis.R1 @ S, S.T @ basis.R2 @ S, problem.gamma1,
                      problem.gamma2, init=init)
    return S @ run.beta_mcmc, run


@functools.cache
def _blas() -> ThreadpoolController:
    """The thread pools of the loaded libraries, looked up once: a look-up reads the process's
    memory map, which costs more than the small factorisations it serves."""
    return ThreadpoolController()
