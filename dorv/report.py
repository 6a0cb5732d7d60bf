"""The main job's report: what a fitted ``MDLPolynomialRegressor`` says, told in order (the
data, the model, how it was chosen, the fit, the outliers, the uncertainty), every figure
defined where it is printed. It reads the fitted attributes; it decides nothing."""

from __future__ import annotations

from typing import TYPE_CHECKING

import numpy as np

from dorv._model.inference import map_texts, mapped_names
from dorv._model.losses import LOSSES
from dorv._rules import HIT_FACTOR
from dorv.estimator import SEARCH_ROWS

if TYPE_CHECKING:
    from dorv.curvefit import Outcome
    from dorv.estimator import MDLPolynomialRegressor
    from dorv.folder import FolderOutcome

SHOWN_OUTLIERS = 10  # rows of outliers listed by number


def g(value: float) -> str:
    return f"{value:.4g}"


def degrees(d: tuple[int, ...]) -> str:
    return ",".join(map(str, d))


def report(outcome: Outcome, verbose: bool = False) -> str:
    """The whole report as text; `verbose` adds the sampler's Gibbs summary."""
    m, data = outcome.model, outcome.data
    parts = [_headline(m, data), _data(m, data), _model(m, data), _choice(m), _candidates(m),
             _fit(m, data), _outliers(m, data), _sampler(m, verbose), _limit(m, outcome),
             str(m.summary(data.x_names))]
    return "\n\n".join(p for p in parts if p) + "\n"


def distributed_report(outcome: FolderOutcome) -> str:
    """The report of a fit of rows on a Dask cluster: as `report`, the data, the spread of the
    noise and the outliers told from the model and its counts, the rows not listed."""
    m, data = outcome.model, outcome.data
    parts = [_headline(m, data), _cluster_data(m, outcome), _model(m, data), _choice(m),
             _candidates(m), _cluster_fit(m), _cluster_outliers(m), _limit(m, outcome),
             str(m.summary(data.x_names))]
    return "\n\n".join(p for p in parts if p) + "\n"


def _cluster_data(m: MDLPolynomialRegressor, outcome: FolderOutcome) -> str:
    data = outcome.data
    n = int(m.inlier_mask_.size)
    ranges = "; ".join(f"{name!r} from {g(c - s)} to {g(c + s)}"
                       for name, c, s in zip(data.x_names, m.x_center_, m.x_scale_))
    sample = min(n, SEARCH_ROWS)
    read = [f"{data.dropped} rows without a value in a column used left out (--dropna)"] \
        if data.dropped else []
    return (f"data      {data.source} (Parquet files, read by Dask)\n"
            f"          {n} rows; y = {data.y_name!r}; inputs {ranges}\n"
            f"          fitted in the distributed way on {outcome.where}: degrees chosen on a "
            f"fixed subsample of {sample} rows, then all rows fitted where they lie, "
            f"{outcome.seconds:.1f} s"
            + "".join(f"\n          {line}" for line in read))


def _cluster_fit(m: MDLPolynomialRegressor) -> str:
    r2 = "robust R\u00b2" if m.loss_.robust else "R\u00b2"
    of = "(1.4826 mad(y))\u00b2" if m.loss_.robust else "var(y)"
    lines = [f"fit       noise scale {g(m.scale_)}: {m.loss_.scale_text}",
             f"          {r2} {m.r2_:.4f} (1 - scale\u00b2 / {of}, y of the subsample); BIC "
             f"{m.bic_:.1f} (Gaussian likelihood of the inliers, lower is better)"]
    if m.spread_coef_.size == 1:
        lines.append("          noise spread: constant along the inputs")
    else:
        lines.append("          noise spread: varies along the inputs (its log a polynomial of "
                     f"total degree {int(m.spread_multi_indices_.sum(axis=1).max())}); the fit "
                     "weighs each row by it, and intervals and outliers follow it")
    return "\n".join(lines)


def _cluster_outliers(m: MDLPolynomialRegressor) -> str:
    n = int(m.inlier_mask_.size)
    out = n - m._inlier_count()
    cut = (f"farther than {m.outlier_cut_:.3g} local noise scales from the fit, a distance that "
           f"some row of a clean Gaussian sample of {n} rows exceeds with probability 1 %")
    if out == 0:
        return f"outliers  none: no row is {cut}"
    return (f"outliers  {out} of {n} rows are {cut}\n"
            "          (the model's inlier_mask_ tells which, computed when asked for)")


