"""Monomial bases, boundary term and smoothness penalties in one and several variables."""

import itertools

import numpy as np
import numpy.polynomial.polynomial as P
import pytest

import dorv_core as m


def rng():
    return np.random.default_rng(1234)


def assert_close(a, b, rtol=1e-12):
    """Equal up to rtol relative to the largest entry (entries that cancel stay comparable)."""
    np.testing.assert_allclose(a, b, rtol=rtol, atol=rtol * np.abs(b).max(initial=0))


def power_deriv(x, p, order):
    """d^order/dx^order of x**p, elementwise, with 0**0 = 1."""
    x, p = np.asarray(x, float), np.asarray(p)
    factor = np.prod([np.maximum(p - i, 0) for i in range(order)], axis=0) if order else 1
    return factor * x ** np.maximum(p - order, 0)


# ---------------------------------------------------------------- 1-D basis and boundary term

@pytest.mark.parametrize("deg", [0, 1, 3, 8])
def test_design_matrix_1d_matches_polyvander(deg):
    x = np.concatenate([rng().normal(size=20), [0.0, -1.5]])
    Phi = m.design_matrix_1d(deg, x)
    assert_close(Phi, P.polyvander(x, deg))
    np.testing.assert_array_equal(Phi[-2], np.eye(deg + 1)[0])  # x = 0: 1, 0, 0, ...


def test_design_matrix_1d_negative_degree():
    with pytest.raises(ValueError, match=r"\Adeg < 0\Z"):
        m.design_matrix_1d(-1, [1.0])


def test_boundary_reduce_worked_values():
    Rb = m.boundary_reduce_1d(3, 0.0, 1.0)
    np.testing.assert_array_equal(Rb, [[0, 0, 0, 0], [0, 0, 0, 3], [0, 0, 4, 9], [0, 3, 9, 18]])
    u = np.array([0.0, 1.0, 0.0, 1.0])  # x + x^3: f'(1) f''(1) = 4 * 6
    assert u @ Rb @ u == 24.0
    np.testing.assert_array_equal(m.boundary_reduce_1d(2, 0, 1), np.diag([0.0, 0.0, 4.0]))
    assert m.boundary_reduce_1d(-1, 0, 1).shape == (0, 0)
    with pytest.raises(ValueError, match=r"\Adeg < 0\Z"):
        m.boundary_reduce_1d(-2, 0, 1)


@pytest.mark.parametrize("deg,a,b", [(0, -1, 2), (1, -1, 2), (2, 0.3, 0.3), (5, -1.3, 0.7),
                                     (9, 2.0, -0.5)])
def test_boundary_reduce_bilinear_form(deg, a, b):
    Rb = m.boundary_reduce_1d(deg, a, b)
    np.testing.assert_array_equal(Rb, Rb.T)
    assert not Rb[0].any() and not Rb[:, 0].any()
    assert Rb.any() == (deg >= 2 and a != b)
    assert_close(m.boundary_reduce_1d(deg, b, a), -Rb)
    u, v = rng().normal(size=(2, deg + 1))
    d = lambda c, k, x: P.polyval(x, P.polyder(c, k)) if deg >= k else 0.0  # noqa: E731
    term = lambda x: 0.5 * (d(u, 1, x) * d(v, 2, x) + d(u, 2, x) * d(v, 1, x))  # noqa: E731
    assert u @ Rb @ v == pytest.approx(term(b) - term(a), rel=1e-12, abs=1e-12)


# ---------------------------------------------------------------- 1-D smoothness penalties

def penalty_1d_reference(deg, lo, hi, n):
    dx = (hi - lo) / (n - 1)
    x, p = lo + np.arange(n)[:, None] * dx, np.arange(deg + 1)
    D1, D2 = power_deriv(x, p, 1), power_deriv(x, p, 2)
    return dx * D1.T @ D1, dx * D2.T @ D2


