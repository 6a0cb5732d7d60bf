"""What a fitted model says about its coefficients: standard errors, Student-t statistics and
intervals, in the summary table that ``MDLPolynomialRegressor.summary()`` returns."""

from __future__ import annotations

from dataclasses import dataclass
from typing import TYPE_CHECKING

import numpy as np

from dorv._model.basis import Array, Basis, Mask, monomial_name
from dorv._model.losses import inlier_scale, outlier_cut
from dorv._model.problem import Problem

MAX_LEVERAGE = 0.9  # a row's residual is standardised as if its leverage were at most this

if TYPE_CHECKING:
    import pandas as pd

    from dorv.estimator import MDLPolynomialRegressor


@dataclass
class Summary:
    """``MDLPolynomialRegressor.summary()``: the coefficients in a ``pandas.DataFrame``, the
    figures of the fit in a dict and the maps of the inputs; ``str()`` gives the text form."""

    coefficients: pd.DataFrame
    info: dict
    maps: list[str]

    def __str__(self) -> str:
        items = [f"{k:<16}{_shown(v):>14}" for k, v in self.info.items()]
        half = (len(items) + 1) // 2
        left, right = items[:half], items[half:] + [""]
        lines = [f"{a}    {b}".rstrip() for a, b in zip(left, right)]
        table = self.coefficients.to_string(float_format=lambda v: f"{v:.6g}")
        rule = "=" * max(len(line) for line in lines + table.splitlines())
        return "\n".join(["MDLPolynomialRegressor results", rule, *lines,
                          "inputs mapped: " + "; ".join(self.maps), rule, table, rule])

    def __repr__(self) -> str:
        return str(self)

    def _repr_html_(self) -> str:
        """The summary as HTML, for notebooks."""
        import html

        info = "".join(f"<tr><th>{html.escape(k)}</th><td>{html.escape(_shown(v))}</td></tr>"
                       for k, v in self.info.items())
        maps = html.escape("; ".join(self.maps))
        table = self.coefficients.to_html(float_format=lambda v: f"{v:.6g}")
        return (f"<div><strong>MDLPolynomialRegressor results</strong><table>{info}</table>"
                f"<p>inputs mapped: {maps}</p>{table}</div>")


@dataclass(frozen=True)
class Conclusion:
    """What the final fit says of its coefficients and its rows, for z."""

    cov: Array  # (M, M) covariance of the coefficients
    scale: float  # noise sd of a row of weight 1
    standard: Array  # (n) residuals of unit variance under the model, in units of the noise sd
    cut: float  # scales beyond which a row is an outlier
    r2: float  # 1 - (noise scale)^2 / (spread of z), the spread as the loss measures it
    bic: float  # -2 log-likelihood of the inliers under Gaussian noise + k log(inliers)

    @property
    def inliers(self) -> Mask:
        return np.abs(self.standard) <= self.cut * self.scale


def conclude(problem: Problem, basis: Basis, beta: Array, n_spread: int = 0) -> Conclusion:
    """The covariance of coefficients `beta`, the noise scale, the standardised residuals and the
    figures of the fit (`n_spread` the coefficients of its variance function beyond the
    constant).
    A fit of p coefficients to n rows leaves residuals of variance (1 - h) sigma^2, h the row's
    leverage, so that a small sample would look quieter than its noise: each residual is divided
    by sqrt(1 - h) before the scale is measured and the outliers are told."""
    residuals = (basis.Phi @ beta - problem.z) * problem.root
    cov, leverage = problem.loss.inference(problem, basis, beta, inlier_scale(residuals))
    return concluded(problem, basis, residuals, cov, leverage, n_spread)


