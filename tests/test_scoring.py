"""Robust statistics, hit rate, MDL scores and the two least-squares solvers."""

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st
from scipy.stats import median_abs_deviation

import dorv_core as dc

nan, inf = np.nan, np.inf
rng = np.random.default_rng(1234)
X, Y = rng.normal(size=(30, 4)), rng.normal(size=30)
R = rng.normal(size=(4, 4))
R1, R2 = R @ R.T, np.diag([0.0, 1.0, 4.0, 9.0])
EYE4 = np.eye(4)


@pytest.mark.parametrize("y, want", [([1, 2, 3, 4, 100], 1.0), ([1, 2, 3, 4], 1.0), ([7.5], 0.0),
                                     ([3, 3, 3, 3], 0.0), ([], 0.0)],
                         ids=["odd", "even", "single", "constant", "empty"])
def test_mad_values(y, want):
    assert dc.mad(y) == want


@pytest.mark.parametrize("n, decimals", [(2, 17), (5, 17), (6, 17), (101, 17), (200, 17),
                                         (20001, 17), (40000, 17), (40000, 1), (30001, 0)],
                         ids=["2", "5", "6", "101", "200", "large-odd", "large-even",
                              "large-ties", "large-odd-ties"])
def test_mad_matches_scipy(n, decimals):
    y = np.round(np.random.default_rng(n).standard_t(2, size=n), decimals)
    assert dc.mad(y) == pytest.approx(median_abs_deviation(y, scale=1.0), rel=1e-15)


@settings(deadline=None, max_examples=50)
@given(st.lists(st.floats(-1e6, 1e6), min_size=1, max_size=40), st.floats(-1e3, 1e3),
       st.floats(-1e3, 1e3))
def test_mad_equivariance(y, a, c):
    y = np.array(y)
    assert dc.mad(a * y + c) == pytest.approx(abs(a) * dc.mad(y), rel=1e-9, abs=1e-6)


@pytest.mark.parametrize("yp, yt, eps, want", [
    ([1, 2, 3, 4], [1, 2, 3, 4], 0.1, 1.0), ([9, 9, 9, 9], [1, 2, 3, 4], 0.1, 0.125),
    ([1.0], [1.05], 0.1, 1.0), ([1.0], [2.0], 0.1, 0.5), ([0.0, 0.0], [0.5, 0.1], 0.5, 0.5),
    ([1, 2], [1, 2], 0.0, 0.25), ([1, 2], [1, 2], -1.0, 0.25),
    ([nan, 1, 1], [1, 1, inf], 0.1, 1 / 3),
    ([1, 2, 3, 99, 99], [1, 2, 3], 0.1, 1.0)],
    ids=["all", "none", "n1-hit", "n1-miss", "equal-eps", "eps0", "eps<0", "nonfinite", "long-yp"])
def test_compute_sr(yp, yt, eps, want):
    assert dc.compute_sr(yp, yt, eps) == pytest.approx(want, rel=1e-15)


@pytest.mark.parametrize("y", [[0, 2.5, 5, 7.5, 10], [3, 3, 3, 4], [-1, nan, 1], [0, inf, -inf]],
                         ids=["mad-2.5", "mad-0", "nan", "inf"])
def test_hit_tolerance_is_the_factor_times_a_positive_mad(y):
    m = median_abs_deviation(y, scale=1.0)
    want = dc.HIT_FACTOR * m if m > 0 else dc.HIT_FACTOR
    assert dc.hit_tolerance(dc.mad(y)) == pytest.approx(want, rel=1e-15, nan_ok=True)


def test_empty_targets_give_nan():
    assert np.isnan(dc.compute_sr([], [], 0.1)) and np.isnan(dc.mdl_score([], [], 3))


@pytest.mark.parametrize("yp, yt, k, H, want", [
    (np.arange(100.0), np.arange(100.0), 0, 20, 0.0),
    (np.arange(100.0), np.arange(100.0), 3, 20, 9 * np.log(40) / 100),
    ([9, 9, 9, 9], [1, 2, 3, 4], 0, 20, 4 * np.log(8)),
    ([9, 9, 9, 9], [1, 2, 3, 4], -2, -5, 4 * np.log(8)),
    ([1.39, 1.41], [1, 1], 0, 0, np.log(4)),          # constant targets: tolerance 0.4
    ([0.99, 3.5, 5.5, 8.51, 10], [0, 2.5, 5, 7.5, 10], 0, 20, -5 * np.log(0.6)),  # mad 2.5: tol 1.0
    ([1, 2], [1, 2], 1, 0, -inf), ([1, 2], [1, 2], 1, -1, nan)],
    ids=["perfect-k0", "9ln40/100", "4ln8", "k<=0-skips-H", "tol-0.4", "tol-1.0", "H0", "H<0"])
