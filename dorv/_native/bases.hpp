#pragma once
// Monomial bases in one and several variables, and their smoothness penalty matrices.
// Coefficient p of a 1-D basis multiplies x^p; coefficient m of an N-D basis multiplies the
// monomial of multi_indices[m].

#include "common.hpp"
#include "kernels.hpp"

#include <cstddef>
#include <utility>
#include <vector>

namespace dorv {

using MultiIndex = std::vector<int>;
using MultiIndexList = std::vector<MultiIndex>;
using Bounds = std::vector<std::pair<double, double>>;

// Values of x^0 ... x^deg at every sample, by running products.
// x (n) -> Phi (n, deg + 1). Throws std::invalid_argument "deg < 0" for a negative deg.
Matrix design_matrix_1d(int deg, const VectorView& x);

// First (order 1) or second (order 2) derivative of x^0 ... x^deg at x.
// out (>= deg + 1): entries 0 ... deg are written.
void deriv_row(double x, int deg, int order, Eigen::Ref<Vector> out);

// Symmetric matrix of the boundary term [f' f''] from x_min to x_max: u' Rb u = f'f''(x_max) -
// f'f''(x_min). Rb (deg + 1, deg + 1); 0 x 0 for deg = -1, "deg < 0" below.
Matrix boundary_reduce_1d(int deg, double x_min, double x_max);

struct PenaltyMatrices1D {
  Matrix R1;  // (M, M): rectangle sum of f'^2 on the grid
  Matrix R2;  // (M, M): rectangle sum of f''^2 on the grid
};

// Integrated squared first and second derivatives on n_grid even points from x_min to x_max,
// every point weighted dx = (x_max - x_min) / (n_grid - 1). M = deg + 1.
PenaltyMatrices1D smoothness_penalty_matrices_1d(int deg, double x_min, double x_max, int n_grid);

// Appends every multi-index with 0 <= current[d] <= degrees[d] for d >= dim to out, in
// lexicographic order (variable 0 slowest). current (D) is scratch.
void generate_multi_indices(const std::vector<int>& degrees, std::size_t dim,
                            std::vector<int>& current, MultiIndexList& out);

// d^order/dval^order of val^p for order 0, 1 or 2 (any other order counts as 2).
double col_deriv_scalar(double val, int p, int order);

// Products of powers of the sample columns, one column per multi-index; exponents <= 0 add no
// factor, exponents beyond D are ignored. X_cols: D >= 1 vectors (n) -> Phi (n, M). Throws
// std::invalid_argument for an empty X_cols, unequal lengths or a multi-index shorter than D.
Matrix design_matrix_nd(const MultiIndexList& multi_indices, const std::vector<Vector>& X_cols);

// Monomials of the rows r0 <= i < r1 of the mapped inputs T (n, d) into out (r1 - r0, M),
// resized: the powers of each variable by running products (x^p = x^(p-1) x, as
// design_matrix_1d forms them), a column's factors multiplied in increasing variable. The
// exponents of multi_indices (M entries of d) must be >= 0; nothing is checked.
void design_rows(const MultiIndexList& multi_indices, const MatrixView& T, Index r0, Index r1,
                 Matrix& out);

struct PenaltyMatricesND {
  Matrix R1;                     // (M, M): grid sum of the squared gradient
  Matrix R2;                     // (M, M): grid sum of the squared Hessian, all ordered pairs
  MultiIndexList multi_indices;  // M entries of D exponents: order of rows and columns
};

// Gradient and Hessian penalties of the tensor-product basis with maximum exponents degrees
// (D) on the box bounds (D), with n_grid_per_dim even points per variable, every grid point
// weighted dV = prod_d (high_d - low_d) / (n_grid_per_dim - 1). Throws std::invalid_argument
// "Dimension mismatch." for sizes that differ, "deg < 0: ..." and "n_grid < 2".
PenaltyMatricesND build_penalty_matrices_nd(const std::vector<int>& degrees, const Bounds& bounds,
                                            int n_grid_per_dim);

}  // namespace dorv
