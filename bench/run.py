#!/usr/bin/env python3
"""Benchmarks of dorv_core against the NumPy/SciPy code a user would write instead.

Every operation is timed next to its peer on identical inputs in one process: a warm-up call of
each, then interleaved repeats (the order alternates), and the median of each. The table shows
both medians, the ratio peer/ours (above 1 means dorv_core is faster) and the largest difference
between the two results, so that a fast wrong answer shows.

    python bench/run.py              # full run, a few minutes
    python bench/run.py --quick      # about a minute
    python bench/run.py --json out.json

dorv_core must be importable, e.g. PYTHONPATH=build/<dir> for a build tree. NumPy runs at its best:
the script drops OPENBLAS_CORETYPE and OPENBLAS_L2_SIZE from its environment before NumPy loads,
and sets OPENBLAS_THREAD_TIMEOUT=4 so that NumPy's idle threads do not slow the call timed after.
DORV_KERNELS=sse2 times the portable kernels of dorv_core.
"""

from __future__ import annotations

import argparse
import collections
import importlib.util
import json
import math
import os
import platform
import resource
import statistics
import subprocess
import sys
import threading
import time

# OpenBLAS reads these when it loads: without the first two it picks its best kernel for this
# processor. Its worker threads otherwise keep spinning for up to a second after each call, taking
# a core from whatever is timed next (ours, interleaved with it: a 2-thread product of dorv_core
# ran at half speed right after NumPy's); with the shortest timeout they sleep at once.
_BLAS_ENV = {"OPENBLAS_CORETYPE": None, "OPENBLAS_L2_SIZE": None, "OPENBLAS_THREAD_TIMEOUT": "4"}
if any(os.environ.get(k) != v for k, v in _BLAS_ENV.items()):
    env = {k: v for k, v in os.environ.items() if k not in _BLAS_ENV}
    env.update({k: v for k, v in _BLAS_ENV.items() if v is not None})
    os.execve(sys.executable, [sys.executable, *sys.argv], env)

import numpy as np
import scipy
import scipy.linalg
import scipy.stats
import threadpoolctl
from numpy.polynomial import polynomial as npoly

try:
    import dorv_core as dc
except ImportError as exc:  # pragma: no cover - message for a missing build
    sys.exit(f"cannot import dorv_core ({exc}); build it and set PYTHONPATH to the build dir")


# ----------------------------------------------------------------------------------------------
# Peers: what a NumPy/SciPy user would write.


def np_hit_rate(yp, yt, eps):
    n = yt.size
    return max(np.count_nonzero(np.abs(yp[:n] - yt) < eps) / n, 1.0 / (2.0 * n))


def np_tolerance(yt):
    m = scipy.stats.median_abs_deviation(yt)
    return 0.4 * m if m > 0 else 0.4


def np_mdl(yp, yt, k, H=20, beta=None, R1=None, R2=None, gamma1=0.0, gamma2=0.0):
    n = yt.size
    sr = np_hit_rate(yp, yt, np_tolerance(yt))
    score = -n * math.log(sr) + (k * math.log(2.0 * H) / n * k if k > 0 else 0.0)
    if beta is not None and gamma1 != 0.0:
        score += gamma1 * (beta @ (R1 @ beta))
    if beta is not None and gamma2 != 0.0:
        score += gamma2 * (beta @ (R2 @ beta))
    return score


def np_gibbs(E, T=1.0):
    w = np.exp(-(E - E.min()) / (T + 1e-300))
    p = w / w.sum()
    H = -np.sum(p * np.log(p + 1e-300))
    Hmax = math.log(max(E.size, 2))
    He = H / (Hmax + 1e-300)
    return np.array([H, Hmax, He, 0.01 + 0.99 * He, E.var(), T])


def np_design_nd(E, X):
    """Product of powers: per-variable power tables, gathered by the exponents and multiplied."""
    Phi = None
    for d in range(X.shape[1]):
        table = X[:, d : d + 1] ** np.arange(E[:, d].max() + 1)
        Phi = table[:, E[:, d]] if Phi is None else Phi * table[:, E[:, d]]
    return Phi


def np_penalty_1d(deg, x_min, x_max, n_grid):
    """The grid sums written as two Gram products of derivative tables."""
    dx = (x_max - x_min) / (n_grid - 1)
    x = x_min + np.arange(n_grid) * dx
    p = np.arange(deg + 1, dtype=float)
    d1 = np.where(p >= 1, p * x[:, None] ** np.maximum(p - 1, 0), 0.0)
    d2 = np.where(p >= 2, p * (p - 1) * x[:, None] ** np.maximum(p - 2, 0), 0.0)
    return dx * (d1.T @ d1), dx * (d2.T @ d2)


def np_boundary(deg, a, b):
    p = np.arange(deg + 1, dtype=float)

    def rows(x):
        r1 = np.where(p >= 1, p * x ** np.maximum(p - 1, 0), 0.0)
        r2 = np.where(p >= 2, p * (p - 1) * x ** np.maximum(p - 2, 0), 0.0)
        return r1, r2

    a1, a2 = rows(a)
    b1, b2 = rows(b)
    Rb = np.outer(b2, b1) - np.outer(a2, a1)
    return 0.5 * (Rb + Rb.T)


def np_penalty_nd(degrees, bounds, n_grid):
    """The literal build: per-variable derivative tables, every basis derivative at every grid
    point as a product of table entries, then one Gram product per derivative pattern."""
    D = len(degrees)
    E = np.array(np.meshgrid(*[np.arange(d + 1) for d in degrees], indexing="ij")).reshape(D, -1).T
    dV = np.prod([(hi - lo) / (n_grid - 1) for lo, hi in bounds])
    # grid point g has variable 0 fastest
    gk = np.array(np.meshgrid(*[np.arange(n_grid)] * D, indexing="ij")).reshape(D, -1)[::-1]
    tabs = []
    for d, (lo, hi) in enumerate(bounds):
        x = np.linspace(lo, hi, n_grid)[:, None]
        p = np.arange(degrees[d] + 1, dtype=float)[None, :]
        tabs.append([x**p, np.where(p >= 1, p * x ** np.maximum(p - 1, 0), 0.0),
                     np.where(p >= 2, p * (p - 1) * x ** np.maximum(p - 2, 0), 0.0)])

    def gram(orders):
        A = np.ones((gk.shape[1], E.shape[0]))
        for d in range(D):
            A *= tabs[d][orders[d]][gk[d]][:, E[:, d]]
        return A.T @ A

    eye = np.eye(D, dtype=int)
    R1 = dV * sum(gram(eye[i]) for i in range(D))
    R2 = dV * sum(gram(eye[i] + eye[j]) for i in range(D) for j in range(D))
    return R1, R2, E.tolist()


