#pragma once
// Streamed sums over the rows of a polynomial model without its design matrix: the monomials
// of each block of kStreamRows rows are generated when the block is reached, and only the
// small results (a Gram matrix, a right-hand side) and vectors of one entry per row are kept.
// Blocks are shared out among the threads in a fixed number of groups (fixed by the row count
// alone); each group sums its blocks in row order and the groups' sums are added in group
// order, so every result is the same, bit for bit, for every thread count.
//
// Inputs are mapped inputs T (n, d) and monomials multi_indices (M, d), exponents >= 0.

#include "bases.hpp"
#include "common.hpp"
#include "checks.hpp"

namespace dorv {

// Rows of a block: their monomials fit in a few hundred kilobytes of cache for M ~ 15.
inline constexpr Index kStreamRows = 4096;

struct StreamedSums {
  Matrix gram;   // (M, M): sum_i w_i phi_i phi_i'
  Vector rhs;    // (M): sum_i w_i z_i phi_i
  double total;  // sum_i w_i
};

// Row weights w_i = sample_weight_i (1 when null) times, where beta is given and scale > 0,
// Tukey's biweight weight (1 - (u / c)^2)^2 of u = (z_i - phi_i' beta) / scale (0 for
// |u| >= c, c = kBiweightEfficiencyTuning), and the weighted sums of the model's normal
// equations. Rows of weight 0 add nothing. T (n, d), z (n), beta (M) or null, sample_weight (n)
// or null, finite and >= 0. Throws std::invalid_argument for mismatched shapes, a negative
// exponent, non-finite data, a negative scale or weight.
StreamedSums streamed_sums(const MatrixView& T, const VectorView& z,
                           const MultiIndexList& multi_indices, const Vector* beta, double scale,
                           const VectorView* sample_weight);

// The model's values phi_i' beta at every row. T (n, d), beta (M) -> (n).
Vector streamed_predict(const MatrixView& T, const MultiIndexList& multi_indices,
                        const Vector& beta);

// sum_i w_i phi_i phi_i' for weights of any sign (the slopes of a biweight's psi are negative
// beyond 1 / sqrt(5) of its cut). T (n, d), weight (n) finite -> (M, M), exactly symmetric.
Matrix streamed_gram(const MatrixView& T, const MultiIndexList& multi_indices,
                     const VectorView& weight);

// The quadratic form phi_i' A phi_i at every row (the leverage of a fit whose inverse normal
// matrix is A). T (n, d), A (M, M) finite -> (n).
Vector streamed_quadratic(const MatrixView& T, const MultiIndexList& multi_indices,
                          const Matrix& A);

// The solution of (gram + ridge I + total gamma1 R1 + total gamma2 R2) beta = rhs from the
// lower triangle of gram, as the penalised fits of solvers.hpp solve their normal equations.
// gram (M, M), rhs (M), R1 and R2 (M, M) or null -> beta (M). Throws std::invalid_argument for
// mismatched shapes or non-finite values.
Vector solve_sums(const Matrix& gram, const Vector& rhs, double total, const Matrix* R1,
                  const Matrix* R2, double gamma1, double gamma2, double ridge);

}  // namespace dorv
