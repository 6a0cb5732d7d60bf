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