def np_normal_equations(Phi, y, R1, R2, gamma1, gamma2, ridge):
    n = y.size
    A = Phi.T @ Phi
    A[np.diag_indices_from(A)] += ridge
    A += (n * gamma1) * R1 + (n * gamma2) * R2
    return scipy.linalg.solve(A, Phi.T @ y, assume_a="sym")


class NumpyTournament:
    """The three sampler stages written plainly in NumPy, with the same settings, schedule and
    number of energy evaluations (its random streams differ, so its answer does too)."""

    def __init__(self, n_chains=25, n_warmup=200, n_deep=2000, n_elite=5, step_size=0.05,
                 H_piH=20, seed=42):
        self.n_chains, self.n_warmup, self.n_deep = n_chains, n_warmup, n_deep
        self.n_elite, self.step, self.H, self.seed = n_elite, step_size, H_piH, seed
        self.evaluations = 0

    def fit(self, X, y):
        n, k = X.shape
        eps = np_tolerance(y)
        complexity = k * math.log(2.0 * self.H) / n * k if k > 0 else 0.0

        def energy(b):
            self.evaluations += 1
            hits = np.count_nonzero(np.abs(X @ b - y) < eps)
            return -n * math.log(max(hits / n, 0.5 / n)) + complexity

        def run(b, e, T, cool, scale, steps, rng, best=None):
            for _ in range(steps):
                bc = b + rng.normal(0.0, scale, k)
                ec = energy(bc)
                if ec < e or rng.random() < math.exp(min((e - ec) / T, 0.0)):
                    b, e = bc, ec
                if best is not None and e < best[1]:
                    best[:] = [b, e]
                T *= cool
            return b, e, T

        chains = []
        for c in range(self.n_chains):
            rng = np.random.default_rng(self.seed + 1000 * c)
            b = rng.normal(0.0, 0.5, k)
            chains.append(run(b, energy(b), 2.0, 0.995, self.step, self.n_warmup, rng)[:2])
        energies = np.array([e for _, e in chains])
        gb = np_gibbs(energies, 1.0)
        ranked = [chains[i] for i in np.argsort(energies, kind="stable")]
        elite = [ranked[0]]
        for b, e in ranked[1:]:
            if len(elite) >= self.n_elite:
                break
            if all(np.linalg.norm(b - eb) > 0.1 for eb, _ in elite):
                elite.append((b, e))
        i = len(elite)
        while i < len(ranked) and len(elite) < self.n_elite:
            elite.append(ranked[i])
            i += 1
        best = [elite[0][0], elite[0][1]]
        T = 0.5 * gb[3]
        for ei, (b, e) in enumerate(elite):
            rng = np.random.default_rng(self.seed + 7777 + 13 * ei)
            T = run(b, e, T, 0.9997, 0.3 * self.step, self.n_deep, rng, best)[2]
        return best[0], best[1], len(elite)


# ----------------------------------------------------------------------------------------------
# Cases


def sm_biweight(Phi, y):
    """Iteratively reweighted least squares with Tukey's biweight (c = 4.685) from the
    least-squares start, its scale re-estimated by the MAD at every step."""
    import statsmodels.api as sm

    return sm.RLM(y, Phi, M=sm.robust.norms.TukeyBiweight()).fit().params


def max_diff(a, b):
    """Largest absolute and relative difference of two results (arrays, tuples or floats)."""
    if isinstance(a, (tuple, list)) and isinstance(b, (tuple, list)):
        pairs = [max_diff(x, y) for x, y in zip(a, b, strict=True)]
        return max(p[0] for p in pairs), max(p[1] for p in pairs)
    a, b = np.asarray(a, dtype=float), np.asarray(b, dtype=float)
    if a.shape != b.shape:
        return math.inf, math.inf
    if a.size == 0:
        return 0.0, 0.0
    d = float(np.max(np.abs(a - b)))
    scale = float(np.max(np.abs(b)))
    return d, d / scale if scale > 0 else d


def gibbs_tuple(g):
    return np.array([g.H, g.Hmax, g.He, g.r_heat, g.var_E, g.T])