def concluded(problem: Problem, basis: Basis, residuals: Array, cov: Array, leverage: Array,
              n_spread: int = 0, start: float | None = None) -> Conclusion:
    """The conclusion from the residuals (n, of unit weight), the covariance and the leverage
    (n) of a fit (see `conclude`); `start`, where given, a scale near the noise scale."""
    standard = np.minimum(leverage, MAX_LEVERAGE)
    np.subtract(1.0, standard, out=standard)
    np.sqrt(standard, out=standard)
    np.divide(residuals, standard, out=standard)
    scale, cut = problem.loss.noise_scale(standard, start), outlier_cut(problem.n)
    inliers = np.abs(standard) <= cut * scale
    m = int(np.count_nonzero(inliers))
    variance = max(scale * scale, 1e-300)
    log_weight = 0.0 if problem.weight is None else float(np.sum(np.log(problem.weight[inliers])))
    deviance = (m * np.log(2.0 * np.pi * variance) - log_weight
                + float(np.sum(standard[inliers] ** 2)) / variance)
    bic = deviance + (basis.n_coefs + n_spread + 1) * np.log(max(m, 1))
    r2 = 1.0 - variance / problem.loss.spread(problem.z)
    return Conclusion(cov, scale, standard, cut, r2, bic)


def _shown(v) -> str:
    if isinstance(v, float):
        return f"{v:.4g}"
    if isinstance(v, tuple):
        return ",".join(map(str, v))
    return "-" if v is None else str(v)


def mapped_names(names: list[str]) -> list[str]:
    """Names of the mapped inputs: t_x for an input x."""
    return [f"t_{name}" for name in names]


def map_texts(names: list[str], center: Array, scale: Array) -> list[str]:
    """The maps of the inputs onto [-1, 1] as text, e.g. "t_x = (x - 5.003) / 4.987"."""
    return [f"{t} = ({name} {'-' if c >= 0 else '+'} {abs(c):.7g}) / {s:.7g}"
            for t, name, c, s in zip(mapped_names(names), names, center, scale)]


def summary(model: MDLPolynomialRegressor, inputs: list[str]) -> Summary:
    """The summary of a fitted model whose inputs are named `inputs`."""
    import pandas as pd
    from scipy.stats import t as student

    m = model
    dof = m._dof()
    se = np.sqrt(np.maximum(np.diag(m.coef_cov_), 0.0))
    with np.errstate(divide="ignore", invalid="ignore"):
        tval = np.where(se > 0.0, m.coef_ / se, np.nan)
    q = student.ppf(0.975, dof)
    names = [monomial_name(mi, mapped_names(inputs)) for mi in m.multi_indices_]
    table = pd.DataFrame({"coef": m.coef_, "std err": se, "t": tval,
                          "P>|t|": 2.0 * student.sf(np.abs(tval), dof),
                          "[0.025": m.coef_ - q * se, "0.975]": m.coef_ + q * se},
                         index=pd.Index(names, name="term"))
    chosen = m.candidates_["chosen"].index(True)
    sampler = m.sampler_
    info = {
        "loss": m.loss_.name,
        "degrees": m.degrees_,
        "basis": "tensor" if m.total_degree_ is None else f"total degree {m.total_degree_}",
        "observations": int(m.inlier_mask_.size),
        "coefficients": int(m.coef_.size),
        "scale": m.scale_,
        "outliers": int(m.inlier_mask_.size) - m._inlier_count(),
        "robust R\u00b2" if m.loss_.robust else "R\u00b2": m.r2_,
        "BIC": m.bic_,
        "noise spread": "constant" if m.spread_coef_.size == 1 else "varies",
        "MDL": m.mdl_,
        "hit rate": m.hit_rate_,
        "resid rms": m.rms_,
        "cv error": m.cv_loss_,
        "cv MDL": m.candidates_["cv_mdl"][chosen],
        "candidates": len(m.candidates_["degrees"]),
        "sampler": "off" if sampler is None else "kept" if sampler["kept"] else
                   "ran, not kept" if sampler["ran"] else "did not run",
    }
    return Summary(table, info, map_texts(inputs, m.x_center_, m.x_scale_))
