"""The scikit-learn regressor: conformance, recovery of known models, selection on noisy data,
composition with scikit-learn's tools and bad input."""

import pickle
import warnings

import numpy as np
import pytest
from sklearn.base import clone
from sklearn.model_selection import GridSearchCV, GroupKFold, TimeSeriesSplit, cross_val_score
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import StandardScaler
from sklearn.utils.estimator_checks import parametrize_with_checks

import dorv
from dorv import DegreeLimitWarning, ExtrapolationWarning, MDLPolynomialRegressor

# Small sampler runs keep the suite quick; the sampler's own tests cover its defaults.
FAST = dict(n_chains=4, n_warmup=20, n_deep=50, n_elite=2, random_state=0)
LOSSES = ("biweight", "squared_error")


CHECKS = parametrize_with_checks([MDLPolynomialRegressor(**FAST),
                                  MDLPolynomialRegressor(loss="squared_error", **FAST)],
                                 expected_failed_checks=lambda est: est._xfail_checks)
# scikit-learn before 1.8 hands pytest a generator of cases, which pytest 9 deprecates: listed.
CHECKS = pytest.mark.parametrize(CHECKS.args[0], list(CHECKS.args[1]), **CHECKS.kwargs)


@CHECKS
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
    grid = rng.uniform(-3.0, 5.0, (200, len(degrees)))
    for loss in LOSSES:
        est = MDLPolynomialRegressor(loss=loss, **FAST).fit(X, y)
        np.testing.assert_allclose(est.predict(grid), polynomial(mi, coef, grid), atol=0.05)
        assert 0.008 < est.rms_ < 0.02 and 0.008 < est.scale_ < 0.012  # the noise
        assert est.inlier_mask_.mean() > 0.98
    # Each loss finds a basis holding the true monomials and not many more.
    chosen = {tuple(m) for m in est.multi_indices_}
    assert {tuple(m) for m, c in zip(mi, coef) if c} <= chosen and len(chosen) <= 1.5 * len(mi)


def test_smooth_surface_on_held_out_points():
    rng = np.random.default_rng(1234)
    X = rng.uniform(-1.0, 2.0, (1200, 2))
    f = lambda X: np.exp(-X[:, 0] ** 2) * np.cos(1.5 * X[:, 1]) + 0.3 * X[:, 0] * X[:, 1]
    y = f(X) + rng.normal(0.0, 0.02, len(X))
    est = MDLPolynomialRegressor(**FAST).fit(X[:1000], y[:1000])
    assert est.score(X[1000:], f(X[1000:])) > 0.99
    # a path for each loss, not the 169 tuples of the grid
    assert all(est.candidates_["loss"].count(loss) < 60 for loss in LOSSES)



@pytest.mark.parametrize("points, outside", [([[-0.05], [1.0], [2.09]], 0),
                                             ([[-3.0], [1.0], [5.0]], 1)],
                         ids=["within-the-margin", "far-outside"])
def test_predicts_outside_the_training_range_with_a_warning(points, outside):
    x = np.linspace(0.0, 2.0, 60)[:, None]
    est = MDLPolynomialRegressor(**FAST).fit(x, 1.0 - x[:, 0] + 0.5 * x[:, 0] ** 2)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        values = est.predict(points)
    np.testing.assert_allclose(values, [1.0 - p + 0.5 * p * p for (p,) in points], rtol=1e-3)
    assert [str(w.message) for w in caught] == [
        "points lie outside the training range of x0 by more than 5 % of its width: the "
        "polynomial is extrapolated there"][:outside]
    assert all(w.category is ExtrapolationWarning for w in caught)


def test_noisy_data_gets_a_modest_model():
    # Hit rates near 0.2: in-sample hits alone would reward chasing the noise.
    rng = np.random.default_rng(1234)
    x = np.sort(rng.uniform(0.0, 10.0, 120))
    y = 0.3 * x + rng.normal(0.0, 2.0, x.size)
    with warnings.catch_warnings():
        warnings.simplefilter("error", DegreeLimitWarning)
        est = MDLPolynomialRegressor(loss="squared_error", random_state=0).fit(x[:, None], y)
    assert est.degrees_[0] <= 4 and est.hit_rate_ < 0.5
    c = est.candidates_
    i = c["chosen"].index(True)
    assert c["cv_rms"][i] <= 1.02 * min(c["cv_rms"])
    assert est.rms_ <= 1.02 * c["rms"][i]  # no sampler's model far from least squares