def test_mdl_score(yp, yt, k, H, want):
    assert dc.mdl_score(yp, yt, k, H) == pytest.approx(want, rel=1e-14, nan_ok=True)


def test_mdl_score_reg_penalties():
    yp, yt, beta = Y + 0.1, Y, rng.normal(size=4)
    base = dc.mdl_score(yp, yt, 4, 20)
    # Weights of 0.0 leave the matrices unread, whatever their shape.
    assert dc.mdl_score_reg(yp, yt, 4, 20, beta, np.zeros((2, 7)), np.zeros((0, 0))) == base
    assert dc.mdl_score_reg(yp, yt, 4, 20, beta, EYE4, R2, 1.0) == pytest.approx(base + beta @ beta)
    both = base - 0.5 * beta @ R1 @ beta + 3.0 * beta @ R2 @ beta  # unscaled by n, sign kept
    assert dc.mdl_score_reg(yp, yt, 4, 20, beta, R1, R2, -0.5, 3.0) == pytest.approx(both)


def lstsq(A, y):
    return np.linalg.lstsq(A, y, rcond=None)[0]


@pytest.mark.parametrize("A", [X, np.c_[X, np.zeros(30)], np.c_[X, X[:, 1]], X[:3], [[2.0]]],
                         ids=["full-rank", "zero-column", "duplicate-column", "m<p", "1x1"])
def test_ols_is_minimum_norm_lstsq(A):
    A = np.asarray(A)
    np.testing.assert_allclose(dc.ols(A, Y[:len(A)]), lstsq(A, Y[:len(A)]), rtol=1e-10, atol=1e-12)


def normal_solve(Phi, y, terms, ridge):
    A = Phi.T @ Phi + ridge * np.eye(Phi.shape[1]) + sum(len(y) * g * R for R, g in terms)
    A = np.tril(A) + np.tril(A, -1).T  # the factorisation reads the lower triangle only
    return np.linalg.solve(A, Phi.T @ y)


@pytest.mark.parametrize("R1_, R2_, g1, g2, ridge", [
    (None, None, 0.0, 0.0, 1e-10), (R1, R2, 0.01, 0.1, 1e-10), (R1, None, -0.001, 0.0, 0.5),
    (R, R2, 0.05, 0.0, 0.0), (EYE4, R, 0.0, 0.02, 1e-3)],
    ids=["plain", "both", "negative-weight", "non-symmetric-R1-ridge-0", "non-symmetric-R2"])
def test_fit_regularized_linear_matches_normal_equations(R1_, R2_, g1, g2, ridge):
    terms = [(M, g) for M, g in [(R1_, g1), (R2_, g2)] if M is not None and g != 0.0]
    np.testing.assert_allclose(dc.fit_regularized_linear(X, Y, R1_, R2_, g1, g2, ridge),
                               normal_solve(X, Y, terms, ridge), rtol=1e-9)


def test_fit_regularized_linear_degenerate_cases():
    b = dc.fit_regularized_linear(X, Y, R1, R2, 0.01, 0.1, ridge=0.0)
    twice = dc.fit_regularized_linear(np.r_[X, X], np.r_[Y, Y], R1, R2, 0.01, 0.1, ridge=0.0)
    np.testing.assert_allclose(twice, b, rtol=1e-10)
    # A weight of 0.0 does not read its matrix: identical bits, whatever the shape.
    plain = dc.fit_regularized_linear(X, Y)
    unread = dc.fit_regularized_linear(X, Y, np.ones((2, 3)), [[nan]], 0.0, 0.0)
    assert unread.tobytes() == plain.tobytes()
    assert dc.fit_regularized_linear(X, Y, None, None, nan, inf).tobytes() == plain.tobytes()
    zero_col = dc.fit_regularized_linear(np.c_[X, np.zeros(30)], Y, ridge=0.0)
    assert zero_col[4] == 0.0 and np.allclose(zero_col[:4], lstsq(X, Y))
    wide = dc.fit_regularized_linear(X[:2], Y[:2])
    assert wide.shape == (4,) and np.allclose(X[:2] @ wide, Y[:2], atol=1e-6)


