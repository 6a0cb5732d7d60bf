"""The scikit-learn regressor: conformance, recovery of known models, selection on noisy data,
composition with scikit-learn's tools and bad input."""

import pickle
import warnings

import numpy as np
import pytest
from sklearn.base import clone
from sklearn.model_selection import GridSearchCV, cross_val_score
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import StandardScaler
from sklearn.utils.estimator_checks import parametrize_with_checks

import dorv
from dorv import DegreeLimitWarning, MDLPolynomialRegressor

# Small sampler runs keep the suite quick; the sampler's own tests cover its defaults.
FAST = dict(n_chains=4, n_warmup=20, n_deep=50, n_elite=2, random_state=0)


@parametrize_with_checks([MDLPolynomialRegressor(**FAST)])
def test_sklearn_conformance(estimator, check):
    check(estimator)


def polynomial(multi_indices, coef, T):
    return sum(c * np.prod(T ** np.asarray(m), axis=1) for m, c in zip(multi_indices, coef))


@pytest.mark.parametrize(
    "degrees, coef",
    [((3,), [1.0, 2.0, 0.0, -1.0]),
     ((2, 1), [0.5, -1.0, 0.0, 2.0, 0.3, 0.0, 1.5]),
     ((1, 1, 1), [1.0, 0.5, -0.5, 0.0, 2.0, 0.0, 0.0, 1.0])],
    ids=["cubic-1d", "degrees-2-1", "trilinear"],
)
def test_recovers_a_polynomial(degrees, coef):
    rng = np.random.default_rng(1234)
    X = rng.uniform(-3.0, 5.0, (400, len(degrees)))
    mi = np.array(np.meshgrid(*[range(d + 1) for d in degrees], indexing="ij")).reshape(
        len(degrees), -1).T
    coef = np.array(coef[:len(mi)] + [0.0] * (len(mi) - len(coef)))
    y = polynomial(mi, coef, X) + rng.normal(0.0, 0.01, X.shape[0])
    est = MDLPolynomialRegressor(**FAST).fit(X, y)
    assert est.degrees_ == degrees
    grid = rng.uniform(-3.0, 5.0, (200, len(degrees)))
    np.testing.assert_allclose(est.predict(grid), polynomial(mi, coef, grid), atol=0.05)
    assert 0.008 < est.rms_ < 0.02  # the noise, and a little bias from the penalty


def test_smooth_surface_on_held_out_points():
    rng = np.random.default_rng(1234)
    X = rng.uniform(-1.0, 2.0, (1200, 2))
    f = lambda X: np.exp(-X[:, 0] ** 2) * np.cos(1.5 * X[:, 1]) + 0.3 * X[:, 0] * X[:, 1]
    y = f(X) + rng.normal(0.0, 0.02, len(X))
    est = MDLPolynomialRegressor(**FAST).fit(X[:1000], y[:1000])
    assert est.score(X[1000:], f(X[1000:])) > 0.99
    assert len(est.candidates_["degrees"]) < 60  # a path, not the 169 tuples of the grid

