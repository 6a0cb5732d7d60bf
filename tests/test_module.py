"""Module surface: docstring, registry signatures, argument conversion and result arrays."""

from decimal import Decimal
from fractions import Fraction
import re

import numpy as np
import pytest

import dorv_core as m

REGISTRY = {
    "mad": ["y"],
    "compute_sr": ["yp", "yt", "eps"],
    "mdl_score": ["yp", "yt", "k", "H=20"],
    "mdl_score_reg": ["yp", "yt", "k", "H", "beta", "R1", "R2", "gamma1=0.0", "gamma2=0.0"],
    "hit_tolerance": ["mad"],
    "inlier_scale": ["residuals", "start=None"],
    "design_matrix_1d": ["deg", "x"],
    "smoothness_penalty_matrices_1d": ["deg", "x_min", "x_max", "n_grid=600"],
    "boundary_reduce_1d": ["deg", "x_min", "x_max"],
    "design_matrix_nd": ["multi_indices", "X_cols"],
    "build_penalty_matrices_nd": ["degrees", "bounds", "n_grid_per_dim=30"],
    "ols": ["X", "y"],
    "fit_regularized_linear": ["Phi", "y", "R1=None", "R2=None", "gamma1=0.0", "gamma2=0.0",
                               "ridge=1e-10", "*", "sample_weight=None"],
    "gibbs_entropy": ["energies", "T=1.0"],
    "fit_robust_linear": ["Phi", "y", "R1=None", "R2=None", "gamma1=0.0", "gamma2=0.0",
                          "ridge=1e-10", "*", "init=None", "scale=None", "n_starts=100", "seed=0",
                          "max_iter=50", "sample_weight=None"],
    "streamed_sums": ["T", "z", "multi_indices", "beta=None", "scale=0.0", "sample_weight=None"],
    "streamed_predict": ["T", "multi_indices", "beta"],
    "streamed_gram": ["T", "multi_indices", "weight"],
    "streamed_quadratic": ["T", "multi_indices", "A"],
    "solve_sums": ["gram", "rhs", "total_weight", "R1=None", "R2=None", "gamma1=0.0",
                   "gamma2=0.0", "ridge=1e-10"],
}

RULES = ["HIT_FACTOR", "BIWEIGHT_EFFICIENCY_TUNING", "BIWEIGHT_SCALE_TUNING", "INLIER_CUT",
         "TRUNCATED_VARIANCE", "MAD_TO_SD"]


def signature_args(fn):
    """Argument names (with '=default') of the generated signature line."""
    line = fn.__doc__.splitlines()[0]
    assert line.startswith(fn.__name__ + "(")
    depth, args, cur = 0, [], ""
    for ch in line[len(fn.__name__) + 1:]:
        depth += (ch in "([") - (ch in ")]")
        if depth < 0:
            break
        if ch == "," and depth == 0:
            args, cur = args + [cur], ""
        else:
            cur += ch
    return [a.split(":")[0].strip() + ("=" + a.split(" = ")[1] if " = " in a else "")
            for a in args + [cur]]


def test_docstring_and_public_names():
    assert m.__doc__ == "DORV-P performans-kritik cekirdegi (C++/Eigen)."
    public = {n for n in dir(m) if not n.startswith("_")}
    assert public == set(REGISTRY) | set(RULES) | {"GibbsResult", "MCMCResult", "RobustFit",
                                                   "TournamentMCMC"}


@pytest.mark.parametrize("name", REGISTRY)
def test_registry_signature(name):
    assert signature_args(getattr(m, name)) == REGISTRY[name]


def test_tuple_wrappers_are_typed_tuples():
    arr = 'typing.Annotated[numpy.typing.NDArray[numpy.float64], "[m, n]"]'
    assert m.smoothness_penalty_matrices_1d.__doc__.rstrip().endswith(f"-> tuple[{arr}, {arr}]")
    assert m.build_penalty_matrices_nd.__doc__.rstrip().endswith(
        f"-> tuple[{arr}, {arr}, list[list[int]]]")


def test_keywords_are_the_registry_names():
    assert m.boundary_reduce_1d(deg=3, x_min=0.0, x_max=1.0).shape == (4, 4)
    assert m.design_matrix_1d(x=[1.0], deg=1).shape == (1, 2)
    assert len(m.smoothness_penalty_matrices_1d(deg=1, x_min=0, x_max=1, n_grid=3)) == 2
    assert m.design_matrix_nd(multi_indices=[[1]], X_cols=[[2.0]])[0, 0] == 2.0
    assert len(m.build_penalty_matrices_nd(degrees=[1], bounds=[(0, 1)], n_grid_per_dim=2)) == 3
    with pytest.raises(TypeError):
        m.boundary_reduce_1d(deg=3, xmin=0.0, x_max=1.0)


