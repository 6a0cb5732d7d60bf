"""Fit a smooth polynomial curve to noisy (x, y) data and pick its degree by MDL.

For each degree the design matrix and the smoothness penalties are built on t, the x values
mapped onto [-1, 1]; the coefficients come from the penalised least-squares solver, and the
model is scored by its minimum description length (lower is better). The degree of lowest
score is then refined by the tournament sampler, whose energy is the same score.

Scores are computed on the standardised targets z = (y - median(y)) / mad(y). The hit rate
and the complexity term do not change under that map (the hit tolerance, 0.4 * mad, scales
with the data); the penalty terms are measured in the standardised units, so that the default
weights suit data of any scale.

The shipped sample data/damped_sine.csv holds 200 noisy samples of
y = 1.5 + 2 exp(-x/5) sin(1.1 x), made once with

    rng = np.random.default_rng(20240611)
    x = np.sort(rng.uniform(0.0, 10.0, 200))
    y = 1.5 + 2.0 * np.exp(-x / 5.0) * np.sin(1.1 * x) + rng.normal(0.0, 0.05, 200)

and written with six decimals under the header "x,y".
"""

from __future__ import annotations

import csv
import math
from dataclasses import dataclass
from pathlib import Path
import numpy as np
import numpy.typing as npt

import dorv_core as dc

SAMPLE_CSV = "data/damped_sine.csv"
H = 20  # the H of the complexity term k^2 ln(2H) / n, as the sampler's default H_piH

Array = npt.NDArray[np.float64]


class InputError(Exception):
    """Bad input data or options: reported to the user in one line."""


@dataclass
class Data:
    x: Array
    y: Array
    source: str
    x_name: str
    y_name: str
    note: str = ""  # shown after the source in the report


@dataclass
class Fit:
    degree: int
    beta: Array  # coefficients of t^0 ... t^degree for the standardised targets
    mdl: float
    rms: float  # root mean square residual, in units of y
    hit_rate: float


@dataclass
class Problem:
    """The data mapped to the scales the fits work on."""

    data: Data
    x_center: float
    x_half: float
    y_center: float
    y_scale: float
    t: Array
    z: Array
    eps: float  # hit tolerance for z: 0.4 * mad(z), or 0.4 when mad(z) is 0
    gamma1: float
    gamma2: float

    def basis(self, degree: int) -> tuple[Array, Array, Array]:
        Phi = dc.design_matrix_1d(degree, self.t)
        R1, R2 = dc.smoothness_penalty_matrices_1d(degree, -1.0, 1.0)
        return Phi, R1, R2

    def judge(self, degree: int, beta: Array) -> Fit:
        Phi, R1, R2 = self.basis(degree)
        zp = Phi @ beta
        mdl = dc.mdl_score_reg(zp, self.z, degree + 1, H, beta, R1, R2, self.gamma1, self.gamma2)
        rms = float(np.sqrt(np.mean((zp - self.z) ** 2))) * self.y_scale
        hit_rate = dc.compute_sr(zp, self.z, self.eps)
        return Fit(degree, beta, mdl, rms, hit_rate)

    def curve(self, fit: Fit, x: Array) -> Array:
        """Values of a fitted curve at x, in units of y."""
        t = (x - self.x_center) / self.x_half
        return self.y_center + self.y_scale * (dc.design_matrix_1d(fit.degree, t) @ fit.beta)

    def coefficients(self, fit: Fit) -> Array:
        """Coefficients a_p of y = sum a_p t^p."""
        a = self.y_scale * fit.beta
        a[0] += self.y_center
        return a


def _column(wanted: str, header: list[str] | None, path: str) -> tuple[int, str]:
    if header is not None and wanted in header:
        return header.index(wanted), wanted
    try:
        index = int(wanted)
    except ValueError:
        names = ", ".join(header) if header else "none, the file has no header"
        raise InputError(f"{path}: no column {wanted!r} (columns: {names})") from None
    if index < 0 or (header is not None and index >= len(header)):
        names = ", ".join(header or [])
        raise InputError(
            f"{path}: no column {index} among the {len(header or [])} of the header "
            f"({names}); check --delimiter"
        )
    return index, header[index] if header is not None else f"column {index}"


def _number(cell: str) -> float | None:
    try:
        return float(cell)
    except ValueError:
        return None


