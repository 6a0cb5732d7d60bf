"""The spread of the noise along the inputs: a variance function sigma(t)^2 = exp(t-polynomial)
of low degree, fitted to the squares of the standardised residuals of the inliers by maximum
Gaussian likelihood (a gamma model of the squares with a log link, by iteratively reweighted
least squares), its degree chosen by BIC, so that a constant spread stays the result where the
data show no strong evidence of a trend. sigma is scaled to a median of 1 over the training rows, so that the
model's scale stays the noise of a typical row."""

from __future__ import annotations

import itertools
from dataclasses import dataclass

import numpy as np

from dorv._model.basis import Array, Basis, Indices, Mask, design
from dorv._model.losses import inlier_scale, outlier_cut
from dorv._model.problem import Fit, Problem

MAX_DEGREE = 2  # highest total degree of the log-variance polynomial
ROWS_PER_COEF = 10  # inliers per coefficient of the log-variance polynomial, at least
STEPS = 25  # reweighting steps of the likelihood fit, at most
TOLERANCE = 1e-8  # relative change of the deviance that ends them
EVIDENCE = 10.0  # fall of the BIC that a trend in the spread needs: very strong evidence
REWEIGHTS = 2  # fits weighted by a new variance function, at most
LOG_RANGE = np.log(25.0)  # the variance varies by at most this factor either side of its median


@dataclass(frozen=True)
class Spread:
    """log sigma(t)^2 = design(multi_indices, t) @ coef, evaluated within the training range."""

    multi_indices: Indices  # (k, d)
    coef: Array  # (k)

    @property
    def constant(self) -> bool:
        return self.coef.size == 1

    def sd(self, T: Array) -> Array:
        """sigma (n) at mapped inputs T (n, d); beyond the training range, as at its edge."""
        if self.constant:
            return np.ones(T.shape[0])
        log_var = design(self.multi_indices, np.clip(T, -1.0, 1.0)) @ self.coef
        return np.exp(0.5 * np.clip(log_var, -LOG_RANGE, LOG_RANGE))


def constant(d: int) -> Spread:
    return Spread(np.zeros((1, d), dtype=np.int64), np.zeros(1))


def fit_spread(T: Array, standard: Array) -> Spread:
    """The variance function of the standardised residuals `standard` (m) of inliers at mapped
    inputs T (m, d), of the total degree of lowest BIC up to MAX_DEGREE."""
    m, d = T.shape
    best, best_bic = constant(d), np.inf
    squares = np.maximum(standard * standard, 1e-300)
    for degree in range(MAX_DEGREE + 1):
        mi = _monomials(d, degree)
        if m < ROWS_PER_COEF * mi.shape[0]:
            break
        Z = design(mi, T)
        coef = _gamma_log_fit(Z, squares)
        deviance = float(np.sum(Z @ coef + squares * np.exp(-(Z @ coef))))
        bic = deviance + mi.shape[0] * np.log(m)
        if bic < best_bic - (0.0 if degree == 0 else EVIDENCE):
            best, best_bic = Spread(mi, coef), bic
    if best.constant:
        return constant(d)
    median = float(np.median(best.sd(T)))
    coef = best.coef.copy()
    coef[0] -= 2.0 * np.log(median)  # the first monomial is the constant
    return Spread(best.multi_indices, coef)


def _monomials(d: int, degree: int) -> Indices:
    """The monomials of d variables of total degree at most `degree`, in increasing total
    degree (the constant first)."""
    powers = [m for m in itertools.product(range(degree + 1), repeat=d) if sum(m) <= degree]
    return np.array(sorted(powers, key=sum), dtype=np.int64)


def _gamma_log_fit(Z: Array, squares: Array) -> Array:
    """Coefficients c maximising the Gaussian likelihood of residuals whose squares are
    `squares` (m) with variances exp(Z c), Z (m, k): iteratively reweighted least squares of a
    gamma model with a log link, whose working weights are all 1."""
    coef: Array = np.zeros(Z.shape[1])
    coef[0] = np.log(np.mean(squares))
    last = np.inf
    for _ in range(STEPS):
        eta = Z @ coef
        mu = np.exp(eta)
        deviance = float(np.sum(eta + squares / mu))
        if abs(last - deviance) <= TOLERANCE * abs(deviance):
            break
        last = deviance
        coef = np.asarray(np.linalg.lstsq(Z, eta + squares / mu - 1.0, rcond=None)[0],
                          dtype=np.float64)
    return coef


def inliers_of(residuals: Array) -> Mask:
    """The rows whose residuals (of unit weight) lie within `outlier_cut` inlier scales."""
    return np.abs(residuals) <= outlier_cut(residuals.size) * inlier_scale(residuals)


def reweigh(problem: Problem, basis: Basis, fit: Fit) -> tuple[Problem, Fit, Spread]:
    """The fit weighted by the inverse variance function of its residuals, refitted so twice at
    most, with the problem so weighted and the variance function; the fit and the problem as
    they were where the spread shows no trend."""
    user = problem.weight
    spread = constant(problem.T.shape[1])
    for _ in range(REWEIGHTS):
        r = basis.Phi @ fit.beta - problem.z
        inliers = inliers_of(r * problem.root)
        unit = r if user is None else r * np.sqrt(user)
        new = fit_spread(problem.T[inliers], unit[inliers])
        if new.constant and spread.constant:
            break
        spread = new
        weight = 1.0 / spread.sd(problem.T) ** 2
        problem = problem.weighted(weight if user is None else user * weight)
        fit = problem.fit(basis, start=fit)
    return problem, fit, spread
