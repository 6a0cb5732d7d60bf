"""The vectorised and pass-based kernels against plain reference computations on inputs that
stress their block edges, buckets and ties."""

import os
import subprocess
import sys

import numpy as np
import pytest

import dorv_core as dc

BUCKETED = 1 << 14  # from this size on mad selects in passes over its input, without copies


def reference_mad(y):
    m = np.median(y)
    return np.median(np.abs(y - m))


def _data(kind, n, rng):
    if kind == "normal":
        return rng.normal(size=n)
    if kind == "few_values":  # the middle sits in long runs of equal values
        return rng.integers(0, 7, size=n).astype(float)
    if kind == "one_bucket":  # every key shares its 16-bit prefix
        return 1000.0 + rng.uniform(0.0, 1e-9, size=n)
    if kind == "signed_zeros":  # zero median and deviations, zeros of both signs
        return rng.choice([-0.0, 0.0, -1.0, 2.0], size=n, p=[0.3, 0.3, 0.2, 0.2])
    if kind == "split_middle":  # for even n the two middle values lie in different buckets
        return np.where(np.arange(n) % 2 == 0, -1.0, 3.0)
    if kind == "strided":  # every eighth value far off: a strided sample sees only those
        y = rng.normal(size=n)
        y[::8] += 100.0
        return y
    if kind == "strided_halves":  # half the values -1, none at multiples of 8, the rest 3
        y = np.full(n, 3.0)
        off_stride = np.flatnonzero(np.arange(n) % 8 != 0)
        y[off_stride[: n // 2]] = -1.0
        return y
    if kind == "wide_range":
        y = rng.lognormal(0.0, 40.0, size=n) * rng.choice([-1.0, 1.0], size=n)
        y[:3] = [np.inf, -np.inf, 5e-324]
        return y
    raise ValueError(kind)


KINDS = ["normal", "few_values", "one_bucket", "signed_zeros", "split_middle", "strided",
         "strided_halves", "wide_range"]


@pytest.mark.parametrize("n", [BUCKETED - 1, BUCKETED, BUCKETED + 1, 100_000, 1 << 17],
                         ids=lambda n: f"n{n}")
@pytest.mark.parametrize("kind", KINDS)
def test_mad_equals_sorted_reference(kind, n):
    y = _data(kind, n, np.random.default_rng(1234))
    if not kind.startswith("strided"):
        np.random.default_rng(1234).shuffle(y)
    assert dc.mad(y) == reference_mad(y)


def test_mad_ignores_input_order_and_keeps_input():
    y = np.random.default_rng(1234).normal(size=BUCKETED + 3)
    y_sorted = np.sort(y)
    before = y.copy()
    assert dc.mad(y) == dc.mad(y_sorted) == dc.mad(y_sorted[::-1]) == reference_mad(y)
    assert np.array_equal(y, before)


@pytest.mark.parametrize("n", [1, 2, 3, 4, 5, 7, 8, 9, 33], ids=lambda n: f"n{n}")
def test_compute_sr_counts_every_position(n):
    rng = np.random.default_rng(1234)
    yt = rng.normal(size=n)
    yp = yt + rng.choice([0.0, 0.25, -0.25, 0.5, np.nan, np.inf], size=n)
    eps = 0.25  # differences of exactly eps are no hits
    hits = np.count_nonzero(np.abs(yp - yt) < eps)
    assert dc.compute_sr(yp, yt, eps) == max(hits / n, 1 / (2 * n))
    # one hit in each position in turn: the block edges and the tail all count
    for i in range(n):
        p = yt + 1.0
        p[i] = yt[i]
        assert dc.compute_sr(p, yt, 0.5) == max(1 / n, 1 / (2 * n))


def sequential_product(X, b):
    """X b summed per row from 0 over the columns in order."""
    yp = np.zeros(X.shape[0])
    for j in range(X.shape[1]):
        yp = yp + X[:, j] * b[j]
    return yp


# Row counts around the sampler's blocks of eight and two rows; column counts on both sides of
# the size where the product is summed in column blocks.
@pytest.mark.parametrize("k", [0, 1, 6, 127, 128, 130], ids=lambda k: f"k{k}")
@pytest.mark.parametrize("n", [2, 3, 7, 8, 9, 17, 203], ids=lambda n: f"n{n}")
def test_sampler_energy_is_the_score_of_its_vector(n, k):
    rng = np.random.default_rng(1234)
    X = rng.normal(size=(n, k))
    y = X @ rng.normal(scale=0.3, size=k) + 0.1 * rng.normal(size=n)
    r = dc.TournamentMCMC(n_chains=3, n_warmup=20, n_deep=30, n_elite=2, step_size=0.1).fit(X, y)
    assert r.energy == dc.mdl_score(sequential_product(X, r.beta_mcmc), y, k)


def test_solvers_do_not_depend_on_thread_count():
    # Sizes at which a threaded matrix product would split the work and change its blocking.
    code = """import numpy as np, dorv_core as dc
rng = np.random.default_rng(1234)
Phi, y = np.asfortranarray(rng.normal(size=(20000, 60))), rng.normal(size=20000)
X, z = np.asfortranarray(rng.normal(size=(3000, 200))), rng.normal(size=3000)
print(dc.fit_regularized_linear(Phi, y).tobytes().hex(), dc.ols(X, z).tobytes().hex())"""
    outs = set()
    for threads in "12":
        run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                             env={**os.environ, "OMP_NUM_THREADS": threads}, timeout=300)
        assert run.returncode == 0, run.stderr
        outs.add(run.stdout)
    assert len(outs) == 1
