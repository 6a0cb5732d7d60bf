"""Streamed sums over rows generated block by block, and the fit of many rows built on them."""

import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import dorv
import dorv.estimator as estimator
import dorv_core as dc

C = dc.BIWEIGHT_EFFICIENCY_TUNING


def problem(d, n=9001, seed=1234):
    """Inputs in [-1, 1], targets, monomials, their design matrix and coefficients."""
    rng = np.random.default_rng(seed)
    T = rng.uniform(-1.0, 1.0, (n, d))
    mi = np.array([m for m in np.ndindex(*(4,) * d) if sum(m) <= 4], dtype=np.int64)
    Phi = np.prod(T[:, None, :] ** mi[None, :, :], axis=2)
    beta = rng.normal(size=len(mi))
    z = Phi @ beta + rng.standard_t(2, size=n)
    return rng, T, z, mi, Phi, beta


def close(a, b, rtol=1e-10):
    return np.max(np.abs(np.asarray(a) - b)) <= rtol * max(np.max(np.abs(b)), 1e-300)


@pytest.mark.parametrize("d", [1, 2], ids=["1-D", "2-D"])
@pytest.mark.parametrize("weighted", [False, True], ids=["unweighted", "weighted"])
@pytest.mark.parametrize("robust", [False, True], ids=["plain", "biweight"])
def test_streamed_sums_are_the_weighted_normal_equations(d, weighted, robust):
    rng, T, z, mi, Phi, beta = problem(d)
    sw = rng.uniform(0.0, 3.0, z.size) if weighted else None
    if weighted:
        sw[::5] = 0.0
    scale = 0.7
    w = np.ones(z.size) if sw is None else sw.copy()
    if robust:
        u = (z - Phi @ beta) / scale
        w *= np.where(np.abs(u) < C, (1.0 - (u / C) ** 2) ** 2, 0.0)
        assert (w == 0.0).sum() > 10  # some rows rejected
    gram, rhs, total = dc.streamed_sums(T, z, mi, beta if robust else None, scale, sw)
    assert close(gram, Phi.T @ (w[:, None] * Phi))
    assert np.array_equal(gram, gram.T)
    assert close(rhs, Phi.T @ (w * z))
    assert total == pytest.approx(w.sum(), rel=1e-12)


@pytest.mark.parametrize("d", [1, 2], ids=["1-D", "2-D"])
def test_streamed_predictions_grams_and_quadratic_forms(d):
    rng, T, z, mi, Phi, beta = problem(d)
    assert close(dc.streamed_predict(T, mi, beta), Phi @ beta)
    signed = rng.normal(size=z.size)
    assert close(dc.streamed_gram(T, mi, signed), Phi.T @ (signed[:, None] * Phi))
    A = rng.normal(size=(len(mi), len(mi)))
    assert close(dc.streamed_quadratic(T, mi, A), np.einsum("ij,jk,ik->i", Phi, A, Phi))


@pytest.mark.parametrize("M", [1, 2, 3, 4, 5, 7, 8, 11, 12, 13])
def test_streamed_sums_of_every_width_of_the_gram_tiles(M):
    # [Phi z] fills whole and partial panels of four columns and tiles of one to three panels
    rng = np.random.default_rng(M)
    T = rng.uniform(-1.0, 1.0, (5003, 1))
    z = rng.normal(size=5003)
    mi = np.arange(M, dtype=np.int64)[:, None]
    Phi = T ** mi[:, 0]
    w = np.where(rng.random(5003) < 0.1, 0.0, rng.uniform(0.5, 2.0, 5003))
    gram, rhs, total = dc.streamed_sums(T, z, mi, None, 0.0, w)
    assert close(gram, Phi.T @ (w[:, None] * Phi)) and np.array_equal(gram, gram.T)
    assert close(rhs, Phi.T @ (w * z))


RARE = np.zeros(90_000)
RARE[50_001:50_010:2] = np.arange(1.0, 6.0)  # rows that a stride of 9 passes by


