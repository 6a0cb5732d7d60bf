#include "checks.hpp"

#include <cmath>
#include <sstream>
#include <stdexcept>
#include <string>

namespace dorv {

namespace {

std::string shape(Index rows, Index cols) {
  return "(" + std::to_string(rows) + ", " + std::to_string(cols) + ")";
}

std::string shape(const Matrix& A) { return shape(A.rows(), A.cols()); }

std::string number(double v) {
  std::ostringstream out;
  out << v;
  return out.str();
}

}  // namespace

void require_finite(const MatrixView& A, const char* who, const char* name) {
  for (Index i = 0; i < A.rows; ++i)  // the first in row-major order, as NumPy counts
    for (Index j = 0; j < A.cols; ++j)
      if (!std::isfinite(A(i, j)))
        throw std::invalid_argument(std::string(who) + ": " + name + " " +
                                    shape(A.rows, A.cols) + " must be finite, got " +
                                    number(A(i, j)) + " at [" + std::to_string(i) + ", " +
                                    std::to_string(j) + "]");
}

void require_finite(const Matrix& A, const char* who, const char* name) {
  if (!all_finite(A)) require_finite(view(A), who, name);
}

void require_finite(const VectorView& v, const char* who, const char* name) {
  for (Index i = 0; i < v.size; ++i)
    if (!std::isfinite(v(i)))
      throw std::invalid_argument(std::string(who) + ": " + name + " (" +
                                  std::to_string(v.size) + ") must be finite, got " +
                                  number(v(i)) + " at [" + std::to_string(i) + "]");
}

void require_finite(const Vector& v, const char* who, const char* name) {
  if (!all_finite(v)) require_finite(view(v), who, name);
}

void require_finite(double v, const char* who, const char* name) {
  if (!std::isfinite(v))
    throw std::invalid_argument(std::string(who) + ": " + name + " must be finite, got " +
                                number(v));
}

void require_positive(double v, const char* who, const char* name) {
  if (!(v > 0.0 && std::isfinite(v)))
    throw std::invalid_argument(std::string(who) + ": " + name +
                                " must be a positive finite number, got " + number(v));
}

void require_at_least(long long v, long long least, const char* who, const char* name) {
  if (v < least)
    throw std::invalid_argument(std::string(who) + ": " + name + " must be at least " +
                                std::to_string(least) + ", got " + std::to_string(v));
}

void require_sample_weight(const Vector& w, Index rows, const char* who, const char* matrix) {
  if (w.size() != rows)
    throw std::invalid_argument(std::string(who) + ": sample_weight has " +
                                std::to_string(w.size()) + " entries but " + matrix + " has " +
                                std::to_string(rows) + " rows");
  for (Index i = 0; i < w.size(); ++i)
    if (!(w[i] > 0.0) || !std::isfinite(w[i]))
      throw std::invalid_argument(std::string(who) + ": sample_weight must be finite and "
                                  "positive, got " + number(w[i]) + " at row " +
                                  std::to_string(i));
}

void require_rows(const MatrixView& A, const VectorView& y, const char* who, const char* name) {
  if (A.rows != y.size)
    throw std::invalid_argument(std::string(who) + ": " + name + " " + shape(A.rows, A.cols) +
                                " has " + std::to_string(A.rows) + " rows but y has " +
                                std::to_string(y.size) + " entries");
}

void require_square(const Matrix& R, Index p, const char* who, const char* name) {
  if (R.rows() != p || R.cols() != p)
    throw std::invalid_argument(std::string(who) + ": " + name + " must be (" +
                                std::to_string(p) + ", " + std::to_string(p) + "), got " +
                                shape(R));
}

void require_covers(const VectorView& yp, const VectorView& yt, const char* who) {
  if (yp.size < yt.size)
    throw std::invalid_argument(std::string(who) + ": yp has " + std::to_string(yp.size) +
                                " entries, fewer than the " + std::to_string(yt.size) +
                                " of yt");
}

bool PenaltySpec::active() const {
  return (R1 != nullptr && gamma1 != 0.0) || (R2 != nullptr && gamma2 != 0.0);
}

void check_penalty_shapes(const PenaltySpec& pen, Index p, const char* who) {
  if (pen.R1 != nullptr && pen.gamma1 != 0.0) require_square(*pen.R1, p, who, "R1");
  if (pen.R2 != nullptr && pen.gamma2 != 0.0) require_square(*pen.R2, p, who, "R2");
}

void check_penalty_values(const PenaltySpec& pen, const char* who) {
  if (pen.R1 != nullptr && pen.gamma1 != 0.0) {
    require_finite(pen.gamma1, who, "gamma1");
    require_finite(*pen.R1, who, "R1");
  }
  if (pen.R2 != nullptr && pen.gamma2 != 0.0) {
    require_finite(pen.gamma2, who, "gamma2");
    require_finite(*pen.R2, who, "R2");
  }
}

}  // namespace dorv