def read_xy(path: str, x_col: str = "0", y_col: str = "1", delimiter: str = ",") -> Data:
    """Reads two numeric columns of a CSV file, each named by its header or its 0-based index.
    A first row that is not all numbers is the header; blank lines and lines starting with
    '#' are skipped."""
    try:
        with open(path, newline="", encoding="utf-8") as f:
            rows = [
                (number, row)
                for number, row in enumerate(csv.reader(f, delimiter=delimiter), start=1)
                if row and any(c.strip() for c in row) and not row[0].lstrip().startswith("#")
            ]
    except (OSError, UnicodeDecodeError, csv.Error) as e:
        reason = e.strerror if isinstance(e, OSError) and e.strerror else str(e)
        raise InputError(f"cannot read {path}: {reason}") from None
    if not rows:
        raise InputError(f"{path}: no data rows")
    header = None
    if any(_number(c) is None for c in rows[0][1]):
        header = [c.strip() for c in rows[0][1]]
        rows = rows[1:]
        if not rows:
            raise InputError(f"{path}: no data rows below the header")
    xi, x_name = _column(x_col, header, path)
    yi, y_name = _column(y_col, header, path)
    xs, ys = [], []
    for number, row in rows:
        values = []
        for index, name in ((xi, x_name), (yi, y_name)):
            if index >= len(row):
                raise InputError(f"{path} line {number}: no field for column {name!r}")
            value = _number(row[index])
            if value is None or not math.isfinite(value):
                raise InputError(
                    f"{path} line {number}: {row[index].strip()!r} in column {name!r} "
                    "is not a finite number"
                )
            values.append(value)
        xs.append(values[0])
        ys.append(values[1])
    return Data(np.array(xs), np.array(ys), path, x_name, y_name)


def prepare(data: Data, max_degree: int, gamma1: float, gamma2: float) -> Problem:
    """Checks that every degree up to max_degree can be fitted and maps x and y."""
    n = data.x.size
    distinct = np.unique(data.x).size
    k = max_degree + 1
    if distinct < 2:
        raise InputError(f"{data.source}: x takes {distinct} distinct value, a curve needs two")
    if min(n, distinct) < k:
        what = f"{n} data rows" if n < k else f"{distinct} distinct x values"
        raise InputError(
            f"{data.source}: {what}, fewer than the {k} coefficients of degree {max_degree} "
            f"(use --max-degree {min(n, distinct) - 1} or less)"
        )
    lo, hi = float(data.x.min()), float(data.x.max())
    x_center, x_half = 0.5 * (lo + hi), 0.5 * (hi - lo)
    y_center = float(np.median(data.y))
    y_scale = dc.mad(data.y)
    if y_scale <= 0.0:  # more than half the targets equal
        y_scale = float(np.std(data.y)) or 1.0
    t = (data.x - x_center) / x_half
    z = (data.y - y_center) / y_scale
    m = dc.mad(z)
    eps = 0.4 * m if m > 0.0 else 0.4
    return Problem(data, x_center, x_half, y_center, y_scale, t, z, eps, gamma1, gamma2)


def fit_degrees(problem: Problem, max_degree: int) -> list[Fit]:
    """The penalised least-squares fit of every degree from 1 to max_degree."""
    fits = []
    for degree in range(1, max_degree + 1):
        Phi, R1, R2 = problem.basis(degree)
        beta = dc.fit_regularized_linear(Phi, problem.z, R1, R2, problem.gamma1, problem.gamma2)
        fits.append(problem.judge(degree, beta))
    return fits


def refine(problem: Problem, fit: Fit, sampler: dc.TournamentMCMC) -> tuple[Fit, dc.MCMCResult]:
    """Runs the sampler on the degree of `fit` and returns its best model and the run.

    The sampler walks in coefficients b of an orthonormal basis of the same polynomials,
    X = Phi S with X^T X = n I, so that its isotropic random-walk steps suit every direction
    alike; beta = S b, and the penalties become S^T R S, which leaves every energy unchanged.
    """
    Phi, R1, R2 = problem.basis(fit.degree)
    _, sv, Vt = np.linalg.svd(Phi, full_matrices=False)
    S = np.sqrt(Phi.shape[0]) * (Vt.T / sv)
    X = Phi @ S
    result = sampler.fit(
        X, problem.z, S.T @ R1 @ S, S.T @ R2 @ S, problem.gamma1, problem.gamma2
    )
    return problem.judge(fit.degree, S @ result.beta_mcmc), result


@dataclass
class Outcome:
    problem: Problem
    fits: list[Fit]
    best: Fit  # lowest MDL of the least-squares fits
    refined: Fit  # the sampler's model for best.degree
    run: dc.MCMCResult
    chosen: Fit  # refined if it hits more points at a lower MDL, else best
    seed: int


def run(data: Data, max_degree: int, gamma1: float, gamma2: float, seed: int) -> Outcome:
    """The whole job: fits of every degree, then the sampler on the lowest-MDL one; its model
    is kept when it hits more points at a lower MDL."""
    problem = prepare(data, max_degree, gamma1, gamma2)
    fits = fit_degrees(problem, max_degree)
    best = min(fits, key=lambda f: f.mdl)
    refined, result = refine(problem, best, dc.TournamentMCMC(seed=seed))
    # With equal hits the scores differ only by the penalty terms, which the score does not
    # weight by n: a gain there is negligible and can come with far larger residuals.
    improves = refined.mdl < best.mdl and refined.hit_rate > best.hit_rate
    chosen = refined if improves else best
    return Outcome(problem, fits, best, refined, result, chosen, seed)


