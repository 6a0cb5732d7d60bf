"""DORV-P performans-kritik cekirdegi (C++/Eigen)."""

from collections.abc import Sequence
from typing import Final, Never, SupportsFloat, SupportsIndex, TypeAlias

import numpy as np
import numpy.typing as npt

# Arguments: float64 arrays with positive strides are read where they lie (the data arguments
# of the statistics, bases and solvers); anything else (lists, other dtypes, reversed views,
# the sampler's and penalty arguments) is copied into native float64 storage first. A vector is
# 1-D or an (m, 1) column; a matrix is 2-D, or 1-D taken as one column. Ints refuse floats.
_Vector: TypeAlias = npt.ArrayLike
_Matrix: TypeAlias = npt.ArrayLike
_Float: TypeAlias = SupportsFloat | SupportsIndex
_Int: TypeAlias = SupportsIndex
# Results: new float64 arrays, column-major for matrices.
_Array: TypeAlias = npt.NDArray[np.float64]

# The rules of the fits and scores, defined once in the core.
HIT_FACTOR: Final[float]  # a residual is a hit below HIT_FACTOR * mad of the targets
BIWEIGHT_EFFICIENCY_TUNING: Final[float]  # biweight of the robust M-step: 95 % efficiency
BIWEIGHT_SCALE_TUNING: Final[float]  # biweight of the robust M-scale: 50 % breakdown
INLIER_CUT: Final[float]  # inliers lie within this many scales of the model
TRUNCATED_VARIANCE: Final[float]  # E[Z**2 | |Z| < INLIER_CUT], Z standard normal
MAD_TO_SD: Final[float]  # 1 / Phi^-1(3/4): the sd of Gaussian noise per unit of median |r|

def mad(y: _Vector) -> float: ...
def compute_sr(yp: _Vector, yt: _Vector, eps: _Float) -> float: ...
def mdl_score(yp: _Vector, yt: _Vector, k: _Int, H: _Int = 20) -> float: ...
def mdl_score_reg(
    yp: _Vector,
    yt: _Vector,
    k: _Int,
    H: _Int,
    beta: _Vector,
    R1: _Matrix,
    R2: _Matrix,
    gamma1: _Float = 0.0,
    gamma2: _Float = 0.0,
) -> float: ...
def hit_tolerance(mad: _Float) -> float: ...
def inlier_scale(residuals: _Vector, start: _Float | None = None) -> float: ...
def design_matrix_1d(deg: _Int, x: _Vector) -> _Array: ...
def smoothness_penalty_matrices_1d(
    deg: _Int, x_min: _Float, x_max: _Float, n_grid: _Int = 600
) -> tuple[_Array, _Array]: ...
def boundary_reduce_1d(deg: _Int, x_min: _Float, x_max: _Float) -> _Array: ...
def design_matrix_nd(multi_indices: Sequence[Sequence[_Int]], X_cols: Sequence[_Vector]) -> _Array: ...
def build_penalty_matrices_nd(
    degrees: Sequence[_Int], bounds: Sequence[tuple[_Float, _Float]], n_grid_per_dim: _Int = 30
) -> tuple[_Array, _Array, list[list[int]]]: ...
def ols(X: _Matrix, y: _Vector) -> _Array: ...
def fit_regularized_linear(
    Phi: _Matrix,
    y: _Vector,
    R1: _Matrix | None = None,
    R2: _Matrix | None = None,
    gamma1: _Float = 0.0,
    gamma2: _Float = 0.0,
    ridge: _Float = 1e-10,
    *,
    sample_weight: _Vector | None = None,
) -> _Array: ...

# pybind11 gives every class its own metaclass and, without a constructor, an __init__ that
# raises TypeError for any call.
class _pybind11_type(type): ...

class _Record(metaclass=_pybind11_type):
    def __init__(self, *args: Never, **kwargs: Never) -> None: ...

class GibbsResult(_Record):
    """Boltzmann summary of a set of energies; made by gibbs_entropy only."""

    @property
    def H(self) -> float: ...
    @property
    def Hmax(self) -> float: ...
    @property
    def He(self) -> float: ...
    @property
    def r_heat(self) -> float: ...
    @property
    def var_E(self) -> float: ...
    @property
    def T(self) -> float: ...

def gibbs_entropy(energies: _Vector, T: _Float = 1.0) -> GibbsResult: ...

class MCMCResult(_Record):
    """Outcome of TournamentMCMC.fit; beta_mcmc is a read-only view."""

    @property
    def beta_mcmc(self) -> _Array: ...
    @property
    def energy(self) -> float: ...
    @property
    def gibbs(self) -> GibbsResult: ...
    @property
    def n_chains(self) -> int: ...
    @property
    def n_elite(self) -> int: ...

class TournamentMCMC(metaclass=_pybind11_type):
    def __init__(
        self,
        n_chains: _Int = 25,
        n_warmup: _Int = 200,
        n_deep: _Int = 2000,
        n_elite: _Int = 5,
        step_size: _Float = 0.05,
        H_piH: _Int = 20,
        seed: _Int = 42,
    ) -> None: ...
    def fit(
        self,
        X: _Matrix,
        y: _Vector,
        R1: _Matrix | None = None,
        R2: _Matrix | None = None,
        gamma1: _Float = 0.0,
        gamma2: _Float = 0.0,
        init: _Vector | None = None,
    ) -> MCMCResult: ...

class RobustFit(_Record):
    """Outcome of fit_robust_linear; its arrays are read-only views."""

    @property
    def coef(self) -> _Array: ...
    @property
    def scale(self) -> float: ...
    @property
    def weights(self) -> _Array: ...
    @property
    def inlier_mask(self) -> npt.NDArray[np.bool_]: ...
    @property
    def n_iter(self) -> int: ...
    @property
    def converged(self) -> bool: ...

def fit_robust_linear(
    Phi: _Matrix,
    y: _Vector,
    R1: _Matrix | None = None,
    R2: _Matrix | None = None,
    gamma1: _Float = 0.0,
    gamma2: _Float = 0.0,
    ridge: _Float = 1e-10,
    *,
    init: _Vector | None = None,
    scale: _Float | None = None,
    n_starts: _Int = 100,
    seed: _Int = 0,
    max_iter: _Int = 50,
    sample_weight: _Vector | None = None,
) -> RobustFit: ...

# Streamed sums over rows whose monomials are generated block by block (no design matrix).
_MultiIndices: TypeAlias = Sequence[Sequence[_Int]] | npt.NDArray[np.integer]

def streamed_sums(
    T: _Matrix,
    z: _Vector,
    multi_indices: _MultiIndices,
    beta: _Vector | None = None,
    scale: _Float = 0.0,
    sample_weight: _Vector | None = None,
) -> tuple[_Array, _Array, float]: ...
def streamed_predict(T: _Matrix, multi_indices: _MultiIndices, beta: _Vector) -> _Array: ...
def streamed_gram(T: _Matrix, multi_indices: _MultiIndices, weight: _Vector) -> _Array: ...
def streamed_quadratic(T: _Matrix, multi_indices: _MultiIndices, A: _Matrix) -> _Array: ...
def solve_sums(
    gram: _Matrix,
    rhs: _Vector,
    total_weight: _Float,
    R1: _Matrix | None = None,
    R2: _Matrix | None = None,
    gamma1: _Float = 0.0,
    gamma2: _Float = 0.0,
    ridge: _Float = 1e-10,
) -> _Array: ...
