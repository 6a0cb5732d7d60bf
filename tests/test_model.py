"""The units of the estimator's model, each against its own rule."""

import numpy as np
import pytest
from scipy.stats import norm
from sklearn.model_selection import GroupKFold, TimeSeriesSplit

from dorv._model.folds import folds, held_out_rows
from dorv._model.leverage import remote_rows
from dorv._model.losses import HUBER_C, huber_squares, inlier_scale, outlier_cut
from dorv._model.spread import fit_spread


@pytest.mark.parametrize("n, cv, splits", [(30, None, 30), (80, None, 5), (80, 3, 3), (2, 5, 2)],
                         ids=["small: leave-one-out", "default", "int", "fewer rows than folds"])
def test_default_and_int_folds_hold_out_every_row_once(n, cv, splits):
    pairs = folds(cv, np.zeros((n, 1)), np.zeros(n))
    assert len(pairs) == splits
    held = np.concatenate([test for _, test in pairs])
    assert np.array_equal(np.sort(held), np.arange(n))
    assert all(np.intersect1d(train, test).size == 0 for train, test in pairs)


def test_splitters_and_pairs_with_groups():
    n = 40
    groups = np.repeat(np.arange(8), 5)
    for train, test in folds(GroupKFold(4), np.zeros((n, 1)), np.zeros(n), groups):
        assert not set(groups[train]) & set(groups[test])
    series = folds(TimeSeriesSplit(3), np.zeros((n, 1)), np.zeros(n))
    assert all(train.max() < test.min() for train, test in series)
    assert not held_out_rows(series, n)[:10].any() and held_out_rows(series, n)[-10:].all()
    own = folds([(np.arange(20), np.arange(20, 40))], np.zeros((n, 1)), np.zeros(n))
    assert len(own) == 1 and own[0][1][0] == 20


@pytest.mark.parametrize("pairs", [[(np.arange(5), np.array([], dtype=int))],
                                   [(np.arange(5), np.array([50]))], []],
                         ids=["empty test", "index past the rows", "no split"])
def test_bad_pairs_are_refused_by_name(pairs):
    with pytest.raises(ValueError, match="^cv: "):
        folds(pairs, np.zeros((10, 1)), np.zeros(10))


def test_remote_rows_are_a_cluster_far_from_the_bulk():
    rng = np.random.default_rng(0)
    T = rng.uniform(-1.0, 1.0, (200, 3))
    assert remote_rows(T) is None  # a uniform box has no remote corner
    T[:20] = rng.normal(6.0, 0.1, (20, 3))
    remote = remote_rows(T)
    assert remote[:20].all() and not remote[20:].any()
    assert remote_rows(T[:15]) is None  # too few rows per input to tell


def test_huber_squares_are_squares_near_and_linear_far():
    s = 0.5
    r = np.array([0.0, 0.3, HUBER_C * s, 10.0, -10.0])
    h = huber_squares(r, s)
    np.testing.assert_allclose(h[:3], r[:3] ** 2)
    cut = HUBER_C * s
    np.testing.assert_allclose(h[3:], cut * (2 * 10.0 - cut))
    assert np.all(np.diff(huber_squares(np.linspace(0.0, 5.0, 50), s)) > 0)


def test_outlier_cut_is_the_gaussian_distance_of_a_sample():
    assert outlier_cut(3) == 3.0
    assert outlier_cut(1000) == pytest.approx(norm.isf(0.005 / 1000))
    rng = np.random.default_rng(1)
    flagged = [np.any(np.abs(rng.normal(size=200)) > outlier_cut(200)) for _ in range(2000)]
    assert np.mean(flagged) == pytest.approx(0.01, abs=0.007)


def test_inlier_scale_is_the_noise_beside_gross_outliers():
    rng = np.random.default_rng(2)
    r = rng.normal(0.0, 2.0, 5000)
    r[:1000] = 100.0
    assert inlier_scale(r) == pytest.approx(2.0, rel=0.03)


def test_spread_finds_a_trend_and_keeps_a_constant():
    rng = np.random.default_rng(3)
    t = rng.uniform(-1.0, 1.0, (600, 1))
    growing = rng.normal(0.0, np.exp(0.8 * t[:, 0]))
    spread = fit_spread(t, growing)
    assert not spread.constant and np.median(spread.sd(t)) == pytest.approx(1.0)
    ends = spread.sd(np.array([[-1.0], [1.0]]))
    assert ends[1] / ends[0] == pytest.approx(np.exp(1.6), rel=0.25)
    assert spread.sd(np.array([[3.0]])) == pytest.approx(ends[1])  # the edge beyond the range
    assert fit_spread(t, rng.normal(0.0, 1.0, 600)).constant


def test_basis_counts_embeds_and_steps():
    from dorv._model.basis import basis, count, embed, neighbours, shapes

    T = np.random.default_rng(4).uniform(-1.0, 1.0, (30, 2))
    small, big = basis((1, 1), T), basis((2, 1), T, total=2)
    assert count((2, 1), 2) == big.n_coefs == 5 and count((2, 1), None) == 6
    beta = np.arange(1.0, small.n_coefs + 1)
    np.testing.assert_allclose(big.Phi @ embed(small.multi_indices, beta, big),
                               small.Phi @ beta)  # the same function in the larger basis
    assert shapes((2,)) == [((2,), None)] and shapes((2, 1)) == [((2, 1), None), ((2, 1), 2)]
    assert neighbours((1, 1), (2, 1), 1) == [(2, 1)]
    assert neighbours((0, 0), (3, 3), 2) == [(2, 0), (0, 2)]


def test_units_standardise_and_give_coefficients_back():
    from dorv._model.problem import Units

    rng = np.random.default_rng(5)
    X, y = rng.uniform(10.0, 20.0, (50, 1)), rng.normal(100.0, 5.0, 50)
    u = Units.of(X, y)
    assert u.t(X).min() == pytest.approx(-1.0) and u.t(X).max() == pytest.approx(1.0)
    assert np.median(u.z(y)) == pytest.approx(0.0, abs=1e-12)
    beta = np.array([0.5, -2.0])
    np.testing.assert_allclose(u.coef(beta)[0] + u.coef(beta)[1] * u.t(X)[:, 0],
                               u.y_center + u.y_scale * (beta[0] + beta[1] * u.t(X)[:, 0]))


@pytest.mark.parametrize("share, least_squares, reason",
                         [(0.0, True, "no gross outliers"), (0.1, False, "gross outlier")],
                         ids=["clean", "contaminated"])
def test_least_squares_only_where_nothing_is_gross(share, least_squares, reason):
    from dorv._model.losses import LOSSES
    from dorv._model.problem import Problem, Units
    from dorv._model.search import search_and_choose

    rng = np.random.default_rng(6)
    x = rng.uniform(0.0, 1.0, (200, 1))
    y = np.sin(4.0 * x[:, 0]) + rng.normal(0.0, 0.05, 200)
    y[: int(share * 200)] += 3.0
    u = Units.of(x, y)
    problem = Problem.of(u.t(x), u.z(y), LOSSES["biweight"], 0.0, 1e-7, 1e-10, 20)
    losses = [LOSSES["biweight"], LOSSES["squared_error"]]
    choice = search_and_choose(problem, losses, folds(5, x, y), (8,))
    assert (choice.loss.name == "squared_error") is least_squares and reason in choice.reason
