#include "scores.hpp"

#include <cmath>

#include "statistics.hpp"

namespace dorv {

double quad_form(const Vector& b, const Matrix& R) {
  Vector Rb(R.rows());
  return quad_form(b, R, Rb);
}

double quad_form(const Vector& b, const Matrix& R, Vector& Rb) {
  if (R.rows() == 0) return 0.0;
  Rb.noalias() = R * b;
  return b.dot(Rb);
}

double mdl_score_of_hits(Index hit, Index n_targets, int k, int H) {
  const double n = static_cast<double>(n_targets);
  const double sr = hit_rate(hit, n_targets);
  const double logHk = k > 0 ? k * std::log(2.0 * H) : 0.0;
  return -n * std::log(sr) + (logHk / n) * k;
}

double mdl_score_cached(const VectorView& yp, const VectorView& yt, int k, int H, double eps,
                        const Vector* beta, const PenaltySpec* pen) {
  require_covers(yp, yt, "compute_sr");
  const Index n = yt.size;
  double L = mdl_score_of_hits(count_within(yp, yt, n, eps), n, k, H);
  if (beta != nullptr && pen != nullptr && pen->active()) {
    if (pen->R1 != nullptr && pen->gamma1 != 0.0) L += pen->gamma1 * quad_form(*beta, *pen->R1);
    if (pen->R2 != nullptr && pen->gamma2 != 0.0) L += pen->gamma2 * quad_form(*beta, *pen->R2);
  }
  return L;
}

double mdl_score(const VectorView& yp, const VectorView& yt, int k, int H, const Vector* beta,
                 const PenaltySpec* pen) {
  const char* who = pen != nullptr ? "mdl_score_reg" : "mdl_score";
  require_covers(yp, yt, who);
  if (beta != nullptr && pen != nullptr) check_penalty_shapes(*pen, beta->size(), who);
  return mdl_score_cached(yp, yt, k, H, hit_tolerance(yt), beta, pen);
}

}  // namespace dorv