def test_penalty_1d_worked_values():
    R1, R2 = m.smoothness_penalty_matrices_1d(2, 0.0, 1.0, 3)
    np.testing.assert_array_equal(R1, [[0, 0, 0], [0, 1.5, 1.5], [0, 1.5, 2.5]])
    np.testing.assert_array_equal(R2, np.diag([0.0, 0.0, 6.0]))
    R1, R2 = m.smoothness_penalty_matrices_1d(2, 0.0, 1.0, 2)
    np.testing.assert_array_equal(R1, [[0, 0, 0], [0, 2, 2], [0, 2, 4]])
    np.testing.assert_array_equal(R2, np.diag([0.0, 0.0, 8.0]))
    np.testing.assert_array_equal(m.smoothness_penalty_matrices_1d(0, -1, 1, 7)[0], [[0.0]])
    R1, R2 = m.smoothness_penalty_matrices_1d(1, -1.0, 2.0, 4)
    np.testing.assert_array_equal(R1, [[0, 0], [0, 4.0]])  # n_grid * dx
    assert not R2.any()


@pytest.mark.parametrize("deg,lo,hi,n", [(3, 0.0, 1.0, 600), (6, -2.0, 1.5, 41),
                                         (4, 1.0, -1.0, 9), (2, 0.5, 0.5, 5)])
def test_penalty_1d_matches_reference(deg, lo, hi, n):
    R1, R2 = m.smoothness_penalty_matrices_1d(deg, lo, hi, n)
    for got, ref in zip((R1, R2), penalty_1d_reference(deg, lo, hi, n)):
        np.testing.assert_array_equal(got, got.T)
        assert_close(got, ref)
    swapped = m.smoothness_penalty_matrices_1d(deg, hi, lo, n)
    assert_close(swapped[0], -R1)
    assert_close(swapped[1], -R2)


@pytest.mark.parametrize("deg,n_grid,message", [(-1, 600, "deg < 0"), (-1, 1, "deg < 0"),
                                                (0, 1, "n_grid < 2"), (3, -5, "n_grid < 2")])
def test_penalty_1d_errors(deg, n_grid, message):
    with pytest.raises(ValueError, match=rf"\A{message}\Z"):
        m.smoothness_penalty_matrices_1d(deg, 0.0, 1.0, n_grid)


# ---------------------------------------------------------------- multi-indices, N-D design

@pytest.mark.parametrize("degrees", [[], [2], [0, 0], [1, 2], [2, 0, 3]], ids=str)
def test_multi_indices_are_lexicographic(degrees):
    mi = m.build_penalty_matrices_nd(degrees, [(0, 1)] * len(degrees), 2)[2]
    assert mi == [list(t) for t in itertools.product(*(range(d + 1) for d in degrees))]


def test_design_matrix_nd_matches_product_of_powers():
    X = rng().normal(size=(3, 25))
    X[:, 0] = 0.0
    mi = np.array(m.build_penalty_matrices_nd([2, 3, 1], [(0, 1)] * 3, 2)[2])
    Phi = m.design_matrix_nd(mi.tolist(), list(X))
    assert_close(Phi, np.prod(X.T[:, None, :] ** mi[None, :, :], axis=2))
    np.testing.assert_array_equal(Phi[0], [1.0] + [0.0] * (len(mi) - 1))
    tweaked = [[-3, 1, 0, 7], [0, -1, 2, 5]]  # negative acts as 0; extra exponents ignored
    np.testing.assert_array_equal(m.design_matrix_nd(tweaked, list(X)),
                                  m.design_matrix_nd([[0, 1, 0], [0, 0, 2]], list(X)))
    assert m.design_matrix_nd([], list(X)).shape == (25, 0)
    assert m.design_matrix_nd([[1, 1], [0, 0]], [[], []]).shape == (0, 2)


@pytest.mark.parametrize("mi,cols,match", [
    ([[1]], [], "X_cols is empty"),
    ([[1, 1]], [[1.0, 2.0], [1.0]], r"X_cols\[1\] has 1 samples, X_cols\[0\] has 2"),
    ([[1, 1], [2]], [[1.0], [2.0]], r"multi_indices\[1\] has 1 exponents for 2 variables"),
], ids=["no-columns", "unequal-columns", "short-multi-index"])
def test_design_matrix_nd_refuses_inconsistent_input(mi, cols, match):
    with pytest.raises(ValueError, match=match):
        m.design_matrix_nd(mi, cols)