def make_cases():
    """Each case: name, size label, target (min ratio peer/ours or None), ours, peer, diff."""
    rng = np.random.default_rng(1234)
    n = 10**6
    cases = []

    def add(name, size, target, ours, peer, diff=max_diff):
        cases.append(dict(name=name, size=size, target=target, ours=ours, peer=peer, diff=diff))

    y = rng.normal(size=n)
    yp = y + rng.normal(scale=0.5, size=n)
    add("mad", "n=1e6", 3.0, lambda: dc.mad(y), lambda: scipy.stats.median_abs_deviation(y))
    add("compute_sr", "n=1e6", 3.0, lambda: dc.compute_sr(yp, y, 0.3),
        lambda: np_hit_rate(yp, y, 0.3))
    add("mdl_score", "n=1e6", 4.0, lambda: dc.mdl_score(yp, y, 6),
        lambda: np_mdl(yp, y, 6))

    beta = rng.normal(size=20)
    R1, R2 = dc.smoothness_penalty_matrices_1d(19, -1.0, 1.0)
    add("mdl_score_reg", "n=1e6 p=20", None,
        lambda: dc.mdl_score_reg(yp, y, 20, 20, beta, R1, R2, 1e-3, 1e-6),
        lambda: np_mdl(yp, y, 20, 20, beta, R1, R2, 1e-3, 1e-6))

    x = rng.uniform(-1.0, 1.0, size=n)
    for deg in (5, 15):
        add("design_matrix_1d", f"n=1e6 deg={deg}", 1.5,
            lambda deg=deg: dc.design_matrix_1d(deg, x), lambda deg=deg: npoly.polyvander(x, deg))

    for degs in [(5, 5), (4, 4, 4)]:
        Xs = rng.uniform(-1.0, 1.0, size=(10**5, len(degs)))
        E = np.array(np.meshgrid(*[np.arange(d + 1) for d in degs], indexing="ij"))
        E = E.reshape(len(degs), -1).T
        mi, cols = E.tolist(), list(Xs.T.copy())
        add("design_matrix_nd", f"n=1e5 D={len(degs)} M={len(mi)}", 1.5,
            lambda mi=mi, cols=cols: dc.design_matrix_nd(mi, cols),
            lambda E=E, Xs=Xs: np_design_nd(E, Xs))

    add("smoothness_penalty_1d", "grid=600 p=20", None,
        lambda: dc.smoothness_penalty_matrices_1d(19, -1.0, 1.0, 600),
        lambda: np_penalty_1d(19, -1.0, 1.0, 600))
    add("smoothness_penalty_1d", "grid=1e6 p=20", 1.0,
        lambda: dc.smoothness_penalty_matrices_1d(19, -1.0, 1.0, n),
        lambda: np_penalty_1d(19, -1.0, 1.0, n))
    add("boundary_reduce_1d", "p=21", None, lambda: dc.boundary_reduce_1d(20, -1.0, 2.0),
        lambda: np_boundary(20, -1.0, 2.0))

    bounds = [(-1.0, 1.0), (0.0, 2.0), (-0.5, 1.5)]
    add("build_penalty_matrices_nd", "deg=(4,4,4) grid=30", 100.0,
        lambda: dc.build_penalty_matrices_nd([4, 4, 4], bounds),
        lambda: np_penalty_nd([4, 4, 4], bounds, 30),
        lambda a, b: max_diff(a[:2], b[:2]) if a[2] == b[2] else (math.inf, math.inf))

    for m, p, rank in [(10**4, 10, 10), (10**5, 30, 30), (2000, 200, 200), (2000, 40, 29)]:
        Xo = rng.normal(size=(m, rank)) @ rng.normal(size=(rank, p)) if rank < p else \
            rng.normal(size=(m, p))
        yo = Xo @ rng.normal(size=p) + rng.normal(scale=0.1, size=m)
        add("ols", f"{m}x{p}" + (f" rank {rank}" if rank < p else ""), 1.0,
            lambda X=Xo, yv=yo: dc.ols(X, yv),
            lambda X=Xo, yv=yo: np.linalg.lstsq(X, yv, rcond=None)[0])

    # Fortran order, as design_matrix_1d/_nd return it, and C order, which is read in blocks.
    for m, p, target in [(10**5, 20, 1.5), (n, 20, 1.5), (10**4, 200, 1.0)]:
        Phi = np.asfortranarray(rng.normal(size=(m, p)))
        yf = Phi @ rng.normal(size=p) + rng.normal(scale=0.1, size=m)
        S1, S2 = (R1, R2) if p == 20 else dc.smoothness_penalty_matrices_1d(p - 1, -1.0, 1.0)
        for order, P in [("F", Phi), ("C", np.ascontiguousarray(Phi))]:
            add("fit_regularized_linear", f"{m:.0e}x{p} {order}".replace("e+0", "e"), target,
                lambda P=P, yf=yf, S1=S1, S2=S2: dc.fit_regularized_linear(P, yf, S1, S2, 1e-3,
                                                                           1e-6),
                lambda P=P, yf=yf, S1=S1, S2=S2: np_normal_equations(P, yf, S1, S2, 1e-3, 1e-6,
                                                                     1e-10))

    # 10 % gross outliers, which the peer's least-squares start still survives.
    for m in (300, 10**5):
        Pr = dc.design_matrix_1d(9, rng.uniform(-1.0, 1.0, m))
        yr = Pr @ rng.normal(size=10) + rng.normal(scale=0.1, size=m)
        yr[rng.random(m) < 0.1] += 20.0
        add("fit_robust_linear", f"m={m:.0e} p=10 vs RLM".replace("e+0", "e"), None,
            lambda P=Pr, yv=yr: dc.fit_robust_linear(P, yv).coef,
            lambda P=Pr, yv=yr: sm_biweight(P, yv))

    En = rng.normal(size=n) * 10.0
    add("gibbs_entropy", "N=1e6", None, lambda: gibbs_tuple(dc.gibbs_entropy(En)),
        lambda: np_gibbs(En))

    Xm, ym = sampler_problem()
    add("TournamentMCMC.fit", "defaults n=200 k=6", 20.0,
        lambda: dc.TournamentMCMC().fit(Xm, ym), lambda: NumpyTournament().fit(Xm, ym),
        lambda a, b: (abs(a.energy - numpy_energy(Xm, ym, np.asarray(a.beta_mcmc))), 0.0))
    return cases


def sampler_problem(n=200, k=6):
    rng = np.random.default_rng(1234)
    X = rng.normal(size=(n, k))
    y = X @ rng.normal(size=k) + rng.normal(scale=0.2, size=n)
    return X, y


def numpy_energy(X, y, b, H=20):
    """The sampler's energy of b recomputed in NumPy: the diff column of the sampler row."""
    return np_mdl(X @ b, y, X.shape[1], H)


def sampler_evaluations(n_chains=25, n_warmup=200, n_deep=2000, n_elite=5):
    return n_chains * (1 + n_warmup) + max(1, min(n_elite, n_chains)) * n_deep


def arithmetic_per_evaluation(X, y, reps):
    """Time per evaluation of the energy's arithmetic alone (X b and the hit pass), done in bulk by
    NumPy's vectorised kernels over a batch of vectors, so that no per-call overhead counts."""
    rng = np.random.default_rng(1234)
    B = rng.normal(size=(X.shape[1], 256))
    yc = y[:, None]
    times = []
    for _ in range(reps):
        t0 = time.perf_counter()
        np.count_nonzero(np.abs(X @ B - yc) < 0.3, axis=0)
        times.append(time.perf_counter() - t0)
    return statistics.median(times) / B.shape[1]


# ----------------------------------------------------------------------------------------------
# Timing


def measure(case, repeats, budget, min_repeats):
    ours, peer = case["ours"], case["peer"]
    a, b = ours(), peer()  # warm-up, and the results to compare
    diff, rel = case["diff"](a, b)
    t_ours, t_peer = [], []
    start = time.perf_counter()
    r = 0
    while r < repeats and (r < min_repeats or time.perf_counter() - start < budget):
        order = [(ours, t_ours), (peer, t_peer)]
        for fn, ts in order if r % 2 == 0 else order[::-1]:
            t0 = time.perf_counter()
            fn()
            ts.append(time.perf_counter() - t0)
        r += 1
    mo, mp = statistics.median(t_ours), statistics.median(t_peer)
    ratio = mp / mo
    target = case["target"]
    holds = None if target is None else ratio >= target
    return dict(name=case["name"], size=case["size"], ours_ms=mo * 1e3, peer_ms=mp * 1e3,
                ratio=ratio, max_diff=diff, rel_diff=rel, repeats=r, target=target, holds=holds)