INT_CALLS = {
    "deg": lambda v: m.design_matrix_1d(v, [0.5]),
    "n_grid": lambda v: m.smoothness_penalty_matrices_1d(1, 0.0, 1.0, v),
    "degrees-item": lambda v: m.build_penalty_matrices_nd([v], [(0.0, 1.0)], 3),
    "n_grid_per_dim": lambda v: m.build_penalty_matrices_nd([1], [(0.0, 1.0)], v),
    "multi-index-item": lambda v: m.design_matrix_nd([[v]], [[0.5]]),
    "mdl_score-k": lambda v: m.mdl_score([1.0, 2.0], [1.0, 2.0], v),
    "sampler-n_chains": lambda v: m.TournamentMCMC(n_chains=v),
}
NOT_INTS = [2.0, np.float64(2.0), np.float32(2.5), Fraction(5, 2), Decimal(2), "2", None,
            2**31, -(2**31) - 1]


@pytest.mark.parametrize("value", NOT_INTS, ids=repr)
@pytest.mark.parametrize("call", INT_CALLS.values(), ids=INT_CALLS.keys())
def test_int_arguments_refuse_non_integers_and_wide_ints(call, value):
    with pytest.raises(TypeError):
        call(value)


@pytest.mark.parametrize("value", [np.int64(2), np.uint16(2), np.array(2)], ids=repr)
@pytest.mark.parametrize("call", INT_CALLS.values(), ids=INT_CALLS.keys())
def test_int_arguments_take_index_like_objects(call, value):
    call(value)


def test_int_range_and_float_conversions():
    with pytest.raises(ValueError, match=r"\Adeg < 0\Z"):  # -2**31 passes the conversion
        m.boundary_reduce_1d(-(2**31), 0.0, 1.0)
    ref = m.boundary_reduce_1d(3, -0.5, 1.0)
    np.testing.assert_array_equal(m.boundary_reduce_1d(3, Fraction(-1, 2), np.float32(1)), ref)
    with pytest.raises(TypeError):
        m.boundary_reduce_1d(3, "0", 1.0)


X_REF = m.design_matrix_1d(2, np.array([0.0, 1.0, 2.0]))


@pytest.mark.parametrize("x", [[0, 1, 2], (0.0, 1.0, 2.0), np.arange(3, dtype=np.int32),
                               np.arange(3.0).reshape(3, 1), [[0], [1], [2]],
                               np.arange(3, dtype=np.float32)],
                         ids=["int-list", "tuple", "int32", "column", "nested", "float32"])
def test_vector_accepts(x):
    np.testing.assert_array_equal(m.design_matrix_1d(2, x), X_REF)


@pytest.mark.parametrize("x", [np.ones((1, 3)), np.ones((3, 2)), np.ones((3, 1, 1)), 2.0, None,
                               "abc", np.ones((1, 0))],
                         ids=["row", "two-columns", "3-d", "number", "None", "str", "1x0"])
def test_vector_refuses(x):
    with pytest.raises(TypeError):
        m.design_matrix_1d(2, x)


@pytest.mark.parametrize("x", [np.zeros(0), np.zeros((0, 1)), []], ids=["1-d", "0x1", "list"])
def test_empty_vector_reaches_the_operation(x):
    assert m.design_matrix_1d(2, x).shape == (0, 3)


def test_sequence_conversions():
    ref = m.build_penalty_matrices_nd([1, 2], [(0.0, 1.0), (-1.0, 1.0)], 4)
    got = m.build_penalty_matrices_nd(np.array([1, 2]), np.array([[0, 1], [-1, 1]]), 4)
    for a, b in zip(got, ref):
        np.testing.assert_array_equal(a, b)
    for degrees, bounds in [("11", [(0, 1)] * 2), (b"\x01", [(0, 1)]), ([1], [(0, 1, 2)]),
                            ([1.0], [(0, 1)])]:
        with pytest.raises(TypeError):
            m.build_penalty_matrices_nd(degrees, bounds)
    cols = np.array([[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]])  # read row by row: one Vector per row
    np.testing.assert_array_equal(m.design_matrix_nd([[1, 1]], cols)[:, 0], cols[0] * cols[1])


