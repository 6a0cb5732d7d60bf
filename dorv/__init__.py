"""Fitting and judging linear models on polynomial bases.

Re-exports the functions and classes of the native core ``dorv_core`` and offers the
scikit-learn regressor :class:`MDLPolynomialRegressor`; ``python -m dorv`` runs the fitting job
of :mod:`dorv.curvefit` on top of it. ``dorv.fit_groups`` (:mod:`dorv.batch`, which needs the
``batch`` extra) fits one model per group of a long table.
"""

from importlib import metadata
from typing import Any

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
)

from dorv.estimator import DegreeLimitWarning, ExtrapolationWarning, MDLPolynomialRegressor

try:
    __version__ = metadata.version("dorv")
except metadata.PackageNotFoundError:  # run from a source tree without an install
    __version__ = "0+unknown"

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
]


def __getattr__(name: str) -> Any:
    # fit_groups is imported on first use: its dependencies are an extra.
    if name == "fit_groups":
        from dorv.batch import fit_groups

        return fit_groups
    raise AttributeError(f"module 'dorv' has no attribute {name!r}")