def _headline(m: MDLPolynomialRegressor, data) -> str:
    what = "degree" if len(m.degrees_) == 1 else "degrees"
    inputs = " and ".join(repr(n) for n in data.x_names)
    return (f"dorv: {data.y_name!r} on {inputs}: a polynomial of {what} {degrees(m.degrees_)} "
            f"({m.loss_.fit_name}, chosen on held-out rows)")


def _data(m: MDLPolynomialRegressor, data) -> str:
    ranges = "; ".join(f"{n!r} from {g(lo)} to {g(hi)}"
                       for n, lo, hi in zip(data.x_names, data.X.min(0), data.X.max(0)))
    read = [*data.notes] + ([f"{data.dropped} rows without a value in a column used left out "
                             "(--dropna)"] if data.dropped else [])
    return (f"data      {data.source}{data.note}\n"
            f"          {data.y.size} rows; y = {data.y_name!r}; inputs {ranges}"
            + "".join(f"\n          {line}" for line in read))


def _model(m: MDLPolynomialRegressor, data) -> str:
    t = mapped_names(data.x_names)
    maps = map_texts(data.x_names, m.x_center_, m.x_scale_)
    basis = ("powers of " + t[0] if len(t) == 1 else
             "products of powers of " + ", ".join(t) +
             ("" if m.total_degree_ is None else f" of total degree at most {m.total_degree_}"))
    d = len(t)
    return (f"model     y = sum of coefficients times {basis}, {m.coef_.size} coefficients;\n"
            f"          {'; '.join(maps)} (each input mapped onto [-1, 1])\n"
            f"          smoothness penalty: gamma1 = {m.gamma1:g}, gamma2 = {m.gamma2:g} on the "
            f"squared first and second derivatives over [-1, 1]{'^' + str(d) if d > 1 else ''}")


def _choice(m: MDLPolynomialRegressor) -> str:
    n = m.inlier_mask_.size
    folds = (f"leave-one-out ({m.n_splits_} fits)" if m.n_splits_ == n and n > 2 else
             f"{m.n_splits_} folds")
    losses = dict.fromkeys(m.candidates_["loss"])
    rows = "all rows" if n <= SEARCH_ROWS else f"a fixed subsample of {SEARCH_ROWS} rows"
    lines = [f"choice    every candidate was fitted to {rows} and, held out by {folds}, judged "
             "on rows it did not see;"]
    for name in losses:
        loss = LOSSES[name]
        lines.append(f"          {loss.fit_name} ({loss.description}): {loss.rule}")
    if len(losses) > 1:
        lines.append(f"          kept: the {m.loss_.fit_name}: {m.loss_reason_}")
    remote = int(np.count_nonzero(m.remote_mask_))
    if remote:
        lines.append(f"          {remote} row{'s' if remote > 1 else ''} remote from the bulk of "
                     "the inputs neither started the robust fits nor judged the candidates")
    return "\n".join(lines)


def _candidates(m: MDLPolynomialRegressor) -> str:
    c = m.candidates_
    names = [degrees(d) + ("" if t is None else f" <={t}")
             for d, t in zip(c["degrees"], c["total_degree"])]
    width = max(7, *(len(name) for name in names))
    lines = ["candidates in the order tried (\"<=T\": total degree at most T, else all products "
             "of the powers)",
             f"{'loss':>13}  {'degrees':>{width}}  {'coefs':>5}  {'resid rms':>10}  "
             f"{'hit rate':>8}  {'MDL':>9}  {'cv error':>10}  {'cv MDL':>9}"]
    for i, name in enumerate(names):
        mark = "  <- chosen" if c["chosen"][i] else ""
        lines.append(f"{c['loss'][i]:>13}  {name:>{width}}  {c['n_coefs'][i]:>5}  "
                     f"{c['rms'][i]:>10.4g}  {c['hit_rate'][i]:>8.3f}  {c['mdl'][i]:>9.3f}  "
                     f"{c['cv_loss'][i]:>10.4g}  {c['cv_mdl'][i]:>9.3f}{mark}")
    lines += [
        "  resid rms: root mean square of the residuals of all rows, outliers included;",
        f"  hit rate: share of rows within the hit tolerance {g(m.hit_tolerance_)} of the fit "
        f"({HIT_FACTOR:g} mad of y);",
        "  MDL: description length of the model and its misses, in nats per row (lower is "
        "better); cv MDL: the same with hits counted on held-out rows;",
        "  cv error: the held-out figure each loss judges by: for least squares the RMS of the "
        "held-out residuals, for the robust fit the root of their mean Huber square (squares up "
        "to 2 noise scales, growing linearly beyond)",
    ]
    return "\n".join(lines)


