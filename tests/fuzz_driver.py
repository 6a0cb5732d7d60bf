"""Fuzz driver for dorv_core, run as a script in its own process (tests/test_fuzz.py starts it).

Each case calls one of the fifteen functions, the TournamentMCMC constructor or fit with
generated arguments, keyword arguments among them and checks that the call returns a result of the documented shape or raises
TypeError, ValueError, MemoryError or RuntimeError; that TypeError comes exactly when an
argument does not convert (RuntimeError when an optional matrix does not); that the call emits
no warning and leaves its array arguments unchanged. Case i of seed s comes from
default_rng([s, i]) alone, so `--case i` replays it. Each case is printed before it runs: after
a crash, or a hang ended by the watchdog, the last line of the output names the offending call.

Work per call is kept small. Huge sizes are huge beyond the machine's memory and must be refused
at once. Settings that make a call long (a grid or a run of 2**31 - 1 steps) are stopped by a
SIGALRM whose handler raises: every call is bounded by `--alarm` seconds, and a call so stopped
counts as `stopped`.
"""

import argparse
import ctypes
import faulthandler
import gc
import math
import operator
import os
import re
import resource
import signal
import sys
import tempfile
import warnings

import numpy as np

import dorv_core as dc

ALLOWED = (TypeError, ValueError, MemoryError, RuntimeError)
PHYS = os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
HUGE = PHYS // 2  # a count of doubles needing four times the machine's memory
I32, U64 = (-2**31, 2**31 - 1), (0, 2**64 - 1)
# Integer edges that are refused or harmless wherever they appear; 2**31 - 1 is left to the
# few cases that pick it on purpose, since a call it makes long runs until the alarm.
INT_EDGES = [-2**31, 2**31, -2**31 - 1, 2**32 + 3, 2**63, 2**64 - 1, 2**64, -2**64, 10**30]
SPECIAL = [np.nan, np.inf, -np.inf, 0.0, -0.0, 1e308, -1e308, 5e-324]
ODD_FLOATS = SPECIAL + [2**64, np.float32(0.25), np.longdouble(1.5), np.int64(-4), True,
                        np.array(0.5), np.float16(2.0)]
BAD_FLOATS = ["1.0", None, 1j, np.complex128(1.0), np.complex64(1.0), [1.0], np.array([1.0]),
              10**400, object()]
BAD_INTS = [2.0, 2.5, np.float64(3.0), np.float32(1.0), "3", None, 1j, [1], np.array([2])]
JUNK = [None, 3.0, 7, "abc", b"ab", {}, object(), np.array(1.5), np.zeros((2, 2, 2)),
        [[1.0, 2.0], [3.0]], [1.0, None], ["a", "b"], np.array(["1.5", "x"]), [[[1.0]]]]
GOOD_FORMS = ["f8", "f8", "f8", "fortran", "strided", "flipped", "int64", "uint64", "int8",
              "bool", "f4", "f2", ">f8", "longdouble", "readonly", "object", "str", "list",
              "tuple"]
BAD_FORMS = ["complex0", "complex", "object_bad", "ragged"]


class Alarm(Exception):
    """Raised by the SIGALRM handler that bounds every call."""


def on_alarm(signum, frame):
    raise Alarm


# Which values convert, by the argument kinds of the module's signatures.

def floats_of(v, matrix):
    """Shape that v converts to as a Matrix (matrix=True) or Vector length, else None."""
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            a = np.asarray(v)
            if a.dtype.kind == "c" or a.ndim not in (1, 2):
                return None
            if a.size < 10**6:
                a.astype(np.float64)
    except (TypeError, ValueError, OverflowError, Warning):
        return None
    if matrix:
        return a.shape if a.ndim == 2 else (a.shape[0], 1)
    return a.shape[0] if a.ndim == 1 or a.shape[1] == 1 else None


def is_int(v, lo=I32[0], hi=I32[1]):
    if isinstance(v, float) or not hasattr(type(v), "__index__"):
        return False
    try:
        return lo <= operator.index(v) <= hi
    except TypeError:
        return False


def is_float(v):
    if type(v) is float:
        return True
    if isinstance(v, (str, bytes, complex, np.complexfloating)):
        return False
    if isinstance(v, np.ndarray) and v.ndim > 0:  # refused on every NumPy, not only on newer ones
        return False
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            float(v)
        return True
    except (TypeError, ValueError, OverflowError, Warning):
        return False