def test_candidates_and_sampler_outcome():
    rng = np.random.default_rng(7)
    X = rng.uniform(-1.0, 1.0, (300, 2))
    y = X[:, 0] * X[:, 1] ** 2 + rng.normal(0.0, 0.05, 300)
    est = MDLPolynomialRegressor(**FAST).fit(X, y)
    c = est.candidates_
    assert c["degrees"][0] == (0, 0) and c["chosen"].count(True) == 1
    bases = list(zip(c["loss"], c["degrees"], c["total_degree"]))
    assert len({len(v) for v in c.values()}) == 1 and len(set(bases)) == len(bases)
    chosen = c["chosen"].index(True)
    monomials = {tuple(m) for m in est.multi_indices_}
    assert (1, 2) in monomials and len(monomials) == c["n_coefs"][chosen]
    assert all(m[j] <= d for m in monomials for j, d in enumerate(est.degrees_))
    total = c["total_degree"][chosen]
    assert total is None or all(sum(m) <= total for m in monomials)
    s = est.sampler_
    assert s["seed"] == 0 and s["n_chains"] == 4 and isinstance(s["kept"], bool) and s["reason"]
    if not s["kept"]:
        np.testing.assert_array_equal(est.coef_, c["coef"][chosen])
    assert MDLPolynomialRegressor(**{**FAST, "refine": False}).fit(X, y).sampler_ is None


def test_degree_at_the_limit_warns():
    x = np.linspace(-1.0, 1.0, 100)
    with pytest.warns(DegreeLimitWarning, match="x0 is max_degree=2"):
        est = MDLPolynomialRegressor(2, **FAST).fit(x[:, None], np.exp(2.0 * x))
    assert est.degrees_ == (2,)


def test_per_variable_max_degree_and_dataframe():
    pd = pytest.importorskip("pandas")
    rng = np.random.default_rng(3)
    X = pd.DataFrame(rng.uniform(0.0, 1.0, (200, 2)), columns=["temp", "load"])
    y = X["temp"] ** 2 + X["load"]
    with pytest.warns(DegreeLimitWarning, match="of load is max_degree=1"):
        est = MDLPolynomialRegressor([3, 1], **FAST).fit(X, y)
    assert list(est.feature_names_in_) == ["temp", "load"] and est.degrees_ == (2, 1)
    assert all(d[1] <= 1 for d in est.candidates_["degrees"])


def test_composes_with_sklearn_tools():
    # Held-out folds reach a little past the range of the training folds: no warning there.
    rng = np.random.default_rng(11)
    X = rng.uniform(-2.0, 2.0, (200, 2))
    y = np.sin(X[:, 0]) + X[:, 1] ** 2 + rng.normal(0.0, 0.05, 200)
    pipe = make_pipeline(StandardScaler(), MDLPolynomialRegressor(**FAST))
    assert cross_val_score(pipe, X, y, cv=3).min() > 0.95
    grid = GridSearchCV(MDLPolynomialRegressor(**FAST), {"gamma2": [1e-6, 1e-2]}, cv=3).fit(X, y)
    assert grid.best_score_ > 0.95
    est = clone(grid.best_estimator_).fit(X, y)
    again = pickle.loads(pickle.dumps(est))
    np.testing.assert_array_equal(again.predict(X), est.predict(X))
    assert again.candidates_["degrees"] == est.candidates_["degrees"]


def test_equal_seeds_give_equal_models():
    rng = np.random.default_rng(5)
    x = rng.uniform(0.0, 1.0, (80, 1))
    y = np.cos(3.0 * x[:, 0]) + rng.normal(0.0, 0.3, 80)
    fits = [MDLPolynomialRegressor(random_state=9, n_deep=200).fit(x, y) for _ in range(2)]
    np.testing.assert_array_equal(fits[0].coef_, fits[1].coef_)
    assert fits[0].sampler_["energy"] == fits[1].sampler_["energy"]


X3 = np.arange(12.0).reshape(6, 2)
BAD = {
    "nan-in-X": (np.where(X3 == 4.0, np.nan, X3), np.ones(6), ValueError, "NaN"),
    "inf-in-X": (np.where(X3 == 4.0, np.inf, X3), np.ones(6), ValueError, "infinity"),
    "nan-in-y": (X3, [1, 2, np.nan, 4, 5, 6], ValueError, "NaN"),
    "inf-in-y": (X3, [1, 2, np.inf, 4, 5, 6], ValueError, "infinity"),
    "one-point": (np.ones((5, 2)), np.arange(5.0), ValueError, "2 distinct points.*5 samples"),
    "max-degree-count": (X3, np.arange(6.0), ValueError, "max_degree must be .* 2 of them"),
    "seed-too-large": (X3, np.arange(6.0), ValueError, "'random_state' parameter"),
}