def _fit(m: MDLPolynomialRegressor, data) -> str:
    r2 = "robust R\u00b2" if m.loss_.robust else "R\u00b2"
    of = "(1.4826 mad(y))\u00b2" if m.loss_.robust else "var(y)"
    lines = [f"fit       noise scale {g(m.scale_)}: {m.loss_.scale_text}, each standardised by "
             "its leverage",
             f"          {r2} {m.r2_:.4f} (1 - scale\u00b2 / {of}); BIC {m.bic_:.1f} (Gaussian "
             "likelihood of the inliers, lower is better)"]
    if m.spread_coef_.size == 1:
        lines.append("          noise spread: constant along the inputs")
    else:
        ratio = m.noise_scale(data.X) / m.scale_
        lines.append(f"          noise spread: varies along the inputs, from {ratio.min():.2g} to "
                     f"{ratio.max():.2g} times the scale (its log a polynomial of total degree "
                     f"{int(m.spread_multi_indices_.sum(axis=1).max())}); the fit weighs each "
                     "row by it, and intervals and outliers follow it")
    return "\n".join(lines)


def _outliers(m: MDLPolynomialRegressor, data) -> str:
    out = np.flatnonzero(~m.inlier_mask_)
    n = m.inlier_mask_.size
    cut = (f"farther than {m.outlier_cut_:.3g} local noise scales from the fit, a distance that "
           f"some row of a clean Gaussian sample of {n} rows exceeds with probability 1 %")
    if out.size == 0:
        return f"outliers  none: no row is {cut}"
    rows = ", ".join(str(i + 1) for i in out[:SHOWN_OUTLIERS])
    more = f" and {out.size - SHOWN_OUTLIERS} more" if out.size > SHOWN_OUTLIERS else ""
    return (f"outliers  {out.size} of {n} rows are {cut}:\n"
            f"          rows {rows}{more} (counted from 1 in the data)")


def _sampler(m: MDLPolynomialRegressor, verbose: bool) -> str:
    s = m.sampler_
    if s is None:
        return ""
    head = (f"sampler   TournamentMCMC from the chosen fit ({s['n_chains']} chains, "
            f"{s['n_elite']} elites, seed {s['seed']}), looking for more hits at a lower MDL")
    if not s["ran"]:
        return f"{head}:\n          did not run: {s['reason']}"
    chosen = m.candidates_["chosen"].index(True)
    c = m.candidates_
    lines = [head + ":",
             f"          MDL {c['mdl'][chosen]:.3f} -> {s['mdl']:.3f}, hit rate "
             f"{c['hit_rate'][chosen]:.3f} -> {s['hit_rate']:.3f}, resid rms "
             f"{g(c['rms'][chosen])} -> {g(s['rms'])}"]
    if s["held_out"]:
        h, f = s["held_out"]["sampler"], s["held_out"]["fit"]
        lines.append(f"          run again without one fold, on that fold: hits {f['hits']} -> "
                     f"{h['hits']}, cv error {g(f['rms'])} -> {g(h['rms'])}")
    lines.append(f"          {'kept' if s['kept'] else 'not kept'}: {s['reason']}")
    if verbose:
        gb = s["gibbs"]
        lines.append(f"          Gibbs summary of the warm-up energies: entropy H {g(gb['H'])} "
                     f"of at most {g(gb['Hmax'])}, He {g(gb['He'])}, r_heat {g(gb['r_heat'])}, "
                     f"energy variance {g(gb['var_E'])}, temperature {g(gb['T'])}")
    return "\n".join(lines)


def _limit(m: MDLPolynomialRegressor, outcome: Outcome | FolderOutcome) -> str:
    at = [n for n, d in zip(outcome.data.x_names, m.degrees_) if d == outcome.max_degree]
    if not at:
        return ""
    return (f"note      the chosen degree of {', '.join(at)} is --max-degree "
            f"{outcome.max_degree}: a higher degree might fit better")
