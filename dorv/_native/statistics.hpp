#pragma once
// Robust statistics of a vector, and the hit rate of predictions against targets.

#include "common.hpp"

#include <vector>

namespace dorv {

// Median by one selection pass; 0.0 for an empty list. v is reordered (taken by value).
double median_inplace(std::vector<double> v);

// Median of |r|; 0.0 for no entries. r (n).
double median_abs(const Vector& r);

// Raw median absolute deviation about the median (no consistency factor); 0.0 when empty,
// NaN when y holds a NaN. y (n).
double mad(const VectorView& y);

// Number of i < n with |p[i] - t[i]| < eps, in blocks with a stop point after each; NaN
// differences are no hits. p (>= n), t (>= n).
Index count_within(const VectorView& p, const VectorView& t, Index n, double eps);

// hit / n, floored at 1/(2n).
double hit_rate(Index hit, Index n);

// Fraction of i < n with |yp[i] - yt[i]| < eps, floored at 1/(2n); NaN for n = 0.
// yt (n), yp (>= n): further entries of yp are ignored.
double compute_SR(const VectorView& yp, const VectorView& yt, double eps);

// Hit tolerance of the scores for the targets yt: hit_tolerance(mad(yt)) (rules.hpp).
double hit_tolerance(const VectorView& yt);

}  // namespace dorv