def is_seq(v):
    return isinstance(v, (list, tuple)) or isinstance(v, np.ndarray) and v.ndim >= 1


CONVERTS = {
    "vector": lambda v: floats_of(v, False) is not None,
    "matrix": lambda v: floats_of(v, True) is not None,
    "int": is_int,
    "seed": lambda v: isinstance(v, int) and is_int(v, *U64),  # Python ints only
    "float": is_float,
    "ints": lambda v: is_seq(v) and all(map(is_int, v)),
    "multi": lambda v: is_seq(v) and all(is_seq(m) and all(map(is_int, m)) for m in v),
    "vectors": lambda v: is_seq(v) and all(CONVERTS["vector"](x) for x in v),
    "bounds": lambda v: is_seq(v) and all(is_seq(b) and len(b) == 2 and all(map(is_float, b))
                                          for b in v),
    "optional": lambda v: v is None or CONVERTS["matrix"](v),
    "optional_vector": lambda v: v is None or CONVERTS["vector"](v),
    "optional_float": lambda v: v is None or is_float(v),
}


class Gen:
    """Seeded generator of argument values; a clean case draws only values that convert."""

    def __init__(self, rng):
        self.rng = rng
        self.clean = self.p(0.6)

    def dirty(self, prob):
        return not self.clean and self.p(prob)

    def p(self, prob):
        return self.rng.random() < prob

    def pick(self, seq):
        return seq[int(self.rng.integers(len(seq)))]

    def n(self, hi=8):
        """A length; numbers of rows (hi >= 8) are now and then long."""
        return self.pick([0, 1, 2, 3, 4, 5, hi, int(self.rng.integers(hi + 1))] +
                         ([64, 1000] if hi >= 8 else []))

    def values(self, shape):
        a = self.rng.normal(0.0, 3.0, shape)
        if a.size and self.p(0.3):
            a.flat[self.rng.integers(a.size, size=1 + a.size // 4)] = self.pick(SPECIAL)
        return a

    def dress(self, a, form=None):
        """a, a float64 array, in one of the forms a caller may pass."""
        form = form or self.pick(BAD_FORMS if self.dirty(0.2) else GOOD_FORMS)
        finite = np.nan_to_num(a, posinf=1e300, neginf=-1e300)
        if form == "fortran":
            return np.asfortranarray(a)
        if form == "strided":
            big = np.zeros(tuple(2 * s + 1 for s in a.shape))
            big[tuple(slice(1, None, 2) for _ in a.shape)] = a
            return big[tuple(slice(1, None, 2) for _ in a.shape)]
        if form == "flipped":
            return np.flip(np.flip(a).copy())
        if form == "bool":
            return finite > 0
        if form in ("int64", "uint64", "int8"):
            info = np.iinfo(form)
            with np.errstate(invalid="ignore"):
                return np.clip(np.round(finite), info.min, info.max).astype(form)
        if form in ("f4", "f2", ">f8", "longdouble"):
            with np.errstate(over="ignore"):
                return a.astype(form)
        if form == "readonly":
            a.setflags(write=False)
            return a
        if form.startswith("complex"):
            return a + (1j if form == "complex" else 0j)
        if form.startswith("object"):
            o = a.astype(object)
            if o.size:
                o.flat[0] = 2**70 if form == "object" else self.pick(["x", None, 1j])
            return o
        if form == "str":
            return a.astype(str)
        if form == "ragged" and a.ndim == 2 and a.shape[0] >= 2 and a.shape[1] >= 1:
            rows = a.tolist()
            rows[-1] = rows[-1][:-1]
            return rows
        if form == "tuple":
            return tuple(map(tuple, a)) if a.ndim == 2 else tuple(a.tolist()) if a.ndim else a
        return a.tolist() if form in ("list", "ragged") else a

    def huge(self, ndim):
        """A broadcast view whose copy needs more memory than the machine has."""
        return np.broadcast_to(np.float64(1.0), (HUGE,) if ndim == 1 else (math.isqrt(HUGE),) * 2)

    def array(self, shapes):
        if self.dirty(0.1):
            return self.pick(JUNK)
        if self.p(0.02):
            return self.huge(len(shapes[0][0]))
        return self.dress(self.values(self.pick(shapes[self.dirty(0.3)])))

    def vector(self, n=None):
        n = self.n() if n is None else n
        return self.array([[(n,), (n,), (n,), (n, 1)], [(1, n), (n, 2), (n, 1, 1), ()]])

    def matrix(self, m=None, k=None):
        m, k = self.n() if m is None else m, self.n(5) if k is None else k
        return self.array([[(m, k), (m, k), (m,), (k, m)], [(m, k, 1), ()]])

    def int_(self, lo, hi):
        if self.dirty(0.1):
            return self.pick(INT_EDGES)
        if self.dirty(0.1):
            return self.pick(BAD_INTS)
        v = int(self.rng.integers(lo, hi + 1)) if not self.p(0.03) else -2**31
        return self.pick([v, v, v, np.int64(v)])

    def float_(self):
        if self.p(0.1):
            return self.pick(ODD_FLOATS)
        if self.dirty(0.1):
            return self.pick(BAD_FLOATS)
        return float(self.rng.normal(0.0, 2.0))

    def optional(self, p):
        if p > 64:  # beside a huge argument
            return self.pick([None, self.huge(2)])
        return None if self.p(0.3) else self.matrix(*self.pick([(p, p), (p, p), (p + 1, p),
                                                                (0, 0)]))

    def weights(self, m):
        """Sample weights for m rows: positive, or now and then with a zero, a negative, NaN
        or the wrong length."""
        w = self.rng.uniform(0.1, 5.0, self.pick([m, m, m, m + 1]))
        if w.size and self.p(0.2):
            w[self.rng.integers(w.size)] = self.pick([0.0, -1.0, np.nan, np.inf, 5e-324])
        return self.dress(w) if self.p(0.5) else w

    def keywords(self, options):
        """Each of the (name, kind, make) options as a keyword argument, half of them."""
        return [(kind, make(), name) for name, kind, make in options if self.p(0.5)]

    def trailing(self, required, optional):
        """The required arguments and a random number of the optional ones, in order."""
        count = self.pick(range(len(optional) + 1)) if self.p(0.5) else len(optional)
        return required + [make() for make in optional[:count]]


# Generators: each returns the (kind, value) arguments and a check of a successful result.

def scalar(r):
    assert isinstance(r, float), f"expected a float, got {type(r).__name__}"


def array(r, shape):
    assert isinstance(r, np.ndarray) and r.dtype == np.float64, f"expected an array, got {r!r}"
    assert r.shape == shape, f"expected shape {shape}, got {r.shape}"


def square_pair(r, M):
    assert isinstance(r, tuple) and len(r) >= 2, f"expected a tuple, got {r!r}"
    array(r[0], (M, M)), array(r[1], (M, M))


def gen_mad(g):
    return [("vector", g.vector())], scalar


def gen_compute_sr(g):
    n = g.n()
    return [("vector", g.vector(g.pick([n, n, n + 1, max(n - 1, 0)]))), ("vector", g.vector(n)),
            ("float", g.float_())], scalar


def gen_mdl_score(g):
    n = g.n()
    args = [("vector", g.vector(n)), ("vector", g.vector(g.pick([n, n, n + 1, max(n - 1, 0)]))),
            ("int", g.int_(-3, 10))]
    return g.trailing(args, [lambda: ("int", g.int_(-2, 40))]), scalar


def gen_mdl_score_reg(g):
    n, p = g.n(), g.n(4)
    args = [("vector", g.vector(n)), ("vector", g.vector(n)), ("int", g.int_(-3, 10)),
            ("int", g.int_(-2, 40)), ("vector", g.vector(p)),
            ("matrix", g.matrix(*g.pick([(p, p), (p, p + 1), (0, 0)]))),
            ("matrix", g.matrix(p, p))]
    return g.trailing(args, [lambda: ("float", g.float_())] * 2), scalar


def degree(g, hi):
    """A degree, now and then one so large that its matrices cannot fit in memory."""
    if g.p(0.1):
        return g.pick([2**31 - 1, 2**30 + 7, 1 << 21]), True
    return g.int_(-3, hi), False


def gen_design_matrix_1d(g):
    deg, huge = degree(g, 12)
    x = g.vector(g.pick([0, 2 * HUGE // (deg + 1) + 1]) if huge else None)
    return [("int", deg), ("vector", x)], lambda r: array(r, (floats_of(x, False), deg + 1))


def gen_smoothness_penalty_matrices_1d(g):
    deg, huge = degree(g, 10)
    n_grid = g.pick([2**31 - 1, -2**31]) if huge or g.p(0.05) else g.int_(-2, 200)
    args = g.trailing([("int", deg), ("float", g.float_()), ("float", g.float_())],
                      [lambda: ("int", n_grid)])

    def check(r):
        square_pair(r, deg + 1)
        assert len(r) == 2, f"expected a pair, got {len(r)} items"
    return args, check


def gen_boundary_reduce_1d(g):
    deg, _ = degree(g, 30)
    return [("int", deg), ("float", g.float_()), ("float", g.float_())], \
        lambda r: array(r, (deg + 1, deg + 1))


def gen_design_matrix_nd(g):
    D, n, M = g.pick([0, 1, 1, 2, 3]), g.n(6), g.n(6)
    if g.p(0.03):  # n x M beyond memory, from small inputs
        X_cols, mi = [np.zeros(1 << 16)], [[1]] * (2 * HUGE // (1 << 16) + 1)
    else:
        X_cols = [g.vector(g.pick([n, n, n, n + 1])) for _ in range(D)]
        if g.p(0.2):  # a 2-d array is read row by row
            X_cols = g.dress(g.values((D, n)), g.pick(["f8", "fortran", "int64", "list"]))
        mi = [[g.int_(-3, 6) for _ in range(g.pick([D, D, D, D + 1, max(D - 1, 0)]))]
              for _ in range(M)]
        mi = g.pick(JUNK) if g.p(0.05) else mi
    return [("multi", mi), ("vectors", X_cols)], \
        lambda r: array(r, (floats_of(X_cols[0], False), len(mi)))


def gen_build_penalty_matrices_nd(g):
    D = g.pick([0, 1, 1, 2, 2, 3])
    degrees, n_grid = [g.int_(-1, 3) for _ in range(D)], g.int_(-1, 25)
    if g.p(0.04):
        degrees, n_grid = [0] * 300_000, 2  # many variables, a single basis function
    elif g.p(0.04):
        degrees = [g.pick([2**31 - 1, 1 << 20])] + degrees[1:]
    elif g.p(0.04):
        degrees, n_grid = [1 << 12] * max(D, 1), 2**31 - 1
    D = len(degrees)
    bounds = [(g.float_(), g.float_()) for _ in range(g.pick([D, D, D, D + 1]))] if D < 10 \
        else [(0.0, 1.0)] * D
    if g.p(0.1):
        bounds = g.matrix(len(degrees), 2) if g.p(0.5) else [(0.0, 1.0, 2.0)] * len(degrees)
    if g.p(0.2) and CONVERTS["ints"](degrees):
        degrees = np.array(degrees, dtype=np.int64)

    def check(r):
        M = math.prod(int(d) + 1 for d in degrees)
        square_pair(r, M)
        assert len(r) == 3 and len(r[2]) == M and all(len(m) == len(degrees) for m in r[2])
    return g.trailing([("ints", degrees), ("bounds", bounds)], [lambda: ("int", n_grid)]), check


def gen_ols(g):
    m = g.n(10)
    X, y = g.matrix(m, g.n(6)), g.vector(g.pick([m, m, m + 1]))
    if g.p(0.03):  # a result that cannot fit in memory
        X, y = np.zeros((0, HUGE)), []
    return [("matrix", X), ("vector", y)], lambda r: array(r, (floats_of(X, True)[1],))


def gen_fit_regularized_linear(g):
    m, p = g.n(10), g.n(6)
    Phi, y = g.matrix(m, p), g.vector(g.pick([m, m, m + 1]))
    if g.p(0.03):  # its p x p system cannot fit in memory
        Phi, y = np.zeros((0, math.isqrt(HUGE) + 1)), []
        return [("matrix", Phi), ("vector", y)], lambda r: array(r, "refusal")
    p = (floats_of(Phi, True) or (0, p))[1]
    args = g.trailing([("matrix", Phi), ("vector", y)],
                      [lambda: ("optional", g.optional(p))] * 2 + [lambda: ("float", g.float_())] * 3)
    m = (floats_of(Phi, True) or (m, p))[0]
    args += g.keywords([("sample_weight", "optional_vector", lambda: g.weights(m))])
    return args, lambda r: array(r, (p,))


def gen_fit_robust_linear(g):
    m, p = g.n(10), g.n(6)
    Phi, y = g.matrix(m, p), g.vector(g.pick([m, m, m + 1]))
    if g.p(0.03):  # its copy, or its p x p systems, cannot fit in memory
        Phi = g.pick([g.huge(2), np.zeros((0, math.isqrt(HUGE) + 1))])
        return [("matrix", Phi), ("vector", np.zeros(Phi.shape[0]))], \
            lambda r: array(r, "refusal")
    m, p = floats_of(Phi, True) or (m, p)
    args = g.trailing([("matrix", Phi), ("vector", y)],
                      [lambda: ("optional", g.optional(p))] * 2 + [lambda: ("float", g.float_())] * 3)
    args += g.keywords([
        ("init", "optional_vector", lambda: g.vector(g.pick([p, p, p, p + 1]))),
        ("scale", "optional_float",
         lambda: g.pick([None, g.float_(), 0.0] + [float(g.rng.uniform(0.01, 2.0))] * 3)),
        ("n_starts", "int", lambda: g.int_(1, 20) if g.p(0.9) else g.int_(-1, 0)),
        ("seed", "seed", lambda: g.pick([int(g.rng.integers(50))] * 3 + [2**64 - 1, -1, 2.0])),
        ("max_iter", "int", lambda: g.int_(0, 60) if g.p(0.9) else -1),
        ("sample_weight", "optional_vector", lambda: g.weights(m))])

    def check(r):
        array(r.coef, (p,)), array(r.weights, (m,)), scalar(r.scale)
        assert r.inlier_mask.dtype == bool and r.inlier_mask.shape == (m,), "inlier_mask"
        assert not r.coef.flags.writeable, "coef is writable"
        assert type(r.n_iter) is int and type(r.converged) is bool
    return args, check


def gen_hit_tolerance(g):
    return [("float", g.float_())], scalar


def gen_inlier_scale(g):
    return [("vector", g.vector())], scalar


def gen_gibbs_entropy(g):
    fields = ("H", "Hmax", "He", "r_heat", "var_E", "T")
    return g.trailing([("vector", g.vector())], [lambda: ("float", g.float_())]), \
        lambda r: [scalar(getattr(r, f)) for f in fields]


def sampler_args(g, steps=None):
    """Constructor arguments, now and then with runs of 2**31 - 1 steps; `steps` fixes short
    ones."""
    n_chains = g.int_(0, 5) if not g.p(0.05) else g.pick([0, -1, -2**31])
    long_steps = steps is None and g.p(0.05)
    make = [lambda: ("int", n_chains),
            lambda: ("int", 2**31 - 1 if long_steps else steps or g.int_(-2, 25)),
            lambda: ("int", 2**31 - 1 if long_steps else steps or g.int_(-2, 40)),
            lambda: ("int", g.int_(-1, 6) if not g.p(0.05) else 2**31 - 1),
            lambda: ("float", g.float_()),
            lambda: ("int", g.int_(-1, 30) if not g.p(0.05) else 2**31 - 1),
            lambda: ("seed", g.int_(0, 50) if not g.p(0.1) else g.pick([2**64 - 1, -1]))]
    count = g.pick([0, 1, 3, 7, 7, 7]) if steps is None else 7
    return [f() for f in make[:count]]


def gen_TournamentMCMC(g):
    return sampler_args(g), lambda r: isinstance(r, dc.TournamentMCMC) or array(r, "sampler")


def gen_fit(g):
    if g.p(0.04):  # sizes beyond memory with empty inputs: every chain would hold k doubles
        ctor = sampler_args(g, steps=1)
        ctor[0] = ("int", g.pick([1, 2, 2**31 - 1]))
        X, y = np.zeros((0, g.pick([HUGE, 2**31 - 1, 2**31, 2**32 + 3]))), []
        return (ctor, [("matrix", X), ("vector", y)]), lambda r: array(r, "refusal")
    else:
        ctor, n, k = sampler_args(g), g.n(12), g.n(3)
        X, y = g.matrix(n, k), g.vector(g.pick([n, n, n, n + 1]))
    k = (floats_of(X, True) or (0, 0))[1]
    args = g.trailing([("matrix", X), ("vector", y)], [lambda: ("optional", g.optional(k))] * 2
                      + [lambda: ("float", g.float_())] * 2)
    n_chains = ctor[0][1] if ctor else 25

    def check(r):
        array(r.beta_mcmc, (k,))
        assert not r.beta_mcmc.flags.writeable, "beta_mcmc is writable"
        scalar(r.energy), scalar(r.gibbs.H)
        assert r.n_chains == n_chains, f"n_chains {r.n_chains}, expected {n_chains}"
    return (ctor, args), check


TARGETS = ["mad", "compute_sr", "mdl_score", "mdl_score_reg", "hit_tolerance", "inlier_scale",
           "design_matrix_1d", "smoothness_penalty_matrices_1d", "boundary_reduce_1d",
           "design_matrix_nd", "build_penalty_matrices_nd", "ols", "fit_regularized_linear",
           "fit_robust_linear", "gibbs_entropy", "TournamentMCMC", "fit"]


# Running a case.

def short(v):
    if isinstance(v, np.ndarray):
        head = np.array2string(v.ravel()[:4], precision=3) if v.size < 10**6 else "..."
        return f"array(shape={v.shape}, dtype={v.dtype}, strides={v.strides}, {head})"
    if isinstance(v, (list, tuple)):
        items = [short(x) for x in v[:4]] + ([f"... {len(v)} items"] if len(v) > 4 else [])
        return ("[%s]" if isinstance(v, list) else "(%s)") % ", ".join(items)
    return repr(v)


def values(named_args):
    """The positional arguments: (kind, value) pairs; keyword ones are (kind, value, name)."""
    return [a[1] for a in named_args if len(a) == 2]


def keywords(named_args):
    return {a[2]: a[1] for a in named_args if len(a) == 3}


def shown(named_args):
    return ", ".join([short(v) for v in values(named_args)]
                     + [f"{k}={short(v)}" for k, v in keywords(named_args).items()])


def arrays_in(v):
    """The arrays among v and the items of its lists and tuples."""
    if isinstance(v, np.ndarray):
        yield v
    elif isinstance(v, (list, tuple)):
        for item in v:
            yield from arrays_in(item)


def run(seed, i, alarm):
    """Runs case i, stopped after `alarm` seconds; returns (outcome, failure message or None)."""
    g = Gen(np.random.default_rng([seed, i]))
    target = g.pick(TARGETS)
    named_args, check = globals()["gen_" + target](g)
    if target == "fit":
        ctor, named_args = named_args
        text = f"TournamentMCMC({', '.join(map(short, values(ctor)))}).fit"
        thunk = lambda: dc.TournamentMCMC(*values(ctor)).fit(*values(named_args))  # noqa: E731
        spec_all = ctor + named_args
    else:
        text, spec_all = target, named_args
        call = getattr(dc, target)
        thunk = lambda: call(*values(named_args), **keywords(named_args))  # noqa: E731
    print(f"case {i}: {text}({shown(named_args)})", flush=True)

    bad = [kind for kind, v, *_ in spec_all if kind != "optional" and not CONVERTS[kind](v)]
    bad_optional = [v for kind, v, *_ in named_args
                    if kind == "optional" and not CONVERTS[kind](v)]
    every = list(arrays_in([v for _, v, *_ in spec_all]))
    arrays = [a for a in every if a.size < 10**6]
    huge = [a for a in every if a.size >= 10**6]
    before = [a.copy() for a in arrays]
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            signal.setitimer(signal.ITIMER_REAL, alarm)
            try:
                result = thunk()
            finally:
                signal.setitimer(signal.ITIMER_REAL, 0.0)
        except ALLOWED as e:
            result = e
        except Alarm as e:
            result = e
        except BaseException as e:  # noqa: BLE001 - anything else is a finding
            return type(e).__name__, f"raised {type(e).__name__}: {e}"
    if caught:
        return "warning", f"warned {caught[0].category.__name__}: {caught[0].message}"
    for a, copy in zip(arrays, before):
        same = np.array_equal(a, copy, equal_nan=True) if a.dtype.kind in "fc" else \
            all(x is y for x, y in zip(a.flat, copy.flat)) if a.dtype.kind == "O" else \
            a.tobytes() == copy.tobytes()
        if not same:
            return "mutated", "changed an array argument"
    expected = TypeError if bad else RuntimeError if bad_optional else None
    if isinstance(result, MemoryError) and any(a.size >= 10**6 for a in huge):
        expected = None  # a huge argument may be refused before a bad one is reached
    if expected and not isinstance(result, expected) or not expected and \
            isinstance(result, TypeError):
        return "conversion", f"arguments {bad or 'convertible'}, optional {short(bad_optional)}:" \
            f" got {type(result).__name__}: {str(result)[:300]}"
    if isinstance(result, Alarm):
        return "stopped", None
    if isinstance(result, Exception):
        return type(result).__name__, None
    try:
        check(result)
    except AssertionError as e:
        return "result", f"wrong result: {e}"
    return "ok", None


def leaked_allocations():
    """Number of unreachable allocations LeakSanitizer finds now, and its report. Needs the
    sanitizer runtime with detect_leaks=1, and PYTHONMALLOC=malloc so that it can see the
    pointers held by Python objects."""
    gc.collect()
    with tempfile.TemporaryFile() as report:
        sys.stderr.flush()
        saved = os.dup(2)
        os.dup2(report.fileno(), 2)
        try:
            ctypes.CDLL(None).__lsan_do_recoverable_leak_check()
        finally:
            os.dup2(saved, 2)
            os.close(saved)
        report.seek(0)
        text = report.read().decode(errors="replace")
    counts = re.findall(r"leaked in (\d+) allocation", text)
    return (int(counts[-1]) if counts else 0), text


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--seed", type=int, default=1234)
    ap.add_argument("--cases", type=int, default=2000)
    ap.add_argument("--case", type=int, help="run this case only")
    ap.add_argument("--timeout", type=float, default=60.0,
                    help="seconds allowed per case before the watchdog ends the run")
    ap.add_argument("--alarm", type=float, default=2.0,
                    help="seconds after which a SIGALRM stops a call")
    ap.add_argument("--leak-check", action="store_true",
                    help="run the cases three times under LeakSanitizer; fail if the third "
                    "pass, once every cache is warm, leaves more unreachable memory")
    opts = ap.parse_args()
    faulthandler.enable()
    signal.signal(signal.SIGALRM, on_alarm)
    # An address-space cap, so that a size that slips past the module's memory checks fails in
    # malloc rather than filling the machine. AddressSanitizer cannot start under one; its own
    # limit on single allocations (tools/sanitize.sh) stands in for it.
    if "libasan" not in os.environ.get("LD_PRELOAD", ""):
        resource.setrlimit(resource.RLIMIT_AS, (8 << 30, resource.getrlimit(resource.RLIMIT_AS)[1]))
    indices = [opts.case] if opts.case is not None else range(opts.cases)
    tally, failures, leaks = {}, 0, []
    for _ in range(3 if opts.leak_check else 1):
        for i in indices:
            faulthandler.dump_traceback_later(opts.timeout, exit=True)
            outcome, failure = run(opts.seed, i, opts.alarm)
            faulthandler.cancel_dump_traceback_later()
            tally[outcome] = tally.get(outcome, 0) + 1
            if failure:
                failures += 1
                print(f"FAIL case {i}: {failure}", flush=True)
            if i % 250 == 0:
                gc.collect()
        if opts.leak_check:
            leaks.append(leaked_allocations())
    if opts.leak_check:
        print("leak check: unreachable allocations after each pass: "
              + ", ".join(str(n) for n, _ in leaks))
        if leaks[2][0] > leaks[1][0]:
            failures += 1
            print(f"FAIL leak: the third pass leaked\n{leaks[2][1]}", flush=True)
    # The interpreter still works after all of it.
    assert dc.mad([1, 2, 3, 4, 100]) == 1.0
    assert dc.TournamentMCMC(2, 3, 3).fit(np.ones((3, 1)), [1.0, 2.0, 3.0]).beta_mcmc.shape == (1,)
    print(f"fuzz: {len(indices)} cases, seed {opts.seed}: "
          + ", ".join(f"{k} {v}" for k, v in sorted(tally.items())), flush=True)
    if failures:
        print(f"{failures} failed; replay one with: {sys.argv[0]} --seed {opts.seed} --case N")
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
