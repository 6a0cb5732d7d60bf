"""Fits of Dask arrays on a real (in-process) Dask cluster: the sums of the rows, the model's
independence of the partitioning, lazy predictions, and the main job on a Parquet folder."""

import numpy as np
import pandas as pd
import pytest

da = pytest.importorskip("dask.array")
distributed = pytest.importorskip("distributed")

import dorv  # noqa: E402
from dorv._model.basis import design  # noqa: E402
from dorv._model.distributed import DaskRows  # noqa: E402
from dorv._model.losses import BIWEIGHT_C  # noqa: E402
from dorv.cli import main  # noqa: E402

N = 12_000  # above the estimator's subsample: the degrees are chosen on part of the rows


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=False,
                                  dashboard_address=":0") as cluster, \
            distributed.Client(cluster) as c:
        yield c


def spiky_curve(n=N, d=1, seed=1234):
    """A smooth curve (or surface) with noise of sd 0.1 and 5 % gross spikes."""
    rng = np.random.default_rng(seed)
    X = rng.uniform(0.0, 10.0, (n, d))
    y = np.sin(X[:, 0]) + (0.3 * X[:, 1] ** 2 / 10.0 if d > 1 else 0.0) \
        + 0.1 * rng.normal(size=n)
    spikes = rng.random(n) < 0.05
    y[spikes] += rng.uniform(3.0, 6.0, spikes.sum())
    return X, y


@pytest.mark.parametrize("chunks", [N, 997, 4000], ids=["one block", "997", "4000"])
@pytest.mark.parametrize("weighted", [False, True], ids=["unweighted", "weighted"])
@pytest.mark.parametrize("d", [1, 2], ids=["1-D", "2-D"])
def test_sums_equal_those_of_the_whole_design(client, chunks, weighted, d):
    rng = np.random.default_rng(7)
    T = rng.uniform(-1.0, 1.0, (N, d))
    z = rng.normal(size=N)
    w = rng.uniform(0.5, 2.0, N) if weighted else None
    mi = np.array([[i] for i in range(6)] if d == 1 else
                  [[i, j] for i in range(4) for j in range(3)], dtype=np.int64)
    beta, scale = rng.normal(scale=0.3, size=mi.shape[0]), 0.8
    rows = DaskRows.of(da.from_array(T, chunks=(chunks, d)), da.from_array(z, chunks=chunks),
                       None if w is None else da.from_array(w, chunks=chunks))
    Phi = design(mi, T)
    u = (z - Phi @ beta) / (BIWEIGHT_C * scale)
    for weights, sums in [(np.ones(N), rows.sums(mi)),
                          (np.where(np.abs(u) < 1.0, (1.0 - u * u) ** 2, 0.0),
                           rows.sums(mi, beta, scale))]:
        weights = weights * (1.0 if w is None else w)
        expected = (Phi.T @ (weights[:, None] * Phi), Phi.T @ (weights * z), weights.sum())
        for got, want in zip(sums, expected):
            np.testing.assert_allclose(got, want, rtol=1e-10, atol=1e-10 * np.max(np.abs(want)))
    predicted = rows.predict(mi, beta)
    assert isinstance(predicted, da.Array)
    np.testing.assert_allclose(predicted.compute(), Phi @ beta, rtol=1e-12, atol=1e-12)


@pytest.fixture(scope="module")
def fits(client):
    """The same rows fitted from two partitionings, and in memory."""
    X, y = spiky_curve()
    models = [dorv.MDLPolynomialRegressor(random_state=0, verbose=True).fit(
        da.from_array(X, chunks=(c, 1)), da.from_array(y, chunks=c)) for c in (N, 1777)]
    return X, y, models, dorv.MDLPolynomialRegressor(refine=False).fit(X, y)


def test_fit_does_not_depend_on_the_partitioning(fits):
    _, _, (one, other), _ = fits
    assert one.degrees_ == other.degrees_ and one.sampler_ is None
    np.testing.assert_allclose(other.coef_, one.coef_, rtol=1e-10,
                               atol=1e-10 * np.max(np.abs(one.coef_)))
    np.testing.assert_allclose(other.coef_cov_, one.coef_cov_, rtol=1e-8)
    assert other.scale_ == pytest.approx(one.scale_, rel=1e-10)