@pytest.mark.parametrize("X, y, error, message", BAD.values(), ids=BAD.keys())
def test_bad_input(X, y, error, message):
    params = {"max-degree-count": {"max_degree": [2, 2, 2]},
              "seed-too-large": {"random_state": 2**64}}
    name = next(k for k, v in BAD.items() if v[3] == message)
    with pytest.raises(error, match=message):
        MDLPolynomialRegressor(**{**FAST, **params.get(name, {})}).fit(X, y)


def test_predict_checks_the_features():
    est = MDLPolynomialRegressor(**FAST).fit(X3, np.arange(6.0))
    with pytest.raises(ValueError, match="2 features"):
        est.predict(np.ones((3, 3)))


def sine(x):
    return 1.5 + 2.0 * np.exp(-x / 5.0) * np.sin(1.1 * x)


@pytest.mark.parametrize("fraction, spikes", [(0.1, False), (0.3, False), (0.45, False),
                                              (0.2, True)],
                         ids=["10%", "30%", "45%", "one-sided-20%"])
def test_fits_through_gross_outliers(fraction, spikes):
    rng = np.random.default_rng(4)
    x = rng.uniform(0.0, 10.0, 300)
    y = sine(x) + rng.normal(0.0, 0.05, x.size)
    bad = rng.choice(x.size, int(fraction * x.size), replace=False)
    y[bad] = y[bad] + rng.uniform(1.0, 3.0, bad.size) if spikes else rng.uniform(-1.0, 4.0,
                                                                                  bad.size)
    far = np.abs(y - sine(x)) > 5 * 0.05
    grid = np.linspace(0.0, 10.0, 500)
    robust = MDLPolynomialRegressor(**FAST).fit(x[:, None], y)
    plain = MDLPolynomialRegressor(loss="squared_error", **FAST).fit(x[:, None], y)
    error = [np.sqrt(np.mean((m.predict(grid[:, None]) - sine(grid)) ** 2))
             for m in (robust, plain)]
    assert error[0] < 0.03 < error[1]
    assert 0.04 < robust.scale_ < 0.06
    assert np.mean(~robust.inlier_mask_[far]) >= 0.95 and np.mean(robust.inlier_mask_[~far]) >= 0.95


def test_sampler_starts_from_the_fit_and_runs_where_it_can_pay():
    rng = np.random.default_rng(8)
    x = rng.uniform(0.0, 10.0, 200)
    clean = sine(x) + rng.normal(0.0, 0.05, x.size)
    est = MDLPolynomialRegressor(**FAST).fit(x[:, None], clean)
    assert est.sampler_["ran"] is False and est.sampler_["kept"] is False
    assert "every inlier is a hit" in est.sampler_["reason"]
    noisy = sine(x) + rng.normal(0.0, 1.0, x.size)  # tolerance below the noise: misses to win
    est = MDLPolynomialRegressor(**FAST).fit(x[:, None], noisy)
    s = est.sampler_
    assert s["ran"] and s["energy"] is not None and s["gibbs"]["T"] == 1.0
    chosen = est.candidates_["chosen"].index(True)
    assert s["kept"] or np.array_equal(est.coef_, est.candidates_["coef"][chosen])


def test_many_samples_choose_on_a_subsample():
    rng = np.random.default_rng(9)
    x = rng.uniform(0.0, 10.0, 20_000)
    y = sine(x) + rng.normal(0.0, 0.05, x.size)
    y[::7] += 5.0
    est = MDLPolynomialRegressor(**{**FAST, "refine": False}).fit(x[:, None], y)
    assert est.inlier_mask_.shape == (20_000,) and np.mean(est.inlier_mask_[::7]) == 0.0
    grid = np.linspace(0.0, 10.0, 500)
    assert np.sqrt(np.mean((est.predict(grid[:, None]) - sine(grid)) ** 2)) < 0.01


def contaminated_curve(rng, n, share):
    x = rng.uniform(2.0, 12.0, (n, 1))
    f = 1.5 + 2.0 * np.exp(-x[:, 0] / 5.0) * np.sin(1.1 * x[:, 0])
    y = f + rng.normal(0.0, 0.05, n)
    bad = rng.choice(n, int(share * n), replace=False)
    y[bad] = rng.uniform(0.0, 4.0, bad.size)
    return x, y


@pytest.mark.parametrize("loss, share", [("biweight", 0.0), ("biweight", 0.2),
                                         ("squared_error", 0.0)],
                         ids=["robust-clean", "robust-20%-outliers", "least-squares"])
