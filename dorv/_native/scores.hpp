#pragma once
// Minimum-description-length scores of predictions against targets.

#include "checks.hpp"
#include "common.hpp"

namespace dorv {

// b' (R b); 0.0 when R has no rows. b (p), R (p, p).
double quad_form(const Vector& b, const Matrix& R);

// The same, with R b formed in the caller's buffer Rb (p), so that nothing is allocated.
double quad_form(const Vector& b, const Matrix& R, Vector& Rb);

// The score without penalty terms for `hit` hits among n targets: -n ln(sr) + k^2 ln(2H) / n
// (k > 0 only), sr = hit / n floored at 1/(2n).
double mdl_score_of_hits(Index hit, Index n, int k, int H);

// -n ln(sr) + k^2 ln(2H) / n (k > 0 only) + gamma1 beta'R1 beta + gamma2 beta'R2 beta, with the
// hit rate at tolerance eps. yt (n), yp (>= n), beta (p) or null, pen or null.
double mdl_score_cached(const VectorView& yp, const VectorView& yt, int k, int H, double eps,
                        const Vector* beta, const PenaltySpec* pen);

// mdl_score_cached at the tolerance hit_tolerance(yt); checks the length of yp and the penalty
// shapes first.
double mdl_score(const VectorView& yp, const VectorView& yt, int k, int H, const Vector* beta,
                 const PenaltySpec* pen);

}  // namespace dorv
