#include "solvers.hpp"

#include <algorithm>
#include <cmath>
#include <memory>
#include <new>
#include <utility>

#include <Eigen/Cholesky>

#include "checks.hpp"
#include "kernels.hpp"
#include "svd.hpp"

namespace dorv {

namespace {

// A penalised system and its solution, which the factorisation's thread owns once the call has
// stopped.
struct PenalisedSystem {
  Matrix A;
  Vector b, beta;
  bool failed = false;  // out of memory

  static void solve(void* state) {
    auto& s = *static_cast<PenalisedSystem*>(state);
    try {
      s.beta = Eigen::LDLT<Matrix, Eigen::Lower>(s.A).solve(s.b);
    } catch (const std::bad_alloc&) {
      s.failed = true;
    }
  }
  static void release(void* state) { delete static_cast<PenalisedSystem*>(state); }
};

// The whole thin SVD of a copy of X: for wide designs, and for tall ones whose triangular factor
// has overflowed or underflowed (the SVD scales X by its largest entry first).
Vector ols_whole_svd(const MatrixView& X, const VectorView& y) {
  Matrix A(X.rows, X.cols);
  for (Index j = 0; j < X.cols; ++j)
    for (Index i = 0; i < X.rows; ++i) A(i, j) = X(i, j);
  Vector b(y.size);
  for (Index i = 0; i < y.size; ++i) b[i] = y(i);
  const double size = static_cast<double>(A.size());
  stop_point(size);
  Vector beta = svd_solve(std::move(A), std::move(b));
  stop_point(4.0 * size * static_cast<double>(std::min(X.rows, X.cols)));
  return beta;
}

struct WeightedRows {
  Matrix X;  // (m, p)
  Vector y;  // (m)
};

// The rows of X and y scaled by the square roots of the weights w (m), in column-major storage.
WeightedRows weighted_rows(const MatrixView& X, const VectorView& y, const Vector& w) {
  const Eigen::ArrayXd root = w.array().sqrt();
  WeightedRows rows{Matrix(X.rows, X.cols), Vector(y.size)};
  // By blocks of rows, so that a row-major block stays in cache while its columns are written.
  constexpr Index block = 64;
  for (Index i0 = 0; i0 < X.rows; i0 += block) {
    const Index i1 = std::min(X.rows, i0 + block);
    for (Index j = 0; j < X.cols; ++j)
      for (Index i = i0; i < i1; ++i) rows.X(i, j) = X(i, j) * root[i];
  }
  for (Index i = 0; i < y.size; ++i) rows.y[i] = y(i) * root[i];
  stop_point(static_cast<double>(rows.X.size() + rows.y.size()));
  return rows;
}

}  // namespace

// For m >= p the SVD is taken of the triangular factor R of [X y] = Q [R; 0]: X = Q1 R11, so X
// and R11 have the same singular values, and the minimum-norm solution of R11 beta = Q1ᵀy (the
// last column of R) is that of X beta ~ y. U of X is never formed.
Vector ols(const MatrixView& X, const VectorView& y) {
  require_rows(X, y, "ols", "X");
  const Index rows = X.rows, cols = X.cols;
  // The result and the working storage must fit in memory; checked first, so that an empty X
  // with a huge number of columns is refused at once. Tall: the SVD of the p x p factor (the
  // factorisation checks its own storage); wide: the copy of X, its factors and the SVD's own.
  const double m = static_cast<double>(rows), p = static_cast<double>(cols);
  const double d = std::min(m, p);
  if (m >= p)
    require_doubles(p + 6.0 * p * p);
  else
    require_doubles(p + m * p + (m + p) * d + 3.0 * d * d);
  // Every vector solves an empty problem; the zero vector is the shortest.
  if (rows == 0 || cols == 0) {
    require_finite(y, "ols", "y");
    return Vector::Zero(cols);
  }
  if (rows < cols) {
    require_finite(X, "ols", "X");
    require_finite(y, "ols", "y");
    return ols_whole_svd(X, y);
  }
  const Matrix R = tall_qr(X, y);
  // NaN or an infinity in X or y leaves R non-finite; so does an overflow of the column norms,
  // and entries of R below 1e-100 may have lost directions to underflow. Those cases take the
  // SVD of X itself.
  if (!all_finite(R) || R.topLeftCorner(cols, cols).cwiseAbs().maxCoeff() < 1e-100) {
    require_finite(X, "ols", "X");
    require_finite(y, "ols", "y");
    return ols_whole_svd(X, y);
  }
  // The SVD of the p x p factor, with the threshold p * eps * its largest singular value.
  Vector beta = svd_solve(R.topLeftCorner(cols, cols), R.col(cols).head(cols));
  stop_point(8.0 * p * p * p);
  return beta;
}

Vector fit_regularized_linear(const MatrixView& Phi, const VectorView& y, const Matrix* R1,
                              const Matrix* R2, double gamma1, double gamma2, double ridge,
                              const Vector* sample_weight) {
  const char* who = "fit_regularized_linear";
  require_rows(Phi, y, who, "Phi");
  if (sample_weight != nullptr) require_sample_weight(*sample_weight, Phi.rows, who, "Phi");
  const Index p = Phi.cols;
  // y is scanned at once where no product of it with Phi will show a NaN or an infinity.
  if (p == 0 || Phi.rows == 0) require_finite(y, who, "y");
  // The p x p system and its factorisation must fit in memory, however few rows Phi has, and
  // the weighted rows' copy with it.
  const double m = static_cast<double>(Phi.rows), pd = static_cast<double>(p);
  require_doubles(2.0 * pd * pd + 3.0 * pd + (sample_weight != nullptr ? m * (pd + 2.0) : 0.0));
  const bool use1 = R1 != nullptr && gamma1 != 0.0;
  const bool use2 = R2 != nullptr && gamma2 != 0.0;
  if (use1) require_square(*R1, p, who, "R1");
  if (use2) require_square(*R2, p, who, "R2");
  Matrix A;
  Vector b;
  double n = static_cast<double>(y.size);
  if (sample_weight != nullptr) {
    // The data are scanned first: a finite entry may overflow once weighted.
    require_finite(Phi, who, "Phi");
    require_finite(y, who, "y");
    const WeightedRows rows = weighted_rows(Phi, y, *sample_weight);
    gram_lower(view(rows.X), view(rows.y), A, b);
    n = total_weight(*sample_weight);
  } else {
    // Only the lower triangle of A is read by the factorisation, so the product fills only that
    // one, together with b = Phiᵀy in the same pass over Phi.
    gram_lower(Phi, y, A, b);
    // b sums products with every entry of y, so NaN or an infinity there makes it non-finite.
    if (!all_finite(b)) require_finite(y, who, "y");
    // A NaN pivot counts as zero in the LDLT solve, so NaN in the system matrix can come back as
    // finite zeros rather than NaN: everything that enters A must be finite. A(j, j) sums the
    // squares of column j, so a NaN or an infinity in Phi makes it non-finite: Phi is scanned
    // only then.
    if (!all_finite(A.diagonal())) require_finite(Phi, who, "Phi");
  }
  require_finite(ridge, who, "ridge");
  const PenaltySpec pen{R1, R2, gamma1, gamma2};
  check_penalty_values(pen, who);
  return solve_penalised(std::move(A), b, n, pen, ridge);
}

double total_weight(const Vector& w) {
  double n = 0.0;
  for (Index i = 0; i < w.size(); ++i) n += w[i];
  return n;
}

Vector solve_penalised(Matrix A, const Vector& b, double n, const PenaltySpec& pen, double ridge) {
  A.diagonal().array() += ridge;
  if (pen.R1 != nullptr && pen.gamma1 != 0.0) A += (n * pen.gamma1) * *pen.R1;
  if (pen.R2 != nullptr && pen.gamma2 != 0.0) A += (n * pen.gamma2) * *pen.R2;
  const double p = static_cast<double>(A.rows());
  stop_point(p * p * p);
  if (p * p * p / 3.0 < kLongStepWork) return Eigen::LDLT<Matrix, Eigen::Lower>(A).solve(b);
  auto system = std::make_unique<PenalisedSystem>(PenalisedSystem{std::move(A), b, Vector(), false});
  try {
    run_unless_stopped(PenalisedSystem::solve, system.get(), PenalisedSystem::release);
  } catch (...) {
    system.release();  // the factorisation's thread's now
    throw;
  }
  if (system->failed) throw std::bad_alloc();
  return std::move(system->beta);
}

}  // namespace dorv
