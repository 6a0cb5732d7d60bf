#include "statistics.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "checks.hpp"
#include "kernels.hpp"
#include "rules.hpp"

namespace dorv {

double median_inplace(std::vector<double> v) {
  const std::size_t n = v.size();
  if (n == 0) return 0.0;
  const auto mid = v.begin() + static_cast<std::ptrdiff_t>(n / 2);
  std::nth_element(v.begin(), mid, v.end());
  if (n % 2 == 1) return *mid;
  return 0.5 * (*mid + *std::max_element(v.begin(), mid));
}

double median_abs(const Vector& r) {
  std::vector<double> a(static_cast<std::size_t>(r.size()));
  for (Index i = 0; i < r.size(); ++i) a[static_cast<std::size_t>(i)] = std::abs(r[i]);
  return median_inplace(std::move(a));
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

// Blocks of 2^16 entries, the kernels' count on each; strided entries are gathered into
// buffers first.
Index count_within(const VectorView& p, const VectorView& t, Index n, double eps) {
  constexpr Index block = Index{1} << 16, gather = 1024;
  double pb[gather], tb[gather];
  Index hit = 0;
  for (Index i = 0; i < n; i += block) {
    const Index h = std::min(block, n - i);
    if (p.step == 1 && t.step == 1) {
      hit += hits_within(p.data + i, t.data + i, h, eps);
    } else {
      for (Index k = 0; k < h; k += gather) {
        const Index g = std::min(gather, h - k);
        for (Index l = 0; l < g; ++l) {
          pb[l] = p(i + k + l);
          tb[l] = t(i + k + l);
        }
        hit += hits_within(pb, tb, g, eps);
      }
    }
    stop_point(2.0 * static_cast<double>(h));
  }
  return hit;
}

double hit_rate(Index hit, Index n) {
  const double sr = static_cast<double>(hit) / static_cast<double>(n);
  return std::max(sr, 1.0 / (2.0 * static_cast<double>(n)));
}

// Large inputs take the passes without copies, which give the same value: the sign of a zero
// median cannot change |v - m|, and the deviations hold no -0. Data with NaN, and small inputs,
// take the copy; data with NaN has a NaN deviation, as NumPy's median has, wherever it stands.
double mad(const VectorView& y) {
  const Index n = y.size;
  double m = 0.0, d = 0.0;
  if (n >= kBucketMedianMin && n <= Index{std::numeric_limits<std::uint32_t>::max()} &&
      fast_median(n, [&y](Index i) { return y(i); }, m) &&
      fast_median(n, [&y, m](Index i) { return std::abs(y(i) - m); }, d))
    return d;
  std::vector<double> buf(static_cast<std::size_t>(n));
  for (Index i = 0; i < n; ++i) buf[static_cast<std::size_t>(i)] = y(i);
  if (std::any_of(buf.begin(), buf.end(), [](double v) { return std::isnan(v); }))
    return std::numeric_limits<double>::quiet_NaN();
  m = median_inplace(buf);
  stop_point(10.0 * static_cast<double>(n));
  for (double& v : buf) v = std::abs(v - m);
  return median_inplace(std::move(buf));
}

double compute_SR(const VectorView& yp, const VectorView& yt, double eps) {
  require_covers(yp, yt, "compute_sr");
  const Index n = yt.size;
  return hit_rate(count_within(yp, yt, n, eps), n);
}

double hit_tolerance(const VectorView& yt) { return hit_tolerance(mad(yt)); }

}  // namespace dorv