@pytest.mark.parametrize("rows, limits", [
    (np.column_stack([np.tile(np.arange(12_000.0), 8), np.repeat(np.arange(8.0), 12_000)]),
     (5, 5)),
    (np.column_stack([np.arange(90_000.0), RARE]), (5, 5)),
    (np.column_stack([np.arange(90_000.0), np.repeat([0.0, 1.0], 45_000)]), (5, 1)),
], ids=["image rows", "rare values", "two values"])
def test_degree_limits_count_the_distinct_values_of_all_rows(rows, limits):
    # an image's first rows hold one row number: the rows beyond them are counted too
    assert estimator._limits(rows, (5, 5)) == limits


def test_the_normal_equations_solve_as_the_penalised_fit():
    _, T, z, mi, Phi, _ = problem(1, n=500)
    R1, R2 = dc.smoothness_penalty_matrices_1d(int(mi[-1, 0]), -1.0, 1.0)
    gram, rhs, total = dc.streamed_sums(T, z, mi)
    beta = dc.solve_sums(gram, rhs, total, R1, R2, 1e-3, 1e-4, 1e-8)
    assert close(beta, dc.fit_regularized_linear(Phi, z, R1, R2, 1e-3, 1e-4, 1e-8), 1e-9)


THREADS = textwrap.dedent("""
    import numpy as np, dorv_core as dc
    rng = np.random.default_rng(7)
    T = rng.uniform(-1.0, 1.0, (300_001, 2))
    z, w = rng.normal(size=300_001), rng.uniform(0.0, 2.0, 300_001)
    mi = [[i, j] for i in range(5) for j in range(5) if i + j <= 5]
    beta = rng.normal(size=len(mi)) * 0.1
    gram, rhs, total = dc.streamed_sums(T, z, mi, beta, 0.5, w)
    print(gram.tobytes().hex(), rhs.tobytes().hex(), total.hex())
    print(dc.streamed_gram(T, mi, z).tobytes().hex())
""")


def test_streamed_sums_do_not_depend_on_the_number_of_threads():
    out = []
    for threads in (1, 2, 3):
        env = dict(os.environ, OMP_NUM_THREADS=str(threads), PYTHONPATH=os.pathsep.join(sys.path))
        proc = subprocess.run([sys.executable, "-c", THREADS], capture_output=True, text=True,
                              env=env, timeout=600)
        assert proc.returncode == 0, proc.stderr
        out.append(proc.stdout)
    assert out[0] == out[1] == out[2]


T2 = np.zeros((5, 2))
MI = [[0, 0], [1, 0]]


@pytest.mark.parametrize("call, message", [
    (lambda: dc.streamed_sums(T2, np.zeros(4), MI), "z has 4 entries"),
    (lambda: dc.streamed_sums(T2, np.zeros(5), [[0, 0], [1]]), "multi_indices\\[1\\] has 1"),
    (lambda: dc.streamed_sums(T2, np.zeros(5), [[0, -1]]), "negative exponent"),
    (lambda: dc.streamed_sums(T2, np.zeros(5), []), "multi_indices must not be empty"),
    (lambda: dc.streamed_sums(T2, np.zeros(5), MI, np.zeros(3), 1.0), "beta has 3"),
    (lambda: dc.streamed_sums(T2, np.zeros(5), MI, np.zeros(2), -1.0), "scale must be"),
    (lambda: dc.streamed_sums(T2, np.zeros(5), MI, None, 0.0, -np.ones(5)), "non-negative"),
    (lambda: dc.streamed_sums(T2, np.zeros(5), MI, None, 0.0, np.ones(6)), "sample_weight has"),
    (lambda: dc.streamed_sums(np.full((5, 2), np.nan), np.zeros(5), MI), "T .* finite"),
    (lambda: dc.streamed_sums(T2, np.full(5, np.inf), MI), "z .* finite"),
    (lambda: dc.streamed_predict(T2, MI, np.zeros(1)), "beta has 1"),
    (lambda: dc.streamed_gram(T2, MI, np.full(5, np.nan)), "weight .* finite"),
    (lambda: dc.streamed_quadratic(T2, MI, np.eye(3)), "A must be \\(2, 2\\)"),
    (lambda: dc.solve_sums(np.eye(2), np.zeros(3), 1.0), "gram must be \\(3, 3\\)"),
    (lambda: dc.inlier_scale(np.ones(3), start=-1.0), "start must be a positive"),
], ids=["z", "exponents", "negative", "empty", "beta", "scale", "weight", "weights", "T nan",
        "z inf", "predict beta", "gram weight", "quadratic", "solve", "inlier start"])