@pytest.mark.filterwarnings("ignore::dorv.ExtrapolationWarning")
def test_intervals_cover_new_observations(loss, share):
    rng = np.random.default_rng(5)
    covered = []
    for _ in range(6):
        X, y = contaminated_curve(rng, 300, share)
        est = MDLPolynomialRegressor(loss=loss, refine=False).fit(X, y)
        Xn, yn = contaminated_curve(rng, 1000, 0.0)
        mean, std = est.predict(Xn, return_std=True)
        lower, upper = est.predict_interval(Xn)
        np.testing.assert_allclose((lower + upper) / 2, mean)
        assert np.all(std > est.scale_) and np.all(upper - lower > 2 * 1.9 * std)
        inner = est.predict_interval(Xn, level=0.5, kind="mean")
        assert np.all((lower < inner[0]) & (inner[0] < mean) & (mean < inner[1]))
        covered.append(np.mean((lower <= yn) & (yn <= upper)))
    assert 0.93 <= np.mean(covered) <= 0.97


@pytest.mark.parametrize("X", [np.linspace(1000.0, 1010.0, 120)[:, None],
                               np.random.default_rng(2).uniform(-2.0, 3.0, (300, 2))],
                         ids=["1-input-far-from-0", "2-inputs"])
def test_polynomial_in_the_original_inputs(X):
    rng = np.random.default_rng(3)
    y = np.sin(X.sum(axis=1) / 4.0) + X[:, 0] * 0.01 + rng.normal(0.0, 0.01, len(X))
    est = MDLPolynomialRegressor(refine=False).fit(X, y)
    expected = est.predict(X)
    mi, coef = est.polynomial_coef()
    np.testing.assert_array_equal(mi, est.multi_indices_)
    if X.shape[1] == 1:
        np.testing.assert_allclose(est.to_polynomial()(X[:, 0]), expected, rtol=1e-9)
        np.testing.assert_allclose(est.to_polynomial().convert().coef, coef, rtol=1e-9)
    else:
        np.testing.assert_allclose(polynomial(mi, coef, X), expected, rtol=1e-9, atol=1e-12)
        with pytest.raises(ValueError, match="1 input, got 2"):
            est.to_polynomial()


def test_summary():
    rng = np.random.default_rng(4)
    X, y = contaminated_curve(rng, 200, 0.1)
    est = MDLPolynomialRegressor(refine=False).fit(X, y)
    summary = est.summary(["time"])
    table = summary.coefficients
    np.testing.assert_allclose(table["coef"], est.coef_)
    np.testing.assert_allclose(table["std err"] ** 2, np.diag(est.coef_cov_))
    assert list(table.index[:3]) == ["1", "t_time", "t_time^2"]
    assert summary.info["outliers"] == np.count_nonzero(~est.inlier_mask_) >= 15
    assert "t_time = (time - " in str(summary) and "cv MDL" in str(summary)
    assert "<table" in summary._repr_html_() and "t_time^2" in summary._repr_html_()


@pytest.mark.parametrize("kwargs, message", [({"level": 1.0}, "level must be"),
                                             ({"kind": "curve"}, "kind must be one of")],
                         ids=["level", "kind"])
def test_predict_interval_bad_arguments(kwargs, message):
    est = MDLPolynomialRegressor(refine=False).fit([[0.0], [1.0], [2.0]], [0.0, 1.0, 2.0])
    with pytest.raises(ValueError, match=message):
        est.predict_interval([[1.0]], **kwargs)


@pytest.mark.parametrize("loss", ["biweight", "squared_error"])
def test_sample_weight(loss):
    rng = np.random.default_rng(6)
    X, y = contaminated_curve(rng, 300, 0.1)
    est = MDLPolynomialRegressor(loss=loss, **FAST)
    plain = clone(est).fit(X, y)
    equal = clone(est).fit(X, y, sample_weight=np.full(300, 3.0))
    np.testing.assert_array_equal(equal.coef_, plain.coef_)
    w = rng.uniform(0.5, 2.0, 300)
    w[::5] = 0.0
    weighted = clone(est).fit(X, y, sample_weight=w)
    dropped = clone(est).fit(X[w > 0], y[w > 0], sample_weight=w[w > 0])
    np.testing.assert_array_equal(weighted.coef_, dropped.coef_)
    assert weighted.inlier_mask_.shape == (300,)
    assert not np.array_equal(weighted.coef_, clone(est).fit(X[w > 0], y[w > 0]).coef_)