def test_matrix_and_optional_matrix_conversions():
    np.testing.assert_allclose(m.ols([1, 2, 3], [2.0, 4.0, 6.0]), [2.0])  # 1-D: one column
    with pytest.raises(TypeError):
        m.ols(np.ones((3, 1, 1)), [1.0, 2.0, 3.0])
    phi, y = np.array([[1.0], [2.0]]), np.array([1.0, 3.0])
    np.testing.assert_array_equal(m.fit_regularized_linear(phi, y, [[2]], None, 0.5),
                                  m.fit_regularized_linear(phi, y, np.eye(1) * 2, None, 0.5))
    with pytest.raises(RuntimeError, match="str"):
        m.fit_regularized_linear(phi, y, "abc")
    with pytest.raises(TypeError):
        m.mdl_score_reg(y, y, 1, 20, [1.0], None, np.eye(1))


BASE = np.arange(1.0, 64.0).reshape(9, 7) ** 0.5
LAYOUTS = {
    "c-order": lambda: BASE.copy(), "f-order": lambda: np.asfortranarray(BASE),
    "row-step": lambda: np.repeat(BASE, 3, axis=0)[::3], "both-reversed": lambda: BASE[::-1, ::-1][::-1, ::-1],
    "column-slice": lambda: np.c_[BASE, BASE][:, :7], "big-endian": lambda: BASE.astype(">f8"),
    "unaligned": lambda: np.frombuffer(b"\0" + BASE.tobytes(), offset=1).reshape(9, 7),
    "float32-exact": lambda: np.float32(np.arange(1.0, 64.0).reshape(9, 7)) ** 0.5,
    "broadcast": lambda: np.broadcast_to(BASE[:1], (9, 7)),
}


@pytest.mark.parametrize("make", LAYOUTS.values(), ids=LAYOUTS.keys())
def test_matrix_layouts_copy_the_same_values(make):
    X = make()
    y = np.linspace(-1.0, 2.0, 9)
    want = np.asfortranarray(np.asarray(X, dtype=np.float64))
    assert m.ols(X, y).tobytes() == m.ols(want, y).tobytes()
    assert m.fit_regularized_linear(X, y).tobytes() == m.fit_regularized_linear(want, y).tobytes()


RESULTS = {
    "design_matrix_1d": lambda: m.design_matrix_1d(3, [0.5, -1.0, 2.0]),
    "single-column": lambda: m.design_matrix_1d(0, [0.5, -1.0]),
    "boundary_reduce_1d": lambda: m.boundary_reduce_1d(3, -1.0, 2.0),
    "design_matrix_nd": lambda: m.design_matrix_nd([[1, 0], [2, 1]], [[1.0, 2.0], [3.0, 4.0]]),
    "penalty-1d-R2": lambda: m.smoothness_penalty_matrices_1d(3, 0.0, 1.0, 5)[1],
    "penalty-nd-R1": lambda: m.build_penalty_matrices_nd([2, 1], [(0, 1), (0, 2)], 4)[0],
}


@pytest.mark.parametrize("make", RESULTS.values(), ids=RESULTS.keys())
def test_returned_matrix_is_fresh_column_major(make):
    first = make()
    saved = first.copy()
    assert first.ndim == 2 and first.dtype == np.float64
    assert first.flags.f_contiguous and first.flags.writeable
    first[...] = np.nan
    np.testing.assert_array_equal(make(), saved)


def test_tuple_results():
    pair = m.smoothness_penalty_matrices_1d(2, 0.0, 1.0, 3)
    assert type(pair) is tuple and len(pair) == 2
    assert all(type(a) is np.ndarray for a in pair)
    R1, R2, mi = m.build_penalty_matrices_nd([1, 1], [(0, 1), (0, 1)], 2)
    assert type(R1) is np.ndarray and type(R2) is np.ndarray
    assert type(mi) is list and all(type(row) is list for row in mi)
    assert all(type(p) is int for row in mi for p in row)


def test_allocation_failure_is_memory_error_naming_the_call_and_size(run_isolated):
    proc = run_isolated("""
        import dorv_core as m
        try:
            m.boundary_reduce_1d(2**31 - 1, 0.0, 1.0)
        except MemoryError as e:
            print(e)
    """)
    assert proc.returncode == 0, proc.stderr
    assert re.fullmatch(r"boundary_reduce_1d: cannot allocate 73786976294838206464 bytes "  # 2**66
                        r"\(73786976294\.8 GB\), \d+\.\d GB available\n", proc.stdout), proc.stdout


def test_reimport_returns_the_same_module(run_isolated):
    proc = run_isolated("""
        import sys, dorv_core as first
        del sys.modules["dorv_core"]
        import dorv_core as second
        print(first is second, second.__doc__)
    """)
    assert proc.stdout.strip() == "True " + m.__doc__, proc.stderr