def child(kind, arg):
    """Runs in a subprocess: prints one JSON line."""
    if kind == "threads":
        return print(json.dumps(two_fits_child(int(arg))))
    if kind == "big":
        return big_child(arg)
    if kind == "sampler":
        X, y = sampler_problem()
        times, res = [], None
        for _ in range(int(arg)):
            t0 = time.perf_counter()
            res = dc.TournamentMCMC().fit(X, y)
            times.append(time.perf_counter() - t0)
        out = dict(seconds=statistics.median(times), beta=np.asarray(res.beta_mcmc).tobytes().hex(),
                   energy=res.energy.hex(), gibbs=[float(v).hex() for v in gibbs_tuple(res.gibbs)])
    elif kind == "frlmem":  # peak memory of fit_regularized_linear on a C-ordered Phi
        rng = np.random.default_rng(1)
        Phi = np.empty((int(arg), 20))
        for i in range(0, Phi.shape[0], 10**4):  # in slices: temporaries below 2 MB
            Phi[i:i + 10**4] = rng.normal(size=Phi[i:i + 10**4].shape)
        y = rng.normal(size=Phi.shape[0])
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        dc.fit_regularized_linear(Phi, y)
        after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        out = dict(rows=int(arg), growth_kib=after - before, input_kib=Phi.nbytes // 1024)
    else:  # peak memory of the N-D penalty builder at a grid size
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        dc.build_penalty_matrices_nd([4, 4, 4], [(-1.0, 1.0)] * 3, int(arg))
        after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        out = dict(grid=int(arg), growth_kib=after - before)
    print(json.dumps(out))


def run_child(kind, arg, env=None):
    cmd = [sys.executable, os.path.abspath(__file__), "--child", kind, str(arg)]
    proc = subprocess.run(cmd, env={**os.environ, **(env or {})}, capture_output=True,
                          text=True, check=True)
    return json.loads(proc.stdout.strip().splitlines()[-1])


def thread_scaling(rounds, fits):
    """Median sampler time with OMP_NUM_THREADS=1 and 2 in subprocesses, runs interleaved."""
    runs = {"1": [], "2": []}
    for _ in range(rounds):
        for t in ("1", "2"):
            runs[t].append(run_child("sampler", fits, {"OMP_NUM_THREADS": t}))
    med = {t: statistics.median(r["seconds"] for r in rs) for t, rs in runs.items()}
    keys = ("beta", "energy", "gibbs")
    results = {json.dumps([r[k] for k in keys]) for rs in runs.values() for r in rs}
    return dict(seconds_1=med["1"], seconds_2=med["2"], speedup=med["1"] / med["2"],
                identical=len(results) == 1)


def nd_memory(grids):
    return [run_child("ndmem", g) for g in grids]


# ----------------------------------------------------------------------------------------------
# Two fits in two Python threads: the sampler runs without the interpreter lock.


def two_fits_child(rounds):
    """Two TournamentMCMC fits one after the other, then the same two in two threads, `rounds`
    times (which comes first alternates); median seconds of each and whether every result is
    the same, bit for bit. The same for two NumPy matrix products, which run without the
    interpreter lock too: their ratio shows what the machine's free cores allow."""
    X, y = sampler_problem(2000, 8)
    samplers = [dc.TournamentMCMC(seed=seed) for seed in (1, 2)]
    A = np.random.default_rng(1).normal(size=(600, 600))

    def fit(i, out):
        r = samplers[i].fit(X, y)
        out[i] = (np.asarray(r.beta_mcmc).tobytes().hex(), r.energy.hex())

    def product(i, out):
        out[i] = float((A @ A)[0, 0])

    def serial(work):
        out = [None, None]
        for i in (0, 1):
            work(i, out)
        return out

    def threaded(work):
        out = [None, None]
        threads = [threading.Thread(target=work, args=(i, out)) for i in (0, 1)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        return out

    times = {(run, work): [] for run in (serial, threaded) for work in (fit, product)}
    results = []
    for r in range(rounds):
        for run in (serial, threaded) if r % 2 == 0 else (threaded, serial):
            for work in (fit, product):
                t0 = time.perf_counter()
                out = run(work)
                times[run, work].append(time.perf_counter() - t0)
                if work is fit:
                    results.append(out)
    med = {key: statistics.median(ts) for key, ts in times.items()}
    return dict(seconds_serial=med[serial, fit], seconds_threads=med[threaded, fit],
                numpy_ratio=med[threaded, product] / med[serial, product],
                identical=all(r == results[0] for r in results))


def two_thread_fits(rounds):
    out = run_child("threads", rounds, {"OMP_NUM_THREADS": "1", "OPENBLAS_NUM_THREADS": "1"})
    return dict(out, ratio=out["seconds_threads"] / out["seconds_serial"])


# ----------------------------------------------------------------------------------------------
# The scikit-learn estimator: default fits of 2000 points and its overhead over the core calls


class _TimedCore:
    """Stands in for dorv_core inside dorv.estimator and adds up the time of every call."""

    def __init__(self):
        self.by_name = collections.Counter()

    @property
    def seconds(self):
        return sum(self.by_name.values())

    def __getattr__(self, name):
        target = getattr(dc, name)
        if name == "TournamentMCMC":
            return lambda *a, **k: _TimedSampler(self, target(*a, **k))
        if not callable(target):
            return target

        def timed(*args, **kwargs):
            t0 = time.perf_counter()
            try:
                return target(*args, **kwargs)
            finally:
                self.by_name[name] += time.perf_counter() - t0

        return timed


class _TimedSampler:
    def __init__(self, core, sampler):
        self.core, self.sampler = core, sampler

    def fit(self, *args):
        t0 = time.perf_counter()
        try:
            return self.sampler.fit(*args)
        finally:
            self.core.by_name["TournamentMCMC.fit"] += time.perf_counter() - t0


def estimator_problem(d, n=2000, seed=20241209):
    """A smooth function of d inputs with noise of sd 0.05."""
    rng = np.random.default_rng(seed)
    X = rng.uniform(-2.0, 3.0, (n, d))
    y = np.sin(X[:, 0]) * np.cos(X[:, 1]) + rng.normal(0.0, 0.05, n)
    if d > 2:
        y += 0.25 * X[:, 2] ** 2
    return X, y


# ----------------------------------------------------------------------------------------------
# Stops on a signal: the long calls of tests/test_interrupt.py, where the tests allow a multiple
# of these figures.


def interrupt_cases():
    """The harness and the cases (name -> setup, call, seconds) of tests/test_interrupt.py."""
    import importlib.util

    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests",
                        "test_interrupt.py")
    found = importlib.util.spec_from_file_location("_interrupt_cases", path)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)  # needs pytest, as the tests do
    return module.HARNESS, module.LONG


def interrupt_section(quick):
    """Seconds from a SIGALRM to the exception of each long call, in a fresh process per call:
    the median of three signals (one with --quick), against the case's figure."""
    try:
        harness, cases = interrupt_cases()
    except ImportError as exc:
        print(f"\nstops on a signal: skipped ({exc})")
        return {"skipped": str(exc)}
    tries = 1 if quick else 3
    print(f"\nstops on a signal: seconds from SIGALRM to the exception, median of {tries}, each "
          "call in a fresh process")
    results = {}
    for name, (setup, call, bound) in cases.items():
        source = (harness + setup + f"\nfor _ in range({tries}):\n"
                  f"    print(*interrupt_once(lambda: {call}, signal.SIGALRM, 0.05))\n")
        proc = subprocess.run([sys.executable, "-c", source], capture_output=True, text=True,
                              env=os.environ.copy())
        lines = [line.split() for line in proc.stdout.splitlines()]
        if proc.returncode != 0 or any(outcome != "Alarm" for outcome, *_ in lines):
            results[name] = dict(error=(proc.stderr or proc.stdout).strip()[-200:])
            print(f"  {name:<40} failed: {results[name]['error']}")
            continue
        stop = statistics.median(float(clock) for _, clock, _ in lines)
        results[name] = dict(seconds=stop, target=bound, holds=stop <= bound)
        print(f"  {name:<40} {stop * 1e3:8.1f} ms  <={bound * 1e3:.0f} "
              f"{'ok' if stop <= bound else 'MISSED'}", flush=True)
    return results


