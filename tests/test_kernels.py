"""The dense kernels: results that do not depend on where the inputs lie nor on the number of
threads, the portable form forced by DORV_KERNELS, and ols against LAPACK and the whole SVD."""

import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import dorv_core as dc


def layouts(a):
    """The same values as C and Fortran arrays, a strided view, a reversed view and a list."""
    a = np.asarray(a, dtype=float)
    big = np.zeros(tuple(2 * s + 1 for s in a.shape))
    strided = big[tuple(slice(1, None, 2) for _ in a.shape)]
    strided[...] = a
    flipped = a[tuple(slice(None, None, -1) for _ in a.shape)].copy()
    reversed_view = flipped[tuple(slice(None, None, -1) for _ in a.shape)]
    return {"C": np.ascontiguousarray(a), "F": np.asfortranarray(a), "strided": strided,
            "reversed": reversed_view, "list": a.tolist()}


def bits(result):
    return np.asarray(result, dtype=float).tobytes()


rng = np.random.default_rng(2024)
# Large enough for several chunks and blocks of rows in every operation.
X_TALL = rng.normal(size=(50000, 15))
Y_TALL = X_TALL @ rng.normal(size=15) + rng.normal(size=50000)
PHI = rng.normal(size=(100000, 12))
Y_PHI = PHI @ rng.normal(size=12) + rng.normal(size=100000)
R = rng.normal(size=(12, 12))
R1, R2 = R @ R.T, np.eye(12)
YT = rng.normal(size=70000)
YP = YT + rng.normal(scale=0.5, size=70000)
BETA = rng.normal(size=12)
X1 = rng.uniform(-1.2, 1.2, 300000)


@pytest.mark.parametrize("name, call, arrays", [
    ("ols", dc.ols, (X_TALL, Y_TALL)),
    ("fit_regularized_linear", lambda P, y: dc.fit_regularized_linear(P, y, R1, R2, 1e-3, 1e-5),
     (PHI, Y_PHI)),
    ("compute_sr", lambda p, t: dc.compute_sr(p, t, 0.3), (YP, YT)),
    ("mdl_score", lambda p, t: dc.mdl_score(p, t, 4), (YP, YT)),
    ("mdl_score_reg", lambda p, t: dc.mdl_score_reg(p, t, 12, 20, BETA, R1, R2, 1e-3, 1e-4),
     (YP, YT)),
    ("mad", dc.mad, (YT,)),
    ("fit_robust_linear", lambda P, y: dc.fit_robust_linear(P, y, R1, R2, 1e-3).weights,
     (PHI, Y_PHI)),
    ("design_matrix_1d", lambda x: dc.design_matrix_1d(6, x), (X1,)),
])
def test_results_do_not_depend_on_the_memory_order_of_the_inputs(name, call, arrays):
    want = bits(call(*arrays))
    for layout in layouts(arrays[0]):
        args = [layouts(a)[layout] for a in arrays]
        assert bits(call(*args)) == want, (name, layout)


# Child processes load the test-only module from the file the fixture found.
LOAD_TESTING = textwrap.dedent("""
    import importlib.util, os
    path = os.environ["DORV_TESTING_MODULE"]
    found = importlib.util.spec_from_file_location("_dorv_testing", path)
    testing = importlib.util.module_from_spec(found)
    found.loader.exec_module(testing)
""")

THREADED = LOAD_TESTING + textwrap.dedent("""
    import hashlib, numpy as np, dorv_core as dc
    rng = np.random.default_rng(7)
    X = rng.normal(size=(60000, 20)); y = X @ rng.normal(size=20) + rng.normal(size=60000)
    W = rng.normal(size=(2000, 200)); w = rng.normal(size=2000)
    D = rng.normal(size=(2000, 29)) @ rng.normal(size=(29, 40))
    P = np.ascontiguousarray(rng.normal(size=(200000, 20))); p = rng.normal(size=200000)
    S = rng.normal(size=(20, 20))
    x = rng.uniform(-1, 1, 400000); z = rng.uniform(-1, 1, 400000)
    mi = [[i, j] for i in range(6) for j in range(6)]
    results = [dc.ols(X, y), dc.ols(W, w), dc.ols(D, w),
               dc.fit_regularized_linear(P, p, S @ S.T, None, 1e-3),
               dc.fit_regularized_linear(W, w), dc.design_matrix_1d(15, x),
               dc.design_matrix_nd(mi, [x, z]), dc.compute_sr(x, z, 0.1), dc.mdl_score(x, z, 3),
               dc.fit_robust_linear(X, y, n_starts=20).weights]
    print(testing.kernel_form())
    for r in results:
        print(hashlib.sha256(np.asarray(r, dtype=float).tobytes()).hexdigest())
""")


def run(code, **env):
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1", PYTHONPATH=os.pathsep.join(sys.path), **env)
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env,
                          timeout=600)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout.splitlines()


