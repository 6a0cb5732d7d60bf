#pragma once
// Robust statistics, least-squares solvers and minimum-description-length scores.

#include "common.hpp"

#include <vector>

namespace dorv {

// Median by one selection pass; 0.0 for an empty list. v is reordered (taken by value).
double median_inplace(std::vector<double> v);

// Raw median absolute deviation about the median (no consistency factor); 0.0 when empty,
// NaN when y holds a NaN. y (n).
double mad(const Vector& y);

// Fraction of i < n with |yp[i] - yt[i]| < eps, floored at 1/(2n); NaN for n = 0.
// yt (n), yp (>= n): further entries of yp are ignored.
double compute_SR(const Vector& yp, const Vector& yt, double eps);

// Hit tolerance of the scores: 0.4 * mad(yt) when that is positive, otherwise 0.4.
double hit_tolerance(const Vector& yt);

// Minimum-norm least squares through a thin divide-and-conquer SVD; zeros for an empty X.
// X (m, p), y (m) -> beta (p). Throws std::invalid_argument unless X and y are finite.
Vector ols(const Matrix& X, const Vector& y);

// Penalised normal equations (Phi'Phi + ridge I + n gamma1 R1 + n gamma2 R2) beta = Phi'y,
// n = rows of Phi, solved by LDLT on the lower triangle. A null or zero-weighted matrix is not
// read. Phi (m, p), y (m), R1 (p, p), R2 (p, p) -> beta (p). Phi, y, ridge and the terms that
// are read must be finite.
Vector fit_regularized_linear(const Matrix& Phi, const Vector& y, const Matrix* R1,
                              const Matrix* R2, double gamma1, double gamma2, double ridge);

// Throw std::invalid_argument naming `who`, the argument `name` and its first NaN or infinite
// entry, if it has one.
void require_finite(const Matrix& A, const char* who, const char* name);
void require_finite(const Vector& v, const char* who, const char* name);
void require_finite(double v, const char* who, const char* name);

// Penalty matrices and weights of a score; owns nothing. R1, R2 (p, p) or null.
struct PenaltySpec {
  const Matrix* R1 = nullptr;
  const Matrix* R2 = nullptr;
  double gamma1 = 0.0;
  double gamma2 = 0.0;

  bool active() const;
};

// b' (R b); 0.0 when R has no rows. b (p), R (p, p).
double quad_form(const Vector& b, const Matrix& R);

// The same, with R b formed in the caller's buffer Rb (p), so that nothing is allocated.
double quad_form(const Vector& b, const Matrix& R, Vector& Rb);

// Throws std::invalid_argument unless every matrix of pen that a score would read is (p, p).
void check_penalty_shapes(const PenaltySpec& pen, Eigen::Index p, const char* who);

// Throws std::invalid_argument unless every weight and matrix of pen that a score would read is
// finite.
void check_penalty_values(const PenaltySpec& pen, const char* who);

// The score without penalty terms for `hit` hits among n targets: -n ln(sr) + k^2 ln(2H) / n
// (k > 0 only), sr = hit / n floored at 1/(2n).
double mdl_score_of_hits(Eigen::Index hit, Eigen::Index n, int k, int H);

// -n ln(sr) + k^2 ln(2H) / n (k > 0 only) + gamma1 beta'R1 beta + gamma2 beta'R2 beta, with the
// hit rate at tolerance eps. yt (n), yp (>= n), beta (p) or null, pen or null.
double mdl_score_cached(const Vector& yp, const Vector& yt, int k, int H, double eps,
                        const Vector* beta, const PenaltySpec* pen);

// mdl_score_cached at the tolerance hit_tolerance(yt); checks the length of yp and the penalty
// shapes first.
double mdl_score(const Vector& yp, const Vector& yt, int k, int H, const Vector* beta,
                 const PenaltySpec* pen);

}  // namespace dorv