def estimator_section(quick):
    """Median time of a default MDLPolynomialRegressor fit of 2000 points in 2 and 3 inputs
    (targets: 2 s and 5 s), and the share of it spent outside the dorv_core calls."""
    sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    import dorv.estimator as est

    rows = []
    for d, target in ((2, 2.0), (3, 5.0)):
        X, y = estimator_problem(d)
        totals, core, parts = [], [], collections.Counter()
        for _ in range(2 if quick else 5):
            timed = _TimedCore()
            est.dc = timed
            try:
                t0 = time.perf_counter()
                model = est.MDLPolynomialRegressor(random_state=0).fit(X, y)
                totals.append(time.perf_counter() - t0)
            finally:
                est.dc = dc
            core.append(timed.seconds)
            parts.update(timed.by_name)
        total, inside = statistics.median(totals), statistics.median(core)
        rows.append(dict(inputs=d, n=len(y), seconds=total, core_seconds=inside,
                         overhead_seconds=total - inside, overhead_share=1 - inside / total,
                         candidates=len(model.candidates_["degrees"]),
                         degrees=list(model.degrees_), target_seconds=target,
                         core_share={k: v / sum(parts.values()) for k, v in parts.most_common()},
                         holds=total < target))
    print("\nMDLPolynomialRegressor, default fit of 2000 points:")
    for r in rows:
        print(f"  {r['inputs']} inputs: {r['seconds']:.2f} s (target < {r['target_seconds']:g} s "
              f"{'ok' if r['holds'] else 'MISSED'}), {r['candidates']} candidates, degrees "
              f"{tuple(r['degrees'])}; in dorv_core {r['core_seconds']:.2f} s, overhead "
              f"{r['overhead_seconds'] * 1e3:.0f} ms ({100 * r['overhead_share']:.0f} %)",
              flush=True)
        print("    dorv_core time: " + ", ".join(
            f"{k} {100 * v:.0f} %" for k, v in list(r["core_share"].items())[:4]))
    return rows


# ----------------------------------------------------------------------------------------------
# Big data: fits of 10^7 and 1.6 * 10^7 rows in this process, each in a child process of its own,
# peak memory measured above the inputs (made in slices, so that their temporaries stay small).


def spikes_curve(x):
    return 3.0 * np.sin(0.6 * x) + 0.2 * x


def spikes_data(n, seed=20250101):
    """n points in [0, 10] on a smooth curve with noise sd 0.3; 5 % of them spikes of 5 to 20."""
    rng = np.random.default_rng(seed)
    x, y = np.empty(n), np.empty(n)
    for i in range(0, n, 10**6):
        m = min(10**6, n - i)
        x[i:i + m] = rng.uniform(0.0, 10.0, m)
        y[i:i + m] = spikes_curve(x[i:i + m]) + rng.normal(0.0, 0.3, m)
        spike = rng.random(m) < 0.05
        y[i:i + m][spike] += rng.uniform(5.0, 20.0, int(spike.sum()))
    return x, y


def sky(s, t):
    return 80.0 + 12.0 * s + 8.0 * t * t - 6.0 * s * t + 4.0 * np.sin(2.5 * s) * np.cos(2.0 * t)


