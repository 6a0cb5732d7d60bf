"""Bad input: NaN and infinite data, conversion errors that name the argument, arrays where a
number is expected, and the printed form of the results."""

import math
import re
import warnings

import numpy as np
import pytest

import dorv_core as dc

nan, inf = np.nan, np.inf
X = dc.design_matrix_1d(2, np.linspace(-1.0, 1.0, 8))
Y = np.linspace(0.0, 1.0, 8)


def spoiled(a, value, *positions):
    a = np.array(a, dtype=float)
    for p in positions:
        a[p] = value
    return a


def sampler_fit(X_, y_):
    return dc.TournamentMCMC(3, 5, 5).fit(X_, y_)


# Two bad entries: the first in row-major order is the one named.
DATA = {
    "ols-X": (lambda v: dc.ols(spoiled(X, v, (6, 0), (5, 1)), Y), r"ols: X \(8, 3\)", "[5, 1]"),
    "ols-y": (lambda v: dc.ols(X, spoiled(Y, v, 6, 3)), r"ols: y \(8\)", "[3]"),
    "frl-Phi": (lambda v: dc.fit_regularized_linear(spoiled(X, v, (2, 2), (7, 0)), Y),
                r"fit_regularized_linear: Phi \(8, 3\)", "[2, 2]"),
    "frl-y": (lambda v: dc.fit_regularized_linear(X, spoiled(Y, v, 0, 7)),
              r"fit_regularized_linear: y \(8\)", "[0]"),
    "fit-X": (lambda v: sampler_fit(spoiled(X, v, (7, 2), (7, 0)), Y),
              r"TournamentMCMC.fit: X \(8, 3\)", "[7, 0]"),
    "fit-y": (lambda v: sampler_fit(X, spoiled(Y, v, 4)), r"TournamentMCMC.fit: y \(8\)", "[4]"),
}


@pytest.mark.parametrize("value", [nan, inf, -inf], ids=str)
@pytest.mark.parametrize("call, who, where", DATA.values(), ids=DATA.keys())
def test_non_finite_data_is_refused_by_argument_and_first_position(call, who, where, value):
    message = rf"\A{who} must be finite, got {value} at {re.escape(where)}\Z"
    with pytest.raises(ValueError, match=message):
        call(value)


def test_sampler_refuses_non_finite_data_before_any_work(run_isolated):
    # Two billion warm-up steps per chain would run for hours.
    proc = run_isolated("""
        import numpy as np, dorv_core as dc
        try:
            dc.TournamentMCMC(2, 2**31 - 1).fit(np.ones((3, 1)), [1.0, np.nan, 2.0])
        except ValueError as e:
            print(e)
    """)
    assert proc.stdout == "TournamentMCMC.fit: y (3) must be finite, got nan at [1]\n", proc.stderr


def test_sampler_refuses_non_finite_penalty_terms_it_reads():
    R = np.eye(3)
    with pytest.raises(ValueError, match=r"\ATournamentMCMC.fit: gamma1 must be finite, got nan\Z"):
        dc.TournamentMCMC(3, 5, 5).fit(X, Y, R, None, nan)
    with pytest.raises(ValueError, match=r"R2 \(3, 3\) must be finite, got inf at \[0, 1\]"):
        dc.TournamentMCMC(3, 5, 5).fit(X, Y, R, spoiled(R, inf, (0, 1)), 1.0, 1.0)
    plain = sampler_fit(X, Y)
    for unread in [(spoiled(R, nan, 0), None, 0.0, 0.0), (None, None, nan, inf)]:
        got = dc.TournamentMCMC(3, 5, 5).fit(X, Y, *unread)
        assert got.beta_mcmc.tobytes() == plain.beta_mcmc.tobytes() and got.energy == plain.energy