# ---------------------------------------------------------------- N-D smoothness penalties

def penalty_nd_oracle(degrees, bounds, n):
    """Tabulate every derivative on the full grid and accumulate Gram matrices of G x M tables."""
    D = len(degrees)
    mi = np.array(list(itertools.product(*(range(d + 1) for d in degrees)))).reshape(-1, D)
    dV = np.prod([(hi - lo) / (n - 1) for lo, hi in bounds])
    tabs = [[power_deriv(np.linspace(lo, hi, n)[:, None], np.arange(d + 1), o) for o in range(3)]
            for d, (lo, hi) in zip(degrees, bounds)]
    grid_k = np.array(list(itertools.product(range(n), repeat=D)))[:, ::-1]  # variable 0 fastest

    def table(orders):
        out = np.ones((len(grid_k), len(mi)))
        for d, o in enumerate(orders):
            out *= tabs[d][o][grid_k[:, d]][:, mi[:, d]]
        return out

    unit = np.eye(D, dtype=int)
    R1 = sum(dV * (T.T @ T) for T in (table(unit[i]) for i in range(D)))
    R2 = sum(dV * (T.T @ T) for T in (table(unit[i] + unit[j]) for i in range(D) for j in range(D)))
    return R1, R2


ND_CASES = [([3], [(-1, 2)], 7), ([6], [(0, 1)], 30), ([2, 3], [(-1, 1), (0, 2)], 6),
            ([1, 4], [(0.5, 1.5), (-2, -1)], 5), ([4, 2], [(1, 0), (0, 3)], 8),
            ([2, 1, 2], [(0, 1), (-1, 1), (1, 3)], 4), ([1, 1, 1], [(0, 1)] * 3, 3),
            ([3, 0, 2], [(-0.5, 0.5), (2, 4), (0, 1)], 5)]


@pytest.mark.parametrize("degrees,bounds,n", ND_CASES, ids=lambda c: str(c).replace(" ", ""))
def test_penalty_nd_matches_grid_oracle(degrees, bounds, n):
    R1, R2, _ = m.build_penalty_matrices_nd(degrees, bounds, n)
    for got, ref in zip((R1, R2), penalty_nd_oracle(degrees, bounds, n)):
        np.testing.assert_array_equal(got, got.T)
        assert_close(got, ref)
        sign = np.sign(np.prod([hi - lo for lo, hi in bounds]))  # semidefinite, signed by dV
        assert np.linalg.eigvalsh(sign * got).min() >= -1e-9 * np.abs(got).max()


def test_penalty_nd_worked_values_and_1d_agreement():
    R1, R2, mi = m.build_penalty_matrices_nd([1, 1], [(0, 1), (0, 1)], 2)
    assert mi == [[0, 0], [0, 1], [1, 0], [1, 1]]
    np.testing.assert_array_equal(R1, [[0, 0, 0, 0], [0, 4, 0, 2], [0, 0, 4, 2], [0, 2, 2, 4]])
    np.testing.assert_array_equal(R2, np.diag([0.0, 0.0, 0.0, 8.0]))
    for got, ref in zip(m.build_penalty_matrices_nd([5], [(-1.0, 2.0)]),
                        m.smoothness_penalty_matrices_1d(5, -1.0, 2.0, 30)):
        assert_close(got, ref)


