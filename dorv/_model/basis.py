"""Polynomial bases on the mapped inputs: which monomials a tuple of degrees spans, their design
and penalty matrices, and the coefficients of a smaller basis carried into a larger one."""

from __future__ import annotations

import functools
from dataclasses import dataclass

import numpy as np
import numpy.polynomial.polynomial as P
import numpy.typing as npt

import dorv_core as dc

Array = npt.NDArray[np.float64]
Indices = npt.NDArray[np.int64]
Mask = npt.NDArray[np.bool_]
Degrees = tuple[int, ...]


@dataclass(frozen=True)
class Basis:
    """Design matrix and penalties of one tuple of degrees on the mapped training inputs."""

    degrees: Degrees
    total: int | None  # highest total degree, None for the tensor product
    multi_indices: Indices  # (M, d)
    Phi: Array  # (n, M)
    R1: Array  # (M, M)
    R2: Array  # (M, M)

    @property
    def n_coefs(self) -> int:
        return self.multi_indices.shape[0]


def design(multi_indices: Indices, T: Array) -> Array:
    """Design matrix (n, M) of the monomials of `multi_indices` (M, d) at mapped inputs T (n, d)."""
    if T.shape[1] == 1:
        return dc.design_matrix_1d(int(multi_indices[-1, 0]), T[:, 0])
    return dc.design_matrix_nd(multi_indices.tolist(), list(T.T))


def basis(degrees: Degrees, T: Array, total: int | None = None) -> Basis:
    """The basis of the monomials with exponents up to `degrees` and, where `total` is given,
    of total degree up to `total`; the penalties are those of the tensor-product basis restricted
    to these monomials."""
    mi, R1, R2 = _monomials_and_penalties(degrees, total)
    return Basis(degrees, total, mi, design(mi, T), R1, R2)


@functools.lru_cache(maxsize=256)
def _monomials_and_penalties(degrees: Degrees, total: int | None):
    """The monomials of a basis and their penalties, which depend on the degrees alone (read
    only: they are shared)."""
    if len(degrees) == 1:
        R1, R2 = dc.smoothness_penalty_matrices_1d(degrees[0], -1.0, 1.0)
        mi = np.arange(degrees[0] + 1, dtype=np.int64)[:, None]
    else:
        R1, R2, indices = dc.build_penalty_matrices_nd(list(degrees), [(-1.0, 1.0)] * len(degrees))
        mi = np.array(indices, dtype=np.int64)
        if total is not None:
            keep = mi.sum(axis=1) <= total
            mi, R1, R2 = mi[keep], R1[np.ix_(keep, keep)], R2[np.ix_(keep, keep)]
    for a in (mi, R1, R2):
        a.setflags(write=False)
    return mi, R1, R2


def shapes(degrees: Degrees) -> list[tuple[Degrees, int | None]]:
    """The bases tried for one tuple of degrees: the tensor product and, in several variables,
    the polynomials of total degree up to the highest of the degrees, where that is smaller."""
    if len(degrees) == 1 or sum(degrees) <= max(degrees):
        return [(degrees, None)]
    return [(degrees, None), (degrees, max(degrees))]


def count(degrees: Degrees, total: int | None) -> int:
    """Number of monomials of a basis."""
    grid = np.indices(tuple(d + 1 for d in degrees)).reshape(len(degrees), -1)
    return int(grid.shape[1] if total is None else np.count_nonzero(grid.sum(axis=0) <= total))


def embed(multi_indices: Indices, beta: Array, into: Basis) -> Array:
    """Coefficients `beta` of the monomials `multi_indices` as coefficients of the larger basis
    `into` (zeros for the monomials they lack)."""
    old = {tuple(m): b for m, b in zip(multi_indices.tolist(), beta)}
    return np.array([old.get(tuple(m), 0.0) for m in into.multi_indices.tolist()])


def neighbours(degrees: Degrees, limits: Degrees, jump: int) -> list[Degrees]:
    """Degrees raised by one for each variable and, for d >= 2, for all at once (jump 1), or
    raised by two for each variable (jump 2), within the limits."""
    steps = [tuple(d + jump * (i == j) for j, d in enumerate(degrees)) for i in range(len(degrees))]
    if jump == 1 and len(degrees) > 1:
        steps.append(tuple(d + 1 for d in degrees))
    return [s for s in steps if all(d <= top for d, top in zip(s, limits))]


def monomial_name(m, names: list[str]) -> str:
    """Name of the monomial of exponents m in the named variables, e.g. "1", "t^2",
    "t0*t1^3"."""
    parts = [names[j] + (f"^{k}" if k > 1 else "") for j, k in enumerate(m) if k > 0]
    return "*".join(parts) or "1"


def in_original_inputs(multi_indices: Indices, coef: Array, center: Array,
                       scale: Array) -> Array:
    """Coefficients of the same monomials in the original inputs x of a polynomial whose
    coefficients `coef` are those of the mapped inputs t_j = (x_j - center[j]) / scale[j]: each
    t_j**k expanded binomially."""
    top = multi_indices.max(axis=0)
    # powers[j][k]: coefficients in x_j of t_j**k, padded to the highest exponent of x_j
    powers = [[np.pad(P.polypow([-c / s, 1.0 / s], k), (0, int(top[j]) - k))
               for k in range(int(top[j]) + 1)]
              for j, (c, s) in enumerate(zip(center, scale))]
    dense = np.zeros(tuple(top + 1))
    for m, a in zip(multi_indices, coef):
        term = np.asarray(a)
        for j, k in enumerate(m):
            term = np.multiply.outer(term, powers[j][k])
        dense += term
    return dense[tuple(multi_indices.T)]