@pytest.mark.parametrize("m, p, order", [(30, 4, "C"), (3000, 12, "F"), (3, 9, "C")],
                         ids=["30x4", "3000x12-fortran", "wide"])
def test_sample_weight_is_the_fit_of_rows_scaled_by_their_roots(m, p, order):
    rng = np.random.default_rng(m + p)
    Phi, y, w = rng.normal(size=(m, p)), rng.normal(size=m), rng.uniform(0.1, 5.0, m)
    root = np.sqrt(w)
    got = dc.fit_regularized_linear(np.asarray(Phi, order=order), y, sample_weight=w)
    scaled = dc.fit_regularized_linear(np.asarray(Phi * root[:, None], order=order), y * root)
    assert got.tobytes() == scaled.tobytes()
    # The penalties count the rows by their total weight, as fit_robust_linear's do.
    Rm = np.diag(np.arange(1.0, p + 1))
    got = dc.fit_regularized_linear(Phi, y, Rm, np.eye(p), 0.01, 0.001, sample_weight=w)
    A = (Phi.T * w) @ Phi + 1e-10 * np.eye(p) + w.sum() * (0.01 * Rm + 0.001 * np.eye(p))
    np.testing.assert_allclose(got, np.linalg.solve(A, (Phi.T * w) @ y), rtol=1e-9)
    plain = dc.fit_regularized_linear(Phi, y, Rm, np.eye(p), 0.01, 0.001)
    ones = dc.fit_regularized_linear(Phi, y, Rm, np.eye(p), 0.01, 0.001, sample_weight=np.ones(m))
    assert ones.tobytes() == plain.tobytes()


@pytest.mark.parametrize("call, match", [
    (lambda: dc.compute_sr([1, 2], [1, 2, 3], 0.1), r"compute_sr: yp has 2 .* 3 of yt"),
    (lambda: dc.mdl_score([1.0], [1, 2], 1), r"mdl_score: yp has 1 .* 2 of yt"),
    (lambda: dc.mdl_score_reg([1.0], [1, 2], 1, 20, [1.0], EYE4, EYE4), r"mdl_score_reg: yp has 1"),
    (lambda: dc.mdl_score_reg(Y, Y, 1, 20, np.ones(3), EYE4, EYE4, 1.0),
     r"R1 must be \(3, 3\), got \(4, 4\)"),
    (lambda: dc.mdl_score_reg(Y, Y, 1, 20, np.ones(4), EYE4, np.eye(3), 0.0, 1.0),
     r"R2 .*got \(3, 3\)"),
    (lambda: dc.mdl_score_reg(Y, Y, 1, 20, np.ones(4), np.zeros((0, 0)), EYE4, 1.0),
     r"R1 .*\(0, 0\)"),
    (lambda: dc.ols(X, Y[:29]), r"ols: X \(30, 4\) has 30 rows but y has 29"),
    (lambda: dc.fit_regularized_linear(X[:5], Y), r"Phi \(5, 4\) has 5 rows but y has 30"),
    (lambda: dc.fit_regularized_linear(X, Y, np.eye(3), None, 1.0),
     r"R1 must be \(4, 4\), got \(3, 3\)"),
    (lambda: dc.fit_regularized_linear(X, Y, EYE4, np.ones((4, 5)), 1.0, -1.0),
     r"R2 .*got \(4, 5\)"),
    (lambda: dc.fit_regularized_linear(np.where(X > 2, inf, X), Y),
     r"Phi \(30, 4\) must be finite, got inf"),
    (lambda: dc.fit_regularized_linear([[nan]], [1.0]), r"Phi .*got nan at \[0, 0\]"),
    (lambda: dc.fit_regularized_linear(X, Y, np.where(EYE4 > 0, nan, 0), None, 1.0), "R1 .*finite"),
    (lambda: dc.fit_regularized_linear(X, Y, None, [[-inf]], 1.0, 1.0), "R2 must be"),
    (lambda: dc.fit_regularized_linear(X, Y, ridge=nan), "ridge must be finite, got nan"),
    (lambda: dc.fit_regularized_linear(X, Y, EYE4, None, inf), "gamma1 must be finite, got inf"),
    (lambda: dc.fit_regularized_linear(X, Y, sample_weight=np.ones(29)),
     "fit_regularized_linear: sample_weight has 29 entries but Phi has 30 rows"),
    (lambda: dc.fit_regularized_linear(X, Y, sample_weight=np.r_[np.ones(29), -1.0]),
     "sample_weight must be finite and positive, got -1 at row 29"),
    (lambda: dc.fit_regularized_linear(X, Y, sample_weight=np.r_[nan, np.ones(29)]),
     "sample_weight must be finite and positive, got nan at row 0"),
    (lambda: dc.fit_regularized_linear(X, np.r_[Y[:-1], inf], sample_weight=np.ones(30)),
     r"y \(30\) must be finite, got inf at \[29\]")],
    ids=["sr-short-yp", "mdl-short-yp", "reg-short-yp", "reg-R1-vs-beta", "reg-R2", "reg-R1-empty",
         "ols-rows", "frl-rows", "frl-R1", "frl-R2", "frl-inf-Phi", "frl-nan-1x1", "frl-nan-R1",
         "frl-R2-shape-first", "frl-nan-ridge", "frl-inf-gamma", "frl-weight-length",
         "frl-weight-negative", "frl-weight-nan", "frl-weighted-inf-y"])