def test_bad_inputs_raise_value_error_naming_the_argument(call, message):
    with pytest.raises(ValueError, match=message):
        call()


def data(d, n, spikes=0.05, seed=3):
    rng = np.random.default_rng(seed)
    X = rng.uniform(0.0, 10.0 if d == 1 else 3.0, (n, d))
    y = np.sin(X).sum(axis=1) + 0.1 * rng.normal(size=n)
    y[rng.random(n) < spikes] += 8.0
    return X, y


# The spread of the noise is constant in these, so that both fits weigh the rows alike (the
# streamed fit measures a varying spread on the subsample alone).
@pytest.mark.parametrize("d, loss, max_degree, spikes", [
    (1, "auto", 12, 0.05), (1, "auto", 12, 0.0), (2, "biweight", 6, 0.05)],
    ids=["1-D robust", "1-D least squares", "2-D robust"])
@pytest.mark.filterwarnings("ignore::dorv.estimator.DegreeLimitWarning")
def test_the_streamed_fit_is_the_fit_in_memory(monkeypatch, d, loss, max_degree, spikes):
    X, y = data(d, 7000, spikes)
    kwargs = dict(loss=loss, max_degree=max_degree, refine=False)
    memory = dorv.MDLPolynomialRegressor(**kwargs).fit(X, y)
    monkeypatch.setattr(estimator, "STREAMED_ROWS", 6000)
    passes = dorv.MDLPolynomialRegressor(**kwargs).fit(X, y)
    assert passes.degrees_ == memory.degrees_ and passes.loss_ is memory.loss_
    assert memory.loss_.robust == (spikes > 0) and memory.spread_coef_.size == 1
    assert close(passes.coef_, memory.coef_)
    assert close(passes.coef_cov_, memory.coef_cov_, 1e-8)
    assert passes.scale_ == pytest.approx(memory.scale_, rel=1e-10)
    assert np.array_equal(passes.inlier_mask_, memory.inlier_mask_)
    assert passes.mdl_ == pytest.approx(memory.mdl_, rel=1e-10)
    assert passes.sampler_ is None
    # and predictions of many points by blocks
    monkeypatch.setattr(estimator, "STREAMED_ROWS", 100)
    blocks = passes.predict(X[:500], return_std=True)
    monkeypatch.setattr(estimator, "STREAMED_ROWS", 1000)
    whole = passes.predict(X[:500], return_std=True)
    assert close(blocks[0], whole[0]) and close(blocks[1], whole[1])


def test_verbose_reports_every_pass(monkeypatch, capsys):
    X, y = data(1, 6000)
    monkeypatch.setattr(estimator, "STREAMED_ROWS", 5000)
    dorv.MDLPolynomialRegressor(verbose=True).fit(X, y)
    lines = capsys.readouterr().err.splitlines()
    passes = [line for line in lines if line.startswith("dorv: pass ")]
    assert passes and [int(p.split()[2].rstrip(":")) for p in passes] == \
        list(range(1, len(passes) + 1))
    assert "robust reweighting" in passes[0]
    assert lines[-1].startswith(f"dorv: {len(passes)} passes over 6000 rows")
