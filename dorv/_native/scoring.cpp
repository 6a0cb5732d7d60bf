#include "scoring.hpp"

#include <algorithm>
#include <cmath>
#include <sstream>
#include <stdexcept>
#include <string>

namespace dorv {

namespace {

std::string shape(const Matrix& A) {
  return "(" + std::to_string(A.rows()) + ", " + std::to_string(A.cols()) + ")";
}

std::string number(double v) {
  std::ostringstream out;
  out << v;
  return out.str();
}

// Names the first NaN or infinite entry, so that the caller can find it.
void require_finite(const Matrix& A, const char* who, const char* name) {
  if (A.allFinite()) return;
  for (Index j = 0; j < A.cols(); ++j)
    for (Index i = 0; i < A.rows(); ++i)
      if (!std::isfinite(A(i, j)))
        throw std::invalid_argument(std::string(who) + ": " + name + " " + shape(A) +
                                    " must be finite, got " + number(A(i, j)) + " at [" +
                                    std::to_string(i) + ", " + std::to_string(j) + "]");
}

void require_finite(const Vector& v, const char* who, const char* name) {
  if (v.allFinite()) return;
  for (Index i = 0; i < v.size(); ++i)
    if (!std::isfinite(v(i)))
      throw std::invalid_argument(std::string(who) + ": " + name + " (" +
                                  std::to_string(v.size()) + ") must be finite, got " +
                                  number(v(i)) + " at [" + std::to_string(i) + "]");
}

void require_finite(double v, const char* who, const char* name) {
  if (!std::isfinite(v))
    throw std::invalid_argument(std::string(who) + ": " + name + " must be finite, got " +
                                number(v));
}

void require_rows(const Matrix& A, const Vector& y, const char* who, const char* name) {
  if (A.rows() != y.size())
    throw std::invalid_argument(std::string(who) + ": " + name + " " + shape(A) + " has " +
                                std::to_string(A.rows()) + " rows but y has " +
                                std::to_string(y.size()) + " entries");
}

void require_square(const Matrix& R, Index p, const char* who, const char* name) {
  if (R.rows() != p || R.cols() != p)
    throw std::invalid_argument(std::string(who) + ": " + name + " must be (" +
                                std::to_string(p) + ", " + std::to_string(p) + "), got " +
                                shape(R));
}

void require_covers(const Vector& yp, const Vector& yt, const char* who) {
  if (yp.size() < yt.size())
    throw std::invalid_argument(std::string(who) + ": yp has " + std::to_string(yp.size()) +
                                " entries, fewer than the " + std::to_string(yt.size()) +
                                " of yt");
}

}  // namespace

double median_inplace(std::vector<double> v) {
  const std::size_t n = v.size();
  if (n == 0) return 0.0;
  const auto mid = v.begin() + static_cast<std::ptrdiff_t>(n / 2);
  std::nth_element(v.begin(), mid, v.end());
  if (n % 2 == 1) return *mid;
  return 0.5 * (*mid + *std::max_element(v.begin(), mid));
}

double mad(const Vector& y) {
  std::vector<double> buf(y.data(), y.data() + y.size());
  const double m = median_inplace(buf);
  for (double& v : buf) v = std::abs(v - m);
  return median_inplace(std::move(buf));
}

double compute_SR(const Vector& yp, const Vector& yt, double eps) {
  require_covers(yp, yt, "compute_sr");
  const Index n = yt.size();
  const Index hit = ((yp.head(n) - yt).array().abs() < eps).count();
  const double sr = static_cast<double>(hit) / static_cast<double>(n);
  return std::max(sr, 1.0 / (2.0 * static_cast<double>(n)));
}

double hit_tolerance(const Vector& yt) {
  const double m = mad(yt);
  return m > 0.0 ? 0.4 * m : 0.4;
}

Vector ols(const Matrix& X, const Vector& y) {
  require_rows(X, y, "ols", "X");
  // The result, the decomposition's copy of X and its factors must fit in memory; checked first,
  // so that an empty X with a huge number of columns is refused at once.
  const double m = static_cast<double>(X.rows()), p = static_cast<double>(X.cols());
  const double d = std::min(m, p);
  require_doubles(p + m * p + (m + p) * d + 3.0 * d * d);
  require_finite(X, "ols", "X");
  require_finite(y, "ols", "y");
  // The SVD starts from the largest entry of X, which an empty X lacks. Every vector solves an
  // empty problem; the zero vector is the shortest.
  if (X.size() == 0) return Vector::Zero(X.cols());
  const Eigen::BDCSVD<Matrix> svd(X, Eigen::ComputeThinU | Eigen::ComputeThinV);
  return svd.solve(y);
}

Vector fit_regularized_linear(const Matrix& Phi, const Vector& y, const Matrix* R1,
                              const Matrix* R2, double gamma1, double gamma2, double ridge) {
  const char* who = "fit_regularized_linear";
  require_rows(Phi, y, who, "Phi");
  const Index p = Phi.cols();
  // The p x p system and its factorisation must fit in memory, however few rows Phi has.
  require_doubles(2.0 * static_cast<double>(p) * static_cast<double>(p) +
                  3.0 * static_cast<double>(p));
  const bool use1 = R1 != nullptr && gamma1 != 0.0;
  const bool use2 = R2 != nullptr && gamma2 != 0.0;
  if (use1) require_square(*R1, p, who, "R1");
  if (use2) require_square(*R2, p, who, "R2");
  // A NaN pivot counts as zero in the LDLT solve, so NaN in the system matrix can come back as
  // finite zeros rather than NaN: everything that enters A must be finite. NaN in y only
  // reaches the right-hand side and shows in the result.
  require_finite(Phi, who, "Phi");
  require_finite(ridge, who, "ridge");
  if (use1) {
    require_finite(gamma1, who, "gamma1");
    require_finite(*R1, who, "R1");
  }
  if (use2) {
    require_finite(gamma2, who, "gamma2");
    require_finite(*R2, who, "R2");
  }

  const double n = static_cast<double>(y.size());
  Matrix A = Phi.transpose() * Phi;
  A.diagonal().array() += ridge;
  if (use1) A += (n * gamma1) * *R1;
  if (use2) A += (n * gamma2) * *R2;
  const Vector b = Phi.transpose() * y;
  return Eigen::LDLT<Matrix, Eigen::Lower>(A).solve(b);
}

bool PenaltySpec::active() const {
  return (R1 != nullptr && gamma1 != 0.0) || (R2 != nullptr && gamma2 != 0.0);
}

double quad_form(const Vector& b, const Matrix& R) {
  if (R.rows() == 0) return 0.0;
  const Vector Rb = R * b;
  return b.dot(Rb);
}

void check_penalty_shapes(const PenaltySpec& pen, Index p, const char* who) {
  if (pen.R1 != nullptr && pen.gamma1 != 0.0) require_square(*pen.R1, p, who, "R1");
  if (pen.R2 != nullptr && pen.gamma2 != 0.0) require_square(*pen.R2, p, who, "R2");
}

double mdl_score_cached(const Vector& yp, const Vector& yt, int k, int H, double eps,
                        const Vector* beta, const PenaltySpec* pen) {
  const double n = static_cast<double>(yt.size());
  const double sr = compute_SR(yp, yt, eps);
  const double logHk = k > 0 ? k * std::log(2.0 * H) : 0.0;
  double L = -n * std::log(sr) + (logHk / n) * k;
  if (beta != nullptr && pen != nullptr && pen->active()) {
    if (pen->R1 != nullptr && pen->gamma1 != 0.0) L += pen->gamma1 * quad_form(*beta, *pen->R1);
    if (pen->R2 != nullptr && pen->gamma2 != 0.0) L += pen->gamma2 * quad_form(*beta, *pen->R2);
  }
  return L;
}

double mdl_score(const Vector& yp, const Vector& yt, int k, int H, const Vector* beta,
                 const PenaltySpec* pen) {
  const char* who = pen != nullptr ? "mdl_score_reg" : "mdl_score";
  require_covers(yp, yt, who);
  if (beta != nullptr && pen != nullptr) check_penalty_shapes(*pen, beta->size(), who);
  return mdl_score_cached(yp, yt, k, H, hit_tolerance(yt), beta, pen);
}

}  // namespace dorv