def test_penalty_nd_columns_follow_design_matrix_nd():
    """R1 and R2 rebuilt from design_matrix_nd of the derivative monomials on the grid."""
    bounds, n = [(-1.0, 1.0), (0.5, 2.0)], 5
    R1, R2, mi = m.build_penalty_matrices_nd([2, 3], bounds, n)
    mi, dV = np.array(mi), np.prod([(hi - lo) / (n - 1) for lo, hi in bounds])
    axes = [np.linspace(lo, hi, n) for lo, hi in bounds]
    cols = [g.ravel() for g in np.meshgrid(*axes, indexing="ij")]

    def deriv_design(orders):  # design matrix of d^orders phi_m, via shifted exponents
        coef = np.prod([power_deriv(1.0, mi[:, d], o) for d, o in enumerate(orders)], axis=0)
        return m.design_matrix_nd((mi - np.array(orders)).tolist(), cols) * coef

    gram = lambda orders: sum(dV * (T.T @ T) for T in map(deriv_design, orders))  # noqa: E731
    assert_close(R1, gram([[1, 0], [0, 1]]))
    assert_close(R2, gram([[2, 0], [1, 1], [1, 1], [0, 2]]))


def test_penalty_nd_degenerate_bases():
    for degrees in ([], [0], [0, 0, 0]):
        R1, R2, _ = m.build_penalty_matrices_nd(degrees, [(0, 1)] * len(degrees))
        np.testing.assert_array_equal(R1, [[0.0]])
        np.testing.assert_array_equal(R2, [[0.0]])
    _, R2, mi = m.build_penalty_matrices_nd([1] * 3, [(0, 2)] * 3, 4)
    mixed = np.sum(mi, axis=1) >= 2  # only mixed derivatives survive for degree 1
    assert not R2[~mixed].any() and not R2[:, ~mixed].any() and np.all(np.diag(R2)[mixed] > 0)
    R1, R2, _ = m.build_penalty_matrices_nd([2, 3], [(0, 1), (0.5, 0.5)], 6)
    assert not R1.any() and not R2.any()


@pytest.mark.parametrize("degrees,bounds,n,message", [
    ([1, 1], [(0, 1)], 30, r"\ADimension mismatch\.\Z"),
    ([-1, 2], [(0, 1)], 1, r"\ADimension mismatch\.\Z"),
    ([2, -1], [(0, 1)] * 2, 30, r"\Adeg < 0: degrees\[1\] = -1\Z"),
    ([2], [(0, 1)], 1, r"\An_grid < 2\Z"),
    ([2], [(0, 1)], -3, r"\An_grid < 2\Z"),
], ids=["mismatch", "mismatch-first", "negative-degree", "one-point", "negative-grid"])
def test_penalty_nd_errors(degrees, bounds, n, message):
    with pytest.raises(ValueError, match=message):
        m.build_penalty_matrices_nd(degrees, bounds, n)


@pytest.mark.parametrize("degrees", [[4] * 4, [3] * 5], ids=["4x4", "5x3"])
def test_penalty_nd_many_variables_default_grid(degrees):
    R1, R2, mi = m.build_penalty_matrices_nd(degrees, [(0.0, 1.0)] * len(degrees))
    M = (degrees[0] + 1) ** len(degrees)
    assert R1.shape == R2.shape == (M, M) and len(mi) == M
    np.testing.assert_array_equal(R1, R1.T)
    np.testing.assert_array_equal(R2, R2.T)


HUGE = {
    "design_matrix_1d": "dc.design_matrix_1d(2**31 - 1, [1.0])",
    "boundary_reduce_1d": "dc.boundary_reduce_1d(2**31 - 1, 0.0, 1.0)",
    "penalty_1d": "dc.smoothness_penalty_matrices_1d(2**31 - 1, 0.0, 1.0, 2)",
    "penalty_nd-deg": "dc.build_penalty_matrices_nd([2**31 - 1], [(0, 1)])",
    "penalty_nd-M-beyond-int": "dc.build_penalty_matrices_nd([2**16] * 2, [(0, 1)] * 2)",
    "penalty_nd-many-vars": "dc.build_penalty_matrices_nd([1] * 64, [(0, 1)] * 64)",
    "penalty_nd-grid": "dc.build_penalty_matrices_nd([3], [(0, 1)], 2**31 - 1)",
    "design_matrix_nd": "dc.design_matrix_nd([[1]] * 2**16, [[1.0] * 2**16])",
}


@pytest.mark.parametrize("call", HUGE.values(), ids=HUGE.keys())
def test_huge_sizes_raise_memory_error(raises_memory_error, call):
    raises_memory_error(call)
