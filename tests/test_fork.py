"""Fork-based process pools after the parent ran the parallel code paths."""

import os
import signal
import subprocess
import sys
import textwrap

import pytest

CHILD = textwrap.dedent(
    """
    import multiprocessing as mp
    from concurrent.futures import ProcessPoolExecutor

    import numpy as np
    import dorv_core as dc

    rng = np.random.default_rng(1234)
    x = np.linspace(-1.0, 1.0, 120)
    X = dc.design_matrix_1d(3, x)
    y = 1.0 + x - 2.0 * x**3 + 0.05 * rng.normal(size=x.size)
    Phi = rng.normal(size=(20000, 120))
    z = rng.normal(size=20000)

    def fit(seed):
        sampler = dc.TournamentMCMC(n_chains=6, n_warmup=40, n_deep=60, seed=seed)
        r = sampler.fit(X, y)
        return r.energy, r.beta_mcmc.tolist()

    def solve(_):
        return dc.fit_regularized_linear(Phi, z).tolist()

    if __name__ == "__main__":
        parent = [fit(s) for s in range(3)]   # parallel warm-up in the parent first
        solve(0)                              # and a parallel matrix product
        with ProcessPoolExecutor(2, mp_context=mp.get_context("fork")) as pool:
            assert list(pool.map(fit, range(3))) == parent
            assert len(list(pool.map(solve, range(2)))[0]) == 120
        print("ok")
    """
)


def test_fork_pool_after_parallel_work(tmp_path):
    script = tmp_path / "pool.py"
    script.write_text(CHILD)
    proc = subprocess.Popen(
        [sys.executable, str(script)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        start_new_session=True,  # so that hung workers can be killed with their parent
    )
    try:
        out, err = proc.communicate(timeout=60)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.communicate()
        pytest.fail("a forked worker hung after the parent ran a parallel region")
    assert proc.returncode == 0, err
    assert out.strip() == "ok"