def _g(value: float) -> str:
    return f"{value:.4g}"


def report(outcome: Outcome) -> str:
    """The table of fits and the chosen model, as text."""
    p = outcome.problem
    d = p.data
    lines = [
        "dorv: polynomial fits of y on x ranked by minimum description length (lower is better)",
        f"data     {d.source}{d.note}",
        f"         {d.x.size} rows; x = {d.x_name!r} from {_g(d.x.min())} to {_g(d.x.max())}; "
        f"y = {d.y_name!r}",
        f"basis    powers of t = (x - {p.x_center:.7g}) / {p.x_half:.7g}, which maps x onto [-1, 1]",
        f"targets  z = (y - {_g(p.y_center)}) / {_g(p.y_scale)}; hit tolerance "
        f"{_g(p.eps * p.y_scale)} in units of y (0.4 * mad)",
        f"penalty  gamma1 = {p.gamma1:g}, gamma2 = {p.gamma2:g} on the squared first and second "
        "derivatives over [-1, 1]",
        "",
        f"{'degree':>6}  {'coefs':>5}  {'resid rms':>10}  {'hit rate':>8}  {'MDL':>10}",
    ]
    for fit in outcome.fits:
        mark = "  <- lowest" if fit is outcome.best else ""
        lines.append(
            f"{fit.degree:>6}  {fit.degree + 1:>5}  {fit.rms:>10.4g}  {fit.hit_rate:>8.3f}  "
            f"{fit.mdl:>10.3f}{mark}"
        )
    best, refined, g = outcome.best, outcome.refined, outcome.run.gibbs
    kept = "sampler" if outcome.chosen is refined else "least-squares fit"
    why = "more hits, lower MDL" if outcome.chosen is refined else "the sampler found no more hits"
    lines += [
        "",
        f"refinement of degree {best.degree} by TournamentMCMC "
        f"({outcome.run.n_chains} chains, {outcome.run.n_elite} elites, seed {outcome.seed})",
        f"  MDL {best.mdl:.3f} -> {refined.mdl:.3f}, hit rate {best.hit_rate:.3f} -> "
        f"{refined.hit_rate:.3f}, resid rms {best.rms:.4g} -> {refined.rms:.4g}",
        f"  kept the {kept} ({why})",
        f"  Gibbs summary of the warm-up energies: H {_g(g.H)}, Hmax {_g(g.Hmax)}, "
        f"He {_g(g.He)}, r_heat {_g(g.r_heat)}, var_E {_g(g.var_E)}, T {_g(g.T)}",
        "",
        f"chosen model: degree {outcome.chosen.degree} ({kept}), MDL {outcome.chosen.mdl:.3f}, "
        f"resid rms {outcome.chosen.rms:.4g}, hit rate {outcome.chosen.hit_rate:.3f}",
        "  y = sum of a_p * t^p",
        f"  {'p':>3}  {'a_p':>14}",
    ]
    for power, a in enumerate(p.coefficients(outcome.chosen)):
        lines.append(f"  {power:>3}  {a:>14.6g}")
    return "\n".join(lines) + "\n"


def plot(outcome: Outcome, path: str, n_best: int = 3) -> None:
    """Draws the data, the least-squares fits of the n_best lowest-MDL degrees and the chosen
    model into a PNG file."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    p = outcome.problem
    d = p.data
    grid = np.linspace(d.x.min(), d.x.max(), 400)
    fig, ax = plt.subplots(figsize=(8, 5), layout="constrained")
    ax.plot(d.x, d.y, "o", ms=3, color="0.55", label=f"data ({d.x.size} rows)")
    c = outcome.chosen
    for fit in sorted(outcome.fits, key=lambda f: f.mdl)[:n_best]:
        if fit is not c:
            ax.plot(grid, p.curve(fit, grid), lw=1.2, alpha=0.8,
                    label=f"degree {fit.degree} least squares, MDL {fit.mdl:.2f}")
    r = outcome.refined
    if r is not c:
        ax.plot(grid, p.curve(r, grid), "--", lw=1.2, color="tab:red",
                label=f"degree {r.degree} sampler, MDL {r.mdl:.2f}")
    kind = "sampler" if c is r else "least squares"
    ax.plot(grid, p.curve(c, grid), lw=2.5, color="black",
            label=f"chosen: degree {c.degree} {kind}, MDL {c.mdl:.2f}")
    ax.set_xlabel(d.x_name)
    ax.set_ylabel(d.y_name)
    ax.set_title(f"{Path(d.source).name}: polynomial fits ranked by MDL (lower is better)")
    ax.legend(fontsize="small")
    try:
        fig.savefig(path, dpi=110)
    except OSError as e:
        raise InputError(f"cannot write {path}: {e.strerror or e}") from None
    finally:
        plt.close(fig)
