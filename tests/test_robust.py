"""fit_robust_linear: quality under contamination, the cheap restart, the all-inlier limit,
reproducibility, the result class and refusals."""

import pickle

import numpy as np
import pytest
from scipy import integrate, stats

import dorv_core as dc

rng = np.random.default_rng(1234)
M = 300
X1 = rng.uniform(-1.0, 1.0, M)
PHI = dc.design_matrix_1d(4, X1)
BETA = np.array([0.5, -1.0, 2.0, 0.7, -1.5])
NOISE = 0.05 * rng.normal(size=M)
R1, R2 = dc.smoothness_penalty_matrices_1d(4, -1.0, 1.0)


def contaminated(fraction):
    """Targets of the quartic with the given fraction of rows moved by 5 to 25 up or down."""
    g = np.random.default_rng(round(100 * fraction))
    y = PHI @ BETA + NOISE
    bad = g.permutation(M)[: int(fraction * M)]
    y[bad] += g.choice([-1.0, 1.0], bad.size) * g.uniform(5.0, 25.0, bad.size)
    return y, bad


@pytest.mark.parametrize("fraction", [0.0, 0.3, 0.45], ids=["clean", "30%", "45%"])
def test_outliers_do_not_move_the_fit(fraction):
    y, bad = contaminated(fraction)
    good = np.setdiff1d(np.arange(M), bad)
    r = dc.fit_robust_linear(PHI, y)
    # Within half a standard error of least squares on the clean rows alone (95 % efficiency);
    # least squares on all rows is far off.
    se = 0.05 * np.sqrt(np.diag(np.linalg.inv(PHI[good].T @ PHI[good])))
    assert np.all(np.abs(r.coef - dc.ols(PHI[good], y[good])) < 0.5 * se)
    if fraction:
        assert np.abs(dc.ols(PHI, y) - BETA).max() > 1.0
    assert r.scale == pytest.approx(0.05, rel=0.15)
    assert not r.inlier_mask[bad].any() and r.inlier_mask.mean() > (1 - fraction) * 0.98
    assert np.all(r.weights[bad] == 0.0) and np.all((r.weights >= 0) & (r.weights <= 1))
    assert r.converged and 0 < r.n_iter <= 50


def test_coefficients_are_the_weighted_fit_of_their_own_weights():
    y, _ = contaminated(0.3)
    r = dc.fit_robust_linear(PHI, y, R1, None, 1e-3)
    w, n_w = r.weights, r.weights.sum()
    A = PHI.T @ (w[:, None] * PHI) + 1e-10 * np.eye(5) + n_w * 1e-3 * R1
    np.testing.assert_allclose(np.linalg.solve(A, PHI.T @ (w * y)), r.coef, atol=1e-8)


def test_restart_from_a_fit_and_its_scale_stays_there():
    y, _ = contaminated(0.3)
    r = dc.fit_robust_linear(PHI, y, R1, R2, 1e-4, 1e-6)
    again = dc.fit_robust_linear(PHI, y, R1, R2, 1e-4, 1e-6, init=r.coef, scale=r.scale,
                                 n_starts=1)
    # The restart runs at the inlier scale rather than the M-scale: within half a
    # standard error.
    se = 0.05 * np.sqrt(np.diag(np.linalg.inv(PHI.T @ PHI)))
    assert np.all(np.abs(again.coef - r.coef) < 0.5 * se)


def test_with_all_weights_one_it_is_the_penalised_fit():
    y, _ = contaminated(0.0)
    r = dc.fit_robust_linear(PHI, y, R1, R2, 1e-3, 1e-5, 1e-8, init=np.zeros(5), scale=1e12)
    want = dc.fit_regularized_linear(PHI, y, R1, R2, 1e-3, 1e-5, 1e-8)
    assert r.coef.tobytes() == want.tobytes() and np.all(r.weights == 1.0)