def test_bad_input_raises_value_error(call, match):
    with pytest.raises(ValueError, match=match):
        call()


def test_ols_screens_non_finite_and_solves_empty_designs(run_isolated):
    # A segfault here would otherwise take the whole test run down.
    proc = run_isolated("""
        import numpy as np, dorv_core as dc
        def message(A, y):
            try:
                dc.ols(A, y)
            except ValueError as e:
                return str(e)
        for i, j, v in [(3, 1, np.inf), (0, 0, np.nan), (5, 2, -np.inf)]:
            A = np.ones((6, 3))
            A[i, j] = v
            print(message(A, np.ones(6)))
        print(message(np.ones((6, 3)), np.r_[np.ones(5), np.nan]))
        for m, p in [(0, 3), (3, 0), (0, 0)]:
            print(dc.ols(np.zeros((m, p)), np.ones(m)).tolist())
    """)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == [
        "ols: X (6, 3) must be finite, got inf at [3, 1]",
        "ols: X (6, 3) must be finite, got nan at [0, 0]",
        "ols: X (6, 3) must be finite, got -inf at [5, 2]",
        "ols: y (6) must be finite, got nan at [5]",
        "[0.0, 0.0, 0.0]", "[]", "[]"]


@pytest.mark.parametrize("m, p", [(1, 1), (30, 4), (2000, 20), (50, 64), (3, 9), (0, 3), (3, 0), (0, 0)])
def test_fit_regularized_linear_solves_the_normal_equations_of_the_full_product(native_testing,
                                                                              m, p):
    normal_equations_solve = native_testing.normal_equations_solve
    rng = np.random.default_rng(m * 100 + p)
    Phi, y = rng.normal(size=(m, p)), rng.normal(size=m)
    R = rng.normal(size=(p, p))
    for R1_, R2_, g1, g2 in [(R @ R.T, R.T, 0.1, -0.01), (np.eye(p), np.eye(p), 0.0, 0.0)]:
        got = dc.fit_regularized_linear(Phi, y, R1_, R2_, g1, g2, 1e-8)
        want = normal_equations_solve(Phi, y, R1_, R2_, g1, g2, 1e-8)
        if m >= p:
            np.testing.assert_allclose(got, want, rtol=1e-9, atol=1e-12)
            continue
        # Only the ridge makes the system regular: the solution is sensitive to rounding, the
        # residual of the system (its lower triangle mirrored) is not.
        A = Phi.T @ Phi + 1e-8 * np.eye(p) + m * g1 * R1_ + m * g2 * R2_
        A = np.tril(A) + np.tril(A, -1).T
        assert np.linalg.norm(A @ got - Phi.T @ y) <= 1e-10 * np.linalg.norm(A) * np.linalg.norm(got)


@pytest.mark.parametrize("bad", [nan, inf, -inf])
def test_fit_regularized_linear_names_any_non_finite_entry(bad):
    for i, j in [(0, 0), (6, 2), (3, 1)]:
        Phi = np.ones((7, 3))
        Phi[i, j] = bad
        with pytest.raises(ValueError, match=rf"Phi \(7, 3\) must be finite, got {bad} at \[{i}, {j}\]"):
            dc.fit_regularized_linear(Phi, np.ones(7))
    # Finite entries whose squares overflow are not refused.
    assert dc.fit_regularized_linear([[1e200], [1.0]], [1.0, 1.0]).shape == (1,)
