#include "rules.hpp"

#include <cmath>

#include "checks.hpp"
#include "statistics.hpp"

namespace dorv {

double hit_tolerance(double mad) { return mad > 0.0 ? kHitFactor * mad : kHitFactor; }

double inlier_scale(const Vector& r, double s) {
  const Eigen::ArrayXd r2 = r.array().square();
  for (int it = 0; it < kScaleSteps; ++it) {
    const auto inside = r2 < (kInlierCut * s) * (kInlierCut * s);
    const double sum = inside.select(r2, 0.0).sum();
    const Index count = inside.count();
    stop_point(4.0 * static_cast<double>(r.size()));
    if (count == 0) break;
    const double next = std::sqrt(sum / static_cast<double>(count) / kTruncatedVariance);
    const bool done = std::abs(next - s) <= 1e-12 * s;
    s = next;
    if (done) break;
  }
  return s;
}

double inlier_scale(const Vector& r) {
  require_finite(r, "inlier_scale", "residuals");
  return inlier_scale(r, kMadToSd * median_abs(r));
}

}  // namespace dorv