@pytest.mark.parametrize("m", [4, M], ids=["m<=p", "M-step"])
def test_weights_reach_the_least_squares_solver_alike(m):
    # Too few rows, or a scale that makes every biweight weight 1: weighted least squares.
    y, _ = contaminated(0.0)
    w = np.random.default_rng(7).uniform(0.2, 3.0, M)[:m]
    r = dc.fit_robust_linear(PHI[:m], y[:m], R1, R2, 1e-3, 1e-5, 1e-8, init=np.zeros(5),
                             scale=1e12, sample_weight=w)
    want = dc.fit_regularized_linear(PHI[:m], y[:m], R1, R2, 1e-3, 1e-5, 1e-8, sample_weight=w)
    assert r.coef.tobytes() == want.tobytes()


def test_seeded_and_layout_free():
    y, _ = contaminated(0.3)
    want = dc.fit_robust_linear(PHI, y, seed=5)
    for P in (np.asfortranarray(PHI), np.repeat(PHI, 2, axis=1)[:, ::2], PHI.tolist()):
        got = dc.fit_robust_linear(P, y, seed=5)
        assert got.coef.tobytes() == want.coef.tobytes()
        assert got.weights.tobytes() == want.weights.tobytes() and got.scale == want.scale
    assert dc.fit_robust_linear(PHI, y, seed=6).coef == pytest.approx(want.coef, abs=1e-3)


@pytest.mark.parametrize("m", [0, 1, 3, 5], ids=lambda m: f"m={m}")
def test_no_more_rows_than_coefficients(m):
    y = (PHI @ BETA)[:m]
    r = dc.fit_robust_linear(PHI[:m], y)
    assert r.coef.tobytes() == dc.fit_regularized_linear(PHI[:m], y).tobytes()
    assert r.scale > 0 and r.inlier_mask.all() and np.all(r.weights == 1.0)
    assert r.weights.shape == r.inlier_mask.shape == (m,)


def test_result_is_read_only_and_not_picklable():
    r = dc.fit_robust_linear(PHI, PHI @ BETA + NOISE, n_starts=3)
    assert repr(r).startswith("RobustFit(coef=array([")
    assert not r.coef.flags.writeable and r.inlier_mask.dtype == bool
    for name in ["coef", "scale", "weights", "inlier_mask", "n_iter", "converged"]:
        pytest.raises(AttributeError, setattr, r, name, 1.0)
    with pytest.raises(TypeError, match="cannot pickle 'RobustFit' object"):
        pickle.dumps(r)


@pytest.mark.parametrize("kwargs, match", [
    (dict(y=np.zeros(4)), r"Phi \(300, 5\) has 300 rows but y has 4 entries"),
    (dict(R1=np.eye(4), gamma1=1.0), r"R1 must be \(5, 5\), got \(4, 4\)"),
    (dict(Phi=np.where(np.arange(5) == 2, np.nan, PHI)), r"Phi \(300, 5\) must be finite"),
    (dict(y=np.r_[np.inf, NOISE[1:]]), r"y \(300\) must be finite"),
    (dict(init=np.zeros(4)), "init has 4 entries but Phi has 5 columns"),
    (dict(init=np.r_[np.nan, np.zeros(4)]), r"init \(5\) must be finite"),
    (dict(scale=-1.0), "scale must not be negative, got -1"),
    (dict(scale=np.nan), "scale must be finite, got nan"),
    (dict(n_starts=0), "n_starts must be at least 1, got 0"),
    (dict(max_iter=-1), "max_iter must not be negative, got -1"),
    (dict(sample_weight=np.ones(4)), "sample_weight has 4 entries but Phi has 300 rows"),
    (dict(sample_weight=np.r_[0.0, np.ones(M - 1)]),
     "sample_weight must be finite and positive, got 0 at row 0"),
], ids=["rows", "R1", "Phi-nan", "y-inf", "init-length", "init-nan", "scale-negative",
        "scale-nan", "n_starts", "max_iter", "weight-length", "weight-zero"])
def test_bad_input_is_refused_by_name(kwargs, match):
    args = dict(Phi=PHI, y=NOISE) | kwargs
    with pytest.raises(ValueError, match=f"fit_robust_linear: {match}"):
        dc.fit_robust_linear(**args)


