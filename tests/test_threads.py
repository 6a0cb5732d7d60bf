"""The sampler's parallel warm-up: results that do not depend on the number of threads, and a
memory failure inside the parallel region that reaches Python as MemoryError."""

import os
import subprocess
import sys
import textwrap

import pytest

PROBLEMS = textwrap.dedent("""
    import os
    import numpy as np
    import dorv_core as dc

    rng = np.random.default_rng(1234)
    x = np.linspace(-1.0, 1.0, 60)
    X, y = dc.design_matrix_1d(3, x), 1.0 + x - 2.0 * x**3 + 0.1 * rng.normal(size=60)
    R1, R2 = dc.smoothness_penalty_matrices_1d(3, -1.0, 1.0, 50)
    Z = rng.uniform(-1.0, 1.0, (2, 40))
    S1, S2, mi = dc.build_penalty_matrices_nd([2, 1], [(-1, 1), (-1, 1)], 8)
    Xn, yn = dc.design_matrix_nd(mi, list(Z)), Z[0] * Z[1] + rng.normal(0.0, 0.1, 40)
    runs = [
        (dict(n_chains=13, n_warmup=30, n_deep=80, n_elite=4, seed=7), (X, y)),
        (dict(n_chains=9, n_warmup=25, n_deep=60, n_elite=9, step_size=0.2),
         (X, y, R1, R2, 1e-3, 1e-4)),
        (dict(n_chains=8, n_warmup=20, n_deep=40, n_elite=3, seed=2**64 - 1),
         (Xn, yn, S1, S2, 0.01, 0.0)),
        (dict(n_chains=5, n_warmup=10, n_deep=10), (np.ones((6, 2)), np.zeros(6))),  # all ties
    ]
    for kwargs, args in runs:
        r = dc.TournamentMCMC(**kwargs).fit(*args)
        print(r.beta_mcmc.tobytes().hex(), r.energy.hex(), r.gibbs.H.hex(), r.gibbs.var_E.hex())
    print("threads", len(os.listdir("/proc/self/task")))
""")


def run(code, threads):
    env = dict(os.environ, OMP_NUM_THREADS=str(threads), OPENBLAS_NUM_THREADS="1",
               PYTHONPATH=os.pathsep.join(sys.path))
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env,
                          timeout=600)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout.splitlines()


def test_fit_does_not_depend_on_the_number_of_threads():
    out = {threads: run(PROBLEMS, threads) for threads in (1, 2, 3, 8)}
    for threads, lines in out.items():
        assert int(lines[-1].split()[1]) >= threads  # the team really had that many threads
    assert len(out[1]) == 5
    assert all(lines[:-1] == out[1][:-1] for lines in out.values())


PARALLEL_FAILURE = textwrap.dedent("""
    import os, resource
    import numpy as np
    import dorv_core as dc

    def small():
        return dc.TournamentMCMC(4, 5, 5).fit(np.ones((3, 1)), [1.0, 2.0, 3.0]).beta_mcmc.shape

    small()  # the thread team exists before the cap
    # X has no rows and holds nothing, and the working set of 2**24 coefficients passes the
    # memory check. The first allocation of k doubles is then each chain's start vector, inside
    # the parallel warm-up, and the address-space cap refuses it there.
    X, y = np.zeros((0, 2**24)), np.zeros(0)
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    size = int(open("/proc/self/statm").read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
    resource.setrlimit(resource.RLIMIT_AS, (size + (32 << 20), hard))
    try:
        dc.TournamentMCMC(n_chains=4, n_warmup=1, n_deep=1).fit(X, y)
    except MemoryError as e:
        print("MemoryError", e)
    resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
    print(small())  # the threads survived the failure
""")


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer cannot run under an address-space cap")
@pytest.mark.parametrize("threads", [1, 2, 8])
def test_memory_failure_in_the_parallel_warm_up_is_memory_error(threads):
    assert run(PARALLEL_FAILURE, threads) == [
        "MemoryError TournamentMCMC.fit: an allocation failed (std::bad_alloc)", "(1,)"]