def test_fit_agrees_with_the_fit_in_memory(fits):
    """The subsample and the polish differ from those in memory, well within the noise."""
    _, _, (fit, _), in_memory = fits
    assert fit.degrees_ == in_memory.degrees_ and fit.loss_.name == in_memory.loss_.name
    se = np.sqrt(np.diag(in_memory.coef_cov_))
    assert np.max(np.abs(fit.coef_ - in_memory.coef_) / se) < 0.5
    np.testing.assert_allclose(np.sqrt(np.diag(fit.coef_cov_)), se, rtol=0.05)
    assert fit.scale_ == pytest.approx(in_memory.scale_, rel=0.02)
    mask = fit.inlier_mask_
    assert isinstance(mask, da.Array) and fit.remote_mask_ is None
    agree = np.mean(mask.compute() == in_memory.inlier_mask_)
    assert agree > 0.999 and fit._inlier_count() == int(mask.sum().compute())


def test_fit_equals_the_streamed_fit_in_memory(fits, monkeypatch):
    import dorv.estimator as estimator

    X, y, (fit, _), _ = fits
    monkeypatch.setattr(estimator, "STREAMED_ROWS", 1000)
    streamed = dorv.MDLPolynomialRegressor(random_state=0).fit(X, y)
    np.testing.assert_allclose(fit.coef_, streamed.coef_, rtol=1e-8,
                               atol=1e-8 * np.max(np.abs(streamed.coef_)))


def test_predict_is_lazy_and_equals_predict_in_memory(fits):
    X, _, (fit, _), _ = fits
    lazy = fit.predict(da.from_array(X, chunks=(2500, 1)))
    mean, std = fit.predict(da.from_array(X, chunks=(3000, 1)), return_std=True)
    assert all(isinstance(a, da.Array) for a in (lazy, mean, std))
    expected_mean, expected_std = fit.predict(X, return_std=True)
    np.testing.assert_allclose(lazy.compute(), expected_mean, rtol=1e-13)
    np.testing.assert_allclose(std.compute(), expected_std, rtol=1e-13)


def test_each_pass_is_one_line_on_stderr(client, capsys):
    X, y = spiky_curve(3000)
    dorv.MDLPolynomialRegressor(random_state=0, verbose=True).fit(
        da.from_array(X, chunks=(1000, 1)), da.from_array(y, chunks=1000))
    lines = capsys.readouterr().err.splitlines()
    passes = [line for line in lines if line.startswith("dorv: pass ")]
    assert passes and passes[0].startswith("dorv: pass 1: ")
    assert lines[-1].startswith(f"dorv: fitted 3000 rows in {len(passes)} passes")


@pytest.mark.parametrize("bad, message", [
    (lambda X, y, w: (np.where(np.arange(X.shape[0])[:, None] == 5, np.nan, X), y, None), "X:"),
    (lambda X, y, w: (X, y[:-1], None), "y:"),
    (lambda X, y, w: (X, y, -w), "sample_weight:"),
    (lambda X, y, w: (X, y, 0.0 * w), "sample_weight:"),
], ids=["NaN in X", "short y", "negative weight", "zero weights"])
def test_bad_dask_input_is_a_value_error_naming_it(client, bad, message):
    X, y = spiky_curve(500)
    X, y, w = bad(X, y, np.ones(500))
    with pytest.raises(ValueError, match=message):
        dorv.MDLPolynomialRegressor().fit(da.from_array(X, chunks=(200, 1)), da.from_array(y),
                                          None if w is None else da.from_array(w))


def test_job_fits_a_parquet_folder(tmp_path, capsys):
    try:  # Parquet's engine: the lowest versions' NumPy is older than pyarrow's newest need
        import pyarrow  # noqa: F401
    except ImportError as exc:
        pytest.skip(f"no Parquet engine: {exc}")
    X, y = spiky_curve(8000)
    folder = tmp_path / "rows"
    folder.mkdir()
    for i, part in enumerate(np.array_split(np.arange(8000), 3)):
        pd.DataFrame({"x": X[part, 0], "y": y[part]}).to_parquet(folder / f"part{i}.parquet")
    status = main(["--csv", str(folder), "--x-col", "x", "--y-col", "y", "--workers", "1"])
    out, err = capsys.readouterr()
    assert status == 0, err
    assert "fitted in the distributed way on a local Dask cluster of 1 worker process" in out
    assert "8000 rows" in out and "outliers  " in out
    assert "dorv: pass 1: " in err