def sky_image(side, stars=300, seed=2024):
    """The sky image of docs/make_pictures.py at side x side pixels, row band by row band:
    pixels (n, 2) as (column, row) and counts (n)."""
    rng = np.random.default_rng(seed)
    X, y = np.empty((side * side, 2)), np.empty(side * side)
    u = np.arange(side, dtype=float)
    band = max(1, 2**20 // side)
    for r0 in range(0, side, band):
        rows = np.arange(r0, min(side, r0 + band), dtype=float)
        sl = slice(r0 * side, (r0 + rows.size) * side)
        X[sl, 0] = np.tile(u, rows.size)
        X[sl, 1] = np.repeat(rows, side)
        y[sl] = sky(X[sl, 0] / side, X[sl, 1] / side) + rng.normal(0.0, 1.0, rows.size * side)
    image = y.reshape(side, side)
    for (cu, cv), peak in zip(rng.uniform(0.0, side, (stars, 2)), rng.uniform(50.0, 1000.0, stars)):
        lo_u, hi_u = max(0, int(cu) - 6), min(side, int(cu) + 7)
        lo_v, hi_v = max(0, int(cv) - 6), min(side, int(cv) + 7)
        du = np.arange(lo_u, hi_u)[None, :] - cu
        dv = np.arange(lo_v, hi_v)[:, None] - cv
        image[lo_v:hi_v, lo_u:hi_u] += peak * np.exp(-(du * du + dv * dv) / (2 * 1.5**2))
    return X, y


def big_child(arg):
    """One fit of the big-data section: "spikes:N" (dorv's default fit), "numpy:N:DEG"
    (numpy.polynomial.Polynomial.fit) or "image:SIDE"; time, peak memory above the inputs, and
    the RMS from the truth."""
    sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    from dorv.estimator import MDLPolynomialRegressor  # imported before the clock starts

    kind, size, *rest = arg.split(":")
    n = int(size)
    X, y = sky_image(n) if kind == "image" else spikes_data(n)
    start = resource.getrusage(resource.RUSAGE_SELF)
    before = start.ru_maxrss
    t0 = time.perf_counter()
    if kind == "numpy":
        from numpy.polynomial import Polynomial

        model = Polynomial.fit(X, y, int(rest[0]))
        degrees = [int(rest[0])]
    else:
        model = MDLPolynomialRegressor().fit(X if kind == "image" else X[:, None], y)
        degrees = list(model.degrees_)
    seconds = time.perf_counter() - t0
    end = resource.getrusage(resource.RUSAGE_SELF)
    growth = end.ru_maxrss - before
    cpu = end.ru_utime + end.ru_stime - start.ru_utime - start.ru_stime
    inputs = X.nbytes + y.nbytes
    del X, y
    if kind == "image":  # the background on every fourth pixel of every fourth row
        u, v = np.meshgrid(np.arange(0, n, 4.0), np.arange(0, n, 4.0))
        grid = np.column_stack([u.ravel(), v.ravel()])
        rms = float(np.sqrt(np.mean((model.predict(grid) - sky(grid[:, 0] / n, grid[:, 1] / n)) ** 2)))
    else:
        grid = np.linspace(0.0, 10.0, 10**4)
        fitted = model(grid) if kind == "numpy" else model.predict(grid[:, None])
        rms = float(np.sqrt(np.mean((fitted - spikes_curve(grid)) ** 2)))
    print(json.dumps(dict(kind=kind, n=n if kind != "image" else n * n, seconds=seconds, cpu=cpu,
                          growth_mb=growth / 1024, input_mb=inputs / 2**20, rms=rms,
                          degrees=degrees)))


def big_data_section(quick):
    """10^7 points in one input with 5 % spikes: dorv's default fit against numpy's
    Polynomial.fit at dorv's degree (targets: time ratio <= 1.2, <= 1.5 GB above the inputs);
    a 4000 x 4000 sky image under 300 stars (targets: <= 6 s, <= 1.5 GB, background RMS at
    most 0.121, that of the 1000 x 1000 image before); the 10^6-point default fit. With
    --quick, 2 * 10^6 points and a 1500 x 1500 image."""
    n, side = (2 * 10**6, 1500) if quick else (10**7, 4000)
    rows = {}
    rows["dorv"] = run_child("big", f"spikes:{n}")
    rows["numpy"] = run_child("big", f"numpy:{n}:{rows['dorv']['degrees'][0]}")
    rows["image"] = run_child("big", f"image:{side}")
    rows["dorv_1e6"] = run_child("big", f"spikes:{10**6}")
    d, p, im = rows["dorv"], rows["numpy"], rows["image"]
    ratio = d["seconds"] / p["seconds"]
    print(f"\nbig data (load {os.getloadavg()[0]:.2f}):")
    print(f"  {n:.0e} points, 1 input, 5 % spikes: dorv {d['seconds']:.2f} s, "
          f"{d['growth_mb']:.0f} MB above the {d['input_mb']:.0f} MB inputs, degree "
          f"{d['degrees'][0]}, RMS from the truth {d['rms']:.4f}; Polynomial.fit "
          f"{p['seconds']:.2f} s, {p['growth_mb']:.0f} MB, RMS {p['rms']:.4f}; time ratio "
          f"{ratio:.2f} (target <= 1.2 {'ok' if ratio <= 1.2 else 'MISSED'}), memory "
          f"{'ok' if d['growth_mb'] <= 1500 else 'MISSED'}; CPU seconds {d['cpu']:.2f} and "
          f"{p['cpu']:.2f}")
    print(f"  {side} x {side} image, 300 stars: dorv {im['seconds']:.2f} s (target <= 6 "
          f"{'ok' if im['seconds'] <= 6 else 'MISSED'}), {im['growth_mb']:.0f} MB above the "
          f"{im['input_mb']:.0f} MB inputs ({'ok' if im['growth_mb'] <= 1500 else 'MISSED'}), "
          f"degrees {tuple(im['degrees'])}, background RMS {im['rms']:.4f} (at most 0.121 "
          f"{'ok' if im['rms'] <= 0.121 else 'MISSED'}), {im['cpu']:.2f} CPU seconds")
    r = rows["dorv_1e6"]
    print(f"  1e+06 points, 1 input, 5 % spikes: dorv {r['seconds']:.2f} s, {r['growth_mb']:.0f} MB, "
          f"RMS {r['rms']:.4f}", flush=True)
    return rows


# ----------------------------------------------------------------------------------------------
# Batch job: series per second of dorv.fit_groups in this process, on two local worker
# processes and on a two-worker Dask LocalCluster. Needs the dorv package and its batch extra.


def batch_series(n_series, n_points, seed=20240611):
    """Long table of damped sines of random frequency and phase, the series' rows interleaved."""
    import pandas as pd

    rng = np.random.default_rng(seed)
    x = rng.uniform(0.0, 10.0, (n_series, n_points))
    freq, phase = rng.uniform(0.5, 1.5, (2, n_series, 1))
    y = 1.5 + 2.0 * np.exp(-x / 5.0) * np.sin(freq * x + phase) + rng.normal(0.0, 0.05, x.shape)
    data = pd.DataFrame({"series": np.repeat(np.arange(n_series), n_points), "x": x.ravel(),
                         "y": y.ravel()})
    return data.sample(frac=1.0, random_state=1).reset_index(drop=True)


def batch_throughput(n_series, n_points, blocks=4):
    """Series per second of fit_groups: the series in blocks, each block run by every runner in
    turn (the order rotating), so that the load of a shared machine falls on all of them."""
    try:
        import pandas as pd
        from distributed import Client, LocalCluster

        from dorv.batch import fit_groups
    except ImportError as exc:
        return dict(skipped=f"{exc} (needs dorv on the path and pip install 'dorv[batch]')")
    data = batch_series(n_series, n_points)
    block = data["series"] % blocks
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster, Client(cluster) as client:
        client.run(lambda: __import__("dorv.batch"))  # worker start-up is not timed
        runners = {"n_jobs=1": dict(n_jobs=1), "n_jobs=2": dict(n_jobs=2),
                   "LocalCluster(2)": dict(client=client)}
        seconds = dict.fromkeys(runners, 0.0)
        cpu = dict.fromkeys(runners, 0.0)
        tables = {name: [] for name in runners}
        for b in range(blocks):
            names = list(runners)[b % 3:] + list(runners)[:b % 3]
            for name in names:
                c0, t0 = cpu_seconds(client), time.perf_counter()
                tables[name].append(fit_groups(data[block == b], "series", "x", "y",
                                               **runners[name]))
                seconds[name] += time.perf_counter() - t0
                cpu[name] += cpu_seconds(client) - c0
    rates = {name: n_series / t for name, t in seconds.items()}
    whole = {name: pd.concat(t, ignore_index=True) for name, t in tables.items()}
    first = whole["n_jobs=1"]
    return dict(series=n_series, points=n_points, series_per_second=rates,
                cores_used={name: cpu[name] / seconds[name] for name in runners},
                cpu_ms_per_series={name: cpu[name] / n_series * 1e3 for name in runners},
                speedup_2=rates["n_jobs=2"] / rates["n_jobs=1"],
                identical=all(first.equals(t) for t in whole.values()),
                failed=int((first["error"] != "").sum()))


def cpu_seconds(client):
    """CPU time of this process, its finished children (local workers) and the cluster's workers.

    On a machine shared with other sessions the scheduler divides the cores between sessions
    (autogroups), so more processes need not get more CPU: cores used = CPU time / wall time
    says how much each runner was given.
    """
    def used(r):
        return r.ru_utime + r.ru_stime

    own = used(resource.getrusage(resource.RUSAGE_SELF)) + \
        used(resource.getrusage(resource.RUSAGE_CHILDREN))
    workers = client.run(lambda: tuple(resource.getrusage(resource.RUSAGE_SELF))[:2])
    return own + sum(u + s for u, s in workers.values())


# ----------------------------------------------------------------------------------------------
# Distributed fit: a Parquet folder of 10^8 points of one input (10^7 with --quick), a smooth
# curve with noise and 5 % spikes, fitted on a LocalCluster of two single-threaded workers of
# 2 GB each; beside it the fit a Dask user would write instead, least squares of the same
# polynomial by dask.array.linalg.lstsq (tall-skinny QR) on the same cluster. Needs the dorv
# package and its batch extra.

DISTRIBUTED_PIECE = 2_500_000  # rows per Parquet file
DISTRIBUTED_MEMORY = "2GB"  # per worker
DISTRIBUTED_TARGET = 60.0  # seconds for 10^8 points


def distributed_truth(x):
    return 1.5 + 2.0 * np.exp(-x / 5.0) * np.sin(1.1 * x)


def distributed_folder(n, seed=20261210):
    """The Parquet folder of n rows (x, y), made once in pieces into a cache folder
    (DORV_BENCH_CACHE, default the system's temporary folder): y is the truth plus noise of sd
    0.05, and 5 % of the rows spiked upwards by 0.5 to 4."""
    import tempfile

    import pyarrow as pa
    import pyarrow.parquet as pq

    cache = os.environ.get("DORV_BENCH_CACHE", os.path.join(tempfile.gettempdir(), "dorv-bench"))
    folder = os.path.join(cache, f"spiky-curve-{n:.0e}".replace("+", ""))
    done = os.path.join(folder, "_COMPLETE")
    if os.path.exists(done):
        return folder
    os.makedirs(folder, exist_ok=True)
    for i, start in enumerate(range(0, n, DISTRIBUTED_PIECE)):
        rng = np.random.default_rng([seed, i])
        m = min(DISTRIBUTED_PIECE, n - start)
        x = rng.uniform(0.0, 10.0, m)
        y = distributed_truth(x) + rng.normal(0.0, 0.05, m)
        spikes = rng.random(m) < 0.05
        y[spikes] += rng.uniform(0.5, 4.0, int(spikes.sum()))
        pq.write_table(pa.table({"x": x, "y": y}), os.path.join(folder, f"part-{i:04d}.parquet"))
    with open(done, "w") as f:
        f.write(f"{n} rows\n")
    return folder


def distributed_section(quick):
    """Seconds of the distributed fit of the Parquet folder (reading included) against least
    squares of the same polynomial by dask.array.linalg.lstsq, each run once on the same
    cluster, and how close each comes to the truth; the coefficients against the in-process
    fit of the same rows."""
    try:
        import dask.array as da
        import dask.dataframe as dd
        from distributed import Client, LocalCluster

        sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
        import dorv
    except ImportError as exc:
        return dict(skipped=f"{exc} (needs dorv on the path and pip install 'dorv[batch]')")
    n = 10**7 if quick else 10**8
    folder = distributed_folder(n)
    grid = np.linspace(0.0, 10.0, 10_001)
    out = dict(rows=n, workers=2, memory_limit=DISTRIBUTED_MEMORY, load_before=os.getloadavg())
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      memory_limit=DISTRIBUTED_MEMORY, dashboard_address=None) as cluster, \
            Client(cluster) as client:
        client.run(lambda: __import__("dorv.estimator"))  # worker start-up is not timed

        def arrays():
            frame = dd.read_parquet(folder)
            return frame[["x"]].to_dask_array(lengths=True), frame["y"].to_dask_array(lengths=True)

        t0 = time.perf_counter()
        X, y = arrays()
        model = dorv.MDLPolynomialRegressor(random_state=0).fit(X, y)
        out["seconds"] = time.perf_counter() - t0
        out["degrees"] = list(model.degrees_)
        out["loss"] = model.loss_.name
        out["rms_from_truth"] = float(np.sqrt(np.mean(
            (model.predict(grid[:, None]) - distributed_truth(grid)) ** 2)))

        t0 = time.perf_counter()
        X, y = arrays()
        degree, c, s = model.degrees_[0], model.x_center_[0], model.x_scale_[0]
        Phi = X.map_blocks(lambda b: npoly.polyvander((b[:, 0] - c) / s, degree),
                           chunks=(X.chunks[0], (degree + 1,)), dtype=np.float64)
        coef = da.linalg.lstsq(Phi, y)[0].compute()
        out["lstsq_seconds"] = time.perf_counter() - t0
        out["lstsq_rms_from_truth"] = float(np.sqrt(np.mean(
            (npoly.polyval((grid - c) / s, coef) - distributed_truth(grid)) ** 2)))
        out["peer_ratio"] = out["lstsq_seconds"] / out["seconds"]
    out["load_after"] = os.getloadavg()
    import pandas as pd

    frame = pd.read_parquet(folder)
    local = dorv.MDLPolynomialRegressor(random_state=0).fit(frame[["x"]].to_numpy(),
                                                             frame["y"].to_numpy())
    rel = float(np.max(np.abs(local.coef_ - model.coef_)) / np.max(np.abs(local.coef_)))
    out["in_process"] = dict(rel_diff=rel, holds=rel <= 1e-8)
    out["holds"] = out["seconds"] <= DISTRIBUTED_TARGET * n / 10**8
    return out