def test_sample_weights_are_rows_scaled_by_their_roots():
    y, bad = contaminated(0.2)
    w = np.random.default_rng(3).uniform(0.5, 4.0, M)
    root = np.sqrt(w)
    weighted = dc.fit_robust_linear(PHI, y, sample_weight=w)
    np.testing.assert_allclose(weighted.coef, BETA, atol=0.05)
    assert not weighted.inlier_mask[bad].any()
    # without penalties (whose count of rows the weights change), the fit of the scaled rows
    scaled = dc.fit_robust_linear(PHI * root[:, None], y * root)
    np.testing.assert_allclose(weighted.coef, scaled.coef, rtol=1e-6, atol=1e-9)
    np.testing.assert_allclose(weighted.scale, scaled.scale, rtol=1e-6)


def test_rules_mean_what_they_say():
    phi, c = stats.norm.pdf, dc.INLIER_CUT
    assert dc.MAD_TO_SD == pytest.approx(1.0 / stats.norm.ppf(0.75), rel=1e-15)
    assert dc.TRUNCATED_VARIANCE == pytest.approx(1.0 - 2 * c * phi(c) / (1.0 - 2 * stats.norm.sf(c)),
                                                  abs=1e-5)
    # The M-scale's biweight: E rho(Z / c) = 1/2 with rho(u) = 1 - (1 - u^2)^3 on |u| < 1.
    cs = dc.BIWEIGHT_SCALE_TUNING
    mean_rho = 2 * stats.norm.sf(cs) + integrate.quad(
        lambda z: (1.0 - (1.0 - (z / cs) ** 2) ** 3) * phi(z), -cs, cs)[0]
    assert mean_rho == pytest.approx(0.5, abs=1e-3)
    # The M-step's: asymptotic efficiency (E psi')^2 / E psi^2 of 95 % at the normal.
    ce = dc.BIWEIGHT_EFFICIENCY_TUNING
    psi = lambda z: z * (1.0 - (z / ce) ** 2) ** 2
    dpsi = lambda z: (1.0 - (z / ce) ** 2) * (1.0 - 5.0 * (z / ce) ** 2)
    mean = lambda f: integrate.quad(lambda z: f(z) * phi(z), -ce, ce)[0]
    assert mean(dpsi) ** 2 / mean(lambda z: psi(z) ** 2) == pytest.approx(0.95, abs=1e-3)


def inlier_scale_reference(r):
    """From MAD_TO_SD median |r|, s <- sqrt(mean(r^2 over |r| < INLIER_CUT s) / TRUNCATED_VARIANCE)
    until it stops moving."""
    r = np.abs(np.asarray(r, dtype=float))
    s = dc.MAD_TO_SD * np.median(r) if r.size else 0.0
    for _ in range(100):
        inside = r[r < dc.INLIER_CUT * s]
        if inside.size == 0:
            break
        s, last = np.sqrt(np.mean(inside**2) / dc.TRUNCATED_VARIANCE), s
        if abs(s - last) <= 1e-12 * last:
            break
    return s


@pytest.mark.parametrize("fraction", [0.0, 0.3], ids=["clean", "30%"])
def test_inlier_scale_is_the_fixed_point_fit_robust_linear_reaches(fraction):
    y, _ = contaminated(fraction)
    r = dc.fit_robust_linear(PHI, y)
    residuals = y - PHI @ r.coef
    assert dc.inlier_scale(residuals) == pytest.approx(inlier_scale_reference(residuals), rel=1e-12)
    assert dc.inlier_scale(residuals) == pytest.approx(r.scale, rel=1e-10)
    assert dc.inlier_scale(residuals) == pytest.approx(0.05, rel=0.15)
    np.testing.assert_array_equal(r.inlier_mask, np.abs(residuals) <= dc.INLIER_CUT * r.scale)


@pytest.mark.parametrize("r", [[], [0.0, 0.0, 1.0], [0.0, 3.0, -2.0, 0.0]],
                         ids=["empty", "mostly-zero", "half-zero"])
def test_inlier_scale_of_exact_fits(r):
    assert dc.inlier_scale(r) == inlier_scale_reference(r)
    with pytest.raises(ValueError, match=r"inlier_scale: residuals \(3\) must be finite"):
        dc.inlier_scale([0.0, 1.0, np.nan])
