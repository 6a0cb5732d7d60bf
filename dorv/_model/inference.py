"""What a fitted model says about its coefficients: standard errors, Student-t statistics and
intervals, in the summary table that ``MDLPolynomialRegressor.summary()`` returns."""

from __future__ import annotations

from dataclasses import dataclass
from typing import TYPE_CHECKING

import numpy as np

from dorv._model.basis import monomial_name

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
        def shown(v):
            if isinstance(v, float):
                return f"{v:.4g}"
            if isinstance(v, tuple):
                return ",".join(map(str, v))
            return "-" if v is None else str(v)

        items = [f"{k:<16}{shown(v):>14}" for k, v in self.info.items()]
        half = (len(items) + 1) // 2
        left, right = items[:half], items[half:] + [""]
        lines = [f"{a}    {b}".rstrip() for a, b in zip(left, right)]
        table = self.coefficients.to_string(float_format=lambda v: f"{v:.6g}")
        rule = "=" * max(len(line) for line in lines + table.splitlines())
        return "\n".join(["MDLPolynomialRegressor results", rule, *lines,
                          "inputs mapped: " + "; ".join(self.maps), rule, table, rule])

    def __repr__(self) -> str:
        return str(self)


def mapped_names(d: int) -> list[str]:
    """Names of the mapped inputs: t in one variable, t0, t1, ... in several."""
    return ["t"] if d == 1 else [f"t{j}" for j in range(d)]


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
    t = mapped_names(m.n_features_in_)
    names = [monomial_name(mi, t) for mi in m.multi_indices_]
    table = pd.DataFrame({"coef": m.coef_, "std err": se, "t": tval,
                          "P>|t|": 2.0 * student.sf(np.abs(tval), dof),
                          "[0.025": m.coef_ - q * se, "0.975]": m.coef_ + q * se},
                         index=pd.Index(names, name="term"))
    chosen = m.candidates_["chosen"].index(True)
    sampler = m.sampler_
    info = {
        "loss": m.loss,
        "degrees": m.degrees_,
        "basis": "tensor" if m.total_degree_ is None else f"total degree {m.total_degree_}",
        "observations": int(m.inlier_mask_.size),
        "coefficients": int(m.coef_.size),
        "scale": m.scale_,
        "outliers": int(m.inlier_mask_.size - np.count_nonzero(m.inlier_mask_)),
        "MDL": m.mdl_,
        "hit rate": m.hit_rate_,
        "resid rms": m.rms_,
        "held-out figure": m.cv_loss_,
        "held-out MDL": m.candidates_["cv_mdl"][chosen],
        "candidates": len(m.candidates_["degrees"]),
        "sampler": "off" if sampler is None else "kept" if sampler["kept"] else
                   "ran, not kept" if sampler["ran"] else "did not run",
    }
    maps = [f"{t[j]} = ({name} - {c:.7g}) / {s:.7g}"
            for j, (name, c, s) in enumerate(zip(inputs, m.x_center_, m.x_scale_))]
    return Summary(table, info, maps)