def test_a_remote_cluster_of_bad_rows_buys_no_terms():
    # An eighth of the rows together in a remote corner of three inputs, with wrong responses,
    # and a few good rows beyond them.
    rng = np.random.default_rng(0)
    X = rng.uniform(0.0, 1.0, (160, 3))
    truth = lambda X: 1.0 + X @ np.array([0.5, -0.3, 0.2])  # noqa: E731
    X[:20] = rng.uniform(2.5, 2.9, (20, 3))
    X[20:24] = rng.uniform(3.2, 3.5, (4, 3))
    y = truth(X) + rng.normal(0.0, 0.05, len(X))
    y[:20] += 1.5
    est = MDLPolynomialRegressor(refine=False).fit(X, y)
    assert est.loss_.name == "biweight" and "remote" in est.loss_reason_
    assert not est.inlier_mask_[:20].any() and est.inlier_mask_[20:].mean() > 0.97
    bulk = rng.uniform(0.0, 1.0, (500, 3))
    assert np.sqrt(np.mean((est.predict(bulk) - truth(bulk)) ** 2)) < 0.02


@pytest.mark.parametrize("share, loss", [(0.0, "squared_error"), (0.15, "biweight")],
                         ids=["clean: least squares", "contaminated: robust"])
def test_auto_loss_is_least_squares_where_nothing_is_gross(share, loss):
    X, y = contaminated_curve(np.random.default_rng(12), 300, share)
    est = MDLPolynomialRegressor(refine=False).fit(X, y)
    assert est.loss_.name == loss and est.loss_reason_
    assert est.candidates_["loss"][est.candidates_["chosen"].index(True)] == loss


@pytest.mark.filterwarnings("ignore::dorv.ExtrapolationWarning")
def test_spread_growing_along_x_gives_local_intervals_and_flags():
    rng = np.random.default_rng(13)
    f = lambda x: 1.5 + 2.0 * np.exp(-x / 5.0) * np.sin(1.1 * x)  # noqa: E731
    sd = lambda x: 0.02 + 0.008 * x  # noqa: E731  five-fold growth over [0, 10]
    x = rng.uniform(0.0, 10.0, 400)
    est = MDLPolynomialRegressor(refine=False).fit(x[:, None], f(x) + rng.normal(0.0, sd(x)))
    assert est.spread_coef_.size > 1 and est.inlier_mask_.mean() > 0.98
    xn = rng.uniform(0.0, 10.0, 6000)
    yn = f(xn) + rng.normal(0.0, sd(xn))
    lower, upper = est.predict_interval(xn[:, None])
    inside = (lower <= yn) & (yn <= upper)
    thirds = [inside[(xn >= a) & (xn < a + 10 / 3)].mean() for a in (0.0, 10 / 3, 20 / 3)]
    assert all(0.92 <= c <= 0.98 for c in thirds)
    ends = est.noise_scale([[0.0], [10.0]])
    assert 3.0 < ends[1] / ends[0] < 8.0


def test_small_clean_calibration_curve_is_fitted_not_flagged():
    rng = np.random.default_rng(14)
    x = np.linspace(0.0, 1.0, 20)
    f = lambda x: np.exp(2.0 * x) + np.sin(3.0 * x)  # noqa: E731
    y = f(x) + rng.normal(0.0, 0.014, x.size)  # 0.2 % of the range
    est = MDLPolynomialRegressor(refine=False).fit(x[:, None], y)
    assert est.inlier_mask_.all() and est.n_splits_ == 20  # leave-one-out
    # as close to the curve as least squares at the degree of lowest BIC
    fits = [np.polynomial.Polynomial.fit(x, y, d) for d in range(1, 10)]
    bic = [20 * np.log(np.mean((p(x) - y) ** 2)) + (d + 1) * np.log(20)
           for d, p in enumerate(fits, 1)]
    grid = np.linspace(0.0, 1.0, 200)
    ours = est.predict(grid[:, None]) - f(grid)
    theirs = fits[int(np.argmin(bic))](grid) - f(grid)
    assert np.sqrt(np.mean(ours**2)) <= 1.25 * np.sqrt(np.mean(theirs**2))


@pytest.mark.parametrize("cv, groups, splits",
                         [(TimeSeriesSplit(4), None, 4), (GroupKFold(3), np.arange(120) % 6, 3),
                          ([(np.arange(80), np.arange(80, 120))], None, 1)],
                         ids=["time series", "groups", "pairs"])
def test_folds_a_user_chooses(cv, groups, splits):
    x = np.linspace(0.0, 3.0, 120)[:, None]
    y = np.sin(x[:, 0]) + np.random.default_rng(15).normal(0.0, 0.02, 120)
    est = MDLPolynomialRegressor(cv=cv, refine=False).fit(x, y, groups=groups)
    assert est.n_splits_ == splits and est.score(x, y) > 0.99