@pytest.mark.parametrize("n", [3, 4, 20000, 100001], ids=["odd", "even", "bucket", "sampled"])
def test_mad_of_data_with_nan_is_nan_wherever_it_stands(n):
    y = np.sin(np.arange(float(n)))
    for i in sorted({0, 1, n // 2, n - 1}):
        assert math.isnan(dc.mad(spoiled(y, nan, i))), i
    # Infinities are ordered values, as for NumPy's median.
    with_inf = spoiled(y, inf, n // 2)
    assert dc.mad(with_inf) == np.median(np.abs(with_inf - np.median(with_inf)))


def test_score_of_targets_with_nan_does_not_depend_on_where_it_stands():
    # The tolerance falls back to 0.4 (mad is NaN); the NaN target is a miss.
    y = np.linspace(0.0, 1.0, 9)
    scores = {dc.mdl_score(y, spoiled(y, nan, i), 2) for i in range(9)}
    assert scores == {dc.mdl_score(y, spoiled(y, 99.0, 0), 2)}


BIG = np.full((40, 3), 123.25)  # its values must not appear in any message
SQUARE = BIG[:3]
VECTOR = "a 1-D array of real numbers (or an (n, 1) column)"
MATRIX = "a 2-D array of real numbers (or a 1-D one, read as a column)"
INT = "an int between -2**31 and 2**31 - 1"
CONVERSIONS = {
    "2-d-vector": (lambda: dc.mad(BIG), TypeError,
                   f"mad: y must be {VECTOR}, got an array of shape (40, 3) and dtype float64"),
    "3-d-matrix": (lambda: dc.ols(BIG[..., None], BIG[:, 0]), TypeError,
                   f"ols: X must be {MATRIX}, got an array of shape (40, 3, 1) and dtype float64"),
    "nested-list": (lambda: dc.design_matrix_1d(2, BIG.tolist()), TypeError,
                    f"design_matrix_1d: x must be {VECTOR}, got a list of shape (40, 3)"),
    "ragged-list": (lambda: dc.ols([[1.0, 2.0], [3.0]], BIG[:2, 0]), TypeError,
                    f"ols: X must be {MATRIX}, got a list of 2 items"),
    "complex-list": (lambda: dc.ols([[1j]], [1.0]), TypeError,
                     f"ols: X must be {MATRIX}, got a list of shape (1, 1) and dtype complex128"),
    "float-for-int": (lambda: dc.design_matrix_1d(2.0, BIG[:, 0]), TypeError,
                      f"design_matrix_1d: deg must be {INT}, got float 2.0"),
    "keyword": (lambda: dc.compute_sr(yp=BIG[:, 0], yt=BIG[:, 0], eps="0.1"), TypeError,
                "compute_sr: eps must be a real number, got str '0.1'"),
    "item": (lambda: dc.design_matrix_nd([[1]], [BIG]), TypeError,
             f"design_matrix_nd: the items of X_cols must be {VECTOR}, got an array of shape "
             "(40, 3) and dtype float64"),
    "item-of-item": (lambda: dc.design_matrix_nd([[1.5]], [BIG[:, 0]]), TypeError,
                     f"design_matrix_nd: the items of multi_indices must be {INT}, got float 1.5"),
    "constructor": (lambda: dc.TournamentMCMC(n_deep=1.5), TypeError,
                    f"TournamentMCMC: n_deep must be {INT}, got float 1.5"),
    "seed": (lambda: dc.TournamentMCMC(seed=-1), TypeError,
             "TournamentMCMC: seed must be a Python int between 0 and 2**64 - 1, got int -1"),
    "method": (lambda: dc.TournamentMCMC().fit(BIG, BIG), TypeError,  # the same value twice
               f"TournamentMCMC.fit: y must be {VECTOR}, got an array of shape (40, 3) and dtype "
               "float64"),
    "same-value-twice": (lambda: dc.mdl_score_reg(Y, Y, 1, 20, SQUARE, SQUARE, SQUARE),
                         TypeError, f"mdl_score_reg: beta must be {VECTOR}, got an array of shape "
                         "(3, 3) and dtype float64"),
    "optional": (lambda: dc.fit_regularized_linear(BIG, BIG[:, 0], "abc"), RuntimeError,
                 f"fit_regularized_linear: R1 must be None or {MATRIX}, got str 'abc'"),
    "sampler-optional": (lambda: dc.TournamentMCMC().fit(BIG, BIG[:, 0], None, BIG[None]),
                         RuntimeError, f"TournamentMCMC.fit: R2 must be None or {MATRIX}, got an "
                         "array of shape (1, 40, 3) and dtype float64"),
    # A sequence of the wrong length: the signature and every argument, described.
    "structure": (lambda: dc.build_penalty_matrices_nd([1], [(0.0, 1.0, 2.0)]), TypeError,
                  "build_penalty_matrices_nd: arguments do not convert to "
                  "build_penalty_matrices_nd(degrees: list[int], bounds: collections.abc.Sequence["
                  "tuple[typing.SupportsFloat | typing.SupportsIndex, typing.SupportsFloat | "
                  "typing.SupportsIndex]], n_grid_per_dim: int = 30); got degrees=a list of shape "
                  "(1,), bounds=a list of shape (1, 3), n_grid_per_dim=int 30"),
}


@pytest.mark.parametrize("call, error, message", CONVERSIONS.values(), ids=CONVERSIONS.keys())
def test_conversion_errors_name_the_argument_and_what_it_got(call, error, message):
    with pytest.raises(error) as info:
        call()
    assert str(info.value) == message and "123.25" not in message


@pytest.mark.parametrize("action", ["error", "ignore"])
@pytest.mark.parametrize("value", [np.array([0.5]), np.array([[0.5]]), np.zeros(0),
                                   np.array(0.5 + 0j)], ids=["1", "1x1", "empty", "0-d-complex"])
def test_arrays_are_not_numbers_on_any_numpy(value, action):
    # Older NumPy converts a one-element array to a float, newer ones warn first or refuse.
    with warnings.catch_warnings():
        warnings.simplefilter(action)
        with pytest.raises(TypeError, match=r"eps must be a real number, got an array of shape"):
            dc.compute_sr([1.0], [1.0], value)
    assert dc.compute_sr([1.0], [1.25], np.array(0.5)) == 1.0  # a 0-d array is a number


def test_reprs_show_values_and_settings():
    t = dc.TournamentMCMC(4, 10, 20, 2, 0.125, 7, 2**64 - 1)
    assert repr(t) == ("TournamentMCMC(n_chains=4, n_warmup=10, n_deep=20, n_elite=2, "
                       "step_size=0.125, H_piH=7, seed=18446744073709551615)")
    g = dc.gibbs_entropy([0.0, 1.0], 2.0)
    assert repr(g) == (f"GibbsResult(H={g.H!r}, Hmax={g.Hmax!r}, He={g.He!r}, "
                       f"r_heat={g.r_heat!r}, var_E={g.var_E!r}, T=2.0)")
    r = t.fit(X, Y)
    assert repr(r) == (f"MCMCResult(beta_mcmc={r.beta_mcmc!r}, energy={r.energy!r}, "
                       f"gibbs={r.gibbs!r}, n_chains=4, n_elite=2)")
