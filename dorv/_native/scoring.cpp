#include "scoring.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <string>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// True when every entry is finite: x * 0 is 0 for finite x and NaN otherwise, and a sum is a
// vectorised reduction, where allFinite compares entry by entry.
template <typename Dense>
bool all_finite(const Dense& A) {
  return (A.array() * 0.0).sum() == 0.0;
}

}  // namespace

void require_finite(const Matrix& A, const char* who, const char* name) {
  if (all_finite(A)) return;
  for (Index i = 0; i < A.rows(); ++i)  // the first in row-major order, as NumPy counts
    for (Index j = 0; j < A.cols(); ++j)
      if (!std::isfinite(A(i, j)))
        throw std::invalid_argument(std::string(who) + ": " + name + " " + shape(A) +
                                    " must be finite, got " + number(A(i, j)) + " at [" +
                                    std::to_string(i) + ", " + std::to_string(j) + "]");
}

void require_finite(const Vector& v, const char* who, const char* name) {
  if (all_finite(v)) return;
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

namespace {

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

namespace {

// Order-preserving map of the doubles other than NaN onto unsigned integers; -0 sorts just
// below +0.
std::uint64_t order_key(double v) {
  std::uint64_t u;
  std::memcpy(&u, &v, sizeof u);
  return (u >> 63) != 0 ? ~u : u | (std::uint64_t{1} << 63);
}

double from_order_key(std::uint64_t key) {
  const std::uint64_t u = (key >> 63) != 0 ? key & ~(std::uint64_t{1} << 63) : ~key;
  double v;
  std::memcpy(&v, &u, sizeof v);
  return v;
}

// Order statistics at n / 2 and, for even n, n / 2 - 1 of a set of keys, given the number of keys
// below `keys` and the largest of them.
double middle_of(Index n, Index below, std::uint64_t max_below,
                 std::vector<std::uint64_t>& keys) {
  const auto mid = keys.begin() + (n / 2 - below);
  std::nth_element(keys.begin(), mid, keys.end());
  const double a = from_order_key(*mid);
  if (n % 2 == 1) return a;
  const std::uint64_t lower = mid != keys.begin() ? *std::max_element(keys.begin(), mid) : max_below;
  return 0.5 * (a + from_order_key(lower));
}

// Below this size a selection on a copy is as fast as the bucket passes.
constexpr Index kBucketMedianMin = Index{1} << 14;

// Median of value(0) ... value(n - 1), the same order statistics as median_inplace (a zero
// may come out with the other sign). One pass counts the values per 16-bit key prefix, a
// second gathers the one bucket that holds the middle position, and the selection runs on that
// bucket alone, so no copy of the data is made. False, with `out` untouched, when a value is
// NaN: the selection's placement of NaN is then what decides.
template <class Value>
bool bucket_median(Index n, const Value& value, double& out) {
  constexpr int shift = 48;
  std::vector<std::uint32_t> count(std::size_t{1} << (64 - shift), 0);
  for (Index i = 0; i < n; ++i) {
    stop_point_at(i, 4.0);
    const double v = value(i);
    if (std::isnan(v)) return false;
    ++count[order_key(v) >> shift];
  }
  const Index upper = n / 2;  // for even n the lower middle is the largest value below it
  std::size_t bucket = 0;
  Index before = 0;  // number of values in lower buckets
  while (before + count[bucket] <= upper) before += count[bucket++];
  std::vector<std::uint64_t> keys;
  keys.reserve(count[bucket]);
  // Largest key in lower buckets (every value's key exceeds 0), kept without a branch: which
  // side of the bucket a value lies on is unpredictable.
  const std::uint64_t bucket_start = static_cast<std::uint64_t>(bucket) << shift;
  std::uint64_t below = 0;
  for (Index i = 0; i < n; ++i) {
    stop_point_at(i, 4.0);
    const std::uint64_t key = order_key(value(i));
    if ((key >> shift) == bucket) keys.push_back(key);
    below = std::max(below, key < bucket_start ? key : std::uint64_t{0});
  }
  out = middle_of(n, before, below, keys);
  return true;
}

// Number of i < n with |p[i] - t[i]| < eps; NaN differences are no hits. The compiler does not
// vectorise the count of a comparison, so the SSE2 form is written out: a comparison mask is -1
// per hit, subtracted from two 64-bit counters.
Index count_block(const double* p, const double* t, Index n, double eps) {
  Index hit = 0, i = 0;
#if defined(__SSE2__)
  const __m128d tol = _mm_set1_pd(eps), sign = _mm_set1_pd(-0.0);
  __m128i acc0 = _mm_setzero_si128(), acc1 = _mm_setzero_si128();
  for (; i + 4 <= n; i += 4) {
    const __m128d d0 = _mm_sub_pd(_mm_loadu_pd(p + i), _mm_loadu_pd(t + i));
    const __m128d d1 = _mm_sub_pd(_mm_loadu_pd(p + i + 2), _mm_loadu_pd(t + i + 2));
    acc0 = _mm_sub_epi64(acc0, _mm_castpd_si128(_mm_cmplt_pd(_mm_andnot_pd(sign, d0), tol)));
    acc1 = _mm_sub_epi64(acc1, _mm_castpd_si128(_mm_cmplt_pd(_mm_andnot_pd(sign, d1), tol)));
  }
  alignas(16) std::int64_t lanes[2];
  _mm_store_si128(reinterpret_cast<__m128i*>(lanes), _mm_add_epi64(acc0, acc1));
  hit = static_cast<Index>(lanes[0] + lanes[1]);
#endif
  for (; i < n; ++i) hit += std::abs(p[i] - t[i]) < eps ? 1 : 0;
  return hit;
}

// count_block in blocks of 2^16 entries, with a stop point after each.
Index count_within(const double* p, const double* t, Index n, double eps) {
  constexpr Index block = Index{1} << 16;
  Index hit = 0;
  for (Index i = 0; i < n; i += block) {
    hit += count_block(p + i, t + i, std::min(block, n - i), eps);
    stop_point(2.0 * static_cast<double>(block));
  }
  return hit;
}

enum class Pick { done, missed, nan };

constexpr Index kSampledMedianMin = Index{1} << 16;

// bucket_median in one pass: the middle of an evenly strided sample of 2^14 keys, widened by
// four standard deviations of a sample median, brackets the middle of the data; the pass counts
// the keys below the bracket and gathers those inside it (some 3% of them), and the selection
// runs on these. `missed` when the middle lies outside the bracket, as with data whose pattern
// follows the stride; the bucket passes then decide. n >= kSampledMedianMin.
template <class Value>
Pick sampled_median(Index n, const Value& value, double& out) {
  constexpr Index size = Index{1} << 14, spread = 4 * 64;  // 64 = sqrt(size) / 2
  const Index stride = n / size;
  std::vector<std::uint64_t> sample(static_cast<std::size_t>(size));
  for (Index s = 0; s < size; ++s) {
    const double v = value(s * stride);
    if (std::isnan(v)) return Pick::nan;
    sample[static_cast<std::size_t>(s)] = order_key(v);
  }
  const auto lo = sample.begin() + (size / 2 - spread), hi = sample.begin() + (size / 2 + spread);
  std::nth_element(sample.begin(), lo, sample.end());
  std::nth_element(lo + 1, hi, sample.end());
  const std::uint64_t low = *lo, high = *hi;
  std::vector<std::uint64_t> keys;
  keys.reserve(static_cast<std::size_t>(n / size * 4 * spread));
  Index below = 0;
  for (Index i = 0; i < n; ++i) {
    stop_point_at(i, 4.0);
    const double v = value(i);
    if (std::isnan(v)) return Pick::nan;
    const std::uint64_t key = order_key(v);
    below += key < low ? 1 : 0;  // unpredictable, kept free of branches
    if (key - low <= high - low) keys.push_back(key);
  }
  // Both middle positions must lie in the bracket (the largest key below it is not kept).
  const Index upper = n / 2, first = n % 2 == 1 ? upper : upper - 1;
  if (first < below || upper - below >= static_cast<Index>(keys.size())) return Pick::missed;
  out = middle_of(n, below, 0, keys);
  return Pick::done;
}

// hit / n, floored at 1 / (2n).
double hit_rate(Index hit, Index n) {
  const double sr = static_cast<double>(hit) / static_cast<double>(n);
  return std::max(sr, 1.0 / (2.0 * static_cast<double>(n)));
}

// Median of value(0) ... value(n - 1) by the sampled pass, else the bucket passes; false when a
// value is NaN. n >= kBucketMedianMin.
template <class Value>
bool fast_median(Index n, const Value& value, double& out) {
  if (n >= kSampledMedianMin) {
    const Pick pick = sampled_median(n, value, out);
    if (pick != Pick::missed) return pick == Pick::done;
  }
  return bucket_median(n, value, out);
}

}  // namespace

// Large inputs take the passes without copies, which give the same value: the sign of a zero
// median cannot change |v - m|, and the deviations hold no -0. Data with NaN, and small inputs,
// take the copy; data with NaN has a NaN deviation, as NumPy's median has, wherever it stands.
double mad(const Vector& y) {
  const Index n = y.size();
  const double* p = y.data();
  double m = 0.0, d = 0.0;
  if (n >= kBucketMedianMin && n <= Index{std::numeric_limits<std::uint32_t>::max()} &&
      fast_median(n, [p](Index i) { return p[i]; }, m) &&
      fast_median(n, [p, m](Index i) { return std::abs(p[i] - m); }, d))
    return d;
  std::vector<double> buf(p, p + n);
  if (std::any_of(buf.begin(), buf.end(), [](double v) { return std::isnan(v); }))
    return std::numeric_limits<double>::quiet_NaN();
  m = median_inplace(buf);
  stop_point(10.0 * static_cast<double>(n));
  for (double& v : buf) v = std::abs(v - m);
  return median_inplace(std::move(buf));
}

double compute_SR(const Vector& yp, const Vector& yt, double eps) {
  require_covers(yp, yt, "compute_sr");
  const Index n = yt.size();
  return hit_rate(count_within(yp.data(), yt.data(), n, eps), n);
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
  stop_point(m * p);
  const Eigen::BDCSVD<Matrix> svd(X, Eigen::ComputeThinU | Eigen::ComputeThinV);
  stop_point(4.0 * m * p * d);
  return svd.solve(y);
}

Vector fit_regularized_linear(const Matrix& Phi, const Vector& y, const Matrix* R1,
                              const Matrix* R2, double gamma1, double gamma2, double ridge) {
  const char* who = "fit_regularized_linear";
  require_rows(Phi, y, who, "Phi");
  require_finite(y, who, "y");
  const Index p = Phi.cols();
  // The p x p system and its factorisation must fit in memory, however few rows Phi has.
  require_doubles(2.0 * static_cast<double>(p) * static_cast<double>(p) +
                  3.0 * static_cast<double>(p));
  const bool use1 = R1 != nullptr && gamma1 != 0.0;
  const bool use2 = R2 != nullptr && gamma2 != 0.0;
  if (use1) require_square(*R1, p, who, "R1");
  if (use2) require_square(*R2, p, who, "R2");
  // Only the lower triangle of A is read by the factorisation, so the product fills only that
  // one: the same blocks and kernels as the full product, hence the same values, for half the
  // work. An empty Phi leaves A zero (Eigen's rank update would index its null data).
  Matrix A = Matrix::Zero(p, p);
  if (Phi.size() > 0) A.selfadjointView<Eigen::Lower>().rankUpdate(Phi.transpose());
  stop_point(static_cast<double>(Phi.size()) * static_cast<double>(p));

  // A NaN pivot counts as zero in the LDLT solve, so NaN in the system matrix can come back as
  // finite zeros rather than NaN: everything that enters A must be finite. A(j, j) sums the
  // squares of column j, so a NaN or an infinity in Phi makes it non-finite: Phi is scanned
  // only then.
  if (!all_finite(A.diagonal())) require_finite(Phi, who, "Phi");
  require_finite(ridge, who, "ridge");
  check_penalty_values({R1, R2, gamma1, gamma2}, who);

  const double n = static_cast<double>(y.size());
  A.diagonal().array() += ridge;
  if (use1) A += (n * gamma1) * *R1;
  if (use2) A += (n * gamma2) * *R2;
  const Vector b = Phi.transpose() * y;
  stop_point(2.0 * static_cast<double>(Phi.size()));
  return Eigen::LDLT<Matrix, Eigen::Lower>(A).solve(b);
}

bool PenaltySpec::active() const {
  return (R1 != nullptr && gamma1 != 0.0) || (R2 != nullptr && gamma2 != 0.0);
}

double quad_form(const Vector& b, const Matrix& R) {
  Vector Rb(R.rows());
  return quad_form(b, R, Rb);
}

double quad_form(const Vector& b, const Matrix& R, Vector& Rb) {
  if (R.rows() == 0) return 0.0;
  Rb.noalias() = R * b;
  return b.dot(Rb);
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

double mdl_score_of_hits(Index hit, Index n_targets, int k, int H) {
  const double n = static_cast<double>(n_targets);
  const double sr = hit_rate(hit, n_targets);
  const double logHk = k > 0 ? k * std::log(2.0 * H) : 0.0;
  return -n * std::log(sr) + (logHk / n) * k;
}

double mdl_score_cached(const Vector& yp, const Vector& yt, int k, int H, double eps,
                        const Vector* beta, const PenaltySpec* pen) {
  require_covers(yp, yt, "compute_sr");
  const Index n = yt.size();
  double L = mdl_score_of_hits(count_within(yp.data(), yt.data(), n, eps), n, k, H);
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
