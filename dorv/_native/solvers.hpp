#pragma once
// Least-squares solvers: minimum-norm least squares and the penalised normal equations.

#include "checks.hpp"
#include "common.hpp"

namespace dorv {

// Minimum-norm least squares through a thin divide-and-conquer SVD: of the triangular factor
// of a QR of [X y] when m >= p, of X otherwise; zeros for an empty X. X (m, p), y (m) ->
// beta (p). Throws std::invalid_argument unless X and y are finite.
Vector ols(const MatrixView& X, const VectorView& y);

// Penalised normal equations (Phi'Phi + ridge I + n gamma1 R1 + n gamma2 R2) beta = Phi'y,
// n = rows of Phi, solved by LDLT on the lower triangle. A null or zero-weighted matrix is not
// read. Sample weights w (precision weights: the noise sd of row i is s / sqrt(w_i)) make it,
// as in fit_robust_linear, the same fit of the rows of Phi and y scaled by sqrt(w_i), with n the
// sum of the weights: Phi'W Phi and Phi'W y, the same bit for bit as the fit of those rows
// scaled first when n is the count of rows. Phi (m, p), y (m), R1 (p, p), R2 (p, p),
// sample_weight (m) or null -> beta (p). Phi, y, ridge and the terms that are read must be
// finite, and the weights finite and positive.
Vector fit_regularized_linear(const MatrixView& Phi, const VectorView& y, const Matrix* R1,
                              const Matrix* R2, double gamma1, double gamma2, double ridge,
                              const Vector* sample_weight = nullptr);

// Sum of the sample weights w (m) in row order: the count of rows by which the weighted fits
// scale their penalties.
double total_weight(const Vector& w);

// Its last step, for callers that have formed the Gram product themselves: solves
// (A + ridge I + n gamma1 R1 + n gamma2 R2) beta = b from the lower triangle of A, with n the
// number of rows (or their total weight) the penalties are scaled by. A (p, p), b (p), the
// penalty's matrices (p, p) -> beta (p); nothing is checked. A factorisation of more than
// kLongStepWork operations runs where the call can stop while it waits for it.
Vector solve_penalised(Matrix A, const Vector& b, double n, const PenaltySpec& pen, double ridge);

}  // namespace dorv