@pytest.mark.parametrize("form", ["auto", "sse2"])
def test_results_do_not_depend_on_the_number_of_threads(native_testing, form):
    if form == "auto" and run(LOAD_TESTING + "print(testing.kernel_form())", DORV_KERNELS="auto",
                              DORV_TESTING_MODULE=native_testing.__file__) == ["sse2"]:
        pytest.skip("only the portable form is built or runs here: the sse2 case covers it")
    out = {t: run(THREADED, OMP_NUM_THREADS=str(t), DORV_KERNELS=form,
                  DORV_TESTING_MODULE=native_testing.__file__) for t in (1, 2, 3, 8)}
    assert all(lines == out[1] for lines in out.values())
    if form == "sse2":
        assert out[1][0] == "sse2"


def test_the_portable_form_agrees_with_the_chosen_one_up_to_rounding():
    code = textwrap.dedent("""
        import numpy as np, dorv_core as dc
        rng = np.random.default_rng(3)
        X = rng.normal(size=(20000, 30)); y = rng.normal(size=20000)
        print(dc.ols(X, y).tobytes().hex()); print(dc.fit_regularized_linear(X, y).tobytes().hex())
    """)
    auto, sse2 = ([np.frombuffer(bytes.fromhex(line)) for line in run(code, DORV_KERNELS=form)]
                  for form in ("auto", "sse2"))
    for a, b in zip(auto, sse2, strict=True):
        np.testing.assert_allclose(a, b, rtol=1e-12, atol=1e-14)


def test_an_unknown_kernel_form_is_refused():
    code = textwrap.dedent("""
        import numpy as np, dorv_core as dc
        try:
            dc.ols(np.ones((3, 2)), np.ones(3))
        except ValueError as e:
            print(e)
    """)
    assert run(code, DORV_KERNELS="avx3") == [
        "DORV_KERNELS must be one of auto, sse2, avx2, avx512, got 'avx3'"]


def test_a_form_the_processor_lacks_falls_back_to_one_it_runs(native_testing):
    assert run(LOAD_TESTING + "print(testing.kernel_form())", DORV_KERNELS="avx512",
               DORV_TESTING_MODULE=native_testing.__file__)[0] in {"sse2", "avx2", "avx512"}
    assert native_testing.kernel_form() in {"sse2", "avx2", "avx512"}


def low_rank(m, p, r, seed):
    g = np.random.default_rng(seed)
    return g.normal(size=(m, r)) @ g.normal(size=(r, p))


@pytest.mark.parametrize("X", [
    rng.normal(size=(500, 8)),                       # tall
    rng.normal(size=(40, 40)),                       # square
    rng.normal(size=(10, 30)),                       # wide
    low_rank(2000, 40, 29, 1),                       # rank-deficient, tall
    low_rank(300, 300, 120, 2),                      # rank-deficient, square
    np.c_[rng.normal(size=(50, 3)), np.zeros(50)],   # a zero column
    rng.normal(size=(1, 1)),
], ids=["tall", "square", "wide", "rank29", "rank120", "zero-column", "1x1"])
def test_ols_is_the_minimum_norm_least_squares_solution(X):
    y = rng.normal(size=X.shape[0])
    got = dc.ols(X, y)
    scale = np.linalg.norm(got)
    # LAPACK's own (its rank threshold is coarser, but these ranks are clear-cut).
    np.testing.assert_allclose(got, np.linalg.lstsq(X, y, rcond=None)[0], rtol=0,
                               atol=1e-10 * scale)
    # The SVD of the whole of X, directions below min(m, p) eps s_max zeroed: the same solution.
    U, s, Vt = np.linalg.svd(X, full_matrices=False)
    kept = s > min(X.shape) * np.finfo(float).eps * s[0]
    want = Vt[kept].T @ ((U[:, kept].T @ y) / s[kept])
    np.testing.assert_allclose(got, want, rtol=0, atol=1e-10 * scale)


def test_ols_of_designs_scaled_near_the_ends_of_the_double_range():
    X, y = rng.normal(size=(400, 5)), rng.normal(size=400)
    want = np.linalg.lstsq(X, y, rcond=None)[0]
    for s in (1e-160, 1e160):
        np.testing.assert_allclose(dc.ols(X * s, y) * s, want, rtol=1e-10)


@pytest.mark.parametrize("n", [1, 7, 255, 257, 4099, 300001])
def test_design_matrix_nd_gives_the_bits_of_whole_column_powers(native_testing, n):
    # Odd n puts every other column off the alignment of a packet, where the library computes
    # a power entry by entry rather than by packets.
    g = np.random.default_rng(n)
    cols = [g.uniform(-1.3, 1.3, n) for _ in range(3)]
    mi = [[i, j, k] for i in range(4) for j in range(3) for k in range(3)] + [[9, 0, -2]]
    got = dc.design_matrix_nd(mi, cols)
    assert bits(got) == bits(native_testing.design_matrix_nd_whole_columns(mi, cols))
