#pragma once
// Checks of inputs shared by the operations: finite values, matching rows and shapes, and the
// penalty terms of a score. Each throws std::invalid_argument naming the operation (`who`), the
// argument and what it got.

#include "common.hpp"

namespace dorv {

// True when every entry is finite: x * 0 is 0 for finite x and NaN otherwise, and a sum is a
// vectorised reduction, where allFinite compares entry by entry.
template <typename Dense>
bool all_finite(const Dense& A) {
  return (A.array() * 0.0).sum() == 0.0;
}

// Throw unless A, v or the value is finite, naming its first NaN or infinite entry.
void require_finite(const MatrixView& A, const char* who, const char* name);
void require_finite(const Matrix& A, const char* who, const char* name);
void require_finite(const VectorView& v, const char* who, const char* name);
void require_finite(const Vector& v, const char* who, const char* name);
void require_finite(double v, const char* who, const char* name);

// Throws unless v is a positive finite number.
void require_positive(double v, const char* who, const char* name);

// Throws unless v >= least.
void require_at_least(long long v, long long least, const char* who, const char* name);

// Throws unless A (called `name`) has as many rows as y has entries.
void require_rows(const MatrixView& A, const VectorView& y, const char* who, const char* name);

// Throws unless R (called `name`) is (p, p).
void require_square(const Matrix& R, Index p, const char* who, const char* name);

// Throws unless the sample weights w have one entry per row of the matrix called `matrix` (of
// `rows` rows), each finite and positive.
void require_sample_weight(const Vector& w, Index rows, const char* who, const char* matrix);

// Throws unless yp has at least as many entries as yt.
void require_covers(const VectorView& yp, const VectorView& yt, const char* who);

// Penalty matrices and weights of a score; owns nothing. R1, R2 (p, p) or null. A term is read
// only when its matrix is given and its weight is not zero.
struct PenaltySpec {
  const Matrix* R1 = nullptr;
  const Matrix* R2 = nullptr;
  double gamma1 = 0.0;
  double gamma2 = 0.0;

  bool active() const;
};

// Throws unless every matrix of pen that a score would read is (p, p).
void check_penalty_shapes(const PenaltySpec& pen, Index p, const char* who);

// Throws unless every weight and matrix of pen that a score would read is finite.
void check_penalty_values(const PenaltySpec& pen, const char* who);

}  // namespace dorv