# ----------------------------------------------------------------------------------------------
# Report


def blas_info():
    """NumPy's BLAS, its kernel and thread count, as threadpoolctl reads them."""
    np.ones((2, 2)) @ np.ones((2, 2))  # loads the BLAS
    for lib in threadpoolctl.threadpool_info():
        if lib["user_api"] == "blas":
            return (f"{lib['internal_api']} {lib.get('architecture', '?')}, "
                    f"{lib['num_threads']} threads")
    return "unknown"


def kernel_form():
    """The form of dorv_core's dense kernels (the test helper module reports it)."""
    try:
        from _dorv_testing import kernel_form as form
    except ImportError:
        return "unknown"
    return form()


def machine():
    cpu = "unknown"
    try:
        with open("/proc/cpuinfo") as f:
            cpu = next(line.split(":", 1)[1].strip() for line in f if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    return dict(cpu=cpu, cores=os.cpu_count(), python=platform.python_version(),
                numpy=np.__version__, scipy=scipy.__version__, blas=blas_info(),
                kernels=kernel_form(), dorv_kernels=os.environ.get("DORV_KERNELS"),
                openblas_coretype=os.environ.get("OPENBLAS_CORETYPE"),
                omp_num_threads=os.environ.get("OMP_NUM_THREADS"),
                load_before=os.getloadavg())


def fmt_row(r):
    target = "" if r["target"] is None else f">={r['target']:g} {'ok' if r['holds'] else 'MISSED'}"
    return (f"{r['name']:<26} {r['size']:<20} {r['ours_ms']:>10.3f} {r['peer_ms']:>10.3f} "
            f"{r['ratio']:>8.2f} {r['max_diff']:>10.2e} {r['rel_diff']:>9.1e}  {target}")


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="fewer repeats, about a minute")
    ap.add_argument("--json", metavar="FILE", help="write the results to FILE as JSON")
    ap.add_argument("--only", metavar="NAME", help="run only operations whose name has NAME")
    ap.add_argument("--child", nargs=2, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.child:
        return child(*args.child)

    repeats, budget, min_repeats = (5, 3.0, 1) if args.quick else (15, 20.0, 3)
    info = machine()
    print(f"# {info['cpu']}, {info['cores']} cores, load {info['load_before'][0]:.2f}; "
          f"NumPy {info['numpy']} ({info['blas']}), SciPy {info['scipy']}; "
          f"OPENBLAS_CORETYPE={info['openblas_coretype']}; dorv_core kernels {info['kernels']}")
    print(f"{'operation':<26} {'size':<20} {'ours ms':>10} {'peer ms':>10} {'peer/us':>8} "
          f"{'max|diff|':>10} {'rel':>9}  target")
    rows = []
    for case in make_cases():
        if args.only and args.only not in case["name"]:
            continue
        rows.append(measure(case, repeats, budget, min_repeats))
        print(fmt_row(rows[-1]), flush=True)

    extra = {}
    if not args.only or args.only in "TournamentMCMC.fit":
        X, y = sampler_problem()
        fit = next(r for r in rows if r["name"] == "TournamentMCMC.fit")
        evals = sampler_evaluations()
        peer = NumpyTournament()
        peer.fit(X, y)
        assert peer.evaluations == evals, (peer.evaluations, evals)
        per_eval = fit["ours_ms"] * 1e-3 / evals
        arith = arithmetic_per_evaluation(X, y, 51)
        threads = thread_scaling(3 if args.quick else 5, 3 if args.quick else 5)
        extra["sampler"] = dict(evaluations=evals, evaluations_per_second=1.0 / per_eval,
                                us_per_evaluation=per_eval * 1e6,
                                arithmetic_us_per_evaluation=arith * 1e6,
                                ratio_to_arithmetic=per_eval / arith, **threads)
        s = extra["sampler"]
        n, k = X.shape
        flops = 2 * n * k + 3 * n  # X b, then subtract, absolute value and compare per row
        s["gflops"] = flops / per_eval * 1e-9
        print(f"\nsampler: {evals} energy evaluations, {s['evaluations_per_second']:.3g}/s, "
              f"{s['us_per_evaluation']:.3f} us each ({s['gflops']:.1f} GFlop/s of X b and hit "
              f"test, random draws included); arithmetic alone (NumPy, bulk) "
              f"{s['arithmetic_us_per_evaluation']:.3f} us -> {s['ratio_to_arithmetic']:.2f}x "
              f"(target <= 3)")
        print(f"sampler threads: OMP_NUM_THREADS=1 {s['seconds_1'] * 1e3:.1f} ms, "
              f"=2 {s['seconds_2'] * 1e3:.1f} ms, speed-up {s['speedup']:.2f}, "
              f"results identical: {s['identical']}")
    if not args.only or args.only in "TournamentMCMC.fit threads":
        t = extra["two_thread_fits"] = two_thread_fits(3 if args.quick else 7)
        print(f"two fits (n=2000 k=8) in two Python threads, OMP_NUM_THREADS=1: "
              f"{t['seconds_threads'] * 1e3:.1f} ms against {t['seconds_serial'] * 1e3:.1f} ms "
              f"one after the other -> {t['ratio']:.2f}x (target <= 0.6), "
              f"results identical: {t['identical']}; NumPy products, the same way: "
              f"{t['numpy_ratio']:.2f}x")
    if not args.only or args.only in "fit_regularized_linear":
        mem = run_child("frlmem", 10**6)
        extra["fit_regularized_linear_memory"] = mem
        print(f"fit_regularized_linear 1e6x20 C peak-memory growth: {mem['growth_kib']} KiB "
              f"(input {mem['input_kib'] // 1024} MiB)")
    if not args.only or args.only in "build_penalty_matrices_nd":
        mem = nd_memory([30, 100, 300] if args.quick else [30, 100, 300, 1000])
        literal = 125 * 8 / 1024  # KiB per grid point of one G x M working matrix
        extra["nd_memory"] = mem
        print("build_penalty_matrices_nd (4,4,4) peak-memory growth: " + ", ".join(
            f"grid {m['grid']}: {m['growth_kib']} KiB (literal G x M matrix: "
            f"{literal * m['grid'] ** 3 / 1024:.0f} MiB)" for m in mem))

    if not args.only or args.only in "estimator":
        extra["estimator"] = estimator_section(args.quick)

    if not args.only or args.only in "big data":
        extra["big_data"] = big_data_section(args.quick)

    if not args.only or args.only in "interrupt":
        extra["interrupt"] = interrupt_section(args.quick)

    if not args.only or args.only in "fit_groups":
        b = extra["batch"] = batch_throughput(300 if args.quick else 2000, 200)
        if "skipped" in b:
            print(f"fit_groups: skipped: {b['skipped']}")
        else:
            rates = ", ".join(f"{k} {v:.1f}" for k, v in b["series_per_second"].items())
            cores = ", ".join(f"{k} {v:.2f}" for k, v in b["cores_used"].items())
            work = ", ".join(f"{k} {v:.1f}" for k, v in b["cpu_ms_per_series"].items())
            print(f"fit_groups, {b['series']} series of {b['points']} points, series/s: {rates}; "
                  f"n_jobs=2 / n_jobs=1 {b['speedup_2']:.2f} (target >= 1.7 "
                  f"{'ok' if b['speedup_2'] >= 1.7 else 'MISSED'}), tables identical: "
                  f"{b['identical']}, {b['failed']} failed")
            print(f"fit_groups cores used (CPU time / wall time): {cores}; CPU ms per series: "
                  f"{work}")
    if not args.only or args.only in "distributed":
        r = extra["distributed"] = distributed_section(args.quick)
        if "skipped" in r:
            print(f"distributed: skipped: {r['skipped']}")
        else:
            same = (f"coefficients against the in-process fit: {r['in_process']['rel_diff']:.1e} "
                    f"(target <= 1e-8 {'ok' if r['in_process']['holds'] else 'MISSED'})")
            print(f"\ndistributed fit of {r['rows']:.0e} points from Parquet, LocalCluster of 2 "
                  f"workers x {r['memory_limit']}, load {r['load_before'][0]:.2f} -> "
                  f"{r['load_after'][0]:.2f}: {r['seconds']:.1f} s (target <= "
                  f"{DISTRIBUTED_TARGET * r['rows'] / 10**8:g} s "
                  f"{'ok' if r['holds'] else 'MISSED'}), degrees {tuple(r['degrees'])} "
                  f"({r['loss']}), RMS from the truth {r['rms_from_truth']:.2e}; "
                  f"dask.array.linalg.lstsq of the same polynomial {r['lstsq_seconds']:.1f} s "
                  f"(peer/us {r['peer_ratio']:.2f}), RMS from the truth "
                  f"{r['lstsq_rms_from_truth']:.2e}; {same}", flush=True)
    info["load_after"] = os.getloadavg()
    print(f"# load after: {info['load_after'][0]:.2f}")
    if args.json:
        with open(args.json, "w") as f:
            json.dump(dict(machine=info, quick=args.quick, results=rows, **extra), f, indent=1)


if __name__ == "__main__":
    main()
