"""Fitting and judging linear models on polynomial bases.

Re-exports the functions and classes of the native core ``dorv_core`` and offers the
scikit-learn regressor :class:`MDLPolynomialRegressor`; ``python -m dorv`` runs the fitting job
of :mod:`dorv.curvefit` on top of it. ``dorv.fit_groups`` (:mod:`dorv.batch`, which needs the
``batch`` extra) fits one model per group of a long table.
"""

import importlib
from typing import TYPE_CHECKING, Any

from dorv_core import (
    BIWEIGHT_EFFICIENCY_TUNING,
    BIWEIGHT_SCALE_TUNING,
    HIT_FACTOR,
    INLIER_CUT,
    MAD_TO_SD,
    TRUNCATED_VARIANCE,
    GibbsResult,
    MCMCResult,
    RobustFit,
    TournamentMCMC,
    boundary_reduce_1d,
    build_penalty_matrices_nd,
    compute_sr,
    design_matrix_1d,
    design_matrix_nd,
    fit_regularized_linear,
    fit_robust_linear,
    gibbs_entropy,
    hit_tolerance,
    inlier_scale,
    mad,
    mdl_score,
    mdl_score_reg,
    ols,
    smoothness_penalty_matrices_1d,
    solve_sums,
    streamed_gram,
    streamed_predict,
    streamed_quadratic,
    streamed_sums,
)

if TYPE_CHECKING:
    from dorv.batch import fit_groups
    from dorv.estimator import DegreeLimitWarning, ExtrapolationWarning, MDLPolynomialRegressor

__all__ = [
    "BIWEIGHT_EFFICIENCY_TUNING",
    "BIWEIGHT_SCALE_TUNING",
    "HIT_FACTOR",
    "INLIER_CUT",
    "MAD_TO_SD",
    "TRUNCATED_VARIANCE",
    "DegreeLimitWarning",
    "ExtrapolationWarning",
    "GibbsResult",
    "MCMCResult",
    "MDLPolynomialRegressor",
    "RobustFit",
    "TournamentMCMC",
    "boundary_reduce_1d",
    "build_penalty_matrices_nd",
    "compute_sr",
    "design_matrix_1d",
    "design_matrix_nd",
    "fit_regularized_linear",
    "fit_robust_linear",
    "gibbs_entropy",
    "hit_tolerance",
    "inlier_scale",
    "mad",
    "mdl_score",
    "mdl_score_reg",
    "ols",
    "smoothness_penalty_matrices_1d",
    "solve_sums",
    "streamed_gram",
    "streamed_predict",
    "streamed_quadratic",
    "streamed_sums",
]


# Imported on first use: fit_groups, whose dependencies are an extra, and the estimator, whose
# scikit-learn takes a second or two to load (so that `python -m dorv` starts at once, and a
# Ctrl-C meanwhile reaches the job's own handling); __version__ too.
_LAZY = {"fit_groups": "dorv.batch", "DegreeLimitWarning": "dorv.estimator",
         "ExtrapolationWarning": "dorv.estimator", "MDLPolynomialRegressor": "dorv.estimator"}


def __getattr__(name: str) -> Any:
    if name in _LAZY:
        return getattr(importlib.import_module(_LAZY[name]), name)
    if name == "__version__":
        return _version()
    raise AttributeError(f"module 'dorv' has no attribute {name!r}")


def _version() -> str:
    from importlib import metadata

    try:
        return metadata.version("dorv")
    except metadata.PackageNotFoundError:  # run from a source tree without an install
        return "0+unknown"
